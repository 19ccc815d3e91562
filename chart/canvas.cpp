#include "canvas.h"
#include "canvasimpl.h"

#include <QFontDatabase>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <cstdlib>

using namespace canvasdetail;

// ---------------------------------------------------------------------------------------------
// Fonts

int FontHeightForPoints(int points)
{
    return -MulDiv(points, 96, 72);
}

int TCanvasFont::Size() const
{
    if (Height == 0)
        return 10;
    return MulDiv(std::abs(Height), 72, 96);
}

void InstallChartFontSubstitutions()
{
    const QStringList families = QFontDatabase::families();
    const auto has = [&](const QString &f) { return families.contains(f, Qt::CaseInsensitive); };
    QString target = QStringLiteral("DejaVu Sans");
    if (has(QStringLiteral("Liberation Sans")))
        target = QStringLiteral("Liberation Sans");
    for (const QString &from : {QStringLiteral("MS Sans Serif"), QStringLiteral("Arial")}) {
        QFont::removeSubstitutions(from);
        QFont::insertSubstitution(from, target);
    }
}

// ---------------------------------------------------------------------------------------------
// Chart pens, brushes, fonts

TChartPen::TChartPen(ChartColor color, int width, ChartPenStyle style, bool visible)
    : color_(color), width_(width), style_(style), visible_(visible)
{
}

void TChartPen::Changed()
{
    if (OnChange)
        OnChange();
}

void TChartPen::SetColor(ChartColor c)
{
    if (SetIfChanged(color_, c))
        Changed();
}

void TChartPen::SetWidth(int w)
{
    if (SetIfChanged(width_, w))
        Changed();
}

void TChartPen::SetStyle(ChartPenStyle s)
{
    if (SetIfChanged(style_, s))
        Changed();
}

void TChartPen::SetMode(ChartPenMode m)
{
    if (SetIfChanged(mode_, m))
        Changed();
}

void TChartPen::SetVisible(bool v)
{
    if (SetIfChanged(visible_, v))
        Changed();
}

void TChartPen::Assign(const TChartPen &o)
{
    if (color_ == o.color_ && width_ == o.width_ && style_ == o.style_ && mode_ == o.mode_ &&
        visible_ == o.visible_)
        return;
    color_ = o.color_;
    width_ = o.width_;
    style_ = o.style_;
    mode_ = o.mode_;
    visible_ = o.visible_;
    Changed();
}

void TChartBrush::Changed()
{
    if (OnChange)
        OnChange();
}

void TChartBrush::SetColor(ChartColor c)
{
    if (SetIfChanged(color_, c))
        Changed();
}

void TChartBrush::SetStyle(ChartBrushStyle s)
{
    if (SetIfChanged(style_, s))
        Changed();
}

void TChartBrush::Assign(const TChartBrush &o)
{
    if (color_ == o.color_ && style_ == o.style_)
        return;
    color_ = o.color_;
    style_ = o.style_;
    Changed();
}

TChartFont::TChartFont(const QString &name, int height, ChartColor color, ChartFontStyles style,
                       int charset)
{
    f_.Name = name;
    f_.Height = height;
    f_.Color = color;
    f_.Style = style;
    f_.Charset = charset;
}

void TChartFont::Changed()
{
    if (OnChange)
        OnChange();
}

void TChartFont::SetName(const QString &n)
{
    if (SetIfChanged(f_.Name, n))
        Changed();
}

void TChartFont::SetHeight(int h)
{
    if (SetIfChanged(f_.Height, h))
        Changed();
}

void TChartFont::SetColor(ChartColor c)
{
    if (SetIfChanged(f_.Color, c))
        Changed();
}

void TChartFont::SetStyle(ChartFontStyles s)
{
    if (SetIfChanged(f_.Style, s))
        Changed();
}

void TChartFont::SetCharset(int c)
{
    if (SetIfChanged(f_.Charset, c))
        Changed();
}

void TChartFont::Assign(const TChartFont &o)
{
    if (f_ == o.f_)
        return;
    f_ = o.f_;
    Changed();
}

// ---------------------------------------------------------------------------------------------
// TTeeCanvas: drawing state

TTeeCanvas::TTeeCanvas() : d_(std::make_unique<Impl>()) {}

TTeeCanvas::~TTeeCanvas()
{
    EndImagePainter();
}

void TTeeCanvas::EndImagePainter()
{
    if (d_->imagePainter) {
        d_->imagePainter->end();
        d_->imagePainter.reset();
    }
}

void TTeeCanvas::SetImageTarget(QImage *image)
{
    // Always end our painter: the caller may have replaced the image's data in place.
    EndImagePainter();
    image_ = image;
    painter_ = nullptr;
    clip_.reset();
    d_->geometry = {};
    if (image && !image->isNull() && image->depth() == 32)
        d_->geometry = {true, image->width(), image->height(), image->bytesPerLine() / 4};
}

void TTeeCanvas::SetPainterTarget(QPainter *painter)
{
    EndImagePainter();
    image_ = nullptr;
    painter_ = painter;
    clip_.reset();
    d_->geometry = {};
}

void TTeeCanvas::ClearTarget()
{
    EndImagePainter();
    image_ = nullptr;
    painter_ = nullptr;
    clip_.reset();
    d_->geometry = {};
}

void TTeeCanvas::LoadPen(const TChartPen &pen)
{
    if (!pen.Visible()) {
        Pen.Style = psClear;
        return;
    }
    Pen.Color = pen.Color();
    Pen.Width = pen.Width();
    Pen.Style = pen.Style();
    Pen.Mode = pen.Mode();
}

void TTeeCanvas::AssignBrush(const TChartBrush &brush)
{
    Brush.Color = brush.Color();
    Brush.Style = brush.Style();
}

void TTeeCanvas::AssignFont(const TChartFont &font)
{
    Font = font.CanvasFont();
}

void TTeeCanvas::ResetCanvas()
{
    Pen = TCanvasPen{};
    Brush = TCanvasBrush{};
    Font.Color = clBlack;
    Font.SetSize(10);
    backColor_ = clWhite;
    backMode_ = bmOpaque;
    textAlign_ = TA_LEFT | TA_TOP;
}

const QFont &TTeeCanvas::CurrentQFont()
{
    if (!d_->fontValid || !(d_->fontKey == Font)) {
        QFont f(Font.Name);
        int px = Font.Height == 0 ? 13 : std::abs(Font.Height);
        f.setPixelSize(std::max(1, px));
        f.setBold((Font.Style & fsBold) != 0);
        f.setItalic((Font.Style & fsItalic) != 0);
        f.setUnderline((Font.Style & fsUnderline) != 0);
        f.setStrikeOut((Font.Style & fsStrikeOut) != 0);
        f.setStyleStrategy(QFont::NoAntialias);
        d_->qfont = f;
        d_->metrics.emplace(f);
        d_->fontKey = Font;
        d_->fontValid = true;
    }
    return d_->qfont;
}

int TTeeCanvas::TextWidth(const QString &text)
{
    CurrentQFont();
    return std::max(0, d_->metrics->horizontalAdvance(text));
}

int TTeeCanvas::TextHeight(const QString &)
{
    CurrentQFont();
    return std::max(0, d_->metrics->height());
}

namespace
{

/// Saves the painter's state and clips it to the canvas clip, if any.
void SaveAndClip(QPainter *p, const std::optional<PixelRect> &clip)
{
    p->save();
    if (clip)
        p->setClipRect(clip->ToQRect().normalized());
}

} // namespace

// --- text ---------------------------------------------------------------------------------------

void TTeeCanvas::TextOut(int x, int y, const QString &text)
{
    if (text.isEmpty())
        return;
    QPainter *p = LibraryPainter(image_, painter_, d_->imagePainter);
    if (!p || !p->isActive())
        return;
    const QFont &f = CurrentQFont();
    const QFontMetrics &fm = *d_->metrics;
    const int w = fm.horizontalAdvance(text);
    switch (textAlign_ & TA_HORZMASK) {
    case TA_RIGHT:
        x -= w;
        break;
    case TA_CENTER:
        x -= w / 2;
        break;
    default:
        break;
    }
    switch (textAlign_ & TA_VERTMASK) {
    case TA_BOTTOM:
        y -= fm.height();
        break;
    case TA_BASELINE:
        y -= fm.ascent();
        break;
    default:
        break;
    }
    p->save();
    p->resetTransform();
    if (clip_)
        p->setClipRect(clip_->ToQRect().normalized());
    else
        p->setClipping(false);
    p->setCompositionMode(QPainter::CompositionMode_SourceOver);
    if (backMode_ == bmOpaque)
        p->fillRect(QRect(x, y, w, fm.height()), QColor::fromRgb(Rgb(backColor_)));
    p->setFont(f);
    p->setPen(QColor::fromRgb(Rgb(Font.Color)));
    p->setBackgroundMode(Qt::TransparentMode);
    p->drawText(x, y + fm.ascent(), text);
    p->restore();
}

void TTeeCanvas::RotateLabel(int x, int y, const QString &text, double angle)
{
    if (text.isEmpty())
        return;
    if (std::fmod(angle, 360.0) == 0.0) {
        TextOut(x, y, text);
        return;
    }
    QPainter *p = LibraryPainter(image_, painter_, d_->imagePainter);
    if (!p || !p->isActive())
        return;
    const QFont &f = CurrentQFont();
    const QFontMetrics &fm = *d_->metrics;
    p->save();
    p->resetTransform();
    if (clip_)
        p->setClipRect(clip_->ToQRect().normalized());
    else
        p->setClipping(false);
    p->setCompositionMode(QPainter::CompositionMode_SourceOver);
    p->translate(x, y);
    p->rotate(-angle);
    int dx = 0;
    const int w = fm.horizontalAdvance(text);
    if ((textAlign_ & TA_HORZMASK) == TA_RIGHT)
        dx = -w;
    else if ((textAlign_ & TA_HORZMASK) == TA_CENTER)
        dx = -w / 2;
    if (backMode_ == bmOpaque)
        p->fillRect(QRect(dx, 0, w, fm.height()), QColor::fromRgb(Rgb(backColor_)));
    p->setFont(f);
    p->setPen(QColor::fromRgb(Rgb(Font.Color)));
    p->drawText(dx, fm.ascent(), text);
    p->restore();
}

// --- compound primitives ----------------------------------------------------------------------

void TTeeCanvas::Frame3D(const PixelRect &rect, ChartColor topLeft, ChartColor bottomRight,
                         int width)
{
    PixelRect rc = rect;
    Pen.Width = 1;
    Pen.Style = psSolid;
    --rc.Bottom;
    --rc.Right;
    while (width > 0) {
        --width;
        Pen.Color = topLeft;
        Polyline({{rc.Left, rc.Bottom}, {rc.Left, rc.Top}, {rc.Right, rc.Top}});
        Pen.Color = bottomRight;
        Polyline({{rc.Right, rc.Top}, {rc.Right, rc.Bottom}, {rc.Left - 1, rc.Bottom}});
        ++rc.Left;
        ++rc.Top;
        --rc.Right;
        --rc.Bottom;
    }
}

void TTeeCanvas::GradientFill(const PixelRect &rect, ChartColor startColor, ChartColor endColor,
                              TGradientDirection direction)
{
    const bool vertical = direction == gdTopBottom || direction == gdBottomTop;
    const int extent = vertical ? rect.Height() : rect.Width();
    if (extent <= 0 || rect.IsEmpty())
        return;
    ChartColor from = startColor, to = endColor;
    if (direction == gdBottomTop || direction == gdRightLeft)
        std::swap(from, to);
    const int bands = std::min(256, extent);
    const TCanvasBrush saved = Brush;
    Brush.Style = bsSolid;
    for (int i = 0; i < bands; ++i) {
        const int a = extent * i / bands, b = extent * (i + 1) / bands;
        auto mix = [&](int c0, int c1) {
            return bands == 1 ? c0 : c0 + (c1 - c0) * i / (bands - 1);
        };
        Brush.Color = ChartColor(mix(ChartColorRed(from), ChartColorRed(to))) |
                      ChartColor(mix(ChartColorGreen(from), ChartColorGreen(to))) << 8 |
                      ChartColor(mix(ChartColorBlue(from), ChartColorBlue(to))) << 16;
        if (vertical)
            FillRect({rect.Left, rect.Top + a, rect.Right, rect.Top + b});
        else
            FillRect({rect.Left + a, rect.Top, rect.Left + b, rect.Bottom});
    }
    Brush = saved;
}

void TTeeCanvas::Draw(int x, int y, const QImage &picture)
{
    QPainter *p = LibraryPainter(image_, painter_, d_->imagePainter);
    if (!p)
        return;
    SaveAndClip(p, clip_);
    p->drawImage(x, y, picture);
    p->restore();
}

void TTeeCanvas::StretchDraw(const PixelRect &rect, const QImage &picture)
{
    QPainter *p = LibraryPainter(image_, painter_, d_->imagePainter);
    if (!p)
        return;
    SaveAndClip(p, clip_);
    p->drawImage(rect.ToQRect().normalized(), picture);
    p->restore();
}

// --- clipping
// -------------------------------------------------------------------------------------

void TTeeCanvas::ClipRectangle(const PixelRect &r)
{
    // Logical and device coordinates coincide: the canvas never moves its origin.
    clip_ = PixelRect{std::min(r.Left, r.Right), std::min(r.Top, r.Bottom),
                      std::max(r.Left, r.Right), std::max(r.Top, r.Bottom)};
}

void TTeeCanvas::Unclip()
{
    clip_.reset();
}

// ---------------------------------------------------------------------------------------------
// TTeeCanvas3D

TTeeCanvas3D::TTeeCanvas3D() = default;

TTeeCanvas3D::~TTeeCanvas3D()
{
    EndImagePainter();
}

void TTeeCanvas3D::Disable3D()
{
    saved3D_ = is3D_;
    is3D_ = false;
}

void TTeeCanvas3D::Restore3D()
{
    is3D_ = saved3D_;
}

void TTeeCanvas3D::Projection(int maxDepth, const PixelRect &bounds, const PixelRect &plot)
{
    (void)bounds;
    centreX_ = (plot.Left + plot.Right) / 2;
    centreY_ = (plot.Top + plot.Bottom) / 2;
    halfDepth_ = maxDepth / 2;
    offsetCentreX_ = centreX_;
    offsetCentreY_ = centreY_;
    zoom_ = 1.0;
    if (is3D_ && view3DOptions_) {
        offsetCentreX_ += view3DOptions_->HorizOffset();
        offsetCentreY_ += view3DOptions_->VertOffset();
        zoom_ = view3DOptions_->Zoom() / 100.0;
    }
}

PixelPoint TTeeCanvas3D::Project(int x, int y, int z) const
{
    if (!is3D_)
        return {x, y};
    // Orthogonal projection (the only one this chart could use): depth moves right and up.
    return {RoundToEven((x + z - centreX_) * zoom_) + offsetCentreX_,
            offsetCentreY_ + RoundToEven((y - z - centreY_) * zoom_)};
}

PixelPoint TTeeCanvas3D::UnProject(int x, int y, int z) const
{
    if (!is3D_ || zoom_ == 0.0)
        return {x, y};
    return {RoundToEven((x - offsetCentreX_) / zoom_) + centreX_ - z,
            RoundToEven((y - offsetCentreY_) / zoom_) + centreY_ + z};
}

void TTeeCanvas3D::ClipToPlot(const PixelRect &plot, int z0, int z1)
{
    (void)z0;
    (void)z1;
    if (!is3D_) {
        ClipRectangle({plot.Left + 1, plot.Top + 1, plot.Right, plot.Bottom - 1});
        return;
    }
    // Bounding box of the projected plot box (front and back faces).
    const PixelPoint a = Project(plot.Left, plot.Top, z0), b = Project(plot.Right, plot.Bottom, z0);
    const PixelPoint c = Project(plot.Left, plot.Top, z1), e = Project(plot.Right, plot.Bottom, z1);
    ClipRectangle({std::min(a.X, c.X) + 1, std::min(a.Y, c.Y) + 1, std::max(b.X, e.X),
                   std::max(b.Y, e.Y) - 1});
}

void TTeeCanvas3D::FreeBitmap()
{
    if (bitmap_ && ImageTarget() == bitmap_.get())
        ClearTarget();
    EndImagePainter();
    bitmap_.reset();
}

void TTeeCanvas3D::SetBuffered(bool on)
{
    if (!SetIfChanged(buffered_, on))
        return;
    FreeBitmap();
    BufferStale = true;
}

PixelRect TTeeCanvas3D::BeginPaintBuffer(QPainter *window, const TView3DOptions *options,
                                         const PixelRect &bounds, bool is3D)
{
    view3DOptions_ = options;
    is3D_ = is3D;
    zoom_ = is3D && options ? options->Zoom() / 100.0 : 1.0;
    if (!buffered_) {
        if (window)
            SetPainterTarget(window);
        else
            ClearTarget();
        return bounds;
    }
    const int w = std::max(0, bounds.Width()), h = std::max(0, bounds.Height());
    if (!bitmap_ || bitmap_->width() != w || bitmap_->height() != h) {
        if (ImageTarget() == bitmap_.get())
            ClearTarget();
        bitmap_ = std::make_unique<QImage>(w, h, QImage::Format_RGB32);
        bitmap_->fill(Qt::white);
    }
    SetImageTarget(bitmap_.get());
    return PixelRect{0, 0, w, h};
}

void TTeeCanvas3D::FlushPaintBuffer(QPainter *window, QPainter *target, PixelPoint position)
{
    if (buffered_ && bitmap_) {
        EndImagePainter();
        if (window && window->isActive())
            window->drawImage(position.X, position.Y, *bitmap_);
        BufferStale = false;
    }
    if (target)
        SetPainterTarget(target);
    else
        ClearTarget();
}

bool TTeeCanvas3D::ReDrawBitmap(QPainter *window)
{
    if (BufferStale || !bitmap_)
        return false;
    if (ImageTarget() == bitmap_.get())
        EndImagePainter();
    if (window && window->isActive())
        window->drawImage(0, 0, *bitmap_);
    return true;
}

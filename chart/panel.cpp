// The chart control's layers and its drawing pass. Mouse zoom and scroll are in zoom.cpp, the
// legend in legend.cpp.
#include "panel.h"

#include "axis.h"
#include "legend.h"
#include "series.h"

#include <QPainter>
#include <QResizeEvent>
#include <QScreen>
#include <QTimer>

#include <algorithm>

namespace
{

/// A chart part's pen, brush or font repaints its chart when it changes.
template <class T> void NotifyChart(T &part, TCustomAxisPanel *chart)
{
    part.OnChange = [chart] { chart->RequestRepaint(); };
}

} // namespace

// ---------------------------------------------------------------------------------------------
// TCustomTeePanel

TCustomTeePanel::TCustomTeePanel(QWidget *parent)
    : QWidget(parent), Canvas_(std::make_unique<TTeeCanvas3D>())
{
    // The picture covers every pixel: no background erase before paintEvent, so no flicker.
    setAttribute(Qt::WA_OpaquePaintEvent);
    setMouseTracking(true);
    resize(400, 250);
    View3DOptions_.OnChange = [this] { RequestRepaint(); };
    PassClock_.start();
    FrameTimer_ = new QTimer(this);
    FrameTimer_->setSingleShot(true);
    FrameTimer_->setTimerType(Qt::PreciseTimer);
    connect(FrameTimer_, &QTimer::timeout, this, [this] { update(); });
    Initialized_ = true;
}

TCustomTeePanel::~TCustomTeePanel() = default;

void TCustomTeePanel::SetMargin(int index, int value)
{
    if (SetIfChanged(Margins_[index & 3], value))
        RequestRepaint();
}

void TCustomTeePanel::SetColor(ChartColor value)
{
    if (SetIfChanged(Color_, value))
        RequestRepaint();
}

void TCustomTeePanel::SetBevelOuter(PanelBevel value)
{
    if (SetIfChanged(BevelOuter_, value))
        RequestRepaint();
}

void TCustomTeePanel::SetBevelInner(PanelBevel value)
{
    if (SetIfChanged(BevelInner_, value))
        RequestRepaint();
}

void TCustomTeePanel::SetBevelWidth(int value)
{
    if (SetIfChanged(BevelWidth_, std::max(1, value)))
        RequestRepaint();
}

void TCustomTeePanel::SetBorderWidth(int value)
{
    if (SetIfChanged(BorderWidth_, std::max(0, value)))
        RequestRepaint();
}

void TCustomTeePanel::SetView3D(bool value)
{
    if (SetIfChanged(View3D_, value))
        RequestRepaint();
}

void TCustomTeePanel::RecalcPlotSize()
{
    PlotRect.Left = std::max(PlotRect.Left, ChartBounds.Left);
    PlotRect.Top = std::max(PlotRect.Top, ChartBounds.Top);
    if (PlotRect.Right < PlotRect.Left)
        PlotRect.Right = PlotRect.Left + 1;
    else if (PlotRect.Right == PlotRect.Left)
        PlotRect.Right = PlotRect.Left + width();
    if (PlotRect.Bottom < PlotRect.Top)
        PlotRect.Bottom = PlotRect.Top + 1;
    else if (PlotRect.Bottom == PlotRect.Top)
        PlotRect.Bottom = PlotRect.Top + height();
}

void TCustomTeePanel::RequestRepaint()
{
    // A drawing pass reflects the state it reads; changes made by the pass itself (ranges the
    // axes compute) must not schedule another pass.
    if (!Initialized_ || Painting_)
        return;
    Canvas_->Invalidate();
    ScheduleRepaint();
}

qint64 TCustomTeePanel::FrameIntervalNs() const
{
    if (FrameIntervalMs_ > 0)
        return qint64(FrameIntervalMs_) * 1000000;
    const QScreen *s = screen();
    double hz = s ? s->refreshRate() : 0.0;
    if (!(hz >= 1.0 && hz <= 1000.0))
        hz = 60.0;
    // At most half a second, so that a chart that is slow to show still shows live data.
    return std::max(qint64(1e9 / hz), std::min(20 * LastPassCostNs_, qint64(500'000'000)));
}

bool TCustomTeePanel::WithinFrameInterval() const
{
    return LastPassStartNs_ >= 0 &&
           PassClock_.nsecsElapsed() - LastPassStartNs_ < FrameIntervalNs();
}

void TCustomTeePanel::ScheduleRepaint()
{
    if (FrameTimer_->isActive())
        return; // the waiting change is drawn when the interval is over
    if (!WithinFrameInterval()) {
        update();
        return;
    }
    const qint64 left = LastPassStartNs_ + FrameIntervalNs() - PassClock_.nsecsElapsed();
    FrameTimer_->start(int((left + 999999) / 1000000));
}

PixelRect TCustomTeePanel::GetRectangle() const
{
    return PixelRect{0, 0, width(), height()};
}

void TCustomTeePanel::DrawChart(const PixelRect &bounds)
{
    ++DrawCount_;
    LastPassStartNs_ = PassClock_.nsecsElapsed();
    Painting_ = true;
    // The window's copy would otherwise share the bitmap's pixels and force a copy of them on
    // the first write; it is replaced at the end of the pass anyway.
    Window_ = QImage();
    ChartBounds = Canvas_->BeginPaintBuffer(nullptr, &View3DOptions_, bounds, View3D_);
    const int w = ChartBounds.Width();
    const int h = ChartBounds.Height();
    PlotRect = PixelRect{ChartBounds.Left + MulDiv(MarginLeft(), w, 100) + BorderWidth_,
                         ChartBounds.Top + MulDiv(MarginTop(), h, 100) + BorderWidth_,
                         ChartBounds.Right - BorderWidth_ - MulDiv(MarginRight(), w, 100),
                         ChartBounds.Bottom - BorderWidth_ - MulDiv(MarginBottom(), h, 100)};
    RecalcPlotSize();
    PaintChartArea();
    Canvas_->FlushPaintBuffer(nullptr, nullptr, PixelPoint{bounds.Left, bounds.Top});
    Canvas_->BufferStale = false;
    Painting_ = false;
    LastPassCostNs_ = PassClock_.nsecsElapsed() - LastPassStartNs_;
    DrawingNs_ += LastPassCostNs_;

    // The window now shows the new picture (plus whatever overlay is active).
    if (const QImage *bitmap = Canvas_->Bitmap()) {
        if (bounds.Left == 0 && bounds.Top == 0 && bitmap->size() == size()) {
            Window_ = *bitmap;
        } else {
            if (Window_.size() != size())
                Window_ = QImage(size(), QImage::Format_RGB32);
            QPainter p(&Window_);
            p.drawImage(bounds.Left, bounds.Top, *bitmap);
        }
    }
    PaintOverlay();
}

void TCustomTeePanel::UpdateWindowImage()
{
    const QImage *bitmap = Canvas_->Bitmap();
    if (Canvas_->BufferStale || !bitmap || bitmap->size() != size() || Window_.size() != size())
        DrawChart(GetRectangle());
}

void TCustomTeePanel::PaintNow()
{
    UpdateWindowImage();
    if (isVisible())
        repaint();
}

void TCustomTeePanel::changeEvent(QEvent *event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::ApplicationPaletteChange)
        RequestRepaint();
    QWidget::changeEvent(event);
}

void TCustomTeePanel::paintEvent(QPaintEvent *)
{
    // A paint the window system asks for within the refresh interval (an uncovered part, a
    // control over the chart repainting) shows the last picture; the change waiting is drawn
    // when the interval is over.
    const QImage *bitmap = Canvas_->Bitmap();
    const qint64 paintStart = PassClock_.nsecsElapsed();
    const int drawn = DrawCount_;
    if (Canvas_->BufferStale && WithinFrameInterval() && bitmap && bitmap->size() == size() &&
        Window_.size() == size())
        ScheduleRepaint();
    else
        UpdateWindowImage();
    QPainter p(this);
    p.drawImage(0, 0, Window_);
    if (DrawCount_ != drawn && FrameIntervalMs_ <= 0) {
        // What a new picture costs is more than the drawing pass: the copy into the window
        // and the window system's transfer of it to the screen (twice the drawing on an X
        // server) come after this paint returns. The interval is budgeted on all of it: the
        // zero timer runs once the window has been flushed.
        QTimer::singleShot(0, this, [this, paintStart] {
            LastPassCostNs_ = std::max(LastPassCostNs_, PassClock_.nsecsElapsed() - paintStart);
        });
    }
}

void TCustomTeePanel::resizeEvent(QResizeEvent *event)
{
    // Free the off-screen picture so that the next paint creates one of the new size.
    Canvas_->SetBuffered(false);
    Canvas_->SetBuffered(true);
    RequestRepaint();
    QWidget::resizeEvent(event);
}

// ---------------------------------------------------------------------------------------------
// TCustomAxisPanel

TCustomAxisPanel::TCustomAxisPanel(QWidget *parent)
    : TCustomTeePanel(parent), SeriesList_(std::make_unique<TChartSeriesList>()),
      LeftAxis_(std::make_unique<TChartAxis>(this, akLeft)),
      RightAxis_(std::make_unique<TChartAxis>(this, akRight)),
      TopAxis_(std::make_unique<TChartAxis>(this, akTop)),
      BottomAxis_(std::make_unique<TChartAxis>(this, akBottom)),
      DepthAxis_(std::make_unique<TChartAxis>(this, akDepth))
{
}

TCustomAxisPanel::~TCustomAxisPanel()
{
    StopRepainting();
    SeriesList_->FreeAll();
}

int TCustomAxisPanel::SeriesCount() const
{
    return SeriesList_ ? SeriesList_->Count() : 0;
}

TChartSeries *TCustomAxisPanel::SeriesAt(int index) const
{
    return SeriesList_->At(index);
}

int TCustomAxisPanel::ActiveSeriesCount() const
{
    return SeriesList_->ActiveCount();
}

void TCustomAxisPanel::AttachSeries(TChartSeries *series)
{
    if (!series || SeriesList_->Contains(series))
        return;
    // A series belongs to one chart at a time.
    if (series->ParentChart() && series->ParentChart() != this)
        series->ParentChart()->DetachSeries(series);
    if (series->SeriesColor() == AutoColor)
        series->SetSeriesColor(
            FirstFreePaletteColor([this](ChartColor c) { return IsFreeSeriesColor(c, true); }));
    series->SetParentChart(this);
    SeriesList_->Add(series);
    RequestRepaint();
}

void TCustomAxisPanel::DetachSeries(TChartSeries *series)
{
    if (!series || !SeriesList_->Contains(series))
        return;
    series->SetParentChart(nullptr);
    SeriesList_->Remove(series);
    RequestRepaint();
}

void TCustomAxisPanel::SetAxisVisible(bool value)
{
    if (SetIfChanged(AxisVisible_, value))
        RequestRepaint();
}

void TCustomAxisPanel::SetChart3DPercent(int value)
{
    if (value < 1 || value > 100)
        throw ChartException("3D effect percent must be between 1 and 100");
    if (SetIfChanged(Chart3DPercent_, value))
        RequestRepaint();
}

void TCustomAxisPanel::SetClipPoints(bool value)
{
    if (SetIfChanged(ClipPoints_, value))
        RequestRepaint();
}

void TCustomAxisPanel::SetView3DWalls(bool value)
{
    if (SetIfChanged(View3DWalls_, value))
        RequestRepaint();
}

void TCustomAxisPanel::SetMaxPointsPerPage(int value)
{
    if (value < 0)
        throw ChartException("MaxPointsPerPage must be >= 0");
    if (SetIfChanged(MaxPointsPerPage_, value))
        RequestRepaint();
}

void TCustomAxisPanel::SetPage(int value)
{
    if (SetIfChanged(Page_, value))
        RequestRepaint();
}

void TCustomAxisPanel::SetScaleLastPage(bool value)
{
    if (SetIfChanged(ScaleLastPage_, value))
        RequestRepaint();
}

QString TCustomAxisPanel::SeriesLegendText(const TChartSeries *series, int index) const
{
    // The series of this chart have no component names: an empty title falls back to the
    // position.
    if (series && !series->Title().isEmpty())
        return series->Title();
    return QStringLiteral("Series ") + QString::number(index);
}

void TCustomAxisPanel::PaintChartArea()
{
    TTeeCanvas3D &canvas = Canvas();
    PaintBackground(ChartBounds);
    canvas.Disable3D();
    PaintTitlesAndLegend();
    canvas.Restore3D();
    AxisLayoutPass();
    MarginPass();
    canvas.Projection(0, ChartBounds, PlotRect);
    PaintWalls();
    if (AxisVisible_)
        PaintAxes();
    for (TChartSeries *series : *SeriesList_)
        if (series->Active())
            series->PaintSeries(canvas);
    canvas.Unclip();
    canvas.ResetCanvas();
    if (OnAfterDraw)
        OnAfterDraw(this);
}

void TCustomAxisPanel::PaintAxes()
{
    for (TChartAxis *axis : {TopAxis(), BottomAxis(), LeftAxis(), RightAxis()})
        if (axis->IsAxisShown())
            axis->DrawAxis(Canvas());
}

// ---------------------------------------------------------------------------------------------
// Titles, walls, gradient

TChartTitle::TChartTitle(TCustomAxisPanel *chart)
    : Chart_(chart), Brush_(std::make_unique<TChartBrush>(AutoColor, bsSolid)),
      Font_(std::make_unique<TChartFont>(QStringLiteral("Arial"), FontHeightForPoints(8), clBlue)),
      Frame_(std::make_unique<TChartHiddenPen>(clBlack, 1, psSolid))
{
    NotifyChart(*Brush_, chart);
    NotifyChart(*Font_, chart);
    NotifyChart(*Frame_, chart);
}

TChartTitle::~TChartTitle() = default;

void TChartTitle::SetAdjustFrame(bool value)
{
    if (SetIfChanged(AdjustFrame_, value))
        Chart_->RequestRepaint();
}

void TChartTitle::SetAlignment(TAlignment value)
{
    if (SetIfChanged(Alignment_, value))
        Chart_->RequestRepaint();
}

void TChartTitle::SetText(const QStringList &value)
{
    if (SetIfChanged(Text_, value))
        Chart_->RequestRepaint();
}

void TChartTitle::SetVisible(bool value)
{
    if (SetIfChanged(Visible_, value))
        Chart_->RequestRepaint();
}

TChartWall::TChartWall(TCustomAxisPanel *chart, ChartColor color)
    : Chart_(chart), Brush_(std::make_unique<TChartBrush>(AutoColor, bsSolid)), Color_(color),
      Pen_(std::make_unique<TChartPen>(clBlack, 1, psSolid, true))
{
    NotifyChart(*Brush_, chart);
    NotifyChart(*Pen_, chart);
}

TChartWall::~TChartWall() = default;

void TChartWall::SetColor(ChartColor value)
{
    if (SetIfChanged(Color_, value))
        Chart_->RequestRepaint();
}

void TChartWall::SetSize(int value)
{
    if (SetIfChanged(Size_, value))
        Chart_->RequestRepaint();
}

void TChartGradient::SetDirection(TGradientDirection value)
{
    if (SetIfChanged(Direction_, value))
        Chart_->RequestRepaint();
}

void TChartGradient::SetEndColor(ChartColor value)
{
    if (SetIfChanged(EndColor_, value))
        Chart_->RequestRepaint();
}

void TChartGradient::SetStartColor(ChartColor value)
{
    if (SetIfChanged(StartColor_, value))
        Chart_->RequestRepaint();
}

void TChartGradient::SetVisible(bool value)
{
    if (SetIfChanged(Visible_, value))
        Chart_->RequestRepaint();
}

// ---------------------------------------------------------------------------------------------
// TCustomChart: parts and layout

TCustomChart::TCustomChart(QWidget *parent)
    : TCustomAxisPanel(parent), Title_(std::make_unique<TChartTitle>(this)),
      Foot_(std::make_unique<TChartTitle>(this)), Gradient_(std::make_unique<TChartGradient>(this)),
      BackWall_(std::make_unique<TChartWall>(this, AutoColor)),
      LeftWall_(std::make_unique<TChartWall>(this, ChartColor(0x80FFFF))),
      BottomWall_(std::make_unique<TChartWall>(this, clWhite)),
      Legend_(std::make_unique<TChartLegend>(this))
{
    BackWall_->Brush().SetStyle(bsClear);
}

TCustomChart::~TCustomChart()
{
    StopRepainting();
}

ChartColor TCustomChart::BackColor() const
{
    return BackWall_->Color();
}

void TCustomChart::SetBackColor(ChartColor value)
{
    BackWall_->SetColor(value);
    BackWall_->Brush().SetStyle(bsSolid);
}

TChartPen &TCustomChart::Frame() const
{
    return BackWall_->Pen();
}

void TCustomChart::SetBackImage(const QImage &value)
{
    BackImage_ = value;
    RequestRepaint();
}

void TCustomChart::SetBackImageInside(bool value)
{
    if (SetIfChanged(BackImageInside_, value))
        RequestRepaint();
}

void TCustomChart::SetBackImageMode(TBackImageMode value)
{
    if (SetIfChanged(BackImageMode_, value))
        RequestRepaint();
}

int TCustomChart::AxisWallSize(const TChartAxis *axis) const
{
    if (!View3D() || !View3DWalls())
        return 0;
    if (axis == LeftAxis())
        return LeftWall_->Size();
    if (axis == BottomAxis())
        return BottomWall_->Size();
    return 0;
}

bool TCustomChart::IsFreeSeriesColor(ChartColor color, bool checkBackground) const
{
    // Compared as drawn: a system colour stands for the palette's colour.
    const ChartColor drawn = ResolveSystemColor(color);
    if (SeriesList().UsesColor(color) || drawn == ResolveSystemColor(Color()))
        return false;
    return !checkBackground || drawn != ResolveSystemColor(BackColor());
}

void TCustomChart::PaintBackground(const PixelRect &rect)
{
    TTeeCanvas3D &canvas = Canvas();
    if (Gradient_->Visible()) {
        const TGradientDirection dir = Gradient_->Direction();
        const bool swapped = dir == gdTopBottom || dir == gdLeftRight;
        canvas.GradientFill(rect, swapped ? Gradient_->EndColor() : Gradient_->StartColor(),
                            swapped ? Gradient_->StartColor() : Gradient_->EndColor(), dir);
    } else {
        canvas.Pen.Style = psClear;
        canvas.Brush.Style = bsSolid;
        canvas.Brush.Color = Color();
        canvas.FillRect(rect);
    }
    if (!BackImage_.isNull() && !BackImageInside_)
        canvas.StretchDraw(rect, BackImage_);

    // Bevels: outer bevel, a frame of BorderWidth pixels in the panel colour, inner bevel.
    canvas.Pen = TCanvasPen{clBlack, 1, psSolid, pmCopy};
    canvas.Brush.Style = bsClear;
    PixelRect r = rect;
    auto bevel = [&](PanelBevel kind) {
        if (kind == bvNone)
            return;
        const ChartColor light = clWhite;
        const ChartColor dark = clGray;
        canvas.Frame3D(r, kind == bvRaised ? light : dark, kind == bvRaised ? dark : light,
                       BevelWidth());
        r = PixelRect{r.Left + BevelWidth(), r.Top + BevelWidth(), r.Right - BevelWidth(),
                      r.Bottom - BevelWidth()};
    };
    bevel(BevelOuter());
    if (BorderWidth() > 0) {
        canvas.Frame3D(r, Color(), Color(), BorderWidth());
        r = PixelRect{r.Left + BorderWidth(), r.Top + BorderWidth(), r.Right - BorderWidth(),
                      r.Bottom - BorderWidth()};
    }
    bevel(BevelInner());
}

void TCustomChart::PaintTitlesAndLegend()
{
    if (!Legend_->Visible() || ActiveSeriesCount() == 0) {
        // No legend this time: nothing of the last one may answer a mouse press.
        Legend_->LegendRect = PixelRect{};
        Legend_->RowsShown = 0;
        PaintTitles();
    } else if (Legend_->Alignment() == laLeft || Legend_->Alignment() == laRight) {
        Legend_->PaintLegend();
        PaintTitles();
    } else {
        PaintTitles();
        Legend_->PaintLegend();
    }
}

void TCustomChart::PaintTitles()
{
    if (Title_->Visible())
        PaintTitle(*Title_, false);
    if (Foot_->Visible())
        PaintTitle(*Foot_, true);
}

void TCustomChart::PaintTitle(TChartTitle &title, bool isFoot)
{
    TTeeCanvas3D &canvas = Canvas();
    canvas.AssignFont(title.Font());
    const int lh = canvas.FontHeight();
    canvas.AssignBrush(title.Brush());
    if (title.Brush().Color() == AutoColor)
        canvas.Brush.Style = bsClear;

    const bool framed = title.Frame().Visible() && title.Frame().Color() != AutoColor;
    const int a = framed ? title.Frame().Width() : 0;
    const int x0 = PlotRect.Left + a;
    const int x1 = PlotRect.Right - a;
    int y;
    int yb;
    if (!isFoot) {
        y = PlotRect.Top + a;
        yb = y - 5;
    } else {
        yb = PlotRect.Bottom - a;
        y = yb + 5;
    }

    const QStringList &lines = title.Text();
    const int count = int(lines.size());
    PixelRect &tr = title.TitleRect;
    tr = PixelRect{x0, y, x1, yb};
    int w = 0;
    if (framed) {
        canvas.LoadPen(title.Frame());
        w = canvas.Pen.Width;
    }
    if (!isFoot)
        tr.Bottom = y + count * lh;
    else
        tr.Top = yb - count * lh;
    tr = PixelRect{tr.Left - w, tr.Top - w, tr.Right + w, tr.Bottom + w};

    if (framed && title.AdjustFrame()) {
        int m = 0;
        for (const QString &line : lines)
            m = std::max(m, canvas.TextWidth(line));
        const int bw = m + 2 * w;
        switch (title.Alignment()) {
        case taLeftJustify:
            tr.Right = tr.Left + bw;
            break;
        case taRightJustify:
            tr.Left = tr.Right - bw;
            break;
        case taCenter: {
            const int centre = (tr.Left + tr.Right) / 2;
            const int half = bw / 2 + 2 * w;
            tr.Left = centre - half;
            tr.Right = centre + half;
            break;
        }
        }
    }
    if (framed)
        canvas.Rectangle(tr);

    canvas.SetBackMode(bmTransparent);
    auto lineX = [&](const QString &line) {
        const int tw = canvas.TextWidth(line);
        switch (title.Alignment()) {
        case taLeftJustify:
            return x0;
        case taRightJustify:
            return x1 - tw;
        case taCenter:
            break;
        }
        return (x0 + x1) / 2 - tw / 2;
    };
    if (!isFoot) {
        for (const QString &line : lines) {
            yb = y + lh;
            canvas.TextOut(lineX(line), y, line);
            y = yb;
        }
    } else {
        for (int i = count - 1; i >= 0; --i) {
            y = yb - lh;
            canvas.TextOut(lineX(lines[i]), y, lines[i]);
            yb = y;
        }
    }

    if (framed) {
        if (!isFoot)
            yb += 2 * w;
        else
            y -= 2 * w;
    }
    if (!isFoot)
        PlotRect.Top = yb + 5;
    else
        PlotRect.Bottom = y - 5;
    RecalcPlotSize();
}

void TCustomChart::AxisLayoutPass()
{
    for (TChartAxis *axis : {LeftAxis(), RightAxis(), TopAxis(), BottomAxis(), DepthAxis()})
        axis->ComputeRange();
    RecalcPlotSize();
    PixelRect working = PlotRect;
    for (TChartAxis *axis : {LeftAxis(), RightAxis(), TopAxis(), BottomAxis(), DepthAxis()}) {
        // The depth axis exists only in 3-D.
        if (axis == DepthAxis() && !View3D())
            continue;
        if (!axis->IsAxisShown())
            continue;
        PixelRect r = working;
        axis->ReserveAxisSpace(r, Canvas());
        const PixelRect both{std::max(r.Left, working.Left), std::max(r.Top, working.Top),
                             std::min(r.Right, working.Right), std::min(r.Bottom, working.Bottom)};
        if (!both.IsEmpty())
            working = both;
    }
    PlotRect = working;
    RecalcPlotSize();

    // The left and right axes measured their label bands from the range before the markers'
    // margins widen it; where a label drawn from the widened range would be cut by the chart's
    // edge, the band grows to the labels drawn. The vertical widening depends on the plot's
    // height only, which this does not change.
    for (TChartAxis *axis : {LeftAxis(), RightAxis()}) {
        if (!axis->IsAxisShown())
            continue;
        const int extra = axis->LabelOverflow(Canvas());
        if (extra <= 0 || PlotRect.Right - PlotRect.Left - extra < 1)
            continue;
        if (axis == LeftAxis())
            PlotRect.Left += extra;
        else
            PlotRect.Right -= extra;
        axis->WidenLabelBand(extra);
        RecalcPlotSize();
    }
}

void TCustomChart::MarginPass()
{
    for (TChartAxis *axis : {TopAxis(), LeftAxis(), RightAxis(), BottomAxis()})
        axis->WidenForMargins();
}

void TCustomChart::PaintWalls()
{
    TTeeCanvas3D &canvas = Canvas();
    const TChartWall &wall = *BackWall_;
    canvas.LoadPen(wall.Pen());
    const ChartBrushStyle style = wall.Brush().Style();
    if (wall.Color() == AutoColor && style == bsSolid) {
        canvas.Brush.Style = bsClear;
    } else {
        canvas.Brush.Color = wall.Color();
        canvas.Brush.Style = style;
        if (style == bsSolid) {
            canvas.SetBackMode(bmTransparent);
        } else if (style != bsClear) {
            // Hatch lines in a colour that shows on the wall colour, over an opaque background.
            ChartColor hatch = wall.Brush().Color();
            if (hatch == wall.Color() || hatch == AutoColor)
                hatch = wall.Color() == clBlack ? clWhite : clBlack;
            canvas.Brush.Color = hatch;
            canvas.SetBackColor(wall.Color() == AutoColor ? Color() : wall.Color());
            canvas.SetBackMode(bmOpaque);
        }
    }
    canvas.Rectangle(PlotRect.Left, PlotRect.Top, PlotRect.Right + 1, PlotRect.Bottom);
    if (!BackImage_.isNull() && BackImageInside_)
        canvas.StretchDraw(PlotRect, BackImage_);
}

// ---------------------------------------------------------------------------------------------

TChart::TChart(QWidget *parent) : TCustomChart(parent) {}

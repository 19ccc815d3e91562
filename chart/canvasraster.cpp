// The canvas' rasteriser: one-pixel lines, polylines and dotted lines, rectangles, fills,
// ellipses and polygons, written straight into the target image's scanlines (or, on a painter
// target, as one-row fills in the pen mode's composition mode). Every pixel of a figure is
// written once, so NOT-XOR figures drawn twice restore the picture.
#include "canvas.h"
#include "canvasimpl.h"

#include <QPainter>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

using namespace canvasdetail;

namespace canvasdetail
{

QPainter::CompositionMode CompositionFor(ChartPenMode m)
{
    switch (m) {
    case pmBlack:
        return QPainter::RasterOp_ClearDestination;
    case pmWhite:
        return QPainter::RasterOp_SetDestination;
    case pmNot:
        return QPainter::RasterOp_NotDestination;
    case pmNotCopy:
        return QPainter::RasterOp_NotSource;
    case pmMergePenNot:
        return QPainter::RasterOp_SourceOrNotDestination;
    case pmMaskPenNot:
        return QPainter::RasterOp_SourceAndNotDestination;
    case pmMergeNotPen:
        return QPainter::RasterOp_NotSourceOrDestination;
    case pmMaskNotPen:
        return QPainter::RasterOp_NotSourceAndDestination;
    case pmMerge:
        return QPainter::RasterOp_SourceOrDestination;
    case pmNotMerge:
        return QPainter::RasterOp_NotSourceAndNotDestination;
    case pmMask:
        return QPainter::RasterOp_SourceAndDestination;
    case pmNotMask:
        return QPainter::RasterOp_NotSourceOrNotDestination;
    case pmXor:
        return QPainter::RasterOp_SourceXorDestination;
    case pmNotXor:
        return QPainter::RasterOp_NotSourceXorDestination;
    case pmNop:
    case pmCopy:
    default:
        return QPainter::CompositionMode_SourceOver;
    }
}
/// The painter for what the paint library draws: the canvas' own painter on an image target
/// (opened on first use), else the target painter when it is open; null without either.
QPainter *LibraryPainter(QImage *image, QPainter *painter, std::unique_ptr<QPainter> &own)
{
    if (image) {
        if (!own)
            own = std::make_unique<QPainter>(image);
        return own.get();
    }
    return painter && painter->isActive() ? painter : nullptr;
}

} // namespace canvasdetail

namespace
{

/// Result of a raster operation for screen pixel d and pen pixel s (alpha forced opaque).
inline std::uint32_t ApplyRop(std::uint32_t d, std::uint32_t s, ChartPenMode m)
{
    std::uint32_t r;
    switch (m) {
    case pmBlack:
        r = 0;
        break;
    case pmWhite:
        r = 0xFFFFFFu;
        break;
    case pmNop:
        r = d;
        break;
    case pmNot:
        r = ~d;
        break;
    case pmCopy:
        r = s;
        break;
    case pmNotCopy:
        r = ~s;
        break;
    case pmMergePenNot:
        r = s | ~d;
        break;
    case pmMaskPenNot:
        r = s & ~d;
        break;
    case pmMergeNotPen:
        r = ~s | d;
        break;
    case pmMaskNotPen:
        r = ~s & d;
        break;
    case pmMerge:
        r = s | d;
        break;
    case pmNotMerge:
        r = ~(s | d);
        break;
    case pmMask:
        r = s & d;
        break;
    case pmNotMask:
        r = ~(s & d);
        break;
    case pmXor:
        r = s ^ d;
        break;
    case pmNotXor:
    default:
        r = ~(s ^ d);
        break;
    }
    return r | 0xFF000000u;
}

/// On/off run lengths of the styled one-pixel pens (starting with "on").
struct DashPattern {
    std::array<std::uint8_t, 6> runs{};
    int count = 0;
    int period = 0;
};

const DashPattern *PatternFor(ChartPenStyle s)
{
    static const DashPattern dash{{18, 6}, 2, 24};
    static const DashPattern dot{{3, 3}, 2, 6};
    static const DashPattern dashDot{{9, 6, 3, 6}, 4, 24};
    static const DashPattern dashDotDot{{9, 3, 3, 3, 3, 3}, 6, 24};
    switch (s) {
    case psDash:
        return &dash;
    case psDot:
        return &dot;
    case psDashDot:
        return &dashDot;
    case psDashDotDot:
        return &dashDotDot;
    default:
        return nullptr;
    }
}

/// Bit mask over one period of a pattern (bit i set = pixel i of the period is drawn).
struct PatternMask {
    std::uint32_t bits = 0;
    int period = 0;
};

PatternMask MaskFor(ChartPenStyle s)
{
    const DashPattern *p = PatternFor(s);
    if (!p)
        return {};
    PatternMask m;
    m.period = p->period;
    int pos = 0;
    for (int i = 0; i < p->count; ++i) {
        if (i % 2 == 0)
            for (int k = 0; k < p->runs[size_t(i)]; ++k)
                m.bits |= 1u << (pos + k);
        pos += p->runs[size_t(i)];
    }
    return m;
}

inline bool HatchOn(ChartBrushStyle s, int x, int y)
{
    const int h = y & 7, v = x & 7, f = (x - y) & 7, b = (x + y) & 7;
    switch (s) {
    case bsHorizontal:
        return h == 0;
    case bsVertical:
        return v == 0;
    case bsFDiagonal:
        return f == 0;
    case bsBDiagonal:
        return b == 0;
    case bsCross:
        return h == 0 || v == 0;
    case bsDiagCross:
        return f == 0 || b == 0;
    default:
        return true;
    }
}

} // namespace

/// One primitive's access to the target: clip bounds, colour, mode and the pixel writers.
/// Image targets are written through their scanlines; painter targets get one-row fillRect
/// calls in the mode's composition mode.
struct CanvasRaster {
    std::uint32_t *bits;
    qsizetype stride; // in pixels
    QPainter *painter;
    int cx0, cy0, cx1, cy1; // clip, right/bottom excluded
    std::uint32_t rgb;
    ChartPenMode mode;
    QColor qcolor;
    // Optional mask of pixels already written by this primitive (polygon/ellipse outline).
    std::uint8_t *mask;
    int mx0, my0, mw;

    // Every primitive makes one of these: the members are set one by one, because a compiler
    // clears a whole default-initialised object with a block store that costs more than the
    // rest of a small primitive.
    CanvasRaster()
        : bits(nullptr), stride(0), painter(nullptr), cx0(0), cy0(0), cx1(0), cy1(0), rgb(0),
          mode(pmCopy), mask(nullptr), mx0(0), my0(0), mw(0)
    {
    }

    bool Empty() const { return cx0 >= cx1 || cy0 >= cy1; }
    bool Inside(int x, int y) const { return x >= cx0 && x < cx1 && y >= cy0 && y < cy1; }

    void SetColor(ChartColor c)
    {
        rgb = Rgb(c);
        if (painter)
            qcolor = QColor::fromRgb(rgb);
    }

    /// Pixel already clipped.
    inline void Put(int x, int y)
    {
        if (mask)
            mask[size_t(y - my0) * size_t(mw) + size_t(x - mx0)] = 1;
        if (bits) {
            std::uint32_t &d = bits[y * stride + x];
            d = mode == pmCopy ? rgb : ApplyRop(d, rgb, mode);
        } else if (painter) {
            painter->fillRect(x, y, 1, 1, qcolor);
        }
    }
    inline void Pixel(int x, int y)
    {
        if (Inside(x, y))
            Put(x, y);
    }
    /// Row y, columns x0..x1-1.
    void Span(int x0, int x1, int y)
    {
        if (y < cy0 || y >= cy1)
            return;
        x0 = std::max(x0, cx0);
        x1 = std::min(x1, cx1);
        if (x0 >= x1)
            return;
        if (bits) {
            std::uint32_t *row = bits + y * stride;
            if (mode == pmCopy) {
                std::fill(row + x0, row + x1, rgb);
            } else {
                for (int x = x0; x < x1; ++x)
                    row[x] = ApplyRop(row[x], rgb, mode);
            }
        } else if (painter) {
            painter->fillRect(x0, y, x1 - x0, 1, qcolor);
        }
    }
    /// The box x0..x1-1 by y0..y1-1.
    void Box(int x0, int y0, int x1, int y1)
    {
        y0 = std::max(y0, cy0);
        y1 = std::min(y1, cy1);
        x0 = std::max(x0, cx0);
        x1 = std::min(x1, cx1);
        if (x0 >= x1 || y0 >= y1)
            return;
        if (!bits) {
            if (painter)
                painter->fillRect(x0, y0, x1 - x0, y1 - y0, qcolor);
            return;
        }
        std::uint32_t *row = bits + y0 * stride;
        for (int y = y0; y < y1; ++y, row += stride) {
            if (mode == pmCopy) {
                for (int x = x0; x < x1; ++x)
                    row[x] = rgb;
            } else {
                for (int x = x0; x < x1; ++x)
                    row[x] = ApplyRop(row[x], rgb, mode);
            }
        }
    }

    /// One-pixel solid line in copy mode on an image, both end points inside the clip (so every
    /// pixel between them is): the same pixels as Line without its clipping and pattern work.
    void SolidLineInside(int x0, int y0, int x1, int y1)
    {
        const int dx = x1 - x0, dy = y1 - y0;
        const int adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
        const bool xMajor = adx >= ady;
        const int n = xMajor ? adx : ady, a = xMajor ? ady : adx;
        const qsizetype stepX = dx < 0 ? -1 : 1, stepY = dy < 0 ? -stride : stride;
        const qsizetype stepMaj = xMajor ? stepX : stepY, stepMin = xMajor ? stepY : stepX;
        std::uint32_t *p = bits + y0 * stride + x0;
        // Minor offset of step k: floor((2ka + n) / 2n), as in Line.
        int rem = n;
        for (int k = 0; k < n; ++k, p += stepMaj) {
            *p = rgb;
            rem += 2 * a;
            if (rem >= 2 * n) {
                rem -= 2 * n;
                p += stepMin;
            }
        }
    }

    /// One-pixel line from (x0, y0) towards (x1, y1), the end point excluded. `phase` counts
    /// pixels along the line for styled pens (continued by the caller across joints).
    void Line(int x0, int y0, int x1, int y1, const PatternMask &pat, int &phase)
    {
        const long long dx = (long long)x1 - x0, dy = (long long)y1 - y0;
        const long long adx = dx < 0 ? -dx : dx, ady = dy < 0 ? -dy : dy;
        const long long n = std::max(adx, ady);
        if (n == 0)
            return;
        if (Empty()) {
            phase += int(n % 1000000);
            return;
        }
        const bool xMajor = adx >= ady;
        const int sMaj = xMajor ? (dx < 0 ? -1 : 1) : (dy < 0 ? -1 : 1);
        const int sMin = xMajor ? (dy < 0 ? -1 : 1) : (dx < 0 ? -1 : 1);
        const long long a = xMajor ? ady : adx; // minor extent
        const long long maj0 = xMajor ? x0 : y0, min0 = xMajor ? y0 : x0;
        const long long lo = xMajor ? cx0 : cy0, hi = xMajor ? cx1 : cy1; // major clip
        const long long mlo = xMajor ? cy0 : cx0, mhi = xMajor ? cy1 : cx1;
        // Steps k = 0..n-1 lie at major maj0 + sMaj*k; keep those inside the major clip.
        long long kFirst = 0, kLast = n - 1;
        if (sMaj > 0) {
            kFirst = std::max(kFirst, lo - maj0);
            kLast = std::min(kLast, hi - 1 - maj0);
        } else {
            kFirst = std::max(kFirst, maj0 - (hi - 1));
            kLast = std::min(kLast, maj0 - lo);
        }
        const int phaseStart = phase;
        phase += int(n % 1000000);
        if (kFirst > kLast)
            return;
        // Minor offset of step k: round(k * a / n), halves away from the start point,
        // = floor((2ka + n) / 2n), advanced incrementally.
        const long long twoN = 2 * n;
        long long off = 0, rem = n; // k = 0: offset 0, remainder n
        if (kFirst > 0) {
            const long long q = 2 * kFirst * a + n;
            off = q / twoN;
            rem = q % twoN;
        }
        for (long long k = kFirst; k <= kLast; ++k) {
            const long long mn = min0 + sMin * off;
            if (mn >= mlo && mn < mhi) {
                if (pat.period == 0 || (pat.bits >> ((phaseStart + k) % pat.period)) & 1u) {
                    const long long mj = maj0 + sMaj * k;
                    if (xMajor)
                        Put(int(mj), int(mn));
                    else
                        Put(int(mn), int(mj));
                }
            } else if ((sMin > 0 && mn >= mhi) || (sMin < 0 && mn < mlo)) {
                break; // the minor coordinate only moves further out
            }
            rem += 2 * a;
            if (rem >= twoN) {
                rem -= twoN;
                ++off;
            }
        }
    }
};

namespace
{
CanvasRaster MakeRaster(QImage *image, ImageGeometry &geo, QPainter *painter,
                        const std::optional<PixelRect> &clip)
{
    CanvasRaster r;
    int w = 0, h = 0;
    if (image && geo.ok) {
        // QImage::bits() detaches the image on every call (a call into the library that costs
        // as much as a small marker). While the image is not shared and still holds the pixels
        // of the last primitive, those are written again; a shared image is detached first, so
        // a copy somebody took keeps its pixels.
        if (!geo.bits || !image->isDetached() ||
            image->constBits() != reinterpret_cast<const uchar *>(geo.bits))
            geo.bits = reinterpret_cast<std::uint32_t *>(image->bits());
        r.bits = geo.bits;
        r.stride = geo.stride;
        w = geo.w;
        h = geo.h;
    } else if (painter && painter->isActive()) {
        r.painter = painter;
        w = painter->device()->width();
        h = painter->device()->height();
    }
    r.cx1 = w;
    r.cy1 = h;
    if (clip) {
        r.cx0 = std::max(r.cx0, clip->Left);
        r.cy0 = std::max(r.cy0, clip->Top);
        r.cx1 = std::min(r.cx1, clip->Right);
        r.cy1 = std::min(r.cy1, clip->Bottom);
    }
    if (r.painter) {
        r.painter->save();
        r.painter->setClipping(false);
        r.painter->resetTransform();
    }
    return r;
}

/// Restores the window painter's state after MakeRaster.
struct RasterScope {
    CanvasRaster &r;
    explicit RasterScope(CanvasRaster &raster) : r(raster) {}
    ~RasterScope()
    {
        if (r.painter)
            r.painter->restore();
    }
    void Mode(ChartPenMode m)
    {
        r.mode = m;
        if (r.painter)
            r.painter->setCompositionMode(CompositionFor(m));
    }
};

/// Prepares a painter for a wide-pen shape inside a raster primitive: the window painter (saved
/// by MakeRaster) or the image's own painter (saved here: restore it after drawing when
/// r.painter is null), clipped to the raster's clip and set to the pen mode.
QPainter *WidePenPainter(const CanvasRaster &r, QImage *image, std::unique_ptr<QPainter> &own,
                         ChartPenMode mode)
{
    QPainter *p = r.painter;
    if (!p) {
        p = LibraryPainter(image, nullptr, own);
        p->save();
    }
    p->setClipRect(QRect(r.cx0, r.cy0, r.cx1 - r.cx0, r.cy1 - r.cy0));
    p->setCompositionMode(CompositionFor(mode));
    return p;
}

/// Band of a wide pen centred on coordinate c: c - w/2 .. c - w/2 + w - 1.
inline int BandStart(int c, int w)
{
    return c - w / 2;
}
} // namespace

// --- lines ------------------------------------------------------------------------------------

void TTeeCanvas::MoveTo(int x, int y)
{
    penPos_ = {x, y};
}

void TTeeCanvas::LineTo(int x, int y)
{
    Line(penPos_.X, penPos_.Y, x, y);
}

void TTeeCanvas::Line(int x0, int y0, int x1, int y1)
{
    penPos_ = {x1, y1};
    if (Pen.Style == psClear || Pen.Mode == pmNop)
        return;
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    if (r.Empty())
        return;
    r.SetColor(Pen.Color);
    scope.Mode(Pen.Mode);
    const int w = std::max(1, Pen.Width);
    if (w == 1) {
        if (r.bits && Pen.Mode == pmCopy && Pen.Style == psSolid && r.Inside(x0, y0) &&
            r.Inside(x1, y1)) {
            // The series' segments: short, solid and inside the plot.
            r.SolidLineInside(x0, y0, x1, y1);
            return;
        }
        int phase = 0;
        r.Line(x0, y0, x1, y1, MaskFor(Pen.Style), phase);
        return;
    }
    // Wide pens: horizontal and vertical lines as bands, the end point excluded.
    if (y0 == y1) {
        const int s = x0 < x1 ? x0 : x1 + 1, e = x0 < x1 ? x1 : x0 + 1;
        r.Box(s, BandStart(y0, w), e, BandStart(y0, w) + w);
        return;
    }
    if (x0 == x1) {
        const int s = y0 < y1 ? y0 : y1 + 1, e = y0 < y1 ? y1 : y0 + 1;
        r.Box(BandStart(x0, w), s, BandStart(x0, w) + w, e);
        return;
    }
    // Wide diagonal lines: the paint library's flat-capped wide line.
    QPainter *p = WidePenPainter(r, image_, d_->imagePainter, Pen.Mode);
    QPen qp(QColor::fromRgb(Rgb(Pen.Color)), w);
    qp.setCapStyle(Qt::FlatCap);
    qp.setJoinStyle(Qt::MiterJoin);
    p->setPen(qp);
    p->drawLine(x0, y0, x1, y1);
    if (!r.painter)
        p->restore();
}

void TTeeCanvas::HorizLine(int x0, int x1, int y)
{
    Line(x0, y, x1, y);
}

void TTeeCanvas::VertLine(int x, int y0, int y1)
{
    Line(x, y0, x, y1);
}

void TTeeCanvas::Polyline(std::span<const PixelPoint> pts)
{
    if (pts.size() < 2 || Pen.Style == psClear || Pen.Mode == pmNop)
        return;
    const PixelPoint saved = penPos_;
    if (std::max(1, Pen.Width) > 1) {
        for (size_t i = 1; i < pts.size(); ++i)
            Line(pts[i - 1].X, pts[i - 1].Y, pts[i].X, pts[i].Y);
        penPos_ = saved;
        return;
    }
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    if (r.Empty())
        return;
    r.SetColor(Pen.Color);
    scope.Mode(Pen.Mode);
    const PatternMask pat = MaskFor(Pen.Style);
    int phase = 0;
    for (size_t i = 1; i < pts.size(); ++i)
        r.Line(pts[i - 1].X, pts[i - 1].Y, pts[i].X, pts[i].Y, pat, phase);
}

void TTeeCanvas::SetPixel(int x, int y, ChartColor color)
{
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    scope.Mode(pmCopy);
    r.SetColor(color);
    r.Pixel(x, y);
}

ChartColor TTeeCanvas::GetPixel(int x, int y) const
{
    if (!image_ || x < 0 || y < 0 || x >= image_->width() || y >= image_->height())
        return clBlack;
    return RgbToChartColor(image_->pixel(x, y));
}

// --- filled shapes ------------------------------------------------------------------------------

namespace
{
/// Fills the box with the brush (solid or hatched), in `mode`. Background pixels of a hatch
/// get `back` when opaque.
void BrushBox(CanvasRaster &r, RasterScope &scope, const TCanvasBrush &brush, ChartPenMode mode,
              ChartColor back, ChartBackMode backMode, int x0, int y0, int x1, int y1)
{
    if (brush.Style == bsClear || x0 >= x1 || y0 >= y1)
        return;
    scope.Mode(mode);
    if (brush.Style == bsSolid) {
        r.SetColor(brush.Color);
        r.Box(x0, y0, x1, y1);
        return;
    }
    const int ys = std::max(y0, r.cy0), ye = std::min(y1, r.cy1);
    const int xs = std::max(x0, r.cx0), xe = std::min(x1, r.cx1);
    const std::uint32_t fg = Rgb(brush.Color), bg = Rgb(back);
    for (int y = ys; y < ye; ++y)
        for (int x = xs; x < xe; ++x) {
            const bool on = HatchOn(brush.Style, x, y);
            if (!on && backMode != bmOpaque)
                continue;
            r.rgb = on ? fg : bg;
            if (r.painter)
                r.qcolor = QColor::fromRgb(r.rgb);
            r.Put(x, y);
        }
}
} // namespace

void TTeeCanvas::Rectangle(int x0, int y0, int x1, int y1)
{
    if (x0 > x1)
        std::swap(x0, x1);
    if (y0 > y1)
        std::swap(y0, y1);
    if (x0 == x1 || y0 == y1)
        return;
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    if (r.Empty())
        return;
    const bool pen = Pen.Style != psClear && Pen.Mode != pmNop;
    if (!pen) {
        BrushBox(r, scope, Brush, Pen.Mode, backColor_, backMode_, x0, y0, x1, y1);
        return;
    }
    const int w = std::max(1, Pen.Width);
    if (r.bits && w == 1 && Pen.Mode == pmCopy &&
        (Pen.Style == psSolid || Pen.Style == psInsideFrame) &&
        (Brush.Style == bsSolid || Brush.Style == bsClear)) {
        // The common case (markers, frames): one pass over the rows, each pixel written once.
        const int cx0 = std::max(x0, r.cx0), cx1 = std::min(x1, r.cx1);
        const int cy0 = std::max(y0, r.cy0), cy1 = std::min(y1, r.cy1);
        if (cx0 >= cx1 || cy0 >= cy1)
            return;
        const std::uint32_t pc = Rgb(Pen.Color), bc = Rgb(Brush.Color);
        const bool fill = Brush.Style == bsSolid;
        const int xr = x1 - 1;
        const int fx0 = std::max(x0 + 1, cx0), fx1 = std::min(xr, cx1);
        const bool left = x0 >= cx0, right = xr < cx1 && xr > x0;
        std::uint32_t *row = r.bits + cy0 * r.stride;
        for (int y = cy0; y < cy1; ++y, row += r.stride) {
            if (y == y0 || y == y1 - 1) {
                for (int x = cx0; x < cx1; ++x)
                    row[x] = pc;
                continue;
            }
            if (left)
                row[x0] = pc;
            if (fill)
                for (int x = fx0; x < fx1; ++x)
                    row[x] = bc;
            if (right)
                row[xr] = pc;
        }
        return;
    }
    // Outer edge of the frame: centred on the box edge, or inside it for psInsideFrame.
    const int in = Pen.Style == psInsideFrame ? 0 : w / 2;
    const int L = x0 - in, T = y0 - in, R = x1 - 1 - in + w, B = y1 - 1 - in + w;
    // Interior (brush) inside the frame.
    BrushBox(r, scope, Brush, Pen.Mode, backColor_, backMode_, L + w, T + w, R - w, B - w);
    scope.Mode(Pen.Mode);
    r.SetColor(Pen.Color);
    const PatternMask pat = w == 1 ? MaskFor(Pen.Style) : PatternMask{};
    if (pat.period != 0) {
        // Styled outline: one closed path, the pattern running round it.
        const int xr = x1 - 1, yb = y1 - 1;
        int phase = 0;
        if (xr == x0 || yb == y0) {
            r.Line(x0, y0, xr + (xr == x0 ? 0 : 1), yb + (yb == y0 ? 0 : 1), pat, phase);
            if (xr == x0 && yb == y0)
                r.Pixel(x0, y0);
            return;
        }
        r.Line(x0, y0, xr, y0, pat, phase);
        r.Line(xr, y0, xr, yb, pat, phase);
        r.Line(xr, yb, x0, yb, pat, phase);
        r.Line(x0, yb, x0, y0, pat, phase);
        return;
    }
    // Solid frame of width w as four non-overlapping bands.
    if (B - T <= 2 * w || R - L <= 2 * w) {
        r.Box(L, T, R, B);
        return;
    }
    r.Box(L, T, R, T + w);
    r.Box(L, B - w, R, B);
    r.Box(L, T + w, L + w, B - w);
    r.Box(R - w, T + w, R, B - w);
}

void TTeeCanvas::FillRect(const PixelRect &rect)
{
    int x0 = rect.Left, x1 = rect.Right, y0 = rect.Top, y1 = rect.Bottom;
    if (x0 > x1)
        std::swap(x0, x1);
    if (y0 > y1)
        std::swap(y0, y1);
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    if (r.Empty())
        return;
    BrushBox(r, scope, Brush, pmCopy, backColor_, backMode_, x0, y0, x1, y1);
}

namespace
{
/// Rows of the ellipse inscribed in a W x H box (used for boxes too large for a scratch
/// picture), relative to the box: a pixel belongs to it
/// when its centre lies in the continuous ellipse touching the box edges. The outline is every
/// member pixel with a 4-neighbour outside; the rest is the interior.
void EllipseRuns(int W, int H, std::vector<ShapeRun> &outline, std::vector<ShapeRun> &fill)
{
    outline.clear();
    fill.clear();
    const double cx = W / 2.0, cy = H / 2.0, ra = W / 2.0, rb = H / 2.0;
    auto rowSpan = [&](int j, int &lo, int &hi) {
        if (j < 0 || j >= H) {
            lo = 1;
            hi = 0;
            return;
        }
        const double dy = (j + 0.5 - cy) / rb;
        const double hw = ra * std::sqrt(std::max(0.0, 1.0 - dy * dy));
        lo = int(std::ceil(cx - hw - 0.5));
        hi = int(std::floor(cx + hw - 0.5));
        if (lo > hi) {
            lo = int(std::floor(cx - 0.5));
            hi = int(std::ceil(cx - 0.5));
        }
        lo = std::max(lo, 0);
        hi = std::min(hi, W - 1);
    };
    int pl, ph, cl, ch, nl, nh;
    rowSpan(-1, pl, ph);
    rowSpan(0, cl, ch);
    for (int j = 0; j < H; ++j) {
        rowSpan(j + 1, nl, nh);
        // Interior columns: inside this row and inside both neighbouring rows, not an end.
        int il = cl + 1, ih = ch - 1;
        if (pl > ph || nl > nh) {
            il = 1;
            ih = 0;
        } else {
            il = std::max({il, pl, nl});
            ih = std::min({ih, ph, nh});
        }
        if (il > ih) {
            outline.push_back({j, cl, ch + 1});
        } else {
            outline.push_back({j, cl, il});
            outline.push_back({j, ih + 1, ch + 1});
            fill.push_back({j, il, ih + 1});
        }
        pl = cl;
        ph = ch;
        cl = nl;
        ch = nh;
    }
}

/// The paint library's aliased ellipse for the box (0, 0, W - 1, H - 1) with a cosmetic pen:
/// its outline touches exactly the box and is symmetric, its fill stays inside. It is painted
/// once into a scratch image in two marker colours and turned into runs, so that the many
/// markers of one size cost only their spans.
void PaintedEllipseRuns(int W, int H, std::vector<ShapeRun> &outline, std::vector<ShapeRun> &fill)
{
    outline.clear();
    fill.clear();
    QImage scratch(W, H, QImage::Format_RGB32);
    scratch.fill(0xFF000000u);
    {
        QPainter p(&scratch);
        QPen pen(QColor(255, 0, 0), 0);
        pen.setCosmetic(true);
        p.setPen(pen);
        p.setBrush(QColor(0, 255, 0));
        if (W == 1 || H == 1)
            p.fillRect(0, 0, W, H, QColor(255, 0, 0)); // a line-thin box is all outline
        else
            p.drawEllipse(QRect(0, 0, W - 1, H - 1));
    }
    for (int y = 0; y < H; ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(scratch.constScanLine(y));
        int x = 0;
        while (x < W) {
            const QRgb v = row[x] & 0xFFFFFFu;
            int e = x + 1;
            while (e < W && (row[e] & 0xFFFFFFu) == v)
                ++e;
            if (v == 0xFF0000u)
                outline.push_back({y, x, e});
            else if (v == 0x00FF00u)
                fill.push_back({y, x, e});
            x = e;
        }
    }
}

/// Grid cells of a shape being rasterised.
enum ShapeCell : std::uint8_t { Empty = 0, Edge = 1, Inside = 2 };

/// Marks as Inside every Empty cell of the w x h grid that the Edge cells enclose: those not
/// reachable from the grid's border through 4-connected Empty cells. A one-pixel outline drawn
/// with the line rasteriser is 8-connected, so nothing leaks through its diagonal steps.
/// `stack` is scratch space.
void MarkEnclosed(std::vector<std::uint8_t> &grid, int w, int h, std::vector<int> &stack)
{
    std::vector<std::uint8_t> reached(grid.size(), 0);
    stack.clear();
    auto push = [&](int x, int y) {
        const std::size_t i = std::size_t(y) * std::size_t(w) + std::size_t(x);
        if (grid[i] == Empty && !reached[i]) {
            reached[i] = 1;
            stack.push_back(int(i));
        }
    };
    for (int x = 0; x < w; ++x) {
        push(x, 0);
        push(x, h - 1);
    }
    for (int y = 0; y < h; ++y) {
        push(0, y);
        push(w - 1, y);
    }
    while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        const int x = i % w, y = i / w;
        if (x > 0)
            push(x - 1, y);
        if (x + 1 < w)
            push(x + 1, y);
        if (y > 0)
            push(x, y - 1);
        if (y + 1 < h)
            push(x, y + 1);
    }
    for (std::size_t i = 0; i < grid.size(); ++i)
        if (grid[i] == Empty && !reached[i])
            grid[i] = Inside;
}

/// Appends the Edge and Inside cells of a grid whose top-left cell is (gx, gy) as runs, moved
/// by (-ox, -oy).
void GridToRuns(const std::vector<std::uint8_t> &grid, int w, int h, int gx, int gy, int ox, int oy,
                std::vector<ShapeRun> &outline, std::vector<ShapeRun> &fill)
{
    for (int y = 0; y < h; ++y) {
        const std::uint8_t *row = grid.data() + std::size_t(y) * std::size_t(w);
        int x = 0;
        while (x < w) {
            const std::uint8_t v = row[x];
            int e = x + 1;
            while (e < w && row[e] == v)
                ++e;
            if (v == Edge)
                outline.push_back({gy + y - oy, gx + x - ox, gx + e - ox});
            else if (v == Inside)
                fill.push_back({gy + y - oy, gx + x - ox, gx + e - ox});
            x = e;
        }
    }
}

/// A box this narrow or low (in pixels) holds a flat ellipse.
constexpr int FlatEllipseSide = 5;

/// The ellipse inscribed in a flat W x H box, relative to the box. Its outline touches all four
/// sides and is closed; the fill is exactly what the outline encloses. A box two pixels wide or
/// high or less is all outline (its ellipse is the box's frame). Otherwise the outline is
/// walked over one quarter, from the right end of the middle row down to the middle of the
/// bottom row: each step goes to whichever of the three next pixels (left, down, diagonal) lies
/// nearest the ellipse through the centres of the box's edge pixels, judged by the residual of
/// its equation b^2 (2x - a)^2 + a^2 (2y - b)^2 = a^2 b^2 (a = W - 1, b = H - 1). A walk that
/// reaches the middle column before the bottom row (a tall, thin box) finishes the tip
/// straight down. The quarter is mirrored into the other three.
void FlatEllipseRuns(int W, int H, std::vector<std::uint8_t> &grid, std::vector<int> &stack,
                     std::vector<ShapeRun> &outline, std::vector<ShapeRun> &fill)
{
    outline.clear();
    fill.clear();
    grid.assign(std::size_t(W) * std::size_t(H), Empty);
    auto edge = [&](int x, int y) {
        for (const int ex : {x, W - 1 - x})
            for (const int ey : {y, H - 1 - y})
                grid[std::size_t(ey) * std::size_t(W) + std::size_t(ex)] = Edge;
    };
    if (W <= 2 || H <= 2) {
        std::fill(grid.begin(), grid.end(), std::uint8_t(Edge));
    } else {
        const long long a = W - 1, b = H - 1;
        const auto residual = [&](long long x, long long y) {
            const long long u = 2 * x - a, v = 2 * y - b;
            return std::llabs(b * b * u * u + a * a * v * v - a * a * b * b);
        };
        long long x = a, y = H / 2;
        while (x >= W / 2 && y <= b) {
            edge(int(x), int(y));
            const long long left = residual(x - 1, y), down = residual(x, y + 1),
                            diagonal = residual(x - 1, y + 1);
            if (diagonal <= left && diagonal <= down) {
                --x;
                ++y;
            } else if (left < down) {
                --x;
            } else {
                ++y;
            }
        }
        for (; y <= b; ++y)
            edge(W / 2, int(y));
    }
    MarkEnclosed(grid, W, H, stack);
    GridToRuns(grid, W, H, 0, 0, 0, 0, outline, fill);
}

/// Whether the closed polygon is simple: no two of its edges meet except neighbours at their
/// shared vertex (repeated vertices are taken once).
bool IsSimplePolygon(std::span<const PixelPoint> pts)
{
    std::vector<PixelPoint> v;
    for (const PixelPoint &p : pts)
        if (v.empty() || !(v.back() == p))
            v.push_back(p);
    while (v.size() > 1 && v.front() == v.back())
        v.pop_back();
    const std::size_t n = v.size();
    if (n < 3)
        return false;
    const auto cross = [](const PixelPoint &o, const PixelPoint &a, const PixelPoint &b) {
        const long long c =
            (long long)(a.X - o.X) * (b.Y - o.Y) - (long long)(a.Y - o.Y) * (b.X - o.X);
        return c > 0 ? 1 : c < 0 ? -1 : 0;
    };
    const auto onSegment = [](const PixelPoint &a, const PixelPoint &b, const PixelPoint &p) {
        return std::min(a.X, b.X) <= p.X && p.X <= std::max(a.X, b.X) &&
               std::min(a.Y, b.Y) <= p.Y && p.Y <= std::max(a.Y, b.Y);
    };
    const auto meet = [&](const PixelPoint &a, const PixelPoint &b, const PixelPoint &c,
                          const PixelPoint &d) {
        const int d1 = cross(c, d, a), d2 = cross(c, d, b), d3 = cross(a, b, c),
                  d4 = cross(a, b, d);
        if (d1 * d2 < 0 && d3 * d4 < 0)
            return true;
        return (d1 == 0 && onSegment(c, d, a)) || (d2 == 0 && onSegment(c, d, b)) ||
               (d3 == 0 && onSegment(a, b, c)) || (d4 == 0 && onSegment(a, b, d));
    };
    for (std::size_t i = 0; i < n; ++i) {
        const PixelPoint &a = v[i], &b = v[(i + 1) % n], &c = v[(i + 2) % n];
        // Neighbouring edges that fold back onto each other.
        if (cross(a, b, c) == 0 &&
            (long long)(b.X - a.X) * (c.X - b.X) + (long long)(b.Y - a.Y) * (c.Y - b.Y) < 0)
            return false;
        for (std::size_t j = i + 2; j < n; ++j) {
            if (i == 0 && j == n - 1)
                continue; // neighbours through the closing vertex
            if (meet(a, b, v[j], v[(j + 1) % n]))
                return false;
        }
    }
    return true;
}

/// Even-odd test of the pixel (x, y) against the polygon with its vertices on pixel centres.
bool InsideEvenOdd(std::span<const PixelPoint> pts, int x, int y)
{
    bool inside = false;
    for (std::size_t i = 0; i < pts.size(); ++i) {
        const PixelPoint &a = pts[i], &b = pts[(i + 1) % pts.size()];
        if ((a.Y <= y) == (b.Y <= y))
            continue;
        const double xs = a.X + (y - a.Y) * double(b.X - a.X) / double(b.Y - a.Y);
        if (xs < x)
            inside = !inside;
    }
    return inside;
}

/// Of the Inside regions (4-connected) of a polygon's grid, keeps those holding a pixel the
/// even-odd rule puts inside and empties the others; `before` is the grid before MarkEnclosed.
void KeepEvenOddRegions(std::vector<std::uint8_t> &grid, const std::vector<std::uint8_t> &before,
                        int w, int h, int gx, int gy, std::span<const PixelPoint> pts,
                        std::vector<int> &stack)
{
    std::vector<std::uint8_t> seen(grid.size(), 0);
    std::vector<int> region;
    for (std::size_t start = 0; start < grid.size(); ++start) {
        if (grid[start] != Inside || seen[start])
            continue;
        region.clear();
        stack.assign(1, int(start));
        seen[start] = 1;
        bool keep = false;
        while (!stack.empty()) {
            const int i = stack.back();
            stack.pop_back();
            region.push_back(i);
            const int x = i % w, y = i / w;
            keep = keep || InsideEvenOdd(pts, gx + x, gy + y);
            for (const auto &[nx, ny] : {std::pair{x - 1, y}, {x + 1, y}, {x, y - 1}, {x, y + 1}}) {
                if (nx < 0 || ny < 0 || nx >= w || ny >= h)
                    continue;
                const std::size_t j = std::size_t(ny) * std::size_t(w) + std::size_t(nx);
                if (grid[j] == Inside && !seen[j]) {
                    seen[j] = 1;
                    stack.push_back(int(j));
                }
            }
        }
        if (!keep)
            for (const int i : region)
                grid[std::size_t(i)] = before[std::size_t(i)];
    }
}
} // namespace

namespace
{
/// Draws the cached shape's runs at (ox, oy): outline with the pen, interior with the brush
/// (without a pen the outline runs are filled too).
void EmitShape(const ShapeCache &c, CanvasRaster &r, RasterScope &scope, const TCanvasPen &Pen,
               const TCanvasBrush &Brush, ChartColor backColor_, ChartBackMode backMode_, int ox,
               int oy, bool pen, bool fill)
{
    if (r.bits && Pen.Mode == pmCopy && (!fill || Brush.Style == bsSolid) &&
        ox + c.bounds.Left >= r.cx0 && ox + c.bounds.Right <= r.cx1 && oy + c.bounds.Top >= r.cy0 &&
        oy + c.bounds.Bottom <= r.cy1) {
        // A marker inside the clip, in copy mode: the runs are stored straight into the rows.
        const auto store = [&](const std::vector<ShapeRun> &runs, ChartColor color) {
            const std::uint32_t v = Rgb(color);
            for (const ShapeRun &run : runs) {
                std::uint32_t *row = r.bits + qsizetype(oy + run.y) * r.stride + ox;
                for (int x = run.x0; x < run.x1; ++x)
                    row[x] = v;
            }
        };
        if (pen)
            store(c.outline, Pen.Color);
        if (fill) {
            store(c.fill, Brush.Color);
            if (!pen)
                store(c.outline, Brush.Color);
        }
        return;
    }
    if (pen) {
        scope.Mode(Pen.Mode);
        r.SetColor(Pen.Color);
        for (const ShapeRun &run : c.outline)
            r.Span(ox + run.x0, ox + run.x1, oy + run.y);
    }
    if (fill) {
        if (Brush.Style == bsSolid) {
            scope.Mode(Pen.Mode);
            r.SetColor(Brush.Color);
            for (const ShapeRun &run : c.fill)
                r.Span(ox + run.x0, ox + run.x1, oy + run.y);
        } else {
            for (const ShapeRun &run : c.fill)
                BrushBox(r, scope, Brush, Pen.Mode, backColor_, backMode_, ox + run.x0, oy + run.y,
                         ox + run.x1, oy + run.y + 1);
        }
        if (!pen)
            for (const ShapeRun &run : c.outline)
                BrushBox(r, scope, Brush, Pen.Mode, backColor_, backMode_, ox + run.x0, oy + run.y,
                         ox + run.x1, oy + run.y + 1);
    }
}
} // namespace

void TTeeCanvas::Ellipse(int x0, int y0, int x1, int y1)
{
    if (x0 > x1)
        std::swap(x0, x1);
    if (y0 > y1)
        std::swap(y0, y1);
    const int W = x1 - x0, H = y1 - y0;
    if (W <= 0 || H <= 0)
        return;
    const bool pen = Pen.Style != psClear && Pen.Mode != pmNop;
    const bool fill = Brush.Style != bsClear;
    if (!pen && !fill)
        return;
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    if (r.Empty() || x1 <= r.cx0 || x0 >= r.cx1 || y1 <= r.cy0 || y0 >= r.cy1)
        return;
    if (pen && std::max(1, Pen.Width) > 1) {
        // Wide outline: the paint library's ellipse in the same box.
        QPainter *p = WidePenPainter(r, image_, d_->imagePainter, Pen.Mode);
        p->setPen(QPen(QColor::fromRgb(Rgb(Pen.Color)), Pen.Width));
        if (fill && Brush.Style == bsSolid)
            p->setBrush(QColor::fromRgb(Rgb(Brush.Color)));
        else
            p->setBrush(Qt::NoBrush);
        p->drawEllipse(QRect(x0, y0, W - 1, H - 1));
        if (!r.painter)
            p->restore();
        return;
    }
    // Markers repeat one size: the rows are computed once per size and reused.
    ShapeCache &c = d_->shape;
    if (c.kind != ShapeCache::EllipseShape || c.key.size() != 1 || c.key[0] != PixelPoint{W, H}) {
        c.kind = ShapeCache::EllipseShape;
        c.key.assign(1, PixelPoint{W, H});
        if (std::min(W, H) <= FlatEllipseSide)
            FlatEllipseRuns(W, H, d_->mask, d_->stack, c.outline, c.fill);
        else if (W <= 1024 && H <= 1024)
            PaintedEllipseRuns(W, H, c.outline, c.fill);
        else
            EllipseRuns(W, H, c.outline, c.fill);
        c.UpdateBounds();
    }
    EmitShape(c, r, scope, Pen, Brush, backColor_, backMode_, x0, y0, pen, fill);
}

void TTeeCanvas::Polygon(std::span<const PixelPoint> pts)
{
    if (pts.empty())
        return;
    const bool pen = Pen.Style != psClear && Pen.Mode != pmNop;
    const bool fill = Brush.Style != bsClear && pts.size() >= 3;
    if (!pen && !fill)
        return;
    CanvasRaster r = MakeRaster(image_, d_->geometry, painter_, clip_);
    RasterScope scope(r);
    if (r.Empty())
        return;
    if (pen && std::max(1, Pen.Width) > 1) {
        // Wide outline: fill first, then each edge as a wide line.
        if (fill) {
            TCanvasPen saved = Pen;
            Pen.Style = psClear;
            Polygon(pts);
            Pen = saved;
        }
        const PixelPoint savedPos = penPos_;
        for (size_t i = 0; i < pts.size(); ++i) {
            const PixelPoint &a = pts[i], &b = pts[(i + 1) % pts.size()];
            Line(a.X, a.Y, b.X, b.Y);
        }
        penPos_ = savedPos;
        return;
    }
    int bx0 = pts[0].X, bx1 = pts[0].X, by0 = pts[0].Y, by1 = pts[0].Y;
    for (const PixelPoint &p : pts) {
        bx0 = std::min(bx0, p.X);
        bx1 = std::max(bx1, p.X);
        by0 = std::min(by0, p.Y);
        by1 = std::max(by1, p.Y);
    }
    if (bx1 < r.cx0 || bx0 >= r.cx1 || by1 < r.cy0 || by0 >= r.cy1)
        return;
    const long long area = (long long)(bx1 - bx0 + 1) * (by1 - by0 + 1);
    const PixelPoint origin = pts[0];
    const PatternMask pat = MaskFor(Pen.Style);

    // Small polygons (markers) are rasterised once into runs relative to their first vertex
    // and reused while the same shape comes again; large ones go straight to the target.
    ShapeCache &c = d_->shape;
    const bool small = area <= 4096;
    const ChartPenStyle style = pen ? Pen.Style : psClear;
    bool hit = small && c.kind == ShapeCache::PolygonShape && c.key.size() == pts.size() &&
               c.style == style;
    for (size_t i = 0; hit && i < pts.size(); ++i)
        hit = c.key[i] == PixelPoint{pts[i].X - origin.X, pts[i].Y - origin.Y};
    if (hit) {
        EmitShape(c, r, scope, Pen, Brush, backColor_, backMode_, origin.X, origin.Y, pen, fill);
        return;
    }

    // Outline pixels go into a grid over the (clipped, unless cached) bounding box so the fill
    // skips them: every pixel is written once.
    const int gx0 = small ? bx0 : std::max(bx0, r.cx0),
              gx1 = small ? bx1 + 1 : std::min(bx1 + 1, r.cx1);
    const int gy0 = small ? by0 : std::max(by0, r.cy0),
              gy1 = small ? by1 + 1 : std::min(by1 + 1, r.cy1);
    const int gw = gx1 - gx0, gh = gy1 - gy0;
    auto &grid = d_->mask;
    grid.assign(size_t(gw) * size_t(gh), Empty);
    const auto drawOutline = [&](std::vector<std::uint8_t> &cells, const PatternMask &pattern) {
        CanvasRaster g; // writes only the grid
        g.cx0 = gx0;
        g.cy0 = gy0;
        g.cx1 = gx1;
        g.cy1 = gy1;
        g.mask = cells.data();
        g.mx0 = gx0;
        g.my0 = gy0;
        g.mw = gw;
        int phase = 0;
        for (size_t i = 0; i < pts.size(); ++i) {
            const PixelPoint &a = pts[i], &b = pts[(i + 1) % pts.size()];
            g.Line(a.X, a.Y, b.X, b.Y, pattern, phase);
        }
        if (std::all_of(pts.begin(), pts.end(), [&](const PixelPoint &p) { return p == pts[0]; }))
            g.Pixel(pts[0].X, pts[0].Y);
    };
    if (pen) {
        // The outline as a solid line bounds the fill; a styled pen then draws only its dashes
        // of it, and the gaps between them stay as they are.
        drawOutline(grid, PatternMask{});
        // A cached shape serves later calls with and without a brush alike, so its inside is
        // always worked out.
        if (fill || small) {
            if (small) {
                // Exactly what the outline encloses. Where edges cross, an enclosed region is
                // filled when the even-odd rule puts a pixel of it inside.
                std::vector<std::uint8_t> before = grid;
                MarkEnclosed(grid, gw, gh, d_->stack);
                if (!IsSimplePolygon(pts))
                    KeepEvenOddRegions(grid, before, gw, gh, gx0, gy0, pts, d_->stack);
            } else {
                // Too large to walk the outline's inside: the even-odd rule with the vertices
                // on pixel centres (for a convex polygon the same pixels).
                for (int y = gy0; y < gy1; ++y) {
                    std::uint8_t *row = grid.data() + size_t(y - gy0) * size_t(gw);
                    for (int x = gx0; x < gx1; ++x)
                        if (row[x - gx0] == Empty && InsideEvenOdd(pts, x, y))
                            row[x - gx0] = Inside;
                }
            }
        }
        if (pat.period != 0) {
            std::vector<std::uint8_t> dashes(grid.size(), Empty);
            drawOutline(dashes, pat);
            for (size_t i = 0; i < grid.size(); ++i)
                if (grid[i] == Edge && dashes[i] == Empty)
                    grid[i] = Empty;
        }
    } else {
        // Without an outline: even-odd fill sampled at pixel centres, vertices taken as pixel
        // corners.
        auto &xs = d_->crossings;
        for (int y = gy0; y < gy1; ++y) {
            const double yc = y + 0.5;
            xs.clear();
            for (size_t i = 0; i < pts.size(); ++i) {
                const PixelPoint &a = pts[i], &b = pts[(i + 1) % pts.size()];
                if ((a.Y <= yc) == (b.Y <= yc))
                    continue;
                xs.push_back(a.X + (yc - a.Y) * double(b.X - a.X) / double(b.Y - a.Y));
            }
            std::sort(xs.begin(), xs.end());
            std::uint8_t *row = grid.data() + size_t(y - gy0) * size_t(gw);
            for (size_t i = 0; i + 1 < xs.size(); i += 2) {
                const int xa = std::max(int(std::ceil(xs[i] - 0.5)), gx0);
                const int xb = std::min(int(std::ceil(xs[i + 1] - 0.5)), gx1);
                for (int x = xa; x < xb; ++x)
                    row[x - gx0] = Inside;
            }
        }
    }
    // Grid to runs, relative to the first vertex.
    c.kind = small ? ShapeCache::PolygonShape : ShapeCache::None;
    c.style = style;
    c.key.clear();
    for (const PixelPoint &p : pts)
        c.key.push_back({p.X - origin.X, p.Y - origin.Y});
    c.outline.clear();
    c.fill.clear();
    GridToRuns(grid, gw, gh, gx0, gy0, origin.X, origin.Y, c.outline, c.fill);
    c.UpdateBounds();
    EmitShape(c, r, scope, Pen, Brush, backColor_, backMode_, origin.X, origin.Y, pen, fill);
}

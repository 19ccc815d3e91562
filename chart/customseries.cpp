#include "customseries.h"

#include "axis.h"
#include "panel.h"
#include "seriespointer.h"

#include <algorithm>
#include <cstdlib>

namespace
{

/// Pixel positions beyond this are not handed to the canvas: the point is skipped.
constexpr int MaxPixelMagnitude = 32766;

bool PixelInRange(int x, int y)
{
    return x >= -MaxPixelMagnitude && x <= MaxPixelMagnitude && y >= -MaxPixelMagnitude &&
           y <= MaxPixelMagnitude;
}

/// Room visible markers claim at each plot edge for a half size: one pixel beyond the marker.
int MarkerMargin(const TSeriesPointer &pointer, int halfSize)
{
    return pointer.Visible() && pointer.InflateMargins() ? halfSize + 1 : 0;
}

} // namespace

TCustomSeries::TCustomSeries()
    : Pointer_(std::make_unique<TSeriesPointer>(this)), LinePen_(clBlack, 1, psSolid, true)
{
    LinePen_.OnChange = [this] { RequestRepaint(); };
}

TCustomSeries::~TCustomSeries() = default;

void TCustomSeries::SetStairs(bool value)
{
    if (SetIfChanged(Stairs_, value))
        RequestRepaint();
}

void TCustomSeries::SetInvertedStairs(bool value)
{
    if (SetIfChanged(InvertedStairs_, value))
        RequestRepaint();
}

void TCustomSeries::SetDark3D(bool value)
{
    if (SetIfChanged(Dark3D_, value))
        RequestRepaint();
}

void TCustomSeries::SetLineBrush(ChartBrushStyle value)
{
    if (SetIfChanged(LineBrush_, value))
        RequestRepaint();
}

void TCustomSeries::ApplyLinePen(TTeeCanvas3D &canvas, ChartColor color) const
{
    canvas.LoadPen(LinePen_);
    canvas.Brush.Style = bsClear;
    canvas.Pen.Color = color;
}

void TCustomSeries::ApplyMarkerPens(TTeeCanvas3D &canvas, ChartColor color) const
{
    const TChartPen &pen = Pointer_->Pen();
    canvas.LoadPen(pen);
    if (pen.Visible() && pen.Color() == AutoColor)
        canvas.Pen.Color = color;
    const TChartBrush &brush = Pointer_->Brush();
    canvas.Brush.Color = brush.Color() == AutoColor ? color : brush.Color();
    canvas.Brush.Style = brush.Style();
}

void TCustomSeries::PaintMarker(TTeeCanvas3D &canvas, int x, int y, ChartColor color,
                                int index) const
{
    const TSeriesPointerStyle style =
        OnGetPointerStyle ? OnGetPointerStyle(const_cast<TCustomSeries *>(this), index)
                          : Pointer_->Style();
    TSeriesPointer::DrawShape(canvas, style, x, y, Pointer_->HorizSize(), Pointer_->VertSize(),
                              color);
}

bool TCustomSeries::MarkerHit(int markerX, int markerY, int x, int y) const
{
    return std::abs(x - markerX) < Pointer_->HorizSize() &&
           std::abs(y - markerY) < Pointer_->VertSize();
}

void TCustomSeries::DrawSegment(TTeeCanvas3D &canvas, int x, int y) const
{
    if (!Stairs_) {
        canvas.Line(PrevX, PrevY, x, y);
    } else if (!InvertedStairs_) {
        canvas.HorizLine(PrevX, x, PrevY);
        canvas.MoveTo(x, PrevY);
        canvas.LineTo(x, y);
    } else {
        canvas.VertLine(PrevX, PrevY, y);
        canvas.MoveTo(PrevX, y);
        canvas.LineTo(x, y);
    }
}

void TCustomSeries::PaintAllPoints(TTeeCanvas3D &canvas)
{
    // A first visible point that lies too far off to draw is skipped, and the next point would
    // then join up with whatever the previous paint left here: start every paint as after a gap.
    PrevColor = clNone;
    TChartSeries::PaintAllPoints(canvas);
}

void TCustomSeries::PaintPoint(TTeeCanvas3D &canvas, int index)
{
    const TChartAxis *hAxis = GetHorizAxis();
    const TChartAxis *vAxis = GetVertAxis();
    if (!hAxis || !vAxis)
        return;
    CheckListIndex(index, PointCount());
    const TChartValueList &xs = *XValues();
    const TChartValueList &ys = *YValues();
    const int x = hAxis->ValueToPixel(xs.StoredData()[index] * xs.Multiplier());
    const int y = vAxis->ValueToPixel(ys.StoredData()[index] * ys.Multiplier());
    if (!PixelInRange(x, y))
        return;

    const ChartColor color = PointColor(index);
    canvas.Pen.Color = clBlack;
    canvas.Brush.Color = color;
    if (PrevColor == clNone) {
        PrevX = x;
        PrevY = y;
    }

    const bool pointerVisible = Pointer_->Visible();
    if (index == FirstVisibleIndex_) {
        if (index > 0) {
            // The segment entering the plot starts at the plot edge, at the height the line
            // between the previous point and this one has there.
            const PixelRect plot = ParentChart()->PlotRect;
            const int edge = hAxis->Inverted() ? plot.Right : plot.Left;
            const double x0 = xs.StoredData()[index - 1] * xs.Multiplier();
            const double x1 = xs.StoredData()[index] * xs.Multiplier();
            const double y0 = ys.StoredData()[index - 1] * ys.Multiplier();
            const double y1 = ys.StoredData()[index] * ys.Multiplier();
            PrevX = edge;
            if (Stairs_ || x1 == x0) {
                PrevY = vAxis->ValueToPixel(y0);
            } else {
                const double edgeValue = hAxis->PixelToValue(edge);
                PrevY = vAxis->ValueToPixel(y0 + (y1 - y0) * (edgeValue - x0) / (x1 - x0));
            }
            if (PointColor(index - 1) != clNone && color != clNone && !(x == PrevX && y == PrevY)) {
                ApplyLinePen(canvas, color);
                DrawSegment(canvas, x, y);
            }
        }
        if (index == LastVisibleIndex_ && pointerVisible && color != clNone) {
            ApplyMarkerPens(canvas, color);
            PaintMarker(canvas, x, y, color, index);
        }
    } else {
        if (color != clNone && !(x == PrevX && y == PrevY)) {
            ApplyLinePen(canvas, color);
            DrawSegment(canvas, x, y);
        }
        if (pointerVisible) {
            if (PrevColor != clNone) {
                ApplyMarkerPens(canvas, PrevColor);
                PaintMarker(canvas, PrevX, PrevY, PrevColor, index - 1);
            }
            if (index == LastVisibleIndex_ && color != clNone) {
                ApplyMarkerPens(canvas, color);
                PaintMarker(canvas, x, y, color, index);
            }
        }
    }
    PrevX = x;
    PrevY = y;
    PrevColor = color;
}

int TCustomSeries::PointAtPixel(int px, int py) const
{
    if (FirstVisibleIndex_ < 0 || LastVisibleIndex_ < 0)
        return -1;
    const TChartAxis *hAxis = GetHorizAxis();
    const TChartAxis *vAxis = GetVertAxis();
    if (!hAxis || !vAxis)
        return -1;
    const int last = std::min(LastVisibleIndex_, PointCount() - 1);
    int prevX = 0;
    int prevY = 0;
    for (int i = FirstVisibleIndex_; i <= last; ++i) {
        const int x = hAxis->ValueToPixel(XValueAt(i));
        const int y = vAxis->ValueToPixel(YValueAt(i));
        if (Pointer_->Visible() && MarkerHit(x, y, px, py))
            return i;
        if (x == px && y == py)
            return i;
        if (i > FirstVisibleIndex_ && px >= std::min(prevX, x) && px <= std::max(prevX, x) &&
            py >= std::min(prevY, y) && py <= std::max(prevY, y)) {
            // Distance test on the cross product, in 64 bits (pixels may be far off-screen).
            const long long cross =
                (long long)(y - prevY) * (px - prevX) - (long long)(py - prevY) * (x - prevX);
            const long long span =
                std::max(std::llabs((long long)x - prevX), std::llabs((long long)y - prevY));
            if (std::llabs(cross) < span)
                return i - 1;
        }
        prevX = x;
        prevY = y;
    }
    return -1;
}

void TCustomSeries::PrepareLegendCanvas(TTeeCanvas3D &canvas)
{
    canvas.LoadPen(LinePen_);
    canvas.Brush.Style = LineBrush_;
}

void TCustomSeries::PaintLegendSymbol(TTeeCanvas3D &canvas, int index, const PixelRect &rect)
{
    const ChartColor color = index == -1 ? SeriesColor() : PointColor(index);
    const int midY = (rect.Top + rect.Bottom) / 2;
    ApplyLinePen(canvas, color);
    canvas.HorizLine(rect.Left, rect.Right, midY);
    if (!Pointer_->Visible())
        return;
    const int w = rect.Width();
    const int h = rect.Height();
    int hs;
    int vs;
    if (LinePen_.Visible()) {
        hs = std::min(Pointer_->HorizSize(), w / 3);
        vs = std::min(Pointer_->VertSize(), h / 3);
    } else {
        hs = std::min(Pointer_->HorizSize(), w / 2 + 1);
        vs = std::min(Pointer_->VertSize(), h / 2 + 1);
    }
    ApplyMarkerPens(canvas, color);
    TSeriesPointer::DrawShape(canvas, Pointer_->Style(), (rect.Left + rect.Right) / 2, midY, hs, vs,
                              color);
}

void TCustomSeries::HorizMarginPixels(int &left, int &right) const
{
    left = right = MarkerMargin(*Pointer_, Pointer_->HorizSize());
}

void TCustomSeries::VertMarginPixels(int &top, int &bottom) const
{
    top = bottom = MarkerMargin(*Pointer_, Pointer_->VertSize());
}

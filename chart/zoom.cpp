// Zoom and scroll: the chart's mouse handling, the rubber band, zooming to a rectangle or to
// values (optionally animated), panning, and returning to the saved view.
#include "zoom.h"

#include "axis.h"
#include "legend.h"
#include "series.h"

#include <QMouseEvent>

#include <algorithm>
#include <cstdlib>

// ---------------------------------------------------------------------------------------------
// Axis operations

void ForceRange(TChartAxis &axis, double a, double b)
{
    double lo = std::min(a, b);
    double hi = std::max(a, b);
    if (hi - lo < MinimumAxisRange) {
        lo = a;
        hi = b + MinimumAxisRange;
        // Far from zero the added 1e-10 may vanish in rounding; never hand over lo > hi.
        if (hi < lo)
            std::swap(lo, hi);
    }
    if (axis.Minimum() != lo || axis.Maximum() != hi || axis.Automatic() ||
        axis.AutomaticMinimum() || axis.AutomaticMaximum()) {
        axis.SetMinMax(lo, hi);
        if (axis.ParentChart())
            axis.ParentChart()->RequestRepaint();
    }
}

void AnimateStep(TChartAxis &axis, double targetMinimum, double targetMaximum)
{
    ForceRange(axis, axis.Minimum() + (targetMinimum - axis.Minimum()) / ZoomStepDivisor,
               axis.Maximum() - (axis.Maximum() - targetMaximum) / ZoomStepDivisor);
}

void PanRange(const TChartAxis &axis, int fromPixel, int toPixel, double &newMinimum,
              double &newMaximum)
{
    const double d = axis.PixelToValue(fromPixel) - axis.PixelToValue(toPixel);
    newMinimum = axis.Minimum() + d;
    newMaximum = axis.Maximum() + d;
}

TSavedAxis SaveAxis(const TChartAxis &axis)
{
    return TSavedAxis{axis.Automatic(), axis.AutomaticMinimum(), axis.AutomaticMaximum(),
                      axis.Minimum(), axis.Maximum()};
}

void RestoreAxis(TChartAxis &axis, const TSavedAxis &saved)
{
    axis.SetAutomatic(saved.Automatic);
    axis.SetAutomaticMinimum(saved.AutomaticMinimum);
    axis.SetAutomaticMaximum(saved.AutomaticMaximum);
    if (!axis.Automatic())
        ForceRange(axis, saved.Minimum, saved.Maximum);
}

// ---------------------------------------------------------------------------------------------
// TCustomChart: zooming

namespace
{

/// (x, y) inside r, right and bottom excluded.
bool Inside(const PixelRect &r, int x, int y)
{
    return x >= r.Left && x < r.Right && y >= r.Top && y < r.Bottom;
}

} // namespace

void TCustomChart::SaveAxesIfStale()
{
    if (!SavedAxesStale)
        return;
    SavedAxes.Top = SaveAxis(*TopAxis());
    SavedAxes.Left = SaveAxis(*LeftAxis());
    SavedAxes.Right = SaveAxis(*RightAxis());
    SavedAxes.Bottom = SaveAxis(*BottomAxis());
    SavedAxesStale = false;
}

void TCustomChart::ZoomToRect(const PixelRect &rect)
{
    const int x0 = std::min(rect.Left, rect.Right);
    const int x1 = std::max(rect.Left, rect.Right);
    const int y0 = std::min(rect.Top, rect.Bottom);
    const int y1 = std::max(rect.Top, rect.Bottom);
    ZoomToValues(TopAxis()->PixelToValue(x0), TopAxis()->PixelToValue(x1),
                 BottomAxis()->PixelToValue(x0), BottomAxis()->PixelToValue(x1),
                 LeftAxis()->PixelToValue(y1), LeftAxis()->PixelToValue(y0),
                 RightAxis()->PixelToValue(y1), RightAxis()->PixelToValue(y0));
}

void TCustomChart::ZoomToValues(double topMin, double topMax, double bottomMin, double bottomMax,
                                double leftMin, double leftMax, double rightMin, double rightMax)
{
    SaveAxesIfStale();
    if (AnimatedZoom_) {
        for (int step = 1; step < AnimatedZoomSteps_; ++step) {
            AnimateStep(*LeftAxis(), leftMin, leftMax);
            AnimateStep(*RightAxis(), rightMin, rightMax);
            AnimateStep(*TopAxis(), topMin, topMax);
            AnimateStep(*BottomAxis(), bottomMin, bottomMax);
            PaintNow();
        }
    }
    ForceRange(*LeftAxis(), leftMin, leftMax);
    ForceRange(*RightAxis(), rightMin, rightMax);
    ForceRange(*TopAxis(), topMin, topMax);
    ForceRange(*BottomAxis(), bottomMin, bottomMax);
    if (OnZoom)
        OnZoom();
}

void TCustomChart::ResetZoom()
{
    if (!SavedAxesStale) {
        RestoreAxis(*TopAxis(), SavedAxes.Top);
        RestoreAxis(*BottomAxis(), SavedAxes.Bottom);
        RestoreAxis(*LeftAxis(), SavedAxes.Left);
        RestoreAxis(*RightAxis(), SavedAxes.Right);
    }
    SavedAxesStale = true;
    if (OnUndoZoom)
        OnUndoZoom();
    RequestRepaint();
}

void TCustomChart::PanAxis(TChartAxis *axis, int fromPixel, int toPixel, bool &panned)
{
    double newMinimum;
    double newMaximum;
    PanRange(*axis, fromPixel, toPixel, newMinimum, newMaximum);
    bool allow = true;
    if (OnAllowScroll)
        OnAllowScroll(axis, newMinimum, allow, newMaximum);
    if (!allow)
        return;
    ForceRange(*axis, newMinimum, newMaximum);
    panned = true;
}

// ---------------------------------------------------------------------------------------------
// TCustomChart: what is under the mouse

TChartClickedPart TCustomChart::PartUnderMouse(int x, int y) const
{
    TChartClickedPart part;
    if (Legend_->Visible() && Inside(Legend_->LegendRect, x, y)) {
        part.Part = cpLegend;
        return part;
    }

    const TChartSeriesList &list = SeriesList();
    for (int i = list.Count() - 1; i >= 0; --i) {
        TChartSeries *series = list.At(i);
        if (!series->Active())
            continue;
        const PixelPoint p = Canvas().UnProject(x, y, 0);
        const int index = series->PointAtPixel(p.X, p.Y);
        if (index != -1) {
            part.Part = cpSeries;
            part.ASeries = series;
            part.PointIndex = index;
            return part;
        }
    }

    for (TChartAxis *axis : {TopAxis(), BottomAxis(), LeftAxis(), RightAxis(), DepthAxis()}) {
        if (axis == DepthAxis() && !View3D())
            continue;
        if (!axis->IsAxisShown())
            continue;
        bool hit;
        if (axis->IsHorizontal())
            hit = std::abs(y - axis->LinePosition()) < AxisHitTolerance && x >= PlotRect.Left &&
                  x <= PlotRect.Right;
        else
            hit = std::abs(x - axis->LinePosition()) < AxisHitTolerance && y >= PlotRect.Top &&
                  y <= PlotRect.Bottom;
        if (hit) {
            part.Part = cpAxis;
            part.AAxis = axis;
            return part;
        }
    }

    if (Title_->Visible() && Inside(Title_->TitleRect, x, y)) {
        part.Part = cpTitle;
        return part;
    }
    if (Foot_->Visible() && Inside(Foot_->TitleRect, x, y)) {
        part.Part = cpFoot;
        return part;
    }
    if (Inside(PlotRect, x, y) && ActiveSeriesCount() > 0)
        part.Part = cpChartRect;
    return part;
}

// ---------------------------------------------------------------------------------------------
// TCustomChart: mouse

void TCustomChart::PaintRubberBand()
{
    if (Window_.isNull())
        return;
    TTeeCanvas3D &canvas = Canvas();
    const TCanvasPen savedPen = canvas.Pen;
    const TCanvasBrush savedBrush = canvas.Brush;
    QImage *savedTarget = canvas.ImageTarget();

    canvas.SetImageTarget(&Window_);
    const ChartColor background = Color();
    canvas.Pen = TCanvasPen{background == clWhite ? clRed : background, 1, psSolid, pmNotXor};
    canvas.Brush.Style = bsClear;
    canvas.Rectangle(ZoomDrag.X0, ZoomDrag.Y0, ZoomDrag.X1, ZoomDrag.Y1);

    // Back to plain copy mode, and to whatever the canvas drew on before.
    canvas.Pen = savedPen;
    canvas.Brush = savedBrush;
    if (savedTarget)
        canvas.SetImageTarget(savedTarget);
    else
        canvas.ClearTarget();
    update();
}

void TCustomChart::PaintOverlay()
{
    // A new picture replaced the window's pixels: the band in progress is drawn again.
    if (ZoomDrag.InProgress)
        PaintRubberBand();
}

void TCustomChart::mousePressEvent(QMouseEvent *event)
{
    // Accepted, so that the chart keeps the mouse until the button is released.
    event->accept();
    if (OnMouseDown)
        OnMouseDown(event);
    if (ZoomDrag.InProgress || PanDrag.InProgress)
        return;
    const QPoint pos = event->position().toPoint();
    const TChartClickedPart part = PartUnderMouse(pos.x(), pos.y());
    if (part.Part == cpNone || part.Part == cpLegend || part.Part == cpTitle || part.Part == cpFoot)
        return;
    auto showArrow = [this] {
        if (!CursorOverridden_) {
            ChartCursor_ = cursor();
            CursorOverridden_ = true;
        }
        setCursor(Qt::ArrowCursor);
    };
    if (AllowZoom_ && event->button() == Qt::LeftButton) {
        showArrow();
        ZoomDrag.Activate(pos.x(), pos.y());
        PaintRubberBand();
    }
    if (AllowPanning_ != pmNone && event->button() == Qt::RightButton) {
        showArrow();
        PanDrag.Activate(pos.x(), pos.y());
    }
}

void TCustomChart::mouseMoveEvent(QMouseEvent *event)
{
    // Accepted, so that the chart keeps the mouse until the button is released.
    event->accept();
    if (OnMouseMove)
        OnMouseMove(event);
    const QPoint pos = event->position().toPoint();
    const int x = pos.x();
    const int y = pos.y();
    if (ZoomDrag.InProgress) {
        if (x == ZoomDrag.X1 && y == ZoomDrag.Y1)
            return;
        PaintRubberBand();
        ZoomDrag.X1 = x;
        ZoomDrag.Y1 = y;
        PaintRubberBand();
    } else if (PanDrag.InProgress) {
        if (!Inside(PlotRect, x, y)) {
            PanDrag.InProgress = false;
            return;
        }
        if (x == PanDrag.X1 && y == PanDrag.Y1)
            return;
        SaveAxesIfStale();
        bool panned = false;
        if (x != PanDrag.X1 && (AllowPanning_ == pmHorizontal || AllowPanning_ == pmBoth)) {
            PanAxis(BottomAxis(), PanDrag.X1, x, panned);
            PanAxis(TopAxis(), PanDrag.X1, x, panned);
        }
        if (y != PanDrag.Y1 && (AllowPanning_ == pmVertical || AllowPanning_ == pmBoth)) {
            PanAxis(LeftAxis(), PanDrag.Y1, y, panned);
            PanAxis(RightAxis(), PanDrag.Y1, y, panned);
        }
        PanDrag.X1 = x;
        PanDrag.Y1 = y;
        if (panned) {
            if (OnScroll)
                OnScroll();
            RequestRepaint();
        }
    } else {
        // Series of this chart have no cursor of their own: the chart's cursor applies.
        if (CursorOverridden_) {
            setCursor(ChartCursor_);
            CursorOverridden_ = false;
        }
    }
}

void TCustomChart::mouseReleaseEvent(QMouseEvent *event)
{
    // Accepted, so that the chart keeps the mouse until the button is released.
    event->accept();
    if (OnMouseUp)
        OnMouseUp(event);
    const QPoint pos = event->position().toPoint();
    if (ZoomDrag.InProgress && event->button() == Qt::LeftButton) {
        ZoomDrag.InProgress = false;
        PaintRubberBand(); // erases the band
        ZoomDrag.X1 = pos.x();
        ZoomDrag.Y1 = pos.y();
        if (std::abs(ZoomDrag.X1 - ZoomDrag.X0) > ZoomMinDragPixels &&
            std::abs(ZoomDrag.Y1 - ZoomDrag.Y0) > ZoomMinDragPixels) {
            if (ZoomDrag.X1 > ZoomDrag.X0 && ZoomDrag.Y1 > ZoomDrag.Y0)
                ZoomToRect(PixelRect{ZoomDrag.X0, ZoomDrag.Y0, ZoomDrag.X1, ZoomDrag.Y1});
            else
                ResetZoom();
            RequestRepaint();
        }
    }
    PanDrag.InProgress = false;
}

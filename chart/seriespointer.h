// The markers of a series (its Pointer): shape, half sizes, outline pen and fill brush, and the
// drawing of one marker shape on the canvas.
#pragma once

#include "canvas.h"
#include "chartdefs.h"
#include "series.h"

class TTeeCanvas3D;

/// The markers of a series: shape, half sizes, outline pen and fill brush. Owned by its series;
/// every setter stores a differing value and asks the series' chart for a repaint.
class TSeriesPointer
{
  public:
    explicit TSeriesPointer(TChartSeries *owner);
    ~TSeriesPointer();
    TSeriesPointer(const TSeriesPointer &) = delete;
    TSeriesPointer &operator=(const TSeriesPointer &) = delete;

    TChartSeries *Owner() const { return Owner_; }

    /// Fill of closed shapes; colour AutoColor (the point's colour) and solid at creation.
    TChartBrush &Brush() { return Brush_; }
    const TChartBrush &Brush() const { return Brush_; }
    /// Outline; black, width 1, solid, visible at creation. Colour AutoColor means the point's.
    TChartPen &Pen() { return Pen_; }
    const TChartPen &Pen() const { return Pen_; }
    bool Draw3D() const { return Draw3D_; }
    void SetDraw3D(bool value);
    /// Half width in pixels (default 4). Values below 1 throw ChartException
    /// "Pointer size must be greater than zero" and keep the old value.
    int HorizSize() const { return HorizSize_; }
    void SetHorizSize(int value);
    /// Half height in pixels (default 4); same rule as HorizSize.
    int VertSize() const { return VertSize_; }
    void SetVertSize(int value);
    /// The markers claim room at the plot edges (HorizSize + 1, VertSize + 1).
    bool InflateMargins() const { return InflateMargins_; }
    void SetInflateMargins(bool value);
    TSeriesPointerStyle Style() const { return Style_; }
    void SetStyle(TSeriesPointerStyle value);
    bool Visible() const { return Visible_; }
    void SetVisible(bool value);

    /// Draws shape style centred at (x, y) with half sizes h and v using the canvas' current pen
    /// and brush (set by the series' ApplyMarkerPens); color is the point colour used by the
    /// line shapes and the small dot.
    static void DrawShape(TTeeCanvas3D &canvas, TSeriesPointerStyle style, int x, int y, int h,
                          int v, ChartColor color);

  private:
    void Changed();

    TChartSeries *Owner_;
    TChartBrush Brush_;
    TChartPen Pen_;
    bool Draw3D_ = true;
    int HorizSize_ = 4;
    int VertSize_ = 4;
    bool InflateMargins_ = true;
    TSeriesPointerStyle Style_ = psRectangle;
    bool Visible_ = true;
};

// Series drawn as points joined by lines, with optional markers: the drawing of the line
// series (lineseries.h), from their points to the canvas' segments and marker shapes, their
// legend symbol, their margins at the plot edges and their hit test.
#pragma once

#include "canvas.h"
#include "series.h"

#include <functional>
#include <memory>

class TSeriesPointer;
class TTeeCanvas3D;

/// A series drawn as points joined by lines, with optional markers (the Pointer). Holds the
/// drawing settings and the drawing state carried from one PaintPoint to the next.
class TCustomSeries : public TChartSeries
{
  public:
    TCustomSeries();
    ~TCustomSeries() override;

    TSeriesPointer &Pointer() { return *Pointer_; }
    const TSeriesPointer &Pointer() const { return *Pointer_; }
    /// Pen of the line; in 2-D only its width, style and Visible are used (the colour is the
    /// point's). Changing it repaints the chart.
    TChartPen &LinePen() { return LinePen_; }
    const TChartPen &LinePen() const { return LinePen_; }
    /// Brush style of the line's 3-D form; the legend symbol's brush style.
    ChartBrushStyle LineBrush() const { return LineBrush_; }
    void SetLineBrush(ChartBrushStyle value);
    bool Stairs() const { return Stairs_; }
    void SetStairs(bool value);
    bool InvertedStairs() const { return InvertedStairs_; }
    void SetInvertedStairs(bool value);
    bool Dark3D() const { return Dark3D_; }
    void SetDark3D(bool value);
    /// Per-point marker shape; when unassigned the pointer's Style is used.
    std::function<TSeriesPointerStyle(TChartSeries *, int)> OnGetPointerStyle;

    /// Forgets the previous paint's drawing state, then paints the visible points.
    void PaintAllPoints(TTeeCanvas3D &canvas) override;
    void PaintPoint(TTeeCanvas3D &canvas, int index) override;
    int PointAtPixel(int x, int y) const override;
    void PrepareLegendCanvas(TTeeCanvas3D &canvas) override;
    void PaintLegendSymbol(TTeeCanvas3D &canvas, int index, const PixelRect &rect) override;
    void HorizMarginPixels(int &left, int &right) const override;
    void VertMarginPixels(int &top, int &bottom) const override;

    /// Canvas pen := LinePen (clear when invisible), brush clear, pen colour := color.
    void ApplyLinePen(TTeeCanvas3D &canvas, ChartColor color) const;
    /// Canvas pen := Pointer.Pen, brush := Pointer.Brush, AutoColor replaced by color.
    void ApplyMarkerPens(TTeeCanvas3D &canvas, ChartColor color) const;
    /// Draws the marker of point index at (x, y) in the shape OnGetPointerStyle or Pointer.Style
    /// names, with the pointer's sizes.
    void PaintMarker(TTeeCanvas3D &canvas, int x, int y, ChartColor color, int index) const;
    /// Marker hit test: |x - markerX| < HorizSize and |y - markerY| < VertSize.
    bool MarkerHit(int markerX, int markerY, int x, int y) const;

    // Drawing state between PaintPoint calls.
    int PrevX = 0;
    int PrevY = 0;
    ChartColor PrevColor = 0;

  private:
    void DrawSegment(TTeeCanvas3D &canvas, int x, int y) const;

    std::unique_ptr<TSeriesPointer> Pointer_;
    TChartPen LinePen_;
    ChartBrushStyle LineBrush_ = bsSolid;
    bool Stairs_ = false;
    bool InvertedStairs_ = false;
    bool Dark3D_ = true;
};

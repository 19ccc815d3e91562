// The chart's legend: the boxed list beside the plot that names each active series next to a
// small copy of its line and marker. It is placed and drawn during the panel's layout, before
// the axes, and takes its width off the plot rectangle.
#pragma once

#include "canvas.h"
#include "chartdefs.h"

#include <QString>

#include <functional>
#include <memory>

class TCustomChart;
class TChartSeries;

enum TLegendAlignment { laLeft, laRight, laTop, laBottom };
enum TLegendStyle { lsAuto, lsSeries, lsValues, lsLastValues };
enum TLegendTextStyle {
    ltsPlain,
    ltsLeftValue,
    ltsRightValue,
    ltsLeftPercent,
    ltsRightPercent,
    ltsXValue
};

/// The legend of a chart (the chart owns one). Setters store a differing value and repaint the
/// chart; out-of-range values throw LegendException and keep the old value.
class TChartLegend
{
  public:
    explicit TChartLegend(TCustomChart *chart);
    ~TChartLegend();
    TChartLegend(const TChartLegend &) = delete;
    TChartLegend &operator=(const TChartLegend &) = delete;

    TCustomChart *ParentChart() const { return Chart_; }

    // ---- Published properties ----
    TLegendAlignment Alignment() const { return Alignment_; }
    void SetAlignment(TLegendAlignment value);
    /// Background of the box (default white).
    ChartColor Color() const { return Color_; }
    void SetColor(ChartColor value);
    /// Symbol width in percent of the widest text, 0..100 (default 12); otherwise
    /// "Legend Color Width must be between 0 and 100 %".
    int ColorWidth() const { return ColorWidth_; }
    void SetColorWidth(int value);
    /// Lines between rows (hidden by default).
    TChartPen &DividingLines() const { return *DividingLines_; }
    /// Leading items skipped, >= 0 (default 0); otherwise "First Legend Value must be > 0".
    int FirstValue() const { return FirstValue_; }
    void SetFirstValue(int value);
    TChartFont &Font() const { return *Font_; }
    /// Box outline (black, width 1, visible).
    TChartPen &Frame() const { return *Frame_; }
    /// Gap to the plot for a left/right legend; 0 means 3 % of the plot width.
    int HorizMargin() const { return HorizMargin_; }
    void SetHorizMargin(int value);
    bool Inverted() const { return Inverted_; }
    void SetInverted(bool value);
    TLegendStyle LegendStyle() const { return LegendStyle_; }
    void SetLegendStyle(TLegendStyle value);
    /// The plot rectangle gives up the legend's space (default true).
    bool ResizeChart() const { return ResizeChart_; }
    void SetResizeChart(bool value);
    ChartColor ShadowColor() const { return ShadowColor_; }
    void SetShadowColor(ChartColor value);
    int ShadowSize() const { return ShadowSize_; }
    void SetShadowSize(int value);
    TLegendTextStyle TextStyle() const { return TextStyle_; }
    void SetTextStyle(TLegendTextStyle value);
    /// Top of a left/right legend in percent of the chart's full height, 0..100 (default 10);
    /// otherwise "Top Legend Position must be between 0 and 100 %".
    int TopPos() const { return TopPos_; }
    void SetTopPos(int value);
    /// Gap to the plot for a top/bottom legend; 0 means 4 % of the plot height.
    int VertMargin() const { return VertMargin_; }
    void SetVertMargin(int value);
    bool Visible() const { return Visible_; }
    void SetVisible(bool value);

    // ---- Events of the chart around the legend (none is assigned in this system) ----
    /// (style, n, text): may change the text of item n.
    std::function<void(TLegendStyle, int, QString &)> OnGetLegendText;
    /// May change the legend's rectangle before it is drawn.
    std::function<void(PixelRect &)> OnGetLegendRect;
    /// (n, x, y): may move the text position of item n.
    std::function<void(int, int &, int &)> OnGetLegendPos;

    // ---- Items ----
    /// The style in effect: lsAuto becomes lsValues with fewer than two active series, else
    /// lsSeries.
    TLegendStyle ResolvedStyle() const;
    /// lsSeries/lsLastValues: the active series shown in the legend, minus FirstValue (>= 0).
    /// lsValues: the first active series' point count minus FirstValue (0 when it is not
    /// shown in the legend).
    int LegendItemCount() const;
    /// The n-th (from 0) series that is Active and ShowInLegend; null when out of range.
    TChartSeries *LegendSeries(int n) const;
    /// Text of item n: for series styles the series' Title, else its name, else "Series n".
    QString LegendText(int n) const;
    /// Largest text width, in the legend font, of items FirstValue .. FirstValue + k - 1
    /// (k = -1: all items). Sets the canvas font.
    int MaxLegendTextWidth(int k) const;

    /// Places and draws the legend and takes its space off the chart's PlotRect. Called by the
    /// panel during layout, only when Visible and at least one series is active.
    void PaintLegend();

    // ---- Values computed by the last PaintLegend ----
    /// The box without frame and shadow (also the press area of the legend).
    PixelRect LegendRect;
    int SymbolWidth = 0;
    int ItemHeight = 0;
    int RowsShown = 0;
    /// Left edge of the row texts.
    int TextX = 0;
    /// The style used by the last paint.
    TLegendStyle EffectiveStyle = lsSeries;

  private:
    void Changed();
    void PaintLeftRight();
    void PaintTopBottom();
    void DrawBox();
    /// Text and symbol of item n in display row `row`, the text's top-left corner at (x, y).
    void DrawItem(int n, int row, int x, int y);
    QString ValueItemText(int n) const;

    TCustomChart *Chart_;
    TLegendAlignment Alignment_ = laRight;
    ChartColor Color_ = clWhite;
    int ColorWidth_ = 12;
    std::unique_ptr<TChartPen> DividingLines_;
    int FirstValue_ = 0;
    std::unique_ptr<TChartFont> Font_;
    std::unique_ptr<TChartPen> Frame_;
    int HorizMargin_ = 0;
    bool Inverted_ = false;
    TLegendStyle LegendStyle_ = lsAuto;
    bool ResizeChart_ = true;
    ChartColor ShadowColor_ = clBlack;
    int ShadowSize_ = 3;
    TLegendTextStyle TextStyle_ = ltsLeftValue;
    int TopPos_ = 10;
    int VertMargin_ = 0;
    bool Visible_ = true;
};

// Chart axes: value <-> pixel mapping, automatic ranges, 1-2-5 label steps, the room an axis
// takes at the edge of the plot rectangle, and drawing of labels, ticks, grid lines and the
// axis line.
//
// The chart (TCustomAxisPanel) owns five axes. During each paint it calls, in order:
// ComputeRange (every axis), ReserveAxisSpace (shown axes), WidenForMargins, DrawAxis (shown
// axes). Between paints the series call ValueToPixel and the zoom code PixelToValue.
//
// Setters store a differing value and ask the chart for a repaint; invalid values throw
// AxisException (ChartException for LabelsAngle) with a fixed English message and keep the old
// value. Used only on the user-interface thread.
#pragma once

#include "canvas.h"
#include "chartdefs.h"

#include <QLocale>
#include <QString>

#include <functional>
#include <vector>

class TCustomAxisPanel;
class TChartSeries;
class TChartAxis;

/// What the value labels of an axis show.
enum TAxisLabelStyle { talAuto, talNone, talValue, talMark, talText };

/// Pen of the axis line: black, solid, width 2, visible.
class TChartAxisPen : public TChartPen
{
  public:
    TChartAxisPen() : TChartPen(clBlack, 2, psSolid, true) {}
};

/// Pen of grid lines: grey, dotted, width 1, visible.
class TDottedGrayPen : public TChartPen
{
  public:
    TDottedGrayPen() : TChartPen(clGray, 1, psDot, true) {}
};

/// Pen of ticks: grey, solid, width 1, visible.
class TDarkGrayPen : public TChartPen
{
  public:
    TDarkGrayPen() : TChartPen(clGray, 1, psSolid, true) {}
};

/// The title drawn beside an axis.
class TChartAxisTitle
{
  public:
    explicit TChartAxisTitle(int angle) : angle_(angle) {}
    int Angle() const { return angle_; }
    /// 0..359 (360 is stored as 0); otherwise ChartException
    /// "Axis Title Angle must be between 0 and 359 degrees".
    void SetAngle(int a);
    const QString &Caption() const { return caption_; }
    void SetCaption(const QString &c);
    TChartFont &Font() { return font_; }
    const TChartFont &Font() const { return font_; }

    std::function<void()> OnChange;

  private:
    void Changed();
    int angle_;
    QString caption_;
    TChartFont font_;
};

/// Which of the chart's five axes an axis is.
enum TAxisKind { akLeft, akRight, akTop, akBottom, akDepth };

class TChartAxis
{
  public:
    /// `parent` may be null (stand-alone use, e.g. arithmetic tests): the axis then maps over
    /// the rectangle given to SetStandalonePlotRect and sees no series.
    TChartAxis(TCustomAxisPanel *parent, TAxisKind kind);
    TChartAxis(const TChartAxis &) = delete;
    TChartAxis &operator=(const TChartAxis &) = delete;

    TCustomAxisPanel *ParentChart() const { return parent_; }
    TAxisKind Kind() const { return kind_; }
    bool IsHorizontal() const { return kind_ == akTop || kind_ == akBottom; }
    bool IsOtherSide() const { return kind_ == akTop || kind_ == akRight; }
    bool IsDepthAxis() const { return kind_ == akDepth; }

    // ---- published properties ------------------------------------------------------------
    bool Automatic() const { return automatic_; }
    /// Also sets AutomaticMinimum and AutomaticMaximum (except while Loading).
    void SetAutomatic(bool v);
    bool AutomaticMaximum() const { return automaticMaximum_; }
    /// false also clears Automatic.
    void SetAutomaticMaximum(bool v);
    bool AutomaticMinimum() const { return automaticMinimum_; }
    void SetAutomaticMinimum(bool v);
    TChartAxisPen &Axis() { return axisPen_; }
    const TChartAxisPen &Axis() const { return axisPen_; }
    const QString &AxisValuesFormat() const { return axisValuesFormat_; }
    void SetAxisValuesFormat(const QString &f);
    const QString &DateTimeFormat() const { return dateTimeFormat_; }
    void SetDateTimeFormat(const QString &f);
    bool ExactDateTime() const { return exactDateTime_; }
    void SetExactDateTime(bool v);
    TDottedGrayPen &Grid() { return grid_; }
    const TDottedGrayPen &Grid() const { return grid_; }
    bool GridCentered() const { return gridCentered_; }
    void SetGridCentered(bool v);
    double Increment() const { return increment_; }
    /// Below 0: AxisException "Axis increment must be >= 0".
    void SetIncrement(double v);
    bool Inverted() const { return inverted_; }
    void SetInverted(bool v);
    bool Labels() const { return labels_; }
    void SetLabels(bool v);
    int LabelsAngle() const { return labelsAngle_; }
    /// Outside 0..360: ChartException "Axis Labels Angle must be between 0 and 359 degrees";
    /// 360 is stored as 0.
    void SetLabelsAngle(int v);
    TChartFont &LabelsFont() { return labelsFont_; }
    const TChartFont &LabelsFont() const { return labelsFont_; }
    bool LabelsMultiLine() const { return labelsMultiLine_; }
    void SetLabelsMultiLine(bool v);
    bool LabelsOnAxis() const { return labelsOnAxis_; }
    void SetLabelsOnAxis(bool v);
    int LabelsSeparation() const { return labelsSeparation_; }
    /// Below 0: AxisException "Labels Separation % must be greater than 0".
    void SetLabelsSeparation(int v);
    int LabelsSize() const { return labelsSize_; }
    void SetLabelsSize(int v);
    TAxisLabelStyle LabelStyle() const { return labelStyle_; }
    void SetLabelStyle(TAxisLabelStyle v);
    bool Logarithmic() const { return logarithmic_; }
    /// true on a date-time axis: AxisException "DateTime Axis cannot be Logarithmic"; true with
    /// a negative end: AxisException "Logarithmic Axis Min and Max values should be >= 0".
    void SetLogarithmic(bool v);
    double Maximum() const { return maximum_; }
    /// Below Minimum (not while Loading): AxisException "Axis Maximum Value must be >= Minimum".
    void SetMaximum(double v);
    double Minimum() const { return minimum_; }
    /// Above Maximum (not while Loading): AxisException "Axis Minimum Value must be <= Maximum".
    void SetMinimum(double v);
    /// Both ends at once without the order checks of the single setters (min <= max is the
    /// caller's duty); clears Automatic, AutomaticMinimum and AutomaticMaximum.
    void SetMinMax(double min, double max);
    int MinorTickCount() const { return minorTickCount_; }
    void SetMinorTickCount(int v);
    int MinorTickLength() const { return minorTickLength_; }
    void SetMinorTickLength(int v);
    TDarkGrayPen &MinorTicks() { return minorTicks_; }
    const TDarkGrayPen &MinorTicks() const { return minorTicks_; }
    bool RoundFirstLabel() const { return roundFirstLabel_; }
    void SetRoundFirstLabel(bool v);
    int TickInnerLength() const { return tickInnerLength_; }
    void SetTickInnerLength(int v);
    int TickLength() const { return tickLength_; }
    void SetTickLength(int v);
    bool TickOnLabelsOnly() const { return tickOnLabelsOnly_; }
    void SetTickOnLabelsOnly(bool v);
    TDarkGrayPen &Ticks() { return ticks_; }
    const TDarkGrayPen &Ticks() const { return ticks_; }
    TDarkGrayPen &TicksInner() { return ticksInner_; }
    const TDarkGrayPen &TicksInner() const { return ticksInner_; }
    TChartAxisTitle &Title() { return title_; }
    const TChartAxisTitle &Title() const { return title_; }
    int TitleSize() const { return titleSize_; }
    void SetTitleSize(int v);
    bool Visible() const { return visible_; }
    void SetVisible(bool v);

    /// While true (the window layout being read) Minimum/Maximum skip their order checks and
    /// Automatic does not touch the two partial flags.
    bool Loading = false;

    /// Label text hook (the chart's OnGetAxisLabel): called with the axis, no series, index -1
    /// and the text, which it may change.
    std::function<void(TChartAxis *, TChartSeries *, int, QString &)> OnGetAxisLabel;
    /// Custom label sequence (the chart's OnGetNextAxisLabel): (axis, index, value, stop).
    std::function<void(TChartAxis *, int, double &, bool &)> OnGetNextAxisLabel;

    // ---- internal state ----------------------------------------------------------------------
    double ShownMinimum() const { return shownMinimum_; }
    double ShownMaximum() const { return shownMaximum_; }
    double ShownRange() const { return shownRange_; }
    /// Sets the shown range directly (ShownRange follows).
    void SetShownRange(double min, double max);
    bool IsDateTimeAxis() const { return isDateTime_; }
    int LinePosition() const { return linePosition_; }
    int LabelsPosition() const { return labelsPosition_; }
    int TitlePosition() const { return titlePosition_; }

    /// Plot rectangle used when the axis has no chart.
    void SetStandalonePlotRect(const PixelRect &r) { standalonePlot_ = r; }
    /// The plot rectangle the axis maps over (the chart's PlotRect).
    PixelRect PlotRect() const;

    // ---- operations --------------------------------------------------------------------------
    /// Lowest (highest) X (horizontal axis) or Y (vertical axis) value over the Active series
    /// with points that are plotted against this axis; 0 when there is none.
    double SeriesExtreme(bool highest) const;
    /// Refreshes Minimum/Maximum from SeriesExtreme where automatic, then the shown range.
    void ComputeRange();
    /// AxisVisible of the chart, Visible, and (except the depth axis) some Active series on it.
    bool IsAxisShown() const;
    /// Some Active series is plotted against this axis.
    bool HasActiveSeries() const;
    /// Widens the shown range so that it maps onto the plot inset by the series' pixel margins.
    void WidenForMargins();
    /// Integer pixel of value v (ties to even); the plot centre when the range is 0.
    int ValueToPixel(double v) const;
    /// Value at pixel p; 0 when the plot is narrower (lower) than one pixel.
    double PixelToValue(int p) const;
    /// The next step of the 1-2-5 sequence (1 -> 2 -> 5 -> 10, 0.3 -> 0.5).
    static double NextStep(double x);
    /// Smallest step (from Increment or 1 / 1e-12 upwards through NextStep) giving at most n
    /// labels over the shown range; at least MinimumStep.
    double StepForLabelCount(int n) const;
    /// Step between value labels for the current plot size (measures with `canvas`, whose font
    /// it changes to LabelsFont).
    double LabelStep(TTeeCanvas &canvas) const;
    /// Values of the value labels for `step`, from the top of the shown range downwards; empty
    /// when the LabelSpacingLimit guard applies (too many labels or too small a step).
    std::vector<double> ValueLabels(double step) const;
    /// Label text of v: AxisValuesFormat in the user's locale, then OnGetAxisLabel, then
    /// LabelsMultiLine (blanks become line breaks).
    QString LabelText(double v) const;
    /// v formatted with `format` (the "#,##0.###" family: grouping, minimum integer digits,
    /// mandatory and optional decimals) using the locale's separators.
    static QString FormatValue(double v, const QString &format, const QLocale &locale);
    TAxisLabelStyle ResolvedLabelStyle() const;
    /// Widest label of the vertical axis plus one blank (canvas font becomes LabelsFont).
    int MaxLabelWidth(TTeeCanvas &canvas) const;
    /// Takes the title, label and tick bands off `r` on the axis' side.
    void ReserveAxisSpace(PixelRect &r, TTeeCanvas &canvas);
    /// Room a vertical axis' value labels need beyond what ReserveAxisSpace gave them: the
    /// band is measured from the range before the series' margins widen it, but the labels are
    /// drawn from the widened range (whose top label can have one digit more). When one of the
    /// labels DrawAxis will draw over the chart's final PlotRect would be cut by the edge of
    /// the chart, the band's width becomes the widest of them plus one blank; otherwise, or
    /// when the band is not measured from value labels, 0.
    int LabelOverflow(TTeeCanvas &canvas);
    /// Moves the inner edge of the label band by `pixels` (towards the plot for pixels > 0).
    void WidenLabelBand(int pixels);
    /// Draws title, labels with ticks and grid, and the axis line.
    void DrawAxis(TTeeCanvas3D &canvas);

    /// Smallest label step.
    static constexpr double MinimumStep = 1e-12;
    /// Bound of the label loop (|max/step| limit and number of steps).
    static constexpr double LabelSpacingLimit = 2147483647.0;
    static constexpr double MaxLabelSteps = 10000.0;

  private:
    void Changed() const;
    void SetPositions(const PixelRect &plot);
    void DrawTicksAndGrid(TTeeCanvas3D &canvas, int p, double v, int &prevTick);
    void DrawLabelText(TTeeCanvas3D &canvas, int p, const QString &text);
    void DrawTitle(TTeeCanvas3D &canvas);
    int TitleSpace(TTeeCanvas &canvas) const;
    int LabelSpace(TTeeCanvas &canvas) const;
    int TickSpace() const;
    QString ValueLabelText(double v, bool callEvent) const;
    template <class T> void SetField(T &field, T v);

    TCustomAxisPanel *parent_;
    TAxisKind kind_;
    PixelRect standalonePlot_{0, 0, 100, 100};

    bool automatic_ = true;
    bool automaticMaximum_ = true;
    bool automaticMinimum_ = true;
    TChartAxisPen axisPen_;
    QString axisValuesFormat_ = QStringLiteral("#,##0.###");
    QString dateTimeFormat_;
    bool exactDateTime_ = true;
    TDottedGrayPen grid_;
    bool gridCentered_ = false;
    double increment_ = 0.0;
    bool inverted_ = false;
    bool labels_ = true;
    int labelsAngle_ = 0;
    TChartFont labelsFont_;
    bool labelsMultiLine_ = false;
    bool labelsOnAxis_ = true;
    int labelsSeparation_ = 10;
    int labelsSize_ = 0;
    TAxisLabelStyle labelStyle_ = talAuto;
    bool logarithmic_ = false;
    double maximum_ = 0.0;
    double minimum_ = 0.0;
    int minorTickCount_ = 3;
    int minorTickLength_ = 2;
    TDarkGrayPen minorTicks_;
    bool roundFirstLabel_ = true;
    int tickInnerLength_ = 0;
    int tickLength_ = 4;
    bool tickOnLabelsOnly_ = true;
    TDarkGrayPen ticks_;
    TDarkGrayPen ticksInner_;
    TChartAxisTitle title_;
    int titleSize_ = 0;
    bool visible_ = true;

    double shownMinimum_ = 0.0;
    double shownMaximum_ = 0.0;
    double shownRange_ = 0.0;
    bool isDateTime_ = false;
    int linePosition_ = 0;
    int labelsPosition_ = 0;
    /// Width ReserveAxisSpace gave the labels (the band's measured size).
    int labelsBand_ = 0;
    int titlePosition_ = 0;
};

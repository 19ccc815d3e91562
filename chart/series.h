// Series and their value lists: how the points of a chart are stored, added, deleted and
// cleared, and the list of series a chart holds. Drawing hooks are declared here and
// implemented by the series that draw points joined by lines (customseries.h/.cpp).
//
// Ownership: a series owns its value lists, its pointer and its line pen. The chart
// (TCustomAxisPanel) holds its series through a TChartSeriesList and frees them when it is
// destroyed. Everything runs on the user-interface thread; nothing is locked.
#pragma once

#include "canvas.h"
#include "chartdefs.h"

#include <QString>

#include <array>
#include <functional>
#include <memory>
#include <vector>

class TCustomAxisPanel;
class TTeeCanvas3D;
class TChartAxis;
class TChartSeries;

/// Where InsertSorted places a new value.
enum TChartListOrder { loNone, loAscending, loDescending };
/// The horizontal axis a series is plotted against.
enum THorizAxis { aTopAxis, aBottomAxis };
/// The vertical axis a series is plotted against.
enum TVertAxis { aLeftAxis, aRightAxis };
/// Marker shapes of a series pointer.
enum TSeriesPointerStyle {
    psRectangle,
    psCircle,
    psTriangle,
    psDownTriangle,
    psCross,
    psDiagCross,
    psStar,
    psDiamond,
    psSmallDot
};

/// The 16 colours handed to series that join a chart without a colour of their own.
extern const std::array<ChartColor, 16> DefaultPalette;
/// Palette colour n: entry n mod 16 (negative n counts as its absolute value).
ChartColor GetDefaultColor(int n);

/// The values of one coordinate of a series (X or Y), in point order, with running extremes
/// and sums of the multiplied values. Every index is 0-based; a bad index throws EListError
/// before anything changes.
class TChartValueList
{
  public:
    TChartValueList(TChartSeries *owner, const QString &name);
    TChartValueList(const TChartValueList &) = delete;
    TChartValueList &operator=(const TChartValueList &) = delete;

    // Published properties.
    bool DateTime() const { return DateTime_; }
    void SetDateTime(bool value);
    const QString &Name() const { return Name_; }
    void SetName(const QString &value) { Name_ = value; }
    double Multiplier() const { return Multiplier_; }
    void SetMultiplier(double value);
    TChartListOrder Order() const { return Order_; }
    void SetOrder(TChartListOrder value) { Order_ = value; }
    const QString &ValueSource() const { return ValueSource_; }
    void SetValueSource(const QString &value) { ValueSource_ = value; }

    TChartSeries *Owner() const { return Owner_; }

    int ValueCount() const { return int(Values_.size()); }
    /// Stored value times Multiplier.
    double ValueAt(int index) const;
    double StoredValueAt(int index) const;
    /// ValueAt of the last index (throws EListError(-1) on an empty list).
    double LastValue() const;
    /// First index whose ValueAt equals x exactly, else -1.
    int FindValue(double x) const;
    /// Places x according to Order (a new value goes after all values equal to it) and adds it
    /// to the bookkeeping; returns its index.
    int InsertSorted(double x);
    /// Stores x at index (0..ValueCount), shifting later values; adds x to the bookkeeping.
    void InsertAt(int index, double x);
    /// Removes the value at index; subtracts it from the sums and recomputes the extremes.
    void RemoveAt(int index);
    /// Removes every value; extremes and sums become 0.
    void RemoveAll();
    /// Stored value at every index := the index itself, then RecalcRange (sums are kept).
    void Renumber();
    /// Recomputes LowestValue and HighestValue by a scan (0 and 0 when empty).
    void RecalcRange();

    double HighestValue() const { return HighestValue_; }
    double LowestValue() const { return LowestValue_; }
    double ValueSum() const { return ValueSum_; }
    double AbsValueSum() const { return AbsValueSum_; }

    /// The value handed over by AppendXY before it is placed.
    double PendingValue = 0.0;

    /// The stored values, contiguous, for the drawing loop (not multiplied).
    const double *StoredData() const { return Values_.data(); }

  private:
    void AddToBookkeeping(double x);

    TChartSeries *Owner_;
    std::vector<double> Values_;
    bool DateTime_ = false;
    QString Name_;
    double Multiplier_ = 1.0;
    TChartListOrder Order_ = loNone;
    QString ValueSource_;
    double HighestValue_ = 0.0;
    double LowestValue_ = 0.0;
    double ValueSum_ = 0.0;
    double AbsValueSum_ = 0.0;
};

/// All value lists of a series in creation order ([X list, Y list]).
using TChartValueLists = std::vector<TChartValueList *>;

/// Value marks of a series. This chart never shows them; only the settings are kept.
class TSeriesMarks
{
  public:
    explicit TSeriesMarks(TChartSeries *owner) : Owner_(owner) {}
    bool Visible() const { return Visible_; }
    void SetVisible(bool value);
    int ArrowLength() const { return ArrowLength_; }
    void SetArrowLength(int value);

  private:
    TChartSeries *Owner_;
    bool Visible_ = false;
    int ArrowLength_ = 8;
};

/// A sequence of points (X value, Y value, optional label, colour) plotted on a chart.
/// Setters store a value only when it differs and then ask the chart for a repaint.
class TChartSeries
{
  public:
    TChartSeries();
    /// A series still attached to a chart takes itself out of the chart's list first.
    virtual ~TChartSeries();
    TChartSeries(const TChartSeries &) = delete;
    TChartSeries &operator=(const TChartSeries &) = delete;

    // ---- Published properties ----
    bool Active() const { return Active_; }
    virtual void SetActive(bool value);
    bool ColorEachPoint() const { return ColorEachPoint_; }
    /// Switching it off also stores AutoColor into every point's colour entry.
    virtual void SetColorEachPoint(bool value);
    ChartColor SeriesColor() const { return SeriesColor_; }
    virtual void SetSeriesColor(ChartColor value);
    const QString &Title() const { return Title_; }
    void SetTitle(const QString &value);
    bool ShowInLegend() const { return ShowInLegend_; }
    void SetShowInLegend(bool value);
    THorizAxis HorizAxis() const { return HorizAxis_; }
    void SetHorizAxis(THorizAxis value);
    TVertAxis VertAxis() const { return VertAxis_; }
    void SetVertAxis(TVertAxis value);
    const QString &ValueFormat() const { return ValueFormat_; }
    void SetValueFormat(const QString &value);
    const QString &PercentFormat() const { return PercentFormat_; }
    void SetPercentFormat(const QString &value);
    TSeriesMarks &Marks() { return Marks_; }
    const TSeriesMarks &Marks() const { return Marks_; }

    /// The chart the series belongs to (none until AttachSeries). Setting it does not touch the
    /// chart's list: AttachSeries/DetachSeries do that and set this field.
    TCustomAxisPanel *ParentChart() const { return ParentChart_; }
    virtual void SetParentChart(TCustomAxisPanel *value);

    TChartValueList *XValues() const { return XValues_.get(); }
    TChartValueList *YValues() const { return YValues_.get(); }
    const TChartValueLists &ValuesLists() const { return ValuesLists_; }
    /// The value list that always goes with the value axis: the Y list.
    virtual TChartValueList *MandatoryList() const { return YValues_.get(); }

    // ---- Events (none is assigned in this system) ----
    /// Asked before a point is added; answering false refuses the point.
    std::function<bool(TChartSeries *)> OnBeforeAdd;
    std::function<void(TChartSeries *, int)> OnAfterAdd;
    std::function<void(TChartSeries *)> OnClearValues;
    std::function<void(TChartSeries *)> BeforeDrawValues;
    std::function<void(TChartSeries *)> AfterDrawValues;

    // ---- Points ----
    /// Empties value lists, colours and labels (the first half of ClearPoints; no repaint).
    virtual void RemoveAllPoints();
    virtual double XValueAt(int index) const;
    virtual double YValueAt(int index) const;
    /// SeriesColor beyond the colour list; else the point's own colour; else (AutoColor) palette
    /// colour index with ColorEachPoint, SeriesColor without.
    virtual ChartColor PointColor(int index) const;
    /// The point's label, or empty text (also for an index beyond the label list).
    virtual QString PointLabel(int index) const;
    /// Steps after the point is stored: OnAfterAdd, then a repaint request when Active.
    virtual void PointAdded(int index);
    /// Adds a value on the mandatory (Y) list: AppendY.
    virtual int AppendValue(double value, const QString &label, ChartColor color);
    /// AppendValue(0, label, clNone): a point drawn as a gap.
    virtual int AppendGap(const QString &label);
    /// Adds a point at its sorted X position; returns its index, or -1 when OnBeforeAdd refuses.
    /// A colour of clDefault is stored as AutoColor; an empty label as no label.
    virtual int AppendXY(double x, double y, const QString &label = QString(),
                         ChartColor color = AutoColor);
    /// AppendXY with x = PointCount (the count before the addition).
    int AppendY(double y, const QString &label = QString(), ChartColor color = AutoColor);
    /// Removes all points; repaint request.
    virtual void ClearPoints();
    virtual int PointCount() const;
    /// Removes point index from every value list, the colours and the labels; repaint request
    /// (also when the series is not Active). Throws EListError for a bad index.
    virtual void DeletePoint(int index);

    virtual double HighestX() const;
    virtual double HighestY() const;
    virtual double LowestX() const;
    virtual double LowestY() const;

    // ---- Drawing (called by the chart; everything is 2-D) ----
    /// Sets FirstVisibleIndex/LastVisibleIndex from the horizontal axis' range over the plot
    /// rectangle. Needs a ParentChart; without one both become -1.
    void FindVisibleRange();
    int FirstVisibleIndex() const { return FirstVisibleIndex_; }
    int LastVisibleIndex() const { return LastVisibleIndex_; }

    /// Draws the whole series (the panel calls it for every Active series, in list order):
    /// FindVisibleRange, BeforeDrawValues, clip to the plot when the chart clips points,
    /// PaintAllPoints, unclip, AfterDrawValues.
    virtual void PaintSeries(TTeeCanvas3D &canvas);
    /// PaintPoint for FirstVisibleIndex..LastVisibleIndex.
    virtual void PaintAllPoints(TTeeCanvas3D &canvas);
    virtual void PaintPoint(TTeeCanvas3D &canvas, int index);
    /// Index of the point (or segment start) under the pixel, or -1. Uses the visible range of
    /// the last FindVisibleRange.
    virtual int PointAtPixel(int x, int y) const;
    /// Loads the canvas pen and brush style the legend uses before PaintLegendSymbol
    /// (the base class leaves the canvas alone).
    virtual void PrepareLegendCanvas(TTeeCanvas3D &canvas);
    /// The legend row's symbol; index -1 means the series as a whole.
    virtual void PaintLegendSymbol(TTeeCanvas3D &canvas, int index, const PixelRect &rect);
    /// Pixels the series wants kept free at the plot's left and right (top and bottom) edges.
    virtual void HorizMarginPixels(int &left, int &right) const;
    virtual void VertMarginPixels(int &top, int &bottom) const;

    /// The axes the series is plotted against (none without a chart).
    TChartAxis *GetHorizAxis() const;
    TChartAxis *GetVertAxis() const;

    /// Asks the chart for a new picture; does nothing without a chart.
    void RequestRepaint() const;

  protected:
    int FirstVisibleIndex_ = -1;
    int LastVisibleIndex_ = -1;

    /// Point colours (AutoColor = no colour of its own) and labels (empty = none), per point.
    std::vector<ChartColor> Colors_;
    std::vector<QString> Labels_;

  private:
    friend class TChartSeriesList;

    bool Active_ = true;
    ChartColor SeriesColor_ = AutoColor;
    bool ColorEachPoint_ = false;
    QString Title_;
    bool ShowInLegend_ = true;
    THorizAxis HorizAxis_ = aBottomAxis;
    TVertAxis VertAxis_ = aLeftAxis;
    QString ValueFormat_ = QStringLiteral("#,##0.###");
    QString PercentFormat_ = QStringLiteral("##0.## %");
    TSeriesMarks Marks_{this};
    TCustomAxisPanel *ParentChart_ = nullptr;
    std::unique_ptr<TChartValueList> XValues_;
    std::unique_ptr<TChartValueList> YValues_;
    TChartValueLists ValuesLists_;
};

/// The ordered list of a chart's series (in the order they joined). It does not own them by
/// itself; the chart frees them with FreeAll when it is destroyed.
class TChartSeriesList
{
  public:
    int Count() const { return int(Items_.size()); }
    /// The series at position index; EListError outside 0..Count-1.
    TChartSeries *At(int index) const;
    int IndexOf(const TChartSeries *series) const;
    bool Contains(const TChartSeries *series) const { return IndexOf(series) >= 0; }
    void Add(TChartSeries *series);
    /// Removes the series from the list; false when it was not in it.
    bool Remove(TChartSeries *series);
    int ActiveCount() const;
    /// True when some series of the list has this SeriesColor.
    bool UsesColor(ChartColor color) const;
    /// Deletes every series (their ParentChart is cleared first, so no repaint is requested)
    /// and empties the list.
    void FreeAll();

    auto begin() const { return Items_.begin(); }
    auto end() const { return Items_.end(); }

  private:
    std::vector<TChartSeries *> Items_;
};

/// The first palette colour (entries 0..15 in order) for which isFree answers true; palette
/// entry 0 when none is free. AttachSeries uses it for a series whose colour is AutoColor.
ChartColor FirstFreePaletteColor(const std::function<bool(ChartColor)> &isFree);

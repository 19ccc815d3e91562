#include "series.h"

#include "axis.h"
#include "canvas.h"
#include "panel.h"

#include <algorithm>
#include <cmath>

const std::array<ChartColor, 16> DefaultPalette = {
    clRed,  clGreen,  clYellow, clBlue,  clWhite,  clGray,   clFuchsia, clTeal,
    clNavy, clMaroon, clLime,   clOlive, clPurple, clSilver, clAqua,    clBlack};

ChartColor GetDefaultColor(int n)
{
    const int i = n < 0 ? -(n % 16) : n % 16;
    return DefaultPalette[std::size_t(i)];
}

ChartColor FirstFreePaletteColor(const std::function<bool(ChartColor)> &isFree)
{
    for (ChartColor c : DefaultPalette)
        if (isFree(c))
            return c;
    return DefaultPalette[0];
}

// ---------------------------------------------------------------------------------------------
// TChartValueList

TChartValueList::TChartValueList(TChartSeries *owner, const QString &name)
    : Owner_(owner), Name_(name)
{
}

void TChartValueList::SetDateTime(bool value)
{
    if (SetIfChanged(DateTime_, value) && Owner_)
        Owner_->RequestRepaint();
}

void TChartValueList::SetMultiplier(double value)
{
    if (!SetIfChanged(Multiplier_, value))
        return;
    RecalcRange();
    if (Owner_)
        Owner_->RequestRepaint();
}

double TChartValueList::ValueAt(int index) const
{
    CheckListIndex(index, ValueCount());
    return Values_[std::size_t(index)] * Multiplier_;
}

double TChartValueList::StoredValueAt(int index) const
{
    CheckListIndex(index, ValueCount());
    return Values_[std::size_t(index)];
}

double TChartValueList::LastValue() const
{
    return ValueAt(ValueCount() - 1);
}

int TChartValueList::FindValue(double x) const
{
    for (int i = 0; i < ValueCount(); ++i)
        if (Values_[std::size_t(i)] * Multiplier_ == x)
            return i;
    return -1;
}

int TChartValueList::InsertSorted(double x)
{
    const int count = ValueCount();
    int index = count;
    if (Order_ != loNone && count > 0) {
        const double last = Values_.back();
        if (Order_ == loAscending && !(last <= x)) {
            // Walk down past every value greater than x: x goes after its equals.
            int i = count - 1;
            while (i >= 0 && Values_[std::size_t(i)] > x)
                --i;
            index = i + 1;
        } else if (Order_ == loDescending && !(last >= x)) {
            int i = count - 1;
            while (i >= 0 && Values_[std::size_t(i)] < x)
                --i;
            index = i + 1;
        }
    }
    Values_.insert(Values_.begin() + index, x);
    AddToBookkeeping(x);
    return index;
}

void TChartValueList::InsertAt(int index, double x)
{
    CheckListIndex(index, ValueCount() + 1);
    Values_.insert(Values_.begin() + index, x);
    AddToBookkeeping(x);
}

void TChartValueList::AddToBookkeeping(double x)
{
    const double m = x * Multiplier_;
    ValueSum_ += m;
    AbsValueSum_ += std::fabs(m);
    if (Values_.size() == 1) {
        LowestValue_ = m;
        HighestValue_ = m;
    } else {
        if (m < LowestValue_)
            LowestValue_ = m;
        if (m > HighestValue_)
            HighestValue_ = m;
    }
}

void TChartValueList::RemoveAt(int index)
{
    CheckListIndex(index, ValueCount());
    const double m = Values_[std::size_t(index)] * Multiplier_;
    Values_.erase(Values_.begin() + index);
    ValueSum_ -= m;
    AbsValueSum_ -= std::fabs(m);
    RecalcRange();
}

void TChartValueList::RemoveAll()
{
    Values_.clear();
    HighestValue_ = 0.0;
    LowestValue_ = 0.0;
    ValueSum_ = 0.0;
    AbsValueSum_ = 0.0;
}

void TChartValueList::Renumber()
{
    for (std::size_t i = 0; i < Values_.size(); ++i)
        Values_[i] = double(i);
    RecalcRange();
}

void TChartValueList::RecalcRange()
{
    LowestValue_ = 0.0;
    HighestValue_ = 0.0;
    if (Values_.empty())
        return;
    LowestValue_ = HighestValue_ = Values_[0] * Multiplier_;
    for (std::size_t i = 1; i < Values_.size(); ++i) {
        const double v = Values_[i] * Multiplier_;
        if (v < LowestValue_)
            LowestValue_ = v;
        else if (v > HighestValue_)
            HighestValue_ = v;
    }
}

// ---------------------------------------------------------------------------------------------
// TSeriesMarks

void TSeriesMarks::SetVisible(bool value)
{
    if (SetIfChanged(Visible_, value))
        Owner_->RequestRepaint();
}

void TSeriesMarks::SetArrowLength(int value)
{
    if (SetIfChanged(ArrowLength_, value))
        Owner_->RequestRepaint();
}

// ---------------------------------------------------------------------------------------------
// TChartSeries

TChartSeries::TChartSeries()
    : XValues_(std::make_unique<TChartValueList>(this, QStringLiteral("X"))),
      YValues_(std::make_unique<TChartValueList>(this, QStringLiteral("Y")))
{
    XValues_->SetOrder(loAscending);
    YValues_->SetOrder(loNone);
    ValuesLists_ = {XValues_.get(), YValues_.get()};
}

TChartSeries::~TChartSeries()
{
    if (ParentChart_)
        ParentChart_->DetachSeries(this);
}

void TChartSeries::RequestRepaint() const
{
    if (ParentChart_)
        ParentChart_->RequestRepaint();
}

void TChartSeries::SetActive(bool value)
{
    if (SetIfChanged(Active_, value))
        RequestRepaint();
}

void TChartSeries::SetColorEachPoint(bool value)
{
    if (!SetIfChanged(ColorEachPoint_, value))
        return;
    if (!value)
        std::fill(Colors_.begin(), Colors_.end(), AutoColor);
    RequestRepaint();
}

void TChartSeries::SetSeriesColor(ChartColor value)
{
    if (SetIfChanged(SeriesColor_, value))
        RequestRepaint();
}

void TChartSeries::SetTitle(const QString &value)
{
    if (SetIfChanged(Title_, value))
        RequestRepaint();
}

void TChartSeries::SetShowInLegend(bool value)
{
    if (SetIfChanged(ShowInLegend_, value))
        RequestRepaint();
}

void TChartSeries::SetHorizAxis(THorizAxis value)
{
    if (SetIfChanged(HorizAxis_, value))
        RequestRepaint();
}

void TChartSeries::SetVertAxis(TVertAxis value)
{
    if (SetIfChanged(VertAxis_, value))
        RequestRepaint();
}

void TChartSeries::SetValueFormat(const QString &value)
{
    if (SetIfChanged(ValueFormat_, value))
        RequestRepaint();
}

void TChartSeries::SetPercentFormat(const QString &value)
{
    if (SetIfChanged(PercentFormat_, value))
        RequestRepaint();
}

void TChartSeries::SetParentChart(TCustomAxisPanel *value)
{
    ParentChart_ = value;
}

void TChartSeries::RemoveAllPoints()
{
    for (TChartValueList *list : ValuesLists_)
        list->RemoveAll();
    Colors_.clear();
    Labels_.clear();
}

double TChartSeries::XValueAt(int index) const
{
    return XValues_->ValueAt(index);
}

double TChartSeries::YValueAt(int index) const
{
    return YValues_->ValueAt(index);
}

ChartColor TChartSeries::PointColor(int index) const
{
    if (index < 0 || index >= int(Colors_.size()))
        return SeriesColor_;
    const ChartColor c = Colors_[std::size_t(index)];
    if (c != AutoColor)
        return c;
    return ColorEachPoint_ ? GetDefaultColor(index) : SeriesColor_;
}

QString TChartSeries::PointLabel(int index) const
{
    if (index < 0 || index >= int(Labels_.size()))
        return QString();
    return Labels_[std::size_t(index)];
}

void TChartSeries::PointAdded(int index)
{
    if (OnAfterAdd)
        OnAfterAdd(this, index);
    if (Active_)
        RequestRepaint();
}

int TChartSeries::AppendValue(double value, const QString &label, ChartColor color)
{
    if (MandatoryList() == YValues_.get())
        return AppendY(value, label, color);
    return AppendXY(value, double(PointCount()), label, color);
}

int TChartSeries::AppendGap(const QString &label)
{
    return AppendValue(0.0, label, clNone);
}

int TChartSeries::AppendXY(double x, double y, const QString &label, ChartColor color)
{
    XValues_->PendingValue = x;
    YValues_->PendingValue = y;
    if (OnBeforeAdd && !OnBeforeAdd(this))
        return -1;
    const int index = XValues_->InsertSorted(XValues_->PendingValue);
    for (TChartValueList *list : ValuesLists_)
        if (list != XValues_.get())
            list->InsertAt(index, list->PendingValue);
    Colors_.insert(Colors_.begin() + index, color == clDefault ? AutoColor : color);
    // An empty label is kept as "no label"; any other is the series' own (implicitly shared) copy.
    Labels_.insert(Labels_.begin() + index, label.isEmpty() ? QString() : label);
    PointAdded(index);
    return index;
}

int TChartSeries::AppendY(double y, const QString &label, ChartColor color)
{
    return AppendXY(double(PointCount()), y, label, color);
}

void TChartSeries::ClearPoints()
{
    RemoveAllPoints();
    if (OnClearValues)
        OnClearValues(this);
    RequestRepaint();
}

int TChartSeries::PointCount() const
{
    return XValues_->ValueCount();
}

void TChartSeries::DeletePoint(int index)
{
    CheckListIndex(index, PointCount());
    for (TChartValueList *list : ValuesLists_)
        list->RemoveAt(index);
    if (index < int(Colors_.size()))
        Colors_.erase(Colors_.begin() + index);
    if (index < int(Labels_.size()))
        Labels_.erase(Labels_.begin() + index);
    RequestRepaint();
}

double TChartSeries::HighestX() const
{
    return XValues_->HighestValue();
}

double TChartSeries::HighestY() const
{
    return YValues_->HighestValue();
}

double TChartSeries::LowestX() const
{
    return XValues_->LowestValue();
}

double TChartSeries::LowestY() const
{
    return YValues_->LowestValue();
}

// ---------------------------------------------------------------------------------------------
// TChartSeriesList

TChartSeries *TChartSeriesList::At(int index) const
{
    CheckListIndex(index, Count());
    return Items_[std::size_t(index)];
}

int TChartSeriesList::IndexOf(const TChartSeries *series) const
{
    const auto it = std::find(Items_.begin(), Items_.end(), series);
    return it == Items_.end() ? -1 : int(it - Items_.begin());
}

void TChartSeriesList::Add(TChartSeries *series)
{
    Items_.push_back(series);
}

bool TChartSeriesList::Remove(TChartSeries *series)
{
    const auto it = std::find(Items_.begin(), Items_.end(), series);
    if (it == Items_.end())
        return false;
    Items_.erase(it);
    return true;
}

int TChartSeriesList::ActiveCount() const
{
    return int(std::count_if(Items_.begin(), Items_.end(),
                             [](const TChartSeries *s) { return s->Active(); }));
}

bool TChartSeriesList::UsesColor(ChartColor color) const
{
    return std::any_of(Items_.begin(), Items_.end(),
                       [color](const TChartSeries *s) { return s->SeriesColor() == color; });
}

void TChartSeriesList::FreeAll()
{
    std::vector<TChartSeries *> items;
    items.swap(Items_);
    for (TChartSeries *s : items) {
        s->ParentChart_ = nullptr;
        delete s;
    }
}

// ---------------------------------------------------------------------------------------------
// TChartSeries: drawing side

TChartAxis *TChartSeries::GetHorizAxis() const
{
    if (!ParentChart_)
        return nullptr;
    return HorizAxis_ == aTopAxis ? ParentChart_->TopAxis() : ParentChart_->BottomAxis();
}

TChartAxis *TChartSeries::GetVertAxis() const
{
    if (!ParentChart_)
        return nullptr;
    return VertAxis_ == aRightAxis ? ParentChart_->RightAxis() : ParentChart_->LeftAxis();
}

void TChartSeries::FindVisibleRange()
{
    FirstVisibleIndex_ = -1;
    LastVisibleIndex_ = -1;
    const int count = PointCount();
    if (count == 0)
        return;
    if (XValues_->Order() == loNone) {
        FirstVisibleIndex_ = 0;
        LastVisibleIndex_ = count - 1;
        return;
    }
    const TChartAxis *axis = GetHorizAxis();
    if (!axis)
        return;
    const PixelRect plot = ParentChart_->PlotRect;
    double left = axis->PixelToValue(plot.Left);
    double right = axis->PixelToValue(plot.Right);
    if (axis->Inverted())
        std::swap(left, right);

    const double *xs = XValues_->StoredData();
    const double mul = XValues_->Multiplier();
    int first = 0;
    while (first < count && xs[first] * mul < left)
        ++first;
    if (first == count)
        return;
    int last = count - 1;
    if (xs[last] * mul > right) {
        // Keep the first point on or beyond the right edge so that the line reaches the edge.
        last = first;
        while (last < count - 1 && xs[last] * mul < right)
            ++last;
    }
    FirstVisibleIndex_ = first;
    LastVisibleIndex_ = last;
}

void TChartSeries::PaintSeries(TTeeCanvas3D &canvas)
{
    if (!ParentChart_)
        return;
    FindVisibleRange();
    if (FirstVisibleIndex_ == -1)
        return;
    if (BeforeDrawValues)
        BeforeDrawValues(this);
    const bool clip = ParentChart_->ClipPoints();
    if (clip)
        canvas.ClipToPlot(ParentChart_->PlotRect, 0, 0);
    PaintAllPoints(canvas);
    if (clip)
        canvas.Unclip();
    if (AfterDrawValues)
        AfterDrawValues(this);
}

void TChartSeries::PaintAllPoints(TTeeCanvas3D &canvas)
{
    for (int i = FirstVisibleIndex_; i <= LastVisibleIndex_; ++i)
        PaintPoint(canvas, i);
}

void TChartSeries::PaintPoint(TTeeCanvas3D &, int) {}

int TChartSeries::PointAtPixel(int, int) const
{
    return -1;
}

void TChartSeries::PrepareLegendCanvas(TTeeCanvas3D &) {}

void TChartSeries::PaintLegendSymbol(TTeeCanvas3D &, int, const PixelRect &) {}

void TChartSeries::HorizMarginPixels(int &left, int &right) const
{
    left = 0;
    right = 0;
}

void TChartSeries::VertMarginPixels(int &top, int &bottom) const
{
    top = 0;
    bottom = 0;
}

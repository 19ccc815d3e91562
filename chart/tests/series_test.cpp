// Value lists, series bookkeeping and the chart's series list.
#include "axis.h"
#include "lineseries.h"
#include "panel.h"
#include "series.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

std::vector<double> Stored(const TChartValueList &list)
{
    std::vector<double> v;
    for (int i = 0; i < list.ValueCount(); ++i)
        v.push_back(list.StoredValueAt(i));
    return v;
}

std::string ListErrorMessage(const std::function<void()> &f)
{
    try {
        f();
    } catch (const EListError &e) {
        return e.what();
    }
    return "no exception";
}

} // namespace

TEST(ChartDefs, RoundingAndMulDiv)
{
    EXPECT_EQ(RoundToEven(2.5), 2);
    EXPECT_EQ(RoundToEven(3.5), 4);
    EXPECT_EQ(RoundToEven(-2.5), -2);
    EXPECT_EQ(RoundToEven(-3.5), -4);
    EXPECT_EQ(RoundToEven(2.4999), 2);
    EXPECT_EQ(RoundToEven(-0.6), -1);
    // Far-off values saturate instead of overflowing int.
    EXPECT_EQ(RoundToEven(1e300), RoundLimit);
    EXPECT_EQ(RoundToEven(-1e300), -RoundLimit);
    EXPECT_EQ(RoundToEven(std::nan("")), -RoundLimit);
    EXPECT_EQ(MulDiv(5, 465, 100), 23); // 23.25
    EXPECT_EQ(MulDiv(3, 250, 100), 8);  // 7.5 rounds away from zero
    EXPECT_EQ(MulDiv(-3, 250, 100), -8);
    EXPECT_EQ(MulDiv(1, 2, 0), -1);
}

TEST(ValueList, EmptyListHasZeroExtremesAndRenumberKeepsItEmpty)
{
    TChartValueList list(nullptr, "X");
    EXPECT_EQ(list.LowestValue(), 0.0);
    EXPECT_EQ(list.HighestValue(), 0.0);
    list.Renumber();
    EXPECT_EQ(list.ValueCount(), 0);
    EXPECT_EQ(list.LowestValue(), 0.0);
    EXPECT_EQ(list.HighestValue(), 0.0);
    EXPECT_EQ(ListErrorMessage([&] { list.LastValue(); }), "List index out of bounds (-1)");
}

TEST(ValueList, AscendingInsertKeepsEqualsInArrivalOrder)
{
    TChartValueList list(nullptr, "X");
    list.SetOrder(loAscending);
    for (double v : {0.0, 1.0, 2.0})
        list.InsertSorted(v);
    // A new value goes after all values equal to it.
    EXPECT_EQ(list.InsertSorted(1.0), 2);
    EXPECT_EQ(Stored(list), (std::vector<double>{0, 1, 1, 2}));
    EXPECT_EQ(list.InsertSorted(2.0), 4);
    EXPECT_EQ(list.InsertSorted(-5.0), 0);
    EXPECT_EQ(Stored(list), (std::vector<double>{-5, 0, 1, 1, 2, 2}));
    EXPECT_EQ(list.LowestValue(), -5.0);
    EXPECT_EQ(list.HighestValue(), 2.0);
}

TEST(ValueList, DescendingAndUnorderedInserts)
{
    TChartValueList desc(nullptr, "X");
    desc.SetOrder(loDescending);
    desc.InsertSorted(5.0);
    desc.InsertSorted(3.0);
    EXPECT_EQ(desc.InsertSorted(4.0), 1);
    EXPECT_EQ(desc.InsertSorted(3.0), 3);
    EXPECT_EQ(desc.InsertSorted(9.0), 0);
    EXPECT_EQ(Stored(desc), (std::vector<double>{9, 5, 4, 3, 3}));

    TChartValueList none(nullptr, "Y");
    for (double v : {3.0, 1.0, 2.0})
        none.InsertSorted(v);
    EXPECT_EQ(Stored(none), (std::vector<double>{3, 1, 2}));
    EXPECT_EQ(none.FindValue(1.0), 1);
    EXPECT_EQ(none.FindValue(7.0), -1);
}

TEST(ValueList, BookkeepingFollowsAddsRemovesAndMultiplier)
{
    TChartValueList list(nullptr, "Y");
    for (double v : {4.0, -2.0, 10.0, 1.0})
        list.InsertSorted(v);
    EXPECT_DOUBLE_EQ(list.ValueSum(), 13.0);
    EXPECT_DOUBLE_EQ(list.AbsValueSum(), 17.0);
    EXPECT_EQ(list.HighestValue(), 10.0);

    // Removing the largest value lowers HighestValue to the largest remaining.
    list.RemoveAt(2);
    EXPECT_EQ(list.HighestValue(), 4.0);
    EXPECT_EQ(list.LowestValue(), -2.0);
    EXPECT_DOUBLE_EQ(list.ValueSum(), 3.0);
    EXPECT_DOUBLE_EQ(list.AbsValueSum(), 7.0);

    list.SetMultiplier(2.0);
    EXPECT_EQ(list.ValueAt(0), 8.0);
    EXPECT_EQ(list.StoredValueAt(0), 4.0);
    EXPECT_EQ(list.HighestValue(), 8.0);
    EXPECT_EQ(list.LowestValue(), -4.0);
    EXPECT_EQ(list.FindValue(-4.0), 1);

    list.RemoveAll();
    EXPECT_EQ(list.ValueCount(), 0);
    EXPECT_EQ(list.ValueSum(), 0.0);
    EXPECT_EQ(list.AbsValueSum(), 0.0);
    EXPECT_EQ(list.HighestValue(), 0.0);

    // Deleting the only value leaves both extremes at 0.
    list.InsertSorted(7.0);
    list.RemoveAt(0);
    EXPECT_EQ(list.LowestValue(), 0.0);
    EXPECT_EQ(list.HighestValue(), 0.0);
}

TEST(ValueList, RenumberResetsValuesButKeepsSums)
{
    TChartValueList list(nullptr, "X");
    for (double v : {5.0, 6.0, 9.0})
        list.InsertSorted(v);
    list.Renumber();
    EXPECT_EQ(Stored(list), (std::vector<double>{0, 1, 2}));
    EXPECT_EQ(list.LowestValue(), 0.0);
    EXPECT_EQ(list.HighestValue(), 2.0);
    EXPECT_DOUBLE_EQ(list.ValueSum(), 20.0);
}

TEST(ValueList, BadIndexFailsWithoutChange)
{
    TChartValueList list(nullptr, "X");
    list.InsertSorted(1.0);
    list.InsertSorted(2.0);
    EXPECT_EQ(ListErrorMessage([&] { list.ValueAt(2); }), "List index out of bounds (2)");
    EXPECT_EQ(ListErrorMessage([&] { list.RemoveAt(-1); }), "List index out of bounds (-1)");
    EXPECT_EQ(ListErrorMessage([&] { list.InsertAt(3, 9.0); }), "List index out of bounds (3)");
    EXPECT_EQ(Stored(list), (std::vector<double>{1, 2}));
    EXPECT_DOUBLE_EQ(list.ValueSum(), 3.0);
    list.InsertAt(2, 5.0); // one past the end is a valid insertion point
    EXPECT_EQ(list.LastValue(), 5.0);
}

TEST(Series, Defaults)
{
    TLineSeries s;
    EXPECT_TRUE(s.Active());
    EXPECT_EQ(s.SeriesColor(), AutoColor);
    EXPECT_EQ(s.XValues()->Name(), "X");
    EXPECT_EQ(s.XValues()->Order(), loAscending);
    EXPECT_EQ(s.YValues()->Name(), "Y");
    EXPECT_EQ(s.YValues()->Order(), loNone);
    EXPECT_EQ(s.MandatoryList(), s.YValues());
    EXPECT_EQ(s.ValuesLists(), (TChartValueLists{s.XValues(), s.YValues()}));
    EXPECT_EQ(s.FirstVisibleIndex(), -1);
}

TEST(Series, RunFeedingKeepsAtMost1501PointsNumberedFromZero)
{
    TLineSeries s;
    for (int i = 0; i < 1501; ++i)
        EXPECT_EQ(s.AppendY(20.0 + i, QString(), s.SeriesColor()), i);
    EXPECT_EQ(s.XValueAt(1500), 1500.0);

    // The next pass: drop point 0, renumber, append.
    ASSERT_GT(s.PointCount(), 1500);
    s.DeletePoint(0);
    s.XValues()->Renumber();
    EXPECT_EQ(s.PointCount(), 1500);
    EXPECT_EQ(s.XValueAt(0), 0.0);
    EXPECT_EQ(s.XValueAt(1499), 1499.0);
    EXPECT_EQ(s.YValueAt(0), 21.0);
    EXPECT_EQ(s.AppendY(-10000.0, QString(), s.SeriesColor()), 1500);
    EXPECT_EQ(s.XValueAt(1500), 1500.0);
    EXPECT_EQ(s.LowestY(), -10000.0);
    EXPECT_EQ(s.HighestY(), 1520.0);
    EXPECT_EQ(s.LowestX(), 0.0);
    EXPECT_EQ(s.HighestX(), 1500.0);
}

TEST(Series, AppendAfterDeleteWithoutRenumberStillAppends)
{
    TLineSeries s;
    for (int i = 0; i < 3; ++i)
        s.AppendY(i);
    s.DeletePoint(0); // X now 1, 2: the next X (2) equals the last one
    EXPECT_EQ(s.AppendY(7.0), 2);
    EXPECT_EQ(s.YValueAt(2), 7.0);
}

TEST(Series, OutOfOrderXKeepsYColoursAndLabelsAligned)
{
    TLineSeries s;
    s.AppendXY(10, 1, "a", clRed);
    s.AppendXY(30, 3, "", clBlue);
    EXPECT_EQ(s.AppendXY(20, 2, "b", clGreen), 1);
    EXPECT_EQ(s.YValueAt(1), 2.0);
    EXPECT_EQ(s.PointColor(1), clGreen);
    EXPECT_EQ(s.PointColor(2), clBlue);
    EXPECT_EQ(s.PointLabel(0), "a");
    EXPECT_EQ(s.PointLabel(1), "b");
    EXPECT_TRUE(s.PointLabel(2).isNull()); // an empty label is stored as none
    EXPECT_TRUE(s.PointLabel(99).isEmpty());

    s.DeletePoint(1);
    EXPECT_EQ(s.PointCount(), 2);
    EXPECT_EQ(s.YValueAt(1), 3.0);
    EXPECT_EQ(s.PointColor(1), clBlue);
    EXPECT_TRUE(s.PointLabel(1).isEmpty());
    EXPECT_EQ(ListErrorMessage([&] { s.DeletePoint(2); }), "List index out of bounds (2)");
    EXPECT_EQ(s.PointCount(), 2);
    EXPECT_EQ(s.YValues()->ValueCount(), 2);
}

TEST(Series, PointColourRules)
{
    TLineSeries s;
    s.SetSeriesColor(clLime);
    s.AppendY(1, "", clDefault); // "default" is stored as AutoColor
    s.AppendY(2, "", clRed);
    s.AppendY(3, "", AutoColor);
    EXPECT_EQ(s.PointColor(0), clLime);
    EXPECT_EQ(s.PointColor(1), clRed);
    EXPECT_EQ(s.PointColor(5), clLime); // beyond the colour list
    EXPECT_EQ(s.PointColor(-1), clLime);

    s.SetColorEachPoint(true);
    EXPECT_EQ(s.PointColor(0), GetDefaultColor(0));
    EXPECT_EQ(s.PointColor(2), clYellow);
    EXPECT_EQ(s.PointColor(1), clRed);
    // Switching it off forgets every point's own colour.
    s.SetColorEachPoint(false);
    EXPECT_EQ(s.PointColor(1), clLime);

    EXPECT_EQ(s.AppendGap("gap"), 3);
    EXPECT_EQ(s.PointColor(3), clNone);
    EXPECT_EQ(s.YValueAt(3), 0.0);
    EXPECT_EQ(s.PointLabel(3), "gap");
}

TEST(Series, PaletteOrder)
{
    const ChartColor expected[16] = {0x0000FF, 0x008000, 0x00FFFF, 0xFF0000, 0xFFFFFF, 0x808080,
                                     0xFF00FF, 0x808000, 0x800000, 0x000080, 0x00FF00, 0x008080,
                                     0x800080, 0xC0C0C0, 0xFFFF00, 0x000000};
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(GetDefaultColor(i), expected[i]) << i;
    EXPECT_EQ(GetDefaultColor(17), clGreen);
    EXPECT_EQ(FirstFreePaletteColor([](ChartColor c) { return c != clRed && c != clGreen; }),
              clYellow);
    EXPECT_EQ(FirstFreePaletteColor([](ChartColor) { return false; }), clRed);
}

TEST(Series, EventsAroundAddingAndClearing)
{
    TLineSeries s;
    bool refuse = true;
    std::vector<int> added;
    int cleared = 0;
    s.OnBeforeAdd = [&](TChartSeries *) { return !refuse; };
    s.OnAfterAdd = [&](TChartSeries *, int index) { added.push_back(index); };
    s.OnClearValues = [&](TChartSeries *) { ++cleared; };

    EXPECT_EQ(s.AppendXY(1, 2), -1);
    EXPECT_EQ(s.PointCount(), 0);
    EXPECT_EQ(s.YValues()->ValueCount(), 0);
    refuse = false;
    s.AppendXY(5, 1);
    s.AppendXY(3, 1);
    EXPECT_EQ(added, (std::vector<int>{0, 0}));

    s.ClearPoints();
    EXPECT_EQ(cleared, 1);
    EXPECT_EQ(s.PointCount(), 0);
    EXPECT_EQ(s.YValues()->ValueCount(), 0);
    EXPECT_EQ(s.HighestX(), 0.0);
    EXPECT_TRUE(s.PointLabel(0).isEmpty());
}

// ---- Series in a chart ----------------------------------------------------------------------

class SeriesInChart : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        for (int i = 0; i < 8; ++i) {
            series[i] = new TLineSeries;
            chart.AttachSeries(series[i]);
        }
    }
    /// True when something asked the chart for a new picture since the last call.
    bool TakeRepaintRequest()
    {
        const bool stale = chart.Canvas().BufferStale;
        chart.Canvas().BufferStale = false;
        return stale;
    }

    TChart chart;
    TLineSeries *series[8] = {};
};

TEST_F(SeriesInChart, ListPositionsAndErrors)
{
    EXPECT_EQ(chart.SeriesCount(), 8);
    EXPECT_EQ(chart.SeriesAt(7), series[7]);
    EXPECT_EQ(series[3]->ParentChart(), &chart);
    EXPECT_EQ(ListErrorMessage([&] { chart.SeriesAt(8); }), "List index out of bounds (8)");
    EXPECT_EQ(ListErrorMessage([&] { chart.SeriesAt(-1); }), "List index out of bounds (-1)");

    series[1]->SetActive(false);
    EXPECT_EQ(chart.ActiveSeriesCount(), 7);

    // Deleting a series takes it out of its chart.
    delete series[2];
    EXPECT_EQ(chart.SeriesCount(), 7);
    EXPECT_EQ(chart.SeriesAt(2), series[3]);
}

TEST_F(SeriesInChart, JoiningSeriesGetFreePaletteColours)
{
    // Palette colours in order, each one no series has yet.
    EXPECT_EQ(series[0]->SeriesColor(), clRed);
    EXPECT_EQ(series[1]->SeriesColor(), clGreen);
    EXPECT_EQ(series[7]->SeriesColor(), clTeal);

    auto *own = new TLineSeries;
    own->SetSeriesColor(clLime);
    chart.AttachSeries(own);
    EXPECT_EQ(own->SeriesColor(), clLime);
}

TEST_F(SeriesInChart, RepaintRequests)
{
    TLineSeries &s = *series[0];
    TakeRepaintRequest();
    s.AppendY(1.0);
    EXPECT_TRUE(TakeRepaintRequest());

    // An inactive series keeps receiving points silently, but a deletion still repaints.
    s.SetActive(false);
    EXPECT_TRUE(TakeRepaintRequest());
    s.AppendY(2.0);
    EXPECT_FALSE(TakeRepaintRequest());
    EXPECT_EQ(s.PointCount(), 2);
    s.DeletePoint(0);
    EXPECT_TRUE(TakeRepaintRequest());

    // Setters repaint only on a change; Renumber never does.
    s.SetActive(false);
    s.SetTitle(s.Title());
    s.XValues()->Renumber();
    EXPECT_FALSE(TakeRepaintRequest());
    s.SetTitle("Точка1");
    EXPECT_TRUE(TakeRepaintRequest());
    s.Pointer().SetStyle(psCircle);
    EXPECT_TRUE(TakeRepaintRequest());
    s.LinePen().SetWidth(2);
    EXPECT_TRUE(TakeRepaintRequest());
    s.ClearPoints();
    EXPECT_TRUE(TakeRepaintRequest());

    chart.DetachSeries(&s);
    EXPECT_EQ(s.ParentChart(), nullptr);
    EXPECT_TRUE(TakeRepaintRequest());
    s.SetTitle("gone"); // no chart: nothing to ask
    EXPECT_FALSE(TakeRepaintRequest());
    delete &s;
}

TEST_F(SeriesInChart, FindVisibleRange)
{
    TLineSeries &s = *series[0];
    chart.PlotRect = PixelRect{0, 0, 100, 100};
    chart.BottomAxis()->SetShownRange(10.0, 20.0);

    s.FindVisibleRange(); // no points
    EXPECT_EQ(s.FirstVisibleIndex(), -1);
    EXPECT_EQ(s.LastVisibleIndex(), -1);

    for (int i = 0; i <= 30; ++i)
        s.AppendXY(i + 0.5, i);
    s.FindVisibleRange();
    EXPECT_EQ(s.FirstVisibleIndex(), 10); // X 10.5: first not below 10
    EXPECT_EQ(s.LastVisibleIndex(), 20);  // X 20.5: first on or beyond 20

    chart.BottomAxis()->SetShownRange(10.0, 40.0); // last X inside
    s.FindVisibleRange();
    EXPECT_EQ(s.LastVisibleIndex(), 30);

    chart.BottomAxis()->SetShownRange(31.0, 40.0); // everything left of the plot
    s.FindVisibleRange();
    EXPECT_EQ(s.FirstVisibleIndex(), -1);
    EXPECT_EQ(s.LastVisibleIndex(), -1);

    chart.BottomAxis()->SetInverted(true);
    chart.BottomAxis()->SetShownRange(10.0, 20.0);
    s.FindVisibleRange();
    EXPECT_EQ(s.FirstVisibleIndex(), 10);
    EXPECT_EQ(s.LastVisibleIndex(), 20);

    s.XValues()->SetOrder(loNone); // unordered X: every point
    s.FindVisibleRange();
    EXPECT_EQ(s.FirstVisibleIndex(), 0);
    EXPECT_EQ(s.LastVisibleIndex(), 30);
}

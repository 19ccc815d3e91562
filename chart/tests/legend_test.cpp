// Legend: rows, placement arithmetic, frame and shadow, symbols, space taken from the plot.
#include "charttestutil.h"

#include <gtest/gtest.h>

using namespace charttest;

namespace
{

/// Expected legend rectangle for the right-hand legend with default frame and shadow.
PixelRect ExpectedRightLegend(TChart &chart, const PixelRect &plotBefore, int rows, int widest)
{
    const TChartLegend &legend = chart.Legend();
    const int ih = FontHeightIn(chart, legend.Font());
    const int top = RoundToEven(10 * 288 / 100.0); // TopPos 10 % of the full height
    const int right = plotBefore.Right - 2 - 3;    // frame width + 1, shadow 3
    const int textX = right - widest - 2;
    const int symbol = RoundToEven((widest + 10) * 12 / 100.0);
    return PixelRect{textX - symbol - 8, top, right, top + ih * rows + 2};
}

int WidestTitle(TChart &chart, const QStringList &titles)
{
    int w = 0;
    for (const QString &t : titles)
        w = std::max(w, TextWidthIn(chart, chart.Legend().Font(), t));
    return w;
}

} // namespace

TEST(ChartLegend, ListsActiveSeriesInOrderAndSizesTheBox)
{
    auto chart = MakeMainChart();
    chart->SeriesAt(0)->SetActive(false);
    chart->SeriesAt(2)->SetActive(false);
    chart->PaintNow();
    TChartLegend &legend = chart->Legend();
    ASSERT_EQ(legend.LegendItemCount(), 6);
    EXPECT_EQ(legend.RowsShown, 6);
    QStringList shown;
    for (int n = 0; n < legend.RowsShown; ++n)
        shown << legend.LegendText(n);
    EXPECT_EQ(shown, (QStringList{"Точка2", "Точка4", "Точка5", "Точка6", "Точка7", "Точка8"}));
    EXPECT_EQ(legend.LegendSeries(1), chart->SeriesAt(3));
    EXPECT_EQ(legend.LegendSeries(6), nullptr);

    // The plot before the legend is (23, title band, 465, 288).
    const PixelRect expected =
        ExpectedRightLegend(*chart, PixelRect{23, 0, 465, 288}, 6, WidestTitle(*chart, shown));
    EXPECT_EQ(legend.LegendRect, expected);
    EXPECT_EQ(legend.SymbolWidth, RoundToEven((WidestTitle(*chart, shown) + 10) * 0.12));

    // Frame one pixel outside LegendRect, white box, 3-pixel black shadow below and right.
    const QImage &img = chart->WindowImage();
    const PixelRect r = legend.LegendRect;
    const int midY = r.Top + 1 + legend.ItemHeight / 2;
    EXPECT_EQ(Pixel(img, r.Left - 1, midY), clBlack);
    EXPECT_EQ(Pixel(img, r.Right, midY), clBlack);
    EXPECT_EQ(Pixel(img, r.Left - 2, midY), ResolveSystemColor(clBtnFace));
    EXPECT_EQ(Pixel(img, r.Left + 1, r.Bottom - 1), clWhite);
    for (int dx = 1; dx <= 3; ++dx)
        EXPECT_EQ(Pixel(img, r.Right + dx, midY), clBlack) << dx;
    EXPECT_EQ(Pixel(img, r.Right + 4, midY), ResolveSystemColor(clBtnFace));
    EXPECT_EQ(Pixel(img, r.Right + 2, r.Top + 1),
              ResolveSystemColor(clBtnFace)); // shadow starts 3 rows down
    EXPECT_EQ(Pixel(img, r.Right + 2, r.Top + 3), clBlack);
    EXPECT_EQ(Pixel(img, r.Left + 10, r.Bottom + 3), clBlack);
    EXPECT_EQ(Pixel(img, r.Left + 2, r.Bottom + 3), ResolveSystemColor(clBtnFace));
}

TEST(ChartLegend, SymbolsShowTheSeriesLineAndMarker)
{
    auto chart = MakeMainChart();
    chart->PaintNow();
    const TChartLegend &legend = chart->Legend();
    const QImage &img = chart->WindowImage();
    ASSERT_EQ(legend.RowsShown, 8);
    for (int p = 0; p < 8; ++p) {
        const int y = legend.LegendRect.Top + 1 + legend.ItemHeight * p;
        const PixelRect sym{legend.TextX - 4 - legend.SymbolWidth, y + 2, legend.TextX - 4,
                            y + legend.ItemHeight - 2};
        const int midY = (sym.Top + sym.Bottom) / 2;
        // The line of the series colour runs across the middle (its left end is clear of the
        // marker).
        EXPECT_EQ(Pixel(img, sym.Left, midY), MainSeriesColors[std::size_t(p)]) << p;
    }
    // Series 4: an upward triangle on a purple line: filled purple above the line's row at
    // the centre, background at the top corners of the marker box.
    const int y4 = legend.LegendRect.Top + 1 + legend.ItemHeight * 3;
    const PixelRect sym4{legend.TextX - 4 - legend.SymbolWidth, y4 + 2, legend.TextX - 4,
                         y4 + legend.ItemHeight - 2};
    const int cx = (sym4.Left + sym4.Right) / 2;
    const int cy = (sym4.Top + sym4.Bottom) / 2;
    EXPECT_EQ(Pixel(img, cx, cy), clPurple);
    int purpleAbove = 0;
    for (int y = sym4.Top; y < cy; ++y)
        purpleAbove += Pixel(img, cx, y) == clPurple;
    EXPECT_GT(purpleAbove, 0);
}

TEST(ChartLegend, OnlyTheRowsThatFitAreShownAndMeasured)
{
    auto chart = MakeMainChart();
    const QStringList titles{"A", "B", "C", "D", "WWWWWWWWWWWW", "F", "G", "H"};
    for (int i = 0; i < 8; ++i)
        chart->SeriesAt(i)->SetTitle(titles[i]);
    chart->Title().SetVisible(false);
    chart->resize(465, 80);
    chart->PaintNow();
    const TChartLegend &legend = chart->Legend();
    const int ih = FontHeightIn(*chart, legend.Font());
    const int top = RoundToEven(10 * 80 / 100.0);
    const int k = (80 - 2 - top) / ih;
    ASSERT_GE(k, 1);
    ASSERT_LT(k, 5); // the wide fifth title does not fit
    EXPECT_EQ(legend.RowsShown, k);
    // The box is sized for the k texts shown, not for the wide one.
    const int widest = WidestTitle(*chart, titles.mid(0, k));
    const int right = 465 - 2 - 3;
    EXPECT_EQ(legend.LegendRect.Left, right - widest - 2 - RoundToEven((widest + 10) * 0.12) - 8);
    EXPECT_EQ(legend.LegendRect.Bottom, top + ih * k + 2);
}

TEST(ChartLegend, NoRoomOrNoSeriesMeansNoLegendAndNoSpaceTaken)
{
    auto chart = MakeMainChart();
    chart->Legend().SetTopPos(100); // Top at the plot bottom
    chart->PaintNow();
    const PixelRect withoutLegend = chart->PlotRect;
    EXPECT_EQ(chart->Legend().RowsShown, 0);
    EXPECT_TRUE(chart->Legend().LegendRect.IsEmpty());

    chart->Legend().SetTopPos(10);
    chart->Legend().SetVisible(false);
    chart->PaintNow();
    EXPECT_EQ(chart->PlotRect, withoutLegend);
    EXPECT_EQ(chart->PlotRect.Right, 465);

    chart->Legend().SetVisible(true);
    for (int i = 0; i < 8; ++i)
        chart->SeriesAt(i)->SetActive(false);
    chart->PaintNow();
    EXPECT_TRUE(chart->Legend().LegendRect.IsEmpty());
    EXPECT_EQ(chart->PlotRect.Right, 465);
}

TEST(ChartLegend, TextFallbacksStylesAndOptions)
{
    auto chart = MakeMainChart();
    TChartLegend &legend = chart->Legend();
    chart->SeriesAt(1)->SetTitle(QString());
    EXPECT_EQ(legend.LegendText(1), "Series 1");
    legend.OnGetLegendText = [](TLegendStyle style, int n, QString &text) {
        if (style == lsSeries && n == 2)
            text = "changed";
    };
    EXPECT_EQ(legend.LegendText(2), "changed");
    legend.OnGetLegendText = nullptr;

    // FirstValue skips leading items; Inverted puts the last item at the top.
    legend.SetFirstValue(2);
    EXPECT_EQ(legend.LegendItemCount(), 6);
    legend.SetInverted(true);
    chart->PaintNow();
    EXPECT_EQ(legend.RowsShown, 6);

    // lsAuto resolves to the values of the only active series.
    legend.SetFirstValue(0);
    legend.SetLegendStyle(lsAuto);
    EXPECT_EQ(legend.ResolvedStyle(), lsSeries);
    for (int i = 1; i < 8; ++i)
        chart->SeriesAt(i)->SetActive(false);
    EXPECT_EQ(legend.ResolvedStyle(), lsValues);
    EXPECT_EQ(legend.LegendItemCount(), 50);
    legend.SetTextStyle(ltsPlain);
    EXPECT_EQ(legend.LegendText(0), ""); // no labels
    legend.SetTextStyle(ltsXValue);
    EXPECT_EQ(legend.LegendText(3), "3");
}

TEST(ChartLegend, SetterExceptionsKeepTheOldValue)
{
    TChart chart;
    TChartLegend &legend = chart.Legend();
    auto expectThrow = [](auto &&set, const char *message) {
        try {
            set();
            ADD_FAILURE() << message;
        } catch (const LegendException &e) {
            EXPECT_STREQ(e.what(), message);
        }
    };
    expectThrow([&] { legend.SetTopPos(101); }, "Top Legend Position must be between 0 and 100 %");
    expectThrow([&] { legend.SetTopPos(-1); }, "Top Legend Position must be between 0 and 100 %");
    EXPECT_EQ(legend.TopPos(), 10);
    expectThrow([&] { legend.SetColorWidth(101); },
                "Legend Color Width must be between 0 and 100 %");
    EXPECT_EQ(legend.ColorWidth(), 12);
    expectThrow([&] { legend.SetFirstValue(-1); }, "First Legend Value must be > 0");
    EXPECT_EQ(legend.FirstValue(), 0);

    // Defaults.
    EXPECT_EQ(legend.Alignment(), laRight);
    EXPECT_EQ(legend.Color(), clWhite);
    EXPECT_EQ(legend.LegendStyle(), lsAuto);
    EXPECT_EQ(legend.ShadowSize(), 3);
    EXPECT_TRUE(legend.Frame().Visible());
    EXPECT_FALSE(legend.DividingLines().Visible());
    EXPECT_TRUE(legend.ResizeChart());
}

TEST(ChartLegend, OtherAlignmentsTakeTheirSide)
{
    auto chart = MakeMainChart();
    chart->Legend().SetAlignment(laLeft);
    chart->PaintNow();
    EXPECT_GT(chart->PlotRect.Left, chart->Legend().LegendRect.Right);
    EXPECT_EQ(chart->PlotRect.Right, 465);

    chart->Legend().SetAlignment(laBottom);
    chart->PaintNow();
    EXPECT_LT(chart->PlotRect.Bottom, chart->Legend().LegendRect.Top);
    EXPECT_EQ(chart->PlotRect.Right, 465);

    chart->Legend().SetAlignment(laTop);
    chart->PaintNow();
    EXPECT_GT(chart->PlotRect.Top, chart->Legend().LegendRect.Bottom);
}

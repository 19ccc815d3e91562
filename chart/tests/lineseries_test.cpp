// Line series drawing: markers, segments, gaps, clipping, margins, legend symbol, hit test.
// The chart is not painted as a whole here: the plot rectangle and the axis ranges are set by
// hand, so value (x, y) sits at pixel (10 + x, 90 - y), and the series draws into an image.
#include "axis.h"
#include "lineseries.h"
#include "panel.h"

#include <gtest/gtest.h>

#include <set>
#include <utility>
#include <vector>

namespace
{

using Pixels = std::set<std::pair<int, int>>;

class LineSeriesPaint : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        InstallChartFontSubstitutions();
        series = new TLineSeries;
        chart.AttachSeries(series);
        series->SetSeriesColor(clBlue);
        series->Pointer().SetVisible(true);
        chart.PlotRect = PixelRect{10, 10, 110, 90};
        chart.BottomAxis()->SetShownRange(0.0, 100.0);
        chart.LeftAxis()->SetShownRange(0.0, 80.0);
        image = QImage(130, 110, QImage::Format_RGB32);
        image.fill(Qt::white);
        canvas.SetImageTarget(&image);
    }

    ChartColor At(int x, int y) const { return RgbToChartColor(image.pixel(x, y)); }

    /// Every pixel of the given colour.
    Pixels PixelsOf(ChartColor c) const
    {
        Pixels p;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (At(x, y) == c)
                    p.insert({x, y});
        return p;
    }

    /// Every pixel that is not white.
    Pixels Drawn() const
    {
        Pixels p;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x)
                if (At(x, y) != clWhite)
                    p.insert({x, y});
        return p;
    }

    static PixelRect BoundingBox(const Pixels &p)
    {
        PixelRect r{1 << 20, 1 << 20, -(1 << 20), -(1 << 20)};
        for (auto [x, y] : p) {
            r.Left = std::min(r.Left, x);
            r.Top = std::min(r.Top, y);
            r.Right = std::max(r.Right, x + 1);
            r.Bottom = std::max(r.Bottom, y + 1);
        }
        return r;
    }

    void Paint() { series->PaintSeries(canvas); }

    TChart chart;
    TLineSeries *series = nullptr;
    QImage image;
    TTeeCanvas3D canvas;
};

} // namespace

TEST(SeriesPointer, DefaultsAndSizeValidation)
{
    TLineSeries s;
    const TSeriesPointer &p = s.Pointer();
    EXPECT_FALSE(p.Visible()); // the line series switches its markers off
    EXPECT_EQ(p.HorizSize(), 4);
    EXPECT_EQ(p.VertSize(), 4);
    EXPECT_TRUE(p.InflateMargins());
    EXPECT_EQ(p.Brush().Color(), AutoColor);
    EXPECT_EQ(p.Pen().Color(), clBlack);
    EXPECT_EQ(s.LinePen().Width(), 1);

    for (int bad : {0, -3}) {
        try {
            s.Pointer().SetHorizSize(bad);
            ADD_FAILURE() << "no exception";
        } catch (const ChartException &e) {
            EXPECT_STREQ(e.what(), "Pointer size must be greater than zero");
        }
        EXPECT_THROW(s.Pointer().SetVertSize(bad), ChartException);
    }
    EXPECT_EQ(s.Pointer().HorizSize(), 4);
    EXPECT_EQ(s.Pointer().VertSize(), 4);
}

TEST(SeriesPointer, MarginsFollowVisibleInflatingMarkers)
{
    TLineSeries s;
    int a = -1, b = -1;
    s.HorizMarginPixels(a, b);
    EXPECT_EQ(std::make_pair(a, b), std::make_pair(0, 0));
    s.Pointer().SetVisible(true);
    s.HorizMarginPixels(a, b);
    EXPECT_EQ(std::make_pair(a, b), std::make_pair(5, 5));
    s.Pointer().SetVertSize(6);
    s.VertMarginPixels(a, b);
    EXPECT_EQ(std::make_pair(a, b), std::make_pair(7, 7));
    s.Pointer().SetInflateMargins(false);
    s.VertMarginPixels(a, b);
    EXPECT_EQ(std::make_pair(a, b), std::make_pair(0, 0));
}

TEST_F(LineSeriesPaint, SinglePointDrawsOnlyItsRectangleMarker)
{
    series->AppendXY(50, 40); // pixel (60, 50)
    Paint();
    // 9 x 9: black outline on columns 56..64 and rows 46..54, filled with the series colour.
    EXPECT_EQ(BoundingBox(Drawn()), (PixelRect{56, 46, 65, 55}));
    EXPECT_EQ(PixelsOf(clBlack).size(), 32u);
    EXPECT_EQ(PixelsOf(clBlue).size(), 49u);
    EXPECT_EQ(At(60, 50), clBlue);
}

TEST_F(LineSeriesPaint, CircleIsOnePixelNarrowerAndLowerThanRectangle)
{
    series->Pointer().SetStyle(psCircle);
    series->AppendXY(50, 40);
    Paint();
    EXPECT_EQ(BoundingBox(Drawn()), (PixelRect{56, 46, 64, 54}));
    EXPECT_EQ(At(60, 50), clBlue);
}

TEST_F(LineSeriesPaint, TrianglesPointUpAndDown)
{
    series->Pointer().SetStyle(psTriangle);
    series->AppendXY(50, 40);
    Paint();
    EXPECT_EQ(BoundingBox(Drawn()), (PixelRect{56, 46, 65, 55}));
    // Upward: the bottom row is the full base, the top row only the apex.
    for (int x = 56; x <= 64; ++x)
        EXPECT_NE(At(x, 54), clWhite) << x;
    EXPECT_EQ(At(56, 46), clWhite);
    EXPECT_NE(At(60, 46), clWhite);

    image.fill(Qt::white);
    series->Pointer().SetStyle(psDownTriangle);
    Paint();
    for (int x = 56; x <= 64; ++x)
        EXPECT_NE(At(x, 46), clWhite) << x;
    EXPECT_EQ(At(56, 54), clWhite);
    EXPECT_NE(At(60, 54), clWhite);
}

TEST_F(LineSeriesPaint, LineShapesUseThePointColour)
{
    series->AppendXY(50, 40); // (60, 50)
    series->Pointer().SetStyle(psCross);
    Paint();
    Pixels cross;
    for (int d = -4; d <= 4; ++d) {
        cross.insert({60, 50 + d});
        cross.insert({60 + d, 50});
    }
    EXPECT_EQ(Drawn(), cross);
    EXPECT_EQ(PixelsOf(clBlue), cross);

    image.fill(Qt::white);
    series->Pointer().SetStyle(psDiagCross);
    Paint();
    Pixels diag;
    for (int d = -4; d <= 4; ++d) {
        diag.insert({60 + d, 50 + d});
        diag.insert({60 - d, 50 + d});
    }
    EXPECT_EQ(PixelsOf(clBlue), diag);

    image.fill(Qt::white);
    series->Pointer().SetStyle(psStar);
    Paint();
    Pixels star = cross;
    star.insert(diag.begin(), diag.end());
    EXPECT_EQ(PixelsOf(clBlue), star);

    image.fill(Qt::white);
    series->Pointer().SetStyle(psSmallDot);
    Paint();
    EXPECT_EQ(Drawn(), (Pixels{{60, 50}}));
    EXPECT_EQ(At(60, 50), clBlue);

    image.fill(Qt::white);
    series->Pointer().SetStyle(psDiamond);
    Paint();
    const PixelRect box = BoundingBox(Drawn());
    EXPECT_GE(box.Left, 56);
    EXPECT_LE(box.Right, 65);
    EXPECT_NE(At(60, 50), clWhite);
    EXPECT_EQ(At(57, 47), clWhite); // corners of the box stay free
}

TEST_F(LineSeriesPaint, MarkersAreDrawnOverTheirOwnLine)
{
    series->Pointer().Brush().SetColor(clYellow);
    series->AppendXY(20, 40); // (30, 50)
    series->AppendXY(80, 40); // (90, 50)
    Paint();
    // The horizontal line runs through both marker centres, but each marker covers it.
    EXPECT_EQ(At(30, 50), clYellow);
    EXPECT_EQ(At(90, 50), clYellow);
    EXPECT_EQ(At(60, 50), clBlue);
    EXPECT_EQ(At(35, 50), clBlue); // just right of the first marker
    EXPECT_EQ(At(34, 50), clBlack);
}

TEST_F(LineSeriesPaint, PlainSegmentExcludesItsEndPixel)
{
    series->Pointer().SetVisible(false);
    series->AppendXY(10, 10); // (20, 80)
    series->AppendXY(90, 10); // (100, 80)
    Paint();
    Pixels line;
    for (int x = 20; x < 100; ++x)
        line.insert({x, 80});
    EXPECT_EQ(Drawn(), line);
}

TEST_F(LineSeriesPaint, TwoPointsOnOnePixelDrawNoSegmentButBothMarkers)
{
    std::vector<int> markers;
    series->OnGetPointerStyle = [&](TChartSeries *, int index) {
        markers.push_back(index);
        return psRectangle;
    };
    series->AppendXY(50, 40, "", clRed);
    series->AppendXY(50.2, 40.1, "", clGreen); // same pixel (60, 50)
    Paint();
    EXPECT_EQ(markers, (std::vector<int>{0, 1}));
    EXPECT_EQ(At(60, 50), clGreen); // the later marker on top
    EXPECT_EQ(BoundingBox(Drawn()), (PixelRect{56, 46, 65, 55}));
}

TEST_F(LineSeriesPaint, SegmentEntersFromLeftEdgeAtInterpolatedHeight)
{
    series->Pointer().SetVisible(false);
    series->AppendXY(0, 10);
    series->AppendXY(50, 40);
    series->AppendXY(100, 40);
    // Zoomed: X 25..125 over the plot, so point 0 lies left of it; at the left edge (X 25)
    // the line from point 0 to point 1 is at Y 25, pixel 65.
    chart.BottomAxis()->SetShownRange(25.0, 125.0);
    Paint();
    EXPECT_EQ(series->FirstVisibleIndex(), 1);
    Pixels column11;
    for (int y = 0; y < image.height(); ++y)
        if (At(11, y) != clWhite)
            column11.insert({11, y});
    ASSERT_EQ(column11.size(), 1u);
    EXPECT_NEAR(column11.begin()->second, 65, 1);
    // Nothing outside the clip (left + 1, top + 1, right, bottom - 1).
    for (auto [x, y] : Drawn()) {
        EXPECT_GE(x, 11);
        EXPECT_LT(y, 89);
    }
    EXPECT_EQ(At(35, 50), clBlue); // the next segment starts at point 1
}

TEST_F(LineSeriesPaint, StairsEnterAtTheHeightOfThePointOutside)
{
    series->Pointer().SetVisible(false);
    series->SetStairs(true);
    series->AppendXY(0, 10);  // (-15, 80) after the zoom
    series->AppendXY(50, 40); // (35, 50)
    chart.BottomAxis()->SetShownRange(25.0, 125.0);
    Paint();
    Pixels steps;
    for (int x = 11; x < 35; ++x) // HorizLine(10, 35, 80), clipped at 11
        steps.insert({x, 80});
    for (int y = 80; y > 50; --y) // then LineTo(35, 50)
        steps.insert({35, y});
    EXPECT_EQ(Drawn(), steps);
}

TEST_F(LineSeriesPaint, InvertedStairsGoVerticalFirst)
{
    series->Pointer().SetVisible(false);
    series->SetStairs(true);
    series->SetInvertedStairs(true);
    series->AppendXY(10, 10); // (20, 80)
    series->AppendXY(50, 40); // (60, 50)
    Paint();
    Pixels steps;
    for (int y = 80; y > 50; --y) // VertLine(20, 80, 50)
        steps.insert({20, y});
    for (int x = 20; x < 60; ++x) // then LineTo(60, 50)
        steps.insert({x, 50});
    EXPECT_EQ(Drawn(), steps);
}

TEST_F(LineSeriesPaint, NoneColouredPointLeavesAGap)
{
    series->AppendXY(10, 40);             // (20, 50)
    series->AppendXY(30, 40);             // (40, 50)
    series->AppendXY(50, 40, "", clNone); // (60, 50): gap
    series->AppendXY(70, 40);             // (80, 50)
    Paint();
    for (int x = 25; x <= 35; ++x)
        EXPECT_EQ(At(x, 50), clBlue) << x;
    for (int x = 45; x <= 75; ++x) // no segment into or out of the gap, no marker
        EXPECT_EQ(At(x, 50), clWhite) << x;
    EXPECT_EQ(At(80, 50), clBlue); // the marker after the gap
    EXPECT_EQ(At(76, 50), clBlack);
}

TEST_F(LineSeriesPaint, FarOffPointIsSkippedAndTheLineBridgesIt)
{
    series->Pointer().SetVisible(false);
    series->AppendXY(10, 40);  // (20, 50)
    series->AppendXY(30, 1e6); // pixel Y about -1e6: skipped
    series->AppendXY(50, 40);  // (60, 50)
    Paint();
    Pixels line;
    for (int x = 20; x < 60; ++x)
        line.insert({x, 50});
    EXPECT_EQ(Drawn(), line);
}

TEST_F(LineSeriesPaint, SkippedFirstPointDoesNotJoinTheLastPaintsState)
{
    series->Pointer().SetVisible(false);
    series->AppendXY(10, 1e6); // first visible, but far off: skipped
    series->AppendXY(30, 40);  // (40, 50)
    series->AppendXY(50, 40);  // (60, 50)
    // What an earlier paint may have left behind.
    series->PrevX = 20;
    series->PrevY = 20;
    series->PrevColor = clBlue;
    Paint();
    Pixels line;
    for (int x = 40; x < 60; ++x)
        line.insert({x, 50});
    EXPECT_EQ(Drawn(), line);
}

TEST_F(LineSeriesPaint, LastPointBeyondTheRightEdgeIsVisitedButClipped)
{
    series->AppendXY(50, 40);  // (60, 50)
    series->AppendXY(150, 40); // (160, 50), right of the plot
    series->AppendXY(200, 40);
    Paint();
    EXPECT_EQ(series->LastVisibleIndex(), 1);
    EXPECT_EQ(At(109, 50), clBlue); // the line runs to the plot's right edge
    EXPECT_EQ(At(110, 50), clWhite);
}

TEST_F(LineSeriesPaint, LegendSymbolIsLineAndSmallMarker)
{
    series->PaintLegendSymbol(canvas, -1, PixelRect{0, 0, 24, 15});
    // Line through the middle row 7 (x 0..23), marker of half size 4 centred at (12, 7).
    EXPECT_EQ(At(0, 7), clBlue);
    EXPECT_EQ(At(23, 7), clBlue);
    EXPECT_EQ(At(24, 7), clWhite);
    EXPECT_EQ(BoundingBox(PixelsOf(clBlack)), (PixelRect{8, 3, 17, 12}));

    // A narrow rectangle shrinks the marker to a third of its width: Rectangle(1, 23, 8, 32).
    image.fill(Qt::white);
    series->PaintLegendSymbol(canvas, -1, PixelRect{0, 20, 9, 35});
    EXPECT_EQ(BoundingBox(PixelsOf(clBlack)), (PixelRect{1, 23, 8, 32}));

    // Without a line the limit is half the rectangle plus one, so the full marker fits; no
    // line pixels appear outside the marker.
    image.fill(Qt::white);
    series->LinePen().SetVisible(false);
    series->PaintLegendSymbol(canvas, -1, PixelRect{40, 20, 49, 35});
    EXPECT_EQ(BoundingBox(Drawn()), (PixelRect{40, 23, 49, 32}));
}

TEST_F(LineSeriesPaint, PointAtPixel)
{
    series->AppendXY(20, 40);                    // (30, 50)
    series->AppendXY(60, 40);                    // (70, 50)
    series->AppendXY(80, 60);                    // (90, 30)
    EXPECT_EQ(series->PointAtPixel(30, 50), -1); // no visible range computed yet
    series->FindVisibleRange();
    EXPECT_EQ(series->PointAtPixel(33, 53), 0);  // within the marker (strictly < 4)
    EXPECT_EQ(series->PointAtPixel(50, 50), 0);  // on the segment 0 -> 1
    EXPECT_EQ(series->PointAtPixel(80, 40), 1);  // on the diagonal 1 -> 2
    EXPECT_EQ(series->PointAtPixel(50, 45), -1); // off the line
    series->Pointer().SetVisible(false);
    EXPECT_EQ(series->PointAtPixel(33, 53), -1);
    EXPECT_EQ(series->PointAtPixel(90, 30), 2);
}

TEST(LineSeriesInChart, InactiveSeriesDrawsNothingAndClaimsNoMargin)
{
    InstallChartFontSubstitutions();
    TChart chart;
    chart.resize(465, 288);
    chart.SetView3D(false);
    auto *shown = new TLineSeries;
    auto *hidden = new TLineSeries;
    chart.AttachSeries(shown);
    chart.AttachSeries(hidden);
    shown->SetSeriesColor(clLime);
    shown->Pointer().SetVisible(true);
    hidden->SetSeriesColor(clRed);
    hidden->Pointer().SetVisible(true);
    hidden->Pointer().SetHorizSize(20); // would claim 21 pixels on each side
    hidden->Pointer().SetVertSize(20);
    for (int i = 0; i < 10; ++i) {
        shown->AppendY(i % 3);
        hidden->AppendY(100 - i);
    }
    hidden->SetActive(false);

    chart.DrawChart(PixelRect{0, 0, 465, 288});
    const QImage withHidden = chart.WindowImage().copy();
    ASSERT_FALSE(withHidden.isNull());

    chart.DetachSeries(hidden);
    delete hidden;
    chart.DrawChart(PixelRect{0, 0, 465, 288});
    EXPECT_TRUE(chart.WindowImage() == withHidden);

    // The visible series' markers keep 5 pixels from the plot's left edge: the first point's
    // marker (9 pixels wide) starts one pixel inside the plot.
    int firstLime = -1;
    for (int x = 0; x < withHidden.width() && firstLime < 0; ++x)
        for (int y = 0; y < withHidden.height(); ++y)
            if (RgbToChartColor(withHidden.pixel(x, y)) == clLime) {
                firstLime = x;
                break;
            }
    EXPECT_EQ(firstLime, chart.PlotRect.Left + 2); // outline at Left + 1, fill from Left + 2
}

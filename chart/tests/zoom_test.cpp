// Zoom and scroll through real mouse sequences on the chart widget.
#include "charttestutil.h"
#include "zoom.h"

#include <gtest/gtest.h>

#include <vector>

using namespace charttest;

namespace
{

class ChartZoom : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        chart = MakeMainChart(100);
        ShowAndSettle(*chart);
        plot = chart->PlotRect;
    }

    void Drag(Qt::MouseButton button, QPoint from, QPoint to)
    {
        QTest::mousePress(chart.get(), button, {}, from);
        QTest::mouseMove(chart.get(), (from + to) / 2);
        QTest::mouseMove(chart.get(), to);
        QTest::mouseRelease(chart.get(), button, {}, to);
    }

    bool AllAutomatic() const
    {
        for (const TChartAxis *a :
             {chart->LeftAxis(), chart->RightAxis(), chart->TopAxis(), chart->BottomAxis()})
            if (!a->Automatic())
                return false;
        return true;
    }

    QPoint Inner(int dx, int dy) const { return QPoint(plot.Left + dx, plot.Top + dy); }

    std::unique_ptr<TChart> chart;
    PixelRect plot;
};

} // namespace

TEST_F(ChartZoom, DragRightAndDownZoomsToTheRectangle)
{
    const QPoint a = Inner(60, 40);
    const QPoint b = a + QPoint(17, 17);
    const double xmin = chart->BottomAxis()->PixelToValue(a.x());
    const double xmax = chart->BottomAxis()->PixelToValue(b.x());
    const double ymin = chart->LeftAxis()->PixelToValue(b.y());
    const double ymax = chart->LeftAxis()->PixelToValue(a.y());
    int zooms = 0;
    chart->OnZoom = [&] { ++zooms; };

    Drag(Qt::LeftButton, a, b);
    EXPECT_EQ(zooms, 1);
    EXPECT_FALSE(chart->ZoomDrag.InProgress);
    EXPECT_FALSE(chart->SavedAxesStale);
    EXPECT_FALSE(chart->BottomAxis()->Automatic());
    EXPECT_DOUBLE_EQ(chart->BottomAxis()->Minimum(), xmin);
    EXPECT_DOUBLE_EQ(chart->BottomAxis()->Maximum(), xmax);
    EXPECT_DOUBLE_EQ(chart->TopAxis()->Minimum(), chart->TopAxis()->Maximum() - 1e-10);
    EXPECT_DOUBLE_EQ(chart->LeftAxis()->Minimum(), ymin);
    EXPECT_DOUBLE_EQ(chart->LeftAxis()->Maximum(), ymax);
    EXPECT_TRUE(chart->SavedAxes.Bottom.Automatic);
}

TEST_F(ChartZoom, SixteenPixelDragDoesNothingAtAll)
{
    const QImage before = chart->WindowImage();
    const int draws = chart->DrawCount();
    for (QPoint d : {QPoint(16, 30), QPoint(30, 16), QPoint(16, 16)}) {
        const QPoint a = Inner(50, 30);
        QTest::mousePress(chart.get(), Qt::LeftButton, {}, a);
        EXPECT_TRUE(chart->ZoomDrag.InProgress);
        QTest::mouseMove(chart.get(), a + d);
        EXPECT_NE(chart->WindowImage(), before); // the band is on the window
        QTest::mouseRelease(chart.get(), Qt::LeftButton, {}, a + d);
        EXPECT_EQ(chart->WindowImage(), before) << d.x() << "," << d.y(); // band gone
        WaitForPicture(*chart);
    }
    EXPECT_EQ(chart->DrawCount(), draws);
    EXPECT_TRUE(AllAutomatic());
    EXPECT_TRUE(chart->SavedAxesStale);
}

TEST_F(ChartZoom, RubberBandIsNotXorOnTheWindowAndSurvivesRepaints)
{
    const QPoint a = Inner(30, 20);
    const QPoint b = a + QPoint(40, 25);
    const QImage picture = chart->WindowImage();
    QTest::mousePress(chart.get(), Qt::LeftButton, {}, a);
    QTest::mouseMove(chart.get(), b);
    // Pen: the panel colour (button face), NOT-XOR: NOT(screen XOR pen).
    auto banded = [&](int x, int y) {
        return ChartColor(~(Pixel(picture, x, y) ^ ResolveSystemColor(clBtnFace)) & 0xFFFFFF);
    };
    const QImage &w = chart->WindowImage();
    EXPECT_EQ(Pixel(w, a.x(), a.y() + 5), banded(a.x(), a.y() + 5));
    EXPECT_EQ(Pixel(w, b.x() - 1, a.y() + 5), banded(b.x() - 1, a.y() + 5));
    EXPECT_EQ(Pixel(w, a.x() + 5, b.y() - 1), banded(a.x() + 5, b.y() - 1));
    EXPECT_EQ(Pixel(w, a.x() + 5, a.y() + 5), Pixel(picture, a.x() + 5, a.y() + 5));
    // The off-screen picture never holds the band.
    EXPECT_EQ(*chart->Canvas().Bitmap(), picture);

    // A repaint in the middle of the drag draws the band again over the new picture.
    const int draws = chart->DrawCount();
    chart->RequestRepaint();
    WaitForPicture(*chart);
    EXPECT_EQ(chart->DrawCount(), draws + 1);
    EXPECT_EQ(Pixel(chart->WindowImage(), a.x(), a.y() + 5), banded(a.x(), a.y() + 5));
    QTest::mouseRelease(chart.get(), Qt::LeftButton, {}, a + QPoint(3, 3));
    EXPECT_EQ(chart->WindowImage(), picture);

    // On a white chart the band is red.
    chart->SetColor(clWhite);
    WaitForPicture(*chart);
    const QImage white = chart->WindowImage();
    QTest::mousePress(chart.get(), Qt::LeftButton, {}, a);
    QTest::mouseMove(chart.get(), b);
    EXPECT_EQ(Pixel(chart->WindowImage(), a.x(), a.y() + 5),
              ChartColor(~(Pixel(white, a.x(), a.y() + 5) ^ clRed) & 0xFFFFFF));
    QTest::mouseRelease(chart.get(), Qt::LeftButton, {}, a);
}

TEST_F(ChartZoom, AnimatedZoomPaintsSevenIntermediatePictures)
{
    const QPoint a = Inner(40, 30);
    const QPoint b = a + QPoint(100, 80);
    const TChartAxis *bottom = chart->BottomAxis();
    const double start = bottom->Minimum();
    const double target = bottom->PixelToValue(a.x());
    std::vector<double> minima;
    chart->OnAfterDraw = [&](TCustomTeePanel *) { minima.push_back(bottom->Minimum()); };

    Drag(Qt::LeftButton, a, b);
    // Seven synchronous pictures inside the release, each a third closer to the target.
    ASSERT_EQ(minima.size(), 7u);
    double expected = start;
    for (double m : minima) {
        expected += (target - expected) / 3.0;
        EXPECT_NEAR(m, expected, 1e-9);
    }
    EXPECT_DOUBLE_EQ(bottom->Minimum(), target);
    WaitForPicture(*chart);
    EXPECT_EQ(minima.size(), 8u); // the final picture comes with the next paint
    EXPECT_DOUBLE_EQ(minima.back(), target);

    // Without animation only the final picture is drawn.
    chart->ResetZoom();
    WaitForPicture(*chart);
    chart->SetAnimatedZoom(false);
    minima.clear();
    Drag(Qt::LeftButton, a, b);
    EXPECT_TRUE(minima.empty());
    WaitForPicture(*chart);
    EXPECT_EQ(minima.size(), 1u);
}

TEST_F(ChartZoom, BackwardDragAndResetReturnToTheAutomaticView)
{
    chart->SetAnimatedZoom(false);
    const double autoMax = chart->BottomAxis()->Maximum();
    int undos = 0;
    chart->OnUndoZoom = [&] { ++undos; };

    Drag(Qt::LeftButton, Inner(20, 20), Inner(120, 100));
    WaitForPicture(*chart);
    const TSavedAxes first = chart->SavedAxes;
    Drag(Qt::LeftButton, Inner(30, 30), Inner(90, 90)); // zoom further in
    WaitForPicture(*chart);
    EXPECT_EQ(chart->SavedAxes.Bottom.Maximum, first.Bottom.Maximum);
    EXPECT_FALSE(AllAutomatic());

    // Dragged left and up by more than 16 pixels: the same as ResetZoom.
    Drag(Qt::LeftButton, Inner(100, 100), Inner(60, 60));
    EXPECT_EQ(undos, 1);
    EXPECT_TRUE(AllAutomatic());
    EXPECT_TRUE(chart->SavedAxesStale);
    WaitForPicture(*chart);
    EXPECT_DOUBLE_EQ(chart->BottomAxis()->Maximum(), autoMax);

    // Automatic again: new points widen the range.
    for (int k = 0; k < 8; ++k)
        chart->SeriesAt(k)->AppendY(21.0);
    WaitForPicture(*chart);
    EXPECT_DOUBLE_EQ(chart->BottomAxis()->Maximum(), autoMax + 1);

    // ResetZoom without a zoom changes no axis but still repaints.
    const int draws = chart->DrawCount();
    chart->ResetZoom();
    EXPECT_EQ(undos, 2);
    EXPECT_TRUE(AllAutomatic());
    WaitForPicture(*chart);
    EXPECT_EQ(chart->DrawCount(), draws + 1);
}

TEST_F(ChartZoom, WhereAPressStartsABand)
{
    auto pressStarts = [&](QPoint p) {
        QTest::mousePress(chart.get(), Qt::LeftButton, {}, p);
        const bool started = chart->ZoomDrag.InProgress;
        QTest::mouseRelease(chart.get(), Qt::LeftButton, {}, p);
        return started;
    };
    // A drag shows the arrow; the next idle move gives the chart its own cursor back.
    chart->setCursor(Qt::CrossCursor);
    QTest::mousePress(chart.get(), Qt::LeftButton, {}, Inner(40, 40));
    EXPECT_EQ(chart->cursor().shape(), Qt::ArrowCursor);
    QTest::mouseRelease(chart.get(), Qt::LeftButton, {}, Inner(40, 40));
    // Two moves: a move to where the pointer already is delivers no event.
    QTest::mouseMove(chart.get(), Inner(44, 44));
    QTest::mouseMove(chart.get(), Inner(45, 45));
    EXPECT_EQ(chart->cursor().shape(), Qt::CrossCursor);

    const PixelRect legend = chart->Legend().LegendRect;
    const PixelRect title = chart->Title().TitleRect;
    EXPECT_EQ(chart->PartUnderMouse(legend.Left + 2, legend.Top + 2).Part, cpLegend);
    EXPECT_FALSE(pressStarts(QPoint(legend.Left + 2, legend.Top + 2)));
    EXPECT_EQ(chart->PartUnderMouse(title.Left + 3, title.Top + 3).Part, cpTitle);
    EXPECT_FALSE(pressStarts(QPoint(title.Left + 3, title.Top + 3)));
    EXPECT_EQ(chart->PartUnderMouse(2, 2).Part, cpNone);
    EXPECT_FALSE(pressStarts(QPoint(2, 2)));

    // Just below the plot, within 12 pixels of the bottom axis line.
    const int line = chart->BottomAxis()->LinePosition();
    const TChartClickedPart onAxis = chart->PartUnderMouse(plot.Left + 80, line + 11);
    EXPECT_EQ(onAxis.Part, cpAxis);
    EXPECT_EQ(onAxis.AAxis, chart->BottomAxis());
    EXPECT_TRUE(pressStarts(QPoint(plot.Left + 80, line + 11)));
    EXPECT_NE(chart->PartUnderMouse(plot.Left + 80, line + 12).Part, cpAxis);

    // On a series point and on the empty plot.
    const TChartSeries *s = chart->SeriesAt(7);
    const int px = chart->BottomAxis()->ValueToPixel(s->XValueAt(50));
    const int py = chart->LeftAxis()->ValueToPixel(s->YValueAt(50));
    const TChartClickedPart onSeries = chart->PartUnderMouse(px, py);
    EXPECT_EQ(onSeries.Part, cpSeries);
    EXPECT_EQ(onSeries.ASeries, s);
    EXPECT_TRUE(pressStarts(QPoint(px, py)));

    // With every series hidden a press inside the plot starts nothing.
    for (int k = 0; k < 8; ++k)
        chart->SeriesAt(k)->SetActive(false);
    WaitForPicture(*chart);
    EXPECT_EQ(chart->PartUnderMouse(chart->PlotCenterX(), chart->PlotCenterY()).Part, cpNone);
    EXPECT_FALSE(pressStarts(QPoint(chart->PlotCenterX(), chart->PlotCenterY())));
}

TEST_F(ChartZoom, RightDragPansBothAxisPairsUntilTheMouseLeavesThePlot)
{
    TChartAxis *bottom = chart->BottomAxis();
    TChartAxis *left = chart->LeftAxis();
    const double bmin = bottom->Minimum(), bmax = bottom->Maximum();
    const double lmin = left->Minimum(), lmax = left->Maximum();
    const double perPixelX = bottom->ShownRange() / chart->PlotWidth();
    int scrolls = 0;
    chart->OnScroll = [&] { ++scrolls; };

    const QPoint a = Inner(100, 80);
    QTest::mousePress(chart.get(), Qt::RightButton, {}, a);
    EXPECT_TRUE(chart->PanDrag.InProgress);
    QTest::mouseMove(chart.get(), a + QPoint(20, 10));
    EXPECT_EQ(scrolls, 1);
    EXPECT_FALSE(chart->SavedAxesStale);
    // Dragging right moves the range to lower values by the dragged distance.
    EXPECT_NEAR(bottom->Minimum(), bmin - 20 * perPixelX, 1e-9);
    EXPECT_FALSE(chart->TopAxis()->Automatic()); // panned too (it carries no series)
    EXPECT_GT(left->Minimum(), lmin);            // dragging down shows higher values
    QTest::mouseMove(chart.get(), a);
    EXPECT_NEAR(bottom->Minimum(), bmin, 1e-9);
    EXPECT_NEAR(bottom->Maximum(), bmax, 1e-9);
    EXPECT_NEAR(left->Minimum(), lmin, 1e-9);
    EXPECT_NEAR(left->Maximum(), lmax, 1e-9);

    // Leaving the plot ends the pan; later moves do nothing.
    QTest::mouseMove(chart.get(), QPoint(plot.Right + 5, a.y()));
    EXPECT_FALSE(chart->PanDrag.InProgress);
    const double after = bottom->Minimum();
    QTest::mouseMove(chart.get(), a + QPoint(-30, 0));
    EXPECT_EQ(bottom->Minimum(), after);
    QTest::mouseRelease(chart.get(), Qt::RightButton, {}, a);

    // ResetZoom returns from a pan too.
    chart->ResetZoom();
    EXPECT_TRUE(AllAutomatic());

    // A refused scroll moves nothing.
    chart->OnAllowScroll = [](TChartAxis *, double &, bool &allow, double &) { allow = false; };
    QTest::mousePress(chart.get(), Qt::RightButton, {}, a);
    QTest::mouseMove(chart.get(), a + QPoint(15, 0));
    QTest::mouseRelease(chart.get(), Qt::RightButton, {}, a + QPoint(15, 0));
    EXPECT_TRUE(bottom->Automatic());
}

TEST(ChartZoomOps, ForceRangeOrdersAndWidensNarrowRanges)
{
    TChart chart;
    TChartAxis &axis = *chart.BottomAxis();
    ForceRange(axis, 8.0, 2.0);
    EXPECT_FALSE(axis.Automatic());
    EXPECT_FALSE(axis.AutomaticMinimum());
    EXPECT_FALSE(axis.AutomaticMaximum());
    EXPECT_EQ(axis.Minimum(), 2.0);
    EXPECT_EQ(axis.Maximum(), 8.0);
    ForceRange(axis, 5.0, 5.0);
    EXPECT_EQ(axis.Minimum(), 5.0);
    EXPECT_EQ(axis.Maximum(), 5.0 + 1e-10);
    // Far from zero the 1e-10 is lost in rounding; the range still stays ordered.
    ForceRange(axis, 1e12 + 1e-4, 1e12);
    EXPECT_LE(axis.Minimum(), axis.Maximum());

    ForceRange(axis, 0.0, 30.0);
    AnimateStep(axis, 3.0, 12.0);
    EXPECT_DOUBLE_EQ(axis.Minimum(), 1.0);
    EXPECT_DOUBLE_EQ(axis.Maximum(), 24.0);

    const TSavedAxis saved = SaveAxis(axis);
    axis.SetAutomatic(true);
    RestoreAxis(axis, saved);
    EXPECT_FALSE(axis.Automatic());
    EXPECT_DOUBLE_EQ(axis.Maximum(), 24.0);
}

namespace
{

/// Counts the mouse presses that reach a widget.
class PressCounter : public QObject
{
  public:
    int presses = 0;
    bool eventFilter(QObject *, QEvent *e) override
    {
        presses += e->type() == QEvent::MouseButtonPress;
        return false;
    }
};

} // namespace

TEST(ChartZoomEmbedded, TheChartKeepsTheMouseUntilTheRelease)
{
    QWidget form;
    form.resize(600, 400);
    TChart *chart = new TChart(&form);
    ConfigureMainChart(*chart);
    AddMainSeries(*chart);
    FillSeries(*chart, 30);
    chart->move(0, 1);
    PressCounter counter;
    form.installEventFilter(&counter);
    form.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&form));
    WaitForPicture(*chart);

    const QPoint a(chart->PlotRect.Left + 20, chart->PlotRect.Top + 20);
    QTest::mousePress(chart, Qt::LeftButton, {}, a);
    EXPECT_TRUE(chart->ZoomDrag.InProgress);
    EXPECT_EQ(counter.presses, 0); // accepted by the chart, not passed to the form
    // Released beyond the chart's right edge: the chart still gets it and zooms.
    const QPoint outside(chart->width() + 40, a.y() + 60);
    QTest::mouseMove(chart, outside);
    QTest::mouseRelease(chart, Qt::LeftButton, {}, outside);
    EXPECT_FALSE(chart->ZoomDrag.InProgress);
    EXPECT_FALSE(chart->BottomAxis()->Automatic());
}

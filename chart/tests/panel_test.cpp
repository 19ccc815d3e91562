// Chart panel: margins, title bands, layout order, repaint coalescing and the series list.
#include "charttestutil.h"

#include <QApplication>
#include <QPalette>

#include <gtest/gtest.h>

using namespace charttest;

namespace
{

void HideAllSeries(TChart &chart)
{
    for (int i = 0; i < chart.SeriesCount(); ++i)
        chart.SeriesAt(i)->SetActive(false);
}

/// Plot top after a title of `lines` lines: a + lines*lh + 2w + 5 (no lines: a + 2w).
int TitleBand(int lines, int lh, int frameWidth)
{
    return lines > 0 ? frameWidth + lines * lh + 2 * frameWidth + 5 : frameWidth + 2 * frameWidth;
}

} // namespace

TEST(ChartPanel, MarginsCarveThePlotOutOfTheControl)
{
    auto chart = MakeMainChart();
    chart->Title().SetVisible(false);
    HideAllSeries(*chart);
    chart->PaintNow();
    // 5 % of 465 is 23.25: the plot starts 23 pixels in and touches the other three edges.
    EXPECT_EQ(chart->PlotRect, (PixelRect{23, 0, 465, 288}));
    EXPECT_EQ(chart->ChartBounds, (PixelRect{0, 0, 465, 288}));

    chart->SetMarginLeft(3);
    chart->SetMarginTop(4);
    chart->SetMarginRight(10);
    chart->SetMarginBottom(50);
    chart->PaintNow();
    // MulDiv rounds: 3*465/100 = 13.95 -> 14, 4*288/100 = 11.52 -> 12, 46.5 -> 47, 144.
    EXPECT_EQ(chart->PlotRect, (PixelRect{14, 12, 465 - 47, 288 - 144}));
}

TEST(ChartPanel, TitleBandsFollowLinesAndFrame)
{
    auto chart = MakeMainChart();
    HideAllSeries(*chart);
    const int lh = FontHeightIn(*chart, chart->Title().Font());
    ASSERT_GT(lh, 0);

    chart->PaintNow();
    EXPECT_EQ(chart->PlotRect.Top, TitleBand(1, lh, 1)); // about 24 pixels

    chart->Title().SetText({"a", "bb", "ccc"});
    chart->PaintNow();
    EXPECT_EQ(chart->PlotRect.Top, TitleBand(3, lh, 1));

    chart->Title().Frame().SetVisible(false);
    chart->PaintNow();
    EXPECT_EQ(chart->PlotRect.Top, TitleBand(3, lh, 0));

    chart->Title().SetText({});
    chart->Title().Frame().SetVisible(true);
    chart->PaintNow();
    EXPECT_EQ(chart->PlotRect.Top, TitleBand(0, lh, 1));

    // A foot without lines and without a frame takes nothing; with one line it takes its band.
    EXPECT_EQ(chart->PlotRect.Bottom, 288);
    chart->Foot().SetText({"foot"});
    chart->PaintNow();
    EXPECT_EQ(chart->PlotRect.Bottom, 288 - (FontHeightIn(*chart, chart->Foot().Font()) + 5));
}

TEST(ChartPanel, FramedTitleWidthDependsOnAlignment)
{
    auto chart = MakeMainChart();
    HideAllSeries(*chart);
    const QString text = chart->Title().Text().first();
    const int m = TextWidthIn(*chart, chart->Title().Font(), text);

    chart->PaintNow();
    const PixelRect centred = chart->Title().TitleRect;
    // bw = m + 2w; a centred frame spans 2 * (bw div 2 + 2w): 106 for a 100-pixel text.
    EXPECT_EQ(centred.Width(), 2 * ((m + 2) / 2 + 2));
    EXPECT_EQ((centred.Left + centred.Right) / 2, (23 + 465) / 2);
    // The frame is drawn in the frame pen (black) on the window.
    EXPECT_EQ(Pixel(chart->WindowImage(), centred.Left, centred.Top + 3), clBlack);
    EXPECT_EQ(Pixel(chart->WindowImage(), centred.Right - 1, centred.Top + 3), clBlack);
    EXPECT_EQ(Pixel(chart->WindowImage(), centred.Left - 1, centred.Top + 3),
              ResolveSystemColor(clBtnFace));

    chart->Title().SetAlignment(taLeftJustify);
    chart->PaintNow();
    EXPECT_EQ(chart->Title().TitleRect.Width(), m + 2);
    EXPECT_EQ(chart->Title().TitleRect.Left, 23);

    chart->Title().SetAlignment(taRightJustify);
    chart->PaintNow();
    EXPECT_EQ(chart->Title().TitleRect.Width(), m + 2);
    EXPECT_EQ(chart->Title().TitleRect.Right, 465);
}

TEST(ChartPanel, AllSeriesHiddenLeavesBackgroundTitleAndWallOnly)
{
    auto chart = MakeMainChart();
    HideAllSeries(*chart);
    chart->PaintNow();
    const PixelRect plot = chart->PlotRect;
    const int lh = FontHeightIn(*chart, chart->Title().Font());
    // No legend and no axis band: the plot keeps everything below the title.
    EXPECT_EQ(plot, (PixelRect{23, TitleBand(1, lh, 1), 465, 288}));
    EXPECT_FALSE(chart->LeftAxis()->IsAxisShown());
    EXPECT_FALSE(chart->BottomAxis()->IsAxisShown());
    EXPECT_TRUE(chart->Legend().LegendRect.IsEmpty());

    const QImage &img = chart->WindowImage();
    // Back wall: a black one-pixel frame (Rectangle to Right + 1), clear inside.
    EXPECT_EQ(Pixel(img, plot.Left, plot.Top + 50), clBlack);
    // The right edge of the frame (column plot.Right) lies just outside the 465-pixel image.
    EXPECT_EQ(plot.Right, img.width());
    EXPECT_EQ(Pixel(img, plot.Left + 100, plot.Top), clBlack);
    EXPECT_EQ(Pixel(img, plot.Left + 100, plot.Bottom - 1), clBlack);
    int foreign = 0;
    for (int y = plot.Top + 1; y < plot.Bottom - 1; ++y)
        for (int x = plot.Left + 1; x < plot.Right; ++x)
            foreign += Pixel(img, x, y) != ResolveSystemColor(clBtnFace);
    EXPECT_EQ(foreign, 0);
    // Left of the plot: only background.
    for (int x = 0; x < 22; ++x)
        EXPECT_EQ(Pixel(img, x, 150), ResolveSystemColor(clBtnFace)) << x;
}

TEST(ChartPanel, LayoutOrderLegendThenAxesThenSeries)
{
    auto chart = MakeMainChart();
    chart->PaintNow();
    const PixelRect plot = chart->PlotRect;
    const PixelRect legend = chart->Legend().LegendRect;
    ASSERT_FALSE(legend.IsEmpty());
    // The legend took its width plus 3 % off the right; the axes took their bands on the left
    // and at the bottom; the axis lines sit on the plot's edges.
    EXPECT_EQ(plot.Right, legend.Left - MulDiv(3, 465 - 23, 100));
    EXPECT_GT(plot.Left, 23);
    EXPECT_LT(plot.Bottom, 288);
    EXPECT_TRUE(chart->LeftAxis()->IsAxisShown());
    EXPECT_FALSE(chart->RightAxis()->IsAxisShown());
    EXPECT_EQ(chart->LeftAxis()->LinePosition(), plot.Left);
    EXPECT_EQ(chart->BottomAxis()->LinePosition(), plot.Bottom);
    // The data extremes lie 5 pixels inside the plot (marker margins).
    const TChartAxis *bottom = chart->BottomAxis();
    EXPECT_EQ(bottom->ValueToPixel(0.0), plot.Left + 5);
    EXPECT_EQ(bottom->ValueToPixel(49.0), plot.Right - 5);
    // The last series drawn covers the wall: a marker of series 8 is yellow.
    const TChartSeries *s8 = chart->SeriesAt(7);
    const int x = bottom->ValueToPixel(s8->XValueAt(10));
    const int y = chart->LeftAxis()->ValueToPixel(s8->YValueAt(10));
    EXPECT_EQ(Pixel(chart->WindowImage(), x, y), clYellow);
}

TEST(ChartPanel, ShrunkControlKeepsAOnePixelPlot)
{
    auto chart = MakeMainChart();
    chart->resize(30, 20);
    chart->PaintNow();
    EXPECT_GE(chart->PlotWidth(), 1);
    EXPECT_GE(chart->PlotHeight(), 1);
    chart->resize(2, 2);
    chart->PaintNow();
    EXPECT_GE(chart->PlotWidth(), 1);
    EXPECT_GE(chart->PlotHeight(), 1);
    EXPECT_EQ(chart->WindowImage().size(), QSize(2, 2));
}

TEST(ChartPanel, ChangesCoalesceIntoOnePaintAndCleanRepaintsCopy)
{
    auto chart = MakeMainChart();
    ShowAndSettle(*chart);
    const int settled = chart->DrawCount();
    ASSERT_GE(settled, 1);

    chart->SetMarginLeft(6);
    chart->SeriesAt(0)->AppendY(30.0);
    EXPECT_EQ(chart->DrawCount(), settled); // nothing drawn by the changes themselves
    EXPECT_TRUE(chart->Canvas().BufferStale);
    WaitForPicture(*chart);
    EXPECT_EQ(chart->DrawCount(), settled + 1);
    EXPECT_FALSE(chart->Canvas().BufferStale);

    // A paint request without a change copies the picture and draws nothing.
    const QImage before = chart->WindowImage();
    chart->repaint();
    EXPECT_EQ(chart->DrawCount(), settled + 1);
    EXPECT_EQ(chart->WindowImage(), before);

    // Setting a property to the value it has is not a change.
    chart->SetMarginLeft(6);
    chart->Title().SetText({QStringLiteral("Только первые 8 графиков")});
    EXPECT_FALSE(chart->Canvas().BufferStale);

    // A resize redraws at the new size.
    chart->resize(300, 200);
    WaitForPicture(*chart);
    EXPECT_EQ(chart->DrawCount(), settled + 2);
    EXPECT_EQ(chart->Canvas().Bitmap()->size(), QSize(300, 200));
}

TEST(ChartPanel, DrawingPassesComeAtMostOncePerFrameInterval)
{
    auto chart = MakeMainChart();
    chart->SetFrameInterval(300);
    ShowAndSettle(*chart);
    chart->RequestRepaint();
    WaitForPicture(*chart);
    const int drawn = chart->DrawCount();

    // Changes right after a pass wait for the interval to end, and then cost one pass together.
    for (int i = 0; i < 100; ++i)
        chart->SeriesAt(i % 8)->AppendY(20.0 + i % 5);
    QCoreApplication::processEvents();
    chart->repaint(); // a paint the window system asks for shows the last picture meanwhile
    EXPECT_EQ(chart->DrawCount(), drawn);
    EXPECT_TRUE(chart->Canvas().BufferStale);
    WaitForPicture(*chart);
    EXPECT_EQ(chart->DrawCount(), drawn + 1);
    EXPECT_FALSE(chart->Canvas().BufferStale);

    // PaintNow draws at once whatever the interval.
    chart->SeriesAt(0)->AppendY(21.0);
    chart->PaintNow();
    EXPECT_EQ(chart->DrawCount(), drawn + 2);
}

TEST(ChartPanel, SetterExceptionsKeepTheOldValue)
{
    TChart chart;
    for (int bad : {0, 101, -5}) {
        try {
            chart.SetChart3DPercent(bad);
            ADD_FAILURE() << bad;
        } catch (const ChartException &e) {
            EXPECT_STREQ(e.what(), "3D effect percent must be between 1 and 100");
        }
    }
    EXPECT_EQ(chart.Chart3DPercent(), 15);
    chart.SetChart3DPercent(100);
    EXPECT_EQ(chart.Chart3DPercent(), 100);

    try {
        chart.SetMaxPointsPerPage(-1);
        ADD_FAILURE();
    } catch (const ChartException &e) {
        EXPECT_STREQ(e.what(), "MaxPointsPerPage must be >= 0");
    }
    EXPECT_EQ(chart.MaxPointsPerPage(), 0);
}

TEST(ChartPanel, DefaultsOfANewChart)
{
    TChart chart;
    EXPECT_EQ(chart.size(), QSize(400, 250));
    EXPECT_EQ(chart.MarginLeft(), 3);
    EXPECT_EQ(chart.MarginTop(), 4);
    EXPECT_EQ(chart.MarginRight(), 3);
    EXPECT_EQ(chart.MarginBottom(), 4);
    EXPECT_EQ(chart.Color(), clBtnFace);
    EXPECT_TRUE(chart.View3D());
    EXPECT_TRUE(chart.testAttribute(Qt::WA_OpaquePaintEvent));
    EXPECT_EQ(chart.BackWall().Brush().Style(), bsClear);
    EXPECT_EQ(chart.BackWall().Color(), AutoColor);
    EXPECT_EQ(chart.LeftWall().Color(), ChartColor(0x80FFFF));
    EXPECT_FALSE(chart.Title().Frame().Visible());
    EXPECT_EQ(chart.Title().Font().Color(), clBlue);
    EXPECT_EQ(chart.Title().Alignment(), taCenter);
    EXPECT_FALSE(chart.AnimatedZoom());
    EXPECT_EQ(chart.AnimatedZoomSteps(), 8);
    EXPECT_EQ(chart.AllowPanning(), pmBoth);

    chart.SetBackColor(clNavy);
    EXPECT_EQ(chart.BackWall().Brush().Style(), bsSolid);
    EXPECT_EQ(&chart.Frame(), &chart.BackWall().Pen());
}

TEST(ChartPanel, SeriesListAttachDetachAndPalette)
{
    auto chart = std::make_unique<TChart>();
    auto *a = new TLineSeries();
    auto *b = new TLineSeries();
    chart->AttachSeries(a);
    chart->AttachSeries(b);
    chart->AttachSeries(a); // already there: nothing
    ASSERT_EQ(chart->SeriesCount(), 2);
    EXPECT_EQ(chart->SeriesAt(1), b);
    EXPECT_EQ(a->ParentChart(), chart.get());
    // AutoColor series take the first free palette colours.
    EXPECT_EQ(a->SeriesColor(), clRed);
    EXPECT_EQ(b->SeriesColor(), clGreen);
    try {
        chart->SeriesAt(2);
        ADD_FAILURE();
    } catch (const EListError &e) {
        EXPECT_STREQ(e.what(), "List index out of bounds (2)");
    }

    b->SetActive(false);
    EXPECT_EQ(chart->ActiveSeriesCount(), 1);
    chart->DetachSeries(a);
    EXPECT_EQ(a->ParentChart(), nullptr);
    EXPECT_EQ(chart->SeriesCount(), 1);
    chart->DetachSeries(a); // not in the list: nothing
    EXPECT_EQ(chart->SeriesCount(), 1);

    // A series moved to another chart leaves the first one.
    TChart other;
    other.AttachSeries(b);
    EXPECT_EQ(chart->SeriesCount(), 0);
    EXPECT_EQ(b->ParentChart(), &other);
    delete a; // detached: the caller owns it again; `other` frees b
}

TEST(ChartPanel, SystemColoursAreTakenFromTheApplicationPalette)
{
    auto chart = MakeMainChart(20);
    chart->PaintNow();
    const QPalette saved = QGuiApplication::palette();
    EXPECT_EQ(Pixel(chart->WindowImage(), 2, 2),
              RgbToChartColor(saved.color(QPalette::Button).rgb()));

    // A palette change shows at the next picture: the background is the new button face.
    QPalette changed = saved;
    changed.setColor(QPalette::Button, QColor(0x12, 0x34, 0x56));
    changed.setColor(QPalette::Base, QColor(0xAB, 0xCD, 0xEF));
    QApplication::setPalette(changed);
    EXPECT_EQ(ResolveSystemColor(clBtnFace), ChartColor(0x563412));
    EXPECT_EQ(ResolveSystemColor(clWindow), ChartColor(0xEFCDAB));
    QApplication::sendPostedEvents(); // the palette change is delivered as an event
    chart->PaintNow();                // which itself asked for a new picture
    EXPECT_EQ(Pixel(chart->WindowImage(), 2, 2), ChartColor(0x563412));
    QApplication::setPalette(saved);

    // Markers and plain colours are not system colours.
    for (ChartColor c : {AutoColor, clNone, clDefault, clRed, clWhite})
        EXPECT_EQ(ResolveSystemColor(c), c) << std::hex << c;
}

TEST(ChartPanel, LeftLabelsWidenedByTheMarkersAreNotCutAtTheChartEdge)
{
    // Readings 0..995: the markers' margins widen the range so that the top label has one
    // digit more than the band was measured for ("1,015.992" against "995").
    for (const double top : {995.0, 9.95e9}) {
        auto chart = MakeMainChart(0);
        for (int k = 1; k < 8; ++k)
            chart->SeriesAt(k)->SetActive(false);
        TChartSeries *s = chart->SeriesAt(0);
        for (int i = 0; i <= 10; ++i)
            s->AppendY(top * i / 10, QString(), s->SeriesColor());
        chart->PaintNow();
        TChartAxis *left = chart->LeftAxis();
        const QString topLabel = left->LabelText(left->ShownMaximum());
        EXPECT_GT(TextWidthIn(*chart, left->LabelsFont(), topLabel),
                  TextWidthIn(*chart, left->LabelsFont(), left->LabelText(top)));
        // Nothing but background in the chart's left margin: every label lies in its band.
        const QImage &img = chart->WindowImage();
        const int margin = MulDiv(5, 465, 100);
        int ink = 0;
        for (int y = 0; y < img.height(); ++y)
            for (int x = 0; x < margin; ++x)
                ink += Pixel(img, x, y) != ResolveSystemColor(clBtnFace);
        EXPECT_EQ(ink, 0) << topLabel.toStdString();
        EXPECT_GE(left->LabelsPosition() - TextWidthIn(*chart, left->LabelsFont(), topLabel),
                  margin);
    }

    // Labels that fit keep the band measured from the unwidened range.
    auto chart = MakeMainChart(50);
    chart->PaintNow();
    TChartAxis *left = chart->LeftAxis();
    left->ComputeRange();
    EXPECT_EQ(chart->PlotRect.Left, MulDiv(5, 465, 100) + left->MaxLabelWidth(chart->Canvas()) + 6);
}

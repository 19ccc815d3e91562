// Axis arithmetic (ranges, mapping, label steps, label texts, room) and axis drawing.
// Expected positions come from the font metrics the canvas measures, never from fixed sizes.
#include "axis.h"
#include "canvas.h"
#include "lineseries.h"
#include "panel.h"

#include <QLocale>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

namespace
{

class AxisTest : public ::testing::Test
{
  protected:
    static void SetUpTestSuite() { InstallChartFontSubstitutions(); }
    void SetUp() override
    {
        chart = std::make_unique<TChart>();
        chart->resize(465, 288);
        chart->SetView3D(false);
    }

    /// A line series on the bottom and left axes with the given points; markers on/off.
    TLineSeries *AddSeries(const std::vector<std::pair<double, double>> &points,
                           bool markers = true)
    {
        auto *s = new TLineSeries();
        chart->AttachSeries(s);
        s->Pointer().SetVisible(markers);
        for (const auto &[x, y] : points)
            s->AppendXY(x, y);
        return s;
    }

    /// Range, plot and widening as a paint pass does them, on a fixed plot rectangle.
    void Layout(TChartAxis *axis, const PixelRect &plot)
    {
        axis->ComputeRange();
        chart->PlotRect = plot;
        axis->WidenForMargins();
    }

    TTeeCanvas3D &Canvas() { return chart->Canvas(); }

    std::unique_ptr<TChart> chart;
};

TEST_F(AxisTest, DefaultsOfTheProperties)
{
    TChartAxis &a = *chart->LeftAxis();
    EXPECT_TRUE(a.Automatic() && a.AutomaticMaximum() && a.AutomaticMinimum());
    EXPECT_EQ(a.Axis().Width(), 2);
    EXPECT_EQ(a.Axis().Color(), clBlack);
    EXPECT_EQ(a.AxisValuesFormat(), QStringLiteral("#,##0.###"));
    EXPECT_EQ(a.Grid().Style(), psDot);
    EXPECT_EQ(a.Grid().Color(), clGray);
    EXPECT_EQ(a.Increment(), 0.0);
    EXPECT_EQ(a.LabelsFont().Name(), QStringLiteral("Arial"));
    EXPECT_EQ(a.LabelsFont().Size(), 8);
    EXPECT_EQ(a.LabelsSeparation(), 10);
    EXPECT_EQ(a.LabelStyle(), talAuto);
    EXPECT_EQ(a.MinorTickCount(), 3);
    EXPECT_EQ(a.MinorTickLength(), 2);
    EXPECT_EQ(a.TickLength(), 4);
    EXPECT_EQ(a.TickInnerLength(), 0);
    EXPECT_TRUE(a.TickOnLabelsOnly());
    EXPECT_TRUE(a.RoundFirstLabel());
    EXPECT_TRUE(a.LabelsOnAxis());
    EXPECT_EQ(a.Title().Angle(), 90);
    EXPECT_EQ(chart->RightAxis()->Title().Angle(), 270);
    EXPECT_EQ(chart->BottomAxis()->Title().Angle(), 0);
    EXPECT_TRUE(a.Visible());
    EXPECT_FALSE(chart->DepthAxis()->Visible());
}

TEST_F(AxisTest, SettersRejectBadValuesAndKeepTheOldOne)
{
    TChartAxis &a = *chart->BottomAxis();
    a.SetIncrement(1.0);
    try {
        a.SetIncrement(-1);
        FAIL() << "no exception";
    } catch (const AxisException &e) {
        EXPECT_STREQ(e.what(), "Axis increment must be >= 0");
    }
    EXPECT_EQ(a.Increment(), 1.0);

    a.SetLabelsSeparation(0); // 0 itself is accepted
    EXPECT_THROW(a.SetLabelsSeparation(-1), AxisException);
    EXPECT_EQ(a.LabelsSeparation(), 0);

    a.SetLabelsAngle(90);
    try {
        a.SetLabelsAngle(361);
        FAIL() << "no exception";
    } catch (const ChartException &e) {
        EXPECT_STREQ(e.what(), "Axis Labels Angle must be between 0 and 359 degrees");
    }
    EXPECT_EQ(a.LabelsAngle(), 90);
    a.SetLabelsAngle(360);
    EXPECT_EQ(a.LabelsAngle(), 0);

    a.SetMinMax(2, 5);
    try {
        a.SetMinimum(6);
        FAIL() << "no exception";
    } catch (const AxisException &e) {
        EXPECT_STREQ(e.what(), "Axis Minimum Value must be <= Maximum");
    }
    try {
        a.SetMaximum(1);
        FAIL() << "no exception";
    } catch (const AxisException &e) {
        EXPECT_STREQ(e.what(), "Axis Maximum Value must be >= Minimum");
    }
    EXPECT_EQ(a.Minimum(), 2.0);
    EXPECT_EQ(a.Maximum(), 5.0);
    a.Loading = true; // the layout being read: no order checks
    a.SetMinimum(6);
    a.SetMaximum(7);
    a.Loading = false;
    EXPECT_EQ(a.Minimum(), 6.0);

    a.SetMinMax(-1, 5);
    try {
        a.SetLogarithmic(true);
        FAIL() << "no exception";
    } catch (const AxisException &e) {
        EXPECT_STREQ(e.what(), "Logarithmic Axis Min and Max values should be >= 0");
    }
    EXPECT_FALSE(a.Logarithmic());
}

TEST_F(AxisTest, AutomaticFlagsAndRepaintRequests)
{
    TChartAxis &a = *chart->LeftAxis();
    a.SetAutomaticMaximum(false);
    EXPECT_FALSE(a.Automatic());
    EXPECT_TRUE(a.AutomaticMinimum());
    a.SetAutomatic(true);
    EXPECT_TRUE(a.AutomaticMaximum());
    a.SetMinMax(1, 2);
    EXPECT_FALSE(a.Automatic() || a.AutomaticMinimum() || a.AutomaticMaximum());

    // A differing value marks the picture stale; the same value does not.
    Canvas().BufferStale = false;
    a.SetTickLength(4);
    a.Grid().SetColor(clGray);
    EXPECT_FALSE(Canvas().BufferStale);
    a.SetTickLength(5);
    EXPECT_TRUE(Canvas().BufferStale);
    Canvas().BufferStale = false;
    a.Grid().SetColor(clRed);
    EXPECT_TRUE(Canvas().BufferStale);
    Canvas().BufferStale = false;
    a.LabelsFont().SetHeight(-20);
    EXPECT_TRUE(Canvas().BufferStale);
}

TEST_F(AxisTest, RangesFollowTheActiveSeriesOnTheAxis)
{
    TChartAxis *bottom = chart->BottomAxis(), *left = chart->LeftAxis();
    // No series: range 0..0, not shown, every value at the centre.
    Layout(left, {0, 0, 100, 51});
    EXPECT_EQ(left->ShownMinimum(), 0.0);
    EXPECT_EQ(left->ShownMaximum(), 0.0);
    EXPECT_FALSE(left->IsAxisShown());
    EXPECT_EQ(left->ResolvedLabelStyle(), talNone);
    EXPECT_EQ(left->ValueToPixel(123.0), 25);

    TLineSeries *a = AddSeries({{0, 3}, {1, -2}, {2, 7}});
    TLineSeries *b = AddSeries({{5, 10}, {6, 1}});
    EXPECT_EQ(left->SeriesExtreme(true), 10.0);
    EXPECT_EQ(left->SeriesExtreme(false), -2.0);
    EXPECT_EQ(bottom->SeriesExtreme(true), 6.0);
    b->SetActive(false);
    EXPECT_EQ(left->SeriesExtreme(true), 7.0);
    a->SetActive(false);
    EXPECT_FALSE(left->IsAxisShown());
    a->SetActive(true);
    EXPECT_TRUE(left->IsAxisShown());
    EXPECT_FALSE(chart->RightAxis()->IsAxisShown());
    EXPECT_EQ(left->ResolvedLabelStyle(), talValue);
    chart->SetAxisVisible(false);
    EXPECT_FALSE(left->IsAxisShown());
    chart->SetAxisVisible(true);

    // A manual end keeps its value; the automatic one follows.
    left->SetAutomaticMinimum(false);
    left->Loading = true;
    left->SetMinimum(-50);
    left->Loading = false;
    left->ComputeRange();
    EXPECT_EQ(left->ShownMinimum(), -50.0);
    EXPECT_EQ(left->ShownMaximum(), 7.0);
}

TEST_F(AxisTest, ValueToPixelAndBack)
{
    TChartAxis h(nullptr, akBottom), v(nullptr, akLeft);
    h.SetStandalonePlotRect({10, 20, 15, 120});
    v.SetStandalonePlotRect({10, 20, 15, 120});
    h.SetShownRange(0, 2);
    // W = 5: 1 -> 2.5 -> 2 (ties to even), 1.4 -> 3.5 -> 4.
    EXPECT_EQ(h.ValueToPixel(1.0), 12);
    EXPECT_EQ(h.ValueToPixel(1.4), 14);
    EXPECT_EQ(h.ValueToPixel(0.0), 10);
    EXPECT_EQ(h.ValueToPixel(2.0), 15);
    h.SetInverted(true);
    EXPECT_EQ(h.ValueToPixel(0.0), 15);
    EXPECT_EQ(h.ValueToPixel(1.4), 11);
    EXPECT_DOUBLE_EQ(h.PixelToValue(11), 1.6);
    h.SetInverted(false);
    EXPECT_DOUBLE_EQ(h.PixelToValue(12), 0.8);

    v.SetShownRange(-10, 10); // H = 100
    EXPECT_EQ(v.ValueToPixel(-10), 120);
    EXPECT_EQ(v.ValueToPixel(10), 20);
    EXPECT_EQ(v.ValueToPixel(0.1), 70); // 50.5 -> 50
    EXPECT_DOUBLE_EQ(v.PixelToValue(20), 10.0);
    EXPECT_DOUBLE_EQ(v.PixelToValue(70), 0.0);
    v.SetInverted(true);
    EXPECT_EQ(v.ValueToPixel(-10), 20);
    EXPECT_DOUBLE_EQ(v.PixelToValue(120), 10.0);

    // Degenerate cases: zero range at the centre, a plot below one pixel gives 0.
    v.SetShownRange(4, 4);
    EXPECT_EQ(v.ValueToPixel(1e9), 70);
    h.SetStandalonePlotRect({10, 20, 10, 120});
    EXPECT_EQ(h.PixelToValue(500), 0.0);
    // Far-off values stay far off instead of overflowing.
    v.SetInverted(false);
    v.SetShownRange(0, 1);
    EXPECT_LT(v.ValueToPixel(1e300), -1000000);
}

TEST_F(AxisTest, LabelStepsClimbTheOneTwoFiveSequence)
{
    std::vector<double> seq{1};
    while (seq.size() < 8)
        seq.push_back(TChartAxis::NextStep(seq.back()));
    const std::vector<double> expected{1, 2, 5, 10, 20, 50, 100, 200};
    for (size_t i = 0; i < seq.size(); ++i)
        EXPECT_DOUBLE_EQ(seq[i], expected[i]);
    EXPECT_DOUBLE_EQ(TChartAxis::NextStep(0.3), 0.5);
    EXPECT_DOUBLE_EQ(TChartAxis::NextStep(7), 10);
    EXPECT_GT(TChartAxis::NextStep(0.0), 0.0) << "guarded, no endless recursion";

    TChartAxis a(nullptr, akBottom);
    a.SetShownRange(0, 1500);
    a.SetIncrement(1);
    EXPECT_DOUBLE_EQ(a.StepForLabelCount(12), 200.0);
    a.SetIncrement(0);
    a.SetShownRange(0, 0.5);
    EXPECT_GE(a.StepForLabelCount(1000), 1e-12);
    EXPECT_LT(a.StepForLabelCount(1000), 1e-3);
    EXPECT_DOUBLE_EQ(a.StepForLabelCount(0), 1e-12) << "n = 0 leaves the start step";
}

TEST_F(AxisTest, BottomAxisLabelsFromZeroTo1500)
{
    TLineSeries *s = AddSeries({}, false);
    for (int i = 0; i <= 1500; ++i)
        s->AppendY(20);
    TChartAxis *bottom = chart->BottomAxis();
    bottom->SetIncrement(1);
    Layout(bottom, {0, 0, 400, 200});
    EXPECT_EQ(bottom->ShownMaximum(), 1500.0);

    // Room per label from the measured texts; the step is the first 1-2-5 value that fits.
    Canvas().AssignFont(bottom->LabelsFont());
    int s0 = std::max(Canvas().TextWidth(bottom->LabelText(1500)),
                      Canvas().TextWidth(bottom->LabelText(0)));
    s0 += int(std::lround(0.1 * s0));
    const int n = int(std::lround(400.0 / s0));
    double expected = 1;
    while (std::lround(1500 / expected) > n)
        expected = TChartAxis::NextStep(expected);
    const double step = bottom->LabelStep(Canvas());
    EXPECT_DOUBLE_EQ(step, expected);

    const std::vector<double> labels = bottom->ValueLabels(step);
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(labels.front(), std::trunc(1500 / step) * step);
    EXPECT_EQ(labels.back(), 0.0);
    for (size_t i = 1; i < labels.size(); ++i)
        EXPECT_DOUBLE_EQ(labels[i - 1] - labels[i], step);
    // With a 30-pixel label (s = 33, n = 12) the labels are 1400, 1200, ..., 0.
    const std::vector<double> for200 = bottom->ValueLabels(200);
    EXPECT_EQ(for200, (std::vector<double>{1400, 1200, 1000, 800, 600, 400, 200, 0}));

    bottom->SetLabelsOnAxis(false);
    EXPECT_EQ(bottom->ValueLabels(500), (std::vector<double>{1000, 500}));
}

TEST_F(AxisTest, LeftAxisLabelsStartAtTheWidenedMaximum)
{
    AddSeries({{0, 20}, {1, 25}, {2, 22}});
    TChartAxis *left = chart->LeftAxis();
    left->SetRoundFirstLabel(false);
    Layout(left, {0, 0, 400, 200});
    // Markers claim 5 pixels at each end: 5 / 190 of the range on each side.
    EXPECT_NEAR(left->ShownMaximum(), 25 + 5.0 * 5 / 190, 1e-12);
    EXPECT_NEAR(left->ShownMinimum(), 20 - 5.0 * 5 / 190, 1e-12);
    EXPECT_EQ(left->ValueToPixel(25), 5);
    EXPECT_EQ(left->ValueToPixel(20), 195);

    const double step = left->LabelStep(Canvas());
    EXPECT_DOUBLE_EQ(step, 1.0);
    const std::vector<double> labels = left->ValueLabels(step);
    ASSERT_EQ(labels.size(), 6u);
    const QLocale loc;
    const QStringList expected{"25.132", "24.132", "23.132", "22.132", "21.132", "20.132"};
    for (int i = 0; i < 6; ++i)
        EXPECT_EQ(left->LabelText(labels[size_t(i)]),
                  QString(expected[i]).replace(QLatin1Char('.'), loc.decimalPoint()));
}

TEST_F(AxisTest, SinglePointAndConstantValues)
{
    AddSeries({{0, 20.5}});
    TChartAxis *bottom = chart->BottomAxis(), *left = chart->LeftAxis();
    bottom->SetIncrement(1);
    Layout(bottom, {0, 0, 400, 200});
    Layout(left, {0, 0, 400, 200});
    EXPECT_EQ(bottom->ShownRange(), 0.0) << "widening keeps a zero range";
    EXPECT_EQ(bottom->ValueToPixel(0), 200);
    EXPECT_EQ(left->ValueToPixel(20.5), 100);
    EXPECT_EQ(bottom->ValueLabels(bottom->LabelStep(Canvas())), std::vector<double>{0});
    // Left: the step starts at 1e-12 and |20.5 / 1e-12| exceeds the label limit.
    EXPECT_DOUBLE_EQ(left->LabelStep(Canvas()), 1e-12);
    EXPECT_TRUE(left->ValueLabels(left->LabelStep(Canvas())).empty());

    SetUp();
    AddSeries({{0, 0}, {1, 0}, {2, 0}});
    Layout(chart->LeftAxis(), {0, 0, 400, 200});
    TChartAxis *l = chart->LeftAxis();
    EXPECT_EQ(l->ValueLabels(l->LabelStep(Canvas())), std::vector<double>{0});
    EXPECT_EQ(l->ValueToPixel(0), 100);
}

TEST_F(AxisTest, LabelSpacingLimitKeepsTheLoopFinite)
{
    TChartAxis a(nullptr, akLeft);
    a.SetShownRange(0, 1);
    EXPECT_TRUE(a.ValueLabels(1e-12).empty()) << "a million million steps";
    EXPECT_TRUE(a.ValueLabels(1e-4).empty()) << "10000 steps";
    EXPECT_EQ(a.ValueLabels(0.5).size(), 3u);
    // A plot too low for one label: the minimum step, hence no labels.
    a.SetStandalonePlotRect({0, 0, 100, 3});
    TTeeCanvas c;
    EXPECT_DOUBLE_EQ(a.LabelStep(c), TChartAxis::MinimumStep);
    EXPECT_TRUE(a.ValueLabels(a.LabelStep(c)).empty());
}

TEST_F(AxisTest, NumberFormatUsesTheLocaleSeparators)
{
    const QLocale c = QLocale::c();
    const QString f = QStringLiteral("#,##0.###");
    EXPECT_EQ(TChartAxis::FormatValue(1234567.891, f, c), QStringLiteral("1,234,567.891"));
    EXPECT_EQ(TChartAxis::FormatValue(1000, f, c), QStringLiteral("1,000"));
    EXPECT_EQ(TChartAxis::FormatValue(0, f, c), QStringLiteral("0"));
    EXPECT_EQ(TChartAxis::FormatValue(0.25, f, c), QStringLiteral("0.25"));
    EXPECT_EQ(TChartAxis::FormatValue(-3.5, f, c), QStringLiteral("-3.5"));
    EXPECT_EQ(TChartAxis::FormatValue(-0.0001, f, c), QStringLiteral("0"));
    EXPECT_EQ(TChartAxis::FormatValue(1e-12, f, c), QStringLiteral("0"));
    EXPECT_EQ(TChartAxis::FormatValue(-10000, f, c), QStringLiteral("-10,000"));
    // Rounding works on the decimal value shown, halves away from zero.
    EXPECT_EQ(TChartAxis::FormatValue(2.0005, f, c), QStringLiteral("2.001"));
    EXPECT_EQ(TChartAxis::FormatValue(0.0005, f, c), QStringLiteral("0.001"));
    EXPECT_EQ(TChartAxis::FormatValue(999.9996, f, c), QStringLiteral("1,000"));
    EXPECT_EQ(TChartAxis::FormatValue(25.13157894736842, f, c), QStringLiteral("25.132"));
    EXPECT_EQ(TChartAxis::FormatValue(2.5, QStringLiteral("0.00"), c), QStringLiteral("2.50"));
    EXPECT_EQ(TChartAxis::FormatValue(7, QStringLiteral("000"), c), QStringLiteral("007"));

    const QLocale ru(QLocale::Russian, QLocale::Russia);
    EXPECT_EQ(TChartAxis::FormatValue(1234.5, f, ru), QStringLiteral("1") + ru.groupSeparator() +
                                                          QStringLiteral("234") +
                                                          ru.decimalPoint() + QStringLiteral("5"));

    // LabelText: the user's locale, the label hook, multi-line labels.
    TChartAxis a(nullptr, akBottom);
    const QLocale saved;
    QLocale::setDefault(ru);
    EXPECT_EQ(a.LabelText(1234.5), TChartAxis::FormatValue(1234.5, f, ru));
    QLocale::setDefault(saved);
    a.OnGetAxisLabel = [](TChartAxis *, TChartSeries *s, int index, QString &text) {
        EXPECT_EQ(s, nullptr);
        EXPECT_EQ(index, -1);
        text += QStringLiteral(" V");
    };
    a.SetLabelsMultiLine(true);
    EXPECT_EQ(a.LabelText(3), QStringLiteral("3\nV"));
}

TEST_F(AxisTest, RoomTakenByTitleLabelsAndTicks)
{
    AddSeries({{0, 20}, {100, 1234.5}});
    TChartAxis *left = chart->LeftAxis(), *bottom = chart->BottomAxis();
    Layout(left, {0, 0, 400, 200});
    Layout(bottom, {0, 0, 400, 200});
    TTeeCanvas &c = Canvas();

    // Left: widest of the first and last rounded labels plus a blank, then pen 2 + ticks 4.
    const double step = left->LabelStep(c);
    c.AssignFont(left->LabelsFont());
    const int widest =
        std::max(c.TextWidth(left->LabelText(std::trunc(left->ShownMaximum() / step) * step)),
                 c.TextWidth(left->LabelText(std::trunc(left->ShownMinimum() / step) * step))) +
        c.TextWidth(QStringLiteral(" "));
    EXPECT_EQ(left->MaxLabelWidth(c), widest);
    PixelRect r{0, 0, 400, 200};
    left->ReserveAxisSpace(r, c);
    EXPECT_EQ(r, (PixelRect{widest + 6, 0, 400, 200}));
    EXPECT_EQ(left->LabelsPosition(), widest);

    // Bottom: label font height + 6; a caption adds the title font's height.
    c.AssignFont(bottom->LabelsFont());
    const int fh = c.FontHeight();
    bottom->Title().SetCaption(QStringLiteral("N"));
    c.AssignFont(bottom->Title().Font());
    const int th = c.FontHeight();
    r = {0, 0, 400, 200};
    bottom->ReserveAxisSpace(r, c);
    EXPECT_EQ(r, (PixelRect{0, 0, 400, 200 - th - fh - 6}));
    EXPECT_EQ(bottom->TitlePosition(), 200 - th);
    EXPECT_EQ(bottom->LabelsPosition(), 200 - th - fh);

    // Fixed sizes and hidden parts.
    bottom->SetTitleSize(3);
    bottom->SetLabelsSize(7);
    bottom->Ticks().SetVisible(false);
    r = {0, 0, 400, 200};
    bottom->ReserveAxisSpace(r, c);
    EXPECT_EQ(r.Bottom, 200 - 3 - 7 - 2);
    bottom->Axis().SetVisible(false);
    bottom->SetLabels(false);
    r = {0, 0, 400, 200};
    bottom->ReserveAxisSpace(r, c);
    EXPECT_EQ(r.Bottom, 200 - 3 - 2) << "the minor ticks' length remains";
}

class AxisDrawTest : public AxisTest
{
  protected:
    void SetUp() override
    {
        AxisTest::SetUp();
        img = QImage(300, 200, QImage::Format_RGB32);
        img.fill(Qt::white);
        canvas.SetImageTarget(&img);
    }
    void TearDown() override { canvas.ClearTarget(); }
    int CountColumn(int x, int y0, int y1, ChartColor c)
    {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            n += canvas.GetPixel(x, y) == c;
        return n;
    }
    QImage img;
    TTeeCanvas3D canvas;
};

TEST_F(AxisDrawTest, TicksGridAndLabelsOfTheBottomAxis)
{
    AddSeries({{0, 1}, {10, 2}}, false);
    TChartAxis *bottom = chart->BottomAxis();
    bottom->SetIncrement(2);
    // As a paint pass: range, bands taken off the outer rectangle, widening, drawing. The
    // outer rectangle is chosen so that the plot ends at y = 150.
    bottom->ComputeRange();
    canvas.AssignFont(bottom->LabelsFont());
    PixelRect plot{40, 10, 240, 150 + 6 + canvas.FontHeight()};
    bottom->ReserveAxisSpace(plot, canvas);
    ASSERT_EQ(plot.Bottom, 150);
    EXPECT_EQ(bottom->LabelsPosition(), 156);
    Layout(bottom, plot);
    bottom->DrawAxis(canvas);
    const double step = bottom->LabelStep(canvas);
    ASSERT_DOUBLE_EQ(step, 2.0);
    EXPECT_EQ(bottom->LinePosition(), 150);

    // Axis line: width 2 over rows 149..150, plot left to right (end excluded).
    EXPECT_EQ(canvas.GetPixel(40, 149), clBlack);
    EXPECT_EQ(canvas.GetPixel(239, 150), clBlack);
    EXPECT_EQ(canvas.GetPixel(240, 150), clWhite);
    // Ticks below the line at every label, 4 pixels from y = 151.
    for (double v = 0; v <= 10; v += 2) {
        const int p = bottom->ValueToPixel(v);
        EXPECT_EQ(CountColumn(p, 151, 156, clGray), 4) << v;
        // Grid above the line, dotted, except at the exact ends of the range.
        const int grid = CountColumn(p, 11, 148, clGray);
        if (v == 0 || v == 10)
            EXPECT_EQ(grid, 0) << v;
        else
            EXPECT_GT(grid, 40) << v;
    }
    // Three minor ticks of 2 pixels between two labels.
    const int p4 = bottom->ValueToPixel(4), p6 = bottom->ValueToPixel(6);
    for (int i = 1; i <= 3; ++i) {
        const int m = p6 - int(std::nearbyint((p6 - p4) / 4.0 * i));
        EXPECT_EQ(CountColumn(m, 151, 156, clGray), 2) << i;
    }
    // Labels: centred under their tick, their top at LabelsPosition.
    canvas.AssignFont(bottom->LabelsFont());
    const int w = canvas.TextWidth(QStringLiteral("4")), fh = canvas.FontHeight();
    int inkMinX = 1000, inkMaxX = -1, inkMinY = 1000, inkMaxY = -1;
    for (int y = bottom->LabelsPosition() - 2; y < bottom->LabelsPosition() + fh + 2; ++y)
        for (int x = p4 - 8; x <= p4 + 8; ++x)
            if (canvas.GetPixel(x, y) == clBlack) {
                inkMinX = std::min(inkMinX, x);
                inkMaxX = std::max(inkMaxX, x);
                inkMinY = std::min(inkMinY, y);
                inkMaxY = std::max(inkMaxY, y);
            }
    ASSERT_LE(inkMinX, inkMaxX) << "label 4 drawn";
    EXPECT_GE(inkMinX, p4 - w / 2);
    EXPECT_LT(inkMaxX, p4 - w / 2 + w);
    EXPECT_GE(inkMinY, bottom->LabelsPosition());
    EXPECT_LT(inkMaxY, bottom->LabelsPosition() + fh);
    EXPECT_EQ(canvas.TextAlign(), 0u) << "alignment back to left/top";
}

TEST_F(AxisDrawTest, LeftAxisTicksPointLeftAndGridRunsRight)
{
    AddSeries({{0, 0}, {1, 100}}, false);
    TChartAxis *left = chart->LeftAxis();
    left->ComputeRange();
    PixelRect plot{0, 10, 260, 190};
    left->ReserveAxisSpace(plot, canvas);
    ASSERT_EQ(plot.Left, left->LabelsPosition() + 6);
    Layout(left, plot);
    const int a = plot.Left;
    left->SetTickInnerLength(3);
    left->DrawAxis(canvas);
    const double step = left->LabelStep(canvas);
    const std::vector<double> labels = left->ValueLabels(step);
    ASSERT_GE(labels.size(), 3u);
    const int p = left->ValueToPixel(labels[1]);
    // Ticks from x = a-1 leftwards over 4 pixels (a-1 lies under the 2-pixel axis line);
    // inner ticks from a+1 over 3 pixels; the grid from a+1 to the plot's right.
    EXPECT_EQ(canvas.GetPixel(a - 1, p), clBlack);
    for (int x = a - 4; x <= a - 2; ++x)
        EXPECT_EQ(canvas.GetPixel(x, p), clGray) << x;
    EXPECT_EQ(canvas.GetPixel(a - 5, p), clWhite);
    for (int x = a + 1; x <= a + 3; ++x)
        EXPECT_EQ(canvas.GetPixel(x, p), clGray) << x;
    int grid = 0;
    for (int x = a + 4; x < 260; ++x)
        grid += canvas.GetPixel(x, p) == clGray;
    EXPECT_GT(grid, 50);
    EXPECT_EQ(canvas.GetPixel(260, p), clWhite);
    // Axis line: columns a-1..a from the plot top to its bottom (end excluded).
    EXPECT_EQ(canvas.GetPixel(a - 1, 10), clBlack);
    EXPECT_EQ(canvas.GetPixel(a, 189), clBlack);
    EXPECT_EQ(canvas.GetPixel(a, 190), clWhite);
}

} // namespace

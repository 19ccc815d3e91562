// Chart drawing benchmarks: the main window's chart (465 x 288, framed title, back wall, axes,
// legend) with eight active line series of 1501 points and visible markers.
//   FullDrawingPass      one complete drawing pass (the paint after any change)
//   RedrawFromBuffer     a paint with nothing changed (copy of the off-screen picture)
//   FullPassLast100      a drawing pass zoomed to the last 100 points
//   AnimatedZoom         a whole animated zoom: 7 intermediate pictures and the final one
// Run with --benchmark_repetitions=N to get medians.
#include "axis.h"
#include "canvas.h"
#include "chartsetup.h"
#include "legend.h"
#include "lineseries.h"
#include "panel.h"
#include "zoom.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QWindow>

#include <benchmark/benchmark.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <memory>

namespace
{

std::unique_ptr<TChart> MakeChart()
{
    auto chart = std::make_unique<TChart>();
    chart->resize(465, 288);
    std::array<TLineSeries *, 8> series{};
    ConfigureMainChart(*chart, series);
    for (int k = 0; k < 8; ++k)
        for (int i = 0; i < 1501; ++i)
            series[k]->AppendY(20.0 + k * 0.7 + std::sin(i * 0.05 + k) * 2.0, QString(),
                               series[k]->SeriesColor());
    return chart;
}

// Created on first use, destroyed in main before the application object.
std::unique_ptr<TChart> Shared;

TChart &SharedChart()
{
    if (!Shared)
        Shared = [] {
            auto c = MakeChart();
            c->show();
            QElapsedTimer waited;
            waited.start();
            while (!(c->windowHandle() && c->windowHandle()->isExposed()) &&
                   waited.elapsed() < 2000)
                QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
            QCoreApplication::processEvents();
            return c;
        }();
    return *Shared;
}

void FullDrawingPass(benchmark::State &state)
{
    TChart &chart = SharedChart();
    chart.ResetZoom();
    chart.PaintNow();
    const int before = chart.DrawCount();
    for (auto _ : state) {
        chart.RequestRepaint();
        chart.PaintNow();
    }
    if (chart.DrawCount() - before != int(state.iterations()))
        state.SkipWithError("expected one drawing pass per iteration");
}
BENCHMARK(FullDrawingPass)->Unit(benchmark::kMillisecond);

void RedrawFromBuffer(benchmark::State &state)
{
    TChart &chart = SharedChart();
    chart.PaintNow();
    const int before = chart.DrawCount();
    for (auto _ : state)
        chart.repaint();
    if (chart.DrawCount() != before)
        state.SkipWithError("a clean repaint ran a drawing pass");
}
BENCHMARK(RedrawFromBuffer)->Unit(benchmark::kMicrosecond);

void FullPassLast100(benchmark::State &state)
{
    TChart &chart = SharedChart();
    chart.ResetZoom();
    chart.SetAnimatedZoom(false);
    chart.ZoomToValues(0, 0, 1400.0, 1500.0, 15.0, 30.0, 0, 0);
    chart.PaintNow();
    for (auto _ : state) {
        chart.RequestRepaint();
        chart.PaintNow();
    }
    chart.ResetZoom();
    chart.SetAnimatedZoom(true);
}
BENCHMARK(FullPassLast100)->Unit(benchmark::kMillisecond);

void AnimatedZoom(benchmark::State &state)
{
    TChart &chart = SharedChart();
    chart.SetAnimatedZoom(true);
    const PixelRect plot = chart.PlotRect;
    const PixelRect rect{plot.Left + 40, plot.Top + 30, plot.Right - 60, plot.Bottom - 40};
    for (auto _ : state) {
        state.PauseTiming();
        chart.ResetZoom();
        chart.PaintNow();
        const int before = chart.DrawCount();
        state.ResumeTiming();
        chart.ZoomToRect(rect);
        chart.PaintNow();
        state.PauseTiming();
        if (chart.DrawCount() - before != 8)
            state.SkipWithError("an animated zoom should draw 8 pictures");
        state.ResumeTiming();
    }
    chart.ResetZoom();
}
BENCHMARK(AnimatedZoom)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    InstallChartFontSubstitutions();
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    Shared.reset();
    return 0;
}

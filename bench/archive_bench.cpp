// SaveExcel for one pass of eight readings through the late-bound call layer into the
// workbook server. The workbook stays in memory: the archive clock is held still, so no pass
// reaches the periodic save and the figure is the cost of the calls and the cell writes.
#include "com.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "settings.h"

#include <QApplication>
#include <QFileInfo>
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>

namespace
{

struct ArchiveFixture {
    QTemporaryDir dir;
    QStringList readings;

    explicit ArchiveFixture(QStringList texts, bool dispatchEvents = true)
        : readings(std::move(texts))
    {
        com::CoInitialize();
        RegisterExcelServer();
        NumPoints = int32_t(readings.size());
        ArchiveHost host;
        host.readingText = [this](int k) { return readings.value(k - 1); };
        host.enExcel = [] { return true; };
        host.fileName = [this] { return dir.filePath(QStringLiteral("bench.xlsx")); };
        host.excelVisible = [] { return false; };
        host.setCaption = [](const QString &) {};
        if (dispatchEvents)
            host.processEvents = [] { QCoreApplication::processEvents(); };
        host.monotonicDays = [] { return 1.0; };
        SetArchiveHost(host);
        ResetArchiveState();
        OpenExcel();
    }
    ~ArchiveFixture()
    {
        CloseExcel();
        if (ArchiveFailed || !QFileInfo::exists(dir.filePath(QStringLiteral("bench.xlsx"))))
            std::fprintf(stderr, "archive_bench: closing the workbook failed\n");
        ResetArchiveState();
        com::CoUninitialize();
    }
};

void RunPasses(benchmark::State &state, const QStringList &readings, bool dispatchEvents = true)
{
    ArchiveFixture f(readings, dispatchEvents);
    if (!ArchiveOpen || ArchiveFailed) {
        state.SkipWithError("the archive did not open");
        return;
    }
    for (auto _ : state)
        SaveExcel();
    if (ArchiveFailed)
        state.SkipWithError("a pass failed");
    state.SetItemsProcessed(state.iterations());
}

void BM_SaveExcel_8Numbers(benchmark::State &state)
{
    QStringList r;
    for (int k = 1; k <= 8; ++k)
        r << QStringLiteral("    %1.25").arg(k * 10);
    RunPasses(state, r);
}

// The same pass without the window system's event dispatch: the cost of the calls alone.
void BM_SaveExcel_8Numbers_NoEvents(benchmark::State &state)
{
    QStringList r;
    for (int k = 1; k <= 8; ++k)
        r << QStringLiteral("    %1.25").arg(k * 10);
    RunPasses(state, r, false);
}

void BM_SaveExcel_7Numbers1Error(benchmark::State &state)
{
    QStringList r;
    for (int k = 1; k <= 7; ++k)
        r << QStringLiteral("    %1.25").arg(k * 10);
    r << QStringLiteral("   Ошибка");
    RunPasses(state, r);
}

} // namespace

BENCHMARK(BM_SaveExcel_8Numbers)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SaveExcel_8Numbers_NoEvents)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_SaveExcel_7Numbers1Error)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(9)
    ->ReportAggregatesOnly(true);

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

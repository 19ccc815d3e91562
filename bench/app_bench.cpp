// Benchmarks of the program: start-up to the main window shown, the run's per-point overhead
// over the bare device exchange, and the CPU the run costs while it waits: out a pause, and
// out a silent instrument at 300 baud, against an idle event loop in the same run.
// A small harness that prints its figures (no Google Benchmark loop: each figure needs the
// whole window and the simulator).
#include "automation.h"
#include "canvas.h"
#include "eventwait.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "exchange.h"
#include "form1.h"
#include "formsetup.h"
#include "morecom.h"
#include "panel.h"
#include "series.h"
#include "settings.h"
#include "simulator.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTemporaryDir>
#include <QTimer>
#include <QWindow>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <memory>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

struct Windows {
    std::unique_ptr<TForm1> form;
    std::unique_ptr<TFormSetup> setup;
    void Create()
    {
        form = std::make_unique<TForm1>();
        setup = std::make_unique<TFormSetup>(
            form->BoxSpeed, [f = form.get()] { f->BoxSpeedChange(); }, form->SG, form.get());
        form->FormSetup = setup.get();
    }
    void Destroy()
    {
        setup.reset();
        form.reset();
    }
};

// Points on COM1: instrument 1 + (n-1) % 4 (or `address` for all), channel (n-1) / 4.
void WriteSettings(const std::string &ini, int points, int pauseSec, const std::string &port,
                   int address = 0, int speed = 6)
{
    std::ofstream out(ini);
    out << "[PARAM]\nNum=" << points << "\nPause=" << pauseSec << "\n";
    for (int n = 1; n <= points; ++n)
        out << "COMPribor" << n << "=1\nPribor" << n << "=" << (address ? address : 1 + (n - 1) % 4)
            << "\nChannel" << n << "=" << (n - 1) / 4 << "\n";
    out << "Speed=" << speed << "\n[PORTS]\nCOM1=" << port << "\n";
}

// The time from `t0` (before the application object was made) until the main window is
// exposed, in the order main() follows.
double StartupMs(Clock::time_point t0)
{
    AutomationStartup();
    RegisterExcelServer();
    InstallChartFontSubstitutions();
    Windows w;
    w.Create();
    w.form->show();
    while (!w.form->windowHandle() || !w.form->windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    QCoreApplication::processEvents();
    const double ms = Seconds(Clock::now() - t0) * 1000.0;
    w.Destroy();
    return ms;
}

// Seconds per bare Exchange round trip on an opened port.
double BareExchangeSeconds(int exchanges)
{
    MoreCOM::StopFlag = 0;
    MoreCOM::SetEventHook(QtEventWait);
    MoreCOM::PortIndex = 0;
    if (!MoreCOM::OpenPort()) {
        std::fprintf(stderr, "cannot open COM1\n");
        std::exit(1);
    }
    const int handle = MoreCOM::CurrentHandle;
    const auto t0 = Clock::now();
    for (int i = 0; i < exchanges; ++i) {
        MoreCOM::CurrentHandle = handle;
        std::string buffer = "1;" + std::to_string(i / 4 % 25) + ";";
        if (!MoreCOM::Exchange(buffer, 1 + i % 4, MoreCOM::ReplyTimeout))
            std::fprintf(stderr, "exchange failed: %d\n", MoreCOM::LastError);
    }
    const double s = Seconds(Clock::now() - t0) / exchanges;
    MoreCOM::ClosePort(handle);
    return s;
}

// Seconds per point of whole passes of the run over `points` points, pause 0, measured from
// the end of the first pass to the end of the last of `passes` passes.
double RunSecondsPerPoint(Windows &w, int points, int passes)
{
    Clock::time_point first{}, last{};
    int seen = 0;
    MoreCOM::SetEventHook([&](int fd, MoreCOM::WaitFor what, double deadline) {
        QtEventWait(fd, what, deadline);
        const int n = w.form->SeriesOf(0)->PointCount();
        if (n != seen) {
            seen = n;
            if (n == 1)
                first = Clock::now();
            if (n == passes + 1) {
                last = Clock::now();
                MoreCOM::StopFlag = 1;
            }
        }
    });
    w.form->BtnClearClick();
    w.form->BtnStartClick();
    return Seconds(last - first) / (double(passes) * points);
}

// CPU seconds per wall second while the run waits, measured through the link's event hook:
// from the first wait for which `begin` holds until the first for which `end` holds, the
// run being stopped then. The window is shown (on the offscreen platform).
double RunWaitCpuPerWall(Windows &w, const std::function<bool(int fd, MoreCOM::WaitFor)> &begin,
                         const std::function<bool(int fd, MoreCOM::WaitFor)> &end)
{
    double cpu0 = 0, cpu1 = 0;
    Clock::time_point wall0{}, wall1{};
    bool measuring = false;
    MoreCOM::SetEventHook([&](int fd, MoreCOM::WaitFor what, double deadline) {
        if (!measuring && wall1 == Clock::time_point{} && begin(fd, what)) {
            measuring = true;
            wall0 = Clock::now();
            cpu0 = ProcessCpuSeconds();
        } else if (measuring && end(fd, what)) {
            measuring = false;
            cpu1 = ProcessCpuSeconds();
            wall1 = Clock::now();
            MoreCOM::StopFlag = 1;
            return;
        }
        QtEventWait(fd, what, deadline);
    });
    w.form->show();
    w.form->BtnClearClick();
    w.form->BtnStartClick();
    w.form->hide();
    MoreCOM::SetEventHook(QtEventWait);
    return (cpu1 - cpu0) / Seconds(wall1 - wall0);
}

// The floor for comparison: an idle event loop, woken by nothing but a single-shot timer
// at its end, with the same window shown.
double IdleLoopCpuPerWall(Windows &w, int ms)
{
    w.form->show();
    QCoreApplication::processEvents();
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    const auto wall0 = Clock::now();
    const double cpu0 = ProcessCpuSeconds();
    loop.exec();
    const double ratio = (ProcessCpuSeconds() - cpu0) / Seconds(Clock::now() - wall0);
    w.form->hide();
    return ratio;
}

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const auto t0 = Clock::now();
    QApplication app(argc, argv);

    QTemporaryDir dir;
    const std::string ini = dir.filePath(QStringLiteral("ptk71.ini")).toStdString();
    SetSettingsFilePath(ini);

    std::printf("start-up to main window shown: %.1f ms (target <= 400)\n", StartupMs(t0));

    sim::Simulator sim;
    const std::string port = sim.AddPort(1, {1, 2, 3, 4});

    // Per-point overhead: 100 points, pause 0, the simulator answering at once.
    constexpr int kPoints = 100;
    constexpr int kPasses = 20;
    WriteSettings(ini, kPoints, 0, port);
    Windows w;
    w.Create();
    std::vector<double> ratios;
    double bareBest = 1e9, runBest = 1e9;
    for (int round = 0; round < 3; ++round) {
        const double bare = BareExchangeSeconds(kPoints * kPasses);
        const double run = RunSecondsPerPoint(w, kPoints, kPasses);
        bareBest = std::min(bareBest, bare);
        runBest = std::min(runBest, run);
        ratios.push_back(run / bare);
    }
    std::sort(ratios.begin(), ratios.end());
    std::printf("bare Exchange round trip: %.1f us; run per point: %.1f us (best of 3)\n",
                bareBest * 1e6, runBest * 1e6);
    std::printf("per-point overhead ratio run/Exchange: %.3f (median of 3; target <= 1.2)\n",
                ratios[1]);
    w.Destroy();

    // CPU while waiting: a 5 s pause (from the end of the first pass until the next pass
    // begins), then a silent instrument at 300 baud (its 3.97 s reply wait), then nothing.
    WriteSettings(ini, 1, 5, port);
    w.Create();
    const double pauseCpu = RunWaitCpuPerWall(
        w, [&](int, MoreCOM::WaitFor) { return w.form->SeriesOf(0)->PointCount() == 1; },
        [](int fd, MoreCOM::WaitFor) { return fd >= 0; });
    w.Destroy();
    WriteSettings(ini, 1, 0, port, 9, 0); // nobody answers address 9
    w.Create();
    const double silentCpu = RunWaitCpuPerWall(
        w, [](int fd, MoreCOM::WaitFor what) { return fd >= 0 && what == MoreCOM::WaitFor::Input; },
        [&](int, MoreCOM::WaitFor) { return w.form->SeriesOf(0)->PointCount() == 1; });
    const double idleCpu = IdleLoopCpuPerWall(w, 5000);
    std::printf("CPU s per wall s during a 5 s pause: %.5f (target <= 0.005, goal 0.001)\n",
                pauseCpu);
    std::printf("CPU s per wall s waiting out a silent instrument at 300 baud: %.5f (target <= "
                "0.005, goal 0.001)\n",
                silentCpu);
    std::printf("floor, an idle event loop with the window shown: %.5f CPU s per wall s\n",
                idleCpu);
    w.Destroy();

    MoreCOM::SetEventHook({});
    ReleaseArchive();
    AutomationShutdown();
    return 0;
}

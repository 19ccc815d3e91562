// Paint rate against polling rate: the run with pause 0 polls eight points on a simulated line
// while the main window shows the measurements tab (the chart hidden) and then the graph tab
// (the chart repainted as the passes come in). Prints the passes per second of each, their
// ratio (target: the graph tab visible keeps at least 90 % of the rate), and the chart's
// drawing passes per second. A small harness that prints its figures: each phase needs the
// whole window, a run and the simulator.
//   build/bench/paintrate_bench [seconds per phase] [rounds]
// Runs on the offscreen platform unless QT_QPA_PLATFORM says otherwise (xcb with a display
// measures the real copies to the X server).
#include "automation.h"
#include "canvas.h"
#include "eventwait.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "form1.h"
#include "formsetup.h"
#include "morecom.h"
#include "panel.h"
#include "series.h"
#include "settings.h"
#include "simulator.h"

#include <QApplication>
#include <QScreen>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QWindow>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d)
{
    return std::chrono::duration<double>(d).count();
}

void WriteSettings(const std::string &ini, int points, const std::string &port)
{
    std::ofstream out(ini);
    out << "[PARAM]\nNum=" << points << "\nPause=0\n";
    for (int n = 1; n <= points; ++n)
        out << "COMPribor" << n << "=1\nPribor" << n << "=" << 1 + (n - 1) % 4 << "\nChannel" << n
            << "=" << (n - 1) / 4 << "\n";
    out << "Speed=6\n[PORTS]\nCOM1=" << port << "\n";
}

struct Phase {
    int tab; // 0: measurements (chart hidden), 1: graph
    double passesPerSecond;
    double drawsPerSecond;
    double drawingShare; // part of the phase's wall time spent in the chart's drawing passes
    double cpuMsPerPass; // processor time of the process (simulator included) per pass
};

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// One run through alternating phases: for each phase the tab is switched and, after a short
// settling time, the passes (requests the simulator saw, eight per pass) and the chart's
// drawing passes are counted over `seconds`. The series are full (1501 points each), as after
// the first minutes of a real run, so every drawing pass costs what it costs then.
std::vector<Phase> MeasurePhases(TForm1 &form, const sim::Simulator &sim, double seconds,
                                 int rounds)
{
    std::vector<Phase> phases;
    std::vector<int> tabs;
    for (int r = 0; r < rounds; ++r) {
        tabs.push_back(0);
        tabs.push_back(1);
    }
    constexpr double kSettle = 0.3;
    std::size_t current = 0;
    bool measuring = false;
    Clock::time_point phaseStart = Clock::now();
    int drawsAtStart = 0;
    int requestsAtStart = 0;
    qint64 drawingAtStart = 0;
    double cpuAtStart = 0;
    form.PageControl1->setCurrentIndex(tabs[0]);
    // The run's waits go through the program's own event wait; after each one the phase
    // bookkeeping runs.
    MoreCOM::SetEventHook([&](int fd, MoreCOM::WaitFor what, double deadline) {
        QtEventWait(fd, what, deadline);
        if (current >= tabs.size())
            return;
        const double t = Seconds(Clock::now() - phaseStart);
        if (!measuring && t >= kSettle) {
            measuring = true;
            drawsAtStart = form.Chart->DrawCount();
            requestsAtStart = sim.RequestCount(1);
            drawingAtStart = form.Chart->DrawingNs();
            cpuAtStart = ProcessCpuSeconds();
            phaseStart = Clock::now();
        } else if (measuring && t >= seconds) {
            const double passes = (sim.RequestCount(1) - requestsAtStart) / 8.0;
            const int draws = form.Chart->DrawCount() - drawsAtStart;
            const double drawing = (form.Chart->DrawingNs() - drawingAtStart) * 1e-9;
            const double cpu = ProcessCpuSeconds() - cpuAtStart;
            phases.push_back({tabs[current], passes / t, draws / t, drawing / t,
                              passes > 0 ? cpu * 1000.0 / passes : 0.0});
            measuring = false;
            phaseStart = Clock::now();
            if (++current < tabs.size())
                form.PageControl1->setCurrentIndex(tabs[current]);
            else
                MoreCOM::StopFlag = 1;
        }
    });
    form.BtnClearClick();
    for (int j = 0; j < 8; ++j) {
        TChartSeries *s = form.SeriesOf(j);
        for (int i = 0; i < 1501; ++i)
            s->AppendY(20.0 + j + (i % 50) * 0.1, QString(), s->SeriesColor());
    }
    form.BtnStartClick();
    MoreCOM::SetEventHook(QtEventWait);
    return phases;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0.0 : v[v.size() / 2];
}

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    QApplication app(argc, argv);
    const double seconds = argc > 1 ? std::atof(argv[1]) : 2.0;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;

    QTemporaryDir dir;
    const std::string ini = dir.filePath(QStringLiteral("ptk71.ini")).toStdString();
    SetSettingsFilePath(ini);
    AutomationStartup();
    RegisterExcelServer();
    InstallChartFontSubstitutions();

    sim::Simulator sim;
    const std::string port = sim.AddPort(1, {1, 2, 3, 4});
    WriteSettings(ini, 8, port);

    auto form = std::make_unique<TForm1>();
    auto setup = std::make_unique<TFormSetup>(
        form->BoxSpeed, [f = form.get()] { f->BoxSpeedChange(); }, form->SG, form.get());
    form->FormSetup = setup.get();
    form->show();
    while (!form->windowHandle() || !form->windowHandle()->isExposed())
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents, 5);
    QCoreApplication::processEvents();

    const QScreen *screen = form->screen();
    std::printf("platform %s, screen refresh rate %.1f Hz; 8 points, pause 0, %.1f s per phase\n",
                qPrintable(QGuiApplication::platformName()), screen ? screen->refreshRate() : 0.0,
                seconds);
    std::vector<double> hidden, visible, draws, ratios, shares, cpuRatios;
    const std::vector<Phase> phases = MeasurePhases(*form, sim, seconds, rounds);
    for (std::size_t i = 0; i + 1 < phases.size(); i += 2) {
        const Phase &h = phases[i], &v = phases[i + 1];
        std::printf("round %zu: chart hidden %.1f passes/s (%.3f ms CPU/pass); graph tab %.1f "
                    "passes/s (%.3f ms CPU/pass), %.1f drawings/s taking %.1f %% of the time; "
                    "ratio %.3f\n",
                    i / 2 + 1, h.passesPerSecond, h.cpuMsPerPass, v.passesPerSecond, v.cpuMsPerPass,
                    v.drawsPerSecond, v.drawingShare * 100.0,
                    v.passesPerSecond / h.passesPerSecond);
        hidden.push_back(h.passesPerSecond);
        visible.push_back(v.passesPerSecond);
        draws.push_back(v.drawsPerSecond);
        ratios.push_back(v.passesPerSecond / h.passesPerSecond);
        shares.push_back(v.drawingShare);
        cpuRatios.push_back(h.cpuMsPerPass / v.cpuMsPerPass);
    }
    std::printf("median: hidden %.1f passes/s, graph tab %.1f passes/s, %.1f drawings/s taking "
                "%.1f %% of the time\n",
                Median(hidden), Median(visible), Median(draws), Median(shares) * 100.0);
    std::printf("polling rate with the graph tab visible / hidden: %.3f (median of the rounds' "
                "ratios; target >= 0.90); CPU per pass hidden / visible: %.3f\n",
                Median(ratios), Median(cpuRatios));

    setup.reset();
    form.reset();
    MoreCOM::SetEventHook({});
    ReleaseArchive();
    AutomationShutdown();
    return 0;
}

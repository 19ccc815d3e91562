// Paint rate against polling rate: the run with pause 0 polls eight points on a simulated line
// while the main window shows, in rounds, each of its three tabs: the archiving tab (chart and
// readings grid hidden: the baseline; archiving itself stays off), the measurements tab (the
// readings grid repainted every pass) and the graph tab (the chart repainted as the passes come
// in). Each round runs the three phases, in an order that rotates from round to round. Prints,
// per phase, the medians of the passes per second, the processor time per pass, the chart's
// drawings per second, their share of the time and that of the window's repaints (which include
// them), and the median of the rounds' ratios of the graph tab's rate to the archiving tab's
// (target: at least 0.90) and to the measurements tab's. A small harness that prints its
// figures: each phase needs the whole window, a run and the simulator.
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
#include <QCheckBox>
#include <QElapsedTimer>
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

// The application, timing the window's repaints: an update request paints whatever is dirty
// (the chart's drawing pass included) and hands the result to the window system.
class TimedApplication : public QApplication
{
  public:
    using QApplication::QApplication;

    qint64 UpdateNs() const { return UpdateNs_; }

    bool notify(QObject *receiver, QEvent *event) override
    {
        if (event->type() != QEvent::UpdateRequest || InUpdate_)
            return QApplication::notify(receiver, event);
        InUpdate_ = true;
        QElapsedTimer timer;
        timer.start();
        const bool done = QApplication::notify(receiver, event);
        UpdateNs_ += timer.nsecsElapsed();
        InUpdate_ = false;
        return done;
    }

  private:
    qint64 UpdateNs_ = 0;
    bool InUpdate_ = false;
};

// The main window's tabs, in their order.
enum Tab { kMeasurements = 0, kGraph = 1, kArchiving = 2, kTabs = 3 };

const char *const kTabNames[kTabs] = {"measurements", "graph", "archiving"};

struct Phase {
    int tab = kMeasurements;
    double passesPerSecond = 0;
    double drawsPerSecond = 0;
    double drawingShare = 0; // part of the phase's wall time spent in the chart's drawing passes
    double updateShare = 0;  // part spent repainting the window (the drawing passes included)
    double cpuMsPerPass = 0; // processor time of the process (simulator included) per pass
};

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// One run through the rounds: each round shows every tab once (the order rotates from round to
// round, so no tab always follows the same one); for each phase the tab is switched and, after
// a short settling time, the passes (requests the simulator saw, eight per pass) and the
// chart's drawing passes are counted over `seconds`. The series are full (1501 points each), as
// after the first minutes of a real run, so every drawing pass costs what it costs then.
// Returns the phases in the order they ran.
std::vector<Phase> MeasurePhases(const TimedApplication &app, TForm1 &form,
                                 const sim::Simulator &sim, double seconds, int rounds)
{
    std::vector<Phase> phases;
    std::vector<int> tabs;
    const int order[kTabs] = {kArchiving, kMeasurements, kGraph};
    for (int r = 0; r < rounds; ++r)
        for (int k = 0; k < kTabs; ++k)
            tabs.push_back(order[(r + k) % kTabs]);
    constexpr double kSettle = 0.3;
    std::size_t current = 0;
    bool measuring = false;
    Clock::time_point phaseStart = Clock::now();
    int drawsAtStart = 0;
    int requestsAtStart = 0;
    qint64 drawingAtStart = 0;
    qint64 updateAtStart = 0;
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
            updateAtStart = app.UpdateNs();
            cpuAtStart = ProcessCpuSeconds();
            phaseStart = Clock::now();
        } else if (measuring && t >= seconds) {
            const double passes = (sim.RequestCount(1) - requestsAtStart) / 8.0;
            const int draws = form.Chart->DrawCount() - drawsAtStart;
            const double drawing = (form.Chart->DrawingNs() - drawingAtStart) * 1e-9;
            const double update = (app.UpdateNs() - updateAtStart) * 1e-9;
            const double cpu = ProcessCpuSeconds() - cpuAtStart;
            phases.push_back({tabs[current], passes / t, draws / t, drawing / t, update / t,
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
    if (v.empty())
        return 0.0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2.0;
}

} // namespace

int main(int argc, char **argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    if (!qEnvironmentVariableIsSet("QT_ENABLE_HIGHDPI_SCALING"))
        qputenv("QT_ENABLE_HIGHDPI_SCALING", "0");
    TimedApplication app(argc, argv);
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

    if (form->EnExcel->isChecked()) {
        std::fprintf(stderr, "archiving is on; the archiving tab would not be a baseline\n");
        return 1;
    }
    double load[3] = {};
    const bool haveLoad = getloadavg(load, 3) == 3;
    const QScreen *screen = form->screen();
    std::printf("platform %s, screen refresh rate %.1f Hz; 8 points, pause 0, %.1f s per phase, "
                "%d rounds; load average %.2f %.2f %.2f\n",
                qPrintable(QGuiApplication::platformName()), screen ? screen->refreshRate() : 0.0,
                seconds, rounds, haveLoad ? load[0] : -1.0, haveLoad ? load[1] : -1.0,
                haveLoad ? load[2] : -1.0);
    const std::vector<Phase> phases = MeasurePhases(app, *form, sim, seconds, rounds);

    // Per tab, the rounds' figures; per round, the graph tab's rate against the other two tabs'
    // (rates measured a few seconds apart, so a slow spell of the machine spoils one round only).
    std::vector<double> rate[kTabs], cpu[kTabs], draws[kTabs], share[kTabs], update[kTabs];
    std::vector<double> toArchiving, toMeasurements, cpuToArchiving;
    for (std::size_t i = 0; i + kTabs <= phases.size(); i += kTabs) {
        Phase round[kTabs];
        for (int k = 0; k < kTabs; ++k)
            round[phases[i + k].tab] = phases[i + k];
        std::printf("round %2zu:", i / kTabs + 1);
        for (int k = 0; k < kTabs; ++k) {
            const Phase &p = phases[i + k];
            std::printf(" %s %.0f/s %.3f ms CPU %.0f dr/s %.1f %% drawing %.1f %% repaint;",
                        kTabNames[p.tab], p.passesPerSecond, p.cpuMsPerPass, p.drawsPerSecond,
                        p.drawingShare * 100.0, p.updateShare * 100.0);
            rate[p.tab].push_back(p.passesPerSecond);
            cpu[p.tab].push_back(p.cpuMsPerPass);
            draws[p.tab].push_back(p.drawsPerSecond);
            share[p.tab].push_back(p.drawingShare);
            update[p.tab].push_back(p.updateShare);
        }
        const double g = round[kGraph].passesPerSecond;
        const double a = round[kArchiving].passesPerSecond;
        const double m = round[kMeasurements].passesPerSecond;
        if (a > 0 && m > 0) {
            toArchiving.push_back(g / a);
            toMeasurements.push_back(g / m);
            std::printf(" graph/archiving %.3f, graph/measurements %.3f", g / a, g / m);
        }
        if (round[kGraph].cpuMsPerPass > 0)
            cpuToArchiving.push_back(round[kArchiving].cpuMsPerPass / round[kGraph].cpuMsPerPass);
        std::printf("\n");
    }
    std::printf("medians over the rounds:\n");
    std::printf("  %-13s %10s %12s %11s %14s %14s\n", "tab", "passes/s", "CPU ms/pass",
                "drawings/s", "drawing share", "repaint share");
    for (const int tab : {kArchiving, kMeasurements, kGraph})
        std::printf("  %-13s %10.1f %12.3f %11.1f %13.1f%% %13.1f%%\n", kTabNames[tab],
                    Median(rate[tab]), Median(cpu[tab]), Median(draws[tab]),
                    Median(share[tab]) * 100.0, Median(update[tab]) * 100.0);
    std::printf("graph / archiving tab: %.3f (median of the rounds' ratios; target >= 0.90)\n",
                Median(toArchiving));
    std::printf("graph / measurements tab: %.3f (median of the rounds' ratios)\n",
                Median(toMeasurements));
    std::printf("CPU per pass archiving / graph tab: %.3f (median of the rounds' ratios; what the "
                "rate ratio would be if the process's processor time bounded the passes)\n",
                Median(cpuToArchiving));

    setup.reset();
    form.reset();
    MoreCOM::SetEventHook({});
    ReleaseArchive();
    AutomationShutdown();
    return 0;
}

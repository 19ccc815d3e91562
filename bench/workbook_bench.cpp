// The workbook server on large workbooks, as the archive drives it. Not a test: a harness that
// prints figures and ratios.
//
// For a workbook of 40,000 rows x 253 points and one of 65,500 rows x 9 (written here with the
// writer library, whose time is the baseline of "writing the same sheet from scratch"):
//   1. opening, up to the first pass written: time on the calling (user-interface) thread and
//      the process's peak memory (each case runs in a fresh process of its own);
//   2. a background save of the continued workbook, against the writer library's time;
//   3. the longest stretch the event loop could not run, over open, passes, two saves and the
//      close (a 1 ms timer on the user-interface thread; the real program's figure is taken with
//      shared/tools/uistall.py, see bench/README.md);
//   4. the journal's cost per 8-point pass on the user-interface thread: the same writes to a
//      workbook with a journal and to one without, per pass.
//
// Usage: workbook_bench [--keep DIR]      (the workbooks are written to DIR and kept)
//        workbook_bench --make FILE ROWS POINTS   (only writes such a workbook)
#include "automation.h"
#include "document.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "settings.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <xlsxwriter.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace
{

using Clock = std::chrono::steady_clock;

double Since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

double Reading(int row, int k)
{
    return 20.0 + 0.001 * row + 0.37 * k + (row % 7) * 0.125;
}

// The workbook as the archive leaves a full run: counter, header, `rows` passes of `points`.
double ProcessCpu()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

// Returns the processor time the writer library took (wall time varies with the load of the
// shared machine; processor time much less).
double WriteBook(const std::string &path, int rows, int points)
{
    const double start = ProcessCpu();
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *wb = workbook_new_opt(path.c_str(), &options);
    lxw_worksheet *ws = workbook_add_worksheet(wb, "Sheet1");
    worksheet_write_number(ws, 1, 1, rows + 4, nullptr);
    for (int k = 1; k <= points; ++k) {
        const std::string header = "Точка " + std::to_string(k);
        worksheet_write_string(ws, 3, static_cast<lxw_col_t>(k), header.c_str(), nullptr);
    }
    char time[16];
    for (int r = 5; r < rows + 5; ++r) {
        const int s = r % 86400;
        std::snprintf(time, sizeof time, "%02d:%02d:%02d", s / 3600, (s / 60) % 60, s % 60);
        worksheet_write_string(ws, static_cast<lxw_row_t>(r - 1), 0, time, nullptr);
        for (int k = 1; k <= points; ++k)
            worksheet_write_number(ws, static_cast<lxw_row_t>(r - 1), static_cast<lxw_col_t>(k),
                                   Reading(r, k), nullptr);
    }
    if (workbook_close(wb) != LXW_NO_ERROR) {
        std::fprintf(stderr, "workbook_bench: cannot write %s\n", path.c_str());
        std::exit(1);
    }
    return ProcessCpu() - start;
}

// Measures the longest time between two runs of the event loop.
class StallMeter
{
  public:
    StallMeter()
    {
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            const double gap = clock_.nsecsElapsed() / 1e6;
            worst_ = std::max(worst_, gap);
            clock_.restart();
        });
        clock_.start();
        timer_.start();
    }
    double Worst() const { return worst_; }
    void Reset()
    {
        worst_ = 0;
        clock_.restart();
    }

  private:
    QTimer timer_;
    QElapsedTimer clock_;
    double worst_ = 0;
};

// The child: open, passes, saves, close, through the archive, with the figures on stdout.
int RunCase(const QString &file, int points)
{
    AutomationStartup();
    RegisterExcelServer();
    ResetArchiveState();
    NumPoints = points;
    double clock = 1000;
    QStringList readings;
    for (int k = 1; k <= points; ++k)
        readings << QStringLiteral("    %1.5").arg(k);
    ArchiveHost host;
    host.readingText = [&](int k) { return readings.value(k - 1); };
    host.enExcel = [] { return true; };
    host.fileName = [&] { return file; };
    host.excelVisible = [] { return false; };
    host.setCaption = [](const QString &) {};
    host.processEvents = [] { QCoreApplication::processEvents(); };
    host.monotonicDays = [&] { return clock; };
    SetArchiveHost(host);

    StallMeter meter;
    QCoreApplication::processEvents();
    meter.Reset();
    const auto open = Clock::now();
    OpenExcel();
    SaveExcel();
    const double openSeconds = Since(open);

    if (!ArchiveOpen || ArchiveFailed) {
        std::fprintf(stderr, "workbook_bench: the archive failed on %s\n", qPrintable(file));
        return 1;
    }
    // Passes with the event loop running between them, then a pass that saves; the save runs in
    // the background while passes go on.
    auto pauseFor = [](int ms) {
        QElapsedTimer t;
        t.start();
        while (t.elapsed() < ms)
            QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    };
    double saveSeconds = 0;
    double saveCpu = 0;
    for (int save = 0; save < 2; ++save) {
        const std::uint64_t before = workbook::FinishedSaves();
        for (int i = 0; i < 5; ++i) {
            SaveExcel();
            pauseFor(20);
        }
        clock += 0.01;
        SaveExcel();
        QElapsedTimer waited;
        waited.start();
        while (workbook::FinishedSaves() == before && waited.elapsed() < 600000) {
            SaveExcel();
            pauseFor(20);
        }
        saveSeconds = std::max(saveSeconds, workbook::LastFinishedSave().seconds);
        saveCpu = std::max(saveCpu, workbook::LastFinishedSave().cpuSeconds);
    }
    CloseExcel();
    const double worst = meter.Worst();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf(
        "open to first pass %.1f ms on the UI thread, save %.3f s (cpu %.3f s), worst stall "
        "%.1f ms, peak RSS %.0f MB",
        openSeconds * 1e3, saveSeconds, saveCpu, worst, usage.ru_maxrss / 1024.0);
    ReleaseArchive();
    AutomationShutdown();
    return ArchiveFailed ? 1 : 0;
}

// The journal's cost: a pass of 8 points written to a workbook with a journal and to a new one
// (no file, so no journal), per pass, medians of 20 rounds of 200 passes.
void JournalCost(const QString &file)
{
    std::string error;
    auto journaled = workbook::Document::Open(file.toStdString(), &error);
    if (!journaled) {
        std::fprintf(stderr, "workbook_bench: %s\n", error.c_str());
        return;
    }
    auto plain = workbook::Document::New();
    auto pass = [](workbook::Document &doc, int row) {
        const std::uint32_t sheet = doc.Sheets()[0].sheetId;
        doc.SetNumber(sheet, 2, 2, row);
        doc.SetText(sheet, row, 1, "14:05:07");
        for (int c = 2; c <= 9; ++c) {
            doc.SetNumber(sheet, row, c, row + c * 0.5);
            doc.RemoveNote(sheet, row, c);
        }
    };
    std::vector<double> with;
    std::vector<double> without;
    int row = 70000;
    for (int round = 0; round < 20; ++round) {
        for (workbook::Document *doc : {journaled.get(), plain.get()}) {
            const auto start = Clock::now();
            for (int i = 0; i < 200; ++i)
                pass(*doc, row + i);
            (doc == plain.get() ? without : with).push_back(Since(start) / 200);
        }
        row += 200;
    }
    std::sort(with.begin(), with.end());
    std::sort(without.begin(), without.end());
    const double a = with[with.size() / 2] * 1e6;
    const double b = without[without.size() / 2] * 1e6;
    std::printf("journal: pass with journal %.1f us, without %.1f us, journal cost %.1f us per "
                "8-point pass (target <= 50)\n",
                a, b, a - b);
    journaled->Discard();
}

} // namespace

int main(int argc, char **argv)
{
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--case") == 0)
        return RunCase(QString::fromLocal8Bit(argv[2]), std::atoi(argv[3]));
    if (argc == 5 && std::strcmp(argv[1], "--make") == 0) {
        WriteBook(argv[2], std::atoi(argv[3]), std::atoi(argv[4]));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--journal") == 0) {
        JournalCost(QString::fromLocal8Bit(argv[2]));
        return 0;
    }

    QTemporaryDir temp;
    QString dir = temp.path();
    if (argc == 3 && std::strcmp(argv[1], "--keep") == 0)
        dir = QString::fromLocal8Bit(argv[2]);
    struct Case {
        const char *name;
        int rows;
        int points;
    };
    for (const Case &c : {Case{"40000x253", 40000, 253}, Case{"65500x9", 65500, 8}}) {
        const QString file = dir + QStringLiteral("/%1.xlsx").arg(QString::fromLatin1(c.name));
        QFile::remove(file);
        const double written = WriteBook(file.toStdString(), c.rows, c.points);
        std::printf(
            "%s: the writer library writes the sheet in %.3f s of processor time (%.1f MB)\n",
            c.name, written, QFileInfo(file).size() / 1e6);
        std::fflush(stdout);
        QProcess child;
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(),
                    {QStringLiteral("--case"), file, QString::number(c.points)});
        child.waitForFinished(-1);
        const QString out = QString::fromUtf8(child.readAllStandardOutput()).trimmed();
        const QRegularExpressionMatch save =
            QRegularExpression(QStringLiteral("cpu ([0-9.]+) s")).match(out);
        std::printf(
            "%s: %s; background save / writer library, processor time = %.2f (target <= 0.5)\n",
            c.name, qPrintable(out),
            save.hasMatch() ? save.captured(1).toDouble() / written : -1.0);
        std::fflush(stdout);
        if (c.points == 8) {
            QProcess journal;
            journal.setProcessChannelMode(QProcess::ForwardedChannels);
            journal.start(QCoreApplication::applicationFilePath(),
                          {QStringLiteral("--journal"), file});
            journal.waitForFinished(-1);
        }
    }
    return 0;
}

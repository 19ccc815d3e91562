// The measurement run: Start's click handler opens the ports of the point table, polls
// every point pass after pass, writes readings or error texts into the readings grid,
// archives and plots each complete pass, waits out the pause and cleans up on every way
// out. It runs on the user-interface thread and keeps the window alive by waiting in the
// event loop (through the link's event hook) wherever it waits.
//
// A port whose device vanishes during the run (an unplugged adapter) is closed; each later
// exchange on it first tries once to open the same path again, silently: its points show
// the opening failure's text until that works, and polling resumes by itself. What became
// of such a port goes to standard error, once per change.
#include "form1.h"

#include "excelarchive.h"
#include "exchange.h"
#include "lineseries.h"
#include "morecom.h"
#include "panel.h"
#include "settings.h"
#include "textgrid.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <string>

namespace
{

/// Length of one second in days, as the pause counts it.
constexpr double kSecondInDays = 1.1574e-5;
/// Only the first eight points are plotted.
constexpr int kPlottedPoints = 8;
/// A series holding more than this many points loses its oldest before the next append.
constexpr int kMaxSeriesPoints = 1500;
/// Value plotted for a grid text that is not a number.
constexpr double kNotANumber = -10000.0;

const QString kReadingPrefix = QStringLiteral("    ");
const QString kInvalidReply = QStringLiteral("   Ошибка");

// Closes every open port of the port table and empties it.
void CloseAllPorts()
{
    for (MoreCOM::PortEntry &entry : MoreCOM::PortTable) {
        if (entry.open)
            MoreCOM::ClosePort(entry.handle);
        entry = MoreCOM::PortEntry{};
    }
}

void Report(const std::string &line)
{
    std::fprintf(stderr, "ptk71: %s\n", line.c_str());
}

std::string PortName(int index)
{
    return "COM" + std::to_string(index + 1) + " (" + MoreCOM::PortPath(index + 1) + ")";
}

// Closes port `index`, whose device vanished during an exchange.
void LosePort(int index, std::string &reported)
{
    MoreCOM::PortEntry &entry = MoreCOM::PortTable[index];
    MoreCOM::ClosePort(entry.handle);
    entry = MoreCOM::PortEntry{};
    reported = PortName(index) + ": device gone; opening it again at each exchange";
    Report(reported);
}

// One attempt to open a lost port again with the run's settings. A failure is reported
// only when its reason differs from the last one reported.
bool ReopenPort(int index, std::string &reported)
{
    MoreCOM::PortIndex = index;
    if (!MoreCOM::OpenPort()) {
        if (MoreCOM::OpenFailureReason != reported) {
            reported = MoreCOM::OpenFailureReason;
            Report(reported);
        }
        return false;
    }
    MoreCOM::PortTable[index].handle = MoreCOM::CurrentHandle;
    MoreCOM::PortTable[index].open = true;
    reported.clear();
    Report(PortName(index) + ": open again, polling resumes");
    return true;
}

} // namespace

void TForm1::BtnStopClick()
{
    MoreCOM::StopFlag = 1;
}

void TForm1::BtnStartClick()
{
    // Start is disabled during a run; a call from code while one is active must not nest.
    if (runActive_)
        return;
    runActive_ = true;

    // Cleanup runs on every way out, also when something throws.
    struct Cleanup {
        TForm1 *form;
        ~Cleanup()
        {
            CloseAllPorts();
            form->CloseExcel();
            form->EnDis(true);
            form->runActive_ = false;
        }
    } cleanup{this};

    MoreCOM::StopFlag = 0;
    for (MoreCOM::PortEntry &entry : MoreCOM::PortTable)
        entry = MoreCOM::PortEntry{};
    // Read at every Start, so that a changed "PORTS" section or a new simulator counts
    // without a restart of the program.
    LoadPortPaths();

    // Open each distinct COM port of the table once.
    for (int k = 0; k < NumPoints; ++k) {
        const int index = PointTable[k].Com - 1;
        if (index >= 0 && MoreCOM::PortTable[index].open)
            continue;
        MoreCOM::PortIndex = index;
        bool opened = false;
        if (index >= 0) {
            opened = MoreCOM::OpenPort();
        } else {
            MoreCOM::LastError = MoreCOM::ErrCannotOpen;
            MoreCOM::OpenFailureReason = "COM" + std::to_string(index + 1) + ": no such port";
        }
        if (!opened) {
            // The dialog keeps its fixed text; the reason goes to standard error.
            Report(MoreCOM::OpenFailureReason);
            ShowErrorDialog(QString::fromStdString(MoreCOM::ErrorText(MoreCOM::LastError)));
            return;
        }
        MoreCOM::PortTable[index].handle = MoreCOM::CurrentHandle;
        MoreCOM::PortTable[index].open = true;
    }

    EnDis(false);
    if (MoreCOM::StopFlag != 0)
        return;
    OpenExcel();
    runPasses();
}

void TForm1::runPasses()
{
    // For each port lost during the run: what was last reported about it.
    std::array<std::string, MoreCOM::PortTable.size()> reported;
    for (;;) {
        bool exchanged = false;
        for (int k = 0; k < NumPoints; ++k) {
            const PointEntry point = PointTable[k];
            const int row = k + 1;
            const int index = point.Com - 1;
            if (!MoreCOM::PortTable[index].open && !ReopenPort(index, reported[index])) {
                // No exchange: the events are dispatched as the exchange would before sending.
                MoreCOM::ProcessEvents();
                if (MoreCOM::StopFlag != 0)
                    return;
                SG->SetCells(1, row,
                             QString::fromStdString(MoreCOM::ErrorText(MoreCOM::LastError)));
                continue;
            }
            exchanged = true;
            std::string buffer = "1;" + std::to_string(point.Channel) + ";";
            MoreCOM::CurrentHandle = MoreCOM::PortTable[index].handle;
            const bool ok = MoreCOM::Exchange(buffer, point.Address, MoreCOM::ReplyTimeout);
            if (!ok && MoreCOM::DeviceGone)
                LosePort(index, reported[index]);
            // A stop ends the run here: this cell keeps its text and the unfinished
            // pass is neither archived nor plotted.
            if (MoreCOM::StopFlag != 0)
                return;
            if (!ok) {
                SG->SetCells(1, row,
                             QString::fromStdString(MoreCOM::ErrorText(MoreCOM::LastError)));
            } else if (MoreCOM::ParseReply(buffer, point.Address, 1)) {
                SG->SetCells(1, row,
                             kReadingPrefix + QString::fromStdString(MoreCOM::ReplyFields[1]));
            } else {
                SG->SetCells(1, row, kInvalidReply);
            }
        }
        SaveExcel();
        feedChart();
        // A pass on nothing but absent ports takes no time: it lasts at least one reply
        // time-out, so that a run on unplugged lines does not race through passes.
        pause(exchanged ? 0.0 : MoreCOM::ReplyTimeout);
        if (MoreCOM::StopFlag != 0)
            return;
    }
}

void TForm1::feedChart()
{
    const int n = std::min<int>(NumPoints, kPlottedPoints);
    for (int j = 0; j < n; ++j) {
        TChartSeries *s = SeriesOf(j);
        if (s->PointCount() > kMaxSeriesPoints) {
            s->DeletePoint(0);
            s->XValues()->Renumber();
        }
        double value = 0.0;
        if (!ParseRealText(SG->Cells(1, j + 1), value))
            value = kNotANumber;
        s->AppendY(value, QString(), s->SeriesColor());
    }
}

void TForm1::pause(double atLeastDays)
{
    const double start = MoreCOM::MonotonicDays();
    const double end = start + std::max(PauseSec * kSecondInDays, atLeastDays);
    // Each wait sleeps in the event loop until an event or the end of the pause: Stop and
    // the window are served at once, and an idle pause costs no CPU.
    while (MoreCOM::MonotonicDays() < end && MoreCOM::StopFlag == 0)
        MoreCOM::WaitForEvent(MoreCOM::NoHandle, MoreCOM::WaitFor::Events, end);
}

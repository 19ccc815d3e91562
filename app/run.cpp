// The measurement run: Start's click handler opens the ports of the point table, polls
// every point pass after pass, writes readings or error texts into the readings grid,
// archives and plots each complete pass, waits out the pause and cleans up on every way
// out. It runs on the user-interface thread and keeps the window alive by dispatching
// pending events in every waiting loop.
#include "form1.h"

#include "excelarchive.h"
#include "exchange.h"
#include "lineseries.h"
#include "morecom.h"
#include "panel.h"
#include "settings.h"
#include "textgrid.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
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
        }
        if (!opened) {
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
    for (;;) {
        for (int k = 0; k < NumPoints; ++k) {
            const PointEntry point = PointTable[k];
            const int row = k + 1;
            std::string buffer = "1;" + std::to_string(point.Channel) + ";";
            MoreCOM::CurrentHandle = MoreCOM::PortTable[point.Com - 1].handle;
            const bool ok = MoreCOM::Exchange(buffer, point.Address, MoreCOM::ReplyTimeout);
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
        pause();
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

void TForm1::pause()
{
    const double start = MoreCOM::MonotonicDays();
    const double end = start + PauseSec * kSecondInDays;
    // The repeating 1 ms timer bounds each wait: a cycle with pending events handles them
    // and returns at once; an idle cycle sleeps in the event dispatcher until the next event
    // or the next tick, so the pause does not burn a CPU core.
    wakeTimer_->start(1);
    while (MoreCOM::MonotonicDays() < end && MoreCOM::StopFlag == 0)
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
    wakeTimer_->stop();
}

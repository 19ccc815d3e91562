// The run on real-line troubles: late replies, a changed port mapping, an adapter
// unplugged and plugged in again within a run.
#include "apptestutil.h"

#include "exchange.h"

#include <QElapsedTimer>
#include <cstdio>
#include <unistd.h>

namespace
{

const QString kNoReply = QStringLiteral("Нет ответа");
const QString kCannotOpen = QStringLiteral("Нельзя открыть   COM-порт");

// Points a symbolic link (a stable name, as in /dev/serial/by-id) at `target`, atomically.
void PointLink(const std::string &link, const std::string &target)
{
    const std::string tmp = link + ".new";
    unlink(tmp.c_str());
    ASSERT_EQ(symlink(target.c_str(), tmp.c_str()), 0);
    ASSERT_EQ(rename(tmp.c_str(), link.c_str()), 0);
}

} // namespace

// Every third request of the instrument is answered shortly after its time-out. Each late
// reply is thrown away: no point ever shows the other channel's value.
TEST_F(AppTest, ALateReplyNeverBecomesAnotherPointsReading)
{
    const std::string path = sim.AddPort(1, {1});
    sim.SetReading(1, 1, 0, "10");
    sim.SetReading(1, 1, 1, "11");
    sim::Behaviour late;
    // Time-out 1 s, so G = 0.25 s; the late replies come about G/2 after the time-out,
    // which leaves room for scheduling delays either way.
    late.lateMs = 1125;
    late.faultEvery = 3;
    sim.SetBehaviour(1, 1, late);
    WriteSettings({{1, 1, 0}, {1, 1, 1}}, 0, {{1, path}});
    CreateWindows(1.0);

    ASSERT_TRUE(RunUntil([&] { return Points(0) >= 4; }, 20000));
    int failures = 0;
    for (int j = 0; j < 2; ++j) {
        TChartSeries *s = form->SeriesOf(j);
        for (int i = 0; i < s->PointCount(); ++i) {
            const double y = s->YValueAt(i);
            failures += y == -10000.0;
            EXPECT_TRUE(y == 10.0 + j || y == -10000.0)
                << "point " << j << " pass " << i << ": " << y;
        }
    }
    EXPECT_GE(failures, 2); // requests 3 and 6 (a stop may leave more passes)
    EXPECT_TRUE(IdleAndClosed());
}

// The "PORTS" section is read at every Start: a new mapping needs no restart, and the
// reason why a port failed goes to standard error while the dialog keeps its text.
TEST_F(AppTest, TheMappingIsReadAtEveryStart)
{
    const std::string first = sim.AddPort(1, {1});
    const std::string second = sim.AddPort(2, {1});
    sim.SetReading(1, 1, 0, "1");
    sim.SetReading(2, 1, 0, "2");
    WriteSettings({{1, 1, 0}}, 0, {{1, first}});
    CreateWindows();
    ASSERT_TRUE(RunUntil([&] { return Points(0) >= 1; }));
    EXPECT_EQ(Cell(1), QStringLiteral("    1"));

    // A run does many passes before the check sees the first one: wait for one more.
    const int before = Points(0);
    WriteSettings({{1, 1, 0}}, 0, {{1, second}});
    ASSERT_TRUE(RunUntil([&] { return Points(0) > before; }));
    EXPECT_EQ(Cell(1), QStringLiteral("    2"));

    WriteSettings({{1, 1, 0}}, 0, {{1, "/nonexistent/ttyUSB4"}});
    QString shown;
    form->ShowErrorDialog = [&](const QString &text) { shown = text; };
    ::testing::internal::CaptureStderr();
    form->BtnStartClick();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(shown, kCannotOpen);
    EXPECT_NE(err.find("ptk71: COM1 (/nonexistent/ttyUSB4): cannot open: No such file"),
              std::string::npos)
        << err;
    EXPECT_TRUE(IdleAndClosed());
}

// COM1 is unplugged during the run and comes back under the same stable name: its point
// shows the opening failure meanwhile, COM2 is polled as fast as before, and polling of
// COM1 resumes by itself.
TEST_F(AppTest, UnplugAndReplugWithinARun)
{
    const std::string link = iniPath_ + ".usb-Instrument-if00";
    PointLink(link, sim.AddPort(1, {1}));
    sim.AddPort(2, {2});
    sim.SetReading(1, 1, 0, "5");
    sim.SetReading(2, 2, 0, "7");
    WriteSettings({{1, 1, 0}, {2, 2, 0}}, 0, {{1, link}, {2, sim.SlavePath(2)}});
    CreateWindows(1.0);

    int stage = 0;
    int passesAtUnplug = 0;
    int com2AtUnplug = 0;
    int passesWhileAbsent = 0;
    qint64 absentMs = 0;
    QElapsedTimer outage;
    ::testing::internal::CaptureStderr();
    const bool finished = RunUntil(
        [&] {
            switch (stage) {
            case 0:
                if (Points(0) < 3)
                    return false;
                // Pulled: the device and its stable name go (the pseudo-terminal's number
                // may at once be taken by another process).
                sim.Unplug(1);
                unlink(link.c_str());
                passesAtUnplug = Points(0);
                com2AtUnplug = sim.RequestCount(2, 2);
                stage = 1;
                return false;
            case 1:
                if (Cell(1) != kCannotOpen)
                    return false;
                outage.start();
                passesAtUnplug = Points(0);
                stage = 2;
                return false;
            case 2:
                if (Points(0) < passesAtUnplug + 10)
                    return false;
                absentMs = outage.elapsed();
                passesWhileAbsent = Points(0) - passesAtUnplug;
                PointLink(link, sim.Replug(1));
                stage = 3;
                return false;
            default:
                return Cell(1) == QStringLiteral("    5");
            }
        },
        15000);
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_TRUE(finished) << "stage " << stage;
    EXPECT_GE(passesWhileAbsent, 10);
    // Every pass polled COM2; an attempt on the absent device costs no reply time-out.
    EXPECT_GT(sim.RequestCount(2, 2), com2AtUnplug + 10);
    EXPECT_LT(absentMs, 1000) << "10 passes with COM1 absent";
    EXPECT_EQ(Cell(2), QStringLiteral("    7"));
    EXPECT_NE(err.find("COM1 (" + link + "): device gone"), std::string::npos) << err;
    EXPECT_NE(err.find("COM1 (" + link + "): open again"), std::string::npos) << err;
    EXPECT_TRUE(IdleAndClosed());
    unlink(link.c_str());
}

// With every port of the run absent, a pass still takes one reply time-out instead of
// racing through thousands of error rows.
TEST_F(AppTest, PassesOnAbsentPortsOnlyDoNotRace)
{
    const std::string link = iniPath_ + ".usb-Instrument-if00";
    PointLink(link, sim.AddPort(1, {1}));
    WriteSettings({{1, 1, 0}}, 0, {{1, link}});
    CreateWindows(0.1);
    QElapsedTimer clock;
    int passesAtStart = -1;
    ::testing::internal::CaptureStderr();
    ASSERT_TRUE(RunUntil([&] {
        if (passesAtStart < 0) {
            if (Points(0) < 1)
                return false;
            sim.Unplug(1);
            unlink(link.c_str());
            passesAtStart = Points(0);
            clock.start();
        }
        return clock.elapsed() >= 500;
    }));
    ::testing::internal::GetCapturedStderr();
    EXPECT_LE(Points(0) - passesAtStart, 7);
    EXPECT_EQ(Cell(1), kCannotOpen);
}

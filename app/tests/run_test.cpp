// The measurement run against simulated instruments on pseudo-terminals.
#include "apptestutil.h"

#include "automation.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "exchange.h"
#include "series.h"
#include "save.h"

#include <QApplication>
#include <QLineEdit>
#include <QMessageBox>
#include <ctime>

namespace
{

const QString kInvalid = QStringLiteral("   Ошибка");
const QString kNoReply = QStringLiteral("Нет ответа");

double ProcessCpuSeconds()
{
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

} // namespace

// Three points on one line share one opened port, which is closed at the end; a reading
// reaches the grid with four leading blanks and the series as a number.
TEST_F(AppTest, PointsOnOnePortShareOneOpeningAndReadingsReachGridAndChart)
{
    const std::string path = sim.AddPort(1, {1, 2});
    ASSERT_FALSE(path.empty());
    sim.SetReading(1, 1, 0, "23.5");
    sim.SetReading(1, 1, 3, "-7");
    sim.SetReading(1, 2, 0, "0.125");
    WriteSettings({{1, 1, 0}, {1, 1, 3}, {1, 2, 0}}, 0, {{1, path}});
    CreateWindows();

    // The simulator keeps a descriptor of its own on the line.
    const int simulatorOwn = DescriptorsOpenOn(path);
    int maxOpen = 0;
    int openEntries = 0;
    ASSERT_TRUE(RunUntil([&] {
        maxOpen = std::max(maxOpen, DescriptorsOpenOn(path));
        openEntries = 0;
        for (const MoreCOM::PortEntry &e : MoreCOM::PortTable)
            openEntries += e.open ? 1 : 0;
        return Points(0) >= 3;
    }));

    EXPECT_EQ(maxOpen, simulatorOwn + 1);
    EXPECT_EQ(openEntries, 1);
    EXPECT_EQ(DescriptorsOpenOn(path), simulatorOwn);
    EXPECT_TRUE(IdleAndClosed());

    // The reply "!1;23.5;16959" CR for address 1 channel 0.
    EXPECT_EQ(Cell(1), QStringLiteral("    23.5"));
    EXPECT_EQ(Cell(2), QStringLiteral("    -7"));
    EXPECT_EQ(Cell(3), QStringLiteral("    0.125"));
    EXPECT_DOUBLE_EQ(LastY(0), 23.5);
    EXPECT_DOUBLE_EQ(LastY(1), -7.0);
    EXPECT_DOUBLE_EQ(LastY(2), 0.125);
    // Only the configured points are plotted; the X values count the passes.
    EXPECT_EQ(Points(3), 0);
    EXPECT_DOUBLE_EQ(form->SeriesOf(0)->XValueAt(2), 2.0);
}

// A bad checksum, a silent instrument and the address 255 leave their texts in the grid
// and -10000 in the chart; the good point in between is unaffected.
TEST_F(AppTest, FailedExchangesShowTheirTextsAndPlotMinus10000)
{
    const std::string path = sim.AddPort(1, {1, 2, 3});
    sim.SetReading(1, 1, -1, "5");
    sim.SetReading(1, 2, -1, "23.5");
    sim::Behaviour badCrc;
    badCrc.wrongCrc = true;
    sim.SetBehaviour(1, 2, badCrc);
    sim::Behaviour silent;
    silent.silent = true;
    sim.SetBehaviour(1, 3, silent);
    WriteSettings({{1, 2, 0}, {1, 3, 0}, {1, 1, 0}, {1, 255, 0}}, 0, {{1, path}});
    CreateWindows(0.05);

    ASSERT_TRUE(RunUntil([&] { return Points(0) >= 1; }));

    EXPECT_EQ(Cell(1), kInvalid);
    EXPECT_EQ(Cell(2), kNoReply);
    EXPECT_EQ(Cell(3), QStringLiteral("    5"));
    EXPECT_EQ(Cell(4), QString::fromStdString(MoreCOM::ErrorText(19)));
    EXPECT_DOUBLE_EQ(LastY(0), -10000.0);
    EXPECT_DOUBLE_EQ(LastY(1), -10000.0);
    EXPECT_DOUBLE_EQ(LastY(2), 5.0);
    EXPECT_DOUBLE_EQ(LastY(3), -10000.0);
    EXPECT_TRUE(IdleAndClosed());
}

// The second port cannot be opened: the error dialog shows the link's text, the first
// port is closed again, nothing is polled and the controls come back.
TEST_F(AppTest, PortThatCannotBeOpenedShowsTheDialogAndPollsNothing)
{
    const std::string path = sim.AddPort(1, {1});
    WriteSettings({{1, 1, 0}, {2, 1, 0}}, 0, {{1, path}, {2, "/nonexistent/ptk71-tty"}});
    CreateWindows();
    const int simulatorOwn = DescriptorsOpenOn(path);

    QString title, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    int buttons = 0;
    int openDuringDialog = -1;
    bool startEnabledDuringDialog = true;
    QTimer closer;
    closer.setInterval(2);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        title = box->windowTitle();
        text = box->text();
        icon = box->icon();
        buttons = int(box->buttons().size());
        openDuringDialog = DescriptorsOpenOn(path);
        startEnabledDuringDialog = form->BtnStart->isEnabled();
        box->button(QMessageBox::Cancel)->click();
    });
    closer.start();
    form->BtnStartClick();
    closer.stop();

    EXPECT_EQ(title, QStringLiteral("Error"));
    EXPECT_EQ(text, QStringLiteral("Нельзя открыть   COM-порт"));
    EXPECT_EQ(icon, QMessageBox::Critical);
    EXPECT_EQ(buttons, 1);
    EXPECT_EQ(openDuringDialog, simulatorOwn + 1);
    // The dialog comes before EnDis(false): the inputs were never disabled.
    EXPECT_TRUE(startEnabledDuringDialog);
    EXPECT_EQ(DescriptorsOpenOn(path), simulatorOwn);
    EXPECT_EQ(sim.RequestCount(1), 0);
    EXPECT_TRUE(Cell(1).isEmpty());
    EXPECT_TRUE(IdleAndClosed());
}

// Twelve points: every row is written each pass, only the first eight are plotted.
TEST_F(AppTest, TwelvePointsUpdateTwelveRowsAndEightSeries)
{
    const std::string p1 = sim.AddPort(1, {1, 2});
    const std::string p2 = sim.AddPort(2, {7});
    std::vector<TestPoint> points;
    for (int i = 0; i < 12; ++i)
        points.push_back({i % 3 == 2 ? 2 : 1, i % 3 == 2 ? 7 : 1 + i % 2, i});
    for (int i = 0; i < 12; ++i)
        sim.SetReading(points[i].com, points[i].address, i, std::to_string(100 + i));
    WriteSettings(points, 0, {{1, p1}, {2, p2}});
    CreateWindows();
    ASSERT_EQ(form->SG->RowCount(), 13);

    ASSERT_TRUE(RunUntil([&] { return Points(7) >= 2; }));

    for (int row = 1; row <= 12; ++row)
        EXPECT_EQ(Cell(row), QStringLiteral("    %1").arg(99 + row)) << "row " << row;
    for (int j = 0; j < 8; ++j) {
        EXPECT_EQ(Points(j), Points(7)) << "series " << j;
        EXPECT_DOUBLE_EQ(LastY(j), 100.0 + j);
    }
    EXPECT_EQ(form->Chart->SeriesCount(), 8);
    EXPECT_TRUE(IdleAndClosed());
}

// A series at 1501 points drops its oldest before each append and is renumbered, so it
// keeps 1501 points with X running 0..1500.
TEST_F(AppTest, SeriesStayAt1501PointsWithXRenumbered)
{
    const std::string path = sim.AddPort(1, {1});
    sim.SetReading(1, 1, 0, "42");
    WriteSettings({{1, 1, 0}}, 0, {{1, path}});
    CreateWindows();
    TChartSeries *s = form->SeriesOf(0);
    for (int i = 0; i < 1501; ++i)
        s->AppendY(i);
    ASSERT_EQ(s->PointCount(), 1501);

    ASSERT_TRUE(RunUntil([&] { return sim.RequestCount(1, 1) >= 3; }));
    // Each complete pass removed the oldest value and appended 42 at X = 1500.
    EXPECT_EQ(s->PointCount(), 1501);
    ASSERT_DOUBLE_EQ(s->YValueAt(1500), 42.0);
    int fed = 0;
    while (fed < 1501 && s->YValueAt(1500 - fed) == 42.0)
        ++fed;
    EXPECT_DOUBLE_EQ(s->YValueAt(0), double(fed));
    for (int i = 0; i < 1501; ++i)
        ASSERT_DOUBLE_EQ(s->XValueAt(i), double(i)) << i;
}

// Stop during the pause ends the run without another pass, long before the pause is over.
TEST_F(AppTest, StopDuringThePauseEndsTheRunAtOnce)
{
    const std::string path = sim.AddPort(1, {1});
    WriteSettings({{1, 1, 0}, {1, 1, 1}}, 60, {{1, path}});
    CreateWindows();

    QElapsedTimer clock;
    clock.start();
    qint64 stoppedAt = 0;
    ASSERT_TRUE(RunUntil([&] {
        if (Points(0) < 1 || clock.elapsed() < 100)
            return false;
        stoppedAt = clock.elapsed();
        return true;
    }));
    EXPECT_LT(clock.elapsed() - stoppedAt, 200);
    EXPECT_EQ(sim.RequestCount(1, 1), 2);
    EXPECT_EQ(Points(0), 1);
    EXPECT_TRUE(IdleAndClosed());
}

// Stop while a reply is awaited: the cell keeps its text and the pass is not plotted.
TEST_F(AppTest, StopDuringAReplyWaitKeepsTheCellAndDropsThePass)
{
    const std::string path = sim.AddPort(1, {1, 2});
    sim::Behaviour slow;
    slow.replyDelayMs = 400;
    sim.SetBehaviour(1, 2, slow);
    WriteSettings({{1, 1, 0}, {1, 2, 0}}, 0, {{1, path}});
    CreateWindows(1.0);
    form->SG->SetCells(1, 2, QStringLiteral("old"));

    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(RunUntil([&] { return sim.RequestCount(1, 2) >= 1; }));
    EXPECT_LT(clock.elapsed(), 300);
    EXPECT_EQ(Cell(2), QStringLiteral("old"));
    EXPECT_FALSE(Cell(1).isEmpty());
    EXPECT_EQ(Points(0), 0);
    EXPECT_EQ(Points(1), 0);
    EXPECT_TRUE(IdleAndClosed());
}

// Closing the window while polling ends the run cleanly (ports closed, controls restored,
// speed saved) and then the application's event loop, which only sees the request once the
// Start handler has returned.
TEST_F(AppTest, ClosingTheWindowDuringARunEndsItCleanlyThenTheProgram)
{
    const std::string path = sim.AddPort(1, {1});
    WriteSettings({{1, 1, 0}}, 0, {{1, path}});
    CreateWindows();
    form->show();
    form->BoxSpeed->setCurrentIndex(6);
    const int simulatorOwn = DescriptorsOpenOn(path);

    bool runReturned = false;
    bool cleanWhenReturned = false;
    QTimer::singleShot(0, [&] {
        form->BtnStartClick();
        runReturned = true;
        cleanWhenReturned = IdleAndClosed() && DescriptorsOpenOn(path) == simulatorOwn;
    });
    QTimer closer;
    closer.setInterval(1);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (Points(0) >= 2 && form->isVisible())
            form->close();
    });
    closer.start();
    QElapsedTimer clock;
    clock.start();
    QTimer safety;
    safety.setSingleShot(true);
    QObject::connect(&safety, &QTimer::timeout, [] { QCoreApplication::quit(); });
    safety.start(8000);
    QApplication::exec();
    closer.stop();

    EXPECT_LT(clock.elapsed(), 8000);
    EXPECT_TRUE(runReturned);
    EXPECT_TRUE(cleanWhenReturned);
    EXPECT_FALSE(form->isVisible());
    EXPECT_EQ(MoreCOM::StopFlag, 1);
    EXPECT_EQ(LoadSpeed(), 6);
}

// Clear during a run empties the series; the next pass appends at X = 0 again. An
// unticked box hides its series, which still receives points.
TEST_F(AppTest, GraphTabWorksDuringARun)
{
    const std::string path = sim.AddPort(1, {1});
    WriteSettings({{1, 1, 0}, {1, 1, 1}, {1, 1, 2}}, 0, {{1, path}});
    CreateWindows();

    int stage = 0;
    int beforeClear = 0;
    ASSERT_TRUE(RunUntil([&] {
        if (stage == 0 && Points(0) >= 3) {
            form->CheckBoxes[2]->click();
            beforeClear = Points(2);
            form->BtnClear->click();
            stage = 1;
            return false;
        }
        return stage == 1 && Points(0) >= 1;
    }));
    EXPECT_GE(beforeClear, 3);
    EXPECT_FALSE(form->SeriesOf(2)->Active());
    EXPECT_TRUE(form->SeriesOf(1)->Active());
    for (int j = 0; j < 3; ++j) {
        ASSERT_GE(Points(j), 1);
        EXPECT_DOUBLE_EQ(form->SeriesOf(j)->XValueAt(0), 0.0);
    }
    form->CheckBoxes[2]->click();
    EXPECT_TRUE(form->SeriesOf(2)->Active());
}

// The pause waits on the event dispatcher instead of spinning.
TEST_F(AppTest, ThePauseDoesNotSpin)
{
    const std::string path = sim.AddPort(1, {1});
    WriteSettings({{1, 1, 0}}, 30, {{1, path}});
    CreateWindows();

    double cpuStart = 0;
    QElapsedTimer wall;
    ASSERT_TRUE(RunUntil([&] {
        if (Points(0) < 1)
            return false;
        if (!wall.isValid()) {
            wall.start();
            cpuStart = ProcessCpuSeconds();
            return false;
        }
        return wall.elapsed() >= 500;
    }));
    const double cpuPerWall = (ProcessCpuSeconds() - cpuStart) / (wall.elapsed() / 1000.0);
    EXPECT_LT(cpuPerWall, 0.3);
}

// With saving on, the run opens the workbook, archives every complete pass (a pass cut
// short by Stop is not archived), and closes the workbook at its end.
TEST_F(AppTest, RunArchivesCompletePassesOnly)
{
    AutomationStartup();
    RegisterExcelServer();
    ResetArchiveState();
    const std::string path = sim.AddPort(1, {1, 2});
    sim.SetReading(1, 1, 0, "23.5");
    sim::Behaviour slow;
    slow.replyDelayMs = 150;
    sim.SetBehaviour(1, 2, slow);
    WriteSettings({{1, 1, 0}, {1, 2, 0}}, 0, {{1, path}});
    CreateWindows(1.0);
    const QString book = QString::fromStdString(iniPath_) + QStringLiteral(".xlsx");
    form->FileName->setText(book);
    form->EnExcel->click();
    form->ExcelVisible->setChecked(false);

    QString captionDuringRun;
    ASSERT_TRUE(RunUntil([&] {
        captionDuringRun = form->windowTitle();
        return sim.RequestCount(1, 2) >= 2;
    }));
    EXPECT_EQ(captionDuringRun, QStringLiteral("  PTK71 (Excel)"));
    EXPECT_EQ(form->windowTitle(), QStringLiteral("  PTK71"));
    EXPECT_FALSE(ArchiveOpen);
    EXPECT_TRUE(form->FileName->isEnabled());
    EXPECT_EQ(Points(0), 1);

    std::string error;
    workbook::CellValue cell;
    ASSERT_TRUE(workbook::CellOfFile(book.toStdString(), 0, 2, 2, cell, &error)) << error;
    EXPECT_EQ(cell.ToText(), "5");
    ASSERT_TRUE(workbook::CellOfFile(book.toStdString(), 0, 5, 2, cell, &error)) << error;
    EXPECT_DOUBLE_EQ(cell.number, 23.5);
    ASSERT_TRUE(workbook::CellOfFile(book.toStdString(), 0, 6, 2, cell, &error)) << error;
    EXPECT_EQ(cell.kind, workbook::CellValue::Kind::Empty);

    ReleaseArchive();
    AutomationShutdown();
}

// Closing the workbook viewer by hand during a run unticks "Показывать Excel"; the run goes on
// archiving, and ticking the box shows the viewer again.
TEST_F(AppTest, ClosingTheViewerUnticksItsBox)
{
    AutomationStartup();
    ResetArchiveState();
    const std::string path = sim.AddPort(1, {1});
    sim.SetReading(1, 1, 0, "23.5");
    WriteSettings({{1, 1, 0}}, 0, {{1, path}});
    CreateWindows(0.2);
    RegisterExcelServer({.viewerClosedByUser = [this] { form->ExcelWindowClosed(); }});
    form->FileName->setText(QString::fromStdString(iniPath_) + QStringLiteral(".xlsx"));
    form->EnExcel->click();
    ASSERT_TRUE(form->ExcelVisible->isChecked());
    auto viewer = [] {
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (w->objectName() == QLatin1String("WorkbookViewer") && w->isVisible())
                return w;
        }
        return static_cast<QWidget *>(nullptr);
    };
    bool closed = false;
    bool shownAgain = false;
    ASSERT_TRUE(RunUntil([&] {
        if (!closed && viewer() != nullptr) {
            viewer()->close();
            closed = true;
        } else if (closed && !form->ExcelVisible->isChecked() && !shownAgain) {
            form->ExcelVisible->click(); // ticked again: shown again
            shownAgain = true;
        }
        return shownAgain && viewer() != nullptr && sim.RequestCount(1, 1) >= 3;
    }));
    EXPECT_TRUE(form->ExcelVisible->isChecked());
    EXPECT_EQ(form->windowTitle(), QStringLiteral("  PTK71"));
    RegisterExcelServer();
    ReleaseArchive();
    AutomationShutdown();
}

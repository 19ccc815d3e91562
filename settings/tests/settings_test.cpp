// Settings file load/save, the setup window's handlers and the COM-port mapping.
#include "formsetup.h"
#include "morecom.h"
#include "settings.h"
#include "settingspath.h"
#include "textgrid.h"
#include "windowplacement.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolTip>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>

QT_BEGIN_NAMESPACE
inline void PrintTo(const QString &s, std::ostream *os)
{
    *os << '"' << s.toStdString() << '"';
}
QT_END_NAMESPACE

namespace
{

class SetupTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(dir_.isValid());
        path_ = dir_.filePath("ptk71.ini").toStdString();
        SetSettingsFilePath(path_);
        for (int i = 0; i < 7; ++i)
            box_.addItem(QString::number(i));
        box_.setCurrentIndex(DefaultSpeedIndex);
        sg_.SetColCount(2);
        sg_.setVisible(false);
        // Leftovers of an earlier test must not leak into this one.
        ResetPointTable();
        NumPoints = 1;
        PauseSec = 4;
    }
    void TearDown() override
    {
        form_.reset();
        SetSettingsFilePath({});
        MoreCOM::ClearPortPaths();
    }

    void Put(const std::string &text)
    {
        std::ofstream f(path_, std::ios::binary);
        f << text;
    }
    std::string Get() const
    {
        std::ifstream f(path_, std::ios::binary);
        std::stringstream ss;
        ss << f.rdbuf();
        return ss.str();
    }
    TFormSetup &Create()
    {
        form_ = std::make_unique<TFormSetup>(
            &box_, [this] { ++speedChanges_; }, &sg_);
        return *form_;
    }
    static std::string Entry(int k)
    {
        const PointEntry &e = PointTable[static_cast<std::size_t>(k)];
        return std::to_string(e.Com) + "," + std::to_string(e.Address) + "," +
               std::to_string(e.Channel);
    }

    QTemporaryDir dir_;
    std::string path_;
    QComboBox box_;
    TTextGrid sg_;
    int speedChanges_ = 0;
    std::unique_ptr<TFormSetup> form_;
};

} // namespace

TEST_F(SetupTest, WithoutAFileDefaultsApplyAndClosingCreatesTheFile)
{
    box_.setCurrentIndex(2);
    TFormSetup &f = Create();
    EXPECT_EQ(NumPoints, 1);
    EXPECT_EQ(PauseSec, 4);
    EXPECT_EQ(Entry(0), "2,1,0");
    EXPECT_EQ(box_.currentIndex(), 5);
    EXPECT_EQ(speedChanges_, 1);
    EXPECT_TRUE(sg_.isVisibleTo(nullptr) || !sg_.isHidden());
    EXPECT_EQ(sg_.RowCount(), 2);
    EXPECT_EQ(sg_.Cells(0, 1), "   1");
    EXPECT_EQ(f.SG2->Cells(0, 0), " Точка");
    EXPECT_EQ(f.SG2->Cells(1, 0), " COM");
    EXPECT_EQ(f.SG2->Cells(2, 0), "Прибор");
    EXPECT_EQ(f.SG2->Cells(3, 0), " Канал");
    EXPECT_EQ(f.SG2->Cells(0, 1), "    1");
    EXPECT_EQ(f.SG2->Cells(1, 1), "    2");
    EXPECT_EQ(f.EdPause->Text(), "4");
    EXPECT_EQ(f.EdChan->Text(), "1");
    EXPECT_FALSE(std::ifstream(path_).good()) << "loading must not create the file";

    f.show();
    QTest::mouseClick(f.BtnClose, Qt::LeftButton);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(Get(), "[PARAM]\nNum=1\nPause=4\nCOMPribor1=2\nPribor1=1\nChannel1=0\n");
    ASSERT_TRUE(SaveSpeed(box_.currentIndex()));
    EXPECT_EQ(Get(), "[PARAM]\nNum=1\nPause=4\nCOMPribor1=2\nPribor1=1\nChannel1=0\nSpeed=5\n");
}

TEST_F(SetupTest, OutOfRangeFileValuesFallBackOrAreClamped)
{
    const struct {
        const char *file;
        int speed, num, pause;
        const char *entry0;
    } cases[] = {
        {"Speed=9", 5, 1, 4, "2,1,0"},
        {"Speed=-1", 5, 1, 4, "2,1,0"},
        {"Speed=3", 3, 1, 4, "2,1,0"},
        {"Speed=x3", 3, 1, 4, "2,1,0"},
        {"Num=0", 5, 1, 4, "2,1,0"},
        {"Num=1500", 5, 999, 4, "2,1,0"},
        {"Num=0x0A", 5, 10, 4, "2,1,0"},
        {"Num=ten\nPause=2.5", 5, 1, 4, "2,1,0"},
        {"Pause=-3", 5, 1, 0, "2,1,0"},
        {"Pause=200000", 5, 1, 99999, "2,1,0"},
        {"COMPribor1=13", 5, 1, 4, "2,1,0"},
        {"COMPribor1=0", 5, 1, 4, "2,1,0"},
        {"COMPribor1=12\nPribor1=300\nChannel1=-1", 5, 1, 4, "12,44,255"},
    };
    for (const auto &c : cases) {
        Put(std::string("[PARAM]\n") + c.file + "\n");
        box_.setCurrentIndex(0);
        TFormSetup &f = Create();
        SCOPED_TRACE(c.file);
        EXPECT_EQ(box_.currentIndex(), c.speed);
        EXPECT_EQ(NumPoints, c.num);
        EXPECT_EQ(PauseSec, c.pause);
        EXPECT_EQ(Entry(0), c.entry0);
        EXPECT_EQ(f.SG2->RowCount(), c.num + 1);
        EXPECT_EQ(sg_.RowCount(), c.num + 1);
        EXPECT_EQ(f.EdChan->Text().toInt(), c.num);
        EXPECT_EQ(f.EdPause->Text().toInt(), c.pause);
    }
    EXPECT_EQ(form_->SG2->Cells(1, 1), "    12");
    EXPECT_EQ(form_->SG2->Cells(2, 1), "    44");
    EXPECT_EQ(form_->SG2->Cells(3, 1), "    255");
}

TEST_F(SetupTest, ExampleFileKeepsItsKeyOrder)
{
    TFormSetup &f = Create();
    f.EdChan->SetText("2");
    PointTable[1] = {3, 7, 1};
    f.show();
    f.close();
    ASSERT_TRUE(SaveSpeed(5));
    const std::string example = "[PARAM]\nNum=2\nPause=4\nCOMPribor1=2\nPribor1=1\nChannel1=0\n"
                                "COMPribor2=3\nPribor2=7\nChannel2=1\nSpeed=5\n";
    EXPECT_EQ(Get(), example);

    // Loading it back gives the same configuration, and a later close updates in place.
    ResetPointTable();
    Create();
    EXPECT_EQ(NumPoints, 2);
    EXPECT_EQ(Entry(1), "3,7,1");
    form_->show();
    form_->close();
    EXPECT_EQ(Get(), example);
}

TEST_F(SetupTest, TypingIntoCellsStoresValidNumbersAndRestoresOthers)
{
    TFormSetup &f = Create();
    f.show();
    f.SG2->setFocus();
    f.SG2->setCurrentCell(0, 0); // grid cell (1, 1): COM port of point 1
    f.SG2->editItem(f.SG2->item(0, 0));
    QLineEdit *ed = f.SG2->Editor();
    ASSERT_NE(ed, nullptr);
    ed->selectAll();
    QTest::keyClicks(ed, "1");
    EXPECT_EQ(f.SG2->Cells(1, 1), "1");
    EXPECT_EQ(PointTable[0].Com, 1);
    QTest::keyClicks(ed, "3");
    EXPECT_EQ(f.SG2->Cells(1, 1), "    1");
    EXPECT_EQ(ed->text(), "    1") << "the editor shows the restored text";
    EXPECT_EQ(PointTable[0].Com, 1);

    // Clearing a cell leaves the table alone.
    ed->selectAll();
    QTest::keyClick(ed, Qt::Key_Backspace);
    EXPECT_EQ(f.SG2->Cells(1, 1), "");
    EXPECT_EQ(PointTable[0].Com, 1);

    // Address and channel take 0..255; anything else restores the cell.
    f.SG2->SetCells(2, 1, "255");
    f.SG2SetEditText(2, 1);
    EXPECT_EQ(PointTable[0].Address, 255);
    f.SG2->SetCells(3, 1, "256");
    f.SG2SetEditText(3, 1);
    EXPECT_EQ(f.SG2->Cells(3, 1), "    0");
    f.SG2->SetCells(3, 1, "-1");
    f.SG2SetEditText(3, 1);
    EXPECT_EQ(PointTable[0].Channel, 0);
    f.SG2->SetCells(3, 1, "$1F");
    f.SG2SetEditText(3, 1);
    EXPECT_EQ(PointTable[0].Channel, 31);
    f.SG2->SetCells(1, 1, "0");
    f.SG2SetEditText(1, 1);
    EXPECT_EQ(f.SG2->Cells(1, 1), "    1");

    // Tab moves the always-shown editor to the next cell.
    QTest::keyClick(f.SG2->Editor(), Qt::Key_Tab);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.SG2->currentColumn(), 1);
    ASSERT_NE(f.SG2->Editor(), nullptr);
    EXPECT_EQ(f.SG2->Editor()->text(), "255");
    f.close();
}

TEST_F(SetupTest, SpinEditsNeverPassOutOfRangeText)
{
    TFormSetup &f = Create();
    f.EdChan->SetText("");
    EXPECT_EQ(f.EdChan->Text(), "1");
    f.EdChan->SetText("5");
    EXPECT_EQ(NumPoints, 5);
    EXPECT_EQ(sg_.RowCount(), 6) << "the readings grid follows at once";
    f.EdChan->SetText("0");
    EXPECT_EQ(f.EdChan->Text(), "5");
    EXPECT_EQ(NumPoints, 5);
    f.EdChan->SetText("-");
    EXPECT_EQ(f.EdChan->Text(), "5");

    f.EdPause->SetText("-1");
    EXPECT_EQ(f.EdPause->Text(), "4");
    EXPECT_EQ(PauseSec, 4);
    f.EdPause->SetText("0");
    EXPECT_EQ(PauseSec, 0);
    f.EdPause->stepBy(-1);
    EXPECT_EQ(PauseSec, 0);
    f.EdPause->stepBy(3);
    EXPECT_EQ(PauseSec, 3);

    // Typed characters other than digits and signs never reach the text.
    QSignalSpy changes(f.EdChan, &TNumberEdit::Changed);
    f.show();
    EXPECT_EQ(changes.count(), 0) << "showing the window keeps the text";
    f.EdChan->setFocus();
    f.EdChan->selectAll();
    QTest::keyClicks(f.EdChan, "x7");
    EXPECT_EQ(f.EdChan->Text(), "7");
    EXPECT_EQ(NumPoints, 7);
    // A typed value out of range puts the previous count back at once.
    f.EdChan->selectAll();
    QTest::keyClicks(f.EdChan, "0");
    EXPECT_EQ(f.EdChan->Text(), "7");
    EXPECT_EQ(NumPoints, 7);
    f.close();
}

TEST_F(SetupTest, ShrinkAndGrowKeepsEntriesWithinARunButNotAcrossARestart)
{
    TFormSetup &f = Create();
    f.EdChan->SetText("5");
    PointTable[3] = {4, 9, 2};
    PointTable[4] = {5, 8, 3};
    f.EdChan->SetText("3");
    EXPECT_EQ(f.SG2->RowCount(), 4);
    f.EdChan->SetText("5");
    EXPECT_EQ(f.SG2->Cells(1, 4), "    4");
    EXPECT_EQ(f.SG2->Cells(3, 5), "    3");

    // Close with 3 points while the file still holds keys for points 4 and 5.
    Put("[PARAM]\nCOMPribor4=11\nPribor4=11\nChannel4=11\nCOMPribor5=11\n");
    f.EdChan->SetText("3");
    f.show();
    f.close();
    EXPECT_NE(Get().find("COMPribor4=11"), std::string::npos) << "keys beyond Num stay";

    Create();
    EXPECT_EQ(NumPoints, 3);
    form_->EdChan->SetText("5");
    EXPECT_EQ(Entry(3), "2,1,0");
    EXPECT_EQ(Entry(4), "2,1,0");
    EXPECT_EQ(form_->SG2->Cells(1, 4), "    2");
    form_->show();
    form_->close();
    EXPECT_NE(Get().find("COMPribor4=2\n"), std::string::npos);
    EXPECT_NE(Get().find("Channel4=0\n"), std::string::npos);
}

TEST_F(SetupTest, RebuildingTheGridNeverTakesTheKeyboard)
{
    TFormSetup &f = Create();
    f.EdChan->SetText("5");
    f.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
    // Click a cell of point 5, then the point-count edit, and type 3 and 7 over its text.
    QWidget *vp = f.SG2->viewport();
    const QRect cell = f.SG2->visualRect(f.SG2->model()->index(4, 1));
    QTest::mouseClick(vp, Qt::LeftButton, {}, cell.center());
    QCoreApplication::processEvents();
    ASSERT_EQ(f.SG2->currentRow(), 4);
    QLineEdit *edit = f.EdChan->findChild<QLineEdit *>();
    ASSERT_NE(edit, nullptr);
    QTest::mouseClick(edit, Qt::LeftButton);
    QCoreApplication::processEvents();
    ASSERT_TRUE(edit->hasFocus());
    QTest::keyClick(edit, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_3);
    QCoreApplication::processEvents();
    EXPECT_EQ(NumPoints, 3);
    EXPECT_TRUE(edit->hasFocus()) << "the grid must not take the keyboard while it is rebuilt";
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_7);
    QCoreApplication::processEvents();
    EXPECT_EQ(f.EdChan->Text(), "37");
    EXPECT_EQ(NumPoints, 37);
    EXPECT_EQ(Entry(2), "2,1,0") << "point 3 keeps its channel";
    EXPECT_EQ(f.SG2->Cells(3, 3), "    0");
    f.close();
    EXPECT_NE(Get().find("Num=37\n"), std::string::npos);
    EXPECT_NE(Get().find("Channel3=0\n"), std::string::npos);
}

TEST_F(SetupTest, DraggingARowChangesOnlyTheDisplay)
{
    TFormSetup &f = Create();
    f.EdChan->SetText("3");
    PointTable[0] = {1, 10, 0};
    f.EdChanChange();
    f.SG2->MoveRow(1, 3);
    EXPECT_EQ(f.SG2->DisplayPosition(1), 3);
    EXPECT_EQ(f.SG2->DisplayPosition(2), 1);
    EXPECT_EQ(Entry(0), "1,10,0");
    EXPECT_EQ(f.SG2->Cells(2, 1), "    10") << "addresses keep referring to the same row";
    // Editing the moved row edits its own point.
    f.SG2->SetCells(2, 1, "11");
    f.SG2SetEditText(2, 1);
    EXPECT_EQ(Entry(0), "1,11,0");
    EXPECT_EQ(Entry(2), "2,1,0");
    // The next change of the point count redraws the grid in table order.
    f.EdChan->SetText("4");
    EXPECT_EQ(f.SG2->DisplayPosition(1), 1);
}

TEST_F(SetupTest, UnreadableOrGarbageFileGivesDefaultsWithoutCrashing)
{
    std::string garbage = "[PARAM]\nNum=3\0\0\xff\xfe\n";
    for (int i = 0; i < 4000; ++i)
        garbage += static_cast<char>((i * 37 + 11) % 256);
    Put(garbage);
    box_.setCurrentIndex(4);
    Create();
    EXPECT_GE(NumPoints, 1);
    EXPECT_LE(NumPoints, MaxPoints);

    // A directory where the file should be cannot be read: one point, pause 4, the
    // selected speed stays.
    SetSettingsFilePath(dir_.path().toStdString());
    box_.setCurrentIndex(4);
    Create();
    EXPECT_EQ(NumPoints, 1);
    EXPECT_EQ(PauseSec, 4);
    EXPECT_EQ(box_.currentIndex(), 4);
}

TEST_F(SetupTest, WriteFailureIsSilentInTheWindowButLeavesOneLineOnStderr)
{
    // Below a regular file nothing can be written, whatever the user's privileges.
    Put("x");
    SetSettingsFilePath(path_ + "/ptk71.ini");
    TFormSetup &f = Create();
    f.show();
    ::testing::internal::CaptureStderr();
    f.close();
    const std::string err = ::testing::internal::GetCapturedStderr();
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(err, "ptk71: Unable to write to " + path_ + "/ptk71.ini\n");
    EXPECT_EQ(NumPoints, 1) << "values in memory are unaffected";

    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(SaveSpeed(3));
    const std::string speedErr = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(std::count(speedErr.begin(), speedErr.end(), '\n'), 1);
}

TEST_F(SetupTest, QuotedValuesByteOrderMarkAndAReadOnlyFile)
{
    // A file saved by an editor that adds a byte-order mark and quotes values.
    Put("\xEF\xBB\xBF[PARAM]\r\nNum=\"2\"\r\nPause='7'\r\nCOMPribor2=\"5\"\r\n");
    TFormSetup &f = Create();
    EXPECT_EQ(NumPoints, 2);
    EXPECT_EQ(PauseSec, 7);
    EXPECT_EQ(Entry(1), "5,1,0");
    f.show();
    f.close();
    const std::string saved = Get();
    EXPECT_EQ(saved.rfind("\xEF\xBB\xBF[PARAM]\r\nNum=2\r\nPause=7\r\nCOMPribor2=5\r\n", 0), 0u)
        << saved;
    EXPECT_EQ(saved.find("[PARAM]", 4), std::string::npos) << "no second section";

    // A read-only file is left alone, with the same line as an unwritable folder.
    ASSERT_EQ(::chmod(path_.c_str(), 0444), 0);
    f.EdChan->SetText("3");
    f.show();
    ::testing::internal::CaptureStderr();
    f.close();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "ptk71: Unable to write to " + path_ + "\n");
    EXPECT_EQ(Get(), saved);
    ::chmod(path_.c_str(), 0644);
}

TEST_F(SetupTest, PortsSectionFeedsTheComPortMapping)
{
    Put("[PORTS]\nCOM1=/dev/pts/7\ncom12 = /tmp/x y\nCOM300=/dev/null\n[PARAM]\nSpeed=2\n");
    MoreCOM::SetPortPath(3, "/stale");
    Create();
    EXPECT_EQ(MoreCOM::PortPath(1), "/dev/pts/7");
    EXPECT_EQ(MoreCOM::PortPath(12), "/tmp/x y");
    EXPECT_EQ(MoreCOM::PortPath(3), "/dev/ttyS2") << "the mapping is rebuilt from the file";
    EXPECT_EQ(box_.currentIndex(), 2);
    EXPECT_EQ(LoadSpeed(), 2);
}

TEST(TextGrid, LongTextsAreClippedAndShowWholeAsToolTipsAndRowsScrollWhole)
{
    TTextGrid g;
    QFont bold(QStringLiteral("MS Sans Serif"));
    bold.setPixelSize(13);
    bold.setBold(true);
    g.setFont(bold);
    g.SetColCount(2);
    g.SetRowCount(31);
    g.SetDefaultColWidth(110);
    g.SetDefaultRowHeight(25);
    g.resize(249, 237);
    g.setCurrentCell(0, 0);
    g.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&g));

    const int row = 4; // an ordinary cell: not the current one
    const QModelIndex index = g.model()->index(row - 1, 0);
    const QRect cell = g.visualRect(index);
    const QString longText = QStringLiteral("   Невозможно открыть порт COM12");
    const int margin = g.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &g) + 1;
    const QFontMetrics fm(bold);
    ASSERT_GT(fm.horizontalAdvance(longText), cell.width() - 2 * margin);
    QString prefix = longText;
    while (fm.horizontalAdvance(prefix) > cell.width() - 2 * margin)
        prefix.chop(1);
    auto render = [&](const QString &text) {
        g.SetCells(1, row, text);
        QCoreApplication::processEvents();
        return g.viewport()->grab().toImage();
    };
    const QImage empty = render(QString());
    const QImage fitting = render(prefix);
    const QImage cut = render(longText);
    // Every glyph of the part that fits is drawn as it is (no "…" takes the place of the last
    // ones), and nothing leaves the cell.
    int inked = 0;
    for (int y = cell.top(); y <= cell.bottom(); ++y)
        for (int x = cell.left(); x <= cell.right(); ++x)
            if (fitting.pixel(x, y) != empty.pixel(x, y)) {
                ++inked;
                EXPECT_EQ(cut.pixel(x, y), fitting.pixel(x, y)) << x << "," << y;
            }
    EXPECT_GT(inked, 50);
    for (int y = 0; y < empty.height(); ++y)
        for (int x = cell.right() + 1; x < empty.width(); ++x)
            ASSERT_EQ(cut.pixel(x, y), empty.pixel(x, y)) << "outside the cell " << x << "," << y;

    // A text that fits has no tool tip; a cut one shows whole.
    auto askToolTip = [&](int r) {
        const QPoint p = g.visualRect(g.model()->index(r - 1, 0)).center();
        QHelpEvent help(QEvent::ToolTip, p, g.viewport()->mapToGlobal(p));
        QApplication::sendEvent(g.viewport(), &help);
    };
    g.SetCells(1, row + 1, QStringLiteral("    12.5"));
    askToolTip(row + 1);
    EXPECT_FALSE(QToolTip::isVisible());
    askToolTip(row);
    EXPECT_TRUE(QToolTip::isVisible());
    EXPECT_EQ(QToolTip::text(), longText);
    QToolTip::hideText();

    // Scrolled to the end, the top row shown is a whole row.
    g.scrollToBottom();
    QCoreApplication::processEvents();
    const int top = g.rowAt(0);
    EXPECT_GT(top, 0);
    EXPECT_EQ(g.rowViewportPosition(top), 0);
}

TEST(SettingsPath, DefaultsToTheRunningExecutablesLocation)
{
    SetSettingsFilePath({});
    EXPECT_NE(ExecutablePath().find("settings_tests"), std::string::npos);
    EXPECT_EQ(SettingsFilePath(), SettingsLocationFor(ExecutablePath()).path);
}

// The whole window, title bar and frame included, is centred, not its client area: a
// 23-px title bar and 4-px borders put the client area 9.5 px lower than the frame-less
// centre, on a panel-shortened area as well.
TEST(WindowPlacement, TheFrameIsCentredNotTheClientArea)
{
    const QSize client(465, 400);
    EXPECT_EQ(CentredClientPosition(QRect(0, 0, 1024, 768), client, {}), QPoint(279, 184));
    const QMargins frame(4, 23, 4, 4);
    EXPECT_EQ(CentredClientPosition(QRect(0, 0, 1024, 768), client, frame), QPoint(279, 193));
    EXPECT_EQ(CentredClientPosition(QRect(100, 30, 1024, 738), client, frame), QPoint(379, 208));
}

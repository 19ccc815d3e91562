// The workbook archive against the recording server: exact call sequences, row counter,
// worksheet roll-over, save interval, and every failure path.
#include "excelarchive.h"
#include "recordingserver.h"
#include "settings.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace com;
using Calls = std::vector<std::string>;

namespace
{

class ArchiveTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        CoInitialize();
        state = std::make_shared<rec::ServerState>();
        rec::RegisterRecorder(state);
        ResetArchiveState();
        savedNumPoints = NumPoints;
        NumPoints = 2;
        readings = {QStringLiteral("    12.5"), QStringLiteral("   Ошибка")};
        file = dir.filePath(QStringLiteral("proba.xlsx"));

        host.readingText = [this](int k) { return readings.value(k - 1); };
        host.enExcel = [this] { return enExcel; };
        host.fileName = [this] { return file; };
        host.excelVisible = [this] { return visible; };
        host.setCaption = [this](const QString &c) { caption = c; };
        host.processEvents = [this] {
            ++events;
            if (onEvents)
                onEvents();
        };
        host.monotonicDays = [this] { return clock; };
        host.timeOfDayText = [] { return QStringLiteral("14:05:07"); };
        host.progId = rec::kProgId;
        SetArchiveHost(host);
    }

    void TearDown() override
    {
        ResetArchiveState();
        SetArchiveHost({});
        NumPoints = savedNumPoints;
        RevokeClassFactory(AnsiToWide(rec::kProgId));
        CoUninitialize();
        EXPECT_EQ(DispatchObject::LiveCount(), 0);
    }

    Calls CallsFrom(size_t first) const
    {
        const Calls all = state->Shown();
        return Calls(all.begin() + long(std::min(first, all.size())), all.end());
    }
    void SetB2(int sheet, const AutoVariant &value)
    {
        state->sheets.resize(size_t(std::max<int>(sheet + 1, int(state->sheets.size()))));
        state->sheets[size_t(sheet)][{2, 2}] = value;
    }
    static AutoVariant I4(int32_t x)
    {
        VARIANT v = VariantFromI4(x);
        return AutoVariant::Adopt(v);
    }
    // The calls of a pass that writes row r with the two default readings, without the save.
    static Calls PassCalls(int r, const std::string &sheet = "sheet1")
    {
        const std::string row = std::to_string(r);
        const std::string sel = std::to_string(r + 2);
        auto range = [&](const std::string &rr, const std::string &c) {
            const std::string cell = "cell(" + rr + "," + c + ")";
            return Calls{sheet + ".Cells get(I4 " + rr + ", I4 " + c + ")",
                         sheet + ".Cells get(I4 " + rr + ", I4 " + c + ")",
                         sheet + ".Range get(DISPATCH " + cell + ", DISPATCH " + cell + ")"};
        };
        Calls c = {sheet + ".Range get(BSTR A1)", "range.Select method()",
                   sheet + ".Cells get(I4 2, I4 2)", sheet + ".Cells put(I4 2, I4 2) = I4& " + row};
        auto add = [&c](const Calls &more) { c.insert(c.end(), more.begin(), more.end()); };
        add(range(sel, "1"));
        add({"range.Select method()", sheet + ".Cells put(I4 " + row + ", I4 1) = BSTR 14:05:07",
             sheet + ".Cells put(I4 " + row + ", I4 2) = R8& 12.5"});
        add(range(row, "2"));
        add({"range.ClearComments method()", sheet + ".Cells put(I4 " + row + ", I4 3) = BSTR "});
        add(range(row, "3"));
        add({"range.ClearComments method()"});
        add(range(row, "3"));
        add({"range.AddComment method(BSTR    Ошибка)"});
        add(range(row, "3"));
        add({"range.Comment method|get()", "comment.Visible put() = BOOL 0"});
        return c;
    }

    std::shared_ptr<rec::ServerState> state;
    ArchiveHost host;
    QTemporaryDir dir;
    QString file;
    QStringList readings;
    bool enExcel = true;
    bool visible = true;
    QString caption = CaptionIdle;
    int events = 0;
    std::function<void()> onEvents;
    double clock = 1.0;
    int32_t savedNumPoints = 0;
};

const Calls kNewWorkbook = {
    "app.Visible put() = BOOL -1",
    "app.Workbooks method|get()",
    "workbooks.Add method(I2 -4167)",
    "workbook.WorkSheets get(I4 1)",
    "sheet1.Cells put(I4 4, I4 2) = BSTR Точка 1",
    "sheet1.Cells put(I4 4, I4 3) = BSTR Точка 2",
};

const Calls kClose = {"workbook.Save method()", "workbook.Close method(BOOL 0)",
                      "app.Quit method()"};

} // namespace

TEST_F(ArchiveTest, NewWorkbookPassAndCloseMakeExactlyTheseCalls)
{
    visible = true;
    OpenExcel();
    Calls expected = kNewWorkbook;
    expected.push_back("workbook.SaveAs method(BSTR " + file.toStdString() + ")");
    EXPECT_EQ(state->Shown(), expected);
    EXPECT_TRUE(ArchiveOpen);
    EXPECT_EQ(caption, CaptionExcel);

    size_t mark = state->calls.size();
    SaveExcel();
    const Calls pass = PassCalls(5);
    EXPECT_EQ(pass.size(), 9u + 5u + 14u); // nine per pass, five per number, fourteen otherwise
    EXPECT_EQ(CallsFrom(mark), pass);
    EXPECT_EQ(events, 2 + 2); // after A1, after the selection, once per point
    EXPECT_FALSE(ArchiveFailed);

    mark = state->calls.size();
    SaveExcel(); // B2 now holds 5: the next pass writes row 6
    EXPECT_EQ(CallsFrom(mark), PassCalls(6));

    mark = state->calls.size();
    CloseExcel();
    EXPECT_EQ(CallsFrom(mark), kClose);
    EXPECT_EQ(caption, CaptionIdle);
    EXPECT_FALSE(ArchiveOpen);
    EXPECT_TRUE(ExcelApp.IsEmpty() && Workbook.IsEmpty() && Sheet.IsEmpty());
}

TEST_F(ArchiveTest, ExistingWorkbookIsOpenedAndContinuedWithoutHeader)
{
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.close();
    visible = false;
    SetB2(0, I4(120));
    OpenExcel();
    EXPECT_EQ(state->Shown(), (Calls{"app.Visible put() = BOOL 0", "app.Workbooks method|get()",
                                     "workbooks.Open method(BSTR " + file.toStdString() + ")",
                                     "workbook.WorkSheets get(I4 1)"}));
    const size_t mark = state->calls.size();
    SaveExcel();
    EXPECT_EQ(CallsFrom(mark), PassCalls(121));
}

TEST_F(ArchiveTest, RowCounterRulesAndWorksheetRollOver)
{
    OpenExcel();
    // Text and hexadecimal counters go by the integer text rule; junk or small values give row 5.
    struct Case {
        AutoVariant b2;
        int row;
    };
    VARIANT text = VariantFromString(u"$10"), junk = VariantFromString(u"12 "),
            r8 = VariantFromR8(7.5);
    std::vector<Case> cases;
    cases.push_back({AutoVariant::Adopt(text), 17});
    cases.push_back({AutoVariant::Adopt(junk), 5});
    cases.push_back({I4(3), 5});
    cases.push_back({AutoVariant::Adopt(r8), 5});
    cases.push_back({I4(65500), 65501});
    for (const Case &c : cases) {
        SetB2(0, c.b2);
        const size_t mark = state->calls.size();
        SaveExcel();
        const Calls got = CallsFrom(mark);
        ASSERT_EQ(got.size(), 28u);
        EXPECT_EQ(got[3], "sheet1.Cells put(I4 2, I4 2) = I4& " + std::to_string(c.row));
    }

    SetB2(0, I4(65501)); // full: a new worksheet before the active one, header, row 5
    const size_t mark = state->calls.size();
    SaveExcel();
    Calls expected = {"sheet1.Range get(BSTR A1)",
                      "range.Select method()",
                      "sheet1.Cells get(I4 2, I4 2)",
                      "workbook.WorkSheets method|get()",
                      "sheets.Add method(ERROR 80020004, ERROR 80020004, I4 1, I2 -4167)",
                      "sheet2.Cells put(I4 4, I4 2) = BSTR Точка 1",
                      "sheet2.Cells put(I4 4, I4 3) = BSTR Точка 2"};
    const Calls rest = PassCalls(5, "sheet2");
    expected.insert(expected.end(), rest.begin() + 3, rest.end());
    EXPECT_EQ(CallsFrom(mark), expected);
    EXPECT_EQ(VariantToText(state->sheets[1][{2, 2}]), "5");
}

TEST_F(ArchiveTest, AtMost253PointsAreArchived)
{
    NumPoints = 300;
    readings.clear();
    for (int k = 1; k <= 300; ++k)
        readings << QString::number(k);
    OpenExcel();
    const Calls open = state->Shown();
    ASSERT_EQ(open.size(), 4u + 253u + 1u);
    EXPECT_EQ(open[4 + 252], "sheet1.Cells put(I4 4, I4 254) = BSTR Точка 253");
    const size_t mark = state->calls.size();
    SaveExcel();
    const Calls pass = CallsFrom(mark);
    EXPECT_EQ(pass.size(), 9u + 5u * 253u);
    EXPECT_EQ(pass[pass.size() - 5], "sheet1.Cells put(I4 5, I4 254) = R8& 253");
}

TEST_F(ArchiveTest, TheWorkbookIsSavedOnlyAfterTheIntervalOnTheArchiveClock)
{
    OpenExcel(); // LastSaveTime = 1.0
    auto passSaves = [&](double now) {
        clock = now;
        const size_t mark = state->calls.size();
        SaveExcel();
        const Calls got = CallsFrom(mark);
        EXPECT_EQ(got.size() == 29u, got.back() == "workbook.Save method()");
        return got.back() == "workbook.Save method()";
    };
    EXPECT_FALSE(passSaves(1.001));
    EXPECT_FALSE(passSaves(1.0 + SaveIntervalDays)); // exactly the interval: not yet
    EXPECT_TRUE(passSaves(1.0035));
    EXPECT_FALSE(passSaves(1.0035 + 0.003));
    EXPECT_TRUE(passSaves(1.0035 + 0.0035));
    EXPECT_EQ(LastSaveTime, 1.0035 + 0.0035);
}

TEST_F(ArchiveTest, NothingHappensWhenSwitchedOffOrNotOpen)
{
    enExcel = false;
    caption = QStringLiteral("unchanged");
    OpenExcel();
    SaveExcel();
    ExcelVisibleClick();
    CloseExcel();
    EXPECT_TRUE(state->calls.empty());
    EXPECT_EQ(caption, "unchanged");
    EXPECT_FALSE(ArchiveOpen);

    // Visibility while open goes to the application; a second OpenExcel does nothing.
    enExcel = true;
    OpenExcel();
    const size_t mark = state->calls.size();
    OpenExcel();
    visible = false;
    ExcelVisibleClick();
    EXPECT_EQ(CallsFrom(mark), Calls{"app.Visible put() = BOOL 0"});
}

TEST_F(ArchiveTest, OpeningFailuresQuitReleaseAndLetTheNextRunTryAgain)
{
    // No server registered under the ProgID: no call at all, and the error caption.
    RevokeClassFactory(AnsiToWide(rec::kProgId));
    OpenExcel();
    EXPECT_EQ(caption, CaptionExcelError);
    EXPECT_FALSE(ArchiveOpen);
    EXPECT_FALSE(ArchiveFailed);
    SaveExcel();
    CloseExcel();
    EXPECT_TRUE(state->calls.empty());

    rec::RegisterRecorder(state);
    const size_t openCalls = kNewWorkbook.size() + 1;
    for (size_t i = 0; i < openCalls; ++i) {
        SCOPED_TRACE(i);
        state->calls.clear();
        state->failAt = int(i);
        caption.clear();
        OpenExcel();
        EXPECT_EQ(caption, CaptionExcelError);
        EXPECT_FALSE(ArchiveOpen);
        EXPECT_FALSE(ArchiveFailed);
        EXPECT_TRUE(ExcelApp.IsEmpty() && Workbook.IsEmpty() && Sheet.IsEmpty());
        // After the visibility was set the application is ended; nothing else follows.
        const Calls after = CallsFrom(i + 1);
        EXPECT_EQ(after, i == 0 ? Calls{} : Calls{"app.Quit method()"});
        SaveExcel();
        CloseExcel();
        EXPECT_EQ(CallsFrom(i + 1), after);
    }
    EXPECT_EQ(DispatchObject::LiveCount(), 0);

    state->failAt = -1; // the next run tries again and succeeds
    OpenExcel();
    EXPECT_TRUE(ArchiveOpen);
    EXPECT_EQ(caption, CaptionExcel);
}

TEST_F(ArchiveTest, AFailingCallOfAPassLatchesTheFailure)
{
    const size_t passCalls = 28 + 1; // with a save
    for (size_t i = 0; i < passCalls; ++i) {
        SCOPED_TRACE(i);
        ResetArchiveState();
        state->calls.clear();
        state->failAt = -1;
        clock = 1.0;
        OpenExcel();
        const size_t mark = state->calls.size();
        state->failAt = int(mark + i);
        clock = 1.01; // the pass saves
        SaveExcel();
        EXPECT_EQ(caption, CaptionExcelError);
        EXPECT_TRUE(ArchiveFailed);
        EXPECT_TRUE(ArchiveOpen);
        EXPECT_EQ(state->calls.size(), mark + i + 1); // the rest of the pass is not written
        // Failed: later passes, visibility, closing and opening make no calls.
        SaveExcel();
        ExcelVisibleClick();
        CloseExcel();
        OpenExcel();
        EXPECT_EQ(state->calls.size(), mark + i + 1);
        EXPECT_EQ(caption, CaptionExcelError);
        EXPECT_FALSE(Sheet.IsEmpty() && ExcelApp.IsEmpty()); // left as they are
    }
}

TEST_F(ArchiveTest, ClosingAndVisibilityFailures)
{
    for (size_t i = 0; i < kClose.size(); ++i) {
        SCOPED_TRACE(i);
        ResetArchiveState();
        state->calls.clear();
        state->failAt = -1;
        OpenExcel();
        const size_t mark = state->calls.size();
        state->failAt = int(mark + i);
        CloseExcel();
        EXPECT_EQ(state->calls.size(), mark + i + 1);
        EXPECT_EQ(caption, CaptionExcelError);
        EXPECT_TRUE(ArchiveFailed);
        EXPECT_TRUE(ArchiveOpen);
        EXPECT_TRUE(ExcelApp.IsEmpty() && Workbook.IsEmpty() && Sheet.IsEmpty());
    }

    ResetArchiveState();
    state->calls.clear();
    state->failAt = -1;
    OpenExcel();
    state->failAt = int(state->calls.size());
    ExcelVisibleClick();
    EXPECT_EQ(caption, CaptionExcelError);
    EXPECT_TRUE(ArchiveFailed);
}

TEST_F(ArchiveTest, AVisibilityFailureDuringAPassStopsThePass)
{
    OpenExcel();
    // The operator toggles the check box while the pass dispatches messages, and it fails.
    onEvents = [this] {
        state->failAt = int(state->calls.size());
        ExcelVisibleClick();
        onEvents = nullptr;
    };
    const size_t mark = state->calls.size();
    SaveExcel();
    EXPECT_TRUE(ArchiveFailed);
    EXPECT_EQ(CallsFrom(mark), (Calls{"sheet1.Range get(BSTR A1)", "range.Select method()",
                                      "app.Visible put() = BOOL -1"}));
}

TEST(ArchiveRealText, NumbersByTheRealNumberTextRule)
{
    const std::pair<const char *, double> numbers[] = {
        {"    12.5", 12.5}, {"-3", -3},           {"+.5", 0.5}, {"5.", 5},
        {"1e3", 1000},      {" -0.5E-2", -0.005}, {"007", 7},
    };
    for (const auto &[text, expected] : numbers) {
        double v = 0;
        EXPECT_TRUE(ParseRealText(QString::fromUtf8(text), v)) << text;
        EXPECT_EQ(v, expected) << text;
    }
    for (const char *text : {"12,5", "12.5 ", "", ".", "1e", "e5", "0x10", "1e999", "   Ошибка",
                             "nan", "inf", "1 2", "\t1"}) {
        double v = 42;
        EXPECT_FALSE(ParseRealText(QString::fromUtf8(text), v)) << text;
        EXPECT_EQ(v, 42);
    }
}

TEST_F(ArchiveTest, TheDefaultTimeOfDayIsTheLongTimeWithoutZone)
{
    host.timeOfDayText = nullptr;
    SetArchiveHost(host);
    OpenExcel();
    SaveExcel();
    const Calls pass = state->Shown();
    const auto it = std::find_if(pass.begin(), pass.end(), [](const std::string &c) {
        return c.starts_with("sheet1.Cells put(I4 5, I4 1) = BSTR ");
    });
    ASSERT_NE(it, pass.end());
    const QString text = QString::fromStdString(it->substr(it->rfind("BSTR ") + 5));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^\\d{1,2}:\\d\\d:\\d\\d( ?[AaPp][Mm])?$"))
                    .match(text)
                    .hasMatch())
        << text.toStdString();
}

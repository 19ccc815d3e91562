// A writer killed between passes or in the middle of a save: the next opening has every pass
// but the one in progress, and nothing of the interrupted save is left behind.
#include "bookfile.h"
#include "document.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <xlsxwriter.h>

#include <csignal>
#include <unistd.h>

namespace
{

constexpr int kColumns = 9;

// One pass the way the archive writes it: the counter, then row `row`.
void WritePass(workbook::Document &doc, int row)
{
    const std::uint32_t sheet = doc.Sheets()[0].sheetId;
    doc.SetNumber(sheet, 2, 2, row);
    doc.SetText(sheet, row, 1, "14:05:07");
    for (int c = 2; c <= kColumns; ++c)
        doc.SetNumber(sheet, row, c, row + c / 10.0);
}

// A workbook with a few thousand rows, so a save takes a moment.
void MakeBook(const std::string &path, int rows)
{
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE;
    lxw_workbook *book = workbook_new_opt(path.c_str(), &options);
    lxw_worksheet *ws = workbook_add_worksheet(book, nullptr);
    worksheet_write_number(ws, 1, 1, rows + 4, nullptr);
    for (int r = 5; r < rows + 5; ++r) {
        worksheet_write_string(ws, static_cast<lxw_row_t>(r - 1), 0, "10:00:00", nullptr);
        for (int c = 2; c <= kColumns; ++c)
            worksheet_write_number(ws, static_cast<lxw_row_t>(r - 1), static_cast<lxw_col_t>(c - 1),
                                   r + c / 10.0, nullptr);
    }
    ASSERT_EQ(workbook_close(book), LXW_NO_ERROR);
}

// Starts this test program again as the writer; it prints "pass <n>" after each pass and
// "saving" once a save is under way, then waits to be killed.
QProcess *StartWriter(const QString &book, const QString &mode, int first, int passes)
{
    auto *p = new QProcess;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("PTK71_CRASH_BOOK"), book);
    env.insert(QStringLiteral("PTK71_CRASH_MODE"), mode);
    env.insert(QStringLiteral("PTK71_CRASH_FIRST"), QString::number(first));
    env.insert(QStringLiteral("PTK71_CRASH_PASSES"), QString::number(passes));
    p->setProcessEnvironment(env);
    p->start(QCoreApplication::applicationFilePath(),
             {QStringLiteral("--gtest_filter=CrashWriter.Writes")});
    return p;
}

bool WaitForLine(QProcess *p, const QByteArray &line)
{
    QByteArray seen;
    for (int i = 0; i < 600; ++i) {
        p->waitForReadyRead(100);
        seen += p->readAllStandardOutput();
        if (seen.contains(line + "\n"))
            return true;
    }
    return false;
}

} // namespace

// The writer's side (runs only when started by the tests below).
TEST(CrashWriter, Writes)
{
    const QByteArray book = qgetenv("PTK71_CRASH_BOOK");
    if (book.isEmpty())
        GTEST_SKIP() << "started by the crash tests only";
    const QByteArray mode = qgetenv("PTK71_CRASH_MODE");
    const int first = qEnvironmentVariableIntValue("PTK71_CRASH_FIRST");
    const int passes = qEnvironmentVariableIntValue("PTK71_CRASH_PASSES");
    std::string error;
    auto doc = workbook::Document::Open(book.toStdString(), &error);
    ASSERT_TRUE(doc) << error;
    for (int i = 0; i < passes; ++i) {
        WritePass(*doc, first + i);
        std::printf("pass %d\n", i + 1);
        std::fflush(stdout);
        ::usleep(30000);
    }
    if (mode == "save") {
        ASSERT_TRUE(doc->Save(&error)) << error;
        std::printf("saving\n");
        std::fflush(stdout);
    }
    for (;;)
        ::pause();
}

TEST(Crash, KilledBetweenPassesEveryCompletedPassIsThere)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("crash.xlsx")).toStdString();
    MakeBook(path, 100);
    QProcess *writer = StartWriter(QString::fromStdString(path), QStringLiteral("passes"), 105, 50);
    ASSERT_TRUE(WaitForLine(writer, "pass 5"));
    ::usleep(10000); // in the pause after the pass
    ::kill(static_cast<pid_t>(writer->processId()), SIGKILL);
    writer->waitForFinished();
    delete writer;

    std::string error;
    auto doc = workbook::Document::Open(path, &error);
    ASSERT_TRUE(doc) << error;
    workbook::CellValue counter;
    ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, 2, 2, counter, &error));
    ASSERT_GE(counter.number, 109); // passes 1..5 wrote rows 105..109
    for (int row = 105; row < counter.number; ++row) {
        workbook::CellValue v;
        ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, row, kColumns, v, &error));
        EXPECT_DOUBLE_EQ(v.number, row + kColumns / 10.0) << "row " << row;
    }
    // Recovered changes are saved like any other.
    ASSERT_TRUE(doc->Save(&error)) << error;
    ASSERT_TRUE(doc->Close(&error)) << error;
    EXPECT_EQ(booktest::Read(path).Text(0, 109, 2), "109.2");
}

TEST(Crash, KilledDuringASaveNothingIsLostAndNothingLeftBehind)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("saving.xlsx")).toStdString();
    MakeBook(path, 20000);
    QProcess *writer = StartWriter(QString::fromStdString(path), QStringLiteral("save"), 20005, 3);
    ASSERT_TRUE(WaitForLine(writer, "saving"));
    ::usleep(5000);
    ::kill(static_cast<pid_t>(writer->processId()), SIGKILL);
    writer->waitForFinished();
    delete writer;

    std::string error;
    auto doc = workbook::Document::Open(path, &error);
    ASSERT_TRUE(doc) << error;
    const QStringList left =
        QDir(dir.path())
            .entryList({QStringLiteral(".saving.xlsx.ptk71-save-*")}, QDir::Hidden | QDir::Files);
    EXPECT_TRUE(left.isEmpty()) << left.join(' ').toStdString();
    workbook::CellValue v;
    ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, 2, 2, v, &error));
    EXPECT_EQ(v.number, 20007);
    ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, 20007, 3, v, &error));
    EXPECT_DOUBLE_EQ(v.number, 20007.3);
    ASSERT_TRUE(doc->Close(&error)) << error;
}

// A writer killed between passes, in the middle of a save or just after a save put the new file
// in place: the next opening has every pass but the one in progress, and nothing of the
// interrupted save is left behind. What a crash left beside the workbook is kept when a new
// workbook takes its name, and a Save whose pass cannot be made durable fails.
#include "bookfile.h"
#include "document.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <xlsxwriter.h>

#include <csignal>
#include <fstream>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
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

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

bool Exists(const std::string &path)
{
    struct stat st {
    };
    return ::lstat(path.c_str(), &st) == 0;
}

// Kills this process the moment a file named like `book` is renamed into its folder: the
// crash right after a save put the new workbook in place, before the journal was rewritten.
void KillAtRename(const std::string &book)
{
    const std::size_t slash = book.rfind('/');
    const int fd = ::inotify_init1(IN_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_GE(::inotify_add_watch(fd, book.substr(0, slash).c_str(), IN_MOVED_TO), 0);
    std::thread([fd, name = book.substr(slash + 1)] {
        alignas(inotify_event) char buf[4096];
        for (;;) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            for (ssize_t at = 0; at < n;) {
                const auto *e = reinterpret_cast<const inotify_event *>(buf + at);
                if (e->len > 0 && name == e->name)
                    ::kill(::getpid(), SIGKILL);
                at += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
            }
        }
    }).detach();
}

// Starts this test program again as the writer; it prints "pass <n>" after each pass and
// "saving" once a save is under way. In "save" mode it writes as many passes again while the
// save runs and waits to be killed; in "renamed" mode it goes on writing passes until it kills
// itself when the save renames the new workbook into place.
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
    if (mode == "save" || mode == "renamed") {
        if (mode == "renamed")
            KillAtRename(book.toStdString());
        ASSERT_TRUE(doc->Save(&error)) << error;
        std::printf("saving\n");
        std::fflush(stdout);
        for (int i = passes; mode == "renamed" || i < 2 * passes; ++i) {
            WritePass(*doc, first + i);
            std::printf("pass %d\n", i + 1);
            std::fflush(stdout);
            ::usleep(5000);
        }
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
    ASSERT_TRUE(WaitForLine(writer, "pass 5")); // two passes written while the save runs
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
    workbook::CellValue counter;
    ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, 2, 2, counter, &error));
    EXPECT_GE(counter.number, 20009);
    for (int row = 20005; row <= counter.number; ++row) {
        workbook::CellValue v;
        ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, row, 3, v, &error));
        EXPECT_DOUBLE_EQ(v.number, row + 0.3) << "row " << row;
    }
    ASSERT_TRUE(doc->Close(&error)) << error;
}

TEST(Crash, KilledJustAfterASaveRenamedTheWorkbookThePassesOfTheSaveAreThere)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("renamed.xlsx")).toStdString();
    MakeBook(path, 20000);
    QProcess *writer =
        StartWriter(QString::fromStdString(path), QStringLiteral("renamed"), 20005, 3);
    ASSERT_TRUE(writer->waitForFinished(60000));
    const QByteArray output = writer->readAllStandardOutput();
    const int passes = static_cast<int>(output.count("pass "));
    delete writer;
    ASSERT_TRUE(output.contains("saving\n"));
    // Passes written while the save ran reached the journal before its rebase record did.
    ASSERT_GT(passes, 4);

    std::string error;
    auto doc = workbook::Document::Open(path, &error);
    ASSERT_TRUE(doc) << error;
    EXPECT_FALSE(Exists(workbook::Journal::PathOf(path) + ".new"));
    const std::uint32_t sheet = doc->Sheets()[0].sheetId;
    workbook::CellValue counter;
    ASSERT_TRUE(doc->Value(sheet, 2, 2, counter, &error));
    // The pass in progress at the kill may be lost, no other. The first three passes are in
    // the saved file; the ones written while the save ran come from the journal.
    EXPECT_GE(counter.number, 20005 + passes - 2);
    for (int row = 20008; row <= counter.number; ++row) {
        workbook::CellValue v;
        ASSERT_TRUE(doc->Value(sheet, row, kColumns, v, &error)) << error;
        EXPECT_DOUBLE_EQ(v.number, row + kColumns / 10.0) << "row " << row;
    }
    ASSERT_TRUE(doc->Close(&error)) << error;
}

TEST(Crash, WhatACrashLeftBesideTheWorkbookIsCleanedUpOrKept)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("kept.xlsx")).toStdString();
    const std::string journal = workbook::Journal::PathOf(path);
    const std::string notOurs =
        dir.filePath(QStringLiteral(".kept.xlsx.ptk71-journal.newer")).toStdString();
    MakeBook(path, 10);
    std::string error;
    auto doc = workbook::Document::Open(path, &error);
    ASSERT_TRUE(doc) << error;
    WritePass(*doc, 15);
    doc->Discard(); // as a crash leaves it: the pass is in the journal only

    // A rewrite of the journal was cut short: the journal is whole, its temporary file goes.
    WriteFile(journal + ".new", "half a journal");
    WriteFile(notOurs, "somebody else's");
    doc = workbook::Document::Open(path, &error);
    ASSERT_TRUE(doc) << error;
    EXPECT_FALSE(Exists(journal + ".new"));
    EXPECT_TRUE(Exists(notOurs));
    workbook::CellValue v;
    ASSERT_TRUE(doc->Value(doc->Sheets()[0].sheetId, 15, kColumns, v, &error));
    EXPECT_DOUBLE_EQ(v.number, 15 + kColumns / 10.0);
    WritePass(*doc, 16);
    doc->Discard();
    const std::string unsaved = ReadFile(journal);
    ASSERT_FALSE(unsaved.empty());

    // The user moved the workbook away; the next run starts a new one under its name. The
    // journal of the old one is kept beside it, not replaced by the new one's.
    ASSERT_EQ(::unlink(path.c_str()), 0);
    doc = workbook::Document::New();
    WritePass(*doc, 5);
    ASSERT_TRUE(doc->SaveAs(path, &error)) << error;
    const QStringList kept =
        QDir(dir.path())
            .entryList({QStringLiteral("kept.xlsx.*.ptk71-journal")}, QDir::Files | QDir::Hidden);
    ASSERT_EQ(kept.size(), 1);
    EXPECT_EQ(ReadFile(dir.filePath(kept[0]).toStdString()), unsaved);
    ASSERT_TRUE(doc->Close(&error)) << error;
    EXPECT_EQ(booktest::Read(path).Text(0, 5, 2), "5.2");
}

TEST(Crash, SaveFailsWhenThePassCannotBeMadeDurable)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("full.xlsx")).toStdString();
    MakeBook(path, 10);
    // In a process of its own: the journal cannot grow past its header there (as on a full
    // disk), and Save must say so rather than claim the pass is safe.
    const pid_t child = ::fork();
    if (child == 0) {
        workbook::SetEventHooks({});
        std::string error;
        auto doc = workbook::Document::Open(path, &error);
        struct stat st {
        };
        if (!doc || ::stat(workbook::Journal::PathOf(path).c_str(), &st) != 0)
            ::_exit(3);
        ::signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = static_cast<rlim_t>(st.st_size);
        ::setrlimit(RLIMIT_FSIZE, &limit);
        WritePass(*doc, 15);
        const bool saved = doc->Save(&error);
        ::_exit(saved ? 1 : error.find("journal") != std::string::npos ? 0 : 2);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: Save returned true; 2: without the journal's error";
}

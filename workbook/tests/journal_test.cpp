// The journal beside a workbook and the lock file: what a crash leaves, what the next opening
// makes of it, and who may write the workbook.
#include "journal.h"
#include "lockfile.h"

#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/wait.h>
#include <unistd.h>

using namespace workbook;

namespace
{

class JournalTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        book_ = dir_.filePath("book.xlsx").toStdString();
        Write(book_, "first version of the workbook");
    }

    static void Write(const std::string &path, const std::string &bytes)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    }
    static std::string Read(const std::string &path)
    {
        std::ifstream in(path, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }

    JournalBase BaseOf(const std::string &path) const
    {
        const int fd = ::open(path.c_str(), O_RDONLY);
        auto base = JournalBase::Of(fd);
        ::close(fd);
        EXPECT_TRUE(base);
        return *base;
    }

    static JournalRecord Number(std::uint32_t row, double value)
    {
        JournalRecord r;
        r.type = JournalRecord::Type::Number;
        r.sheet = 1;
        r.row = row;
        r.column = 2;
        r.number = value;
        return r;
    }

    // A journal read back, with the records it hands over.
    struct Replayed : ReplayResult {
        std::vector<JournalRecord> records;
    };
    static Replayed Replay(const std::string &book, const JournalBase &base)
    {
        Replayed r;
        static_cast<ReplayResult &>(r) =
            ReadJournal(book, base, [&r](const JournalRecord &x) { r.records.push_back(x); });
        return r;
    }

    QTemporaryDir dir_;
    std::string book_;
};

} // namespace

TEST_F(JournalTest, WhatWasAppendedIsReadBackByTheNextOpening)
{
    const JournalBase base = BaseOf(book_);
    std::string error;
    {
        auto journal = Journal::Start(book_, base, 1, &error);
        ASSERT_TRUE(journal) << error;
        journal->Append(Number(5, 1.5));
        JournalRecord note;
        note.type = JournalRecord::Type::Note;
        note.sheet = 1;
        note.row = 5;
        note.column = 3;
        note.text = "Нет ответа";
        const std::uint64_t last = journal->Append(note);
        EXPECT_TRUE(journal->WaitDurable(last, std::chrono::seconds(5)));
    }
    const Replayed replay = Replay(book_, base);
    ASSERT_EQ(replay.status, ReplayResult::Status::Applied);
    ASSERT_EQ(replay.records.size(), 2u);
    EXPECT_EQ(replay.records[0].number, 1.5);
    EXPECT_EQ(replay.records[1].text, "Нет ответа");
    EXPECT_EQ(replay.lastSeq, 2u);
    EXPECT_FALSE(replay.tornTail);
}

TEST_F(JournalTest, AKilledWriterLosesNothingItAppendedAndACutRecordIsIgnored)
{
    const JournalBase base = BaseOf(book_);
    const pid_t child = ::fork();
    if (child == 0) {
        std::string error;
        auto journal = Journal::Start(book_, base, 1, &error);
        for (std::uint32_t row = 5; row < 105; ++row)
            journal->Append(Number(row, row));
        // Written promptly by the journal's thread; nobody waits for the disk here.
        ::usleep(300000);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    const std::string path = Journal::PathOf(book_);
    // A crash in the middle of a record: the torn bytes are ignored.
    std::string bytes = Read(path);
    bytes += std::string("\x40\x00\x00\x00garbage", 11);
    Write(path, bytes);
    const Replayed replay = Replay(book_, base);
    ASSERT_EQ(replay.status, ReplayResult::Status::Applied);
    EXPECT_EQ(replay.records.size(), 100u);
    EXPECT_TRUE(replay.tornTail);
}

TEST_F(JournalTest, ASaveHandsTheJournalToTheNewFileWhereverACrashHits)
{
    const JournalBase old = BaseOf(book_);
    std::string error;
    auto journal = Journal::Start(book_, old, 1, &error);
    ASSERT_TRUE(journal);
    journal->Append(Number(5, 1)); // in the save
    journal->Append(Number(6, 2)); // in the save
    const std::uint64_t through = journal->LastSeq();
    const std::string next = dir_.filePath(".book.xlsx.save").toStdString();
    Write(next, "second version, with rows 5 and 6");
    const JournalBase nextBase = BaseOf(next);
    // Made while the save ran, and in the file before the rebase record is.
    journal->Append(Number(7, 3));
    ASSERT_TRUE(journal->WaitDurable(journal->LastSeq(), std::chrono::seconds(5)));
    ASSERT_TRUE(journal->Rebase(through, nextBase, &error)) << error;
    journal->Append(Number(8, 4)); // after it
    ASSERT_TRUE(journal->WaitDurable(journal->LastSeq(), std::chrono::seconds(5)));

    // Crash before the rename: the old file is there, every change applies to it.
    Replayed before = Replay(book_, old);
    ASSERT_EQ(before.status, ReplayResult::Status::Applied);
    EXPECT_EQ(before.records.size(), 4u);

    // Crash after the rename, before the journal was rewritten: what the save did not write
    // applies, wherever it stands.
    ASSERT_EQ(::rename(next.c_str(), book_.c_str()), 0);
    const std::string crashed = Read(Journal::PathOf(book_));
    Replayed after = Replay(book_, nextBase);
    ASSERT_EQ(after.status, ReplayResult::Status::Applied);
    ASSERT_EQ(after.records.size(), 2u);
    EXPECT_EQ(after.records[0].row, 7u);
    EXPECT_EQ(after.records[1].row, 8u);

    // The save's rewrite keeps both, for the new file.
    ASSERT_TRUE(journal->Compact(through, nextBase, &error)) << error;
    journal.reset();
    const Replayed compacted = Replay(book_, nextBase);
    ASSERT_EQ(compacted.status, ReplayResult::Status::Applied);
    EXPECT_TRUE(compacted.headerMatches);
    ASSERT_EQ(compacted.records.size(), 2u);
    EXPECT_EQ(compacted.records[0].row, 7u);
    EXPECT_EQ(compacted.records[1].row, 8u);
    EXPECT_EQ(compacted.lastSeq, 4u);

    // So does the next opening going on with the journal the crash left, and what it appends
    // after them comes next.
    Write(Journal::PathOf(book_), crashed);
    after = Replay(book_, nextBase);
    ASSERT_EQ(after.records.size(), 2u);
    journal = Journal::Continue(book_, nextBase, after, &error);
    ASSERT_TRUE(journal) << error;
    EXPECT_EQ(journal->Append(Number(9, 5)), 5u);
    journal.reset();
    const Replayed continued = Replay(book_, nextBase);
    ASSERT_EQ(continued.status, ReplayResult::Status::Applied);
    EXPECT_TRUE(continued.headerMatches);
    ASSERT_EQ(continued.records.size(), 3u);
    EXPECT_EQ(continued.records[0].row, 7u);
    EXPECT_EQ(continued.records[1].row, 8u);
    EXPECT_EQ(continued.records[2].row, 9u);
}

TEST_F(JournalTest, ANewJournalNeverReplacesOneThatIsThere)
{
    const JournalBase base = BaseOf(book_);
    std::string error;
    // Three journals started under one name within a second or two: the first two are kept,
    // each under a name of its own.
    std::vector<std::string> written;
    for (std::uint32_t row = 5; row < 8; ++row) {
        auto journal = Journal::Start(book_, base, 1, &error);
        ASSERT_TRUE(journal) << error;
        journal->Append(Number(row, row));
        ASSERT_TRUE(journal->WaitDurable(1, std::chrono::seconds(5)));
        journal.reset();
        written.push_back(Read(Journal::PathOf(book_)));
    }
    const QStringList kept =
        QDir(dir_.path()).entryList({QStringLiteral("book.xlsx.*.ptk71-journal")}, QDir::Files);
    ASSERT_EQ(kept.size(), 2);
    std::vector<std::string> keptBytes;
    for (const QString &name : kept)
        keptBytes.push_back(Read(dir_.filePath(name).toStdString()));
    std::sort(keptBytes.begin(), keptBytes.end());
    std::vector<std::string> expected{written[0], written[1]};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(keptBytes, expected);
    EXPECT_EQ(Replay(book_, base).records.at(0).row, 7u);
}

TEST_F(JournalTest, AJournalOfAnotherFileIsKeptAsideNeverApplied)
{
    std::string error;
    {
        auto journal = Journal::Start(book_, BaseOf(book_), 1, &error);
        journal->Append(Number(5, 1));
    }
    Write(book_, "somebody copied another workbook over it");
    const Replayed replay = Replay(book_, BaseOf(book_));
    ASSERT_EQ(replay.status, ReplayResult::Status::Moved);
    EXPECT_TRUE(replay.records.empty());
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(Journal::PathOf(book_))));
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(replay.recoveryPath)));
    EXPECT_NE(Read(replay.recoveryPath).find("PTK71JNL"), std::string::npos);
}

TEST(JournalRecords, DecodingRefusesWhatEncodingDoesNotMake)
{
    JournalRecord r;
    r.type = JournalRecord::Type::Text;
    r.seq = 42;
    r.sheet = 7;
    r.row = 65501;
    r.column = 254;
    r.text = std::string("a\0b", 3);
    std::string payload;
    EncodeRecord(r, payload);
    JournalRecord back;
    ASSERT_TRUE(DecodeRecord(payload, back));
    EXPECT_EQ(back.seq, 42u);
    EXPECT_EQ(back.text, r.text);
    EXPECT_FALSE(DecodeRecord(payload.substr(0, payload.size() - 1), back));
    payload[0] = 99;
    EXPECT_FALSE(DecodeRecord(payload, back));
}

// ---------------------------------------------------------------------------------------------

TEST(WorkbookLock, OneWriterAtATimeAndStaleLocksAreTakenOver)
{
    QTemporaryDir dir;
    const std::string book = dir.filePath("book.xlsx").toStdString();
    const std::string lockPath = WorkbookLock::LockPathOf(book);
    EXPECT_EQ(lockPath, dir.filePath(".~lock.book.xlsx#").toStdString());

    std::string why;
    auto lock = WorkbookLock::Acquire(book, &why);
    ASSERT_TRUE(lock) << why;
    std::ifstream in(lockPath);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    const auto fields = ParseLockFields(text);
    ASSERT_EQ(fields.size(), 5u);
    EXPECT_EQ(fields[0], "PTK71");
    EXPECT_EQ(fields[4], WorkbookLock::OwnId());

    // A second writer in this very process is refused, and told who holds it.
    EXPECT_FALSE(WorkbookLock::Acquire(book, &why));
    EXPECT_NE(why.find("PTK71"), std::string::npos);
    lock.reset();
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(lockPath)));

    // The lock of an instance that crashed (no such process) is taken over.
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    std::ofstream(lockPath) << "PTK71,someone," << host << ",09.12.2026 10:00,ptk71:999999999:1;";
    lock = WorkbookLock::Acquire(book, &why);
    EXPECT_TRUE(lock) << why;
    lock.reset();

    // The spreadsheet suite's own lock, or one from another host, is honoured.
    std::ofstream(lockPath)
        << ",Ivan Petrov,labpc,09.12.2026 10:00,file:///home/ivan/.config/office/4;";
    EXPECT_FALSE(WorkbookLock::Acquire(book, &why));
    EXPECT_NE(why.find("Ivan Petrov"), std::string::npos);
    std::ofstream(lockPath) << "PTK71,someone,otherhost,09.12.2026 10:00,ptk71:1:1;";
    EXPECT_FALSE(WorkbookLock::Acquire(book, &why));
}

TEST(WorkbookLock, FieldsAreEscapedTheWayTheSuiteWritesThem)
{
    EXPECT_EQ(ParseLockFields("a\\,b,c\\;d,e\\\\;tail"),
              (std::vector<std::string>{"a,b", "c;d", "e\\"}));
    EXPECT_TRUE(ParseLockFields("no terminator").empty());
}

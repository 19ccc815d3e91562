// Fuzzes reading a workbook's journal at the next opening: a journal whose header names the
// workbook is followed by fuzzed bytes as its records. Whatever they are, the replay must end
// without misbehaving, hand over only whole records with sane fields, report where the last
// whole record ends, and a journal continued from there must read back the same records.
#include "journal.h"
#include "xlsx_common.h"

#include <fstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace workbook;
    const std::string folder = fuzzxlsx::Folder("journal_replay");
    const std::string book = folder + "/book.xlsx";
    fuzzxlsx::WriteFile(book, "a workbook");
    const int fd = ::open(book.c_str(), O_RDONLY | O_CLOEXEC);
    const auto base = JournalBase::Of(fd);
    ::close(fd);
    FUZZ_CHECK(base.has_value());
    std::string error;
    {
        auto journal = Journal::Start(book, *base, 1, &error); // writes the header only
        FUZZ_CHECK(journal != nullptr);
    }
    {
        std::ofstream out(Journal::PathOf(book), std::ios::binary | std::ios::app);
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    }
    std::vector<JournalRecord> first;
    const ReplayResult replay = ReadJournal(book, *base, [&](const JournalRecord &r) {
        FUZZ_CHECK(r.type >= JournalRecord::Type::Number && r.type < JournalRecord::Type::Rebase);
        first.push_back(r);
    });
    FUZZ_CHECK(replay.status == ReplayResult::Status::Applied && replay.headerMatches);
    FUZZ_CHECK(replay.applied == first.size());
    for (const JournalRecord &r : first)
        FUZZ_CHECK(r.seq <= replay.lastSeq);
    // Going on after the last whole record: the torn tail is gone, the records stay.
    {
        auto journal = Journal::Continue(book, *base, replay, &error);
        FUZZ_CHECK(journal != nullptr);
    }
    std::vector<JournalRecord> second;
    const ReplayResult again =
        ReadJournal(book, *base, [&](const JournalRecord &r) { second.push_back(r); });
    FUZZ_CHECK(again.status == ReplayResult::Status::Applied && !again.tornTail);
    FUZZ_CHECK(second.size() == first.size());
    for (size_t i = 0; i < first.size(); ++i)
        FUZZ_CHECK(second[i].seq == first[i].seq && second[i].text == first[i].text &&
                   second[i].row == first[i].row);
    ::unlink(Journal::PathOf(book).c_str());
    return 0;
}

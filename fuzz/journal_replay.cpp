// Fuzzes reading a workbook's journal at the next opening: a journal whose header names the
// workbook is followed by records made of the input. Whatever they are, the replay must end
// without misbehaving, hand over only whole records with sane fields, report where the last
// whole record ends, and a journal continued from there must read back the same records.
//
// Input: when byte 0 is even, the rest is appended to the journal as it is (lengths and
// checksums included, so most records made this way are refused as damaged). When it is odd,
// the rest is a list of records the target frames itself: per record a control byte, a length
// byte and that many bytes of payload (fewer at the end of the input), framed with its length
// and correct checksum, or with a wrong checksum when the control byte's bit 0 is set. Then
// the replay must hand over exactly the payloads that decode, in order, up to the first one
// that is damaged or does not decode.
#include "journal.h"
#include "xlsx_common.h"

#include <zlib.h>

#include <cstring>
#include <fstream>

namespace
{

using namespace workbook;

void Put32(std::string &out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t Get32(const char *p)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = (v << 8) | static_cast<unsigned char>(p[i]);
    return v;
}

// A framed payload and what the replay must do with it.
struct Framed {
    std::string payload;  // with the flag byte as a record encodes it (0 or 1)
    bool damaged = false; // wrong checksum, or a payload no record encodes to
    bool applies = false; // handed over when no record before it is damaged
    bool mayApply = false;
};

// The payload layout (see EncodeRecord): type, seq, sheet, row, column, flag, number, text
// length, text. A record decodes when its type is a known one and the text fills the rest.
constexpr std::size_t kFixed = 1 + 8 + 4 + 4 + 4 + 1 + 8 + 4;
constexpr std::uint8_t kRebase = static_cast<std::uint8_t>(JournalRecord::Type::Rebase);

std::vector<Framed> FrameRecords(const uint8_t *data, size_t size, std::string &out)
{
    std::vector<Framed> records;
    for (size_t i = 0; i + 2 <= size;) {
        const uint8_t control = data[i];
        const size_t n = std::min<size_t>(data[i + 1], size - i - 2);
        Framed f;
        f.payload.assign(reinterpret_cast<const char *>(data + i + 2), n);
        i += 2 + n;
        const std::uint32_t crc = static_cast<std::uint32_t>(
            crc32(0, reinterpret_cast<const Bytef *>(f.payload.data()), static_cast<uInt>(n)));
        Put32(out, static_cast<std::uint32_t>(n));
        Put32(out, (control & 1) != 0 ? crc ^ (1u + control) : crc);
        out += f.payload;
        const auto type = n > 0 ? static_cast<std::uint8_t>(f.payload[0]) : 0;
        f.damaged = (control & 1) != 0 || n < kFixed || type < 1 || type > kRebase ||
                    n != kFixed + Get32(f.payload.data() + 30);
        if (!f.damaged)
            f.payload[21] = f.payload[21] != 0 ? 1 : 0;
        if (!f.damaged && type != kRebase) {
            std::uint64_t seq = 0;
            std::memcpy(&seq, f.payload.data() + 1, sizeof seq); // little-endian host
            // Records numbered 0 come from no journal; whether they apply is left open.
            f.applies = seq != 0;
            f.mayApply = true;
        }
        records.push_back(std::move(f));
    }
    return records;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
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
    const bool framed = size > 0 && (data[0] & 1) != 0;
    std::string bytes;
    std::vector<Framed> records;
    if (framed)
        records = FrameRecords(data + 1, size - 1, bytes);
    else
        bytes.assign(reinterpret_cast<const char *>(data), size);
    {
        std::ofstream out(Journal::PathOf(book), std::ios::binary | std::ios::app);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
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
    if (framed) {
        // Exactly the records that decode, up to the first damaged one, each as it was encoded.
        size_t next = 0;
        for (const JournalRecord &r : first) {
            std::string encoded;
            EncodeRecord(r, encoded);
            while (next < records.size() && !records[next].damaged && !records[next].applies &&
                   (!records[next].mayApply || records[next].payload != encoded))
                ++next;
            FUZZ_CHECK(next < records.size() && !records[next].damaged &&
                       records[next].payload == encoded);
            ++next;
        }
        for (; next < records.size() && !records[next].damaged; ++next)
            FUZZ_CHECK(!records[next].applies);
    }
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

// Fuzzes the streaming editors on their own: whatever bytes a worksheet, comments or drawing
// part holds, an editor must give the same result whether the part arrives whole or in small
// pieces (the splicer offers it in pieces and offers again what the editor left undecided),
// must never decide more bytes than it was offered, and must decide every byte by the end.
// Input: byte 0 picks a piece size, byte 1 the editor; the rest is the part. The whole part's
// result is compared with that of several ways of cutting it: pieces of the size byte 0 picks,
// pieces of 1 to 4 bytes in a sequence derived from the input, and, for parts up to 1 KiB,
// single bytes (so that a piece ends at every byte).
#include "sheetpatch.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

namespace
{

void Check(bool condition)
{
    if (!condition)
        std::abort();
}

class Runner : public workbook::SpliceOps
{
  public:
    explicit Runner(std::string_view old) : old_(old) {}
    void Copy(std::uint64_t n) override
    {
        Check(decided_ + n <= offeredEnd_);
        out_.append(old_.substr(decided_, n));
        decided_ += n;
    }
    void Skip(std::uint64_t n) override
    {
        Check(decided_ + n <= offeredEnd_);
        decided_ += n;
    }
    void Insert(std::string_view bytes) override { out_.append(bytes); }

    // Offers the part in pieces of `chunk` bytes, or, when `seed` is not 0, of 1 to `chunk`
    // bytes in a sequence `seed` picks. False when the editor fails; `out` is its output.
    bool Run(workbook::SpliceEditor &editor, std::size_t chunk, std::uint32_t seed,
             std::string &out)
    {
        std::size_t available = 0;
        for (;;) {
            std::size_t step = chunk;
            if (seed != 0) {
                seed ^= seed << 13;
                seed ^= seed >> 17;
                seed ^= seed << 5;
                step = 1 + seed % chunk;
            }
            available = std::min(old_.size(), available + step);
            const bool last = available == old_.size();
            offeredEnd_ = available;
            if (!editor.Consume(old_.substr(decided_, available - decided_), last, *this))
                return false;
            if (last) {
                Check(decided_ == old_.size());
                out = out_;
                return true;
            }
        }
    }

  private:
    std::string_view old_;
    std::string out_;
    std::size_t decided_ = 0;
    std::size_t offeredEnd_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace workbook;
    if (size < 2)
        return 0;
    const int which = data[1] % 4;
    const std::string_view part(reinterpret_cast<const char *>(data + 2), size - 2);

    ChangeSet changes;
    for (int row : {2, 5, 7}) {
        changes.SetNumber(1, row, 2, row * 1.5);
        changes.SetText(1, row, 1, "10:00:00");
        changes.RemoveNote(1, row, 3);
        changes.SetNote(1, row, 3, "Нет ответа", row == 5);
    }
    changes.ClearValue(1, 7, 4);
    ShapeIds ids;
    ids.newBlocks = {4};
    ids.firstId = 4 * 1024 + 1;
    ids.capacity = 1023;
    auto make = [&]() -> std::unique_ptr<SpliceEditor> {
        const SheetChanges &s = *changes.FindSheet(1);
        switch (which) {
        case 0:
            return std::make_unique<SheetEditor>(s, changes.strings, "");
        case 1:
            return std::make_unique<SheetEditor>(s, changes.strings, "rId7");
        case 2:
            return std::make_unique<CommentsEditor>(s, changes.strings);
        default:
            return std::make_unique<VmlEditor>(s, changes.strings, ids);
        }
    };
    std::string whole;
    auto a = make();
    const bool okWhole = Runner(part).Run(*a, part.size() + 1, 0, whole);
    // Pieces of the size byte 0 picks; of 1 to 4 bytes in an order the input picks; of about
    // a third of the part; and, for a small part, of one byte each.
    std::uint32_t seed = 2166136261u;
    for (std::size_t i = 0; i < size; i += 1 + size / 64)
        seed = (seed ^ data[i]) * 16777619u;
    const struct {
        std::size_t chunk;
        std::uint32_t seed;
    } runs[4] = {{1 + data[0] % 97u, 0}, {4, seed | 1}, {1 + part.size() / 3, 0}, {1, 0}};
    const std::size_t count = part.size() <= 1024 ? 4 : 3;
    for (std::size_t i = 0; i < count; ++i) {
        std::string pieces;
        auto b = make();
        const bool okPieces = Runner(part).Run(*b, runs[i].chunk, runs[i].seed, pieces);
        Check(okWhole == okPieces);
        if (okWhole)
            Check(whole == pieces);
    }
    return 0;
}

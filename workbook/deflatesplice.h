#pragma once
// Rewriting one compressed part of a package without recompressing what did not change.
//
// A large part (a worksheet of 65,000 rows, its comments, its drawing) changes in a few places
// when rows are appended: a counter cell near its start, the rows before its closing tags. The
// splicer inflates the old part once, lets an editor say how the new bytes are made from the old
// ones (copy, skip, insert), and writes a new raw deflate stream in which every old deflate
// block whose bytes, and the 32 KiB window before them, reach the new stream unchanged is
// copied bit for bit; only the blocks around the edits are compressed anew. Bit-level joins use
// sync flushes and primed bits, so the result is one valid deflate stream that any reader
// inflates.
//
// Memory stays bounded: the splicer keeps the old bytes the editor has not decided yet and the
// compressed bits of the current old block; if that exceeds SpliceLimits::maxRetained, it gives
// up reusing blocks for the rest of the part and compresses everything from there on. An
// editor that leaves more than maxRetained old bytes undecided fails the splice, since those
// bytes cannot be given up.
// Crafted input is refused by a ratio limit on the inflated bytes, and the caller can cancel
// (for a time limit) through SpliceLimits::cancelled.

#include "bytestream.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace workbook
{

/// The edit script of a part: how the new uncompressed bytes are made from the old ones.
/// Old bytes are decided strictly in order.
class SpliceOps
{
  public:
    virtual ~SpliceOps() = default;
    /// The next `n` undecided old bytes go into the new stream unchanged.
    virtual void Copy(std::uint64_t n) = 0;
    /// The next `n` undecided old bytes are left out of the new stream.
    virtual void Skip(std::uint64_t n) = 0;
    /// New bytes at this point of the new stream.
    virtual void Insert(std::string_view bytes) = 0;
};

class SpliceEditor
{
  public:
    virtual ~SpliceEditor() = default;
    /// Offered every old byte not yet decided, from the first undecided one on: `data` is the
    /// tail left undecided by the previous call followed by newly inflated bytes. The editor
    /// decides a prefix of `data` through `ops` (Copy and Skip may not exceed data.size());
    /// the rest is offered again, with more bytes after it, on the next call. `last` is true on
    /// the final call, when `data` reaches the end of the old part; then every byte must be
    /// decided (and bytes may still be inserted at the end). Returns false to abort; the
    /// splice then fails with Message().
    virtual bool Consume(std::string_view data, bool last, SpliceOps &ops) = 0;
    virtual std::string Message() const { return {}; }
};

struct SpliceLimits {
    /// Inflated bytes per compressed byte allowed once more than ratioFloor bytes have been
    /// inflated (deflate cannot exceed about 1032; well-formed parts stay far below 200).
    double maxRatio = 400.0;
    std::uint64_t ratioFloor = 64ull << 20;
    /// Undecided old bytes plus compressed bits of the current old block kept at most.
    std::uint64_t maxRetained = 32ull << 20;
    /// Polled now and then; returning true aborts the splice (the error says "cancelled").
    std::function<bool()> cancelled;
};

struct SpliceResult {
    bool ok = false;
    std::string error;
    std::uint32_t crc32 = 0;            ///< of the new uncompressed bytes
    std::uint64_t uncompressedSize = 0; ///< of the new part
    std::uint64_t compressedSize = 0;   ///< raw deflate bytes written to the sink
    std::uint64_t oldUncompressedSize = 0;
    std::uint32_t oldCrc32 = 0; ///< of the old uncompressed bytes: compare with the archive's
    std::uint64_t reusedUncompressed = 0; ///< new bytes carried by reused old blocks
};

/// Transforms one part. `oldRaw` gives the old entry's data as stored in the archive (raw
/// deflate for method 8, the bytes themselves for method 0); `editor` turns its uncompressed
/// bytes into the new ones; the new part's raw deflate data goes to `out`. New blocks are
/// compressed at `level`. With `verify`, the output is inflated again as it is written and
/// checked against the new bytes, so a fault in the joins can never reach a file unnoticed.
SpliceResult SplicePart(ByteSource &oldRaw, std::uint16_t oldMethod, SpliceEditor &editor,
                        ByteSink &out, const SpliceLimits &limits = SpliceLimits(), int level = 6,
                        bool verify = true);

namespace detail
{
/// Test seam: when set, called with every piece of the new stream before it is verified and
/// written, so a test can damage the output and see the verification refuse it. Process-wide;
/// never set outside tests.
using SpliceOutputHook = void (*)(char *data, std::size_t n);
void SetSpliceOutputHook(SpliceOutputHook hook);
} // namespace detail

} // namespace workbook

#include "deflatesplice.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <climits>
#include <cstring>
#include <deque>
#include <memory>

namespace workbook
{

namespace detail
{

namespace
{
std::atomic<SpliceOutputHook> g_outputHook{nullptr};
}

void SetSpliceOutputHook(SpliceOutputHook hook)
{
    g_outputHook.store(hook);
}

} // namespace detail

namespace
{

constexpr std::size_t kChunk = 256 << 10;     ///< old bytes inflated per round
constexpr std::size_t kReadChunk = 128 << 10; ///< compressed bytes read from the source at once
constexpr std::size_t kOutSize = 1 << 20;     ///< output gathered before it goes to the sink
constexpr std::size_t kOutReserve = 64 << 10; ///< room kept free before a deflate call
constexpr std::size_t kVerifySize = 256 << 10;
constexpr std::uint64_t kWindow = 32768; ///< how far back a deflate distance can reach
constexpr std::size_t kHistory = 2 * kWindow;

/// A window [base, base + len) of a longer byte stream, in a buffer that is compacted or grown
/// only when room runs out, so retained bytes move a bounded number of times.
class Slide
{
  public:
    std::uint64_t base = 0;
    std::size_t len = 0;

    std::uint64_t End() const { return base + len; }
    char *At(std::uint64_t offset) { return mem_.get() + (offset - base); }

    /// Forgets the bytes before `keep` and makes room for `room` more bytes after End(), plus
    /// `pad` readable bytes beyond those (for word-sized reads near the end).
    void Reserve(std::uint64_t keep, std::size_t room, std::size_t pad)
    {
        const std::size_t drop = static_cast<std::size_t>(keep - base);
        const std::size_t kept = len - drop;
        if (len + room + pad <= cap_)
            return;
        const std::size_t need = kept + room + pad;
        if (need * 2 > cap_) {
            const std::size_t cap = need * 4;
            auto mem = std::make_unique_for_overwrite<char[]>(cap);
            if (kept > 0)
                std::memcpy(mem.get(), mem_.get() + drop, kept);
            mem_ = std::move(mem);
            cap_ = cap;
        } else if (kept > 0 && drop > 0) {
            std::memmove(mem_.get(), mem_.get() + drop, kept);
        }
        base = keep;
        len = kept;
    }

  private:
    std::unique_ptr<char[]> mem_;
    std::size_t cap_ = 0;
};

/// One block of the old deflate stream, by its bits in the compressed stream and the old
/// bytes it inflates to.
struct Block {
    std::uint64_t oldStart = 0;
    std::uint64_t oldEnd = 0; ///< valid once complete
    std::uint64_t bitStart = 0;
    std::uint64_t bitEnd = 0; ///< valid once complete
    bool complete = false;
};

std::uint64_t Load64(const unsigned char *p)
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    return v;
}

void Store64(unsigned char *p, std::uint64_t v)
{
    if constexpr (std::endian::native == std::endian::big)
        v = __builtin_bswap64(v);
    std::memcpy(p, &v, 8);
}

class Splicer final : public SpliceOps
{
  public:
    Splicer(ByteSource &src, std::uint16_t method, SpliceEditor &editor, ByteSink &sink,
            const SpliceLimits &limits, int level, bool verify)
        : src_(src), method_(method), editor_(editor), sink_(sink), limits_(limits), level_(level),
          verify_(verify)
    {
    }

    ~Splicer() override
    {
        if (infReady_)
            inflateEnd(&inf_);
        if (defReady_)
            deflateEnd(&def_);
        if (verReady_)
            inflateEnd(&ver_);
    }

    SpliceResult Run();

    void Copy(std::uint64_t n) override;
    void Skip(std::uint64_t n) override;
    void Insert(std::string_view bytes) override;

  private:
    bool Fail(std::string message)
    {
        if (!failed_) {
            failed_ = true;
            error_ = std::move(message);
        }
        return false;
    }

    bool Start();
    bool FillOld();
    bool FillStored(std::uint64_t target);
    bool FillDeflated(std::uint64_t target);
    bool ReadCompressed();
    void OnBoundary(std::uint64_t bit, bool wasFinal);
    void PruneBlocks();
    bool Eligible(const Block &b);
    void EmitHeldIfDone();
    void BreakRun();
    bool CheckRetained();
    void GiveUpReuse();

    void EmitReused(const Block &b);
    void Compress(const char *data, std::size_t n);
    void StartDeflater();
    void DeflateFlush(int mode);
    void AppendBits(std::uint64_t from, std::uint64_t to);
    void NewBytes(const char *data, std::size_t n);
    void EnsureOut(std::size_t room);
    void FlushOut();
    void Verify(const unsigned char *data, std::size_t n);

    ByteSource &src_;
    const std::uint16_t method_;
    SpliceEditor &editor_;
    ByteSink &sink_;
    const SpliceLimits &limits_;
    const int level_;
    const bool verify_;

    bool failed_ = false;
    std::string error_;

    // Old side: compressed bytes, the inflater, the old bytes and the blocks that may be reused.
    z_stream inf_{};
    bool infReady_ = false;
    Slide comp_;
    std::uint64_t compRead_ = 0; ///< compressed bytes the inflater has consumed
    bool srcEnded_ = false;
    bool oldEnded_ = false;
    Slide old_;
    std::uint64_t decided_ = 0;  ///< old bytes the editor has decided
    std::uint64_t offered_ = 0;  ///< old bytes offered to the editor so far
    bool reuse_ = false;         ///< blocks are still tracked for reuse
    std::deque<Block> blocks_;   ///< candidates, in order; the last may still be inflating
    bool inRun_ = false;         ///< the last decision was a Copy
    std::uint64_t runStart_ = 0; ///< old offset where the current Copy run began
    bool holding_ = false;       ///< blocks_.front() is copied so far and may still be reused

    // New side: the deflater, the output bits, the running checks.
    z_stream def_{};
    bool defReady_ = false;
    bool defActive_ = false; ///< the deflater has been started since the last reused block
    std::unique_ptr<unsigned char[]> out_;
    std::size_t outLen_ = 0;
    std::uint64_t acc_ = 0; ///< output bits not yet a whole byte (fewer than 8)
    unsigned accBits_ = 0;
    std::uint64_t written_ = 0;
    std::uint32_t crc_ = 0;
    std::uint32_t oldCrc_ = 0;
    std::uint64_t newSize_ = 0;
    std::uint64_t reused_ = 0;
    std::unique_ptr<char[]> history_; ///< the newest new bytes, for the deflater's dictionary
    std::size_t historyLen_ = 0;

    // Verification: the output inflated again.
    z_stream ver_{};
    bool verReady_ = false;
    bool verEnded_ = false;
    std::unique_ptr<unsigned char[]> verBuf_;
    std::uint32_t verCrc_ = 0;
    std::uint64_t verSize_ = 0;
};

bool Splicer::Start()
{
    if (method_ != 0 && method_ != 8)
        return Fail("compression method " + std::to_string(method_) + " cannot be spliced");
    if (level_ < Z_DEFAULT_COMPRESSION || level_ > Z_BEST_COMPRESSION)
        return Fail("compression level " + std::to_string(level_) + " out of range");
    if (method_ == 8) {
        if (inflateInit2(&inf_, -MAX_WBITS) != Z_OK)
            return Fail("starting the inflater failed");
        infReady_ = true;
        reuse_ = true;
        blocks_.push_back(Block{});
    }
    if (deflateInit2(&def_, level_, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        return Fail("starting the compressor failed");
    defReady_ = true;
    if (verify_) {
        if (inflateInit2(&ver_, -MAX_WBITS) != Z_OK)
            return Fail("starting the verifying inflater failed");
        verReady_ = true;
        verBuf_ = std::make_unique_for_overwrite<unsigned char[]>(kVerifySize);
        verCrc_ = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    }
    out_ = std::make_unique_for_overwrite<unsigned char[]>(kOutSize + 8);
    history_ = std::make_unique_for_overwrite<char[]>(kHistory);
    crc_ = static_cast<std::uint32_t>(crc32_z(0, nullptr, 0));
    oldCrc_ = crc_;
    return true;
}

SpliceResult Splicer::Run()
{
    SpliceResult result;
    if (Start()) {
        for (;;) {
            if (limits_.cancelled && limits_.cancelled()) {
                Fail("cancelled");
                break;
            }
            if (!FillOld())
                break;
            const bool last = oldEnded_;
            offered_ = old_.End();
            const std::string_view data(old_.At(decided_),
                                        static_cast<std::size_t>(offered_ - decided_));
            if (!editor_.Consume(data, last, *this)) {
                std::string why = editor_.Message();
                Fail("the editor gave up" + (why.empty() ? std::string() : ": " + why));
            }
            if (failed_)
                break;
            if (last) {
                if (decided_ != offered_)
                    Fail("the editor left " + std::to_string(offered_ - decided_) +
                         " bytes at the end undecided");
                break;
            }
            if (!CheckRetained())
                break;
        }
        if (!failed_) {
            BreakRun();
            if (!defActive_)
                StartDeflater();
            DeflateFlush(Z_FINISH);
            FlushOut();
        }
        if (!failed_ && verify_) {
            if (!verEnded_)
                Fail("verification failed: the new stream does not end");
            else if (verSize_ != newSize_ || verCrc_ != crc_)
                Fail("verification failed: the new stream inflates to other bytes (" +
                     std::to_string(verSize_) + " bytes instead of " + std::to_string(newSize_) +
                     ")");
        }
    }
    result.ok = !failed_;
    result.error = error_;
    result.crc32 = crc_;
    result.uncompressedSize = newSize_;
    result.compressedSize = written_;
    result.oldUncompressedSize = old_.End();
    result.oldCrc32 = oldCrc_;
    result.reusedUncompressed = reused_;
    return result;
}

// ---- old side ---------------------------------------------------------------------------

bool Splicer::FillOld()
{
    if (oldEnded_)
        return true;
    const std::uint64_t keep = holding_ ? blocks_.front().oldStart : decided_;
    old_.Reserve(keep, kChunk, 0);
    const std::uint64_t start = old_.End();
    const bool ok = method_ == 0 ? FillStored(start + kChunk) : FillDeflated(start + kChunk);
    oldCrc_ = static_cast<std::uint32_t>(
        crc32_z(oldCrc_, reinterpret_cast<const Bytef *>(old_.At(start)), old_.End() - start));
    return ok;
}

bool Splicer::FillStored(std::uint64_t target)
{
    while (old_.End() < target) {
        const std::size_t want = static_cast<std::size_t>(target - old_.End());
        const std::int64_t got = src_.Read(old_.At(old_.End()), want);
        if (got < 0 || static_cast<std::uint64_t>(got) > want)
            return Fail("reading the old part failed: " + src_.Error());
        if (got == 0) {
            oldEnded_ = true;
            break;
        }
        old_.len += static_cast<std::size_t>(got);
    }
    return true;
}

bool Splicer::ReadCompressed()
{
    PruneBlocks();
    // The byte before the inflater's position stays: the next block may begin in it (its
    // first bits can already sit in the inflater's bit buffer).
    std::uint64_t keep = compRead_ > 0 ? compRead_ - 1 : 0;
    if (reuse_ && !blocks_.empty())
        keep = std::min(keep, blocks_.front().bitStart / 8);
    comp_.Reserve(std::max(keep, comp_.base), kReadChunk, 8);
    const std::int64_t got = src_.Read(comp_.At(comp_.End()), kReadChunk);
    if (got < 0 || static_cast<std::uint64_t>(got) > kReadChunk)
        return Fail("reading the old part failed: " + src_.Error());
    if (got == 0)
        srcEnded_ = true;
    comp_.len += static_cast<std::size_t>(got);
    return true;
}

bool Splicer::FillDeflated(std::uint64_t target)
{
    while (!oldEnded_ && old_.End() < target) {
        if (compRead_ == comp_.End() && !srcEnded_) {
            if (!ReadCompressed())
                return false;
            continue;
        }
        // Called even without input left: the inflater may still hold output or bits.
        const std::size_t inAvail =
            static_cast<std::size_t>(std::min<std::uint64_t>(comp_.End() - compRead_, UINT_MAX));
        inf_.next_in = reinterpret_cast<Bytef *>(comp_.At(compRead_));
        inf_.avail_in = static_cast<uInt>(inAvail);
        inf_.next_out = reinterpret_cast<Bytef *>(old_.At(old_.End()));
        inf_.avail_out = static_cast<uInt>(target - old_.End());
        const uInt outAvail = inf_.avail_out;
        const int ret = inflate(&inf_, Z_BLOCK);
        const std::size_t consumed = inAvail - inf_.avail_in;
        const std::size_t produced = outAvail - inf_.avail_out;
        compRead_ += consumed;
        old_.len += produced;
        if (ret == Z_STREAM_END) {
            oldEnded_ = true;
        } else if (ret == Z_BUF_ERROR ||
                   (ret == Z_OK && consumed == 0 && produced == 0 && (inf_.data_type & 128) == 0)) {
            if (consumed == 0 && produced == 0 && inf_.avail_in == 0 && srcEnded_) {
                if (comp_.End() == 0) { // an empty part stored as no bytes at all
                    oldEnded_ = true;
                    blocks_.clear();
                    break;
                }
                return Fail("the old part ends before its deflate stream does");
            }
            if (consumed == 0 && produced == 0 && inf_.avail_in > 0)
                return Fail("the old part could not be inflated");
        } else if (ret != Z_OK) {
            return Fail(std::string("the old part is not a valid deflate stream: ") +
                        (inf_.msg != nullptr ? inf_.msg : "error " + std::to_string(ret)));
        }
        // Bit 7: stopped right after a block's end code; bits 0-2: unused bits of the last
        // byte consumed; bit 6: the block that ended was the final one.
        if ((inf_.data_type & 128) != 0)
            OnBoundary(compRead_ * 8 - static_cast<unsigned>(inf_.data_type & 7),
                       (inf_.data_type & 64) != 0);
        if (old_.End() > limits_.ratioFloor &&
            static_cast<double>(old_.End()) > limits_.maxRatio * static_cast<double>(compRead_))
            return Fail("the old part inflates to more than " +
                        std::to_string(static_cast<long long>(limits_.maxRatio)) +
                        " times its compressed size; refused");
    }
    return true;
}

void Splicer::OnBoundary(std::uint64_t bit, bool wasFinal)
{
    if (wasFinal)
        oldEnded_ = true; // whatever follows the final block is not part of the stream
    if (!reuse_)
        return;
    if (!blocks_.empty() && !blocks_.back().complete) {
        Block &b = blocks_.back();
        b.complete = true;
        b.bitEnd = bit;
        b.oldEnd = old_.End();
        if (b.oldEnd == b.oldStart && !(holding_ && blocks_.size() == 1))
            blocks_.pop_back(); // an empty block carries nothing worth reusing
    }
    if (!wasFinal) {
        Block next;
        next.oldStart = old_.End();
        next.bitStart = bit;
        blocks_.push_back(next);
    }
    EmitHeldIfDone();
}

void Splicer::PruneBlocks()
{
    if (holding_)
        return;
    while (!blocks_.empty() && blocks_.front().oldStart < decided_)
        blocks_.pop_front();
}

// A block can be carried over bit for bit when the whole 32 KiB before it and all of it reach
// the new stream through one run of copies (so its distances see the same bytes), when it is
// not a stored block (its length fields sit on byte boundaries that a shifted copy would
// break) and when it is not the final block (the new stream's last block comes from the
// deflater, with its final bit set).
bool Splicer::Eligible(const Block &b)
{
    if (!reuse_ || !inRun_)
        return false;
    const std::uint64_t need = b.oldStart > kWindow ? b.oldStart - kWindow : 0;
    if (runStart_ > need)
        return false;
    if (b.bitStart + 3 > compRead_ * 8 || b.bitStart / 8 < comp_.base)
        return false;
    const auto *p = reinterpret_cast<const unsigned char *>(comp_.At(b.bitStart / 8));
    const unsigned header = ((p[0] | (p[1] << 8)) >> (b.bitStart & 7)) & 7;
    const bool final = (header & 1) != 0;
    const unsigned type = header >> 1;
    return !final && (type == 1 || type == 2);
}

void Splicer::EmitHeldIfDone()
{
    if (!holding_)
        return;
    const Block &b = blocks_.front();
    if (!b.complete || b.oldEnd > decided_)
        return;
    EmitReused(b);
    blocks_.pop_front();
    holding_ = false;
}

void Splicer::BreakRun()
{
    if (holding_) {
        const Block &b = blocks_.front();
        Compress(old_.At(b.oldStart), static_cast<std::size_t>(decided_ - b.oldStart));
        blocks_.pop_front();
        holding_ = false;
    }
    inRun_ = false;
}

void Splicer::Copy(std::uint64_t n)
{
    if (failed_ || n == 0)
        return;
    if (n > offered_ - decided_) {
        Fail("the editor copied past the bytes it was offered");
        return;
    }
    if (!inRun_) {
        inRun_ = true;
        runStart_ = decided_;
    }
    const std::uint64_t end = decided_ + n;
    while (decided_ < end && !failed_) {
        if (!holding_) {
            PruneBlocks();
            if (!blocks_.empty() && blocks_.front().oldStart == decided_) {
                if (Eligible(blocks_.front())) {
                    holding_ = true;
                } else {
                    blocks_.pop_front();
                    continue;
                }
            }
        }
        if (holding_) {
            const Block &b = blocks_.front();
            if (b.complete && b.oldEnd <= end) {
                decided_ = b.oldEnd;
                EmitHeldIfDone();
            } else {
                decided_ = end; // the rest of the block is decided later
            }
        } else {
            std::uint64_t stop = end;
            if (!blocks_.empty())
                stop = std::min(stop, blocks_.front().oldStart);
            Compress(old_.At(decided_), static_cast<std::size_t>(stop - decided_));
            decided_ = stop;
        }
    }
}

void Splicer::Skip(std::uint64_t n)
{
    if (failed_ || n == 0)
        return;
    if (n > offered_ - decided_) {
        Fail("the editor skipped past the bytes it was offered");
        return;
    }
    BreakRun();
    decided_ += n;
}

void Splicer::Insert(std::string_view bytes)
{
    if (failed_ || bytes.empty())
        return;
    BreakRun();
    Compress(bytes.data(), bytes.size());
}

bool Splicer::CheckRetained()
{
    PruneBlocks();
    const std::uint64_t keep = holding_ ? blocks_.front().oldStart : decided_;
    std::uint64_t retained = old_.End() - keep;
    if (reuse_ && !blocks_.empty())
        retained += comp_.End() - std::min(compRead_, blocks_.front().bitStart / 8);
    if (reuse_ && retained > limits_.maxRetained)
        GiveUpReuse();
    if (old_.End() - decided_ > limits_.maxRetained)
        return Fail("the editor left more than " + std::to_string(limits_.maxRetained) +
                    " bytes undecided");
    return !failed_;
}

void Splicer::GiveUpReuse()
{
    if (holding_) {
        const Block &b = blocks_.front();
        Compress(old_.At(b.oldStart), static_cast<std::size_t>(decided_ - b.oldStart));
        holding_ = false;
    }
    blocks_.clear();
    reuse_ = false;
}

// ---- new side ---------------------------------------------------------------------------

void Splicer::NewBytes(const char *data, std::size_t n)
{
    crc_ = static_cast<std::uint32_t>(crc32_z(crc_, reinterpret_cast<const Bytef *>(data), n));
    newSize_ += n;
    if (n >= kWindow) {
        std::memcpy(history_.get(), data + (n - kWindow), kWindow);
        historyLen_ = kWindow;
        return;
    }
    if (historyLen_ + n > kHistory) {
        const std::size_t keep = std::min<std::size_t>(historyLen_, kWindow);
        std::memmove(history_.get(), history_.get() + (historyLen_ - keep), keep);
        historyLen_ = keep;
    }
    std::memcpy(history_.get() + historyLen_, data, n);
    historyLen_ += n;
}

void Splicer::EmitReused(const Block &b)
{
    if (defActive_) {
        DeflateFlush(Z_SYNC_FLUSH); // ends on a byte boundary, after an empty stored block
        defActive_ = false;
    }
    AppendBits(b.bitStart, b.bitEnd);
    const std::size_t n = static_cast<std::size_t>(b.oldEnd - b.oldStart);
    NewBytes(old_.At(b.oldStart), n);
    reused_ += n;
}

void Splicer::StartDeflater()
{
    if (deflateReset(&def_) != Z_OK) {
        Fail("resetting the compressor failed");
        return;
    }
    if (newSize_ > 0) {
        const std::size_t n = std::min<std::size_t>(historyLen_, kWindow);
        if (deflateSetDictionary(&def_,
                                 reinterpret_cast<const Bytef *>(history_.get() + historyLen_ - n),
                                 static_cast<uInt>(n)) != Z_OK) {
            Fail("setting the compressor's window failed");
            return;
        }
    }
    if (accBits_ > 0) {
        // The partly filled last byte of the output continues with the deflater's bits.
        if (deflatePrime(&def_, static_cast<int>(accBits_), static_cast<int>(acc_)) != Z_OK) {
            Fail("priming the compressor failed");
            return;
        }
        acc_ = 0;
        accBits_ = 0;
    }
    defActive_ = true;
}

void Splicer::Compress(const char *data, std::size_t n)
{
    if (failed_ || n == 0)
        return;
    if (!defActive_)
        StartDeflater();
    if (failed_)
        return;
    NewBytes(data, n);
    def_.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
    while (n > 0 && !failed_) {
        const uInt chunk = static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
        def_.avail_in = chunk;
        do {
            EnsureOut(kOutReserve);
            def_.next_out = out_.get() + outLen_;
            def_.avail_out = static_cast<uInt>(kOutSize - outLen_);
            const uInt before = def_.avail_out;
            if (deflate(&def_, Z_NO_FLUSH) == Z_STREAM_ERROR) {
                Fail("compressing failed");
                return;
            }
            outLen_ += before - def_.avail_out;
        } while (def_.avail_in > 0 && !failed_);
        n -= chunk;
    }
}

void Splicer::DeflateFlush(int mode)
{
    if (failed_)
        return;
    def_.next_in = nullptr;
    def_.avail_in = 0;
    for (;;) {
        EnsureOut(kOutReserve);
        if (failed_)
            return;
        def_.next_out = out_.get() + outLen_;
        def_.avail_out = static_cast<uInt>(kOutSize - outLen_);
        const uInt before = def_.avail_out;
        const int ret = deflate(&def_, mode);
        outLen_ += before - def_.avail_out;
        if (ret == Z_STREAM_ERROR) {
            Fail("compressing failed");
            return;
        }
        if (mode == Z_FINISH ? ret == Z_STREAM_END : def_.avail_out != 0)
            return;
    }
}

// Appends old bits [from, to) to the output, shifted to where the output stands: 56 bits at
// a time, read as one unaligned little-endian word.
void Splicer::AppendBits(std::uint64_t from, std::uint64_t to)
{
    const auto *p = reinterpret_cast<const unsigned char *>(comp_.At(from / 8));
    const unsigned shift = static_cast<unsigned>(from & 7);
    std::uint64_t n = to - from;
    if (shift == 0 && accBits_ == 0) {
        std::uint64_t bytes = n / 8;
        while (bytes > 0 && !failed_) {
            EnsureOut(kOutReserve);
            const std::size_t k =
                static_cast<std::size_t>(std::min<std::uint64_t>(bytes, kOutSize - outLen_));
            std::memcpy(out_.get() + outLen_, p, k);
            outLen_ += k;
            p += k;
            bytes -= k;
        }
        n &= 7;
    }
    constexpr std::uint64_t kMask56 = (std::uint64_t(1) << 56) - 1;
    while (n > 0 && !failed_) {
        EnsureOut(kOutReserve);
        // Each round writes at most 7 bytes; the reserve leaves room for many rounds.
        std::size_t rounds = (kOutSize - outLen_) / 8;
        while (n > 0 && rounds-- > 0) {
            const unsigned k = n >= 56 ? 56 : static_cast<unsigned>(n);
            const std::uint64_t bits =
                (Load64(p) >> shift) & (k == 56 ? kMask56 : ((std::uint64_t(1) << k) - 1));
            acc_ |= bits << accBits_;
            accBits_ += k;
            Store64(out_.get() + outLen_, acc_);
            const unsigned whole = accBits_ >> 3;
            outLen_ += whole;
            acc_ = whole == 8 ? 0 : acc_ >> (whole * 8);
            accBits_ &= 7;
            p += 7;
            n -= k;
        }
    }
}

void Splicer::EnsureOut(std::size_t room)
{
    if (kOutSize - outLen_ < room)
        FlushOut();
}

void Splicer::FlushOut()
{
    if (failed_ || outLen_ == 0)
        return;
    if (const detail::SpliceOutputHook hook = detail::g_outputHook.load())
        hook(reinterpret_cast<char *>(out_.get()), outLen_);
    if (verify_)
        Verify(out_.get(), outLen_);
    if (failed_)
        return;
    if (!sink_.Write(reinterpret_cast<const char *>(out_.get()), outLen_)) {
        const std::string why = sink_.Error();
        Fail("writing the new part failed" + (why.empty() ? std::string() : ": " + why));
        return;
    }
    written_ += outLen_;
    outLen_ = 0;
}

void Splicer::Verify(const unsigned char *data, std::size_t n)
{
    if (verEnded_) {
        Fail("verification failed: bytes after the end of the new stream");
        return;
    }
    ver_.next_in = const_cast<Bytef *>(data);
    ver_.avail_in = static_cast<uInt>(n);
    do {
        ver_.next_out = verBuf_.get();
        ver_.avail_out = static_cast<uInt>(kVerifySize);
        const int ret = inflate(&ver_, Z_NO_FLUSH);
        const std::size_t produced = kVerifySize - ver_.avail_out;
        verCrc_ = static_cast<std::uint32_t>(crc32_z(verCrc_, verBuf_.get(), produced));
        verSize_ += produced;
        if (ret == Z_STREAM_END) {
            verEnded_ = true;
            if (ver_.avail_in > 0)
                Fail("verification failed: bytes after the end of the new stream");
            return;
        }
        if (ret == Z_BUF_ERROR)
            return;
        if (ret != Z_OK) {
            Fail(std::string("verification failed: ") +
                 (ver_.msg != nullptr ? ver_.msg : "the new stream does not inflate"));
            return;
        }
    } while (ver_.avail_in > 0 || ver_.avail_out == 0);
}

} // namespace

SpliceResult SplicePart(ByteSource &oldRaw, std::uint16_t oldMethod, SpliceEditor &editor,
                        ByteSink &out, const SpliceLimits &limits, int level, bool verify)
{
    Splicer splicer(oldRaw, oldMethod, editor, out, limits, level, verify);
    return splicer.Run();
}

} // namespace workbook

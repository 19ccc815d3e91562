// The part splicer: edit scripts over old streams of every kind zlib makes, checked by
// inflating the result; reuse of unchanged blocks; limits, cancellation and verification.
#include "deflatesplice.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace workbook;

namespace
{

class MemorySource : public ByteSource
{
  public:
    explicit MemorySource(std::string_view data, std::size_t piece = 100000)
        : data_(data), piece_(piece)
    {
    }
    std::int64_t Read(char *buffer, std::size_t n) override
    {
        n = std::min({n, piece_, data_.size() - pos});
        std::memcpy(buffer, data_.data() + pos, n);
        pos += n;
        return static_cast<std::int64_t>(n);
    }
    std::size_t pos = 0;

  private:
    std::string_view data_;
    std::size_t piece_;
};

class StringSink : public ByteSink
{
  public:
    bool Write(const char *data, std::size_t n) override
    {
        if (failAfter >= 0 && data_.size() + n > static_cast<std::size_t>(failAfter))
            return false;
        data_.append(data, n);
        return true;
    }
    std::string Error() const override { return "disk full"; }
    const std::string &data() const { return data_; }
    long long failAfter = -1;

  private:
    std::string data_;
};

/// Raw deflate of `data`. With `storedEvery`, every second piece of that many bytes is
/// compressed at level 0 (stored blocks); with `flushEvery`, a sync flush follows every piece
/// of that many bytes (empty stored blocks between the others).
std::string Deflate(std::string_view data, int level, int strategy = Z_DEFAULT_STRATEGY,
                    std::size_t storedEvery = 0, std::size_t flushEvery = 0)
{
    z_stream z{};
    EXPECT_EQ(deflateInit2(&z, level, Z_DEFLATED, -15, 8, strategy), Z_OK);
    std::string out(deflateBound(&z, data.size()) + (1 << 20), '\0');
    z.next_out = reinterpret_cast<Bytef *>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const std::size_t piece = storedEvery ? storedEvery : flushEvery ? flushEvery : data.size();
    bool stored = false;
    for (std::size_t pos = 0; pos < data.size(); pos += piece) {
        if (storedEvery) {
            EXPECT_EQ(deflateParams(&z, stored ? 0 : level, strategy), Z_OK);
            stored = !stored;
        }
        const std::size_t n = std::min(piece, data.size() - pos);
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data.data() + pos));
        z.avail_in = static_cast<uInt>(n);
        EXPECT_EQ(deflate(&z, flushEvery ? Z_SYNC_FLUSH : Z_NO_FLUSH), Z_OK);
        EXPECT_EQ(z.avail_in, 0u);
    }
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(out.size() - z.avail_out);
    deflateEnd(&z);
    return out;
}

/// Inflates a raw deflate stream completely; fails the test on any fault.
std::string Inflate(std::string_view raw)
{
    z_stream z{};
    EXPECT_EQ(inflateInit2(&z, -15), Z_OK);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    std::string out;
    char buf[1 << 16];
    int ret;
    do {
        z.next_out = reinterpret_cast<Bytef *>(buf);
        z.avail_out = sizeof buf;
        ret = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
    } while (ret == Z_OK);
    EXPECT_EQ(ret, Z_STREAM_END) << (z.msg ? z.msg : "");
    EXPECT_EQ(z.avail_in, 0u) << "bytes after the end of the stream";
    inflateEnd(&z);
    return out;
}

/// Old offsets where the blocks of a raw deflate stream end.
std::vector<std::size_t> BlockEnds(std::string_view raw)
{
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(raw.data()));
    z.avail_in = static_cast<uInt>(raw.size());
    std::vector<std::size_t> ends;
    std::vector<char> buf(1 << 16);
    std::size_t total = 0;
    int ret;
    do {
        z.next_out = reinterpret_cast<Bytef *>(buf.data());
        z.avail_out = static_cast<uInt>(buf.size());
        ret = inflate(&z, Z_BLOCK);
        total += buf.size() - z.avail_out;
        if (z.data_type & 128)
            ends.push_back(total);
    } while (ret == Z_OK);
    inflateEnd(&z);
    return ends;
}

std::uint32_t Crc(std::string_view s)
{
    return static_cast<std::uint32_t>(
        crc32_z(0, reinterpret_cast<const Bytef *>(s.data()), s.size()));
}

/// Worksheet-like XML: a header, rows of a time text and numeric readings, the closing tags.
std::string WorksheetXml(int rows, int cols, unsigned seed)
{
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> value(0, 99999);
    std::string s = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
                    "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/"
                    "main\"><dimension ref=\"A1:J9\"/><sheetData>"
                    "<row r=\"2\"><c r=\"A2\" t=\"inlineStr\"><is><t>Rows</t></is></c>"
                    "<c r=\"B2\"><v>12345</v></c></row>";
    char buf[64];
    for (int r = 5; r < rows + 5; ++r) {
        s += "<row r=\"" + std::to_string(r) + "\">";
        std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", r / 3600 % 24, r / 60 % 60, r % 60);
        s += "<c r=\"A" + std::to_string(r) + "\" t=\"inlineStr\"><is><t>" + buf + "</t></is></c>";
        for (int c = 1; c < cols; ++c) {
            const int v = value(rng);
            std::snprintf(buf, sizeof buf, "<c r=\"%c%d\"><v>%d.%03d</v></c>", 'A' + c, r, v / 1000,
                          v % 1000);
            s += buf;
        }
        s += "</row>";
    }
    s += "</sheetData><pageMargins left=\"0.7\"/></worksheet>";
    return s;
}

std::string RandomBytes(std::size_t n, unsigned seed, int alphabet)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n;) {
        const char c = static_cast<char>(rng() % alphabet);
        std::size_t run = alphabet < 256 && rng() % 8 == 0 ? rng() % 300 : 1;
        for (; run > 0 && i < n; --run)
            s[i++] = c;
    }
    return s;
}

struct Op {
    enum Kind { Copy, Skip, Insert } kind;
    std::uint64_t n = 0;
    std::string bytes;
};
using Script = std::vector<Op>;

std::string Apply(std::string_view old, const Script &script)
{
    std::string out;
    std::size_t pos = 0;
    for (const Op &op : script) {
        if (op.kind == Op::Copy)
            out.append(old.substr(pos, op.n));
        if (op.kind != Op::Insert)
            pos += op.n;
        else
            out += op.bytes;
    }
    EXPECT_EQ(pos, old.size()) << "script does not decide every byte";
    return out;
}

/// Plays a script against the offered bytes, holding back a random tail of each offer (as an
/// editor that waits for a closing tag would).
class ScriptEditor : public SpliceEditor
{
  public:
    ScriptEditor(Script script, std::size_t maxHold, unsigned seed)
        : script_(std::move(script)), maxHold_(maxHold), rng_(seed)
    {
    }
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override
    {
        maxOffered = std::max(maxOffered, data.size());
        ++calls;
        std::size_t hold = last || maxHold_ == 0 ? 0 : rng_() % (maxHold_ + 1);
        std::size_t avail = data.size() > hold ? data.size() - hold : 0;
        while (index_ < script_.size()) {
            Op &op = script_[index_];
            if (op.kind == Op::Insert) {
                ops.Insert(op.bytes);
                ++index_;
                continue;
            }
            const std::uint64_t take = std::min<std::uint64_t>(op.n - done_, avail);
            if (take > 0) {
                if (op.kind == Op::Copy)
                    ops.Copy(take);
                else
                    ops.Skip(take);
            }
            avail -= take;
            done_ += take;
            if (done_ < op.n)
                break;
            done_ = 0;
            ++index_;
        }
        return true;
    }
    std::size_t maxOffered = 0;
    int calls = 0;

  private:
    Script script_;
    std::size_t index_ = 0;
    std::uint64_t done_ = 0;
    std::size_t maxHold_;
    std::mt19937 rng_;
};

/// A random edit script over `size` old bytes: edits at random places, at block ends and
/// next to them, in the first 32 KiB, at the very start and end; skips, inserts and both.
Script RandomScript(std::size_t size, const std::vector<std::size_t> &blockEnds, std::mt19937 &rng)
{
    std::vector<std::size_t> points;
    const int edits = 1 + static_cast<int>(rng() % 12);
    for (int i = 0; i < edits; ++i) {
        switch (rng() % 5) {
        case 0:
            points.push_back(rng() % (size + 1));
            break;
        case 1:
            points.push_back(std::min<std::size_t>(size, rng() % 40000));
            break;
        case 2:
        case 3:
            if (!blockEnds.empty()) {
                const std::size_t e = blockEnds[rng() % blockEnds.size()];
                const int delta = static_cast<int>(rng() % 5) - 2;
                points.push_back(std::clamp<long long>(static_cast<long long>(e) + delta, 0,
                                                       static_cast<long long>(size)));
            }
            break;
        default:
            points.push_back(rng() % 2 ? 0 : size);
        }
    }
    std::sort(points.begin(), points.end());
    Script s;
    std::size_t pos = 0;
    for (std::size_t p : points) {
        if (p < pos)
            continue;
        if (p > pos)
            s.push_back({Op::Copy, p - pos, {}});
        pos = p;
        const unsigned kind = rng() % 4;
        if (kind != 1 && pos < size) {
            const std::size_t n = std::min<std::size_t>(size - pos, 1 + rng() % 400);
            s.push_back({Op::Skip, n, {}});
            pos += n;
        }
        if (kind != 0) {
            std::string text = "<row r=\"" + std::to_string(rng()) + "\"><v>";
            text.append(rng() % 3000, static_cast<char>('0' + rng() % 10));
            s.push_back({Op::Insert, 0, text + "</v></row>"});
            if (kind == 3)
                s.push_back({Op::Insert, 0, "<x/>"});
        }
    }
    if (pos < size)
        s.push_back({Op::Copy, size - pos, {}});
    return s;
}

struct Outcome {
    SpliceResult result;
    std::string out;
};

Outcome Splice(std::string_view oldRaw, std::uint16_t method, Script script,
               const SpliceLimits &limits = SpliceLimits(), std::size_t maxHold = 3000,
               unsigned seed = 1, bool verify = true, std::size_t piece = 100000)
{
    MemorySource src(oldRaw, piece);
    ScriptEditor editor(std::move(script), maxHold, seed);
    StringSink sink;
    Outcome o;
    o.result = SplicePart(src, method, editor, sink, limits, 6, verify);
    o.out = sink.data();
    return o;
}

/// Splices and checks the new stream inflates to exactly what the script makes.
SpliceResult CheckSplice(std::string_view old, std::string_view oldRaw, std::uint16_t method,
                         const Script &script, std::size_t maxHold = 3000, unsigned seed = 1,
                         std::size_t piece = 100000)
{
    const std::string expected = Apply(old, script);
    const Outcome o = Splice(oldRaw, method, script, SpliceLimits(), maxHold, seed, true, piece);
    EXPECT_TRUE(o.result.ok) << o.result.error;
    if (!o.result.ok)
        return o.result;
    const std::string got = Inflate(o.out);
    EXPECT_EQ(got.size(), expected.size());
    EXPECT_TRUE(got == expected) << "new bytes differ";
    EXPECT_EQ(o.result.crc32, Crc(expected));
    EXPECT_EQ(o.result.uncompressedSize, expected.size());
    EXPECT_EQ(o.result.compressedSize, o.out.size());
    EXPECT_EQ(o.result.oldUncompressedSize, old.size());
    EXPECT_EQ(o.result.oldCrc32, Crc(old));
    return o.result;
}

const std::string &SmallSheet()
{
    static const std::string xml = WorksheetXml(4000, 10, 7); // about 1 MB
    return xml;
}

} // namespace

TEST(SplicePart, RandomEditsOverEveryLevelAndStrategy)
{
    const std::string &old = SmallSheet();
    const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
    std::mt19937 rng(42);
    std::uint64_t reused = 0;
    for (int level : {1, 6, 9}) {
        for (int strategy : strategies) {
            SCOPED_TRACE("level " + std::to_string(level) + " strategy " +
                         std::to_string(strategy));
            const std::string raw = Deflate(old, level, strategy);
            const auto ends = BlockEnds(raw);
            for (int round = 0; round < 2; ++round) {
                SCOPED_TRACE("round " + std::to_string(round));
                const Script script = RandomScript(old.size(), ends, rng);
                reused += CheckSplice(old, raw, 8, script, round == 1 ? 0 : 3000, rng())
                              .reusedUncompressed;
                if (HasFailure())
                    return;
            }
        }
    }
    EXPECT_GT(reused, 0u);
}

TEST(SplicePart, RandomEditsOverBinaryDataStoredBlocksAndFlushes)
{
    struct Case {
        const char *name;
        std::string data;
        std::string raw;
    };
    const std::string noise = RandomBytes(700000, 3, 256);
    const std::string lowEntropy = RandomBytes(900000, 4, 5);
    const std::string &xml = SmallSheet();
    const Case cases[] = {
        {"random bytes (stored blocks)", noise, Deflate(noise, 6)},
        {"few symbols with runs", lowEntropy, Deflate(lowEntropy, 9)},
        {"stored and deflated blocks in turn", xml, Deflate(xml, 6, Z_DEFAULT_STRATEGY, 70000)},
        {"sync flushes", xml, Deflate(xml, 6, Z_DEFAULT_STRATEGY, 0, 50000)},
        {"mixed binary", noise.substr(0, 100000) + lowEntropy,
         Deflate(noise.substr(0, 100000) + lowEntropy, 1, Z_FILTERED, 0, 123457)},
    };
    std::mt19937 rng(7);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(Inflate(c.raw), c.data);
        const auto ends = BlockEnds(c.raw);
        for (int round = 0; round < 4 && !HasFailure(); ++round)
            CheckSplice(c.data, c.raw, 8, RandomScript(c.data.size(), ends, rng), 5000, rng());
    }
}

TEST(SplicePart, ReusesTheUnchangedMiddle)
{
    const std::string old = WorksheetXml(16000, 10, 11); // about 4 MB
    const std::string raw = Deflate(old, 6);
    const std::size_t counter = old.find("<v>12345</v>") + 3;
    const std::size_t end = old.rfind("</sheetData>");
    std::string rows;
    for (int r = 0; r < 100; ++r)
        rows += "<row r=\"" + std::to_string(20000 + r) + "\"><c r=\"B1\"><v>1.5</v></c></row>";
    const Script script = {{Op::Copy, counter, {}},  {Op::Skip, 5, {}},
                           {Op::Insert, 0, "16100"}, {Op::Copy, end - counter - 5, {}},
                           {Op::Insert, 0, rows},    {Op::Copy, old.size() - end, {}}};
    const SpliceResult r = CheckSplice(old, raw, 8, script);
    // All but the first block, the block of the insertion and the final block come over.
    EXPECT_GT(r.reusedUncompressed, old.size() * 9 / 10);
    EXPECT_LT(r.compressedSize, raw.size() + Deflate(rows, 6).size() + 1000);

    // Copying everything reuses everything but the final block.
    const auto ends = BlockEnds(raw);
    ASSERT_GE(ends.size(), 3u);
    const SpliceResult all = CheckSplice(old, raw, 8, {{Op::Copy, old.size(), {}}});
    EXPECT_EQ(all.reusedUncompressed, ends[ends.size() - 2]);
    EXPECT_LT(all.compressedSize, raw.size() + 64);
}

TEST(SplicePart, EditsAtTheEdgesAndEmptyParts)
{
    const std::string &old = SmallSheet();
    const std::string raw = Deflate(old, 6);
    const std::size_t n = old.size();
    struct Case {
        const char *name;
        Script script;
    };
    const Case cases[] = {
        {"insert at the very start", {{Op::Insert, 0, "<?pi?>"}, {Op::Copy, n, {}}}},
        {"insert at the very end", {{Op::Copy, n, {}}, {Op::Insert, 0, "<!-- end -->"}}},
        {"skip the first byte", {{Op::Skip, 1, {}}, {Op::Copy, n - 1, {}}}},
        {"skip the last byte", {{Op::Copy, n - 1, {}}, {Op::Skip, 1, {}}}},
        {"skip everything", {{Op::Skip, n, {}}}},
        {"replace everything", {{Op::Skip, n, {}}, {Op::Insert, 0, "<new/>"}}},
        {"adjacent edits in the first 32 KiB",
         {{Op::Copy, 100, {}},
          {Op::Skip, 3, {}},
          {Op::Insert, 0, "a"},
          {Op::Insert, 0, "b"},
          {Op::Skip, 7, {}},
          {Op::Copy, 30000, {}},
          {Op::Insert, 0, "c"},
          {Op::Copy, n - 30110, {}}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CheckSplice(old, raw, 8, c.script);
    }
    // Inserting at the start still lets the first block be reused: nothing precedes it.
    const auto ends = BlockEnds(raw);
    EXPECT_EQ(CheckSplice(old, raw, 8, cases[0].script).reusedUncompressed, ends[ends.size() - 2]);

    // Empty old parts: an empty deflate stream, or no compressed bytes at all.
    for (const std::string &empty : {Deflate("", 6), std::string()}) {
        CheckSplice("", empty, 8, {});
        CheckSplice("", empty, 8, {{Op::Insert, 0, old.substr(0, 100000)}});
    }
    CheckSplice("", "", 0, {{Op::Insert, 0, "x"}});
}

TEST(SplicePart, ManySmallEditsEverywhere)
{
    const std::string &old = SmallSheet();
    const std::string raw = Deflate(old, 6);
    Script script;
    std::size_t pos = 0;
    for (std::size_t step = 997; pos + step + 2 <= old.size(); pos += step + 2) {
        script.push_back({Op::Copy, step, {}});
        script.push_back({Op::Skip, 2, {}});
        script.push_back({Op::Insert, 0, "xyz"});
    }
    script.push_back({Op::Copy, old.size() - pos, {}});
    const SpliceResult r = CheckSplice(old, raw, 8, script, 500);
    EXPECT_EQ(r.reusedUncompressed, 0u);
}

TEST(SplicePart, SourcesReturningFewBytesAtATime)
{
    // Every read ends somewhere inside a block, its header or its end code.
    const std::string old = SmallSheet().substr(0, 400000);
    const std::string raw = Deflate(old, 6, Z_HUFFMAN_ONLY);
    std::mt19937 rng(9);
    for (std::size_t piece : {1, 3, 7}) {
        SCOPED_TRACE("piece " + std::to_string(piece));
        CheckSplice(old, raw, 8, RandomScript(old.size(), BlockEnds(raw), rng), 100, rng(), piece);
    }
}

TEST(SplicePart, StoredOldEntryIsEditedAndCompressed)
{
    const std::string &old = SmallSheet();
    std::mt19937 rng(5);
    for (int round = 0; round < 3; ++round) {
        const SpliceResult r =
            CheckSplice(old, old, 0, RandomScript(old.size(), {}, rng), 2000, rng());
        EXPECT_EQ(r.reusedUncompressed, 0u);
        EXPECT_LT(r.compressedSize, old.size() / 3);
    }
}

TEST(SplicePart, RefusesAHighRatioBombInBoundedMemory)
{
    // 32 KiB of zeros, then one byte-aligned block of 1 MiB of zeros repeated 4096 times: a
    // valid stream of 4 GiB that takes a little over 4 MB.
    const std::string zeros(1 << 20, '\0');
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string buf(1 << 20, '\0');
    auto piece = [&](std::size_t n) {
        z.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(zeros.data()));
        z.avail_in = static_cast<uInt>(n);
        z.next_out = reinterpret_cast<Bytef *>(buf.data());
        z.avail_out = static_cast<uInt>(buf.size());
        deflate(&z, Z_SYNC_FLUSH);
        return buf.substr(0, buf.size() - z.avail_out);
    };
    std::string bomb = piece(32768);
    piece(zeros.size());
    const std::string block = piece(zeros.size());
    deflateEnd(&z);
    for (int i = 0; i < 4096; ++i)
        bomb += block;
    bomb += std::string("\x03\x00", 2);

    MemorySource src(bomb);
    ScriptEditor editor({{Op::Copy, 1ull << 32, {}}}, 0, 1);
    StringSink sink;
    const SpliceResult r = SplicePart(src, 8, editor, sink);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("refused"), std::string::npos) << r.error;
    EXPECT_LT(src.pos, bomb.size() / 8);
    EXPECT_LE(editor.maxOffered, 1u << 20);
    EXPECT_LE(r.oldUncompressedSize, SpliceLimits().ratioFloor + (1 << 20));
}

TEST(SplicePart, RetainedLimitFallsBackToCompressingTheRest)
{
    const std::string &old = SmallSheet();
    const std::string raw = Deflate(old, 6);
    const Script copyAll = {{Op::Copy, old.size(), {}}};
    SpliceLimits tight;
    tight.maxRetained = 48 << 10; // less than one block with its compressed bits
    const Outcome o = Splice(raw, 8, copyAll, tight, 1000);
    ASSERT_TRUE(o.result.ok) << o.result.error;
    EXPECT_EQ(Inflate(o.out), old);
    const Outcome free = Splice(raw, 8, copyAll, SpliceLimits(), 1000);
    ASSERT_TRUE(free.result.ok) << free.result.error;
    EXPECT_GT(free.result.reusedUncompressed, old.size() / 2);
    EXPECT_LT(o.result.reusedUncompressed, free.result.reusedUncompressed / 2);

    // An editor holding back everything cannot be helped: the splice fails instead of growing.
    struct HoldAll : SpliceEditor {
        bool Consume(std::string_view data, bool last, SpliceOps &ops) override
        {
            if (last)
                ops.Copy(data.size());
            return true;
        }
    } holdAll;
    SpliceLimits limits;
    limits.maxRetained = 300 << 10;
    MemorySource src(raw);
    StringSink sink;
    const SpliceResult greedy = SplicePart(src, 8, holdAll, sink, limits);
    EXPECT_FALSE(greedy.ok);
    EXPECT_NE(greedy.error.find("undecided"), std::string::npos) << greedy.error;
    EXPECT_LT(src.pos, raw.size());
}

TEST(SplicePart, CancellationStopsTheSplice)
{
    const std::string &old = SmallSheet();
    const std::string raw = Deflate(old, 6);
    int polls = 0;
    SpliceLimits limits;
    limits.cancelled = [&polls] { return ++polls == 3; };
    const Outcome o = Splice(raw, 8, {{Op::Copy, old.size(), {}}}, limits);
    EXPECT_FALSE(o.result.ok);
    EXPECT_EQ(o.result.error, "cancelled");
    EXPECT_EQ(polls, 3);
}

TEST(SplicePart, VerificationRefusesDamagedOutput)
{
    const std::string &old = SmallSheet();
    const std::string raw = Deflate(old, 6);
    const Script script = {
        {Op::Copy, 5000, {}}, {Op::Insert, 0, "z"}, {Op::Copy, old.size() - 5000, {}}};
    static int flips;
    flips = 0;
    detail::SetSpliceOutputHook([](char *data, std::size_t n) {
        if (flips++ == 0 && n > 1000)
            data[n / 2] ^= 0x10;
    });
    const Outcome damaged = Splice(raw, 8, script);
    flips = 0;
    const Outcome unchecked = Splice(raw, 8, script, SpliceLimits(), 3000, 1, false);
    detail::SetSpliceOutputHook(nullptr);
    EXPECT_FALSE(damaged.result.ok);
    EXPECT_NE(damaged.result.error.find("verification failed"), std::string::npos)
        << damaged.result.error;
    // Without verification the same damage would have gone through unnoticed.
    EXPECT_TRUE(unchecked.result.ok);
}

TEST(SplicePart, ReportsFaultsOfInputEditorAndSink)
{
    const std::string &old = SmallSheet();
    const std::string raw = Deflate(old, 6);
    const Script copyAll = {{Op::Copy, old.size(), {}}};

    std::string corrupt = raw;
    corrupt[raw.size() / 2] ^= 0x55;
    corrupt[raw.size() / 2 + 1] ^= 0x55;
    const Outcome bad = Splice(corrupt, 8, copyAll);
    // Damage the inflater cannot see shows in the old bytes' CRC, which callers compare.
    EXPECT_TRUE(!bad.result.ok || bad.result.oldCrc32 != Crc(old));
    EXPECT_EQ(Splice(raw, 8, copyAll).result.oldCrc32, Crc(old));

    const Outcome invalid = Splice(std::string(100, '\xff'), 8, copyAll);
    EXPECT_NE(invalid.result.error.find("not a valid deflate stream"), std::string::npos)
        << invalid.result.error;

    const Outcome cut = Splice(raw.substr(0, raw.size() / 2), 8, copyAll);
    EXPECT_FALSE(cut.result.ok);
    EXPECT_NE(cut.result.error.find("ends before"), std::string::npos) << cut.result.error;

    EXPECT_FALSE(Splice(raw, 12, copyAll).result.ok);

    const Outcome partial = Splice(raw, 8, {{Op::Copy, old.size() - 1, {}}});
    EXPECT_FALSE(partial.result.ok);
    EXPECT_NE(partial.result.error.find("undecided"), std::string::npos) << partial.result.error;

    struct Greedy : SpliceEditor {
        bool Consume(std::string_view data, bool, SpliceOps &ops) override
        {
            ops.Copy(data.size() + 1);
            return true;
        }
    } greedy;
    struct Quitter : SpliceEditor {
        bool Consume(std::string_view, bool, SpliceOps &) override { return false; }
        std::string Message() const override { return "no sheetData"; }
    } quitter;
    MemorySource src1(raw), src2(raw), src3(raw);
    StringSink sink1, sink2, full;
    EXPECT_NE(SplicePart(src1, 8, greedy, sink1).error.find("past"), std::string::npos);
    EXPECT_NE(SplicePart(src2, 8, quitter, sink2).error.find("no sheetData"), std::string::npos);
    full.failAfter = 10000;
    ScriptEditor editor(copyAll, 0, 1);
    const SpliceResult r = SplicePart(src3, 8, editor, full);
    EXPECT_FALSE(r.ok);
    EXPECT_NE(r.error.find("disk full"), std::string::npos) << r.error;
}

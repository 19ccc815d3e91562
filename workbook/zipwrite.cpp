#include "zipwrite.h"

#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

namespace workbook
{

namespace
{

constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;
constexpr std::uint16_t kMax16 = 0xFFFFu;
constexpr std::size_t kBufferSize = 1 << 20;
constexpr std::size_t kDeflateChunk = 256 << 10;
constexpr std::uint16_t kVersionDeflate = 20;
constexpr std::uint16_t kVersionZip64 = 45;
constexpr std::uint16_t kFlagUtf8 = 0x0800;
constexpr std::size_t kLocalHeaderSize = 30;

void Put16(std::string &s, std::uint16_t v)
{
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>(v >> 8));
}

void Put32(std::string &s, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void Put64(std::string &s, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

std::uint32_t Clamp32(std::uint64_t v)
{
    return v >= kMax32 ? kMax32 : static_cast<std::uint32_t>(v);
}

std::string ErrnoText(int code)
{
    return std::strerror(code);
}

} // namespace

void DosDateTime(std::int64_t unixTime, std::uint16_t &dosDate, std::uint16_t &dosTime)
{
    // 1980-01-01 00:00:00 and 2107-12-31 23:59:58 are the ends of what the format holds.
    constexpr std::uint16_t kFirstDate = (0 << 9) | (1 << 5) | 1;
    constexpr std::uint16_t kLastDate = (127 << 9) | (12 << 5) | 31;
    constexpr std::uint16_t kLastTime = (23 << 11) | (59 << 5) | 29;
    std::tm tm{};
    const std::time_t t = static_cast<std::time_t>(unixTime);
    if (localtime_r(&t, &tm) == nullptr) { // out of the range the C library converts
        dosDate = unixTime < 0 ? kFirstDate : kLastDate;
        dosTime = unixTime < 0 ? 0 : kLastTime;
        return;
    }
    const int year = tm.tm_year + 1900;
    if (year < 1980) {
        dosDate = kFirstDate;
        dosTime = 0;
        return;
    }
    if (year > 2107) {
        dosDate = kLastDate;
        dosTime = kLastTime;
        return;
    }
    dosDate =
        static_cast<std::uint16_t>(((year - 1980) << 9) | ((tm.tm_mon + 1) << 5) | tm.tm_mday);
    const int halfSeconds = std::min(tm.tm_sec, 59) / 2; // a leap second stays in its minute
    dosTime = static_cast<std::uint16_t>((tm.tm_hour << 11) | (tm.tm_min << 5) | halfSeconds);
}

struct ZipWriter::Impl {
    enum class State { Idle, RawEntry, DeflateEntry, StoredEntry, Finished };

    struct Entry {
        ZipEntryMeta meta;
        std::uint16_t flags = 0;
        std::uint16_t versionNeeded = kVersionDeflate;
        std::uint64_t localOffset = 0;
    };

    class EntrySink : public ByteSink
    {
      public:
        explicit EntrySink(Impl *d) : d_(d) {}
        bool Write(const char *data, std::size_t n) override { return d_->EntryWrite(data, n); }
        std::string Error() const override { return d_->error; }

      private:
        Impl *d_;
    };

    int fd;
    std::uint64_t filePos = 0; ///< absolute file offset of buffer[0]
    std::vector<char> buffer;
    std::vector<Entry> entries;
    std::string error;
    bool failed = false;
    State state = State::Idle;

    // The entry being written by BeginRawEntry / BeginEntry.
    Entry current;
    bool currentZip64 = false; ///< the local header carries a zip64 field
    std::uint64_t dataStart = 0;
    std::uint32_t crc = 0;
    std::uint64_t uncompressed = 0;
    z_stream zs{};
    bool zsReady = false;
    int zsLevel = 0;
    std::vector<unsigned char> zbuf;
    EntrySink sink{this};

    explicit Impl(int descriptor) : fd(descriptor)
    {
        const off_t start = ::lseek(fd, 0, SEEK_CUR);
        if (start < 0)
            Fail("the archive file is not seekable: " + ErrnoText(errno));
        else
            filePos = static_cast<std::uint64_t>(start);
    }

    ~Impl()
    {
        if (zsReady)
            deflateEnd(&zs);
    }

    std::uint64_t Position() const { return filePos + buffer.size(); }

    bool Fail(const std::string &message)
    {
        if (!failed) {
            failed = true;
            error = message;
        }
        return false;
    }

    bool WriteAll(const char *data, std::size_t n)
    {
        while (n > 0) {
            const ssize_t w = ::write(fd, data, std::min<std::size_t>(n, 1u << 30));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return Fail("writing the archive failed: " + ErrnoText(errno));
            }
            data += w;
            n -= static_cast<std::size_t>(w);
            filePos += static_cast<std::uint64_t>(w);
        }
        return true;
    }

    bool Flush()
    {
        if (failed)
            return false;
        if (buffer.empty())
            return true;
        const bool ok = WriteAll(buffer.data(), buffer.size());
        buffer.clear();
        return ok;
    }

    bool Append(const char *data, std::size_t n)
    {
        if (failed)
            return false;
        if (buffer.size() + n > kBufferSize && !Flush())
            return false;
        if (n >= kBufferSize / 2) // large pieces skip the copy into the buffer
            return Flush() && WriteAll(data, n);
        buffer.insert(buffer.end(), data, data + n);
        return true;
    }

    bool Append(const std::string &s) { return Append(s.data(), s.size()); }

    /// Overwrites bytes already written: on disk with pwrite, or in the buffer if still there.
    bool Patch(std::uint64_t offset, const std::string &bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size() && offset + done < filePos) {
            const std::size_t n =
                std::min<std::uint64_t>(bytes.size() - done, filePos - offset - done);
            const ssize_t w =
                ::pwrite(fd, bytes.data() + done, n, static_cast<off_t>(offset + done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                return Fail("updating a local header failed: " + ErrnoText(errno));
            }
            done += static_cast<std::size_t>(w);
        }
        if (done < bytes.size())
            std::memcpy(buffer.data() + (offset + done - filePos), bytes.data() + done,
                        bytes.size() - done);
        return true;
    }

    bool CheckIdle(const char *call)
    {
        if (failed)
            return false;
        if (state != State::Idle)
            return Fail(std::string(call) + " called while an entry is open or after Finish");
        return true;
    }

    bool CheckName(const ZipEntryMeta &meta)
    {
        if (meta.name.empty())
            return Fail("an entry needs a name");
        if (meta.name.size() > kMax16)
            return Fail("entry name longer than 65,535 bytes: " + meta.name.substr(0, 64) + "...");
        return true;
    }

    /// Local header with the given sizes; with `zip64` both sizes go into a zip64 field and
    /// the 32-bit fields say 0xFFFFFFFF.
    std::string LocalHeader(const Entry &e, bool zip64) const
    {
        std::string h;
        h.reserve(kLocalHeaderSize + e.meta.name.size() + 20);
        Put32(h, 0x04034b50);
        Put16(h, e.versionNeeded);
        Put16(h, e.flags);
        Put16(h, e.meta.method);
        Put16(h, e.meta.dosTime);
        Put16(h, e.meta.dosDate);
        Put32(h, e.meta.crc32);
        Put32(h, zip64 ? kMax32 : static_cast<std::uint32_t>(e.meta.compressedSize));
        Put32(h, zip64 ? kMax32 : static_cast<std::uint32_t>(e.meta.uncompressedSize));
        Put16(h, static_cast<std::uint16_t>(e.meta.name.size()));
        Put16(h, zip64 ? 20 : 0);
        h += e.meta.name;
        if (zip64) {
            Put16(h, 0x0001);
            Put16(h, 16);
            Put64(h, e.meta.uncompressedSize);
            Put64(h, e.meta.compressedSize);
        }
        return h;
    }

    Entry NewEntry(const ZipEntryMeta &meta, bool zip64)
    {
        Entry e;
        e.meta = meta;
        e.flags = meta.utf8Name ? kFlagUtf8 : 0;
        e.versionNeeded = zip64 ? kVersionZip64 : kVersionDeflate;
        e.localOffset = Position();
        return e;
    }

    bool AddRaw(const ZipEntryMeta &meta, ByteSource &raw)
    {
        if (!CheckIdle("AddRaw") || !CheckName(meta))
            return false;
        const bool zip64 = meta.compressedSize >= kMax32 || meta.uncompressedSize >= kMax32;
        Entry e = NewEntry(meta, zip64);
        if (!Append(LocalHeader(e, zip64)))
            return false;
        std::uint64_t left = meta.compressedSize;
        while (left > 0) {
            if (buffer.size() == kBufferSize && !Flush())
                return false;
            const std::size_t room = kBufferSize - buffer.size();
            const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(left, room));
            const std::size_t at = buffer.size();
            buffer.resize(at + want);
            const std::int64_t got = raw.Read(buffer.data() + at, want);
            if (got <= 0 || static_cast<std::uint64_t>(got) > want) {
                buffer.resize(at);
                if (got != 0)
                    return Fail("reading entry " + meta.name + " failed: " + raw.Error());
                return Fail("entry " + meta.name + " ends after " +
                            std::to_string(meta.compressedSize - left) + " of " +
                            std::to_string(meta.compressedSize) + " bytes");
            }
            buffer.resize(at + static_cast<std::size_t>(got));
            left -= static_cast<std::uint64_t>(got);
        }
        entries.push_back(std::move(e));
        return true;
    }

    ByteSink *Begin(const ZipEntryMeta &meta, bool mayExceed4GiB, State kind, int level)
    {
        if (!CheckIdle("BeginEntry") || !CheckName(meta))
            return nullptr;
        ZipEntryMeta m = meta;
        m.crc32 = 0;
        m.compressedSize = 0;
        m.uncompressedSize = 0;
        if (kind == State::RawEntry)
            m.method = 8;
        if (kind == State::DeflateEntry) {
            if (level < Z_DEFAULT_COMPRESSION || level > Z_BEST_COMPRESSION) {
                Fail("compression level " + std::to_string(level) + " out of range");
                return nullptr;
            }
            if (!StartDeflate(level))
                return nullptr;
        }
        current = NewEntry(m, mayExceed4GiB);
        currentZip64 = mayExceed4GiB;
        if (!Append(LocalHeader(current, mayExceed4GiB)))
            return nullptr;
        dataStart = Position();
        crc = crc32_z(0, nullptr, 0);
        uncompressed = 0;
        state = kind;
        return &sink;
    }

    bool StartDeflate(int level)
    {
        if (zsReady && zsLevel != level) {
            deflateEnd(&zs);
            zsReady = false;
        }
        if (zsReady) {
            if (deflateReset(&zs) != Z_OK)
                return Fail("resetting the compressor failed");
            return true;
        }
        zs = z_stream{};
        if (deflateInit2(&zs, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            return Fail("starting the compressor failed");
        zsReady = true;
        zsLevel = level;
        zbuf.resize(kDeflateChunk);
        return true;
    }

    bool Deflate(const char *data, std::size_t n, int flush)
    {
        zs.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(data));
        for (;;) {
            const uInt chunk = static_cast<uInt>(std::min<std::size_t>(n, UINT_MAX));
            zs.avail_in = chunk;
            const int mode = n > chunk ? Z_NO_FLUSH : flush;
            int ret;
            do {
                zs.next_out = zbuf.data();
                zs.avail_out = static_cast<uInt>(zbuf.size());
                ret = deflate(&zs, mode);
                if (ret == Z_STREAM_ERROR)
                    return Fail("compressing " + current.meta.name + " failed");
                const std::size_t produced = zbuf.size() - zs.avail_out;
                if (produced > 0 && !Append(reinterpret_cast<const char *>(zbuf.data()), produced))
                    return false;
            } while (zs.avail_out == 0 || (mode == Z_FINISH && ret != Z_STREAM_END));
            n -= chunk;
            if (n == 0)
                return true;
        }
    }

    bool EntryWrite(const char *data, std::size_t n)
    {
        if (failed)
            return false;
        if (state != State::RawEntry && state != State::DeflateEntry && state != State::StoredEntry)
            return Fail("entry data written while no entry is open");
        if (state == State::RawEntry)
            return Append(data, n);
        crc = static_cast<std::uint32_t>(crc32_z(crc, reinterpret_cast<const Bytef *>(data), n));
        uncompressed += n;
        if (state == State::StoredEntry)
            return Append(data, n);
        return n == 0 || Deflate(data, n, Z_NO_FLUSH);
    }

    bool Finish(State kind, std::uint32_t crcValue, std::uint64_t size)
    {
        if (failed)
            return false;
        if (state != kind)
            return Fail("an entry was finished that was not begun that way");
        state = State::Idle;
        Entry &e = current;
        e.meta.crc32 = crcValue;
        e.meta.compressedSize = Position() - dataStart;
        e.meta.uncompressedSize = size;
        const bool large = e.meta.compressedSize >= kMax32 || e.meta.uncompressedSize >= kMax32;
        if (large && !currentZip64)
            return Fail("entry " + e.meta.name +
                        " passed 4 GiB but its local header has no room for zip64 sizes");
        std::string fields;
        Put32(fields, e.meta.crc32);
        if (currentZip64) {
            if (!Patch(e.localOffset + 14, fields))
                return false;
            std::string sizes;
            Put64(sizes, e.meta.uncompressedSize);
            Put64(sizes, e.meta.compressedSize);
            if (!Patch(e.localOffset + kLocalHeaderSize + e.meta.name.size() + 4, sizes))
                return false;
        } else {
            Put32(fields, static_cast<std::uint32_t>(e.meta.compressedSize));
            Put32(fields, static_cast<std::uint32_t>(e.meta.uncompressedSize));
            if (!Patch(e.localOffset + 14, fields))
                return false;
        }
        entries.push_back(std::move(e));
        return true;
    }

    std::string CentralHeader(const Entry &e) const
    {
        const ZipEntryMeta &m = e.meta;
        std::string extra;
        if (m.uncompressedSize >= kMax32)
            Put64(extra, m.uncompressedSize);
        if (m.compressedSize >= kMax32)
            Put64(extra, m.compressedSize);
        if (e.localOffset >= kMax32)
            Put64(extra, e.localOffset);
        const bool zip64 = !extra.empty();
        std::uint16_t needed = e.versionNeeded;
        std::uint16_t madeBy = m.versionMadeBy;
        if (zip64) {
            needed = std::max(needed, kVersionZip64);
            madeBy = static_cast<std::uint16_t>(
                (madeBy & 0xFF00) | std::max<std::uint16_t>(madeBy & 0xFF, kVersionZip64));
        }
        std::string h;
        h.reserve(46 + m.name.size() + extra.size() + 4);
        Put32(h, 0x02014b50);
        Put16(h, madeBy);
        Put16(h, needed);
        Put16(h, e.flags);
        Put16(h, m.method);
        Put16(h, m.dosTime);
        Put16(h, m.dosDate);
        Put32(h, m.crc32);
        Put32(h, Clamp32(m.compressedSize));
        Put32(h, Clamp32(m.uncompressedSize));
        Put16(h, static_cast<std::uint16_t>(m.name.size()));
        Put16(h, zip64 ? static_cast<std::uint16_t>(extra.size() + 4) : 0);
        Put16(h, 0); // comment
        Put16(h, 0); // disk number
        Put16(h, m.internalAttributes);
        Put32(h, m.externalAttributes);
        Put32(h, Clamp32(e.localOffset));
        h += m.name;
        if (zip64) {
            Put16(h, 0x0001);
            Put16(h, static_cast<std::uint16_t>(extra.size()));
            h += extra;
        }
        return h;
    }

    bool FinishArchive()
    {
        if (!CheckIdle("Finish"))
            return false;
        const std::uint64_t cdOffset = Position();
        for (const Entry &e : entries)
            if (!Append(CentralHeader(e)))
                return false;
        const std::uint64_t cdSize = Position() - cdOffset;
        const std::uint64_t count = entries.size();
        std::string tail;
        if (count >= kMax16 || cdSize >= kMax32 || cdOffset >= kMax32) {
            const std::uint64_t eocd64 = Position();
            Put32(tail, 0x06064b50);
            Put64(tail, 44); // size of the rest of this record
            Put16(tail, kVersionZip64);
            Put16(tail, kVersionZip64);
            Put32(tail, 0); // this disk
            Put32(tail, 0); // disk with the central directory
            Put64(tail, count);
            Put64(tail, count);
            Put64(tail, cdSize);
            Put64(tail, cdOffset);
            Put32(tail, 0x07064b50);
            Put32(tail, 0);
            Put64(tail, eocd64);
            Put32(tail, 1); // number of disks
        }
        const std::uint16_t count16 = count >= kMax16 ? kMax16 : static_cast<std::uint16_t>(count);
        Put32(tail, 0x06054b50);
        Put16(tail, 0);
        Put16(tail, 0);
        Put16(tail, count16);
        Put16(tail, count16);
        Put32(tail, Clamp32(cdSize));
        Put32(tail, Clamp32(cdOffset));
        Put16(tail, 0); // comment length
        if (!Append(tail) || !Flush())
            return false;
        state = State::Finished;
        return true;
    }
};

ZipWriter::ZipWriter(int fd) : d_(std::make_unique<Impl>(fd)) {}

ZipWriter::~ZipWriter() = default;

bool ZipWriter::AddRaw(const ZipEntryMeta &meta, ByteSource &raw)
{
    return d_->AddRaw(meta, raw);
}

ByteSink *ZipWriter::BeginRawEntry(const ZipEntryMeta &meta, bool mayExceed4GiB)
{
    return d_->Begin(meta, mayExceed4GiB, Impl::State::RawEntry, 0);
}

bool ZipWriter::FinishRawEntry(std::uint32_t crc32, std::uint64_t uncompressedSize)
{
    return d_->Finish(Impl::State::RawEntry, crc32, uncompressedSize);
}

ByteSink *ZipWriter::BeginEntry(const ZipEntryMeta &meta, bool mayExceed4GiB, int level)
{
    const auto kind = meta.method == 0 ? Impl::State::StoredEntry : Impl::State::DeflateEntry;
    if (meta.method != 0 && meta.method != 8) {
        d_->Fail("entry " + meta.name + ": compression method " + std::to_string(meta.method) +
                 " is not supported");
        return nullptr;
    }
    return d_->Begin(meta, mayExceed4GiB, kind, level);
}

bool ZipWriter::FinishEntry()
{
    Impl &d = *d_;
    if (d.failed)
        return false;
    if (d.state == Impl::State::DeflateEntry && !d.Deflate(nullptr, 0, Z_FINISH))
        return false;
    const auto kind =
        d.state == Impl::State::StoredEntry ? Impl::State::StoredEntry : Impl::State::DeflateEntry;
    return d.Finish(kind, d.crc, d.uncompressed);
}

bool ZipWriter::AddEntry(const ZipEntryMeta &meta, std::string_view data, int level)
{
    // The most deflate can grow data by (zlib's deflateBound without a wrapper).
    const std::uint64_t n = data.size();
    const std::uint64_t bound = n + (n >> 12) + (n >> 14) + (n >> 25) + 64;
    ByteSink *sink = BeginEntry(meta, bound >= kMax32, level);
    return sink != nullptr && sink->Write(data.data(), data.size()) && FinishEntry();
}

bool ZipWriter::Finish()
{
    return d_->FinishArchive();
}

const std::string &ZipWriter::Error() const
{
    return d_->error;
}

} // namespace workbook

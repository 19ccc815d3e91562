#pragma once
// Writing a zip archive (the container of an .xlsx package) entry by entry, in one pass.
//
// Entries are either copied unchanged from another archive (their compressed bytes and
// metadata as they were) or new. A new entry's data is streamed: the writer puts a local header
// in front of it, and when the entry is finished it goes back and fills in the CRC and the
// sizes, so no data descriptors are written. Zip64 records are written where a size, an offset
// or the entry count needs them, and only there.
//
// The writer writes to a file descriptor it does not own (a fresh temporary file that the
// caller later renames into place). Not thread-safe: one thread drives one writer.

#include "bytestream.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace workbook
{

/// What the central directory records about one entry.
struct ZipEntryMeta {
    std::string name;             ///< the name's bytes as stored
    bool utf8Name = true;         ///< general purpose flag bit 11: the name is UTF-8
    std::uint16_t method = 8;     ///< 0 = stored, 8 = deflated
    std::uint16_t dosTime = 0;    ///< modification time in MS-DOS format
    std::uint16_t dosDate = 0x21; ///< modification date in MS-DOS format (1980-01-01)
    std::uint32_t crc32 = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint16_t versionMadeBy = 20; ///< upper byte: host system (0 = MS-DOS, 3 = Unix)
    std::uint16_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
};

/// MS-DOS date and time of a time_t (local time, as zip tools store it), clamped to 1980..2107.
void DosDateTime(std::int64_t unixTime, std::uint16_t &dosDate, std::uint16_t &dosTime);

class ZipWriter
{
  public:
    /// Writes into `fd`: an empty, seekable file opened for writing. The descriptor stays the
    /// caller's (never closed here). The archive starts at the descriptor's current offset and
    /// records absolute file offsets; local headers are updated with pwrite, so the descriptor
    /// must not be opened with O_APPEND.
    explicit ZipWriter(int fd);
    ~ZipWriter();
    ZipWriter(const ZipWriter &) = delete;
    ZipWriter &operator=(const ZipWriter &) = delete;

    /// Copies an entry unchanged: `meta` as the source archive's central directory gives it,
    /// and exactly meta.compressedSize bytes of its compressed data from `raw`.
    bool AddRaw(const ZipEntryMeta &meta, ByteSource &raw);

    /// Starts a new deflated entry whose RAW deflate data (no zlib or gzip wrapper) the caller
    /// produces, for example the splicer. Write the data to the returned sink (valid until
    /// FinishRawEntry), then call FinishRawEntry with the CRC-32 and size of the uncompressed
    /// data. Only meta.name, utf8Name, dosTime, dosDate and the attributes are used.
    /// `mayExceed4GiB` reserves a zip64 field in the local header (needed when either size may
    /// pass 0xFFFFFFFF, as it cannot be known before the data is written).
    ByteSink *BeginRawEntry(const ZipEntryMeta &meta, bool mayExceed4GiB);
    bool FinishRawEntry(std::uint32_t crc32, std::uint64_t uncompressedSize);

    /// Starts a new entry that the writer compresses itself (deflate at `level`): write the
    /// UNCOMPRESSED data to the returned sink, then call FinishEntry. With meta.method 0 the
    /// data is stored as it is. The CRC and sizes in `meta` are ignored.
    ByteSink *BeginEntry(const ZipEntryMeta &meta, bool mayExceed4GiB, int level = 6);
    bool FinishEntry();

    /// A whole new entry from its uncompressed bytes.
    bool AddEntry(const ZipEntryMeta &meta, std::string_view data, int level = 6);

    /// Writes the central directory and the end records. Nothing may be added afterwards.
    bool Finish();

    /// Why the first failure happened; once a call failed, every later call fails too.
    const std::string &Error() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> d_;
};

} // namespace workbook

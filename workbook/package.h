#pragma once
// Reading the zip container of an .xlsx package, part by part and as a stream.
//
// A Package is opened on a file descriptor and reads through a descriptor of its own on the
// same file, so several readers (the user-interface thread, the save thread, the viewer's row
// loader) can read one file at once, and a reader keeps reading the file it opened even when
// somebody replaces the file at that path. Parts are found by name, case-insensitively.
//
// Crafted files are refused by limits on what is read, not by caps on the file: the number of
// entries, the ratio of inflated to compressed bytes (a zip bomb inflates a thousandfold), a
// CRC and size check at the end of every part, a cancellation callback for time limits, and a
// time budget for reading the workbook's structure.
// Encrypted entries and compression methods other than stored and deflate are refused when
// their contents are needed; they are still copied unchanged when a package is rewritten.

#include "bytestream.h"
#include "zipwrite.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace workbook
{

/// What tells one version of a file apart from another: device, inode, size and modification
/// time (nanoseconds). A rename keeps it; rewriting or replacing the file changes it.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtimeNs = 0;

    bool operator==(const FileIdentity &) const = default;
    static std::optional<FileIdentity> OfDescriptor(int fd);
    static std::optional<FileIdentity> OfPath(const std::string &path);
};

struct ReadLimits {
    std::uint64_t maxEntries = 200000;
    /// Inflated bytes per compressed byte allowed once ratioFloor bytes of a part are inflated.
    double maxRatio = 400.0;
    std::uint64_t ratioFloor = 64ull << 20;
    /// Polled while reading; true aborts the read (used for time limits).
    std::function<bool()> cancelled;
    /// Time reading the workbook's structure (its list of sheets and relationships) may take
    /// once its first megabyte is read: a crafted file with tens of thousands of sheets is
    /// refused rather than holding the thread that opens it. Zero: no limit.
    std::chrono::milliseconds structureBudget{50};
};

struct PackageEntry : ZipEntryMeta {
    std::uint64_t index = 0; ///< position in the archive
    bool encrypted = false;
};

class Package
{
  public:
    /// Opens the package in `fd` (which stays the caller's). Returns nullptr and sets *error
    /// when the file is not a readable zip archive.
    static std::unique_ptr<Package> Open(int fd, std::string *error,
                                         const ReadLimits &limits = ReadLimits());
    /// Opens the file at `path` read-only.
    static std::unique_ptr<Package> OpenPath(const std::string &path, std::string *error,
                                             const ReadLimits &limits = ReadLimits());
    ~Package();
    Package(const Package &) = delete;
    Package &operator=(const Package &) = delete;

    /// The entries in archive order.
    const std::vector<PackageEntry> &Entries() const { return entries_; }
    /// The entry of a part name ("xl/workbook.xml"; a leading '/' is ignored), compared
    /// case-insensitively; nullptr when absent.
    const PackageEntry *Find(std::string_view partName) const;

    /// The entry's data as stored (compressed for deflated entries).
    std::unique_ptr<ByteSource> OpenRaw(const PackageEntry &entry);
    /// The entry's contents, inflated and checked. Fails (Read returns -1) for encrypted
    /// entries, unknown methods, damaged data or data beyond the limits.
    std::unique_ptr<ByteSource> OpenPart(const PackageEntry &entry);
    /// Reads a whole part of at most `cap` bytes into `out`.
    bool ReadPart(const PackageEntry &entry, std::string &out, std::uint64_t cap,
                  std::string *error);

    const ReadLimits &Limits() const { return limits_; }
    int Descriptor() const { return fd_; }

  private:
    Package() = default;
    struct Zip;
    std::unique_ptr<Zip> zip_;
    int fd_ = -1; ///< our own descriptor (libzip owns it)
    ReadLimits limits_;
    std::vector<PackageEntry> entries_;
    std::vector<std::pair<std::string, std::size_t>> byName_; ///< lower-case name -> entry, sorted
};

/// Lower-case ASCII copy (part names compare case-insensitively).
std::string AsciiLower(std::string_view s);

/// The folder of a file path, without the last '/' ("." for a bare name).
std::string FolderOf(const std::string &path);
/// The file name of a path (after the last '/').
std::string FileOf(const std::string &path);
/// Makes a rename or a new file in `folder` durable (errors are ignored: the files themselves
/// are complete either way).
void SyncFolder(const std::string &folder);

/// Resolves a relationship target against the part that holds the relationship: relative to
/// that part's folder, or from the package root when it starts with '/'. "." and ".." are
/// folded; percent escapes are decoded.
std::string ResolveTarget(std::string_view sourcePart, std::string_view target);
/// The relationships part of a part ("xl/workbook.xml" -> "xl/_rels/workbook.xml.rels"; ""
/// -> "_rels/.rels").
std::string RelsPartOf(std::string_view part);
/// A target for `part` written relative to the folder of `sourcePart`.
std::string RelativeTarget(std::string_view sourcePart, std::string_view part);

} // namespace workbook

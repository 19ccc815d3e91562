#pragma once
// A small INI file store with profile-string semantics.
//
// File format: section lines "[Name]", key lines "Key=Value", other lines (comments,
// blank lines, anything unrecognised) are kept as they are. Section and key names are
// compared case-insensitively (ASCII); key names and values are trimmed of surrounding
// blanks and tabs when read, and a value enclosed in one pair of double or single quotes
// reads without them (Num="3" reads as 3). When a section or key occurs more than once, the
// first one counts. A UTF-8 byte-order mark at the start of the file belongs to no name and
// is kept when the file is rewritten.
//
// Writing: an existing key is updated in place (its line is rewritten, keeping the key's
// spelling and the line ending); a new key is appended after the last non-blank line of
// its section; a new section is appended at the end of the file. The file is created by
// the first write. Every write replaces the file atomically: the new contents go to a
// temporary file in the same folder, which is flushed to disk and renamed over the old
// file, so a crash never leaves a half-written file. Lines that are not touched keep
// their bytes and line endings; new lines take the line ending the file already uses
// ("\n" for a new file). A symbolic link is written through to its target. The file keeps
// its mode, and its owner and group where they can be kept; a file with several hard links
// (or whose owner a new file cannot take) is rewritten in place once the new contents are
// safely on disk beside it, so its links and owner survive. A file whose permissions deny
// writing (no write bit at all counts as read-only for every user, the superuser included)
// is never replaced: the write fails.
//
// Files are read whole up to MaxFileSize. Of a larger file only the complete lines within
// that size are read (never part of a line), and it is never rewritten (a write fails), so a
// huge or foreign file can neither hang the program nor be cut.
//
// Not thread-safe; one store object per thread.

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class IniStore
{
  public:
    static constexpr std::size_t MaxFileSize = std::size_t(16) << 20;

    explicit IniStore(std::string path);
    ~IniStore();
    IniStore(const IniStore &) = delete;
    IniStore &operator=(const IniStore &) = delete;

    const std::string &Path() const { return path_; }

    /// Takes a snapshot of the file for a series of reads: until Close(), ReadString,
    /// Keys and Sections answer from the snapshot (writes through this store update it
    /// too). A missing file gives an empty snapshot and true. Returns false when the file
    /// exists but cannot be read (the snapshot is then empty).
    bool Open();
    void Close();

    /// The value of `key` in `section`, or `def` when the file, the section or the key is
    /// missing. Without a snapshot the file is read as it is now.
    std::string ReadString(std::string_view section, std::string_view key,
                           std::string_view def) const;
    /// Key names of `section` in file order (first spelling of each), empty if none.
    std::vector<std::string> Keys(std::string_view section) const;
    /// Section names in file order.
    std::vector<std::string> Sections() const;

    /// Sets one key. Returns false on failure with LastError() "Unable to write to "
    /// + the file name; the file is then unchanged. Names or values that would break the
    /// line structure (line breaks, NUL, "=" or a leading "[" / ";" in a key, "]" in a
    /// section name, an empty key) are refused the same way.
    bool WriteString(std::string_view section, std::string_view key, std::string_view value);
    /// Sets several keys of one section in one atomic replacement of the file, in the
    /// given order (new keys are appended in that order). All or nothing.
    bool WriteStrings(std::string_view section,
                      const std::vector<std::pair<std::string, std::string>> &values);

    const std::string &LastError() const { return lastError_; }

  private:
    struct Document;
    const Document *ReadView(Document &fresh) const;
    std::string path_;
    std::string lastError_;
    std::unique_ptr<Document> snapshot_;
};

#pragma once
// The journal: every change to an open workbook, kept durable beside it until a complete save
// has folded it into the file, so a crash or a power loss costs at most the last moments.
//
// The journal is a hidden file ".<name>.ptk71-journal" in the workbook's folder. Its header
// names the version of the workbook file it belongs to (device, inode, size, modification time
// and a checksum of the file's last 64 KiB, where a zip keeps its directory); after it come
// records, each framed by its length and CRC-32, so a record cut short by a crash is recognised
// and ignored. Changes are appended on the user-interface thread into a queue, which costs a
// copy of a few dozen bytes; a thread of the journal's own writes the queue to the file within
// 2 ms (so a killed process loses only the changes of its last moments) and syncs it to the
// disk at least every 20 ms while changes come in, or at once when a caller waits for
// durability.
//
// A complete save hands the journal over to the new file in two steps: before the new file is
// renamed into place, a Rebase record naming it is appended and synced; after the rename the
// journal is rewritten with only the changes made since the save began. Whichever moment a crash
// hits, the next opening finds a journal that matches either the old file (all records apply) or
// the new one (the records the save did not write apply, told by their sequence numbers: changes
// made while the save ran may stand before the rebase record). A journal that matches neither (the
// workbook was replaced or edited elsewhere) is never applied: it is moved aside as a recovery
// file, with a line on standard error.

#include "package.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace workbook
{

struct JournalRecord {
    enum class Type : std::uint8_t {
        Number = 1,  ///< sheet, row, column, number
        Text,        ///< sheet, row, column, text
        Boolean,     ///< sheet, row, column, flag
        Empty,       ///< sheet, row, column
        Note,        ///< sheet, row, column, text, flag = visible
        NoteRemoved, ///< sheet, row, column
        NoteVisible, ///< sheet, row, column, flag
        AddSheet,    ///< sheet (the new sheetId), row = position, text = name
        SetActive,   ///< row = position
        Rebase,      ///< (internal)
    };
    Type type = Type::Number;
    std::uint64_t seq = 0;
    std::uint32_t sheet = 0;
    std::uint32_t row = 0;
    std::uint32_t column = 0;
    bool flag = false;
    double number = 0;
    std::string text;
};

/// The version of a workbook file a journal belongs to.
struct JournalBase {
    FileIdentity identity;
    std::uint32_t fingerprint = 0;
    bool operator==(const JournalBase &) const = default;
    /// Reads the identity and fingerprint of an open file.
    static std::optional<JournalBase> Of(int fd);
};

struct ReplayResult {
    enum class Status {
        None,    ///< no journal
        Applied, ///< its records were applied
        Moved,   ///< it belongs to another version of the file: moved to recoveryPath
        Failed,  ///< it could not be read or moved (error says why); nothing was applied
    } status = Status::None;
    std::size_t applied = 0;       ///< records applied
    std::uint64_t lastSeq = 0;     ///< highest sequence number in the journal
    bool tornTail = false;         ///< the last record was cut short (and ignored)
    std::uint64_t validLength = 0; ///< bytes up to the end of the last whole record
    std::uint64_t afterSeq = 0;    ///< the records with a higher sequence number apply
    bool headerMatches = false;    ///< the journal's header names `base` itself
    std::string recoveryPath;
    std::string error;
};

class Journal
{
  public:
    /// The journal's path for a workbook path.
    static std::string PathOf(const std::string &workbookPath);

    /// Starts an empty journal for the workbook at `workbookPath`, whose file is `base`. A
    /// journal already there is moved aside as a recovery file (see ReadJournal), with a line
    /// on standard error. Returns nullptr and sets *error when it cannot be written.
    static std::unique_ptr<Journal> Start(const std::string &workbookPath, const JournalBase &base,
                                          std::uint64_t nextSeq, std::string *error);
    /// Goes on with the journal ReadJournal applied: its torn tail is cut off, and one that
    /// matched through a rebase record is rewritten for `base` with the records it applied.
    static std::unique_ptr<Journal> Continue(const std::string &workbookPath,
                                             const JournalBase &base, const ReplayResult &replay,
                                             std::string *error);
    /// Writes what is queued and stops the thread; the file stays.
    ~Journal();
    Journal(const Journal &) = delete;
    Journal &operator=(const Journal &) = delete;

    // User-interface thread -------------------------------------------------------------------

    /// Queues a change; its sequence number is assigned here and returned.
    std::uint64_t Append(JournalRecord record);
    /// Sequence number of the last change appended (0 when none).
    std::uint64_t LastSeq() const { return lastSeq_; }
    /// Waits at most `limit` until every change up to `seq` is on the disk. True when it is.
    bool WaitDurable(std::uint64_t seq, std::chrono::milliseconds limit);
    /// Called on the journal's thread when the changes a WaitDurable gave up on reach the disk,
    /// or when the journal fails, so that the waiter may wait elsewhere meanwhile.
    void SetDurableCallback(std::function<void()> callback);
    /// A write or sync error of the journal thread ("" when none).
    std::string Failure() const;
    /// Stops the thread and deletes the file (every change is in the workbook file).
    void Remove();
    /// Deletes the temporary file a rewrite of the journal left when it was interrupted (the
    /// journal itself is intact then). Only for the holder of the workbook's lock.
    static void RemoveLeftovers(const std::string &workbookPath);

    // Save thread -----------------------------------------------------------------------------

    /// Appends and syncs the rebase record: changes up to `throughSeq` are in the file `next`,
    /// which is about to replace the workbook.
    bool Rebase(std::uint64_t throughSeq, const JournalBase &next, std::string *error);
    /// Rewrites the journal for `next` with the changes after `throughSeq` only.
    bool Compact(std::uint64_t throughSeq, const JournalBase &next, std::string *error);

    /// Bytes queued and not yet written (tests of the memory bound).
    std::size_t HeldBytes() const;

  private:
    struct Impl;
    explicit Journal(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> d_;
    std::uint64_t lastSeq_ = 0;
};

/// Reads the journal beside `workbookPath`. When it belongs to `base`, hands its records to
/// `apply`, in order, one at a time; when a save it recorded made `base`, the records that save
/// did not write (those with a higher sequence number, wherever they stand in the file).
/// Otherwise moves it aside as "<name>.<timestamp>.ptk71-journal" beside the workbook.
ReplayResult ReadJournal(const std::string &workbookPath, const JournalBase &base,
                         const std::function<void(const JournalRecord &)> &apply);

/// Encodes / decodes one record's payload (exposed for the fuzz target and the tests).
void EncodeRecord(const JournalRecord &record, std::string &out);
bool DecodeRecord(std::string_view payload, JournalRecord &record);

} // namespace workbook

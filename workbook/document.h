#pragma once
// An open workbook: the file on disk, what changed since it was written, the journal that
// keeps those changes safe, the lock that keeps other writers out, and the background saves
// that fold the changes into the file.
//
// Everything here runs on the user-interface thread and returns quickly whatever the size of
// the workbook: opening reads the package's directory, the workbook part and its relationships
// (and replays the journal); a cell lookup streams the sheet only up to the row asked for and
// gives up after kLookupBudget; a save makes the journal durable and starts writing the complete
// file on a thread of its own. What the calls need of the file while that thread writes is read
// from the file as it was, plus the changes in memory:
//
//     current   changes since the save that is running (or since the last save)
//     saving    the changes the running save is writing
//     recent    the changes the last finished save wrote (kept for the viewer, whose rows
//               from the file may still be the old file's)
//     base      the file on disk
//
// A background save that fails makes every later call fail with its message (the archive then
// takes its failure path and the caption shows it); the changes stay in the journal, so the next
// opening of the workbook replays them.

#include "changes.h"
#include "journal.h"
#include "lockfile.h"
#include "package.h"
#include "save.h"
#include "sheetread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace workbook
{

/// How long a cell lookup may read the file on the user-interface thread.
inline constexpr std::chrono::milliseconds kLookupBudget{80};
/// How long Save waits at a time for the journal to reach the disk before it handles window
/// events (and waits again).
inline constexpr std::chrono::milliseconds kDurableWait{50};

/// The window system's part in waiting: a background save that finishes wakes the
/// user-interface thread, which handles window events while it waits (Close keeps the window
/// alive this way).
struct EventHooks {
    std::function<void()> wake; ///< any thread: ends a waitForEvents soon
    std::function<void()>
        waitForEvents; ///< user-interface thread: handle events, sleep until one comes
};
/// Installs the hooks (the server does this with Qt's event loop); without them waiting sleeps.
void SetEventHooks(EventHooks hooks);

/// Figures of the last background save that finished in this process, and how many have
/// finished (for the benchmarks).
SaveStats LastFinishedSave();
std::uint64_t FinishedSaves();

class DocumentListener
{
  public:
    virtual ~DocumentListener() = default;
    virtual void CellChanged(std::uint32_t sheetId, int row, int column) = 0;
    virtual void StructureChanged() = 0;
    /// A save finished: the file on disk is a new one.
    virtual void BaseChanged() = 0;
};

class Document
{
  public:
    /// Opens the workbook at `path` (absolute). Takes its lock, cleans up what interrupted saves
    /// left, replays its journal. Returns nullptr and sets *error on failure.
    static std::unique_ptr<Document> Open(const std::string &path, std::string *error);
    /// A new workbook with one worksheet, not yet saved.
    static std::unique_ptr<Document> New();
    /// Discards the workbook if it was not closed (see Discard).
    ~Document();
    Document(const Document &) = delete;
    Document &operator=(const Document &) = delete;

    // Structure -------------------------------------------------------------------------------

    const std::vector<SheetInfo> &Sheets() const { return sheets_; }
    int ActiveIndex() const { return active_; }
    /// Position of a sheet, or -1.
    int IndexOf(std::uint32_t sheetId) const;
    /// Position of the n-th worksheet (1-based; chart sheets are not counted), or -1.
    int WorksheetPosition(int n) const;
    /// Adds a worksheet at `position` (0 .. sheet count) with a free "Sheet<n>" name and makes
    /// it active. Returns its sheetId.
    std::uint32_t AddWorksheet(int position);
    void SetActive(int index);

    // Cells -----------------------------------------------------------------------------------

    /// The value of a cell. False (with *error) when the file cannot be read in time.
    bool Value(std::uint32_t sheet, int row, int column, CellValue &out, std::string *error);
    /// The comment of a cell: nullopt when it has none.
    bool Note(std::uint32_t sheet, int row, int column, std::optional<std::string> &text,
              std::string *error);

    void SetNumber(std::uint32_t sheet, int row, int column, double value);
    void SetText(std::uint32_t sheet, int row, int column, const std::string &text);
    void SetBoolean(std::uint32_t sheet, int row, int column, bool value);
    void ClearValue(std::uint32_t sheet, int row, int column);
    void SetNote(std::uint32_t sheet, int row, int column, const std::string &text, bool visible);
    void RemoveNote(std::uint32_t sheet, int row, int column);
    void SetNoteVisible(std::uint32_t sheet, int row, int column, bool visible);

    // Files -----------------------------------------------------------------------------------

    /// The file ("" for a workbook never saved).
    const std::string &Path() const { return path_; }
    /// Writes the workbook to `path` (absolute) and continues there.
    bool SaveAs(const std::string &path, std::string *error);
    /// Makes every change durable (journal; window events are handled while it waits) and starts
    /// writing the complete file. False when the journal cannot be made durable.
    bool Save(std::string *error);
    /// Waits (keeping the window alive) until every save has finished, then releases the
    /// journal and the lock. Changes made after the last Save are dropped.
    bool Close(std::string *error);
    /// Stops without saving: a running save is cancelled, unsaved changes stay in the journal
    /// for the next opening, the lock is released.
    void Discard();
    /// The failure of a background save, if any ("" when none). Also takes in a finished save.
    std::string Failure();

    // For the viewer and the tests ------------------------------------------------------------

    void SetListener(DocumentListener *listener) { listener_ = listener; }
    /// The change layers, newest first (entries may be null).
    std::vector<const ChangeSet *> Layers() const;
    /// A descriptor of the file on disk (-1 for a workbook never saved), and its structure's
    /// shared-strings part.
    int BaseFd() const { return baseFd_; }
    const std::string &SharedStringsPart() const { return sharedStringsPart_; }
    /// Incremented whenever the file on disk is a new one.
    std::uint64_t BaseGeneration() const { return baseGeneration_; }
    bool SaveRunning() const { return job_ != nullptr; }
    const SaveStats &LastSaveStats() const { return lastStats_; }
    /// Blocks until the running and pending saves have finished (tests, benchmarks).
    void WaitForSaves();
    /// The journal's bytes held in memory plus the change layers' (tests of the memory bound).
    std::size_t HeldBytes() const;
    const Journal *JournalOf() const { return journal_.get(); }

  private:
    Document() = default;
    struct Job;
    bool StartSave();
    void Poll();
    void Adopt(SaveOutput &out, bool fresh);
    void Apply(const JournalRecord &r);
    std::uint64_t Log(JournalRecord r);
    bool OpenBase(int fd, std::string *error);
    bool LookupAllowed() const;

    std::string path_;
    std::unique_ptr<WorkbookLock> lock_;
    int baseFd_ = -1;
    JournalBase baseId_;
    std::unique_ptr<Package> basePkg_;
    std::unique_ptr<SharedStrings> strings_;
    std::string sharedStringsPart_;
    std::chrono::steady_clock::time_point deadline_;
    std::uint64_t baseGeneration_ = 0;

    std::vector<SheetInfo> sheets_;
    int active_ = 0;
    bool structureChanged_ = false;

    std::shared_ptr<ChangeSet> current_ = std::make_shared<ChangeSet>();
    std::shared_ptr<const ChangeSet> saving_;
    std::shared_ptr<const ChangeSet> recent_;
    std::map<std::string, ShapeIdRange> shapeIds_;

    std::unique_ptr<Journal> journal_;
    std::unique_ptr<Job> job_;
    bool pendingSave_ = false;
    bool closed_ = false;
    std::string failure_;
    SaveStats lastStats_;
    DocumentListener *listener_ = nullptr;
};

} // namespace workbook

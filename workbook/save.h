#pragma once
// A complete save: the workbook file on disk plus what changed since, written as a new file that
// replaces the old one.
//
// The new file is the old package with every part the program does not write copied byte for
// byte (compressed data included), the written sheets, comments and drawings spliced in
// (sheetpatch.h), new sheets and parts added, calcChain dropped and a full recalculation asked
// for. It goes to a hidden temporary file beside the workbook, is synced, and is renamed over
// the workbook only if the workbook is still the file that was read (same device, inode, size
// and modification time); otherwise the new file is kept beside it under a name of its own and
// the save fails, so nobody's work is overwritten and no row is lost. The replaced file keeps
// the old one's permissions, and its owner and group where the user may set them.
//
// A workbook never saved is written whole by the writer library.
//
// SaveWorkbook runs on a thread of its own; it touches nothing the user-interface thread uses
// except the journal, whose Rebase and Compact are thread-safe.

#include "changes.h"
#include "journal.h"
#include "package.h"
#include "sheetread.h"

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace workbook
{

enum class SheetKind : std::uint8_t { Worksheet, Chartsheet, Other };

struct SheetInfo {
    std::uint32_t sheetId = 0;
    std::string name;
    SheetKind kind = SheetKind::Worksheet;
    bool inBase = false;       ///< the sheet is in the file on disk
    std::string part;          ///< its part there
    std::size_t baseIndex = 0; ///< its position in the file's list of sheets
};

/// Where the next notes of a drawing part get their shape ids (kept between saves).
struct ShapeIdRange {
    int nextId = 0;
    int endId = 0; ///< one past the last id of the part's newest block
};

struct SaveStats {
    double seconds = 0;
    double cpuSeconds = 0; ///< processor time of the saving thread
    std::uint64_t partsCopied = 0;
    std::uint64_t partsSpliced = 0;
    std::uint64_t bytesReused = 0;  ///< uncompressed bytes carried by reused deflate blocks
    std::uint64_t bytesSpliced = 0; ///< uncompressed bytes of the spliced parts
    bool fellBack = false;          ///< a splice failed and the save was redone without reuse
};

struct SaveInput {
    int baseFd = -1;      ///< the file on disk (kept open by the caller); -1: never saved
    std::string destPath; ///< where the workbook goes (absolute)
    /// The file at destPath must still be this one; unset: it may be absent (Save As).
    std::optional<FileIdentity> expect;
    std::vector<SheetInfo> sheets;
    int active = 0;
    std::shared_ptr<const ChangeSet> changes;
    std::map<std::string, ShapeIdRange> shapeIds; ///< by lower-case drawing part name
    std::uint64_t throughSeq = 0;
    Journal *journal = nullptr; ///< rebased and compacted around the rename (may be null)
    const std::atomic<bool> *cancel = nullptr;
    bool reuseBlocks = true;
};

struct SaveOutput {
    bool ok = false;
    std::string error;
    std::string keptAs; ///< where our file went when the workbook had been replaced
    int fd = -1;        ///< the new file, for reading (the receiver closes it)
    JournalBase base;
    std::vector<SheetInfo> sheets; ///< with the parts of sheets written for the first time
    std::map<std::string, ShapeIdRange> shapeIds;
    SaveStats stats;
};

SaveOutput SaveWorkbook(const SaveInput &input);

/// Removes what interrupted saves of the workbook at `path` left in its folder.
void RemoveSaveLeftovers(const std::string &path);

/// The structure of a package's workbook: its sheets in order and the active tab.
struct WorkbookStructure {
    std::string workbookPart;
    std::string sharedStringsPart; ///< "" when none
    bool strict = false;
    std::vector<SheetInfo> sheets;
    int activeTab = 0;
};
/// Reads the workbook part and its relationships (small parts only).
bool ReadStructure(Package &package, WorkbookStructure &out, std::string *error);

/// The relationships of a part: (id, type, resolved target) for internal targets.
struct Rel {
    std::string id;
    std::string type;
    std::string target;
};
bool ReadRels(Package &package, std::string_view sourcePart, std::vector<Rel> &out,
              std::string *error);

/// One cell of the sheet at `position` (0-based, in tab order) of the workbook file at `path`
/// (for tests and tools). False with *error when the file cannot be read.
bool CellOfFile(const std::string &path, int position, int row, int column, CellValue &out,
                std::string *error);

} // namespace workbook

#pragma once
// What changed in a workbook since its file was last written: cell values and cell comments,
// by sheet (its sheetId), row and column.
//
// The workbook's file on disk is the base; a ChangeSet holds only the cells written since, so
// memory grows with what the archive writes between two saves, never with the size of the
// workbook. A cell change says what becomes of the value (kept, emptied, a number, a text, a
// boolean) and of the comment (kept, removed, set) independently, so a write keeps what it does
// not touch, such as the cell's format in the base file.
//
// Rows are kept in a sorted map of column vectors, because the archive writes whole rows from
// column 1 and the sheet patcher walks rows in order. Texts are pooled: the same error text in
// thousands of comments is stored once. A ChangeSet that is being saved is frozen (shared as
// const) while a new one collects the writes that follow.

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace workbook
{

constexpr int MaxRows = 1048576;
constexpr int MaxColumns = 16384;
/// Longest text a cell or a comment holds (characters, as spreadsheet applications limit it).
constexpr int MaxTextLength = 32767;

enum class ValueChange : std::uint8_t { Keep, Empty, Number, Text, Boolean };
enum class NoteChange : std::uint8_t { Keep, Removed, Set };

struct CellChange {
    ValueChange value = ValueChange::Keep;
    NoteChange note = NoteChange::Keep;
    bool noteVisible = false;
    std::uint32_t text = 0;     ///< pooled text of a Text value
    std::uint32_t noteText = 0; ///< pooled text of a Set comment
    double number = 0;          ///< a Number, or 1/0 for a Boolean

    bool IsKeep() const { return value == ValueChange::Keep && note == NoteChange::Keep; }
};

class StringPool
{
  public:
    std::uint32_t Intern(std::string_view text);
    std::string_view At(std::uint32_t id) const { return strings_[id]; }
    std::size_t Bytes() const { return bytes_; }

  private:
    std::deque<std::string> strings_{std::string()}; // a deque: the views below stay valid
    std::unordered_map<std::string_view, std::uint32_t> index_{{std::string_view(), 0}};
    std::size_t bytes_ = 0;
};

class SheetChanges
{
  public:
    using Row = std::vector<CellChange>; ///< index = column - 1

    /// The change of (row, column), created as "keep everything" when absent.
    CellChange &Touch(int row, int column);
    /// The change of (row, column), or nullptr.
    const CellChange *Find(int row, int column) const;
    const std::map<int, Row> &Rows() const { return rows_; }
    bool Empty() const { return rows_.empty(); }
    int MaxRow() const { return rows_.empty() ? 0 : rows_.rbegin()->first; }
    int MaxColumn() const { return maxColumn_; }
    bool HasNoteChanges() const { return notes_ > 0; }
    std::size_t Cells() const { return cells_; }

  private:
    std::map<int, Row> rows_;
    int maxColumn_ = 0;
    int lastRow_ = 0;
    Row *lastCells_ = nullptr; ///< the row written last: most writes go to it
    std::size_t cells_ = 0;
    std::size_t notes_ = 0;
    friend class ChangeSet;
};

class ChangeSet
{
  public:
    StringPool strings;

    /// The changes of a sheet, created when absent.
    SheetChanges &Sheet(std::uint32_t sheetId) { return sheets_[sheetId]; }
    const SheetChanges *FindSheet(std::uint32_t sheetId) const;
    const std::map<std::uint32_t, SheetChanges> &Sheets() const { return sheets_; }

    void SetNumber(std::uint32_t sheet, int row, int column, double value);
    void SetText(std::uint32_t sheet, int row, int column, std::string_view text);
    void SetBoolean(std::uint32_t sheet, int row, int column, bool value);
    void ClearValue(std::uint32_t sheet, int row, int column);
    void SetNote(std::uint32_t sheet, int row, int column, std::string_view text, bool visible);
    void SetNoteVisible(std::uint32_t sheet, int row, int column, bool visible);
    void RemoveNote(std::uint32_t sheet, int row, int column);

    bool Empty() const;
    /// Rough memory held, for the tests of the memory bound.
    std::size_t ApproxBytes() const;

  private:
    CellChange &Touch(std::uint32_t sheet, int row, int column);
    std::map<std::uint32_t, SheetChanges> sheets_;
};

/// Shortest text that reads back as the same double, always with "." ("12.5", "5", "1e-07"):
/// how a number is stored in the file, exactly. (Converting a number variant to a string
/// for a caller is another job, with 15 significant digits: com's conversion does that.)
std::string NumberText(double value);
/// Column letters of a 1-based column number (1 -> "A", 27 -> "AA"); "" when out of range.
std::string ColumnName(int column);
/// "B2" for row 2, column 2.
std::string CellRef(int row, int column);
/// Parses a cell reference such as "B2" or "$B$2" (case-insensitive) into 1-based row and
/// column. False for anything else or a reference outside the sheet.
bool ParseCellRef(std::string_view ref, int &row, int &column);
inline bool InSheet(int row, int column)
{
    return row >= 1 && row <= MaxRows && column >= 1 && column <= MaxColumns;
}

} // namespace workbook

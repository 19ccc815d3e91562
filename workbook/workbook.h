#pragma once
// In-memory workbook model behind the workbook automation server.
//
// A workbook is an ordered list of worksheets with one active sheet. A worksheet holds cells
// addressed by 1-based row and column (A1 is row 1, column 1) within the usual spreadsheet
// limits (1,048,576 rows, 16,384 columns). A cell holds nothing, a finite number, a text or a
// boolean, and may carry a comment (hidden unless made visible).
//
// Rows are kept in a sorted map of dense column vectors: the archive writes whole rows from
// column 1, so a row costs one vector and cells iterate in row-major order, which is the order
// the .xlsx writer needs.
//
// Every mutation is reported to an optional WorkbookListener (the live viewer), so a view can
// refresh only what changed. Not thread-safe: everything runs on the user-interface thread.

#include <QString>

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

namespace workbook
{

constexpr int MaxRows = 1048576;
constexpr int MaxColumns = 16384;
/// Longest text a cell or comment may hold (characters, as spreadsheet applications limit it).
constexpr int MaxTextLength = 32767;
/// Longest sheet name.
constexpr int MaxSheetNameLength = 31;

enum class CellKind : std::uint8_t { Empty, Number, Text, Boolean };

struct Cell {
    CellKind kind = CellKind::Empty;
    bool hasComment = false;
    bool commentVisible = false;
    double number = 0.0; ///< the value of a Number; 1 or 0 for a Boolean
    QString text;        ///< the value of a Text
    QString comment;     ///< the comment text when hasComment

    bool IsBlank() const { return kind == CellKind::Empty && !hasComment; }
    /// The value as text: numbers in their shortest round-trip form with "." ("12.5", "5"),
    /// booleans as "TRUE"/"FALSE", texts as they are, an empty cell as "".
    QString ValueText() const;
};

/// Shortest text that reads back as the same double, always with "." as separator.
QString NumberText(double value);
/// Column letters of a 1-based column number (1 -> "A", 27 -> "AA"); "" when out of range.
QString ColumnName(int column);
/// Parses a cell reference such as "B2" or "$B$2" (case-insensitive) into 1-based row and
/// column. Returns false for anything else or a reference outside the limits.
bool ParseCellRef(QStringView ref, int &row, int &column);
/// True when `name` can be a sheet name: 1..31 characters, none of \ / ? * [ ] :, not
/// beginning or ending with an apostrophe.
bool IsValidSheetName(const QString &name);

class Workbook;

class WorkbookListener
{
  public:
    virtual ~WorkbookListener() = default;
    /// A cell of sheet `sheetIndex` (0-based) changed.
    virtual void CellChanged(int sheetIndex, int row, int column) = 0;
    /// Sheets were added, removed, reordered or renamed, or the active sheet changed.
    virtual void StructureChanged() = 0;
};

class Worksheet
{
  public:
    using Row = std::vector<Cell>; ///< index = column - 1

    Worksheet(Workbook *owner, QString name);
    Worksheet(const Worksheet &) = delete;
    Worksheet &operator=(const Worksheet &) = delete;

    const QString &Name() const { return name_; }

    static bool InRange(int row, int column)
    {
        return row >= 1 && row <= MaxRows && column >= 1 && column <= MaxColumns;
    }

    /// The cell at (row, column), or nullptr when it has never been written or is blank.
    const Cell *CellAt(int row, int column) const;

    // Setters return false (and change nothing) for a position outside the limits, a
    // non-finite number or a text longer than MaxTextLength.
    bool SetNumber(int row, int column, double value);
    bool SetText(int row, int column, const QString &text);
    bool SetBoolean(int row, int column, bool value);
    /// Removes the value and keeps the comment.
    bool ClearValue(int row, int column);
    bool SetComment(int row, int column, const QString &text, bool visible = false);
    bool SetCommentVisible(int row, int column, bool visible);
    bool ClearComment(int row, int column);

    /// Largest row / column holding a non-blank cell (0 when the sheet is empty).
    int MaxRow() const;
    int MaxColumn() const;
    std::size_t RowCount() const { return rows_.size(); }
    /// Rows in increasing order; a row's vector may end in blank cells.
    const std::map<int, Row> &Rows() const { return rows_; }

  private:
    friend class Workbook;
    /// The cell at (row, column) if its row vector reaches it (blank or not), else nullptr.
    Cell *Stored(int row, int column);
    const Cell *Stored(int row, int column) const;
    Cell *Touch(int row, int column);
    void Notify(int row, int column);

    Workbook *owner_;
    QString name_;
    std::map<int, Row> rows_;
    int maxColumn_ = 0; ///< upper bound of the widest row vector
    // The row written last: rows are written one after the other, so most writes skip the
    // map lookup. Map nodes never move and rows are never removed, so the pointer stays valid.
    int lastRow_ = 0;
    Row *lastRowCells_ = nullptr;
};

class Workbook
{
  public:
    Workbook();
    ~Workbook();
    Workbook(const Workbook &) = delete;
    Workbook &operator=(const Workbook &) = delete;

    int SheetCount() const { return static_cast<int>(sheets_.size()); }
    /// Sheet at a 0-based position, or nullptr.
    Worksheet *Sheet(int index);
    const Worksheet *Sheet(int index) const;
    int IndexOf(const Worksheet *sheet) const; ///< -1 when not in this workbook
    /// Sheet whose name matches case-insensitively, or nullptr.
    Worksheet *FindSheet(const QString &name);

    /// Inserts a new sheet at `position` (0 .. SheetCount(), clamped) and returns it. An empty
    /// or unusable `name` gets the next free default name ("Sheet1", "Sheet2", ...); a
    /// name already taken (case-insensitively) gets a " (2)", " (3)" ... suffix.
    Worksheet *InsertSheet(int position, const QString &name = QString());
    Worksheet *AppendSheet(const QString &name = QString())
    {
        return InsertSheet(SheetCount(), name);
    }

    int ActiveIndex() const { return active_; }
    Worksheet *ActiveSheet() { return Sheet(active_); }
    void SetActive(int index);

    /// Path of the file the workbook was opened from or last saved to ("" when never saved).
    const QString &FilePath() const { return filePath_; }
    void SetFilePath(const QString &path) { filePath_ = path; }
    /// Display name: the file name, or "Book<n>" for a workbook never saved.
    QString Name() const;
    void SetUntitledName(const QString &name) { untitledName_ = name; }

    /// True when the workbook changed since it was opened, created or last saved.
    bool IsModified() const { return modified_; }
    void SetModified(bool modified) { modified_ = modified; }

    /// Incremented by every change; lets observers notice changes without a listener.
    std::uint64_t Revision() const { return revision_; }

    /// At most one listener; pass nullptr to detach. The listener must outlive the
    /// attachment.
    void SetListener(WorkbookListener *listener) { listener_ = listener; }
    WorkbookListener *Listener() const { return listener_; }

  private:
    friend class Worksheet;
    QString UniqueName(const QString &wanted); // may use up a default number
    void CellChanged(const Worksheet *sheet, int row, int column);
    void StructureChanged();

    std::vector<std::unique_ptr<Worksheet>> sheets_;
    int active_ = 0;
    int nextDefaultNumber_ = 1;
    QString filePath_;
    QString untitledName_;
    bool modified_ = false;
    std::uint64_t revision_ = 0;
    WorkbookListener *listener_ = nullptr;
};

} // namespace workbook

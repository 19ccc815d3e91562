#pragma once
// Reading cells and comments of a worksheet part as a stream, for the lookups the automation
// calls make (the row counter in B2) and for the viewer's rows. Nothing is kept beyond what
// the caller asks for: rows outside the wanted range are passed over, and reading stops after
// the last wanted row when the rows come in order.
//
// Cells are read as the spreadsheet programs write them: numbers, shared or inline strings,
// formula results (the cached value), booleans, error codes and ISO dates (kept as texts).
// Rows and cells without a reference follow the previous one. _xHHHH_ escapes are decoded.

#include "package.h"
#include "xmlscan.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace workbook
{

struct CellValue {
    enum class Kind : std::uint8_t { Empty, Number, Text, Boolean } kind = Kind::Empty;
    double number = 0; ///< a Number, or 1/0 for a Boolean
    std::string text;  ///< a Text (UTF-8)

    /// The value as text: numbers in their shortest form with ".", booleans as TRUE/FALSE.
    std::string ToText() const;
};

struct ReadCell {
    int column = 0;
    CellValue value;
};

/// The shared-string table of a package, read lazily: strings are read up to the highest index
/// asked for and kept while they fit in `maxBytes`; an index beyond that is read again from
/// the start of the part.
class SharedStrings
{
  public:
    SharedStrings(Package &package, const PackageEntry *part, std::size_t maxBytes = 64u << 20);
    ~SharedStrings();
    /// The string at `index`; false when there is none or the part cannot be read.
    bool Get(std::uint64_t index, std::string &out, std::string *error);

  private:
    bool ReadItem(std::string &out, bool &atEnd);
    Package &package_;
    const PackageEntry *part_;
    std::size_t maxBytes_;
    std::vector<std::string> kept_;
    std::size_t keptBytes_ = 0;
    bool keeping_ = true;
    std::unique_ptr<ByteSource> source_;
    std::unique_ptr<xml::TokenReader> reader_;
    std::uint64_t next_ = 0; ///< index of the next item the reader returns
};

/// Calls onRow(row, cells) for every row in [firstRow, lastRow] (cells in column order, empty
/// cells left out). onRow returns false to stop. Returns false on a read error (with *error).
bool ReadSheetRows(Package &package, const PackageEntry &sheet, SharedStrings *strings,
                   int firstRow, int lastRow,
                   const std::function<bool(int row, std::vector<ReadCell> &cells)> &onRow,
                   std::string *error);

/// Calls onNote(row, column, text) for every comment of a comments part in [firstRow, lastRow].
bool ReadNotes(Package &package, const PackageEntry &comments, int firstRow, int lastRow,
               const std::function<bool(int row, int column, const std::string &text)> &onNote,
               std::string *error);

/// The last row of a worksheet's <dimension> (a hint that can be wrong), or 0.
int DimensionLastRow(Package &package, const PackageEntry &sheet);

} // namespace workbook

#pragma once
// Reading an Office Open XML workbook (.xlsx) into a workbook model.
//
// Reads every sheet in tab order with its name, the active sheet, and the cells: numbers,
// texts (shared or inline strings, formula text results, error codes), booleans, and cell
// comments with their visibility. Formulas are taken by their cached values; styles,
// formatting and anything else the model does not hold are ignored. Parts are found through
// their relationships, XML is matched by local names, so files written by other spreadsheet
// programs and libraries are read as well.
//
// The file is opened read-only and never written. Anything that cannot be read (not a zip
// archive, no workbook in it, damaged entries, malformed XML, sizes beyond the limits below)
// gives an error message, never a partial workbook.

#include <QString>

#include <cstdint>
#include <memory>

namespace workbook
{

class Workbook;

struct XlsxReadLimits {
    int maxEntries = 10000;                           ///< zip entries in the archive
    std::int64_t maxEntrySize = 256LL * 1024 * 1024;  ///< uncompressed bytes of one part
    std::int64_t maxTotalSize = 1024LL * 1024 * 1024; ///< uncompressed bytes read overall
    std::int64_t maxCells = 20'000'000;               ///< cells and comments overall
    int maxSheets = 4096;
};

/// Reads the workbook at `path`. Returns nullptr and sets `*error` (when given) on failure.
/// The returned workbook has its file path set and is not modified.
std::unique_ptr<Workbook> ReadXlsx(const QString &path, QString *error = nullptr,
                                   const XlsxReadLimits &limits = XlsxReadLimits());

} // namespace workbook

#pragma once
// Saving a workbook model as an Office Open XML workbook (.xlsx).
//
// Numbers are written as numbers, texts as texts (inline strings), booleans as booleans; every
// comment is written with its visibility (hidden unless made visible); one worksheet per sheet
// in order, and the active sheet is kept. Non-blank cells only.
//
// The file is written to a temporary file in the target's folder, flushed to disk and renamed
// over the target, so a failed or interrupted save leaves the previous file as it was. A
// symbolic link is saved through to its target.

#include <QString>

namespace workbook
{

class Workbook;

/// Saves `book` to `path`. Returns true on success; on failure returns false, sets `*error`
/// (when given) to a message and leaves any existing file at `path` untouched.
bool SaveXlsx(const Workbook &book, const QString &path, QString *error = nullptr);

} // namespace workbook

#pragma once
// Reading back a whole (small) workbook file in the tests: sheet names, the active sheet, every
// cell, every comment with its visibility, and the raw parts of the package.
#include "package.h"
#include "save.h"
#include "sheetpatch.h"
#include "sheetread.h"

#include <QProcess>
#include <QString>

#include <map>
#include <string>
#include <vector>

namespace booktest
{

using Cell = std::pair<int, int>; // row, column

struct Sheet {
    std::string name;
    workbook::SheetKind kind = workbook::SheetKind::Worksheet;
    std::map<Cell, workbook::CellValue> cells;
    std::map<Cell, std::string> notes;
    std::map<Cell, bool> noteShown; ///< from the drawing part
};

struct Book {
    bool ok = false;
    std::string error;
    int active = 0;
    std::vector<Sheet> sheets;
    std::map<std::string, std::string> parts; ///< name -> contents, for every entry

    const workbook::CellValue *At(int sheet, int row, int column) const
    {
        const auto &cells = sheets.at(static_cast<std::size_t>(sheet)).cells;
        auto it = cells.find({row, column});
        return it == cells.end() ? nullptr : &it->second;
    }
    std::string Text(int sheet, int row, int column) const
    {
        const workbook::CellValue *v = At(sheet, row, column);
        return v == nullptr ? std::string() : v->ToText();
    }
};

inline Book Read(const std::string &path)
{
    using namespace workbook;
    Book book;
    auto pkg = Package::OpenPath(path, &book.error);
    if (!pkg)
        return book;
    for (const PackageEntry &e : pkg->Entries()) {
        std::string bytes;
        if (!pkg->ReadPart(e, bytes, 1u << 30, &book.error))
            return book;
        book.parts[e.name] = std::move(bytes);
    }
    WorkbookStructure structure;
    if (!ReadStructure(*pkg, structure, &book.error))
        return book;
    book.active = structure.activeTab;
    SharedStrings strings(*pkg, structure.sharedStringsPart.empty()
                                    ? nullptr
                                    : pkg->Find(structure.sharedStringsPart));
    for (const SheetInfo &info : structure.sheets) {
        Sheet sheet;
        sheet.name = info.name;
        sheet.kind = info.kind;
        if (info.kind == SheetKind::Worksheet) {
            const PackageEntry *entry = pkg->Find(info.part);
            if (!ReadSheetRows(
                    *pkg, *entry, &strings, 1, MaxRows,
                    [&](int row, std::vector<ReadCell> &cells) {
                        for (ReadCell &c : cells)
                            sheet.cells[{row, c.column}] = c.value;
                        return true;
                    },
                    &book.error))
                return book;
            std::vector<Rel> rels;
            ReadRels(*pkg, info.part, rels, &book.error);
            for (const Rel &r : rels) {
                if (RelTypeIs(r.type, "comments")) {
                    ReadNotes(
                        *pkg, *pkg->Find(r.target), 1, MaxRows,
                        [&](int row, int column, const std::string &text) {
                            sheet.notes[{row, column}] = text;
                            return true;
                        },
                        &book.error);
                } else if (RelTypeIs(r.type, "vmlDrawing")) {
                    // A note is shown when its shape says so; the shapes are cut apart at their
                    // ends.
                    std::string vml = book.parts[pkg->Find(r.target)->name];
                    std::size_t from = 0;
                    for (std::size_t end; (end = vml.find("shape>", from)) != std::string::npos;
                         from = end + 6) {
                        const std::string shape = vml.substr(from, end - from);
                        const auto rowAt = shape.find("Row>");
                        const auto colAt = shape.find("Column>");
                        if (rowAt == std::string::npos || colAt == std::string::npos)
                            continue;
                        const int row = std::atoi(shape.c_str() + rowAt + 4) + 1;
                        const int column = std::atoi(shape.c_str() + colAt + 7) + 1;
                        sheet.noteShown[{row, column}] =
                            shape.find("visibility:visible") != std::string::npos ||
                            shape.find("Visible/>") != std::string::npos;
                    }
                }
            }
        }
        book.sheets.push_back(std::move(sheet));
    }
    book.ok = true;
    return book;
}

/// Runs Debian's Python with openpyxl on a script; empty optional when it is not installed.
inline std::optional<QString> Openpyxl(const QString &script, const QStringList &args,
                                       int *exitCode = nullptr)
{
    if (QProcess::execute(QStringLiteral("/usr/bin/python3"),
                          {QStringLiteral("-c"), QStringLiteral("import openpyxl")}) != 0)
        return std::nullopt;
    QProcess p;
    p.start(QStringLiteral("/usr/bin/python3"), QStringList{QStringLiteral("-c"), script} + args);
    p.waitForFinished(120000);
    if (exitCode != nullptr)
        *exitCode = p.exitCode();
    return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
}

inline std::string Fixture(const std::string &name)
{
    return std::string(qgetenv("PTK71_SOURCE_DIR").constData()) + "/workbook/tests/fixtures/" +
           name;
}

} // namespace booktest

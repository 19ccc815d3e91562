// Fuzzes reading a workbook file as the server does on the user-interface thread and in the
// viewer: the zip container, the workbook's structure, the rows of every worksheet, their
// comments and the dimension hint. The input is the file itself. Whatever it holds, reading
// must end without misbehaving, within the limits, and what it hands over must be in range.
#include "save.h"
#include "sheetpatch.h"
#include "sheetread.h"
#include "xlsx_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using namespace workbook;
    const std::string path = fuzzxlsx::Folder("xlsx_reader") + "/in.xlsx";
    fuzzxlsx::WriteFile(path, std::string(reinterpret_cast<const char *>(data), size));
    ReadLimits limits;
    limits.ratioFloor = 1 << 20; // small inputs: refuse bombs early
    std::string error;
    auto pkg = Package::OpenPath(path, &error, limits);
    if (!pkg)
        return 0;
    WorkbookStructure structure;
    if (!ReadStructure(*pkg, structure, &error))
        return 0;
    FUZZ_CHECK(!structure.sheets.empty());
    FUZZ_CHECK(structure.activeTab >= 0 &&
               structure.activeTab < static_cast<int>(structure.sheets.size()));
    SharedStrings strings(
        *pkg,
        structure.sharedStringsPart.empty() ? nullptr : pkg->Find(structure.sharedStringsPart),
        1 << 16);
    for (const SheetInfo &s : structure.sheets) {
        const PackageEntry *entry = pkg->Find(s.part);
        if (s.kind != SheetKind::Worksheet || entry == nullptr)
            continue;
        // A small window, so rows on both sides of it are there to be left out.
        const int first = static_cast<int>(size % 5) + 1;
        const int last = first + static_cast<int>(size % 3);
        ReadSheetRows(
            *pkg, *entry, &strings, first, last,
            [&](int row, std::vector<ReadCell> &cells) {
                FUZZ_CHECK(row >= first && row <= last);
                for (const ReadCell &c : cells)
                    FUZZ_CHECK(c.column >= 1 && c.column <= MaxColumns &&
                               c.value.kind != CellValue::Kind::Empty);
                return true;
            },
            &error);
        DimensionLastRow(*pkg, *entry);
        std::vector<Rel> rels;
        if (!ReadRels(*pkg, s.part, rels, &error))
            continue;
        for (const Rel &r : rels) {
            if (const PackageEntry *c = pkg->Find(r.target);
                c != nullptr && RelTypeIs(r.type, "comments"))
                ReadNotes(
                    *pkg, *c, 1, MaxRows,
                    [](int row, int column, const std::string &) {
                        FUZZ_CHECK(InSheet(row, column));
                        return true;
                    },
                    &error);
        }
    }
    return 0;
}

// Fuzzes reading a workbook file as the server does on the user-interface thread and in the
// viewer: the zip container, the workbook's structure, the rows of every worksheet, their
// comments and the dimension hint. Whatever the file holds, reading must end without
// misbehaving, within the limits, and what it hands over must be in range.
//
// Input: when byte 0 is even, the whole input is the file. When it is odd, the rest is the
// XML of a worksheet, then optionally "\n--\n" and its comments part, then "\n--\n" and the
// shared strings; the target stores them uncompressed in a workbook of its own, so mutations
// reach the sheet's XML rather than break the zip around it. Bits 1-4 of byte 0 then choose
// the window of rows read; the whole sheet is read as well.
#include "save.h"
#include "sheetpatch.h"
#include "sheetread.h"
#include "xlsx_common.h"

namespace
{

using namespace workbook;

// A workbook whose first sheet is `sheet`, with `comments` and `strings` when given, every
// part stored uncompressed.
void MakeStoredBook(const std::string &path, const std::vector<std::string> &parts)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    ZipWriter zip(fd);
    auto add = [&](const std::string &name, std::string_view data) {
        ZipEntryMeta m;
        m.name = name;
        m.method = 0;
        FUZZ_CHECK(zip.AddEntry(m, data));
    };
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/";
    add("[Content_Types].xml",
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/workbook.xml\" ContentType=\"application/"
        "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
        "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"application/"
        "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/></Types>");
    add("_rels/.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"" +
            rel + "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
    add("xl/workbook.xml",
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
        "<sheets><sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>");
    std::string bookRels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" Type=\"" +
        rel + "worksheet\" Target=\"worksheets/sheet1.xml\"/>";
    if (parts.size() > 2) {
        bookRels += "<Relationship Id=\"rId2\" Type=\"" + rel +
                    "sharedStrings\" Target=\"sharedStrings.xml\"/>";
        add("xl/sharedStrings.xml", parts[2]);
    }
    add("xl/_rels/workbook.xml.rels", bookRels + "</Relationships>");
    add("xl/worksheets/sheet1.xml", parts[0]);
    if (parts.size() > 1) {
        add("xl/worksheets/_rels/sheet1.xml.rels",
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
            "<Relationship Id=\"rId1\" Type=\"" +
                rel + "comments\" Target=\"../comments1.xml\"/></Relationships>");
        add("xl/comments1.xml", parts[1]);
    }
    FUZZ_CHECK(zip.Finish());
    ::close(fd);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string path = fuzzxlsx::Folder("xlsx_reader") + "/in.xlsx";
    // A small window, so rows on both sides of it are there to be left out.
    int first = static_cast<int>(size % 5) + 1;
    int last = first + static_cast<int>(size % 3);
    const bool xmlMode = size > 0 && (data[0] & 1) != 0;
    if (xmlMode) {
        MakeStoredBook(path, fuzzxlsx::Pieces(data + 1, size - 1, 3));
        first = 1 + (data[0] >> 1) % 4;
        last = first + (data[0] >> 3) % 3;
    } else {
        fuzzxlsx::WriteFile(path, std::string(reinterpret_cast<const char *>(data), size));
    }
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
        auto readRows = [&](int from, int to) {
            ReadSheetRows(
                *pkg, *entry, &strings, from, to,
                [&](int row, std::vector<ReadCell> &cells) {
                    FUZZ_CHECK(row >= from && row <= to);
                    for (const ReadCell &c : cells)
                        FUZZ_CHECK(c.column >= 1 && c.column <= MaxColumns &&
                                   c.value.kind != CellValue::Kind::Empty);
                    return true;
                },
                &error);
        };
        readRows(first, last);
        if (xmlMode)
            readRows(1, MaxRows);
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

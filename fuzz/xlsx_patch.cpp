// Fuzzes continuing a workbook: a package is built around a fuzzed worksheet (and, when the
// input has them, its comments and drawing parts), a pass is written into it as the archive
// writes one, and the package is saved the way the server saves in the background. Then:
//  - a save that fails leaves the file exactly as it was;
//  - after a save, every part the pass does not touch is byte for byte what it was (the
//    compressed bytes too), the package still reads with the active sheet asked for, and when
//    the old sheet was well-formed with rows and cells in order the new one is well-formed and
//    holds the written cells.
// Input: byte 0 picks the row written, byte 1 what the pass writes (a comment, the counter,
// a text, a new sheet in front) and which sheet is made the active one; the rest is the sheet,
// then optionally "\n--\n" and the comments part, then "\n--\n" and the drawing part.
#include "save.h"
#include "sheetpatch.h"
#include "sheetread.h"
#include "xlsx_common.h"
#include "xmlscan.h"

#include <fstream>
#include <iterator>

namespace
{

using namespace workbook;

std::string ReadAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

bool WellFormed(Package &pkg, const std::string &part)
{
    const PackageEntry *e = pkg.Find(part);
    if (e == nullptr)
        return false;
    auto src = pkg.OpenPart(*e);
    xml::TokenReader reader(*src);
    xml::Token t;
    std::vector<std::string> open;
    bool root = false;
    while (reader.NextToken(t)) {
        if (t.kind == xml::TokenKind::StartTag || t.kind == xml::TokenKind::EmptyTag) {
            if (open.empty() && root)
                return false; // a second root
            root = true;
            if (t.kind == xml::TokenKind::StartTag)
                open.emplace_back(t.name);
        } else if (t.kind == xml::TokenKind::EndTag) {
            if (open.empty() || open.back() != t.name)
                return false;
            open.pop_back();
        } else if (t.kind == xml::TokenKind::Text && open.empty() &&
                   t.raw.find_first_not_of(" \t\r\n") != std::string_view::npos) {
            return false;
        }
    }
    return reader.Error().empty() && open.empty() && root;
}

// The rows of a sheet when they and their cells come strictly in order; false otherwise.
bool OrderedRows(Package &pkg, const std::string &part,
                 std::map<std::pair<int, int>, CellValue> &cells)
{
    const PackageEntry *e = pkg.Find(part);
    if (e == nullptr)
        return false;
    int lastRow = 0;
    bool ordered = true;
    std::string error;
    const bool ok = ReadSheetRows(
        pkg, *e, nullptr, 1, MaxRows,
        [&](int row, std::vector<ReadCell> &read) {
            ordered = ordered && row > lastRow;
            lastRow = row;
            int lastColumn = 0;
            for (ReadCell &c : read) {
                ordered = ordered && c.column > lastColumn;
                lastColumn = c.column;
                cells[{row, c.column}] = c.value;
            }
            return true;
        },
        &error);
    return ok && ordered;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 2)
        return 0;
    const int row = 2 + data[0] % 12;
    const uint8_t flags = data[1];
    const std::vector<std::string> pieces = fuzzxlsx::Pieces(data + 2, size - 2, 3);
    const std::string folder = fuzzxlsx::Folder("xlsx_patch");
    const std::string path = folder + "/book.xlsx";
    fuzzxlsx::MakePackage(path, pieces[0], pieces.size() > 1 ? &pieces[1] : nullptr,
                          pieces.size() > 2 ? &pieces[2] : nullptr);
    const std::string before = ReadAll(path);

    std::string error;
    auto old = Package::OpenPath(path, &error);
    FUZZ_CHECK(old != nullptr);
    WorkbookStructure structure;
    FUZZ_CHECK(ReadStructure(*old, structure, &error));
    std::map<std::pair<int, int>, CellValue> oldCells;
    const bool oldOrdered = WellFormed(*old, "xl/worksheets/sheet1.xml") &&
                            OrderedRows(*old, "xl/worksheets/sheet1.xml", oldCells);

    auto changes = std::make_shared<ChangeSet>();
    const std::uint32_t sheet = structure.sheets[0].sheetId;
    changes->SetNumber(sheet, row, 2, 42.5);
    changes->RemoveNote(sheet, row, 2);
    if (flags & 2)
        changes->SetNumber(sheet, 2, 2, row);
    if (flags & 4)
        changes->SetText(sheet, row, 1, "  t<&>\x01_x0041_");
    changes->ClearValue(sheet, row, 3);
    changes->RemoveNote(sheet, row, 3);
    if (flags & 1)
        changes->SetNote(sheet, row, 3, "Нет ответа", (flags & 16) != 0);
    SaveInput in;
    in.sheets = structure.sheets;
    in.active = (flags & 32) ? 1 : 0;
    if (flags & 8) {
        SheetInfo added;
        added.sheetId = 3;
        added.name = "Sheet3";
        in.sheets.insert(in.sheets.begin(), added);
        changes->SetNumber(3, 5, 2, 1.5);
        changes->SetNote(3, 5, 3, "x", false);
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    FUZZ_CHECK(fd >= 0);
    in.baseFd = fd;
    in.destPath = path;
    in.expect = FileIdentity::OfDescriptor(fd);
    in.changes = changes;
    const SaveOutput out = SaveWorkbook(in);
    ::close(fd);
    if (!out.ok) {
        FUZZ_CHECK(ReadAll(path) == before);
        return 0;
    }
    ::close(out.fd);

    // Untouched parts: the same compressed bytes.
    auto now = Package::OpenPath(path, &error);
    FUZZ_CHECK(now != nullptr);
    // The second sheet is untouched too unless it was made the active one: the active sheet is
    // the selected one, so it then gets its tab selected.
    std::vector<const char *> untouched = {"_rels/.rels", "xl/styles.xml"};
    if (!(in.active == 1 && !(flags & 8)))
        untouched.push_back("xl/worksheets/sheet2.xml");
    for (const char *name : untouched) {
        const PackageEntry *a = old->Find(name);
        const PackageEntry *b = now->Find(name);
        FUZZ_CHECK(a != nullptr && b != nullptr);
        FUZZ_CHECK(a->crc32 == b->crc32 && a->compressedSize == b->compressedSize &&
                   a->uncompressedSize == b->uncompressedSize && a->method == b->method);
        std::string x, y;
        auto ra = old->OpenRaw(*a);
        auto rb = now->OpenRaw(*b);
        char buffer[4096];
        for (std::int64_t n; (n = ra->Read(buffer, sizeof buffer)) > 0;)
            x.append(buffer, static_cast<size_t>(n));
        for (std::int64_t n; (n = rb->Read(buffer, sizeof buffer)) > 0;)
            y.append(buffer, static_cast<size_t>(n));
        FUZZ_CHECK(x == y);
    }
    WorkbookStructure after;
    FUZZ_CHECK(ReadStructure(*now, after, &error));
    FUZZ_CHECK(after.sheets.size() == in.sheets.size());
    FUZZ_CHECK(after.activeTab == in.active);
    // The defined name still points at "Other".
    std::string book;
    FUZZ_CHECK(now->ReadPart(*now->Find("xl/workbook.xml"), book, 1 << 20, &error));
    FUZZ_CHECK(book.find((flags & 8) ? "localSheetId=\"2\"" : "localSheetId=\"1\"") !=
               std::string::npos);
    if (oldOrdered) {
        const std::string part = after.sheets[(flags & 8) ? 1 : 0].part;
        FUZZ_CHECK(WellFormed(*now, part));
        std::map<std::pair<int, int>, CellValue> newCells;
        FUZZ_CHECK(OrderedRows(*now, part, newCells));
        const auto written = newCells.find({row, 2});
        FUZZ_CHECK(written != newCells.end() && written->second.kind == CellValue::Kind::Number &&
                   written->second.number == 42.5);
        FUZZ_CHECK(newCells.count({row, 3}) == 0);
        // Every other cell is as it was.
        for (const auto &[at, value] : oldCells) {
            if (at.first == row && at.second <= 3)
                continue;
            if (at == std::make_pair(2, 2) && (flags & 2))
                continue;
            const auto it = newCells.find(at);
            FUZZ_CHECK(it != newCells.end() && it->second.kind == value.kind &&
                       it->second.ToText() == value.ToText());
        }
    }
    return 0;
}

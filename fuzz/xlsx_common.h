// What the workbook fuzz targets share: a package built around fuzzed parts, and a folder of
// their own for the files a save writes.
#pragma once
#include "package.h"
#include "zipwrite.h"

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace fuzzxlsx
{

// A failed check names itself on standard error (scripts/fuzz quotes the line) and aborts.
inline void CheckAt(bool condition, const char *what, const char *file, int line)
{
    if (!condition) {
        std::fprintf(stderr, "check failed at %s:%d: %s\n", file, line, what);
        std::abort();
    }
}
#define FUZZ_CHECK(condition) ::fuzzxlsx::CheckAt((condition), #condition, __FILE__, __LINE__)

// A folder in /dev/shm (or /tmp) for this process, removed at exit.
inline const std::string &Folder(const char *target)
{
    static std::string folder = [target] {
        std::string base = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string templ = base + "/ptk71-fuzz-" + target + "-XXXXXX";
        FUZZ_CHECK(::mkdtemp(templ.data()) != nullptr);
        static std::string removeAtExit;
        removeAtExit = templ;
        std::atexit([] { std::system(("rm -rf '" + removeAtExit + "'").c_str()); });
        return templ;
    }();
    return folder;
}

inline void WriteFile(const std::string &path, const std::string &bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(::write(fd, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size()));
    ::close(fd);
}

// A workbook package: sheet 1 (the fuzzed sheet, with comments and a drawing when given), a
// second sheet and styles that no continuation may touch.
inline void MakePackage(const std::string &path, const std::string &sheet,
                        const std::string *comments, const std::string *vml)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    FUZZ_CHECK(fd >= 0);
    workbook::ZipWriter zip(fd);
    auto add = [&](const std::string &name, const std::string &data) {
        workbook::ZipEntryMeta m;
        m.name = name;
        FUZZ_CHECK(zip.AddEntry(m, data));
    };
    add("[Content_Types].xml",
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"rels\" "
        "ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Default Extension=\"vml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>"
        "<Override PartName=\"/xl/workbook.xml\" "
        "ContentType=\"application/"
        "vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml\"/>"
        "<Override PartName=\"/xl/worksheets/sheet1.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/"
        ">"
        "<Override PartName=\"/xl/worksheets/sheet2.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/"
        ">"
        "<Override PartName=\"/xl/comments1.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml\"/>"
        "<Override PartName=\"/xl/styles.xml\" "
        "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml\"/>"
        "</Types>");
    add("_rels/.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
        "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
    add("xl/workbook.xml",
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
        "<bookViews><workbookView xWindow=\"0\" yWindow=\"0\"/></bookViews>"
        "<sheets><sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/><sheet name=\"Other\" "
        "sheetId=\"2\" r:id=\"rId2\"/></sheets>"
        "<definedNames><definedName name=\"X\" "
        "localSheetId=\"1\">Other!$A$1</definedName></definedNames></workbook>");
    add("xl/_rels/workbook.xml.rels",
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
        "Target=\"worksheets/sheet1.xml\"/>"
        "<Relationship Id=\"rId2\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
        "Target=\"worksheets/sheet2.xml\"/>"
        "<Relationship Id=\"rId3\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles\" "
        "Target=\"styles.xml\"/></Relationships>");
    add("xl/worksheets/sheet1.xml", sheet);
    add("xl/worksheets/sheet2.xml",
        "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheetData>"
        "<row r=\"1\"><c "
        "r=\"A1\"><f>SUM(Data!B5:B9)</f><v>3</v></c></row></sheetData></worksheet>");
    add("xl/styles.xml",
        "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>");
    if (comments != nullptr || vml != nullptr) {
        std::string rels =
            "<Relationships "
            "xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">";
        if (comments != nullptr) {
            rels += "<Relationship Id=\"rId1\" "
                    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
                    "comments\" Target=\"../comments1.xml\"/>";
            add("xl/comments1.xml", *comments);
        }
        if (vml != nullptr) {
            rels += "<Relationship Id=\"rId2\" "
                    "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
                    "vmlDrawing\" Target=\"../drawings/vmlDrawing1.vml\"/>";
            add("xl/drawings/vmlDrawing1.vml", *vml);
        }
        add("xl/worksheets/_rels/sheet1.xml.rels", rels + "</Relationships>");
    }
    FUZZ_CHECK(zip.Finish());
    ::close(fd);
}

// Splits fuzz input into pieces at "\n--\n".
inline std::vector<std::string> Pieces(const uint8_t *data, size_t size, size_t most)
{
    std::vector<std::string> out;
    std::string all(reinterpret_cast<const char *>(data), size);
    size_t from = 0;
    while (out.size() + 1 < most) {
        const size_t at = all.find("\n--\n", from);
        if (at == std::string::npos)
            break;
        out.push_back(all.substr(from, at - from));
        from = at + 4;
    }
    out.push_back(all.substr(from));
    return out;
}

} // namespace fuzzxlsx

// Continuing workbooks the way the archive does (open, passes, save, close) against the real
// server: what the user prepared stays as it was, byte for byte; crashes, other writers and
// replaced files lose no row.
#include "automation.h"
#include "bookfile.h"
#include "document.h"
#include "excelarchive.h"
#include "excelserver.h"
#include "lockfile.h"
#include "settings.h"
#include "zipwrite.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

namespace
{

class ContinueTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        AutomationStartup();
        RegisterExcelServer();
        ResetArchiveState();
        savedPoints_ = NumPoints;
        NumPoints = 2;
        ArchiveHost host;
        host.readingText = [this](int k) { return readings_.value(k - 1); };
        host.enExcel = [] { return true; };
        host.fileName = [this] { return file_; };
        host.excelVisible = [] { return false; };
        host.setCaption = [this](const QString &c) { caption_ = c; };
        host.processEvents = [] { QCoreApplication::processEvents(); };
        host.monotonicDays = [this] { return clock_; };
        host.timeOfDayText = [] { return QStringLiteral("14:05:07"); };
        SetArchiveHost(host);
    }
    void TearDown() override
    {
        ResetArchiveState();
        SetArchiveHost({});
        NumPoints = savedPoints_;
        AutomationShutdown();
    }

    // A copy of a fixture in the temporary folder, as the file the archive continues.
    std::string Prepare(const std::string &fixture)
    {
        const QString path = dir_.filePath(QString::fromStdString(fixture));
        QFile::remove(path);
        EXPECT_TRUE(QFile::copy(QString::fromStdString(booktest::Fixture(fixture)), path));
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
        file_ = path;
        return path.toStdString();
    }

    // One run: open, `passes` passes, close. The save interval passes before the last pass.
    void Run(int passes)
    {
        OpenExcel();
        for (int i = 0; i < passes; ++i) {
            if (i == passes - 1)
                clock_ += 0.01;
            SaveExcel();
        }
        CloseExcel();
    }

    QTemporaryDir dir_;
    QString file_;
    QString caption_;
    QStringList readings_{QStringLiteral("    12.5"), QStringLiteral("Нет ответа")};
    double clock_ = 1000;
    int32_t savedPoints_ = 0;
};

// Every part but those listed is byte for byte what it was.
void ExpectUntouched(const booktest::Book &before, const booktest::Book &after,
                     const std::set<std::string> &changed)
{
    for (const auto &[name, bytes] : before.parts) {
        if (changed.count(name) > 0 || name == "xl/calcChain.xml")
            continue;
        auto it = after.parts.find(name);
        ASSERT_NE(it, after.parts.end()) << name << " is gone";
        EXPECT_TRUE(it->second == bytes) << name << " changed";
    }
}

std::string Between(const std::string &s, const std::string &from, const std::string &to)
{
    const auto a = s.find(from);
    const auto b = s.find(to, a);
    return a == std::string::npos || b == std::string::npos ? std::string() : s.substr(a, b - a);
}

} // namespace

TEST_F(ContinueTest, APreparedWorkbookKeepsEverythingTheArchiveDoesNotWrite)
{
    struct Case {
        std::string fixture;
        std::set<std::string> changed; // the parts a continued run may rewrite
    };
    const std::vector<Case> cases = {
        {"prepared.xlsx",
         {"[Content_Types].xml", "xl/workbook.xml", "xl/worksheets/sheet1.xml",
          "xl/comments/comment1.xml", "xl/drawings/commentsDrawing1.vml"}},
        {"prepared-lo.xlsx",
         {"[Content_Types].xml", "xl/workbook.xml", "xl/_rels/workbook.xml.rels",
          "xl/worksheets/sheet1.xml", "xl/comments1.xml", "xl/drawings/vmlDrawing1.vml"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::string path = Prepare(c.fixture);
        const booktest::Book before = booktest::Read(path);
        ASSERT_TRUE(before.ok) << before.error;
        Run(2);
        EXPECT_EQ(caption_, QStringLiteral("  PTK71"));
        const booktest::Book after = booktest::Read(path);
        ASSERT_TRUE(after.ok) << after.error;
        ExpectUntouched(before, after, c.changed);

        // The counter was 6: rows 7 and 8 are the passes, B2 says 8, the old rows stay.
        EXPECT_EQ(after.Text(0, 2, 2), "8");
        EXPECT_EQ(after.Text(0, 7, 1), "14:05:07");
        EXPECT_EQ(after.Text(0, 8, 2), "12.5");
        EXPECT_EQ(after.At(0, 8, 3), nullptr);
        EXPECT_EQ(after.sheets[0].notes.at({8, 3}), "Нет ответа");
        EXPECT_FALSE(after.sheets[0].noteShown.at({8, 3}));
        EXPECT_EQ(after.sheets[0].notes.at({6, 3}), "Нет ответа"); // the user's own
        EXPECT_EQ(after.Text(0, 1, 1), "Измерения печи 3");
        EXPECT_EQ(after.Text(0, 5, 2), "1.5");

        // The sheet's own settings are as they were around the rows; the written cell that had a
        // format keeps it; the formula is still a formula; a full recalculation is asked for.
        const std::string &sheetBefore = before.parts.at("xl/worksheets/sheet1.xml");
        const std::string &sheet = after.parts.at("xl/worksheets/sheet1.xml");
        EXPECT_EQ(sheet.substr(sheet.find("</sheetData>")),
                  sheetBefore.substr(sheetBefore.find("</sheetData>")));
        EXPECT_EQ(Between(sheet, "<sheetViews", "<sheetData"),
                  Between(sheetBefore, "<sheetViews", "<sheetData"));
        const std::string tagOfB7 = Between(sheetBefore, "<c r=\"B7\"", ">");
        const auto styleAt = tagOfB7.find(" s=\"");
        ASSERT_NE(styleAt, std::string::npos);
        const std::string style =
            tagOfB7.substr(styleAt, tagOfB7.find('"', styleAt + 4) + 1 - styleAt);
        EXPECT_NE(sheet.find("<c r=\"B7\"" + style + "><v>12.5</v></c>"), std::string::npos)
            << style;
        EXPECT_NE(sheet.find("B2*2</f>"), std::string::npos);
        EXPECT_NE(after.parts.at("xl/workbook.xml").find("fullCalcOnLoad=\"1\""),
                  std::string::npos);

        // An outside reader sees the same.
        const auto out = booktest::Openpyxl(QStringLiteral(R"(
import openpyxl, sys
wb = openpyxl.load_workbook(sys.argv[1])
d, s = wb["Данные"], wb["Итог"]
print(d["B2"].value, d["B8"].value, d["C8"].comment.text, d["C6"].comment.text, d["C2"].value)
print(s["B1"].value, len(s._charts), "Readings" in wb.defined_names, d.freeze_panes, d.merged_cells.ranges[0].coord)
print(d.column_dimensions["A"].width, d["A1"].font.b, d["B7"].number_format)
)"),
                                            {QString::fromStdString(path)});
        if (out) {
            EXPECT_EQ(out->trimmed().toStdString(),
                      "8 12.5 Нет ответа Нет ответа =B2*2\n=SUM(Данные!B5:B100) 1 True " +
                          std::string(c.fixture == "prepared.xlsx" ? "B5" : "None") +
                          " A1:D1\n24.0 True 0.000");
        }
    }
}

TEST_F(ContinueTest, AChartSheetIsNotAWorksheet)
{
    const std::string path = Prepare("chartfirst.xlsx");
    const booktest::Book before = booktest::Read(path);
    ASSERT_TRUE(before.ok) << before.error;
    ASSERT_EQ(before.sheets[0].kind, workbook::SheetKind::Chartsheet);
    Run(1);
    EXPECT_EQ(caption_, QStringLiteral("  PTK71"));
    const booktest::Book after = booktest::Read(path);
    ASSERT_TRUE(after.ok) << after.error;
    // Worksheet 1 is the data sheet behind the chart sheet; the chart sheet is untouched.
    EXPECT_EQ(after.sheets.size(), 2u);
    EXPECT_EQ(after.sheets[0].kind, workbook::SheetKind::Chartsheet);
    EXPECT_EQ(after.Text(1, 2, 2), "7");
    EXPECT_EQ(after.Text(1, 7, 2), "12.5");
    EXPECT_EQ(after.parts.at("xl/chartsheets/sheet1.xml"),
              before.parts.at("xl/chartsheets/sheet1.xml"));
}

// Whether a sheet part's views select the sheet.
bool Selected(const std::string &sheetXml)
{
    const auto views = Between(sheetXml, "<sheetViews", "</sheetViews>");
    return views.find("tabSelected=\"1\"") != std::string::npos ||
           views.find("tabSelected=\"true\"") != std::string::npos;
}

// A sheet part as it should be once it is no longer selected.
std::string Unselected(std::string sheetXml)
{
    for (const std::string attr : {" tabSelected=\"1\"", " tabSelected=\"true\""}) {
        const auto at = sheetXml.find(attr);
        if (at != std::string::npos && at < sheetXml.find("<sheetData"))
            sheetXml.erase(at, attr.size());
    }
    return sheetXml;
}

TEST_F(ContinueTest, AFullSheetRollsOverToANewSheetInFrontThatAloneIsSelected)
{
    // openpyxl's file selects no sheet, the other office suite's and ours select the first.
    for (const std::string fixture : {"prepared.xlsx", "prepared-lo.xlsx", ""}) {
        SCOPED_TRACE(fixture.empty() ? "our own" : fixture);
        std::string path;
        if (fixture.empty()) {
            file_ = dir_.filePath(QStringLiteral("own.xlsx"));
            QFile::remove(file_);
            path = file_.toStdString();
            Run(1);
        } else {
            path = Prepare(fixture);
        }
        {
            // Fill B2 as the archive would after 65,497 passes.
            std::string error;
            auto doc = workbook::Document::Open(path, &error);
            ASSERT_TRUE(doc) << error;
            doc->SetNumber(doc->Sheets()[0].sheetId, 2, 2, 65501);
            ASSERT_TRUE(doc->Save(&error)) << error;
            ASSERT_TRUE(doc->Close(&error)) << error;
        }
        const booktest::Book before = booktest::Read(path);
        ASSERT_TRUE(before.ok) << before.error;
        Run(2);
        const booktest::Book after = booktest::Read(path);
        ASSERT_TRUE(after.ok) << after.error;
        ASSERT_EQ(after.sheets.size(), before.sheets.size() + 1);
        EXPECT_EQ(after.sheets[1].name, before.sheets[0].name);
        EXPECT_EQ(after.active, 0);
        EXPECT_EQ(after.Text(0, 4, 2), "Точка 1");
        EXPECT_EQ(after.Text(0, 2, 2), "6");
        EXPECT_EQ(after.Text(0, 6, 2), "12.5");
        EXPECT_EQ(after.sheets[0].notes.at({6, 3}), "Нет ответа");

        // The old sheets are exactly as they were, but for their selection; the new sheet alone
        // is selected.
        int selected = 0;
        for (const auto &[name, bytes] : after.parts) {
            if (!name.starts_with("xl/worksheets/sheet") || !name.ends_with(".xml"))
                continue;
            const auto old = before.parts.find(name);
            if (old == before.parts.end()) {
                EXPECT_TRUE(Selected(bytes)) << name << " is new and not selected";
                ++selected;
                continue;
            }
            EXPECT_FALSE(Selected(bytes)) << name;
            EXPECT_TRUE(bytes == Unselected(old->second)) << name << " changed";
        }
        EXPECT_EQ(selected, 1);
        const std::string &book = after.parts.at("xl/workbook.xml");
        EXPECT_EQ(Between(book, "<workbookView", "/>").find("firstSheet=\"1"), std::string::npos);
        if (!fixture.empty()) { // the defined name still points at the data sheet
            EXPECT_NE(book.find("Readings"), std::string::npos);
        }

        // An outside reader sees one selected sheet, the active one.
        const auto out = booktest::Openpyxl(QStringLiteral(R"(
import openpyxl, sys
wb = openpyxl.load_workbook(sys.argv[1])
print(wb.index(wb.active), [bool(ws.sheet_view.tabSelected) for ws in wb.worksheets])
)"),
                                            {QString::fromStdString(path)});
        if (out) {
            EXPECT_EQ(out->trimmed().toStdString(),
                      "0 [True, False" + std::string(before.sheets.size() > 1 ? ", False" : "") +
                          "]");
        }
    }
}

// A workbook of `sheets` worksheets whose relationships are listed in reverse order; every
// `partsEvery`-th sheet has a part of its own, the others share the first one.
void WriteManySheets(const std::string &path, int sheets, int partsEvery)
{
    using workbook::ZipEntryMeta;
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    workbook::ZipWriter zip(fd);
    auto add = [&](const std::string &name, const std::string &bytes) {
        ZipEntryMeta meta;
        meta.name = name;
        ASSERT_TRUE(zip.AddEntry(meta, bytes)) << zip.Error();
    };
    const std::string rels = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    add("[Content_Types].xml",
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>");
    add("_rels/.rels", "<Relationships><Relationship Id=\"rId1\" Type=\"" + rels +
                           "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>");
    std::string book = "<workbook xmlns:r=\"" + rels + "\"><sheets>";
    std::string bookRels = "<Relationships>";
    for (int i = 1; i <= sheets; ++i) {
        const std::string n = std::to_string(i);
        book += "<sheet name=\"S" + n + "\" sheetId=\"" + n + "\" r:id=\"rId" + n + "\"/>";
        const int m = sheets + 1 - i;
        const int part = (m - 1) % partsEvery == 0 ? m : 1;
        bookRels += "<Relationship Id=\"rId" + std::to_string(m) + "\" Type=\"" + rels +
                    "/worksheet\" Target=\"worksheets/sheet" + std::to_string(part) + ".xml\"/>";
        if ((i - 1) % partsEvery == 0)
            add("xl/worksheets/sheet" + n + ".xml", "<worksheet><sheetData/></worksheet>");
    }
    add("xl/workbook.xml", book + "</sheets></workbook>");
    add("xl/_rels/workbook.xml.rels", bookRels + "</Relationships>");
    ASSERT_TRUE(zip.Finish()) << zip.Error();
    ::close(fd);
}

TEST_F(ContinueTest, AWorkbookOfManySheetsOpensAndACraftedOneCannotHoldTheOpening)
{
    const std::string many = dir_.filePath(QStringLiteral("many.xlsx")).toStdString();
    const std::string crafted = dir_.filePath(QStringLiteral("crafted.xlsx")).toStdString();
    const std::string dense = dir_.filePath(QStringLiteral("dense.xlsx")).toStdString();
    WriteManySheets(many, 400, 1);
    WriteManySheets(crafted, 40000, 1000);
    WriteManySheets(dense, 6000, 1000); // parts under a megabyte each

    // Every sheet finds its own part, though the relationships come in another order.
    std::string error;
    auto doc = workbook::Document::Open(many, &error);
    ASSERT_TRUE(doc) << error;
    ASSERT_EQ(doc->Sheets().size(), 400u);
    EXPECT_EQ(doc->Sheets()[0].part, "xl/worksheets/sheet1.xml");
    EXPECT_EQ(doc->Sheets()[399].part, "xl/worksheets/sheet400.xml");
    ASSERT_TRUE(doc->Close(&error)) << error;

    // Out of time: what fits in the structure's free work is still read, a crafted file is
    // refused.
    workbook::ReadLimits late;
    late.cancelled = [] { return true; };
    for (const auto &[path, readable] :
         {std::pair{many, true}, std::pair{dense, false}, std::pair{crafted, false}}) {
        auto pkg = workbook::Package::OpenPath(path, &error, late);
        ASSERT_TRUE(pkg) << error;
        workbook::WorkbookStructure structure;
        EXPECT_EQ(workbook::ReadStructure(*pkg, structure, &error), readable) << path;
    }

    // On time or not, the crafted file opens whole or is refused.
    doc = workbook::Document::Open(crafted, &error);
    if (doc) {
        ASSERT_EQ(doc->Sheets().size(), 40000u);
        EXPECT_EQ(doc->Sheets()[1000].part, "xl/worksheets/sheet1001.xml");
        EXPECT_EQ(doc->Sheets()[1001].part, "xl/worksheets/sheet1.xml");
        EXPECT_TRUE(doc->Close(&error)) << error;
    } else {
        EXPECT_NE(error.find("refused"), std::string::npos) << error;
    }
}

TEST_F(ContinueTest, OurOwnWorkbookOpensAgainAndAgain)
{
    file_ = dir_.filePath(QStringLiteral("own.xlsx"));
    NumPoints = 253;
    readings_.clear();
    for (int k = 1; k <= 253; ++k)
        readings_ << (k % 50 == 0 ? QStringLiteral("Нет ответа")
                                  : QStringLiteral("  %1.25").arg(k));
    for (int run = 0; run < 3; ++run) {
        Run(40);
        ASSERT_EQ(caption_, QStringLiteral("  PTK71")) << "run " << run;
    }
    const booktest::Book book = booktest::Read(file_.toStdString());
    ASSERT_TRUE(book.ok) << book.error;
    EXPECT_EQ(book.Text(0, 2, 2), "124");
    EXPECT_EQ(book.Text(0, 4, 254), "Точка 253");
    EXPECT_EQ(book.Text(0, 124, 254), "253.25");
    EXPECT_EQ(book.sheets[0].notes.size(), 120u * 5);
    // Every note shape has an id of its own.
    std::set<std::string> ids;
    const std::string &vml = [&]() -> const std::string & {
        for (const auto &[name, bytes] : book.parts) {
            if (name.ends_with(".vml"))
                return bytes;
        }
        static std::string none;
        return none;
    }();
    for (std::size_t at = 0; (at = vml.find("id=\"_x0000_s", at)) != std::string::npos; ++at)
        EXPECT_TRUE(ids.insert(vml.substr(at, vml.find('"', at + 4) - at)).second);
    EXPECT_EQ(ids.size(), 600u);
}

TEST_F(ContinueTest, ALockOfAnotherWriterIsHonouredAndTheNextRunTriesAgain)
{
    const std::string path = Prepare("prepared.xlsx");
    const std::string lockPath = workbook::WorkbookLock::LockPathOf(path);
    std::ofstream(lockPath)
        << ",Ivan Petrov,labpc,09.12.2026 10:00,file:///home/ivan/.config/office/4;";
    const booktest::Book before = booktest::Read(path);
    Run(1);
    EXPECT_EQ(caption_, QStringLiteral(" Ошибка в Excel"));
    EXPECT_FALSE(ArchiveOpen);
    EXPECT_EQ(booktest::Read(path).parts, before.parts);

    // A second server on a workbook that is open fails to open it too.
    std::string error;
    ::unlink(lockPath.c_str());
    auto first = workbook::Document::Open(path, &error);
    ASSERT_TRUE(first) << error;
    EXPECT_FALSE(workbook::Document::Open(path, &error));
    EXPECT_NE(error.find("locked"), std::string::npos);
    first.reset();
    Run(1);
    EXPECT_EQ(caption_, QStringLiteral("  PTK71"));
    EXPECT_EQ(booktest::Read(path).Text(0, 2, 2), "7");
}

TEST_F(ContinueTest, AWorkbookReplacedOnDiskIsNotOverwrittenAndOurRowsAreKept)
{
    // Somebody puts another workbook in its place: copied over it (the same file rewritten, as
    // cp does) or moved there (a new file, as a save of another program does).
    for (const bool inPlace : {true, false}) {
        SCOPED_TRACE(inPlace ? "rewritten in place" : "replaced by another file");
        ResetArchiveState();
        QDir(dir_.path()).removeRecursively();
        QDir().mkpath(dir_.path());
        const std::string path = Prepare("prepared.xlsx");
        OpenExcel();
        SaveExcel();
        ASSERT_EQ(caption_, QStringLiteral("  PTK71 (Excel)"));
        const std::string other = booktest::Fixture("chartfirst.xlsx");
        if (inPlace) {
            std::ifstream in(other, std::ios::binary);
            std::ofstream out(path, std::ios::binary | std::ios::trunc);
            out << in.rdbuf();
        } else {
            const std::string moved = path + ".new";
            ASSERT_TRUE(QFile::copy(QString::fromStdString(other), QString::fromStdString(moved)));
            ASSERT_EQ(::rename(moved.c_str(), path.c_str()), 0);
        }
        const booktest::Book replaced = booktest::Read(path);
        clock_ += 0.01;
        SaveExcel(); // saves: the save is refused in the background...
        for (int i = 0; i < 500 && caption_ != QStringLiteral(" Ошибка в Excel"); ++i) {
            QCoreApplication::processEvents();
            ::usleep(10000);
            SaveExcel(); // ...and the next call says so
        }
        EXPECT_EQ(caption_, QStringLiteral(" Ошибка в Excel"));
        EXPECT_TRUE(ArchiveFailed);
        CloseExcel();
        ReleaseArchive();
        EXPECT_EQ(booktest::Read(path).parts, replaced.parts);
        // Our rows are in a workbook of their own beside it: the whole workbook continued when its
        // old content was still at hand, the rows alone when it was not.
        const QStringList kept =
            QDir(dir_.path()).entryList({QStringLiteral("prepared (PTK71 *).xlsx")});
        ASSERT_EQ(kept.size(), 1);
        const booktest::Book ours = booktest::Read(dir_.filePath(kept[0]).toStdString());
        ASSERT_TRUE(ours.ok) << ours.error;
        ASSERT_EQ(ours.sheets[0].name, "Данные");
        EXPECT_EQ(ours.Text(0, 7, 2), "12.5");
        EXPECT_EQ(ours.Text(0, 8, 2), "12.5");
        EXPECT_EQ(ours.sheets[0].notes.at({8, 3}), "Нет ответа");
        EXPECT_EQ(ours.Text(0, 5, 2), inPlace ? "" : "1.5");
    }
}

TEST_F(ContinueTest, AZipBombIsRefusedAndNothingIsWritten)
{
    // A package whose sheet inflates to 96 MiB of blanks from a hundred KiB.
    file_ = dir_.filePath(QStringLiteral("bomb.xlsx"));
    const std::string head = "<worksheet "
                             "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/"
                             "main\"><sheetData><row r=\"1\">";
    std::string sheet = head + std::string(96u << 20, ' ') + "</row></sheetData></worksheet>";
    int code = 0;
    zip_t *z = zip_open(file_.toLocal8Bit().constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(z, nullptr);
    auto add = [&](const char *name, const std::string &data) {
        zip_source_t *src = zip_source_buffer(z, data.data(), data.size(), 0);
        const zip_int64_t i = zip_file_add(z, name, src, ZIP_FL_OVERWRITE);
        zip_set_file_compression(z, static_cast<zip_uint64_t>(i), ZIP_CM_DEFLATE, 9);
    };
    const std::string types =
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\"/>";
    const std::string rels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
        "officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>";
    const std::string book =
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
        "<sheets><sheet name=\"S\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>";
    const std::string bookRels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
        "Target=\"worksheets/sheet1.xml\"/></Relationships>";
    add("[Content_Types].xml", types);
    add("_rels/.rels", rels);
    add("xl/workbook.xml", book);
    add("xl/_rels/workbook.xml.rels", bookRels);
    add("xl/worksheets/sheet1.xml", sheet);
    ASSERT_EQ(zip_close(z), 0);
    sheet.clear();
    sheet.shrink_to_fit();
    const booktest::Book before = [&] {
        booktest::Book b;
        std::ifstream in(file_.toStdString(), std::ios::binary);
        b.parts["all"] = std::string(std::istreambuf_iterator<char>(in), {});
        return b;
    }();
    EXPECT_LT(before.parts.at("all").size(), 2u << 20);
    Run(1);
    EXPECT_EQ(caption_, QStringLiteral(" Ошибка в Excel"));
    std::ifstream in(file_.toStdString(), std::ios::binary);
    EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == before.parts.at("all"));
}

TEST(Memory, WhatIsHeldIsWhatChangedSinceTheLastSaveNotTheWorkbook)
{
    QTemporaryDir dir;
    const std::string path = dir.filePath(QStringLiteral("held.xlsx")).toStdString();
    auto doc = workbook::Document::New();
    std::string error;
    ASSERT_TRUE(doc->SaveAs(path, &error)) << error;
    const std::uint32_t sheet = doc->Sheets()[0].sheetId;
    int row = 5;
    auto passes = [&](int n) {
        for (int i = 0; i < n; ++i, ++row) {
            doc->SetNumber(sheet, 2, 2, row);
            doc->SetText(sheet, row, 1, "14:05:07");
            for (int c = 2; c <= 30; ++c)
                doc->SetNumber(sheet, row, c, row + c);
        }
    };
    std::vector<std::size_t> held;
    for (int save = 0; save < 4; ++save) {
        passes(300);
        ASSERT_TRUE(doc->Save(&error)) << error;
        doc->WaitForSaves();
        ASSERT_EQ(doc->Failure(), "");
        held.push_back(doc->HeldBytes());
    }
    // The file grows by 300 rows a save; what is held stays that of one save's rows.
    EXPECT_GT(held[0], 0u);
    EXPECT_LT(held[3], held[0] * 3 / 2);
    ASSERT_TRUE(doc->Close(&error)) << error;
    EXPECT_EQ(booktest::Read(path).Text(0, 2, 2), std::to_string(row - 1));
}

// A workbook as a recent spreadsheet application writes one: shared strings, a legacy comment
// standing for a threaded comment, the threaded comment and its person. The pass overwrites the
// row with the threaded comment (the counter said so): that comment goes in all three places,
// the one of a cell the pass does not write stays; the person list is left alone.
TEST_F(ContinueTest, ThreadedCommentsOfOverwrittenCellsGoWithTheirLegacyComments)
{
    const QString path = dir_.filePath(QStringLiteral("threaded.xlsx"));
    file_ = path;
    const std::string main = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
    const std::string rel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
    const std::string tc =
        "http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments";
    const std::map<std::string, std::string> parts = {
        {"[Content_Types].xml",
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
         "ContentType=\"application/"
         "vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml\"/>"
         "<Override PartName=\"/xl/sharedStrings.xml\" "
         "ContentType=\"application/"
         "vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml\"/>"
         "<Override PartName=\"/xl/comments1.xml\" "
         "ContentType=\"application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml\"/"
         ">"
         "<Override PartName=\"/xl/threadedComments/threadedComment1.xml\" "
         "ContentType=\"application/vnd.ms-excel.threadedcomments+xml\"/>"
         "<Override PartName=\"/xl/persons/person.xml\" "
         "ContentType=\"application/vnd.ms-excel.person+xml\"/></Types>"},
        {"_rels/.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" +
             rel + "/officeDocument\" Target=\"xl/workbook.xml\"/></Relationships>"},
        {"xl/workbook.xml",
         "<workbook xmlns=\"" + main + "\" xmlns:r=\"" + rel +
             "\"><sheets>"
             "<sheet name=\"Sheet1\" sheetId=\"1\" r:id=\"rId1\"/></sheets></workbook>"},
        {"xl/_rels/workbook.xml.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" +
             rel +
             "/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
             "<Relationship Id=\"rId2\" Type=\"" +
             rel +
             "/sharedStrings\" Target=\"sharedStrings.xml\"/>"
             "<Relationship Id=\"rId3\" "
             "Type=\"http://schemas.microsoft.com/office/2017/10/relationships/person\" "
             "Target=\"persons/person.xml\"/></Relationships>"},
        {"xl/sharedStrings.xml", "<sst xmlns=\"" + main +
                                     "\" count=\"2\" uniqueCount=\"2\"><si><t>Точка "
                                     "1</t></si><si><t>Точка 2</t></si></sst>"},
        {"xl/worksheets/sheet1.xml",
         "<worksheet xmlns=\"" + main + "\" xmlns:r=\"" + rel +
             "\"><sheetData>"
             "<row r=\"2\"><c r=\"B2\"><v>5</v></c></row>"
             "<row r=\"4\"><c r=\"B4\" t=\"s\"><v>0</v></c><c r=\"C4\" t=\"s\"><v>1</v></c></row>"
             "<row r=\"6\"><c r=\"B6\"><v>1</v></c><c r=\"C6\"><v>2</v></c></row>"
             "</sheetData><legacyDrawing r:id=\"rId2\"/></worksheet>"},
        {"xl/worksheets/_rels/sheet1.xml.rels",
         "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
         "<Relationship Id=\"rId1\" Type=\"" +
             rel +
             "/comments\" Target=\"../comments1.xml\"/>"
             "<Relationship Id=\"rId2\" Type=\"" +
             rel +
             "/vmlDrawing\" Target=\"../drawings/vmlDrawing1.vml\"/>"
             "<Relationship Id=\"rId3\" "
             "Type=\"http://schemas.microsoft.com/office/2017/10/relationships/threadedComment\" "
             "Target=\"../threadedComments/threadedComment1.xml\"/></Relationships>"},
        {"xl/comments1.xml", "<comments xmlns=\"" + main +
                                 "\"><authors><author>tc={A1}</author></authors><commentList>"
                                 "<comment ref=\"C6\" authorId=\"0\"><text><t>[Threaded comment] "
                                 "check the probe</t></text></comment>"
                                 "<comment ref=\"D6\" authorId=\"0\"><text><t>[Threaded comment] "
                                 "keep</t></text></comment></commentList></comments>"},
        {"xl/threadedComments/threadedComment1.xml",
         "<ThreadedComments xmlns=\"" + tc +
             "\">"
             "<threadedComment ref=\"C6\" dT=\"2026-12-01T10:00:00.00\" personId=\"{P1}\" "
             "id=\"{A1}\"><text>check the probe</text></threadedComment>"
             "<threadedComment ref=\"C6\" dT=\"2026-12-01T10:05:00.00\" personId=\"{P1}\" "
             "id=\"{A2}\" parentId=\"{A1}\"><text>done</text></threadedComment>"
             "<threadedComment ref=\"D6\" dT=\"2026-12-01T10:06:00.00\" personId=\"{P1}\" "
             "id=\"{A3}\"><text>keep</text></threadedComment>"
             "</ThreadedComments>"},
        {"xl/persons/person.xml", "<personList xmlns=\"" + tc +
                                      "\"><person displayName=\"Ivan\" id=\"{P1}\"/></personList>"},
        {"xl/drawings/vmlDrawing1.vml",
         "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" "
         "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
         "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><o:shapelayout "
         "v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"1\"/></o:shapelayout>"
         "<v:shape id=\"_x0000_s1025\" type=\"#_x0000_t202\"><x:ClientData "
         "ObjectType=\"Note\"><x:Row>5</x:Row><x:Column>2</x:Column></x:ClientData></v:shape>"
         "<v:shape id=\"_x0000_s1026\" type=\"#_x0000_t202\"><x:ClientData "
         "ObjectType=\"Note\"><x:Row>5</x:Row><x:Column>3</x:Column></x:ClientData></v:shape></"
         "xml>"},
    };
    int code = 0;
    zip_t *z = zip_open(path.toLocal8Bit().constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(z, nullptr);
    for (const auto &[name, data] : parts)
        zip_file_add(z, name.c_str(), zip_source_buffer(z, data.data(), data.size(), 0),
                     ZIP_FL_OVERWRITE);
    ASSERT_EQ(zip_close(z), 0);
    const booktest::Book before = booktest::Read(path.toStdString());
    ASSERT_TRUE(before.ok) << before.error;

    Run(1); // B2 said 5: the pass writes row 6
    EXPECT_EQ(caption_, QStringLiteral("  PTK71"));
    const booktest::Book after = booktest::Read(path.toStdString());
    ASSERT_TRUE(after.ok) << after.error;
    EXPECT_EQ(after.Text(0, 4, 2), "Точка 1"); // shared strings still read
    EXPECT_EQ(after.Text(0, 6, 2), "12.5");
    EXPECT_EQ(after.sheets[0].notes.at({6, 3}), "Нет ответа");
    const std::string &threaded = after.parts.at("xl/threadedComments/threadedComment1.xml");
    EXPECT_EQ(threaded.find("ref=\"C6\""), std::string::npos);
    EXPECT_NE(threaded.find("ref=\"D6\""), std::string::npos);
    EXPECT_EQ(after.sheets[0].notes.at({6, 4}), "[Threaded comment] keep"); // not a written cell
    EXPECT_EQ(after.parts.at("xl/persons/person.xml"), before.parts.at("xl/persons/person.xml"));
    EXPECT_EQ(after.parts.at("xl/sharedStrings.xml"), before.parts.at("xl/sharedStrings.xml"));
}

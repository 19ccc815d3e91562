// Saving and reading .xlsx files: round trips through our reader and through openpyxl, files
// written by other programs, damaged files, and saves that must not lose the previous file.
#include "workbook.h"
#include "xlsxread.h"
#include "xlsxwrite.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <map>
#include <string>

using namespace workbook;

namespace
{

QByteArray FileBytes(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteBytes(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

// Builds a zip archive from part name -> contents (used to fake files of other producers).
void MakeZip(const QString &path, const std::map<std::string, std::string> &parts)
{
    int code = 0;
    zip_t *z = zip_open(QFile::encodeName(path).constData(), ZIP_CREATE | ZIP_TRUNCATE, &code);
    ASSERT_NE(z, nullptr);
    for (const auto &[name, data] : parts) {
        zip_source_t *src = zip_source_buffer(z, data.data(), data.size(), 0);
        ASSERT_GE(zip_file_add(z, name.c_str(), src, ZIP_FL_OVERWRITE), 0);
    }
    ASSERT_EQ(zip_close(z), 0);
}

// A workbook like the archive writes: header, counter, a time text, numbers, and an empty
// cell with a hidden comment; a second sheet inserted in front and made active.
std::unique_ptr<Workbook> SampleBook()
{
    auto book = std::make_unique<Workbook>();
    Worksheet *first = book->AppendSheet();
    first->SetNumber(2, 2, 6);
    first->SetText(4, 2, QStringLiteral("Точка 1"));
    first->SetText(4, 3, QStringLiteral("Точка 2"));
    first->SetText(5, 1, QStringLiteral("14:05:07"));
    first->SetNumber(5, 2, 12.5);
    first->SetComment(5, 3, QStringLiteral("    12,5"));
    first->SetText(6, 1, QStringLiteral("14:05:08"));
    first->SetNumber(6, 2, -1.25e-7);
    first->SetBoolean(6, 4, true);
    first->SetComment(6, 3, QStringLiteral("Нет ответа <&> \x01 _x0041_"));
    Worksheet *second = book->InsertSheet(0, QStringLiteral("Вторая"));
    second->SetNumber(5, 2, 0.1);
    book->SetActive(0);
    return book;
}

void ExpectSampleContents(Workbook &book)
{
    ASSERT_EQ(book.SheetCount(), 2);
    EXPECT_EQ(book.Sheet(0)->Name(), QStringLiteral("Вторая"));
    EXPECT_EQ(book.Sheet(1)->Name(), QStringLiteral("Sheet1"));
    EXPECT_EQ(book.ActiveIndex(), 0);
    const Worksheet *s = book.Sheet(1);
    ASSERT_NE(s->CellAt(2, 2), nullptr);
    EXPECT_EQ(s->CellAt(2, 2)->kind, CellKind::Number);
    EXPECT_EQ(s->CellAt(2, 2)->number, 6);
    EXPECT_EQ(s->CellAt(4, 2)->text, QStringLiteral("Точка 1"));
    EXPECT_EQ(s->CellAt(5, 1)->kind, CellKind::Text);
    EXPECT_EQ(s->CellAt(5, 1)->text, QStringLiteral("14:05:07"));
    EXPECT_EQ(s->CellAt(5, 2)->number, 12.5);
    EXPECT_EQ(s->CellAt(6, 2)->number, -1.25e-7);
    EXPECT_EQ(s->CellAt(6, 4)->kind, CellKind::Boolean);
    EXPECT_EQ(s->CellAt(6, 4)->ValueText(), QStringLiteral("TRUE"));
    const Cell *note = s->CellAt(5, 3);
    ASSERT_NE(note, nullptr);
    EXPECT_EQ(note->kind, CellKind::Empty);
    EXPECT_TRUE(note->hasComment);
    EXPECT_FALSE(note->commentVisible);
    EXPECT_EQ(note->comment, QStringLiteral("    12,5"));
    EXPECT_EQ(s->CellAt(6, 3)->comment, QStringLiteral("Нет ответа <&> \x01 _x0041_"));
    EXPECT_EQ(book.Sheet(0)->CellAt(5, 2)->number, 0.1);
    EXPECT_EQ(s->CellAt(1, 1), nullptr);
}

class XlsxTest : public ::testing::Test
{
  protected:
    QString PathOf(const QString &name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

TEST_F(XlsxTest, RoundTripKeepsValuesKindsCommentsOrderAndActiveSheet)
{
    auto book = SampleBook();
    book->Sheet(0)->SetComment(1, 1, QStringLiteral("shown"), true);
    QString error;
    ASSERT_TRUE(SaveXlsx(*book, PathOf("a.xlsx"), &error)) << error.toStdString();
    auto back = ReadXlsx(PathOf("a.xlsx"), &error);
    ASSERT_NE(back, nullptr) << error.toStdString();
    ExpectSampleContents(*back);
    EXPECT_TRUE(back->Sheet(0)->CellAt(1, 1)->commentVisible);
    EXPECT_FALSE(back->IsModified());
    EXPECT_EQ(back->FilePath(), QFileInfo(PathOf("a.xlsx")).absoluteFilePath());
    // No temporary file is left beside the target.
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(XlsxTest, OpenpyxlReadsValuesSheetOrderAndHiddenComments)
{
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"), {"-c", "import openpyxl"});
    if (!probe.waitForFinished(20000) || probe.exitStatus() != QProcess::NormalExit ||
        probe.exitCode() != 0)
        GTEST_SKIP() << "/usr/bin/python3 cannot import openpyxl";

    auto book = SampleBook();
    ASSERT_TRUE(SaveXlsx(*book, PathOf("o.xlsx")));
    const char *script = R"PY(
import json, sys, zipfile, re, openpyxl
path = sys.argv[1]
wb = openpyxl.load_workbook(path)
out = {"sheets": wb.sheetnames, "active": wb.active.title, "cells": {}, "comments": {}}
for ws in wb:
    for row in ws.iter_rows():
        for c in row:
            if c.value is not None:
                out["cells"][ws.title + "!" + c.coordinate] = [type(c.value).__name__, c.value]
            if c.comment is not None:
                out["comments"][ws.title + "!" + c.coordinate] = c.comment.text
z = zipfile.ZipFile(path)
vml = [z.read(n).decode() for n in z.namelist() if n.endswith(".vml")]
out["hidden"] = sum(len(re.findall("visibility:hidden", v)) for v in vml)
out["visible"] = sum(len(re.findall("x:Visible", v)) for v in vml)
print(json.dumps(out))
)PY";
    QProcess py;
    py.start(QStringLiteral("/usr/bin/python3"), {"-c", script, PathOf("o.xlsx")});
    ASSERT_TRUE(py.waitForFinished(60000));
    ASSERT_EQ(py.exitCode(), 0) << py.readAllStandardError().toStdString();
    const QJsonObject out = QJsonDocument::fromJson(py.readAllStandardOutput()).object();
    EXPECT_EQ(out["sheets"].toArray(), QJsonArray({"Вторая", "Sheet1"}));
    EXPECT_EQ(out["active"].toString(), QStringLiteral("Вторая"));
    const QJsonObject cells = out["cells"].toObject();
    EXPECT_EQ(cells["Sheet1!B2"].toArray(), QJsonArray({"int", 6}));
    EXPECT_EQ(cells["Sheet1!B4"].toArray(), QJsonArray({"str", "Точка 1"}));
    EXPECT_EQ(cells["Sheet1!A5"].toArray(), QJsonArray({"str", "14:05:07"}));
    EXPECT_EQ(cells["Sheet1!B5"].toArray(), QJsonArray({"float", 12.5}));
    EXPECT_EQ(cells["Sheet1!B6"].toArray(), QJsonArray({"float", -1.25e-7}));
    EXPECT_EQ(cells["Sheet1!D6"].toArray(), QJsonArray({"bool", true}));
    EXPECT_EQ(cells["Вторая!B5"].toArray(), QJsonArray({"float", 0.1}));
    EXPECT_FALSE(cells.contains("Sheet1!C5")); // the commented cell has no value
    const QJsonObject comments = out["comments"].toObject();
    EXPECT_EQ(comments.size(), 2);
    EXPECT_EQ(comments["Sheet1!C5"].toString(), QStringLiteral("    12,5"));
    EXPECT_EQ(out["hidden"].toInt(), 2);
    EXPECT_EQ(out["visible"].toInt(), 0);
}

TEST_F(XlsxTest, ReadsFilesOfOtherProducers)
{
    // Shared strings with rich runs and a phonetic guide, booleans, formula results, error
    // codes, cells and rows without references, a prefixed main namespace, absolute targets,
    // comments in a sub-folder with one shown note, and the second tab active.
    const std::string rels =
        R"(<?xml version="1.0"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
        R"(<Relationship Id="r1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="/xl/workbook.xml"/></Relationships>)";
    const std::string workbook =
        R"(<x:workbook xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships">)"
        R"(<x:bookViews><x:workbookView activeTab="1"/></x:bookViews><x:sheets>)"
        R"(<x:sheet name="Data" sheetId="5" r:id="rIdB"/><x:sheet name="Empty" sheetId="2" r:id="rIdA"/></x:sheets></x:workbook>)";
    const std::string bookRels =
        R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
        R"(<Relationship Id="rIdA" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet1.xml"/>)"
        R"(<Relationship Id="rIdB" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="/xl/worksheets/sheet2.xml"/>)"
        R"(<Relationship Id="rIdS" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings" Target="sharedStrings.xml"/></Relationships>)";
    const std::string sst =
        R"(<sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><t xml:space="preserve"> Time</t></si>)"
        R"(<si><r><rPr><b/></rPr><t>Ab</t></r><r><t>c_x000D_</t></r><rPh><t>IGNORED</t></rPh></si></sst>)";
    const std::string sheet2 =
        R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><dimension ref="A1:B2"/><sheetData>)"
        R"(<row r="2" spans="1:3"><c r="B2" t="n" s="0"><v>120</v></c></row>)"
        R"(<row r="5"><c r="A5" t="s"><v>0</v></c><c t="s"><v>1</v></c><c t="b"><v>1</v></c></row>)"
        R"(<row><c r="A6" t="str"><f>A5</f><v>x</v></c><c r="B6" t="e"><v>#N/A</v></c><c r="C6"><f>1/0</f></c>)"
        R"(<c r="D6"><v>4.1666666666666657E-2</v></c><c r="E6" t="inlineStr"><is><t>inl</t></is></c></row>)"
        R"(</sheetData><legacyDrawing r:id="c2" xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"/></worksheet>)";
    const std::string sheet2Rels =
        R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">)"
        R"(<Relationship Id="c1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments" Target="/xl/comments/comment1.xml"/>)"
        R"(<Relationship Id="c2" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/vmlDrawing" Target="../drawings/d.vml"/></Relationships>)";
    const std::string comments =
        R"(<comments xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><authors><author> </author></authors><commentList>)"
        R"(<comment ref="C5" authorId="0"><text><r><rPr><sz val="9"/></rPr><t>hidden one</t></r></text></comment>)"
        R"(<comment ref="D5" authorId="0"><text><t>shown one</t></text></comment></commentList></comments>)";
    const std::string vml =
        R"(<xml xmlns:v="urn:schemas-microsoft-com:vml" xmlns:x="urn:schemas-microsoft-com:office:excel">)"
        R"(<v:shape id="a" style="visibility:hidden"><x:ClientData ObjectType="Note"><x:Row>4</x:Row><x:Column>2</x:Column></x:ClientData></v:shape>)"
        R"(<v:shape id="b" style="visibility:visible"><x:ClientData ObjectType="Note"><x:Visible/><x:Row>4</x:Row><x:Column>3</x:Column></x:ClientData></v:shape></xml>)";
    MakeZip(
        PathOf("foreign.xlsx"),
        {{"_rels/.rels", rels},
         {"xl/workbook.xml", workbook},
         {"xl/_rels/workbook.xml.rels", bookRels},
         {"xl/sharedStrings.xml", sst},
         {"xl/worksheets/sheet1.xml",
          R"(<worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData/></worksheet>)"},
         {"xl/worksheets/sheet2.xml", sheet2},
         {"xl/worksheets/_rels/sheet2.xml.rels", sheet2Rels},
         {"xl/comments/comment1.xml", comments},
         {"xl/drawings/d.vml", vml}});
    QString error;
    auto book = ReadXlsx(PathOf("foreign.xlsx"), &error);
    ASSERT_NE(book, nullptr) << error.toStdString();
    ASSERT_EQ(book->SheetCount(), 2);
    EXPECT_EQ(book->Sheet(0)->Name(), QStringLiteral("Data"));
    EXPECT_EQ(book->Sheet(1)->Name(), QStringLiteral("Empty"));
    EXPECT_EQ(book->ActiveIndex(), 1);
    const Worksheet *s = book->Sheet(0);
    EXPECT_EQ(s->CellAt(2, 2)->number, 120);
    EXPECT_EQ(s->CellAt(5, 1)->text, QStringLiteral(" Time"));
    EXPECT_EQ(s->CellAt(5, 2)->text, QStringLiteral("Abc\r"));
    EXPECT_EQ(s->CellAt(5, 3)->kind, CellKind::Boolean);
    EXPECT_EQ(s->CellAt(6, 1)->text, QStringLiteral("x"));
    EXPECT_EQ(s->CellAt(6, 2)->text, QStringLiteral("#N/A"));
    EXPECT_EQ(s->CellAt(6, 3), nullptr);
    EXPECT_DOUBLE_EQ(s->CellAt(6, 4)->number, 4.1666666666666657E-2);
    EXPECT_EQ(s->CellAt(6, 5)->text, QStringLiteral("inl"));
    EXPECT_EQ(s->CellAt(5, 3)->comment, QStringLiteral("hidden one"));
    EXPECT_FALSE(s->CellAt(5, 3)->commentVisible);
    EXPECT_EQ(s->CellAt(5, 4)->comment, QStringLiteral("shown one"));
    EXPECT_TRUE(s->CellAt(5, 4)->commentVisible);
    EXPECT_EQ(book->Sheet(1)->MaxRow(), 0);
}

TEST_F(XlsxTest, UnreadableFilesGiveAnErrorAndStayUntouched)
{
    auto book = SampleBook();
    ASSERT_TRUE(SaveXlsx(*book, PathOf("good.xlsx")));
    const QByteArray good = FileBytes(PathOf("good.xlsx"));

    std::map<QString, QByteArray> files;
    files["text.xlsx"] = "this is not a workbook";
    files["empty.xlsx"] = QByteArray();
    files["truncated.xlsx"] = good.left(good.size() / 2);
    QByteArray flipped = good;
    for (qsizetype i = 200; i < 1200 && i < flipped.size(); ++i)
        flipped[i] = static_cast<char>(flipped[i] ^ 0x5A);
    files["flipped.xlsx"] = flipped;
    for (const auto &[name, bytes] : files)
        WriteBytes(PathOf(name), bytes);
    MakeZip(PathOf("noworkbook.xlsx"), {{"hello.txt", "hi"}});
    MakeZip(
        PathOf("badxml.xlsx"),
        {{"_rels/.rels",
          R"(<Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships"><Relationship Id="r" Type="x/officeDocument" Target="xl/workbook.xml"/></Relationships>)"},
         {"xl/workbook.xml", "<workbook><sheets><sheet name='a' r:id='q'></sheets>"}});
    files["noworkbook.xlsx"] = FileBytes(PathOf("noworkbook.xlsx"));
    files["badxml.xlsx"] = FileBytes(PathOf("badxml.xlsx"));
    files["missing.xlsx"] = QByteArray();
    QFile::remove(PathOf("missing.xlsx"));

    for (const auto &[name, bytes] : files) {
        QString error;
        EXPECT_EQ(ReadXlsx(PathOf(name), &error), nullptr) << name.toStdString();
        EXPECT_FALSE(error.isEmpty()) << name.toStdString();
        if (name != "missing.xlsx") {
            EXPECT_EQ(FileBytes(PathOf(name)), bytes) << name.toStdString();
        }
    }
    EXPECT_FALSE(QFile::exists(PathOf("missing.xlsx")));
    QString error;
    EXPECT_EQ(ReadXlsx(dir_.path(), &error), nullptr);
}

TEST_F(XlsxTest, SizeLimitsAreEnforced)
{
    auto book = SampleBook();
    ASSERT_TRUE(SaveXlsx(*book, PathOf("s.xlsx")));
    QString error;
    XlsxReadLimits small;
    small.maxEntrySize = 3000; // the theme part is larger, but it is never read
    EXPECT_NE(ReadXlsx(PathOf("s.xlsx"), &error, small), nullptr) << error.toStdString();
    small.maxEntrySize = 300;
    EXPECT_EQ(ReadXlsx(PathOf("s.xlsx"), &error, small), nullptr);
    EXPECT_TRUE(error.contains("too large")) << error.toStdString();
    XlsxReadLimits fewCells;
    fewCells.maxCells = 5;
    EXPECT_EQ(ReadXlsx(PathOf("s.xlsx"), &error, fewCells), nullptr);
    XlsxReadLimits fewEntries;
    fewEntries.maxEntries = 3;
    EXPECT_EQ(ReadXlsx(PathOf("s.xlsx"), &error, fewEntries), nullptr);
}

TEST_F(XlsxTest, FailedSaveKeepsThePreviousFile)
{
    auto book = SampleBook();
    const QString target = PathOf("keep.xlsx");
    ASSERT_TRUE(SaveXlsx(*book, target));
    const QByteArray before = FileBytes(target);

    // A folder that cannot be written: the save fails and the old file stays as it was.
    // Root ignores permission bits, so it makes the folder immutable instead (when allowed).
    const QByteArray folder = QFile::encodeName(dir_.path());
    bool locked = false;
    if (::geteuid() != 0) {
        locked = ::chmod(folder.constData(), 0555) == 0;
    } else {
        locked = QProcess::execute(QStringLiteral("chattr"), {"+i", dir_.path()}) == 0;
    }
    if (locked) {
        book->Sheet(1)->SetNumber(7, 2, 99);
        QString error;
        EXPECT_FALSE(SaveXlsx(*book, target, &error));
        EXPECT_FALSE(error.isEmpty());
        if (::geteuid() != 0)
            ::chmod(folder.constData(), 0755);
        else
            QProcess::execute(QStringLiteral("chattr"), {"-i", dir_.path()});
        EXPECT_EQ(FileBytes(target), before);
    }

    // The temporary file cannot be made (its name would be too long): the same.
    const QString longTarget = PathOf(QString(250, QLatin1Char('n')) + ".xlsx");
    WriteBytes(longTarget, before);
    const QByteArray longBefore = FileBytes(longTarget);
    ASSERT_EQ(longBefore, before);
    book->Sheet(1)->SetNumber(8, 2, 98);
    QString longError;
    EXPECT_FALSE(SaveXlsx(*book, longTarget, &longError));
    EXPECT_FALSE(longError.isEmpty());
    EXPECT_EQ(FileBytes(longTarget), longBefore);
    QFile::remove(longTarget);

    // A workbook without sheets, a folder or a missing folder as target: failures, and
    // neither the old file nor a temporary file is left changed behind.
    QString error;
    EXPECT_FALSE(SaveXlsx(Workbook(), target, &error));
    EXPECT_EQ(FileBytes(target), before);
    EXPECT_FALSE(SaveXlsx(*book, dir_.path(), &error));
    EXPECT_FALSE(SaveXlsx(*book, PathOf("no/such/dir/x.xlsx"), &error));
    EXPECT_EQ(QDir(dir_.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
}

TEST_F(XlsxTest, SaveReplacesAndKeepsPermissionsAndSymlinks)
{
    auto book = SampleBook();
    const QString real = PathOf("real.xlsx");
    ASSERT_TRUE(SaveXlsx(*book, real));
    ASSERT_EQ(::chmod(QFile::encodeName(real).constData(), 0640), 0);
    ASSERT_TRUE(QFile::link(real, PathOf("link.xlsx")));
    book->Sheet(1)->SetNumber(9, 9, 42);
    ASSERT_TRUE(SaveXlsx(*book, PathOf("link.xlsx")));
    EXPECT_TRUE(QFileInfo(PathOf("link.xlsx")).isSymLink());
    struct stat st {
    };
    ASSERT_EQ(::stat(QFile::encodeName(real).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    auto back = ReadXlsx(real);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(back->Sheet(1)->CellAt(9, 9)->number, 42);
}

} // namespace

// The streaming editors and the small-part edits that continue a workbook: what they change,
// what they leave byte for byte, and that the result does not depend on where the stream is cut.
#include "sheetpatch.h"
#include "xmlscan.h"

#include <QXmlStreamReader>

#include <gtest/gtest.h>

#include <random>

using namespace workbook;

namespace
{

// Runs an editor the way the splicer does: the old bytes arrive in pieces of `chunk` bytes,
// and what the editor leaves undecided is offered again with the next piece.
class Runner : public SpliceOps
{
  public:
    explicit Runner(std::string_view old) : old_(old) {}
    void Copy(std::uint64_t n) override
    {
        EXPECT_LE(decided_ + n, offeredEnd_);
        out_.append(old_.substr(decided_, n));
        decided_ += n;
    }
    void Skip(std::uint64_t n) override
    {
        EXPECT_LE(decided_ + n, offeredEnd_);
        decided_ += n;
    }
    void Insert(std::string_view bytes) override { out_.append(bytes); }

    std::string Run(SpliceEditor &editor, std::size_t chunk)
    {
        std::size_t available = 0;
        for (;;) {
            available = std::min(old_.size(), available + chunk);
            const bool last = available == old_.size();
            offeredEnd_ = available;
            const std::string_view view = old_.substr(decided_, available - decided_);
            if (!editor.Consume(view, last, *this)) {
                ADD_FAILURE() << "editor failed: " << editor.Message();
                return {};
            }
            if (last) {
                EXPECT_EQ(decided_, old_.size());
                return out_;
            }
        }
    }

  private:
    std::string_view old_;
    std::string out_;
    std::size_t decided_ = 0;
    std::size_t offeredEnd_ = 0;
};

// The same edit must come out whatever the pieces are.
template <class MakeEditor> std::string Edit(std::string_view old, MakeEditor make)
{
    auto first = make();
    const std::string whole = Runner(old).Run(*first, old.size() + 1);
    for (std::size_t chunk : {1u, 2u, 3u, 7u, 64u}) {
        auto editor = make();
        EXPECT_EQ(Runner(old).Run(*editor, chunk), whole) << "in pieces of " << chunk;
    }
    return whole;
}

bool WellFormed(const std::string &xml)
{
    QXmlStreamReader reader(QByteArray::fromStdString(xml));
    while (!reader.atEnd())
        reader.readNext();
    return !reader.hasError();
}

constexpr char kHead[] = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

// A sheet as the archive leaves it: counter, header, two data rows.
std::string ArchiveSheet(std::string_view extraAfterData = "")
{
    return std::string(kHead) +
           "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<dimension ref=\"A2:C6\"/><sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>"
           "<sheetData>"
           "<row r=\"2\" spans=\"2:2\"><c r=\"B2\"><v>6</v></c></row>"
           "<row r=\"4\"><c r=\"B4\" t=\"inlineStr\"><is><t>Точка 1</t></is></c>"
           "<c r=\"C4\" t=\"inlineStr\"><is><t>Точка 2</t></is></c></row>"
           "<row r=\"5\"><c r=\"A5\" t=\"inlineStr\"><is><t>10:00:00</t></is></c><c "
           "r=\"B5\"><v>1.5</v></c></row>"
           "<row r=\"6\"><c r=\"A6\" t=\"inlineStr\"><is><t>10:00:01</t></is></c><c r=\"B6\" "
           "s=\"3\"><v>1.75</v></c></row>"
           "</sheetData>" +
           std::string(extraAfterData) +
           "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
           "footer=\"0.3\"/></worksheet>";
}

// What a pass writes: the counter, then row `row` with a time and two readings, the second one
// an error text kept as a comment.
void Pass(ChangeSet &changes, int row)
{
    changes.SetNumber(1, 2, 2, row);
    changes.SetText(1, row, 1, "10:00:02");
    changes.SetNumber(1, row, 2, 2.25);
    changes.RemoveNote(1, row, 2);
    changes.ClearValue(1, row, 3);
    changes.RemoveNote(1, row, 3);
    changes.SetNote(1, row, 3, "Нет ответа", false);
}

} // namespace

TEST(SheetEditor, AppendsRowsReplacesTheCounterAndWidensTheDimension)
{
    ChangeSet changes;
    Pass(changes, 7);
    const std::string old = ArchiveSheet();
    const std::string out = Edit(old, [&] {
        return std::make_unique<SheetEditor>(*changes.FindSheet(1), changes.strings, "");
    });
    EXPECT_TRUE(WellFormed(out));
    EXPECT_NE(out.find("<dimension ref=\"A2:C7\"/>"), std::string::npos);
    // The counter's row is rewritten (its spans hint dropped), the header and data rows stay.
    EXPECT_NE(out.find("<row r=\"2\"><c r=\"B2\"><v>7</v></c></row>"), std::string::npos);
    EXPECT_NE(out.find("<row r=\"6\"><c r=\"A6\" t=\"inlineStr\"><is><t>10:00:01</t></is></c><c "
                       "r=\"B6\" s=\"3\"><v>1.75</v></c></row>"),
              std::string::npos);
    EXPECT_NE(out.find("<row r=\"7\"><c r=\"A7\" t=\"inlineStr\"><is><t>10:00:02</t></is></c>"
                       "<c r=\"B7\"><v>2.25</v></c></row></sheetData>"),
              std::string::npos);
    // Everything after the rows is as it was.
    EXPECT_EQ(out.substr(out.find("</sheetData>")), old.substr(old.find("</sheetData>")));
}

TEST(SheetEditor, AWrittenCellKeepsItsFormatAndItsNeighbours)
{
    const std::string old =
        std::string(kHead) +
        "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        "<x:sheetData><x:row r=\"7\" ht=\"20\" customHeight=\"1\">"
        "<x:c r=\"B7\" s=\"4\" t=\"s\"><x:v>0</x:v></x:c>"
        "<x:c s=\"5\"><x:f>B7*2</x:f><x:v>3</x:v></x:c>"
        "<x:c r=\"E7\" s=\"6\"/></x:row></x:sheetData></x:worksheet>";
    ChangeSet changes;
    changes.SetText(1, 7, 1, "  12:00 <&>");
    changes.SetNumber(1, 7, 2, -1.5e-7);
    changes.SetBoolean(1, 7, 4, true);
    changes.ClearValue(1, 7, 5);
    const std::string out = Edit(old, [&] {
        return std::make_unique<SheetEditor>(*changes.FindSheet(1), changes.strings, "");
    });
    EXPECT_TRUE(WellFormed(out));
    EXPECT_NE(out.find("<x:row r=\"7\" ht=\"20\" customHeight=\"1\">"
                       "<x:c r=\"A7\" t=\"inlineStr\"><x:is><x:t xml:space=\"preserve\">  12:00 "
                       "&lt;&amp;&gt;</x:t></x:is></x:c>"
                       "<x:c r=\"B7\" s=\"4\"><x:v>-1.5e-07</x:v></x:c>"
                       "<x:c s=\"5\" r=\"C7\"><x:f>B7*2</x:f><x:v>3</x:v></x:c>"
                       "<x:c r=\"D7\" t=\"b\"><x:v>1</x:v></x:c>"
                       "<x:c r=\"E7\" s=\"6\"/></x:row>"),
              std::string::npos)
        << out;
}

TEST(SheetEditor, FillsAnEmptySheetAndGivesItsFirstDrawingItsPlace)
{
    ChangeSet changes;
    Pass(changes, 5);
    for (const std::string &after :
         {std::string("<tableParts count=\"0\"/><extLst/>"), std::string()}) {
        const std::string old =
            std::string(kHead) +
            "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
            "<dimension ref=\"A1\"/><sheetData/><pageMargins left=\"1\"/>" +
            after + "</worksheet>";
        const std::string out = Edit(old, [&] {
            return std::make_unique<SheetEditor>(*changes.FindSheet(1), changes.strings, "rId9");
        });
        EXPECT_TRUE(WellFormed(out)) << out;
        EXPECT_NE(out.find("<sheetData><row r=\"2\">"), std::string::npos);
        const std::string drawing = "<legacyDrawing "
                                    "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/"
                                    "2006/relationships\" r:id=\"rId9\"/>";
        // After pageMargins, before tableParts and extLst (or the end).
        EXPECT_NE(out.find("<pageMargins left=\"1\"/>" + drawing + after + "</worksheet>"),
                  std::string::npos)
            << out;
    }
}

TEST(SheetEditor, RefusesWhatIsNotAWorksheet)
{
    ChangeSet changes;
    Pass(changes, 5);
    class Sink : public SpliceOps
    {
        void Copy(std::uint64_t) override {}
        void Skip(std::uint64_t) override {}
        void Insert(std::string_view) override {}
    } sink;
    for (const std::string &old :
         {std::string("<worksheet><sheetData><row r=\"x\"/></sheetData></worksheet>"),
          std::string("<worksheet><sheetData><row r=\"1\">"),
          std::string(
              "<worksheet><sheetData><row r=\"5\"><c r=\"A5\"></row></sheetData></worksheet>")}) {
        SheetEditor editor(*changes.FindSheet(1), changes.strings, "");
        EXPECT_FALSE(editor.Consume(old, true, sink)) << old;
        EXPECT_FALSE(editor.Message().empty());
    }
}

TEST(SheetSelection, OnlyTheSelectionOfASheetChanges)
{
    // Deselected: the flag goes, in every view, and nothing else changes; a sheet that is not
    // selected comes out as it was.
    const std::string lo =
        std::string(kHead) +
        "<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        "<x:sheetPr><x:tabColor rgb=\"FF00FF00\"/></x:sheetPr><x:dimension ref=\"A1\"/>"
        "<x:sheetViews><x:sheetView showGridLines=\"true\" tabSelected=\"true\" "
        "workbookViewId=\"0\"><x:selection sqref=\"A1\"/></x:sheetView>"
        "<x:sheetView tabSelected=\"1\" workbookViewId=\"1\"/></x:sheetViews>"
        "<x:sheetData><x:row r=\"1\"><x:c r=\"A1\"><x:v>1</x:v></x:c></x:row></x:sheetData>"
        "</x:worksheet>";
    auto deselect = [] { return std::make_unique<SheetViewEditor>(SheetSelection::Deselect); };
    std::string expected = lo;
    expected.erase(expected.find(" tabSelected=\"true\""), 19);
    expected.erase(expected.find(" tabSelected=\"1\""), 16);
    EXPECT_EQ(Edit(lo, deselect), expected);
    EXPECT_EQ(Edit(expected, deselect), expected);
    EXPECT_EQ(SheetSelected(lo), true);
    EXPECT_EQ(SheetSelected(expected), false);
    EXPECT_EQ(SheetSelected(lo.substr(0, lo.find("<x:sheetViews") + 20)), std::nullopt);

    // Selected: the first view gets the flag; a sheet without views gets one in its place,
    // after its properties and dimension, with the part's prefix.
    auto select = [] { return std::make_unique<SheetViewEditor>(SheetSelection::Select); };
    const std::string reselected = Edit(expected, select);
    EXPECT_EQ(SheetSelected(reselected), true);
    EXPECT_NE(reselected.find("<x:sheetView showGridLines=\"true\" workbookViewId=\"0\" "
                              "tabSelected=\"1\"><x:selection"),
              std::string::npos)
        << reselected;
    EXPECT_NE(reselected.find("<x:sheetView workbookViewId=\"1\"/>"), std::string::npos);
    std::string bare = lo;
    bare.erase(bare.find("<x:sheetViews>"),
               bare.find("<x:sheetData>") - bare.find("<x:sheetViews>"));
    std::string withView = bare;
    withView.insert(withView.find("<x:sheetData>"), "<x:sheetViews><x:sheetView tabSelected=\"1\" "
                                                    "workbookViewId=\"0\"/></x:sheetViews>");
    EXPECT_EQ(Edit(bare, select), withView);
    // A chart sheet has its views before its drawing.
    const std::string chart = "<chartsheet><sheetPr/><drawing r:id=\"rId1\"/></chartsheet>";
    EXPECT_EQ(Edit(chart, select),
              "<chartsheet><sheetPr/><sheetViews><sheetView tabSelected=\"1\" "
              "workbookViewId=\"0\"/></sheetViews><drawing r:id=\"rId1\"/></chartsheet>");

    // Rows and selection in one pass.
    ChangeSet changes;
    Pass(changes, 7);
    std::string sheet = ArchiveSheet();
    sheet.insert(sheet.find(" workbookViewId"), " tabSelected=\"1\"");
    const std::string merged = Edit(sheet, [&] {
        return std::make_unique<SheetEditor>(*changes.FindSheet(1), changes.strings, "",
                                             SheetSelection::Deselect);
    });
    EXPECT_NE(merged.find("<sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>"),
              std::string::npos);
    EXPECT_NE(merged.find("<c r=\"B7\"><v>2.25</v></c>"), std::string::npos) << merged;

    // A new sheet that becomes the active one is selected.
    class Collect : public ByteSink
    {
      public:
        bool Write(const char *data, std::size_t n) override
        {
            text.append(data, n);
            return true;
        }
        std::string text;
    } fresh;
    WriteNewSheet(fresh, nullptr, changes.strings, false, "", true);
    EXPECT_TRUE(WellFormed(fresh.text));
    EXPECT_NE(fresh.text.find("<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/>"
                              "</sheetViews><sheetData>"),
              std::string::npos);
}

TEST(CommentsEditor, ReplacesTheCommentsOfWrittenCellsAndAddsItsAuthorOnce)
{
    const std::string old =
        std::string(kHead) +
        "<comments xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
        "<authors><author> </author></authors><commentList>"
        "<comment ref=\"C6\" authorId=\"0\"><text><r><rPr><sz "
        "val=\"11\"/></rPr><t>old</t></r></text></comment>"
        "<comment ref=\"C7\" authorId=\"0\"><text><t>overwritten</t></text></comment>"
        "</commentList></comments>";
    ChangeSet changes;
    Pass(changes, 7);
    const std::string out = Edit(old, [&] {
        return std::make_unique<CommentsEditor>(*changes.FindSheet(1), changes.strings);
    });
    EXPECT_TRUE(WellFormed(out));
    EXPECT_NE(out.find("<authors><author> </author><author>PTK71</author></authors>"),
              std::string::npos);
    EXPECT_NE(out.find("<comment ref=\"C6\" authorId=\"0\"><text><r><rPr><sz "
                       "val=\"11\"/></rPr><t>old</t></r></text></comment>"),
              std::string::npos);
    EXPECT_EQ(out.find("overwritten"), std::string::npos);
    EXPECT_NE(out.find("<comment ref=\"C7\" authorId=\"1\"><text><t>Нет "
                       "ответа</t></text></comment></commentList>"),
              std::string::npos);

    // Continued again, the author is found and not added twice.
    const std::string again = Edit(out, [&] {
        return std::make_unique<CommentsEditor>(*changes.FindSheet(1), changes.strings);
    });
    EXPECT_EQ(again, out);
}

TEST(VmlEditor, DropsAndAddsNoteShapesWithIdsOfItsOwnBlocks)
{
    ChangeSet changes;
    Pass(changes, 6); // C6 gets a new note; the old shape of C6 goes
    ShapeIds ids;
    ids.newBlocks = {3};
    ids.firstId = 3 * 1024 + 1;
    ids.capacity = 1023;
    // As one writer leaves it: namespaces declared on every element, under other prefixes.
    const std::string foreign =
        "<xml><ns0:shapelayout xmlns:ns0=\"urn:schemas-microsoft-com:office:office\" "
        "xmlns:ns1=\"urn:schemas-microsoft-com:vml\" ns1:ext=\"edit\"><ns0:idmap ns1:ext=\"edit\" "
        "data=\"1\"/>"
        "</ns0:shapelayout><ns0:shape xmlns:ns0=\"urn:schemas-microsoft-com:vml\" "
        "id=\"_x0000_s1026\">"
        "<ns2:ClientData xmlns:ns2=\"urn:schemas-microsoft-com:office:excel\" ObjectType=\"Note\">"
        "<ns2:Row>5</ns2:Row><ns2:Column>2</ns2:Column></ns2:ClientData></ns0:shape>"
        "<ns0:shape xmlns:ns0=\"urn:schemas-microsoft-com:vml\" id=\"_x0000_s1027\">"
        "<ns2:ClientData xmlns:ns2=\"urn:schemas-microsoft-com:office:excel\" ObjectType=\"Note\">"
        "<ns2:Row>0</ns2:Row><ns2:Column>0</ns2:Column></ns2:ClientData></ns0:shape></xml>";
    const std::string out = Edit(foreign, [&] {
        return std::make_unique<VmlEditor>(*changes.FindSheet(1), changes.strings, ids);
    });
    EXPECT_TRUE(WellFormed(out)) << out;
    EXPECT_NE(out.find("data=\"1,3\""), std::string::npos);
    EXPECT_EQ(out.find("_x0000_s1026"), std::string::npos); // the note of C6 was replaced
    EXPECT_NE(out.find("_x0000_s1027"), std::string::npos);
    EXPECT_NE(out.find("id=\"_x0000_s3073\""), std::string::npos);
    EXPECT_NE(out.find("<x:Row>5</x:Row><x:Column>2</x:Column></x:ClientData></v:shape></xml>"),
              std::string::npos);
    EXPECT_NE(out.find("id=\"_x0000_t202\""), std::string::npos); // the note type the shapes use
    EXPECT_NE(out.find("visibility:hidden"), std::string::npos);

    // A drawing without an idmap gets one in front of its first shape.
    const std::string bare =
        "<?xml version=\"1.0\"?><xml xmlns:v=\"urn:schemas-microsoft-com:vml\" "
        "xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
        "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><v:shapetype "
        "id=\"_x0000_t202\"/></xml>";
    const std::string filled = Edit(bare, [&] {
        return std::make_unique<VmlEditor>(*changes.FindSheet(1), changes.strings, ids);
    });
    EXPECT_NE(filled.find("<o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" "
                          "data=\"3\"/></o:shapelayout><v:shapetype"),
              std::string::npos)
        << filled;
    EXPECT_EQ(filled.find("xmlns:v=\"urn:schemas-microsoft-com:vml\" id="),
              std::string::npos); // prefixes bound at the root

    // A drawing whose root tag is broken: whatever becomes of it, it is the same whether the
    // part comes whole or in pieces (a shape is decided only once it is there whole).
    const std::string broken =
        "<xml xmlns:x=\"a=\"b\"/></v:shapetype><v:shape id=\"s\"><x:ClientData "
        "ObjectType=\"Note\"><x:Row>9</x:Row><x:Column>0</x:Column></x:ClientData>"
        "</v:shape></xml>";
    Edit(broken,
         [&] { return std::make_unique<VmlEditor>(*changes.FindSheet(1), changes.strings, ids); });
}

TEST(SmallParts, ContentTypesAndRelationships)
{
    const std::string types =
        "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
        "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
        "<Override PartName=\"/xl/calcChain.xml\" ContentType=\"c\"/></Types>";
    std::string out;
    ASSERT_TRUE(EditContentTypes(types, {"xl/calcchain.xml"}, {{"xl/worksheets/sheet3.xml", "w"}},
                                 true, out));
    EXPECT_EQ(out, "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                   "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                   "<Default Extension=\"vml\" "
                   "ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>"
                   "<Override PartName=\"/xl/worksheets/sheet3.xml\" ContentType=\"w\"/></Types>");

    const std::string rels =
        "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
        "<Relationship Id=\"rId1\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" "
        "Target=\"worksheets/sheet1.xml\"/>"
        "<Relationship Id=\"rId7\" "
        "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/calcChain\" "
        "Target=\"calcChain.xml\"/>"
        "</Relationships>";
    const auto ids = FreshRelIds(rels, 2);
    ASSERT_EQ(ids, (std::vector<std::string>{"rId8", "rId9"}));
    ASSERT_TRUE(EditRels(rels, {"calcChain"},
                         {{ids[0], RelType("worksheet"), "worksheets/sheet2.xml"}}, out));
    EXPECT_EQ(out.find("calcChain"), std::string::npos);
    EXPECT_NE(out.find("<Relationship Id=\"rId8\" "
                       "Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/"
                       "worksheet\" "
                       "Target=\"worksheets/sheet2.xml\"/></Relationships>"),
              std::string::npos);
    EXPECT_NE(out.find("Target=\"worksheets/sheet1.xml\"/>"), std::string::npos);
}

TEST(SmallParts, WorkbookGainsASheetInFrontOfTheActiveOneAndKeepsItsNames)
{
    const std::string book =
        "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
        "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
        "<bookViews><workbookView activeTab=\"1\"/></bookViews>"
        "<sheets><sheet name=\"Chart\" sheetId=\"1\" r:id=\"rId1\"/>\n<sheet name=\"Data\" "
        "sheetId=\"2\" r:id=\"rId2\"/></sheets>"
        "<definedNames><definedName name=\"_xlnm.Print_Area\" "
        "localSheetId=\"1\">Data!$A$1:$B$2</definedName>"
        "<definedName name=\"Global\">Data!$A$1</definedName></definedNames>"
        "<extLst/></workbook>";
    std::vector<SheetEntryEdit> sheets(3);
    sheets[0].oldIndex = 0;
    sheets[1].isNew = true;
    sheets[1].name = "Sheet3";
    sheets[1].sheetId = 3;
    sheets[1].relId = "rId9";
    sheets[2].oldIndex = 1;
    std::string out;
    ASSERT_TRUE(EditWorkbookXml(book, sheets, 1, out));
    EXPECT_TRUE(WellFormed(out));
    EXPECT_NE(out.find("<sheets><sheet name=\"Chart\" sheetId=\"1\" r:id=\"rId1\"/>"
                       "<sheet name=\"Sheet3\" sheetId=\"3\" r:id=\"rId9\"/>"
                       "<sheet name=\"Data\" sheetId=\"2\" r:id=\"rId2\"/></sheets>"),
              std::string::npos)
        << out;
    // The print area still belongs to "Data", now at position 2.
    EXPECT_NE(out.find("localSheetId=\"2\">Data!$A$1:$B$2"), std::string::npos);
    EXPECT_NE(out.find("<definedName name=\"Global\">Data!$A$1</definedName>"), std::string::npos);
    // Formulas are recalculated when the file is next opened.
    EXPECT_NE(out.find("</definedNames><calcPr fullCalcOnLoad=\"1\"/><extLst/>"),
              std::string::npos);

    const std::string withCalc =
        "<workbook><sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/></sheets>"
        "<calcPr calcId=\"191029\"/></workbook>";
    std::vector<SheetEntryEdit> one(1);
    ASSERT_TRUE(EditWorkbookXml(withCalc, one, 0, out));
    EXPECT_NE(out.find("<calcPr calcId=\"191029\" fullCalcOnLoad=\"1\"/>"), std::string::npos);
    EXPECT_EQ(out.find("activeTab"), std::string::npos);

    // The tab bar cannot start past the active tab.
    const std::string scrolled =
        "<workbook><bookViews><workbookView firstSheet=\"1\" activeTab=\"1\"/></bookViews>"
        "<sheets><sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/><sheet name=\"B\" "
        "sheetId=\"2\" r:id=\"rId2\"/></sheets></workbook>";
    std::vector<SheetEntryEdit> front(3);
    front[0].isNew = true;
    front[0].name = "C";
    front[0].sheetId = 3;
    front[0].relId = "rId3";
    front[1].oldIndex = 0;
    front[2].oldIndex = 1;
    ASSERT_TRUE(EditWorkbookXml(scrolled, front, 0, out));
    EXPECT_NE(out.find("<workbookView firstSheet=\"0\" activeTab=\"0\"/>"), std::string::npos)
        << out;
}

TEST(XmlScan, TokensAcrossPiecesAndTextRules)
{
    const std::string doc =
        "<?xml version=\"1.0\"?><!-- a <b> --><a x='1>2' y=\"&amp;\"><![CDATA[<z>]]>t&lt;<b/></a>";
    std::vector<xml::TokenKind> kinds;
    std::size_t pos = 0;
    while (pos < doc.size()) {
        // Every proper prefix of a token is Incomplete, never an error.
        const xml::Token whole = xml::Next(doc, pos, true);
        ASSERT_NE(whole.kind, xml::TokenKind::Error) << doc.substr(pos);
        for (std::size_t cut = pos + 1; cut < whole.end; ++cut)
            EXPECT_EQ(xml::Next(std::string_view(doc).substr(0, cut), pos, false).kind,
                      xml::TokenKind::Incomplete);
        kinds.push_back(whole.kind);
        pos = whole.end;
    }
    using K = xml::TokenKind;
    EXPECT_EQ(kinds, (std::vector<K>{K::Other, K::Other, K::StartTag, K::Other, K::Text,
                                     K::EmptyTag, K::EndTag}));
    const xml::Token a = xml::Next(doc, doc.find("<a"), true);
    EXPECT_EQ(xml::RawAttr(a.attrs, "x").value_or(""), "1>2");
    EXPECT_EQ(xml::Unescape(*xml::RawAttr(a.attrs, "y")).value_or(""), "&");
    EXPECT_FALSE(xml::Unescape("&bogus;"));
    EXPECT_EQ(xml::Unescape("&#x41;&#66;").value_or(""), "AB");

    // Characters XML forbids travel as _xHHHH_ escapes, and a literal escape keeps its meaning.
    const std::string text = std::string("a\x01z _x0041_ \xD0\x96");
    const std::string encoded = xml::EncodeForbidden(text);
    EXPECT_EQ(encoded, "a_x0001_z _x005F_x0041_ \xD0\x96");
    EXPECT_EQ(xml::DecodeEscapes(encoded), text);
}

#include "sheetpatch.h"

#include "package.h"
#include "xmlscan.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <cstring>

namespace workbook
{

using xml::Token;
using xml::TokenKind;

namespace
{

constexpr std::string_view kVmlNs = "urn:schemas-microsoft-com:vml";
constexpr std::string_view kOfficeNs = "urn:schemas-microsoft-com:office:office";
constexpr std::string_view kExcelNs = "urn:schemas-microsoft-com:office:excel";

// What a streaming step reports.
enum class Step { Continue, NeedMore, Error };

// Collects consecutive copies into one op, so the fast paths make few virtual calls.
class OpWriter
{
  public:
    explicit OpWriter(SpliceOps &ops) : ops_(ops) {}
    ~OpWriter() { Flush(); }
    void Copy(std::size_t n) { copy_ += n; }
    void Skip(std::size_t n)
    {
        Flush();
        if (n > 0)
            ops_.Skip(n);
    }
    void Insert(std::string_view bytes)
    {
        Flush();
        if (!bytes.empty())
            ops_.Insert(bytes);
    }
    void Flush()
    {
        if (copy_ > 0)
            ops_.Copy(copy_);
        copy_ = 0;
    }

  private:
    SpliceOps &ops_;
    std::size_t copy_ = 0;
};

bool ParseInt(std::string_view s, long long &out)
{
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool NeedsPreserve(std::string_view t)
{
    if (t.empty())
        return false;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    return space(t.front()) || space(t.back()) || t.find("  ") != std::string_view::npos ||
           t.find_first_of("\t\n\r") != std::string_view::npos;
}

// <p:t>text</p:t> with the text made safe for XML.
void AppendT(std::string &out, std::string_view prefix, std::string_view text)
{
    const std::string encoded = xml::EncodeForbidden(text);
    out += '<';
    out += prefix;
    out += NeedsPreserve(encoded) ? "t xml:space=\"preserve\">" : "t>";
    xml::AppendEscaped(out, encoded);
    out += "</";
    out += prefix;
    out += "t>";
}

// A cell element for a change, or nothing when the change leaves the cell without a value and
// without a format. `style` is the raw value of the base cell's s attribute ("" for none).
void AppendCell(std::string &out, std::string_view p, int row, int column, const CellChange &c,
                const StringPool &strings, std::string_view style)
{
    const ValueChange v = c.value;
    if (v == ValueChange::Empty || v == ValueChange::Keep) {
        if (style.empty())
            return;
        out += '<';
        out += p;
        out += "c r=\"";
        out += CellRef(row, column);
        out += "\" s=\"";
        out += style;
        out += "\"/>";
        return;
    }
    out += '<';
    out += p;
    out += "c r=\"";
    out += CellRef(row, column);
    out += '"';
    if (!style.empty()) {
        out += " s=\"";
        out += style;
        out += '"';
    }
    switch (v) {
    case ValueChange::Number:
        out += "><";
        out += p;
        out += "v>";
        out += NumberText(c.number);
        out += "</";
        out += p;
        out += "v>";
        break;
    case ValueChange::Boolean:
        out += " t=\"b\"><";
        out += p;
        out += "v>";
        out += c.number != 0 ? '1' : '0';
        out += "</";
        out += p;
        out += "v>";
        break;
    case ValueChange::Text:
        out += " t=\"inlineStr\"><";
        out += p;
        out += "is>";
        AppendT(out, p, strings.At(c.text));
        out += "</";
        out += p;
        out += "is>";
        break;
    default:
        break;
    }
    out += "</";
    out += p;
    out += "c>";
}

bool RowHasValues(const SheetChanges::Row &cells)
{
    return std::any_of(cells.begin(), cells.end(), [](const CellChange &c) {
        return c.value == ValueChange::Number || c.value == ValueChange::Text ||
               c.value == ValueChange::Boolean;
    });
}

bool RowHasValueChanges(const SheetChanges::Row &cells)
{
    return std::any_of(cells.begin(), cells.end(),
                       [](const CellChange &c) { return c.value != ValueChange::Keep; });
}

// A whole new row: only cells with a value.
void AppendNewRow(std::string &out, std::string_view p, int row, const SheetChanges::Row &cells,
                  const StringPool &strings)
{
    if (!RowHasValues(cells))
        return;
    out += '<';
    out += p;
    out += "row r=\"";
    out += std::to_string(row);
    out += "\">";
    for (std::size_t i = 0; i < cells.size(); ++i)
        AppendCell(out, p, row, static_cast<int>(i) + 1, cells[i], strings, {});
    out += "</";
    out += p;
    out += "row>";
}

// The prefix (with colon) an element's attributes bind to `ns`, or nullopt.
std::optional<std::string> PrefixBoundTo(std::string_view attrs, std::string_view ns)
{
    std::optional<std::string> found;
    xml::ForEachAttr(attrs,
                     [&](std::string_view name, std::string_view value, std::size_t, std::size_t) {
                         if (!found && name.starts_with("xmlns:") && value == ns)
                             found = std::string(name.substr(6)) + ":";
                     });
    return found;
}

// Rebuilds a tag with attribute `name` set to `value` (added before the end when absent).
std::string WithAttr(const Token &t, std::string_view name, std::string_view value)
{
    std::string out;
    std::size_t valueBegin = std::string_view::npos;
    std::size_t valueEnd = 0;
    xml::ForEachAttr(t.attrs,
                     [&](std::string_view n, std::string_view v, std::size_t, std::size_t) {
                         if (n == name && valueBegin == std::string_view::npos) {
                             valueBegin = static_cast<std::size_t>(v.data() - t.raw.data());
                             valueEnd = valueBegin + v.size();
                         }
                     });
    if (valueBegin != std::string_view::npos) {
        out.append(t.raw.substr(0, valueBegin));
        out.append(value);
        out.append(t.raw.substr(valueEnd));
        return out;
    }
    const std::size_t close = t.kind == TokenKind::EmptyTag ? t.raw.size() - 2 : t.raw.size() - 1;
    out.append(t.raw.substr(0, close));
    out += ' ';
    out.append(name);
    out += "=\"";
    out.append(value);
    out += '"';
    out.append(t.raw.substr(close));
    return out;
}

// Rebuilds a tag without attribute `name`.
std::string WithoutAttr(const Token &t, std::string_view name)
{
    std::string out(t.raw);
    xml::ForEachAttr(t.attrs, [&](std::string_view n, std::string_view, std::size_t begin,
                                  std::size_t end) {
        if (n == name && out.size() == t.raw.size()) {
            std::size_t from = static_cast<std::size_t>(t.attrs.data() - t.raw.data()) + begin;
            while (from > 0 && xml::IsSpace(static_cast<unsigned char>(out[from - 1])))
                --from;
            out.erase(from, static_cast<std::size_t>(t.attrs.data() - t.raw.data()) + end - from);
        }
    });
    return out;
}

// Finds the end of the element that starts with `start` (a StartTag at data[start.begin]):
// the offset past its end tag. Nested elements of the same qualified name are counted.
// Returns 0 when `data` ends first (more is needed), SIZE_MAX on malformed text.
std::size_t ElementEnd(std::string_view data, const Token &start, bool last, int maxDepth = 4096)
{
    int depth = 1;
    std::size_t pos = start.end;
    while (depth > 0) {
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return 0;
        if (t.kind == TokenKind::Error)
            return last ? SIZE_MAX : 0;
        if (t.kind == TokenKind::StartTag && t.name == start.name) {
            if (++depth > maxDepth)
                return SIZE_MAX;
        } else if (t.kind == TokenKind::EndTag && t.name == start.name) {
            --depth;
        }
        pos = t.end;
    }
    return pos;
}

// The text content of the first descendant element with local name `local` in `element`.
std::optional<std::string> ChildText(std::string_view element, std::string_view local)
{
    std::size_t pos = 0;
    bool inside = false;
    std::string text;
    for (;;) {
        const Token t = xml::Next(element, pos, true);
        if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
            return std::nullopt;
        if (t.kind == TokenKind::StartTag && xml::LocalName(t.name) == local) {
            inside = true;
        } else if (t.kind == TokenKind::EndTag && xml::LocalName(t.name) == local && inside) {
            return text;
        } else if (inside) {
            auto d = xml::CharacterData(t);
            if (d)
                text += *d;
        }
        pos = t.end;
        if (pos >= element.size())
            return std::nullopt;
    }
}

std::string_view Trim(std::string_view s)
{
    while (!s.empty() && xml::IsSpace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && xml::IsSpace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    return s;
}

const CellChange *NoteChangeAt(const SheetChanges &changes, int row, int column)
{
    const CellChange *c = changes.Find(row, column);
    return c != nullptr && c->note != NoteChange::Keep ? c : nullptr;
}

bool NoteChangedAtRef(const SheetChanges &changes, std::string_view ref)
{
    int row = 0;
    int column = 0;
    const std::size_t colon = ref.find(':');
    return ParseCellRef(Trim(ref.substr(0, colon)), row, column) &&
           NoteChangeAt(changes, row, column) != nullptr;
}

// The cell (1-based row, column) of a note shape, or nullopt for any other shape.
std::optional<std::pair<int, int>> NoteCellOfShape(std::string_view shape)
{
    std::size_t pos = 0;
    bool note = false;
    std::optional<std::string> row;
    std::optional<std::string> column;
    std::string *reading = nullptr;
    std::string text;
    while (pos < shape.size()) {
        const Token t = xml::Next(shape, pos, true);
        if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
            break;
        pos = t.end;
        const auto local = xml::LocalName(t.name);
        if (t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag) {
            if (local == "ClientData") {
                const auto type = xml::RawAttr(t.attrs, "ObjectType");
                note = type && *type == "Note";
            } else if (t.kind == TokenKind::StartTag && (local == "Row" || local == "Column")) {
                text.clear();
                reading = &text;
            }
        } else if (t.kind == TokenKind::EndTag && reading != nullptr) {
            if (local == "Row")
                row = text;
            else if (local == "Column")
                column = text;
            reading = nullptr;
        } else if (reading != nullptr) {
            if (auto d = xml::CharacterData(t))
                text += *d;
        }
    }
    long long r = 0;
    long long c = 0;
    if (!note || !row || !column || !ParseInt(Trim(*row), r) || !ParseInt(Trim(*column), c) ||
        r < 0 || r >= MaxRows || c < 0 || c >= MaxColumns)
        return std::nullopt;
    return std::make_pair(static_cast<int>(r) + 1, static_cast<int>(c) + 1);
}

void AppendNoteShape(std::string &out, int id, int row, int column, bool visible,
                     bool declareNamespaces)
{
    const int r = row - 1;
    const int c = column - 1;
    out += "<v:shape";
    if (declareNamespaces) {
        out += " xmlns:v=\"";
        out += kVmlNs;
        out += "\" xmlns:o=\"";
        out += kOfficeNs;
        out += "\" xmlns:x=\"";
        out += kExcelNs;
        out += '"';
    }
    out += " id=\"_x0000_s";
    out += std::to_string(id);
    out += "\" type=\"#_x0000_t202\" style=\"position:absolute;margin-left:59.25pt;"
           "margin-top:1.5pt;width:108pt;height:59.25pt;z-index:1;visibility:";
    out += visible ? "visible" : "hidden";
    out += "\" fillcolor=\"#ffffe1\" o:insetmode=\"auto\"><v:fill color2=\"#ffffe1\"/>"
           "<v:shadow on=\"t\" color=\"black\" obscured=\"t\"/><v:path o:connecttype=\"none\"/>"
           "<v:textbox style=\"mso-direction-alt:auto\"><div style=\"text-align:left\"></div>"
           "</v:textbox><x:ClientData ObjectType=\"Note\"><x:MoveWithCells/><x:SizeWithCells/>"
           "<x:Anchor>";
    out += std::to_string(c + 1) + ", 15, " + std::to_string(std::max(r - 1, 0)) + ", 10, " +
           std::to_string(c + 3) + ", 15, " + std::to_string(r + 3) + ", 4";
    out += "</x:Anchor><x:AutoFill>False</x:AutoFill><x:Row>";
    out += std::to_string(r);
    out += "</x:Row><x:Column>";
    out += std::to_string(c);
    out += "</x:Column>";
    if (visible)
        out += "<x:Visible/>";
    out += "</x:ClientData></v:shape>";
}

void AppendNoteShapeType(std::string &out, bool declareNamespaces)
{
    out += "<v:shapetype";
    if (declareNamespaces) {
        out += " xmlns:v=\"";
        out += kVmlNs;
        out += "\" xmlns:o=\"";
        out += kOfficeNs;
        out += '"';
    }
    out += " id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" "
           "path=\"m,l,21600r21600,l21600,xe\"><v:stroke joinstyle=\"miter\"/>"
           "<v:path gradientshapeok=\"t\" o:connecttype=\"rect\"/></v:shapetype>";
}

void AppendShapeLayout(std::string &out, const std::vector<int> &blocks, bool declareNamespaces)
{
    out += "<o:shapelayout";
    if (declareNamespaces) {
        out += " xmlns:o=\"";
        out += kOfficeNs;
        out += "\" xmlns:v=\"";
        out += kVmlNs;
        out += '"';
    }
    out += " v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"";
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        if (i > 0)
            out += ',';
        out += std::to_string(blocks[i]);
    }
    out += "\"/></o:shapelayout>";
}

// Appends the Set notes of `changes` in row-major order as note shapes.
int AppendNoteShapes(std::string &out, const SheetChanges &changes, int nextId, bool declare)
{
    for (const auto &[row, cells] : changes.Rows()) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (cells[i].note == NoteChange::Set)
                AppendNoteShape(out, nextId++, row, static_cast<int>(i) + 1, cells[i].noteVisible,
                                declare);
        }
    }
    return nextId;
}

void AppendComment(std::string &out, std::string_view p, int row, int column, int author,
                   std::string_view text)
{
    out += '<';
    out += p;
    out += "comment ref=\"";
    out += CellRef(row, column);
    out += "\" authorId=\"";
    out += std::to_string(author);
    out += "\"><";
    out += p;
    out += "text>";
    AppendT(out, p, text);
    out += "</";
    out += p;
    out += "text></";
    out += p;
    out += "comment>";
}

bool IsAfterLegacyDrawing(std::string_view local)
{
    static constexpr std::string_view later[] = {"legacyDrawingHF", "drawingHF", "picture",
                                                 "oleObjects",      "controls",  "webPublishItems",
                                                 "tableParts",      "extLst"};
    return std::find(std::begin(later), std::end(later), local) != std::end(later);
}

struct Bounds {
    bool any = false;
    int minRow = INT_MAX, maxRow = 0, minColumn = INT_MAX, maxColumn = 0;
};

Bounds ValueBounds(const SheetChanges &changes)
{
    Bounds b;
    for (const auto &[row, cells] : changes.Rows()) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            const ValueChange v = cells[i].value;
            if (v != ValueChange::Number && v != ValueChange::Text && v != ValueChange::Boolean)
                continue;
            const int column = static_cast<int>(i) + 1;
            b.any = true;
            b.minRow = std::min(b.minRow, row);
            b.maxRow = std::max(b.maxRow, row);
            b.minColumn = std::min(b.minColumn, column);
            b.maxColumn = std::max(b.maxColumn, column);
        }
    }
    return b;
}

std::string Extent(const Bounds &b)
{
    if (b.minRow == b.maxRow && b.minColumn == b.maxColumn)
        return CellRef(b.minRow, b.minColumn);
    return CellRef(b.minRow, b.minColumn) + ":" + CellRef(b.maxRow, b.maxColumn);
}

} // namespace

std::string RelType(std::string_view last, bool strict)
{
    if (last == "core-properties")
        return "http://schemas.openxmlformats.org/package/2006/relationships/metadata/"
               "core-properties";
    return std::string(strict ? kStrictRelNs : kRelNs) + "/" + std::string(last);
}

bool RelTypeIs(std::string_view type, std::string_view last)
{
    return type.size() > last.size() && type.ends_with(last) &&
           type[type.size() - last.size() - 1] == '/';
}

int CountNotes(const SheetChanges &changes)
{
    int n = 0;
    for (const auto &[row, cells] : changes.Rows()) {
        for (const CellChange &c : cells)
            n += c.note == NoteChange::Set ? 1 : 0;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Sheet selection

namespace
{

bool IsTrue(const Token &t, std::string_view name)
{
    const auto raw = xml::RawAttr(t.attrs, name);
    return raw && (*raw == "1" || *raw == "true");
}

} // namespace

std::string ViewSelection::Views() const
{
    return "<" + prefix_ + "sheetViews><" + prefix_ +
           "sheetView tabSelected=\"1\" workbookViewId=\"0\"/></" + prefix_ + "sheetViews>";
}

ViewSelection::Edit ViewSelection::Step(const Token &t)
{
    Edit e;
    if (done_ || want_ == SheetSelection::Keep) {
        done_ = true;
        return e;
    }
    const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
    if (t.kind == TokenKind::EndTag)
        --depth_;
    const int level = depth_; // 0: the root element, 1: its children, 2: theirs
    if (t.kind == TokenKind::StartTag)
        ++depth_;
    const auto local = xml::LocalName(t.name);
    const bool select = want_ == SheetSelection::Select;
    if (level == 0 && t.kind == TokenKind::StartTag) {
        prefix_ = std::string(xml::PrefixOf(t.name));
    } else if (level == 0 && t.kind == TokenKind::EndTag) {
        // A part with nothing after the place of its views.
        if (select && !seenViews_) {
            e.before = Views();
            changed_ = true;
        }
        done_ = true;
    } else if (level == 1 && tag && local == "sheetViews") {
        seenViews_ = true;
        if (t.kind == TokenKind::EmptyTag) {
            if (select) {
                e.replace = true;
                e.with = Views();
                changed_ = true;
            }
            done_ = true;
        } else {
            inViews_ = true;
        }
    } else if (level == 1 && t.kind == TokenKind::EndTag && local == "sheetViews") {
        if (select && !selectedOne_) {
            e.before = "<" + prefix_ + "sheetView tabSelected=\"1\" workbookViewId=\"0\"/>";
            changed_ = true;
        }
        inViews_ = false;
        done_ = true;
    } else if (level == 1 && tag && local != "sheetPr" && local != "dimension") {
        // The first element that follows the views in the schema's order.
        if (select && !seenViews_) {
            e.before = Views();
            changed_ = true;
        }
        done_ = true;
    } else if (level == 2 && inViews_ && tag && local == "sheetView") {
        if (!select && IsTrue(t, "tabSelected")) {
            e.replace = true;
            e.with = WithoutAttr(t, "tabSelected");
            changed_ = true;
        } else if (select && !selectedOne_) {
            selectedOne_ = true;
            if (!IsTrue(t, "tabSelected")) {
                e.replace = true;
                e.with = WithAttr(t, "tabSelected", "1");
                changed_ = true;
            }
        }
    }
    return e;
}

std::optional<bool> SheetSelected(std::string_view head)
{
    ViewSelection views(SheetSelection::Deselect);
    std::size_t pos = 0;
    while (!views.Done()) {
        const Token t = xml::Next(head, pos, false);
        if (t.kind == TokenKind::Incomplete || t.kind == TokenKind::Error || t.end <= pos)
            return std::nullopt;
        views.Step(t);
        pos = t.end;
    }
    return views.Changed();
}

bool SheetViewEditor::Consume(std::string_view data, bool last, SpliceOps &ops)
{
    std::size_t pos = 0;
    while (!selection_.Done()) {
        if (pos >= data.size()) {
            if (!last)
                return true;
            message_ = "the sheet ends early";
            return false;
        }
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind == TokenKind::Error) {
            message_ = "the sheet is not well-formed XML";
            return false;
        }
        const ViewSelection::Edit e = selection_.Step(t);
        if (!e.before.empty())
            ops.Insert(e.before);
        if (e.replace) {
            ops.Skip(t.end - t.begin);
            ops.Insert(e.with);
        } else {
            ops.Copy(t.end - t.begin);
        }
        pos = t.end;
    }
    ops.Copy(data.size() - pos);
    return true;
}

// ---------------------------------------------------------------------------------------------
// SheetEditor

SheetEditor::SheetEditor(const SheetChanges &changes, const StringPool &strings,
                         std::string legacyDrawingRelId, SheetSelection selection)
    : changes_(changes), strings_(strings), legacyDrawingRelId_(std::move(legacyDrawingRelId)),
      next_(changes.Rows().begin()), selection_(selection)
{
}

bool SheetEditor::Fail(std::string why)
{
    message_ = std::move(why);
    return false;
}

void SheetEditor::EmitRowsBefore(int row, SpliceOps &ops)
{
    scratch_.clear();
    while (next_ != changes_.Rows().end() && next_->first < row) {
        AppendNewRow(scratch_, prefix_, next_->first, next_->second, strings_);
        ++next_;
    }
    if (!scratch_.empty())
        ops.Insert(scratch_);
}

bool SheetEditor::MergeRow(std::string_view rowXml, int row, std::string &out)
{
    const SheetChanges::Row &changes = next_->second;
    Token start = xml::Next(rowXml, 0, true);
    std::string startTag = WithoutAttr(start, "spans");
    if (!xml::RawAttr(start.attrs, "r")) {
        Token again = xml::Next(startTag, 0, true);
        startTag = WithAttr(again, "r", std::to_string(row));
    }
    if (start.kind == TokenKind::EmptyTag) {
        startTag.erase(startTag.size() - 2); // "/>"
        while (!startTag.empty() && xml::IsSpace(static_cast<unsigned char>(startTag.back())))
            startTag.pop_back();
        startTag += '>';
    }
    out += startTag;
    int column = 0;
    std::size_t nextChange = 0; // index into `changes` of the next column not yet written
    auto emitUpTo = [&](int beforeColumn) {
        while (nextChange < changes.size() && static_cast<int>(nextChange) + 1 < beforeColumn) {
            const CellChange &c = changes[nextChange];
            if (c.value != ValueChange::Keep)
                AppendCell(out, prefix_, row, static_cast<int>(nextChange) + 1, c, strings_, {});
            ++nextChange;
        }
    };
    if (start.kind == TokenKind::StartTag) {
        std::size_t pos = start.end;
        for (;;) {
            Token t = xml::Next(rowXml, pos, true);
            if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
                return Fail("a row of the worksheet is not well-formed");
            if (t.kind == TokenKind::EndTag && t.name == start.name)
                break;
            if ((t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag) &&
                xml::LocalName(t.name) == "c") {
                std::size_t cellEnd = t.end;
                if (t.kind == TokenKind::StartTag) {
                    cellEnd = ElementEnd(rowXml, t, true);
                    if (cellEnd == 0 || cellEnd == SIZE_MAX)
                        return Fail("a cell of the worksheet is not well-formed");
                }
                const auto ref = xml::RawAttr(t.attrs, "r");
                if (ref) {
                    int r = 0;
                    if (!ParseCellRef(*ref, r, column))
                        return Fail("the worksheet has a bad cell reference");
                } else {
                    ++column;
                }
                emitUpTo(column);
                const CellChange *c = static_cast<std::size_t>(column) <= changes.size()
                                          ? &changes[static_cast<std::size_t>(column) - 1]
                                          : nullptr;
                if (c != nullptr && c->value != ValueChange::Keep) {
                    const std::string style(xml::RawAttr(t.attrs, "s").value_or(""));
                    AppendCell(out, prefix_, row, column, *c, strings_, style);
                } else if (ref) {
                    out.append(rowXml.substr(t.begin, cellEnd - t.begin));
                } else {
                    // Cells are written with references, so one that had none needs one now.
                    out.append(WithAttr(t, "r", CellRef(row, column)));
                    out.append(rowXml.substr(t.end, cellEnd - t.end));
                }
                if (static_cast<std::size_t>(column) > nextChange)
                    nextChange = static_cast<std::size_t>(column);
                pos = cellEnd;
                continue;
            }
            out.append(t.raw);
            pos = t.end;
        }
    }
    emitUpTo(MaxColumns + 1);
    out += "</";
    out += start.name;
    out += '>';
    return true;
}

bool SheetEditor::Prolog(std::string_view data, bool last, SpliceOps &ops, std::size_t &pos)
{
    for (;;) {
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind == TokenKind::Error)
            return Fail("the worksheet is not well-formed XML");
        const std::size_t size = t.end - t.begin;
        if (!selection_.Done()) {
            const ViewSelection::Edit e = selection_.Step(t);
            if (!e.before.empty())
                ops.Insert(e.before);
            if (e.replace) {
                ops.Skip(size);
                ops.Insert(e.with);
                pos = t.end;
                continue;
            }
        }
        if (t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag) {
            const auto local = xml::LocalName(t.name);
            if (local == "worksheet") {
                prefix_ = std::string(xml::PrefixOf(t.name));
                strict_ = t.attrs.find(kStrictMainNs) != std::string_view::npos;
                relPrefix_ = PrefixBoundTo(t.attrs, strict_ ? kStrictRelNs : kRelNs).value_or("");
            } else if (local == "dimension") {
                const Bounds b = ValueBounds(changes_);
                const std::string_view ref = xml::RawAttr(t.attrs, "ref").value_or("");
                int r1 = 0, c1 = 0, r2 = 0, c2 = 0;
                const std::size_t colon = ref.find(':');
                const bool parsed =
                    ParseCellRef(ref.substr(0, colon), r1, c1) &&
                    (colon == std::string_view::npos ? (r2 = r1, c2 = c1, true)
                                                     : ParseCellRef(ref.substr(colon + 1), r2, c2));
                if (b.any && parsed) {
                    Bounds u = b;
                    u.minRow = std::min(u.minRow, r1);
                    u.minColumn = std::min(u.minColumn, c1);
                    u.maxRow = std::max(u.maxRow, r2);
                    u.maxColumn = std::max(u.maxColumn, c2);
                    ops.Skip(size);
                    ops.Insert(WithAttr(t, "ref", Extent(u)));
                    pos = t.end;
                    continue;
                }
            } else if (local == "sheetData") {
                if (t.kind == TokenKind::EmptyTag) {
                    ops.Skip(size);
                    scratch_.clear();
                    scratch_ += '<';
                    scratch_ += t.name;
                    scratch_ += '>';
                    ops.Insert(scratch_);
                    EmitRowsBefore(INT_MAX, ops);
                    scratch_ = "</" + std::string(t.name) + ">";
                    ops.Insert(scratch_);
                    pos = t.end;
                    state_ = State::Epilog;
                    return true;
                }
                ops.Copy(size);
                pos = t.end;
                state_ = State::Rows;
                return true;
            }
        } else if (t.kind == TokenKind::EndTag && xml::LocalName(t.name) == "worksheet") {
            // No sheetData at all: give it one.
            scratch_ = "<" + prefix_ + "sheetData>";
            ops.Insert(scratch_);
            EmitRowsBefore(INT_MAX, ops);
            scratch_ = "</" + prefix_ + "sheetData>";
            ops.Insert(scratch_);
            state_ = State::Epilog;
            return true; // the end tag is handled there
        }
        ops.Copy(size);
        pos = t.end;
    }
}

bool SheetEditor::Rows(std::string_view data, bool last, SpliceOps &rawOps, std::size_t &pos)
{
    OpWriter ops(rawOps);
    const std::string rowTag = "<" + prefix_ + "row";
    const std::string endData = "</" + prefix_ + "sheetData";
    const std::size_t n = data.size();
    for (;;) {
        const void *lt = pos < n ? std::memchr(data.data() + pos, '<', n - pos) : nullptr;
        if (lt == nullptr) {
            if (last)
                return Fail("the worksheet ends inside its rows");
            ops.Copy(n - pos);
            pos = n;
            return true;
        }
        const std::size_t at =
            static_cast<std::size_t>(static_cast<const char *>(lt) - data.data());
        ops.Copy(at - pos);
        pos = at;
        if (n - pos < endData.size() + 1 && !last)
            return true; // too few bytes to tell the tag apart
        const char c1 = pos + 1 < n ? data[pos + 1] : '\0';
        if (c1 == '!' || c1 == '?') {
            const Token t = xml::Next(data, pos, last);
            if (t.kind == TokenKind::Incomplete)
                return true;
            if (t.kind == TokenKind::Error)
                return Fail("the worksheet is not well-formed XML");
            ops.Copy(t.end - t.begin);
            pos = t.end;
            continue;
        }
        if (c1 == '/') {
            if (data.compare(pos, endData.size(), endData) == 0 &&
                (pos + endData.size() >= n ||
                 !xml::IsNameByte(static_cast<unsigned char>(data[pos + endData.size()])))) {
                ops.Flush();
                EmitRowsBefore(INT_MAX, rawOps);
                state_ = State::Epilog;
                return true;
            }
            ops.Copy(1);
            ++pos;
            continue;
        }
        if (data.compare(pos, rowTag.size(), rowTag) != 0 ||
            (pos + rowTag.size() < n &&
             xml::IsNameByte(static_cast<unsigned char>(data[pos + rowTag.size()])))) {
            ops.Copy(1);
            ++pos;
            continue;
        }
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind != TokenKind::StartTag && t.kind != TokenKind::EmptyTag)
            return Fail("the worksheet is not well-formed XML");
        long long r = lastRow_ + 1;
        if (auto attr = xml::RawAttr(t.attrs, "r");
            attr && (!ParseInt(Trim(*attr), r) || r < 1 || r > MaxRows))
            return Fail("the worksheet has a bad row number");
        const int row = static_cast<int>(r);
        if (next_ != changes_.Rows().end() && next_->first < row) {
            ops.Flush();
            EmitRowsBefore(row, rawOps);
        }
        if (next_ == changes_.Rows().end() || next_->first != row ||
            !RowHasValueChanges(next_->second)) {
            if (next_ != changes_.Rows().end() && next_->first == row)
                ++next_; // only comments change in this row: the row stays as it is
            lastRow_ = row;
            ops.Copy(t.end - t.begin);
            pos = t.end;
            continue;
        }
        std::size_t end = t.end;
        if (t.kind == TokenKind::StartTag) {
            end = ElementEnd(data, t, last);
            if (end == 0)
                return true; // wait for the rest of the row
            if (end == SIZE_MAX)
                return Fail("a row of the worksheet is not well-formed");
        }
        scratch_.clear();
        if (!MergeRow(data.substr(pos, end - pos), row, scratch_))
            return false;
        ops.Skip(end - pos);
        ops.Insert(scratch_);
        ++next_;
        lastRow_ = row;
        pos = end;
    }
}

bool SheetEditor::Epilog(std::string_view data, bool last, SpliceOps &ops, std::size_t &pos)
{
    for (;;) {
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind == TokenKind::Error) {
            if (pos >= data.size() && last)
                return Fail("the worksheet ends early");
            return Fail("the worksheet is not well-formed XML");
        }
        const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        if (!legacyDrawingRelId_.empty() && !drawingDone_) {
            if (tag && local == "legacyDrawing") {
                drawingDone_ = true;
            } else if ((tag && IsAfterLegacyDrawing(local)) ||
                       (t.kind == TokenKind::EndTag && local == "worksheet")) {
                scratch_ = "<" + prefix_ + "legacyDrawing ";
                if (relPrefix_.empty())
                    scratch_ +=
                        "xmlns:r=\"" + std::string(strict_ ? kStrictRelNs : kRelNs) + "\" r:id=\"";
                else
                    scratch_ += relPrefix_ + "id=\"";
                scratch_ += legacyDrawingRelId_ + "\"/>";
                ops.Insert(scratch_);
                drawingDone_ = true;
            }
        }
        ops.Copy(t.end - t.begin);
        pos = t.end;
        if (t.kind == TokenKind::EndTag && local == "worksheet") {
            state_ = State::Done;
            return true;
        }
    }
}

bool SheetEditor::Consume(std::string_view data, bool last, SpliceOps &ops)
{
    std::size_t pos = 0;
    for (;;) {
        const State before = state_;
        const std::size_t from = pos;
        bool ok = true;
        switch (state_) {
        case State::Prolog:
            ok = Prolog(data, last, ops, pos);
            break;
        case State::Rows:
            ok = Rows(data, last, ops, pos);
            break;
        case State::Epilog:
            ok = Epilog(data, last, ops, pos);
            break;
        case State::Done:
            ops.Copy(data.size() - pos);
            pos = data.size();
            break;
        }
        if (!ok)
            return false;
        if (state_ == before && pos == from)
            break; // needs more bytes
        if (pos >= data.size() && state_ == before)
            break;
    }
    if (last && (state_ != State::Done || pos != data.size()))
        return Fail("the worksheet ends early");
    return true;
}

// ---------------------------------------------------------------------------------------------
// CommentsEditor

CommentsEditor::CommentsEditor(const SheetChanges &changes, const StringPool &strings)
    : changes_(changes), strings_(strings)
{
}

void CommentsEditor::AppendNew(std::string &out) const
{
    for (const auto &[row, cells] : changes_.Rows()) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (cells[i].note == NoteChange::Set)
                AppendComment(out, prefix_, row, static_cast<int>(i) + 1, ourAuthor_,
                              strings_.At(cells[i].noteText));
        }
    }
}

bool CommentsEditor::Consume(std::string_view data, bool last, SpliceOps &ops)
{
    std::size_t pos = 0;
    std::string out;
    auto authorsXml = [this](int id) {
        (void)id;
        return "<" + prefix_ + "author>" + std::string(kNoteAuthor) + "</" + prefix_ + "author>";
    };
    for (;;) {
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind == TokenKind::Error) {
            if (pos >= data.size() && last && state_ == State::Done)
                return true;
            message_ = pos >= data.size() && last ? "the comments part ends early"
                                                  : "the comments part is not well-formed XML";
            return false;
        }
        const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        const std::size_t size = t.end - t.begin;
        switch (state_) {
        case State::Before:
            if (tag && local == "comments") {
                prefix_ = std::string(xml::PrefixOf(t.name));
            } else if (tag && local == "authors") {
                if (t.kind == TokenKind::EmptyTag) {
                    ops.Skip(size);
                    ops.Insert("<" + prefix_ + "authors>" + authorsXml(0) + "</" + prefix_ +
                               "authors>");
                    ourAuthor_ = 0;
                    state_ = State::AfterAuthors;
                    pos = t.end;
                    continue;
                }
                state_ = State::Authors;
            } else if (tag && local == "commentList") {
                ops.Insert("<" + prefix_ + "authors>" + authorsXml(0) + "</" + prefix_ +
                           "authors>");
                ourAuthor_ = 0;
                state_ = State::AfterAuthors;
                continue; // the same token again
            }
            break;
        case State::Authors:
            if (t.kind == TokenKind::StartTag && local == "author") {
                const std::size_t end = ElementEnd(data, t, last);
                if (end == 0)
                    return true;
                if (end == SIZE_MAX) {
                    message_ = "the comments part is not well-formed XML";
                    return false;
                }
                const auto name = ChildText(data.substr(t.begin, end - t.begin), local);
                if (ourAuthor_ < 0 && name && *name == kNoteAuthor)
                    ourAuthor_ = authors_;
                ++authors_;
                ops.Copy(end - t.begin);
                pos = end;
                continue;
            }
            if (t.kind == TokenKind::EmptyTag && local == "author")
                ++authors_;
            if (t.kind == TokenKind::EndTag && local == "authors") {
                if (ourAuthor_ < 0) {
                    ops.Insert(authorsXml(authors_));
                    ourAuthor_ = authors_++;
                }
                state_ = State::AfterAuthors;
            }
            break;
        case State::AfterAuthors:
            if (tag && local == "commentList") {
                if (t.kind == TokenKind::EmptyTag) {
                    out = "<" + std::string(t.name) + ">";
                    AppendNew(out);
                    out += "</" + std::string(t.name) + ">";
                    ops.Skip(size);
                    ops.Insert(out);
                    state_ = State::Done;
                    pos = t.end;
                    continue;
                }
                state_ = State::List;
            } else if (t.kind == TokenKind::EndTag && local == "comments") {
                out = "<" + prefix_ + "commentList>";
                AppendNew(out);
                out += "</" + prefix_ + "commentList>";
                ops.Insert(out);
                state_ = State::Done;
            }
            break;
        case State::List:
            if (tag && local == "comment") {
                std::size_t end = t.end;
                if (t.kind == TokenKind::StartTag) {
                    end = ElementEnd(data, t, last);
                    if (end == 0)
                        return true;
                    if (end == SIZE_MAX) {
                        message_ = "the comments part is not well-formed XML";
                        return false;
                    }
                }
                const std::string_view ref = xml::RawAttr(t.attrs, "ref").value_or("");
                if (NoteChangedAtRef(changes_, ref))
                    ops.Skip(end - t.begin);
                else
                    ops.Copy(end - t.begin);
                pos = end;
                continue;
            }
            if (t.kind == TokenKind::EndTag && local == "commentList") {
                out.clear();
                AppendNew(out);
                ops.Insert(out);
                state_ = State::Done;
            }
            break;
        case State::Done:
            break;
        }
        ops.Copy(size);
        pos = t.end;
        if (pos >= data.size()) {
            if (last && state_ != State::Done) {
                message_ = "the comments part ends early";
                return false;
            }
            return true;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// VmlEditor

VmlEditor::VmlEditor(const SheetChanges &changes, const StringPool &strings, ShapeIds ids)
    : changes_(changes), strings_(strings), ids_(std::move(ids)), nextId_(ids_.firstId)
{
}

bool VmlEditor::Consume(std::string_view data, bool last, SpliceOps &ops)
{
    std::size_t pos = 0;
    std::string out;
    const bool adding = CountNotes(changes_) > 0;
    for (;;) {
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind == TokenKind::Error) {
            if (pos >= data.size() && last)
                return true; // trailing bytes after the root are copied as they are
            // Drawing parts written by some programs are not strictly XML; what cannot be read
            // as a token is copied one byte at a time.
            ops.Copy(1);
            ++pos;
            continue;
        }
        const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        const std::size_t size = t.end - t.begin;
        // A shape is decided as a whole: wait for its end before anything of it changes the
        // editor's state, so the outcome does not depend on where the part was cut.
        std::size_t shapeEnd = 0;
        if (t.kind == TokenKind::StartTag && local == "shape") {
            shapeEnd = ElementEnd(data, t, last);
            if (shapeEnd == 0)
                return true;
        }
        if (tag && !rootSeen_) {
            rootSeen_ = true;
            // The standard prefixes are used for what is added; the part must bind them.
            const auto v = PrefixBoundTo(t.attrs, kVmlNs);
            const auto o = PrefixBoundTo(t.attrs, kOfficeNs);
            const auto x = PrefixBoundTo(t.attrs, kExcelNs);
            bindsStandardPrefixes_ = v == "v:" && o == "o:" && x == "x:";
        } else if (tag && local == "idmap" && !idmapDone_ && !ids_.newBlocks.empty()) {
            std::string data0(xml::RawAttrLocal(t.attrs, "data").value_or(""));
            for (int b : ids_.newBlocks) {
                if (!data0.empty())
                    data0 += ',';
                data0 += std::to_string(b);
            }
            // The attribute may carry a prefix ("o:data" is not used, but be exact).
            std::string attrName = "data";
            xml::ForEachAttr(t.attrs,
                             [&](std::string_view n, std::string_view, std::size_t, std::size_t) {
                                 if (xml::LocalName(n) == "data" && !n.starts_with("xmlns"))
                                     attrName = std::string(n);
                             });
            ops.Skip(size);
            ops.Insert(WithAttr(t, attrName, data0));
            idmapDone_ = true;
            pos = t.end;
            continue;
        } else if (tag && (local == "shapetype" || local == "shape") && !idmapDone_ &&
                   !ids_.newBlocks.empty()) {
            out.clear();
            AppendShapeLayout(out, ids_.newBlocks, !bindsStandardPrefixes_);
            ops.Insert(out);
            idmapDone_ = true;
        }
        if (tag && local == "shapetype") {
            if (xml::RawAttr(t.attrs, "id").value_or("") == "_x0000_t202")
                hasNoteType_ = true;
        } else if (t.kind == TokenKind::StartTag && local == "shape") {
            const std::size_t end = shapeEnd;
            if (end != SIZE_MAX) {
                const std::string_view shape = data.substr(t.begin, end - t.begin);
                const auto cell = NoteCellOfShape(shape);
                const bool drop =
                    cell && NoteChangeAt(changes_, cell->first, cell->second) != nullptr;
                if (drop)
                    ops.Skip(end - t.begin);
                else
                    ops.Copy(end - t.begin);
                pos = end;
                continue;
            }
        } else if (t.kind == TokenKind::EndTag && rootSeen_ && local == "xml") {
            out.clear();
            if (!idmapDone_ && !ids_.newBlocks.empty()) {
                AppendShapeLayout(out, ids_.newBlocks, !bindsStandardPrefixes_);
                idmapDone_ = true;
            }
            if (adding && !hasNoteType_)
                AppendNoteShapeType(out, !bindsStandardPrefixes_);
            const int notes = CountNotes(changes_);
            if (notes > ids_.capacity) {
                message_ = "not enough shape ids for the new notes";
                return false;
            }
            nextId_ = AppendNoteShapes(out, changes_, nextId_, !bindsStandardPrefixes_);
            ops.Insert(out);
        }
        ops.Copy(size);
        pos = t.end;
        if (pos >= data.size())
            return true;
    }
}

// ---------------------------------------------------------------------------------------------
// ThreadedCommentsEditor

ThreadedCommentsEditor::ThreadedCommentsEditor(const SheetChanges &changes) : changes_(changes) {}

bool ThreadedCommentsEditor::Consume(std::string_view data, bool last, SpliceOps &ops)
{
    std::size_t pos = 0;
    for (;;) {
        const Token t = xml::Next(data, pos, last);
        if (t.kind == TokenKind::Incomplete)
            return true;
        if (t.kind == TokenKind::Error) {
            if (pos >= data.size() && last)
                return true;
            message_ = "the threaded comments part is not well-formed XML";
            return false;
        }
        if ((t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag) &&
            xml::LocalName(t.name) == "threadedComment") {
            std::size_t end = t.end;
            if (t.kind == TokenKind::StartTag) {
                end = ElementEnd(data, t, last);
                if (end == 0)
                    return true;
                if (end == SIZE_MAX) {
                    message_ = "the threaded comments part is not well-formed XML";
                    return false;
                }
            }
            if (NoteChangedAtRef(changes_, xml::RawAttr(t.attrs, "ref").value_or("")))
                ops.Skip(end - t.begin);
            else
                ops.Copy(end - t.begin);
            pos = end;
        } else {
            ops.Copy(t.end - t.begin);
            pos = t.end;
        }
        if (pos >= data.size())
            return true;
    }
}

// ---------------------------------------------------------------------------------------------
// New parts

namespace
{

void Put(ByteSink &out, const std::string &s)
{
    out.Write(s.data(), s.size());
}

constexpr std::string_view kDeclaration =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";

} // namespace

void WriteNewSheet(ByteSink &out, const SheetChanges *changes, const StringPool &strings,
                   bool strict, std::string_view legacyDrawingRelId, bool selected)
{
    std::string s(kDeclaration);
    s += "<worksheet xmlns=\"";
    s += strict ? kStrictMainNs : kMainNs;
    s += "\" xmlns:r=\"";
    s += strict ? kStrictRelNs : kRelNs;
    s += "\">";
    if (changes != nullptr) {
        const Bounds b = ValueBounds(*changes);
        if (b.any)
            s += "<dimension ref=\"" + Extent(b) + "\"/>";
    }
    if (selected)
        s += "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/></sheetViews>";
    s += "<sheetData>";
    if (changes != nullptr) {
        for (const auto &[row, cells] : changes->Rows()) {
            AppendNewRow(s, "", row, cells, strings);
            if (s.size() > (1u << 20)) {
                Put(out, s);
                s.clear();
            }
        }
    }
    s += "</sheetData>";
    s += "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" "
         "footer=\"0.3\"/>";
    if (!legacyDrawingRelId.empty())
        s += "<legacyDrawing r:id=\"" + std::string(legacyDrawingRelId) + "\"/>";
    s += "</worksheet>";
    Put(out, s);
}

void WriteNewComments(ByteSink &out, const SheetChanges &changes, const StringPool &strings,
                      bool strict)
{
    std::string s(kDeclaration);
    s += "<comments xmlns=\"";
    s += strict ? kStrictMainNs : kMainNs;
    s += "\"><authors><author>";
    s += kNoteAuthor;
    s += "</author></authors><commentList>";
    for (const auto &[row, cells] : changes.Rows()) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (cells[i].note == NoteChange::Set)
                AppendComment(s, "", row, static_cast<int>(i) + 1, 0,
                              strings.At(cells[i].noteText));
        }
        if (s.size() > (1u << 20)) {
            Put(out, s);
            s.clear();
        }
    }
    s += "</commentList></comments>";
    Put(out, s);
}

void WriteNewVml(ByteSink &out, const SheetChanges &changes, const StringPool &,
                 const ShapeIds &ids)
{
    std::string s = "<xml xmlns:v=\"";
    s += kVmlNs;
    s += "\" xmlns:o=\"";
    s += kOfficeNs;
    s += "\" xmlns:x=\"";
    s += kExcelNs;
    s += "\">";
    AppendShapeLayout(s, ids.newBlocks, false);
    AppendNoteShapeType(s, false);
    int id = ids.firstId;
    for (const auto &[row, cells] : changes.Rows()) {
        for (std::size_t i = 0; i < cells.size(); ++i) {
            if (cells[i].note == NoteChange::Set)
                AppendNoteShape(s, id++, row, static_cast<int>(i) + 1, cells[i].noteVisible, false);
        }
        if (s.size() > (1u << 20)) {
            Put(out, s);
            s.clear();
        }
    }
    s += "</xml>";
    Put(out, s);
}

std::vector<int> VmlBlocks(std::string_view head)
{
    std::vector<int> blocks;
    std::size_t pos = 0;
    for (;;) {
        const Token t = xml::Next(head, pos, true);
        if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
            break;
        pos = t.end;
        if (t.kind != TokenKind::StartTag && t.kind != TokenKind::EmptyTag)
            continue;
        const auto local = xml::LocalName(t.name);
        if (local == "idmap") {
            std::string_view list = xml::RawAttrLocal(t.attrs, "data").value_or("");
            while (!list.empty()) {
                const std::size_t comma = list.find(',');
                long long b = 0;
                if (ParseInt(Trim(list.substr(0, comma)), b) && b >= 0 && b < (1 << 20))
                    blocks.push_back(static_cast<int>(b));
                list =
                    comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
            }
        } else if (local == "shape" || local == "shapetype") {
            break; // the idmap comes before the shapes
        }
    }
    return blocks;
}

// ---------------------------------------------------------------------------------------------
// Small parts

namespace
{

// Walks the tokens of a whole small part; `f(token)` returns the bytes to write for it.
template <class F> bool Rewrite(std::string_view xmlText, std::string &out, F &&f)
{
    out.clear();
    out.reserve(xmlText.size() + 512);
    std::size_t pos = 0;
    while (pos < xmlText.size()) {
        const Token t = xml::Next(xmlText, pos, true);
        if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
            return false;
        if (!f(t, out))
            return false;
        pos = t.end;
    }
    return true;
}

std::string AttrUnescaped(const Token &t, std::string_view name)
{
    const auto raw = xml::RawAttr(t.attrs, name);
    if (!raw)
        return {};
    return xml::Unescape(*raw).value_or(std::string(*raw));
}

} // namespace

bool EditContentTypes(std::string_view text, const std::set<std::string> &removeParts,
                      const std::vector<NewOverride> &add, bool needVmlDefault, std::string &out)
{
    bool hasVml = false;
    bool root = false;
    std::string prefix;
    // First pass: is there a Default for vml?
    std::size_t pos = 0;
    while (pos < text.size()) {
        const Token t = xml::Next(text, pos, true);
        if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
            return false;
        if ((t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag) &&
            xml::LocalName(t.name) == "Default" &&
            AsciiLower(AttrUnescaped(t, "Extension")) == "vml")
            hasVml = true;
        pos = t.end;
    }
    auto additions = [&]() {
        std::string s;
        if (needVmlDefault && !hasVml)
            s += "<" + prefix +
                 "Default Extension=\"vml\" "
                 "ContentType=\"application/vnd.openxmlformats-officedocument.vmlDrawing\"/>";
        for (const NewOverride &o : add) {
            s += "<" + prefix + "Override PartName=\"/";
            xml::AppendEscaped(s, o.partName, true);
            s += "\" ContentType=\"" + o.contentType + "\"/>";
        }
        return s;
    };
    bool skipping = false;
    return Rewrite(text, out, [&](const Token &t, std::string &o) {
        const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        if (tag && !root && local == "Types") {
            root = true;
            prefix = std::string(xml::PrefixOf(t.name));
            if (t.kind == TokenKind::EmptyTag) {
                o.append(t.raw.substr(0, t.raw.size() - 2));
                o += '>';
                o += additions();
                o += "</" + std::string(t.name) + ">";
                return true;
            }
        } else if (tag && local == "Override") {
            std::string part = AttrUnescaped(t, "PartName");
            if (!part.empty() && part[0] == '/')
                part.erase(0, 1);
            if (removeParts.count(AsciiLower(part)) > 0) {
                skipping = t.kind == TokenKind::StartTag;
                return true;
            }
        } else if (t.kind == TokenKind::EndTag && local == "Override" && skipping) {
            skipping = false;
            return true;
        } else if (t.kind == TokenKind::EndTag && local == "Types") {
            o += additions();
        }
        if (!skipping)
            o.append(t.raw);
        return true;
    });
}

bool EditRels(std::string_view text, const std::vector<std::string> &removeTypes,
              const std::vector<NewRelationship> &add, std::string &out)
{
    std::string prefix;
    auto additions = [&]() {
        std::string s;
        for (const NewRelationship &r : add) {
            s +=
                "<" + prefix + "Relationship Id=\"" + r.id + "\" Type=\"" + r.type + "\" Target=\"";
            xml::AppendEscaped(s, r.target, true);
            s += "\"/>";
        }
        return s;
    };
    bool skipping = false;
    bool root = false;
    return Rewrite(text, out, [&](const Token &t, std::string &o) {
        const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        if (tag && !root && local == "Relationships") {
            root = true;
            prefix = std::string(xml::PrefixOf(t.name));
            if (t.kind == TokenKind::EmptyTag) {
                o.append(t.raw.substr(0, t.raw.size() - 2));
                o += '>';
                o += additions();
                o += "</" + std::string(t.name) + ">";
                return true;
            }
        } else if (tag && local == "Relationship") {
            const std::string type = AttrUnescaped(t, "Type");
            for (const std::string &r : removeTypes) {
                if (RelTypeIs(type, r)) {
                    skipping = t.kind == TokenKind::StartTag;
                    return true;
                }
            }
        } else if (t.kind == TokenKind::EndTag && local == "Relationship" && skipping) {
            skipping = false;
            return true;
        } else if (t.kind == TokenKind::EndTag && local == "Relationships") {
            o += additions();
        }
        if (!skipping)
            o.append(t.raw);
        return true;
    });
}

std::string NewRels(const std::vector<NewRelationship> &rels)
{
    std::string s(kDeclaration);
    s += "<Relationships xmlns=\"";
    s += kPackageRelNs;
    s += "\">";
    for (const NewRelationship &r : rels) {
        s += "<Relationship Id=\"" + r.id + "\" Type=\"" + r.type + "\" Target=\"";
        xml::AppendEscaped(s, r.target, true);
        s += "\"/>";
    }
    s += "</Relationships>";
    return s;
}

std::vector<std::string> FreshRelIds(std::string_view text, int count)
{
    std::set<std::string> used;
    long long highest = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const Token t = xml::Next(text, pos, true);
        if (t.kind == TokenKind::Error || t.kind == TokenKind::Incomplete)
            break;
        pos = t.end;
        if ((t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag) &&
            xml::LocalName(t.name) == "Relationship") {
            const std::string id = AttrUnescaped(t, "Id");
            used.insert(id);
            long long n = 0;
            if (id.size() > 3 && id.starts_with("rId") &&
                ParseInt(std::string_view(id).substr(3), n))
                highest = std::max(highest, n);
        }
    }
    std::vector<std::string> ids;
    for (long long n = highest + 1; static_cast<int>(ids.size()) < count; ++n) {
        std::string id = "rId" + std::to_string(n);
        if (used.count(id) == 0)
            ids.push_back(std::move(id));
    }
    return ids;
}

bool EditWorkbookXml(std::string_view text, const std::vector<SheetEntryEdit> &sheets,
                     int activeTab, std::string &out)
{
    std::string prefix;
    std::string relPrefix;
    bool strict = false;
    bool root = false;
    bool inSheets = false;
    bool sawBookViews = false;
    bool sawCalcPr = false;
    std::vector<std::string> oldSheets;
    // Where each old position lands.
    std::vector<int> newIndexOfOld;
    {
        std::size_t oldCount = 0;
        for (const SheetEntryEdit &s : sheets) {
            if (!s.isNew)
                oldCount = std::max(oldCount, s.oldIndex + 1);
        }
        newIndexOfOld.assign(oldCount, -1);
        for (std::size_t i = 0; i < sheets.size(); ++i) {
            if (!sheets[i].isNew)
                newIndexOfOld[sheets[i].oldIndex] = static_cast<int>(i);
        }
    }
    auto newSheet = [&](const SheetEntryEdit &s) {
        std::string e = "<" + prefix + "sheet name=\"";
        xml::AppendEscaped(e, s.name, true);
        e += "\" sheetId=\"" + std::to_string(s.sheetId) + "\" ";
        if (relPrefix.empty())
            e += "xmlns:r=\"" + std::string(strict ? kStrictRelNs : kRelNs) + "\" r:id=\"";
        else
            e += relPrefix + "id=\"";
        e += s.relId + "\"/>";
        return e;
    };
    auto calcPr = [&]() { return "<" + prefix + "calcPr fullCalcOnLoad=\"1\"/>"; };
    static constexpr std::string_view afterCalcPr[] = {
        "oleSize",       "customWorkbookViews", "pivotCaches",       "smartTagPr", "smartTagTypes",
        "webPublishing", "fileRecoveryPr",      "webPublishObjects", "extLst"};
    bool failed = false;
    const bool ok = Rewrite(text, out, [&](const Token &t, std::string &o) {
        const bool tag = t.kind == TokenKind::StartTag || t.kind == TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        if (tag && !root && local == "workbook") {
            root = true;
            prefix = std::string(xml::PrefixOf(t.name));
            strict = t.attrs.find(kStrictMainNs) != std::string_view::npos;
            relPrefix = PrefixBoundTo(t.attrs, strict ? kStrictRelNs : kRelNs).value_or("");
        } else if (tag && local == "bookViews") {
            sawBookViews = true;
        } else if (tag && local == "workbookView") {
            std::string view(t.raw);
            const std::string current = AttrUnescaped(t, "activeTab");
            if (current != std::to_string(activeTab) && !(current.empty() && activeTab == 0))
                view = WithAttr(t, "activeTab", std::to_string(activeTab));
            // The tab bar starts at the active tab at the latest.
            long long first = 0;
            if (ParseInt(AttrUnescaped(t, "firstSheet"), first) && first > activeTab) {
                const Token again = xml::Next(view, 0, true);
                view = WithAttr(again, "firstSheet", std::to_string(activeTab));
            }
            o += view;
            return true;
        } else if (tag && local == "sheets") {
            if (t.kind == TokenKind::EmptyTag) {
                failed = true;
                return false;
            }
            if (!sawBookViews && activeTab != 0)
                o += "<" + prefix + "bookViews><" + prefix + "workbookView activeTab=\"" +
                     std::to_string(activeTab) + "\"/></" + prefix + "bookViews>";
            inSheets = true;
        } else if (inSheets && tag && local == "sheet") {
            oldSheets.emplace_back(t.raw);
            return true;
        } else if (inSheets && t.kind == TokenKind::EndTag && local == "sheets") {
            inSheets = false;
            for (const SheetEntryEdit &s : sheets) {
                if (s.isNew)
                    o += newSheet(s);
                else if (s.oldIndex < oldSheets.size())
                    o += oldSheets[s.oldIndex];
                else {
                    failed = true;
                    return false;
                }
            }
        } else if (inSheets && t.kind == TokenKind::EndTag && local == "sheet") {
            return true;
        } else if (inSheets) {
            return true; // whitespace between the sheet entries
        } else if (t.kind == TokenKind::StartTag && local == "definedName") {
            const std::string id = AttrUnescaped(t, "localSheetId");
            long long old = 0;
            if (!id.empty() && ParseInt(id, old) && old >= 0 &&
                static_cast<std::size_t>(old) < newIndexOfOld.size() &&
                newIndexOfOld[static_cast<std::size_t>(old)] != old) {
                o += WithAttr(t, "localSheetId",
                              std::to_string(newIndexOfOld[static_cast<std::size_t>(old)]));
                return true;
            }
        } else if (tag && local == "calcPr") {
            sawCalcPr = true;
            if (AttrUnescaped(t, "fullCalcOnLoad") != "1" &&
                AttrUnescaped(t, "fullCalcOnLoad") != "true") {
                o += WithAttr(t, "fullCalcOnLoad", "1");
                return true;
            }
        } else if (!sawCalcPr && tag &&
                   std::find(std::begin(afterCalcPr), std::end(afterCalcPr), local) !=
                       std::end(afterCalcPr)) {
            o += calcPr();
            sawCalcPr = true;
        } else if (!sawCalcPr && t.kind == TokenKind::EndTag && local == "workbook") {
            o += calcPr();
            sawCalcPr = true;
        }
        o.append(t.raw);
        return true;
    });
    return ok && !failed && root && !oldSheets.empty();
}

} // namespace workbook

#include "sheetread.h"

#include "changes.h"

#include <charconv>
#include <cmath>

namespace workbook
{

using xml::Token;
using xml::TokenKind;

std::string CellValue::ToText() const
{
    switch (kind) {
    case Kind::Number:
        return NumberText(number);
    case Kind::Boolean:
        return number != 0 ? "TRUE" : "FALSE";
    case Kind::Text:
        return text;
    case Kind::Empty:
        break;
    }
    return {};
}

namespace
{

bool ParseInt(std::string_view s, long long &out)
{
    while (!s.empty() && xml::IsSpace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && xml::IsSpace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

bool ParseDouble(std::string_view s, double &out)
{
    while (!s.empty() && xml::IsSpace(static_cast<unsigned char>(s.front())))
        s.remove_prefix(1);
    while (!s.empty() && xml::IsSpace(static_cast<unsigned char>(s.back())))
        s.remove_suffix(1);
    if (!s.empty() && s.front() == '+')
        s.remove_prefix(1);
    const auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size() && std::isfinite(out);
}

// Gathers the text of a rich-text element (<si>, <is>, <text>) whose start tag was just read:
// its <t> children and those of its runs, without phonetic guides (<rPh>).
bool ReadRichText(xml::TokenReader &reader, std::string &out, int maxDepth = 64)
{
    out.clear();
    int depth = 1;
    int phonetic = 0;
    int inT = 0;
    Token t;
    while (depth > 0) {
        if (!reader.NextToken(t))
            return false;
        switch (t.kind) {
        case TokenKind::StartTag: {
            if (++depth > maxDepth)
                return false;
            const auto local = xml::LocalName(t.name);
            if (local == "rPh")
                ++phonetic;
            else if (local == "t")
                ++inT;
            break;
        }
        case TokenKind::EndTag: {
            --depth;
            const auto local = xml::LocalName(t.name);
            if (local == "rPh")
                --phonetic;
            else if (local == "t")
                --inT;
            break;
        }
        case TokenKind::Text:
        case TokenKind::Other:
            if (inT > 0 && phonetic == 0) {
                auto text = xml::CharacterData(t);
                if (!text)
                    return false;
                out += *text;
            }
            break;
        default:
            break;
        }
    }
    out = xml::DecodeEscapes(out);
    return true;
}

// Reads the character data of a simple element (<v>) whose start tag was just read.
bool ReadSimpleText(xml::TokenReader &reader, std::string &out, int maxDepth = 16)
{
    out.clear();
    int depth = 1;
    Token t;
    while (depth > 0) {
        if (!reader.NextToken(t))
            return false;
        if (t.kind == TokenKind::StartTag) {
            if (++depth > maxDepth)
                return false;
        } else if (t.kind == TokenKind::EndTag) {
            --depth;
        } else if (depth == 1 && (t.kind == TokenKind::Text || t.kind == TokenKind::Other)) {
            auto text = xml::CharacterData(t);
            if (!text)
                return false;
            out += *text;
        }
    }
    return true;
}

bool SetError(std::string *error, std::string why)
{
    if (error != nullptr)
        *error = std::move(why);
    return false;
}

// One <c> element: its start tag was just read (or it was an empty tag).
bool ReadCellElement(xml::TokenReader &reader, const Token &start, SharedStrings *strings,
                     CellValue &value, std::string *error)
{
    value = CellValue();
    std::string_view type = xml::RawAttr(start.attrs, "t").value_or("");
    if (start.kind == TokenKind::EmptyTag)
        return true;
    std::string v;
    std::string inlineText;
    bool hasV = false;
    bool hasInline = false;
    int depth = 1;
    Token t;
    while (depth > 0) {
        if (!reader.NextToken(t))
            return SetError(error, reader.Error().empty() ? "the sheet ends inside a cell"
                                                          : reader.Error());
        if (t.kind == TokenKind::StartTag) {
            const auto local = xml::LocalName(t.name);
            if (depth == 1 && local == "v") {
                if (!ReadSimpleText(reader, v))
                    return SetError(error, "a cell value cannot be read");
                hasV = true;
            } else if (depth == 1 && local == "is") {
                if (!ReadRichText(reader, inlineText))
                    return SetError(error, "an inline string cannot be read");
                hasInline = true;
            } else if (!xml::SkipElement(reader)) {
                return SetError(error, "a cell cannot be read");
            }
        } else if (t.kind == TokenKind::EndTag) {
            --depth;
        }
    }
    if (type == "inlineStr") {
        if (hasInline && !inlineText.empty()) {
            value.kind = CellValue::Kind::Text;
            value.text = std::move(inlineText);
        }
        return true;
    }
    if (!hasV)
        return true; // a cell with only a style, or a formula without a cached value
    if (type == "s") {
        long long index = 0;
        if (!ParseInt(v, index) || index < 0 || strings == nullptr)
            return SetError(error, "a cell refers to a missing shared string");
        std::string text;
        if (!strings->Get(static_cast<std::uint64_t>(index), text, error))
            return false;
        if (!text.empty()) {
            value.kind = CellValue::Kind::Text;
            value.text = std::move(text);
        }
    } else if (type == "b") {
        value.kind = CellValue::Kind::Boolean;
        value.number = (v == "1" || v == "true" || v == "TRUE") ? 1 : 0;
    } else if (type == "str" || type == "e" || type == "d") {
        std::string text = xml::DecodeEscapes(v);
        if (!text.empty()) {
            value.kind = CellValue::Kind::Text;
            value.text = std::move(text);
        }
    } else {
        double d = 0;
        if (ParseDouble(v, d)) {
            value.kind = CellValue::Kind::Number;
            value.number = d;
        }
    }
    return true;
}

} // namespace

// ---------------------------------------------------------------------------------------------

SharedStrings::SharedStrings(Package &package, const PackageEntry *part, std::size_t maxBytes)
    : package_(package), part_(part), maxBytes_(maxBytes)
{
}

SharedStrings::~SharedStrings() = default;

bool SharedStrings::ReadItem(std::string &out, bool &atEnd)
{
    atEnd = false;
    Token t;
    while (reader_->NextToken(t)) {
        if (t.kind == TokenKind::StartTag && xml::LocalName(t.name) == "si")
            return ReadRichText(*reader_, out);
        if (t.kind == TokenKind::EmptyTag && xml::LocalName(t.name) == "si") {
            out.clear();
            return true;
        }
    }
    atEnd = reader_->Error().empty();
    return false;
}

bool SharedStrings::Get(std::uint64_t index, std::string &out, std::string *error)
{
    if (index < kept_.size()) {
        out = kept_[index];
        return true;
    }
    if (part_ == nullptr)
        return SetError(error, "a cell refers to a missing shared string");
    if (!reader_ || index < next_) {
        source_ = package_.OpenPart(*part_);
        reader_ = std::make_unique<xml::TokenReader>(*source_);
        next_ = 0;
    }
    std::string item;
    while (next_ <= index) {
        bool atEnd = false;
        if (!ReadItem(item, atEnd)) {
            const std::string why = atEnd
                                        ? std::string("a cell refers to a missing shared string")
                                        : "the shared strings cannot be read: " + reader_->Error();
            reader_.reset();
            return SetError(error, why);
        }
        if (keeping_ && next_ == kept_.size()) {
            if (keptBytes_ + item.size() + 32 <= maxBytes_) {
                keptBytes_ += item.size() + 32;
                kept_.push_back(item);
            } else {
                keeping_ = false;
            }
        }
        ++next_;
    }
    out = std::move(item);
    return true;
}

bool ReadSheetRows(Package &package, const PackageEntry &sheet, SharedStrings *strings,
                   int firstRow, int lastRow,
                   const std::function<bool(int row, std::vector<ReadCell> &cells)> &onRow,
                   std::string *error)
{
    auto source = package.OpenPart(sheet);
    xml::TokenReader reader(*source);
    Token t;
    bool inData = false;
    int row = 0;
    int maxSeen = 0;
    bool ordered = true;
    std::vector<ReadCell> cells;
    while (reader.NextToken(t)) {
        if (t.kind == TokenKind::EndTag) {
            if (xml::LocalName(t.name) == "sheetData")
                return true;
            continue;
        }
        if (t.kind != TokenKind::StartTag && t.kind != TokenKind::EmptyTag)
            continue;
        const auto local = xml::LocalName(t.name);
        if (!inData) {
            if (local == "sheetData") {
                if (t.kind == TokenKind::EmptyTag)
                    return true;
                inData = true;
            }
            continue;
        }
        if (local != "row") {
            if (t.kind == TokenKind::StartTag && !xml::SkipElement(reader))
                break;
            continue;
        }
        long long r = row + 1;
        if (auto attr = xml::RawAttr(t.attrs, "r");
            attr && (!ParseInt(*attr, r) || r < 1 || r > MaxRows))
            return SetError(error, "the sheet has a bad row number");
        row = static_cast<int>(r);
        if (row < maxSeen)
            ordered = false;
        maxSeen = std::max(maxSeen, row);
        if (ordered && row > lastRow)
            return true;
        const bool wanted = row >= firstRow && row <= lastRow;
        if (t.kind == TokenKind::EmptyTag)
            continue;
        if (!wanted) {
            if (!xml::SkipElement(reader))
                break;
            continue;
        }
        cells.clear();
        int column = 0;
        for (;;) {
            if (!reader.NextToken(t))
                return SetError(error, reader.Error().empty() ? "the sheet ends inside a row"
                                                              : reader.Error());
            if (t.kind == TokenKind::EndTag)
                break;
            if (t.kind != TokenKind::StartTag && t.kind != TokenKind::EmptyTag)
                continue;
            if (xml::LocalName(t.name) != "c") {
                if (t.kind == TokenKind::StartTag && !xml::SkipElement(reader))
                    return SetError(error, "a row cannot be read");
                continue;
            }
            int refRow = 0;
            if (auto ref = xml::RawAttr(t.attrs, "r")) {
                if (!ParseCellRef(*ref, refRow, column))
                    return SetError(error, "the sheet has a bad cell reference");
            } else if (++column > MaxColumns) {
                return SetError(error, "the sheet has a cell outside the sheet");
            }
            ReadCell cell;
            cell.column = column;
            if (!ReadCellElement(reader, t, strings, cell.value, error))
                return false;
            if (cell.value.kind != CellValue::Kind::Empty)
                cells.push_back(std::move(cell));
        }
        if (!onRow(row, cells))
            return true;
    }
    if (!reader.Error().empty())
        return SetError(error, reader.Error());
    return true;
}

bool ReadNotes(Package &package, const PackageEntry &comments, int firstRow, int lastRow,
               const std::function<bool(int row, int column, const std::string &text)> &onNote,
               std::string *error)
{
    auto source = package.OpenPart(comments);
    xml::TokenReader reader(*source);
    Token t;
    std::string ref;
    std::string text;
    while (reader.NextToken(t)) {
        if (t.kind != TokenKind::StartTag)
            continue;
        const auto local = xml::LocalName(t.name);
        if (local == "comment") {
            ref = std::string(xml::RawAttr(t.attrs, "ref").value_or(""));
        } else if (local == "text") {
            if (!ReadRichText(reader, text))
                return SetError(error, "a comment cannot be read");
            int row = 0;
            int column = 0;
            // A comment on a range belongs to its first cell.
            if (!ParseCellRef(std::string_view(ref).substr(0, ref.find(':')), row, column))
                continue;
            if (row >= firstRow && row <= lastRow && !onNote(row, column, text))
                return true;
        }
    }
    if (!reader.Error().empty())
        return SetError(error, reader.Error());
    return true;
}

int DimensionLastRow(Package &package, const PackageEntry &sheet)
{
    auto source = package.OpenPart(sheet);
    xml::TokenReader reader(*source, 1u << 20);
    Token t;
    while (reader.NextToken(t)) {
        if (t.kind != TokenKind::StartTag && t.kind != TokenKind::EmptyTag)
            continue;
        const auto local = xml::LocalName(t.name);
        if (local == "sheetData")
            return 0;
        if (local == "dimension") {
            const std::string_view ref = xml::RawAttr(t.attrs, "ref").value_or("");
            const std::string_view last =
                ref.substr(ref.find(':') == std::string_view::npos ? 0 : ref.find(':') + 1);
            int row = 0;
            int column = 0;
            return ParseCellRef(last, row, column) ? row : 0;
        }
    }
    return 0;
}

} // namespace workbook

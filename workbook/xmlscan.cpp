#include "xmlscan.h"

#include <algorithm>
#include <cstring>

namespace workbook::xml
{

namespace
{

Token Make(TokenKind kind, std::size_t begin, std::size_t end)
{
    Token t;
    t.kind = kind;
    t.begin = begin;
    t.end = end;
    return t;
}

Token EndOfBuffer(std::size_t pos, bool last)
{
    return Make(last ? TokenKind::Error : TokenKind::Incomplete, pos, pos);
}

// Offset just past `terminator`, searched from `from`; npos when not in `data`.
std::size_t PastTerminator(std::string_view data, std::size_t from, std::string_view terminator)
{
    const std::size_t at = data.find(terminator, from);
    return at == std::string_view::npos ? at : at + terminator.size();
}

void AppendUtf8(std::string &out, std::uint32_t code)
{
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

// Decodes one UTF-8 sequence at `i`; returns its code point and advances `i`, or returns
// 0xFFFD for a malformed byte (advancing by one).
std::uint32_t DecodeUtf8(std::string_view s, std::size_t &i)
{
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    int extra = 0;
    std::uint32_t code = 0;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1;
        code = b0 & 0x1F;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2;
        code = b0 & 0x0F;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3;
        code = b0 & 0x07;
    } else {
        ++i;
        return 0xFFFD;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) {
        ++i;
        return 0xFFFD;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto b = static_cast<unsigned char>(s[i + k]);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return 0xFFFD;
        }
        code = (code << 6) | (b & 0x3F);
    }
    i += static_cast<std::size_t>(extra) + 1;
    return code;
}

bool ForbiddenInXml(std::uint32_t c)
{
    return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF ||
           (c >= 0xD800 && c <= 0xDFFF);
}

// True when `s` holds an _xHHHH_ escape at `i`.
bool EscapeAt(std::string_view s, std::size_t i)
{
    if (i + 7 > s.size() || s[i] != '_' || s[i + 1] != 'x' || s[i + 6] != '_')
        return false;
    for (std::size_t k = 2; k < 6; ++k) {
        if (HexValue(s[i + k]) < 0)
            return false;
    }
    return true;
}

} // namespace

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

Token NextImpl(std::string_view data, std::size_t pos, bool last);

Token Next(std::string_view data, std::size_t pos, bool last)
{
    Token t = NextImpl(data, pos, last);
    if (t.kind != TokenKind::Incomplete && t.kind != TokenKind::Error)
        t.raw = data.substr(t.begin, t.end - t.begin);
    return t;
}

std::optional<std::string> CharacterData(const Token &token)
{
    if (token.kind == TokenKind::Text)
        return Unescape(token.raw);
    if (token.kind == TokenKind::Other && token.raw.starts_with("<![CDATA["))
        return std::string(token.raw.substr(9, token.raw.size() - 12));
    return std::string();
}

Token NextImpl(std::string_view data, std::size_t pos, bool last)
{
    const std::size_t n = data.size();
    if (pos >= n)
        return EndOfBuffer(pos, last);
    if (data[pos] != '<') {
        const void *lt = std::memchr(data.data() + pos, '<', n - pos);
        if (lt == nullptr)
            return last ? Make(TokenKind::Text, pos, n) : EndOfBuffer(pos, false);
        return Make(TokenKind::Text, pos,
                    static_cast<std::size_t>(static_cast<const char *>(lt) - data.data()));
    }
    if (pos + 1 >= n)
        return EndOfBuffer(pos, last);
    const char c1 = data[pos + 1];
    if (c1 == '!' || c1 == '?') {
        std::size_t end = std::string_view::npos;
        if (c1 == '?') {
            end = PastTerminator(data, pos + 2, "?>");
        } else if (data.substr(pos, 4) == "<!--") {
            end = PastTerminator(data, pos + 4, "-->");
        } else if (data.substr(pos, 9) == "<![CDATA[") {
            end = PastTerminator(data, pos + 9, "]]>");
        } else {
            if (pos + 9 > n && !last && std::string_view("<![CDATA[").starts_with(data.substr(pos)))
                return EndOfBuffer(pos, false);
            // A declaration such as <!DOCTYPE ...>, possibly with an internal subset.
            int depth = 0;
            char quote = 0;
            for (std::size_t i = pos + 2; i < n; ++i) {
                const char c = data[i];
                if (quote != 0) {
                    if (c == quote)
                        quote = 0;
                } else if (c == '"' || c == '\'') {
                    quote = c;
                } else if (c == '[') {
                    ++depth;
                } else if (c == ']') {
                    --depth;
                } else if (c == '>' && depth <= 0) {
                    end = i + 1;
                    break;
                }
            }
        }
        if (end == std::string_view::npos)
            return EndOfBuffer(pos, last);
        return Make(TokenKind::Other, pos, end);
    }
    if (c1 == '/') {
        std::size_t i = pos + 2;
        while (i < n && IsNameByte(static_cast<unsigned char>(data[i])))
            ++i;
        const std::size_t nameEnd = i;
        while (i < n && IsSpace(static_cast<unsigned char>(data[i])))
            ++i;
        if (i >= n)
            return EndOfBuffer(pos, last);
        if (data[i] != '>' || nameEnd == pos + 2)
            return Make(TokenKind::Error, pos, i);
        Token t = Make(TokenKind::EndTag, pos, i + 1);
        t.name = data.substr(pos + 2, nameEnd - pos - 2);
        return t;
    }
    std::size_t i = pos + 1;
    while (i < n && IsNameByte(static_cast<unsigned char>(data[i])))
        ++i;
    if (i >= n)
        return EndOfBuffer(pos, last);
    if (i == pos + 1)
        return Make(TokenKind::Error, pos, i);
    const std::size_t nameEnd = i;
    const char after = data[i];
    if (!IsSpace(static_cast<unsigned char>(after)) && after != '>' && after != '/')
        return Make(TokenKind::Error, pos, i);
    char quote = 0;
    for (; i < n; ++i) {
        const char c = data[i];
        if (quote != 0) {
            if (c == quote)
                quote = 0;
            else if (c == '<')
                return Make(TokenKind::Error, pos, i);
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (c == '>') {
            const bool empty = i > nameEnd && data[i - 1] == '/';
            Token t = Make(empty ? TokenKind::EmptyTag : TokenKind::StartTag, pos, i + 1);
            t.name = data.substr(pos + 1, nameEnd - pos - 1);
            t.attrs = data.substr(nameEnd, (empty ? i - 1 : i) - nameEnd);
            return t;
        } else if (c == '<') {
            return Make(TokenKind::Error, pos, i);
        }
    }
    return EndOfBuffer(pos, last);
}

std::string_view LocalName(std::string_view qname)
{
    const std::size_t colon = qname.find(':');
    return colon == std::string_view::npos ? qname : qname.substr(colon + 1);
}

std::string_view PrefixOf(std::string_view qname)
{
    const std::size_t colon = qname.find(':');
    return colon == std::string_view::npos ? std::string_view() : qname.substr(0, colon + 1);
}

std::optional<std::string_view> RawAttr(std::string_view attrs, std::string_view qname)
{
    std::optional<std::string_view> found;
    ForEachAttr(attrs,
                [&](std::string_view name, std::string_view value, std::size_t, std::size_t) {
                    if (!found && name == qname)
                        found = value;
                });
    return found;
}

std::optional<std::string_view> RawAttrLocal(std::string_view attrs, std::string_view local)
{
    std::optional<std::string_view> found;
    ForEachAttr(attrs,
                [&](std::string_view name, std::string_view value, std::size_t, std::size_t) {
                    if (!found && LocalName(name) == local && name.substr(0, 6) != "xmlns:")
                        found = value;
                });
    return found;
}

std::optional<std::string> Unescape(std::string_view raw)
{
    if (raw.find('&') == std::string_view::npos)
        return std::string(raw);
    std::string out;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size();) {
        const char c = raw[i];
        if (c != '&') {
            out += c;
            ++i;
            continue;
        }
        const std::size_t semi = raw.find(';', i);
        if (semi == std::string_view::npos || semi - i > 12)
            return std::nullopt;
        const std::string_view ref = raw.substr(i + 1, semi - i - 1);
        if (ref == "amp")
            out += '&';
        else if (ref == "lt")
            out += '<';
        else if (ref == "gt")
            out += '>';
        else if (ref == "quot")
            out += '"';
        else if (ref == "apos")
            out += '\'';
        else if (ref.size() >= 2 && ref[0] == '#') {
            std::uint32_t code = 0;
            const bool hex = ref[1] == 'x' || ref[1] == 'X';
            const std::string_view digits = ref.substr(hex ? 2 : 1);
            if (digits.empty())
                return std::nullopt;
            for (char d : digits) {
                const int v = hex ? HexValue(d) : (d >= '0' && d <= '9' ? d - '0' : -1);
                if (v < 0)
                    return std::nullopt;
                code = code * (hex ? 16 : 10) + static_cast<std::uint32_t>(v);
                if (code > 0x10FFFF)
                    return std::nullopt;
            }
            AppendUtf8(out, code);
        } else {
            return std::nullopt;
        }
        i = semi + 1;
    }
    return out;
}

void AppendEscaped(std::string &out, std::string_view text, bool attribute)
{
    for (char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            if (attribute)
                out += "&quot;";
            else
                out += c;
            break;
        case '\n':
            if (attribute)
                out += "&#10;";
            else
                out += c;
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\t':
            if (attribute)
                out += "&#9;";
            else
                out += c;
            break;
        default:
            out += c;
        }
    }
}

std::string EncodeForbidden(std::string_view s)
{
    bool plain = true;
    for (std::size_t i = 0; i < s.size() && plain; ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c >= 0x80 ||
            (c == '_' && EscapeAt(s, i)))
            plain = false;
    }
    if (plain)
        return std::string(s);
    std::string out;
    out.reserve(s.size() + 16);
    static const char hex[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < s.size();) {
        if (EscapeAt(s, i)) {
            out += "_x005F_";
            ++i;
            continue;
        }
        const std::size_t start = i;
        const std::uint32_t code = DecodeUtf8(s, i);
        if (code == 0xFFFD && !(i - start == 3 && s.substr(start, 3) == "\xEF\xBF\xBD")) {
            out += "\xEF\xBF\xBD"; // a malformed byte becomes the replacement character
            continue;
        }
        if (ForbiddenInXml(code)) {
            if (code >= 0xD800 && code <= 0xDFFF) {
                out += "\xEF\xBF\xBD";
                continue;
            }
            out += "_x";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(code >> shift) & 0xF];
            out += '_';
            continue;
        }
        out.append(s.substr(start, i - start));
    }
    return out;
}

std::string DecodeEscapes(std::string_view s)
{
    if (s.find("_x") == std::string_view::npos)
        return std::string(s);
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        if (EscapeAt(s, i)) {
            std::uint32_t code = 0;
            for (std::size_t k = 2; k < 6; ++k)
                code = code * 16 + static_cast<std::uint32_t>(HexValue(s[i + k]));
            if (code >= 0xD800 && code <= 0xDFFF)
                code = 0xFFFD;
            AppendUtf8(out, code);
            i += 7;
        } else {
            out += s[i++];
        }
    }
    return out;
}

// ---------------------------------------------------------------------------------------------

TokenReader::TokenReader(ByteSource &source, std::size_t maxToken)
    : source_(source), maxToken_(maxToken)
{
}

bool TokenReader::Fill()
{
    if (eof_)
        return false;
    if (pos_ > 0 && (pos_ >= buffer_.size() / 2 || buffer_.size() - pos_ < (1u << 16))) {
        buffer_.erase(0, pos_);
        base_ += pos_;
        pos_ = 0;
    }
    if (buffer_.size() - pos_ > maxToken_) {
        error_ = "an element of the part is too large";
        return false;
    }
    const std::size_t old = buffer_.size();
    const std::size_t chunk = std::max<std::size_t>(1u << 16, old / 2);
    buffer_.resize(old + chunk);
    const std::int64_t n = source_.Read(buffer_.data() + old, chunk);
    if (n < 0) {
        buffer_.resize(old);
        error_ = source_.Error().empty() ? "read error" : source_.Error();
        return false;
    }
    buffer_.resize(old + static_cast<std::size_t>(n));
    if (n == 0)
        eof_ = true;
    return true;
}

bool TokenReader::NextToken(Token &token)
{
    for (;;) {
        if (!error_.empty()) {
            token.kind = TokenKind::Error;
            return false;
        }
        const std::string_view data(buffer_);
        token = Next(data, pos_, eof_);
        if (token.kind == TokenKind::Incomplete ||
            (token.kind == TokenKind::Error && pos_ >= data.size() && eof_)) {
            if (pos_ >= data.size() && eof_)
                return false; // the end of the part
            if (!Fill()) {
                if (error_.empty() && eof_)
                    continue;
                token.kind = TokenKind::Error;
                return false;
            }
            continue;
        }
        if (token.kind == TokenKind::Error) {
            error_ = "the part is not well-formed XML";
            return false;
        }
        pos_ = token.end;
        return true;
    }
}

bool SkipElement(TokenReader &reader, int maxDepth)
{
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
        }
    }
    return true;
}

} // namespace workbook::xml

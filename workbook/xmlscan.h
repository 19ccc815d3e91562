#pragma once
// A byte-level scanner for the XML parts of a package, made for streaming edits.
//
// The patchers copy almost every byte of a part unchanged and rewrite a few elements, so they
// need token boundaries and names, not a document tree. The scanner works on UTF-8 bytes in a
// buffer that may end in the middle of a token: it then says Incomplete, and the caller offers
// the same position again with more bytes after it. Names are compared by their local part
// (after the prefix), so a part whose main namespace is bound to a prefix ("x:row") is handled
// like one that uses the default namespace.
//
// Only what well-formed XML allows is accepted inside tags; comments, processing
// instructions, CDATA sections and a document type declaration are skipped as opaque tokens.
// Entities other than the five predefined ones and character references are never expanded.

#include "bytestream.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace workbook::xml
{

enum class TokenKind : std::uint8_t {
    StartTag,   ///< <name ...>
    EmptyTag,   ///< <name .../>
    EndTag,     ///< </name>
    Text,       ///< character data up to the next '<'
    Other,      ///< comment, processing instruction, CDATA section, document type declaration
    Incomplete, ///< the buffer ends inside the token (only when not at the end of the input)
    Error,      ///< not XML
};

struct Token {
    TokenKind kind = TokenKind::Error;
    std::size_t begin = 0;  ///< offset of the first byte
    std::size_t end = 0;    ///< offset just past the last byte
    std::string_view name;  ///< qualified name of a tag
    std::string_view attrs; ///< the raw attribute text of a start or empty tag
    std::string_view raw;   ///< all bytes of the token
};

/// The character data of a Text token or a CDATA section, unescaped (nullopt for a bad
/// reference); empty for other tokens.
std::optional<std::string> CharacterData(const Token &token);

/// Scans the token that starts at `pos` of `data`. `last` says that no bytes follow `data`.
Token Next(std::string_view data, std::size_t pos, bool last);

/// The part of a qualified name after its prefix ("x:row" -> "row").
std::string_view LocalName(std::string_view qname);
/// The prefix with its colon ("x:row" -> "x:", "row" -> "").
std::string_view PrefixOf(std::string_view qname);

/// The raw (still escaped) value of the attribute whose qualified name is `qname` in the raw
/// attribute text of a tag; nullopt when absent.
std::optional<std::string_view> RawAttr(std::string_view attrs, std::string_view qname);
/// The same, matched by local name: the first attribute whose name is `local` or ends in
/// ":local".
std::optional<std::string_view> RawAttrLocal(std::string_view attrs, std::string_view local);

/// Calls f(qualifiedName, rawValue, begin, end) for every attribute, where [begin, end) is the
/// attribute's span (name to closing quote) within `attrs`. Returns false on malformed text.
template <class F> bool ForEachAttr(std::string_view attrs, F &&f);

/// Decodes the predefined entities and character references of text or an attribute value.
/// Returns nullopt for an unknown or malformed reference.
std::optional<std::string> Unescape(std::string_view raw);
/// Escapes text content (& < >) and, with `attribute`, also quotes, tabs and line breaks.
void AppendEscaped(std::string &out, std::string_view text, bool attribute = false);

/// Characters XML 1.0 forbids in a document, written as _xHHHH_ escapes (and an underscore
/// that would read as such an escape as _x005F_), the way spreadsheet files store them.
std::string EncodeForbidden(std::string_view utf8);
/// Decodes _xHHHH_ escapes into UTF-8.
std::string DecodeEscapes(std::string_view utf8);

/// The value of a hexadecimal digit, or -1.
int HexValue(char c);

/// True for a name character of the ASCII range (letters, digits, '_', '-', '.', ':') or any
/// byte of a multi-byte UTF-8 sequence.
inline bool IsNameByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.' || c == ':' || c >= 0x80;
}
inline bool IsSpace(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

/// Reads the tokens of a whole part from a source, one after the other, with a bounded buffer.
/// The views of a token stay valid until the next call of NextToken.
class TokenReader
{
  public:
    /// `maxToken` caps the size of one token (a text or a tag); larger ones are an error.
    explicit TokenReader(ByteSource &source, std::size_t maxToken = 64u << 20);
    /// The next token; kind Error with Error() set on failure; false at the end of the part.
    bool NextToken(Token &token);
    const std::string &Error() const { return error_; }
    /// Bytes of the part consumed so far.
    std::uint64_t Offset() const { return base_ + pos_; }

  private:
    bool Fill();
    ByteSource &source_;
    std::size_t maxToken_;
    std::string buffer_;
    std::size_t pos_ = 0;
    std::uint64_t base_ = 0;
    bool eof_ = false;
    std::string error_;
};

/// Skips the rest of the element whose start tag the reader just returned: reads up to and
/// including its end tag. False on error or a part that ends early; `maxDepth` bounds nesting.
bool SkipElement(TokenReader &reader, int maxDepth = 256);

// ---------------------------------------------------------------------------------------------

template <class F> bool ForEachAttr(std::string_view attrs, F &&f)
{
    std::size_t i = 0;
    const std::size_t n = attrs.size();
    for (;;) {
        while (i < n && IsSpace(static_cast<unsigned char>(attrs[i])))
            ++i;
        if (i >= n)
            return true;
        const std::size_t nameBegin = i;
        while (i < n && IsNameByte(static_cast<unsigned char>(attrs[i])))
            ++i;
        if (i == nameBegin)
            return false;
        const std::string_view name = attrs.substr(nameBegin, i - nameBegin);
        while (i < n && IsSpace(static_cast<unsigned char>(attrs[i])))
            ++i;
        if (i >= n || attrs[i] != '=')
            return false;
        ++i;
        while (i < n && IsSpace(static_cast<unsigned char>(attrs[i])))
            ++i;
        if (i >= n || (attrs[i] != '"' && attrs[i] != '\''))
            return false;
        const char quote = attrs[i++];
        const std::size_t valueBegin = i;
        while (i < n && attrs[i] != quote)
            ++i;
        if (i >= n)
            return false;
        f(name, attrs.substr(valueBegin, i - valueBegin), nameBegin, i + 1);
        ++i;
    }
}

} // namespace workbook::xml

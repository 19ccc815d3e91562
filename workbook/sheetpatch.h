#pragma once
// The edits that continue a workbook: what the archive writes goes into the package, and every
// byte it does not write stays as it was.
//
// Large parts are edited as streams through the splicer (deflatesplice.h): a worksheet gets its
// written rows merged in order (a written cell keeps its format, cells not written stay), its
// <dimension> widened and, when it gains its first comments, a <legacyDrawing>; its comments
// part loses the comments of written cells and gains the new ones; its drawing (VML) part loses
// and gains the matching note shapes, with shape ids from blocks no other drawing part uses;
// threaded comments of cells whose comment was removed go too. When another sheet becomes the
// active one, the sheets' views are selected or deselected so that it alone is selected (only
// the tabSelected flag changes). Small parts ([Content_Types].xml, relationships, the workbook
// part) are edited whole. New parts (a sheet added on roll-over, the comments and drawing of a
// sheet that had none) are written from scratch.
//
// The editors use the part's own namespace prefix for the elements they add, so parts whose
// main namespace is bound to a prefix, and Strict parts, are continued like the others.

#include "changes.h"
#include "deflatesplice.h"
#include "xmlscan.h"

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace workbook
{

/// The author the program's comments are filed under.
inline constexpr std::string_view kNoteAuthor = "PTK71";

inline constexpr std::string_view kMainNs =
    "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view kStrictMainNs = "http://purl.oclc.org/ooxml/spreadsheetml/main";
inline constexpr std::string_view kRelNs =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kStrictRelNs =
    "http://purl.oclc.org/ooxml/officeDocument/relationships";
inline constexpr std::string_view kPackageRelNs =
    "http://schemas.openxmlformats.org/package/2006/relationships";

/// The relationship type URIs (transitional) by their last segment.
std::string RelType(std::string_view last, bool strict = false);
/// True when a relationship type URI ends in "/<last>".
bool RelTypeIs(std::string_view type, std::string_view last);

// ---------------------------------------------------------------------------------------------
// Streaming editors

/// What an edit does to the selection of a sheet (the tabSelected flag of its views). A
/// workbook should have exactly one selected sheet, the active one: sheets selected besides it
/// open as a group, and what the user then types lands on all of them.
enum class SheetSelection : std::uint8_t {
    Keep,     ///< the views stay as they are
    Select,   ///< the first view is selected (a view is added when the sheet has none)
    Deselect, ///< no view stays selected
};

/// Sets or clears the selection of a sheet's views as its opening elements stream past.
class ViewSelection
{
  public:
    explicit ViewSelection(SheetSelection want) : want_(want) {}
    struct Edit {
        std::string before;   ///< bytes to insert ahead of the token
        bool replace = false; ///< the token is replaced by `with`
        std::string with;
    };
    /// Every token of the part from its start, in order, until Done().
    Edit Step(const xml::Token &t);
    /// Nothing is left to change: the views (or the place they would have) are past.
    bool Done() const { return done_; }
    /// Some view was changed (with Deselect: the sheet was selected).
    bool Changed() const { return changed_; }

  private:
    std::string Views() const;
    SheetSelection want_;
    int depth_ = 0;
    bool inViews_ = false;
    bool seenViews_ = false;
    bool selectedOne_ = false;
    bool done_ = false;
    bool changed_ = false;
    std::string prefix_;
};

/// True when the views at the start of a worksheet or chartsheet part select it, false when
/// they do not; nullopt when `head` ends before that can be told (or is not XML).
std::optional<bool> SheetSelected(std::string_view head);

/// Changes only the selection of a worksheet or chartsheet part; every other byte stays.
class SheetViewEditor : public SpliceEditor
{
  public:
    explicit SheetViewEditor(SheetSelection selection) : selection_(selection) {}
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override;
    std::string Message() const override { return message_; }

  private:
    ViewSelection selection_;
    std::string message_;
};

/// Merges a sheet's changed rows into its worksheet part.
class SheetEditor : public SpliceEditor
{
  public:
    /// `legacyDrawingRelId`: when not empty, the sheet gets <legacyDrawing r:id="..."/>.
    SheetEditor(const SheetChanges &changes, const StringPool &strings,
                std::string legacyDrawingRelId, SheetSelection selection = SheetSelection::Keep);
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override;
    std::string Message() const override { return message_; }

  private:
    bool Prolog(std::string_view data, bool last, SpliceOps &ops, std::size_t &pos);
    bool Rows(std::string_view data, bool last, SpliceOps &ops, std::size_t &pos);
    bool Epilog(std::string_view data, bool last, SpliceOps &ops, std::size_t &pos);
    void EmitRowsBefore(int row, SpliceOps &ops); // change rows below `row` not yet written
    bool MergeRow(std::string_view rowXml, int row, std::string &out);
    bool Fail(std::string why);

    const SheetChanges &changes_;
    const StringPool &strings_;
    std::string legacyDrawingRelId_;
    enum class State { Prolog, Rows, Epilog, Done } state_ = State::Prolog;
    std::map<int, SheetChanges::Row>::const_iterator next_;
    std::string prefix_;    ///< the main namespace's prefix with its colon, or ""
    std::string relPrefix_; ///< prefix bound to the relationships namespace, or ""
    bool strict_ = false;
    int lastRow_ = 0;
    bool drawingDone_ = false;
    ViewSelection selection_;
    std::string scratch_;
    std::string message_;
};

/// Drops the comments of changed cells from a comments part and appends the new ones.
class CommentsEditor : public SpliceEditor
{
  public:
    CommentsEditor(const SheetChanges &changes, const StringPool &strings);
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override;
    std::string Message() const override { return message_; }

  private:
    void AppendNew(std::string &out) const;
    const SheetChanges &changes_;
    const StringPool &strings_;
    enum class State { Before, Authors, AfterAuthors, List, Done } state_ = State::Before;
    std::string prefix_;
    int authors_ = 0;
    int ourAuthor_ = -1;
    std::string message_;
};

/// Where new note shapes of a drawing part get their ids: blocks of 1024 ids listed in the
/// part's <o:idmap data="..."/>, chosen so no other drawing part of the workbook uses them.
struct ShapeIds {
    std::vector<int> newBlocks; ///< blocks to add to the part's idmap
    int firstId = 0;            ///< id of the first new shape (then consecutive)
    /// Number of ids available from firstId within the part's blocks.
    int capacity = 0;
};

/// Drops the note shapes of changed cells from a VML drawing part and appends the new ones.
class VmlEditor : public SpliceEditor
{
  public:
    VmlEditor(const SheetChanges &changes, const StringPool &strings, ShapeIds ids);
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override;
    std::string Message() const override { return message_; }
    /// Ids used by this edit (the next save continues after them).
    int NextId() const { return nextId_; }

  private:
    const SheetChanges &changes_;
    const StringPool &strings_;
    ShapeIds ids_;
    bool idmapDone_ = false;
    bool rootSeen_ = false;
    bool hasNoteType_ = false;
    int nextId_ = 0;
    std::string vPrefix_ = "v:", oPrefix_ = "o:", xPrefix_ = "x:";
    bool bindsStandardPrefixes_ = true;
    std::string message_;
};

/// Drops threaded comments at the cells whose comment is removed or replaced.
class ThreadedCommentsEditor : public SpliceEditor
{
  public:
    explicit ThreadedCommentsEditor(const SheetChanges &changes);
    bool Consume(std::string_view data, bool last, SpliceOps &ops) override;
    std::string Message() const override { return message_; }

  private:
    const SheetChanges &changes_;
    std::string message_;
};

// ---------------------------------------------------------------------------------------------
// New parts

/// A worksheet holding only the changes (empty rows when `changes` is null); `selected` gives it
/// a selected view.
void WriteNewSheet(ByteSink &out, const SheetChanges *changes, const StringPool &strings,
                   bool strict, std::string_view legacyDrawingRelId, bool selected = false);
/// A comments part with the Set notes of `changes`.
void WriteNewComments(ByteSink &out, const SheetChanges &changes, const StringPool &strings,
                      bool strict);
/// A VML drawing part with the note shapes of `changes`.
void WriteNewVml(ByteSink &out, const SheetChanges &changes, const StringPool &strings,
                 const ShapeIds &ids);
/// The idmap blocks a VML part declares (from the start of the part).
std::vector<int> VmlBlocks(std::string_view vmlHead);
/// Number of Set notes.
int CountNotes(const SheetChanges &changes);

// ---------------------------------------------------------------------------------------------
// Small parts, edited whole. Each returns false (and leaves `out` undefined) for a part that is
// not what it should be.

struct NewOverride {
    std::string partName; ///< without the leading '/'
    std::string contentType;
};
bool EditContentTypes(std::string_view xml, const std::set<std::string> &removeParts,
                      const std::vector<NewOverride> &add, bool needVmlDefault, std::string &out);

struct NewRelationship {
    std::string id;
    std::string type;
    std::string target;
};
/// Removes relationships whose type ends in one of `removeTypes`, and appends `add` (ids taken
/// by FreshRelIds).
bool EditRels(std::string_view xml, const std::vector<std::string> &removeTypes,
              const std::vector<NewRelationship> &add, std::string &out);
/// A new relationships part.
std::string NewRels(const std::vector<NewRelationship> &rels);
/// `count` relationship ids not used in `xml` ("rId7", "rId8", ...).
std::vector<std::string> FreshRelIds(std::string_view xml, int count);

struct SheetEntryEdit {
    bool isNew = false;
    std::string name; ///< new sheets
    std::uint32_t sheetId = 0;
    std::string relId;        ///< new sheets
    std::size_t oldIndex = 0; ///< position in the old <sheets> (old sheets)
};
/// Rewrites <sheets> in the order given, sets the active tab (and moves the first tab shown back
/// to it when it lies beyond), shifts the sheet-local defined names past inserted sheets, and
/// asks for a full recalculation on load.
bool EditWorkbookXml(std::string_view xml, const std::vector<SheetEntryEdit> &sheets, int activeTab,
                     std::string &out);

} // namespace workbook

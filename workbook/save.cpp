#include "save.h"

#include "deflatesplice.h"
#include "sheetpatch.h"
#include "xmlscan.h"
#include "zipwrite.h"

#include <xlsxwriter.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

namespace workbook
{

namespace
{

constexpr std::uint64_t kSmallPartCap = 64ull << 20;
constexpr char kCommentsType[] =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.comments+xml";
constexpr char kWorksheetType[] =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";

std::string TempPrefix(const std::string &path)
{
    return "." + FileOf(path) + ".ptk71-save-";
}

std::string Errno()
{
    return std::strerror(errno);
}

// A sink that appends to a string (small parts).
class StringSink : public ByteSink
{
  public:
    bool Write(const char *data, std::size_t n) override
    {
        text.append(data, n);
        return true;
    }
    std::string text;
};

// Records the splice ops of an editor run, for a part that is edited whole.
class ApplyOps : public SpliceOps
{
  public:
    ApplyOps(std::string_view old, std::string &out) : old_(old), out_(out) {}
    void Copy(std::uint64_t n) override
    {
        out_.append(old_.substr(at_, n));
        at_ += n;
    }
    void Skip(std::uint64_t n) override { at_ += n; }
    void Insert(std::string_view bytes) override { out_.append(bytes); }

  private:
    std::string_view old_;
    std::string &out_;
    std::size_t at_ = 0;
};

bool ReadSmall(Package &pkg, const std::string &part, std::string &out, std::string *error)
{
    const PackageEntry *e = pkg.Find(part);
    if (e == nullptr) {
        if (error != nullptr)
            *error = "part \"" + part + "\" is missing";
        return false;
    }
    return pkg.ReadPart(*e, out, kSmallPartCap, error);
}

bool Fail(std::string *error, std::string why)
{
    if (error != nullptr)
        *error = std::move(why);
    return false;
}

std::string AttrValue(std::string_view attrs, std::string_view name)
{
    const auto raw = xml::RawAttr(attrs, name);
    return raw ? xml::Unescape(*raw).value_or(std::string(*raw)) : std::string();
}

std::string AttrLocal(std::string_view attrs, std::string_view local)
{
    const auto raw = xml::RawAttrLocal(attrs, local);
    return raw ? xml::Unescape(*raw).value_or(std::string(*raw)) : std::string();
}

const Rel *FindRelOfType(const std::vector<Rel> &rels, std::string_view last)
{
    for (const Rel &r : rels) {
        if (RelTypeIs(r.type, last))
            return &r;
    }
    return nullptr;
}

// A part name "<stem><n><ext>" not used in the package nor in `taken` (lower-case names).
std::string FreshPartName(const Package *pkg, std::set<std::string> &taken, const std::string &stem,
                          const std::string &ext)
{
    for (int n = 1;; ++n) {
        std::string name = stem + std::to_string(n) + ext;
        const std::string lower = AsciiLower(name);
        if ((pkg == nullptr || pkg->Find(name) == nullptr) && taken.count(lower) == 0) {
            taken.insert(lower);
            return name;
        }
    }
}

// Whether the views at the start of a sheet part select the sheet; nullopt when the part cannot
// be read or its views are not near its start (it is then left as it is).
std::optional<bool> HeadSelected(Package &pkg, const std::string &part)
{
    const PackageEntry *e = pkg.Find(part);
    if (e == nullptr || e->encrypted)
        return std::nullopt;
    auto src = pkg.OpenPart(*e);
    std::string head(64 * 1024, '\0');
    std::size_t got = 0;
    while (got < head.size()) {
        const std::int64_t n = src->Read(head.data() + got, head.size() - got);
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    head.resize(got);
    return SheetSelected(head);
}

ZipEntryMeta NewMeta(const std::string &name)
{
    ZipEntryMeta m;
    m.name = name;
    m.utf8Name = false;
    DosDateTime(static_cast<std::int64_t>(std::time(nullptr)), m.dosDate, m.dosTime);
    return m;
}

ZipEntryMeta MetaLike(const PackageEntry &e)
{
    ZipEntryMeta m = e;
    m.method = 8;
    return m;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Structure

namespace
{

// The time budget of one structure read. Reading and scanning the first megabyte of structure
// parts is free (a workbook with thousands of sheets fits), so a slow moment of the machine
// can never make a file of ours unreadable; past that the clock is looked at every 64 KiB of
// work, together with the package's own cancellation.
class StructureClock
{
  public:
    explicit StructureClock(const Package &package)
        : limits_(package.Limits()),
          deadline_(std::chrono::steady_clock::now() + limits_.structureBudget)
    {
    }
    /// Counts `bytes` of work; true once the budget is spent.
    bool Charge(std::size_t bytes)
    {
        work_ += bytes;
        if (work_ < kFree || work_ < nextLook_)
            return false;
        nextLook_ = work_ + kLookEvery;
        expired_ =
            expired_ ||
            (limits_.structureBudget.count() > 0 && std::chrono::steady_clock::now() > deadline_) ||
            (limits_.cancelled && limits_.cancelled());
        return expired_;
    }
    static constexpr char kRefused[] =
        "the workbook's structure takes too long to read (refused as a crafted file)";

  private:
    static constexpr std::uint64_t kFree = 1u << 20;
    static constexpr std::uint64_t kLookEvery = 64u << 10;
    const ReadLimits &limits_;
    std::chrono::steady_clock::time_point deadline_;
    std::uint64_t work_ = 0;
    std::uint64_t nextLook_ = 0;
    bool expired_ = false;
};

// Reads a whole small part, on the clock.
bool ReadTimed(Package &package, const std::string &part, std::string &out, StructureClock &clock,
               std::string *error)
{
    out.clear();
    const PackageEntry *e = package.Find(part);
    if (e == nullptr)
        return Fail(error, "part \"" + part + "\" is missing");
    if (e->uncompressedSize > kSmallPartCap)
        return Fail(error, "part \"" + e->name + "\" is too large");
    out.reserve(static_cast<std::size_t>(e->uncompressedSize));
    auto src = package.OpenPart(*e);
    char buffer[1 << 16];
    for (;;) {
        const std::int64_t n = src->Read(buffer, sizeof buffer);
        if (n < 0)
            return Fail(error, "part \"" + e->name + "\": " + src->Error());
        if (n == 0)
            return true;
        out.append(buffer, static_cast<std::size_t>(n));
        if (clock.Charge(static_cast<std::size_t>(n)))
            return Fail(error, StructureClock::kRefused);
    }
}

bool ReadRelsTimed(Package &package, std::string_view sourcePart, std::vector<Rel> &out,
                   StructureClock &clock, std::string *error)
{
    out.clear();
    const std::string relsPart = RelsPartOf(sourcePart);
    if (package.Find(relsPart) == nullptr)
        return true;
    std::string text;
    if (!ReadTimed(package, relsPart, text, clock, error))
        return false;
    std::size_t pos = 0;
    while (pos < text.size()) {
        const xml::Token t = xml::Next(text, pos, true);
        if (t.kind == xml::TokenKind::Error || t.kind == xml::TokenKind::Incomplete)
            return Fail(error, "part \"" + relsPart + "\" is not well-formed XML");
        pos = t.end;
        if (clock.Charge(t.end - t.begin))
            return Fail(error, StructureClock::kRefused);
        if ((t.kind == xml::TokenKind::StartTag || t.kind == xml::TokenKind::EmptyTag) &&
            xml::LocalName(t.name) == "Relationship") {
            if (AttrValue(t.attrs, "TargetMode") == "External")
                continue;
            out.push_back({AttrValue(t.attrs, "Id"), AttrValue(t.attrs, "Type"),
                           ResolveTarget(sourcePart, AttrValue(t.attrs, "Target"))});
        }
    }
    return true;
}

} // namespace

bool ReadRels(Package &package, std::string_view sourcePart, std::vector<Rel> &out,
              std::string *error)
{
    StructureClock clock(package);
    return ReadRelsTimed(package, sourcePart, out, clock, error);
}

bool ReadStructure(Package &package, WorkbookStructure &out, std::string *error)
{
    out = WorkbookStructure();
    StructureClock clock(package);
    std::vector<Rel> root;
    if (!ReadRelsTimed(package, "", root, clock, error))
        return false;
    const Rel *office = FindRelOfType(root, "officeDocument");
    if (office == nullptr || package.Find(office->target) == nullptr)
        return Fail(error, "the file holds no workbook");
    out.workbookPart = office->target;
    std::vector<Rel> rels;
    if (!ReadRelsTimed(package, out.workbookPart, rels, clock, error))
        return false;
    if (const Rel *sst = FindRelOfType(rels, "sharedStrings"))
        out.sharedStringsPart = sst->target;
    // By id; of relationships sharing an id the last one counts.
    std::unordered_map<std::string_view, const Rel *> relById;
    relById.reserve(rels.size());
    for (const Rel &r : rels)
        relById.insert_or_assign(std::string_view(r.id), &r);
    std::string text;
    if (!ReadTimed(package, out.workbookPart, text, clock, error))
        return false;
    std::size_t pos = 0;
    bool inSheets = false;
    std::set<std::uint32_t> ids;
    while (pos < text.size()) {
        const xml::Token t = xml::Next(text, pos, true);
        if (t.kind == xml::TokenKind::Error || t.kind == xml::TokenKind::Incomplete)
            return Fail(error, "the workbook part is not well-formed XML");
        pos = t.end;
        if (clock.Charge(t.end - t.begin))
            return Fail(error, StructureClock::kRefused);
        const bool tag = t.kind == xml::TokenKind::StartTag || t.kind == xml::TokenKind::EmptyTag;
        const auto local = xml::LocalName(t.name);
        if (tag && local == "workbook") {
            out.strict = t.attrs.find(kStrictMainNs) != std::string_view::npos;
        } else if (tag && local == "sheets") {
            inSheets = t.kind == xml::TokenKind::StartTag;
        } else if (t.kind == xml::TokenKind::EndTag && local == "sheets") {
            inSheets = false;
        } else if (tag && inSheets && local == "sheet") {
            SheetInfo s;
            s.name = xml::DecodeEscapes(AttrValue(t.attrs, "name"));
            long long id = 0;
            const std::string idText = AttrValue(t.attrs, "sheetId");
            if (std::from_chars(idText.data(), idText.data() + idText.size(), id).ec !=
                    std::errc() ||
                id <= 0 || id > 0x7FFFFFFF || !ids.insert(static_cast<std::uint32_t>(id)).second)
                return Fail(error, "the workbook lists a sheet without a proper id");
            s.sheetId = static_cast<std::uint32_t>(id);
            const auto found = relById.find(AttrLocal(t.attrs, "id"));
            if (found == relById.end())
                return Fail(error, "sheet \"" + s.name + "\" has no part");
            const Rel *rel = found->second;
            s.kind = RelTypeIs(rel->type, "worksheet")    ? SheetKind::Worksheet
                     : RelTypeIs(rel->type, "chartsheet") ? SheetKind::Chartsheet
                                                          : SheetKind::Other;
            s.part = rel->target;
            s.inBase = true;
            s.baseIndex = out.sheets.size();
            if (s.kind == SheetKind::Worksheet && package.Find(s.part) == nullptr)
                return Fail(error, "part \"" + s.part + "\" is missing");
            out.sheets.push_back(std::move(s));
        } else if (tag && local == "workbookView" && out.activeTab == 0) {
            long long tab = 0;
            const std::string v = AttrValue(t.attrs, "activeTab");
            if (!v.empty() && std::from_chars(v.data(), v.data() + v.size(), tab).ec == std::errc())
                out.activeTab = static_cast<int>(std::max(0LL, tab));
        }
    }
    if (out.sheets.empty())
        return Fail(error, "the workbook has no sheets");
    out.activeTab = std::min(out.activeTab, static_cast<int>(out.sheets.size()) - 1);
    return true;
}

bool CellOfFile(const std::string &path, int position, int row, int column, CellValue &out,
                std::string *error)
{
    out = CellValue();
    auto pkg = Package::OpenPath(path, error);
    WorkbookStructure structure;
    if (!pkg || !ReadStructure(*pkg, structure, error))
        return false;
    if (position < 0 || position >= static_cast<int>(structure.sheets.size()))
        return Fail(error, "no such sheet");
    const PackageEntry *sheet =
        pkg->Find(structure.sheets[static_cast<std::size_t>(position)].part);
    if (sheet == nullptr)
        return Fail(error, "the sheet has no cells");
    SharedStrings strings(*pkg, structure.sharedStringsPart.empty()
                                    ? nullptr
                                    : pkg->Find(structure.sharedStringsPart));
    return ReadSheetRows(
        *pkg, *sheet, &strings, row, row,
        [&](int, std::vector<ReadCell> &cells) {
            for (ReadCell &c : cells) {
                if (c.column == column)
                    out = std::move(c.value);
            }
            return false;
        },
        error);
}

void RemoveSaveLeftovers(const std::string &path)
{
    const std::string folder = FolderOf(path);
    const std::string prefix = TempPrefix(path);
    DIR *dir = ::opendir(folder.c_str());
    if (dir == nullptr)
        return;
    while (const dirent *e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name.rfind(prefix, 0) == 0)
            ::unlink((folder + "/" + name).c_str());
    }
    ::closedir(dir);
}

// ---------------------------------------------------------------------------------------------
// A workbook never saved: written whole by the writer library

namespace
{

bool WriteFresh(const SaveInput &in, const std::string &tmpPath, std::string *error)
{
    lxw_workbook_options options{};
    options.constant_memory = LXW_TRUE; // rows are streamed in order, memory stays flat
    lxw_workbook *book = workbook_new_opt(tmpPath.c_str(), &options);
    if (book == nullptr)
        return Fail(error, "cannot start writing the workbook");
    lxw_error err = LXW_NO_ERROR;
    std::string what;
    for (std::size_t s = 0; s < in.sheets.size() && err == LXW_NO_ERROR; ++s) {
        const SheetInfo &info = in.sheets[s];
        lxw_worksheet *ws = workbook_add_worksheet(book, info.name.c_str());
        if (ws == nullptr) {
            err = LXW_ERROR_MEMORY_MALLOC_FAILED;
            what = "sheet \"" + info.name + "\"";
            break;
        }
        if (static_cast<int>(s) == in.active)
            worksheet_activate(ws);
        const SheetChanges *changes = in.changes ? in.changes->FindSheet(info.sheetId) : nullptr;
        if (changes == nullptr)
            continue;
        for (const auto &[row, cells] : changes->Rows()) {
            const auto r = static_cast<lxw_row_t>(row - 1);
            for (std::size_t c = 0; c < cells.size() && err == LXW_NO_ERROR; ++c) {
                const CellChange &cell = cells[c];
                const auto col = static_cast<lxw_col_t>(c);
                switch (cell.value) {
                case ValueChange::Number:
                    err = worksheet_write_number(ws, r, col, cell.number, nullptr);
                    break;
                case ValueChange::Text: {
                    const std::string text =
                        xml::EncodeForbidden(in.changes->strings.At(cell.text));
                    if (!text.empty())
                        err = worksheet_write_string(ws, r, col, text.c_str(), nullptr);
                    break;
                }
                case ValueChange::Boolean:
                    err = worksheet_write_boolean(ws, r, col, cell.number != 0, nullptr);
                    break;
                default:
                    break;
                }
                if (err == LXW_NO_ERROR && cell.note == NoteChange::Set) {
                    lxw_comment_options opt{};
                    opt.visible =
                        cell.noteVisible ? LXW_COMMENT_DISPLAY_VISIBLE : LXW_COMMENT_DISPLAY_HIDDEN;
                    opt.author = const_cast<char *>(kNoteAuthor.data());
                    const std::string text =
                        xml::EncodeForbidden(in.changes->strings.At(cell.noteText));
                    err = worksheet_write_comment_opt(ws, r, col, text.c_str(), &opt);
                }
                if (err != LXW_NO_ERROR)
                    what = "cell " + CellRef(row, static_cast<int>(c) + 1) + " of sheet \"" +
                           info.name + "\"";
            }
        }
    }
    const lxw_error closeErr = workbook_close(book);
    if (err == LXW_NO_ERROR)
        err = closeErr;
    if (err != LXW_NO_ERROR)
        return Fail(error,
                    std::string(lxw_strerror(err)) + (what.empty() ? "" : " (" + what + ")"));
    return true;
}

// Everything one package rewrite needs to know about one changed sheet.
struct SheetPlan {
    const SheetInfo *info = nullptr;
    const SheetChanges *changes = nullptr;
    bool isNew = false;
    std::string part;
    std::string relsPart;
    bool relsExists = false;
    std::vector<NewRelationship> newRels;
    std::string commentsPart;
    bool commentsNew = false;
    std::string vmlPart;
    bool vmlNew = false;
    std::string threadedPart;
    std::string legacyDrawingRelId; ///< set when the sheet gets its first drawing
    ShapeIds ids;
};

bool RewritePackage(const SaveInput &in, int outFd, SaveOutput &out, std::string *error)
{
    std::string why;
    // The file was opened already: its structure is read here whatever time that takes.
    ReadLimits readLimits;
    readLimits.structureBudget = {};
    auto pkg = Package::Open(in.baseFd, &why, readLimits);
    if (!pkg)
        return Fail(error, "cannot read the workbook: " + why);
    WorkbookStructure base;
    if (!ReadStructure(*pkg, base, error))
        return false;
    std::vector<Rel> bookRels;
    if (!ReadRels(*pkg, base.workbookPart, bookRels, error))
        return false;

    std::set<std::string> taken;
    std::vector<SheetPlan> plans;
    std::vector<NewOverride> overrides;
    bool needVml = false;
    std::map<std::string, std::string> editedSmall;            // lower part name -> new bytes
    std::set<std::string> dropped;                             // lower part names left out
    std::vector<std::pair<std::string, std::string>> newSmall; // name, bytes
    out.sheets = in.sheets;
    out.shapeIds = in.shapeIds;

    // calcChain goes: it would be stale once a cell changes.
    std::vector<std::string> removeBookRelTypes;
    if (const Rel *chain = FindRelOfType(bookRels, "calcChain")) {
        dropped.insert(AsciiLower(chain->target));
        removeBookRelTypes.push_back("calcChain");
    }

    // Blocks of note shape ids already declared by any drawing part.
    int maxBlock = 0;
    bool blocksScanned = false;
    auto scanBlocks = [&]() {
        if (blocksScanned)
            return;
        blocksScanned = true;
        for (const PackageEntry &e : pkg->Entries()) {
            if (!AsciiLower(e.name).ends_with(".vml"))
                continue;
            auto src = pkg->OpenPart(e);
            std::string head(16384, '\0');
            std::size_t got = 0;
            while (got < head.size()) {
                const std::int64_t n = src->Read(head.data() + got, head.size() - got);
                if (n <= 0)
                    break;
                got += static_cast<std::size_t>(n);
            }
            head.resize(got);
            for (int b : VmlBlocks(head))
                maxBlock = std::max(maxBlock, b);
        }
        for (const auto &[part, range] : in.shapeIds)
            maxBlock = std::max(maxBlock, (range.endId - 1) / 1024);
    };
    auto allocateIds = [&](const std::string &vmlPart, int notes) {
        ShapeIds ids;
        const std::string key = AsciiLower(vmlPart);
        auto it = out.shapeIds.find(key);
        if (it != out.shapeIds.end() && it->second.endId - it->second.nextId >= notes) {
            ids.firstId = it->second.nextId;
            ids.capacity = it->second.endId - it->second.nextId;
            it->second.nextId += notes;
            return ids;
        }
        scanBlocks();
        const int blocks = std::max(1, (notes + 1022) / 1023);
        for (int i = 1; i <= blocks; ++i)
            ids.newBlocks.push_back(maxBlock + i);
        ids.firstId = (maxBlock + 1) * 1024 + 1;
        ids.capacity = blocks * 1024 - 1;
        maxBlock += blocks;
        out.shapeIds[key] = ShapeIdRange{ids.firstId + notes, (maxBlock + 1) * 1024};
        return ids;
    };

    // Sheets with changes, and new sheets.
    std::vector<std::string> newSheetRelIds;
    int newSheets = 0;
    for (const SheetInfo &s : in.sheets)
        newSheets += s.inBase ? 0 : 1;
    std::string bookRelsText;
    const std::string bookRelsPart = RelsPartOf(base.workbookPart);
    if (pkg->Find(bookRelsPart) != nullptr && !ReadSmall(*pkg, bookRelsPart, bookRelsText, error))
        return false;
    const std::vector<std::string> freshBookIds = FreshRelIds(bookRelsText, newSheets);
    std::vector<NewRelationship> bookRelAdds;
    std::vector<SheetEntryEdit> entryEdits;
    int nextNewSheet = 0;

    for (SheetInfo &s : out.sheets) {
        const SheetChanges *changes = in.changes ? in.changes->FindSheet(s.sheetId) : nullptr;
        if (changes != nullptr && changes->Empty())
            changes = nullptr;
        SheetEntryEdit edit;
        if (!s.inBase) {
            edit.isNew = true;
            edit.name = s.name;
            edit.sheetId = s.sheetId;
            edit.relId = freshBookIds[static_cast<std::size_t>(nextNewSheet++)];
            SheetPlan plan;
            plan.info = &s;
            plan.changes = changes;
            plan.isNew = true;
            plan.part = FreshPartName(pkg.get(), taken, "xl/worksheets/sheet", ".xml");
            plan.relsPart = RelsPartOf(plan.part);
            bookRelAdds.push_back({edit.relId, RelType("worksheet", base.strict),
                                   RelativeTarget(base.workbookPart, plan.part)});
            overrides.push_back({plan.part, kWorksheetType});
            s.part = plan.part;
            plans.push_back(std::move(plan));
        } else {
            edit.oldIndex = s.baseIndex;
            if (changes != nullptr && s.kind == SheetKind::Worksheet) {
                SheetPlan plan;
                plan.info = &s;
                plan.changes = changes;
                plan.part = s.part;
                plan.relsPart = RelsPartOf(s.part);
                plans.push_back(std::move(plan));
            }
        }
        entryEdits.push_back(std::move(edit));
    }

    for (SheetPlan &plan : plans) {
        std::vector<Rel> rels;
        if (!plan.isNew && !ReadRels(*pkg, plan.part, rels, error))
            return false;
        plan.relsExists = !plan.isNew && pkg->Find(plan.relsPart) != nullptr;
        if (plan.changes == nullptr || !plan.changes->HasNoteChanges())
            continue;
        const int notes = CountNotes(*plan.changes);
        if (const Rel *c = FindRelOfType(rels, "comments"); c != nullptr && pkg->Find(c->target))
            plan.commentsPart = c->target;
        if (const Rel *v = FindRelOfType(rels, "vmlDrawing"); v != nullptr && pkg->Find(v->target))
            plan.vmlPart = v->target;
        if (const Rel *t = FindRelOfType(rels, "threadedComment");
            t != nullptr && pkg->Find(t->target))
            plan.threadedPart = t->target;
        if (notes == 0 && plan.commentsPart.empty())
            continue; // only removals, and there is nothing to remove from
        std::string relsText;
        if (plan.relsExists && !ReadSmall(*pkg, plan.relsPart, relsText, error))
            return false;
        std::vector<std::string> ids = FreshRelIds(relsText, 2);
        if (plan.commentsPart.empty()) {
            plan.commentsPart = FreshPartName(pkg.get(), taken, "xl/comments", ".xml");
            plan.commentsNew = true;
            plan.newRels.push_back({ids[0], RelType("comments", base.strict),
                                    RelativeTarget(plan.part, plan.commentsPart)});
            overrides.push_back({plan.commentsPart, kCommentsType});
        }
        if (plan.vmlPart.empty()) {
            plan.vmlPart = FreshPartName(pkg.get(), taken, "xl/drawings/vmlDrawing", ".vml");
            plan.vmlNew = true;
            plan.legacyDrawingRelId = ids[1];
            plan.newRels.push_back({ids[1], RelType("vmlDrawing", base.strict),
                                    RelativeTarget(plan.part, plan.vmlPart)});
            needVml = true;
        }
        plan.ids = allocateIds(plan.vmlPart, notes);
    }

    // Small parts.
    std::string contentTypes;
    if (!ReadSmall(*pkg, "[Content_Types].xml", contentTypes, error))
        return false;
    std::set<std::string> removeOverrides;
    for (const std::string &d : dropped)
        removeOverrides.insert(d);
    std::string edited;
    if (!EditContentTypes(contentTypes, removeOverrides, overrides, needVml, edited))
        return Fail(error, "the package's content types cannot be read");
    if (edited != contentTypes)
        editedSmall[AsciiLower("[Content_Types].xml")] = edited;

    if (!bookRelsText.empty() || !bookRelAdds.empty()) {
        if (bookRelsText.empty())
            edited = NewRels(bookRelAdds);
        else if (!EditRels(bookRelsText, removeBookRelTypes, bookRelAdds, edited))
            return Fail(error, "the workbook's relationships cannot be read");
        if (edited != bookRelsText) // an unchanged part is copied as it is stored
            editedSmall[AsciiLower(bookRelsPart)] = edited;
    }
    std::string bookXml;
    if (!ReadSmall(*pkg, base.workbookPart, bookXml, error))
        return false;
    if (!EditWorkbookXml(bookXml, entryEdits, in.active, edited))
        return Fail(error, "the workbook part cannot be edited");
    if (edited != bookXml)
        editedSmall[AsciiLower(base.workbookPart)] = edited;

    for (SheetPlan &plan : plans) {
        if (plan.newRels.empty())
            continue;
        if (plan.relsExists) {
            std::string relsText;
            if (!ReadSmall(*pkg, plan.relsPart, relsText, error) ||
                !EditRels(relsText, {}, plan.newRels, edited))
                return Fail(error, "the relationships of \"" + plan.part + "\" cannot be edited");
            editedSmall[AsciiLower(plan.relsPart)] = edited;
        } else {
            newSmall.emplace_back(plan.relsPart, NewRels(plan.newRels));
        }
    }

    // The selection follows the active sheet when that changes (a new sheet in front on
    // roll-over): the active sheet is selected and no other sheet stays selected, or the
    // application opens them as a group and the user's typing lands on all of them.
    const std::uint32_t activeId =
        in.active >= 0 && static_cast<std::size_t>(in.active) < out.sheets.size()
            ? out.sheets[static_cast<std::size_t>(in.active)].sheetId
            : 0;
    std::map<std::string, SheetSelection> selections; // lower part name -> edit
    if (activeId != 0 &&
        activeId != base.sheets[static_cast<std::size_t>(base.activeTab)].sheetId) {
        for (const SheetInfo &s : out.sheets) {
            if (!s.inBase || s.kind == SheetKind::Other)
                continue;
            const bool active = s.sheetId == activeId;
            const std::optional<bool> selected = HeadSelected(*pkg, s.part);
            if (selected && *selected != active)
                selections[AsciiLower(s.part)] =
                    active ? SheetSelection::Select : SheetSelection::Deselect;
        }
    }
    auto selectionOf = [&](const std::string &lowerPart) {
        auto it = selections.find(lowerPart);
        return it == selections.end() ? SheetSelection::Keep : it->second;
    };

    // Which streamed part gets which editor.
    struct Streamed {
        const SheetPlan *plan;
        enum class What { Sheet, Comments, Vml, Threaded, Selection } what;
    };
    std::map<std::string, Streamed> streamed;
    for (const auto &[part, selection] : selections)
        streamed[part] = {nullptr, Streamed::What::Selection};
    for (const SheetPlan &plan : plans) {
        if (plan.isNew || plan.changes == nullptr)
            continue;
        streamed[AsciiLower(plan.part)] = {&plan, Streamed::What::Sheet};
        if (!plan.commentsPart.empty() && !plan.commentsNew)
            streamed[AsciiLower(plan.commentsPart)] = {&plan, Streamed::What::Comments};
        if (!plan.vmlPart.empty() && !plan.vmlNew)
            streamed[AsciiLower(plan.vmlPart)] = {&plan, Streamed::What::Vml};
        if (!plan.threadedPart.empty())
            streamed[AsciiLower(plan.threadedPart)] = {&plan, Streamed::What::Threaded};
    }

    ZipWriter zip(outFd);
    SpliceLimits limits;
    if (!in.reuseBlocks)
        limits.maxRetained = 0;
    if (in.cancel != nullptr)
        limits.cancelled = [c = in.cancel] { return c->load(std::memory_order_relaxed); };
    static const StringPool noStrings;
    const StringPool &strings = in.changes ? in.changes->strings : noStrings;

    for (const PackageEntry &e : pkg->Entries()) {
        if (in.cancel != nullptr && in.cancel->load())
            return Fail(error, "cancelled");
        const std::string lower = AsciiLower(e.name);
        if (dropped.count(lower) > 0)
            continue;
        if (auto it = editedSmall.find(lower); it != editedSmall.end()) {
            if (!zip.AddEntry(MetaLike(e), it->second))
                return Fail(error, "cannot write the new file: " + zip.Error());
            continue;
        }
        if (auto it = streamed.find(lower); it != streamed.end()) {
            const SheetPlan *plan = it->second.plan; // null for a change of selection alone
            std::unique_ptr<SpliceEditor> editor;
            switch (it->second.what) {
            case Streamed::What::Sheet:
                editor = std::make_unique<SheetEditor>(
                    *plan->changes, strings, plan->legacyDrawingRelId, selectionOf(lower));
                break;
            case Streamed::What::Selection:
                editor = std::make_unique<SheetViewEditor>(selectionOf(lower));
                break;
            case Streamed::What::Comments:
                editor = std::make_unique<CommentsEditor>(*plan->changes, strings);
                break;
            case Streamed::What::Vml:
                editor = std::make_unique<VmlEditor>(*plan->changes, strings, plan->ids);
                break;
            case Streamed::What::Threaded:
                editor = std::make_unique<ThreadedCommentsEditor>(*plan->changes);
                break;
            }
            if (e.encrypted)
                return Fail(error, "part \"" + e.name + "\" is encrypted");
            const bool big = e.uncompressedSize > (1ull << 31);
            ByteSink *sink = zip.BeginRawEntry(MetaLike(e), big);
            if (sink == nullptr)
                return Fail(error, "cannot write the new file: " + zip.Error());
            auto raw = pkg->OpenRaw(e);
            const SpliceResult r = SplicePart(*raw, e.method, *editor, *sink, limits);
            if (!r.ok)
                return Fail(error, "part \"" + e.name + "\": " + r.error);
            if (r.oldCrc32 != e.crc32 || r.oldUncompressedSize != e.uncompressedSize)
                return Fail(error,
                            "part \"" + e.name + "\" is damaged (its checksum does not match)");
            if (!zip.FinishRawEntry(r.crc32, r.uncompressedSize))
                return Fail(error, "cannot write the new file: " + zip.Error());
            ++out.stats.partsSpliced;
            out.stats.bytesReused += r.reusedUncompressed;
            out.stats.bytesSpliced += r.uncompressedSize;
            continue;
        }
        auto raw = pkg->OpenRaw(e);
        if (!zip.AddRaw(e, *raw))
            return Fail(error, "cannot copy part \"" + e.name + "\": " + zip.Error());
        ++out.stats.partsCopied;
    }

    // New parts.
    for (const SheetPlan &plan : plans) {
        if (plan.isNew) {
            ByteSink *sink = zip.BeginEntry(NewMeta(plan.part), false);
            if (sink == nullptr)
                return Fail(error, "cannot write the new file: " + zip.Error());
            WriteNewSheet(*sink, plan.changes, strings, base.strict, plan.legacyDrawingRelId,
                          plan.info->sheetId == activeId);
            if (!zip.FinishEntry())
                return Fail(error, "cannot write the new file: " + zip.Error());
        }
        if (plan.commentsNew) {
            ByteSink *sink = zip.BeginEntry(NewMeta(plan.commentsPart), false);
            if (sink == nullptr)
                return Fail(error, "cannot write the new file: " + zip.Error());
            WriteNewComments(*sink, *plan.changes, strings, base.strict);
            if (!zip.FinishEntry())
                return Fail(error, "cannot write the new file: " + zip.Error());
        }
        if (plan.vmlNew) {
            ByteSink *sink = zip.BeginEntry(NewMeta(plan.vmlPart), false);
            if (sink == nullptr)
                return Fail(error, "cannot write the new file: " + zip.Error());
            WriteNewVml(*sink, *plan.changes, strings, plan.ids);
            if (!zip.FinishEntry())
                return Fail(error, "cannot write the new file: " + zip.Error());
        }
    }
    for (const auto &[name, bytes] : newSmall) {
        if (!zip.AddEntry(NewMeta(name), bytes))
            return Fail(error, "cannot write the new file: " + zip.Error());
    }
    if (!zip.Finish())
        return Fail(error, "cannot write the new file: " + zip.Error());
    // The new file lists the sheets in this order.
    for (std::size_t i = 0; i < out.sheets.size(); ++i) {
        out.sheets[i].inBase = true;
        out.sheets[i].baseIndex = i;
    }
    return true;
}

// Gives the new file the old one's permissions, and its owner and group where allowed.
void KeepOwnership(int fd, const std::optional<struct stat> &old)
{
    if (!old) {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        ::fchmod(fd, 0666 & ~mask);
        return;
    }
    if (::fchown(fd, old->st_uid, old->st_gid) != 0)
        (void)::fchown(fd, static_cast<uid_t>(-1), old->st_gid); // the group alone, if a member
    ::fchmod(fd, old->st_mode & 07777);
}

std::string KeptName(const std::string &path)
{
    char stamp[32];
    const std::time_t t = std::time(nullptr);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H-%M-%S", &tm);
    std::string stem = path;
    std::string ext;
    const std::size_t dot = path.rfind('.');
    if (dot != std::string::npos && dot > path.rfind('/') + 1) {
        stem = path.substr(0, dot);
        ext = path.substr(dot);
    }
    return stem + " (PTK71 " + stamp + ")" + ext;
}

} // namespace

namespace
{

// Writes the changes alone into a workbook of their own beside the original, when the
// original is no longer there to be continued.
bool KeepChangesAside(const SaveInput &in, SaveOutput &out, const std::string &why)
{
    out.keptAs = KeptName(in.destPath);
    SaveInput aside = in;
    aside.sheets.clear();
    for (const SheetInfo &s : in.sheets) {
        if (s.kind == SheetKind::Worksheet)
            aside.sheets.push_back(s);
    }
    aside.active = 0;
    std::string error;
    if (aside.sheets.empty() || !WriteFresh(aside, out.keptAs, &error)) {
        out.error = why + "; the rows could not be kept beside it (" + error +
                    "), they stay in the journal";
        out.keptAs.clear();
        return false;
    }
    out.error = why + "; it was not overwritten, the rows are kept in " + out.keptAs;
    return true;
}

} // namespace

SaveOutput SaveWorkbook(const SaveInput &in)
{
    SaveOutput out;
    const auto started = std::chrono::steady_clock::now();
    auto threadCpu = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
        return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
    };
    const double cpuStarted = threadCpu();
    auto finish = [&]() -> SaveOutput {
        out.stats.seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        out.stats.cpuSeconds = threadCpu() - cpuStarted;
        return std::move(out);
    };
    // The file the changes belong to must still be what it was when it was read: one rewritten
    // in place by somebody else cannot be continued.
    auto baseIntact = [&]() {
        return in.baseFd < 0 || !in.expect || FileIdentity::OfDescriptor(in.baseFd) == in.expect;
    };
    const std::string changedElsewhere =
        "the workbook " + in.destPath + " was changed by another program";
    if (!baseIntact()) {
        KeepChangesAside(in, out, changedElsewhere);
        return finish();
    }

    const std::string folder = FolderOf(in.destPath);
    std::string tmpPath = folder + "/" + TempPrefix(in.destPath) + "XXXXXX";
    const int fd = ::mkstemp(tmpPath.data());
    if (fd < 0) {
        out.error = "cannot create a file in " + folder + ": " + Errno();
        return finish();
    }
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    auto discard = [&](std::string why) {
        ::close(fd);
        ::unlink(tmpPath.c_str());
        out.error = std::move(why);
        return finish();
    };

    std::string error;
    bool written = false;
    if (in.baseFd < 0) {
        written = WriteFresh(in, tmpPath, &error);
        if (written) {
            // The writer numbers the sheets itself: take the structure as the file has it.
            std::string why;
            auto pkg = Package::Open(fd, &why);
            WorkbookStructure written0;
            if (!pkg || !ReadStructure(*pkg, written0, &why)) {
                written = false;
                error = "the new file cannot be read back: " + why;
            } else {
                out.sheets = written0.sheets;
            }
        }
    } else {
        written = RewritePackage(in, fd, out, &error);
        if (!written && in.reuseBlocks && baseIntact() &&
            error.find("cancelled") == std::string::npos &&
            error.find("cannot write") == std::string::npos) {
            // A splice that went wrong is redone without reusing old blocks.
            SaveInput again = in;
            again.reuseBlocks = false;
            if (::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0) {
                out = SaveOutput();
                std::string second;
                written = RewritePackage(again, fd, out, &second);
                out.stats.fellBack = true;
                if (!written)
                    error += "; again without reuse: " + second;
            }
        }
    }
    if (!baseIntact()) {
        ::close(fd);
        ::unlink(tmpPath.c_str());
        KeepChangesAside(in, out, changedElsewhere);
        return finish();
    }
    if (!written)
        return discard("cannot save " + in.destPath + ": " + error);
    if (::fsync(fd) != 0)
        return discard("cannot save " + in.destPath + ": " + Errno());

    struct stat st {
    };
    std::optional<struct stat> old;
    if (::stat(in.destPath.c_str(), &st) == 0)
        old = st;
    // The file at the path must still be the one that was read (it may have been replaced by
    // another file meanwhile, whose content our descriptor does not see).
    auto replacedMeanwhile = [&]() {
        return in.expect && FileIdentity::OfPath(in.destPath) != in.expect;
    };
    KeepOwnership(fd, old);
    const auto newBase = JournalBase::Of(fd);
    if (!newBase)
        return discard("cannot save " + in.destPath + ": " + Errno());
    out.base = *newBase;
    if (replacedMeanwhile()) {
        // Our file is complete and correct: it is kept, under a name of its own.
        out.keptAs = KeptName(in.destPath);
        if (::rename(tmpPath.c_str(), out.keptAs.c_str()) != 0)
            return discard("the workbook " + in.destPath +
                           " was replaced by another program, and "
                           "the rows could not be kept beside it: " +
                           Errno());
        ::close(fd);
        out.error = "the workbook " + in.destPath +
                    " was replaced by another program; it was not "
                    "overwritten, the rows are kept in " +
                    out.keptAs;
        return finish();
    }
    if (in.journal != nullptr && !in.journal->Rebase(in.throughSeq, out.base, &error))
        return discard("cannot save " + in.destPath + ": " + error);
    if (replacedMeanwhile() || ::rename(tmpPath.c_str(), in.destPath.c_str()) != 0) {
        // Nothing replaced: the journal still matches the old file, the rebase record is never
        // used.
        return discard("cannot replace " + in.destPath + ": " + Errno());
    }
    SyncFolder(folder);
    // Should the rewrite fail, the journal as it is still replays correctly on the new file: its
    // rebase record names it, and the records above throughSeq apply wherever they stand.
    if (in.journal != nullptr && !in.journal->Compact(in.throughSeq, out.base, &error))
        std::fprintf(stderr, "ptk71: %s\n", error.c_str());
    out.fd = fd;
    out.ok = true;
    return finish();
}

} // namespace workbook

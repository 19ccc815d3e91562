#include "document.h"

#include "sheetpatch.h"

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace workbook
{

namespace
{

// Without window-system hooks, waiting sleeps on a condition variable the save thread signals.
struct PlainWaiter {
    std::mutex mutex;
    std::condition_variable cv;
    bool woken = false;
};

PlainWaiter &Waiter()
{
    static PlainWaiter w;
    return w;
}

EventHooks &Hooks()
{
    static EventHooks hooks;
    return hooks;
}

void Wake()
{
    if (Hooks().wake) {
        Hooks().wake();
        return;
    }
    std::lock_guard<std::mutex> lock(Waiter().mutex);
    Waiter().woken = true;
    Waiter().cv.notify_all();
}

void WaitForEvents()
{
    if (Hooks().waitForEvents) {
        Hooks().waitForEvents();
        return;
    }
    std::unique_lock<std::mutex> lock(Waiter().mutex);
    Waiter().cv.wait_for(lock, std::chrono::milliseconds(50), [] { return Waiter().woken; });
    Waiter().woken = false;
}

bool SetError(std::string *error, std::string why)
{
    if (error != nullptr)
        *error = std::move(why);
    return false;
}

// The change of a cell in the newest layer that has one.
const CellChange *Newest(const std::vector<const ChangeSet *> &layers, std::uint32_t sheet, int row,
                         int column, bool value, const ChangeSet **owner)
{
    for (const ChangeSet *layer : layers) {
        if (layer == nullptr)
            continue;
        const SheetChanges *s = layer->FindSheet(sheet);
        const CellChange *c = s != nullptr ? s->Find(row, column) : nullptr;
        if (c != nullptr && (value ? c->value != ValueChange::Keep : c->note != NoteChange::Keep)) {
            *owner = layer;
            return c;
        }
    }
    return nullptr;
}

} // namespace

void SetEventHooks(EventHooks hooks)
{
    Hooks() = std::move(hooks);
}

namespace
{
SaveStats g_lastSave;
std::uint64_t g_saves = 0;
} // namespace

SaveStats LastFinishedSave()
{
    return g_lastSave;
}

std::uint64_t FinishedSaves()
{
    return g_saves;
}

// A save running on its own thread.
struct Document::Job {
    std::thread thread;
    std::atomic<bool> done{false};
    std::atomic<bool> cancel{false};
    SaveOutput out;
    bool fresh = false;
    ~Job()
    {
        if (thread.joinable())
            thread.join();
    }
};

// ---------------------------------------------------------------------------------------------
// Opening

bool Document::OpenBase(int fd, std::string *error)
{
    ReadLimits limits;
    limits.cancelled = [this] { return std::chrono::steady_clock::now() > deadline_; };
    std::string why;
    deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    auto pkg = Package::Open(fd, &why, limits);
    if (!pkg)
        return SetError(error, why);
    basePkg_ = std::move(pkg);
    strings_.reset();
    return true;
}

bool Document::LookupAllowed() const
{
    return basePkg_ != nullptr;
}

std::unique_ptr<Document> Document::New()
{
    std::unique_ptr<Document> doc(new Document);
    SheetInfo s;
    s.sheetId = 1;
    s.name = "Sheet1";
    doc->sheets_.push_back(s);
    return doc;
}

std::unique_ptr<Document> Document::Open(const std::string &path, std::string *error)
{
    std::string why;
    auto lock = WorkbookLock::Acquire(path, &why);
    if (!lock)
        return SetError(error, "cannot open " + path + ": " + why), nullptr;
    // Only a crashed save or journal rewrite of ours leaves these, and we hold the lock.
    RemoveSaveLeftovers(path);
    Journal::RemoveLeftovers(path);
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return SetError(error, "cannot open " + path + ": " + std::strerror(errno)), nullptr;
    std::unique_ptr<Document> doc(new Document);
    doc->path_ = path;
    doc->lock_ = std::move(lock);
    doc->baseFd_ = fd;
    const auto base = JournalBase::Of(fd);
    if (!base)
        return SetError(error, "cannot read " + path + ": " + std::strerror(errno)), nullptr;
    doc->baseId_ = *base;
    if (!doc->OpenBase(fd, &why))
        return SetError(error, "cannot read " + path + ": " + why), nullptr;
    WorkbookStructure structure;
    doc->deadline_ = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    if (!ReadStructure(*doc->basePkg_, structure, &why))
        return SetError(error, "cannot read " + path + ": " + why), nullptr;
    doc->sheets_ = structure.sheets;
    doc->active_ = structure.activeTab;
    doc->sharedStringsPart_ = structure.sharedStringsPart;

    Document *d = doc.get();
    const ReplayResult replay =
        ReadJournal(path, doc->baseId_, [d](const JournalRecord &r) { d->Apply(r); });
    switch (replay.status) {
    case ReplayResult::Status::Failed:
        return SetError(error, "cannot open " + path + ": " + replay.error), nullptr;
    case ReplayResult::Status::Moved:
        std::fprintf(stderr,
                     "ptk71: the journal of %s belongs to another version of that file and was not "
                     "applied; it is kept as %s\n",
                     path.c_str(), replay.recoveryPath.c_str());
        break;
    case ReplayResult::Status::Applied:
        if (replay.applied > 0)
            std::fprintf(stderr,
                         "ptk71: %zu unsaved changes of %s were recovered from its journal\n",
                         replay.applied, path.c_str());
        break;
    case ReplayResult::Status::None:
        break;
    }
    doc->journal_ = Journal::Continue(path, doc->baseId_, replay, &why);
    if (!doc->journal_)
        return SetError(error, "cannot open " + path + ": " + why), nullptr;
    doc->journal_->SetDurableCallback(Wake);
    return doc;
}

Document::~Document()
{
    if (!closed_)
        Discard();
    if (baseFd_ >= 0)
        ::close(baseFd_);
}

// ---------------------------------------------------------------------------------------------
// Structure

int Document::IndexOf(std::uint32_t sheetId) const
{
    for (std::size_t i = 0; i < sheets_.size(); ++i) {
        if (sheets_[i].sheetId == sheetId)
            return static_cast<int>(i);
    }
    return -1;
}

int Document::WorksheetPosition(int n) const
{
    int seen = 0;
    for (std::size_t i = 0; i < sheets_.size(); ++i) {
        if (sheets_[i].kind == SheetKind::Worksheet && ++seen == n)
            return static_cast<int>(i);
    }
    return -1;
}

std::uint32_t Document::AddWorksheet(int position)
{
    JournalRecord r;
    r.type = JournalRecord::Type::AddSheet;
    std::uint32_t id = 0;
    for (const SheetInfo &s : sheets_)
        id = std::max(id, s.sheetId);
    r.sheet = id + 1;
    r.row = static_cast<std::uint32_t>(std::clamp(position, 0, static_cast<int>(sheets_.size())));
    // "Sheet<n>" with n past the sheet count and every such name in use.
    auto lower = [](std::string s) { return AsciiLower(s); };
    int n = static_cast<int>(sheets_.size()) + 1;
    for (;; ++n) {
        const std::string name = "sheet" + std::to_string(n);
        if (std::none_of(sheets_.begin(), sheets_.end(),
                         [&](const SheetInfo &s) { return lower(s.name) == name; }))
            break;
    }
    r.text = "Sheet" + std::to_string(n);
    Apply(r);
    Log(r);
    return r.sheet;
}

void Document::SetActive(int index)
{
    JournalRecord r;
    r.type = JournalRecord::Type::SetActive;
    r.row = static_cast<std::uint32_t>(std::clamp(index, 0, static_cast<int>(sheets_.size()) - 1));
    Apply(r);
    Log(r);
}

// ---------------------------------------------------------------------------------------------
// Changes: applied to the current layer and journaled

std::uint64_t Document::Log(JournalRecord r)
{
    if (journal_ == nullptr)
        return 0;
    return journal_->Append(std::move(r));
}

void Document::Apply(const JournalRecord &r)
{
    using T = JournalRecord::Type;
    const int row = static_cast<int>(r.row);
    const int column = static_cast<int>(r.column);
    const bool cell = r.type != T::AddSheet && r.type != T::SetActive && r.type != T::Rebase;
    if (cell && (!InSheet(row, column) || IndexOf(r.sheet) < 0))
        return; // a record that does not fit this workbook is not applied
    switch (r.type) {
    case T::Number:
        current_->SetNumber(r.sheet, row, column, r.number);
        break;
    case T::Text:
        current_->SetText(r.sheet, row, column, r.text);
        break;
    case T::Boolean:
        current_->SetBoolean(r.sheet, row, column, r.flag);
        break;
    case T::Empty:
        current_->ClearValue(r.sheet, row, column);
        break;
    case T::Note:
        current_->SetNote(r.sheet, row, column, r.text, r.flag);
        break;
    case T::NoteRemoved:
        current_->RemoveNote(r.sheet, row, column);
        break;
    case T::NoteVisible:
        current_->SetNoteVisible(r.sheet, row, column, r.flag);
        break;
    case T::AddSheet: {
        if (IndexOf(r.sheet) >= 0)
            return;
        SheetInfo s;
        s.sheetId = r.sheet;
        s.name = r.text;
        const auto at = std::min<std::size_t>(r.row, sheets_.size());
        sheets_.insert(sheets_.begin() + static_cast<std::ptrdiff_t>(at), s);
        active_ = static_cast<int>(at);
        structureChanged_ = true;
        if (listener_ != nullptr)
            listener_->StructureChanged();
        return;
    }
    case T::SetActive:
        if (r.row < sheets_.size()) {
            active_ = static_cast<int>(r.row);
            structureChanged_ = true;
            if (listener_ != nullptr)
                listener_->StructureChanged();
        }
        return;
    case T::Rebase:
        return;
    }
    if (listener_ != nullptr)
        listener_->CellChanged(r.sheet, row, column);
}

namespace
{

JournalRecord CellRecord(JournalRecord::Type type, std::uint32_t sheet, int row, int column)
{
    JournalRecord r;
    r.type = type;
    r.sheet = sheet;
    r.row = static_cast<std::uint32_t>(row);
    r.column = static_cast<std::uint32_t>(column);
    return r;
}

} // namespace

void Document::SetNumber(std::uint32_t sheet, int row, int column, double value)
{
    JournalRecord r = CellRecord(JournalRecord::Type::Number, sheet, row, column);
    r.number = value;
    Apply(r);
    Log(std::move(r));
}

void Document::SetText(std::uint32_t sheet, int row, int column, const std::string &text)
{
    JournalRecord r = CellRecord(JournalRecord::Type::Text, sheet, row, column);
    r.text = text;
    Apply(r);
    Log(std::move(r));
}

void Document::SetBoolean(std::uint32_t sheet, int row, int column, bool value)
{
    JournalRecord r = CellRecord(JournalRecord::Type::Boolean, sheet, row, column);
    r.flag = value;
    Apply(r);
    Log(std::move(r));
}

void Document::ClearValue(std::uint32_t sheet, int row, int column)
{
    JournalRecord r = CellRecord(JournalRecord::Type::Empty, sheet, row, column);
    Apply(r);
    Log(std::move(r));
}

void Document::SetNote(std::uint32_t sheet, int row, int column, const std::string &text,
                       bool visible)
{
    JournalRecord r = CellRecord(JournalRecord::Type::Note, sheet, row, column);
    r.text = text;
    r.flag = visible;
    Apply(r);
    Log(std::move(r));
}

void Document::RemoveNote(std::uint32_t sheet, int row, int column)
{
    JournalRecord r = CellRecord(JournalRecord::Type::NoteRemoved, sheet, row, column);
    Apply(r);
    Log(std::move(r));
}

void Document::SetNoteVisible(std::uint32_t sheet, int row, int column, bool visible)
{
    const SheetChanges *changes = current_->FindSheet(sheet);
    const CellChange *c = changes != nullptr ? changes->Find(row, column) : nullptr;
    if (c != nullptr && c->note == NoteChange::Set) {
        if (c->noteVisible == visible)
            return;
        JournalRecord r = CellRecord(JournalRecord::Type::NoteVisible, sheet, row, column);
        r.flag = visible;
        Apply(r);
        Log(std::move(r));
        return;
    }
    // A comment of the file or of an earlier layer: set again, with its text.
    std::optional<std::string> text;
    if (Note(sheet, row, column, text, nullptr) && text)
        SetNote(sheet, row, column, *text, visible);
}

// ---------------------------------------------------------------------------------------------
// Lookups

std::vector<const ChangeSet *> Document::Layers() const
{
    return {current_.get(), saving_.get(), recent_.get()};
}

bool Document::Value(std::uint32_t sheet, int row, int column, CellValue &out, std::string *error)
{
    out = CellValue();
    const ChangeSet *owner = nullptr;
    if (const CellChange *c = Newest(Layers(), sheet, row, column, true, &owner)) {
        switch (c->value) {
        case ValueChange::Number:
            out.kind = CellValue::Kind::Number;
            out.number = c->number;
            break;
        case ValueChange::Boolean:
            out.kind = CellValue::Kind::Boolean;
            out.number = c->number;
            break;
        case ValueChange::Text:
            out.kind = CellValue::Kind::Text;
            out.text = std::string(owner->strings.At(c->text));
            break;
        default:
            break;
        }
        return true;
    }
    const int index = IndexOf(sheet);
    if (index < 0 || !sheets_[static_cast<std::size_t>(index)].inBase || !LookupAllowed())
        return true;
    const SheetInfo &info = sheets_[static_cast<std::size_t>(index)];
    const PackageEntry *entry = basePkg_->Find(info.part);
    if (entry == nullptr || info.kind != SheetKind::Worksheet)
        return true;
    if (!strings_)
        strings_ = std::make_unique<SharedStrings>(
            *basePkg_, sharedStringsPart_.empty() ? nullptr : basePkg_->Find(sharedStringsPart_));
    deadline_ = std::chrono::steady_clock::now() + kLookupBudget;
    std::string why;
    const bool ok = ReadSheetRows(
        *basePkg_, *entry, strings_.get(), row, row,
        [&](int, std::vector<ReadCell> &cells) {
            for (ReadCell &c : cells) {
                if (c.column == column)
                    out = std::move(c.value);
            }
            return false;
        },
        &why);
    if (!ok) {
        strings_.reset(); // it may stand in the middle of a read that was cut short
        return SetError(error, "cell " + CellRef(row, column) + " cannot be read: " + why);
    }
    return true;
}

bool Document::Note(std::uint32_t sheet, int row, int column, std::optional<std::string> &text,
                    std::string *error)
{
    text.reset();
    const ChangeSet *owner = nullptr;
    if (const CellChange *c = Newest(Layers(), sheet, row, column, false, &owner)) {
        if (c->note == NoteChange::Set)
            text = std::string(owner->strings.At(c->noteText));
        return true;
    }
    const int index = IndexOf(sheet);
    if (index < 0 || !sheets_[static_cast<std::size_t>(index)].inBase || !LookupAllowed())
        return true;
    const SheetInfo &info = sheets_[static_cast<std::size_t>(index)];
    deadline_ = std::chrono::steady_clock::now() + kLookupBudget;
    std::vector<Rel> rels;
    std::string why;
    if (!ReadRels(*basePkg_, info.part, rels, &why))
        return SetError(error, why);
    for (const Rel &r : rels) {
        if (!RelTypeIs(r.type, "comments"))
            continue;
        const PackageEntry *entry = basePkg_->Find(r.target);
        if (entry == nullptr)
            break;
        const bool ok = ReadNotes(
            *basePkg_, *entry, row, row,
            [&](int, int c, const std::string &t) {
                if (c == column)
                    text = t;
                return !text;
            },
            &why);
        if (!ok)
            return SetError(error,
                            "the comment of " + CellRef(row, column) + " cannot be read: " + why);
        break;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Saving

bool Document::StartSave()
{
    if (job_ != nullptr) {
        pendingSave_ = true;
        return true;
    }
    pendingSave_ = false;
    if (baseFd_ < 0)
        return false;
    if (current_->Empty() && !structureChanged_)
        return true; // the file is up to date
    saving_ = current_;
    current_ = std::make_shared<ChangeSet>();
    structureChanged_ = false;

    auto job = std::make_unique<Job>();
    SaveInput in;
    in.baseFd = baseFd_;
    in.destPath = path_;
    in.expect = baseId_.identity;
    in.sheets = sheets_;
    in.active = active_;
    in.changes = saving_;
    in.shapeIds = shapeIds_;
    in.throughSeq = journal_ ? journal_->LastSeq() : 0;
    in.journal = journal_.get();
    in.cancel = &job->cancel;
    Job *j = job.get();
    j->thread = std::thread([j, in = std::move(in)] {
        j->out = SaveWorkbook(in);
        j->done.store(true);
        Wake();
    });
    job_ = std::move(job);
    return true;
}

void Document::Adopt(SaveOutput &out, bool fresh)
{
    if (baseFd_ >= 0)
        ::close(baseFd_);
    baseFd_ = out.fd;
    out.fd = -1;
    baseId_ = out.base;
    std::string why;
    if (!OpenBase(baseFd_, &why)) {
        basePkg_.reset();
        if (failure_.empty())
            failure_ = "the saved workbook cannot be read back: " + why;
    }
    if (fresh) {
        sheets_ = out.sheets;
    } else {
        // Sheets added since the save began stay as they are; the saved ones are in the file
        // now, in the saved order.
        for (SheetInfo &s : sheets_) {
            for (const SheetInfo &saved : out.sheets) {
                if (saved.sheetId == s.sheetId) {
                    s.inBase = saved.inBase;
                    s.part = saved.part;
                    s.baseIndex = saved.baseIndex;
                }
            }
        }
    }
    shapeIds_ = out.shapeIds;
    lastStats_ = out.stats;
    g_lastSave = out.stats;
    ++g_saves;
    ++baseGeneration_;
    if (listener_ != nullptr)
        listener_->BaseChanged();
}

void Document::Poll()
{
    if (job_ == nullptr || !job_->done.load())
        return;
    std::unique_ptr<Job> job = std::move(job_);
    if (job->thread.joinable())
        job->thread.join();
    SaveOutput &out = job->out;
    if (!out.ok) {
        if (failure_.empty())
            failure_ = out.error;
        std::fprintf(stderr, "ptk71: %s\n", out.error.c_str());
        return; // the changes stay in `saving_` and in the journal
    }
    if (!out.error.empty())
        std::fprintf(stderr, "ptk71: %s\n", out.error.c_str());
    recent_ = std::move(saving_);
    Adopt(out, false);
    if (pendingSave_)
        StartSave();
}

std::string Document::Failure()
{
    Poll();
    if (failure_.empty() && journal_ != nullptr) {
        const std::string j = journal_->Failure();
        if (!j.empty())
            failure_ = j;
    }
    return failure_;
}

bool Document::Save(std::string *error)
{
    if (const std::string f = Failure(); !f.empty())
        return SetError(error, f);
    if (path_.empty())
        return SetError(error, "the workbook has no file yet; use SaveAs");
    if (journal_ != nullptr) {
        // Durable before Save returns, however long the disk takes; the window is kept alive
        // meanwhile, the journal's thread waking it when it is done.
        const std::uint64_t seq = journal_->LastSeq();
        while (!journal_->WaitDurable(seq, kDurableWait)) {
            if (std::string f = journal_->Failure(); !f.empty()) {
                if (failure_.empty())
                    failure_ = f;
                return SetError(error, std::move(f));
            }
            WaitForEvents();
        }
    }
    StartSave();
    return true;
}

bool Document::SaveAs(const std::string &path, std::string *error)
{
    if (const std::string f = Failure(); !f.empty())
        return SetError(error, f);
    if (path == path_)
        return Save(error);
    std::string why;
    auto lock = WorkbookLock::Acquire(path, &why);
    if (!lock)
        return SetError(error, "cannot save " + path + ": " + why);
    RemoveSaveLeftovers(path);
    Journal::RemoveLeftovers(path);
    // Whatever runs finishes first, so the new file holds every change.
    while (job_ != nullptr) {
        WaitForEvents();
        Poll();
    }
    if (!failure_.empty())
        return SetError(error, failure_);

    SaveInput in;
    in.baseFd = baseFd_;
    in.destPath = path;
    in.sheets = sheets_;
    in.active = active_;
    in.changes = current_;
    in.shapeIds = shapeIds_;
    SaveOutput out;
    const bool fresh = baseFd_ < 0;
    if (fresh) {
        out = SaveWorkbook(in); // a new workbook holds little: written here
    } else {
        auto job = std::make_unique<Job>();
        Job *j = job.get();
        j->thread = std::thread([j, in] {
            j->out = SaveWorkbook(in);
            j->done.store(true);
            Wake();
        });
        while (!j->done.load())
            WaitForEvents();
        j->thread.join();
        out = std::move(j->out);
    }
    if (!out.ok)
        return SetError(error, out.error);
    // Continue in the new file, with a journal of its own.
    if (journal_ != nullptr)
        journal_->Remove();
    journal_.reset();
    path_ = path;
    lock_ = std::move(lock);
    current_ = std::make_shared<ChangeSet>();
    saving_.reset();
    recent_.reset();
    structureChanged_ = false;
    Adopt(out, fresh);
    // A journal a crash left under this name is moved aside by Start, never replaced.
    journal_ = Journal::Start(path_, baseId_, 1, &why);
    if (!journal_) {
        failure_ = why;
        return SetError(error, why);
    }
    journal_->SetDurableCallback(Wake);
    return true;
}

void Document::WaitForSaves()
{
    while (job_ != nullptr) {
        if (job_->thread.joinable())
            job_->thread.join();
        Poll();
    }
}

bool Document::Close(std::string *error)
{
    while (job_ != nullptr) {
        WaitForEvents();
        Poll();
    }
    if (const std::string f = Failure(); !f.empty())
        return SetError(error, f);
    if (journal_ != nullptr) {
        journal_->Remove(); // every change worth keeping is in the file
        journal_.reset();
    }
    lock_.reset();
    closed_ = true;
    return true;
}

void Document::Discard()
{
    if (job_ != nullptr) {
        job_->cancel.store(true);
        if (job_->thread.joinable())
            job_->thread.join();
        std::unique_ptr<Job> job = std::move(job_);
        if (job->out.ok) { // it finished before the cancellation reached it
            recent_ = std::move(saving_);
            Adopt(job->out, false);
        }
    }
    const bool unsaved = !current_->Empty() || saving_ != nullptr || structureChanged_;
    if (journal_ != nullptr) {
        if (unsaved && failure_.empty())
            std::fprintf(stderr,
                         "ptk71: the unsaved changes of %s are kept in its journal and will be "
                         "applied when the workbook is next opened\n",
                         path_.c_str());
        else if (unsaved)
            std::fprintf(stderr, "ptk71: the unsaved changes of %s are kept in its journal %s\n",
                         path_.c_str(), Journal::PathOf(path_).c_str());
        else
            journal_->Remove();
        journal_.reset();
    }
    lock_.reset();
    closed_ = true;
}

std::size_t Document::HeldBytes() const
{
    std::size_t bytes = 0;
    for (const ChangeSet *c : Layers()) {
        if (c != nullptr)
            bytes += c->ApproxBytes();
    }
    if (journal_ != nullptr)
        bytes += journal_->HeldBytes();
    return bytes;
}

} // namespace workbook

#include "excelserver.h"

#include "com.h"
#include "document.h"
#include "viewer.h"

#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QMetaObject>
#include <QThread>

#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <vector>

using namespace com;
using workbook::CellValue;
using workbook::Document;

namespace
{

constexpr std::u16string_view kSource = u"Workbook server";
// Template / sheet type code for "one worksheet".
constexpr int32_t kWorksheetType = -4167;
// The most cells ClearComments walks in one call.
constexpr long long kMaxClearCells = 1'000'000;

ExcelServerHooks g_hooks;

// ---------------------------------------------------------------------------------------------
// Application state shared by all objects of one server instance

struct BookEntry {
    std::unique_ptr<Document> doc;
    QString untitledName;
    bool open = true;

    QString Name() const
    {
        return doc->Path().empty() ? untitledName
                                   : QFileInfo(QString::fromStdString(doc->Path())).fileName();
    }
};

struct AppState {
    std::vector<std::shared_ptr<BookEntry>> books;
    bool quit = false;
    bool visible = false;
    int untitled = 0;
    std::unique_ptr<workbook::WorkbookViewer> viewer;

    ~AppState()
    {
        CloseViewer();
        for (const auto &entry : books)
            entry->doc.reset(); // discards: unsaved changes stay in the journal
    }

    void CloseViewer()
    {
        if (!viewer)
            return;
        viewer->SetDocument(nullptr, QString());
        if (QCoreApplication::instance() != nullptr)
            viewer.reset();
        else
            (void)viewer.release(); // widgets cannot be deleted once the application is gone
    }

    // Shows the most recently opened workbook while visible; no window otherwise.
    void UpdateViewer()
    {
        if (!visible || quit) {
            CloseViewer();
            return;
        }
        if (!viewer) {
            if (qobject_cast<QApplication *>(QCoreApplication::instance()) == nullptr)
                return; // no widgets without a GUI application
            viewer = std::make_unique<workbook::WorkbookViewer>();
            viewer->onUserClose = [this] {
                // The window was closed by hand: the application is hidden now, and the
                // program's "show" box says so.
                visible = false;
                if (g_hooks.viewerClosedByUser)
                    QMetaObject::invokeMethod(
                        qApp,
                        [] {
                            if (g_hooks.viewerClosedByUser)
                                g_hooks.viewerClosedByUser();
                        },
                        Qt::QueuedConnection);
            };
        }
        BookEntry *wanted = books.empty() ? nullptr : books.back().get();
        Document *doc = wanted != nullptr ? wanted->doc.get() : nullptr;
        const QString title = wanted != nullptr ? wanted->Name() : QString();
        if (viewer->CurrentDocument() != doc)
            viewer->SetDocument(doc, title);
        else
            viewer->SetTitle(title);
        viewer->show();
    }

    void CloseBook(const std::shared_ptr<BookEntry> &entry)
    {
        entry->open = false;
        std::erase(books, entry);
        if (viewer && viewer->CurrentDocument() == entry->doc.get())
            viewer->SetDocument(nullptr, QString());
        UpdateViewer();
    }
};

using App = std::shared_ptr<AppState>;
using Entry = std::shared_ptr<BookEntry>;

// ---------------------------------------------------------------------------------------------
// Helpers

HRESULT ServerError(EXCEPINFO *e, const QString &text)
{
    return RaiseException(e, kSource, text.toStdU16String());
}

HRESULT ServerError(EXCEPINFO *e, const std::string &text)
{
    return ServerError(e, QString::fromStdString(text));
}

bool IsGet(WORD flags)
{
    return (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0;
}
bool IsPut(WORD flags)
{
    return (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
}

// Hands a new object (one reference) to the caller, or drops it when no result is wanted.
HRESULT ReturnObject(VARIANT *result, IDispatch *object)
{
    if (result == nullptr) {
        object->Release();
    } else {
        VariantClear(result);
        result->vt = VT_DISPATCH;
        result->pdispVal = object;
    }
    return S_OK;
}

HRESULT ArgString(const VARIANT *v, QString *out)
{
    std::u16string s;
    const HRESULT hr = ArgToString(v, &s);
    if (Succeeded(hr))
        *out = QString::fromStdU16String(s);
    return hr;
}

std::string AbsolutePath(const QString &name)
{
    return QFileInfo(name).absoluteFilePath().toStdString();
}

// Base of every server object: the application state and the common checks.
class ServerObject : public DispatchObject
{
  protected:
    ServerObject(App app, std::initializer_list<Member> members)
        : DispatchObject(members), app_(std::move(app))
    {
    }

    // Fails every call once the application has quit.
    HRESULT CheckAlive(EXCEPINFO *e) const
    {
        return app_->quit ? ServerError(e, QStringLiteral("The application has quit")) : S_OK;
    }
    // Fails calls on a closed workbook, and on one whose background save failed.
    HRESULT CheckOpen(const Entry &entry, EXCEPINFO *e) const
    {
        if (app_->quit)
            return CheckAlive(e);
        if (!entry->open)
            return ServerError(e, QStringLiteral("The workbook has been closed"));
        const std::string failure = entry->doc->Failure();
        return failure.empty() ? S_OK : ServerError(e, failure);
    }

    App app_;
};

#define RETURN_IF_FAILED(expr)                                                                     \
    do {                                                                                           \
        const HRESULT hr_ = (expr);                                                                \
        if (Failed(hr_))                                                                           \
            return hr_;                                                                            \
    } while (0)

HRESULT ExpectArgs(const DISPPARAMS &p, UINT min, UINT max)
{
    const UINT n = PositionalCount(p);
    if (n > max)
        return DISP_E_BADPARAMCOUNT;
    for (UINT i = 0; i < min; ++i) {
        if (IsMissing(PositionalArg(p, i)))
            return DISP_E_PARAMNOTOPTIONAL;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Comment

class CommentObject : public ServerObject
{
  public:
    CommentObject(App app, Entry entry, std::uint32_t sheet, int row, int column)
        : ServerObject(std::move(app), {{u"Visible", 1}}), entry_(std::move(entry)), sheet_(sheet),
          row_(row), column_(column)
    {
    }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *,
                         EXCEPINFO *e) override
    {
        if (id != 1 || !IsPut(flags))
            return DISP_E_MEMBERNOTFOUND;
        RETURN_IF_FAILED(CheckOpen(entry_, e));
        RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
        bool visible = false;
        RETURN_IF_FAILED(ArgToBool(PutValue(params), &visible));
        std::optional<std::string> text;
        std::string why;
        if (!entry_->doc->Note(sheet_, row_, column_, text, &why))
            return ServerError(e, why);
        if (!text)
            return ServerError(e, QStringLiteral("The comment has been deleted"));
        entry_->doc->SetNoteVisible(sheet_, row_, column_, visible);
        return S_OK;
    }

  private:
    Entry entry_;
    std::uint32_t sheet_;
    int row_;
    int column_;
};

// ---------------------------------------------------------------------------------------------
// Range

class RangeObject : public ServerObject
{
  public:
    enum : DISPID { Select = 1, ClearComments, AddComment, Comment };

    RangeObject(App app, Entry entry, std::uint32_t sheet, int row1, int column1, int row2,
                int column2)
        : ServerObject(std::move(app), {{u"Select", Select},
                                        {u"ClearComments", ClearComments},
                                        {u"AddComment", AddComment},
                                        {u"Comment", Comment}}),
          entry_(std::move(entry)), sheet_(sheet), row1_(std::min(row1, row2)),
          column1_(std::min(column1, column2)), row2_(std::max(row1, row2)),
          column2_(std::max(column1, column2))
    {
    }

    std::uint32_t SheetId() const { return sheet_; }
    const Entry &BookOf() const { return entry_; }
    int Row1() const { return row1_; }
    int Column1() const { return column1_; }
    int Row2() const { return row2_; }
    int Column2() const { return column2_; }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        RETURN_IF_FAILED(CheckOpen(entry_, e));
        Document &doc = *entry_->doc;
        switch (id) {
        case DISPID_VALUE:
            if (!(flags & DISPATCH_PROPERTYGET))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            return GetValue(result, e);
        case Select:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            // A selection is only possible on the active sheet.
            if (doc.IndexOf(sheet_) != doc.ActiveIndex())
                return ServerError(e, QStringLiteral("Select method of Range class failed"));
            return S_OK;
        case ClearComments:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            if (static_cast<long long>(row2_ - row1_ + 1) * (column2_ - column1_ + 1) >
                kMaxClearCells)
                return ServerError(e, QStringLiteral("The range is too large"));
            // A cell without a comment stays without one; one with a comment loses it.
            for (int r = row1_; r <= row2_; ++r) {
                for (int c = column1_; c <= column2_; ++c)
                    doc.RemoveNote(sheet_, r, c);
            }
            return S_OK;
        case AddComment:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 1));
            return DoAddComment(params, result, e);
        case Comment: {
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            if (result == nullptr)
                return S_OK;
            std::optional<std::string> text;
            std::string why;
            if (!doc.Note(sheet_, row1_, column1_, text, &why))
                return ServerError(e, why);
            if (!text) {
                VariantClear(result);
                result->vt = VT_DISPATCH; // an empty object: the cell has no comment
                result->pdispVal = nullptr;
                return S_OK;
            }
            return ReturnObject(result, new CommentObject(app_, entry_, sheet_, row1_, column1_));
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

  private:
    HRESULT GetValue(VARIANT *result, EXCEPINFO *e)
    {
        if (row1_ != row2_ || column1_ != column2_)
            return ServerError(e, QStringLiteral("The value of a range of several cells "
                                                 "cannot be read"));
        if (result == nullptr)
            return S_OK;
        VariantClear(result);
        CellValue value;
        std::string why;
        if (!entry_->doc->Value(sheet_, row1_, column1_, value, &why))
            return ServerError(e, why);
        switch (value.kind) {
        case CellValue::Kind::Number:
            *result = VariantFromR8(value.number);
            break;
        case CellValue::Kind::Text:
            *result = VariantFromString(QString::fromStdString(value.text).toStdU16String());
            break;
        case CellValue::Kind::Boolean:
            *result = VariantFromBool(value.number != 0.0);
            break;
        case CellValue::Kind::Empty:
            break;
        }
        return S_OK;
    }

    HRESULT DoAddComment(const DISPPARAMS &params, VARIANT *result, EXCEPINFO *e)
    {
        QString text;
        const VARIANT *arg = PositionalArg(params, 0);
        if (!IsMissing(arg))
            RETURN_IF_FAILED(ArgString(arg, &text));
        if (text.size() > workbook::MaxTextLength)
            return ServerError(e, QStringLiteral("The comment text is too long"));
        std::optional<std::string> existing;
        std::string why;
        if (!entry_->doc->Note(sheet_, row1_, column1_, existing, &why))
            return ServerError(e, why);
        if (existing)
            return ServerError(e, QStringLiteral("The cell already has a comment"));
        entry_->doc->SetNote(sheet_, row1_, column1_, text.toStdString(), false);
        if (result == nullptr)
            return S_OK;
        return ReturnObject(result, new CommentObject(app_, entry_, sheet_, row1_, column1_));
    }

    Entry entry_;
    std::uint32_t sheet_;
    int row1_, column1_, row2_, column2_;
};

// ---------------------------------------------------------------------------------------------
// Worksheet

class WorksheetObject : public ServerObject
{
  public:
    enum : DISPID { Cells = 1, Range };

    WorksheetObject(App app, Entry entry, std::uint32_t sheet)
        : ServerObject(std::move(app), {{u"Cells", Cells}, {u"Range", Range}}),
          entry_(std::move(entry)), sheet_(sheet)
    {
    }

    std::uint32_t SheetId() const { return sheet_; }
    const Entry &BookOf() const { return entry_; }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        RETURN_IF_FAILED(CheckOpen(entry_, e));
        if (entry_->doc->IndexOf(sheet_) < 0)
            return ServerError(e, QStringLiteral("The sheet has been deleted"));
        if (id == Cells) {
            RETURN_IF_FAILED(ExpectArgs(params, 2, 2));
            int32_t row = 0;
            int32_t column = 0;
            RETURN_IF_FAILED(ArgToInt32(PositionalArg(params, 0), &row));
            RETURN_IF_FAILED(ArgToInt32(PositionalArg(params, 1), &column));
            if (!workbook::InSheet(row, column)) {
                return ServerError(
                    e, QStringLiteral("Cell (%1, %2) is outside the sheet").arg(row).arg(column));
            }
            if (IsPut(flags))
                return PutCell(row, column, PutValue(params), e);
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            return ReturnObject(result,
                                new RangeObject(app_, entry_, sheet_, row, column, row, column));
        }
        if (id == Range) {
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 1, 2));
            return GetRange(params, result, e);
        }
        return DISP_E_MEMBERNOTFOUND;
    }

  private:
    HRESULT PutCell(int row, int column, const VARIANT *value, EXCEPINFO *e)
    {
        if (value == nullptr)
            return DISP_E_PARAMNOTOPTIONAL;
        VARIANT v;
        RETURN_IF_FAILED(VariantCopyInd(&v, DerefVariant(value)));
        Document &doc = *entry_->doc;
        bool ok = true;
        HRESULT hr = S_OK;
        switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            doc.ClearValue(sheet_, row, column);
            break;
        case VT_BSTR: {
            // Assigning an empty text empties the cell.
            const UINT length = SysStringLen(v.bstrVal);
            if (length == 0)
                doc.ClearValue(sheet_, row, column);
            else if (length > static_cast<UINT>(workbook::MaxTextLength))
                ok = false;
            else
                doc.SetText(sheet_, row, column,
                            QString::fromUtf16(v.bstrVal, length).toStdString());
            break;
        }
        case VT_I2:
            doc.SetNumber(sheet_, row, column, v.iVal);
            break;
        case VT_I4:
            doc.SetNumber(sheet_, row, column, v.lVal);
            break;
        case VT_R8:
        case VT_DATE:
            if (!std::isfinite(v.dblVal))
                ok = false;
            else
                doc.SetNumber(sheet_, row, column, v.dblVal);
            break;
        case VT_BOOL:
            doc.SetBoolean(sheet_, row, column, v.boolVal != VARIANT_FALSE);
            break;
        default:
            hr = DISP_E_TYPEMISMATCH;
            break;
        }
        VariantClear(&v);
        if (Failed(hr))
            return hr;
        if (!ok)
            return ServerError(e, QStringLiteral("The value cannot be stored in a cell "
                                                 "(not a finite number, or a text too long)"));
        return S_OK;
    }

    HRESULT GetRange(const DISPPARAMS &params, VARIANT *result, EXCEPINFO *e)
    {
        const VARIANT *first = PositionalArg(params, 0);
        const VARIANT *second = PositionalArg(params, 1);
        auto failed = [e]() { return ServerError(e, QStringLiteral("Range method failed")); };
        if (IsMissing(second)) {
            QString ref;
            if (Failed(ArgString(first, &ref)))
                return failed();
            const QStringList parts = ref.trimmed().split(':');
            int r1 = 0, c1 = 0, r2 = 0, c2 = 0;
            if (parts.size() > 2 || !workbook::ParseCellRef(parts.front().toStdString(), r1, c1))
                return failed();
            r2 = r1;
            c2 = c1;
            if (parts.size() == 2 && !workbook::ParseCellRef(parts.back().toStdString(), r2, c2))
                return failed();
            return ReturnObject(result, new RangeObject(app_, entry_, sheet_, r1, c1, r2, c2));
        }
        // Two ranges of this sheet: the range spanning both.
        auto *a = dynamic_cast<RangeObject *>(ArgToDispatch(first));
        auto *b = dynamic_cast<RangeObject *>(ArgToDispatch(second));
        if (a == nullptr || b == nullptr || a->BookOf() != entry_ || b->BookOf() != entry_ ||
            a->SheetId() != sheet_ || b->SheetId() != sheet_)
            return failed();
        return ReturnObject(result,
                            new RangeObject(app_, entry_, sheet_, std::min(a->Row1(), b->Row1()),
                                            std::min(a->Column1(), b->Column1()),
                                            std::max(a->Row2(), b->Row2()),
                                            std::max(a->Column2(), b->Column2())));
    }

    Entry entry_;
    std::uint32_t sheet_;
};

// ---------------------------------------------------------------------------------------------
// Worksheets collection

class WorksheetsObject : public ServerObject
{
  public:
    WorksheetsObject(App app, Entry entry)
        : ServerObject(std::move(app), {{u"Add", 1}}), entry_(std::move(entry))
    {
    }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        if (id != 1 || !IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        RETURN_IF_FAILED(CheckOpen(entry_, e));
        RETURN_IF_FAILED(ExpectArgs(params, 0, 4));
        Document &doc = *entry_->doc;

        // Where: before the given sheet, after the given sheet, or before the active one.
        const VARIANT *before = PositionalArg(params, 0);
        const VARIANT *after = PositionalArg(params, 1);
        int position = doc.ActiveIndex();
        if (!IsMissing(before) && !IsMissing(after))
            return ServerError(e, QStringLiteral("Give either Before or After, not both"));
        for (const VARIANT *anchor : {before, after}) {
            if (IsMissing(anchor))
                continue;
            auto *sheet = dynamic_cast<WorksheetObject *>(ArgToDispatch(anchor));
            const int index =
                sheet != nullptr && sheet->BookOf() == entry_ ? doc.IndexOf(sheet->SheetId()) : -1;
            if (index < 0)
                return ServerError(e, QStringLiteral("Add method of Sheets class failed"));
            position = anchor == before ? index : index + 1;
        }
        int32_t count = 1;
        const VARIANT *countArg = PositionalArg(params, 2);
        if (!IsMissing(countArg))
            RETURN_IF_FAILED(ArgToInt32(countArg, &count));
        int32_t type = kWorksheetType;
        const VARIANT *typeArg = PositionalArg(params, 3);
        if (!IsMissing(typeArg))
            RETURN_IF_FAILED(ArgToInt32(typeArg, &type));
        if (type != kWorksheetType)
            return ServerError(e, QStringLiteral("Only worksheets can be added"));
        if (count < 1 || count > 255)
            return ServerError(e, QStringLiteral("Add method of Sheets class failed"));

        std::uint32_t added = 0;
        for (int i = 0; i < count; ++i)
            added = doc.AddWorksheet(position);
        app_->UpdateViewer();
        return ReturnObject(result, new WorksheetObject(app_, entry_, added));
    }

  private:
    Entry entry_;
};

// ---------------------------------------------------------------------------------------------
// Workbook

class WorkbookObject : public ServerObject
{
  public:
    enum : DISPID { WorkSheets = 1, SaveAs, Save, Close };

    WorkbookObject(App app, Entry entry)
        : ServerObject(std::move(app), {{u"WorkSheets", WorkSheets},
                                        {u"SaveAs", SaveAs},
                                        {u"Save", Save},
                                        {u"Close", Close}}),
          entry_(std::move(entry))
    {
    }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        if (id < WorkSheets || id > Close || !IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        RETURN_IF_FAILED(CheckOpen(entry_, e));
        Document &doc = *entry_->doc;
        std::string why;
        switch (id) {
        case WorkSheets: {
            RETURN_IF_FAILED(ExpectArgs(params, 0, 1));
            const VARIANT *index = PositionalArg(params, 0);
            if (IsMissing(index))
                return ReturnObject(result, new WorksheetsObject(app_, entry_));
            int position = -1;
            const VARIANT *v = DerefVariant(index);
            if ((v->vt & VT_TYPEMASK) == VT_BSTR) {
                QString name;
                RETURN_IF_FAILED(ArgString(v, &name));
                for (std::size_t i = 0; i < doc.Sheets().size(); ++i) {
                    const auto &s = doc.Sheets()[i];
                    if (s.kind == workbook::SheetKind::Worksheet &&
                        QString::fromStdString(s.name).compare(name, Qt::CaseInsensitive) == 0)
                        position = static_cast<int>(i);
                }
            } else {
                int32_t n = 0;
                RETURN_IF_FAILED(ArgToInt32(v, &n));
                position = doc.WorksheetPosition(n);
            }
            if (position < 0)
                return DISP_E_BADINDEX;
            return ReturnObject(
                result,
                new WorksheetObject(app_, entry_,
                                    doc.Sheets()[static_cast<std::size_t>(position)].sheetId));
        }
        case SaveAs: {
            RETURN_IF_FAILED(ExpectArgs(params, 1, 1));
            QString name;
            RETURN_IF_FAILED(ArgString(PositionalArg(params, 0), &name));
            if (name.isEmpty() || QFileInfo(name).isDir())
                return ServerError(e, QStringLiteral("\"%1\" is not a file name").arg(name));
            if (!doc.SaveAs(AbsolutePath(name), &why))
                return ServerError(e, why);
            app_->UpdateViewer();
            return S_OK;
        }
        case Save:
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            if (!doc.Save(&why))
                return ServerError(e, why);
            return S_OK;
        case Close: {
            RETURN_IF_FAILED(ExpectArgs(params, 0, 2));
            bool save = false;
            const VARIANT *saveArg = PositionalArg(params, 0);
            if (!IsMissing(saveArg))
                RETURN_IF_FAILED(ArgToBool(saveArg, &save));
            if (save) {
                QString name;
                const VARIANT *nameArg = PositionalArg(params, 1);
                if (!IsMissing(nameArg)) {
                    RETURN_IF_FAILED(ArgString(nameArg, &name));
                    if (!doc.SaveAs(AbsolutePath(name), &why))
                        return ServerError(e, why);
                } else if (!doc.Save(&why)) {
                    return ServerError(e, why);
                }
            }
            // Waits for the complete file, keeping the window alive; what changed after the last
            // save is dropped with the workbook.
            if (!doc.Close(&why))
                return ServerError(e, why);
            app_->CloseBook(entry_);
            return S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

  private:
    Entry entry_;
};

// ---------------------------------------------------------------------------------------------
// Workbooks collection

class WorkbooksObject : public ServerObject
{
  public:
    enum : DISPID { Open = 1, Add };

    explicit WorkbooksObject(App app)
        : ServerObject(std::move(app), {{u"Open", Open}, {u"Add", Add}})
    {
    }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        if ((id != Open && id != Add) || !IsGet(flags))
            return DISP_E_MEMBERNOTFOUND;
        RETURN_IF_FAILED(CheckAlive(e));
        if (id == Open) {
            RETURN_IF_FAILED(ExpectArgs(params, 1, 1));
            QString name;
            RETURN_IF_FAILED(ArgString(PositionalArg(params, 0), &name));
            return OpenBook(name, result, e);
        }
        RETURN_IF_FAILED(ExpectArgs(params, 0, 1));
        const VARIANT *templ = PositionalArg(params, 0);
        if (!IsMissing(templ)) {
            int32_t kind = 0;
            if (Failed(ArgToInt32(templ, &kind)) || kind != kWorksheetType)
                return ServerError(e, QStringLiteral("Only a workbook with one worksheet "
                                                     "can be added"));
        }
        auto entry = std::make_shared<BookEntry>();
        entry->doc = Document::New();
        entry->untitledName = QStringLiteral("Book%1").arg(++app_->untitled);
        app_->books.push_back(entry);
        app_->UpdateViewer();
        return ReturnObject(result, new WorkbookObject(app_, entry));
    }

  private:
    HRESULT OpenBook(const QString &name, VARIANT *result, EXCEPINFO *e)
    {
        const QFileInfo info(name);
        if (name.isEmpty() || info.isDir())
            return ServerError(e, QStringLiteral("\"%1\" is not a workbook file").arg(name));
        // Symbolic links are followed: the lock, the journal and the saves belong to the file.
        const QString target =
            info.isSymLink() ? info.canonicalFilePath() : info.absoluteFilePath();
        const std::string path =
            (target.isEmpty() ? info.absoluteFilePath() : target).toStdString();
        for (const Entry &entry : app_->books) {
            if (entry->doc->Path() == path)
                return ReturnObject(result, new WorkbookObject(app_, entry));
        }
        std::string why;
        std::unique_ptr<Document> doc = Document::Open(path, &why);
        if (!doc) {
            std::fprintf(stderr, "ptk71: %s\n", why.c_str());
            return ServerError(e, why);
        }
        auto entry = std::make_shared<BookEntry>();
        entry->doc = std::move(doc);
        app_->books.push_back(entry);
        app_->UpdateViewer();
        return ReturnObject(result, new WorkbookObject(app_, entry));
    }
};

// ---------------------------------------------------------------------------------------------
// Application

class ApplicationObject : public ServerObject
{
  public:
    enum : DISPID { Visible = 1, Workbooks, Quit };

    ApplicationObject()
        : ServerObject(std::make_shared<AppState>(),
                       {{u"Visible", Visible}, {u"Workbooks", Workbooks}, {u"Quit", Quit}})
    {
    }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        switch (id) {
        case Visible: {
            if (!IsPut(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(CheckAlive(e));
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            bool visible = false;
            RETURN_IF_FAILED(ArgToBool(PutValue(params), &visible));
            app_->visible = visible;
            app_->UpdateViewer();
            return S_OK;
        }
        case Workbooks:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(CheckAlive(e));
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            return ReturnObject(result, new WorkbooksObject(app_));
        case Quit:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            // Open workbooks are closed without saving (their unsaved changes stay in their
            // journals); later calls on any object fail.
            app_->CloseViewer();
            for (const Entry &entry : app_->books) {
                entry->open = false;
                entry->doc->Discard();
            }
            app_->books.clear();
            app_->quit = true;
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }
};

void InstallEventHooks()
{
    workbook::EventHooks hooks;
    hooks.wake = [] {
        if (QCoreApplication *app = QCoreApplication::instance())
            QMetaObject::invokeMethod(
                app, [] {}, Qt::QueuedConnection);
    };
    hooks.waitForEvents = [] {
        if (QCoreApplication::instance() != nullptr)
            QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        else
            QThread::msleep(5); // no event loop to wait in (tools without an application)
    };
    workbook::SetEventHooks(std::move(hooks));
}

} // namespace

void RegisterExcelServer(ExcelServerHooks hooks)
{
    g_hooks = std::move(hooks);
    InstallEventHooks();
    RegisterClassFactory(kExcelProgId, []() -> IUnknown * { return new ApplicationObject(); });
}

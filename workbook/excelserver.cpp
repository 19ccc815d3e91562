#include "excelserver.h"

#include "com.h"
#include "viewer.h"
#include "workbook.h"
#include "xlsxread.h"
#include "xlsxwrite.h"

#include <QApplication>
#include <QFileInfo>

#include <memory>
#include <vector>

using namespace com;
using workbook::Cell;
using workbook::CellKind;
using workbook::Workbook;
using workbook::Worksheet;

namespace
{

constexpr std::u16string_view kSource = u"Workbook server";
// Template / sheet type code for "one worksheet".
constexpr int32_t kWorksheetType = -4167;

// ---------------------------------------------------------------------------------------------
// Application state shared by all objects of one server instance

struct BookEntry {
    std::unique_ptr<Workbook> book;
    bool open = true;
};

struct AppState {
    std::vector<std::shared_ptr<BookEntry>> books;
    bool quit = false;
    bool visible = false;
    int untitled = 0;
    std::unique_ptr<workbook::WorkbookViewer> viewer;

    ~AppState() { CloseViewer(); }

    void CloseViewer()
    {
        if (!viewer)
            return;
        viewer->SetWorkbook(nullptr);
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
        }
        Workbook *wanted = books.empty() ? nullptr : books.back()->book.get();
        if (viewer->CurrentWorkbook() != wanted)
            viewer->SetWorkbook(wanted);
        else
            viewer->UpdateTitle();
        viewer->show();
    }

    void CloseBook(const std::shared_ptr<BookEntry> &entry)
    {
        entry->open = false;
        std::erase(books, entry);
        if (viewer && viewer->CurrentWorkbook() == entry->book.get())
            viewer->SetWorkbook(nullptr);
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
    HRESULT CheckOpen(const Entry &entry, EXCEPINFO *e) const
    {
        if (app_->quit)
            return CheckAlive(e);
        return entry->open ? S_OK : ServerError(e, QStringLiteral("The workbook has been closed"));
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
    CommentObject(App app, Entry entry, Worksheet *sheet, int row, int column)
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
        if (!sheet_->SetCommentVisible(row_, column_, visible))
            return ServerError(e, QStringLiteral("The comment has been deleted"));
        return S_OK;
    }

  private:
    Entry entry_;
    Worksheet *sheet_;
    int row_;
    int column_;
};

// ---------------------------------------------------------------------------------------------
// Range

class RangeObject : public ServerObject
{
  public:
    enum : DISPID { Select = 1, ClearComments, AddComment, Comment };

    RangeObject(App app, Entry entry, Worksheet *sheet, int row1, int column1, int row2,
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

    Worksheet *Sheet() const { return sheet_; }
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
            if (entry_->book->IndexOf(sheet_) != entry_->book->ActiveIndex())
                return ServerError(e, QStringLiteral("Select method of Range class failed"));
            return S_OK;
        case ClearComments:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            DoClearComments();
            return S_OK;
        case AddComment:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 1));
            return DoAddComment(params, result, e);
        case Comment:
            if (!IsGet(flags))
                return DISP_E_MEMBERNOTFOUND;
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            return GetComment(result);
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
        const Cell *cell = sheet_->CellAt(row1_, column1_);
        if (cell == nullptr)
            return S_OK;
        switch (cell->kind) {
        case CellKind::Number:
            *result = VariantFromR8(cell->number);
            break;
        case CellKind::Text:
            *result = VariantFromString(cell->text.toStdU16String());
            break;
        case CellKind::Boolean:
            *result = VariantFromBool(cell->number != 0.0);
            break;
        case CellKind::Empty:
            break;
        }
        return S_OK;
    }

    void DoClearComments()
    {
        std::vector<std::pair<int, int>> found;
        const auto &rows = sheet_->Rows();
        for (auto it = rows.lower_bound(row1_); it != rows.end() && it->first <= row2_; ++it) {
            const int last = std::min(column2_, static_cast<int>(it->second.size()));
            for (int c = column1_; c <= last; ++c) {
                if (it->second[c - 1].hasComment)
                    found.emplace_back(it->first, c);
            }
        }
        for (const auto &[r, c] : found)
            sheet_->ClearComment(r, c);
    }

    HRESULT DoAddComment(const DISPPARAMS &params, VARIANT *result, EXCEPINFO *e)
    {
        QString text;
        const VARIANT *arg = PositionalArg(params, 0);
        if (!IsMissing(arg))
            RETURN_IF_FAILED(ArgString(arg, &text));
        const Cell *cell = sheet_->CellAt(row1_, column1_);
        if (cell != nullptr && cell->hasComment)
            return ServerError(e, QStringLiteral("The cell already has a comment"));
        if (!sheet_->SetComment(row1_, column1_, text, false))
            return ServerError(e, QStringLiteral("The comment text is too long"));
        if (result == nullptr)
            return S_OK;
        return ReturnObject(result, new CommentObject(app_, entry_, sheet_, row1_, column1_));
    }

    HRESULT GetComment(VARIANT *result)
    {
        if (result == nullptr)
            return S_OK;
        const Cell *cell = sheet_->CellAt(row1_, column1_);
        if (cell == nullptr || !cell->hasComment) {
            VariantClear(result);
            result->vt = VT_DISPATCH; // an empty object: the cell has no comment
            result->pdispVal = nullptr;
            return S_OK;
        }
        return ReturnObject(result, new CommentObject(app_, entry_, sheet_, row1_, column1_));
    }

    Entry entry_;
    Worksheet *sheet_;
    int row1_, column1_, row2_, column2_;
};

// ---------------------------------------------------------------------------------------------
// Worksheet

class WorksheetObject : public ServerObject
{
  public:
    enum : DISPID { Cells = 1, Range };

    WorksheetObject(App app, Entry entry, Worksheet *sheet)
        : ServerObject(std::move(app), {{u"Cells", Cells}, {u"Range", Range}}),
          entry_(std::move(entry)), sheet_(sheet)
    {
    }

    Worksheet *Sheet() const { return sheet_; }
    const Entry &BookOf() const { return entry_; }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *e) override
    {
        RETURN_IF_FAILED(CheckOpen(entry_, e));
        if (id == Cells) {
            RETURN_IF_FAILED(ExpectArgs(params, 2, 2));
            int32_t row = 0;
            int32_t column = 0;
            RETURN_IF_FAILED(ArgToInt32(PositionalArg(params, 0), &row));
            RETURN_IF_FAILED(ArgToInt32(PositionalArg(params, 1), &column));
            if (!Worksheet::InRange(row, column)) {
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
        bool ok = true;
        HRESULT hr = S_OK;
        switch (v.vt) {
        case VT_EMPTY:
        case VT_NULL:
            ok = sheet_->ClearValue(row, column);
            break;
        case VT_BSTR:
            // Assigning an empty text empties the cell.
            if (SysStringLen(v.bstrVal) == 0)
                ok = sheet_->ClearValue(row, column);
            else
                ok = sheet_->SetText(row, column,
                                     QString::fromUtf16(v.bstrVal, SysStringLen(v.bstrVal)));
            break;
        case VT_I2:
            ok = sheet_->SetNumber(row, column, v.iVal);
            break;
        case VT_I4:
            ok = sheet_->SetNumber(row, column, v.lVal);
            break;
        case VT_R8:
        case VT_DATE:
            ok = sheet_->SetNumber(row, column, v.dblVal);
            break;
        case VT_BOOL:
            ok = sheet_->SetBoolean(row, column, v.boolVal != VARIANT_FALSE);
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
            if (parts.size() > 2 || !workbook::ParseCellRef(parts.front(), r1, c1))
                return failed();
            r2 = r1;
            c2 = c1;
            if (parts.size() == 2 && !workbook::ParseCellRef(parts.back(), r2, c2))
                return failed();
            return ReturnObject(result, new RangeObject(app_, entry_, sheet_, r1, c1, r2, c2));
        }
        // Two ranges of this sheet: the range spanning both.
        auto *a = dynamic_cast<RangeObject *>(ArgToDispatch(first));
        auto *b = dynamic_cast<RangeObject *>(ArgToDispatch(second));
        if (a == nullptr || b == nullptr || a->Sheet() != sheet_ || b->Sheet() != sheet_)
            return failed();
        return ReturnObject(result,
                            new RangeObject(app_, entry_, sheet_, std::min(a->Row1(), b->Row1()),
                                            std::min(a->Column1(), b->Column1()),
                                            std::max(a->Row2(), b->Row2()),
                                            std::max(a->Column2(), b->Column2())));
    }

    Entry entry_;
    Worksheet *sheet_;
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
        Workbook &book = *entry_->book;

        // Where: before the given sheet, after the given sheet, or before the active one.
        const VARIANT *before = PositionalArg(params, 0);
        const VARIANT *after = PositionalArg(params, 1);
        int position = book.ActiveIndex();
        if (!IsMissing(before) && !IsMissing(after))
            return ServerError(e, QStringLiteral("Give either Before or After, not both"));
        for (const VARIANT *anchor : {before, after}) {
            if (IsMissing(anchor))
                continue;
            auto *sheet = dynamic_cast<WorksheetObject *>(ArgToDispatch(anchor));
            const int index =
                sheet != nullptr && sheet->BookOf() == entry_ ? book.IndexOf(sheet->Sheet()) : -1;
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

        Worksheet *added = nullptr;
        for (int i = 0; i < count; ++i)
            added = book.InsertSheet(position);
        book.SetActive(book.IndexOf(added));
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
        Workbook &book = *entry_->book;
        switch (id) {
        case WorkSheets: {
            RETURN_IF_FAILED(ExpectArgs(params, 0, 1));
            const VARIANT *index = PositionalArg(params, 0);
            if (IsMissing(index))
                return ReturnObject(result, new WorksheetsObject(app_, entry_));
            Worksheet *sheet = nullptr;
            const VARIANT *v = DerefVariant(index);
            if ((v->vt & VT_TYPEMASK) == VT_BSTR) {
                QString name;
                RETURN_IF_FAILED(ArgString(v, &name));
                sheet = book.FindSheet(name);
            } else {
                int32_t n = 0;
                RETURN_IF_FAILED(ArgToInt32(v, &n));
                sheet = book.Sheet(n - 1);
            }
            if (sheet == nullptr)
                return DISP_E_BADINDEX;
            return ReturnObject(result, new WorksheetObject(app_, entry_, sheet));
        }
        case SaveAs: {
            RETURN_IF_FAILED(ExpectArgs(params, 1, 1));
            QString name;
            RETURN_IF_FAILED(ArgString(PositionalArg(params, 0), &name));
            return SaveTo(QFileInfo(name).absoluteFilePath(), e);
        }
        case Save:
            RETURN_IF_FAILED(ExpectArgs(params, 0, 0));
            if (book.FilePath().isEmpty())
                return ServerError(e, QStringLiteral("The workbook has no file yet; use SaveAs"));
            return SaveTo(book.FilePath(), e);
        case Close: {
            RETURN_IF_FAILED(ExpectArgs(params, 0, 2));
            bool save = false;
            const VARIANT *saveArg = PositionalArg(params, 0);
            if (!IsMissing(saveArg))
                RETURN_IF_FAILED(ArgToBool(saveArg, &save));
            if (save) {
                QString name = book.FilePath();
                const VARIANT *nameArg = PositionalArg(params, 1);
                if (!IsMissing(nameArg)) {
                    RETURN_IF_FAILED(ArgString(nameArg, &name));
                    name = QFileInfo(name).absoluteFilePath();
                }
                if (name.isEmpty())
                    return ServerError(e, QStringLiteral("The workbook has no file yet"));
                RETURN_IF_FAILED(SaveTo(name, e));
            }
            // Unsaved changes are dropped with the workbook.
            app_->CloseBook(entry_);
            return S_OK;
        }
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }

  private:
    HRESULT SaveTo(const QString &path, EXCEPINFO *e)
    {
        QString error;
        if (!workbook::SaveXlsx(*entry_->book, path, &error))
            return ServerError(e, error);
        entry_->book->SetFilePath(path);
        entry_->book->SetModified(false);
        app_->UpdateViewer();
        return S_OK;
    }

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
        entry->book = std::make_unique<Workbook>();
        entry->book->SetUntitledName(QStringLiteral("Book%1").arg(++app_->untitled));
        entry->book->AppendSheet();
        entry->book->SetModified(false);
        app_->books.push_back(entry);
        app_->UpdateViewer();
        return ReturnObject(result, new WorkbookObject(app_, entry));
    }

  private:
    HRESULT OpenBook(const QString &name, VARIANT *result, EXCEPINFO *e)
    {
        const QString path = QFileInfo(name).absoluteFilePath();
        for (const Entry &entry : app_->books) {
            if (entry->book->FilePath() == path)
                return ReturnObject(result, new WorkbookObject(app_, entry));
        }
        QString error;
        std::unique_ptr<Workbook> book = workbook::ReadXlsx(path, &error);
        if (!book)
            return ServerError(e, error);
        auto entry = std::make_shared<BookEntry>();
        entry->book = std::move(book);
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
            // Open workbooks are closed without saving; later calls on any object fail.
            for (const Entry &entry : app_->books)
                entry->open = false;
            app_->books.clear();
            app_->quit = true;
            app_->CloseViewer();
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
        }
    }
};

} // namespace

void RegisterExcelServer()
{
    RegisterClassFactory(kExcelProgId, []() -> IUnknown * { return new ApplicationObject(); });
}

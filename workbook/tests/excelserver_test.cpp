// The workbook automation server driven through GetIDsOfNames/Invoke, the way the archive's
// late-bound calls reach it.
#include "bookfile.h"
#include "com.h"
#include "excelserver.h"
#include "viewer.h"

#include <QApplication>
#include <QFile>
#include <QTabWidget>
#include <QTableView>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

using namespace com;

namespace
{

// Owns a VARIANT for the length of a test statement.
struct Var {
    VARIANT v;
    Var() = default;
    explicit Var(const VARIANT &value) : v(value) {}
    Var(const Var &) = delete;
    Var &operator=(const Var &) = delete;
    ~Var() { VariantClear(&v); }
    IDispatch *Object() const { return v.vt == VT_DISPATCH ? v.pdispVal : nullptr; }
};

struct CallResult {
    HRESULT hr = S_OK;
    std::u16string description;
};

// One call by name: positional arguments in order; for a put the last one is the value.
CallResult Call(IDispatch *target, std::u16string name, WORD flags, std::vector<VARIANT> args = {},
                VARIANT *result = nullptr)
{
    CallResult out;
    OLECHAR *names[] = {name.data()};
    DISPID id = DISPID_UNKNOWN;
    out.hr = target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (Failed(out.hr)) {
        for (VARIANT &a : args)
            VariantClear(&a);
        return out;
    }
    std::vector<VARIANT> rev(args.rbegin(), args.rend());
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = rev.empty() ? nullptr : rev.data();
    params.cArgs = static_cast<UINT>(rev.size());
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    EXCEPINFO info;
    out.hr = target->Invoke(id, IID_NULL, 0, flags, &params, result, &info, nullptr);
    out.description = std::u16string(BstrView(info.bstrDescription));
    ClearExcepInfo(&info);
    for (VARIANT &a : rev)
        VariantClear(&a);
    return out;
}

constexpr WORD kMethod = DISPATCH_METHOD;
constexpr WORD kGet = DISPATCH_PROPERTYGET;
constexpr WORD kMethodGet = DISPATCH_METHOD | DISPATCH_PROPERTYGET;
constexpr WORD kPut = DISPATCH_PROPERTYPUT;

VARIANT Str(const QString &s)
{
    return VariantFromString(s.toStdU16String());
}

// A cell's text as the archive reads the row counter: the range converted to a string.
std::u16string CellText(IDispatch *sheet, int row, int column)
{
    Var range;
    EXPECT_EQ(Call(sheet, u"Cells", kGet, {VariantFromI4(row), VariantFromI4(column)}, &range.v).hr,
              S_OK);
    Var text;
    EXPECT_EQ(VariantChangeTypeEx(&text.v, &range.v, LOCALE_USER_DEFAULT, 0, VT_BSTR), S_OK);
    return std::u16string(BstrView(text.v.bstrVal));
}

QWidget *FindViewer()
{
    for (QWidget *w : QApplication::topLevelWidgets()) {
        if (w->objectName() == QLatin1String("WorkbookViewer"))
            return w;
    }
    return nullptr;
}

class ExcelServerTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        liveObjects_ = DispatchObject::LiveCount();
        liveStrings_ = SysStringLiveCount();
        ASSERT_TRUE(Succeeded(CoInitialize()));
        RegisterExcelServer();
        CLSID clsid;
        ASSERT_EQ(CLSIDFromProgID(kExcelProgId, &clsid), S_OK);
        ASSERT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                                   IID_IDispatch, reinterpret_cast<void **>(app_.Put())),
                  S_OK);
    }
    void TearDown() override
    {
        VariantClear(&books_.v);
        app_.Reset();
        CoUninitialize();
        EXPECT_EQ(DispatchObject::LiveCount(), liveObjects_);
        EXPECT_EQ(SysStringLiveCount(), liveStrings_);
        EXPECT_EQ(FindViewer(), nullptr);
    }

    IDispatch *Books()
    {
        if (books_.Object() == nullptr) {
            EXPECT_EQ(Call(app_.Get(), u"Workbooks", kMethodGet, {}, &books_.v).hr, S_OK);
        }
        return books_.Object();
    }
    // Workbooks.Add(-4167) and its worksheet 1.
    void NewBook(Var &book, Var &sheet)
    {
        ASSERT_EQ(Call(Books(), u"Add", kMethod, {VariantFromI2(-4167)}, &book.v).hr, S_OK);
        ASSERT_EQ(Call(book.Object(), u"WorkSheets", kGet, {VariantFromI4(1)}, &sheet.v).hr, S_OK);
    }
    // Worksheets.Add as the archive calls it: one worksheet, no position given.
    static HRESULT AddWorksheet(IDispatch *sheets, Var &added)
    {
        return Call(sheets, u"Add", kMethod,
                    {VariantMissing(), VariantMissing(), VariantFromI4(1), VariantFromI2(-4167)},
                    &added.v)
            .hr;
    }
    QString PathOf(const QString &name) const { return dir_.filePath(name); }

    ComPtr<IDispatch> app_;
    Var books_;
    QTemporaryDir dir_;
    long liveObjects_ = 0;
    long liveStrings_ = 0;
};

TEST_F(ExcelServerTest, NewWorkbookHasOneSheetAndAddInsertsBeforeTheActiveOne)
{
    Var book, first;
    NewBook(book, first);
    Var missing;
    EXPECT_EQ(Call(book.Object(), u"WorkSheets", kGet, {VariantFromI4(2)}, &missing.v).hr,
              DISP_E_BADINDEX);

    ASSERT_EQ(Call(first.Object(), u"Cells", kPut,
                   {VariantFromI4(2), VariantFromI4(2), VariantFromI4(65501)})
                  .hr,
              S_OK);
    Var sheets, added;
    ASSERT_EQ(Call(book.Object(), u"WorkSheets", kMethodGet, {}, &sheets.v).hr, S_OK);
    ASSERT_EQ(AddWorksheet(sheets.Object(), added), S_OK);
    // Worksheet 1 is now the new sheet, and it is the active one.
    Var one;
    ASSERT_EQ(Call(book.Object(), u"WorkSheets", kGet, {VariantFromI4(1)}, &one.v).hr, S_OK);
    EXPECT_EQ(CellText(one.Object(), 2, 2), u"");
    EXPECT_EQ(CellText(first.Object(), 2, 2), u"65501");

    Var a1New, a1Old;
    ASSERT_EQ(Call(added.Object(), u"Range", kGet, {Str("A1")}, &a1New.v).hr, S_OK);
    EXPECT_EQ(Call(a1New.Object(), u"Select", kMethod).hr, S_OK);
    ASSERT_EQ(Call(first.Object(), u"Range", kGet, {Str("A1")}, &a1Old.v).hr, S_OK);
    CallResult select = Call(a1Old.Object(), u"Select", kMethod);
    EXPECT_EQ(select.hr, DISP_E_EXCEPTION);
    EXPECT_FALSE(select.description.empty());

    // A second Add goes in front of the (new) active sheet again.
    Var third;
    ASSERT_EQ(AddWorksheet(sheets.Object(), third), S_OK);
    ASSERT_EQ(Call(book.Object(), u"SaveAs", kMethod, {Str(PathOf("order.xlsx"))}).hr, S_OK);
    const booktest::Book back = booktest::Read(PathOf("order.xlsx").toStdString());
    ASSERT_TRUE(back.ok) << back.error;
    ASSERT_EQ(back.sheets.size(), 3u);
    EXPECT_EQ(back.sheets[0].name, "Sheet3");
    EXPECT_EQ(back.sheets[1].name, "Sheet2");
    EXPECT_EQ(back.sheets[2].name, "Sheet1");
    EXPECT_EQ(back.active, 0);
    EXPECT_EQ(back.Text(2, 2, 2), "65501");
}

TEST_F(ExcelServerTest, CellValuesAndTheirTexts)
{
    Var book, sheet;
    NewBook(book, sheet);
    auto put = [&](int row, int column, VARIANT value) {
        return Call(sheet.Object(), u"Cells", kPut,
                    {VariantFromI4(row), VariantFromI4(column), value});
    };
    EXPECT_EQ(put(2, 2, VariantFromI4(5)).hr, S_OK);
    EXPECT_EQ(put(5, 2, VariantFromR8(12.5)).hr, S_OK);
    EXPECT_EQ(put(5, 1, Str(QStringLiteral("14:05:07"))).hr, S_OK);
    EXPECT_EQ(put(4, 2, Str(QStringLiteral("Точка 1"))).hr, S_OK);
    EXPECT_EQ(put(6, 2, Str(QStringLiteral("x"))).hr, S_OK);
    EXPECT_EQ(put(6, 2, Str(QString())).hr, S_OK); // "" empties the cell
    double reading = 3.25;
    VARIANT byRef;
    byRef.vt = VT_R8 | VT_BYREF;
    byRef.pdblVal = &reading;
    EXPECT_EQ(put(7, 2, byRef).hr, S_OK);

    EXPECT_EQ(CellText(sheet.Object(), 2, 2), u"5");
    EXPECT_EQ(CellText(sheet.Object(), 5, 2), u"12.5");
    EXPECT_EQ(CellText(sheet.Object(), 5, 1), u"14:05:07");
    EXPECT_EQ(CellText(sheet.Object(), 4, 2), u"Точка 1");
    EXPECT_EQ(CellText(sheet.Object(), 6, 2), u"");
    EXPECT_EQ(CellText(sheet.Object(), 7, 2), u"3.25");
    EXPECT_EQ(CellText(sheet.Object(), 1, 1), u""); // never written

    // Values no cell can hold, positions outside the sheet and wrong argument counts fail.
    EXPECT_EQ(put(8, 2, VariantFromR8(std::numeric_limits<double>::infinity())).hr,
              DISP_E_EXCEPTION);
    EXPECT_EQ(put(0, 2, VariantFromI4(1)).hr, DISP_E_EXCEPTION);
    EXPECT_EQ(put(2, 16385, VariantFromI4(1)).hr, DISP_E_EXCEPTION);
    EXPECT_EQ(Call(sheet.Object(), u"Cells", kGet, {VariantFromI4(1)}).hr, DISP_E_PARAMNOTOPTIONAL);
    Var bad;
    EXPECT_EQ(Call(sheet.Object(), u"Range", kGet, {Str("nonsense")}, &bad.v).hr, DISP_E_EXCEPTION);
}

TEST_F(ExcelServerTest, CommentsAreAddedHiddenAndClearedThroughOneCellRanges)
{
    Var book, sheet;
    NewBook(book, sheet);
    auto oneCell = [&](int row, int column, Var &range) {
        Var a, b;
        ASSERT_EQ(
            Call(sheet.Object(), u"Cells", kGet, {VariantFromI4(row), VariantFromI4(column)}, &a.v)
                .hr,
            S_OK);
        ASSERT_EQ(
            Call(sheet.Object(), u"Cells", kGet, {VariantFromI4(row), VariantFromI4(column)}, &b.v)
                .hr,
            S_OK);
        ASSERT_EQ(Call(sheet.Object(), u"Range", kGet,
                       {VariantFromDispatch(a.Object()), VariantFromDispatch(b.Object())}, &range.v)
                      .hr,
                  S_OK);
    };
    Var range;
    oneCell(5, 3, range);
    EXPECT_EQ(Call(range.Object(), u"ClearComments", kMethod).hr, S_OK);
    Var none;
    EXPECT_EQ(Call(range.Object(), u"Comment", kMethodGet, {}, &none.v).hr, S_OK);
    EXPECT_EQ(none.v.vt, VT_DISPATCH);
    EXPECT_EQ(none.Object(), nullptr);
    EXPECT_EQ(Call(range.Object(), u"AddComment", kMethod, {Str(QStringLiteral("    12,5"))}).hr,
              S_OK);
    EXPECT_EQ(Call(range.Object(), u"AddComment", kMethod, {Str("again")}).hr, DISP_E_EXCEPTION);
    Var comment;
    ASSERT_EQ(Call(range.Object(), u"Comment", kMethodGet, {}, &comment.v).hr, S_OK);
    ASSERT_NE(comment.Object(), nullptr);
    EXPECT_EQ(Call(comment.Object(), u"Visible", kPut, {VariantFromBool(false)}).hr, S_OK);

    // A second pass over the same cell: cleared, then commented anew.
    Var again;
    oneCell(6, 3, again);
    EXPECT_EQ(Call(again.Object(), u"AddComment", kMethod, {Str("old")}).hr, S_OK);
    EXPECT_EQ(Call(again.Object(), u"ClearComments", kMethod).hr, S_OK);
    EXPECT_EQ(Call(again.Object(), u"AddComment", kMethod, {Str("Нет ответа")}).hr, S_OK);

    ASSERT_EQ(Call(book.Object(), u"SaveAs", kMethod, {Str(PathOf("c.xlsx"))}).hr, S_OK);
    const booktest::Book back = booktest::Read(PathOf("c.xlsx").toStdString());
    ASSERT_TRUE(back.ok) << back.error;
    EXPECT_EQ(back.sheets[0].notes.at({5, 3}), "    12,5");
    EXPECT_FALSE(back.sheets[0].noteShown.at({5, 3}));
    EXPECT_EQ(back.sheets[0].notes.at({6, 3}), "Нет ответа");
    EXPECT_EQ(back.sheets[0].notes.size(), 2u);
}

TEST_F(ExcelServerTest, CloseWithoutSavingDiscardsAndOpenContinues)
{
    const QString path = PathOf("keep.xlsx");
    {
        Var book, sheet;
        NewBook(book, sheet);
        ASSERT_EQ(Call(sheet.Object(), u"Cells", kPut,
                       {VariantFromI4(2), VariantFromI4(2), VariantFromI4(120)})
                      .hr,
                  S_OK);
        ASSERT_EQ(Call(book.Object(), u"SaveAs", kMethod, {Str(path)}).hr, S_OK);
        ASSERT_EQ(Call(sheet.Object(), u"Cells", kPut,
                       {VariantFromI4(2), VariantFromI4(2), VariantFromI4(121)})
                      .hr,
                  S_OK);
        ASSERT_EQ(Call(book.Object(), u"Close", kMethod, {VariantFromBool(false)}).hr, S_OK);
        // The closed workbook's objects refuse further calls.
        EXPECT_EQ(Call(sheet.Object(), u"Cells", kPut,
                       {VariantFromI4(3), VariantFromI4(2), VariantFromI4(1)})
                      .hr,
                  DISP_E_EXCEPTION);
        EXPECT_EQ(Call(book.Object(), u"Save", kMethod).hr, DISP_E_EXCEPTION);
    }
    Var book, sheet;
    ASSERT_EQ(Call(Books(), u"Open", kMethod, {Str(path)}, &book.v).hr, S_OK);
    ASSERT_EQ(Call(book.Object(), u"WorkSheets", kGet, {VariantFromI4(1)}, &sheet.v).hr, S_OK);
    EXPECT_EQ(CellText(sheet.Object(), 2, 2), u"120");
    ASSERT_EQ(Call(sheet.Object(), u"Cells", kPut,
                   {VariantFromI4(2), VariantFromI4(2), VariantFromI4(122)})
                  .hr,
              S_OK);
    ASSERT_EQ(Call(book.Object(), u"Save", kMethod).hr, S_OK);
    ASSERT_EQ(Call(book.Object(), u"Close", kMethod, {VariantFromBool(false)}).hr, S_OK);
    EXPECT_EQ(booktest::Read(path.toStdString()).Text(0, 2, 2), "122");
}

TEST_F(ExcelServerTest, FilesThatCannotBeOpenedOrSavedGiveServerErrors)
{
    const QString path = PathOf("corrupt.xlsx");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("PK\x03\x04 definitely not a workbook");
    }
    const QByteArray before = [&] {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
    }();
    Var book;
    CallResult open = Call(Books(), u"Open", kMethod, {Str(path)}, &book.v);
    EXPECT_EQ(open.hr, DISP_E_EXCEPTION);
    EXPECT_FALSE(open.description.empty());
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), before);

    Var fresh, sheet;
    NewBook(fresh, sheet);
    EXPECT_EQ(Call(fresh.Object(), u"Save", kMethod).hr, DISP_E_EXCEPTION); // no file yet
    CallResult save =
        Call(fresh.Object(), u"SaveAs", kMethod, {Str(PathOf("no/such/folder/x.xlsx"))});
    EXPECT_EQ(save.hr, DISP_E_EXCEPTION);
    EXPECT_FALSE(save.description.empty());
}

TEST_F(ExcelServerTest, OnlyTheMembersInUseAreKnown)
{
    Var book, sheet, range;
    NewBook(book, sheet);
    ASSERT_EQ(Call(sheet.Object(), u"Range", kGet, {Str("A1")}, &range.v).hr, S_OK);
    for (IDispatch *object : {app_.Get(), Books(), book.Object(), sheet.Object(), range.Object()}) {
        for (const char16_t *name : {u"Value", u"Count", u"Name", u"Delete", u"Activate"})
            EXPECT_EQ(Call(object, name, kMethodGet).hr, DISP_E_UNKNOWNNAME);
    }
    // Known names are case-insensitive, as with any late-bound server.
    Var sheets;
    EXPECT_EQ(Call(book.Object(), u"worksheets", kMethodGet, {}, &sheets.v).hr, S_OK);
    // A property that is only ever put cannot be read.
    EXPECT_EQ(Call(app_.Get(), u"Visible", kGet).hr, DISP_E_MEMBERNOTFOUND);
}

TEST_F(ExcelServerTest, VisibleShowsALiveViewerAndQuitEndsTheServer)
{
    Var book, sheet;
    NewBook(book, sheet);
    EXPECT_EQ(FindViewer(), nullptr);
    ASSERT_EQ(Call(app_.Get(), u"Visible", kPut, {VariantFromBool(true)}).hr, S_OK);
    auto *viewer = qobject_cast<workbook::WorkbookViewer *>(FindViewer());
    ASSERT_NE(viewer, nullptr);
    EXPECT_TRUE(viewer->isVisible());
    ASSERT_EQ(Call(book.Object(), u"SaveAs", kMethod, {Str(PathOf("live.xlsx"))}).hr, S_OK);
    EXPECT_EQ(viewer->windowTitle(), QStringLiteral("live.xlsx"));

    ASSERT_EQ(Call(sheet.Object(), u"Cells", kPut,
                   {VariantFromI4(30), VariantFromI4(2), VariantFromR8(12.5)})
                  .hr,
              S_OK);
    Var range;
    ASSERT_EQ(
        Call(sheet.Object(), u"Cells", kGet, {VariantFromI4(30), VariantFromI4(3)}, &range.v).hr,
        S_OK);
    ASSERT_EQ(Call(range.Object(), u"AddComment", kMethod, {Str("Нет ответа")}).hr, S_OK);
    viewer->RefreshNow();
    QAbstractItemModel *model = viewer->TableAt(0)->model();
    ASSERT_GE(model->rowCount(), 30);
    EXPECT_EQ(model->data(model->index(29, 1)).toString(), QStringLiteral("12.5"));
    EXPECT_EQ(model->data(model->index(29, 2), Qt::ToolTipRole).toString(),
              QStringLiteral("Нет ответа"));

    Var sheets, added;
    ASSERT_EQ(Call(book.Object(), u"WorkSheets", kMethodGet, {}, &sheets.v).hr, S_OK);
    ASSERT_EQ(AddWorksheet(sheets.Object(), added), S_OK);
    viewer->RefreshNow();
    ASSERT_EQ(viewer->Tabs()->count(), 2);
    EXPECT_EQ(viewer->Tabs()->tabText(0), QStringLiteral("Sheet2"));
    EXPECT_EQ(viewer->Tabs()->currentIndex(), 0);

    ASSERT_EQ(Call(app_.Get(), u"Visible", kPut, {VariantFromBool(false)}).hr, S_OK);
    EXPECT_EQ(FindViewer(), nullptr);
    ASSERT_EQ(Call(app_.Get(), u"Visible", kPut, {VariantFromBool(true)}).hr, S_OK);
    ASSERT_NE(FindViewer(), nullptr);

    ASSERT_EQ(Call(app_.Get(), u"Quit", kMethod).hr, S_OK);
    EXPECT_EQ(FindViewer(), nullptr);
    EXPECT_EQ(Call(sheet.Object(), u"Cells", kGet, {VariantFromI4(1), VariantFromI4(1)}).hr,
              DISP_E_EXCEPTION);
    EXPECT_EQ(Call(app_.Get(), u"Workbooks", kMethodGet).hr, DISP_E_EXCEPTION);
}

} // namespace

// Late-bound calls: packing, call kinds, errors and their messages, string lifetimes.
#include "automation.h"
#include "recordingserver.h"

#include <gtest/gtest.h>

using namespace com;
using Arg = AutomationArg;

namespace
{

// A probe that keeps the raw wide text of string arguments and can rewrite a by-reference
// string, fail with an arbitrary status, or return a status above zero.
class Probe : public DispatchObject
{
  public:
    Probe() : DispatchObject({{u"Take", 1}, {u"Rewrite", 2}, {u"Fail", 3}, {u"Odd", 4}}) {}
    std::vector<std::u16string> strings;
    HRESULT failStatus = E_FAIL;

  protected:
    HRESULT InvokeMember(DISPID id, WORD, const DISPPARAMS &p, VARIANT *, EXCEPINFO *ei) override
    {
        switch (id) {
        case 1:
            for (UINT i = 0; i < p.cArgs; ++i) {
                if (p.rgvarg[i].vt == VT_BSTR)
                    strings.emplace_back(BstrView(p.rgvarg[i].bstrVal));
            }
            return S_OK;
        case 2: { // in/out string: the callee may free and replace it
            BSTR *slot = p.rgvarg[0].pbstrVal;
            SysFreeString(*slot);
            *slot = SysAllocString(u"Значение");
            return S_OK;
        }
        case 3:
            if (failStatus == DISP_E_EXCEPTION)
                return RaiseException(ei, u"Книга", u"Файл не найден. \r\n..", 0x800A03EC,
                                      u"help.chm", 7);
            return failStatus;
        default:
            return S_FALSE;
        }
    }
};

class AutomationTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        CoInitialize();
        state = std::make_shared<rec::ServerState>();
        rec::RegisterRecorder(state);
        liveStrings = SysStringLiveCount();
        liveObjects = DispatchObject::LiveCount();
    }
    void TearDown() override
    {
        RevokeClassFactory(AnsiToWide(rec::kProgId));
        CoUninitialize();
        EXPECT_EQ(SysStringLiveCount(), liveStrings);
        EXPECT_EQ(DispatchObject::LiveCount(), liveObjects);
    }
    AutoVariant Holder(IDispatch *d)
    {
        VARIANT v;
        v.vt = VT_DISPATCH;
        v.pdispVal = d;
        return AutoVariant::Adopt(v);
    }

    std::shared_ptr<rec::ServerState> state;
    long liveStrings = 0;
    long liveObjects = 0;
};

} // namespace

TEST_F(AutomationTest, ArgumentsArePackedFromTheEndOfTheArray)
{
    AutoVariant app = CreateAutomationObject(rec::kProgId);
    AutoVariant sheets = LateBoundCall(app, CallKind::Method, "WorkSheets", {}, true);
    AutoVariant sheet =
        LateBoundCall(sheets, CallKind::Method, "Add",
                      {Arg::Omitted(), Arg::Omitted(), Arg::I4(1), Arg::I2(-4167)}, true);
    LateBoundCall(sheet, CallKind::PropertyPut, "Cells", {Arg::I4(2), Arg::I4(3), Arg::I4(5)},
                  false);

    ASSERT_EQ(state->calls.size(), 3u);
    const rec::SeenCall &add = state->calls[1];
    EXPECT_EQ(add.flags, DISPATCH_METHOD);
    ASSERT_EQ(add.raw.size(), 4u);
    EXPECT_EQ(add.raw[0].Show(), "I2 -4167"); // the last argument in element 0
    EXPECT_EQ(add.raw[1].Show(), "I4 1");
    EXPECT_EQ(add.raw[2].Show(), "ERROR 80020004"); // not supplied
    EXPECT_EQ(add.raw[3].Show(), "ERROR 80020004");
    EXPECT_TRUE(add.named.empty());

    const rec::SeenCall &put = state->calls[2];
    EXPECT_EQ(put.flags, DISPATCH_PROPERTYPUT);
    ASSERT_EQ(put.raw.size(), 3u);
    EXPECT_EQ(put.raw[0].Show(), "I4 5"); // the value first
    EXPECT_EQ(put.raw[1].Show(), "I4 3");
    EXPECT_EQ(put.raw[2].Show(), "I4 2");
    EXPECT_EQ(put.named, std::vector<DISPID>{DISPID_PROPERTYPUT});
}

TEST_F(AutomationTest, CallKindsChooseTheInvocationFlags)
{
    AutoVariant app = CreateAutomationObject(rec::kProgId);
    AutoVariant books = LateBoundCall(app, CallKind::Method, "Workbooks", {}, true);
    LateBoundCall(app, CallKind::Method, "Quit", {}, false);
    AutoVariant book = LateBoundCall(books, CallKind::Method, "Add", {Arg::I2(-4167)}, true);
    AutoVariant sheet =
        LateBoundCall(book, CallKind::PropertyGet, "WorkSheets", {Arg::I4(1)}, true);
    LateBoundCall(app, CallKind::PropertyPut, "Visible", {Arg::Bool(true)}, false);
    LateBoundCall(app, CallKind::PropertyPut, "Visible", {Arg::Var(book)}, false);
    AutoVariant ref = AutoVariant::RefTo(book); // an object through a by-reference holder
    LateBoundCall(app, CallKind::PropertyPut, "Visible", {Arg::Var(ref)}, false);

    EXPECT_EQ(state->Shown(), (std::vector<std::string>{
                                  "app.Workbooks method|get()",
                                  "app.Quit method()",
                                  "workbooks.Add method(I2 -4167)",
                                  "workbook.WorkSheets get(I4 1)",
                                  "app.Visible put() = BOOL -1",
                                  "app.Visible putref() = DISPATCH workbook",
                                  "app.Visible put() = VARIANT& workbook",
                              }));
    // The result of a get is an object usable as the target of further calls.
    LateBoundCall(sheet, CallKind::Method, "Select", {}, false);
    EXPECT_EQ(state->calls.back().target, "sheet1");
}

TEST_F(AutomationTest, ErrorsCarryTheirClassAndMessage)
{
    try {
        CreateAutomationObject("Excel.Nothing");
        FAIL();
    } catch (const EOleSysError &e) {
        EXPECT_EQ(e.ErrorCode, CO_E_CLASSSTRING);
        EXPECT_STREQ(e.what(), "Invalid class string");
    }

    AutoVariant empty;
    AutoVariant number = AutoVariant::NativeText("5");
    for (const AutoVariant *target : {&empty, &number}) {
        try {
            LateBoundCall(*target, CallKind::Method, "Quit", {Arg::Str("x")}, false);
            FAIL();
        } catch (const EOleSysError &) {
            FAIL() << "wrong class";
        } catch (const EOleError &e) {
            EXPECT_STREQ(e.what(), "Variant does not reference an automation object");
        }
    }

    AutoVariant app = CreateAutomationObject(rec::kProgId);
    try {
        LateBoundCall(app, CallKind::Method, "Calculate", {Arg::Str("x")}, false);
        FAIL();
    } catch (const EOleSysError &) {
        FAIL() << "wrong class";
    } catch (const EOleError &e) {
        EXPECT_STREQ(e.what(), "Method 'Calculate' not supported by automation object");
    }
    EXPECT_TRUE(state->calls.empty());

    auto *probe = new Probe;
    AutoVariant p = Holder(probe);
    probe->failStatus = DISP_E_EXCEPTION;
    try {
        LateBoundCall(p, CallKind::Method, "Fail", {Arg::Str("a"), Arg::Str("b")}, true);
        FAIL();
    } catch (const EOleException &e) {
        EXPECT_STREQ(e.what(), "Файл не найден"); // trailing blanks, controls and periods cut
        EXPECT_EQ(e.ErrorCode, MakeHResult(0x800A03EC));
        EXPECT_EQ(e.Source, "Книга");
        EXPECT_EQ(e.HelpFile, "help.chm");
        EXPECT_EQ(e.HelpContext, 7);
    }
    probe->failStatus = MakeHResult(0x80041234);
    try {
        LateBoundCall(p, CallKind::Method, "Fail", {}, false);
        FAIL();
    } catch (const EOleException &) {
        FAIL() << "wrong class";
    } catch (const EOleSysError &e) {
        EXPECT_EQ(e.ErrorCode, MakeHResult(0x80041234));
        EXPECT_STREQ(e.what(), "OLE error 80041234");
    }
    probe->failStatus = DISP_E_TYPEMISMATCH;
    try {
        LateBoundCall(p, CallKind::Method, "Fail", {}, false);
        FAIL();
    } catch (const EOleSysError &e) {
        EXPECT_STREQ(e.what(), "Type mismatch.");
    }
    // Any status other than zero is raised.
    EXPECT_THROW(LateBoundCall(p, CallKind::Method, "Odd", {}, false), EOleSysError);

    std::vector<Arg> tooMany(MaxAutomationArgs + 1, Arg::I4(0));
    EXPECT_THROW(LateBoundCall(p, CallKind::Method, "Take", tooMany, false), EOleError);
    std::vector<Arg> most(MaxAutomationArgs, Arg::I4(0));
    EXPECT_NO_THROW(LateBoundCall(p, CallKind::Method, "Take", most, false));
}

TEST_F(AutomationTest, StringsReachTheServerWideAndComeBackByReference)
{
    auto *probe = new Probe;
    AutoVariant p = Holder(probe);
    AutoVariant native = AutoVariant::NativeText("Ошибка");
    LateBoundCall(p, CallKind::Method, "Take", {Arg::Str("Точка 1"), Arg::Var(native)}, false);
    EXPECT_EQ(probe->strings, (std::vector<std::u16string>{u"Ошибка", u"Точка 1"}));

    std::string text = "старое";
    LateBoundCall(p, CallKind::Method, "Rewrite", {Arg::StrRef(text)}, false);
    EXPECT_EQ(text, "Значение");
    // Strings are freed also when the call fails (checked by the fixture's leak count).
    probe->failStatus = DISP_E_EXCEPTION;
    std::string kept = "как было";
    EXPECT_THROW(
        LateBoundCall(p, CallKind::Method, "Fail", {Arg::StrRef(kept), Arg::Str("x")}, false),
        EOleException);
    EXPECT_EQ(kept, "как было"); // not copied back after a failure

    // A by-reference variant holding native text becomes a wide string in place.
    AutoVariant cell = AutoVariant::NativeText("12");
    AutoVariant app = CreateAutomationObject(rec::kProgId);
    LateBoundCall(app, CallKind::Method, "Quit", {Arg::VarRef(cell)}, false);
    EXPECT_FALSE(cell.IsNativeText());
    EXPECT_EQ(cell.Raw().vt, VT_BSTR);
    EXPECT_EQ(state->calls.back().Show(), "app.Quit method(VARIANT& 12)");
}

TEST_F(AutomationTest, ByReferenceNumbersAndResultText)
{
    AutoVariant app = CreateAutomationObject(rec::kProgId);
    AutoVariant book = LateBoundCall(LateBoundCall(app, CallKind::Method, "Workbooks", {}, true),
                                     CallKind::Method, "Add", {Arg::I2(-4167)}, true);
    AutoVariant sheet =
        LateBoundCall(book, CallKind::PropertyGet, "WorkSheets", {Arg::I4(1)}, true);
    int32_t counter = 121;
    double reading = 12.5;
    LateBoundCall(sheet, CallKind::PropertyPut, "Cells",
                  {Arg::I4(2), Arg::I4(2), Arg::I4Ref(counter)}, false);
    LateBoundCall(sheet, CallKind::PropertyPut, "Cells",
                  {Arg::I4(5), Arg::I4(2), Arg::DoubleRef(reading)}, false);
    EXPECT_EQ(state->calls[3].Show(), "sheet1.Cells put(I4 2, I4 2) = I4& 121");
    EXPECT_EQ(state->calls[4].Show(), "sheet1.Cells put(I4 5, I4 2) = R8& 12.5");

    auto text = [&](int r, int c) {
        return VariantToText(
            LateBoundCall(sheet, CallKind::PropertyGet, "Cells", {Arg::I4(r), Arg::I4(c)}, true));
    };
    EXPECT_EQ(text(2, 2), "121");
    EXPECT_EQ(text(5, 2), "12.5");
    EXPECT_EQ(text(9, 9), ""); // an empty cell
}

TEST_F(AutomationTest, HoldersReleaseOnClearAndReassignment)
{
    AutoVariant app = CreateAutomationObject(rec::kProgId);
    const long afterCreate = DispatchObject::LiveCount();
    AutoVariant copy = app;
    EXPECT_EQ(DispatchObject::LiveCount(), afterCreate);
    AutoVariant books = LateBoundCall(app, CallKind::Method, "Workbooks", {}, true);
    EXPECT_EQ(DispatchObject::LiveCount(), afterCreate + 1);
    books = LateBoundCall(app, CallKind::Method, "Workbooks", {}, true); // old one released
    EXPECT_EQ(DispatchObject::LiveCount(), afterCreate + 1);
    books.Clear();
    EXPECT_TRUE(books.IsEmpty());
    EXPECT_EQ(DispatchObject::LiveCount(), afterCreate);
    app.Clear();
    EXPECT_EQ(DispatchObject::LiveCount(), afterCreate); // the copy still holds it
    copy = AutoVariant();
    EXPECT_EQ(DispatchObject::LiveCount(), afterCreate - 1);
}

// The component-object runtime: strings, variants, conversions, the registry, the server base.
#include "com.h"

#include <gtest/gtest.h>

using namespace com;

namespace
{

// An object with a default value (like a worksheet cell) and one method.
class ValueObject : public DispatchObject
{
  public:
    explicit ValueObject(VARIANT value) : DispatchObject({{u"Value", DISPID_VALUE}, {u"Go", 7}})
    {
        VariantCopy(&value_, &value);
    }
    ~ValueObject() override { VariantClear(&value_); }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &, VARIANT *result,
                         EXCEPINFO *excepInfo) override
    {
        if (id == 7)
            return RaiseException(excepInfo, u"Src", u"It broke.", E_FAIL);
        if (id != DISPID_VALUE || !(flags & DISPATCH_PROPERTYGET) || !result)
            return DISP_E_MEMBERNOTFOUND;
        return VariantCopy(result, &value_);
    }

  private:
    VARIANT value_;
};

std::u16string ToText(const VARIANT &v, USHORT flags = 0)
{
    VARIANT out;
    const HRESULT hr = VariantChangeTypeEx(&out, &v, LOCALE_USER_DEFAULT, flags, VT_BSTR);
    EXPECT_EQ(hr, S_OK);
    std::u16string text(BstrView(out.bstrVal));
    VariantClear(&out);
    return text;
}

} // namespace

TEST(ComStrings, AllocateMeasureAndFree)
{
    const long live = SysStringLiveCount();
    const char16_t withZero[] = {u'a', 0, u'b'};
    BSTR s = SysAllocStringLen(withZero, 3);
    EXPECT_EQ(SysStringLen(s), 3u);
    EXPECT_EQ(BstrView(s), std::u16string_view(withZero, 3));
    EXPECT_EQ(s[3], 0); // still zero-terminated
    BSTR t = SysAllocString(u"Точка ");
    EXPECT_EQ(BstrView(t), u"Точка ");
    EXPECT_EQ(SysStringLiveCount(), live + 2);
    SysFreeString(s);
    SysFreeString(t);
    SysFreeString(nullptr);
    EXPECT_EQ(SysStringLiveCount(), live);
    EXPECT_EQ(SysStringLen(nullptr), 0u);
    EXPECT_EQ(SysAllocString(static_cast<const OLECHAR *>(nullptr)), nullptr);
}

TEST(ComStrings, AnsiWideRoundTrip)
{
    EXPECT_EQ(AnsiToWide("Точка 12"), u"Точка 12");
    EXPECT_EQ(WideToAnsi(u" Ошибка в Excel"), " Ошибка в Excel");
    EXPECT_EQ(AnsiToWide("\xff"), u"\ufffd");
}

TEST(ComVariant, ConversionToText)
{
    EXPECT_EQ(ToText(VariantFromI2(-4167)), u"-4167");
    EXPECT_EQ(ToText(VariantFromI4(65501)), u"65501");
    EXPECT_EQ(ToText(VariantFromR8(12.5)), u"12.5");
    EXPECT_EQ(ToText(VariantFromR8(0.1)), u"0.1");
    EXPECT_EQ(ToText(VariantFromR8(-0.0)), u"0");
    EXPECT_EQ(ToText(VariantFromR8(1.0 / 3)), u"0.333333333333333");
    EXPECT_EQ(ToText(VariantFromBool(true)), u"-1");
    EXPECT_EQ(ToText(VariantFromBool(false), VARIANT_ALPHABOOL), u"False");
    EXPECT_EQ(ToText(VARIANT{}), u"");

    int32_t counter = 120;
    VARIANT byRef;
    byRef.vt = VT_I4 | VT_BYREF;
    byRef.plVal = &counter;
    EXPECT_EQ(ToText(byRef), u"120");
}

TEST(ComVariant, ConversionToNumbersAndFailures)
{
    VARIANT text = VariantFromString(u"  121 ");
    VARIANT out;
    ASSERT_EQ(VariantChangeTypeEx(&out, &text, 0, 0, VT_I4), S_OK);
    EXPECT_EQ(out.vt, VT_I4);
    EXPECT_EQ(out.lVal, 121);

    VARIANT big = VariantFromR8(40000);
    VARIANT keep = VariantFromI4(7);
    EXPECT_EQ(VariantChangeTypeEx(&keep, &big, 0, 0, VT_I2), DISP_E_OVERFLOW);
    EXPECT_EQ(keep.vt, VT_I4); // unchanged on failure
    EXPECT_EQ(keep.lVal, 7);

    VARIANT word = VariantFromString(u"12,5");
    EXPECT_EQ(VariantChangeTypeEx(&out, &word, 0, 0, VT_R8), DISP_E_TYPEMISMATCH);
    const VARIANT missing = VariantMissing();
    EXPECT_EQ(VariantChangeTypeEx(&out, &missing, 0, 0, VT_BSTR), DISP_E_TYPEMISMATCH);

    // In place: the string is freed and replaced by the number.
    const long live = SysStringLiveCount();
    ASSERT_EQ(VariantChangeTypeEx(&text, &text, 0, 0, VT_R8), S_OK);
    EXPECT_EQ(text.dblVal, 121.0);
    EXPECT_EQ(SysStringLiveCount(), live - 1);
    VariantClear(&word);
}

TEST(ComVariant, ObjectsConvertThroughTheirDefaultValueAndAreCounted)
{
    const long liveObjects = DispatchObject::LiveCount();
    auto *cell = new ValueObject(VariantFromI4(120));
    VARIANT v = VariantFromDispatch(cell);
    EXPECT_EQ(cell->RefCount(), 2u);
    EXPECT_EQ(ToText(v), u"120");

    VARIANT copy;
    ASSERT_EQ(VariantCopy(&copy, &v), S_OK);
    EXPECT_EQ(cell->RefCount(), 3u);
    VARIANT out;
    EXPECT_EQ(VariantChangeTypeEx(&out, &v, 0, VARIANT_NOVALUEPROP, VT_BSTR), DISP_E_TYPEMISMATCH);

    auto *empty = new ValueObject(VARIANT{});
    VARIANT e = VariantFromDispatch(empty);
    empty->Release();
    EXPECT_EQ(ToText(e), u""); // an empty cell gives empty text

    VariantClear(&copy);
    VariantClear(&v);
    VariantClear(&e);
    EXPECT_EQ(cell->RefCount(), 1u);
    cell->Release();
    EXPECT_EQ(DispatchObject::LiveCount(), liveObjects);
}

TEST(ComRegistry, LookupCreationAndLifetime)
{
    const long liveObjects = DispatchObject::LiveCount();
    CLSID clsid;
    EXPECT_EQ(CLSIDFromProgID(u"Test.Nothing", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CLSIDFromProgID(u"", &clsid), CO_E_CLASSSTRING);

    ASSERT_EQ(RegisterClassFactory(u"Test.Value", [] { return new ValueObject(VariantFromI4(1)); }),
              S_OK);
    ASSERT_EQ(CLSIDFromProgID(u"TEST.value", &clsid), S_OK); // case-insensitive
    CLSID again;
    CLSIDFromProgID(u"Test.Value", &again);
    EXPECT_EQ(clsid, again);

    void *p = nullptr;
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, &p),
              CO_E_NOTINITIALIZED);
    ASSERT_EQ(CoInitialize(), S_OK);
    EXPECT_EQ(CoInitialize(), S_FALSE);
    auto *outer = new ValueObject(VARIANT{});
    EXPECT_EQ(CoCreateInstance(clsid, outer, CLSCTX_INPROC_SERVER, IID_IDispatch, &p),
              CLASS_E_NOAGGREGATION);
    outer->Release();
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, 0, IID_IDispatch, &p), E_INVALIDARG);
    const IID other{1, 2, 3, {}};
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, 5, other, &p), E_NOINTERFACE);
    EXPECT_EQ(p, nullptr);
    EXPECT_EQ(DispatchObject::LiveCount(), liveObjects); // the refused object was released

    ASSERT_EQ(CoCreateInstance(clsid, nullptr, 5, IID_IDispatch, &p), S_OK);
    auto *disp = static_cast<IDispatch *>(p);
    EXPECT_EQ(static_cast<ValueObject *>(disp)->RefCount(), 1u);

    // Names: case-insensitive; unknown names and named arguments are refused.
    std::u16string name = u"go";
    OLECHAR *names[2] = {name.data(), name.data()};
    DISPID ids[2] = {};
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, ids), S_OK);
    EXPECT_EQ(ids[0], 7);
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 2, 0, ids), DISP_E_UNKNOWNNAME);
    std::u16string unknown = u"Foo";
    names[0] = unknown.data();
    EXPECT_EQ(disp->GetIDsOfNames(IID_NULL, names, 1, 0, ids), DISP_E_UNKNOWNNAME);
    EXPECT_EQ(ids[0], DISPID_UNKNOWN);

    // A server error arrives in the exception record.
    EXCEPINFO ei;
    DISPPARAMS none;
    EXPECT_EQ(disp->Invoke(7, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr, &ei, nullptr),
              DISP_E_EXCEPTION);
    EXPECT_EQ(BstrView(ei.bstrDescription), u"It broke.");
    EXPECT_EQ(BstrView(ei.bstrSource), u"Src");
    EXPECT_EQ(ei.scode, E_FAIL);
    ClearExcepInfo(&ei);
    EXPECT_EQ(disp->Invoke(7, IID_IDispatch, 0, DISPATCH_METHOD, &none, nullptr, &ei, nullptr),
              DISP_E_UNKNOWNINTERFACE);

    disp->Release();
    CoUninitialize();
    EXPECT_EQ(CoCreateInstance(clsid, nullptr, 5, IID_IDispatch, &p), S_OK); // still counted
    static_cast<IDispatch *>(p)->Release();
    CoUninitialize();
    EXPECT_FALSE(CoIsInitialized());
    EXPECT_EQ(RevokeClassFactory(u"Test.Value"), S_OK);
    EXPECT_EQ(RevokeClassFactory(u"Test.Value"), S_FALSE);
    EXPECT_EQ(CLSIDFromProgID(u"Test.Value", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(DispatchObject::LiveCount(), liveObjects);
}

TEST(ComDispParams, ArgumentsInReverseOrderWithThePutValueNamed)
{
    // Cells(2, 3) = 5 as a caller packs it: value first, then the positional ones reversed.
    VARIANT argv[3] = {VariantFromI4(5), VariantFromI4(3), VariantFromI4(2)};
    DISPID named[1] = {DISPID_PROPERTYPUT};
    DISPPARAMS p{argv, named, 3, 1};
    EXPECT_EQ(PositionalCount(p), 2u);
    EXPECT_EQ(PositionalArg(p, 0)->lVal, 2);
    EXPECT_EQ(PositionalArg(p, 1)->lVal, 3);
    EXPECT_EQ(PositionalArg(p, 2), nullptr);
    EXPECT_EQ(PutValue(p)->lVal, 5);

    VARIANT missing = VariantMissing();
    VARIANT ref;
    ref.vt = VT_VARIANT | VT_BYREF;
    ref.pvarVal = &missing;
    EXPECT_TRUE(IsMissing(&ref));
    EXPECT_TRUE(IsMissing(nullptr));
    int32_t x = 0;
    EXPECT_EQ(ArgToInt32(&missing, &x), DISP_E_PARAMNOTFOUND);
    double d = 0;
    VARIANT text = VariantFromString(u"2.5");
    EXPECT_EQ(ArgToDouble(&text, &d), S_OK);
    EXPECT_EQ(d, 2.5);
    VariantClear(&text);
}

TEST(ComMessages, KnownCodesHaveTextsUnknownOnesNone)
{
    EXPECT_EQ(HResultMessage(CO_E_CLASSSTRING), "Invalid class string");
    EXPECT_EQ(HResultMessage(DISP_E_UNKNOWNNAME), "Unknown name.");
    EXPECT_EQ(HResultMessage(MakeHResult(0x80041234)), "");
}

// Late-bound automation calls over the component-object runtime.
#include "automation.h"

#include <array>
#include <cstdio>
#include <vector>

using namespace com;

// ---------------------------------------------------------------------------------------------
// Errors

std::string OleSysErrorMessage(HRESULT hr)
{
    std::string text = HResultMessage(hr);
    if (text.empty()) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "OLE error %.8x", static_cast<unsigned>(hr));
        text = buf;
    }
    return text;
}

EOleSysError::EOleSysError(const std::string &message, HRESULT errorCode)
    : EOleError(message.empty() ? OleSysErrorMessage(errorCode) : message), ErrorCode(errorCode)
{
}

EOleException::EOleException(const std::string &message, HRESULT errorCode, std::string source,
                             std::string helpFile, int helpContext)
    : EOleSysError(message, errorCode), Source(std::move(source)), HelpFile(std::move(helpFile)),
      HelpContext(helpContext)
{
}

void OleCheck(HRESULT hr)
{
    if (Failed(hr))
        throw EOleSysError(std::string(), hr);
}

// ---------------------------------------------------------------------------------------------
// AutoVariant

AutoVariant::AutoVariant(const AutoVariant &other) : isText_(other.isText_), text_(other.text_)
{
    OleCheck(VariantCopy(&v_, &other.v_));
}

AutoVariant::AutoVariant(AutoVariant &&other) noexcept
    : v_(other.v_), isText_(other.isText_), text_(std::move(other.text_))
{
    VariantInit(&other.v_);
    other.isText_ = false;
}

AutoVariant &AutoVariant::operator=(const AutoVariant &other)
{
    if (this != &other) {
        AutoVariant copy(other);
        *this = std::move(copy);
    }
    return *this;
}

AutoVariant &AutoVariant::operator=(AutoVariant &&other) noexcept
{
    if (this != &other) {
        Clear();
        v_ = other.v_;
        isText_ = other.isText_;
        text_ = std::move(other.text_);
        VariantInit(&other.v_);
        other.isText_ = false;
        other.text_.clear();
    }
    return *this;
}

AutoVariant::~AutoVariant()
{
    Clear();
}

AutoVariant AutoVariant::Adopt(VARIANT &v)
{
    AutoVariant r;
    r.v_ = v;
    VariantInit(&v);
    return r;
}

AutoVariant AutoVariant::Copy(const VARIANT &v)
{
    AutoVariant r;
    OleCheck(VariantCopy(&r.v_, &v));
    return r;
}

AutoVariant AutoVariant::NativeText(std::string text)
{
    AutoVariant r;
    r.isText_ = true;
    r.text_ = std::move(text);
    return r;
}

AutoVariant AutoVariant::RefTo(AutoVariant &target)
{
    AutoVariant r;
    r.v_.vt = VT_VARIANT | VT_BYREF;
    r.v_.pvarVal = &target.v_;
    return r;
}

void AutoVariant::Clear()
{
    VariantClear(&v_);
    isText_ = false;
    text_.clear();
}

IDispatch *AutoVariant::Dispatch() const
{
    return ArgToDispatch(&v_);
}

void AutoVariant::MakeWide()
{
    if (!isText_)
        return;
    VARIANT w = VariantFromString(AnsiToWide(text_));
    isText_ = false;
    text_.clear();
    VariantClear(&v_);
    v_ = w;
}

std::string VariantToText(const AutoVariant &v)
{
    if (v.IsNativeText())
        return v.Text();
    const VARIANT *raw = DerefVariant(&v.Raw());
    if (raw && raw->vt == VT_NULL)
        return {};
    VARIANT text;
    const HRESULT hr = VariantChangeTypeEx(&text, &v.Raw(), GetThreadLocale(), 0, VT_BSTR);
    OleCheck(hr);
    std::string result = WideToAnsi(BstrView(text.bstrVal));
    VariantClear(&text);
    return result;
}

// ---------------------------------------------------------------------------------------------
// Arguments

AutomationArg AutomationArg::Str(std::string_view s)
{
    AutomationArg a;
    a.kind_ = Kind::String;
    a.text_ = s;
    return a;
}

AutomationArg AutomationArg::I2(int16_t x)
{
    AutomationArg a;
    a.kind_ = Kind::I2;
    a.int_ = x;
    return a;
}

AutomationArg AutomationArg::I4(int32_t x)
{
    AutomationArg a;
    a.kind_ = Kind::I4;
    a.int_ = x;
    return a;
}

AutomationArg AutomationArg::Bool(bool x)
{
    AutomationArg a;
    a.kind_ = Kind::Bool;
    a.int_ = x ? 1 : 0;
    return a;
}

AutomationArg AutomationArg::Double(double x)
{
    AutomationArg a;
    a.kind_ = Kind::Double;
    a.dbl_ = x;
    return a;
}

AutomationArg AutomationArg::Var(const AutoVariant &v)
{
    AutomationArg a;
    a.kind_ = Kind::Variant;
    a.var_ = &v;
    return a;
}

AutomationArg AutomationArg::Omitted()
{
    return AutomationArg();
}

AutomationArg AutomationArg::Ref(Kind kind, void *variable)
{
    AutomationArg a;
    a.kind_ = kind;
    a.ref_ = variable;
    return a;
}

AutomationArg AutomationArg::StrRef(std::string &s)
{
    return Ref(Kind::StringRef, &s);
}

AutomationArg AutomationArg::I2Ref(int16_t &x)
{
    return Ref(Kind::I2Ref, &x);
}

AutomationArg AutomationArg::I4Ref(int32_t &x)
{
    return Ref(Kind::I4Ref, &x);
}

AutomationArg AutomationArg::DoubleRef(double &x)
{
    return Ref(Kind::DoubleRef, &x);
}

AutomationArg AutomationArg::VarRef(AutoVariant &v)
{
    return Ref(Kind::VariantRef, &v);
}

// ---------------------------------------------------------------------------------------------
// Calls

AutoVariant CreateAutomationObject(std::string_view progId)
{
    const std::u16string wide = AnsiToWide(progId);
    CLSID clsid;
    OleCheck(CLSIDFromProgID(wide.c_str(), &clsid));
    IDispatch *disp = nullptr;
    OleCheck(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER,
                              IID_IDispatch, reinterpret_cast<void **>(&disp)));
    VARIANT v;
    v.vt = VT_DISPATCH;
    v.pdispVal = disp; // the reference CoCreateInstance returned
    return AutoVariant::Adopt(v);
}

namespace
{

// Wide strings allocated for one call; freed when the call ends, also when it raises.
struct CallStrings {
    std::vector<BSTR> owned;  // by-value strings
    std::vector<BSTR *> refs; // slots of by-reference strings (the server may replace them)
    EXCEPINFO excep;

    ~CallStrings()
    {
        for (BSTR s : owned)
            SysFreeString(s);
        for (BSTR *slot : refs) {
            SysFreeString(*slot);
            *slot = nullptr;
        }
        ClearExcepInfo(&excep);
    }
};

std::string TrimServerMessage(std::u16string_view text)
{
    size_t n = text.size();
    while (n > 0 && (text[n - 1] <= u' ' || text[n - 1] == u'.'))
        --n;
    return WideToAnsi(text.substr(0, n));
}

[[noreturn]] void RaiseInvokeError(HRESULT hr, const EXCEPINFO &e)
{
    if (hr == DISP_E_EXCEPTION) {
        throw EOleException(TrimServerMessage(BstrView(e.bstrDescription)), e.scode,
                            WideToAnsi(BstrView(e.bstrSource)),
                            WideToAnsi(BstrView(e.bstrHelpFile)),
                            static_cast<int>(e.dwHelpContext));
    }
    throw EOleSysError(std::string(), hr);
}

} // namespace

AutoVariant LateBoundCall(const AutoVariant &target, CallKind kind, std::string_view member,
                          std::span<const AutomationArg> args, bool wantResult)
{
    // 1. The target must hold an object.
    IDispatch *disp = target.Dispatch();
    if (!disp)
        throw EOleError("Variant does not reference an automation object");
    if (args.size() > MaxAutomationArgs)
        throw EOleError("Too many parameters");

    // 2. Name lookup.
    std::u16string wideName = AnsiToWide(member);
    OLECHAR *names[1] = {wideName.data()};
    DISPID ids[1] = {DISPID_UNKNOWN};
    HRESULT hr = disp->GetIDsOfNames(IID_NULL, names, 1, GetThreadLocale(), ids);
    if (hr == DISP_E_UNKNOWNNAME)
        throw EOleError("Method '" + std::string(member) + "' not supported by automation object");
    OleCheck(hr);
    const DISPID dispid = ids[0];

    // 3. The result starts empty.
    VARIANT result;

    // 4. Pack the arguments from the end of the array.
    CallStrings strings;
    auto ownedString = [&strings](std::string_view text) {
        VARIANT v = VariantFromString(AnsiToWide(text));
        strings.owned.push_back(v.bstrVal);
        return v;
    };
    std::array<VARIANT, MaxAutomationArgs> argv;
    std::array<BSTR, MaxAutomationArgs> refSlots{};
    const UINT count = static_cast<UINT>(args.size());
    for (UINT i = 0; i < count; ++i) {
        const AutomationArg &a = args[i];
        VARIANT &v = argv[count - 1 - i];
        switch (a.kind_) {
        case AutomationArg::Kind::String:
            v = ownedString(a.text_);
            break;
        case AutomationArg::Kind::StringRef: {
            BSTR &slot = refSlots[i];
            slot = SysAllocString(AnsiToWide(*static_cast<std::string *>(a.ref_)));
            strings.refs.push_back(&slot);
            v.vt = VT_BSTR | VT_BYREF;
            v.pbstrVal = &slot;
            break;
        }
        case AutomationArg::Kind::I2:
            v = VariantFromI2(static_cast<int16_t>(a.int_));
            break;
        case AutomationArg::Kind::I4:
            v = VariantFromI4(static_cast<int32_t>(a.int_));
            break;
        case AutomationArg::Kind::Bool:
            v = VariantFromBool(a.int_ != 0);
            break;
        case AutomationArg::Kind::Double:
            v = VariantFromR8(a.dbl_);
            break;
        case AutomationArg::Kind::Variant:
            // A held object or value is borrowed: the server must not keep it without a copy.
            v = a.var_->IsNativeText() ? ownedString(a.var_->Text()) : a.var_->Raw();
            break;
        case AutomationArg::Kind::Omitted:
            v = VariantMissing();
            break;
        case AutomationArg::Kind::I2Ref:
            v.vt = VT_I2 | VT_BYREF;
            v.piVal = static_cast<int16_t *>(a.ref_);
            break;
        case AutomationArg::Kind::I4Ref:
            v.vt = VT_I4 | VT_BYREF;
            v.plVal = static_cast<int32_t *>(a.ref_);
            break;
        case AutomationArg::Kind::DoubleRef:
            v.vt = VT_R8 | VT_BYREF;
            v.pdblVal = static_cast<double *>(a.ref_);
            break;
        case AutomationArg::Kind::VariantRef: {
            auto *holder = static_cast<AutoVariant *>(a.ref_);
            holder->MakeWide();
            v.vt = VT_VARIANT | VT_BYREF;
            v.pvarVal = &holder->Raw();
            break;
        }
        }
    }

    // 5. The parameter block.
    DISPID putId[1] = {DISPID_PROPERTYPUT};
    DISPPARAMS params;
    params.rgvarg = count ? argv.data() : nullptr;
    params.cArgs = count;

    // 6. Flags by call kind.
    WORD flags = DISPATCH_METHOD;
    switch (kind) {
    case CallKind::Method:
        flags = (count == 0 && wantResult) ? WORD(DISPATCH_METHOD | DISPATCH_PROPERTYGET)
                                           : DISPATCH_METHOD;
        break;
    case CallKind::PropertyGet:
        flags = DISPATCH_PROPERTYGET;
        break;
    case CallKind::PropertyPut:
        flags = DISPATCH_PROPERTYPUT;
        if (count > 0) { // without a value the server reports the missing argument
            params.rgdispidNamedArgs = putId;
            params.cNamedArgs = 1;
            if ((argv[0].vt & VT_TYPEMASK) == VT_DISPATCH)
                flags = DISPATCH_PROPERTYPUTREF;
        }
        break;
    }

    // 7. The call.
    hr = disp->Invoke(dispid, IID_NULL, 0, flags, &params, wantResult ? &result : nullptr,
                      &strings.excep, nullptr);

    // 8. Failure.
    if (hr != S_OK) {
        VariantClear(&result);
        RaiseInvokeError(hr, strings.excep);
    }
    AutoVariant out = AutoVariant::Adopt(result);

    // 9. Copy by-reference strings back.
    for (UINT i = 0; i < count; ++i) {
        if (args[i].kind_ == AutomationArg::Kind::StringRef)
            *static_cast<std::string *>(args[i].ref_) = WideToAnsi(BstrView(refSlots[i]));
    }
    // 10. `strings` frees every wide string on the way out.
    return out;
}

namespace
{
bool g_comInitialized = false;
} // namespace

void AutomationStartup()
{
    g_comInitialized = Succeeded(CoInitialize(nullptr));
}

void AutomationShutdown()
{
    if (g_comInitialized)
        CoUninitialize();
    g_comInitialized = false;
}

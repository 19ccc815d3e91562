// The component-object runtime: strings, variants, the class registry and the server base.
#include "com.h"

#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>

namespace com
{

// ---------------------------------------------------------------------------------------------
// Messages

std::string HResultMessage(HRESULT hr)
{
    switch (static_cast<uint32_t>(hr)) {
    case 0x8000FFFF:
        return "Catastrophic failure";
    case 0x80004001:
        return "Not implemented";
    case 0x80004002:
        return "No such interface supported";
    case 0x80004003:
        return "Invalid pointer";
    case 0x80004005:
        return "Unspecified error";
    case 0x8007000E:
        return "Not enough memory resources are available to complete this operation.";
    case 0x80070057:
        return "The parameter is incorrect.";
    case 0x80040110:
        return "Class does not support aggregation (or class object is remote)";
    case 0x80040154:
        return "Class not registered";
    case 0x800401F0:
        return "CoInitialize has not been called.";
    case 0x800401F3:
        return "Invalid class string";
    case 0x80020001:
        return "Unknown interface.";
    case 0x80020003:
        return "Member not found.";
    case 0x80020004:
        return "Parameter not found.";
    case 0x80020005:
        return "Type mismatch.";
    case 0x80020006:
        return "Unknown name.";
    case 0x80020007:
        return "No named arguments.";
    case 0x80020008:
        return "Bad variable type.";
    case 0x80020009:
        return "Exception occurred.";
    case 0x8002000A:
        return "Out of present range.";
    case 0x8002000B:
        return "Invalid index.";
    case 0x8002000E:
        return "Invalid number of parameters.";
    case 0x8002000F:
        return "Parameter not optional.";
    default:
        return {};
    }
}

// ---------------------------------------------------------------------------------------------
// GUIDs

bool operator==(const GUID &a, const GUID &b)
{
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof a.Data4) == 0;
}

// ---------------------------------------------------------------------------------------------
// Strings

namespace
{
long g_liveStrings = 0;
} // namespace

// Layout: [uint32 byte length][characters][zero character]; the BSTR points at the characters.
BSTR SysAllocStringLen(const OLECHAR *s, UINT len)
{
    const size_t bytes = size_t(len) * sizeof(OLECHAR);
    auto *block = static_cast<unsigned char *>(std::malloc(sizeof(uint32_t) + bytes + 2));
    if (!block)
        return nullptr;
    const uint32_t prefix = static_cast<uint32_t>(bytes);
    std::memcpy(block, &prefix, sizeof prefix);
    auto *chars = reinterpret_cast<OLECHAR *>(block + sizeof(uint32_t));
    if (s)
        std::memcpy(chars, s, bytes);
    else
        std::memset(chars, 0, bytes);
    chars[len] = 0;
    ++g_liveStrings;
    return chars;
}

BSTR SysAllocString(const OLECHAR *s)
{
    if (!s)
        return nullptr;
    return SysAllocStringLen(s, static_cast<UINT>(std::char_traits<char16_t>::length(s)));
}

void SysFreeString(BSTR s)
{
    if (!s)
        return;
    --g_liveStrings;
    std::free(reinterpret_cast<unsigned char *>(s) - sizeof(uint32_t));
}

UINT SysStringLen(BSTR s)
{
    if (!s)
        return 0;
    uint32_t bytes;
    std::memcpy(&bytes, reinterpret_cast<unsigned char *>(s) - sizeof(uint32_t), sizeof bytes);
    return bytes / sizeof(OLECHAR);
}

long SysStringLiveCount()
{
    return g_liveStrings;
}

std::u16string AnsiToWide(std::string_view s)
{
    // Member names and most texts are plain ASCII: widen them without a decoder.
    if (std::all_of(s.begin(), s.end(),
                    [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::u16string(s.begin(), s.end());
    return QString::fromUtf8(s.data(), qsizetype(s.size())).toStdU16String();
}

std::string WideToAnsi(std::u16string_view s)
{
    if (std::all_of(s.begin(), s.end(), [](char16_t c) { return c < 0x80; }))
        return std::string(s.begin(), s.end());
    return QString::fromUtf16(s.data(), qsizetype(s.size())).toStdString();
}

// ---------------------------------------------------------------------------------------------
// Variants

void VariantInit(VARIANT *v)
{
    v->vt = VT_EMPTY;
    v->wReserved1 = v->wReserved2 = v->wReserved3 = 0;
    v->llVal = 0;
}

namespace
{

bool KnownType(VARTYPE vt)
{
    const VARTYPE base = vt & VT_TYPEMASK;
    if (vt & ~(VT_TYPEMASK | VT_BYREF))
        return false;
    switch (base) {
    case VT_EMPTY:
    case VT_NULL:
        return !(vt & VT_BYREF);
    case VT_VARIANT:
        return (vt & VT_BYREF) != 0;
    case VT_I2:
    case VT_I4:
    case VT_R8:
    case VT_DATE:
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_ERROR:
    case VT_BOOL:
    case VT_UNKNOWN:
        return true;
    default:
        return false;
    }
}

} // namespace

HRESULT VariantClear(VARIANT *v)
{
    if (!v)
        return E_INVALIDARG;
    if (!KnownType(v->vt))
        return DISP_E_BADVARTYPE;
    switch (v->vt) {
    case VT_BSTR:
        SysFreeString(v->bstrVal);
        break;
    case VT_DISPATCH:
    case VT_UNKNOWN:
        if (v->punkVal)
            v->punkVal->Release();
        break;
    default:
        break;
    }
    VariantInit(v);
    return S_OK;
}

HRESULT VariantCopy(VARIANT *dst, const VARIANT *src)
{
    if (!dst || !src)
        return E_INVALIDARG;
    if (!KnownType(src->vt))
        return DISP_E_BADVARTYPE;
    if (dst == src)
        return S_OK;
    VARIANT copy = *src;
    if (src->vt == VT_BSTR) {
        copy.bstrVal =
            src->bstrVal ? SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal)) : nullptr;
        if (src->bstrVal && !copy.bstrVal)
            return E_OUTOFMEMORY;
    } else if ((src->vt == VT_DISPATCH || src->vt == VT_UNKNOWN) && src->punkVal) {
        src->punkVal->AddRef();
    }
    const HRESULT hr = VariantClear(dst);
    if (Failed(hr)) {
        VariantClear(&copy);
        return hr;
    }
    *dst = copy;
    return S_OK;
}

namespace
{

// The value a VT_BYREF variant points at, as a (borrowed, not owned) value variant.
bool BorrowIndirect(const VARIANT *src, VARIANT *out)
{
    while ((src->vt & VT_BYREF) && (src->vt & VT_TYPEMASK) == VT_VARIANT) {
        if (!src->pvarVal)
            return false;
        src = src->pvarVal;
    }
    if (!(src->vt & VT_BYREF)) {
        *out = *src;
        return true;
    }
    if (!src->byref)
        return false;
    VariantInit(out);
    out->vt = src->vt & VT_TYPEMASK;
    switch (out->vt) {
    case VT_I2:
        out->iVal = *src->piVal;
        break;
    case VT_I4:
        out->lVal = *src->plVal;
        break;
    case VT_R8:
    case VT_DATE:
        out->dblVal = *src->pdblVal;
        break;
    case VT_BOOL:
        out->boolVal = *src->pboolVal;
        break;
    case VT_ERROR:
        out->scode = *src->pscode;
        break;
    case VT_BSTR:
        out->bstrVal = *src->pbstrVal;
        break;
    case VT_DISPATCH:
        out->pdispVal = *src->ppdispVal;
        break;
    case VT_UNKNOWN:
        out->punkVal = *src->ppunkVal;
        break;
    default:
        return false;
    }
    return true;
}

} // namespace

HRESULT VariantCopyInd(VARIANT *dst, const VARIANT *src)
{
    if (!dst || !src)
        return E_INVALIDARG;
    if (!KnownType(src->vt))
        return DISP_E_BADVARTYPE;
    VARIANT borrowed;
    if (!BorrowIndirect(src, &borrowed))
        return E_INVALIDARG;
    if (dst == src) {
        // Copy out first: clearing dst would not free anything a reference points at.
        VARIANT tmp;
        const HRESULT hr = VariantCopy(&tmp, &borrowed);
        if (Failed(hr))
            return hr;
        *dst = tmp;
        return S_OK;
    }
    return VariantCopy(dst, &borrowed);
}

VARIANT VariantFromDispatch(IDispatch *d)
{
    VARIANT v;
    v.vt = VT_DISPATCH;
    v.pdispVal = d;
    if (d)
        d->AddRef();
    return v;
}

namespace
{

// A number variant as a string: 15 significant digits, as a caller reading it expects
// (0.1 + 0.2 gives "0.3"). Storing a number exactly is the workbook's own, other job.
std::u16string NumberText(double d)
{
    if (d == 0)
        return u"0"; // also for -0
    return QString::number(d, 'g', 15).toUpper().toStdU16String();
}

// Parses blanks, an optionally signed decimal number (fraction and exponent allowed), blanks.
bool ParseNumber(std::u16string_view s, double *out)
{
    const QString text = QString::fromUtf16(s.data(), qsizetype(s.size())).trimmed();
    if (text.isEmpty())
        return false;
    for (QChar c : text) {
        if (!(c.isDigit() || c == u'.' || c == u'+' || c == u'-' || c == u'e' || c == u'E'))
            return false;
    }
    bool ok = false;
    const double d = text.toDouble(&ok); // "C" locale: "." is the separator
    if (!ok || !std::isfinite(d))
        return false;
    *out = d;
    return true;
}

// A value (not by reference) converted to double; false when it is not a number.
HRESULT ToDouble(const VARIANT &v, double *out)
{
    switch (v.vt) {
    case VT_EMPTY:
        *out = 0;
        return S_OK;
    case VT_I2:
        *out = v.iVal;
        return S_OK;
    case VT_I4:
        *out = v.lVal;
        return S_OK;
    case VT_R8:
    case VT_DATE:
        *out = v.dblVal;
        return S_OK;
    case VT_BOOL:
        *out = v.boolVal ? -1 : 0;
        return S_OK;
    case VT_BSTR:
        return ParseNumber(BstrView(v.bstrVal), out) ? S_OK : DISP_E_TYPEMISMATCH;
    default:
        return DISP_E_TYPEMISMATCH;
    }
}

// Rounds to the nearest integer with ties to even, as the platform's conversions do.
HRESULT ToInteger(double d, double lo, double hi, int64_t *out)
{
    const double r = std::nearbyint(d);
    if (std::isnan(r) || r < lo || r > hi)
        return DISP_E_OVERFLOW;
    *out = static_cast<int64_t>(r);
    return S_OK;
}

} // namespace

HRESULT VariantChangeTypeEx(VARIANT *dst, const VARIANT *src, LCID lcid, USHORT flags, VARTYPE vt)
{
    if (!dst || !src)
        return E_INVALIDARG;
    if (!KnownType(src->vt))
        return DISP_E_BADVARTYPE;
    VARIANT value;
    if (!BorrowIndirect(src, &value))
        return E_INVALIDARG;

    // An object stands for its default value unless asked otherwise.
    if (value.vt == VT_DISPATCH && vt != VT_DISPATCH && vt != VT_UNKNOWN) {
        if ((flags & VARIANT_NOVALUEPROP) || !value.pdispVal)
            return DISP_E_TYPEMISMATCH;
        DISPPARAMS none;
        VARIANT def;
        EXCEPINFO ei;
        HRESULT hr = value.pdispVal->Invoke(DISPID_VALUE, IID_NULL, lcid, DISPATCH_PROPERTYGET,
                                            &none, &def, &ei, nullptr);
        ClearExcepInfo(&ei);
        if (Failed(hr))
            return hr == DISP_E_EXCEPTION ? DISP_E_TYPEMISMATCH : hr;
        if (def.vt == VT_DISPATCH) { // no endless chains of objects
            VariantClear(&def);
            return DISP_E_TYPEMISMATCH;
        }
        hr = VariantChangeTypeEx(dst, &def, lcid, flags, vt);
        VariantClear(&def);
        return hr;
    }

    VARIANT result;
    switch (vt) {
    case VT_EMPTY:
        break;
    case VT_BSTR: {
        std::u16string text;
        switch (value.vt) {
        case VT_EMPTY:
            break;
        case VT_I2:
            text = QString::number(value.iVal).toStdU16String();
            break;
        case VT_I4:
            text = QString::number(value.lVal).toStdU16String();
            break;
        case VT_R8:
        case VT_DATE:
            text = NumberText(value.dblVal);
            break;
        case VT_BOOL:
            if (flags & VARIANT_ALPHABOOL)
                text = value.boolVal ? u"True" : u"False";
            else
                text = value.boolVal ? u"-1" : u"0";
            break;
        case VT_BSTR:
            text = BstrView(value.bstrVal);
            break;
        default:
            return DISP_E_TYPEMISMATCH;
        }
        result.vt = VT_BSTR;
        result.bstrVal = SysAllocString(text);
        break;
    }
    case VT_I2:
    case VT_I4: {
        double d;
        if (const HRESULT hr = ToDouble(value, &d); Failed(hr))
            return hr;
        int64_t n;
        const bool small = vt == VT_I2;
        const HRESULT hr =
            ToInteger(d, small ? -32768.0 : -2147483648.0, small ? 32767.0 : 2147483647.0, &n);
        if (Failed(hr))
            return hr;
        result.vt = vt;
        if (small)
            result.iVal = static_cast<int16_t>(n);
        else
            result.lVal = static_cast<int32_t>(n);
        break;
    }
    case VT_R8: {
        double d;
        if (const HRESULT hr = ToDouble(value, &d); Failed(hr))
            return hr;
        result.vt = VT_R8;
        result.dblVal = d;
        break;
    }
    case VT_BOOL: {
        if (value.vt == VT_BSTR) {
            const QString t =
                QString::fromUtf16(value.bstrVal, SysStringLen(value.bstrVal)).trimmed();
            if (t.compare(u"true", Qt::CaseInsensitive) == 0) {
                result.vt = VT_BOOL;
                result.boolVal = VARIANT_TRUE;
                break;
            }
            if (t.compare(u"false", Qt::CaseInsensitive) == 0) {
                result.vt = VT_BOOL;
                result.boolVal = VARIANT_FALSE;
                break;
            }
        }
        double d;
        if (const HRESULT hr = ToDouble(value, &d); Failed(hr))
            return hr;
        result.vt = VT_BOOL;
        result.boolVal = d != 0 ? VARIANT_TRUE : VARIANT_FALSE;
        break;
    }
    case VT_DISPATCH:
        if (value.vt != VT_DISPATCH)
            return DISP_E_TYPEMISMATCH;
        result = VariantFromDispatch(value.pdispVal);
        break;
    default:
        return DISP_E_BADVARTYPE;
    }
    const HRESULT hr = VariantClear(dst); // dst may be src: value was read out already
    if (Failed(hr)) {
        VariantClear(&result);
        return hr;
    }
    *dst = result;
    return S_OK;
}

void ClearExcepInfo(EXCEPINFO *e)
{
    if (!e)
        return;
    SysFreeString(e->bstrSource);
    SysFreeString(e->bstrDescription);
    SysFreeString(e->bstrHelpFile);
    *e = EXCEPINFO{};
}

// ---------------------------------------------------------------------------------------------
// Runtime lifetime and registry

namespace
{

int g_initCount = 0;

struct ClassEntry {
    std::u16string progId;
    CLSID clsid;
    ClassFactory factory;
};

std::vector<ClassEntry> &Registry()
{
    static std::vector<ClassEntry> registry;
    return registry;
}

char16_t FoldAscii(char16_t c)
{
    return (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
}

bool EqualsNoCase(std::u16string_view a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

ClassEntry *FindProgId(std::u16string_view progId)
{
    for (ClassEntry &e : Registry()) {
        if (EqualsNoCase(e.progId, progId))
            return &e;
    }
    return nullptr;
}

// A stable class identifier from the (case-folded) ProgID: FNV-1a hashes spread over the fields.
CLSID ClsidFromName(std::u16string_view progId)
{
    uint64_t h1 = 1469598103934665603ull, h2 = 0x9E3779B97F4A7C15ull;
    for (char16_t c : progId) {
        h1 = (h1 ^ FoldAscii(c)) * 1099511628211ull;
        h2 = (h2 ^ FoldAscii(c)) * 0x100000001B3ull + 0x2545F491ull;
    }
    CLSID id;
    id.Data1 = static_cast<uint32_t>(h1 >> 32);
    id.Data2 = static_cast<uint16_t>(h1 >> 16);
    id.Data3 = static_cast<uint16_t>(h1);
    for (int i = 0; i < 8; ++i)
        id.Data4[i] = static_cast<uint8_t>(h2 >> (8 * i));
    return id;
}

} // namespace

LCID GetThreadLocale()
{
    return LOCALE_USER_DEFAULT;
}

HRESULT CoInitialize(void *)
{
    return g_initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize()
{
    if (g_initCount > 0)
        --g_initCount;
}

bool CoIsInitialized()
{
    return g_initCount > 0;
}

HRESULT RegisterClassFactory(std::u16string_view progId, ClassFactory factory, CLSID *clsidOut)
{
    if (progId.empty() || !factory)
        return E_INVALIDARG;
    const CLSID clsid = clsidOut && *clsidOut != IID_NULL ? *clsidOut : ClsidFromName(progId);
    if (ClassEntry *e = FindProgId(progId)) {
        e->clsid = clsid;
        e->factory = std::move(factory);
    } else {
        Registry().push_back({std::u16string(progId), clsid, std::move(factory)});
    }
    if (clsidOut)
        *clsidOut = clsid;
    return S_OK;
}

HRESULT RevokeClassFactory(std::u16string_view progId)
{
    auto &reg = Registry();
    for (auto it = reg.begin(); it != reg.end(); ++it) {
        if (EqualsNoCase(it->progId, progId)) {
            reg.erase(it);
            return S_OK;
        }
    }
    return S_FALSE;
}

HRESULT CLSIDFromProgID(const OLECHAR *progId, CLSID *clsid)
{
    if (!clsid)
        return E_INVALIDARG;
    if (!progId || !*progId)
        return CO_E_CLASSSTRING;
    const ClassEntry *e = FindProgId(progId);
    if (!e)
        return CO_E_CLASSSTRING;
    *clsid = e->clsid;
    return S_OK;
}

HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD clsctx, REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    if (!(clsctx & (CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER)))
        return E_INVALIDARG;
    if (!CoIsInitialized())
        return CO_E_NOTINITIALIZED;
    ClassFactory factory;
    for (const ClassEntry &e : Registry()) {
        if (e.clsid == clsid) {
            factory = e.factory; // a copy: the factory may (un)register classes itself
            break;
        }
    }
    if (!factory)
        return REGDB_E_CLASSNOTREG;
    IUnknown *obj = factory();
    if (!obj)
        return E_OUTOFMEMORY;
    const HRESULT hr = obj->QueryInterface(riid, ppv);
    obj->Release();
    return hr;
}

// ---------------------------------------------------------------------------------------------
// DispatchObject

namespace
{
long g_liveObjects = 0;
} // namespace

DispatchObject::DispatchObject(std::initializer_list<Member> members) : members_(members)
{
    ++g_liveObjects;
}

DispatchObject::~DispatchObject()
{
    --g_liveObjects;
}

long DispatchObject::LiveCount()
{
    return g_liveObjects;
}

HRESULT DispatchObject::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

ULONG DispatchObject::AddRef()
{
    return ++refs_;
}

ULONG DispatchObject::Release()
{
    const ULONG left = --refs_;
    if (left == 0)
        delete this;
    return left;
}

HRESULT DispatchObject::GetIDsOfNames(REFIID riid, OLECHAR **names, UINT count, LCID, DISPID *ids)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    if (!names || !ids || count == 0)
        return E_INVALIDARG;
    HRESULT hr = S_OK;
    ids[0] = DISPID_UNKNOWN;
    const std::u16string_view name = names[0] ? std::u16string_view(names[0]) : u"";
    for (const Member &member : members_) {
        if (EqualsNoCase(member.name, name)) {
            ids[0] = member.id;
            break;
        }
    }
    if (ids[0] == DISPID_UNKNOWN)
        hr = DISP_E_UNKNOWNNAME;
    for (UINT i = 1; i < count; ++i) { // named arguments are not supported
        ids[i] = DISPID_UNKNOWN;
        hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT DispatchObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS *params,
                               VARIANT *result, EXCEPINFO *excepInfo, UINT *)
{
    if (riid != IID_NULL)
        return DISP_E_UNKNOWNINTERFACE;
    static const DISPPARAMS none;
    // Keep this object alive for the call even if the member drops the last outside reference.
    AddRef();
    const HRESULT hr = InvokeMember(id, flags, params ? *params : none, result, excepInfo);
    Release();
    return hr;
}

// ---------------------------------------------------------------------------------------------
// Argument helpers

const VARIANT *PositionalArg(const DISPPARAMS &p, UINT i)
{
    const UINT n = PositionalCount(p);
    if (i >= n || !p.rgvarg)
        return nullptr;
    return &p.rgvarg[p.cArgs - 1 - i];
}

const VARIANT *PutValue(const DISPPARAMS &p)
{
    for (UINT i = 0; i < p.cNamedArgs; ++i) {
        if (p.rgdispidNamedArgs && p.rgdispidNamedArgs[i] == DISPID_PROPERTYPUT && p.rgvarg)
            return &p.rgvarg[i];
    }
    return nullptr;
}

const VARIANT *DerefVariant(const VARIANT *v)
{
    while (v && v->vt == (VT_VARIANT | VT_BYREF))
        v = v->pvarVal;
    return v;
}

bool IsMissing(const VARIANT *v)
{
    v = DerefVariant(v);
    if (!v)
        return true;
    if (v->vt == VT_ERROR)
        return v->scode == DISP_E_PARAMNOTFOUND;
    if (v->vt == (VT_ERROR | VT_BYREF))
        return v->pscode && *v->pscode == DISP_E_PARAMNOTFOUND;
    return false;
}

namespace
{

HRESULT ArgAs(const VARIANT *v, VARTYPE vt, VARIANT *out)
{
    if (IsMissing(v))
        return DISP_E_PARAMNOTFOUND;
    return VariantChangeTypeEx(out, v, LOCALE_USER_DEFAULT, 0, vt);
}

} // namespace

HRESULT ArgToInt32(const VARIANT *v, int32_t *out)
{
    VARIANT r;
    const HRESULT hr = ArgAs(v, VT_I4, &r);
    if (Succeeded(hr))
        *out = r.lVal;
    return hr;
}

HRESULT ArgToDouble(const VARIANT *v, double *out)
{
    VARIANT r;
    const HRESULT hr = ArgAs(v, VT_R8, &r);
    if (Succeeded(hr))
        *out = r.dblVal;
    return hr;
}

HRESULT ArgToBool(const VARIANT *v, bool *out)
{
    VARIANT r;
    const HRESULT hr = ArgAs(v, VT_BOOL, &r);
    if (Succeeded(hr))
        *out = r.boolVal != VARIANT_FALSE;
    return hr;
}

HRESULT ArgToString(const VARIANT *v, std::u16string *out)
{
    VARIANT r;
    const HRESULT hr = ArgAs(v, VT_BSTR, &r);
    if (Succeeded(hr)) {
        *out = BstrView(r.bstrVal);
        VariantClear(&r);
    }
    return hr;
}

IDispatch *ArgToDispatch(const VARIANT *v)
{
    v = DerefVariant(v);
    if (!v)
        return nullptr;
    if (v->vt == VT_DISPATCH)
        return v->pdispVal;
    if (v->vt == (VT_DISPATCH | VT_BYREF))
        return v->ppdispVal ? *v->ppdispVal : nullptr;
    return nullptr;
}

HRESULT RaiseException(EXCEPINFO *excepInfo, std::u16string_view source,
                       std::u16string_view description, SCODE scode, std::u16string_view helpFile,
                       DWORD helpContext)
{
    if (excepInfo) {
        ClearExcepInfo(excepInfo);
        excepInfo->bstrSource = SysAllocString(source);
        excepInfo->bstrDescription = SysAllocString(description);
        excepInfo->bstrHelpFile = helpFile.empty() ? nullptr : SysAllocString(helpFile);
        excepInfo->dwHelpContext = helpContext;
        excepInfo->scode = scode;
    }
    return DISP_E_EXCEPTION;
}

} // namespace com

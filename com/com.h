// A small component-object runtime for late-bound automation on Linux.
//
// It provides the pieces the late-bound call layer (automation.h) and the in-process
// automation servers (the workbook server, the recording server of the tests) share:
//
//  - HRESULT status codes with the platform's numeric values and a message text per known code;
//  - a tagged VARIANT (VT_EMPTY, VT_I2, VT_I4, VT_R8, VT_BSTR, VT_DISPATCH, VT_ERROR, VT_BOOL,
//    VT_UNKNOWN, VT_VARIANT, each optionally combined with VT_BYREF);
//  - length-prefixed UTF-16 strings (BSTR) with SysAllocString / SysFreeString;
//  - reference-counted IUnknown / IDispatch interfaces with GetIDsOfNames and Invoke,
//    DISPPARAMS and EXCEPINFO;
//  - a process-wide ProgID -> class registry with CoInitialize / CoUninitialize,
//    CLSIDFromProgID, CoCreateInstance and RegisterClassFactory;
//  - VariantInit / VariantClear / VariantCopy / VariantChangeTypeEx;
//  - DispatchObject, a base class that does the reference counting, QueryInterface and the
//    name lookup for a server object, plus helpers for reading arguments out of DISPPARAMS.
//
// Everything is single-threaded: objects are created and called on the thread that called
// CoInitialize (the user-interface thread). Nothing here is thread-safe and nothing needs to be.
//
// Memory rules (the same as on the platform):
//  - A BSTR is owned by whoever holds it; SysFreeString frees it (nullptr is the empty string).
//  - VariantClear frees a VT_BSTR and releases a VT_DISPATCH / VT_UNKNOWN held by value; it never
//    touches what a VT_BYREF variant points at.
//  - Invoke receives its arguments borrowed (the caller frees them) and returns its result owned
//    (the caller clears it). EXCEPINFO strings filled by a server are owned by the caller.
//  - A factory registered with RegisterClassFactory returns a new object with one reference,
//    which CoCreateInstance hands on (after QueryInterface for the wanted interface).
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace com
{

// ---------------------------------------------------------------------------------------------
// Basic types

using HRESULT = int32_t;
using SCODE = int32_t;
using DISPID = int32_t;
using LCID = uint32_t;
using ULONG = uint32_t;
using UINT = uint32_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using USHORT = uint16_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using OLECHAR = char16_t;
using BSTR = OLECHAR *; // points at the first character; the byte length sits just before it

constexpr HRESULT MakeHResult(uint32_t code)
{
    return static_cast<HRESULT>(code);
}
constexpr bool Succeeded(HRESULT hr)
{
    return hr >= 0;
}
constexpr bool Failed(HRESULT hr)
{
    return hr < 0;
}

// ---------------------------------------------------------------------------------------------
// Status codes (the platform's values)

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_UNEXPECTED = MakeHResult(0x8000FFFF);
constexpr HRESULT E_NOTIMPL = MakeHResult(0x80004001);
constexpr HRESULT E_NOINTERFACE = MakeHResult(0x80004002);
constexpr HRESULT E_POINTER = MakeHResult(0x80004003);
constexpr HRESULT E_FAIL = MakeHResult(0x80004005);
constexpr HRESULT E_OUTOFMEMORY = MakeHResult(0x8007000E);
constexpr HRESULT E_INVALIDARG = MakeHResult(0x80070057);
constexpr HRESULT CLASS_E_NOAGGREGATION = MakeHResult(0x80040110);
constexpr HRESULT REGDB_E_CLASSNOTREG = MakeHResult(0x80040154);
constexpr HRESULT CO_E_NOTINITIALIZED = MakeHResult(0x800401F0);
constexpr HRESULT CO_E_CLASSSTRING = MakeHResult(0x800401F3); // invalid class string (ProgID)
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = MakeHResult(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = MakeHResult(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = MakeHResult(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = MakeHResult(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = MakeHResult(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = MakeHResult(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = MakeHResult(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = MakeHResult(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = MakeHResult(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = MakeHResult(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = MakeHResult(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = MakeHResult(0x8002000F);

// The platform's message text for a status code, without trailing line breaks; empty when the
// code is not one this runtime knows (callers then fall back to a numeric text).
std::string HResultMessage(HRESULT hr);

// ---------------------------------------------------------------------------------------------
// GUIDs

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};
};
using IID = GUID;
using CLSID = GUID;
using REFIID = const IID &;
using REFCLSID = const CLSID &;

bool operator==(const GUID &a, const GUID &b);
inline bool operator!=(const GUID &a, const GUID &b)
{
    return !(a == b);
}

inline constexpr IID IID_NULL{};
// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
// {00020400-0000-0000-C000-000000000046}
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

// ---------------------------------------------------------------------------------------------
// Strings (BSTR): UTF-16, length-prefixed, zero-terminated, allocated on their own heap.

BSTR SysAllocString(const OLECHAR *s);              // nullptr in -> nullptr out
BSTR SysAllocStringLen(const OLECHAR *s, UINT len); // s may be nullptr: len zeroed characters
inline BSTR SysAllocString(std::u16string_view s)
{
    return SysAllocStringLen(s.data(), static_cast<UINT>(s.size()));
}
void SysFreeString(BSTR s); // nullptr is allowed
UINT SysStringLen(BSTR s);  // characters, 0 for nullptr
inline std::u16string_view BstrView(BSTR s)
{
    return {s ? s : u"", SysStringLen(s)};
}
// Number of BSTRs allocated and not yet freed in this process (a leak check for tests).
long SysStringLiveCount();

// Program text <-> wide text. The program's 8-bit text is UTF-8 on this system (the stand-in
// for the ANSI code page); invalid bytes become U+FFFD.
std::u16string AnsiToWide(std::string_view s);
std::string WideToAnsi(std::u16string_view s);

// ---------------------------------------------------------------------------------------------
// Interfaces

class IUnknown
{
  public:
    virtual HRESULT QueryInterface(REFIID riid, void **ppv) = 0;
    virtual ULONG AddRef() = 0;
    virtual ULONG Release() = 0;

  protected:
    virtual ~IUnknown() = default; // objects are destroyed by their last Release
};

struct VARIANT;
struct DISPPARAMS;
struct EXCEPINFO;

class IDispatch : public IUnknown
{
  public:
    // Maps names[0] (a member) and names[1..count-1] (its named arguments) to identifiers.
    // Unknown names give DISPID_UNKNOWN in their slot and the status DISP_E_UNKNOWNNAME.
    virtual HRESULT GetIDsOfNames(REFIID riid, OLECHAR **names, UINT count, LCID lcid,
                                  DISPID *ids) = 0;
    // Calls a member. riid must be IID_NULL. result may be nullptr (no result wanted).
    // On DISP_E_EXCEPTION the server has filled *excepInfo (when not nullptr).
    virtual HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                           VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) = 0;
};

// ---------------------------------------------------------------------------------------------
// VARIANT

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_DATE = 7, // a double of days; converted like VT_R8
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_VARIANT = 12, // only with VT_BYREF: points at another VARIANT
    VT_UNKNOWN = 13,
    VT_TYPEMASK = 0x0FFF,
    VT_BYREF = 0x4000,
};

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    WORD wReserved1 = 0;
    WORD wReserved2 = 0;
    WORD wReserved3 = 0;
    union {
        int64_t llVal = 0; // covers all the value members below
        int16_t iVal;
        int32_t lVal;
        double dblVal;
        double date;
        VARIANT_BOOL boolVal;
        SCODE scode;
        BSTR bstrVal;
        IUnknown *punkVal;
        IDispatch *pdispVal;
        // VT_BYREF forms: point at the caller's variable
        int16_t *piVal;
        int32_t *plVal;
        double *pdblVal;
        double *pdate;
        VARIANT_BOOL *pboolVal;
        SCODE *pscode;
        BSTR *pbstrVal;
        IUnknown **ppunkVal;
        IDispatch **ppdispVal;
        VARIANT *pvarVal;
        void *byref;
    };
};

void VariantInit(VARIANT *v); // sets VT_EMPTY without freeing anything
// Frees what *v owns (BSTR, interface reference) and leaves it VT_EMPTY.
// DISP_E_BADVARTYPE for a type this runtime does not know (the variant is left alone).
HRESULT VariantClear(VARIANT *v);
// Deep copy: BSTRs are duplicated, interfaces AddRef'd; *dst is cleared first.
// A VT_BYREF source is copied as the same reference.
HRESULT VariantCopy(VARIANT *dst, const VARIANT *src);
// Like VariantCopy, but a VT_BYREF source is dereferenced into a value.
HRESULT VariantCopyInd(VARIANT *dst, const VARIANT *src);

constexpr USHORT VARIANT_NOVALUEPROP = 0x01; // do not read an object's default value
constexpr USHORT VARIANT_ALPHABOOL = 0x02;   // VT_BOOL -> "True"/"False" instead of "-1"/"0"

// Converts *src (dereferenced when VT_BYREF) to the type vt into *dst (dst may equal src).
// Targets: VT_EMPTY, VT_BSTR, VT_I2, VT_I4, VT_R8, VT_BOOL, VT_DISPATCH (objects only).
// To text: integers in decimal, doubles with up to 15 significant digits ("." always),
// booleans as "-1"/"0" (or "True"/"False" with VARIANT_ALPHABOOL), VT_EMPTY as "".
// An object (VT_DISPATCH) is converted through its default value: Invoke(DISPID_VALUE,
// DISPATCH_PROPERTYGET, no arguments), whose result is converted in turn.
// Text to numbers accepts blanks around an optionally signed decimal number.
// Failures: DISP_E_TYPEMISMATCH (not convertible), DISP_E_OVERFLOW (out of range),
// DISP_E_BADVARTYPE; *dst is unchanged on failure.
HRESULT VariantChangeTypeEx(VARIANT *dst, const VARIANT *src, LCID lcid, USHORT flags, VARTYPE vt);

// Value constructors (the result owns what it holds).
inline VARIANT VariantFromI2(int16_t x)
{
    VARIANT v;
    v.vt = VT_I2;
    v.iVal = x;
    return v;
}
inline VARIANT VariantFromI4(int32_t x)
{
    VARIANT v;
    v.vt = VT_I4;
    v.lVal = x;
    return v;
}
inline VARIANT VariantFromR8(double x)
{
    VARIANT v;
    v.vt = VT_R8;
    v.dblVal = x;
    return v;
}
inline VARIANT VariantFromBool(bool x)
{
    VARIANT v;
    v.vt = VT_BOOL;
    v.boolVal = x ? VARIANT_TRUE : VARIANT_FALSE;
    return v;
}
inline VARIANT VariantFromString(std::u16string_view s)
{
    VARIANT v;
    v.vt = VT_BSTR;
    v.bstrVal = SysAllocString(s);
    return v;
}
// Takes a new reference on d (AddRef) unless d is nullptr.
VARIANT VariantFromDispatch(IDispatch *d);
// The "optional argument not supplied" marker: VT_ERROR with DISP_E_PARAMNOTFOUND.
inline VARIANT VariantMissing()
{
    VARIANT v;
    v.vt = VT_ERROR;
    v.scode = DISP_E_PARAMNOTFOUND;
    return v;
}

// ---------------------------------------------------------------------------------------------
// Dispatch call blocks

constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_PROPERTYPUT = -3;

constexpr WORD DISPATCH_METHOD = 1;
constexpr WORD DISPATCH_PROPERTYGET = 2;
constexpr WORD DISPATCH_PROPERTYPUT = 4;
constexpr WORD DISPATCH_PROPERTYPUTREF = 8;

// Arguments in reverse order: the named arguments first (rgvarg[0 .. cNamedArgs-1], matched
// by rgdispidNamedArgs), then the positional ones with the LAST positional argument at
// rgvarg[cNamedArgs] and the first at rgvarg[cArgs-1]. A property put passes its value as the
// named argument DISPID_PROPERTYPUT in rgvarg[0].
struct DISPPARAMS {
    VARIANT *rgvarg = nullptr;
    DISPID *rgdispidNamedArgs = nullptr;
    UINT cArgs = 0;
    UINT cNamedArgs = 0;
};

// A server's own error, reported with the status DISP_E_EXCEPTION.
struct EXCEPINFO {
    WORD wCode = 0;
    WORD wReserved = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    BSTR bstrHelpFile = nullptr;
    DWORD dwHelpContext = 0;
    void *pvReserved = nullptr;
    void *pfnDeferredFillIn = nullptr;
    SCODE scode = 0;
};
// Frees the three strings and zeroes the record.
void ClearExcepInfo(EXCEPINFO *e);

// ---------------------------------------------------------------------------------------------
// Runtime lifetime and class registry

constexpr LCID LOCALE_USER_DEFAULT = 0x0400;
constexpr LCID LOCALE_SYSTEM_DEFAULT = 0x0800;
LCID GetThreadLocale(); // LOCALE_USER_DEFAULT

constexpr DWORD CLSCTX_INPROC_SERVER = 1;
constexpr DWORD CLSCTX_LOCAL_SERVER = 4;

// Counted: the first call returns S_OK, later ones S_FALSE; each success needs one
// CoUninitialize. CoCreateInstance fails with CO_E_NOTINITIALIZED while the count is 0.
HRESULT CoInitialize(void *reserved = nullptr);
void CoUninitialize();
bool CoIsInitialized();

// Makes a new object with one reference (nullptr: E_OUTOFMEMORY is reported).
using ClassFactory = std::function<IUnknown *()>;

// Registers (or replaces) the class behind a ProgID. The class identifier is derived from the
// ProgID (stable for a name) unless clsid is given. ProgIDs compare case-insensitively (ASCII).
// Registration does not need CoInitialize. Returns S_OK, or E_INVALIDARG for an empty
// name or an empty factory.
HRESULT RegisterClassFactory(std::u16string_view progId, ClassFactory factory,
                             CLSID *clsidOut = nullptr);
// Removes a ProgID's registration; S_FALSE when it was not registered.
HRESULT RevokeClassFactory(std::u16string_view progId);

// CO_E_CLASSSTRING for a ProgID that is not registered (or nullptr / empty).
HRESULT CLSIDFromProgID(const OLECHAR *progId, CLSID *clsid);
// outer must be nullptr (CLASS_E_NOAGGREGATION), clsctx must include CLSCTX_INPROC_SERVER or
// CLSCTX_LOCAL_SERVER (E_INVALIDARG), the class must be registered (REGDB_E_CLASSNOTREG);
// the new object is queried for riid (E_NOINTERFACE when it lacks it).
HRESULT CoCreateInstance(REFCLSID clsid, IUnknown *outer, DWORD clsctx, REFIID riid, void **ppv);

// ---------------------------------------------------------------------------------------------
// Server-side helpers

// Base for server objects: reference counting (deleted by the last Release), QueryInterface
// for IUnknown and IDispatch, and GetIDsOfNames over a fixed member table (names compared
// case-insensitively for ASCII letters; named arguments are not supported and give
// DISP_E_UNKNOWNNAME). Invoke checks riid and hands over to InvokeMember.
// The member names are kept as views, not copied: pass string literals (or texts that
// outlive the object). Servers create many short-lived objects, one per range for instance.
// Objects start with one reference: create them with `new`, hand them out, and Release.
class DispatchObject : public IDispatch
{
  public:
    struct Member {
        std::u16string_view name;
        DISPID id;
    };

    HRESULT QueryInterface(REFIID riid, void **ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;
    HRESULT GetIDsOfNames(REFIID riid, OLECHAR **names, UINT count, LCID lcid,
                          DISPID *ids) override;
    HRESULT Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                   VARIANT *result, EXCEPINFO *excepInfo, UINT *argErr) override;

    ULONG RefCount() const { return refs_; }
    // Number of DispatchObject instances alive in the process (a leak check for tests).
    static long LiveCount();

  protected:
    explicit DispatchObject(std::initializer_list<Member> members);
    ~DispatchObject() override;

    // The member call proper. result is nullptr when the caller wants none; excepInfo may be
    // nullptr. Return DISP_E_MEMBERNOTFOUND for a call kind the member does not support.
    virtual HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                                 EXCEPINFO *excepInfo) = 0;

  private:
    std::vector<Member> members_;
    ULONG refs_ = 1;
};

// Number of positional arguments (without the named ones, e.g. the value of a property put).
inline UINT PositionalCount(const DISPPARAMS &p)
{
    return p.cArgs - p.cNamedArgs;
}
// The i-th positional argument counted from the first (0-based), or nullptr past the end.
const VARIANT *PositionalArg(const DISPPARAMS &p, UINT i);
// The value of a property put (the named argument DISPID_PROPERTYPUT), or nullptr.
const VARIANT *PutValue(const DISPPARAMS &p);
// True for nullptr and for the "not supplied" marker (VT_ERROR / DISP_E_PARAMNOTFOUND).
bool IsMissing(const VARIANT *v);
// The variant a VT_BYREF|VT_VARIANT points at (followed repeatedly), else v itself.
const VARIANT *DerefVariant(const VARIANT *v);
// Reads an argument as a given type through VariantChangeTypeEx.
HRESULT ArgToInt32(const VARIANT *v, int32_t *out);
HRESULT ArgToDouble(const VARIANT *v, double *out);
HRESULT ArgToBool(const VARIANT *v, bool *out);
HRESULT ArgToString(const VARIANT *v, std::u16string *out);
// The object held by an argument (VT_DISPATCH, by value or by reference), or nullptr;
// no reference is added.
IDispatch *ArgToDispatch(const VARIANT *v);

// Fills *excepInfo (when not nullptr; previous strings are freed) with a server error and
// returns DISP_E_EXCEPTION, for `return RaiseException(...)` in InvokeMember.
HRESULT RaiseException(EXCEPINFO *excepInfo, std::u16string_view source,
                       std::u16string_view description, SCODE scode = E_FAIL,
                       std::u16string_view helpFile = {}, DWORD helpContext = 0);

// ---------------------------------------------------------------------------------------------
// ComPtr: an owning interface pointer (Release on destruction).

template <class T> class ComPtr
{
  public:
    ComPtr() = default;
    ComPtr(std::nullptr_t) {}
    // Adopts a reference the caller already owns.
    static ComPtr Adopt(T *p)
    {
        ComPtr r;
        r.p_ = p;
        return r;
    }
    // Takes a new reference.
    static ComPtr Share(T *p)
    {
        if (p)
            p->AddRef();
        return Adopt(p);
    }
    ComPtr(const ComPtr &o) : p_(o.p_)
    {
        if (p_)
            p_->AddRef();
    }
    ComPtr(ComPtr &&o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    ComPtr &operator=(ComPtr o) noexcept
    {
        std::swap(p_, o.p_);
        return *this;
    }
    ~ComPtr() { Reset(); }

    void Reset()
    {
        if (T *p = std::exchange(p_, nullptr))
            p->Release();
    }
    T *Get() const { return p_; }
    T *Detach() { return std::exchange(p_, nullptr); }
    T *operator->() const { return p_; }
    T &operator*() const { return *p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out-parameters: releases the current object and returns the slot.
    T **Put()
    {
        Reset();
        return &p_;
    }

  private:
    T *p_ = nullptr;
};

} // namespace com

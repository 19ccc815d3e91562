// Late-bound automation calls: create a server object from its ProgID, call a member of an
// object by name (method, property get, property put) with positional typed arguments, and
// turn every failure into an error of the EOleError family.
//
// Program text is UTF-8 (std::string); it is converted to UTF-16 for the server and back.
// Everything runs on the thread that called AutomationStartup (the user-interface thread).
#pragma once

#include "com.h"

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

// ---------------------------------------------------------------------------------------------
// Errors

// A call on a holder without an object, or a member name the object does not know.
class EOleError : public std::runtime_error
{
  public:
    explicit EOleError(const std::string &message) : std::runtime_error(message) {}
};

// A platform function or Invoke failed with a status other than DISP_E_EXCEPTION.
class EOleSysError : public EOleError
{
  public:
    EOleSysError(const std::string &message, com::HRESULT errorCode);
    com::HRESULT ErrorCode;
};

// The server raised an error of its own (Invoke returned DISP_E_EXCEPTION).
class EOleException : public EOleSysError
{
  public:
    EOleException(const std::string &message, com::HRESULT errorCode, std::string source,
                  std::string helpFile, int helpContext);
    std::string Source;
    std::string HelpFile;
    int HelpContext;
};

// The failure check: a negative status raises EOleSysError with that code and the
// platform's message text for it ("OLE error %.8x" when there is none).
void OleCheck(com::HRESULT hr);
// The message an EOleSysError carries for a code.
std::string OleSysErrorMessage(com::HRESULT hr);

// ---------------------------------------------------------------------------------------------
// AutoVariant: a variant holder, and the object reference holder of the archive.
//
// Holds a com::VARIANT it owns (cleared on destruction and before every new value), or the
// program's own text (NativeText), which is turned into a wide string when passed to a server.
// Holding an object means holding one counted reference: assigning a new value or Clear()
// releases it.

class AutoVariant
{
  public:
    AutoVariant() = default;
    AutoVariant(const AutoVariant &other);
    AutoVariant(AutoVariant &&other) noexcept;
    AutoVariant &operator=(const AutoVariant &other);
    AutoVariant &operator=(AutoVariant &&other) noexcept;
    ~AutoVariant();

    // Takes ownership of v (v is left VT_EMPTY).
    static AutoVariant Adopt(com::VARIANT &v);
    // A copy of v (strings duplicated, objects AddRef'd).
    static AutoVariant Copy(const com::VARIANT &v);
    // The program's text, kept as 8-bit text until it is passed to a server.
    static AutoVariant NativeText(std::string text);
    // A holder that refers to another holder (VT_VARIANT | VT_BYREF); `target` must outlive it.
    static AutoVariant RefTo(AutoVariant &target);

    void Clear(); // releases what is held and becomes empty
    bool IsEmpty() const { return !isText_ && v_.vt == com::VT_EMPTY; }
    bool IsNativeText() const { return isText_; }
    const std::string &Text() const { return text_; } // the native text (IsNativeText)
    // The object held directly or through a by-reference holder; nullptr otherwise.
    // No reference is added.
    com::IDispatch *Dispatch() const;

    const com::VARIANT &Raw() const { return v_; }
    com::VARIANT &Raw() { return v_; }
    // Turns native text into a VT_BSTR in place (no-op otherwise).
    void MakeWide();

  private:
    com::VARIANT v_;
    bool isText_ = false;
    std::string text_;
};

// The result of a call as text: the platform's variant conversion to a wide string, then to
// program text. An object gives the text of its default value (a worksheet cell gives its
// value's text; an empty cell gives ""). Raises EOleSysError when it cannot be converted.
std::string VariantToText(const AutoVariant &v);

// ---------------------------------------------------------------------------------------------
// Arguments

enum class CallKind { Method, PropertyGet, PropertyPut };

// One positional argument. By-reference arguments point at the caller's variable, which must
// outlive the call; a by-reference string is copied back after a successful call.
class AutomationArg
{
  public:
    enum class Kind {
        String,
        I2,
        I4,
        Bool,
        Double,
        Variant,
        Omitted,
        StringRef,
        I2Ref,
        I4Ref,
        DoubleRef,
        VariantRef,
    };

    static AutomationArg Str(std::string_view s);
    static AutomationArg I2(int16_t x);
    static AutomationArg I4(int32_t x);
    static AutomationArg Bool(bool x);
    static AutomationArg Double(double x);
    static AutomationArg Var(const AutoVariant &v); // the variant's own type and value
    static AutomationArg Omitted();
    static AutomationArg StrRef(std::string &s);
    static AutomationArg I2Ref(int16_t &x);
    static AutomationArg I4Ref(int32_t &x);
    static AutomationArg DoubleRef(double &x);
    static AutomationArg VarRef(AutoVariant &v);

    Kind kind() const { return kind_; }

  private:
    friend AutoVariant LateBoundCall(const AutoVariant &, CallKind, std::string_view,
                                     std::span<const AutomationArg>, bool);
    // An argument of the given kind pointing at the caller's variable.
    static AutomationArg Ref(Kind kind, void *variable);

    Kind kind_ = Kind::Omitted;
    std::string text_;
    int64_t int_ = 0;
    double dbl_ = 0;
    const AutoVariant *var_ = nullptr;
    void *ref_ = nullptr;
};

constexpr size_t MaxAutomationArgs = 64;

// ---------------------------------------------------------------------------------------------
// Calls

// Creates the server object registered under progId and returns a holder of its IDispatch.
// Raises EOleSysError (e.g. com::CO_E_CLASSSTRING for an unknown ProgID).
AutoVariant CreateAutomationObject(std::string_view progId);

// One late-bound call on the object held by `target` (directly or through a by-reference
// holder). Returns the result, or an empty holder when no result is wanted.
// Raises EOleError ("Variant does not reference an automation object", "Method '%s' not
// supported by automation object"), EOleSysError or EOleException. Every wide string
// allocated for the call is freed before it returns or raises.
AutoVariant LateBoundCall(const AutoVariant &target, CallKind kind, std::string_view member,
                          std::span<const AutomationArg> args, bool wantResult);
inline AutoVariant LateBoundCall(const AutoVariant &target, CallKind kind, std::string_view member,
                                 std::initializer_list<AutomationArg> args, bool wantResult)
{
    return LateBoundCall(target, kind, member, std::span(args.begin(), args.size()), wantResult);
}

// Component object model lifetime for the user-interface thread: AutomationStartup calls
// CoInitialize and remembers whether it succeeded; AutomationShutdown calls CoUninitialize
// only then.
void AutomationStartup();
void AutomationShutdown();

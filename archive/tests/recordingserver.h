// A recording automation server for the archive tests.
//
// Registered under its own ProgID, it offers the members the archive calls on a spreadsheet
// application and records every named call it receives: the receiver, the member, the
// invocation flags and the arguments with their variant types, in the order the server sees
// them. Cell values put into "Cells" are kept per worksheet, so the row counter in B2 reads
// back as the archive wrote it. One call can be made to fail (a server error), and any call
// after it is still recorded, so tests can check that nothing followed.
#pragma once

#include "automation.h"
#include "com.h"

#include <QString>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rec
{

using namespace com;

inline const char *const kProgId = "PTK71.RecordingServer";

// One argument as the server saw it.
struct SeenArg {
    VARTYPE vt = VT_EMPTY;
    std::string text; // the value ("2", "Точка 1", "80020004", the object's name)

    std::string Show() const;
};

struct SeenCall {
    std::string target; // the receiver's name: app, workbooks, workbook, sheets, sheet1, ...
    std::string member;
    WORD flags = 0;
    std::vector<SeenArg> raw; // the argument array in the server's order (rgvarg[0] first)
    std::vector<DISPID> named;

    // Positional arguments in call order (the last of raw first), the put value excluded.
    std::vector<SeenArg> Positional() const
    {
        std::vector<SeenArg> out;
        for (size_t i = raw.size(); i > named.size(); --i)
            out.push_back(raw[i - 1]);
        return out;
    }
    // "sheet1.Cells put(I4 2, I4 2) = I4& 5" and the like.
    std::string Show() const;
};

inline std::string KindText(WORD flags)
{
    switch (flags) {
    case DISPATCH_METHOD:
        return "method";
    case DISPATCH_PROPERTYGET:
        return "get";
    case DISPATCH_METHOD | DISPATCH_PROPERTYGET:
        return "method|get";
    case DISPATCH_PROPERTYPUT:
        return "put";
    case DISPATCH_PROPERTYPUTREF:
        return "putref";
    default:
        return "flags" + std::to_string(flags);
    }
}

inline std::string TypeText(VARTYPE vt)
{
    std::string base;
    switch (vt & VT_TYPEMASK) {
    case VT_EMPTY:
        base = "EMPTY";
        break;
    case VT_I2:
        base = "I2";
        break;
    case VT_I4:
        base = "I4";
        break;
    case VT_R8:
        base = "R8";
        break;
    case VT_BSTR:
        base = "BSTR";
        break;
    case VT_DISPATCH:
        base = "DISPATCH";
        break;
    case VT_ERROR:
        base = "ERROR";
        break;
    case VT_BOOL:
        base = "BOOL";
        break;
    case VT_VARIANT:
        base = "VARIANT";
        break;
    default:
        base = "VT" + std::to_string(vt & VT_TYPEMASK);
    }
    return (vt & VT_BYREF) ? base + "&" : base;
}

inline std::string SeenArg::Show() const
{
    return TypeText(vt) + " " + text;
}

inline std::string SeenCall::Show() const
{
    std::string s = target + "." + member + " " + KindText(flags) + "(";
    const auto pos = Positional();
    for (size_t i = 0; i < pos.size(); ++i)
        s += (i ? ", " : "") + pos[i].Show();
    s += ")";
    if (!named.empty() && !raw.empty())
        s += " = " + raw[0].Show();
    return s;
}

class RecObject;

// The state shared by all objects of one server instance.
struct ServerState {
    std::vector<SeenCall> calls;
    int failAt = -1; // index in `calls` of the call that fails (-1: none)
    HRESULT failStatus = DISP_E_EXCEPTION;
    std::u16string failText = u"The call failed.  ";
    std::vector<std::map<std::pair<int, int>, AutoVariant>> sheets{1}; // cells per worksheet
    int quitCount = 0;

    std::vector<std::string> Shown() const
    {
        std::vector<std::string> out;
        for (const SeenCall &c : calls)
            out.push_back(c.Show());
        return out;
    }
};

// One object of the server; its role decides what its members return.
class RecObject : public DispatchObject
{
  public:
    RecObject(std::shared_ptr<ServerState> state, std::string name, int sheet = -1, int row = 0,
              int col = 0)
        : DispatchObject({{u"Visible", 1},
                          {u"Workbooks", 2},
                          {u"Open", 3},
                          {u"Add", 4},
                          {u"WorkSheets", 5},
                          {u"SaveAs", 6},
                          {u"Save", 7},
                          {u"Close", 8},
                          {u"Quit", 9},
                          {u"Cells", 10},
                          {u"Range", 11},
                          {u"Select", 12},
                          {u"ClearComments", 13},
                          {u"AddComment", 14},
                          {u"Comment", 15}}),
          state_(std::move(state)), name_(std::move(name)), sheet_(sheet), row_(row), col_(col)
    {
    }

    const std::string &Name() const { return name_; }

  protected:
    HRESULT InvokeMember(DISPID id, WORD flags, const DISPPARAMS &params, VARIANT *result,
                         EXCEPINFO *excepInfo) override
    {
        if (id == DISPID_VALUE) // a cell's value, read by the text conversion; not logged
            return CellValue(result);

        SeenCall call;
        call.target = name_;
        call.flags = flags;
        for (UINT i = 0; i < params.cArgs; ++i)
            call.raw.push_back(See(params.rgvarg[i]));
        for (UINT i = 0; i < params.cNamedArgs; ++i)
            call.named.push_back(params.rgdispidNamedArgs[i]);
        static const char *const names[] = {"",       "Visible",       "Workbooks",  "Open",
                                            "Add",    "WorkSheets",    "SaveAs",     "Save",
                                            "Close",  "Quit",          "Cells",      "Range",
                                            "Select", "ClearComments", "AddComment", "Comment"};
        call.member = names[id];
        const int index = int(state_->calls.size());
        state_->calls.push_back(call);
        if (index == state_->failAt) {
            if (state_->failStatus == DISP_E_EXCEPTION)
                return RaiseException(excepInfo, u"Recorder", state_->failText, E_FAIL);
            return state_->failStatus;
        }

        const std::string member = call.member;
        if (member == "Quit")
            ++state_->quitCount;
        if (member == "Cells" && (flags & DISPATCH_PROPERTYPUT)) {
            int32_t r = 0, c = 0;
            ArgToInt32(PositionalArg(params, 0), &r);
            ArgToInt32(PositionalArg(params, 1), &c);
            VARIANT v;
            VariantCopyInd(&v, DerefVariant(PutValue(params)));
            state_->sheets[size_t(sheet_)][{r, c}] = AutoVariant::Adopt(v);
            return S_OK;
        }
        if (!result)
            return S_OK;
        std::string child;
        int sheet = sheet_, row = 0, col = 0;
        if (member == "Workbooks")
            child = "workbooks";
        else if (member == "Open" || (member == "Add" && name_ == "workbooks"))
            child = "workbook";
        else if (member == "WorkSheets" && PositionalCount(params) == 0)
            child = "sheets";
        else if (member == "WorkSheets")
            sheet = 0;
        else if (member == "Add") { // a new worksheet
            state_->sheets.emplace_back();
            sheet = int(state_->sheets.size()) - 1;
        } else if (member == "Cells") {
            ArgToInt32(PositionalArg(params, 0), &row);
            ArgToInt32(PositionalArg(params, 1), &col);
            child = "cell(" + std::to_string(row) + "," + std::to_string(col) + ")";
        } else if (member == "Range")
            child = "range";
        else if (member == "Comment")
            child = "comment";
        else
            return S_OK;
        if (child.empty())
            child = "sheet" + std::to_string(sheet + 1);
        VARIANT v;
        v.vt = VT_DISPATCH;
        v.pdispVal = new RecObject(state_, child, sheet, row, col);
        *result = v;
        return S_OK;
    }

  private:
    HRESULT CellValue(VARIANT *result)
    {
        if (!result || sheet_ < 0 || row_ == 0)
            return DISP_E_MEMBERNOTFOUND;
        const auto &cells = state_->sheets[size_t(sheet_)];
        const auto it = cells.find({row_, col_});
        if (it != cells.end())
            return VariantCopy(result, &it->second.Raw());
        return S_OK; // an empty cell: VT_EMPTY
    }

    static SeenArg See(const VARIANT &v)
    {
        SeenArg a;
        a.vt = v.vt;
        const VARIANT *value = &v;
        if (v.vt == (VT_VARIANT | VT_BYREF))
            value = DerefVariant(&v);
        if (IDispatch *d = ArgToDispatch(value)) {
            a.text = static_cast<RecObject *>(d)->name_;
        } else if ((value->vt & VT_TYPEMASK) == VT_ERROR) {
            const SCODE s = (value->vt & VT_BYREF) ? *value->pscode : value->scode;
            char buf[16];
            std::snprintf(buf, sizeof buf, "%08x", unsigned(s));
            a.text = buf;
        } else {
            std::u16string text;
            ArgToString(value, &text);
            a.text = WideToAnsi(text);
        }
        return a;
    }

    std::shared_ptr<ServerState> state_;
    std::string name_;
    int sheet_;
    int row_;
    int col_;
};

// Registers the recorder under kProgId; every object created shares `state`.
inline void RegisterRecorder(const std::shared_ptr<ServerState> &state)
{
    RegisterClassFactory(AnsiToWide(kProgId),
                         [state]() -> IUnknown * { return new RecObject(state, "app"); });
}

} // namespace rec

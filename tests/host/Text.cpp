#include "host/Text.h"

#include "com/ComError.h"
#include "com/Guids.h"
#include "com/Resources.h"

#include <ocidl.h>
#include <olectl.h>
#include <oleidl.h>

#include <cstdio>

namespace host {
namespace {

// MAPI's identifiers, spelled out here: mingw-w64 declares them but defines
// them in no import library.
const IID kIID_IMAPIProp = {0x00020303, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
const IID kIID_IMessage = {0x00020307, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct NamedInterface
{
    const IID *iid;
    const char *name;
};

// The interfaces the add-in asks the host about; anything else shows as a GUID.
const NamedInterface kInterfaces[] = {
    {&IID_IUnknown, "IUnknown"},
    {&IID_IDispatch, "IDispatch"},
    {&IID_IConnectionPointContainer, "IConnectionPointContainer"},
    {&IID_IConnectionPoint, "IConnectionPoint"},
    {&IID_IOleWindow, "IOleWindow"},
    {&kIID_IMAPIProp, "IMAPIProp"},
    {&kIID_IMessage, "IMessage"},
    {&IID_IDTExtensibility2, "IDTExtensibility2"},
    {&DIID_ApplicationEvents, "ApplicationEvents"},
    {&DIID_InspectorsEvents, "InspectorsEvents"},
    {&DIID_InspectorEvents, "InspectorEvents"},
    {&DIID_ItemEvents, "ItemEvents"},
    {&DIID_ExplorersEvents, "ExplorersEvents"},
    {&DIID_ExplorerEvents_10, "ExplorerEvents_10"},
    {&IID__Application, "_Application"},
    {&IID__Inspector, "_Inspector"},
    {&IID__MailItem, "_MailItem"},
    {&IID__Explorers, "_Explorers"},
    {&IID__Explorer, "_Explorer"},
    {&IID_IRibbonExtensibility, "IRibbonExtensibility"},
    {&IID_IRibbonControl, "IRibbonControl"},
    {&IID_IRibbonUI, "IRibbonUI"},
    {&DIID__CommandBarButtonEvents, "_CommandBarButtonEvents"},
    {&IID__CommandBars, "_CommandBars"},
    {&IID_CommandBar, "CommandBar"},
    {&IID_CommandBarControls, "CommandBarControls"},
    {&IID_CommandBarControl, "CommandBarControl"},
    {&IID__CommandBarButton, "_CommandBarButton"},
};

struct NamedResult
{
    HRESULT hr;
    const char *name;
};

const NamedResult kResults[] = {
    {S_OK, "S_OK"},
    {S_FALSE, "S_FALSE"},
    {E_FAIL, "E_FAIL"},
    {E_NOTIMPL, "E_NOTIMPL"},
    {E_NOINTERFACE, "E_NOINTERFACE"},
    {E_POINTER, "E_POINTER"},
    {E_INVALIDARG, "E_INVALIDARG"},
    {E_OUTOFMEMORY, "E_OUTOFMEMORY"},
    {E_UNEXPECTED, "E_UNEXPECTED"},
    {E_ACCESSDENIED, "E_ACCESSDENIED"},
    {E_ABORT, "E_ABORT"},
    {E_PENDING, "E_PENDING"},
    {DISP_E_UNKNOWNINTERFACE, "DISP_E_UNKNOWNINTERFACE"},
    {DISP_E_MEMBERNOTFOUND, "DISP_E_MEMBERNOTFOUND"},
    {DISP_E_PARAMNOTFOUND, "DISP_E_PARAMNOTFOUND"},
    {DISP_E_TYPEMISMATCH, "DISP_E_TYPEMISMATCH"},
    {DISP_E_UNKNOWNNAME, "DISP_E_UNKNOWNNAME"},
    {DISP_E_NONAMEDARGS, "DISP_E_NONAMEDARGS"},
    {DISP_E_BADVARTYPE, "DISP_E_BADVARTYPE"},
    {DISP_E_EXCEPTION, "DISP_E_EXCEPTION"},
    {DISP_E_BADINDEX, "DISP_E_BADINDEX"},
    {DISP_E_BADPARAMCOUNT, "DISP_E_BADPARAMCOUNT"},
    {DISP_E_PARAMNOTOPTIONAL, "DISP_E_PARAMNOTOPTIONAL"},
    {CONNECT_E_NOCONNECTION, "CONNECT_E_NOCONNECTION"},
    {CONNECT_E_ADVISELIMIT, "CONNECT_E_ADVISELIMIT"},
    {CONNECT_E_CANNOTCONNECT, "CONNECT_E_CANNOTCONNECT"},
    {CLASS_E_NOAGGREGATION, "CLASS_E_NOAGGREGATION"},
    {CLASS_E_CLASSNOTAVAILABLE, "CLASS_E_CLASSNOTAVAILABLE"},
    {static_cast<HRESULT>(0x8004010F), "MAPI_E_NOT_FOUND"},
    {static_cast<HRESULT>(0x80040102), "MAPI_E_NO_SUPPORT"},
    {static_cast<HRESULT>(0x80040103), "MAPI_E_BAD_CHARWIDTH"},
    {static_cast<HRESULT>(0x00040380), "MAPI_W_ERRORS_RETURNED"},
};

std::string Quoted(const std::string &text)
{
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\r': out += "\\r"; break;
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
                out += hex;
            } else {
                out += c;
            }
        }
    }
    return out + "\"";
}

const char *BaseTypeName(VARTYPE vt)
{
    switch (vt) {
    case VT_EMPTY: return "VT_EMPTY";
    case VT_NULL: return "VT_NULL";
    case VT_I1: return "VT_I1";
    case VT_UI1: return "VT_UI1";
    case VT_I2: return "VT_I2";
    case VT_UI2: return "VT_UI2";
    case VT_I4: return "VT_I4";
    case VT_UI4: return "VT_UI4";
    case VT_I8: return "VT_I8";
    case VT_UI8: return "VT_UI8";
    case VT_INT: return "VT_INT";
    case VT_UINT: return "VT_UINT";
    case VT_R4: return "VT_R4";
    case VT_R8: return "VT_R8";
    case VT_CY: return "VT_CY";
    case VT_DATE: return "VT_DATE";
    case VT_BSTR: return "VT_BSTR";
    case VT_DISPATCH: return "VT_DISPATCH";
    case VT_ERROR: return "VT_ERROR";
    case VT_BOOL: return "VT_BOOL";
    case VT_VARIANT: return "VT_VARIANT";
    case VT_UNKNOWN: return "VT_UNKNOWN";
    default: return nullptr;
    }
}

std::string TypeName(VARTYPE vt)
{
    std::string name;
    const char *base = BaseTypeName(vt & VT_TYPEMASK);
    if (base) {
        name = base;
    } else {
        char hex[16];
        snprintf(hex, sizeof hex, "VT_0x%04X", vt & VT_TYPEMASK);
        name = hex;
    }
    if (vt & VT_ARRAY)
        name = "VT_ARRAY|" + name;
    if (vt & VT_BYREF)
        name += "|VT_BYREF";
    return name;
}

std::string Number(long long value)
{
    return std::to_string(value);
}

// The value part of a scalar, read through a pointer for VT_BYREF.
std::string ScalarText(VARTYPE base, const void *p)
{
    switch (base) {
    case VT_I1: return Number(*static_cast<const signed char *>(p));
    case VT_UI1: return Number(*static_cast<const unsigned char *>(p));
    case VT_I2: return Number(*static_cast<const SHORT *>(p));
    case VT_UI2: return Number(*static_cast<const USHORT *>(p));
    case VT_I4: return Number(*static_cast<const LONG *>(p));
    case VT_UI4: return Number(*static_cast<const ULONG *>(p));
    case VT_INT: return Number(*static_cast<const INT *>(p));
    case VT_UINT: return Number(*static_cast<const UINT *>(p));
    case VT_I8: return Number(*static_cast<const LONGLONG *>(p));
    case VT_UI8: return std::to_string(*static_cast<const ULONGLONG *>(p));
    case VT_BOOL: return Number(*static_cast<const VARIANT_BOOL *>(p));
    case VT_R4: {
        char buf[32];
        snprintf(buf, sizeof buf, "%g", *static_cast<const float *>(p));
        return buf;
    }
    case VT_R8:
    case VT_DATE: {
        char buf[32];
        snprintf(buf, sizeof buf, "%g", *static_cast<const double *>(p));
        return buf;
    }
    case VT_ERROR: return HResultText(*static_cast<const SCODE *>(p));
    case VT_BSTR: {
        BSTR s = *static_cast<const BSTR *>(p);
        return s ? Quoted(AnsiFromWide(s, static_cast<int>(SysStringLen(s)))) : "null";
    }
    case VT_DISPATCH:
    case VT_UNKNOWN: return *static_cast<IUnknown *const *>(p) ? "" : "null";
    default: return "";
    }
}

} // namespace

std::string VariantText(const VARIANT &value)
{
    const VARTYPE vt = value.vt;
    if (vt == VT_ERROR && value.scode == DISP_E_PARAMNOTFOUND)
        return "missing";
    std::string text = TypeName(vt);
    if (vt & VT_ARRAY)
        return text;
    const VARTYPE base = vt & VT_TYPEMASK;
    if (vt & VT_BYREF) {
        if (!value.byref)
            return text + " null";
        if (base == VT_VARIANT)
            return text + " " + VariantText(*value.pvarVal);
    } else if (base == VT_EMPTY || base == VT_NULL) {
        return text;
    }
    // Every member of the value union starts at the same address.
    const void *p = (vt & VT_BYREF) ? value.byref : static_cast<const void *>(&value.llVal);
    std::string scalar = ScalarText(base, p);
    return scalar.empty() ? text : text + " " + scalar;
}

std::string HResultText(HRESULT hr)
{
    for (const NamedResult &entry : kResults)
        if (entry.hr == hr)
            return entry.name;
    char hex[16];
    snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(hr));
    return hex;
}

std::string InterfaceName(REFIID iid)
{
    for (const NamedInterface &entry : kInterfaces)
        if (IsEqualIID(*entry.iid, iid))
            return entry.name;
    return GuidText(iid).c_str();
}

VARIANT ByRefBool(VARIANT_BOOL *target)
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_BOOL | VT_BYREF;
    v.pboolVal = target;
    return v;
}

} // namespace host

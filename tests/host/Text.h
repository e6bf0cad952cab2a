// Readable text for what crosses the stand-in host's COM surface: argument
// values, HRESULTs and interface identifiers, as they appear in the call log.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace host {

// `VT_BSTR "Quorvia"`, `VT_I2 -1`, `VT_BOOL -1`, `VT_DISPATCH`, `missing` (the
// optional-argument marker), `VT_BOOL|VT_BYREF 0` (the value pointed to), ...
// Control characters and quotes inside strings are escaped so a record stays one line.
std::string VariantText(const VARIANT &value);

// "S_OK", "E_NOINTERFACE", "DISP_E_UNKNOWNNAME", ... or "0x8004010F" when unnamed.
std::string HResultText(HRESULT hr);

// "IConnectionPointContainer", "IID__MailItem", "ItemEvents", ... or the GUID in
// registry form when the interface is not one the add-in is known to ask about.
std::string InterfaceName(REFIID iid);

// A VARIANT that refers to a caller's VARIANT_BOOL, as events pass their Cancel argument.
VARIANT ByRefBool(VARIANT_BOOL *target);

} // namespace host

// Reading and writing a property of any dispatch object by name, for the few
// properties the add-in reaches without a typed interface ("BodyFormat",
// "Picture", "Mask", "AttachedTemplate", "Saved"). They never raise; the caller
// decides what a failure means.
#pragma once

#include <windows.h>
#include <oaidl.h>

// Gets the property into *result (initialised first; the caller clears it).
// Leaves *result untouched when the name is unknown.
HRESULT DispGetProperty(IDispatch *object, const wchar_t *name, VARIANT *result);

// Puts the property from cArgs VARIANT* arguments (borrowed, not copied), the
// last of which is the value. One flag word serves value and object properties.
HRESULT DispPutProperty(IDispatch *object, const wchar_t *name, VARIANT *result, int cArgs, ...);

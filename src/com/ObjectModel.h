// Typed calls on the Outlook and Office object models, made by name through
// IDispatch (which every object of those models supports). A failed call
// raises ComError with the HRESULT and the IID of the interface it stands for.
#pragma once

#include "com/ComError.h"
#include "com/ComPtr.h"
#include "com/Resources.h"

#include <initializer_list>

namespace om {

// Invokes a member by name; `args` are in natural order. Returns the HRESULT of
// the first step that failed, or of Invoke. Never raises.
HRESULT TryInvoke(IDispatch *object, const wchar_t *name, WORD flags, std::initializer_list<const VARIANT *> args,
                  VARIANT *result);

// Property get; raises on failure.
Variant Get(IDispatch *object, const wchar_t *name, REFIID iid);
// Property put of a value; raises on failure.
void Put(IDispatch *object, const wchar_t *name, const Variant &value, REFIID iid);
// Method call; raises on failure.
Variant Call(IDispatch *object, const wchar_t *name, REFIID iid, std::initializer_list<const VARIANT *> args = {});

// The object held by a VT_DISPATCH or VT_UNKNOWN value, as IDispatch; null for
// anything else (VT_EMPTY, VT_NULL, a null pointer).
ComPtr<IDispatch> AsDispatch(const Variant &value);
ComPtr<IUnknown> AsUnknown(const Variant &value);

// Asks an object for an interface; E_NOINTERFACE gives null, any other failure raises.
template <class T>
ComPtr<T> QueryOptional(IUnknown *object, REFIID iid)
{
    ComPtr<T> out;
    if (!object)
        return out;
    HRESULT hr = object->QueryInterface(iid, out.ReceiveVoid());
    if (hr == E_NOINTERFACE)
        return ComPtr<T>();
    ThrowIfFailed(hr, iid);
    return out;
}

} // namespace om

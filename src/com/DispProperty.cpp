#include "com/DispProperty.h"

#include <cstdarg>
#include <vector>

namespace {

HRESULT LookUp(IDispatch *object, const wchar_t *name, DISPID *dispid)
{
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    return object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, dispid);
}

} // namespace

HRESULT DispGetProperty(IDispatch *object, const wchar_t *name, VARIANT *result)
{
    if (!object)
        return E_POINTER;
    DISPID dispid;
    HRESULT hr = LookUp(object, name, &dispid);
    if (FAILED(hr))
        return hr;
    VariantInit(result);
    DISPPARAMS none = {nullptr, nullptr, 0, 0};
    return object->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &none,
                          result, nullptr, nullptr);
}

HRESULT DispPutProperty(IDispatch *object, const wchar_t *name, VARIANT *result, int cArgs, ...)
{
    if (!object)
        return E_POINTER;
    DISPID dispid;
    HRESULT hr = LookUp(object, name, &dispid);
    if (FAILED(hr))
        return hr;

    // Arguments travel last to first: the first value fills the last element,
    // and element 0, the value being put, is the one named DISPID_PROPERTYPUT.
    std::vector<VARIANT> args;
    try {
        args.resize(cArgs > 0 ? cArgs : 0);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
    va_list list;
    va_start(list, cArgs);
    for (int i = 0; i < cArgs; ++i)
        args[cArgs - 1 - i] = *va_arg(list, VARIANT *);
    va_end(list);

    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params = {args.data(), &named, static_cast<UINT>(args.size()), 1};
    VariantInit(result);
    return object->Invoke(dispid, IID_NULL, LOCALE_SYSTEM_DEFAULT,
                          DISPATCH_METHOD | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF, &params, result,
                          nullptr, nullptr);
}

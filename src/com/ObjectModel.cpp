#include "com/ObjectModel.h"

#include <vector>

namespace om {

HRESULT TryInvoke(IDispatch *object, const wchar_t *name, WORD flags, std::initializer_list<const VARIANT *> args,
                  VARIANT *result)
{
    if (!object)
        return E_POINTER;
    DISPID dispid = DISPID_UNKNOWN;
    LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr))
        return hr;

    // IDispatch takes its arguments last to first; the values are borrowed.
    std::vector<VARIANT> reversed(args.size());
    size_t i = args.size();
    for (const VARIANT *arg : args)
        reversed[--i] = *arg;
    DISPID putName = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &putName;
        params.cNamedArgs = 1;
    }
    return object->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr, nullptr);
}

Variant Get(IDispatch *object, const wchar_t *name, REFIID iid)
{
    Variant result;
    ThrowIfFailed(TryInvoke(object, name, DISPATCH_PROPERTYGET, {}, result.Receive()), iid);
    return result;
}

void Put(IDispatch *object, const wchar_t *name, const Variant &value, REFIID iid)
{
    WORD flags = (value.Type() == VT_DISPATCH || value.Type() == VT_UNKNOWN) ? DISPATCH_PROPERTYPUTREF
                                                                             : DISPATCH_PROPERTYPUT;
    Variant ignored;
    ThrowIfFailed(TryInvoke(object, name, flags, {value.Get()}, ignored.Receive()), iid);
}

Variant Call(IDispatch *object, const wchar_t *name, REFIID iid, std::initializer_list<const VARIANT *> args)
{
    Variant result;
    ThrowIfFailed(TryInvoke(object, name, DISPATCH_METHOD, args, result.Receive()), iid);
    return result;
}

ComPtr<IUnknown> AsUnknown(const Variant &value)
{
    const VARIANT *v = value.Get();
    if (v->vt == VT_DISPATCH)
        return ComPtr<IUnknown>::Borrow(v->pdispVal);
    if (v->vt == VT_UNKNOWN)
        return ComPtr<IUnknown>::Borrow(v->punkVal);
    return ComPtr<IUnknown>();
}

ComPtr<IDispatch> AsDispatch(const Variant &value)
{
    const VARIANT *v = value.Get();
    if (v->vt == VT_DISPATCH)
        return ComPtr<IDispatch>::Borrow(v->pdispVal);
    if (v->vt == VT_UNKNOWN && v->punkVal) {
        ComPtr<IDispatch> dispatch;
        if (SUCCEEDED(v->punkVal->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid())))
            return dispatch;
    }
    return ComPtr<IDispatch>();
}

} // namespace om

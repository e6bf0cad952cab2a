// CAddin, the add-in object. Its connection work arrives with the add-in's
// lifecycle; until then the IDTExtensibility2 methods answer E_NOTIMPL.

#include "addin/Addin.h"

#include "addin/Globals.h"
#include "com/Guids.h"

CAddin::~CAddin()
{
    // Readers of the account go through g_pAddin; they must never see a dead object.
    if (g_pAddin == this)
        g_pAddin = nullptr;
}

HRESULT STDMETHODCALLTYPE CAddin::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IDTExtensibility2) || IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
        *ppv = static_cast<IDTExtensibility2 *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAddin::AddRef()
{
    return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CAddin::Release()
{
    LONG count = --m_cRef;
    if (count != 0)
        return count;
    --g_cComponents;
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CAddin::GetTypeInfoCount(UINT *)
{
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CAddin::GetTypeInfo(UINT, LCID, ITypeInfo **)
{
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CAddin::GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *)
{
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CAddin::Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)
{
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CAddin::OnConnection(IDispatch *, ext_ConnectMode, IDispatch *, SAFEARRAY **)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CAddin::OnDisconnection(ext_DisconnectMode, SAFEARRAY **)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CAddin::OnAddInsUpdate(SAFEARRAY **)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CAddin::OnStartupComplete(SAFEARRAY **)
{
    return E_NOTIMPL;
}

HRESULT STDMETHODCALLTYPE CAddin::OnBeginShutdown(SAFEARRAY **)
{
    return E_NOTIMPL;
}

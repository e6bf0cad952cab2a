#include "addin/AddinCF.h"

#include "addin/Addin.h"
#include "addin/Globals.h"
#include "log/DebugLog.h"

#include <new>

HRESULT STDMETHODCALLTYPE CAddinCF::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CAddinCF::AddRef()
{
    DebugLog(2, "CAddinCF::AddRef : count=%i\n", (int)(m_cRef + 1));
    return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CAddinCF::Release()
{
    DebugLog(2, "CAddinCF::Release : count=%i\n", (int)(m_cRef - 1));
    LONG count = --m_cRef;
    if (count == 0) {
        delete this;
        return 0;
    }
    return count;
}

HRESULT STDMETHODCALLTYPE CAddinCF::CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (pUnkOuter)
        return CLASS_E_NOAGGREGATION;

    CAddin *addin = new (std::nothrow) CAddin();
    if (!addin)
        return E_OUTOFMEMORY;
    HRESULT hr = addin->QueryInterface(riid, ppv);
    if (FAILED(hr)) {
        CAddin::Discard(addin);
        return hr;
    }
    g_pAddin = addin;
    ++g_cComponents;
    return hr;
}

HRESULT STDMETHODCALLTYPE CAddinCF::LockServer(BOOL fLock)
{
    if (fLock)
        ++g_cLocks;
    else
        --g_cLocks;
    return S_OK;
}

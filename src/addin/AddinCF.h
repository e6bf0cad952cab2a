// CAddinCF: the class factory that creates the add-in object. A new factory is
// made for every DllGetClassObject call.
#pragma once

#include <windows.h>
#include <unknwn.h>

class CAddinCF final : public IClassFactory
{
public:
    CAddinCF() = default;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override;
    HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) override;

    // Discards a factory that was never handed out, without a Release line.
    static void Discard(CAddinCF *factory) { delete factory; }

private:
    ~CAddinCF() = default;

    LONG m_cRef = 0;
};

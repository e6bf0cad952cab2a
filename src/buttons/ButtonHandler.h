// CButtonHandler: the base of the toolbar button handlers. A handler owns one
// Office command-bar button: it finds or adds it, tags it uniquely, listens to
// its _CommandBarButtonEvents and turns each Click into OnClick. Its one
// counted reference after connecting is the one the button's connection point
// holds; whoever shares the handler adds a reference first.
#pragma once

#include "com/ComPtr.h"

#include <windows.h>
#include <ocidl.h>

class CButtonHandler : public IDispatch
{
public:
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,
                                            DISPID *rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

    // Finds the control tagged with the bare prefix or adds a new button, tags
    // it with the prefix and this handler's identity, connects to it and
    // returns it. Raises ComError on a failing command-bar call.
    virtual ComPtr<IDispatch> CreateButton(IDispatch *commandBar, const char *tagPrefix);
    // The reaction to a click; button may be null. Raises ComError on failure.
    virtual void OnClick(ComPtr<IDispatch> button) = 0;

    ULONG RefCount() const { return m_cRef; }
    // A slot that remembers this handler without a reference: emptied when
    // the handler is destroyed.
    void ForgetWhenDestroyed(CButtonHandler **slot) { m_ppRememberedBy = slot; }
    // The identity written after the prefix in the button's tag.
    DWORD Identity() const { return m_dwIdentity; }

protected:
    CButtonHandler();
    virtual ~CButtonHandler();

    void SinkEvents(IDispatch *button);
    void FreeEvents();

    ULONG m_cRef = 0;
    IConnectionPoint *m_pConnection = nullptr;
    DWORD m_dwCookie = 0;

private:
    DWORD m_dwIdentity;
    CButtonHandler **m_ppRememberedBy = nullptr;
};

// CAddin: the object Outlook connects to through IDTExtensibility2. It holds
// the Quorvia account while Outlook runs.
#pragma once

#include "addin/Extensibility.h"
#include "com/ComPtr.h"

#include <mapix.h>

#include <string>

class CApplicationEventHandler;
class CInspectorsCollectionEventHandler;

class CAddin final : public IDTExtensibility2
{
public:
    CAddin() = default;

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch: the add-in has no automation of its own.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,
                                            DISPID *rgDispId) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

    // IDTExtensibility2
    HRESULT STDMETHODCALLTYPE OnConnection(IDispatch *Application, ext_ConnectMode ConnectMode,
                                           IDispatch *AddInInst, SAFEARRAY **custom) override;
    HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode RemoveMode, SAFEARRAY **custom) override;
    HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY **custom) override;
    HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY **custom) override;
    HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY **custom) override;

    // The account, in whatever script the user typed it; read and replaced on
    // Outlook's thread only: the setup dialog writes it there, and the
    // tracking exchange reads it there before its worker starts.
    const std::wstring &Login() const { return m_login; }
    const std::wstring &Password() const { return m_password; }
    void SetAccount(const wchar_t *login, const wchar_t *password)
    {
        m_login = login;
        m_password = password;
    }

    // Destroys an object that was never handed out; the counters stay as they are.
    static void Discard(CAddin *addin) { delete addin; }

private:
    ~CAddin();

    void LoadAccount();
    bool AccountComplete() const;
    // The start-up question, asked while the account is incomplete.
    void AskForAccount();
    void ReleaseConnections();

    std::wstring m_login;
    std::wstring m_password;
    LONG m_cRef = 0;
    ComPtr<IDispatch> m_spApplication;
    ComPtr<IDispatch> m_spNameSpace;
    ComPtr<IMAPISession> m_spSession;
    CApplicationEventHandler *m_pApplicationEvents = nullptr;
    CInspectorsCollectionEventHandler *m_pInspectorsEvents = nullptr;
};

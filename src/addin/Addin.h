// CAddin: the object Outlook connects to through IDTExtensibility2, and that
// Office 2007 and later ask for the add-in's ribbon (IRibbonExtensibility,
// with the ribbon's callbacks through its IDispatch). It holds the Quorvia
// account while Outlook runs.
#pragma once

#include "addin/Extensibility.h"
#include "buttons/Ribbon.h"
#include "com/ComPtr.h"
#include "events/InspectorEventHandler.h"
#include "settings/Account.h"

#include <mapix.h>

#include <string>

class CApplicationEventHandler;
class CExplorersEventHandler;
class CInspectorsCollectionEventHandler;

class CAddin final : public IDTExtensibility2, public IRibbonExtensibility
{
public:
    CAddin() { m_windowSetup->account = m_account; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch: no type information; the names are the ribbon's callbacks.
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

    // IRibbonExtensibility
    HRESULT STDMETHODCALLTYPE GetCustomUI(BSTR RibbonID, BSTR *RibbonXml) override;

    // The account: the add-in's own, handed to every window it equips.
    const AccountPtr &Account() const { return m_account; }
    const std::wstring &Login() const { return m_account->Login(); }
    const std::wstring &Password() const { return m_account->Password(); }
    void SetAccount(const wchar_t *login, const wchar_t *password) { m_account->Set(login, password); }

    // Destroys an object that was never handed out; the counters stay as they are.
    static void Discard(CAddin *addin) { delete addin; }

private:
    ~CAddin();

    // The start-up question, asked while the account is incomplete.
    void AskForAccount();
    void ReleaseConnections();

    const AccountPtr m_account = std::make_shared<CAccount>();
    const WindowSetupPtr m_windowSetup = std::make_shared<WindowSetup>();
    CRibbon m_ribbon{m_account};
    LONG m_cRef = 0;
    ComPtr<IDispatch> m_spApplication;
    ComPtr<IDispatch> m_spNameSpace;
    ComPtr<IMAPISession> m_spSession;
    CApplicationEventHandler *m_pApplicationEvents = nullptr;
    CInspectorsCollectionEventHandler *m_pInspectorsEvents = nullptr;
    CExplorersEventHandler *m_pExplorersEvents = nullptr;
};

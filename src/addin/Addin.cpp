// CAddin, the object Outlook connects to. At start-up it opens the MAPI side,
// loads the account, hooks the application and the inspectors and asks for an
// account while none is configured; at shutdown it lets go in a fixed order.
// No exception leaves any of its methods: a piece that fails is logged and
// the add-in goes on without it.

#include "addin/Addin.h"

#include "addin/Globals.h"
#include "com/Identity.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "com/PostedWork.h"
#include "events/ApplicationEventHandler.h"
#include "events/ExplorerEventHandler.h"
#include "events/InspectorEventHandler.h"
#include "events/InspectorsCollectionEventHandler.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "settings/SetupDialog.h"

#include <cstdlib>

namespace {

const char kAccountPrompt[] = "You need to configure your Quorvia account in order to use Quorvia Tracking "
                              "capability.\nClick \"Yes\" to configure now or \"No\" to configure later.";

// Gives back the add-in's reference to one of its sinks. A sink that could
// not connect kept a count of 0, at which its Release returns at once and the
// sink would stay counted for good: the reference taken first is the one the
// Release then gives back.
void ReleaseSink(CEventSink *sink)
{
    if (sink->RefCount() == 0)
        sink->AddRef();
    sink->Release();
}

} // namespace

CAddin::~CAddin()
{
    // Outlook may release the add-in without the shutdown calls.
    ReleaseConnections();
    // g_pAddin names the add-in object while it lives, never a dead one.
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
    if (IsEqualIID(riid, IID_IRibbonExtensibility)) {
        // Only an Office with a ribbon asks: the windows get no command bars then.
        if (!m_windowSetup->ribbon)
            DebugLog(1, "Office asks for the ribbon: the mail windows get no toolbar\n");
        m_windowSetup->ribbon = true;
        *ppv = static_cast<IRibbonExtensibility *>(this);
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

HRESULT STDMETHODCALLTYPE CAddin::GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID,
                                                DISPID *rgDispId)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (!rgszNames || !rgDispId || cNames == 0)
        return E_INVALIDARG;
    // The callbacks take no named arguments.
    for (UINT i = 0; i < cNames; ++i)
        rgDispId[i] = DISPID_UNKNOWN;
    rgDispId[0] = CRibbon::CallbackId(rgszNames[0]);
    return rgDispId[0] != DISPID_UNKNOWN && cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME;
}

HRESULT STDMETHODCALLTYPE CAddin::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD, DISPPARAMS *pDispParams,
                                         VARIANT *pVarResult, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    return m_ribbon.Invoke(dispIdMember, pDispParams, pVarResult);
}

HRESULT STDMETHODCALLTYPE CAddin::GetCustomUI(BSTR RibbonID, BSTR *RibbonXml)
{
    if (!RibbonXml)
        return E_POINTER;
    *RibbonXml = nullptr;
    try {
        DebugLog(1, "GetCustomUI: %s\n", RibbonID ? Utf8FromWide(RibbonID).c_str() : "");
        // Other kinds of ribbon (reading a mail, a contact) get nothing of ours.
        const std::wstring xml = CRibbon::CustomUI(RibbonID);
        if (xml.empty())
            return S_OK;
        *RibbonXml = SysAllocStringLen(xml.data(), static_cast<UINT>(xml.size()));
        return *RibbonXml ? S_OK : E_OUTOFMEMORY;
    } catch (...) {
        LogCaughtError("GetCustomUI");
        return E_FAIL;
    }
}

HRESULT STDMETHODCALLTYPE CAddin::OnConnection(IDispatch *Application, ext_ConnectMode ConnectMode, IDispatch *,
                                               SAFEARRAY **custom)
{
    if (!Application)
        return E_POINTER;
    DebugLog(1, "OnConnection processing\n");
    m_spApplication = ComPtr<IDispatch>::Borrow(Application);
    // At Outlook's own start it calls OnStartupComplete itself once ready.
    if (ConnectMode == ext_cm_Startup)
        return S_OK;
    OnStartupComplete(custom);
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CAddin::OnStartupComplete(SAFEARRAY **)
{
    DebugLog(1, "OnStartupComplete processing\n");
    IDispatch *application = m_spApplication.Get();
    if (!application)
        return S_OK;

    try {
        BStr mapi = BStr::FromWide(L"MAPI");
        if (!mapi.Get())
            ThrowComError(E_OUTOFMEMORY);
        Variant type = Variant::Str(std::move(mapi));
        m_spNameSpace = om::AsDispatch(om::Call(application, L"GetNamespace", IID__Application, {type.Get()}));
    } catch (...) {
        LogCaughtError("GetNamespace");
    }

    m_spSession.Reset();
    MAPILogonEx(0, const_cast<LPTSTR>(""), const_cast<LPTSTR>(""), 0, m_spSession.Receive());

    try {
        Variant name = om::Get(application, L"Name", IID__Application);
        std::string narrow;
        if (name.Type() == VT_BSTR && name.Get()->bstrVal)
            narrow = AnsiFromWide(name.Get()->bstrVal, (int)SysStringLen(name.Get()->bstrVal));
        DebugLog(1, "Application Name = %s\n", narrow.c_str());
    } catch (...) {
        LogCaughtError("Application Name");
    }

    // Outlook 2003 and earlier let Word edit mail with Word's own command bars,
    // which all its windows share; later versions give each window its own.
    try {
        Variant version = om::Get(application, L"Version", IID__Application);
        const int major = version.Type() == VT_BSTR && version.Get()->bstrVal ? _wtoi(version.Get()->bstrVal) : 0;
        m_windowSetup->wordBarsShared = major > 0 && major < 12;
    } catch (...) {
        LogCaughtError("Application Version");
    }

    try {
        m_account->Load();
    } catch (...) {
        LogCaughtError("Loading the account");
    }

    try {
        if (!m_pApplicationEvents)
            m_pApplicationEvents = new CApplicationEventHandler(application, m_windowSetup);
    } catch (...) {
        LogCaughtError("Application events");
    }

    try {
        ComPtr<IDispatch> inspectors = om::AsDispatch(om::Get(application, L"Inspectors", IID__Application));
        if (inspectors && !m_pInspectorsEvents)
            m_pInspectorsEvents = new CInspectorsCollectionEventHandler(inspectors.Get(), m_windowSetup);
    } catch (...) {
        LogCaughtError("Inspectors");
    }

    // Inline replies and forwards (Outlook 2013 and later) open no Inspector.
    // Outlook 2003 has no Explorers events worth following: nothing is asked.
    if (!m_windowSetup->wordBarsShared) {
        try {
            ComPtr<IDispatch> explorers = om::AsDispatch(om::Get(application, L"Explorers", IID__Application));
            if (explorers && !m_pExplorersEvents)
                m_pExplorersEvents = new CExplorersEventHandler(explorers.Get(), m_windowSetup);
        } catch (...) {
            LogCaughtError("Explorers");
        }
    }

    // The question waits for Outlook's message loop: asked here, it would hold
    // up Outlook's start-up for as long as the user takes to answer.
    if (!m_account->IsComplete() && !PostToOutlookThread([this] { AskForAccount(); }))
        AskForAccount();
    return S_OK;
}

void CAddin::AskForAccount()
{
    // Outlook may let go of the add-in while the question is up; once it has
    // disconnected, nothing more is asked.
    ComPtr<CAddin> alive = ComPtr<CAddin>::Borrow(this);
    try {
        while (m_spApplication && !m_account->IsComplete()) {
            HWND owner = GetForegroundWindow();
            if (MessageBoxA(owner, kAccountPrompt, QUORVIA_CAPTION, MB_YESNO | MB_ICONEXCLAMATION) != IDYES)
                break;
            RunSetupDialog(owner, *m_account);
        }
    } catch (...) {
        LogCaughtError("Account setup");
    }
}

HRESULT STDMETHODCALLTYPE CAddin::OnBeginShutdown(SAFEARRAY **)
{
    DebugLog(1, "OnBeginShutdown processing\n");
    ReleaseConnections();
    DebugLog(1, "CAddin::raw_OnBeginShutdown done, g_lMyObjects = %ld\n", (long)g_lMyObjects);
    return S_OK;
}

void CAddin::ReleaseConnections()
{
    // A question not yet asked is not asked of an add-in that is going.
    DiscardPostedWork();
    // Windows still open when the add-in is switched off would keep its
    // sinks, and Outlook would call into a library that may be unloaded.
    CInspectorEventHandler::LetGoOfOpenWindows();
    CExplorerEventHandler::LetGoOfAll();
    if (m_pApplicationEvents) {
        CApplicationEventHandler *sink = m_pApplicationEvents;
        m_pApplicationEvents = nullptr;
        ReleaseSink(sink);
    }
    if (m_pInspectorsEvents) {
        CInspectorsCollectionEventHandler *sink = m_pInspectorsEvents;
        m_pInspectorsEvents = nullptr;
        ReleaseSink(sink);
    }
    if (m_pExplorersEvents) {
        CExplorersEventHandler *sink = m_pExplorersEvents;
        m_pExplorersEvents = nullptr;
        ReleaseSink(sink);
    }
    m_spSession.Reset();
    m_ribbon.Release();
}

HRESULT STDMETHODCALLTYPE CAddin::OnDisconnection(ext_DisconnectMode RemoveMode, SAFEARRAY **custom)
{
    DebugLog(1, "OnDisconnection processing\n");
    // Outlook calls OnBeginShutdown itself only when it shuts down.
    if (RemoveMode != ext_dm_HostShutdown)
        OnBeginShutdown(custom);
    m_spApplication.Reset();
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CAddin::OnAddInsUpdate(SAFEARRAY **)
{
    DebugLog(1, "OnAddInsUpdate processing\n");
    return S_OK;
}

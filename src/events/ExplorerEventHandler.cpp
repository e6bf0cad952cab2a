#include "events/ExplorerEventHandler.h"

#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "events/ItemHandler.h"
#include "events/UnsentMail.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "tracking/MailItem.h"

#include <oleidl.h>

#include <algorithm>

namespace {

constexpr DISPID kNewExplorer = 0xF001;
constexpr DISPID kExplorerClose = 0xF008;
constexpr DISPID kInlineResponse = 0xFC92;
constexpr DISPID kInlineResponseClose = 0xFC96;

// The one object argument of an event, as IDispatch; null for anything else.
ComPtr<IDispatch> ObjectArgument(const DISPPARAMS *params)
{
    if (!params || params->cArgs != 1 || !params->rgvarg)
        return ComPtr<IDispatch>();
    const VARIANT &argument = params->rgvarg[0];
    if ((argument.vt != VT_DISPATCH && argument.vt != VT_UNKNOWN) || !argument.punkVal)
        return ComPtr<IDispatch>();
    ComPtr<IDispatch> object;
    argument.punkVal->QueryInterface(IID_IDispatch, object.ReceiveVoid());
    return object;
}

} // namespace

// --- the collection ---------------------------------------------------------------

const CEventSink::Traits CExplorersEventHandler::s_traits = {
    "CExplorersEventHandler", &DIID_ExplorersEvents,
    /*releaseIgnoresZero*/ true, /*loopForm*/ true, /*logsTypeInfo*/ false,
    /*nullSourceRaises*/ false, /*logsLifetime*/ true};

CExplorersEventHandler::CExplorersEventHandler(IDispatch *explorers, WindowSetupPtr setup)
    : CEventSink(s_traits), m_setup(std::move(setup))
{
    SinkEvents(explorers);
    // The main windows already open: at least the one Outlook started with.
    Variant count;
    if (!explorers || FAILED(om::TryInvoke(explorers, L"Count", DISPATCH_PROPERTYGET, {}, count.Receive())) ||
        FAILED(VariantChangeType(count.Get(), count.Get(), 0, VT_I4)))
        return;
    for (LONG i = 1; i <= count.Get()->lVal; ++i) {
        Variant index = Variant::I4(i);
        Variant explorer;
        if (SUCCEEDED(om::TryInvoke(explorers, L"Item", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {index.Get()},
                                    explorer.Receive())))
            CExplorerEventHandler::Follow(om::AsDispatch(explorer).Get(), m_setup);
    }
}

HRESULT STDMETHODCALLTYPE CExplorersEventHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                         DISPPARAMS *pDispParams, VARIANT *, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (dispIdMember != kNewExplorer)
        return DISP_E_MEMBERNOTFOUND;
    DebugLog(1, "Explorers Event: NewExplorer (%04X)\n", (unsigned)dispIdMember);
    CExplorerEventHandler::Follow(ObjectArgument(pDispParams).Get(), m_setup);
    return S_OK;
}

// --- one main window ----------------------------------------------------------------

const CEventSink::Traits CExplorerEventHandler::s_traits = {
    "CExplorerEventHandler", &DIID_ExplorerEvents_10,
    /*releaseIgnoresZero*/ true, /*loopForm*/ true, /*logsTypeInfo*/ false,
    /*nullSourceRaises*/ false, /*logsLifetime*/ true};

std::vector<CExplorerEventHandler *> CExplorerEventHandler::s_followed;

CExplorerEventHandler::CExplorerEventHandler(IDispatch *explorer, const WindowSetupPtr &setup)
    : CEventSink(s_traits), m_setup(setup), m_spExplorer(ComPtr<IDispatch>::Borrow(explorer))
{
    ComPtr<IOleWindow> window;
    if (SUCCEEDED(explorer->QueryInterface(IID_IOleWindow, window.ReceiveVoid())) && window)
        window->GetWindow(&m_hwnd);
}

CExplorerEventHandler::~CExplorerEventHandler()
{
    ReleaseInline();
}

void CExplorerEventHandler::Follow(IDispatch *explorer, const WindowSetupPtr &setup)
{
    if (!explorer)
        return;
    CExplorerEventHandler *sink = nullptr;
    try {
        sink = new CExplorerEventHandler(explorer, setup);
        sink->AddRef();
        sink->SinkEvents(explorer);
        if (!sink->IsConnected()) {
            sink->Release(); // a window that cannot be heard has nothing to follow
            return;
        }
        s_followed.push_back(sink);
        // Connected while an inline response is open: it is tracked as a new one.
        Variant active;
        if (SUCCEEDED(om::TryInvoke(explorer, L"ActiveInlineResponse", DISPATCH_PROPERTYGET, {}, active.Receive())))
            if (ComPtr<IDispatch> item = om::AsDispatch(active))
                sink->OnInlineResponse(item.Get());
    } catch (...) {
        LogCaughtError("Following a main window");
    }
}

void CExplorerEventHandler::LetGoOfAll()
{
    while (!s_followed.empty())
        s_followed.back()->Leave();
}

void CExplorerEventHandler::Leave()
{
    ReleaseInline();
    auto found = std::find(s_followed.begin(), s_followed.end(), this);
    if (found == s_followed.end())
        return;
    s_followed.erase(found);
    // A main window that refuses to disconnect keeps this sink: without the
    // Explorer held here, it can still let go of both when it goes itself.
    m_spExplorer.Reset();
    Release(); // disconnects and destroys
}

void CExplorerEventHandler::OnInlineResponse(IDispatch *item)
{
    // One inline response at a time per main window.
    ReleaseInline();
    ComPtr<IDispatch> mailItem = UnsentMail(item);
    if (!mailItem)
        return;
    TrackingSwitchPtr trackingSwitch = CTrackingSwitch::FromStoredDefault();
    m_windowSwitch.reset(new WindowSwitch(m_spExplorer.Get(), trackingSwitch));
    m_pTrackedItem = new CMailItem(mailItem.Get(), trackingSwitch, m_setup->account);
    m_pTrackedItem->KeepWindowShown(m_hwnd);
    m_pItemHandler = new CItemHandler(m_pTrackedItem);
    if (m_pItemHandler->RefCount() == 0) {
        // Never connected: nobody holds it.
        m_pItemHandler->AddRef();
        m_pItemHandler->Release();
        m_pItemHandler = nullptr;
    }
}

void CExplorerEventHandler::ReleaseInline()
{
    try {
        if (m_pItemHandler) {
            CItemHandler *sink = m_pItemHandler;
            m_pItemHandler = nullptr;
            sink->Release();
        }
        if (m_pTrackedItem) {
            CMailItem *item = m_pTrackedItem;
            m_pTrackedItem = nullptr;
            item->Release();
        }
        m_windowSwitch.reset();
    } catch (...) {
        LogCaughtError("Releasing an inline response");
    }
}

HRESULT STDMETHODCALLTYPE CExplorerEventHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                        DISPPARAMS *pDispParams, VARIANT *, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    // Whatever happens, nothing reaches Outlook: the reply then simply goes untracked.
    try {
        switch (dispIdMember) {
        case kInlineResponse:
            DebugLog(1, "Explorer Event: InlineResponse (%04X)\n", (unsigned)dispIdMember);
            OnInlineResponse(ObjectArgument(pDispParams).Get());
            break;
        case kInlineResponseClose:
            DebugLog(1, "Explorer Event: InlineResponseClose (%04X)\n", (unsigned)dispIdMember);
            ReleaseInline();
            break;
        case kExplorerClose: {
            DebugLog(1, "Explorer Event: Close (%04X)\n", (unsigned)dispIdMember);
            // Leave may destroy this sink; the call that delivers the event holds its own reference.
            ComPtr<CExplorerEventHandler> alive = ComPtr<CExplorerEventHandler>::Borrow(this);
            Leave();
            break;
        }
        default:
            DebugLog(1, "Explorer Event: <Unknown> (%04X)\n", (unsigned)dispIdMember);
            break;
        }
    } catch (...) {
        LogCaughtError("Explorer Event");
    }
    return S_OK;
}

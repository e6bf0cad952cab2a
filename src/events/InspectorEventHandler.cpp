#include "events/InspectorEventHandler.h"

#include "buttons/SetupButtonHandler.h"
#include "buttons/TrackingButtonHandler.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "com/DispProperty.h"
#include "events/ItemHandler.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "tracking/MailItem.h"

#include <algorithm>

namespace {

constexpr LONG kMsoBarTop = 1;
constexpr LONG kMsoBarRowLast = -1;

// Disposes of a button handler or item sink that never connected: it has no
// reference anybody would give back, and a Release at 0 would underflow.
template <class Handler>
bool DiscardIfUnowned(Handler *handler)
{
    if (handler->RefCount() != 0)
        return false;
    handler->AddRef();
    handler->Release();
    return true;
}

} // namespace

const CEventSink::Traits CInspectorEventHandler::s_traits = {
    "CInspectorEventHandler", &DIID_InspectorEvents,
    /*releaseIgnoresZero*/ false, /*loopForm*/ false, /*logsTypeInfo*/ true,
    /*nullSourceRaises*/ true, /*logsLifetime*/ true};

CInspectorEventHandler::CInspectorEventHandler(IDispatch *mailItem, const WindowSetupPtr &setup)
    : CEventSink(s_traits), m_setup(setup)
{
    m_spItem = ComPtr<IDispatch>::Borrow(mailItem);
}

std::vector<CInspectorEventHandler *> CInspectorEventHandler::s_open;
CButtonHandler *CInspectorEventHandler::s_wordEditorButtons[2] = {nullptr, nullptr};

CInspectorEventHandler::~CInspectorEventHandler()
{
    s_open.erase(std::remove(s_open.begin(), s_open.end(), this), s_open.end());
    if (m_pDestroyed)
        *m_pDestroyed = true;
}

void CInspectorEventHandler::LetGoOfOpenWindows()
{
    // Each goes as at its window's Close, which takes it off the list.
    while (!s_open.empty()) {
        CInspectorEventHandler *sink = s_open.back();
        s_open.pop_back();
        sink->HideBar();
        sink->OnClose();
    }
}

void CInspectorEventHandler::HideBar()
{
    if (!m_spBar)
        return;
    Variant ignored;
    Variant hidden = Variant::Bool(false);
    om::TryInvoke(m_spBar.Get(), L"Visible", DISPATCH_PROPERTYPUT, {hidden.Get()}, ignored.Receive());
}

void CInspectorEventHandler::Create(IDispatch *inspector, IDispatch *mailItem, const WindowSetupPtr &setup)
{
    CInspectorEventHandler *sink = new CInspectorEventHandler(mailItem, setup);
    s_open.push_back(sink);
    try {
        sink->Connect(inspector);
    } catch (...) {
        sink->Dispose();
        throw;
    }
    // Never connected: it would never see Close, and would keep its buttons
    // and tracked item alive until Outlook ends.
    if (!sink->IsConnected())
        sink->Dispose();
}

void CInspectorEventHandler::Dispose()
{
    if (m_cRef == 0) {
        Cleanup();
        delete this;
    } else {
        // The connection point's reference, or the one a failed Advise left
        // from the self-query: this release disconnects what there is and destroys.
        Release();
    }
}

void CInspectorEventHandler::Connect(IDispatch *inspector)
{
    m_spInspector = ComPtr<IDispatch>::Borrow(inspector);
    if (!inspector)
        ThrowComError(E_POINTER, IID__Inspector);
    SinkEvents(inspector);
    // Without the window's Close nothing made for it could be given back.
    if (!IsConnected())
        return;
    m_bEquipAtActivate = !Equip(false);
}

// Gives the window its bar, buttons, tracked item and item sink. Word and the
// window's command bars may not be ready in NewInspector (Microsoft KB 929593):
// false then, unless this is the last try, when whatever failed raises.
bool CInspectorEventHandler::Equip(bool lastTry)
{
    // Where Office shows the add-in's ribbon the window needs no bars at all:
    // a toolbar would only land, twice over, on the Add-ins tab.
    if (m_setup->ribbon) {
        TrackItem(CTrackingSwitch::FromStoredDefault());
        return true;
    }
    ComPtr<IDispatch> bars;
    try {
        // Only Word 2003 shares its bars and needs its template told; later
        // editors are never asked for in NewInspector, where they do not work.
        if (m_setup->wordBarsShared)
            m_bWordEditor = om::AsUnknown(om::Get(m_spInspector.Get(), L"WordEditor", IID__Inspector)) ? 1 : 0;
        bars = om::AsDispatch(om::Get(m_spInspector.Get(), L"CommandBars", IID__Inspector));
    } catch (...) {
        if (lastTry)
            throw;
        return false;
    }
    if (!bars)
        return lastTry; // a window that never gets its bars sends untracked
    CreateToolbar(bars.Get());
    return true;
}

// Records the handlers this window holds one reference to each. Word-editor
// windows share the pair in the process-wide slots: the first fills them with
// the references from creation, later ones add a reference of their own.
void CInspectorEventHandler::KeepButtons(CButtonHandler *tracking, CButtonHandler *setup)
{
    CButtonHandler *made[2] = {tracking, setup};
    for (int slot = 0; slot < 2; ++slot) {
        if (!made[slot])
            continue;
        // A button that cannot be heard leaves its handler unconnected, with
        // no reference at all: the window's reference is then taken here, or
        // Cleanup's Release would destroy a handler the tracked item still uses.
        if (made[slot]->RefCount() == 0)
            made[slot]->AddRef();
        if (m_bWordEditor) {
            if (!s_wordEditorButtons[slot]) {
                s_wordEditorButtons[slot] = made[slot];
                made[slot]->ForgetWhenDestroyed(&s_wordEditorButtons[slot]);
            } else {
                s_wordEditorButtons[slot]->AddRef();
            }
            m_pButtons[slot] = s_wordEditorButtons[slot];
        } else {
            m_pButtons[slot] = made[slot];
        }
    }
}

void CInspectorEventHandler::CreateToolbar(IDispatch *bars)
{
    BStr barName = BStr::FromWide(L"Quorvia");
    if (!barName.Get())
        ThrowComError(E_OUTOFMEMORY);
    Variant name = Variant::Str(std::move(barName));

    Variant existing;
    om::TryInvoke(bars, L"Item", DISPATCH_PROPERTYGET | DISPATCH_METHOD, {name.Get()}, existing.Receive());
    ComPtr<IDispatch> bar = om::AsDispatch(existing);

    try {
        if (!bar) {
            Variant missing = Variant::Missing();
            Variant temporary = Variant::I2(-1);
            bar = om::AsDispatch(om::Call(bars, L"Add", IID__CommandBars,
                                          {name.Get(), missing.Get(), missing.Get(), temporary.Get()}));
            if (bar) {
                om::Put(bar.Get(), L"Position", Variant::I4(kMsoBarTop), IID_CommandBar);
                om::Put(bar.Get(), L"RowIndex", Variant::I4(kMsoBarRowLast), IID_CommandBar);
            }
        }
        if (!bar)
            return;
        om::Put(bar.Get(), L"Visible", Variant::Bool(true), IID_CommandBar);
        m_spBar = bar.Copy();

        bool shared = m_bWordEditor && s_wordEditorButtons[0];
        if (shared) {
            KeepButtons(s_wordEditorButtons[0], s_wordEditorButtons[1]);
        } else {
            CTrackingButtonHandler *tracking = new CTrackingButtonHandler(CTrackingSwitch::FromStoredDefault());
            ComPtr<IDispatch> trackingButton;
            try {
                trackingButton = tracking->CreateButton(bar.Get(), "Quorvia Message Tracking");
            } catch (...) {
                if (!DiscardIfUnowned(tracking))
                    KeepButtons(tracking, nullptr);
                throw;
            }
            KeepButtons(tracking, nullptr);

            ComPtr<IDispatch> application =
                om::AsDispatch(om::Get(m_spInspector.Get(), L"Application", IID__Inspector));
            CSetupButtonHandler *setup =
                new CSetupButtonHandler(application.Get(), trackingButton.Get(), m_setup->account);
            try {
                setup->CreateButton(bar.Get(), "Quorvia Setup");
            } catch (...) {
                if (!DiscardIfUnowned(setup))
                    KeepButtons(nullptr, setup);
                throw;
            }
            KeepButtons(nullptr, setup);
        }

        auto *tracking = static_cast<CTrackingButtonHandler *>(m_pButtons[0]);
        TrackItem(tracking ? tracking->Switch() : nullptr);
    } catch (...) {
        // The window keeps what was made; without a tracked item it sends untracked.
    }
}

void CInspectorEventHandler::TrackItem(const TrackingSwitchPtr &trackingSwitch)
{
    m_windowSwitch.reset(new WindowSwitch(m_spInspector.Get(), trackingSwitch));
    m_pTrackedItem = new CMailItem(m_spItem.Get(), trackingSwitch, m_setup->account);
    m_pItemHandler = new CItemHandler(m_pTrackedItem);
    if (DiscardIfUnowned(m_pItemHandler))
        m_pItemHandler = nullptr;
}

void CInspectorEventHandler::Cleanup()
{
    // Runs inside Release and the window's Close: nothing may leave it.
    try {
        ReleaseWhatWasMade();
    } catch (...) {
        LogCaughtError("Inspector Cleanup");
    }
}

void CInspectorEventHandler::ReleaseWhatWasMade()
{
    DebugLog(2, "CInspectorEventHandler::Cleanup\n");
    // A Word-editor window's slot empties itself when its handler is destroyed.
    for (int slot = 0; slot < 2; ++slot) {
        if (m_pButtons[slot]) {
            CButtonHandler *handler = m_pButtons[slot];
            m_pButtons[slot] = nullptr;
            handler->Release();
        }
    }
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
    m_spBar.Reset();
    m_windowSwitch.reset();
    // Word 2003 asks to save its template when the window closes otherwise:
    // the bars the add-in made there are Word's own.
    if (m_bWordEditor && m_spInspector)
        MarkTemplateSaved();
    m_spInspector.Reset();
}

void CInspectorEventHandler::MarkTemplateSaved()
{
    Variant document;
    HRESULT hr = om::TryInvoke(m_spInspector.Get(), L"WordEditor", DISPATCH_PROPERTYGET, {}, document.Receive());
    ComPtr<IDispatch> editor = om::AsDispatch(document);
    if (hr != S_OK || !editor)
        return;
    Variant templateValue;
    if (DispGetProperty(editor.Get(), L"AttachedTemplate", templateValue.Receive()) != S_OK ||
        templateValue.Type() != VT_DISPATCH || !templateValue.Get()->pdispVal)
        return;
    VARIANT saved;
    VariantInit(&saved);
    saved.vt = VT_BOOL;
    saved.boolVal = 1;
    Variant result;
    DispPutProperty(templateValue.Get()->pdispVal, L"Saved", result.Receive(), 1, &saved);
}

HRESULT STDMETHODCALLTYPE CInspectorEventHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                         DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    switch (dispIdMember) {
    case 0xF001:
        DebugLog(1, "Inspector Event: Activate (%04X)\n", (unsigned)dispIdMember);
        if (m_bEquipAtActivate) {
            m_bEquipAtActivate = false;
            try {
                Equip(true);
            } catch (...) {
                // The window simply stays without toolbar and sends untracked.
                LogCaughtError("Inspector Activate");
            }
        }
        break;
    case 0xF006:
        DebugLog(1, "Inspector Event: Deactivate (%04X)\n", (unsigned)dispIdMember);
        break;
    case 0xF008:
        DebugLog(1, "Inspector Event: Close (%04X)\n", (unsigned)dispIdMember);
        OnClose();
        break;
    default:
        DebugLog(1, "Inspector Event: <Unknown> (%04X)\n", (unsigned)dispIdMember);
        break;
    }
    return S_OK;
}

void CInspectorEventHandler::OnClose()
{
    // Drops the reference the connection point left; the sink may be gone after this.
    bool destroyed = false;
    m_pDestroyed = &destroyed;
    Release();
    if (!destroyed) {
        // The window refused to disconnect and keeps its reference: what
        // was made for the window still goes now, and with the Inspector
        // let go the window can release the sink when it goes itself. That
        // reference is the window's: nobody else may give it back.
        m_pDestroyed = nullptr;
        s_open.erase(std::remove(s_open.begin(), s_open.end(), this), s_open.end());
        Cleanup();
    }
}

// CInspectorEventHandler: the add-in's object for one compose window. It
// gives the window its "Quorvia" bar with the Tracking and Setup buttons, its
// tracked mail item and item sink, listens to the window's Activate,
// Deactivate and Close, and gives everything back when the window closes.
// It lives on the reference the Inspector's connection point holds.
#pragma once

#include "events/EventSink.h"
#include "com/ComPtr.h"
#include "settings/Account.h"
#include "tracking/TrackingSwitch.h"

#include <memory>
#include <vector>

class CButtonHandler;
class CItemHandler;
class CMailItem;

// What the add-in tells every window it equips. Shared, since Office says
// whether it shows the add-in's ribbon only after it has connected the add-in.
struct WindowSetup
{
    AccountPtr account;
    bool wordBarsShared = false; // Word edits with command bars all its windows share (Outlook 2003)
    bool ribbon = false;         // Office shows the add-in's ribbon: no command-bar toolbar
};
using WindowSetupPtr = std::shared_ptr<WindowSetup>;

class CInspectorEventHandler final : public CEventSink
{
public:
    // Equips a new window. Raises ComError when the window cannot be examined;
    // a sink that could not connect to the window, or failed half-way, is
    // disconnected and destroyed before this returns.
    static void Create(IDispatch *inspector, IDispatch *mailItem, const WindowSetupPtr &setup);

    // The Tracking (0) and Setup (1) handlers Word 2003's windows share while
    // any of them lives, else null.
    static CButtonHandler *WordEditorButton(int slot) { return s_wordEditorButtons[slot]; }

    // The add-in is switched off: every window still open lets go of what was
    // made for it, and its bar is hidden, as if the window had closed.
    static void LetGoOfOpenWindows();

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    CInspectorEventHandler(IDispatch *mailItem, const WindowSetupPtr &setup);
    ~CInspectorEventHandler() override;

    void Connect(IDispatch *inspector);
    bool Equip(bool lastTry);
    void CreateToolbar(IDispatch *bars);
    // The tracked item and its sink, driven by the window's switch.
    void TrackItem(const TrackingSwitchPtr &trackingSwitch);
    void KeepButtons(CButtonHandler *tracking, CButtonHandler *setup);
    // Releases what was made for the window; never raises.
    void Cleanup();
    void ReleaseWhatWasMade();
    void MarkTemplateSaved();
    void OnClose();
    void HideBar();
    void OnFinalRelease() override { Cleanup(); }
    // Destroys a sink nobody else will release.
    void Dispose();

    static const Traits s_traits;
    // The sinks of the windows still open, for the add-in to let go of when it is switched off.
    static std::vector<CInspectorEventHandler *> s_open;
    // The Tracking [0] and Setup [1] handlers shared by every window Word
    // edits with its shared bars; a slot holds its handler while it lives.
    static CButtonHandler *s_wordEditorButtons[2];

    CItemHandler *m_pItemHandler = nullptr;
    CMailItem *m_pTrackedItem = nullptr;
    ComPtr<IDispatch> m_spInspector;
    ComPtr<IDispatch> m_spBar;
    ComPtr<IDispatch> m_spItem;
    const WindowSetupPtr m_setup;
    int m_bWordEditor = 0; // Word 2003 edits the window, with the shared bars
    // Word or the command bars were not ready in NewInspector: the first Activate equips the window.
    bool m_bEquipAtActivate = false;
    CButtonHandler *m_pButtons[2] = {nullptr, nullptr};
    std::unique_ptr<WindowSwitch> m_windowSwitch;
    // Set while Close gives up the connection's reference: tells it whether the sink is gone.
    bool *m_pDestroyed = nullptr;
};

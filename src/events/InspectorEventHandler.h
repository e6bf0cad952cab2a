// CInspectorEventHandler: the add-in's object for one compose window. It
// gives the window its "Quorvia" bar with the Tracking and Setup buttons, its
// tracked mail item and item sink, listens to the window's Activate,
// Deactivate and Close, and gives everything back when the window closes.
// It lives on the reference the Inspector's connection point holds.
#pragma once

#include "events/EventSink.h"
#include "com/ComPtr.h"

#include <vector>

class CButtonHandler;
class CItemHandler;
class CMailItem;

class CInspectorEventHandler final : public CEventSink
{
public:
    // Equips a new window. Raises ComError when the window cannot be examined;
    // a sink that could not connect to the window, or failed half-way, is
    // disconnected and destroyed before this returns. wordBarsShared: Word
    // edits with command bars all its windows share (Outlook 2003).
    static void Create(IDispatch *inspector, IDispatch *mailItem, bool wordBarsShared);

    // The add-in is switched off: every window still open lets go of what was
    // made for it, and its bar is hidden, as if the window had closed.
    static void LetGoOfOpenWindows();

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    CInspectorEventHandler(IDispatch *mailItem, bool wordBarsShared);
    ~CInspectorEventHandler() override;

    void Connect(IDispatch *inspector);
    bool Equip(bool lastTry);
    void CreateToolbar(IDispatch *bars);
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

    CItemHandler *m_pItemHandler = nullptr;
    CMailItem *m_pTrackedItem = nullptr;
    ComPtr<IDispatch> m_spInspector;
    ComPtr<IDispatch> m_spBar;
    ComPtr<IDispatch> m_spItem;
    const bool m_bWordBarsShared;
    int m_bWordEditor = 0; // Word 2003 edits the window, with the shared bars
    // Word or the command bars were not ready in NewInspector: the first Activate equips the window.
    bool m_bEquipAtActivate = false;
    CButtonHandler *m_pButtons[2] = {nullptr, nullptr};
    // Set while Close gives up the connection's reference: tells it whether the sink is gone.
    bool *m_pDestroyed = nullptr;
};

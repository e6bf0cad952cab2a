// The main windows (Explorers) and their inline responses. Since Outlook 2013
// a reply or forward started from the reading pane is composed inline in the
// main window, with no Inspector: NewInspector never fires for it. Each main
// window is followed for its InlineResponse and InlineResponseClose; the
// inline item gets its tracking switch, driven by the ribbon of the main
// window, its tracked mail item and its item sink, as a compose window does.
#pragma once

#include "com/ComPtr.h"
#include "events/EventSink.h"
#include "events/InspectorEventHandler.h"

#include <memory>
#include <vector>

class CItemHandler;
class CMailItem;

// CExplorersEventHandler: Outlook's Explorers collection; follows the main
// windows open when it connects and every new one (NewExplorer).
class CExplorersEventHandler final : public CEventSink
{
public:
    // Connects at once; the one reference left afterwards is the creator's.
    CExplorersEventHandler(IDispatch *explorers, WindowSetupPtr setup);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    ~CExplorersEventHandler() override = default;

    static const Traits s_traits;
    const WindowSetupPtr m_setup;
};

// CExplorerEventHandler: one main window and its inline response.
class CExplorerEventHandler final : public CEventSink
{
public:
    // Follows a main window until it closes or the add-in lets go; also an
    // inline response it holds already. Never raises.
    static void Follow(IDispatch *explorer, const WindowSetupPtr &setup);
    // The add-in lets go: every main window is left, its inline item released.
    static void LetGoOfAll();

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    CExplorerEventHandler(IDispatch *explorer, const WindowSetupPtr &setup);
    ~CExplorerEventHandler() override;

    // Tracks an inline item (a mail being composed); anything else is left alone.
    void OnInlineResponse(IDispatch *item);
    // Releases what was made for the inline item: sink, tracked item, switch.
    void ReleaseInline();
    // Stops following: the window closed, or the add-in lets go.
    void Leave();

    static const Traits s_traits;
    static std::vector<CExplorerEventHandler *> s_followed; // one reference each

    const WindowSetupPtr m_setup;
    ComPtr<IDispatch> m_spExplorer;
    HWND m_hwnd = nullptr;
    CMailItem *m_pTrackedItem = nullptr;
    CItemHandler *m_pItemHandler = nullptr;
    std::unique_ptr<WindowSwitch> m_windowSwitch;
};

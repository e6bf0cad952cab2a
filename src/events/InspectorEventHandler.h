// CInspectorEventHandler: the add-in's object for one compose window. It
// gives the window its "Quorvia" bar with the Tracking and Setup buttons, its
// tracked mail item and item sink, listens to the window's Activate,
// Deactivate and Close, and gives everything back when the window closes.
// It lives on the reference the Inspector's connection point holds.
#pragma once

#include "events/EventSink.h"
#include "com/ComPtr.h"

class CButtonHandler;
class CItemHandler;
class CMailItem;

class CInspectorEventHandler final : public CEventSink
{
public:
    // Equips a new window. Raises ComError when the window cannot be examined;
    // a sink that could not connect to the window, or failed half-way, is
    // disconnected and destroyed before this returns.
    static void Create(IDispatch *inspector, IDispatch *mailItem);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    explicit CInspectorEventHandler(IDispatch *mailItem);
    ~CInspectorEventHandler() override;

    void Connect(IDispatch *inspector);
    void CreateToolbar();
    void KeepButtons(CButtonHandler *tracking, CButtonHandler *setup);
    void Cleanup();
    void OnFinalRelease() override { Cleanup(); }
    // Destroys a sink nobody else will release.
    void Dispose();

    static const Traits s_traits;

    CItemHandler *m_pItemHandler = nullptr;
    CMailItem *m_pTrackedItem = nullptr;
    ComPtr<IDispatch> m_spInspector;
    ComPtr<IDispatch> m_spItem;
    int m_bWordEditor = 0;
    CButtonHandler *m_pButtons[2] = {nullptr, nullptr};
    // Set while Close gives up the connection's reference: tells it whether the sink is gone.
    bool *m_pDestroyed = nullptr;
};

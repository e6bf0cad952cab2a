// CItemHandler: listens to the events of one compose window's mail item and
// hands Open, Write, Close and Send to the window's tracked mail item.
#pragma once

#include "events/EventSink.h"

class CMailItem;

class CItemHandler final : public CEventSink
{
public:
    // Connects to the item that pTrackedItem holds; raises E_POINTER when there
    // is none. pTrackedItem is borrowed: its owner releases it after this sink.
    explicit CItemHandler(CMailItem *pTrackedItem);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    ~CItemHandler() override = default;

    static const Traits s_traits;

    CMailItem *m_pTrackedItem = nullptr;
};

// Runs a tracked item's Send: 1 cancels it, 0 lets it go. A failure
// underneath cancels the send with a message instead of letting a half-marked
// message go out.
int SendOrRefuse(CMailItem *trackedItem);
// Cancels a Send or Close both ways Outlook has known.
void RefuseEvent(DISPPARAMS *params, VARIANT *result);

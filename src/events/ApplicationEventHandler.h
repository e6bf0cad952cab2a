// CApplicationEventHandler: logs Outlook's application-wide events while the
// add-in is connected, and acts on one: ItemSend, the net under the windows'
// own sinks. An item sent with tracking on that no sink has marked (a compose
// path the add-in did not see) is marked there, and none is marked twice.
#pragma once

#include "events/EventSink.h"
#include "events/InspectorEventHandler.h"

class CApplicationEventHandler final : public CEventSink
{
public:
    // Connects at once; the one reference left afterwards is the creator's.
    CApplicationEventHandler(IDispatch *application, WindowSetupPtr setup);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    ~CApplicationEventHandler() override = default;

    // 1 cancels the send.
    int OnItemSend(IDispatch *item);

    static const Traits s_traits;
    const WindowSetupPtr m_setup;
};

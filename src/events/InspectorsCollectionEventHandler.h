// CInspectorsCollectionEventHandler: listens to Outlook's Inspectors
// collection and equips every new window that composes an unsent mail.
#pragma once

#include "events/EventSink.h"
#include "events/InspectorEventHandler.h"

class CInspectorsCollectionEventHandler final : public CEventSink
{
public:
    // Connects at once; the one reference left afterwards is the creator's.
    // Every window is equipped as setup says.
    CInspectorsCollectionEventHandler(IDispatch *inspectors, WindowSetupPtr setup);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    ~CInspectorsCollectionEventHandler() override = default;

    void OnNewInspector(IDispatch *argument);

    static const Traits s_traits;

    const WindowSetupPtr m_setup;
};

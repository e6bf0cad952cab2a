// CInspectorsCollectionEventHandler: listens to Outlook's Inspectors
// collection and equips every new window that composes an unsent mail.
#pragma once

#include "events/EventSink.h"

class CInspectorsCollectionEventHandler final : public CEventSink
{
public:
    // Connects at once; the one reference left afterwards is the creator's.
    // wordBarsShared: Word-edited windows share Word's command bars (Outlook 2003).
    CInspectorsCollectionEventHandler(IDispatch *inspectors, bool wordBarsShared);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    ~CInspectorsCollectionEventHandler() override = default;

    void OnNewInspector(IDispatch *argument);

    static const Traits s_traits;

    const bool m_bWordBarsShared;
};

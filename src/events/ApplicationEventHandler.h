// CApplicationEventHandler: logs Outlook's application-wide events while the
// add-in is connected. It acts on none of them.
#pragma once

#include "events/EventSink.h"

class CApplicationEventHandler final : public CEventSink
{
public:
    // Connects at once; the one reference left afterwards is the creator's.
    explicit CApplicationEventHandler(IDispatch *application);

    HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                     DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *pExcepInfo,
                                     UINT *puArgErr) override;

private:
    ~CApplicationEventHandler() override = default;

    static const Traits s_traits;
};

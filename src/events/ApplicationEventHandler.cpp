#include "events/ApplicationEventHandler.h"

#include "com/Guids.h"
#include "log/DebugLog.h"

const CEventSink::Traits CApplicationEventHandler::s_traits = {
    "CApplicationEventHandler", &DIID_ApplicationEvents,
    /*releaseIgnoresZero*/ true, /*loopForm*/ true, /*logsTypeInfo*/ false,
    /*nullSourceRaises*/ false, /*logsLifetime*/ false};

CApplicationEventHandler::CApplicationEventHandler(IDispatch *application) : CEventSink(s_traits)
{
    SinkEvents(application);
}

HRESULT STDMETHODCALLTYPE CApplicationEventHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                           DISPPARAMS *, VARIANT *, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    const char *name;
    switch (dispIdMember) {
    case 0xF002: name = "ItemSend"; break;
    case 0xF003: name = "NewMail"; break;
    case 0xF004: name = "Reminder"; break;
    case 0xF005: name = "OptionsPagesAdd"; break;
    case 0xF006: name = "Startup"; break;
    case 0xF007: name = "Quit"; break;
    default: name = "<Unknown>"; break;
    }
    DebugLog(1, "Application Event: %s (%04X)\n", name, (unsigned)dispIdMember);
    return S_OK;
}

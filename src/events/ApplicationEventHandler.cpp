#include "events/ApplicationEventHandler.h"

#include "com/Guids.h"
#include "events/ItemHandler.h"
#include "events/UnsentMail.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "tracking/MailItem.h"

const CEventSink::Traits CApplicationEventHandler::s_traits = {
    "CApplicationEventHandler", &DIID_ApplicationEvents,
    /*releaseIgnoresZero*/ true, /*loopForm*/ true, /*logsTypeInfo*/ false,
    /*nullSourceRaises*/ false, /*logsLifetime*/ false};

CApplicationEventHandler::CApplicationEventHandler(IDispatch *application, WindowSetupPtr setup)
    : CEventSink(s_traits), m_setup(std::move(setup))
{
    SinkEvents(application);
}

int CApplicationEventHandler::OnItemSend(IDispatch *item)
{
    // A mail the add-in tracks already: its own item decides, and marks the
    // send once whichever of the two events comes first.
    if (CMailItem *tracked = CMailItem::Tracking(item))
        return SendOrRefuse(tracked);
    ComPtr<IDispatch> mailItem = UnsentMail(item);
    if (!mailItem || !CTrackingSwitch::StoredDefault())
        return 0;
    DebugLog(1, "ItemSend: a mail no window of the add-in's tracks is marked here\n");
    CMailItem *unseen = new CMailItem(mailItem.Get(), CTrackingSwitch::FromStoredDefault(),
                                      m_setup ? m_setup->account : nullptr);
    // Its window, if any, is not the add-in's to hide.
    unseen->KeepWindowShown(GetActiveWindow());
    const int cancel = SendOrRefuse(unseen);
    unseen->Release();
    return cancel;
}

HRESULT STDMETHODCALLTYPE CApplicationEventHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                           DISPPARAMS *pDispParams, VARIANT *, EXCEPINFO *, UINT *)
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
    // ItemSend(Item, Cancel): Cancel first in the array, Item second.
    if (dispIdMember == 0xF002 && pDispParams && pDispParams->cArgs == 2 && pDispParams->rgvarg) {
        const VARIANT &item = pDispParams->rgvarg[1];
        ComPtr<IDispatch> mailItem;
        if ((item.vt == VT_DISPATCH || item.vt == VT_UNKNOWN) && item.punkVal)
            item.punkVal->QueryInterface(IID_IDispatch, mailItem.ReceiveVoid());
        try {
            if (mailItem && OnItemSend(mailItem.Get()) == 1)
                RefuseEvent(pDispParams, nullptr); // the event has no result to give
        } catch (...) {
            LogCaughtError("ItemSend");
        }
    }
    return S_OK;
}

#include "events/ItemHandler.h"

#include "com/Identity.h"
#include "com/ComError.h"
#include "com/ComPtr.h"
#include "com/Guids.h"
#include "com/Resources.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"
#include "tracking/MailItem.h"

#include <string>

namespace {

const char kSendFailedText[] =
    "Quorvia could not prepare this message for tracking, so it was not sent. Switch tracking off to send it "
    "without tracking.";

// The name a PropertyChange or CustomPropertyChange carries in its one
// argument; empty when the call brings none or not a plain string.
std::string PropertyName(const DISPPARAMS *params)
{
    if (!params || params->cArgs < 1 || !params->rgvarg)
        return std::string();
    const VARIANT &arg = params->rgvarg[0];
    if (arg.vt != VT_BSTR || !arg.bstrVal)
        return std::string();
    return AnsiFromWide(arg.bstrVal, static_cast<int>(SysStringLen(arg.bstrVal)));
}

const char *ItemEventName(DISPID id)
{
    switch (id) {
    case 0xF001: return "Read";
    case 0xF002: return "Write";
    case 0xF003: return "Open";
    case 0xF004: return "Close";
    case 0xF005: return "Send";
    case 0xF006: return "CustomAction";
    case 0xF008: return "CustomPropertyChange";
    case 0xF009: return "PropertyChange";
    case 0xF00A: return "BeforeCheckNames";
    case 0xF00B: return "AttachmentAdd";
    case 0xF00C: return "AttachmentRead";
    case 0xF00D: return "BeforeAttachmentSave";
    case 0xF466: return "Reply";
    case 0xF467: return "ReplyAll";
    case 0xF468: return "Forward";
    default: return nullptr;
    }
}

} // namespace

// Today's Outlook reads the by-reference Cancel argument (the last one, first
// in the array), Outlook 97's forms read a FALSE result.
void RefuseEvent(DISPPARAMS *params, VARIANT *result)
{
    if (result) {
        result->vt = VT_BOOL;
        result->boolVal = VARIANT_FALSE;
    }
    if (params && params->cArgs >= 1 && params->rgvarg) {
        VARIANT &cancel = params->rgvarg[0];
        if (cancel.vt == (VT_BOOL | VT_BYREF) && cancel.pboolVal)
            *cancel.pboolVal = VARIANT_TRUE;
    }
}

const CEventSink::Traits CItemHandler::s_traits = {
    "CItemHandler", &DIID_ItemEvents,
    /*releaseIgnoresZero*/ false, /*loopForm*/ true, /*logsTypeInfo*/ true,
    /*nullSourceRaises*/ true, /*logsLifetime*/ true};

CItemHandler::CItemHandler(CMailItem *pTrackedItem) : CEventSink(s_traits)
{
    m_pTrackedItem = pTrackedItem;
    ComPtr<IDispatch> item = ComPtr<IDispatch>::Borrow(pTrackedItem ? pTrackedItem->GetMailItem() : nullptr);
    SinkEvents(item.Get());
}

int SendOrRefuse(CMailItem *trackedItem)
{
    try {
        // Messages dispatched while the exchange waits may close the window
        // and release the tracked item; it must outlive its own Send.
        ComPtr<CMailItem> item = ComPtr<CMailItem>::Borrow(trackedItem);
        return item->OnSend();
    } catch (...) {
        LogCaughtError("MailItem Send");
    }
    MessageBoxA(GetDesktopWindow(), kSendFailedText, QUORVIA_CAPTION, MB_OK | MB_ICONWARNING);
    return 1;
}

HRESULT STDMETHODCALLTYPE CItemHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD, DISPPARAMS *pDispParams,
                                               VARIANT *pVarResult, EXCEPINFO *, UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;

    try {
        const char *name = ItemEventName(dispIdMember);
        if (dispIdMember == 0xF008 || dispIdMember == 0xF009) {
            std::string property = PropertyName(pDispParams);
            DebugLog(dispIdMember == 0xF009 ? 2 : 1, "MailItem Event: %s (%04X) - %s\n", name,
                     (unsigned)dispIdMember, property.c_str());
            return S_OK;
        }
        DebugLog(1, "MailItem Event: %s (%04X)\n", name ? name : "<Unknown>", (unsigned)dispIdMember);
        if (!m_pTrackedItem)
            return S_OK;

        int cancel = 0;
        switch (dispIdMember) {
        case 0xF002:
            m_pTrackedItem->OnWrite();
            return S_OK;
        case 0xF003:
            m_pTrackedItem->OnOpen();
            return S_OK;
        case 0xF004:
            cancel = m_pTrackedItem->OnClose();
            break;
        case 0xF005:
            cancel = SendOrRefuse(m_pTrackedItem);
            break;
        default:
            return S_OK;
        }
        if (cancel == 1)
            RefuseEvent(pDispParams, pVarResult);
        return cancel;
    } catch (...) {
        LogCaughtError("MailItem Event");
        return S_OK;
    }
}

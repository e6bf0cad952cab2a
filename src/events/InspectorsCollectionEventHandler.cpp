#include "events/InspectorsCollectionEventHandler.h"

#include "com/ComError.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "events/InspectorEventHandler.h"
#include "events/UnsentMail.h"
#include "log/CaughtError.h"
#include "log/DebugLog.h"


namespace {

constexpr DISPID kNewInspector = 0xF001;

} // namespace

const CEventSink::Traits CInspectorsCollectionEventHandler::s_traits = {
    "CInspectorsCollectionEventHandler", &DIID_InspectorsEvents,
    /*releaseIgnoresZero*/ true, /*loopForm*/ true, /*logsTypeInfo*/ false,
    /*nullSourceRaises*/ false, /*logsLifetime*/ true};

CInspectorsCollectionEventHandler::CInspectorsCollectionEventHandler(IDispatch *inspectors, WindowSetupPtr setup)
    : CEventSink(s_traits), m_setup(std::move(setup))
{
    SinkEvents(inspectors);
}

void CInspectorsCollectionEventHandler::OnNewInspector(IDispatch *argument)
{
    ComPtr<IDispatch> inspector = om::QueryOptional<IDispatch>(argument, IID__Inspector);
    if (!inspector)
        ThrowComError(E_POINTER, IID__Inspector);

    ComPtr<IUnknown> item = om::AsUnknown(om::Get(inspector.Get(), L"CurrentItem", IID__Inspector));
    ComPtr<IDispatch> mailItem = UnsentMail(item.Get());
    item.Reset();
    if (!mailItem)
        return;

    CInspectorEventHandler::Create(inspector.Get(), mailItem.Get(), m_setup);
}

HRESULT STDMETHODCALLTYPE CInspectorsCollectionEventHandler::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD,
                                                                    DISPPARAMS *pDispParams, VARIANT *, EXCEPINFO *,
                                                                    UINT *)
{
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (dispIdMember != kNewInspector)
        return DISP_E_MEMBERNOTFOUND;
    DebugLog(1, "InspectorCollectionEvent: NewInspector (%04X)\n", (unsigned)dispIdMember);
    if (!pDispParams)
        return E_POINTER;
    if (pDispParams->cArgs != 1)
        return DISP_E_BADPARAMCOUNT;
    const VARIANT &argument = pDispParams->rgvarg[0];
    if (argument.vt != VT_DISPATCH)
        return S_OK;

    // A window that cannot be equipped simply gets no toolbar; nothing reaches Outlook.
    try {
        OnNewInspector(argument.pdispVal);
    } catch (...) {
        LogCaughtError("NewInspector");
    }
    return S_OK;
}

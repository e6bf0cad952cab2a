#include "host/Explorer.h"

#include "com/Guids.h"
#include "host/ComposeWindow.h"
#include "host/Generation.h"
#include "host/OleWindow.h"
#include "host/Text.h"

namespace host {
namespace {

HRESULT ReturnObject(Invocation &call, IDispatch *object)
{
    call.Result()->vt = VT_DISPATCH;
    call.Result()->pdispVal = object;
    if (object)
        object->AddRef();
    return S_OK;
}

} // namespace

Explorer::Explorer() : DispObject("Explorer", {IID__Explorer})
{
    m_hwnd = CreateHostWindow("Inbox - Outlook", true);
    AddFacet(NewOleWindowFacet(*this, m_hwnd));
    AddValue("Caption", Str("Inbox - Outlook"));
    AddProperty("Application", [this](Invocation &call) { return ReturnObject(call, m_application); });
    if (!PlaysOutlook2003())
        AddProperty("ActiveInlineResponse",
                    [this](Invocation &call) { return ReturnObject(call, m_inlineItem.Get()); });
    m_events = &AddEventSource(*this, DIID_ExplorerEvents_10);
}

Explorer::~Explorer()
{
    if (m_hwnd)
        DestroyWindow(m_hwnd);
}

void Explorer::SetInlineResponse(ComposedItem *response)
{
    m_inline = response;
    m_inlineItem = ComPtr<IDispatch>::Borrow(response ? response->ItemDispatch() : nullptr);
}

void Explorer::Close()
{
    m_closed = true;
    if (m_hwnd) {
        DestroyWindow(m_hwnd);
        m_hwnd = nullptr;
    }
}

} // namespace host

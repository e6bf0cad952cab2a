#include "host/Inspector.h"

#include "com/Guids.h"
#include "host/CommandBars.h"
#include "host/Generation.h"
#include "host/MailItem.h"
#include "host/OleWindow.h"

namespace host {

Inspector::Inspector(Window window)
    : DispObject("Inspector", {IID__Inspector}), m_editorFromActivate(!PlaysOutlook2003())
{
    if (window != Window::None) {
        m_hwnd = CreateHostWindow("Untitled - Message (HTML)", window == Window::Shown);
        AddFacet(NewOleWindowFacet(*this, m_hwnd));
    }
    AddValue("WindowState", Variant::I4(olNormalWindow));
    AddValue("EditorType", Variant::I4(olEditorHTML));
    AddProperty("CurrentItem", [this](Invocation &call) {
        if (!m_item)
            return E_FAIL;
        call.Result()->vt = VT_DISPATCH;
        call.Result()->pdispVal = m_item.Get();
        m_item->AddRef();
        return S_OK;
    });
    auto give = [](Invocation &call, IDispatch *object) {
        call.Result()->vt = VT_DISPATCH;
        call.Result()->pdispVal = object;
        if (object)
            object->AddRef();
        return S_OK;
    };
    AddProperty("CommandBars", [this, give](Invocation &call) { return give(call, m_bars.Get()); });
    // Microsoft KB 929593: WordEditor does not work in the NewInspector event.
    AddProperty("WordEditor", [this, give](Invocation &call) {
        if (m_wordEditor && m_editorFromActivate && !m_activated)
            return E_FAIL;
        return give(call, m_wordEditor.Get());
    });
    AddProperty("Application", [this, give](Invocation &call) { return give(call, m_application); });
    m_events = &AddEventSource(*this, DIID_InspectorEvents);
}

Inspector::~Inspector()
{
    if (m_mailItem)
        m_mailItem->SetInspector(nullptr);
    if (m_hwnd)
        DestroyWindow(m_hwnd);
}

LONG Inspector::WindowState() const
{
    Variant state = Value("WindowState");
    return state.Type() == VT_I4 ? state.Get()->lVal : -1;
}

void Inspector::SetCurrentItem(MailItem *item)
{
    if (m_mailItem)
        m_mailItem->SetInspector(nullptr);
    m_mailItem = item;
    m_item = ComPtr<IDispatch>::Borrow(item);
    if (item)
        item->SetInspector(this);
}

MailItem *Inspector::CurrentItem() const
{
    return m_mailItem;
}

void Inspector::SetCurrentObject(IDispatch *item)
{
    if (m_mailItem)
        m_mailItem->SetInspector(nullptr);
    m_mailItem = nullptr;
    m_item = ComPtr<IDispatch>::Borrow(item);
}

void Inspector::SetCommandBars(CommandBars *bars)
{
    m_bars = ComPtr<CommandBars>::Borrow(bars);
}

void Inspector::SetWordEditor(IDispatch *document)
{
    m_wordEditor = ComPtr<IDispatch>::Borrow(document);
    SetValue("EditorType", *Variant::I4(document ? olEditorWord : olEditorHTML).Get());
}

void Inspector::Close()
{
    m_closed = true;
    if (m_hwnd) {
        DestroyWindow(m_hwnd);
        m_hwnd = nullptr;
    }
}

} // namespace host

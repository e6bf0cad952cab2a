#include "host/Application.h"

#include "com/Guids.h"
#include "host/Explorer.h"
#include "host/Generation.h"
#include "host/Inspector.h"
#include "host/Text.h"

#include <algorithm>

namespace host {
namespace {

// Outlook's _NameSpace and _Inspectors; the add-in never asks for them, so
// they are declared here rather than among its own identifiers.
const IID kIID_NameSpace = {0x00063002, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID kIID_Inspectors = {0x00063008, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

HRESULT ReturnObject(Invocation &call, IDispatch *object)
{
    call.Result()->vt = VT_DISPATCH;
    call.Result()->pdispVal = object;
    if (object)
        object->AddRef();
    return S_OK;
}

} // namespace

NameSpace::NameSpace() : DispObject("NameSpace", {kIID_NameSpace})
{
    AddValue("Type", Str("MAPI"));
}

template <class Window>
WindowCollection<Window>::WindowCollection(const char *name, REFIID iid, REFIID events) : DispObject(name, {iid})
{
    AddProperty("Count", [this](Invocation &call) {
        call.Result()->vt = VT_I4;
        call.Result()->lVal = static_cast<LONG>(m_open.size());
        return S_OK;
    });
    AddMethod("Item", [this](Invocation &call) {
        Variant index;
        HRESULT hr = call.ArgAs(0, VT_I4, index);
        if (FAILED(hr))
            return hr;
        LONG i = index.Get()->lVal; // counted from 1
        if (i < 1 || i > static_cast<LONG>(m_open.size()))
            return DISP_E_BADINDEX;
        return ReturnObject(call, m_open[i - 1].Get());
    });
    m_events = &AddEventSource(*this, events);
}

template <class Window>
HRESULT WindowCollection<Window>::Add(Window *window, bool announce)
{
    m_open.push_back(ComPtr<Window>::Borrow(window));
    if (!announce)
        return S_OK;
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_DISPATCH;
    argument.pdispVal = window; // lent for the firing; the collection holds it
    return m_events->Fire(kNewInspector, {argument});
}

template <class Window>
void WindowCollection<Window>::Remove(Window *window)
{
    auto it = std::find_if(m_open.begin(), m_open.end(),
                           [window](const ComPtr<Window> &open) { return open.Get() == window; });
    if (it == m_open.end())
        return;
    ComPtr<Window> leaving = std::move(*it); // released after the vector is whole again
    m_open.erase(it);
}

template <class Window>
bool WindowCollection<Window>::Contains(const Window *window) const
{
    for (const auto &open : m_open)
        if (open.Get() == window)
            return true;
    return false;
}

Inspectors::Inspectors() : WindowCollection<Inspector>("Inspectors", kIID_Inspectors, DIID_InspectorsEvents) {}

Explorers::Explorers() : WindowCollection<Explorer>("Explorers", IID__Explorers, DIID_ExplorersEvents) {}

Application::Application() : DispObject("Application", {IID__Application}), m_outlook2003(PlaysOutlook2003())
{
    AddValue("Name", Str("Outlook"));
    AddValue("Version", Str(m_outlook2003 ? "11.0.0.8303" : "16.0.0.17928"));
    m_namespace = Create<NameSpace>();
    m_inspectors = Create<Inspectors>();
    m_explorers = Create<Explorers>();
    AddMethod("GetNamespace", [this](Invocation &call) {
        Variant type;
        HRESULT hr = call.ArgAs(0, VT_BSTR, type);
        if (FAILED(hr))
            return hr;
        // MAPI is the only namespace type Outlook knows.
        if (!type.Get()->bstrVal || lstrcmpiW(type.Get()->bstrVal, L"MAPI") != 0)
            return E_INVALIDARG;
        return ReturnObject(call, m_namespace.Get());
    });
    AddProperty("Inspectors", [this](Invocation &call) { return ReturnObject(call, m_inspectors.Get()); });
    // Nothing (a null VT_DISPATCH) when no window is open in front.
    AddMethod("ActiveInspector", [this](Invocation &call) { return ReturnObject(call, ActiveInspectorObject()); });
    AddProperty("Explorers", [this](Invocation &call) { return ReturnObject(call, m_explorers.Get()); });
    AddMethod("ActiveExplorer", [this](Invocation &call) { return ReturnObject(call, ActiveExplorerObject()); });
    m_events = &AddEventSource(*this, DIID_ApplicationEvents);
}

Application::~Application()
{
    // The windows point back here without a reference.
    if (m_inspectors)
        for (const auto &open : m_inspectors->Open())
            open->SetApplication(nullptr);
    if (m_explorers)
        for (const auto &open : m_explorers->Open())
            open->SetApplication(nullptr);
}

Inspector *Application::ActiveInspectorObject() const
{
    return m_active && m_inspectors->Contains(m_active) ? m_active : nullptr;
}

Explorer *Application::ActiveExplorerObject() const
{
    return m_activeExplorer && m_explorers->Contains(m_activeExplorer) ? m_activeExplorer : nullptr;
}

bool Application::FireItemSendRefused(IDispatch *item)
{
    Pin alive(*this);
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT argument;
    VariantInit(&argument);
    argument.vt = VT_DISPATCH;
    argument.pdispVal = item; // lent for the firing
    Variant result;
    m_events->Fire(kApplicationItemSend, {argument, ByRefBool(&cancel)}, result.Receive());
    if (m_outlook2003)
        return result.Type() == VT_BOOL && result.Get()->boolVal == VARIANT_FALSE;
    return cancel != VARIANT_FALSE;
}

template class WindowCollection<Inspector>;
template class WindowCollection<Explorer>;

} // namespace host

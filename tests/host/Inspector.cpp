#include "host/Inspector.h"

#include "com/Guids.h"
#include "host/CallLog.h"
#include "host/CommandBars.h"
#include "host/Faults.h"
#include "host/Generation.h"
#include "host/MailItem.h"

namespace host {
namespace {

const char kWindowClass[] = "QuorviaHostInspector";

ATOM RegisterInspectorClass()
{
    static ATOM atom = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = DefWindowProcA;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kWindowClass;
        return RegisterClassA(&wc);
    }();
    return atom;
}

// IOleWindow of an inspector: the window handle, recorded as "Inspector.GetWindow".
class OleWindowFacet final : public Facet, public IOleWindow
{
public:
    OleWindowFacet(DispObject &owner, const HWND &window) : Facet(owner), m_window(window) {}

    void *InterfaceFor(REFIID iid) override
    {
        return IsEqualIID(iid, IID_IOleWindow) ? static_cast<IOleWindow *>(this) : nullptr;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override
    {
        return Owner().QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Owner().AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Owner().Release(); }

    HRESULT STDMETHODCALLTYPE GetWindow(HWND *phwnd) override
    {
        CallRecord record;
        record.object = Owner().Name();
        record.member = "GetWindow";
        record.kind = CallKind::Other;
        CallScope call(std::move(record));
        if (!phwnd)
            return call.Finish(E_POINTER);
        *phwnd = nullptr;
        HRESULT injected = Faults::Check(Owner().Name(), "GetWindow");
        if (FAILED(injected))
            return call.Finish(injected);
        *phwnd = m_window;
        return call.Finish(m_window ? S_OK : E_FAIL);
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

private:
    const HWND &m_window;
};

} // namespace

Inspector::Inspector(Window window)
    : DispObject("Inspector", {IID__Inspector}), m_editorFromActivate(!PlaysOutlook2003())
{
    if (window != Window::None) {
        RegisterInspectorClass();
        m_hwnd = CreateWindowExA(0, kWindowClass, "Untitled - Message (HTML)", WS_OVERLAPPEDWINDOW, 10, 10, 640,
                                 480, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
        if (m_hwnd && window == Window::Shown)
            ShowWindow(m_hwnd, SW_SHOWNORMAL);
        AddFacet(std::unique_ptr<Facet>(new OleWindowFacet(*this, m_hwnd)));
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

#include "host/Ribbon.h"

#include "com/Guids.h"
#include "host/CallLog.h"
#include "host/Text.h"

namespace host {
namespace {

const char kPosterClass[] = "QuorviaHostRibbon";
const size_t kNone = static_cast<size_t>(-1);

std::wstring WideFromUtf8(const std::string &text)
{
    if (text.empty())
        return std::wstring();
    int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    return wide;
}

Variant Text(const std::wstring &text)
{
    return Variant::Str(BStr::FromWide(text.c_str(), static_cast<UINT>(text.size())));
}

HRESULT ReturnText(Invocation &call, const std::wstring &text)
{
    Variant value = Text(text);
    if (!value.Get()->bstrVal)
        return E_OUTOFMEMORY;
    *call.Result() = *value.Get();
    VariantInit(value.Get());
    return S_OK;
}

// A call Office makes on the add-in, recorded before it runs.
CallRecord OnAddin(const std::string &member, std::vector<std::string> args)
{
    CallRecord record;
    record.object = "Ribbon";
    record.member = "Addin." + member;
    record.kind = CallKind::Event;
    record.flags = DISPATCH_METHOD;
    record.args = std::move(args);
    return record;
}

size_t Index(RibbonKind kind)
{
    return kind == RibbonKind::Explorer ? 0 : 1;
}

bool IsToggle(const std::string &type)
{
    return type == "toggleButton" || type == "checkBox";
}

bool IsFalse(const std::string &value)
{
    return value == "false" || value == "0";
}

RibbonControlState Initial(const RibbonControlXml &declared)
{
    RibbonControlState state;
    state.type = declared.type;
    state.id = declared.Id();
    state.visible = !IsFalse(declared.Attribute("visible"));
    state.enabled = !IsFalse(declared.Attribute("enabled"));
    state.label = declared.Attribute("label");
    state.screentip = declared.Attribute("screentip");
    state.imageMso = declared.Attribute("imageMso");
    return state;
}

// Keeps what a getter answered; false when the answer is not of the type Office takes.
bool Take(RibbonControlState &state, const std::string &getter, const VARIANT &value)
{
    const struct
    {
        const char *getter;
        bool RibbonControlState::*flag;
    } flags[] = {{"getPressed", &RibbonControlState::pressed},
                 {"getVisible", &RibbonControlState::visible},
                 {"getEnabled", &RibbonControlState::enabled}};
    for (const auto &f : flags) {
        if (getter != f.getter)
            continue;
        if (value.vt != VT_BOOL)
            return false;
        state.*f.flag = value.boolVal != VARIANT_FALSE;
        return true;
    }
    const struct
    {
        const char *getter;
        std::string RibbonControlState::*text;
    } texts[] = {{"getLabel", &RibbonControlState::label}, {"getScreentip", &RibbonControlState::screentip}};
    for (const auto &t : texts) {
        if (getter != t.getter)
            continue;
        if (value.vt != VT_BSTR)
            return false;
        state.*t.text = value.bstrVal ? Utf8FromWide(std::wstring(value.bstrVal, SysStringLen(value.bstrVal))) : "";
        return true;
    }
    if (getter != "getImage")
        return true; // another getter: Office shows it, the host keeps nothing of it
    if (value.vt == VT_BSTR && value.bstrVal) {
        state.imageMso = Utf8FromWide(std::wstring(value.bstrVal, SysStringLen(value.bstrVal)));
        state.picture.Reset();
        return true;
    }
    if ((value.vt == VT_DISPATCH || value.vt == VT_UNKNOWN) && value.punkVal) {
        state.picture = ComPtr<IUnknown>::Borrow(value.punkVal);
        state.imageMso.clear();
        return true;
    }
    return false;
}

// IRibbonControl, as a callback receives it.
class RibbonControl final : public DispObject
{
public:
    RibbonControl(IDispatch *context, const RibbonControlXml &declared)
        : DispObject("RibbonControl", {IID_IRibbonControl}), m_context(ComPtr<IDispatch>::Borrow(context)),
          m_id(WideFromUtf8(declared.Id())), m_tag(WideFromUtf8(declared.Attribute("tag")))
    {
        AddProperty("Id", [this](Invocation &call) { return ReturnText(call, m_id); });
        AddProperty("Context", [this](Invocation &call) {
            call.Result()->vt = VT_DISPATCH;
            call.Result()->pdispVal = m_context.Get();
            if (m_context)
                m_context->AddRef();
            return S_OK;
        });
        AddProperty("Tag", [this](Invocation &call) { return ReturnText(call, m_tag); });
    }

private:
    ~RibbonControl() override = default;

    ComPtr<IDispatch> m_context;
    const std::wstring m_id;
    const std::wstring m_tag;
};

} // namespace

// IRibbonUI, handed to onLoad; it outlives its host when the add-in keeps it.
class RibbonUI final : public DispObject
{
public:
    RibbonUI(RibbonHost &host, RibbonKind kind)
        : DispObject(kind == RibbonKind::Explorer ? "ExplorerRibbonUI" : "ComposeRibbonUI", {IID_IRibbonUI}),
          m_host(&host), m_kind(kind)
    {
        AddMethod("Invalidate",
                  [this](Invocation &) { return m_host ? m_host->Invalidate(m_kind, nullptr) : E_UNEXPECTED; });
        AddMethod("InvalidateControl", [this](Invocation &call) {
            Variant id;
            HRESULT hr = call.ArgAs(0, VT_BSTR, id);
            if (FAILED(hr))
                return hr;
            const BSTR text = id.Get()->bstrVal;
            const std::string narrow = text ? Utf8FromWide(std::wstring(text, SysStringLen(text))) : "";
            return m_host ? m_host->Invalidate(m_kind, &narrow) : E_UNEXPECTED;
        });
    }
    // The add-in was let go: later calls fail with E_UNEXPECTED.
    void Detach() { m_host = nullptr; }

private:
    ~RibbonUI() override = default;

    RibbonHost *m_host;
    const RibbonKind m_kind;
};

const wchar_t *RibbonId(RibbonKind kind)
{
    return kind == RibbonKind::Explorer ? L"Microsoft.Outlook.Explorer" : L"Microsoft.Outlook.Mail.Compose";
}

RibbonHost::RibbonHost()
{
    static const ATOM atom = [] {
        WNDCLASSA wc = {};
        wc.lpfnWndProc = PosterProc;
        wc.hInstance = GetModuleHandleA(nullptr);
        wc.lpszClassName = kPosterClass;
        return RegisterClassA(&wc);
    }();
    (void)atom;
    m_poster = CreateWindowExA(0, kPosterClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, GetModuleHandleA(nullptr),
                               nullptr);
    if (m_poster)
        SetWindowLongPtrA(m_poster, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

RibbonHost::~RibbonHost()
{
    Disconnect();
    if (m_poster)
        DestroyWindow(m_poster);
}

LRESULT CALLBACK RibbonHost::PosterProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam)
{
    auto *host = reinterpret_cast<RibbonHost *>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
    if (msg == WM_APP && host) {
        host->Refresh();
        return 0;
    }
    return DefWindowProcA(hwnd, msg, wParam, lParam);
}

void RibbonHost::Connect(IUnknown *addin)
{
    if (!addin || m_extensibility)
        return;
    IRibbonExtensibility *extensibility = nullptr;
    {
        CallScope call(OnAddin("QueryInterface", {InterfaceName(IID_IRibbonExtensibility)}));
        call.Finish(addin->QueryInterface(IID_IRibbonExtensibility, reinterpret_cast<void **>(&extensibility)));
    }
    m_extensibility.Reset(extensibility);
    Load(RibbonKind::Explorer);
}

void RibbonHost::Disconnect()
{
    for (Ribbon &ribbon : m_ribbons) {
        if (ribbon.object)
            ribbon.object->Detach();
        ribbon = Ribbon();
    }
    m_windows.clear();
    m_extensibility.Reset();
}

void RibbonHost::Load(RibbonKind kind)
{
    Ribbon &ribbon = m_ribbons[Index(kind)];
    if (ribbon.loaded || !m_extensibility)
        return;
    ribbon.loaded = true;
    const std::string name = Utf8FromWide(RibbonId(kind));
    BStr id = BStr::FromWide(RibbonId(kind));
    BStr xml;
    HRESULT hr;
    {
        CallScope call(OnAddin("GetCustomUI", {"VT_BSTR \"" + name + "\""}));
        hr = call.Finish(m_extensibility->GetCustomUI(id.Get(), xml.Receive()));
    }
    if (FAILED(hr)) {
        m_errors.push_back(name + ": GetCustomUI failed: " + HResultText(hr));
        return;
    }
    if (!xml.Length())
        return; // nothing of the add-in's on this ribbon
    const std::string why = ReadCustomUI(std::wstring(xml.Get(), xml.Length()), ribbon.ui);
    if (!why.empty()) {
        m_errors.push_back(name + ": " + why);
        return;
    }
    ribbon.taken = true;
    ribbon.object = Create<RibbonUI>(*this, kind);
    if (ribbon.ui.onLoad.empty() || !ribbon.object)
        return;
    Variant ui = Variant::Dispatch(ribbon.object.Get());
    hr = Callback(ribbon.ui.onLoad, {*ui.Get()}, nullptr);
    if (FAILED(hr))
        m_errors.push_back(ribbon.ui.onLoad + " failed: " + HResultText(hr));
}

const std::vector<RibbonControlXml> &RibbonHost::Controls(const Ribbon &ribbon, RibbonKind kind)
{
    return kind == RibbonKind::Explorer ? ribbon.ui.inlineResponse : ribbon.ui.compose;
}

const CustomUI *RibbonHost::Definition(RibbonKind kind) const
{
    const Ribbon &ribbon = m_ribbons[Index(kind)];
    return ribbon.taken ? &ribbon.ui : nullptr;
}

RibbonHost::Window *RibbonHost::Find(IDispatch *window)
{
    for (Window &w : m_windows)
        if (w.window.Get() == window)
            return &w;
    return nullptr;
}

void RibbonHost::Show(IDispatch *window, RibbonKind kind)
{
    const Ribbon &ribbon = m_ribbons[Index(kind)];
    if (!ribbon.taken)
        return;
    Window *shown = Find(window);
    if (!shown) {
        Window made;
        made.window = ComPtr<IDispatch>::Borrow(window);
        made.kind = kind;
        for (const RibbonControlXml &declared : Controls(ribbon, kind))
            made.controls.push_back(Initial(declared));
        made.due.assign(made.controls.size(), true);
        m_windows.push_back(std::move(made));
        shown = &m_windows.back();
    }
    shown->inView = true;
    RunDueGetters(*shown);
}

void RibbonHost::Hide(IDispatch *window)
{
    if (Window *w = Find(window))
        w->inView = false;
}

void RibbonHost::Forget(IDispatch *window)
{
    for (auto it = m_windows.begin(); it != m_windows.end(); ++it)
        if (it->window.Get() == window) {
            m_windows.erase(it);
            return;
        }
}

const RibbonControlState *RibbonHost::State(IDispatch *window, const std::string &id) const
{
    for (const Window &w : m_windows)
        if (w.window.Get() == window)
            for (const RibbonControlState &control : w.controls)
                if (control.id == id)
                    return &control;
    return nullptr;
}

HRESULT RibbonHost::Invalidate(RibbonKind kind, const std::string *id)
{
    const std::vector<RibbonControlXml> &controls = Controls(m_ribbons[Index(kind)], kind);
    size_t index = kNone;
    for (size_t i = 0; id && i < controls.size(); ++i)
        if (controls[i].Id() == *id)
            index = i;
    if (id && index == kNone)
        return E_INVALIDARG;
    for (Window &w : m_windows)
        if (w.kind == kind)
            for (size_t i = 0; i < w.due.size(); ++i)
                if (!id || i == index)
                    w.due[i] = true;
    if (!m_refreshPosted && m_poster)
        m_refreshPosted = PostMessageA(m_poster, WM_APP, 0, 0) != FALSE;
    return S_OK;
}

void RibbonHost::Refresh()
{
    m_refreshPosted = false;
    for (Window &w : m_windows)
        if (w.inView)
            RunDueGetters(w);
}

void RibbonHost::RunDueGetters(Window &window)
{
    for (size_t i = 0; i < window.due.size(); ++i)
        if (window.due[i]) {
            window.due[i] = false;
            RunGetters(window, i);
        }
}

void RibbonHost::RunGetters(Window &window, size_t index)
{
    const RibbonControlXml &declared = Controls(m_ribbons[Index(window.kind)], window.kind)[index];
    RibbonControlState &state = window.controls[index];
    ComPtr<DispObject> control = NewControl(window.window.Get(), declared);
    for (const auto &attribute : declared.attributes) {
        if (attribute.first.compare(0, 3, "get") != 0)
            continue;
        Variant argument = Variant::Dispatch(control.Get());
        Variant result;
        HRESULT hr = Callback(attribute.second, {*argument.Get()}, result.Receive());
        if (FAILED(hr))
            m_errors.push_back(attribute.second + " for " + declared.Id() + " failed: " + HResultText(hr));
        else if (!Take(state, attribute.first, *result.Get()))
            m_errors.push_back(attribute.second + " for " + declared.Id() + " answered " + VariantText(*result.Get()));
    }
}

HRESULT RibbonHost::Click(IDispatch *window, const std::string &id)
{
    Window *w = Find(window);
    if (!w || !w->inView)
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    const std::vector<RibbonControlXml> &controls = Controls(m_ribbons[Index(w->kind)], w->kind);
    for (size_t i = 0; i < controls.size(); ++i) {
        if (controls[i].Id() != id)
            continue;
        RibbonControlState &state = w->controls[i];
        if (!state.visible || !state.enabled)
            return E_ACCESSDENIED;
        const bool toggle = IsToggle(controls[i].type);
        // Office shows the new state of a toggle at once, whatever onAction does.
        if (toggle)
            state.pressed = !state.pressed;
        const std::string onAction = controls[i].Attribute("onAction");
        if (onAction.empty())
            return S_OK;
        ComPtr<DispObject> control = NewControl(w->window.Get(), controls[i]);
        Variant argument = Variant::Dispatch(control.Get());
        Variant pressed = Variant::Bool(state.pressed);
        std::vector<VARIANT> args = {*argument.Get()};
        if (toggle)
            args.push_back(*pressed.Get());
        HRESULT hr = Callback(onAction, args, nullptr);
        if (FAILED(hr))
            m_errors.push_back(onAction + " for " + id + " failed: " + HResultText(hr));
        return hr;
    }
    return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
}

ComPtr<DispObject> RibbonHost::NewControl(IDispatch *context, const RibbonControlXml &declared) const
{
    ComPtr<DispObject> control(new (std::nothrow) RibbonControl(context, declared));
    return control;
}

HRESULT RibbonHost::Callback(const std::string &name, std::vector<VARIANT> args, VARIANT *result)
{
    if (!m_extensibility)
        return E_UNEXPECTED;
    const std::wstring wide = WideFromUtf8(name);
    LPOLESTR names[] = {const_cast<LPOLESTR>(wide.c_str())};
    DISPID id = DISPID_UNKNOWN;
    HRESULT hr = m_extensibility->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        CallScope lookup(OnAddin("GetIDsOfNames", {"\"" + name + "\""}));
        return lookup.Finish(hr);
    }
    std::vector<std::string> texts;
    for (const VARIANT &arg : args)
        texts.push_back(VariantText(arg));
    CallScope call(OnAddin(name, std::move(texts)));
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    EXCEPINFO exception = {};
    UINT argError = 0;
    hr = m_extensibility->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, result, &exception,
                                 &argError);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    return call.Finish(hr);
}

} // namespace host

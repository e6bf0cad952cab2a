#include "host/CommandBars.h"

#include "com/Guids.h"
#include "host/Text.h"

namespace host {
namespace {

const DISPID kClick = 1;
// MsoControlOLEUsage and MsoButtonStyle of a button Office has just added.
const LONG kOleUsageBoth = 3;
const LONG kStyleAutomatic = 0;

std::string TextOf(const Variant &value)
{
    Variant text;
    if (FAILED(VariantChangeType(text.Get(), const_cast<VARIANT *>(value.Get()), 0, VT_BSTR)) ||
        !text.Get()->bstrVal)
        return std::string();
    return AnsiFromWide(text.Get()->bstrVal, static_cast<int>(SysStringLen(text.Get()->bstrVal)));
}

HRESULT ReturnObject(Invocation &call, IDispatch *object)
{
    call.Result()->vt = VT_DISPATCH;
    call.Result()->pdispVal = object;
    if (object)
        object->AddRef();
    return S_OK;
}

} // namespace

// --- CommandBarButton ----------------------------------------------------------

CommandBarButton::CommandBarButton(std::string name)
    : DispObject(std::move(name), {IID_CommandBarControl, IID__CommandBarButton})
{
    AddValue("Visible", Variant::Bool(true));
    AddValue("OLEUsage", Variant::I4(kOleUsageBoth));
    AddValue("Tag", Str(""));
    AddValue("Parameter", Str(""));
    AddValue("Caption", Str(""));
    AddValue("TooltipText", Str(""));
    AddValue("FaceId", Variant::I4(0));
    AddValue("Style", Variant::I4(kStyleAutomatic));
    m_state = Variant::I4(kButtonUp);
    // Reading State may be made to fail on its own, while putting it still works.
    AddProperty(
        "State",
        [this](Invocation &call) {
            if (FAILED(m_stateReadResult))
                return m_stateReadResult;
            return VariantCopy(call.Result(), m_state.Get());
        },
        [this](Invocation &call) { return VariantCopyInd(m_state.Receive(), &call.Value()); });

    auto keeper = [](ComPtr<IDispatch> &slot) {
        return [&slot](Invocation &call) {
            Variant value;
            HRESULT hr = VariantCopyInd(value.Get(), &call.Value());
            if (FAILED(hr))
                return hr;
            if (value.Type() != VT_DISPATCH)
                return DISP_E_TYPEMISMATCH;
            slot = ComPtr<IDispatch>::Borrow(value.Get()->pdispVal);
            return S_OK;
        };
    };
    auto reader = [](ComPtr<IDispatch> &slot) {
        return [&slot](Invocation &call) { return ReturnObject(call, slot.Get()); };
    };
    AddProperty("Picture", reader(m_picture), keeper(m_picture));
    AddProperty("Mask", reader(m_mask), keeper(m_mask));

    AddMethod("PasteFace", [this](Invocation &) {
        ++m_pasteFaceCalls;
        ClipboardScope clipboard;
        if (!clipboard.IsOpen())
            return E_FAIL;
        HANDLE bitmap = GetClipboardData(CF_BITMAP);
        if (!bitmap)
            return E_FAIL;
        HANDLE copy = CopyImage(bitmap, IMAGE_BITMAP, 0, 0, 0);
        if (!copy)
            return E_FAIL;
        m_face.Reset(copy);
        return S_OK;
    });

    m_events = &AddEventSource(*this, DIID__CommandBarButtonEvents);
}

HRESULT CommandBarButton::Click(VARIANT_BOOL *cancelDefault)
{
    VARIANT_BOOL cancel = VARIANT_FALSE;
    VARIANT ctrl;
    VariantInit(&ctrl);
    ctrl.vt = VT_DISPATCH;
    ctrl.pdispVal = this; // borrowed for the firing, as Office lends it
    HRESULT hr = m_events->Fire(kClick, {ctrl, ByRefBool(&cancel)});
    if (cancelDefault)
        *cancelDefault = cancel;
    return hr;
}

std::string CommandBarButton::Text(const std::string &property) const
{
    return TextOf(Value(property));
}

LONG CommandBarButton::Int(const std::string &property) const
{
    Variant value = lstrcmpiA(property.c_str(), "State") == 0 ? CopyOf(*m_state.Get()) : Value(property);
    Variant number;
    if (FAILED(VariantChangeType(number.Get(), value.Get(), 0, VT_I4)))
        return 0x7FFFFFFF;
    return number.Get()->lVal;
}

void CommandBarButton::SetState(LONG state)
{
    m_state = Variant::I4(state);
}

bool CommandBarButton::IsVisible() const
{
    Variant value = Value("Visible");
    return value.Type() == VT_BOOL && value.Get()->boolVal != VARIANT_FALSE;
}

// --- CommandBarControls --------------------------------------------------------

CommandBarControls::CommandBarControls(CommandBar &bar)
    : DispObject(bar.Name() + ".Controls", {IID_CommandBarControls}), m_bar(&bar)
{
    AddMethod("Add", [this](Invocation &call) {
        if (!m_bar)
            return E_UNEXPECTED;
        Variant type;
        if (!call.IsMissing(0)) {
            HRESULT hr = call.ArgAs(0, VT_I4, type);
            if (FAILED(hr))
                return hr;
            if (type.Get()->lVal != 1) // only msoControlButton is offered here
                return E_INVALIDARG;
        }
        ComPtr<CommandBarButton> button = m_bar->AddButton();
        if (!button)
            return E_OUTOFMEMORY;
        Variant parameter;
        if (SUCCEEDED(call.ArgAs(2, VT_BSTR, parameter)))
            button->SetValue("Parameter", *parameter.Get());
        Variant temporary;
        button->SetTemporary(SUCCEEDED(call.ArgAs(4, VT_BOOL, temporary)) && temporary.Get()->boolVal != VARIANT_FALSE);
        return ReturnObject(call, button.Get());
    });
    AddProperty("Count", [this](Invocation &call) {
        call.Result()->vt = VT_I4;
        call.Result()->lVal = m_bar ? static_cast<LONG>(m_bar->m_buttons.size()) : 0;
        return S_OK;
    });
}

// --- CommandBar ------------------------------------------------------------------

CommandBar::CommandBar(const std::string &name) : DispObject(name, {IID_CommandBar})
{
    AddValue("Name", Str(name.c_str()));
    AddValue("Position", Variant::I4(1));
    AddValue("RowIndex", Variant::I4(0));
    AddValue("Visible", Variant::Bool(false));
    m_controls = Create<CommandBarControls>(*this);
    AddProperty("Controls", [this](Invocation &call) { return ReturnObject(call, m_controls.Get()); });
    AddMethod("FindControl", [this](Invocation &call) {
        Variant tag;
        if (call.IsMissing(2))
            return ReturnObject(call, nullptr);
        HRESULT hr = call.ArgAs(2, VT_BSTR, tag);
        if (FAILED(hr))
            return hr;
        const std::string wanted = TextOf(tag);
        for (const auto &button : m_buttons)
            if (button->Text("Tag") == wanted)
                return ReturnObject(call, button.Get());
        return ReturnObject(call, nullptr);
    });
}

CommandBar::~CommandBar()
{
    if (m_controls)
        m_controls->m_bar = nullptr;
}

ComPtr<CommandBarButton> CommandBar::AddButton(const std::string &tag)
{
    auto button = Create<CommandBarButton>(m_buttonPrefix + std::to_string(++m_buttonsMade));
    if (!button)
        return button;
    if (!tag.empty())
        button->SetValue("Tag", *Str(tag.c_str()).Get());
    m_buttons.push_back(button.Copy());
    return button;
}

void CommandBar::RemoveTemporaryControls()
{
    std::vector<ComPtr<CommandBarButton>> kept;
    for (auto &button : m_buttons)
        if (!button->Temporary())
            kept.push_back(std::move(button));
    m_buttons.swap(kept);
}

// --- CommandBars -----------------------------------------------------------------

CommandBars::CommandBars() : DispObject("CommandBars", {IID__CommandBars})
{
    AddProperty("Item", [this](Invocation &call) {
        Variant index;
        HRESULT hr = call.ArgAs(0, VT_BSTR, index);
        if (FAILED(hr))
            return hr;
        CommandBar *bar = nullptr;
        Variant position;
        VARTYPE given = call.Arg(0).vt & ~VT_BYREF;
        if ((given == VT_I2 || given == VT_I4) && SUCCEEDED(call.ArgAs(0, VT_I4, position))) {
            LONG i = position.Get()->lVal; // counted from 1
            if (i >= 1 && i <= static_cast<LONG>(m_bars.size()))
                bar = m_bars[i - 1].Get();
        } else {
            bar = Find(TextOf(index));
        }
        // Office answers an unknown name with "invalid procedure call or argument".
        return bar ? ReturnObject(call, bar) : E_INVALIDARG;
    });
    AddMethod("Add", [this](Invocation &call) {
        Variant name;
        std::string barName = "Custom " + std::to_string(m_bars.size() + 1);
        if (SUCCEEDED(call.ArgAs(0, VT_BSTR, name)))
            barName = TextOf(name);
        if (Find(barName))
            return E_INVALIDARG; // Office refuses a second bar of the same name
        Variant temporary;
        bool isTemporary = SUCCEEDED(call.ArgAs(3, VT_BOOL, temporary)) && temporary.Get()->boolVal != VARIANT_FALSE;
        ComPtr<CommandBar> bar = AddBar(barName);
        if (!bar)
            return E_OUTOFMEMORY;
        bar->SetTemporary(isTemporary);
        return ReturnObject(call, bar.Get());
    });
    AddProperty("Count", [this](Invocation &call) {
        call.Result()->vt = VT_I4;
        call.Result()->lVal = static_cast<LONG>(m_bars.size());
        return S_OK;
    });
}

ComPtr<CommandBar> CommandBars::AddBar(const std::string &name)
{
    auto bar = Create<CommandBar>(name);
    if (bar)
        m_bars.push_back(bar.Copy());
    return bar;
}

void CommandBars::RemoveTemporary()
{
    std::vector<ComPtr<CommandBar>> kept;
    for (auto &bar : m_bars) {
        if (bar->Temporary())
            continue;
        bar->RemoveTemporaryControls();
        kept.push_back(std::move(bar));
    }
    m_bars.swap(kept);
}

CommandBar *CommandBars::Find(const std::string &name) const
{
    for (const auto &bar : m_bars)
        if (lstrcmpiA(bar->Name().c_str(), name.c_str()) == 0)
            return bar.Get();
    return nullptr;
}

} // namespace host

#include "host/Outlook.h"

#include "addin/AddinCF.h"
#include "com/Guids.h"
#include "host/Inspector.h"
#include "host/Text.h"

#include <new>

namespace host {
namespace {

const char kBarName[] = "Quorvia";
const char *const kTagPrefixes[] = {"Quorvia Message Tracking", "Quorvia Setup"};

HRESULT ReturnObject(Invocation &call, IDispatch *object)
{
    call.Result()->vt = VT_DISPATCH;
    call.Result()->pdispVal = object;
    if (object)
        object->AddRef();
    return S_OK;
}

// The empty array of custom arguments Office hands to every IDTExtensibility2 call.
class CustomArguments
{
public:
    CustomArguments() : m_array(SafeArrayCreateVector(VT_VARIANT, 0, 0)) {}
    ~CustomArguments()
    {
        if (m_array)
            SafeArrayDestroy(m_array);
    }
    CustomArguments(const CustomArguments &) = delete;
    CustomArguments &operator=(const CustomArguments &) = delete;
    SAFEARRAY **Get() { return &m_array; }

private:
    SAFEARRAY *m_array;
};

size_t SinksOnButtons(const CommandBars &bars)
{
    size_t count = 0;
    for (const auto &bar : bars.Bars())
        for (const auto &button : bar->Buttons())
            count += button->Events().SinkCount();
    return count;
}

} // namespace

// --- OutlookWindow ---------------------------------------------------------------------

OutlookWindow::OutlookWindow(const OpenSpec &plan, CommandBars *bars, IDispatch *wordTemplate, bool wordEdits)
    : m_parts(plan.compose), m_bars(ComPtr<CommandBars>::Borrow(bars)), m_barsPending(plan.barsFromFirstActivate),
      m_composes(plan.kind == ItemKind::Compose)
{
    Inspector &inspector = m_parts.Window();
    if (!m_barsPending)
        inspector.SetCommandBars(bars);
    for (const std::string &name : plan.existingBars)
        if (!bars->Find(name))
            bars->AddBar(name);
    if (wordEdits) {
        m_document = Create<DispObject>("WordDocument");
        m_document->AddProperty("AttachedTemplate",
                                [wordTemplate](Invocation &call) { return ReturnObject(call, wordTemplate); });
        inspector.SetWordEditor(m_document.Get());
    }
    switch (plan.kind) {
    case ItemKind::Compose:
        break;
    case ItemKind::Sent:
        m_parts.Item().SetValue("Sent", *Variant::Bool(true).Get());
        break;
    case ItemKind::OtherClass:
        m_parts.Item().SetValue("Class", *Variant::I4(plan.itemClass).Get());
        break;
    case ItemKind::NonMail:
        // Olappointment (26): a window on a calendar item.
        m_otherItem = Create<DispObject>("AppointmentItem");
        m_otherItem->AddValue("Class", Variant::I4(26));
        inspector.SetCurrentObject(m_otherItem.Get());
        break;
    }
}

IDispatch *OutlookWindow::CurrentItem() const
{
    return m_otherItem ? static_cast<IDispatch *>(m_otherItem.Get()) : m_parts.ItemDispatch();
}

CommandBar *OutlookWindow::QuorviaBar() const
{
    return m_bars->Find(kBarName);
}

CommandBarButton *OutlookWindow::Button(ToolbarButton which) const
{
    CommandBar *bar = QuorviaBar();
    if (!bar)
        return nullptr;
    const std::string prefix = kTagPrefixes[which == ToolbarButton::Tracking ? 0 : 1];
    CommandBarButton *found = nullptr;
    for (const auto &button : bar->Buttons())
        if (button->Text("Tag").compare(0, prefix.size(), prefix) == 0)
            found = button.Get();
    return found;
}

// --- Outlook ---------------------------------------------------------------------------

Outlook::Outlook()
    : m_outlook2003(PlaysOutlook2003()), m_application(Create<Application>()), m_wordBars(Create<CommandBars>()),
      m_wordTemplate(Create<DispObject>("WordTemplate"))
{
    m_wordTemplate->AddValue("Saved", Variant::Bool(false));
    // The main window is there before any add-in connects: nobody hears it open.
    m_explorers.push_back(Create<Explorer>());
    m_explorers.back()->SetApplication(m_application.Get());
    m_application->ExplorersCollection().Add(m_explorers.back().Get(), false);
    m_application->SetActiveExplorer(m_explorers.back().Get());
}

Outlook::~Outlook()
{
    for (auto &window : m_windows)
        if (window->IsOpen())
            CloseWindow(*window, false);
    for (auto &explorer : m_explorers)
        explorer->Close();
    m_ribbon.Disconnect();
    m_addin.Reset();
    m_windows.clear();
}

ComPtr<IDTExtensibility2> Outlook::NewInProcessAddin()
{
    ComPtr<IDTExtensibility2> addin;
    CAddinCF *factory = new (std::nothrow) CAddinCF();
    if (!factory)
        return addin;
    factory->AddRef();
    factory->CreateInstance(nullptr, IID_IDTExtensibility2, addin.ReceiveVoid());
    factory->Release();
    return addin;
}

void Outlook::Load(IDTExtensibility2 *addin)
{
    m_addin = ComPtr<IDTExtensibility2>::Borrow(addin);
}

HRESULT Outlook::Connect(IDispatch *application, ext_ConnectMode mode)
{
    if (!m_addin)
        return E_UNEXPECTED;
    CustomArguments custom;
    HRESULT hr = m_addin->OnConnection(application, mode, nullptr, custom.Get());
    // Office 2007 and later ask for the add-in's ribbon once it is connected.
    if (SUCCEEDED(hr) && !m_outlook2003)
        m_ribbon.Connect(m_addin.Get());
    return hr;
}

HRESULT Outlook::Start()
{
    HRESULT hr = Connect(m_application.Get(), ext_cm_Startup);
    if (FAILED(hr))
        return hr;
    CustomArguments custom;
    return m_addin->OnStartupComplete(custom.Get());
}

HRESULT Outlook::ConnectLate()
{
    return Connect(m_application.Get(), ext_cm_AfterStartup);
}

HRESULT Outlook::SwitchOff()
{
    if (!m_addin)
        return E_UNEXPECTED;
    CustomArguments custom;
    HRESULT hr = m_addin->OnDisconnection(ext_dm_UserClosed, custom.Get());
    m_ribbon.Disconnect();
    return hr;
}

void Outlook::Quit(Shutdown how)
{
    for (OutlookWindow *window : OpenWindows())
        Close(*window);
    for (auto &explorer : m_explorers)
        CloseExplorer(*explorer.Get());
    m_application->Events().Fire(kApplicationQuit);
    if (how == Shutdown::Fast || !m_addin)
        return;
    CustomArguments custom;
    m_addin->OnBeginShutdown(custom.Get());
    m_addin->OnDisconnection(ext_dm_HostShutdown, custom.Get());
}

ULONG Outlook::ReleaseAddin()
{
    m_ribbon.Disconnect();
    IDTExtensibility2 *addin = m_addin.Detach();
    return addin ? addin->Release() : 0;
}

void Outlook::Idle()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        if (msg.message == WM_QUIT)
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

OutlookWindow &Outlook::Open(const OpenSpec &plan)
{
    // Word's command bars are shared by the windows it edits only in Outlook 2003.
    const bool wordEdits = plan.editor == Editor::Word || !m_outlook2003;
    CommandBars *bars = nullptr;
    ComPtr<CommandBars> own;
    if (plan.editor == Editor::Word && m_outlook2003) {
        bars = m_wordBars.Get();
    } else {
        own = Create<CommandBars>();
        bars = own.Get();
    }
    OpenSpec made = plan;
    made.compose.outlook = m_outlook2003 ? Generation::Outlook2003 : Generation::Outlook2016;
    m_windows.push_back(std::make_unique<OutlookWindow>(made, bars, m_wordTemplate.Get(), wordEdits));
    OutlookWindow &window = *m_windows.back();
    window.Window().SetApplication(m_application.Get());
    m_lastNewInspector = m_application->InspectorsCollection().Add(&window.Window());
    Activate(window);
    return window;
}

void Outlook::Activate(OutlookWindow &window)
{
    if (m_front == &window)
        return;
    if (m_front)
        Deactivate(*m_front);
    m_front = &window;
    m_application->SetActiveInspector(&window.Window());
    window.Window().NoteActivated();
    if (window.m_composes && !window.m_ribbonShown) {
        window.m_ribbonShown = true;
        m_ribbon.Load(RibbonKind::Compose);
        m_ribbon.Show(&window.Window(), RibbonKind::Compose);
    }
    if (window.m_barsPending) {
        window.m_barsPending = false;
        window.Window().SetCommandBars(window.m_bars.Get());
    }
    window.Window().Events().Fire(kInspectorActivate);
}

void Outlook::Deactivate(OutlookWindow &window)
{
    if (m_front == &window) {
        m_front = nullptr;
        m_application->SetActiveInspector(nullptr);
    }
    window.Window().Events().Fire(kInspectorDeactivate);
}

HRESULT Outlook::Click(OutlookWindow &window, ToolbarButton which)
{
    CommandBarButton *button = window.Button(which);
    if (!button)
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    ComPtr<CommandBarButton> alive = ComPtr<CommandBarButton>::Borrow(button);
    Activate(window);
    return alive->Click();
}

bool Outlook::Send(OutlookWindow &window)
{
    if (!window.IsOpen())
        return false;
    if (!Deliver(window.Item()))
        return false;
    CloseWindow(window, true);
    return true;
}

bool Outlook::Deliver(MailItem &item)
{
    DispObject::Pin alive(item);
    if (m_itemSendFirst) {
        if (m_application->FireItemSendRefused(&item) || item.FireSendRefused())
            return false;
    } else if (item.FireSendRefused() || m_application->FireItemSendRefused(&item)) {
        return false;
    }
    return item.Submit();
}

ComposedItem &Outlook::CreateItem(const ComposeSpec &plan)
{
    ComposeSpec made = plan;
    made.outlook = m_outlook2003 ? Generation::Outlook2003 : Generation::Outlook2016;
    m_items.push_back(std::make_unique<ComposedItem>(made));
    return *m_items.back();
}

bool Outlook::SendItem(ComposedItem &item)
{
    return !item.Item().IsSent() && Deliver(item.Item());
}

Explorer &Outlook::OpenExplorer()
{
    m_explorers.push_back(Create<Explorer>());
    Explorer &explorer = *m_explorers.back().Get();
    explorer.SetApplication(m_application.Get());
    m_application->SetActiveExplorer(&explorer);
    m_application->ExplorersCollection().Add(&explorer);
    return explorer;
}

bool Outlook::CloseExplorer(Explorer &explorer)
{
    if (explorer.IsClosed())
        return false;
    DispObject::Pin alive(explorer);
    DiscardInline(explorer);
    explorer.Events().Fire(kExplorerClose);
    explorer.Close();
    m_ribbon.Forget(&explorer);
    m_application->ExplorersCollection().Remove(&explorer);
    if (m_application->ActiveExplorerObject() == nullptr) {
        const auto &open = m_application->ExplorersCollection().Open();
        m_application->SetActiveExplorer(open.empty() ? nullptr : open.back().Get());
    }
    return true;
}

ComposedItem *Outlook::ReplyInline(Explorer &explorer, const ComposeSpec &plan)
{
    if (m_outlook2003 || explorer.IsClosed() || explorer.InlineResponse())
        return nullptr;
    ComposedItem &response = CreateItem(plan);
    response.Item().SetInline();
    explorer.SetInlineResponse(&response);
    VARIANT item;
    VariantInit(&item);
    item.vt = VT_DISPATCH;
    item.pdispVal = response.ItemDispatch(); // lent for the firing; Outlook holds it
    explorer.Events().Fire(kInlineResponse, {item});
    // Assumed: the contextual tab shows once the event has told the add-in of the item.
    m_ribbon.Show(&explorer, RibbonKind::Explorer);
    return &response;
}

bool Outlook::SendInline(Explorer &explorer)
{
    ComposedItem *response = explorer.InlineResponse();
    if (!response || !Deliver(response->Item()))
        return false;
    EndInline(explorer);
    return true;
}

bool Outlook::DiscardInline(Explorer &explorer)
{
    if (!explorer.InlineResponse())
        return false;
    EndInline(explorer);
    return true;
}

void Outlook::EndInline(Explorer &explorer)
{
    explorer.SetInlineResponse(nullptr);
    m_ribbon.Hide(&explorer);
    explorer.Events().Fire(kInlineResponseClose);
}

HRESULT Outlook::ClickRibbon(OutlookWindow &window, const std::string &id)
{
    if (!window.IsOpen())
        return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
    Activate(window);
    return m_ribbon.Click(&window.Window(), id);
}

HRESULT Outlook::ClickRibbon(Explorer &explorer, const std::string &id)
{
    return m_ribbon.Click(&explorer, id);
}

const RibbonControlState *Outlook::RibbonState(OutlookWindow &window, const std::string &id) const
{
    return m_ribbon.State(&window.Window(), id);
}

const RibbonControlState *Outlook::RibbonState(Explorer &explorer, const std::string &id) const
{
    return m_ribbon.State(&explorer, id);
}

bool Outlook::Close(OutlookWindow &window)
{
    if (!window.IsOpen())
        return false;
    // The item is asked first; when it refuses, the window stays open.
    if (!window.m_otherItem && !window.Item().FireClose())
        return false;
    CloseWindow(window, true);
    return true;
}

void Outlook::CloseWindow(OutlookWindow &window, bool fireEvents)
{
    window.m_open = false;
    if (m_front == &window) {
        m_front = nullptr;
        m_application->SetActiveInspector(nullptr);
    }
    if (fireEvents)
        window.Window().Events().Fire(kInspectorClose);
    window.Window().Close();
    m_ribbon.Forget(&window.Window());
    m_application->InspectorsCollection().Remove(&window.Window());
    // Word keeps its bars while any window it edits is open.
    bool lastOfItsBars = true;
    for (const auto &other : m_windows)
        if (other->IsOpen() && other->m_bars.Get() == window.m_bars.Get())
            lastOfItsBars = false;
    if (lastOfItsBars)
        window.Bars().RemoveTemporary();
}

std::vector<OutlookWindow *> Outlook::OpenWindows() const
{
    std::vector<OutlookWindow *> open;
    for (const auto &window : m_windows)
        if (window->IsOpen())
            open.push_back(window.get());
    return open;
}

size_t Outlook::AdvisedSinks() const
{
    size_t count = m_application->Events().SinkCount() + m_application->InspectorsCollection().Events().SinkCount() +
                   m_application->ExplorersCollection().Events().SinkCount() + SinksOnButtons(*m_wordBars.Get());
    for (const auto &explorer : m_explorers)
        count += explorer->Events().SinkCount();
    for (const auto &item : m_items)
        count += item->Item().Events().SinkCount();
    for (const auto &window : m_windows) {
        count += window->Window().Events().SinkCount() + window->Item().Events().SinkCount();
        if (&window->Bars() != m_wordBars.Get())
            count += SinksOnButtons(window->Bars());
    }
    return count;
}

} // namespace host

// Outlook: the stand-in host as a whole, with the actions a user and Outlook
// take, for tests and the demo to script. It owns the Application (with its
// MAPI NameSpace, Inspectors and Explorers collections), the command bars Word
// shares among the windows it edits, Word's template, the ribbon (Ribbon.h),
// and every window and item made.
//
// The add-in is any IDTExtensibility2: the add-in object of this build
// (NewInProcessAddin) or the shipped DLL's, created by ProgID. Outlook holds
// one reference to it from Load to ReleaseAddin.
//
// What the host does, as Outlook and Office do it:
// - Outlook starts with one explorer, the main window (MainExplorer), in the
//   Explorers collection and ActiveExplorer, announced to nobody.
// - Start: OnConnection(ext_cm_Startup), then OnStartupComplete.
//   ConnectLate: OnConnection(ext_cm_AfterStartup) alone. After any
//   OnConnection that succeeded, today's Outlook asks the add-in for
//   IRibbonExtensibility and loads the explorer's ribbon (Ribbon.h).
// - Open: the window joins the Inspectors collection, NewInspector fires with
//   it, then the window comes to the front (Deactivate of the window in front,
//   Activate of the new one). Outlook 2016 edits every compose window with
//   Word, with command bars of its own; 2003 as OpenSpec::editor says. The
//   first time a compose window comes to the front, today's Outlook shows
//   its ribbon before the Activate event: the compose ribbon loads with the
//   first such window (GetCustomUI, onLoad), then the window's getters run.
// - Click: brings the window to the front first, then clicks its button.
// - Send: the item's Send, then ApplicationEvents ItemSend unless the Send
//   was cancelled (SetItemSendFirst reverses the two); when nobody cancelled
//   and Outlook takes the item, it is sent and the window closes.
// - Close: the item's Close; when nobody refused it, the Inspector's Close,
//   then the window leaves the collection and Office removes its temporary
//   bars and controls (Word's shared bars when the last Word window closes).
// - ReplyInline (today's Outlook): a reply composed in the explorer's reading
//   pane, with no Inspector (NewInspector does not fire): the explorer's
//   ActiveInlineResponse becomes the item, InlineResponse(item) fires, then
//   the inline response's ribbon tab shows (its getters run, Context the
//   Explorer). SendInline sends it as Send does; once it went out, or on
//   DiscardInline, ActiveInlineResponse becomes Nothing, then
//   InlineResponseClose fires.
// - OpenExplorer: NewExplorer fires; CloseExplorer: its inline response is
//   discarded, its Close fires, it leaves the collection.
// - CreateItem / SendItem: a mail item that no window shows (made by another
//   program) sent as Send does: its Send event, and ItemSend.
// - Quit: open windows close, then open explorers; ApplicationEvents Quit
//   fires; then, unless the shutdown is fast (Outlook 2010 and later by
//   default), OnBeginShutdown and OnDisconnection(ext_dm_HostShutdown).
//   ReleaseAddin is separate.
// - SwitchOff: OnDisconnection(ext_dm_UserClosed), as the COM Add-ins dialog
//   does; the add-in's ribbon goes with it.
#pragma once

#include "addin/Extensibility.h"
#include "host/Application.h"
#include "host/CommandBars.h"
#include "host/ComposeWindow.h"
#include "host/Explorer.h"
#include "host/Generation.h"
#include "host/Ribbon.h"

#include <memory>
#include <string>
#include <vector>

namespace host {

// The editor of a compose window in Outlook 2003; today's Outlook edits every
// compose window with Word, each with command bars of its own.
enum class Editor
{
    Outlook, // Outlook's own editor: the window has its own command bars, WordEditor gives Nothing
    Word,    // Word edits the window: Word's command bars, shared by all such windows
};

enum class ItemKind
{
    Compose,    // an unsent mail
    Sent,       // a mail already sent (Sent TRUE)
    OtherClass, // answers _MailItem, but its Class is `itemClass`
    NonMail,    // an item that does not answer _MailItem (an appointment)
};

struct OpenSpec
{
    ComposeSpec compose; // recipients, subject, where the body sits, the window
    Editor editor = Editor::Outlook;
    ItemKind kind = ItemKind::Compose;
    LONG itemClass = 46; // for ItemKind::OtherClass; 46 is olReport
    // Bars the window shows already when it opens (kept by Office, not temporary).
    std::vector<std::string> existingBars;
    // CommandBars gives Nothing until the window's first Activate.
    bool barsFromFirstActivate = false;
};

enum class ToolbarButton
{
    Tracking,
    Setup,
};

// One window Outlook opened; kept (closed or not) until Outlook goes.
class OutlookWindow
{
public:
    OutlookWindow(const OpenSpec &plan, CommandBars *bars, IDispatch *wordTemplate, bool wordEdits);
    OutlookWindow(const OutlookWindow &) = delete;
    OutlookWindow &operator=(const OutlookWindow &) = delete;

    Inspector &Window() const { return m_parts.Window(); }
    MailItem &Item() const { return m_parts.Item(); }
    MapiMessage &Message() const { return m_parts.Message(); }
    CommandBars &Bars() const { return *m_bars.Get(); }
    // The Word document behind WordEditor; null for Outlook's editor.
    DispObject *Document() const { return m_document.Get(); }
    // The item the window shows: the mail item, or the other item for ItemKind::NonMail.
    IDispatch *CurrentItem() const;
    bool IsWordEditor() const { return static_cast<bool>(m_document); }
    bool IsOpen() const { return m_open; }

    // The add-in's bar and buttons (the last button tagged with the prefix);
    // null when there are none.
    CommandBar *QuorviaBar() const;
    CommandBarButton *Button(ToolbarButton which) const;

private:
    friend class Outlook;
    ComposeWindow m_parts;
    ComPtr<CommandBars> m_bars;
    ComPtr<DispObject> m_document;
    ComPtr<DispObject> m_otherItem;
    bool m_open = true;
    bool m_barsPending = false;
    const bool m_composes; // a compose window: it shows the compose ribbon
    bool m_ribbonShown = false;
};

class Outlook
{
public:
    Outlook();
    // Closes what is still open without events, releases the add-in if still held.
    ~Outlook();
    Outlook(const Outlook &) = delete;
    Outlook &operator=(const Outlook &) = delete;

    Application &App() const { return *m_application.Get(); }
    // The bars Word shares among the windows it edits.
    CommandBars &WordBars() const { return *m_wordBars.Get(); }
    // The template attached to every Word document ("Saved").
    DispObject &WordTemplate() const { return *m_wordTemplate.Get(); }

    // --- the add-in -----------------------------------------------------------
    // This build's add-in object, made by its class factory (so g_pAddin points to it).
    static ComPtr<IDTExtensibility2> NewInProcessAddin();
    // Takes a reference to the add-in Outlook will connect.
    void Load(IDTExtensibility2 *addin);
    IDTExtensibility2 *Addin() const { return m_addin.Get(); }
    // OnConnection(ext_cm_Startup), then OnStartupComplete; the first failure, else S_OK.
    HRESULT Start();
    // OnConnection(ext_cm_AfterStartup): the add-in switched on while Outlook runs.
    HRESULT ConnectLate();
    // OnConnection with any Application (null included) and mode.
    HRESULT Connect(IDispatch *application, ext_ConnectMode mode);
    // OnDisconnection(ext_dm_UserClosed): the user switches the add-in off.
    HRESULT SwitchOff();
    enum class Shutdown
    {
        Normal, // OnBeginShutdown and OnDisconnection(ext_dm_HostShutdown)
        Fast,   // neither: Outlook 2010 and later by default
    };
    void Quit(Shutdown how = Shutdown::Normal);
    // Gives up Outlook's reference; returns what Release returned (0 when none was held).
    ULONG ReleaseAddin();
    // Outlook's message loop between events: dispatches what this thread has
    // queued, work the add-in posted to itself included, until nothing is left.
    static void Idle();

    // --- windows ---------------------------------------------------------------
    OutlookWindow &Open(const OpenSpec &plan = OpenSpec());
    // The HRESULT of the last NewInspector firing.
    HRESULT LastNewInspectorResult() const { return m_lastNewInspector; }
    // Brings the window to the front: Deactivate of the window in front, Activate of this one.
    void Activate(OutlookWindow &window);
    // The window loses the front (to another program).
    void Deactivate(OutlookWindow &window);
    // The button's click (after Activate); HRESULT_FROM_WIN32(ERROR_NOT_FOUND) when the window has no such button.
    HRESULT Click(OutlookWindow &window, ToolbarButton which);
    // true when the mail went out (the window then closed).
    bool Send(OutlookWindow &window);
    // true when the window closed (nobody refused the item's Close).
    bool Close(OutlookWindow &window);
    std::vector<OutlookWindow *> OpenWindows() const;

    // --- sending ------------------------------------------------------------------
    // ItemSend fires before the item's Send instead of after it (the order is
    // not something the add-in may rely on).
    void SetItemSendFirst(bool first) { m_itemSendFirst = first; }
    // A mail item no window shows, as another program makes it (Application.CreateItem).
    // Its GetInspector gives Nothing; real Outlook would make an Inspector nobody
    // shows, so the add-in must not count on finding a window of its own there.
    ComposedItem &CreateItem(const ComposeSpec &plan = ComposeSpec());
    // The item's Send method called by a program: as Send, without a window to close.
    bool SendItem(ComposedItem &item);

    // --- explorers and inline responses ---------------------------------------------
    Explorer &MainExplorer() const { return *m_explorers.front().Get(); }
    // Another main window: it joins Explorers, NewExplorer fires, it becomes ActiveExplorer.
    Explorer &OpenExplorer();
    // false when it was closed already.
    bool CloseExplorer(Explorer &explorer);
    // null in Outlook 2003, or when the explorer is closed or composes inline already.
    ComposedItem *ReplyInline(Explorer &explorer, const ComposeSpec &plan = ComposeSpec());
    // true when the inline response went out (and closed).
    bool SendInline(Explorer &explorer);
    // false when the explorer had no inline response.
    bool DiscardInline(Explorer &explorer);

    // --- the ribbon (today's Outlook) -------------------------------------------------
    RibbonHost &Ribbon() { return m_ribbon; }
    // A click on a control of the window's compose ribbon (the window comes to
    // the front first), or of the explorer's inline response tab; see RibbonHost::Click.
    HRESULT ClickRibbon(OutlookWindow &window, const std::string &id);
    HRESULT ClickRibbon(Explorer &explorer, const std::string &id);
    // What the control shows there now; null when the window shows no such control.
    const RibbonControlState *RibbonState(OutlookWindow &window, const std::string &id) const;
    const RibbonControlState *RibbonState(Explorer &explorer, const std::string &id) const;

    // Sinks still advised on the host's event sources: the Application's, the
    // Inspectors and Explorers collections', every window's Inspector, item
    // and buttons, every explorer's, and every item made without a window.
    size_t AdvisedSinks() const;

private:
    void CloseWindow(OutlookWindow &window, bool fireEvents);
    // The item's Send and ItemSend in the chosen order, then Outlook's part; true when sent.
    bool Deliver(MailItem &item);
    // Ends the explorer's inline response: ActiveInlineResponse Nothing, InlineResponseClose.
    void EndInline(Explorer &explorer);

    const bool m_outlook2003;
    ComPtr<Application> m_application;
    ComPtr<CommandBars> m_wordBars;
    ComPtr<DispObject> m_wordTemplate;
    ComPtr<IDTExtensibility2> m_addin;
    std::vector<std::unique_ptr<OutlookWindow>> m_windows;
    OutlookWindow *m_front = nullptr;
    HRESULT m_lastNewInspector = S_OK;
    std::vector<ComPtr<Explorer>> m_explorers; // the main window first, closed ones kept
    std::vector<std::unique_ptr<ComposedItem>> m_items; // inline responses and items without a window
    bool m_itemSendFirst = false;
    RibbonHost m_ribbon;
};

} // namespace host

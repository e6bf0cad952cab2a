// Inspector: the stand-in Outlook mail window (_Inspector). By default a real,
// plain top-level window of its own class stands behind an IOleWindow facet,
// so a test sees ShowWindow take effect (IsWindowVisible); the variant without
// a window has no IOleWindow and answers WindowState instead. CurrentItem
// gives the window's item, CommandBars its command bars, WordEditor the Word
// document when Word edits the window (Nothing otherwise), Application the
// Outlook it belongs to; InspectorEvents (Activate, Deactivate, Close) are
// fired by whoever plays Outlook (see Outlook.h).
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"

namespace host {

class CommandBars;
class MailItem;

// InspectorEvents DISPIDs.
const DISPID kInspectorActivate = 0xF001;
const DISPID kInspectorDeactivate = 0xF006;
const DISPID kInspectorClose = 0xF008;

// Outlook's OlEditorType values.
const LONG olEditorHTML = 2;
const LONG olEditorWord = 4;

// Outlook's OlWindowState values.
const LONG olMaximized = 0;
const LONG olMinimized = 1;
const LONG olNormalWindow = 2;

class Inspector : public DispObject
{
public:
    enum class Window
    {
        Shown,  // a visible window behind IOleWindow
        Hidden, // a window created hidden
        None,   // no IOleWindow; WindowState (olNormalWindow at first) instead
    };

    explicit Inspector(Window window = Window::Shown);

    // The window behind IOleWindow (null for Window::None or once closed).
    HWND Hwnd() const { return m_hwnd; }
    bool IsVisible() const { return m_hwnd && IsWindowVisible(m_hwnd); }
    LONG WindowState() const;

    // Makes item this window's CurrentItem, holding a reference; the item's
    // GetInspector gives this window back for as long as the window lives.
    void SetCurrentItem(MailItem *item);
    MailItem *CurrentItem() const;
    // Makes any item (one that is no mail item, say) the CurrentItem, holding a reference.
    void SetCurrentObject(IDispatch *item);

    // What CommandBars gives (a reference is held); null: Nothing.
    void SetCommandBars(CommandBars *bars);
    CommandBars *Bars() const { return m_bars.Get(); }
    // What WordEditor gives (a reference is held); null: Nothing, a window Outlook edits itself.
    // EditorType follows. Today's Outlook has the document only from the
    // window's first Activate: until then WordEditor fails.
    void SetWordEditor(IDispatch *document);
    IDispatch *WordEditor() const { return m_wordEditor.Get(); }
    // Called by whoever plays Outlook as the window comes to the front.
    void NoteActivated() { m_activated = true; }
    // What Application gives; not held (the Application holds its windows).
    void SetApplication(IDispatch *application) { m_application = application; }

    EventSource &Events() { return *m_events; }

    // Closes the window as Outlook does after a send: the window goes away.
    void Close();
    bool IsClosed() const { return m_closed; }

protected:
    ~Inspector() override;

private:
    HWND m_hwnd = nullptr;
    bool m_closed = false;
    ComPtr<IDispatch> m_item;
    MailItem *m_mailItem = nullptr;
    ComPtr<CommandBars> m_bars;
    ComPtr<IDispatch> m_wordEditor;
    const bool m_editorFromActivate;
    bool m_activated = false;
    IDispatch *m_application = nullptr;
    EventSource *m_events;
};

} // namespace host

// Explorer: a stand-in Outlook main window (_Explorer). A real window stands
// behind IOleWindow, as for an Inspector; Caption, Application, and, in
// today's Outlook, ActiveInlineResponse (the mail item of the reply being
// composed inline in the reading pane; Nothing when none) and the
// ExplorerEvents_10 source. Outlook 2003 has no inline responses: there
// ActiveInlineResponse is an unknown name. Events are fired by whoever plays
// Outlook (see Outlook.h).
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"

namespace host {

class ComposedItem;

// ExplorerEvents_10 DISPIDs.
const DISPID kExplorerClose = 0xF008;
const DISPID kInlineResponse = 0xFC92;
const DISPID kInlineResponseClose = 0xFC96;

class Explorer : public DispObject
{
public:
    Explorer();

    HWND Hwnd() const { return m_hwnd; }
    EventSource &Events() { return *m_events; }

    // The reply composed inline here, or null; the caller owns it. What
    // ActiveInlineResponse gives (a reference to its item is held meanwhile).
    void SetInlineResponse(ComposedItem *response);
    ComposedItem *InlineResponse() const { return m_inline; }
    // What Application gives; not held (the Application holds its windows).
    void SetApplication(IDispatch *application) { m_application = application; }

    // The window goes away (the Close event is the caller's to fire).
    void Close();
    bool IsClosed() const { return m_closed; }

protected:
    ~Explorer() override;

private:
    HWND m_hwnd = nullptr;
    bool m_closed = false;
    ComposedItem *m_inline = nullptr;
    ComPtr<IDispatch> m_inlineItem;
    IDispatch *m_application = nullptr;
    EventSource *m_events;
};

} // namespace host

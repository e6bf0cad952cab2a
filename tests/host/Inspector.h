// Inspector: the stand-in Outlook mail window (_Inspector). By default a real,
// plain top-level window of its own class stands behind an IOleWindow facet,
// so a test sees ShowWindow take effect (IsWindowVisible); the variant without
// a window has no IOleWindow and answers WindowState instead. CurrentItem
// gives the window's mail item.
#pragma once

#include "host/DispObject.h"

#include <oleidl.h>

namespace host {

class MailItem;

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
};

} // namespace host

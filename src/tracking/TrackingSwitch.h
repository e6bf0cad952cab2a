// CTrackingSwitch: whether the message of one compose window, or of one
// inline response, goes out tracked. It starts from the stored "Tracking"
// value; the window's Tracking toggle (a command-bar button in Outlook 2003,
// the ribbon's toggle since) drives it, and every change is stored as the
// default for windows opened later. The window's tracked mail item asks it at
// every send. Windows that share one toggle share one switch. Outlook's
// thread only.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <memory>

class CTrackingSwitch;
using TrackingSwitchPtr = std::shared_ptr<CTrackingSwitch>;

class CTrackingSwitch
{
public:
    // A switch in the stored state.
    static TrackingSwitchPtr FromStoredDefault();
    static bool StoredDefault();

    // 1 while tracking is on, 0 while it is off.
    int IsTrackingOn() const { return m_bOn ? 1 : 0; }
    // Turns it and stores the new state as the default.
    void Set(bool on);

    // The switch a window's controls drive: the ribbon names a window by its
    // Inspector, or by its Explorer for an inline response.
    static TrackingSwitchPtr ForWindow(IDispatch *window);

private:
    explicit CTrackingSwitch(bool on) : m_bOn(on) {}

    bool m_bOn;
};

// Makes a switch the one of a window for as long as it lives. Windows are
// told apart by COM identity; a window has one switch at a time.
class WindowSwitch
{
public:
    WindowSwitch(IDispatch *window, TrackingSwitchPtr trackingSwitch);
    ~WindowSwitch();
    WindowSwitch(const WindowSwitch &) = delete;
    WindowSwitch &operator=(const WindowSwitch &) = delete;

private:
    IUnknown *m_identity; // compared only; the window is held by whoever holds this
};

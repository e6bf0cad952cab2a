// RibbonHost: the ribbon of today's Outlook as Office hosts an add-in's part
// of it. Outlook 2003 has no ribbon: there nothing of this is ever asked.
//
// What it does, as Office does it:
// - Connect (right after a successful OnConnection): QueryInterface of the
//   add-in object for IRibbonExtensibility; when it answers, the explorer's
//   ribbon loads at once.
// - Load, once per kind: GetCustomUI("Microsoft.Outlook.Explorer" or
//   "Microsoft.Outlook.Mail.Compose"), the XML read (CustomUI.h), then the
//   customUI's onLoad callback with that ribbon's IRibbonUI. XML Office would
//   refuse (or a failed GetCustomUI) leaves that ribbon without the add-in's
//   controls and is noted in Errors(), as Office reports add-in UI errors.
// - Show: a window's ribbon comes into view (a compose window's, or an
//   explorer's inline response tab). The getters the XML names for its
//   controls (every get... attribute, in document order) are called the first
//   time, and afterwards for the controls invalidated meanwhile; what they
//   answer is what the window's controls show (RibbonControlState).
// - IRibbonUI.Invalidate / InvalidateControl(id) mark the controls of every
//   window of that ribbon; the getters run again from Outlook's message loop
//   (Outlook::Idle), for the windows in view, or when a window next shows.
//   InvalidateControl of an id the XML lacks fails with E_INVALIDARG.
// - Click: a toggle (toggleButton, checkBox) shows the opposite of what it
//   showed, and onAction(control, pressed) is called; any other control gets
//   onAction(control).
//
// Callbacks are looked up by name (GetIDsOfNames, IID_NULL) on the object
// that answered IRibbonExtensibility and called with Invoke(DISPATCH_METHOD),
// arguments last to first; getters answer through pVarResult. The control
// passed (IRibbonControl, "RibbonControl" in the call log, made afresh for
// each control and window) answers Id, Tag and Context (the Inspector of a
// compose window, the Explorer for an inline response) by name.
//
// Every call on the add-in is in the CallLog as Office's own, kind Event:
// `Ribbon => Addin.QueryInterface(IRibbonExtensibility) -> E_NOINTERFACE`,
// `Ribbon => Addin.GetCustomUI(VT_BSTR "Microsoft.Outlook.Explorer") -> S_OK`,
// `Ribbon => Addin.OnToggle(VT_DISPATCH, VT_BOOL -1) -> S_OK` (a callback by
// its name), `Ribbon => Addin.GetIDsOfNames("Nope") -> DISP_E_UNKNOWNNAME`
// (a callback the add-in does not know). The add-in's calls on IRibbonUI
// ("ExplorerRibbonUI", "ComposeRibbonUI") and on the controls are recorded as
// on any stand-in object.
#pragma once

#include "addin/Extensibility.h"
#include "com/ComPtr.h"
#include "host/CustomUI.h"
#include "host/DispObject.h"

#include <string>
#include <vector>

namespace host {

enum class RibbonKind
{
    Explorer, // the main window; its XML holds the inline response's tab
    Compose,  // compose windows
};

// "Microsoft.Outlook.Explorer", "Microsoft.Outlook.Mail.Compose".
const wchar_t *RibbonId(RibbonKind kind);

// What one control shows in one window: from its static attributes (label,
// screentip, imageMso, visible, enabled), then what its getters answered.
struct RibbonControlState
{
    std::string type;
    std::string id;
    bool pressed = false;
    bool visible = true;
    bool enabled = true;
    std::string label;
    std::string screentip;
    std::string imageMso;     // imageMso, or a getImage answering a name
    ComPtr<IUnknown> picture; // a getImage answering a picture (IPictureDisp)
};

class RibbonUI;

class RibbonHost
{
public:
    RibbonHost();
    ~RibbonHost();
    RibbonHost(const RibbonHost &) = delete;
    RibbonHost &operator=(const RibbonHost &) = delete;

    void Connect(IUnknown *addin);
    // Lets go of the add-in's interface and of everything shown (the add-in switched off or released).
    void Disconnect();
    bool Connected() const { return static_cast<bool>(m_extensibility); }
    void Load(RibbonKind kind);
    // `window` is the Inspector of a compose window, or an Explorer whose inline response shows.
    void Show(IDispatch *window, RibbonKind kind);
    // The window's ribbon goes out of view (an inline response closed); it keeps what it showed.
    void Hide(IDispatch *window);
    // The window closed.
    void Forget(IDispatch *window);
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND): no such control in view; E_ACCESSDENIED: hidden or
    // disabled; else onAction's HRESULT (S_OK when the control has none).
    HRESULT Click(IDispatch *window, const std::string &id);
    // What the control shows in that window; null when the window shows no such control.
    const RibbonControlState *State(IDispatch *window, const std::string &id) const;
    // The XML read for kind; null until it loaded and was taken.
    const CustomUI *Definition(RibbonKind kind) const;
    // What Office would report as the add-in's UI errors: XML refused, a
    // callback that failed or answered the wrong type.
    const std::vector<std::string> &Errors() const { return m_errors; }
    // Runs the getters due on the windows in view (posted by IRibbonUI, dispatched by Outlook::Idle).
    void Refresh();

private:
    friend class RibbonUI;

    struct Ribbon
    {
        bool loaded = false;
        bool taken = false; // the XML was read and is usable
        CustomUI ui;
        ComPtr<RibbonUI> object;
    };
    struct Window
    {
        ComPtr<IDispatch> window;
        RibbonKind kind;
        bool inView = false;
        std::vector<RibbonControlState> controls;
        std::vector<bool> due; // getters to run when next in view
    };

    static const std::vector<RibbonControlXml> &Controls(const Ribbon &ribbon, RibbonKind kind);
    Window *Find(IDispatch *window);
    HRESULT Invalidate(RibbonKind kind, const std::string *id);
    void RunDueGetters(Window &window);
    void RunGetters(Window &window, size_t index);
    HRESULT Callback(const std::string &name, std::vector<VARIANT> args, VARIANT *result);
    ComPtr<DispObject> NewControl(IDispatch *context, const RibbonControlXml &declared) const;
    static LRESULT CALLBACK PosterProc(HWND hwnd, UINT msg, WPARAM wParam, LPARAM lParam);

    ComPtr<IRibbonExtensibility> m_extensibility;
    Ribbon m_ribbons[2];
    std::vector<Window> m_windows;
    std::vector<std::string> m_errors;
    HWND m_poster = nullptr; // a message-only window: the refresh waits for Outlook's loop
    bool m_refreshPosted = false;
};

} // namespace host

// Office's command bars as the stand-in host offers them: the _CommandBars
// collection of a window, its CommandBar objects, their CommandBarControls and
// the buttons on them. Everything goes by name through IDispatch, as the
// add-in calls it, and lands in the CallLog like any other DispObject call.
//
// Names in the call log: the collection is "CommandBars", a bar is its own
// name ("Quorvia"), its controls collection "<bar>.Controls", and the buttons
// "Button1", "Button2", ... in the order they were added to their bar (the
// prefix can be changed per bar, so two windows' buttons stay apart).
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"

#include <string>
#include <vector>

namespace host {

// MsoButtonState.
const LONG kButtonUp = 0;
const LONG kButtonDown = -1;

// A command-bar button (CommandBarControl and _CommandBarButton). Holds its
// properties as values; PasteFace copies the bitmap on the real clipboard;
// Picture and Mask keep the picture objects put into them.
class CommandBarButton : public DispObject
{
public:
    // Values as Office gives a freshly added button: visible, OLEUsage both (3),
    // empty texts, state up, FaceId 0, style automatic (0).
    explicit CommandBarButton(std::string name);

    EventSource &Events() { return *m_events; }

    // Office's click: fires _CommandBarButtonEvents.Click (DISPID 1) with Ctrl =
    // this button (VT_DISPATCH) and CancelDefault by reference (VARIANT_FALSE
    // before). Returns the firing's HRESULT; *cancelDefault gets what the sinks left.
    HRESULT Click(VARIANT_BOOL *cancelDefault = nullptr);

    // Picture and Mask can be unknown members, as on hosts that lack them.
    void SetPictureSupported(bool supported) { SetAvailable("Picture", supported); }
    void SetMaskSupported(bool supported) { SetAvailable("Mask", supported); }
    // The picture objects last put (null when none was).
    IDispatch *Picture() const { return m_picture.Get(); }
    IDispatch *Mask() const { return m_mask.Get(); }

    // A copy of the CF_BITMAP that the last successful PasteFace found on the
    // clipboard, or null. PasteFace fails with E_FAIL (Office: "method failed")
    // when the clipboard cannot be opened or holds no bitmap.
    HBITMAP PastedFace() const { return static_cast<HBITMAP>(m_face.Get()); }
    int PasteFaceCalls() const { return m_pasteFaceCalls; }

    // What Controls.Add was told (Temporary): Office removes such a control when the window closes.
    bool Temporary() const { return m_temporary; }
    void SetTemporary(bool temporary) { m_temporary = temporary; }

    // When set, reading State fails with hr (putting it still works).
    void FailStateRead(HRESULT hr) { m_stateReadResult = hr; }
    // The state as Office itself would set it (e.g. 2, mixed), unrecorded.
    void SetState(LONG state);

    // Readers of the stored values ("State" included), unrecorded.
    std::string Text(const std::string &property) const;
    LONG Int(const std::string &property) const;
    bool IsVisible() const;

protected:
    ~CommandBarButton() override = default;

private:
    EventSource *m_events;
    Variant m_state;
    ComPtr<IDispatch> m_picture;
    ComPtr<IDispatch> m_mask;
    GdiObject m_face;
    int m_pasteFaceCalls = 0;
    HRESULT m_stateReadResult = S_OK;
    bool m_temporary = false;
};

class CommandBar;

// A bar's CommandBarControls: Add(Type, Id, Parameter, Before, Temporary)
// appends a button; Count.
class CommandBarControls : public DispObject
{
public:
    explicit CommandBarControls(CommandBar &bar);

protected:
    ~CommandBarControls() override = default;

private:
    friend class CommandBar;
    CommandBar *m_bar; // cleared when the bar goes first
};

// One command bar: Name, Position, RowIndex, Visible, Controls and
// FindControl(Type, Id, Tag, Visible, Recursive), which this host answers by
// Tag alone (exact match), with Nothing (a null VT_DISPATCH) when no control carries it.
class CommandBar : public DispObject
{
public:
    explicit CommandBar(const std::string &name);

    // Adds a button as another program (or an earlier session) left it, unrecorded.
    ComPtr<CommandBarButton> AddButton(const std::string &tag = std::string());
    const std::vector<ComPtr<CommandBarButton>> &Buttons() const { return m_buttons; }
    // Names of buttons added from now on: prefix + number.
    void SetButtonNames(const std::string &prefix) { m_buttonPrefix = prefix; }

    // What Add was told when the bar came from CommandBars.Add.
    bool Temporary() const { return m_temporary; }
    void SetTemporary(bool temporary) { m_temporary = temporary; }
    // Office's part when a window closes: its temporary controls go, unrecorded.
    void RemoveTemporaryControls();

protected:
    ~CommandBar() override;

private:
    friend class CommandBarControls;
    ComPtr<CommandBarControls> m_controls;
    std::vector<ComPtr<CommandBarButton>> m_buttons;
    std::string m_buttonPrefix = "Button";
    int m_buttonsMade = 0;
    bool m_temporary = false;
};

// A window's _CommandBars: Item(name, or index from 1) gives the bar, and fails
// with E_INVALIDARG for an unknown name as Office does; Add(Name, Position,
// MenuBar, Temporary) appends a bar; Count.
class CommandBars : public DispObject
{
public:
    CommandBars();

    // Adds a bar as Office or another add-in left it, unrecorded.
    ComPtr<CommandBar> AddBar(const std::string &name);
    CommandBar *Find(const std::string &name) const;
    // Office's part when a window closes: temporary bars go, and temporary
    // controls on the bars that stay. Unrecorded.
    void RemoveTemporary();
    const std::vector<ComPtr<CommandBar>> &Bars() const { return m_bars; }

protected:
    ~CommandBars() override = default;

private:
    std::vector<ComPtr<CommandBar>> m_bars;
};

} // namespace host

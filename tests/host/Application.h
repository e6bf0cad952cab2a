// The stand-in Outlook Application object: what the add-in receives in
// OnConnection. Answers _Application, Name ("Outlook"), GetNamespace("MAPI"),
// Inspectors (the collection of open mail windows, with its InspectorsEvents),
// ActiveInspector, Explorers (the open main windows, with ExplorersEvents),
// ActiveExplorer, and its ApplicationEvents connection point, from which
// ItemSend and Quit are fired.
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"

#include <vector>

namespace host {

class Explorer;
class Inspector;

// InspectorsEvents, ExplorersEvents and ApplicationEvents DISPIDs the host fires.
const DISPID kNewInspector = 0xF001;
const DISPID kNewExplorer = 0xF001;
const DISPID kApplicationItemSend = 0xF002;
const DISPID kApplicationQuit = 0xF007;

// The "MAPI" NameSpace. The add-in only holds it.
class NameSpace : public DispObject
{
public:
    NameSpace();

protected:
    ~NameSpace() override = default;
};

// A collection of open windows (Inspectors, Explorers): Count, Item from 1, in
// the order they opened, and the events source whose DISPID 0xF001 announces
// a new one.
template <class Window>
class WindowCollection : public DispObject
{
public:
    WindowCollection(const char *name, REFIID iid, REFIID events);

    EventSource &Events() { return *m_events; }

    // Takes the window into the collection (holding a reference) and, unless
    // `announce` is false, fires NewInspector / NewExplorer with it as the one
    // VT_DISPATCH argument. Returns the firing's HRESULT.
    HRESULT Add(Window *window, bool announce = true);
    // Lets go of a closed window.
    void Remove(Window *window);
    bool Contains(const Window *window) const;
    const std::vector<ComPtr<Window>> &Open() const { return m_open; }

protected:
    ~WindowCollection() override = default;

private:
    EventSource *m_events;
    std::vector<ComPtr<Window>> m_open;
};

class Inspectors : public WindowCollection<Inspector>
{
public:
    Inspectors();

protected:
    ~Inspectors() override = default;
};

class Explorers : public WindowCollection<Explorer>
{
public:
    Explorers();

protected:
    ~Explorers() override = default;
};

class Application : public DispObject
{
public:
    Application();

    EventSource &Events() { return *m_events; }
    Inspectors &InspectorsCollection() { return *m_inspectors.Get(); }
    Explorers &ExplorersCollection() { return *m_explorers.Get(); }
    NameSpace &MapiNamespace() { return *m_namespace.Get(); }

    // The window ActiveInspector gives while it is in the collection; not held.
    void SetActiveInspector(Inspector *inspector) { m_active = inspector; }
    Inspector *ActiveInspectorObject() const;
    // The same for ActiveExplorer.
    void SetActiveExplorer(Explorer *explorer) { m_activeExplorer = explorer; }
    Explorer *ActiveExplorerObject() const;

    // Fires ItemSend(Item, Cancel): Cancel = rgvarg[0] (VT_BOOL|VT_BYREF),
    // Item = rgvarg[1]. True when a sink cancelled the send: Cancel set TRUE
    // (Outlook 2016), or a result of VT_BOOL FALSE (Outlook 2003, as for the
    // item's own Send).
    bool FireItemSendRefused(IDispatch *item);

protected:
    ~Application() override;

private:
    const bool m_outlook2003;
    EventSource *m_events;
    ComPtr<NameSpace> m_namespace;
    ComPtr<Inspectors> m_inspectors;
    ComPtr<Explorers> m_explorers;
    Inspector *m_active = nullptr;
    Explorer *m_activeExplorer = nullptr;
};

} // namespace host

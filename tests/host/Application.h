// The stand-in Outlook Application object: what the add-in receives in
// OnConnection. Answers _Application, Name ("Outlook"), GetNamespace("MAPI"),
// Inspectors (the collection of open windows, with its InspectorsEvents),
// ActiveInspector, and its ApplicationEvents connection point, from which
// ItemSend and Quit are fired.
#pragma once

#include "host/ConnectionPoints.h"
#include "host/DispObject.h"

#include <vector>

namespace host {

class Inspector;

// InspectorsEvents and ApplicationEvents DISPIDs the host fires.
const DISPID kNewInspector = 0xF001;
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

// Outlook's Inspectors collection: the open windows in the order they opened
// (Count, Item from 1) and the InspectorsEvents source.
class Inspectors : public DispObject
{
public:
    Inspectors();

    EventSource &Events() { return *m_events; }

    // Takes the window into the collection (holding a reference) and fires
    // NewInspector with it as the one VT_DISPATCH argument, as Outlook does when
    // a window opens. Returns the firing's HRESULT.
    HRESULT Add(Inspector *inspector);
    // Lets go of a closed window.
    void Remove(Inspector *inspector);
    bool Contains(const Inspector *inspector) const;
    const std::vector<ComPtr<Inspector>> &Open() const { return m_open; }

protected:
    ~Inspectors() override = default;

private:
    EventSource *m_events;
    std::vector<ComPtr<Inspector>> m_open;
};

class Application : public DispObject
{
public:
    Application();

    EventSource &Events() { return *m_events; }
    Inspectors &InspectorsCollection() { return *m_inspectors.Get(); }
    NameSpace &MapiNamespace() { return *m_namespace.Get(); }

    // The window ActiveInspector gives while it is in the collection; not held.
    void SetActiveInspector(Inspector *inspector) { m_active = inspector; }
    Inspector *ActiveInspectorObject() const;

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
    Inspector *m_active = nullptr;
};

} // namespace host

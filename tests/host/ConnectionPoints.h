// Connection points for stand-in objects: IConnectionPointContainer as a facet
// of a DispObject, and one EventSource (IConnectionPoint) per event
// dispinterface. Sources hand out cookies from 1, keep a chosen number of
// references to each sink (1 or 2, as different hosts do) and give them back
// inside Unadvise. Firing calls every advised sink's Invoke the way Outlook
// does: riid IID_NULL, LCID 0, DISPATCH_METHOD, arguments reversed.
#pragma once

#include "host/CallLog.h"
#include "host/DispObject.h"

#include <ocidl.h>
#include <olectl.h>

#include <memory>
#include <mutex>
#include <vector>

namespace host {

class EventSource;

class ConnectionPoints : public Facet, public IConnectionPointContainer
{
public:
    // The container of owner, attached on first use.
    static ConnectionPoints &Of(DispObject &owner);

    explicit ConnectionPoints(DispObject &owner) : Facet(owner) {}
    ~ConnectionPoints() override;

    // A source for one dispinterface; keptReferences is what Advise holds on a sink.
    EventSource &Add(REFIID dispinterface, unsigned keptReferences = 1);
    EventSource *Source(REFIID dispinterface) const;

    void *InterfaceFor(REFIID iid) override;

    // IUnknown: the owner's.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IConnectionPointContainer
    HRESULT STDMETHODCALLTYPE EnumConnectionPoints(IEnumConnectionPoints **ppEnum) override;
    HRESULT STDMETHODCALLTYPE FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP) override;

private:
    std::vector<std::unique_ptr<EventSource>> m_sources;
};

class EventSource : public IConnectionPoint
{
public:
    EventSource(ConnectionPoints &container, REFIID dispinterface, unsigned keptReferences);
    EventSource(const EventSource &) = delete;
    EventSource &operator=(const EventSource &) = delete;
    // Gives back the references still held on sinks.
    virtual ~EventSource();

    // IUnknown: its own identity, the owner's reference count.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    // IConnectionPoint
    HRESULT STDMETHODCALLTYPE GetConnectionInterface(IID *pIID) override;
    HRESULT STDMETHODCALLTYPE GetConnectionPointContainer(IConnectionPointContainer **ppCPC) override;
    HRESULT STDMETHODCALLTYPE Advise(IUnknown *pUnkSink, DWORD *pdwCookie) override;
    HRESULT STDMETHODCALLTYPE Unadvise(DWORD dwCookie) override;
    HRESULT STDMETHODCALLTYPE EnumConnections(IEnumConnections **ppEnum) override;

    // Calls every sink advised when the firing starts and still advised when
    // its turn comes; a sink may unadvise (and destroy) itself or others
    // meanwhile. `args` in natural order, not cleared. Returns the first
    // failing HRESULT, else the last sink's (S_OK with no sinks); `result`
    // (may be null; initialised by the caller) receives the last value a sink
    // set, and each sink gets a fresh one.
    HRESULT Fire(DISPID id, const std::vector<VARIANT> &args = {}, VARIANT *result = nullptr);
    // As Fire, but every Invoke argument as given, for malformed calls
    // (another riid, odd flags, a null or inconsistent DISPPARAMS).
    HRESULT FireRaw(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params, VARIANT *result);

    const IID &Interface() const { return m_iid; }
    size_t SinkCount() const;
    std::vector<DWORD> Cookies() const;
    // For later Advise calls: 1 or 2 (Advise's own QueryInterface, plus one).
    void SetKeptReferences(unsigned count) { m_kept = count ? count : 1; }

private:
    struct Connection
    {
        DWORD cookie;
        IDispatch *sink;
        unsigned kept;
    };

    HRESULT Deliver(CallRecord record, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                    VARIANT *result);
    bool TakeConnection(DWORD cookie, Connection &out);
    IDispatch *SinkOf(DWORD cookie) const;

    ConnectionPoints &m_container;
    DispObject &m_owner;
    const IID m_iid;
    const std::string m_name;
    unsigned m_kept;
    mutable std::mutex m_mutex;
    std::vector<Connection> m_connections;
    DWORD m_nextCookie = 1;
};

// The source for dispinterface on owner, created with its container when needed.
EventSource &AddEventSource(DispObject &owner, REFIID dispinterface, unsigned keptReferences = 1);

} // namespace host

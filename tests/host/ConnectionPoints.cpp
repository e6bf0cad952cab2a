#include "host/ConnectionPoints.h"

#include "host/CallLog.h"
#include "host/Faults.h"
#include "host/Text.h"

#include <algorithm>

namespace host {
namespace {

CallRecord Record(const std::string &object, std::string member, CallKind kind, std::vector<std::string> args = {})
{
    CallRecord record;
    record.object = object;
    record.member = std::move(member);
    record.kind = kind;
    record.args = std::move(args);
    return record;
}

} // namespace

// --- ConnectionPoints -------------------------------------------------------

ConnectionPoints &ConnectionPoints::Of(DispObject &owner)
{
    if (ConnectionPoints *existing = owner.FindFacet<ConnectionPoints>())
        return *existing;
    auto container = std::make_unique<ConnectionPoints>(owner);
    ConnectionPoints &ref = *container;
    owner.AddFacet(std::move(container));
    return ref;
}

ConnectionPoints::~ConnectionPoints() = default;

EventSource &ConnectionPoints::Add(REFIID dispinterface, unsigned keptReferences)
{
    m_sources.push_back(std::make_unique<EventSource>(*this, dispinterface, keptReferences));
    return *m_sources.back();
}

EventSource *ConnectionPoints::Source(REFIID dispinterface) const
{
    for (const auto &source : m_sources)
        if (IsEqualIID(source->Interface(), dispinterface))
            return source.get();
    return nullptr;
}

void *ConnectionPoints::InterfaceFor(REFIID iid)
{
    return IsEqualIID(iid, IID_IConnectionPointContainer) ? static_cast<IConnectionPointContainer *>(this) : nullptr;
}

HRESULT STDMETHODCALLTYPE ConnectionPoints::QueryInterface(REFIID riid, void **ppv)
{
    return Owner().QueryInterface(riid, ppv);
}

ULONG STDMETHODCALLTYPE ConnectionPoints::AddRef()
{
    return Owner().AddRef();
}

ULONG STDMETHODCALLTYPE ConnectionPoints::Release()
{
    return Owner().Release();
}

HRESULT STDMETHODCALLTYPE ConnectionPoints::EnumConnectionPoints(IEnumConnectionPoints **ppEnum)
{
    try {
        CallScope call(Record(Owner().Name(), "EnumConnectionPoints", CallKind::Other));
        if (!ppEnum)
            return call.Finish(E_POINTER);
        *ppEnum = nullptr;
        return call.Finish(E_NOTIMPL);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE ConnectionPoints::FindConnectionPoint(REFIID riid, IConnectionPoint **ppCP)
{
    try {
        CallScope call(Record(Owner().Name(), "FindConnectionPoint", CallKind::FindConnectionPoint,
                              {InterfaceName(riid)}));
        if (!ppCP)
            return call.Finish(E_POINTER);
        *ppCP = nullptr;
        HRESULT injected = Faults::Check(Owner().Name(), "FindConnectionPoint");
        if (FAILED(injected))
            return call.Finish(injected);
        EventSource *source = Source(riid);
        if (!source)
            return call.Finish(CONNECT_E_NOCONNECTION);
        source->AddRef();
        *ppCP = source;
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

// --- EventSource ------------------------------------------------------------

EventSource::EventSource(ConnectionPoints &container, REFIID dispinterface, unsigned keptReferences)
    : m_container(container), m_owner(container.Owner()), m_iid(dispinterface), m_name(InterfaceName(dispinterface)),
      m_kept(keptReferences ? keptReferences : 1)
{
}

EventSource::~EventSource()
{
    std::vector<Connection> left;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        left.swap(m_connections);
    }
    for (const Connection &c : left)
        for (unsigned i = 0; i < c.kept; ++i)
            c.sink->Release();
}

HRESULT STDMETHODCALLTYPE EventSource::QueryInterface(REFIID riid, void **ppv)
{
    try {
        CallScope call(Record(m_owner.Name(), m_name + ".QueryInterface(" + InterfaceName(riid) + ")",
                              CallKind::QueryInterface));
        if (!ppv)
            return call.Finish(E_POINTER);
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IConnectionPoint))
            return call.Finish(E_NOINTERFACE);
        AddRef();
        *ppv = static_cast<IConnectionPoint *>(this);
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

ULONG STDMETHODCALLTYPE EventSource::AddRef()
{
    return m_owner.AddRef();
}

ULONG STDMETHODCALLTYPE EventSource::Release()
{
    return m_owner.Release();
}

HRESULT STDMETHODCALLTYPE EventSource::GetConnectionInterface(IID *pIID)
{
    try {
        CallScope call(Record(m_owner.Name(), "GetConnectionInterface", CallKind::Other, {m_name}));
        if (!pIID)
            return call.Finish(E_POINTER);
        *pIID = m_iid;
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE EventSource::GetConnectionPointContainer(IConnectionPointContainer **ppCPC)
{
    try {
        CallScope call(Record(m_owner.Name(), "GetConnectionPointContainer", CallKind::Other, {m_name}));
        if (!ppCPC)
            return call.Finish(E_POINTER);
        m_container.AddRef();
        *ppCPC = &m_container;
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE EventSource::Advise(IUnknown *pUnkSink, DWORD *pdwCookie)
{
    try {
        CallScope call(Record(m_owner.Name(), "Advise", CallKind::Advise, {m_name}));
        if (!pdwCookie)
            return call.Finish(E_POINTER);
        *pdwCookie = 0;
        if (!pUnkSink)
            return call.Finish(E_POINTER);
        HRESULT injected = Faults::Check(m_owner.Name(), "Advise");
        if (FAILED(injected))
            return call.Finish(injected);

        // As Office does: the sink for the event interface itself, else plain IDispatch.
        IDispatch *sink = nullptr;
        if (FAILED(pUnkSink->QueryInterface(m_iid, reinterpret_cast<void **>(&sink))) || !sink) {
            sink = nullptr;
            if (FAILED(pUnkSink->QueryInterface(IID_IDispatch, reinterpret_cast<void **>(&sink))) || !sink)
                return call.Finish(CONNECT_E_CANNOTCONNECT);
        }
        const unsigned kept = m_kept;
        for (unsigned i = 1; i < kept; ++i)
            sink->AddRef();

        std::lock_guard<std::mutex> lock(m_mutex);
        *pdwCookie = m_nextCookie++;
        m_connections.push_back(Connection{*pdwCookie, sink, kept});
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE EventSource::Unadvise(DWORD dwCookie)
{
    try {
        CallScope call(Record(m_owner.Name(), "Unadvise", CallKind::Unadvise, {m_name, std::to_string(dwCookie)}));
        HRESULT injected = Faults::Check(m_owner.Name(), "Unadvise");
        if (FAILED(injected))
            return call.Finish(injected);
        Connection connection;
        if (!TakeConnection(dwCookie, connection))
            return call.Finish(CONNECT_E_NOCONNECTION);
        // The sink's references go back before Unadvise returns; the sink may
        // be destroyed here.
        for (unsigned i = 0; i < connection.kept; ++i)
            connection.sink->Release();
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE EventSource::EnumConnections(IEnumConnections **ppEnum)
{
    try {
        CallScope call(Record(m_owner.Name(), "EnumConnections", CallKind::Other, {m_name}));
        if (!ppEnum)
            return call.Finish(E_POINTER);
        *ppEnum = nullptr;
        return call.Finish(E_NOTIMPL);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

bool EventSource::TakeConnection(DWORD cookie, Connection &out)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = std::find_if(m_connections.begin(), m_connections.end(),
                           [cookie](const Connection &c) { return c.cookie == cookie; });
    if (it == m_connections.end())
        return false;
    out = *it;
    m_connections.erase(it);
    return true;
}

IDispatch *EventSource::SinkOf(DWORD cookie) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Connection &c : m_connections)
        if (c.cookie == cookie)
            return c.sink;
    return nullptr;
}

size_t EventSource::SinkCount() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_connections.size();
}

std::vector<DWORD> EventSource::Cookies() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<DWORD> cookies;
    for (const Connection &c : m_connections)
        cookies.push_back(c.cookie);
    return cookies;
}

HRESULT EventSource::Fire(DISPID id, const std::vector<VARIANT> &args, VARIANT *result)
{
    CallRecord record = Record(m_owner.Name(), m_name, CallKind::Event);
    record.dispid = id;
    record.flags = DISPATCH_METHOD;
    for (const VARIANT &arg : args)
        record.args.push_back(VariantText(arg));
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
    return Deliver(std::move(record), id, IID_NULL, 0, DISPATCH_METHOD, &params, result);
}

HRESULT EventSource::FireRaw(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params, VARIANT *result)
{
    // The arguments are not read: they may be inconsistent on purpose.
    CallRecord record = Record(m_owner.Name(), m_name, CallKind::Event);
    record.dispid = id;
    record.lcid = lcid;
    record.flags = flags;
    std::string shape = "raw riid " + InterfaceName(riid);
    shape += params ? ", cArgs " + std::to_string(params->cArgs) + ", cNamedArgs " + std::to_string(params->cNamedArgs)
                    : ", no DISPPARAMS";
    record.args.push_back(shape);
    return Deliver(std::move(record), id, riid, lcid, flags, params, result);
}

HRESULT EventSource::Deliver(CallRecord record, DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                             VARIANT *result)
{
    // The owner must outlive the firing even if a sink drops the last reference
    // to it; this source goes with it, so nothing of it is touched after the pin.
    DispObject::Pin pin(m_owner);
    CallScope call(std::move(record));

    HRESULT overall = S_OK;
    bool failed = false;
    for (DWORD cookie : Cookies()) {
        IDispatch *sink = SinkOf(cookie);
        if (!sink)
            continue; // unadvised by an earlier sink
        VARIANT scratch;
        VariantInit(&scratch);
        HRESULT hr = sink->Invoke(id, riid, lcid, flags, params, result ? &scratch : nullptr, nullptr, nullptr);
        if (result && scratch.vt != VT_EMPTY) {
            VariantClear(result);
            *result = scratch;
        } else {
            VariantClear(&scratch);
        }
        if (!failed)
            overall = hr;
        failed = failed || FAILED(hr);
    }
    return call.Finish(overall);
}

EventSource &AddEventSource(DispObject &owner, REFIID dispinterface, unsigned keptReferences)
{
    return ConnectionPoints::Of(owner).Add(dispinterface, keptReferences);
}

} // namespace host

#include "host/DispObject.h"

#include "com/ComError.h"
#include "host/CallLog.h"
#include "host/Faults.h"
#include "host/Text.h"

#include <atomic>
#include <cstdio>

namespace host {
namespace {

std::atomic<LONG> g_liveObjects{0};

// The result of a handler, whatever it did: nothing may escape through Invoke.
HRESULT RunHandler(const Handler &handler, Invocation &call)
{
    try {
        return handler(call);
    } catch (const ComError &e) {
        return e.hr;
    } catch (const std::bad_alloc &) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

CallRecord Record(const std::string &object, std::string member, CallKind kind)
{
    CallRecord record;
    record.object = object;
    record.member = std::move(member);
    record.kind = kind;
    return record;
}

// A reference count change, recorded with the count reached.
void RecordCount(const std::string &object, const char *member, CallKind kind, ULONG count)
{
    try {
        size_t token = CallLog::Begin(Record(object, member, kind));
        CallLog::Finish(token, S_OK, count);
    } catch (...) {
    }
}

} // namespace

bool Invocation::IsMissing(size_t i) const
{
    if (i >= m_args.size())
        return true;
    const VARIANT &v = *m_args[i];
    return v.vt == VT_ERROR && v.scode == DISP_E_PARAMNOTFOUND;
}

HRESULT Invocation::ArgAs(size_t i, VARTYPE vt, Variant &out) const
{
    if (IsMissing(i))
        return DISP_E_PARAMNOTFOUND;
    Variant direct;
    HRESULT hr = VariantCopyInd(direct.Receive(), m_args[i]);
    if (FAILED(hr))
        return hr;
    return VariantChangeType(out.Receive(), direct.Get(), 0, vt);
}

VARIANT *Invocation::Named(DISPID id) const
{
    for (const auto &named : m_named)
        if (named.first == id)
            return named.second;
    return nullptr;
}

DispObject::DispObject(std::string name, std::vector<IID> interfaces)
    : m_name(std::move(name)), m_interfaces(std::move(interfaces))
{
    ++g_liveObjects;
}

DispObject::~DispObject()
{
    // Facets first: a connection point gives its sinks back while the rest of
    // the object still stands.
    m_facets.clear();
    --g_liveObjects;
}

LONG DispObject::LiveObjects()
{
    return g_liveObjects;
}

HRESULT STDMETHODCALLTYPE DispObject::QueryInterface(REFIID riid, void **ppv)
{
    try {
        CallScope call(Record(m_name, "QueryInterface(" + InterfaceName(riid) + ")", CallKind::QueryInterface));
        if (!ppv)
            return call.Finish(E_POINTER);
        *ppv = nullptr;
        HRESULT injected = Faults::Check(m_name, "QueryInterface(" + InterfaceName(riid) + ")");
        if (FAILED(injected))
            return call.Finish(injected);

        void *found = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch))
            found = static_cast<IDispatch *>(this);
        for (const IID &iid : m_interfaces)
            if (!found && IsEqualIID(riid, iid))
                found = static_cast<IDispatch *>(this);
        for (const auto &facet : m_facets)
            if (!found)
                found = facet->InterfaceFor(riid);
        if (!found)
            return call.Finish(E_NOINTERFACE);
        AddRef();
        *ppv = found;
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

ULONG STDMETHODCALLTYPE DispObject::AddRef()
{
    ULONG count = static_cast<ULONG>(InterlockedIncrement(&m_cRef));
    RecordCount(m_name, "AddRef", CallKind::AddRef, count);
    return count;
}

ULONG STDMETHODCALLTYPE DispObject::Release()
{
    // Recorded before the count drops: the object may be gone afterwards.
    ULONG expected = static_cast<ULONG>(m_cRef) - 1;
    RecordCount(m_name, "Release", CallKind::Release, expected);
    return ReleaseQuietly();
}

ULONG DispObject::ReleaseQuietly()
{
    ULONG count = static_cast<ULONG>(InterlockedDecrement(&m_cRef));
    if (count == 0)
        delete this;
    return count;
}

DispObject::Pin::Pin(DispObject &object) : m_object(object)
{
    InterlockedIncrement(&m_object.m_cRef);
}

DispObject::Pin::~Pin()
{
    m_object.ReleaseQuietly();
}

HRESULT STDMETHODCALLTYPE DispObject::GetTypeInfoCount(UINT *pctinfo)
{
    try {
        CallScope call(Record(m_name, "GetTypeInfoCount", CallKind::Other));
        if (!pctinfo)
            return call.Finish(E_POINTER);
        *pctinfo = 0;
        return call.Finish(S_OK);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE DispObject::GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo)
{
    try {
        CallRecord record = Record(m_name, "GetTypeInfo", CallKind::Other);
        record.lcid = lcid;
        record.args.push_back(std::to_string(iTInfo));
        CallScope call(std::move(record));
        if (!ppTInfo)
            return call.Finish(E_POINTER);
        *ppTInfo = nullptr;
        // No type information: every index is out of range.
        return call.Finish(DISP_E_BADINDEX);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE DispObject::GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,
                                                     DISPID *rgDispId)
{
    try {
        CallRecord record = Record(m_name, "GetIDsOfNames", CallKind::GetIDsOfNames);
        record.lcid = lcid;
        for (UINT i = 0; rgszNames && i < cNames; ++i)
            record.args.push_back(rgszNames[i] ? "\"" + AnsiFromWide(rgszNames[i]) + "\"" : "null");
        CallScope call(std::move(record));

        if (!IsEqualIID(riid, IID_NULL))
            return call.Finish(DISP_E_UNKNOWNINTERFACE);
        if (!rgszNames || !rgDispId)
            return call.Finish(E_POINTER);
        if (cNames == 0)
            return call.Finish(E_INVALIDARG);
        for (UINT i = 0; i < cNames; ++i)
            rgDispId[i] = DISPID_UNKNOWN;
        HRESULT injected = Faults::Check(m_name, "GetIDsOfNames");
        if (FAILED(injected))
            return call.Finish(injected);

        Member *member = rgszNames[0] ? FindByName(rgszNames[0]) : nullptr;
        if (!member)
            return call.Finish(DISP_E_UNKNOWNNAME);
        rgDispId[0] = member->id;
        // Parameter names are not known: the member's own DISPID stands.
        return call.Finish(cNames == 1 ? S_OK : DISP_E_UNKNOWNNAME);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT STDMETHODCALLTYPE DispObject::Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                                              DISPPARAMS *pDispParams, VARIANT *pVarResult, EXCEPINFO *,
                                              UINT *)
{
    try {
        return InvokeMember(dispIdMember, riid, lcid, wFlags, pDispParams, pVarResult);
    } catch (...) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DispObject::InvokeMember(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags, DISPPARAMS *params,
                                 VARIANT *pVarResult)
{
    Member *member = FindById(dispIdMember);

    CallRecord record;
    record.object = m_name;
    record.dispid = dispIdMember;
    record.lcid = lcid;
    record.flags = wFlags;
    if (member) {
        record.member = member->name;
    } else {
        char id[32];
        snprintf(id, sizeof id, "#%ld", static_cast<long>(dispIdMember));
        record.member = id;
    }

    // Which operation the flags ask for, as a type library would decide it.
    Handler handler;
    if (member && member->isMethod && (wFlags & DISPATCH_METHOD)) {
        record.kind = CallKind::Method;
        handler = member->method;
    } else if (member && !member->isMethod && (wFlags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF))) {
        record.kind = (wFlags & DISPATCH_PROPERTYPUT) ? CallKind::Put : CallKind::PutRef;
        handler = member->put;
    } else if (member && !member->isMethod && (wFlags & DISPATCH_PROPERTYGET)) {
        record.kind = CallKind::Get;
        handler = member->get;
    } else {
        record.kind = (wFlags & DISPATCH_PROPERTYPUT) ? CallKind::Put
                      : (wFlags & DISPATCH_PROPERTYPUTREF) ? CallKind::PutRef
                      : (wFlags & DISPATCH_METHOD) ? CallKind::Method
                                                   : CallKind::Get;
    }
    const bool isPut = record.kind == CallKind::Put || record.kind == CallKind::PutRef;

    // Arguments in natural order: positional ones come reversed after the named ones.
    Invocation call;
    call.m_lcid = lcid;
    call.m_flags = wFlags;
    VARIANT *putValue = nullptr;
    bool wellFormed = params && params->cNamedArgs <= params->cArgs && (params->rgvarg || !params->cArgs) &&
                      (params->rgdispidNamedArgs || !params->cNamedArgs);
    if (wellFormed) {
        for (UINT i = params->cArgs; i > params->cNamedArgs; --i)
            call.m_args.push_back(&params->rgvarg[i - 1]);
        for (UINT i = 0; i < params->cNamedArgs; ++i) {
            record.namedArgs.push_back(params->rgdispidNamedArgs[i]);
            if (params->rgdispidNamedArgs[i] == DISPID_PROPERTYPUT && isPut)
                putValue = &params->rgvarg[i];
            else
                call.m_named.emplace_back(params->rgdispidNamedArgs[i], &params->rgvarg[i]);
        }
        if (putValue)
            call.m_args.push_back(putValue);
        for (VARIANT *arg : call.m_args)
            record.args.push_back(VariantText(*arg));
        for (const auto &named : call.m_named)
            record.args.push_back("#" + std::to_string(named.first) + ":=" + VariantText(*named.second));
    }
    CallScope scope(std::move(record));

    if (!IsEqualIID(riid, IID_NULL))
        return scope.Finish(DISP_E_UNKNOWNINTERFACE);
    if (!member || !member->available || !handler)
        return scope.Finish(DISP_E_MEMBERNOTFOUND);
    if (!wellFormed)
        return scope.Finish(E_INVALIDARG);
    if (isPut && !putValue)
        return scope.Finish(DISP_E_PARAMNOTFOUND);
    HRESULT injected = Faults::Check(m_name, member->name);
    if (FAILED(injected))
        return scope.Finish(injected);

    Variant result;
    call.m_result = result.Get();
    // The handler may add members: it runs from its own copy.
    HRESULT hr = RunHandler(handler, call);
    if (SUCCEEDED(hr) && pVarResult && !isPut) {
        *pVarResult = *result.Get(); // handed over: the caller clears it
        VariantInit(result.Get());
    }
    return scope.Finish(hr);
}

DispObject::Member *DispObject::FindByName(const wchar_t *name)
{
    std::string narrow = AnsiFromWide(name);
    for (Member &m : m_members)
        if (m.available && lstrcmpiA(m.name.c_str(), narrow.c_str()) == 0)
            return &m;
    return nullptr;
}

DispObject::Member *DispObject::FindById(DISPID id)
{
    for (Member &m : m_members)
        if (m.id == id)
            return &m;
    return nullptr;
}

DispObject::Member *DispObject::FindStored(const std::string &name)
{
    for (Member &m : m_members)
        if (m.stored && lstrcmpiA(m.name.c_str(), name.c_str()) == 0)
            return &m;
    return nullptr;
}

DISPID DispObject::AddMember(Member member)
{
    if (member.id == DISPID_UNKNOWN)
        member.id = m_nextId;
    if (member.id >= m_nextId)
        m_nextId = member.id + 1;
    DISPID id = member.id;
    m_members.push_back(std::move(member));
    return id;
}

DISPID DispObject::AddProperty(const std::string &name, Handler get, Handler put, DISPID id)
{
    return AddMember(Member{name, id, false, true, false, std::move(get), std::move(put), Handler(), Variant()});
}

DISPID DispObject::AddMethod(const std::string &name, Handler method, DISPID id)
{
    return AddMember(Member{name, id, true, true, false, Handler(), Handler(), std::move(method), Variant()});
}

DISPID DispObject::AddValue(const std::string &name, Variant initial, DISPID id)
{
    // The handlers find the value by name: members move when more are added.
    Handler get = [this, name](Invocation &call) {
        return VariantCopy(call.Result(), FindStored(name)->value.Get());
    };
    Handler put = [this, name](Invocation &call) {
        return VariantCopyInd(FindStored(name)->value.Receive(), &call.Value());
    };
    return AddMember(Member{name, id, false, true, true, std::move(get), std::move(put), Handler(),
                            std::move(initial)});
}

void DispObject::SetAvailable(const std::string &name, bool available)
{
    for (Member &m : m_members)
        if (lstrcmpiA(m.name.c_str(), name.c_str()) == 0)
            m.available = available;
}

Variant DispObject::Value(const std::string &name) const
{
    // Reading only; the lookup itself is shared with the writers.
    const Member *m = const_cast<DispObject *>(this)->FindStored(name);
    return m ? CopyOf(*m->value.Get()) : Variant();
}

void DispObject::SetValue(const std::string &name, const VARIANT &value)
{
    Member *m = FindStored(name);
    if (m)
        VariantCopyInd(m->value.Receive(), const_cast<VARIANT *>(&value));
}

void DispObject::AddFacet(std::unique_ptr<Facet> facet)
{
    m_facets.push_back(std::move(facet));
}

Variant CopyOf(const VARIANT &value)
{
    Variant copy;
    VariantCopyInd(copy.Receive(), const_cast<VARIANT *>(&value));
    return copy;
}

Variant Str(const char *text)
{
    std::wstring wide = WideFromAnsi(text);
    return Variant::Str(BStr::FromWide(wide.c_str(), static_cast<UINT>(wide.size())));
}

} // namespace host

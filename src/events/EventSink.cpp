#include "events/EventSink.h"

#include "com/Module.h"
#include "com/ComError.h"
#include "com/ComPtr.h"
#include "log/DebugLog.h"

CEventSink::CEventSink(const Traits &traits) : m_traits(traits)
{
    ++g_lMyObjects;
    if (m_traits.logsLifetime)
        DebugLog(1, "%s, g_lMyObjects=%ld\n", m_traits.className, (long)g_lMyObjects);
}

CEventSink::~CEventSink()
{
    // Normally FreeEvents has let go of it already; a sink destroyed some other way must not leak it.
    if (m_pConnection)
        m_pConnection->Release();
    --g_lMyObjects;
    if (m_traits.logsLifetime)
        DebugLog(1, "~%s, g_lMyObjects=%ld\n", m_traits.className, (long)g_lMyObjects);
}

HRESULT STDMETHODCALLTYPE CEventSink::QueryInterface(REFIID riid, void **ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, *m_traits.eventIid) || IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
        *ppv = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CEventSink::AddRef()
{
    DebugLog(2, "%s::AddRef : count=%i\n", m_traits.className, (int)(m_cRef + 1));
    return ++m_cRef;
}

ULONG STDMETHODCALLTYPE CEventSink::Release()
{
    if (m_traits.releaseIgnoresZero && m_cRef == 0)
        return 0;
    if (m_cRef == 1)
        FreeEvents();
    DebugLog(2, "%s::Release : count=%i\n", m_traits.className, (int)(m_cRef - 1));
    ULONG count = --m_cRef;
    if (count != 0)
        return count;
    OnFinalRelease();
    delete this;
    return 0;
}

HRESULT STDMETHODCALLTYPE CEventSink::GetTypeInfoCount(UINT *pctinfo)
{
    if (m_traits.logsTypeInfo)
        DebugLog(2, "%s::GetTypeInfoCount\n", m_traits.className);
    if (!pctinfo)
        return E_POINTER;
    *pctinfo = 0;
    return S_OK;
}

HRESULT STDMETHODCALLTYPE CEventSink::GetTypeInfo(UINT, LCID, ITypeInfo **ppTInfo)
{
    if (m_traits.logsTypeInfo)
        DebugLog(2, "%s::GetTypeInfo\n", m_traits.className);
    if (!ppTInfo)
        return E_POINTER;
    *ppTInfo = nullptr;
    return E_FAIL;
}

HRESULT STDMETHODCALLTYPE CEventSink::GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID,
                                                    DISPID *rgDispId)
{
    if (m_traits.logsTypeInfo)
        DebugLog(2, "%s::GetIDsOfNames\n", m_traits.className);
    if (!IsEqualIID(riid, IID_NULL))
        return DISP_E_UNKNOWNINTERFACE;
    if (!rgDispId || !rgszNames)
        return E_POINTER;
    if (cNames != 1)
        return E_INVALIDARG;
    rgDispId[0] = 0;
    return S_OK;
}

void CEventSink::SinkEvents(IUnknown *source)
{
    DebugLog(2, "%s::SinkEvents\n", m_traits.className);
    if (!source) {
        if (m_traits.nullSourceRaises)
            ThrowComError(E_POINTER);
        return;
    }
    ComPtr<IConnectionPointContainer> container;
    if (FAILED(source->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid())) || !container)
        return;
    if (FAILED(container->FindConnectionPoint(*m_traits.eventIid, &m_pConnection)) || !m_pConnection) {
        m_pConnection = nullptr;
        return;
    }
    const ULONG before = m_cRef;
    IUnknown *self = nullptr;
    QueryInterface(IID_IUnknown, reinterpret_cast<void **>(&self));
    if (!self)
        return;
    m_pConnection->Advise(self, &m_dwCookie);
    if (m_traits.loopForm) {
        // What the connection point took beyond our own query; Unadvise gives
        // exactly that back, so FreeEvents must take it again first.
        m_cKeptByConnection = m_cRef > before + 1 ? m_cRef - before - 1 : 0;
        while (m_cRef > 1)
            Release();
    } else {
        Release();
    }
}

void CEventSink::FreeEvents()
{
    DebugLog(2, "%s::FreeEvents\n", m_traits.className);
    // Detached first: the Releases that Unadvise makes re-enter this sink.
    IConnectionPoint *connection = m_pConnection;
    const DWORD cookie = m_dwCookie;
    m_pConnection = nullptr;
    m_dwCookie = 0;
    if (!connection)
        return;
    // Loop form: the connection point's references were given back after
    // Advise and are taken again, one each, so that Unadvise returning them
    // leaves the owner's one (a failed Advise kept none). Single form: they
    // are counted already; one more keeps the sink alive through the call.
    const ULONG guard = !m_traits.loopForm ? 1 : cookie ? m_cKeptByConnection : 0;
    for (ULONG i = 0; i < guard; ++i)
        AddRef();
    if (cookie)
        connection->Unadvise(cookie);
    connection->Release();
}

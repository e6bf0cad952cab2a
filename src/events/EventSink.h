// CEventSink: what the add-in's Outlook event sinks share. Each is a
// hand-written IDispatch for one event dispinterface, attached to its source
// through the connection-point protocol. A sink's life is tied to its owner's
// reference, not to the connection point that calls it: after connecting, the
// references the connection point took are given back (the "loop form"), or
// only the sink's own query reference is (the "single form", where the
// connection point's reference is the owner's).
#pragma once

#include <windows.h>
#include <ocidl.h>

class CEventSink : public IDispatch
{
public:
    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IDispatch: the sinks have no type information.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *pctinfo) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo **ppTInfo) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *rgszNames, UINT cNames, LCID lcid,
                                            DISPID *rgDispId) override;

    ULONG RefCount() const { return m_cRef; }
    bool IsConnected() const { return m_pConnection != nullptr; }

protected:
    struct Traits
    {
        const char *className;   // for the log lines
        const IID *eventIid;     // the dispinterface advised on
        bool releaseIgnoresZero; // a Release at count 0 returns 0 silently
        bool loopForm;           // give back every reference beyond one after Advise
        bool logsTypeInfo;       // type-information calls write a trace line
        bool nullSourceRaises;   // SinkEvents(null) raises E_POINTER
        bool logsLifetime;       // construction and destruction lines with g_lMyObjects
    };

    explicit CEventSink(const Traits &traits);
    virtual ~CEventSink();

    // Connects to the source's connection point for the event interface. Every
    // failure but a null source is silent: the sink then never hears an event.
    void SinkEvents(IUnknown *source);
    void FreeEvents();

    // Runs when the last reference goes, before the destructor.
    virtual void OnFinalRelease() {}

    ULONG m_cRef = 0;
    IConnectionPoint *m_pConnection = nullptr;
    DWORD m_dwCookie = 0;

private:
    const Traits &m_traits;
    // Loop form: the references the connection point took during Advise.
    ULONG m_cKeptByConnection = 0;
};

// The process-wide record of every call made on the stand-in host's objects,
// in the order the calls began. Tests state the exact sequence they expect.
// Safe from any thread.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace host {

enum class CallKind
{
    Get,
    Put,
    PutRef,
    Method,
    QueryInterface,
    GetIDsOfNames,
    AddRef,
    Release,
    FindConnectionPoint,
    Advise,
    Unadvise,
    // The host calling out: an event fired into the advised sinks, or Office
    // calling the add-in's ribbon interface and callbacks.
    Event,
    Other, // GetTypeInfo, GetConnectionInterface, EnumConnections, ...
};

const char *CallKindName(CallKind kind);

struct CallRecord
{
    std::string object; // "MailItem", "Application", ...
    // "Save", "HTMLBody"; "QueryInterface(IConnectionPointContainer)" (the
    // interface is part of what is asked, so faults can target one); "Advise";
    // for events the dispinterface, "ItemEvents"; for Office's calls on the
    // add-in, "Addin." and what was called ("Addin.GetCustomUI").
    std::string member;
    CallKind kind = CallKind::Other;
    DISPID dispid = DISPID_UNKNOWN;
    LCID lcid = 0;
    WORD flags = 0;
    std::vector<std::string> args; // natural order, a put's value last; VariantText form
    std::vector<DISPID> namedArgs; // as passed in DISPPARAMS
    HRESULT hr = E_PENDING;
    bool finished = false;
    ULONG count = 0; // AddRef and Release: the count reached
    DWORD threadId = 0;

    // One line, e.g. `CommandBars.Add(VT_BSTR "Quorvia", missing, VT_I2 -1) -> S_OK`,
    // `MailItem.BodyFormat = VT_I4 2 -> S_OK`, `Button.Picture := VT_DISPATCH -> S_OK` (putref),
    // `Inspector.QueryInterface(IConnectionPointContainer) -> E_NOINTERFACE`,
    // `MailItem.AddRef -> 2`, `Inspector => InspectorEvents 0xF008() -> S_OK`,
    // `Ribbon => Addin.GetCustomUI(VT_BSTR "Microsoft.Outlook.Explorer") -> S_OK`.
    std::string Line() const;
};

// Which records a query returns. By default: every object, without the
// reference-count traffic and without successful name lookups, which only
// restate the Invoke that follows. A failed call is never left out.
struct CallFilter
{
    std::string object; // empty: every object
    bool refCounts = false;
    bool nameLookups = false;
    bool events = true;

    static CallFilter Of(std::string name)
    {
        CallFilter f;
        f.object = std::move(name);
        return f;
    }
    static CallFilter Everything()
    {
        CallFilter f;
        f.refCounts = f.nameLookups = true;
        return f;
    }
    bool Accepts(const CallRecord &record) const;
};

// One distinct call target, for running a scenario once per call with that call failing.
struct CallSite
{
    std::string object;
    std::string member;
    bool operator==(const CallSite &o) const { return object == o.object && member == o.member; }
};

class CallLog
{
public:
    static std::vector<CallRecord> Records(const CallFilter &filter = CallFilter());
    static std::vector<std::string> Lines(const CallFilter &filter = CallFilter());
    // The distinct (object, member) pairs in order of first appearance, among
    // the calls a fault can be injected into (no AddRef/Release, no events).
    static std::vector<CallSite> DistinctCalls(const CallFilter &filter = CallFilter());
    static void Clear();

    // For the stand-in objects: a call opens its record on entry (so calls it
    // makes itself come after it) and finishes it with its HRESULT.
    static size_t Begin(CallRecord record);
    static void Finish(size_t token, HRESULT hr, ULONG count = 0);
};

// Opens a record and finishes it exactly once: with the HRESULT given to
// Finish, or with E_UNEXPECTED if the scope ends without one.
class CallScope
{
public:
    explicit CallScope(CallRecord record);
    CallScope(const CallScope &) = delete;
    CallScope &operator=(const CallScope &) = delete;
    ~CallScope();
    HRESULT Finish(HRESULT hr);

private:
    size_t m_token;
    bool m_finished = false;
};

} // namespace host

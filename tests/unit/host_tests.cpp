// The stand-in host's own contract: by-name IDispatch, the call log, fault
// injection, connection points, the ribbon, explorers and inline responses,
// ItemSend, and the dialog robot. Everything later tests assert about the
// add-in rests on these behaving exactly as stated here.
#include "com/Guids.h"
#include "host/Application.h"
#include "host/CallLog.h"
#include "host/ConnectionPoints.h"
#include "host/CustomUI.h"
#include "host/DialogRobot.h"
#include "host/DispObject.h"
#include "host/Faults.h"
#include "host/Outlook.h"
#include "host/Text.h"

#include <gtest/gtest.h>
#include <oleidl.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace host;

namespace {

const IID kUnknownIid = {0x12345678, 0x1234, 0x5678, {0x9A, 0xBC, 0xDE, 0xF0, 0x12, 0x34, 0x56, 0x78}};

// As the add-in calls by name: the lookup with LOCALE_USER_DEFAULT, the
// Invoke with LOCALE_SYSTEM_DEFAULT, arguments given in natural order.
HRESULT CallByName(IDispatch *object, const wchar_t *name, WORD flags, std::vector<VARIANT> args,
                   VARIANT *result = nullptr, bool namedPut = false)
{
    DISPID id = 0;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr))
        return hr;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {reversed.empty() ? nullptr : reversed.data(), namedPut ? &put : nullptr,
                         static_cast<UINT>(reversed.size()), namedPut ? 1u : 0u};
    return object->Invoke(id, IID_NULL, LOCALE_SYSTEM_DEFAULT, flags, &params, result, nullptr, nullptr);
}

HRESULT PutByName(IDispatch *object, const wchar_t *name, WORD flags, const VARIANT &value)
{
    return CallByName(object, name, flags, {value}, nullptr, true);
}

DISPID IdOf(IDispatch *object, const wchar_t *name)
{
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    return id;
}

// A hand-written event sink: records what each Invoke received and runs the
// test's action. The action may release the sink's last reference.
class TestSink final : public IDispatch
{
public:
    struct Received
    {
        DISPID id;
        IID riid;
        LCID lcid;
        WORD flags;
        bool hasParams;
        UINT cArgs;
        UINT cNamedArgs;
        std::vector<std::string> rgvarg; // as received: reversed
        bool hasResult;
    };
    using Action = std::function<HRESULT(DISPPARAMS *, VARIANT *)>;

    TestSink(REFIID events, bool *destroyed = nullptr) : m_events(events), m_destroyed(destroyed) {}

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IDispatch) && !IsEqualIID(riid, m_events))
            return E_NOINTERFACE;
        *ppv = static_cast<IDispatch *>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = --m_cRef;
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR *, UINT, LCID, DISPID *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS *params,
                                     VARIANT *result, EXCEPINFO *, UINT *) override
    {
        Received r{id, riid, lcid, flags, params != nullptr, params ? params->cArgs : 0,
                   params ? params->cNamedArgs : 0, {}, result != nullptr};
        if (describeArgs && params && params->rgvarg)
            for (UINT i = 0; i < params->cArgs; ++i)
                r.rgvarg.push_back(VariantText(params->rgvarg[i]));
        received.push_back(r);
        // The action may destroy this sink: nothing of it is touched afterwards.
        Action act = action;
        return act ? act(params, result) : S_OK;
    }

    ULONG Count() const { return m_cRef; }

    std::vector<Received> received;
    Action action;
    bool describeArgs = true; // off for firings whose cArgs is not to be believed

private:
    ~TestSink()
    {
        if (m_destroyed)
            *m_destroyed = true;
    }
    ULONG m_cRef = 1;
    IID m_events;
    bool *m_destroyed;
};

// A thing with one of each kind of member, and counters of its handlers' runs.
struct Thing
{
    ComPtr<DispObject> object;
    int saves = 0;
    int adds = 0;
    std::vector<std::string> addArgs;
    std::vector<std::string> picturePuts;

    Thing()
    {
        object = Create<DispObject>("Thing", std::vector<IID>{IID__MailItem});
        object->AddValue("Subject", Str("Hello"));
        object->AddValue("ReadOnly", Variant::I4(5));
        object->AddMethod("Save", [this](Invocation &) {
            ++saves;
            return S_OK;
        });
        object->AddMethod("Add", [this](Invocation &call) {
            ++adds;
            addArgs.clear();
            for (size_t i = 0; i < call.Count(); ++i)
                addArgs.push_back(VariantText(call.Arg(i)));
            call.Result()->vt = VT_I4;
            call.Result()->lVal = 7;
            return S_OK;
        });
        object->AddProperty(
            "Picture", [](Invocation &) { return E_NOTIMPL; },
            [this](Invocation &call) {
                picturePuts.push_back(VariantText(call.Value()));
                return S_OK;
            });
        // A read-only property: a getter and no setter.
        object->AddProperty("Class", [](Invocation &call) {
            call.Result()->vt = VT_I4;
            call.Result()->lVal = 43;
            return S_OK;
        });
    }
};

using Lines = std::vector<std::string>;

} // namespace

// --- by-name IDispatch --------------------------------------------------------

TEST(HostDispatch, GetPutAndMethodByNameReachTheirHandlersInNaturalOrder)
{
    Thing thing;
    auto other = Create<DispObject>("Other");
    IDispatch *disp = thing.object.Get();
    CallLog::Clear();

    Variant subject;
    ASSERT_EQ(S_OK, CallByName(disp, L"Subject", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, subject.Receive()));
    EXPECT_EQ("VT_BSTR \"Hello\"", VariantText(*subject.Get()));

    Variant world = Str("World");
    ASSERT_EQ(S_OK, PutByName(disp, L"Subject", DISPATCH_PROPERTYPUT, *world.Get()));
    ASSERT_EQ(S_OK, CallByName(disp, L"Subject", DISPATCH_PROPERTYGET, {}, subject.Receive()));
    EXPECT_EQ("VT_BSTR \"World\"", VariantText(*subject.Get()));

    Variant name = Str("Quorvia"), position = Variant::Missing(), temporary = Variant::I2(-1);
    Variant added;
    ASSERT_EQ(S_OK, CallByName(disp, L"Add", DISPATCH_METHOD, {*name.Get(), *position.Get(), *temporary.Get()},
                               added.Receive()));
    EXPECT_EQ((Lines{"VT_BSTR \"Quorvia\"", "missing", "VT_I2 -1"}), thing.addArgs);
    EXPECT_EQ("VT_I4 7", VariantText(*added.Get()));

    // The one flag word the add-in uses for value and object properties alike.
    const WORD anyPut = DISPATCH_METHOD | DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;
    Variant picture = Variant::Dispatch(other.Get());
    ASSERT_EQ(S_OK, PutByName(disp, L"Picture", anyPut, *picture.Get()));
    Variant two = Variant::I4(2);
    ASSERT_EQ(S_OK, PutByName(disp, L"Subject", anyPut, *two.Get()));
    EXPECT_EQ("VT_I4 2", VariantText(*thing.object->Value("Subject").Get()));
    ASSERT_EQ(S_OK, PutByName(disp, L"Picture", DISPATCH_PROPERTYPUTREF, *picture.Get()));
    EXPECT_EQ((Lines{"VT_DISPATCH", "VT_DISPATCH"}), thing.picturePuts);

    EXPECT_EQ((Lines{"Thing.Subject -> S_OK",
                     "Thing.Subject = VT_BSTR \"World\" -> S_OK",
                     "Thing.Subject -> S_OK",
                     "Thing.Add(VT_BSTR \"Quorvia\", missing, VT_I2 -1) -> S_OK",
                     "Thing.Picture = VT_DISPATCH -> S_OK",
                     "Thing.Subject = VT_I4 2 -> S_OK",
                     "Thing.Picture := VT_DISPATCH -> S_OK"}),
              CallLog::Lines());

    // The structured record keeps what the line leaves out.
    std::vector<CallRecord> records = CallLog::Records(CallFilter::Everything());
    std::vector<CallRecord> invokes, lookups;
    for (const CallRecord &r : records) {
        if (r.kind == CallKind::GetIDsOfNames)
            lookups.push_back(r);
        else if (r.kind != CallKind::AddRef && r.kind != CallKind::Release)
            invokes.push_back(r);
    }
    ASSERT_EQ(7u, invokes.size());
    ASSERT_EQ(7u, lookups.size());
    const WORD flags[] = {3, 4, 2, 1, 13, 13, 8};
    const CallKind kinds[] = {CallKind::Get, CallKind::Put, CallKind::Get, CallKind::Method,
                              CallKind::Put, CallKind::Put, CallKind::PutRef};
    for (size_t i = 0; i < invokes.size(); ++i) {
        SCOPED_TRACE(invokes[i].Line());
        EXPECT_EQ(flags[i], invokes[i].flags);
        EXPECT_EQ(kinds[i], invokes[i].kind);
        EXPECT_EQ(static_cast<LCID>(LOCALE_SYSTEM_DEFAULT), invokes[i].lcid);
        EXPECT_EQ(IdOf(disp, std::wstring(invokes[i].member.begin(), invokes[i].member.end()).c_str()),
                  invokes[i].dispid);
        const bool isPut = kinds[i] == CallKind::Put || kinds[i] == CallKind::PutRef;
        EXPECT_EQ(isPut ? std::vector<DISPID>{DISPID_PROPERTYPUT} : std::vector<DISPID>{}, invokes[i].namedArgs);
        EXPECT_EQ(static_cast<LCID>(LOCALE_USER_DEFAULT), lookups[i].lcid);
        EXPECT_EQ(GetCurrentThreadId(), invokes[i].threadId);
    }
    EXPECT_EQ("Thing.GetIDsOfNames(\"Subject\") -> S_OK", lookups[0].Line());
}

TEST(HostDispatch, CallsOfTheWrongShapeFailWithoutRunningTheHandler)
{
    struct Case
    {
        const char *what;
        const wchar_t *name;
        WORD flags;
        bool namedPut;
        bool withParams;
        IID riid;
        HRESULT expected;
        const char *line;
    };
    const Case cases[] = {
        {"a property called as a method only", L"Subject", DISPATCH_METHOD, false, true, IID_NULL,
         DISP_E_MEMBERNOTFOUND, "Thing.Subject(VT_I4 1) -> DISP_E_MEMBERNOTFOUND"},
        {"a method read as a property", L"Save", DISPATCH_PROPERTYGET, false, true, IID_NULL, DISP_E_MEMBERNOTFOUND,
         "Thing.Save(VT_I4 1) -> DISP_E_MEMBERNOTFOUND"},
        {"a put that does not name its value", L"Subject", DISPATCH_PROPERTYPUT, false, true, IID_NULL,
         DISP_E_PARAMNOTFOUND, "Thing.Subject = VT_I4 1 -> DISP_E_PARAMNOTFOUND"},
        {"a put on a read-only property", L"Class", DISPATCH_PROPERTYPUT, true, true, IID_NULL,
         DISP_E_MEMBERNOTFOUND, "Thing.Class = VT_I4 1 -> DISP_E_MEMBERNOTFOUND"},
        {"an interface other than IID_NULL", L"Save", DISPATCH_METHOD, false, true, IID_IDispatch,
         DISP_E_UNKNOWNINTERFACE, "Thing.Save(VT_I4 1) -> DISP_E_UNKNOWNINTERFACE"},
        {"no DISPPARAMS", L"Save", DISPATCH_METHOD, false, false, IID_NULL, E_INVALIDARG, "Thing.Save() -> E_INVALIDARG"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Thing thing;
        CallLog::Clear();
        Variant one = Variant::I4(1);
        DISPID put = DISPID_PROPERTYPUT;
        DISPPARAMS params = {one.Get(), c.namedPut ? &put : nullptr, 1, c.namedPut ? 1u : 0u};
        Variant result;
        HRESULT hr = thing.object->Invoke(IdOf(thing.object.Get(), c.name), c.riid, LOCALE_SYSTEM_DEFAULT, c.flags,
                                          c.withParams ? &params : nullptr, result.Receive(), nullptr, nullptr);
        EXPECT_EQ(c.expected, hr);
        EXPECT_EQ(VT_EMPTY, result.Type());
        EXPECT_EQ(0, thing.saves);
        EXPECT_EQ(0u, thing.picturePuts.size());
        EXPECT_EQ(Lines{c.line}, CallLog::Lines());
    }
}

TEST(HostDispatch, NamesMatchWithoutCaseAndASwitchedOffMemberIsUnknown)
{
    Thing thing;
    IDispatch *disp = thing.object.Get();
    const DISPID picture = IdOf(disp, L"Picture");
    ASSERT_NE(DISPID_UNKNOWN, picture);
    EXPECT_EQ(picture, IdOf(disp, L"pICTURE"));
    CallLog::Clear();

    DISPID id = 0;
    LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"Nope")};
    EXPECT_EQ(DISP_E_UNKNOWNNAME, disp->GetIDsOfNames(IID_NULL, unknown, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(DISPID_UNKNOWN, id);
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, disp->GetIDsOfNames(IID_IDispatch, unknown, 1, LOCALE_USER_DEFAULT, &id));

    thing.object->SetAvailable("Picture", false);
    Variant value = Variant::I4(1);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, PutByName(disp, L"Picture", DISPATCH_PROPERTYPUT, *value.Get()));
    // A DISPID learnt before the switch no longer reaches the member either.
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params = {value.Get(), &put, 1, 1};
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND,
              disp->Invoke(picture, IID_NULL, LOCALE_SYSTEM_DEFAULT, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr,
                           nullptr));
    EXPECT_TRUE(thing.picturePuts.empty());

    thing.object->SetAvailable("Picture", true);
    EXPECT_EQ(S_OK, PutByName(disp, L"Picture", DISPATCH_PROPERTYPUT, *value.Get()));
    EXPECT_EQ(Lines{"VT_I4 1"}, thing.picturePuts);

    // Failed lookups are kept by the default filter; successful ones are not.
    EXPECT_EQ((Lines{"Thing.GetIDsOfNames(\"Nope\") -> DISP_E_UNKNOWNNAME",
                     "Thing.GetIDsOfNames(\"Nope\") -> DISP_E_UNKNOWNINTERFACE",
                     "Thing.GetIDsOfNames(\"Picture\") -> DISP_E_UNKNOWNNAME",
                     "Thing.Picture = VT_I4 1 -> DISP_E_MEMBERNOTFOUND",
                     "Thing.Picture = VT_I4 1 -> S_OK"}),
              CallLog::Lines());
}

TEST(HostDispatch, CallsMadeInsideAHandlerComeAfterIt)
{
    Thing thing;
    auto outer = Create<DispObject>("Outer");
    IDispatch *inner = thing.object.Get();
    outer->AddMethod("Send", [inner](Invocation &) { return CallByName(inner, L"Save", DISPATCH_METHOD, {}); });
    CallLog::Clear();

    EXPECT_EQ(S_OK, CallByName(outer.Get(), L"send", DISPATCH_METHOD, {}));
    EXPECT_EQ((Lines{"Outer.Send() -> S_OK", "Thing.Save() -> S_OK"}), CallLog::Lines());
    EXPECT_EQ((Lines{"Outer.Send() -> S_OK"}), CallLog::Lines(CallFilter::Of("Outer")));
}

// --- identity and reference counts -------------------------------------------

TEST(HostObject, QueryInterfaceAnswersItsInterfacesAndCountsReferences)
{
    const LONG before = DispObject::LiveObjects();
    Thing thing;
    DispObject *object = thing.object.Get();
    EXPECT_EQ(before + 1, DispObject::LiveObjects());
    EXPECT_EQ(1u, object->RefCount());
    CallLog::Clear();

    void *out = reinterpret_cast<void *>(1);
    ASSERT_EQ(S_OK, object->QueryInterface(IID__MailItem, &out));
    EXPECT_EQ(static_cast<IDispatch *>(object), out);
    EXPECT_EQ(2u, object->RefCount());
    out = reinterpret_cast<void *>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID__Application, &out));
    EXPECT_EQ(nullptr, out);
    out = reinterpret_cast<void *>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(IID_IConnectionPointContainer, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(kUnknownIid, &out));
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(2u, object->RefCount());
    EXPECT_EQ(3u, object->AddRef());
    EXPECT_EQ(2u, object->Release());
    EXPECT_EQ(1u, object->Release());

    EXPECT_EQ((Lines{"Thing.QueryInterface(_MailItem) -> S_OK",
                     "Thing.AddRef -> 2",
                     "Thing.QueryInterface(_Application) -> E_NOINTERFACE",
                     "Thing.QueryInterface(IConnectionPointContainer) -> E_NOINTERFACE",
                     "Thing.QueryInterface({12345678-1234-5678-9ABC-DEF012345678}) -> E_NOINTERFACE",
                     "Thing.QueryInterface(IUnknown) -> E_POINTER",
                     "Thing.AddRef -> 3",
                     "Thing.Release -> 2",
                     "Thing.Release -> 1"}),
              CallLog::Lines(CallFilter::Everything()));
    // The default view leaves the reference counting out.
    EXPECT_EQ(5u, CallLog::Lines().size());

    // A stored object value holds a reference of its own, given back with it.
    auto held = Create<DispObject>("Held");
    Variant value = Variant::Dispatch(held.Get());
    object->SetValue("Subject", *value.Get());
    value.Clear();
    EXPECT_EQ(2u, held->RefCount());
    thing.object.Reset();
    EXPECT_EQ(1u, held->RefCount());
    held.Reset();
    EXPECT_EQ(before, DispObject::LiveObjects());
}

// --- fault injection -----------------------------------------------------------

TEST(HostFaults, AFaultFailsEveryCallOrOnlyTheNthBeforeTheHandlerRuns)
{
    Thing thing;
    IDispatch *disp = thing.object.Get();
    Faults::Fail("Thing", "Save", E_FAIL);
    Faults::FailNth("Thing", "Add", 2, E_ACCESSDENIED);
    Faults::Fail("Thing", "QueryInterface(_MailItem)", E_UNEXPECTED);
    Faults::Fail("Other", "Save", E_FAIL); // another object's calls are not this one's
    CallLog::Clear();

    EXPECT_EQ(E_FAIL, CallByName(disp, L"Save", DISPATCH_METHOD, {}));
    EXPECT_EQ(E_FAIL, CallByName(disp, L"Save", DISPATCH_METHOD, {}));
    EXPECT_EQ(0, thing.saves);
    Variant result;
    EXPECT_EQ(S_OK, CallByName(disp, L"Add", DISPATCH_METHOD, {}, result.Receive()));
    EXPECT_EQ(E_ACCESSDENIED, CallByName(disp, L"Add", DISPATCH_METHOD, {}, result.Receive()));
    EXPECT_EQ(VT_EMPTY, result.Type());
    EXPECT_EQ(S_OK, CallByName(disp, L"Add", DISPATCH_METHOD, {}, result.Receive()));
    EXPECT_EQ(2, thing.adds);
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(E_UNEXPECTED, disp->QueryInterface(IID__MailItem, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(1u, thing.object->RefCount());

    EXPECT_EQ((Lines{"Thing.Save() -> E_FAIL", "Thing.Save() -> E_FAIL", "Thing.Add() -> S_OK",
                     "Thing.Add() -> E_ACCESSDENIED", "Thing.Add() -> S_OK",
                     "Thing.QueryInterface(_MailItem) -> E_UNEXPECTED"}),
              CallLog::Lines());

    Faults::Clear();
    EXPECT_EQ(S_OK, CallByName(disp, L"Save", DISPATCH_METHOD, {}));
    EXPECT_EQ(1, thing.saves);
}

TEST(HostFaults, TheDistinctCallsOfAScenarioDriveASweep)
{
    // A scenario of the kind a sweep runs: connect, read, act, disconnect.
    auto scenario = [](int &saves) {
        Thing thing;
        saves = 0;
        AddEventSource(*thing.object.Get(), DIID_ItemEvents);
        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 0;
        TestSink *sink = new TestSink(DIID_ItemEvents);
        if (SUCCEEDED(thing.object->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid())) &&
            SUCCEEDED(container->FindConnectionPoint(DIID_ItemEvents, point.Receive())))
            point->Advise(sink, &cookie);
        Variant subject;
        CallByName(thing.object.Get(), L"Subject", DISPATCH_PROPERTYGET, {}, subject.Receive());
        CallByName(thing.object.Get(), L"Save", DISPATCH_METHOD, {});
        CallByName(thing.object.Get(), L"Save", DISPATCH_METHOD, {});
        if (point && cookie)
            point->Unadvise(cookie);
        sink->Release();
        saves = thing.saves;
    };

    int saves = 0;
    CallLog::Clear();
    scenario(saves);
    const std::vector<CallSite> sites = CallLog::DistinctCalls();
    const std::vector<CallSite> expected = {{"Thing", "QueryInterface(IConnectionPointContainer)"},
                                            {"Thing", "FindConnectionPoint"},
                                            {"Thing", "Advise"},
                                            {"Thing", "Subject"},
                                            {"Thing", "Save"},
                                            {"Thing", "Unadvise"}};
    ASSERT_EQ(expected.size(), sites.size());
    for (size_t i = 0; i < sites.size(); ++i)
        EXPECT_TRUE(sites[i] == expected[i]) << i << ": " << sites[i].object << "." << sites[i].member;

    for (const CallSite &site : sites) {
        SCOPED_TRACE(site.member);
        Faults::Clear();
        Faults::FailNth(site.object, site.member, 1, E_FAIL);
        CallLog::Clear();
        scenario(saves);
        int failed = 0;
        for (const CallRecord &r : CallLog::Records())
            if (r.object == site.object && r.member == site.member && r.hr == E_FAIL)
                ++failed;
        EXPECT_EQ(1, failed);
        EXPECT_EQ(site.member == "Save" ? 1 : 2, saves);
    }
}

// --- text of the records -------------------------------------------------------

TEST(HostText, ValuesResultsAndInterfacesReadAsInTheLog)
{
    auto object = Create<DispObject>("Any");
    VARIANT_BOOL flag = VARIANT_FALSE;
    struct Case
    {
        Variant value;
        const char *text;
    };
    Case cases[] = {
        {Variant(), "VT_EMPTY"},
        {Variant::I2(-1), "VT_I2 -1"},
        {Variant::I4(2), "VT_I4 2"},
        {Variant::Bool(true), "VT_BOOL -1"},
        {Str("say \"hi\"\r\n"), "VT_BSTR \"say \\\"hi\\\"\\r\\n\""},
        {Variant::Missing(), "missing"},
        {Variant::Dispatch(object.Get()), "VT_DISPATCH"},
        {Variant::Dispatch(nullptr), "VT_DISPATCH null"},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.text, VariantText(*c.value.Get()));
    EXPECT_EQ("VT_BOOL|VT_BYREF 0", VariantText(ByRefBool(&flag)));
    VARIANT error;
    error.vt = VT_ERROR;
    error.scode = E_FAIL;
    EXPECT_EQ("VT_ERROR E_FAIL", VariantText(error));

    EXPECT_EQ("CONNECT_E_NOCONNECTION", HResultText(CONNECT_E_NOCONNECTION));
    EXPECT_EQ("S_FALSE", HResultText(S_FALSE));
    EXPECT_EQ("0x80040119", HResultText(static_cast<HRESULT>(0x80040119)));
    EXPECT_EQ("IConnectionPointContainer", InterfaceName(IID_IConnectionPointContainer));
    EXPECT_EQ("ItemEvents", InterfaceName(DIID_ItemEvents));
    EXPECT_EQ("_CommandBarButtonEvents", InterfaceName(DIID__CommandBarButtonEvents));
    EXPECT_EQ("{12345678-1234-5678-9ABC-DEF012345678}", InterfaceName(kUnknownIid));
}

// --- connection points ---------------------------------------------------------

class HostConnectionPoints : public ::testing::TestWithParam<unsigned>
{
};

TEST_P(HostConnectionPoints, AdviseKeepsTheChosenReferencesAndUnadviseGivesThemBack)
{
    const unsigned kept = GetParam();
    const LONG before = DispObject::LiveObjects();
    auto inspector = Create<DispObject>("Inspector", std::vector<IID>{IID__Inspector});
    EventSource &events = AddEventSource(*inspector.Get(), DIID_InspectorEvents, kept);
    bool firstGone = false, secondGone = false;
    TestSink *first = new TestSink(DIID_InspectorEvents, &firstGone);
    TestSink *second = new TestSink(DIID_InspectorEvents, &secondGone);
    CallLog::Clear();

    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, inspector->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
    EXPECT_EQ(2u, inspector->RefCount());

    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(DIID_ItemEvents, point.Receive()));
    EXPECT_FALSE(point);
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID_InspectorEvents, point.Receive()));
    EXPECT_EQ(static_cast<IConnectionPoint *>(&events), point.Get());
    EXPECT_EQ(3u, inspector->RefCount()); // a counted connection point

    IID iid = IID_NULL;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_TRUE(IsEqualIID(DIID_InspectorEvents, iid));
    ComPtr<IConnectionPointContainer> back;
    EXPECT_EQ(S_OK, point->GetConnectionPointContainer(back.Receive()));
    EXPECT_EQ(container.Get(), back.Get());
    back.Reset();
    IEnumConnections *enumerator = reinterpret_cast<IEnumConnections *>(1);
    EXPECT_EQ(E_NOTIMPL, point->EnumConnections(&enumerator));
    EXPECT_EQ(nullptr, enumerator);

    DWORD cookie1 = 77, cookie2 = 77;
    ASSERT_EQ(S_OK, point->Advise(first, &cookie1));
    EXPECT_EQ(1u, cookie1);
    EXPECT_EQ(1u + kept, first->Count());
    ASSERT_EQ(S_OK, point->Advise(second, &cookie2));
    EXPECT_EQ(2u, cookie2);
    EXPECT_EQ(1u + kept, second->Count());
    EXPECT_EQ((std::vector<DWORD>{1, 2}), events.Cookies());
    DWORD none = 77;
    EXPECT_EQ(E_POINTER, point->Advise(nullptr, &none));
    EXPECT_EQ(0u, none);
    EXPECT_EQ(E_POINTER, point->Advise(first, nullptr));

    ASSERT_EQ(S_OK, point->Unadvise(cookie1));
    EXPECT_EQ(1u, first->Count());
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie1));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(0));
    EXPECT_EQ(1u, first->Count());
    EXPECT_EQ(1u, events.SinkCount());

    EXPECT_EQ((Lines{"Inspector.QueryInterface(IConnectionPointContainer) -> S_OK",
                     "Inspector.FindConnectionPoint(ItemEvents) -> CONNECT_E_NOCONNECTION",
                     "Inspector.FindConnectionPoint(InspectorEvents) -> S_OK",
                     "Inspector.GetConnectionInterface(InspectorEvents) -> S_OK",
                     "Inspector.GetConnectionPointContainer(InspectorEvents) -> S_OK",
                     "Inspector.EnumConnections(InspectorEvents) -> E_NOTIMPL",
                     "Inspector.Advise(InspectorEvents) -> S_OK",
                     "Inspector.Advise(InspectorEvents) -> S_OK",
                     "Inspector.Advise(InspectorEvents) -> E_POINTER",
                     "Inspector.Advise(InspectorEvents) -> E_POINTER",
                     "Inspector.Unadvise(InspectorEvents, 1) -> S_OK",
                     "Inspector.Unadvise(InspectorEvents, 1) -> CONNECT_E_NOCONNECTION",
                     "Inspector.Unadvise(InspectorEvents, 0) -> CONNECT_E_NOCONNECTION"}),
              CallLog::Lines());

    // The last reference to the owner gives back what is still advised.
    point.Reset();
    container.Reset();
    inspector.Reset();
    EXPECT_EQ(before, DispObject::LiveObjects());
    EXPECT_EQ(1u, second->Count());
    first->Release();
    second->Release();
    EXPECT_TRUE(firstGone);
    EXPECT_TRUE(secondGone);
}

INSTANTIATE_TEST_SUITE_P(KeptReferences, HostConnectionPoints, ::testing::Values(1u, 2u));

TEST(HostConnectionPointFaults, EachConnectingStepCanBeMadeToFail)
{
    const char *steps[] = {"QueryInterface(IConnectionPointContainer)", "FindConnectionPoint", "Advise"};
    for (const char *step : steps) {
        SCOPED_TRACE(step);
        Faults::Clear();
        Faults::Fail("Item", step, E_FAIL);
        auto item = Create<DispObject>("Item");
        EventSource &events = AddEventSource(*item.Get(), DIID_ItemEvents);
        TestSink *sink = new TestSink(DIID_ItemEvents);

        ComPtr<IConnectionPointContainer> container;
        ComPtr<IConnectionPoint> point;
        DWORD cookie = 77;
        HRESULT hr = item->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid());
        if (SUCCEEDED(hr))
            hr = container->FindConnectionPoint(DIID_ItemEvents, point.Receive());
        if (SUCCEEDED(hr))
            hr = point->Advise(sink, &cookie);
        EXPECT_EQ(E_FAIL, hr);
        EXPECT_EQ(0u, events.SinkCount());
        EXPECT_EQ(1u, sink->Count());
        if (std::string(step) == "Advise")
            EXPECT_EQ(0u, cookie);
        else
            EXPECT_FALSE(point);
        sink->Release();
    }
}

TEST(HostEvents, FireCallsEachSinkAsOutlookDoesAndHandsBackItsResult)
{
    auto item = Create<DispObject>("Item", std::vector<IID>{IID__MailItem});
    EventSource &events = AddEventSource(*item.Get(), DIID_ItemEvents);
    TestSink *first = new TestSink(DIID_ItemEvents);
    TestSink *second = new TestSink(DIID_ItemEvents);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, events.Advise(first, &cookie));
    ASSERT_EQ(S_OK, events.Advise(second, &cookie));
    // The second sink cancels, as an item sink cancels a Send.
    second->action = [](DISPPARAMS *params, VARIANT *result) {
        *params->rgvarg[0].pboolVal = VARIANT_TRUE;
        result->vt = VT_BOOL;
        result->boolVal = VARIANT_FALSE;
        return S_FALSE;
    };
    CallLog::Clear();

    VARIANT_BOOL cancel = VARIANT_FALSE;
    Variant count = Variant::I4(7);
    Variant result;
    EXPECT_EQ(S_FALSE, events.Fire(0xF005, {*count.Get(), ByRefBool(&cancel)}, result.Receive()));
    EXPECT_EQ(VARIANT_TRUE, cancel);
    EXPECT_EQ("VT_BOOL 0", VariantText(*result.Get()));

    for (TestSink *sink : {first, second}) {
        ASSERT_EQ(1u, sink->received.size());
        const TestSink::Received &r = sink->received[0];
        EXPECT_EQ(0xF005, r.id);
        EXPECT_TRUE(IsEqualIID(IID_NULL, r.riid));
        EXPECT_EQ(0u, r.lcid);
        EXPECT_EQ(DISPATCH_METHOD, r.flags);
        EXPECT_EQ(0u, r.cNamedArgs);
        EXPECT_TRUE(r.hasResult);
        EXPECT_EQ((Lines{"VT_BOOL|VT_BYREF 0", "VT_I4 7"}), r.rgvarg); // reversed
    }
    EXPECT_EQ((Lines{"Item => ItemEvents 0xF005(VT_I4 7, VT_BOOL|VT_BYREF 0) -> S_FALSE"}), CallLog::Lines());

    // A failure of one sink is what the firing reports, whatever follows.
    first->action = [](DISPPARAMS *, VARIANT *) { return E_FAIL; };
    second->action = nullptr;
    EXPECT_EQ(E_FAIL, events.Fire(0xF004));
    EXPECT_EQ(0u, first->received[1].cArgs);

    events.Unadvise(1);
    events.Unadvise(2);
    first->Release();
    second->Release();
    result.Clear();
    EXPECT_EQ(S_OK, events.Fire(0xF004, {}, result.Receive()));
    EXPECT_EQ(VT_EMPTY, result.Type());
}

TEST(HostEvents, ASinkMayUnadviseAndDestroyItselfOrOthersDuringTheFiring)
{
    auto inspector = Create<DispObject>("Inspector");
    EventSource &events = AddEventSource(*inspector.Get(), DIID_InspectorEvents);
    bool aGone = false, bGone = false, cGone = false;
    TestSink *a = new TestSink(DIID_InspectorEvents, &aGone);
    TestSink *b = new TestSink(DIID_InspectorEvents, &bGone);
    TestSink *c = new TestSink(DIID_InspectorEvents, &cGone);
    DWORD ca = 0, cb = 0, cc = 0;
    ASSERT_EQ(S_OK, events.Advise(a, &ca));
    ASSERT_EQ(S_OK, events.Advise(b, &cb));
    ASSERT_EQ(S_OK, events.Advise(c, &cc));
    // a: unadvises itself and drops its last reference inside its own Invoke.
    a->action = [&events, a, ca](DISPPARAMS *, VARIANT *) {
        events.Unadvise(ca);
        a->Release();
        return S_OK;
    };
    // b: unadvises c, whose turn has not come yet.
    b->action = [&events, cc](DISPPARAMS *, VARIANT *) { return events.Unadvise(cc); };

    EXPECT_EQ(S_OK, events.Fire(0xF008));
    EXPECT_TRUE(aGone);
    EXPECT_FALSE(bGone);
    EXPECT_EQ(1u, b->received.size());
    EXPECT_TRUE(c->received.empty());
    EXPECT_EQ(1u, events.SinkCount());

    b->action = nullptr;
    EXPECT_EQ(S_OK, events.Fire(0xF008));
    EXPECT_EQ(2u, b->received.size());
    EXPECT_TRUE(c->received.empty());
    events.Unadvise(cb);
    b->Release();
    c->Release();
    EXPECT_TRUE(bGone);
    EXPECT_TRUE(cGone);
}

TEST(HostEvents, TheOwnerOutlivesAFiringInWhichItsLastReferenceGoes)
{
    const LONG before = DispObject::LiveObjects();
    auto inspector = Create<DispObject>("Inspector");
    EventSource &events = AddEventSource(*inspector.Get(), DIID_InspectorEvents);
    TestSink *sink = new TestSink(DIID_InspectorEvents);
    // The sink holds the connection point, and with it the inspector, as a window's sink does.
    IConnectionPoint *point = nullptr;
    ComPtr<IConnectionPointContainer> container;
    ASSERT_EQ(S_OK, inspector->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID_InspectorEvents, &point));
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, point->Advise(sink, &cookie));
    container.Reset();
    DispObject *raw = inspector.Detach();
    raw->Release(); // now only the connection point's reference keeps it
    EXPECT_EQ(1u, raw->RefCount());

    LONG aliveInside = 0;
    sink->action = [&](DISPPARAMS *, VARIANT *) {
        point->Unadvise(cookie);
        point->Release();
        aliveInside = DispObject::LiveObjects();
        return S_OK;
    };
    EXPECT_EQ(S_OK, events.Fire(0xF008));
    EXPECT_EQ(before + 1, aliveInside);
    EXPECT_EQ(before, DispObject::LiveObjects());
    EXPECT_EQ(1u, sink->Count());
    sink->Release();
}

TEST(HostEvents, MalformedFiringsReachTheSinkAsGiven)
{
    auto button = Create<DispObject>("Button");
    EventSource &events = AddEventSource(*button.Get(), DIID__CommandBarButtonEvents);
    TestSink *sink = new TestSink(DIID__CommandBarButtonEvents);
    DWORD cookie = 0;
    ASSERT_EQ(S_OK, events.Advise(sink, &cookie));
    sink->describeArgs = false;

    Variant one = Variant::I4(1);
    DISPPARAMS tooMany = {one.Get(), nullptr, 5, 0};
    struct Case
    {
        const char *what;
        IID riid;
        WORD flags;
        DISPPARAMS *params;
        UINT cArgs;
    };
    const Case cases[] = {
        {"another riid", IID_IDispatch, DISPATCH_METHOD, nullptr, 0},
        {"no DISPPARAMS", IID_NULL, DISPATCH_METHOD, nullptr, 0},
        {"more arguments claimed than passed", IID_NULL, DISPATCH_METHOD, &tooMany, 5},
        {"property-get flags", IID_NULL, DISPATCH_PROPERTYGET, nullptr, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        sink->received.clear();
        events.FireRaw(1, c.riid, 0x409, c.flags, c.params, nullptr);
        ASSERT_EQ(1u, sink->received.size());
        const TestSink::Received &r = sink->received[0];
        EXPECT_TRUE(IsEqualIID(c.riid, r.riid));
        EXPECT_EQ(0x409u, r.lcid);
        EXPECT_EQ(c.flags, r.flags);
        EXPECT_EQ(c.params != nullptr, r.hasParams);
        EXPECT_EQ(c.cArgs, r.cArgs);
        EXPECT_FALSE(r.hasResult);
    }
    events.Unadvise(cookie);
    sink->Release();
}

// --- the Application -------------------------------------------------------------

TEST(HostApplication, AnswersItsInterfaceItsNameAndItsEvents)
{
    auto app = Create<Application>();
    CallLog::Clear();
    ComPtr<IDispatch> typed;
    EXPECT_EQ(S_OK, app->QueryInterface(IID__Application, typed.ReceiveVoid()));
    EXPECT_EQ(E_NOINTERFACE, app->QueryInterface(IID__MailItem, typed.ReceiveVoid()));
    Variant name;
    EXPECT_EQ(S_OK, CallByName(app.Get(), L"Name", DISPATCH_METHOD | DISPATCH_PROPERTYGET, {}, name.Receive()));
    EXPECT_EQ("VT_BSTR \"Outlook\"", VariantText(*name.Get()));
    ComPtr<IConnectionPointContainer> container;
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(S_OK, app->QueryInterface(IID_IConnectionPointContainer, container.ReceiveVoid()));
    EXPECT_EQ(S_OK, container->FindConnectionPoint(DIID_ApplicationEvents, point.Receive()));
    EXPECT_EQ(static_cast<IConnectionPoint *>(&app->Events()), point.Get());
    EXPECT_EQ((Lines{"Application.QueryInterface(_Application) -> S_OK",
                     "Application.QueryInterface(_MailItem) -> E_NOINTERFACE", "Application.Name -> S_OK",
                     "Application.QueryInterface(IConnectionPointContainer) -> S_OK",
                     "Application.FindConnectionPoint(ApplicationEvents) -> S_OK"}),
              CallLog::Lines());
}

// --- the ribbon's XML ------------------------------------------------------------

namespace {

Lines Controls(const std::vector<RibbonControlXml> &controls)
{
    Lines named;
    for (const RibbonControlXml &control : controls)
        named.push_back(control.type + " " + control.Id());
    return named;
}

Lines Joined(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

TEST(HostRibbonXml, TheAddinsGroupsOnTheTwoMailTabsAreReadAndWhatOfficeRefusesIsNamed)
{
    const std::wstring full = LR"(<?xml version="1.0" encoding="UTF-8"?>
<!-- the add-in's own -->
<customUI xmlns="http://schemas.microsoft.com/office/2009/07/customui" onLoad="OnLoad">
  <ribbon><tabs>
    <tab idMso="TabNewMailMessage">
      <group idMso="GroupClipboard"><button id="NotOurs"/></group>
      <group id="Quorvia">
        <toggleButton id="Track" label="Track &amp; trace &#x263A;" getPressed="GetPressed" onAction="OnTrack"/>
        <menu id="More"><button id="Setup" onAction="OnSetup"/></menu>
      </group>
    </tab>
    <tab idMso="TabMail"><group id="Elsewhere"><button id="Other"/></group></tab>
  </tabs>
  <contextualTabs>
    <tabSet idMso="TabComposeTools"><tab idMso="TabMessage">
      <group id="Inline"><checkBox id="InlineTrack"/></group>
    </tab></tabSet>
    <tabSet idMso="TabSetOther"><tab idMso="TabMessage"><group id="Else"><button id="No"/></group></tab></tabSet>
  </contextualTabs></ribbon>
</customUI>)";
    const std::wstring ns2009 = L"\"http://schemas.microsoft.com/office/2009/07/customui\"";
    struct Case
    {
        const char *what;
        std::wstring xml;
        std::string error; // its beginning; "" when Office takes the document
        Lines compose;
        Lines inlineResponse;
    };
    const Case cases[] = {
        {"the add-in's groups on both tabs", full, "", {"toggleButton Track", "menu More", "button Setup"},
         {"checkBox InlineTrack"}},
        {"Office 2007's namespace under a prefix",
         L"<x:customUI xmlns:x=\"http://schemas.microsoft.com/office/2006/01/customui\"><x:ribbon><x:tabs>"
         L"<x:tab idMso=\"TabNewMailMessage\"><x:group id=\"G\"><x:button id=\"B\"/></x:group></x:tab>"
         L"</x:tabs></x:ribbon></x:customUI>",
         "", {"button B"}, {}},
        {"another namespace", L"<customUI xmlns=\"http://example.com/customui\"/>", "the root is not customUI", {}, {}},
        {"no namespace", L"<customUI><ribbon/></customUI>", "the root is not customUI", {}, {}},
        {"an undeclared prefix", L"<x:customUI/>", "not well-formed: an undeclared prefix x", {}, {}},
        {"a misplaced end tag", L"<customUI xmlns=" + ns2009 + L"><ribbon></tabs></customUI>",
         "not well-formed: </tabs> where </ribbon> belongs", {}, {}},
        {"an entity XML does not define", L"<customUI xmlns=" + ns2009 + L" onLoad=\"&nbsp;\"/>",
         "not well-formed: an unknown entity &nbsp;", {}, {}},
        {"two controls with one id",
         L"<customUI xmlns=" + ns2009 + L"><ribbon><tabs><tab idMso=\"TabNewMailMessage\"><group id=\"G\">"
         L"<button id=\"B\"/><toggleButton id=\"B\"/></group></tab></tabs></ribbon></customUI>",
         "duplicate id B", {}, {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CustomUI ui;
        const std::string error = ReadCustomUI(c.xml, ui);
        EXPECT_EQ(c.error, error.substr(0, c.error.size())) << error;
        EXPECT_EQ(c.error.empty(), error.empty());
        EXPECT_EQ(c.compose, Controls(ui.compose));
        EXPECT_EQ(c.inlineResponse, Controls(ui.inlineResponse));
    }
    CustomUI ui;
    ASSERT_EQ("", ReadCustomUI(full, ui));
    EXPECT_EQ("OnLoad", ui.onLoad);
    EXPECT_EQ("Quorvia", ui.compose[0].group);
    const std::vector<std::pair<std::string, std::string>> track = {
        {"id", "Track"},
        {"label", "Track & trace \xE2\x98\xBA"},
        {"getPressed", "GetPressed"},
        {"onAction", "OnTrack"}};
    EXPECT_EQ(track, ui.compose[0].attributes);
}

// --- Outlook with an add-in that has a ribbon ------------------------------------------

namespace {

const wchar_t kExplorerRibbon[] = L"Microsoft.Outlook.Explorer";
const wchar_t kComposeRibbon[] = L"Microsoft.Outlook.Mail.Compose";

const wchar_t kComposeXml[] = LR"(
<customUI xmlns="http://schemas.microsoft.com/office/2009/07/customui" onLoad="OnLoad">
  <ribbon><tabs><tab idMso="TabNewMailMessage"><group id="Quorvia">
    <toggleButton id="Track" getPressed="GetPressed" getLabel="GetLabel" onAction="OnTrack"/>
    <button id="Setup" tag="setup" label="Setup" imageMso="ControlProperties" getEnabled="GetEnabled"
            onAction="OnSetup"/>
    <button id="Hidden" visible="false" onAction="OnSetup"/>
  </group></tab></tabs></ribbon></customUI>)";

const wchar_t kExplorerXml[] = LR"(
<customUI xmlns="http://schemas.microsoft.com/office/2009/07/customui" onLoad="OnLoad">
  <ribbon><contextualTabs><tabSet idMso="TabComposeTools"><tab idMso="TabMessage"><group id="Quorvia">
    <toggleButton id="InlineTrack" getPressed="GetPressed" onAction="OnTrack"/>
  </group></tab></tabSet></contextualTabs></ribbon></customUI>)";

// An add-in object with a ribbon, as Office meets one: IDTExtensibility2 and
// IRibbonExtensibility on one object, its callbacks by name through IDispatch.
// `heard` keeps what reached it, each callback with rgvarg as received (last
// argument first).
class FakeRibbonAddin final : public IDTExtensibility2, public IRibbonExtensibility
{
public:
    using Callback = std::function<HRESULT(DISPPARAMS *, VARIANT *)>;

    std::map<std::wstring, std::wstring> xml; // by ribbon id; another id gets a null string
    bool hasRibbon = true;
    Lines heard;

    // A callback by name; its DISPID is its place in the list, from 1.
    void On(const std::string &name, Callback callback) { m_callbacks.emplace_back(name, std::move(callback)); }
    void Forget()
    {
        m_callbacks.clear();
        heard.clear();
    }
    ULONG Count() const { return m_cRef; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_IDTExtensibility2))
            *ppv = static_cast<IDTExtensibility2 *>(this);
        else if (hasRibbon && IsEqualIID(riid, IID_IRibbonExtensibility))
            *ppv = static_cast<IRibbonExtensibility *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_cRef; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG count = --m_cRef;
        if (count == 0)
            delete this;
        return count;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT *) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo **) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR *names, UINT count, LCID, DISPID *ids) override
    {
        if (!IsEqualIID(riid, IID_NULL) || count != 1)
            return E_INVALIDARG;
        *ids = DISPID_UNKNOWN;
        for (size_t i = 0; i < m_callbacks.size(); ++i)
            if (m_callbacks[i].first == AnsiFromWide(names[0]))
                *ids = static_cast<DISPID>(i + 1);
        return *ids == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS *params, VARIANT *result,
                                     EXCEPINFO *, UINT *) override
    {
        if (id < 1 || static_cast<size_t>(id) > m_callbacks.size() || flags != DISPATCH_METHOD)
            return DISP_E_MEMBERNOTFOUND;
        std::string line = m_callbacks[id - 1].first + "[";
        for (UINT i = 0; i < params->cArgs; ++i)
            line += (i ? ", " : "") + VariantText(params->rgvarg[i]);
        heard.push_back(line + "]");
        Callback callback = m_callbacks[id - 1].second;
        return callback(params, result);
    }
    HRESULT STDMETHODCALLTYPE OnConnection(IDispatch *, ext_ConnectMode, IDispatch *, SAFEARRAY **) override
    {
        heard.push_back("OnConnection");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnDisconnection(ext_DisconnectMode, SAFEARRAY **) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnAddInsUpdate(SAFEARRAY **) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE OnStartupComplete(SAFEARRAY **) override
    {
        heard.push_back("OnStartupComplete");
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnBeginShutdown(SAFEARRAY **) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE GetCustomUI(BSTR id, BSTR *out) override
    {
        if (!out)
            return E_POINTER;
        heard.push_back("GetCustomUI " + AnsiFromWide(id));
        auto found = xml.find(id);
        *out = found == xml.end() ? nullptr : SysAllocString(found->second.c_str());
        return S_OK;
    }

private:
    ~FakeRibbonAddin() = default;
    ULONG m_cRef = 1;
    std::vector<std::pair<std::string, Callback>> m_callbacks;
};

// The Context a callback's control argument gives: the Inspector or the Explorer.
IDispatch *ContextOf(const VARIANT &control)
{
    Variant context;
    CallByName(control.pdispVal, L"Context", DISPATCH_PROPERTYGET, {}, context.Receive());
    return context.Type() == VT_DISPATCH ? context.Get()->pdispVal : nullptr; // Outlook's own windows stay alive
}

HRESULT Answer(VARIANT *result, bool value)
{
    result->vt = VT_BOOL;
    result->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    return S_OK;
}

// An Outlook with the fake add-in loaded, not started; everything of both let go at the end.
class HostOutlook : public ::testing::Test
{
protected:
    void SetUp() override
    {
        Faults::Clear();
        CallLog::Clear();
        addin = new FakeRibbonAddin;
        Make(Generation::Outlook2016);
    }

    void TearDown() override
    {
        outlook.reset();
        m_playing.reset();
        EXPECT_EQ(1u, addin->Count()); // nothing of the host holds it
        addin->Release();
    }

    void Make(Generation generation)
    {
        outlook.reset();
        m_playing.reset(); // gives back the generation it found before the next one is played
        m_playing = std::make_unique<PlayOutlook>(generation);
        outlook = std::make_unique<Outlook>();
        outlook->Load(addin);
    }

    // A sink of the test on a host source; released by the caller.
    static TestSink *Listen(EventSource &source)
    {
        TestSink *sink = new TestSink(source.Interface());
        DWORD cookie = 0;
        EXPECT_EQ(S_OK, source.Advise(sink, &cookie));
        return sink;
    }

    FakeRibbonAddin *addin = nullptr;
    std::unique_ptr<Outlook> outlook;

private:
    std::unique_ptr<PlayOutlook> m_playing;
};

} // namespace

TEST_F(HostOutlook, OfficeAsksForTheRibbonAfterOnConnectionAndLoadsTheComposeRibbonWithTheFirstComposeWindow)
{
    const Lines opened = {"Inspectors => InspectorsEvents 0xF001(VT_DISPATCH) -> S_OK"};
    const Lines activated = {"Inspector => InspectorEvents 0xF001() -> S_OK"};
    struct Case
    {
        const char *what;
        Generation outlook;
        bool hasRibbon;
        Lines heard;      // by the add-in from Start on, the first window opened
        Lines startCalls; // in the call log, through Start
        Lines openCalls;  // and through the first compose window's Open
    };
    const Case cases[] = {
        {"an add-in with a ribbon", Generation::Outlook2016, true,
         {"OnConnection", "GetCustomUI Microsoft.Outlook.Explorer", "OnLoad[VT_DISPATCH]", "OnStartupComplete",
          "GetCustomUI Microsoft.Outlook.Mail.Compose", "OnLoad[VT_DISPATCH]", "GetPressed[VT_DISPATCH]",
          "GetLabel[VT_DISPATCH]", "GetEnabled[VT_DISPATCH]"},
         {"Ribbon => Addin.QueryInterface(IRibbonExtensibility) -> S_OK",
          "Ribbon => Addin.GetCustomUI(VT_BSTR \"Microsoft.Outlook.Explorer\") -> S_OK",
          "Ribbon => Addin.OnLoad(VT_DISPATCH) -> S_OK"},
         Joined({opened,
                 {"Ribbon => Addin.GetCustomUI(VT_BSTR \"Microsoft.Outlook.Mail.Compose\") -> S_OK",
                  "Ribbon => Addin.OnLoad(VT_DISPATCH) -> S_OK", "Ribbon => Addin.GetPressed(VT_DISPATCH) -> S_OK",
                  "Ribbon => Addin.GetLabel(VT_DISPATCH) -> S_OK", "Ribbon => Addin.GetEnabled(VT_DISPATCH) -> S_OK"},
                 activated})},
        {"an add-in without one", Generation::Outlook2016, false, {"OnConnection", "OnStartupComplete"},
         {"Ribbon => Addin.QueryInterface(IRibbonExtensibility) -> E_NOINTERFACE"}, Joined({opened, activated})},
        {"Outlook 2003, which has no ribbon", Generation::Outlook2003, true, {"OnConnection", "OnStartupComplete"},
         {}, Joined({opened, activated})},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        Make(c.outlook);
        addin->Forget();
        addin->hasRibbon = c.hasRibbon;
        addin->xml = {{kExplorerRibbon, kExplorerXml}, {kComposeRibbon, kComposeXml}};
        std::vector<ComPtr<IDispatch>> ribbons;
        addin->On("OnLoad", [&ribbons](DISPPARAMS *params, VARIANT *) {
            ribbons.push_back(ComPtr<IDispatch>::Borrow(params->rgvarg[0].pdispVal));
            return S_OK;
        });
        addin->On("GetPressed", [](DISPPARAMS *, VARIANT *result) { return Answer(result, false); });
        addin->On("GetEnabled", [](DISPPARAMS *, VARIANT *result) { return Answer(result, true); });
        addin->On("GetLabel", [](DISPPARAMS *, VARIANT *result) {
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(L"Tracking");
            return S_OK;
        });
        CallLog::Clear();
        ASSERT_EQ(S_OK, outlook->Start());
        EXPECT_EQ(c.startCalls, CallLog::Lines());
        CallLog::Clear();
        OutlookWindow &window = outlook->Open();
        EXPECT_EQ(c.openCalls, CallLog::Lines());
        EXPECT_EQ(c.heard, addin->heard);
        // Each ribbon its own IRibbonUI; the control shows what its getters answered.
        ASSERT_EQ(c.hasRibbon && c.outlook == Generation::Outlook2016 ? 2u : 0u, ribbons.size());
        if (!ribbons.empty()) {
            EXPECT_NE(ribbons[0].Get(), ribbons[1].Get());
            ComPtr<IDispatch> typed;
            EXPECT_EQ(S_OK, ribbons[1]->QueryInterface(IID_IRibbonUI, typed.ReceiveVoid()));
            ASSERT_TRUE(outlook->RibbonState(window, "Track"));
            EXPECT_EQ("Tracking", outlook->RibbonState(window, "Track")->label);
            // Outlook and its ribbon each hold the add-in until Outlook lets go.
            EXPECT_EQ(3u, addin->Count());
        }
        ribbons.clear();
        outlook->Quit(Outlook::Shutdown::Fast);
        EXPECT_EQ(1u, outlook->ReleaseAddin());
        EXPECT_TRUE(outlook->Ribbon().Errors().empty());
    }
}

TEST_F(HostOutlook, ComposeControlsShowTheirGettersAnswersPerWindowAndAClickTogglesAndCallsOnAction)
{
    addin->xml = {{kComposeRibbon, kComposeXml}};
    ComPtr<IDispatch> ribbon;
    std::map<IDispatch *, bool> tracked; // the add-in's state, by window
    bool labelAsNumber = false;
    std::vector<std::string> setupSaw;
    addin->On("OnLoad", [&](DISPPARAMS *params, VARIANT *) {
        ribbon = ComPtr<IDispatch>::Borrow(params->rgvarg[0].pdispVal);
        return S_OK;
    });
    addin->On("GetPressed", [&](DISPPARAMS *params, VARIANT *result) {
        return Answer(result, tracked[ContextOf(params->rgvarg[0])]);
    });
    addin->On("GetEnabled", [](DISPPARAMS *, VARIANT *result) { return Answer(result, true); });
    addin->On("GetLabel", [&](DISPPARAMS *, VARIANT *result) {
        if (labelAsNumber) {
            result->vt = VT_I4;
            result->lVal = 7;
        } else {
            result->vt = VT_BSTR;
            result->bstrVal = SysAllocString(L"Tracking");
        }
        return S_OK;
    });
    addin->On("OnTrack", [&](DISPPARAMS *params, VARIANT *) {
        tracked[ContextOf(params->rgvarg[1])] = params->rgvarg[0].boolVal != VARIANT_FALSE;
        Variant id = Str("Track");
        return CallByName(ribbon.Get(), L"InvalidateControl", DISPATCH_METHOD, {*id.Get()});
    });
    addin->On("OnSetup", [&](DISPPARAMS *params, VARIANT *) {
        for (const wchar_t *name : {L"Id", L"Tag"}) {
            Variant value;
            CallByName(params->rgvarg[0].pdispVal, name, DISPATCH_PROPERTYGET, {}, value.Receive());
            setupSaw.push_back(VariantText(*value.Get()));
        }
        return S_OK;
    });
    ASSERT_EQ(S_OK, outlook->Start());
    OutlookWindow &first = outlook->Open();
    OutlookWindow &second = outlook->Open();
    const RibbonControlState *setup = outlook->RibbonState(first, "Setup");
    ASSERT_TRUE(setup && outlook->RibbonState(second, "Hidden"));
    EXPECT_EQ("Setup", setup->label);
    EXPECT_EQ("ControlProperties", setup->imageMso);
    EXPECT_FALSE(outlook->RibbonState(second, "Hidden")->visible);

    // The toggle shows its new state at once; onAction gets pressed first, then the control.
    CallLog::Clear();
    addin->heard.clear();
    EXPECT_EQ(S_OK, outlook->ClickRibbon(first, "Track"));
    EXPECT_EQ(Lines{"OnTrack[VT_BOOL -1, VT_DISPATCH]"}, addin->heard);
    EXPECT_EQ((Lines{"Inspector => InspectorEvents 0xF006() -> S_OK", "Inspector => InspectorEvents 0xF001() -> S_OK",
                     "Ribbon => Addin.OnTrack(VT_DISPATCH, VT_BOOL -1) -> S_OK", "RibbonControl.Context -> S_OK",
                     "ComposeRibbonUI.InvalidateControl(VT_BSTR \"Track\") -> S_OK"}),
              CallLog::Lines());
    EXPECT_TRUE(tracked[&first.Window()]);
    EXPECT_TRUE(outlook->RibbonState(first, "Track")->pressed);
    EXPECT_FALSE(outlook->RibbonState(second, "Track")->pressed);

    // The invalidated control's getters (not the others') run from Outlook's loop, in every window of that ribbon.
    addin->heard.clear();
    Outlook::Idle();
    EXPECT_EQ((Lines{"GetPressed[VT_DISPATCH]", "GetLabel[VT_DISPATCH]", "GetPressed[VT_DISPATCH]",
                     "GetLabel[VT_DISPATCH]"}),
              addin->heard);
    EXPECT_TRUE(outlook->RibbonState(first, "Track")->pressed);
    EXPECT_FALSE(outlook->RibbonState(second, "Track")->pressed);

    // A button's onAction gets the control alone; what cannot be clicked is refused.
    addin->heard.clear();
    EXPECT_EQ(S_OK, outlook->ClickRibbon(second, "Setup"));
    EXPECT_EQ(Lines{"OnSetup[VT_DISPATCH]"}, addin->heard);
    EXPECT_EQ((Lines{"VT_BSTR \"Setup\"", "VT_BSTR \"setup\""}), setupSaw);
    EXPECT_EQ(E_ACCESSDENIED, outlook->ClickRibbon(second, "Hidden"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), outlook->ClickRibbon(second, "Nope"));
    Variant nope = Str("Nope");
    EXPECT_EQ(E_INVALIDARG, CallByName(ribbon.Get(), L"InvalidateControl", DISPATCH_METHOD, {*nope.Get()}));

    // Invalidate: every getter of every window; an answer of the wrong type changes nothing and is reported.
    labelAsNumber = true;
    addin->heard.clear();
    EXPECT_EQ(S_OK, CallByName(ribbon.Get(), L"Invalidate", DISPATCH_METHOD, {}));
    EXPECT_TRUE(addin->heard.empty());
    Outlook::Idle();
    EXPECT_EQ(6u, addin->heard.size());
    EXPECT_EQ("Tracking", outlook->RibbonState(first, "Track")->label);
    EXPECT_EQ((std::vector<std::string>{"GetLabel for Track answered VT_I4 7", "GetLabel for Track answered VT_I4 7"}),
              outlook->Ribbon().Errors());

    // A closed window's controls are gone with it.
    EXPECT_TRUE(outlook->Close(second));
    EXPECT_EQ(nullptr, outlook->RibbonState(second, "Track"));
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), outlook->ClickRibbon(second, "Track"));
    ribbon.Reset();
}

TEST_F(HostOutlook, ExplorersComeAndGoAndAnInlineReplyHasNoInspectorButTheExplorersRibbonTab)
{
    addin->xml = {{kExplorerRibbon, kExplorerXml}};
    IDispatch *actionContext = nullptr;
    addin->On("GetPressed", [](DISPPARAMS *, VARIANT *result) { return Answer(result, false); });
    addin->On("OnTrack", [&](DISPPARAMS *params, VARIANT *) {
        actionContext = ContextOf(params->rgvarg[1]);
        return S_OK;
    });
    ASSERT_EQ(S_OK, outlook->Start());
    Application &app = outlook->App();
    Explorer &main = outlook->MainExplorer();

    // Outlook starts with its main window: Explorers(1), ActiveExplorer, a real window.
    Variant explorers, count, item, active;
    ASSERT_EQ(S_OK, CallByName(&app, L"Explorers", DISPATCH_PROPERTYGET, {}, explorers.Receive()));
    IDispatch *collection = explorers.Get()->pdispVal;
    EXPECT_EQ(S_OK, CallByName(collection, L"Count", DISPATCH_PROPERTYGET, {}, count.Receive()));
    EXPECT_EQ("VT_I4 1", VariantText(*count.Get()));
    Variant one = Variant::I4(1);
    EXPECT_EQ(S_OK, CallByName(collection, L"Item", DISPATCH_METHOD, {*one.Get()}, item.Receive()));
    EXPECT_EQ(static_cast<IDispatch *>(&main), item.Get()->pdispVal);
    EXPECT_EQ(S_OK, CallByName(&app, L"ActiveExplorer", DISPATCH_METHOD, {}, active.Receive()));
    EXPECT_EQ(static_cast<IDispatch *>(&main), active.Get()->pdispVal);
    ComPtr<IOleWindow> window;
    HWND hwnd = nullptr;
    ASSERT_EQ(S_OK, main.QueryInterface(IID_IOleWindow, window.ReceiveVoid()));
    EXPECT_EQ(S_OK, window->GetWindow(&hwnd));
    EXPECT_TRUE(hwnd && hwnd == main.Hwnd() && IsWindowVisible(hwnd));

    // A reply in the reading pane: InlineResponse with the item, which is already
    // ActiveInlineResponse, and no Inspector at all.
    TestSink *inspectors = Listen(app.InspectorsCollection().Events());
    TestSink *mainEvents = Listen(main.Events());
    Variant duringEvent;
    mainEvents->action = [&](DISPPARAMS *, VARIANT *) {
        return CallByName(&main, L"ActiveInlineResponse", DISPATCH_PROPERTYGET, {}, duringEvent.Receive());
    };
    ComposedItem *reply = outlook->ReplyInline(main);
    ASSERT_TRUE(reply);
    EXPECT_EQ(nullptr, outlook->ReplyInline(main)); // one at a time
    ASSERT_EQ(1u, mainEvents->received.size());
    EXPECT_EQ(static_cast<DISPID>(0xFC92), mainEvents->received[0].id);
    EXPECT_EQ(Lines{"VT_DISPATCH"}, mainEvents->received[0].rgvarg);
    EXPECT_EQ(reply->ItemDispatch(), duringEvent.Get()->pdispVal);
    EXPECT_TRUE(inspectors->received.empty());
    CallLog::Clear();
    Variant none;
    EXPECT_EQ(E_FAIL, CallByName(reply->ItemDispatch(), L"GetInspector", DISPATCH_PROPERTYGET, {}, none.Receive()));
    EXPECT_EQ(Lines{"MailItem.GetInspector -> E_FAIL"}, CallLog::Lines());

    // Its tab shows the explorer's controls, whose Context is the Explorer.
    ASSERT_TRUE(outlook->RibbonState(main, "InlineTrack"));
    EXPECT_EQ(S_OK, outlook->ClickRibbon(main, "InlineTrack"));
    EXPECT_EQ(static_cast<IDispatch *>(&main), actionContext);
    EXPECT_TRUE(outlook->RibbonState(main, "InlineTrack")->pressed);

    // Discarded: ActiveInlineResponse is Nothing by the time InlineResponseClose fires; nothing went out.
    EXPECT_TRUE(outlook->DiscardInline(main));
    EXPECT_FALSE(outlook->DiscardInline(main));
    ASSERT_EQ(2u, mainEvents->received.size());
    EXPECT_EQ(static_cast<DISPID>(0xFC96), mainEvents->received[1].id);
    EXPECT_EQ(0u, mainEvents->received[1].cArgs);
    EXPECT_EQ("VT_DISPATCH null", VariantText(*duringEvent.Get()));
    EXPECT_FALSE(reply->Item().IsSent());
    EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_NOT_FOUND), outlook->ClickRibbon(main, "InlineTrack"));

    // Another main window: NewExplorer, and it is the active one until it closes.
    TestSink *newExplorers = Listen(app.ExplorersCollection().Events());
    Explorer &other = outlook->OpenExplorer();
    ASSERT_EQ(1u, newExplorers->received.size());
    EXPECT_EQ(static_cast<DISPID>(0xF001), newExplorers->received[0].id);
    EXPECT_EQ(Lines{"VT_DISPATCH"}, newExplorers->received[0].rgvarg);
    EXPECT_EQ(&other, app.ActiveExplorerObject());
    TestSink *otherEvents = Listen(other.Events());
    EXPECT_TRUE(outlook->CloseExplorer(other));
    EXPECT_FALSE(outlook->CloseExplorer(other));
    ASSERT_EQ(1u, otherEvents->received.size());
    EXPECT_EQ(static_cast<DISPID>(0xF008), otherEvents->received[0].id);
    EXPECT_EQ(1u, app.ExplorersCollection().Open().size());
    EXPECT_EQ(&main, app.ActiveExplorerObject());
    EXPECT_EQ(nullptr, other.Hwnd());

    outlook->Quit(Outlook::Shutdown::Fast);
    EXPECT_EQ(static_cast<DISPID>(0xF008), mainEvents->received.back().id);
    for (TestSink *sink : {inspectors, mainEvents, newExplorers, otherEvents})
        sink->Release();
}

// ItemSend for every send today's Outlook makes, after the item's Send unless
// told otherwise; either one's Cancel stops the send. Outlook 2003 reads
// ItemSend's result, as it does the item's Send.
TEST_F(HostOutlook, ItemSendFiresForEverySendInTheOrderChosenAndCancels)
{
    enum Cancel
    {
        Nobody,
        ItemCancel,   // the item's sink sets Cancel
        ItemSendArg,  // the Application's sink sets ItemSend's Cancel
        ItemSendFalse // the Application's sink answers VT_BOOL FALSE
    };
    enum Path
    {
        Window,
        Inline,
        Program,
    };
    const std::string send = "MailItem => ItemEvents 0xF005(VT_BOOL|VT_BYREF 0) -> S_OK";
    const std::string itemSend = "Application => ApplicationEvents 0xF002(VT_DISPATCH, VT_BOOL|VT_BYREF 0) -> S_OK";
    struct Case
    {
        const char *what;
        Generation outlook;
        bool itemSendFirst;
        Cancel cancel;
        Lines events;
        bool sent;
    };
    const Case cases[] = {
        {"nobody cancels", Generation::Outlook2016, false, Nobody, {send, itemSend}, true},
        {"a cancelled Send: no ItemSend", Generation::Outlook2016, false, ItemCancel, {send}, false},
        {"ItemSend cancels", Generation::Outlook2016, false, ItemSendArg, {send, itemSend}, false},
        {"ItemSend's result is not read", Generation::Outlook2016, false, ItemSendFalse, {send, itemSend}, true},
        {"ItemSend first", Generation::Outlook2016, true, Nobody, {itemSend, send}, true},
        {"ItemSend first cancels: no Send", Generation::Outlook2016, true, ItemSendArg, {itemSend}, false},
        {"ItemSend first, then Send cancels", Generation::Outlook2016, true, ItemCancel, {itemSend, send}, false},
        {"2003: ItemSend's result cancels", Generation::Outlook2003, false, ItemSendFalse, {send, itemSend}, false},
        {"2003: its Cancel is not read", Generation::Outlook2003, false, ItemSendArg, {send, itemSend}, true},
    };
    for (const Case &c : cases) {
        for (Path path : {Window, Inline, Program}) {
            const char *const paths[] = {", window", ", inline", ", program"};
            SCOPED_TRACE(std::string(c.what) + paths[path]);
            Make(c.outlook);
            outlook->SetItemSendFirst(c.itemSendFirst);
            Explorer &main = outlook->MainExplorer();
            OutlookWindow *window = nullptr;
            ComposedItem *made = nullptr;
            if (path == Window) {
                window = &outlook->Open();
            } else if (path == Inline) {
                made = outlook->ReplyInline(main);
                EXPECT_EQ(c.outlook == Generation::Outlook2003, made == nullptr);
                if (!made)
                    continue; // no inline responses in Outlook 2003
            } else {
                made = &outlook->CreateItem();
            }
            MailItem &item = window ? window->Item() : made->Item();
            TestSink *itemSink = Listen(item.Events());
            TestSink *appSink = Listen(outlook->App().Events());
            bool itemPassed = false;
            itemSink->action = [&c](DISPPARAMS *params, VARIANT *) {
                if (c.cancel == ItemCancel)
                    *params->rgvarg[0].pboolVal = VARIANT_TRUE;
                return S_OK;
            };
            appSink->action = [&](DISPPARAMS *params, VARIANT *result) {
                itemPassed = params->cArgs == 2 && params->rgvarg[1].pdispVal == static_cast<IDispatch *>(&item);
                if (c.cancel == ItemSendArg)
                    *params->rgvarg[0].pboolVal = VARIANT_TRUE;
                if (c.cancel == ItemSendFalse)
                    Answer(result, false);
                return S_OK;
            };
            CallLog::Clear();
            const bool sent = path == Window   ? outlook->Send(*window)
                              : path == Inline ? outlook->SendInline(main)
                                               : outlook->SendItem(*made);
            EXPECT_EQ(c.sent, sent);
            EXPECT_EQ(c.sent, item.IsSent());
            Lines expected = c.events;
            if (c.sent && path == Window)
                expected.push_back("Inspector => InspectorEvents 0xF008() -> S_OK");
            if (c.sent && path == Inline)
                expected.push_back("Explorer => ExplorerEvents_10 0xFC96() -> S_OK");
            EXPECT_EQ(expected, CallLog::Lines());
            EXPECT_EQ(std::find(c.events.begin(), c.events.end(), itemSend) != c.events.end(), itemPassed);
            // A send that did not go out leaves the window or the inline response as it was.
            if (window) {
                EXPECT_EQ(!c.sent, window->IsOpen());
            }
            if (path == Inline) {
                EXPECT_EQ(!c.sent, main.InlineResponse() == made);
            }
            itemSink->Release();
            appSink->Release();
        }
    }
}

// --- the dialog robot ------------------------------------------------------------

TEST(HostDialogRobot, AnswersAScriptedMessageBoxAndRecordsWhatItShowed)
{
    HWND owner = CreateWindowA("STATIC", "owner", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(owner);
    DialogRobot robot;
    robot.Expect("Quorvia", IDNO);
    EXPECT_EQ(IDNO, MessageBoxA(owner, "Send without tracking?", "Quorvia", MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ((Lines{"\"Quorvia\" \"Send without tracking?\" MB_YESNO|MB_ICONQUESTION -> IDNO"}), robot.Lines());
    ASSERT_EQ(1u, robot.Dialogs().size());
    const DialogRecord box = robot.Dialogs()[0];
    EXPECT_EQ(owner, box.owner);
    EXPECT_EQ(GetCurrentThreadId(), box.threadId);
    EXPECT_EQ(static_cast<UINT>(MB_YESNO), box.buttons);
    EXPECT_EQ(static_cast<UINT>(MB_ICONQUESTION), box.icon);
    EXPECT_TRUE(robot.Unexpected().empty());
    EXPECT_EQ(0u, robot.Pending());
    DestroyWindow(owner);
}

TEST(HostDialogRobot, DismissesAndReportsBoxesNobodyExpected)
{
    struct Case
    {
        UINT style;
        int dismissal;
        const char *line;
    };
    const Case cases[] = {
        {MB_OK | MB_ICONWARNING, IDOK, "\"Other\" \"text\" MB_OK|MB_ICONWARNING -> IDOK (unexpected)"},
        {MB_YESNO | MB_ICONERROR, IDNO, "\"Other\" \"text\" MB_YESNO|MB_ICONERROR -> IDNO (unexpected)"},
        {MB_YESNOCANCEL | MB_ICONINFORMATION, IDCANCEL,
         "\"Other\" \"text\" MB_YESNOCANCEL|MB_ICONINFORMATION -> IDCANCEL (unexpected)"},
        {MB_OKCANCEL, IDCANCEL, "\"Other\" \"text\" MB_OKCANCEL -> IDCANCEL (unexpected)"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        DialogRobot robot;
        robot.Expect("Quorvia", IDYES); // a box with another caption does not meet it
        EXPECT_EQ(c.dismissal, MessageBoxA(nullptr, "text", "Other", c.style));
        EXPECT_EQ(Lines{c.line}, robot.Lines());
        EXPECT_EQ(1u, robot.Unexpected().size());
        EXPECT_EQ(1u, robot.Pending());
    }
}

namespace {

// A dialog template in memory: an edit control and Ok/Cancel, as a custom dialog has.
std::vector<WORD> AccountDialogTemplate()
{
    std::vector<WORD> t;
    auto dword = [&t](DWORD v) {
        t.push_back(LOWORD(v));
        t.push_back(HIWORD(v));
    };
    auto text = [&t](const wchar_t *s) {
        do
            t.push_back(*s);
        while (*s++);
    };
    auto align = [&t] {
        if (t.size() % 2)
            t.push_back(0);
    };
    auto item = [&](DWORD style, short x, short y, short cx, short cy, WORD id, WORD cls, const wchar_t *title) {
        align();
        dword(style | WS_CHILD | WS_VISIBLE);
        dword(0);
        t.insert(t.end(), {WORD(x), WORD(y), WORD(cx), WORD(cy), id, 0xFFFF, cls});
        text(title);
        t.push_back(0);
    };
    dword(DS_MODALFRAME | WS_POPUP | WS_CAPTION | WS_VISIBLE);
    dword(0);
    t.insert(t.end(), {3, 0, 0, 200, 80, 0, 0}); // items, x, y, cx, cy, no menu, default class
    text(L"Account");
    item(ES_AUTOHSCROLL | WS_BORDER, 10, 10, 180, 14, 1001, 0x0081, L"");
    item(BS_DEFPUSHBUTTON, 40, 50, 50, 14, IDOK, 0x0080, L"OK");
    item(BS_PUSHBUTTON, 110, 50, 50, 14, IDCANCEL, 0x0080, L"Cancel");
    return t;
}

std::string g_enteredText;

INT_PTR CALLBACK AccountDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    if (message == WM_INITDIALOG)
        return TRUE;
    if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
        char buffer[128] = "";
        GetDlgItemTextA(dialog, 1001, buffer, sizeof buffer);
        g_enteredText = buffer;
        EndDialog(dialog, LOWORD(wParam));
        return TRUE;
    }
    return FALSE;
}

} // namespace

TEST(HostDialogRobot, AHandlerFillsACustomDialogAndPressesItsButton)
{
    std::vector<WORD> dialogTemplate = AccountDialogTemplate();
    // DWORD alignment for the template.
    std::vector<DWORD> aligned((dialogTemplate.size() + 1) / 2);
    memcpy(aligned.data(), dialogTemplate.data(), dialogTemplate.size() * sizeof(WORD));

    DialogRobot robot;
    robot.Expect("Account", [](HWND dialog) {
        SetDlgItemTextA(dialog, 1001, "me@example.com");
        return IDOK;
    });
    INT_PTR result = DialogBoxIndirectParamA(GetModuleHandleA(nullptr),
                                             reinterpret_cast<LPCDLGTEMPLATEA>(aligned.data()), nullptr,
                                             AccountDialogProc, 0);
    EXPECT_EQ(IDOK, result);
    EXPECT_EQ("me@example.com", g_enteredText);
    EXPECT_EQ((Lines{"\"Account\" \"\" MB_OKCANCEL -> IDOK"}), robot.Lines());
}

TEST(HostDialogRobot, AnswersABoxShownByAnotherThread)
{
    DialogRobot robot;
    robot.Expect("Quorvia", IDOK);
    int answer = 0;
    DWORD workerId = 0;
    std::thread worker([&] {
        workerId = GetCurrentThreadId();
        answer = MessageBoxA(nullptr, "The service cannot be reached.", "Quorvia", MB_OKCANCEL | MB_ICONWARNING);
    });
    worker.join();
    EXPECT_EQ(IDOK, answer);
    ASSERT_EQ(1u, robot.Dialogs().size());
    EXPECT_EQ(workerId, robot.Dialogs()[0].threadId);
    EXPECT_EQ((Lines{"\"Quorvia\" \"The service cannot be reached.\" MB_OKCANCEL|MB_ICONWARNING -> IDOK"}),
              robot.Lines());
}

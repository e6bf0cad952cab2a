// The event sinks' shared mechanics (connecting, the last Release, the failed
// connections, IUnknown and IDispatch answers), the application events sink,
// and the by-name property helpers, against the stand-in host. Each case states
// the exact log lines, host calls and HRESULTs it expects.
#include "addin/Globals.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "events/ApplicationEventHandler.h"
#include "com/DispProperty.h"
#include "events/EventSink.h"
#include "events/ItemHandler.h"
#include "host/Application.h"
#include "host/CallLog.h"
#include "host/ConnectionPoints.h"
#include "host/DispObject.h"
#include "host/Faults.h"
#include "host/MapiMessage.h"
#include "host/Text.h"
#include "log/DebugLog.h"
#include "tracking/MailItem.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

using namespace host;
using test::Lines;
using test::LogTail;

namespace {

std::string Count(const char *className, const char *what, int count)
{
    return std::string(className) + "::" + what + " : count=" + std::to_string(count);
}

std::string Step(const char *className, const char *what)
{
    return std::string(className) + "::" + what;
}

Lines Concat(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// An event source as the test arranges it: the object the sink is given, with
// a MAPIOBJECT (a CMailItem needs one) and, when asked, a connection point.
ComPtr<DispObject> MakeSource(const IID *events, unsigned keptReferences)
{
    ComPtr<DispObject> source = Create<DispObject>("Source", std::vector<IID>{IID__MailItem, IID__Application});
    std::shared_ptr<MapiMessage> message(Create<MapiMessage>().Detach(), [](MapiMessage *m) { m->Release(); });
    source->AddProperty("MAPIOBJECT", [message](Invocation &call) {
        call.Result()->vt = VT_UNKNOWN;
        call.Result()->punkVal = static_cast<IMessage *>(message.get());
        message->AddRef();
        return S_OK;
    });
    if (events)
        AddEventSource(*source.Get(), *events, keptReferences);
    return source;
}

// One of the loop-form sinks, created over a source, and its owner's release.
struct SinkKind
{
    const char *className;
    const IID *events;
    bool logsLifetime;      // constructor and destructor lines with g_lMyObjects
    bool logsTypeInfo;      // GetTypeInfoCount, GetTypeInfo, GetIDsOfNames lines
    bool releaseIgnoresZero;
};

const SinkKind kApplicationSink = {"CApplicationEventHandler", &DIID_ApplicationEvents, false, false, true};
const SinkKind kItemSink = {"CItemHandler", &DIID_ItemEvents, true, true, false};
const SinkKind kLoopFormSinks[] = {kApplicationSink, kItemSink};

// A loop-form sink over a source. The item sink's tracked item is made first,
// so that Connect() covers the sink alone.
class SinkUnderTest
{
public:
    SinkUnderTest(const SinkKind &kind, DispObject &source) : m_kind(kind), m_source(source)
    {
        if (kind.events == &DIID_ItemEvents)
            m_tracked = new CMailItem(&source, nullptr, nullptr);
    }
    SinkUnderTest(const SinkUnderTest &) = delete;
    SinkUnderTest &operator=(const SinkUnderTest &) = delete;
    ~SinkUnderTest()
    {
        if (m_sink)
            ADD_FAILURE() << m_kind.className << " was not released by the test";
        if (m_tracked)
            m_tracked->Release();
    }

    void Connect()
    {
        if (m_tracked)
            m_sink = new CItemHandler(m_tracked);
        else
            m_sink = new CApplicationEventHandler(&m_source, nullptr);
    }
    CEventSink *operator->() const { return m_sink; }
    CEventSink *Get() const { return m_sink; }
    // The owner's last Release; the sink must be gone afterwards.
    ULONG ReleaseLast()
    {
        ULONG count = m_sink->Release();
        m_sink = nullptr;
        return count;
    }
    // A sink left at count 0 by a failed connection: taken and given back once.
    void ReleaseUnconnected()
    {
        m_sink->AddRef();
        ReleaseLast();
    }

private:
    const SinkKind &m_kind;
    DispObject &m_source;
    CMailItem *m_tracked = nullptr;
    CEventSink *m_sink = nullptr;
};

Lines ConstructorLines(const SinkKind &kind, long objectsAfter)
{
    if (!kind.logsLifetime)
        return {};
    return {std::string(kind.className) + ", g_lMyObjects=" + std::to_string(objectsAfter)};
}

Lines DestructorLines(const SinkKind &kind, long objectsAfter)
{
    if (!kind.logsLifetime)
        return {};
    return {std::string("~") + kind.className + ", g_lMyObjects=" + std::to_string(objectsAfter)};
}

std::string EventsName(const SinkKind &kind)
{
    return InterfaceName(*kind.events);
}

class EventSinkTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        CallLog::Clear();
        Faults::Clear();
    }
    void TearDown() override { Faults::Clear(); }
};

} // namespace

// --- connecting and the last Release -------------------------------------------------

TEST_F(EventSinkTest, LoopFormEndsConnectedAtCountOneAndTheLastReleaseDisconnectsFirst)
{
    for (const SinkKind &kind : kLoopFormSinks) {
        for (unsigned kept : {1u, 2u}) {
            SCOPED_TRACE(std::string(kind.className) + ", connection point keeping " + std::to_string(kept));
            ComPtr<DispObject> source = MakeSource(kind.events, kept);
            EventSource &events = *ConnectionPoints::Of(*source.Get()).Source(*kind.events);
            SinkUnderTest sink(kind, *source.Get());
            const ULONG sourceRefs = source->RefCount();
            const long objects = g_lMyObjects;
            CallLog::Clear();
            LogTail log;

            sink.Connect();
            EXPECT_EQ(objects + 1, g_lMyObjects);
            Lines connect = {Step(kind.className, "SinkEvents"), Count(kind.className, "AddRef", 1)};
            for (unsigned i = 1; i <= kept; ++i)
                connect.push_back(Count(kind.className, "AddRef", 1 + i));
            for (unsigned i = kept; i >= 1; --i)
                connect.push_back(Count(kind.className, "Release", i));
            EXPECT_EQ(Concat({ConstructorLines(kind, objects + 1), connect}), log.Read());
            EXPECT_EQ(1u, sink->RefCount());
            EXPECT_TRUE(sink->IsConnected());
            EXPECT_EQ(1u, events.SinkCount());
            EXPECT_EQ(std::vector<DWORD>{1}, events.Cookies());
            // The connection point is held; the container and the source are not.
            EXPECT_EQ(sourceRefs + 1, source->RefCount());
            const std::string names = EventsName(kind);
            EXPECT_EQ((Lines{"Source.QueryInterface(IConnectionPointContainer) -> S_OK",
                             "Source.FindConnectionPoint(" + names + ") -> S_OK",
                             "Source.Advise(" + names + ") -> S_OK"}),
                      CallLog::Lines());

            CallLog::Clear();
            LogTail last;
            EXPECT_EQ(0u, sink.ReleaseLast());
            // The connection point gives back during Unadvise what it kept.
            Lines release = {Step(kind.className, "FreeEvents")};
            for (unsigned i = 1; i <= kept; ++i)
                release.push_back(Count(kind.className, "AddRef", 1 + i));
            for (unsigned i = kept; i >= 1; --i)
                release.push_back(Count(kind.className, "Release", i));
            release.push_back(Count(kind.className, "Release", 0));
            EXPECT_EQ(Concat({release, DestructorLines(kind, objects)}), last.Read());
            EXPECT_EQ(objects, g_lMyObjects);
            EXPECT_EQ(0u, events.SinkCount());
            EXPECT_EQ((Lines{"Source.Unadvise(" + names + ", 1) -> S_OK"}), CallLog::Lines());
            EXPECT_EQ(sourceRefs, source->RefCount());
        }
    }
}

TEST_F(EventSinkTest, FailedConnectionsAreSilentAndLeaveTheirCounts)
{
    struct Case
    {
        const char *what;
        bool hasContainer;
        bool adviseFails;
        ULONG countAfter;
        Lines sourceCalls;
    };
    const IID otherEvents = DIID_InspectorEvents;
    for (const SinkKind &kind : kLoopFormSinks) {
        const std::string names = EventsName(kind);
        const Case cases[] = {
            {"no connection-point container", false, false, 0,
             {"Source.QueryInterface(IConnectionPointContainer) -> E_NOINTERFACE"}},
            {"no connection point for the events", true, false, 0,
             {"Source.QueryInterface(IConnectionPointContainer) -> S_OK",
              "Source.FindConnectionPoint(" + names + ") -> CONNECT_E_NOCONNECTION"}},
            {"Advise failing", true, true, 1,
             {"Source.QueryInterface(IConnectionPointContainer) -> S_OK",
              "Source.FindConnectionPoint(" + names + ") -> S_OK", "Source.Advise(" + names + ") -> E_FAIL"}},
        };
        for (const Case &c : cases) {
            SCOPED_TRACE(std::string(kind.className) + ", " + c.what);
            // Without its own events the source may still offer others.
            const IID *offered = !c.hasContainer ? nullptr : c.adviseFails ? kind.events : &otherEvents;
            ComPtr<DispObject> source = MakeSource(offered, 1);
            SinkUnderTest sink(kind, *source.Get());
            const ULONG sourceRefs = source->RefCount();
            if (c.adviseFails)
                Faults::Fail("Source", "Advise", E_FAIL);
            const long objects = g_lMyObjects;
            CallLog::Clear();
            LogTail log;

            sink.Connect();
            Lines connect = {Step(kind.className, "SinkEvents")};
            if (c.adviseFails)
                connect.push_back(Count(kind.className, "AddRef", 1));
            EXPECT_EQ(Concat({ConstructorLines(kind, objects + 1), connect}), log.Read());
            EXPECT_EQ(c.countAfter, sink->RefCount());
            EXPECT_EQ(c.adviseFails, sink->IsConnected());
            EXPECT_EQ(c.sourceCalls, CallLog::Lines());
            // Of the source, a failed connection holds at most the connection point it found.
            EXPECT_EQ(sourceRefs + (c.adviseFails ? 1 : 0), source->RefCount());

            CallLog::Clear();
            LogTail last;
            Lines release;
            if (c.countAfter == 0) {
                if (kind.releaseIgnoresZero) {
                    // The owner's Release of a sink that never connected: nothing happens.
                    EXPECT_EQ(0u, sink->Release());
                    EXPECT_EQ(Lines{}, last.Read());
                    EXPECT_EQ(objects + 1, g_lMyObjects);
                }
                sink.ReleaseUnconnected();
                release = {Count(kind.className, "AddRef", 1), Step(kind.className, "FreeEvents"),
                           Count(kind.className, "Release", 0)};
            } else {
                // Nothing holds the sink but its owner: the one Release destroys it.
                EXPECT_EQ(0u, sink.ReleaseLast());
                release = {Step(kind.className, "FreeEvents"), Count(kind.className, "Release", 0)};
            }
            EXPECT_EQ(Concat({release, DestructorLines(kind, objects)}), last.Read());
            EXPECT_EQ(objects, g_lMyObjects);
            // Nothing was advised, so nothing is unadvised.
            EXPECT_EQ(Lines{}, CallLog::Lines());
            EXPECT_EQ(sourceRefs, source->RefCount());
        }
    }
}

TEST_F(EventSinkTest, ItemSinkWithoutAMailItemRaisesAndUndoesItsCount)
{
    const long objects = g_lMyObjects;
    LogTail log;
    HRESULT raised = S_OK;
    try {
        new CItemHandler(nullptr);
    } catch (const ComError &e) {
        raised = e.hr;
    }
    EXPECT_EQ(E_POINTER, raised);
    EXPECT_EQ(objects, g_lMyObjects);
    EXPECT_EQ((Lines{"CItemHandler, g_lMyObjects=" + std::to_string(objects + 1), "CItemHandler::SinkEvents",
                     "~CItemHandler, g_lMyObjects=" + std::to_string(objects)}),
              log.Read());
}

// --- IUnknown and IDispatch -------------------------------------------------------------

TEST_F(EventSinkTest, QueryInterfaceAnswersTheEventsIUnknownAndIDispatchOnly)
{
    for (const SinkKind &kind : kLoopFormSinks) {
        SCOPED_TRACE(kind.className);
        ComPtr<DispObject> source = MakeSource(kind.events, 1);
        SinkUnderTest sink(kind, *source.Get());
        sink.Connect();
        ASSERT_EQ(1u, sink->RefCount());
        LogTail log;

        EXPECT_EQ(E_POINTER, sink->QueryInterface(IID_IUnknown, nullptr));
        void *out = reinterpret_cast<void *>(1);
        EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(IID_IClassFactory, &out));
        EXPECT_EQ(nullptr, out);
        // Another sink's event interface is not this one's.
        const IID &other = kind.events == &DIID_ItemEvents ? DIID_ApplicationEvents : DIID_ItemEvents;
        out = reinterpret_cast<void *>(1);
        EXPECT_EQ(E_NOINTERFACE, sink->QueryInterface(other, &out));
        EXPECT_EQ(nullptr, out);
        EXPECT_EQ(1u, sink->RefCount());
        EXPECT_EQ(Lines{}, log.Read());

        const IID *answered[] = {kind.events, &IID_IUnknown, &IID_IDispatch};
        int count = 1;
        Lines expected;
        for (const IID *iid : answered) {
            out = nullptr;
            EXPECT_EQ(S_OK, sink->QueryInterface(*iid, &out));
            EXPECT_EQ(static_cast<IDispatch *>(sink.Get()), out);
            expected.push_back(Count(kind.className, "AddRef", ++count));
        }
        EXPECT_EQ(4u, sink->RefCount());
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(static_cast<ULONG>(3 - i), sink->Release());
            expected.push_back(Count(kind.className, "Release", --count));
        }
        EXPECT_EQ(expected, log.Read());
        sink.ReleaseLast();
    }
}

TEST_F(EventSinkTest, TypeInformationAndNameLookupAnswerAsTheyShould)
{
    for (const SinkKind &kind : kLoopFormSinks) {
        SCOPED_TRACE(kind.className);
        ComPtr<DispObject> source = MakeSource(kind.events, 1);
        SinkUnderTest sink(kind, *source.Get());
        sink.Connect();
        LogTail log;

        UINT typeInfoCount = 7;
        EXPECT_EQ(E_POINTER, sink->GetTypeInfoCount(nullptr));
        EXPECT_EQ(S_OK, sink->GetTypeInfoCount(&typeInfoCount));
        EXPECT_EQ(0u, typeInfoCount);
        ITypeInfo *info = reinterpret_cast<ITypeInfo *>(1);
        EXPECT_EQ(E_POINTER, sink->GetTypeInfo(0, 0, nullptr));
        EXPECT_EQ(E_FAIL, sink->GetTypeInfo(0, 0, &info));
        EXPECT_EQ(nullptr, info);

        struct Lookup
        {
            const char *what;
            IID riid;
            bool names;
            UINT cNames;
            bool ids;
            HRESULT expected;
        };
        const Lookup lookups[] = {
            {"another riid, every argument null", IID_IDispatch, false, 0, false, DISP_E_UNKNOWNINTERFACE},
            {"another riid, well-formed otherwise", IID_IUnknown, true, 1, true, DISP_E_UNKNOWNINTERFACE},
            {"no DISPID array", IID_NULL, true, 1, false, E_POINTER},
            {"no names", IID_NULL, false, 1, true, E_POINTER},
            {"two names", IID_NULL, true, 2, true, E_INVALIDARG},
            {"no name at all", IID_NULL, true, 0, true, E_INVALIDARG},
        };
        LPOLESTR names[] = {const_cast<LPOLESTR>(L"Send"), const_cast<LPOLESTR>(L"Cancel")};
        for (const Lookup &l : lookups) {
            SCOPED_TRACE(l.what);
            DISPID ids[2] = {77, 77};
            EXPECT_EQ(l.expected, sink->GetIDsOfNames(l.riid, l.names ? names : nullptr, l.cNames, 0,
                                                      l.ids ? ids : nullptr));
            EXPECT_EQ(77, ids[0]);
        }
        // Any one name is answered with 0, whether the sink knows it or not.
        for (const wchar_t *name : {L"Send", L"NoSuchEvent", L""}) {
            LPOLESTR one[] = {const_cast<LPOLESTR>(name)};
            DISPID id = 77;
            EXPECT_EQ(S_OK, sink->GetIDsOfNames(IID_NULL, one, 1, LOCALE_USER_DEFAULT, &id));
            EXPECT_EQ(0, id);
        }

        Lines expected;
        if (kind.logsTypeInfo) {
            expected = {Step(kind.className, "GetTypeInfoCount"), Step(kind.className, "GetTypeInfoCount"),
                        Step(kind.className, "GetTypeInfo"), Step(kind.className, "GetTypeInfo")};
            for (size_t i = 0; i < sizeof lookups / sizeof lookups[0] + 3; ++i)
                expected.push_back(Step(kind.className, "GetIDsOfNames"));
        }
        EXPECT_EQ(expected, log.Read());
        EXPECT_EQ(1u, sink->RefCount());
        sink.ReleaseLast();
    }
}

TEST_F(EventSinkTest, InvokeWithAnotherInterfaceIsRefusedBeforeAnythingIsLogged)
{
    for (const SinkKind &kind : kLoopFormSinks) {
        SCOPED_TRACE(kind.className);
        ComPtr<DispObject> source = MakeSource(kind.events, 1);
        SinkUnderTest sink(kind, *source.Get());
        sink.Connect();
        CallLog::Clear();
        LogTail log;
        for (DISPID id : {0xF002, 0xF005, 0xF009, 0x1234}) {
            VARIANT_BOOL cancel = VARIANT_FALSE;
            VARIANT arg = ByRefBool(&cancel);
            DISPPARAMS params = {&arg, nullptr, 1, 0};
            Variant result;
            EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
                      sink->Invoke(id, IID_IDispatch, 0, DISPATCH_METHOD, &params, result.Receive(), nullptr, nullptr));
            EXPECT_EQ(VT_EMPTY, result.Type());
            EXPECT_EQ(VARIANT_FALSE, cancel);
        }
        EXPECT_EQ(Lines{}, log.Read());
        EXPECT_EQ(Lines{}, CallLog::Lines());
        sink.ReleaseLast();
    }
}

// --- the application events sink ---------------------------------------------------------

TEST_F(EventSinkTest, ApplicationSinkLogsEachEventOnceAndActsOnNone)
{
    ComPtr<Application> app = Create<Application>();
    const long objects = g_lMyObjects;
    LogTail connectLog;
    CEventSink *sink = new CApplicationEventHandler(app.Get(), nullptr);
    // Counted, but without a line of its own.
    EXPECT_EQ(objects + 1, g_lMyObjects);
    EXPECT_EQ((Lines{"CApplicationEventHandler::SinkEvents", "CApplicationEventHandler::AddRef : count=1",
                     "CApplicationEventHandler::AddRef : count=2", "CApplicationEventHandler::Release : count=1"}),
              connectLog.Read());

    struct Event
    {
        DISPID id;
        const char *line;
    };
    const Event events[] = {
        {0xF002, "Application Event: ItemSend (F002)"},
        {0xF003, "Application Event: NewMail (F003)"},
        {0xF004, "Application Event: Reminder (F004)"},
        {0xF005, "Application Event: OptionsPagesAdd (F005)"},
        {0xF006, "Application Event: Startup (F006)"},
        {0xF007, "Application Event: Quit (F007)"},
        {0xF001, "Application Event: <Unknown> (F001)"},
        {0xF008, "Application Event: <Unknown> (F008)"},
        {0x0001, "Application Event: <Unknown> (0001)"},
    };
    CallLog::Clear();
    for (const Event &e : events) {
        SCOPED_TRACE(e.line);
        LogTail log;
        Variant result;
        EXPECT_EQ(S_OK, app->Events().Fire(e.id, {}, result.Receive()));
        EXPECT_EQ(VT_EMPTY, result.Type());
        EXPECT_EQ(Lines{e.line}, log.Read());
    }
    // Events only: the sink calls nothing on the Application.
    Lines fired;
    for (const Event &e : events) {
        char hex[8];
        snprintf(hex, sizeof hex, "0x%04lX", static_cast<unsigned long>(e.id));
        fired.push_back(std::string("Application => ApplicationEvents ") + hex + "() -> S_OK");
    }
    EXPECT_EQ(fired, CallLog::Lines());

    // ItemSend as Outlook fires it: the item and a by-reference Cancel, both left alone,
    // and the result VARIANT as it came.
    for (VARIANT_BOOL initial : {VARIANT_FALSE, VARIANT_TRUE}) {
        LogTail log;
        ComPtr<DispObject> item = Create<DispObject>("Item");
        VARIANT_BOOL cancel = initial;
        VARIANT args[2];
        args[0] = ByRefBool(&cancel);
        VariantInit(&args[1]);
        args[1].vt = VT_DISPATCH;
        args[1].pdispVal = item.Get();
        DISPPARAMS params = {args, nullptr, 2, 0};
        VARIANT result;
        VariantInit(&result);
        result.vt = VT_I4;
        result.lVal = 12345;
        EXPECT_EQ(S_OK, sink->Invoke(0xF002, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr));
        EXPECT_EQ(initial, cancel);
        EXPECT_EQ(VT_I4, result.vt);
        EXPECT_EQ(12345, result.lVal);
        EXPECT_EQ(1u, item->RefCount());
        EXPECT_EQ(Lines{"Application Event: ItemSend (F002)"}, log.Read());
    }

    // Not a line at level 2: switched down to level 1, the events still log.
    const DWORD level = g_dwDebugLevel;
    g_dwDebugLevel = 1;
    {
        LogTail log;
        EXPECT_EQ(S_OK, app->Events().Fire(0xF003));
        g_dwDebugLevel = level;
        EXPECT_EQ(Lines{"Application Event: NewMail (F003)"}, log.Read());
    }
    g_dwDebugLevel = level;

    LogTail releaseLog;
    EXPECT_EQ(0u, sink->Release());
    EXPECT_EQ((Lines{"CApplicationEventHandler::FreeEvents", "CApplicationEventHandler::AddRef : count=2",
                     "CApplicationEventHandler::Release : count=1", "CApplicationEventHandler::Release : count=0"}),
              releaseLog.Read());
    EXPECT_EQ(objects, g_lMyObjects);
    EXPECT_EQ(0u, app->Events().SinkCount());
    // A firing after the disconnection reaches nobody.
    LogTail after;
    EXPECT_EQ(S_OK, app->Events().Fire(0xF007));
    EXPECT_EQ(Lines{}, after.Read());
}

// --- DispGetProperty / DispPutProperty ------------------------------------------------------

namespace {

// An object with a property that records how each call reached it.
struct PropertyHolder
{
    ComPtr<DispObject> object = Create<DispObject>("Holder");
    std::vector<std::string> putArgs;
    std::vector<DISPID> putNamed;
    ULONG pictureRefsDuringPut = 0;
    ComPtr<DispObject> picture = Create<DispObject>("Picture");

    PropertyHolder()
    {
        object->AddValue("BodyFormat", Variant::I4(1));
        object->AddProperty(
            "Item",
            [](Invocation &call) {
                call.Result()->vt = VT_BSTR;
                call.Result()->bstrVal = SysAllocString(L"read");
                return S_OK;
            },
            [this](Invocation &call) {
                putArgs.clear();
                for (size_t i = 0; i < call.Count(); ++i)
                    putArgs.push_back(VariantText(call.Arg(i)));
                call.Result()->vt = VT_I4;
                call.Result()->lVal = 99;
                return S_OK;
            });
        object->AddProperty(
            "Picture", [](Invocation &) { return E_NOTIMPL; },
            [this](Invocation &call) {
                pictureRefsDuringPut = picture->RefCount();
                putArgs = {VariantText(call.Value())};
                return S_OK;
            });
    }
};

std::vector<CallRecord> Invokes(const std::vector<CallRecord> &records)
{
    std::vector<CallRecord> out;
    for (const CallRecord &r : records)
        if (r.kind == CallKind::Get || r.kind == CallKind::Put || r.kind == CallKind::PutRef ||
            r.kind == CallKind::Method || r.kind == CallKind::GetIDsOfNames)
            out.push_back(r);
    return out;
}

} // namespace

TEST_F(EventSinkTest, DispGetPropertyLooksUpThenGetsWithTheFlagsAndLocalesOutlookExpects)
{
    PropertyHolder holder;
    CallLog::Clear();
    VARIANT result;
    result.vt = VT_I4; // garbage as far as the helper knows: overwritten, not cleared
    result.lVal = 5;
    EXPECT_EQ(S_OK, DispGetProperty(holder.object.Get(), L"bodyformat", &result));
    EXPECT_EQ("VT_I4 1", VariantText(result));
    VariantClear(&result);

    std::vector<CallRecord> calls = Invokes(CallLog::Records(CallFilter::Everything()));
    ASSERT_EQ(2u, calls.size());
    EXPECT_EQ("Holder.GetIDsOfNames(\"bodyformat\") -> S_OK", calls[0].Line());
    EXPECT_EQ(0x0400u, calls[0].lcid);
    EXPECT_EQ("Holder.BodyFormat -> S_OK", calls[1].Line());
    EXPECT_EQ(CallKind::Get, calls[1].kind);
    EXPECT_EQ(0x0800u, calls[1].lcid);
    EXPECT_EQ(3, calls[1].flags);
    EXPECT_EQ(std::vector<DISPID>{}, calls[1].namedArgs);
    EXPECT_EQ(std::vector<std::string>{}, calls[1].args);

    // The value of a failing get: what Invoke left (nothing), with its HRESULT.
    Faults::Fail("Holder", "BodyFormat", DISP_E_EXCEPTION);
    result.vt = VT_I4;
    result.lVal = 5;
    EXPECT_EQ(DISP_E_EXCEPTION, DispGetProperty(holder.object.Get(), L"BodyFormat", &result));
    EXPECT_EQ(VT_EMPTY, result.vt);
}

TEST_F(EventSinkTest, DispPutPropertyPassesValuesLastFirstWithTheLastOneNamedAsThePut)
{
    PropertyHolder holder;
    CallLog::Clear();
    Variant index = Variant::I4(1), value = Variant::I4(2);
    VARIANT result;
    result.vt = VT_I4; // initialised by the helper, not cleared
    result.lVal = 5;
    EXPECT_EQ(S_OK, DispPutProperty(holder.object.Get(), L"Item", &result, 2, index.Get(), value.Get()));
    // Natural order: the first value (element 1) is the index, the second (element 0) the value put.
    EXPECT_EQ((Lines{"VT_I4 1", "VT_I4 2"}), holder.putArgs);
    EXPECT_EQ(VT_EMPTY, result.vt);

    Variant one = Variant::I4(2);
    EXPECT_EQ(S_OK, DispPutProperty(holder.object.Get(), L"BodyFormat", &result, 1, one.Get()));
    EXPECT_EQ("VT_I4 2", VariantText(*holder.object->Value("BodyFormat").Get()));

    std::vector<CallRecord> calls = Invokes(CallLog::Records(CallFilter::Everything()));
    ASSERT_EQ(4u, calls.size());
    EXPECT_EQ("Holder.GetIDsOfNames(\"Item\") -> S_OK", calls[0].Line());
    EXPECT_EQ("Holder.Item(VT_I4 1) = VT_I4 2 -> S_OK", calls[1].Line());
    EXPECT_EQ("Holder.GetIDsOfNames(\"BodyFormat\") -> S_OK", calls[2].Line());
    EXPECT_EQ("Holder.BodyFormat = VT_I4 2 -> S_OK", calls[3].Line());
    for (size_t i : {0u, 2u})
        EXPECT_EQ(0x0400u, calls[i].lcid);
    for (size_t i : {1u, 3u}) {
        SCOPED_TRACE(calls[i].Line());
        EXPECT_EQ(0x0800u, calls[i].lcid);
        EXPECT_EQ(13, calls[i].flags);
        EXPECT_EQ(std::vector<DISPID>{DISPID_PROPERTYPUT}, calls[i].namedArgs);
    }
}

TEST_F(EventSinkTest, DispPutPropertyLendsItsValuesWithoutTakingOrDroppingReferences)
{
    PropertyHolder holder;
    const ULONG before = holder.picture->RefCount();
    Variant picture = Variant::Dispatch(holder.picture.Get());
    ASSERT_EQ(before + 1, holder.picture->RefCount());
    Variant result;
    EXPECT_EQ(S_OK, DispPutProperty(holder.object.Get(), L"Picture", result.Receive(), 1, picture.Get()));
    EXPECT_EQ((Lines{"VT_DISPATCH"}), holder.putArgs);
    // Copied bit for bit: no reference of the helper's while the put runs...
    EXPECT_EQ(before + 1, holder.pictureRefsDuringPut);
    // ...and the caller's value still intact afterwards.
    EXPECT_EQ(VT_DISPATCH, picture.Type());
    EXPECT_EQ(before + 1, holder.picture->RefCount());
    picture.Clear();
    EXPECT_EQ(before, holder.picture->RefCount());
}

TEST_F(EventSinkTest, PropertyHelpersOnAMissingMemberReturnTheLookupFailureAndLeaveTheResult)
{
    PropertyHolder holder;
    holder.object->SetAvailable("BodyFormat", false);
    CallLog::Clear();
    struct Case
    {
        const char *what;
        std::function<HRESULT(VARIANT *)> call;
    };
    Variant value = Variant::I4(2);
    const Case cases[] = {
        {"get of an unknown name", [&](VARIANT *r) { return DispGetProperty(holder.object.Get(), L"Nope", r); }},
        {"get of a member switched off",
         [&](VARIANT *r) { return DispGetProperty(holder.object.Get(), L"BodyFormat", r); }},
        {"put of an unknown name",
         [&](VARIANT *r) { return DispPutProperty(holder.object.Get(), L"Nope", r, 1, value.Get()); }},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        VARIANT result;
        result.vt = VT_I4;
        result.lVal = 4242;
        EXPECT_EQ(DISP_E_UNKNOWNNAME, c.call(&result));
        EXPECT_EQ(VT_I4, result.vt);
        EXPECT_EQ(4242, result.lVal);
    }
    EXPECT_EQ((Lines{"Holder.GetIDsOfNames(\"Nope\") -> DISP_E_UNKNOWNNAME",
                     "Holder.GetIDsOfNames(\"BodyFormat\") -> DISP_E_UNKNOWNNAME",
                     "Holder.GetIDsOfNames(\"Nope\") -> DISP_E_UNKNOWNNAME"}),
              CallLog::Lines());
}

// The toolbar buttons against the stand-in command bars: the handler base
// (connection, reference counts, tags, Invoke), the button face (Picture and
// Mask or the clipboard), the Tracking toggle and the Setup button.
#include "addin/Addin.h"
#include "addin/AddinCF.h"
#include "addin/Globals.h"
#include "buttons/ButtonFace.h"
#include "buttons/ButtonHandler.h"
#include "buttons/SetupButtonHandler.h"
#include "buttons/TrackingButtonHandler.h"
#include "com/ComError.h"
#include "com/Guids.h"
#include "com/ObjectModel.h"
#include "host/CallLog.h"
#include "host/CommandBars.h"
#include "host/DialogRobot.h"
#include "host/DispObject.h"
#include "host/Faults.h"
#include "host/Text.h"
#include "log/DebugLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <commctrl.h>
#include <olectl.h>
#include <oleidl.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

using namespace host;
using test::Lines;
using LogWatch = test::LogTail;

namespace {

const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";
const char kVendorKey[] = "Software\\Halvern Software";
const char kSetupCaption[] = "Quorvia Outlook Add-in";
const COLORREF kTeal = RGB(0, 128, 128);

// --- a second program that holds the clipboard ----------------------------------
//
// Started as "<this program> --hold-clipboard <id>", this program does nothing
// but open the clipboard with a window of its own, say so through the event
// "QuorviaClipboardHeld-<id>", and keep it until "QuorviaClipboardRelease-<id>".
// It runs before the test framework starts, so no test runs in it.
struct ClipboardHolderMode
{
    ClipboardHolderMode()
    {
        const char *arg = strstr(GetCommandLineA(), "--hold-clipboard ");
        if (!arg)
            return;
        std::string id = arg + strlen("--hold-clipboard ");
        HANDLE held = OpenEventA(EVENT_MODIFY_STATE, FALSE, ("QuorviaClipboardHeld-" + id).c_str());
        HANDLE release = OpenEventA(SYNCHRONIZE, FALSE, ("QuorviaClipboardRelease-" + id).c_str());
        HWND window = CreateWindowA("STATIC", "holder", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        UINT code = 3;
        if (held && release && window && OpenClipboard(window)) {
            SetEvent(held);
            WaitForSingleObject(release, 60000);
            CloseClipboard();
            code = 0;
        }
        ExitProcess(code);
    }
} g_clipboardHolderMode;

// --- the add-in's log --------------------------------------------------------------

std::string Hex8(DWORD value)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", static_cast<unsigned>(value));
    return text;
}

// --- the add-in object and its account ----------------------------------------

// An add-in object made as Outlook makes it, so g_pAddin points at it.
class AddinScope
{
public:
    AddinScope(const wchar_t *login, const wchar_t *password)
    {
        CAddinCF *factory = new CAddinCF();
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&m_addin));
        CAddinCF::Discard(factory);
        if (g_pAddin)
            g_pAddin->SetAccount(login, password);
    }
    ~AddinScope()
    {
        if (m_addin)
            m_addin->Release();
    }

private:
    IUnknown *m_addin = nullptr;
};

DWORD ReadStoredDword(const char *name, DWORD *type)
{
    HKEY key = nullptr;
    DWORD value = 0xBAD;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return value;
    DWORD size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE *>(&value), &size) != ERROR_SUCCESS)
        value = 0xBAD;
    RegCloseKey(key);
    return value;
}

void StoreDword(const char *name, DWORD value)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(key);
}

// --- a handler of the base alone ---------------------------------------------------

class RecordingHandler final : public CButtonHandler
{
public:
    explicit RecordingHandler(std::vector<IDispatch *> *clicks, HRESULT failure = S_OK)
        : m_clicks(clicks), m_failure(failure)
    {
    }
    void OnClick(ComPtr<IDispatch> button) override
    {
        m_clicks->push_back(button.Get());
        if (FAILED(m_failure))
            ThrowComError(m_failure, IID__CommandBarButton);
    }

private:
    ~RecordingHandler() override = default;
    std::vector<IDispatch *> *m_clicks;
    HRESULT m_failure;
};

// The resources live in the add-in's DLL, beside this program.
class ResourcesTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_module = LoadLibraryA("QuorviaAddin.dll");
        ASSERT_TRUE(m_module);
        g_hModule = m_module;
        ASSERT_TRUE(test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey));
        Faults::Clear();
        CallLog::Clear();
    }
    void TearDown() override
    {
        Faults::Clear();
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
        g_hModule = nullptr;
        FreeLibrary(m_module);
    }
    HMODULE m_module = nullptr;
};

using ButtonHandlerTest = ResourcesTest;

} // namespace

// --- the stand-in command bars themselves ---------------------------------------------

TEST(HostCommandBars, ItemAddFindControlAndControlsAddBehaveAsOfficesDo)
{
    auto bars = Create<CommandBars>();
    Variant name = Str("Quorvia"), missing = Variant::Missing(), temporary = Variant::I2(-1);
    CallLog::Clear();

    // An unknown bar: Item fails as Office's does and leaves the result empty.
    Variant found;
    EXPECT_EQ(E_INVALIDARG,
              om::TryInvoke(bars.Get(), L"Item", DISPATCH_PROPERTYGET | DISPATCH_METHOD, {name.Get()}, found.Receive()));
    EXPECT_EQ(VT_EMPTY, found.Type());

    Variant added = om::Call(bars.Get(), L"Add", IID__CommandBars, {name.Get(), missing.Get(), missing.Get(), temporary.Get()});
    ASSERT_EQ(VT_DISPATCH, added.Type());
    CommandBar *bar = bars->Find("Quorvia");
    ASSERT_TRUE(bar);
    EXPECT_EQ(static_cast<IDispatch *>(bar), added.Get()->pdispVal);
    EXPECT_TRUE(bar->Temporary());
    EXPECT_EQ(S_OK,
              om::TryInvoke(bars.Get(), L"Item", DISPATCH_PROPERTYGET | DISPATCH_METHOD, {name.Get()}, found.Receive()));
    EXPECT_EQ(static_cast<IDispatch *>(bar), om::AsDispatch(found).Get());

    // FindControl by Tag: Nothing until a control carries exactly that tag.
    Variant tag = Str("Quorvia Setup");
    auto findControl = [&] {
        return om::Call(bar, L"FindControl", IID_CommandBar, {missing.Get(), missing.Get(), tag.Get(), missing.Get(), missing.Get()});
    };
    Variant none = findControl();
    EXPECT_EQ(VT_DISPATCH, none.Type());
    EXPECT_EQ(nullptr, none.Get()->pdispVal);
    ComPtr<IDispatch> controls = om::AsDispatch(om::Get(bar, L"Controls", IID_CommandBar));
    Variant type = Variant::I4(1);
    Variant control = om::Call(controls.Get(), L"Add", IID_CommandBarControls,
                               {type.Get(), missing.Get(), tag.Get(), missing.Get(), temporary.Get()});
    ASSERT_EQ(1u, bar->Buttons().size());
    CommandBarButton *button = bar->Buttons()[0].Get();
    EXPECT_EQ(static_cast<IDispatch *>(button), om::AsDispatch(control).Get());
    EXPECT_EQ("Quorvia Setup", button->Text("Parameter"));
    EXPECT_EQ(nullptr, om::AsDispatch(findControl()).Get());
    om::Put(button, L"Tag", Str("Quorvia Setup"), IID_CommandBarControl);
    EXPECT_EQ(static_cast<IDispatch *>(button), om::AsDispatch(findControl()).Get());

    // PasteFace needs a bitmap on the clipboard.
    {
        ClipboardScope clipboard;
        ASSERT_TRUE(clipboard.IsOpen());
        EmptyClipboard();
    }
    Variant ignored;
    EXPECT_EQ(E_FAIL, om::TryInvoke(button, L"PasteFace", DISPATCH_METHOD, {}, ignored.Receive()));
    EXPECT_EQ(nullptr, button->PastedFace());
    button->SetPictureSupported(false);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, om::TryInvoke(button, L"Picture", DISPATCH_PROPERTYGET, {}, ignored.Receive()));

    EXPECT_EQ((Lines{"CommandBars.Item(VT_BSTR \"Quorvia\") -> E_INVALIDARG",
                     "CommandBars.Add(VT_BSTR \"Quorvia\", missing, missing, VT_I2 -1) -> S_OK",
                     "CommandBars.Item(VT_BSTR \"Quorvia\") -> S_OK",
                     "Quorvia.FindControl(missing, missing, VT_BSTR \"Quorvia Setup\", missing, missing) -> S_OK",
                     "Quorvia.Controls -> S_OK",
                     "Quorvia.Controls.Add(VT_I4 1, missing, VT_BSTR \"Quorvia Setup\", missing, VT_I2 -1) -> S_OK",
                     "Quorvia.FindControl(missing, missing, VT_BSTR \"Quorvia Setup\", missing, missing) -> S_OK",
                     "Button1.Tag = VT_BSTR \"Quorvia Setup\" -> S_OK",
                     "Quorvia.FindControl(missing, missing, VT_BSTR \"Quorvia Setup\", missing, missing) -> S_OK",
                     "Button1.PasteFace() -> E_FAIL",
                     "Button1.GetIDsOfNames(\"Picture\") -> DISP_E_UNKNOWNNAME"}),
              CallLog::Lines());
}

// --- the handler base ----------------------------------------------------------------

TEST_F(ButtonHandlerTest, ConnectsWithTheConnectionPointsOneReferenceAndDisconnectsOnTheLastRelease)
{
    auto bar = Create<CommandBar>("Quorvia");
    LogWatch log;
    const LONG before = g_lMyObjects;
    std::vector<IDispatch *> clicks;
    RecordingHandler *handler = new RecordingHandler(&clicks);
    EXPECT_EQ(before + 1, g_lMyObjects);
    EXPECT_EQ(0u, handler->RefCount());

    ComPtr<IDispatch> button = handler->CreateButton(bar.Get(), "Quorvia Setup");
    ASSERT_TRUE(button);
    ASSERT_EQ(1u, bar->Buttons().size());
    CommandBarButton *host = bar->Buttons()[0].Get();
    EXPECT_EQ(static_cast<IDispatch *>(host), button.Get());
    EXPECT_EQ(1u, handler->RefCount());
    EXPECT_EQ(1u, host->Events().SinkCount());

    const std::string tag = "Quorvia Setup" + Hex8(handler->Identity());
    EXPECT_EQ((Lines{"Quorvia.FindControl(missing, missing, VT_BSTR \"Quorvia Setup\", missing, missing) -> S_OK",
                     "Quorvia.Controls -> S_OK",
                     "Quorvia.Controls.Add(VT_I4 1, missing, VT_BSTR \"Quorvia Setup\", missing, VT_I2 -1) -> S_OK",
                     "Button1.QueryInterface(_CommandBarButton) -> S_OK",
                     "Button1.Visible = VT_BOOL -1 -> S_OK",
                     "Button1.OLEUsage = VT_I4 0 -> S_OK",
                     "Button1.Tag = VT_BSTR \"" + tag + "\" -> S_OK",
                     "Button1.Parameter = VT_BSTR \"" + tag + "\" -> S_OK",
                     "Button1.QueryInterface(IConnectionPointContainer) -> S_OK",
                     "Button1.FindConnectionPoint(_CommandBarButtonEvents) -> S_OK",
                     "Button1.Advise(_CommandBarButtonEvents) -> S_OK"}),
              CallLog::Lines());
    EXPECT_EQ(tag, host->Text("Tag"));
    EXPECT_EQ(tag, host->Text("Parameter"));
    EXPECT_TRUE(host->IsVisible());
    EXPECT_EQ(0, host->Int("OLEUsage"));

    CallLog::Clear();
    EXPECT_EQ(0u, handler->Release());
    EXPECT_EQ(before, g_lMyObjects);
    EXPECT_EQ(0u, host->Events().SinkCount());
    EXPECT_EQ((Lines{"Button1.Unadvise(_CommandBarButtonEvents, 1) -> S_OK"}), CallLog::Lines());

    const std::string created = "CButtonHandler, g_lMyObjects=" + std::to_string(before + 1);
    const std::string destroyed = "~CButtonHandler, g_lMyObjects=" + std::to_string(before);
    EXPECT_EQ((Lines{created,
                     "CButtonHandler::SinkEvents: QueryInterface",
                     "CButtonHandler::AddRef : count=1",
                     "CButtonHandler::SinkEvents: m_pConnection->Advise",
                     "CButtonHandler::AddRef : count=2",
                     "CButtonHandler::SinkEvents: m_pConnection->Advise done",
                     "CButtonHandler::Release : count=1",
                     "CButtonHandler::AddRef : count=2",
                     "CButtonHandler::Release : count=1",
                     "CButtonHandler::Release : count=0",
                     destroyed}),
              log.Read());

    // Nothing of the host is kept: the bar and this test hold the button.
    button.Reset();
    EXPECT_EQ(1u, host->RefCount());
    EXPECT_TRUE(clicks.empty());
}

TEST_F(ButtonHandlerTest, EachLiveHandlerTagsItsButtonWithThePrefixAndItsOwnIdentity)
{
    auto bar = Create<CommandBar>("Quorvia");
    std::vector<IDispatch *> clicks;
    RecordingHandler *first = new RecordingHandler(&clicks);
    RecordingHandler *second = new RecordingHandler(&clicks);
    ComPtr<IDispatch> a = first->CreateButton(bar.Get(), "Quorvia Setup");
    ComPtr<IDispatch> b = second->CreateButton(bar.Get(), "Quorvia Setup");
    ASSERT_EQ(2u, bar->Buttons().size());
    const std::string tagA = bar->Buttons()[0]->Text("Tag"), tagB = bar->Buttons()[1]->Text("Tag");
    EXPECT_NE(tagA, tagB);
    for (const std::string *tag : {&tagA, &tagB}) {
        SCOPED_TRACE(*tag);
        ASSERT_EQ(strlen("Quorvia Setup") + 8, tag->size());
        EXPECT_EQ(0u, tag->find("Quorvia Setup"));
        EXPECT_EQ(std::string::npos, tag->find_first_not_of("0123456789ABCDEF", strlen("Quorvia Setup")));
    }
    EXPECT_EQ("Quorvia Setup" + Hex8(first->Identity()), tagA);
    EXPECT_EQ("Quorvia Setup" + Hex8(second->Identity()), tagB);
#if !defined(_WIN64)
    // Where addresses fit the eight digits, the identity is the handler's address.
    EXPECT_EQ(static_cast<DWORD>(reinterpret_cast<UINT_PTR>(first)), first->Identity());
#endif
    first->Release();
    second->Release();
}

TEST_F(ButtonHandlerTest, AControlTaggedWithTheBarePrefixIsReusedAndOnlyRetagged)
{
    auto bar = Create<CommandBar>("Quorvia");
    ComPtr<CommandBarButton> left = bar->AddButton("Quorvia Message Tracking");
    left->SetValue("Visible", *Variant::Bool(false).Get());
    left->SetValue("Parameter", *Str("old").Get());
    CallLog::Clear();

    std::vector<IDispatch *> clicks;
    RecordingHandler *handler = new RecordingHandler(&clicks);
    ComPtr<IDispatch> button = handler->CreateButton(bar.Get(), "Quorvia Message Tracking");
    EXPECT_EQ(static_cast<IDispatch *>(left.Get()), button.Get());
    EXPECT_EQ(1u, bar->Buttons().size());
    const std::string tag = "Quorvia Message Tracking" + Hex8(handler->Identity());
    EXPECT_EQ((Lines{"Quorvia.FindControl(missing, missing, VT_BSTR \"Quorvia Message Tracking\", missing, missing) "
                     "-> S_OK",
                     "Button1.QueryInterface(_CommandBarButton) -> S_OK",
                     "Button1.Tag = VT_BSTR \"" + tag + "\" -> S_OK",
                     "Button1.Parameter = VT_BSTR \"" + tag + "\" -> S_OK",
                     "Button1.QueryInterface(IConnectionPointContainer) -> S_OK",
                     "Button1.FindConnectionPoint(_CommandBarButtonEvents) -> S_OK",
                     "Button1.Advise(_CommandBarButtonEvents) -> S_OK"}),
              CallLog::Lines());
    EXPECT_FALSE(left->IsVisible());
    EXPECT_EQ(3, left->Int("OLEUsage"));
    EXPECT_EQ(tag, left->Text("Parameter"));

    // A second handler no longer finds it: its tag now carries the first one's identity.
    RecordingHandler *other = new RecordingHandler(&clicks);
    ComPtr<IDispatch> added = other->CreateButton(bar.Get(), "Quorvia Message Tracking");
    EXPECT_EQ(2u, bar->Buttons().size());
    other->Release();
    handler->Release();
}

TEST_F(ButtonHandlerTest, AFailingCommandBarCallRaisesWithItsInterface)
{
    struct Case
    {
        const char *object;
        const char *member;
        IID iid;
    };
    const Case cases[] = {
        {"Quorvia", "FindControl", IID_CommandBar},
        {"Quorvia", "Controls", IID_CommandBar},
        {"Quorvia.Controls", "Add", IID_CommandBarControls},
        {"Button1", "QueryInterface(_CommandBarButton)", IID__CommandBarButton},
        {"Button1", "Visible", IID_CommandBarControl},
        {"Button1", "OLEUsage", IID_CommandBarControl},
        {"Button1", "Tag", IID_CommandBarControl},
        {"Button1", "Parameter", IID_CommandBarControl},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.object) + "." + c.member);
        auto bar = Create<CommandBar>("Quorvia");
        Faults::Clear();
        Faults::Fail(c.object, c.member, E_ACCESSDENIED);
        const LONG before = g_lMyObjects;
        std::vector<IDispatch *> clicks;
        RecordingHandler *handler = new RecordingHandler(&clicks);
        handler->AddRef(); // the test's own, since the handler never connects
        try {
            handler->CreateButton(bar.Get(), "Quorvia Setup");
            ADD_FAILURE() << "no error raised";
        } catch (const ComError &e) {
            EXPECT_EQ(E_ACCESSDENIED, e.hr);
            EXPECT_TRUE(IsEqualIID(c.iid, e.iid));
        }
        EXPECT_EQ(1u, handler->RefCount());
        handler->Release();
        EXPECT_EQ(before, g_lMyObjects);
    }
    Faults::Clear();
}

TEST_F(ButtonHandlerTest, AButtonWithoutConnectionPointLeavesTheHandlerUnconnectedAndSilent)
{
    auto bar = Create<CommandBar>("Quorvia");
    Faults::Fail("Button1", "QueryInterface(IConnectionPointContainer)", E_NOINTERFACE);
    LogWatch log;
    std::vector<IDispatch *> clicks;
    RecordingHandler *handler = new RecordingHandler(&clicks);
    ComPtr<IDispatch> button = handler->CreateButton(bar.Get(), "Quorvia Setup");
    EXPECT_TRUE(button);
    EXPECT_EQ(0u, handler->RefCount());
    EXPECT_EQ(0u, bar->Buttons()[0]->Events().SinkCount());
    EXPECT_EQ(Lines{"CButtonHandler, g_lMyObjects=" + std::to_string(g_lMyObjects)}, log.Read());
    handler->AddRef();
    handler->Release();
}

TEST_F(ButtonHandlerTest, QueryInterfaceAndNameLookupAnswerAsAnEventSink)
{
    std::vector<IDispatch *> clicks;
    RecordingHandler *handler = new RecordingHandler(&clicks);
    handler->AddRef();
    for (const IID *iid : {&IID_IUnknown, &IID_IDispatch, &DIID__CommandBarButtonEvents}) {
        void *out = nullptr;
        const ULONG count = handler->RefCount();
        EXPECT_EQ(S_OK, handler->QueryInterface(*iid, &out));
        EXPECT_EQ(static_cast<IDispatch *>(handler), out);
        EXPECT_EQ(count + 1, handler->RefCount());
        handler->Release();
    }
    void *out = reinterpret_cast<void *>(1);
    EXPECT_EQ(E_NOINTERFACE, handler->QueryInterface(IID__CommandBarButton, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(E_POINTER, handler->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_EQ(1u, handler->RefCount());

    LPOLESTR one[] = {const_cast<LPOLESTR>(L"Click")};
    LPOLESTR two[] = {const_cast<LPOLESTR>(L"Click"), const_cast<LPOLESTR>(L"Ctrl")};
    DISPID id = 77;
    EXPECT_EQ(S_OK, handler->GetIDsOfNames(IID_NULL, one, 1, 0, &id));
    EXPECT_EQ(0, id);
    EXPECT_EQ(E_INVALIDARG, handler->GetIDsOfNames(IID_NULL, two, 2, 0, &id));
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, handler->GetIDsOfNames(IID_IDispatch, one, 1, 0, &id));
    UINT count = 5;
    EXPECT_EQ(S_OK, handler->GetTypeInfoCount(&count));
    EXPECT_EQ(0u, count);
    ITypeInfo *info = reinterpret_cast<ITypeInfo *>(1);
    EXPECT_EQ(E_FAIL, handler->GetTypeInfo(0, 0, &info));
    EXPECT_EQ(nullptr, info);
    handler->Release();
}

TEST_F(ButtonHandlerTest, InvokeChecksItsArgumentsBeforeClicking)
{
    auto bar = Create<CommandBar>("Quorvia");
    ComPtr<CommandBarButton> button = bar->AddButton();
    auto notAButton = Create<DispObject>("Other");

    VARIANT_BOOL cancel = VARIANT_FALSE;
    auto args = [&](VARIANT ctrl) { return std::vector<VARIANT>{ByRefBool(&cancel), ctrl}; }; // reversed
    VARIANT empty;
    VariantInit(&empty);
    VARIANT asButton = empty, asOther = empty, asNull = empty, asUnknown = empty, asNumber = empty;
    asButton.vt = asOther.vt = asNull.vt = VT_DISPATCH;
    asButton.pdispVal = button.Get();
    asOther.pdispVal = notAButton.Get();
    asNull.pdispVal = nullptr;
    asUnknown.vt = VT_UNKNOWN;
    asUnknown.punkVal = button.Get();
    asNumber.vt = VT_I4;
    asNumber.lVal = 1;

    struct Case
    {
        const char *what;
        DISPID id;
        IID riid;
        bool withParams;
        std::vector<VARIANT> rgvarg;
        HRESULT expected;
        std::vector<IDispatch *> clicks;
    };
    const Case cases[] = {
        {"another riid", 1, IID_IDispatch, true, args(asButton), DISP_E_UNKNOWNINTERFACE, {}},
        {"DISPID 2", 2, IID_NULL, true, args(asButton), DISP_E_MEMBERNOTFOUND, {}},
        {"no DISPPARAMS", 1, IID_NULL, false, {}, E_POINTER, {}},
        {"one argument", 1, IID_NULL, true, {asButton}, DISP_E_BADPARAMCOUNT, {}},
        {"three arguments", 1, IID_NULL, true, {empty, empty, asButton}, DISP_E_BADPARAMCOUNT, {}},
        {"Ctrl VT_EMPTY", 1, IID_NULL, true, args(empty), S_OK, {}},
        {"Ctrl VT_UNKNOWN", 1, IID_NULL, true, args(asUnknown), S_OK, {}},
        {"Ctrl VT_I4", 1, IID_NULL, true, args(asNumber), S_OK, {}},
        {"Ctrl a null dispatch", 1, IID_NULL, true, args(asNull), S_OK, {nullptr}},
        {"Ctrl no button", 1, IID_NULL, true, args(asOther), S_OK, {nullptr}},
        {"Ctrl the button", 1, IID_NULL, true, args(asButton), S_OK, {button.Get()}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<IDispatch *> clicks;
        RecordingHandler *handler = new RecordingHandler(&clicks);
        handler->AddRef();
        std::vector<VARIANT> rgvarg = c.rgvarg;
        DISPPARAMS params = {rgvarg.data(), nullptr, static_cast<UINT>(rgvarg.size()), 0};
        EXPECT_EQ(c.expected, handler->Invoke(c.id, c.riid, 0, DISPATCH_METHOD, c.withParams ? &params : nullptr,
                                              nullptr, nullptr, nullptr));
        EXPECT_EQ(c.clicks, clicks);
        EXPECT_EQ(VARIANT_FALSE, cancel);
        EXPECT_EQ(1u, handler->RefCount());
        handler->Release();
    }
    EXPECT_EQ(1u, notAButton->RefCount());
}

TEST_F(ButtonHandlerTest, OfficesClickReachesOnClickWithTheButton)
{
    auto bar = Create<CommandBar>("Quorvia");
    std::vector<IDispatch *> clicks;
    RecordingHandler *handler = new RecordingHandler(&clicks);
    ComPtr<IDispatch> button = handler->CreateButton(bar.Get(), "Quorvia Setup");
    CommandBarButton *host = bar->Buttons()[0].Get();
    const ULONG buttonRefs = host->RefCount();
    VARIANT_BOOL cancel = VARIANT_TRUE;
    EXPECT_EQ(S_OK, host->Click(&cancel));
    EXPECT_EQ(VARIANT_FALSE, cancel); // CancelDefault is not touched
    EXPECT_EQ(std::vector<IDispatch *>{button.Get()}, clicks);
    EXPECT_EQ(buttonRefs, host->RefCount());
    EXPECT_EQ(1u, handler->RefCount());
    handler->Release();
}

TEST_F(ButtonHandlerTest, AFailingClickIsLoggedAndNothingReachesOffice)
{
    struct Case
    {
        const char *what;
        HRESULT clickFailure;
        HRESULT queryFailure;
        size_t clicks;
        const char *line;
    };
    const Case cases[] = {
        {"OnClick raises", E_FAIL, S_OK, 1,
         "Button click failed: hr=0x80004005, interface {000C030E-0000-0000-C000-000000000046}"},
        {"the button query fails", S_OK, E_OUTOFMEMORY, 0,
         "Button click failed: hr=0x8007000E, interface {000C030E-0000-0000-C000-000000000046}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto bar = Create<CommandBar>("Quorvia");
        std::vector<IDispatch *> clicks;
        RecordingHandler *handler = new RecordingHandler(&clicks, c.clickFailure);
        ComPtr<IDispatch> button = handler->CreateButton(bar.Get(), "Quorvia Setup");
        Faults::Clear();
        if (FAILED(c.queryFailure))
            Faults::Fail("Button1", "QueryInterface(_CommandBarButton)", c.queryFailure);
        LogWatch log;
        EXPECT_EQ(S_OK, bar->Buttons()[0]->Click());
        EXPECT_EQ(c.clicks, clicks.size());
        EXPECT_EQ(Lines{c.line}, log.Read());
        EXPECT_EQ(1u, handler->RefCount());
        Faults::Clear();
        handler->Release();
    }
}

// --- the button face ------------------------------------------------------------------

namespace {

// Pixels of a bitmap as 32-bit top-down rows.
std::vector<DWORD> Pixels(HBITMAP bitmap, SIZE *size = nullptr)
{
    BITMAP info = {};
    if (!bitmap || !GetObjectA(bitmap, sizeof info, &info))
        return {};
    if (size)
        *size = {info.bmWidth, info.bmHeight};
    BITMAPINFO header = {};
    header.bmiHeader.biSize = sizeof header.bmiHeader;
    header.bmiHeader.biWidth = info.bmWidth;
    header.bmiHeader.biHeight = -info.bmHeight;
    header.bmiHeader.biPlanes = 1;
    header.bmiHeader.biBitCount = 32;
    header.bmiHeader.biCompression = BI_RGB;
    std::vector<DWORD> pixels(static_cast<size_t>(info.bmWidth) * info.bmHeight);
    HDC dc = GetDC(nullptr);
    GetDIBits(dc, bitmap, 0, info.bmHeight, pixels.data(), &header, DIB_RGB_COLORS);
    ReleaseDC(nullptr, dc);
    return pixels;
}

DWORD PixelOf(COLORREF colour)
{
    return (GetRValue(colour) << 16) | (GetGValue(colour) << 8) | GetBValue(colour);
}

std::string Bytes(const void *data, size_t size)
{
    return std::string(static_cast<const char *>(data), size);
}

// The clipboard's formats in enumeration order, each with a comparable copy of its contents.
struct ClipboardSnapshot
{
    std::vector<UINT> order;
    std::map<UINT, std::string> contents;
};

ClipboardSnapshot TakeClipboard()
{
    ClipboardSnapshot snapshot;
    ClipboardScope clipboard;
    if (!clipboard.IsOpen())
        return snapshot;
    for (UINT format = EnumClipboardFormats(0); format; format = EnumClipboardFormats(format)) {
        snapshot.order.push_back(format);
        HANDLE data = GetClipboardData(format);
        std::string content = data ? "" : "(none)";
        if (!data) {
        } else if (format == CF_BITMAP || format == CF_DSPBITMAP) {
            SIZE size = {};
            std::vector<DWORD> pixels = Pixels(static_cast<HBITMAP>(data), &size);
            content = std::to_string(size.cx) + "x" + std::to_string(size.cy) + ":" +
                      Bytes(pixels.data(), pixels.size() * sizeof(DWORD));
        } else if (format == CF_ENHMETAFILE) {
            UINT size = GetEnhMetaFileBits(static_cast<HENHMETAFILE>(data), 0, nullptr);
            std::string bits(size, '\0');
            GetEnhMetaFileBits(static_cast<HENHMETAFILE>(data), size, reinterpret_cast<BYTE *>(&bits[0]));
            content = bits;
        } else if (format == CF_METAFILEPICT) {
            GlobalMemoryLock lock(data);
            if (const METAFILEPICT *pict = static_cast<const METAFILEPICT *>(lock.Get())) {
                UINT size = GetMetaFileBitsEx(pict->hMF, 0, nullptr);
                std::string bits(size, '\0');
                GetMetaFileBitsEx(pict->hMF, size, &bits[0]);
                content = std::to_string(pict->mm) + "," + std::to_string(pict->xExt) + "," +
                          std::to_string(pict->yExt) + ":" + bits;
            }
        } else if (format == CF_PALETTE) {
            content = "palette";
        } else {
            GlobalMemoryLock lock(data);
            if (lock.Get())
                content = Bytes(lock.Get(), GlobalSize(data));
        }
        snapshot.contents[format] = content;
    }
    return snapshot;
}

HGLOBAL GlobalText(const char *text)
{
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, strlen(text) + 1);
    GlobalMemoryLock lock(memory);
    strcpy(static_cast<char *>(lock.Get()), text);
    return memory;
}

HBITMAP TestBitmap()
{
    DWORD pixels[4 * 3];
    for (DWORD i = 0; i < 12; ++i)
        pixels[i] = 0x00102030 * (i + 1);
    return CreateBitmap(4, 3, 1, 32, pixels);
}

HENHMETAFILE TestMetafile()
{
    HDC dc = CreateEnhMetaFileA(nullptr, nullptr, nullptr, nullptr);
    Rectangle(dc, 1, 2, 30, 40);
    MoveToEx(dc, 0, 0, nullptr);
    LineTo(dc, 25, 17);
    return CloseEnhMetaFile(dc);
}

// What the user had on the clipboard before a face was pasted.
struct ClipboardContent
{
    bool text;
    bool bitmap;
    bool metafile;
};

void FillClipboard(const ClipboardContent &content)
{
    ClipboardScope clipboard;
    ASSERT_TRUE(clipboard.IsOpen());
    EmptyClipboard();
    if (content.text)
        SetClipboardData(CF_TEXT, GlobalText("clipboard text of the user"));
    if (content.bitmap)
        SetClipboardData(CF_BITMAP, TestBitmap());
    if (content.metafile)
        SetClipboardData(CF_ENHMETAFILE, TestMetafile());
}

bool IsAscending(const std::vector<UINT> &order)
{
    for (size_t i = 1; i < order.size(); ++i)
        if (order[i - 1] >= order[i])
            return false;
    return true;
}

// Size and kind of an OLE picture the host was given.
std::string PictureText(IDispatch *picture)
{
    if (!picture)
        return "none";
    ComPtr<IPicture> typed;
    if (FAILED(picture->QueryInterface(IID_IPicture, typed.ReceiveVoid())))
        return "not a picture";
    SHORT type = 0;
    OLE_HANDLE handle = 0;
    typed->get_Type(&type);
    typed->get_Handle(&handle);
    SIZE size = {};
    Pixels(reinterpret_cast<HBITMAP>(static_cast<UINT_PTR>(handle)), &size);
    return "type " + std::to_string(type) + " " + std::to_string(size.cx) + "x" + std::to_string(size.cy);
}

} // namespace

using ButtonFaceTest = ResourcesTest;

TEST_F(ButtonFaceTest, APictureOrAMaskTheHostAcceptsKeepsTheClipboardClosed)
{
    struct Case
    {
        bool picture;
        bool mask;
        Lines calls;
    };
    const Case cases[] = {
        {true, true,
         {"Button1.FaceId = VT_I4 0 -> S_OK", "Button1.Style = VT_I4 3 -> S_OK",
          "Button1.QueryInterface(IDispatch) -> S_OK", "Button1.Picture = VT_DISPATCH -> S_OK",
          "Button1.Mask = VT_DISPATCH -> S_OK"}},
        {true, false,
         {"Button1.FaceId = VT_I4 0 -> S_OK", "Button1.Style = VT_I4 3 -> S_OK",
          "Button1.QueryInterface(IDispatch) -> S_OK", "Button1.Picture = VT_DISPATCH -> S_OK",
          "Button1.GetIDsOfNames(\"Mask\") -> DISP_E_UNKNOWNNAME"}},
        {false, true,
         {"Button1.FaceId = VT_I4 0 -> S_OK", "Button1.Style = VT_I4 3 -> S_OK",
          "Button1.QueryInterface(IDispatch) -> S_OK", "Button1.GetIDsOfNames(\"Picture\") -> DISP_E_UNKNOWNNAME",
          "Button1.Mask = VT_DISPATCH -> S_OK"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string("Picture ") + (c.picture ? "known" : "unknown") + ", Mask " +
                     (c.mask ? "known" : "unknown"));
        FillClipboard({true, false, false});
        const ClipboardSnapshot before = TakeClipboard();
        const DWORD sequence = GetClipboardSequenceNumber();

        auto bar = Create<CommandBar>("Quorvia");
        ComPtr<CommandBarButton> button = bar->AddButton();
        button->SetPictureSupported(c.picture);
        button->SetMaskSupported(c.mask);
        CallLog::Clear();
        SetButtonFace(button.Get(), 101, 102, kTeal);

        EXPECT_EQ(c.calls, CallLog::Lines());
        EXPECT_EQ(sequence, GetClipboardSequenceNumber());
        EXPECT_EQ(before.order, TakeClipboard().order);
        EXPECT_EQ(0, button->PasteFaceCalls());
        EXPECT_EQ(c.picture ? "type 1 32x32" : "none", PictureText(button->Picture()));
        EXPECT_EQ(c.mask ? "type 1 32x32" : "none", PictureText(button->Mask()));
        EXPECT_EQ(0, button->Int("FaceId"));
        EXPECT_EQ(3, button->Int("Style"));
    }
}

TEST_F(ButtonFaceTest, WithoutPictureAndMaskTheFaceIsPastedAndTheClipboardPutBack)
{
    const ClipboardContent contents[] = {
        {true, true, true},
        {true, false, false},
        {false, true, false},
        {false, false, true},
        {false, false, false},
    };
    // What PasteFace must find: the face with its teal turned into the button-face colour.
    COLORMAP map = {kTeal, GetSysColor(COLOR_BTNFACE)};
    GdiObject expectedFace(CreateMappedBitmap(g_hModule, 101, 0, &map, 1));
    ASSERT_TRUE(expectedFace);
    const std::vector<DWORD> expectedPixels = Pixels(static_cast<HBITMAP>(expectedFace.Get()));
    ASSERT_EQ(32u * 32u, expectedPixels.size());
    // The corner lies outside the badge: teal in the resource, the button face here.
    EXPECT_EQ(PixelOf(GetSysColor(COLOR_BTNFACE)), expectedPixels[0] & 0xFFFFFF);

    for (const ClipboardContent &content : contents) {
        SCOPED_TRACE(std::string("text ") + (content.text ? "yes" : "no") + ", bitmap " +
                     (content.bitmap ? "yes" : "no") + ", metafile " + (content.metafile ? "yes" : "no"));
        FillClipboard(content);
        const ClipboardSnapshot before = TakeClipboard();
        if (content.text) {
            ASSERT_TRUE(before.contents.count(CF_TEXT));
        }
        if (content.metafile) {
            ASSERT_TRUE(before.contents.count(CF_ENHMETAFILE));
        }

        auto bar = Create<CommandBar>("Quorvia");
        ComPtr<CommandBarButton> button = bar->AddButton();
        button->SetPictureSupported(false);
        button->SetMaskSupported(false);
        CallLog::Clear();
        SetButtonFace(button.Get(), 101, 102, kTeal);

        EXPECT_EQ((Lines{"Button1.FaceId = VT_I4 0 -> S_OK", "Button1.Style = VT_I4 3 -> S_OK",
                         "Button1.QueryInterface(IDispatch) -> S_OK",
                         "Button1.GetIDsOfNames(\"Picture\") -> DISP_E_UNKNOWNNAME",
                         "Button1.GetIDsOfNames(\"Mask\") -> DISP_E_UNKNOWNNAME", "Button1.PasteFace() -> S_OK"}),
                  CallLog::Lines());
        EXPECT_EQ(expectedPixels, Pixels(button->PastedFace()));

        const ClipboardSnapshot after = TakeClipboard();
        EXPECT_TRUE(IsAscending(after.order)) << ::testing::PrintToString(after.order);
        EXPECT_EQ(before.contents, after.contents);
        if (!content.text && !content.bitmap && !content.metafile) {
            EXPECT_EQ(0, CountClipboardFormats());
        }
    }
}

TEST_F(ButtonFaceTest, APasteFaceThatFailsRaisesAfterTheClipboardIsPutBack)
{
    FillClipboard({true, true, false});
    const ClipboardSnapshot before = TakeClipboard();
    auto bar = Create<CommandBar>("Quorvia");
    ComPtr<CommandBarButton> button = bar->AddButton();
    button->SetPictureSupported(false);
    button->SetMaskSupported(false);
    Faults::Fail("Button1", "PasteFace", E_ACCESSDENIED);
    try {
        SetButtonFace(button.Get(), 101, 102, kTeal);
        ADD_FAILURE() << "no error raised";
    } catch (const ComError &e) {
        EXPECT_EQ(E_ACCESSDENIED, e.hr);
        EXPECT_TRUE(IsEqualIID(IID__CommandBarButton, e.iid));
    }
    EXPECT_EQ(nullptr, button->PastedFace());
    EXPECT_EQ(before.contents, TakeClipboard().contents);
}

TEST_F(ButtonFaceTest, FaceIdOrStyleRefusedRaisesBeforeTheClipboardIsTouched)
{
    for (const char *member : {"FaceId", "Style"}) {
        SCOPED_TRACE(member);
        FillClipboard({true, false, false});
        const DWORD sequence = GetClipboardSequenceNumber();
        auto bar = Create<CommandBar>("Quorvia");
        ComPtr<CommandBarButton> button = bar->AddButton();
        button->SetPictureSupported(false);
        button->SetMaskSupported(false);
        Faults::Clear();
        Faults::Fail("Button1", member, E_FAIL);
        try {
            SetButtonFace(button.Get(), 101, 102, kTeal);
            ADD_FAILURE() << "no error raised";
        } catch (const ComError &e) {
            EXPECT_EQ(E_FAIL, e.hr);
            EXPECT_TRUE(IsEqualIID(IID__CommandBarButton, e.iid));
        }
        EXPECT_EQ(sequence, GetClipboardSequenceNumber());
    }
}

// The face picture cannot be made to fail on its own under Wine (OleCreatePictureIndirect
// accepts any bitmap); a library without the face bitmaps is the nearest case: no
// picture at all, so Picture and Mask are not tried and the clipboard path runs.
TEST_F(ButtonFaceTest, WithoutItsBitmapsTheFaceGoesThroughTheClipboardAndPasteFindsNothing)
{
    g_hModule = GetModuleHandleA(nullptr); // this program: no bitmap resources
    FillClipboard({true, false, false});
    const ClipboardSnapshot before = TakeClipboard();
    auto bar = Create<CommandBar>("Quorvia");
    ComPtr<CommandBarButton> button = bar->AddButton();
    CallLog::Clear();
    try {
        SetButtonFace(button.Get(), 101, 102, kTeal);
        ADD_FAILURE() << "no error raised";
    } catch (const ComError &e) {
        EXPECT_EQ(E_FAIL, e.hr);
    }
    EXPECT_EQ((Lines{"Button1.FaceId = VT_I4 0 -> S_OK", "Button1.Style = VT_I4 3 -> S_OK",
                     "Button1.PasteFace() -> E_FAIL"}),
              CallLog::Lines());
    EXPECT_EQ(before.contents, TakeClipboard().contents);
}

TEST_F(ButtonFaceTest, AClipboardHeldByAnotherProgramIsLeftAlone)
{
    FillClipboard({true, true, false});
    const ClipboardSnapshot before = TakeClipboard();
    const std::string id = std::to_string(GetCurrentProcessId());
    KernelHandle held(CreateEventA(nullptr, TRUE, FALSE, ("QuorviaClipboardHeld-" + id).c_str()));
    KernelHandle release(CreateEventA(nullptr, TRUE, FALSE, ("QuorviaClipboardRelease-" + id).c_str()));
    ASSERT_TRUE(held && release);

    std::string command = "\"" + test::ThisProgramPath() + "\" --hold-clipboard " + id;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process));
    KernelHandle child(process.hProcess), childThread(process.hThread);
    HANDLE started[] = {held.Get(), child.Get()};
    ASSERT_EQ(WAIT_OBJECT_0, WaitForMultipleObjects(2, started, FALSE, 30000)) << "the holder did not take the clipboard";
    {
        ClipboardScope mine;
        ASSERT_FALSE(mine.IsOpen()) << "the clipboard is not held";
    }

    auto bar = Create<CommandBar>("Quorvia");
    ComPtr<CommandBarButton> button = bar->AddButton();
    button->SetPictureSupported(false);
    button->SetMaskSupported(false);
    CallLog::Clear();
    LogWatch log;
    SetButtonFace(button.Get(), 101, 102, kTeal);
    SetEvent(release.Get());
    WaitForSingleObject(child.Get(), 30000);
    DWORD code = 99;
    GetExitCodeProcess(child.Get(), &code);
    EXPECT_EQ(0u, code);

    EXPECT_EQ((Lines{"Button1.FaceId = VT_I4 0 -> S_OK", "Button1.Style = VT_I4 3 -> S_OK",
                     "Button1.QueryInterface(IDispatch) -> S_OK",
                     "Button1.GetIDsOfNames(\"Picture\") -> DISP_E_UNKNOWNNAME",
                     "Button1.GetIDsOfNames(\"Mask\") -> DISP_E_UNKNOWNNAME"}),
              CallLog::Lines());
    EXPECT_EQ(nullptr, button->PastedFace());
    EXPECT_EQ(Lines{"SetButtonFace: the clipboard is in use, the button keeps no face"}, log.Read());
    EXPECT_EQ(before.contents, TakeClipboard().contents);
}

// --- the Tracking toggle ------------------------------------------------------------

namespace {

const char kOn[] = "Quorvia Message Tracking On";
const char kOff[] = "Quorvia Message Tracking Off";

// One mail window's Tracking button: its bar and its handler.
struct TrackingWindow
{
    ComPtr<CommandBar> bar;
    CTrackingButtonHandler *handler = nullptr;
    ComPtr<IDispatch> button;

    explicit TrackingWindow(const std::string &buttonNames = "Button")
    {
        bar = Create<CommandBar>("Quorvia");
        bar->SetButtonNames(buttonNames);
        handler = new CTrackingButtonHandler(CTrackingSwitch::FromStoredDefault());
        button = handler->CreateButton(bar.Get(), "Quorvia Message Tracking");
    }
    ~TrackingWindow()
    {
        button.Reset();
        if (handler)
            handler->Release();
    }
    CommandBarButton &Host() const { return *bar->Buttons().at(0).Get(); }
};

struct Shown
{
    LONG state;
    std::string caption;
    std::string tooltip;
    int switchedOn;
    bool operator==(const Shown &o) const
    {
        return state == o.state && caption == o.caption && tooltip == o.tooltip && switchedOn == o.switchedOn;
    }
};

std::ostream &operator<<(std::ostream &out, const Shown &s)
{
    return out << "{state " << s.state << ", \"" << s.caption << "\", \"" << s.tooltip << "\", switch "
               << s.switchedOn << "}";
}

Shown ShownBy(const TrackingWindow &window)
{
    return {window.Host().Int("State"), window.Host().Text("Caption"), window.Host().Text("TooltipText"),
            window.handler->IsTrackingOn()};
}

const Shown kShownOn = {kButtonDown, kOn, kOn, 1};
const Shown kShownOff = {kButtonUp, kOff, kOff, 0};

} // namespace

using TrackingButtonTest = ResourcesTest;

TEST_F(TrackingButtonTest, ANewWindowStartsFromTheStoredStateAndWritesItBack)
{
    struct Case
    {
        const char *what;
        bool stored;
        DWORD value;
        LONG initial; // the opposite state set before the click that settles it
        Shown shown;
        DWORD written;
    };
    const Case cases[] = {
        {"stored on", true, 0xFFFFFFFF, kButtonUp, kShownOn, 0xFFFFFFFF},
        {"stored off", true, 0, kButtonDown, kShownOff, 0},
        {"stored 1", true, 1, kButtonDown, kShownOff, 0},
        {"nothing stored", false, 0, kButtonDown, kShownOff, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
        if (c.stored)
            StoreDword("Tracking", c.value);
        CallLog::Clear();
        TrackingWindow window;
        EXPECT_EQ(c.shown, ShownBy(window));
        DWORD type = 0;
        EXPECT_EQ(c.written, ReadStoredDword("Tracking", &type));
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), type);

        // After the face: the opposite state, then one click's worth of calls.
        Lines calls = CallLog::Lines(CallFilter::Of("Button1"));
        const std::string settled = c.shown.switchedOn ? kOn : kOff;
        const Lines tail = {"Button1.State = VT_I4 " + std::to_string(c.initial) + " -> S_OK",
                            "Button1.State -> S_OK",
                            "Button1.Caption = VT_BSTR \"" + settled + "\" -> S_OK",
                            "Button1.TooltipText = VT_BSTR \"" + settled + "\" -> S_OK",
                            "Button1.State = VT_I4 " + std::to_string(c.shown.state) + " -> S_OK"};
        ASSERT_GE(calls.size(), tail.size());
        EXPECT_EQ(tail, Lines(calls.end() - tail.size(), calls.end()));
        EXPECT_EQ("type 1 32x32", PictureText(window.Host().Picture()));
    }
}

TEST_F(TrackingButtonTest, EachWindowKeepsItsOwnSwitchAndANewWindowStartsFromTheLastToggle)
{
    TrackingWindow first("First"), second("Second");
    EXPECT_EQ(kShownOff, ShownBy(first));
    EXPECT_EQ(kShownOff, ShownBy(second));

    EXPECT_EQ(S_OK, first.Host().Click());
    EXPECT_EQ(kShownOn, ShownBy(first));
    EXPECT_EQ(kShownOff, ShownBy(second));
    DWORD type = 0;
    EXPECT_EQ(0xFFFFFFFFu, ReadStoredDword("Tracking", &type));

    TrackingWindow third("Third");
    EXPECT_EQ(kShownOn, ShownBy(third));

    EXPECT_EQ(S_OK, second.Host().Click());
    EXPECT_EQ(S_OK, second.Host().Click());
    EXPECT_EQ(kShownOff, ShownBy(second));
    EXPECT_EQ(kShownOn, ShownBy(first));
    EXPECT_EQ(kShownOn, ShownBy(third));
    EXPECT_EQ(0u, ReadStoredDword("Tracking", &type));
}

TEST_F(TrackingButtonTest, AClickReadsTheButtonsStateAndFallsBackOnItsOwnSwitch)
{
    struct Case
    {
        const char *what;
        DWORD stored;
        LONG stateBefore;       // what the button holds when clicked
        HRESULT stateRead;      // reading State fails with this
        Shown after;
    };
    const Case cases[] = {
        {"down turns off", 0xFFFFFFFF, kButtonDown, S_OK, kShownOff},
        {"up turns on", 0, kButtonUp, S_OK, kShownOn},
        {"mixed (2) counts as up", 0, 2, S_OK, kShownOn},
        {"mixed (2) counts as up also when switched on", 0xFFFFFFFF, 2, S_OK, kShownOn},
        {"unreadable while on: the switch says on", 0xFFFFFFFF, kButtonUp, E_FAIL, kShownOff},
        {"unreadable while off: the switch says off", 0, kButtonDown, E_FAIL, kShownOn},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        StoreDword("Tracking", c.stored);
        TrackingWindow window;
        window.Host().SetState(c.stateBefore);
        window.Host().FailStateRead(c.stateRead);
        EXPECT_EQ(S_OK, window.Host().Click());
        EXPECT_EQ(c.after, ShownBy(window));
        DWORD type = 0;
        EXPECT_EQ(c.after.switchedOn ? 0xFFFFFFFFu : 0u, ReadStoredDword("Tracking", &type));
    }
}

TEST_F(TrackingButtonTest, AClickWhoseCaptionCannotBeSetChangesNothing)
{
    for (const char *member : {"Caption", "TooltipText"}) {
        SCOPED_TRACE(member);
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
        TrackingWindow window;
        ASSERT_EQ(kShownOff, ShownBy(window));
        Faults::Clear();
        Faults::Fail("Button1", member, E_FAIL);
        LogWatch log;
        EXPECT_EQ(S_OK, window.Host().Click());
        EXPECT_EQ(Lines{"Button click failed: hr=0x80004005, interface {000C0308-0000-0000-C000-000000000046}"},
                  log.Read());
        EXPECT_EQ(0, window.handler->IsTrackingOn());
        EXPECT_EQ(kButtonUp, window.Host().Int("State"));
        DWORD type = 0;
        EXPECT_EQ(0u, ReadStoredDword("Tracking", &type));
        Faults::Clear();
    }
}

// --- the Setup button -----------------------------------------------------------------

namespace {

// IOleWindow on a stand-in inspector, over a real window.
class OleWindowFacet final : public Facet, public IOleWindow
{
public:
    OleWindowFacet(DispObject &owner, HWND window) : Facet(owner), m_window(window) {}
    void *InterfaceFor(REFIID iid) override
    {
        return IsEqualIID(iid, IID_IOleWindow) ? static_cast<IOleWindow *>(this) : nullptr;
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void **ppv) override
    {
        return Owner().QueryInterface(riid, ppv);
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return Owner().AddRef(); }
    ULONG STDMETHODCALLTYPE Release() override { return Owner().Release(); }
    HRESULT STDMETHODCALLTYPE GetWindow(HWND *phwnd) override
    {
        CallRecord record;
        record.object = Owner().Name();
        record.member = "GetWindow";
        CallScope call(std::move(record));
        if (!phwnd)
            return call.Finish(E_POINTER);
        *phwnd = m_window;
        return call.Finish(S_OK);
    }
    HRESULT STDMETHODCALLTYPE ContextSensitiveHelp(BOOL) override { return E_NOTIMPL; }

private:
    HWND m_window;
};

// Outlook's Application as far as the Setup button asks it: ActiveInspector.
struct SetupHost
{
    ComPtr<DispObject> application;
    ComPtr<DispObject> inspector; // null: no window in front
    HWND window = nullptr;

    explicit SetupHost(bool withInspector, bool withOleWindow)
    {
        window = CreateWindowA("STATIC", "Untitled - Message", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 400, 300,
                               nullptr, nullptr, nullptr, nullptr);
        application = Create<DispObject>("Application", std::vector<IID>{IID__Application});
        if (withInspector) {
            inspector = Create<DispObject>("Inspector", std::vector<IID>{IID__Inspector});
            if (withOleWindow)
                inspector->AddFacet(std::make_unique<OleWindowFacet>(*inspector.Get(), window));
        }
        DispObject *front = inspector.Get();
        application->AddMethod("ActiveInspector", [front](Invocation &call) {
            call.Result()->vt = VT_DISPATCH;
            call.Result()->pdispVal = front;
            if (front)
                front->AddRef();
            return S_OK;
        });
    }
    ~SetupHost()
    {
        if (window)
            DestroyWindow(window);
    }
};

// The two buttons of one window, made in the order the toolbar makes them.
struct ButtonPair
{
    ComPtr<CommandBar> bar;
    CTrackingButtonHandler *tracking = nullptr;
    CSetupButtonHandler *setup = nullptr;

    explicit ButtonPair(IDispatch *application)
    {
        bar = Create<CommandBar>("Quorvia");
        tracking = new CTrackingButtonHandler(CTrackingSwitch::FromStoredDefault());
        ComPtr<IDispatch> trackingButton = tracking->CreateButton(bar.Get(), "Quorvia Message Tracking");
        // The account of the add-in in force, as the add-in hands it to its windows.
        setup = new CSetupButtonHandler(application, trackingButton.Get(), g_pAddin ? g_pAddin->Account() : nullptr);
        setup->CreateButton(bar.Get(), "Quorvia Setup");
    }
    ~ButtonPair()
    {
        setup->Release();
        tracking->Release();
    }
    CommandBarButton &TrackingButton() const { return *bar->Buttons().at(0).Get(); }
    CommandBarButton &SetupButton() const { return *bar->Buttons().at(1).Get(); }
};

} // namespace

using SetupButtonTest = ResourcesTest;

TEST_F(SetupButtonTest, TheTrackingButtonShowsAtCreationOnlyWithACompleteAccount)
{
    struct Case
    {
        const char *what;
        bool addin;
        const wchar_t *login;
        const wchar_t *password;
        bool visible;
    };
    const Case cases[] = {
        {"login and password", true, L"ann@example.com", L"secret", true},
        {"login only", true, L"ann@example.com", L"", false},
        {"password only", true, L"", L"secret", false},
        {"no account", true, L"", L"", false},
        {"no add-in object", false, L"", L"", false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::unique_ptr<AddinScope> addin;
        if (c.addin)
            addin = std::make_unique<AddinScope>(c.login, c.password);
        ASSERT_EQ(c.addin, g_pAddin != nullptr);
        SetupHost host(true, true);
        CallLog::Clear();
        ButtonPair pair(host.application.Get());
        EXPECT_EQ(c.visible, pair.TrackingButton().IsVisible());
        EXPECT_EQ("Setup", pair.SetupButton().Text("Caption"));
        EXPECT_EQ("type 1 32x32", PictureText(pair.SetupButton().Picture()));
        const Lines calls = CallLog::Lines();
        ASSERT_GE(calls.size(), 2u);
        EXPECT_EQ((Lines{"Button2.Caption = VT_BSTR \"Setup\" -> S_OK",
                         std::string("Button1.Visible = VT_BOOL ") + (c.visible ? "-1" : "0") + " -> S_OK"}),
                  Lines(calls.end() - 2, calls.end()));
        EXPECT_EQ(Lines{}, CallLog::Lines(CallFilter::Of("Application")));
    }
}

TEST_F(SetupButtonTest, AClickRunsTheDialogOverTheActiveWindowAndThenDecidesTheTrackingButton)
{
    struct Case
    {
        const char *what;
        const wchar_t *login;
        const wchar_t *password;
        const char *typedPassword; // null: Cancel
        bool visibleBefore;
        bool visibleAfter;
    };
    const Case cases[] = {
        {"the dialog supplies the password", L"ann@example.com", L"", "secret", false, true},
        {"cancelled without password", L"ann@example.com", L"", nullptr, false, false},
        {"the password is emptied", L"ann@example.com", L"secret", "", true, false},
        {"cancelled with a complete account", L"ann@example.com", L"secret", nullptr, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AddinScope addin(c.login, c.password);
        SetupHost host(true, true);
        ButtonPair pair(host.application.Get());
        EXPECT_EQ(c.visibleBefore, pair.TrackingButton().IsVisible());

        DialogRobot robot;
        std::string shownLogin;
        const char *typed = c.typedPassword;
        robot.Expect(kSetupCaption, [&shownLogin, typed](HWND dialog) {
            char text[100] = {};
            GetDlgItemTextA(dialog, 107, text, sizeof text);
            shownLogin = text;
            if (!typed)
                return IDCANCEL;
            SetDlgItemTextA(dialog, 108, typed);
            return IDOK;
        });
        CallLog::Clear();
        EXPECT_EQ(S_OK, pair.SetupButton().Click());
        EXPECT_TRUE(robot.WaitForDialogs(1, 10000)); // the robot records just after it presses
        EXPECT_EQ(Lines{"\"Quorvia Outlook Add-in\" \"\" MB_OKCANCEL -> " +
                        std::string(typed ? "IDOK" : "IDCANCEL")},
                  robot.Lines());
        ASSERT_EQ(1u, robot.Dialogs().size());
        EXPECT_EQ(host.window, robot.Dialogs()[0].owner);
        EXPECT_EQ(AnsiFromWide(c.login), shownLogin);
        EXPECT_EQ(c.visibleAfter, pair.TrackingButton().IsVisible());
        EXPECT_EQ((Lines{"Button2 => _CommandBarButtonEvents 0x0001(VT_DISPATCH, VT_BOOL|VT_BYREF 0) -> S_OK",
                         "Button2.QueryInterface(_CommandBarButton) -> S_OK",
                         "Application.ActiveInspector() -> S_OK",
                         "Inspector.QueryInterface(IOleWindow) -> S_OK",
                         "Inspector.GetWindow() -> S_OK",
                         std::string("Button1.Visible = VT_BOOL ") + (c.visibleAfter ? "-1" : "0") + " -> S_OK"}),
                  CallLog::Lines());
        EXPECT_EQ(1u, host.inspector->RefCount());
    }
}

TEST_F(SetupButtonTest, AnInspectorWithoutWindowLeavesTheForegroundWindowAsOwner)
{
    AddinScope addin(L"ann@example.com", L"secret");
    SetupHost host(true, false);
    SetForegroundWindow(host.window);
    const HWND foreground = GetForegroundWindow();
    ButtonPair pair(host.application.Get());
    DialogRobot robot;
    robot.Expect(kSetupCaption, IDCANCEL);
    EXPECT_EQ(S_OK, pair.SetupButton().Click());
    EXPECT_TRUE(robot.WaitForDialogs(1, 10000));
    ASSERT_EQ(1u, robot.Dialogs().size());
    EXPECT_EQ(foreground, robot.Dialogs()[0].owner);
    EXPECT_TRUE(robot.Unexpected().empty());
}

TEST_F(SetupButtonTest, AClickThatCannotFindTheWindowIsLoggedAndOpensNoDialog)
{
    struct Case
    {
        const char *what;
        bool inspector;
        HRESULT failure;
        const char *line;
    };
    const Case cases[] = {
        {"no active inspector", false, S_OK,
         "Button click failed: hr=0x80004003, interface {00063001-0000-0000-C000-000000000046}"},
        {"ActiveInspector fails", true, E_FAIL,
         "Button click failed: hr=0x80004005, interface {00063001-0000-0000-C000-000000000046}"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        AddinScope addin(L"ann@example.com", L"");
        SetupHost host(c.inspector, true);
        ButtonPair pair(host.application.Get());
        Faults::Clear();
        if (FAILED(c.failure))
            Faults::Fail("Application", "ActiveInspector", c.failure);
        DialogRobot robot;
        LogWatch log;
        CallLog::Clear();
        EXPECT_EQ(S_OK, pair.SetupButton().Click());
        EXPECT_EQ(Lines{c.line}, log.Read());
        EXPECT_TRUE(robot.Dialogs().empty());
        // The visibility is not touched either.
        EXPECT_EQ(Lines{}, CallLog::Lines(CallFilter::Of("Button1")));
        Faults::Clear();
    }
}

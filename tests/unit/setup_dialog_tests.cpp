// The account setup dialog, run for real from the add-in's DLL resources and
// driven by the dialog robot: what it shows, what Ok and Cancel store, the
// lower-case login, the length limit, the links and their drawing, Help.
#include "addin/Addin.h"
#include "addin/AddinCF.h"
#include "addin/Globals.h"
#include "com/Resources.h"
#include "host/DialogRobot.h"
#include "settings/SetupDialog.h"
#include "settings/Settings.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

using namespace host;
using Lines = std::vector<std::string>;

namespace {

const char kVendorKey[] = "Software\\Halvern Software";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";
const char kCaption[] = "Quorvia Outlook Add-in";
const char kHttpsCommandKey[] = "Software\\Classes\\https\\shell\\open\\command";

enum : int
{
    kLogin = 107,
    kPassword = 108,
    kSignupLink = 109,
    kHelp = 110,
    kInstructions = 111,
    kForgotLink = 112,
};

// Texts of these tests are UTF-8; the dialog and the store keep them as UTF-16.
std::wstring Wide(const std::string &utf8)
{
    std::wstring wide(utf8.size(), L'\0');
    wide.resize(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), &wide[0],
                                    static_cast<int>(wide.size())));
    return wide;
}

std::string ItemText(HWND dialog, int id)
{
    std::vector<wchar_t> text(4096);
    GetDlgItemTextW(dialog, id, text.data(), static_cast<int>(text.size()));
    return Utf8FromWide(text.data());
}

void SetItemText(HWND dialog, int id, const std::string &utf8)
{
    SetDlgItemTextW(dialog, id, Wide(utf8).c_str());
}

void SetAccount(const std::string &login, const std::string &password)
{
    g_pAddin->SetAccount(Wide(login).c_str(), Wide(password).c_str());
}

std::string Login()
{
    return Utf8FromWide(g_pAddin->Login());
}

std::string Password()
{
    return Utf8FromWide(g_pAddin->Password());
}

// What the registry holds for a value of the settings key: nothing, or type and bytes.
struct Stored
{
    bool present = false;
    DWORD type = 0;
    std::string data;
    bool operator==(const Stored &o) const { return present == o.present && type == o.type && data == o.data; }
};

std::ostream &operator<<(std::ostream &out, const Stored &s)
{
    return s.present ? out << "type " << s.type << " \"" << s.data << "\"" : out << "(absent)";
}

Stored StoredValue(const char *name)
{
    Stored stored;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return stored;
    std::vector<wchar_t> data(8192);
    DWORD size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    if (RegQueryValueExW(key, Wide(name).c_str(), nullptr, &stored.type, reinterpret_cast<BYTE *>(data.data()),
                         &size) == ERROR_SUCCESS) {
        stored.present = true;
        stored.data = Utf8FromWide(std::wstring(data.data(), size / sizeof(wchar_t)));
    }
    RegCloseKey(key);
    return stored;
}

Stored Sz(const std::string &text)
{
    return Stored{true, REG_SZ, text};
}

// The password as the store keeps it, decrypted; "(none)" when there is none.
std::string ProtectedPassword()
{
    std::wstring password;
    return CSettings().ReadPassword(&password) ? Utf8FromWide(password) : "(none)";
}

class SetupDialogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_module = LoadLibraryA("QuorviaAddin.dll");
        ASSERT_TRUE(m_module);
        g_hModule = m_module;
        ASSERT_TRUE(test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey));
        CAddinCF *factory = new CAddinCF();
        factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void **>(&m_addin));
        CAddinCF::Discard(factory);
        ASSERT_TRUE(g_pAddin);
    }
    void TearDown() override
    {
        if (m_addin)
            m_addin->Release();
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
        g_hModule = nullptr;
        FreeLibrary(m_module);
    }

    // Runs the dialog over no window; the handler fills it in on the robot's
    // thread and names the button to press.
    INT_PTR Run(DialogRobot::Handler handler)
    {
        DialogRobot robot;
        robot.Expect(kCaption, std::move(handler));
        INT_PTR result = RunSetupDialog(nullptr, *g_pAddin->Account());
        // The robot presses before it records: the record may come just after the dialog ends.
        EXPECT_TRUE(robot.WaitForDialogs(1, 10000));
        EXPECT_EQ(1u, robot.Dialogs().size());
        EXPECT_TRUE(robot.Unexpected().empty());
        EXPECT_EQ(0u, robot.Pending());
        return result;
    }

    HMODULE m_module = nullptr;
    IUnknown *m_addin = nullptr;
};

} // namespace

TEST_F(SetupDialogTest, ShowsTheAccountWithTheFocusInTheLoginFieldAndTheAddinsIcon)
{
    struct Case
    {
        const char *login;
        const char *password;
    };
    const Case cases[] = {{"", ""}, {"ann@example.com", "Secret 1"}, {"анна@пример.рф", "密码 🔑"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.login);
        SetAccount(c.login, c.password);
        std::string login = "?", password = "?";
        HWND focus = nullptr, loginField = nullptr;
        HICON smallIcon = nullptr, bigIcon = nullptr;
        EXPECT_EQ(0, Run([&](HWND dialog) {
                      login = ItemText(dialog, kLogin);
                      password = ItemText(dialog, kPassword);
                      GUITHREADINFO info = {};
                      info.cbSize = sizeof info;
                      GetGUIThreadInfo(GetWindowThreadProcessId(dialog, nullptr), &info);
                      focus = info.hwndFocus;
                      loginField = GetDlgItem(dialog, kLogin);
                      smallIcon = reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_SMALL, 0));
                      bigIcon = reinterpret_cast<HICON>(SendMessageA(dialog, WM_GETICON, ICON_BIG, 0));
                      return IDCANCEL;
                  }));
        EXPECT_EQ(c.login, login);
        EXPECT_EQ(c.password, password);
        EXPECT_TRUE(loginField);
        EXPECT_EQ(loginField, focus);
        ASSERT_TRUE(smallIcon && bigIcon);
        // The dialog's icons go with it: each opening would leave two behind.
        ICONINFO info = {};
        EXPECT_FALSE(GetIconInfo(smallIcon, &info));
        EXPECT_FALSE(GetIconInfo(bigIcon, &info));
    }
}

TEST_F(SetupDialogTest, OkStoresWhatTheFieldsHoldAndCancelChangesNothing)
{
    struct Case
    {
        const char *what;
        bool storedBefore;
        const char *typedLogin;
        const char *typedPassword;
        int button;
        INT_PTR result;
        const char *login; // afterwards, in the add-in and (after Ok) in the registry
        const char *password;
    };
    const Case cases[] = {
        {"Ok with both fields emptied", true, "", "", IDOK, 1, "", ""},
        {"Ok with a new account", false, "bob@example.com", "Pass Word", IDOK, 1, "bob@example.com", "Pass Word"},
        {"Ok with an account in other scripts", false, "王伟@例子.中国", "пароль 🔑", IDOK, 1, "王伟@例子.中国",
         "пароль 🔑"},
        {"Cancel after editing", true, "bob@example.com", "other", IDCANCEL, 0, "ann@example.com", "secret"},
        {"Cancel after editing, nothing stored", false, "bob@example.com", "other", IDCANCEL, 0, "ann@example.com",
         "secret"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
        SetAccount("ann@example.com", "secret");
        if (c.storedBefore) {
            HKEY key = nullptr;
            ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE,
                                                     nullptr, &key, nullptr));
            RegSetValueExA(key, "login", 0, REG_SZ, reinterpret_cast<const BYTE *>("ann@example.com"), 15);
            RegSetValueExA(key, "password", 0, REG_SZ, reinterpret_cast<const BYTE *>("secret"), 6);
            RegCloseKey(key);
        }
        const Stored loginBefore = StoredValue("login"), passwordBefore = StoredValue("password");

        EXPECT_EQ(c.result, Run([&](HWND dialog) {
                      SetItemText(dialog, kLogin, c.typedLogin);
                      SetItemText(dialog, kPassword, c.typedPassword);
                      return c.button;
                  }));
        EXPECT_EQ(c.login, Login());
        EXPECT_EQ(c.password, Password());
        if (c.button == IDOK) {
            EXPECT_EQ(Sz(c.login), StoredValue("login"));
            // Never in clear: the one written by an earlier version is gone too.
            EXPECT_EQ(Stored(), StoredValue("password"));
            EXPECT_EQ(c.password, ProtectedPassword());
        } else {
            EXPECT_EQ(loginBefore, StoredValue("login"));
            EXPECT_EQ(passwordBefore, StoredValue("password"));
            EXPECT_EQ(c.storedBefore, test::RegistryKeyExists(HKEY_CURRENT_USER, kVendorKey));
        }
    }
}

// ES_LOWERCASE turns typed letters into lower case; Wine's edit control does
// the same for text set with WM_SETTEXT, so both paths are checked.
TEST_F(SetupDialogTest, UpperCaseLettersInTheLoginBecomeLowerCaseAndThePasswordKeepsThem)
{
    std::string typedLogin, setLogin, typedPassword;
    EXPECT_EQ(1, Run([&](HWND dialog) {
                  HWND login = GetDlgItem(dialog, kLogin), password = GetDlgItem(dialog, kPassword);
                  SetDlgItemTextA(dialog, kLogin, "Ann.Lee@Example.COM");
                  setLogin = ItemText(dialog, kLogin);
                  SetDlgItemTextA(dialog, kLogin, "");
                  SetDlgItemTextA(dialog, kPassword, "");
                  for (const char *p = "Ann.Lee@Example.COM"; *p; ++p)
                      SendMessageA(login, WM_CHAR, static_cast<BYTE>(*p), 1);
                  for (const char *p = "PassWORD"; *p; ++p)
                      SendMessageA(password, WM_CHAR, static_cast<BYTE>(*p), 1);
                  typedLogin = ItemText(dialog, kLogin);
                  typedPassword = ItemText(dialog, kPassword);
                  return IDOK;
              }));
    EXPECT_EQ("ann.lee@example.com", typedLogin);
    EXPECT_EQ("ann.lee@example.com", setLogin);
    EXPECT_EQ("PassWORD", typedPassword);
    EXPECT_EQ("ann.lee@example.com", Login());
    EXPECT_EQ("PassWORD", Password());
    EXPECT_EQ(Sz("ann.lee@example.com"), StoredValue("login"));
    EXPECT_EQ("PassWORD", ProtectedPassword());
}

TEST_F(SetupDialogTest, ALoginOf1200CharactersIsStoredAsItsFirst999)
{
    std::string longLogin;
    for (int i = 0; i < 1200; ++i)
        longLogin += static_cast<char>('a' + i % 26);
    size_t shown = 0;
    EXPECT_EQ(1, Run([&](HWND dialog) {
                  SetDlgItemTextA(dialog, kLogin, longLogin.c_str());
                  SetDlgItemTextA(dialog, kPassword, longLogin.c_str());
                  shown = ItemText(dialog, kLogin).size();
                  return IDOK;
              }));
    EXPECT_EQ(1200u, shown);
    EXPECT_EQ(longLogin.substr(0, 999), Login());
    EXPECT_EQ(longLogin.substr(0, 999), Password());
    EXPECT_EQ(Sz(longLogin.substr(0, 999)), StoredValue("login"));
    EXPECT_EQ(longLogin.substr(0, 999), ProtectedPassword());
}

TEST_F(SetupDialogTest, HelpDoesNothingAndTheDialogStaysOpen)
{
    SetAccount("ann@example.com", "secret");
    LRESULT answer = -1;
    bool open = false;
    EXPECT_EQ(0, Run([&](HWND dialog) {
                  SetDlgItemTextA(dialog, kLogin, "changed@example.com");
                  answer = SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(kHelp, BN_CLICKED),
                                        reinterpret_cast<LPARAM>(GetDlgItem(dialog, kHelp)));
                  Sleep(100);
                  open = IsWindow(dialog) && IsWindowVisible(dialog);
                  return IDCANCEL;
              }));
    EXPECT_EQ(0, answer);
    EXPECT_TRUE(open);
    EXPECT_EQ("ann@example.com", Login());
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kVendorKey));
}

// --- links ------------------------------------------------------------------------

namespace {

// Points the prefix's https handler at the URL recorder for the life of the
// object and puts the old command back afterwards.
class UrlRecorder
{
public:
    UrlRecorder()
    {
        std::string program = test::ThisProgramPath();
        program = program.substr(0, program.find_last_of('\\') + 1);
        m_log = program + "url_recorder_" + std::to_string(GetCurrentProcessId()) + ".log";
        DeleteFileA(m_log.c_str());
        SetEnvironmentVariableA("QUORVIA_URL_LOG", m_log.c_str());

        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kHttpsCommandKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                            nullptr) != ERROR_SUCCESS)
            return;
        char old[2048] = {};
        DWORD size = sizeof old - 1;
        if (RegQueryValueExA(key, nullptr, nullptr, nullptr, reinterpret_cast<BYTE *>(old), &size) == ERROR_SUCCESS)
            m_old = std::string(old);
        std::string command = "\"" + program + "url_recorder.exe\" \"%1\"";
        m_ready = RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(command.c_str()),
                                 static_cast<DWORD>(command.size() + 1)) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~UrlRecorder()
    {
        HKEY key = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kHttpsCommandKey, 0, KEY_WRITE, &key) == ERROR_SUCCESS) {
            if (m_old)
                RegSetValueExA(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(m_old->c_str()),
                               static_cast<DWORD>(m_old->size() + 1));
            else
                RegDeleteValueA(key, nullptr);
            RegCloseKey(key);
        }
        SetEnvironmentVariableA("QUORVIA_URL_LOG", nullptr);
        DeleteFileA(m_log.c_str());
    }
    bool Ready() const { return m_ready; }

    Lines Opened() const
    {
        Lines lines;
        std::optional<std::string> bytes = test::ReadFileBytes(m_log);
        if (!bytes)
            return lines;
        size_t start = 0;
        for (size_t end; (end = bytes->find('\n', start)) != std::string::npos; start = end + 1)
            lines.push_back(bytes->substr(start, end - start));
        return lines;
    }
    // Waits until `count` URLs have been recorded.
    Lines WaitFor(size_t count, DWORD timeoutMs = 15000) const
    {
        for (DWORD waited = 0; Opened().size() < count && waited < timeoutMs; waited += 20)
            Sleep(20);
        return Opened();
    }

private:
    std::string m_log;
    std::optional<std::string> m_old;
    bool m_ready = false;
};

LRESULT ClickStatic(HWND dialog, int id)
{
    return SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, STN_CLICKED),
                        reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

} // namespace

TEST_F(SetupDialogTest, EachLinkOpensItsPageAndLeavesTheDialogOpen)
{
    struct Case
    {
        int link;
        const char *url;
    };
    const Case cases[] = {
        {kSignupLink, "https://www.quorvia.com/index.php/memberreg"},
        {kForgotLink, "https://www.quorvia.com/index.php/memberforgot"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.url);
        UrlRecorder recorder;
        ASSERT_TRUE(recorder.Ready());
        Lines opened;
        bool open = false;
        LRESULT plain = -1;
        EXPECT_EQ(0, Run([&](HWND dialog) {
                      // A static that is no link opens nothing.
                      plain = ClickStatic(dialog, kInstructions);
                      ClickStatic(dialog, c.link);
                      opened = recorder.WaitFor(1);
                      Sleep(300); // room for a stray second start to show
                      opened = recorder.Opened();
                      open = IsWindow(dialog) && IsWindowVisible(dialog);
                      return IDCANCEL;
                  }));
        EXPECT_EQ(0, plain);
        EXPECT_EQ(Lines{c.url}, opened);
        EXPECT_TRUE(open);
    }
}

TEST_F(SetupDialogTest, TheCursorOverALinkIsTheHand)
{
    const HCURSOR hand = LoadCursorA(nullptr, IDC_HAND);
    const HCURSOR arrow = LoadCursorA(nullptr, IDC_ARROW);
    struct Seen
    {
        int control;
        LRESULT result;
        HCURSOR cursor;
    };
    std::vector<Seen> seen;
    EXPECT_EQ(0, Run([&](HWND dialog) {
                  // The cursor belongs to the dialog thread's input state: share it.
                  DWORD dialogThread = GetWindowThreadProcessId(dialog, nullptr);
                  AttachThreadInput(GetCurrentThreadId(), dialogThread, TRUE);
                  for (int id : {kInstructions, kSignupLink, kLogin, kForgotLink}) {
                      SetCursor(arrow);
                      LRESULT result = SendMessageA(dialog, WM_SETCURSOR, reinterpret_cast<WPARAM>(GetDlgItem(dialog, id)),
                                                    MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
                      seen.push_back({id, result, GetCursor()});
                  }
                  AttachThreadInput(GetCurrentThreadId(), dialogThread, FALSE);
                  return IDCANCEL;
              }));
    ASSERT_EQ(4u, seen.size());
    for (const Seen &s : seen) {
        SCOPED_TRACE(s.control);
        const bool link = s.control == kSignupLink || s.control == kForgotLink;
        if (link) {
            EXPECT_EQ(TRUE, s.result);
            EXPECT_EQ(hand, s.cursor);
        } else {
            EXPECT_NE(hand, s.cursor);
        }
    }
}

TEST_F(SetupDialogTest, LinksAreDrawnBlueAndUnderlinedWithOneFontPerDialog)
{
    struct Drawn
    {
        LRESULT brush;
        COLORREF colour;
        int mode;
        HGDIOBJ font;
    };
    std::vector<Drawn> links, plain;
    HGDIOBJ dialogFont = nullptr;
    HGDIOBJ signupFont = nullptr, forgotFont = nullptr;
    LOGFONTA description = {}, base = {};
    EXPECT_EQ(0, Run([&](HWND dialog) {
                  HDC dc = CreateCompatibleDC(nullptr);
                  HGDIOBJ original = GetCurrentObject(dc, OBJ_FONT);
                  dialogFont = reinterpret_cast<HGDIOBJ>(SendMessageA(dialog, WM_GETFONT, 0, 0));
                  // Static controls draw with their own font, so the links must own the underlined one.
                  signupFont = reinterpret_cast<HGDIOBJ>(SendMessageA(GetDlgItem(dialog, kSignupLink), WM_GETFONT, 0, 0));
                  forgotFont = reinterpret_cast<HGDIOBJ>(SendMessageA(GetDlgItem(dialog, kForgotLink), WM_GETFONT, 0, 0));
                  auto draw = [&](int id) {
                      SetTextColor(dc, RGB(0, 0, 0));
                      SetBkMode(dc, OPAQUE);
                      SelectObject(dc, original);
                      LRESULT brush = SendMessageA(dialog, WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
                                                   reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
                      return Drawn{brush, GetTextColor(dc), GetBkMode(dc), GetCurrentObject(dc, OBJ_FONT)};
                  };
                  for (int repaint = 0; repaint < 50; ++repaint) {
                      links.push_back(draw(kSignupLink));
                      links.push_back(draw(kForgotLink));
                  }
                  plain.push_back(draw(kInstructions));
                  GetObjectA(links[0].font, sizeof description, &description);
                  GetObjectA(dialogFont, sizeof base, &base);
                  SelectObject(dc, original);
                  DeleteDC(dc);
                  return IDCANCEL;
              }));
    ASSERT_EQ(100u, links.size());
    const HGDIOBJ linkFont = links[0].font;
    for (const Drawn &d : links) {
        EXPECT_EQ(reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)), d.brush);
        EXPECT_EQ(RGB(0, 0, 255), d.colour);
        EXPECT_EQ(TRANSPARENT, d.mode);
        EXPECT_EQ(linkFont, d.font); // made once, not per repaint
    }
    EXPECT_EQ(linkFont, signupFont);
    EXPECT_EQ(linkFont, forgotFont);
    // The dialog's font, underlined.
    ASSERT_TRUE(dialogFont);
    ASSERT_NE('\0', base.lfFaceName[0]);
    EXPECT_FALSE(base.lfUnderline);
    EXPECT_TRUE(description.lfUnderline);
    EXPECT_EQ(base.lfHeight, description.lfHeight);
    EXPECT_EQ(base.lfWeight, description.lfWeight);
    EXPECT_STREQ(base.lfFaceName, description.lfFaceName);
    // Freed with the dialog.
    EXPECT_EQ(0u, GetObjectType(linkFont));

    ASSERT_EQ(1u, plain.size());
    EXPECT_NE(reinterpret_cast<LRESULT>(GetStockObject(NULL_BRUSH)), plain[0].brush);
    EXPECT_NE(RGB(0, 0, 255), plain[0].colour);
    EXPECT_NE(linkFont, plain[0].font);
}

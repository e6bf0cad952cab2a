// Self-registration of the built QuorviaAddin.dll, machine-wide and for the
// current user (/n /i:user), through regsvr32 as an installer would run it, and
// through DllRegisterServer and DllInstall themselves where the exact HRESULT
// matters. Every case starts and ends with none of the add-in's keys.

#include "com/Identity.h"
#include "com/Resources.h"
#include "ShippedAddinSupport.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <olectl.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

const char kClsidKey[] = "CLSID\\" QUORVIA_CLSID_TEXT;
const char kProgIdKey[] = QUORVIA_PROGID;
const char kOutlookKey[] = "Software\\Microsoft\\Office\\Outlook";
const char kAddinsKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins";
const char kAddinKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins\\" QUORVIA_PROGID;
const char kVendorKey[] = "Software\\Halvern Software";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";

// A way to register: the regsvr32 switches, DllInstall's command line (none:
// DllRegisterServer), and where the class goes.
struct Scope
{
    const char *name;
    const char *registerSwitches;
    const char *unregisterSwitches;
    const wchar_t *installLine;
    HKEY root;
    std::string prefix;
};
const Scope kScopes[] = {
    {"machine-wide", "/s", "/s /u", nullptr, HKEY_CLASSES_ROOT, ""},
    {"per-user", "/s /n /i:user", "/s /u /n /i:user", L"user", HKEY_CURRENT_USER, "Software\\Classes\\"},
};
const Scope &kMachine = kScopes[0], &kUser = kScopes[1];

using ValueMap = std::map<std::string, std::pair<DWORD, std::string>>;   // name -> (type, bytes)

std::pair<DWORD, std::string> Sz(const std::string &text)
{
    return {REG_SZ, std::string(text.c_str(), text.size() + 1)};   // the terminator is part of the data
}

std::pair<DWORD, std::string> Dword(DWORD value)
{
    return {REG_DWORD, std::string(reinterpret_cast<const char *>(&value), sizeof value)};
}

struct KeyContents
{
    bool exists = false;
    ValueMap values;
    std::set<std::string> subkeys;
};

KeyContents ReadKey(HKEY root, const std::string &path)
{
    KeyContents contents;
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return contents;
    contents.exists = true;
    for (DWORD i = 0;; ++i) {
        char name[16384];
        DWORD nameLength = sizeof name;
        BYTE data[4096];
        DWORD dataSize = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataSize) != ERROR_SUCCESS)
            break;
        contents.values[name] = {type, std::string(reinterpret_cast<char *>(data), dataSize)};
    }
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        contents.subkeys.insert(name);
    }
    RegCloseKey(key);
    return contents;
}

struct ExpectedKey
{
    HKEY root;
    std::string path;
    ValueMap values;
    std::set<std::string> subkeys;
};

std::vector<ExpectedKey> ClassKeys(const Scope &scope, const std::string &dllPath)
{
    const std::string clsid = scope.prefix + kClsidKey, progId = scope.prefix + kProgIdKey;
    return {
        {scope.root, clsid, {{"", Sz(QUORVIA_DESCRIPTION)}}, {"InprocServer32", "ProgID"}},
        // No ThreadingModel: the add-in lives in Outlook's main apartment.
        {scope.root, clsid + "\\InprocServer32", {{"", Sz(dllPath)}}, {}},
        {scope.root, clsid + "\\ProgID", {{"", Sz(QUORVIA_PROGID)}}, {}},
        {scope.root, progId, {{"", Sz(QUORVIA_DESCRIPTION)}}, {"CLSID"}},
        {scope.root, progId + "\\CLSID", {{"", Sz(QUORVIA_CLSID_TEXT)}}, {}},
    };
}

ExpectedKey OutlookAddinKey()
{
    return {HKEY_CURRENT_USER,
            kAddinKey,
            {{"LoadBehavior", Dword(3)},
             {"CommandLineSafe", Dword(0)},
             {"FriendlyName", Sz(QUORVIA_DESCRIPTION)},
             {"Description", Sz(QUORVIA_DESCRIPTION)}},
            {}};
}

void ExpectKeys(const std::vector<ExpectedKey> &expected)
{
    for (const ExpectedKey &key : expected) {
        SCOPED_TRACE((key.root == HKEY_CLASSES_ROOT ? "HKCR\\" : "HKCU\\") + key.path);
        KeyContents actual = ReadKey(key.root, key.path);
        ASSERT_TRUE(actual.exists);
        EXPECT_EQ(key.values, actual.values);
        EXPECT_EQ(key.subkeys, actual.subkeys);
    }
}

bool HasClass(const Scope &scope)
{
    return test::RegistryKeyExists(scope.root, scope.prefix + kClsidKey) ||
           test::RegistryKeyExists(scope.root, scope.prefix + kProgIdKey);
}

void RemoveAddinKeys()
{
    for (const Scope &scope : kScopes) {
        test::DeleteRegistryTree(scope.root, scope.prefix + kClsidKey);
        test::DeleteRegistryTree(scope.root, scope.prefix + kProgIdKey);
    }
    test::DeleteRegistryTree(HKEY_CURRENT_USER, kAddinKey);
}

// Builds `depth` levels with `breadth` subkeys each, every key with a value.
void CreateTree(HKEY root, const std::string &path, int depth, int breadth)
{
    if (depth == 0)
        return;
    for (int i = 0; i < breadth; ++i) {
        std::string child = path + "\\level" + std::to_string(depth) + "-" + std::to_string(i);
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS,
                  RegCreateKeyExA(root, child.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegSetValueExA(key, "v", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2);
        RegCloseKey(key);
        CreateTree(root, child, depth - 1, breadth);
    }
}

int CountKeys(HKEY root, const std::string &path)
{
    KeyContents contents = ReadKey(root, path);
    if (!contents.exists)
        return 0;
    int count = 1;
    for (const std::string &child : contents.subkeys)
        count += CountKeys(root, path + "\\" + child);
    return count;
}

class RegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_dllPath = test::AddinDllPath();
        ASSERT_TRUE(test::PathExists(m_dllPath)) << m_dllPath;
        RemoveAddinKeys();
    }
    void TearDown() override
    {
        if (m_dll)
            FreeLibrary(m_dll);
        RemoveAddinKeys();
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
    }

    DWORD Regsvr32(const char *options)
    {
        test::ProcessResult run = test::RunProcess(std::string("regsvr32.exe ") + options + " \"" + m_dllPath + "\"");
        EXPECT_TRUE(run.started);
        return run.exitCode;
    }

    // DllRegisterServer, or DllInstall with `line`, of the DLL at `dll`
    // (loaded into this process on the first call).
    HRESULT CallRegistration(BOOL install, const wchar_t *line, const std::wstring &dll = L"")
    {
        if (!m_dll)
            m_dll = LoadLibraryW(dll.empty() ? WideFromAnsi(m_dllPath.c_str()).c_str() : dll.c_str());
        EXPECT_NE(nullptr, m_dll);
        auto registerServer = test::GetExport<HRESULT(STDAPICALLTYPE *)()>(m_dll, "DllRegisterServer");
        auto dllInstall = test::GetExport<HRESULT(STDAPICALLTYPE *)(BOOL, PCWSTR)>(m_dll, "DllInstall");
        if (!registerServer || !dllInstall)
            return E_UNEXPECTED;
        return (install && line == nullptr) ? registerServer() : dllInstall(install, line);
    }

    std::string m_dllPath;
    HMODULE m_dll = nullptr;
};

TEST_F(RegistrationTest, RegistersExactlyItsKeysAndOutlookFindsTheAddinByItsProgId)
{
    for (const Scope &scope : kScopes) {
        SCOPED_TRACE(scope.name);
        std::vector<ExpectedKey> expected = ClassKeys(scope, m_dllPath);
        expected.push_back(OutlookAddinKey());

        ASSERT_EQ(0u, Regsvr32(scope.registerSwitches));
        ExpectKeys(expected);
        ASSERT_EQ(0u, Regsvr32(scope.registerSwitches));
        ExpectKeys(expected);
        EXPECT_FALSE(HasClass(&scope == &kUser ? kMachine : kUser));
        {
            test::Apartment apartment;
            ComPtr<IDTExtensibility2> addin;
            EXPECT_EQ(S_OK, test::CreateShippedAddin(addin));
        }
        test::FreeUnusedShippedLibraries();
        RemoveAddinKeys();
    }
}

TEST_F(RegistrationTest, UnregisterRemovesWholeTreesOfItsScopeAndKeepsTheSettings)
{
    for (const Scope &scope : kScopes) {
        SCOPED_TRACE(scope.name);
        const Scope &other = &scope == &kUser ? kMachine : kUser;
        const std::string clsidKey = scope.prefix + kClsidKey, progIdKey = scope.prefix + kProgIdKey;
        ASSERT_EQ(0u, Regsvr32(other.registerSwitches));
        ASSERT_EQ(0u, Regsvr32(scope.registerSwitches));
        // Whatever else was put below the add-in's keys goes with them.
        CreateTree(scope.root, clsidKey, 3, 3);
        CreateTree(scope.root, clsidKey + "\\InprocServer32", 2, 2);
        CreateTree(scope.root, progIdKey, 2, 3);
        CreateTree(HKEY_CURRENT_USER, kAddinKey, 2, 2);
        ASSERT_EQ(1 + 2 + (3 + 9 + 27) + (2 + 4), CountKeys(scope.root, clsidKey));
        test::StoreSetting("login", "ann");

        ASSERT_EQ(0u, Regsvr32(scope.unregisterSwitches));

        EXPECT_FALSE(HasClass(scope));
        EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
        // Only the add-in's own entries go; the keys around them stay, and so
        // does the other scope's class.
        EXPECT_TRUE(test::RegistryKeyExists(scope.root, scope.prefix + "CLSID"));
        EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinsKey));
        for (const ExpectedKey &key : ClassKeys(other, m_dllPath))
            EXPECT_EQ(key.values, ReadKey(key.root, key.path).values) << key.path;
        EXPECT_EQ((ValueMap{{"login", Sz("ann")}}), ReadKey(HKEY_CURRENT_USER, kSettingsKey).values);

        // Unregistering what is not there still succeeds.
        EXPECT_EQ(0u, Regsvr32(scope.unregisterSwitches));
        RemoveAddinKeys();
    }
}

// Only "user" is known, in any case; anything else changes nothing.
TEST_F(RegistrationTest, DllInstallKnowsOnlyTheCommandLineUser)
{
    const struct
    {
        BOOL install;
        const wchar_t *line;
        HRESULT expected;
    } cases[] = {{TRUE, L"", E_INVALIDARG},      {TRUE, L"user ", E_INVALIDARG}, {FALSE, nullptr, E_INVALIDARG},
                 {FALSE, L"/u", E_INVALIDARG}, {TRUE, L"USER", S_OK},          {FALSE, L"User", S_OK}};
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message() << c.install << " " << (c.line ? AnsiFromWide(c.line) : "(null)"));
        RemoveAddinKeys();
        if (!c.install) {
            ASSERT_EQ(S_OK, CallRegistration(TRUE, L"user"));
        }
        EXPECT_EQ(c.expected, CallRegistration(c.install, c.line));
        const bool registered = (c.expected == S_OK) == (c.install != FALSE);
        EXPECT_EQ(registered, HasClass(kUser));
        EXPECT_EQ(registered, test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
        EXPECT_FALSE(HasClass(kMachine));
    }
}

// The DLL's own path, as it is, whatever scripts its folders are named in:
// a per-user install lives in the profile, named after the user.
TEST_F(RegistrationTest, RegistersTheDllsPathWrittenInAnyScript)
{
    const std::wstring folder = WideFromAnsi(test::LocalAppDataLogFolder().c_str()) + L" \u0141\u00F3d\u017A \u041C\u0438\u0440 \u2713";
    const std::wstring copy = folder + L"\\QuorviaAddin.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(WideFromAnsi(m_dllPath.c_str()).c_str(), copy.c_str(), FALSE));
    for (const Scope &scope : kScopes) {
        SCOPED_TRACE(scope.name);
        ASSERT_EQ(S_OK, CallRegistration(TRUE, scope.installLine, copy));
        wchar_t registered[MAX_PATH] = {};
        DWORD size = sizeof registered;
        RegGetValueW(scope.root, WideFromAnsi((scope.prefix + kClsidKey + "\\InprocServer32").c_str()).c_str(), nullptr,
                     RRF_RT_REG_SZ, nullptr, registered, &size);
        EXPECT_EQ(copy, registered);
    }
    FreeLibrary(m_dll);
    m_dll = nullptr;
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
}

// A volatile key accepts no lasting children, which makes a chosen write of
// the registration fail the way a key without write access would.
class RefusedWriteTest : public RegistrationTest
{
protected:
    void SetUp() override
    {
        RegistrationTest::SetUp();
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsKey);
    }
    void TearDown() override
    {
        // Volatile keys would outlive this program in the test's wineserver and
        // refuse every later registration.
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsKey);
        RegistrationTest::TearDown();
    }

    static void CreateVolatileKey(HKEY root, const std::string &path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path.c_str(), 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                                 nullptr, &key, nullptr));
        HKEY child = nullptr;
        EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
                  RegCreateKeyExA(key, "probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr))
            << "this registry does not refuse lasting children of volatile keys";
        RegCloseKey(key);
    }
};

// The add-in key is written only after the class, and a refused write leaves
// none of the registration's keys: Outlook is never told to load a class
// that is not there.
TEST_F(RefusedWriteTest, ARefusedWriteFailsWithItsHresultAndLeavesNoKey)
{
    const struct
    {
        bool classKey, addinKey;
        HRESULT expected;
    } cases[] = {{true, false, SELFREG_E_CLASS}, {false, true, E_ACCESSDENIED}, {true, true, SELFREG_E_CLASS}};
    for (const Scope &scope : kScopes) {
        for (const auto &c : cases) {
            SCOPED_TRACE(testing::Message() << scope.name << ", class key refused " << c.classKey);
            for (bool throughRegsvr32 : {false, true}) {
                if (c.classKey)
                    CreateVolatileKey(scope.root, scope.prefix + kProgIdKey);
                if (c.addinKey)
                    CreateVolatileKey(HKEY_CURRENT_USER, kAddinsKey);
                if (throughRegsvr32)
                    EXPECT_NE(0u, Regsvr32(scope.registerSwitches));   // an installer learns of it too
                else
                    EXPECT_EQ(c.expected, CallRegistration(TRUE, scope.installLine));
                EXPECT_FALSE(HasClass(scope));
                EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
            }
            RemoveAddinKeys();
            test::DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsKey);
        }
    }
}

} // namespace

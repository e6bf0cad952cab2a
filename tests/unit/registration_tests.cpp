// Self-registration of the built QuorviaAddin.dll, machine-wide (regsvr32) and
// for the current user alone (regsvr32 /n /i:user), through regsvr32 as an
// installer would run it, and through the entry points themselves where the
// exact HRESULT matters. Every case starts and ends with none of the add-in's keys.

#include "RegistrationSupport.h"
#include "ShippedAddinSupport.h"
#include "com/Resources.h"

#include <gtest/gtest.h>
#include <olectl.h>

#include <string>
#include <vector>

using namespace test;

namespace {

// A way to register: the regsvr32 switches, the entry point's command line
// (none: DllRegisterServer) and where the class goes.
struct Scope
{
    const char *name;
    const Classes &classes;
    const char *registerSwitches;
    const char *unregisterSwitches;
    const wchar_t *installLine;
};
const Scope kScopes[] = {
    {"machine-wide", kMachineClasses, "/s", "/s /u", nullptr},
    {"per-user", kUserClasses, "/s /n /i:user", "/s /u /n /i:user", L"user"},
};

void RemoveAddinKeys()
{
    RemoveClass(kMachineClasses);
    RemoveClass(kUserClasses);
    DeleteRegistryTree(HKEY_CURRENT_USER, kAddinKey);
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
        m_dllPath = AddinDllPath();
        ASSERT_TRUE(PathExists(m_dllPath)) << m_dllPath;
        RemoveAddinKeys();
    }
    void TearDown() override
    {
        if (m_dll)
            FreeLibrary(m_dll);
        RemoveAddinKeys();
        DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
    }

    DWORD Regsvr32(const char *options)
    {
        ProcessResult run = RunProcess(std::string("regsvr32.exe ") + options + " \"" + m_dllPath + "\"");
        EXPECT_TRUE(run.started);
        return run.exitCode;
    }

    // The scope's entry point, called in this process for its exact HRESULT.
    HRESULT CallRegister(const Scope &scope, const std::wstring &dllPath = std::wstring())
    {
        if (!m_dll)
            m_dll = dllPath.empty() ? LoadLibraryA(m_dllPath.c_str()) : LoadLibraryW(dllPath.c_str());
        EXPECT_NE(nullptr, m_dll);
        if (!m_dll)
            return E_UNEXPECTED;
        if (scope.installLine)
            return CallInstall(TRUE, scope.installLine);
        auto registerServer = GetExport<HRESULT(STDAPICALLTYPE *)()>(m_dll, "DllRegisterServer");
        return registerServer ? registerServer() : E_UNEXPECTED;
    }

    HRESULT CallInstall(BOOL install, const wchar_t *line)
    {
        if (!m_dll)
            m_dll = LoadLibraryA(m_dllPath.c_str());
        auto dllInstall = m_dll ? GetExport<HRESULT(STDAPICALLTYPE *)(BOOL, PCWSTR)>(m_dll, "DllInstall") : nullptr;
        EXPECT_NE(nullptr, dllInstall);
        return dllInstall ? dllInstall(install, line) : E_UNEXPECTED;
    }

    std::string m_dllPath;
    HMODULE m_dll = nullptr;
};

TEST_F(RegistrationTest, RegistersExactlyItsKeysAndOutlookCreatesTheAddinByItsProgId)
{
    for (size_t i = 0; i < 2; ++i) {
        const Scope &scope = kScopes[i];
        SCOPED_TRACE(scope.name);
        ASSERT_EQ(0u, Regsvr32(scope.registerSwitches));
        ExpectRegistered(scope.classes, m_dllPath);
        ASSERT_EQ(0u, Regsvr32(scope.registerSwitches));   // again: the same keys
        ExpectRegistered(scope.classes, m_dllPath);
        ExpectNoClass(kScopes[1 - i].classes);
        {
            Apartment apartment;
            ComPtr<IDTExtensibility2> addin;
            EXPECT_EQ(S_OK, CreateShippedAddin(addin));
            EXPECT_TRUE(addin);
        }
        FreeUnusedShippedLibraries();
        RemoveAddinKeys();
    }
}

TEST_F(RegistrationTest, UnregisterRemovesWholeTreesOfItsScopeAndKeepsTheSettings)
{
    for (size_t i = 0; i < 2; ++i) {
        const Scope &scope = kScopes[i], &other = kScopes[1 - i];
        const std::string clsidKey = scope.classes.prefix + kClsidKey, progIdKey = scope.classes.prefix + kProgIdKey;
        SCOPED_TRACE(scope.name);
        ASSERT_EQ(0u, Regsvr32(other.registerSwitches));
        ASSERT_EQ(0u, Regsvr32(scope.registerSwitches));
        // Whatever else was put below the add-in's keys goes with them.
        CreateTree(scope.classes.root, clsidKey, 3, 3);
        CreateTree(scope.classes.root, clsidKey + "\\InprocServer32", 2, 2);
        CreateTree(scope.classes.root, progIdKey, 2, 3);
        CreateTree(HKEY_CURRENT_USER, kAddinKey, 2, 2);
        ASSERT_EQ(1 + 2 + (3 + 9 + 27) + (2 + 4), CountKeys(scope.classes.root, clsidKey));
        StoreSetting("login", "ann");

        ASSERT_EQ(0u, Regsvr32(scope.unregisterSwitches));

        ExpectNoClass(scope.classes);
        EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
        // Only the add-in's own entries go; the keys around them stay, and so
        // does the other scope's class.
        EXPECT_TRUE(RegistryKeyExists(scope.classes.root, scope.classes.prefix + "CLSID"));
        EXPECT_TRUE(RegistryKeyExists(HKEY_CURRENT_USER, kAddinsKey));
        for (const ExpectedKey &key : ClassKeys(other.classes, m_dllPath))
            EXPECT_EQ(key.values, ReadKey(key.root, key.path).values) << key.path;
        KeyContents kept = ReadKey(HKEY_CURRENT_USER, kSettingsKey);
        EXPECT_EQ((ValueMap{{"login", Sz("ann")}}), kept.values);

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
    } cases[] = {
        {TRUE, nullptr, E_INVALIDARG},  {TRUE, L"", E_INVALIDARG},       {TRUE, L"machine", E_INVALIDARG},
        {TRUE, L"users", E_INVALIDARG}, {TRUE, L"user ", E_INVALIDARG},  {FALSE, nullptr, E_INVALIDARG},
        {FALSE, L"", E_INVALIDARG},     {FALSE, L"/u", E_INVALIDARG},    {TRUE, L"USER", S_OK},
        {FALSE, L"User", S_OK},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.install ? "install " : "uninstall ") +
                     (c.line ? AnsiFromWide(c.line) : std::string("(null)")));
        RemoveAddinKeys();
        if (!c.install) {
            ASSERT_EQ(S_OK, CallInstall(TRUE, L"user"));
        }

        EXPECT_EQ(c.expected, CallInstall(c.install, c.line));

        const bool registered = (c.expected == S_OK) == (c.install != FALSE);
        if (registered) {
            ExpectRegistered(kUserClasses, m_dllPath);
        } else {
            ExpectNoClass(kUserClasses);
            EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
        }
        ExpectNoClass(kMachineClasses);
    }
}

// The DLL's path is registered as it is, whatever scripts its folders are named
// in (a per-user install lives in the user's profile, named after the user).
TEST_F(RegistrationTest, RegistersTheDllsOwnPathWrittenInAnyScript)
{
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const std::wstring folder = std::wstring(temp) + L"Quorvia \u00C5s \u0141\u00F3d\u017A \u041C\u0438\u0440 \u2713";
    const std::wstring copy = folder + L"\\QuorviaAddin.dll";
    CreateDirectoryW(folder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(WideFromAnsi(m_dllPath.c_str()).c_str(), copy.c_str(), FALSE));
    for (const Scope &scope : kScopes) {
        SCOPED_TRACE(scope.name);
        ASSERT_EQ(S_OK, CallRegister(scope, copy));
        wchar_t registered[MAX_PATH] = {};
        DWORD size = sizeof registered;
        const std::wstring key = WideFromAnsi((scope.classes.prefix + kClsidKey + "\\InprocServer32").c_str());
        EXPECT_EQ(ERROR_SUCCESS,
                  RegGetValueW(scope.classes.root, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, registered, &size));
        EXPECT_EQ(copy, registered);
        RemoveAddinKeys();
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
        DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsKey);
    }
    void TearDown() override
    {
        // Volatile keys would outlive this program in the test's wineserver and
        // refuse every later registration.
        DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsKey);
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

// The add-in key is written only once the class is in place, and a refused
// write leaves none of the add-in's keys: Outlook must never be told to load a
// class that is not there.
TEST_F(RefusedWriteTest, ARefusedWriteFailsWithItsHresultAndLeavesNothing)
{
    enum Refused
    {
        ClassKey = 1,
        AddinKey = 2,
    };
    const struct
    {
        int refused;
        HRESULT expected;
    } cases[] = {{ClassKey, SELFREG_E_CLASS}, {AddinKey, E_ACCESSDENIED}, {ClassKey | AddinKey, SELFREG_E_CLASS}};
    for (const Scope &scope : kScopes) {
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(scope.name) + ", refused " + std::to_string(c.refused));
            auto refuse = [&] {
                if (c.refused & ClassKey)
                    CreateVolatileKey(scope.classes.root, scope.classes.prefix + kProgIdKey);
                if (c.refused & AddinKey)
                    CreateVolatileKey(HKEY_CURRENT_USER, kAddinsKey);
            };
            refuse();
            EXPECT_EQ(c.expected, CallRegister(scope));
            ExpectNoClass(scope.classes);
            EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));

            // An installer running regsvr32 learns of the failure too.
            refuse();
            EXPECT_NE(0u, Regsvr32(scope.registerSwitches));
            ExpectNoClass(scope.classes);
            EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));

            RemoveAddinKeys();
            DeleteRegistryTree(HKEY_CURRENT_USER, kAddinsKey);
        }
    }
}

} // namespace

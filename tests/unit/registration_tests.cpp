// Self-registration of the built QuorviaAddin.dll, through regsvr32 as an
// installer would run it, and through DllRegisterServer itself where the exact
// HRESULT matters. Every case starts and ends with none of the add-in's keys.

#include "com/Identity.h"
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

std::vector<ExpectedKey> ClassKeys(const std::string &dllPath)
{
    return {
        {HKEY_CLASSES_ROOT, kClsidKey, {{"", Sz(QUORVIA_DESCRIPTION)}}, {"InprocServer32", "ProgID"}},
        // No ThreadingModel: the add-in lives in Outlook's main apartment.
        {HKEY_CLASSES_ROOT, std::string(kClsidKey) + "\\InprocServer32", {{"", Sz(dllPath)}}, {}},
        {HKEY_CLASSES_ROOT, std::string(kClsidKey) + "\\ProgID", {{"", Sz(QUORVIA_PROGID)}}, {}},
        {HKEY_CLASSES_ROOT, kProgIdKey, {{"", Sz(QUORVIA_DESCRIPTION)}}, {"CLSID"}},
        {HKEY_CLASSES_ROOT, std::string(kProgIdKey) + "\\CLSID", {{"", Sz(QUORVIA_CLSID_TEXT)}}, {}},
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

void RemoveAddinKeys()
{
    test::DeleteRegistryTree(HKEY_CLASSES_ROOT, kClsidKey);
    test::DeleteRegistryTree(HKEY_CLASSES_ROOT, kProgIdKey);
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
        RemoveAddinKeys();
        test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
    }

    DWORD Regsvr32(const char *options)
    {
        test::ProcessResult run = test::RunProcess(std::string("regsvr32.exe ") + options + " \"" + m_dllPath + "\"");
        EXPECT_TRUE(run.started);
        return run.exitCode;
    }

    std::string m_dllPath;
};

TEST_F(RegistrationTest, RegistersExactlyItsKeysAndRegisteringAgainChangesNothing)
{
    std::vector<ExpectedKey> expected = ClassKeys(m_dllPath);
    expected.push_back(OutlookAddinKey());

    ASSERT_EQ(0u, Regsvr32("/s"));
    ExpectKeys(expected);
    ASSERT_EQ(0u, Regsvr32("/s"));
    ExpectKeys(expected);
}

TEST_F(RegistrationTest, UnregisterRemovesWholeTreesAndKeepsTheSettings)
{
    ASSERT_EQ(0u, Regsvr32("/s"));
    // Whatever else was put below the add-in's keys goes with them.
    CreateTree(HKEY_CLASSES_ROOT, kClsidKey, 3, 3);
    CreateTree(HKEY_CLASSES_ROOT, std::string(kClsidKey) + "\\InprocServer32", 2, 2);
    CreateTree(HKEY_CLASSES_ROOT, kProgIdKey, 2, 3);
    CreateTree(HKEY_CURRENT_USER, kAddinKey, 2, 2);
    ASSERT_EQ(1 + 2 + (3 + 9 + 27) + (2 + 4), CountKeys(HKEY_CLASSES_ROOT, kClsidKey));
    HKEY settings = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             &settings, nullptr));
    RegSetValueExA(settings, "login", 0, REG_SZ, reinterpret_cast<const BYTE *>("ann"), 4);
    RegCloseKey(settings);

    ASSERT_EQ(0u, Regsvr32("/s /u"));

    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CLASSES_ROOT, kProgIdKey));
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
    // Only the add-in's own entry goes; the keys around it stay.
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CLASSES_ROOT, "CLSID"));
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinsKey));
    KeyContents kept = ReadKey(HKEY_CURRENT_USER, kSettingsKey);
    ASSERT_TRUE(kept.exists);
    EXPECT_EQ((ValueMap{{"login", Sz("ann")}}), kept.values);

    // Unregistering what is not there still succeeds.
    EXPECT_EQ(0u, Regsvr32("/s /u"));
}

// A volatile key accepts no lasting children, which makes a chosen write of
// DllRegisterServer fail the way a key without write access would.
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
        if (m_dll)
            FreeLibrary(m_dll);
        RegistrationTest::TearDown();
    }

    static void CreateVolatileKey(HKEY root, const char *path)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root, path, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr,
                                                 &key, nullptr));
        HKEY child = nullptr;
        EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE,
                  RegCreateKeyExA(key, "probe", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &child, nullptr))
            << "this registry does not refuse lasting children of volatile keys";
        RegCloseKey(key);
    }

    HRESULT CallDllRegisterServer()
    {
        m_dll = LoadLibraryA(m_dllPath.c_str());
        EXPECT_NE(nullptr, m_dll);
        auto registerServer =
            m_dll ? test::GetExport<HRESULT(STDAPICALLTYPE *)()>(m_dll, "DllRegisterServer") : nullptr;
        EXPECT_NE(nullptr, registerServer);
        return registerServer ? registerServer() : E_UNEXPECTED;
    }

    HMODULE m_dll = nullptr;
};

TEST_F(RefusedWriteTest, RefusedClassKeyFailsWithSelfregClassAfterTheOtherWrites)
{
    CreateVolatileKey(HKEY_CLASSES_ROOT, kProgIdKey);

    EXPECT_EQ(SELFREG_E_CLASS, CallDllRegisterServer());

    std::vector<ExpectedKey> written = ClassKeys(m_dllPath);
    written.erase(written.begin() + 3, written.end());   // the keys before the ProgID's
    written.push_back({HKEY_CLASSES_ROOT, kProgIdKey, {{"", Sz(QUORVIA_DESCRIPTION)}}, {}});
    written.push_back(OutlookAddinKey());
    ExpectKeys(written);
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CLASSES_ROOT, std::string(kProgIdKey) + "\\CLSID"));

    // An installer running regsvr32 learns of the failure.
    EXPECT_NE(0u, Regsvr32("/s"));
}

TEST_F(RefusedWriteTest, RefusedOutlookKeyFailsWithAccessDeniedAfterTheClassWrites)
{
    CreateVolatileKey(HKEY_CURRENT_USER, kAddinsKey);

    EXPECT_EQ(E_ACCESSDENIED, CallDllRegisterServer());

    ExpectKeys(ClassKeys(m_dllPath));
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kOutlookKey));

    EXPECT_NE(0u, Regsvr32("/s"));
}

TEST_F(RefusedWriteTest, BothRefusedReportsTheClassFailure)
{
    CreateVolatileKey(HKEY_CLASSES_ROOT, kProgIdKey);
    CreateVolatileKey(HKEY_CURRENT_USER, kAddinsKey);

    EXPECT_EQ(SELFREG_E_CLASS, CallDllRegisterServer());
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CLASSES_ROOT, std::string(kProgIdKey) + "\\CLSID"));
}

} // namespace

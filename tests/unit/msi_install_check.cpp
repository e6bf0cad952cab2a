// The per-user installer as a user runs it: msiexec /i and /x with /qn, the
// stand-in Outlook loading the add-in by its ProgID in between, an earlier
// version replaced in place. It installs into the Wine prefix it runs in, so
// it is no suite program: tests/tools/check-msi.sh runs it in a fresh prefix
// and names the packages and versions in QUORVIA_MSI, QUORVIA_MSI_OLDER,
// QUORVIA_MSI_VERSION and QUORVIA_MSI_OLDER_VERSION.

#include "ShippedAddinSupport.h"
#include "com/Identity.h"
#include "host/Outlook.h"

#include <gtest/gtest.h>
#include <msi.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace test;

namespace {

// Fixed for ever, per bitness (tools/Quorvia.wxs): with another, a new version
// would install beside the old one instead of replacing it.
const char *const kUpgradeCode =
    sizeof(void *) == 8 ? "{BB7FE2B4-8326-4CE5-BED3-551888E5B168}" : "{F88CC3C7-7123-46E0-9FFD-658AED77425A}";

std::string Environment(const char *name)
{
    char value[1024] = {};
    GetEnvironmentVariableA(name, value, sizeof value);
    return value;
}

DWORD Msiexec(const std::string &action, const std::string &package)
{
    return RunProcess("msiexec.exe " + action + " \"" + package + "\" /qn", 120000).exitCode;
}

// Product code and version of each product of the upgrade code that is
// installed for this user alone.
std::vector<std::pair<std::string, std::string>> Installed()
{
    std::vector<std::pair<std::string, std::string>> products;
    char code[39], version[64];
    for (DWORD i = 0; MsiEnumRelatedProductsA(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i) {
        DWORD size = sizeof version;
        if (MsiGetProductInfoExA(code, nullptr, MSIINSTALLCONTEXT_USERUNMANAGED, INSTALLPROPERTY_VERSIONSTRING,
                                 version, &size) != ERROR_SUCCESS)
            lstrcpyA(version, "(not per user)");
        products.push_back({code, version});
    }
    return products;
}

// Every value of a key and all below it, as "path|name|type|data" lines.
void Dump(HKEY root, const std::string &path, std::vector<std::string> &lines)
{
    RegKey key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return;
    char name[256];
    BYTE data[1024];
    for (DWORD i = 0, length = sizeof name, size = sizeof data, type = 0;
         RegEnumValueA(key.Get(), i, name, &length, nullptr, &type, data, &size) == ERROR_SUCCESS;
         ++i, length = sizeof name, size = sizeof data)
        lines.push_back(path + "|" + name + "|" + std::to_string(type) + "|" + std::string((char *)data, size));
    for (DWORD i = 0, length = sizeof name;
         RegEnumKeyExA(key.Get(), i, name, &length, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
         ++i, length = sizeof name)
        Dump(root, path + "\\" + name, lines);
}

// The add-in's keys, the user's and the machine's, in order.
std::vector<std::string> AddinKeys()
{
    std::vector<std::string> lines;
    for (const std::string classes : {"Software\\Classes\\", ""}) {
        HKEY root = classes.empty() ? HKEY_CLASSES_ROOT : HKEY_CURRENT_USER;
        Dump(root, classes + "CLSID\\" QUORVIA_CLSID_TEXT, lines);
        Dump(root, classes + QUORVIA_PROGID, lines);
    }
    Dump(HKEY_CURRENT_USER, "Software\\Microsoft\\Office\\Outlook\\Addins\\" QUORVIA_PROGID, lines);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::string Text(HKEY root, const std::string &path, const char *name)
{
    char value[1024] = {};
    DWORD size = sizeof value;
    RegGetValueA(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &size);
    return value;
}

TEST(Installer, InstallsForTheUserUpgradesInPlaceLoadsInOutlookAndUninstallsKeepingTheSettings)
{
    const std::string package = Environment("QUORVIA_MSI"), older = Environment("QUORVIA_MSI_OLDER");
    const std::string version = Environment("QUORVIA_MSI_VERSION");
    ASSERT_FALSE(package.empty() || older.empty()) << "run by tests/tools/check-msi.sh";
    ASSERT_EQ(0u, Installed().size()) << "the prefix is not fresh";
    char appData[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, appData);
    const std::string dll = std::string(appData) + "\\Programs\\Quorvia\\QuorviaAddin.dll";
    StoreSetting("login", "ann@example.com");

    ASSERT_EQ(0u, Msiexec("/i", older));
    ASSERT_EQ(1u, Installed().size());
    EXPECT_EQ(Environment("QUORVIA_MSI_OLDER_VERSION"), Installed()[0].second);
    ASSERT_EQ(0u, Msiexec("/i", package));
    // One product left, the later one; an earlier one does not replace it.
    EXPECT_NE(0u, Msiexec("/i", older));
    const auto products = Installed();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(version, products[0].second);
    // Wine's msi writes a per-user product's Programs and Features entry under
    // HKLM (in the registry view of the package's bitness); Windows writes it under HKCU.
    const std::string entry = "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + products[0].first;
    EXPECT_EQ(QUORVIA_DESCRIPTION + std::string(sizeof(void *) == 8 ? " (64-bit)" : " (32-bit)"),
              Text(HKEY_LOCAL_MACHINE, entry, "DisplayName"));
    EXPECT_EQ(version, Text(HKEY_LOCAL_MACHINE, entry, "DisplayVersion"));

    // Exactly the keys that `regsvr32 /n /i:user` writes for the installed DLL.
    const std::vector<std::string> installed = AddinKeys();
    ASSERT_EQ(0u, RunProcess("regsvr32.exe /s /u /n /i:user \"" + dll + "\"").exitCode);
    EXPECT_EQ(0u, AddinKeys().size());
    ASSERT_EQ(0u, RunProcess("regsvr32.exe /s /n /i:user \"" + dll + "\"").exitCode);
    EXPECT_EQ(9u, installed.size());
    EXPECT_EQ(AddinKeys(), installed);

    {
        Apartment apartment;
        host::Outlook outlook;
        ComPtr<IDTExtensibility2> addin;
        ASSERT_EQ(S_OK, CreateShippedAddin(addin));
        char loaded[MAX_PATH] = {};
        GetModuleFileNameA(GetModuleHandleA("QuorviaAddin.dll"), loaded, MAX_PATH);
        EXPECT_EQ(dll, loaded);
        outlook.Load(addin.Get());
        addin.Reset();
        EXPECT_EQ(S_OK, outlook.Start());
        outlook.Quit();
        EXPECT_EQ(0u, outlook.ReleaseAddin());
    }
    // As Outlook's COM lets the DLL go, so that the uninstaller can remove it.
    FreeUnusedShippedLibraries();

    ASSERT_EQ(0u, Msiexec("/x", package));
    EXPECT_EQ(0u, AddinKeys().size());
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, entry));
    EXPECT_FALSE(PathExists(dll));
    EXPECT_EQ(0u, Installed().size());
    EXPECT_EQ("ann@example.com", StoredSetting("login"));
}

} // namespace

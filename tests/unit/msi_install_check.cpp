// The per-user installer as a user runs it, under Wine: msiexec /i and /x with
// /qn, Outlook finding and loading the add-in by its ProgID in between, and an
// earlier version replaced in place. Not one of the suite's programs: it
// installs into the prefix it runs in, so tests/tools/check-msi.sh runs it in a
// fresh prefix of its own and gives it the packages (QUORVIA_MSI, QUORVIA_MSI_OLDER)
// and their versions (QUORVIA_MSI_VERSION, QUORVIA_MSI_OLDER_VERSION).

#include "RegistrationSupport.h"
#include "ShippedAddinSupport.h"

#include "host/Outlook.h"

#include <gtest/gtest.h>
#include <msi.h>

#include <string>
#include <vector>

using namespace test;

namespace {

const bool kIs64Bit = sizeof(void *) == 8;
// Fixed for ever, per bitness (tools/Quorvia.wxs): with another, a new version
// would install beside the old one instead of replacing it.
const char *const kUpgradeCode =
    kIs64Bit ? "{BB7FE2B4-8326-4CE5-BED3-551888E5B168}" : "{F88CC3C7-7123-46E0-9FFD-658AED77425A}";
const std::string kProductName = std::string(QUORVIA_DESCRIPTION) + (kIs64Bit ? " (64-bit)" : " (32-bit)");

std::string Environment(const char *name)
{
    char value[1024];
    DWORD length = GetEnvironmentVariableA(name, value, sizeof value);
    return length && length < sizeof value ? value : "";
}

std::string InstalledDll()
{
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder);
    return std::string(folder) + "\\Programs\\Quorvia\\QuorviaAddin.dll";
}

// The products of the upgrade code, each as its product code.
std::vector<std::string> Products()
{
    std::vector<std::string> codes;
    char code[39];
    for (DWORD i = 0; MsiEnumRelatedProductsA(kUpgradeCode, 0, i, code) == ERROR_SUCCESS; ++i)
        codes.push_back(code);
    return codes;
}

// A product's version as installed for this user alone; "(none)" when it is
// not installed in that context (as for a machine-wide install).
std::string UserVersion(const std::string &product)
{
    char version[64];
    DWORD size = sizeof version;
    if (MsiGetProductInfoExA(product.c_str(), nullptr, MSIINSTALLCONTEXT_USERUNMANAGED, INSTALLPROPERTY_VERSIONSTRING,
                             version, &size) != ERROR_SUCCESS)
        return "(none)";
    return version;
}

// The installed versions of the upgrade code, per-user installs only counted.
std::vector<std::string> InstalledVersions()
{
    std::vector<std::string> versions;
    for (const std::string &product : Products())
        versions.push_back(UserVersion(product));
    return versions;
}

// Programs and Features. Wine's msi writes a per-user product's entry under
// HKLM (in the installing program's registry view), where Windows writes it
// under HKCU: this reads where Wine puts it.
std::string UninstallKey(const std::string &product)
{
    return "Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + product;
}

// The DLL's own VERSIONINFO, as the three numbers installers compare.
std::string FileVersion(const std::string &path)
{
    DWORD ignored = 0;
    std::vector<BYTE> data(GetFileVersionInfoSizeA(path.c_str(), &ignored));
    VS_FIXEDFILEINFO *info = nullptr;
    UINT length = 0;
    if (data.empty() || !GetFileVersionInfoA(path.c_str(), 0, static_cast<DWORD>(data.size()), data.data()) ||
        !VerQueryValueA(data.data(), "\\", reinterpret_cast<void **>(&info), &length))
        return "(none)";
    return std::to_string(HIWORD(info->dwProductVersionMS)) + "." + std::to_string(LOWORD(info->dwProductVersionMS)) +
           "." + std::to_string(HIWORD(info->dwProductVersionLS));
}

class InstallerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_package = Environment("QUORVIA_MSI");
        m_older = Environment("QUORVIA_MSI_OLDER");
        m_version = Environment("QUORVIA_MSI_VERSION");
        m_olderVersion = Environment("QUORVIA_MSI_OLDER_VERSION");
        ASSERT_FALSE(m_package.empty() || m_older.empty()) << "run by tests/tools/check-msi.sh";
        ASSERT_EQ(std::vector<std::string>{}, Products()) << "the prefix is not fresh";
        DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
    }

    static DWORD Msiexec(const std::string &arguments)
    {
        ProcessResult run = RunProcess("msiexec.exe " + arguments + " /qn", 120000);
        EXPECT_TRUE(run.started);
        return run.exitCode;
    }

    // Outlook's start: the add-in found by its ProgID, loaded from where the
    // package put it, connected and started, then Outlook quits and lets go.
    static void OutlookStartsAndQuits()
    {
        {
            Apartment apartment;
            host::Outlook outlook;
            ComPtr<IDTExtensibility2> addin;
            ASSERT_EQ(S_OK, CreateShippedAddin(addin));
            char loaded[MAX_PATH] = {};
            GetModuleFileNameA(GetModuleHandleA("QuorviaAddin.dll"), loaded, MAX_PATH);
            EXPECT_STREQ(InstalledDll().c_str(), loaded);
            outlook.Load(addin.Get());
            addin.Reset();
            EXPECT_EQ(S_OK, outlook.Start());
            outlook.Quit();
            EXPECT_EQ(0u, outlook.ReleaseAddin());
        }
        // Unloaded, as Outlook's COM does, so that the uninstaller can remove it.
        FreeUnusedShippedLibraries();
        EXPECT_EQ(nullptr, GetModuleHandleA("QuorviaAddin.dll"));
    }

    static void ExpectNothingInstalled()
    {
        ExpectNoClass(kUserClasses);
        ExpectNoClass(kMachineClasses);
        EXPECT_FALSE(RegistryKeyExists(HKEY_CURRENT_USER, kAddinKey));
        EXPECT_FALSE(PathExists(InstalledDll()));
        EXPECT_EQ(std::vector<std::string>{}, Products());
    }

    std::string m_package, m_older, m_version, m_olderVersion;
};

TEST_F(InstallerTest, InstallsForTheUserOutlookLoadsItAndUninstallKeepsTheSettings)
{
    StoreSetting("login", "ann@example.com");
    StoreSetting("password", "s3cret pass");

    ASSERT_EQ(0u, Msiexec("/i \"" + m_package + "\""));

    // The keys of `regsvr32 /n /i:user`, and nothing for the machine.
    ExpectRegistered(kUserClasses, InstalledDll());
    ExpectNoClass(kMachineClasses);
    EXPECT_EQ(m_version, FileVersion(InstalledDll()));
    const std::vector<std::string> products = Products();
    ASSERT_EQ(1u, products.size());
    EXPECT_EQ(m_version, UserVersion(products[0]));
    KeyContents entry = ReadKey(HKEY_LOCAL_MACHINE, UninstallKey(products[0]));
    ASSERT_TRUE(entry.exists);
    EXPECT_EQ(Sz(kProductName), entry.values["DisplayName"]);
    EXPECT_EQ(Sz(m_version), entry.values["DisplayVersion"]);

    OutlookStartsAndQuits();

    ASSERT_EQ(0u, Msiexec("/x \"" + m_package + "\""));

    ExpectNothingInstalled();
    EXPECT_FALSE(RegistryKeyExists(HKEY_LOCAL_MACHINE, UninstallKey(products[0])));
    EXPECT_EQ("ann@example.com", StoredSetting("login"));
    DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
}

TEST_F(InstallerTest, ALaterVersionReplacesAnEarlierOneInPlaceAndIsNotReplacedByIt)
{
    ASSERT_NE(m_version, m_olderVersion);
    ASSERT_EQ(0u, Msiexec("/i \"" + m_older + "\""));
    EXPECT_EQ(std::vector<std::string>{m_olderVersion}, InstalledVersions());

    ASSERT_EQ(0u, Msiexec("/i \"" + m_package + "\""));
    EXPECT_EQ(std::vector<std::string>{m_version}, InstalledVersions());
    // Taking the earlier one away took none of the later one's keys.
    ExpectRegistered(kUserClasses, InstalledDll());

    // The earlier package refuses to replace the later one.
    EXPECT_NE(0u, Msiexec("/i \"" + m_older + "\""));
    EXPECT_EQ(std::vector<std::string>{m_version}, InstalledVersions());
    ExpectRegistered(kUserClasses, InstalledDll());
    OutlookStartsAndQuits();

    ASSERT_EQ(0u, Msiexec("/x \"" + m_package + "\""));
    ExpectNothingInstalled();
}

} // namespace

// What the tests of the add-in inside the stand-in Outlook share: the log
// lines a test appends, the account in the registry, the lines the add-in's
// objects write as they are made and destroyed, and a fixture with Outlook
// running the add-in of this build. Header-only, since every test program is
// built from its one source file.
#pragma once

#include "addin/Addin.h"
#include "addin/Globals.h"
#include "host/CallLog.h"
#include "host/DialogRobot.h"
#include "host/Faults.h"
#include "host/Outlook.h"
#include "log/DebugLog.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace test {


const char kVendorKey[] = "Software\\Halvern Software";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";
const char kCaption[] = "Quorvia Outlook Add-in";

// The lines that tell what was made, destroyed, heard and what failed: every
// line with a g_lMyObjects count, every event line and every failure line.
inline Lines Lifetimes(const Lines &lines)
{
    Lines kept;
    for (const std::string &line : lines)
        if (line.find("g_lMyObjects") != std::string::npos || line.find("Event: ") != std::string::npos ||
            line.find(" failed: ") != std::string::npos)
            kept.push_back(line);
    return kept;
}

inline void StoreString(const char *name, const std::string &value)
{
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS,
              RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

inline std::optional<std::string> StoredString(const char *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return std::nullopt;
    std::vector<char> data(4096);
    DWORD size = static_cast<DWORD>(data.size());
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data.data()), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data.data());
}

inline std::string Count(const char *what, long value)
{
    return std::string(what) + std::to_string(value);
}

// --- the lines of the add-in's objects -------------------------------------------------

// A loop-form sink (application, inspectors collection, item) connecting to a
// source whose connection point keeps one reference.
inline Lines LoopSinkConnects(const std::string &cls)
{
    return {cls + "::SinkEvents", cls + "::AddRef : count=1", cls + "::AddRef : count=2", cls + "::Release : count=1"};
}

// The last Release of a button handler: the connection point's reference goes back in Unadvise.
inline Lines ButtonHandlerDisconnects()
{
    return {"CButtonHandler::AddRef : count=2", "CButtonHandler::Release : count=1", "CButtonHandler::Release : count=0"};
}

// The last Release of a connected sink, up to its destruction.
inline Lines SinkDisconnects(const std::string &cls)
{
    return {cls + "::FreeEvents", cls + "::AddRef : count=2", cls + "::Release : count=1", cls + "::Release : count=0"};
}

// NewInspector for an unsent mail and the window's sink connecting; objects is
// g_lMyObjects before.
inline Lines InspectorSinkConnects(long objects)
{
    return {"InspectorCollectionEvent: NewInspector (F001)",
            Count("CInspectorEventHandler, g_lMyObjects=", objects + 1),
            "CInspectorEventHandler::SinkEvents",
            "CInspectorEventHandler::AddRef : count=1",
            "CInspectorEventHandler::AddRef : count=2",
            "CInspectorEventHandler::Release : count=1"};
}

// A button handler made and connected to its new button; objects is g_lMyObjects after.
inline Lines ButtonHandlerMade(long objects)
{
    return {Count("CButtonHandler, g_lMyObjects=", objects),
            "CButtonHandler::SinkEvents: QueryInterface",
            "CButtonHandler::AddRef : count=1",
            "CButtonHandler::SinkEvents: m_pConnection->Advise",
            "CButtonHandler::AddRef : count=2",
            "CButtonHandler::SinkEvents: m_pConnection->Advise done",
            "CButtonHandler::Release : count=1"};
}

// The CMailItem (taking a reference to the Tracking handler, which then has
// trackingCount) and the item sink; objects is g_lMyObjects before.
inline Lines TrackedItemMade(long objects)
{
    Lines lines = {"CMailItem constructor",
                   Count("CMailItem, g_lMyObjects=", objects + 1), "CMailItem::AddRef : count=1",
                   Count("CItemHandler, g_lMyObjects=", objects + 2)};
    for (const std::string &line : LoopSinkConnects("CItemHandler"))
        lines.push_back(line);
    return lines;
}

inline Lines Joined(std::initializer_list<Lines> parts)
{
    Lines all;
    for (const Lines &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

// A compose window's ribbon as it shows: loaded the first time (GetCustomUI,
// onLoad), then the getters of its controls.
inline Lines ComposeRibbonShown(bool firstWindow)
{
    Lines load = {"GetCustomUI: Microsoft.Outlook.Mail.Compose", "Ribbon Callback: OnRibbonLoad (0001)"};
    Lines getters = {"Ribbon Callback: GetButtonImage (0006)", "Ribbon Callback: GetTrackingPressed (0002)",
                     "Ribbon Callback: GetTrackingVisible (0005)", "Ribbon Callback: GetButtonImage (0006)"};
    return firstWindow ? Joined({load, getters}) : getters;
}

// Today's Outlook asks for the add-in's ribbon right after OnConnection and
// loads the main window's at once; Outlook 2003 has none.
inline Lines RibbonLoaded()
{
    if (host::PlaysOutlook2003())
        return {};
    return {"Office asks for the ribbon: the mail windows get no toolbar", "GetCustomUI: Microsoft.Outlook.Explorer",
            "Ribbon Callback: OnRibbonLoad (0001)"};
}

// The objects a started add-in keeps: the application's and the inspectors'
// sinks; in today's Outlook also the explorers' and the main window's.
inline long StartupObjects()
{
    return host::PlaysOutlook2003() ? 2 : 4;
}

// Today's Outlook: the explorers' sink and the main window's connecting, from
// a count of g_lMyObjects = objects.
inline Lines ExplorerSinksConnect(long objects)
{
    if (host::PlaysOutlook2003())
        return {};
    return Joined({{Count("CExplorersEventHandler, g_lMyObjects=", objects + 1)},
                   LoopSinkConnects("CExplorersEventHandler"),
                   {Count("CExplorerEventHandler, g_lMyObjects=", objects + 2), "CExplorerEventHandler::AddRef : count=1",
                    "CExplorerEventHandler::SinkEvents", "CExplorerEventHandler::AddRef : count=2",
                    "CExplorerEventHandler::AddRef : count=3", "CExplorerEventHandler::Release : count=2",
                    "CExplorerEventHandler::Release : count=1"}});
}

// The lines of the add-in's start-up with a complete account stored, from the
// Application's name on: every sink made and connected.
inline Lines SinksOfStartup()
{
    return Joined({LoopSinkConnects("CApplicationEventHandler"), {"CInspectorsCollectionEventHandler, g_lMyObjects=2"},
                   LoopSinkConnects("CInspectorsCollectionEventHandler"), ExplorerSinksConnect(2)});
}

// The add-in object of this build in the stand-in Outlook. The resources come
// from the add-in's DLL beside the test program; the account lives in the
// registry, emptied before and after each test. A dialog robot answers the
// boxes a test expects and fails the test on any other.
class OutlookTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_module = LoadLibraryA("QuorviaAddin.dll");
        ASSERT_TRUE(m_module);
        g_hModule = m_module;
        ASSERT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey));
        host::Faults::Clear();
        host::CallLog::Clear();
        m_robot = std::make_unique<host::DialogRobot>();
        outlook = std::make_unique<host::Outlook>();
        outlook->Load(host::Outlook::NewInProcessAddin().Get());
        ASSERT_TRUE(outlook->Addin());
        ASSERT_TRUE(g_pAddin);
    }

    void TearDown() override
    {
        host::Faults::Clear();
        if (outlook) {
            outlook->Quit();
            EXPECT_EQ(0u, outlook->ReleaseAddin());
            // Whatever happened, nothing of the add-in is left behind.
            EXPECT_EQ(0u, outlook->AdvisedSinks());
            EXPECT_EQ(0, g_lMyObjects);
            EXPECT_EQ(nullptr, g_pAddin);
            outlook.reset();
        }
        EXPECT_TRUE(m_robot->Unexpected().empty());
        EXPECT_EQ(0u, m_robot->Pending());
        m_robot.reset();
        DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
        g_hModule = nullptr;
        FreeLibrary(m_module);
    }

    // Start-up with a complete account stored: no box.
    void StartWithAccount(const char *login = "ann@example.com", const char *password = "secret")
    {
        StoreString("login", login);
        StoreString("password", password);
        ASSERT_EQ(S_OK, outlook->Start());
        ASSERT_EQ(StartupObjects(), g_lMyObjects);
        host::CallLog::Clear();
    }

    host::DialogRobot &Robot() { return *m_robot; }

    // The rest of the test plays Outlook 2003, with an Outlook and an add-in of its own.
    void PlayOutlook2003()
    {
        TearDown();
        m_playing = std::make_unique<host::PlayOutlook>(host::Generation::Outlook2003);
        SetUp();
    }

    std::unique_ptr<host::Outlook> outlook;

private:
    std::unique_ptr<host::PlayOutlook> m_playing;
    HMODULE m_module = nullptr;
    std::unique_ptr<host::DialogRobot> m_robot;
};

} // namespace test

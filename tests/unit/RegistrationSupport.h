// The add-in's registry entries as a test expects them, for the ways it can be
// registered: regsvr32 machine-wide or per user, and the per-user installer.
// Header-only, shared by the registration tests and the installer check.
#pragma once

#include "addin/Identity.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace test {

const char kClsidKey[] = "CLSID\\" QUORVIA_CLSID_TEXT;
const char kProgIdKey[] = QUORVIA_PROGID;
const char kAddinsKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins";
const char kAddinKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins\\" QUORVIA_PROGID;
const char kVendorKey[] = "Software\\Halvern Software";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";

// Where a registration puts the class: the machine's classes (HKEY_CLASSES_ROOT)
// or the user's own (HKCU\Software\Classes).
struct Classes
{
    HKEY root;
    std::string prefix;
    std::string Name() const { return root == HKEY_CLASSES_ROOT ? "HKCR\\" : "HKCU\\" + prefix; }
};
const Classes kMachineClasses{HKEY_CLASSES_ROOT, ""};
const Classes kUserClasses{HKEY_CURRENT_USER, "Software\\Classes\\"};

using ValueMap = std::map<std::string, std::pair<DWORD, std::string>>;   // name -> (type, bytes)

inline std::pair<DWORD, std::string> Sz(const std::string &text)
{
    return {REG_SZ, std::string(text.c_str(), text.size() + 1)};   // the terminator is part of the data
}

inline std::pair<DWORD, std::string> Dword(DWORD value)
{
    return {REG_DWORD, std::string(reinterpret_cast<const char *>(&value), sizeof value)};
}

struct KeyContents
{
    bool exists = false;
    ValueMap values;
    std::set<std::string> subkeys;
};

inline KeyContents ReadKey(HKEY root, const std::string &path)
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

inline std::vector<ExpectedKey> ClassKeys(const Classes &classes, const std::string &dllPath)
{
    const std::string clsid = classes.prefix + kClsidKey, progId = classes.prefix + kProgIdKey;
    return {
        {classes.root, clsid, {{"", Sz(QUORVIA_DESCRIPTION)}}, {"InprocServer32", "ProgID"}},
        // No ThreadingModel: the add-in lives in Outlook's main apartment.
        {classes.root, clsid + "\\InprocServer32", {{"", Sz(dllPath)}}, {}},
        {classes.root, clsid + "\\ProgID", {{"", Sz(QUORVIA_PROGID)}}, {}},
        {classes.root, progId, {{"", Sz(QUORVIA_DESCRIPTION)}}, {"CLSID"}},
        {classes.root, progId + "\\CLSID", {{"", Sz(QUORVIA_CLSID_TEXT)}}, {}},
    };
}

inline ExpectedKey OutlookAddinKey()
{
    return {HKEY_CURRENT_USER,
            kAddinKey,
            {{"LoadBehavior", Dword(3)},
             {"CommandLineSafe", Dword(0)},
             {"FriendlyName", Sz(QUORVIA_DESCRIPTION)},
             {"Description", Sz(QUORVIA_DESCRIPTION)}},
            {}};
}

// The class of `classes` and the Outlook add-in key, exactly.
inline void ExpectRegistered(const Classes &classes, const std::string &dllPath)
{
    std::vector<ExpectedKey> expected = ClassKeys(classes, dllPath);
    expected.push_back(OutlookAddinKey());
    for (const ExpectedKey &key : expected) {
        SCOPED_TRACE((key.root == HKEY_CLASSES_ROOT ? "HKCR\\" : "HKCU\\") + key.path);
        KeyContents actual = ReadKey(key.root, key.path);
        ASSERT_TRUE(actual.exists);
        EXPECT_EQ(key.values, actual.values);
        EXPECT_EQ(key.subkeys, actual.subkeys);
    }
}

inline void ExpectNoClass(const Classes &classes)
{
    EXPECT_FALSE(RegistryKeyExists(classes.root, classes.prefix + kClsidKey)) << classes.Name();
    EXPECT_FALSE(RegistryKeyExists(classes.root, classes.prefix + kProgIdKey)) << classes.Name();
}

inline void RemoveClass(const Classes &classes)
{
    DeleteRegistryTree(classes.root, classes.prefix + kClsidKey);
    DeleteRegistryTree(classes.root, classes.prefix + kProgIdKey);
}

} // namespace test

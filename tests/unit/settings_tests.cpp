// The settings store against the real registry of the test prefix. Every case
// starts and ends without the "Halvern Software" tree.

#include "com/Resources.h"
#include "settings/Settings.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

const char kVendorKey[] = "Software\\Halvern Software";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";

class SettingsTest : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey)); }
    void TearDown() override { test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey); }

    struct StoredValue
    {
        LONG rc = ERROR_FILE_NOT_FOUND;
        DWORD type = REG_NONE;
        std::string data;
    };

    // The value's bytes as the registry holds them (UTF-16 for text), read around the store.
    static StoredValue Stored(const wchar_t *name)
    {
        StoredValue stored;
        HKEY key = nullptr;
        stored.rc = RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key);
        if (stored.rc != ERROR_SUCCESS)
            return stored;
        char data[4096];
        DWORD size = sizeof data;
        stored.rc = RegQueryValueExW(key, name, nullptr, &stored.type, reinterpret_cast<BYTE *>(data), &size);
        if (stored.rc == ERROR_SUCCESS)
            stored.data.assign(data, size);
        RegCloseKey(key);
        return stored;
    }

    // Writes a value directly through the ANSI functions, as earlier versions
    // of the add-in, another program or a user with regedit would.
    static void StoreRaw(const char *name, DWORD type, const void *data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                                 &key, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size));
        RegCloseKey(key);
    }

    static std::string Utf16Bytes(const std::wstring &text)
    {
        return std::string(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
    }
};

TEST_F(SettingsTest, ReadOfMissingKeyFailsAndFirstWriteCreatesWholePath)
{
    CSettings settings;
    wchar_t buffer[16] = L"untouched";
    EXPECT_EQ(0, settings.ReadString(L"login", buffer, 16));
    EXPECT_STREQ(L"untouched", buffer);
    // A read never creates the key.
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kVendorKey));

    EXPECT_EQ(1, settings.WriteString(L"login", L"ann@example.com"));
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kSettingsKey));
    wchar_t login[64] = {};
    EXPECT_EQ(1, settings.ReadString(L"login", login, 64));
    EXPECT_STREQ(L"ann@example.com", login);
}

// The texts are C strings, so a zero follows them in memory: the registry
// would count it into the value unless the store keeps it out. Any script
// is kept as typed.
TEST_F(SettingsTest, StringsAreStoredWithoutTerminatorAndReadBackWhole)
{
    struct Case
    {
        const wchar_t *name;
        const wchar_t *text;
    } cases[] = {
        {L"login", L"ann@example.com"},
        {L"login", L"\u0430\u043D\u043D\u0430@\u043F\u0440\u0438\u043C\u0435\u0440.\u0440\u0444"},
        {L"password", L"s3cr\u00E9t \u5BC6\u7801 \U0001F511"},
        {L"login", L""}, // an empty value is zero bytes, not two
        {L"password", L"x"},
    };
    CSettings settings;
    for (const Case &c : cases) {
        SCOPED_TRACE(&c - cases);
        ASSERT_EQ(1, settings.WriteString(c.name, c.text));
        StoredValue stored = Stored(c.name);
        ASSERT_EQ(ERROR_SUCCESS, stored.rc);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.type);
        EXPECT_EQ(Utf16Bytes(c.text), stored.data); // length = text length, no terminator

        wchar_t buffer[64];
        wmemset(buffer, L'#', 64);
        EXPECT_EQ(1, settings.ReadString(c.name, buffer, 64));
        EXPECT_STREQ(c.text, buffer);
    }
}

// Earlier versions wrote the account through the ANSI functions, without a
// terminator; a user with regedit writes one.
TEST_F(SettingsTest, ValuesWrittenThroughTheAnsiFunctionsReadBackAsTheSameText)
{
    const char ansi[] = "s3cr\xE9t@by.hand";
    const std::wstring text = WideFromAnsi(ansi);
    ASSERT_EQ(std::wstring(L"s3cr\u00E9t@by.hand"), text);
    CSettings settings;
    for (DWORD size : {DWORD(sizeof ansi - 1), DWORD(sizeof ansi)}) {
        SCOPED_TRACE(size);
        StoreRaw("login", REG_SZ, ansi, size);
        wchar_t buffer[32];
        wmemset(buffer, L'#', 32);
        EXPECT_EQ(1, settings.ReadString(L"login", buffer, 32));
        EXPECT_EQ(text, buffer);
        // Exactly filling the buffer is fine when the last character is the terminator.
        std::vector<wchar_t> exact(text.size() + 1, L'#');
        EXPECT_EQ(1, settings.ReadString(L"login", exact.data(), static_cast<DWORD>(exact.size())));
        EXPECT_EQ(text, exact.data());
    }
}

// The password rests only encrypted for this user; one an earlier version
// left in clear is taken over once and removed.
TEST_F(SettingsTest, ThePasswordIsKeptEncryptedAndOneInClearIsTakenOver)
{
    CSettings settings;
    for (const wchar_t *password : {L"s3cr\u00E9t \u5BC6\u7801", L""}) {
        ASSERT_EQ(1, settings.WritePassword(password));
        StoredValue sealed = Stored(L"protected password");
        ASSERT_EQ(ERROR_SUCCESS, sealed.rc);
        EXPECT_EQ(static_cast<DWORD>(REG_BINARY), sealed.type);
        EXPECT_EQ(std::string::npos, sealed.data.find(Utf16Bytes(L"s3cr")));
        std::wstring read = L"?";
        EXPECT_EQ(1, settings.ReadPassword(&read));
        EXPECT_EQ(password, read);
    }
    test::DeleteRegistryTree(HKEY_CURRENT_USER, kVendorKey);
    StoreRaw("password", REG_SZ, "hunter2", 7);
    std::wstring read;
    EXPECT_EQ(1, settings.ReadPassword(&read));
    EXPECT_EQ(L"hunter2", read);
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, Stored(L"password").rc);
    EXPECT_EQ(ERROR_SUCCESS, Stored(L"protected password").rc);
    read.clear();
    EXPECT_EQ(1, settings.ReadPassword(&read));
    EXPECT_EQ(L"hunter2", read);
}

TEST_F(SettingsTest, TrackingDwordRoundTrips)
{
    const DWORD values[] = {0xFFFFFFFF, 1, 0};
    CSettings settings;
    for (DWORD value : values) {
        SCOPED_TRACE(value);
        ASSERT_EQ(1, settings.WriteDword(L"Tracking", value));
        StoredValue stored = Stored(L"Tracking");
        ASSERT_EQ(ERROR_SUCCESS, stored.rc);
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
        ASSERT_EQ(4u, stored.data.size());
        const unsigned char littleEndian[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                               static_cast<unsigned char>(value >> 16),
                                               static_cast<unsigned char>(value >> 24)};
        EXPECT_EQ(0, memcmp(littleEndian, stored.data.data(), 4));

        DWORD read = 0x12345678;
        EXPECT_EQ(1, settings.ReadDword(L"Tracking", &read));
        EXPECT_EQ(value, read);
    }
}

TEST_F(SettingsTest, FailedDwordReadLeavesCallersDefault)
{
    CSettings settings;
    DWORD tracking = 0xABCD;
    // No key at all.
    EXPECT_EQ(0, settings.ReadDword(L"Tracking", &tracking));
    EXPECT_EQ(0xABCDu, tracking);
    // The key, but not the value.
    ASSERT_EQ(1, settings.WriteString(L"login", L"ann"));
    EXPECT_EQ(0, settings.ReadDword(L"Tracking", &tracking));
    EXPECT_EQ(0xABCDu, tracking);
    // A value larger than four bytes.
    StoreRaw("Tracking", REG_SZ, "on and on", 9);
    EXPECT_EQ(0, settings.ReadDword(L"Tracking", &tracking));
    EXPECT_EQ(0xABCDu, tracking);
}

TEST_F(SettingsTest, ReadStringNeverWritesPastItsCapacity)
{
    constexpr DWORD kCapacity = 1000;
    constexpr size_t kGuard = 64;
    struct Case
    {
        size_t length;
        bool readable;
    } cases[] = {
        {998, true},
        {999, true},     // with its terminator it just fits
        {1000, false},   // no room left for the terminator
        {1001, false},
        {4000, false},
    };
    CSettings settings;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.length);
        std::wstring text(c.length, L'a');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<wchar_t>(0x0430 + i % 32); // Cyrillic, beyond any single code page's reach
        ASSERT_EQ(1, settings.WriteString(L"login", text.c_str()));

        std::vector<wchar_t> buffer(kCapacity + kGuard, L'#');
        EXPECT_EQ(c.readable ? 1 : 0, settings.ReadString(L"login", buffer.data(), kCapacity));
        if (c.readable) {
            EXPECT_EQ(text, std::wstring(buffer.data()));
        } else {
            EXPECT_EQ(std::wstring(kCapacity, L'#'), std::wstring(buffer.data(), kCapacity));
        }
        EXPECT_EQ(std::wstring(kGuard, L'#'), std::wstring(buffer.data() + kCapacity, kGuard));
    }
}

TEST_F(SettingsTest, NothingIsWrittenUnderLocalMachine)
{
    test::DeleteRegistryTree(HKEY_LOCAL_MACHINE, kVendorKey);
    CSettings settings;
    ASSERT_EQ(1, settings.WriteString(L"login", L"ann"));
    ASSERT_EQ(1, settings.WriteString(L"password", L"pw"));
    ASSERT_EQ(1, settings.WriteDword(L"Tracking", 0xFFFFFFFF));
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kSettingsKey));
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_LOCAL_MACHINE, kVendorKey));
}

} // namespace

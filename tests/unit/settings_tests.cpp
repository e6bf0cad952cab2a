// The settings store against the real registry of the test prefix. Every case
// starts and ends without the "Halvern Software" tree.

#include "settings/Settings.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
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

    // The value as the registry holds it, read around the store.
    static StoredValue Stored(const char *name)
    {
        StoredValue stored;
        HKEY key = nullptr;
        stored.rc = RegOpenKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, KEY_READ, &key);
        if (stored.rc != ERROR_SUCCESS)
            return stored;
        char data[4096];
        DWORD size = sizeof data;
        stored.rc = RegQueryValueExA(key, name, nullptr, &stored.type, reinterpret_cast<BYTE *>(data), &size);
        if (stored.rc == ERROR_SUCCESS)
            stored.data.assign(data, size);
        RegCloseKey(key);
        return stored;
    }

    // Writes a value directly, as another program or a user with regedit would.
    static void StoreRaw(const char *name, DWORD type, const void *data, DWORD size)
    {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr,
                                                 &key, nullptr));
        EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, name, 0, type, static_cast<const BYTE *>(data), size));
        RegCloseKey(key);
    }
};

TEST_F(SettingsTest, ReadOfMissingKeyFailsAndFirstWriteCreatesWholePath)
{
    CSettings settings;
    char buffer[16] = "untouched";
    EXPECT_EQ(0, settings.ReadString("login", buffer, sizeof buffer));
    EXPECT_STREQ("untouched", buffer);
    // A read never creates the key.
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_CURRENT_USER, kVendorKey));

    EXPECT_EQ(1, settings.WriteString("login", "ann@example.com"));
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kSettingsKey));
    char login[64] = {};
    EXPECT_EQ(1, settings.ReadString("login", login, sizeof login));
    EXPECT_STREQ("ann@example.com", login);
}

// The texts are C strings, so a zero follows them in memory: the registry
// would count it into the value unless the store keeps it out.
TEST_F(SettingsTest, StringsAreStoredWithoutTerminatorAndReadBackWhole)
{
    struct Case
    {
        const char *name;
        const char *text;
    } cases[] = {
        {"login", "ann@example.com"},
        {"password", "s3cr\xE9t pass"},   // ANSI text beyond ASCII
        {"login", ""},                    // an empty value is zero bytes, not one
        {"password", "x"},
    };
    CSettings settings;
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " = \"" + c.text + "\"");
        ASSERT_EQ(1, settings.WriteString(c.name, c.text));
        StoredValue stored = Stored(c.name);
        ASSERT_EQ(ERROR_SUCCESS, stored.rc);
        EXPECT_EQ(static_cast<DWORD>(REG_SZ), stored.type);
        EXPECT_EQ(std::string(c.text), stored.data);   // length = text length, no terminator

        char buffer[64];
        memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(1, settings.ReadString(c.name, buffer, sizeof buffer));
        EXPECT_STREQ(c.text, buffer);
    }
}

TEST_F(SettingsTest, ValueStoredWithItsTerminatorReadsBackAsTheSameText)
{
    StoreRaw("login", REG_SZ, "typed@by.hand", sizeof "typed@by.hand");
    CSettings settings;
    char buffer[32];
    memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(1, settings.ReadString("login", buffer, sizeof buffer));
    EXPECT_STREQ("typed@by.hand", buffer);

    // Exactly filling the buffer is fine when the last byte is the terminator.
    char exact[sizeof "typed@by.hand"];
    memset(exact, '#', sizeof exact);
    EXPECT_EQ(1, settings.ReadString("login", exact, sizeof exact));
    EXPECT_STREQ("typed@by.hand", exact);
}

TEST_F(SettingsTest, TrackingDwordRoundTrips)
{
    const DWORD values[] = {0xFFFFFFFF, 1, 0};
    CSettings settings;
    for (DWORD value : values) {
        SCOPED_TRACE(value);
        ASSERT_EQ(1, settings.WriteDword("Tracking", value));
        StoredValue stored = Stored("Tracking");
        ASSERT_EQ(ERROR_SUCCESS, stored.rc);
        EXPECT_EQ(static_cast<DWORD>(REG_DWORD), stored.type);
        ASSERT_EQ(4u, stored.data.size());
        const unsigned char littleEndian[4] = {static_cast<unsigned char>(value), static_cast<unsigned char>(value >> 8),
                                               static_cast<unsigned char>(value >> 16),
                                               static_cast<unsigned char>(value >> 24)};
        EXPECT_EQ(0, memcmp(littleEndian, stored.data.data(), 4));

        DWORD read = 0x12345678;
        EXPECT_EQ(1, settings.ReadDword("Tracking", &read));
        EXPECT_EQ(value, read);
    }
}

TEST_F(SettingsTest, FailedDwordReadLeavesCallersDefault)
{
    CSettings settings;
    DWORD tracking = 0xABCD;
    // No key at all.
    EXPECT_EQ(0, settings.ReadDword("Tracking", &tracking));
    EXPECT_EQ(0xABCDu, tracking);
    // The key, but not the value.
    ASSERT_EQ(1, settings.WriteString("login", "ann"));
    EXPECT_EQ(0, settings.ReadDword("Tracking", &tracking));
    EXPECT_EQ(0xABCDu, tracking);
    // A value larger than four bytes.
    StoreRaw("Tracking", REG_SZ, "on and on", 9);
    EXPECT_EQ(0, settings.ReadDword("Tracking", &tracking));
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
        std::string text(c.length, 'a');
        for (size_t i = 0; i < text.size(); ++i)
            text[i] = static_cast<char>('a' + i % 26);
        ASSERT_EQ(1, settings.WriteString("login", text.c_str()));

        std::vector<char> buffer(kCapacity + kGuard, '#');
        EXPECT_EQ(c.readable ? 1 : 0, settings.ReadString("login", buffer.data(), kCapacity));
        if (c.readable) {
            EXPECT_EQ(text, std::string(buffer.data()));
        } else {
            EXPECT_EQ(std::string(kCapacity, '#'), std::string(buffer.data(), kCapacity));
        }
        EXPECT_EQ(std::string(kGuard, '#'), std::string(buffer.data() + kCapacity, kGuard));
    }
}

TEST_F(SettingsTest, NothingIsWrittenUnderLocalMachine)
{
    test::DeleteRegistryTree(HKEY_LOCAL_MACHINE, kVendorKey);
    CSettings settings;
    ASSERT_EQ(1, settings.WriteString("login", "ann"));
    ASSERT_EQ(1, settings.WriteString("password", "pw"));
    ASSERT_EQ(1, settings.WriteDword("Tracking", 0xFFFFFFFF));
    EXPECT_TRUE(test::RegistryKeyExists(HKEY_CURRENT_USER, kSettingsKey));
    EXPECT_FALSE(test::RegistryKeyExists(HKEY_LOCAL_MACHINE, kVendorKey));
}

} // namespace

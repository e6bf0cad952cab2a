#include "settings/Settings.h"

#include "com/Resources.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;

void BuildKeyPath(char (&path)[1000])
{
    snprintf(path, sizeof path, "Software\\%s", "Halvern Software\\Quorvia Background Tracker\\Outlook Add-in");
}

} // namespace

int CSettings::ReadValue(const char *name, void *data, DWORD *size)
{
    char path[1000];
    BuildKeyPath(path);
    RegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, kAccess, key.Receive()) != ERROR_SUCCESS)
        return 0;
    return RegQueryValueExA(key.Get(), name, nullptr, nullptr, static_cast<BYTE *>(data), size) == ERROR_SUCCESS
               ? 1
               : 0;
}

int CSettings::ReadDword(const char *name, DWORD *value)
{
    DWORD read = 0;
    DWORD size = sizeof read;
    if (!ReadValue(name, &read, &size))
        return 0;
    *value = read;
    return 1;
}

int CSettings::ReadString(const char *name, char *buffer, DWORD capacity)
{
    if (capacity == 0)
        return 0;
    try {
        // Read aside first: a value that turns out not to fit must leave the
        // caller's buffer as it was.
        std::vector<char> data(capacity);
        DWORD size = capacity;
        if (!ReadValue(name, data.data(), &size))
            return 0;
        // Values written by this store carry no terminator; values typed in by hand
        // usually do. Either way the text must end inside the caller's buffer.
        if (size < capacity)
            data[size] = '\0';
        else if (data[capacity - 1] != '\0')
            return 0;
        memcpy(buffer, data.data(), size < capacity ? size + 1 : capacity);
        return 1;
    } catch (...) {   // out of memory: unreadable, the caller keeps its default
        return 0;
    }
}

int CSettings::WriteValue(const char *name, const void *data, DWORD size, DWORD type)
{
    char path[1000];
    BuildKeyPath(path);
    RegKey key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, path, 0, kAccess, key.Receive()) != ERROR_SUCCESS &&
        RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr,
                        key.Receive(), nullptr) != ERROR_SUCCESS)
        return 0;
    return RegSetValueExA(key.Get(), name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS ? 1 : 0;
}

int CSettings::WriteString(const char *name, const char *text)
{
    // RegSetValueExA counts a zero that directly follows REG_SZ data as part of
    // the value. Handing it a copy followed by a non-zero byte keeps the stored
    // value to exactly the text's characters, as this store promises.
    try {
        size_t length = strlen(text);
        std::vector<char> data(text, text + length);
        data.push_back('\x01');
        return WriteValue(name, data.data(), static_cast<DWORD>(length), REG_SZ);
    } catch (...) {   // out of memory: a failed write, like any other
        return 0;
    }
}

int CSettings::WriteDword(const char *name, DWORD value)
{
    return WriteValue(name, &value, sizeof value, REG_DWORD);
}

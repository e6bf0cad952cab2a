#include "settings/Settings.h"

#include "com/Resources.h"

#include <wincrypt.h>

#include <cstdio>
#include <cwchar>
#include <cstring>
#include <vector>

namespace {

constexpr REGSAM kAccess = KEY_READ | KEY_WRITE;
const wchar_t kProtectedPassword[] = L"protected password";
const wchar_t kClearPassword[] = L"password";

void BuildKeyPath(wchar_t (&path)[1000])
{
    _snwprintf(path, 1000, L"Software\\%ls", L"Halvern Software\\Quorvia Background Tracker\\Outlook Add-in");
    path[999] = L'\0';
}

} // namespace

int CSettings::ReadValue(const wchar_t *name, void *data, DWORD *size)
{
    wchar_t path[1000];
    BuildKeyPath(path);
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, kAccess, key.Receive()) != ERROR_SUCCESS)
        return 0;
    return RegQueryValueExW(key.Get(), name, nullptr, nullptr, static_cast<BYTE *>(data), size) == ERROR_SUCCESS
               ? 1
               : 0;
}

int CSettings::ReadDword(const wchar_t *name, DWORD *value)
{
    DWORD read = 0;
    DWORD size = sizeof read;
    if (!ReadValue(name, &read, &size))
        return 0;
    *value = read;
    return 1;
}

int CSettings::ReadString(const wchar_t *name, wchar_t *buffer, DWORD capacity)
{
    if (capacity == 0)
        return 0;
    try {
        // Read aside first: a value that turns out not to fit must leave the
        // caller's buffer as it was.
        std::vector<wchar_t> data(capacity);
        DWORD size = capacity * sizeof(wchar_t);
        if (!ReadValue(name, data.data(), &size))
            return 0;
        // Values written by this store carry no terminator; values typed in by hand
        // usually do. Either way the text must end inside the caller's buffer.
        const DWORD length = size / sizeof(wchar_t);
        if (length < capacity)
            data[length] = L'\0';
        else if (data[capacity - 1] != L'\0')
            return 0;
        memcpy(buffer, data.data(), (length < capacity ? length + 1 : capacity) * sizeof(wchar_t));
        return 1;
    } catch (...) {   // out of memory: unreadable, the caller keeps its default
        return 0;
    }
}

int CSettings::WriteValue(const wchar_t *name, const void *data, DWORD size, DWORD type)
{
    wchar_t path[1000];
    BuildKeyPath(path);
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, kAccess, key.Receive()) != ERROR_SUCCESS &&
        RegCreateKeyExW(HKEY_CURRENT_USER, path, 0, nullptr, REG_OPTION_NON_VOLATILE, kAccess, nullptr,
                        key.Receive(), nullptr) != ERROR_SUCCESS)
        return 0;
    return RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE *>(data), size) == ERROR_SUCCESS ? 1 : 0;
}

int CSettings::WriteString(const wchar_t *name, const wchar_t *text)
{
    // RegSetValueExW counts a zero that directly follows REG_SZ data as part of
    // the value. Handing it a copy followed by a non-zero character keeps the
    // stored value to exactly the text's characters, as this store promises.
    try {
        size_t length = wcslen(text);
        std::vector<wchar_t> data(text, text + length);
        data.push_back(L'\x01');
        return WriteValue(name, data.data(), static_cast<DWORD>(length * sizeof(wchar_t)), REG_SZ);
    } catch (...) {   // out of memory: a failed write, like any other
        return 0;
    }
}

int CSettings::DeleteValue(const wchar_t *name)
{
    wchar_t path[1000];
    BuildKeyPath(path);
    RegKey key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path, 0, kAccess, key.Receive()) != ERROR_SUCCESS)
        return 0;
    return RegDeleteValueW(key.Get(), name) == ERROR_SUCCESS ? 1 : 0;
}

int CSettings::WritePassword(const wchar_t *password)
{
    // The text with its terminator: an empty password is still something to protect.
    DATA_BLOB clear = {static_cast<DWORD>((wcslen(password) + 1) * sizeof(wchar_t)),
                       reinterpret_cast<BYTE *>(const_cast<wchar_t *>(password))};
    DATA_BLOB sealed = {};
    if (!CryptProtectData(&clear, L"Quorvia", nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &sealed))
        return 0;
    int written = WriteValue(kProtectedPassword, sealed.pbData, sealed.cbData, REG_BINARY);
    SecureZeroMemory(sealed.pbData, sealed.cbData);
    LocalFree(sealed.pbData);
    if (written)
        DeleteValue(kClearPassword);
    return written;
}

int CSettings::ReadPassword(std::wstring *password)
{
    try {
        return ReadProtectedPassword(password);
    } catch (...) { // out of memory: unreadable, the caller keeps its default
        return 0;
    }
}

int CSettings::ReadProtectedPassword(std::wstring *password)
{
    std::vector<BYTE> sealed(4096);
    DWORD size = static_cast<DWORD>(sealed.size());
    if (ReadValue(kProtectedPassword, sealed.data(), &size)) {
        DATA_BLOB in = {size, sealed.data()};
        DATA_BLOB clear = {};
        if (!CryptUnprotectData(&in, nullptr, nullptr, nullptr, nullptr, CRYPTPROTECT_UI_FORBIDDEN, &clear))
            return 0;
        const wchar_t *text = reinterpret_cast<const wchar_t *>(clear.pbData);
        password->assign(text, wcsnlen(text, clear.cbData / sizeof(wchar_t)));
        SecureZeroMemory(clear.pbData, clear.cbData);
        LocalFree(clear.pbData);
        return 1;
    }
    // Written by an earlier version: taken over, and no longer left in clear.
    std::vector<wchar_t> buffer(1000);
    if (!ReadString(kClearPassword, buffer.data(), static_cast<DWORD>(buffer.size())))
        return 0;
    password->assign(buffer.data());
    WritePassword(password->c_str());
    return 1;
}

int CSettings::WriteDword(const wchar_t *name, DWORD value)
{
    return WriteValue(name, &value, sizeof value, REG_DWORD);
}

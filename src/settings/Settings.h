// The add-in's per-user settings: "login", the password ("protected password")
// and "Tracking" under
// HKCU\Software\Halvern Software\Quorvia Background Tracker\Outlook Add-in.
// Stateless: every call opens the key, does one read or write, and closes it.
// Text is read and written with the registry's wide functions, so an account
// in any script is kept as typed; values that earlier versions wrote through
// the ANSI functions read back unchanged.
#pragma once

#include <windows.h>

#include <string>

class CSettings
{
public:
    virtual ~CSettings() = default;

    // All return 1 on success and 0 on failure.
    int ReadValue(const wchar_t *name, void *data, DWORD *size);
    int ReadDword(const wchar_t *name, DWORD *value);
    // Reads text into a buffer of `capacity` characters and terminates it. A
    // value that does not fit with its terminator counts as unreadable; the
    // buffer is then left untouched.
    int ReadString(const wchar_t *name, wchar_t *buffer, DWORD capacity);

    int WriteValue(const wchar_t *name, const void *data, DWORD size, DWORD type);
    int WriteString(const wchar_t *name, const wchar_t *text);
    int WriteDword(const wchar_t *name, DWORD value);
    int DeleteValue(const wchar_t *name);

    // The password never rests in clear: it is kept encrypted for the current
    // user (CryptProtectData) in the binary value "protected password". One
    // that an earlier version stored in clear as "password" is read once,
    // stored protected and removed.
    int ReadPassword(std::wstring *password);
    int WritePassword(const wchar_t *password);

private:
    int ReadProtectedPassword(std::wstring *password);
};

#define QUORVIA_SETTINGS_KEY "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in"

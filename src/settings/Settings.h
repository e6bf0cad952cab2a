// The add-in's per-user settings: "login", "password" and "Tracking" under
// HKCU\Software\Halvern Software\Quorvia Background Tracker\Outlook Add-in.
// Stateless: every call opens the key, does one read or write, and closes it.
#pragma once

#include <windows.h>

class CSettings
{
public:
    virtual ~CSettings() = default;

    // All return 1 on success and 0 on failure.
    int ReadValue(const char *name, void *data, DWORD *size);
    int ReadDword(const char *name, DWORD *value);
    // Reads text into a buffer of `capacity` bytes and terminates it. A value
    // that does not fit with its terminator counts as unreadable; the buffer is
    // then left untouched.
    int ReadString(const char *name, char *buffer, DWORD capacity);

    int WriteValue(const char *name, const void *data, DWORD size, DWORD type);
    int WriteString(const char *name, const char *text);
    int WriteDword(const char *name, DWORD value);
};

#define QUORVIA_SETTINGS_KEY "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in"

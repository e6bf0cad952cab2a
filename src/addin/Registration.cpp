// Self-registration: the COM class, its ProgID and the Outlook add-in key that
// makes Outlook load the add-in at its start. DllRegisterServer registers the
// class for the machine (HKEY_CLASSES_ROOT, which needs an administrator);
// DllInstall with the command line "user" registers it for the current user
// alone (HKCU\Software\Classes, which Windows merges over the machine's).
// The add-in key is written only once the class is in place, and a failed
// registration takes away what it wrote: Outlook would otherwise try to load a
// class that is not there. The settings key is never touched.

#include "addin/Globals.h"
#include "com/Identity.h"
#include "com/Resources.h"

#include <olectl.h>

namespace {

const char kClsidKey[] = "CLSID\\" QUORVIA_CLSID_TEXT;
const char kUserClassesKey[] = "Software\\Classes";

bool SetKeyAndValue(HKEY root, const char *key, const char *subkey, const wchar_t *value)
{
    char path[1024];
    // A path that does not fit is not written at all: cutting it short would
    // put the value on some other key.
    if (lstrlenA(key) + (subkey ? 1 + lstrlenA(subkey) : 0) >= (int)sizeof path)
        return false;
    lstrcpyA(path, key);
    if (subkey) {
        lstrcatA(path, "\\");
        lstrcatA(path, subkey);
    }
    RegKey hkey;
    if (RegCreateKeyExA(root, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, hkey.Receive(), nullptr) != ERROR_SUCCESS)
        return false;
    if (value && RegSetValueExW(hkey.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value),
                                (lstrlenW(value) + 1) * sizeof(wchar_t)) != ERROR_SUCCESS)
        return false;
    return true;
}

// Stops at the first refused write: the caller takes the rest away.
bool WriteClass(HKEY classes, const wchar_t *modulePath)
{
    return SetKeyAndValue(classes, kClsidKey, nullptr, L"" QUORVIA_DESCRIPTION) &&
           SetKeyAndValue(classes, kClsidKey, "InprocServer32", modulePath) &&
           SetKeyAndValue(classes, kClsidKey, "ProgID", L"" QUORVIA_PROGID) &&
           SetKeyAndValue(classes, QUORVIA_PROGID, nullptr, L"" QUORVIA_DESCRIPTION) &&
           SetKeyAndValue(classes, QUORVIA_PROGID, "CLSID", L"" QUORVIA_CLSID_TEXT);
}

void BuildAddinKeyPath(char (&path)[1024], const char *host, const char *progId)
{
    lstrcpyA(path, "Software\\Microsoft\\Office\\");
    lstrcatA(path, host);
    lstrcatA(path, "\\Addins\\");
    lstrcatA(path, progId);
}

HRESULT RegisterOfficeAddin(const char *host, const char *progId, const char *description, DWORD loadBehavior)
{
    char path[1024];
    BuildAddinKeyPath(path, host, progId);
    RegKey key;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, key.Receive(), nullptr) !=
        ERROR_SUCCESS)
        return E_ACCESSDENIED;
    DWORD commandLineSafe = 0;
    bool ok = RegSetValueExA(key.Get(), "LoadBehavior", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&loadBehavior),
                             sizeof loadBehavior) == ERROR_SUCCESS;
    ok &= RegSetValueExA(key.Get(), "CommandLineSafe", 0, REG_DWORD,
                         reinterpret_cast<const BYTE *>(&commandLineSafe), sizeof commandLineSafe) == ERROR_SUCCESS;
    if (description) {
        const BYTE *data = reinterpret_cast<const BYTE *>(description);
        DWORD size = lstrlenA(description) + 1;
        ok &= RegSetValueExA(key.Get(), "FriendlyName", 0, REG_SZ, data, size) == ERROR_SUCCESS;
        ok &= RegSetValueExA(key.Get(), "Description", 0, REG_SZ, data, size) == ERROR_SUCCESS;
    }
    return ok ? S_OK : E_ACCESSDENIED;
}

LONG DeleteKeyTree(HKEY root, const char *subkey)
{
    RegKey key;
    LONG rc = RegOpenKeyExA(root, subkey, 0, KEY_ALL_ACCESS, key.Receive());
    if (rc != ERROR_SUCCESS)
        return rc;
    for (;;) {
        char child[256];
        DWORD length = sizeof child;
        if (RegEnumKeyExA(key.Get(), 0, child, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            key.Reset();
            return RegDeleteKeyA(root, subkey);
        }
        rc = DeleteKeyTree(key.Get(), child);
        if (rc != ERROR_SUCCESS)
            return rc;
    }
}

void UnregisterOfficeAddin(const char *host, const char *progId)
{
    char path[1024];
    BuildAddinKeyPath(path, host, progId);
    DeleteKeyTree(HKEY_CURRENT_USER, path);
}

// `classes` is null when the user has no classes of their own: then only the
// add-in key can be there.
void UnregisterFrom(HKEY classes)
{
    if (classes) {
        DeleteKeyTree(classes, kClsidKey);
        DeleteKeyTree(classes, QUORVIA_PROGID);
    }
    UnregisterOfficeAddin(QUORVIA_HOST_APP, QUORVIA_PROGID);
}

HRESULT RegisterIn(HKEY classes)
{
    // Wide, so that a folder named in any script is registered as it is, and
    // checked for length: a path cut short would name some other file.
    wchar_t modulePath[512];
    DWORD length = GetModuleFileNameW(g_hModule, modulePath, ARRAYSIZE(modulePath));
    if (length == 0 || length == ARRAYSIZE(modulePath))
        return E_FAIL;

    HRESULT hr = WriteClass(classes, modulePath) ? RegisterOfficeAddin(QUORVIA_HOST_APP, QUORVIA_PROGID,
                                                                       QUORVIA_DESCRIPTION, 3)
                                                 : SELFREG_E_CLASS;
    if (FAILED(hr))
        UnregisterFrom(classes);
    return hr;
}

} // namespace

STDAPI DllRegisterServer()
{
    return RegisterIn(HKEY_CLASSES_ROOT);
}

STDAPI DllUnregisterServer()
{
    UnregisterFrom(HKEY_CLASSES_ROOT);
    return S_OK;
}

// regsvr32 /n /i:user registers for the current user, regsvr32 /u /n /i:user
// removes that registration; no other command line is known.
STDAPI DllInstall(BOOL install, PCWSTR commandLine)
{
    if (!commandLine || lstrcmpiW(commandLine, L"user") != 0)
        return E_INVALIDARG;
    RegKey classes;
    if (install) {
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kUserClassesKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                            classes.Receive(), nullptr) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
        return RegisterIn(classes.Get());
    }
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kUserClassesKey, 0, KEY_ALL_ACCESS, classes.Receive()) != ERROR_SUCCESS)
        classes.Release();   // a failed open leaves no key to close
    UnregisterFrom(classes.Get());
    return S_OK;
}

// Self-registration: the COM class, its ProgID and the Outlook add-in key that
// makes Outlook load the add-in at its start. The settings key is never touched.

#include "addin/Globals.h"
#include "com/Identity.h"
#include "com/Resources.h"

#include <olectl.h>

namespace {

const char kClsidKey[] = "CLSID\\" QUORVIA_CLSID_TEXT;

bool SetKeyAndValue(HKEY root, const char *key, const char *subkey, const char *value)
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
    if (value &&
        RegSetValueExA(hkey.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), lstrlenA(value) + 1) !=
            ERROR_SUCCESS)
        return false;
    return true;
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

} // namespace

// Attempts every write; reports a failure when any of them was refused, so an
// installer never believes a half-registered add-in is in place.
STDAPI DllRegisterServer()
{
    char modulePath[512];
    if (GetModuleFileNameA(g_hModule, modulePath, sizeof modulePath) == 0)
        return E_FAIL;

    bool classOk = SetKeyAndValue(HKEY_CLASSES_ROOT, kClsidKey, nullptr, QUORVIA_DESCRIPTION);
    classOk &= SetKeyAndValue(HKEY_CLASSES_ROOT, kClsidKey, "InprocServer32", modulePath);
    classOk &= SetKeyAndValue(HKEY_CLASSES_ROOT, kClsidKey, "ProgID", QUORVIA_PROGID);
    classOk &= SetKeyAndValue(HKEY_CLASSES_ROOT, QUORVIA_PROGID, nullptr, QUORVIA_DESCRIPTION);
    classOk &= SetKeyAndValue(HKEY_CLASSES_ROOT, QUORVIA_PROGID, "CLSID", QUORVIA_CLSID_TEXT);

    HRESULT addinResult = RegisterOfficeAddin(QUORVIA_HOST_APP, QUORVIA_PROGID, QUORVIA_DESCRIPTION, 3);

    if (!classOk)
        return SELFREG_E_CLASS;
    return addinResult;
}

STDAPI DllUnregisterServer()
{
    DeleteKeyTree(HKEY_CLASSES_ROOT, kClsidKey);
    DeleteKeyTree(HKEY_CLASSES_ROOT, QUORVIA_PROGID);
    UnregisterOfficeAddin(QUORVIA_HOST_APP, QUORVIA_PROGID);
    return S_OK;
}

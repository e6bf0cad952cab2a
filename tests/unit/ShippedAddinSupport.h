// The shipped QuorviaAddin.dll as Outlook meets it: registered with regsvr32,
// created by its ProgID through COM, and watched only from outside, through
// its exports, its registry entries, its log file and what the process holds
// (threads, handles, windows). Nothing here calls into the add-in's own code.
// Header-only, shared by the scenario and fault-sweep programs.
#pragma once

#include "addin/Extensibility.h"
#include "com/ComPtr.h"
#include "com/Guids.h"
#include "TestSupport.h"
#include "host/Outlook.h"
#include "host/ProcessCounters.h"

#include <windows.h>
#include <tlhelp32.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace test {

const char kShippedProgId[] = "QuorviaAddinForOutlook";
const char kAddinVendorKey[] = "Software\\Halvern Software";
const char kAddinSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";

// regsvr32 on the DLL beside the test program, as an installer runs it; the
// destructor unregisters it again. Ok() tells whether registering worked.
class RegisteredDll
{
public:
    RegisteredDll() : m_path(AddinDllPath()) { m_ok = Run("/s") == 0; }
    ~RegisteredDll() { Run("/u /s"); }
    RegisteredDll(const RegisteredDll &) = delete;
    RegisteredDll &operator=(const RegisteredDll &) = delete;
    bool Ok() const { return m_ok; }

private:
    DWORD Run(const char *options) const
    {
        ProcessResult run = RunProcess(std::string("regsvr32.exe ") + options + " \"" + m_path + "\"");
        return run.started ? run.exitCode : 0xFFFFFFFF;
    }
    std::string m_path;
    bool m_ok = false;
};

// The thread's single-threaded apartment, as Outlook's main thread has it.
class Apartment
{
public:
    Apartment() : m_hr(CoInitialize(nullptr)) {}
    ~Apartment()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    Apartment(const Apartment &) = delete;
    Apartment &operator=(const Apartment &) = delete;
    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// The default value of a key under the user's own classes
// (HKCU\Software\Classes), or "" when there is none.
inline std::wstring UserClassesValue(const std::wstring &key)
{
    wchar_t value[1024];
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, (L"Software\\Classes\\" + key).c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value,
                     &size) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

// The DLL of a per-user registration, loaded as COM loads an in-process server
// and let go as CoFreeUnusedLibraries does: once its DllCanUnloadNow allows.
class PerUserServer
{
public:
    PerUserServer() = default;
    ~PerUserServer() { FreeIfUnused(); }
    PerUserServer(const PerUserServer &) = delete;
    PerUserServer &operator=(const PerUserServer &) = delete;

    HMODULE Load(const std::wstring &path)
    {
        if (m_module && path != m_path)
            FreeIfUnused();
        if (!m_module) {
            m_module = LoadLibraryW(path.c_str());
            m_path = path;
        }
        return m_module;
    }
    void FreeIfUnused()
    {
        auto canUnload = m_module ? GetExport<HRESULT(STDAPICALLTYPE *)()>(m_module, "DllCanUnloadNow") : nullptr;
        if (canUnload && canUnload() == S_OK) {
            FreeLibrary(m_module);
            m_module = nullptr;
        }
    }

private:
    HMODULE m_module = nullptr;
    std::wstring m_path;
};

inline PerUserServer &LoadedPerUserServer()
{
    static PerUserServer server;
    return server;
}

// What Outlook does with the add-in key's name: ProgID to CLSID, then an
// in-process instance asked for IDTExtensibility2. Windows COM takes both from
// the user's classes before the machine's; Wine 8's COM reads only the
// machine's, so the user's are read here first, and for a class registered
// there this does what COM itself would: LoadLibrary the InprocServer32 DLL,
// DllGetClassObject, CreateInstance. Otherwise COM does it by the machine's.
inline HRESULT CreateShippedAddin(ComPtr<IDTExtensibility2> &addin)
{
    wchar_t progId[64];
    MultiByteToWideChar(CP_ACP, 0, kShippedProgId, -1, progId, 64);
    CLSID clsid = GUID_NULL;
    const std::wstring userClsid = UserClassesValue(std::wstring(progId) + L"\\CLSID");
    HRESULT hr = userClsid.empty() ? CLSIDFromProgID(progId, &clsid) : CLSIDFromString(userClsid.c_str(), &clsid);
    if (FAILED(hr))
        return hr;
    if (!IsEqualCLSID(clsid, CLSID_QuorviaAddin))
        return REGDB_E_CLASSNOTREG;

    wchar_t clsidText[39];
    StringFromGUID2(clsid, clsidText, 39);
    const std::wstring dll = UserClassesValue(std::wstring(L"CLSID\\") + clsidText + L"\\InprocServer32");
    if (dll.empty())
        return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2, addin.ReceiveVoid());
    HMODULE module = LoadedPerUserServer().Load(dll);
    if (!module)
        return HRESULT_FROM_WIN32(GetLastError());
    auto getClassObject = GetExport<HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **)>(module, "DllGetClassObject");
    if (!getClassObject)
        return CO_E_ERRORINDLL;
    ComPtr<IClassFactory> factory;
    hr = getClassObject(clsid, IID_IClassFactory, factory.ReceiveVoid());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, IID_IDTExtensibility2, addin.ReceiveVoid());
}

// CoFreeUnusedLibraries for either kind of registration: the DLL goes once
// nothing of it is in use (an uninstaller can then remove it).
inline void FreeUnusedShippedLibraries()
{
    LoadedPerUserServer().FreeIfUnused();
    CoFreeUnusedLibraries();
}

// The loaded DLL's own DllCanUnloadNow; E_UNEXPECTED when the DLL is not loaded.
inline HRESULT ShippedDllCanUnloadNow()
{
    HMODULE dll = GetModuleHandleA("QuorviaAddin.dll");
    if (!dll)
        return E_UNEXPECTED;
    auto canUnload = GetExport<HRESULT(STDAPICALLTYPE *)()>(dll, "DllCanUnloadNow");
    return canUnload ? canUnload() : E_UNEXPECTED;
}

// The lines the DLL appends to C:\windows\Quorvia.log after construction
// (header lines left out). Only what was appended is read: the log of a test
// prefix grows over every run, and the sweeps read it a few times per run.
// Nothing is written.
class LogFileTail
{
public:
    LogFileTail()
    {
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (GetFileAttributesExA(WindowsLogPath().c_str(), GetFileExInfoStandard, &data))
            m_start.QuadPart = (static_cast<LONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    }
    std::vector<std::string> Read() const
    {
        std::vector<std::string> lines;
        HANDLE file = CreateFileA(WindowsLogPath().c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return lines;
        LARGE_INTEGER size = {};
        std::string bytes;
        if (GetFileSizeEx(file, &size) && size.QuadPart >= m_start.QuadPart &&
            SetFilePointerEx(file, m_start, nullptr, FILE_BEGIN)) {
            char chunk[65536];
            DWORD read = 0;
            while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
                bytes.append(chunk, read);
        }
        CloseHandle(file);
        for (const std::string &line : SplitCrLfLines(bytes))
            if (!IsLogHeader(line))
                lines.push_back(line);
        return lines;
    }

private:
    LARGE_INTEGER m_start = {};
};

// The last line holding `needle`, or "" when none does.
inline std::string LastLineWith(const std::vector<std::string> &lines, const std::string &needle)
{
    for (auto it = lines.rbegin(); it != lines.rend(); ++it)
        if (it->find(needle) != std::string::npos)
            return *it;
    return std::string();
}

// --- what the process holds -------------------------------------------------------------

using host::ThreadsOfThisProcess;

// The handles this process has open, from the system's handle table: Wine's
// GetProcessHandleCount is a stub that always reports 0.
inline DWORD HandlesOfThisProcess()
{
    struct HandleEntry
    {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct HandleTable
    {
        ULONG count;
        HandleEntry entries[1];
    };
    using QuerySystemInformation = LONG(WINAPI *)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kSystemHandleInformation = 16;
    const LONG kInfoLengthMismatch = static_cast<LONG>(0xC0000004);
    auto query = GetExport<QuerySystemInformation>(GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation");
    if (!query)
        return 0;
    std::vector<BYTE> buffer(1 << 16);
    LONG status;
    for (;;) {
        ULONG needed = 0;
        status = query(kSystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status != kInfoLengthMismatch)
            break;
        buffer.resize(std::max<size_t>(buffer.size() * 2, needed + 4096));
    }
    if (status < 0)
        return 0;
    const auto *table = reinterpret_cast<const HandleTable *>(buffer.data());
    DWORD count = 0;
    for (ULONG i = 0; i < table->count; ++i)
        if (table->entries[i].ownerPid == GetCurrentProcessId())
            ++count;
    return count;
}

inline std::string ClassOf(HWND window)
{
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

// An EnumThreadWindows callback: WINAPI, which a lambda cannot be on x86.
inline BOOL CALLBACK CollectThreadWindow(HWND window, LPARAM found)
{
    reinterpret_cast<std::set<HWND> *>(found)->insert(window);
    return TRUE;
}

// Every window of this thread: top-level ones and message-only ones.
inline std::set<HWND> WindowsOfThisThread()
{
    std::set<HWND> windows;
    EnumThreadWindows(GetCurrentThreadId(), CollectThreadWindow, reinterpret_cast<LPARAM>(&windows));
    for (HWND window = FindWindowExA(HWND_MESSAGE, nullptr, nullptr, nullptr); window;
         window = FindWindowExA(HWND_MESSAGE, window, nullptr, nullptr))
        if (GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId())
            windows.insert(window);
    return windows;
}

// A picture of what the process holds, to compare before and after the add-in ran.
struct ProcessFootprint
{
    size_t threads = 0;
    DWORD handles = 0;
    std::set<HWND> windows;

    static ProcessFootprint Take() { return {ThreadsOfThisProcess(), HandlesOfThisProcess(), WindowsOfThisThread()}; }

    // Threads that end are gone from the snapshot only after they have been
    // reaped; Wine's own helpers come and go too. Waits up to `settleMs` for
    // the count to come back to `threads`, then reports what it found.
    size_t ThreadsAfterSettling(DWORD settleMs = 2000) const
    {
        size_t now = ThreadsOfThisProcess();
        for (DWORD waited = 0; now > threads && waited < settleMs; waited += 50) {
            Sleep(50);
            now = ThreadsOfThisProcess();
        }
        return now;
    }

    // Windows of this thread that were not there before, by class name,
    // leaving out the classes given (the host's own).
    std::vector<std::string> NewWindows(const std::set<std::string> &hostClasses) const
    {
        std::vector<std::string> found;
        for (HWND window : WindowsOfThisThread())
            if (!windows.count(window) && !hostClasses.count(ClassOf(window)))
                found.push_back(ClassOf(window));
        return found;
    }
};

// --- the request form ---------------------------------------------------------------------

// Every byte as %XX, upper-case: how the add-in sends the account and the text fields.
inline std::string PercentEscaped(const std::string &bytes)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : bytes) {
        out += '%';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

// UTF-16 text as its little-endian bytes, escaped.
inline std::string PercentEscaped16(const std::wstring &text)
{
    std::string bytes;
    for (wchar_t unit : text) {
        bytes += static_cast<char>(unit & 0xFF);
        bytes += static_cast<char>((unit >> 8) & 0xFF);
    }
    return PercentEscaped(bytes);
}

// How often `needle` occurs in `text`.
inline size_t Occurrences(const std::wstring &text, const std::wstring &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::wstring::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

inline std::wstring Widened(const std::string &ascii)
{
    return std::wstring(ascii.begin(), ascii.end());
}

} // namespace test

namespace test {

// The add-in's settings as the registry holds them (REG_SZ values).
inline void StoreSetting(const char *name, const std::string &value)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kAddinSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
    RegCloseKey(key);
}

// Whether new windows start with tracking on, stored as the last toggle leaves it.
inline void StoreTrackingDefault(bool on)
{
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, kAddinSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
        ERROR_SUCCESS)
        return;
    const DWORD value = on ? 0xFFFFFFFF : 0;
    RegSetValueExA(key, "Tracking", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&value), sizeof value);
    RegCloseKey(key);
}

// The value's text, or "(none)" when the value or the key is missing.
inline std::string StoredSetting(const char *name)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, kAddinSettingsKey, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return "(none)";
    std::vector<char> data(4096);
    DWORD size = static_cast<DWORD>(data.size() - 1);
    LONG rc = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE *>(data.data()), &size);
    RegCloseKey(key);
    return rc == ERROR_SUCCESS ? std::string(data.data()) : std::string("(none)");
}

// The add-in's Tracking toggle on the ribbon of today's Outlook: a compose
// window's, or the inline response tab of a main window.
const char kTrackingToggle[] = "QuorviaTracking";

// Presses the window's toggle unless it shows pressed, then lets Outlook's loop
// run the getters the add-in invalidated: what it shows then is what the
// add-in's switch says. True when it shows pressed.
template <class Window>
bool PressTrackingToggle(host::Outlook &outlook, Window &window)
{
    const host::RibbonControlState *toggle = outlook.RibbonState(window, kTrackingToggle);
    if (toggle && !toggle->pressed) {
        outlook.ClickRibbon(window, kTrackingToggle);
        outlook.Idle();
        toggle = outlook.RibbonState(window, kTrackingToggle);
    }
    return toggle && toggle->pressed;
}

} // namespace test

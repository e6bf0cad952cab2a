// The stand-in Outlook: registers the shipped add-in DLL with regsvr32, creates
// it by its ProgID through COM the way Outlook does, connects it to a stand-in
// Application, lets it go again, asks whether the DLL may unload, unregisters
// it, and prints every step: the registry keys, the HRESULTs, the prompts and
// the add-in's log.

#include "host/Application.h"
#include "host/DialogRobot.h"

#include "addin/Extensibility.h"
#include "com/ComPtr.h"
#include "com/Guids.h"

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

const char kProgId[] = "QuorviaAddinForOutlook";
const char kClsidKey[] = "CLSID\\{6F3B2C1A-9D4E-4B7A-8C21-5E0F7A9B3D64}";
const char kAddinKey[] = "Software\\Microsoft\\Office\\Outlook\\Addins\\QuorviaAddinForOutlook";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";

void Heading(const char *text)
{
    printf("\n== %s\n", text);
}

const char *HrName(HRESULT hr)
{
    switch (hr) {
    case S_OK: return "S_OK";
    case S_FALSE: return "S_FALSE";
    case E_NOINTERFACE: return "E_NOINTERFACE";
    case E_FAIL: return "E_FAIL";
    case E_POINTER: return "E_POINTER";
    case E_NOTIMPL: return "E_NOTIMPL";
    case REGDB_E_CLASSNOTREG: return "REGDB_E_CLASSNOTREG";
    case CO_E_CLASSSTRING: return "CO_E_CLASSSTRING";
    default: return "";
    }
}

void PrintHr(const char *call, HRESULT hr)
{
    printf("  %-58s -> 0x%08lX %s\n", call, (unsigned long)hr, HrName(hr));
}

std::string ModuleDirectory()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string directory(path);
    return directory.substr(0, directory.find_last_of('\\'));
}

// Prints a key's values and, indented, its subkeys.
void PrintKey(HKEY root, const char *rootName, const std::string &path, int depth = 0)
{
    HKEY key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        if (depth == 0)
            printf("  %s\\%s: (absent)\n", rootName, path.c_str());
        return;
    }
    printf("  %*s%s\\%s\n", depth * 2, "", rootName, path.c_str());
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        BYTE data[1024];
        DWORD dataLength = sizeof data;
        DWORD type = 0;
        if (RegEnumValueA(key, i, name, &nameLength, nullptr, &type, data, &dataLength) != ERROR_SUCCESS)
            break;
        const char *shown = nameLength ? name : "(default)";
        if (type == REG_DWORD)
            printf("  %*s  %s = REG_DWORD %lu\n", depth * 2, "", shown, *reinterpret_cast<DWORD *>(data));
        else if (type == REG_SZ)
            printf("  %*s  %s = REG_SZ \"%.*s\" (%lu bytes)\n", depth * 2, "", shown,
                   (int)(dataLength && data[dataLength - 1] == 0 ? dataLength - 1 : dataLength), data,
                   (unsigned long)dataLength);
        else
            printf("  %*s  %s = type %lu, %lu bytes\n", depth * 2, "", shown, type, (unsigned long)dataLength);
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        char name[256];
        DWORD nameLength = sizeof name;
        if (RegEnumKeyExA(key, i, name, &nameLength, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string &child : children)
        PrintKey(root, rootName, path + "\\" + child, depth + 1);
}

void PrintRegistration()
{
    PrintKey(HKEY_CLASSES_ROOT, "HKCR", kClsidKey);
    PrintKey(HKEY_CLASSES_ROOT, "HKCR", kProgId);
    PrintKey(HKEY_CURRENT_USER, "HKCU", kAddinKey);
}

DWORD RunRegsvr32(const std::string &arguments)
{
    std::string command = "regsvr32.exe " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return GetLastError();
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    printf("  %-58s -> exit code %lu\n", command.c_str(), (unsigned long)code);
    return code;
}

std::string LogPath()
{
    char directory[MAX_PATH] = {};
    GetWindowsDirectoryA(directory, MAX_PATH);
    return std::string(directory) + "\\Quorvia.log";
}

long long FileSize(const std::string &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<long long>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void PrintLogSince(long long offset)
{
    FILE *file = fopen(LogPath().c_str(), "rb");
    if (!file) {
        printf("  (no log at %s)\n", LogPath().c_str());
        return;
    }
    fseek(file, static_cast<long>(offset), SEEK_SET);
    char line[8300];
    while (fgets(line, sizeof line, file)) {
        size_t length = strlen(line);
        while (length && (line[length - 1] == '\n' || line[length - 1] == '\r'))
            line[--length] = '\0';
        printf("  | %s\n", line);
    }
    fclose(file);
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    printf("Quorvia add-in demo: the shipped DLL in a stand-in Outlook (Wine, private namespace)\n");
    std::string dll = ModuleDirectory() + "\\QuorviaAddin.dll";
    long long logStart = FileSize(LogPath());
    RegDeleteTreeA(HKEY_CURRENT_USER, kSettingsKey); // a first start: no account yet

    Heading("Registering the add-in as Outlook's installer would");
    if (RunRegsvr32("/s \"" + dll + "\"") != 0) {
        printf("registration failed\n");
        return 1;
    }
    PrintRegistration();

    CoInitialize(nullptr);
    int status = 0;
    {
        Heading("Outlook creates the add-in by its ProgID");
        CLSID clsid;
        HRESULT hr = CLSIDFromProgID(L"QuorviaAddinForOutlook", &clsid);
        PrintHr("CLSIDFromProgID(\"QuorviaAddinForOutlook\")", hr);
        ComPtr<IDTExtensibility2> addin;
        if (SUCCEEDED(hr)) {
            hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDTExtensibility2, addin.ReceiveVoid());
            PrintHr("CoCreateInstance(CLSCTX_INPROC_SERVER, IDTExtensibility2)", hr);
        }
        if (!addin) {
            printf("the add-in could not be created\n");
            status = 1;
        } else {
            ComPtr<IDispatch> dispatch;
            PrintHr("QueryInterface(IDispatch)", addin->QueryInterface(IID_IDispatch, dispatch.ReceiveVoid()));
            ComPtr<IUnknown> unknown;
            PrintHr("QueryInterface(IUnknown)", addin->QueryInterface(IID_IUnknown, unknown.ReceiveVoid()));
            printf("  %-58s    %s\n", "one object behind all three", 
                   (void *)unknown.Get() == (void *)addin.Get() && (void *)dispatch.Get() == (void *)addin.Get()
                       ? "yes" : "no");
            ComPtr<IUnknown> none;
            PrintHr("QueryInterface(IClassFactory)", addin->QueryInterface(IID_IClassFactory, none.ReceiveVoid()));
            PrintHr("IDispatch::Invoke(0)", dispatch->Invoke(0, IID_NULL, 0, DISPATCH_METHOD, nullptr, nullptr,
                                                              nullptr, nullptr));
            dispatch.Reset();
            unknown.Reset();

            Heading("Outlook connects the add-in after its start (no account stored yet)");
            host::DialogRobot robot;
            robot.Expect("Quorvia Outlook Add-in", IDNO);
            ComPtr<host::Application> application = host::Create<host::Application>();
            PrintHr("OnConnection(Application, ext_cm_AfterStartup)",
                    addin->OnConnection(application.Get(), ext_cm_AfterStartup, nullptr, nullptr));
            for (const std::string &line : robot.Lines())
                printf("  asked: %s\n", line.c_str());
            PrintHr("OnBeginShutdown()", addin->OnBeginShutdown(nullptr));
            PrintHr("OnDisconnection(ext_dm_HostShutdown)", addin->OnDisconnection(ext_dm_HostShutdown, nullptr));
        }

        Heading("Outlook lets go of the add-in");
        printf("  %-58s -> %lu\n", "Release()", addin ? (unsigned long)addin.Detach()->Release() : 0ul);
        HMODULE module = GetModuleHandleA("QuorviaAddin.dll");
        using CanUnloadNow = HRESULT(WINAPI *)();
        auto canUnload = module ? reinterpret_cast<CanUnloadNow>(
                                      reinterpret_cast<void *>(GetProcAddress(module, "DllCanUnloadNow")))
                                : nullptr;
        if (canUnload)
            PrintHr("DllCanUnloadNow()", canUnload());
    }
    CoUninitialize();

    Heading("Unregistering the add-in");
    RunRegsvr32("/s /u \"" + dll + "\"");
    PrintRegistration();

    Heading("The add-in's log (C:\\windows\\Quorvia.log, this run)");
    PrintLogSince(logStart);
    return status;
}

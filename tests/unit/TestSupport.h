// Helpers shared by the unit test programs: the log file's places, whole-file
// reads, registry trees, and child processes. Header-only, since every test
// program is built from its one source file.
#pragma once

#include "log/DebugLog.h"

#include <windows.h>
#include <shlobj.h>

#include <optional>
#include <string>
#include <vector>

namespace test {

inline std::string WindowsDirectory()
{
    char directory[MAX_PATH] = {};
    GetWindowsDirectoryA(directory, MAX_PATH);
    return directory;
}

// Where the add-in writes its log.
inline std::string WindowsLogPath()
{
    return WindowsDirectory() + "\\Quorvia.log";
}

// The log's second place, used when the Windows directory refuses it.
inline std::string LocalAppDataLogFolder()
{
    char folder[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA, nullptr, 0, folder);
    return std::string(folder) + "\\Quorvia";
}

inline std::string LocalAppDataLogPath()
{
    return LocalAppDataLogFolder() + "\\Quorvia.log";
}

inline bool PathExists(const std::string &path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The file's bytes exactly as stored, or nothing when it cannot be read.
inline std::optional<std::string> ReadFileBytes(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::string bytes;
    char chunk[65536];
    DWORD read = 0;
    while (ReadFile(file, chunk, sizeof chunk, &read, nullptr) && read > 0)
        bytes.append(chunk, read);
    CloseHandle(file);
    return bytes;
}

// Lines of a text file written with CR LF line ends, without the line ends.
// A last line without its line end is kept as it is.
inline std::vector<std::string> SplitCrLfLines(const std::string &bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            break;
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    if (start < bytes.size())
        lines.push_back(bytes.substr(start));
    return lines;
}

inline bool IsLogHeader(const std::string &line)
{
    return line.size() > 8 && line.compare(0, 4, "--- ") == 0 && line.compare(line.size() - 4, 4, " ---") == 0;
}

// The log file's lines after its last header, or nothing when there is no log.
inline std::optional<std::vector<std::string>> LogLinesAfterLastHeader(const std::string &path)
{
    std::optional<std::string> bytes = ReadFileBytes(path);
    if (!bytes)
        return std::nullopt;
    std::vector<std::string> lines = SplitCrLfLines(*bytes);
    std::vector<std::string> after;
    for (const std::string &line : lines) {
        if (IsLogHeader(line))
            after.clear();
        else
            after.push_back(line);
    }
    return after;
}

inline bool RegistryKeyExists(HKEY root, const std::string &path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// Removes a key with everything below it; a missing key is no error.
inline bool DeleteRegistryTree(HKEY root, const std::string &path)
{
    LONG rc = RegDeleteTreeA(root, path.c_str());
    return rc == ERROR_SUCCESS || rc == ERROR_FILE_NOT_FOUND;
}

struct ProcessResult
{
    bool started = false;
    DWORD exitCode = 0;
    std::string output;   // what the child wrote to its standard output
};

// Runs a command line to its end, collecting its standard output.
inline ProcessResult RunProcess(const std::string &commandLine, DWORD timeoutMs = 60000)
{
    ProcessResult result;
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0))
        return result;
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process = {};
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    BOOL created = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!created) {
        CloseHandle(readEnd);
        return result;
    }
    result.started = true;
    // Reads while the child runs, then what it left: a program the child
    // started (Wine's explorer, say) can hold the pipe open long after it, and
    // waiting for the pipe's end would wait for that one.
    const DWORD started = GetTickCount();
    for (bool ended = false;;) {
        char chunk[4096];
        DWORD available = 0, read = 0;
        while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
               ReadFile(readEnd, chunk, available < sizeof chunk ? available : sizeof chunk, &read, nullptr) && read > 0)
            result.output.append(chunk, read);
        if (ended)
            break;
        ended = WaitForSingleObject(process.hProcess, 20) == WAIT_OBJECT_0;
        if (!ended && GetTickCount() - started > timeoutMs) {
            TerminateProcess(process.hProcess, 0xDEAD);
            ended = WaitForSingleObject(process.hProcess, INFINITE) == WAIT_OBJECT_0;
        }
    }
    CloseHandle(readEnd);
    GetExitCodeProcess(process.hProcess, &result.exitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return result;
}

inline std::string ThisProgramPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

// An export of a loaded DLL as the function type it has. (The detour through
// void (*)() is the one cast GCC accepts between unrelated function types.)
template <class Function>
Function GetExport(HMODULE module, const char *name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The add-in DLL, which the build puts beside the test programs.
inline std::string AddinDllPath()
{
    std::string path = ThisProgramPath();
    return path.substr(0, path.find_last_of('\\') + 1) + "QuorviaAddin.dll";
}

using Lines = std::vector<std::string>;

// The lines the add-in appends to its log from construction on, header lines
// left out.
class LogTail
{
public:
    LogTail()
    {
        DebugLog(1, "%s", ""); // opens the log now, so its header is not the test's
        std::optional<std::string> bytes = ReadFileBytes(WindowsLogPath());
        m_start = bytes ? bytes->size() : 0;
    }
    Lines Read() const
    {
        std::optional<std::string> bytes = ReadFileBytes(WindowsLogPath());
        Lines lines;
        if (!bytes || bytes->size() < m_start)
            return lines;
        for (const std::string &line : SplitCrLfLines(bytes->substr(m_start)))
            if (!IsLogHeader(line))
                lines.push_back(line);
        return lines;
    }

private:
    size_t m_start = 0;
};

} // namespace test

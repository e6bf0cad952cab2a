// Levelled debug log. The stream opens lazily with a header line and stays open,
// flushed after every message, until the library unloads. One lock guards the
// shared buffer and stream so the exchange's worker thread may log too.

#include "log/DebugLog.h"

#include <shlobj.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>

DWORD g_dwDebugLevel = 2;

namespace {

constexpr size_t kMessageLimit = 8192;
constexpr const char kLogName[] = "\\Quorvia.log";

std::mutex g_logLock;
std::ofstream g_logStream;
char g_formatBuffer[kMessageLimit + 1];
char g_logPath[MAX_PATH];

// Formats into the shared buffer and appends it. Caller holds the lock.
int AppendFormatted(const char *format, va_list args)
{
    memset(g_formatBuffer, 0, sizeof g_formatBuffer);
    vsnprintf(g_formatBuffer, kMessageLimit + 1, format, args);
    size_t length = strlen(g_formatBuffer);
    if (length == 0)
        return 0;
    g_logStream << g_formatBuffer;
    g_logStream.flush();
    return static_cast<int>(length);
}

int AppendLocked(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    int n = AppendFormatted(format, args);
    va_end(args);
    return n;
}

bool TryOpen(const char *path)
{
    g_logStream.clear();
    g_logStream.open(path, std::ios::in | std::ios::out | std::ios::app);
    if (!g_logStream.is_open())
        return false;
    lstrcpynA(g_logPath, path, MAX_PATH);
    return true;
}

// The Windows directory first; a standard user cannot write there on current
// Windows, so fall back to the user's local application data folder.
bool OpenInWindowsDirectory()
{
    char path[MAX_PATH] = {};
    UINT dirLength = GetWindowsDirectoryA(path, MAX_PATH);
    if (dirLength == 0 || dirLength + sizeof kLogName > MAX_PATH)
        return false;
    lstrcatA(path, kLogName);
    return TryOpen(path);
}

bool OpenInLocalAppData()
{
    static const char kFolder[] = "\\Quorvia";
    char path[MAX_PATH] = {};
    if (FAILED(SHGetFolderPathA(nullptr, CSIDL_LOCAL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, path)))
        return false;
    if (lstrlenA(path) + sizeof kFolder + sizeof kLogName > MAX_PATH)
        return false;
    lstrcatA(path, kFolder);
    CreateDirectoryA(path, nullptr);
    lstrcatA(path, kLogName);
    return TryOpen(path);
}

void OpenDebugLog()
{
    if (!OpenInWindowsDirectory() && !OpenInLocalAppData()) {
        g_logStream.clear();
        return;
    }
    SYSTEMTIME now;
    GetLocalTime(&now);
    char date[128] = {};
    GetDateFormatA(0, DATE_LONGDATE, &now, nullptr, date, 127);
    AppendLocked("--- %s %02u:%02u:%02u.%03u ---\n", date, now.wHour, now.wMinute, now.wSecond,
                 now.wMilliseconds);
}

} // namespace

int DebugLog(DWORD level, const char *format, ...)
{
    if (level > g_dwDebugLevel)
        return 0;
    try {
        std::lock_guard<std::mutex> hold(g_logLock);
        if (!g_logStream.is_open())
            OpenDebugLog();
        if (!g_logStream.is_open())
            return 0;
        va_list args;
        va_start(args, format);
        int n = AppendFormatted(format, args);
        va_end(args);
        return n;
    } catch (...) {
        return 0;
    }
}

const char *DebugLogPath()
{
    return g_logStream.is_open() ? g_logPath : "";
}

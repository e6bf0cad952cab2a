#include "host/ProcessCounters.h"

#include <windows.h>
#include <tlhelp32.h>

namespace host {
namespace {

// Whether the thread began in WinInet: its connection pool keeps a thread of
// its own for a minute after a connection was put back, whoever made it.
bool StartedInWinInet(DWORD threadId)
{
    using QueryThread = LONG(WINAPI *)(HANDLE, int, PVOID, ULONG, PULONG);
    static const QueryThread query = reinterpret_cast<QueryThread>(
        reinterpret_cast<void (*)()>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    HMODULE wininet = GetModuleHandleA("wininet.dll");
    if (!query || !wininet)
        return false;
    HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId);
    if (!thread)
        return false;
    void *start = nullptr;
    const int kThreadQuerySetWin32StartAddress = 9;
    bool inWinInet = false;
    HMODULE module = nullptr;
    if (query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) == 0 &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           static_cast<LPCWSTR>(start), &module))
        inWinInet = module == wininet;
    CloseHandle(thread);
    return inWinInet;
}

} // namespace

size_t ThreadsOfThisProcess()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    size_t count = 0;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == GetCurrentProcessId() && !StartedInWinInet(entry.th32ThreadID))
            ++count;
    CloseHandle(snapshot);
    return count;
}

} // namespace host

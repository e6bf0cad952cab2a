// What the benchmarks share: a clock, medians, the account and the tracking
// switch in the registry, the add-in's resources for the in-process add-in,
// and the process's own resource counts. Header-only: every benchmark is a
// program built from its one source file.
#pragma once

#include "addin/Globals.h"

#include <windows.h>
#include <psapi.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

const char kVendorKey[] = "Software\\Halvern Software";
const char kSettingsKey[] = "Software\\Halvern Software\\Quorvia Background Tracker\\Outlook Add-in";
// Stored "Tracking" value that makes every new window start with tracking on.
const DWORD kTrackingOn = 0xFFFFFFFF;

inline double NowMs()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return 1000.0 * double(now.QuadPart) / frequency;
}

inline double Median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

inline double Max(const std::vector<double> &values)
{
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

// The add-in's settings for the length of a benchmark: a complete account (so
// start-up asks nothing) and, if asked, tracking on for every new window.
// Everything under the vendor key goes again at the end, as the tests leave it.
class StoredSettings
{
public:
    explicit StoredSettings(bool trackingOn = false)
    {
        RegDeleteTreeA(HKEY_CURRENT_USER, kVendorKey);
        HKEY key = nullptr;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            return;
        SetString(key, "login", "bench@example.com");
        SetString(key, "password", "bench");
        if (trackingOn)
            RegSetValueExA(key, "Tracking", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&kTrackingOn),
                           sizeof kTrackingOn);
        RegCloseKey(key);
    }
    ~StoredSettings() { RegDeleteTreeA(HKEY_CURRENT_USER, kVendorKey); }
    StoredSettings(const StoredSettings &) = delete;
    StoredSettings &operator=(const StoredSettings &) = delete;

private:
    static void SetString(HKEY key, const char *name, const char *value)
    {
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE *>(value), lstrlenA(value) + 1);
    }
};

// The in-process add-in takes its button faces from the shipped DLL beside
// the program, as the tests do.
class AddinResources
{
public:
    AddinResources() : m_module(LoadLibraryA("QuorviaAddin.dll")) { g_hModule = m_module; }
    ~AddinResources()
    {
        g_hModule = nullptr;
        if (m_module)
            FreeLibrary(m_module);
    }
    AddinResources(const AddinResources &) = delete;
    AddinResources &operator=(const AddinResources &) = delete;
    bool Loaded() const { return m_module != nullptr; }

private:
    HMODULE m_module;
};

// Committed private memory of the process, summed over its regions: unlike the
// counters of GetProcessMemoryInfo this does not depend on what Wine fills in.
inline SIZE_T CommittedPrivateBytes()
{
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION info;
    const char *address = nullptr;
    while (VirtualQuery(address, &info, sizeof info) == sizeof info) {
        if (info.State == MEM_COMMIT && info.Type == MEM_PRIVATE)
            total += info.RegionSize;
        const char *next = static_cast<const char *>(info.BaseAddress) + info.RegionSize;
        if (next <= address)
            break;
        address = next;
    }
    return total;
}

// Bytes in use in every heap of the process, to the byte: what malloc, new,
// SysAllocString and Wine's own DLLs hold. Committed memory moves only in
// whole regions of a heap and hides anything smaller.
inline SIZE_T HeapBytesInUse()
{
    std::vector<HANDLE> heaps(64);
    DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
    if (count > heaps.size()) {
        heaps.resize(count);
        count = GetProcessHeaps(count, heaps.data());
    }
    SIZE_T total = 0;
    for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
        if (!HeapLock(heaps[i]))
            continue;
        PROCESS_HEAP_ENTRY entry = {};
        while (HeapWalk(heaps[i], &entry))
            if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY)
                total += entry.cbData;
        HeapUnlock(heaps[i]);
    }
    return total;
}

// Open kernel handles of the process. GetProcessHandleCount gives 0 under
// Wine 8, so every handle value is tried instead (Wine hands out the lowest
// free multiple of 4).
inline DWORD KernelHandleCount()
{
    DWORD counted = 0;
    if (GetProcessHandleCount(GetCurrentProcess(), &counted) && counted)
        return counted;
    DWORD flags = 0;
    for (UINT_PTR value = 4; value < 0x10000; value += 4)
        if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags))
            ++counted;
    return counted;
}

struct ProcessCounts
{
    long objects = 0;            // g_lMyObjects
    DWORD kernelHandles = 0;     // KernelHandleCount
    DWORD gdiObjects = 0;        // GetGuiResources(GR_GDIOBJECTS)
    DWORD userObjects = 0;       // GetGuiResources(GR_USEROBJECTS)
    SIZE_T privateUsage = 0;     // GetProcessMemoryInfo PrivateUsage (0 under Wine 8)
    SIZE_T committedPrivate = 0; // CommittedPrivateBytes
    SIZE_T heapInUse = 0;        // HeapBytesInUse

    static ProcessCounts Now()
    {
        ProcessCounts c;
        c.objects = g_lMyObjects;
        c.kernelHandles = KernelHandleCount();
        c.heapInUse = HeapBytesInUse();
        c.gdiObjects = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
        c.userObjects = GetGuiResources(GetCurrentProcess(), GR_USEROBJECTS);
        PROCESS_MEMORY_COUNTERS_EX memory = {};
        memory.cb = sizeof memory;
        if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&memory),
                                 sizeof memory))
            c.privateUsage = memory.PrivateUsage;
        c.committedPrivate = CommittedPrivateBytes();
        return c;
    }
};

} // namespace bench

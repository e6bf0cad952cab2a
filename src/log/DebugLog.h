// The add-in's diagnostic log: "Quorvia.log" in the Windows directory, or in
// %LOCALAPPDATA%\Quorvia when the Windows directory is not writable.
#pragma once

#include <windows.h>

extern DWORD g_dwDebugLevel;

// Appends one formatted message (every format ends in "\n"). Returns the number
// of characters appended, 0 when nothing was. Safe from any thread.
int DebugLog(DWORD level, const char *format, ...) __attribute__((format(printf, 2, 3)));

// Where the log is being written, empty while it is not open (for tests and tools).
const char *DebugLogPath();

// What this process holds, for the checks that nothing is left behind.
#pragma once

#include <cstddef>

namespace host {

// Threads of this process (a toolhelp snapshot), but for WinInet's own.
size_t ThreadsOfThisProcess();

} // namespace host

// What this process holds, for the checks that nothing is left behind.
#pragma once

#include <cstddef>

namespace host {

// Threads of this process (a toolhelp snapshot).
size_t ThreadsOfThisProcess();

} // namespace host

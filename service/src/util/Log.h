// The service's log: one line per event on standard error, with the UTC time.
#pragma once

#include <cstdarg>

namespace quorvia {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void Log(const char *format, ...);

} // namespace quorvia

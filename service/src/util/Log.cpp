#include "util/Log.h"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <sys/time.h>

namespace quorvia {

void Log(const char *format, ...)
{
    static std::mutex mutex;
    char line[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    timeval now;
    gettimeofday(&now, nullptr);
    tm utc;
    gmtime_r(&now.tv_sec, &utc);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    std::lock_guard<std::mutex> lock(mutex);
    std::fprintf(stderr, "%s.%03ldZ %s\n", stamp, static_cast<long>(now.tv_usec / 1000), line);
    std::fflush(stderr);
}

} // namespace quorvia

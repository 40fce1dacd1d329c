// Operating-system clocks on Linux: CLOCK_MONOTONIC, clock(), time() and the re-entrant
// calendar breakdowns.
#include "core/linux/platform_time.h"

#include <cstring>
#include <ctime>

uint64_t Platform_GetMonotonicNanoseconds() {
    struct timespec ts;
    if (clock_gettime(CLOCK_MONOTONIC, &ts) != 0) return 0;
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000ull + static_cast<uint64_t>(ts.tv_nsec);
}

double Platform_GetProcessorClock() {
    return static_cast<double>(clock());
}

int64_t Platform_GetWallClockSeconds() {
    return static_cast<int64_t>(time(nullptr));
}

int64_t Platform_LocalTime(int64_t seconds, struct tm* record) {
    if (record == nullptr) return 0;
    memset(record, 0, sizeof(*record));
    time_t t = static_cast<time_t>(seconds);
    if (localtime_r(&t, record) == nullptr) {
        memset(record, 0, sizeof(*record));
        return 0;
    }
    return 1;
}

int64_t Platform_GmTime(int64_t seconds, struct tm* record) {
    if (record == nullptr) return 0;
    memset(record, 0, sizeof(*record));
    time_t t = static_cast<time_t>(seconds);
    if (gmtime_r(&t, record) == nullptr) {
        memset(record, 0, sizeof(*record));
        return 0;
    }
    return 1;
}

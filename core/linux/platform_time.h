// Operating-system clocks: the monotonic counter, processor time, the wall clock and its
// breakdown into calendar fields in the local zone or in UTC.
#pragma once

#include <cstdint>
#include <ctime>

// Nanoseconds of a clock that never goes backwards and ignores wall-clock changes.
uint64_t Platform_GetMonotonicNanoseconds();
// Processor time used by the process, in the C library's clock ticks.
double Platform_GetProcessorClock();
// Seconds since 1970-01-01 00:00:00 UTC.
int64_t Platform_GetWallClockSeconds();
// Calendar fields of the given UTC seconds; 0 (record zeroed) when they cannot be computed.
int64_t Platform_LocalTime(int64_t seconds, struct tm* record);
int64_t Platform_GmTime(int64_t seconds, struct tm* record);

// Bandwidth meters: a tree of byte counters that measures current and highest bandwidth once a
// second and throttles transfers to per-meter limits in bytes per second.
#pragma once

#include <cstdint>

enum : uint32_t {
    METER_CLASS_ID = 0x03DAA48F,
    METER_GLOBAL_TAG = 0x8B1EA9DE,
    // Limits between 0 and this value are raised to it; negative limits mean none.
    METER_MIN_LIMIT = 1024,
};

struct Meter;

// Source of monotonic seconds; Time_GetCurrent unless overridden.
typedef double (*MeterClockFunc)();

// Process-wide state: the root meter and the lock of every meter. Init is idempotent.
int64_t Meter_Init();
int64_t Meter_Remove();
// The root meter; aborts before Meter_Init.
Meter* Meter_RootHandle();
// Once per main-loop pass: bandwidths and allowances are brought up to date when a second has
// passed since they last were. 0 before Meter_Init.
int64_t Meter_Process();
// Replaces the clock that Meter_Init and Meter_Process read; null restores Time_GetCurrent.
int64_t Meter_SetClockOverride(MeterClockFunc fn);

int64_t Meter_Create(Meter** handle);
// Orphans the children (they are not deleted), leaves the parent, frees, nulls the handle.
int64_t Meter_Delete(Meter** handle);
int64_t Meter_AddRef(Meter* meter);
// Releases and nulls the handle; the last release deletes. 0 for a null handle.
int64_t Meter_Release(Meter** handle);
// Copies at most 36 bytes of the instance id text (empty: meters are not tracked).
int64_t Meter_GetInstanceId(Meter* meter, char* buffer, int32_t size);

// Appends the meter to the parent's children (null detaches it). A parent that is the meter
// itself or one of its descendants would close a loop: 0, and the links stay as they were.
int64_t Meter_SetParentHandle(Meter* meter, Meter* parent);
// The same, and what the meter counted so far is counted again by the new parent and its parents.
int64_t Meter_SetParentHandleCarryUsage(Meter* meter, Meter* parent);
// Counts bytes that were transferred, here and in every ancestor; first returns to the
// allowances what the last Meter_Limit granted and was not used.
int64_t Meter_Report(Meter* meter, uint32_t count);
// Shrinks *count to what every limit on the path to the root allows and reserves it. 1 when at
// least one byte may pass or no limit applies (count unchanged); 0 when none may or *count < 1.
int64_t Meter_Limit(Meter* meter, int32_t* count);
int64_t Meter_SetLimitBandwidth(Meter* meter, int32_t bytesPerSecond);
// The smallest positive limit from the meter up to the root; the meter's own value when there
// is none.
int64_t Meter_GetLimitBandwidth(Meter* meter, int32_t* bytesPerSecond);
int64_t Meter_GetOverallUsage(Meter* meter, uint64_t* usage);
int64_t Meter_GetCurrentBandwidth(Meter* meter, double* bytesPerSecond);
int64_t Meter_GetMaxBandwidth(Meter* meter, double* bytesPerSecond);
// Usage and bandwidths to 0 and the limit removed, here and in every descendant.
int64_t Meter_Reset(Meter* meter);
// Usage and bandwidths to 0 (limits kept), here and in every descendant.
int64_t Meter_ResetCounters(Meter* meter);
// 1: every report counted by this meter is logged.
int64_t Meter_SetVerbose(Meter* meter, uint32_t flag);

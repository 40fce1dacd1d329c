// The pair of meters (read and write) that every object moving bytes owns; each operation
// forwards to the read meter, the write meter or both.
#pragma once

#include <cstdint>

#include "core/runtime/meter.h"

enum : uint32_t { METER_RW_CLASS_ID = 0x1FC9F960 };

struct MeterRW;

// Two new parentless meters, one reference.
int64_t MeterRW_Create(MeterRW** handle);
// Detaches both meters from their parents, deletes them, frees the pair, nulls the handle.
int64_t MeterRW_Delete(MeterRW** handle);
int64_t MeterRW_AddRef(MeterRW* meter);
// Releases and nulls the handle; the last release deletes. 0 for a null handle.
int64_t MeterRW_Release(MeterRW** handle);
// Copies at most 36 bytes of the instance id text (empty: pairs are not tracked).
int64_t MeterRW_GetInstanceId(MeterRW* meter, char* buffer, int32_t size);

int64_t MeterRW_ReportRead(MeterRW* meter, uint32_t count);
int64_t MeterRW_ReportWrite(MeterRW* meter, uint32_t count);
// Meter_Limit on one side; its answer.
int64_t MeterRW_LimitRead(MeterRW* meter, int32_t* count);
int64_t MeterRW_LimitWrite(MeterRW* meter, int32_t* count);

// Read meter under the parent's read meter, write meter under its write meter; null detaches
// both. 1 when both sides were attached.
int64_t MeterRW_SetParentHandle(MeterRW* meter, MeterRW* parent);
// The same, and what the meters counted so far is counted again by the new parents.
int64_t MeterRW_SetParentHandleCarryUsage(MeterRW* meter, MeterRW* parent);
// One side under a plain meter (owners attach to Meter_RootHandle this way).
int64_t MeterRW_SetReadParentHandle(MeterRW* meter, Meter* parent);
int64_t MeterRW_SetWriteParentHandle(MeterRW* meter, Meter* parent);

// Each out value may be null; the others are cleared first.
int64_t MeterRW_GetOverallUsage(MeterRW* meter, uint64_t* read, uint64_t* write);
int64_t MeterRW_GetMaxBandwidth(MeterRW* meter, double* read, double* write);
int64_t MeterRW_GetCurrentBandwidth(MeterRW* meter, double* read, double* write);
int64_t MeterRW_GetLimitBandwidth(MeterRW* meter, int32_t* read, int32_t* write);
int64_t MeterRW_SetLimitBandwidth(MeterRW* meter, int32_t read, int32_t write);

int64_t MeterRW_Reset(MeterRW* meter);
int64_t MeterRW_ResetCounters(MeterRW* meter);
int64_t MeterRW_SetVerbose(MeterRW* meter, uint32_t flag);
int64_t MeterRW_SetVerboseRead(MeterRW* meter, uint32_t flag);
int64_t MeterRW_SetVerboseWrite(MeterRW* meter, uint32_t flag);

// The read and write meter pair of a transferring object: thin forwarding to Meter.
#include "core/runtime/meter_rw.h"

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct MeterRW {
    Class Header;
    Meter* Read;
    Meter* Write;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return MeterRW_Delete(reinterpret_cast<MeterRW**>(handle));
}

} // namespace

int64_t MeterRW_Create(MeterRW** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    MeterRW* rw = static_cast<MeterRW*>(Memory_AllocZero(sizeof(MeterRW)));
    rw->Header.ClassId = METER_RW_CLASS_ID;
    rw->Header.RefCount = 1;
    rw->Header.Delete = DeleteHandle;
    Meter_Create(&rw->Read);
    Meter_Create(&rw->Write);
    *handle = rw;
    return 1;
}

int64_t MeterRW_Delete(MeterRW** handle) {
    ASSERT_POINTER(handle);
    MeterRW* rw = *handle;
    CLASS_CHECK(rw, METER_RW_CLASS_ID);
    // Deleting a meter also takes it out of its parent's children.
    Meter_Delete(&rw->Read);
    Meter_Delete(&rw->Write);
    rw->Header.ClassId = 0;
    Memory_Free(rw, sizeof(MeterRW));
    *handle = nullptr;
    return 1;
}

int64_t MeterRW_AddRef(MeterRW* meter) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    Class_AddRef(meter);
    return 1;
}

int64_t MeterRW_Release(MeterRW** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, METER_RW_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t MeterRW_GetInstanceId(MeterRW* meter, char* buffer, int32_t size) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, meter->Header.InstanceId, (int32_t)sizeof(meter->Header.InstanceId));
    return 1;
}

int64_t MeterRW_ReportRead(MeterRW* meter, uint32_t count) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_Report(meter->Read, count);
}

int64_t MeterRW_ReportWrite(MeterRW* meter, uint32_t count) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_Report(meter->Write, count);
}

int64_t MeterRW_LimitRead(MeterRW* meter, int32_t* count) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_Limit(meter->Read, count);
}

int64_t MeterRW_LimitWrite(MeterRW* meter, int32_t* count) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_Limit(meter->Write, count);
}

int64_t MeterRW_SetParentHandle(MeterRW* meter, MeterRW* parent) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    if (parent) CLASS_CHECK(parent, METER_RW_CLASS_ID);
    const int64_t read = Meter_SetParentHandle(meter->Read, parent ? parent->Read : nullptr);
    const int64_t write = Meter_SetParentHandle(meter->Write, parent ? parent->Write : nullptr);
    return read && write;
}

int64_t MeterRW_SetParentHandleCarryUsage(MeterRW* meter, MeterRW* parent) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    if (parent) CLASS_CHECK(parent, METER_RW_CLASS_ID);
    const int64_t read = Meter_SetParentHandleCarryUsage(meter->Read, parent ? parent->Read : nullptr);
    const int64_t write = Meter_SetParentHandleCarryUsage(meter->Write, parent ? parent->Write : nullptr);
    return read && write;
}

int64_t MeterRW_SetReadParentHandle(MeterRW* meter, Meter* parent) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_SetParentHandle(meter->Read, parent);
}

int64_t MeterRW_SetWriteParentHandle(MeterRW* meter, Meter* parent) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_SetParentHandle(meter->Write, parent);
}

int64_t MeterRW_GetOverallUsage(MeterRW* meter, uint64_t* read, uint64_t* write) {
    if (read) *read = 0;
    if (write) *write = 0;
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    if (read) Meter_GetOverallUsage(meter->Read, read);
    if (write) Meter_GetOverallUsage(meter->Write, write);
    return 1;
}

int64_t MeterRW_GetMaxBandwidth(MeterRW* meter, double* read, double* write) {
    if (read) *read = 0.0;
    if (write) *write = 0.0;
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    if (read) Meter_GetMaxBandwidth(meter->Read, read);
    if (write) Meter_GetMaxBandwidth(meter->Write, write);
    return 1;
}

int64_t MeterRW_GetCurrentBandwidth(MeterRW* meter, double* read, double* write) {
    if (read) *read = 0.0;
    if (write) *write = 0.0;
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    if (read) Meter_GetCurrentBandwidth(meter->Read, read);
    if (write) Meter_GetCurrentBandwidth(meter->Write, write);
    return 1;
}

int64_t MeterRW_GetLimitBandwidth(MeterRW* meter, int32_t* read, int32_t* write) {
    if (read) *read = 0;
    if (write) *write = 0;
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    if (read) Meter_GetLimitBandwidth(meter->Read, read);
    if (write) Meter_GetLimitBandwidth(meter->Write, write);
    return 1;
}

int64_t MeterRW_SetLimitBandwidth(MeterRW* meter, int32_t read, int32_t write) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    Meter_SetLimitBandwidth(meter->Read, read);
    Meter_SetLimitBandwidth(meter->Write, write);
    return 1;
}

int64_t MeterRW_Reset(MeterRW* meter) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    Meter_Reset(meter->Read);
    Meter_Reset(meter->Write);
    return 1;
}

int64_t MeterRW_ResetCounters(MeterRW* meter) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    Meter_ResetCounters(meter->Read);
    Meter_ResetCounters(meter->Write);
    return 1;
}

int64_t MeterRW_SetVerbose(MeterRW* meter, uint32_t flag) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    Meter_SetVerbose(meter->Read, flag);
    Meter_SetVerbose(meter->Write, flag);
    return 1;
}

int64_t MeterRW_SetVerboseRead(MeterRW* meter, uint32_t flag) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_SetVerbose(meter->Read, flag);
}

int64_t MeterRW_SetVerboseWrite(MeterRW* meter, uint32_t flag) {
    CLASS_CHECK(meter, METER_RW_CLASS_ID);
    return Meter_SetVerbose(meter->Write, flag);
}

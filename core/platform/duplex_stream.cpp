// Connection byte queues: every operation forwards to the memory stream of its side, whose lock
// lets the socket thread and the connection's owner share it.
#include "core/platform/duplex_stream.h"

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

struct DuplexStream {
    Class Header;
    MemoryStream* ReadSide;
    MemoryStream* WriteSide;
};

namespace {

int64_t DeleteObject(void** handle) {
    return DuplexStream_Delete(reinterpret_cast<DuplexStream**>(handle));
}

MemoryStream* CreateSide() {
    MemoryStream* side = nullptr;
    MemoryStream_Create(&side);
    MemoryStream_SetAutoGrow(side, 1);
    MemoryStream_SetMaxCapacity(side, (uint32_t)kDuplexStreamSideCapacity);
    MemoryStream_SetAllowLock(side, 1);
    return side;
}

MemoryStream* ReadSide(DuplexStream* ds) {
    CLASS_CHECK(ds, DUPLEX_STREAM_CLASS_ID);
    return ds->ReadSide;
}

MemoryStream* WriteSide(DuplexStream* ds) {
    CLASS_CHECK(ds, DUPLEX_STREAM_CLASS_ID);
    return ds->WriteSide;
}

// The counts are read under the side's lock (when it has one): producers and consumers on other
// threads change them while the owner polls.
int64_t GetUsed(MemoryStream* side, int32_t* used) {
    ASSERT_POINTER(used);
    const int64_t locked = MemoryStream_Lock(side);
    *used = MemoryStream_GetUsed(side);
    if (locked) MemoryStream_Unlock(side);
    return 1;
}

int64_t GetLeft(MemoryStream* side, int32_t* left) {
    ASSERT_POINTER(left);
    const int64_t locked = MemoryStream_Lock(side);
    *left = MemoryStream_GetAvailableCapacity(side);
    if (locked) MemoryStream_Unlock(side);
    return 1;
}

int64_t Put(MemoryStream* side, const void* data, uint32_t n) {
    uint32_t written = 0;
    return MemoryStream_Put(side, data, n, &written);
}

int64_t GetPointer(MemoryStream* side, uint8_t** pointer, int32_t* used) {
    ASSERT_POINTER(pointer);
    ASSERT_POINTER(used);
    *pointer = nullptr;
    *used = 0;
    const int64_t result = MemoryStream_GetPointer(side, pointer);
    *used = MemoryStream_GetUsed(side);
    return result;
}

} // namespace

int64_t DuplexStream_Create(DuplexStream** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    DuplexStream* ds = static_cast<DuplexStream*>(Memory_AllocZero(sizeof(DuplexStream)));
    ds->Header.ClassId = DUPLEX_STREAM_CLASS_ID;
    ds->Header.RefCount = 1;
    ds->Header.Delete = DeleteObject;
    ds->ReadSide = CreateSide();
    ds->WriteSide = CreateSide();
    *handle = ds;
    return 1;
}

int64_t DuplexStream_Delete(DuplexStream** handle) {
    ASSERT_POINTER(handle);
    DuplexStream* ds = *handle;
    CLASS_CHECK(ds, DUPLEX_STREAM_CLASS_ID);
    if (ds->ReadSide) MemoryStream_Delete(&ds->ReadSide);
    if (ds->WriteSide) MemoryStream_Delete(&ds->WriteSide);
    ds->Header.ClassId = 0;
    Memory_Free(ds, sizeof(DuplexStream));
    *handle = nullptr;
    return 1;
}

int64_t DuplexStream_AddRef(DuplexStream* ds) {
    CLASS_CHECK(ds, DUPLEX_STREAM_CLASS_ID);
    Class_AddRef(ds);
    return 1;
}

int64_t DuplexStream_Release(DuplexStream** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, DUPLEX_STREAM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t DuplexStream_GetInstanceId(DuplexStream* ds, char* buffer, int32_t size) {
    CLASS_CHECK(ds, DUPLEX_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, ds->Header.InstanceId, (int32_t)sizeof(ds->Header.InstanceId));
    return 1;
}

int64_t DuplexStream_ReadLock(DuplexStream* ds) {
    return MemoryStream_Lock(ReadSide(ds));
}
int64_t DuplexStream_WriteLock(DuplexStream* ds) {
    return MemoryStream_Lock(WriteSide(ds));
}
int64_t DuplexStream_ReadUnlock(DuplexStream* ds) {
    return MemoryStream_Unlock(ReadSide(ds));
}
int64_t DuplexStream_WriteUnlock(DuplexStream* ds) {
    return MemoryStream_Unlock(WriteSide(ds));
}

int64_t DuplexStream_ReadTransactionStart(DuplexStream* ds) {
    return MemoryStream_TransactionStart(ReadSide(ds));
}
int64_t DuplexStream_WriteTransactionStart(DuplexStream* ds) {
    return MemoryStream_TransactionStart(WriteSide(ds));
}
int64_t DuplexStream_ReadTransactionEnd(DuplexStream* ds, int32_t drop) {
    return MemoryStream_TransactionEnd(ReadSide(ds), drop);
}
int64_t DuplexStream_WriteTransactionEnd(DuplexStream* ds, int32_t drop) {
    return MemoryStream_TransactionEnd(WriteSide(ds), drop);
}
int64_t DuplexStream_ReadTransactionActive(DuplexStream* ds) {
    return MemoryStream_TransactionActive(ReadSide(ds));
}
int64_t DuplexStream_WriteTransactionActive(DuplexStream* ds) {
    return MemoryStream_TransactionActive(WriteSide(ds));
}

int64_t DuplexStream_ReadDiscard(DuplexStream* ds, int32_t n) {
    return MemoryStream_DiscardBegin(ReadSide(ds), n);
}

int64_t DuplexStream_ReadGetBufferUsed(DuplexStream* ds, int32_t* used) {
    return GetUsed(ReadSide(ds), used);
}
int64_t DuplexStream_WriteGetBufferUsed(DuplexStream* ds, int32_t* used) {
    return GetUsed(WriteSide(ds), used);
}
int64_t DuplexStream_ReadGetBufferLeft(DuplexStream* ds, int32_t* left) {
    return GetLeft(ReadSide(ds), left);
}
int64_t DuplexStream_WriteGetBufferLeft(DuplexStream* ds, int32_t* left) {
    return GetLeft(WriteSide(ds), left);
}

int64_t DuplexStream_ReadGet(DuplexStream* ds, void* buffer, uint32_t n, uint32_t* got) {
    return MemoryStream_Get(ReadSide(ds), buffer, n, got);
}
int64_t DuplexStream_WriteGet(DuplexStream* ds, void* buffer, uint32_t n, uint32_t* got) {
    return MemoryStream_Get(WriteSide(ds), buffer, n, got);
}

int64_t DuplexStream_ReadPut(DuplexStream* ds, const void* data, uint32_t n) {
    return Put(ReadSide(ds), data, n);
}
int64_t DuplexStream_WritePut(DuplexStream* ds, const void* data, uint32_t n) {
    return Put(WriteSide(ds), data, n);
}

int64_t DuplexStream_ReadVPutFormat(DuplexStream* ds, const char* format, va_list args) {
    return MemoryStream_VPrint(ReadSide(ds), format, args);
}
int64_t DuplexStream_WriteVPutFormat(DuplexStream* ds, const char* format, va_list args) {
    return MemoryStream_VPrint(WriteSide(ds), format, args);
}

int64_t DuplexStream_ReadPutFormat(DuplexStream* ds, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = DuplexStream_ReadVPutFormat(ds, format, args);
    va_end(args);
    return result;
}

int64_t DuplexStream_WritePutFormat(DuplexStream* ds, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = DuplexStream_WriteVPutFormat(ds, format, args);
    va_end(args);
    return result;
}

int64_t DuplexStream_ReadFill(DuplexStream* ds, DuplexStream* other) {
    MemoryStream* target = ReadSide(ds);
    return MemoryStream_Fill(target, ReadSide(other));
}
int64_t DuplexStream_WriteFill(DuplexStream* ds, DuplexStream* other) {
    MemoryStream* target = WriteSide(ds);
    return MemoryStream_Fill(target, WriteSide(other));
}

int64_t DuplexStream_ReadGetPointer(DuplexStream* ds, uint8_t** pointer, int32_t* used) {
    return GetPointer(ReadSide(ds), pointer, used);
}
int64_t DuplexStream_WriteGetPointer(DuplexStream* ds, uint8_t** pointer, int32_t* used) {
    return GetPointer(WriteSide(ds), pointer, used);
}
int64_t DuplexStream_ReadReleasePointer(DuplexStream* ds, uint8_t** pointer) {
    return MemoryStream_ReleasePointer(ReadSide(ds), pointer);
}
int64_t DuplexStream_WriteReleasePointer(DuplexStream* ds, uint8_t** pointer) {
    return MemoryStream_ReleasePointer(WriteSide(ds), pointer);
}

int64_t DuplexStream_Reset(DuplexStream* ds) {
    MemoryStream_DiscardAll(ReadSide(ds));
    MemoryStream_DiscardAll(WriteSide(ds));
    return 1;
}

int64_t DuplexStream_SetAllowLock(DuplexStream* ds, uint32_t flag) {
    MemoryStream_SetAllowLock(ReadSide(ds), flag);
    MemoryStream_SetAllowLock(WriteSide(ds), flag);
    return 1;
}

int64_t DuplexStream_GetAllowLock(DuplexStream* ds, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    return MemoryStream_GetAllowLock(ReadSide(ds), flag);
}

int64_t DuplexStream_GetReadMemoryStreamHandle(DuplexStream* ds, MemoryStream** handle) {
    ASSERT_POINTER(handle);
    *handle = ReadSide(ds);
    return *handle != nullptr;
}

int64_t DuplexStream_GetWriteMemoryStreamHandle(DuplexStream* ds, MemoryStream** handle) {
    ASSERT_POINTER(handle);
    *handle = WriteSide(ds);
    return *handle != nullptr;
}

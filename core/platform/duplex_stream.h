// The pair of byte queues of one connection: a read side (bytes received, not yet consumed) and
// a write side (bytes waiting to be sent), each a locked memory stream capped at 1 MiB.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/memory_stream.h"
#include "core/runtime/class.h"

enum : uint32_t { DUPLEX_STREAM_CLASS_ID = 0x6D8A9D1F };

// Largest number of bytes either side holds; producers check the room left for back-pressure.
constexpr int32_t kDuplexStreamSideCapacity = 0x100000;

struct DuplexStream;

int64_t DuplexStream_Create(DuplexStream** handle);
// Deletes both sides, frees the object and nulls the handle.
int64_t DuplexStream_Delete(DuplexStream** handle);
int64_t DuplexStream_AddRef(DuplexStream* ds);
// Releases and nulls the handle; the last release deletes.
int64_t DuplexStream_Release(DuplexStream** handle);
// Copies at most 36 bytes of the instance id text (empty: the type is not tracked).
int64_t DuplexStream_GetInstanceId(DuplexStream* ds, char* buffer, int32_t size);

// Each Read* acts on the read side and each Write* on the write side, as the memory-stream
// operation of the same role.
int64_t DuplexStream_ReadLock(DuplexStream* ds);
int64_t DuplexStream_WriteLock(DuplexStream* ds);
int64_t DuplexStream_ReadUnlock(DuplexStream* ds);
int64_t DuplexStream_WriteUnlock(DuplexStream* ds);
int64_t DuplexStream_ReadTransactionStart(DuplexStream* ds);
int64_t DuplexStream_WriteTransactionStart(DuplexStream* ds);
// drop = 1 takes back what was put since the start.
int64_t DuplexStream_ReadTransactionEnd(DuplexStream* ds, int32_t drop);
int64_t DuplexStream_WriteTransactionEnd(DuplexStream* ds, int32_t drop);
int64_t DuplexStream_ReadTransactionActive(DuplexStream* ds);
int64_t DuplexStream_WriteTransactionActive(DuplexStream* ds);
// Removes n bytes from the front of the read side; 1 while bytes remain.
int64_t DuplexStream_ReadDiscard(DuplexStream* ds, int32_t n);
int64_t DuplexStream_ReadGetBufferUsed(DuplexStream* ds, int32_t* used);
int64_t DuplexStream_WriteGetBufferUsed(DuplexStream* ds, int32_t* used);
// Room left below the side's 1 MiB maximum.
int64_t DuplexStream_ReadGetBufferLeft(DuplexStream* ds, int32_t* left);
int64_t DuplexStream_WriteGetBufferLeft(DuplexStream* ds, int32_t* left);
// Takes up to n bytes from the front; a null buffer discards n bytes.
int64_t DuplexStream_ReadGet(DuplexStream* ds, void* buffer, uint32_t n, uint32_t* got);
int64_t DuplexStream_WriteGet(DuplexStream* ds, void* buffer, uint32_t n, uint32_t* got);
// Appends at the end; the count written is not returned.
int64_t DuplexStream_ReadPut(DuplexStream* ds, const void* data, uint32_t n);
int64_t DuplexStream_WritePut(DuplexStream* ds, const void* data, uint32_t n);
// Formatted append with the system formatter.
int64_t DuplexStream_ReadPutFormat(DuplexStream* ds, const char* format, ...);
int64_t DuplexStream_WritePutFormat(DuplexStream* ds, const char* format, ...);
int64_t DuplexStream_ReadVPutFormat(DuplexStream* ds, const char* format, va_list args);
int64_t DuplexStream_WriteVPutFormat(DuplexStream* ds, const char* format, va_list args);
// Moves bytes from the other duplex stream's same side to the end of this one's.
int64_t DuplexStream_ReadFill(DuplexStream* ds, DuplexStream* other);
int64_t DuplexStream_WriteFill(DuplexStream* ds, DuplexStream* other);
// Pins the side's buffer (release it with the ReleasePointer operation); the used length is
// always set, the answer is the pointer call's.
int64_t DuplexStream_ReadGetPointer(DuplexStream* ds, uint8_t** pointer, int32_t* used);
int64_t DuplexStream_WriteGetPointer(DuplexStream* ds, uint8_t** pointer, int32_t* used);
int64_t DuplexStream_ReadReleasePointer(DuplexStream* ds, uint8_t** pointer);
int64_t DuplexStream_WriteReleasePointer(DuplexStream* ds, uint8_t** pointer);

// Empties both sides.
int64_t DuplexStream_Reset(DuplexStream* ds);
// Locking on both sides; the getter reads the read side's setting.
int64_t DuplexStream_SetAllowLock(DuplexStream* ds, uint32_t flag);
int64_t DuplexStream_GetAllowLock(DuplexStream* ds, uint32_t* flag);
// The side's memory stream (no reference added), so the Stream functions can be used on it.
int64_t DuplexStream_GetReadMemoryStreamHandle(DuplexStream* ds, MemoryStream** handle);
int64_t DuplexStream_GetWriteMemoryStreamHandle(DuplexStream* ds, MemoryStream** handle);

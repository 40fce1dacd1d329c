// The growable byte buffer: a Stream with a read/write position and, at the same time, a FIFO
// byte queue (Put at the end, Get or Discard at the front), with an optional recursive lock and
// transactions that take back a partly written record.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

enum : uint32_t { MEMORY_STREAM_CLASS_ID = 0xA2214518 };

struct CriticalSection;

struct MemoryStream {
    Class Header;
    // Write, Read, Seek, Tell, Length, IsOpen and Close are filled; Handle is this object.
    Stream StreamRecord;
    uint8_t* Buffer;
    // Pointers into the buffer handed out and not yet released; the buffer is neither moved
    // nor freed while it is above 0.
    volatile uint32_t PinCount;
    int32_t Capacity;
    int32_t MaxCapacity; // 0 = no limit
    int32_t Size;        // usable bytes; never above Capacity
    uint64_t Position;   // never above Used
    uint32_t Open;
    uint32_t CallerOwned;
    uint32_t AutoGrow;
    int32_t Used;
    int32_t TransactionStart; // -1 when no transaction is open
    uint32_t AllowLock;
    CriticalSection* Lock;
    // 1 when the open transaction holds the lock, so that its end releases only what it took
    // even if locking was switched on or off in between.
    uint32_t TransactionLocked;
};

// (user, data, length, &consumed) -> 1 on success.
typedef int64_t (*MemoryStreamWriteCallback)(void* user, const void* data, uint32_t length,
                                             uint32_t* written);
// (user, space, length, &produced) -> 1 on success.
typedef int64_t (*MemoryStreamReadCallback)(void* user, void* space, uint32_t length, uint32_t* read);

int64_t MemoryStream_Create(MemoryStream** handle);
int64_t MemoryStream_Delete(MemoryStream** handle);
int64_t MemoryStream_AddRef(MemoryStream* stream);
// Releases and nulls the handle; the last release deletes.
int64_t MemoryStream_Release(MemoryStream** handle);
// Copies at most 36 bytes of the instance id text.
int64_t MemoryStream_GetInstanceId(MemoryStream* stream, char* buffer, int32_t size);

// Sizing and configuration.
int64_t MemoryStream_SizeInt(MemoryStream* stream, int32_t size, uint32_t keep, uint32_t force,
                             const char* file, int32_t line);
#define MemoryStream_Size(stream, size, keep, force)                                                         \
    MemoryStream_SizeInt((stream), (size), (keep), (force), __FILE__, __LINE__)
int64_t MemoryStream_SetPointer(MemoryStream* stream, void* buffer, uint32_t used, uint32_t size);
int64_t MemoryStream_SetAutoGrow(MemoryStream* stream, uint32_t flag);
int64_t MemoryStream_GetAutoGrow(MemoryStream* stream, uint32_t* flag);
int64_t MemoryStream_SetMaxCapacity(MemoryStream* stream, uint32_t bytes);
int64_t MemoryStream_SetAllowLock(MemoryStream* stream, uint32_t flag);
int64_t MemoryStream_GetAllowLock(MemoryStream* stream, uint32_t* flag);
int64_t MemoryStream_Lock(MemoryStream* stream);
int64_t MemoryStream_Unlock(MemoryStream* stream);
int64_t MemoryStream_GetStreamHandle(MemoryStream* stream, Stream** streamHandle);

// Stream operations at the position.
int64_t MemoryStream_Write(MemoryStream* stream, const void* buffer, uint32_t size, uint32_t* written);
int64_t MemoryStream_Read(MemoryStream* stream, void* buffer, uint32_t size, uint32_t* read);
int64_t MemoryStream_Seek(MemoryStream* stream, int64_t offset, SeekOrigin origin);
int64_t MemoryStream_Tell(MemoryStream* stream, uint64_t* position);
// The used length.
int64_t MemoryStream_Length(MemoryStream* stream, uint64_t* length);
int64_t MemoryStream_IsOpen(MemoryStream* stream);
int64_t MemoryStream_Close(MemoryStream* stream);

// Queue operations.
int64_t MemoryStream_Put(MemoryStream* stream, const void* data, uint32_t n, uint32_t* written);
int64_t MemoryStream_Get(MemoryStream* stream, void* buffer, uint32_t n, uint32_t* got);
int64_t MemoryStream_DiscardBegin(MemoryStream* stream, int32_t n);
int64_t MemoryStream_DiscardEnd(MemoryStream* stream, int32_t n);
int64_t MemoryStream_DiscardAll(MemoryStream* stream);
int64_t MemoryStream_Fill(MemoryStream* target, MemoryStream* source);
int64_t MemoryStream_Claim(MemoryStream* stream, int32_t n);
int64_t MemoryStream_Print(MemoryStream* stream, const char* format, ...);
int64_t MemoryStream_VPrint(MemoryStream* stream, const char* format, va_list args);
int64_t MemoryStream_ReadToWriteCallback(MemoryStream* stream, void* user, MemoryStreamWriteCallback write,
                                         uint32_t* written);
int64_t MemoryStream_WriteFromReadCallback(MemoryStream* stream, void* user, MemoryStreamReadCallback read,
                                           uint32_t* readCount);

// Direct access: each pointer handed out pins the buffer until it is released.
int64_t MemoryStream_GetPointer(MemoryStream* stream, uint8_t** pointer);
int64_t MemoryStream_GetPointerAt(MemoryStream* stream, int32_t offset, uint8_t** pointer);
int64_t MemoryStream_GetAvailablePointer(MemoryStream* stream, uint8_t** pointer);
int64_t MemoryStream_ReleasePointer(MemoryStream* stream, uint8_t** pointer);
int32_t MemoryStream_GetUsed(MemoryStream* stream);
int32_t MemoryStream_GetSize(MemoryStream* stream);
int32_t MemoryStream_GetCapacity(MemoryStream* stream);
int32_t MemoryStream_GetAvailable(MemoryStream* stream);
int32_t MemoryStream_GetAvailableCapacity(MemoryStream* stream);

// Transactions: the lock (when on) is held from start to end.
int64_t MemoryStream_TransactionStart(MemoryStream* stream);
int64_t MemoryStream_TransactionEnd(MemoryStream* stream, int32_t drop);
int64_t MemoryStream_TransactionActive(MemoryStream* stream);

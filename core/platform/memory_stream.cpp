// The growable byte buffer behind in-memory streams, byte queues and scratch space. All sizes
// stay within 32 bits; arithmetic on requests is done in 64 bits so that no request can wrap.
#include "core/platform/memory_stream.h"

#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

// Growth steps: a small shortfall still grows by a page, so that byte-wise appends are amortised.
constexpr int64_t kGrowStep = 4096;
// Largest buffer a stream will ask for: the allocator's own limit lies a little below 2 GiB.
constexpr int64_t kLargestBuffer = INT32_MAX - 65536;

int64_t DeleteHandle(void** handle) {
    return MemoryStream_Delete(reinterpret_cast<MemoryStream**>(handle));
}

void ClampPosition(MemoryStream* s) {
    if (s->Position > (uint64_t)s->Used) s->Position = (uint64_t)s->Used;
}

// Frees the buffer (never a caller's) and empties the stream. Caller holds the lock.
void CloseLocked(MemoryStream* s) {
    const uint32_t pins = __atomic_load_n(&s->PinCount, __ATOMIC_SEQ_CST);
    if (pins != 0)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (MemoryStream->RefCount == 0)\n"
                       "Reference to buffer not released before being reset [%d]\n",
                       (int32_t)pins);
    if (s->Buffer && !s->CallerOwned) Memory_Free(s->Buffer, s->Capacity);
    s->Buffer = nullptr;
    s->Capacity = 0;
    s->Size = 0;
    s->Used = 0;
    s->Position = 0;
    s->Open = 0;
    s->CallerOwned = 0;
}

// The sizing rules of MemoryStream_SizeInt for a stream that owns its buffer; caller holds the lock.
int64_t SizeLocked(MemoryStream* s, int64_t size, uint32_t keep, uint32_t force, const char* file,
                   int32_t line) {
    if (size < 0 || size > kLargestBuffer) return 0;
    if (size == 0) {
        CloseLocked(s);
        return 1;
    }
    if (s->Capacity >= size && force != 1) {
        s->Size = (int32_t)size;
        if (keep == 1) {
            // A smaller size cuts the content rather than leave valid bytes past the size.
            if (s->Used > s->Size) s->Used = s->Size;
            ClampPosition(s);
        } else {
            s->Used = 0;
            s->Position = 0;
        }
        s->Open = 1;
        return 1;
    }
    // Pointers handed out must stay valid: the buffer cannot move while it is pinned.
    if (__atomic_load_n(&s->PinCount, __ATOMIC_SEQ_CST) != 0) return 0;

    int64_t allocation = s->Buffer ? size + size / 2 : size;
    if (s->MaxCapacity >= 1 && allocation > s->MaxCapacity) allocation = s->MaxCapacity;
    if (allocation > kLargestBuffer) allocation = kLargestBuffer;
    uint8_t* buffer;
    if (keep == 1) {
        int64_t used = s->Used;
        if (used > s->Size) used = s->Size;
        if (used > allocation) used = allocation;
        if (s->Buffer) {
            // Kept content moves with the block: the heap may resize it in place (a large block is
            // remapped rather than copied), so a stream that keeps growing copies little or nothing.
            buffer = static_cast<uint8_t*>(Memory_MoveInt(s->Buffer, s->Capacity, (int32_t)allocation,
                                                          used > 0 ? (int32_t)used : 0, file, line, __FILE__,
                                                          __LINE__));
        } else {
            buffer =
                static_cast<uint8_t*>(Memory_AllocInt((int32_t)allocation, MEMORY_FLAG_PLAIN, file, line));
        }
        s->Used = (int32_t)used;
        ClampPosition(s);
    } else {
        buffer = static_cast<uint8_t*>(Memory_AllocInt((int32_t)allocation, MEMORY_FLAG_PLAIN, file, line));
        s->Used = 0;
        s->Position = 0;
        if (s->Buffer) Memory_Free(s->Buffer, s->Capacity);
    }
    s->Buffer = buffer;
    s->Capacity = (int32_t)allocation;
    s->Size = (int32_t)(size < allocation ? size : allocation);
    s->Open = 1;
    return 1;
}

// Grows an own buffer so that `needed` more bytes fit past `offset`, as far as the limits allow.
// 0 when a resize was needed and failed; a stream that may not grow is left as it is (answer 1),
// and the writer cuts the request to the room.
int64_t GrowFor(MemoryStream* s, int64_t offset, int64_t needed) {
    const int64_t room = (int64_t)s->Size - offset;
    if (room >= needed) return 1;
    if (!s->AutoGrow || s->CallerOwned) return 1;
    // At or past the maximum a new allocation could only shrink the buffer and lose content.
    if (s->MaxCapacity >= 1 && s->MaxCapacity <= s->Size) return 1;
    const int64_t shortfall = needed - room;
    int64_t size = shortfall <= kGrowStep ? s->Size + kGrowStep : s->Size + shortfall;
    if (s->MaxCapacity >= 1 && size > s->MaxCapacity) size = s->MaxCapacity;
    return SizeLocked(s, size, 1, 0, __FILE__, __LINE__);
}

// Writes at `offset` (the position, or the used end for Put); caller holds the lock.
int64_t WriteAtLocked(MemoryStream* s, int64_t offset, const void* data, uint32_t n, uint32_t* written) {
    *written = 0;
    if (n == 0) return 0;
    if (!GrowFor(s, offset, n)) return 0;
    const int64_t room = (int64_t)s->Size - offset;
    const int64_t count = room < (int64_t)n ? room : (int64_t)n;
    if (count <= 0) return 0;
    memmove(s->Buffer + offset, data, (size_t)count);
    if (offset + count > s->Used) s->Used = (int32_t)(offset + count);
    *written = (uint32_t)count;
    return 1;
}

// Removes n bytes starting at `from`, moving the rest down; the position is clamped, not shifted.
void RemoveLocked(MemoryStream* s, int64_t from, int64_t n) {
    if (n <= 0 || from < 0 || from >= s->Used) return;
    if (n > s->Used - from) n = s->Used - from;
    const int64_t tail = s->Used - from - n;
    if (tail > 0) memmove(s->Buffer + from, s->Buffer + from + n, (size_t)tail);
    s->Used = (int32_t)(s->Used - n);
    ClampPosition(s);
}

int64_t PinPointer(MemoryStream* s, int64_t offset, uint8_t** pointer) {
    ASSERT_POINTER(pointer);
    *pointer = nullptr;
    CLASS_CHECK(s, MEMORY_STREAM_CLASS_ID);
    if (s->Buffer == nullptr || offset < 0 || offset > s->Capacity) return 0;
    Platform_Increment(&s->PinCount);
    *pointer = s->Buffer + offset;
    return 1;
}

// Takes the stream's lock when locking is on; the lock is recursive.
class StreamGuard {
  public:
    explicit StreamGuard(MemoryStream* s) : guard_(s->Lock) {}

  private:
    CriticalSectionGuard guard_;
};

} // namespace

int64_t MemoryStream_Create(MemoryStream** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    MemoryStream* s = static_cast<MemoryStream*>(Memory_AllocZero(sizeof(MemoryStream)));
    s->Header.ClassId = MEMORY_STREAM_CLASS_ID;
    s->Header.RefCount = 1;
    s->Header.Delete = DeleteHandle;
    s->StreamRecord.Handle = s;
    s->StreamRecord.Write = StreamSlot<MemoryStream_Write>::Call;
    s->StreamRecord.Read = StreamSlot<MemoryStream_Read>::Call;
    s->StreamRecord.Seek = StreamSlot<MemoryStream_Seek>::Call;
    s->StreamRecord.Tell = StreamSlot<MemoryStream_Tell>::Call;
    s->StreamRecord.Length = StreamSlot<MemoryStream_Length>::Call;
    s->StreamRecord.IsOpen = StreamSlot<MemoryStream_IsOpen>::Call;
    s->StreamRecord.Close = StreamSlot<MemoryStream_Close>::Call;
    s->TransactionStart = -1;
    *handle = s;
    return 1;
}

int64_t MemoryStream_Delete(MemoryStream** handle) {
    ASSERT_POINTER(handle);
    MemoryStream* s = *handle;
    CLASS_CHECK(s, MEMORY_STREAM_CLASS_ID);
    MemoryStream_Close(s);
    if (s->Lock) {
        // A transaction left open still holds the lock; a held lock cannot be destroyed.
        if (s->TransactionLocked) CriticalSection_Unlock(s->Lock);
        CriticalSection_Delete(&s->Lock);
    }
    s->Header.ClassId = 0;
    Memory_Free(s, sizeof(MemoryStream));
    *handle = nullptr;
    return 1;
}

int64_t MemoryStream_AddRef(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    Class_AddRef(stream);
    return 1;
}

int64_t MemoryStream_Release(MemoryStream** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, MEMORY_STREAM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t MemoryStream_GetInstanceId(MemoryStream* stream, char* buffer, int32_t size) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, stream->Header.InstanceId,
                          (int32_t)sizeof(stream->Header.InstanceId));
    return 1;
}

int64_t MemoryStream_SizeInt(MemoryStream* stream, int32_t size, uint32_t keep, uint32_t force,
                             const char* file, int32_t line) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (stream->CallerOwned) return 0;
    StreamGuard guard(stream);
    return SizeLocked(stream, size, keep, force, file, line);
}

int64_t MemoryStream_SetPointer(MemoryStream* stream, void* buffer, uint32_t used, uint32_t size) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    CloseLocked(stream);
    if (buffer == nullptr) return 1;
    // Sizes are 32-bit signed inside; a used length past the size would claim bytes that are not there.
    if (size > (uint32_t)INT32_MAX) size = INT32_MAX;
    if (used > size) used = size;
    stream->Buffer = static_cast<uint8_t*>(buffer);
    stream->Capacity = (int32_t)size;
    stream->Size = (int32_t)size;
    stream->Used = (int32_t)used;
    stream->Position = 0;
    stream->Open = 1;
    stream->CallerOwned = 1;
    return 1;
}

int64_t MemoryStream_SetAutoGrow(MemoryStream* stream, uint32_t flag) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    stream->AutoGrow = flag ? 1 : 0;
    return 1;
}

int64_t MemoryStream_GetAutoGrow(MemoryStream* stream, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    *flag = stream->AutoGrow;
    return 1;
}

int64_t MemoryStream_SetMaxCapacity(MemoryStream* stream, uint32_t bytes) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    stream->MaxCapacity = bytes > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)bytes;
    return 1;
}

int64_t MemoryStream_SetAllowLock(MemoryStream* stream, uint32_t flag) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (flag) {
        if (stream->Lock == nullptr) CriticalSection_Create(&stream->Lock);
        stream->AllowLock = 1;
    } else {
        if (stream->Lock) {
            if (stream->TransactionLocked) {
                CriticalSection_Unlock(stream->Lock);
                stream->TransactionLocked = 0;
            }
            CriticalSection_Delete(&stream->Lock);
        }
        stream->AllowLock = 0;
    }
    return 1;
}

int64_t MemoryStream_GetAllowLock(MemoryStream* stream, uint32_t* flag) {
    ASSERT_POINTER(flag);
    *flag = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    *flag = stream->AllowLock;
    return 1;
}

int64_t MemoryStream_Lock(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (stream->Lock == nullptr) return 0;
    return CriticalSection_Lock(stream->Lock);
}

int64_t MemoryStream_Unlock(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (stream->Lock == nullptr) return 0;
    return CriticalSection_Unlock(stream->Lock);
}

int64_t MemoryStream_GetStreamHandle(MemoryStream* stream, Stream** streamHandle) {
    ASSERT_POINTER(streamHandle);
    *streamHandle = nullptr;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    *streamHandle = &stream->StreamRecord;
    return 1;
}

int64_t MemoryStream_Write(MemoryStream* stream, const void* buffer, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (size < 1) return 0;
    ASSERT_POINTER(buffer);
    StreamGuard guard(stream);
    if (!WriteAtLocked(stream, (int64_t)stream->Position, buffer, size, written)) return 0;
    stream->Position += *written;
    return 1;
}

int64_t MemoryStream_Read(MemoryStream* stream, void* buffer, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    StreamGuard guard(stream);
    const uint64_t left = (uint64_t)stream->Used - stream->Position;
    const uint64_t count = size < left ? size : left;
    if (count == 0) return 0;
    memcpy(buffer, stream->Buffer + stream->Position, (size_t)count);
    stream->Position += count;
    *read = (uint32_t)count;
    return 1;
}

int64_t MemoryStream_Seek(MemoryStream* stream, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    const int64_t used = stream->Used;
    int64_t target;
    switch (origin) {
    case SEEK_ORIGIN_BEGIN:
        target = offset;
        break;
    case SEEK_ORIGIN_CURRENT:
        // Both terms are bounded before adding, so the sum cannot wrap.
        if (offset > used || offset < -used) return 0;
        target = (int64_t)stream->Position + offset;
        break;
    case SEEK_ORIGIN_END:
        stream->Position = (uint64_t)used;
        return 1;
    default:
        return 0;
    }
    if (target < 0 || target > used) return 0;
    stream->Position = (uint64_t)target;
    return 1;
}

int64_t MemoryStream_Tell(MemoryStream* stream, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    *position = stream->Position;
    return 1;
}

int64_t MemoryStream_Length(MemoryStream* stream, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    *length = (uint64_t)stream->Used;
    return 1;
}

int64_t MemoryStream_IsOpen(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    return stream->Open;
}

int64_t MemoryStream_Close(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    CloseLocked(stream);
    return 1;
}

int64_t MemoryStream_Put(MemoryStream* stream, const void* data, uint32_t n, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (n == 0) return 0;
    ASSERT_POINTER(data);
    StreamGuard guard(stream);
    return WriteAtLocked(stream, stream->Used, data, n, written);
}

int64_t MemoryStream_Get(MemoryStream* stream, void* buffer, uint32_t n, uint32_t* got) {
    ASSERT_POINTER(got);
    *got = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    const uint32_t count = n < (uint32_t)stream->Used ? n : (uint32_t)stream->Used;
    if (buffer) {
        if (count == 0) return 0;
        memcpy(buffer, stream->Buffer, count);
    }
    // Without a buffer the bytes are only dropped; the count says how many really were.
    RemoveLocked(stream, 0, count);
    *got = count;
    return 1;
}

int64_t MemoryStream_DiscardBegin(MemoryStream* stream, int32_t n) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    RemoveLocked(stream, 0, n);
    return stream->Used > 0;
}

int64_t MemoryStream_DiscardEnd(MemoryStream* stream, int32_t n) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    if (n > 0) {
        stream->Used = n >= stream->Used ? 0 : stream->Used - n;
        ClampPosition(stream);
    }
    return 1;
}

int64_t MemoryStream_DiscardAll(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    stream->Used = 0;
    stream->Position = 0;
    return 1;
}

int64_t MemoryStream_Fill(MemoryStream* target, MemoryStream* source) {
    CLASS_CHECK(target, MEMORY_STREAM_CLASS_ID);
    CLASS_CHECK(source, MEMORY_STREAM_CLASS_ID);
    // Moving a stream's front to its own end would read from a buffer that the growth frees.
    if (target == source) return 0;
    // The system-wide order: the target's lock before the source's.
    StreamGuard targetGuard(target);
    StreamGuard sourceGuard(source);
    int64_t count = source->Used;
    const bool limited = target->MaxCapacity >= 1;
    if (limited) {
        const int64_t room = (int64_t)target->MaxCapacity - target->Used;
        if (count > room) count = room > 0 ? room : 0;
    }
    if (count == 0) return source->Used == 0 && (!limited || target->Used < target->MaxCapacity);
    uint32_t written = 0;
    WriteAtLocked(target, target->Used, source->Buffer, (uint32_t)count, &written);
    if (written == 0) return 0;
    RemoveLocked(source, 0, written);
    return 1;
}

int64_t MemoryStream_Claim(MemoryStream* stream, int32_t n) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    if (n < 0 || (int64_t)stream->Used + n > stream->Size) return 0;
    stream->Used += n;
    return 1;
}

int64_t MemoryStream_Print(MemoryStream* stream, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = MemoryStream_VPrint(stream, format, args);
    va_end(args);
    return result;
}

int64_t MemoryStream_VPrint(MemoryStream* stream, const char* format, va_list args) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    ASSERT_POINTER(format);
    va_list measure;
    va_copy(measure, args);
    const int32_t length = String_GetVPrintLength(format, measure);
    va_end(measure);
    if (length <= 0) return 1;
    StreamGuard guard(stream);
    // The terminator is stored but not counted, so the room must exceed the text.
    if ((int64_t)stream->Size - stream->Used <= length) {
        if (!stream->AutoGrow || stream->CallerOwned) return 0;
        if (stream->MaxCapacity >= 1 && stream->MaxCapacity <= stream->Size) return 0;
        const int64_t step = length >= kGrowStep ? (int64_t)length + 1 : kGrowStep;
        int64_t size = (int64_t)stream->Size + step;
        if (stream->MaxCapacity >= 1 && size > stream->MaxCapacity) size = stream->MaxCapacity;
        if (!SizeLocked(stream, size, 1, 0, __FILE__, __LINE__)) return 0;
        if ((int64_t)stream->Size - stream->Used <= length) return 0;
    }
    va_list print;
    va_copy(print, args);
    const int32_t printed = String_VPrint((char*)stream->Buffer + stream->Used, length + 1, format, print);
    va_end(print);
    stream->Used += printed < length ? printed : length;
    return 1;
}

int64_t MemoryStream_ReadToWriteCallback(MemoryStream* stream, void* user, MemoryStreamWriteCallback write,
                                         uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    ASSERT_POINTER(write);
    StreamGuard guard(stream);
    const int64_t from = (int64_t)stream->Position;
    const int64_t length = stream->Used - from;
    if (length <= 0) return 1;
    uint32_t n = 0;
    const int64_t result = write(user, stream->Buffer + from, (uint32_t)length, &n);
    // Exactly the bytes handed on leave the stream, also when the consumer failed after taking
    // some: kept, they would be handed on a second time. They start at the position, which is the
    // front only when nothing has been read yet. A callback cannot take more than it was given.
    if (n > (uint64_t)length) n = (uint32_t)length;
    RemoveLocked(stream, from, n);
    *written = n;
    return result;
}

int64_t MemoryStream_WriteFromReadCallback(MemoryStream* stream, void* user, MemoryStreamReadCallback read,
                                           uint32_t* readCount) {
    ASSERT_POINTER(readCount);
    *readCount = 0;
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    ASSERT_POINTER(read);
    StreamGuard guard(stream);
    // The new bytes count from the used end, so the space offered starts there: offering the
    // space at the position would let the producer overwrite unread bytes.
    const int64_t length = (int64_t)stream->Size - stream->Used;
    if (length <= 0) return 0;
    uint32_t n = 0;
    const int64_t result = read(user, stream->Buffer + stream->Used, (uint32_t)length, &n);
    if (result) {
        if (n > (uint64_t)length) n = (uint32_t)length;
        stream->Used += (int32_t)n;
        *readCount = n;
    }
    return result;
}

int64_t MemoryStream_GetPointer(MemoryStream* stream, uint8_t** pointer) {
    return PinPointer(stream, 0, pointer);
}

int64_t MemoryStream_GetPointerAt(MemoryStream* stream, int32_t offset, uint8_t** pointer) {
    return PinPointer(stream, offset, pointer);
}

int64_t MemoryStream_GetAvailablePointer(MemoryStream* stream, uint8_t** pointer) {
    ASSERT_POINTER(pointer);
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    return PinPointer(stream, stream->Used, pointer);
}

int64_t MemoryStream_ReleasePointer(MemoryStream* stream, uint8_t** pointer) {
    ASSERT_POINTER(pointer);
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (*pointer) {
        // Never below zero: an extra release must not make the buffer look pinned for ever.
        uint32_t pins = __atomic_load_n(&stream->PinCount, __ATOMIC_SEQ_CST);
        while (pins != 0) {
            const uint32_t seen = Platform_CAS(&stream->PinCount, pins - 1, pins);
            if (seen == pins) break;
            pins = seen;
        }
    }
    *pointer = nullptr;
    return 1;
}

int32_t MemoryStream_GetUsed(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    return stream->Used;
}

int32_t MemoryStream_GetSize(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    return stream->Size;
}

int32_t MemoryStream_GetCapacity(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    return stream->Capacity;
}

int32_t MemoryStream_GetAvailable(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    return stream->Size - stream->Used;
}

int32_t MemoryStream_GetAvailableCapacity(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    if (stream->MaxCapacity < 1 || stream->Used >= stream->MaxCapacity) return 0;
    return stream->MaxCapacity - stream->Used;
}

int64_t MemoryStream_TransactionStart(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    // Lock first: a transaction of another thread makes this one wait rather than fail.
    CriticalSection* lock = stream->Lock;
    if (lock) CriticalSection_Lock(lock);
    if (stream->TransactionStart != -1)
        Debug_AbortInt(
            __FILE__, __LINE__,
            "Assertion failed (MemoryStream->TransactionStart == -1)\nBuffer already in transaction");
    stream->TransactionStart = stream->Used;
    stream->TransactionLocked = lock ? 1 : 0;
    return 1;
}

int64_t MemoryStream_TransactionEnd(MemoryStream* stream, int32_t drop) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    StreamGuard guard(stream);
    if (stream->TransactionStart == -1)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (MemoryStream->TransactionStart != -1)\nBuffer not in transaction");
    // Going back never goes forward: when bytes were taken from the stream during the
    // transaction (or it was closed), the start may lie past what is there now.
    if (drop == 1 && stream->TransactionStart < stream->Used) {
        stream->Used = stream->TransactionStart;
        ClampPosition(stream);
    }
    stream->TransactionStart = -1;
    if (stream->TransactionLocked) {
        stream->TransactionLocked = 0;
        CriticalSection_Unlock(stream->Lock);
    }
    return 1;
}

int64_t MemoryStream_TransactionActive(MemoryStream* stream) {
    CLASS_CHECK(stream, MEMORY_STREAM_CLASS_ID);
    return stream->TransactionStart != -1;
}

// Counting sink: writes advance a position and a length without storing anything, so a document
// can be measured by writing it once into this stream.
#include "core/platform/null_stream.h"

#include <cstdint>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

// Position and length stay within 0..INT64_MAX: seeks and writes that would leave that range
// are refused, so the arithmetic never wraps.
struct NullStream {
    Class Header;
    Stream StreamRecord;
    int64_t Position;
    int64_t Length; // the largest position written up to
};

namespace {


int64_t DeleteObject(void** handle) {
    return NullStream_Delete(reinterpret_cast<NullStream**>(handle));
}

} // namespace

int64_t NullStream_Create(NullStream** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    NullStream* ns = static_cast<NullStream*>(Memory_AllocZero(sizeof(NullStream)));
    ns->Header.ClassId = NULL_STREAM_CLASS_ID;
    ns->Header.RefCount = 1;
    ns->Header.Delete = DeleteObject;
    Stream& s = ns->StreamRecord;
    s.Handle = ns;
    s.Write = StreamSlot<NullStream_Write>::Call;
    s.Read = StreamSlot<NullStream_Read>::Call;
    s.Seek = StreamSlot<NullStream_Seek>::Call;
    s.Flush = StreamSlot<NullStream_Flush>::Call;
    s.Tell = StreamSlot<NullStream_Tell>::Call;
    s.Length = StreamSlot<NullStream_Length>::Call;
    s.IsOpen = StreamSlot<NullStream_IsOpen>::Call;
    s.Close = StreamSlot<NullStream_Close>::Call;
    *handle = ns;
    return 1;
}

int64_t NullStream_Delete(NullStream** handle) {
    ASSERT_POINTER(handle);
    NullStream* ns = *handle;
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    ns->Header.ClassId = 0;
    Memory_Free(ns, sizeof(NullStream));
    *handle = nullptr;
    return 1;
}

int64_t NullStream_AddRef(NullStream* ns) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    Class_AddRef(ns);
    return 1;
}

int64_t NullStream_Release(NullStream** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, NULL_STREAM_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t NullStream_GetInstanceId(NullStream* ns, char* buffer, int32_t size) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, ns->Header.InstanceId, (int32_t)sizeof(ns->Header.InstanceId));
    return 1;
}

int64_t NullStream_GetStreamHandle(NullStream* ns, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    *stream = &ns->StreamRecord;
    return 1;
}

// The length is the furthest any write reached, also for a write that starts beyond the length
// after a seek there: the text measured would have that many bytes.
int64_t NullStream_Write(NullStream* ns, const void*, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    int64_t end = 0;
    if (__builtin_add_overflow(ns->Position, (int64_t)size, &end)) return 0;
    if (end > ns->Length) ns->Length = end;
    ns->Position = end;
    *written = size;
    return 1;
}

int64_t NullStream_Read(NullStream* ns, void*, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    *read = size;
    return 1;
}

int64_t NullStream_Seek(NullStream* ns, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    int64_t target = 0;
    switch (origin) {
    case SEEK_ORIGIN_BEGIN:
        target = offset;
        break;
    case SEEK_ORIGIN_CURRENT:
        if (__builtin_add_overflow(ns->Position, offset, &target)) return 0;
        break;
    case SEEK_ORIGIN_END:
        target = ns->Length;
        break;
    default:
        Debug_AbortInt(__FILE__, __LINE__, "Invalid seek origin (%d)", (int32_t)origin);
    }
    // A position before the start has no meaning for a count of bytes.
    if (target < 0) return 0;
    ns->Position = target;
    return 1;
}

int64_t NullStream_Flush(NullStream* ns) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    return 1;
}

int64_t NullStream_Tell(NullStream* ns, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    *position = (uint64_t)ns->Position;
    return 1;
}

int64_t NullStream_Length(NullStream* ns, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    *length = (uint64_t)ns->Length;
    return 1;
}

int64_t NullStream_IsOpen(NullStream* ns) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    return 1;
}

int64_t NullStream_Close(NullStream* ns) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    ns->Position = 0;
    ns->Length = 0;
    return 1;
}

int64_t NullStream_GetUsed(NullStream* ns) {
    CLASS_CHECK(ns, NULL_STREAM_CLASS_ID);
    return ns->Length;
}

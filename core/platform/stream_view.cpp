// Stream over a caller-owned memory block: a position and a used length inside a fixed capacity.
#include "core/platform/stream_view.h"

#include <algorithm>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

// Invariants: Used <= Capacity and Position <= Used, so every copy stays inside the block. Used
// is kept unsigned: it is bounded by the 32-bit capacity, not by a signed count.
struct StreamView {
    Class Header;
    Stream StreamRecord;
    uint8_t* Buffer;
    uint32_t Capacity;
    uint64_t Position;
    uint32_t Used;
};

namespace {


int64_t DeleteObject(void** handle) {
    return StreamView_Delete(reinterpret_cast<StreamView**>(handle));
}

// Bytes available from the position: the invariant keeps Position <= Used.
uint32_t Available(const StreamView* view, uint32_t size) {
    return std::min<uint64_t>(size, view->Used - view->Position);
}

} // namespace

int64_t StreamView_Create(StreamView** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    StreamView* view = static_cast<StreamView*>(Memory_AllocZero(sizeof(StreamView)));
    view->Header.ClassId = STREAM_VIEW_CLASS_ID;
    view->Header.RefCount = 1;
    view->Header.Delete = DeleteObject;
    Stream& s = view->StreamRecord;
    s.Handle = view;
    s.Peek = StreamSlot<StreamView_Peek>::Call;
    s.Write = StreamSlot<StreamView_Write>::Call;
    s.Read = StreamSlot<StreamView_Read>::Call;
    s.Seek = StreamSlot<StreamView_Seek>::Call;
    s.Tell = StreamSlot<StreamView_Tell>::Call;
    s.Length = StreamSlot<StreamView_Length>::Call;
    s.IsOpen = StreamSlot<StreamView_IsOpen>::Call;
    s.Close = StreamSlot<StreamView_Close>::Call;
    *handle = view;
    return 1;
}

int64_t StreamView_Delete(StreamView** handle) {
    ASSERT_POINTER(handle);
    StreamView* view = *handle;
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    StreamView_Close(view);
    view->Header.ClassId = 0;
    Memory_Free(view, sizeof(StreamView));
    *handle = nullptr;
    return 1;
}

int64_t StreamView_AddRef(StreamView* view) {
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    Class_AddRef(view);
    return 1;
}

int64_t StreamView_Release(StreamView** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, STREAM_VIEW_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t StreamView_GetInstanceId(StreamView* view, char* buffer, int32_t size) {
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, view->Header.InstanceId, (int32_t)sizeof(view->Header.InstanceId));
    return 1;
}

int64_t StreamView_GetStreamHandle(StreamView* view, Stream** stream) {
    ASSERT_POINTER(stream);
    *stream = nullptr;
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    *stream = &view->StreamRecord;
    return 1;
}

// A used length beyond the capacity would describe bytes outside the caller's block; it is cut
// to the capacity so that no read can leave the block.
int64_t StreamView_SetPointer(StreamView* view, void* buffer, uint32_t used, uint32_t capacity) {
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    StreamView_Close(view);
    if (!buffer) return 1;
    view->Buffer = static_cast<uint8_t*>(buffer);
    view->Capacity = capacity;
    view->Used = std::min(used, capacity);
    view->Position = 0;
    return 1;
}

int64_t StreamView_Peek(StreamView* view, void* buffer, uint32_t size, uint32_t* peeked) {
    ASSERT_POINTER(peeked);
    *peeked = 0;
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    ASSERT_POINTER(buffer);
    const uint32_t count = Available(view, size);
    if (count == 0) return 0;
    memcpy(buffer, view->Buffer + view->Position, count);
    *peeked = count;
    return 1;
}

int64_t StreamView_Read(StreamView* view, void* buffer, uint32_t size, uint32_t* read) {
    const int64_t result = StreamView_Peek(view, buffer, size, read);
    view->Position += *read;
    return result;
}

int64_t StreamView_Write(StreamView* view, const void* data, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(written);
    *written = 0;
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    ASSERT_POINTER(data);
    if (size == 0 || !view->Buffer) return 0;
    const uint32_t count = std::min<uint64_t>(size, view->Capacity - view->Position);
    if (count == 0) return 0;
    // The source may lie inside the viewed block itself.
    memmove(view->Buffer + view->Position, data, count);
    view->Position += count;
    view->Used = std::max(view->Used, (uint32_t)view->Position);
    *written = count;
    return 1;
}

int64_t StreamView_Seek(StreamView* view, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    int64_t target = 0;
    switch (origin) {
    case SEEK_ORIGIN_BEGIN:
        target = offset;
        break;
    case SEEK_ORIGIN_CURRENT:
        if (__builtin_add_overflow((int64_t)view->Position, offset, &target)) return 0;
        break;
    case SEEK_ORIGIN_END:
        target = view->Used;
        break;
    default:
        return 0;
    }
    if (target < 0 || target > (int64_t)view->Used) return 0;
    view->Position = (uint64_t)target;
    return 1;
}

int64_t StreamView_Tell(StreamView* view, uint64_t* position) {
    ASSERT_POINTER(position);
    *position = 0;
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    *position = view->Position;
    return 1;
}

int64_t StreamView_Length(StreamView* view, uint64_t* length) {
    ASSERT_POINTER(length);
    *length = 0;
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    *length = view->Used;
    return 1;
}

int64_t StreamView_IsOpen(StreamView* view) {
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    return view->Capacity != 0;
}

int64_t StreamView_Close(StreamView* view) {
    CLASS_CHECK(view, STREAM_VIEW_CLASS_ID);
    view->Buffer = nullptr;
    view->Capacity = 0;
    view->Position = 0;
    view->Used = 0;
    return 1;
}

// A Stream over a memory block the caller owns: reads, writes and seeks inside the block, which
// it never frees or grows.
#pragma once

#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

enum : uint32_t { STREAM_VIEW_CLASS_ID = 0x48929FC0 };

struct StreamView;

int64_t StreamView_Create(StreamView** handle);
// Closes first; the caller's block is left alone.
int64_t StreamView_Delete(StreamView** handle);
int64_t StreamView_AddRef(StreamView* view);
// Releases and nulls the handle; the last release deletes.
int64_t StreamView_Release(StreamView** handle);
// Copies at most 36 bytes of the instance id text (empty: the type is not tracked).
int64_t StreamView_GetInstanceId(StreamView* view, char* buffer, int32_t size);
int64_t StreamView_GetStreamHandle(StreamView* view, Stream** stream);

// Forgets the previous block; a null buffer leaves the view closed. A used length above the
// capacity is cut to the capacity. The position starts at 0.
int64_t StreamView_SetPointer(StreamView* view, void* buffer, uint32_t used, uint32_t capacity);

// Copies up to size bytes from the position without moving it; 1 when any byte came.
int64_t StreamView_Peek(StreamView* view, void* buffer, uint32_t size, uint32_t* peeked);
// As Peek, then the position advances.
int64_t StreamView_Read(StreamView* view, void* buffer, uint32_t size, uint32_t* read);
// Writes at the position up to the capacity; 1 when any byte went in. The block never grows.
int64_t StreamView_Write(StreamView* view, const void* data, uint32_t size, uint32_t* written);
// Origin 0 and 1 within 0..used, origin 2 to used (offset ignored); anything else answers 0.
int64_t StreamView_Seek(StreamView* view, int64_t offset, SeekOrigin origin);
int64_t StreamView_Tell(StreamView* view, uint64_t* position);
// The used length.
int64_t StreamView_Length(StreamView* view, uint64_t* length);
// 1 while a block of non-zero capacity is viewed.
int64_t StreamView_IsOpen(StreamView* view);
// Forgets the block without freeing it.
int64_t StreamView_Close(StreamView* view);

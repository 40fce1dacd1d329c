// A Stream that stores nothing and only counts: writing a document into it tells how many bytes
// the text will take before the real buffer is allocated.
#pragma once

#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

// Distinct from the buffered stream's id, so that neither kind passes the other's class check.
enum : uint32_t { NULL_STREAM_CLASS_ID = 0x9B3D61C4 };

struct NullStream;

int64_t NullStream_Create(NullStream** handle);
int64_t NullStream_Delete(NullStream** handle);
int64_t NullStream_AddRef(NullStream* ns);
// Releases and nulls the handle; the last release deletes.
int64_t NullStream_Release(NullStream** handle);
// Copies at most 36 bytes of the instance id text (empty: the type is not tracked).
int64_t NullStream_GetInstanceId(NullStream* ns, char* buffer, int32_t size);
int64_t NullStream_GetStreamHandle(NullStream* ns, Stream** stream);

// The data is not read; written is always the full count and the length follows the position.
int64_t NullStream_Write(NullStream* ns, const void* data, uint32_t size, uint32_t* written);
// The buffer is not touched and the position stays; read is always the full count.
int64_t NullStream_Read(NullStream* ns, void* buffer, uint32_t size, uint32_t* read);
// Origin 0 sets, 1 moves, 2 goes to the length (offset ignored); other origins abort.
int64_t NullStream_Seek(NullStream* ns, int64_t offset, SeekOrigin origin);
int64_t NullStream_Flush(NullStream* ns);
int64_t NullStream_Tell(NullStream* ns, uint64_t* position);
int64_t NullStream_Length(NullStream* ns, uint64_t* length);
int64_t NullStream_IsOpen(NullStream* ns);
// Position and length back to 0; the stream can be used again.
int64_t NullStream_Close(NullStream* ns);
// How many bytes the writes so far would have produced.
int64_t NullStream_GetUsed(NullStream* ns);

// A Stream layered on another stream (the base) that turns many small reads and writes into few
// large ones: reads come from a refilled read buffer, writes collect in a write buffer.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"

enum : uint32_t { BUFFERED_STREAM_CLASS_ID = 0xFE7794FA };

struct BufferedStream;

int64_t BufferedStream_Create(BufferedStream** handle);
// Frees both buffers and the object and nulls the handle; neither flushes nor closes the base.
int64_t BufferedStream_Delete(BufferedStream** handle);
int64_t BufferedStream_AddRef(BufferedStream* bs);
// Releases and nulls the handle; the last release deletes.
int64_t BufferedStream_Release(BufferedStream** handle);
// Copies at most 36 bytes of the instance id text (empty: the type is not tracked).
int64_t BufferedStream_GetInstanceId(BufferedStream* bs, char* buffer, int32_t size);

// Set once, before use: the old buffer is freed, then size bytes allocated (below 1: none).
int64_t BufferedStream_SetReadBufferSize(BufferedStream* bs, int32_t size);
int64_t BufferedStream_SetWriteBufferSize(BufferedStream* bs, int32_t size);
// Stores the base and takes its current position as the starting point.
int64_t BufferedStream_SetBaseStreamHandle(BufferedStream* bs, Stream* base);
int64_t BufferedStream_GetStreamHandle(BufferedStream* bs, Stream** stream);

// Stream operations.
int64_t BufferedStream_Read(BufferedStream* bs, void* buffer, uint32_t size, uint32_t* read);
int64_t BufferedStream_Write(BufferedStream* bs, const void* data, uint32_t size, uint32_t* written);
int64_t BufferedStream_Seek(BufferedStream* bs, int64_t offset, SeekOrigin origin);
int64_t BufferedStream_Flush(BufferedStream* bs);
int64_t BufferedStream_Tell(BufferedStream* bs, uint64_t* position);
// The base's length; bytes still pending in the write buffer are not counted.
int64_t BufferedStream_Length(BufferedStream* bs, uint64_t* length);
int64_t BufferedStream_IsOpen(BufferedStream* bs);
// Flushes, reports the buffer efficiency when verbose and closes the base.
int64_t BufferedStream_Close(BufferedStream* bs);

// Object print family: trace lines go to the print callback, by default the log at DEBUG.
int64_t BufferedStream_Print(BufferedStream* bs, const char* format, ...);
int64_t BufferedStream_PrintTabbed(BufferedStream* bs, int32_t indent, const char* format, ...);
int64_t BufferedStream_VPrint(BufferedStream* bs, int32_t indent, const char* format, va_list args);
int64_t BufferedStream_SetPrintCallback(BufferedStream* bs, void* user, ClassPrintCallback callback);
int64_t BufferedStream_GetPrintCallback(BufferedStream* bs, void** user, ClassPrintCallback* callback);
int64_t BufferedStream_SetPrintIdentifier(BufferedStream* bs, const char* text);
int64_t BufferedStream_SetVerbose(BufferedStream* bs, uint32_t flag);
int64_t BufferedStream_GetVerbose(BufferedStream* bs, uint32_t* flag);
int64_t BufferedStream_IsVerboseLevel(BufferedStream* bs, int32_t level);

// The one byte-stream abstraction: a record of operation slots that each stream kind embeds in
// its own object, and the dispatch and convenience functions that call through it.
#pragma once

#include <cstdint>

// Where a seek offset counts from. Other values reach the kind unchanged; each kind decides.
typedef uint32_t SeekOrigin;
enum : uint32_t {
    SEEK_ORIGIN_BEGIN = 0,
    SEEK_ORIGIN_CURRENT = 1,
    SEEK_ORIGIN_END = 2,
};

// Completion of a queued asynchronous request, once per request; error 0 means success. The
// result is ignored.
typedef int64_t (*StreamCompletionFunc)(void* handle, void* user, uint64_t offset, void* buffer,
                                        uint32_t transferred, int32_t error);

// Slot types. The first argument is always the record's Handle (the owning object). Kinds fill
// the slots with functions of exactly these types (thin adapters where their public functions
// take a typed handle), never with casted pointers of another type.
typedef int64_t (*StreamPeekFunc)(void* handle, void* buffer, uint32_t size, uint32_t* peeked);
typedef int64_t (*StreamWriteFunc)(void* handle, const void* buffer, uint32_t size, uint32_t* written);
typedef int64_t (*StreamWriteAsyncFunc)(void* handle, uint64_t offset, const void* buffer, uint32_t size,
                                        void* user, StreamCompletionFunc completion);
typedef int64_t (*StreamReadFunc)(void* handle, void* buffer, uint32_t size, uint32_t* read);
typedef int64_t (*StreamReadAsyncFunc)(void* handle, uint64_t offset, void* buffer, uint32_t size, void* user,
                                       StreamCompletionFunc completion);
typedef int64_t (*StreamSeekFunc)(void* handle, int64_t offset, SeekOrigin origin);
typedef int64_t (*StreamFlushFunc)(void* handle);
typedef int64_t (*StreamTellFunc)(void* handle, uint64_t* position);
typedef int64_t (*StreamLengthFunc)(void* handle, uint64_t* length);
typedef int64_t (*StreamIsOpenFunc)(void* handle);
typedef int64_t (*StreamCloseFunc)(void* handle);

// Lives inside the owning object (never allocated alone); its address is the stream handle.
// An empty (null) slot means the kind does not offer that operation.
struct Stream {
    void* Handle;
    StreamPeekFunc Peek;
    StreamWriteFunc Write;
    StreamWriteAsyncFunc WriteAsync;
    StreamReadFunc Read;
    StreamReadAsyncFunc ReadAsync;
    StreamSeekFunc Seek;
    StreamFlushFunc Flush;
    StreamTellFunc Tell;
    StreamLengthFunc Length;
    StreamIsOpenFunc IsOpen;
    StreamCloseFunc Close;
    // Platform error code of the last failure (0 none); written by the owning kind and by the
    // document parsers that read from the stream.
    int32_t LastError;
    // The stream a layered stream sits on; null otherwise.
    Stream* BaseStreamHandle;
};

// 1 when the slot is filled.
int64_t Stream_CanPeek(Stream* stream);
int64_t Stream_CanWrite(Stream* stream);
int64_t Stream_CanWriteAsync(Stream* stream);
int64_t Stream_CanRead(Stream* stream);
int64_t Stream_CanReadAsync(Stream* stream);
int64_t Stream_CanSeek(Stream* stream);
int64_t Stream_CanFlush(Stream* stream);
int64_t Stream_CanTell(Stream* stream);
int64_t Stream_CanLength(Stream* stream);
int64_t Stream_CanIsOpen(Stream* stream);
int64_t Stream_CanClose(Stream* stream);

// Dispatch: out-counts and positions are zeroed first; an empty slot answers 0 and sets no error.
int64_t Stream_Peek(Stream* stream, void* buffer, uint32_t size, uint32_t* peeked);
int64_t Stream_Write(Stream* stream, const void* buffer, uint32_t size, uint32_t* written);
int64_t Stream_Read(Stream* stream, void* buffer, uint32_t size, uint32_t* read);
int64_t Stream_WriteAsync(Stream* stream, uint64_t offset, const void* buffer, uint32_t size, void* user,
                          StreamCompletionFunc completion);
int64_t Stream_ReadAsync(Stream* stream, uint64_t offset, void* buffer, uint32_t size, void* user,
                         StreamCompletionFunc completion);
int64_t Stream_Seek(Stream* stream, int64_t offset, SeekOrigin origin);
int64_t Stream_Tell(Stream* stream, uint64_t* position);
int64_t Stream_Length(Stream* stream, uint64_t* length);
int64_t Stream_Flush(Stream* stream);
int64_t Stream_IsOpen(Stream* stream);
int64_t Stream_Close(Stream* stream);

int64_t Stream_SetLastError(Stream* stream, int32_t code);
int32_t Stream_GetLastError(Stream* stream);
int64_t Stream_ClearLastError(Stream* stream);
// 1 only for a positive code.
int64_t Stream_HasError(Stream* stream);
int64_t Stream_SetBaseStreamHandle(Stream* stream, Stream* base);

// Writers; integers go in host byte order (little-endian).
int64_t Stream_WriteChar(Stream* stream, uint8_t byte, uint32_t* written);
int64_t Stream_WriteString(Stream* stream, const char* text, uint32_t* written);
int64_t Stream_WriteInt16(Stream* stream, int16_t value, uint32_t* written);
int64_t Stream_WriteUInt16(Stream* stream, uint16_t value, uint32_t* written);
int64_t Stream_WriteInt32(Stream* stream, int32_t value, uint32_t* written);
int64_t Stream_WriteUInt32(Stream* stream, uint32_t value, uint32_t* written);
int64_t Stream_WriteInt64(Stream* stream, int64_t value, uint32_t* written);
int64_t Stream_WriteUInt64(Stream* stream, uint64_t value, uint32_t* written);
// Formats with the system formatter straight into the stream; answers the formatter's result.
int64_t Stream_WritePrint(Stream* stream, const char* format, ...);
// Sink of Stream_WritePrint: user is the Stream; writes the piece with Stream_Write.
int64_t Stream_PrintCallback(void* user, const char* data, int32_t length, int32_t* written);

// Readers; integers come in host byte order. 1 only when every byte of the value arrived; the
// value stays 0 otherwise, and the count says how many bytes were consumed.
int64_t Stream_ReadChar(Stream* stream, uint8_t* byte, uint32_t* read);
int64_t Stream_ReadInt16(Stream* stream, int16_t* value, uint32_t* read);
int64_t Stream_ReadUInt16(Stream* stream, uint16_t* value, uint32_t* read);
int64_t Stream_ReadInt32(Stream* stream, int32_t* value, uint32_t* read);
int64_t Stream_ReadUInt32(Stream* stream, uint32_t* value, uint32_t* read);
int64_t Stream_ReadInt64(Stream* stream, int64_t* value, uint32_t* read);
int64_t Stream_ReadUInt64(Stream* stream, uint64_t* value, uint32_t* read);

// Copies until the source ends (a read answering 0 without delivering bytes and without an
// error). Target first.
int64_t Stream_Copy(Stream* target, Stream* source);
// Copies exactly length bytes; 1 only when all of them arrived at the target.
int64_t Stream_CopyLength(Stream* target, Stream* source, int64_t length);

// Makes a stream kind's own operation (taking its typed handle first) into a slot of the record,
// whose first argument is the handle as void*: `record.Read = StreamSlot<MemoryStream_Read>::Call`.
template <auto Operation> struct StreamSlot;
template <typename T, typename R, typename... A, R (*Operation)(T*, A...)> struct StreamSlot<Operation> {
    static R Call(void* handle, A... args) { return Operation(static_cast<T*>(handle), args...); }
};

// Dispatch through the Stream slot record, and the typed and copying helpers built on it. The
// record keeps no state of its own beyond the last error; locking is each kind's business.
#include "core/platform/stream.h"

#include <cstdarg>
#include <cstring>

#include "core/runtime/debug.h"
#include "core/runtime/string_print.h"

int64_t Stream_CanPeek(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Peek != nullptr;
}

int64_t Stream_CanWrite(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Write != nullptr;
}

int64_t Stream_CanWriteAsync(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->WriteAsync != nullptr;
}

int64_t Stream_CanRead(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Read != nullptr;
}

int64_t Stream_CanReadAsync(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->ReadAsync != nullptr;
}

int64_t Stream_CanSeek(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Seek != nullptr;
}

int64_t Stream_CanFlush(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Flush != nullptr;
}

int64_t Stream_CanTell(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Tell != nullptr;
}

int64_t Stream_CanLength(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Length != nullptr;
}

int64_t Stream_CanIsOpen(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->IsOpen != nullptr;
}

int64_t Stream_CanClose(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->Close != nullptr;
}

int64_t Stream_Peek(Stream* stream, void* buffer, uint32_t size, uint32_t* peeked) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(peeked);
    *peeked = 0;
    if (stream->Peek == nullptr) return 0;
    return stream->Peek(stream->Handle, buffer, size, peeked);
}

int64_t Stream_Write(Stream* stream, const void* buffer, uint32_t size, uint32_t* written) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(written);
    *written = 0;
    if (stream->Write == nullptr) return 0;
    return stream->Write(stream->Handle, buffer, size, written);
}

int64_t Stream_Read(Stream* stream, void* buffer, uint32_t size, uint32_t* read) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(read);
    *read = 0;
    if (stream->Read == nullptr) return 0;
    return stream->Read(stream->Handle, buffer, size, read);
}

int64_t Stream_WriteAsync(Stream* stream, uint64_t offset, const void* buffer, uint32_t size, void* user,
                          StreamCompletionFunc completion) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(buffer);
    if (stream->WriteAsync == nullptr) return 0;
    return stream->WriteAsync(stream->Handle, offset, buffer, size, user, completion);
}

int64_t Stream_ReadAsync(Stream* stream, uint64_t offset, void* buffer, uint32_t size, void* user,
                         StreamCompletionFunc completion) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(buffer);
    if (stream->ReadAsync == nullptr) return 0;
    return stream->ReadAsync(stream->Handle, offset, buffer, size, user, completion);
}

int64_t Stream_Seek(Stream* stream, int64_t offset, SeekOrigin origin) {
    ASSERT_POINTER(stream);
    if (stream->Seek == nullptr) return 0;
    return stream->Seek(stream->Handle, offset, origin);
}

int64_t Stream_Tell(Stream* stream, uint64_t* position) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(position);
    *position = 0;
    if (stream->Tell == nullptr) return 0;
    return stream->Tell(stream->Handle, position);
}

int64_t Stream_Length(Stream* stream, uint64_t* length) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(length);
    *length = 0;
    if (stream->Length == nullptr) return 0;
    return stream->Length(stream->Handle, length);
}

int64_t Stream_Flush(Stream* stream) {
    ASSERT_POINTER(stream);
    if (stream->Flush == nullptr) return 0;
    return stream->Flush(stream->Handle);
}

int64_t Stream_IsOpen(Stream* stream) {
    ASSERT_POINTER(stream);
    if (stream->IsOpen == nullptr) return 0;
    return stream->IsOpen(stream->Handle);
}

int64_t Stream_Close(Stream* stream) {
    ASSERT_POINTER(stream);
    if (stream->Close == nullptr) return 0;
    return stream->Close(stream->Handle);
}

int64_t Stream_SetLastError(Stream* stream, int32_t code) {
    ASSERT_POINTER(stream);
    stream->LastError = code;
    return 1;
}

int32_t Stream_GetLastError(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->LastError;
}

int64_t Stream_ClearLastError(Stream* stream) {
    ASSERT_POINTER(stream);
    stream->LastError = 0;
    return 1;
}

int64_t Stream_HasError(Stream* stream) {
    ASSERT_POINTER(stream);
    return stream->LastError > 0;
}

int64_t Stream_SetBaseStreamHandle(Stream* stream, Stream* base) {
    ASSERT_POINTER(stream);
    stream->BaseStreamHandle = base;
    return 1;
}

int64_t Stream_WriteChar(Stream* stream, uint8_t byte, uint32_t* written) {
    return Stream_Write(stream, &byte, 1, written);
}

int64_t Stream_WriteString(Stream* stream, const char* text, uint32_t* written) {
    ASSERT_POINTER(text);
    const size_t length = strlen(text);
    // A text longer than one request can carry is written as far as a request reaches; the
    // count tells the caller.
    return Stream_Write(stream, text, length > UINT32_MAX ? UINT32_MAX : (uint32_t)length, written);
}

// The host is little-endian, so the value's own bytes are the wire bytes.
int64_t Stream_WriteInt16(Stream* stream, int16_t value, uint32_t* written) {
    return Stream_Write(stream, &value, sizeof(value), written);
}

int64_t Stream_WriteUInt16(Stream* stream, uint16_t value, uint32_t* written) {
    return Stream_Write(stream, &value, sizeof(value), written);
}

int64_t Stream_WriteInt32(Stream* stream, int32_t value, uint32_t* written) {
    return Stream_Write(stream, &value, sizeof(value), written);
}

int64_t Stream_WriteUInt32(Stream* stream, uint32_t value, uint32_t* written) {
    return Stream_Write(stream, &value, sizeof(value), written);
}

int64_t Stream_WriteInt64(Stream* stream, int64_t value, uint32_t* written) {
    return Stream_Write(stream, &value, sizeof(value), written);
}

int64_t Stream_WriteUInt64(Stream* stream, uint64_t value, uint32_t* written) {
    return Stream_Write(stream, &value, sizeof(value), written);
}

int64_t Stream_PrintCallback(void* user, const char* data, int32_t length, int32_t* written) {
    ASSERT_POINTER(user);
    if (written) *written = 0;
    if (length <= 0) return 1;
    uint32_t count = 0;
    const int64_t result = Stream_Write(static_cast<Stream*>(user), data, (uint32_t)length, &count);
    if (written) *written = (int32_t)count;
    return result;
}

namespace {

// The formatter ignores what its sink answers, so the sink remembers a failed or short write
// itself: the text must not be reported as written when part of it was lost, and nothing after
// the gap is written.
struct PrintContext {
    Stream* Target;
    bool Failed;
};

int64_t PrintSink(void* user, const char* data, int32_t length, int32_t* written) {
    PrintContext* context = static_cast<PrintContext*>(user);
    if (written) *written = 0;
    if (context->Failed) return 0;
    int32_t count = 0;
    const int64_t result = Stream_PrintCallback(context->Target, data, length, &count);
    if (written) *written = count;
    if (!result || count != length) context->Failed = true;
    return result;
}

// Reads exactly `size` bytes into a scratch buffer; the caller's value is set only when all of
// them arrived, so a short read never leaves a half-filled value behind.
template <typename T> int64_t ReadValue(Stream* stream, T* value, uint32_t* read) {
    ASSERT_POINTER(read);
    *read = 0;
    ASSERT_POINTER(value);
    *value = 0;
    T scratch = 0;
    const int64_t result = Stream_Read(stream, &scratch, sizeof(T), read);
    if (!result || *read != sizeof(T)) return 0;
    *value = scratch;
    return 1;
}

// One read for the copy loops. A slot that fails sets a positive error code on its stream;
// end of data is a failed read that sets none. To tell the two apart, the code is cleared for
// the read and put back afterwards when the read set none, so that an old error does not turn
// a later clean end into a failure.
enum class ReadOutcome { Data, End, Error };

ReadOutcome CopyRead(Stream* source, uint8_t* buffer, uint32_t size, uint32_t* count) {
    const int32_t before = Stream_GetLastError(source);
    Stream_ClearLastError(source);
    const int64_t result = Stream_Read(source, buffer, size, count);
    const bool error = Stream_HasError(source) != 0;
    if (Stream_GetLastError(source) == 0) Stream_SetLastError(source, before);
    // A slot claiming more bytes than the buffer holds cannot be trusted with the rest either.
    if (*count > size) {
        *count = 0;
        return ReadOutcome::Error;
    }
    if (error) return ReadOutcome::Error;
    return result ? ReadOutcome::Data : ReadOutcome::End;
}

// Writes every byte of one read; 1 only when the target took them all.
int64_t CopyWrite(Stream* target, const uint8_t* buffer, uint32_t count) {
    uint32_t written = 0;
    if (!Stream_Write(target, buffer, count, &written)) return 0;
    return written == count;
}

} // namespace

int64_t Stream_WritePrint(Stream* stream, const char* format, ...) {
    ASSERT_POINTER(stream);
    ASSERT_POINTER(format);
    PrintContext context{stream, false};
    va_list args;
    va_start(args, format);
    const int64_t result = String_VPrintFormat(format, &context, PrintSink, args);
    va_end(args);
    return context.Failed ? 0 : result;
}

int64_t Stream_ReadChar(Stream* stream, uint8_t* byte, uint32_t* read) {
    return ReadValue(stream, byte, read);
}

int64_t Stream_ReadInt16(Stream* stream, int16_t* value, uint32_t* read) {
    return ReadValue(stream, value, read);
}

int64_t Stream_ReadUInt16(Stream* stream, uint16_t* value, uint32_t* read) {
    return ReadValue(stream, value, read);
}

int64_t Stream_ReadInt32(Stream* stream, int32_t* value, uint32_t* read) {
    return ReadValue(stream, value, read);
}

int64_t Stream_ReadUInt32(Stream* stream, uint32_t* value, uint32_t* read) {
    return ReadValue(stream, value, read);
}

int64_t Stream_ReadInt64(Stream* stream, int64_t* value, uint32_t* read) {
    return ReadValue(stream, value, read);
}

int64_t Stream_ReadUInt64(Stream* stream, uint64_t* value, uint32_t* read) {
    return ReadValue(stream, value, read);
}

int64_t Stream_Copy(Stream* target, Stream* source) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    uint8_t buffer[4096];
    for (;;) {
        if (!Stream_CanRead(source)) return 1;
        uint32_t count = 0;
        const ReadOutcome outcome = CopyRead(source, buffer, sizeof(buffer), &count);
        // Bytes a read delivered reach the target even when that read also ended or failed.
        if (count > 0 && !CopyWrite(target, buffer, count)) return 0;
        if (outcome == ReadOutcome::Error) return 0;
        if (outcome == ReadOutcome::End) return 1;
        // A read that succeeds without bytes would repeat for ever.
        if (count == 0) return 0;
    }
}

int64_t Stream_CopyLength(Stream* target, Stream* source, int64_t length) {
    ASSERT_POINTER(target);
    ASSERT_POINTER(source);
    // Nothing asked is nothing failed; a negative length is a broken request.
    if (length == 0) return 1;
    if (length < 0) return 0;
    uint8_t buffer[16384];
    int64_t remaining = length;
    while (remaining > 0) {
        const uint32_t chunk =
            remaining < (int64_t)sizeof(buffer) ? (uint32_t)remaining : (uint32_t)sizeof(buffer);
        if (!Stream_CanRead(source)) return 0;
        uint32_t count = 0;
        const ReadOutcome outcome = CopyRead(source, buffer, chunk, &count);
        if (count > 0 && !CopyWrite(target, buffer, count)) return 0;
        if (outcome != ReadOutcome::Data || count == 0) return 0;
        remaining -= count;
    }
    return 1;
}

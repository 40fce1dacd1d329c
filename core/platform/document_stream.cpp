// Moving a whole document between its module's stream reader or writer and a file, a caller's
// buffer or a counting null stream. Files are read only when they are regular files, and saved by
// writing a new file beside the old one that takes its name only when complete.
#include "core/platform/document_stream.h"

#include <cerrno>

#include "core/linux/platform_document.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_file.h"
#include "core/platform/buffered_stream.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/platform/path.h"
#include "core/runtime/memory.h"

namespace {

// A stream over a descriptor this module opened: reads, writes and nothing else.
struct DescriptorStream {
    Stream Record;
    int32_t Fd;
};

void Fail(DescriptorStream* s) {
    PlatformErrorCode code = Platform_GetLastError();
    Stream_SetLastError(&s->Record, code ? code : PLATFORM_ERROR_ERRNO_BASE + EIO);
}

int64_t DescriptorRead(void* handle, void* buffer, uint32_t size, uint32_t* read) {
    DescriptorStream* s = static_cast<DescriptorStream*>(handle);
    *read = 0;
    if (size == 0) return 0;
    if (!Platform_Read(s->Fd, buffer, size, read)) {
        Fail(s);
        return 0;
    }
    return *read > 0;
}

int64_t DescriptorWrite(void* handle, const void* buffer, uint32_t size, uint32_t* written) {
    DescriptorStream* s = static_cast<DescriptorStream*>(handle);
    *written = 0;
    const uint8_t* bytes = static_cast<const uint8_t*>(buffer);
    while (size > 0) {
        const int32_t part = size > (uint32_t)INT32_MAX ? INT32_MAX : (int32_t)size;
        int32_t done = 0;
        if (!Platform_Write(s->Fd, bytes, part, &done)) {
            Fail(s);
            *written += (uint32_t)done;
            return 0;
        }
        bytes += part;
        size -= (uint32_t)part;
        *written += (uint32_t)part;
    }
    return 1;
}

void StartStream(DescriptorStream* s, int32_t fd) {
    s->Record = Stream{};
    s->Record.Handle = s;
    s->Record.Read = DescriptorRead;
    s->Record.Write = DescriptorWrite;
    s->Fd = fd;
}

// Runs work over the stream, through a buffer of the given size when it is not 0; the buffer's
// own flush counts as part of the work.
int64_t OverStream(Stream* stream, int32_t bufferSize, bool writing, void* document, DocumentStreamFunc work) {
    if (bufferSize <= 0) return work(document, stream);
    BufferedStream* buffered = nullptr;
    BufferedStream_Create(&buffered);
    if (writing)
        BufferedStream_SetWriteBufferSize(buffered, bufferSize);
    else
        BufferedStream_SetReadBufferSize(buffered, bufferSize);
    BufferedStream_SetBaseStreamHandle(buffered, stream);
    Stream* layer = nullptr;
    BufferedStream_GetStreamHandle(buffered, &layer);
    int64_t result = work(document, layer);
    if (writing && BufferedStream_Flush(buffered) != 1) result = 0;
    BufferedStream_Delete(&buffered);
    return result;
}

// The path as the file object would take it: "~" expanded and normalised; false when it does not
// fit or names nothing.
bool Resolve(const char* path, char* out, int32_t size) {
    if (!Path_Resolve(path, out, size)) return false;
    Path_Fix(out, size, PATH_FIX_NO_TRAILING);
    return out[0] != 0;
}

} // namespace

int64_t Document_LoadFile(void* document, DocumentStreamFunc load, const char* path, int32_t readBuffer) {
    char resolved[FILE_PATH_SIZE];
    if (!Resolve(path, resolved, (int32_t)sizeof(resolved))) return -1;
    const int32_t fd = Platform_DocumentOpenRead(resolved);
    if (fd < 0) return -1;
    DescriptorStream* s = static_cast<DescriptorStream*>(Memory_AllocZero(sizeof(DescriptorStream)));
    StartStream(s, fd);
    const int64_t result = OverStream(&s->Record, readBuffer, false, document, load);
    Platform_Close(fd);
    Memory_Free(s, sizeof(DescriptorStream));
    return result;
}

int64_t Document_SaveFile(void* document, DocumentStreamFunc save, const char* path, int32_t writeBuffer) {
    char resolved[FILE_PATH_SIZE];
    if (!Resolve(path, resolved, (int32_t)sizeof(resolved))) return -1;
    void* replacement = nullptr;
    const int32_t fd = Platform_DocumentReplaceBegin(resolved, &replacement);
    if (fd < 0) return -1;
    DescriptorStream* s = static_cast<DescriptorStream*>(Memory_AllocZero(sizeof(DescriptorStream)));
    StartStream(s, fd);
    const int64_t result = OverStream(&s->Record, writeBuffer, true, document, save) == 1;
    Memory_Free(s, sizeof(DescriptorStream));
    if (!result) {
        Platform_DocumentReplaceAbort(&replacement);
        return 0;
    }
    return Platform_DocumentReplaceCommit(&replacement) ? 1 : 0;
}

int64_t Document_SaveBuffer(void* document, DocumentStreamFunc save, void* buffer, uint32_t capacity,
                            uint32_t* length) {
    MemoryStream* ms = nullptr;
    MemoryStream_Create(&ms);
    MemoryStream_SetPointer(ms, buffer, 0, capacity);
    Stream* stream = nullptr;
    MemoryStream_GetStreamHandle(ms, &stream);
    const int64_t result = save(document, stream);
    *length = (uint32_t)MemoryStream_GetUsed(ms);
    MemoryStream_Delete(&ms);
    return result;
}

int64_t Document_SaveEstimate(void* document, DocumentStreamFunc save, uint32_t* length) {
    NullStream* ns = nullptr;
    NullStream_Create(&ns);
    Stream* stream = nullptr;
    NullStream_GetStreamHandle(ns, &stream);
    const int64_t result = save(document, stream);
    *length = (uint32_t)NullStream_GetUsed(ns);
    NullStream_Delete(&ns);
    return result;
}

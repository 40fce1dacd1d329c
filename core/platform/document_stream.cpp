// Moving a whole document between its module's stream reader or writer and a file, a caller's
// buffer or a counting null stream.
#include "core/platform/document_stream.h"

#include "core/platform/buffered_stream.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"

namespace {

// Runs work over the file's stream, through a buffer of the given size when it is not 0; the
// buffer's own flush counts as part of the work.
int64_t OverFile(File* file, int32_t bufferSize, bool writing, void* document, DocumentStreamFunc work) {
    Stream* stream = nullptr;
    File_GetStreamHandle(file, &stream);
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

} // namespace

int64_t Document_LoadFile(void* document, DocumentStreamFunc load, const char* path, int32_t readBuffer) {
    File* file = nullptr;
    File_Create(&file);
    if (!File_Open(file, path, FILE_READ | FILE_SHARED)) {
        File_Delete(&file);
        return -1;
    }
    const int64_t result = OverFile(file, readBuffer, false, document, load);
    File_Close(file);
    File_Delete(&file);
    return result;
}

int64_t Document_SaveFile(void* document, DocumentStreamFunc save, const char* path, int32_t writeBuffer) {
    File* file = nullptr;
    File_Create(&file);
    if (!File_Open(file, path, FILE_WRITE | FILE_SHARED | FILE_TRUNCATE)) {
        File_Delete(&file);
        return -1;
    }
    int64_t result = OverFile(file, writeBuffer, true, document, save);
    if (result) result = File_Flush(file) == 1;
    if (result) result = File_Truncate(file) == 1;
    if (!File_Close(file)) result = 0;
    File_Delete(&file);
    return result;
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

// The YAML object: lifetime, the bound Dictionary, loading from files, streams and memory, saving
// to files, streams and buffers, and the print family.
#include "core/formats/yaml.h"

#include "core/runtime/class_family.h"

#include <cstring>

#include "core/formats/yaml_internal.h"
#include "core/platform/document_stream.h"
#include "core/platform/buffered_stream.h"
#include "core/platform/file.h"
#include "core/platform/memory_stream.h"
#include "core/platform/null_stream.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return YAML_Delete(reinterpret_cast<YAML**>(handle));
}

// A load answers 1 only for a clean scan over a stream without error.
int64_t Finish(YAML* yaml, Stream* stream) {
    if (yaml->Error != YAML_ERROR_NONE) {
        if (stream && !Stream_HasError(stream)) Stream_SetLastError(stream, (int32_t)yaml->Error);
        return 0;
    }
    return stream && Stream_HasError(stream) ? 0 : 1;
}

} // namespace

void YAML_PreparePrint(YAML* yaml) {
    ClassPrint_Prepare(&yaml->Print, yaml, "YAML", YAML_PrintInternal);
}

int64_t YAML_Create(YAML** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    YAML* yaml = static_cast<YAML*>(Memory_AllocZero(sizeof(YAML)));
    yaml->Header.ClassId = YAML_CLASS_ID;
    yaml->Header.RefCount = 1;
    yaml->Header.Delete = DeleteHandle;
    *handle = yaml;
    return 1;
}

int64_t YAML_Delete(YAML** handle) {
    ASSERT_POINTER(handle);
    YAML* yaml = *handle;
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    yaml->Header.ClassId = 0;
    Memory_Free(yaml, sizeof(YAML));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(YAML, YAML, YAML_CLASS_ID)

int64_t YAML_SetDictionaryHandle(YAML* yaml, Dictionary* dict) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    yaml->Dict = dict;
    return 1;
}

int64_t YAML_GetDictionaryHandle(YAML* yaml, Dictionary** dict) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(dict);
    *dict = yaml->Dict;
    return 1;
}

int64_t YAML_Reset(YAML* yaml) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    yaml->Error = YAML_ERROR_NONE;
    if (yaml->Dict) Dictionary_Reset(yaml->Dict);
    return 1;
}

int64_t YAML_GetLastError(YAML* yaml, uint32_t* code) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(code);
    *code = yaml->Error;
    return 1;
}

int64_t YAML_Scan(YAML* yaml, Stream* stream) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(stream);
    uint64_t length = 0;
    // A stream that cannot tell its length is read until it ends.
    if (Stream_Length(stream, &length) && length == 0) {
        yaml->Error = YAML_ERROR_ZERO_LENGTH;
        return 0;
    }
    YAML_ScanInput(yaml, stream, nullptr, 0);
    return 0;
}

int64_t YAML_LoadStream(YAML* yaml, Stream* stream) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(stream);
    YAML_Reset(yaml);
    Stream_ClearLastError(stream);
    while (YAML_Scan(yaml, stream)) {
    }
    return Finish(yaml, stream);
}

int64_t YAML_LoadStreamBuffered(YAML* yaml, Stream* stream) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(stream);
    BufferedStream* buffered = nullptr;
    BufferedStream_Create(&buffered);
    BufferedStream_SetReadBufferSize(buffered, 4096);
    BufferedStream_SetBaseStreamHandle(buffered, stream);
    Stream* layer = nullptr;
    BufferedStream_GetStreamHandle(buffered, &layer);
    const int64_t result = YAML_LoadStream(yaml, layer);
    if (!result && yaml->Error != 0 && !Stream_HasError(stream))
        Stream_SetLastError(stream, (int32_t)yaml->Error);
    BufferedStream_Delete(&buffered);
    return result;
}

int64_t YAML_LoadBuffer(YAML* yaml, const void* bytes, uint32_t length) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    YAML_Reset(yaml);
    if (length == 0) {
        yaml->Error = YAML_ERROR_ZERO_LENGTH;
        return 0;
    }
    ASSERT_POINTER(bytes);
    // The caller's bytes are read in place: no stream layer between the scanner and memory.
    YAML_ScanInput(yaml, nullptr, static_cast<const uint8_t*>(bytes), length);
    return Finish(yaml, nullptr);
}

int64_t YAML_LoadFile(YAML* yaml, const char* path) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(path);
    YAML_Reset(yaml);
    const int64_t result = Document_LoadFile(yaml, DocumentStreamCall<YAML, YAML_LoadStreamBuffered>, path, 0);
    if (result < 0) YAML_Print(yaml, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t YAML_SaveFile(YAML* yaml, const char* path) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(path);
    if (!yaml->Dict) return 0;
    const int64_t result = Document_SaveFile(yaml, DocumentStreamCall<YAML, YAML_SaveStream>, path, 0);
    if (result < 0) YAML_Print(yaml, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t YAML_SaveBuffer(YAML* yaml, void* buffer, uint32_t capacity, uint32_t* length) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    ASSERT_POINTER(buffer);
    return Document_SaveBuffer(yaml, DocumentStreamCall<YAML, YAML_SaveStream>, buffer, capacity, length);
}

int64_t YAML_SaveBufferEstimate(YAML* yaml, uint32_t* length) {
    CLASS_CHECK(yaml, YAML_CLASS_ID);
    ASSERT_POINTER(length);
    *length = 0;
    return Document_SaveEstimate(yaml, DocumentStreamCall<YAML, YAML_SaveStream>, length);
}

// ---- Print family ---------------------------------------------------------------------------

int64_t YAML_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

CLASS_PRINT_FAMILY(YAML, YAML, YAML_CLASS_ID, YAML_PreparePrint)

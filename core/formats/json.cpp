// The JSON object: creation, settings, the print family and the load entry points that feed the
// scanner from streams, buffers and formatted strings.
#include "core/formats/json.h"

#include "core/runtime/class_family.h"

#include <cstdlib>
#include <cstring>

#include "core/formats/json_internal.h"
#include "core/platform/document_stream.h"
#include "core/platform/buffered_stream.h"
#include "core/platform/file.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

const JsonErrorString JSON_ErrorStringTable[12] = {
    {0, "Unknown"},   {1, "ZeroLength"},      {2, "UnknownLength"}, {3, "Type"},
    {4, "FieldType"}, {5, "String"},          {6, "Integer"},       {7, "Boolean"},
    {8, "Null"},      {9, "DecodeSignature"}, {10, "Authenticate"}, {11, "Build"},
};

namespace {

// Bytes read from a stream per call; the scanner never asks the stream for single characters.
constexpr uint32_t kReadChunk = 64 * 1024;

int64_t DeleteHandle(void** handle) {
    return JSON_Delete(reinterpret_cast<JSON**>(handle));
}

void PreparePrint(JSON* json) {
    ClassPrint_Prepare(&json->Print, json, "JSON", nullptr);
}

// Empties the scanner state; the settings, the binding and the value buffer stay.
void ResetState(JSON* json) {
    memset(json->TypeStack, 0, sizeof(json->TypeStack));
    json->KeyFlags = 0;
    for (int32_t i = 0; i < JSON_MAX_DEPTH; i++) {
        json->KeyText[i][0] = 0;
        json->KeyLength[i] = 0;
        json->KeyPathLength[i] = 0;
        json->ArrayIndex[i] = -1;
    }
    memset(json->Containers, 0, sizeof(json->Containers));
    json->PathDepth = 0;
    json->Depth = 0;
    json->ValueLength = 0;
    if (json->Value) json->Value[0] = 0;
    json->ValueHigh = 0;
    json->ValueNul = 0;
    json->Line = json->Column = 0;
    json->ValueComplete = json->Comma = 0;
    json->Substate = json->NumberFlags = 0;
    json->HexCount = 0;
    json->PendingHigh = 0;
    json->Error = 0;
    json->StreamPosition = 0;
    json->Done = 0;
    json->Started = 0;
    json->TraceValues = JSON_IsVerboseLevel(json, 9) ? 1 : 0;
}

} // namespace

int64_t JSON_Create(JSON** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    JSON* json = static_cast<JSON*>(Memory_AllocZero(sizeof(JSON)));
    json->Header.ClassId = JSON_CLASS_ID;
    json->Header.RefCount = 1;
    json->Header.Delete = DeleteHandle;
    json->Minify = 1;
    json->PrivateKeys = 1;
    json->ValueCapacity = 256;
    json->Value = static_cast<char*>(Memory_Alloc(json->ValueCapacity));
    ResetState(json);
    *handle = json;
    return 1;
}

int64_t JSON_Delete(JSON** handle) {
    ASSERT_POINTER(handle);
    JSON* json = *handle;
    CLASS_CHECK(json, JSON_CLASS_ID);
    if (json->Value) Memory_Free(json->Value, json->ValueCapacity);
    json->Header.ClassId = 0;
    Memory_Free(json, sizeof(JSON));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(JSON, JSON, JSON_CLASS_ID)

int64_t JSON_SetDictionaryHandle(JSON* json, Dictionary* dict) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    json->Dict = dict;
    return 1;
}

int64_t JSON_GetDictionaryHandle(JSON* json, Dictionary** dict) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(dict);
    *dict = json->Dict;
    return json->Dict != nullptr;
}

int64_t JSON_SetValueCallback(JSON* json, void* user, JsonValueCallback callback) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    json->CallbackUser = user;
    json->Callback = callback;
    return 1;
}

int64_t JSON_SetMinify(JSON* json, uint32_t value) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    json->Minify = value;
    return 1;
}

int64_t JSON_GetMinify(JSON* json, uint32_t* value) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(value);
    *value = json->Minify;
    return 1;
}

int64_t JSON_SetPrivateKeys(JSON* json, uint32_t value) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    json->PrivateKeys = value;
    return 1;
}

int64_t JSON_GetPrivateKeys(JSON* json, uint32_t* value) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(value);
    *value = json->PrivateKeys;
    return 1;
}

int64_t JSON_SetLastError(JSON* json, uint32_t code) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    json->Error = code;
    return 1;
}

int64_t JSON_GetLastError(JSON* json, uint32_t* code) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(code);
    *code = json->Error;
    return 1;
}

const char* JSON_TranslateError(uint32_t code) {
    for (const JsonErrorString& entry : JSON_ErrorStringTable)
        if (entry.Code == code) return entry.Name;
    return "Unknown";
}

int64_t JSON_Reset(JSON* json) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ResetState(json);
    if (json->Dict) Dictionary_Reset(json->Dict);
    return 1;
}

int64_t JSON_Scan(JSON* json, Stream* stream, uint32_t* consumed) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(stream);
    ASSERT_POINTER(consumed);
    *consumed = 0;
    uint64_t length = 0;
    if (Stream_CanLength(stream) && Stream_Length(stream, &length) && length == 0) {
        json->Error = JSON_ERROR_ZERO_LENGTH;
        return 0;
    }
    uint8_t* chunk = static_cast<uint8_t*>(Memory_Alloc(kReadChunk));
    const uint64_t start = json->StreamPosition;
    bool any = false;
    bool streamFailed = false;
    while (!json->Done) {
        uint32_t read = 0;
        const int64_t ok = Stream_Read(stream, chunk, kReadChunk, &read);
        if (!ok && Stream_HasError(stream)) streamFailed = true;
        if (read == 0 || streamFailed) break;
        any = true;
        JSON_ScanBytes(json, chunk, read);
    }
    Memory_Free(chunk, kReadChunk);
    *consumed = (uint32_t)(json->StreamPosition - start);
    // A failing stream fails the load without a JSON code (the stream keeps its own error).
    if (streamFailed) {
        JSON_IndexOpenContainers(json);
        return 0;
    }
    if (!any && !json->Started && json->Error == 0) {
        json->Error = JSON_ERROR_ZERO_LENGTH;
        return 0;
    }
    JSON_ScanFinish(json);
    return 0;
}

int64_t JSON_LoadStream(JSON* json, Stream* stream) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(stream);
    JSON_Reset(json);
    Stream_ClearLastError(stream);
    uint32_t consumed = 0;
    while (JSON_Scan(json, stream, &consumed)) {
    }
    if (json->Error != 0) {
        Stream_SetLastError(stream, (int32_t)json->Error);
        return 0;
    }
    return Stream_HasError(stream) ? 0 : 1;
}

int64_t JSON_LoadStreamBuffered(JSON* json, Stream* stream) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(stream);
    BufferedStream* buffered = nullptr;
    BufferedStream_Create(&buffered);
    BufferedStream_SetReadBufferSize(buffered, 4096);
    BufferedStream_SetBaseStreamHandle(buffered, stream);
    Stream* layer = nullptr;
    BufferedStream_GetStreamHandle(buffered, &layer);
    const int64_t result = JSON_LoadStream(json, layer);
    if (!result && json->Error != 0) Stream_SetLastError(stream, (int32_t)json->Error);
    BufferedStream_Delete(&buffered);
    return result;
}

int64_t JSON_LoadFile(JSON* json, const char* path) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(path);
    JSON_Reset(json);
    const int64_t result = Document_LoadFile(json, DocumentStreamCall<JSON, JSON_LoadStreamBuffered>, path, 0);
    if (result < 0) JSON_Print(json, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t JSON_SaveFile(JSON* json, const char* path) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(path);
    // Nothing to write is a failed save, found out before the file is touched.
    uint32_t count = 0;
    if (!json->Dict || !Dictionary_ItemGetCount(json->Dict, &count) || count == 0) return 0;
    const int64_t result = Document_SaveFile(json, DocumentStreamCall<JSON, JSON_SaveStream>, path, 0);
    if (result < 0) JSON_Print(json, "Unable to open file (%s)", path);
    return result < 0 ? 0 : result;
}

int64_t JSON_LoadBuffer(JSON* json, const void* bytes, uint32_t length) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    JSON_Reset(json);
    if (length == 0) {
        json->Error = JSON_ERROR_ZERO_LENGTH;
        return 0;
    }
    ASSERT_POINTER(bytes);
    JSON_ScanBytes(json, static_cast<const uint8_t*>(bytes), length);
    return JSON_ScanFinish(json);
}

int64_t JSON_LoadStringV(JSON* json, const char* format, va_list args) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(format);
    va_list measure;
    va_copy(measure, args);
    const int32_t length = String_GetVPrintLength(format, measure);
    va_end(measure);
    if (length < 0) return 0;
    char* text = static_cast<char*>(Memory_Alloc(length + 1));
    String_VPrint(text, length + 1, format, args);
    text[length] = 0;
    // The terminating NUL is scanned too, as white space, so a number at the end is complete.
    const int64_t result = JSON_LoadBuffer(json, text, (uint32_t)length + 1);
    Memory_Free(text, length + 1);
    return result;
}

int64_t JSON_LoadString(JSON* json, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = JSON_LoadStringV(json, format, args);
    va_end(args);
    return result;
}

int64_t JSON_GetKeyByDepth(const char* path, int32_t depth, char* buffer, int32_t capacity) {
    ASSERT_POINTER(path);
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    const char* p = path;
    for (int32_t i = 0; i < depth; i++) {
        p = strchr(p, '\\');
        if (!p) return 0;
        p++;
    }
    const char* end = strchr(p, '\\');
    const int32_t length = end ? (int32_t)(end - p) : (int32_t)strlen(p);
    if (capacity > 0) {
        const int32_t n = length < capacity - 1 ? length : capacity - 1;
        memcpy(buffer, p, (size_t)n);
        buffer[n] = 0;
    }
    return 1;
}

// ---- Print family ---------------------------------------------------------------------------

CLASS_PRINT_FAMILY(JSON, JSON, JSON_CLASS_ID, PreparePrint)

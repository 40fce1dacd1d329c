// Request accessors of the script bridge: what every script class's Invoke uses to read one
// method call out of its request Dictionary, and the Base64 buffers of methods carrying bytes.
#include "core/formats/interop_request.h"

#include <cstring>

#include "core/formats/base64.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

const char* Text(const char* text) {
    return text ? text : "";
}

// Memory_Alloc takes a signed 32-bit size.
constexpr uint64_t kLargestBuffer = 0x7FFFFFFF;

} // namespace

int64_t ApiGen_GetMethod(Dictionary* request, const char* className, const char** method, uint32_t* hash) {
    ASSERT_POINTER(request);
    ASSERT_POINTER(method);
    ASSERT_POINTER(hash);
    *method = nullptr;
    *hash = 0;
    DictionaryItem* item = nullptr;
    if (!Dictionary_ItemFindByKey(request, "method", nullptr, &item) || !item) {
        Log_Error("Class invoker unable to find method (%s)\n", Text(className));
        return 0;
    }
    const char* text = nullptr;
    if (!Dictionary_ItemGetStringPtr(request, item, &text)) {
        Log_Error("Method type is not a string (%s)\n", Text(className));
        return 0;
    }
    int32_t value = 0;
    if (!Dictionary_GetInt32ByKey(request, "methodHash", &value)) {
        Log_Error("Method lookup hash not found (%s.%s)\n", Text(className), text);
        return 0;
    }
    *method = text;
    *hash = static_cast<uint32_t>(value);
    return 1;
}

int64_t ApiGen_GetParam(Dictionary* request, const char* className, const char* methodName,
                        const char* paramName, uint32_t type, DictionaryItem** item) {
    ASSERT_POINTER(request);
    ASSERT_POINTER(item);
    *item = nullptr;
    DictionaryItem* found = nullptr;
    if (!paramName || !Dictionary_ItemFindByKey(request, paramName, nullptr, &found) || !found) {
        Log_Error("Parameter missing (%s.%s::%s)\n", Text(className), Text(methodName), Text(paramName));
        return 0;
    }
    if (!Dictionary_ItemCompareType(request, found, type)) {
        Log_Error("Incorrect parameter type (%s.%s::%s)\n", Text(className), Text(methodName),
                  Text(paramName));
        return 0;
    }
    *item = found;
    return 1;
}

int64_t ApiGen_GetBoolean(Dictionary* request, const char* className, const char* methodName,
                          const char* paramName, uint32_t* value) {
    ASSERT_POINTER(value);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_BOOLEAN, &item)) return 0;
    return Dictionary_ItemGetBoolean(request, item, value);
}

int64_t ApiGen_GetInt32(Dictionary* request, const char* className, const char* methodName,
                        const char* paramName, int32_t* value) {
    ASSERT_POINTER(value);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_FLOAT64, &item)) return 0;
    return Dictionary_ItemGetInt32(request, item, value);
}

int64_t ApiGen_GetInt64(Dictionary* request, const char* className, const char* methodName,
                        const char* paramName, int64_t* value) {
    ASSERT_POINTER(value);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_FLOAT64, &item)) return 0;
    return Dictionary_ItemGetInt64(request, item, value);
}

int64_t ApiGen_GetFloat64(Dictionary* request, const char* className, const char* methodName,
                          const char* paramName, double* value) {
    ASSERT_POINTER(value);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_FLOAT64, &item)) return 0;
    return Dictionary_ItemGetFloat64(request, item, value);
}

int64_t ApiGen_GetString(Dictionary* request, const char* className, const char* methodName,
                         const char* paramName, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_STRING, &item)) return 0;
    return Dictionary_ItemGetString(request, item, buffer, capacity);
}

int64_t ApiGen_GetStringPtr(Dictionary* request, const char* className, const char* methodName,
                            const char* paramName, const char** value) {
    ASSERT_POINTER(value);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_STRING, &item)) return 0;
    return Dictionary_ItemGetStringPtr(request, item, value);
}

int64_t ApiGen_GetDictionary(Dictionary* request, const char* className, const char* methodName,
                             const char* paramName, Dictionary** value) {
    ASSERT_POINTER(value);
    DictionaryItem* item = nullptr;
    if (!ApiGen_GetParam(request, className, methodName, paramName, DICTIONARY_TYPE_DICTIONARY, &item))
        return 0;
    return Dictionary_ItemGetDictionaryHandle(request, item, value);
}

int64_t ApiGen_CreateBase64DecodedBuffer(const char* text, uint8_t** buffer, uint32_t* length,
                                         uint32_t* bufferSize) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    ASSERT_POINTER(bufferSize);
    *buffer = nullptr;
    *length = 0;
    *bufferSize = 0;
    if (!text) return 0;
    const size_t textLength = strlen(text);
    uint32_t size = 0;
    if (textLength > 0xFFFFFFFFu || !Base64_CalculateDecodeSize((uint32_t)textLength, &size)) return 0;
    if ((uint64_t)size + 1 > kLargestBuffer) return 0;
    uint8_t* bytes = static_cast<uint8_t*>(Memory_Alloc(size + 1));
    uint32_t decoded = 0;
    const int64_t result = Base64_Decode(text, (int32_t)textLength, bytes, (int32_t)size + 1, &decoded);
    // The decoder never writes past its capacity, so the terminator always lands inside.
    if (decoded > size) decoded = size;
    bytes[decoded] = 0;
    *buffer = bytes;
    *length = decoded;
    *bufferSize = size + 1;
    return result;
}

int64_t ApiGen_DeleteBase64DecodedBuffer(uint8_t** buffer, uint32_t* bufferSize) {
    if (!buffer || !*buffer || !bufferSize || *bufferSize == 0) return 1;
    Memory_Free(*buffer, *bufferSize);
    *buffer = nullptr;
    *bufferSize = 0;
    return 1;
}

int64_t ApiGen_CreateBase64EncodedBuffer(const void* bytes, uint32_t length, char** buffer,
                                         uint32_t* bufferSize) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(bufferSize);
    *buffer = nullptr;
    *bufferSize = 0;
    if (!bytes) return 0;
    uint32_t size = 0;
    if (!Base64_CalculateEncodeSize(length, &size) || (uint64_t)size + 10 > kLargestBuffer ||
        length > 0x7FFFFFFFu)
        return 0;
    char* text = static_cast<char*>(Memory_Alloc(size + 10));
    uint32_t written = 0;
    const int64_t result = Base64_Encode(bytes, (int32_t)length, text, (int32_t)size + 10, &written);
    if (written >= size + 10) written = size + 9;
    text[written] = 0;
    *buffer = text;
    *bufferSize = size + 10;
    return result;
}

int64_t ApiGen_DeleteBase64EncodedBuffer(char** buffer, uint32_t* bufferSize) {
    if (!buffer || !*buffer || !bufferSize || *bufferSize == 0) return 1;
    Memory_Free(*buffer, *bufferSize);
    *buffer = nullptr;
    *bufferSize = 0;
    return 1;
}

// Request accessors for the Invoke functions of script classes: the method name and its CRC-32,
// typed parameters by name (each failure logged with class, method and parameter), and
// Base64-decoded and -encoded copies of buffers carried as text.
#pragma once

#include <cstdint>

struct Dictionary;
struct DictionaryItem;

// The hash a call's method is dispatched by, as the bridge computes it: the CRC-32 (reflected,
// polynomial 0xedb88320) of its name, usable as a case label.
constexpr uint32_t ApiGen_MethodHash(const char* text) {
    uint32_t crc = 0xffffffffu;
    for (; *text; text++) {
        crc ^= (uint8_t)*text;
        for (int bit = 0; bit < 8; bit++) crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}


// Answers 1 with the "method" text (a pointer into the request) and the "methodHash" the bridge
// stored; 0 with a logged reason otherwise.
int64_t ApiGen_GetMethod(Dictionary* request, const char* className, const char** method, uint32_t* hash);
// The parameter's item when it exists with exactly the given Dictionary item type.
int64_t ApiGen_GetParam(Dictionary* request, const char* className, const char* methodName,
                        const char* paramName, uint32_t type, DictionaryItem** item);

// The typed getters: 1 when the parameter exists with the expected type (numbers are Float64
// items holding the JSON number's text); else 0 and the out value untouched.
int64_t ApiGen_GetBoolean(Dictionary* request, const char* className, const char* methodName,
                          const char* paramName, uint32_t* value);
int64_t ApiGen_GetInt32(Dictionary* request, const char* className, const char* methodName,
                        const char* paramName, int32_t* value);
int64_t ApiGen_GetInt64(Dictionary* request, const char* className, const char* methodName,
                        const char* paramName, int64_t* value);
int64_t ApiGen_GetFloat64(Dictionary* request, const char* className, const char* methodName,
                          const char* paramName, double* value);
// Copies the text into buffer (capacity bytes, cut and terminated).
int64_t ApiGen_GetString(Dictionary* request, const char* className, const char* methodName,
                         const char* paramName, char* buffer, int32_t capacity);
// A pointer into the request, valid while the request lives.
int64_t ApiGen_GetStringPtr(Dictionary* request, const char* className, const char* methodName,
                            const char* paramName, const char** value);
// The nested Dictionary (no reference added).
int64_t ApiGen_GetDictionary(Dictionary* request, const char* className, const char* methodName,
                             const char* paramName, Dictionary** value);

// Allocates the decode size of the text plus one byte, decodes and terminates; answers the
// decoder's result (the buffer is allocated even when decoding fails; free it with the Delete).
int64_t ApiGen_CreateBase64DecodedBuffer(const char* text, uint8_t** buffer, uint32_t* length,
                                         uint32_t* bufferSize);
int64_t ApiGen_DeleteBase64DecodedBuffer(uint8_t** buffer, uint32_t* bufferSize);
// Allocates the encode size plus 10 bytes, encodes and terminates; 0 for null bytes.
int64_t ApiGen_CreateBase64EncodedBuffer(const void* bytes, uint32_t length, char** buffer,
                                         uint32_t* bufferSize);
int64_t ApiGen_DeleteBase64EncodedBuffer(char** buffer, uint32_t* bufferSize);

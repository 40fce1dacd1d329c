// The system's own printf engine and its front functions. Besides the usual conversions it
// knows %ipv4 (dotted IPv4 address), %js (JSON-escaped text), %r (English ordinal), %S and %C
// (upper-cased), wide and 16-bit string arguments and the 64-bit prefixes ll, I64 and z.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { STRING_BUFFER_CLASS_ID = 0x19EE5213 };

// Engine write callback: one piece of output (not terminated). flags: 1 on pieces up to and
// including the first conversion, 2 on a piece after which the format has no more text.
typedef int64_t (*StringPrintWriteCallback)(void* context, uint32_t flags, const char* data, int32_t length,
                                            int32_t* scratch);
// Sink callback of String_PrintFormat: (user, data, length, out written).
typedef int64_t (*StringPrintSinkCallback)(void* user, const char* data, int32_t length, int32_t* written);

// A destination buffer on the caller's stack, or a counter when Buffer is null.
struct StringBuffer {
    Class Header;
    char* Buffer;
    int32_t Used;
    int32_t Capacity;
    uint32_t Overflow;
};

int64_t String_VPrintFormatEx(const char* format, void* context, StringPrintWriteCallback callback, va_list args);
int64_t String_PrintFormatEx(const char* format, void* context, StringPrintWriteCallback callback, ...);
int64_t String_VPrintFormat(const char* format, void* user, StringPrintSinkCallback sink, va_list args);
int64_t String_PrintFormat(const char* format, void* user, StringPrintSinkCallback sink, ...);
int64_t String_WriteCallbackInt(void* context, uint32_t flags, const char* data, int32_t length, int32_t* scratch);

int32_t String_VPrint(char* buffer, int32_t capacity, const char* format, va_list args);
int32_t String_Print(char* buffer, int32_t capacity, const char* format, ...);
int32_t String_PrintCat(char* buffer, int32_t capacity, const char* format, ...);
int64_t String_VPrintCat(char* buffer, int32_t capacity, const char* format, va_list args);
int32_t String_GetVPrintLength(const char* format, va_list args);
int32_t String_GetPrintLength(const char* format, ...);
// The decimal text of a whole number, as "%I64d" prints it, without the formatter: `out` has room
// for 21 bytes. Answers its length.
int32_t String_PrintInt64(char* out, int64_t value);

// Sets up a StringBuffer over (buffer, capacity); a null buffer counts only.
void StringBuffer_Init(StringBuffer* record, char* buffer, int32_t capacity);
int64_t StringBuffer_Append(StringBuffer* record, const char* data, int32_t length, int32_t* written);
int64_t StringBuffer_Finalize(StringBuffer* record);

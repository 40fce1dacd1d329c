// The dictionary's print channel: identifier, callback and verbose flag of its print block, and
// the lines it writes (by default one DEBUG log line each).
#include <cstdarg>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/log.h"

namespace {

void PreparePrint(Dictionary* dict) {
    ClassPrint_Prepare(&dict->Print, dict, "Dictionary", Dictionary_PrintInternal);
}

} // namespace

int64_t Dictionary_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t Dictionary_SetPrintIdentifier(Dictionary* dict, const char* identifier) {
    DICTIONARY_CHECK(dict);
    dict->Print.Identifier = identifier;
    return 1;
}

int64_t Dictionary_SetPrintCallback(Dictionary* dict, void* user, ClassPrintCallback fn) {
    DICTIONARY_CHECK(dict);
    dict->Print.PrintUser = user;
    dict->Print.PrintCallback = fn;
    return 1;
}

int64_t Dictionary_SetVerbose(Dictionary* dict, uint32_t verbose) {
    DICTIONARY_CHECK(dict);
    dict->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t Dictionary_IsVerboseLevel(Dictionary* dict, int32_t level) {
    DICTIONARY_CHECK(dict);
    PreparePrint(dict);
    return ClassPrint_IsVerboseLevel(&dict->Print, level);
}

int64_t Dictionary_VPrint(Dictionary* dict, int32_t tabLevel, const char* format, va_list args) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(format);
    PreparePrint(dict);
    return ClassPrint_VPrint(&dict->Print, tabLevel, format, args);
}

int64_t Dictionary_Print(Dictionary* dict, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_VPrint(dict, 0, format, args);
    va_end(args);
    return result;
}

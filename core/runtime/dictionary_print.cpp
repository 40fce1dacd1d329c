// The dictionary's print channel (identifier, callback and verbose flag of its print block, and
// the lines it writes, by default one DEBUG log line each) and the readable dump of a tree.
#include <cstdarg>

#include "core/runtime/dictionary.h"
#include "core/runtime/dictionary_internal.h"
#include "core/runtime/log.h"
#include "core/runtime/string_print.h"

namespace {

void PreparePrint(Dictionary* dict) {
    DictionaryExtra* extra = Dictionary_EnsureExtra(dict);
    // A child's lines carry its root's id: its own header's id bytes hold its links.
    if (!extra->Print.IdText) {
        const Dictionary* root = dict;
        while (Dictionary* parent = Dictionary_Parent(root)) root = parent;
        extra->Print.IdText = root->Header.InstanceId;
    }
    ClassPrint_Prepare(&extra->Print, dict, "Dictionary", Dictionary_PrintInternal);
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
    Dictionary_EnsureExtra(dict)->Print.Identifier = identifier;
    return 1;
}

int64_t Dictionary_SetPrintCallback(Dictionary* dict, void* user, ClassPrintCallback fn) {
    DICTIONARY_CHECK(dict);
    Dictionary_EnsureExtra(dict)->Print.PrintUser = user;
    Dictionary_EnsureExtra(dict)->Print.PrintCallback = fn;
    return 1;
}

int64_t Dictionary_GetPrintCallback(Dictionary* dict, void** user, ClassPrintCallback* fn) {
    DICTIONARY_CHECK(dict);
    if (user) *user = Dictionary_EnsureExtra(dict)->Print.PrintUser;
    if (fn) *fn = Dictionary_EnsureExtra(dict)->Print.PrintCallback;
    return 1;
}

int64_t Dictionary_SetVerbose(Dictionary* dict, uint32_t verbose) {
    DICTIONARY_CHECK(dict);
    Dictionary_EnsureExtra(dict)->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t Dictionary_GetVerbose(Dictionary* dict, uint32_t* verbose) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(verbose);
    *verbose = (uint32_t)Dictionary_EnsureExtra(dict)->Print.Verbose;
    return 1;
}

int64_t Dictionary_IsVerboseLevel(Dictionary* dict, int32_t level) {
    DICTIONARY_CHECK(dict);
    PreparePrint(dict);
    return ClassPrint_IsVerboseLevel(&dict->Extra->Print, level);
}

int64_t Dictionary_VPrint(Dictionary* dict, int32_t tabLevel, const char* format, va_list args) {
    DICTIONARY_CHECK(dict);
    ASSERT_POINTER(format);
    PreparePrint(dict);
    return ClassPrint_VPrint(&dict->Extra->Print, tabLevel, format, args);
}

int64_t Dictionary_Print(Dictionary* dict, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_VPrint(dict, 0, format, args);
    va_end(args);
    return result;
}

int64_t Dictionary_PrintTabbed(Dictionary* dict, int32_t tabLevel, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_VPrint(dict, tabLevel, format, args);
    va_end(args);
    return result;
}

int64_t Dictionary_VerboseLog(Dictionary* dict, int32_t level, const char* format, ...) {
    if (!Dictionary_IsVerboseLevel(dict, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Dictionary_VPrint(dict, 0, format, args);
    va_end(args);
    return result;
}

// ---- Dump -------------------------------------------------------------------------------------

namespace {

// Room for "%s=%.<digits>s (%s)" with the ten digits of the longest text.
constexpr int32_t kValueFormatSize = 32;

} // namespace

int64_t Dictionary_Dump(Dictionary* dict) {
    return Dictionary_DumpInternal(dict, 0);
}

// Depth first along the parent links rather than by recursion, so that a deep tree costs no stack.
int64_t Dictionary_DumpInternal(Dictionary* dict, int32_t depth) {
    DICTIONARY_CHECK(dict);
    if (!dict->Items.First) return 0;
    // The children take this dictionary's channel: install its defaults before they are copied.
    PreparePrint(dict);

    Dictionary* level = dict;
    DictionaryItem* item = dict->Items.First;
    for (;;) {
        if (!item) {
            if (level == dict) return 1;
            item = Dictionary_ParentItem(level)->Next;
            level = Dictionary_Parent(level);
            depth--;
            continue;
        }
        if (level->PrivateKeys == 1 && (item->Flags & DICTIONARY_ITEM_FLAG_PRIVATE)) {
            item = item->Next;
            continue;
        }
        const uint32_t type = DictionaryItem_Type(item);
        const char* typeName = Dictionary_TranslateType(type);
        if (type == DICTIONARY_TYPE_LIST || type == DICTIONARY_TYPE_DICTIONARY) {
            Dictionary* child = DictionaryItem_Child(item);
            Dictionary_EnsureExtra(child)->Print.PrintUser = level->Extra->Print.PrintUser;
            child->Extra->Print.PrintCallback = level->Extra->Print.PrintCallback;
            Dictionary_PrintTabbed(level, depth, "%s (%s)", DictionaryItem_Key(item), typeName);
            level = child;
            item = child->Items.First;
            depth++;
            continue;
        }
        const char* text = nullptr;
        int32_t length = 0;
        Dictionary_ItemGetBufferPtr(level, item, &text, &length);
        char format[kValueFormatSize];
        String_Print(format, kValueFormatSize, "%%s=%%.%ds (%%s)", length);
        Dictionary_PrintTabbed(level, depth, format, DictionaryItem_Key(item), text, typeName);
        item = item->Next;
    }
}

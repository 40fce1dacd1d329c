// Object header operations, the process-wide instance table (instance id text -> object) and
// the per-object print block.
#include "core/runtime/class.h"

#include <atomic>
#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/hash_table.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

struct ClassState {
    HashTable* Table;
    CriticalSection* Lock;
};

ClassState* GlobalClass = nullptr;

std::atomic<ClassConvertFromInstanceIdFunc> g_fromHook{nullptr};
std::atomic<ClassConvertToInstanceIdFunc> g_toHook{nullptr};
std::atomic<ClassTrackInstanceFunc> g_trackHook{nullptr};
std::atomic<ClassUntrackInstanceFunc> g_untrackHook{nullptr};

constexpr int32_t kMaxIndent = 80;
constexpr int32_t kPrintBuffer = 8192;

} // namespace

void* Class_AddRef(void* object) {
    if (!object) return object;
    Platform_Increment(&static_cast<Class*>(object)->RefCount);
    return object;
}

uint32_t Class_ReleaseInt(void** handle, const char* file, int32_t line) {
    if (!handle) Debug_AbortInt(file, line, "Pointer is NULL\n");
    Class* object = static_cast<Class*>(*handle);
    // Releasing through a handle that is already null is a no-op.
    if (!object) return 0;
    uint32_t count = Platform_Decrement(&object->RefCount);
    if (count == 0) {
        if (!object->Delete)
            Debug_AbortInt(file, line, "Assertion failed (FALSE)\nClass delete function pointer is null [%s]",
                           object->InstanceId);
        object->Delete(handle);
    }
    *handle = nullptr;
    return count;
}

int64_t Class_HasOneRef(void* object) {
    ASSERT_POINTER(object);
    return __atomic_load_n(&static_cast<Class*>(object)->RefCount, __ATOMIC_SEQ_CST) == 1;
}

int64_t Class_SetDeleteCallback(void* object, ClassDeleteFunc fn) {
    ASSERT_POINTER(object);
    static_cast<Class*>(object)->Delete = fn;
    return 1;
}

int64_t Class_GetDeleteCallback(void* object, ClassDeleteFunc* fn) {
    ASSERT_POINTER(object);
    ASSERT_POINTER(fn);
    *fn = static_cast<Class*>(object)->Delete;
    return 1;
}

int64_t Class_GenerateInstanceIdReal(void* object) {
    ASSERT_POINTER(object);
    Class* header = static_cast<Class*>(object);
    String_Guid(header->InstanceId, (int32_t)sizeof(header->InstanceId), 0);
    return 1;
}

int64_t Class_TrackInstance(void* object, const char* key, void* extra) {
    if (ClassTrackInstanceFunc hook = g_trackHook.load()) return hook(object, key, extra);
    ASSERT_POINTER(object);
    ASSERT_POINTER(key);
    ASSERT_MSG(GlobalClass != NULL, "Class not initialized");
    CriticalSectionGuard guard(GlobalClass->Lock);
    HashTable_Add(GlobalClass->Table, key, (uint64_t)(uintptr_t)object);
    return 1;
}

int64_t Class_UntrackInstance(void* object) {
    if (ClassUntrackInstanceFunc hook = g_untrackHook.load()) return hook(object);
    ASSERT_POINTER(object);
    int64_t removed = 0;
    if (GlobalClass) {
        CriticalSectionGuard guard(GlobalClass->Lock);
        removed = HashTable_Remove(GlobalClass->Table, static_cast<Class*>(object)->InstanceId);
    }
    if (!removed) Debug_AbortInt(__FILE__, __LINE__, "Unable to remove instance from class instance hash table");
    return 1;
}

void* Class_ConvertFromInstanceId(const char* text) {
    if (ClassConvertFromInstanceIdFunc hook = g_fromHook.load()) return hook(text);
    if (!text || !GlobalClass) return nullptr;
    CriticalSectionGuard guard(GlobalClass->Lock);
    uint64_t value = 0;
    if (!HashTable_GetValue(GlobalClass->Table, text, &value)) return nullptr;
    return reinterpret_cast<void*>((uintptr_t)value);
}

const char* Class_ConvertToInstanceId(void* object) {
    if (ClassConvertToInstanceIdFunc hook = g_toHook.load()) return hook(object);
    return static_cast<const char*>(object);
}

int64_t Class_ConvertFromInstanceIdOverride(ClassConvertFromInstanceIdFunc fn) {
    g_fromHook.store(fn);
    return 1;
}

int64_t Class_ConvertToInstanceIdOverride(ClassConvertToInstanceIdFunc fn) {
    g_toHook.store(fn);
    return 1;
}

int64_t Class_TrackInstanceOverride(ClassTrackInstanceFunc fn) {
    g_trackHook.store(fn);
    return 1;
}

int64_t Class_UntrackInstanceOverride(ClassUntrackInstanceFunc fn) {
    g_untrackHook.store(fn);
    return 1;
}

int64_t Class_Init() {
    ASSERT_MSG(GlobalClass == NULL, "Class already initialized");
    ClassState* state = static_cast<ClassState*>(Memory_AllocZero(sizeof(ClassState)));
    // The key is the object's own InstanceId text, held by pointer and compared as text.
    HashTable_Create(&state->Table, sizeof(const char*), 512);
    HashTable_SetKeyAssignCallback(state->Table, nullptr, HashTable_StringPointerKeyAssign);
    HashTable_SetValueCallback(state->Table, nullptr, HashTable_StringValue);
    HashTable_SetCompareCallback(state->Table, nullptr, HashTable_StringPointerCompare);
    CriticalSection_Create(&state->Lock);
    GlobalClass = state;
    return 1;
}

int64_t Class_Remove() {
    ClassState* state = GlobalClass;
    if (!state) return 1;
    GlobalClass = nullptr;
    CriticalSection_Delete(&state->Lock);
    HashTable_Delete(&state->Table);
    Memory_Free(state, sizeof(ClassState));
    return 1;
}

void ClassPrint_Prepare(ClassPrint* print, void* object, const char* className, ClassPrintCallback fallback) {
    ASSERT_POINTER(print);
    if (!print->IdText) print->IdText = static_cast<const char*>(object);
    if (!print->ClassName) print->ClassName = className;
    if (!print->PrintCallback) {
        print->PrintCallback = fallback ? fallback : ClassPrint_DefaultCallback;
        print->PrintUser = object;
    }
}

int64_t ClassPrint_DefaultCallback(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

int64_t ClassPrint_IsVerboseLevel(ClassPrint* print, int32_t level) {
    ASSERT_POINTER(print);
    if (!print->LookedUp) {
        int32_t found = 0;
        print->Matched = print->ClassName ? (int32_t)Log_GetVerboseLevel(print->ClassName, &found) : 0;
        print->Level = found;
        print->LookedUp = 1;
    }
    if (!print->Verbose && !print->Matched) return 0;
    return print->Level >= level;
}

int64_t ClassPrint_VPrint(ClassPrint* print, int32_t indent, const char* format, va_list args) {
    ASSERT_POINTER(print);
    ASSERT_POINTER(format);
    char indentText[kMaxIndent + 1];
    int32_t spaces = indent > 0 ? (indent * 4 > kMaxIndent ? kMaxIndent : indent * 4) : 0;
    memset(indentText, ' ', (size_t)spaces);
    indentText[spaces] = 0;

    char text[kPrintBuffer];
    String_VPrint(text, kPrintBuffer, format, args);

    ClassPrintCallback callback = print->PrintCallback ? print->PrintCallback : ClassPrint_DefaultCallback;
    const char* className = print->ClassName ? print->ClassName : "";
    const char* identifier = print->Identifier ? print->Identifier : "";
    const char* dot = print->Identifier ? "." : "";
    const bool hasId = print->IdText && print->IdText[0];
    const uint32_t address = (uint32_t)(uintptr_t)(print->IdText ? print->IdText : (const char*)print);

    auto emit = [&](const char* line) {
        if (hasId)
            callback(print->PrintUser, "%s.%8s%s%s - %s%s\n", className, print->IdText, dot, identifier,
                     indentText, line);
        else
            callback(print->PrintUser, "%s.%08x%s%s - %s%s\n", className, address, dot, identifier, indentText,
                     line);
    };

    // Lines end at CR or LF; runs of them are skipped, so empty lines are dropped. A text
    // without any break is one line, even when empty.
    char* p = text;
    bool sawBreak = false;
    while (*p) {
        char* end = p + strcspn(p, "\r\n");
        if (!*end) break;
        sawBreak = true;
        *end = 0;
        if (end > p) emit(p);
        p = end + 1;
        while (*p == '\r' || *p == '\n') p++;
    }
    if (*p || !sawBreak) emit(p);
    return 1;
}

int64_t ClassPrint_Print(ClassPrint* print, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int64_t result = ClassPrint_VPrint(print, indent, format, args);
    va_end(args);
    return result;
}

// The common header of every heap object (instance id, class id, reference count, delete
// function), the process-wide instance table and the per-object print block.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/debug.h"

typedef int64_t (*ClassDeleteFunc)(void** handle);

// Starts every object. InstanceId comes first, so a handle is also its id text.
struct Class {
    char InstanceId[36];
    uint32_t ClassId;
    uint32_t RefCount;
    ClassDeleteFunc Delete;
};

typedef void* (*ClassConvertFromInstanceIdFunc)(const char* text);
typedef const char* (*ClassConvertToInstanceIdFunc)(void* object);
typedef int64_t (*ClassTrackInstanceFunc)(void* object, const char* key, void* extra);
typedef int64_t (*ClassUntrackInstanceFunc)(void* object);

typedef int64_t (*ClassPrintCallback)(void* user, const char* format, ...);

// Per-object print block, filled on first use by the owning type's print operations.
struct ClassPrint {
    const char* IdText;
    const char* ClassName;
    const char* Identifier;
    int32_t Verbose;
    int32_t Level;
    int32_t Matched;
    int32_t LookedUp;
    void* PrintUser;
    ClassPrintCallback PrintCallback;
};

void* Class_AddRef(void* object);
uint32_t Class_ReleaseInt(void** handle, const char* file, int32_t line);
int64_t Class_HasOneRef(void* object);
int64_t Class_SetDeleteCallback(void* object, ClassDeleteFunc fn);
int64_t Class_GetDeleteCallback(void* object, ClassDeleteFunc* fn);
int64_t Class_GenerateInstanceIdReal(void* object);
int64_t Class_TrackInstance(void* object, const char* key, void* extra);
int64_t Class_UntrackInstance(void* object);
void* Class_ConvertFromInstanceId(const char* text);
const char* Class_ConvertToInstanceId(void* object);
int64_t Class_ConvertFromInstanceIdOverride(ClassConvertFromInstanceIdFunc fn);
int64_t Class_ConvertToInstanceIdOverride(ClassConvertToInstanceIdFunc fn);
int64_t Class_TrackInstanceOverride(ClassTrackInstanceFunc fn);
int64_t Class_UntrackInstanceOverride(ClassUntrackInstanceFunc fn);
int64_t Class_Init();
int64_t Class_Remove();

// Releases the object behind *handle (any type) and nulls the handle.
template <typename T> uint32_t Class_ReleaseHandle(T** handle, const char* file, int32_t line) {
    return Class_ReleaseInt(reinterpret_cast<void**>(handle), file, line);
}
#define Class_Release(handle) Class_ReleaseHandle((handle), __FILE__, __LINE__)

int64_t ClassPrint_IsVerboseLevel(ClassPrint* print, int32_t level);
int64_t ClassPrint_VPrint(ClassPrint* print, int32_t indent, const char* format, va_list args);
int64_t ClassPrint_Print(ClassPrint* print, int32_t indent, const char* format, ...);

// Fills the block's defaults on first use: id text, class name, print user and callback.
void ClassPrint_Prepare(ClassPrint* print, void* object, const char* className, ClassPrintCallback fallback);
// The default print sink of every type: one DEBUG log line with a time stamp.
int64_t ClassPrint_DefaultCallback(void* user, const char* format, ...);

// Aborts unless `object` is a live object of class `id`; reports the caller's location.
#define CLASS_CHECK(object, id)                                                                \
    do {                                                                                       \
        const void* class_check_object_ = (object);                                            \
        if (class_check_object_ == nullptr) Debug_AbortInt(__FILE__, __LINE__, "Pointer is NULL\n"); \
        uint32_t class_check_found_ = static_cast<const Class*>(class_check_object_)->ClassId;   \
        if (class_check_found_ != (uint32_t)(id))                                              \
            Debug_AbortInt(__FILE__, __LINE__,                                                 \
                           "Class mismatch pointer (0x%p: expected 0x%08x but was 0x%08x)\n",   \
                           class_check_object_, (uint32_t)(id), class_check_found_);           \
    } while (0)

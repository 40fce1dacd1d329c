// The steps the skin's script-facing objects (HTTP request, text file reader and writer, file
// extraction) take alike, written once: the counted object made and freed, names held in fixed
// fields (copied whole or refused), the File they read or write through, the hash their script
// calls are dispatched by and the context hooks the script invoker calls.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/platform/file.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/log.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"

// A zeroed object of Type holding one reference and its instance id, deleted through deleteHandle.
template <typename Type> Type* ScriptObject_New(uint32_t classId, int64_t (*deleteHandle)(void**)) {
    Type* object = static_cast<Type*>(Memory_AllocZero(sizeof(Type)));
    object->Header.ClassId = classId;
    object->Header.RefCount = 1;
    object->Header.Delete = deleteHandle;
    Class_GenerateInstanceIdReal(object);
    return object;
}

// The last step of a Delete, once the object's own parts are gone: freed, the handle nulled.
template <typename Type> int64_t ScriptObject_Free(Type** handle) {
    (*handle)->Header.ClassId = 0;
    Memory_Free(*handle, sizeof(Type));
    *handle = nullptr;
    return 1;
}

// A name into a field of size bytes: one that does not fit is refused whole (0), never cut.
inline int64_t ScriptObject_SetName(char* field, size_t size, const char* name) {
    ASSERT_POINTER(name);
    if (strlen(name) >= size) return 0;
    String_CopyLength(field, name, (int32_t)size);
    return 1;
}

// A file name a script gave, taken as it is (nothing expands it), that names a location nobody
// could name ("{workflowDirectory}" of a workflow not read from a file) or a refused folder: true,
// with a line saying why. Such a name is refused whole, never taken relative to the current folder.
inline bool ScriptObject_RefusesLocation(const char* name) {
    char why[512], shown[1024];
    if (!String_ExpandJudgeLocation(name, why, (int32_t)sizeof(why), shown, (int32_t)sizeof(shown))) return false;
    Log_Error("File name refused: it %s: %s\n", why, shown);
    return true;
}

inline int64_t ScriptObject_SetFileName(char* field, size_t size, const char* name) {
    ASSERT_POINTER(name);
    return ScriptObject_RefusesLocation(name) ? 0 : ScriptObject_SetName(field, size, name);
}

inline int64_t ScriptObject_GetName(const char* field, char* buffer, int32_t size) {
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, field, size);
    return 1;
}

inline int64_t ScriptObject_GetNamePtr(const char* field, const char** name) {
    ASSERT_POINTER(name);
    *name = field;
    return 1;
}

// The File an object reads or writes through: one attempt at each step, and no folder made on the
// way to a name a script gave.
inline void ScriptObject_CreateFile(File** file) {
    File_Create(file);
    File_SetRetries(*file, 1);
    File_SetAutoCreateDirectories(*file, 0);
}


// Prefix_ReleaseContext, which the script invoker calls when a script drops its object of Type.
#define SCRIPT_OBJECT_RELEASE_CONTEXT(Prefix, Type)                                                          \
    int64_t Prefix##_ReleaseContext(void** userContext) {                                                    \
        Type* object = static_cast<Type*>(*userContext);                                                     \
        *userContext = nullptr;                                                                              \
        return object ? Prefix##_Release(&object) : 0;                                                       \
    }

// Prefix_ReleaseContext, and Prefix_ProcessContext, which the script invoker calls to let the object
// of Type move on.
#define SCRIPT_OBJECT_CONTEXT(Prefix, Type)                                                                  \
    SCRIPT_OBJECT_RELEASE_CONTEXT(Prefix, Type)                                                              \
    int64_t Prefix##_ProcessContext(void* userContext) {                                                     \
        return userContext ? Prefix##_Process(static_cast<Type*>(userContext)) : 0;                          \
    }

// What the two file storage backends share: configuration lookups, result pairs of system
// failures and the ends of operation steps, the print trampoline into the storage front and the
// collapse of emptied directories.
#pragma once

#include <cstdint>

#include "core/runtime/memory.h"
#include "repository/storage.h"

// Result pair of an errno value: a symbolic link on the way is refused as content, any other
// failure is an OS error carrying the platform error code.
void StorageFileInternal_ErrorPair(int32_t error, uint32_t* code, uint32_t* extended);

// Ends an operation step with the result pair, or with the result pair of an errno value; both
// answer 1, the step having been taken.
int64_t StorageFileInternal_Finish(StorageOperation* operation, uint32_t code, uint32_t extended);
int64_t StorageFileInternal_FinishError(StorageOperation* operation, int32_t error);

// The value of key from the storage's dictionary, else from the engine configuration under its
// dotted path (a key of core/runtime/app_config_keys.h), else the default (null: none). 1 when a
// value was found or defaulted.
int64_t StorageFileInternal_GetString(void* engine, Dictionary* dictionary, const char* key, const char* path,
                                      const char* fallback, char* buffer, int32_t size);
int64_t StorageFileInternal_GetBoolean(void* engine, Dictionary* dictionary, const char* key, const char* path,
                                       uint32_t fallback, uint32_t* value);

// Removes the emptied directories holding `name` (a checked name below root) one by one upward,
// stopping at the first that cannot be removed; prints each through print(user, format, dir).
// 0, or the errno value of a removal the disk failed (EIO, ENOSPC, EDQUOT).
int32_t StorageFileInternal_Collapse(const char* root, const char* name, void* user,
                                     int64_t (*print)(void* user, const char* directory));

// A verbose line of a backend's print family when no storage front is bound.
int64_t StorageFileInternal_PrintFallback(void* user, const char* format, ...);

// A zeroed backend object of Type holding one reference, deleted through deleteHandle.
template <typename Type> Type* StorageFileInternal_New(uint32_t classId, int64_t (*deleteHandle)(void**)) {
    Type* b = static_cast<Type*>(Memory_AllocZero(sizeof(Type)));
    b->Header.ClassId = classId;
    b->Header.RefCount = 1;
    b->Header.Delete = deleteHandle;
    return b;
}

// The last step of a deleteHandle, once the object's own parts are gone: the object is freed and
// the handle nulled.
template <typename Type> int64_t StorageFileInternal_Free(void** handle) {
    Type* b = static_cast<Type*>(*handle);
    b->Header.ClassId = 0;
    Memory_Free(b, sizeof(Type));
    *handle = nullptr;
    return 1;
}

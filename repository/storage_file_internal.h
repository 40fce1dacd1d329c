// What the two file storage backends share: configuration lookups, result pairs of system
// failures, the print trampoline into the storage front and the collapse of emptied directories.
#pragma once

#include <cstdint>

#include "repository/storage.h"

// Result pair of an errno value: a symbolic link on the way is refused as content, any other
// failure is an OS error carrying the platform error code.
void StorageFileInternal_ErrorPair(int32_t error, uint32_t* code, uint32_t* extended);

// The value of key from the storage's dictionary, else from the engine configuration under
// "storage.<key>", else the default (null: none). 1 when a value was found or defaulted.
int64_t StorageFileInternal_GetString(void* engine, Dictionary* dictionary, const char* key, const char* fallback,
                                      char* buffer, int32_t size);
int64_t StorageFileInternal_GetBoolean(void* engine, Dictionary* dictionary, const char* key, uint32_t fallback,
                                       uint32_t* value);

// Removes the emptied directories holding `name` (a checked name below root) one by one upward,
// stopping at the first that cannot be removed; prints each through print(user, format, dir).
void StorageFileInternal_Collapse(const char* root, const char* name, void* user,
                                  int64_t (*print)(void* user, const char* directory));

// A verbose line of a backend's print family when no storage front is bound.
int64_t StorageFileInternal_PrintFallback(void* user, const char* format, ...);

// The rule every name from a manifest (or expanded from a piece path template) must pass before
// the file storage backends act on it, and the ignore file's list of names never erased.
#pragma once

#include <cstdint>

struct HashTable;

// Writes the name in its normal form: '\' becomes '/', empty and "." components are dropped.
// 0 (and an empty out) for a name that is empty, absolute, has a ".." component, normalises to
// nothing, or does not fit size: such a name could reach outside the storage's directory.
int64_t StorageFilePath_Check(const char* name, char* out, int32_t size);
// Whether any '/'-separated component of the name ends in the suffix of the storage's copies, that
// suffix and a number (a copy's name where the usual one is held), either with "~" (a copy's
// scratch name): a name the storage keeps for itself, as a file or as a folder, for any file. Never
// with an empty suffix.
int64_t StorageFilePath_IsReserved(const char* name, const char* suffix);
// Whether the name is one the installation keeps for itself beside its local manifest, `kept`
// being the manifest's name below the folder (nothing is kept when it is empty or null): the
// manifest, "<kept>.replaced", any ".<leaf>.<more>" in the manifest's folder (a save's scratch),
// anything below one of these, and every folder on the way to the manifest (a file there would
// stand where it is kept). Compared without case, as a manifest's index compares names.
int64_t StorageFilePath_IsKept(const char* name, const char* kept);

// Reads an ignore file's JSON text and adds every string of its root container to the set (a
// table of string keys of STORAGE_FILE_PATH_SIZE bytes). 0 when the text does not parse; the
// strings read before the fault stay in the set.
int64_t StorageFilePath_IgnoreParse(const void* bytes, uint32_t length, HashTable* set);
// A table for StorageFilePath_IgnoreParse (names compared without case).
int64_t StorageFilePath_IgnoreCreate(HashTable** set);

enum : int32_t { STORAGE_FILE_PATH_SIZE = 320 };

// The installation as a storage backend: the manifest's byte stream mapped onto the real files it
// names, read and written in place, files completed (size, name, time, attributes, links) and
// erased. Every name is held to the name rule and reached below the directory without links.
#pragma once

#include <cstdint>

#include "repository/storage_file_backend.h"

struct StorageFile;

enum : uint32_t {
    STORAGE_FILE_CLASS_ID = 0x59fc018b,
    // extraFileFlags bit set when system buffering is off.
    STORAGE_FILE_NO_BUFFER = 0x100,
};

// Options of the open word (printed by "Open"): the read and write bits, self-update, shared
// read, opened under the partial name, then extraFileFlags.
enum : uint32_t {
    STORAGE_FILE_OPEN_READ = 1,
    STORAGE_FILE_OPEN_WRITE = 2,
    STORAGE_FILE_OPEN_SELF_UPDATE = 4,
    STORAGE_FILE_OPEN_SHARED = 32,
    STORAGE_FILE_OPEN_PARTIAL = 128,
};

// The row of operations bound by the type "file" (StorageFile_Interface) and the print family,
// class name "StorageFile", where "Open", "Close", "Erase", "Collapse" and "File Complete" are
// verbose lines. The last release waits until no transfer holds an open file, then closes every
// one. Configure's context is the engine configuration (a Dictionary, or null), its dictionary the
// storage's own.
STORAGE_FILE_DECLARE_BACKEND(StorageFile, StorageFile);

// One file per piece as a storage backend: each piece kept whole (in its stored encoding) in a
// file of its own below a directory, named from a path template; a local piece cache and the
// pending content of an update.
#pragma once

#include <cstdint>

#include "repository/storage_file_backend.h"

struct StorageFilePiece;

enum : uint32_t { STORAGE_FILE_PIECE_CLASS_ID = 0xa9570f49 };

// The row of operations bound by the type "filePiece" (StorageFilePiece_Interface) and the print
// family, class name "StorageFilePiece". Configure's context is the engine configuration (a
// Dictionary, or null), its dictionary the storage's own.
STORAGE_FILE_DECLARE_BACKEND(StorageFilePiece, StorageFilePiece);

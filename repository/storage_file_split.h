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
extern const StorageInterface StorageFilePiece_Interface;
int64_t StorageFilePiece_Create(void** instance);
int64_t StorageFilePiece_AddRef(void* instance);
int64_t StorageFilePiece_Release(void** instance);
int64_t StorageFilePiece_SetPrintCallback(void* instance, Storage* storage,
                                          int64_t (*print)(Storage*, const char*, ...));
int64_t StorageFilePiece_Configure(void* instance, Storage* storage, void* context, Dictionary* dictionary,
                                   uint32_t* outFlags);
int64_t StorageFilePiece_Shutdown(void* instance, Storage* storage);
int64_t StorageFilePiece_SetActive(void* instance, Storage* storage, uint32_t active);
int64_t StorageFilePiece_Dump(void* instance, Storage* storage, Dictionary* dictionary);
int64_t StorageFilePiece_Process(void* instance, Storage* storage);
int64_t StorageFilePiece_Exists(void* instance, StorageOperation* operation);
int64_t StorageFilePiece_Get(void* instance, StorageOperation* operation);
int64_t StorageFilePiece_Put(void* instance, StorageOperation* operation);
int64_t StorageFilePiece_Erase(void* instance, StorageOperation* operation);
int64_t StorageFilePiece_FileErase(void* instance, StorageOperation* operation);
int64_t StorageFilePiece_FileComplete(void* instance, StorageOperation* operation);
int64_t StorageFilePiece_VPrint(StorageFilePiece* object, int32_t indent, const char* format, va_list args);
int64_t StorageFilePiece_Print(StorageFilePiece* object, const char* format, ...);
int64_t StorageFilePiece_PrintTabbed(StorageFilePiece* object, int32_t indent, const char* format, ...);
int64_t StorageFilePiece_IsVerboseLevel(StorageFilePiece* object, int32_t level);
int64_t StorageFilePiece_VerboseLog(StorageFilePiece* object, int32_t level, const char* format, ...);
int64_t StorageFilePiece_SetPrintCallback(StorageFilePiece* object, void* user, ClassPrintCallback callback);
int64_t StorageFilePiece_GetPrintCallback(StorageFilePiece* object, void** user,
                                          ClassPrintCallback* callback);
int64_t StorageFilePiece_SetPrintIdentifier(StorageFilePiece* object, const char* text);
int64_t StorageFilePiece_SetVerbose(StorageFilePiece* object, uint32_t verbose);
int64_t StorageFilePiece_GetVerbose(StorageFilePiece* object, uint32_t* verbose);
int64_t StorageFilePiece_PrintInternal(void* user, const char* format, ...);

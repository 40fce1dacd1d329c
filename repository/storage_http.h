// The read-only storage backends that fetch content from a web server: StorageHTTP reads byte
// ranges of the installation's own files below a base URL, StorageHTTPPiece one URL per piece.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct StorageHTTP;
struct StorageHTTPPiece;
struct StorageInterface;

enum : uint32_t {
    STORAGE_HTTP_CLASS_ID = 0xe2d0bae3,
    STORAGE_HTTP_PIECE_CLASS_ID = 0x89f85c85,
};

enum : int32_t {
    STORAGE_HTTP_URL_SIZE = 8192,
    STORAGE_HTTP_NAME_SIZE = 320,
};

// The backends' rows of operations for the storage front ("http", and every unknown type).
extern const StorageInterface StorageHTTP_Interface;
extern const StorageInterface StorageHTTPPiece_Interface;

// Counted handles; the last release shuts the backend down and frees its request slots.
int64_t StorageHTTP_Create(StorageHTTP** handle);
int64_t StorageHTTP_AddRef(StorageHTTP* backend);
int64_t StorageHTTP_Release(StorageHTTP** handle);
int64_t StorageHTTP_GetInstanceId(StorageHTTP* backend, char* buffer, int32_t size);
int64_t StorageHTTPPiece_Create(StorageHTTPPiece** handle);
int64_t StorageHTTPPiece_AddRef(StorageHTTPPiece* backend);
int64_t StorageHTTPPiece_Release(StorageHTTPPiece** handle);
int64_t StorageHTTPPiece_GetInstanceId(StorageHTTPPiece* backend, char* buffer, int32_t size);

// Print blocks; class names "StorageHTTP" and "StorageHTTPPiece".
int64_t StorageHTTP_VPrint(StorageHTTP* backend, int32_t indent, const char* format, va_list args);
int64_t StorageHTTP_Print(StorageHTTP* backend, const char* format, ...);
int64_t StorageHTTP_PrintTabbed(StorageHTTP* backend, int32_t indent, const char* format, ...);
int64_t StorageHTTP_IsVerboseLevel(StorageHTTP* backend, int32_t level);
int64_t StorageHTTP_VerboseLog(StorageHTTP* backend, int32_t level, const char* format, ...);
int64_t StorageHTTP_SetPrintCallback(StorageHTTP* backend, void* user, ClassPrintCallback callback);
int64_t StorageHTTP_GetPrintCallback(StorageHTTP* backend, void** user, ClassPrintCallback* callback);
int64_t StorageHTTP_SetPrintIdentifier(StorageHTTP* backend, const char* text);
int64_t StorageHTTP_SetVerbose(StorageHTTP* backend, uint32_t verbose);
int64_t StorageHTTP_GetVerbose(StorageHTTP* backend, uint32_t* verbose);

int64_t StorageHTTPPiece_VPrint(StorageHTTPPiece* backend, int32_t indent, const char* format, va_list args);
int64_t StorageHTTPPiece_Print(StorageHTTPPiece* backend, const char* format, ...);
int64_t StorageHTTPPiece_PrintTabbed(StorageHTTPPiece* backend, int32_t indent, const char* format, ...);
int64_t StorageHTTPPiece_IsVerboseLevel(StorageHTTPPiece* backend, int32_t level);
int64_t StorageHTTPPiece_VerboseLog(StorageHTTPPiece* backend, int32_t level, const char* format, ...);
int64_t StorageHTTPPiece_SetPrintCallback(StorageHTTPPiece* backend, void* user, ClassPrintCallback callback);
int64_t StorageHTTPPiece_GetPrintCallback(StorageHTTPPiece* backend, void** user, ClassPrintCallback* callback);
int64_t StorageHTTPPiece_SetPrintIdentifier(StorageHTTPPiece* backend, const char* text);
int64_t StorageHTTPPiece_SetVerbose(StorageHTTPPiece* backend, uint32_t verbose);
int64_t StorageHTTPPiece_GetVerbose(StorageHTTPPiece* backend, uint32_t* verbose);

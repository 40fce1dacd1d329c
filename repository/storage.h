// One storage endpoint of a repository: binds a backend by name through its table of operations,
// keeps the encodings of the stored data and runs every piece operation as a chain of steps.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct Dictionary;
struct EventQueue;
struct FileListMember;
struct MeterRW;
struct MetaFile;
struct OffsetCache;
struct Storage;
struct StorageOperation;
struct StorageRequest;
struct StorageRequestMember;

enum : uint32_t {
    STORAGE_CLASS_ID = 0xe9acbc51,
    // Encodings of the stored data.
    STORAGE_FLAG_PAD = 1,
    STORAGE_FLAG_GZIP = 2,
    STORAGE_FLAG_VCDIFF = 4,
    STORAGE_FLAG_AES256 = 8,
    // Identifier and password capacities, terminator included.
    STORAGE_IDENTIFIER_SIZE = 8192,
    STORAGE_PASSWORD_SIZE = 320,
};

// Result codes of the operations (with an extended code each).
enum : uint32_t {
    STORAGE_OK = 0,
    STORAGE_NOT_FOUND = 404,
    STORAGE_NOT_SUPPORTED = 501,
    STORAGE_ERROR_SIZE_LIMIT = 959,
    STORAGE_ERROR_COMPRESSION = 960,
    STORAGE_ERROR_UNDERFLOW = 962,
    STORAGE_ERROR_OS = 964,
    STORAGE_ERROR_INVALID_CONTENT = 976,
    STORAGE_ERROR_HASH_FAILURE = 979,
    STORAGE_ERROR_VCDIFF = 988,
    STORAGE_ERROR_STORAGE = 989,
    // Extended codes of STORAGE_ERROR_STORAGE.
    STORAGE_EXTENDED_SHUTDOWN = 1,
    STORAGE_EXTENDED_BAD_CONTAINER = 6,
    STORAGE_EXTENDED_BAD_DIGEST = 7,
    STORAGE_EXTENDED_PASSWORD_CANCELLED = 9,
};

// The storage's print function handed to its backend (Storage_Print).
typedef int64_t (*StoragePrintFunc)(Storage* storage, const char* format, ...);

// A backend's constant row of operations, in slot order. Every entry but SetActive must be set.
// Each operation step (Exists .. FileComplete) ends exactly once with Storage_OperationComplete,
// from any thread, at once or later.
struct StorageInterface {
    const char* Name;
    int64_t (*Create)(void** instance);
    int64_t (*AddRef)(void* instance);
    int64_t (*Release)(void** instance);
    int64_t (*SetPrintCallback)(void* instance, Storage* storage, StoragePrintFunc print);
    int64_t (*Configure)(void* instance, Storage* storage, void* context, Dictionary* dictionary,
                         uint32_t* outFlags);
    int64_t (*Shutdown)(void* instance, Storage* storage);
    int64_t (*SetActive)(void* instance, Storage* storage, uint32_t active);
    int64_t (*Dump)(void* instance, Storage* storage, Dictionary* dictionary);
    int64_t (*Process)(void* instance, Storage* storage);
    int64_t (*Exists)(void* instance, StorageOperation* operation);
    int64_t (*Get)(void* instance, StorageOperation* operation);
    int64_t (*Put)(void* instance, StorageOperation* operation);
    int64_t (*Erase)(void* instance, StorageOperation* operation);
    int64_t (*FileErase)(void* instance, StorageOperation* operation);
    int64_t (*FileComplete)(void* instance, StorageOperation* operation);
};

// The completion of a piece operation, run on the storage's event queue. requestSlot is the
// request (Get, Put, Exists), null (Erase) or the file record (FileErase, FileComplete).
typedef void (*StorageCallback)(Storage* storage, void* user, void* requestSlot, uint32_t code,
                                uint32_t extendedCode);
// Asked on the storage's event queue for the source pieces of a delta; completes the operation
// with Storage_OperationComplete once the request's delta request holds them.
typedef void (*StorageDeltaSourceFunc)(Storage* storage, void* user, StorageOperation* operation);

// Backend rows by "type" name ("file", "filePiece", "http", "httpPiece"). The built-in backends
// are put in the table on first use (storage_backends.cpp); a row registered under a name
// replaces the one there. 0 for any other name.
int64_t Storage_RegisterInterface(const char* type, const StorageInterface* row);

int64_t Storage_Create(Storage** handle);
int64_t Storage_AddRef(Storage* storage);
// The last release unbinds the backend and removes the storage's queued events.
int64_t Storage_Release(Storage** handle);
int64_t Storage_GetInstanceId(Storage* storage, char* buffer, int32_t size);

// Binding and settings.
// Reads "type" and "flags", binds the row, then answers the backend's Configure.
int64_t Storage_Configure(Storage* storage, void* context, Dictionary* dictionary, uint32_t* outFlags);
// "file", "filePiece", "http" (case ignored) give their rows, anything else the httpPiece row.
const StorageInterface* Storage_InterfaceFromName(const char* name);
// "file", "filePiece", "http", "httpPiece"; "none" for no row, "unknown" for another row.
const char* Storage_NameFromInterface(const StorageInterface* row);
int64_t Storage_SetInterface(Storage* storage, const StorageInterface* row);
int64_t Storage_HasInterface(Storage* storage);
int64_t Storage_GetInterface(Storage* storage, const StorageInterface** row);
int64_t Storage_GetInterfaceHandle(Storage* storage, void** instance);

int64_t Storage_GetFlags(Storage* storage, uint32_t* flags);
int64_t Storage_SetFlags(Storage* storage, uint32_t flags);
int64_t Storage_GetIdentifier(Storage* storage, char* buffer, int32_t size);
int64_t Storage_SetIdentifier(Storage* storage, const char* identifier);
int64_t Storage_GetPassword(Storage* storage, char* buffer, int32_t size);
int64_t Storage_SetPassword(Storage* storage, const char* password);
int64_t Storage_GetEventQueueHandle(Storage* storage, EventQueue** queue);
int64_t Storage_SetEventQueueHandle(Storage* storage, EventQueue* queue);
int64_t Storage_GetTrafficControllerHandle(Storage* storage, void** controller);
int64_t Storage_SetTrafficControllerHandle(Storage* storage, void* controller);
int64_t Storage_SetDeltaSourceCallback(Storage* storage, void* user, StorageDeltaSourceFunc function);

int64_t Storage_GetErrorCount(Storage* storage, uint32_t* count);
int64_t Storage_DecrementErrorCount(Storage* storage);
int64_t Storage_GetPendingRequests(Storage* storage, uint32_t* count);
int64_t Storage_IncrementPendingRequests(Storage* storage);
int64_t Storage_DecrementPendingRequests(Storage* storage);
// Time (Time_GetCurrent seconds) of the last successful step.
int64_t Storage_GetIOTime(Storage* storage, double* time);
int64_t Storage_SetIOTime(Storage* storage, double time);

// Bandwidth of the storage's read/write meter.
int64_t Storage_GetOverallUsage(Storage* storage, uint64_t* read, uint64_t* write);
int64_t Storage_GetMaxBandwidth(Storage* storage, double* read, double* write);
int64_t Storage_GetCurrentBandwidth(Storage* storage, double* read, double* write);
int64_t Storage_GetLimitBandwidth(Storage* storage, int32_t* read, int32_t* write);
int64_t Storage_SetLimitBandwidth(Storage* storage, int32_t read, int32_t write);
int64_t Storage_GetMeterRWHandle(Storage* storage, MeterRW** meter);

// Forwarded to the backend (SetActive not while shutting down).
int64_t Storage_SetActive(Storage* storage, uint32_t active);
int64_t Storage_Process(Storage* storage);
// Once: later steps fail with 989/1, waiting password challenges complete with 989/1.
int64_t Storage_Shutdown(Storage* storage);
// Unbinds the backend, clears the password and drops queued events.
int64_t Storage_Reset(Storage* storage);
int64_t Storage_Dump(Storage* storage, Dictionary* dictionary);

// Expands {SourceInfoHash}, {TargetInfoHash}, {TargetDigest} and {TargetIndex} (case ignored)
// and the other macros in template into output. A null sourceInfoHash leaves its token as it is.
int64_t Storage_Format(Storage* storage, const char* format, MetaFile* targetManifest, int32_t targetIndex,
                       const char* sourceInfoHash, char* output, int32_t size);

// Piece operations: each answers 1 at once and later calls callback on the storage's event queue.
// cache may be null.
int64_t Storage_Get(Storage* storage, StorageRequest* request, OffsetCache* cache, void* user,
                    StorageCallback callback);
int64_t Storage_Put(Storage* storage, StorageRequest* request, void* user, StorageCallback callback);
int64_t Storage_Exists(Storage* storage, StorageRequest* request, void* user, StorageCallback callback);
int64_t Storage_Erase(Storage* storage, MetaFile* manifest, int32_t pieceIndex, void* user,
                      StorageCallback callback);
int64_t Storage_FileErase(Storage* storage, MetaFile* manifest, FileListMember* file, void* user,
                          StorageCallback callback);
int64_t Storage_FileComplete(Storage* storage, StorageRequest* request, FileListMember* file, void* user,
                             StorageCallback callback);

// Ends a step (0, 0 for success); how every step, the backends' included, finishes.
int64_t Storage_OperationComplete(StorageOperation* operation, uint32_t code, uint32_t extendedCode);
// What a step works on. Each clears its out value first and answers 0 when the step has none.
int64_t Storage_OperationGetStorage(StorageOperation* operation, Storage** storage);
// The request of Get, Put, Exists and FileComplete steps (and of the delta-source step).
int64_t Storage_OperationGetRequest(StorageOperation* operation, StorageRequest** request);
// The member of a backend Get, Put or Exists step.
int64_t Storage_OperationGetMember(StorageOperation* operation, StorageRequestMember** member);
// The manifest of Erase and FileErase steps.
int64_t Storage_OperationGetMetaFile(StorageOperation* operation, MetaFile** manifest);
// The piece index of an Erase step.
int64_t Storage_OperationGetPieceIndex(StorageOperation* operation, int32_t* index);
// The file record of FileErase and FileComplete steps.
int64_t Storage_OperationGetFileRecord(StorageOperation* operation, FileListMember** file);

// Print family, class name "Storage".
int64_t Storage_VPrint(Storage* storage, int32_t indent, const char* format, va_list args);
int64_t Storage_Print(Storage* storage, const char* format, ...);
int64_t Storage_PrintTabbed(Storage* storage, int32_t indent, const char* format, ...);
int64_t Storage_IsVerboseLevel(Storage* storage, int32_t level);
int64_t Storage_VerboseLog(Storage* storage, int32_t level, const char* format, ...);
int64_t Storage_SetPrintCallback(Storage* storage, void* user, ClassPrintCallback callback);
int64_t Storage_GetPrintCallback(Storage* storage, void** user, ClassPrintCallback* callback);
int64_t Storage_SetPrintIdentifier(Storage* storage, const char* text);
int64_t Storage_SetVerbose(Storage* storage, uint32_t verbose);
int64_t Storage_GetVerbose(Storage* storage, uint32_t* verbose);
int64_t Storage_PrintInternal(void* user, const char* format, ...);

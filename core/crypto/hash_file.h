// Incremental digest of one file, at most 64 KiB per step, so that a caller's loop can hash large
// files without blocking, show progress and stop between steps (launch checks, file-digest task).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/crypto/hash.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"

struct File;
struct HashFile;

enum : uint32_t { HASHFILE_CLASS_ID = 0xF8AF52B7 };

enum : int32_t {
    HASHFILE_PATH_SIZE = 320,
    HASHFILE_READ_SIZE = 65536,
};

typedef void (*HashFileStartFunc)(HashFile* hashFile, void* user);
typedef void (*HashFileCompleteFunc)(HashFile* hashFile, void* user, uint32_t success);

struct HashFile {
    Class Header;
    ClassPrint Print;
    // Empty after HashFile_Reset.
    char Path[HASHFILE_PATH_SIZE];
    uint64_t FileSize;
    uint64_t BytesLeft;
    uint64_t BytesRead;
    // Open exactly while a run is under way.
    File* FileHandle;
    // The bound algorithm and its running state.
    Hash* Digest;
    uint8_t ReadBuffer[HASHFILE_READ_SIZE];
    // The file layer's code of the last failed open or read; 0 once a start begins.
    uint32_t LastFileError;
    CallbackBase StartCallback;
    CallbackBase CompleteCallback;
};

int64_t HashFile_Create(HashFile** handle);
int64_t HashFile_Delete(HashFile** handle);
int64_t HashFile_AddRef(HashFile* hashFile);
int64_t HashFile_Release(HashFile** handle);
int64_t HashFile_GetInstanceId(HashFile* hashFile, char* buffer, int32_t size);

int64_t HashFile_SetInterface(HashFile* hashFile, const HashInterface* record);
// Cut to 319 characters.
int64_t HashFile_SetPath(HashFile* hashFile, const char* path);
int64_t HashFile_GetPath(HashFile* hashFile, char* out, uint32_t capacity);
// The user object is not referenced. Callbacks run on the thread that calls Start or Process.
int64_t HashFile_SetStartCallback(HashFile* hashFile, void* user, HashFileStartFunc function);
int64_t HashFile_SetCompleteCallback(HashFile* hashFile, void* user, HashFileCompleteFunc function);

// Opens the file and begins a run; 0 only when the open fails (completion then reports 0). An
// empty path completes with 0 and answers 1; a start while running changes nothing.
int64_t HashFile_Start(HashFile* hashFile);
// One step of at most 64 KiB. 0 when no run is under way, or when a read fails or the file ends
// early (the run then completes with 0); else 1. The step that reads the last byte generates
// the digest, closes the file and completes with 1.
int64_t HashFile_Process(HashFile* hashFile);
int64_t HashFile_IsRunning(HashFile* hashFile);
// Closes the file without a callback, resets the digest and empties the path.
int64_t HashFile_Reset(HashFile* hashFile);
// Valid after a successful completion.
int64_t HashFile_GetDigest(HashFile* hashFile, uint8_t* out, uint32_t capacity);
int64_t HashFile_GetString(HashFile* hashFile, uint32_t spaced, char* out, uint32_t capacity);
int64_t HashFile_GetFileSize(HashFile* hashFile, uint64_t* size);
int64_t HashFile_GetBytesLeft(HashFile* hashFile, uint64_t* bytes);
int64_t HashFile_GetBytesRead(HashFile* hashFile, uint64_t* bytes);
int64_t HashFile_GetLastFileError(HashFile* hashFile, uint32_t* error);

// The whole file in one call: lowercase hex into out; 0 (out empty) when the path is empty, the
// file cannot be opened or read, or there is no record.
int64_t HashFile_QuickString(const HashInterface* record, const char* path, uint32_t spaced, char* out,
                             uint32_t capacity);

// Print block; class name "HashFile", by default one DEBUG log line per line.
int64_t HashFile_VPrint(HashFile* hashFile, int32_t tabs, const char* format, va_list args);
int64_t HashFile_Print(HashFile* hashFile, const char* format, ...);
int64_t HashFile_PrintTabbed(HashFile* hashFile, int32_t tabs, const char* format, ...);
int64_t HashFile_VerboseLog(HashFile* hashFile, int32_t level, const char* format, ...);
int64_t HashFile_IsVerboseLevel(HashFile* hashFile, int32_t level);
int64_t HashFile_SetPrintCallback(HashFile* hashFile, void* user, ClassPrintCallback function);
int64_t HashFile_GetPrintCallback(HashFile* hashFile, void** user, ClassPrintCallback* function);
int64_t HashFile_SetPrintIdentifier(HashFile* hashFile, const char* identifier);
int64_t HashFile_SetVerbose(HashFile* hashFile, uint32_t verbose);
int64_t HashFile_GetVerbose(HashFile* hashFile, uint32_t* verbose);
int64_t HashFile_PrintInternal(void* user, const char* format, ...);

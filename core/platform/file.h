// The synchronous file object: opens a path with a word of mode flags (retrying an existing file
// that will not open, creating a missing one and its directories), reads, writes, seeks,
// truncates, locks ranges, reads and sets the file's times, and serves as a Stream.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/platform/stream.h"
#include "core/runtime/class.h"
#include "core/runtime/time.h"

enum : uint32_t { FILE_CLASS_ID = 0xD2D88D63 };

// FileOpenFlags.
typedef uint32_t FileOpenFlags;
enum : uint32_t {
    FILE_READ = 0x01,
    FILE_WRITE = 0x02,     // a missing file is created, with its directories
    FILE_ALTERNATE = 0x04, // the platform's alternate mode word; no caller sets it
    FILE_TRUNCATE = 0x08,  // the file is emptied; an existing one is replaced whole at close
    FILE_APPEND = 0x10,    // position at the end; with FILE_READ and FILE_WRITE the file is not created
    FILE_SHARED = 0x20,    // sharing requests, ignored by this platform
    FILE_SHARED_EXTRA = 0x40,
    FILE_QUIET = 0x80,     // failures of the "Missing" class are not logged
    FILE_NOBUFFER = 0x100, // unbuffered I/O: refused
};

enum : int32_t {
    FILE_PATH_SIZE = 320,
    FILE_DEFAULT_RETRIES = 20,
};

struct File;

// A closed File: 20 retries, directories created on demand, Stream slots filled.
int64_t File_Create(File** handle);
// Closes a File still open (with a debug line), frees it and clears the handle.
int64_t File_Delete(File** handle);
int64_t File_AddRef(File* file);
// Releases and nulls the handle; the last release deletes.
int64_t File_Release(File** handle);
int64_t File_GetInstanceId(File* file, char* buffer, int32_t size);

// Opening an open File, FILE_NOBUFFER, or neither FILE_READ nor FILE_WRITE stop the process.
int64_t File_Open(File* file, const char* path, FileOpenFlags flags);
// Success when nothing is open. The descriptor is given up even when closing reports a failure.
// A replacement in progress takes the file's place here, unless a write, flush or truncation
// failed since the open: then the old file stays and the answer is 0.
int64_t File_Close(File* file);
// Clears the last error and closes.
int64_t File_Reset(File* file);
int64_t File_IsOpen(File* file);

// One read at the current position; 0 with a count of 0 at the end of the file (no error).
int64_t File_Read(File* file, void* buffer, uint32_t length, uint32_t* read);
// 1 only when every byte was written.
int64_t File_Write(File* file, const void* buffer, int32_t length, uint32_t* written);
int64_t File_Seek(File* file, int64_t offset, uint32_t origin);
int64_t File_Tell(File* file, uint64_t* position);
// The position is left where it was.
int64_t File_Length(File* file, uint64_t* length);
// Forces the data to the device.
int64_t File_Flush(File* file);
// Cuts the file at the current position.
int64_t File_Truncate(File* file);
int64_t File_TruncateAt(File* file, int64_t offset);
// An exclusive record lock of start .. end without waiting; the position is kept.
int64_t File_Lock(File* file, int64_t start, int64_t end);
int64_t File_Unlock(File* file, int64_t start, int64_t end);
// This platform has no sparse files: always 0, with the platform's error recorded.
int64_t File_EnableSparseMode(File* file);

// Times of the path (a link's own times), as encoded time.
int64_t File_GetCreationTime(File* file, EncodedTime* time);
int64_t File_GetModifiedTime(File* file, EncodedTime* time);
int64_t File_SetCreationTime(File* file, EncodedTime time);
int64_t File_SetModifiedTime(File* file, EncodedTime time);
// The size seen when the file was opened; nothing refreshes it.
int64_t File_GetFilesizeBytes(File* file, uint64_t* size);
// The platform error code of the last failure (0 none).
int32_t File_GetLastError(File* file);

int64_t File_GetStreamHandle(File* file, Stream** stream);
// The resolved path of the last open.
const char* File_GetPathPtr(File* file);
int64_t File_GetPath(File* file, char* buffer, int32_t size);
int64_t File_SetRetries(File* file, uint32_t count);
int64_t File_GetRetries(File* file, uint32_t* count);
int64_t File_SetAutoCreateDirectories(File* file, uint32_t on);
int64_t File_GetAutoCreateDirectories(File* file, uint32_t* on);

// Print block; the class name printed is "File".
int64_t File_Print(File* file, const char* format, ...);
int64_t File_PrintTabbed(File* file, int32_t indent, const char* format, ...);
int64_t File_VPrint(File* file, int32_t indent, const char* format, va_list args);
// Prints only when the object's verbose level reaches 0; the code is not printed.
int64_t File_VerboseLog(File* file, int32_t code, const char* format, ...);
int64_t File_IsVerboseLevel(File* file, int32_t level);
int64_t File_SetPrintCallback(File* file, void* user, ClassPrintCallback callback);
int64_t File_GetPrintCallback(File* file, void** user, ClassPrintCallback* callback);
int64_t File_SetPrintIdentifier(File* file, const char* text);
int64_t File_SetVerbose(File* file, int32_t level);
int64_t File_GetVerbose(File* file, int32_t* level);

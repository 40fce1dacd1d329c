// Asynchronous files: reads and writes at absolute offsets run on the worker threads of the queue
// "com.quarvelon.asyncfile" and complete through a callback there, for components that move large
// amounts of data without blocking their own thread. The other operations act at once.
#pragma once

#include <cstdint>

#include "core/linux/platform_file.h"
#include "core/platform/file.h"
#include "core/platform/stream.h"
#include "core/runtime/meter_rw.h"
#include "core/runtime/time.h"

enum : uint32_t {
    ASYNC_FILE_CLASS_ID = 0x36BBE9BA,
    ASYNC_FILE_CONTEXT_TAG = 0x28B822FE,
    ASYNC_FILE_GLOBAL_TAG = 0xDEF01425,
};

enum : int32_t {
    ASYNC_FILE_PATH_SIZE = 320,
    ASYNC_FILE_DEFAULT_RETRIES = 20,
};

struct AsyncFile;

// Called once per request, on a worker thread, after the transfer has ended: the bytes moved
// and 0 or the errno value of the failure. A read that reaches the end of the file completes
// with fewer bytes (possibly 0) and error 0. The result is ignored.
typedef int64_t (*AsyncFileCallback)(AsyncFile* file, void* user, uint64_t offset, void* buffer,
                                     uint32_t transferred, int32_t error);

// Module state: the queue and the record pools. A second Init while the state exists stops
// the process. Remove does nothing without the state; it refuses (0, with an error line) while
// a file is still open, since its transfers would need the queue; otherwise it lets the queue
// finish what was posted and frees everything.
int64_t AsyncFile_Init();
int64_t AsyncFile_Remove();

// A closed file: retries 20, directories created on demand, meter and lock, Stream slots.
int64_t AsyncFile_Create(AsyncFile** handle);
// The delete function run by the last release: closes, frees and nulls the handle. An open
// file is never freed by releases alone: its channel and every request hold a reference.
int64_t AsyncFile_Delete(AsyncFile** handle);
AsyncFile* AsyncFile_AddRef(AsyncFile* file);
// The Class_Release result: the references left.
uint32_t AsyncFile_Release(AsyncFile** handle);
int64_t AsyncFile_GetInstanceId(AsyncFile* file, char* buffer, int32_t size);

// Opens the path with FileOpenFlags (see file.h) and answers whether it is open. A write-only
// open empties an existing file unless FILE_APPEND is set; FILE_APPEND positions at the end.
// Opening an open file, or neither FILE_READ nor FILE_WRITE, stops the process.
int64_t AsyncFile_Open(AsyncFile* file, const char* path, FileOpenFlags flags);
// Takes over a descriptor the caller opened (and checked) itself, for files that must be opened
// in a way the path form cannot express; the path is only recorded. The file must be closed.
// flags describe how the descriptor was opened. The descriptor is the file's from then on: it is
// closed by AsyncFile_Close, also when this call fails (0 for a negative descriptor).
int64_t AsyncFile_OpenDescriptor(AsyncFile* file, int32_t fd, const char* path, FileOpenFlags flags);
// Returns once every request issued before has finished its transfer (their callbacks may
// still be running); requests issued from then on complete with error 9 (EBADF). 1 always.
int64_t AsyncFile_Close(AsyncFile* file);

// Queue a transfer of size bytes at the absolute offset; 1. The buffer is the caller's until
// the callback has run (a write's buffer is not copied and must not change). The transfers of
// one file are carried out in the order they were issued, those of different files side by side;
// callbacks may run side by side in any case. Requests on a file that has been closed complete
// with error 9 and 0 bytes; on a file never opened they stop the process.
int64_t AsyncFile_Read(AsyncFile* file, uint64_t offset, void* buffer, uint32_t size, void* user,
                       AsyncFileCallback callback);
int64_t AsyncFile_Write(AsyncFile* file, uint64_t offset, const void* buffer, uint32_t size, void* user,
                        AsyncFileCallback callback);
// As AsyncFile_Read and AsyncFile_Write, for a caller that is a worker itself: where nothing else
// of the file is queued or being carried out, the transfer is made on the calling thread and its
// callback runs before the call returns (the caller must hold nothing the callback takes);
// otherwise the request is queued as those queue it.
int64_t AsyncFile_ReadHere(AsyncFile* file, uint64_t offset, void* buffer, uint32_t size, void* user,
                           AsyncFileCallback callback);
int64_t AsyncFile_WriteHere(AsyncFile* file, uint64_t offset, const void* buffer, uint32_t size, void* user,
                            AsyncFileCallback callback);
int64_t AsyncFile_HasPendingReads(AsyncFile* file);
int64_t AsyncFile_HasPendingWrites(AsyncFile* file);
int64_t AsyncFile_IsOpen(AsyncFile* file);

// Synchronous operations on the descriptor or the path; false with the last error set.
int64_t AsyncFile_Seek(AsyncFile* file, int64_t offset, SeekOrigin origin);
int64_t AsyncFile_Tell(AsyncFile* file, uint64_t* position);
// Cuts or extends the file; the position stays.
int64_t AsyncFile_TruncateAt(AsyncFile* file, int64_t length);
// The size of the open file (which keeps its data when its path is removed), else of the path.
int64_t AsyncFile_GetFilesizeBytes(AsyncFile* file, uint64_t* size);
// Sparse files are not supported: 0 always.
int64_t AsyncFile_EnableSparseMode(AsyncFile* file);
int64_t AsyncFile_GetCreationTime(AsyncFile* file, EncodedTime* time);
int64_t AsyncFile_GetModifiedTime(AsyncFile* file, EncodedTime* time);
int64_t AsyncFile_SetModifiedTime(AsyncFile* file, EncodedTime time);
int64_t AsyncFile_GetAttributes(AsyncFile* file, PlatformFileAttributes* attributes);
int64_t AsyncFile_SetAttributes(AsyncFile* file, PlatformFileAttributes attributes);
// Moves the file, replacing a file at the new path and flushing the result; the resolved new
// path becomes the stored one. A new path that does not fit the stored path is refused.
int64_t AsyncFile_Rename(AsyncFile* file, const char* path);
int32_t AsyncFile_GetLastError(AsyncFile* file);
int64_t AsyncFile_GetStreamHandle(AsyncFile* file, Stream** stream);

// The meter pair every transfer reports to (never limited by it); owners attach it to theirs.
int64_t AsyncFile_GetMeterRWHandle(AsyncFile* file, MeterRW** meter);
int64_t AsyncFile_GetOverallUsage(AsyncFile* file, uint64_t* read, uint64_t* write);
int64_t AsyncFile_GetMaxBandwidth(AsyncFile* file, double* read, double* write);
int64_t AsyncFile_GetCurrentBandwidth(AsyncFile* file, double* read, double* write);
int64_t AsyncFile_GetLimitBandwidth(AsyncFile* file, int32_t* read, int32_t* write);
int64_t AsyncFile_SetLimitBandwidth(AsyncFile* file, int32_t read, int32_t write);

// Settings. The retries are the open attempts on an existing file that will not open.
int64_t AsyncFile_SetRetries(AsyncFile* file, int32_t retries);
int64_t AsyncFile_GetRetries(AsyncFile* file, int32_t* retries);
int64_t AsyncFile_SetAutoCreateDirectories(AsyncFile* file, uint32_t on);
int64_t AsyncFile_GetAutoCreateDirectories(AsyncFile* file, uint32_t* on);
int64_t AsyncFile_SetVerbose(AsyncFile* file, uint32_t verbose);
int64_t AsyncFile_GetVerbose(AsyncFile* file, uint32_t* verbose);
int64_t AsyncFile_GetOpenFlags(AsyncFile* file, FileOpenFlags* flags);
// The resolved path of the last open or rename.
int64_t AsyncFile_GetPath(AsyncFile* file, char* buffer, int32_t size);
// Monotonic seconds of the last operation.
int64_t AsyncFile_GetLastUsedTime(AsyncFile* file, double* time);

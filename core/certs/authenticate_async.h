// Code-signature validation of one file on a worker thread of its own, so that the thread that
// drives the interface or a workflow never blocks; the owner polls and receives the 0/1 result
// through a completion callback on its own thread.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct AuthenticateAsync;
struct CertStoreInterface;

enum : uint32_t {
    AUTHENTICATEASYNC_CLASS_ID = 0x316d72f1,
    // Source kinds.
    AUTHENTICATEASYNC_SOURCE_PATH = 1,
};

enum : int32_t {
    AUTHENTICATEASYNC_PATH_SIZE = 320,
    // States.
    AUTHENTICATEASYNC_STATE_IDLE = 0,
    AUTHENTICATEASYNC_STATE_STARTED = 1,
    // How long deletion waits for a running worker.
    AUTHENTICATEASYNC_SHUTDOWN_TIMEOUT_MS = 120000,
};

typedef void (*AuthenticateAsyncStartFunc)(AuthenticateAsync* auth, void* user);
// result: 1 valid (or not checked because checking is off), 0 otherwise.
typedef void (*AuthenticateAsyncCompleteFunc)(AuthenticateAsync* auth, void* user, uint32_t result);

// Life. Delete waits for a running worker (up to the shutdown timeout), drops the store and frees
// the object; it raises no completion. A worker that outlives the wait frees the object itself
// when it ends, so deletion never leaves it reading freed memory.
int64_t AuthenticateAsync_Create(AuthenticateAsync** handle);
int64_t AuthenticateAsync_Delete(AuthenticateAsync** handle);
int64_t AuthenticateAsync_AddRef(AuthenticateAsync* auth);
// Releases and nulls the handle; the last release deletes. 0 for a null handle.
int64_t AuthenticateAsync_Release(AuthenticateAsync** handle);
int64_t AuthenticateAsync_GetInstanceId(AuthenticateAsync* auth, char* buffer, int32_t size);
// The wait of Delete for a running worker, in milliseconds (tests shorten it); 1.
int64_t AuthenticateAsync_SetShutdownTimeout(AuthenticateAsync* auth, int32_t timeoutMs);

// Settings; none may change while a worker runs. The store is held with a reference of its own
// (null only drops the one held).
int64_t AuthenticateAsync_SetCertStoreHandle(AuthenticateAsync* auth, CertStoreInterface* store);
// Cut to 319 characters.
int64_t AuthenticateAsync_SetSourcePath(AuthenticateAsync* auth, const char* path);
int64_t AuthenticateAsync_GetSourcePath(AuthenticateAsync* auth, char* buffer, int32_t size);
int64_t AuthenticateAsync_GetPath(AuthenticateAsync* auth, char* buffer, int32_t size);
// Recorded only: the check always reads the file at the source path.
int64_t AuthenticateAsync_SetSourceBuffer(AuthenticateAsync* auth, const void* buffer, uint32_t length);
int64_t AuthenticateAsync_GetSourceBuffer(AuthenticateAsync* auth, const void** buffer, uint32_t* length);
// The user objects are not referenced. Both run on the owner's thread.
int64_t AuthenticateAsync_SetStartCallback(AuthenticateAsync* auth, void* user,
                                           AuthenticateAsyncStartFunc function);
int64_t AuthenticateAsync_SetCompleteCallback(AuthenticateAsync* auth, void* user,
                                              AuthenticateAsyncCompleteFunc function);

// Starts a check. 0 with "Already running" while one is under way. With checking on, a worker
// validates the file (1); when it cannot be started, "Unable to create authentication process
// thread" is printed, the completion is raised with 0 at once and the answer is 0. With checking
// off, "Skipping authentication (%d) (%s)" is printed and the result 1 waits for the next poll.
int64_t AuthenticateAsync_Start(AuthenticateAsync* auth);
// One poll: once the worker has finished (or there is none), the object goes back to idle and
// the completion is raised with the result. Never waits; 1.
int64_t AuthenticateAsync_Process(AuthenticateAsync* auth);

// The worker's body, and the completion as the object raises it.
uint32_t AuthenticateAsync_InternalThreadProcess(void* auth);
int64_t AuthenticateAsync_InternalRaiseComplete(AuthenticateAsync* auth, uint32_t result);

// Print family; class name "AuthenticateAsync", by default one DEBUG log line per line.
int64_t AuthenticateAsync_Print(AuthenticateAsync* auth, const char* format, ...);
int64_t AuthenticateAsync_PrintTabbed(AuthenticateAsync* auth, int32_t indent, const char* format, ...);
int64_t AuthenticateAsync_VPrint(AuthenticateAsync* auth, int32_t indent, const char* format, va_list args);
// Prints only when the object's verbose level reaches level; 1 when printed.
int64_t AuthenticateAsync_VerboseLog(AuthenticateAsync* auth, int32_t level, const char* format, ...);
int64_t AuthenticateAsync_IsVerboseLevel(AuthenticateAsync* auth, int32_t level);
int64_t AuthenticateAsync_SetPrintCallback(AuthenticateAsync* auth, void* user, ClassPrintCallback callback);
int64_t AuthenticateAsync_GetPrintCallback(AuthenticateAsync* auth, void** user,
                                           ClassPrintCallback* callback);
int64_t AuthenticateAsync_SetPrintIdentifier(AuthenticateAsync* auth, const char* identifier);
int64_t AuthenticateAsync_SetVerbose(AuthenticateAsync* auth, uint32_t verbose);
int64_t AuthenticateAsync_GetVerbose(AuthenticateAsync* auth, uint32_t* verbose);
int64_t AuthenticateAsync_PrintInternal(void* user, const char* format, ...);

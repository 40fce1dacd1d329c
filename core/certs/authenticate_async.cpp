// Asynchronous signature validation: one worker thread per check runs the code-signature check of
// a file; the owner's polling joins it without waiting and raises the completion on its own thread.
#include "core/certs/authenticate_async.h"

#include <atomic>
#include <new>

#include "core/certs/authenticate.h"
#include "core/runtime/callback.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "core/runtime/thread.h"

struct AuthenticateAsync {
    Class Header;
    ClassPrint Print;
    // Owner's thread only; null when no worker runs or it has been joined.
    Thread* Worker;
    int32_t State;
    uint32_t SourceKind;
    uint32_t BufferFlag;
    CertStoreInterface* Store;
    char SourcePath[AUTHENTICATEASYNC_PATH_SIZE];
    const void* SourceBuffer;
    uint32_t SourceLength;
    // Written by the worker before it ends, read by the owner after the join.
    std::atomic<uint32_t> Result;
    // Who frees the object when deletion gives up waiting: see Delete and the thread body.
    std::atomic<uint32_t> Ownership;
    int32_t ShutdownTimeoutMs;
    CallbackBase StartCallback;
    CallbackBase CompleteCallback;
};

namespace {

// Ownership bits: the worker has finished with the object; the owner has stopped waiting for it.
constexpr uint32_t kWorkerDone = 1;
constexpr uint32_t kOwnerGone = 2;

int64_t DeleteHandle(void** handle) {
    return AuthenticateAsync_Delete(reinterpret_cast<AuthenticateAsync**>(handle));
}

AuthenticateAsync* Checked(AuthenticateAsync* auth) {
    CLASS_CHECK(auth, AUTHENTICATEASYNC_CLASS_ID);
    return auth;
}

void Destroy(AuthenticateAsync* auth) {
    CertStoreInterface_Release(&auth->Store);
    CallbackBase_Reset(&auth->StartCallback);
    CallbackBase_Reset(&auth->CompleteCallback);
    auth->Header.ClassId = 0;
    auth->~AuthenticateAsync();
    Memory_Free(auth, sizeof(AuthenticateAsync));
}

void RaiseStart(AuthenticateAsync* auth) {
    void* user = nullptr;
    AuthenticateAsyncStartFunc function = nullptr;
    if (CallbackBase_Get(&auth->StartCallback, &user, &function) && function) function(auth, user);
}

void PrintSkipping(AuthenticateAsync* auth) {
    AuthenticateAsync_Print(auth, "Skipping authentication (%d) (%s)", auth->SourceKind, auth->SourcePath);
}

} // namespace

int64_t AuthenticateAsync_Create(AuthenticateAsync** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    AuthenticateAsync* auth = new (Memory_AllocZero(sizeof(AuthenticateAsync))) AuthenticateAsync();
    auth->Header.ClassId = AUTHENTICATEASYNC_CLASS_ID;
    auth->Header.RefCount = 1;
    auth->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(auth);
    // Filled here once, so that the worker's lines only read the block.
    ClassPrint_Prepare(&auth->Print, auth, "AuthenticateAsync", AuthenticateAsync_PrintInternal);
    auth->State = AUTHENTICATEASYNC_STATE_IDLE;
    auth->SourceKind = AUTHENTICATEASYNC_SOURCE_PATH;
    auth->ShutdownTimeoutMs = AUTHENTICATEASYNC_SHUTDOWN_TIMEOUT_MS;
    *handle = auth;
    return 1;
}

int64_t AuthenticateAsync_Delete(AuthenticateAsync** handle) {
    ASSERT_POINTER(handle);
    AuthenticateAsync* auth = Checked(*handle);
    *handle = nullptr;
    Thread* worker = auth->Worker;
    auth->Worker = nullptr;
    if (worker && !Thread_Join(auth->ShutdownTimeoutMs, &worker)) {
        AuthenticateAsync_Print(auth, "Timeout waiting on authenticate thread shutdown");
        // The worker still reads the path and the store: unless it finished in the meantime, it
        // frees the object when it ends. The object must not be touched after handing it over.
        if (!(auth->Ownership.fetch_or(kOwnerGone) & kWorkerDone)) {
            Thread_Release(&worker);
            return 1;
        }
        Thread_Join(-1, &worker);
    }
    Destroy(auth);
    return 1;
}

int64_t AuthenticateAsync_AddRef(AuthenticateAsync* auth) {
    Class_AddRef(Checked(auth));
    return 1;
}

int64_t AuthenticateAsync_Release(AuthenticateAsync** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    Checked(*handle);
    Class_Release(handle);
    return 1;
}

int64_t AuthenticateAsync_GetInstanceId(AuthenticateAsync* auth, char* buffer, int32_t size) {
    Checked(auth);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, auth->Header.InstanceId, (int32_t)sizeof(auth->Header.InstanceId));
    return 1;
}

int64_t AuthenticateAsync_SetShutdownTimeout(AuthenticateAsync* auth, int32_t timeoutMs) {
    Checked(auth)->ShutdownTimeoutMs = timeoutMs;
    return 1;
}

int64_t AuthenticateAsync_SetCertStoreHandle(AuthenticateAsync* auth, CertStoreInterface* store) {
    Checked(auth);
    // The new reference first: the store given may be the one held.
    if (store) CertStoreInterface_AddRef(store);
    CertStoreInterface_Release(&auth->Store);
    auth->Store = store;
    return 1;
}

int64_t AuthenticateAsync_SetSourcePath(AuthenticateAsync* auth, const char* path) {
    Checked(auth);
    ASSERT_POINTER(path);
    String_CopyLength(auth->SourcePath, path, (int32_t)sizeof(auth->SourcePath));
    return 1;
}

int64_t AuthenticateAsync_GetSourcePath(AuthenticateAsync* auth, char* buffer, int32_t size) {
    Checked(auth);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, auth->SourcePath, size);
    return 1;
}

int64_t AuthenticateAsync_GetPath(AuthenticateAsync* auth, char* buffer, int32_t size) {
    return AuthenticateAsync_GetSourcePath(auth, buffer, size);
}

int64_t AuthenticateAsync_SetSourceBuffer(AuthenticateAsync* auth, const void* buffer, uint32_t length) {
    Checked(auth);
    auth->SourceBuffer = buffer;
    auth->SourceLength = length;
    auth->BufferFlag = 1;
    return 1;
}

int64_t AuthenticateAsync_GetSourceBuffer(AuthenticateAsync* auth, const void** buffer, uint32_t* length) {
    ASSERT_POINTER(buffer);
    ASSERT_POINTER(length);
    *buffer = nullptr;
    *length = 0;
    Checked(auth);
    *buffer = auth->SourceBuffer;
    *length = auth->SourceLength;
    return 1;
}

int64_t AuthenticateAsync_SetStartCallback(AuthenticateAsync* auth, void* user,
                                           AuthenticateAsyncStartFunc function) {
    return CallbackBase_Set(&Checked(auth)->StartCallback, 0, user, function);
}

int64_t AuthenticateAsync_SetCompleteCallback(AuthenticateAsync* auth, void* user,
                                              AuthenticateAsyncCompleteFunc function) {
    return CallbackBase_Set(&Checked(auth)->CompleteCallback, 0, user, function);
}

int64_t AuthenticateAsync_Start(AuthenticateAsync* auth) {
    Checked(auth);
    // A result still waiting for its poll counts as running too: a second start would otherwise
    // replace it.
    if (auth->Worker || auth->State != AUTHENTICATEASYNC_STATE_IDLE) {
        AuthenticateAsync_Print(auth, "Already running");
        return 0;
    }
    RaiseStart(auth);
    if (Authenticate_Enabled()) {
        auth->Result.store(0);
        auth->Ownership.store(0);
        if (!Thread_Begin(&auth->Worker, auth, AuthenticateAsync_InternalThreadProcess)) {
            AuthenticateAsync_Print(auth, "Unable to create authentication process thread");
            AuthenticateAsync_InternalRaiseComplete(auth, 0);
            return 0;
        }
        auth->State = AUTHENTICATEASYNC_STATE_STARTED;
        return 1;
    }
    PrintSkipping(auth);
    auth->Result.store(1);
    auth->State = AUTHENTICATEASYNC_STATE_STARTED;
    return 1;
}

int64_t AuthenticateAsync_Process(AuthenticateAsync* auth) {
    Checked(auth);
    switch (auth->State) {
    case AUTHENTICATEASYNC_STATE_IDLE:
        return 1;
    case AUTHENTICATEASYNC_STATE_STARTED:
        if (auth->Worker && !Thread_Join(0, &auth->Worker)) return 1;
        // Idle before the completion runs, so that the callback may start the next check.
        auth->State = AUTHENTICATEASYNC_STATE_IDLE;
        AuthenticateAsync_InternalRaiseComplete(auth, auth->Result.load());
        return 1;
    default:
        AuthenticateAsync_Print(auth, "Unknown state (%d)", auth->State);
        return 1;
    }
}

uint32_t AuthenticateAsync_InternalThreadProcess(void* parameter) {
    AuthenticateAsync* auth = static_cast<AuthenticateAsync*>(parameter);
    Thread* self = nullptr;
    if (Thread_FindThreadById(Thread_GetCurrentId(), &self)) {
        Thread_SetName(self, "AuthenticateAsync");
        Thread_Release(&self);
    }
    uint32_t result = 0;
    if (!Authenticate_Enabled()) {
        // Switched off since the start.
        PrintSkipping(auth);
        result = 1;
    } else {
        result = Authenticate_Validate(auth->Store, auth->SourcePath) == 1 ? 1 : 0;
    }
    auth->Result.store(result);
    if (auth->Ownership.fetch_or(kWorkerDone) & kOwnerGone) Destroy(auth);
    return 0;
}

int64_t AuthenticateAsync_InternalRaiseComplete(AuthenticateAsync* auth, uint32_t result) {
    Checked(auth);
    void* user = nullptr;
    AuthenticateAsyncCompleteFunc function = nullptr;
    if (CallbackBase_Get(&auth->CompleteCallback, &user, &function) && function) function(auth, user, result);
    return 1;
}

int64_t AuthenticateAsync_Print(AuthenticateAsync* auth, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = AuthenticateAsync_VPrint(auth, 0, format, args);
    va_end(args);
    return result;
}

int64_t AuthenticateAsync_PrintTabbed(AuthenticateAsync* auth, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = AuthenticateAsync_VPrint(auth, indent, format, args);
    va_end(args);
    return result;
}

int64_t AuthenticateAsync_VPrint(AuthenticateAsync* auth, int32_t indent, const char* format, va_list args) {
    Checked(auth);
    ASSERT_POINTER(format);
    return ClassPrint_VPrint(&auth->Print, indent, format, args);
}

int64_t AuthenticateAsync_VerboseLog(AuthenticateAsync* auth, int32_t level, const char* format, ...) {
    if (!AuthenticateAsync_IsVerboseLevel(auth, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = AuthenticateAsync_VPrint(auth, 0, format, args);
    va_end(args);
    return result;
}

int64_t AuthenticateAsync_IsVerboseLevel(AuthenticateAsync* auth, int32_t level) {
    return ClassPrint_IsVerboseLevel(&Checked(auth)->Print, level);
}

int64_t AuthenticateAsync_SetPrintCallback(AuthenticateAsync* auth, void* user, ClassPrintCallback callback) {
    Checked(auth);
    // No callback means the default sink again.
    auth->Print.PrintUser = callback ? user : auth;
    auth->Print.PrintCallback = callback ? callback : AuthenticateAsync_PrintInternal;
    return 1;
}

int64_t AuthenticateAsync_GetPrintCallback(AuthenticateAsync* auth, void** user,
                                           ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    Checked(auth);
    *user = auth->Print.PrintUser;
    *callback = auth->Print.PrintCallback;
    return 1;
}

int64_t AuthenticateAsync_SetPrintIdentifier(AuthenticateAsync* auth, const char* identifier) {
    Checked(auth)->Print.Identifier = identifier;
    return 1;
}

int64_t AuthenticateAsync_SetVerbose(AuthenticateAsync* auth, uint32_t verbose) {
    Checked(auth)->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t AuthenticateAsync_GetVerbose(AuthenticateAsync* auth, uint32_t* verbose) {
    ASSERT_POINTER(verbose);
    *verbose = 0;
    *verbose = (uint32_t)Checked(auth)->Print.Verbose;
    return 1;
}

int64_t AuthenticateAsync_PrintInternal(void* user, const char* format, ...) {
    (void)user;
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

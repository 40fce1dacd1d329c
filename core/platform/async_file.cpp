// Asynchronous files: each open file has a channel record that keeps its requests in issue order;
// one worker at a time per file moves their bytes with positioned transfers in slices (so that
// the meter sees progress during long transfers), and each callback then runs as an item of its
// own on the queue. Close detaches the channel and waits until its requests have finished.
#include "core/platform/async_file.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>

#include "core/linux/platform.h"
#include "core/linux/platform_async_file.h"
#include "core/linux/platform_document.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_queue.h"
#include "core/platform/path.h"
#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/critical_section.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "core/runtime/pool.h"
#include "core/runtime/string.h"

namespace {

constexpr int32_t kClosed = -1;
constexpr uint32_t kPoolChunk = 30;
// The largest slice one positioned call moves: small enough that the meter is told about a long
// transfer several times a second even on slow devices, large enough to cost nothing extra.
constexpr uint32_t kSliceBytes = 1u << 20;
constexpr int32_t kRetrySleepMs = 100;

// Operation flags.
constexpr uint32_t kWrite = 1;
constexpr uint32_t kStreamCompletion = 2; // the function is a StreamCompletionFunc
constexpr uint32_t kHere = 4;             // carried out on the issuing thread when the file is idle

} // namespace

struct AsyncFileOperation;

// One per open file. Requests enter the group under the file's lock while the record is the
// file's Context, and leave it when their transfer has ended; the record outlives the close until
// the cleanup item on the queue has closed the descriptor.
//
// The transfers of one file run one after the other, in the order they were issued, on whichever
// worker drains the record: writes to one file gain nothing from running side by side (the file
// system serialises them), and overlapping writes land in the order they were issued.
struct AsyncFileContext {
    Class Header;    // only the tag is set
    AsyncFile* File; // one reference, held until the cleanup
    int32_t Descriptor;
    uint32_t NoCache;
    std::mutex GroupLock; // guards the rest
    std::condition_variable GroupIdle;
    int32_t InFlight;  // entered and not yet left: waiting or being transferred
    uint32_t Draining; // a worker owns the waiting list
    AsyncFileOperation* First;
    AsyncFileOperation* Last;
};

// One per request.
struct AsyncFileOperation {
    AsyncFileOperation* Next; // in the channel's waiting list
    uint64_t Offset;
    int32_t Error; // 0 or an errno value
    uint32_t BufferSize;
    uint32_t Done;
    uint32_t Flags;
    void* Buffer;
    AsyncFile* File;           // one reference, held until the callback has run
    AsyncFileContext* Context; // null: the request completes with EBADF
    CallbackBase Callback;
};

struct GlobalAsyncFileState {
    Class Header;                        // only the tag is set
    std::atomic<int32_t> OpenChannels;   // created and not yet cleaned up
    std::atomic<int32_t> ActiveChannels; // created and not yet closed
    PlatformQueue* Queue;
    Pool* OperationPool;
    Pool* ChannelPool;
};

struct AsyncFile {
    Class Header;
    Stream StreamRecord;
    std::atomic<int32_t> Handle;
    MeterRW* Meter;
    CriticalSection* Lock;      // issuing requests against detaching the channel
    CriticalSection* CloseLock; // one close at a time, so that every closer waits for the transfers
    std::atomic<int32_t> PendingReads;
    std::atomic<int32_t> PendingWrites;
    char Path[ASYNC_FILE_PATH_SIZE];
    int32_t Retries;
    FileOpenFlags OpenFlags;
    uint32_t AutoCreateDirectories;
    uint32_t Verbose;
    // Set by the first successful open: a request on a file that was never opened is a caller
    // error, while one that races with a close is not.
    std::atomic<uint32_t> WasOpened;
    std::atomic<double> LastUsed;
    AsyncFileContext* Context; // under Lock
};

namespace {

std::atomic<GlobalAsyncFileState*> GlobalAsyncFile{nullptr};

GlobalAsyncFileState* RequireState() {
    GlobalAsyncFileState* state = GlobalAsyncFile.load();
    if (!state)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (GlobalAsyncFile != NULL)\nAsyncFile not initialized");
    return state;
}

void Touch(AsyncFile* file) {
    file->LastUsed.store(Time_GetCurrent(), std::memory_order_relaxed);
}

void Record(AsyncFile* file, PlatformErrorCode code) {
    Stream_SetLastError(&file->StreamRecord, code);
}

void Clear(AsyncFile* file) {
    Stream_ClearLastError(&file->StreamRecord);
}

// The platform's error, or a stated one when the failing call left none.
PlatformErrorCode LastErrorOr(int32_t fallbackErrno) {
    PlatformErrorCode code = Platform_GetLastError();
    return code ? code : PLATFORM_ERROR_ERRNO_BASE + fallbackErrno;
}

PlatformErrorCode ErrnoCode(int32_t value) {
    return PLATFORM_ERROR_ERRNO_BASE + value;
}

// ---- Requests on the queue -----------------------------------------------------------------

// Under GroupLock.
AsyncFileOperation* TakeWaiting(AsyncFileContext* context) {
    AsyncFileOperation* op = context->First;
    if (op) {
        context->First = op->Next;
        if (!context->First) context->Last = nullptr;
        op->Next = nullptr;
    }
    return op;
}

// Positioned transfers take the caller's absolute offsets: the descriptor's own position (moved by
// an append open or a seek) never shifts them.
void Transfer(AsyncFileOperation* op, AsyncFileContext* context) {
    AsyncFile* file = op->File;
    const bool write = (op->Flags & kWrite) != 0;
    uint8_t* bytes = static_cast<uint8_t*>(op->Buffer);
    while (op->Done < op->BufferSize) {
        const uint32_t slice = std::min(op->BufferSize - op->Done, kSliceBytes);
        const uint64_t position = op->Offset + op->Done;
        uint32_t moved = 0;
        const int32_t error =
            write ? Platform_AsyncFileWriteAt(context->Descriptor, position, bytes + op->Done, slice, &moved)
                  : Platform_AsyncFileReadAt(context->Descriptor, position, bytes + op->Done, slice, &moved);
        if (moved > 0) {
            op->Done += moved;
            if (write)
                MeterRW_ReportWrite(file->Meter, moved);
            else
                MeterRW_ReportRead(file->Meter, moved);
            if (context->NoCache) Platform_AsyncFileDropCache(context->Descriptor, position, moved);
        }
        if (error != 0) {
            op->Error = error;
            return;
        }
        if (moved == 0) return; // the end of the file
    }
}

void Complete(AsyncFileOperation* op) {
    AsyncFile* file = op->File;
    void* user = nullptr;
    void* function = nullptr;
    CallbackBase_GetReal(&op->Callback, &user, &function);
    if (function) {
        if (op->Flags & kStreamCompletion)
            reinterpret_cast<StreamCompletionFunc>(function)(file, user, op->Offset, op->Buffer, op->Done,
                                                             op->Error);
        else
            reinterpret_cast<AsyncFileCallback>(function)(file, user, op->Offset, op->Buffer, op->Done,
                                                          op->Error);
    }
    if (op->Flags & kWrite)
        file->PendingWrites.fetch_sub(1);
    else
        file->PendingReads.fetch_sub(1);
    CallbackBase_Reset(&op->Callback);
    GlobalAsyncFileState* state = GlobalAsyncFile.load();
    Pool_Free(state->OperationPool, &op, sizeof(AsyncFileOperation));
    AsyncFile_Release(&file);
}

void CompleteItem(void* item, void*) {
    Complete(static_cast<AsyncFileOperation*>(item));
}

// Completions of one drain run in order, linked through Next: one hand-off to the queue for a
// run of transfers instead of one each.
void CompleteChain(void* item, void*) {
    for (auto* op = static_cast<AsyncFileOperation*>(item); op;) {
        AsyncFileOperation* next = op->Next;
        op->Next = nullptr;
        Complete(op);
        op = next;
    }
}

// Most transfers whose completions wait for one hand-off.
constexpr uint32_t kChainLimit = 64;

// Moves the waiting requests of one file until none is left. Finished requests leave the group
// only after their completions have been posted, so that the completions of every transfer a
// close waited for are already queued when the close returns.
void Drain(void* item, void*) {
    auto* context = static_cast<AsyncFileContext*>(item);
    GlobalAsyncFileState* state = GlobalAsyncFile.load();
    uint32_t posted = 0;
    AsyncFileOperation* first = nullptr;
    AsyncFileOperation* last = nullptr;
    uint32_t chained = 0;
    for (;;) {
        AsyncFileOperation* op;
        {
            std::lock_guard<std::mutex> guard(context->GroupLock);
            context->InFlight -= posted;
            posted = 0;
            op = TakeWaiting(context);
            if (!op && !first) {
                // The closer waits for exactly this and may free the record as soon as the lock
                // is let go: nothing touches it afterwards.
                context->Draining = 0;
                context->GroupIdle.notify_all();
                return;
            }
        }
        if (!op) {
            // Finished transfers still unposted leave the group only once they are posted.
            Platform_QueueAsync(state->Queue, CompleteChain, first, nullptr);
            posted = chained;
            first = last = nullptr;
            chained = 0;
            continue;
        }
        Transfer(op, context);
        op->Context = nullptr;
        if (last)
            last->Next = op;
        else
            first = op;
        last = op;
        chained++;
        bool more;
        {
            std::lock_guard<std::mutex> guard(context->GroupLock);
            more = context->First != nullptr;
        }
        if (!more || chained >= kChainLimit) {
            Platform_QueueAsync(state->Queue, CompleteChain, first, nullptr);
            posted = chained;
            first = last = nullptr;
            chained = 0;
        }
    }
}

// Runs on the queue after the close: nothing uses the descriptor any more.
void CleanupChannel(void* item, void*) {
    auto* context = static_cast<AsyncFileContext*>(item);
    AsyncFile* file = context->File;
    Platform_Close(context->Descriptor);
    context->~AsyncFileContext();
    GlobalAsyncFileState* state = GlobalAsyncFile.load();
    Pool_Free(state->ChannelPool, &context, sizeof(AsyncFileContext));
    state->OpenChannels.fetch_sub(1);
    AsyncFile_Release(&file);
}

int64_t Issue(AsyncFile* file, uint32_t flags, uint64_t offset, void* buffer, uint32_t size, void* user,
              void* function) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(function);
    if (size > 0) ASSERT_POINTER(buffer);
    GlobalAsyncFileState* state = RequireState();
    if (file->Handle.load() == kClosed && !file->WasOpened.load())
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (AsyncFile->Handle != -1)\nAttempted to use an invalid handle");
    Touch(file);
    if (flags & kWrite)
        file->PendingWrites.fetch_add(1);
    else
        file->PendingReads.fetch_add(1);

    auto* op = static_cast<AsyncFileOperation*>(Pool_Alloc(state->OperationPool, sizeof(AsyncFileOperation)));
    memset(static_cast<void*>(op), 0, sizeof(AsyncFileOperation));
    op->Offset = offset;
    op->BufferSize = size;
    op->Buffer = buffer;
    op->Flags = flags;
    CallbackBase_SetReal(&op->Callback, 0, user, function);
    op->File = AsyncFile_AddRef(file);
    // Once the request is on a channel's list a worker may take it at any time: it is not
    // touched here afterwards.
    bool entered = false;
    AsyncFileContext* drain = nullptr;
    AsyncFileContext* here = nullptr;
    {
        CriticalSectionGuard guard(file->Lock);
        if (AsyncFileContext* context = file->Context) {
            std::lock_guard<std::mutex> group(context->GroupLock);
            entered = true;
            context->InFlight++;
            op->Context = context;
            // Nothing of the file queued or moving: this thread owns the channel for the one
            // transfer, as a drain would, so order and a close's wait hold as on the queue.
            if ((flags & kHere) && !context->Draining && !context->First) {
                context->Draining = 1;
                here = context;
            } else {
                if (context->Last)
                    context->Last->Next = op;
                else
                    context->First = op;
                context->Last = op;
                if (!context->Draining) {
                    context->Draining = 1;
                    drain = context;
                }
            }
        }
    }
    if (here) {
        Transfer(op, here);
        op->Context = nullptr;
        {
            // What was issued meanwhile waits for a drain; the close waits for that too.
            std::lock_guard<std::mutex> group(here->GroupLock);
            here->InFlight--;
            if (here->First) {
                drain = here;
            } else {
                here->Draining = 0;
                here->GroupIdle.notify_all();
            }
        }
        if (drain) Platform_QueueAsync(state->Queue, Drain, drain, nullptr);
        // Out of the group: the callback may close the file.
        Complete(op);
        return 1;
    }
    // The record stays valid for the drain: the request just entered keeps the close waiting.
    if (drain) {
        Platform_QueueAsync(state->Queue, Drain, drain, nullptr);
    } else if (!entered) {
        // Without a channel the file is closed or closing: the request completes with EBADF, on
        // the queue like every other, so that a callback never runs inside the call that issued it.
        op->Error = EBADF;
        Platform_QueueAsync(state->Queue, CompleteItem, op, nullptr);
    }
    return 1;
}

// ---- Stream slots --------------------------------------------------------------------------

int64_t WriteAsyncSlot(void* handle, uint64_t offset, const void* buffer, uint32_t size, void* user,
                       StreamCompletionFunc completion) {
    return Issue(static_cast<AsyncFile*>(handle), kWrite | kStreamCompletion, offset,
                 const_cast<void*>(buffer), size, user, Callback_FunctionWord(completion));
}

int64_t ReadAsyncSlot(void* handle, uint64_t offset, void* buffer, uint32_t size, void* user,
                      StreamCompletionFunc completion) {
    return Issue(static_cast<AsyncFile*>(handle), kStreamCompletion, offset, buffer, size, user,
                 Callback_FunctionWord(completion));
}

int64_t DeleteObject(void** handle) {
    return AsyncFile_Delete(reinterpret_cast<AsyncFile**>(handle));
}

// ---- Open ------------------------------------------------------------------------------------

// Under the file's lock, so that no request sees a half-made channel.
void CreateChannel(AsyncFile* file, GlobalAsyncFileState* state, int32_t fd, FileOpenFlags flags) {
    CriticalSectionGuard guard(file->Lock);
    if (file->Context)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (AsyncFile->Context == NULL)\nFile channel already created");
    void* block = Pool_Alloc(state->ChannelPool, sizeof(AsyncFileContext));
    auto* context = new (block) AsyncFileContext();
    context->Header.ClassId = ASYNC_FILE_CONTEXT_TAG;
    context->File = AsyncFile_AddRef(file);
    context->Descriptor = fd;
    context->NoCache = (flags & FILE_NOBUFFER) ? 1 : 0;
    state->OpenChannels.fetch_add(1);
    state->ActiveChannels.fetch_add(1);
    file->Context = context;
}

bool Truncate(AsyncFile* file, int32_t fd, int64_t length) {
    errno = 0;
    if (Platform_Truncate(fd, length)) return true;
    const PlatformErrorCode error = LastErrorOr(EINVAL);
    Record(file, error);
    Log_Print(LOG_LEVEL_DEBUG, "Unable to truncate file [%s] [%d:%.8X]\n", file->Path, error,
              (uint32_t)error);
    return false;
}

void SwitchCacheOff(AsyncFile* file, int32_t fd) {
    errno = 0;
    if (!Platform_AsyncFileSetNoCache(fd)) Record(file, LastErrorOr(EINVAL));
}

// Cuts the file name off the stored path and creates the directories before it.
void CreateDirectories(AsyncFile* file) {
    const char* name = nullptr;
    Path_ParseFilenamePtr(file->Path, &name);
    if (!name || name <= file->Path) return;
    char directory[ASYNC_FILE_PATH_SIZE];
    String_CopyLength(directory, file->Path, (int32_t)(name - file->Path) + 1);
    if (directory[0] && !Path_DirectoryExists(directory)) Path_CreateDirectory(file->Path, 1, nullptr);
}

} // namespace

// ---- Module ------------------------------------------------------------------------------------

int64_t AsyncFile_Init() {
    if (GlobalAsyncFile.load())
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (GlobalAsyncFile == NULL)\nAsyncFile already initialized");
    void* block = Memory_AllocZero(sizeof(GlobalAsyncFileState));
    auto* state = new (block) GlobalAsyncFileState();
    state->Header.ClassId = ASYNC_FILE_GLOBAL_TAG;
    if (!Platform_QueueCreate(&state->Queue, "com.quarvelon.asyncfile", 0)) {
        Log_Error("Unable to start the queue of asynchronous files\n");
        state->~GlobalAsyncFileState();
        Memory_Free(block, sizeof(GlobalAsyncFileState));
        return 0;
    }
    Pool_Create(&state->OperationPool);
    Pool_SetMemorySize(state->OperationPool, sizeof(AsyncFileOperation));
    Pool_SetChunkSize(state->OperationPool, kPoolChunk);
    Pool_SetAllowLock(state->OperationPool, 1);
    Pool_Create(&state->ChannelPool);
    Pool_SetMemorySize(state->ChannelPool, sizeof(AsyncFileContext));
    Pool_SetChunkSize(state->ChannelPool, kPoolChunk);
    Pool_SetAllowLock(state->ChannelPool, 1);
    Pool_SetZeroOnAlloc(state->ChannelPool, 1);
    GlobalAsyncFile.store(state);
    return 1;
}

int64_t AsyncFile_Remove() {
    GlobalAsyncFileState* state = GlobalAsyncFile.load();
    if (!state) return 1;
    const int32_t open = state->ActiveChannels.load();
    if (open > 0) {
        Log_Error("Asynchronous files still open (%d): the module stays\n", open);
        return 0;
    }
    // Every channel is closed, so its cleanup is posted and the count reaches 0.
    while (state->OpenChannels.load() > 0) Platform_SleepMS(1);
    // Deleting the queue runs every item still posted (completions) and joins the threads, so no
    // worker touches the pools or the state afterwards.
    Platform_QueueDelete(&state->Queue);
    GlobalAsyncFile.store(nullptr);
    Pool_Delete(&state->OperationPool);
    Pool_Delete(&state->ChannelPool);
    state->~GlobalAsyncFileState();
    Memory_Free(state, sizeof(GlobalAsyncFileState));
    return 1;
}

// ---- Life --------------------------------------------------------------------------------------

int64_t AsyncFile_Create(AsyncFile** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    void* block = Memory_AllocZero(sizeof(AsyncFile));
    auto* file = new (block) AsyncFile();
    file->Header.ClassId = ASYNC_FILE_CLASS_ID;
    file->Header.RefCount = 1;
    file->Header.Delete = DeleteObject;
    Stream& s = file->StreamRecord;
    s.Handle = file;
    s.WriteAsync = WriteAsyncSlot;
    s.ReadAsync = ReadAsyncSlot;
    s.Seek = StreamSlot<AsyncFile_Seek>::Call;
    s.Tell = StreamSlot<AsyncFile_Tell>::Call;
    s.IsOpen = StreamSlot<AsyncFile_IsOpen>::Call;
    s.Close = StreamSlot<AsyncFile_Close>::Call;
    file->Handle.store(kClosed);
    MeterRW_Create(&file->Meter);
    CriticalSection_Create(&file->Lock);
    CriticalSection_Create(&file->CloseLock);
    file->Retries = ASYNC_FILE_DEFAULT_RETRIES;
    file->AutoCreateDirectories = 1;
    Touch(file);
    *handle = file;
    return 1;
}

int64_t AsyncFile_Delete(AsyncFile** handle) {
    ASSERT_POINTER(handle);
    AsyncFile* file = *handle;
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    AsyncFile_Close(file);
    MeterRW_Release(&file->Meter);
    CriticalSection_Delete(&file->Lock);
    CriticalSection_Delete(&file->CloseLock);
    file->Header.ClassId = 0;
    file->~AsyncFile();
    Memory_Free(file, sizeof(AsyncFile));
    *handle = nullptr;
    return 1;
}

AsyncFile* AsyncFile_AddRef(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return static_cast<AsyncFile*>(Class_AddRef(file));
}

uint32_t AsyncFile_Release(AsyncFile** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    CLASS_CHECK(*handle, ASYNC_FILE_CLASS_ID);
    return Class_Release(handle);
}

int64_t AsyncFile_GetInstanceId(AsyncFile* file, char* buffer, int32_t size) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, file->Header.InstanceId, (int32_t)sizeof(file->Header.InstanceId));
    return 1;
}

// ---- Open and close ----------------------------------------------------------------------------

int64_t AsyncFile_Open(AsyncFile* file, const char* path, FileOpenFlags flags) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(path);
    GlobalAsyncFileState* state = RequireState();
    Clear(file);
    if (file->Handle.load() != kClosed)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (AsyncFile->Handle == -1)\nPrevious file [%s] must be closed before "
                       "opening [%s]\n",
                       file->Path, path);

    const int32_t base = (flags & FILE_ALTERNATE) ? PLATFORM_OPEN_MODE_ALTERNATE : PLATFORM_OPEN_MODE_DEFAULT;
    int32_t openWord = base;
    // A write-only open empties an existing file, except when appending: appending keeps what
    // is there.
    bool empty = (flags & FILE_TRUNCATE) != 0;
    if ((flags & FILE_READ) && (flags & FILE_WRITE)) {
        openWord |= PLATFORM_OPEN_READ_WRITE | ((flags & FILE_APPEND) ? 0 : PLATFORM_OPEN_CREATE);
    } else if (flags & FILE_WRITE) {
        openWord |= PLATFORM_OPEN_WRITE_ONLY | PLATFORM_OPEN_CREATE;
        if (!(flags & FILE_APPEND)) empty = true;
    } else if (flags & FILE_READ) {
        openWord |= PLATFORM_OPEN_READ_ONLY;
    } else {
        Debug_AbortInt(__FILE__, __LINE__, "Unknown mode [%d]\n", (int32_t)flags);
    }
    // Handed to the platform, which has no sharing modes.
    int32_t sharing = 16;
    if ((flags & FILE_SHARED) && (flags & FILE_SHARED_EXTRA))
        sharing = 128;
    else if (flags & FILE_SHARED)
        sharing = 32;
    else if (flags & FILE_SHARED_EXTRA)
        sharing = 64;
    const int32_t permissions = PLATFORM_PERMISSION_READ | PLATFORM_PERMISSION_WRITE;

    Touch(file);
    file->OpenFlags = flags;
    PlatformErrorCode failure = 0;
    // A path that does not fit would name another file: refused, never cut. One whose components
    // cancel out ("a/..") names nothing.
    bool resolved = Path_Resolve(path, file->Path, (int32_t)sizeof(file->Path)) != 0;
    if (resolved) Path_Fix(file->Path, (int32_t)sizeof(file->Path), PATH_FIX_NO_TRAILING);
    if (!resolved) failure = ErrnoCode(ENAMETOOLONG);
    if (resolved && !file->Path[0]) {
        resolved = false;
        failure = ErrnoCode(ENOENT);
    }
    if (!resolved) String_CopyLength(file->Path, path, (int32_t)sizeof(file->Path));
    if (resolved && file->Retries < 1) failure = ErrnoCode(EINVAL);

    int32_t fd = kClosed;
    bool created = false;
    for (int32_t attempt = 0; resolved && attempt < file->Retries;) {
        if (Path_Exists(file->Path)) {
            errno = 0;
            fd = Platform_Open(file->Path, openWord, sharing, permissions);
            if (fd >= 0) break;
            failure = LastErrorOr(EIO);
            if (Platform_ErrorPermanent(failure)) break;
            // No pause after the last attempt: nothing follows it.
            if (++attempt < file->Retries) Platform_SleepMS(kRetrySleepMs);
            continue;
        }
        if (!(flags & FILE_WRITE)) {
            failure = ErrnoCode(ENOENT);
            break;
        }
        if (attempt == 0 && file->AutoCreateDirectories) CreateDirectories(file);
        errno = 0;
        fd = Platform_Open(file->Path, openWord, sharing, permissions);
        if (fd >= 0)
            created = true;
        else
            failure = LastErrorOr(ENOENT);
        break;
    }

    if (fd >= 0) {
        bool ready = true;
        // Transfers are positioned: only a regular file has positions. A directory opens for
        // reading on this system, and a device would answer without end; neither is taken.
        if (const int32_t refused = Platform_AsyncFileCheckRegular(fd)) {
            failure = ErrnoCode(refused);
            ready = false;
        }
        // Read only: a file that says it is empty but is not (under /proc) is read whole now, so
        // that its size is what the transfers find.
        if (ready && !(flags & FILE_WRITE)) {
            int64_t size = 0;
            const int32_t snapshot = Platform_DocumentSnapshot(fd, &size);
            if (snapshot < 0) {
                failure = LastErrorOr(EIO);
                ready = false;
            } else {
                fd = snapshot;
            }
        }
        if (ready && (flags & FILE_NOBUFFER)) SwitchCacheOff(file, fd);
        // Emptied before the append position is taken, so that the position is the new end.
        if (ready && !created && empty && !Truncate(file, fd, 0)) {
            failure = Stream_GetLastError(&file->StreamRecord);
            ready = false;
        }
        if (ready && !created && (flags & FILE_APPEND)) {
            errno = 0;
            if (!Platform_Seek(fd, 0, SEEK_ORIGIN_END, nullptr)) {
                failure = LastErrorOr(EIO);
                ready = false;
            }
        }
        if (ready) {
            CreateChannel(file, state, fd, flags);
            file->WasOpened.store(1);
            file->Handle.store(fd);
            return 1;
        }
        Platform_Close(fd);
    }

    if (!failure) failure = ErrnoCode(EIO);
    Record(file, failure);
    file->Handle.store(kClosed);
    if (!((flags & FILE_QUIET) && Platform_ErrorMissing(failure)))
        Log_Print(LOG_LEVEL_DEBUG, "Unable to open file [%s][%.8X](%d : %.8X)\n", file->Path,
                  (uint32_t)openWord, failure, (uint32_t)failure);
    return 0;
}

int64_t AsyncFile_OpenDescriptor(AsyncFile* file, int32_t fd, const char* path, FileOpenFlags flags) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(path);
    GlobalAsyncFileState* state = RequireState();
    Clear(file);
    if (file->Handle.load() != kClosed)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (AsyncFile->Handle == -1)\nPrevious file [%s] must be closed before "
                       "opening [%s]\n",
                       file->Path, path);
    Touch(file);
    String_CopyLength(file->Path, path, (int32_t)sizeof(file->Path));
    if (fd < 0) {
        Record(file, ErrnoCode(EBADF));
        return 0;
    }
    file->OpenFlags = flags;
    CreateChannel(file, state, fd, flags);
    file->WasOpened.store(1);
    file->Handle.store(fd);
    return 1;
}

int64_t AsyncFile_Close(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    if (file->Handle.load() == kClosed) return 1;
    CriticalSectionGuard closing(file->CloseLock);
    AsyncFileContext* context;
    {
        CriticalSectionGuard guard(file->Lock);
        context = file->Context;
        file->Context = nullptr;
    }
    // The wait does not hold the file's lock: a callback that issues a request meanwhile is
    // answered at once instead of blocking a worker that a queued transfer may need.
    if (context) {
        {
            std::unique_lock<std::mutex> group(context->GroupLock);
            context->GroupIdle.wait(group,
                                    [context] { return context->InFlight == 0 && !context->Draining; });
        }
        GlobalAsyncFileState* state = RequireState();
        state->ActiveChannels.fetch_sub(1);
        Platform_QueueAsync(state->Queue, CleanupChannel, context, nullptr);
    }
    file->Handle.store(kClosed);
    Touch(file);
    return 1;
}

// ---- Requests ----------------------------------------------------------------------------------

int64_t AsyncFile_Read(AsyncFile* file, uint64_t offset, void* buffer, uint32_t size, void* user,
                       AsyncFileCallback callback) {
    return Issue(file, 0, offset, buffer, size, user, Callback_FunctionWord(callback));
}

int64_t AsyncFile_Write(AsyncFile* file, uint64_t offset, const void* buffer, uint32_t size, void* user,
                        AsyncFileCallback callback) {
    return Issue(file, kWrite, offset, const_cast<void*>(buffer), size, user,
                 Callback_FunctionWord(callback));
}

int64_t AsyncFile_ReadHere(AsyncFile* file, uint64_t offset, void* buffer, uint32_t size, void* user,
                           AsyncFileCallback callback) {
    return Issue(file, kHere, offset, buffer, size, user, Callback_FunctionWord(callback));
}

int64_t AsyncFile_WriteHere(AsyncFile* file, uint64_t offset, const void* buffer, uint32_t size, void* user,
                            AsyncFileCallback callback) {
    return Issue(file, kWrite | kHere, offset, const_cast<void*>(buffer), size, user,
                 Callback_FunctionWord(callback));
}

int64_t AsyncFile_HasPendingReads(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return file->PendingReads.load() > 0;
}

int64_t AsyncFile_HasPendingWrites(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return file->PendingWrites.load() > 0;
}

int64_t AsyncFile_IsOpen(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return file->Handle.load() != kClosed;
}

// ---- Synchronous operations --------------------------------------------------------------------

int64_t AsyncFile_Seek(AsyncFile* file, int64_t offset, SeekOrigin origin) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    Clear(file);
    Touch(file);
    errno = 0;
    if (Platform_Seek(file->Handle.load(), offset, origin, nullptr)) return 1;
    Record(file, LastErrorOr(EBADF));
    return 0;
}

int64_t AsyncFile_Tell(AsyncFile* file, uint64_t* position) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(position);
    *position = 0;
    Clear(file);
    Touch(file);
    errno = 0;
    if (Platform_Seek(file->Handle.load(), 0, SEEK_ORIGIN_CURRENT, position)) return 1;
    *position = 0;
    Record(file, LastErrorOr(EBADF));
    return 0;
}

int64_t AsyncFile_TruncateAt(AsyncFile* file, int64_t length) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    Clear(file);
    return Truncate(file, file->Handle.load(), length);
}

int64_t AsyncFile_GetFilesizeBytes(AsyncFile* file, uint64_t* size) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(size);
    *size = 0;
    Clear(file);
    Touch(file);
    errno = 0;
    const int32_t fd = file->Handle.load();
    const bool ok = fd != kClosed ? Platform_AsyncFileGetStatus(fd, size, nullptr) != 0
                                  : Path_GetFileSize(file->Path, size) != 0;
    if (ok) return 1;
    Record(file, LastErrorOr(ENOENT));
    return 0;
}

int64_t AsyncFile_EnableSparseMode(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    Touch(file);
    return 0;
}

namespace {

int64_t GetTime(AsyncFile* file, EncodedTime* time, bool creation) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(time);
    *time = 0;
    Clear(file);
    Touch(file);
    struct tm record;
    memset(&record, 0, sizeof(record));
    errno = 0;
    if (!Platform_GetFileTime(file->Path, nullptr, nullptr, creation ? &record : nullptr, nullptr,
                              creation ? nullptr : &record)) {
        Record(file, LastErrorOr(ENOENT));
        return 0;
    }
    double value = 0;
    if (!Time_ConvertTmToEncoded(&record, &value)) {
        Record(file, ErrnoCode(EINVAL));
        return 0;
    }
    *time = value;
    return 1;
}

} // namespace

int64_t AsyncFile_GetCreationTime(AsyncFile* file, EncodedTime* time) {
    return GetTime(file, time, true);
}

int64_t AsyncFile_GetModifiedTime(AsyncFile* file, EncodedTime* time) {
    return GetTime(file, time, false);
}

int64_t AsyncFile_SetModifiedTime(AsyncFile* file, EncodedTime time) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    Clear(file);
    Touch(file);
    struct tm record;
    memset(&record, 0, sizeof(record));
    if (!Time_ConvertEncodedToTm(&record, time)) {
        Record(file, ErrnoCode(EINVAL));
        return 0;
    }
    errno = 0;
    if (Platform_SetFileTime(file->Path, nullptr, nullptr, nullptr, nullptr, &record)) return 1;
    Record(file, LastErrorOr(EINVAL));
    return 0;
}

int64_t AsyncFile_GetAttributes(AsyncFile* file, PlatformFileAttributes* attributes) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(attributes);
    *attributes = 0;
    Clear(file);
    Touch(file);
    errno = 0;
    if (Platform_GetFileAttributes(nullptr, file->Path, attributes)) return 1;
    *attributes = 0;
    Record(file, LastErrorOr(ENOENT));
    return 0;
}

int64_t AsyncFile_SetAttributes(AsyncFile* file, PlatformFileAttributes attributes) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    Clear(file);
    Touch(file);
    errno = 0;
    if (Platform_SetFileAttributes(nullptr, file->Path, attributes)) return 1;
    Record(file, LastErrorOr(EINVAL));
    return 0;
}

int64_t AsyncFile_Rename(AsyncFile* file, const char* path) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(path);
    Clear(file);
    Touch(file);
    // Resolved like the path of an open; a new path that does not fit is refused, since the
    // stored path would then name another file than the one moved.
    char target[ASYNC_FILE_PATH_SIZE];
    if (!Path_Resolve(path, target, (int32_t)sizeof(target))) {
        Record(file, ErrnoCode(ENAMETOOLONG));
        return 0;
    }
    Path_Fix(target, (int32_t)sizeof(target), PATH_FIX_NO_TRAILING);
    if (!target[0]) {
        Record(file, ErrnoCode(ENOENT));
        return 0;
    }
    errno = 0;
    if (!Platform_MoveFile(nullptr, file->Path, target,
                           PLATFORM_MOVE_REPLACE_EXISTING | PLATFORM_MOVE_WRITE_THROUGH)) {
        Record(file, LastErrorOr(EIO));
        return 0;
    }
    String_CopyLength(file->Path, target, (int32_t)sizeof(file->Path));
    return 1;
}

int32_t AsyncFile_GetLastError(AsyncFile* file) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return Stream_GetLastError(&file->StreamRecord);
}

int64_t AsyncFile_GetStreamHandle(AsyncFile* file, Stream** stream) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(stream);
    *stream = &file->StreamRecord;
    return 1;
}

// ---- Meter ---------------------------------------------------------------------------------------

int64_t AsyncFile_GetMeterRWHandle(AsyncFile* file, MeterRW** meter) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(meter);
    *meter = file->Meter;
    return file->Meter != nullptr;
}

int64_t AsyncFile_GetOverallUsage(AsyncFile* file, uint64_t* read, uint64_t* write) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return MeterRW_GetOverallUsage(file->Meter, read, write);
}

int64_t AsyncFile_GetMaxBandwidth(AsyncFile* file, double* read, double* write) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return MeterRW_GetMaxBandwidth(file->Meter, read, write);
}

int64_t AsyncFile_GetCurrentBandwidth(AsyncFile* file, double* read, double* write) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return MeterRW_GetCurrentBandwidth(file->Meter, read, write);
}

int64_t AsyncFile_GetLimitBandwidth(AsyncFile* file, int32_t* read, int32_t* write) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return MeterRW_GetLimitBandwidth(file->Meter, read, write);
}

int64_t AsyncFile_SetLimitBandwidth(AsyncFile* file, int32_t read, int32_t write) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    return MeterRW_SetLimitBandwidth(file->Meter, read, write);
}

// ---- Settings ------------------------------------------------------------------------------------

namespace {

template <typename T> int64_t SetSetting(AsyncFile* file, T AsyncFile::*field, T value) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    file->*field = value;
    return 1;
}

template <typename T> int64_t GetSetting(AsyncFile* file, T AsyncFile::*field, T* value) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(value);
    *value = file->*field;
    return 1;
}

} // namespace

int64_t AsyncFile_SetRetries(AsyncFile* file, int32_t retries) {
    return SetSetting(file, &AsyncFile::Retries, retries);
}

int64_t AsyncFile_GetRetries(AsyncFile* file, int32_t* retries) {
    return GetSetting(file, &AsyncFile::Retries, retries);
}

int64_t AsyncFile_SetAutoCreateDirectories(AsyncFile* file, uint32_t on) {
    return SetSetting(file, &AsyncFile::AutoCreateDirectories, on ? 1u : 0u);
}

int64_t AsyncFile_GetAutoCreateDirectories(AsyncFile* file, uint32_t* on) {
    return GetSetting(file, &AsyncFile::AutoCreateDirectories, on);
}

int64_t AsyncFile_SetVerbose(AsyncFile* file, uint32_t verbose) {
    return SetSetting(file, &AsyncFile::Verbose, verbose);
}

int64_t AsyncFile_GetVerbose(AsyncFile* file, uint32_t* verbose) {
    return GetSetting(file, &AsyncFile::Verbose, verbose);
}

int64_t AsyncFile_GetOpenFlags(AsyncFile* file, FileOpenFlags* flags) {
    return GetSetting(file, &AsyncFile::OpenFlags, flags);
}

int64_t AsyncFile_GetPath(AsyncFile* file, char* buffer, int32_t size) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, file->Path, size);
    return 1;
}

int64_t AsyncFile_GetLastUsedTime(AsyncFile* file, double* time) {
    CLASS_CHECK(file, ASYNC_FILE_CLASS_ID);
    ASSERT_POINTER(time);
    *time = file->LastUsed.load(std::memory_order_relaxed);
    return 1;
}

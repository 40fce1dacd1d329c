// The directory-size request of scripts: one worker thread sums a tree's allocated sizes and the
// answer travels back as "Path"/"DirectoryGetSizeResponse" to the script bridge's callback. The
// tree is listed by descriptor below its root, so it is measured without ever leaving it.
#include <atomic>
#include <cstring>

#include "core/formats/interop.h"
#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/platform/directory_list.h"
#include "core/platform/path.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/signal.h"
#include "core/runtime/thread.h"

namespace {

constexpr const char* kType = "Path";
constexpr const char* kName = "DirectoryGetSizeResponse";
constexpr const char* kWorkerInstance = "Thread";
constexpr const char* kResponseFormat = "{\"successful\":%s,\"result\":%lld}";

struct PathDirectorySize {
    volatile uint32_t Running; // changed only by compare-and-swap
    std::atomic<Thread*> ThreadHandle;
};

PathDirectorySize Global_PathDirectorySize{0, {nullptr}};

struct WorkerStart {
    const char* Path;
    Signal* Taken;
};

bool IsCancelled() {
    return Platform_CAS(&Global_PathDirectorySize.Running, 0, 0) == 0;
}

int64_t ResponseHandler(void* user, const char*, const char*, const char*, Dictionary* info) {
    InteropCallback* callback = static_cast<InteropCallback*>(user);
    NotificationCenter_RemoveInstanceObserver(kType, kName, Interop_GetCallbackId(callback), callback,
                                              ResponseHandler);
    Dictionary* record = nullptr;
    Dictionary_Create(&record);
    Dictionary_SetStringByKey(record, "callbackId", Interop_GetCallbackId(callback));
    Dictionary_SetStringByKey(record, "type", "FileSystem");
    Dictionary_SetStringByKey(record, "sender", "Global");
    Dictionary* child = nullptr;
    Dictionary_AddDictionary(record, "info", &child, nullptr);
    if (info && child) Dictionary_Merge(child, info, DICTIONARY_MERGE_OVERWRITE);
    Interop_RaiseCallback(callback, record);
    Dictionary_Release(&record);
    Interop_ReleaseCallback(&callback);
    return 1;
}

void JoinWorker() {
    Thread* thread = Global_PathDirectorySize.ThreadHandle.exchange(nullptr);
    if (thread) Thread_Join(-1, &thread);
}

int64_t ThreadEndHandler(void* user, const char* type, const char* name, const char* instance,
                         Dictionary* info) {
    NotificationCenter_RemoveInstanceObserver(kType, kName, kWorkerInstance, user, ThreadEndHandler);
    JoinWorker();
    Platform_CAS(&Global_PathDirectorySize.Running, 0, 1);
    return ResponseHandler(user, type, name, instance, info);
}

uint32_t Worker(void* parameter) {
    WorkerStart* start = static_cast<WorkerStart*>(parameter);
    char directory[PATH_LIST_SIZE];
    // A path that is too long or names nothing ("a/..") is not measured: its trailing separator
    // would otherwise make it the root.
    bool usable = Path_Resolve(start->Path, directory, PATH_LIST_SIZE) && directory[0] != 0;
    if (usable) {
        Path_Fix(directory, PATH_LIST_SIZE, PATH_FIX_TRAILING);
        usable = directory[strlen(directory) - 1] == '/';
    }
    Signal_Set(start->Taken, 1); // the caller's text is not read after this
    uint64_t size = 0;
    const bool complete = usable && Path_GetDirectorySizeInt(directory, &size);
    NotificationCenter_FireAfterDelayWithJSON(kType, kName, kWorkerInstance, 0, kResponseFormat,
                                              complete ? "true" : "false", (int64_t)size);
    return 0;
}

void AnswerAtOnce(const char* callbackId) {
    NotificationCenter_FireAfterDelayWithJSON(kType, kName, callbackId, 0, kResponseFormat, "false",
                                              (int64_t)0);
}

} // namespace

int64_t Path_GetDirectorySize(const char* path, const char* callbackId) {
    ASSERT_POINTER(path);
    InteropCallback* callback = nullptr;
    Interop_AddCallback(callbackId, nullptr, Interop_Execute, &callback);
    const char* id = Interop_GetCallbackId(callback);
    NotificationCenter_AddInstanceObserver(kType, kName, id, callback, ResponseHandler);

    if (Platform_CAS(&Global_PathDirectorySize.Running, 1, 0) != 0) {
        AnswerAtOnce(id); // one worker at a time
        return 1;
    }
    if (Global_PathDirectorySize.ThreadHandle.load() != nullptr)
        Debug_AbortInt(
            __FILE__, __LINE__,
            "Assertion failed (Global_PathDirectorySize.ThreadHandle == NULL)\nNo alive thread must be at "
            "this moment");
    NotificationCenter_AddInstanceObserver(kType, kName, kWorkerInstance, callback, ThreadEndHandler);
    WorkerStart start{path, nullptr};
    Signal_Create(&start.Taken);
    Thread* thread = nullptr;
    if (Thread_Begin(&thread, &start, Worker)) {
        Global_PathDirectorySize.ThreadHandle.store(thread);
        uint32_t signalled = 0;
        Signal_Wait(start.Taken, &signalled, -1);
    } else {
        // No worker: the caller still gets its answer.
        NotificationCenter_RemoveInstanceObserver(kType, kName, kWorkerInstance, callback, ThreadEndHandler);
        Platform_CAS(&Global_PathDirectorySize.Running, 0, 1);
        AnswerAtOnce(id);
    }
    Signal_Delete(&start.Taken);
    return 1;
}

namespace {

// Sums the entries of an open listing whose directory text is directoryLength bytes long. Each
// subdirectory is listed from the listing's own descriptor, and only while it is the directory
// that was listed: one replaced by a link meanwhile is never measured in its place.
int64_t SumListing(DirectoryList* list, size_t directoryLength, uint64_t* size) {
    uint64_t sum = 0;
    int64_t complete = 1;
    char name[PLATFORM_FIND_NAME_CAPACITY];
    do {
        if (DirectoryList_IsDots(list)) continue;
        if (DirectoryList_IsDirectory(list)) {
            // A name that cannot be part of a path text, or a path that does not fit, is left
            // out as a directory that cannot be listed would be; so is one that vanished or was
            // replaced since it was listed.
            DirectoryList_GetName(list, name, (int32_t)sizeof(name));
            const size_t nameLength = strlen(name);
            if (strchr(name, '\\') || directoryLength + nameLength + 2 > (size_t)PATH_LIST_SIZE) continue;
            uint64_t childSize = 0;
            if (!IsCancelled()) {
                alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
                DirectoryList* child = DirectoryList_Stack(memory);
                if (DirectoryList_StartEntry(child, list))
                    SumListing(child, directoryLength + nameLength + 1, &childSize);
                DirectoryList_Unstack(child);
            }
            sum += childSize;
            // Cancelled below: the sum is not complete, whatever this level still holds.
            if (IsCancelled()) {
                complete = 0;
                break;
            }
            continue;
        }
        uint64_t allocated = 0;
        DirectoryList_GetAllocatedSize(list, &allocated);
        sum += allocated;
        if (IsCancelled()) {
            complete = 0;
            break;
        }
    } while (DirectoryList_GetNext(list));
    *size = sum;
    return complete;
}

} // namespace

int64_t Path_GetDirectorySizeInt(const char* directory, uint64_t* size) {
    ASSERT_POINTER(directory);
    ASSERT_POINTER(size);
    *size = 0;
    if (IsCancelled()) return 0;
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    if (!DirectoryList_Start(list, 0, directory)) {
        DirectoryList_Unstack(list);
        return 0;
    }
    const int64_t complete = SumListing(list, strlen(directory), size);
    DirectoryList_Unstack(list);
    return complete;
}

int64_t Path_Init() {
    return 1;
}

int64_t Path_Remove() {
    Platform_CAS(&Global_PathDirectorySize.Running, 0, 1);
    JoinWorker();
    return 1;
}

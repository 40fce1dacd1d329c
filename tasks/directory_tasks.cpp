// The directory task types: DirectoryCreate, DirectoryCopy, DirectoryMove, DirectoryDelete,
// DirectoryExists, DirectoryIsEmpty and DiskSpaceCheck on worker threads; DirectoryList and
// DirectoryIsWritable on the main thread.
#include <cerrno>
#include <cstring>

#include "core/linux/platform.h"
#include "core/linux/platform_file.h"
#include "core/platform/directory_list.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "tasks/file_tasks_internal.h"

namespace {

bool EndsWithSeparator(const char* path) {
    const size_t length = strlen(path);
    return length > 0 && (path[length - 1] == '/' || path[length - 1] == '\\');
}

// ---- DirectoryCreate ------------------------------------------------------------------------------

uint32_t CreateStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    Task_Print(self->Head.Owner, "Creating directory (%s)", self->Path);
    return 1;
}

void CreateRun(FileTask* self) {
    if (Path_DirectoryExists(self->Path)) return;
    PlatformErrorCode code = 0;
    if (!Path_CreateDirectory(self->Path, 0, &code)) FileTask_SetPlatformError(self, code);
}

// ---- DirectoryCopy --------------------------------------------------------------------------------

uint32_t CopyStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "sourcePath", self->SourcePath) ||
        !FileTask_RequirePath(self, "targetPath", self->TargetPath))
        return 0;
    self->Recurse = FileTask_Boolean(self, "recurse", 1);
    self->Overwrite = FileTask_Boolean(self, "overwrite", 1);
    Task_Print(self->Head.Owner, "Copying directory (%s -> %s)", self->SourcePath, self->TargetPath);
    return 1;
}

struct TimeWalk {
    char SourceRoot[PATH_SIZE];
    char TargetRoot[PATH_SIZE];
    size_t SourceRootLength;
    PlatformErrorCode Error;
};

// Post-order, per source directory below the root: its time given again to its copy, once
// nothing more is written into the copy.
uint32_t RestoreTime(DirectoryList* list, void* user, uint32_t, const char* path) {
    TimeWalk* walk = static_cast<TimeWalk*>(user);
    EncodedTime modified = 0;
    DirectoryList_GetModifiedTime(list, &modified);
    char target[DIRECTORY_LIST_PATH_SIZE];
    String_Print(target, sizeof(target), "%s%s", walk->TargetRoot, path + walk->SourceRootLength);
    PlatformErrorCode code = 0;
    if (strlen(target) >= (size_t)PATH_SIZE)
        code = PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG;
    else if (!Path_SetModifiedTime(target, &code, modified) && !code)
        code = PLATFORM_ERROR_ERRNO_BASE + EIO;
    if (!code) return 1;
    walk->Error = code;
    return 0;
}

void CopyRun(FileTask* self) {
    errno = 0;
    if (!Path_CopyDirectory(self->SourcePath, self->TargetPath, self->Overwrite, self->Recurse)) {
        FileTask_SetPlatformError(self, 0);
        return;
    }
    // The copy gives each subdirectory its source's time as it makes it, and then fills it, which
    // changes that time again: the times are given once more when the tree is complete. Without
    // overwrite, directories already there keep theirs.
    if (!self->Recurse || !self->Overwrite) return;
    TimeWalk walk{};
    if (!Path_Resolve(self->SourcePath, walk.SourceRoot, PATH_SIZE) ||
        !Path_Resolve(self->TargetPath, walk.TargetRoot, PATH_SIZE)) {
        FileTask_SetPlatformError(self, PLATFORM_ERROR_ERRNO_BASE + ENAMETOOLONG);
        return;
    }
    Path_Fix(walk.SourceRoot, PATH_SIZE, PATH_FIX_TRAILING);
    Path_Fix(walk.TargetRoot, PATH_SIZE, PATH_FIX_TRAILING);
    walk.SourceRootLength = strlen(walk.SourceRoot);
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    DirectoryList_SetWalkOrder(list, DIRECTORY_LIST_ORDER_POST);
    DirectoryList_SetWalkFlags(list, DIRECTORY_LIST_WALK_DIRECTORIES | DIRECTORY_LIST_WALK_NO_ROOT_LINK);
    DirectoryList_SetWalkCallback(list, &walk, RestoreTime);
    if (!DirectoryList_Walk(list, walk.SourceRoot, nullptr)) FileTask_SetPlatformError(self, walk.Error);
    DirectoryList_Unstack(list);
}

// ---- DirectoryMove --------------------------------------------------------------------------------

uint32_t MoveStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "sourcePath", self->SourcePath) ||
        !FileTask_RequirePath(self, "targetPath", self->TargetPath))
        return 0;
    Task_Print(self->Head.Owner, "Moving directory (%s -> %s)", self->SourcePath, self->TargetPath);
    return 1;
}

void MoveRun(FileTask* self) {
    // Workflows move a directory into place only once: one already there is left as it is.
    if (Path_DirectoryExists(self->TargetPath)) {
        Task_Print(self->Head.Owner, "Target directory already exists");
        return;
    }
    errno = 0;
    if (!Path_MoveDirectory(self->SourcePath, self->TargetPath)) FileTask_SetPlatformError(self, 0);
}

// ---- DirectoryDelete ------------------------------------------------------------------------------

uint32_t DeleteStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    self->FailIfMissing = FileTask_Boolean(self, "failIfMissing", 0);
    self->OnlyIfEmpty = FileTask_Boolean(self, "onlyIfEmpty", 0);
    Task_Print(self->Head.Owner, "Erasing directory %s(%s)", self->OnlyIfEmpty ? "if empty " : "",
               self->Path);
    return 1;
}

void DeleteRun(FileTask* self) {
    if (!Path_Exists(self->Path)) {
        if (!self->FailIfMissing) return;
        Task_Print(self->Head.Owner, "Directory does not exist (%s)", self->Path);
        WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessInvalid");
        return;
    }
    if (self->OnlyIfEmpty && !Path_IsDirectoryEmpty(self->Path)) {
        Task_Print(self->Head.Owner, "Directory is not empty");
        return;
    }
    PlatformErrorCode code = 0;
    char mountPoint[DIRECTORY_LIST_PATH_SIZE];
    if (Path_EraseDirectoryReport(self->Path, 4, &code, mountPoint, (int32_t)sizeof(mountPoint))) return;
    // Another file system inside the tree is not the workflow's to erase: the failure names it.
    if (mountPoint[0])
        Task_Print(self->Head.Owner, "Another file system is mounted inside the directory (%s)", mountPoint);
    FileTask_SetPlatformError(self, code);
}

// ---- DirectoryExists ------------------------------------------------------------------------------

uint32_t ExistsStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    Task_Print(self->Head.Owner, "Checking if directory exists (%s)", self->Path);
    return 1;
}

void ExistsRun(FileTask* self) {
    self->Found = Path_DirectoryExists(self->Path) ? 1 : 0;
}

void ExistsDone(FileTask* self) {
    FileTask_Outcome(self, self->Found ? "exists" : "missing");
}

// ---- DirectoryIsEmpty -----------------------------------------------------------------------------

uint32_t IsEmptyStart(FileTask* self) {
    if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    self->FailIfMissing = FileTask_Boolean(self, "failIfMissing", 0);
    Task_Print(self->Head.Owner, "Checking if directory is empty (%s)", self->Path);
    return 1;
}

void IsEmptyRun(FileTask* self) {
    self->Found = 1;
    if (!Path_DirectoryExists(self->Path)) {
        if (!self->FailIfMissing) return;
        Task_Print(self->Head.Owner, "Directory does not exist (%s)", self->Path);
        WorkerTask_SetError(self->Head.Worker, "Platform_Error_AccessInvalid");
        return;
    }
    char directory[PATH_SIZE + 1];
    String_CopyLength(directory, self->Path, PATH_SIZE);
    if (!EndsWithSeparator(directory)) strcat(directory, "/");
    alignas(DIRECTORY_LIST_ALIGN) unsigned char memory[DIRECTORY_LIST_STACK_SIZE];
    DirectoryList* list = DirectoryList_Stack(memory);
    errno = 0;
    // A directory that cannot be read is not known to be empty.
    if (!DirectoryList_Start(list, 0, directory)) {
        FileTask_SetPlatformError(self, 0);
    } else {
        do {
            if (!DirectoryList_IsDots(list)) {
                self->Found = 0;
                break;
            }
        } while (DirectoryList_GetNext(list));
    }
    DirectoryList_Unstack(list);
}

void IsEmptyDone(FileTask* self) {
    FileTask_Outcome(self, self->Found ? "empty" : "notEmpty");
}

// ---- DiskSpaceCheck -------------------------------------------------------------------------------

uint32_t SpaceStart(FileTask* self) {
    if (!FileTask_RequireNumber(self, "requiredBytes", &self->Number)) return 0;
    if (Task_HasArgument(self->Head.Owner, "path")) {
        if (!FileTask_RequirePath(self, "path", self->Path)) return 0;
    } else {
        Platform_GetSpecialPath(PLATFORM_PATH_MODULE_DIRECTORY, self->Path, PATH_SIZE);
    }
    // The volume is asked about through a directory, which the free-space query wants written
    // with its trailing separator.
    if (!EndsWithSeparator(self->Path)) {
        if (strlen(self->Path) + 1 >= (size_t)PATH_SIZE) {
            Task_Print(self->Head.Owner, "path argument is not a usable path");
            WorkerTask_SetError(self->Head.Worker, "Task_Error_InvalidArg");
            return 0;
        }
        strcat(self->Path, "/");
    }
    Task_Print(self->Head.Owner, "Checking free disk space (%s)", self->Path);
    Task_Print(self->Head.Owner, "Required bytes (%.2f)", self->Number);
    return 1;
}

void SpaceRun(FileTask* self) {
    errno = 0;
    if (!Platform_GetFreeDiskSpace(self->Path, &self->FreeBytes)) FileTask_SetPlatformError(self, 0);
}

void SpaceDone(FileTask* self) {
    Task_Print(self->Head.Owner, "Free bytes (%I64d)", (int64_t)self->FreeBytes);
    FileTask_Outcome(self, self->Number > (double)self->FreeBytes ? "notEnough" : "enough");
}

constexpr FileTaskKind kCreate = FileTask_Kind(0x141cb0c4, CreateStart, CreateRun, nullptr);
constexpr FileTaskKind kCopy = FileTask_Kind(0x79261c8a, CopyStart, CopyRun, nullptr);
constexpr FileTaskKind kMove = FileTask_Kind(0x01fed304, MoveStart, MoveRun, nullptr);
constexpr FileTaskKind kDelete = FileTask_Kind(0x46b0f2c5, DeleteStart, DeleteRun, nullptr);
constexpr FileTaskKind kExists = FileTask_Kind(0x858a6e2d, ExistsStart, ExistsRun, ExistsDone);
constexpr FileTaskKind kIsEmpty = FileTask_Kind(0xb70ba009, IsEmptyStart, IsEmptyRun, IsEmptyDone);
constexpr FileTaskKind kSpace = FileTask_Kind(0x911e8b8d, SpaceStart, SpaceRun, SpaceDone);

template <const FileTaskKind* Kind> int64_t Create(void** instance, Task* task) {
    return FileTask_Create(Kind, instance, task);
}

enum : uint32_t {
    DIRECTORY_LIST_TASK_CLASS_ID = 0x67eede3d,
    DIRECTORY_IS_WRITABLE_TASK_CLASS_ID = 0x219793c4,
};

// ---- DirectoryList --------------------------------------------------------------------------------

struct ListTask {
    TaskBase Head;
    DirectoryList* List;
    char Directory[PATH_SIZE];
    uint32_t SkipHidden;
    uint32_t SkipReadOnly;
    // A sub-action for the current entry has not ended yet.
    uint32_t Waiting;
    // The walk is inside Task_RunSubAction: an end reported from there is picked up by the walk.
    uint32_t InWalk;
    uint32_t Finished;
    // The result of the last entry's sub-action, which the task completes with.
    Dictionary* LastResult;
};

void ListFinish(ListTask* self, Dictionary* result) {
    self->Finished = 1;
    DirectoryList_Stop(self->List);
    Task_Complete(self->Head.Owner, result);
}

void PublishEntry(ListTask* self, bool isDirectory) {
    char name[PLATFORM_FIND_NAME_CAPACITY];
    DirectoryList_GetName(self->List, name, sizeof(name));
    char path[DIRECTORY_LIST_PATH_SIZE];
    String_Print(path, sizeof(path), "%s%s%s", self->Directory, name, isDirectory ? "/" : "");
    EncodedTime modified = 0, created = 0;
    uint64_t size = 0;
    DirectoryList_GetModifiedTime(self->List, &modified);
    DirectoryList_GetCreationTime(self->List, &created);
    DirectoryList_GetSize(self->List, &size);
    Dictionary* status = nullptr;
    if (!Dictionary_Create(&status)) return;
    Dictionary_SetStringByKey(status, "directory", self->Directory);
    Dictionary_SetStringByKey(status, "path", path);
    Dictionary_SetStringByKey(status, "name", name);
    Dictionary_SetFloat64ByKey(status, "modifiedTime", modified);
    Dictionary_SetFloat64ByKey(status, "creationTime", created);
    Dictionary_SetInt64ByKey(status, "size", (int64_t)size);
    Dictionary_SetInt32ByKey(status, "hidden", DirectoryList_IsHidden(self->List) ? 1 : 0);
    Dictionary_SetInt32ByKey(status, "readOnly", DirectoryList_IsReadOnly(self->List) ? 1 : 0);
    Dictionary_SetInt32ByKey(status, "symLink", DirectoryList_IsSymLink(self->List) ? 1 : 0);
    Task_SetStatusWithDictionary(self->Head.Owner, status);
    Dictionary_Release(&status);
}

int64_t OnEntryDone(Task* task, void* user, Dictionary* result);

// Visits entries from the current one (or the next, with advance) until one waits for its
// sub-action or the listing ends. One entry at a time: the next is taken only after the
// previous entry's sub-action has ended.
void ListWalk(ListTask* self, bool advance) {
    for (;;) {
        if (self->Finished || Task_IsCompleted(self->Head.Owner)) return;
        if (advance && !DirectoryList_GetNext(self->List)) {
            ListFinish(self, self->LastResult);
            return;
        }
        advance = true;
        if (DirectoryList_IsDots(self->List)) continue;
        if (self->SkipHidden && DirectoryList_IsHidden(self->List)) continue;
        if (self->SkipReadOnly && DirectoryList_IsReadOnly(self->List)) continue;
        const bool isDirectory = DirectoryList_IsDirectory(self->List) != 0;
        PublishEntry(self, isDirectory);
        const char* key = isDirectory ? "forEachDirectory" : "forEachFile";
        if (!Task_HasArgument(self->Head.Owner, key)) continue;
        self->Waiting = 1;
        self->InWalk = 1;
        Task_RunSubAction(self->Head.Owner, key, self, OnEntryDone);
        self->InWalk = 0;
        // Still running: its end goes on with the walk.
        if (self->Waiting) return;
    }
}

int64_t OnEntryDone(Task* task, void* user, Dictionary* result) {
    ListTask* self = static_cast<ListTask*>(user);
    self->Waiting = 0;
    if (self->Finished || Task_IsCompleted(task)) return 1;
    Dictionary_Release(&self->LastResult);
    if (result && Dictionary_Create(&self->LastResult))
        Dictionary_Merge(self->LastResult, result, DICTIONARY_MERGE_OVERWRITE);
    uint32_t successful = 1;
    if (result) Dictionary_GetBooleanByKey(result, "successful", &successful);
    if (!successful || Task_HasError(task, nullptr)) {
        ListFinish(self, self->LastResult);
        return 1;
    }
    if (!self->InWalk) ListWalk(self, true);
    return 1;
}

int64_t ListOnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    ListTask* self = static_cast<ListTask*>(user);
    Task* task = self->Head.Owner;
    DirectoryList_Stop(self->List);
    Dictionary_Release(&self->LastResult);
    self->Waiting = 0;
    self->InWalk = 0;
    self->Finished = 0;
    if (!Task_HasArgument(task, "path")) {
        Task_Print(task, "\"path\" argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
        Task_Complete(task, nullptr);
        return 1;
    }
    char path[PATH_SIZE];
    if (!Task_GetStringArgument(task, "path", path, PATH_SIZE) || !path[0]) {
        Task_Print(task, "path argument is not a usable path");
        Task_AddError(task, "Task_Error_InvalidArg");
        Task_Complete(task, nullptr);
        return 1;
    }
    if (TaskBase_RefuseLocation(&self->Head, "path", path)) return 1;
    uint32_t value = 0;
    self->SkipHidden = Task_GetBooleanArgument(task, "skipHidden", &value) ? value : 1;
    self->SkipReadOnly = Task_GetBooleanArgument(task, "skipReadOnly", &value) ? value : 0;
    Path_ParseDirectory(path, self->Directory, PATH_SIZE);
    uint32_t verbose = 0;
    Task_GetVerbose(task, &verbose);
    DirectoryList_SetVerbose(self->List, verbose);
    // Nothing to list (no such directory, nothing matching) is an empty listing, not a failure.
    const int64_t started = strchr(path, '*') ? DirectoryList_Start(self->List, 1, path)
                                              : DirectoryList_Start(self->List, 0, self->Directory);
    if (!started) {
        ListFinish(self, nullptr);
        return 1;
    }
    ListWalk(self, false);
    return 1;
}

int64_t ListInit(TaskBase* base) {
    return DirectoryList_Create(&reinterpret_cast<ListTask*>(base)->List);
}

void ListFree(TaskBase* base) {
    ListTask* self = reinterpret_cast<ListTask*>(base);
    DirectoryList_Release(&self->List);
    Dictionary_Release(&self->LastResult);
}

const TaskBaseType kListType = {.ClassId = DIRECTORY_LIST_TASK_CLASS_ID,
                                .Size = (uint32_t)sizeof(ListTask),
                                .OnStart = ListOnStart,
                                .Init = ListInit,
                                .Free = ListFree};

int64_t ListCreate(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kListType);
}

// ---- DirectoryIsWritable --------------------------------------------------------------------------

bool CheckWritable(Task* task, const char* path, uint32_t recurse) {
    Task_Print(task, "Checking if directory is writable (%s)", path);
    return Platform_Access(path, PLATFORM_ACCESS_WRITE, recurse ? 1 : 0) != 0;
}

int64_t WritableOnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Task* task = static_cast<TaskBase*>(user)->Owner;
    uint32_t recurse = 0;
    Task_GetBooleanArgument(task, "recurse", &recurse);
    Task_SetProgress(task, 0);
    uint32_t type = 0;
    Dictionary_GetTypeByKey(Task_GetDictionaryHandle(task), "path", &type);
    bool writable = true;
    char path[PATH_SIZE];
    if (type == DICTIONARY_TYPE_LIST) {
        Dictionary* list = nullptr;
        Dictionary_GetListByKey(Task_GetDictionaryHandle(task), "path", &list);
        uint32_t count = 0, done = 0;
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) count++;
        for (Dictionary_ItemGetFirst(list, &item); item && writable;
             Dictionary_ItemGetNext(list, item, &item)) {
            const char* text = nullptr;
            if (!Dictionary_ItemGetStringPtr(list, item, &text) || !text ||
                String_CopyLength(path, text, PATH_SIZE) >= PATH_SIZE ||
                !Task_ExpandString(task, path, PATH_SIZE)) {
                Task_Print(task, "path argument is not a usable path");
                Task_AddError(task, "Task_Error_InvalidArg");
                break;
            }
            if (TaskBase_RefuseLocation(static_cast<TaskBase*>(user), "path", path)) return 1;
            writable = CheckWritable(task, path, recurse);
            if (writable) Task_SetProgress(task, (double)++done / (double)count);
        }
    } else if (Task_HasArgument(task, "path")) {
        if (Task_GetStringArgument(task, "path", path, PATH_SIZE)) {
            if (TaskBase_RefuseLocation(static_cast<TaskBase*>(user), "path", path)) return 1;
            writable = CheckWritable(task, path, recurse);
        } else {
            Task_Print(task, "path argument is not a usable path");
            Task_AddError(task, "Task_Error_InvalidArg");
        }
    } else {
        Task_Print(task, "path argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
    }
    if (Task_HasError(task, nullptr)) {
        Task_Complete(task, nullptr);
        return 1;
    }
    Task_SetProgress(task, 1);
    TaskBase_RunOutcome(static_cast<TaskBase*>(user), writable ? "writable" : "notWritable");
    return 1;
}

const TaskBaseType kWritableType = {.ClassId = DIRECTORY_IS_WRITABLE_TASK_CLASS_ID,
                                    .Size = (uint32_t)sizeof(TaskBase),
                                    .OnStart = WritableOnStart};

int64_t WritableCreate(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kWritableType);
}

} // namespace

const TaskInterface DirectoryCreateTaskInterface = {"DirectoryCreate", Create<&kCreate>, TaskBase_AddRef,
                                                    TaskBase_Release};
const TaskInterface DirectoryCopyTaskInterface = {"DirectoryCopy", Create<&kCopy>, TaskBase_AddRef,
                                                  TaskBase_Release};
const TaskInterface DirectoryMoveTaskInterface = {"DirectoryMove", Create<&kMove>, TaskBase_AddRef,
                                                  TaskBase_Release};
const TaskInterface DirectoryDeleteTaskInterface = {"DirectoryDelete", Create<&kDelete>, TaskBase_AddRef,
                                                    TaskBase_Release};
const TaskInterface DirectoryExistsTaskInterface = {"DirectoryExists", Create<&kExists>, TaskBase_AddRef,
                                                    TaskBase_Release};
const TaskInterface DirectoryIsEmptyTaskInterface = {"DirectoryIsEmpty", Create<&kIsEmpty>, TaskBase_AddRef,
                                                     TaskBase_Release};
const TaskInterface DiskSpaceCheckTaskInterface = {"DiskSpaceCheck", Create<&kSpace>, TaskBase_AddRef,
                                                   TaskBase_Release};
const TaskInterface DirectoryListTaskInterface = {"DirectoryList", ListCreate, TaskBase_AddRef,
                                                  TaskBase_Release};
const TaskInterface DirectoryIsWritableTaskInterface = {"DirectoryIsWritable", WritableCreate,
                                                        TaskBase_AddRef, TaskBase_Release};

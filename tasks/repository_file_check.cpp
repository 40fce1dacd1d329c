// The RepositoryFileCheck task: reads a local manifest on a worker thread and checks that every
// file it lists is present below the installation with its size (and modification time), stopping
// at the first that is not; the outcome word is "valid" or "notValid".
#include <cmath>
#include <cstring>

#include "core/linux/platform_error.h"
#include "core/platform/file.h"
#include "core/platform/path.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log_text.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"
#include "repository/linux/storage_file_os.h"
#include "repository/storage_file_path.h"
#include "tasks/repository_tasks.h"
#include "tasks/task_base.h"
#include "workflow/worker_task.h"

namespace {

constexpr const char* kMetaFileError = "RepositoryFileCheck_Error_MetaFile";

struct RepositoryFileCheck {
    TaskBase Head;
    char MetaFile[PATH_SIZE];
    char Path[PATH_SIZE];
    uint32_t Timestamp;
    uint32_t Valid;
    // The error key the walk ended with; added to the task on the main thread.
    const char* Error;
};

RepositoryFileCheck* Self(void* user) {
    return static_cast<RepositoryFileCheck*>(user);
}

// The manifest file whole, with a terminating zero; null when it cannot be read completely.
char* ReadWhole(const char* path, int32_t* length) {
    *length = 0;
    File* file = nullptr;
    if (!File_Create(&file)) return nullptr;
    char* buffer = nullptr;
    uint64_t size = 0;
    if (File_Open(file, path, FILE_READ) && File_Length(file, &size) && size < (uint64_t)INT32_MAX) {
        buffer = static_cast<char*>(Memory_Alloc((size_t)size + 1));
        uint64_t done = 0;
        while (buffer && done < size) {
            uint32_t read = 0;
            if (!File_Read(file, buffer + done, (uint32_t)(size - done), &read) || read == 0) break;
            done += read;
        }
        if (buffer && done == size) {
            buffer[size] = 0;
            *length = (int32_t)size;
        } else if (buffer) {
            Memory_Free(buffer, (size_t)size + 1);
            buffer = nullptr;
        }
    }
    File_Release(&file);
    return buffer;
}

// Status of a listed file, reached below the installation without following links: a name that
// would leave the installation (absolute, with "..") or pass through a link counts as missing.
bool FindFile(const char* root, const char* name, StorageFileOSStatus* status) {
    char checked[PATH_SIZE];
    if (!StorageFilePath_Check(name, checked, sizeof(checked))) return false;
    int32_t directory = -1;
    const char* leaf = nullptr;
    if (StorageFileOS_OpenParent(root, checked, 0, &directory, &leaf) != 0) return false;
    const bool found = StorageFileOS_Status(directory, leaf, status) == 0 && status->Kind == STORAGE_FILE_OS_FILE;
    StorageFileOS_Close(&directory);
    return found;
}

// A link entry's attribute bit: the entry is a symbolic link, with no data of its own.
constexpr int64_t kAttributeLink = 8;

// Whether a listed link is in place: a symbolic link (never followed) below the installation,
// pointing where the manifest says when it says. *target gets what it points at.
bool FindLink(const char* root, const char* name, char* target, int32_t size) {
    target[0] = 0;
    char checked[PATH_SIZE];
    if (!StorageFilePath_Check(name, checked, sizeof(checked))) return false;
    int32_t directory = -1;
    const char* leaf = nullptr;
    if (StorageFileOS_OpenParent(root, checked, 0, &directory, &leaf) != 0) return false;
    StorageFileOSStatus status = {};
    const bool found = StorageFileOS_Status(directory, leaf, &status) == 0 && status.Kind == STORAGE_FILE_OS_LINK &&
                       StorageFileOS_ReadLink(directory, leaf, target, size) == 0;
    StorageFileOS_Close(&directory);
    return found;
}

// One entry of the list; 0 ends the walk as not valid.
bool CheckEntry(RepositoryFileCheck* self, Dictionary* entry) {
    Task* task = self->Head.Owner;
    char name[PATH_SIZE];
    int64_t size = 0;
    if (!entry || !Dictionary_GetStringByKey(entry, "name", name, sizeof(name)) ||
        !Dictionary_GetInt64ByKey(entry, "size", &size)) {
        Task_Print(task, "Invalid metafile format (%s)", "missing name or size");
        self->Error = kMetaFileError;
        return false;
    }
    char path[PATH_SIZE];
    String_Print(path, sizeof(path), "%s", self->Path);
    Path_FixSlash(path, sizeof(path), 1);
    const size_t used = strlen(path);
    if (used + strlen(name) >= sizeof(path)) {
        Task_Print(task, "File does not exist - %s", LogText(name).Text);
        return false;
    }
    memcpy(path + used, name, strlen(name) + 1);
    int64_t attributes = 0;
    if (Dictionary_GetInt64ByKey(entry, "attr", &attributes) && (attributes & kAttributeLink)) {
        // A link carries no size or time of its own: it is right when it points where it should.
        char wanted[PATH_SIZE], target[PATH_SIZE];
        if (!FindLink(self->Path, name, target, sizeof(target))) {
            Task_Print(task, "File does not exist - %s", path);
            return false;
        }
        if (Dictionary_GetStringByKey(entry, "link", wanted, sizeof(wanted)) && strcmp(wanted, target) != 0) {
            Task_Print(task, "Link target does not match - %s (%s:%s)", path, wanted, target);
            return false;
        }
        return true;
    }
    StorageFileOSStatus status = {};
    if (!FindFile(self->Path, name, &status)) {
        Task_Print(task, "File does not exist - %s", LogText(path).Text);
        return false;
    }
    if ((int64_t)status.Size != size) {
        Task_Print(task, "File size does not match - %s (%lld:%lld)", LogText(path).Text, (long long)size,
                   (long long)status.Size);
        return false;
    }
    if (self->Timestamp) {
        double mtime = 0;
        if (!Dictionary_GetFloat64ByKey(entry, "mtime", &mtime)) {
            Task_Print(task, "Invalid metafile format (%s)", "missing mtime");
            self->Error = kMetaFileError;
            return false;
        }
        const double actual = (double)status.ModifiedSeconds;
        if (std::trunc(mtime) != actual) {
            Task_Print(task, "File modified time does not match - %s (%lld:%.0f)", LogText(path).Text,
                       (long long)mtime, actual);
            return false;
        }
    }
    return true;
}

void Thread_OnWork(WorkerTask*, void* user) {
    RepositoryFileCheck* self = Self(user);
    int32_t length = 0;
    char* text = ReadWhole(self->MetaFile, &length);
    Dictionary* document = nullptr;
    Dictionary* files = nullptr;
    uint32_t count = 0;
    if (text && Dictionary_Create(&document) && Task_DecodeJSON(self->Head.Owner, text, length, document)) {
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(document, &root);
        uint32_t type = 0;
        if (root && Dictionary_GetTypeByKey(root, "files", &type) && type == DICTIONARY_TYPE_LIST)
            Dictionary_GetListByKey(root, "files", &files);
        if (files) Dictionary_ItemGetCount(files, &count);
    }
    if (text) Memory_Free(text, (size_t)length + 1);
    if (count == 0) {
        self->Error = kMetaFileError;
        Dictionary_Release(&document);
        return;
    }
    self->Valid = 1;
    uint32_t done = 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(files, &item); item; Dictionary_ItemGetNext(files, item, &item)) {
        Dictionary* entry = nullptr;
        uint32_t type = 0;
        if (Dictionary_ItemGetType(files, item, &type) && type == DICTIONARY_TYPE_DICTIONARY)
            Dictionary_ItemGetDictionaryHandle(files, item, &entry);
        if (TaskBase_IsStopRequested(&self->Head) || !CheckEntry(self, entry)) {
            self->Valid = 0;
            break;
        }
        TaskBase_PostProgress(&self->Head, ++done, count);
    }
    Dictionary_Release(&document);
}

// ---- Main thread ----------------------------------------------------------------------------

uint32_t OnWorkerStart(WorkerTask* worker, void* user) {
    RepositoryFileCheck* self = Self(user);
    Task* task = self->Head.Owner;
    if (!WorkerTask_RequireArgument(worker, "metafile") || !WorkerTask_RequireArgument(worker, "path")) return 0;
    Task_GetStringArgument(task, "metafile", self->MetaFile, sizeof(self->MetaFile));
    Task_GetStringArgument(task, "path", self->Path, sizeof(self->Path));
    if (TaskBase_RefuseLocation(&self->Head, "metafile", self->MetaFile) ||
        TaskBase_RefuseLocation(&self->Head, "path", self->Path))
        return 0;
    uint32_t timestamp = 1;
    if (Task_HasArgument(task, "timestamp")) Task_GetBooleanArgument(task, "timestamp", &timestamp);
    self->Timestamp = timestamp ? 1 : 0;
    self->Valid = 0;
    self->Error = nullptr;
    Task_Print(task, "Checking repository files - %s", self->Path);
    // The manifest is read whole: a device, FIFO or folder in its place is refused.
    if (Path_Exists(self->MetaFile)) {
        if (const int32_t refused = TaskBase_JudgeFileName(task, self->MetaFile, 0)) {
            const char* name = Platform_TranslateError((PlatformErrorCode)refused);
            WorkerTask_SetError(worker, "Platform_Error_%s", name ? name : "AccessInvalid");
            return 0;
        }
    }
    return 1;
}

// The walk's end: its error, or full progress, then the word.
void OnWorkerSuccess(TaskBase* base) {
    RepositoryFileCheck* self = Self(base);
    if (self->Error)
        Task_AddError(base->Owner, "%s", self->Error);
    else
        Task_SetProgress(base->Owner, 1.0);
    TaskBase_RunOutcome(base, self->Valid ? "valid" : "notValid");
}

const TaskBaseType kFileCheckType = {.ClassId = REPOSITORYFILECHECK_CLASS_ID,
                                     .Size = sizeof(RepositoryFileCheck),
                                     .OnWorkerStart = OnWorkerStart,
                                     .Thread_OnWork = Thread_OnWork,
                                     .OnCancel = TaskBase_OnCancelStop,
                                     .OnWorkerSuccess = OnWorkerSuccess};

} // namespace

int64_t RepositoryFileCheck_Create(void** instance, Task* task) {
    return TaskBase_CreateWorker(instance, task, &kFileCheckType);
}

int64_t RepositoryFileCheck_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}

int64_t RepositoryFileCheck_Release(void** instance) {
    return TaskBase_Release(instance);
}

const TaskInterface RepositoryFileCheck_Interface = {"RepositoryFileCheck", RepositoryFileCheck_Create,
                                                     RepositoryFileCheck_AddRef, RepositoryFileCheck_Release};

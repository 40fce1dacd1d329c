// Task type lists and the table of built-in task types. A list keeps its own copy of each record
// and of its name, so callers may pass records built on the stack or names they free later.
#include "workflow/task_type.h"

#include "core/runtime/callback.h"
#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "workflow/workflow_run.h"

struct TaskTypeEntry {
    TaskTypeEntry* Prev;
    TaskTypeEntry* Next;
    TaskInterface Record; // Record.Name points at Name below
    char Name[TASKTYPE_NAME_SIZE];
};

struct TaskTypeList {
    Class Header;
    TaskTypeEntry* First;
    TaskTypeEntry* Last;
    uint32_t Count;
    CallbackBase RemoveCallback;
};

namespace {

int64_t DeleteHandle(void** handle) {
    return TaskTypeList_Delete(reinterpret_cast<TaskTypeList**>(handle));
}

// The record's name as a list stores it: cut to 39 characters.
void StoredName(const TaskInterface* record, char* name) {
    String_CopyLength(name, record->Name ? record->Name : "", TASKTYPE_NAME_SIZE);
}

bool Matches(const TaskTypeEntry* entry, const TaskInterface* record, const char* storedName) {
    return entry->Record.Create == record->Create && entry->Record.AddRef == record->AddRef &&
           entry->Record.Release == record->Release && String_Compare(entry->Name, storedName);
}

TaskTypeEntry* FindRecord(TaskTypeList* list, const TaskInterface* record) {
    char name[TASKTYPE_NAME_SIZE];
    StoredName(record, name);
    for (TaskTypeEntry* entry = list->First; entry; entry = entry->Next)
        if (Matches(entry, record, name)) return entry;
    return nullptr;
}

TaskTypeEntry* FindName(TaskTypeList* list, const char* name) {
    for (TaskTypeEntry* entry = list->First; entry; entry = entry->Next)
        if (String_CompareWithoutCase(entry->Name, name)) return entry;
    return nullptr;
}

// The entry is unlinked before the callback runs, so a callback that edits the list (or removes
// the same record again) cannot reach an entry that is about to be freed.
void RemoveEntry(TaskTypeList* list, TaskTypeEntry* entry) {
    if (entry->Prev)
        entry->Prev->Next = entry->Next;
    else
        list->First = entry->Next;
    if (entry->Next)
        entry->Next->Prev = entry->Prev;
    else
        list->Last = entry->Prev;
    list->Count--;
    void* user = nullptr;
    TaskTypeListRemoveCallback callback = nullptr;
    if (CallbackBase_Get(&list->RemoveCallback, &user, &callback) && callback) callback(user, &entry->Record);
    Memory_Free(entry, sizeof(TaskTypeEntry));
}

// ---- Built-in types ---------------------------------------------------------------------------
// The built-in types arrive with the task library. Until a type is there its record exists (so
// documents naming it resolve and report plainly) but binding it to a task fails.

// The task's bound record names the variant; a Create called without one names its group.
int64_t Unavailable(Task* task, const char* group) {
    const TaskInterface* record = nullptr;
    Task_GetInterface(task, &record);
    Task_Print(task, "Task type (%s) is not available yet", record && record->Name ? record->Name : group);
    return 0;
}

int64_t UnavailableAddRef(void*) {
    return 0;
}

int64_t UnavailableRelease(void** instance) {
    ASSERT_POINTER(instance);
    *instance = nullptr;
    return 0;
}

// One Create per group: variants of a group share their first name's Create, which tells them
// apart by the task's type name.
#define TASKTYPE_CREATE(group)                                                                       \
    int64_t group##_CreateUnavailable(void** instance, Task* task) {                                 \
        ASSERT_POINTER(instance);                                                                    \
        *instance = nullptr;                                                                         \
        return Unavailable(task, #group);                                                            \
    }
#define TASKTYPE_RECORD(name, group)                                                                 \
    const TaskInterface name##_Interface = {#name, group##_CreateUnavailable, UnavailableAddRef,      \
                                            UnavailableRelease};

TASKTYPE_CREATE(InteropLoad)
TASKTYPE_CREATE(InteropUnload)
TASKTYPE_CREATE(CertStoreLoad)
TASKTYPE_CREATE(Queue)
TASKTYPE_CREATE(Aggregate)
TASKTYPE_CREATE(End)
TASKTYPE_CREATE(Implode)
TASKTYPE_CREATE(Sleep)
TASKTYPE_CREATE(Log)
TASKTYPE_CREATE(Notification)
TASKTYPE_CREATE(Status)
TASKTYPE_CREATE(StringContains)
TASKTYPE_CREATE(StringCompare)
TASKTYPE_CREATE(NumberCompare)
TASKTYPE_CREATE(VersionCompare)
TASKTYPE_CREATE(Singleton)
TASKTYPE_CREATE(Environment)
TASKTYPE_CREATE(Macro)
TASKTYPE_CREATE(PlistWrite)
TASKTYPE_CREATE(PlistRead)
TASKTYPE_CREATE(FileCopy)
TASKTYPE_CREATE(FileMove)
TASKTYPE_CREATE(FileDelete)
TASKTYPE_CREATE(FileExists)
TASKTYPE_CREATE(FileTruncate)
TASKTYPE_CREATE(FileHash)
TASKTYPE_CREATE(FileAuthenticate)
TASKTYPE_CREATE(DirectoryCreate)
TASKTYPE_CREATE(DirectoryCopy)
TASKTYPE_CREATE(DirectoryMove)
TASKTYPE_CREATE(DirectoryDelete)
TASKTYPE_CREATE(DirectoryExists)
TASKTYPE_CREATE(DirectoryList)
TASKTYPE_CREATE(DirectoryIsEmpty)
TASKTYPE_CREATE(DirectoryIsWritable)
TASKTYPE_CREATE(DiskSpaceCheck)
TASKTYPE_CREATE(RepositoryCheck)
TASKTYPE_CREATE(RepositoryFileCheck)
TASKTYPE_CREATE(Open)
TASKTYPE_CREATE(ProgramIsOpen)
TASKTYPE_CREATE(ProgramClose)
TASKTYPE_CREATE(ProcessList)
TASKTYPE_CREATE(Launch)
TASKTYPE_CREATE(RegistryKeyWrite)
TASKTYPE_CREATE(RegistryKeyRead)
TASKTYPE_CREATE(RegistryKeyCreate)
TASKTYPE_CREATE(RegistryKeyDelete)
TASKTYPE_CREATE(RegistryKeyExists)
TASKTYPE_CREATE(DMGMount)
TASKTYPE_CREATE(DMGUnmount)
TASKTYPE_CREATE(PKG)
TASKTYPE_CREATE(ShortcutCreate)
TASKTYPE_CREATE(ShortcutDelete)
TASKTYPE_CREATE(URLRedirect)
TASKTYPE_CREATE(URLRedirectMacro)
TASKTYPE_CREATE(Unzip)
TASKTYPE_CREATE(Download)
TASKTYPE_CREATE(IniRead)
TASKTYPE_CREATE(IniWrite)
TASKTYPE_CREATE(XMLRead)
TASKTYPE_CREATE(XMLWrite)
TASKTYPE_CREATE(JSONRead)
TASKTYPE_CREATE(JSONWrite)
TASKTYPE_CREATE(Analytics)
TASKTYPE_CREATE(Progress)

TASKTYPE_RECORD(InteropLoad, InteropLoad)
TASKTYPE_RECORD(InteropUnload, InteropUnload)
TASKTYPE_RECORD(CertStoreLoad, CertStoreLoad)
TASKTYPE_RECORD(Queue, Queue)
TASKTYPE_RECORD(Aggregate, Aggregate)
TASKTYPE_RECORD(End, End)
TASKTYPE_RECORD(Error, End)
TASKTYPE_RECORD(Shutdown, End)
TASKTYPE_RECORD(Implode, Implode)
TASKTYPE_RECORD(Sleep, Sleep)
TASKTYPE_RECORD(Log, Log)
TASKTYPE_RECORD(Notification, Notification)
TASKTYPE_RECORD(Status, Status)
TASKTYPE_RECORD(StringContains, StringContains)
TASKTYPE_RECORD(StringCompare, StringCompare)
TASKTYPE_RECORD(NumberCompare, NumberCompare)
TASKTYPE_RECORD(VersionCompare, VersionCompare)
TASKTYPE_RECORD(Singleton, Singleton)
TASKTYPE_RECORD(Environment, Environment)
TASKTYPE_RECORD(EnvironmentGet, Environment)
TASKTYPE_RECORD(EnvironmentSet, Environment)
TASKTYPE_RECORD(Macro, Macro)
TASKTYPE_RECORD(PlistWrite, PlistWrite)
TASKTYPE_RECORD(PlistRead, PlistRead)
TASKTYPE_RECORD(FileCopy, FileCopy)
TASKTYPE_RECORD(FileMove, FileMove)
TASKTYPE_RECORD(FileDelete, FileDelete)
TASKTYPE_RECORD(FileExists, FileExists)
TASKTYPE_RECORD(FileTruncate, FileTruncate)
TASKTYPE_RECORD(FileHash, FileHash)
TASKTYPE_RECORD(FileAuthenticate, FileAuthenticate)
TASKTYPE_RECORD(DirectoryCreate, DirectoryCreate)
TASKTYPE_RECORD(DirectoryCopy, DirectoryCopy)
TASKTYPE_RECORD(DirectoryMove, DirectoryMove)
TASKTYPE_RECORD(DirectoryDelete, DirectoryDelete)
TASKTYPE_RECORD(DirectoryExists, DirectoryExists)
TASKTYPE_RECORD(DirectoryList, DirectoryList)
TASKTYPE_RECORD(DirectoryIsEmpty, DirectoryIsEmpty)
TASKTYPE_RECORD(DirectoryIsWritable, DirectoryIsWritable)
TASKTYPE_RECORD(DiskSpaceCheck, DiskSpaceCheck)
TASKTYPE_RECORD(RepositoryCheck, RepositoryCheck)
TASKTYPE_RECORD(RepositoryFileCheck, RepositoryFileCheck)
TASKTYPE_RECORD(RepositorySync, RepositoryCheck)
TASKTYPE_RECORD(RepositoryErase, RepositoryCheck)
TASKTYPE_RECORD(Open, Open)
TASKTYPE_RECORD(ProgramOpen, Open)
TASKTYPE_RECORD(ProcessOpen, Open)
TASKTYPE_RECORD(ProgramIsOpen, ProgramIsOpen)
TASKTYPE_RECORD(ProcessIsOpen, ProgramIsOpen)
TASKTYPE_RECORD(ProgramClose, ProgramClose)
TASKTYPE_RECORD(ProcessClose, ProgramClose)
TASKTYPE_RECORD(ProcessList, ProcessList)
TASKTYPE_RECORD(Launch, Launch)
TASKTYPE_RECORD(RegistryKeyWrite, RegistryKeyWrite)
TASKTYPE_RECORD(RegistryKeyRead, RegistryKeyRead)
TASKTYPE_RECORD(RegistryKeyCreate, RegistryKeyCreate)
TASKTYPE_RECORD(RegistryKeyDelete, RegistryKeyDelete)
TASKTYPE_RECORD(RegistryKeyExists, RegistryKeyExists)
TASKTYPE_RECORD(DMGMount, DMGMount)
TASKTYPE_RECORD(DMGUnmount, DMGUnmount)
TASKTYPE_RECORD(PKG, PKG)
TASKTYPE_RECORD(ShortcutCreate, ShortcutCreate)
TASKTYPE_RECORD(ShortcutDelete, ShortcutDelete)
TASKTYPE_RECORD(URLRedirect, URLRedirect)
TASKTYPE_RECORD(URLRedirectMacro, URLRedirectMacro)
TASKTYPE_RECORD(Unzip, Unzip)
TASKTYPE_RECORD(Download, Download)
TASKTYPE_RECORD(IniRead, IniRead)
TASKTYPE_RECORD(IniWrite, IniWrite)
TASKTYPE_RECORD(XMLRead, XMLRead)
TASKTYPE_RECORD(XMLWrite, XMLWrite)
TASKTYPE_RECORD(JSONRead, JSONRead)
TASKTYPE_RECORD(JSONWrite, JSONWrite)
TASKTYPE_RECORD(Analytics, Analytics)
TASKTYPE_RECORD(Progress, Progress)

#undef TASKTYPE_CREATE
#undef TASKTYPE_RECORD

} // namespace

const TaskInterface* GlobalDefaultTaskInterfaces[TASKTYPE_DEFAULT_COUNT] = {
    &InteropLoad_Interface,       &InteropUnload_Interface,     &CertStoreLoad_Interface,
    &Queue_Interface,             &Aggregate_Interface,         &End_Interface,
    &Error_Interface,             &Shutdown_Interface,          &Implode_Interface,
    &Sleep_Interface,             &Log_Interface,               &Notification_Interface,
    &Status_Interface,            &StringContains_Interface,    &StringCompare_Interface,
    &NumberCompare_Interface,     &VersionCompare_Interface,    &Singleton_Interface,
    &Environment_Interface,       &EnvironmentGet_Interface,    &EnvironmentSet_Interface,
    &Macro_Interface,             &PlistWrite_Interface,        &PlistRead_Interface,
    &FileCopy_Interface,          &FileMove_Interface,          &FileDelete_Interface,
    &FileExists_Interface,        &FileTruncate_Interface,      &FileHash_Interface,
    &FileAuthenticate_Interface,  &DirectoryCreate_Interface,   &DirectoryCopy_Interface,
    &DirectoryMove_Interface,     &DirectoryDelete_Interface,   &DirectoryExists_Interface,
    &DirectoryList_Interface,     &DirectoryIsEmpty_Interface,  &DirectoryIsWritable_Interface,
    &DiskSpaceCheck_Interface,    &RepositoryCheck_Interface,   &RepositoryFileCheck_Interface,
    &RepositorySync_Interface,    &RepositoryErase_Interface,   &Open_Interface,
    &ProgramOpen_Interface,       &ProcessOpen_Interface,       &ProgramIsOpen_Interface,
    &ProcessIsOpen_Interface,     &ProgramClose_Interface,      &ProcessClose_Interface,
    &ProcessList_Interface,       &Launch_Interface,            &RegistryKeyWrite_Interface,
    &RegistryKeyRead_Interface,   &RegistryKeyCreate_Interface, &RegistryKeyDelete_Interface,
    &RegistryKeyExists_Interface, &DMGMount_Interface,          &DMGUnmount_Interface,
    &PKG_Interface,               &ShortcutCreate_Interface,    &ShortcutDelete_Interface,
    &URLRedirect_Interface,       &URLRedirectMacro_Interface,  &Unzip_Interface,
    &Download_Interface,          &IniRead_Interface,           &IniWrite_Interface,
    &XMLRead_Interface,           &XMLWrite_Interface,          &JSONRead_Interface,
    &JSONWrite_Interface,         &Analytics_Interface,         &Progress_Interface,
    &WorkflowRun_Interface,
};

int64_t TaskType_RegisterDefault(const TaskInterface* record) {
    ASSERT_POINTER(record);
    ASSERT_POINTER(record->Name);
    for (const TaskInterface*& entry : GlobalDefaultTaskInterfaces) {
        if (!String_CompareWithoutCase(entry->Name, record->Name)) continue;
        entry = record;
        return 1;
    }
    return 0;
}

int64_t TaskTypeList_Create(TaskTypeList** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    TaskTypeList* list = static_cast<TaskTypeList*>(Memory_AllocZero(sizeof(TaskTypeList)));
    list->Header.ClassId = TASKTYPELIST_CLASS_ID;
    list->Header.RefCount = 1;
    list->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(list);
    *handle = list;
    return 1;
}

int64_t TaskTypeList_AddRef(TaskTypeList* list) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    Class_AddRef(list);
    return 1;
}

int64_t TaskTypeList_Release(TaskTypeList** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, TASKTYPELIST_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t TaskTypeList_Delete(TaskTypeList** handle) {
    ASSERT_POINTER(handle);
    TaskTypeList* list = *handle;
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    TaskTypeList_Reset(list);
    CallbackBase_Reset(&list->RemoveCallback);
    list->Header.ClassId = 0;
    Memory_Free(list, sizeof(TaskTypeList));
    *handle = nullptr;
    return 1;
}

int64_t TaskTypeList_GetInstanceId(TaskTypeList* list, char* buffer, int32_t capacity) {
    ASSERT_POINTER(buffer);
    if (capacity > 0) buffer[0] = 0;
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    String_CopyLengthSafe(buffer, capacity, list->Header.InstanceId, 36);
    return 1;
}

int64_t TaskTypeList_Add(TaskTypeList* list, const TaskInterface* record) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    ASSERT_POINTER(record);
    if (FindRecord(list, record)) return 1;
    TaskTypeEntry* entry = static_cast<TaskTypeEntry*>(Memory_AllocZero(sizeof(TaskTypeEntry)));
    entry->Record = *record;
    StoredName(record, entry->Name);
    entry->Record.Name = entry->Name;
    entry->Prev = list->Last;
    if (list->Last)
        list->Last->Next = entry;
    else
        list->First = entry;
    list->Last = entry;
    list->Count++;
    return 1;
}

int64_t TaskTypeList_Find(TaskTypeList* list, const char* name, const TaskInterface** record) {
    ASSERT_POINTER(record);
    *record = nullptr;
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    ASSERT_POINTER(name);
    TaskTypeEntry* entry = FindName(list, name);
    if (!entry) return 0;
    *record = &entry->Record;
    return 1;
}

int64_t TaskTypeList_Remove(TaskTypeList* list, const TaskInterface* record) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    ASSERT_POINTER(record);
    TaskTypeEntry* entry = FindRecord(list, record);
    if (!entry) return 0;
    RemoveEntry(list, entry);
    return 1;
}

int64_t TaskTypeList_RemoveByName(TaskTypeList* list, const char* name) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    ASSERT_POINTER(name);
    TaskTypeEntry* entry = FindName(list, name);
    if (!entry) return 0;
    RemoveEntry(list, entry);
    return 1;
}

int64_t TaskTypeList_Reset(TaskTypeList* list) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    while (list->First) RemoveEntry(list, list->First);
    return 1;
}

int64_t TaskTypeList_SetRemoveCallback(TaskTypeList* list, void* user, TaskTypeListRemoveCallback function) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    CallbackBase_Set(&list->RemoveCallback, 0, user, function);
    return 1;
}

int64_t TaskTypeList_AddDefaultTasks(TaskTypeList* list) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    for (const TaskInterface* record : GlobalDefaultTaskInterfaces) TaskTypeList_Add(list, record);
    return 1;
}

int64_t TaskTypeList_RemoveDefaultTasks(TaskTypeList* list) {
    CLASS_CHECK(list, TASKTYPELIST_CLASS_ID);
    for (int32_t i = TASKTYPE_DEFAULT_COUNT - 1; i >= 0; i--) TaskTypeList_Remove(list, GlobalDefaultTaskInterfaces[i]);
    return 1;
}

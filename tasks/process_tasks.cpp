// Opening documents with their default application, and finding, ending and listing running
// processes. All run on the main thread; ending with a grace period waits through the task's
// process ticks, never by blocking.
#include "tasks/process_tasks.h"

#include <cmath>
#include <cstring>

#include "core/linux/platform_process.h"
#include "core/platform/path.h"
#include "core/runtime/string.h"
#include "core/runtime/time.h"
#include "tasks/launch_task.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"

namespace {

constexpr int32_t kOpenPathSize = 4096;
constexpr int32_t kPatternSize = 320;

// ---- Open ---------------------------------------------------------------------------------------

struct ProcessOpenInstance {
    TaskBase Base;
};

int64_t ProcessOpen_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, PROCESSOPENTASK_CLASS_ID);
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    char path[kOpenPathSize];
    TaskBase_GetStringArgument(base, "path", path, sizeof(path));
    if (TaskBase_RefuseLocation(base, "path", path)) return 1;
    Task_SetStatusString(base->Owner, "path", path);
    Task_Print(base->Owner, "Opening - %s", path);
    if (!Platform_ShellOpen(path)) Task_AddError(base->Owner, "ProcessOpen_Error_Shell");
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kProcessOpenType = {
    .ClassId = PROCESSOPENTASK_CLASS_ID, .Size = sizeof(ProcessOpenInstance), .OnStart = ProcessOpen_OnStart};

// ---- Is open ------------------------------------------------------------------------------------

struct ProcessIsOpenInstance {
    TaskBase Base;
};

int64_t ProcessIsOpen_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, PROCESSISOPENTASK_CLASS_ID);
    Task* task = base->Owner;
    int32_t pid = -1;
    if (Task_HasArgument(task, "path")) {
        char pattern[kPatternSize];
        char resolved[kPatternSize];
        TaskBase_GetStringArgument(base, "path", pattern, sizeof(pattern));
        if (!Path_Resolve(pattern, resolved, sizeof(resolved))) String_CopyLength(resolved, pattern, sizeof(resolved));
        Task_Print(task, "Checking for process - %s", resolved);
        Platform_FindProcess(resolved, &pid);
    } else if (Task_HasArgument(task, "id")) {
        double id = 0;
        if (!TaskBase_NumberArgument(base, "id", &id)) return 1;
        // Printed as read: an id out of a process id's range is simply not found.
        Task_Print(task, "Checking for process - %.0f", id);
        PlatformProcess* process = nullptr;
        if (id > 0 && id <= INT32_MAX && Platform_ProcessGetById((uint32_t)id, &process)) {
            if (Platform_ProcessIsRunning(process)) pid = (int32_t)id;
            Platform_ProcessDelete(&process);
        }
    } else {
        Task_Print(task, "path/id argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
        return TaskBase_Complete(base, nullptr);
    }
    if (pid < 0) return TaskBase_RunOutcome(base, "notRunning");
    Task_Print(task, "Found process id - %d", pid);
    Task_SetStatusNumber(task, "processId", pid);
    Task_SetStatusNumber(task, "id", pid);
    return TaskBase_RunOutcome(base, "running");
}

const TaskBaseType kProcessIsOpenType = {.ClassId = PROCESSISOPENTASK_CLASS_ID,
                                         .Size = sizeof(ProcessIsOpenInstance),
                                         .OnStart = ProcessIsOpen_OnStart};

// ---- Close --------------------------------------------------------------------------------------

struct ProcessCloseInstance {
    TaskBase Base;
    PlatformProcess* Process;
    double Deadline; // monotonic seconds
    uint32_t ProcessId;
    double ExitCode;
};

ProcessCloseInstance* CloseOf(void* user) {
    return reinterpret_cast<ProcessCloseInstance*>(TaskBase_Check(user, PROCESSCLOSETASK_CLASS_ID));
}

void ProcessClose_Free(TaskBase* base) {
    ProcessCloseInstance* instance = CloseOf(base);
    if (instance->Process) Platform_ProcessDelete(&instance->Process);
}

// Ends the process at once; "closed" when the kill was delivered.
int64_t Kill(ProcessCloseInstance* instance) {
    Task* task = instance->Base.Owner;
    Task_Print(task, "Terminating process - %d", instance->ProcessId);
    const int64_t killed = Platform_ProcessForceTerminateById(instance->ProcessId);
    if (instance->Process) Platform_ProcessDelete(&instance->Process);
    if (killed) return TaskBase_RunOutcome(&instance->Base, "closed");
    Task_Print(task, "Not closed");
    return TaskBase_RunOutcome(&instance->Base, "notClosed");
}

int64_t ProcessClose_OnTick(void* user, const char*, const char*, const char*, Dictionary*) {
    ProcessCloseInstance* instance = CloseOf(user);
    const bool running = instance->Process && Platform_ProcessIsRunning(instance->Process);
    if (running && Time_GetCurrent() < instance->Deadline) return 1;
    TaskBase_RemoveProcessObserver(&instance->Base, ProcessClose_OnTick);
    if (running) return Kill(instance);
    if (instance->Process) Platform_ProcessDelete(&instance->Process);
    Task_Print(instance->Base.Owner, "Closed");
    return TaskBase_RunOutcome(&instance->Base, "closed");
}

int64_t ProcessClose_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    ProcessCloseInstance* instance = CloseOf(user);
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    const char* key = Task_HasArgument(task, "processId") ? "processId" : "id";
    if (!Task_HasArgument(task, key)) {
        Task_Print(task, "processId/id argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
        return TaskBase_Complete(base, nullptr);
    }
    double id = 0;
    // A process id is a whole positive number: anything else would signal a group or every
    // process we may reach.
    if (!Task_GetNumberArgument(task, key, &id) || !(id >= 1 && id <= INT32_MAX) || id != std::floor(id)) {
        Task_Print(task, "Unable to evaluate process id");
        Task_AddError(task, "Task_Error_InvalidArg");
        return TaskBase_Complete(base, nullptr);
    }
    instance->ProcessId = (uint32_t)id;
    double wait = 0;
    if (!TaskBase_NumberArgument(base, "waitForClose", &wait)) return 1;
    if (wait > 0 && wait < 1) wait = 1;
    if (!TaskBase_NumberArgument(base, "exitCode", &instance->ExitCode)) return 1;

    if (!(wait > 0)) return Kill(instance);

    Task_Print(task, "Wait %.02f sec for closing process - %d", wait, instance->ProcessId);
    Platform_ProcessGetById(instance->ProcessId, &instance->Process);
    if (!instance->Process || !Platform_ProcessTerminateById(instance->ProcessId)) {
        if (instance->Process) Platform_ProcessDelete(&instance->Process);
        Task_Print(task, "Not closed");
        return TaskBase_RunOutcome(base, "notClosed");
    }
    Task_Print(task, "Waiting %.02f seconds for PID closed - %d", wait, instance->ProcessId);
    instance->Deadline = Time_GetCurrent() + wait;
    TaskBase_AddProcessObserver(base, ProcessClose_OnTick);
    return 1;
}

// A task cancelled while it waits stops watching: the process is left as it is.
int64_t ProcessClose_OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase_RemoveProcessObserver(&CloseOf(user)->Base, ProcessClose_OnTick);
    return 1;
}

const TaskBaseType kProcessCloseType = {.ClassId = PROCESSCLOSETASK_CLASS_ID,
                                        .Size = sizeof(ProcessCloseInstance),
                                        .OnStart = ProcessClose_OnStart,
                                        .OnComplete = ProcessClose_OnComplete,
                                        .Free = ProcessClose_Free};

// ---- List ---------------------------------------------------------------------------------------

struct ProcessListInstance {
    TaskBase Base;
    PlatformProcessEnumeration* Enumeration;
    PlatformProcessEntry Entry;
    bool HaveEntry;
    double ParentId;
    char Pattern[kPatternSize];
    bool PatternHasSeparator;
    // A chain that ends at once calls back inside the call that ran it: the loop below takes
    // the next entry instead of recursing, however many processes there are.
    bool Running;
    bool Again;
};

ProcessListInstance* ListOf(void* user) {
    return reinterpret_cast<ProcessListInstance*>(TaskBase_Check(user, PROCESSLISTTASK_CLASS_ID));
}

void ProcessList_Free(TaskBase* base) {
    ProcessListInstance* instance = ListOf(base);
    if (instance->Enumeration) Platform_ProcessFindClose(&instance->Enumeration);
}

bool Listed(ProcessListInstance* instance, const PlatformProcessEntry& entry) {
    if (instance->ParentId != 0 && entry.ParentProcessId != (int32_t)instance->ParentId) return false;
    if (!instance->Pattern[0]) return true;
    if (instance->PatternHasSeparator) {
        char directory[PLATFORM_PROCESS_PATH_SIZE];
        Path_ParseDirectory(entry.Path, directory, sizeof(directory));
        return String_CompareWildcardWithoutCase(directory, instance->Pattern) == 1;
    }
    const char* name = nullptr;
    Path_ParseFilenamePtr(entry.Path, &name);
    return String_CompareWildcardWithoutCase(name ? name : entry.Path, instance->Pattern) == 1;
}

void Publish(ProcessListInstance* instance) {
    Task* task = instance->Base.Owner;
    const PlatformProcessEntry& entry = instance->Entry;
    uint32_t verbose = 0;
    if (Task_GetVerbose(task, &verbose) && verbose > 0) Task_Print(task, "Enumerating - %s (%d)", entry.Path, entry.ProcessId);
    char directory[PLATFORM_PROCESS_PATH_SIZE];
    Path_ParseDirectory(entry.Path, directory, sizeof(directory));
    const char* name = nullptr;
    Path_ParseFilenamePtr(entry.Path, &name);
    Task_SetStatusString(task, "path", entry.Path);
    Task_SetStatusString(task, "name", name && *name ? name : entry.ShortName);
    Task_SetStatusString(task, "directory", directory);
    Task_SetStatusNumber(task, "id", entry.ProcessId);
    Task_SetStatusNumber(task, "parentId", entry.ParentProcessId);
    Task_SetStatusNumber(task, "processId", entry.ProcessId);
    Task_SetStatusNumber(task, "processParentId", entry.ParentProcessId);
}

int64_t ProcessList_OnEntryDone(Task* task, void* user, Dictionary* result);

// Runs "forEach" for the next listed process, or ends the list.
int64_t ProcessList_Next(ProcessListInstance* instance) {
    if (instance->Running) {
        instance->Again = true;
        return 1;
    }
    instance->Running = true;
    do {
        instance->Again = false;
        while (instance->HaveEntry && !Listed(instance, instance->Entry))
            instance->HaveEntry = Platform_ProcessFindNext(instance->Enumeration, &instance->Entry) == 1;
        if (!instance->HaveEntry) {
            instance->Running = false;
            if (instance->Enumeration) Platform_ProcessFindClose(&instance->Enumeration);
            Task_Print(instance->Base.Owner, "End of list");
            return TaskBase_Complete(&instance->Base, nullptr);
        }
        Publish(instance);
        instance->HaveEntry = Platform_ProcessFindNext(instance->Enumeration, &instance->Entry) == 1;
        TaskBase_RunOutcomeThen(&instance->Base, "forEach", ProcessList_OnEntryDone);
    } while (instance->Again);
    instance->Running = false;
    return 1;
}

int64_t ProcessList_OnEntryDone(Task* task, void* user, Dictionary*) {
    ProcessListInstance* instance = ListOf(user);
    // A cancelled task has already completed: the list stops at the entry it was on.
    if (Task_IsCancelled(task)) {
        instance->HaveEntry = false;
        if (instance->Enumeration) Platform_ProcessFindClose(&instance->Enumeration);
        return 1;
    }
    return ProcessList_Next(instance);
}

int64_t ProcessList_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    ProcessListInstance* instance = ListOf(user);
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "forEach")) return 1;
    if (Task_HasArgument(task, "parentId")) {
        if (!TaskBase_NumberArgumentInRange(base, "parentId", 0, 2147483647, &instance->ParentId)) return 1;
        Task_Print(task, "Listing all child processes - %d", (int32_t)instance->ParentId);
    } else if (Task_HasArgument(task, "path")) {
        TaskBase_GetStringArgument(base, "path", instance->Pattern, sizeof(instance->Pattern));
        instance->PatternHasSeparator = strpbrk(instance->Pattern, "/\\") != nullptr;
        // Directories are compared with their trailing separator, so "/usr/bin" and "/usr/bin/"
        // name the same one.
        Path_Fix(instance->Pattern, sizeof(instance->Pattern), instance->PatternHasSeparator ? (uint32_t)PATH_FIX_TRAILING : 0u);
        Task_Print(task, "Listing all processes running from directory - %s", instance->Pattern);
    } else {
        Task_Print(task, "Listing all processes");
    }
    instance->HaveEntry = Platform_ProcessFindFirst(&instance->Entry, &instance->Enumeration) == 1;
    return ProcessList_Next(instance);
}

const TaskBaseType kProcessListType = {.ClassId = PROCESSLISTTASK_CLASS_ID,
                                       .Size = sizeof(ProcessListInstance),
                                       .OnStart = ProcessList_OnStart,
                                       .Free = ProcessList_Free};

} // namespace

int64_t ProcessOpen_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kProcessOpenType);
}

int64_t ProcessIsOpen_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kProcessIsOpenType);
}

int64_t ProcessClose_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kProcessCloseType);
}

int64_t ProcessList_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kProcessListType);
}

int64_t ProcessTasks_Register() {
    static const TaskInterface kRecords[] = {
        {"Launch", Launch_Create, Launch_AddRef, Launch_Release},
        {"Open", ProcessOpen_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProgramOpen", ProcessOpen_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProcessOpen", ProcessOpen_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProgramIsOpen", ProcessIsOpen_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProcessIsOpen", ProcessIsOpen_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProgramClose", ProcessClose_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProcessClose", ProcessClose_Create, TaskBase_AddRef, TaskBase_Release},
        {"ProcessList", ProcessList_Create, TaskBase_AddRef, TaskBase_Release},
        {"DMGMount", DMGMount_Create, DMGMount_AddRef, DMGMount_Release},
        {"DMGUnmount", DMGUnmount_Create, DMGUnmount_AddRef, DMGUnmount_Release},
        {"PKG", PKG_Create, PKG_AddRef, PKG_Release},
        {"ShortcutCreate", ShortcutCreate_Create, TaskBase_AddRef, TaskBase_Release},
        {"ShortcutDelete", ShortcutDelete_Create, TaskBase_AddRef, TaskBase_Release},
    };
    for (const TaskInterface& record : kRecords) TaskType_RegisterDefault(&record);
    return 1;
}

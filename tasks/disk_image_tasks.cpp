// DMGMount and DMGUnmount: the disk-image tool run under /bin/sh with its output and its exit
// status captured through a named pipe. An attach that succeeded may run the "mounted"
// sub-action, after which the image is detached again.
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/sha1.h"
#include "core/platform/path.h"
#include "core/platform/process.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "tasks/process_tasks.h"
#include "tasks/process_tools.h"
#include "tasks/shell_capture.h"
#include "tasks/shell_words.h"
#include "tasks/task_base.h"

namespace {

constexpr int32_t kPathSize = 320;
constexpr int32_t kArgumentsSize = 320;
// The exit status a shell gives a program it cannot run.
constexpr int32_t kCannotRun = 127;

enum class Phase { Idle, Running, Mounted, Detaching };

struct DiskImageInstance {
    TaskBase Base;
    Process* Run;
    ShellCapture Capture;
    char Action[30];
    char ImagePath[kPathSize];
    char MountPoint[kPathSize];
    char ProcessId[40];
    Phase State;
    Dictionary* MountedResult; // the "mounted" sub-action's result, kept while detaching
};

DiskImageInstance* Of(void* user) {
    return reinterpret_cast<DiskImageInstance*>(TaskBase_Check(user, DISKIMAGETASK_CLASS_ID));
}

int64_t OnProcessComplete(void* user, const char*, const char*, const char*, Dictionary* info);

void ResetRun(DiskImageInstance* instance) {
    if (instance->ProcessId[0])
        NotificationCenter_RemoveInstanceObserver("Process", "Complete", instance->ProcessId, instance,
                                                  OnProcessComplete);
    instance->ProcessId[0] = 0;
    if (instance->Run) Process_Release(&instance->Run);
    ShellCapture_Reset(&instance->Capture);
}

void Free(TaskBase* base) {
    DiskImageInstance* instance = Of(base);
    ResetRun(instance);
    if (instance->MountedResult) Dictionary_Release(&instance->MountedResult);
}

int64_t Finish(DiskImageInstance* instance) {
    instance->State = Phase::Idle;
    ResetRun(instance);
    if (instance->MountedResult) {
        Dictionary* result = instance->MountedResult;
        instance->MountedResult = nullptr;
        Task_SubAction_Complete(instance->Base.Owner, nullptr, result);
        Dictionary_Release(&result);
        return 1;
    }
    return TaskBase_Complete(&instance->Base, nullptr);
}

// Runs the tool: "attach" the image at the mount point, or "eject" `target` (the image, or the
// mount point when detaching after the sub-action).
int64_t RunTool(DiskImageInstance* instance, const char* action, const char* target, bool clear) {
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    if (clear) {
        Task_ClearWarnings(task);
        Task_ClearErrors(task);
    }
    ResetRun(instance);
    const bool attach = String_Compare(action, "attach");
    char shown[kArgumentsSize];
    std::vector<std::string> arguments;
    if (attach) {
        String_Print(shown, sizeof(shown), "%s '%s' -mountpoint '%s' -nobrowse", action, target, instance->MountPoint);
        arguments = {action, target, "-mountpoint", instance->MountPoint, "-nobrowse"};
    } else {
        String_Print(shown, sizeof(shown), "%s '%s' -force", action, target);
        arguments = {action, target, "-force"};
    }
    const char* tool = ProcessTools_GetPath(PROCESS_TOOL_DISK_IMAGE);
    // The shell would only answer 127 through the pipe: a tool that cannot run is a failed launch.
    if (access(tool, X_OK) != 0) {
        Task_Print(task, "Unable to execute application (%s)", tool);
        Task_AddErrorFromMap(task, kCannotRun, "DiskImage_Error_Launch");
        return Finish(instance);
    }
    if (!Process_Create(&instance->Run) ||
        !ShellCapture_Prepare(&instance->Capture, instance->Run, tool, arguments, true)) {
        Task_AddErrorFromMap(task, kCannotRun, "DiskImage_Error_Launch");
        return Finish(instance);
    }
    Task_Print(task, "Hdiutil mounting - %s", instance->MountPoint);
    Task_Print(task, "Hdiutil args - %s", shown);
    Process_SetPrintCallback(instance->Run, task, Task_PrintCallback);
    Process_GetInstanceId(instance->Run, instance->ProcessId, sizeof(instance->ProcessId));
    NotificationCenter_AddInstanceObserver("Process", "Complete", instance->ProcessId, instance, OnProcessComplete);
    Process_SetShowWindow(instance->Run, 0);
    char rights[64];
    if (TaskBase_GetStringArgument(base, "elevationRights", rights, sizeof(rights)))
        Process_SetElevationRights(instance->Run, Process_TranslateRightsString(rights));
    Task_Print(task, "Running hdiutl process");
    Process_Dump(instance->Run);
    instance->State = instance->State == Phase::Mounted ? Phase::Detaching : Phase::Running;
    Process_Launch(instance->Run);
    return 1;
}

int64_t OnMountedDone(Task*, void* user, Dictionary* result) {
    DiskImageInstance* instance = Of(user);
    if (instance->MountedResult) Dictionary_Release(&instance->MountedResult);
    Dictionary_Create(&instance->MountedResult);
    if (result) Dictionary_Merge(instance->MountedResult, result, DICTIONARY_MERGE_OVERWRITE);
    return RunTool(instance, "eject", instance->MountPoint, false);
}

// The token came with the tool's exit status.
int64_t OnToolEnded(DiskImageInstance* instance) {
    Task* task = instance->Base.Owner;
    const int32_t code = instance->Capture.ExitCode;
    Task_Print(task, "Hdiutil mount exitcode %d", code);
    if (instance->State == Phase::Detaching || !String_Compare(instance->Action, "attach")) return Finish(instance);
    if (code != 0) {
        Task_Print(task, "Hdiutil output: %s", ShellCapture_Text(&instance->Capture).c_str());
        Task_AddErrorFromMap(task, code, "DiskImage_Error_Mount");
        return Finish(instance);
    }
    if (!Task_HasArgument(task, "mounted")) return Finish(instance);
    instance->State = Phase::Mounted;
    ResetRun(instance);
    return TaskBase_RunOutcomeThen(&instance->Base, "mounted", OnMountedDone);
}

// The process object must outlive the calls that report to us from inside it: what follows
// the tool's end (which may release it or start another run) runs as an event of its own.
void EndedEvent(void* object, void*) {
    OnToolEnded(Of(object));
}

void FailedEvent(void* object, void*) {
    Finish(Of(object));
}

void Defer(DiskImageInstance* instance, EventQueueCallback step) {
    EventQueue_Add(nullptr, instance, nullptr, 0, step);
}

int64_t OnTick(void* user, const char*, const char*, const char*, Dictionary*) {
    DiskImageInstance* instance = Of(user);
    if (!instance->Run || instance->Capture.Ended) return 1;
    Process_Process(instance->Run);
    // Read as it comes, so that the tool never blocks on a full pipe; judged once it has ended.
    ShellCapture_Read(&instance->Capture);
    return 1;
}

int64_t OnProcessComplete(void* user, const char*, const char*, const char*, Dictionary* info) {
    DiskImageInstance* instance = Of(user);
    Task* task = instance->Base.Owner;
    uint32_t successful = 0;
    int32_t exitCode = 0;
    ShellCapture_ReadCompletion(info, &successful, &exitCode);
    Task_Print(task, "Successful %d ExitCode %d", successful, exitCode);
    if (!successful || exitCode != 0) Task_AddErrorFromMap(task, exitCode ? exitCode : kCannotRun, "DiskImage_Error_Launch");
    // What the shell wrote before it ended is in the pipe; without the token there is nothing
    // more to wait for.
    if (instance->Capture.Ended) return 1;
    if (ShellCapture_Drain(&instance->Capture) == SHELL_CAPTURE_ENDED) {
        Defer(instance, EndedEvent);
        return 1;
    }
    if (successful && exitCode == 0) Task_AddErrorFromMap(task, kCannotRun, "DiskImage_Error_Launch");
    // Nothing more will come: the run is over.
    instance->Capture.Ended = true;
    Defer(instance, FailedEvent);
    return 1;
}

int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    DiskImageInstance* instance = Of(user);
    TaskBase* base = &instance->Base;
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    if (instance->MountedResult) Dictionary_Release(&instance->MountedResult);
    instance->State = Phase::Idle;
    char path[2048];
    TaskBase_GetStringArgument(base, "path", path, sizeof(path));
    if (TaskBase_RefuseLocation(base, "path", path)) return 1;
    if (!Path_Resolve(path, instance->ImagePath, sizeof(instance->ImagePath)))
        String_CopyLength(instance->ImagePath, path, sizeof(instance->ImagePath));
    char target[2048];
    if (!TaskBase_GetStringArgument(base, "target", target, sizeof(target)))
        Hash_QuickString(&SHA1_INTERFACE, instance->ImagePath, (int32_t)strlen(instance->ImagePath), 0, target,
                         sizeof(target));
    String_Print(instance->MountPoint, sizeof(instance->MountPoint), "/Volumes/%s/", target);
    return RunTool(instance, instance->Action, instance->ImagePath, true);
}

int64_t Init(TaskBase* base) {
    TaskBase_AddProcessObserver(base, OnTick);
    return 1;
}

const TaskBaseType kDiskImageType = {.ClassId = DISKIMAGETASK_CLASS_ID,
                                     .Size = sizeof(DiskImageInstance),
                                     .OnStart = OnStart,
                                     .Init = Init,
                                     .Free = Free};

int64_t Create(void** instance, Task* task, const char* action) {
    if (!TaskBase_Create(instance, task, &kDiskImageType)) return 0;
    String_CopyLength(Of(*instance)->Action, action, sizeof(DiskImageInstance::Action));
    return 1;
}

} // namespace

int64_t DMGMount_Create(void** instance, Task* task) {
    return Create(instance, task, "attach");
}

int64_t DMGUnmount_Create(void** instance, Task* task) {
    return Create(instance, task, "eject");
}

int64_t DMGMount_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}
int64_t DMGMount_Release(void** instance) {
    return TaskBase_Release(instance);
}
int64_t DMGMount_Delete(void** instance) {
    return TaskBase_Delete(instance);
}
int64_t DMGUnmount_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}
int64_t DMGUnmount_Release(void** instance) {
    return TaskBase_Release(instance);
}
int64_t DMGUnmount_Delete(void** instance) {
    return TaskBase_Delete(instance);
}

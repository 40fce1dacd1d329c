// Launch: a program run through the platform's Process, its end followed on the task's process
// ticks. With "successOutput" its output and error go through a named pipe and the text decides;
// otherwise the exit code does, through the success codes and the warning and error maps.
// Arguments reach the program as a vector: a list item by item, a string split as a shell splits
// words, never read as shell code.
#include "tasks/launch_task.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/platform/memory_stream.h"
#include "core/platform/process.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "tasks/shell_capture.h"
#include "tasks/shell_words.h"
#include "tasks/task_base.h"

namespace {

constexpr int32_t kPathSize = 2048;
constexpr int32_t kArgumentsSize = 2048;
constexpr int32_t kCodeSize = 120;
constexpr int32_t kTextSize = 1024;

struct LaunchInstance {
    TaskBase Base;
    Process* Run;
    ShellCapture Capture;
    bool Capturing;
    bool Completing; // the outcome is decided; "Complete" is on its way
    uint32_t Rights;
    char ProcessId[40]; // sender of the process notifications observed
};

LaunchInstance* Of(void* user) {
    return reinterpret_cast<LaunchInstance*>(TaskBase_Check(user, LAUNCHTASK_CLASS_ID));
}

int64_t OnProcessReady(void* user, const char*, const char*, const char*, Dictionary* info);
int64_t OnProcessComplete(void* user, const char*, const char*, const char*, Dictionary* info);
int64_t OnComplete(void* user, const char*, const char*, const char*, Dictionary*);
int64_t OnTick(void* user, const char*, const char*, const char*, Dictionary*);

void StopObservingProcess(LaunchInstance* instance) {
    if (!instance->ProcessId[0]) return;
    NotificationCenter_RemoveInstanceObserver("Process", "Ready", instance->ProcessId, instance, OnProcessReady);
    NotificationCenter_RemoveInstanceObserver("Process", "Complete", instance->ProcessId, instance, OnProcessComplete);
    instance->ProcessId[0] = 0;
}

void Reset(LaunchInstance* instance) {
    StopObservingProcess(instance);
    if (instance->Run) Process_Release(&instance->Run);
    ShellCapture_Reset(&instance->Capture);
    instance->Capturing = false;
    instance->Completing = false;
}

// The outcome is decided: the task completes on the next pass.
void Finish(LaunchInstance* instance) {
    if (instance->Completing) return;
    instance->Completing = true;
    NotificationCenter_FireAfterDelay("Launch", "Complete", instance->Base.Header.InstanceId, 0, nullptr);
}

bool IsScalar(uint32_t type) {
    return type == DICTIONARY_TYPE_STRING || type == DICTIONARY_TYPE_INT64 || type == DICTIONARY_TYPE_FLOAT64;
}

// Items of a list or a single value, as texts (numbers as written), each cut to the capacity.
std::vector<std::string> Texts(Dictionary* arguments, const char* key, int32_t capacity) {
    std::vector<std::string> texts;
    auto add = [&](const char* bytes, int32_t length) {
        if (!bytes) return;
        const size_t n = strnlen(bytes, (size_t)(length >= 0 ? length : 0));
        texts.emplace_back(bytes, n < (size_t)capacity ? n : (size_t)capacity - 1);
    };
    Dictionary* list = nullptr;
    uint32_t type = 0;
    const char* bytes = nullptr;
    int32_t length = 0;
    if (Dictionary_GetListByKey(arguments, key, &list) == 1 && list) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item))
            if (Dictionary_ItemGetType(list, item, &type) && IsScalar(type) &&
                Dictionary_ItemGetBufferPtr(list, item, &bytes, &length))
                add(bytes, length);
    } else if (Dictionary_GetTypeByKey(arguments, key, &type) == 1 && IsScalar(type) &&
               Dictionary_GetBufferPtrByKey(arguments, key, &bytes, &length)) {
        add(bytes, length);
    }
    return texts;
}

enum class Read { Ok, Unbalanced, Refused };

// The program's arguments: a list item by item, a string split into words; each expanded. Each is
// judged before anything runs (Refused: the task has failed with the argument's line).
Read ReadArguments(TaskBase* base, std::vector<std::string>* words) {
    words->clear();
    Task* task = base->Owner;
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    Dictionary* list = nullptr;
    if (Dictionary_GetListByKey(arguments, "arguments", &list) == 1 && list) {
        for (std::string& item : Texts(arguments, "arguments", kArgumentsSize)) {
            std::vector<char> text(item.begin(), item.end());
            text.resize(kArgumentsSize);
            text[kArgumentsSize - 1] = 0;
            Task_ExpandString(task, text.data(), kArgumentsSize);
            if (TaskBase_RefuseProgramArgument(base, "arguments", item.c_str(), text.data())) return Read::Refused;
            words->emplace_back(text.data());
        }
        return Read::Ok;
    }
    char text[kArgumentsSize];
    if (!TaskBase_GetStringArgument(base, "arguments", text, sizeof(text))) return Read::Ok;
    const char* written = nullptr;
    Task_GetArgumentPtr(task, "arguments", &written);
    if (written && TaskBase_RefuseProgramArgument(base, "arguments", written, nullptr)) return Read::Refused;
    if (!ShellWords_Split(text, words)) return Read::Unbalanced;
    for (const std::string& word : *words)
        if (TaskBase_RefuseProgramArgument(base, "arguments", nullptr, word.c_str())) {
            words->clear();
            return Read::Refused;
        }
    return Read::Ok;
}

bool HasErrors(Task* task) {
    uint32_t count = 0;
    Task_GetErrorCount(task, &count);
    return count > 0;
}

// The exit-code rules: success codes, then the flag maps, then the exact maps.
void JudgeExitCode(LaunchInstance* instance, int32_t exitCode) {
    Task* task = instance->Base.Owner;
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    if (!Task_HasArgument(task, "successCode")) {
        if (exitCode == 0) return Finish(instance);
    } else {
        for (std::string& code : Texts(arguments, "successCode", kCodeSize)) {
            char text[kCodeSize];
            String_CopyLength(text, code.c_str(), sizeof(text));
            Task_ExpandString(task, text, sizeof(text));
            double value = 0;
            if (String_ParseNumber(text, strlen(text), &value, nullptr) && value == (double)exitCode)
                return Finish(instance);
        }
    }
    bool flagged = false;
    for (const char* mapKey : {"warningFlagsMap", "errorFlagsMap"}) {
        Dictionary* map = nullptr;
        if (Dictionary_GetDictionaryByKey(arguments, mapKey, &map) != 1 || !map) continue;
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(map, &item); item; Dictionary_ItemGetNext(map, item, &item)) {
            const char* key = nullptr;
            char value[kTextSize];
            if (!Dictionary_ItemGetKeyPtr(map, item, &key) || !key) continue;
            const long long mask = strtoll(key, nullptr, 0);
            if (!(mask & (long long)(uint32_t)exitCode)) continue;
            if (!Dictionary_ItemGetString(map, item, value, sizeof(value))) continue;
            flagged = true;
            if (mapKey[0] == 'w')
                Task_AddWarning(task, "%s", value);
            else
                Task_AddError(task, "%s", value);
        }
    }
    if (flagged) return Finish(instance);
    char code[16];
    String_Print(code, sizeof(code), "%d", exitCode);
    Dictionary* map = nullptr;
    char value[kTextSize];
    if (Dictionary_GetDictionaryByKey(arguments, "warningMap", &map) == 1 && map &&
        Dictionary_GetStringByKey(map, code, value, sizeof(value)) == 1) {
        Task_AddWarning(task, "%s", value);
    } else if (Dictionary_GetDictionaryByKey(arguments, "errorMap", &map) == 1 && map &&
               Dictionary_ContainsKey(map, code)) {
        // An entry that names no error still marks the code as a failure: it is never taken
        // for success.
        if (Dictionary_GetStringByKey(map, code, value, sizeof(value)) == 1)
            Task_AddError(task, "%s", value);
        else
            Task_AddError(task, "Launch_Error_UnknownCode");
    } else {
        Task_AddError(task, "Launch_Error_UnknownCode");
    }
    Finish(instance);
}

// The token came: the output decides.
void JudgeOutput(LaunchInstance* instance) {
    Task* task = instance->Base.Owner;
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    const std::string output = ShellCapture_Text(&instance->Capture);
    uint32_t verbose = 0;
    if (Task_GetBooleanArgument(task, "verbose", &verbose) && verbose) Task_Print(task, "%s", output.c_str());
    NotificationCenter_Fire("Launch", "Output", instance->Base.Header.InstanceId, nullptr);
    Task_Print(task, "Output: %s", output.c_str());
    for (const std::string& text : Texts(arguments, "successOutput", kTextSize))
        if (output.find(text) != std::string::npos) return Finish(instance);
    Dictionary* map = nullptr;
    if (Dictionary_GetDictionaryByKey(arguments, "errorOutputMap", &map) == 1 && map) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(map, &item); item; Dictionary_ItemGetNext(map, item, &item)) {
            const char* key = nullptr;
            char value[kTextSize];
            if (!Dictionary_ItemGetKeyPtr(map, item, &key) || !key) continue;
            std::string needle(key, strnlen(key, kTextSize - 1));
            if (output.find(needle) == std::string::npos) continue;
            if (!Dictionary_ItemCompareType(map, item, DICTIONARY_TYPE_STRING)) continue;
            if (Dictionary_ItemGetString(map, item, value, sizeof(value))) Task_AddError(task, "%s", value);
            return Finish(instance);
        }
    }
    Task_AddError(task, "Launch_Error_Run");
    Finish(instance);
}

int64_t OnTick(void* user, const char*, const char*, const char*, Dictionary*) {
    LaunchInstance* instance = Of(user);
    if (instance->Run) Process_Process(instance->Run);
    if (!instance->Capturing || instance->Completing || !instance->Run) return 1;
    // The output is judged once the program has ended (OnProcessComplete); here it is only read,
    // so that the program never blocks on a full pipe.
    if (ShellCapture_Read(&instance->Capture) == SHELL_CAPTURE_MORE)
        NotificationCenter_Fire("Launch", "Output", instance->Base.Header.InstanceId, nullptr);
    return 1;
}

int64_t OnProcessReady(void* user, const char*, const char*, const char*, Dictionary* info) {
    LaunchInstance* instance = Of(user);
    Task* task = instance->Base.Owner;
    int32_t pid = 0;
    if (info) Dictionary_GetInt32ByKey(info, "id", &pid);
    Task_SetStatusNumber(task, "processId", pid);
    uint32_t wait = 0;
    Task_GetBooleanArgument(task, "waitForExit", &wait);
    if (!wait) {
        Task_Print(task, "Not waiting for process to exit");
        Finish(instance);
    }
    return 1;
}

int64_t OnProcessComplete(void* user, const char*, const char*, const char*, Dictionary* info) {
    LaunchInstance* instance = Of(user);
    Task* task = instance->Base.Owner;
    uint32_t successful = 0;
    int32_t exitCode = 0;
    ShellCapture_ReadCompletion(info, &successful, &exitCode);
    Task_SetStatusNumber(task, "exitCode", exitCode);
    // A program that never ran has no exit code to tell: the launch's own line says why, and it
    // is the line that goes with the error.
    if (successful || exitCode != 0) Task_Print(task, "Successful %d ExitCode %d", successful, exitCode);
    if (instance->Completing) return 1;
    if (!successful) {
        if (!HasErrors(task))
            Task_AddError(task, (instance->Rights & PROCESS_RIGHTS_ELEVATED) ? "Launch_Error_RunElevated"
                                                                             : "Launch_Error_Run");
        Finish(instance);
        return 1;
    }
    if (instance->Capturing) {
        // Everything the shell wrote is in the pipe by now; a shell that ended without the token
        // (killed, or unable to write it) leaves no output to wait for.
        if (!instance->Capture.Ended && ShellCapture_Drain(&instance->Capture) == SHELL_CAPTURE_ENDED)
            JudgeOutput(instance);
        else if (!instance->Capture.Ended) {
            Task_AddError(task, "Launch_Error_Run");
            Finish(instance);
        }
        return 1;
    }
    JudgeExitCode(instance, exitCode);
    return 1;
}

int64_t OnComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    LaunchInstance* instance = Of(user);
    StopObservingProcess(instance);
    return TaskBase_Complete(&instance->Base, nullptr);
}

int64_t StartRun(LaunchInstance* instance) {
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    Reset(instance);
    char path[kPathSize];
    char directory[kPathSize];
    char rights[64];
    TaskBase_GetStringArgument(base, "path", path, sizeof(path));
    const bool hasDirectory = TaskBase_GetStringArgument(base, "workingDirectory", directory, sizeof(directory));
    // A program or folder named by a location left unexpanded would be taken from the current
    // folder: the launch is refused before anything is made for it.
    if (TaskBase_RefuseLocation(base, "path", path) ||
        (hasDirectory && TaskBase_RefuseLocation(base, "workingDirectory", directory)))
        return 1;
    std::vector<std::string> words;
    const Read read = ReadArguments(base, &words);
    if (read == Read::Refused) return 1;
    if (read == Read::Unbalanced) {
        Task_Print(task, "Unbalanced quotes in arguments");
        Task_AddError(task, "Task_Error_InvalidArg");
        return TaskBase_Complete(base, nullptr);
    }
    if (!Process_Create(&instance->Run)) {
        Task_AddError(task, "Launch_Error_Run");
        return TaskBase_Complete(base, nullptr);
    }
    Process_SetPrintCallback(instance->Run, task, Task_PrintCallback);
    Process_GetInstanceId(instance->Run, instance->ProcessId, sizeof(instance->ProcessId));
    NotificationCenter_AddInstanceObserver("Process", "Ready", instance->ProcessId, instance, OnProcessReady);
    NotificationCenter_AddInstanceObserver("Process", "Complete", instance->ProcessId, instance, OnProcessComplete);
    Process_SetApplicationName(instance->Run, path);
    if (hasDirectory) Process_SetWorkingDirectory(instance->Run, directory);
    std::vector<const char*> vector;
    for (const std::string& word : words) vector.push_back(word.c_str());
    vector.push_back(nullptr);
    Process_SetArgumentVector(instance->Run, (int32_t)words.size(), vector.data());
    instance->Rights = PROCESS_RIGHTS_USER;
    if (TaskBase_GetStringArgument(base, "elevationRights", rights, sizeof(rights))) {
        instance->Rights = Process_TranslateRightsString(rights);
        Process_SetElevationRights(instance->Run, instance->Rights);
    }
    uint32_t show = 0;
    if (Task_GetBooleanArgument(task, "showWindow", &show)) Process_SetShowWindow(instance->Run, show);

    if (Task_HasArgument(task, "successOutput")) {
        if (!ShellCapture_Prepare(&instance->Capture, instance->Run, path, words, false)) {
            Task_Print(task, "Unable to create output pipe");
            Task_AddError(task, "Launch_Error_Run");
            Reset(instance);
            return TaskBase_Complete(base, nullptr);
        }
        instance->Capturing = true;
    }
    const char* shown = nullptr;
    Process_GetApplicationNamePtr(instance->Run, &shown);
    Task_SetStatusString(task, "path", shown ? shown : "");
    Process_GetArgumentsPtr(instance->Run, &shown);
    Task_SetStatusString(task, "arguments", shown ? shown : "");
    Task_Print(task, "Launching process");
    Process_Dump(instance->Run);
    Process_Launch(instance->Run);
    return 1;
}

int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return StartRun(Of(user));
}

int64_t IgnoreStart(void*, const char*, const char*, const char*, Dictionary*) {
    return 1;
}

int64_t Init(TaskBase* base) {
    LaunchInstance* instance = reinterpret_cast<LaunchInstance*>(base);
    instance->Capture.ExitCode = -1;
    Task_SetExpandStringCallback(base->Owner, instance, Launch_ExpandStringCallback);
    NotificationCenter_AddInstanceObserver("Launch", "Complete", base->Header.InstanceId, instance, OnComplete);
    TaskBase_AddProcessObserver(base, OnTick);
    return 1;
}

void Free(TaskBase* base) {
    LaunchInstance* instance = reinterpret_cast<LaunchInstance*>(base);
    NotificationCenter_RemoveInstanceObserver("Launch", "Complete", base->Header.InstanceId, instance, OnComplete);
    void* user = nullptr;
    TaskExpandStringCallback callback = nullptr;
    if (Task_GetExpandStringCallback(base->Owner, &user, &callback) && user == instance)
        Task_SetExpandStringCallback(base->Owner, nullptr, nullptr);
    Reset(instance);
}

const TaskBaseType kLaunchType = {.ClassId = LAUNCHTASK_CLASS_ID,
                                  .Size = sizeof(LaunchInstance),
                                  .OnStart = OnStart,
                                  .Init = Init,
                                  .Free = Free};
const TaskBaseType kFollowerType = {.ClassId = LAUNCHTASK_CLASS_ID,
                                    .Size = sizeof(LaunchInstance),
                                    .OnStart = IgnoreStart,
                                    .Init = Init,
                                    .Free = Free};

} // namespace

int64_t Launch_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kLaunchType);
}

int64_t Launch_CreateFollower(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kFollowerType);
}

int64_t Launch_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}

int64_t Launch_Release(void** instance) {
    return TaskBase_Release(instance);
}

int64_t Launch_Delete(void** instance) {
    return TaskBase_Delete(instance);
}

int64_t Launch_Start(void* instance) {
    return StartRun(Of(instance));
}

int64_t Launch_GetInstanceId(void* instance, char* buffer, int32_t capacity) {
    String_CopyLength(buffer, Of(instance)->Base.Header.InstanceId, capacity);
    return 1;
}

int64_t Launch_GetMemoryStreamHandle(void* instance, MemoryStream** stream) {
    *stream = nullptr;
    LaunchInstance* launch = Of(instance);
    if (!launch->Capturing || !launch->Capture.Output) return 0;
    *stream = launch->Capture.Output;
    return 1;
}

int64_t Launch_ExpandStringCallback(Task*, void* user, const char* path, char* value, int32_t capacity) {
    LaunchInstance* instance = Of(user);
    if (!instance->Run || !path) return 0;
    const char* text = nullptr;
    if (String_CompareWithoutCase(path, "Path"))
        Process_GetApplicationNamePtr(instance->Run, &text);
    else if (String_CompareWithoutCase(path, "Arguments"))
        Process_GetArgumentsPtr(instance->Run, &text);
    else
        return 0;
    String_CopyLength(value, text ? text : "", capacity);
    return 1;
}

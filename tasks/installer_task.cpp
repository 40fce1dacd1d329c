// PKG: installs a package with the system installer by rewriting its own task's arguments into
// those of a Launch run with output capture, then following the installer's output lines for
// its phase and progress.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/linux/platform_number.h"
#include "core/platform/path.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"
#include "tasks/launch_task.h"
#include "tasks/process_tasks.h"
#include "tasks/process_tools.h"
#include "tasks/shell_capture.h"
#include "tasks/shell_words.h"
#include "tasks/task_base.h"

namespace {

constexpr int32_t kPathSize = 320;
constexpr int32_t kArgumentsSize = 1024;
constexpr int32_t kExtraSize = 512;
constexpr int32_t kLineSize = 512;

struct PKGInstance {
    TaskBase Base;
    void* Launch;
    char LaunchId[40];
    char Path[kPathSize];   // escaped for the installer's command line
    char Target[kPathSize]; // likewise
    char Arguments[kArgumentsSize];
    size_t NextLine; // offset of the first output line not yet examined
};

} // namespace

int32_t PKG_ReadOutputLine(const char* line, std::string* phase, double* progress) {
    static const char kPhase[] = "installer:PHASE:";
    static const char kPercent[] = "installer:%";
    if (String_CompareLengthWithoutCase(line, kPhase, (int32_t)sizeof(kPhase) - 1)) {
        *phase = line + sizeof(kPhase) - 1;
        return PKG_LINE_PHASE;
    }
    if (strncmp(line, kPercent, sizeof(kPercent) - 1) != 0) return PKG_LINE_OTHER;
    // A figure that is no finite number is no progress.
    const double value = Platform_StringToDouble(line + sizeof(kPercent) - 1, nullptr) / 100.0;
    if (!std::isfinite(value)) return PKG_LINE_OTHER;
    *progress = value;
    return PKG_LINE_PROGRESS;
}

namespace {

PKGInstance* Of(void* user) {
    return reinterpret_cast<PKGInstance*>(TaskBase_Check(user, PKGTASK_CLASS_ID));
}

int64_t OnOutput(void* user, const char*, const char*, const char*, Dictionary*);
int64_t OnLaunchComplete(void* user, const char*, const char*, const char*, Dictionary*);

std::string CapturedText(PKGInstance* instance) {
    MemoryStream* stream = nullptr;
    if (!instance->Launch || !Launch_GetMemoryStreamHandle(instance->Launch, &stream) || !stream) return std::string();
    ShellCapture view = {};
    view.Output = stream;
    return ShellCapture_Text(&view);
}

// Examines the lines from the first unexamined one; the last, unfinished one waits for its end
// unless `all`.
void ExamineLines(PKGInstance* instance, bool all) {
    Task* task = instance->Base.Owner;
    const std::string text = CapturedText(instance);
    while (instance->NextLine < text.size()) {
        size_t end = text.find('\n', instance->NextLine);
        if (end == std::string::npos && !all) break;
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(instance->NextLine, std::min(end - instance->NextLine, (size_t)kLineSize - 1));
        instance->NextLine = end + 1;
        std::string phase;
        double progress = 0;
        const int32_t kind = PKG_ReadOutputLine(line.c_str(), &phase, &progress);
        if (kind == PKG_LINE_PHASE)
            Task_SetStatus(task, phase.c_str());
        else if (kind == PKG_LINE_PROGRESS)
            Task_SetProgress(task, progress);
    }
}

int64_t OnOutput(void* user, const char*, const char*, const char*, Dictionary*) {
    ExamineLines(Of(user), false);
    return 1;
}

// The whole output goes to the log file, written beside it and put in place when complete.
void WriteLog(Task* task, const char* path, const std::string& text) {
    // The log takes the name of a file, or of nothing: never of a device, FIFO or folder.
    if (TaskBase_JudgeFileName(task, path, 1)) {
        Task_Print(task, "Unable to write log file (%s)", path);
        return;
    }
    std::string temporary = std::string(path) + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        Task_Print(task, "Unable to write log file (%s)", path);
        return;
    }
    fchmod(fd, 0600);
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += (size_t)n;
    }
    const bool complete = done == text.size() && close(fd) == 0;
    if (!complete || rename(temporary.c_str(), path) != 0) {
        unlink(temporary.c_str());
        Task_Print(task, "Unable to write log file (%s)", path);
    }
}

int64_t OnLaunchComplete(void* user, const char*, const char*, const char*, Dictionary*) {
    PKGInstance* instance = Of(user);
    Task* task = instance->Base.Owner;
    ExamineLines(instance, true);
    uint32_t errors = 0;
    Task_GetErrorCount(task, &errors);
    Task_Print(task, "Installed (%d)", errors);
    char logFile[kPathSize];
    if (!TaskBase_GetStringArgument(&instance->Base, "logFilename", logFile, sizeof(logFile)) || !logFile[0]) return 1;
    uint32_t onlyErrors = 0;
    if (Task_GetBooleanArgument(task, "logOnlyErrors", &onlyErrors) && onlyErrors && errors == 0) return 1;
    char resolved[kPathSize];
    if (!Path_Resolve(logFile, resolved, sizeof(resolved))) String_CopyLength(resolved, logFile, sizeof(resolved));
    WriteLog(task, resolved, CapturedText(instance));
    return 1;
}

void StopFollowing(PKGInstance* instance) {
    if (!instance->LaunchId[0]) return;
    NotificationCenter_RemoveInstanceObserver("Launch", "Output", instance->LaunchId, instance, OnOutput);
    NotificationCenter_RemoveInstanceObserver("Launch", "Complete", instance->LaunchId, instance, OnLaunchComplete);
    instance->LaunchId[0] = 0;
}

void Free(TaskBase* base) {
    PKGInstance* instance = Of(base);
    StopFollowing(instance);
    if (instance->Launch) Launch_Release(&instance->Launch);
}

// "arguments" as text: a list's items each quoted, so that splitting gives them back. False when
// an item is refused (the task has failed with its line).
bool ReadExtra(TaskBase* base, char* text, int32_t capacity) {
    text[0] = 0;
    Dictionary* list = nullptr;
    if (Dictionary_GetListByKey(Task_GetDictionaryHandle(base->Owner), "arguments", &list) == 1 && list) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
            const char* value = nullptr;
            if (!Dictionary_ItemGetBufferPtr(list, item, &value, nullptr) || !value) continue;
            char expanded[kExtraSize];
            String_CopyLength(expanded, value, sizeof(expanded));
            Task_ExpandString(base->Owner, expanded, sizeof(expanded));
            if (TaskBase_RefuseProgramArgument(base, "arguments", value, expanded)) return false;
            if (text[0]) String_CatLength(text, " ", capacity);
            String_CatLength(text, ShellWords_Quote(expanded).c_str(), capacity);
        }
        return true;
    }
    TaskBase_GetStringArgument(base, "arguments", text, capacity);
    // The words are judged once the launch splits the whole line; what expanded to nothing is
    // seen only here, in the text as written.
    const char* written = nullptr;
    return !(Task_GetArgumentPtr(base->Owner, "arguments", &written) && written &&
             TaskBase_RefuseProgramArgument(base, "arguments", written, nullptr));
}

int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    PKGInstance* instance = Of(user);
    TaskBase* base = &instance->Base;
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "path")) return 1;
    Task_SetProgress(task, 0.0);
    char path[kPathSize], target[kPathSize], extra[kExtraSize];
    TaskBase_GetStringArgument(base, "path", path, sizeof(path));
    if (!TaskBase_GetStringArgument(base, "target", target, sizeof(target)) || !target[0])
        String_CopyLength(target, "/", sizeof(target));
    if (TaskBase_RefuseLocation(base, "path", path) || TaskBase_RefuseLocation(base, "target", target)) return 1;
    // Every character the word splitting would act on is escaped, a blank as "\ ".
    String_CopyLength(instance->Path, ShellWords_Escape(path).c_str(), sizeof(instance->Path));
    String_CopyLength(instance->Target, ShellWords_Escape(target).c_str(), sizeof(instance->Target));
    if (!ReadExtra(base, extra, sizeof(extra))) return 1;
    String_Print(instance->Arguments, sizeof(instance->Arguments), "-pkg %s -target %s -verboseR %s", instance->Path,
                 instance->Target, extra);

    Dictionary* arguments = Task_GetDictionaryHandle(task);
    Dictionary_SetStringByKey(arguments, "path", ProcessTools_GetPath(PROCESS_TOOL_INSTALLER));
    Dictionary_SetStringByKey(arguments, "arguments", instance->Arguments);
    Dictionary* success = nullptr;
    if (Dictionary_GetListByKey(arguments, "successOutput", &success) != 1 || !success) {
        char kept[kExtraSize] = {};
        const bool had = Dictionary_GetStringByKey(arguments, "successOutput", kept, sizeof(kept)) == 1;
        Dictionary_RemoveByKey(arguments, "successOutput");
        Dictionary_AddList(arguments, "successOutput", &success, nullptr);
        if (had && success) Dictionary_AddString(success, nullptr, kept, nullptr);
    }
    if (success) {
        Dictionary_AddString(success, nullptr, "upgrade was successful", nullptr);
        Dictionary_AddString(success, nullptr, "installer was successful", nullptr);
    }
    Dictionary_SetBooleanByKey(arguments, "waitForExit", 1);

    Task_Print(task, "Installer %s -> %s", instance->Path, instance->Target);
    StopFollowing(instance);
    if (instance->Launch) Launch_Release(&instance->Launch);
    instance->NextLine = 0;
    if (!Launch_CreateFollower(&instance->Launch, task)) {
        Task_Print(task, "Unable to start the installer %s", instance->Path);
        Task_AddError(task, "Launch_Error_Run");
        return TaskBase_Complete(base, nullptr);
    }
    Launch_GetInstanceId(instance->Launch, instance->LaunchId, sizeof(instance->LaunchId));
    NotificationCenter_AddInstanceObserver("Launch", "Output", instance->LaunchId, instance, OnOutput);
    NotificationCenter_AddInstanceObserver("Launch", "Complete", instance->LaunchId, instance, OnLaunchComplete);
    return Launch_Start(instance->Launch);
}

const TaskBaseType kPKGType = {
    .ClassId = PKGTASK_CLASS_ID, .Size = sizeof(PKGInstance), .OnStart = OnStart, .Free = Free};

} // namespace

int64_t PKG_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kPKGType);
}

int64_t PKG_AddRef(void* instance) {
    return TaskBase_AddRef(instance);
}
int64_t PKG_Release(void** instance) {
    return TaskBase_Release(instance);
}
int64_t PKG_Delete(void** instance) {
    return TaskBase_Delete(instance);
}

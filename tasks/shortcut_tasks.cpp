// The shortcut types: a named link to a program in a folder, by default the user's desktop.
// This platform has no shortcuts, so the platform calls answer false and both types fail with
// their error key; the arguments are read and handed on as a platform with shortcuts takes them.
#include <cmath>

#include "core/linux/platform_system.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "tasks/process_tasks.h"
#include "tasks/task_base.h"

namespace {

constexpr const char* kDefaultLocation = "UserDesktop";

struct ShortcutInstance {
    TaskBase Base;
};

void ReadLocation(TaskBase* base, char* location, int32_t capacity) {
    if (!TaskBase_GetStringArgument(base, "location", location, capacity) || !location[0])
        String_CopyLength(location, kDefaultLocation, capacity);
}

// "arguments" is a string, or a list whose items are joined with blanks.
void ReadArguments(TaskBase* base, char* text, int32_t capacity) {
    text[0] = 0;
    Dictionary* list = nullptr;
    Dictionary* arguments = Task_GetDictionaryHandle(base->Owner);
    if (Dictionary_GetListByKey(arguments, "arguments", &list) == 1 && list) {
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
            char part[1024];
            if (!Dictionary_ItemGetString(list, item, part, sizeof(part))) continue;
            Task_ExpandString(base->Owner, part, sizeof(part));
            if (text[0]) String_CatLength(text, " ", capacity);
            String_CatLength(text, part, capacity);
        }
        return;
    }
    TaskBase_GetStringArgument(base, "arguments", text, capacity);
}

int64_t ShortcutCreate_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, SHORTCUTCREATETASK_CLASS_ID);
    Task* task = base->Owner;
    const bool hasPath = Task_HasArgument(task, "path");
    const bool hasName = Task_HasArgument(task, "name");
    if (!hasPath || !hasName) {
        if (!hasPath) Task_Print(task, "\"path\" argument not defined");
        if (!hasName) Task_Print(task, "\"name\" argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
        return TaskBase_Complete(base, nullptr);
    }
    char path[512], name[120], arguments[1024], location[512], icon[512];
    TaskBase_GetStringArgument(base, "path", path, sizeof(path));
    if (TaskBase_RefuseLocation(base, "path", path)) return 1;
    TaskBase_GetStringArgument(base, "name", name, sizeof(name));
    ReadArguments(base, arguments, sizeof(arguments));
    ReadLocation(base, location, sizeof(location));
    TaskBase_GetStringArgument(base, "iconLocation", icon, sizeof(icon));
    double iconIndex = 0;
    if (!TaskBase_NumberArgument(base, "iconIndex", &iconIndex)) return 1;
    uint32_t admin = 0;
    Task_GetBooleanArgument(task, "runAsAdmin", &admin);
    Task_Print(task, "Creating shortcut - %s - %s%s", name, location, admin ? " (admin)" : "");
    const int32_t index = std::isfinite(iconIndex) && std::fabs(iconIndex) < 2147483647.0 ? (int32_t)iconIndex : 0;
    if (!Platform_CreateShortcut(path, arguments, index, location, name, icon, admin ? 1 : 0)) {
        Task_Print(task, "Unable to create shortcut %s in %s", name, location);
        Task_AddError(task, "Shortcut_Error_Create");
    }
    return TaskBase_Complete(base, nullptr);
}

int64_t ShortcutDelete_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, SHORTCUTDELETETASK_CLASS_ID);
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "name")) return 1;
    char name[120], location[512];
    TaskBase_GetStringArgument(base, "name", name, sizeof(name));
    ReadLocation(base, location, sizeof(location));
    Task_Print(task, "Deleting shortcut - %s - %s", name, location);
    if (!Platform_RemoveShortcut(location, name)) Task_AddError(task, "Shortcut_Error_Delete");
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kShortcutCreateType = {
    .ClassId = SHORTCUTCREATETASK_CLASS_ID, .Size = sizeof(ShortcutInstance), .OnStart = ShortcutCreate_OnStart};
const TaskBaseType kShortcutDeleteType = {
    .ClassId = SHORTCUTDELETETASK_CLASS_ID, .Size = sizeof(ShortcutInstance), .OnStart = ShortcutDelete_OnStart};

} // namespace

int64_t ShortcutCreate_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kShortcutCreateType);
}

int64_t ShortcutDelete_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kShortcutDeleteType);
}

// The registry task types: RegistryKeyCreate, RegistryKeyExists, RegistryKeyRead, RegistryKeyWrite
// and RegistryKeyDelete act on keys and values of the registry named by hive, location and view.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/platform/path.h"
#include "core/platform/registry.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "tasks/data_tasks.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"

namespace {

enum : uint32_t {
    kCreateClassId = 0x4be07a13,
    kExistsClassId = 0x91c35d2f,
    kReadClassId = 0x2d7f18b6,
    kWriteClassId = 0x6a49e0c5,
    kDeleteClassId = 0xe35b9274,
};

constexpr int32_t kWordSize = 120;
constexpr int32_t kLocationSize = 512;
constexpr int32_t kNameSize = 1024;
constexpr int32_t kValueSize = 2048;
// Above this a number is written as a 64-bit value.
constexpr double kLargestInt32 = 4294967294.0;

// The location every type names: hive, normalised key path and the single view.
struct Location {
    char Hive[kWordSize];
    char Path[kLocationSize];
    char View[kWordSize];
};

// Requires hive and location (in that order) and reads them with the view; 0 after the failure.
int64_t ReadLocation(TaskBase* base, Location* location) {
    Task* task = base->Owner;
    if (!TaskBase_RequireArgument(base, "hive") || !TaskBase_RequireArgument(base, "location")) return 0;
    Task_GetStringArgument(task, "hive", location->Hive, sizeof(location->Hive));
    Task_GetStringArgument(task, "location", location->Path, sizeof(location->Path));
    Path_FixSlash(location->Path, sizeof(location->Path), 0);
    if (DataTask_IsList(task, "view") ||
        !Task_GetStringArgument(task, "view", location->View, sizeof(location->View)))
        strcpy(location->View, "default");
    return 1;
}

bool KnownHive(const char* hive) {
    return Registry_ConvertClassFromString(hive) != PLATFORM_REGISTRYCLASS_UNKNOWN;
}

// ---- RegistryKeyCreate ------------------------------------------------------------------------

int64_t Create_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, kCreateClassId);
    Location location;
    if (!ReadLocation(base, &location)) return 1;
    if (!Registry_HelperCreateKey(location.View, location.Hive, location.Path)) {
        Task_Print(base->Owner, "Unable to create registry key %s/%s (%s)", location.Hive, location.Path,
                   location.View);
        Task_AddError(base->Owner, "RegistryKey_Error_Create");
    }
    return TaskBase_Complete(base, nullptr);
}

// ---- RegistryKeyExists ------------------------------------------------------------------------

struct ExistsRun {
    Task* Owner;
    const Location* Where;
    bool Found;
};

void ExistsInView(void* user, const char* view) {
    ExistsRun* run = static_cast<ExistsRun*>(user);
    if (run->Found) return;
    Task_Print(run->Owner, "Checking if registry key exists %s%c%s (%s)", run->Where->Hive, '/',
               run->Where->Path, view);
    run->Found = Registry_HelperDoesExist(view, run->Where->Hive, run->Where->Path) == 1;
}

int64_t Exists_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, kExistsClassId);
    Location location;
    if (!ReadLocation(base, &location)) return 1;
    ExistsRun run = {base->Owner, &location, false};
    // A list of views is tried in order until one holds the key.
    if (DataTask_IsList(base->Owner, "view"))
        DataTask_EachEntry(base->Owner, "view", kWordSize, false, &run, ExistsInView);
    else
        ExistsInView(&run, location.View);
    return TaskBase_RunOutcome(base, run.Found ? "exists" : "missing");
}

// ---- RegistryKeyRead --------------------------------------------------------------------------

// Reads one value in one view into the status: a text first, else a number.
bool ReadValue(Task* task, const Location& where, const char* view, const char* name) {
    const uint32_t registryClass = Registry_ConvertClassFromString(where.Hive);
    if (registryClass == PLATFORM_REGISTRYCLASS_UNKNOWN) return false;
    const uint32_t viewId = Registry_ConvertViewFromString(view);
    PlatformRegistryKey* key = nullptr;
    if (!Registry_DoesExist(viewId, registryClass, where.Path) ||
        !Registry_OpenReadOnly(&key, viewId, registryClass, where.Path))
        return false;
    char text[kNameSize];
    uint64_t wide = 0;
    uint32_t narrow = 0;
    bool read = false;
    if (Registry_GetChar(key, name, text, sizeof(text)) ||
        Registry_GetMultiChar(key, name, text, sizeof(text)) ||
        Registry_GetExpandChar(key, name, text, sizeof(text))) {
        Task_SetStatusString(task, name, text);
        read = true;
    } else if (Registry_GetInt64(key, name, &wide)) {
        Task_SetStatusNumber(task, name, (double)wide);
        read = true;
    } else if (Registry_GetInt32(key, name, &narrow)) {
        Task_SetStatusNumber(task, name, (double)narrow);
        read = true;
    }
    Registry_Close(&key);
    return read;
}

struct ReadRun {
    Task* Owner;
    const Location* Where;
    const char* Name;
    bool Read;
    bool All;
};

void ReadInView(void* user, const char* view) {
    ReadRun* run = static_cast<ReadRun*>(user);
    if (!run->Read) run->Read = ReadValue(run->Owner, *run->Where, view, run->Name);
}

// One value name: each view of a list in order until one reads it, else the single view. A value
// that cannot be read is an empty status text.
void ReadName(void* user, const char* name) {
    ReadRun* run = static_cast<ReadRun*>(user);
    run->Name = name;
    run->Read = false;
    if (DataTask_IsList(run->Owner, "view"))
        DataTask_EachEntry(run->Owner, "view", kWordSize, false, run, ReadInView);
    else
        ReadInView(run, run->Where->View);
    if (run->Read) return;
    Task_SetStatusString(run->Owner, name, "");
    run->All = false;
}

int64_t Read_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, kReadClassId);
    Task* task = base->Owner;
    Location location;
    if (!ReadLocation(base, &location)) return 1;
    const bool single = Task_HasArgument(task, "key");
    if (!single && !Task_HasArgument(task, "keys"))
        return TaskBase_Fail(base, "Task_Error_MissingArg", "key/keys argument not defined");
    ReadRun run = {task, &location, nullptr, false, true};
    DataTask_EachEntry(task, single ? "key" : "keys", kNameSize, false, &run, ReadName);
    if (DataTask_HasErrors(task)) return TaskBase_Complete(base, nullptr);
    return TaskBase_RunOutcome(base, run.All ? "read" : "notRead");
}

// ---- RegistryKeyWrite -------------------------------------------------------------------------

struct WriteRun {
    Task* Owner;
    const Location* Where;
    char Security[kWordSize];
    uint32_t OnlyIfExists;
};

int64_t WritePair(void* user, const char* name, Dictionary* dict, DictionaryItem* item) {
    WriteRun* run = static_cast<WriteRun*>(user);
    const Location& where = *run->Where;
    char text[kValueSize];
    if (run->OnlyIfExists &&
        !Registry_HelperGetKeyValue(where.View, where.Hive, where.Path, name, "", text, sizeof(text))) {
        Task_Print(run->Owner, "Value does not exist, skipping");
        return 0;
    }
    int64_t written = 0;
    if (Dictionary_ItemCompareType(dict, item, DICTIONARY_TYPE_FLOAT64)) {
        // A number with a fraction or exponent is written as the whole number it holds.
        double value = 0.0;
        Dictionary_ItemGetFloat64(dict, item, &value);
        if (value > kLargestInt32)
            written = Registry_HelperSetInt64(where.View, run->Security, where.Hive, where.Path, name,
                                              value >= 18446744073709551615.0 ? UINT64_MAX : (uint64_t)value);
        else
            written =
                Registry_HelperSetInt32(where.View, run->Security, where.Hive, where.Path, name,
                                        value <= -2147483648.0 ? 0x80000000u : (uint32_t)(int64_t)value);
    } else {
        DataTask_ItemText(dict, item, text, sizeof(text));
        Task_ExpandString(run->Owner, text, sizeof(text));
        written = Registry_HelperSetString(where.View, run->Security, where.Hive, where.Path, name, text);
    }
    if (written) return 1;
    if (DataTask_HasErrors(run->Owner)) return 0;
    Task_Print(run->Owner, "Unable to write registry value %s/%s/%s (%s)", where.Hive, where.Path, name, where.View);
    Task_AddError(run->Owner, "RegistryKey_Error_Write");
    return 0;
}

int64_t Write_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, kWriteClassId);
    Task* task = base->Owner;
    Location location;
    if (!ReadLocation(base, &location)) return 1;
    if (!Task_HasKeyValuePairs(task))
        return TaskBase_Fail(base, "Task_Error_MissingArg", "key/keyValuePairs argument not defined");
    WriteRun run = {task, &location, {0}, 0};
    if (!Task_GetStringArgument(task, "security", run.Security, sizeof(run.Security)))
        strcpy(run.Security, "default");
    Task_GetBooleanArgument(task, "onlyIfExists", &run.OnlyIfExists);
    Task_EnumerateKeyValuePairs(task, &run, WritePair);
    return TaskBase_Complete(base, nullptr);
}

// ---- RegistryKeyDelete ------------------------------------------------------------------------

struct DeleteRun {
    Task* Owner;
    Location* Where;
    uint32_t FailIfMissing;
    bool Values;
};

void DeleteValue(void* user, const char* name) {
    DeleteRun* run = static_cast<DeleteRun*>(user);
    if (DataTask_HasErrors(run->Owner)) return;
    if (!Registry_HelperDeleteValue(run->Where->View, run->Where->Hive, run->Where->Path, name)) {
        Task_Print(run->Owner, "Unable to erase registry value %s/%s/%s (%s)", run->Where->Hive, run->Where->Path,
                   name, run->Where->View);
        Task_AddError(run->Owner, "RegistryKey_Error_Delete");
    }
}

void DeleteLocation(void* user, const char* path) {
    DeleteRun* run = static_cast<DeleteRun*>(user);
    Task* task = run->Owner;
    Location& where = *run->Where;
    if (DataTask_HasErrors(task)) return;
    String_CopyLengthSafe(where.Path, sizeof(where.Path), path, (int32_t)strlen(path));
    Task_Print(task, "Erasing registry key %s%c%s (%s)", where.Hive, '/', where.Path, where.View);
    if (!KnownHive(where.Hive)) {
        Task_Print(task, "Unknown registry hive (%s)", where.Hive);
        Task_AddError(task, "RegistryKey_Error_Delete");
        return;
    }
    if (!Registry_HelperDoesExist(where.View, where.Hive, where.Path)) {
        if (!run->FailIfMissing) return;
        Task_Print(task, "Registry key does not exist (%s/%s)", where.Hive, where.Path);
        Task_AddError(task, "Platform_Error_AccessInvalid");
        return;
    }
    if (run->Values) {
        DataTask_EachEntry(task, "value", kLocationSize, true, run, DeleteValue);
    } else if (!Registry_HelperDeleteKey(where.View, where.Hive, where.Path)) {
        Task_Print(task, "Unable to erase registry key %s/%s (%s)", where.Hive, where.Path, where.View);
        Task_AddError(task, "RegistryKey_Error_Delete");
    }
}

int64_t Delete_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, kDeleteClassId);
    Task* task = base->Owner;
    Location location;
    if (!ReadLocation(base, &location)) return 1;
    DeleteRun run = {task, &location, 0, Task_HasArgument(task, "value") == 1};
    Task_GetBooleanArgument(task, "failIfMissing", &run.FailIfMissing);
    DataTask_EachEntry(task, "location", kLocationSize, true, &run, DeleteLocation);
    return TaskBase_Complete(base, nullptr);
}

// ---- Records ----------------------------------------------------------------------------------

#define REGISTRY_TYPE(Name, classId, onStart)                                                                \
    const TaskBaseType k##Name##Type = {.ClassId = classId, .Size = sizeof(TaskBase), .OnStart = onStart};   \
    int64_t Name##_Create(void** instance, Task* task) {                                                     \
        return TaskBase_Create(instance, task, &k##Name##Type);                                              \
    }

REGISTRY_TYPE(RegistryKeyCreate, kCreateClassId, Create_OnStart)
REGISTRY_TYPE(RegistryKeyExists, kExistsClassId, Exists_OnStart)
REGISTRY_TYPE(RegistryKeyRead, kReadClassId, Read_OnStart)
REGISTRY_TYPE(RegistryKeyWrite, kWriteClassId, Write_OnStart)
REGISTRY_TYPE(RegistryKeyDelete, kDeleteClassId, Delete_OnStart)
#undef REGISTRY_TYPE

const TaskInterface kRecords[] = {
    {"RegistryKeyCreate", RegistryKeyCreate_Create, TaskBase_AddRef, TaskBase_Release},
    {"RegistryKeyExists", RegistryKeyExists_Create, TaskBase_AddRef, TaskBase_Release},
    {"RegistryKeyRead", RegistryKeyRead_Create, TaskBase_AddRef, TaskBase_Release},
    {"RegistryKeyWrite", RegistryKeyWrite_Create, TaskBase_AddRef, TaskBase_Release},
    {"RegistryKeyDelete", RegistryKeyDelete_Create, TaskBase_AddRef, TaskBase_Release},
};

} // namespace

int64_t RegistryTasks_Register() {
    int64_t result = 1;
    for (const TaskInterface& record : kRecords)
        if (!TaskType_RegisterDefault(&record)) result = 0;
    return result;
}

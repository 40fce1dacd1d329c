// The comparison task types: a string within a string, two strings, two numbers and two versions,
// each answering through its outcome words.
#include <cstring>

#include "core/runtime/memory.h"
#include "core/runtime/string.h"
#include "tasks/basic_tasks.h"
#include "tasks/task_base.h"

namespace {

constexpr int32_t kContainsSize = 1024;
constexpr int32_t kCompareSize = 8192;
constexpr int32_t kVersionSize = 240;

// Both arguments must be there; the message names the first that is not.
bool RequirePair(TaskBase* base, const char* one, const char* two) {
    return TaskBase_RequireArgument(base, one) && TaskBase_RequireArgument(base, two);
}

char FoldAscii(char c) {
    return c >= 'A' && c <= 'Z' ? (char)(c - 'A' + 'a') : c;
}

// ---- StringContains ---------------------------------------------------------------------------

struct ContainsInstance {
    TaskBase Base;
    char One[kContainsSize];
    char Two[kContainsSize];
};

bool Contains(const char* text, const char* part, bool ignoreCase) {
    if (!ignoreCase) return strstr(text, part) != nullptr;
    const size_t length = strlen(part);
    for (const char* start = text;; start++) {
        size_t i = 0;
        while (i < length && start[i] && FoldAscii(start[i]) == FoldAscii(part[i])) i++;
        if (i == length) return true;
        if (!*start) return false;
    }
}

int64_t StringContains_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    ContainsInstance* instance = reinterpret_cast<ContainsInstance*>(TaskBase_Check(user, STRINGCONTAINSTASK_CLASS_ID));
    TaskBase* base = &instance->Base;
    if (!RequirePair(base, "stringOne", "stringTwo")) return 1;
    TaskBase_GetStringArgument(base, "stringOne", instance->One, kContainsSize);
    TaskBase_GetStringArgument(base, "stringTwo", instance->Two, kContainsSize);
    uint32_t ignoreCase = 0;
    Task_GetBooleanArgument(base->Owner, "ignoreCase", &ignoreCase);
    const bool found = Contains(instance->One, instance->Two, ignoreCase != 0);
    Task_Print(base->Owner, "String %s contains %s = %d", instance->One, instance->Two, (int32_t)found);
    return TaskBase_RunOutcome(base, found ? "found" : "notFound");
}

const TaskBaseType kContainsType = {STRINGCONTAINSTASK_CLASS_ID,
                                    sizeof(ContainsInstance),
                                    StringContains_OnStart,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    nullptr,
                                    nullptr};

int64_t StringContains_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kContainsType);
}

// ---- StringCompare ----------------------------------------------------------------------------
// The two 8 KB texts live in the instance, not on the stack of the notification's delivery.

struct CompareInstance {
    TaskBase Base;
    char One[kCompareSize];
    char Two[kCompareSize];
};

int32_t CompareBytes(const char* a, const char* b, bool ignoreCase) {
    for (;; a++, b++) {
        const unsigned char x = (unsigned char)(ignoreCase ? FoldAscii(*a) : *a);
        const unsigned char y = (unsigned char)(ignoreCase ? FoldAscii(*b) : *b);
        if (x != y) return x < y ? -1 : 1;
        if (!x) return 0;
    }
}

int64_t StringCompare_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    CompareInstance* instance = reinterpret_cast<CompareInstance*>(TaskBase_Check(user, STRINGCOMPARETASK_CLASS_ID));
    TaskBase* base = &instance->Base;
    if (!RequirePair(base, "stringOne", "stringTwo")) return 1;
    TaskBase_GetStringArgument(base, "stringOne", instance->One, kCompareSize);
    TaskBase_GetStringArgument(base, "stringTwo", instance->Two, kCompareSize);
    uint32_t ignoreCase = 0;
    Task_GetBooleanArgument(base->Owner, "ignoreCase", &ignoreCase);
    const int32_t result = CompareBytes(instance->One, instance->Two, ignoreCase != 0);
    Task_Print(base->Owner, "Compare string %s to %s = %d", instance->One, instance->Two, result);
    return TaskBase_RunComparison(base, result);
}

const TaskBaseType kCompareType = {STRINGCOMPARETASK_CLASS_ID,
                                   sizeof(CompareInstance),
                                   StringCompare_OnStart,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};

int64_t StringCompare_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kCompareType);
}

// ---- NumberCompare ----------------------------------------------------------------------------

struct NumberInstance {
    TaskBase Base;
};

int64_t NumberCompare_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, NUMBERCOMPARETASK_CLASS_ID);
    if (!RequirePair(base, "numberOne", "numberTwo")) return 1;
    double one = 0;
    double two = 0;
    if (!Task_GetNumberArgument(base->Owner, "numberOne", &one)) {
        TaskBase_InvalidArgument(base, "numberOne argument is not numeric");
        return TaskBase_Complete(base, nullptr);
    }
    if (!Task_GetNumberArgument(base->Owner, "numberTwo", &two)) {
        TaskBase_InvalidArgument(base, "numberTwo argument is not numeric");
        return TaskBase_Complete(base, nullptr);
    }
    Task_Print(base->Owner, "Compare number %f to %f", one, two);
    if (one == two) return TaskBase_RunOutcome(base, "equalTo");
    // Anything not greater, an unordered pair included, counts as less.
    return TaskBase_RunComparison(base, one > two ? 1 : -1);
}

const TaskBaseType kNumberType = {NUMBERCOMPARETASK_CLASS_ID,
                                  sizeof(NumberInstance),
                                  NumberCompare_OnStart,
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  nullptr,
                                  nullptr};

int64_t NumberCompare_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kNumberType);
}

// ---- VersionCompare ---------------------------------------------------------------------------

struct VersionInstance {
    TaskBase Base;
};

int64_t VersionCompare_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, VERSIONCOMPARETASK_CLASS_ID);
    if (!RequirePair(base, "versionOne", "versionTwo")) return 1;
    char one[kVersionSize];
    char two[kVersionSize];
    TaskBase_GetStringArgument(base, "versionOne", one, sizeof(one));
    TaskBase_GetStringArgument(base, "versionTwo", two, sizeof(two));
    int32_t result = 0;
    if (!String_CompareVersion(one, two, &result)) {
        TaskBase_InvalidArgument(base, "versionOne or versionTwo has incorrect format");
        return TaskBase_Complete(base, nullptr);
    }
    Task_Print(base->Owner, "Compare version %s to %s = %d", one, two, result);
    return TaskBase_RunComparison(base, result);
}

const TaskBaseType kVersionType = {VERSIONCOMPARETASK_CLASS_ID,
                                   sizeof(VersionInstance),
                                   VersionCompare_OnStart,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr,
                                   nullptr};

int64_t VersionCompare_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kVersionType);
}

} // namespace

const TaskInterface StringContains_Interface = {"StringContains", StringContains_Create, TaskBase_AddRef,
                                                TaskBase_Release};
const TaskInterface StringCompare_Interface = {"StringCompare", StringCompare_Create, TaskBase_AddRef,
                                               TaskBase_Release};
const TaskInterface NumberCompare_Interface = {"NumberCompare", NumberCompare_Create, TaskBase_AddRef,
                                               TaskBase_Release};
const TaskInterface VersionCompare_Interface = {"VersionCompare", VersionCompare_Create, TaskBase_AddRef,
                                                TaskBase_Release};

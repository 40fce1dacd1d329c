// URLRedirect and URLRedirectMacro: rules named by the SHA-1 of their prefix, so that a prefix
// always maps to one rule and running a task again replaces its rule instead of adding another.
#include "tasks/redirect_tasks.h"

#include <cstring>

#include "core/crypto/sha1.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string_print.h"
#include "core/web/web_get_redirect.h"
#include "tasks/task_base.h"
#include "workflow/task_type.h"

namespace {

constexpr int32_t kTextSize = WEBGET_REDIRECT_TEXT_SIZE;
// PCRE2_CASELESS: prefixes match whatever the case of the URL.
constexpr int64_t kCaseless = 0x8;

bool NeedsEscape(char c) {
    return c != 0 && strchr(" #$()*+./?[\\^{|", c) != nullptr;
}

// Copies `text` with every "$" doubled after `out[length]`; 0 when it does not fit.
bool AppendLiteral(char* out, int32_t capacity, int32_t length, const char* text) {
    for (const char* p = text; *p; p++) {
        const int32_t need = *p == '$' ? 2 : 1;
        if (length + need >= capacity) return false;
        if (*p == '$') out[length++] = '$';
        out[length++] = *p;
    }
    out[length] = 0;
    return true;
}

struct RedirectRun {
    const char* Append;  // null when absent
    const char* Replace; // null when absent
    char* Pattern;
    char* Replacement;
};

// Adds the rule of one prefix; 0 stops the enumeration.
bool AddRule(RedirectRun* run, const char* prefix) {
    if (!run->Append && !run->Replace) return false;
    if (!URLRedirect_BuildPattern(prefix, run->Pattern, kTextSize)) return false;
    if (run->Append) {
        String_Print(run->Replacement, kTextSize, "${1}");
        if (!AppendLiteral(run->Replacement, kTextSize, 4, run->Append)) return false;
    } else if (!AppendLiteral(run->Replacement, kTextSize, 0, run->Replace)) {
        return false;
    }
    SHA1* sha1 = nullptr;
    if (!SHA1_Create(&sha1)) return false;
    SHA1_Process(sha1, prefix, (uint32_t)strlen(prefix));
    SHA1_Generate(sha1);
    char digest[SHA1_DIGEST_SIZE * 2 + 1];
    SHA1_GetString(sha1, 0, digest, sizeof(digest));
    SHA1_Release(&sha1);
    for (char* p = digest; *p; p++)
        if (*p >= 'A' && *p <= 'F') *p = (char)(*p - 'A' + 'a');
    char name[WEBGET_REDIRECT_NAME_SIZE];
    String_Print(name, sizeof(name), "URLRedirectTask_%s", digest);
    return WebGet_RedirectAdd(name, 0, 1, run->Pattern, run->Replacement, kCaseless, 0) == 1;
}

int64_t URLRedirect_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, URLREDIRECTTASK_CLASS_ID);
    Task* task = base->Owner;
    Dictionary* arguments = Task_GetDictionaryHandle(task);
    if (!Task_HasArgument(task, "beginsWith")) {
        Task_Print(task, "beginsWith argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
        return TaskBase_Complete(base, nullptr);
    }
    RedirectRun run = {nullptr, nullptr, nullptr, nullptr};
    if (!Task_HasArgument(task, "append") || !Dictionary_GetStringPtrByKey(arguments, "append", &run.Append))
        run.Append = nullptr;
    if (!run.Append && Task_HasArgument(task, "replace") &&
        !Dictionary_GetStringPtrByKey(arguments, "replace", &run.Replace))
        run.Replace = nullptr;
    run.Pattern = static_cast<char*>(Memory_Alloc(kTextSize));
    run.Replacement = static_cast<char*>(Memory_Alloc(kTextSize));

    bool complete = run.Pattern && run.Replacement;
    uint32_t type = 0;
    Dictionary_GetTypeByKey(arguments, "beginsWith", &type);
    if (complete && type == DICTIONARY_TYPE_LIST) {
        Dictionary* list = nullptr;
        Dictionary_GetListByKey(arguments, "beginsWith", &list);
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(list, &item); item && complete; Dictionary_ItemGetNext(list, item, &item)) {
            const char* prefix = nullptr;
            complete = Dictionary_ItemGetStringPtr(list, item, &prefix) && prefix && AddRule(&run, prefix);
        }
    } else if (complete) {
        const char* prefix = nullptr;
        complete = Dictionary_GetStringPtrByKey(arguments, "beginsWith", &prefix) && prefix && AddRule(&run, prefix);
    }
    if (run.Pattern) Memory_Free(run.Pattern, kTextSize);
    if (run.Replacement) Memory_Free(run.Replacement, kTextSize);
    if (!complete) {
        Task_Print(task, "append/replace argument invalid or not defined");
        Task_AddError(task, "Task_Error_InvalidArg");
    }
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kRedirectType = {
    .ClassId = URLREDIRECTTASK_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = URLRedirect_OnStart};

int64_t URLRedirect_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kRedirectType);
}

// ---- URLRedirectMacro -------------------------------------------------------------------------

int64_t AddMacro(void* user, const char* key, Dictionary* dict, DictionaryItem* item) {
    TaskBase* base = static_cast<TaskBase*>(user);
    char* value = static_cast<char*>(Memory_Alloc(kTextSize));
    if (!value) return 0;
    if (!Dictionary_ItemGetString(dict, item, value, kTextSize)) value[0] = 0;
    Task_ExpandString(base->Owner, value, kTextSize);
    WebGet_RedirectAddMacro(key, value);
    Task_Print(base->Owner, "Adding url redirect macro %s = %s", key, value);
    Memory_Free(value, kTextSize);
    return 1;
}

int64_t URLRedirectMacro_OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    TaskBase* base = TaskBase_Check(user, URLREDIRECTMACROTASK_CLASS_ID);
    Task* task = base->Owner;
    if (!Task_HasArgument(task, "keyValuePairs") && !(Task_HasArgument(task, "key") && Task_HasArgument(task, "value"))) {
        Task_Print(task, "keyValuePairs/key argument not defined");
        Task_AddError(task, "Task_Error_MissingArg");
        return TaskBase_Complete(base, nullptr);
    }
    Task_EnumerateKeyValuePairs(task, base, AddMacro);
    return TaskBase_Complete(base, nullptr);
}

const TaskBaseType kMacroType = {
    .ClassId = URLREDIRECTMACROTASK_CLASS_ID, .Size = sizeof(TaskBase), .OnStart = URLRedirectMacro_OnStart};

int64_t URLRedirectMacro_Create(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kMacroType);
}

} // namespace

const TaskInterface URLRedirect_Interface = {"URLRedirect", URLRedirect_Create, TaskBase_AddRef, TaskBase_Release};
const TaskInterface URLRedirectMacro_Interface = {"URLRedirectMacro", URLRedirectMacro_Create, TaskBase_AddRef,
                                                  TaskBase_Release};

int64_t URLRedirect_BuildPattern(const char* prefix, char* out, int32_t capacity) {
    out[0] = 0;
    // The escaped prefix is never cut: a shorter prefix would match URLs the rule was not for.
    const int32_t limit = capacity - 6 < URLREDIRECT_PREFIX_LIMIT ? capacity - 6 : URLREDIRECT_PREFIX_LIMIT;
    int32_t length = 2;
    memcpy(out, "^(", 2);
    for (const char* p = prefix; *p; p++) {
        const int32_t need = NeedsEscape(*p) ? 2 : 1;
        if (length - 2 + need > limit) {
            out[0] = 0;
            return 0;
        }
        if (need == 2) out[length++] = '\\';
        out[length++] = *p;
    }
    memcpy(out + length, ".*)", 4);
    return 1;
}

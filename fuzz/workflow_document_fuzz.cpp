// Feeds arbitrary workflow documents, in JSON or YAML, to a Workflow: the document is checked as it
// is before a run (a refusal always says why), every named task is created
// and run or queued with the fuzzer's own task types (one completes at once with the definition's
// "result" as its outcome values, one fails), over a bounded number of main-loop passes; whatever
// is still running at the end is cancelled until every task has ended.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "core/certs/authenticate.h"
#include "core/formats/interop.h"
#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/runtime/class.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/memory.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/thread.h"
#include "workflow/task.h"
#include "workflow/task_internal.h"
#include "workflow/workflow.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

struct Instance {
    Task* Owner;
    char TaskId[40];
    bool Fail;
};

int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Instance* instance = static_cast<Instance*>(user);
    Task* task = instance->Owner;
    uint32_t flag = 0;
    if (instance->Fail || (Task_GetBooleanArgument(task, "fail", &flag) && flag)) Task_AddError(task, "Fuzz_Error_Failed");
    Dictionary* result = nullptr;
    Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "result", &result);
    // A type may run its own outcome words before it completes.
    char word[64];
    if (Task_GetStringArgument(task, "word", word, sizeof(word)))
        Task_RunSubAction(task, word, nullptr, Task_SubAction_Complete);
    else
        Task_Complete(task, result);
    return 1;
}

int64_t Create(void** out, Task* task, bool fail) {
    Instance* instance = static_cast<Instance*>(Memory_AllocZero(sizeof(Instance)));
    instance->Owner = task;
    instance->Fail = fail;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    *out = instance;
    return 1;
}
int64_t CreateOk(void** out, Task* task) {
    return Create(out, task, false);
}
int64_t CreateFail(void** out, Task* task) {
    return Create(out, task, true);
}
int64_t AddRef(void*) {
    return 1;
}
int64_t Release(void** handle) {
    Instance* instance = static_cast<Instance*>(*handle);
    *handle = nullptr;
    if (!instance) return 0;
    NotificationCenter_RemoveInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    Memory_Free(instance, sizeof(Instance));
    return 1;
}

const TaskInterface kOk = {"Ok", CreateOk, AddRef, Release};
const TaskInterface kFail = {"Fail", CreateFail, AddRef, Release};

// Every task made during the input, held so that the end can cancel what still runs.
std::vector<Task*>* g_tasks = nullptr;
// The names queued by the input.
std::vector<std::string> queued;

int64_t OnCreate(void*, const char*, const char*, const char* instance, Dictionary*) {
    Task* task = static_cast<Task*>(Class_ConvertFromInstanceId(instance));
    if (g_tasks && task && Task_ValidHandle(task)) {
        Task_AddRef(task);
        g_tasks->push_back(task);
    }
    return 1;
}

// Waiting queued events poll once a second; here every delay is one pass.
int64_t Collapse(const char* type, const char* name, const char* instance, int32_t, Dictionary* info) {
    NotificationCenter_FireAfterDelayOverride(nullptr);
    NotificationCenter_FireAfterDelay(type, name, instance, 0, info);
    NotificationCenter_FireAfterDelayOverride(Collapse);
    return 1;
}

void Pump(int passes) {
    for (int i = 0; i < passes; i++) NotificationCenter_Process();
}

bool Load(Workflow* workflow, const uint8_t* data, size_t size, bool yaml) {
    if (!yaml) return Workflow_LoadBuffer(workflow, reinterpret_cast<const char*>(data), (int32_t)size) == 1;
    Dictionary* document = nullptr;
    YAML* reader = nullptr;
    Dictionary_Create(&document);
    Dictionary_SetPrintCallback(document, nullptr, Quiet);
    YAML_Create(&reader);
    YAML_SetPrintCallback(reader, nullptr, Quiet);
    YAML_SetDictionaryHandle(reader, document);
    const bool loaded = YAML_LoadBuffer(reader, data, (uint32_t)size) == 1;
    YAML_SetDictionaryHandle(reader, nullptr);
    YAML_Release(&reader);
    Dictionary* root = nullptr;
    Dictionary_SkipRoot(document, &root);
    if (loaded && root) Workflow_LoadDictionary(workflow, root, 1);
    Dictionary_Release(&document);
    return loaded;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Class_Init();
    Thread_Init();
    EventQueue_Init();
    Interop_Init();
    NotificationCenter_Init();
    Authenticate_Init();
    NotificationCenter_FireAfterDelayOverride(Collapse);
    NotificationCenter_AddObserver("Task", "Create", nullptr, OnCreate);
    return 0;
}

// The first byte chooses the format (bit 0: YAML) and whether tasks are queued (bit 1); the rest
// is the document.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > (1u << 16)) return 0;
    const uint8_t mode = data[0];
    std::vector<Task*> tasks;
    g_tasks = &tasks;
    Workflow* workflow = nullptr;
    Workflow_Create(&workflow);
    Workflow_SetPrintCallback(workflow, nullptr, Quiet);
    Workflow_RegisterTaskHandler(workflow, &kOk);
    Workflow_RegisterTaskHandler(workflow, &kFail);
    Workflow_AddMacro(workflow, "contentUrl", "https://content.test/");
    if (Load(workflow, data + 1, size - 1, mode & 1)) {
        Dictionary* definitions = nullptr;
        Workflow_GetDictionaryHandle(workflow, &definitions);
        // The check made before a document runs reads every definition, its templates and outcomes.
        char problem[512];
        const char* key = nullptr;
        if (!Workflow_CheckDocument(workflow, definitions, problem, (int32_t)sizeof(problem), &key) &&
            (!key || !problem[0]))
            __builtin_trap();
        // A loaded document gives every task a name of its own: each definition is the one its
        // name finds.
        DictionaryItem* own = nullptr;
        for (Dictionary_ItemGetFirst(definitions, &own); own; Dictionary_ItemGetNext(definitions, own, &own)) {
            const char* name = nullptr;
            if (Dictionary_ItemGetKeyPtr(definitions, own, &name) && name && Task_FindDefinition(definitions, name) != own)
                __builtin_trap();
        }
        int runs = 0;
        queued.clear();
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(definitions, &item); item && runs < 6;
             Dictionary_ItemGetNext(definitions, item, &item), runs++) {
            const char* name = nullptr;
            if (!Dictionary_ItemGetKeyPtr(definitions, item, &name) || !name) continue;
            if (mode & 2) {
                Workflow_QueueTask(workflow, name, nullptr, nullptr, nullptr);
                queued.push_back(name);
            }
            else
                Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr);
        }
        Pump(60);
    }
    // Whatever still runs (a chain may name itself forever) is cancelled, level by level: a pass
    // at a time, so that a task a "complete" chain starts is cancelled before its start arrives.
    for (int round = 0; round < 4000; round++) {
        bool running = false;
        for (size_t i = 0; i < tasks.size(); i++) {
            if (Task_IsCompleted(tasks[i])) continue;
            running = true;
            Task_Cancel(tasks[i]);
        }
        bool waiting = false;
        for (const std::string& name : queued) waiting = waiting || Workflow_IsTaskQueued(workflow, name.c_str());
        if (!running && !waiting && !Workflow_IsActivated(workflow)) break;
        Pump(1);
    }
    Pump(8);
    // Every run has ended, so nothing but us holds the workflow; an event left behind would go on
    // running into the next input.
    if (!Class_HasOneRef(workflow)) __builtin_trap();
    g_tasks = nullptr;
    // The workflow goes first: the tasks held here outlive it and its types.
    Workflow_Release(&workflow);
    Pump(4);
    for (Task* task : tasks) Task_Release(&task);
    Pump(4);
    return 0;
}

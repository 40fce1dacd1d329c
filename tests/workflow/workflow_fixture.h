// Shared set-up of the suites that run tasks in a real Workflow: a workflow printing into the
// test's lines, the test's own task type "Step", documents given as JSON, and runs driven by
// main-loop passes of the notification centre.
#pragma once
#include "tests/workflow/task_fixture.h"

#include "core/runtime/memory.h"
#include "workflow/workflow.h"

// The test's task type. When its start is delivered it completes at once, unless the task says
// otherwise: "hold": true waits for the test; "fail": true adds "Test_Error_Failed" first;
// "result" is the dictionary it completes with.
namespace step_type {

struct Instance {
    Task* Owner;
    char TaskId[40];
};

inline int64_t OnStart(void* user, const char*, const char*, const char*, Dictionary*) {
    Task* task = static_cast<Instance*>(user)->Owner;
    uint32_t flag = 0;
    if (Task_GetBooleanArgument(task, "hold", &flag) && flag) return 1;
    if (Task_GetBooleanArgument(task, "fail", &flag) && flag) Task_AddError(task, "Test_Error_%s", "Failed");
    Dictionary* result = nullptr;
    Dictionary_GetDictionaryByKey(Task_GetDictionaryHandle(task), "result", &result);
    Task_Complete(task, result);
    return 1;
}

inline int64_t Create(void** out, Task* task) {
    Instance* instance = static_cast<Instance*>(Memory_AllocZero(sizeof(Instance)));
    instance->Owner = task;
    Task_GetInstanceId(task, instance->TaskId, sizeof(instance->TaskId));
    NotificationCenter_AddInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    *out = instance;
    return 1;
}

inline int64_t AddRef(void*) {
    return 1;
}

inline int64_t Release(void** handle) {
    Instance* instance = static_cast<Instance*>(*handle);
    *handle = nullptr;
    if (!instance) return 0;
    NotificationCenter_RemoveInstanceObserver("Task", "Start", instance->TaskId, instance, OnStart);
    Memory_Free(instance, sizeof(Instance));
    return 1;
}

} // namespace step_type

inline const TaskInterface StepTaskType = {"Step", step_type::Create, step_type::AddRef, step_type::Release};

class WorkflowTest : public TaskTest {
  protected:
    Workflow* workflow = nullptr;
    int pass = 0;
    // "pass:Type/Name" of the notifications watched with Watch().
    std::vector<std::string> seen;
    // The information of every "WorkflowEvent"/"Complete", as JSON without the workflow's id.
    std::vector<std::string> ends;
    // Names of the tasks whose start was delivered, with their arguments: "name:{...}".
    std::vector<std::string> started;

    static int64_t OnSeen(void* user, const char* type, const char* name, const char*, Dictionary*) {
        WorkflowTest* test = static_cast<WorkflowTest*>(user);
        test->seen.push_back(std::to_string(test->pass) + ":" + type + "/" + name);
        return 1;
    }
    static int64_t OnEventEnd(void* user, const char*, const char*, const char*, Dictionary* info) {
        Dictionary* copy = nullptr;
        Dictionary_Create(&copy);
        Dictionary_Merge(copy, info, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_RemoveByKey(copy, "workflow");
        static_cast<WorkflowTest*>(user)->ends.push_back("{" + DictionaryAsJson(copy) + "}");
        Dictionary_Release(&copy);
        return 1;
    }
    static int64_t OnTaskStart(void* user, const char*, const char*, const char*, Dictionary* info) {
        const char* name = nullptr;
        Dictionary_GetStringPtrByKey(info, "name", &name);
        Dictionary* args = nullptr;
        if (name) Dictionary_GetDictionaryByKey(info, name, &args);
        Dictionary* copy = nullptr;
        Dictionary_Create(&copy);
        if (args) Dictionary_Merge(copy, args, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_RemoveByKey(copy, "type");
        static_cast<WorkflowTest*>(user)->started.push_back(std::string(name ? name : "?") + ":{" +
                                                            DictionaryAsJson(copy) + "}");
        Dictionary_Release(&copy);
        return 1;
    }

    void SetUp() override {
        TaskTest::SetUp();
        ASSERT_EQ(Workflow_Create(&workflow), 1);
        Workflow_SetPrintCallback(workflow, this, CaptureLine);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        NotificationCenter_AddObserver("WorkflowEvent", "Complete", this, OnEventEnd);
        NotificationCenter_AddObserver("Task", "Start", this, OnTaskStart);
    }
    void TearDown() override {
        Pump(40);
        NotificationCenter_RemoveObserver("WorkflowEvent", "Complete", this, OnEventEnd);
        NotificationCenter_RemoveObserver("Task", "Start", this, OnTaskStart);
        for (const auto& w : watched) NotificationCenter_RemoveObserver(w.first.c_str(), w.second.c_str(), this, OnSeen);
        Workflow_Release(&workflow);
        TaskTest::TearDown();
    }

    std::vector<std::pair<std::string, std::string>> watched;
    void Watch(const char* type, const char* name) {
        watched.emplace_back(type, name);
        NotificationCenter_AddObserver(type, name, this, OnSeen);
    }

    // One main-loop pass, numbered.
    void Pass() {
        pass++;
        NotificationCenter_Process();
    }
    void Passes(int count) {
        for (int i = 0; i < count; i++) Pass();
    }

    // Loads a JSON document; every definition without "type" gets the test's type.
    void Define(const char* text) {
        Dictionary* document = ParseJson(text);
        Dictionary* root = Root(document);
        DictionaryItem* item = nullptr;
        for (Dictionary_ItemGetFirst(root, &item); item; Dictionary_ItemGetNext(root, item, &item)) {
            Dictionary* definition = nullptr;
            if (Dictionary_ItemCompareType(root, item, DICTIONARY_TYPE_DICTIONARY) &&
                Dictionary_ItemGetDictionaryHandle(root, item, &definition) && definition &&
                !Dictionary_ContainsKey(definition, "type"))
                Dictionary_SetStringByKey(definition, "type", "Step");
        }
        Workflow_LoadDictionary(workflow, root, 1);
        Dictionary_Release(&document);
    }

    // Runs `name` and pumps until its event has ended; the event's information.
    std::string Run(const char* name, int budget = 60) {
        const size_t before = ends.size();
        EXPECT_EQ(Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr), 1);
        for (int i = 0; i < budget && ends.size() == before; i++) Pass();
        return ends.size() > before ? ends.back() : "no end";
    }

    Task* Find(const char* name) {
        Task* task = nullptr;
        Workflow_FindTaskByName(workflow, name, &task);
        return task;
    }
};

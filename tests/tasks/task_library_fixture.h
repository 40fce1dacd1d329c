// Shared set-up of the task library suites: the engine context with the library's types, a
// workflow loaded from YAML or JSON text, a task run by name through the main loop, and what the
// run left behind (errors, status, the tasks that started, the lines printed, notifications).
#pragma once
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "core/formats/json.h"
#include "core/formats/yaml.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string_print.h"
#include "core/runtime/thread.h"
#include "tasks/task_library.h"
#include "tests/support/abort_hook.h"
#include "tests/support/dictionary_text.h"
#include "workflow/task.h"
#include "workflow/workflow.h"
#include "workflow/workflow_app.h"

class TaskLibraryTest : public ::testing::Test {
  public:
    // What one run of a task left: whether its event ended, the ended task's completion.
    struct Run {
        bool ended = false;
        bool successful = false;
        bool cancelled = false;
        std::vector<std::string> errors;
    };

  protected:
    Workflow* workflow = nullptr;
    // Lines the workflow and its tasks printed.
    std::vector<std::string> lines;
    // Worker threads print too: two lines may arrive at once.
    mutable std::mutex linesLock;
    // Names of the tasks in the order they started.
    std::vector<std::string> started;
    // "type/name" of every notification watched with Watch(), with its information as JSON.
    std::vector<std::string> fired;
    // Each task's status, merged from its "Task"/"Status" notifications; by task name.
    std::map<std::string, Dictionary*> statuses;
    // Each task's completion information, by task name (the last one when it ran more than once).
    std::map<std::string, Dictionary*> completions;
    std::map<std::string, std::string> names; // task instance id -> name
    std::vector<std::pair<std::string, std::string>> watched;
    int endedEvents = 0;

    void SetUp() override {
        GTEST_FLAG_SET(death_test_style, "threadsafe");
        ASSERT_EQ(TaskLibrary_Register(), 1);
        ASSERT_EQ(WorkflowApp_Init("tasks.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
        InstallTestAbortHook();
        ASSERT_EQ(Workflow_Create(&workflow), 1);
        Workflow_SetPrintCallback(workflow, this, CaptureLine);
        NotificationCenter_AddObserver("Task", "Start", this, OnTaskStart);
        NotificationCenter_AddObserver("Task", "Status", this, OnTaskStatus);
        NotificationCenter_AddObserver("Task", "Complete", this, OnTaskComplete);
    }

    void TearDown() override {
        Pump(20);
        NotificationCenter_RemoveObserver("Task", "Start", this, OnTaskStart);
        NotificationCenter_RemoveObserver("Task", "Status", this, OnTaskStatus);
        NotificationCenter_RemoveObserver("Task", "Complete", this, OnTaskComplete);
        for (const auto& w : watched) NotificationCenter_RemoveObserver(w.first.c_str(), w.second.c_str(), this, OnFired);
        if (workflow) Workflow_Release(&workflow);
        Pump(5);
        for (auto& entry : statuses) Dictionary_Release(&entry.second);
        for (auto& entry : completions) Dictionary_Release(&entry.second);
        uint32_t code = 0;
        EXPECT_EQ(WorkflowApp_Remove(&code), 1);
    }

    // ---- Loading and running -------------------------------------------------------------------

    // Loads a workflow document: JSON when it starts with "{", YAML otherwise.
    bool Define(const std::string& text) {
        Dictionary* document = nullptr;
        Dictionary_Create(&document);
        int64_t loaded = 0;
        const size_t first = text.find_first_not_of(" \t\r\n");
        if (first != std::string::npos && text[first] == '{') {
            JSON* json = nullptr;
            JSON_Create(&json);
            JSON_SetDictionaryHandle(json, document);
            loaded = JSON_LoadBuffer(json, text.data(), (uint32_t)text.size());
            JSON_SetDictionaryHandle(json, nullptr);
            JSON_Release(&json);
        } else {
            YAML* yaml = nullptr;
            YAML_Create(&yaml);
            YAML_SetDictionaryHandle(yaml, document);
            loaded = YAML_LoadBuffer(yaml, text.data(), (uint32_t)text.size());
            YAML_SetDictionaryHandle(yaml, nullptr);
            YAML_Release(&yaml);
        }
        Dictionary* root = nullptr;
        Dictionary_SkipRoot(document, &root);
        const bool ok = loaded == 1 && root && Workflow_LoadDictionary(workflow, root, 1) == 1;
        Dictionary_Release(&document);
        EXPECT_TRUE(ok) << text;
        return ok;
    }

    // Starts the named task without waiting.
    void Start(const char* name) {
        ASSERT_EQ(Workflow_RunTask(workflow, name, nullptr, this, OnEventEnd), 1) << name;
    }

    // Runs the named task and pumps the main loop until its run has ended (at most `seconds`).
    Run RunTask(const char* name, double seconds = 10) {
        const int before = endedEvents;
        Start(name);
        PumpUntil([&] { return endedEvents > before; }, seconds);
        Run run = Result(name);
        run.ended = endedEvents > before;
        return run;
    }

    // The completion of the named task as far as it is known.
    Run Result(const std::string& name) {
        Run run;
        auto it = completions.find(name);
        if (it == completions.end()) return run;
        run.ended = true;
        uint32_t flag = 0;
        run.successful = Dictionary_GetBooleanByKey(it->second, "successful", &flag) == 1 && flag;
        run.cancelled = Dictionary_GetBooleanByKey(it->second, "cancelled", &flag) == 1 && flag;
        Dictionary* list = nullptr;
        if (Dictionary_GetListByKey(it->second, "errors", &list) && list) {
            DictionaryItem* item = nullptr;
            for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
                const char* text = nullptr;
                if (Dictionary_ItemGetStringPtr(list, item, &text) && text) run.errors.push_back(text);
            }
        }
        return run;
    }

    // One pass of the engine's main loop: the main thread's event queue, notifications (and
    // process ticks) and the rest of the engine's pump.
    static void Pass() {
        WorkflowApp_Process();
    }
    static void Pump(int passes) {
        for (int i = 0; i < passes; i++) Pass();
    }
    // Passes until the condition holds; false after `seconds`.
    template <typename Condition> static bool PumpUntil(Condition condition, double seconds = 10) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds((int64_t)(seconds * 1000));
        while (std::chrono::steady_clock::now() < end) {
            if (condition()) return true;
            Pass();
            if (condition()) return true;
            Thread_Wait(1);
        }
        return condition();
    }

    // ---- What the run left -----------------------------------------------------------------------

    // The task's status value under `key` as text ("<none>" when absent).
    std::string Status(const std::string& task, const char* key) {
        auto it = statuses.find(task);
        if (it == statuses.end()) return "<none>";
        char text[8192];
        if (!Dictionary_GetStringByKey(it->second, key, text, sizeof(text))) return "<none>";
        return text;
    }
    std::string StatusJson(const std::string& task) {
        auto it = statuses.find(task);
        return it == statuses.end() ? "<none>" : "{" + DictionaryAsJson(it->second) + "}";
    }

    bool Started(const std::string& name) const {
        for (const auto& s : started)
            if (s == name) return true;
        return false;
    }
    bool Printed(const std::string& text) const {
        std::lock_guard<std::mutex> guard(linesLock);
        for (const auto& line : lines)
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    // Records every notification of this type and name in `fired`.
    void Watch(const char* type, const char* name) {
        watched.emplace_back(type, name);
        NotificationCenter_AddObserver(type, name, this, OnFired);
    }

  private:
    static int64_t CaptureLine(void* user, const char* format, ...) {
        char text[8192];
        va_list args;
        va_start(args, format);
        String_VPrint(text, sizeof(text), format, args);
        va_end(args);
        TaskLibraryTest* test = static_cast<TaskLibraryTest*>(user);
        std::lock_guard<std::mutex> guard(test->linesLock);
        test->lines.push_back(text);
        return 1;
    }
    static int64_t OnEventEnd(Workflow*, void* user, Dictionary*) {
        static_cast<TaskLibraryTest*>(user)->endedEvents++;
        return 1;
    }
    static int64_t OnTaskStart(void* user, const char*, const char*, const char* instance, Dictionary* info) {
        TaskLibraryTest* test = static_cast<TaskLibraryTest*>(user);
        const char* name = nullptr;
        if (info && Dictionary_GetStringPtrByKey(info, "name", &name) && name) {
            test->started.push_back(name);
            if (instance) test->names[instance] = name;
        }
        return 1;
    }
    static Dictionary* Slot(std::map<std::string, Dictionary*>& map, const std::string& name, bool reset) {
        Dictionary*& dict = map[name];
        if (dict && reset) Dictionary_Release(&dict);
        if (!dict) Dictionary_Create(&dict);
        return dict;
    }
    static int64_t OnTaskStatus(void* user, const char*, const char*, const char* instance, Dictionary* info) {
        TaskLibraryTest* test = static_cast<TaskLibraryTest*>(user);
        auto it = instance ? test->names.find(instance) : test->names.end();
        if (it != test->names.end() && info) Dictionary_Merge(Slot(test->statuses, it->second, false), info, DICTIONARY_MERGE_OVERWRITE);
        return 1;
    }
    static int64_t OnTaskComplete(void* user, const char*, const char*, const char* instance, Dictionary* info) {
        TaskLibraryTest* test = static_cast<TaskLibraryTest*>(user);
        auto it = instance ? test->names.find(instance) : test->names.end();
        if (it != test->names.end()) {
            Dictionary* slot = Slot(test->completions, it->second, true);
            if (info) Dictionary_Merge(slot, info, DICTIONARY_MERGE_OVERWRITE);
        }
        return 1;
    }
    static int64_t OnFired(void* user, const char* type, const char* name, const char*, Dictionary* info) {
        static_cast<TaskLibraryTest*>(user)->fired.push_back(std::string(type) + "/" + name + ":" +
                                                             (info ? "{" + DictionaryAsJson(info) + "}" : ""));
        return 1;
    }
};

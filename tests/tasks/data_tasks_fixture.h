// Set-up shared by the suites of the data-document and registry task types: tasks defined as JSON
// members in a directory of the test's own, each ending in marks that tell which outcome word ran,
// and the errors and status values a run left.
#pragma once
#include <string>

#include "tasks/task_base.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"

namespace data_tasks_fixture {

// The mark type: completes at once; its start is what the test looks for.
inline int64_t MarkStart(void* user, const char*, const char*, const char*, Dictionary*) {
    return TaskBase_Complete(static_cast<TaskBase*>(user), nullptr);
}
inline const TaskBaseType kMarkType = {0x7e5700d1, sizeof(TaskBase), MarkStart, nullptr, nullptr,
                                       nullptr,    nullptr,          nullptr,   nullptr, nullptr};
inline int64_t MarkCreate(void** instance, Task* task) {
    return TaskBase_Create(instance, task, &kMarkType);
}
inline const TaskInterface kMarkRecord = {"Mark", MarkCreate, TaskBase_AddRef, TaskBase_Release};

// The outcome words the types answer with, besides plain success.
inline const char* const kWords[] = {"exists", "missing", "read", "notRead", "failure"};

} // namespace data_tasks_fixture

class DataTasksTest : public TaskLibraryTest {
  protected:
    TempDir dir;
    void SetUp() override {
        TaskLibraryTest::SetUp();
        Workflow_RegisterTaskHandler(workflow, &data_tasks_fixture::kMarkRecord);
    }
    // Defines the tasks from JSON members, "{dir}" standing for the test's directory; after its
    // `"type": "Name"` every task gets a chain to the mark "m_<word>" for each outcome word.
    void Tasks(std::string text) {
        for (size_t at; (at = text.find("{dir}")) != std::string::npos;) text.replace(at, 5, dir.path());
        std::string chains, marks;
        for (const char* word : data_tasks_fixture::kWords) {
            chains += std::string(", \"") + word + "\": \"m_" + word + "\"";
            marks += std::string(", \"m_") + word + "\": {\"type\": \"Mark\"}";
        }
        for (size_t at = 0; (at = text.find("\"type\"", at)) != std::string::npos; at += 6) {
            const size_t name = text.find('"', text.find(':', at));
            text.insert(text.find('"', name + 1) + 1, chains);
        }
        ASSERT_TRUE(Define("{" + text + marks + "}"));
    }
    // Runs the task: the outcome word it ended with, "success" when no mark ran.
    std::string Outcome(const char* name) {
        started.clear();
        if (!RunTask(name).ended) return "no end";
        for (const char* word : data_tasks_fixture::kWords)
            if (Started(std::string("m_") + word)) return word;
        return "success";
    }
    std::string Errors(const char* name) {
        std::string all;
        for (const std::string& e : Result(name).errors) all += (all.empty() ? "" : ",") + e;
        return all;
    }
    // The values the task put in its status, as JSON (without the engine's own "errors").
    std::string Values(const char* name) {
        auto it = statuses.find(name);
        if (it == statuses.end()) return "<none>";
        Dictionary_RemoveByKey(it->second, "errors");
        return "{" + DictionaryAsJson(it->second) + "}";
    }
};

// Set-up of the suites of the engine's own task types: a real workflow holding the built-in types
// beside the test's "Step", the statuses tasks publish, and the started tasks by name.
#pragma once
#include <string>
#include <vector>

#include "tests/workflow/workflow_fixture.h"

class EngineTypesTest : public WorkflowTest {
  protected:
    // Every "Task"/"Status" as "pass:information as JSON" (private items included).
    std::vector<std::string> statuses;

    static int64_t OnStatus(void* user, const char*, const char*, const char*, Dictionary* info) {
        EngineTypesTest* test = static_cast<EngineTypesTest*>(user);
        test->statuses.push_back(std::to_string(test->pass) + ":" + (info ? "{" + DictionaryAsJson(info) + "}" : ""));
        return 1;
    }

    void SetUp() override {
        WorkflowTest::SetUp();
        ASSERT_EQ(Workflow_RegisterDefaultTasks(workflow), 1);
        NotificationCenter_AddObserver("Task", "Status", this, OnStatus);
    }
    void TearDown() override {
        NotificationCenter_RemoveObserver("Task", "Status", this, OnStatus);
        WorkflowTest::TearDown();
    }

    // The names of the started tasks, in order, joined by ",".
    std::string StartedNames() const {
        std::string out;
        for (const std::string& s : started) out += (out.empty() ? "" : ",") + s.substr(0, s.find(':'));
        return out;
    }
    // The statuses holding `key`.
    std::vector<std::string> StatusesWith(const std::string& key) const {
        std::vector<std::string> out;
        for (const std::string& s : statuses)
            if (s.find("\"" + key + "\"") != std::string::npos) out.push_back(s.substr(s.find(':') + 1));
        return out;
    }
};

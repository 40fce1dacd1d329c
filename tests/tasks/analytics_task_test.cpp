// The Analytics task through the engine: single values appended as written, pairs expanded and
// merged, into the workflow's dictionary or the global one.
#include "core/web/analytics.h"
#include "tasks/analytics_task.h"
#include "tests/support/bounded_wait.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class AnalyticsTaskTest : public TaskLibraryTest {
  protected:
    void SetUp() override {
        TaskLibraryTest::SetUp();
        Workflow_AddMacro(workflow, "who", "me");
    }
    std::string Local() {
        Dictionary* dict = nullptr;
        Workflow_GetAnalyticsDictionaryHandle(workflow, &dict);
        return dict ? "{" + DictionaryAsJson(dict) + "}" : "<none>";
    }
    std::string Global() {
        Dictionary* dict = nullptr;
        Analytics_GetGlobalDictionaryHandle(&dict);
        return dict ? "{" + DictionaryAsJson(dict) + "}" : "<none>";
    }
};

TEST_F(AnalyticsTaskTest, KeyValueAppendsAsWrittenAndPairsMergeExpanded) {
    Define(R"({"s": {"type": "Analytics", "key": "k", "value": "{who}"},
               "n": {"type": "Analytics", "key": "k", "value": 5},
               "b": {"type": "Analytics", "key": "flag", "value": false},
               "l": {"type": "Analytics", "key": "list", "value": [1, "{who}"]},
               "p1": {"type": "Analytics", "keyValuePairs": {"a": "{who}", "b": true}},
               "p2": {"type": "Analytics", "keyValuePairs": {"a": "again"}}})");
    for (const char* name : {"s", "n", "b", "l", "p1", "p2"}) EXPECT_TRUE(RunTask(name).successful) << name;
    EXPECT_EQ(Local(), R"({"k":"{who}","k":5,"flag":false,"list":[1,"{who}"],"a":"again","b":true})");
    EXPECT_EQ(Global().find("\"k\""), std::string::npos);
}

TEST_F(AnalyticsTaskTest, GlobalTargetsTheApplicationDictionary) {
    Define(R"({"g": {"type": "Analytics", "global": "yes", "keyValuePairs": {"globalKey": "{who}"}}})");
    ASSERT_TRUE(RunTask("g").successful);
    EXPECT_NE(Global().find(R"("globalKey":"me")"), std::string::npos) << Global();
    EXPECT_EQ(Local(), "{}");
}

TEST_F(AnalyticsTaskTest, NeitherFormIsAMissingArgument) {
    Define(R"({"none": {"type": "Analytics", "key": "only"}, "list": {"type": "Analytics", "keyValuePairs": [1]}})");
    for (const char* name : {"none", "list"}) {
        lines.clear();
        EXPECT_EQ(RunTask(name).errors, std::vector<std::string>{"Task_Error_MissingArg"}) << name;
        EXPECT_TRUE(Printed("key/keyValuePairs argument not defined")) << name;
    }
}

} // namespace

// The Aggregate task type in a real workflow: which runs a document makes, with and without
// "target", from inline content or a fetched document, and the definitions that cannot run.
#include "tests/workflow/document_peer.h"
#include "workflow/aggregate.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new DocumentEnvironment);

class AggregateTest : public FetchingTest {
  protected:
    // Runs an Aggregate task "g" with the given extra keys beside the tasks "install" and "t".
    std::string RunWith(const std::string& keys) {
        Workflow_Reset(workflow);
        Workflow_RegisterDefaultTasks(workflow);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Define(("{\"g\": {\"type\": \"Aggregate\", \"authenticate\": false" + keys +
                R"(}, "install": {"mode": "quiet"}, "t": {}, "first": {}, "second": {}})")
                   .c_str());
        started.clear();
        lines.clear();
        return NetRun("g");
    }
};

TEST_F(AggregateTest, EntriesBecomeRuns) {
    const struct {
        const char* keys;
        const char* runs; // started tasks after "g", each "name:{arguments}"
    } cases[] = {
        {R"(, "content": [{"id": 1}, {"id": 2}], "target": "install.package")",
         R"(install:{"mode":"quiet","package":{"id":1}}|install:{"mode":"quiet","package":{"id":2}})"},
        {R"(, "content": {"first": {"a": 1}, "second": [{"b": 2}, {"b": 3}]})",
         R"(first:{"a":1}|second:{"b":2}|second:{"b":3})"},
        {R"(, "content": "{\"count\": 3}", "target": "t")", R"(t:{"count":3})"},
        {R"(, "content": ["x", "y"])", ""},
        // A keyed entry runs under its own key even with a target that has no key part.
        {R"(, "content": {"first": {"a": 1}}, "target": "t")", R"(first:{"a":1})"},
    };
    for (const auto& c : cases) {
        const std::string end = RunWith(c.keys);
        EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << c.keys << end;
        std::string runs;
        for (size_t i = 1; i < started.size(); i++) runs += (i > 1 ? "|" : "") + started[i];
        EXPECT_EQ(runs, c.runs) << c.keys;
    }
}

TEST_F(AggregateTest, FetchedDocumentsAndTheirSourcePath) {
    peer->Put("list.json", R"({"data": {"items": [{"id": "a"}, {"id": "b"}]}})");
    std::string end = RunWith(R"(, "url": ")" + peer->Url("list.json") + R"(", "source": "data.items", "target": "t")");
    EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << end;
    EXPECT_EQ(started.size(), 3u);
    EXPECT_EQ(started.back(), R"(t:{"id":"b"})");

    end = RunWith(R"(, "url": ")" + peer->Url("list.json") + R"(", "source": "data.nothing", "target": "t")");
    EXPECT_NE(end.find("Aggregate_Error_Merge"), std::string::npos) << end;
    EXPECT_TRUE(Printed("Failed to find source path - data.nothing"));
    EXPECT_EQ(started.size(), 1u);

    end = RunWith(R"(, "url": ")" + peer->Url("absent.json") + R"(", "target": "t")");
    EXPECT_NE(end.find(R"("successful":false)"), std::string::npos) << end;
    EXPECT_EQ(started.size(), 1u);
}

TEST_F(AggregateTest, DefinitionsThatCannotRun) {
    // Nothing to load at all: without an answer the task would never end.
    for (const char* keys : {"", R"(, "content": "not json")", R"(, "content": 12)"}) {
        const std::string end = RunWith(keys);
        if (std::string(keys) == R"(, "content": 12)") {
            // A scalar document is usable: without a target it makes no run.
            EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << end;
            continue;
        }
        EXPECT_NE(end.find("Task_Error_MissingArg"), std::string::npos) << keys << end;
        EXPECT_TRUE(Printed("\"url\" or \"content\" argument not defined")) << keys;
    }
    // A run of a task the workflow lacks still runs, and fails as a missing sub-task.
    const std::string end = RunWith(R"(, "content": [{"id": 1}], "target": "absent")");
    EXPECT_TRUE(Printed("Cannot find task in workflow - absent"));
    EXPECT_NE(end.find("Task_Error_MissingSubTask"), std::string::npos) << end;
}

} // namespace

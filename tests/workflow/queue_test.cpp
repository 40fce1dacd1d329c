// The Queue task type in a real workflow: order, concurrency, failure of one action, progress
// statuses, and the refusals of a definition that cannot run.
#include "tests/workflow/engine_types_fixture.h"
#include "workflow/queue.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);

class QueueTest : public EngineTypesTest {
  protected:
    // The pass of every start of a task named `prefix`n.
    std::vector<int> StartPasses() const {
        std::vector<int> out;
        for (const std::string& s : seen)
            if (s.find("Task/Start") != std::string::npos) out.push_back(std::stoi(s));
        return out;
    }
};

TEST_F(QueueTest, ActionsRunInOrderAndTheQueueEndsAfterTheLast) {
    Define(R"({"q": {"type": "Queue", "actions": ["a", "{which}", "c"]}, "a": {}, "b": {}, "c": {}})");
    Workflow_AddMacro(workflow, "which", "b");
    EXPECT_EQ(Run("q"), R"({"successful":true,"cancelled":false,"name":"q","exists":true,"global":false})");
    EXPECT_EQ(StartedNames(), "q,a,b,c");
    EXPECT_TRUE(Printed("Next task b"));
}

TEST_F(QueueTest, ConcurrencyComesFromTheDefinition) {
    const struct {
        const char* keys;
        int actions;
        const char* printed; // "" when nothing is printed
        size_t runs;
    } cases[] = {
        {"", 3, "", 3},
        {R"(, "concurrentTasks": -1)", 5, "Set 5 concurrent actions", 5},
        {R"(, "concurrentActions": 10)", 3, "Set 3 concurrent actions", 3},
        {R"(, "concurrentTasks": 2, "concurrentActions": 4)", 4, "Set 2 concurrent actions", 4},
        // No lane: the queue ends at once without running anything.
        {R"(, "concurrentActions": 0)", 2, "Set 0 concurrent actions", 0},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = "q" + std::to_string(n++);
        std::string list;
        for (int i = 0; i < c.actions; i++) list += std::string(i ? "," : "") + "\"s\"";
        Define(("{\"" + name + R"(": {"type": "Queue", "actions": [)" + list + "]" + c.keys + R"(}, "s": {}})").c_str());
        lines.clear();
        started.clear();
        const std::string end = Run(name.c_str());
        EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << c.keys << end;
        EXPECT_EQ(started.size(), 1u + c.runs) << c.keys;
        if (c.printed[0])
            EXPECT_TRUE(Printed(c.printed)) << c.keys;
        else
            EXPECT_FALSE(Printed("concurrent actions")) << c.keys;
    }
}

TEST_F(QueueTest, LanesStartTogether) {
    Define(R"({"q": {"type": "Queue", "actions": ["s", "s", "s", "s", "s"], "concurrentTasks": -1}, "s": {}})");
    Watch("Task", "Start");
    Run("q");
    std::vector<int> passes = StartPasses();
    ASSERT_EQ(passes.size(), 6u);
    for (size_t i = 2; i < passes.size(); i++) EXPECT_EQ(passes[i], passes[1]);
}

TEST_F(QueueTest, AFailedActionEndsItsLane) {
    Define(R"({"q": {"type": "Queue", "actions": ["a", "bad", "c"]},
               "q2": {"type": "Queue", "actions": ["bad", "a", "c", "d"], "concurrentTasks": 2},
               "a": {}, "bad": {"fail": true, "result": {"why": "broken"}}, "c": {}, "d": {}})");
    const std::string one = Run("q");
    EXPECT_EQ(StartedNames(), "q,a,bad");
    EXPECT_NE(one.find(R"("successful":false)"), std::string::npos) << one;
    EXPECT_NE(one.find(R"("why":"broken")"), std::string::npos) << one;
    // With two lanes the other lane goes on; the failure still decides the outcome.
    started.clear();
    const std::string two = Run("q2");
    EXPECT_EQ(StartedNames(), "q2,bad,a,c,d");
    EXPECT_NE(two.find(R"("successful":false)"), std::string::npos) << two;
    EXPECT_NE(two.find(R"("why":"broken")"), std::string::npos) << two;
}

TEST_F(QueueTest, StatusCarriesCountsAndTheFinishedResult) {
    Define(R"({"q": {"type": "Queue", "actions": ["a", "b"]}, "a": {"result": {"size": 7}}, "b": {}})");
    Run("q");
    const std::vector<std::string> counts = StatusesWith("totalActions");
    ASSERT_EQ(counts.size(), 3u);
    EXPECT_EQ(counts[0], R"({"runningActions":0,"completeActions":0,"totalActions":2,"progress":0})");
    EXPECT_EQ(counts[1], R"({"runningActions":0,"completeActions":1,"totalActions":2,"progress":0.5,"successful":true,"cancelled":false,"size":7})");
    EXPECT_EQ(StatusesWith("currentAction").size(), 2u);
}

TEST_F(QueueTest, DefinitionsThatCannotRunEndAtOnce) {
    const struct {
        const char* definition;
        const char* error;
        const char* printed;
    } cases[] = {
        {R"({"type": "Queue"})", "Task_Error_MissingArg", "\"actions\" argument not defined"},
        {R"({"type": "Queue", "actions": ["absent"]})", "Task_Error_MissingSubTask", "Cannot find task absent"},
        // Below -1 no lane would ever start nor end the task.
        {R"({"type": "Queue", "actions": ["a"], "concurrentTasks": -2})", "Task_Error_InvalidArg",
         "Invalid concurrent actions (-2)"},
    };
    for (const auto& c : cases) {
        Define((std::string(R"({"a": {}, "q": )") + c.definition + "}").c_str());
        lines.clear();
        const std::string end = Run("q", 30);
        EXPECT_NE(end.find(R"("successful":false)"), std::string::npos) << c.definition << end;
        EXPECT_NE(end.find(c.error), std::string::npos) << c.definition << end;
        EXPECT_TRUE(Printed(c.printed)) << c.definition;
    }
}

TEST_F(QueueTest, ActionNamesAreCut) {
    Task* task = Load(R"({"q": {"type": "Queue"}})", "q");
    Queue* queue = nullptr;
    ASSERT_EQ(Queue_CreateManual(&queue, task), 1);
    const std::string longName(200, 'n');
    Dictionary* arguments = ParseJson(R"({"k": 1})");
    ASSERT_EQ(Queue_ActionAdd(queue, longName.c_str(), arguments), 1);
    ASSERT_EQ(Queue_ActionAdd(queue, "second", nullptr), 1);
    Dictionary_Release(&arguments);
    QueueAction* action = nullptr;
    char name[300];
    ASSERT_EQ(Queue_ActionGetFirst(queue, &action), 1);
    Queue_ActionGetName(queue, action, name, sizeof(name));
    EXPECT_EQ(std::string(name), longName.substr(0, 119));
    ASSERT_EQ(Queue_ActionGetNext(action, &action), 1);
    Queue_ActionGetName(queue, action, name, sizeof(name));
    EXPECT_STREQ(name, "second");
    EXPECT_EQ(Queue_ActionGetNext(action, &action), 0);
    Queue_ActionRemoveAll(queue);
    EXPECT_EQ(Queue_ActionGetFirst(queue, &action), 0);
    Queue_Release(&queue);
}

} // namespace

// The Progress task type in a real workflow: bounds from weights, the overall figure each report
// gives, redistribution of skipped weight, timed climbs, and chains that are too deep or cyclic.
#include <chrono>
#include <cmath>
#include <thread>

#include "tests/workflow/engine_types_fixture.h"
#include "workflow/progress.h"

namespace {

::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new TaskEnvironment);

class ProgressTest : public EngineTypesTest {
  protected:
    // The published overall figures, rounded to 1e-6.
    std::vector<double> Overall() const {
        std::vector<double> out;
        for (const std::string& s : StatusesWith("overallProgress")) {
            const size_t at = s.find("\"overallProgress\":") + 18;
            out.push_back(std::round(std::stod(s.substr(at)) * 1e6) / 1e6);
        }
        return out;
    }
    // Starts `name` and pumps a few passes.
    void Start(const char* name) {
        ASSERT_EQ(Workflow_RunTask(workflow, name, nullptr, nullptr, nullptr), 1);
        Passes(8);
    }
    void Report(const char* name, double fraction) {
        Task* task = Find(name);
        ASSERT_NE(task, nullptr) << name;
        Task_SetProgress(task, fraction);
        Passes(2);
    }
    void Finish(const char* name) {
        Task* task = Find(name);
        ASSERT_NE(task, nullptr) << name;
        Task_Complete(task, nullptr);
        Passes(8);
    }
};

TEST_F(ProgressTest, ChainedTasksShareTheWhole) {
    const struct {
        const char* extra;
        std::vector<double> overall; // after a at 0.5, b at 0.5, b done, a done
    } cases[] = {
        // b runs as a's "complete" chain, so a reports its end after b's: that late end must not
        // pull the figure back.
        {"", {0.25, 0.75, 1.0}},
        {R"(, "maxPercentage": 50)", {0.125, 0.375, 0.5}},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string p = "p" + std::to_string(n++);
        Define(("{\"" + p + R"(": {"type": "Progress", "actions": ["a"])" + c.extra +
                R"(}, "a": {"hold": true, "complete": "b"}, "b": {"hold": true}})")
                   .c_str());
        statuses.clear();
        Start(p.c_str());
        Report("a", 0.5);
        Finish("a");
        Report("b", 0.5);
        Finish("b");
        EXPECT_EQ(Overall(), c.overall) << c.extra;
        Workflow_Reset(workflow);
        Workflow_RegisterDefaultTasks(workflow);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Passes(10);
    }
}

TEST_F(ProgressTest, WeightsShapeTheBounds) {
    const struct {
        const char* a;
        const char* b;
        const char* c;
        double overall; // after a reports 0.5
    } cases[] = {
        {R"("progressWeight": 0.7,)", "", R"("progressWeight": 0,)", 0.35},
        // Explicit weights above 1 in sum leave nothing to the unweighted third: T = 1.3.
        {R"("progressWeight": 0.7,)", R"("progressWeight": 0.6,)", "", 0.35 / 1.3},
        // 1.5 counts as unweighted: a and b share what c's 0.25 leaves.
        {R"("progressWeight": 1.5,)", "", R"("progressWeight": 0.25,)", 0.1875},
    };
    for (const auto& c : cases) {
        Workflow_Reset(workflow);
        Workflow_RegisterDefaultTasks(workflow);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Define((std::string(R"({"p": {"type": "Progress", "actions": ["a"]}, "a": {)") + c.a +
                R"( "hold": true, "complete": "b"}, "b": {)" + c.b + R"( "complete": "c"}, "c": {)" + c.c +
                R"( "hold": true}})")
                   .c_str());
        statuses.clear();
        Start("p");
        Report("a", 0.5);
        ASSERT_FALSE(Overall().empty()) << c.a << c.b << c.c;
        EXPECT_NEAR(Overall().front(), c.overall, 1e-6) << c.a << c.b << c.c;
        Finish("a");
        Passes(4);
        if (Task* task = Find("c")) Task_Complete(task, nullptr);
        Passes(10);
    }
}

TEST_F(ProgressTest, SkippedTasksHandOnTheirWeight) {
    // a is on the chain (through the named parameter "alt") but never runs.
    Define(R"({"p": {"type": "Progress", "actions": ["x"], "taskChainParameter": ["alt"]},
               "x": {"progressWeight": 0, "alt": "a", "complete": "b"},
               "a": {"progressWeight": 0.3333333333333333},
               "b": {"progressWeight": 0.3333333333333333, "hold": true, "complete": "c"},
               "c": {"progressWeight": 0.3333333333333333}})");
    Start("p");
    Report("b", 0.5);
    ASSERT_EQ(Overall().size(), 1u);
    EXPECT_NEAR(Overall()[0], 0.25, 1e-9);
    // The same fraction again publishes nothing.
    Report("b", 0.5);
    EXPECT_EQ(Overall().size(), 1u);
    Finish("b");
}

int64_t OnAggregateStatus(void* user, const char*, const char*, const char*, Dictionary* info) {
    double value = 0;
    if (info && Dictionary_GetFloat64ByKey(info, "#aggregateProgress", &value))
        static_cast<std::vector<double>*>(user)->push_back(value);
    return 1;
}

TEST_F(ProgressTest, AggregateBoundsPassTheirFractionThrough) {
    std::vector<double> passed;
    NotificationCenter_AddObserver("Task", "Status", &passed, OnAggregateStatus);
    Define(R"({"p": {"type": "Progress", "actions": ["a"]}, "a": {"progressAggregate": true, "hold": true}})");
    Start("p");
    Report("a", 0.4);
    Finish("a");
    NotificationCenter_RemoveObserver("Task", "Status", &passed, OnAggregateStatus);
    EXPECT_TRUE(Overall().empty());
    // The end of a, then the Progress task's own end marking its last bound.
    EXPECT_EQ(passed, (std::vector<double>{0.4, 1.0, 1.0}));
    EXPECT_TRUE(Printed("Aggregate progress - 0.40"));
}

TEST_F(ProgressTest, TimedBoundsClimbAndPause) {
    Define(R"({"p": {"type": "Progress", "actions": ["a"]},
               "a": {"hold": true, "progressWaitTime": 0.2, "progressWaitInterval": 0.05}})");
    Start("p");
    Report("a", 0.9); // reports of a timed bound are ignored
    // Pumps for `seconds`, or until `count` figures are out when count is not 0 (bounded).
    auto pumpFor = [this](double seconds, size_t count) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < end && (count == 0 || Overall().size() < count)) {
            Pass();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    };
    pumpFor(5, 1);
    const size_t early = Overall().size();
    ASSERT_GE(early, 1u);
    // Paused, nothing climbs; resumed, it climbs to the whole in steps of a quarter.
    Task* task = Find("p");
    ASSERT_NE(task, nullptr);
    void* instance = nullptr;
    Task_GetInterfaceHandle(task, &instance);
    const char* id = static_cast<const char*>(instance);
    NotificationCenter_Fire("Progress", "TogglePause", id, nullptr);
    pumpFor(0.15, 0);
    EXPECT_EQ(Overall().size(), early);
    NotificationCenter_Fire("Progress", "TogglePause", id, nullptr);
    pumpFor(5, 4);
    pumpFor(0.1, 0);
    EXPECT_EQ(Overall(), (std::vector<double>{0.25, 0.5, 0.75, 1.0}));
    Finish("a");
}

TEST_F(ProgressTest, ChainsThatCannotBeWalkedEndTheTask) {
    const struct {
        const char* document;
        const char* printed;
        const char* error;
    } cases[] = {
        // Depth 3 is the limit: a (1), b (2), c (3) pass, d (4) does not.
        {R"({"p": {"type": "Progress", "actions": ["a"], "maxChainDepth": 3}, "a": {"complete": "b"},
             "b": {"complete": "c"}, "c": {}})",
         nullptr, nullptr},
        {R"({"p": {"type": "Progress", "actions": ["a"], "maxChainDepth": 3}, "a": {"complete": "b"},
             "b": {"complete": "c"}, "c": {"complete": "d"}, "d": {}})",
         "Task chain depth exceeds maximum (3)", "Task_Error_InvalidArg"},
        {R"({"p": {"type": "Progress", "actions": ["a"]}, "a": {"complete": "gone"}})", "Cannot find task gone",
         "Task_Error_MissingArg"},
        // A cycle fails as the depth limit it would reach, whatever that limit is.
        {R"({"p": {"type": "Progress", "actions": ["a"]}, "a": {"complete": "b"}, "b": {"complete": "a"}})",
         "Task chain depth exceeds maximum (1000)", "Task_Error_InvalidArg"},
        {R"({"p": {"type": "Progress", "actions": ["a"], "maxChainDepth": 1000000000}, "a": {"actions": ["b"]},
             "b": {"complete": "a"}})",
         "Task chain depth exceeds maximum (1000000000)", "Task_Error_InvalidArg"},
        // A task reached again deeper down fails when its subtree, hung there, passes the limit.
        {R"({"p": {"type": "Progress", "actions": ["c", "a"], "maxChainDepth": 3}, "a": {"complete": "b"},
             "b": {"complete": "c"}, "c": {"complete": "d"}, "d": {}})",
         "Task chain depth exceeds maximum (3)", "Task_Error_InvalidArg"},
    };
    int n = 0;
    for (const auto& c : cases) {
        Workflow_Reset(workflow);
        Workflow_RegisterDefaultTasks(workflow);
        Workflow_RegisterTaskHandler(workflow, &StepTaskType);
        Define(c.document);
        lines.clear();
        started.clear();
        const std::string end = Run("p", 60);
        if (!c.printed) {
            EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << n << end;
            EXPECT_EQ(StartedNames(), "p,a,b,c") << n;
        } else {
            EXPECT_TRUE(Printed(c.printed)) << n;
            EXPECT_NE(end.find(c.error), std::string::npos) << n << end;
            EXPECT_EQ(StartedNames(), "p") << n;
        }
        n++;
    }
}

// Shared references make the chain a lattice whose paths double at every level: it is walked once
// per task, not once per path.
TEST_F(ProgressTest, SharedReferencesAreWalkedOnce) {
    std::string document = R"({"p": {"type": "Progress", "actions": ["t0"]})";
    const int levels = 60;
    for (int i = 0; i < levels; i++)
        document += ",\"t" + std::to_string(i) + "\": {\"actions\": [\"t" + std::to_string(i + 1) + "\", \"t" +
                    std::to_string(i + 1) + "\"]}";
    document += ",\"t" + std::to_string(levels) + "\": {}}";
    Define(document.c_str());
    const std::string end = Run("p", 60);
    EXPECT_NE(end.find(R"("successful":true)"), std::string::npos) << end;
}

TEST_F(ProgressTest, PrintsGoThroughTheTask) {
    Task* task = Load(R"({"p": {"type": "Progress", "maxPercentage": 40}})", "p");
    Progress* progress = nullptr;
    ASSERT_EQ(Progress_CreateManual(&progress, task), 1);
    Queue* queue = nullptr;
    EXPECT_EQ(Progress_GetQueueHandle(progress, &queue), 1);
    EXPECT_NE(queue, nullptr);
    Progress_Print(progress, "line %d", 7);
    EXPECT_TRUE(Printed("line 7"));
    Progress_SetVerbose(progress, 2);
    EXPECT_EQ(Progress_IsVerboseLevel(progress, 2), 1);
    EXPECT_EQ(Progress_IsVerboseLevel(progress, 3), 0);
    // The inner queue always runs one action at a time.
    int32_t lanes = 0;
    Dictionary_GetInt32ByKey(Task_GetDictionaryHandle(task), "concurrentTasks", &lanes);
    EXPECT_EQ(lanes, 1);
    Progress_Release(&progress);
}

} // namespace

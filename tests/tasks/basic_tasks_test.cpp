// The basic task types run end to end through the engine: endings and exit codes, shutdown,
// waiting, logging, notifications, status, the comparisons with their outcome words, and
// environment variables as a launched program sees them.
#include <cstdio>
#include <algorithm>

#include <unistd.h>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/temp_dir.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

// Outcome words lead to Log tasks named after them, so `started` shows which ran, in order.
constexpr const char* kOutcomes =
    R"("equalTo": "eq", "notEqualTo": "ne", "lessThan": "lt", "greaterThan": "gt", "found": "fo", "notFound": "nf")";
constexpr const char* kOutcomeTasks = R"("eq": {"type": "Log", "message": "eq"}, "ne": {"type": "Log", "message": "ne"},
    "lt": {"type": "Log", "message": "lt"}, "gt": {"type": "Log", "message": "gt"},
    "fo": {"type": "Log", "message": "fo"}, "nf": {"type": "Log", "message": "nf"})";

class BasicTasksTest : public TaskLibraryTest {
  protected:
    int defined = 0; // definitions get fresh names: loading merges into those already there

    void SetUp() override {
        TaskLibraryTest::SetUp();
        Debug_SetExitCode(0);
        Workflow_AddMacro(workflow, "who", "me");
    }

    // Defines task "t" of `type` with the arguments (JSON members) and the outcome words, runs
    // it, and answers the tasks that ran after it and its errors: "ne,gt" or "!Task_Error_X".
    std::string Compare(const std::string& type, const std::string& arguments) {
        const std::string name = "t" + std::to_string(defined++);
        Define("{\"" + name + R"(": {"type": ")" + type + "\", " + arguments + (arguments.empty() ? "" : ", ") +
               kOutcomes + "}, " + kOutcomeTasks + "}");
        started.clear();
        Run run = RunTask(name.c_str());
        std::string out;
        for (size_t i = 1; i < started.size(); i++) out += (i > 1 ? "," : "") + started[i];
        for (const auto& error : run.errors) out += "!" + error;
        return run.ended ? out : "no end";
    }

    // The variable as a program launched by this process sees it.
    static std::string ChildSees(const char* name) {
        TempDir dir;
        const std::string out = dir.file("seen");
        std::string script = std::string("printf '%s' \"$") + name + "\" > \"$0\"";
        char* arguments[] = {const_cast<char*>("-c"), script.data(), const_cast<char*>(out.c_str()), nullptr};
        PlatformProcess* handle = nullptr;
        if (!Platform_ExecuteVector("/bin/sh", 3, arguments, "", PLATFORM_EXECUTE_NORMAL, nullptr, &handle))
            return "<no child>";
        int32_t code = -1;
        const bool ended = Eventually([&] { return Platform_ProcessGetExitCode(handle, &code) == 1; });
        Platform_ProcessDelete(&handle);
        return ended && code == 0 ? ReadFile(out) : "<child failed>";
    }
};

TEST_F(BasicTasksTest, EndingsAddTheirTextAsErrorAndSetTheExitCode) {
    struct Case {
        const char* definition;
        const char* errors;
        uint32_t exitCode;
    } cases[] = {
        {R"({"type": "End", "error": "Custom_Error_{who}"})", "!Custom_Error_me", 0},
        {R"({"type": "Error", "message": "Custom_Error_Failed", "exitCode": 7.9})", "!Custom_Error_Failed", 7},
        {R"({"type": "End", "exitCode": "3", "break": true})", "", 3},
        // A code mistyped as a word is an invalid argument, not a code of 0.
        {R"({"type": "end", "exitCode": "three", "message": "ignored"})", "!Task_Error_InvalidArg", 0},
        {R"({"type": "Error", "exitCode": -2})", "", 0xfffffffeu},
        {R"({"type": "End", "exitCode": "99999999999"})", "", 2147483647u}, // held to 32 bits, not wrapped
    };
    for (const Case& c : cases) {
        Debug_SetExitCode(0);
        const std::string name = "t" + std::to_string(defined++);
        Define("{\"" + name + "\": " + c.definition + "}");
        Run run = RunTask(name.c_str());
        ASSERT_TRUE(run.ended) << c.definition;
        std::string errors;
        for (const auto& e : run.errors) errors += "!" + e;
        EXPECT_EQ(errors, c.errors) << c.definition;
        EXPECT_EQ(run.successful, errors.empty()) << c.definition;
        EXPECT_EQ(Debug_ExitCode(), c.exitCode) << c.definition;
    }
    EXPECT_TRUE(Printed("Break requested"));
}

TEST_F(BasicTasksTest, ShutdownFiresItsExpandedArguments) {
    Watch("WorkflowApp", "Shutdown");
    Define(R"({"t": {"type": "Shutdown", "selfUpdate": "yes", "reason": "by {who}", "exitCode": 4}})");
    Run run = RunTask("t");
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(run.successful);
    EXPECT_TRUE(Printed("Initiating shutdown"));
    EXPECT_EQ(Debug_ExitCode(), 4u);
    // The first is the task's; the engine may fire its own once it is idle.
    ASSERT_GE(fired.size(), 1u);
    EXPECT_NE(fired[0].find(R"("reason":"by me")"), std::string::npos) << fired[0];
    EXPECT_NE(fired[0].find(R"("canRemote":false)"), std::string::npos) << fired[0];
    EXPECT_NE(fired[0].find(R"("type":"Shutdown")"), std::string::npos) << fired[0];
}

TEST_F(BasicTasksTest, ImplodeNamesTheFileRemovedAfterExit) {
    Define(R"({"given": {"type": "Implode", "path": "/tmp/gone-{who}"}, "empty": {"type": "Implode", "path": ""},
               "self": {"type": "Implode"}})");
    char path[4096];
    EXPECT_TRUE(RunTask("given").successful);
    EXPECT_TRUE(Printed("Imploding"));
    ASSERT_EQ(WorkflowApp_GetImplodePath(path, sizeof(path)), 1);
    EXPECT_STREQ(path, "/tmp/gone-me");
    EXPECT_TRUE(RunTask("self").successful);
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    WorkflowApp_GetImplodePath(path, sizeof(path));
    EXPECT_STREQ(path, self);
    EXPECT_TRUE(RunTask("empty").successful);
    WorkflowApp_GetImplodePath(path, sizeof(path));
    EXPECT_STREQ(path, "");
}

TEST_F(BasicTasksTest, SleepWaitsOnMainLoopTicks) {
    Define(R"({"zero": {"type": "Sleep", "seconds": 0}, "short": {"type": "Sleep", "seconds": 0.2},
               "long": {"type": "Sleep", "seconds": 60}, "none": {"type": "Sleep"},
               "exponent": {"type": "Sleep", "seconds": 2.5e-1}, "negative": {"type": "Sleep", "seconds": -1},
               "years": {"type": "Sleep", "seconds": 1e300}})");
    EXPECT_TRUE(RunTask("zero").successful);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_TRUE(RunTask("short").successful);
    // The main loop's clock counts whole milliseconds: the wait may begin up to one into its first.
    EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(199));
    // "Waiting 0.20 seconds - Mon, 07 Dec 26 16:17:02 GMT"
    auto waiting = std::find_if(lines.begin(), lines.end(),
                                [](const std::string& l) { return l.find("Waiting 0.20 seconds - ") != std::string::npos; });
    ASSERT_NE(waiting, lines.end());
    std::string stamp = waiting->substr(waiting->rfind(" - ") + 3, 27);
    EXPECT_EQ(stamp.substr(24), "GMT");
    for (char& c : stamp) c = isdigit((unsigned char)c) ? '9' : isalpha((unsigned char)c) ? 'a' : c;
    EXPECT_EQ(stamp, "aaa, 99 aaa 99 99:99:99 aaa");
    EXPECT_TRUE(Printed("Wait completed - "));

    Start("long");
    Pump(5);
    Task* task = nullptr;
    ASSERT_EQ(Workflow_FindTaskByName(workflow, "long", &task), 1);
    Task_Cancel(task);
    ASSERT_TRUE(PumpUntil([&] { return Result("long").ended; }));
    EXPECT_EQ(Result("long").errors, std::vector<std::string>{"Task_Error_Cancelled"});
    EXPECT_TRUE(Printed("Wait cancelled - "));

    EXPECT_EQ(RunTask("none").errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("\"seconds\" argument not defined"));

    EXPECT_TRUE(RunTask("exponent").successful);
    EXPECT_TRUE(Printed("Waiting 0.25 seconds - "));
    EXPECT_EQ(RunTask("negative").errors, std::vector<std::string>{"Task_Error_InvalidArg"});
    EXPECT_TRUE(Printed("\"seconds\" argument is out of range (0 to 31536000): -1"));
    EXPECT_EQ(RunTask("years").errors, std::vector<std::string>{"Task_Error_InvalidArg"});
    EXPECT_TRUE(Printed("\"seconds\" argument is out of range (0 to 31536000): 1e+300"));
}

TEST_F(BasicTasksTest, LogPublishesEachExpandedMessage) {
    Define(R"({"list": {"type": "Log", "message": ["first {who}", 5, "second"]},
               "one": {"type": "Log", "message": "only {who}"},
               "empty": {"type": "Log", "message": []}, "none": {"type": "Log"}})");
    EXPECT_TRUE(RunTask("list").successful);
    EXPECT_TRUE(Printed("first me"));
    EXPECT_EQ(Status("list", "message"), "second");
    EXPECT_TRUE(RunTask("one").successful);
    EXPECT_EQ(Status("one", "message"), "only me");
    EXPECT_TRUE(RunTask("empty").successful);
    EXPECT_EQ(RunTask("none").errors, std::vector<std::string>{"Task_Error_MissingArg"});
    EXPECT_TRUE(Printed("\"message\" argument not defined"));
}

TEST_F(BasicTasksTest, NotificationSplitsTheEventAndExpandsItsContent) {
    Watch("Custom", "Thing.More");
    Watch("Task", "Task");
    Watch("Plain", "Text");
    Define(R"({"dict": {"type": "Notification", "event": "Custom.Thing.More", "content": {"k": "{who}"}},
               "word": {"type": "Notification", "event": "Task"},
               "text": {"type": "Notification", "event": "Plain.Text", "delay": "30", "authenticate": false,
                        "content": "{\"n\": 1, \"s\": \"x\"}"},
               "bad": {"type": "Notification", "event": "Plain.Text", "content": "{not json"},
               "none": {"type": "Notification"}})");
    EXPECT_TRUE(RunTask("dict").successful);
    EXPECT_TRUE(RunTask("word").successful);
    EXPECT_TRUE(Printed("Firing event Custom.Thing.More after 0.00ms"));
    EXPECT_TRUE(PumpUntil([&] { return fired.size() >= 2; }));
    Pump(3);
    EXPECT_EQ(fired, (std::vector<std::string>{R"(Custom/Thing.More:{"k":"me"})", "Task/Task:{}"}));
    fired.clear();
    EXPECT_TRUE(RunTask("text").successful); // completes without waiting for the delivery
    EXPECT_TRUE(PumpUntil([&] { return !fired.empty(); }));
    EXPECT_EQ(fired, std::vector<std::string>{R"(Plain/Text:{"n":1,"s":"x"})"});
    Run bad = RunTask("bad");
    ASSERT_EQ(bad.errors.size(), 1u);
    EXPECT_EQ(bad.errors[0].rfind("Json_Error_", 0), 0u) << bad.errors[0];
    EXPECT_EQ(RunTask("none").errors, std::vector<std::string>{"Task_Error_MissingArg"});
}

TEST_F(BasicTasksTest, StatusPublishesTheRawArgumentsToItsTarget) {
    Watch("Workflow", "Status");
    Define(R"({"own": {"type": "Status", "state": "{who}"},
               "flow": {"type": "Status", "target": "workflow", "phase": 2},
               "parent": {"type": "Log", "message": "p", "success": "child"},
               "child": {"type": "Status", "target": "this.parent", "from": "child"},
               "lost": {"type": "Status", "target": "this.args", "x": 1}})");
    EXPECT_TRUE(RunTask("own").successful);
    EXPECT_EQ(Status("own", "state"), "{who}");
    EXPECT_EQ(Status("own", "type"), "<none>");
    EXPECT_TRUE(RunTask("flow").successful);
    ASSERT_EQ(fired.size(), 1u);
    EXPECT_EQ(fired[0], R"(Workflow/Status:{"phase":2})");
    EXPECT_TRUE(RunTask("parent").successful);
    EXPECT_EQ(Status("parent", "from"), "child");
    Run lost = RunTask("lost");
    EXPECT_EQ(lost.errors, std::vector<std::string>{"Task_Error_InvalidArg"});
    EXPECT_TRUE(Printed("Cannot locate target"));
}

TEST_F(BasicTasksTest, ComparisonsRunTheirOutcomeWords) {
    struct Case {
        const char* type;
        const char* arguments;
        const char* ran;
    } cases[] = {
        {"VersionCompare", R"("versionOne": "1.10", "versionTwo": "1.9")", "ne,gt"},
        {"VersionCompare", R"("versionOne": "1.2", "versionTwo": "1.10")", "ne,lt"},
        {"VersionCompare", R"("versionOne": "v1.2", "versionTwo": "1.2.0.0")", "eq"},
        {"VersionCompare", R"("versionOne": "1,2", "versionTwo": "V1.2")", "eq"},
        {"VersionCompare", R"("versionOne": "1..2", "versionTwo": "1.0.2.0")", "eq"},
        {"VersionCompare", R"("versionOne": "1.2.3.4abc", "versionTwo": "1.2.3.4")", "eq"},
        {"VersionCompare", R"("versionOne": "1.2.3.5", "versionTwo": "1.2.3.4")", "ne,gt"},
        {"VersionCompare", R"("versionOne": "1.2.3.0x10", "versionTwo": "1.2.3.1")", "ne,lt"},
        {"VersionCompare", R"("versionOne": "1.2147483648", "versionTwo": "1.5")", "ne,gt"},
        {"VersionCompare", R"("versionOne": "1.2a", "versionTwo": "1")", "!Task_Error_InvalidArg"},
        {"VersionCompare", R"("versionOne": "", "versionTwo": "1")", "!Task_Error_InvalidArg"},
        {"VersionCompare", R"("versionOne": "v", "versionTwo": "1")", "!Task_Error_InvalidArg"},
        {"VersionCompare", R"("versionOne": "1")", "!Task_Error_MissingArg"},
        {"StringCompare", R"("stringOne": "abc", "stringTwo": "ABD", "ignoreCase": true)", "ne,lt"},
        {"StringCompare", R"("stringOne": "abc", "stringTwo": "ABD")", "ne,gt"},
        {"StringCompare", R"("stringOne": "{who}", "stringTwo": "me")", "eq"},
        {"StringCompare", R"("stringOne": "\u00e9", "stringTwo": "z")", "ne,gt"},
        {"StringCompare", R"("stringTwo": "x")", "!Task_Error_MissingArg"},
        {"NumberCompare", R"("numberOne": 2, "numberTwo": 10)", "ne,lt"},
        {"NumberCompare", R"("numberOne": "10", "numberTwo": 2)", "ne,gt"},
        {"NumberCompare", R"("numberOne": "2.0", "numberTwo": 2)", "eq"},
        {"NumberCompare", R"("numberOne": "-1.5", "numberTwo": "-1")", "ne,lt"},
        {"NumberCompare", R"("numberOne": "ten", "numberTwo": 2)", "!Task_Error_InvalidArg"},
        {"NumberCompare", R"("numberOne": 1, "numberTwo": "1e3x")", "!Task_Error_InvalidArg"},
        // The spellings the program writes ("%g" of 2.5e-06, 1e+21) are numbers as texts too.
        {"NumberCompare", R"("numberOne": "2.5e-06", "numberTwo": 2.5e-6)", "eq"},
        {"NumberCompare", R"("numberOne": "1e+21", "numberTwo": "1e+20")", "ne,gt"},
        {"NumberCompare", R"("numberOne": "+5", "numberTwo": "5.")", "eq"},
        {"NumberCompare", R"("numberOne": "1e999", "numberTwo": 1)", "!Task_Error_InvalidArg"},
        {"NumberCompare", R"("numberOne": 1)", "!Task_Error_MissingArg"},
        {"StringContains", R"("stringOne": "hello", "stringTwo": "")", "fo"},
        {"StringContains", R"("stringOne": "Hello", "stringTwo": "ELL", "ignoreCase": "yes")", "fo"},
        {"StringContains", R"("stringOne": "Hello", "stringTwo": "ELL")", "nf"},
        {"StringContains", R"("stringOne": "lo", "stringTwo": "hello")", "nf"},
        {"StringContains", R"("stringOne": "x")", "!Task_Error_MissingArg"},
    };
    for (const Case& c : cases) EXPECT_EQ(Compare(c.type, c.arguments), c.ran) << c.type << " " << c.arguments;
    EXPECT_TRUE(Printed("Compare version 1.10 to 1.9 = 1"));
    EXPECT_TRUE(Printed("versionOne or versionTwo has incorrect format"));
    EXPECT_TRUE(Printed("numberOne argument is not numeric"));
    EXPECT_TRUE(Printed("numberTwo argument is not numeric"));
    EXPECT_TRUE(Printed("\"versionTwo\" argument not defined"));
    EXPECT_TRUE(Printed("\"stringOne\" argument not defined"));
    EXPECT_TRUE(Printed("Compare number 2.000000000000 to 10.000000000000"));
    EXPECT_TRUE(Printed("String Hello contains ELL = 1"));
}

TEST_F(BasicTasksTest, OverlongValuesAreCutToTheirBuffers) {
    const std::string a1100 = std::string(1100, 'a');
    const std::string a9000 = std::string(9000, 'a');
    const std::string version = "1.2.3.4" + std::string(300, 'x');
    struct Case {
        const char* type;
        std::string arguments;
        const char* ran;
    } cases[] = {
        // Only 1023 characters of stringOne are read: the needle after them is not found.
        {"StringContains", R"("stringOne": ")" + a1100 + R"(needle", "stringTwo": "needle")", "nf"},
        {"StringContains", R"("stringOne": ")" + a1100 + R"(", "stringTwo": ")" + std::string(1023, 'a') + "\"", "fo"},
        // 8191 characters are compared: a difference after them does not count.
        {"StringCompare", R"("stringOne": ")" + a9000 + R"(x", "stringTwo": ")" + a9000 + "y\"", "eq"},
        {"VersionCompare", R"("versionOne": ")" + version + R"(", "versionTwo": "1.2.3.4")", "eq"},
    };
    for (const Case& c : cases) EXPECT_EQ(Compare(c.type, c.arguments), c.ran) << c.type;
}

TEST_F(BasicTasksTest, EnvironmentVariablesReachChildProcesses) {
    const std::string pid = std::to_string(getpid());
    Workflow_AddMacro(workflow, "pid", pid.c_str());
    Define(R"({"set": {"type": "EnvironmentSet", "key": "QVR_BASIC_ONE_{pid}", "value": "one {who}"},
               "getSets": {"type": "EnvironmentGet", "key": "QVR_BASIC_TWO_{pid}", "value": "two"},
               "get": {"type": "Environment", "key": "QVR_BASIC_ONE_{pid}"},
               "unset": {"type": "EnvironmentGet", "key": "QVR_BASIC_UNSET_{pid}"},
               "pairs": {"type": "Environment", "keyValuePairs": {"QVR_BASIC_P_{pid}": "p {who}", "QVR_BASIC_N_{pid}": 5}},
               "emptyPairs": {"type": "Environment", "keyValuePairs": {}},
               "badName": {"type": "EnvironmentSet", "key": "A=B", "value": "x"},
               "none": {"type": "Environment"}})");
    const std::string one = "QVR_BASIC_ONE_" + pid;
    EXPECT_TRUE(RunTask("set").successful);
    EXPECT_EQ(ChildSees(one.c_str()), "one me");
    EXPECT_TRUE(RunTask("getSets").successful);
    EXPECT_EQ(ChildSees(("QVR_BASIC_TWO_" + pid).c_str()), "two");
    EXPECT_TRUE(RunTask("get").successful);
    EXPECT_EQ(Status("get", one.c_str()), "one me");
    EXPECT_TRUE(Printed("Get environment variable " + one));
    EXPECT_TRUE(RunTask("unset").successful);
    EXPECT_EQ(Status("unset", ("QVR_BASIC_UNSET_" + pid).c_str()), "");
    EXPECT_TRUE(RunTask("pairs").successful);
    EXPECT_EQ(ChildSees(("QVR_BASIC_P_" + pid).c_str()), "p me");
    char skipped[8];
    EXPECT_EQ(Platform_GetEnvironmentVariable(("QVR_BASIC_N_" + pid).c_str(), skipped, sizeof(skipped)), 0);
    EXPECT_EQ(RunTask("badName").errors, std::vector<std::string>{"Task_Error_InvalidArg"});
    for (const char* name : {"emptyPairs", "none"}) {
        EXPECT_EQ(RunTask(name).errors, std::vector<std::string>{"Task_Error_MissingArg"}) << name;
    }
    EXPECT_TRUE(Printed("key/keyValuePairs argument not defined"));

    // A value longer than its buffer is cut to 8191 characters.
    Define(R"({"long": {"type": "EnvironmentSet", "key": "QVR_BASIC_L_{pid}", "value": ")" + std::string(9000, 'v') +
           "\"}}");
    EXPECT_TRUE(RunTask("long").successful);
    EXPECT_EQ(ChildSees(("QVR_BASIC_L_" + pid).c_str()), std::string(8191, 'v'));
}

} // namespace

// The Launch task against real programs under /bin/sh (dash here): exit-code rules, output
// capture through the pipe, and arguments that reach the program exactly as given.
#include <fstream>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include "core/runtime/string_expand.h"
#include "tasks/task_base.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/scoped_env.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class LaunchTaskTest : public TaskLibraryTest {
  protected:
    int defined = 0;
    std::string dir;

    void SetUp() override {
        TaskLibraryTest::SetUp();
        char pattern[] = "/tmp/launch-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override {
        TaskLibraryTest::TearDown();
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }

    // Runs a Launch task with these members; "!Key" per error, "" on success.
    std::string Launch(const std::string& members) {
        const std::string name = "t" + std::to_string(defined++);
        Define("{\"" + name + R"(": {"type": "Launch", )" + members + "}}");
        Run run = RunTask(name.c_str(), 20);
        std::string out;
        for (const auto& error : run.errors) out += "!" + error;
        if (!run.ended) return "no end";
        if (out.empty() && !run.successful) return "failed without error";
        return out;
    }

    // A script that prints each argument in brackets.
    std::string EchoScript(const std::string& name) {
        const std::string path = dir + "/" + name;
        std::ofstream(path) << "#!/bin/sh\nfor a in \"$@\"; do printf '[%s]' \"$a\"; done\necho\n";
        chmod(path.c_str(), 0700);
        return path;
    }
};

std::string Shell(const std::string& script) {
    return R"("path": "/bin/sh", "arguments": ["-c", ")" + script + "\"]";
}

TEST_F(LaunchTaskTest, ExitCodesDecide) {
    Workflow_AddMacro(workflow, "code", "7");
    struct Case {
        std::string members;
        const char* result;
    } cases[] = {
        {Shell("exit 3"), ""}, // not waiting: running is enough
        {Shell("exit 0") + R"(, "waitForExit": true)", ""},
        {Shell("exit 1") + R"(, "waitForExit": true)", "!Launch_Error_UnknownCode"},
        {Shell("exit 10") + R"(, "waitForExit": true, "successCode": [0, 10])", ""},
        {Shell("exit 7") + R"(, "waitForExit": true, "successCode": "{code}")", ""},
        {Shell("exit 8") + R"(, "waitForExit": true, "successCode": ["{code}", "x"])", "!Launch_Error_UnknownCode"},
        {Shell("exit 6") + R"(, "waitForExit": true, "warningFlagsMap": {"2": "W"})", ""},
        {Shell("exit 3") + R"(, "waitForExit": true, "errorFlagsMap": {"1": "E_Flag", "8": "E_No"})", "!E_Flag"},
        {Shell("exit 5") + R"(, "waitForExit": true, "warningMap": {"5": "W5"}, "errorMap": {"5": "E5"})", ""},
        {Shell("exit 4") + R"(, "waitForExit": true, "errorMap": {"4": "E4"})", "!E4"},
        {Shell("exit 4") + R"(, "waitForExit": true, "errorMap": {"4": 12})", "!Launch_Error_UnknownCode"},
        {R"("waitForExit": true)", "!Task_Error_MissingArg"},
        {R"("path": "/no/such/program", "waitForExit": true)", "!Launch_Error_Run"},
        {R"("path": "/bin/true", "arguments": "'open", "waitForExit": true)", "!Task_Error_InvalidArg"},
    };
    for (const Case& c : cases) EXPECT_EQ(Launch(c.members), c.result) << c.members;
    EXPECT_TRUE(Printed("Not waiting for process to exit"));
    EXPECT_TRUE(Printed("Successful 1 ExitCode 1"));
    EXPECT_TRUE(Printed("\"path\" argument not defined"));
}

// With a relative HOME, "{userAppData}" stays as it was: the program or folder it names would be
// another user's in the current folder. The launch is refused before anything runs; braces that
// name no location are a real program's name.
TEST_F(LaunchTaskTest, ALocationLeftUnexpandedIsNotLaunched) {
    ASSERT_EQ(mkdir((dir + "/{userAppData}Q").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/{notes}").c_str(), 0755), 0);
    for (const char* script : {"/{userAppData}Q/run", "/{notes}/run"}) {
        std::ofstream(dir + script) << "#!/bin/sh\ntouch " << dir << "/ran\nexit 0\n";
        chmod((dir + script).c_str(), 0700);
    }
    char here[4096];
    ASSERT_NE(getcwd(here, sizeof(here)), nullptr);
    ASSERT_EQ(chdir(dir.c_str()), 0);
    {
        ScopedEnv relative{{"HOME", "relative/home"}, {"XDG_DATA_HOME", nullptr}};
        EXPECT_EQ(Launch(R"("path": "{userAppData}Q/run", "waitForExit": true)"), "!Task_Error_InvalidArg");
        EXPECT_TRUE(Printed("\"path\" argument names a location without its folder ({userAppData}): {userAppData}Q/run"));
        EXPECT_EQ(Launch(R"("path": "/bin/true", "workingDirectory": "{UserAppData}Q", "waitForExit": true)"),
                  "!Task_Error_InvalidArg");
        EXPECT_TRUE(Printed("\"workingDirectory\" argument names a location without its folder ({UserAppData})"));
    }
    EXPECT_NE(access((dir + "/ran").c_str(), F_OK), 0);
    EXPECT_EQ(Launch(R"("path": "{notes}/run", "waitForExit": true)"), "");
    EXPECT_EQ(access((dir + "/ran").c_str(), F_OK), 0);
    ASSERT_EQ(chdir(here), 0);
}

// What a program is handed, as a list or a text: an argument that still holds a location nobody
// could name, one whose location came to nothing, and one that begins in a refused folder are
// refused with the path guard's line and nothing runs; every other argument passes as written.
TEST_F(LaunchTaskTest, AnArgumentThatNamesNoPlaceIsNotHandedOver) {
    ScopedEnv env{{"QVR_JUDGE_EMPTY", ""}, {"QVR_JUDGE_SET", "set"}};
    // A refused local storage is left without a value: it reaches nothing but the judgement.
    const std::string judged = dir + "/judged/";
    ASSERT_EQ(mkdir(judged.c_str(), 0700), 0);
    ASSERT_EQ(String_ExpandRefuseFolder("LocalStorage", judged.c_str(), "open to all"), 1);
    const std::string ran = dir + "/ran";
    const std::string lost = "\"arguments\" argument names a location without its folder ({";
    const std::string refused = "\"arguments\" argument names the refused folder " + judged + " (open to all): ";
    const struct {
        std::string arguments; // the Launch's "arguments", after -c 'touch ran'
        std::string line;      // the line of a refusal, or "" when it runs
    } cases[] = {
        {R"(["{workflowDirectory}/run.sh"])", lost + "workflowDirectory}): {workflowDirectory}/run.sh"},
        {R"(["{Env:QVR_JUDGE_EMPTY}run.sh"])", lost + "Env:QVR_JUDGE_EMPTY}): {Env:QVR_JUDGE_EMPTY}run.sh"},
        {R"(["--to={Env:QVR_JUDGE_EMPTY}"])", lost + "Env:QVR_JUDGE_EMPTY}): --to={Env:QVR_JUDGE_EMPTY}"},
        {R"(["{PathJoin:{workflowDirectory},run.sh}"])", lost + "workflowDirectory}): {PathJoin:{workflowDirectory},run.sh}"},
        {R"(["{Env:QVR_NO_SUCH_VARIABLE}"])", lost + "Env:QVR_NO_SUCH_VARIABLE}): {Env:QVR_NO_SUCH_VARIABLE}"},
        {R"(["{LocalStorage}tool"])", refused + "{LocalStorage}tool"},
        {"[\"" + judged + "tool\"]", refused + judged + "tool"},
        {R"("a {Env:QVR_JUDGE_EMPTY}")", lost + "Env:QVR_JUDGE_EMPTY}): -c 'touch " + ran + "' a {Env:QVR_JUDGE_EMPTY}"},
        {R"("a {LocalStorage}tool")", refused + "{LocalStorage}tool"},
        {R"(["{notes}", "{Env:QVR_JUDGE_SET}", "{Upper:abc}", "x)" + judged + "\"]", ""},
        {"\"{notes} {Env:QVR_JUDGE_SET} --to=" + judged + "\"", ""},
    };
    for (const auto& c : cases) {
        unlink(ran.c_str());
        // A list goes after the script; a text is the whole command line of a second shell.
        const std::string members =
            c.arguments[0] == '['
                ? R"("path": "/bin/sh", "arguments": ["-c", "touch )" + ran + "\", " + c.arguments.substr(1)
                : R"("path": "/bin/sh", "arguments": "-c 'touch )" + ran + R"(' )" + c.arguments.substr(1);
        EXPECT_EQ(Launch(members + R"(, "waitForExit": true)"), c.line.empty() ? "" : "!Task_Error_InvalidArg")
            << c.arguments;
        EXPECT_EQ(access(ran.c_str(), F_OK) == 0, c.line.empty()) << c.arguments;
        if (!c.line.empty()) {
            EXPECT_TRUE(Printed(c.line)) << c.line;
        }
    }
    String_ExpandForgetRefusedFolders();
    // A written text far past what the expander takes is judged up to its work size; a token that
    // closes only beyond it is text.
    Task* bare = nullptr;
    ASSERT_EQ(Task_Create(&bare), 1);
    char line[TASK_MESSAGE_SIZE];
    std::string many;
    for (int i = 0; i < 4000; i++) many += "{Env:QVR_JUDGE_SET}";
    EXPECT_EQ(TaskBase_JudgeProgramArgument(bare, "arguments", many.c_str(), nullptr, line, sizeof(line)), 0);
    EXPECT_EQ(TaskBase_JudgeProgramArgument(bare, "arguments", ("{Env:QVR_JUDGE_EMPTY}" + many).c_str(), nullptr, line,
                                            sizeof(line)),
              1);
    const std::string open = "{Env:QVR_JUDGE_EMPTY " + std::string(STRING_EXPAND_WORK_SIZE, 'x') + "}";
    EXPECT_EQ(TaskBase_JudgeProgramArgument(bare, "arguments", open.c_str(), nullptr, line, sizeof(line)), 0);
    Task_Release(&bare);
}

TEST_F(LaunchTaskTest, CapturedOutputDecides) {
    struct Case {
        std::string script;
        std::string extra;
        const char* result;
    } cases[] = {
        // Written in several pieces, partly to standard error: the whole is searched.
        {"printf work; sleep 0.2; echo ing >&2; sleep 0.2; echo done", "", ""},
        {"echo a bad thing", R"(, "errorOutputMap": {"bad": "E_Bad", "zzz": "E_Z"})", "!E_Bad"},
        {"echo nothing useful", R"(, "errorOutputMap": {"bad": "E_Bad"})", "!Launch_Error_Run"},
        {"echo do; echo ne", "", "!Launch_Error_Run"},
        // An end token the program prints (here the old fixed one, then the real one of its own
        // run as a process listing shows it) does not end the capture: later lines still count.
        {"echo '**EOP**'; sleep 0.2; echo done", "", ""},
        {"echo '**EOP**'; sleep 0.2; echo fatal; exit 1", R"(, "errorOutputMap": {"fatal": "E_Fatal"})", "!E_Fatal"},
        {"tr '\\\\0' ' ' </proc/$PPID/cmdline; echo; sleep 0.2; echo done", "", ""},
        // Even an exact copy of the token line, taken from there, is not the end: the last one is.
        {"tr '\\\\0' '\\\\n' </proc/$PPID/cmdline | sed -n 6p; sleep 0.2; echo fatal",
         R"(, "errorOutputMap": {"fatal": "E_Fatal"})", "!E_Fatal"},
        // The output is judged only once the program has ended, whatever its exit code.
        {"echo done; exit 3", "", ""},
    };
    for (const Case& c : cases) {
        lines.clear();
        EXPECT_EQ(Launch(Shell(c.script) + R"(, "waitForExit": true, "successOutput": ["never", "done"])" + c.extra),
                  c.result)
            << c.script;
    }
    EXPECT_TRUE(Printed("Output: done\n"));
}

// With captured output the program runs under a shell that writes the end token after it: the
// exit code logged and kept is the program's, not the shell's.
TEST_F(LaunchTaskTest, CapturedOutputKeepsTheProgramsExitCode) {
    for (const int code : {3, 0, 200}) {
        lines.clear();
        const std::string script = "echo done; exit " + std::to_string(code);
        EXPECT_EQ(Launch(Shell(script) + R"(, "waitForExit": true, "successOutput": "done")"), "") << code;
        EXPECT_TRUE(Printed("Successful 1 ExitCode " + std::to_string(code) + "\n")) << code;
        int32_t kept = -1;
        Dictionary* status = statuses["t" + std::to_string(defined - 1)];
        ASSERT_NE(status, nullptr);
        EXPECT_EQ(Dictionary_GetInt32ByKey(status, "exitCode", &kept), 1);
        EXPECT_EQ(kept, code);
    }
}

TEST_F(LaunchTaskTest, ArgumentsReachTheProgramExactly) {
    const std::string program = EchoScript("my prog's $x");
    const std::string marker = dir + "/touched";
    // A list: every item one argument, nothing of it read by a shell.
    const std::string list = R"x(["a b", "$(touch )x" + marker + R"x()", "`touch )x" + marker + R"x(`", ";", "q\"uote", ""])x";
    lines.clear();
    EXPECT_EQ(Launch(R"("path": ")" + program + R"(", "arguments": )" + list +
                     R"(, "waitForExit": true, "successOutput": "[a b]")"),
              "");
    EXPECT_TRUE(Printed("Output: [a b][$(touch " + marker + ")][`touch " + marker + "`][;][q\"uote][]"));
    // A string is split as a shell splits words, with nothing expanded.
    lines.clear();
    EXPECT_EQ(Launch(R"("path": ")" + program + R"(", "arguments": "one 'two three' \"fo\\\"ur\" $HOME >x;y",
                     "waitForExit": true, "successOutput": "[one]")"),
              "");
    EXPECT_TRUE(Printed("Output: [one][two three][fo\"ur][$HOME][>x;y]"));
    EXPECT_NE(access(marker.c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "/x").c_str(), F_OK), 0);
}

// The child's end wakes the loop waiting for work: the run ends on the passes that follow the
// wake, not on a later poll. The wait's bound only stops a loop that is never woken.
TEST_F(LaunchTaskTest, ChildsEndWakesTheWaitingLoop) {
    // The child outlives the drain below by far, even on a busy machine.
    Define(R"({"w": {"type": "Launch", "path": "/bin/sleep", "arguments": "1", "waitForExit": true}})");
    const int before = endedEvents;
    Start("w");
    // Whatever the start queued runs; then nothing is due until the child ends.
    for (int i = 0; i < 200; i++) {
        Pass();
        if (!Thread_Wait(0)) break;
    }
    ASSERT_EQ(endedEvents, before);
    ASSERT_TRUE(Thread_Wait(10000)) << "the child's end never woke the loop";
    // Counted in passes, not time: the wake comes once the child has ended, so what is left is
    // this thread's own work; a loop woken for anything else would only see the end on a poll.
    for (int i = 0; i < 50 && endedEvents == before; i++) Pass();
    ASSERT_GT(endedEvents, before) << "woken before the child's end";
    EXPECT_TRUE(Result("w").successful);
    EXPECT_TRUE(Printed("Successful 1 ExitCode 0"));
}


} // namespace

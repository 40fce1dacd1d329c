// The process and shortcut task types against real child processes: finding them by pattern and
// id, ending them politely or at once, listing them by parent and directory.
#include <csignal>
#include <string>

#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/bounded_wait.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

constexpr const char* kOutcomeTasks = R"("running": "yes", "notRunning": "no", "closed": "yes", "notClosed": "no",
    "forEach": "each"})";
constexpr const char* kLogTasks = R"("yes": {"type": "Log", "message": "yes"}, "no": {"type": "Log", "message": "no"},
    "each": {"type": "Log", "message": "each"})";

// A child running `script` under /bin/sh; reaped by the test.
pid_t Spawn(const char* script) {
    const pid_t pid = fork();
    if (pid == 0) {
        execl("/bin/sh", "sh", "-c", script, (char*)nullptr);
        _exit(127);
    }
    return pid;
}

bool Reaped(pid_t pid) {
    int status = 0;
    return StepUntil([&] { return waitpid(pid, &status, WNOHANG) == pid; }, [] { usleep(10000); });
}

class ProcessTasksTest : public TaskLibraryTest {
  protected:
    int defined = 0;

    // Defines task "t<n>" of `type` with the arguments and the outcome words, runs it, and
    // answers the outcome tasks that ran after it and its errors: "yes", "each,each", "!Key".
    std::string Outcome(const std::string& type, const std::string& arguments) {
        const std::string name = "t" + std::to_string(defined++);
        Define("{\"" + name + R"(": {"type": ")" + type + "\", " + arguments + (arguments.empty() ? "" : ", ") +
               kOutcomeTasks + ", " + kLogTasks + "}");
        started.clear();
        Run run = RunTask(name.c_str(), 20);
        std::string out;
        for (size_t i = 1; i < started.size(); i++) out += (i > 1 ? "," : "") + started[i];
        for (const auto& error : run.errors) out += "!" + error;
        return run.ended ? out : "no end";
    }
};

TEST_F(ProcessTasksTest, IsOpenFindsByPatternOrId) {
    const pid_t child = Spawn("exec sleep 30");
    ASSERT_GT(child, 0);
    usleep(100000);
    const std::string id = std::to_string(child);
    EXPECT_EQ(Outcome("ProcessIsOpen", R"("path": "*/SLEEP")"), "yes");
    EXPECT_TRUE(Printed("Found process id - "));
    EXPECT_EQ(Outcome("ProgramIsOpen", R"("id": )" + id), "yes");
    EXPECT_NE(StatusJson("t1").find("\"processId\":" + id), std::string::npos) << StatusJson("t1");
    EXPECT_TRUE(Printed("Checking for process - " + id));
    // With both, the path decides.
    EXPECT_EQ(Outcome("ProcessIsOpen", R"("path": "/no/such/program-*", "id": )" + id), "no");
    EXPECT_EQ(Outcome("ProcessIsOpen", ""), "!Task_Error_MissingArg");
    EXPECT_TRUE(Printed("path/id argument not defined"));
    kill(child, SIGKILL);
    ASSERT_TRUE(Reaped(child));
    EXPECT_EQ(Outcome("ProcessIsOpen", R"("id": )" + id), "no");
}

TEST_F(ProcessTasksTest, CloseWaitsThenKills) {
    // One that quits when asked, one that ignores the request and is killed at the deadline.
    const pid_t polite = Spawn("exec sleep 30");
    const pid_t stubborn = Spawn("trap '' TERM; while :; do sleep 0.1; done");
    usleep(200000);
    const auto begin = std::chrono::steady_clock::now();
    EXPECT_EQ(Outcome("ProcessClose", R"("processId": )" + std::to_string(polite) + R"(, "waitForClose": 10)"), "yes");
    EXPECT_FALSE(Printed("Terminating process"));
    EXPECT_TRUE(Printed("Wait 10.00 sec for closing process - " + std::to_string(polite)));
    EXPECT_TRUE(Reaped(polite));
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(8));

    // Half a second is taken as a whole one.
    EXPECT_EQ(Outcome("ProgramClose", R"("id": )" + std::to_string(stubborn) + R"(, "waitForClose": 0.5)"), "yes");
    EXPECT_TRUE(Printed("Waiting 1.00 seconds for PID closed - " + std::to_string(stubborn)));
    EXPECT_TRUE(Printed("Terminating process - " + std::to_string(stubborn)));
    EXPECT_TRUE(Reaped(stubborn));

    const pid_t quick = Spawn("exec sleep 30");
    usleep(100000);
    EXPECT_EQ(Outcome("ProcessClose", R"("id": )" + std::to_string(quick)), "yes");
    EXPECT_TRUE(Reaped(quick));
}

TEST_F(ProcessTasksTest, CloseRefusesWhatIsNoProcessId) {
    struct Case {
        const char* arguments;
        const char* ran;
        const char* printed;
    } cases[] = {
        {R"("waitForClose": 1)", "!Task_Error_MissingArg", "processId/id argument not defined"},
        {R"("id": "abc")", "!Task_Error_InvalidArg", "Unable to evaluate process id"},
        // Zero or negative ids would signal a process group or every process we may reach.
        {R"("id": 0)", "!Task_Error_InvalidArg", "Unable to evaluate process id"},
        {R"("id": -1)", "!Task_Error_InvalidArg", "Unable to evaluate process id"},
        {R"("id": 2147483000, "waitForClose": 1)", "no", "Not closed"},
    };
    for (const Case& c : cases) {
        lines.clear();
        EXPECT_EQ(Outcome("ProcessClose", c.arguments), c.ran) << c.arguments;
        EXPECT_TRUE(Printed(c.printed)) << c.arguments;
    }
}

TEST_F(ProcessTasksTest, ListRunsForEachListedProcess) {
    const pid_t a = Spawn("exec sleep 30");
    const pid_t b = Spawn("exec sleep 31");
    usleep(100000);
    const std::string self = std::to_string(getpid());
    EXPECT_EQ(Outcome("ProcessList", R"("parentId": )" + self), "each,each");
    EXPECT_TRUE(Printed("Listing all child processes - " + self));
    EXPECT_TRUE(Printed("End of list"));
    EXPECT_NE(StatusJson("t0").find("\"parentId\":" + self), std::string::npos) << StatusJson("t0");
    EXPECT_EQ(Status("t0", "name"), "sleep");

    // With a separator the pattern is a directory; without, a file name.
    char exe[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", exe, sizeof(exe) - 1), 0);
    std::string directory(exe);
    directory.erase(directory.rfind('/'));
    const std::string program = std::string(exe).substr(directory.size() + 1);
    EXPECT_NE(Outcome("ProcessList", R"("path": ")" + directory + "\"").find("each"), std::string::npos);
    EXPECT_EQ(Status("t1", "directory"), directory + "/");
    EXPECT_NE(Outcome("ProcessList", R"("path": ")" + program + "\"").find("each"), std::string::npos);
    EXPECT_EQ(Outcome("ProcessList", R"("path": "/no/such/dir")"), "");
    EXPECT_EQ(Outcome("ProcessList", R"("path": "no-such-program-*")"), "");
    EXPECT_EQ(Outcome("ProcessList", "").find("!Task_Error_MissingArg"), std::string::npos);
    kill(a, SIGKILL);
    kill(b, SIGKILL);
    EXPECT_TRUE(Reaped(a));
    EXPECT_TRUE(Reaped(b));
}

TEST_F(ProcessTasksTest, OpenAndShortcutsReportTheirErrors) {
    struct Case {
        const char* definition;
        const char* errors;
        const char* printed;
    } cases[] = {
        {R"({"type": "Open"})", "!Task_Error_MissingArg", "\"path\" argument not defined"},
        {R"({"type": "ShortcutCreate", "path": "/bin/true", "name": "n", "arguments": ["-a", "b"], "iconIndex": 2.7,
             "runAsAdmin": true})",
         "!Shortcut_Error_Create", "Creating shortcut - n - UserDesktop (admin)"},
        {R"({"type": "ShortcutCreate", "path": "/bin/true"})", "!Task_Error_MissingArg", "\"name\" argument not defined"},
        {R"({"type": "ShortcutCreate", "name": "n"})", "!Task_Error_MissingArg", "\"path\" argument not defined"},
        {R"({"type": "ShortcutDelete", "name": "n"})", "!Shortcut_Error_Delete", "Deleting shortcut - n - UserDesktop"},
        {R"({"type": "ShortcutDelete", "name": "n", "location": "/tmp"})", "!Shortcut_Error_Delete",
         "Deleting shortcut - n - /tmp"},
        {R"({"type": "ShortcutDelete"})", "!Task_Error_MissingArg", "\"name\" argument not defined"},
    };
    for (const Case& c : cases) {
        lines.clear();
        const std::string name = "t" + std::to_string(defined++);
        Define("{\"" + name + "\": " + c.definition + "}");
        Run run = RunTask(name.c_str());
        std::string errors;
        for (const auto& e : run.errors) errors += "!" + e;
        EXPECT_EQ(errors, c.errors) << c.definition;
        EXPECT_TRUE(Printed(c.printed)) << c.definition;
    }
    // Opening hands the path to the desktop's opener, which this machine may lack.
    Define(R"({"open": {"type": "ProcessOpen", "path": "/tmp/{who}x"}})");
    Workflow_AddMacro(workflow, "who", "me");
    Run run = RunTask("open");
    EXPECT_EQ(Status("open", "path"), "/tmp/mex");
    EXPECT_TRUE(Printed("Opening - /tmp/mex"));
    if (access("/usr/bin/xdg-open", X_OK) != 0) {
        EXPECT_EQ(run.errors, std::vector<std::string>{"ProcessOpen_Error_Shell"});
    }
}

} // namespace

// Crash reporting with real signals: a host stand-in crashes, leaves its dump and event file in
// its temporary directory and starts itself as the reporter with the stated switches; a crash
// whose callback blocks on a lock still ends the process within the wait's bound.
#include <gtest/gtest.h>

#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/runtime/debug.h"
#include "host/crash_report.h"
#include "tests/support/rtb_bounded.h"
#include "workflow/workflow_app.h"

namespace {

const bool g_bounded = BoundEveryTest();

std::string Read(const std::string& path) {
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

struct Crash {
    int Signal = 0;
    std::string Dump, Events, Id, Reporter;
    double Seconds = 0;
};

class CrashReportTest : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char pattern[] = "/tmp/crash-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }

    // Runs the stand-in and collects what the crash left; waits for the reporter when asked.
    Crash Run(const std::vector<std::string>& arguments, bool reporter) {
        Crash crash;
        const auto start = std::chrono::steady_clock::now();
        const pid_t pid = fork();
        if (pid == 0) {
            setenv("TMPDIR", dir.c_str(), 1);
            // The sanitizer's own fault handlers stay out of the way of the handler under test.
            setenv("ASAN_OPTIONS", "handle_segv=0:handle_abort=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0", 1);
            std::vector<char*> argv{const_cast<char*>(CRASH_HOST_PROGRAM)};
            for (const std::string& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(CRASH_HOST_PROGRAM, argv.data());
            _exit(127);
        }
        int status = 0;
        waitpid(pid, &status, 0);
        crash.Seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        crash.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : -WEXITSTATUS(status);
        for (int i = 0; reporter && i < 1000 && access((dir + "/reporter-args").c_str(), F_OK) != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        crash.Reporter = Read(dir + "/reporter-args");
        DIR* listing = opendir(dir.c_str());
        while (dirent* entry = listing ? readdir(listing) : nullptr) {
            const std::string name = entry->d_name;
            if (name.size() > 4 && name.substr(name.size() - 4) == ".dmp") {
                crash.Id = name.substr(0, name.size() - 4);
                crash.Dump = Read(dir + "/" + name);
                crash.Events = Read(dir + "/" + crash.Id + ".json");
            }
        }
        if (listing) closedir(listing);
        return crash;
    }
};

// The event file checked by Python: a list whose last item carries the dump in Base64.
std::string CheckEvents(const std::string& events, const std::string& dump, const std::string& dir) {
    std::ofstream(dir + "/events.json") << events;
    std::ofstream(dir + "/dump.bin") << dump;
    const std::string script =
        "import json,base64,sys\n"
        "e=json.load(open(sys.argv[1]))\n"
        "d=open(sys.argv[2],'rb').read()\n"
        "print(len(e), e[0].get('event'), base64.b64decode(e[-1]['minidump'])==d, end='')\n";
    std::ofstream(dir + "/check.py") << script;
    FILE* pipe = popen(("/usr/bin/python3 " + dir + "/check.py " + dir + "/events.json " + dir + "/dump.bin").c_str(), "r");
    char out[256] = {};
    if (pipe) {
        if (!fgets(out, sizeof(out), pipe)) out[0] = 0;
        pclose(pipe);
    }
    return out;
}

TEST_F(CrashReportTest, FaultLeavesDumpEventsAndStartsTheReporter) {
    Crash crash = Run({"segv", "--skin=my skin", "--verbose=3", "--crashautosend"}, true);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    ASSERT_EQ(crash.Id.size(), 32u);
    EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal 11\ncode 1\naddress 0000000000000010\n", 0), 0u) << crash.Dump.substr(0, 80);
    EXPECT_NE(crash.Dump.find("\nmaps\n"), std::string::npos);
    EXPECT_EQ(CheckEvents(crash.Events, crash.Dump, dir), "2 BeforeCrash True");
    // One argument per line; the session is the crashed process's (its text is not fixed here).
    const std::string reporter = crash.Reporter;
    const size_t session = reporter.find("--crashsession=");
    ASSERT_NE(session, std::string::npos) << reporter;
    const std::string rest = reporter.substr(reporter.find('\n', session) + 1);
    EXPECT_EQ(reporter.substr(0, session), "--crashreport\n--crashid=" + crash.Id + "\n");
    EXPECT_EQ(rest, "--crashautosend\n--skin=my skin\n--verbose=3\n--debugfileid=crash\n");
}

TEST_F(CrashReportTest, AbortIsReportedToo) {
    Crash crash = Run({"abort"}, true);
    EXPECT_EQ(crash.Signal, SIGABRT);
    EXPECT_EQ(crash.Dump.rfind("crash dump 1\nsignal 6\n", 0), 0u);
    EXPECT_NE(crash.Reporter.find("--crashreport\n"), std::string::npos);
}

TEST_F(CrashReportTest, CallbackBlockedOnAHeldLockStillEndsTheProcess) {
    Crash crash = Run({"lock"}, false);
    EXPECT_EQ(crash.Signal, SIGSEGV);
    EXPECT_EQ(crash.Id.size(), 32u);
    EXPECT_LT(crash.Seconds, 20.0);
    EXPECT_EQ(crash.Reporter, "");
}

TEST_F(CrashReportTest, DisabledDumpsInstallNothing) {
    Crash crash = Run({"off"}, false);
    // Without our handler the fault ends the process (a sanitizer's handler may turn that into
    // its own exit code).
    EXPECT_NE(crash.Signal, 0);
    EXPECT_EQ(crash.Id, "");
    EXPECT_EQ(crash.Reporter, "");
}

TEST_F(CrashReportTest, ReporterSendsAndDeletesOnlyItsOwnFiles) {
    setenv("TMPDIR", dir.c_str(), 1);
    ASSERT_EQ(WorkflowApp_Init("crash_report_test.log", DEBUG_FLAG_EXTERNAL_PRINT), 1);
    std::ofstream(dir + "/abc.dmp") << "x";
    std::ofstream(dir + "/abc.json") << "[{\"event\": \"X\"}]";
    std::ofstream(dir + "/keep.dmp") << "x";
    EXPECT_EQ(CrashReport_SendDump("abc", "session-1"), 1);
    EXPECT_NE(access((dir + "/abc.dmp").c_str(), F_OK), 0);
    EXPECT_NE(access((dir + "/abc.json").c_str(), F_OK), 0);
    // An id from a command line names no other file.
    char path[512];
    EXPECT_EQ(CrashReport_BuildFilename("../keep", ".dmp", path, sizeof(path)), 0);
    CrashReport_DeleteDump("../" + std::string(dir.substr(5)) == "" ? "x" : "../keep");
    EXPECT_EQ(access((dir + "/keep.dmp").c_str(), F_OK), 0);
    uint32_t code = 0;
    WorkflowApp_Remove(&code);
    unsetenv("TMPDIR");
}

} // namespace

// The disk-image and installer-package types against stand-in tools: small scripts that record
// their arguments and print what the real tools print. Paths full of shell syntax must reach them
// as single, unchanged arguments.
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "tasks/process_tools.h"
#include "tests/support/bounded_wait.h"
#include "tests/tasks/task_library_fixture.h"

namespace {

const bool g_bounded = BoundEveryTest();

class ToolTasksTest : public TaskLibraryTest {
  protected:
    int defined = 0;
    std::string dir;

    void SetUp() override {
        TaskLibraryTest::SetUp();
        char pattern[] = "/tmp/tool tasks XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
        // Records each argument followed by a record separator; prints the contents of "say";
        // exits with the number in "code".
        const std::string fake = dir + "/tool";
        std::ofstream(fake) << "#!/bin/sh\nd=$(dirname \"$0\")\nprintf '%s\\036' \"$@\" >> \"$d/argv\"\n"
                               "printf '\\n' >> \"$d/argv\"\ncat \"$d/say\" 2>/dev/null\n"
                               "exit $(cat \"$d/code\" 2>/dev/null || echo 0)\n";
        chmod(fake.c_str(), 0700);
        ProcessTools_SetPathForTesting(PROCESS_TOOL_DISK_IMAGE, fake.c_str());
        ProcessTools_SetPathForTesting(PROCESS_TOOL_INSTALLER, fake.c_str());
    }
    void TearDown() override {
        ProcessTools_SetPathForTesting(PROCESS_TOOL_DISK_IMAGE, nullptr);
        ProcessTools_SetPathForTesting(PROCESS_TOOL_INSTALLER, nullptr);
        TaskLibraryTest::TearDown();
        ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
    }

    void Tool(int code, const std::string& say) {
        std::ofstream(dir + "/code") << code;
        std::ofstream(dir + "/say") << say;
    }
    // The tool's runs so far, each as its arguments joined with '|'.
    std::vector<std::string> Runs() {
        std::ifstream in(dir + "/argv");
        std::vector<std::string> runs;
        std::string line;
        while (std::getline(in, line)) {
            for (char& c : line)
                if (c == '\036') c = '|';
            runs.push_back(line);
        }
        return runs;
    }
    std::string RunDefinition(const std::string& definition, const char* name = nullptr) {
        const std::string task = name ? name : "t" + std::to_string(defined++);
        Define("{\"" + task + "\": " + definition + R"(, "m": {"type": "Log", "message": "inside"}})");
        started.clear();
        Run run = RunTask(task.c_str(), 20);
        std::string out;
        for (size_t i = 1; i < started.size(); i++) out += (i > 1 ? "," : "") + started[i];
        for (const auto& error : run.errors) out += "!" + error;
        return run.ended ? out : "no end";
    }
};

std::string Sha1Hex(const std::string& text) {
    FILE* pipe = popen(("printf '%s' '" + text + "' | sha1sum").c_str(), "r");
    char digest[41] = {};
    if (pipe) {
        if (fread(digest, 1, 40, pipe) != 40) digest[0] = 0;
        pclose(pipe);
    }
    return digest;
}

TEST_F(ToolTasksTest, MountAttachesAtTheDigestOfThePath) {
    Tool(0, "/dev/disk9\n");
    const std::string home = getenv("HOME") ? getenv("HOME") : "/root";
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount", "path": "~/im g.dmg"})"), "");
    const std::string image = home + (home.back() == '/' ? "" : "/") + "im g.dmg";
    const std::string mountPoint = "/Volumes/" + Sha1Hex(image) + "/";
    ASSERT_EQ(Runs().size(), 1u);
    EXPECT_EQ(Runs()[0], "attach|" + image + "|-mountpoint|" + mountPoint + "|-nobrowse|");
    EXPECT_TRUE(Printed("Hdiutil args - attach '" + image + "' -mountpoint '" + mountPoint + "' -nobrowse"));
    EXPECT_TRUE(Printed("Hdiutil mount exitcode 0"));
    EXPECT_TRUE(Printed("Running hdiutl process"));
}

TEST_F(ToolTasksTest, MountedRunsOnlyAfterASuccessfulAttachThenEjects) {
    Tool(0, "");
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount", "path": "/x.dmg", "target": "v", "mounted": "m"})"), "m");
    ASSERT_EQ(Runs().size(), 2u);
    EXPECT_EQ(Runs()[1], "eject|/Volumes/v/|-force|");

    Tool(2, "hdiutil: attach failed\n");
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount", "path": "/x.dmg", "mounted": "m"})"), "!DiskImage_Error_Mount");
    EXPECT_TRUE(Printed("Hdiutil output: hdiutil: attach failed"));
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount", "path": "/x.dmg", "errorMap": {"2": "E_Two"}})"), "!E_Two");
    EXPECT_EQ(Runs().size(), 4u); // no eject after a failed attach
    // A tool that prints an end token and a status of its own is still judged by its real status.
    Tool(2, "hdiutil: **EOP**0\nattach failed\n");
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount", "path": "/x.dmg", "mounted": "m"})"), "!DiskImage_Error_Mount");
    EXPECT_TRUE(Printed("Hdiutil mount exitcode 2"));
}

TEST_F(ToolTasksTest, UnmountPassesThePathUnchangedAndIgnoresTheExitCode) {
    const std::string odd = dir + "/a'b $(touch " + dir + "/x);\"q\"\n`y`.dmg";
    Workflow_AddMacro(workflow, "odd", odd.c_str());
    Tool(5, "busy\n");
    EXPECT_EQ(RunDefinition(R"({"type": "DMGUnmount", "path": "{odd}"})"), "");
    std::ifstream in(dir + "/argv");
    const std::string recorded((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(recorded, "eject\036" + odd + "\036-force\036\n");
    EXPECT_TRUE(Printed("Hdiutil mount exitcode 5"));
    EXPECT_NE(access((dir + "/x").c_str(), F_OK), 0);
}

TEST_F(ToolTasksTest, MissingToolIsAFailedLaunch) {
    ProcessTools_SetPathForTesting(PROCESS_TOOL_DISK_IMAGE, (dir + "/absent").c_str());
    ProcessTools_SetPathForTesting(PROCESS_TOOL_INSTALLER, (dir + "/absent").c_str());
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount", "path": "/x.dmg"})"), "!DiskImage_Error_Launch");
    EXPECT_EQ(RunDefinition(R"({"type": "DMGUnmount", "path": "/x.dmg", "errorMap": {"127": "E_Gone"}})"), "!E_Gone");
    EXPECT_EQ(RunDefinition(R"({"type": "PKG", "path": "/x.pkg"})"), "!Launch_Error_Run");
    EXPECT_EQ(RunDefinition(R"({"type": "DMGMount"})"), "!Task_Error_MissingArg");
}

TEST_F(ToolTasksTest, InstallerFollowsPhasesAndProgress) {
    const std::string package = dir + "/a'b $(touch " + dir + "/x);.pkg";
    Workflow_AddMacro(workflow, "pkg", package.c_str());
    Tool(0, "installer:PHASE:Preparing\ninstaller:%10\ninstaller:%42.5\nThe installer was successful.\n");
    const std::string log = dir + "/install.log";
    EXPECT_EQ(RunDefinition(R"({"type": "PKG", "path": "{pkg}", "arguments": ["-x y", "$z"], "logFilename": ")" + log +
                            R"(", "successOutput": "never"})",
                            "p"),
              "");
    ASSERT_EQ(Runs().size(), 1u);
    EXPECT_EQ(Runs()[0], "-pkg|" + package + "|-target|/|-verboseR|-x y|$z|");
    EXPECT_NE(access((dir + "/x").c_str(), F_OK), 0);
    EXPECT_NE(StatusJson("p").find("\"status\":\"Preparing\""), std::string::npos) << StatusJson("p");
    EXPECT_NE(StatusJson("p").find("\"progress\":0.425"), std::string::npos) << StatusJson("p");
    EXPECT_TRUE(Printed("Installed (0)"));
    std::stringstream written;
    written << std::ifstream(log).rdbuf();
    EXPECT_EQ(written.str(), "installer:PHASE:Preparing\ninstaller:%10\ninstaller:%42.5\nThe installer was successful.\n");

    // Without a success text the run fails; with logOnlyErrors a success writes nothing.
    Tool(0, "installer: nope\n");
    EXPECT_EQ(RunDefinition(R"({"type": "PKG", "path": "/p.pkg", "errorOutputMap": {"nope": "E_Nope"}})"), "!E_Nope");
    Tool(0, "The upgrade was successful.\n");
    EXPECT_EQ(RunDefinition(R"({"type": "PKG", "path": "/p.pkg", "target": "/Vol 1", "logFilename": ")" + dir +
                            R"(/only.log", "logOnlyErrors": true})"),
              "");
    EXPECT_NE(access((dir + "/only.log").c_str(), F_OK), 0);
    EXPECT_EQ(Runs().back(), "-pkg|/p.pkg|-target|/Vol 1|-verboseR|");
    EXPECT_TRUE(Printed("Installer /p.pkg -> /Vol\\ 1"));

    // The log takes the name of a file or of nothing, never of a FIFO, which stays what it is.
    const std::string fifo = dir + "/fifo.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EQ(RunDefinition(R"({"type": "PKG", "path": "/p.pkg", "logFilename": ")" + fifo + R"("})"), "");
    EXPECT_TRUE(Printed(fifo + ": Operation not supported"));
    EXPECT_TRUE(Printed("Unable to write log file (" + fifo + ")"));
    struct stat info;
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

} // namespace

// The host executable's command line as a user meets it, without a display: --help and
// --version, "--skin DIR" with a space, a skin that does not exist, a port that is taken, and
// switches it does not know.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/host/host_child.h"
#include "tests/support/temp_dir.h"

namespace {

class HostCommandLine : public ::testing::Test {
  protected:
    void SetUp() override { folder_.Write("app.yaml", "name: \"cli-test\"\nselfUpdateWorkflow: \"wf.yaml\"\n"); }
    HostFolder folder_;
};

TEST_F(HostCommandLine, HelpListsTheSwitchesAndTheQuotedLogFile) {
    const HostRun run = RunHost({HOST_PROGRAM, "--help"}, folder_.Env());
    EXPECT_EQ(run.Code, 0) << run.Text;
    for (const char* line : {"--skin DIR ", "--debug[=LEVEL] ", "--window ", "--version ", "--wfselfupdate "})
        EXPECT_NE(run.Text.find(line), std::string::npos) << line << "\n" << run.Text;
    // The log's folder holds a blank: it is printed in quotes.
    EXPECT_NE(run.Text.find("\"" + folder_.Dir() + "/state/Quarvelon Host/host.developer.log\""), std::string::npos)
        << run.Text;
    const HostRun version = RunHost({HOST_PROGRAM, "--version"}, folder_.Env());
    EXPECT_EQ(version.Code, 0);
    EXPECT_EQ(version.Text, "quarvelon-host 6.2.42\n");
}

// A state folder too long for the log file's name: --help says no file is written, and a run with
// --debug says so on standard error, writes no log into the current folder, and still runs.
TEST_F(HostCommandLine, ALogFolderTooLongIsSaidAndNoLogLandsInTheCurrentFolder) {
    unsetenv("XDG_STATE_HOME");
    std::string state = folder_.Dir() + "/state";
    for (int level = 0; level < 6; level++) state += "/" + std::string(180, 'a' + level);
    std::vector<std::string> env = folder_.Env();
    for (std::string& entry : env)
        if (entry.rfind("XDG_STATE_HOME=", 0) == 0) entry = "XDG_STATE_HOME=" + state;
    const std::string current = folder_.Dir() + "/current";
    ASSERT_EQ(mkdir(current.c_str(), 0700), 0);
    auto inCurrent = [&](std::vector<std::string> command) {
        command.insert(command.begin(), {"/bin/sh", "-c", "cd \"$0\" && exec \"$@\"", current});
        return command;
    };
    const HostRun help = RunHost(inCurrent({HOST_PROGRAM, "--help"}), env);
    EXPECT_EQ(help.Code, 0) << help.Text;
    EXPECT_NE(help.Text.find("--debug writes no file: the log folder under\n$XDG_STATE_HOME is too long for a log "
                             "file's name of at most 1023 bytes"),
              std::string::npos)
        << help.Text;
    EXPECT_EQ(help.Text.find("\"host.developer.log\""), std::string::npos) << help.Text;

    folder_.Write("wf.yaml", "apply: {type: Log, message: \"ran without a log file\"}\n");
    const HostRun run = RunHost(inCurrent({HOST_PROGRAM, "--skin", folder_.Skin(), "--wfselfupdate", "--debug"}), env);
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("ERROR - The log folder under $XDG_STATE_HOME is too long for a log file's name of at "
                            "most 1023 bytes: no log file is written (--debugdir DIR names another folder)\n"),
              std::string::npos)
        << run.Text;
    EXPECT_FALSE(FileExists(current + "/host.developer.log"));
    EXPECT_FALSE(FileExists(state));
    // Another folder named for the log is used as asked.
    const HostRun elsewhere = RunHost(
        inCurrent({HOST_PROGRAM, "--skin", folder_.Skin(), "--wfselfupdate", "--debug", "--debugdir", current}), env);
    EXPECT_EQ(elsewhere.Code, 0) << elsewhere.Text;
    EXPECT_EQ(elsewhere.Text.find("ERROR - "), std::string::npos) << elsewhere.Text;
    EXPECT_NE(ReadFile(current + "/host.developer.log").find("ran without a log file"), std::string::npos);
}

// At the longest log folder and one byte past it, --help and --debug agree: the file --help names
// is the one --debug writes, and a folder --help refuses leaves --debug without a file.
TEST_F(HostCommandLine, HelpAndDebugAgreeOnTheLongestLogFolder) {
    folder_.Write("wf.yaml", "apply: {type: Log, message: \"ran\"}\n");
    for (const size_t length : {1023u - 64u, 1024u - 64u}) {
        SCOPED_TRACE(length);
        std::string state = folder_.Dir() + "/long";
        const size_t folderLength = length - strlen("/Quarvelon Host/host.developer.log");
        while (state.size() < folderLength)
            state += "/" + std::string(std::min<size_t>(200, folderLength - state.size() - 1), 'c');
        ASSERT_EQ(state.size(), folderLength);
        std::vector<std::string> env = folder_.Env();
        for (std::string& entry : env)
            if (entry.rfind("XDG_STATE_HOME=", 0) == 0) entry = "XDG_STATE_HOME=" + state;
        const std::string file = state + "/Quarvelon Host/host.developer.log";
        const HostRun help = RunHost({HOST_PROGRAM, "--help"}, env);
        const HostRun run = RunHost({HOST_PROGRAM, "--skin", folder_.Skin(), "--wfselfupdate", "--debug"}, env);
        EXPECT_EQ(run.Code, 0) << run.Text;
        const bool named = help.Text.find("--debug writes \"" + file + "\"") != std::string::npos;
        EXPECT_EQ(named, length == 1023u - 64u) << help.Text;
        EXPECT_EQ(FileExists(file), named) << run.Text;
        EXPECT_EQ(run.Text.find("ERROR - ") == std::string::npos, named) << run.Text;
    }
}

TEST_F(HostCommandLine, SkinWithASpaceIsReadLikeWithAnEqualsSign) {
    folder_.Write("wf.yaml", "apply: {type: Log, message: \"ran from the named skin\"}\n");
    const HostRun run = RunHost({HOST_PROGRAM, "--skin", folder_.Skin(), "--wfselfupdate", "--window"}, folder_.Env());
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("ran from the named skin"), std::string::npos) << run.Text;
    EXPECT_EQ(run.Text.find("unknown switch"), std::string::npos) << run.Text;
}

TEST_F(HostCommandLine, MissingSkinAndTakenPortEndWithTheirNames) {
    const std::string none = folder_.Dir() + "/no-such-skin";
    HostRun run = RunHost({HOST_PROGRAM, "--skin", none}, folder_.Env());
    EXPECT_EQ(run.Code, 1) << run.Text;
    EXPECT_NE(run.Text.find("ERROR - Skin " + none + " does not exist (--skin)"), std::string::npos) << run.Text;

    // A port another program listens on.
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t length = sizeof(address);
    getsockname(taken, reinterpret_cast<sockaddr*>(&address), &length);
    const std::string port = std::to_string(ntohs(address.sin_port));
    // The user interface's single instance is the user's: a name of this run's, beside other runs.
    const std::string name = "cli-test-" + std::to_string(getpid());
    folder_.Write("app.yaml", "name: \"" + name + "\"\nwebServerListenPort: [" + port + "]\n");
    run = RunHost({HOST_PROGRAM, "--skin", folder_.Skin()}, folder_.Env(), 20000);
    close(taken);
    EXPECT_EQ(run.Code, 1) << run.Text;
    EXPECT_NE(run.Text.find("ERROR - Port " + port + " on 127.0.0.1 is in use or cannot be bound (webServerListenPort"),
              std::string::npos)
        << run.Text;
}

TEST_F(HostCommandLine, UnknownSwitchesAreReported) {
    folder_.Write("wf.yaml", "apply: {type: Log, message: fine}\n");
    const HostRun run =
        RunHost({HOST_PROGRAM, "--skin", folder_.Skin(), "--wfselfupdate", "--skni=x", "-debug"}, folder_.Env());
    // What the user meant cannot be known: nothing runs.
    EXPECT_EQ(run.Code, 1) << run.Text;
    EXPECT_EQ(run.Text.find("fine"), std::string::npos) << run.Text;
    EXPECT_NE(run.Text.find("unknown switch --skni"), std::string::npos) << run.Text;
    EXPECT_NE(run.Text.find("-debug is not a switch"), std::string::npos) << run.Text;
}

} // namespace

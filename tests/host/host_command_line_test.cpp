// The host executable's command line as a user meets it, without a display: --help and
// --version, "--skin DIR" with a space, a skin that does not exist, a port that is taken, and
// switches it does not know.
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>

#include "tests/host/host_child.h"

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
    folder_.Write("app.yaml", "name: \"cli-test\"\nwebServerListenPort: [" + port + "]\n");
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

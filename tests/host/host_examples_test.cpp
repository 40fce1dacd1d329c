// The runnable examples in examples/, run as the README says: the real host executable, headless,
// against a web server of the test's own on 127.0.0.1; and scripts/run.sh, the main job, over the
// test build's host.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host/host_child.h"
#include "tests/support/bounded_wait.h"

#ifndef HOST_PROGRAM
// The test lies in the build tree's root beside the host when the build names no path for it.
#define HOST_PROGRAM HostBesideTest()
#endif
#ifndef HOST_SOURCE_DIR
#define HOST_SOURCE_DIR SourceDir()
#endif

namespace {

[[maybe_unused]] std::string HostBesideTest() {
    char self[4096] = "";
    const ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    std::string path(self, n > 0 ? (size_t)n : 0);
    return path.substr(0, path.rfind('/') + 1) + "quarvelon-host";
}

// The source tree, two folders above this file.
[[maybe_unused]] std::string SourceDir() {
    std::string path = __FILE__;
    for (int i = 0; i < 3; i++) path = path.substr(0, path.rfind('/'));
    return path;
}


// python3 -m http.server serving one folder on 127.0.0.1, for the test's life.
class FolderServer {
  public:
    explicit FolderServer(const std::string& folder) : port_(FreePort()) {
        const std::string port = std::to_string(port_);
        const char* argv[] = {"/usr/bin/python3", "-m",          "http.server",  port.c_str(), "--bind",
                              "127.0.0.1",        "--directory", folder.c_str(), nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        posix_spawn(&pid_, argv[0], &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_TRUE(StepUntil([this] { return Accepts(port_); }, [] { usleep(50000); }))
            << "python3 -m http.server did not listen on port " << port_;
    }
    ~FolderServer() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    std::string Url(const std::string& name) const {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }

  private:
    int port_;
    pid_t pid_ = -1;
};

// The one file of that name below the folder, or "".
std::string Find(const std::string& folder, const std::string& name) {
    const std::string command = "find '" + folder + "' -name '" + name + "' -type f 2>/dev/null";
    FILE* pipe = popen(command.c_str(), "r");
    std::string found;
    char line[4096];
    if (pipe && fgets(line, sizeof(line), pipe)) found = line;
    if (pipe) pclose(pipe);
    if (!found.empty() && found.back() == '\n') found.pop_back();
    return found;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(HostExamples, DownloadUnzipLaunchRunsTheScriptFromTheZip) {
    const std::string example = std::string(HOST_SOURCE_DIR) + "/examples/download-unzip-launch";
    HostFolder home;
    const std::string served = home.Dir() + "/served";
    mkdir(served.c_str(), 0700);
    // The zip as the README makes it.
    ASSERT_EQ(std::system(("cd '" + example + "/payload' && /usr/bin/python3 -m zipfile -c '" + served +
                           "/example.zip' hello.sh")
                              .c_str()),
              0);
    FolderServer server(served);

    std::vector<std::string> env = home.Env();
    env.push_back("EXAMPLE_ZIP_URL=" + server.Url("example.zip"));
    const HostRun run = RunHost({HOST_PROGRAM, "--skin", example, "--wfselfupdate"}, env);
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_EQ(run.Text.find("ERROR"), std::string::npos) << run.Text;
    const std::string launched = Find(home.Dir(), "launched.txt");
    ASSERT_FALSE(launched.empty()) << run.Text;
    EXPECT_EQ(ReadFile(launched), "launched from the zip\n");

    // A zip the server does not have ends the run non-zero, naming the failed download.
    HostFolder other;
    std::vector<std::string> missing = other.Env();
    missing.push_back("EXAMPLE_ZIP_URL=" + server.Url("missing.zip"));
    const HostRun failed = RunHost({HOST_PROGRAM, "--skin", example, "--wfselfupdate"}, missing);
    EXPECT_NE(failed.Code, 0) << failed.Text;
    EXPECT_NE(failed.Text.find("\"download\""), std::string::npos) << failed.Text;
    EXPECT_TRUE(Find(other.Dir(), "launched.txt").empty()) << failed.Text;
}

// The command on a private Xvfb display, ended with its whole process group (Xvfb, a session bus,
// the host) after `seconds`.
std::vector<std::string> UnderXvfb(const std::vector<std::string>& command, int seconds) {
    std::vector<std::string> args = {"/usr/bin/timeout",  "-k", "5",  std::to_string(seconds),
                                     "/usr/bin/xvfb-run", "-a", "-s", "-screen 0 1024x768x24"};
    args.insert(args.end(), command.begin(), command.end());
    return args;
}

// xvfb-run -a can pick a display that another program's Xvfb takes first: then it is tried again.
HostRun RunUnderXvfb(const std::vector<std::string>& command, const std::vector<std::string>& env,
                     int seconds) {
    HostRun run;
    for (int attempt = 0; attempt < 3; attempt++) {
        run = RunHost(UnderXvfb(command, seconds), env, (seconds + 10) * 1000);
        if (run.Text.find("xvfb-run: error") == std::string::npos) break;
    }
    return run;
}

// A skin in a window of its own on a private Xvfb display and session bus, as the README runs an
// example with --autorun: the page does its work, logs its outcome, sets the exit code and closes.
HostRun RunSkin(const std::string& skin, const std::vector<std::string>& extra,
                const std::vector<std::string>& env) {
    std::vector<std::string> command = {
        "/usr/bin/dbus-run-session", "--", HOST_PROGRAM, "--skin", skin, "--window", "--autorun"};
    command.insert(command.end(), extra.begin(), extra.end());
    return RunUnderXvfb(command, env, 50);
}

HostRun RunSkinExample(const HostFolder& home, const std::string& skin,
                       const std::vector<std::string>& extra) {
    return RunSkin(std::string(HOST_SOURCE_DIR) + "/examples/" + skin, extra, home.Env());
}

// A copy of the demo skin at `target`, named for `tag`: its single-instance rule then meets no
// other run of the demo (the user's, another test's).
void CopyDemo(const std::string& target, const std::string& tag) {
    ASSERT_EQ(
        std::system(("cp -r '" + std::string(HOST_SOURCE_DIR) + "/examples/demo' '" + target + "'").c_str()),
        0);
    std::string yaml = ReadFile(target + "/app.yaml");
    const std::string name = "name: \"Quarvelon Demo";
    const size_t at = yaml.find(name);
    ASSERT_NE(at, std::string::npos) << yaml;
    yaml.insert(at + name.size(), " " + tag);
    std::ofstream(target + "/app.yaml") << yaml;
}

std::string Tag(const HostFolder& home) {
    return home.Dir().substr(home.Dir().rfind('/') + 1);
}

bool SameTree(const std::string& one, const std::string& two) {
    return std::system(("diff -r '" + one + "' '" + two + "' >/dev/null").c_str()) == 0;
}

TEST(HostExamples, TextFilesPageWritesAndReadsBack) {
    HostFolder home;
    const HostRun run = RunSkinExample(home, "text-files", {});
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("Text files outcome - success"), std::string::npos) << run.Text;
    const std::string written = Find(home.Dir(), "example.txt");
    ASSERT_FALSE(written.empty()) << run.Text;
    EXPECT_EQ(ReadFile(written), "Hello from the text files example\nsecond line\n");
}

TEST(HostExamples, PageHttpFetchesAFileIntoLocalStorage) {
    HostFolder home, site;
    const std::string served = site.Dir() + "/served";
    mkdir(served.c_str(), 0700);
    std::ofstream(served + "/fetched.txt") << "served over HTTP\n";
    FolderServer server(served);
    const HostRun run = RunSkinExample(home, "page-http", {"--fetch=" + server.Url("fetched.txt")});
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("Page HTTP outcome - success"), std::string::npos) << run.Text;
    const std::string fetched = Find(home.Dir(), "fetched.txt");
    ASSERT_FALSE(fetched.empty()) << run.Text;
    EXPECT_EQ(ReadFile(fetched), "served over HTTP\n");

    // A file the server does not have: the page reports the failure and the run ends with 1.
    HostFolder other;
    const HostRun missing = RunSkinExample(other, "page-http", {"--fetch=" + server.Url("missing.txt")});
    EXPECT_EQ(missing.Code, 1) << missing.Text;
    EXPECT_NE(missing.Text.find("Page HTTP outcome - failure: HTTP 404"), std::string::npos) << missing.Text;
}

// The pages' own switches (--autorun, --fetch) pass to the page, named at INFO with --window; a
// switch one or two keys away from a host switch ends the start, naming the one it resembles.
TEST(HostExamples, PageSwitchesPassAndNearMissesOfHostSwitchesAreRefused) {
    HostFolder home;
    struct Case {
        const char* argument;
        const char* said; // the one line about it, or "" for none
    } const cases[] = {
        {"--autorun",
         "quarvelon-host: INFO - --autorun is not a host switch: passed to the page and workflows\n"},
        {"--fetch=http://127.0.0.1/x", "quarvelon-host: INFO - --fetch is not a host switch"},
        {"--windwo", "quarvelon-host: ERROR - unknown switch --windwo: did you mean --window? (see --help)\n"},
        {"--debgu=INFO", "quarvelon-host: ERROR - unknown switch --debgu: did you mean --debug? (see --help)\n"},
        {"--wfselfupdat", "quarvelon-host: ERROR - unknown switch --wfselfupdat: did you mean --wfselfupdate?"},
        {"--VERBOSE=Task:1", ""},
    };
    for (const Case& c : cases) {
        // The start ends at once (no such skin); what the command line says comes first.
        const HostRun run =
            RunHost({HOST_PROGRAM, "--skin", home.Dir() + "/none", "--window", c.argument}, home.Env());
        EXPECT_EQ(run.Code, 1) << c.argument << "\n" << run.Text;
        EXPECT_NE(run.Text.find(c.said), std::string::npos) << c.argument << "\n" << run.Text;
        size_t lines = 0;
        for (size_t at = 0; (at = run.Text.find("quarvelon-host: ", at)) != std::string::npos; at++) lines++;
        EXPECT_EQ(lines, c.said[0] ? 1u : 0u) << c.argument << "\n" << run.Text;
    }
}

// The demo's workflow synchronises the content repository it carries, served by the test: the
// page shows the pieces fetched, and the files land in the user's data folder. A server that does
// not have the repository fails the run instead of leaving it waiting.
TEST(HostExamples, DemoSynchronisesItsContentRepository) {
    HostFolder home;
    const std::string skin = home.Dir() + "/demo";
    CopyDemo(skin, Tag(home));
    FolderServer server(skin + "/repository");
    std::vector<std::string> env = home.Env();
    env.push_back("DEMO_REPOSITORY_URL=" + server.Url(""));
    const HostRun run = RunSkin(skin, {}, env);
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("Demo page content - synchronised, 3 of 3 pieces fetched"), std::string::npos)
        << run.Text;
    EXPECT_NE(run.Text.find("Demo page outcome - success"), std::string::npos) << run.Text;
    EXPECT_TRUE(SameTree(std::string(HOST_SOURCE_DIR) + "/examples/demo/repository/files",
                         home.Dir() + "/data/Quarvelon/content"))
        << run.Text;
    // The page's own switch is named at INFO, not warned about.
    EXPECT_NE(run.Text.find("quarvelon-host: INFO - --autorun is not a host switch"), std::string::npos)
        << run.Text;
    EXPECT_EQ(run.Text.find("unknown switch"), std::string::npos) << run.Text;

    HostFolder other;
    const std::string empty = other.Dir() + "/served";
    mkdir(empty.c_str(), 0700);
    FolderServer nothing(empty);
    env = other.Env();
    env.push_back("DEMO_REPOSITORY_URL=" + nothing.Url(""));
    const HostRun failed = RunSkin(skin, {}, env);
    EXPECT_EQ(failed.Code, 1) << failed.Text;
    EXPECT_NE(failed.Text.find("Demo page outcome - failure"), std::string::npos) << failed.Text;
    EXPECT_NE(failed.Text.find("RepositorySync_Error_StallTimeout"), std::string::npos) << failed.Text;
}

// A build folder as scripts/run.sh makes it, with the test build's host: the host and the demo
// skin beside it as app.bundle.
std::string RunFolder(const HostFolder& home) {
    const std::string build = home.Dir() + "/build";
    mkdir(build.c_str(), 0700);
    const std::string host = build + "/quarvelon-host";
    if (link(std::string(HOST_PROGRAM).c_str(), host.c_str()) != 0)
        std::system(("cp '" + std::string(HOST_PROGRAM) + "' '" + host + "'").c_str());
    CopyDemo(build + "/app.bundle", Tag(home));
    return build;
}

// scripts/run.sh without its install and build steps, on a display of its own; it must end
// within 60 s.
HostRun RunScript(const HostFolder& home, const std::string& build) {
    std::vector<std::string> env = home.Env();
    env.insert(env.end(), {"QVR_RUN_INNER=1", "QVR_RUN_BUILD=" + build, "QVR_RUN_HEADLESS=1"});
    return RunUnderXvfb({std::string(HOST_SOURCE_DIR) + "/scripts/run.sh"}, env, 60);
}

TEST(HostExamples, RunScriptRunsTheDemoWithItsContentAndNoWarning) {
    HostFolder home;
    const std::string build = RunFolder(home);
    const HostRun run = RunScript(home, build);
    EXPECT_EQ(run.Code, 0) << run.Text;
    EXPECT_NE(run.Text.find("Demo page content - synchronised, 3 of 3 pieces fetched"), std::string::npos)
        << run.Text;
    EXPECT_NE(run.Text.find("Demo page outcome - success"), std::string::npos) << run.Text;
    EXPECT_NE(run.Text.find("Window picture: " + build + "/demo-window.png"), std::string::npos) << run.Text;
    EXPECT_EQ(run.Text.find("WARNING"), std::string::npos) << run.Text;
    EXPECT_EQ(run.Text.find("unknown switch"), std::string::npos) << run.Text;
    EXPECT_TRUE(SameTree(build + "/app.bundle/repository/files", home.Dir() + "/data/Quarvelon/content"))
        << run.Text;
    // The content server ended with the script.
    const std::string served = ReadFile(build + "/demo-content-server.log");
    const size_t at = served.find(" port ");
    ASSERT_NE(at, std::string::npos) << served;
    EXPECT_FALSE(Accepts(atoi(served.c_str() + at + 6))) << served;
}

// Reads the child's output until it holds the marker; false when the wait or the output ends first.
bool ReadUntil(int fd, std::string& text, const std::string& marker, int waitMs) {
    // Bounded by the clock: a read that returns at once takes no time of the wait.
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (text.find(marker) == std::string::npos) {
        if (std::chrono::steady_clock::now() >= end) return false;
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) continue;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof(buffer));
        if (n <= 0) return false;
        text.append(buffer, (size_t)n);
    }
    return true;
}

// The demo already open as the same user: run.sh ends non-zero within its bound and passes the
// host's single-instance message through.
TEST(HostExamples, RunScriptAgainstARunningInstanceFailsWithItsMessage) {
    HostFolder home;
    const std::string build = RunFolder(home);
    int out = -1;
    std::string first;
    pid_t pid = -1;
    for (int attempt = 0; attempt < 3; attempt++) {
        first.clear();
        pid = SpawnWithOutput(
            UnderXvfb({"/usr/bin/dbus-run-session", "--", build + "/quarvelon-host", "--window"}, 120),
            home.Env(), &out);
        ASSERT_GT(pid, 0);
        // The web server starts once the instance holds the single-instance mark.
        if (ReadUntil(out, first, "Listening for incoming connections", 40000)) break;
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
        close(out);
        pid = -1;
    }
    ASSERT_GT(pid, 0) << first;

    const HostRun second = RunScript(home, build);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    close(out);
    EXPECT_NE(second.Code, -1) << second.Text;
    EXPECT_NE(second.Code, 124) << "run.sh did not end within 60 s\n" << second.Text;
    EXPECT_NE(second.Code, 0) << second.Text;
    EXPECT_NE(
        second.Text.find("Another instance of this application is open (Quarvelon Demo " + Tag(home) + ")"),
        std::string::npos)
        << second.Text;
}

} // namespace

// The runnable examples in examples/, run as the README says: the real host executable, headless,
// against a web server of the test's own on 127.0.0.1.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <fstream>
#include <sstream>
#include <string>

#include "tests/host/host_child.h"

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

// A port that nothing listens on now.
int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof(address);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    close(fd);
    return ntohs(address.sin_port);
}

bool Accepts(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons((uint16_t)port);
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    close(fd);
    return ok;
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
        for (int i = 0; i < 200 && !Accepts(port_); i++) usleep(50000);
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

// A skin example in a window of its own on a private Xvfb display and session bus, as the README
// runs it with --autorun: the page does its work, logs its outcome, sets the exit code and closes.
HostRun RunSkinExample(const HostFolder& home, const std::string& skin,
                       const std::vector<std::string>& extra) {
    // timeout ends the whole process group (Xvfb, the session bus, the host) should the page hang.
    std::vector<std::string> args = {"/usr/bin/timeout",
                                     "-k",
                                     "5",
                                     "50",
                                     "/usr/bin/xvfb-run",
                                     "-a",
                                     "-s",
                                     "-screen 0 1024x768x24",
                                     "/usr/bin/dbus-run-session",
                                     "--",
                                     HOST_PROGRAM,
                                     "--skin",
                                     std::string(HOST_SOURCE_DIR) + "/examples/" + skin,
                                     "--window",
                                     "--autorun"};
    args.insert(args.end(), extra.begin(), extra.end());
    // xvfb-run -a can pick a display that another program's Xvfb takes first: then it is tried again.
    HostRun run;
    for (int attempt = 0; attempt < 3; attempt++) {
        run = RunHost(args, home.Env(), 60000);
        if (run.Text.find("xvfb-run: error") == std::string::npos) break;
    }
    return run;
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

} // namespace

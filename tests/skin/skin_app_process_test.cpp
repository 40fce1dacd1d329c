// The skin application between real processes: the single-instance rule with the later
// instance's command line reaching the running one, ending the other instances of this very
// program (and nothing else), and the data store a program carries as scripts get it.
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "tests/support/bounded_wait.h"
#include "tests/support/temp_dir.h"

extern char** environ;

namespace {

// A started program with its standard output on a pipe; killed and reaped at the end.
class Child {
  public:
    Child(const std::string& program, const std::vector<std::string>& arguments) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        std::vector<std::string> words = {program};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& w : words) argv.push_back(w.data());
        argv.push_back(nullptr);
        if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        out_ = fds[0];
    }
    ~Child() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (out_ >= 0) close(out_);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    // The next line of output, "" when none came within the seconds.
    std::string Line(int seconds = 20) {
        for (;;) {
            const size_t end = buffer_.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer_.substr(0, end);
                buffer_.erase(0, end + 1);
                return line;
            }
            pollfd p = {out_, POLLIN, 0};
            if (poll(&p, 1, seconds * 1000) <= 0) return "";
            char chunk[512];
            const ssize_t n = read(out_, chunk, sizeof(chunk));
            if (n <= 0) return "";
            buffer_.append(chunk, (size_t)n);
        }
    }
    // The exit status (a signal as 128 + its number), -1 when it did not end within the seconds.
    int Wait(int seconds = 20) {
        int status = 0;
        if (!StepUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, [] { usleep(10000); }, seconds))
            return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool Running() { return !reaped_ && kill(pid_, 0) == 0 && Wait(0) == -1; }

  private:
    pid_t pid_ = -1;
    int out_ = -1;
    bool reaped_ = false;
    std::string buffer_;
};

// An HS256 token over the payload, signed with the Base64 key (made by Python as an outside
// signer would).
std::string Token(const std::string& key, const std::string& payload) {
    TempDir dir;
    WriteText(dir.file("sign.py"), R"(import base64, hmac, hashlib, sys
b = lambda x: base64.urlsafe_b64encode(x).rstrip(b"=")
h = b(b'{"alg":"HS256"}')
p = b(sys.argv[2].encode())
s = b(hmac.new(base64.b64decode(sys.argv[1]), h + b"." + p, hashlib.sha256).digest())
print((h + b"." + p + b"." + s).decode())
)");
    WriteText(dir.file("payload"), payload);
    const std::string command =
        "/usr/bin/python3 " + dir.file("sign.py") + " " + key + " \"$(cat " + dir.file("payload") + ")\"";
    std::string text;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char chunk[4096];
        while (fgets(chunk, sizeof(chunk), pipe)) text += chunk;
        pclose(pipe);
    }
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// A copy of the host program carrying the data store.
std::string Carrying(const TempDir& dir, const std::string& name, const std::string& store) {
    const std::string host = dir.file(name);
    WriteText(dir.file(name + ".bin"), "ZERIZODIDUZI" + store + std::string(1, '\0'));
    const std::string command = "objcopy --add-section .datastore=" + dir.file(name + ".bin") + " " +
                                SKIN_APP_HOST_PROGRAM + " " + host + " && chmod 700 " + host;
    return system(command.c_str()) == 0 ? host : "";
}

std::string Copy(const TempDir& dir, const std::string& name) {
    const std::string target = dir.file(name);
    WriteText(target, ReadFile(SKIN_APP_HOST_PROGRAM), 0700);
    return target;
}

// A directory skin whose configuration names a lock of its own.
std::string Skin(const TempDir& dir, const std::string& extra = "") {
    mkdir(dir.file("skin").c_str(), 0700);
    WriteText(dir.file("skin/app.yaml"), "name: \"skin-lock-" + std::to_string(getpid()) + "-" +
                                             dir.path().substr(dir.path().rfind('-') + 1) +
                                             "\"\nsingleInstanceTimeout: 1\n" + extra);
    return dir.file("skin");
}

TEST(SkinAppProcessTest, ALaterInstanceHandsItsCommandLineToTheRunningOne) {
    TempDir dir;
    const std::string skin = Skin(dir);
    Child first(SKIN_APP_HOST_PROGRAM, {"hold", skin});
    ASSERT_EQ(first.Line(), "holding");
    Child second(SKIN_APP_HOST_PROGRAM, {"hold", skin, "--open=\"x://y\"", "two"});
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_EQ(first.Line(), R"(NewCommandLine {"args":["--open=\"x://y\"","two"]})");
    EXPECT_EQ(first.Wait(), 0);
}

TEST(SkinAppProcessTest, AllowingMultipleInstancesSkipsTheLock) {
    TempDir dir;
    const std::string skin = Skin(dir, "allowMultipleInstances: true\n");
    Child first(SKIN_APP_HOST_PROGRAM, {"hold", skin});
    ASSERT_EQ(first.Line(), "holding");
    Child second(SKIN_APP_HOST_PROGRAM, {"hold", skin});
    EXPECT_EQ(second.Line(), "holding");
}

// Only processes that run this very file are ended: a neighbour whose path merely begins with
// ours ("<dir>/host-updater" beside "<dir>/host") lives on.
TEST(SkinAppProcessTest, KillingOtherInstancesSparesOtherPrograms) {
    TempDir dir;
    const std::string skin = Skin(dir, "killOtherInstances: true\n");
    const std::string host = Copy(dir, "host");
    const std::string updater = Copy(dir, "host-updater");
    Child first(host, {"hold", skin});
    ASSERT_EQ(first.Line(), "holding");
    Child neighbour(updater, {"idle"});
    Child second(host, {"hold", skin});
    EXPECT_EQ(second.Line(), "holding");
    EXPECT_EQ(first.Wait(), 128 + SIGKILL);
    EXPECT_TRUE(neighbour.Running());
}

TEST(SkinAppProcessTest, DataStoreAsScriptsGetIt) {
    TempDir dir;
    const std::string skin = Skin(dir);
    const std::string host = Carrying(dir, "host", "{\"plain\":1}");
    ASSERT_NE(host, "");
    Child carrying(host, {"datastore", skin});
    EXPECT_EQ(carrying.Line(), "{\"plain\":1}");
    Child plain(SKIN_APP_HOST_PROGRAM, {"datastore", skin});
    EXPECT_EQ(plain.Line(), "(none)");
}

// With a key configured the store must be a token signed by it: its "data" member (or the whole
// payload) is handed out as JSON; a store that fails the check never is.
TEST(SkinAppProcessTest, AVerifiedDataStoreGivesItsPayload) {
    TempDir dir;
    const std::string key = "c2tpbi1kYXRhLXN0b3JlLWtleS0wMTIzNDU2Nzg5";
    const std::string skin = Skin(dir, "dataStorePublicKey: \"dskey\"\nkeyStores:\n  dskey: \"" + key + "\"\n");
    const struct {
        const char* name;
        std::string store;
        const char* expected;
    } cases[] = {
        {"list", Token(key, R"({"data":[1,"two"],"exp":4102444800})"), R"([1,"two"])"},
        {"dict", Token(key, R"({"data":{"a":"b"}})"), R"({"a":"b"})"},
        {"whole", Token(key, R"({"v":1,"data":"text"})"), R"({"v":1,"data":"text"})"},
        {"expired", Token(key, R"({"data":[1],"exp":1000})"), "(none)"},
        {"foreign", Token("b3RoZXIta2V5LW5vdC10aGUtb25l", R"({"data":[1]})"), "(none)"},
        {"plain", "{\"data\":[1]}", "(none)"},
    };
    for (const auto& c : cases) {
        const std::string host = Carrying(dir, c.name, c.store);
        ASSERT_NE(host, "");
        Child child(host, {"datastore", skin});
        EXPECT_EQ(child.Line(), c.expected) << c.name;
    }
    // A skin that requires the store does not start without a valid one.
    WriteText(skin + "/app.yaml", ReadFile(skin + "/app.yaml") + "requiresDataStore: true\n");
    Child valid(dir.file("list"), {"datastore", skin});
    EXPECT_EQ(valid.Line(), R"([1,"two"])");
    for (const char* name : {"expired", "plain"}) {
        Child refused(dir.file(name), {"datastore", skin});
        EXPECT_EQ(refused.Wait(), 5) << name;
    }
    Child missing(SKIN_APP_HOST_PROGRAM, {"datastore", skin});
    EXPECT_EQ(missing.Wait(), 5);
}

} // namespace

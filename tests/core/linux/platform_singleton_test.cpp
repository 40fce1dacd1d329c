#include "core/linux/platform_singleton.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/md5.h"
#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/child_text.h"
#include "tests/support/log_capture.h"

extern char** environ;

namespace {

const auto* g_environment = ::testing::AddGlobalTestEnvironment(new LogCaptureEnvironment);

constexpr size_t kBlockSize = 4128;

// The first 31 digits of MD5("<effective user id>:<marker>"), for the user given or this one.
std::string ObjectName(const std::string& marker, uid_t user = geteuid()) {
    const std::string text = std::to_string(user) + ":" + marker;
    char out[32] = "";
    Hash_QuickString(&MD5_INTERFACE, text.data(), (int32_t)text.size(), 0, out, sizeof(out));
    return out;
}

// The second user of the tests ("nobody"), taken on by a forked child.
constexpr uid_t kOtherUser = 65534;

bool BecomeOtherUser() {
    return setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0;
}

std::string ShmPath(const std::string& object) {
    return "/dev/shm/" + object;
}

bool ObjectExists(const std::string& object) {
    struct stat info;
    return lstat(ShmPath(object).c_str(), &info) == 0;
}

// A marker name of this test process, with its object removed before and after the test.
class Marker {
  public:
    explicit Marker(const std::string& tag)
        : name_("singleton-test-" + std::to_string(getpid()) + "-" + tag), object_(ObjectName(name_)) {
        shm_unlink(object_.c_str());
    }
    ~Marker() { shm_unlink(object_.c_str()); }
    const std::string& name() const { return name_; }
    const std::string& object() const { return object_; }

  private:
    std::string name_;
    std::string object_;
};

// The test's own mapping of a marker's block, to look at and tamper with its fields.
class BlockView {
  public:
    explicit BlockView(const std::string& object) {
        int fd = shm_open(object.c_str(), O_RDWR, 0);
        if (fd < 0) return;
        struct stat info;
        if (fstat(fd, &info) == 0 && info.st_size >= (off_t)kBlockSize) {
            void* m = mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED) map_ = static_cast<uint8_t*>(m);
        }
        close(fd);
    }
    ~BlockView() {
        if (map_) munmap(map_, kBlockSize);
    }
    bool ok() const { return map_ != nullptr; }
    uint8_t* bytes() { return map_; }
    std::string mark() { return std::string(reinterpret_cast<char*>(map_), 24); }
    uint32_t word(size_t offset) {
        uint32_t value = 0;
        memcpy(&value, map_ + offset, 4);
        return value;
    }
    void setWord(size_t offset, uint32_t value) { memcpy(map_ + offset, &value, 4); }
    uint32_t state() { return word(24); }
    uint32_t length() { return word(28); }
    void setState(uint32_t value) { setWord(24, value); }
    void setLength(uint32_t value) { setWord(28, value); }
    std::string data(size_t length) { return std::string(reinterpret_cast<char*>(map_ + 32), length); }

  private:
    uint8_t* map_ = nullptr;
};

// An owner mark: 16 lower-case hexadecimal digits, then zero bytes.
bool IsOwnerMark(const std::string& mark) {
    if (mark.size() != 24) return false;
    for (size_t i = 0; i < 16; i++)
        if (!((mark[i] >= '0' && mark[i] <= '9') || (mark[i] >= 'a' && mark[i] <= 'f'))) return false;
    return mark.substr(16) == std::string(8, '\0');
}

std::string Pattern(size_t size) {
    std::string text(size, 0);
    for (size_t i = 0; i < size; i++) text[i] = (char)('a' + i % 26);
    return text;
}

struct Received {
    int32_t calls = 0;
    std::string data;
    bool terminated = false;
};

int32_t Receive(void* user, const char* data, int32_t length) {
    Received* r = static_cast<Received*>(user);
    r->calls++;
    r->data.assign(data, (size_t)length);
    r->terminated = data[length] == 0;
    return 0;
}

// ---- Other processes ------------------------------------------------------------------------
// A child is this test program started again on the disabled case below, with its role in the
// environment. Its standard input carries commands (end of input: leave); descriptor 3 carries
// its reports, one line each.

void Report(const std::string& line) {
    std::string text = line + "\n";
    ssize_t written = write(3, text.data(), text.size());
    (void)written;
}

void ReportBytes(const std::string& bytes) {
    Report("message " + std::to_string(bytes.size()));
    ssize_t written = write(3, bytes.data(), bytes.size());
    (void)written;
}

int32_t ReportMessage(void*, const char* data, int32_t length) {
    ReportBytes(std::string(data, (size_t)length));
    return 0;
}

// Ticks like a main loop until input ends.
void TickUntilInputEnds(AppMark mark) {
    for (;;) {
        AppMark_ReadData(mark);
        struct pollfd in = {0, POLLIN, 0};
        if (poll(&in, 1, 15) > 0) {
            char byte;
            if (read(0, &byte, 1) <= 0) return;
        }
    }
}

void WaitForInputEnd() {
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
}

class Child {
  public:
    Child(const std::string& role, const std::string& marker, const std::vector<std::string>& extra = {}) {
        int command[2], report[2];
        if (pipe2(command, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, command[0], 0);
        posix_spawn_file_actions_adddup2(&actions, report[1], 3);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        std::vector<std::string> env;
        for (char** e = environ; *e; e++)
            if (strncmp(*e, "SINGLETON_TEST_", 15) != 0) env.push_back(*e);
        env.push_back("SINGLETON_TEST_ROLE=" + role);
        env.push_back("SINGLETON_TEST_MARKER=" + marker);
        for (const std::string& e : extra) env.push_back(e);
        std::vector<char*> envp;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string exe = "/proc/self/exe", filter = "--gtest_filter=SingletonChild.DISABLED_Run",
                    disabled = "--gtest_also_run_disabled_tests";
        char* argv[] = {exe.data(), filter.data(), disabled.data(), nullptr};
        if (posix_spawn(&pid_, exe.c_str(), &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(command[0]);
        close(report[1]);
        commandFd_ = command[1];
        reportFd_ = report[0];
    }
    ~Child() {
        Finish();
        if (reportFd_ >= 0) close(reportFd_);
    }
    bool started() const { return pid_ > 0; }

    // One report line; "" when the child ends or stays silent for a minute. `tick` runs while
    // waiting (the test's own main loop).
    std::string ReadLine(AppMark tick = nullptr) {
        std::string line;
        for (;;) {
            struct pollfd in = {reportFd_, POLLIN, 0};
            int ready = 0;
            for (int waited = 0; waited < 60000 && ready == 0; waited += 15) {
                if (tick) AppMark_ReadData(tick);
                ready = poll(&in, 1, 15);
            }
            char c;
            if (ready <= 0 || read(reportFd_, &c, 1) != 1) return "";
            if (c == '\n') return line;
            line += c;
        }
    }
    std::string ReadBytes(size_t count) {
        std::string bytes;
        while (bytes.size() < count) {
            char buffer[4096];
            size_t want = std::min(sizeof(buffer), count - bytes.size());
            ssize_t n = read(reportFd_, buffer, want);
            if (n <= 0) break;
            bytes.append(buffer, (size_t)n);
        }
        return bytes;
    }
    void Send(char byte) {
        ssize_t written = write(commandFd_, &byte, 1);
        (void)written;
    }
    // Ends its input and waits; the exit status (-1 when killed or never started).
    int Finish() {
        if (commandFd_ >= 0) close(commandFd_);
        commandFd_ = -1;
        if (pid_ <= 0) return -1;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void Kill() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        if (commandFd_ >= 0) close(commandFd_);
        commandFd_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int commandFd_ = -1;
    int reportFd_ = -1;
};

} // namespace

// The child's side; skipped unless started as a child.
TEST(SingletonChild, DISABLED_Run) {
    const char* role = getenv("SINGLETON_TEST_ROLE");
    const char* marker = getenv("SINGLETON_TEST_MARKER");
    if (!role || !marker) GTEST_SKIP();
    const char* timeout = getenv("SINGLETON_TEST_TIMEOUT");
    const char* size = getenv("SINGLETON_TEST_MESSAGE_SIZE");
    AppMark mark = nullptr;
    AppMark_Create(&mark);
    AppMark_SetName(mark, marker);
    const std::string r = role;
    if (r == "owner") {
        // Holds the marker and ticks, reporting every message it receives.
        AppMark_SetOnDataCallback(mark, nullptr, ReportMessage);
        Report(AppMark_AcquireWithTimeout(mark, 0) ? "owner" : "other");
        TickUntilInputEnds(mark);
    } else if (r == "prober") {
        // A later start: asks with a timeout, then sends a message of the given size.
        const int64_t acquired = AppMark_AcquireWithTimeout(mark, timeout ? atoi(timeout) : 1000);
        Report(acquired ? "owner" : "other");
        if (!acquired && size)
            Report(AppMark_WriteData(mark, Pattern(atoi(size)).data(), atoi(size)) ? "sent" : "failed");
        WaitForInputEnd();
    } else if (r == "racer") {
        // Starts when told, together with others.
        char go;
        ASSERT_EQ(read(0, &go, 1), 1);
        Report(AppMark_AcquireWithTimeout(mark, 0) ? "owner" : "other");
        WaitForInputEnd();
    }
    AppMark_Delete(&mark);
}

// ---- Names and the block --------------------------------------------------------------------

TEST(AppMark, ObjectIsNamedAfterTheUserAndTheMarkersDigestAndHoldsTheBlock) {
    // The first 31 digits of MD5("<effective user id>:abc"), without a leading slash; for root
    // MD5("0:abc") = dfc34e8cdc4b7f0fd9888d56a4f17534.
    const std::string object = ObjectName("abc");
    if (geteuid() == 0) {
        EXPECT_EQ(object, "dfc34e8cdc4b7f0fd9888d56a4f1753");
    }
    EXPECT_NE(object, ObjectName("abc", geteuid() + 1));
    shm_unlink(object.c_str());
    AppMark mark = nullptr;
    ASSERT_EQ(AppMark_Create(&mark), 1);
    ASSERT_EQ(AppMark_SetName(mark, "abc"), 1);
    EXPECT_FALSE(ObjectExists(object));
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);

    struct stat info;
    ASSERT_EQ(lstat(ShmPath(object).c_str(), &info), 0);
    EXPECT_EQ(info.st_size, (off_t)kBlockSize);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    BlockView view(object);
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark())) << view.mark();
    EXPECT_EQ(view.state(), 0u);
    EXPECT_EQ(view.length(), 0u);
    EXPECT_EQ(view.data(4096), std::string(4096, '\0'));

    // The owner removes the object when it ends.
    EXPECT_EQ(AppMark_Delete(&mark), 1);
    EXPECT_EQ(mark, nullptr);
    EXPECT_FALSE(ObjectExists(object));
    EXPECT_EQ(TakeLog(), "");
}

TEST(AppMark, NameAndHandleOperations) {
    AppMark mark = nullptr;
    ASSERT_EQ(AppMark_Create(&mark), 1);
    ASSERT_NE(mark, nullptr);
    char buffer[8] = "x";
    EXPECT_EQ(AppMark_GetName(mark, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "");

    EXPECT_EQ(AppMark_SetName(mark, "first name"), 1);
    EXPECT_EQ(AppMark_SetName(mark, "abc"), 1);
    struct {
        int32_t capacity;
        int64_t result;
        const char* text;
    } cases[] = {{8, 1, "abc"}, {4, 1, "abc"}, {3, 0, "ab"}, {1, 0, ""}};
    for (const auto& c : cases) {
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(AppMark_GetName(mark, buffer, c.capacity), c.result) << c.capacity;
        EXPECT_STREQ(buffer, c.text) << c.capacity;
    }
    EXPECT_EQ(AppMark_GetName(mark, buffer, 0), 0);

    Received r;
    EXPECT_EQ(AppMark_SetOnDataCallback(mark, &r, Receive), 1);
    // Nothing mapped yet: no tick, no message.
    EXPECT_EQ(AppMark_ReadData(mark), 0);
    EXPECT_EQ(AppMark_WriteData(mark, "x", 1), 0);
    EXPECT_EQ(AppMark_WriteData(mark, "x", -1), 0);
    EXPECT_EQ(AppMark_Delete(&mark), 1);
    EXPECT_EQ(mark, nullptr);
    EXPECT_EQ(AppMark_Delete(&mark), 1);
}

TEST(AppMark, MissingPointersStopTheProcess) {
    AppMark mark = nullptr;
    AppMark_Create(&mark);
    char buffer[4];
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_Create(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_Delete(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_SetName(nullptr, "x");
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_SetName(mark, nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_GetName(mark, nullptr, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_GetName(nullptr, buffer, 4);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_AcquireWithTimeout(nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_ReadData(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            AppMark_WriteData(mark, nullptr, 3);
        },
        AbortRegex("Pointer is NULL\n"));
    AppMark_Delete(&mark);
}

TEST(AppMark, EmptyNameIsReportedAndRunsAlone) {
    AppMark mark = nullptr;
    AppMark_Create(&mark);
    TakeLog();
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 1000), 1);
    EXPECT_NE(TakeLog().find("App name is not specified\n"), std::string::npos);
    EXPECT_EQ(AppMark_ReadData(mark), 0);
    AppMark_Delete(&mark);
}

// ---- Objects of other users ----------------------------------------------------------------

TEST(AppMark, AnObjectOfAnotherUserOrOpenToOthersIsRefusedAndLeftInPlace) {
    const bool root = geteuid() == 0;
    const struct {
        const char* what;
        bool otherUser;
        mode_t mode;
    } cases[] = {
        {"another user's, open to all", true, 0666},
        {"another user's, private", true, 0600},
        {"ours, readable by the group", false, 0640},
        {"ours, writable by others", false, 0602},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.otherUser && !root) continue;
        Marker m(c.otherUser ? "planted" : "loose");
        // Made first where this user's instance will look, with a live-looking owner mark, so
        // that a start that used it would believe another instance runs.
        auto plant = [&]() -> std::string {
            const int fd = shm_open(m.object().c_str(), O_RDWR | O_CREAT | O_EXCL, c.mode);
            if (fd < 0) return "open " + std::to_string(errno);
            const bool ok = fchmod(fd, c.mode) == 0 && ftruncate(fd, kBlockSize) == 0 &&
                            pwrite(fd, "0123456789abcdef", 16, 0) == 16;
            close(fd);
            return ok ? "made" : "failed";
        };
        if (c.otherUser) {
            ASSERT_EQ(TextFromChild(BecomeOtherUser, plant), std::optional<std::string>("made"));
        } else {
            ASSERT_EQ(plant(), "made");
        }
        struct stat before;
        ASSERT_EQ(lstat(ShmPath(m.object()).c_str(), &before), 0);

        AppMark mark = nullptr;
        AppMark_Create(&mark);
        AppMark_SetName(mark, m.name().c_str());
        TakeLog();
        // Like any set-up failure: the start runs alone, and it neither answers probes in that
        // object nor reads or writes messages there.
        EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
        EXPECT_EQ(TakeLog(), "ERROR - Shared memory object " + m.object() +
                                 " refused: not owned by this user or open to others\n");
        EXPECT_EQ(AppMark_ReadData(mark), 0);
        EXPECT_EQ(AppMark_WriteData(mark, "{\"args\":1}", 10), 0);
        AppMark_Delete(&mark);

        struct stat after;
        ASSERT_EQ(lstat(ShmPath(m.object()).c_str(), &after), 0) << "not ours to remove";
        EXPECT_EQ(after.st_ino, before.st_ino);
        EXPECT_EQ(after.st_uid, before.st_uid);
        EXPECT_EQ(after.st_mode, before.st_mode);
        BlockView view(m.object());
        ASSERT_TRUE(view.ok());
        EXPECT_EQ(view.mark(), std::string("0123456789abcdef") + std::string(8, '\0'));
        EXPECT_EQ(view.state(), 0u);
    }
}

TEST(AppMark, AnotherUsersInstanceKeepsAnObjectOfItsOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    Marker m("users");
    const std::string theirs = ObjectName(m.name(), kOtherUser);
    shm_unlink(theirs.c_str());
    AppMark mark = nullptr;
    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());
    ASSERT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    const std::string ours = view.mark();

    // The same application started by the other user holds a marker of its own, in an object it
    // owns, and sends nothing into this user's block.
    const auto answer = TextFromChild(BecomeOtherUser, [&]() -> std::string {
        AppMark other = nullptr;
        AppMark_Create(&other);
        AppMark_SetName(other, m.name().c_str());
        const int64_t acquired = AppMark_AcquireWithTimeout(other, 0);
        const int64_t ticked = AppMark_ReadData(other);
        struct stat info;
        const bool owned = lstat(ShmPath(ObjectName(m.name(), kOtherUser)).c_str(), &info) == 0 &&
                           info.st_uid == kOtherUser && (info.st_mode & 0777) == 0600;
        AppMark_Delete(&other);
        return std::to_string(acquired) + " " + std::to_string(ticked) + " " +
               (owned ? "owned" : "not owned");
    });
    EXPECT_EQ(answer, std::optional<std::string>("1 1 owned"));
    EXPECT_FALSE(ObjectExists(theirs)) << "its owner removed it when it ended";
    EXPECT_EQ(view.mark(), ours);
    EXPECT_EQ(view.state(), 0u);
    AppMark_Delete(&mark);
}

// ---- Acquiring within one process -----------------------------------------------------------

TEST(AppMark, SecondTrackerWithoutTimeoutSeesTheOwnerAndLeavesTheMarkAlone) {
    Marker m("second");
    AppMark owner = nullptr, second = nullptr;
    AppMark_Create(&owner);
    AppMark_Create(&second);
    AppMark_SetName(owner, m.name().c_str());
    AppMark_SetName(second, m.name().c_str());
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    const std::string mark = view.mark();

    EXPECT_EQ(AppMark_AcquireWithTimeout(second, 0), 0);
    EXPECT_EQ(view.mark(), mark); // no probe written
    // Asking again after success answers at once without touching the block.
    view.bytes()[0] = 'q';
    EXPECT_EQ(AppMark_AcquireWithTimeout(owner, 5000), 1);
    EXPECT_EQ(view.bytes()[0], 'q');
    memcpy(view.bytes(), mark.data(), 1);

    // A start that only found the owner neither answers probes nor takes messages, and leaves
    // the object in place when it ends.
    view.bytes()[0] = 'z';
    view.setLength(3);
    memcpy(view.bytes() + 32, "abc", 3);
    view.setState(2);
    EXPECT_EQ(AppMark_ReadData(second), 0);
    EXPECT_EQ(view.bytes()[0], 'z');
    EXPECT_EQ(view.state(), 2u);
    AppMark_Delete(&second);
    EXPECT_TRUE(ObjectExists(m.object()));

    // The owner answers the probe with its mark and takes the message.
    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(view.mark(), mark);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.data, "abc");
    EXPECT_TRUE(r.terminated);
    EXPECT_EQ(view.state(), 0u);
    EXPECT_EQ(view.length(), 0u);
    EXPECT_EQ(view.data(4096), std::string(4096, '\0'));
    AppMark_Delete(&owner);
    EXPECT_FALSE(ObjectExists(m.object()));
}

TEST(AppMark, MessagesAreCutToTheBlockAndTheBlockIsFreedWithoutReceiver) {
    Marker m("message");
    AppMark owner = nullptr, sender = nullptr;
    AppMark_Create(&owner);
    AppMark_Create(&sender);
    AppMark_SetName(owner, m.name().c_str());
    AppMark_SetName(sender, m.name().c_str());
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    ASSERT_EQ(AppMark_AcquireWithTimeout(sender, 0), 0);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());

    // No receiver yet: the message is dropped and the block is free again.
    ASSERT_EQ(AppMark_WriteData(sender, "lost", 4), 1);
    EXPECT_EQ(view.state(), 2u);
    EXPECT_EQ(view.length(), 4u);
    EXPECT_EQ(view.data(4), "lost");
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(view.state(), 0u);

    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    const std::string big = Pattern(5000);
    ASSERT_EQ(AppMark_WriteData(sender, big.data(), (int32_t)big.size()), 1);
    EXPECT_EQ(view.length(), 4096u);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.data, big.substr(0, 4096));
    EXPECT_TRUE(r.terminated);

    ASSERT_EQ(AppMark_WriteData(sender, nullptr, 0), 1);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.calls, 2);
    EXPECT_EQ(r.data, "");
    // Idle ticks deliver nothing.
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.calls, 2);
    AppMark_Delete(&sender);
    AppMark_Delete(&owner);
}

TEST(AppMark, GarbageInTheBlockIsReportedAndCleared) {
    Marker m("garbage");
    AppMark owner = nullptr;
    AppMark_Create(&owner);
    AppMark_SetName(owner, m.name().c_str());
    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    struct {
        uint32_t state;
        uint32_t length;
        const char* line;
    } cases[] = {
        {7, 5, "Invalid data from another instance discarded (state 7, length 5)\n"},
        {2, 4097, "Invalid data from another instance discarded (state 2, length 4097)\n"},
        {0xFFFFFFFF, 0xFFFFFFFF,
         "Invalid data from another instance discarded (state 4294967295, length 4294967295)\n"},
    };
    for (const auto& c : cases) {
        memset(view.bytes() + 32, 0xEE, 4096);
        view.setLength(c.length);
        view.setState(c.state);
        TakeLog();
        EXPECT_EQ(AppMark_ReadData(owner), 1);
        EXPECT_NE(TakeLog().find(c.line), std::string::npos) << c.line;
        EXPECT_EQ(r.calls, 0);
        EXPECT_EQ(view.state(), 0u);
        EXPECT_EQ(view.length(), 0u);
        EXPECT_EQ(view.data(4096), std::string(4096, '\0'));
    }
    // A sender that died while writing leaves the block claimed: the owner leaves it alone.
    view.setState(1);
    view.setLength(2);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(view.state(), 1u);
    EXPECT_EQ(TakeLog(), "");
    AppMark_Delete(&owner);
}

TEST(AppMark, ObjectsOfTheWrongKindOrSizeAreReportedOrRepaired) {
    Marker m("kind");
    AppMark mark = nullptr;
    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());

    // A directory where the object belongs cannot be opened (the system reports it as an invalid
    // name): logged, and the start runs alone.
    ASSERT_EQ(mkdir(ShmPath(m.object()).c_str(), 0700), 0);
    TakeLog();
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    const std::string opened = TakeLog();
    EXPECT_NE(opened.find("Unable to open shared memory object " + m.object() + " [LE: 100022]\n"),
              std::string::npos)
        << opened;
    EXPECT_EQ(AppMark_ReadData(mark), 0);
    rmdir(ShmPath(m.object()).c_str());

    // A FIFO cannot hold the block: logged and removed, so that the next start creates it.
    ASSERT_EQ(mkfifo(ShmPath(m.object()).c_str(), 0600), 0);
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    EXPECT_NE(TakeLog().find("Unable to write file " + m.object() + " [LE: 100022]\n"), std::string::npos);
    EXPECT_EQ(AppMark_ReadData(mark), 0);
    EXPECT_FALSE(ObjectExists(m.object()));

    // A short object (garbage from elsewhere) is brought to the block's size before it is mapped;
    // its zero first byte reads as free.
    int fd = shm_open(m.object().c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 100), 0);
    ASSERT_EQ(pwrite(fd, "\0garbage", 8, 0), 8);
    close(fd);
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    struct stat info;
    ASSERT_EQ(lstat(ShmPath(m.object()).c_str(), &info), 0);
    EXPECT_EQ(info.st_size, (off_t)kBlockSize);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark()));
    EXPECT_EQ(AppMark_ReadData(mark), 1);
    EXPECT_EQ(TakeLog(), "");
    AppMark_Delete(&mark);
}

TEST(AppMark, GarbageMarkWithoutOwnerIsTakenOverAfterTheProbe) {
    Marker m("stale");
    int fd = shm_open(m.object().c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, 64), 0); // wrong size as well
    ASSERT_EQ(pwrite(fd, "\xff\xfegarbage-mark", 14, 0), 14);
    close(fd);

    AppMark mark = nullptr;
    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());
    // Without waiting, anything in the mark counts as an owner.
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 0);
    AppMark_Delete(&mark);
    EXPECT_TRUE(ObjectExists(m.object()));

    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 1000), 1);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark())) << view.mark();
    AppMark_Delete(&mark);
    EXPECT_FALSE(ObjectExists(m.object()));
}

TEST(AppMark, ReceiverMayEndTheMarkerWhileItRuns) {
    ASSERT_EQ(Platform_CommonInit(), 1);
    Marker m("reentrant");
    ASSERT_EQ(Platform_Singleton(m.name().c_str(), 0), 0);
    const std::string object = ObjectName(m.name() + "-EXCLUSIVE");
    BlockView view(object);
    ASSERT_TRUE(view.ok());
    memcpy(view.bytes() + 32, "bye", 3);
    view.setLength(3);
    view.setState(2);
    static int32_t calls = 0;
    Platform_SingletonSetDataCallback(nullptr, [](void*, const char* data, int32_t length) -> int32_t {
        calls++;
        EXPECT_EQ(std::string(data, (size_t)length), "bye");
        return (int32_t)Platform_SingletonEnd();
    });
    EXPECT_EQ(Platform_SingletonReadData(), 1);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(Platform_SingletonReadData(), 0);
    EXPECT_FALSE(ObjectExists(object));
    Platform_CommonRemove();
}

TEST(AppMark, SenderWaitsForTheBlockAndGivesUpAfterTwentySeconds) {
    Marker m("busy");
    AppMark owner = nullptr, sender = nullptr;
    AppMark_Create(&owner);
    AppMark_Create(&sender);
    AppMark_SetName(owner, m.name().c_str());
    AppMark_SetName(sender, m.name().c_str());
    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    ASSERT_EQ(AppMark_AcquireWithTimeout(sender, 0), 0);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());

    // A message is waiting: the second sender retries until the owner has taken it.
    ASSERT_EQ(AppMark_WriteData(sender, "first", 5), 1);
    std::atomic<int64_t> sent{-1};
    std::thread later([&] { sent = AppMark_WriteData(sender, "second", 6); });
    // The block stays ready until the owner's tick, so the sender is still waiting after
    // several of its tries.
    usleep(1200 * 1000);
    EXPECT_EQ(sent.load(), -1);
    EXPECT_EQ(view.data(5), "first");
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.data, "first");
    later.join();
    EXPECT_EQ(sent.load(), 1);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.data, "second");
    EXPECT_EQ(r.calls, 2);

    // A block that stays claimed: 40 more tries, then the failure is logged.
    view.setState(1);
    TakeLog();
    EXPECT_EQ(AppMark_WriteData(sender, "never", 5), 0);
    EXPECT_NE(TakeLog().find("Unable to send data to the first instance"), std::string::npos);
    EXPECT_EQ(view.state(), 1u);
    EXPECT_EQ(view.length(), 0u);
    AppMark_Delete(&sender);
    AppMark_Delete(&owner);
}

// ---- Two processes --------------------------------------------------------------------------

TEST(AppMarkProcesses, LaterStartFindsTheTickingOwnerAndSendsItsMessage) {
    Marker m("ticking");
    Child owner("owner", m.name());
    ASSERT_TRUE(owner.started());
    ASSERT_EQ(owner.ReadLine(), "owner");

    AppMark mark = nullptr;
    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 0);
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 3000), 1); // already mapped: answers at once
    AppMark_Delete(&mark);

    // A prober with time to wait gets the live owner's answer and then sends.
    {
        Child prober("prober", m.name(), {"SINGLETON_TEST_TIMEOUT=3000", "SINGLETON_TEST_MESSAGE_SIZE=5000"});
        ASSERT_EQ(prober.ReadLine(), "other");
        ASSERT_EQ(prober.ReadLine(), "sent");
        EXPECT_EQ(prober.Finish(), 0);
    }
    ASSERT_EQ(owner.ReadLine(), "message 4096");
    EXPECT_EQ(owner.ReadBytes(4096), Pattern(4096));
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark()));

    EXPECT_EQ(owner.Finish(), 0);
    EXPECT_FALSE(ObjectExists(m.object()));
}

TEST(AppMarkProcesses, OwnerKilledWithoutCleanupIsTakenOverWithItsBlock) {
    Marker m("crash");
    Child owner("owner", m.name());
    ASSERT_TRUE(owner.started());
    ASSERT_EQ(owner.ReadLine(), "owner");
    struct stat before;
    ASSERT_EQ(lstat(ShmPath(m.object()).c_str(), &before), 0);
    {
        BlockView view(m.object());
        ASSERT_TRUE(view.ok());
        memcpy(view.bytes() + 32, "left behind", 11);
    }
    owner.Kill();
    ASSERT_TRUE(ObjectExists(m.object()));

    // Without waiting, the dead owner's mark still counts.
    AppMark mark = nullptr;
    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 0);
    AppMark_Delete(&mark);

    AppMark_Create(&mark);
    AppMark_SetName(mark, m.name().c_str());
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 1000), 1);
    struct stat after;
    ASSERT_EQ(lstat(ShmPath(m.object()).c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    BlockView view(m.object());
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark())) << view.mark();
    EXPECT_EQ(view.data(11), "left behind");

    // The new owner answers the next start and receives its message while it ticks.
    Received r;
    AppMark_SetOnDataCallback(mark, &r, Receive);
    {
        Child prober("prober", m.name(), {"SINGLETON_TEST_TIMEOUT=2000", "SINGLETON_TEST_MESSAGE_SIZE=10"});
        EXPECT_EQ(prober.ReadLine(mark), "other");
        EXPECT_EQ(prober.ReadLine(mark), "sent");
        EXPECT_EQ(prober.Finish(), 0);
    }
    EXPECT_EQ(AppMark_ReadData(mark), 1);
    EXPECT_EQ(r.calls, 1);
    EXPECT_EQ(r.data, Pattern(10));
    AppMark_Delete(&mark);
    EXPECT_FALSE(ObjectExists(m.object()));
}

TEST(AppMarkProcesses, StartsAtTheSameMomentGetOneOwner) {
    Marker m("race");
    constexpr int kRacers = 6;
    std::vector<std::unique_ptr<Child>> racers;
    for (int i = 0; i < kRacers; i++) {
        racers.push_back(std::make_unique<Child>("racer", m.name()));
        ASSERT_TRUE(racers.back()->started());
    }
    for (auto& r : racers) r->Send('g');
    int owners = 0, others = 0;
    for (auto& r : racers) {
        const std::string line = r->ReadLine();
        owners += line == "owner";
        others += line == "other";
    }
    EXPECT_EQ(owners, 1);
    EXPECT_EQ(others, kRacers - 1);
    for (auto& r : racers) EXPECT_EQ(r->Finish(), 0);
}

// ---- The process-wide entry points ----------------------------------------------------------

TEST(PlatformSingleton, ForwardsToTheProcessTracker) {
    ASSERT_EQ(Platform_CommonInit(), 1);
    char buffer[PLATFORM_SINGLETON_NAME_CAPACITY + 20];
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 0);
    EXPECT_EQ(Platform_SingletonReadData(), 0);
    EXPECT_EQ(Platform_SingletonSendData("x", 1), 0);
    EXPECT_EQ(Platform_SingletonSetDataCallback(nullptr, Receive), 0);
    EXPECT_EQ(Platform_SingletonEnd(), 1);

    Marker app("platform");
    const std::string object = ObjectName(app.name() + "-EXCLUSIVE");
    shm_unlink(object.c_str());
    EXPECT_EQ(Platform_Singleton(app.name().c_str(), 0), 0); // this process holds it
    EXPECT_EQ(Platform_Singleton(app.name().c_str(), 0), 0);
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), app.name() + "-EXCLUSIVE");
    EXPECT_TRUE(ObjectExists(object));

    // Another instance of the same application.
    AppMark other = nullptr;
    AppMark_Create(&other);
    AppMark_SetName(other, (app.name() + "-EXCLUSIVE").c_str());
    EXPECT_EQ(AppMark_AcquireWithTimeout(other, 0), 0);
    Received r;
    EXPECT_EQ(Platform_SingletonSetDataCallback(&r, Receive), 1);
    EXPECT_EQ(AppMark_WriteData(other, "{\"a\":1}", 7), 1);
    EXPECT_EQ(Platform_SingletonReadData(), 1);
    EXPECT_EQ(r.data, "{\"a\":1}");
    AppMark_Delete(&other);

    EXPECT_EQ(Platform_SingletonEnd(), 1);
    EXPECT_EQ(GlobalPlatform->Slots[PLATFORM_SLOT_APP_MARK], nullptr);
    EXPECT_FALSE(ObjectExists(object));
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");

    // The marker name lives in a 320-byte buffer: a long application name is cut.
    const std::string longName(400, 'n');
    EXPECT_EQ(Platform_Singleton(longName.c_str(), 0), 0);
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), std::string(319, 'n'));
    EXPECT_EQ(Platform_SingletonGetName(buffer, 10), 0);
    EXPECT_STREQ(buffer, "nnnnnnnnn");
    EXPECT_EQ(Platform_SingletonEnd(), 1);
    Platform_CommonRemove();
}

TEST(PlatformSingleton, NeedsThePlatformRecord) {
    ASSERT_EQ(GlobalPlatform, nullptr);
    EXPECT_EQ(Platform_SingletonReadData(), 0);
    EXPECT_EQ(Platform_SingletonEnd(), 1);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_Singleton("app", 0);
        },
        AbortRegex("Pointer is NULL\n"));
    ASSERT_EQ(Platform_CommonInit(), 1);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_Singleton(nullptr, 0);
        },
        AbortRegex("Pointer is NULL\n"));
    Platform_CommonRemove();
}

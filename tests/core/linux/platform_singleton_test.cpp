// Tests of the single-instance marker: the shared-memory object named per user, its block of owner
// mark, state, length and message, objects of other users or open to others, damaged blocks, and
// instances in several processes (a later start, a crashed owner, starts at the same moment).
#include "core/linux/platform_singleton.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <poll.h>
#include <string>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "core/crypto/hash.h"
#include "core/crypto/md5.h"
#include "core/linux/platform.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"

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

std::string ShmPath(const std::string& object) {
    return "/dev/shm/" + object;
}

bool ObjectExists(const std::string& object) {
    struct stat info;
    return lstat(ShmPath(object).c_str(), &info) == 0;
}

// A marker name of this test process, with its object removed before and after the test.
struct Marker {
    explicit Marker(const std::string& tag)
        : name("singleton-test-" + std::to_string(getpid()) + "-" + tag), object(ObjectName(name)) {
        shm_unlink(object.c_str());
    }
    ~Marker() { shm_unlink(object.c_str()); }
    const std::string name, object;
};

// A tracker of the marker, deleted at the end of the scope.
struct Mark {
    explicit Mark(const std::string& name) {
        AppMark_Create(&mark);
        AppMark_SetName(mark, name.c_str());
    }
    ~Mark() { AppMark_Delete(&mark); }
    operator AppMark() const { return mark; }
    AppMark mark = nullptr;
};

// The test's own mapping of a marker's block, to look at and tamper with its fields.
class BlockView {
  public:
    explicit BlockView(const std::string& object) {
        const int fd = shm_open(object.c_str(), O_RDWR, 0);
        struct stat info;
        if (fd >= 0 && fstat(fd, &info) == 0 && info.st_size >= (off_t)kBlockSize) {
            void* m = mmap(nullptr, kBlockSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (m != MAP_FAILED) map_ = static_cast<uint8_t*>(m);
        }
        if (fd >= 0) close(fd);
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
    uint32_t state() { return word(24); }
    uint32_t length() { return word(28); }
    void set(uint32_t state, uint32_t length, const std::string& data = "") {
        memcpy(map_ + 28, &length, 4);
        memcpy(map_ + 32, data.data(), data.size());
        memcpy(map_ + 24, &state, 4);
    }
    std::string data(size_t length) { return std::string(reinterpret_cast<char*>(map_ + 32), length); }
    bool clear() { return state() == 0 && length() == 0 && data(4096) == std::string(4096, '\0'); }

  private:
    uint8_t* map_ = nullptr;
};

// Takes the sender's lock on the state word through a description of its own, as a live sender
// holds it from its claim until it has published.
bool LockState(int fd) {
    struct flock range;
    memset(&range, 0, sizeof(range));
    range.l_type = F_WRLCK;
    range.l_whence = SEEK_SET;
    range.l_start = 24;
    range.l_len = 4;
    return fcntl(fd, F_OFD_SETLK, &range) == 0;
}

// An owner mark: 16 lower-case hexadecimal digits, then zero bytes.
bool IsOwnerMark(const std::string& mark) {
    return mark.size() == 24 && mark.find_first_not_of("0123456789abcdef") == 16 &&
           mark.substr(16) == std::string(8, '\0');
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

TEST(AppMark, ObjectIsNamedAfterTheUserAndTheMarkersDigestAndHoldsTheBlock) {
    // The first 31 digits of MD5("<effective user id>:abc"), without a leading slash; for root
    // MD5("0:abc") = dfc34e8cdc4b7f0fd9888d56a4f17534.
    const std::string object = ObjectName("abc");
    EXPECT_TRUE(geteuid() != 0 || object == "dfc34e8cdc4b7f0fd9888d56a4f1753") << object;
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
    EXPECT_TRUE(view.clear());
    // The owner removes the object when it ends.
    EXPECT_EQ(AppMark_Delete(&mark), 1);
    EXPECT_EQ(mark, nullptr);
    EXPECT_FALSE(ObjectExists(object));
    EXPECT_EQ(TakeLog(), "");
}

TEST(AppMark, NameAndHandleOperations) {
    AppMark mark = nullptr;
    ASSERT_EQ(AppMark_Create(&mark), 1);
    char buffer[8] = "x";
    EXPECT_EQ(AppMark_GetName(mark, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(AppMark_SetName(mark, "first name"), 1);
    EXPECT_EQ(AppMark_SetName(mark, "abc"), 1);
    const struct {
        int32_t Capacity;
        int64_t Result;
        const char* Text;
    } cases[] = {{8, 1, "abc"}, {4, 1, "abc"}, {3, 0, "ab"}, {1, 0, ""}};
    for (const auto& c : cases) {
        memset(buffer, 'x', sizeof(buffer));
        EXPECT_EQ(AppMark_GetName(mark, buffer, c.Capacity), c.Result) << c.Capacity;
        EXPECT_STREQ(buffer, c.Text) << c.Capacity;
    }
    EXPECT_EQ(AppMark_GetName(mark, buffer, 0), 0);
    // Nothing mapped yet: no tick, no message.
    Received r;
    EXPECT_EQ(AppMark_SetOnDataCallback(mark, &r, Receive), 1);
    EXPECT_EQ(AppMark_ReadData(mark) + AppMark_WriteData(mark, "x", 1) + AppMark_WriteData(mark, "x", -1), 0);
    // Data is needed only when there is some.
    ExpectAborts({{"data", [&] { AppMark_WriteData(mark, nullptr, 3); }, AbortRegex("Pointer is NULL\n")}});
    EXPECT_EQ(AppMark_Delete(&mark), 1);
    EXPECT_EQ(mark, nullptr);
    EXPECT_EQ(AppMark_Delete(&mark), 1);
}

TEST(AppMark, EmptyNameIsReportedAndRunsAlone) {
    Mark mark("");
    TakeLog();
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 1000), 1);
    EXPECT_NE(TakeLog().find("App name is not specified\n"), std::string::npos);
    EXPECT_EQ(AppMark_ReadData(mark), 0);
}

// ---- Objects of other users ----------------------------------------------------------------

TEST(AppMark, AnObjectOfAnotherUserOrOpenToOthersIsRefusedAndLeftInPlace) {
    const struct {
        const char* What;
        bool OtherUser;
        mode_t Mode;
    } cases[] = {{"another user's, open to all", true, 0666},
                 {"another user's, private", true, 0600},
                 {"ours, readable by the group", false, 0640},
                 {"ours, writable by others", false, 0602}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        if (c.OtherUser && geteuid() != 0) continue; // needs root to act as a second user
        Marker m(c.OtherUser ? "planted" : "loose");
        // Made first where this user's instance will look, with a live-looking owner mark, so
        // that a start that used it would believe another instance runs.
        auto plant = [&]() -> std::string {
            const int fd = shm_open(m.object.c_str(), O_RDWR | O_CREAT | O_EXCL, c.Mode);
            const bool ok = fd >= 0 && fchmod(fd, c.Mode) == 0 && ftruncate(fd, kBlockSize) == 0 &&
                            pwrite(fd, "0123456789abcdef", 16, 0) == 16;
            if (fd >= 0) close(fd);
            return ok ? "made" : "failed";
        };
        ASSERT_EQ(c.OtherUser ? TextFromChild(BecomeOtherUser, plant) : plant(), "made");
        struct stat before, after;
        ASSERT_EQ(lstat(ShmPath(m.object).c_str(), &before), 0);
        {
            // Like any set-up failure: the start runs alone, and it neither answers probes in that
            // object nor reads or writes messages there.
            Mark mark(m.name);
            TakeLog();
            EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
            EXPECT_EQ(TakeLog(), "ERROR - Shared memory object " + m.object +
                                     " refused: not owned by this user or open to others\n");
            EXPECT_EQ(AppMark_ReadData(mark), 0);
            EXPECT_EQ(AppMark_WriteData(mark, "{\"args\":1}", 10), 0);
        }
        ASSERT_EQ(lstat(ShmPath(m.object).c_str(), &after), 0) << "not ours to remove";
        EXPECT_EQ(std::make_tuple(after.st_ino, after.st_uid, after.st_mode),
                  std::make_tuple(before.st_ino, before.st_uid, before.st_mode));
        BlockView view(m.object);
        ASSERT_TRUE(view.ok());
        EXPECT_EQ(view.mark(), std::string("0123456789abcdef") + std::string(8, '\0'));
        EXPECT_EQ(view.state(), 0u);
    }
}

TEST(AppMark, AnotherUsersInstanceKeepsAnObjectOfItsOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    Marker m("users");
    const std::string theirs = ObjectName(m.name, kOtherUser);
    shm_unlink(theirs.c_str());
    Mark mark(m.name);
    ASSERT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    const std::string ours = view.mark();
    // The same application started by the other user holds a marker of its own, in an object it
    // owns, and sends nothing into this user's block.
    const auto answer = TextFromChild(BecomeOtherUser, [&]() -> std::string {
        Mark other(m.name);
        const int64_t acquired = AppMark_AcquireWithTimeout(other, 0);
        const int64_t ticked = AppMark_ReadData(other);
        struct stat info;
        const bool owned = lstat(ShmPath(theirs).c_str(), &info) == 0 && info.st_uid == kOtherUser &&
                           (info.st_mode & 0777) == 0600;
        return std::to_string(acquired) + " " + std::to_string(ticked) + (owned ? " owned" : " not owned");
    });
    EXPECT_EQ(answer, std::optional<std::string>("1 1 owned"));
    EXPECT_FALSE(ObjectExists(theirs)) << "its owner removed it when it ended";
    EXPECT_EQ(view.mark(), ours);
    EXPECT_EQ(view.state(), 0u);
}

// ---- Acquiring within one process -----------------------------------------------------------

TEST(AppMark, SecondTrackerWithoutTimeoutSeesTheOwnerAndLeavesTheMarkAlone) {
    Marker m("second");
    Mark owner(m.name);
    auto second = std::make_unique<Mark>(m.name);
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    const std::string mark = view.mark();
    EXPECT_EQ(AppMark_AcquireWithTimeout(*second, 0), 0);
    EXPECT_EQ(view.mark(), mark); // no probe written
    // Asking again after success answers at once without touching the block.
    view.bytes()[0] = 'q';
    EXPECT_EQ(AppMark_AcquireWithTimeout(owner, 5000), 1);
    EXPECT_EQ(view.bytes()[0], 'q');
    // A start that only found the owner neither answers probes nor takes messages, and leaves
    // the object in place when it ends.
    view.bytes()[0] = 'z';
    view.set(2, 3, "abc");
    EXPECT_EQ(AppMark_ReadData(*second), 0);
    EXPECT_EQ(view.bytes()[0], 'z');
    EXPECT_EQ(view.state(), 2u);
    second.reset();
    EXPECT_TRUE(ObjectExists(m.object));
    // The owner answers the probe with its mark and takes the message.
    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(view.mark(), mark);
    EXPECT_EQ(std::make_tuple(r.calls, r.data, r.terminated), std::make_tuple(1, std::string("abc"), true));
    EXPECT_TRUE(view.clear());
}

TEST(AppMark, MessagesAreCutToTheBlockAndTheBlockIsFreedWithoutReceiver) {
    Marker m("message");
    Mark owner(m.name), sender(m.name);
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    ASSERT_EQ(AppMark_AcquireWithTimeout(sender, 0), 0);
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    // No receiver yet: the message is dropped and the block is free again.
    ASSERT_EQ(AppMark_WriteData(sender, "lost", 4), 1);
    EXPECT_EQ(std::make_tuple(view.state(), view.length(), view.data(4)),
              std::make_tuple(2u, 4u, std::string("lost")));
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(view.state(), 0u);

    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    const std::string big = Pattern(5000);
    ASSERT_EQ(AppMark_WriteData(sender, big.data(), (int32_t)big.size()), 1);
    EXPECT_EQ(view.length(), 4096u);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(std::make_tuple(r.calls, r.data, r.terminated), std::make_tuple(1, big.substr(0, 4096), true));
    ASSERT_EQ(AppMark_WriteData(sender, nullptr, 0), 1);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(std::make_tuple(r.calls, r.data), std::make_tuple(2, std::string()));
    // Idle ticks deliver nothing.
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.calls, 2);
}

TEST(AppMark, GarbageInTheBlockIsReportedAndCleared) {
    Marker m("garbage");
    Mark owner(m.name);
    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    for (const auto& [state, length] : {std::pair{7u, 5u}, {2u, 4097u}, {0xFFFFFFFFu, 0xFFFFFFFFu}}) {
        view.set(state, length, std::string(4096, '\xEE'));
        TakeLog();
        EXPECT_EQ(AppMark_ReadData(owner), 1);
        EXPECT_NE(TakeLog().find("Invalid data from another instance discarded (state " +
                                 std::to_string(state) + ", length " + std::to_string(length) + ")\n"),
                  std::string::npos)
            << state;
        EXPECT_EQ(r.calls, 0);
        EXPECT_TRUE(view.clear());
    }
    // A sender that died while writing leaves the block claimed: the owner leaves it alone.
    view.set(1, 2);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(view.state(), 1u);
    EXPECT_EQ(TakeLog(), "");
}

TEST(AppMark, ObjectsOfTheWrongKindOrSizeAreReportedOrRepaired) {
    Marker m("kind");
    Mark mark(m.name);
    // A directory where the object belongs cannot be opened (the system reports it as an invalid
    // name): logged, and the start runs alone.
    ASSERT_EQ(mkdir(ShmPath(m.object).c_str(), 0700), 0);
    TakeLog();
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    EXPECT_NE(TakeLog().find("Unable to open shared memory object " + m.object + " [LE: 100022]\n"),
              std::string::npos);
    EXPECT_EQ(AppMark_ReadData(mark), 0);
    rmdir(ShmPath(m.object).c_str());
    // A FIFO cannot hold the block: logged and removed, so that the next start creates it.
    ASSERT_EQ(mkfifo(ShmPath(m.object).c_str(), 0600), 0);
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    EXPECT_NE(TakeLog().find("Unable to write file " + m.object + " [LE: 100022]\n"), std::string::npos);
    EXPECT_EQ(AppMark_ReadData(mark), 0);
    EXPECT_FALSE(ObjectExists(m.object));
    // A short object (garbage from elsewhere) is brought to the block's size before it is mapped;
    // its zero first byte reads as free.
    const int fd = shm_open(m.object.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_TRUE(fd >= 0 && ftruncate(fd, 100) == 0 && pwrite(fd, "\0garbage", 8, 0) == 8);
    close(fd);
    EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 1);
    struct stat info;
    ASSERT_EQ(lstat(ShmPath(m.object).c_str(), &info), 0);
    EXPECT_EQ(info.st_size, (off_t)kBlockSize);
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark()));
    EXPECT_EQ(AppMark_ReadData(mark), 1);
    EXPECT_EQ(TakeLog(), "");
}

TEST(AppMark, GarbageMarkWithoutOwnerIsTakenOverAfterTheProbe) {
    Marker m("stale");
    const int fd = shm_open(m.object.c_str(), O_RDWR | O_CREAT, 0600);
    // The wrong size as well.
    ASSERT_TRUE(fd >= 0 && ftruncate(fd, 64) == 0 && pwrite(fd, "\xff\xfegarbage-mark", 14, 0) == 14);
    close(fd);
    // Without waiting, anything in the mark counts as an owner.
    EXPECT_EQ(AppMark_AcquireWithTimeout(Mark(m.name), 0), 0);
    EXPECT_TRUE(ObjectExists(m.object));
    {
        Mark mark(m.name);
        EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 1000), 1);
        BlockView view(m.object);
        ASSERT_TRUE(view.ok());
        EXPECT_TRUE(IsOwnerMark(view.mark())) << view.mark();
    }
    EXPECT_FALSE(ObjectExists(m.object));
}

TEST(AppMark, ReceiverMayEndTheMarkerWhileItRuns) {
    ASSERT_EQ(Platform_CommonInit(), 1);
    Marker m("reentrant");
    ASSERT_EQ(Platform_Singleton(m.name.c_str(), 0), 0);
    const std::string object = ObjectName(m.name + "-EXCLUSIVE");
    BlockView view(object);
    ASSERT_TRUE(view.ok());
    view.set(2, 3, "bye");
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
    Mark owner(m.name), sender(m.name);
    Received r;
    AppMark_SetOnDataCallback(owner, &r, Receive);
    ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
    ASSERT_EQ(AppMark_AcquireWithTimeout(sender, 0), 0);
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    // A message is waiting: the second sender retries until the owner has taken it. The block
    // stays ready until the owner's tick, so the sender is still waiting after several tries.
    ASSERT_EQ(AppMark_WriteData(sender, "first", 5), 1);
    std::atomic<int64_t> sent{-1};
    std::thread later([&] { sent = AppMark_WriteData(sender, "second", 6); });
    usleep(1200 * 1000);
    EXPECT_EQ(sent.load(), -1);
    EXPECT_EQ(view.data(5), "first");
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(r.data, "first");
    later.join();
    EXPECT_EQ(sent.load(), 1);
    EXPECT_EQ(AppMark_ReadData(owner), 1);
    EXPECT_EQ(std::make_tuple(r.calls, r.data), std::make_tuple(2, std::string("second")));
    // A block that a live sender keeps claimed: 40 more tries, then the failure is logged.
    const int fd = shm_open(m.object.c_str(), O_RDWR, 0);
    ASSERT_TRUE(fd >= 0 && LockState(fd));
    view.set(1, 0);
    TakeLog();
    EXPECT_EQ(AppMark_WriteData(sender, "never", 5), 0);
    EXPECT_NE(TakeLog().find("Unable to send data to the first instance"), std::string::npos);
    EXPECT_EQ(std::make_pair(view.state(), view.length()), std::make_pair(1u, 0u));
    close(fd);
}

// ---- Other processes ------------------------------------------------------------------------

void Report(int fd, const std::string& line) {
    (void)!write(fd, line.data(), line.size());
}

// A forked instance: `role` runs there with the end of a command pipe (its end of input: leave)
// and of a report pipe, one line per report. Each child keeps only its own ends, so that its
// input ends when the test closes it.
class Child {
  public:
    explicit Child(const std::function<void(int commands, int reports)>& role) {
        int command[2], report[2];
        if (pipe2(command, O_CLOEXEC) != 0 || pipe2(report, O_CLOEXEC) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            for (int fd : CommandEnds()) close(fd);
            close(command[1]);
            close(report[0]);
            role(command[0], report[1]);
            _exit(0);
        }
        close(command[0]);
        close(report[1]);
        CommandEnds().push_back(commandFd_ = command[1]);
        reportFd_ = report[0];
    }
    ~Child() {
        Finish();
        close(reportFd_);
    }
    // One report line; "" when the child ends or stays silent for a minute. `tick` runs while
    // waiting (the test's own main loop).
    std::string ReadLine(AppMark tick = nullptr) {
        std::string line;
        for (char c;;) {
            struct pollfd in = {reportFd_, POLLIN, 0};
            int ready = 0;
            StepUntil([&] { return ready != 0; },
                      [&] {
                          if (tick) AppMark_ReadData(tick);
                          ready = poll(&in, 1, 15);
                      },
                      60);
            if (ready <= 0 || read(reportFd_, &c, 1) != 1 || c == '\n') return line;
            line += c;
        }
    }
    void Send(char byte) { (void)!write(commandFd_, &byte, 1); }
    // Ends its input and waits a minute at most; the exit status (-1 when killed).
    int Finish(bool kill = false) {
        if (pid_ > 0 && kill) ::kill(pid_, SIGKILL);
        if (commandFd_ >= 0) {
            close(commandFd_);
            CommandEnds().erase(std::find(CommandEnds().begin(), CommandEnds().end(), commandFd_));
        }
        commandFd_ = -1;
        int status = 0;
        if (pid_ > 0 && !Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) {
            ::kill(pid_, SIGKILL);
            waitpid(pid_, &status, 0);
        }
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

  private:
    static std::vector<int>& CommandEnds() {
        static std::vector<int> ends;
        return ends;
    }
    pid_t pid_ = -1;
    int commandFd_ = -1, reportFd_ = -1;
};

void WaitForInputEnd(int commands) {
    for (char byte; read(commands, &byte, 1) > 0;) {
    }
}

// Holds the marker and ticks like a main loop, reporting every message it receives, until its
// input ends.
Child Owner(const std::string& name) {
    return Child([name](int commands, int reports) {
        Mark mark(name);
        AppMark_SetOnDataCallback(mark, &reports, [](void* fd, const char* data, int32_t length) -> int32_t {
            Report(*static_cast<int*>(fd),
                   "message " + std::to_string(length) + "\n" + std::string(data, length) + "\n");
            return 0;
        });
        Report(reports, AppMark_AcquireWithTimeout(mark, 0) ? "owner\n" : "other\n");
        for (struct pollfd in = {commands, POLLIN, 0};;) {
            AppMark_ReadData(mark);
            char byte;
            if (poll(&in, 1, 15) > 0 && read(commands, &byte, 1) <= 0) return;
        }
    });
}

// A later start: asks with a timeout, then sends a message of the given size.
Child Prober(const std::string& name, int32_t timeoutMs, int32_t size) {
    return Child([=](int commands, int reports) {
        Mark mark(name);
        const int64_t acquired = AppMark_AcquireWithTimeout(mark, timeoutMs);
        Report(reports, acquired ? "owner\n" : "other\n");
        if (!acquired)
            Report(reports, AppMark_WriteData(mark, Pattern(size).data(), size) ? "sent\n" : "failed\n");
        WaitForInputEnd(commands);
    });
}

TEST(AppMarkProcesses, LaterStartFindsTheTickingOwnerAndSendsItsMessage) {
    Marker m("ticking");
    Child owner = Owner(m.name);
    ASSERT_EQ(owner.ReadLine(), "owner");
    {
        Mark mark(m.name);
        EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 0), 0);
        EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 3000), 1); // already mapped: answers at once
    }
    // A prober with time to wait gets the live owner's answer and then sends.
    {
        Child prober = Prober(m.name, 3000, 5000);
        EXPECT_EQ(prober.ReadLine(), "other");
        EXPECT_EQ(prober.ReadLine(), "sent");
        EXPECT_EQ(prober.Finish(), 0);
    }
    EXPECT_EQ(owner.ReadLine(), "message 4096");
    EXPECT_EQ(owner.ReadLine(), Pattern(4096));
    BlockView view(m.object);
    ASSERT_TRUE(view.ok());
    EXPECT_TRUE(IsOwnerMark(view.mark()));
    EXPECT_EQ(owner.Finish(), 0);
    EXPECT_FALSE(ObjectExists(m.object));
}

TEST(AppMarkProcesses, OwnerKilledWithoutCleanupIsTakenOverWithItsBlock) {
    Marker m("crash");
    Child owner = Owner(m.name);
    ASSERT_EQ(owner.ReadLine(), "owner");
    struct stat before, after;
    ASSERT_EQ(lstat(ShmPath(m.object).c_str(), &before), 0);
    {
        BlockView view(m.object);
        ASSERT_TRUE(view.ok());
        memcpy(view.bytes() + 32, "left behind", 11);
    }
    owner.Finish(true);
    ASSERT_TRUE(ObjectExists(m.object));
    // Without waiting, the dead owner's mark still counts.
    EXPECT_EQ(AppMark_AcquireWithTimeout(Mark(m.name), 0), 0);
    {
        Mark mark(m.name);
        EXPECT_EQ(AppMark_AcquireWithTimeout(mark, 1000), 1);
        ASSERT_EQ(lstat(ShmPath(m.object).c_str(), &after), 0);
        EXPECT_EQ(after.st_ino, before.st_ino);
        BlockView view(m.object);
        ASSERT_TRUE(view.ok());
        EXPECT_TRUE(IsOwnerMark(view.mark())) << view.mark();
        EXPECT_EQ(view.data(11), "left behind");
        // The new owner answers the next start and receives its message while it ticks.
        Received r;
        AppMark_SetOnDataCallback(mark, &r, Receive);
        {
            Child prober = Prober(m.name, 2000, 10);
            EXPECT_EQ(prober.ReadLine(mark), "other");
            EXPECT_EQ(prober.ReadLine(mark), "sent");
            EXPECT_EQ(prober.Finish(), 0);
        }
        EXPECT_EQ(AppMark_ReadData(mark), 1);
        EXPECT_EQ(std::make_tuple(r.calls, r.data), std::make_tuple(1, Pattern(10)));
    }
    EXPECT_FALSE(ObjectExists(m.object));
}

// A sender that dies between its claim and its message leaves the block claimed, but not to a
// dead process: the next sender takes the block over, while a live claimant's is left alone.
TEST(AppMarkProcesses, SenderThatDiesMidClaimLeavesTheBlockToTheNext) {
    const struct {
        const char* What;
        bool Killed;
    } cases[] = {{"crashed while copying its message", false}, {"killed while holding its claim", true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.What);
        Marker m(c.Killed ? "killed" : "crashed");
        Mark owner(m.name), sender(m.name);
        Received r;
        AppMark_SetOnDataCallback(owner, &r, Receive);
        ASSERT_EQ(AppMark_AcquireWithTimeout(owner, 0), 1);
        ASSERT_EQ(AppMark_AcquireWithTimeout(sender, 0), 0);
        BlockView view(m.object);
        ASSERT_TRUE(view.ok());
        Child claimant([&](int commands, int reports) {
            if (!c.Killed) {
                // A real sender whose message lies in a page it may not read: the copy after
                // its claim stops the process.
                Mark mark(m.name);
                void* page = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
                const struct rlimit noCore = {0, 0};
                setrlimit(RLIMIT_CORE, &noCore);
                signal(SIGSEGV, SIG_DFL);
                if (page != MAP_FAILED && AppMark_AcquireWithTimeout(mark, 0) == 0)
                    AppMark_WriteData(mark, page, 100);
                Report(reports, "survived\n");
                return;
            }
            const int fd = shm_open(m.object.c_str(), O_RDWR, 0);
            BlockView mine(m.object);
            const bool claimed = fd >= 0 && mine.ok() && LockState(fd);
            if (claimed) mine.set(1, 3, "hal");
            Report(reports, claimed ? "claimed\n" : "failed\n");
            WaitForInputEnd(commands);
        });
        if (c.Killed) {
            ASSERT_EQ(claimant.ReadLine(), "claimed");
            std::atomic<int64_t> sent{-1};
            std::thread later([&] { sent = AppMark_WriteData(sender, "after", 5); });
            usleep(1200 * 1000);
            EXPECT_EQ(sent.load(), -1) << "a live claimant's block is taken";
            EXPECT_EQ(claimant.Finish(true), -1);
            later.join(); // the sender gives up after its 40 tries at most
            EXPECT_EQ(sent.load(), 1);
        } else {
            EXPECT_EQ(claimant.ReadLine(), "");
            EXPECT_NE(claimant.Finish(), 0);
            EXPECT_EQ(view.state(), 1u) << "the claim is left behind";
            EXPECT_EQ(AppMark_WriteData(sender, "after", 5), 1);
        }
        EXPECT_EQ(AppMark_ReadData(owner), 1);
        EXPECT_EQ(std::make_tuple(r.calls, r.data), std::make_tuple(1, std::string("after")));
        EXPECT_TRUE(view.clear());
    }
}

TEST(AppMarkProcesses, StartsAtTheSameMomentGetOneOwner) {
    Marker m("race");
    std::vector<std::unique_ptr<Child>> racers;
    for (int i = 0; i < 6; i++) {
        racers.push_back(std::make_unique<Child>([&](int commands, int reports) {
            Mark mark(m.name);
            char go;
            if (read(commands, &go, 1) != 1) return;
            Report(reports, AppMark_AcquireWithTimeout(mark, 0) ? "owner\n" : "other\n");
            WaitForInputEnd(commands);
        }));
    }
    for (auto& r : racers) r->Send('g');
    std::vector<std::string> lines;
    for (auto& r : racers) lines.push_back(r->ReadLine());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "owner"), 1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "other"), 5);
    for (auto& r : racers) EXPECT_EQ(r->Finish(), 0);
}

// ---- The process-wide entry points ----------------------------------------------------------

TEST(PlatformSingleton, ForwardsToTheProcessTracker) {
    // Without the platform record there is nothing to read, and nothing to end.
    EXPECT_EQ(Platform_SingletonReadData(), 0);
    EXPECT_EQ(Platform_SingletonEnd(), 1);
    ASSERT_EQ(Platform_CommonInit(), 1);
    char buffer[PLATFORM_SINGLETON_NAME_CAPACITY + 20];
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)) + Platform_SingletonReadData() +
                  Platform_SingletonSendData("x", 1) + Platform_SingletonSetDataCallback(nullptr, Receive),
              0);
    EXPECT_EQ(Platform_SingletonEnd(), 1);

    Marker app("platform");
    const std::string object = ObjectName(app.name + "-EXCLUSIVE");
    shm_unlink(object.c_str());
    EXPECT_EQ(Platform_Singleton(app.name.c_str(), 0), 0); // this process holds it
    EXPECT_EQ(Platform_Singleton(app.name.c_str(), 0), 0);
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), app.name + "-EXCLUSIVE");
    EXPECT_TRUE(ObjectExists(object));
    {
        // Another instance of the same application.
        Mark other(app.name + "-EXCLUSIVE");
        EXPECT_EQ(AppMark_AcquireWithTimeout(other, 0), 0);
        Received r;
        EXPECT_EQ(Platform_SingletonSetDataCallback(&r, Receive), 1);
        EXPECT_EQ(AppMark_WriteData(other, "{\"a\":1}", 7), 1);
        EXPECT_EQ(Platform_SingletonReadData(), 1);
        EXPECT_EQ(r.data, "{\"a\":1}");
    }
    EXPECT_EQ(Platform_SingletonEnd(), 1);
    EXPECT_EQ(GlobalPlatform->Slots[PLATFORM_SLOT_APP_MARK], nullptr);
    EXPECT_FALSE(ObjectExists(object));
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");

    // The marker name lives in a 320-byte buffer: a long application name is cut.
    EXPECT_EQ(Platform_Singleton(std::string(400, 'n').c_str(), 0), 0);
    EXPECT_EQ(Platform_SingletonGetName(buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), std::string(319, 'n'));
    EXPECT_EQ(Platform_SingletonGetName(buffer, 10), 0);
    EXPECT_STREQ(buffer, "nnnnnnnnn");
    EXPECT_EQ(Platform_SingletonEnd(), 1);
    Platform_CommonRemove();
}

} // namespace

#include "core/linux/platform_pipe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/runtime/class.h"
#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/child_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

bool IsFifo(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

// The second user of the tests ("nobody").
constexpr uid_t kOtherUser = 65534;

bool BecomeOtherUser() {
    return setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 && setuid(kOtherUser) == 0;
}

// A FIFO made by the other user in a forked child: "" when made, else what failed.
std::string FifoOfOtherUser(const std::string& path, mode_t mode) {
    const auto text = TextFromChild(BecomeOtherUser, [&]() -> std::string {
        if (mkfifo(path.c_str(), mode) != 0) return "mkfifo " + std::to_string(errno);
        if (chmod(path.c_str(), mode) != 0) return "chmod " + std::to_string(errno);
        return "";
    });
    return text ? *text : "no child";
}

TEST(PlatformPipe, TwoEndsInOneProcess) {
    TempDir dir;
    const std::string path = dir.file("pipe-a");
    void* server = nullptr;
    void* client = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&server, path.c_str(), 4096, PLATFORM_PIPE_INBOUND), 1);
    EXPECT_EQ(static_cast<Class*>(server)->ClassId, PLATFORM_PIPE_CLASS_ID);
    EXPECT_TRUE(IsFifo(path));
    ASSERT_EQ(Platform_PipeOpen(&client, path.c_str(), 4096, PLATFORM_PIPE_OPEN_EXISTING), 1);
    EXPECT_EQ(Platform_PipeIsOpen(server), 1);
    EXPECT_EQ(Platform_PipeIsOpen(client), 1);

    // Nothing written yet: a non-blocking read answers at once with nothing.
    char buffer[64];
    int32_t done = -1;
    int32_t available = -1;
    EXPECT_EQ(Platform_PipePeek(server, buffer, sizeof(buffer), &available), 1);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(Platform_PipeRead(server, buffer, sizeof(buffer), &done), 1);
    EXPECT_EQ(done, 0);

    EXPECT_EQ(Platform_PipeWrite(client, "hello", 5, &done), 1);
    EXPECT_EQ(done, 5);
    EXPECT_EQ(Platform_PipeFlush(client), 1);
    EXPECT_EQ(Platform_PipePeek(server, nullptr, 0, &available), 1);
    EXPECT_EQ(available, 1);
    EXPECT_EQ(Platform_PipeRead(server, buffer, 3, &done), 1);
    EXPECT_EQ(std::string(buffer, (size_t)done), "hel");
    EXPECT_EQ(Platform_PipeRead(server, buffer, sizeof(buffer), &done), 1);
    EXPECT_EQ(std::string(buffer, (size_t)done), "lo");
    EXPECT_EQ(Platform_PipePeek(server, nullptr, 0, &available), 1);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(Platform_PipeRead(server, buffer, 0, &done), 1);
    EXPECT_EQ(done, 0);

    // The side that opened the existing pipe removes the FIFO as well.
    EXPECT_EQ(Platform_PipeClose(&client), 1);
    EXPECT_EQ(client, nullptr);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(Platform_PipeIsOpen(server), 1);
    EXPECT_EQ(Platform_PipeClose(&server), 1);
    EXPECT_EQ(server, nullptr);
    EXPECT_FALSE(FileExists(path));
}

TEST(PlatformPipe, FullPipeAcceptsNothingForNow) {
    TempDir dir;
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, dir.file("full").c_str(), 0, 0), 1);
    std::vector<char> block(1 << 20, 'x');
    int32_t done = 0;
    int64_t total = 0;
    ASSERT_EQ(Platform_PipeWrite(pipe, block.data(), (int32_t)block.size(), &done), 1);
    // A non-blocking write takes what fits; the next one finds no room and says so without error.
    EXPECT_GT(done, 0);
    EXPECT_LT(done, (int32_t)block.size());
    total += done;
    EXPECT_EQ(Platform_PipeWrite(pipe, block.data(), (int32_t)block.size(), &done), 1);
    EXPECT_EQ(done, 0);
    // Everything written comes back out.
    int64_t read = 0;
    while (Platform_PipeRead(pipe, block.data(), (int32_t)block.size(), &done) == 1 && done > 0) read += done;
    EXPECT_EQ(read, total);
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
}

TEST(PlatformPipe, BlockingPipeMovesData) {
    TempDir dir;
    const std::string path = dir.file("blocking");
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, PLATFORM_PIPE_BLOCKING), 1);
    int32_t done = 0;
    EXPECT_EQ(Platform_PipeWrite(pipe, "abc", 3, &done), 1);
    EXPECT_EQ(done, 3);
    char buffer[8];
    EXPECT_EQ(Platform_PipeRead(pipe, buffer, sizeof(buffer), &done), 1);
    EXPECT_EQ(std::string(buffer, (size_t)done), "abc");
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
    EXPECT_FALSE(FileExists(path));
}

TEST(PlatformPipe, LeftoverFifoIsCreatedAgain) {
    TempDir dir;
    const std::string path = dir.file("leftover");
    mode_t oldMask = umask(022);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, 0), 1);
    umask(oldMask);
    // A fresh FIFO carries the owner-only mode; the leftover had another.
    struct stat info;
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
    EXPECT_FALSE(FileExists(path));
}

TEST(PlatformPipe, PathsHeldByOtherFilesAreLeftAlone) {
    TempDir dir;
    const std::string file = dir.file("regular");
    ASSERT_TRUE(WriteText(file, "precious"));
    const std::string directory = dir.file("directory");
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    const std::string target = dir.file("target");
    ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
    const std::string link = dir.file("link");
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    const std::string missing = dir.file("missing/pipe");

    for (const std::string& path : {file, directory, link, missing}) {
        for (uint32_t flags : {0u, (uint32_t)PLATFORM_PIPE_OPEN_EXISTING, (uint32_t)PLATFORM_PIPE_BLOCKING}) {
            void* pipe = reinterpret_cast<void*>(1);
            EXPECT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, flags), 0) << path << " " << flags;
            EXPECT_EQ(pipe, nullptr);
        }
    }
    // Checked as a regular file first: reading a FIFO put in its place would wait for ever.
    struct stat info;
    ASSERT_TRUE(lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode));
    EXPECT_EQ(ReadFile(file), "precious");
    EXPECT_TRUE(stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    EXPECT_TRUE(lstat(link.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
    EXPECT_TRUE(IsFifo(target));
    EXPECT_FALSE(FileExists(dir.file("missing")));

    // Opening an existing pipe that is not there creates nothing.
    void* pipe = nullptr;
    EXPECT_EQ(Platform_PipeOpen(&pipe, dir.file("absent").c_str(), 0, PLATFORM_PIPE_OPEN_EXISTING), 0);
    EXPECT_FALSE(FileExists(dir.file("absent")));
    EXPECT_EQ(Platform_PipeOpen(&pipe, "", 0, 0), 0);
    EXPECT_EQ(pipe, nullptr);
}

TEST(PlatformPipe, FifoOfAnotherUserIsRefusedAndLeftInPlace) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a second user";
    // A directory everyone may write, as the shared temporary directory.
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    for (const mode_t mode : {0600, 0666}) {
        SCOPED_TRACE(mode);
        const std::string path = dir.file("planted-" + std::to_string(mode));
        ASSERT_EQ(FifoOfOtherUser(path, mode), "");
        struct stat before;
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        for (uint32_t flags : {0u, (uint32_t)PLATFORM_PIPE_OPEN_EXISTING, (uint32_t)PLATFORM_PIPE_BLOCKING}) {
            LogCapture log;
            void* pipe = reinterpret_cast<void*>(1);
            EXPECT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, flags), 0) << flags;
            EXPECT_EQ(pipe, nullptr);
            EXPECT_EQ(log.Text(),
                      "ERROR - Pipe " + path + " refused: not owned by this user or open to others\n");
            struct stat after;
            ASSERT_EQ(lstat(path.c_str(), &after), 0) << "the other user's FIFO stays";
            EXPECT_EQ(after.st_ino, before.st_ino);
            EXPECT_EQ(after.st_uid, kOtherUser);
        }
    }
}

TEST(PlatformPipe, OwnFifoOpenToOthersIsRefused) {
    TempDir dir;
    const std::string path = dir.file("loose");
    for (const mode_t mode : {0640, 0606, 0660, 0622}) {
        SCOPED_TRACE(mode);
        ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        LogCapture log;
        void* pipe = reinterpret_cast<void*>(1);
        EXPECT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, PLATFORM_PIPE_OPEN_EXISTING), 0);
        EXPECT_EQ(pipe, nullptr);
        EXPECT_EQ(log.Text(),
                  "ERROR - Pipe " + path + " refused: not owned by this user or open to others\n");
        // Not ours to repair or remove: it was not made by this open.
        struct stat info;
        ASSERT_EQ(lstat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, mode);
        ASSERT_EQ(unlink(path.c_str()), 0);
    }
}

TEST(PlatformPipe, CloseRemovesOnlyTheFifoItOpened) {
    TempDir dir;
    const std::string path = dir.file("replaced");
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&first, path.c_str(), 0, 0), 1);
    ASSERT_EQ(Platform_PipeOpen(&second, path.c_str(), 0, PLATFORM_PIPE_OPEN_EXISTING), 1);
    // The peer closes (removing the FIFO) and a new pipe of the same name is made.
    ASSERT_EQ(Platform_PipeClose(&second), 1);
    ASSERT_FALSE(FileExists(path));
    ASSERT_EQ(Platform_PipeOpen(&second, path.c_str(), 0, 0), 1);
    EXPECT_EQ(Platform_PipeClose(&first), 1);
    EXPECT_TRUE(IsFifo(path)) << "the newer pipe's FIFO stays";
    EXPECT_EQ(Platform_PipeClose(&second), 1);
    EXPECT_FALSE(FileExists(path));
}

TEST(PlatformPipe, PathMustFitItsField) {
    TempDir dir;
    const std::string sub = dir.file(std::string(200, 'd'));
    ASSERT_EQ(mkdir(sub.c_str(), 0700), 0);
    const size_t room = PLATFORM_PIPE_PATH_SIZE - 1 - (sub.size() + 1);
    const std::string longest = sub + "/" + std::string(room, 'p');
    const std::string tooLong = longest + "q";
    ASSERT_EQ(longest.size(), 319u);

    void* pipe = nullptr;
    EXPECT_EQ(Platform_PipeOpen(&pipe, tooLong.c_str(), 0, 0), 0);
    EXPECT_EQ(pipe, nullptr);
    EXPECT_FALSE(FileExists(tooLong));
    ASSERT_EQ(Platform_PipeOpen(&pipe, longest.c_str(), 0, 0), 1);
    EXPECT_TRUE(IsFifo(longest));
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
    EXPECT_FALSE(FileExists(longest));
}

TEST(PlatformPipe, ClosedPipeAnswersFalseWithZeroCounts) {
    TempDir dir;
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, dir.file("closing").c_str(), 0, 0), 1);
    ASSERT_EQ(Platform_PipeClose(&pipe), 1);
    ASSERT_EQ(pipe, nullptr);
    char buffer[8];
    int32_t count = 7;
    EXPECT_EQ(Platform_PipeIsOpen(pipe), 0);
    EXPECT_EQ(Platform_PipePeek(pipe, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_EQ(Platform_PipeRead(pipe, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_EQ(Platform_PipeWrite(pipe, "x", 1, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Platform_PipeFlush(pipe), 0);
    EXPECT_EQ(Platform_PipeClose(&pipe), 0);
}

TEST(PlatformPipe, NegativeLengthsAnswerFalse) {
    TempDir dir;
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, dir.file("negative").c_str(), 0, 0), 1);
    char buffer[8];
    int32_t count = 7;
    EXPECT_EQ(Platform_PipeRead(pipe, buffer, -1, &count), 0);
    EXPECT_EQ(count, 0);
    count = 7;
    EXPECT_EQ(Platform_PipeWrite(pipe, buffer, -5, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
}

std::string g_logged;
int64_t CaptureLog(const char* text) {
    g_logged += text;
    return 1;
}

TEST(PlatformPipe, AcceptAndRemoteProcessIdAreNotProvided) {
    TempDir dir;
    ASSERT_EQ(Debug_Init(dir.file("pipe.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    Debug_PrintOverride(CaptureLog);
    void* server = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&server, dir.file("server").c_str(), 0, 0), 1);
    void* client = reinterpret_cast<void*>(1);
    uint32_t processId = 77;
    EXPECT_EQ(Platform_PipeAccept(server, &client), 0);
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(Platform_PipeGetRemoteProcessId(server, &processId), 0);
    EXPECT_EQ(processId, 0u);
    Debug_PrintOverride(nullptr);
    Debug_Remove();
    EXPECT_EQ(g_logged, "ERROR - Not Implemented - Platform_PipeAccept\n"
                        "ERROR - Not Implemented - Platform_PipeGetRemoteProcessId\n");
    EXPECT_EQ(Platform_PipeClose(&server), 1);
}

TEST(PlatformPipe, ProgrammingErrorsAbort) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    Class other = {};
    other.ClassId = 0x2E551E15;
    int32_t count = 0;
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_PipeRead(&other, nullptr, 0, &count);
        },
        "ABORT - Class mismatch pointer \\(0x[0-9A-F]{16}: expected 0x309a40cd but was 0x2e551e15\\)\n");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_PipeOpen(nullptr, "/tmp/x", 0, 0);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            void* pipe = nullptr;
            Platform_PipeOpen(&pipe, nullptr, 0, 0);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            Platform_PipeClose(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
}

} // namespace

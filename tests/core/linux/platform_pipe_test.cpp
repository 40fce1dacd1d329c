// Tests of the platform's named pipes: data both ways, full and blocking pipes, what may stand at
// the pipe's path (other files, another user's FIFO, one open to others), closing, and misuse.
#include "core/linux/platform_pipe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "core/runtime/class.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"

namespace {

constexpr uint32_t kOpenModes[] = {0u, PLATFORM_PIPE_OPEN_EXISTING, PLATFORM_PIPE_BLOCKING};

bool IsFifo(const std::string& path) {
    struct stat info;
    return lstat(path.c_str(), &info) == 0 && S_ISFIFO(info.st_mode);
}

std::string Refused(const std::string& path) {
    return "ERROR - Pipe " + path + " refused: not owned by this user or open to others\n";
}

TEST(PlatformPipe, TwoEndsInOneProcess) {
    TempDir dir;
    const std::string path = dir.file("pipe-a");
    void* server = nullptr;
    void* client = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&server, path.c_str(), 4096, PLATFORM_PIPE_INBOUND), 1);
    EXPECT_TRUE(IsFifo(path));
    ASSERT_EQ(Platform_PipeOpen(&client, path.c_str(), 4096, PLATFORM_PIPE_OPEN_EXISTING), 1);
    EXPECT_EQ(Platform_PipeIsOpen(server) + Platform_PipeIsOpen(client), 2);

    // Nothing written yet: a non-blocking read answers at once with nothing.
    char buffer[64];
    int32_t done = -1, available = -1;
    EXPECT_EQ(Platform_PipePeek(server, buffer, sizeof(buffer), &available), 1);
    EXPECT_EQ(available, 0);
    EXPECT_EQ(Platform_PipeRead(server, buffer, sizeof(buffer), &done), 1);
    EXPECT_EQ(done, 0);

    EXPECT_EQ(Platform_PipeWrite(client, "hello", 5, &done), 1);
    EXPECT_EQ(done, 5);
    EXPECT_EQ(Platform_PipeFlush(client), 1);
    EXPECT_EQ(Platform_PipePeek(server, nullptr, 0, &available), 1);
    EXPECT_EQ(available, 1);
    for (const auto& [size, expected] : {std::pair{3, "hel"}, {64, "lo"}, {0, ""}}) {
        EXPECT_EQ(Platform_PipeRead(server, buffer, size, &done), 1);
        EXPECT_EQ(std::string(buffer, (size_t)done), expected);
    }
    EXPECT_EQ(Platform_PipePeek(server, nullptr, 0, &available), 1);
    EXPECT_EQ(available, 0);

    // The side that opened the existing pipe removes the FIFO as well.
    EXPECT_EQ(Platform_PipeClose(&client), 1);
    EXPECT_EQ(client, nullptr);
    EXPECT_FALSE(FileExists(path));
    EXPECT_EQ(Platform_PipeIsOpen(server), 1);
    EXPECT_EQ(Platform_PipeClose(&server), 1);
    EXPECT_EQ(server, nullptr);
}

TEST(PlatformPipe, FullPipeAcceptsNothingForNow) {
    TempDir dir;
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, dir.file("full").c_str(), 0, 0), 1);
    std::vector<char> block(1 << 20, 'x');
    int32_t written = 0, done = 0;
    // A non-blocking write takes what fits; the next one finds no room and says so without error.
    ASSERT_EQ(Platform_PipeWrite(pipe, block.data(), (int32_t)block.size(), &written), 1);
    EXPECT_GT(written, 0);
    EXPECT_LT(written, (int32_t)block.size());
    EXPECT_EQ(Platform_PipeWrite(pipe, block.data(), (int32_t)block.size(), &done), 1);
    EXPECT_EQ(done, 0);
    // Everything written comes back out.
    int64_t read = 0;
    while (Platform_PipeRead(pipe, block.data(), (int32_t)block.size(), &done) == 1 && done > 0) read += done;
    EXPECT_EQ(read, written);
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
}

TEST(PlatformPipe, BlockingPipeMovesData) {
    TempDir dir;
    const std::string path = dir.file("blocking");
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, PLATFORM_PIPE_BLOCKING), 1);
    int32_t done = 0;
    char buffer[8];
    EXPECT_EQ(Platform_PipeWrite(pipe, "abc", 3, &done), 1);
    EXPECT_EQ(Platform_PipeRead(pipe, buffer, sizeof(buffer), &done), 1);
    EXPECT_EQ(std::string(buffer, (size_t)done), "abc");
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
    EXPECT_FALSE(FileExists(path));
}

TEST(PlatformPipe, LeftoverFifoIsCreatedAgainPrivate) {
    TempDir dir;
    const std::string path = dir.file("leftover");
    const mode_t oldMask = umask(022);
    ASSERT_EQ(mkfifo(path.c_str(), 0644), 0);
    void* pipe = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, 0), 1);
    umask(oldMask);
    EXPECT_TRUE(IsFifo(path));
    EXPECT_EQ(ModeOf(path), 0600);
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
    EXPECT_FALSE(FileExists(path));
}

TEST(PlatformPipe, PathsHeldByOtherFilesAreLeftAlone) {
    TempDir dir;
    const std::string file = dir.file("regular"), directory = dir.file("directory");
    const std::string target = dir.file("target"), link = dir.file("link");
    ASSERT_TRUE(WriteText(file, "precious"));
    ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
    ASSERT_EQ(mkfifo(target.c_str(), 0600), 0);
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    for (const std::string& path : {file, directory, link, dir.file("missing/pipe"), std::string()}) {
        for (uint32_t flags : kOpenModes) {
            void* pipe = reinterpret_cast<void*>(1);
            EXPECT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, flags), 0) << path << " " << flags;
            EXPECT_EQ(pipe, nullptr);
        }
    }
    // Checked as a regular file first: reading a FIFO put in its place would wait for ever.
    struct stat info;
    EXPECT_TRUE(lstat(file.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ReadFile(file) == "precious");
    EXPECT_TRUE(lstat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode));
    EXPECT_TRUE(lstat(link.c_str(), &info) == 0 && S_ISLNK(info.st_mode));
    EXPECT_TRUE(IsFifo(target));
    EXPECT_FALSE(FileExists(dir.file("missing")));
    // Opening an existing pipe that is not there creates nothing.
    void* pipe = nullptr;
    EXPECT_EQ(Platform_PipeOpen(&pipe, dir.file("absent").c_str(), 0, PLATFORM_PIPE_OPEN_EXISTING), 0);
    EXPECT_FALSE(FileExists(dir.file("absent")));
}

TEST(PlatformPipe, FifoOfAnotherUserOrOpenToOthersIsRefusedAndLeftInPlace) {
    // A directory everyone may write, as the shared temporary directory.
    TempDir dir;
    ASSERT_EQ(chmod(dir.path().c_str(), 01777), 0);
    const struct {
        bool OtherUser;
        mode_t Mode;
    } cases[] = {{true, 0600}, {true, 0666}, {false, 0640}, {false, 0606}, {false, 0660}, {false, 0622}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.Mode) + (c.OtherUser ? " of another user" : " of this user"));
        if (c.OtherUser && geteuid() != 0) continue; // needs root to act as a second user
        const std::string path = dir.file("planted-" + std::to_string(c.Mode));
        const auto make = [&]() -> std::string {
            return mkfifo(path.c_str(), c.Mode) == 0 && chmod(path.c_str(), c.Mode) == 0 ? "" : "failed";
        };
        ASSERT_EQ(c.OtherUser ? TextFromChild(BecomeOtherUser, make) : make(), "");
        struct stat before, after;
        ASSERT_EQ(lstat(path.c_str(), &before), 0);
        // A FIFO of this user's own is made afresh by a plain open; one that opens an existing pipe
        // finds it open to others.
        for (uint32_t flags : kOpenModes) {
            if (!c.OtherUser && flags != PLATFORM_PIPE_OPEN_EXISTING) continue;
            LogCapture log;
            void* pipe = reinterpret_cast<void*>(1);
            EXPECT_EQ(Platform_PipeOpen(&pipe, path.c_str(), 0, flags), 0) << flags;
            EXPECT_EQ(pipe, nullptr);
            EXPECT_EQ(log.Text(), Refused(path));
            // Neither repaired nor removed: it was not made by this open.
            ASSERT_EQ(lstat(path.c_str(), &after), 0);
            EXPECT_EQ(std::make_tuple(after.st_ino, after.st_uid, after.st_mode),
                      std::make_tuple(before.st_ino, before.st_uid, before.st_mode));
        }
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
    const std::string longest = sub + "/" + std::string(PLATFORM_PIPE_PATH_SIZE - 2 - sub.size(), 'p');
    ASSERT_EQ(longest.size(), 319u);
    void* pipe = nullptr;
    EXPECT_EQ(Platform_PipeOpen(&pipe, (longest + "q").c_str(), 0, 0), 0);
    EXPECT_FALSE(FileExists(longest + "q"));
    ASSERT_EQ(Platform_PipeOpen(&pipe, longest.c_str(), 0, 0), 1);
    EXPECT_TRUE(IsFifo(longest));
    EXPECT_EQ(Platform_PipeClose(&pipe), 1);
    EXPECT_FALSE(FileExists(longest));
}

TEST(PlatformPipe, ClosedPipesAndNegativeLengthsAnswerFalseWithZeroCounts) {
    TempDir dir;
    void* open = nullptr;
    void* closed = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&open, dir.file("open").c_str(), 0, 0), 1);
    ASSERT_EQ(Platform_PipeOpen(&closed, dir.file("closed").c_str(), 0, 0), 1);
    ASSERT_EQ(Platform_PipeClose(&closed), 1);
    char buffer[8];
    const std::function<int64_t(int32_t*)> calls[] = {
        [&](int32_t* n) { return Platform_PipePeek(closed, buffer, sizeof(buffer), n); },
        [&](int32_t* n) { return Platform_PipeRead(closed, buffer, sizeof(buffer), n); },
        [&](int32_t* n) { return Platform_PipeWrite(closed, "x", 1, n); },
        [&](int32_t* n) { return Platform_PipeRead(open, buffer, -1, n); },
        [&](int32_t* n) { return Platform_PipeWrite(open, buffer, -5, n); }};
    for (size_t i = 0; i < std::size(calls); i++) {
        int32_t count = 7;
        EXPECT_EQ(calls[i](&count), 0) << i;
        EXPECT_EQ(count, 0) << i;
    }
    EXPECT_EQ(Platform_PipeIsOpen(closed) + Platform_PipeFlush(closed) + Platform_PipeClose(&closed), 0);
    EXPECT_EQ(Platform_PipeClose(&open), 1);
}

TEST(PlatformPipe, AcceptAndRemoteProcessIdAreNotProvided) {
    TempDir dir;
    void* server = nullptr;
    ASSERT_EQ(Platform_PipeOpen(&server, dir.file("server").c_str(), 0, 0), 1);
    void* client = reinterpret_cast<void*>(1);
    uint32_t processId = 77;
    {
        LogCapture log;
        EXPECT_EQ(Platform_PipeAccept(server, &client), 0);
        EXPECT_EQ(Platform_PipeGetRemoteProcessId(server, &processId), 0);
        EXPECT_EQ(log.Text(), "ERROR - Not Implemented - Platform_PipeAccept\n"
                              "ERROR - Not Implemented - Platform_PipeGetRemoteProcessId\n");
    }
    EXPECT_EQ(client, nullptr);
    EXPECT_EQ(processId, 0u);
    EXPECT_EQ(Platform_PipeClose(&server), 1);
}

TEST(PlatformPipe, ProgrammingErrorsAbort) {
    Class other = {};
    other.ClassId = 0x2E551E15;
    ExpectAborts({
        {"another class",
         [&] {
             int32_t n = 0;
             Platform_PipeRead(&other, nullptr, 0, &n);
         },
         ClassMismatch(0x2e551e15)},
    });
}

} // namespace

#include "core/platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <set>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_error.h"
#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"
#include "tests/support/bounded_wait.h"
#include "tests/support/out_value.h"
#include "tests/support/scoped_env.h"
#include "tests/support/temp_dir.h"

namespace {

std::set<std::string> Entries(const std::string& directory) {
    std::set<std::string> names;
    if (DIR* d = opendir(directory.c_str())) {
        while (struct dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.insert(e->d_name);
        closedir(d);
    }
    return names;
}

// The lines a File prints, without the object's prefix ("File.xxxxxxxx - ").
int64_t CaptureLines(void* user, const char* format, ...) {
    char text[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(text, sizeof(text), format, args);
    va_end(args);
    std::string line = text;
    size_t dash = line.find(" - ");
    if (dash != std::string::npos) line = line.substr(dash + 3);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    static_cast<std::vector<std::string>*>(user)->push_back(line);
    return 1;
}

// A File whose printed lines are kept; deleted at the end.
struct Capture {
    File* F = nullptr;
    std::vector<std::string> Lines;
    Capture() {
        File_Create(&F);
        File_SetPrintCallback(F, &Lines, CaptureLines);
    }
    ~Capture() {
        if (F) File_Delete(&F);
    }
    std::string All() const {
        std::string all;
        for (const std::string& l : Lines) all += l + "\n";
        return all;
    }
    int64_t Open(const std::string& path, FileOpenFlags flags) { return File_Open(F, path.c_str(), flags); }
    // Writes the text; answers the result, the count checked against it.
    int64_t Write(const std::string& text) {
        uint32_t written = 7;
        const int64_t result = File_Write(F, text.data(), (int32_t)text.size(), &written);
        EXPECT_EQ(written, result ? text.size() : 0u);
        return result;
    }
    // Reads up to `size` bytes; answers the result and the bytes, as "1:abc".
    std::string Read(uint32_t size) {
        std::string bytes(size, '\0');
        uint32_t count = 7;
        const int64_t result = File_Read(F, bytes.data(), size, &count);
        return std::to_string(result) + ":" + bytes.substr(0, count);
    }
    std::string Tell() {
        uint64_t position = 7;
        const int64_t result = File_Tell(F, &position);
        return std::to_string(result) + "@" + std::to_string(position);
    }
};

template <typename Body> int InChild(Body body) {
    fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

constexpr int32_t E(int32_t error) {
    return PLATFORM_ERROR_ERRNO_BASE + error;
}

// The File's last error is its stream record's; Reset clears it. Closing nothing succeeds.
TEST(File, ErrorsLiveInTheStreamRecord) {
    File* file = Created(File_Create);
    Stream* stream = nullptr;
    EXPECT_EQ(File_GetStreamHandle(file, &stream), 1);
    Stream_SetLastError(stream, E(ENOSPC));
    EXPECT_EQ(File_GetLastError(file), E(ENOSPC));
    EXPECT_EQ(File_Reset(file), 1);
    EXPECT_EQ(File_GetLastError(file), 0);
    EXPECT_EQ(File_Close(file), 1) << "nothing open is success";
    EXPECT_EQ(File_Delete(&file), 1);
}

// Descriptor 0 freed, so that the open gets it: it is an open file, closed by the File, and once
// the File's close failed (closed behind its back), never closed again under its new owner.
TEST(File, DescriptorZeroIsAnOpenFile) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "zero"));
    const int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    Capture c;
    const std::vector<std::string> answers = {std::to_string(c.Open(dir.file("f"), FILE_READ)),
                                              std::to_string(File_IsOpen(c.F)),
                                              c.Read(8),
                                              std::to_string(File_Close(c.F)),
                                              std::to_string(File_IsOpen(c.F)),
                                              std::to_string(fcntl(0, F_GETFD) >= 0)};
    Capture d;
    const int64_t opened = d.Open(dir.file("f"), FILE_READ);
    close(0); // behind the File's back: its close now fails
    const int64_t closed = File_Close(d.F), stillOpen = File_IsOpen(d.F);
    const int reused = open(dir.file("f").c_str(), O_RDONLY);
    const int64_t closedAgain = File_Close(d.F);
    const bool reusedAlive = fcntl(reused, F_GETFD) >= 0;
    close(reused);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(answers, std::vector<std::string>({"1", "1", "1:zero", "1", "0", "0"}));
    EXPECT_EQ(std::vector<int64_t>({opened, closed, stillOpen, reused, closedAgain, reusedAlive}),
              std::vector<int64_t>({1, 0, 0, 0, 1, 1}));
    EXPECT_EQ(File_GetLastError(d.F), E(EBADF));
    EXPECT_EQ(d.Lines, std::vector<std::string>(
                           {"Unable to close [" + dir.file("f") + "] [Err: " + std::to_string(EBADF) + "]"}));
}

TEST(File, MissingFileForReadingFailsAtOnce) {
    TempDir dir;
    Capture c;
    EXPECT_EQ(c.Open(dir.file("missing"), FILE_READ | FILE_SHARED), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
    EXPECT_STREQ(Platform_TranslateError(File_GetLastError(c.F)), "Missing");
    ASSERT_EQ(c.Lines.size(), 1u) << c.All();
    char expected[512];
    String_Print(expected, sizeof(expected), "Unable to open file [%s][%.8X](%d : %.8X)",
                 dir.file("missing").c_str(), 0, E(ENOENT), E(ENOENT));
    EXPECT_EQ(c.Lines[0], expected);
    EXPECT_EQ(File_IsOpen(c.F), 0);
    // Quiet: a missing file is no news.
    c.Lines.clear();
    EXPECT_EQ(c.Open(dir.file("missing"), FILE_READ | FILE_QUIET), 0);
    EXPECT_TRUE(c.Lines.empty()) << c.All();
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
    // Read, write and append together never create.
    EXPECT_EQ(c.Open(dir.file("missing"), FILE_READ | FILE_WRITE | FILE_APPEND | FILE_QUIET), 0);
    EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(File, WritingCreatesTheFileAndItsDirectories) {
    TempDir dir;
    Capture c;
    const std::string path = dir.file("dir/sub/new.txt");
    ASSERT_EQ(c.Open(path, FILE_WRITE | FILE_SHARED), 1) << c.All();
    EXPECT_EQ(c.Write("hello"), 1);
    uint64_t size = 9;
    EXPECT_EQ(File_GetFilesizeBytes(c.F, &size), 1);
    EXPECT_EQ(size, 0u) << "the size seen at open";
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(path), "hello");
    struct stat info;
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0600, 0600u);
    EXPECT_TRUE(c.Lines.empty()) << c.All();

    File_SetAutoCreateDirectories(c.F, 0);
    EXPECT_EQ(c.Open(dir.file("other/new.txt"), FILE_WRITE), 0);
    EXPECT_EQ(Platform_ErrorMissing(File_GetLastError(c.F)), 1);
    EXPECT_FALSE(FileExists(dir.file("other")));
}

TEST(File, PathsAreResolvedAndNormalised) {
    TempDir dir;
    Capture c;
    {
        ScopedEnv home("HOME", dir.path());
        EXPECT_EQ(File_Open(c.F, "~/notes.txt", FILE_WRITE), 1);
    }
    EXPECT_EQ(std::string(File_GetPathPtr(c.F)), dir.file("notes.txt"));
    File_Close(c.F);
    EXPECT_TRUE(FileExists(dir.file("notes.txt")));

    ASSERT_EQ(File_Open(c.F, (dir.path() + "\\sub\\..\\notes.txt").c_str(), FILE_READ), 1);
    char buffer[FILE_PATH_SIZE];
    EXPECT_EQ(File_GetPath(c.F, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), dir.file("notes.txt"));
    char small[4];
    EXPECT_EQ(File_GetPath(c.F, small, sizeof(small)), 1);
    EXPECT_EQ(strlen(small), 3u);
    File_Close(c.F);
}

TEST(File, PathsOverTheCapacityAreRefused) {
    TempDir dir;
    Capture c;
    std::string name = dir.path() + "/" + std::string(FILE_PATH_SIZE, 'n');
    EXPECT_EQ(c.Open(name, FILE_WRITE), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(ENAMETOOLONG));
    EXPECT_TRUE(Entries(dir.path()).empty()) << "nothing was created under a cut name";
    ASSERT_EQ(c.Lines.size(), 1u);
    EXPECT_EQ(c.Lines[0].rfind("Unable to open file [", 0), 0u);
    EXPECT_EQ(File_Open(c.F, "", FILE_READ | FILE_QUIET), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
}

TEST(File, AnExistingFileThatRefusesIsRetried) {
    TempDir dir;
    // A running program refuses to be opened for writing until it ends: a failure that waiting
    // can end, so every attempt is made, with a line for each but the last.
    const std::string program = dir.file("busy");
    {
        std::ifstream in("/bin/sleep", std::ios::binary);
        std::ofstream out(program, std::ios::binary);
        out << in.rdbuf();
    }
    chmod(program.c_str(), 0755);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        execl(program.c_str(), program.c_str(), "30", (char*)nullptr);
        _exit(127);
    }
    // Wait until the child runs the program (its text is then busy); probing with an open for
    // writing could itself make the exec fail.
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    const bool busy = StepUntil(
        [&] {
            char target[4096] = {};
            return readlink(exe.c_str(), target, sizeof(target) - 1) > 0 && program == target;
        },
        [] { usleep(2000); });
    if (busy) {
        Capture c;
        File_SetRetries(c.F, 3);
        EXPECT_EQ(c.Open(program, FILE_WRITE | FILE_SHARED), 0);
        EXPECT_EQ(File_GetLastError(c.F), E(ETXTBSY));
        ASSERT_EQ(c.Lines.size(), 3u) << c.All();
        for (int32_t attempt = 0; attempt < 2; attempt++) {
            char expected[512];
            String_Print(expected, sizeof(expected), "Retrying open file (%s) (%d) [Err: %d]",
                         program.c_str(), attempt, E(ETXTBSY));
            EXPECT_EQ(c.Lines[attempt], expected);
        }
        EXPECT_EQ(c.Lines[2].rfind("Unable to open file [" + program + "]", 0), 0u);
        EXPECT_EQ(File_IsOpen(c.F), 0);
    }
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    EXPECT_TRUE(busy) << "the running program never refused a write open";

    // A directory where a file is expected: refused whether the system would open it or not, at
    // once, since no waiting turns a directory into a file.
    mkdir(dir.file("folder").c_str(), 0755);
    for (FileOpenFlags flags : {(FileOpenFlags)FILE_READ, (FileOpenFlags)(FILE_WRITE | FILE_SHARED)}) {
        Capture c;
        File_SetRetries(c.F, 3);
        EXPECT_EQ(c.Open(dir.file("folder"), flags), 0);
        EXPECT_EQ(File_GetLastError(c.F), E(EISDIR));
        EXPECT_STREQ(Platform_TranslateError(File_GetLastError(c.F)), "AccessInvalid");
        ASSERT_EQ(c.Lines.size(), 1u) << c.All();
        EXPECT_EQ(c.Lines[0].rfind("Unable to open file [" + dir.file("folder") + "]", 0), 0u);
        EXPECT_EQ(File_IsOpen(c.F), 0);
    }
    // A link to a directory is refused the same way.
    ASSERT_EQ(symlink("folder", dir.file("to-folder").c_str()), 0);
    Capture l;
    File_SetRetries(l.F, 1);
    EXPECT_EQ(l.Open(dir.file("to-folder"), FILE_READ), 0);
    EXPECT_EQ(File_GetLastError(l.F), E(EISDIR));
    EXPECT_EQ(l.Lines.size(), 1u) << "one attempt, no retry line: " << l.All();
    // Retries below 1: the failure step at once.
    Capture c;
    ASSERT_TRUE(WriteText(dir.file("f"), "x"));
    File_SetRetries(c.F, 0);
    EXPECT_EQ(c.Open(dir.file("f"), FILE_READ), 0);
    EXPECT_EQ(c.Lines.size(), 1u);
}

TEST(File, PermissionFailureOfAnUnprivilegedProcess) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
    TempDir dir;
    chmod(dir.path().c_str(), 0755);
    ASSERT_TRUE(WriteText(dir.file("secret"), "root only", 0600));
    const std::string path = dir.file("secret");
    int status = InChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
        Capture c;
        File_SetRetries(c.F, 2);
        if (c.Open(path, FILE_READ)) return 3;
        if (!Platform_ErrorAccessDenied(File_GetLastError(c.F))) return 4;
        if (c.Lines.size() != 2 || c.Lines[0].rfind("Retrying open file (", 0) != 0) return 5;
        return 0;
    });
    EXPECT_EQ(status, 0);

    // A file of theirs in a directory they may not write to: no new file can be made beside it,
    // so truncation empties it in place.
    ASSERT_TRUE(WriteText(dir.file("theirs"), "their old content", 0644));
    ASSERT_EQ(chown(dir.file("theirs").c_str(), 65534, 65534), 0);
    const std::string theirs = dir.file("theirs");
    status = InChild([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) return 2;
        Capture c;
        if (!c.Open(theirs, FILE_WRITE | FILE_TRUNCATE)) return 3;
        if (!c.Write("mine")) return 4;
        return File_Close(c.F) ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(theirs), "mine");
    EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"secret", "theirs"}));
}

TEST(File, OpenModes) {
    TempDir dir;
    // Write alone overwrites from the start and keeps the rest; append writes at the end;
    // truncation empties; read and write reads what is there and writes where it stands.
    const struct {
        FileOpenFlags Flags;
        uint32_t ReadFirst;
        const char *Write, *After;
    } cases[] = {{FILE_WRITE, 0, "ab", "ab23456789"},
                 {FILE_WRITE | FILE_APPEND, 0, "XY", "0123456789XY"},
                 {FILE_WRITE | FILE_TRUNCATE, 0, "", ""},
                 {FILE_READ | FILE_WRITE, 2, "LL", "01LL456789"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
        Capture f;
        ASSERT_EQ(f.Open(dir.file("f"), c.Flags), 1);
        if (c.ReadFirst) {
            EXPECT_EQ(f.Read(c.ReadFirst), "1:01");
        }
        EXPECT_EQ(f.Write(c.Write), 1);
        uint64_t size = 0, length = 99;
        File_GetFilesizeBytes(f.F, &size);
        EXPECT_EQ(size, 10u) << "the size seen at open";
        EXPECT_EQ(File_Length(f.F, &length), 1);
        EXPECT_EQ(length, c.Flags & FILE_TRUNCATE ? 0u : 10u + (c.Flags & FILE_APPEND ? 2 : 0));
        EXPECT_EQ(File_Close(f.F), 1);
        EXPECT_EQ(ReadFile(dir.file("f")), c.After) << c.Flags;
        EXPECT_TRUE(f.Lines.empty()) << f.All();
    }
}

TEST(File, TruncatingWritesReplaceTheFileWholeAtClose) {
    TempDir dir;
    Capture c;
    ASSERT_TRUE(WriteText(dir.file("doc"), "the old content", 0640));
    ASSERT_EQ(c.Open(dir.file("doc"), FILE_WRITE | FILE_TRUNCATE | FILE_SHARED), 1);
    EXPECT_EQ(c.Write("new"), 1);
    EXPECT_EQ(ReadFile(dir.file("doc")), "the old content") << "whole until the new one is";
    EXPECT_EQ(File_SetModifiedTime(c.F, 1300000000.0), 1);
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(dir.file("doc")), "new");
    struct stat info;
    ASSERT_EQ(stat(dir.file("doc").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0640u);
    EXPECT_EQ(info.st_mtim.tv_sec, 1300000000) << "a time set while writing belongs to the new file";
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"doc"});

    // Read and write with truncation (the zip layer's word) reads back what it wrote.
    ASSERT_EQ(c.Open(dir.file("doc"), FILE_READ | FILE_WRITE | FILE_TRUNCATE | FILE_SHARED), 1);
    EXPECT_EQ(c.Write("abc"), 1);
    EXPECT_EQ(File_Seek(c.F, 0, SEEK_ORIGIN_BEGIN), 1);
    char buffer[4] = {};
    uint32_t count = 0;
    EXPECT_EQ(File_Read(c.F, buffer, 3, &count), 1);
    EXPECT_EQ(std::string(buffer, count), "abc");
    EXPECT_EQ(File_Delete(&c.F), 1) << "deleting an open file closes it";
    EXPECT_EQ(ReadFile(dir.file("doc")), "abc");

    // Through a link: the file it leads to is measured and replaced; the link stays.
    Capture l;
    ASSERT_EQ(symlink("doc", dir.file("link").c_str()), 0);
    ASSERT_EQ(l.Open(dir.file("link"), FILE_WRITE | FILE_TRUNCATE), 1);
    uint64_t size = 0;
    File_GetFilesizeBytes(l.F, &size);
    EXPECT_EQ(size, 3u) << "the size of the file, not of the link";
    EXPECT_EQ(l.Write("linked"), 1);
    EXPECT_EQ(File_Close(l.F), 1);
    EXPECT_EQ(ReadFile(dir.file("doc")), "linked");
    ASSERT_EQ(lstat(dir.file("link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    unlink(dir.file("link").c_str());

    // A device has nothing to cut and nothing to replace.
    ASSERT_EQ(File_Open(l.F, "/dev/null", FILE_WRITE | FILE_TRUNCATE), 1) << l.All();
    EXPECT_EQ(l.Write("gone"), 1);
    EXPECT_EQ(File_Close(l.F), 1);
    EXPECT_TRUE(l.Lines.empty()) << l.All();

    // A file with a second name is emptied in place, so both names keep seeing one file.
    Capture d;
    ASSERT_EQ(link(dir.file("doc").c_str(), dir.file("alias").c_str()), 0);
    ASSERT_EQ(d.Open(dir.file("doc"), FILE_WRITE | FILE_TRUNCATE), 1);
    EXPECT_EQ(ReadFile(dir.file("alias")), "");
    EXPECT_EQ(d.Write("both"), 1);
    EXPECT_EQ(File_Close(d.F), 1);
    EXPECT_EQ(ReadFile(dir.file("alias")), "both");
}

TEST(File, AFailedWriteKeepsTheOldFile) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("doc"), "the old content"));
    const std::string path = dir.file("doc");
    // The file-size limit fails writes as a full disk would.
    int status = InChild([&] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {1000, 1000};
        if (setrlimit(RLIMIT_FSIZE, &limit) != 0) return 2;
        Capture c;
        if (!c.Open(path, FILE_WRITE | FILE_TRUNCATE)) return 3;
        std::string big(4000, 'n');
        uint32_t written = 7;
        if (File_Write(c.F, big.data(), (int32_t)big.size(), &written) || written != 0) return 4;
        if (File_GetLastError(c.F) != E(EFBIG)) return 5;
        if (File_Close(c.F)) return 6;
        if (File_IsOpen(c.F)) return 7;
        return 0;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(path), "the old content");
    EXPECT_EQ(Entries(dir.path()), std::set<std::string>{"doc"});
}

TEST(File, AFullDiskKeepsTheOldFile) {
    TempDir dir;
    const std::string mountPoint = dir.file("volume");
    mkdir(mountPoint.c_str(), 0755);
    // A 1 MiB file system of its own; mounting needs privilege, so the test skips without it.
    struct Mounted {
        const std::string& Where;
        bool Ok;
        ~Mounted() {
            if (Ok) umount2(Where.c_str(), MNT_DETACH);
        }
    } mounted{mountPoint, mount("tmpfs", mountPoint.c_str(), "tmpfs", 0, "size=1m") == 0};
    if (!mounted.Ok) GTEST_SKIP() << "no tmpfs can be mounted here";
    const std::string path = mountPoint + "/doc";
    ASSERT_TRUE(WriteText(path, "the old content"));
    Capture c;
    ASSERT_EQ(c.Open(path, FILE_WRITE | FILE_TRUNCATE), 1);
    std::string chunk(256 * 1024, 'n');
    uint32_t written = 0;
    bool failed = false;
    for (int32_t i = 0; i < 8 && !failed; i++)
        failed = !File_Write(c.F, chunk.data(), (int32_t)chunk.size(), &written);
    EXPECT_TRUE(failed);
    EXPECT_EQ(File_GetLastError(c.F), E(ENOSPC));
    EXPECT_STREQ(Platform_TranslateError(File_GetLastError(c.F)), "NotEnoughSpace");
    EXPECT_EQ(File_Close(c.F), 0);
    EXPECT_EQ(ReadFile(path), "the old content");
    EXPECT_EQ(Entries(mountPoint), std::set<std::string>{"doc"});
    bool sawWriteLine = false, sawCloseLine = false;
    for (const std::string& line : c.Lines) {
        sawWriteLine |=
            line.rfind("Failed to write [" + path + "] 262144 (" + std::to_string(E(ENOSPC)) + ")", 0) == 0;
        sawCloseLine |=
            line.rfind("Unable to close [" + path + "] [Err: " + std::to_string(ENOSPC) + "]", 0) == 0;
    }
    EXPECT_TRUE(sawWriteLine) << c.All();
    EXPECT_TRUE(sawCloseLine) << c.All();
}

TEST(File, ReadAtTheEndAndLengthKeepThePosition) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
    Capture c;
    ASSERT_EQ(c.Open(dir.file("f"), FILE_READ | FILE_SHARED), 1);
    EXPECT_EQ(File_Seek(c.F, 4, SEEK_ORIGIN_BEGIN), 1);
    uint64_t length = 0;
    EXPECT_EQ(File_Length(c.F, &length), 1);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(c.Tell(), "1@4");
    EXPECT_EQ(c.Read(16), "1:456789");
    EXPECT_EQ(c.Read(16), "0:");
    EXPECT_EQ(File_GetLastError(c.F), 0);
    EXPECT_TRUE(c.Lines.empty()) << c.All();
    // A seek before the start fails with the platform's error and a line.
    EXPECT_EQ(File_Seek(c.F, -20, SEEK_ORIGIN_CURRENT), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(EINVAL));
    EXPECT_EQ(c.Lines, std::vector<std::string>({"Failed to seek [" + dir.file("f") +
                                                 "] (1:-20) [Err: " + std::to_string(E(EINVAL)) + "]"}));
    // Writing to a file opened for reading fails with a line.
    EXPECT_EQ(c.Write("x"), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(EBADF));
    EXPECT_EQ(c.Lines.back(), "Failed to write [" + dir.file("f") + "] 1 (" + std::to_string(E(EBADF)) + ")");
    uint32_t written = 3;
    EXPECT_EQ(File_Write(c.F, nullptr, -1, &written), 0) << "a negative length is refused";
    EXPECT_EQ(File_Close(c.F), 1);
}

// A file the system says is empty but is not (the kernel's own) is read whole at the open: its
// length is what a reader finds, and its bytes stay still while they are read.
TEST(File, AFileThatSaysItIsEmptyIsReadToItsEnd) {
    std::ifstream in("/proc/version");
    const std::string version((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(version.empty());
    Capture c;
    ASSERT_EQ(c.Open("/proc/version", FILE_READ | FILE_SHARED), 1);
    uint64_t length = 0;
    EXPECT_EQ(File_GetFilesizeBytes(c.F, &length), 1);
    EXPECT_EQ(length, version.size());
    EXPECT_EQ(c.Read(4096), "1:" + version);
    EXPECT_EQ(File_Close(c.F), 1);
    // A truly empty file stays the file itself.
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("empty"), ""));
    ASSERT_EQ(c.Open(dir.file("empty"), FILE_READ), 1);
    EXPECT_EQ(File_GetFilesizeBytes(c.F, &length), 1);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(c.Read(16), "0:");
    EXPECT_EQ(File_Close(c.F), 1);
}

TEST(File, TruncateCutsAtThePosition) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
    Capture c;
    ASSERT_EQ(c.Open(dir.file("f"), FILE_READ | FILE_WRITE), 1);
    EXPECT_EQ(File_Seek(c.F, 6, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(File_Truncate(c.F), 1);
    EXPECT_EQ(ReadFile(dir.file("f")), "012345");
    EXPECT_EQ(File_TruncateAt(c.F, 2), 1);
    EXPECT_EQ(ReadFile(dir.file("f")), "01");
    EXPECT_EQ(File_TruncateAt(c.F, -1), 0);
    EXPECT_NE(c.All().find("Unable to seek to position for truncation [" + dir.file("f") + "] [-1]"),
              std::string::npos)
        << c.All();
    EXPECT_EQ(File_Flush(c.F), 1);
    EXPECT_EQ(File_Close(c.F), 1);
}

TEST(File, OperationsOnAClosedFile) {
    Capture c;
    EXPECT_EQ(c.Read(4), "0:");
    EXPECT_EQ(c.Write("abc"), 0);
    EXPECT_EQ(c.Tell(), "0@0");
    EXPECT_EQ(
        std::vector<int64_t>({File_Seek(c.F, 0, SEEK_ORIGIN_BEGIN), File_Flush(c.F), File_Truncate(c.F),
                              File_Lock(c.F, 0, 1), File_Unlock(c.F, 0, 1), File_EnableSparseMode(c.F)}),
        std::vector<int64_t>(6, 0));
    EXPECT_EQ(c.Lines,
              std::vector<std::string>(
                  {"No file handle is open - cannot read [] (4)",
                   "No file handle is open - cannot write [] (3)", "No file handle is open - cannot tell",
                   "No file handle is open - cannot seek", "No file handle is open - cannot flush"}));
    EXPECT_EQ(File_GetLastError(c.F), 0) << "nothing recorded";
}

TEST(File, LocksKeepOtherProcessesOutAndThePositionStays) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), std::string(100, 'x')));
    Capture c;
    ASSERT_EQ(c.Open(dir.file("f"), FILE_READ | FILE_WRITE), 1);
    EXPECT_EQ(File_Seek(c.F, 5, SEEK_ORIGIN_BEGIN), 1);
    EXPECT_EQ(File_Lock(c.F, 10, 20), 1);
    uint64_t position = 0;
    File_Tell(c.F, &position);
    EXPECT_EQ(position, 5u);
    const std::string path = dir.file("f");
    auto otherLocks = [&](int64_t start, int64_t end) {
        return InChild([&] {
            Capture other;
            if (!File_Open(other.F, path.c_str(), FILE_READ | FILE_WRITE)) return 2;
            return File_Lock(other.F, start, end) ? 0 : 1;
        });
    };
    EXPECT_EQ(otherLocks(15, 16), 1);
    EXPECT_EQ(otherLocks(20, 30), 0);
    EXPECT_EQ(File_Unlock(c.F, 10, 20), 1);
    EXPECT_EQ(otherLocks(15, 16), 0);
    EXPECT_EQ(File_Lock(c.F, 20, 10), 0) << "an end before the start";
    EXPECT_EQ(File_EnableSparseMode(c.F), 0);
    EXPECT_STREQ(Platform_TranslateError(File_GetLastError(c.F)), "NotSupported");
    EXPECT_TRUE(c.Lines.empty()) << "lock and sparse failures print only when verbose: " << c.All();
    File_SetVerbose(c.F, 1);
    EXPECT_EQ(File_Lock(c.F, 20, 10), 0);
    ASSERT_FALSE(c.Lines.empty());
    EXPECT_EQ(c.Lines.back(), "Failed to Lock -1 [" + path + "](20 - 10)");
    EXPECT_EQ(File_Close(c.F), 1);
}

TEST(File, TimesOfThePath) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "x"));
    Capture c;
    ASSERT_EQ(c.Open(dir.file("f"), FILE_READ), 1);
    EXPECT_EQ(File_SetModifiedTime(c.F, 1234567890.0), 1);
    EncodedTime time = 0;
    EXPECT_EQ(File_GetModifiedTime(c.F, &time), 1);
    EXPECT_EQ(time, 1234567890.0);
    EXPECT_EQ(File_SetCreationTime(c.F, 1000000000.0), 1)
        << "accepted, though this system keeps no such time";
    EXPECT_EQ(File_GetCreationTime(c.F, &time), 1);
    EXPECT_GT(time, 0.0);
    File_Close(c.F);
    // Opened through a link, the times are those of the file it leads to.
    ASSERT_EQ(symlink("f", dir.file("link").c_str()), 0);
    ASSERT_EQ(c.Open(dir.file("link"), FILE_READ), 1);
    EXPECT_EQ(File_SetModifiedTime(c.F, 1111111111.0), 1);
    EXPECT_EQ(File_GetModifiedTime(c.F, &time), 1);
    EXPECT_EQ(time, 1111111111.0);
    File_Close(c.F);
    struct stat info;
    ASSERT_EQ(stat(dir.file("f").c_str(), &info), 0);
    EXPECT_EQ(info.st_mtim.tv_sec, 1111111111);
    unlink(dir.file("link").c_str());
    unlink(dir.file("f").c_str());
    time = 5;
    EXPECT_EQ(File_GetModifiedTime(c.F, &time), 0);
    EXPECT_EQ(time, 0.0);
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
    EXPECT_EQ(File_SetModifiedTime(c.F, 1.0), 0);
}

TEST(File, AFileThatVanishesKeepsWorkingUntilClosed) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "still here"));
    Capture c;
    ASSERT_EQ(c.Open(dir.file("f"), FILE_READ), 1);
    unlink(dir.file("f").c_str());
    char buffer[16];
    uint32_t count = 0;
    EXPECT_EQ(File_Read(c.F, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(std::string(buffer, count), "still here");
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(c.Open(dir.file("f"), FILE_READ | FILE_QUIET), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
}

TEST(File, NamesThatAreNotUtf8) {
    TempDir dir;
    const std::string path = dir.file("odd-\xff\xfe.bin");
    Capture c;
    ASSERT_EQ(c.Open(path, FILE_WRITE), 1);
    EXPECT_EQ(c.Write("ok"), 1);
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(path), "ok");
}

TEST(File, PrintBlock) {
    Capture c;
    File_SetPrintIdentifier(c.F, "doc");
    EXPECT_EQ(File_Print(c.F, "one %d", 1), 1);
    EXPECT_EQ(File_PrintTabbed(c.F, 1, "two"), 1);
    EXPECT_EQ(File_VerboseLog(c.F, 5, "hidden"), 0);
    File_SetVerbose(c.F, 1);
    EXPECT_EQ(File_VerboseLog(c.F, 5, "shown"), 1);
    int32_t level = 0;
    EXPECT_EQ(File_GetVerbose(c.F, &level), 1);
    EXPECT_EQ(level, 1);
    // The verbose flag opens level 0; deeper levels come from the log's verbose filter.
    EXPECT_EQ(File_IsVerboseLevel(c.F, 0), 1);
    EXPECT_EQ(File_IsVerboseLevel(c.F, 1), 0);
    EXPECT_EQ(c.Lines, (std::vector<std::string>{"one 1", "    two", "shown"}));
}

TEST(File, ProgrammingErrorsStopTheProcess) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("a"), "a"));
    static std::string a;
    a = dir.file("a");
    const struct {
        void (*Call)(File*);
        std::string Text;
    } cases[] = {
        {[](File* f) { File_Open(f, a.c_str(), FILE_READ | FILE_NOBUFFER); },
         "Assertion failed (ThisIsNot(Flags, FILE_NOBUFFER))\nUnbuffered I/O not supported in synchronous "
         "files"},
        {[](File* f) {
             File_Open(f, a.c_str(), FILE_READ);
             File_Open(f, "/other", FILE_READ);
         },
         "Assertion failed (File->AccessPtr == 0)\nPrevious file [" + a +
             "] must be closed before opening [/other]\n"},
        {[](File* f) { File_Open(f, a.c_str(), FILE_SHARED); }, "Unknown mode [32]\n"},
    };
    for (const auto& c : cases) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                c.Call(Created(File_Create));
            },
            AbortRegex(c.Text));
    }
}

} // namespace

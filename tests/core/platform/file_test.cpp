#include "core/platform/file.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fstream>
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
#include "tests/core/platform/stream_contract.h"
#include "tests/support/abort_hook.h"
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

// ---- As a Stream --------------------------------------------------------------------------------

TEST(File, IsAStream) {
    static TempDir dir;
    static int32_t counter = 0;
    stream_contract::StreamKind kind;
    kind.Name = "File";
    kind.Slots = stream_contract::kSlotWrite | stream_contract::kSlotRead | stream_contract::kSlotSeek |
                 stream_contract::kSlotFlush | stream_contract::kSlotTell | stream_contract::kSlotLength |
                 stream_contract::kSlotIsOpen | stream_contract::kSlotClose;
    kind.SeekOutsideFails = false; // a file may be positioned past its end
    kind.EmptyWriteSucceeds = true;
    kind.Make = [](const std::vector<uint8_t>& content) -> Stream* {
        const std::string path = dir.file("s" + std::to_string(counter++));
        EXPECT_TRUE(WriteText(path, std::string(content.begin(), content.end())));
        File* file = nullptr;
        File_Create(&file);
        if (!File_Open(file, path.c_str(), FILE_READ | FILE_WRITE | FILE_SHARED)) return nullptr;
        Stream* stream = nullptr;
        File_GetStreamHandle(file, &stream);
        return stream;
    };
    kind.Destroy = [](Stream* stream) {
        File* file = static_cast<File*>(stream->Handle);
        File_Delete(&file);
    };
    stream_contract::RunStreamContract(kind);
}

TEST(File, StreamRecordIsTheFilesOwn) {
    File* file = nullptr;
    ASSERT_EQ(File_Create(&file), 1);
    Stream* stream = nullptr;
    EXPECT_EQ(File_GetStreamHandle(file, &stream), 1);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->Handle, file);
    EXPECT_EQ(stream->Peek, nullptr);
    EXPECT_EQ(stream->WriteAsync, nullptr);
    EXPECT_EQ(stream->ReadAsync, nullptr);
    EXPECT_EQ(File_IsOpen(file), 0);
    uint32_t value = 0;
    EXPECT_EQ(File_GetRetries(file, &value), 1);
    EXPECT_EQ(value, 20u);
    EXPECT_EQ(File_GetAutoCreateDirectories(file, &value), 1);
    EXPECT_EQ(value, 1u);
    Stream_SetLastError(stream, E(ENOSPC));
    EXPECT_EQ(File_GetLastError(file), E(ENOSPC));
    EXPECT_EQ(File_Reset(file), 1);
    EXPECT_EQ(File_GetLastError(file), 0);
    EXPECT_EQ(File_Close(file), 1) << "nothing open is success";
    EXPECT_EQ(File_Delete(&file), 1);
    EXPECT_EQ(file, nullptr);
}

// ---- Opening ------------------------------------------------------------------------------------

TEST(File, DescriptorZeroIsAnOpenFile) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "zero"));
    // Free descriptor 0 so that the open gets it.
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    Capture c;
    const int64_t opened = File_Open(c.F, dir.file("f").c_str(), FILE_READ);
    const int64_t isOpen = File_IsOpen(c.F);
    char buffer[8] = {};
    uint32_t count = 0;
    const int64_t read = File_Read(c.F, buffer, sizeof(buffer), &count);
    const int64_t closed = File_Close(c.F);
    const int64_t afterClose = File_IsOpen(c.F);
    const bool zeroWasTaken = fcntl(0, F_GETFD) >= 0;
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(isOpen, 1);
    EXPECT_EQ(read, 1);
    EXPECT_EQ(std::string(buffer, count), "zero");
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(afterClose, 0);
    EXPECT_FALSE(zeroWasTaken) << "descriptor 0 was closed by File_Close";
}

TEST(File, AFailedCloseGivesTheDescriptorUp) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "x"));
    int saved = dup(0);
    ASSERT_GE(saved, 0);
    close(0);
    Capture c;
    const int64_t opened = File_Open(c.F, dir.file("f").c_str(), FILE_READ);
    close(0); // behind the File's back: its close now fails
    const int64_t closed = File_Close(c.F);
    const int64_t stillOpen = File_IsOpen(c.F);
    // Descriptor 0 is handed out again; a second close must not reach the new owner.
    int reused = open(dir.file("f").c_str(), O_RDONLY);
    const int64_t closedAgain = File_Close(c.F);
    const bool reusedAlive = fcntl(reused, F_GETFD) >= 0;
    close(reused);
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(stillOpen, 0);
    EXPECT_EQ(reused, 0);
    EXPECT_EQ(closedAgain, 1);
    EXPECT_TRUE(reusedAlive);
    EXPECT_EQ(File_GetLastError(c.F), E(EBADF));
    ASSERT_EQ(c.Lines.size(), 1u);
    EXPECT_EQ(c.Lines[0], "Unable to close [" + dir.file("f") + "] [Err: " + std::to_string(EBADF) + "]");
}

TEST(File, MissingFileForReadingFailsAtOnce) {
    TempDir dir;
    Capture c;
    EXPECT_EQ(File_Open(c.F, dir.file("missing").c_str(), FILE_READ | FILE_SHARED), 0);
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
    EXPECT_EQ(File_Open(c.F, dir.file("missing").c_str(), FILE_READ | FILE_QUIET), 0);
    EXPECT_TRUE(c.Lines.empty()) << c.All();
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
    // Read, write and append together never create.
    EXPECT_EQ(File_Open(c.F, dir.file("missing").c_str(), FILE_READ | FILE_WRITE | FILE_APPEND | FILE_QUIET),
              0);
    EXPECT_TRUE(Entries(dir.path()).empty());
}

TEST(File, WritingCreatesTheFileAndItsDirectories) {
    TempDir dir;
    Capture c;
    const std::string path = dir.file("dir/sub/new.txt");
    ASSERT_EQ(File_Open(c.F, path.c_str(), FILE_WRITE | FILE_SHARED), 1) << c.All();
    uint32_t written = 0;
    EXPECT_EQ(File_Write(c.F, "hello", 5, &written), 1);
    EXPECT_EQ(written, 5u);
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
    EXPECT_EQ(File_Open(c.F, dir.file("other/new.txt").c_str(), FILE_WRITE), 0);
    EXPECT_EQ(Platform_ErrorMissing(File_GetLastError(c.F)), 1);
    EXPECT_FALSE(FileExists(dir.file("other")));
}

TEST(File, PathsAreResolvedAndNormalised) {
    TempDir dir;
    const char* oldHome = getenv("HOME");
    std::string savedHome = oldHome ? oldHome : "";
    setenv("HOME", dir.path().c_str(), 1);
    Capture c;
    const int64_t opened = File_Open(c.F, "~/notes.txt", FILE_WRITE);
    std::string path = File_GetPathPtr(c.F);
    File_Close(c.F);
    if (oldHome)
        setenv("HOME", savedHome.c_str(), 1);
    else
        unsetenv("HOME");
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(path, dir.file("notes.txt"));
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
    EXPECT_EQ(File_Open(c.F, name.c_str(), FILE_WRITE), 0);
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
    bool busy = false;
    const std::string exe = "/proc/" + std::to_string(child) + "/exe";
    for (int i = 0; i < 2500 && !busy; i++) {
        char target[4096] = {};
        busy = readlink(exe.c_str(), target, sizeof(target) - 1) > 0 && program == target;
        if (!busy) usleep(2000);
    }
    if (busy) {
        Capture c;
        File_SetRetries(c.F, 3);
        EXPECT_EQ(File_Open(c.F, program.c_str(), FILE_WRITE | FILE_SHARED), 0);
        EXPECT_EQ(File_GetLastError(c.F), E(ETXTBSY));
        ASSERT_EQ(c.Lines.size(), 3u) << c.All();
        for (int32_t attempt = 0; attempt < 2; attempt++) {
            char expected[512];
            String_Print(expected, sizeof(expected), "Retrying open file (%s) (%d) [Err: %d]", program.c_str(),
                         attempt, E(ETXTBSY));
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
        EXPECT_EQ(File_Open(c.F, dir.file("folder").c_str(), flags), 0);
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
    EXPECT_EQ(File_Open(l.F, dir.file("to-folder").c_str(), FILE_READ), 0);
    EXPECT_EQ(File_GetLastError(l.F), E(EISDIR));
    EXPECT_EQ(l.Lines.size(), 1u) << "one attempt, no retry line: " << l.All();
    // Retries below 1: the failure step at once.
    Capture c;
    ASSERT_TRUE(WriteText(dir.file("f"), "x"));
    File_SetRetries(c.F, 0);
    EXPECT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ), 0);
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
        if (File_Open(c.F, path.c_str(), FILE_READ)) return 3;
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
        if (!File_Open(c.F, theirs.c_str(), FILE_WRITE | FILE_TRUNCATE)) return 3;
        uint32_t written = 0;
        if (!File_Write(c.F, "mine", 4, &written)) return 4;
        return File_Close(c.F) ? 0 : 5;
    });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(ReadFile(theirs), "mine");
    EXPECT_EQ(Entries(dir.path()), (std::set<std::string>{"secret", "theirs"}));
}

TEST(File, OpenModes) {
    TempDir dir;
    Capture c;
    uint32_t written = 0;
    ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
    // Write alone overwrites from the start and keeps the rest.
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_WRITE), 1);
    EXPECT_EQ(File_Write(c.F, "ab", 2, &written), 1);
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(dir.file("f")), "ab23456789");
    // Append writes at the end.
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_WRITE | FILE_APPEND), 1);
    EXPECT_EQ(File_Write(c.F, "XY", 2, &written), 1);
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(dir.file("f")), "ab23456789XY");
    // Truncate empties it; the size from the open stays what it was.
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_WRITE | FILE_TRUNCATE), 1);
    uint64_t size = 0;
    File_GetFilesizeBytes(c.F, &size);
    EXPECT_EQ(size, 12u);
    uint64_t length = 99;
    EXPECT_EQ(File_Length(c.F, &length), 1);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(dir.file("f")), "");
    // Read and write: reads what is there, writes where it stands.
    ASSERT_TRUE(WriteText(dir.file("g"), "hello"));
    ASSERT_EQ(File_Open(c.F, dir.file("g").c_str(), FILE_READ | FILE_WRITE), 1);
    char buffer[8] = {};
    uint32_t count = 0;
    EXPECT_EQ(File_Read(c.F, buffer, 2, &count), 1);
    EXPECT_EQ(File_Write(c.F, "LL", 2, &written), 1);
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(ReadFile(dir.file("g")), "heLLo");
    EXPECT_TRUE(c.Lines.empty()) << c.All();
}

TEST(File, TruncatingWritesReplaceTheFileWholeAtClose) {
    TempDir dir;
    Capture c;
    ASSERT_TRUE(WriteText(dir.file("doc"), "the old content", 0640));
    ASSERT_EQ(File_Open(c.F, dir.file("doc").c_str(), FILE_WRITE | FILE_TRUNCATE | FILE_SHARED), 1);
    uint32_t written = 0;
    EXPECT_EQ(File_Write(c.F, "new", 3, &written), 1);
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
    ASSERT_EQ(File_Open(c.F, dir.file("doc").c_str(), FILE_READ | FILE_WRITE | FILE_TRUNCATE | FILE_SHARED),
              1);
    EXPECT_EQ(File_Write(c.F, "abc", 3, &written), 1);
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
    ASSERT_EQ(File_Open(l.F, dir.file("link").c_str(), FILE_WRITE | FILE_TRUNCATE), 1);
    uint64_t size = 0;
    File_GetFilesizeBytes(l.F, &size);
    EXPECT_EQ(size, 3u) << "the size of the file, not of the link";
    EXPECT_EQ(File_Write(l.F, "linked", 6, &written), 1);
    EXPECT_EQ(File_Close(l.F), 1);
    EXPECT_EQ(ReadFile(dir.file("doc")), "linked");
    ASSERT_EQ(lstat(dir.file("link").c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    unlink(dir.file("link").c_str());

    // A device has nothing to cut and nothing to replace.
    ASSERT_EQ(File_Open(l.F, "/dev/null", FILE_WRITE | FILE_TRUNCATE), 1) << l.All();
    EXPECT_EQ(File_Write(l.F, "gone", 4, &written), 1);
    EXPECT_EQ(File_Close(l.F), 1);
    EXPECT_TRUE(l.Lines.empty()) << l.All();

    // A file with a second name is emptied in place, so both names keep seeing one file.
    Capture d;
    ASSERT_EQ(link(dir.file("doc").c_str(), dir.file("alias").c_str()), 0);
    ASSERT_EQ(File_Open(d.F, dir.file("doc").c_str(), FILE_WRITE | FILE_TRUNCATE), 1);
    EXPECT_EQ(ReadFile(dir.file("alias")), "");
    EXPECT_EQ(File_Write(d.F, "both", 4, &written), 1);
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
        if (!File_Open(c.F, path.c_str(), FILE_WRITE | FILE_TRUNCATE)) return 3;
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
    ASSERT_EQ(File_Open(c.F, path.c_str(), FILE_WRITE | FILE_TRUNCATE), 1);
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

// ---- Data ---------------------------------------------------------------------------------------

TEST(File, ReadAtTheEndAndLengthKeepThePosition) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
    Capture c;
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ | FILE_SHARED), 1);
    EXPECT_EQ(File_Seek(c.F, 4, SEEK_ORIGIN_BEGIN), 1);
    uint64_t length = 0, position = 0;
    EXPECT_EQ(File_Length(c.F, &length), 1);
    EXPECT_EQ(length, 10u);
    EXPECT_EQ(File_Tell(c.F, &position), 1);
    EXPECT_EQ(position, 4u);
    char buffer[16];
    uint32_t count = 0;
    EXPECT_EQ(File_Read(c.F, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(count, 6u);
    count = 5;
    EXPECT_EQ(File_Read(c.F, buffer, sizeof(buffer), &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(File_GetLastError(c.F), 0);
    EXPECT_TRUE(c.Lines.empty()) << c.All();
    // A seek before the start fails with the platform's error and a line.
    EXPECT_EQ(File_Seek(c.F, -20, SEEK_ORIGIN_CURRENT), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(EINVAL));
    ASSERT_EQ(c.Lines.size(), 1u);
    EXPECT_EQ(c.Lines[0],
              "Failed to seek [" + dir.file("f") + "] (1:-20) [Err: " + std::to_string(E(EINVAL)) + "]");
    // Writing to a file opened for reading fails with a line.
    uint32_t written = 3;
    EXPECT_EQ(File_Write(c.F, "x", 1, &written), 0);
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(File_GetLastError(c.F), E(EBADF));
    EXPECT_EQ(c.Lines.back(), "Failed to write [" + dir.file("f") + "] 1 (" + std::to_string(E(EBADF)) + ")");
    EXPECT_EQ(File_Write(c.F, nullptr, -1, &written), 0) << "a negative length is refused";
    EXPECT_EQ(File_Close(c.F), 1);
}

TEST(File, TruncateCutsAtThePosition) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), "0123456789"));
    Capture c;
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ | FILE_WRITE), 1);
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
    char buffer[4];
    uint32_t count = 7;
    uint64_t position = 7;
    EXPECT_EQ(File_Read(c.F, buffer, 4, &count), 0);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(File_Write(c.F, "abc", 3, &count), 0);
    EXPECT_EQ(File_Seek(c.F, 0, SEEK_ORIGIN_BEGIN), 0);
    EXPECT_EQ(File_Flush(c.F), 0);
    EXPECT_EQ(File_Tell(c.F, &position), 0);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(File_Truncate(c.F), 0);
    EXPECT_EQ(File_Lock(c.F, 0, 1), 0);
    EXPECT_EQ(File_Unlock(c.F, 0, 1), 0);
    EXPECT_EQ(File_EnableSparseMode(c.F), 0);
    const std::vector<std::string> expected = {
        "No file handle is open - cannot read [] (4)", "No file handle is open - cannot write [] (3)",
        "No file handle is open - cannot seek",        "No file handle is open - cannot flush",
        "No file handle is open - cannot tell",
    };
    EXPECT_EQ(c.Lines, expected);
    EXPECT_EQ(File_GetLastError(c.F), 0) << "nothing recorded";
}

TEST(File, LocksKeepOtherProcessesOutAndThePositionStays) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("f"), std::string(100, 'x')));
    Capture c;
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ | FILE_WRITE), 1);
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
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ), 1);
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
    ASSERT_EQ(File_Open(c.F, dir.file("link").c_str(), FILE_READ), 1);
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
    ASSERT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ), 1);
    unlink(dir.file("f").c_str());
    char buffer[16];
    uint32_t count = 0;
    EXPECT_EQ(File_Read(c.F, buffer, sizeof(buffer), &count), 1);
    EXPECT_EQ(std::string(buffer, count), "still here");
    EXPECT_EQ(File_Close(c.F), 1);
    EXPECT_EQ(File_Open(c.F, dir.file("f").c_str(), FILE_READ | FILE_QUIET), 0);
    EXPECT_EQ(File_GetLastError(c.F), E(ENOENT));
}

TEST(File, NamesThatAreNotUtf8) {
    TempDir dir;
    const std::string path = dir.file("odd-\xff\xfe.bin");
    Capture c;
    ASSERT_EQ(File_Open(c.F, path.c_str(), FILE_WRITE), 1);
    uint32_t written = 0;
    EXPECT_EQ(File_Write(c.F, "ok", 2, &written), 1);
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
    void* user = nullptr;
    ClassPrintCallback callback = nullptr;
    EXPECT_EQ(File_GetPrintCallback(c.F, &user, &callback), 1);
    EXPECT_EQ(user, &c.Lines);
    EXPECT_EQ(callback, CaptureLines);
    File_SetPrintCallback(c.F, nullptr, nullptr);
    EXPECT_EQ(File_GetPrintCallback(c.F, &user, &callback), 1);
    EXPECT_NE(callback, nullptr) << "the default prints to the log";
}

TEST(File, ReferenceCounting) {
    File* file = nullptr;
    File_Create(&file);
    EXPECT_EQ(File_AddRef(file), 1);
    File* second = file;
    EXPECT_EQ(File_Release(&second), 1);
    EXPECT_EQ(second, nullptr);
    char id[40] = "x";
    EXPECT_EQ(File_GetInstanceId(file, id, sizeof(id)), 1);
    EXPECT_STREQ(id, "");
    EXPECT_EQ(File_Release(&file), 1);
    EXPECT_EQ(file, nullptr);
    EXPECT_EQ(File_Release(&file), 0);
}

TEST(File, ProgrammingErrorsStopTheProcess) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("a"), "a"));
    const std::string a = dir.file("a");
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            File* f = nullptr;
            File_Create(&f);
            File_Open(f, a.c_str(), FILE_READ | FILE_NOBUFFER);
        },
        AbortRegex(
            "Assertion failed (ThisIsNot(Flags, FILE_NOBUFFER))\nUnbuffered I/O not supported in synchronous "
            "files"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            File* f = nullptr;
            File_Create(&f);
            File_Open(f, a.c_str(), FILE_READ);
            File_Open(f, "/other", FILE_READ);
        },
        AbortRegex("Assertion failed (File->AccessPtr == 0)\nPrevious file [" + a +
                   "] must be closed before opening [/other]\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            File* f = nullptr;
            File_Create(&f);
            File_Open(f, a.c_str(), FILE_SHARED);
        },
        AbortRegex("Unknown mode [32]\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            File_IsOpen(nullptr);
        },
        AbortRegex("Pointer is NULL\n"));
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            uint32_t fake[16] = {};
            File_IsOpen(reinterpret_cast<File*>(fake));
        },
        "Class mismatch pointer");
}

} // namespace

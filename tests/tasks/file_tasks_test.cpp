// The file task types run through the engine: copies and moves checked with cmp and stat, digests
// against the coreutils tools, deletion, truncation, existence and authentication, the failures
// of missing, dangling and wrong-kind paths, and permission failures seen by an unprivileged user.
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "core/certs/authenticate.h"
#include "tests/tasks/file_task_fixture.h"

namespace {

using Errors = std::vector<std::string>;
using FileTasks = FileTaskTest;

// The read-only attribute of this platform: the immutable flag. Answers whether it was set.
bool Immutable(const std::string& path, int change = -1) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    int flags = 0;
    const bool got = fd >= 0 && ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (got && change >= 0) {
        int wanted = change ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ioctl(fd, FS_IOC_SETFLAGS, &wanted);
    }
    if (fd >= 0) close(fd);
    return got && (flags & FS_IMMUTABLE_FL);
}

TEST_F(FileTasks, MissingArgumentFailsBeforeAnyThread) {
    const struct {
        const char* type;
        const char* arguments;
        const char* key;
    } cases[] = {
        {"FileCopy", "\"targetPath\": \"/tmp/x\"", "sourcePath"},
        {"FileMove", "\"sourcePath\": \"/tmp/x\"", "targetPath"},
        {"FileDelete", "", "path"},
        {"FileExists", "", "path"},
        {"FileTruncate", "\"path\": \"/tmp/x\"", "offset"},
        {"FileHash", "", "path"},
        {"FileAuthenticate", "", "path"},
        {"DirectoryCreate", "", "path"},
        {"DirectoryCopy", "\"sourcePath\": \"/tmp\"", "targetPath"},
        {"DirectoryMove", "\"targetPath\": \"/tmp\"", "sourcePath"},
        {"DirectoryDelete", "", "path"},
        {"DirectoryExists", "", "path"},
        {"DirectoryIsEmpty", "", "path"},
        {"DiskSpaceCheck", "\"path\": \"/tmp/\"", "requiredBytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const Run run = One(c.type, c.arguments);
        EXPECT_FALSE(run.successful);
        EXPECT_EQ(run.errors, Errors{"Task_Error_MissingArg"});
        EXPECT_TRUE(Printed(std::string(c.key) + " argument not defined"));
        EXPECT_EQ(threads.load(), 0);
    }
}

TEST_F(FileTasks, CopyIntoDirectoryKeepsNameContentModeAndTime) {
    ASSERT_TRUE(WriteText(P("source.bin"), std::string(300000, 'q') + "end", 0751));
    struct timespec times[2] = {{1500000000, 0}, {1500000000, 0}};
    utimensat(AT_FDCWD, P("source.bin").c_str(), times, 0);
    mkdir(P("into").c_str(), 0755);
    const Run run = One("FileCopy", "\"sourcePath\": " + Q(P("source.bin")) + ", \"targetPath\": " + Q(P("into/")));
    EXPECT_TRUE(run.successful);
    EXPECT_EQ(Sh("cmp " + P("source.bin") + " " + P("into/source.bin") + " && stat -c '%a %Y' " + P("into/source.bin")),
              "751 1500000000\n");
    EXPECT_EQ(LastNumber("progress"), 1);
    EXPECT_TRUE(Printed("Copying file (" + P("source.bin") + " -> " + P("into/source.bin") + ")"));
}

// A file the system says is empty but is not (the kernel's own) is copied whole, and one that
// would go on for terabytes is refused at the bound, leaving no target.
TEST_F(FileTasks, CopyOfAFileThatSaysItIsEmptyIsWholeAndBounded) {
    std::ifstream in("/proc/version");
    const std::string version((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(version.empty());
    EXPECT_TRUE(One("FileCopy", "\"sourcePath\": \"/proc/version\", \"targetPath\": " + Q(P("version"))).successful);
    EXPECT_EQ(ReadFile(P("version")), version);
    const Run endless = One("FileCopy", "\"sourcePath\": \"/proc/self/pagemap\", \"targetPath\": " + Q(P("pagemap")));
    EXPECT_EQ(endless.errors, Errors{"Platform_Error_AccessInvalid"});
    EXPECT_FALSE(FileExists(P("pagemap")));
}

TEST_F(FileTasks, MoveArgumentOverridesTheTypesDefault) {
    const struct {
        const char* type;
        const char* move;
        bool sourceLeft;
    } cases[] = {{"FileMove", "false", true}, {"FileCopy", "true", false}, {"FileMove", nullptr, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + (c.move ? c.move : ""));
        ASSERT_TRUE(WriteText(P("a"), "payload"));
        unlink(P("b").c_str());
        const Run run = One(c.type, "\"sourcePath\": " + Q(P("a")) + ", \"targetPath\": " + Q(P("b")) +
                                        (c.move ? std::string(", \"move\": ") + c.move : ""));
        EXPECT_TRUE(run.successful);
        EXPECT_EQ(ReadFile(P("b")), "payload");
        EXPECT_EQ(FileExists(P("a")), c.sourceLeft);
    }
}

TEST_F(FileTasks, ReadOnlyArgumentSetsOrClearsTheTargetsFlag) {
    ASSERT_TRUE(WriteText(P("a"), "new"));
    ASSERT_TRUE(WriteText(P("b"), "old"));
    Immutable(P("b"), 1);
    ASSERT_TRUE(Immutable(P("b")));
    EXPECT_TRUE(One("FileCopy", "\"sourcePath\": " + Q(P("a")) + ", \"targetPath\": " + Q(P("b")) + ", \"readOnly\": false").successful);
    EXPECT_EQ(ReadFile(P("b")), "new");
    EXPECT_FALSE(Immutable(P("b")));
    EXPECT_TRUE(One("FileCopy", "\"sourcePath\": " + Q(P("a")) + ", \"targetPath\": " + Q(P("c")) + ", \"readOnly\": true").successful);
    EXPECT_TRUE(Immutable(P("c"), 0));
}

TEST_F(FileTasks, FailedCopyOrMoveLeavesTheTargetWhole) {
    ASSERT_TRUE(WriteText(P("target"), "good"));
    ASSERT_TRUE(WriteText(P("same"), "x"));
    mkdir(P("dir").c_str(), 0755);
    ASSERT_EQ(mkfifo(P("dir/fifo").c_str(), 0600), 0);
    const struct {
        const char* type;
        std::string source, target;
        const char* extra;
        Errors errors;
    } cases[] = {
        {"FileCopy", P("absent"), P("target"), "", {"Platform_Error_Missing"}},
        {"FileCopy", P("dir"), P("target"), "", {"Platform_Error_AccessInvalid"}},
        // Only a file is copied, and only a file (or nothing) replaced: a FIFO or a device at the
        // target stays what it is.
        {"FileCopy", P("same"), P("dir/fifo"), "", {"Platform_Error_NotSupported"}},
        {"FileMove", P("same"), P("dir/fifo"), "", {"Platform_Error_NotSupported"}},
        {"FileCopy", "/dev/zero", P("target"), "", {"Platform_Error_NotSupported"}},
        {"FileMove", P("same"), P("same"), "", {}},
        // A file moved onto itself is still there afterwards: the flag turns that into a failure.
        {"FileMove", P("same"), P("same"), ", \"failIfNotDeleted\": true", {"Platform_Error_AccessDenied"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source + c.extra);
        const Run run = One(c.type, "\"sourcePath\": " + Q(c.source) + ", \"targetPath\": " + Q(c.target) + c.extra);
        EXPECT_EQ(run.errors, c.errors);
    }
    EXPECT_EQ(ReadFile(P("target")), "good");
    EXPECT_EQ(Sh("ls " + dir.path() + " | wc -l"), "3\n");
    EXPECT_TRUE(Printed("Failed to delete source " + P("same")));
    EXPECT_TRUE(Printed(P("dir/fifo") + ": Operation not supported"));
    EXPECT_TRUE(Printed("/dev/zero: Operation not supported"));
    struct stat info;
    EXPECT_TRUE(stat(P("dir/fifo").c_str(), &info) == 0 && S_ISFIFO(info.st_mode));
}

TEST_F(FileTasks, DeleteFailsOnlyWhereItShould) {
    ASSERT_TRUE(WriteText(P("here"), "x"));
    ASSERT_TRUE(WriteText(P("kept"), "k"));
    mkdir(P("dir").c_str(), 0755);
    ASSERT_EQ(symlink(P("elsewhere").c_str(), P("dangling").c_str()), 0);
    ASSERT_EQ(symlink(P("kept").c_str(), P("link").c_str()), 0);
    const struct {
        std::string path;
        const char* extra;
        Errors errors;
    } cases[] = {
        {P("absent"), "", {}},
        {P("absent"), ", \"failIfMissing\": true", {"Platform_Error_AccessInvalid"}},
        {P("here"), ", \"failIfMissing\": true", {}},
        {P("dangling"), "", {}},
        {P("link"), ", \"waitForReboot\": true", {}},
        {P("dir"), "", {"Platform_Error_AccessInvalid"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + c.extra);
        EXPECT_EQ(One("FileDelete", "\"path\": " + Q(c.path) + c.extra).errors, c.errors);
    }
    EXPECT_EQ(Sh("cd " + dir.path() + " && ls"), "dir\nkept\n");
    EXPECT_TRUE(Printed("Erasing file on reboot (" + P("link") + ")"));
}

TEST_F(FileTasks, ExistsRunsItsOutcomeWord) {
    ASSERT_TRUE(WriteText(P("f"), ""));
    ASSERT_EQ(symlink(P("nowhere").c_str(), P("dangling").c_str()), 0);
    for (const auto& [name, marker] : {std::pair{"f", "yes"}, {"dangling", "yes"}, {"nothing", "no"}}) {
        started.clear();
        EXPECT_TRUE(One("FileExists", "\"path\": " + Q(P(name)) + ", \"exists\": \"yes\", \"missing\": \"no\"").successful);
        EXPECT_EQ(Marker(), marker) << name;
    }
    EXPECT_TRUE(Printed("File exists"));
    EXPECT_TRUE(Printed("File is missing"));
}

TEST_F(FileTasks, TruncateCutsAtTheOffsetAndRefusesWhatIsNoPlainFile) {
    ASSERT_TRUE(WriteText(P("f"), "0123456789"));
    ASSERT_TRUE(WriteText(P("victim"), "untouched"));
    ASSERT_EQ(symlink(P("victim").c_str(), P("link").c_str()), 0);
    mkdir(P("dir").c_str(), 0755);
    const struct {
        std::string path;
        const char* offset;
        Errors errors;
    } cases[] = {
        {P("f"), "4.9", {}},
        {P("absent"), "1", {"Platform_Error_Missing"}},
        {P("dir"), "1", {"Platform_Error_AccessDenied"}},
        {P("link"), "1", {"Platform_Error_AccessDenied"}},
        {P("f"), "\"many\"", {"Task_Error_InvalidArg"}},
        {P("f"), "-1", {"Task_Error_InvalidArg"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " " + c.offset);
        EXPECT_EQ(One("FileTruncate", "\"path\": " + Q(c.path) + ", \"offset\": " + c.offset).errors, c.errors);
    }
    EXPECT_EQ(ReadFile(P("f")), "0123");
    EXPECT_EQ(ReadFile(P("victim")), "untouched");
    EXPECT_TRUE(Printed("Truncating file (" + P("f") + ") at offset (5)"));
}

TEST_F(FileTasks, HashEqualsTheCoreutilsDigests) {
    ASSERT_EQ(Sh("head -c 200000 /dev/urandom > " + P("data") + " && echo ok"), "ok\n");
    for (const char* algorithm : {"md5", "SHA1", "sha224", "SHA256", "sha384", "sha512"}) {
        SCOPED_TRACE(algorithm);
        std::string tool = algorithm;
        for (char& c : tool) c = (char)tolower(c);
        const std::string expected = Sh(tool + "sum " + P("data") + " | cut -d' ' -f1 | tr -d '\\n'");
        EXPECT_TRUE(One("FileHash", "\"path\": " + Q(P("data")) + ", \"algorithm\": \"" + algorithm + "\"").successful);
        EXPECT_EQ(Last("actualDigest"), expected);
        EXPECT_EQ(LastNumber("progress"), 1);
    }
    // A file the system says is empty but is not (the kernel's own) is read to its end.
    const std::string version = Sh("sha1sum /proc/version | cut -d' ' -f1 | tr -d '\\n'");
    ASSERT_EQ(version.size(), 40u);
    EXPECT_TRUE(One("FileHash", "\"path\": \"/proc/version\"").successful);
    EXPECT_EQ(Last("actualDigest"), version);
    // Read to its end, but not without bound: this one would go on for terabytes.
    const Run endless = One("FileHash", "\"path\": \"/proc/self/pagemap\"");
    EXPECT_EQ(endless.errors, Errors{"Platform_Error_AccessInvalid"});
}

TEST_F(FileTasks, HashComparesAnExpectedDigestIgnoringCase) {
    ASSERT_TRUE(WriteText(P("abc"), "abc"));
    // FIPS 180-2: SHA-1 of "abc".
    const std::string digest = "A9993E364706816ABA3E25717850C26C9CD0D89D";
    // Only the whole digest is equal: neither a part of it nor the digest with more after it.
    for (const auto& [expected, marker] :
         {std::pair{digest, "yes"}, {"a9993e364706816aba3e25717850c26c9cd0d89e", "no"}, {"", "none"},
          {"a9993e364706816aba3e25717850c26c9cd0d89", "no"}, {"A9993E36", "no"}, {"a", "no"},
          {"a9993e364706816aba3e25717850c26c9cd0d89d0", "no"}}) {
        started.clear();
        const std::string given = expected.empty() ? "" : ", \"expectedDigest\": " + Q(expected);
        EXPECT_TRUE(One("FileHash", "\"path\": " + Q(P("abc")) + given + ", \"equalTo\": \"yes\", \"notEqualTo\": \"no\"").successful);
        EXPECT_EQ(Marker(), marker) << expected;
        EXPECT_EQ(Last("actualDigest"), "a9993e364706816aba3e25717850c26c9cd0d89d");
        EXPECT_EQ(Last("expectedDigest"), expected);
    }
}

TEST_F(FileTasks, HashFailuresAreKeys) {
    mkdir(P("dir").c_str(), 0755);
    ASSERT_EQ(symlink(P("nowhere").c_str(), P("dangling").c_str()), 0);
    ASSERT_TRUE(WriteText(P("f"), "x"));
    // Names that are no file: a device (read as nothing, or without end), a FIFO nothing writes
    // to (a reader would wait for ever), a socket. Each is refused, naming it, without a wait.
    ASSERT_EQ(mkfifo(P("fifo").c_str(), 0600), 0);
    const int listener = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    ASSERT_LT(P("socket").size(), sizeof(address.sun_path));
    strcpy(address.sun_path, P("socket").c_str());
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    const struct {
        std::string arguments;
        Errors errors;
        int threads;
        std::string says;
    } cases[] = {
        {"\"path\": " + Q(P("f")) + ", \"algorithm\": \"whirlpool\"", {"Task_Error_InvalidArg"}, 0, ""},
        {"\"path\": " + Q(P("absent")), {"Platform_Error_Missing"}, 1, ""},
        {"\"path\": " + Q(P("dangling")), {"Platform_Error_Missing"}, 1, ""},
        {"\"path\": " + Q(P("dir")), {"Platform_Error_AccessInvalid"}, 1, P("dir") + ": Is a directory"},
        {"\"path\": \"/dev/zero\"", {"Platform_Error_NotSupported"}, 1, "/dev/zero: Operation not supported"},
        {"\"path\": \"/dev/urandom\"", {"Platform_Error_NotSupported"}, 1, "/dev/urandom: Operation not supported"},
        {"\"path\": " + Q(P("fifo")), {"Platform_Error_NotSupported"}, 1, P("fifo") + ": Operation not supported"},
        {"\"path\": " + Q(P("socket")), {"Platform_Error_NotSupported"}, 1, P("socket") + ": Operation not supported"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments);
        threads = 0;
        const Run run = One("FileHash", c.arguments);
        EXPECT_EQ(run.errors, c.errors);
        EXPECT_EQ(threads.load(), c.threads);
        if (!c.says.empty()) {
            EXPECT_TRUE(Printed(c.says));
        }
        // Never the digest of nothing (SHA-1 of the empty text) as if the name held no bytes.
        EXPECT_NE(Last("actualDigest"), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
    }
    close(listener);
}

TEST_F(FileTasks, AuthenticateAnswersValidOrNotValid) {
    ASSERT_TRUE(WriteText(P("plain"), "no signature here"));
    const std::string arguments = "\"path\": " + Q(P("plain")) + ", \"valid\": \"yes\", \"notValid\": \"no\"";
    EXPECT_TRUE(One("FileAuthenticate", arguments).successful);
    EXPECT_EQ(Marker(), "no");
    Authenticate_SetEnabled(0);
    started.clear();
    One("FileAuthenticate", arguments);
    Authenticate_SetEnabled(1);
    EXPECT_EQ(Marker(), "yes");
}

// The suite runs as root, to whom every mode bit yields: this runs the test below in a copy of the
// test program started as "nobody", on a tree that only root may change.
TEST_F(FileTasks, PermissionFailuresOfAnUnprivilegedUser) {
    if (getenv("FILE_TASKS_UNPRIVILEGED") || geteuid() != 0) GTEST_SKIP() << "needs root to start the other user";
    chmod(dir.path().c_str(), 0755);
    mkdir(P("locked").c_str(), 0755);
    mkdir(P("locked/private").c_str(), 0700);
    ASSERT_TRUE(WriteText(P("locked/file"), "root's", 0644));
    char self[4096] = {0};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof(self) - 1), 0);
    // The program runs from the test's own 0755 folder: the checkout may lie in a private folder
    // (a home of mode 0700, a fresh temporary clone) that the other user cannot enter. A second
    // name, or a copy where that is another file system.
    const std::string program = P("program");
    if (link(self, program.c_str()) != 0) {
        std::ifstream in(self, std::ios::binary);
        std::ofstream copy(program, std::ios::binary);
        copy << in.rdbuf();
        copy.close();
        ASSERT_TRUE(copy.good());
        ASSERT_EQ(chmod(program.c_str(), 0755), 0);
    }
    const std::string out = Sh("cd / && FILE_TASKS_UNPRIVILEGED=" + dir.path() +
                               " setpriv --reuid=65534 --regid=65534 --clear-groups " + program +
                               " --gtest_filter='FileTasksUnprivileged.*' 2>&1; echo status=$?");
    EXPECT_NE(out.find("[  PASSED  ] 1 test"), std::string::npos) << out;
    EXPECT_NE(out.find("status=0"), std::string::npos) << out;
    EXPECT_EQ(ReadFile(P("locked/file")), "root's");
}

using FileTasksUnprivileged = FileTaskTest;

TEST_F(FileTasksUnprivileged, SeesDeniedAccess) {
    const char* root = getenv("FILE_TASKS_UNPRIVILEGED");
    if (!root) GTEST_SKIP() << "run by PermissionFailuresOfAnUnprivilegedUser";
    ASSERT_NE(geteuid(), 0u);
    const std::string locked = std::string(root) + "/locked";
    const struct {
        const char* type;
        std::string arguments;
        Errors errors;
    } cases[] = {
        {"FileCopy", "\"sourcePath\": " + Q(locked + "/file") + ", \"targetPath\": " + Q(locked + "/copy"),
         {"Platform_Error_AccessDenied"}},
        {"FileTruncate", "\"path\": " + Q(locked + "/file") + ", \"offset\": 0", {"Platform_Error_AccessDenied"}},
        {"DirectoryCreate", "\"path\": " + Q(locked + "/sub/deeper"), {"Platform_Error_AccessDenied"}},
        // A directory it may not read is not known to be empty.
        {"DirectoryIsEmpty", "\"path\": " + Q(locked + "/private"), {"Platform_Error_AccessDenied"}},
        {"DirectoryIsWritable", "\"path\": " + Q(locked) + ", \"writable\": \"yes\", \"notWritable\": \"no\"", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        EXPECT_EQ(One(c.type, c.arguments).errors, c.errors);
    }
    EXPECT_EQ(Marker(), "no");
}

} // namespace

#include "core/linux/platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <grp.h>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <utility>
#include <vector>

#include "core/certs/build_info.h"
#include "tests/support/abort_hook.h"
#include "tests/support/child_text.h"
#include "tests/support/log_capture.h"
#include "tests/support/temp_dir.h"

namespace {

TEST(PlatformAtomics, ReturnNewOrOldValues) {
    alignas(4) volatile uint32_t value = 5;
    EXPECT_EQ(Platform_Increment(&value), 6u);
    EXPECT_EQ(Platform_Decrement(&value), 5u);
    EXPECT_EQ(Platform_Add(&value, 10), 15u);
    EXPECT_EQ(Platform_Add(&value, -20), (uint32_t)-5);
    value = 7;
    EXPECT_EQ(Platform_CAS(&value, 9, 7), 7u);
    EXPECT_EQ(value, 9u);
    EXPECT_EQ(Platform_CAS(&value, 1, 7), 9u);
    EXPECT_EQ(value, 9u);
    int a = 0, b = 0;
    void* volatile pointer = &a;
    EXPECT_EQ(Platform_CASPointer(&pointer, &b, &a), &a);
    EXPECT_EQ(pointer, &b);
    EXPECT_EQ(Platform_CASPointer(&pointer, &a, &a), &b);
    EXPECT_EQ(Platform_CTZ(8), 3u);
    EXPECT_EQ(Platform_CLZ(1), 31u);
    EXPECT_EQ(Platform_CTZ(0), 32u);

    volatile uint32_t counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; t++)
        threads.emplace_back([&] {
            for (int i = 0; i < 10000; i++) Platform_Increment(&counter);
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(counter, 40000u);
}

TEST(PlatformRandom, GuidsAreVersionFourAndDistinct) {
    uint8_t a[16], b[16];
    Platform_CreateGuid(a);
    Platform_CreateGuid(b);
    EXPECT_EQ(a[6] >> 4, 4);
    EXPECT_EQ(a[8] & 0xC0, 0x80);
    EXPECT_NE(memcmp(a, b, 16), 0);
    uint8_t bytes[1000] = {};
    EXPECT_EQ(Platform_CryptFill(bytes, sizeof(bytes)), 1);
    int zeros = 0;
    for (uint8_t v : bytes) zeros += v == 0;
    EXPECT_LT(zeros, 30);
}

class SpecialPathTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("HOME", dir.path().c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        unsetenv("XDG_DATA_HOME");
        unsetenv("XDG_STATE_HOME");
        setenv("TMPDIR", "/var/tmp", 1);
    }
    void TearDown() override { unsetenv("TMPDIR"); }
    std::string Get(uint32_t id) {
        char buffer[1024];
        EXPECT_EQ(Platform_GetSpecialPath(id, buffer, sizeof(buffer)), 1) << id;
        return buffer;
    }
    TempDir dir;
};

TEST_F(SpecialPathTest, FollowTheXdgLayout) {
    const std::string home = dir.path();
    EXPECT_EQ(Get(PLATFORM_PATH_USER_HOME), home + "/");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_START_MENU), home + "/.local/share/applications/");
    EXPECT_EQ(Get(PLATFORM_PATH_COMMON_START_MENU), "/usr/share/applications/");
    EXPECT_EQ(Get(PLATFORM_PATH_PROGRAM_FILES), "/opt/");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_APP_DATA), home + "/.local/share/");
    EXPECT_EQ(Get(PLATFORM_PATH_COMMON_APP_DATA), "/var/lib/");
    EXPECT_EQ(Get(PLATFORM_PATH_TEMP), "/var/tmp/");
    EXPECT_EQ(Get(PLATFORM_PATH_ADMIN_TEMP), "/run/");
    EXPECT_EQ(Get(PLATFORM_PATH_SYSTEM_DIRECTORY), "/usr/");
    EXPECT_EQ(Get(PLATFORM_PATH_SYSTEM_DRIVE), "/");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DESKTOP), home + "/Desktop/");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DOWNLOADS), home + "/Downloads/");
    std::string module = Get(PLATFORM_PATH_MODULE_PATH);
    EXPECT_NE(module.find("platform_test"), std::string::npos);
    std::string directory = Get(PLATFORM_PATH_MODULE_DIRECTORY);
    EXPECT_EQ(module.rfind(directory, 0), 0u);
    EXPECT_EQ(Get(PLATFORM_PATH_MODULE_APP_DIRECTORY), directory);
    EXPECT_EQ(Get(PLATFORM_PATH_MODULE_APP_PATH) + "/", directory);
    EXPECT_EQ(Get(PLATFORM_PATH_WORKING_DIRECTORY).back(), '/');

    setenv("XDG_DATA_HOME", "/data/here", 1);
    EXPECT_EQ(Get(PLATFORM_PATH_USER_APP_DATA_ROAMING), "/data/here/");
    unsetenv("XDG_DATA_HOME");

    // User directories come from user-dirs.dirs when it names them.
    Platform_CreateDirectoryTree((home + "/.config").c_str());
    std::ofstream(home + "/.config/user-dirs.dirs") << "# comment\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n"
                                                    << "XDG_DOCUMENTS_DIR=\"/abs/docs\"\n";
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DESKTOP), home + "/Schreibtisch/");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DOCUMENTS), "/abs/docs/");

    char tiny[4];
    EXPECT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_USER_HOME, tiny, sizeof(tiny)), 0);
    EXPECT_STREQ(tiny, "");
    EXPECT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_USER_HOME, nullptr, 10), 0);
    EXPECT_DEATH(
        {
            InstallTestAbortHook();
            char buffer[64];
            Platform_GetSpecialPath(26, buffer, sizeof(buffer));
        },
        AbortRegex("Unsupported directory [Type: 26]"));
}

TEST_F(SpecialPathTest, LogDirectoriesUseProductAndCompany) {
    char buffer[1024];
    EXPECT_EQ(Platform_GetModuleLogDirectory(nullptr, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), dir.path() + "/.local/state/Quarvelon Host/");
    setenv("XDG_STATE_HOME", "/state", 1);
    EXPECT_EQ(Platform_GetModuleLogDirectory(nullptr, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "/state/Quarvelon Host/");
    int module = 0;
    EXPECT_EQ(Platform_GetModuleLogDirectory(&module, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), dir.path() + "/.local/share/Quarvelon/Quarvelon Host/");
}

// The pipe directory: the variables that place it are set per test and put back afterwards.
class PipePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"XDG_RUNTIME_DIR", "TMPDIR"}) {
            const char* value = getenv(name);
            saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
        }
        unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", temp.path().c_str(), 1);
    }
    void TearDown() override {
        for (const auto& [name, value] : saved) {
            if (value)
                setenv(name, value->c_str(), 1);
            else
                unsetenv(name);
        }
    }
    // The pipe path; "" when refused, with the buffer emptied.
    static std::string Get() {
        char buffer[1024] = "junk";
        errno = 0;
        if (Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, buffer, sizeof(buffer))) return buffer;
        EXPECT_STREQ(buffer, "");
        return "";
    }
    // Owner and permission bits, or -1 when nothing is there.
    static std::pair<int64_t, int64_t> OwnerAndMode(const std::string& path) {
        struct stat info;
        if (lstat(path.c_str(), &info) != 0) return {-1, -1};
        return {info.st_uid, info.st_mode & 07777};
    }

    const std::string app = QVR_BUILD_PRODUCT_NAME;
    TempDir temp;
    std::vector<std::pair<const char*, std::optional<std::string>>> saved;
};

TEST_F(PipePathTest, APrivateDirectoryUnderTheRuntimeOrTemporaryDirectory) {
    TempDir runtime;
    const std::string fallback = temp.path() + "/" + app + "-" + std::to_string(geteuid()) + "/";
    const struct {
        std::optional<std::string> runtime;
        std::string temp;
        std::string expected;
    } cases[] = {
        {std::nullopt, temp.path(), fallback},
        {std::nullopt, temp.path() + "//", fallback},
        {"relative/runtime", temp.path(), fallback}, // not a usable runtime directory
        {runtime.path(), temp.path(), runtime.path() + "/" + app + "/"},
        {runtime.path() + "/", temp.path(), runtime.path() + "/" + app + "/"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        if (c.runtime)
            setenv("XDG_RUNTIME_DIR", c.runtime->c_str(), 1);
        else
            unsetenv("XDG_RUNTIME_DIR");
        setenv("TMPDIR", c.temp.c_str(), 1);
        // Made on first use, taken as it is afterwards.
        for (int round = 0; round < 2; round++) {
            EXPECT_EQ(Get(), c.expected);
            struct stat info;
            ASSERT_EQ(lstat(c.expected.c_str(), &info), 0);
            EXPECT_TRUE(S_ISDIR(info.st_mode));
            EXPECT_EQ(info.st_uid, geteuid());
            EXPECT_EQ(info.st_mode & 07777, 0700u);
        }
    }
}

TEST_F(PipePathTest, WhatIsNotADirectoryOfThisUserAloneIsRefusedAndLeftAlone) {
    const bool root = geteuid() == 0;
    constexpr uid_t kOtherUser = 65534;
    TempDir elsewhere;
    const struct {
        const char* what;
        bool otherUser;
        std::function<bool(const std::string&)> make;
    } cases[] = {
        {"open to the group", false,
         [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0750) == 0; }},
        {"open to others", false,
         [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0701) == 0; }},
        {"writable by all", false,
         [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 01777) == 0; }},
        {"a link to a private directory", false,
         [&](const std::string& p) { return symlink(elsewhere.path().c_str(), p.c_str()) == 0; }},
        {"a file", false, [](const std::string& p) { return WriteText(p, "", 0600); }},
        {"another user's, private", true, [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0; }},
        {"another user's, open", true,
         [](const std::string& p) { return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), 0777) == 0; }},
    };
    for (const bool runtime : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.what) +
                         (runtime ? " in the runtime directory" : " in the temporary directory"));
            if (c.otherUser && !root) continue;
            // A place everyone may write, as the shared temporary directory is.
            TempDir shared;
            ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
            if (runtime)
                setenv("XDG_RUNTIME_DIR", shared.path().c_str(), 1);
            else
                unsetenv("XDG_RUNTIME_DIR");
            setenv("TMPDIR", shared.path().c_str(), 1);
            const std::string leaf = runtime ? app : app + "-" + std::to_string(geteuid());
            const std::string planted = shared.file(leaf);
            if (c.otherUser) {
                const auto made = TextFromChild(
                    [] {
                        return setgroups(0, nullptr) == 0 && setgid(kOtherUser) == 0 &&
                               setuid(kOtherUser) == 0;
                    },
                    [&] { return std::string(c.make(planted) ? "made" : "failed"); });
                ASSERT_EQ(made, std::optional<std::string>("made"));
            } else {
                ASSERT_TRUE(c.make(planted));
            }
            const auto before = OwnerAndMode(planted);

            LogCapture log;
            EXPECT_EQ(Get(), "");
            EXPECT_EQ(errno, EACCES);
            EXPECT_EQ(log.Text(), "ERROR - Pipe directory " + planted +
                                      "/ refused: not a directory of this user closed to others\n");
            EXPECT_EQ(OwnerAndMode(planted), before) << "neither taken over nor repaired";
        }
    }
}

TEST(PlatformFiles, OpenWriteAndDirectories) {
    TempDir dir;
    std::string nested = dir.file("a/b/c");
    const mode_t mask = umask(0);
    EXPECT_EQ(Platform_CreateDirectoryTree(nested.c_str()), 1);
    umask(mask);
    EXPECT_EQ(Platform_CreateDirectoryTree(nested.c_str()), 1);
    // They hold the user's own data: nobody else may list or enter them.
    for (const char* made : {"a", "a/b", "a/b/c"}) {
        struct stat info;
        ASSERT_EQ(stat(dir.file(made).c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 07777, 0700u) << made;
    }
    std::string file = nested + "/f.txt";
    int32_t fd = Platform_Open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0, 0600);
    ASSERT_GE(fd, 0);
    int32_t written = 0;
    EXPECT_EQ(Platform_Write(fd, "hello", 5, &written), 1);
    EXPECT_EQ(written, 5);
    EXPECT_EQ(Platform_Sync(fd), 1);
    EXPECT_EQ(Platform_Close(fd), 1);
    EXPECT_EQ(ReadFile(file), "hello");
    // Without the create flag a missing file does not open.
    EXPECT_LT(Platform_Open(dir.file("missing").c_str(), O_RDONLY, 0, 0), 0);
    // A directory path that runs through a file cannot be made.
    EXPECT_EQ(Platform_CreateDirectoryTree((file + "/sub").c_str()), 0);
}

TEST(PlatformConsole, WritesToStandardStreamsOnly) {
    EXPECT_EQ(Platform_GetStdHandle(3), nullptr);
    int32_t written = -1;
    EXPECT_EQ(Platform_WriteStd(nullptr, "x", 1, &written), 0);
    EXPECT_EQ(written, 0);
    EXPECT_EQ(Platform_WriteStd(Platform_GetStdHandle(1), "", 0, &written), 1);
    uint32_t flags = 0;
    EXPECT_EQ(Platform_GetDebugFlagsFromKey(&flags), 0);
    EXPECT_EQ(flags, 0u);
}

} // namespace

namespace {

int32_t g_controlSignal = 0;
void RecordSignal(int32_t signal) { g_controlSignal = signal; }

TEST(PlatformConsole, ControlHandlerForwardsInteractiveSignalsOnly) {
    const int crashes[] = {SIGABRT, SIGBUS, SIGSEGV};
    struct sigaction before[3];
    for (int i = 0; i < 3; i++) sigaction(crashes[i], nullptr, &before[i]);
    Platform_SetConsoleControlOverride(RecordSignal);
    EXPECT_EQ(Platform_SetupConsoleControl(), 1);
    raise(SIGHUP);
    EXPECT_EQ(g_controlSignal, SIGHUP);
    // Real crashes keep their action: a handler that returns would hide or hang them.
    for (int i = 0; i < 3; i++) {
        struct sigaction after;
        sigaction(crashes[i], nullptr, &after);
        EXPECT_EQ(after.sa_handler, before[i].sa_handler) << crashes[i];
    }
    Platform_SetConsoleControlOverride(nullptr);
    g_controlSignal = 0;
    raise(SIGHUP);
    EXPECT_EQ(g_controlSignal, 0);
    signal(SIGHUP, SIG_DFL);
    for (int s : {SIGINT, SIGQUIT, SIGPIPE, SIGTSTP}) signal(s, SIG_DFL);
}

} // namespace

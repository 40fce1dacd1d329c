// Tests of the platform layer's core: atomics, random bytes, special paths and the private pipe
// directory, files and directories, and the console.
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
#include <tuple>
#include <utility>
#include <vector>

#include "core/certs/build_info.h"
#include "tests/support/log_capture.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"

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
    TempDir dir;
    ScopedEnv env{{"HOME", dir.path().c_str()}, {"XDG_CONFIG_HOME", nullptr}, {"XDG_DATA_HOME", nullptr},
                 {"XDG_STATE_HOME", nullptr},  {"TMPDIR", "/var/tmp"},       {"XDG_RUNTIME_DIR", nullptr}};
    const std::string home = dir.path();
    static std::string Get(uint32_t id) {
        char buffer[1024] = "junk";
        return Platform_GetSpecialPath(id, buffer, sizeof(buffer)) ? buffer
                                                                   : "<refused: " + std::string(buffer) + ">";
    }
};

TEST_F(SpecialPathTest, FollowTheXdgLayout) {
    const std::pair<uint32_t, std::string> cases[] = {
        {PLATFORM_PATH_USER_HOME, home + "/"},
        {PLATFORM_PATH_USER_START_MENU, home + "/.local/share/applications/"},
        {PLATFORM_PATH_COMMON_START_MENU, "/usr/share/applications/"},
        {PLATFORM_PATH_PROGRAM_FILES, "/opt/"},
        {PLATFORM_PATH_USER_APP_DATA, home + "/.local/share/"},
        {PLATFORM_PATH_COMMON_APP_DATA, "/var/lib/"},
        {PLATFORM_PATH_TEMP, "/var/tmp/"},
        {PLATFORM_PATH_ADMIN_TEMP, "/run/"},
        {PLATFORM_PATH_SYSTEM_DIRECTORY, "/usr/"},
        {PLATFORM_PATH_SYSTEM_DRIVE, "/"},
        {PLATFORM_PATH_USER_DESKTOP, home + "/Desktop/"},
        {PLATFORM_PATH_USER_DOWNLOADS, home + "/Downloads/"}};
    for (const auto& [id, expected] : cases) EXPECT_EQ(Get(id), expected) << id;
    const std::string module = Get(PLATFORM_PATH_MODULE_PATH),
                      directory = Get(PLATFORM_PATH_MODULE_DIRECTORY);
    EXPECT_NE(module.find("platform_test"), std::string::npos);
    EXPECT_EQ(module.rfind(directory, 0), 0u);
    EXPECT_EQ(Get(PLATFORM_PATH_MODULE_APP_DIRECTORY), directory);
    EXPECT_EQ(Get(PLATFORM_PATH_MODULE_APP_PATH) + "/", directory);
    EXPECT_EQ(Get(PLATFORM_PATH_WORKING_DIRECTORY).back(), '/');
    env.Set("XDG_DATA_HOME", "/data/here");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_APP_DATA_ROAMING), "/data/here/");
    // User directories come from user-dirs.dirs when it names them.
    Platform_CreateDirectoryTree((home + "/.config").c_str());
    WriteText(home + "/.config/user-dirs.dirs",
              "# comment\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\nXDG_DOCUMENTS_DIR=\"/abs/docs\"\n");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DESKTOP), home + "/Schreibtisch/");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DOCUMENTS), "/abs/docs/");
    char tiny[4];
    EXPECT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_USER_HOME, tiny, sizeof(tiny)), 0);
    EXPECT_STREQ(tiny, "");
    EXPECT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_USER_HOME, nullptr, 10), 0);
    // A relative home would put every folder under it relative to the current folder.
    env.Set("HOME", "relative/home");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_HOME), "<refused: >");
    // An empty one is the current folder to the toolkit: refused too, not taken as the passwd home.
    env.Set("HOME", "");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_HOME), "<refused: >");
    EXPECT_EQ(Get(PLATFORM_PATH_USER_DESKTOP), "<refused: >");
    env.Set("HOME", home.c_str());
    ExpectAborts({{"unknown directory", [] { Get(26); }, AbortRegex("Unsupported directory [Type: 26]")}});
}

TEST_F(SpecialPathTest, LogDirectoriesUseProductAndCompany) {
    char buffer[1024];
    EXPECT_EQ(Platform_GetModuleLogDirectory(nullptr, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), home + "/.local/state/Quarvelon Host/");
    env.Set("XDG_STATE_HOME", "/state");
    EXPECT_EQ(Platform_GetModuleLogDirectory(nullptr, buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "/state/Quarvelon Host/");
    int module = 0;
    EXPECT_EQ(Platform_GetModuleLogDirectory(&module, buffer, sizeof(buffer)), 1);
    EXPECT_EQ(std::string(buffer), home + "/.local/share/Quarvelon/Quarvelon Host/");
}

// The pipe directory: a private one of this user under the runtime or temporary directory.
TEST_F(SpecialPathTest, PipeDirectoryIsPrivateUnderTheRuntimeOrTemporaryDirectory) {
    TempDir runtime, temp;
    const std::string app = QVR_BUILD_PRODUCT_NAME;
    const std::string fallback = temp.path() + "/" + app + "-" + std::to_string(geteuid()) + "/";
    const struct {
        std::string Runtime, Temp, Expected; // no runtime directory: ""
    } cases[] = {{"", temp.path(), fallback},
                 {"", temp.path() + "//", fallback},
                 {"relative/runtime", temp.path(), fallback}, // not a usable runtime directory
                 {runtime.path(), temp.path(), runtime.path() + "/" + app + "/"},
                 {runtime.path() + "/", temp.path(), runtime.path() + "/" + app + "/"}};
    for (const auto& c : cases) {
        env.Set("XDG_RUNTIME_DIR", c.Runtime.empty() ? nullptr : c.Runtime.c_str());
        env.Set("TMPDIR", c.Temp.c_str());
        // Made on first use, taken as it is afterwards.
        for (int round = 0; round < 2; round++) {
            EXPECT_EQ(Get(PLATFORM_PATH_PIPE_PATH), c.Expected);
            struct stat info;
            ASSERT_EQ(lstat(c.Expected.c_str(), &info), 0);
            EXPECT_TRUE(S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 07777) == 0700);
        }
    }
}

TEST_F(SpecialPathTest, APipeDirectoryNotOfThisUserAloneIsRefusedAndLeftAlone) {
    TempDir elsewhere;
    const auto directory = [](mode_t mode) {
        return [mode](const std::string& p) {
            return mkdir(p.c_str(), 0700) == 0 && chmod(p.c_str(), mode) == 0;
        };
    };
    const struct {
        const char* What;
        bool OtherUser;
        std::function<bool(const std::string&)> Make;
    } cases[] = {{"open to the group", false, directory(0750)},
                 {"open to others", false, directory(0701)},
                 {"writable by all", false, directory(01777)},
                 {"a link to a private directory", false,
                  [&](const std::string& p) { return symlink(elsewhere.path().c_str(), p.c_str()) == 0; }},
                 {"a file", false, [](const std::string& p) { return WriteText(p, "", 0600); }},
                 {"another user's, private", true, directory(0700)},
                 {"another user's, open", true, directory(0777)}};
    for (const bool runtime : {true, false}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(c.What) +
                         (runtime ? " in the runtime directory" : " in the temporary directory"));
            if (c.OtherUser && geteuid() != 0) continue;
            // A place everyone may write, as the shared temporary directory is.
            TempDir shared;
            ASSERT_EQ(chmod(shared.path().c_str(), 01777), 0);
            env.Set("XDG_RUNTIME_DIR", runtime ? shared.path().c_str() : nullptr);
            env.Set("TMPDIR", shared.path().c_str());
            const std::string planted = shared.file(
                runtime ? QVR_BUILD_PRODUCT_NAME : QVR_BUILD_PRODUCT_NAME "-" + std::to_string(geteuid()));
            const auto make = [&] { return std::string(c.Make(planted) ? "made" : "failed"); };
            ASSERT_EQ(c.OtherUser ? TextFromChild(BecomeOtherUser, make) : make(), "made");
            struct stat before, after;
            ASSERT_EQ(lstat(planted.c_str(), &before), 0);
            LogCapture log;
            errno = 0;
            EXPECT_EQ(Get(PLATFORM_PATH_PIPE_PATH), "<refused: >");
            EXPECT_EQ(errno, EACCES);
            EXPECT_EQ(log.Text(), "ERROR - Pipe directory " + planted +
                                      "/ refused: not a directory of this user closed to others\n");
            // Neither taken over nor repaired.
            ASSERT_EQ(lstat(planted.c_str(), &after), 0);
            EXPECT_EQ(std::make_tuple(after.st_uid, after.st_mode),
                      std::make_tuple(before.st_uid, before.st_mode));
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
void RecordSignal(int32_t signal) {
    g_controlSignal = signal;
}

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

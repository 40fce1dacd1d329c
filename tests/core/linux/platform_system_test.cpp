#include "core/linux/platform_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <fstream>
#include <functional>
#include <link.h>
#include <optional>
#include <pwd.h>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "tests/support/abort_hook.h"
#include "tests/support/child_text.h"
#include "tests/support/temp_dir.h"

namespace {

struct Bind {
    std::string Target;
    std::string Content;
};

// Runs body in a forked child and hands back the text it returns. With binds, the child first
// gets its own mount namespace in which each target file shows the given content (and, with
// hideCpuFreq, the processor directory of /sys is empty), so that the system files the code
// reads can be replaced without touching the machine. nullopt when that is not permitted.
std::optional<std::string> RunChild(const std::function<std::string()>& body,
                                    const std::vector<Bind>& binds = {}, bool hideCpuFreq = false) {
    TempDir dir;
    std::vector<std::string> sources;
    for (size_t i = 0; i < binds.size(); i++) {
        sources.push_back(dir.file("bind" + std::to_string(i)));
        std::ofstream(sources.back()) << binds[i].Content;
    }
    return TextFromChild(
        [&] {
            if (binds.empty() && !hideCpuFreq) return true;
            if (unshare(CLONE_NEWNS) != 0) return false;
            // Private first, so that nothing mounted here reaches the machine's namespace.
            if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return false;
            for (size_t i = 0; i < binds.size(); i++)
                if (mount(sources[i].c_str(), binds[i].Target.c_str(), nullptr, MS_BIND, nullptr) != 0)
                    return false;
            return !hideCpuFreq || access("/sys/devices/system/cpu", F_OK) != 0 ||
                   mount("none", "/sys/devices/system/cpu", "tmpfs", 0, "size=16k") == 0;
        },
        body);
}

// "answer|text" of a buffer-filling call.
std::string Answer(int64_t (*fn)(char*, int32_t), int32_t size = 256) {
    std::vector<char> buffer((size_t)size, 'x');
    int64_t answer = fn(buffer.data(), size);
    return std::to_string(answer) + "|" + buffer.data();
}

std::string OsFacts() {
    return Answer(Platform_GetOSName) + " " + Answer(Platform_GetOSVersion);
}

TEST(PlatformOSRelease, NameAndVersionFromTheFile) {
    const struct {
        const char* Content;
        const char* Expected;
    } cases[] = {
        {"PRETTY_NAME=\"Test OS 1.2 (x)\"\nNAME=\"Test \\\"OS\\\" Linux\"\nVERSION_ID='1.2'\n# NAME=wrong\n",
         "1|Test \"OS\" Linux 1|1.2"},
        {"  NAME=Plain  \r\nVERSION_ID=7\n", "1|Plain 1|7"},
        {"ID=x\nVERSION=\"12 (bookworm)\"\nNAME=\n", "0| 0|"},
        {"# NAME=Commented\nNAMEX=wrong\nVERSION_ID=\"\"\n", "0| 0|"},
        {"NAME=\"Unterminated\nVERSION_ID=3", "1|Unterminated 1|3"},
        {"", "0| 0|"},
    };
    for (const auto& c : cases) {
        auto result = RunChild(OsFacts, {{"/etc/os-release", c.Content}});
        if (!result) GTEST_SKIP() << "no private mount namespace for this user";
        EXPECT_EQ(*result, c.Expected) << c.Content;
    }
    // Cut to fit, never inside a character.
    auto cut = RunChild([] { return Answer(Platform_GetOSName, 5) + " " + Answer(Platform_GetOSName, 3); },
                        {{"/etc/os-release", "NAME=\"D\xC3\xA9"
                                             "bian\"\n"}});
    ASSERT_TRUE(cut);
    EXPECT_EQ(*cut, "1|D\xC3\xA9"
                    "b 1|D");
}

TEST(PlatformOSRelease, TheMachineHasAName) {
    char name[120], version[120];
    if (!FileExists("/etc/os-release") && !FileExists("/usr/lib/os-release")) GTEST_SKIP();
    EXPECT_EQ(Platform_GetOSName(name, sizeof(name)), 1);
    EXPECT_NE(name[0], 0);
    EXPECT_EQ(strchr(name, '"'), nullptr);
    Platform_GetOSVersion(version, sizeof(version));
    EXPECT_EQ(strchr(version, '"'), nullptr);
    EXPECT_EQ(Platform_GetOSName(name, 0), 0);
}

class PlatformStartTest : public ::testing::Test {
  protected:
    void TearDown() override {
        if (Debug_IsStarted()) Debug_Remove();
    }
    TempDir dir;
};

TEST_F(PlatformStartTest, LogsSystemAndElevation) {
    std::string log = dir.file("start.log");
    ASSERT_EQ(Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    EXPECT_EQ(GlobalPlatform, nullptr);
    EXPECT_EQ(Platform_Init(), 1);
    ASSERT_NE(GlobalPlatform, nullptr);
    for (void* slot : GlobalPlatform->Slots) EXPECT_EQ(slot, nullptr);
    // A second start keeps the record (and logs again).
    GlobalPlatformRecord* record = GlobalPlatform;
    EXPECT_EQ(Platform_Init(), 1);
    EXPECT_EQ(GlobalPlatform, record);
    EXPECT_EQ(Platform_Remove(), 1);
    EXPECT_EQ(GlobalPlatform, nullptr);
    EXPECT_EQ(Platform_Remove(), 1);
    Debug_Remove();

    char name[120] = "", version[120] = "";
    Platform_GetOSName(name, sizeof(name));
    Platform_GetOSVersion(version, sizeof(version));
    std::string text = ReadFile(log);
    std::string system = std::string("INFO - System: ") + name + " " + version + " " +
                         (sizeof(void*) == 8 ? "64" : "32") + "bit\n";
    std::string elevated =
        std::string("INFO - Elevated: ") + (getuid() == 0 || geteuid() == 0 ? "true" : "false") + "\n";
    size_t at = text.find(system);
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_GT(text.find(elevated), at) << text;
    EXPECT_EQ(text.find("Not all memory"), std::string::npos) << text;
}

TEST_F(PlatformStartTest, LogsKnownSystemText) {
    std::string log = dir.file("known.log");
    auto result = RunChild(
        [&] {
            Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE);
            Platform_CommonInit();
            Platform_CommonRemove();
            Debug_Remove();
            return std::string();
        },
        {{"/etc/os-release", "NAME=\"Test OS\"\nVERSION_ID=\"4.5\"\n"}});
    if (!result) GTEST_SKIP() << "no private mount namespace for this user";
    std::string text = ReadFile(log);
    EXPECT_NE(
        text.find(std::string("INFO - System: Test OS 4.5 ") + (sizeof(void*) == 8 ? "64" : "32") + "bit\n"),
        std::string::npos)
        << text;
    // Without the file both values are empty and the line still appears.
    result = RunChild(
        [&] {
            Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE);
            Platform_CommonInit();
            Platform_CommonRemove();
            Debug_Remove();
            return std::string();
        },
        {{"/etc/os-release", ""}});
    ASSERT_TRUE(result);
    text = ReadFile(log);
    EXPECT_NE(text.find("INFO - System:   64bit\n"), std::string::npos) << text;
}

TEST(PlatformStart, RaisesOnlyALowHardLimitOfOpenFiles) {
    // (hard before, hard expected when privileged, hard expected unprivileged)
    const struct {
        rlim_t Hard;
        rlim_t Privileged;
        rlim_t Unprivileged;
    } cases[] = {{5000, 10000, 5000}, {9999, 10000, 9999}, {10000, 10000, 10000}, {20000, 20000, 20000}};
    struct rlimit current;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &current), 0);
    // Raising a hard limit takes a privilege that root in a container may lack.
    auto probe = RunChild([] {
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1000);
        limit.rlim_max = 5000;
        setrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_max = 10000;
        return std::string(setrlimit(RLIMIT_NOFILE, &limit) == 0 ? "yes" : "no");
    });
    ASSERT_TRUE(probe);
    const bool privileged = *probe == "yes";
    for (const auto& c : cases) {
        if (current.rlim_max != RLIM_INFINITY && current.rlim_max < c.Hard && geteuid() != 0) continue;
        for (bool dropPrivileges : {false, true}) {
            if (dropPrivileges && geteuid() != 0) continue;
            auto result = RunChild([&] {
                struct rlimit limit;
                getrlimit(RLIMIT_NOFILE, &limit);
                limit.rlim_max = c.Hard;
                limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1000);
                if (setrlimit(RLIMIT_NOFILE, &limit) != 0) return std::string("setrlimit");
                if (dropPrivileges && setuid(65534) != 0) return std::string("setuid");
                int64_t started = Platform_CommonInit();
                bool record = GlobalPlatform != nullptr;
                Platform_CommonRemove();
                getrlimit(RLIMIT_NOFILE, &limit);
                return std::to_string(started) + " " + std::to_string(record) + " " +
                       std::to_string((uint64_t)limit.rlim_max) + " " +
                       std::to_string((uint64_t)limit.rlim_cur);
            });
            ASSERT_TRUE(result);
            rlim_t expected = privileged && !dropPrivileges ? c.Privileged : c.Unprivileged;
            EXPECT_EQ(*result, "1 1 " + std::to_string((uint64_t)expected) + " 1000")
                << c.Hard << " " << dropPrivileges;
        }
    }
}

TEST(PlatformMachine, FactsAgreeWithTheSystem) {
    int32_t bits = -1;
    EXPECT_EQ(Platform_GetSystemBitness(&bits), 1);
    if (sizeof(void*) == 8)
        EXPECT_EQ(bits, 64);
    else
        EXPECT_TRUE(bits == 32 || bits == 64);

    int64_t memory = -1;
    EXPECT_EQ(Platform_GetSystemMemory(&memory), 1);
    EXPECT_GT(memory, 0);
    EXPECT_EQ(memory % 1024, 0);
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    // Both count the same memory; the kernel keeps a few pages out of the total it reports.
    EXPECT_LE(memory, (int64_t)pages * pageSize + (int64_t)64 * 1024 * 1024);
    EXPECT_GE(memory, (int64_t)pages * pageSize / 2);

    int32_t page = -1, count = -1, mhz = -1;
    EXPECT_EQ(Platform_GetPageSize(&page), 1);
    EXPECT_EQ(page, pageSize);
    EXPECT_EQ(Platform_GetCPUCount(&count), 1);
    EXPECT_EQ(count, sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_GE(count, 1);
    EXPECT_EQ(Platform_GetCPUSpeed(&mhz), 1);
    EXPECT_GE(mhz, 0);

    char text[256] = "x";
    EXPECT_EQ(Platform_GetDirectXVersion(text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    strcpy(text, "x");
    EXPECT_EQ(Platform_GetAntiVirus(0, text, sizeof(text)), 0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Platform_GetAntiVirus(-1, text, sizeof(text)), 0);
    count = -1;
    EXPECT_EQ(Platform_GetAntiVirusCount(&count), 1);
    EXPECT_EQ(count, 0);
}

TEST(PlatformMachine, ProcessorAndMemoryFromTheProcFiles) {
    const char* cpuinfo =
        "processor\t: 0\nvendor_id\t: Acme\nmodel name\t: Acme Widget CPU (tm) 3000 (rev 2)\n"
        "cpu MHz\t\t: 2893.904\n\nprocessor\t: 1\nmodel name\t: Other (x)\ncpu MHz\t\t: 1000.0\n";
    auto facts = [] {
        char vendor[64] = "x";
        int32_t mhz = -1;
        int64_t memory = -1;
        int64_t a = Platform_GetCPUVendor(vendor, sizeof(vendor));
        int64_t b = Platform_GetCPUSpeed(&mhz);
        int64_t c = Platform_GetSystemMemory(&memory);
        return std::to_string(a) + "|" + vendor + "|" + std::to_string(b) + "|" + std::to_string(mhz) + "|" +
               std::to_string(c) + "|" + std::to_string(memory);
    };
    auto result =
        RunChild(facts, {{"/proc/cpuinfo", cpuinfo}, {"/proc/meminfo", "MemTotal:       1024 kB\n"}}, true);
    if (!result) GTEST_SKIP() << "no private mount namespace for this user";
    EXPECT_EQ(*result, "1|Acme Widget CPU|1|2893|1|1048576");

    // No " (" in the model name: no vendor. No speed anywhere: 0, and still true.
    long pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    result = RunChild(facts,
                      {{"/proc/cpuinfo", "model name\t: Intel(R) Xeon(R) Processor\n"},
                       {"/proc/meminfo", "MemFree: 5 kB\nMemTotal: lots\n"}},
                      true);
    ASSERT_TRUE(result);
    // An unreadable total falls back to the page count.
    EXPECT_EQ(*result, "0||1|0|1|" + std::to_string((int64_t)pages * pageSize));

    // Cut to fit the caller's buffer.
    result = RunChild(
        [] {
            char vendor[5];
            return std::to_string(Platform_GetCPUVendor(vendor, sizeof(vendor))) + vendor;
        },
        {{"/proc/cpuinfo", cpuinfo}});
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, "1Acme");
}

class PlatformUserTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"GTK_THEME", "XDG_CONFIG_HOME", "HOME", "LC_ALL", "LC_MESSAGES", "LANG"}) {
            const char* value = getenv(name);
            saved.push_back({name, value ? std::optional<std::string>(value) : std::nullopt});
        }
        setenv("HOME", dir.path().c_str(), 1);
        unsetenv("GTK_THEME");
        unsetenv("XDG_CONFIG_HOME");
    }
    void TearDown() override {
        for (auto& [name, value] : saved) {
            if (value)
                setenv(name.c_str(), value->c_str(), 1);
            else
                unsetenv(name.c_str());
        }
    }
    std::string Theme(int32_t size = 32) {
        std::vector<char> buffer((size_t)size, 'x');
        EXPECT_EQ(Platform_GetSystemTheme(buffer.data(), size), 1);
        return buffer.data();
    }
    void WriteSettings(const std::string& directory, const std::string& text) {
        Platform_CreateDirectoryTree((directory + "/gtk-3.0").c_str());
        std::ofstream(directory + "/gtk-3.0/settings.ini") << text;
    }
    TempDir dir;
    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
};

TEST_F(PlatformUserTest, ThemeIsDarkOnlyWhenTheDesktopSaysSo) {
    EXPECT_EQ(Theme(), "light");
    setenv("GTK_THEME", "Adwaita:Dark", 1);
    EXPECT_EQ(Theme(), "dark");
    setenv("GTK_THEME", "Adwaita:dark", 1);
    EXPECT_EQ(Theme(), "dark");
    EXPECT_EQ(Theme(3), "da");
    setenv("GTK_THEME", "Adwaita", 1);
    EXPECT_EQ(Theme(), "light");
    setenv("GTK_THEME", "Adwaita:darkish", 1);
    EXPECT_EQ(Theme(), "light");
    unsetenv("GTK_THEME");

    const struct {
        const char* Settings;
        const char* Theme;
    } cases[] = {
        {"[Settings]\ngtk-application-prefer-dark-theme=1\n", "dark"},
        {"[Settings]\ngtk-theme-name=Adwaita\ngtk-application-prefer-dark-theme = true\n", "dark"},
        {"[Settings]\r\ngtk-application-prefer-dark-theme=TRUE\r\n", "dark"},
        {"[Settings]\ngtk-application-prefer-dark-theme=0\n", "light"},
        {"[Settings]\ngtk-application-prefer-dark-theme=1\ngtk-application-prefer-dark-theme=0\n", "light"},
        {"[Other]\ngtk-application-prefer-dark-theme=1\n", "light"},
        {"gtk-application-prefer-dark-theme=1\n", "light"},
        {"[Settings]\n# gtk-application-prefer-dark-theme=1\n", "light"},
        {"", "light"},
    };
    for (const auto& c : cases) {
        WriteSettings(dir.path() + "/.config", c.Settings);
        EXPECT_EQ(Theme(), c.Theme) << c.Settings;
    }
    // $XDG_CONFIG_HOME takes the place of ~/.config.
    WriteSettings(dir.path() + "/.config", "[Settings]\ngtk-application-prefer-dark-theme=1\n");
    setenv("XDG_CONFIG_HOME", dir.file("xdg").c_str(), 1);
    EXPECT_EQ(Theme(), "light");
    WriteSettings(dir.file("xdg"), "[Settings]\ngtk-application-prefer-dark-theme=1\n");
    EXPECT_EQ(Theme(), "dark");
    EXPECT_EQ(Theme(6), "dark");
    EXPECT_EQ(Theme(2), "d");
}

TEST_F(PlatformUserTest, LocaleLanguageAndCountry) {
    ASSERT_NE(setlocale(LC_MESSAGES, "C"), nullptr);
    const struct {
        const char* All;
        const char* Messages;
        const char* Lang;
        const char* Locale; // "answer|text"
        const char* Language;
        const char* Country;
    } cases[] = {
        {nullptr, nullptr, "de_AT.UTF-8", "1|de_AT", "de", "AT"},
        {nullptr, "pt_BR.utf8", "de_AT.UTF-8", "1|pt_BR", "pt", "BR"},
        {"fr_CA@euro", "pt_BR", "de_AT", "1|fr_CA", "fr", "CA"},
        {"", "", "sv_SE", "1|sv_SE", "sv", "SE"},
        {nullptr, nullptr, "en_US", "1|en_US", "en", "US"},
        // No user choice: the process's own (POSIX) locale, which is American English.
        {nullptr, nullptr, "C.UTF-8", "0|", "en", "US"},
        {nullptr, nullptr, "POSIX", "0|", "en", "US"},
        {nullptr, nullptr, nullptr, "0|", "en", "US"},
        {"C", nullptr, "de_AT", "0|", "en", "US"},
        // A locale without a country part: both parts come from the process's locale.
        {nullptr, nullptr, "fr", "1|fr", "en", "US"},
        {nullptr, nullptr, "_XY", "1|_XY", "en", "XY"},
    };
    auto set = [](const char* name, const char* value) {
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    };
    for (const auto& c : cases) {
        set("LC_ALL", c.All);
        set("LC_MESSAGES", c.Messages);
        set("LANG", c.Lang);
        EXPECT_EQ(Answer(Platform_GetUserLocale), c.Locale) << (c.Lang ? c.Lang : "-");
        EXPECT_EQ(Answer(Platform_GetUserLang, 16), std::string("1|") + c.Language);
        EXPECT_EQ(Answer(Platform_GetUserCountry, 16), std::string("1|") + c.Country);
    }
    setenv("LANG", "de_AT.UTF-8", 1);
    unsetenv("LC_ALL");
    unsetenv("LC_MESSAGES");
    EXPECT_EQ(Answer(Platform_GetUserLocale, 4), "1|de_");
    EXPECT_EQ(Answer(Platform_GetUserLang, 2), "1|d");
    EXPECT_EQ(Answer(Platform_GetUserLang, 1), "1|");
}

TEST(PlatformUser, NameAndElevationFollowTheProcessUser) {
    char name[64];
    struct passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(Platform_GetUserName(name, sizeof(name)), 1);
    EXPECT_STREQ(name, entry->pw_name);
    int32_t flag = -1;
    EXPECT_EQ(Platform_IsElevated(&flag), 1);
    EXPECT_EQ(flag, getuid() == 0 || geteuid() == 0 ? 1 : 0);
    if (geteuid() != 0) return;
    EXPECT_EQ(Platform_GetUserName(name, 3), 1);
    EXPECT_STREQ(name, "ro");
    // As root both ways of being root count; an unprivileged user does not.
    auto report = [] {
        char user[64] = "x";
        int32_t elevated = -1;
        int64_t answer = Platform_GetUserName(user, sizeof(user));
        Platform_IsElevated(&elevated);
        return std::to_string(answer) + "|" + user + "|" + std::to_string(elevated);
    };
    struct passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no unprivileged account";
    uid_t uid = nobody->pw_uid;
    auto effectiveOnly = RunChild([&] { return seteuid(uid) == 0 ? report() : "seteuid"; });
    EXPECT_EQ(effectiveOnly, "1|nobody|1");
    auto dropped = RunChild([&] { return setuid(uid) == 0 ? report() : "setuid"; });
    EXPECT_EQ(dropped, "1|nobody|0");
    // A user without an account entry has no name.
    auto unknown = RunChild([&] { return setuid(54321) == 0 ? report() : "setuid"; });
    if (!getpwuid(54321)) {
        EXPECT_EQ(unknown, "0||0");
    }
}

// The file of a loaded library, from the loader's own list.
std::string LoadedPath(const char* soname) {
    void* handle = dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
    if (!handle) return "";
    struct link_map* map = nullptr;
    std::string path;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) path = map->l_name;
    dlclose(handle);
    return path;
}

TEST(PlatformModules, HandlesOfLoadedImages) {
    void* main = dlopen(nullptr, RTLD_LAZY);
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(Platform_GetModuleHandle(nullptr), main);
    EXPECT_EQ(Platform_GetModuleHandle(""), main);
    EXPECT_EQ(Platform_GetCurrentModuleHandle(), main);
    char exe[1024];
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, exe, sizeof(exe)), 1);
    EXPECT_EQ(Platform_GetModuleHandle(strrchr(exe, '/') + 1), main);
    dlclose(main);

    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_NE(libc, nullptr);
    dlclose(libc);
    EXPECT_EQ(Platform_GetModuleHandle("libc.so.6"), libc);
    EXPECT_EQ(Platform_GetModuleHandle("libc.so"), nullptr);
    EXPECT_EQ(Platform_GetModuleHandle("no-such-library.so"), nullptr);
    std::string libcPath = LoadedPath("libc.so.6");
    ASSERT_FALSE(libcPath.empty());
    // The whole path is not a file name.
    EXPECT_EQ(Platform_GetModuleHandle(libcPath.c_str()), nullptr);
}

class PlatformLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* home = getenv("HOME");
        savedHome = home ? home : "";
        setenv("HOME", dir.path().c_str(), 1);
        libm = LoadedPath("libm.so.6");
        if (libm.empty()) GTEST_SKIP() << "libm is not loaded";
    }
    void TearDown() override {
        setenv("HOME", savedHome.c_str(), 1);
        if (Debug_IsStarted()) Debug_Remove();
    }
    void Copy(const std::string& from, const std::string& to) {
        Platform_CreateDirectoryTree(to.substr(0, to.rfind('/')).c_str());
        std::ofstream(to, std::ios::binary) << std::ifstream(from, std::ios::binary).rdbuf();
    }
    TempDir dir;
    std::string savedHome, libm;
};

TEST_F(PlatformLibraryTest, LoadFindAndFree) {
    Copy(libm, dir.file("a/libdup.so"));
    Copy(libm, dir.file("b/libdup.so"));
    // "~" is the home directory and '\' separates too.
    void* first = Platform_LoadLibrary("~/a/libdup.so", 1);
    ASSERT_NE(first, nullptr);
    void* second = Platform_LoadLibrary("~\\b\\libdup.so", 1);
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    // Two images with one file name: the one loaded last is found.
    EXPECT_EQ(Platform_GetModuleHandle("libdup.so"), second);

    auto cosine = reinterpret_cast<double (*)(double)>(Platform_GetProcAddress(second, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(Platform_GetProcAddress(second, "no_such_symbol_here"), nullptr);
    EXPECT_EQ(Platform_GetProcAddress(nullptr, "cos"), nullptr);

    EXPECT_EQ(Platform_FreeLibrary(second), 1);
    EXPECT_EQ(Platform_GetModuleHandle("libdup.so"), first);
    EXPECT_EQ(Platform_FreeLibrary(first), 1);
    EXPECT_EQ(Platform_GetModuleHandle("libdup.so"), nullptr);
    EXPECT_EQ(Platform_FreeLibrary(nullptr), 0);

    void* system = Platform_LoadSystemLibrary("libm.so.6", 1);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(Platform_GetProcAddress(system, "sqrt"), nullptr);
    EXPECT_EQ(Platform_FreeLibrary(system), 1);
}

TEST_F(PlatformLibraryTest, FailuresAreLoggedOnRequest) {
    std::string log = dir.file("load.log");
    ASSERT_EQ(Debug_Init(log.c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    EXPECT_EQ(Platform_LoadLibrary("/nonexistent/libx.so", 1), nullptr);
    EXPECT_EQ(Platform_LoadLibrary("/nonexistent/liby.so", 0), nullptr);
    EXPECT_EQ(Platform_LoadSystemLibrary("~\\missing.so", 1), nullptr);
    std::string longPath(2000, 'a');
    EXPECT_EQ(Platform_LoadLibrary(longPath.c_str(), 1), nullptr);
    Debug_Remove();
    std::string text = ReadFile(log);
    EXPECT_NE(
        text.find("DEBUG - Unable to load library (/nonexistent/libx.so) (/nonexistent/libx.so: cannot open "
                  "shared object file: No such file or directory)\n"),
        std::string::npos)
        << text;
    EXPECT_EQ(text.find("liby"), std::string::npos) << text;
    std::string missing = dir.path() + "/missing.so";
    EXPECT_NE(text.find("DEBUG - Unable to load library (" + missing + ") (" + missing +
                        ": cannot open shared object file: No such file or directory)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("DEBUG - Unable to load library (" + longPath + ") (path too long)\n"),
              std::string::npos);
}

class PlatformDirectoryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        savedCwd = cwd;
        const char* home = getenv("HOME");
        savedHome = home ? home : "";
        const char* temp = getenv("TMPDIR");
        savedTemp = temp ? std::optional<std::string>(temp) : std::nullopt;
    }
    void TearDown() override {
        EXPECT_EQ(chdir(savedCwd.c_str()), 0);
        setenv("HOME", savedHome.c_str(), 1);
        if (savedTemp)
            setenv("TMPDIR", savedTemp->c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    std::string Get(int64_t (*fn)(char*, int32_t)) {
        char buffer[1024] = "x";
        EXPECT_EQ(fn(buffer, sizeof(buffer)), 1);
        return buffer;
    }
    TempDir dir;
    std::string savedCwd, savedHome;
    std::optional<std::string> savedTemp;
};

TEST_F(PlatformDirectoryTest, WellKnownDirectories) {
    EXPECT_EQ(Get(Platform_GetSystemDirectory), "/usr/");
    EXPECT_EQ(Get(Platform_GetPlatformDirectory), "/usr/");
    EXPECT_EQ(Get(Platform_GetSystemDrive), "/");
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(Get(Platform_GetTempDirectory), "/var/tmp/");
    EXPECT_EQ(Get(Platform_GetPipeDirectory), "/var/tmp/");
    unsetenv("TMPDIR");
    EXPECT_EQ(Get(Platform_GetTempDirectory), "/tmp/");
    char app[1024];
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_APP_PATH, app, sizeof(app)), 1);
    EXPECT_EQ(Get(Platform_GetAppFilename), app);

    char small[4] = "x";
    EXPECT_EQ(Platform_GetTempDirectory(small, sizeof(small)), 0);
    EXPECT_STREQ(small, "");
    EXPECT_EQ(Platform_GetSystemDrive(small, 2), 1);
    EXPECT_STREQ(small, "/");
}

TEST_F(PlatformDirectoryTest, CurrentDirectory) {
    char real[4096];
    ASSERT_NE(realpath(dir.path().c_str(), real), nullptr);
    Platform_CreateDirectoryTree(dir.file("sub").c_str());
    EXPECT_EQ(Platform_SetCurrentDirectory(dir.path().c_str()), 1);
    EXPECT_EQ(Get(Platform_GetCurrentDirectory), std::string(real) + "/");
    setenv("HOME", dir.path().c_str(), 1);
    EXPECT_EQ(Platform_SetCurrentDirectory("/"), 1);
    EXPECT_EQ(Platform_SetCurrentDirectory("~\\sub"), 1);
    EXPECT_EQ(Get(Platform_GetCurrentDirectory), std::string(real) + "/sub/");
    EXPECT_EQ(Platform_SetCurrentDirectory("~"), 1);
    EXPECT_EQ(Get(Platform_GetCurrentDirectory), std::string(real) + "/");
    // Failures leave the directory where it was.
    std::ofstream(dir.file("file")) << "x";
    EXPECT_EQ(Platform_SetCurrentDirectory(dir.file("file").c_str()), 0);
    EXPECT_EQ(Platform_SetCurrentDirectory("/nonexistent-directory"), 0);
    EXPECT_EQ(Platform_SetCurrentDirectory(std::string(2000, 'a').c_str()), 0);
    EXPECT_EQ(Get(Platform_GetCurrentDirectory), std::string(real) + "/");
}

TEST(PlatformPaths, LongPathIsACopy) {
    char buffer[16] = "x";
    EXPECT_EQ(Platform_GetLongPath("/a/b.txt", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "/a/b.txt");
    EXPECT_EQ(Platform_GetLongPath("/a/very/long/path.txt", buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Platform_GetLongPath("", buffer, sizeof(buffer)), 1);
    EXPECT_EQ(Platform_GetLongPath("/a", buffer, 0), 0);
}

TEST(PlatformEnvironment, SetOverwritesAndUnsetRemoves) {
    EXPECT_EQ(Platform_SetEnvironmentVariable("QVR_PLATFORM_TEST", "one"), 1);
    EXPECT_STREQ(getenv("QVR_PLATFORM_TEST"), "one");
    EXPECT_EQ(Platform_SetEnvironmentVariable("QVR_PLATFORM_TEST", "two"), 1);
    char buffer[16];
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_PLATFORM_TEST", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "two");
    EXPECT_EQ(Platform_SetEnvironmentVariable("QVR_PLATFORM_TEST", ""), 1);
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_PLATFORM_TEST", buffer, sizeof(buffer)), 1);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Platform_UnsetEnvironmentVariable("QVR_PLATFORM_TEST"), 1);
    EXPECT_EQ(getenv("QVR_PLATFORM_TEST"), nullptr);
    EXPECT_EQ(Platform_UnsetEnvironmentVariable("QVR_PLATFORM_TEST"), 1);
    // Names the environment cannot hold.
    EXPECT_EQ(Platform_SetEnvironmentVariable("A=B", "x"), 0);
    EXPECT_EQ(Platform_SetEnvironmentVariable("", "x"), 0);
    EXPECT_EQ(Platform_UnsetEnvironmentVariable("A=B"), 0);
}

TEST(PlatformConsole, UnsupportedServicesAnswerAsDocumented) {
    EXPECT_EQ(Platform_EnablePrivilege(1), 1);
    EXPECT_EQ(Platform_CreateShortcut("/usr/bin/true", "", 0, "/tmp/", "name", "", 0), 0);
    EXPECT_EQ(Platform_RemoveShortcut("/tmp/", "name"), 0);
}

TEST(PlatformFacts, NullPointersStopTheProcess) {
    const std::function<void()> calls[] = {
        [] { Platform_GetSystemBitness(nullptr); },
        [] { Platform_GetSystemMemory(nullptr); },
        [] { Platform_GetCPUVendor(nullptr, 10); },
        [] { Platform_GetSystemTheme(nullptr, 10); },
        [] { Platform_IsElevated(nullptr); },
        [] { Platform_LoadLibrary(nullptr, 1); },
        [] { Platform_GetProcAddress(nullptr, nullptr); },
        [] { Platform_SetEnvironmentVariable("X", nullptr); },
        [] { Platform_GetLongPath(nullptr, nullptr, 0); },
        [] { Platform_GetTempDirectory(nullptr, 10); },
    };
    for (const auto& call : calls) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                call();
            },
            AbortRegex("Pointer is NULL\n"));
    }
}

} // namespace

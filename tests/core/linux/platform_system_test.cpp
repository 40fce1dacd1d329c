// Tests of the platform's system facts: the system's name and version, the start of the platform
// layer, the machine, the user's theme and locale, loaded libraries, directories and environment.
#include "core/linux/platform_system.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <clocale>
#include <cstring>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <pwd.h>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <optional>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/linux/platform.h"
#include "core/runtime/debug.h"
#include "tests/support/platform_sandbox.h"
#include "tests/support/scoped_env.h"
#include "tests/support/heap_bytes.h"

namespace {

// body's text in a child where each system file shows the given content; with hideCpuFreq, the
// processor directory of /sys is empty too. nullopt when that is not permitted.
std::optional<std::string> WithFiles(const std::vector<std::pair<std::string, std::string>>& files,
                                     const std::function<std::string()>& body, bool hideCpuFreq = false) {
    TempDir dir;
    return RunIsolated(
        [&] {
            for (const auto& [target, content] : files)
                if (!BindText(dir, target, content)) return false;
            return !hideCpuFreq || access("/sys/devices/system/cpu", F_OK) != 0 ||
                   EmptyTmpfs("/sys/devices/system/cpu");
        },
        body);
}

std::string OsFacts() {
    return Answer(Platform_GetOSName) + " " + Answer(Platform_GetOSVersion);
}

TEST(PlatformOSRelease, NameAndVersionFromTheFile) {
    const std::pair<const char*, const char*> cases[] = {
        {"PRETTY_NAME=\"Test OS 1.2 (x)\"\nNAME=\"Test \\\"OS\\\" Linux\"\nVERSION_ID='1.2'\n# NAME=wrong\n",
         "1|Test \"OS\" Linux 1|1.2"},
        {"  NAME=Plain  \r\nVERSION_ID=7\n", "1|Plain 1|7"},
        {"ID=x\nVERSION=\"12 (bookworm)\"\nNAME=\n", "0| 0|"},
        {"# NAME=Commented\nNAMEX=wrong\nVERSION_ID=\"\"\n", "0| 0|"},
        {"NAME=\"Unterminated\nVERSION_ID=3", "1|Unterminated 1|3"},
        {"", "0| 0|"}};
    for (const auto& [content, expected] : cases) {
        const auto result = WithFiles({{"/etc/os-release", content}}, OsFacts);
        if (!result) GTEST_SKIP() << "no private mount namespace for this user";
        EXPECT_EQ(*result, expected) << content;
    }
    // Cut to fit, never inside a character.
    EXPECT_EQ(WithFiles({{"/etc/os-release", "NAME=\"D\xC3\xA9"
                                             "bian\"\n"}},
                        [] { return Answer(Platform_GetOSName, 5) + " " + Answer(Platform_GetOSName, 3); }),
              "1|D\xC3\xA9"
              "b 1|D");
    // The machine's own has a name without quotes.
    if (!FileExists("/etc/os-release") && !FileExists("/usr/lib/os-release")) return;
    const std::string facts = OsFacts();
    EXPECT_EQ(facts.substr(0, 2), "1|");
    EXPECT_NE(facts.substr(0, 3), "1| ");
    EXPECT_EQ(facts.find('"'), std::string::npos);
    char name[4];
    EXPECT_EQ(Platform_GetOSName(name, 0), 0);
}

// What the platform layer's start logs, in a child with the given os-release (or the machine's).
std::optional<std::string> StartLog(const TempDir& dir, const char* release) {
    const auto start = [&] {
        Debug_Init(dir.file("start.log").c_str(), nullptr, DEBUG_FLAG_FILE);
        Platform_CommonInit();
        Platform_CommonRemove();
        Debug_Remove();
        return ReadFile(dir.file("start.log"));
    };
    return release ? WithFiles({{"/etc/os-release", release}}, start)
                   : TextFromChild([] { return true; }, start);
}

TEST(PlatformStart, LogsSystemAndElevation) {
    TempDir dir;
    const std::string bits = sizeof(void*) == 8 ? "64" : "32";
    const std::string text = StartLog(dir, nullptr).value_or("");
    char name[120] = "", version[120] = "";
    Platform_GetOSName(name, sizeof(name));
    Platform_GetOSVersion(version, sizeof(version));
    const size_t at = text.find(std::string("INFO - System: ") + name + " " + version + " " + bits + "bit\n");
    EXPECT_NE(at, std::string::npos) << text;
    EXPECT_GT(text.find(std::string("INFO - Elevated: ") +
                        (getuid() == 0 || geteuid() == 0 ? "true" : "false") + "\n"),
              at)
        << text;
    EXPECT_EQ(text.find("Not all memory"), std::string::npos) << text;
    // A known system, and none: both values are empty and the line still appears.
    const auto known = StartLog(dir, "NAME=\"Test OS\"\nVERSION_ID=\"4.5\"\n");
    if (!known) GTEST_SKIP() << "no private mount namespace for this user";
    EXPECT_NE(known->find("INFO - System: Test OS 4.5 " + bits + "bit\n"), std::string::npos) << *known;
    EXPECT_NE(StartLog(dir, "")->find("INFO - System:   " + bits + "bit\n"), std::string::npos);
}

TEST(PlatformStart, TheRecordIsMadeOnceAndRemovedOnce) {
    EXPECT_EQ(GlobalPlatform, nullptr);
    EXPECT_EQ(Platform_Init(), 1);
    GlobalPlatformRecord* record = GlobalPlatform;
    ASSERT_NE(record, nullptr);
    // A second start keeps the record.
    EXPECT_EQ(Platform_Init(), 1);
    EXPECT_EQ(GlobalPlatform, record);
    EXPECT_EQ(Platform_Remove(), 1);
    EXPECT_EQ(GlobalPlatform, nullptr);
    EXPECT_EQ(Platform_Remove(), 1);
}

TEST(PlatformStart, RaisesOnlyALowHardLimitOfOpenFiles) {
    // Raising a hard limit takes a privilege that root in a container may lack.
    const auto limits = [](rlim_t hard) {
        struct rlimit limit;
        getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_max = hard;
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_cur, 1000);
        return setrlimit(RLIMIT_NOFILE, &limit) == 0;
    };
    const bool privileged =
        TextFromChild([] { return true; },
                      [&] { return std::string(limits(5000) && limits(10000) ? "yes" : "no"); }) == "yes";
    struct rlimit current;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &current), 0);
    // (hard before, hard expected when privileged, hard expected unprivileged)
    const rlim_t cases[][3] = {
        {5000, 10000, 5000}, {9999, 10000, 9999}, {10000, 10000, 10000}, {20000, 20000, 20000}};
    for (const auto& c : cases) {
        if (current.rlim_max != RLIM_INFINITY && current.rlim_max < c[0] && geteuid() != 0) continue;
        for (bool drop : {false, true}) {
            if (drop && geteuid() != 0) continue;
            const auto result =
                TextFromChild([&] { return limits(c[0]) && (!drop || setuid(kOtherUser) == 0); },
                              [] {
                                  const int64_t started = Platform_CommonInit();
                                  const bool record = GlobalPlatform != nullptr;
                                  Platform_CommonRemove();
                                  struct rlimit limit;
                                  getrlimit(RLIMIT_NOFILE, &limit);
                                  return std::to_string(started) + " " + std::to_string(record) + " " +
                                         std::to_string(limit.rlim_max) + " " +
                                         std::to_string(limit.rlim_cur);
                              });
            EXPECT_EQ(result, "1 1 " + std::to_string(privileged && !drop ? c[1] : c[2]) + " 1000")
                << c[0] << drop;
        }
    }
}

TEST(PlatformMachine, FactsAgreeWithTheSystem) {
    int32_t bits = -1, page = -1, count = -1, mhz = -1;
    int64_t memory = -1;
    EXPECT_EQ(Platform_GetSystemBitness(&bits), 1);
    EXPECT_TRUE(sizeof(void*) == 8 ? bits == 64 : bits == 32 || bits == 64) << bits;
    EXPECT_EQ(Platform_GetSystemMemory(&memory), 1);
    EXPECT_EQ(memory % 1024, 0);
    // Both count the same memory; the kernel keeps a few pages out of the total it reports.
    const int64_t pages = sysconf(_SC_PHYS_PAGES), pageSize = sysconf(_SC_PAGESIZE);
    EXPECT_LE(memory, pages * pageSize + (int64_t)64 * 1024 * 1024);
    EXPECT_GE(memory, pages * pageSize / 2);
    EXPECT_EQ(Platform_GetPageSize(&page), 1);
    EXPECT_EQ(page, pageSize);
    EXPECT_EQ(Platform_GetCPUCount(&count), 1);
    EXPECT_EQ(count, sysconf(_SC_NPROCESSORS_ONLN));
    EXPECT_EQ(Platform_GetCPUSpeed(&mhz), 1);
    EXPECT_GE(mhz, 0);
    EXPECT_EQ(Answer(Platform_GetDirectXVersion), "0|");
    char text[256] = "x";
    EXPECT_EQ(Platform_GetAntiVirus(0, text, sizeof(text)) + Platform_GetAntiVirus(-1, text, sizeof(text)),
              0);
    EXPECT_STREQ(text, "");
    EXPECT_EQ(Platform_GetAntiVirusCount(&count), 1);
    EXPECT_EQ(count, 0);
}

std::string ProcessorFacts() {
    char vendor[64] = "x";
    int32_t mhz = -1;
    int64_t memory = -1;
    const int64_t a = Platform_GetCPUVendor(vendor, sizeof(vendor));
    const int64_t b = Platform_GetCPUSpeed(&mhz);
    const int64_t c = Platform_GetSystemMemory(&memory);
    return std::to_string(a) + "|" + vendor + "|" + std::to_string(b) + "|" + std::to_string(mhz) + "|" +
           std::to_string(c) + "|" + std::to_string(memory);
}

TEST(PlatformMachine, ProcessorAndMemoryFromTheProcFiles) {
    const std::string cpuinfo =
        "processor\t: 0\nvendor_id\t: Acme\nmodel name\t: Acme Widget CPU (tm) 3000 (rev 2)\n"
        "cpu MHz\t\t: 2893.904\n\nprocessor\t: 1\nmodel name\t: Other (x)\ncpu MHz\t\t: 1000.0\n";
    const auto result = WithFiles(
        {{"/proc/cpuinfo", cpuinfo}, {"/proc/meminfo", "MemTotal:       1024 kB\n"}}, ProcessorFacts, true);
    if (!result) GTEST_SKIP() << "no private mount namespace for this user";
    EXPECT_EQ(*result, "1|Acme Widget CPU|1|2893|1|1048576");
    // No " (" in the model name: no vendor. No speed anywhere: 0, and still true. An unreadable
    // total falls back to the page count.
    EXPECT_EQ(WithFiles({{"/proc/cpuinfo", "model name\t: Intel(R) Xeon(R) Processor\n"},
                         {"/proc/meminfo", "MemFree: 5 kB\nMemTotal: lots\n"}},
                        ProcessorFacts, true),
              "0||1|0|1|" + std::to_string((int64_t)sysconf(_SC_PHYS_PAGES) * sysconf(_SC_PAGESIZE)));
    // Cut to fit the caller's buffer.
    EXPECT_EQ(WithFiles({{"/proc/cpuinfo", cpuinfo}}, [] { return Answer(Platform_GetCPUVendor, 5); }),
              "1|Acme");
}

class PlatformUserTest : public ::testing::Test {
  protected:
    TempDir dir;
    ScopedEnv env{{"HOME", dir.path().c_str()}, {"GTK_THEME", nullptr},   {"XDG_CONFIG_HOME", nullptr},
                 {"LC_ALL", nullptr},          {"LC_MESSAGES", nullptr}, {"LANG", nullptr}};
    void WriteSettings(const std::string& directory, const std::string& text) {
        Platform_CreateDirectoryTree((directory + "/gtk-3.0").c_str());
        WriteText(directory + "/gtk-3.0/settings.ini", text);
    }
};

TEST_F(PlatformUserTest, ThemeIsDarkOnlyWhenTheDesktopSaysSo) {
    const std::pair<const char*, const char*> variables[] = {{nullptr, "1|light"},
                                                             {"Adwaita:Dark", "1|dark"},
                                                             {"Adwaita:dark", "1|dark"},
                                                             {"Adwaita", "1|light"},
                                                             {"Adwaita:darkish", "1|light"}};
    for (const auto& [value, theme] : variables) {
        env.Set("GTK_THEME", value);
        EXPECT_EQ(Answer(Platform_GetSystemTheme), theme) << (value ? value : "-");
    }
    env.Set("GTK_THEME", "Adwaita:dark");
    EXPECT_EQ(Answer(Platform_GetSystemTheme, 3), "1|da");
    env.Set("GTK_THEME", nullptr);
    const std::pair<const char*, const char*> settings[] = {
        {"[Settings]\ngtk-application-prefer-dark-theme=1\n", "1|dark"},
        {"[Settings]\ngtk-theme-name=Adwaita\ngtk-application-prefer-dark-theme = true\n", "1|dark"},
        {"[Settings]\r\ngtk-application-prefer-dark-theme=TRUE\r\n", "1|dark"},
        {"[Settings]\ngtk-application-prefer-dark-theme=0\n", "1|light"},
        {"[Settings]\ngtk-application-prefer-dark-theme=1\ngtk-application-prefer-dark-theme=0\n", "1|light"},
        {"[Other]\ngtk-application-prefer-dark-theme=1\n", "1|light"},
        {"gtk-application-prefer-dark-theme=1\n", "1|light"},
        {"[Settings]\n# gtk-application-prefer-dark-theme=1\n", "1|light"},
        {"", "1|light"}};
    for (const auto& [text, theme] : settings) {
        WriteSettings(dir.path() + "/.config", text);
        EXPECT_EQ(Answer(Platform_GetSystemTheme), theme) << text;
    }
    // $XDG_CONFIG_HOME takes the place of ~/.config.
    WriteSettings(dir.path() + "/.config", "[Settings]\ngtk-application-prefer-dark-theme=1\n");
    env.Set("XDG_CONFIG_HOME", dir.file("xdg").c_str());
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|light");
    WriteSettings(dir.file("xdg"), "[Settings]\ngtk-application-prefer-dark-theme=1\n");
    EXPECT_EQ(Answer(Platform_GetSystemTheme) + Answer(Platform_GetSystemTheme, 5) +
                  Answer(Platform_GetSystemTheme, 2),
              "1|dark1|dark1|d");
    // Only the user's own settings say dark: never a file reached through a link, in a folder
    // others can change, or in another user's folder.
    const std::string dark = "[Settings]\ngtk-application-prefer-dark-theme=1\n";
    ASSERT_TRUE(WriteText(dir.file("dark.ini"), dark, 0600));
    ASSERT_EQ(unlink(dir.file("xdg/gtk-3.0/settings.ini").c_str()), 0);
    ASSERT_EQ(symlink(dir.file("dark.ini").c_str(), dir.file("xdg/gtk-3.0/settings.ini").c_str()), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|light") << "a link";
    ASSERT_EQ(unlink(dir.file("xdg/gtk-3.0/settings.ini").c_str()), 0);
    WriteSettings(dir.file("xdg"), dark);
    ASSERT_EQ(chmod(dir.file("xdg/gtk-3.0").c_str(), 0777), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|light") << "a folder others can change";
    ASSERT_EQ(chmod(dir.file("xdg/gtk-3.0").c_str(), 0700), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|dark");
    if (geteuid() != 0) return; // another user's folder or file needs root
    ASSERT_EQ(chown(dir.file("xdg/gtk-3.0/settings.ini").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|light") << "another user's file in our folder";
    ASSERT_EQ(chown(dir.file("xdg/gtk-3.0/settings.ini").c_str(), 0, 0), 0);
    // A folder of a group with a member other than us (the daemon user's primary group).
    ASSERT_EQ(chown(dir.file("xdg/gtk-3.0").c_str(), 0, 1), 0);
    ASSERT_EQ(chmod(dir.file("xdg/gtk-3.0").c_str(), 0770), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|light") << "a folder its group's other member can change";
    ASSERT_EQ(chmod(dir.file("xdg/gtk-3.0").c_str(), 0750), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|dark");
    ASSERT_EQ(chown(dir.file("xdg").c_str(), 65534, 65534), 0);
    EXPECT_EQ(Answer(Platform_GetSystemTheme), "1|light") << "another user's folder";
}

TEST_F(PlatformUserTest, LocaleLanguageAndCountry) {
    ASSERT_NE(setlocale(LC_MESSAGES, "C"), nullptr);
    const struct {
        const char* All;
        const char* Messages;
        const char* Lang;
        const char* Expected; // locale, language and country answers
    } cases[] = {{nullptr, nullptr, "de_AT.UTF-8", "1|de_AT 1|de 1|AT"},
                 {nullptr, "pt_BR.utf8", "de_AT.UTF-8", "1|pt_BR 1|pt 1|BR"},
                 {"fr_CA@euro", "pt_BR", "de_AT", "1|fr_CA 1|fr 1|CA"},
                 {"", "", "sv_SE", "1|sv_SE 1|sv 1|SE"},
                 {nullptr, nullptr, "en_US", "1|en_US 1|en 1|US"},
                 // No user choice: the process's own (POSIX) locale, which is American English.
                 {nullptr, nullptr, "C.UTF-8", "0| 1|en 1|US"},
                 {nullptr, nullptr, "POSIX", "0| 1|en 1|US"},
                 {nullptr, nullptr, nullptr, "0| 1|en 1|US"},
                 {"C", nullptr, "de_AT", "0| 1|en 1|US"},
                 // A locale without a country part: both parts come from the process's locale.
                 {nullptr, nullptr, "fr", "1|fr 1|en 1|US"},
                 {nullptr, nullptr, "_XY", "1|_XY 1|en 1|XY"}};
    for (const auto& c : cases) {
        env.Set("LC_ALL", c.All);
        env.Set("LC_MESSAGES", c.Messages);
        env.Set("LANG", c.Lang);
        EXPECT_EQ(Answer(Platform_GetUserLocale) + " " + Answer(Platform_GetUserLang, 16) + " " +
                      Answer(Platform_GetUserCountry, 16),
                  c.Expected);
    }
    env.Set("LANG", "de_AT.UTF-8");
    env.Set("LC_ALL", nullptr);
    env.Set("LC_MESSAGES", nullptr);
    EXPECT_EQ(Answer(Platform_GetUserLocale, 4) + " " + Answer(Platform_GetUserLang, 2) + " " +
                  Answer(Platform_GetUserLang, 1),
              "1|de_ 1|d 1|");
}

std::string UserFacts() {
    int32_t elevated = -1;
    const std::string name = Answer(Platform_GetUserName, 64);
    Platform_IsElevated(&elevated);
    return name + "|" + std::to_string(elevated);
}

TEST(PlatformUser, NameAndElevationFollowTheProcessUser) {
    struct passwd* entry = getpwuid(geteuid());
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(UserFacts(), std::string("1|") + entry->pw_name + "|" + (geteuid() == 0 ? "1" : "0"));
    if (geteuid() != 0) return;
    EXPECT_EQ(Answer(Platform_GetUserName, 3), "1|ro");
    // As root both ways of being root count; an unprivileged user does not, and a user without
    // an account entry has no name.
    struct passwd* nobody = getpwnam("nobody");
    if (!nobody) GTEST_SKIP() << "no unprivileged account";
    const uid_t uid = nobody->pw_uid;
    EXPECT_EQ(TextFromChild([&] { return seteuid(uid) == 0; }, UserFacts), "1|nobody|1");
    EXPECT_EQ(TextFromChild([&] { return setuid(uid) == 0; }, UserFacts), "1|nobody|0");
    EXPECT_TRUE(getpwuid(54321) || TextFromChild([] { return setuid(54321) == 0; }, UserFacts) == "0||0");
}

// The file of a loaded library, from the loader's own list.
std::string LoadedPath(const char* soname) {
    void* handle = dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
    struct link_map* map = nullptr;
    std::string path;
    if (handle && dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name) path = map->l_name;
    if (handle) dlclose(handle);
    return path;
}

TEST(PlatformModules, HandlesOfLoadedImages) {
    void* main = dlopen(nullptr, RTLD_LAZY);
    void* libc = dlopen("libc.so.6", RTLD_LAZY | RTLD_NOLOAD);
    ASSERT_TRUE(main && libc);
    char exe[1024];
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_PATH, exe, sizeof(exe)), 1);
    const std::string libcPath = LoadedPath("libc.so.6");
    ASSERT_FALSE(libcPath.empty());
    // The whole path is not a file name.
    const std::pair<const char*, void*> cases[] = {{nullptr, main},
                                                   {"", main},
                                                   {strrchr(exe, '/') + 1, main},
                                                   {"libc.so.6", libc},
                                                   {"libc.so", nullptr},
                                                   {"no-such-library.so", nullptr},
                                                   {libcPath.c_str(), nullptr}};
    for (const auto& [name, handle] : cases)
        EXPECT_EQ(Platform_GetModuleHandle(name), handle) << (name ? name : "-");
    EXPECT_EQ(Platform_GetCurrentModuleHandle(), main);
    dlclose(main);
    dlclose(libc);
}

class PlatformLibraryTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (libm.empty()) GTEST_SKIP() << "libm is not loaded";
    }
    void TearDown() override {
        if (Debug_IsStarted()) Debug_Remove();
    }
    void Copy(const std::string& to) {
        Platform_CreateDirectoryTree(to.substr(0, to.rfind('/')).c_str());
        WriteText(to, ReadFile(libm), 0755);
    }
    TempDir dir;
    ScopedEnv env{{"HOME", dir.path().c_str()}};
    const std::string libm = LoadedPath("libm.so.6");
};

bool IsLoaded(const std::string& path) {
    void* handle = dlopen(path.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

TEST_F(PlatformLibraryTest, LoadFindAndFree) {
    const std::string a = dir.file("a/libdup.so"), b = dir.file("b/libdup.so");
    Copy(a);
    Copy(b);
    // '\' separates too. The first stays loaded while the second is opened: each is its own file.
    void* first = Platform_LoadLibrary(a.c_str(), 1);
    void* second = Platform_LoadLibrary((dir.path() + "\\b\\libdup.so").c_str(), 1);
    ASSERT_TRUE(first && second && first != second);
    void* known = dlopen(b.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    EXPECT_EQ(known, second);
    if (known) dlclose(known);
    void* again = Platform_LoadLibrary(a.c_str(), 1);
    EXPECT_EQ(again, first);
    EXPECT_EQ(Platform_FreeLibrary(again), 1);
    auto cosine = reinterpret_cast<double (*)(double)>(Platform_GetProcAddress(second, "cos"));
    ASSERT_NE(cosine, nullptr);
    EXPECT_EQ(cosine(0.0), 1.0);
    EXPECT_EQ(Platform_GetProcAddress(second, "no_such_symbol_here"), nullptr);
    EXPECT_EQ(Platform_GetProcAddress(nullptr, "cos"), nullptr);
    EXPECT_EQ(Platform_FreeLibrary(second), 1);
    EXPECT_FALSE(IsLoaded(b));
    EXPECT_EQ(Platform_FreeLibrary(first), 1);
    EXPECT_FALSE(IsLoaded(a));
    EXPECT_EQ(Platform_FreeLibrary(nullptr), 0);
    // Two images with one file name: the one loaded last is found.
    void* older = dlopen(a.c_str(), RTLD_LAZY);
    void* newer = dlopen(b.c_str(), RTLD_LAZY);
    ASSERT_TRUE(older && newer);
    EXPECT_EQ(Platform_GetModuleHandle("libdup.so"), newer);
    dlclose(newer);
    EXPECT_EQ(Platform_GetModuleHandle("libdup.so"), older);
    dlclose(older);
    EXPECT_EQ(Platform_GetModuleHandle("libdup.so"), nullptr);
    // System libraries are found by name along the loader's path.
    void* system = Platform_LoadSystemLibrary("libm.so.6", 1);
    ASSERT_NE(system, nullptr);
    EXPECT_NE(Platform_GetProcAddress(system, "sqrt"), nullptr);
    EXPECT_EQ(Platform_FreeLibrary(system), 1);
}

TEST_F(PlatformLibraryTest, FailuresAreLoggedOnRequest) {
    ASSERT_EQ(Debug_Init(dir.file("load.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    const std::string longPath = "/" + std::string(2000, 'a'), missing = dir.path() + "/missing.so";
    EXPECT_EQ(Platform_LoadLibrary("/nonexistent/libx.so", 1), nullptr);
    EXPECT_EQ(Platform_LoadLibrary("/nonexistent/liby.so", 0), nullptr);
    EXPECT_EQ(Platform_LoadSystemLibrary("~\\missing.so", 1), nullptr);
    EXPECT_EQ(Platform_LoadLibrary(longPath.c_str(), 1), nullptr);
    WriteText(dir.file("junk.so"), "not a library", 0755);
    EXPECT_EQ(Platform_LoadLibrary(dir.file("junk.so").c_str(), 1), nullptr);
    Debug_Remove();
    const std::string text = ReadFile(dir.file("load.log")),
                      no = ": cannot open shared object file: No such file or directory)\n";
    for (const std::string& line :
         {"DEBUG - Unable to load library (/nonexistent/libx.so) (/nonexistent/libx.so" + no,
          "DEBUG - Unable to load library (" + missing + ") (" + missing + no,
          "DEBUG - Unable to load library (" + longPath + ") (path too long)\n",
          // The loader's reason names the file, not the descriptor it was read through.
          "DEBUG - Unable to load library (" + dir.file("junk.so") + ") (" + dir.file("junk.so") + ": "})
        EXPECT_NE(text.find(line), std::string::npos) << line.substr(0, 80) << "\n" << text.substr(0, 600);
    EXPECT_EQ(text.find("liby"), std::string::npos) << text;
    EXPECT_EQ(text.find("/proc/self/fd"), std::string::npos) << text;
}

// The working directory for a scope.
class CwdScope {
  public:
    explicit CwdScope(const std::string& to) : saved_(getcwd(nullptr, 0)) { EXPECT_EQ(chdir(to.c_str()), 0); }
    ~CwdScope() {
        if (saved_ && chdir(saved_) != 0) ADD_FAILURE() << "cannot return to " << saved_;
        free(saved_);
    }
    CwdScope(const CwdScope&) = delete;
    CwdScope& operator=(const CwdScope&) = delete;

  private:
    char* saved_;
};

TEST_F(PlatformLibraryTest, OnlyAnAbsolutePathToAPlainFileOfOursIsLoaded) {
    const std::string lib = dir.file("a/libdup.so"), open = dir.file("open.so"), fifo = dir.file("fifo.so");
    Copy(lib);
    Copy(open);
    ASSERT_EQ(chmod(open.c_str(), 0757), 0);
    // A FIFO with a writer and some bytes in it, so that a loader that reads it fails at once.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(writer, 0);
    ASSERT_EQ(write(writer, std::string(64, 'x').data(), 64), 64);
    // path, why it is refused
    std::vector<std::pair<std::string, const char*>> cases = {
        {"libm.so.6", "not an absolute path"},   {"a/libdup.so", "not an absolute path"},
        {"./a/libdup.so", "not an absolute path"}, {"~/a/libdup.so", "not an absolute path"},
        {"", "not an absolute path"},            {dir.path(), "not a regular file"},
        {"/dev/null", "not a regular file"},     {fifo, "not a regular file"},
        {open, "writable by other users"},
    };
    if (geteuid() == 0) {
        const std::string foreign = dir.file("foreign.so");
        Copy(foreign);
        ASSERT_EQ(chown(foreign.c_str(), kOtherUser, kOtherUser), 0);
        cases.emplace_back(foreign, "owned by another user");
    }
    ASSERT_EQ(Debug_Init(dir.file("load.log").c_str(), nullptr, DEBUG_FLAG_FILE), 1);
    {
        CwdScope cwd(dir.path());
        for (const auto& [path, why] : cases) EXPECT_EQ(Platform_LoadLibrary(path.c_str(), 1), nullptr) << path;
    }
    close(writer);
    Debug_Remove();
    EXPECT_FALSE(IsLoaded(lib));
    const std::string text = ReadFile(dir.file("load.log"));
    for (const auto& [path, why] : cases) {
        const std::string line = "DEBUG - Unable to load library (" + path + ") (" + why + ")\n";
        EXPECT_NE(text.find(line), std::string::npos) << line << text.substr(0, 800);
    }
}

TEST(PlatformDirectories, WellKnownDirectories) {
    ScopedEnv env{{"TMPDIR", "/var/tmp"}};
    char app[1024];
    ASSERT_EQ(Platform_GetSpecialPath(PLATFORM_PATH_MODULE_APP_PATH, app, sizeof(app)), 1);
    const std::pair<int64_t (*)(char*, int32_t), std::string> cases[] = {
        {Platform_GetSystemDirectory, "1|/usr/"},   {Platform_GetPlatformDirectory, "1|/usr/"},
        {Platform_GetSystemDrive, "1|/"},           {Platform_GetTempDirectory, "1|/var/tmp/"},
        {Platform_GetPipeDirectory, "1|/var/tmp/"}, {Platform_GetAppFilename, std::string("1|") + app}};
    for (const auto& [fn, expected] : cases) EXPECT_EQ(Answer(fn, 1024), expected);
    env.Set("TMPDIR", nullptr);
    EXPECT_EQ(Answer(Platform_GetTempDirectory), "1|/tmp/");
    EXPECT_EQ(Answer(Platform_GetTempDirectory, 4), "0|");
    EXPECT_EQ(Answer(Platform_GetSystemDrive, 2), "1|/");
}

TEST(PlatformDirectories, CurrentDirectory) {
    TempDir dir;
    ScopedEnv env{{"HOME", dir.path().c_str()}};
    char real[4096], saved[4096];
    ASSERT_TRUE(realpath(dir.path().c_str(), real) && getcwd(saved, sizeof(saved)));
    Platform_CreateDirectoryTree(dir.file("sub").c_str());
    WriteText(dir.file("file"), "x");
    const std::pair<std::string, std::string> cases[] = {{dir.path(), "/"},
                                                         {"/", "<root>"},
                                                         {"~\\sub", "/sub/"},
                                                         {"~", "/"},
                                                         // Failures leave the directory where it was.
                                                         {dir.file("file"), ""},
                                                         {"/nonexistent-directory", ""},
                                                         {std::string(2000, 'a'), ""}};
    for (const auto& [path, expected] : cases) {
        EXPECT_EQ(Platform_SetCurrentDirectory(path.c_str()), expected.empty() ? 0 : 1) << path.substr(0, 40);
        if (expected.empty() || expected == "<root>") continue;
        EXPECT_EQ(Answer(Platform_GetCurrentDirectory, 1024), "1|" + std::string(real) + expected);
    }
    EXPECT_EQ(Answer(Platform_GetCurrentDirectory, 1024), "1|" + std::string(real) + "/");
    ASSERT_EQ(chdir(saved), 0);
}

TEST(PlatformPaths, LongPathIsACopy) {
    const struct {
        const char* Path;
        int32_t Size;
        std::string Expected;
    } cases[] = {
        {"/a/b.txt", 16, "1|/a/b.txt"}, {"/a/very/long/path.txt", 16, "0|"}, {"", 16, "1|"}, {"/a", 0, "0|"}};
    for (const auto& c : cases) {
        std::vector<char> buffer((size_t)c.Size + 1, 'x');
        buffer.back() = 0;
        EXPECT_EQ(std::to_string(Platform_GetLongPath(c.Path, buffer.data(), c.Size)) + "|" +
                      (c.Size ? buffer.data() : ""),
                  c.Expected)
            << c.Path;
    }
}

// The program's variables are its own: read back by the program, never put in the C library's
// table, which the toolkit changes on its own threads.
TEST(PlatformEnvironment, SetOverwritesAndUnsetRemoves) {
    ScopedEnv env{{"QVR_PLATFORM_TEST", nullptr}};
    char buffer[16];
    for (const char* value : {"one", "two", ""}) {
        EXPECT_EQ(Platform_SetEnvironmentVariable("QVR_PLATFORM_TEST", value), 1);
        EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_PLATFORM_TEST", buffer, sizeof(buffer)), 1);
        EXPECT_STREQ(buffer, value);
        EXPECT_EQ(getenv("QVR_PLATFORM_TEST"), nullptr);
    }
    // A value that does not fit is not read as a shorter one.
    EXPECT_EQ(Platform_SetEnvironmentVariable("QVR_PLATFORM_TEST", "sixteen letters!"), 1);
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_PLATFORM_TEST", buffer, sizeof(buffer)), 0);
    EXPECT_EQ(Platform_UnsetEnvironmentVariable("QVR_PLATFORM_TEST"), 1);
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_PLATFORM_TEST", buffer, sizeof(buffer)), 0);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(Platform_UnsetEnvironmentVariable("QVR_PLATFORM_TEST"), 1);
    // Names the environment cannot hold.
    errno = 0;
    EXPECT_EQ(Platform_SetEnvironmentVariable("A=B", "x") + Platform_SetEnvironmentVariable("", "x") +
                  Platform_UnsetEnvironmentVariable("A=B"),
              0);
    EXPECT_EQ(errno, EINVAL);
}

// A launched program gets the program's whole table, the first variable and our own changes
// included, and nothing else.
TEST(PlatformEnvironment, ALaunchedProgramGetsTheWholeTable) {
    ScopedEnv env{{"QVR_PLATFORM_TEST", nullptr}};
    ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_PLATFORM_TEST", "ours"), 1);
    TempDir dir;
    const std::string out = dir.file("environment");
    const int fd = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    char program[] = "env", nulls[] = "-0";
    char* const arguments[] = {program, nulls, nullptr};
    PlatformLaunchPlan plan = {};
    plan.Path = "/usr/bin/env";
    plan.Arguments = arguments;
    plan.StandardOutput = fd;
    plan.ReportExecFailure = 1;
    int32_t pid = -1, error = 0;
    ASSERT_EQ(Platform_ForkExec(&plan, &pid, &error), 1) << error;
    close(fd);
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // Each of the child's variables is the program's own value of it, and every variable of the
    // process that the program's table holds reached the child.
    const std::string text = ReadFile(out);
    std::vector<std::string> names;
    for (size_t at = 0, end; at < text.size(); at = end + 1) {
        end = text.find('\0', at);
        ASSERT_NE(end, std::string::npos);
        const std::string entry = text.substr(at, end - at);
        const size_t equals = entry.find('=');
        ASSERT_TRUE(equals != std::string::npos && equals > 0) << "\"" << entry << "\"";
        names.push_back(entry.substr(0, equals));
        const std::optional<std::string> value = ProgramEnv(names.back().c_str());
        EXPECT_EQ(value.value_or("<unset>"), entry.substr(equals + 1)) << names.back();
    }
    size_t held = 0;
    for (char** at = environ; *at; at++) {
        const std::string name = std::string(*at).substr(0, strcspn(*at, "="));
        if (!ProgramEnv(name.c_str())) continue;
        held++;
        EXPECT_NE(std::find(names.begin(), names.end(), name), names.end()) << name;
    }
    EXPECT_GT(held, 1u);
    EXPECT_NE(std::find(names.begin(), names.end(), "QVR_PLATFORM_TEST"), names.end());
}

// Variables added and removed while other threads read the environment, the C library's and
// ours: no reader sees a table pulled from under it.
TEST(PlatformEnvironment, ChangesBesideReadersOnOtherThreads) {
    std::atomic<bool> done{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < 3; t++)
        readers.emplace_back([&] {
            char value[8];
            while (!done.load()) {
                const char* home = getenv("HOME");
                EXPECT_NE(home, nullptr);
                if (Platform_GetEnvironmentVariable("QVR_ENV_RACE_0", value, sizeof(value))) {
                    EXPECT_STREQ(value, "x");
                }
            }
        });
    char name[32];
    for (int i = 0; i < 2000; i++) {
        snprintf(name, sizeof(name), "QVR_ENV_RACE_%d", i);
        EXPECT_EQ(Platform_SetEnvironmentVariable(name, "x"), 1);
    }
    for (int i = 0; i < 2000; i++) {
        snprintf(name, sizeof(name), "QVR_ENV_RACE_%d", i);
        EXPECT_EQ(Platform_UnsetEnvironmentVariable(name), 1);
    }
    done = true;
    for (std::thread& reader : readers) reader.join();
    char value[8];
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_ENV_RACE_0", value, sizeof(value)), 0);
}

// A change touches its own variable only: not one whose name is longer and starts with it, nor
// one whose name is a start of it.
TEST(PlatformEnvironment, AChangeLeavesVariablesWhoseNamesStartAlike) {
    ScopedEnv env{{"QVR_X", nullptr}, {"QVR_X_LONGER", nullptr}, {"QVR_", nullptr}};
    const auto state = [] {
        std::string text;
        for (const char* name : {"QVR_", "QVR_X", "QVR_X_LONGER"}) {
            char value[16];
            text += Platform_GetEnvironmentVariable(name, value, sizeof(value)) ? value : "-";
            text += " ";
        }
        return text;
    };
    ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_", "short"), 1);
    ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_X_LONGER", "long"), 1);
    const struct {
        const char* Name;
        const char* Value; // nullptr: unset
        const char* Expected;
    } steps[] = {{"QVR_X", "x", "short x long "},
                 {"QVR_X", "y", "short y long "},
                 {"QVR_X", nullptr, "short - long "},
                 {"QVR_X_LONGER", "longer", "short - longer "},
                 {"QVR_X", "z", "short z longer "},
                 {"QVR_X_LONGER", nullptr, "short z - "},
                 {"QVR_", nullptr, "- z - "}};
    for (const auto& step : steps) {
        EXPECT_EQ(step.Value ? Platform_SetEnvironmentVariable(step.Name, step.Value)
                             : Platform_UnsetEnvironmentVariable(step.Name),
                  1);
        EXPECT_EQ(state(), step.Expected) << step.Name << " " << (step.Value ? step.Value : "unset");
    }
}

// A value no program could be started with, or a table grown past its bound, is refused and
// leaves the table as it was.
TEST(PlatformEnvironment, OversizedValuesAndGrowthAreRefused) {
    ScopedEnv env{{"QVR_BIG", nullptr}};
    const std::string fits(128 * 1024 - sizeof("QVR_BIG="), 'v');
    ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_BIG", fits.c_str()), 1);
    errno = 0;
    EXPECT_EQ(Platform_SetEnvironmentVariable("QVR_BIG", (fits + "v").c_str()), 0);
    EXPECT_EQ(errno, E2BIG);
    std::string back(fits.size() + 1, 0);
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_BIG", back.data(), (int32_t)back.size()), 1);
    EXPECT_EQ(back.c_str(), fits);
    // Beside it, values of 100,000 bytes fit until the table has grown by a megabyte; once some are
    // gone there is room again.
    const std::string value(100000, 'w');
    std::vector<std::string> names;
    int32_t refused = -1;
    for (int32_t i = 0; i < 20 && refused < 0; i++) {
        names.push_back("QVR_BIG_" + std::to_string(i));
        errno = 0;
        if (!Platform_SetEnvironmentVariable(names.back().c_str(), value.c_str())) refused = i;
    }
    EXPECT_EQ(errno, E2BIG);
    EXPECT_TRUE(refused >= 8 && refused <= 9) << refused;
    char probe[4];
    EXPECT_EQ(Platform_ReadEnvironmentVariable(names.back().c_str(), probe, sizeof(probe)), -1);
    EXPECT_EQ(Platform_UnsetEnvironmentVariable(names.front().c_str()), 1);
    EXPECT_EQ(Platform_SetEnvironmentVariable(names.back().c_str(), value.c_str()), 1);
    for (const std::string& name : names) EXPECT_EQ(Platform_UnsetEnvironmentVariable(name.c_str()), 1);
}


// A replaced value is given back: setting one variable again and again, as a workflow loop or a
// page may, holds no more memory than setting it once.
TEST(PlatformEnvironment, RepeatedSetsHoldNoMoreMemory) {
    ScopedEnv env{{"QVR_REPEATED", nullptr}};
    ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_REPEATED", "the same value"), 1);
    const size_t before = HeapBytes();
    for (int i = 0; i < 100000; i++) ASSERT_EQ(Platform_SetEnvironmentVariable("QVR_REPEATED", "the same value"), 1);
    const size_t after = HeapBytes();
    // Each kept copy would hold more than a hundred bytes: ten megabytes for the loop.
    EXPECT_LT(after, before + 64 * 1024) << before << " " << after;
    char value[32];
    EXPECT_EQ(Platform_GetEnvironmentVariable("QVR_REPEATED", value, sizeof(value)), 1);
    EXPECT_STREQ(value, "the same value");
}

// The C library's setenv and unsetenv on another thread (as the toolkit calls them) beside our
// changes: neither side crashes nor loses the other's variables. Ours are all in our table,
// theirs all in the C library's.
TEST(PlatformEnvironment, ChangesBesideTheCLibrarysOwnOnAnotherThread) {
    constexpr int kCount = 2000;
    // The table is taken before the other thread starts, as the platform's start takes it.
    char probe[2];
    Platform_ReadEnvironmentVariable("HOME", probe, sizeof(probe));
    const auto name = [](const char* side, int i) { return std::string("QVR_ENV_") + side + "_" + std::to_string(i); };
    std::thread library([&] {
        for (int i = 0; i < kCount; i++) {
            setenv(name("LIBRARY", i).c_str(), "theirs", 1);
            if (i % 2) unsetenv(name("LIBRARY", i - 1).c_str());
        }
    });
    for (int i = 0; i < kCount; i++) {
        EXPECT_EQ(Platform_SetEnvironmentVariable(name("OURS", i).c_str(), "ours"), 1);
        if (i % 2) {
            EXPECT_EQ(Platform_UnsetEnvironmentVariable(name("OURS", i - 1).c_str()), 1);
        }
    }
    library.join();
    int lost = 0, stray = 0;
    for (int i = 0; i < kCount; i++) {
        const bool kept = i % 2 == 1;
        const char* theirs = getenv(name("LIBRARY", i).c_str());
        char ours[8];
        const bool oursSet = Platform_GetEnvironmentVariable(name("OURS", i).c_str(), ours, sizeof(ours)) == 1;
        if (kept != (theirs && !strcmp(theirs, "theirs")) || kept != (oursSet && !strcmp(ours, "ours"))) lost++;
        if (getenv(name("OURS", i).c_str()) || Platform_ReadEnvironmentVariable(name("LIBRARY", i).c_str(), ours, sizeof(ours)) >= 0)
            stray++;
    }
    EXPECT_EQ(lost, 0);
    EXPECT_EQ(stray, 0);
    for (int i = 0; i < kCount; i++) {
        unsetenv(name("LIBRARY", i).c_str());
        Platform_UnsetEnvironmentVariable(name("OURS", i).c_str());
    }
}

TEST(PlatformConsole, UnsupportedServicesAnswerAsDocumented) {
    EXPECT_EQ(Platform_EnablePrivilege(1), 1);
    EXPECT_EQ(Platform_CreateShortcut("/usr/bin/true", "", 0, "/tmp/", "name", "", 0), 0);
    EXPECT_EQ(Platform_RemoveShortcut("/tmp/", "name"), 0);
}

} // namespace

// Tests of the system proxy settings: the environment and the desktop's GSettings (keyfile
// backend in a private config folder, one child process per case, since GSettings reads the file
// once per process) and DHCP WPAD leases from a NetworkManager stand-in on a private bus.
#include "tests/support/source_path.h"
#include <gtest/gtest.h>
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "core/linux/platform_network.h"
#include "core/linux/platform_private_directory.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/log.h"
#include "tests/support/temp_dir.h"

namespace {

// The second user of the tests ("nobody").
constexpr uid_t kOtherUser = 65534;
// The program's private runtime folder is named after its built-in product name.
#define TEST_APP "Quarvelon Host"

std::string SourceDir() {
    const std::string file = SourcePath(__FILE__);
    return file.substr(0, file.rfind('/'));
}

constexpr const char* kProxyVariables[] = {"http_proxy", "https_proxy", "HTTPS_PROXY", "all_proxy",
                                           "ALL_PROXY", "no_proxy", "NO_PROXY", "HTTP_PROXY"};

// Runs fn in a child with its own environment and answers what it printed to the pipe.
template <typename Fn> std::string InChild(Fn fn) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const std::string out = fn();
        if (write(fds[1], out.data(), out.size()) < 0) _exit(2);
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buffer[512];
    ssize_t n;
    while ((n = read(fds[0], buffer, sizeof(buffer))) > 0) out.append(buffer, (size_t)n);
    close(fds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : "child failed";
}

// Everything the settings readers answer, one line each.
std::string Summary() {
    char text[512];
    std::string out;
    out += "http=" + std::string(Platform_ProxyGetByProtocol("http", text, sizeof(text)) ? text : "-") + "\n";
    out += "https=" + std::string(Platform_ProxyGetByProtocol("HTTPS", text, sizeof(text)) ? text : "-") + "\n";
    out += "bypass=" + std::string(Platform_ProxyGetBypass(text, sizeof(text)) ? text : "-") + "\n";
    out += "pac=" + std::string(Platform_ProxyGetWpadURL(text, sizeof(text)) ? text : "-") + "\n";
    uint32_t detect = 9;
    Platform_ProxyGetAutoDetect(&detect);
    out += "detect=" + std::to_string(detect) + "\n";
    return out;
}

struct SettingsCase {
    std::vector<std::pair<const char*, const char*>> Environment;
    const char* Keyfile; // null: the desktop schema is hidden
    const char* Expected;
};

TEST(PlatformProxy, EnvironmentAndDesktopSettings) {
    const SettingsCase cases[] = {
        // The environment wins; curl's no_proxy names cover the names under them.
        {{{"http_proxy", "http://user:pw@proxy.test:3128/"}, {"https_proxy", "secure.test:8443"},
          {"no_proxy", "example.com, .corp.lan,*,10.0.0.0/8,192.168.1.0/23"}},
         "[system/proxy]\nmode='manual'\n",
         "http=proxy.test:3128\nhttps=secure.test:8443\n"
         "bypass=example.com;*.example.com;corp.lan;*.corp.lan;*;10.*\npac=-\ndetect=0\n"},
        // Upper-case HTTP_PROXY is not read (curl's rule); all_proxy stands in; socks cannot carry http.
        {{{"HTTP_PROXY", "ignored.test:1"}, {"all_proxy", "http://[::1]:8080"}, {"HTTPS_PROXY", "socks5://s.test:1080"}},
         nullptr, "http=[::1]:8080\nhttps=-\nbypass=\npac=-\ndetect=0\n"},
        // Desktop, manual: per-protocol host and port, ignore-hosts as the bypass list.
        {{},
         "[system/proxy]\nmode='manual'\nignore-hosts=['localhost', '127.0.0.0/8', '::1', '.intra.test', "
         "'*.example.org']\n[system/proxy/http]\nhost='web.test'\nport=8080\n[system/proxy/https]\n"
         "host='https://tls.test'\nport=0\n",
         "http=web.test:8080\nhttps=tls.test\nbypass=localhost;127.*;::1;*.intra.test;*.example.org\npac=-\ndetect=0\n"},
        // Desktop, auto with a URL: the script URL; without one: discovery.
        {{}, "[system/proxy]\nmode='auto'\nautoconfig-url='http://pac.test/proxy.pac'\nignore-hosts=@as []\n",
         "http=-\nhttps=-\nbypass=\npac=http://pac.test/proxy.pac\ndetect=0\n"},
        {{}, "[system/proxy]\nmode='auto'\nautoconfig-url=''\n",
         "http=-\nhttps=-\nbypass=localhost;127.*;::1\npac=-\ndetect=1\n"},
        // Mode none: no proxies and no exceptions list either.
        {{}, "[system/proxy]\nmode='none'\n[system/proxy/http]\nhost='web.test'\nport=8080\n",
         "http=-\nhttps=-\nbypass=-\npac=-\ndetect=0\n"},
        // Neither environment nor schema: no settings at all.
        {{}, nullptr, "http=-\nhttps=-\nbypass=-\npac=-\ndetect=0\n"},
    };
    for (const SettingsCase& c : cases) {
        TempDir dir;
        const std::string out = InChild([&] {
            for (const char* name : kProxyVariables) unsetenv(name);
            for (const auto& [name, value] : c.Environment) setenv(name, value, 1);
            setenv("XDG_CONFIG_HOME", dir.path().c_str(), 1);
            setenv("GSETTINGS_BACKEND", "keyfile", 1);
            if (c.Keyfile) {
                mkdir((dir.path() + "/glib-2.0").c_str(), 0700);
                mkdir((dir.path() + "/glib-2.0/settings").c_str(), 0700);
                std::ofstream(dir.path() + "/glib-2.0/settings/keyfile") << c.Keyfile;
            } else {
                // A schema folder without the proxy schema stands for a desktop that lacks it.
                setenv("GSETTINGS_SCHEMA_DIR", dir.path().c_str(), 1);
                setenv("XDG_DATA_DIRS", dir.path().c_str(), 1);
            }
            return Summary();
        });
        EXPECT_EQ(out, c.Expected) << (c.Keyfile ? c.Keyfile : "(no schema)");
    }
}

// A folder of the desktop's settings that another user owns or may change is not asked: no
// proxy of theirs, one ERROR line naming the folder, the environment's proxy still used; and
// dconf's client never opens its flag file through a link planted there.
TEST(PlatformProxy, DesktopSettingsOnlyFromFoldersOfOurOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
    struct Case {
        const char* Name;
        const char* Backend;
        const char* Theirs;   // the folder under the test folder that the other user makes
        mode_t Mode;          // with this mode
        const char* Proxy;    // http_proxy, or null
        const char* Refused;  // the folder named, under the test folder, and why
        const char* Expected; // http= line
        const char* Failed;   // the folder that failed, named by the line that explains why
    } const cases[] = {
        {"their config home", "keyfile", "config", 0755, nullptr,
         "config/dconf is refused (a folder of another user, 13)", "http=-\n",
         "config is refused: it belongs to "},
        {"their config home, environment proxy", "keyfile", "config", 0755, "http://env.test:3128", nullptr,
         "http=env.test:3128\n", nullptr},
        {"their cache home", "dconf", "cache", 0755, nullptr,
         "cache/dconf is refused (a folder of another user, 13)", "http=-\n",
         "cache is refused: it belongs to "},
        {"a shared flag folder of ours", "dconf", "cache/dconf", 01777, nullptr,
         "cache/dconf is refused (a folder other users can change, 13)", "http=-\n",
         "cache/dconf is refused: every user may write into it"},
        {"their runtime folder", "dconf", "run", 0700, nullptr,
         "run/dconf is refused (a folder of another user, 13)", "http=-\n", "run is refused: it belongs to "},
        // GLib reads the compiled schemas of the data home, whose defaults name a proxy too.
        {"their data home", "keyfile", "data", 0755, nullptr,
         "data/glib-2.0/schemas is refused (a folder of another user, 13)", "http=-\n",
         "data is refused: it belongs to "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        for (const char* folder : {"config", "config/glib-2.0", "config/glib-2.0/settings", "cache", "cache/dconf", "data"})
            mkdir(dir.file(folder).c_str(), 0700);
        // Their settings name a proxy; their flag file is a link to a file of ours.
        std::ofstream(dir.file("config/glib-2.0/settings/keyfile"))
            << "[system/proxy]\nmode='manual'\n[system/proxy/http]\nhost='theirs.test'\nport=8080\n";
        ASSERT_TRUE(WriteText(dir.file("ours"), "our own bytes", 0600));
        ASSERT_EQ(symlink(dir.file("ours").c_str(), dir.file("cache/dconf/user").c_str()), 0);
        ASSERT_EQ(lchown(dir.file("cache/dconf/user").c_str(), kOtherUser, kOtherUser), 0);
        if (std::string(c.Theirs) == "run") {
            ASSERT_EQ(mkdir(dir.file("run").c_str(), 0700), 0);
            ASSERT_EQ(mkdir(dir.file("run/dconf").c_str(), 0700), 0);
            ASSERT_EQ(symlink(dir.file("ours").c_str(), dir.file("run/dconf/user").c_str()), 0);
            ASSERT_EQ(lchown(dir.file("run/dconf/user").c_str(), kOtherUser, kOtherUser), 0);
            ASSERT_EQ(chown(dir.file("run/dconf").c_str(), kOtherUser, kOtherUser), 0);
        }
        ASSERT_EQ(chmod(dir.file(c.Theirs).c_str(), c.Mode), 0);
        ASSERT_EQ(chown(dir.file(c.Theirs).c_str(), std::string(c.Theirs) == "cache/dconf" ? geteuid() : kOtherUser,
                        kOtherUser),
                  0);
        const std::string errors = dir.file("errors");
        const std::string out = InChild([&] {
            const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || dup2(fd, 2) < 0) return std::string("no standard error");
            Log_SetErrorsToStandardError(1);
            for (const char* name : kProxyVariables) unsetenv(name);
            if (c.Proxy) setenv("http_proxy", c.Proxy, 1);
            unsetenv("DBUS_SESSION_BUS_ADDRESS");
            unsetenv("DISPLAY");
            setenv("HOME", dir.path().c_str(), 1);
            setenv("XDG_CONFIG_HOME", dir.file("config").c_str(), 1);
            setenv("XDG_CACHE_HOME", dir.file("cache").c_str(), 1);
            setenv("XDG_DATA_HOME", dir.file("data").c_str(), 1);
            if (std::string(c.Theirs) == "run") setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
            else unsetenv("XDG_RUNTIME_DIR");
            setenv("GSETTINGS_BACKEND", c.Backend, 1);
            char text[256];
            return "http=" + std::string(Platform_ProxyGetByProtocol("http", text, sizeof(text)) ? text : "-") + "\n";
        });
        EXPECT_EQ(out, c.Expected);
        const std::string said = ReadFile(errors);
        if (c.Refused) {
            // The line that names the folder asked for, then the one that names the folder that
            // failed and why (whose owner's and groups' names are the machine's own).
            const std::string first = "ERROR - The desktop's settings are not read: " + dir.path() + "/" +
                                      c.Refused + "; the proxy comes from the environment alone\n";
            EXPECT_EQ(said.substr(0, first.size()), first);
            EXPECT_EQ(said.substr(first.size()).rfind("ERROR - The folder " + dir.path() + "/" + c.Failed, 0),
                      0u)
                << said;
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 2) << said;
        } else {
            EXPECT_EQ(said, "");
        }
        EXPECT_EQ(ReadFile(dir.file("ours")), "our own bytes");
        struct stat info = {};
        ASSERT_EQ(stat(dir.file("ours").c_str(), &info), 0);
        EXPECT_EQ(info.st_size, 13);
    }
}

// The toolkit's configuration, cache and data homes: one that another user made, or that others
// can change (a sticky shared folder included), or where it is missing the nearest folder above
// it of that kind, is swapped for a private folder of ours, said in one ERROR line; without a
// private folder to be had, none is offered and the refused one is never the answer.
TEST(PlatformProxy, ToolkitFoldersOnlyOfOurOwn) {
    if (geteuid() != 0) GTEST_SKIP() << "another user's folder needs root";
    struct Case {
        const char* Name;
        std::vector<std::pair<const char*, const char*>> Environment; // "@" stands for the test folder
        const char* Expected; // the three answers, "@" for the test folder
        const char* Said;     // the first ERROR line, "@" for the test folder
    } const cases[] = {
        {"their .config in our home", {{"HOME", "@/home"}},
         "1:@/run/" TEST_APP "/toolkit-config\n1:\n1:\n1:\n",
         "ERROR - The toolkit's configuration folder is not used: @/home/.config is refused (a folder of another "
         "user, 13); the toolkit uses @/run/" TEST_APP "/toolkit-config instead\n"},
        {"their .local in a shared home", {{"HOME", "@/shared/home"}}, "1:\n1:\n1:@/run/" TEST_APP "/toolkit-data\n1:\n",
         "ERROR - The toolkit's data folder is not used: @/shared/home/.local/share is refused (a folder of another "
         "user, 13); the toolkit uses @/run/" TEST_APP "/toolkit-data instead\n"},
        {"a cache home in a shared folder", {{"HOME", "@/shared/home"}, {"XDG_CACHE_HOME", "@/shared/cache"},
                                             {"XDG_DATA_HOME", "@/ours"}},
         "1:\n1:@/run/" TEST_APP "/toolkit-cache\n1:\n1:\n",
         "ERROR - The toolkit's cache folder is not used: @/shared/cache is refused (a folder other users can "
         "change, 13); the toolkit uses @/run/" TEST_APP "/toolkit-cache instead\n"},
        // GLib takes a relative value from the current folder, which anyone may have made.
        {"a relative variable is refused", {{"HOME", "@/ours"}, {"XDG_CONFIG_HOME", "home/.config"},
                                            {"XDG_CACHE_HOME", "@/ours/.cache"}},
         "1:@/run/" TEST_APP "/toolkit-config\n1:\n1:\n1:\n",
         "ERROR - The toolkit's configuration folder is not used: home/.config is refused (not an absolute path, "
         "22); the toolkit uses @/run/" TEST_APP "/toolkit-config instead\n"},
        {"no private folder to be had", {{"HOME", "@/home"}, {"XDG_RUNTIME_DIR", "@/theirs"}}, "0:\n1:\n1:\n1:\n",
         "ERROR - The toolkit's configuration folder is not used: @/home/.config is refused (a folder of another "
         "user, 13); no private folder could be had (a folder of another user, 13), so the toolkit has none and "
         "keeps its settings in memory\n"},
        // A link of ours to a missing folder in a shared one: judged where the folder would be
        // made, not by the folder holding our link.
        {"our link to a missing folder in a shared one", {{"HOME", "@/ours"}, {"XDG_CACHE_HOME", "@/ours/cache"}},
         "1:\n1:@/run/" TEST_APP "/toolkit-cache\n1:\n1:\n",
         "ERROR - The toolkit's cache folder is not used: @/ours/cache is refused (a folder other users can "
         "change, 13); the toolkit uses @/run/" TEST_APP "/toolkit-cache instead\n"},
        // GLib takes an empty home as the current folder: every folder under it is refused.
        {"an empty home", {{"HOME", ""}},
         "1:@/run/" TEST_APP "/toolkit-config\n1:@/run/" TEST_APP "/toolkit-cache\n1:@/run/" TEST_APP
         "/toolkit-data\n1:@/run/" TEST_APP "/toolkit-home\n",
         "ERROR - The toolkit's configuration folder is not used: the home folder is refused (HOME is empty or not "
         "an absolute path, 22); the toolkit uses @/run/" TEST_APP "/toolkit-config instead\n"},
        // A home others can change, though sticky: the files read straight from it are not ours.
        {"a home others can change", {{"HOME", "@/shared"}, {"XDG_CONFIG_HOME", "@/ours"},
                                      {"XDG_CACHE_HOME", "@/ours"}, {"XDG_DATA_HOME", "@/ours"}},
         "1:\n1:\n1:\n1:@/run/" TEST_APP "/toolkit-home\n",
         "ERROR - The toolkit's home folder is not used: @/shared is refused (a folder other users can change, "
         "13); the toolkit uses @/run/" TEST_APP "/toolkit-home instead\n"},
    };
    auto place = [](std::string text, const std::string& dir) {
        for (size_t at = 0; (at = text.find('@', at)) != std::string::npos; at += dir.size()) text.replace(at, 1, dir);
        return text;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.Name);
        TempDir dir;
        for (const char* folder : {"home", "home/.config", "home/.local", "home/.local/share", "shared", "shared/home",
                                   "shared/home/.local", "shared/cache", "ours", "run", "theirs"})
            ASSERT_EQ(mkdir(dir.file(folder).c_str(), 0700), 0) << folder;
        for (const char* folder : {"home/.config", "shared/home/.local", "theirs"}) {
            ASSERT_EQ(chmod(dir.file(folder).c_str(), 0755), 0);
            ASSERT_EQ(chown(dir.file(folder).c_str(), kOtherUser, kOtherUser), 0);
        }
        ASSERT_EQ(chmod(dir.file("shared").c_str(), 01777), 0);
        ASSERT_EQ(chmod(dir.file("shared/cache").c_str(), 01777), 0);
        ASSERT_EQ(symlink(dir.file("shared/missing").c_str(), dir.file("ours/cache").c_str()), 0);
        const std::string errors = dir.file("errors");
        const std::string out = InChild([&] {
            const int fd = open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (fd < 0 || dup2(fd, 2) < 0) return std::string("no standard error");
            Log_SetErrorsToStandardError(1);
            for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) unsetenv(name);
            setenv("XDG_RUNTIME_DIR", dir.file("run").c_str(), 1);
            for (const auto& [name, value] : c.Environment) setenv(name, place(value, dir.path()).c_str(), 1);
            std::string answers;
            for (uint32_t which = 0; which < 4; which++) {
                char folder[4096] = "unset";
                answers += std::to_string(Platform_GetToolkitFolder(which, folder, sizeof(folder))) + ":" + folder + "\n";
            }
            return answers;
        });
        EXPECT_EQ(out, place(c.Expected, dir.path()));
        const std::string said = ReadFile(errors);
        EXPECT_EQ(said.substr(0, said.find('\n') + 1), place(c.Said, dir.path()));
        // A folder given to the toolkit is ours and private.
        for (const char* leaf : {"toolkit-config", "toolkit-cache", "toolkit-data", "toolkit-home"}) {
            struct stat info = {};
            if (stat(dir.file(std::string("run/" TEST_APP "/") + leaf).c_str(), &info) != 0) continue;
            EXPECT_EQ(info.st_mode & 07777, 0700u) << leaf;
            EXPECT_EQ(info.st_uid, geteuid()) << leaf;
        }
    }
}

TEST(PlatformProxy, BoolValueIsTheNumberOne) {
    Dictionary* settings = nullptr;
    ASSERT_EQ(Dictionary_Create(&settings), 1);
    Dictionary_SetInt64ByKey(settings, "one", 1);
    Dictionary_SetInt64ByKey(settings, "two", 2);
    Dictionary_SetStringByKey(settings, "text", "1");
    Dictionary_SetBooleanByKey(settings, "flag", 1);
    const std::pair<const char*, int64_t> cases[] = {{"one", 1}, {"two", 0}, {"text", 0}, {"flag", 1}, {"none", 0}};
    for (const auto& [key, expected] : cases)
        EXPECT_EQ(Platform_ProxyGetCFDictionaryBoolValue(settings, key), expected) << key;
    EXPECT_EQ(Platform_ProxyGetCFDictionaryBoolValue(nullptr, "one"), 0);
    Dictionary_Release(&settings);
}

// A process of the test, killed with it; waits until its log holds the text.
class Peer {
  public:
    Peer(const std::vector<std::string>& args, const std::string& log, const std::string& ready) : log_(log) {
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            FILE* out = fopen(log.c_str(), "w");
            if (!out) _exit(126);
            dup2(fileno(out), 1);
            dup2(fileno(out), 2);
            std::vector<char*> argv;
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (std::chrono::steady_clock::now() < deadline && ReadFile(log_).find(ready) == std::string::npos)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ready_ = ReadFile(log_).find(ready) != std::string::npos;
    }
    ~Peer() {
        if (pid_ <= 0) return;
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    bool Ready() const { return ready_; }

  private:
    std::string log_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

TEST(PlatformProxy, DhcpWpadFromNetworkManager) {
    TempDir dir;
    const std::string socket = dir.file("system_bus");
    std::ofstream(dir.file("bus.conf"))
        << "<busconfig><type>system</type><listen>unix:path=" << socket
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
           "<allow send_destination=\"*\"/><allow receive_sender=\"*\"/></policy></busconfig>\n";
    Peer bus({"/usr/bin/dbus-daemon", "--nofork", "--print-address", "--config-file=" + dir.file("bus.conf")},
             dir.file("bus.log"), "unix:");
    ASSERT_TRUE(bus.Ready()) << ReadFile(dir.file("bus.log"));
    const std::string address = "unix:path=" + socket;
    struct Case {
        const char* Mode;
        const char* Answer;
    } cases[] = {{"lease", "http://wpad.corp.test/wpad.dat"}, {"none", ""}, {"hang", ""}};
    for (const Case& c : cases) {
        Peer manager({"/usr/bin/python3", SourceDir() + "/platform_proxy_nm.py", address, c.Mode,
                      "http://wpad.corp.test/wpad.dat"},
                     dir.file(std::string("nm_") + c.Mode + ".log"), "ready");
        ASSERT_TRUE(manager.Ready()) << ReadFile(dir.file(std::string("nm_") + c.Mode + ".log"));
        const auto start = std::chrono::steady_clock::now();
        const std::string out = InChild([&] {
            setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);
            char url[256] = "junk";
            const int64_t found = Platform_ProxyGetWpadURLFromDHCP(nullptr, url, sizeof(url));
            return std::to_string(found) + ":" + url;
        });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        EXPECT_EQ(out, std::string(c.Answer[0] ? "1:" : "0:") + c.Answer) << c.Mode;
        // A manager that never answers costs the question's budget, not the call's default wait.
        EXPECT_LT(seconds, 3.0) << c.Mode;
    }
    // A bus that accepts and then says nothing costs the budget only.
    Peer silent({"/usr/bin/python3", "-c",
                 "import socket, sys, time\ns = socket.socket(socket.AF_UNIX)\ns.bind(sys.argv[1])\ns.listen(4)\n"
                 "print('ready', flush=True)\nkept = []\nwhile True: kept.append(s.accept())",
                 dir.file("silent_bus")},
                dir.file("silent.log"), "ready");
    ASSERT_TRUE(silent.Ready());
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(InChild([&] {
                  setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("silent_bus")).c_str(), 1);
                  char url[64] = "junk";
                  return std::to_string(Platform_ProxyGetWpadURLFromDHCP(nullptr, url, sizeof(url))) + ":" + url;
              }),
              "0:");
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(), 3.0);
    // Without a bus there is no lease, at once.
    const std::string out = InChild([&] {
        setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + dir.file("absent")).c_str(), 1);
        char url[64] = "junk";
        return std::to_string(Platform_ProxyGetWpadURLFromDHCP(nullptr, url, sizeof(url))) + ":" + url;
    });
    EXPECT_EQ(out, "0:");
}

} // namespace

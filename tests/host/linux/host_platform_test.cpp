// The user-interface role's GLib loop: with the tick made an hour long, the skin web server's work
// that other threads hand to the main thread is still served as soon as it arrives.
#include <arpa/inet.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "core/certs/authenticate.h"
#include "core/linux/platform_system.h"
#include "core/runtime/thread.h"
#include "host/host.h"
#include "skin/native_skin_window.h"
#include "skin/skin_app.h"
#include "skin/skin_app_internal.h"
#include "skin/skin_file.h"
#include "skin/skin_web_server.h"
#include "skin/web_browser.h"
#include "tests/skin/test_browser.h"
#include "tests/support/child_text.h"
#include "tests/support/temp_dir.h"
#include "workflow/workflow_app.h"

namespace {

// Fetches the path with one HTTP/1.0 request; the whole answer, empty when none came.
std::string Fetch(uint32_t port, const std::string& path) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return "";
    timeval wait = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof(wait));
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons((uint16_t)port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string answer;
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) {
        const std::string request = "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == (ssize_t)request.size()) {
            char buffer[4096];
            ssize_t n;
            while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) answer.append(buffer, (size_t)n);
        }
    }
    close(fd);
    return answer;
}

gboolean GiveUp(gpointer flag) {
    static_cast<std::atomic<bool>*>(flag)->store(true);
    return G_SOURCE_REMOVE;
}

TEST(HostPlatform, SkinServerWorkIsServedWithoutWaitingForTheTick) {
    TempDir dir;
    ASSERT_TRUE(WriteText(dir.file("small.txt"), std::string(512, 's')) && WriteText(dir.file("app.yaml"), "name: t\n"));
    ASSERT_EQ(WorkflowApp_Init("host_platform.log", 0), 1);
    // What Host_Init installs: other threads' wake-ups of the main thread reach the GLib loop.
    Thread_SetUnhandledSignal(Host_PlatformMainThreadSignal);
    ASSERT_EQ(WebBrowser_Init(TestBrowser_GetInterface(), "lib"), 1);
    NativeSkinWindow_SetInterface(TestNative_GetInterface());
    SkinFile_Init();
    ASSERT_EQ(SkinFile_Attach(dir.path().c_str()), 1);
    ASSERT_EQ(SkinApp_Init(), 1);
    Authenticate_SetEnabled(0);
    ASSERT_EQ(SkinApp_StartWebServer(1), 1);
    ASSERT_EQ(Host_PlatformSetTickForTesting(0), 0);
    ASSERT_EQ(Host_PlatformSetTickForTesting(3600u * 1000u), 1);
    const WebBrowserInterface* table = nullptr;
    ASSERT_EQ(Host_PlatformInit(&table), 1);
    // The server listens on its first pass, which the (now hour-long) tick would run.
    SkinApp_ProcessWebServer();
    const uint32_t port = SkinWebServer_GetListenPort(SkinApp_GetWebServerHandle());
    ASSERT_NE(port, 0u);

    std::atomic<bool> done{false};
    std::atomic<bool> gaveUp{false};
    std::string answer;
    std::thread client([&] {
        answer = Fetch(port, "/small.txt");
        done.store(true);
        g_main_context_wakeup(nullptr);
    });
    const guint bound = g_timeout_add(10000, GiveUp, &gaveUp);
    while (!done.load() && !gaveUp.load()) g_main_context_iteration(nullptr, TRUE);
    client.join();
    if (!gaveUp.load()) g_source_remove(bound);
    EXPECT_FALSE(gaveUp.load()) << "the request waited for the tick";
    EXPECT_NE(answer.substr(0, answer.find("\r\n")).find(" 200"), std::string::npos) << answer.substr(0, 200);
    EXPECT_NE(answer.find(std::string(512, 's')), std::string::npos);

    Host_PlatformRemove();
    Host_PlatformSetTickForTesting(15);
    SkinApp_Remove();
    SkinFile_Remove();
    WebBrowser_Remove();
    Thread_SetUnhandledSignal(nullptr);
    uint32_t code = 0;
    WorkflowApp_Remove(&code);
}

// The toolkit is never left a home it would take from the current folder: an empty or relative
// HOME is replaced, in the environment the toolkit reads, by a private folder of ours; a home that
// passes is left as it was.
TEST(HostPlatform, TheToolkitGuardReplacesAHomeItCannotUse) {
    TempDir dir;
    const std::string run = dir.file("run"), home = dir.file("home");
    ASSERT_EQ(mkdir(run.c_str(), 0700), 0);
    ASSERT_EQ(mkdir(home.c_str(), 0700), 0);
    for (const std::string& value : {std::string(), std::string("relative"), home}) {
        SCOPED_TRACE("HOME=" + value);
        const auto seen = TextFromChild(
            [] { return true; },
            [&] {
                for (const char* name : {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"}) {
                    Platform_UnsetEnvironmentVariable(name);
                    unsetenv(name);
                }
                Platform_SetEnvironmentVariable("XDG_RUNTIME_DIR", run.c_str());
                Platform_SetEnvironmentVariable("HOME", value.c_str());
                setenv("HOME", value.c_str(), 1);
                Host_PlatformGuardToolkit();
                const char* left = getenv("HOME");
                struct stat info = {};
                const bool ours = left && stat(left, &info) == 0 && S_ISDIR(info.st_mode) &&
                                  (info.st_mode & 07777) == 0700 && info.st_uid == geteuid();
                return std::string(left ? left : "(unset)") + (ours ? "" : " (not a private folder of ours)");
            });
        ASSERT_TRUE(seen.has_value());
        if (value == home) {
            EXPECT_EQ(*seen, home);
        } else {
            EXPECT_EQ(seen->rfind(run + "/", 0), 0u) << *seen;
            EXPECT_EQ(seen->substr(seen->size() - 13), "/toolkit-home") << *seen;
        }
    }
    // Without a private folder to give instead (the runtime folder is a file), the home the
    // toolkit would take from the current folder is still replaced: by a path that cannot be a
    // folder, never left as it was.
    const std::string file = dir.file("not-a-folder");
    ASSERT_EQ(std::system(("touch '" + file + "'").c_str()), 0);
    for (const std::string value : {"", "relative"}) {
        SCOPED_TRACE("HOME=" + value + " without a runtime folder");
        const auto seen = TextFromChild(
            [] { return true; },
            [&] {
                Platform_SetEnvironmentVariable("XDG_RUNTIME_DIR", file.c_str());
                Platform_SetEnvironmentVariable("HOME", value.c_str());
                setenv("HOME", value.c_str(), 1);
                Host_PlatformGuardToolkit();
                const char* left = getenv("HOME");
                return std::string(left ? left : "(unset)");
            });
        ASSERT_TRUE(seen.has_value());
        EXPECT_EQ(*seen, "/dev/null");
    }
}

} // namespace

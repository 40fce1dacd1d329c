// The host executable with headless stand-ins for the browser back end and the native skin
// windows, for the host's process tests. The browser's message loop is GLib's, as with the real
// back end. Once the loop runs, the program prints "pid <its id>" and "running" and observes
// "SkinApp"/"NewCommandLine": it prints "NewCommandLine <information as JSON>" and asks the host
// to shut down (with HOST_TEST_KEEP_RUNNING set it keeps running until a signal ends it). With
// HOST_TEST_HOLD_MAIN_THREAD set, its main thread prints "held" and waits on a read that never
// returns, as a thread stuck in a call would. With HOST_TEST_HOLD_IN_PASS set, the same happens in
// the first pass over GLib's default context, which the roles without a window make too.
#include <cstdio>
#include <cstdlib>
#include <string>

#include <unistd.h>

#include <glib.h>

#include "core/runtime/notification_center.h"
#include "host/host.h"
#include "tests/skin/test_browser.h"
#include "tests/support/dictionary_text.h"

namespace {

GMainLoop* g_loop = nullptr;

int64_t OnNewCommandLine(void*, const char*, const char*, const char*, Dictionary* info) {
    printf("NewCommandLine {%s}\n", DictionaryAsJson(info).c_str());
    fflush(stdout);
    if (!getenv("HOST_TEST_KEEP_RUNNING")) Host_Shutdown();
    return 1;
}

// Holds the calling thread in a read that never returns.
void HoldForEver() {
    int ends[2];
    if (pipe(ends) != 0) return;
    printf("held\n");
    fflush(stdout);
    char byte = 0;
    while (read(ends[0], &byte, 1) != 0) {
    }
}

gboolean HoldInPass(gpointer) {
    HoldForEver();
    return G_SOURCE_REMOVE;
}

int64_t RunLoop() {
    NotificationCenter_AddObserver("SkinApp", "NewCommandLine", nullptr, OnNewCommandLine);
    printf("pid %d\nrunning\n", (int)getpid());
    fflush(stdout);
    if (getenv("HOST_TEST_HOLD_MAIN_THREAD")) HoldForEver();
    g_loop = g_main_loop_new(nullptr, FALSE);
    g_main_loop_run(g_loop);
    g_main_loop_unref(g_loop);
    g_loop = nullptr;
    NotificationCenter_RemoveObserver("SkinApp", "NewCommandLine", nullptr, OnNewCommandLine);
    printf("stopped\n");
    fflush(stdout);
    return 1;
}

int64_t QuitLoop() {
    if (g_loop) g_main_loop_quit(g_loop);
    return 1;
}

const WebBrowserInterface* TestProgramBrowser() {
    static WebBrowserInterface table = *TestBrowser_GetInterface();
    table.RunMessagePump = RunLoop;
    table.QuitMessagePump = QuitLoop;
    return &table;
}

// Installed before main runs, so that the host never looks for the real desktop.
const bool g_installed = Host_PlatformSetDesktopForTesting(TestProgramBrowser(), TestNative_GetInterface()) == 1;
const guint g_holdInPass = getenv("HOST_TEST_HOLD_IN_PASS") ? g_idle_add(HoldInPass, nullptr) : 0;

} // namespace

// The host's Linux half: the user-interface role's 15 ms tick on GLib's default main context
// (the one GTK's loop runs), the flush that other threads schedule there, SIGINT and SIGTERM as
// requests for shutdown, and restarts (elevated ones through the privileged launch).
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <cstring>

#include <pthread.h>
#include <unistd.h>

#include <glib.h>
#include <gtk/gtk.h>

#include "core/linux/gui/native_ui.h"
#include "core/linux/platform_private_directory.h"
#include "core/linux/platform_process.h"
#include "core/linux/platform_system.h"
#include "core/platform/process.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"
#include "host/host.h"
#include "host/host_web_browser.h"
#include "skin/linux/gtk/gtk_skin_window.h"
#include "skin/localisation.h"
#include "skin/native_skin_window.h"
#include "skin/skin_app.h"
#include "skin/skin_window_dialog.h"
#include "skin/skin_window_interop.h"
#include "skin/web_browser.h"


namespace {

constexpr guint kTickMs = 15;
// Longest tick a test may ask for: an hour, so that a tick never stands in for a wake-up.
constexpr guint kLongestTickMs = 3600u * 1000u;
constexpr uint32_t kPrivilegedLaunch = 8;

// The main-loop object of the user-interface role.
struct Host {
    uint8_t Stopped;
    guint Timer;
};

// Read by other threads when they wake the main thread.
std::atomic<Host*> g_PlatformHost{nullptr};
std::atomic<uint32_t> g_HostProcessPending{0};
std::atomic<uint32_t> g_HostFlushPending{0};
// A wake-up that came while a pass ran: the pass may have flushed before the event was queued,
// so the flush is scheduled once the pass is over instead of being left to the next tick.
std::atomic<uint32_t> g_HostFlushOwed{0};
std::atomic<guint> g_TickMs{kTickMs};

gboolean HostFlush(gpointer);

void ScheduleFlush() {
    uint32_t expected = 0;
    if (!g_HostFlushPending.compare_exchange_strong(expected, 1)) return;
    // g_idle_add is safe from any thread and wakes the default context at once.
    g_idle_add_full(G_PRIORITY_DEFAULT, HostFlush, nullptr, nullptr);
}

bool Claim(std::atomic<uint32_t>& flag) {
    uint32_t expected = 0;
    return flag.compare_exchange_strong(expected, 1);
}

void Release(std::atomic<uint32_t>& flag) {
    uint32_t expected = 1;
    flag.compare_exchange_strong(expected, 0);
}

void HostProcess(Host* host) {
    if (!host->Stopped && SkinApp_IsInit() && !Host_Process()) {
        host->Stopped = 1;
        WebBrowser_QuitMessagePump();
    }
    Release(g_HostProcessPending);
    uint32_t owed = 1;
    if (g_HostFlushOwed.compare_exchange_strong(owed, 0) && !host->Stopped) ScheduleFlush();
}

// A pass that is still running (a modal box runs a nested loop on the same context) is never
// entered again; the timer keeps running and passes resume once it returns.
gboolean HostTick(gpointer data) {
    if (Claim(g_HostProcessPending)) HostProcess(static_cast<Host*>(data));
    return G_SOURCE_CONTINUE;
}

gboolean HostFlush(gpointer) {
    Release(g_HostFlushPending);
    Host* host = g_PlatformHost.load();
    if (host && !host->Stopped && SkinApp_IsInit()) EventQueue_Flush(nullptr);
    return G_SOURCE_REMOVE;
}

// The last resort behind the orderly stop: a main thread held where no request is seen (a read
// that never returns) would otherwise keep the process running after the signal for ever.
std::atomic<uint32_t> g_SignalDeadline{HOST_SIGNAL_DEADLINE_WINDOWS};
std::atomic<int> g_SignalTaken{0};

// Only async-signal-safe calls: the main thread may be held anywhere, with any lock taken.
void OnSignalDeadline(int) {
    const int signal = g_SignalTaken.load();
    char line[128];
    size_t length = 0;
    auto put = [&](const char* text) {
        while (*text && length < sizeof(line)) line[length++] = *text++;
    };
    put("ERROR - Still running ");
    char digits[12];
    int count = 0;
    for (uint32_t n = g_SignalDeadline.load(); count == 0 || n > 0; n /= 10) digits[count++] = (char)('0' + n % 10);
    while (count > 0 && length < sizeof(line)) line[length++] = digits[--count];
    put(" s after ");
    put(signal == SIGINT ? "SIGINT" : "SIGTERM");
    put(": ended before its work could stop\n");
    ssize_t written = write(STDERR_FILENO, line, length);
    (void)written;
    _exit(128 + signal);
}

// An open box would hold the process for an answer nobody gives: it is closed as a person closing
// it would, so that the request is seen within the stop time.
void OnShutdownSignal(int signal) {
    Host_SignalShutdown(signal);
    NativeUI_DismissDialogs();
    int none = 0;
    if (g_SignalTaken.compare_exchange_strong(none, signal)) alarm(g_SignalDeadline.load());
}

} // namespace

// Stand-ins for the WebKitGTK view and the GTK windows, for process tests without a display.
std::atomic<const WebBrowserInterface*> g_TestBrowser{nullptr};
std::atomic<const NativeSkinWindowInterface*> g_TestWindows{nullptr};

int64_t Host_PlatformSetDesktopForTesting(const WebBrowserInterface* browser, const NativeSkinWindowInterface* windows) {
    g_TestBrowser.store(browser);
    g_TestWindows.store(windows);
    return 1;
}

int64_t Host_PlatformInit(const WebBrowserInterface** nativeTable) {
    const WebBrowserInterface* testBrowser = g_TestBrowser.load();
    const NativeSkinWindowInterface* testWindows = g_TestWindows.load();
    if (nativeTable) *nativeTable = testBrowser ? testBrowser : HostWebBrowser_GetNativeInterface();
    if (!NativeSkinWindow_GetInterface())
        NativeSkinWindow_SetInterface(testWindows ? testWindows : GtkSkinWindow_GetInterface());
    // Skin windows cannot open without a native window layer: the role ends here instead.
    if (!NativeSkinWindow_GetInterface()) {
        Log_Error("No native skin window layer\n");
        return 0;
    }
    // What a page asks of its window beyond the window itself: maximise, minimise and restore,
    // drags, the application's progress bar, notifications, pictures, and its boxes and choosers.
    // Nothing else installs them: without them every such call would quietly do nothing.
    if (NativeSkinWindow_GetInterface() == GtkSkinWindow_GetInterface()) {
        SkinWindowControls_SetInterface(GtkSkinWindow_GetControlsInterface());
        SkinWindowDialog_SetNativeInterface(GtkSkinWindow_GetDialogInterface());
    }
    // Message boxes take localisation keys, the page's as the host's own.
    NativeUI_MessageBoxOverride(L10N_MessageBoxOverride);
    SkinApp_WebServerSetEnableChildAccess(1);
    if (!g_PlatformHost.load()) {
        Host* host = static_cast<Host*>(Memory_AllocZero(sizeof(Host)));
        host->Timer = g_timeout_add(g_TickMs.load(), HostTick, host);
        g_PlatformHost.store(host);
    }
    return 1;
}

int64_t Host_PlatformRemove() {
    SkinWindowDialog_SetNativeInterface(nullptr);
    SkinWindowControls_SetInterface(nullptr);
    NativeUI_MessageBoxOverride(nullptr);
    Host* host = g_PlatformHost.exchange(nullptr);
    if (!host) return 1;
    if (host->Timer) g_source_remove(host->Timer);
    Memory_Free(host, sizeof(Host));
    return 1;
}

int64_t Host_PlatformCheckForLegacyUpdates() { return 1; }

int64_t Host_PlatformImplode(const char*) { return 1; }

void Host_PlatformMainThreadSignal(uint32_t, uint32_t isEvent) {
    if (isEvent != 1) return;
    // Only the user-interface role runs the GLib loop; the other roles flush in their own loop.
    if (!g_PlatformHost.load()) return;
    if (g_HostProcessPending.load() == 1) {
        g_HostFlushOwed.store(1);
        // The pass may have ended between the two loads: then nobody else would see the debt.
        if (g_HostProcessPending.load() == 1) return;
        uint32_t owed = 1;
        if (!g_HostFlushOwed.compare_exchange_strong(owed, 0)) return;
    }
    ScheduleFlush();
}

int64_t Host_PlatformSetTickForTesting(uint32_t milliseconds) {
    if (milliseconds == 0 || milliseconds > kLongestTickMs) return 0;
    g_TickMs.store(milliseconds);
    return 1;
}

int64_t Host_PlatformResetSignals() {
    // Only what was ignored is put back: a disposition ignored before the exec stays ignored after
    // it, while a handler found here was installed in this process (by the sanitizer's runtime,
    // before main) and is left to it. An ignored SIGCHLD would have the kernel reap every program
    // we launch, so that no wait for one could ever end; an ignored SIGTERM would never be seen.
    // An ignored SIGHUP is kept: that is how a user asks (nohup) that a hang-up not end the program.
    bool reset = true;
    for (int number = 1; number < NSIG; number++) {
        if (number == SIGKILL || number == SIGSTOP || number == SIGPIPE || number == SIGHUP) continue;
        struct sigaction current;
        memset(&current, 0, sizeof(current));
        // The C library keeps a few numbers for its own use and refuses them: nobody else set them.
        if (sigaction(number, nullptr, &current) != 0) continue;
        if ((current.sa_flags & SA_SIGINFO) || current.sa_handler != SIG_IGN) continue;
        struct sigaction byDefault;
        memset(&byDefault, 0, sizeof(byDefault));
        byDefault.sa_handler = SIG_DFL;
        sigemptyset(&byDefault.sa_mask);
        if (sigaction(number, &byDefault, nullptr) != 0) reset = false;
    }
    // Every write of ours checks its result: a reader that left (a closed pipe on the standard
    // output, a peer that hung up) is an error of that write, never the end of the process. The
    // programs we launch get SIGPIPE at its default again.
    struct sigaction ignore;
    memset(&ignore, 0, sizeof(ignore));
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0) reset = false;
    // The mask is the calling thread's and every thread inherits its creator's: set while this is
    // the only thread, it reaches all that follow.
    sigset_t none;
    sigemptyset(&none);
    if (pthread_sigmask(SIG_SETMASK, &none, nullptr) != 0) reset = false;
    return reset ? 1 : 0;
}

int64_t Host_PlatformInstallSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = OnShutdownSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    struct sigaction deadline;
    memset(&deadline, 0, sizeof(deadline));
    deadline.sa_handler = OnSignalDeadline;
    sigemptyset(&deadline.sa_mask);
    sigaction(SIGALRM, &deadline, nullptr);
    return 1;
}

int64_t Host_PlatformRestoreSignals() {
    struct sigaction action;
    memset(&action, 0, sizeof(action));
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    return 1;
}

int64_t Host_PlatformSetSignalDeadline(uint32_t seconds) {
    if (seconds == 0) return 0;
    g_SignalDeadline.store(seconds);
    return 1;
}

int64_t Host_PlatformRestart(const char* path, const char* arguments, uint32_t rights) {
    int32_t elevated = 0;
    Platform_IsElevated(&elevated);
    if ((rights & 1) && !elevated) {
        PlatformProcess* launched = nullptr;
        const int64_t result =
            Platform_Execute(path, arguments ? arguments : "", "", kPrivilegedLaunch, nullptr, nullptr, nullptr, &launched);
        if (launched) Platform_ProcessDelete(&launched);
        return result;
    }
    Process* process = nullptr;
    Process_Create(&process);
    Process_SetApplicationName(process, path);
    Process_SetArguments(process, arguments ? arguments : "");
    Process_SetShowWindow(process, 1);
    Process_SetElevationRights(process, rights);
    const int64_t result = Process_Launch(process);
    Process_Release(&process);
    return result;
}

int64_t Host_PlatformGuardToolkit() {
    static bool guarded = false;
    if (guarded) return 1;
    guarded = true;
    // The toolkit and the browser engine's processes read and write the desktop's settings too.
    // Where another user could steer those folders they get GLib's in-memory settings instead.
    // GLib reads GSETTINGS_BACKEND from the C library's environment (inherited by the engine's
    // processes), not from the program's own table, so it is set with setenv itself, here, before
    // the toolkit starts and while this is the process's only thread.
    bool inMemory = !Platform_CheckDesktopSettings();
    // The toolkit reads its style, settings and bookmarks from the configuration home, fontconfig
    // its fonts.conf there and its cache under the cache home, GLib the schemas under the data
    // home, and the toolkit and the engine write their caches and recent files under the cache and
    // data homes; fontconfig and the input methods read files straight from the home. One that
    // another user could steer is swapped for a private folder of ours, in the C library's
    // environment only (set here for the same reasons as above): the program's own table keeps the
    // user's values for our own folders, which refuse such places themselves, and for the programs
    // we launch. Without a private folder the toolkit gets a path that cannot be a folder, never
    // the refused one. A swapped home would move the other folders with it: those that passed are
    // named to the toolkit as they are.
    static const char* const variables[] = {"XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME"};
    char home[8192];
    const bool homeHad = Platform_GetToolkitFolder(3, home, sizeof(home)) != 0;
    const bool homeSwapped = !homeHad || home[0];
    for (uint32_t which = 0; which < 3; which++) {
        char folder[8192];
        if (!Platform_GetToolkitFolder(which, folder, sizeof(folder))) {
            setenv(variables[which], "/dev/null", 1);
            inMemory = true;
        } else if (folder[0]) {
            setenv(variables[which], folder, 1);
        } else if (homeSwapped && Platform_GetToolkitBase(which, folder, sizeof(folder))) {
            setenv(variables[which], folder, 1);
        }
    }
    if (homeSwapped) setenv("HOME", homeHad ? home : "/dev/null", 1);
    if (inMemory) setenv("GSETTINGS_BACKEND", "memory", 1);
    return 1;
}

int64_t Host_PlatformStartToolkit() {
    Host_PlatformGuardToolkit();
    // Without a display the role still starts; the browser back end reports what it cannot do.
    NativeUI_Init();
    return NativeUI_HasDisplay();
}

int64_t Host_PlatformStopToolkit() {
    return NativeUI_Remove();
}

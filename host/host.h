// The host: one executable in five process roles (user interface, elevated workflow worker,
// self-update, browser-engine child, crash reporter), its start-up, main loop and shutdown.
#pragma once

#include <cstdint>

struct Dictionary;
struct WebBrowserInterface;
struct NativeSkinWindowInterface;

enum : int32_t {
    // Longest hand-over text a second instance sends: the singleton block's message capacity
    // less the terminator.
    HOST_HANDOVER_MAX_LENGTH = 4095,
    HOST_FIELD_SIZE = 4096,
    HOST_RESTART_ARGUMENTS_SIZE = 4096,
};

// ---- Start-up and shutdown ----------------------------------------------------------------------
// 1 = run the main loop, 0 = go straight to shutdown.
int64_t Host_Init(const char* skinPath, uint32_t extraDebugFlags);
int64_t Host_InitContent(uint32_t cefEnabled, uint32_t externalPaths);
int64_t Host_GetExitCode(uint32_t* code);
// The self-update role's run reached by SIGINT or SIGTERM at any moment (its start, its loop, its
// end) ends with 128 + the signal and one line saying so, told once: 1 when this call told it.
int64_t Host_SettleSignal();
// The same for a signal that came after the exit code was taken, while the modules shut down:
// the line goes straight to standard error and *code becomes 128 + the signal. 1 when it did.
int64_t Host_SettleSignalAfterRemove(uint32_t* code);
int64_t Host_IsRunning();
int64_t Host_Shutdown();
// Safe inside a signal handler: only records the request, which the next main-loop pass carries out.
int64_t Host_ConsoleControlOverride();
// The same from a handler that knows its signal: the first one is kept for the exit code
// (128 + the signal) of a workflow run it cuts short. Safe inside a signal handler.
int64_t Host_SignalShutdown(int32_t signal);
// The signal that asked for the shutdown, 0 when none did.
int32_t Host_ShutdownSignal();
int64_t Host_ConfigLoadedCallback(void* handle, Dictionary* config);
int64_t Host_WebServerListenChangedCallback(void* user, int32_t port);
int64_t Host_WorkflowManagerWillLoadCallback(const char* url, void* user);
// Does nothing unless the skin application is initialised, so a second call is harmless.
int64_t Host_AppRemove();
int64_t Host_Remove();
int64_t ProgressDialog_Start(const char* title, const char* text);

// Appends " --elevated" for an elevated restart unless the arguments carry the switch already.
// 0 when the result would not fit.
int64_t Host_AddElevatedSwitch(char* arguments, int32_t capacity);
// The restart arguments of a command line: every field from the second on that passes
// Host_ShouldPassToChildRestart, separated by spaces. 0 when a field had to be left out for room.
int64_t Host_BuildRestartArguments(const char* commandLine, char* buffer, int32_t capacity);

// ---- Switch filters -----------------------------------------------------------------------------
int64_t Host_ShouldRemoveSwitch(const char* name);
int64_t Host_ShouldPassToChildRestart(const char* name);

// ---- Main loop ------------------------------------------------------------------------------------
// One pass; 0 once the skin application has finished.
int64_t Host_Process();
int64_t Host_RunMessagePump();
// Whether a shutdown was asked for (by a signal) and not yet passed on; clears the request.
int64_t Host_TakeShutdownRequest();
// The second instance's side of the hand-over: sends what passes the switch filters.
// SKINAPP_INFORM_DELIVERED, SKINAPP_INFORM_NOTHING (no field passes the filters) or
// SKINAPP_INFORM_FAILED (too long, or the running instance could not be reached).
int64_t Host_PostCommandLineParams();
// What the last Host_PostCommandLineParams came to; SKINAPP_INFORM_NOTHING before any.
int64_t Host_HandOverResult();
// The hand-over text {"args": [...]} of a command line (null: the process's); 0 when no field
// passes the filters or the text would be longer than HOST_HANDOVER_MAX_LENGTH.
int64_t Host_BuildCommandLineParams(const char* commandLine, char* buffer, int32_t capacity,
                                    uint32_t* length);
// A URL handed to the application (already decoded): appended to the command line as the first
// `open` switch and raised as "SkinApp"/"NewCommandLine".
int64_t Host_OpenURL(const char* url);

// ---- Platform half (host/linux/) ------------------------------------------------------------------
int64_t Host_PlatformInit(const WebBrowserInterface** nativeTable);
int64_t Host_PlatformRemove();
int64_t Host_PlatformCheckForLegacyUpdates();
int64_t Host_PlatformImplode(const char* path);
// rights: 1 elevated, 2 as invoker. The launch result.
int64_t Host_PlatformRestart(const char* path, const char* arguments, uint32_t rights);
void Host_PlatformMainThreadSignal(uint32_t threadId, uint32_t isEvent);
// The user-interface role's tick for the timers made after it (15 ms unless a test sets it,
// 1 ms to an hour); 0 for a value outside that.
int64_t Host_PlatformSetTickForTesting(uint32_t milliseconds);
// Sets the signal state the host is written for, whatever its starter left it (a launcher that
// ignores SIGCHLD, a script that blocks SIGTERM): every signal it does not handle itself at its
// default, none blocked, SIGPIPE ignored (its writes see the error instead). First thing in every
// role, while the process has one thread; 0 when a disposition or the mask could not be set.
int64_t Host_PlatformResetSignals();
// SIGINT and SIGTERM ask for shutdown; the handler only records it, and arms the deadline below.
int64_t Host_PlatformInstallSignals();
// SIGINT and SIGTERM end the process again as they do by default (the deadline stays armed).
int64_t Host_PlatformRestoreSignals();
// Seconds after the first shutdown signal by which the process has ended: past them it ends
// with 128 + the signal and one ERROR line, even when its main thread is held. The roles without
// a window promise 10; a window is given 10 to agree, then closed, hence more by default.
enum : uint32_t {
    HOST_SIGNAL_DEADLINE_NO_WINDOW = 10,
    HOST_SIGNAL_DEADLINE_WINDOWS = 20,
};
int64_t Host_PlatformSetSignalDeadline(uint32_t seconds);
// Gives the toolkit, in the C library's environment, private folders of ours (or the settings in
// memory) for every folder of its own that another user could steer: in every role, at start-up
// while the process has one thread. Once per process; the toolkit's start does it too.
int64_t Host_PlatformGuardToolkit();
// Starts the desktop toolkit for the user-interface role; 0 without a display.
int64_t Host_PlatformStartToolkit();
int64_t Host_PlatformStopToolkit();
// Process tests without a display: stand-ins for the browser back end and the native skin windows,
// set before the host starts.
int64_t Host_PlatformSetDesktopForTesting(const WebBrowserInterface* browser,
                                          const NativeSkinWindowInterface* windows);

// The process entry: picks the skin, starts the modules for the role the command line names,
// runs the main loop and shuts down, returning the exit code.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "core/certs/executable.h"
#include "core/linux/platform.h"
#include "core/platform/path.h"
#include "core/runtime/command_line.h"
#include "core/runtime/string.h"
#include "core/runtime/log.h"
#include "host/host.h"
#include "host/host_command_line.h"
#include "host/linux/crash_handler_threads.h"

namespace {

// A skin directory or store named "app.bundle" beside the executable stands for the bundle's
// resource; empty when there is none (the executable's own store is used then).
void FindBundledSkin(char* skinPath, int32_t capacity) {
    skinPath[0] = 0;
    char candidate[1024] = "";
    if (!Platform_GetModuleDirectory(nullptr, candidate, sizeof(candidate))) return;
    Path_FixSlash(candidate, sizeof(candidate), 1);
    String_CatLength(candidate, "app.bundle", sizeof(candidate));
    if (!Path_Exists(candidate)) return;
    if (!Path_Resolve(candidate, skinPath, capacity)) String_CopyLength(skinPath, candidate, capacity);
}

} // namespace

int main(int argc, char** argv) {
    // Before anything else, in every role: the state our starter left is not ours to keep.
    const int64_t signalsReset = Host_PlatformResetSignals();
    // Before any thread starts: every thread of the process, whoever starts it, keeps the crash
    // signals open and has a stack for their handler.
    Breakpad_CoverEveryThread();
    // The argument vector stays borrowed by the command line for the whole process.
    static std::vector<std::string> arguments;
    static std::vector<char*> vector;
    arguments = HostCommandLine_Normalise(argc, argv);
    for (std::string& argument : arguments) vector.push_back(argument.data());
    vector.push_back(nullptr);
    Arguments_Init((int)arguments.size(), vector.data());
    Executable_Init();
    const char* given = nullptr;
    CommandLine_Get(&given);
    if (CommandLine_IsFieldSet(given, "help") || CommandLine_IsFieldSet(given, "version")) {
        CommandLine_IsFieldSet(given, "help") ? HostCommandLine_PrintHelp(argv[0]) : HostCommandLine_PrintVersion();
        // A text that could not be written (its reader left) is a failure, not a success.
        const bool written = fflush(stdout) == 0 && !ferror(stdout);
        Executable_Remove();
        Arguments_Remove();
        return written ? 0 : 1;
    }
    // The roles this program starts itself (a browser-engine child with the engine's own switches,
    // the workflow worker with a workflow's arguments, the crash reporter) run as they were asked.
    const bool startedByTheHost = CommandLine_IsFieldSet(given, "type") || CommandLine_IsFieldSet(given, "wfworker") ||
                                  CommandLine_IsFieldSet(given, "cefworker") || CommandLine_IsFieldSet(given, "crashreport");
    if (!startedByTheHost && !HostCommandLine_Check(arguments)) {
        Executable_Remove();
        Arguments_Remove();
        return 1;
    }
    Log_SetErrorsToStandardError(1);
    if (!signalsReset) Log_Error("Unable to reset the signal state this process was started with\n");
    // A workflow run without a window takes a signal as a request to stop from its first moment,
    // so that even one that comes while it starts ends it as documented: 128 + the signal and one
    // line saying so, within the windowless deadline.
    const bool windowless = CommandLine_IsFieldSet(given, "wfselfupdate") || CommandLine_IsFieldSet(given, "wfworker");
    if (windowless) {
        Host_PlatformSetSignalDeadline(HOST_SIGNAL_DEADLINE_NO_WINDOW);
        Host_PlatformInstallSignals();
    }
    char stored[COMMAND_LINE_SIZE] = "";
    if (Executable_GetCommandLine(nullptr, stored, sizeof(stored)) == 1 && stored[0]) CommandLine_Append(stored);

    const char* commandLine = nullptr;
    CommandLine_Get(&commandLine);
    // Every role may start the toolkit (a crash box, a progress window) or the engine's processes.
    Host_PlatformGuardToolkit();
    if (!CommandLine_IsFieldSet(commandLine, "wfworker") && !CommandLine_IsFieldSet(commandLine, "cefworker") &&
        !CommandLine_IsFieldSet(commandLine, "crashreport"))
        Host_PlatformStartToolkit();

    char skinPath[1024];
    FindBundledSkin(skinPath, sizeof(skinPath));
    if (Host_Init(skinPath, 0) == 1) Host_RunMessagePump();
    uint32_t exitCode = 0;
    Host_GetExitCode(&exitCode);
    Host_Remove();
    Host_PlatformStopToolkit();
    // Nothing is left to stop in order: from here a signal ends the process as the system does,
    // which a shell reads as 128 + the signal. One that came before is told now.
    if (windowless) Host_PlatformRestoreSignals();
    Host_SettleSignalAfterRemove(&exitCode);
    Executable_Remove();
    Arguments_Remove();
    return (int)exitCode;
}

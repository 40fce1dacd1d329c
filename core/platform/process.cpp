// Process: the checks before a launch (digest in chunks on the polling thread, signature on the
// authenticator's worker), the launch through the platform and the polling that follows the
// program to its end, all reported as "Process" notifications on the owner's thread.
#include "core/platform/process.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/certs/authenticate_async.h"
#include "core/crypto/hash_file.h"
#include "core/crypto/sha1.h"
#include "core/linux/platform_error.h"
#include "core/linux/platform_process.h"
#include "core/platform/path.h"
#include "core/platform/pipe.h"
#include "core/runtime/command_line.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/event_queue.h"
#include "core/runtime/notification_center.h"
#include "core/runtime/string.h"
#include "core/runtime/string_expand.h"
#include "core/runtime/thread.h"
#include "core/runtime/time.h"

const ProcessRightsString Process_RightsStringTable[4] = {
    {PROCESS_RIGHTS_USER, "User"},
    {PROCESS_RIGHTS_ELEVATED, "Elevated"},
    {PROCESS_RIGHTS_INVOKER, "AsInvoker"},
    {PROCESS_RIGHTS_INVOKER, "Invoker"},
};

namespace {

constexpr char kType[] = "Process";
// How long a started program runs before it is announced ready: time to fail at once.
constexpr double kReadyDelay = 0.25;
// The launch copies of the paths, with room for any field.
constexpr int32_t kLaunchPathSize = 1024;
// SHA-1 as hex text is 40 digits; room for any digest the text form can hold.
constexpr uint32_t kDigestTextSize = 160;

int64_t DeleteHandle(void** handle) {
    return Process_Delete(reinterpret_cast<Process**>(handle));
}

Process* Checked(Process* process) {
    CLASS_CHECK(process, PROCESS_CLASS_ID);
    return process;
}

void PreparePrint(Process* process) {
    ClassPrint_Prepare(&process->Print, process, "Process", nullptr);
}

// Holds a reference while observers run, so that one which releases the object from inside a
// notification does not pull it away from under the call in progress.
class Hold {
  public:
    explicit Hold(Process* process) : process_(process) { Class_AddRef(process); }
    ~Hold() { Process_Release(&process_); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

  private:
    Process* process_;
};

// Copies the text without any double quote: a path written quoted names the file inside.
void CopyUnquoted(char* out, int32_t size, const char* text) {
    int32_t used = 0;
    for (const char* p = text; *p && used < size - 1; p++)
        if (*p != '"') out[used++] = *p;
    out[used] = 0;
}

void FireComplete(Process* process, uint32_t successful, int32_t exitCode) {
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_AddBoolean(info, "successful", successful, nullptr);
    Dictionary_AddInt32(info, "exitCode", exitCode, nullptr);
    NotificationCenter_Fire(kType, "Complete", process->Header.InstanceId, info);
    Dictionary_Release(&info);
}

// The end of a launch in any way. Idle before the notification, so that an observer may launch
// again from it without that launch being taken for finished.
void CompleteWith(Process* process, uint32_t successful, int32_t exitCode) {
    process->EndTime = Time_GetCurrent();
    process->State = PROCESS_STATE_IDLE;
    FireComplete(process, successful, exitCode);
}

void FireReady(Process* process, int32_t pid) {
    process->ReadyFired = 1;
    Dictionary* info = nullptr;
    Dictionary_Create(&info);
    Dictionary_AddInt32(info, "id", pid, nullptr);
    NotificationCenter_Fire(kType, "Ready", process->Header.InstanceId, info);
    Dictionary_Release(&info);
}

// A file that is not there, is a directory or may not be executed by anyone can never run: the
// launch would only produce a child that fails at once and looks like a program that ran. A
// relative path names a file of the current directory, as it does for the launch, whatever
// working directory the program is given.
bool CannotRun(const char* path) {
    // Nor can a location the expander could not name: taken as it is, it would be a program of
    // whatever the current folder is.
    if (String_ExpandFindLocation(path, nullptr, 0)) return true;
    struct stat info;
    if (!Path_Stat(path, 1, &info)) return Platform_ErrorMissing(Platform_GetLastError()) != 0;
    return S_ISDIR(info.st_mode) || (info.st_mode & 0111) == 0;
}

void* StandardHandle(Pipe* pipe) {
    if (!pipe) return nullptr;
    if (!Pipe_IsOpen(pipe)) Pipe_Start(pipe);
    void* handle = nullptr;
    Pipe_GetStandardHandle(pipe, &handle);
    return handle;
}

// The instance of the wake-up events: one pending pass stands for any number of ended children.
char g_childEnded;

// On the launching thread, once a watched child ended: the pass that polls every Process (and
// every other ticking object) runs now rather than on the loop's next tick, also in a loop that
// only flushes its queue when woken. Elsewhere the wake-up alone gets the thread's loop going.
void RunPassForEndedChild(void*) {
    if (Thread_GetCurrentId() == Thread_GetMainId() && NotificationCenter_IsInit()) NotificationCenter_Process();
}

// On the watcher's thread: only posting is allowed here. The event wakes the thread's loop.
void ChildEnded(uint32_t threadId) {
    EventQueue_AddProcessByThreadId(threadId, &g_childEnded, RunPassForEndedChild);
}

int64_t LaunchNow(Process* process) {
    char path[kLaunchPathSize];
    char directory[kLaunchPathSize];
    CopyUnquoted(path, (int32_t)sizeof(path), process->ApplicationName);
    CopyUnquoted(directory, (int32_t)sizeof(directory), process->WorkingDirectory);
    uint32_t flags = 0;
    if (process->ElevationRights == PROCESS_RIGHTS_ELEVATED) flags = PLATFORM_EXECUTE_ELEVATED;
    if (process->ElevationRights == PROCESS_RIGHTS_INVOKER) flags = PLATFORM_EXECUTE_NORMAL;
    if (process->ShowWindow == 0) flags |= PLATFORM_EXECUTE_HIDE;
    void* input = StandardHandle(process->StandardInput);
    void* output = StandardHandle(process->StandardOutput);
    void* error = StandardHandle(process->StandardError);
    if (CannotRun(path)) {
        Process_Print(process, "Unable to execute application (%s)", path);
        CompleteWith(process, 0, 0);
        return 0;
    }
    PlatformProcess* handle = nullptr;
    (void)input;
    (void)output;
    (void)error;
    const char* inputText = process->InputText[0] ? process->InputText : nullptr;
    const int64_t launched =
        process->ArgumentVector
            ? Platform_ExecuteVector(path, process->ArgumentCount, process->ArgumentVector, directory, flags,
                                     inputText, &handle)
            : Platform_ExecuteWithInput(path, process->Arguments, directory, flags, inputText, &handle);
    if (!launched) {
        CompleteWith(process, 0, 0);
        return 0;
    }
    process->PlatformHandle = handle;
    process->StartTime = Time_GetCurrent();
    process->State = PROCESS_STATE_RUNNING;
    // Without a watch (no pidfd, elevated launch) the polls alone notice the end.
    // The thread module carries the wake-up: before it is set up, polls only.
    if (Thread_GetMainId() != 0) Platform_ProcessWatchEnd(handle, ChildEnded, Thread_GetCurrentId());
    return 1;
}

void StartAuthentication(Process* process) {
    char path[PROCESS_PATH_SIZE];
    CopyUnquoted(path, (int32_t)sizeof(path), process->AuthenticateTarget);
    process->State = PROCESS_STATE_AUTHENTICATING;
    AuthenticateAsync_SetSourcePath(process->Authenticator, path);
    AuthenticateAsync_Start(process->Authenticator);
}

void DigestComplete(HashFile* digester, void* user, uint32_t success) {
    Process* process = static_cast<Process*>(user);
    if (process->State != PROCESS_STATE_HASHING) return;
    if (!success) {
        CompleteWith(process, 0, 0);
        return;
    }
    char actual[kDigestTextSize] = {};
    HashFile_GetString(digester, 0, actual, sizeof(actual));
    if (!String_CompareWithoutCase(actual, process->SHA1)) {
        char path[PROCESS_PATH_SIZE];
        HashFile_GetPath(digester, path, sizeof(path));
        Process_Print(process, "SHA1 failed (%s) Expected (%s) Actual (%s)", path, process->SHA1, actual);
        CompleteWith(process, 0, 0);
        return;
    }
    if (process->AuthenticateTarget[0])
        StartAuthentication(process);
    else
        LaunchNow(process);
}

void SignatureComplete(AuthenticateAsync* auth, void* user, uint32_t result) {
    Process* process = static_cast<Process*>(user);
    if (process->State != PROCESS_STATE_AUTHENTICATING) return;
    if (result != 1) {
        char path[PROCESS_PATH_SIZE];
        AuthenticateAsync_GetSourcePath(auth, path, (int32_t)sizeof(path));
        Process_Print(process, "Authentication failed (%s)", path);
        CompleteWith(process, 0, 0);
        return;
    }
    LaunchNow(process);
}

void PollRunning(Process* process) {
    PlatformProcess* handle = process->PlatformHandle;
    if (Platform_ProcessIsRunning(handle)) {
        if (!process->ReadyFired && Time_GetCurrent() - process->StartTime >= kReadyDelay)
            FireReady(process, Platform_ProcessGetId(handle));
        return;
    }
    int32_t exitCode = 0;
    // Not collected yet: the next poll asks again.
    if (!Platform_ProcessGetExitCode(handle, &exitCode)) return;
    if (!process->ReadyFired) {
        FireReady(process, Platform_ProcessGetId(handle));
        // An observer that polled from inside "Ready" has already finished this launch.
        if (process->State != PROCESS_STATE_RUNNING || process->PlatformHandle != handle) return;
    }
    Platform_ProcessDelete(&process->PlatformHandle);
    CompleteWith(process, 1, exitCode);
}

// The slot of a standard stream, set from "instanceId".
int64_t SetStandardPipe(Process* process, Pipe** slot, uint32_t inbound, Dictionary* dict) {
    Checked(process);
    ASSERT_POINTER(dict);
    const char* id = nullptr;
    if (!Dictionary_GetStringPtrByKey(dict, "instanceId", &id) || !id || !id[0]) {
        Pipe_Release(slot);
        return 1;
    }
    void* object = Class_ConvertFromInstanceId(id);
    if (!Pipe_ValidHandle(object)) return 0;
    Pipe* pipe = static_cast<Pipe*>(object);
    // The new reference first: the pipe may be the one the slot holds.
    Pipe_AddRef(pipe);
    Pipe_Release(slot);
    *slot = pipe;
    Pipe_SetIsIn(pipe, inbound);
    return 1;
}

int64_t GetStandardPipe(Process* process, Pipe* pipe, Dictionary* dict) {
    Checked(process);
    ASSERT_POINTER(dict);
    if (!pipe) return 1;
    char id[sizeof(pipe->Header.InstanceId) + 1];
    Pipe_GetInstanceId(pipe, id, (int32_t)sizeof(id));
    Dictionary_AddString(dict, "instanceId", id, nullptr);
    return 1;
}

// The text properties: each is a field of its own capacity; setting one cuts the text to it.
template <size_t N> int64_t SetText(Process* process, char (Process::*field)[N], const char* text) {
    char* target = Checked(process)->*field;
    ASSERT_POINTER(text);
    String_CopyLength(target, text, (int32_t)N);
    return 1;
}

template <size_t N> int64_t CopyOut(Process* process, char (Process::*field)[N], char* buffer, int32_t size) {
    const char* text = Checked(process)->*field;
    ASSERT_POINTER(buffer);
    String_CopyLength(buffer, text, size);
    return 1;
}

template <size_t N> int64_t PointTo(Process* process, char (Process::*field)[N], const char** out) {
    ASSERT_POINTER(out);
    *out = nullptr;
    *out = Checked(process)->*field;
    return 1;
}

} // namespace

int64_t Process_Create(Process** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    Process* process = static_cast<Process*>(Memory_AllocZero(sizeof(Process)));
    process->Header.ClassId = PROCESS_CLASS_ID;
    process->Header.RefCount = 1;
    process->Header.Delete = DeleteHandle;
    Class_GenerateInstanceIdReal(process);
    AuthenticateAsync_Create(&process->Authenticator);
    AuthenticateAsync_SetCompleteCallback(process->Authenticator, process, SignatureComplete);
    CertStoreInterface* store = Authenticate_CertStoreGet("app");
    AuthenticateAsync_SetCertStoreHandle(process->Authenticator, store);
    CertStoreInterface_Release(&store);
    process->ShowWindow = 1;
    *handle = process;
    return 1;
}

int64_t Process_Delete(Process** handle) {
    ASSERT_POINTER(handle);
    Process* process = Checked(*handle);
    Platform_ProcessDelete(&process->PlatformHandle);
    Arguments_Free(&process->ArgumentCount, &process->ArgumentVector);
    memset(process->InputText, 0, sizeof(process->InputText));
    Pipe_Release(&process->StandardInput);
    Pipe_Release(&process->StandardOutput);
    Pipe_Release(&process->StandardError);
    AuthenticateAsync_Release(&process->Authenticator);
    if (process->Digester) HashFile_Delete(&process->Digester);
    process->Header.ClassId = 0;
    Memory_Free(process, sizeof(Process));
    *handle = nullptr;
    return 1;
}

int64_t Process_AddRef(Process* process) {
    Class_AddRef(Checked(process));
    return 1;
}

int64_t Process_Release(Process** handle) {
    ASSERT_POINTER(handle);
    if (!*handle) return 0;
    Checked(*handle);
    Class_Release(handle);
    return 1;
}

int64_t Process_GetInstanceId(Process* process, char* buffer, int32_t size) {
    Checked(process);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, process->Header.InstanceId,
                          (int32_t)sizeof(process->Header.InstanceId));
    return 1;
}

int64_t Process_SetApplicationName(Process* process, const char* path) {
    return SetText(process, &Process::ApplicationName, path);
}

int64_t Process_GetApplicationName(Process* process, char* buffer, int32_t size) {
    return CopyOut(process, &Process::ApplicationName, buffer, size);
}

int64_t Process_GetApplicationNamePtr(Process* process, const char** path) {
    return PointTo(process, &Process::ApplicationName, path);
}

int64_t Process_GetShortApplicationName(Process* process, char* buffer, int32_t size) {
    Checked(process);
    ASSERT_POINTER(buffer);
    const char* name = nullptr;
    if (!Path_ParseFilenamePtr(process->ApplicationName, &name)) name = process->ApplicationName;
    String_CopyLength(buffer, name, size);
    return 1;
}

int64_t Process_SetArguments(Process* process, const char* arguments) {
    Arguments_Free(&Checked(process)->ArgumentCount, &process->ArgumentVector);
    return SetText(process, &Process::Arguments, arguments);
}

int64_t Process_SetArgumentVector(Process* process, int32_t count, const char* const* vector) {
    Checked(process);
    Arguments_Free(&process->ArgumentCount, &process->ArgumentVector);
    if (!vector) return 1;
    if (count < 0) count = 0;
    char** copy = static_cast<char**>(calloc((size_t)count + 1, sizeof(char*)));
    if (!copy) return 0;
    for (int32_t i = 0; i < count; i++) {
        copy[i] = strdup(vector[i] ? vector[i] : "");
        if (!copy[i]) {
            Arguments_Free(&i, &copy);
            return 0;
        }
    }
    process->ArgumentVector = copy;
    process->ArgumentCount = count;
    // The text shows the list as one line: items with blanks or quotes in double quotes.
    char* text = process->Arguments;
    text[0] = 0;
    for (int32_t i = 0; i < count; i++) {
        const bool quote = !copy[i][0] || strpbrk(copy[i], " \t\n\"'") != nullptr;
        String_CatLength(text, i ? " " : "", PROCESS_ARGUMENTS_SIZE);
        String_CatLength(text, quote ? "\"" : "", PROCESS_ARGUMENTS_SIZE);
        String_CatLength(text, copy[i], PROCESS_ARGUMENTS_SIZE);
        String_CatLength(text, quote ? "\"" : "", PROCESS_ARGUMENTS_SIZE);
    }
    return 1;
}

int64_t Process_GetArguments(Process* process, char* buffer, int32_t size) {
    return CopyOut(process, &Process::Arguments, buffer, size);
}

int64_t Process_GetArgumentsPtr(Process* process, const char** arguments) {
    return PointTo(process, &Process::Arguments, arguments);
}

int64_t Process_SetWorkingDirectory(Process* process, const char* path) {
    return SetText(process, &Process::WorkingDirectory, path);
}

int64_t Process_GetWorkingDirectory(Process* process, char* buffer, int32_t size) {
    return CopyOut(process, &Process::WorkingDirectory, buffer, size);
}

int64_t Process_GetWorkingDirectoryPtr(Process* process, const char** path) {
    return PointTo(process, &Process::WorkingDirectory, path);
}

int64_t Process_SetInputText(Process* process, const char* text) {
    Checked(process);
    const size_t length = text ? strlen(text) : 0;
    if (length >= sizeof(process->InputText)) return 0;
    memset(process->InputText, 0, sizeof(process->InputText));
    if (length) memcpy(process->InputText, text, length);
    return 1;
}

int64_t Process_SetShowWindow(Process* process, uint32_t show) {
    Checked(process)->ShowWindow = show;
    return 1;
}

int64_t Process_GetShowWindow(Process* process, uint32_t* show) {
    ASSERT_POINTER(show);
    *show = 0;
    *show = Checked(process)->ShowWindow;
    return 1;
}

int64_t Process_SetElevationRights(Process* process, uint32_t rights) {
    Checked(process)->ElevationRights = rights;
    return 1;
}

int64_t Process_GetElevationRights(Process* process, uint32_t* rights) {
    ASSERT_POINTER(rights);
    *rights = 0;
    *rights = Checked(process)->ElevationRights;
    return 1;
}

uint32_t Process_TranslateRightsString(const char* name) {
    ASSERT_POINTER(name);
    for (const ProcessRightsString& row : Process_RightsStringTable)
        if (String_CompareWithoutCase(name, row.Name)) return row.Value;
    return PROCESS_RIGHTS_USER;
}

const char* Process_TranslateRights(uint32_t rights) {
    for (const ProcessRightsString& row : Process_RightsStringTable)
        if (row.Value == rights) return row.Name;
    return Process_RightsStringTable[0].Name;
}

int64_t Process_SetSHA1(Process* process, const char* digest) {
    return SetText(process, &Process::SHA1, digest);
}

int64_t Process_GetSHA1(Process* process, char* buffer, int32_t size) {
    return CopyOut(process, &Process::SHA1, buffer, size);
}

int64_t Process_GetSHA1Ptr(Process* process, const char** digest) {
    return PointTo(process, &Process::SHA1, digest);
}

int64_t Process_SetSHA1Target(Process* process, const char* path) {
    return SetText(process, &Process::SHA1Target, path);
}

int64_t Process_GetSHA1Target(Process* process, char* buffer, int32_t size) {
    return CopyOut(process, &Process::SHA1Target, buffer, size);
}

int64_t Process_GetSHA1TargetPtr(Process* process, const char** path) {
    return PointTo(process, &Process::SHA1Target, path);
}

int64_t Process_SetAuthenticateTarget(Process* process, const char* path) {
    return SetText(process, &Process::AuthenticateTarget, path);
}

int64_t Process_GetAuthenticateTarget(Process* process, char* buffer, int32_t size) {
    return CopyOut(process, &Process::AuthenticateTarget, buffer, size);
}

int64_t Process_GetAuthenticateTargetPtr(Process* process, const char** path) {
    return PointTo(process, &Process::AuthenticateTarget, path);
}

int64_t Process_SetCertStoreHandle(Process* process, CertStoreInterface* store) {
    return AuthenticateAsync_SetCertStoreHandle(Checked(process)->Authenticator, store);
}

int64_t Process_SetStdin(Process* process, Dictionary* dict) {
    return SetStandardPipe(process, &Checked(process)->StandardInput, 0, dict);
}

int64_t Process_SetStdout(Process* process, Dictionary* dict) {
    return SetStandardPipe(process, &Checked(process)->StandardOutput, 1, dict);
}

int64_t Process_SetStderr(Process* process, Dictionary* dict) {
    return SetStandardPipe(process, &Checked(process)->StandardError, 1, dict);
}

int64_t Process_GetStdin(Process* process, Dictionary* dict) {
    return GetStandardPipe(process, Checked(process)->StandardInput, dict);
}

int64_t Process_GetStdout(Process* process, Dictionary* dict) {
    return GetStandardPipe(process, Checked(process)->StandardOutput, dict);
}

int64_t Process_GetStderr(Process* process, Dictionary* dict) {
    return GetStandardPipe(process, Checked(process)->StandardError, dict);
}

int64_t Process_Launch(Process* process) {
    Checked(process);
    Hold hold(process);
    NotificationCenter_Fire(kType, "Start", process->Header.InstanceId, nullptr);
    if (process->State != PROCESS_STATE_IDLE) {
        // The launch under way keeps its state and times; only this call is refused.
        Process_Print(process, "Application already launched, waiting for exit");
        FireComplete(process, 0, 0);
        return 0;
    }
    process->StartTime = Time_GetCurrent();
    process->EndTime = 0;
    process->ReadyFired = 0;
    if (!process->ApplicationName[0]) {
        Process_Print(process, "Application name is empty");
        CompleteWith(process, 0, 0);
        return 0;
    }
    if (process->SHA1[0]) {
        // The file digested is the file launched: quotes around a path are not part of it.
        char path[PROCESS_PATH_SIZE];
        CopyUnquoted(path, (int32_t)sizeof(path),
                     process->SHA1Target[0] ? process->SHA1Target : process->ApplicationName);
        process->State = PROCESS_STATE_HASHING;
        // Made for the first launch that checks a digest: its read buffer is large, and most
        // launches check none.
        if (!process->Digester) {
            HashFile_Create(&process->Digester);
            HashFile_SetInterface(process->Digester, &SHA1_INTERFACE);
            HashFile_SetCompleteCallback(process->Digester, process, DigestComplete);
        }
        HashFile_Reset(process->Digester);
        HashFile_SetPath(process->Digester, path);
        // A file that does not open completes at once, with failure.
        HashFile_Start(process->Digester);
        return 1;
    }
    if (process->AuthenticateTarget[0]) {
        StartAuthentication(process);
        return 1;
    }
    return LaunchNow(process);
}

int64_t Process_Process(Process* process) {
    Checked(process);
    Hold hold(process);
    switch (process->State) {
    case PROCESS_STATE_IDLE:
        break;
    case PROCESS_STATE_HASHING:
        // A digester that is not running any more without having completed would leave the
        // launch waiting for ever.
        if (!HashFile_Process(process->Digester) && process->State == PROCESS_STATE_HASHING &&
            !HashFile_IsRunning(process->Digester))
            CompleteWith(process, 0, 0);
        break;
    case PROCESS_STATE_AUTHENTICATING:
        AuthenticateAsync_Process(process->Authenticator);
        break;
    case PROCESS_STATE_RUNNING:
        PollRunning(process);
        break;
    default:
        Process_Print(process, "Unknown state (%d)", process->State);
        break;
    }
    return 1;
}

int64_t Process_GetId(Process* process, uint32_t* pid) {
    ASSERT_POINTER(pid);
    *pid = 0;
    Checked(process);
    if (process->PlatformHandle) *pid = (uint32_t)Platform_ProcessGetId(process->PlatformHandle);
    return 1;
}

int64_t Process_GetRunningTime(Process* process, double* seconds) {
    ASSERT_POINTER(seconds);
    *seconds = 0;
    Checked(process);
    const double end = process->EndTime > 0 ? process->EndTime : Time_GetCurrent();
    *seconds = end - process->StartTime;
    return 1;
}

int64_t Process_Dump(Process* process) {
    Checked(process);
    Process_Print(process, "Application name - %s", process->ApplicationName);
    if (process->WorkingDirectory[0])
        Process_Print(process, "Working directory - %s", process->WorkingDirectory);
    if (process->Arguments[0]) Process_Print(process, "Arguments - %s", process->Arguments);
    Process_Print(process, "Elevation rights - %s", Process_TranslateRights(process->ElevationRights));
    if (process->SHA1[0]) Process_Print(process, "SHA1 - %s", process->SHA1);
    return 1;
}

int64_t Process_Print(Process* process, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Process_VPrint(process, 0, format, args);
    va_end(args);
    return result;
}

int64_t Process_PrintTabbed(Process* process, int32_t indent, const char* format, ...) {
    va_list args;
    va_start(args, format);
    const int64_t result = Process_VPrint(process, indent, format, args);
    va_end(args);
    return result;
}

int64_t Process_VPrint(Process* process, int32_t indent, const char* format, va_list args) {
    Checked(process);
    ASSERT_POINTER(format);
    PreparePrint(process);
    return ClassPrint_VPrint(&process->Print, indent, format, args);
}

int64_t Process_VerboseLog(Process* process, int32_t level, const char* format, ...) {
    if (!Process_IsVerboseLevel(process, level)) return 0;
    va_list args;
    va_start(args, format);
    const int64_t result = Process_VPrint(process, 0, format, args);
    va_end(args);
    return result;
}

int64_t Process_IsVerboseLevel(Process* process, int32_t level) {
    Checked(process);
    PreparePrint(process);
    return ClassPrint_IsVerboseLevel(&process->Print, level);
}

int64_t Process_SetPrintCallback(Process* process, void* user, ClassPrintCallback callback) {
    Checked(process);
    process->Print.PrintUser = user;
    process->Print.PrintCallback = callback;
    return 1;
}

int64_t Process_GetPrintCallback(Process* process, void** user, ClassPrintCallback* callback) {
    ASSERT_POINTER(user);
    ASSERT_POINTER(callback);
    *user = nullptr;
    *callback = nullptr;
    Checked(process);
    PreparePrint(process);
    *user = process->Print.PrintUser;
    *callback = process->Print.PrintCallback;
    return 1;
}

int64_t Process_SetPrintIdentifier(Process* process, const char* identifier) {
    Checked(process)->Print.Identifier = identifier;
    return 1;
}

int64_t Process_SetVerbose(Process* process, uint32_t verbose) {
    Checked(process)->Print.Verbose = (int32_t)verbose;
    return 1;
}

int64_t Process_GetVerbose(Process* process, uint32_t* verbose) {
    ASSERT_POINTER(verbose);
    *verbose = 0;
    *verbose = (uint32_t)Checked(process)->Print.Verbose;
    return 1;
}

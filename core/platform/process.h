// Process: starts another program after the checks asked for (SHA-1 digest of a file, then its
// code signature), follows it to its end without blocking, and reports "Start", "Ready" and
// "Complete" as "Process" notifications; its owner polls Process_Process from its main loop.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/runtime/class.h"

struct AuthenticateAsync;
struct CertStoreInterface;
struct Dictionary;
struct HashFile;
struct Pipe;
struct PlatformProcess;

enum : uint32_t { PROCESS_CLASS_ID = 0xD2245880 };

enum : int32_t {
    PROCESS_PATH_SIZE = 320,
    PROCESS_ARGUMENTS_SIZE = 4096,
    PROCESS_INPUT_TEXT_SIZE = 64,
};

// State.
enum : uint32_t {
    PROCESS_STATE_IDLE = 0,
    PROCESS_STATE_HASHING = 1,
    PROCESS_STATE_AUTHENTICATING = 2,
    PROCESS_STATE_RUNNING = 3,
};

// Elevation rights.
enum : uint32_t {
    PROCESS_RIGHTS_USER = 0,
    PROCESS_RIGHTS_ELEVATED = 1,
    PROCESS_RIGHTS_INVOKER = 2,
};

struct ProcessRightsString {
    uint32_t Value;
    const char* Name;
};
// (0, "User"), (1, "Elevated"), (2, "AsInvoker"), (2, "Invoker"); names compared without case.
extern const ProcessRightsString Process_RightsStringTable[4];

struct Process {
    Class Header;
    ClassPrint Print;
    HashFile* Digester;               // SHA-1, completing into this object; made by the first launch that checks one
    AuthenticateAsync* Authenticator; // completing into this object
    Pipe* StandardInput;              // each holds a reference, or null
    Pipe* StandardOutput;
    Pipe* StandardError;
    char SHA1[PROCESS_PATH_SIZE];               // expected digest as hex text; empty: no digest check
    char SHA1Target[PROCESS_PATH_SIZE];         // empty: the application path
    char AuthenticateTarget[PROCESS_PATH_SIZE]; // empty: no signature check
    char ApplicationName[PROCESS_PATH_SIZE];
    char Arguments[PROCESS_ARGUMENTS_SIZE];
    char WorkingDirectory[PROCESS_PATH_SIZE];
    // Written to the program's standard input at launch (then closed); empty: it inherits ours.
    char InputText[PROCESS_INPUT_TEXT_SIZE];
    uint32_t ShowWindow;
    uint32_t ElevationRights;
    // Set by Process_SetArgumentVector: the arguments as launched, each exactly as given (owned,
    // null-terminated); null: the Arguments text is split into them.
    char** ArgumentVector;
    int32_t ArgumentCount;
    PlatformProcess* PlatformHandle; // the running program, or null
    uint32_t ReadyFired;
    uint32_t State;
    double StartTime;
    double EndTime; // 0 while running
};

// Life. The instance id is generated; the object is not entered in the instance table. Delete
// frees the platform handle (the program itself is neither waited for nor stopped; its end is
// collected in the background), releases the pipes, the authenticator (which waits for its
// worker) and the digester.
int64_t Process_Create(Process** handle);
int64_t Process_Delete(Process** handle);
int64_t Process_AddRef(Process* process);
// Releases and nulls the handle; the last release deletes. 0 for a null handle.
int64_t Process_Release(Process** handle);
int64_t Process_GetInstanceId(Process* process, char* buffer, int32_t size);

// Settings; texts longer than their field are cut. Each answers 1.
int64_t Process_SetApplicationName(Process* process, const char* path);
int64_t Process_GetApplicationName(Process* process, char* buffer, int32_t size);
int64_t Process_GetApplicationNamePtr(Process* process, const char** path);
// The last component of the application path, the whole path when it has none.
int64_t Process_GetShortApplicationName(Process* process, char* buffer, int32_t size);
int64_t Process_SetArguments(Process* process, const char* arguments);
int64_t Process_GetArguments(Process* process, char* buffer, int32_t size);
int64_t Process_GetArgumentsPtr(Process* process, const char** arguments);
// The arguments as a list, each reaching the program as one argument with its exact characters
// (blanks, quotes, "$", line breaks), in place of splitting the Arguments text, which becomes the
// list's display form. A null vector goes back to splitting the text. 0 when out of memory.
int64_t Process_SetArgumentVector(Process* process, int32_t count, const char* const* vector);
int64_t Process_SetWorkingDirectory(Process* process, const char* path);
int64_t Process_GetWorkingDirectory(Process* process, char* buffer, int32_t size);
int64_t Process_GetWorkingDirectoryPtr(Process* process, const char** path);
// A short text the program reads from its standard input, such as a secret that must not stand on
// its command line. 0 (keeping the previous text) when it does not fit: it is never cut.
int64_t Process_SetInputText(Process* process, const char* text);
int64_t Process_SetShowWindow(Process* process, uint32_t show);
int64_t Process_GetShowWindow(Process* process, uint32_t* show);
int64_t Process_SetElevationRights(Process* process, uint32_t rights);
int64_t Process_GetElevationRights(Process* process, uint32_t* rights);
// A name not in the table gives 0; a value not in the table gives "User".
uint32_t Process_TranslateRightsString(const char* name);
const char* Process_TranslateRights(uint32_t rights);
int64_t Process_SetSHA1(Process* process, const char* digest);
int64_t Process_GetSHA1(Process* process, char* buffer, int32_t size);
int64_t Process_GetSHA1Ptr(Process* process, const char** digest);
int64_t Process_SetSHA1Target(Process* process, const char* path);
int64_t Process_GetSHA1Target(Process* process, char* buffer, int32_t size);
int64_t Process_GetSHA1TargetPtr(Process* process, const char** path);
int64_t Process_SetAuthenticateTarget(Process* process, const char* path);
int64_t Process_GetAuthenticateTarget(Process* process, char* buffer, int32_t size);
int64_t Process_GetAuthenticateTargetPtr(Process* process, const char** path);
// Hands another trust store to the authenticator (which keeps its own reference).
int64_t Process_SetCertStoreHandle(Process* process, CertStoreInterface* store);

// Standard streams: "instanceId" in the Dictionary names a Pipe, which the slot then holds (input
// written by this program, output and error read by the pipe's own polling). An id of another
// object answers 0 and keeps the slot; an empty or missing id empties it. The Get forms add
// "instanceId" of the slot's Pipe when one is set.
int64_t Process_SetStdin(Process* process, Dictionary* dict);
int64_t Process_SetStdout(Process* process, Dictionary* dict);
int64_t Process_SetStderr(Process* process, Dictionary* dict);
int64_t Process_GetStdin(Process* process, Dictionary* dict);
int64_t Process_GetStdout(Process* process, Dictionary* dict);
int64_t Process_GetStderr(Process* process, Dictionary* dict);

// Fires "Start", then checks the digest, then the signature, then launches, each only when asked
// for. 1 when a launch or its checks were started; 0 (after "Complete" with successful 0) when
// the path is empty, the launch failed, or a launch is already under way (which goes on).
int64_t Process_Launch(Process* process);
// One polling step: a chunk of the digest, a poll of the signature check, or a look at the
// running program ("Ready" once it has run 0.25 s or has ended, "Complete" with its exit code).
// Never waits; 1.
int64_t Process_Process(Process* process);
// The running program's id; 0 when none runs. 1.
int64_t Process_GetId(Process* process, uint32_t* pid);
// From the start of the last launch to its end, or to now while it runs. 1.
int64_t Process_GetRunningTime(Process* process, double* seconds);
int64_t Process_Dump(Process* process);

// Print family; without a print callback lines go to the log at level DEBUG.
int64_t Process_Print(Process* process, const char* format, ...);
int64_t Process_PrintTabbed(Process* process, int32_t indent, const char* format, ...);
int64_t Process_VPrint(Process* process, int32_t indent, const char* format, va_list args);
// Prints only when the object's verbose level reaches level; 1 when printed.
int64_t Process_VerboseLog(Process* process, int32_t level, const char* format, ...);
int64_t Process_IsVerboseLevel(Process* process, int32_t level);
int64_t Process_SetPrintCallback(Process* process, void* user, ClassPrintCallback callback);
int64_t Process_GetPrintCallback(Process* process, void** user, ClassPrintCallback* callback);
int64_t Process_SetPrintIdentifier(Process* process, const char* identifier);
int64_t Process_SetVerbose(Process* process, uint32_t verbose);
int64_t Process_GetVerbose(Process* process, uint32_t* verbose);

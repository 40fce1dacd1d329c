// The script classes for launched processes and named pipes: each instance wraps one Process or
// Pipe made for the script, and its standard streams name Pipe instances by id.
#include <cstdint>

#include "core/formats/interop_request.h"
#include "core/platform/pipe.h"
#include "core/platform/process.h"
#include "core/runtime/dictionary.h"
#include "core/web/core_interop.h"
#include "core/web/core_interop_internal.h"

namespace {

typedef int64_t (*ProcessTextFunc)(Process* process, const char** text);
typedef int64_t (*ProcessSetTextFunc)(Process* process, const char* text);
typedef int64_t (*ProcessStreamFunc)(Process* process, Dictionary* dict);

int64_t ReturnProcessText(Process* process, CoreInteropArgs& a, Dictionary* response, ProcessTextFunc function) {
    const char* text = nullptr;
    function(process, &text);
    return CoreInterop_ReturnString(response, a, text ? text : "");
}

enum class Judged { Text, Path, Arguments };

// A text naming a file or folder (Path), or a command line for the program (Arguments): one naming
// a location without its folder, or a refused folder, is refused (false, with its line) and the
// value set before stays.
int64_t SetProcessText(Process* process, CoreInteropArgs& a, Dictionary* response, const char* name,
                       ProcessSetTextFunc function, Judged judged = Judged::Text) {
    const char* text = judged == Judged::Path        ? a.Path(name)
                       : judged == Judged::Arguments ? a.Arguments(name)
                                                     : a.String(name);
    return CoreInterop_ReturnBoolean(response, a, a.Go() ? function(process, text) : 0);
}

int64_t ReturnProcessStream(Process* process, Dictionary* response, ProcessStreamFunc function) {
    Dictionary* child = nullptr;
    if (!Dictionary_AddDictionary(response, "returnValue", &child, nullptr) || !child) return 0;
    function(process, child);
    return 1;
}

int64_t SetProcessStream(Process* process, CoreInteropArgs& a, Dictionary* response, const char* name,
                         ProcessStreamFunc function) {
    Dictionary* stream = a.Object(name);
    return CoreInterop_ReturnBoolean(response, a, a.Ok() ? function(process, stream) : 0);
}

} // namespace

int64_t Process_Invoke(void* userContext, Dictionary* request, Dictionary* response) {
    Process* process = static_cast<Process*>(userContext);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!process || !ApiGen_GetMethod(request, "Process", &method, &hash)) return 0;
    CoreInteropArgs a(request, "Process", method);
    switch (hash) {
    case 0x0b0acf64: // setSHA1
        return SetProcessText(process, a, response, "sHA1", Process_SetSHA1);
    case 0x1d244de1: // getAuthenticateTarget
        return ReturnProcessText(process, a, response, Process_GetAuthenticateTargetPtr);
    case 0x2a804aad: // getStdout
        return ReturnProcessStream(process, response, Process_GetStdout);
    case 0x2ae8bfe0: { // getShowWindow
        uint32_t show = 0;
        Process_GetShowWindow(process, &show);
        return CoreInterop_ReturnBoolean(response, a, show);
    }
    case 0x3c3427c3: // getStdin
        return ReturnProcessStream(process, response, Process_GetStdin);
    case 0x44395bb6: // setAuthenticateTarget
        return SetProcessText(process, a, response, "authenticateTarget", Process_SetAuthenticateTarget,
                              Judged::Path);
    case 0x5e5673ac: { // setShowWindow
        const uint32_t show = a.Boolean("showWindow");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Process_SetShowWindow(process, show) : 0);
    }
    case 0x6610fd53: // getArguments
        return ReturnProcessText(process, a, response, Process_GetArgumentsPtr);
    case 0x690e2bd0: // setArguments
        return SetProcessText(process, a, response, "arguments", Process_SetArguments, Judged::Arguments);
    case 0x7019eff4: // setStderr
        return SetProcessStream(process, a, response, "stderr", Process_SetStderr);
    case 0x72d22cf8: // setWorkingDirectory
        return SetProcessText(process, a, response, "workingDirectory", Process_SetWorkingDirectory, Judged::Path);
    case 0x79b757f5: // launch
        return CoreInterop_ReturnBoolean(response, a, Process_Launch(process));
    case 0x8135fc89: // getStderr
        return ReturnProcessStream(process, response, Process_GetStderr);
    case 0x84696948: { // getRunningTime
        double seconds = 0;
        Process_GetRunningTime(process, &seconds);
        return CoreInterop_ReturnFloat64(response, a, seconds);
    }
    case 0x88f81a10: // getWorkingDirectory
        return ReturnProcessText(process, a, response, Process_GetWorkingDirectoryPtr);
    case 0x8fb1694a: // getApplicationName
        return ReturnProcessText(process, a, response, Process_GetApplicationNamePtr);
    case 0x91697412: { // getElevationRights
        uint32_t rights = 0;
        Process_GetElevationRights(process, &rights);
        return CoreInterop_ReturnInt32(response, a, (int32_t)rights);
    }
    case 0x989b77b9: // getSHA1
        return ReturnProcessText(process, a, response, Process_GetSHA1Ptr);
    case 0xaabae254: // setApplicationName
        return SetProcessText(process, a, response, "applicationName", Process_SetApplicationName, Judged::Path);
    case 0xaeb5db45: // getSHA1Target
        return ReturnProcessText(process, a, response, Process_GetSHA1TargetPtr);
    case 0xb462ff0c: { // setElevationRights
        const int32_t rights = a.Int32("elevationRights");
        return CoreInterop_ReturnBoolean(response, a,
                                         a.Ok() ? Process_SetElevationRights(process, (uint32_t)rights) : 0);
    }
    case 0xc4c51812: // setStdin
        return SetProcessStream(process, a, response, "stdin", Process_SetStdin);
    case 0xd954caf0: { // getId
        uint32_t pid = 0;
        Process_GetId(process, &pid);
        return CoreInterop_ReturnInt32(response, a, (int32_t)pid);
    }
    case 0xda0b1709: // setSHA1Target
        return SetProcessText(process, a, response, "sHA1Target", Process_SetSHA1Target, Judged::Path);
    case 0xdbac59d0: // setStdout
        return SetProcessStream(process, a, response, "stdout", Process_SetStdout);
    case 0xe0d8bd85: { // getShortApplicationName
        CoreInteropText out;
        Process_GetShortApplicationName(process, out.Text, CORE_INTEROP_TEXT_SIZE);
        return CoreInterop_ReturnString(response, a, out.Text);
    }
    default:
        return 0;
    }
}

int64_t Pipe_Invoke(void* userContext, Dictionary* request, Dictionary* response) {
    Pipe* pipe = static_cast<Pipe*>(userContext);
    const char* method = nullptr;
    uint32_t hash = 0;
    if (!pipe || !ApiGen_GetMethod(request, "Pipe", &method, &hash)) return 0;
    CoreInteropArgs a(request, "Pipe", method);
    switch (hash) {
    case 0x09fb48ea: { // setOpenExisting
        const uint32_t openExisting = a.Boolean("openExisting");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Pipe_SetOpenExisting(pipe, openExisting) : 0);
    }
    case 0x58437bd7: { // getName
        const char* name = nullptr;
        Pipe_GetNamePtr(pipe, &name);
        return CoreInterop_ReturnString(response, a, name ? name : "");
    }
    case 0x7d6b7a5f: { // write
        const char* text = a.String("buffer");
        uint32_t written = 0;
        if (a.Ok()) {
            uint8_t* bytes = nullptr;
            uint32_t length = 0, size = 0;
            if (CoreInterop_DecodeData(a, "buffer", text, &bytes, &length, &size) && length > 0)
                Pipe_Write(pipe, bytes, length, &written);
            ApiGen_DeleteBase64DecodedBuffer(&bytes, &size);
        }
        return CoreInterop_ReturnInt32(response, a, (int32_t)written);
    }
    case 0x8544944b: { // setBufferSize
        const int32_t bufferSize = a.Int32("bufferSize");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Pipe_SetBufferSize(pipe, bufferSize) : 0);
    }
    case 0x9f79558f: // start
        return CoreInterop_ReturnBoolean(response, a, Pipe_Start(pipe));
    case 0xc7e5b2c6: { // getOpenExisting
        uint32_t openExisting = 0;
        Pipe_GetOpenExisting(pipe, &openExisting);
        return CoreInterop_ReturnBoolean(response, a, openExisting);
    }
    case 0xcbd2c30a: { // setName
        const char* name = a.String("name");
        return CoreInterop_ReturnBoolean(response, a, a.Ok() ? Pipe_SetName(pipe, name) : 0);
    }
    case 0xf1fa5807: { // getBufferSize
        int32_t bufferSize = 0;
        Pipe_GetBufferSize(pipe, &bufferSize);
        return CoreInterop_ReturnInt32(response, a, bufferSize);
    }
    default:
        return 0;
    }
}

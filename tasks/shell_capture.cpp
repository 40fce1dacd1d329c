// Output capture through a named pipe for the process-facing task types. The shell receives the
// pipe, the end token, the program and its arguments as positional parameters, so nothing of them
// is read as shell code; the redirection sends both output streams to the pipe, and the token
// line follows only once the program has ended. The token is new for every run and is looked
// for only once the shell has ended, and then the last one, so text that a program prints (a file
// name, a server's message, even the token line copied from a process listing) cannot end the
// capture early.
#include "tasks/shell_capture.h"

#include <cstdlib>
#include <cstring>

#include "core/linux/platform.h"
#include "core/platform/memory_stream.h"
#include "core/platform/pipe.h"
#include "core/platform/process.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/string.h"
#include "core/runtime/string_print.h"

namespace {

constexpr int32_t kReadSize = 4028;
constexpr int32_t kStatusDigits = 9;
// Output kept at most; a program printing without end keeps only the most recent part.
constexpr int32_t kMaxOutput = 16 << 20;

// $1 is the pipe, $2 the end token, the rest the program and its arguments. Without the status
// in the token line, the shell leaves with the program's status rather than with that of the
// token's printf, so that the exit code read from the process is the program's own; with it, the
// status travels in the token and the shell's own end tells only whether the shell ran.
constexpr char kScript[] = "pipe=$1; token=$2; shift 2; \"$@\" >\"$pipe\" 2>&1; status=$?; "
                           "printf '%s\\n' \"$token\" >\"$pipe\"; exit $status";
constexpr char kScriptWithStatus[] =
    "pipe=$1; token=$2; shift 2; \"$@\" >\"$pipe\" 2>&1; printf '%s\\n' \"$token$?\" >\"$pipe\"";

void Append(ShellCapture* capture, const uint8_t* data, uint32_t length) {
    int32_t used = MemoryStream_GetUsed(capture->Output);
    if (used + (int64_t)length > kMaxOutput) MemoryStream_DiscardBegin(capture->Output, used / 2);
    uint32_t written = 0;
    MemoryStream_Put(capture->Output, data, length, &written);
}

bool IsDigit(uint8_t c) {
    return c >= '0' && c <= '9';
}

// The number of status digits after a token that ends at `at` when a token line ends there:
// digits (none without a status; up to 9 with one) and then a line break or the end of the text.
// -1 when it does not.
int32_t StatusAfter(const ShellCapture* capture, const uint8_t* text, int32_t used, int32_t at) {
    const int32_t most = capture->WithExitCode ? kStatusDigits : 0;
    int32_t n = 0;
    while (at + n < used && n < most && IsDigit(text[at + n])) n++;
    if (at + n < used) return text[at + n] == '\n' ? n : -1;
    return n;
}

// Looks for the token line once nothing more will come: the last one anywhere (a background child
// of the program may have written after it). While the shell runs, a token line at the end of what
// arrived proves nothing: the program may have printed a copy of it (it can read the token from a
// process listing) and go on writing. Cuts the output at the token when found.
bool FindToken(ShellCapture* capture) {
    const int32_t tokenLength = (int32_t)strlen(capture->Token);
    const int32_t used = MemoryStream_GetUsed(capture->Output);
    uint8_t* text = nullptr;
    if (tokenLength == 0 || used < tokenLength || !MemoryStream_GetPointer(capture->Output, &text) || !text)
        return false;
    int32_t position = -1, digits = 0;
    for (int32_t from = 0; from + tokenLength <= used;) {
        const void* at = memmem(text + from, (size_t)(used - from), capture->Token, (size_t)tokenLength);
        if (!at) break;
        const int32_t found = (int32_t)(static_cast<const uint8_t*>(at) - text);
        const int32_t n = StatusAfter(capture, text, used, found + tokenLength);
        if (n >= 0) {
            position = found;
            digits = n;
        }
        from = found + 1;
    }
    if (position < 0) {
        MemoryStream_ReleasePointer(capture->Output, &text);
        return false;
    }
    if (capture->WithExitCode) {
        char number[16] = {};
        memcpy(number, text + position + tokenLength, (size_t)digits);
        capture->ExitCode = digits > 0 ? (int32_t)strtol(number, nullptr, 10) : -1;
    }
    MemoryStream_ReleasePointer(capture->Output, &text);
    MemoryStream_DiscardEnd(capture->Output, used - position);
    capture->Ended = true;
    return true;
}

} // namespace

int64_t ShellCapture_Prepare(ShellCapture* capture, Process* process, const char* program,
                             const std::vector<std::string>& arguments, bool withExitCode) {
    ShellCapture_Reset(capture);
    capture->WithExitCode = withExitCode;
    String_Guid(capture->PipeName, sizeof(capture->PipeName), 0);
    char random[40];
    if (!String_Guid(random, sizeof(random), 0) || strlen(random) != 32) return 0;
    String_Print(capture->Token, sizeof(capture->Token), "**EOP%s**", random);
    if (!MemoryStream_Create(&capture->Output)) return 0;
    MemoryStream_SetAutoGrow(capture->Output, 1);
    if (!Pipe_Create(&capture->OutputPipe)) return 0;
    Pipe_SetName(capture->OutputPipe, capture->PipeName);
    Pipe_SetBufferSize(capture->OutputPipe, 1024);
    Pipe_SetOpenExisting(capture->OutputPipe, 0);
    char directory[1024];
    char pipePath[1024];
    if (!Pipe_Open(capture->OutputPipe) || !Platform_GetSpecialPath(PLATFORM_PATH_PIPE_PATH, directory, sizeof(directory)) ||
        String_Print(pipePath, sizeof(pipePath), "%s%s", directory, capture->PipeName) >= (int32_t)sizeof(pipePath) - 1) {
        ShellCapture_Reset(capture);
        return 0;
    }
    std::vector<const char*> vector = {
        "-c", withExitCode ? kScriptWithStatus : kScript, "sh", pipePath, capture->Token, program};
    for (const std::string& argument : arguments) vector.push_back(argument.c_str());
    vector.push_back(nullptr);
    Process_SetApplicationName(process, "/bin/sh");
    return Process_SetArgumentVector(process, (int32_t)vector.size() - 1, vector.data());
}

int32_t ShellCapture_Append(ShellCapture* capture, const void* data, uint32_t length) {
    if (!capture->Output || capture->Ended || length == 0) return SHELL_CAPTURE_NOTHING;
    Append(capture, static_cast<const uint8_t*>(data), length);
    return SHELL_CAPTURE_MORE;
}

int32_t ShellCapture_Read(ShellCapture* capture) {
    if (!capture->OutputPipe || capture->Ended) return SHELL_CAPTURE_NOTHING;
    uint8_t buffer[kReadSize];
    uint32_t read = 0;
    if (!Pipe_Read(capture->OutputPipe, buffer, sizeof(buffer), &read) || read == 0) return SHELL_CAPTURE_NOTHING;
    return ShellCapture_Append(capture, buffer, read);
}

int32_t ShellCapture_Finish(ShellCapture* capture) {
    if (!capture->Output || capture->Ended) return SHELL_CAPTURE_NOTHING;
    return FindToken(capture) ? SHELL_CAPTURE_ENDED : SHELL_CAPTURE_NOTHING;
}

int32_t ShellCapture_Drain(ShellCapture* capture) {
    int32_t result = SHELL_CAPTURE_NOTHING;
    for (int32_t step; (step = ShellCapture_Read(capture)) != SHELL_CAPTURE_NOTHING;) {
        result = step;
        if (step == SHELL_CAPTURE_ENDED) return result;
    }
    // Nothing more will come: a status cut short is taken as it stands.
    return ShellCapture_Finish(capture) == SHELL_CAPTURE_ENDED ? SHELL_CAPTURE_ENDED : result;
}

std::string ShellCapture_Text(ShellCapture* capture) {
    if (!capture->Output) return std::string();
    const int32_t used = MemoryStream_GetUsed(capture->Output);
    uint8_t* text = nullptr;
    if (used <= 0 || !MemoryStream_GetPointer(capture->Output, &text) || !text) return std::string();
    std::string copy(reinterpret_cast<const char*>(text), (size_t)used);
    MemoryStream_ReleasePointer(capture->Output, &text);
    return copy;
}

void ShellCapture_Reset(ShellCapture* capture) {
    if (capture->OutputPipe) {
        Pipe_Close(capture->OutputPipe);
        Pipe_Release(&capture->OutputPipe);
    }
    if (capture->Output) MemoryStream_Release(&capture->Output);
    capture->OutputPipe = nullptr;
    capture->Output = nullptr;
    capture->PipeName[0] = 0;
    capture->Token[0] = 0;
    capture->Ended = false;
    capture->ExitCode = -1;
}

void ShellCapture_ReadCompletion(Dictionary* info, uint32_t* successful, int32_t* exitCode) {
    *successful = 0;
    *exitCode = 0;
    if (!info) return;
    Dictionary_GetBooleanByKey(info, "successful", successful);
    Dictionary_GetInt32ByKey(info, "exitCode", exitCode);
}

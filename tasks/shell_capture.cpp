// Output capture through a named pipe for the process-facing task types. The shell receives the
// program and its arguments as positional parameters, so nothing of them is read as shell code;
// the redirection sends both output streams to the pipe, and the token follows only once the
// program has ended.
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

constexpr char kToken[] = "**EOP**";
constexpr int32_t kTokenLength = 7;
constexpr int32_t kReadSize = 4028;
constexpr int32_t kStatusDigits = 9;
// Output kept at most; a program printing without end keeps only the most recent part.
constexpr int32_t kMaxOutput = 16 << 20;

// $1 is the pipe, the rest the program and its arguments.
constexpr char kScript[] = "pipe=$1; shift; \"$@\" >\"$pipe\" 2>&1; echo \"**EOP**\" >\"$pipe\"";
constexpr char kScriptWithStatus[] = "pipe=$1; shift; \"$@\" >\"$pipe\" 2>&1; echo \"**EOP**$?\" >\"$pipe\"";

void Append(ShellCapture* capture, const uint8_t* data, uint32_t length) {
    int32_t used = MemoryStream_GetUsed(capture->Output);
    if (used + (int64_t)length > kMaxOutput) {
        const int32_t drop = used / 2;
        MemoryStream_DiscardBegin(capture->Output, drop);
        capture->Searched = capture->Searched > drop ? capture->Searched - drop : 0;
    }
    uint32_t written = 0;
    MemoryStream_Put(capture->Output, data, length, &written);
}

// Looks for the token in the bytes not yet searched; cuts the output there when found. With an
// exit status asked for, the token counts only once the status after it has ended (a line
// break follows it) or, when `final`, whatever arrived of it.
bool FindToken(ShellCapture* capture, bool final) {
    const int32_t used = MemoryStream_GetUsed(capture->Output);
    uint8_t* text = nullptr;
    if (used <= 0 || !MemoryStream_GetPointer(capture->Output, &text) || !text) return false;
    const int32_t from = capture->Searched > kTokenLength ? capture->Searched - kTokenLength + 1 : 0;
    const void* at = memmem(text + from, (size_t)(used - from), kToken, kTokenLength);
    if (!at) {
        capture->Searched = used;
        MemoryStream_ReleasePointer(capture->Output, &text);
        return false;
    }
    const int32_t position = (int32_t)(static_cast<const uint8_t*>(at) - text);
    if (capture->WithExitCode) {
        // The status is the decimal number right after the token (at most 9 digits).
        char digits[16] = {};
        int32_t n = 0;
        int32_t i = position + kTokenLength;
        for (; i < used && n < kStatusDigits; i++) {
            const char c = (char)text[i];
            if (!(c >= '0' && c <= '9')) break;
            digits[n++] = c;
        }
        if (i == used && n < kStatusDigits && !final) {
            // Still arriving: look again from the token next time.
            capture->Searched = position;
            MemoryStream_ReleasePointer(capture->Output, &text);
            return false;
        }
        capture->ExitCode = n > 0 ? (int32_t)strtol(digits, nullptr, 10) : -1;
    }
    MemoryStream_ReleasePointer(capture->Output, &text);
    MemoryStream_DiscardEnd(capture->Output, used - position);
    capture->Searched = position;
    capture->Ended = true;
    return true;
}

} // namespace

int64_t ShellCapture_Prepare(ShellCapture* capture, Process* process, const char* program,
                             const std::vector<std::string>& arguments, bool withExitCode) {
    ShellCapture_Reset(capture);
    capture->WithExitCode = withExitCode;
    String_Guid(capture->PipeName, sizeof(capture->PipeName), 0);
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
    std::vector<const char*> vector = {"-c", withExitCode ? kScriptWithStatus : kScript, "sh", pipePath, program};
    for (const std::string& argument : arguments) vector.push_back(argument.c_str());
    vector.push_back(nullptr);
    Process_SetApplicationName(process, "/bin/sh");
    return Process_SetArgumentVector(process, (int32_t)vector.size() - 1, vector.data());
}

int32_t ShellCapture_Append(ShellCapture* capture, const void* data, uint32_t length) {
    if (!capture->Output || capture->Ended || length == 0) return SHELL_CAPTURE_NOTHING;
    Append(capture, static_cast<const uint8_t*>(data), length);
    return FindToken(capture, false) ? SHELL_CAPTURE_ENDED : SHELL_CAPTURE_MORE;
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
    capture->Searched = 0;
    return FindToken(capture, true) ? SHELL_CAPTURE_ENDED : SHELL_CAPTURE_NOTHING;
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
    capture->Searched = 0;
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

// The captured output of a tool arrives in pieces of any size: wherever the pieces are cut, the
// end token is found at its first place, the text before it is kept exactly, and the exit
// status after it is read as the decimal number that follows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/platform/memory_stream.h"
#include "tasks/shell_capture.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t cut = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    ShellCapture capture = {};
    capture.ExitCode = -1;
    capture.WithExitCode = true;
    MemoryStream_Create(&capture.Output);
    MemoryStream_SetAutoGrow(capture.Output, 1);
    size_t offset = 0;
    int32_t step = SHELL_CAPTURE_NOTHING;
    while (offset < text.size() && step != SHELL_CAPTURE_ENDED) {
        const size_t piece = std::min(text.size() - offset, (size_t)(cut % 13) + 1);
        step = ShellCapture_Append(&capture, text.data() + offset, (uint32_t)piece);
        offset += piece;
    }
    // The status may still be arriving: what came so far is all there will be.
    if (!capture.Ended) ShellCapture_Finish(&capture);
    const size_t token = text.find("**EOP**");
    if ((token != std::string::npos) != capture.Ended) abort();
    const std::string kept = ShellCapture_Text(&capture);
    if (token != std::string::npos) {
        if (kept != text.substr(0, token)) abort();
        size_t digits = token + 7;
        while (digits < text.size() && digits - token - 7 < 9 && text[digits] >= '0' && text[digits] <= '9') digits++;
        const int32_t expected = digits > token + 7 ? atoi(text.substr(token + 7, digits - token - 7).c_str()) : -1;
        if (capture.ExitCode != expected) abort();
    } else if (kept != text) {
        abort();
    }
    ShellCapture_Reset(&capture);
    return 0;
}

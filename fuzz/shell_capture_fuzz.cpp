// The captured output of a tool arrives in pieces of any size: wherever the pieces are cut, the
// capture ends only at a token line (the run's token, status digits, a line break) that ends what
// arrived so far, or, once nothing more comes, at the last such line; the text before it is kept
// exactly and the status after it is read as the decimal number that follows.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/platform/memory_stream.h"
#include "tasks/shell_capture.h"

namespace {
// Short, so that the fuzzer meets it; a run's real token is 41 characters.
constexpr char kToken[] = "**EOPab**";
constexpr size_t kTokenLength = sizeof(kToken) - 1;
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t cut = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    ShellCapture capture = {};
    capture.ExitCode = -1;
    capture.WithExitCode = (cut & 0x80) != 0;
    memcpy(capture.Token, kToken, sizeof(kToken));
    MemoryStream_Create(&capture.Output);
    MemoryStream_SetAutoGrow(capture.Output, 1);
    size_t offset = 0;
    int32_t step = SHELL_CAPTURE_NOTHING;
    while (offset < text.size() && step != SHELL_CAPTURE_ENDED) {
        const size_t piece = std::min(text.size() - offset, (size_t)(cut % 13) + 1);
        step = ShellCapture_Append(&capture, text.data() + offset, (uint32_t)piece);
        offset += piece;
    }
    const bool endedEarly = capture.Ended;
    if (!capture.Ended) ShellCapture_Finish(&capture);
    const std::string kept = ShellCapture_Text(&capture);
    if (!capture.Ended) {
        if (kept != text) abort();
    } else {
        // What was kept is the text up to a token; after it only status digits, then a line break
        // or (when the capture ended at the finish) the end.
        if (text.compare(0, kept.size(), kept) != 0 || text.compare(kept.size(), kTokenLength, kToken) != 0) abort();
        size_t at = kept.size() + kTokenLength, digits = 0;
        while (capture.WithExitCode && at < offset && digits < 9 && text[at] >= '0' && text[at] <= '9') at++, digits++;
        if (endedEarly && (at + 1 != offset || text[at] != '\n')) abort();
        if (!endedEarly && at < text.size() && text[at] != '\n') abort();
        const int32_t expected = digits ? atoi(text.substr(kept.size() + kTokenLength, digits).c_str()) : -1;
        if (capture.WithExitCode && capture.ExitCode != expected) abort();
    }
    // A text that ends in a token line always ends the capture.
    if (!capture.Ended && text.size() >= kTokenLength + 1 && text.back() == '\n' &&
        text.compare(text.size() - 1 - kTokenLength, kTokenLength, kToken) == 0)
        abort();
    ShellCapture_Reset(&capture);
    return 0;
}

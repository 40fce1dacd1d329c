// Names from outside (archive entries, manifest files) as a log line shows them: control
// characters escaped, so that a name can neither break its line nor forge the next one.
#pragma once

#include <cstdint>

// The text with every C0 control character and DEL written as "\n", "\r", "\t" or "\xHH", and the
// C1 controls and the Unicode line and paragraph separators (in UTF-8) as "\uHHHH"; everything
// else as it is. Cut at a whole character or escape, ending in "...", when the buffer is too
// small. 1 when the whole text fitted, 0 when it was cut (or the buffer is empty).
int64_t LogText_Escape(const char* text, char* buffer, int32_t capacity);

// The escaped text in a buffer of its own, for use as a print argument:
//   Task_Print(task, "Extracting %s", LogText(name).Text);
struct LogText {
    explicit LogText(const char* text) { LogText_Escape(text, Text, (int32_t)sizeof(Text)); }
    char Text[2048];
};

// The lines objects print through their print callbacks, kept for tests to compare: each line in
// a list, or all of them in one text, and the texts without the object's prefix.
#pragma once

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "core/runtime/string_print.h"

// Held while a line is added: an object may print from its worker thread while the test's thread
// prints through another, and two appends at once would corrupt the container.
inline std::mutex& PrintedLinesLock() {
    static std::mutex lock;
    return lock;
}

// A print callback of the objects' print blocks: each line, prefix and line end included, goes to
// the std::vector<std::string> given as the user pointer.
inline int64_t KeepLine(void* user, const char* format, ...) {
    char line[4096];
    va_list args;
    va_start(args, format);
    String_VPrint(line, (int32_t)sizeof(line), format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(PrintedLinesLock());
    static_cast<std::vector<std::string>*>(user)->push_back(line);
    return 1;
}

// The same, appending each line to the std::string given as the user pointer.
inline int64_t KeepText(void* user, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
    std::lock_guard<std::mutex> hold(PrintedLinesLock());
    *static_cast<std::string*>(user) += line;
    return 1;
}

// Whether a line holds the text (any line for the empty text).
inline bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    return text.empty() || std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
               return l.find(text) != std::string::npos;
           });
}

// The printed lines without the object's prefix ("Kind.xxxxxxxx - ") and line end.
inline std::vector<std::string> Unprefixed(const std::vector<std::string>& lines) {
    std::vector<std::string> out;
    for (std::string line : lines) {
        const size_t dash = line.find(" - ");
        if (dash != std::string::npos) line = line.substr(dash + 3);
        if (!line.empty() && line.back() == '\n') line.pop_back();
        out.push_back(line);
    }
    return out;
}

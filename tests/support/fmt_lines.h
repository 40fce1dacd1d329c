// Buffers that tests hand to the code: a print callback that keeps each line an object prints,
// and a guarded output buffer that shows writes past its capacity and a missing terminator.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "core/runtime/string_print.h"

// A print callback of the objects' print blocks: each line goes to the std::vector<std::string>
// given as the user pointer.
inline int64_t KeepLine(void* user, const char* format, ...) {
    char line[2048];
    va_list args;
    va_start(args, format);
    String_VPrint(line, sizeof(line), format, args);
    va_end(args);
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
    *static_cast<std::string*>(user) += line;
    return 1;
}

// Whether a line holds the text (any line for the empty text).
inline bool HasLine(const std::vector<std::string>& lines, const std::string& text) {
    return text.empty() || std::any_of(lines.begin(), lines.end(), [&](const std::string& l) {
               return l.find(text) != std::string::npos;
           });
}

// Runs write(out, capacity) on a buffer followed by guard bytes and answers the text left there
// ("<none>" for a capacity below 1); fails the test when bytes past the capacity changed or the
// text is not terminated within it.
inline std::string Guarded(int32_t capacity, const std::function<int64_t(char*, int32_t)>& write,
                           int64_t* result = nullptr, const std::string& label = "") {
    constexpr char kGuard = '\x5A';
    std::vector<char> out((size_t)std::max(capacity, 0) + 16, kGuard);
    const int64_t r = write(out.data(), capacity);
    if (result) *result = r;
    for (size_t i = (size_t)std::max(capacity, 0); i < out.size(); i++)
        EXPECT_EQ(out[i], kGuard) << "wrote past the capacity: " << label;
    if (capacity < 1) return "<none>";
    EXPECT_LT(strnlen(out.data(), (size_t)capacity), (size_t)capacity) << "not terminated: " << label;
    return out.data();
}

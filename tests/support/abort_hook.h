// Lets death tests see the exact abort text: the hook copies it to standard error, where
// EXPECT_DEATH reads it, before the process stops.
#pragma once

#include <cstdio>
#include <string>

#include "core/runtime/debug.h"

inline void TestAbortHook(const char*, int32_t, const char* text) {
    fputs(text, stderr);
    fflush(stderr);
}

inline void InstallTestAbortHook() { Debug_AbortOverride(TestAbortHook); }

// A regular expression matching exactly "ABORT - <message> (<file>/<line>)\n" for the given
// message (taken literally).
inline std::string AbortRegex(const std::string& message) {
    std::string out = "ABORT - ";
    for (char c : message) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) out += '\\';
        out += c;
    }
    return out + " \\([^ ]+/[0-9]+\\)";
}

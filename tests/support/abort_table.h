// Abort texts as tables: each row runs one misuse in a death test and names the text it must
// abort with, so that a module states all of its abort cases in one line each.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "core/runtime/string_print.h"
#include "tests/support/abort_hook.h"

struct AbortCase {
    void (*run)();
    std::string pattern; // a regular expression: AbortRegex(text) for an exact text
};

inline void ExpectAborts(const std::vector<AbortCase>& cases) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const AbortCase& c : cases)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                c.run();
            },
            c.pattern)
            << c.pattern;
}

// The abort text of a handle of another class; the address differs in the dying process.
inline std::string ClassMismatch(uint32_t expected, uint32_t found) {
    char text[96];
    String_Print(text, (int32_t)sizeof(text), "expected 0x%08x but was 0x%08x", expected, found);
    return "ABORT - Class mismatch pointer \\(0x[0-9A-Fa-f]+: " + std::string(text) + "\\)";
}

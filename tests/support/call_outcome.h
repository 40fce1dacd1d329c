// One line per check of a call that answers a result and writes an out-parameter: OUTCOME runs
// the call with a local `out` set to `initial` and gives "<result>:<out>", so a test states both
// at once, e.g. EXPECT_EQ(OUTCOME(int32_t, 9, Dictionary_GetInt32ByKey(d, "f", &out)), "1:3").
// Text outputs print as they are, a null text as "(null)".
#pragma once

#include <cstdint>
#include <cstring>
#include <sstream>
#include <string>
#include <type_traits>

template <typename T> std::string OutcomeText(int64_t result, const T& value) {
    std::ostringstream text;
    text << result << ":";
    if constexpr (std::is_convertible_v<T, const char*>) {
        const char* chars = value;
        text << (chars ? chars : "(null)");
    } else if constexpr (std::is_pointer_v<T>) {
        text << (value ? "(set)" : "(null)");
    } else if constexpr (std::is_same_v<T, uint8_t> || std::is_same_v<T, int8_t>) {
        text << (int)value;
    } else {
        text << value;
    }
    return text.str();
}

#define OUTCOME(type, initial, call)                                                                         \
    ([&] {                                                                                                   \
        type out = initial;                                                                                  \
        const int64_t outcomeResult = (call);                                                                    \
        return OutcomeText(outcomeResult, out);                                                                   \
    }())

// The same for a text buffer of `size` bytes named `out`, which starts as "zz...z".
#define OUTCOME_TEXT(size, call)                                                                             \
    ([&] {                                                                                                   \
        char out[size];                                                                                      \
        memset(out, 'z', sizeof(out) - 1);                                                                   \
        out[sizeof(out) - 1] = 0;                                                                            \
        const int64_t outcomeResult = (call);                                                                    \
        return OutcomeText(outcomeResult, (const char*)out);                                                      \
    }())

// A guarded output buffer for calls that write text into a caller's buffer: it shows writes past
// the capacity and a missing terminator.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

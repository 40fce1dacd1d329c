// Helpers of the text-library tests: caller buffers with guard units behind their capacity, 16-bit
// literals as the library's units, and tables of results, bounded writes and aborts, one line a case.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

// A caller buffer of `capacity` units followed by guard units that no bounded write may touch.
template <typename T> class Guarded {
  public:
    static constexpr int32_t kGuard = 16;
    explicit Guarded(int32_t capacity, T fill = static_cast<T>(0x5A))
        : capacity_(capacity < 0 ? 0 : capacity), fill_(fill), raw_(capacity_ + kGuard, fill) {}
    operator T*() { return raw_.data(); }
    T* data() { return raw_.data(); }
    T& operator[](int32_t i) { return raw_[i]; }
    // True when no unit from `from` (by default the capacity) to the end of the guard was written.
    bool Untouched(int32_t from = -1) const {
        for (size_t i = from < 0 ? capacity_ : from; i < raw_.size(); i++)
            if (raw_[i] != fill_) return false;
        return true;
    }

  private:
    int32_t capacity_;
    T fill_;
    std::vector<T> raw_;
};

inline const uint16_t* U(const char16_t* text) {
    return reinterpret_cast<const uint16_t*>(text);
}
inline std::u16string Text16(const uint16_t* text) {
    return std::u16string(reinterpret_cast<const char16_t*>(text));
}

// A call's scalar result against the one expected, the call's text naming the case.
struct Result {
    int64_t got, want;
    const char* call;
};
#define RESULT(call, want) Result{static_cast<int64_t>(call), static_cast<int64_t>(want), #call}

inline void ExpectResults(std::initializer_list<Result> results) {
    for (const Result& r : results) EXPECT_EQ(r.got, r.want) << r.call;
}

// A bounded write (`d` the buffer, `n` the capacity) into a fresh guarded buffer that holds
// `before` first (cut unterminated when it is as long as the capacity): its result, the text left
// (null: the buffer as it was) and nothing written past the capacity.
struct Write {
    const char* name;
    const char* before;
    int32_t capacity;
    int64_t (*call)(char* d, int32_t n);
    int64_t result;
    const char* after;
};
#define WRITE_IN(before, capacity, call, result, after) \
    Write{#call, before, capacity, [](char* d, int32_t n) -> int64_t { return (void)n, call; }, result, after}
#define WRITE(capacity, call, result, after) WRITE_IN(nullptr, capacity, call, result, after)

inline void ExpectWrites(std::initializer_list<Write> cases) {
    for (const Write& c : cases) {
        Guarded<char> g(c.capacity);
        const size_t room = c.capacity > 0 ? c.capacity : 0;
        if (c.before) memcpy(g, c.before, std::min(strlen(c.before) + 1, room));
        const std::string held(g.data(), room);
        EXPECT_EQ(c.call(g, c.capacity), c.result) << c.name;
        if (c.after) {
            EXPECT_LT(strnlen(g, room), room) << c.name << ": not terminated";
            EXPECT_EQ(std::string(g.data(), strnlen(g, room)), c.after) << c.name;
        } else {
            EXPECT_EQ(std::string(g.data(), room), held) << c.name;
        }
        EXPECT_TRUE(g.Untouched()) << c.name;
    }
}

// An abort case: what to run and the exact message it must stop with.
struct AbortCase {
    const char* name;
    void (*run)();
    const char* message;
};

inline void ExpectAborts(std::initializer_list<AbortCase> cases) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    for (const AbortCase& c : cases) {
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                c.run();
            },
            AbortRegex(c.message))
            << c.name;
    }
}

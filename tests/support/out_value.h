// The value a call writes through its last argument, for checks that compare it at once:
//   EXPECT_EQ(Got<uint32_t>(HashTable_GetCount, table), 3u);
//   Kind* object = Created(Kind_Create);
#pragma once

#include <cstdint>
#include <initializer_list>

template <typename T, typename... In, typename... Args> T Got(int64_t (*getter)(In...), Args... args) {
    T out{};
    getter(args..., &out);
    return out;
}

// A new object of a kind created as `Kind_Create(&handle)`.
template <typename T> T* Created(int64_t (*create)(T**)) {
    T* object = nullptr;
    create(&object);
    return object;
}

// Whether every answer is 1; the calls in the list run in order.
inline bool AllOne(std::initializer_list<int64_t> answers) {
    for (int64_t answer : answers)
        if (answer != 1) return false;
    return true;
}

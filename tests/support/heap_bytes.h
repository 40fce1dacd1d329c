// The heap the program holds now, for tests that check a repeated operation gives memory back:
// under a sanitizer its allocator's own count, which the C library's figures do not see.
#pragma once

#include <malloc.h>

#include <cstddef>

#if defined(__has_feature)
#if __has_feature(address_sanitizer) && !defined(__SANITIZE_ADDRESS__)
#define __SANITIZE_ADDRESS__ 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizer runtime's count of the heap in use (its header comes with clang only).
extern "C" size_t __sanitizer_get_current_allocated_bytes();
#endif

inline size_t HeapBytes() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

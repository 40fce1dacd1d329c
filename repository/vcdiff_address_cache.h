// The address cache of the delta format: COPY addresses are coded against the current position
// ("here"), four recent addresses (near) or 768 slots keyed by address (same).
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { ADDRESS_CACHE_CLASS_ID = 0xef0a770c };

enum : uint32_t {
    ADDRESS_CACHE_NEAR_SIZE = 4,
    ADDRESS_CACHE_SAME_SIZE = 3,
    ADDRESS_CACHE_SAME_SLOTS = ADDRESS_CACHE_SAME_SIZE * 256,
};

// Mode 0 self, 1 here, 2 to 5 near, 6 to 8 same.
constexpr uint16_t AddressCache_DefaultLastMode() {
    return 2 + ADDRESS_CACHE_NEAR_SIZE + ADDRESS_CACHE_SAME_SIZE - 1;
}

// Public so that the decoder decodes addresses in place on its hot path.
struct AddressCache {
    Class Header;
    uint64_t Near[ADDRESS_CACHE_NEAR_SIZE];
    uint64_t Same[ADDRESS_CACHE_SAME_SLOTS];
    uint32_t NextNear;
    // The addresses section of the current window (borrowed).
    const uint8_t* Section;
    uint32_t Length;
    uint32_t Position;
};

int64_t AddressCache_Create(AddressCache** handle);
int64_t AddressCache_Delete(AddressCache** handle);
// Zeroes both caches and the next near slot and reads addresses from section from now on.
int64_t AddressCache_Reset(AddressCache* cache, const uint8_t* section, uint32_t length);
// Decodes the address of a COPY in mode (0 to the last mode) at here and records it in both
// caches. 0 when the section runs out, an integer is malformed, the address would fall below 0
// or overflow, or the mode is beyond the last.
int64_t AddressCache_Decode(AddressCache* cache, uint16_t mode, uint64_t here, uint64_t* address);

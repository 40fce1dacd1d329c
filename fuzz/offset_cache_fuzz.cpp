// Drives the offset cache with operations, offsets and lengths taken from the input and checks
// that every hit is a whole entry stored since the cache was last emptied, within the capacity.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "repository/offset_cache.h"

namespace {

int64_t Quiet(void*, const char*, ...) {
    return 1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 4096) return 0;
    OffsetCache* cache = nullptr;
    OffsetCache_Create(&cache);
    OffsetCache_SetPrintCallback(cache, nullptr, Quiet);
    OffsetCache_SetSize(cache, 8 * 4096);
    // Offsets put since the cache was last emptied; an entry's bytes follow from offset and length.
    std::set<uint64_t> stored;
    std::vector<uint8_t> buffer(40000);
    for (size_t i = 0; i + 4 <= size; i += 4) {
        const uint8_t op = data[i] % 4;
        const uint64_t offset = data[i + 1] % 16;
        const int32_t length = 1 + ((data[i + 2] | data[i + 3] << 8) % 36000);
        if (op == 0 || op == 1) {
            const std::vector<uint8_t> bytes((size_t)length, (uint8_t)(offset * 7 + length));
            OffsetCache_Put(cache, offset, bytes.data(), length);
            stored.insert(offset);
        } else if (op == 2) {
            int32_t got = -1;
            if (OffsetCache_Get(cache, offset, buffer.data(), length, &got)) {
                if (!stored.count(offset) || got < 1 || got > length) abort();
                for (int32_t k = 0; k < got; k++)
                    if (buffer[(size_t)k] != (uint8_t)(offset * 7 + got)) abort();
            } else if (got != 0) {
                abort();
            }
        } else {
            // Emptied: every later hit must come from a later put.
            if (data[i + 1] & 1) OffsetCache_Reset(cache);
            else OffsetCache_SetSize(cache, length);
            stored.clear();
        }
    }
    OffsetCache_Release(&cache);
    return 0;
}

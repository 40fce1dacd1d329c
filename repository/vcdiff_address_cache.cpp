// The address cache of COPY instructions: decoding by mode and recording every address.
#include "repository/vcdiff_address_cache.h"

#include <cstring>

#include "core/runtime/memory.h"
#include "repository/vcdiff_integer.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return AddressCache_Delete(reinterpret_cast<AddressCache**>(handle));
}

} // namespace

int64_t AddressCache_Create(AddressCache** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    AddressCache* c = static_cast<AddressCache*>(Memory_AllocZero(sizeof(AddressCache)));
    c->Header.ClassId = ADDRESS_CACHE_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = DeleteHandle;
    *handle = c;
    return 1;
}

int64_t AddressCache_Delete(AddressCache** handle) {
    ASSERT_POINTER(handle);
    AddressCache* c = *handle;
    CLASS_CHECK(c, ADDRESS_CACHE_CLASS_ID);
    c->Header.ClassId = 0;
    Memory_Free(c, sizeof(AddressCache));
    *handle = nullptr;
    return 1;
}

int64_t AddressCache_Reset(AddressCache* cache, const uint8_t* section, uint32_t length) {
    CLASS_CHECK(cache, ADDRESS_CACHE_CLASS_ID);
    memset(cache->Near, 0, sizeof(cache->Near));
    memset(cache->Same, 0, sizeof(cache->Same));
    cache->NextNear = 0;
    cache->Section = section;
    cache->Length = section ? length : 0;
    cache->Position = 0;
    return 1;
}

int64_t AddressCache_Decode(AddressCache* cache, uint16_t mode, uint64_t here, uint64_t* address) {
    CLASS_CHECK(cache, ADDRESS_CACHE_CLASS_ID);
    ASSERT_POINTER(address);
    *address = 0;
    constexpr uint16_t kNearFirst = 2;
    constexpr uint16_t kSameFirst = kNearFirst + ADDRESS_CACHE_NEAR_SIZE;
    uint64_t value = 0;
    uint64_t result = 0;
    if (mode >= kSameFirst) {
        if (mode > AddressCache_DefaultLastMode() || cache->Position >= cache->Length) return 0;
        result = cache->Same[(mode - kSameFirst) * 256u + cache->Section[cache->Position++]];
    } else {
        if (!VCDiffInteger_Read64(cache->Section, cache->Length, &cache->Position, &value)) return 0;
        if (mode == 0) {
            result = value;
        } else if (mode == 1) {
            // Counted back from the current position: never before the start of the address space.
            if (value > here) return 0;
            result = here - value;
        } else {
            const uint64_t base = cache->Near[mode - kNearFirst];
            if (value > UINT64_MAX - base) return 0;
            result = base + value;
        }
    }
    cache->Near[cache->NextNear] = result;
    cache->NextNear = (cache->NextNear + 1) % ADDRESS_CACHE_NEAR_SIZE;
    cache->Same[result % ADDRESS_CACHE_SAME_SLOTS] = result;
    *address = result;
    return 1;
}

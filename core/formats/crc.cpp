// CRC-32 continuation over zlib's crc32 and the CRC digest object behind CRC_INTERFACE.
#include "core/formats/crc.h"

#include <zlib.h>

#include <algorithm>
#include <cstring>

#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

int64_t DeleteHandle(void** handle) {
    return CRC_Delete(reinterpret_cast<CRC**>(handle));
}

void StoreDigest(const CRC* crc, uint8_t* digest) {
    digest[0] = (uint8_t)(crc->Value >> 24);
    digest[1] = (uint8_t)(crc->Value >> 16);
    digest[2] = (uint8_t)(crc->Value >> 8);
    digest[3] = (uint8_t)crc->Value;
}

// The record's slots take untyped instances.
int64_t SlotStack(void* memory) {
    return CRC_Stack(memory);
}
int64_t SlotUnstack(void* instance) {
    return CRC_Unstack(instance);
}
int64_t SlotCreate(void** handle) {
    return CRC_Create(reinterpret_cast<CRC**>(handle));
}
int64_t SlotDelete(void** handle) {
    return CRC_Delete(reinterpret_cast<CRC**>(handle));
}
int64_t SlotCopyTo(void* source, void* target) {
    return CRC_CopyTo(static_cast<CRC*>(source), static_cast<CRC*>(target));
}
int64_t SlotReset(void* instance) {
    return CRC_Reset(static_cast<CRC*>(instance));
}
int64_t SlotProcess(void* instance, const void* data, uint32_t length) {
    return CRC_Process(static_cast<CRC*>(instance), data, length);
}
uint32_t SlotIsGenerated(void* instance) {
    return CRC_IsGenerated(static_cast<CRC*>(instance));
}
int64_t SlotGenerate(void* instance) {
    return CRC_Generate(static_cast<CRC*>(instance));
}
uint32_t SlotGetDigest(void* instance, uint8_t* out, int32_t capacity) {
    return CRC_GetDigest(static_cast<CRC*>(instance), out, capacity);
}
uint32_t SlotGetString(void* instance, uint32_t spaced, char* out, int32_t capacity) {
    return CRC_GetString(static_cast<CRC*>(instance), spaced, out, capacity);
}

// Reading a digest that was never generated is a caller's fault, not an input's.
void RequireGenerated(const CRC* crc) {
    if (!crc->Generated)
        Debug_AbortInt(__FILE__, __LINE__,
                       "Assertion failed (CRC->DigestReady)\nCRC must be generated first!");
}

} // namespace

const HashInterface CRC_INTERFACE = {
    "CRC",         4,          CRC_DIGEST_SIZE, CRC_SizeOf,  SlotStack,       SlotUnstack,  SlotCreate,
    SlotDelete,    SlotCopyTo, SlotReset,       SlotProcess, SlotIsGenerated, SlotGenerate, SlotGetDigest,
    SlotGetString,
};

uint32_t CRC_Update(uint32_t value, const void* bytes, uint32_t length) {
    ASSERT_POINTER(bytes);
    // zlib takes a uInt length; feed in slices so that no platform's width can cut it.
    const uint8_t* p = static_cast<const uint8_t*>(bytes);
    uLong crc = value;
    while (length > 0) {
        uint32_t slice = std::min<uint32_t>(length, 0x40000000u);
        crc = crc32(crc, p, (uInt)slice);
        p += slice;
        length -= slice;
    }
    return (uint32_t)crc;
}

int64_t CRC_Create(CRC** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CRC* crc = static_cast<CRC*>(Memory_AllocZero(sizeof(CRC)));
    crc->Header.ClassId = CRC_CLASS_ID;
    crc->Header.RefCount = 1;
    crc->Header.Delete = DeleteHandle;
    *handle = crc;
    return 1;
}

int64_t CRC_Delete(CRC** handle) {
    ASSERT_POINTER(handle);
    CRC* crc = *handle;
    CLASS_CHECK(crc, CRC_CLASS_ID);
    crc->Header.ClassId = 0;
    Memory_Free(crc, sizeof(CRC));
    *handle = nullptr;
    return 1;
}

int64_t CRC_AddRef(CRC* crc) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    Class_AddRef(crc);
    return 1;
}

int64_t CRC_Release(CRC** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, CRC_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t CRC_GetInstanceId(CRC* crc, char* buffer, int32_t size) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, crc->Header.InstanceId, (int32_t)sizeof(crc->Header.InstanceId));
    return 1;
}

int64_t CRC_Reset(CRC* crc) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    crc->Value = 0;
    crc->Generated = 0;
    return 1;
}

int64_t CRC_Process(CRC* crc, const void* bytes, uint32_t length) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    crc->Value = CRC_Update(crc->Value, bytes, length);
    return 1;
}

int64_t CRC_Generate(CRC* crc) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    crc->Generated = 1;
    return 1;
}

uint32_t CRC_IsGenerated(CRC* crc) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    return crc->Generated;
}

uint32_t CRC_GetDigest(CRC* crc, uint8_t* buffer, int32_t size) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    ASSERT_POINTER(buffer);
    RequireGenerated(crc);
    uint8_t digest[CRC_DIGEST_SIZE];
    StoreDigest(crc, digest);
    if (size > 0) memcpy(buffer, digest, (size_t)std::min<int32_t>(size, CRC_DIGEST_SIZE));
    return 1;
}

uint32_t CRC_GetString(CRC* crc, uint32_t flags, char* buffer, int32_t size) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    ASSERT_POINTER(buffer);
    RequireGenerated(crc);
    uint8_t digest[CRC_DIGEST_SIZE];
    StoreDigest(crc, digest);
    return (uint32_t)Hash_ConvertDigestToString(digest, CRC_DIGEST_SIZE, flags, buffer, size);
}

int64_t CRC_CopyTo(CRC* crc, CRC* other) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    CLASS_CHECK(other, CRC_CLASS_ID);
    other->Generated = crc->Generated;
    other->Value = crc->Value;
    return 1;
}

uint32_t CRC_SizeOf() {
    return (uint32_t)sizeof(CRC);
}

int64_t CRC_Stack(void* memory) {
    ASSERT_POINTER(memory);
    CRC* crc = static_cast<CRC*>(memory);
    memset(crc, 0, sizeof(CRC));
    crc->Header.ClassId = CRC_CLASS_ID;
    return CRC_Reset(crc);
}

int64_t CRC_Unstack(void* crc) {
    CLASS_CHECK(crc, CRC_CLASS_ID);
    return 1;
}

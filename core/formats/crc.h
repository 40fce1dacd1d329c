// CRC-32 (the zlib polynomial and convention): the plain continuation used for text hashes and
// the CRC object that plays the part of a digest behind CRC_INTERFACE.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t {
    CRC_CLASS_ID = 0x6F0AC388,
    CRC_DIGEST_SIZE = 4,
};

struct CRC {
    Class Header;
    uint32_t Generated;
    uint32_t Value;
};

extern const HashInterface CRC_INTERFACE;

// The CRC-32 of the bytes continued from value (0 to start).
uint32_t CRC_Update(uint32_t value, const void* bytes, uint32_t length);

int64_t CRC_Create(CRC** handle);
int64_t CRC_Delete(CRC** handle);
int64_t CRC_AddRef(CRC* crc);
int64_t CRC_Release(CRC** handle);
int64_t CRC_GetInstanceId(CRC* crc, char* buffer, int32_t size);

int64_t CRC_Reset(CRC* crc);
int64_t CRC_Process(CRC* crc, const void* bytes, uint32_t length);
int64_t CRC_Generate(CRC* crc);
uint32_t CRC_IsGenerated(CRC* crc);
// The digest is the value in big-endian order.
uint32_t CRC_GetDigest(CRC* crc, uint8_t* buffer, int32_t size);
uint32_t CRC_GetString(CRC* crc, uint32_t flags, char* buffer, int32_t size);
int64_t CRC_CopyTo(CRC* crc, CRC* other);

uint32_t CRC_SizeOf();
int64_t CRC_Stack(void* memory);
int64_t CRC_Unstack(void* crc);

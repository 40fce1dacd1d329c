// Single DES (FIPS 46-3) in ECB and CBC modes behind DES_INTERFACE, callable directly; kept for
// the legacy protocols that still ask for it.
#pragma once

#include <cstdint>

#include "core/crypto/crypt_symmetric.h"
#include "core/runtime/class.h"

enum : uint32_t { DES_CLASS_ID = 0x1ACB0ABD, DES_BLOCKSIZE = 8, DES_KEYSIZE = 8 };

struct DES {
    Class Header;
    // Two words per round (the 48-bit subkey as two 24-bit halves); decryption takes the rounds
    // in reverse order.
    uint32_t EncryptKeys[32];
    uint32_t DecryptKeys[32];
    uint32_t KeySet;
};

extern const CryptSymmetricInterface DES_INTERFACE;

int64_t DES_Create(DES** handle);
int64_t DES_Delete(DES** handle);
int64_t DES_AddRef(DES* des);
int64_t DES_Release(DES** handle);
int64_t DES_GetInstanceId(DES* des, char* buffer, int32_t size);

// Exactly 8 bytes (parity bits ignored); any other length logs and gives 0, keeping the old key.
int64_t DES_SetKey(DES* des, const void* key, uint32_t length);
int64_t DES_SetEncryptKey(DES* des, const void* key, uint32_t length);
int64_t DES_SetDecryptKey(DES* des, const void* key, uint32_t length);
// ECB over whole 8-byte blocks. The out buffer is taken to hold length bytes, so a length that
// is not a multiple of 8 is refused (0) rather than written past; DES_CryptBuffer pads instead
// where the caller says there is room. 0 also before a key is set.
int64_t DES_Encrypt(DES* des, const void* in, void* out, uint32_t length);
int64_t DES_Decrypt(DES* des, const void* in, void* out, uint32_t length);
// CBC; iv (at least 8 bytes, else the process stops) ends holding the last ciphertext block. A
// short last block counts its missing bytes as zero and writes only as many bytes as it has.
int64_t DES_EncryptCBC(DES* des, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length);
int64_t DES_DecryptCBC(DES* des, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length);
// Not offered by DES: both stop the process.
int64_t DES_SetAAD(DES* des, const void* data, uint32_t length);
int64_t DES_GetAuthTag(DES* des, void* tag, uint32_t length);

// The block transform with 32 subkey words in the order they are applied.
int64_t DES_Crypt(const uint32_t* subkeys, const uint8_t in[8], uint8_t out[8]);
// ECB over length bytes; a short last block is completed with zeros and written whole, which
// needs capacity up to the next multiple of 8 (else 0 and nothing written).
int64_t DES_CryptBuffer(const uint32_t* subkeys, const void* in, uint32_t length, void* out, uint32_t capacity);

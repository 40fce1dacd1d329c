// The AES block cipher (FIPS 197) in ECB and CBC modes behind AES_INTERFACE, callable directly;
// the block transform runs on the processor's AES instructions when present.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/crypto/crypt_symmetric.h"

enum : uint32_t { AES_CLASS_ID = 0x505C4FF2, AES_BLOCKSIZE = 16 };

// The expanded key. Decryption uses the equivalent inverse cipher, so its round keys are the
// encryption keys in reverse order with InvMixColumns applied to the inner ones; that is the form
// the processor's decryption instruction wants as well.
struct AESContext {
    uint8_t EncryptKeys[15 * 16];
    uint8_t DecryptKeys[15 * 16];
    int32_t Rounds; // 10, 12 or 14; 0 until a key is set
};

// Reached only through its owner, so it carries a class id but no common object header.
struct AES {
    uint32_t ClassId;
    AESContext* Context;
};

extern const CryptSymmetricInterface AES_INTERFACE;

int64_t AES_Create(AES** handle);
// Frees the context and the instance and nulls the handle.
int64_t AES_Delete(AES** handle);
// The common release of counted objects under another name; AES instances are not counted.
int64_t AES_Release(void** handle);

// 16, 24 or 32 bytes select AES-128, -192 or -256; any other length gives 0 and changes nothing.
int64_t AES_SetEncryptKey(AES* aes, const void* key, uint32_t length);
int64_t AES_SetDecryptKey(AES* aes, const void* key, uint32_t length);
// ECB. The length must be a multiple of 16 (else a log line and 0); 0 bytes give 1.
int64_t AES_Encrypt(AES* aes, const void* in, void* out, uint32_t length);
int64_t AES_Decrypt(AES* aes, const void* in, void* out, uint32_t length);
// CBC; iv (at least 16 bytes, else the process stops) ends holding the last ciphertext block so
// that consecutive calls continue one chain. A short last block counts its missing bytes as zero
// and writes only as many bytes as it has.
int64_t AES_EncryptCBC(AES* aes, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length);
int64_t AES_DecryptCBC(AES* aes, void* iv, uint32_t ivLength, const void* in, void* out, uint32_t length);
// Not offered by plain AES: both stop the process.
int64_t AES_SetAAD(AES* aes, const void* data, uint32_t length);
int64_t AES_GetAuthTag(AES* aes, void* tag, uint32_t length);

// For the other AES users of the crypto layer (GCM) and for tests; not part of the surface.
namespace aes_internal {

// 1 when the processor has AES-NI, PCLMULQDQ and SSE4.1 (asked once).
bool HardwareAvailable();
// Tests force the portable code (on) or go back to the processor's choice (off).
void ForcePortable(bool on);
// The choice in force now.
bool UseHardware();

void EncryptBlocks(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks);
void DecryptBlocks(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks);

// Portable block transform. It indexes the S-box by secret bytes, so it is not constant-time; it
// only runs where the processor lacks AES instructions.
void EncryptBlockPortable(const AESContext* context, const uint8_t in[16], uint8_t out[16]);
void DecryptBlockPortable(const AESContext* context, const uint8_t in[16], uint8_t out[16]);

// The AES-NI forms (aes_ni.cpp); call only when HardwareAvailable().
void EncryptBlocksHardware(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks);
void DecryptBlocksHardware(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks);
// Whole blocks of CBC; iv is updated to the last ciphertext block. In and out may be the same.
void EncryptCBCHardware(const AESContext* context, uint8_t iv[16], const uint8_t* in, uint8_t* out, size_t blocks);
void DecryptCBCHardware(const AESContext* context, uint8_t iv[16], const uint8_t* in, uint8_t* out, size_t blocks);

} // namespace aes_internal

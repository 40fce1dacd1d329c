// The RC4 stream cipher behind RC4_INTERFACE, callable directly; kept for the legacy formats and
// the notification endpoint's cipher stream.
#pragma once

#include <cstdint>

#include "core/crypto/crypt_symmetric.h"
#include "core/runtime/class.h"

enum : uint32_t { RC4_CLASS_ID = 0x4D6F4AAA, RC4_MAX_KEY_LENGTH = 256 };

struct RC4 {
    Class Header;
    uint8_t I;
    uint8_t J;
    uint8_t S[256];
    uint32_t KeyLength; // 0 while no key is set
    uint8_t Key[256];
};

extern const CryptSymmetricInterface RC4_INTERFACE;

// Creates a reset instance.
int64_t RC4_Create(RC4** handle);
int64_t RC4_Delete(RC4** handle);
int64_t RC4_AddRef(RC4* rc4);
int64_t RC4_Release(RC4** handle);
int64_t RC4_GetInstanceId(RC4* rc4, char* buffer, int32_t size);

// i = j = 0, S the identity, no key.
int64_t RC4_Reset(RC4* rc4);
// Resets, then keys with 1 to 255 bytes. An empty key is refused (it would leave S the identity
// and the keystream fixed); 256 bytes or more are refused with a log line. Refused keys leave
// the instance reset.
int64_t RC4_SetKey(RC4* rc4, const void* key, uint32_t length);
int64_t RC4_SetEncryptKey(RC4* rc4, const void* key, uint32_t length);
int64_t RC4_SetDecryptKey(RC4* rc4, const void* key, uint32_t length);
// XOR with the keystream from where the last call stopped; both are the same operation. In and
// out may be the same buffer. 0 while no key is set.
int64_t RC4_Encrypt(RC4* rc4, const void* in, void* out, uint32_t length);
int64_t RC4_Decrypt(RC4* rc4, const void* in, void* out, uint32_t length);

// HMAC (RFC 2104) over any digest record, as a reusable object and as one-call forms; the "HMAC"
// macro keys; and PBKDF2 with HMAC-SHA1 for the AES encoding of repository pieces.
#pragma once

#include <cstdint>

#include "core/crypto/hash.h"

enum : uint32_t { HMAC_CLASS_ID = 0xDD12155E };

// The answer of HMACSHA1_DeriveKey when the password, the salt or the out buffer is missing, or
// the iteration count is 0.
enum : int32_t { HMAC_DERIVE_PARAM_ERROR = -102 };

struct HMAC {
    Class Header;
    // BlockSize bytes: the key as received, then key XOR the inner pad, after HMAC_Generate key
    // XOR the outer pad. Null while unbound.
    uint8_t* KeyBlock;
    int32_t BlockSize;
    // Key bytes received so far; -1 once the inner pad went in (message processing has begun).
    int32_t KeyLength;
    // Runs the inner hash, then the outer one, and ends holding the HMAC value.
    Hash* Inner;
    // DigestSize bytes: the inner hash result during HMAC_Generate.
    uint8_t* InnerDigest;
};

int64_t HMAC_Create(HMAC** handle);
int64_t HMAC_Delete(HMAC** handle);
int64_t HMAC_AddRef(HMAC* hmac);
int64_t HMAC_Release(HMAC** handle);
int64_t HMAC_GetInstanceId(HMAC* hmac, char* buffer, int32_t size);

// Binds a record (or null to unbind). Binding the record already bound forgets the key.
int64_t HMAC_SetHashInterface(HMAC* hmac, const HashInterface* record);
// Appends key bytes, in any number of pieces; 0 once message processing has begun, while
// unbound, or for a negative length. A key longer than the block is hashed.
int64_t HMAC_SetKey(HMAC* hmac, const void* key, int32_t length);
// Absorbs message bytes (data may be null for length 0); 0 while unbound.
int64_t HMAC_Process(HMAC* hmac, const void* data, uint32_t length);
// Finishes the HMAC of what was processed; 0 while unbound.
int64_t HMAC_Generate(HMAC* hmac);
// The HMAC value; 0 and nothing copied while unbound or when capacity is below the digest
// length.
int64_t HMAC_GetDigest(HMAC* hmac, uint8_t* out, uint32_t capacity);
// The HMAC value as lowercase hex; the answer of Hash_GetString (0 when the text was cut).
int64_t HMAC_GetString(HMAC* hmac, uint32_t spaced, char* out, uint32_t capacity);
// Forgets the key and the running state; the record stays bound.
int64_t HMAC_Reset(HMAC* hmac);
// Copies a running HMAC into target, which is bound to the source's record first.
int64_t HMAC_CopyTo(HMAC* source, HMAC* target);

// One call on a temporary object: bind, key, process, generate, read. The first step that does
// not answer 1 ends the chain with its answer.
int64_t HMAC_QuickDigest(const HashInterface* record, const void* data, uint32_t dataLength, const void* key,
                         uint32_t keyLength, uint8_t* out, uint32_t capacity);
int64_t HMAC_QuickString(const HashInterface* record, const void* data, uint32_t dataLength, const void* key,
                         uint32_t keyLength, uint32_t spaced, char* out, uint32_t capacity);

// Macro key provider: "HMAC<algorithm>" with key, comma, text, or "HMAC" with algorithm, comma,
// key, comma, text. The splitting commas of the argument become NULs.
int64_t HMAC_ExpandKey(void* user, const char* name, char* argument, char* value, int32_t capacity);

// PBKDF2 (PKCS #5) with HMAC-SHA1: outLength bytes into out. 0 on success, else a negative code
// (HMAC_DERIVE_PARAM_ERROR); out is zeroed first when given.
int32_t HMACSHA1_DeriveKey(const void* password, uint32_t passwordLength, const void* salt,
                           uint32_t saltLength, uint32_t iterationCount, uint8_t* out, uint16_t outLength);

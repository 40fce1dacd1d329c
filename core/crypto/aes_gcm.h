// AES in Galois/Counter Mode (NIST SP 800-38D) behind AESGCM_INTERFACE, callable directly; the
// CBC slots start a message with their IV as the nonce. GHASH runs on carry-less multiplication
// when the processor has it, else on 4-bit tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/crypto/aes.h"
#include "core/crypto/crypt_symmetric.h"
#include "core/runtime/class.h"

enum : uint32_t { AESGCM_CLASS_ID = 0x11EE79D4 };

struct AESGCM {
    Class Header;
    AES* Cipher; // always holds the encryption key
    uint64_t TextLength; // bytes processed since the message started
    uint64_t AADLength;
    // 4-bit multiplication table of H: high and low 64 bits of each entry.
    uint64_t HL[16];
    uint64_t HH[16];
    uint8_t Y[16];           // counter block
    uint8_t EK0[16];         // E(K, Y0), the base of the tag
    uint8_t Accumulator[16]; // GHASH state
    // H^1..H^8 byte-reversed, for eight blocks per reduction on the carry-less path.
    uint8_t HPowers[8][16];
    uint32_t KeySet;
    uint32_t Started; // a nonce has started the current message under the current key
    // Counter blocks the current message has used. Each call's short last block takes one of its
    // own, so this is counted apart from the text length.
    uint64_t Blocks;
};

// Counter blocks one message may use: the 32-bit counter must not come round to Y0, whose
// encryption masks the tag.
constexpr uint64_t AESGCM_MAX_BLOCKS = 0xFFFFFFFEull;
// Shortest tag AESGCM_VerifyAuthTag accepts: shorter ones are forged by trying.
enum : uint32_t { AESGCM_MIN_VERIFY_TAG = 12 };

extern const CryptSymmetricInterface AESGCM_INTERFACE;

int64_t AESGCM_Create(AESGCM** handle);
int64_t AESGCM_Delete(AESGCM** handle);
int64_t AESGCM_AddRef(AESGCM* gcm);
int64_t AESGCM_Release(AESGCM** handle);
int64_t AESGCM_GetInstanceId(AESGCM* gcm, char* buffer, int32_t size);

// The AES encryption key (16, 24 or 32 bytes, else 0), H and its tables.
int64_t AESGCM_SetKey(AESGCM* gcm, const void* key, uint32_t length);
int64_t AESGCM_SetEncryptKey(AESGCM* gcm, const void* key, uint32_t length);
int64_t AESGCM_SetDecryptKey(AESGCM* gcm, const void* key, uint32_t length);
// The accumulator becomes GHASH of the data (from zero). Every message but an instance's first
// must call it, since starting a message leaves the accumulator as it is.
int64_t AESGCM_SetAAD(AESGCM* gcm, const void* data, uint32_t length);
// Starts a message: Y0 from the nonce and E(K, Y0). An empty nonce is refused (its Y0 would be
// GHASH of a zero block alone, giving away H).
int64_t AESGCM_Start(AESGCM* gcm, const void* nonce, uint32_t length);
// Start with the nonce, then process the data.
int64_t AESGCM_EncryptCBC(AESGCM* gcm, void* nonce, uint32_t nonceLength, const void* in, void* out,
                          uint32_t length);
int64_t AESGCM_DecryptCBC(AESGCM* gcm, void* nonce, uint32_t nonceLength, const void* in, void* out,
                          uint32_t length);
// More data of the current message. Each call's short last block uses a counter block of its
// own, so pieces other than whole blocks give another result than one call. Refused before a
// nonce starts a message, and when the message would pass AESGCM_MAX_BLOCKS.
int64_t AESGCM_Encrypt(AESGCM* gcm, const void* in, void* out, uint32_t length);
int64_t AESGCM_Decrypt(AESGCM* gcm, const void* in, void* out, uint32_t length);
// Finishes the message and writes the first length (1 to 16) bytes of the tag; once per message.
// Refused before a nonce starts a message.
int64_t AESGCM_GetAuthTag(AESGCM* gcm, void* tag, uint32_t length);
// Finishes the message like AESGCM_GetAuthTag and compares the tag with the received one in
// constant time: 1 only when all length (AESGCM_MIN_VERIFY_TAG to 16) bytes agree.
int64_t AESGCM_VerifyAuthTag(AESGCM* gcm, const void* tag, uint32_t length);

// The carry-less forms (ghash_clmul.cpp); call only when aes_internal::HardwareAvailable().
namespace gcm_internal {

// H^1..H^8 into gcm->HPowers from H (16 bytes, as encrypted).
void PrepareHardware(AESGCM* gcm, const uint8_t h[16]);
// Folds whole blocks into the accumulator (16 bytes, standard order).
void GhashHardware(const AESGCM* gcm, uint8_t accumulator[16], const uint8_t* data, size_t blocks);
// Counter-mode over whole blocks with the ciphertext folded into the accumulator; Y advances.
// Runs of eight blocks go two to a register where the processor has VAES and VPCLMULQDQ.
void CryptHardware(AESGCM* gcm, const uint8_t* in, uint8_t* out, size_t blocks, bool decrypting);
// 1 when the 256-bit forms are available (asked once).
bool WideAvailable();
// Tests keep to the 128-bit forms (on) or go back to the processor's choice (off).
void ForceNarrow(bool on);

} // namespace gcm_internal

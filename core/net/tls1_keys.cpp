// The TLS client's key schedule: the PRF of each version, the master secret and its key-log line,
// the key block and its partition into MAC keys, cipher keys and IVs, the Finished verify data,
// and the process-wide key-log path and trust cache.
#include <fcntl.h>

#include <cstring>

#include "core/certs/cert_store_thumbprint.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/linux/platform.h"
#include "core/net/tls1_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

struct GlobalState {
    char KeyLogPath[TLS1_KEYLOG_PATH_CAPACITY];
    CertStoreThumbprint* TrustCache;
};
GlobalState GlobalTLS1;

constexpr uint32_t kLabelLength = 13; // "master secret", "key expansion"
constexpr uint32_t kSeedLength = kLabelLength + 2 * TLS1_RANDOM;
// RFC 2246 PRF halves produce at most this much each.
constexpr uint32_t kLegacyPrfMax = 256;
constexpr uint32_t kDigestMax = 64;
constexpr uint32_t kKeyLogLine = 176;

// HMAC(secret, a || b) into out (digest size bytes).
bool Mac(HMAC* hmac, const uint8_t* secret, uint32_t secretLength, const uint8_t* a, uint32_t aLength,
         const uint8_t* b, uint32_t bLength, uint8_t* out) {
    HMAC_Reset(hmac);
    if (HMAC_SetKey(hmac, secret, (int32_t)secretLength) != 1) return false;
    if (aLength && HMAC_Process(hmac, a, aLength) != 1) return false;
    if (bLength && HMAC_Process(hmac, b, bLength) != 1) return false;
    return HMAC_Generate(hmac) == 1 && HMAC_GetDigest(hmac, out, kDigestMax) == 1;
}

// The hash of the TLS 1.2 PRF: the handshake hash's, else the one the suite implies.
const HashInterface* PrfHash(TLS1* tls) {
    const HashInterface* record = nullptr;
    if (tls->HandshakeContext && tls->HandshakeContext->HandshakeHash)
        Hash_GetInterface(tls->HandshakeContext->HandshakeHash, &record);
    if (record) return record;
    if (tls->CipherInfo && tls->CipherInfo->HashInterface == &SHA384_INTERFACE) return &SHA384_INTERFACE;
    return &SHA256_INTERFACE;
}

bool IsLegacyVersion(const TLS1* tls) {
    return tls->ActiveVersion != 0 && tls->ActiveVersion < TLS1_VERSION_1_2;
}

// The digest of a copy of a running hash; the hash itself goes on running. Its size, 0 on failure.
uint32_t CopyDigest(Hash* source, uint8_t* out) {
    const HashInterface* record = nullptr;
    if (!source || !Hash_GetInterface(source, &record) || !record) return 0;
    Hash* copy = nullptr;
    Hash_Create(&copy);
    uint32_t size = 0;
    if (Hash_SetInterface(copy, record) == 1 && Hash_CopyTo(source, copy) == 1 && Hash_Generate(copy) == 1 &&
        Hash_GetDigest(copy, out, kDigestMax) == 1)
        size = record->DigestSize;
    Hash_Release(&copy);
    return size;
}

void Hex(const uint8_t* bytes, uint32_t length, char* out) {
    static const char kDigits[] = "0123456789abcdef";
    for (uint32_t i = 0; i < length; i++) {
        out[2 * i] = kDigits[bytes[i] >> 4];
        out[2 * i + 1] = kDigits[bytes[i] & 15];
    }
}

// Appends "CLIENT_RANDOM <client random> <master secret>\n" to the key-log file, which is made
// 0600 when missing and never followed through a link. A file that cannot be opened is skipped.
void KeyLogWrite(const TLS1HandshakeContext* context) {
    if (GlobalTLS1.KeyLogPath[0] == 0) return;
    char line[kKeyLogLine];
    memcpy(line, "CLIENT_RANDOM ", 14);
    Hex(context->ClientRandom, TLS1_RANDOM, line + 14);
    line[14 + 2 * TLS1_RANDOM] = ' ';
    Hex(context->MasterSecret, TLS1_MASTER_SECRET, line + 15 + 2 * TLS1_RANDOM);
    line[kKeyLogLine - 1] = '\n';
    const int32_t fd =
        Platform_Open(GlobalTLS1.KeyLogPath, O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0, 0600);
    if (fd < 0) return;
    int32_t written = 0;
    Platform_Write(fd, line, (int32_t)kKeyLogLine, &written);
    Platform_Close(fd);
}

} // namespace

int64_t TLS1_SetKeyLogPath(const char* path) {
    String_CopyLength(GlobalTLS1.KeyLogPath, path ? path : "", (int32_t)TLS1_KEYLOG_PATH_CAPACITY);
    return 1;
}

int64_t TLS1_Init() {
    if (!GlobalTLS1.TrustCache) CertStoreThumbprint_Create(&GlobalTLS1.TrustCache);
    return 1;
}

int64_t TLS1_Remove() {
    if (GlobalTLS1.TrustCache) CertStoreThumbprint_Release(&GlobalTLS1.TrustCache);
    return 1;
}

CertStoreThumbprint* TLS1_TrustCache() {
    return GlobalTLS1.TrustCache;
}

int64_t TLS1_PRFHash(const HashInterface* record, const uint8_t* secret, uint32_t secretLength,
                     const uint8_t* data, uint32_t dataLength, uint8_t* out, uint32_t outLength) {
    if (!record || record->DigestSize == 0 || record->DigestSize >= kDigestMax) return 0;
    if (outLength && !out) return 0;
    HMAC* hmac = nullptr;
    HMAC_Create(&hmac);
    bool ok = HMAC_SetHashInterface(hmac, record) == 1;
    const uint32_t size = record->DigestSize;
    uint8_t a[kDigestMax];
    uint8_t block[kDigestMax];
    // A(1) = HMAC(secret, seed); each output block is HMAC(secret, A(i) || seed).
    ok = ok && Mac(hmac, secret, secretLength, data, dataLength, nullptr, 0, a);
    for (uint32_t done = 0; ok && done < outLength; done += size) {
        ok = Mac(hmac, secret, secretLength, a, size, data, dataLength, block);
        if (!ok) break;
        const uint32_t take = outLength - done < size ? outLength - done : size;
        memcpy(out + done, block, take);
        if (done + take < outLength) ok = Mac(hmac, secret, secretLength, a, size, nullptr, 0, a);
    }
    HMAC_Release(&hmac);
    memset(a, 0, sizeof(a));
    memset(block, 0, sizeof(block));
    return ok ? 1 : 0;
}

int64_t TLS1_PRF(TLS1* tls, const uint8_t* secret, uint32_t secretLength, const uint8_t* labelSeed,
                 uint32_t labelSeedLength, uint8_t* out, uint32_t outLength) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (!IsLegacyVersion(tls))
        return TLS1_PRFHash(PrfHash(tls), secret, secretLength, labelSeed, labelSeedLength, out, outLength);
    // RFC 2246: P_MD5 over the first half of the secret XOR P_SHA1 over the second. For an odd
    // length the halves share the middle byte.
    if (outLength > kLegacyPrfMax) return 0;
    const uint32_t half = secretLength / 2 + (secretLength & 1);
    uint8_t md5[kLegacyPrfMax];
    uint8_t sha1[kLegacyPrfMax];
    const bool ok =
        TLS1_PRFHash(&MD5_INTERFACE, secret, half, labelSeed, labelSeedLength, md5, outLength) == 1 &&
        TLS1_PRFHash(&SHA1_INTERFACE, secret + (secretLength - half), half, labelSeed, labelSeedLength, sha1,
                     outLength) == 1;
    if (ok)
        for (uint32_t i = 0; i < outLength; i++) out[i] = (uint8_t)(md5[i] ^ sha1[i]);
    memset(md5, 0, sizeof(md5));
    memset(sha1, 0, sizeof(sha1));
    return ok ? 1 : 0;
}

int64_t TLS1_MasterSecret(TLS1* tls, const uint8_t* premaster, uint32_t length) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 0;
    uint8_t seed[kSeedLength];
    memcpy(seed, "master secret", kLabelLength);
    memcpy(seed + kLabelLength, context->ClientRandom, TLS1_RANDOM);
    memcpy(seed + kLabelLength + TLS1_RANDOM, context->ServerRandom, TLS1_RANDOM);
    if (TLS1_PRF(tls, premaster, length, seed, kSeedLength, context->MasterSecret, TLS1_MASTER_SECRET) != 1)
        return 0;
    KeyLogWrite(context);
    return 1;
}

int64_t TLS1_DigestFinished(TLS1* tls, Hash* hash, const char* label, uint8_t* out, uint32_t capacity,
                            uint32_t* outLength) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (outLength) *outLength = 0;
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context || !out) return 0;
    uint8_t digest[2 * kDigestMax];
    uint32_t size = 0;
    if (IsLegacyVersion(tls)) {
        const uint32_t md5 = CopyDigest(context->MD5, digest);
        const uint32_t sha1 = md5 ? CopyDigest(context->SHA1, digest + md5) : 0;
        size = sha1 ? md5 + sha1 : 0;
    } else {
        size = CopyDigest(hash ? hash : context->HandshakeHash, digest);
    }
    if (size == 0) return 0;
    if (!label) {
        const uint32_t take = size < capacity ? size : capacity;
        memcpy(out, digest, take);
        if (outLength) *outLength = take;
        return 1;
    }
    // The label text followed directly by the digest.
    uint8_t seed[64 + sizeof(digest)];
    const uint32_t labelLength = (uint32_t)strlen(label);
    if (labelLength > 64) return 0;
    memcpy(seed, label, labelLength);
    memcpy(seed + labelLength, digest, size);
    if (TLS1_PRF(tls, context->MasterSecret, TLS1_MASTER_SECRET, seed, labelLength + size, out, capacity) != 1)
        return 0;
    if (outLength) *outLength = capacity;
    return 1;
}

int64_t TLS1_SetKeyBlockInt(TLS1* tls, uint32_t direction, uint8_t* keyBlock, uint32_t capacity,
                            uint32_t* keyBlockLength) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (keyBlockLength) *keyBlockLength = 0;
    const TLS1CipherInfo* info = tls->CipherInfo;
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!info || !context) return 0;
    const bool gcm = info->CryptInterface == &AESGCM_INTERFACE;
    const uint32_t macSize = gcm ? 0 : info->HashInterface->DigestSize;
    // Only TLS 1.0 takes its first CBC IVs from the key block; later versions send one per record.
    const bool chainedIV = tls->ActiveVersion != 0 && tls->ActiveVersion < TLS1_VERSION_1_1 && !gcm;
    const uint32_t ivSize = chainedIV ? info->IVSize : 0;
    const uint32_t length = gcm ? 2 * info->KeySize + 8 : 2 * (macSize + info->KeySize) + 2 * ivSize;
    if (macSize > TLS1_MAC_KEY_MAX) return 0;

    if (context->KeyBlock && context->KeyBlockLength != length) {
        memset(context->KeyBlock, 0, context->KeyBlockLength);
        Memory_Free(context->KeyBlock, context->KeyBlockLength);
        context->KeyBlock = nullptr;
        context->KeyBlockLength = 0;
    }
    if (!context->KeyBlock) {
        context->KeyBlock = static_cast<uint8_t*>(Memory_Alloc(length));
        context->KeyBlockLength = length;
    }
    uint8_t seed[kSeedLength];
    memcpy(seed, "key expansion", kLabelLength);
    memcpy(seed + kLabelLength, context->ServerRandom, TLS1_RANDOM);
    memcpy(seed + kLabelLength + TLS1_RANDOM, context->ClientRandom, TLS1_RANDOM);
    if (TLS1_PRF(tls, context->MasterSecret, TLS1_MASTER_SECRET, seed, kSeedLength, context->KeyBlock, length) != 1)
        return 0;

    // Client MAC key, server MAC key, client key, server key, then the IVs (or the GCM implicit
    // nonces).
    const uint8_t* block = context->KeyBlock;
    const uint8_t* clientMac = block;
    const uint8_t* serverMac = clientMac + macSize;
    const uint8_t* clientKey = serverMac + macSize;
    const uint8_t* serverKey = clientKey + info->KeySize;
    const uint8_t* clientIV = serverKey + info->KeySize;
    const uint8_t* serverIV = clientIV + (gcm ? 4 : ivSize);

    // Direction 2 (tests only) reads with the client's keys: a connection that reads what
    // another one wrote.
    const bool write = direction == 1;
    const bool client = direction != 0;
    CryptSymmetric* cipher = write ? tls->WriteCipher : tls->ReadCipher;
    HMAC* mac = write ? tls->WriteMAC : tls->ReadMAC;
    uint8_t* macKey = write ? tls->MACClient : tls->MACServer;
    uint8_t* iv = write ? tls->WriteIV : tls->ReadIV;
    memset(macKey, 0, TLS1_MAC_KEY_MAX);
    memcpy(macKey, client ? clientMac : serverMac, macSize);
    if (!gcm) HMAC_SetHashInterface(mac, info->HashInterface);
    CryptSymmetric_Reset(cipher, info->CryptInterface);
    const uint8_t* key = client ? clientKey : serverKey;
    const int64_t keyed = write ? CryptSymmetric_SetEncryptKey(cipher, key, info->KeySize)
                                : CryptSymmetric_SetDecryptKey(cipher, key, info->KeySize);
    if (keyed != 1) return 0;
    memset(iv, 0, 16);
    if (gcm) {
        memcpy(iv, client ? clientIV : serverIV, 4);
        Platform_CryptFill(iv + 4, 8);
    } else if (chainedIV) {
        memcpy(iv, client ? clientIV : serverIV, ivSize);
    }

    // What the server's Finished must carry, over the handshake as it stands now.
    if (TLS1_DigestFinished(tls, nullptr, "server finished", context->ExpectedServerVerifyData, TLS1_VERIFY_DATA,
                            nullptr) != 1)
        return 0;
    if (keyBlock) {
        memcpy(keyBlock, context->KeyBlock, length < capacity ? length : capacity);
        if (keyBlockLength) *keyBlockLength = length;
    }
    return 1;
}

int64_t TLS1_SetKeyBlock(TLS1* tls, uint32_t direction) {
    return TLS1_SetKeyBlockInt(tls, direction, nullptr, 0, nullptr);
}

int64_t TLS1_InitForTest(TLS1* tls, const char* suite, uint32_t version, const uint8_t clientRandom[32],
                         const uint8_t serverRandom[32], const uint8_t masterSecret[48], uint32_t direction,
                         uint8_t* keyBlock, uint32_t capacity, uint32_t* keyBlockLength) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (keyBlockLength) *keyBlockLength = 0;
    const uint16_t code = TLS1_CipherTranslate(suite);
    const TLS1CipherInfo* row = nullptr;
    for (const TLS1CipherInfo& candidate : TLS1_CipherInfo)
        if (candidate.Code == code) row = &candidate;
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!row || !context) return 0;
    tls->CipherInfo = row;
    tls->ActiveVersion = version;
    tls->RecordVersion = version;
    tls->ExpectedHandshakeType = 0;
    if (context->HandshakeHash)
        Hash_SetInterface(context->HandshakeHash,
                          row->HashInterface == &SHA384_INTERFACE ? &SHA384_INTERFACE : &SHA256_INTERFACE);
    memcpy(context->ClientRandom, clientRandom, TLS1_RANDOM);
    memcpy(context->ServerRandom, serverRandom, TLS1_RANDOM);
    memcpy(context->MasterSecret, masterSecret, TLS1_MASTER_SECRET);
    memset(tls->ReadSequence, 0, sizeof(tls->ReadSequence));
    memset(tls->WriteSequence, 0, sizeof(tls->WriteSequence));
    return TLS1_SetKeyBlockInt(tls, direction, keyBlock, capacity, keyBlockLength);
}

int64_t TLS1_DraftSendForTest(TLS1* tls, uint8_t type, const uint8_t* data, uint32_t length,
                              const uint8_t* explicitNonce, uint8_t* out, uint32_t capacity, uint32_t* outLength) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(outLength);
    *outLength = 0;
    tls->Flags |= TLS1_FLAG_WRITE_PROTECTED;
    if (explicitNonce) {
        // The record layer counts the explicit part up before each record: start one below.
        memcpy(tls->WriteIV + 4, explicitNonce, 8);
        for (int i = 11; i >= 4; i--)
            if (tls->WriteIV[i]-- != 0) break;
    }
    if (TLS1_PacketQueue(tls, type, data, length) != 1) return 0;
    return TLS1_WriteGet(tls, out, capacity, outLength);
}

int64_t TLS1_DraftReceiveForTest(TLS1* tls, const uint8_t* bytes, uint32_t count, uint8_t* out, uint32_t capacity,
                                 uint32_t* outLength) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    ASSERT_POINTER(outLength);
    *outLength = 0;
    tls->Flags |= TLS1_FLAG_READ_PROTECTED;
    uint32_t written = 0;
    if (count) MemoryStream_Put(tls->Received, bytes, count, &written);
    if (written != count)
        Debug_AbortInt(__FILE__, __LINE__, "Assertion failed (written == count)\nReceived-bytes buffer is full");
    const int64_t result = TLS1_ReadPackets(tls);
    int32_t waiting = 0;
    TLS1_ReadGetBufferUsed(tls, &waiting);
    if (waiting > 0 && out && capacity) TLS1_ReadGet(tls, out, capacity, outLength);
    return result;
}

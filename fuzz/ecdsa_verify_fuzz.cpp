// Feeds keys, digests and signatures from the input to ECDSA on every curve: key and signature
// parsing only answer, and a signature made with a key and nonce derived from the input verifies
// for its digest and not for another.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/crypto/ecdsa.h"

namespace {

const char* const kOids[] = {"1.3.132.0.31", "1.2.840.10045.3.1.1", "1.3.132.0.32", "1.3.132.0.33",
                             "1.3.132.0.10", "1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"};

void Check(bool ok) {
    if (!ok) abort();
}

// The next piece of the input: one length byte, then that many bytes (fewer at the end).
const uint8_t* Take(const uint8_t*& data, size_t& size, uint32_t* length) {
    if (size == 0) {
        *length = 0;
        return data;
    }
    uint32_t n = data[0];
    data++, size--;
    if (n > size) n = (uint32_t)size;
    const uint8_t* piece = data;
    data += n, size -= n;
    *length = n;
    return piece;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 2048) return 0;
    const char* oid = kOids[data[0] % 8];
    const uint8_t mode = data[0] / 8;
    data++, size--;
    ECDSA* e = nullptr;
    ECDSA_Create(&e);
    Check(ECDSA_InitParams(e, oid) == 1);

    if (mode % 4 == 1) {
        // Whole DER key structures.
        ECDSA_SetPublicKeyFromASN1(e, data, (uint32_t)size);
        ECDSA_SetPrivateKeyFromASN1(e, data, (uint32_t)size);
        ECDSA_SetPrivateKey(e, data, (uint32_t)size);
    } else if (mode % 4 == 2) {
        // Outside key, digest and signature.
        uint32_t keyLength, digestLength, sigLength;
        const uint8_t* key = Take(data, size, &keyLength);
        const uint8_t* digest = Take(data, size, &digestLength);
        const uint8_t* sig = Take(data, size, &sigLength);
        if (ECDSA_SetPublicKey(e, key, keyLength)) ECDSA_Verify(e, digest, digestLength, sig, sigLength);
    } else {
        // d and k from the input, reduced below n; sign, then verify.
        uint32_t dLength, kLength, digestLength;
        const uint8_t* d = Take(data, size, &dLength);
        const uint8_t* k = Take(data, size, &kLength);
        const uint8_t* digest = Take(data, size, &digestLength);
        BigInt* nonce = nullptr;
        BigInt_Create(&nonce);
        BigInt_ImportBinary(e->D, d, dLength);
        BigInt_ImportBinary(nonce, k, kLength);
        BigInt_Modulo(e->D, e->D, e->Curve->N);
        BigInt_Modulo(nonce, nonce, e->Curve->N);
        ECPoint q;
        ECPoint_Init(&q);
        if (BigInt_GetSign(e->D) > 0) {
            Check(EC_PointMultiply(e->Curve, &q, &e->Curve->G, e->D) == 1);
            Check(ECDSA_SetPublicKeyPair(e, q.X, q.Y) == 1);
            BigInt_SetRandomNumberForTest(BigInt_GetSign(nonce) > 0 ? nonce : nullptr);
            uint8_t sig[160];
            uint32_t length = 0;
            const int64_t signedOk = ECDSA_Sign(e, digest, digestLength, sig, sizeof(sig), &length);
            BigInt_SetRandomNumberForTest(nullptr);
            if (signedOk) {
                Check(ECDSA_Verify(e, digest, digestLength, sig, length) == 1);
                // Flipping the top bit changes e whatever the digest's length.
                uint8_t other[80] = {};
                const uint32_t otherLength = digestLength == 0 ? 1 : digestLength > 80 ? 80 : digestLength;
                memcpy(other, digest, otherLength > digestLength ? digestLength : otherLength);
                other[0] ^= 0x80;
                Check(ECDSA_Verify(e, other, otherLength, sig, length) == 0);
            }
        }
        ECPoint_Release(&q);
        BigInt_Delete(&nonce);
    }
    ECDSA_Delete(&e);
    return 0;
}

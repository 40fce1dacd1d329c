// The AES-NI forms of the AES block runs: eight blocks in flight where the mode allows it, so
// that the instruction's latency is hidden; CBC encryption is serial by nature.
#include <immintrin.h>

#include "core/crypto/aes.h"

#define AES_NI_TARGET __attribute__((target("aes,pclmul,sse4.1")))

namespace {

struct RoundKeys {
    __m128i K[15];
    int32_t Rounds;
};

AES_NI_TARGET inline void Load(RoundKeys& keys, const uint8_t* bytes, int32_t rounds) {
    keys.Rounds = rounds;
    for (int32_t r = 0; r <= rounds; r++)
        keys.K[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 16 * r));
}

AES_NI_TARGET inline __m128i Get(const uint8_t* p) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

AES_NI_TARGET inline void Put(uint8_t* p, __m128i v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v);
}

AES_NI_TARGET inline __m128i Encrypt1(const RoundKeys& k, __m128i b) {
    b = _mm_xor_si128(b, k.K[0]);
    for (int32_t r = 1; r < k.Rounds; r++) b = _mm_aesenc_si128(b, k.K[r]);
    return _mm_aesenclast_si128(b, k.K[k.Rounds]);
}

AES_NI_TARGET inline __m128i Decrypt1(const RoundKeys& k, __m128i b) {
    b = _mm_xor_si128(b, k.K[0]);
    for (int32_t r = 1; r < k.Rounds; r++) b = _mm_aesdec_si128(b, k.K[r]);
    return _mm_aesdeclast_si128(b, k.K[k.Rounds]);
}

template <bool Decrypting> AES_NI_TARGET inline void Crypt8(const RoundKeys& k, __m128i* b) {
    for (int i = 0; i < 8; i++) b[i] = _mm_xor_si128(b[i], k.K[0]);
    for (int32_t r = 1; r < k.Rounds; r++)
        for (int i = 0; i < 8; i++)
            b[i] = Decrypting ? _mm_aesdec_si128(b[i], k.K[r]) : _mm_aesenc_si128(b[i], k.K[r]);
    for (int i = 0; i < 8; i++)
        b[i] = Decrypting ? _mm_aesdeclast_si128(b[i], k.K[k.Rounds]) : _mm_aesenclast_si128(b[i], k.K[k.Rounds]);
}

template <bool Decrypting>
AES_NI_TARGET void CryptBlocks(const uint8_t* keyBytes, int32_t rounds, const uint8_t* in, uint8_t* out,
                               size_t blocks) {
    RoundKeys k;
    Load(k, keyBytes, rounds);
    size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        __m128i b[8];
        for (int j = 0; j < 8; j++) b[j] = Get(in + 16 * (i + j));
        Crypt8<Decrypting>(k, b);
        for (int j = 0; j < 8; j++) Put(out + 16 * (i + j), b[j]);
    }
    for (; i < blocks; i++) {
        const __m128i b = Get(in + 16 * i);
        Put(out + 16 * i, Decrypting ? Decrypt1(k, b) : Encrypt1(k, b));
    }
}

} // namespace

namespace aes_internal {

AES_NI_TARGET void EncryptBlocksHardware(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks) {
    CryptBlocks<false>(context->EncryptKeys, context->Rounds, in, out, blocks);
}

AES_NI_TARGET void DecryptBlocksHardware(const AESContext* context, const uint8_t* in, uint8_t* out, size_t blocks) {
    CryptBlocks<true>(context->DecryptKeys, context->Rounds, in, out, blocks);
}

AES_NI_TARGET void EncryptCBCHardware(const AESContext* context, uint8_t iv[16], const uint8_t* in, uint8_t* out,
                                      size_t blocks) {
    RoundKeys k;
    Load(k, context->EncryptKeys, context->Rounds);
    __m128i chain = Get(iv);
    for (size_t i = 0; i < blocks; i++) {
        chain = Encrypt1(k, _mm_xor_si128(chain, Get(in + 16 * i)));
        Put(out + 16 * i, chain);
    }
    Put(iv, chain);
}

AES_NI_TARGET void DecryptCBCHardware(const AESContext* context, uint8_t iv[16], const uint8_t* in, uint8_t* out,
                                      size_t blocks) {
    RoundKeys k;
    Load(k, context->DecryptKeys, context->Rounds);
    __m128i chain = Get(iv);
    size_t i = 0;
    for (; i + 8 <= blocks; i += 8) {
        __m128i c[8], b[8];
        for (int j = 0; j < 8; j++) b[j] = c[j] = Get(in + 16 * (i + j));
        Crypt8<true>(k, b);
        Put(out + 16 * i, _mm_xor_si128(b[0], chain));
        for (int j = 1; j < 8; j++) Put(out + 16 * (i + j), _mm_xor_si128(b[j], c[j - 1]));
        chain = c[7];
    }
    for (; i < blocks; i++) {
        const __m128i c = Get(in + 16 * i);
        Put(out + 16 * i, _mm_xor_si128(Decrypt1(k, c), chain));
        chain = c;
    }
    Put(iv, chain);
}

} // namespace aes_internal

// AES-GCM, AES-CBC decryption and RC4 of our ciphers beside OpenSSL's EVP interface on the same
// buffers; each pair prints our speed over OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/crypto/aes.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/rc4.h"

#ifdef QVR_HAVE_OPENSSL
#include <openssl/evp.h>
#include <openssl/provider.h>
#endif

namespace {

std::vector<uint8_t> Buffer(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 131 + seed);
    return b;
}

const std::vector<uint8_t> kKey = Buffer(32, 1);
const std::vector<uint8_t> kNonce = Buffer(12, 2);
const std::vector<uint8_t> kAad = Buffer(13, 3);

void Bytes(benchmark::State& state) {
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

// One whole message per iteration: key already set, as a connection's record layer does.
template <uint32_t KeyLength, bool Decrypting> void BM_Ours_AesGcm(benchmark::State& state) {
    AESGCM* gcm = nullptr;
    AESGCM_Create(&gcm);
    AESGCM_SetKey(gcm, kKey.data(), KeyLength);
    std::vector<uint8_t> in = Buffer((size_t)state.range(0), 4), out(in.size()), nonce = kNonce;
    uint8_t tag[16];
    for (auto _ : state) {
        AESGCM_SetAAD(gcm, kAad.data(), (uint32_t)kAad.size());
        if (Decrypting)
            AESGCM_DecryptCBC(gcm, nonce.data(), 12, in.data(), out.data(), (uint32_t)in.size());
        else
            AESGCM_EncryptCBC(gcm, nonce.data(), 12, in.data(), out.data(), (uint32_t)in.size());
        AESGCM_GetAuthTag(gcm, tag, 16);
        benchmark::DoNotOptimize(tag);
    }
    AESGCM_Delete(&gcm);
    Bytes(state);
}

void BM_Ours_Aes256CbcDecrypt(benchmark::State& state) {
    AES* aes = nullptr;
    AES_Create(&aes);
    AES_SetDecryptKey(aes, kKey.data(), 32);
    std::vector<uint8_t> in = Buffer((size_t)state.range(0), 5), out(in.size());
    for (auto _ : state) {
        std::vector<uint8_t> iv = kNonce;
        iv.resize(16);
        AES_DecryptCBC(aes, iv.data(), 16, in.data(), out.data(), (uint32_t)in.size());
        benchmark::DoNotOptimize(out.data());
    }
    AES_Delete(&aes);
    Bytes(state);
}

void BM_Ours_Rc4(benchmark::State& state) {
    RC4* rc4 = nullptr;
    RC4_Create(&rc4);
    RC4_SetKey(rc4, kKey.data(), 16);
    std::vector<uint8_t> in = Buffer((size_t)state.range(0), 6), out(in.size());
    for (auto _ : state) {
        RC4_Encrypt(rc4, in.data(), out.data(), (uint32_t)in.size());
        benchmark::DoNotOptimize(out.data());
    }
    RC4_Delete(&rc4);
    Bytes(state);
}

BENCHMARK_TEMPLATE(BM_Ours_AesGcm, 16, false)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Ours_AesGcm, 16, true)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Ours_AesGcm, 32, false)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Ours_AesGcm, 32, true)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Ours_Aes256CbcDecrypt)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Ours_Rc4)->Arg(16 << 10)->Arg(1 << 20);

#ifdef QVR_HAVE_OPENSSL

// The peer as its users drive it: one context keyed once, IV, AAD, update and final per message.
template <uint32_t KeyLength, bool Decrypting> void BM_Peer_AesGcm(benchmark::State& state) {
    const EVP_CIPHER* cipher = KeyLength == 16 ? EVP_aes_128_gcm() : EVP_aes_256_gcm();
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    if (Decrypting)
        EVP_DecryptInit_ex(ctx, cipher, nullptr, kKey.data(), nullptr);
    else
        EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey.data(), nullptr);
    std::vector<uint8_t> in = Buffer((size_t)state.range(0), 4), out(in.size() + 16);
    uint8_t tag[16] = {};
    int n = 0;
    for (auto _ : state) {
        if (Decrypting) {
            EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, kNonce.data());
            EVP_DecryptUpdate(ctx, nullptr, &n, kAad.data(), (int)kAad.size());
            EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size());
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
            EVP_DecryptFinal_ex(ctx, out.data() + n, &n); // the tag is wrong; the work is the same
        } else {
            EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, kNonce.data());
            EVP_EncryptUpdate(ctx, nullptr, &n, kAad.data(), (int)kAad.size());
            EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size());
            EVP_EncryptFinal_ex(ctx, out.data() + n, &n);
            EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
        }
        benchmark::DoNotOptimize(tag);
    }
    EVP_CIPHER_CTX_free(ctx);
    Bytes(state);
}

void BM_Peer_Aes256CbcDecrypt(benchmark::State& state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<uint8_t> iv = kNonce;
    iv.resize(16);
    EVP_DecryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, kKey.data(), iv.data());
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    std::vector<uint8_t> in = Buffer((size_t)state.range(0), 5), out(in.size() + 16);
    int n = 0;
    for (auto _ : state) {
        EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, iv.data());
        EVP_DecryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size());
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    Bytes(state);
}

void BM_Peer_Rc4(benchmark::State& state) {
    static OSSL_PROVIDER* legacy = OSSL_PROVIDER_load(nullptr, "legacy");
    static OSSL_PROVIDER* standard = OSSL_PROVIDER_load(nullptr, "default");
    (void)standard;
    EVP_CIPHER* cipher = legacy ? EVP_CIPHER_fetch(nullptr, "RC4", nullptr) : nullptr;
    if (!cipher) {
        state.SkipWithError("RC4 needs OpenSSL's legacy provider");
        return;
    }
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_EncryptInit_ex(ctx, cipher, nullptr, kKey.data(), nullptr);
    std::vector<uint8_t> in = Buffer((size_t)state.range(0), 6), out(in.size());
    int n = 0;
    for (auto _ : state) {
        EVP_EncryptUpdate(ctx, out.data(), &n, in.data(), (int)in.size());
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    EVP_CIPHER_free(cipher);
    Bytes(state);
}

BENCHMARK_TEMPLATE(BM_Peer_AesGcm, 16, false)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Peer_AesGcm, 16, true)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Peer_AesGcm, 32, false)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_TEMPLATE(BM_Peer_AesGcm, 32, true)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Peer_Aes256CbcDecrypt)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(BM_Peer_Rc4)->Arg(16 << 10)->Arg(1 << 20);

#define GCM_PAIR(label, bits, dec, size)                                                              \
    PEER_RATIO(label, "BM_Ours_AesGcm<" #bits ", " #dec ">/" #size, "BM_Peer_AesGcm<" #bits ", " #dec ">/" #size)
GCM_PAIR("AES-128-GCM encrypt 16 KiB", 16, false, 16384);
GCM_PAIR("AES-128-GCM encrypt 1 MiB", 16, false, 1048576);
GCM_PAIR("AES-128-GCM decrypt 16 KiB", 16, true, 16384);
GCM_PAIR("AES-128-GCM decrypt 1 MiB", 16, true, 1048576);
GCM_PAIR("AES-256-GCM encrypt 16 KiB", 32, false, 16384);
GCM_PAIR("AES-256-GCM encrypt 1 MiB", 32, false, 1048576);
GCM_PAIR("AES-256-GCM decrypt 16 KiB", 32, true, 16384);
GCM_PAIR("AES-256-GCM decrypt 1 MiB", 32, true, 1048576);
PEER_RATIO("AES-256-CBC decrypt 16 KiB", "BM_Ours_Aes256CbcDecrypt/16384", "BM_Peer_Aes256CbcDecrypt/16384");
PEER_RATIO("AES-256-CBC decrypt 1 MiB", "BM_Ours_Aes256CbcDecrypt/1048576", "BM_Peer_Aes256CbcDecrypt/1048576");
PEER_RATIO("RC4 16 KiB", "BM_Ours_Rc4/16384", "BM_Peer_Rc4/16384");
PEER_RATIO("RC4 1 MiB", "BM_Ours_Rc4/1048576", "BM_Peer_Rc4/1048576");

#endif

} // namespace

PEER_RATIO_MAIN();

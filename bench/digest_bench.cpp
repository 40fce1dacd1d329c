// Digest and HMAC throughput of the system's own algorithms, side by side with OpenSSL's
// libcrypto (when the build found it): MD5, SHA-1, SHA-256, SHA-512 over 16 KiB and 1 MiB, and
// HMAC-SHA256 over 64-byte messages. Ratios are our speed over OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/crypto/hash.h"
#include "core/crypto/hmac.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"

#ifdef QVR_HAVE_OPENSSL
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/params.h>
#endif

namespace {

std::vector<uint8_t> Buffer(size_t size) {
    std::vector<uint8_t> data(size);
    uint32_t x = 0x9E3779B9u;
    for (uint8_t& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)x;
    }
    return data;
}

// One instance in caller memory, reset for every message, as the quick digests run it.
void Ours(benchmark::State& state, const HashInterface* record) {
    std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    alignas(16) uint8_t instance[1024];
    uint8_t digest[64];
    record->Stack(instance);
    for (auto _ : state) {
        record->Reset(instance);
        record->Process(instance, data.data(), (uint32_t)data.size());
        record->Generate(instance);
        record->GetDigest(instance, digest, sizeof(digest));
        benchmark::DoNotOptimize(digest);
    }
    record->Unstack(instance);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

// The portable code where the processor's extensions would otherwise be used.
void OursPortable(benchmark::State& state, const HashInterface* record) {
    SHA1_UseProcessorExtensions(0);
    SHA256_UseProcessorExtensions(0);
    SHA512_UseProcessorExtensions(0);
    Ours(state, record);
    SHA1_UseProcessorExtensions(1);
    SHA256_UseProcessorExtensions(1);
    SHA512_UseProcessorExtensions(1);
}

std::vector<uint8_t> Key() {
    return Buffer(32);
}

void OursHmacQuick(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer(64), key = Key();
    uint8_t mac[32];
    for (auto _ : state) {
        HMAC_QuickDigest(&SHA256_INTERFACE, data.data(), 64, key.data(), 32, mac, sizeof(mac));
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * 64);
}

// One object rebound (a reset) and keyed for every message, as the TLS record layer does.
void OursHmacObject(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer(64), key = Key();
    uint8_t mac[32];
    HMAC* hmac = nullptr;
    HMAC_Create(&hmac);
    for (auto _ : state) {
        HMAC_SetHashInterface(hmac, &SHA256_INTERFACE);
        HMAC_SetKey(hmac, key.data(), 32);
        HMAC_Process(hmac, data.data(), 64);
        HMAC_Generate(hmac);
        HMAC_GetDigest(hmac, mac, sizeof(mac));
        benchmark::DoNotOptimize(mac);
    }
    HMAC_Delete(&hmac);
    state.SetBytesProcessed((int64_t)state.iterations() * 64);
}

#ifdef QVR_HAVE_OPENSSL
void OpenSsl(benchmark::State& state, const char* name) {
    std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    for (auto _ : state) {
        EVP_DigestInit_ex(ctx, md, nullptr);
        EVP_DigestUpdate(ctx, data.data(), data.size());
        EVP_DigestFinal_ex(ctx, digest, &length);
        benchmark::DoNotOptimize(digest);
    }
    EVP_MD_CTX_free(ctx);
    EVP_MD_free(md);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void OpenSslHmacQuick(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer(64), key = Key();
    unsigned char mac[EVP_MAX_MD_SIZE];
    size_t length = 0;
    for (auto _ : state) {
        EVP_Q_mac(nullptr, "HMAC", nullptr, "SHA256", nullptr, key.data(), 32, data.data(), 64, mac,
                  sizeof(mac), &length);
        benchmark::DoNotOptimize(mac);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * 64);
}

// The context and its digest are set up once, as a TLS record layer keeps them; every message is
// keyed afresh, as ours is. Passing the digest to every init would fetch it again each time.
void OpenSslHmacObject(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer(64), key = Key();
    EVP_MAC* mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    EVP_MAC_CTX* ctx = EVP_MAC_CTX_new(mac);
    char digestName[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digestName, 0),
                           OSSL_PARAM_construct_end()};
    EVP_MAC_CTX_set_params(ctx, params);
    unsigned char out[EVP_MAX_MD_SIZE];
    size_t length = 0;
    for (auto _ : state) {
        EVP_MAC_init(ctx, key.data(), 32, nullptr);
        EVP_MAC_update(ctx, data.data(), 64);
        EVP_MAC_final(ctx, out, &length, sizeof(out));
        benchmark::DoNotOptimize(out);
    }
    EVP_MAC_CTX_free(ctx);
    EVP_MAC_free(mac);
    state.SetBytesProcessed((int64_t)state.iterations() * 64);
}
#endif

} // namespace

BENCHMARK_CAPTURE(Ours, MD5, &MD5_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(Ours, SHA1, &SHA1_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(Ours, SHA256, &SHA256_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(Ours, SHA512, &SHA512_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OursPortable, SHA1, &SHA1_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OursPortable, SHA256, &SHA256_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OursPortable, SHA512, &SHA512_INTERFACE)->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(OursHmacQuick);
BENCHMARK(OursHmacObject);
#ifdef QVR_HAVE_OPENSSL
BENCHMARK_CAPTURE(OpenSsl, MD5, "MD5")->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OpenSsl, SHA1, "SHA1")->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OpenSsl, SHA256, "SHA256")->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OpenSsl, SHA512, "SHA512")->Arg(16 << 10)->Arg(1 << 20);
BENCHMARK(OpenSslHmacQuick);
BENCHMARK(OpenSslHmacObject);
PEER_RATIO("MD5 16 KiB", "Ours/MD5/16384", "OpenSsl/MD5/16384");
PEER_RATIO("MD5 1 MiB", "Ours/MD5/1048576", "OpenSsl/MD5/1048576");
PEER_RATIO("SHA-1 16 KiB", "Ours/SHA1/16384", "OpenSsl/SHA1/16384");
PEER_RATIO("SHA-1 1 MiB", "Ours/SHA1/1048576", "OpenSsl/SHA1/1048576");
PEER_RATIO("SHA-256 16 KiB", "Ours/SHA256/16384", "OpenSsl/SHA256/16384");
PEER_RATIO("SHA-256 1 MiB", "Ours/SHA256/1048576", "OpenSsl/SHA256/1048576");
PEER_RATIO("SHA-512 16 KiB", "Ours/SHA512/16384", "OpenSsl/SHA512/16384");
PEER_RATIO("SHA-512 1 MiB", "Ours/SHA512/1048576", "OpenSsl/SHA512/1048576");
PEER_RATIO("SHA-512 16 KiB, portable code", "OursPortable/SHA512/16384", "OpenSsl/SHA512/16384");
PEER_RATIO("SHA-512 1 MiB, portable code", "OursPortable/SHA512/1048576", "OpenSsl/SHA512/1048576");
PEER_RATIO("HMAC-SHA256 64 B one call", "OursHmacQuick", "OpenSslHmacQuick");
PEER_RATIO("HMAC-SHA256 64 B keyed object", "OursHmacObject", "OpenSslHmacObject");
#endif

PEER_RATIO_MAIN()

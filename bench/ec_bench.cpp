// ECDSA signing and verification on P-256 and P-384 and an ECDHE exchange on P-256, ours beside
// OpenSSL's EVP interface on the same digests; each pair prints our speed over OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/crypto/ecdhe.h"
#include "core/crypto/ecdsa.h"

#ifdef QVR_HAVE_OPENSSL
#include <openssl/ec.h>
#include <openssl/evp.h>
#endif

namespace {

const char* const kP256 = "1.2.840.10045.3.1.7";
const char* const kP384 = "1.3.132.0.34";

std::vector<uint8_t> Digest(size_t n) {
    std::vector<uint8_t> d(n);
    for (size_t i = 0; i < n; i++) d[i] = (uint8_t)(i * 37 + 11);
    return d;
}

// A key with d fixed and Q = d G.
ECDSA* OurKey(const char* oid) {
    ECDSA* e = nullptr;
    ECDSA_Create(&e);
    ECDSA_InitParams(e, oid);
    BigInt_ImportHex(e->D, "1F2E3D4C5B6A798897A6B5C4D3E2F1000112233445566778899AABBCCDDEEFF");
    ECPoint q;
    ECPoint_Init(&q);
    EC_PointMultiply(e->Curve, &q, &e->Curve->G, e->D);
    ECDSA_SetPublicKeyPair(e, q.X, q.Y);
    ECPoint_Release(&q);
    return e;
}

template <int Curve> const char* OidOf() {
    return Curve == 256 ? kP256 : kP384;
}

template <int Curve> void BM_Ours_Sign(benchmark::State& state) {
    ECDSA* e = OurKey(OidOf<Curve>());
    const std::vector<uint8_t> digest = Digest(Curve / 8);
    uint8_t sig[120];
    uint32_t length = 0;
    for (auto _ : state) {
        if (!ECDSA_Sign(e, digest.data(), (uint32_t)digest.size(), sig, sizeof(sig), &length))
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(sig);
    }
    ECDSA_Delete(&e);
}

template <int Curve> void BM_Ours_Verify(benchmark::State& state) {
    ECDSA* e = OurKey(OidOf<Curve>());
    const std::vector<uint8_t> digest = Digest(Curve / 8);
    uint8_t sig[120];
    uint32_t length = 0;
    ECDSA_Sign(e, digest.data(), (uint32_t)digest.size(), sig, sizeof(sig), &length);
    for (auto _ : state)
        if (!ECDSA_Verify(e, digest.data(), (uint32_t)digest.size(), sig, length))
            state.SkipWithError("verify failed");
    ECDSA_Delete(&e);
}

void BM_Ours_Ecdhe(benchmark::State& state) {
    ECDSA* peer = OurKey(kP256);
    uint8_t point[65];
    point[0] = 4;
    BigInt_ExportBinaryFixedSize(peer->Q.X, point + 1, 32);
    BigInt_ExportBinaryFixedSize(peer->Q.Y, point + 33, 32);
    ECDSA_Delete(&peer);
    ECDHE* x = nullptr;
    ECDHE_Create(&x);
    ECDHE_InitParams(x, kP256);
    ECDHE_SetPublicKey(x, point, sizeof(point));
    uint8_t pub[65], secret[32];
    uint32_t pubLength = 0, secretLength = 0;
    for (auto _ : state)
        if (!ECDHE_CalculateSecret(x, pub, sizeof(pub), &pubLength, secret, sizeof(secret), &secretLength))
            state.SkipWithError("exchange failed");
    ECDHE_Delete(&x);
}

BENCHMARK_TEMPLATE(BM_Ours_Sign, 256);
BENCHMARK_TEMPLATE(BM_Ours_Verify, 256);
BENCHMARK_TEMPLATE(BM_Ours_Sign, 384);
BENCHMARK_TEMPLATE(BM_Ours_Verify, 384);
BENCHMARK(BM_Ours_Ecdhe);

#ifdef QVR_HAVE_OPENSSL

template <int Curve> EVP_PKEY* PeerKey() {
    return EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", Curve == 256 ? "P-256" : "P-384");
}

template <int Curve> void BM_Peer_Sign(benchmark::State& state) {
    EVP_PKEY* key = PeerKey<Curve>();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx);
    const std::vector<uint8_t> digest = Digest(Curve / 8);
    uint8_t sig[120];
    for (auto _ : state) {
        size_t length = sizeof(sig);
        if (EVP_PKEY_sign(ctx, sig, &length, digest.data(), digest.size()) != 1)
            state.SkipWithError("sign failed");
        benchmark::DoNotOptimize(sig);
    }
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}

template <int Curve> void BM_Peer_Verify(benchmark::State& state) {
    EVP_PKEY* key = PeerKey<Curve>();
    EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(key, nullptr);
    EVP_PKEY_sign_init(ctx);
    const std::vector<uint8_t> digest = Digest(Curve / 8);
    uint8_t sig[120];
    size_t length = sizeof(sig);
    EVP_PKEY_sign(ctx, sig, &length, digest.data(), digest.size());
    EVP_PKEY_verify_init(ctx);
    for (auto _ : state)
        if (EVP_PKEY_verify(ctx, sig, length, digest.data(), digest.size()) != 1)
            state.SkipWithError("verify failed");
    EVP_PKEY_CTX_free(ctx);
    EVP_PKEY_free(key);
}

// A fresh key pair and the shared secret, as one exchange of a TLS client.
void BM_Peer_Ecdhe(benchmark::State& state) {
    EVP_PKEY* peer = PeerKey<256>();
    uint8_t secret[32];
    for (auto _ : state) {
        EVP_PKEY* own = PeerKey<256>();
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(own, nullptr);
        size_t length = sizeof(secret);
        if (EVP_PKEY_derive_init(ctx) != 1 || EVP_PKEY_derive_set_peer(ctx, peer) != 1 ||
            EVP_PKEY_derive(ctx, secret, &length) != 1)
            state.SkipWithError("exchange failed");
        EVP_PKEY_CTX_free(ctx);
        EVP_PKEY_free(own);
    }
    EVP_PKEY_free(peer);
}

BENCHMARK_TEMPLATE(BM_Peer_Sign, 256);
BENCHMARK_TEMPLATE(BM_Peer_Verify, 256);
BENCHMARK_TEMPLATE(BM_Peer_Sign, 384);
BENCHMARK_TEMPLATE(BM_Peer_Verify, 384);
BENCHMARK(BM_Peer_Ecdhe);

PEER_RATIO("ECDSA P-256 sign", "BM_Ours_Sign<256>", "BM_Peer_Sign<256>");
PEER_RATIO("ECDSA P-256 verify", "BM_Ours_Verify<256>", "BM_Peer_Verify<256>");
PEER_RATIO("ECDSA P-384 sign", "BM_Ours_Sign<384>", "BM_Peer_Sign<384>");
PEER_RATIO("ECDSA P-384 verify", "BM_Ours_Verify<384>", "BM_Peer_Verify<384>");
PEER_RATIO("ECDHE P-256 key pair and secret", "BM_Ours_Ecdhe", "BM_Peer_Ecdhe");

#endif

} // namespace

PEER_RATIO_MAIN();

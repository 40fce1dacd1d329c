// RSA-2048 PKCS #1 v1.5 verification and signing, and modular powers, beside OpenSSL's EVP_PKEY
// and BN_mod_exp_mont on the same key and numbers; each pair prints our speed over OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"

#ifdef QVR_HAVE_OPENSSL
// OpenSSL names its key type RSA as well; its headers see it under another name.
#define RSA OSSL_RSA
#include <openssl/bn.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#undef RSA
#endif

#include "core/crypto/big_integer.h"
#include "core/crypto/rsa.h"

namespace {

using Bytes = std::vector<uint8_t>;

// DigestInfo of SHA-256 up to the digest.
const Bytes kSha256Info = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                           0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};

Bytes Digest() {
    Bytes d(32);
    for (size_t i = 0; i < d.size(); i++) d[i] = (uint8_t)(i * 37 + 11);
    return d;
}

Bytes Pattern(size_t n, uint32_t seed) {
    Bytes b(n);
    uint32_t x = seed;
    for (auto& v : b) {
        x = x * 1103515245 + 12345;
        v = (uint8_t)(x >> 24);
    }
    return b;
}

#ifdef QVR_HAVE_OPENSSL

// One RSA-2048 key for every benchmark, made by OpenSSL; ours loads its PKCS #1 form.
struct Shared {
    EVP_PKEY* Key = nullptr;
    Bytes Der;
    Bytes Signature;
    Shared() {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new_id(EVP_PKEY_RSA, nullptr);
        EVP_PKEY_keygen_init(ctx);
        EVP_PKEY_CTX_set_rsa_keygen_bits(ctx, 2048);
        EVP_PKEY_keygen(ctx, &Key);
        EVP_PKEY_CTX_free(ctx);
        unsigned char* der = nullptr;
        const int length = i2d_PrivateKey(Key, &der);
        Der.assign(der, der + length);
        OPENSSL_free(der);
        ::RSA* rsa = Ours();
        Bytes info = kSha256Info, digest = Digest();
        info.insert(info.end(), digest.begin(), digest.end());
        Signature.resize(257);
        uint32_t out = 0;
        RSA_Sign(rsa, info.data(), (uint32_t)info.size(), Signature.data(), 257, &out);
        Signature.resize(out);
        RSA_Delete(&rsa);
    }
    ::RSA* Ours() const {
        ::RSA* rsa = nullptr;
        RSA_Create(&rsa);
        RSA_SetPrivateKey(rsa, Der.data(), (uint32_t)Der.size());
        return rsa;
    }
    EVP_PKEY_CTX* Theirs(bool signing) const {
        EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(Key, nullptr);
        signing ? EVP_PKEY_sign_init(ctx) : EVP_PKEY_verify_init(ctx);
        EVP_PKEY_CTX_set_rsa_padding(ctx, RSA_PKCS1_PADDING);
        EVP_PKEY_CTX_set_signature_md(ctx, EVP_sha256());
        return ctx;
    }
};

const Shared& Key() {
    static Shared shared;
    return shared;
}

void BM_Ours_Verify(benchmark::State& state) {
    ::RSA* rsa = Key().Ours();
    const Bytes digest = Digest(), &signature = Key().Signature;
    for (auto _ : state) {
        int64_t ok = RSA_Verify(rsa, digest.data(), 32, signature.data(), (uint32_t)signature.size(), 2);
        if (!ok) state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(ok);
    }
    RSA_Delete(&rsa);
}

void BM_OpenSsl_Verify(benchmark::State& state) {
    EVP_PKEY_CTX* ctx = Key().Theirs(false);
    const Bytes digest = Digest(), &signature = Key().Signature;
    for (auto _ : state) {
        int ok = EVP_PKEY_verify(ctx, signature.data(), signature.size(), digest.data(), 32);
        if (ok != 1) state.SkipWithError("verification failed");
        benchmark::DoNotOptimize(ok);
    }
    EVP_PKEY_CTX_free(ctx);
}

void BM_Ours_Sign(benchmark::State& state) {
    ::RSA* rsa = Key().Ours();
    Bytes info = kSha256Info, digest = Digest(), out(257);
    info.insert(info.end(), digest.begin(), digest.end());
    for (auto _ : state) {
        uint32_t length = 0;
        RSA_Sign(rsa, info.data(), (uint32_t)info.size(), out.data(), 257, &length);
        benchmark::DoNotOptimize(out.data());
    }
    RSA_Delete(&rsa);
}

void BM_OpenSsl_Sign(benchmark::State& state) {
    EVP_PKEY_CTX* ctx = Key().Theirs(true);
    const Bytes digest = Digest();
    Bytes out(256);
    for (auto _ : state) {
        size_t length = out.size();
        EVP_PKEY_sign(ctx, out.data(), &length, digest.data(), 32);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_PKEY_CTX_free(ctx);
}

// base^exponent mod m with an odd modulus and an exponent of the modulus's size.
struct PowerInput {
    Bytes M, Base, Exponent;
    explicit PowerInput(int bits) {
        M = Pattern((size_t)bits / 8, 1);
        M[0] |= 0x80;
        M.back() |= 1;
        Base = Pattern((size_t)bits / 8, 2);
        Base[0] &= 0x7F;
        Exponent = Pattern((size_t)bits / 8, 3);
    }
};

void BM_Ours_MontgomeryPower(benchmark::State& state) {
    const PowerInput in((int)state.range(0));
    BigInt *m = nullptr, *base = nullptr, *exponent = nullptr, *r = nullptr;
    for (BigInt** b : {&m, &base, &exponent, &r}) BigInt_Create(b);
    BigInt_ImportBinary(m, in.M.data(), (uint32_t)in.M.size());
    BigInt_ImportBinary(base, in.Base.data(), (uint32_t)in.Base.size());
    BigInt_ImportBinary(exponent, in.Exponent.data(), (uint32_t)in.Exponent.size());
    Montgomery* c = nullptr;
    BigInt_MontgomeryCreate(&c, m);
    for (auto _ : state) {
        BigInt_MontgomeryPower(r, base, exponent, c);
        benchmark::DoNotOptimize(r->Words);
    }
    BigInt_MontgomeryDestroy(&c);
    for (BigInt** b : {&m, &base, &exponent, &r}) BigInt_Release(b);
}

void BM_OpenSsl_MontgomeryPower(benchmark::State& state) {
    const PowerInput in((int)state.range(0));
    BIGNUM* m = BN_bin2bn(in.M.data(), (int)in.M.size(), nullptr);
    BIGNUM* base = BN_bin2bn(in.Base.data(), (int)in.Base.size(), nullptr);
    BIGNUM* exponent = BN_bin2bn(in.Exponent.data(), (int)in.Exponent.size(), nullptr);
    BIGNUM* r = BN_new();
    BN_CTX* ctx = BN_CTX_new();
    BN_MONT_CTX* mont = BN_MONT_CTX_new();
    BN_MONT_CTX_set(mont, m, ctx);
    for (auto _ : state) {
        BN_mod_exp_mont(r, base, exponent, m, ctx, mont);
        benchmark::DoNotOptimize(r);
    }
    BN_MONT_CTX_free(mont);
    BN_CTX_free(ctx);
    for (BIGNUM* b : {m, base, exponent, r}) BN_free(b);
}

BENCHMARK(BM_Ours_Verify);
BENCHMARK(BM_OpenSsl_Verify);
BENCHMARK(BM_Ours_Sign);
BENCHMARK(BM_OpenSsl_Sign);
BENCHMARK(BM_Ours_MontgomeryPower)->Arg(1024)->Arg(2048)->Arg(4096);
BENCHMARK(BM_OpenSsl_MontgomeryPower)->Arg(1024)->Arg(2048)->Arg(4096);

PEER_RATIO("RSA-2048 verify", "BM_Ours_Verify", "BM_OpenSsl_Verify");
PEER_RATIO("RSA-2048 sign", "BM_Ours_Sign", "BM_OpenSsl_Sign");
PEER_RATIO("power mod 1024 bits", "BM_Ours_MontgomeryPower/1024", "BM_OpenSsl_MontgomeryPower/1024");
PEER_RATIO("power mod 2048 bits", "BM_Ours_MontgomeryPower/2048", "BM_OpenSsl_MontgomeryPower/2048");
PEER_RATIO("power mod 4096 bits", "BM_Ours_MontgomeryPower/4096", "BM_OpenSsl_MontgomeryPower/4096");

#endif

} // namespace

PEER_RATIO_MAIN()

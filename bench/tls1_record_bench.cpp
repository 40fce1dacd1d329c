// Bulk AES-128-GCM records through the TLS client's record layer beside OpenSSL doing a record
// layer's work (nonce, additional data, 16 KiB of cipher, tag, one copy to the reader) on the
// same amount of data; each pair prints our speed over OpenSSL's.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "bench/peer_ratio.h"
// OpenSSL's headers name a type X509 too; ours is only passed by pointer in these headers.
#define X509 QvrX509
#include "core/net/tls1_internal.h"
#undef X509

#ifdef QVR_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

constexpr uint32_t kRecord = 16384;
const char kSuite[] = "ecdhe-rsa-aes128-gcm-sha256";

std::vector<uint8_t> Buffer(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(i * 131 + seed);
    return b;
}

const std::vector<uint8_t> kRandom = Buffer(32, 1);
const std::vector<uint8_t> kMaster = Buffer(48, 2);

void Bytes(benchmark::State& state) {
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

TLS1* Writer(uint8_t* keyBlock) {
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    TLS1_InitForTest(tls, kSuite, 0x33, kRandom.data(), kRandom.data(), kMaster.data(), 1, keyBlock, 40, nullptr);
    tls->Flags |= TLS1_FLAG_WRITE_PROTECTED;
    return tls;
}

void BM_Ours_Tls1Send(benchmark::State& state) {
    uint8_t block[40];
    TLS1* tls = Writer(block);
    const std::vector<uint8_t> plain = Buffer((size_t)state.range(0), 3);
    std::vector<uint8_t> wire(plain.size() + 4096);
    for (auto _ : state) {
        uint32_t queued = 0, got = 0;
        TLS1_WritePut(tls, plain.data(), (uint32_t)plain.size(), &queued);
        TLS1_WriteGet(tls, wire.data(), (uint32_t)wire.size(), &got);
        benchmark::DoNotOptimize(wire.data());
    }
    TLS1_Release(&tls);
    Bytes(state);
}

void BM_Ours_Tls1Receive(benchmark::State& state) {
    // Records from a writer, read by a connection that reads with the writer's keys.
    uint8_t block[40];
    TLS1* writer = Writer(block);
    const std::vector<uint8_t> plain = Buffer((size_t)state.range(0), 3);
    std::vector<uint8_t> wire(plain.size() + 4096), out(plain.size());
    uint32_t queued = 0, length = 0;
    TLS1_WritePut(writer, plain.data(), (uint32_t)plain.size(), &queued);
    TLS1_WriteGet(writer, wire.data(), (uint32_t)wire.size(), &length);
    TLS1_Release(&writer);
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    TLS1_InitForTest(tls, kSuite, 0x33, kRandom.data(), kRandom.data(), kMaster.data(), 2, nullptr, 0, nullptr);
    tls->Flags |= TLS1_FLAG_READ_PROTECTED;
    for (auto _ : state) {
        memset(tls->ReadSequence, 0, 8);
        TLS1_ReadPut(tls, wire.data(), length);
        if (TLS1_ReadPackets(tls) != 1) state.SkipWithError("record refused");
        uint32_t got = 0;
        TLS1_ReadGet(tls, out.data(), (uint32_t)out.size(), &got);
        if (got != plain.size()) state.SkipWithError("short read");
    }
    TLS1_Release(&tls);
    Bytes(state);
}

BENCHMARK(BM_Ours_Tls1Send)->Arg(512 << 10);
BENCHMARK(BM_Ours_Tls1Receive)->Arg(512 << 10);

#ifdef QVR_HAVE_OPENSSL

// A record layer's work per 16 KiB record: nonce and additional data, the cipher and tag, and the
// copy between the connection's buffer and its user's.
template <bool Decrypting> void BM_Peer_Tls1Records(benchmark::State& state) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const std::vector<uint8_t> key = Buffer(16, 5), aad = Buffer(13, 6);
    std::vector<uint8_t> nonce = Buffer(12, 7);
    if (Decrypting)
        EVP_DecryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key.data(), nullptr);
    else
        EVP_EncryptInit_ex(ctx, EVP_aes_128_gcm(), nullptr, key.data(), nullptr);
    const std::vector<uint8_t> plain = Buffer((size_t)state.range(0), 3);
    std::vector<uint8_t> record(kRecord + 64), out(plain.size());
    uint8_t tag[16] = {};
    int n = 0;
    for (auto _ : state) {
        for (size_t at = 0; at < plain.size(); at += kRecord) {
            nonce[11]++;
            if (Decrypting) {
                memcpy(record.data(), plain.data() + at, kRecord);
                EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
                EVP_DecryptUpdate(ctx, nullptr, &n, aad.data(), (int)aad.size());
                EVP_DecryptUpdate(ctx, record.data(), &n, record.data(), (int)kRecord);
                EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag);
                EVP_DecryptFinal_ex(ctx, record.data() + n, &n); // a wrong tag costs the same
                memcpy(out.data() + at, record.data(), kRecord);
            } else {
                EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce.data());
                EVP_EncryptUpdate(ctx, nullptr, &n, aad.data(), (int)aad.size());
                EVP_EncryptUpdate(ctx, record.data(), &n, plain.data() + at, (int)kRecord);
                EVP_EncryptFinal_ex(ctx, record.data() + n, &n);
                EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag);
                memcpy(out.data() + at, record.data(), kRecord);
            }
        }
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    Bytes(state);
}

BENCHMARK_TEMPLATE(BM_Peer_Tls1Records, false)->Arg(512 << 10);
BENCHMARK_TEMPLATE(BM_Peer_Tls1Records, true)->Arg(512 << 10);

PEER_RATIO("TLS AES-128-GCM records, send 512 KiB", "BM_Ours_Tls1Send/524288", "BM_Peer_Tls1Records<false>/524288");
PEER_RATIO("TLS AES-128-GCM records, receive 512 KiB", "BM_Ours_Tls1Receive/524288",
           "BM_Peer_Tls1Records<true>/524288");

#endif

} // namespace

PEER_RATIO_MAIN();

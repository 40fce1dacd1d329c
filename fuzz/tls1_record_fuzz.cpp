// Feeds arbitrary bytes to a TLS client as if a server sent them, in pieces of varying size: in
// the clear after the hello (framing, alerts, the handshake reader) or under the keys of a
// chosen suite and version (record decryption, padding and MAC checks).
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/net/tls1_internal.h"

namespace {

const char* const kSuites[] = {"ecdhe-rsa-aes128-gcm-sha256", "ecdhe-rsa-aes256-gcm-sha384", "rsa-aes128-sha",
                               "ecdhe-rsa-aes256-sha384", "rsa-aes256-sha256", "rc4-sha", "rc4-md5"};
const uint32_t kPieces[] = {1, 5, 7, 64, 300, 5000, 17408, 40000};

void Drain(TLS1* tls) {
    static uint8_t sink[65536];
    uint32_t got = 0;
    do TLS1_ReadGet(tls, sink, sizeof(sink), &got);
    while (got);
    do TLS1_WriteGet(tls, sink, sizeof(sink), &got);
    while (got);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const uint8_t mode = data[0];
    const uint32_t piece = kPieces[data[1] & 7];
    data += 2;
    size -= 2;
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    if (mode & 0x80) {
        // Protected: a suite, a version and keys from a fixed master secret.
        static const uint8_t kRandom[32] = {1, 2, 3};
        static const uint8_t kMaster[48] = {4, 5, 6};
        const char* suite = kSuites[(mode & 0x7F) % (sizeof(kSuites) / sizeof(kSuites[0]))];
        const uint32_t version = 0x31 + (mode >> 4) % 3;
        TLS1_InitForTest(tls, suite, version, kRandom, kRandom, kMaster, 0, nullptr, 0, nullptr);
        tls->Flags |= TLS1_FLAG_READ_PROTECTED;
    } else {
        uint32_t error = 0;
        TLS1_Connect(tls, (mode & 1) ? "example.test" : "", &error);
    }
    Drain(tls);
    for (size_t at = 0; at < size;) {
        const uint32_t take = size - at < piece ? (uint32_t)(size - at) : piece;
        int32_t left = 0;
        TLS1_ReadGetBufferLeft(tls, &left);
        if (left <= 0) break;
        const uint32_t put = take < (uint32_t)left ? take : (uint32_t)left;
        if (TLS1_ReadPut(tls, data + at, put) != 1) abort();
        at += put;
        const int64_t result = TLS1_ReadPackets(tls);
        uint32_t code = 0;
        TLS1_GetLastError(tls, &code);
        // A failure is a recorded failure: with no number it must still refuse what follows.
        if (result == 0 && code == 0 && !(tls->Flags & TLS1_FLAG_FAILED)) abort();
        if (result == 1 && code != 0) abort();
        Drain(tls);
    }
    TLS1_Release(&tls);
    return 0;
}

// Feeds arbitrary bytes to a TLS client as if a server sent them, in pieces of varying size: in
// the clear after the hello (framing, alerts, the handshake reader), under the keys of a chosen
// suite and version (record decryption, padding and MAC checks), or as records of any type and
// content that a second connection protected with the keys the reader expects (what follows a
// good MAC), now and then with one byte changed.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/net/tls1_internal.h"

namespace {

const char* const kSuites[] = {"ecdhe-rsa-aes128-gcm-sha256", "ecdhe-rsa-aes256-gcm-sha384", "rsa-aes128-sha",
                               "ecdhe-rsa-aes256-sha384", "rsa-aes256-sha256", "rc4-sha", "rc4-md5"};
const uint32_t kPieces[] = {1, 5, 7, 64, 300, 5000, 17408, 40000};
const uint8_t kRandom[32] = {1, 2, 3};
const uint8_t kMaster[48] = {4, 5, 6};

void Drain(TLS1* tls) {
    static uint8_t sink[65536];
    uint32_t got = 0;
    do TLS1_ReadGet(tls, sink, sizeof(sink), &got);
    while (got);
    do TLS1_WriteGet(tls, sink, sizeof(sink), &got);
    while (got);
}

// Records of the types and contents the input names, protected by a writer with the same keys:
// [type, length low, length high, content...] repeated; bit 0x40 of the mode spoils one byte.
std::vector<uint8_t> Protected(const char* suite, uint32_t version, uint8_t mode, const uint8_t* data, size_t size) {
    TLS1* writer = nullptr;
    TLS1_Create(&writer);
    TLS1_InitForTest(writer, suite, version, kRandom, kRandom, kMaster, 1, nullptr, 0, nullptr);
    writer->Flags |= TLS1_FLAG_WRITE_PROTECTED;
    std::vector<uint8_t> out;
    for (size_t at = 0; at + 3 <= size;) {
        const uint8_t type = (uint8_t)(20 + data[at] % 5);
        uint32_t length = (uint32_t)data[at + 1] | (uint32_t)(data[at + 2] & 0x3F) << 8;
        at += 3;
        if (length > size - at) length = (uint32_t)(size - at);
        if (TLS1_PacketQueue(writer, type, data + at, length) != 1) break;
        at += length;
        uint8_t record[TLS1_RECORD_BUFFER];
        uint32_t got = 0;
        TLS1_WriteGet(writer, record, sizeof(record), &got);
        out.insert(out.end(), record, record + got);
    }
    TLS1_Release(&writer);
    if ((mode & 0x40) && !out.empty()) out[(data[0] * 131u + size) % out.size()] ^= (uint8_t)(1 + data[1] % 255);
    return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3) return 0;
    const uint8_t mode = data[0];
    const uint8_t choice = data[1];
    const uint32_t piece = kPieces[data[2] & 7];
    data += 3;
    size -= 3;
    const char* suite = kSuites[choice % (sizeof(kSuites) / sizeof(kSuites[0]))];
    const uint32_t version = 0x31 + (choice >> 4) % 3;
    std::vector<uint8_t> input(data, data + size);
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    if (mode & 0x80) {
        const bool loopback = (mode & 0x20) != 0;
        TLS1_InitForTest(tls, suite, version, kRandom, kRandom, kMaster, loopback ? 2 : 0, nullptr, 0, nullptr);
        tls->Flags |= TLS1_FLAG_READ_PROTECTED;
        if (loopback) input = Protected(suite, version, mode, data, size);
    } else {
        uint32_t error = 0;
        TLS1_Connect(tls, (mode & 1) ? "example.test" : "", &error);
    }
    Drain(tls);
    for (size_t at = 0; at < input.size();) {
        const uint32_t take = input.size() - at < piece ? (uint32_t)(input.size() - at) : piece;
        int32_t left = 0;
        TLS1_ReadGetBufferLeft(tls, &left);
        if (left <= 0) break;
        const uint32_t put = take < (uint32_t)left ? take : (uint32_t)left;
        if (TLS1_ReadPut(tls, input.data() + at, put) != 1) abort();
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

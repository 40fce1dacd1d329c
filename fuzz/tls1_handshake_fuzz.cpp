// Feeds arbitrary bytes as the server's side of a connection to a client that has just sent its
// ClientHello for "localhost". The first byte picks how the rest is cut before it reaches the
// client (0: all at once, else pieces of that many times 67 bytes), so records and handshake
// messages are split at every place. Certificates are not checked against a store, so that the
// flight can get as far as the client's own.
#include <cstdint>
#include <cstring>

#include "core/certs/authenticate.h"
#include "core/net/tls1.h"

namespace {

void Drain(TLS1* tls) {
    uint8_t sink[4096];
    uint32_t got = 0;
    while (TLS1_WriteGet(tls, sink, sizeof(sink), &got) == 1 && got > 0) {
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 256 * 1024) return 0;
    static const bool ready = [] {
        Authenticate_SetEnabled(0);
        TLS1_CiphersEnable(1);
        return true;
    }();
    (void)ready;
    // A fresh trust cache each run: what one input verified never shortens the next.
    TLS1_Init();
    TLS1* tls = nullptr;
    TLS1_Create(&tls);
    uint32_t error = 0;
    TLS1_Connect(tls, "localhost", &error);
    Drain(tls);
    const size_t piece = data[0] ? (size_t)data[0] * 67 : size;
    for (size_t at = 1; at < size;) {
        const size_t n = size - at < piece ? size - at : piece;
        TLS1_ReadPut(tls, data + at, (uint32_t)n);
        at += n;
        const int64_t result = TLS1_ReadPackets(tls);
        Drain(tls);
        uint8_t plain[4096];
        uint32_t got = 0;
        while (TLS1_ReadGet(tls, plain, sizeof(plain), &got) == 1 && got > 0) {
        }
        if (result != 1) break;
    }
    TLS1_Delete(&tls);
    TLS1_Remove();
    return 0;
}

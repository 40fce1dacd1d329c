// Stand-ins for the TLS handshake until its own file lands: just enough context and hello for the
// record layer and the key schedule to run.
#include <cstring>

#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/net/tls1_internal.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

int64_t TLS1_HandshakeContextCreate(TLS1* tls) {
    auto* context = static_cast<TLS1HandshakeContext*>(Memory_AllocZero(sizeof(TLS1HandshakeContext)));
    Hash_Create(&context->MD5);
    Hash_SetInterface(context->MD5, &MD5_INTERFACE);
    Hash_Create(&context->SHA1);
    Hash_SetInterface(context->SHA1, &SHA1_INTERFACE);
    Hash_Create(&context->HandshakeHash);
    tls->HandshakeContext = context;
    return 1;
}

int64_t TLS1_HandshakeContextDelete(TLS1* tls) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 1;
    if (context->KeyBlock) Memory_Free(context->KeyBlock, context->KeyBlockLength);
    Hash_Release(&context->MD5);
    Hash_Release(&context->SHA1);
    Hash_Release(&context->HandshakeHash);
    if (context->ServerCertificate) X509_Release(&context->ServerCertificate);
    if (context->Pending) Memory_Free(context->Pending, context->PendingCapacity);
    Memory_Free(context, sizeof(TLS1HandshakeContext));
    tls->HandshakeContext = nullptr;
    return 1;
}

int64_t TLS1_HandshakeReset(TLS1* tls) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 0;
    Hash_Reset(context->MD5);
    Hash_Reset(context->SHA1);
    Hash_SetInterface(context->HandshakeHash, nullptr);
    memset(context->MasterSecret, 0, sizeof(context->MasterSecret));
    memset(context->ServerRandom, 0, sizeof(context->ServerRandom));
    context->PendingLength = 0;
    return 1;
}

int64_t TLS1_ClientHelloQueue(TLS1* tls, const char* host, uint32_t) {
    static const uint8_t kHello[4] = {TLS1_HS_CLIENT_HELLO, 0, 0, 0};
    if (TLS1_PacketQueue(tls, TLS1_CONTENT_HANDSHAKE, kHello, sizeof(kHello)) != 1) return 0;
    tls->ExpectedHandshakeType = TLS1_HS_SERVER_HELLO;
    String_CopyLength(tls->Host, host, (int32_t)TLS1_HOST_CAPACITY);
    return 1;
}

int64_t TLS1_HandshakeRead(TLS1*, const uint8_t*, uint32_t) {
    return 1;
}

int64_t TLS1_CollectForFinished(TLS1* tls, const uint8_t* message, uint32_t length, uint8_t) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 0;
    Hash_Process(context->MD5, message, length, nullptr);
    Hash_Process(context->SHA1, message, length, nullptr);
    Hash_Process(context->HandshakeHash, message, length, nullptr);
    return 1;
}

const char* TLS1_HandshakeMessageName(uint8_t) {
    return "Unknown";
}

int64_t TLS1_HandshakeStateDisplay(TLS1* tls, uint8_t type, uint32_t direction) {
    return TLS1_VerboseLog(tls, 0, "Handshake State (%s): %s", direction == 1 ? "TX" : "RX",
                           TLS1_HandshakeMessageName(type));
}

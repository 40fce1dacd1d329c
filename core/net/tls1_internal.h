// The TLS1 object's layout and the operations its record layer, key schedule and handshake
// share. Not for callers outside core/net.
#pragma once

#include <cstdint>

#include "core/certs/pkcs12.h"
#include "core/certs/x509.h"
#include "core/crypto/ecdhe.h"
#include "core/crypto/hash.h"
#include "core/crypto/hmac.h"
#include "core/net/tls1.h"
#include "core/runtime/callback.h"

// Record content types.
enum : uint8_t {
    TLS1_CONTENT_CHANGE_CIPHER_SPEC = 20,
    TLS1_CONTENT_ALERT = 21,
    TLS1_CONTENT_HANDSHAKE = 22,
    TLS1_CONTENT_APPLICATION_DATA = 23,
};

// Handshake message types.
enum : uint8_t {
    TLS1_HS_HELLO_REQUEST = 0,
    TLS1_HS_CLIENT_HELLO = 1,
    TLS1_HS_SERVER_HELLO = 2,
    TLS1_HS_CERTIFICATE = 11,
    TLS1_HS_SERVER_KEY_EXCHANGE = 12,
    TLS1_HS_CERTIFICATE_REQUEST = 13,
    TLS1_HS_SERVER_HELLO_DONE = 14,
    TLS1_HS_CERTIFICATE_VERIFY = 15,
    TLS1_HS_CLIENT_KEY_EXCHANGE = 16,
    TLS1_HS_FINISHED = 20,
};

// State flags.
enum : uint32_t {
    TLS1_FLAG_WANT_HEADER = 1,
    TLS1_FLAG_WRITE_PROTECTED = 2,
    TLS1_FLAG_READ_PROTECTED = 4,
    TLS1_FLAG_CLIENT = 16,
    TLS1_FLAG_CERT_REQUESTED = 32,
    TLS1_FLAG_CLOSE_NOTIFY_SENT = 64,
    // A failure that names no alert (a host-name mismatch, say) still ends the connection:
    // further input is discarded as after a recorded alert.
    TLS1_FLAG_FAILED = 128,
};

enum : uint32_t {
    TLS1_MASTER_SECRET = 48,
    TLS1_RANDOM = 32,
    TLS1_VERIFY_DATA = 12,
    TLS1_MAC_KEY_MAX = 64,
    TLS1_HOST_CAPACITY = 512,
    TLS1_KEYLOG_PATH_CAPACITY = 320,
    TLS1_REQUESTED_ALGORITHMS_MAX = 128,
    // A handshake message is reassembled from as many records as it spans, up to this size.
    TLS1_HANDSHAKE_MESSAGE_MAX = 1048576,
};

struct TLS1HandshakeContext {
    Hash* MD5;            // running digests for TLS 1.0 and 1.1
    Hash* SHA1;
    Hash* HandshakeHash;  // TLS 1.2: SHA-256 or SHA-384, chosen at the ServerHello
    X509* ServerCertificate;
    PKCS12* ClientCertificate;     // present exactly when CertVerifyHashHandle is
    Hash* CertVerifyHashHandle;
    uint32_t ClientSignatureAlgorithm; // hash x 256 + signature
    uint8_t* KeyBlock;
    uint32_t KeyBlockLength;
    uint8_t ExpectedServerVerifyData[TLS1_VERIFY_DATA];
    uint8_t MasterSecret[TLS1_MASTER_SECRET];
    uint8_t ClientRandom[TLS1_RANDOM];
    uint8_t ServerRandom[TLS1_RANDOM];
    uint32_t ServerKeyExchangeRead; // an ECDHE ServerKeyExchange came in this handshake
    // A handshake message being collected across records.
    uint8_t* Pending;
    uint32_t PendingLength;
    uint32_t PendingCapacity;
};

struct TLS1 {
    Class Header;
    ClassPrint Print;
    const TLS1CipherInfo* CipherInfo; // null until a ServerHello chose a suite
    CertStoreInterface* CertStore;
    HMAC* ReadMAC;
    HMAC* WriteMAC;
    CryptSymmetric* WriteCipher;
    CryptSymmetric* ReadCipher;
    ECDHE* ECDHEHandle;
    MemoryStream* Received; // raw bytes from the server not yet consumed as records
    DuplexStream* Stream;   // write side: records to send; read side: decrypted data
    uint32_t ExpectedHandshakeType;
    volatile uint32_t HandshakeComplete;
    volatile uint32_t Connected;
    uint32_t RecordVersion;
    uint32_t ActiveVersion;
    volatile uint32_t LastError;
    uint32_t Flags;
    uint32_t BytesWanted;
    char Host[TLS1_HOST_CAPACITY];
    uint8_t RecordHeader[TLS1_RECORD_HEADER];
    uint8_t ReadSequence[8];
    uint8_t WriteSequence[8];
    uint8_t WriteIV[16];
    uint8_t ReadIV[16];
    uint8_t MACClient[TLS1_MAC_KEY_MAX];
    uint8_t MACServer[TLS1_MAC_KEY_MAX];
    uint8_t RequestedCertificateTypes[2];
    uint32_t RequestedCertificateTypeCount;
    uint16_t RequestedSignAlgorithms[TLS1_REQUESTED_ALGORITHMS_MAX];
    uint32_t RequestedSignAlgorithmCount;
    TLS1HandshakeContext* HandshakeContext;
    TLS1ClientCertRequestFunc ClientCertRequest;
    void* ClientCertRequestUser;
    // Secure renegotiation: whether the server's last completed hello confirmed it, whether the
    // running handshake is a renegotiation, and the verify data of the last Finished messages,
    // which a renegotiation's hellos must carry.
    uint32_t SecureRenegotiation;
    uint32_t Renegotiating;
    uint8_t ClientVerifyData[TLS1_VERIFY_DATA];
    uint8_t ServerVerifyData[TLS1_VERIFY_DATA];
    uint8_t* WorkBuffer; // TLS1_RECORD_BUFFER bytes: the record being built
    uint8_t* ReadBuffer; // TLS1_RECORD_BUFFER bytes: the content of the record being read
};

// ---- Record layer ----------------------------------------------------------------------------
// Builds, protects and queues one record; 0 (nothing written) without room for a whole record.
int64_t TLS1_PacketQueue(TLS1* tls, uint8_t type, const uint8_t* data, uint32_t length);
// Queues a close_notify; sets TLS1_FLAG_CLOSE_NOTIFY_SENT.
int64_t TLS1_AlertSend(TLS1* tls);
// Queues an alert of the level (1 warning, 2 fatal) and description.
int64_t TLS1_AlertQueue(TLS1* tls, uint8_t level, uint8_t description);
int64_t TLS1_AlertDisplay(TLS1* tls, uint8_t level, uint8_t description);
// The MAC of a record: HMAC over sequence number, header (with the content length) and content.
int64_t TLS1_PacketHMACDigest(TLS1* tls, HMAC* mac, const uint8_t* key, const uint8_t sequence[8],
                              const uint8_t header[5], const uint8_t* content, uint32_t length, uint8_t* out);
// The 13 bytes of GCM additional data: sequence number, type, version, plaintext length.
void TLS1_PacketAdditionalData(const uint8_t sequence[8], uint8_t type, uint8_t major, uint8_t minor,
                               uint32_t length, uint8_t out[13]);
// Stores a non-zero code as the last error atomically and sets TLS1_FLAG_FAILED; 0.
int64_t TLS1_Fail(TLS1* tls, uint32_t code);

// ---- Key schedule ----------------------------------------------------------------------------
int64_t TLS1_PRF(TLS1* tls, const uint8_t* secret, uint32_t secretLength, const uint8_t* labelSeed,
                 uint32_t labelSeedLength, uint8_t* out, uint32_t outLength);
int64_t TLS1_PRFHash(const HashInterface* record, const uint8_t* secret, uint32_t secretLength,
                     const uint8_t* data, uint32_t dataLength, uint8_t* out, uint32_t outLength);
// Derives the master secret from the premaster secret and the randoms, then writes the key-log
// line when a path is set.
int64_t TLS1_MasterSecret(TLS1* tls, const uint8_t* premaster, uint32_t length);
// Derives the key block and installs one direction's keys (1 write, 0 read).
int64_t TLS1_SetKeyBlock(TLS1* tls, uint32_t direction);
// The same, also copying the key block out (up to capacity) with its full length.
int64_t TLS1_SetKeyBlockInt(TLS1* tls, uint32_t direction, uint8_t* keyBlock, uint32_t capacity,
                            uint32_t* keyBlockLength);
int64_t TLS1_DigestFinished(TLS1* tls, Hash* hash, const char* label, uint8_t* out, uint32_t capacity,
                            uint32_t* outLength);
// The process-wide trust cache (null before TLS1_Init).
struct CertStoreThumbprint;
CertStoreThumbprint* TLS1_TrustCache();

// ---- Test entry points: one record protected or checked with known keys, no handshake ------
// Chooses the suite by name (enabled or not) and the version, sets both randoms and the master
// secret, zeroes the sequence numbers and installs one direction's keys (1 write, 0 read, 2 read
// with the client's write keys: reads what another connection wrote), handing the key block out.
int64_t TLS1_InitForTest(TLS1* tls, const char* suite, uint32_t version, const uint8_t clientRandom[32],
                         const uint8_t serverRandom[32], const uint8_t masterSecret[48], uint32_t direction,
                         uint8_t* keyBlock, uint32_t capacity, uint32_t* keyBlockLength);
// Turns protection on, makes the next GCM record carry the given explicit nonce (null: go on
// counting), queues one record and takes its bytes.
int64_t TLS1_DraftSendForTest(TLS1* tls, uint8_t type, const uint8_t* data, uint32_t length,
                              const uint8_t* explicitNonce, uint8_t* out, uint32_t capacity, uint32_t* outLength);
// Turns decryption on, feeds the bytes (stops the process when the received-bytes buffer does
// not take them all), reads records and takes the plaintext; the answer of TLS1_ReadPackets.
int64_t TLS1_DraftReceiveForTest(TLS1* tls, const uint8_t* bytes, uint32_t count, uint8_t* out, uint32_t capacity,
                                 uint32_t* outLength);

// ---- Handshake -------------------------------------------------------------------------------
int64_t TLS1_HandshakeContextCreate(TLS1* tls);
// Frees the key block, removes the client certificate, deletes the digests and the server
// certificate.
int64_t TLS1_HandshakeContextDelete(TLS1* tls);
// Clears the per-handshake state for a new ClientHello.
int64_t TLS1_HandshakeReset(TLS1* tls);
// Builds and queues the ClientHello; stores the host.
int64_t TLS1_ClientHelloQueue(TLS1* tls, const char* host, uint32_t renegotiation);
// The content of one handshake record; messages may span records. 0 on failure, the code (or
// none) already stored.
int64_t TLS1_HandshakeRead(TLS1* tls, const uint8_t* data, uint32_t length);
int64_t TLS1_CollectForFinished(TLS1* tls, const uint8_t* message, uint32_t length, uint8_t type);
int64_t TLS1_HandshakeStateDisplay(TLS1* tls, uint8_t type, uint32_t direction);
const char* TLS1_HandshakeMessageName(uint8_t type);

// TLS1: the client side of TLS 1.0, 1.1 and 1.2, one object per connection. It owns no socket:
// the caller feeds it the bytes received from the server (ReadPut, ReadPackets), takes from it
// the record bytes to send (WriteGet), and exchanges plaintext through the object's duplex
// stream (WritePut / WriteFill, ReadGet / ReadFillTarget). Failures are recorded as TLS alert
// numbers and never sent to the server; the only alert we send is close_notify.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/certs/cert_store.h"
#include "core/crypto/crypt_symmetric.h"
#include "core/crypto/hash.h"
#include "core/platform/duplex_stream.h"
#include "core/platform/memory_stream.h"
#include "core/runtime/class.h"

enum : uint32_t { TLS1_CLASS_ID = 0xB292972F };

// Protocol versions: the low nibble is the minor number of the wire version 3,x.
enum : uint8_t {
    TLS1_VERSION_1_0 = 0x31,
    TLS1_VERSION_1_1 = 0x32,
    TLS1_VERSION_1_2 = 0x33,
};

// Record-layer limits.
enum : uint32_t {
    TLS1_RECORD_HEADER = 5,
    TLS1_RECORD_PLAINTEXT_MAX = 16384,
    // Largest record body accepted from a server.
    TLS1_RECORD_BODY_MAX = 17403,
    // One record's work buffer; a record is queued only with this much outgoing room.
    TLS1_RECORD_BUFFER = 18432,
    // The received-bytes buffer never grows beyond this.
    TLS1_RECEIVE_BUFFER_MAX = 1048576,
};

// Alert numbers recorded as the last error.
enum : uint32_t {
    TLS1_ALERT_CLOSE_NOTIFY = 0,
    TLS1_ALERT_UNEXPECTED_MESSAGE = 10,
    TLS1_ALERT_BAD_RECORD_MAC = 20,
    TLS1_ALERT_HANDSHAKE_FAILURE = 40,
    TLS1_ALERT_BAD_CERTIFICATE = 42,
    TLS1_ALERT_ILLEGAL_PARAMETER = 47,
    TLS1_ALERT_DECODE_ERROR = 50,
    TLS1_ALERT_DECRYPT_ERROR = 51,
    TLS1_ALERT_PROTOCOL_VERSION = 70,
    TLS1_ALERT_NO_RENEGOTIATION = 100,
};

// ---- Suite table and version window (process-wide, set at start-up) --------------------------
struct TLS1CipherInfo {
    uint16_t Code;
    uint32_t KeySize;          // bytes
    uint32_t IVSize;           // 16 CBC, 12 GCM nonce, 0 RC4
    uint32_t PaddingBlockSize; // 16 CBC, else 0
    const ::CryptSymmetricInterface* CryptInterface;
    const ::HashInterface* HashInterface; // MAC hash; under TLS 1.2 it also picks the PRF hash
    uint32_t Enabled;
};
enum : uint32_t { TLS1_CIPHER_COUNT = 20 };
// In offer order; every row starts disabled.
extern TLS1CipherInfo TLS1_CipherInfo[TLS1_CIPHER_COUNT];
extern uint8_t TLS1_Version_Min; // default 0x31
extern uint8_t TLS1_Version_Max; // default 0x33

// The code of a suite name (case ignored); 0 with "Unknown cipher suite: %s\n" logged.
uint16_t TLS1_CipherTranslate(const char* name);
// Enables (1) or disables (0) the row with the code; 0 when no row has it.
int64_t TLS1_CipherEnable(uint16_t code, uint32_t enable);
int64_t TLS1_CiphersEnable(uint32_t enable);
// "1.0" 0x31, "1.1" 0x32, "1.2" 0x33, anything else 0.
uint8_t TLS1_VersionTranslate(const char* text);
// "1.0", "1.1", "1.2" or "Unknown".
const char* TLS1_VersionToString(uint32_t version);
int64_t TLS_VersionSetMin(uint8_t version);
// Values above 0x33 are stored as 0x33.
int64_t TLS_VersionSetMax(uint8_t version);

// ---- Process-wide state ----------------------------------------------------------------------
// Creates and releases the trust cache shared by every connection.
int64_t TLS1_Init();
int64_t TLS1_Remove();
// Where to append "CLIENT_RANDOM <client random> <master secret>" lines (0600); empty: nowhere.
int64_t TLS1_SetKeyLogPath(const char* path);

// ---- The connection --------------------------------------------------------------------------
struct TLS1;

int64_t TLS1_Create(TLS1** handle);
int64_t TLS1_Delete(TLS1** handle);
int64_t TLS1_AddRef(TLS1* tls);
int64_t TLS1_Release(TLS1** handle);
int64_t TLS1_GetInstanceId(TLS1* tls, char* buffer, int32_t size);

// Releases the store held and holds a new reference to the given one (or none).
int64_t TLS1_SetCertStoreHandle(TLS1* tls, CertStoreInterface* store);
// Resets the connection and queues the ClientHello for the host (empty: no server_name); on
// failure 0 with 40 in *error.
int64_t TLS1_Connect(TLS1* tls, const char* host, uint32_t* error);

// Pumping. Bytes received from the socket go in with ReadPut; ReadPackets consumes whole
// records (1: no error so far, possibly waiting for more bytes; 0: failed, see GetLastError).
int64_t TLS1_ReadPut(TLS1* tls, const void* bytes, uint32_t count);
int64_t TLS1_ReadPackets(TLS1* tls);
// How many bytes the caller may read from the socket now.
int64_t TLS1_ReadGetBufferLeft(TLS1* tls, int32_t* count);
// Decrypted application data waiting, and taking it.
int64_t TLS1_ReadGetBufferUsed(TLS1* tls, int32_t* count);
int64_t TLS1_ReadGet(TLS1* tls, void* buffer, uint32_t size, uint32_t* count);
int64_t TLS1_ReadFillTarget(TLS1* tls, DuplexStream* target);
// Cuts plaintext into records of at most 16384 bytes and queues them; *queued is the plaintext
// taken; 1 when above 0 (an empty input gives 1).
int64_t TLS1_WritePut(TLS1* tls, const void* bytes, uint32_t count, uint32_t* queued);
// Queues plaintext from the write side of the source; what does not fit stays there.
int64_t TLS1_WriteFill(TLS1* tls, DuplexStream* source);
// Record bytes waiting to be sent, room left for more, and taking them.
int64_t TLS1_WriteGetBufferUsed(TLS1* tls, int32_t* count);
int64_t TLS1_WriteGetBufferLeft(TLS1* tls, int32_t* count);
int64_t TLS1_WriteGet(TLS1* tls, void* buffer, uint32_t size, uint32_t* count);

int64_t TLS1_SendCloseNotify(TLS1* tls);
// Empties both streams and clears the connection; the object can be connected again.
int64_t TLS1_Close(TLS1* tls);
int64_t TLS1_IsConnected(TLS1* tls);
int64_t TLS1_IsHandshakeComplete(TLS1* tls);
int64_t TLS1_GetLastError(TLS1* tls, uint32_t* code);
int64_t TLS1_ClearLastError(TLS1* tls);

// ---- Client certificates ---------------------------------------------------------------------
// Installs the identity of a PKCS #12 file held in the stream (null removes it). The key type
// must be one the server's last CertificateRequest asked for, so the caller installs it after a
// handshake that asked and connects again.
int64_t TLS1_SetClientCert(TLS1* tls, MemoryStream* stream, const char* password);
// The certificate types of the last CertificateRequest joined by "," ("rsa", "ecdsa").
int64_t TLS1_GetRequestedCertificateTypes(TLS1* tls, char* text, int32_t capacity);
// Its signature algorithms (hash x 256 + signature), at most 128.
int64_t TLS1_GetRequestedSignAlgorithms(TLS1* tls, uint16_t* algorithms, uint32_t* count);
// Called with (tls, user) when a server asks for a certificate and none is installed.
typedef void (*TLS1ClientCertRequestFunc)(TLS1* tls, void* user);
int64_t TLS1_SetClientCertRequestCallback(TLS1* tls, TLS1ClientCertRequestFunc function, void* user);

// ---- Printing --------------------------------------------------------------------------------
int64_t TLS1_VPrint(TLS1* tls, int32_t indent, const char* format, va_list args);
int64_t TLS1_Print(TLS1* tls, const char* format, ...);
int64_t TLS1_PrintTabbed(TLS1* tls, int32_t indent, const char* format, ...);
// The default output: one DEBUG log line.
int64_t TLS1_PrintInternal(void* user, const char* format, ...);
int64_t TLS1_IsVerboseLevel(TLS1* tls, int32_t level);
int64_t TLS1_VerboseLog(TLS1* tls, int32_t level, const char* format, ...);
int64_t TLS1_SetPrintCallback(TLS1* tls, void* user, ClassPrintCallback callback);
int64_t TLS1_GetPrintCallback(TLS1* tls, void** user, ClassPrintCallback* callback);
int64_t TLS1_SetPrintIdentifier(TLS1* tls, const char* text);
int64_t TLS1_SetVerbose(TLS1* tls, uint32_t verbose);
int64_t TLS1_GetVerbose(TLS1* tls, uint32_t* verbose);

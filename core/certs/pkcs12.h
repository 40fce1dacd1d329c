// PKCS12: a password-protected key and certificate file (PFX) holding the TLS client's own
// identity: one RSA or ECDSA private key and the certificates that came with it, the first of
// which is presented to a server. Integrity is an HMAC keyed from the password; the bags must be
// encrypted with SHA-1 and 128-bit RC4 ("PBE-SHA1-RC4-128").
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/certs/asn1.h"
#include "core/certs/x509.h"
#include "core/crypto/hash.h"
#include "core/runtime/class.h"

enum : uint32_t { PKCS12_CLASS_ID = 0xF6F257FB };

// The key-derivation purposes of the password-based key function.
enum : uint8_t {
    PKCS12_PURPOSE_KEY = 1,
    PKCS12_PURPOSE_MAC = 3,
};

struct PKCS12;

int64_t PKCS12_Create(PKCS12** handle);
// Frees the certificates and the key; nulls the handle.
int64_t PKCS12_Delete(PKCS12** handle);
int64_t PKCS12_AddRef(PKCS12* pkcs12);
int64_t PKCS12_Release(PKCS12** handle);
int64_t PKCS12_GetInstanceId(PKCS12* pkcs12, char* buffer, int32_t size);

// Reads the decoded PFX (the tree of ASN1_Decode over the file) with the UTF-8 password. The
// MAC is checked before any bag is opened; encrypted bags are decrypted in copies, so the
// caller's buffer is left as it was and may be built again. Any failure leaves the object with
// no key and no certificates. A null password reads as the empty one; text that is not UTF-8 is
// refused.
int64_t PKCS12_Build(PKCS12* pkcs12, ASN1* root, const char* password);
uint32_t PKCS12_Count(PKCS12* pkcs12);
// Certificates in the order of their bags; entry 0 is the client certificate. Borrowed.
int64_t PKCS12_Get(PKCS12* pkcs12, int32_t index, X509** cert);
int64_t PKCS12_IssuerFind(PKCS12* pkcs12, X509* cert, X509** issuer);
// CryptAsymmetric_Sign with the private key.
int64_t PKCS12_Sign(PKCS12* pkcs12, const uint8_t* digest, uint32_t length, uint8_t* out, uint32_t size,
                    uint32_t* outLength);
// The salt (8 bytes, pointing into the tree) and the iteration count of a PBE-SHA1-RC4-128
// AlgorithmIdentifier node.
int64_t PKCS12_GetPBEParams(ASN1* algorithm, const uint8_t** salt, uint32_t* iterations);
// The password-based key function (RFC 7292 appendix B.2) over any digest record: `length`
// bytes of key for the purpose, from the password in its PKCS #12 form (UTF-16 big-endian with a
// two-byte terminator) and the salt, each repeated to whole blocks of 64 bytes (128 for SHA-384
// and SHA-512), with as many output blocks as the length needs. An iteration count of 0 hashes
// once, as 1 does. A MAC key is derived with the MAC's own digest.
int64_t PKCS12_DeriveKey(const HashInterface* record, const uint8_t* password, uint32_t passwordLength,
                         const uint8_t* salt, uint32_t saltLength, uint32_t iterations, uint8_t purpose,
                         uint8_t* out, uint32_t length);
// The key function with SHA-1 and an 8-byte salt. Purpose PKCS12_PURPOSE_KEY: the data is
// decrypted in place with RC4 under a 16-byte key. Any other purpose: `length` bytes of key are
// written to `data`.
int64_t PKCS12_Decrypt(const uint8_t* password, uint32_t passwordLength, const uint8_t* salt, uint32_t iterations,
                       uint8_t* data, uint32_t length, uint8_t purpose);

// ---- Printing --------------------------------------------------------------------------------
int64_t PKCS12_VPrint(PKCS12* pkcs12, int32_t indent, const char* format, va_list args);
int64_t PKCS12_Print(PKCS12* pkcs12, const char* format, ...);
int64_t PKCS12_PrintTabbed(PKCS12* pkcs12, int32_t indent, const char* format, ...);
// The default output: one DEBUG log line.
int64_t PKCS12_PrintInternal(void* user, const char* format, ...);
int64_t PKCS12_IsVerboseLevel(PKCS12* pkcs12, int32_t level);
int64_t PKCS12_VerboseLog(PKCS12* pkcs12, int32_t level, const char* format, ...);
int64_t PKCS12_SetPrintCallback(PKCS12* pkcs12, void* user, ClassPrintCallback callback);
int64_t PKCS12_GetPrintCallback(PKCS12* pkcs12, void** user, ClassPrintCallback* callback);
int64_t PKCS12_SetPrintIdentifier(PKCS12* pkcs12, const char* text);
int64_t PKCS12_SetVerbose(PKCS12* pkcs12, uint32_t verbose);
int64_t PKCS12_GetVerbose(PKCS12* pkcs12, uint32_t* verbose);

// PKCS7: a PKCS #7 / CMS SignedData blob (plain CMS or Authenticode) read from DER and verified:
// the signer certificate must lead to a trusted one, the signature must cover the signed
// attributes, and the digest it vouches for must match the content (or a caller's digest).
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/certs/asn1.h"
#include "core/certs/cert_store.h"
#include "core/certs/x509.h"
#include "core/crypto/hash.h"
#include "core/runtime/class.h"

enum : uint32_t {
    PKCS7_CLASS_ID = 0x28EDB31F,
    // Blobs larger than this are refused by every build; real code signatures stay far below.
    PKCS7_MAX_DER_SIZE = 1u << 26,
    // The most certificates a blob may carry; more is refused rather than copied one by one.
    PKCS7_MAX_CERTIFICATES = 256,
};

struct PKCS7;

int64_t PKCS7_Create(PKCS7** handle);
// Frees the tree, the certificates and the DER copy; nulls the handle.
int64_t PKCS7_Delete(PKCS7** handle);
int64_t PKCS7_AddRef(PKCS7* pkcs7);
int64_t PKCS7_Release(PKCS7** handle);
int64_t PKCS7_GetInstanceId(PKCS7* pkcs7, char* buffer, int32_t size);

// ---- Building --------------------------------------------------------------------------------
// Each build replaces everything an earlier one read. The bytes are copied, so the caller's
// buffer (or tree) may go away afterwards. A blob without signerInfos builds without a signer.
int64_t PKCS7_Build(PKCS7* pkcs7, ASN1* node);
int64_t PKCS7_BuildFromBuffer(PKCS7* pkcs7, const uint8_t* der, uint32_t length);
// Replaces the object's DER copy with the node's whole encoding (header and contents); the old
// copy and everything read from it are dropped.
int64_t PKCS7_CopyASN1(PKCS7* pkcs7, ASN1* node);

// The signer's digest record; null (and 0) before a successful build with a signer.
int64_t PKCS7_GetSignerInfoHashInterface(PKCS7* pkcs7, const HashInterface** record);
// 1 when the blob holds neither content nor signed attributes.
int64_t PKCS7_IsDetached(PKCS7* pkcs7);
// Writes the DER copy to the file (0600); 1 when every byte was written.
int64_t PKCS7_Save(PKCS7* pkcs7, const char* path);

// ---- Verification ----------------------------------------------------------------------------
// Against the content bytes the signature is for (detached blobs) or that it carries.
int64_t PKCS7_Verify(PKCS7* pkcs7, CertStoreInterface* store, const uint8_t* content, uint32_t length);
// Against a digest the caller made of the signed data with the signer's digest record (the
// image digest of an Authenticode blob, the content digest of a CMS blob).
int64_t PKCS7_VerifyDigest(PKCS7* pkcs7, CertStoreInterface* store, const uint8_t* digest, uint32_t length);
// Finds the signer certificate among the carried ones and walks its chain to the store. The
// certificate is borrowed from the object.
int64_t PKCS7_VerifyChain(PKCS7* pkcs7, CertStoreInterface* store, X509** signer);
// The signer's signature over the signed attributes (or, without them, over the content).
int64_t PKCS7_VerifySignature(PKCS7* pkcs7, X509* signer);
// The signer's encryptedDigest verifies over the digest (signer digest size).
int64_t PKCS7_VerifyEncryptedDigest(PKCS7* pkcs7, X509* signer, const uint8_t* digest);
// The digest (signer digest size) equals the digest the signature vouches for.
int64_t PKCS7_VerifySignedDigest(PKCS7* pkcs7, const uint8_t* digest);

// ---- Printing --------------------------------------------------------------------------------
int64_t PKCS7_VPrint(PKCS7* pkcs7, int32_t indent, const char* format, va_list args);
int64_t PKCS7_Print(PKCS7* pkcs7, const char* format, ...);
int64_t PKCS7_PrintTabbed(PKCS7* pkcs7, int32_t indent, const char* format, ...);
// The default output: one DEBUG log line.
int64_t PKCS7_PrintInternal(void* user, const char* format, ...);
int64_t PKCS7_IsVerboseLevel(PKCS7* pkcs7, int32_t level);
int64_t PKCS7_VerboseLog(PKCS7* pkcs7, int32_t level, const char* format, ...);
int64_t PKCS7_SetPrintCallback(PKCS7* pkcs7, void* user, ClassPrintCallback callback);
int64_t PKCS7_GetPrintCallback(PKCS7* pkcs7, void** user, ClassPrintCallback* callback);
int64_t PKCS7_SetPrintIdentifier(PKCS7* pkcs7, const char* text);
int64_t PKCS7_SetVerbose(PKCS7* pkcs7, uint32_t verbose);
int64_t PKCS7_GetVerbose(PKCS7* pkcs7, uint32_t* verbose);

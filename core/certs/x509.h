// X509: one certificate parsed from DER into the values the system acts on (its own encoding for
// thumbprints, the signed part for issuer checks, serial, names, validity, constraints, the
// subjectAltName and the public key), with signature checks and the host-name match.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/certs/asn1.h"
#include "core/certs/x500_name.h"
#include "core/crypto/big_integer.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/crypto/hash.h"
#include "core/runtime/class.h"

enum : uint32_t { X509_CLASS_ID = 0x9925EB10 };

// keyUsage bits: bit n of the DER BIT STRING (0 = digitalSignature) is 1 << n here.
enum : uint32_t {
    X509_KEY_USAGE_DIGITAL_SIGNATURE = 1u << 0,
    X509_KEY_USAGE_NON_REPUDIATION = 1u << 1,
    X509_KEY_USAGE_KEY_ENCIPHERMENT = 1u << 2,
    X509_KEY_USAGE_DATA_ENCIPHERMENT = 1u << 3,
    X509_KEY_USAGE_KEY_AGREEMENT = 1u << 4,
    X509_KEY_USAGE_KEY_CERT_SIGN = 1u << 5,
    X509_KEY_USAGE_CRL_SIGN = 1u << 6,
    X509_KEY_USAGE_ENCIPHER_ONLY = 1u << 7,
    X509_KEY_USAGE_DECIPHER_ONLY = 1u << 8,
};

// Encodings larger than this are refused by every build: no real certificate comes near it.
enum : uint32_t { X509_MAX_DER_SIZE = 1u << 24 };

struct X509;

int64_t X509_Create(X509** handle);
int64_t X509_Delete(X509** handle);
int64_t X509_AddRef(X509* cert);
int64_t X509_Release(X509** handle);
int64_t X509_GetInstanceId(X509* cert, char* buffer, int32_t size);

// ---- Building --------------------------------------------------------------------------------
// Each rebuild replaces everything the certificate held. A failed build leaves a certificate that
// can only be deleted (or rebuilt); its signature never verifies.
int64_t X509_Build(X509* cert, ASN1* node);
int64_t X509_BuildFromBuffer(X509* cert, const uint8_t* der, uint32_t length);
// Standard Base64 with any CR and LF removed; no PEM armour.
int64_t X509_BuildFromBase64(X509* cert, const char* text, uint32_t length);
// The whole file as DER.
int64_t X509_BuildFromFile(X509* cert, const char* path);
// Builds the destination from the source's encoding.
int64_t X509_Copy(X509* destination, X509* source);
// Writes the encoding to the file; 1 when every byte was written.
int64_t X509_Save(X509* cert, const char* path);

// ---- Values (all borrowed from the certificate) ---------------------------------------------
int64_t X509_GetASN1(X509* cert, const uint8_t** der, uint32_t* length);
// The hash named by the signature algorithm.
int64_t X509_GetHashInterface(X509* cert, const HashInterface** record);
int64_t X509_GetSubjectHandle(X509* cert, X500** name);
int64_t X509_GetIssuerHandle(X509* cert, X500** name);
int64_t X509_GetSerialNumberHandle(X509* cert, BigInt** serial);
int64_t X509_GetCryptAsymmetricHandle(X509* cert, CryptAsymmetric** key);
// The value of the [0] version field: 0 for version 1 (also when absent), 2 for version 3.
int64_t X509_GetVersion(X509* cert, int32_t* version);
// notBefore and notAfter in seconds since 1970 UTC, from UTCTime (years 50-99 are 19xx, 00-49
// are 20xx) or GeneralizedTime. 1 when both were read; 0 with both 0 when either was not.
int64_t X509_GetValidity(X509* cert, double* notBefore, double* notAfter);
// basicConstraints: 1 when the certificate carries the extension, with cA and pathLenConstraint
// (-1 when unlimited). 0 with isCA 0 and pathLength -1 when absent, as in every version 1
// certificate: such a certificate states nothing and is no CA unless a store trusts it as one.
// A malformed extension reads as present with isCA 0.
int64_t X509_GetBasicConstraints(X509* cert, uint32_t* isCA, int32_t* pathLength);
// keyUsage: 1 with the X509_KEY_USAGE_ bits when the extension is present; 0 with usage 0 when
// absent (version 1 certificates included). A malformed extension reads as present with no bits.
int64_t X509_GetKeyUsage(X509* cert, uint32_t* usage);
// The subjectAltName extension's value (a DER GeneralNames); 0 with null and 0 when absent.
int64_t X509_GetSubjectAltName(X509* cert, const uint8_t** der, uint32_t* length);

// Digest of the encoding under the record, copied truncated to size; 1 on success.
int64_t X509_Thumbprint(X509* cert, const HashInterface* record, uint8_t* digest, int32_t size);

// ---- Signatures ------------------------------------------------------------------------------
// The certificate's public key verifies the signature over the digest (version: RSA_SIGNATURE_
// VERSION_ of crypt_asymmetric_interface.h; ECDSA ignores it).
int64_t X509_VerifyDigest(X509* cert, const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                          uint32_t signatureLength, uint32_t version);
// Same with the digest of a finished Hash, in DigestInfo form for RSA.
int64_t X509_VerifyHash(X509* cert, Hash* hash, const uint8_t* signature, uint32_t signatureLength);
// 1 when the certificate's signature verifies with the issuer's key. Signatures made with MD2,
// MD4 or MD5 never verify.
int64_t X509_VerifyIssued(X509* issuer, X509* cert);
// RSA encryption with the public key (TLS RSA key exchange).
int64_t X509_Encrypt(X509* cert, const uint8_t* input, uint32_t length, uint8_t* output, uint32_t size,
                     uint32_t* outLength);

// ---- Comparisons -----------------------------------------------------------------------------
// Encodings of equal length and equal bytes.
int64_t X509_Compare(X509* first, X509* second);
int64_t X509_CompareBySubjectAndSerialNumber(X509* cert, X500* subject, BigInt* serial);
int64_t X509_CompareByIssuerAndSerialNumber(X509* cert, X500* issuer, BigInt* serial);
// The certificate's issuer equals the candidate's subject.
int64_t X509_CompareIssuer(X509* cert, X509* candidate);
// Whether the certificate names the host: its subjectAltName dNSNames when it has any, else its
// subject CN. ASCII case is ignored; "*" is only ever a whole left-most label matching exactly
// one label of the host, and only with at least two further labels that are not a known public
// suffix (never "*.com" nor "*.co.uk"); it never matches an IPv4 address.
int64_t X509_CompareSubjectName(X509* cert, const char* host);

// ---- Printing --------------------------------------------------------------------------------
// Logs subject names, serial and the SHA-1 and SHA-256 thumbprints (hex and Base64).
int64_t X509_Dump(X509* cert);
int64_t X509_VPrint(X509* cert, int32_t indent, const char* format, va_list args);
int64_t X509_Print(X509* cert, const char* format, ...);
int64_t X509_PrintTabbed(X509* cert, int32_t indent, const char* format, ...);
// The default output: one DEBUG log line.
int64_t X509_PrintInternal(void* user, const char* format, ...);
int64_t X509_IsVerboseLevel(X509* cert, int32_t level);
int64_t X509_VerboseLog(X509* cert, int32_t level, const char* format, ...);
int64_t X509_SetPrintCallback(X509* cert, void* user, ClassPrintCallback callback);
int64_t X509_GetPrintCallback(X509* cert, void** user, ClassPrintCallback* callback);
int64_t X509_SetPrintIdentifier(X509* cert, const char* text);
int64_t X509_SetVerbose(X509* cert, uint32_t verbose);
int64_t X509_GetVerbose(X509* cert, uint32_t* verbose);

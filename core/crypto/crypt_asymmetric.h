// CryptAsymmetric: the one public-key object of the system. It binds to one algorithm record (RSA or
// ECDSA) at a time and forwards every operation to the instance that record created.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "core/certs/asn1.h"
#include "core/crypto/crypt_asymmetric_interface.h"
#include "core/runtime/class.h"

enum : uint32_t { CRYPT_ASYMMETRIC_CLASS_ID = 0xE6F040D7 };

struct CryptAsymmetric {
    Class Header;
    ClassPrint Print;
    void* Instance;                             // null while unbound
    const CryptAsymmetricInterface* Interface;  // null while unbound
};

int64_t CryptAsymmetric_Create(CryptAsymmetric** handle);
int64_t CryptAsymmetric_Delete(CryptAsymmetric** handle);
int64_t CryptAsymmetric_AddRef(CryptAsymmetric* crypt);
int64_t CryptAsymmetric_Release(CryptAsymmetric** handle);
int64_t CryptAsymmetric_GetInstanceId(CryptAsymmetric* crypt, char* buffer, int32_t size);

// "RSA" or "ECDSA" (ASCII case ignored), or the algorithm OID; 0 with a log line when unsupported.
int64_t CryptAsymmetric_InterfaceFromName(const char* name, const CryptAsymmetricInterface** record);
int64_t CryptAsymmetric_InterfaceFromOid(const char* oid, const CryptAsymmetricInterface** record);

// Binds to the record with a fresh, keyless instance: the previous key is dropped, also when the
// record is the same. A record lacking a required slot stops the process.
int64_t CryptAsymmetric_ResetInterface(CryptAsymmetric* crypt, const CryptAsymmetricInterface* record);

// Forwarders; each answers 0 on an unbound object.
int64_t CryptAsymmetric_InitParams(CryptAsymmetric* crypt, const char* params, uint32_t extra);
int64_t CryptAsymmetric_CanSign(CryptAsymmetric* crypt);
int64_t CryptAsymmetric_SetPrivateKey(CryptAsymmetric* crypt, const uint8_t* der, uint32_t count);
int64_t CryptAsymmetric_SetPublicKey(CryptAsymmetric* crypt, const uint8_t* key, uint32_t count, uint32_t extra);
int64_t CryptAsymmetric_SetPublicKeyPair(CryptAsymmetric* crypt, const BigInt* first, const BigInt* second);
int64_t CryptAsymmetric_PublicKeyEncrypt(CryptAsymmetric* crypt, const uint8_t* data, uint32_t length,
                                         uint8_t* out, uint32_t size, uint32_t* outLength);
int64_t CryptAsymmetric_Sign(CryptAsymmetric* crypt, const uint8_t* digest, uint32_t length, uint8_t* out,
                             uint32_t size, uint32_t* outLength);
int64_t CryptAsymmetric_Verify(CryptAsymmetric* crypt, const uint8_t* digest, uint32_t digestLength,
                               const uint8_t* signature, uint32_t signatureLength, uint32_t version);
// Empties the key and keeps the binding; 1 when unbound.
int64_t CryptAsymmetric_Reset(CryptAsymmetric* crypt);

// Picks the algorithm from a SubjectPublicKeyInfo node, binds to it and loads the key.
int64_t CryptAsymmetric_SetPublicKeyFromASN1(CryptAsymmetric* crypt, ASN1* info);

int64_t CryptAsymmetric_IsRSA(CryptAsymmetric* crypt);
int64_t CryptAsymmetric_IsECDSA(CryptAsymmetric* crypt);

// Print block; class name "CryptAsymmetric", by default one DEBUG log line per line.
int64_t CryptAsymmetric_VPrint(CryptAsymmetric* crypt, int32_t indent, const char* format, va_list args);
int64_t CryptAsymmetric_Print(CryptAsymmetric* crypt, const char* format, ...);
int64_t CryptAsymmetric_PrintTabbed(CryptAsymmetric* crypt, int32_t indent, const char* format, ...);
int64_t CryptAsymmetric_PrintInternal(void* user, const char* format, ...);
int64_t CryptAsymmetric_IsVerboseLevel(CryptAsymmetric* crypt, int32_t level);
int64_t CryptAsymmetric_VerboseLog(CryptAsymmetric* crypt, int32_t level, const char* format, ...);
int64_t CryptAsymmetric_SetPrintCallback(CryptAsymmetric* crypt, void* user, ClassPrintCallback callback);
int64_t CryptAsymmetric_GetPrintCallback(CryptAsymmetric* crypt, void** user, ClassPrintCallback* callback);
int64_t CryptAsymmetric_SetPrintIdentifier(CryptAsymmetric* crypt, const char* text);
int64_t CryptAsymmetric_SetVerbose(CryptAsymmetric* crypt, uint32_t verbose);
int64_t CryptAsymmetric_GetVerbose(CryptAsymmetric* crypt, uint32_t* verbose);

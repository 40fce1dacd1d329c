// The client side of the TLS 1.0 to 1.2 handshake: the ClientHello, the server's flight read in
// strict order (reassembled across records), the server certificate check, the RSA or ECDHE key
// exchange, the client's flight and the Finished check.
#include <cstring>
#include <ctime>

#include "core/certs/asn1.h"
#include "core/certs/cert_store_thumbprint.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/aes_gcm.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/crypto/md5.h"
#include "core/crypto/sha1.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/linux/platform.h"
#include "core/net/tls1_internal.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

namespace {

const uint8_t kExtensionSignatureAlg[] = {0x00, 0x0d, 0x00, 0x0e, 0x00, 0x0c, 0x04, 0x03, 0x06,
                                          0x01, 0x05, 0x01, 0x05, 0x03, 0x04, 0x01, 0x02, 0x01};
const uint8_t kExtensionSupportedGroups[] = {0x00, 0x0a, 0x00, 0x06, 0x00, 0x04, 0x00, 0x17, 0x00, 0x18};
const uint8_t kExtensionECPointFormats[] = {0x00, 0x0b, 0x00, 0x02, 0x01, 0x00};
// renegotiation_info: empty in a first hello; a renegotiation's carries our last verify data.
constexpr uint16_t kExtensionRenegotiationInfo = 0xff01;

enum : uint32_t {
    CLIENT_HELLO_SIZE = 512,
    // The padding extension's own header; a hello of 508 bytes or more is sent unpadded.
    PADDING_HEADER = 4,
    // Our Certificate message must stay inside one record.
    CLIENT_CERTIFICATE_MAX = 16384,
    PREMASTER_MAX = 66,
    PUBLIC_POINT_MAX = 1019,
    ENCRYPTED_PREMASTER_MAX = 1018,
    SIGNATURE_MAX = 1024,
};

struct CurveName {
    uint16_t Number;
    const char* Oid;
};
const CurveName kCurves[] = {
    {18, "1.3.132.0.31"}, {19, "1.2.840.10045.3.1.1"}, {20, "1.3.132.0.32"}, {21, "1.3.132.0.33"},
    {22, "1.3.132.0.10"}, {23, "1.2.840.10045.3.1.7"}, {24, "1.3.132.0.34"}, {25, "1.3.132.0.35"},
};

struct HashNumber {
    uint8_t Number;
    const char* Oid;
};
const HashNumber kSignatureHashes[] = {
    {2, "1.2.840.10045.4.1"},   {3, "1.2.840.10045.4.3.1"}, {4, "1.2.840.10045.4.3.2"},
    {5, "1.2.840.10045.4.3.3"}, {6, "1.2.840.10045.4.3.4"},
};

// DigestInfo headers (PKCS #1) put in front of the digest an RSA client signature covers.
const uint8_t kDigestInfoSHA256[19] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
const uint8_t kDigestInfoSHA384[19] = {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30};
const uint8_t kDigestInfoSHA512[19] = {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                       0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40};

const uint16_t kECDHESuites[] = {0xC009, 0xC00A, 0xC013, 0xC014, 0xC023, 0xC024,
                                 0xC027, 0xC028, 0xC02B, 0xC02C, 0xC02F, 0xC030};

enum : uint8_t { SIGNATURE_RSA = 1, SIGNATURE_ECDSA = 3 };
enum : uint8_t { CERT_TYPE_RSA = 1, CERT_TYPE_ECDSA = 64 };

bool IsECDHESuite(uint16_t code) {
    for (uint16_t suite : kECDHESuites)
        if (suite == code) return true;
    return false;
}

bool IsGCM(const TLS1CipherInfo& row) {
    return row.CryptInterface == &AESGCM_INTERFACE;
}

uint32_t Get16(const uint8_t* p) {
    return ((uint32_t)p[0] << 8) | p[1];
}
uint32_t Get24(const uint8_t* p) {
    return ((uint32_t)p[0] << 16) | ((uint32_t)p[1] << 8) | p[2];
}
void Put16(uint8_t* p, uint32_t value) {
    p[0] = (uint8_t)(value >> 8);
    p[1] = (uint8_t)value;
}
void Put24(uint8_t* p, uint32_t value) {
    p[0] = (uint8_t)(value >> 16);
    p[1] = (uint8_t)(value >> 8);
    p[2] = (uint8_t)value;
}

const HashInterface* SignatureHash(uint8_t number) {
    for (const HashNumber& entry : kSignatureHashes) {
        if (entry.Number != number) continue;
        const HashInterface* record = nullptr;
        return Hash_InterfaceFromOid(entry.Oid, &record) ? record : nullptr;
    }
    return nullptr;
}

uint8_t SignatureHashNumber(const HashInterface* record) {
    if (record == &SHA1_INTERFACE) return 2;
    if (record == &SHA224_INTERFACE) return 3;
    if (record == &SHA256_INTERFACE) return 4;
    if (record == &SHA384_INTERFACE) return 5;
    if (record == &SHA512_INTERFACE) return 6;
    return 0;
}

// The hashes we can sign a CertificateVerify with: an RSA signature carries a DigestInfo, which
// we hold only for SHA-256 and up.
bool CanSignWith(uint8_t hash, uint8_t signature) {
    if (signature == SIGNATURE_RSA) return hash >= 4 && hash <= 6;
    return hash >= 2 && hash <= 6;
}

int64_t Fail(TLS1* tls, uint32_t code) {
    TLS1_Fail(tls, code);
    return 0;
}

void ReleaseClientCertificate(TLS1HandshakeContext* context) {
    if (context->ClientCertificate) PKCS12_Release(&context->ClientCertificate);
    if (context->CertVerifyHashHandle) Hash_Release(&context->CertVerifyHashHandle);
    context->ClientSignatureAlgorithm = 0;
}

// Hashes the two randoms and the signed ServerKeyExchange parameters under one record.
int64_t DigestParameters(TLS1HandshakeContext* context, const HashInterface* record, const uint8_t* params,
                         uint32_t length, uint8_t* out, uint32_t capacity) {
    Hash* hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, record);
    int64_t ok = Hash_Process(hash, context->ClientRandom, TLS1_RANDOM, nullptr) &&
                 Hash_Process(hash, context->ServerRandom, TLS1_RANDOM, nullptr) &&
                 Hash_Process(hash, params, length, nullptr) && Hash_Generate(hash) &&
                 Hash_GetDigest(hash, out, capacity) > 0;
    Hash_Release(&hash);
    return ok;
}

// ---- Messages from the server --------------------------------------------------------------

// The extensions after the compression method (none at all, or one well-formed block). Of them
// only renegotiation_info is acted on: in a first handshake it must be empty and tells that the
// server binds renegotiations to this connection; in a renegotiation it must repeat both verify
// data of the last handshake, and its absence fails the handshake.
int64_t ReadServerHelloExtensions(TLS1* tls, const uint8_t* at, uint32_t left) {
    const uint8_t* info = nullptr;
    uint32_t infoLength = 0;
    if (left > 0) {
        if (left < 2 || Get16(at) != left - 2) {
            TLS1_Print(tls, "Invalid ServerHello extensions");
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        }
        at += 2;
        left -= 2;
        while (left > 0) {
            if (left < 4 || Get16(at + 2) > left - 4) {
                TLS1_Print(tls, "Invalid ServerHello extensions");
                return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
            }
            const uint32_t type = Get16(at);
            const uint32_t size = Get16(at + 2);
            if (type == kExtensionRenegotiationInfo) {
                if (info) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
                info = at + 4;
                infoLength = size;
            }
            at += 4 + size;
            left -= 4 + size;
        }
    }
    if (!tls->Renegotiating) {
        if (info && (infoLength != 1 || info[0] != 0)) {
            TLS1_Print(tls, "Invalid renegotiation_info in the first handshake");
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        }
        tls->SecureRenegotiation = info ? 1 : 0;
        return 1;
    }
    const uint32_t both = 2 * TLS1_VERIFY_DATA;
    uint8_t difference = 1;
    if (info && infoLength == 1 + both && info[0] == both) {
        difference = 0;
        for (uint32_t i = 0; i < TLS1_VERIFY_DATA; i++)
            difference |= (uint8_t)((info[1 + i] ^ tls->ClientVerifyData[i]) |
                                    (info[1 + TLS1_VERIFY_DATA + i] ^ tls->ServerVerifyData[i]));
    }
    if (difference != 0) {
        TLS1_Print(tls, "Renegotiation not bound to this connection");
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    }
    return 1;
}

int64_t ReadServerHello(TLS1* tls, const uint8_t* body, uint32_t length) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    // version, random, session id length
    if (length < 2 + TLS1_RANDOM + 1) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    const uint32_t sessionLength = body[34];
    if (sessionLength > 32 || length < 35 + sessionLength + 2 + 1)
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    uint32_t version = (uint32_t)body[0] * 16 + body[1];
    if (version > TLS1_Version_Max) version = TLS1_Version_Max;
    if (version < TLS1_Version_Min) return Fail(tls, TLS1_ALERT_PROTOCOL_VERSION);
    tls->ActiveVersion = version;
    tls->RecordVersion = version;
    TLS1_VerboseLog(tls, 0, "Version: %s", TLS1_VersionToString(version));
    memcpy(context->ServerRandom, body + 2, TLS1_RANDOM);
    const uint16_t code = (uint16_t)Get16(body + 35 + sessionLength);
    // We offer no compression: a server that picks one picks what was never offered.
    if (body[35 + sessionLength + 2] != 0) {
        TLS1_Print(tls, "Unexpected compression method [%d]", (int32_t)body[35 + sessionLength + 2]);
        return Fail(tls, TLS1_ALERT_ILLEGAL_PARAMETER);
    }
    if (!ReadServerHelloExtensions(tls, body + 35 + sessionLength + 3, length - (35 + sessionLength + 3)))
        return 0;
    // Only a suite we offered: an enabled row, and GCM only when both ends speak TLS 1.2 (the
    // record layer has no GCM form for the earlier versions).
    const TLS1CipherInfo* chosen = nullptr;
    for (const TLS1CipherInfo& row : TLS1_CipherInfo) {
        if (row.Code != code || !row.Enabled) continue;
        if (IsGCM(row) && (TLS1_Version_Max < TLS1_VERSION_1_2 || version < TLS1_VERSION_1_2)) continue;
        chosen = &row;
        break;
    }
    if (!chosen) {
        tls->CipherInfo = nullptr;
        return Fail(tls, TLS1_ALERT_ILLEGAL_PARAMETER);
    }
    tls->CipherInfo = chosen;
    Hash_SetInterface(context->HandshakeHash,
                      chosen->HashInterface == &SHA384_INTERFACE ? &SHA384_INTERFACE : &SHA256_INTERFACE);
    TLS1_VerboseLog(tls, 0, "Cipher Type: %s", IsECDHESuite(code) ? "ECDSA" : "RSA");
    TLS1_VerboseLog(tls, 0, "Cipher Crypt: %s", chosen->CryptInterface->Name);
    TLS1_VerboseLog(tls, 0, "Cipher Hash: %s", chosen->HashInterface->Name);
    tls->ExpectedHandshakeType = TLS1_HS_CERTIFICATE;
    return 1;
}

// Decodes one DER certificate and appends it to the chain; 42 on failure.
int64_t AddCertificate(TLS1* tls, X509Chain* chain, const uint8_t* der, uint32_t length) {
    ASN1* node = nullptr;
    ASN1_Create(&node);
    int64_t result = 0;
    if (!ASN1_Decode(node, der, length) || !ASN1_GetElement(node, 0)) {
        TLS1_Print(tls, "Failed to decode certificate");
    } else {
        X509* cert = nullptr;
        X509_Create(&cert);
        if (!X509_Build(cert, ASN1_GetElement(node, 0)))
            TLS1_Print(tls, "Failed to build certificate");
        else
            result = X509Chain_Add(chain, cert);
        X509_Release(&cert);
    }
    ASN1_Release(&node);
    return result;
}

int64_t CheckServerChain(TLS1* tls, X509Chain* chain) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    X509* first = nullptr;
    if (!X509Chain_Get(chain, 0, &first) || !first) {
        TLS1_Print(tls, "Failed to get first certificate in chain");
        return Fail(tls, TLS1_ALERT_BAD_CERTIFICATE);
    }
    // The name is checked before any store is asked: a certificate for another host is refused
    // whoever issued it, as a bad certificate, so that the caller ends the connection at once.
    if (X509_CompareSubjectName(first, tls->Host) <= 0) {
        TLS1_Print(tls, "Server certificate does not name the host [%s]", tls->Host);
        return Fail(tls, TLS1_ALERT_BAD_CERTIFICATE);
    }
    CertStoreThumbprint* cache = TLS1_TrustCache();
    // A cached verification counts only for the store it was made against.
    const bool cached = cache && CertStoreThumbprint_IsTrustedUnder(cache, first, tls->CertStore, 0) == 1;
    if (!cached && (!tls->CertStore || !X509Chain_VerifyX509(chain, first, tls->CertStore))) {
        TLS1_Print(tls, "Failed to verify certificate chain");
        X509Chain_Dump(chain);
        return Fail(tls, TLS1_ALERT_BAD_CERTIFICATE);
    }
    if (!context->ServerCertificate) X509_Create(&context->ServerCertificate);
    if (!X509_Copy(context->ServerCertificate, first)) return Fail(tls, TLS1_ALERT_BAD_CERTIFICATE);
    if (!cached && cache) CertStoreThumbprint_TrustUnder(cache, first, tls->CertStore);
    return 1;
}

int64_t ReadCertificate(TLS1* tls, const uint8_t* body, uint32_t length) {
    if (length < 3) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    const uint32_t listLength = Get24(body);
    if (listLength + 3 > length) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    X509Chain* chain = nullptr;
    X509Chain_Create(&chain);
    int64_t result = 1;
    const uint8_t* entry = body + 3;
    uint32_t left = listLength;
    while (left > 0) {
        if (left < 3 || Get24(entry) > left - 3) {
            result = Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
            break;
        }
        const uint32_t size = Get24(entry);
        if (!AddCertificate(tls, chain, entry + 3, size)) {
            result = Fail(tls, TLS1_ALERT_BAD_CERTIFICATE);
            break;
        }
        entry += 3 + size;
        left -= 3 + size;
    }
    if (result) result = CheckServerChain(tls, chain);
    X509Chain_Release(&chain);
    if (result) tls->ExpectedHandshakeType = TLS1_HS_SERVER_HELLO_DONE;
    return result;
}

int64_t VerifyServerKeyExchange(TLS1* tls, const uint8_t* params, uint32_t paramsLength, const uint8_t* rest,
                                uint32_t restLength) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    X509* cert = context->ServerCertificate;
    if (!cert) return 0;
    if (tls->ActiveVersion < TLS1_VERSION_1_2) {
        if (restLength < 2) return 0;
        const uint32_t size = Get16(rest);
        if (size + 2 > restLength) return 0;
        CryptAsymmetric* key = nullptr;
        if (!X509_GetCryptAsymmetricHandle(cert, &key) || !key) return 0;
        // An ECDSA signature covers SHA-1 alone; the MD5 and SHA-1 pair is RSA's.
        uint8_t digest[36];
        if (CryptAsymmetric_IsECDSA(key)) {
            if (!DigestParameters(context, &SHA1_INTERFACE, params, paramsLength, digest, 20)) return 0;
            return X509_VerifyDigest(cert, digest, 20, rest + 2, size, RSA_SIGNATURE_VERSION_PCS15) == 1;
        }
        if (!DigestParameters(context, &MD5_INTERFACE, params, paramsLength, digest, 16) ||
            !DigestParameters(context, &SHA1_INTERFACE, params, paramsLength, digest + 16, 20))
            return 0;
        return X509_VerifyDigest(cert, digest, 36, rest + 2, size, RSA_SIGNATURE_VERSION_PCS15) == 1;
    }
    if (restLength < 4) return 0;
    const HashInterface* record = SignatureHash(rest[0]);
    if (!record) return 0;
    const uint32_t size = Get16(rest + 2);
    if (size + 4 > restLength) return 0;
    Hash* hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, record);
    int64_t ok = Hash_Process(hash, context->ClientRandom, TLS1_RANDOM, nullptr) &&
                 Hash_Process(hash, context->ServerRandom, TLS1_RANDOM, nullptr) &&
                 Hash_Process(hash, params, paramsLength, nullptr) && Hash_Generate(hash) &&
                 X509_VerifyHash(cert, hash, rest + 4, size) == 1;
    Hash_Release(&hash);
    return ok;
}

int64_t ReadServerKeyExchange(TLS1* tls, const uint8_t* body, uint32_t length) {
    // curve type (3 = named curve), curve, point length
    if (length < 4 || body[0] != 3) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    const uint32_t curve = Get16(body + 1);
    const char* oid = nullptr;
    for (const CurveName& entry : kCurves)
        if (entry.Number == curve) oid = entry.Oid;
    if (!oid) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    const uint32_t pointLength = body[3];
    if (length <= pointLength + 4) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    if (!tls->ECDHEHandle) ECDHE_Create(&tls->ECDHEHandle);
    if (!ECDHE_InitParams(tls->ECDHEHandle, oid) ||
        !ECDHE_SetPublicKey(tls->ECDHEHandle, body + 4, pointLength))
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    const uint32_t paramsLength = 4 + pointLength;
    if (!VerifyServerKeyExchange(tls, body, paramsLength, body + paramsLength, length - paramsLength))
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    tls->HandshakeContext->ServerKeyExchangeRead = 1;
    return 1;
}

int64_t ReadCertificateRequest(TLS1* tls, const uint8_t* body, uint32_t length) {
    if (length < 1 || (uint32_t)body[0] + 1 > length) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    const uint32_t typeCount = body[0];
    tls->RequestedCertificateTypeCount = 0;
    tls->RequestedSignAlgorithmCount = 0;
    for (uint32_t i = 0; i < typeCount; i++) {
        const uint8_t type = body[1 + i];
        if ((type == CERT_TYPE_RSA || type == CERT_TYPE_ECDSA) && tls->RequestedCertificateTypeCount < 2)
            tls->RequestedCertificateTypes[tls->RequestedCertificateTypeCount++] = type;
    }
    if (tls->ActiveVersion >= TLS1_VERSION_1_2) {
        const uint32_t at = 1 + typeCount;
        if (at + 2 > length) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        const uint32_t listLength = Get16(body + at);
        if (at + 2 + listLength > length) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        uint32_t count = listLength / 2;
        if (count > TLS1_REQUESTED_ALGORITHMS_MAX) count = TLS1_REQUESTED_ALGORITHMS_MAX;
        for (uint32_t i = 0; i < count; i++)
            tls->RequestedSignAlgorithms[i] = (uint16_t)Get16(body + at + 2 + 2 * i);
        tls->RequestedSignAlgorithmCount = count;
    }
    tls->Flags |= TLS1_FLAG_CERT_REQUESTED;
    return 1;
}

// ---- The client's flight -------------------------------------------------------------------

int64_t QueueHandshake(TLS1* tls, const uint8_t* message, uint32_t length) {
    return TLS1_PacketQueue(tls, TLS1_CONTENT_HANDSHAKE, message, length);
}

int64_t SendClientCertificate(TLS1* tls) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    uint8_t* message = static_cast<uint8_t*>(Memory_Alloc(CLIENT_CERTIFICATE_MAX));
    uint32_t size = 7;
    X509* cert = nullptr;
    if (!PKCS12_Get(context->ClientCertificate, 0, &cert) || !cert) {
        TLS1_Print(tls, "PKCS12 client certificate chain not found");
        tls->Flags &= ~TLS1_FLAG_CERT_REQUESTED;
    }
    // Each issuer found in the file follows; a chain never holds more entries than the file.
    const uint32_t most = PKCS12_Count(context->ClientCertificate);
    for (uint32_t n = 0; cert && n < most; n++) {
        const uint8_t* der = nullptr;
        uint32_t derLength = 0;
        X509_GetASN1(cert, &der, &derLength);
        if (derLength >= CLIENT_CERTIFICATE_MAX || size + 3 + derLength >= CLIENT_CERTIFICATE_MAX) {
            TLS1_Print(tls, "PKCS12 client certificate overflow");
            Memory_Free(message, CLIENT_CERTIFICATE_MAX);
            return Fail(tls, 0);
        }
        Put24(message + size, derLength);
        memcpy(message + size + 3, der, derLength);
        size += 3 + derLength;
        X509* issuer = nullptr;
        if (!PKCS12_IssuerFind(context->ClientCertificate, cert, &issuer) || !issuer || issuer == cert ||
            X509_Compare(issuer, cert) == 1)
            break;
        cert = issuer;
    }
    message[0] = TLS1_HS_CERTIFICATE;
    Put24(message + 1, size - 4);
    Put24(message + 4, size - 7);
    const int64_t queued = QueueHandshake(tls, message, size);
    Memory_Free(message, CLIENT_CERTIFICATE_MAX);
    return queued ? 1 : Fail(tls, 0);
}

int64_t SendClientKeyExchange(TLS1* tls) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    uint8_t premaster[PREMASTER_MAX];
    uint32_t premasterLength = 0;
    uint8_t message[4 + 2 + PUBLIC_POINT_MAX + 8];
    uint32_t size = 0;
    if (context->ServerKeyExchangeRead) {
        uint32_t pointLength = 0;
        if (!tls->ECDHEHandle ||
            !ECDHE_CalculateSecret(tls->ECDHEHandle, message + 5, PUBLIC_POINT_MAX, &pointLength, premaster,
                                   PREMASTER_MAX, &premasterLength) ||
            pointLength > 255)
            return Fail(tls, TLS1_ALERT_ILLEGAL_PARAMETER);
        message[4] = (uint8_t)pointLength;
        size = 5 + pointLength;
    } else {
        premaster[0] = 3;
        premaster[1] = (uint8_t)(TLS1_Version_Max & 0x0F);
        Platform_CryptFill(premaster + 2, 46);
        premasterLength = TLS1_MASTER_SECRET;
        uint32_t encrypted = 0;
        if (!context->ServerCertificate ||
            !X509_Encrypt(context->ServerCertificate, premaster, premasterLength, message + 6,
                          ENCRYPTED_PREMASTER_MAX, &encrypted)) {
            memset(premaster, 0, sizeof(premaster));
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        }
        Put16(message + 4, encrypted);
        size = 6 + encrypted;
    }
    message[0] = TLS1_HS_CLIENT_KEY_EXCHANGE;
    Put24(message + 1, size - 4);
    const int64_t derived = TLS1_MasterSecret(tls, premaster, premasterLength);
    memset(premaster, 0, sizeof(premaster));
    if (!derived || !QueueHandshake(tls, message, size)) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    return 1;
}

int64_t SendCertificateVerify(TLS1* tls) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    uint8_t data[19 + 64];
    uint32_t dataLength = 0;
    uint8_t message[4 + 4 + SIGNATURE_MAX];
    uint32_t at = 4;
    CryptAsymmetric* key = nullptr;
    X509* cert = nullptr;
    const bool ecdsa = PKCS12_Get(context->ClientCertificate, 0, &cert) && cert &&
                       X509_GetCryptAsymmetricHandle(cert, &key) && key && CryptAsymmetric_IsECDSA(key);
    if (tls->ActiveVersion < TLS1_VERSION_1_2) {
        // MD5 and SHA-1 for RSA; SHA-1 alone for ECDSA.
        uint8_t both[36];
        uint32_t got = 0;
        if (!TLS1_DigestFinished(tls, nullptr, nullptr, both, sizeof(both), &got) || got != 36)
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        dataLength = ecdsa ? 20 : 36;
        memcpy(data, ecdsa ? both + 16 : both, dataLength);
    } else {
        if (!context->CertVerifyHashHandle) {
            TLS1_Print(tls, "PKCS12 client certificate not found");
            return Fail(tls, 0);
        }
        const uint32_t algorithm = context->ClientSignatureAlgorithm;
        const uint8_t hashNumber = (uint8_t)(algorithm >> 8);
        if ((algorithm & 0xFF) == SIGNATURE_RSA) {
            const uint8_t* prefix = hashNumber == 4   ? kDigestInfoSHA256
                                    : hashNumber == 5 ? kDigestInfoSHA384
                                    : hashNumber == 6 ? kDigestInfoSHA512
                                                      : nullptr;
            if (!prefix) {
                TLS1_Print(tls, "PKCS12 unsupported signature hash algorithm");
                return Fail(tls, 0);
            }
            memcpy(data, prefix, 19);
            dataLength = 19;
        }
        Hash* hash = context->CertVerifyHashHandle;
        const uint32_t digestSize = Hash_GetDigestSize(hash);
        if (digestSize == 0 || digestSize > 64 || !Hash_Generate(hash) ||
            Hash_GetDigest(hash, data + dataLength, 64) <= 0)
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        dataLength += digestSize;
        Put16(message + at, algorithm);
        at += 2;
    }
    uint32_t signatureLength = 0;
    if (!PKCS12_Sign(context->ClientCertificate, data, dataLength, message + at + 2, SIGNATURE_MAX,
                     &signatureLength) ||
        signatureLength == 0 || signatureLength > 0xFFFF)
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    Put16(message + at, signatureLength);
    const uint32_t size = at + 2 + signatureLength;
    message[0] = TLS1_HS_CERTIFICATE_VERIFY;
    Put24(message + 1, size - 4);
    return QueueHandshake(tls, message, size) ? 1 : Fail(tls, 0);
}

int64_t SendFinishedFlight(TLS1* tls) {
    const uint8_t changeCipherSpec = 1;
    if (!TLS1_PacketQueue(tls, TLS1_CONTENT_CHANGE_CIPHER_SPEC, &changeCipherSpec, 1))
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    tls->Flags |= TLS1_FLAG_WRITE_PROTECTED;
    if (!TLS1_SetKeyBlock(tls, 1)) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    memset(tls->WriteSequence, 0, sizeof(tls->WriteSequence));
    uint8_t message[4 + TLS1_VERIFY_DATA] = {TLS1_HS_FINISHED, 0, 0, TLS1_VERIFY_DATA};
    if (!TLS1_DigestFinished(tls, nullptr, "client finished", message + 4, TLS1_VERIFY_DATA, nullptr) ||
        !QueueHandshake(tls, message, sizeof(message)))
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    memcpy(tls->ClientVerifyData, message + 4, TLS1_VERIFY_DATA);
    return 1;
}

int64_t ReadServerHelloDone(TLS1* tls) {
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (tls->Flags & TLS1_FLAG_CERT_REQUESTED) {
        if (!context->ClientCertificate) {
            if (tls->ClientCertRequest) tls->ClientCertRequest(tls, tls->ClientCertRequestUser);
            TLS1_VerboseLog(tls, 0, "No certificate found");
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        }
        if (!SendClientCertificate(tls)) return 0;
    }
    if (!SendClientKeyExchange(tls)) return 0;
    if ((tls->Flags & TLS1_FLAG_CERT_REQUESTED) && !SendCertificateVerify(tls)) return 0;
    return SendFinishedFlight(tls);
}

int64_t ReadFinished(TLS1* tls, const uint8_t* body, uint32_t length) {
    // The server's Finished counts only once its ChangeCipherSpec has switched reading on, and
    // only as exactly the 12 bytes of verify data, compared without an early exit.
    if (length != TLS1_VERIFY_DATA || !(tls->Flags & TLS1_FLAG_READ_PROTECTED))
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    uint8_t difference = 0;
    for (uint32_t i = 0; i < TLS1_VERIFY_DATA; i++)
        difference |= (uint8_t)(body[i] ^ tls->HandshakeContext->ExpectedServerVerifyData[i]);
    if (difference != 0) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    memcpy(tls->ServerVerifyData, body, TLS1_VERIFY_DATA);
    tls->ExpectedHandshakeType = 0;
    __atomic_store_n(&tls->HandshakeComplete, 1u, __ATOMIC_SEQ_CST);
    return 1;
}

// Whether the message type may come now. The server's flight has one order: ServerHello,
// Certificate, ServerKeyExchange exactly when the suite is ECDHE, an optional CertificateRequest,
// ServerHelloDone; then Finished; a HelloRequest only once the handshake is complete.
bool IsExpected(TLS1* tls, uint8_t type) {
    const uint32_t expected = tls->ExpectedHandshakeType;
    if (expected != TLS1_HS_SERVER_HELLO_DONE) return type == expected;
    const bool ecdhe = tls->CipherInfo && IsECDHESuite(tls->CipherInfo->Code);
    const bool keyExchangeRead = tls->HandshakeContext->ServerKeyExchangeRead != 0;
    const bool requested = (tls->Flags & TLS1_FLAG_CERT_REQUESTED) != 0;
    switch (type) {
    case TLS1_HS_SERVER_KEY_EXCHANGE:
        return ecdhe && !keyExchangeRead && !requested;
    case TLS1_HS_CERTIFICATE_REQUEST:
        return !requested && (keyExchangeRead || !ecdhe);
    case TLS1_HS_SERVER_HELLO_DONE:
        return keyExchangeRead || !ecdhe;
    default:
        return false;
    }
}

// One whole handshake message (header included).
int64_t HandleMessage(TLS1* tls, const uint8_t* message, uint32_t size) {
    const uint8_t type = message[0];
    const uint8_t* body = message + 4;
    const uint32_t length = size - 4;
    if (!IsExpected(tls, type)) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    TLS1_HandshakeStateDisplay(tls, type, 0);
    if (type != TLS1_HS_HELLO_REQUEST && type != TLS1_HS_CERTIFICATE_VERIFY &&
        !TLS1_CollectForFinished(tls, message, size, type))
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    if (!(tls->Flags & TLS1_FLAG_CLIENT)) {
        TLS1_Print(tls, "Server side TLS is not supported\n");
        return Fail(tls, 0);
    }
    switch (type) {
    case TLS1_HS_HELLO_REQUEST: {
        // Without the server's word that renegotiations are bound to this connection, a new
        // handshake could splice someone else's session in front of ours: we decline, and the
        // connection goes on as it was.
        if (!tls->SecureRenegotiation) {
            TLS1_Print(tls, "Renegotiation refused: the server did not offer secure renegotiation");
            if (!TLS1_AlertQueue(tls, 1, TLS1_ALERT_NO_RENEGOTIATION)) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
            return 1;
        }
        // A renegotiation keeps the name of the first connect: the new hello announces it and the
        // new certificate is checked against it.
        char host[TLS1_HOST_CAPACITY];
        memcpy(host, tls->Host, sizeof(host));
        host[sizeof(host) - 1] = 0;
        uint32_t error = 0;
        if (!TLS1_Connect(tls, host, &error)) return Fail(tls, error ? error : TLS1_ALERT_HANDSHAKE_FAILURE);
        return 1;
    }
    case TLS1_HS_SERVER_HELLO:
        return ReadServerHello(tls, body, length);
    case TLS1_HS_CERTIFICATE:
        return ReadCertificate(tls, body, length);
    case TLS1_HS_SERVER_KEY_EXCHANGE:
        return ReadServerKeyExchange(tls, body, length);
    case TLS1_HS_CERTIFICATE_REQUEST:
        return ReadCertificateRequest(tls, body, length);
    case TLS1_HS_SERVER_HELLO_DONE: {
        const int64_t result = ReadServerHelloDone(tls);
        tls->ExpectedHandshakeType = TLS1_HS_FINISHED;
        return result;
    }
    case TLS1_HS_FINISHED:
        return ReadFinished(tls, body, length);
    default:
        return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
    }
}

bool ReservePending(TLS1HandshakeContext* context, uint32_t size) {
    if (size <= context->PendingCapacity) return true;
    uint32_t capacity = context->PendingCapacity ? context->PendingCapacity : 4096;
    while (capacity < size) capacity *= 2;
    if (capacity > TLS1_HANDSHAKE_MESSAGE_MAX) capacity = TLS1_HANDSHAKE_MESSAGE_MAX;
    if (capacity < size) return false;
    uint8_t* grown = static_cast<uint8_t*>(Memory_Alloc(capacity));
    if (context->PendingLength) memcpy(grown, context->Pending, context->PendingLength);
    if (context->Pending) Memory_Free(context->Pending, context->PendingCapacity);
    context->Pending = grown;
    context->PendingCapacity = capacity;
    return true;
}

void DropPending(TLS1HandshakeContext* context) {
    if (context->Pending) Memory_Free(context->Pending, context->PendingCapacity);
    context->Pending = nullptr;
    context->PendingLength = 0;
    context->PendingCapacity = 0;
}

} // namespace

// ---- Context -------------------------------------------------------------------------------

int64_t TLS1_HandshakeContextCreate(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    if (tls->HandshakeContext) return 1;
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
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 1;
    if (context->KeyBlock) {
        memset(context->KeyBlock, 0, context->KeyBlockLength);
        Memory_Free(context->KeyBlock, context->KeyBlockLength);
    }
    ReleaseClientCertificate(context);
    if (context->MD5) Hash_Release(&context->MD5);
    if (context->SHA1) Hash_Release(&context->SHA1);
    if (context->HandshakeHash) Hash_Release(&context->HandshakeHash);
    if (context->ServerCertificate) X509_Release(&context->ServerCertificate);
    DropPending(context);
    memset(context, 0, sizeof(*context));
    Memory_Free(context, sizeof(TLS1HandshakeContext));
    tls->HandshakeContext = nullptr;
    return 1;
}

int64_t TLS1_HandshakeReset(TLS1* tls) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 0;
    Hash_Reset(context->MD5);
    Hash_Reset(context->SHA1);
    Hash_SetInterface(context->HandshakeHash, nullptr);
    Hash_Reset(context->HandshakeHash);
    if (context->CertVerifyHashHandle) Hash_Reset(context->CertVerifyHashHandle);
    memset(context->ExpectedServerVerifyData, 0, sizeof(context->ExpectedServerVerifyData));
    memset(context->MasterSecret, 0, sizeof(context->MasterSecret));
    memset(context->ServerRandom, 0, sizeof(context->ServerRandom));
    if (context->ServerCertificate) X509_Release(&context->ServerCertificate);
    context->ServerKeyExchangeRead = 0;
    DropPending(context);
    return 1;
}

// ---- ClientHello ---------------------------------------------------------------------------

int64_t TLS1_ClientHelloQueue(TLS1* tls, const char* host, uint32_t renegotiation) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 0;
    if (!host) host = "";
    const size_t hostLength = strlen(host);
    uint8_t hello[CLIENT_HELLO_SIZE];
    memset(hello, 0, sizeof(hello));
    uint32_t at = 4;
    hello[at++] = 3;
    hello[at++] = (uint8_t)(tls->RecordVersion & 0x0F);
    const uint32_t now = (uint32_t)std::time(nullptr);
    context->ClientRandom[0] = (uint8_t)(now >> 24);
    context->ClientRandom[1] = (uint8_t)(now >> 16);
    context->ClientRandom[2] = (uint8_t)(now >> 8);
    context->ClientRandom[3] = (uint8_t)now;
    Platform_CryptFill(context->ClientRandom + 4, TLS1_RANDOM - 4);
    memcpy(hello + at, context->ClientRandom, TLS1_RANDOM);
    at += TLS1_RANDOM;
    hello[at++] = 0; // no session id: every connection runs a full handshake
    const uint32_t suitesAt = at;
    at += 2;
    bool ecdhe = false;
    for (const TLS1CipherInfo& row : TLS1_CipherInfo) {
        if (!row.Enabled || (IsGCM(row) && TLS1_Version_Max < TLS1_VERSION_1_2)) continue;
        Put16(hello + at, row.Code);
        at += 2;
        ecdhe = ecdhe || IsECDHESuite(row.Code);
    }
    Put16(hello + suitesAt, at - suitesAt - 2);
    hello[at++] = 1;
    hello[at++] = 0;
    const uint32_t extensionsAt = at;
    at += 2;
    const uint32_t infoLength = renegotiation ? 1 + TLS1_VERIFY_DATA : 1;
    const uint32_t fixed = at + (TLS1_Version_Max == TLS1_VERSION_1_2 ? sizeof(kExtensionSignatureAlg) : 0) +
                           (ecdhe ? sizeof(kExtensionSupportedGroups) + sizeof(kExtensionECPointFormats) : 0) +
                           4 + infoLength;
    // A name that does not fit the hello refuses the connection: sending the hello without it
    // would reach a server that cannot tell which site we want.
    if (hostLength > 0 && (hostLength >= TLS1_HOST_CAPACITY || fixed + 9 + hostLength > CLIENT_HELLO_SIZE)) {
        TLS1_Print(tls, "Host name too long for the ClientHello");
        return 0;
    }
    if (TLS1_Version_Max == TLS1_VERSION_1_2) {
        memcpy(hello + at, kExtensionSignatureAlg, sizeof(kExtensionSignatureAlg));
        at += sizeof(kExtensionSignatureAlg);
    }
    if (ecdhe) {
        memcpy(hello + at, kExtensionSupportedGroups, sizeof(kExtensionSupportedGroups));
        at += sizeof(kExtensionSupportedGroups);
        memcpy(hello + at, kExtensionECPointFormats, sizeof(kExtensionECPointFormats));
        at += sizeof(kExtensionECPointFormats);
    }
    Put16(hello + at, kExtensionRenegotiationInfo);
    Put16(hello + at + 2, infoLength);
    hello[at + 4] = (uint8_t)(infoLength - 1);
    if (renegotiation) memcpy(hello + at + 5, tls->ClientVerifyData, TLS1_VERIFY_DATA);
    at += 4 + infoLength;
    if (hostLength > 0) {
        const uint32_t n = (uint32_t)hostLength;
        Put16(hello + at, 0x0000);
        Put16(hello + at + 2, n + 5);
        Put16(hello + at + 4, n + 3);
        hello[at + 6] = 0;
        Put16(hello + at + 7, n);
        memcpy(hello + at + 9, host, n);
        at += 9 + n;
    }
    if (at <= CLIENT_HELLO_SIZE - PADDING_HEADER - 1 && !renegotiation) {
        const uint32_t padding = CLIENT_HELLO_SIZE - PADDING_HEADER - at;
        Put16(hello + at, 0x0015);
        Put16(hello + at + 2, padding);
        at += PADDING_HEADER + padding; // the bytes are already zero
    }
    Put16(hello + extensionsAt, at - extensionsAt - 2);
    hello[0] = TLS1_HS_CLIENT_HELLO;
    Put24(hello + 1, at - 4);
    if (!renegotiation) tls->ExpectedHandshakeType = TLS1_HS_CLIENT_HELLO;
    if (!QueueHandshake(tls, hello, at)) return 0;
    tls->ExpectedHandshakeType = TLS1_HS_SERVER_HELLO;
    if (host != tls->Host) {
        memcpy(tls->Host, host, hostLength);
        tls->Host[hostLength] = 0;
    }
    return 1;
}

// ---- Reading -------------------------------------------------------------------------------

int64_t TLS1_HandshakeRead(TLS1* tls, const uint8_t* data, uint32_t length) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return Fail(tls, TLS1_ALERT_NO_RENEGOTIATION);
    uint32_t offset = 0;
    while (offset < length) {
        const uint8_t* at = data + offset;
        const uint32_t left = length - offset;
        uint32_t total = 0;
        if (context->PendingLength == 0 && left >= 4) {
            total = 4 + Get24(at + 1);
            if (total > TLS1_HANDSHAKE_MESSAGE_MAX) {
                TLS1_Print(tls, "Invalid SSL handshake length");
                return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
            }
            if (total <= left) {
                const uint32_t expected = tls->ExpectedHandshakeType;
                const uint8_t type = at[0];
                if (!HandleMessage(tls, at, total)) return 0;
                offset += total;
                // A renegotiation started over: the rest of this record belongs to nothing.
                if (type == TLS1_HS_HELLO_REQUEST && expected == 0) return 1;
                continue;
            }
        }
        // A message that goes on in the next record: collect it.
        uint32_t take = 0;
        if (context->PendingLength < 4) {
            if (!ReservePending(context, 4)) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
            take = 4 - context->PendingLength;
            if (take > left) take = left;
        } else {
            total = 4 + Get24(context->Pending + 1);
            take = total - context->PendingLength;
            if (take > left) take = left;
        }
        memcpy(context->Pending + context->PendingLength, at, take);
        context->PendingLength += take;
        offset += take;
        if (context->PendingLength < 4) continue;
        total = 4 + Get24(context->Pending + 1);
        if (total > TLS1_HANDSHAKE_MESSAGE_MAX) {
            TLS1_Print(tls, "Invalid SSL handshake length");
            return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        }
        // Refuse an unexpected message before collecting what may be a megabyte of it.
        if (!IsExpected(tls, context->Pending[0])) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        if (!ReservePending(context, total)) return Fail(tls, TLS1_ALERT_HANDSHAKE_FAILURE);
        if (context->PendingLength < total) continue;
        const uint32_t expected = tls->ExpectedHandshakeType;
        const uint8_t type = context->Pending[0];
        const int64_t handled = HandleMessage(tls, context->Pending, total);
        if (tls->HandshakeContext) context->PendingLength = 0;
        if (!handled) return 0;
        if (type == TLS1_HS_HELLO_REQUEST && expected == 0) return 1;
    }
    return 1;
}

int64_t TLS1_CollectForFinished(TLS1* tls, const uint8_t* message, uint32_t length, uint8_t type) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context || (length && !message)) return 0;
    if (length == 0) return 1;
    const uint32_t version = tls->ActiveVersion;
    int64_t ok = 1;
    if (version == TLS1_VERSION_1_2 || version == 0)
        ok = Hash_Process(context->HandshakeHash, message, length, nullptr) == 1;
    if (version != TLS1_VERSION_1_2 || type == TLS1_HS_CLIENT_HELLO || type == TLS1_HS_SERVER_HELLO) {
        ok = ok && Hash_Process(context->MD5, message, length, nullptr) == 1;
        ok = ok && Hash_Process(context->SHA1, message, length, nullptr) == 1;
    }
    // The CertificateVerify digest is taken before that message is sent; it takes nothing after.
    if (context->CertVerifyHashHandle && !Hash_IsGenerated(context->CertVerifyHashHandle))
        ok = ok && Hash_Process(context->CertVerifyHashHandle, message, length, nullptr) == 1;
    return ok;
}

const char* TLS1_HandshakeMessageName(uint8_t type) {
    switch (type) {
    case 0:
        return "Hello Request";
    case 1:
        return "Client Hello";
    case 2:
        return "Server Hello";
    case 11:
        return "Certificate";
    case 12:
        return "Server Key Exchange";
    case 13:
        return "Certificate Request";
    case 14:
        return "Server Hello Done";
    case 15:
        return "Certificate Verify";
    case 16:
        return "Client Key Exchange";
    case 20:
        return "Finished";
    default:
        return "Unknown";
    }
}

int64_t TLS1_HandshakeStateDisplay(TLS1* tls, uint8_t type, uint32_t direction) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1_VerboseLog(tls, 0, "Handshake State (%s): %s", direction == 1 ? "TX" : "RX",
                    TLS1_HandshakeMessageName(type));
    return 1;
}

// ---- Client certificates -------------------------------------------------------------------

int64_t TLS1_SetClientCert(TLS1* tls, MemoryStream* stream, const char* password) {
    CLASS_CHECK(tls, TLS1_CLASS_ID);
    TLS1HandshakeContext* context = tls->HandshakeContext;
    if (!context) return 0;
    ReleaseClientCertificate(context);
    if (!stream) return 1;
    const int32_t used = MemoryStream_GetUsed(stream);
    if (used <= 0) return 0;
    uint8_t* bytes = nullptr;
    if (!MemoryStream_GetPointer(stream, &bytes) || !bytes) return 0;
    ASN1* root = nullptr;
    ASN1_Create(&root);
    PKCS12* pkcs12 = nullptr;
    int64_t result = 0;
    if (ASN1_Decode(root, bytes, (uint32_t)used)) {
        PKCS12_Create(&pkcs12);
        result = PKCS12_Build(pkcs12, root, password ? password : "");
    }
    ASN1_Release(&root);
    MemoryStream_ReleasePointer(stream, &bytes);
    if (result != 1) {
        if (pkcs12) PKCS12_Release(&pkcs12);
        return result;
    }
    X509* cert = nullptr;
    CryptAsymmetric* key = nullptr;
    uint8_t certType = 0, signature = 0;
    if (!PKCS12_Get(pkcs12, 0, &cert) || !cert) {
        TLS1_Print(tls, "Client certificate not found");
    } else if (X509_GetCryptAsymmetricHandle(cert, &key) && key && CryptAsymmetric_IsRSA(key)) {
        certType = CERT_TYPE_RSA;
        signature = SIGNATURE_RSA;
    } else if (key && CryptAsymmetric_IsECDSA(key)) {
        certType = CERT_TYPE_ECDSA;
        signature = SIGNATURE_ECDSA;
    } else {
        TLS1_Print(tls, "Invalid client certificate type\n");
    }
    bool requested = false;
    for (uint32_t i = 0; certType && i < tls->RequestedCertificateTypeCount; i++)
        requested = requested || tls->RequestedCertificateTypes[i] == certType;
    if (certType && !requested) TLS1_Print(tls, "Unexpected client certificate type [%d]", (int32_t)certType);
    uint32_t algorithm = 0;
    if (requested) {
        // The first algorithm the server named for our key type that we can sign with.
        for (uint32_t i = 0; i < tls->RequestedSignAlgorithmCount && !algorithm; i++) {
            const uint16_t candidate = tls->RequestedSignAlgorithms[i];
            if ((candidate & 0xFF) == signature && CanSignWith((uint8_t)(candidate >> 8), signature))
                algorithm = candidate;
        }
        if (!algorithm) {
            const HashInterface* own = nullptr;
            X509_GetHashInterface(cert, &own);
            const uint8_t number = SignatureHashNumber(own);
            if (number)
                algorithm = (uint32_t)number << 8 | signature;
            else
                TLS1_Print(tls, "Invalid client certificate\n");
        }
    }
    const HashInterface* hashRecord = algorithm ? SignatureHash((uint8_t)(algorithm >> 8)) : nullptr;
    if (!hashRecord) {
        PKCS12_Release(&pkcs12);
        return 0;
    }
    context->ClientCertificate = pkcs12;
    Hash_Create(&context->CertVerifyHashHandle);
    Hash_SetInterface(context->CertVerifyHashHandle, hashRecord);
    context->ClientSignatureAlgorithm = algorithm;
    return 1;
}

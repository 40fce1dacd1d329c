// PKCS7: reading a SignedData blob into its signer's values and verifying the signer's chain,
// signature and digest.
#include "core/certs/pkcs7.h"

#include <cstring>

#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric_interface.h"
#include "core/crypto/md2.h"
#include "core/crypto/md4.h"
#include "core/crypto/md5.h"
#include "core/platform/file.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/log.h"
#include "core/runtime/memory.h"

struct PKCS7 {
    Class Header;
    ClassPrint Print;
    uint32_t Version;
    ASN1* ContentInfo;
    ASN1* Content;
    X509Chain* Certificates;
    uint32_t SignerVersion;
    const HashInterface* SignerDigest;
    X500* SignerIssuer;
    BigInt* SignerSerial;
    ASN1* DigestEncryptionAlgorithm;
    ASN1* AuthenticatedAttributes;
    ASN1* EncryptedDigest;
    ASN1* UnauthenticatedAttributes;
    // The digest the signature vouches for: the image digest of an Authenticode blob, else the
    // messageDigest attribute.
    ASN1* MessageDigest;
    // The messageDigest attribute itself; it must match the digest of any content the blob holds.
    ASN1* AttributeDigest;
    ASN1* Tree;
    uint8_t* Der;
    uint32_t DerLength;
};

namespace {

constexpr uint32_t kMaxDigestSize = 64;
constexpr uint8_t kTagContext0 = 0xA0;
constexpr uint8_t kTagContext1 = 0xA1;
constexpr uint32_t kTypeInteger = 2;
constexpr uint32_t kTypeOctetString = 4;
constexpr uint32_t kTypeOid = 6;
constexpr uint32_t kTypeSequence = 16;
constexpr uint32_t kTypeSet = 17;
constexpr int32_t kOidTextSize = 128;

const char kOidSignedData[] = "1.2.840.113549.1.7.2";
const char kOidIndirectData[] = "1.3.6.1.4.1.311.2.1.4";
const char kOidMessageDigest[] = "1.2.840.113549.1.9.4";

int64_t DeleteHandle(void** handle) {
    return PKCS7_Delete(reinterpret_cast<PKCS7**>(handle));
}

void PreparePrint(PKCS7* pkcs7) {
    ClassPrint_Prepare(&pkcs7->Print, pkcs7, "PKCS7", PKCS7_PrintInternal);
}

uint8_t TagOf(ASN1* node) {
    uint8_t tag = 0;
    if (node) ASN1_GetTag(node, &tag);
    return tag;
}

bool IsType(ASN1* node, uint32_t type) {
    return node != nullptr && (TagOf(node) & 0xC0) == 0 && ASN1_GetType(node) == type;
}

// Digests broken enough that a signature over them proves nothing.
bool IsWeakHash(const HashInterface* record) {
    return record == &MD2_INTERFACE || record == &MD4_INTERFACE || record == &MD5_INTERFACE;
}

// Forgets everything read from the DER copy; the copy itself stays.
void ClearRead(PKCS7* pkcs7) {
    pkcs7->Version = 0;
    pkcs7->ContentInfo = nullptr;
    pkcs7->Content = nullptr;
    X509Chain_Reset(pkcs7->Certificates);
    pkcs7->SignerVersion = 0;
    pkcs7->SignerDigest = nullptr;
    X500_Reset(pkcs7->SignerIssuer);
    BigInt_SetWord(pkcs7->SignerSerial, 0);
    pkcs7->DigestEncryptionAlgorithm = nullptr;
    pkcs7->AuthenticatedAttributes = nullptr;
    pkcs7->EncryptedDigest = nullptr;
    pkcs7->UnauthenticatedAttributes = nullptr;
    pkcs7->MessageDigest = nullptr;
    pkcs7->AttributeDigest = nullptr;
}

void FreeDer(PKCS7* pkcs7) {
    ClearRead(pkcs7);
    ASN1_Reset(pkcs7->Tree);
    if (pkcs7->Der) Memory_Free(pkcs7->Der, pkcs7->DerLength);
    pkcs7->Der = nullptr;
    pkcs7->DerLength = 0;
}

bool StoreCopy(PKCS7* pkcs7, const uint8_t* der, uint32_t length) {
    FreeDer(pkcs7);
    if (der == nullptr || length == 0 || length > PKCS7_MAX_DER_SIZE) return false;
    pkcs7->Der = static_cast<uint8_t*>(Memory_Alloc(length));
    memcpy(pkcs7->Der, der, length);
    pkcs7->DerLength = length;
    return true;
}

bool ReadU32(ASN1* node, uint32_t* value) {
    return IsType(node, kTypeInteger) && ASN1_GetValueSize(node) <= 4 && ASN1_ParseInt32(node, value) == 1;
}

bool OidIs(ASN1* node, const char* oid) {
    if (!IsType(node, kTypeOid)) return false;
    char text[kOidTextSize];
    return ASN1_ParseOid(node, text, kOidTextSize) == 1 && strcmp(text, oid) == 0;
}

// The element that the content's digest is taken over: the [0] content's single child. A CMS
// eContent is an OCTET STRING; an Authenticode content is the SpcIndirectDataContent itself.
ASN1* ContentElement(PKCS7* pkcs7) {
    return pkcs7->Content ? ASN1_GetElement(pkcs7->Content, 0) : nullptr;
}

// Digest of the content's value octets (the pieces of a constructed OCTET STRING joined).
bool DigestContent(PKCS7* pkcs7, uint8_t* out) {
    ASN1* element = ContentElement(pkcs7);
    if (element == nullptr || pkcs7->SignerDigest == nullptr) return false;
    Hash* hash = nullptr;
    Hash_Create(&hash);
    Hash_SetInterface(hash, pkcs7->SignerDigest);
    bool ok = true;
    uint32_t processed = 0;
    if (TagOf(element) == 0x24) {
        for (ASN1* piece = ASN1_GetElement(element, 0); piece && ok; piece = piece->Next) {
            ok = TagOf(piece) == 0x04 &&
                 Hash_Process(hash, ASN1_GetValuePtr(piece), ASN1_GetValueSize(piece), &processed) == 1;
        }
    } else {
        ok = Hash_Process(hash, ASN1_GetValuePtr(element), ASN1_GetValueSize(element), &processed) == 1;
    }
    ok = ok && Hash_Generate(hash) == 1 && Hash_GetDigest(hash, out, kMaxDigestSize) == 1;
    Hash_Release(&hash);
    return ok;
}

// The OCTET STRING of the single value of the messageDigest attribute, or null.
ASN1* FindAttributeDigest(ASN1* attributes) {
    for (ASN1* attribute = ASN1_GetElement(attributes, 0); attribute; attribute = attribute->Next) {
        if (!IsType(attribute, kTypeSequence) || !OidIs(ASN1_GetElement(attribute, 0), kOidMessageDigest)) continue;
        ASN1* values = ASN1_GetElement(attribute, 1);
        uint32_t count = 0;
        if (!IsType(values, kTypeSet) || !ASN1_GetElementCount(values, &count) || count != 1) return nullptr;
        ASN1* value = ASN1_GetElement(values, 0);
        return IsType(value, kTypeOctetString) ? value : nullptr;
    }
    return nullptr;
}

// The digest OCTET STRING of an Authenticode SpcIndirectDataContent (carried bare, or wrapped in
// an OCTET STRING as CMS writes its eContent).
ASN1* FindImageDigest(ASN1* content) {
    ASN1* indirect = content ? ASN1_GetElement(content, 0) : nullptr;
    if (IsType(indirect, kTypeOctetString)) indirect = ASN1_GetElement(indirect, 0);
    if (!IsType(indirect, kTypeSequence)) return nullptr;
    ASN1* digestInfo = ASN1_GetElement(indirect, 1);
    if (!IsType(digestInfo, kTypeSequence)) return nullptr;
    ASN1* digest = ASN1_GetElement(digestInfo, 1);
    return IsType(digest, kTypeOctetString) ? digest : nullptr;
}

bool ReadSignerInfo(PKCS7* pkcs7, ASN1* signer) {
    if (!IsType(signer, kTypeSequence)) return false;
    if (!ReadU32(ASN1_GetElement(signer, 0), &pkcs7->SignerVersion)) return false;
    ASN1* issuerAndSerial = ASN1_GetElement(signer, 1);
    if (!IsType(issuerAndSerial, kTypeSequence)) return false;
    ASN1* issuer = ASN1_GetElement(issuerAndSerial, 0);
    if (!IsType(issuer, kTypeSequence) || X500_Build(pkcs7->SignerIssuer, issuer) != 1) return false;
    ASN1* serial = ASN1_GetElement(issuerAndSerial, 1);
    if (!IsType(serial, kTypeInteger) || ASN1_ParseBigInt(serial, pkcs7->SignerSerial) != 1) return false;
    ASN1* algorithm = ASN1_GetElement(signer, 2);
    ASN1* oid = IsType(algorithm, kTypeSequence) ? ASN1_GetElement(algorithm, 0) : nullptr;
    char text[kOidTextSize];
    if (!IsType(oid, kTypeOid) || ASN1_ParseOid(oid, text, kOidTextSize) != 1) return false;
    const HashInterface* record = nullptr;
    if (Hash_InterfaceFromOid(text, &record) != 1 || record == nullptr) return false;
    pkcs7->SignerDigest = record;
    uint32_t position = 3;
    ASN1* element = ASN1_GetElement(signer, position);
    if (TagOf(element) == kTagContext0) {
        pkcs7->AuthenticatedAttributes = element;
        position++;
    }
    pkcs7->DigestEncryptionAlgorithm = ASN1_GetElement(signer, position);
    pkcs7->EncryptedDigest = ASN1_GetElement(signer, position + 1);
    pkcs7->UnauthenticatedAttributes = ASN1_GetElement(signer, position + 2);
    if (pkcs7->EncryptedDigest && !IsType(pkcs7->EncryptedDigest, kTypeOctetString)) return false;
    return true;
}

bool BuildInt(PKCS7* pkcs7) {
    if (ASN1_Decode(pkcs7->Tree, pkcs7->Der, pkcs7->DerLength) != 1) return false;
    ASN1* outer = ASN1_GetElement(pkcs7->Tree, 0);
    if (!IsType(outer, kTypeSequence) || !OidIs(ASN1_GetElement(outer, 0), kOidSignedData)) return false;
    ASN1* wrapper = ASN1_GetElement(outer, 1);
    if (TagOf(wrapper) != kTagContext0) return false;
    ASN1* signedData = ASN1_GetElement(wrapper, 0);
    if (!IsType(signedData, kTypeSequence)) return false;

    if (!ReadU32(ASN1_GetElement(signedData, 0), &pkcs7->Version)) return false;
    ASN1* contentInfo = ASN1_GetElement(signedData, 2);
    if (!IsType(contentInfo, kTypeSequence) || !IsType(ASN1_GetElement(contentInfo, 0), kTypeOid)) return false;
    pkcs7->ContentInfo = contentInfo;
    pkcs7->Content = ASN1_GetElement(contentInfo, 1);
    if (pkcs7->Content && TagOf(pkcs7->Content) != kTagContext0) return false;

    uint32_t position = 3;
    ASN1* element = ASN1_GetElement(signedData, position);
    if (TagOf(element) == kTagContext0) {
        uint32_t count = 0;
        ASN1_GetElementCount(element, &count);
        if (count > PKCS7_MAX_CERTIFICATES) {
            PKCS7_Print(pkcs7, "Too many certificates (%u)", count);
            return false;
        }
        if (X509Chain_Build(pkcs7->Certificates, element) != 1) return false;
        element = ASN1_GetElement(signedData, ++position);
    }
    if (TagOf(element) == kTagContext1) element = ASN1_GetElement(signedData, ++position);

    uint32_t signers = 0;
    if (element == nullptr) return true;
    if (!IsType(element, kTypeSet)) return false;
    ASN1_GetElementCount(element, &signers);
    if (signers == 0) return true;
    if (!ReadSignerInfo(pkcs7, ASN1_GetElement(element, 0))) return false;

    if (pkcs7->AuthenticatedAttributes) pkcs7->AttributeDigest = FindAttributeDigest(pkcs7->AuthenticatedAttributes);
    ASN1* indirect = nullptr;
    if (ASN1_Find(contentInfo, kOidIndirectData, 1, &indirect) == 1) {
        pkcs7->MessageDigest = FindImageDigest(indirect);
    } else {
        pkcs7->MessageDigest = pkcs7->AttributeDigest;
    }
    return true;
}

bool CheckSigner(PKCS7* pkcs7) {
    if (pkcs7->SignerDigest == nullptr) {
        PKCS7_Print(pkcs7, "Missing signer info hash type");
        return false;
    }
    if (pkcs7->EncryptedDigest == nullptr) {
        PKCS7_Print(pkcs7, "Missing encrypted digest");
        return false;
    }
    return true;
}

// When the blob carries content, the signed attributes must vouch for exactly that content: else
// a valid signature over the attributes would lend itself to any content put beside them.
bool CheckContentAgainstAttributes(PKCS7* pkcs7) {
    if (pkcs7->AuthenticatedAttributes == nullptr || pkcs7->Content == nullptr) return true;
    uint8_t digest[kMaxDigestSize];
    if (!DigestContent(pkcs7, digest)) {
        PKCS7_Print(pkcs7, "Content hash generate failed");
        return false;
    }
    const uint32_t size = pkcs7->SignerDigest->DigestSize;
    ASN1* attribute = pkcs7->AttributeDigest;
    if (attribute == nullptr || ASN1_GetValueSize(attribute) != size ||
        memcmp(ASN1_GetValuePtr(attribute), digest, size) != 0) {
        PKCS7_Print(pkcs7, "Content does not match the signed message digest");
        return false;
    }
    return true;
}

// The signature and the digest comparison, shared by both verifications once the chain holds.
bool VerifySigned(PKCS7* pkcs7, X509* signer, const uint8_t* digest) {
    if (PKCS7_VerifySignature(pkcs7, signer) != 1) return false;
    if (!CheckContentAgainstAttributes(pkcs7)) return false;
    if (pkcs7->AuthenticatedAttributes == nullptr && pkcs7->MessageDigest == nullptr) {
        // Signed content without attributes: the signature covered the content's own digest.
        uint8_t contentDigest[kMaxDigestSize];
        if (!DigestContent(pkcs7, contentDigest)) {
            PKCS7_Print(pkcs7, "Content hash generate failed");
            return false;
        }
        if (memcmp(contentDigest, digest, pkcs7->SignerDigest->DigestSize) != 0) {
            PKCS7_Print(pkcs7, "Verification failed");
            return false;
        }
        return true;
    }
    return PKCS7_VerifySignedDigest(pkcs7, digest) == 1;
}

} // namespace

int64_t PKCS7_Create(PKCS7** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    auto* pkcs7 = static_cast<PKCS7*>(Memory_AllocZero(sizeof(PKCS7)));
    pkcs7->Header.ClassId = PKCS7_CLASS_ID;
    pkcs7->Header.RefCount = 1;
    pkcs7->Header.Delete = DeleteHandle;
    ASN1_Create(&pkcs7->Tree);
    X509Chain_Create(&pkcs7->Certificates);
    X500_Create(&pkcs7->SignerIssuer);
    BigInt_Create(&pkcs7->SignerSerial);
    *handle = pkcs7;
    return 1;
}

int64_t PKCS7_Delete(PKCS7** handle) {
    ASSERT_POINTER(handle);
    PKCS7* pkcs7 = *handle;
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    FreeDer(pkcs7);
    ASN1_Release(&pkcs7->Tree);
    X509Chain_Release(&pkcs7->Certificates);
    X500_Release(&pkcs7->SignerIssuer);
    BigInt_Release(&pkcs7->SignerSerial);
    pkcs7->Header.ClassId = 0;
    Memory_Free(pkcs7, sizeof(PKCS7));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(PKCS7, PKCS7, PKCS7_CLASS_ID)

int64_t PKCS7_CopyASN1(PKCS7* pkcs7, ASN1* node) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    CLASS_CHECK(node, ASN1_CLASS_ID);
    // The node may point into our own copy: take its bytes before the copy goes.
    const uint32_t size = ASN1_GetNodeSize(node);
    if (size == 0 || size > PKCS7_MAX_DER_SIZE) {
        FreeDer(pkcs7);
        return 0;
    }
    auto* bytes = static_cast<uint8_t*>(Memory_Alloc(size));
    memcpy(bytes, ASN1_GetNodePtr(node), size);
    FreeDer(pkcs7);
    pkcs7->Der = bytes;
    pkcs7->DerLength = size;
    return 1;
}

int64_t PKCS7_Build(PKCS7* pkcs7, ASN1* node) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (PKCS7_CopyASN1(pkcs7, node) != 1) return 0;
    return BuildInt(pkcs7) ? 1 : 0;
}

int64_t PKCS7_BuildFromBuffer(PKCS7* pkcs7, const uint8_t* der, uint32_t length) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (!StoreCopy(pkcs7, der, length)) return 0;
    return BuildInt(pkcs7) ? 1 : 0;
}

int64_t PKCS7_GetSignerInfoHashInterface(PKCS7* pkcs7, const HashInterface** record) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    ASSERT_POINTER(record);
    *record = pkcs7->SignerDigest;
    return pkcs7->SignerDigest != nullptr;
}

int64_t PKCS7_IsDetached(PKCS7* pkcs7) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    return pkcs7->Content == nullptr && pkcs7->AuthenticatedAttributes == nullptr;
}

int64_t PKCS7_Save(PKCS7* pkcs7, const char* path) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    ASSERT_POINTER(path);
    // Nothing to write: never empty a file for an object that holds no encoding.
    if (!pkcs7->Der || pkcs7->DerLength == 0) return 0;
    File* file = nullptr;
    File_Create(&file);
    int64_t result = 0;
    if (File_Open(file, path, FILE_WRITE | FILE_TRUNCATE) != 1) {
        PKCS7_Print(pkcs7, "Unable to open file (%s)", path);
    } else {
        uint32_t written = 0;
        result = File_Write(file, pkcs7->Der, (int32_t)pkcs7->DerLength, &written) == 1 && written == pkcs7->DerLength;
        if (File_Close(file) != 1) result = 0;
    }
    File_Release(&file);
    return result;
}

int64_t PKCS7_VerifyChain(PKCS7* pkcs7, CertStoreInterface* store, X509** signer) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    ASSERT_POINTER(signer);
    *signer = nullptr;
    X509* cert = nullptr;
    if (X509Chain_IssuerAndSerialNumberFind(pkcs7->Certificates, pkcs7->SignerIssuer, pkcs7->SignerSerial, &cert) !=
            1 ||
        cert == nullptr) {
        PKCS7_Print(pkcs7, "Signer info certificate not found in chain");
        return 0;
    }
    if (store == nullptr || X509Chain_VerifyX509(pkcs7->Certificates, cert, store) != 1) {
        PKCS7_Print(pkcs7, "Unable to verify certificate chain");
        X509Chain_Dump(pkcs7->Certificates);
        return 0;
    }
    *signer = cert;
    return 1;
}

int64_t PKCS7_VerifyEncryptedDigest(PKCS7* pkcs7, X509* signer, const uint8_t* digest) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (pkcs7->SignerDigest == nullptr || signer == nullptr || digest == nullptr || pkcs7->EncryptedDigest == nullptr)
        return 0;
    const uint32_t size = pkcs7->SignerDigest->DigestSize;
    if (size > kMaxDigestSize) {
        PKCS7_Print(pkcs7, "Encrypted digest incorrect size");
        return 0;
    }
    if (IsWeakHash(pkcs7->SignerDigest)) {
        PKCS7_Print(pkcs7, "Signer digest algorithm %s is too weak", pkcs7->SignerDigest->Name);
        return 0;
    }
    if (X509_VerifyDigest(signer, digest, size, ASN1_GetValuePtr(pkcs7->EncryptedDigest),
                          ASN1_GetValueSize(pkcs7->EncryptedDigest), RSA_SIGNATURE_VERSION_PCS21) != 1) {
        PKCS7_Print(pkcs7, "Encrypted digest verification failed");
        return 0;
    }
    return 1;
}

int64_t PKCS7_VerifySignature(PKCS7* pkcs7, X509* signer) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (pkcs7->SignerDigest == nullptr) return 0;
    uint8_t digest[kMaxDigestSize];
    ASN1* attributes = pkcs7->AuthenticatedAttributes;
    if (attributes) {
        // The signature covers the attributes as a SET OF, not under their [0] identifier.
        const uint8_t setTag = 0x31;
        const uint8_t* encoding = ASN1_GetNodePtr(attributes);
        const uint32_t size = ASN1_GetNodeSize(attributes);
        Hash* hash = nullptr;
        Hash_Create(&hash);
        Hash_SetInterface(hash, pkcs7->SignerDigest);
        uint32_t processed = 0;
        const bool ok = Hash_Process(hash, &setTag, 1, &processed) == 1 &&
                        Hash_Process(hash, encoding + 1, size - 1, &processed) == 1 && Hash_Generate(hash) == 1 &&
                        Hash_GetDigest(hash, digest, kMaxDigestSize) == 1;
        Hash_Release(&hash);
        if (!ok) {
            PKCS7_Print(pkcs7, "Content hash generate failed");
            return 0;
        }
    } else if (pkcs7->Content) {
        if (!DigestContent(pkcs7, digest)) {
            PKCS7_Print(pkcs7, "Content hash generate failed");
            return 0;
        }
    } else {
        PKCS7_Print(pkcs7, "Missing content info");
        return 0;
    }
    if (PKCS7_VerifyEncryptedDigest(pkcs7, signer, digest) != 1) {
        PKCS7_Print(pkcs7, "Failed to verify signature");
        return 0;
    }
    return 1;
}

int64_t PKCS7_VerifySignedDigest(PKCS7* pkcs7, const uint8_t* digest) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (pkcs7->SignerDigest == nullptr || digest == nullptr) return 0;
    const uint32_t size = pkcs7->SignerDigest->DigestSize;
    const uint32_t length = pkcs7->MessageDigest ? ASN1_GetValueSize(pkcs7->MessageDigest) : 0;
    if (length != size) {
        PKCS7_Print(pkcs7, "Digest size doesn't match content hash size (%d:%d)", (int32_t)size, (int32_t)length);
        return 0;
    }
    if (memcmp(ASN1_GetValuePtr(pkcs7->MessageDigest), digest, size) != 0) {
        PKCS7_Print(pkcs7, "Verification failed");
        return 0;
    }
    return 1;
}

int64_t PKCS7_VerifyDigest(PKCS7* pkcs7, CertStoreInterface* store, const uint8_t* digest, uint32_t length) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (!CheckSigner(pkcs7)) return 0;
    // A digest shorter than the signer's would be read past its end.
    if (digest == nullptr || length != pkcs7->SignerDigest->DigestSize) {
        PKCS7_Print(pkcs7, "Digest size doesn't match content hash size (%d:%d)",
                    (int32_t)pkcs7->SignerDigest->DigestSize, (int32_t)length);
        return 0;
    }
    X509* signer = nullptr;
    if (PKCS7_VerifyChain(pkcs7, store, &signer) != 1) return 0;
    if (PKCS7_IsDetached(pkcs7)) return PKCS7_VerifyEncryptedDigest(pkcs7, signer, digest);
    return VerifySigned(pkcs7, signer, digest) ? 1 : 0;
}

int64_t PKCS7_Verify(PKCS7* pkcs7, CertStoreInterface* store, const uint8_t* content, uint32_t length) {
    CLASS_CHECK(pkcs7, PKCS7_CLASS_ID);
    if (!CheckSigner(pkcs7)) return 0;
    X509* signer = nullptr;
    if (PKCS7_VerifyChain(pkcs7, store, &signer) != 1) return 0;
    uint8_t digest[kMaxDigestSize];
    if (pkcs7->SignerDigest->DigestSize > kMaxDigestSize || length > 0x7FFFFFFF ||
        (content == nullptr && length != 0) ||
        Hash_QuickDigest(pkcs7->SignerDigest, content ? content : digest, (int32_t)length, digest,
                         (int32_t)sizeof(digest)) != 1) {
        PKCS7_Print(pkcs7, "Content hash generate failed");
        return 0;
    }
    if (PKCS7_IsDetached(pkcs7)) return PKCS7_VerifyEncryptedDigest(pkcs7, signer, digest);
    return VerifySigned(pkcs7, signer, digest) ? 1 : 0;
}

int64_t PKCS7_PrintInternal(void*, const char* format, ...) {
    va_list args;
    va_start(args, format);
    Log_PrintVInt(LOG_LEVEL_DEBUG, __FILE__, __LINE__, 0, format, 1, args);
    va_end(args);
    return 1;
}

CLASS_PRINT_FAMILY(PKCS7, PKCS7, PKCS7_CLASS_ID, PreparePrint)

// JWS compact tokens: taking a token apart, choosing where its key comes from (a certificate or
// key the store finds for the header, the store's secret, the store's public key), checking the
// signature and loading the payload; the algorithm table and HMAC token writing.
#include "core/certs/jws.h"

#include <cstring>

#include "core/certs/asn1.h"
#include "core/certs/cert_store.h"
#include "core/certs/x509.h"
#include "core/certs/x509_chain.h"
#include "core/crypto/crypt_asymmetric.h"
#include "core/crypto/ec.h"
#include "core/crypto/ecdsa.h"
#include "core/crypto/hmac.h"
#include "core/crypto/sha256.h"
#include "core/crypto/sha512.h"
#include "core/formats/base64.h"
#include "core/formats/json.h"
#include "core/runtime/debug.h"
#include "core/runtime/dictionary.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

const JWSAlgorithmString JWS_AlgorithmStringTable[10] = {
    {JWS_ALGORITHM_UNKNOWN, "Unknown"}, {JWS_ALGORITHM_HS256, "HS256"}, {JWS_ALGORITHM_HS384, "HS384"},
    {JWS_ALGORITHM_HS512, "HS512"},     {JWS_ALGORITHM_RS256, "RS256"}, {JWS_ALGORITHM_RS384, "RS384"},
    {JWS_ALGORITHM_RS512, "RS512"},     {JWS_ALGORITHM_ES256, "ES256"}, {JWS_ALGORITHM_ES384, "ES384"},
    {JWS_ALGORITHM_ES512, "ES512"},
};

const char* const JWS_AlgorithmOidStringTable[10] = {
    nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    "1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35",
};

namespace {

constexpr uint32_t kMaxDigest = 64;
// Room for one DER INTEGER of an ES512 half and for the SEQUENCE of two.
constexpr uint32_t kDerBuffer = 320;

// A decoded part of a token.
struct Bytes {
    uint8_t* Data = nullptr;
    uint32_t Capacity = 0;
    uint32_t Length = 0;
    ~Bytes() {
        if (Data) Memory_Free(Data, Capacity);
    }
};

// RFC 7515 parts are unpadded base64url: anything else (padding, a NUL, a third dot) is refused
// before decoding, so that a part is never read only up to some byte inside it.
bool IsBase64UrlText(const char* text, uint32_t length) {
    for (uint32_t i = 0; i < length; i++) {
        const char c = text[i];
        if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_'))
            return false;
    }
    return true;
}

bool DecodePart(const char* text, uint32_t length, Bytes* out) {
    if (!IsBase64UrlText(text, length)) return false;
    Base64_CalculateDecodeSize(length, &out->Capacity);
    out->Data = static_cast<uint8_t*>(Memory_Alloc(out->Capacity));
    if (length == 0) return true;
    return Base64_UrlDecode(text, (int32_t)length, out->Data, (int32_t)out->Capacity, &out->Length) == 1;
}

// Base64 text (standard alphabet) into a fresh buffer; the caller frees it.
bool DecodeStandard(const char* text, Bytes* out) {
    // No certificate is larger than X509_MAX_DER_SIZE, so no longer text needs decoding.
    constexpr size_t kMaxText = X509_MAX_DER_SIZE / 3 * 4 + 4;
    const size_t length = strnlen(text, kMaxText + 1);
    if (length == 0 || length > kMaxText) return false;
    Base64_CalculateDecodeSize((uint32_t)length, &out->Capacity);
    out->Data = static_cast<uint8_t*>(Memory_Alloc(out->Capacity));
    return Base64_Decode(text, (int32_t)length, out->Data, (int32_t)out->Capacity, &out->Length) == 1;
}

// The first "x5c" entry's text: 1 with it, 1 with null for an empty list, 0 without a list (or
// when the first entry is not a string).
int64_t FirstX5C(Dictionary* header, const char** text) {
    *text = nullptr;
    Dictionary* list = nullptr;
    if (!Dictionary_GetListByKey(header, "x5c", &list)) return 0;
    DictionaryItem* first = nullptr;
    Dictionary_ItemGetFirst(list, &first);
    if (!first) return 1;
    return Dictionary_ItemGetStringPtr(list, first, text);
}

// A DER SubjectPublicKeyInfo that loads as a key. Such bytes are public, so they must never
// serve as an HMAC secret: whoever has the public key could otherwise forge HS tokens.
bool IsPublicKeyEncoding(const uint8_t* key, uint32_t size) {
    ASN1* root = nullptr;
    ASN1_Create(&root);
    CryptAsymmetric* crypt = nullptr;
    CryptAsymmetric_Create(&crypt);
    const bool loads = ASN1_Decode(root, key, size) == 1 && ASN1_GetElement(root, 0) &&
                       CryptAsymmetric_SetPublicKeyFromASN1(crypt, ASN1_GetElement(root, 0)) == 1;
    CryptAsymmetric_Release(&crypt);
    ASN1_Release(&root);
    return loads;
}

// The key's algorithm (and curve) must be the one "alg" names.
bool KeyMatches(CryptAsymmetric* key, uint32_t code) {
    if (JWS_IsRS(code)) return CryptAsymmetric_IsRSA(key) == 1;
    if (!JWS_IsES(code) || CryptAsymmetric_IsECDSA(key) != 1) return false;
    EC* curve = nullptr;
    if (!ECDSA_GetECHandle(static_cast<ECDSA*>(key->Instance), &curve) || !curve) return false;
    const char* name = EC_GetCurveName(curve);
    return name && strcmp(name, JWS_TranslateAlgorithmOid(code)) == 0;
}

// Size of one coordinate of the curve an ES code names.
uint32_t CoordinateSize(uint32_t code) {
    return code == JWS_ALGORITHM_ES256 ? 32 : code == JWS_ALGORITHM_ES384 ? 48 : 66;
}

// R || S as DER SEQUENCE { INTEGER r, INTEGER s }, the form the ECDSA verifier reads.
bool EncodeEcdsaSignature(const uint8_t* signature, uint32_t half, uint8_t* sequence, uint32_t* length) {
    memset(sequence, 0, kDerBuffer);
    *length = 0;
    alignas(8) uint8_t storage[2][sizeof(BigInt)];
    ASSERT_MSG(BigInt_SizeOf() <= (int32_t)sizeof(storage[0]), "BigInt does not fit");
    bool ok = true;
    for (uint32_t i = 0; i < 2 && ok; i++) {
        BigInt* value = BigInt_Stack(storage[i]);
        uint8_t integer[kDerBuffer];
        ok = BigInt_ImportBinary(value, signature + i * half, half) == 1 &&
             ASN1_EncodeBigInt(nullptr, value, integer, sizeof integer) == 1 &&
             ASN1_EncodeSequenceAddNode(nullptr, sequence, (int32_t)kDerBuffer, integer, sizeof integer, length) == 1;
        BigInt_Unstack(value);
    }
    return ok;
}

// The header object of a decoded header text, in a JSON object of its own.
struct HeaderDocument {
    JSON* Json = nullptr;
    Dictionary* Dict = nullptr;
    Dictionary* Object = nullptr;
    HeaderDocument() {
        JSON_Create(&Json);
        Dictionary_Create(&Dict);
        JSON_SetDictionaryHandle(Json, Dict);
    }
    ~HeaderDocument() {
        JSON_Release(&Json);
        Dictionary_Release(&Dict);
    }
    // Only a JSON object is a header.
    bool Load(const Bytes& text) {
        if (text.Length == 0 || JSON_LoadBuffer(Json, text.Data, text.Length) != 1) return false;
        DictionaryItem* item = nullptr;
        Dictionary_ItemGetFirst(Dict, &item);
        if (!item || Dictionary_ItemCompareType(Dict, item, DICTIONARY_TYPE_DICTIONARY) != 1) return false;
        return Dictionary_ItemGetDictionaryHandle(Dict, item, &Object) == 1 && Object;
    }
};

int64_t Fail(JSON* json, uint32_t code) {
    JSON_SetLastError(json, code);
    return 0;
}

} // namespace

// ---- Algorithms ------------------------------------------------------------------------------

uint32_t JWS_TranslateAlgorithmString(const char* text) {
    if (!text) return JWS_ALGORITHM_UNKNOWN;
    for (const JWSAlgorithmString& entry : JWS_AlgorithmStringTable)
        if (String_CompareWithoutCase(entry.Name, text) == 1) return entry.Code;
    return JWS_ALGORITHM_UNKNOWN;
}

const char* JWS_TranslateAlgorithm(uint32_t code) {
    for (const JWSAlgorithmString& entry : JWS_AlgorithmStringTable)
        if (entry.Code == code) return entry.Name;
    return "Unknown";
}

const char* JWS_TranslateAlgorithmOid(uint32_t code) {
    return code < 10 ? JWS_AlgorithmOidStringTable[code] : nullptr;
}

const HashInterface* JWS_GetHashInterface(uint32_t code) {
    if (code < JWS_ALGORITHM_HS256 || code > JWS_ALGORITHM_ES512) return nullptr;
    static const HashInterface* const kFamily[3] = {&SHA256_INTERFACE, &SHA384_INTERFACE, &SHA512_INTERFACE};
    return kFamily[(code - 1) % 3];
}

int64_t JWS_IsHS(uint32_t code) {
    return code >= JWS_ALGORITHM_HS256 && code <= JWS_ALGORITHM_HS512;
}
int64_t JWS_IsRS(uint32_t code) {
    return code >= JWS_ALGORITHM_RS256 && code <= JWS_ALGORITHM_RS512;
}
int64_t JWS_IsES(uint32_t code) {
    return code >= JWS_ALGORITHM_ES256 && code <= JWS_ALGORITHM_ES512;
}

uint32_t JWS_GetAlgorithmRS(const HashInterface* record) {
    return record == &SHA256_INTERFACE   ? JWS_ALGORITHM_RS256
           : record == &SHA384_INTERFACE ? JWS_ALGORITHM_RS384
           : record == &SHA512_INTERFACE ? JWS_ALGORITHM_RS512
                                         : JWS_ALGORITHM_UNKNOWN;
}

uint32_t JWS_GetAlgorithmES(const HashInterface* record) {
    const uint32_t rs = JWS_GetAlgorithmRS(record);
    return rs ? rs + 3 : JWS_ALGORITHM_UNKNOWN;
}

// ---- Headers ---------------------------------------------------------------------------------

int64_t JWS_HeaderGetAlgorithm(Dictionary* header, uint32_t* code) {
    ASSERT_POINTER(code);
    *code = JWS_ALGORITHM_UNKNOWN;
    if (!header) return 0;
    char text[JWS_ALGORITHM_TEXT_SIZE + 1];
    if (!Dictionary_GetStringByKey(header, "alg", text, (int32_t)sizeof text)) return 0;
    *code = JWS_TranslateAlgorithmString(text);
    return *code != JWS_ALGORITHM_UNKNOWN;
}

int64_t JWS_HeaderBase64ThumbprintFromX5C(Dictionary* header, const HashInterface* record, char* text,
                                          int32_t size) {
    ASSERT_POINTER(record);
    ASSERT_POINTER(text);
    if (size > 0) text[0] = 0;
    const char* first = nullptr;
    if (!header || !FirstX5C(header, &first)) return 0;
    if (!first) return 1;
    Bytes der;
    uint8_t digest[kMaxDigest];
    if (!DecodeStandard(first, &der) || record->DigestSize > kMaxDigest ||
        Hash_QuickDigest(record, der.Data, (int32_t)der.Length, digest, (int32_t)sizeof digest) != 1)
        return 0;
    uint32_t written = 0;
    return Base64_UrlEncode(digest, (int32_t)record->DigestSize, text, size, &written);
}

int64_t JWS_HeaderX509ChainHandleFromX5C(Dictionary* header, X509Chain* chain) {
    CLASS_CHECK(chain, X509CHAIN_CLASS_ID);
    Dictionary* list = nullptr;
    if (!header || !Dictionary_GetListByKey(header, "x5c", &list)) return 0;
    DictionaryItem* item = nullptr;
    for (Dictionary_ItemGetFirst(list, &item); item; Dictionary_ItemGetNext(list, item, &item)) {
        const char* text = nullptr;
        Bytes der;
        X509* cert = nullptr;
        X509_Create(&cert);
        const bool built = Dictionary_ItemGetStringPtr(list, item, &text) == 1 && DecodeStandard(text, &der) &&
                           X509_BuildFromBuffer(cert, der.Data, der.Length) == 1;
        if (built) X509Chain_Add(chain, cert);
        X509_Release(&cert);
        if (!built) return 0;
    }
    return 1;
}

// ---- Routes ----------------------------------------------------------------------------------

int64_t JWS_CASignatureVerify(CryptAsymmetric* key, uint32_t code, const uint8_t* input, uint32_t inputLength,
                              const uint8_t* signature, uint32_t signatureLength) {
    CLASS_CHECK(key, CRYPT_ASYMMETRIC_CLASS_ID);
    if (!JWS_IsRS(code) && !JWS_IsES(code)) return 0;
    if (!KeyMatches(key, code)) return 0;
    const HashInterface* record = JWS_GetHashInterface(code);
    uint8_t digest[kMaxDigest];
    if (Hash_QuickDigest(record, input, (int32_t)inputLength, digest, (int32_t)sizeof digest) != 1) return 0;
    if (JWS_IsRS(code))
        return CryptAsymmetric_Verify(key, digest, record->DigestSize, signature, signatureLength,
                                      RSA_SIGNATURE_VERSION_PCS21);
    // Exactly R || S at the curve's size: any other length is not a signature of this algorithm.
    const uint32_t half = CoordinateSize(code);
    if (signatureLength != 2 * half) return 0;
    uint8_t sequence[kDerBuffer];
    uint32_t length = 0;
    if (!EncodeEcdsaSignature(signature, half, sequence, &length)) return 0;
    return CryptAsymmetric_Verify(key, digest, record->DigestSize, sequence, length, RSA_SIGNATURE_VERSION_PCS21);
}

int64_t JWS_HSDecode(CertStoreInterface* store, uint32_t code, const uint8_t* input, uint32_t inputLength,
                     const uint8_t* signature, uint32_t signatureLength) {
    if (!JWS_IsHS(code)) return 0;
    const HashInterface* record = JWS_GetHashInterface(code);
    const uint8_t* key = nullptr;
    uint32_t keySize = 0;
    const int64_t got = CertStoreInterface_GetKey(store, &key, &keySize);
    if (got != 1) return got;
    // An empty secret lets anyone sign; a public key's encoding is no secret at all.
    if (keySize == 0 || IsPublicKeyEncoding(key, keySize)) return 0;
    if (signatureLength != record->DigestSize) return 0;
    uint8_t mac[kMaxDigest];
    if (HMAC_QuickDigest(record, input, inputLength, key, keySize, mac, sizeof mac) != 1) return 0;
    uint8_t difference = 0;
    for (uint32_t i = 0; i < signatureLength; i++) difference |= (uint8_t)(mac[i] ^ signature[i]);
    return difference == 0;
}

int64_t JWS_CAKeyDecode(CertStoreInterface* store, uint32_t code, const uint8_t* input, uint32_t inputLength,
                        const uint8_t* signature, uint32_t signatureLength) {
    const uint8_t* key = nullptr;
    uint32_t keySize = 0;
    const int64_t got = CertStoreInterface_GetKey(store, &key, &keySize);
    if (got != 1) return got;
    ASN1* root = nullptr;
    ASN1_Create(&root);
    CryptAsymmetric* crypt = nullptr;
    CryptAsymmetric_Create(&crypt);
    int64_t result = 0;
    if (ASN1_Decode(root, key, keySize) == 1 && ASN1_GetElement(root, 0) &&
        CryptAsymmetric_SetPublicKeyFromASN1(crypt, ASN1_GetElement(root, 0)) == 1)
        result = JWS_CASignatureVerify(crypt, code, input, inputLength, signature, signatureLength);
    CryptAsymmetric_Release(&crypt);
    ASN1_Release(&root);
    return result;
}

int64_t JWS_CAX509Decode(CertStoreInterface* store, Dictionary* header, uint32_t code, const uint8_t* input,
                         uint32_t inputLength, const uint8_t* signature, uint32_t signatureLength) {
    CryptAsymmetric* key = nullptr;
    uint32_t stop = 0;
    const int64_t trusted = CertStoreInterface_X509IsTrustedJWS(store, header, &key, &stop);
    int64_t result = trusted;
    if (trusted == 1 && stop != 0) {
        result = 0;
    } else if (trusted == 1 && key) {
        result = JWS_CASignatureVerify(key, code, input, inputLength, signature, signatureLength);
    }
    if (key) CryptAsymmetric_Release(&key);
    return result;
}

// ---- Decoding --------------------------------------------------------------------------------

int64_t JWS_Decode(JSON* json, JWSClaims* claims, CertStoreInterface* store, const char* token, uint32_t length,
                   uint32_t verify) {
    CLASS_CHECK(json, JSON_CLASS_ID);
    ASSERT_POINTER(store);
    if (claims) CLASS_CHECK(claims, JWSCLAIMS_CLASS_ID);
    if (length > 0) ASSERT_POINTER(token);
    if (length > JWS_MAX_TOKEN_SIZE) return Fail(json, JSON_ERROR_DECODE_SIGNATURE);

    const char* end = token + length;
    const char* firstDot = length ? static_cast<const char*>(memchr(token, '.', length)) : nullptr;
    const char* secondDot =
        firstDot ? static_cast<const char*>(memchr(firstDot + 1, '.', (size_t)(end - firstDot - 1))) : nullptr;
    if (!secondDot) return Fail(json, JSON_ERROR_DECODE_SIGNATURE);
    const uint32_t headerLength = (uint32_t)(firstDot - token);
    const uint32_t payloadLength = (uint32_t)(secondDot - firstDot - 1);
    const uint32_t signatureLength = (uint32_t)(end - secondDot - 1);
    uint32_t signatureTextLimit = 0;
    Base64_CalculateEncodeSize(JWS_MAX_SIGNATURE_SIZE, &signatureTextLimit);
    if (headerLength > JWS_MAX_HEADER_SIZE || signatureLength >= signatureTextLimit)
        return Fail(json, JSON_ERROR_DECODE_SIGNATURE);

    Bytes header, payload, signature;
    if (!DecodePart(token, headerLength, &header) || !DecodePart(firstDot + 1, payloadLength, &payload) ||
        !DecodePart(secondDot + 1, signatureLength, &signature))
        return Fail(json, JSON_ERROR_DECODE_SIGNATURE);
    const auto* input = reinterpret_cast<const uint8_t*>(token);
    const uint32_t inputLength = (uint32_t)(secondDot - token);

    if (verify == 1) {
        HeaderDocument document;
        if (!document.Load(header)) return Fail(json, JSON_ERROR_DECODE_SIGNATURE);
        Dictionary* object = document.Object;
        uint32_t code = 0;
        JWS_HeaderGetAlgorithm(object, &code);
        int64_t answer = 0;
        if (code == JWS_ALGORITHM_UNKNOWN) {
            answer = 0;
        } else if (Dictionary_ContainsKey(object, "x5c") || Dictionary_ContainsKey(object, "kid") ||
                   Dictionary_ContainsKey(object, "x5t") || Dictionary_ContainsKey(object, "x5t#S256")) {
            answer = JWS_CAX509Decode(store, object, code, input, inputLength, signature.Data, signature.Length);
        } else if (JWS_IsHS(code)) {
            answer = JWS_HSDecode(store, code, input, inputLength, signature.Data, signature.Length);
        } else {
            answer = JWS_CAKeyDecode(store, code, input, inputLength, signature.Data, signature.Length);
        }
        if (answer == 0) return Fail(json, JSON_ERROR_AUTHENTICATE);
        if (answer != 1) return answer;
    }

    // An empty payload cannot be loaded; the JSON reader records why.
    const int64_t loaded = JSON_LoadBuffer(json, payload.Data, payload.Length);
    if (loaded != 1 || verify != 1 || !claims) return loaded;
    Dictionary* dict = nullptr;
    Dictionary* root = nullptr;
    JSON_GetDictionaryHandle(json, &dict);
    if (dict) Dictionary_SkipRoot(dict, &root);
    if (root && JWSClaims_Validate(claims, root) == 1) return 1;
    JSON_Reset(json);
    return 0;
}

// ---- Writing HMAC tokens ---------------------------------------------------------------------

namespace {

// The header to write: the given one merged into a fresh object, "alg" set to the code's name.
struct EncodeHeader {
    JSON* Json = nullptr;
    Dictionary* Dict = nullptr;
    EncodeHeader(Dictionary* given, uint32_t code) {
        JSON_Create(&Json);
        Dictionary_Create(&Dict);
        JSON_SetDictionaryHandle(Json, Dict);
        Dictionary* object = nullptr;
        Dictionary_AddDictionary(Dict, nullptr, &object, nullptr);
        if (given) Dictionary_Merge(object, given, DICTIONARY_MERGE_OVERWRITE);
        Dictionary_SetStringByKey(object, "alg", JWS_TranslateAlgorithm(code));
    }
    ~EncodeHeader() {
        JSON_Release(&Json);
        Dictionary_Release(&Dict);
    }
};

// The JSON text of an object, in a buffer the caller frees.
bool SaveText(JSON* json, Bytes* out) {
    uint32_t estimate = 0;
    if (JSON_SaveBufferEstimate(json, &estimate) != 1) return false;
    out->Capacity = estimate + 1;
    out->Data = static_cast<uint8_t*>(Memory_Alloc(out->Capacity));
    return JSON_SaveBuffer(json, out->Data, out->Capacity, &out->Length) == 1;
}

// Appends the base64url text of the bytes at *position, cut to the room left; false when cut or
// when no room is left for the terminator.
bool Append(const void* bytes, uint32_t length, char* text, uint32_t size, uint32_t* position) {
    uint32_t written = 0;
    const bool whole = Base64_UrlEncode(bytes, (int32_t)length, text + *position, (int32_t)(size - *position),
                                        &written) == 1;
    *position += written;
    return whole && *position < size;
}

bool AppendDot(char* text, uint32_t size, uint32_t* position) {
    if (*position + 1 >= size) return false;
    text[(*position)++] = '.';
    text[*position] = 0;
    return true;
}

} // namespace

int64_t JWS_KeyEncodeEstimate(JSON* payload, Dictionary* header, uint32_t code, const void* unused,
                              uint32_t unusedLength, uint32_t* size) {
    (void)unused;
    (void)unusedLength;
    CLASS_CHECK(payload, JSON_CLASS_ID);
    ASSERT_POINTER(size);
    *size = 0;
    EncodeHeader encoded(header, code);
    uint32_t headerText = 0, payloadText = 0, headerSize = 0, payloadSize = 0;
    JSON_SaveBufferEstimate(encoded.Json, &headerText);
    JSON_SaveBufferEstimate(payload, &payloadText);
    Base64_CalculateEncodeSize(headerText, &headerSize);
    Base64_CalculateEncodeSize(payloadText, &payloadSize);
    // Two dots and the signature: 66 covers HS256 and HS384, not the 86 characters of HS512.
    const HashInterface* record = JWS_GetHashInterface(code);
    uint32_t signatureSize = 0;
    Base64_CalculateEncodeSize(record ? record->DigestSize : 0, &signatureSize);
    const uint32_t tail = signatureSize + 2 > 66 ? signatureSize + 2 : 66;
    *size = headerSize + payloadSize + tail;
    return 1;
}

int64_t JWS_KeyEncode(JSON* payload, Dictionary* header, uint32_t code, const void* key, uint32_t keyLength,
                      char* text, uint32_t size) {
    CLASS_CHECK(payload, JSON_CLASS_ID);
    ASSERT_POINTER(text);
    if (keyLength > 0) ASSERT_POINTER(key);
    if (size > 0) text[0] = 0;
    if (!JWS_IsHS(code) || size == 0 || size > 0x7FFFFFFF) return 0;
    EncodeHeader encoded(header, code);
    Bytes headerText, payloadText;
    if (!SaveText(encoded.Json, &headerText) || !SaveText(payload, &payloadText)) return 0;
    uint32_t position = 0;
    bool whole = Append(headerText.Data, headerText.Length, text, size, &position) &&
                 AppendDot(text, size, &position) &&
                 Append(payloadText.Data, payloadText.Length, text, size, &position);
    const uint32_t signingLength = position;
    whole = whole && AppendDot(text, size, &position);
    if (!whole) return 0;
    const HashInterface* record = JWS_GetHashInterface(code);
    uint8_t mac[kMaxDigest];
    if (HMAC_QuickDigest(record, text, signingLength, key, keyLength, mac, sizeof mac) != 1) return 0;
    return Append(mac, record->DigestSize, text, size, &position) ? 1 : 0;
}

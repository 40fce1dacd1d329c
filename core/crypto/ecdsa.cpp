// ECDSA: key loading from SEC 1 and SubjectPublicKeyInfo DER, signing with a constant-time
// k G and scalar inverse, verification by one double multiplication, strict DER signatures.
#include "core/crypto/ecdsa.h"

#include <cstring>

#include "core/crypto/crypt_symmetric.h"
#include "core/crypto/ec_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

using ec_internal::Engine;
using ec_internal::MAX_LIMBS;

namespace {

enum : uint8_t {
    TAG_INTEGER = 0x02,
    TAG_BIT_STRING = 0x03,
    TAG_OCTET_STRING = 0x04,
    TAG_OID = 0x06,
    TAG_SEQUENCE = 0x30,
    TAG_PARAMETERS = 0xA0,
    TAG_PUBLIC_KEY = 0xA1
};

// Attempts at a usable nonce before signing gives up; a good random source needs one.
enum : int32_t { SIGN_ATTEMPTS = 32 };

int64_t DeleteHandle(void** handle) {
    return ECDSA_Delete(reinterpret_cast<ECDSA**>(handle));
}

uint8_t Tag(ASN1* node) {
    uint8_t tag = 0;
    if (node) ASN1_GetTag(node, &tag);
    return tag;
}

// A decoded tree that frees itself.
struct Tree {
    ASN1* Root = nullptr;
    Tree() { ASN1_Create(&Root); }
    ~Tree() { ASN1_Delete(&Root); }
    bool Decode(const uint8_t* der, uint32_t count) { return ASN1_Decode(Root, der, count) == 1; }
};

// r = a mod n for a below 2n, constant time.
void ReduceOnce(const Engine* engine, uint64_t* r, const uint64_t* a) {
    const int32_t limbs = engine->Limbs;
    uint64_t d[MAX_LIMBS];
    uint64_t borrow = 0;
    for (int32_t i = 0; i < limbs; i++) {
        const unsigned __int128 s = (unsigned __int128)a[i] - engine->Order[i] - borrow;
        d[i] = (uint64_t)s;
        borrow = (uint64_t)(s >> 64) & 1;
    }
    const uint64_t keepA = 0 - borrow;
    for (int32_t i = 0; i < limbs; i++) r[i] = (a[i] & keepA) | (d[i] & ~keepA);
}

// The leftmost OrderBits bits of the digest (all of a shorter one), reduced modulo n.
void DigestToScalar(const Engine* engine, uint64_t* e, const uint8_t* digest, uint32_t length) {
    const uint32_t bits = (uint32_t)engine->OrderBits, bytes = (uint32_t)engine->OrderBytes;
    uint64_t t[MAX_LIMBS];
    if ((uint64_t)length * 8 > bits) {
        ec_internal::LimbsFromBytes(t, engine->Limbs, digest, bytes);
        const uint32_t shift = bits % 8 ? 8 - bits % 8 : 0;
        if (shift) {
            for (int32_t i = 0; i < engine->Limbs; i++)
                t[i] = (t[i] >> shift) | (i + 1 < engine->Limbs ? t[i + 1] << (64 - shift) : 0);
        }
    } else {
        ec_internal::LimbsFromBytes(t, engine->Limbs, digest, length);
    }
    ReduceOnce(engine, e, t);
}

bool InRange(const Engine* engine, const uint64_t* v) {
    return !ec_internal::LimbsIsZero(v, engine->Limbs) &&
           ec_internal::LimbsLess(v, engine->Order, engine->Limbs);
}

// Writes INTEGER v: 02, length, a 00 byte when the top bit of the first byte is set, the
// minimal big-endian bytes.
uint32_t WriteInteger(uint8_t* out, const uint64_t* v, const Engine* engine) {
    uint8_t bytes[8 * MAX_LIMBS];
    const uint32_t count = (uint32_t)engine->OrderBytes;
    ec_internal::LimbsToBytes(bytes, count, v, engine->Limbs);
    uint32_t first = 0;
    while (first + 1 < count && bytes[first] == 0) first++;
    const uint32_t pad = bytes[first] & 0x80 ? 1 : 0;
    const uint32_t length = count - first + pad;
    out[0] = TAG_INTEGER;
    out[1] = (uint8_t)length;
    if (pad) out[2] = 0;
    memcpy(out + 2 + pad, bytes + first, count - first);
    return 2 + length;
}

// One DER length at *at, definite and minimal; false otherwise.
bool ReadLength(const uint8_t* der, uint32_t size, uint32_t* at, uint32_t* length) {
    if (*at >= size) return false;
    const uint8_t first = der[(*at)++];
    if (first < 0x80) {
        *length = first;
        return true;
    }
    const uint32_t count = first & 0x7F;
    if (count == 0 || count > 2 || size - *at < count) return false;
    uint32_t value = 0;
    for (uint32_t i = 0; i < count; i++) value = value << 8 | der[(*at)++];
    if (value < 0x80 || (count == 2 && value < 0x100)) return false;
    *length = value;
    return true;
}

// A positive, minimally encoded INTEGER at *at into limbs.
bool ReadInteger(const Engine* engine, const uint8_t* der, uint32_t end, uint32_t* at, uint64_t* value) {
    uint32_t length = 0;
    if (*at >= end || der[(*at)++] != TAG_INTEGER || !ReadLength(der, end, at, &length)) return false;
    if (length == 0 || end - *at < length) return false;
    const uint8_t* v = der + *at;
    if (v[0] & 0x80) return false;                                  // negative
    if (v[0] == 0 && (length == 1 || !(v[1] & 0x80))) return false; // zero or a needless 00
    *at += length;
    return ec_internal::LimbsFromBytes(value, engine->Limbs, v, length);
}

// SEQUENCE { INTEGER r, INTEGER s } and nothing more, read from the raw bytes: the tree reader
// would accept other encodings of the same values, which would let a signature change form.
bool ParseSignature(const Engine* engine, const uint8_t* der, uint32_t size, uint64_t* r, uint64_t* s) {
    uint32_t at = 0, length = 0;
    if (size < 2 || der[at++] != TAG_SEQUENCE || !ReadLength(der, size, &at, &length)) return false;
    if (size - at != length) return false;
    return ReadInteger(engine, der, size, &at, r) && ReadInteger(engine, der, size, &at, s) && at == size;
}

// Reads the version and d of an ECPrivateKey; answers its SEQUENCE node.
ASN1* ReadPrivateKey(ECDSA* ecdsa, Tree& tree, const uint8_t* der, uint32_t count) {
    if (!der || count < 1 || !tree.Decode(der, count)) return nullptr;
    ASN1* sequence = ASN1_GetElement(tree.Root, 0);
    if (Tag(sequence) != TAG_SEQUENCE) return nullptr;
    ASN1* version = ASN1_GetElement(sequence, 0);
    ASN1* scalar = ASN1_GetElement(sequence, 1);
    uint32_t v = 0;
    if (Tag(version) != TAG_INTEGER || !ASN1_ParseInt32(version, &v) || v != 1) return nullptr;
    if (Tag(scalar) != TAG_OCTET_STRING) return nullptr;
    if (!BigInt_ImportBinary(ecdsa->D, ASN1_GetValuePtr(scalar), ASN1_GetValueSize(scalar))) return nullptr;
    return sequence;
}

bool ReadCurveOid(ECDSA* ecdsa, ASN1* node) {
    char oid[EC_CURVE_NAME_SIZE];
    if (Tag(node) != TAG_OID || !ASN1_ParseOid(node, oid, sizeof(oid))) return false;
    // The parser truncates; a name that filled the buffer may have been cut.
    if (strlen(oid) + 1 >= sizeof(oid)) return false;
    return ECDSA_InitParams(ecdsa, oid) == 1;
}

// Record slots whose arguments differ from the typed operations.
int64_t InitParamsSlot(void* instance, const char* params, uint32_t) {
    return ECDSA_InitParams(static_cast<ECDSA*>(instance), params);
}
int64_t SetPublicKeySlot(void* instance, const uint8_t* key, uint32_t count, uint32_t) {
    return ECDSA_SetPublicKey(static_cast<ECDSA*>(instance), key, count);
}
int64_t VerifySlot(void* instance, const uint8_t* digest, uint32_t length, const uint8_t* signature,
                   uint32_t signatureLength, uint32_t) {
    return ECDSA_Verify(static_cast<ECDSA*>(instance), digest, length, signature, signatureLength);
}

} // namespace

int64_t ECDSA_Create(ECDSA** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ECDSA* ecdsa = static_cast<ECDSA*>(Memory_AllocZero(sizeof(ECDSA)));
    ecdsa->Header.ClassId = ECDSA_CLASS_ID;
    ecdsa->Header.RefCount = 1;
    ecdsa->Header.Delete = DeleteHandle;
    EC_Create(&ecdsa->Curve);
    BigInt_Create(&ecdsa->D);
    ECPoint_Init(&ecdsa->Q);
    *handle = ecdsa;
    return 1;
}

int64_t ECDSA_Delete(ECDSA** handle) {
    ASSERT_POINTER(handle);
    ECDSA* ecdsa = *handle;
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    ECDSA_Reset(ecdsa);
    EC_Delete(&ecdsa->Curve);
    BigInt_Delete(&ecdsa->D);
    ECPoint_Release(&ecdsa->Q);
    memset(ecdsa, 0, sizeof(ECDSA));
    Memory_Free(ecdsa, sizeof(ECDSA));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(ECDSA, ECDSA, ECDSA_CLASS_ID)

int64_t ECDSA_InitParams(ECDSA* ecdsa, const char* oid) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    return EC_InitParams(ecdsa->Curve, oid);
}

int64_t ECDSA_HasPrivateKey(ECDSA* ecdsa) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    return ecdsa->HasPrivateKey;
}

int64_t ECDSA_SetPrivateKey(ECDSA* ecdsa, const uint8_t* der, uint32_t count) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    Tree tree;
    ecdsa->HasPrivateKey = ReadPrivateKey(ecdsa, tree, der, count) ? 1 : 0;
    return ecdsa->HasPrivateKey;
}

int64_t ECDSA_SetPrivateKeyFromASN1(ECDSA* ecdsa, const uint8_t* der, uint32_t count) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    Tree tree;
    ASN1* sequence = ReadPrivateKey(ecdsa, tree, der, count);
    if (!sequence) return 0;
    ecdsa->HasPrivateKey = 1;
    ASN1* parameters = ASN1_GetElement(sequence, 2);
    ASN1* publicKey = ASN1_GetElement(sequence, 3);
    if (Tag(parameters) != TAG_PARAMETERS || Tag(publicKey) != TAG_PUBLIC_KEY) return 0;
    if (!ReadCurveOid(ecdsa, ASN1_GetElement(parameters, 0))) return 0;
    return ECDSA_ExtractPublicKey(ecdsa, ASN1_GetElement(publicKey, 0));
}

int64_t ECDSA_SetPublicKeyFromASN1(ECDSA* ecdsa, const uint8_t* der, uint32_t count) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    Tree tree;
    if (!der || count < 1 || !tree.Decode(der, count)) return 0;
    ASN1* info = ASN1_GetElement(tree.Root, 0);
    if (Tag(info) != TAG_SEQUENCE) return 0;
    ASN1* algorithm = ASN1_GetElement(info, 0);
    if (Tag(algorithm) != TAG_SEQUENCE || !ReadCurveOid(ecdsa, ASN1_GetElement(algorithm, 1))) return 0;
    return ECDSA_ExtractPublicKey(ecdsa, ASN1_GetElement(info, 1));
}

int64_t ECDSA_ExtractPublicKey(ECDSA* ecdsa, ASN1* bitString) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    if (Tag(bitString) != TAG_BIT_STRING) return 0;
    const uint8_t* value = ASN1_GetValuePtr(bitString);
    const uint32_t size = ASN1_GetValueSize(bitString);
    if (size < 2 || value[0] != 0) return 0;
    return ECPoint_ImportBinary(&ecdsa->Q, ecdsa->Curve, value + 1, size - 1);
}

int64_t ECDSA_SetPublicKey(ECDSA* ecdsa, const uint8_t* key, uint32_t count) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    ecdsa->HasPrivateKey = 0;
    return ECPoint_ImportBinary(&ecdsa->Q, ecdsa->Curve, key, count);
}

int64_t ECDSA_SetPublicKeyPair(ECDSA* ecdsa, const BigInt* x, const BigInt* y) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    CLASS_CHECK(x, BIGINT_CLASS_ID);
    CLASS_CHECK(y, BIGINT_CLASS_ID);
    ecdsa->HasPrivateKey = 0;
    BigInt_Copy(ecdsa->Q.X, x);
    BigInt_Copy(ecdsa->Q.Y, y);
    ecdsa->Q.Infinity = 0;
    return EC_ValidatePoint(ecdsa->Curve, &ecdsa->Q);
}

int64_t ECDSA_PublicKeyEncrypt(ECDSA* ecdsa, const uint8_t*, uint32_t, uint8_t*, uint32_t,
                               uint32_t* outLength) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    if (outLength) *outLength = 0;
    return 0;
}

int64_t ECDSA_Sign(ECDSA* ecdsa, const uint8_t* digest, uint32_t length, uint8_t* out, uint32_t size,
                   uint32_t* outLength) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    ASSERT_POINTER(outLength);
    *outLength = 0;
    const Engine* engine = ecdsa->Curve->Engine;
    if (!engine || (!digest && length)) return 0;
    const uint32_t bytes = (uint32_t)engine->OrderBytes;
    const uint32_t body = 2 * bytes + (2 * bytes + 6 > 127 ? 1 : 0);
    ASSERT_POINTER(out);
    ASSERT_MSG(size >= body + 8, "%s: buffer of %u bytes, %u needed\n", "ECDSA_Sign", size, body + 8);
    const int32_t limbs = engine->Limbs;
    uint64_t e[MAX_LIMBS], d[MAX_LIMBS], k[MAX_LIMBS], kInverse[MAX_LIMBS], x[MAX_LIMBS], y[MAX_LIMBS],
        r[MAX_LIMBS], s[MAX_LIMBS];
    // A scalar outside 1 .. n - 1 is no key: 0 would sign for every public key at once.
    if (!ec_internal::BigIntToLimbs(d, limbs, ecdsa->D) || !InRange(engine, d)) return 0;
    DigestToScalar(engine, e, digest, length);
    alignas(BigInt) unsigned char storage[sizeof(BigInt)];
    BigInt* drawn = BigInt_Stack(storage);
    bool done = false;
    for (int32_t attempt = 0; attempt < SIGN_ATTEMPTS && !done; attempt++) {
        if (!BigInt_ModuloRandom(drawn, ecdsa->Curve->N)) break;
        if (!ec_internal::BigIntToLimbs(k, limbs, drawn) || !InRange(engine, k)) continue;
        if (!engine->MulSecret(x, y, nullptr, nullptr, k) || ec_internal::LimbsIsZero(x, limbs)) continue;
        ReduceOnce(engine, r, x);
        engine->ScalarInverse(kInverse, k);
        engine->ScalarMul(s, d, r);
        engine->ScalarAdd(s, s, e);
        engine->ScalarMul(s, kInverse, s);
        // r or s of 0 makes no signature; a fresh k gives another.
        done = !ec_internal::LimbsIsZero(r, limbs) && !ec_internal::LimbsIsZero(s, limbs);
    }
    BigInt_Reset(drawn);
    BigInt_Unstack(drawn);
    memset(k, 0, sizeof(k));
    memset(kInverse, 0, sizeof(kInverse));
    memset(d, 0, sizeof(d));
    if (!done) return 0;
    uint8_t encoded[2 * (8 * MAX_LIMBS + 3)];
    uint32_t used = WriteInteger(encoded, r, engine);
    used += WriteInteger(encoded + used, s, engine);
    // DER's length rule: the long form (81 n) only where n does not fit the short one.
    const uint32_t header = used > 127 ? 3 : 2;
    if (header + used > size) return 0;
    out[0] = TAG_SEQUENCE;
    if (header == 3) out[1] = 0x81;
    out[header - 1] = (uint8_t)used;
    memcpy(out + header, encoded, used);
    *outLength = header + used;
    return 1;
}

int64_t ECDSA_Verify(ECDSA* ecdsa, const uint8_t* digest, uint32_t length, const uint8_t* signature,
                     uint32_t signatureLength) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    const Engine* engine = ecdsa->Curve->Engine;
    if (!engine || !signature || (!digest && length)) return 0;
    if (!EC_ValidatePoint(ecdsa->Curve, &ecdsa->Q)) return 0;
    const int32_t limbs = engine->Limbs;
    uint64_t r[MAX_LIMBS], s[MAX_LIMBS], e[MAX_LIMBS], w[MAX_LIMBS], u1[MAX_LIMBS], u2[MAX_LIMBS],
        qx[MAX_LIMBS], qy[MAX_LIMBS];
    // r and s outside 1 .. n - 1 are refused rather than reduced: r + n would otherwise pass
    // for r.
    if (!ParseSignature(engine, signature, signatureLength, r, s)) return 0;
    if (!InRange(engine, r) || !InRange(engine, s)) return 0;
    DigestToScalar(engine, e, digest, length);
    // s is public: its inverse may take the faster road whose steps depend on it.
    engine->ScalarInversePublic(w, s);
    engine->ScalarMul(u1, e, w);
    engine->ScalarMul(u2, r, w);
    ec_internal::BigIntToLimbs(qx, limbs, ecdsa->Q.X);
    ec_internal::BigIntToLimbs(qy, limbs, ecdsa->Q.Y);
    return engine->MulAddPublicMatchesX(u1, u2, qx, qy, r) ? 1 : 0;
}

int64_t ECDSA_Reset(ECDSA* ecdsa) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    EC_Reset(ecdsa->Curve);
    BigInt_Reset(ecdsa->D);
    ECPoint_Reset(&ecdsa->Q);
    ecdsa->HasPrivateKey = 0;
    return 1;
}

int64_t ECDSA_GetECHandle(ECDSA* ecdsa, EC** curve) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    ASSERT_POINTER(curve);
    *curve = ecdsa->Curve;
    return *curve ? 1 : 0;
}

int64_t ECDSA_GetPublicKeyForTests(ECDSA* ecdsa, BigInt** x, BigInt** y) {
    CLASS_CHECK(ecdsa, ECDSA_CLASS_ID);
    ASSERT_POINTER(x);
    ASSERT_POINTER(y);
    *x = ecdsa->Q.X;
    *y = ecdsa->Q.Y;
    return 1;
}

const CryptAsymmetricInterface ECDSA_INTERFACE = {
    "ECDSA",
    CryptHandleSlot<ECDSA_Create>::Call,
    CryptHandleSlot<ECDSA_Delete>::Call,
    InitParamsSlot,
    CryptSlot<ECDSA_HasPrivateKey>::Call,
    CryptSlot<ECDSA_SetPrivateKey>::Call,
    SetPublicKeySlot,
    CryptSlot<ECDSA_SetPublicKeyPair>::Call,
    CryptSlot<ECDSA_PublicKeyEncrypt>::Call,
    CryptSlot<ECDSA_Sign>::Call,
    VerifySlot,
    CryptSlot<ECDSA_Reset>::Call,
};

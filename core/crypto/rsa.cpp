// RSA: key setters from PKCS #1 DER or integers, PKCS #1 v1.5 verification that accepts exactly
// one block per digest, signing and type 2 encryption, with blinded private operations.
#include "core/crypto/rsa.h"

#include <cstring>

#include "core/certs/asn1.h"
#include "core/certs/authenticate.h"
#include "core/crypto/crypt_symmetric.h"
#include "core/linux/platform.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

// 512 bits is the least modulus that still holds a padded SHA-512 DigestInfo (83 bytes + 11);
// 8,192 bits bounds the work one hostile key can cause.
constexpr int32_t kMinModulusBits = 512;
constexpr int32_t kMaxModulusBits = 8192;
constexpr int32_t kMaxPublicExponentBits = 32; // e at most 2^32 - 1
constexpr uint32_t kMaxBlock = kMaxModulusBits / 8;
// 00 01|02, at least 8 padding bytes, 00.
constexpr uint32_t kMinPadding = 8;
constexpr uint32_t kBlockOverhead = kMinPadding + 3;
// The blinding pair is squared after each private operation and drawn afresh after this many.
constexpr uint32_t kBlindRefresh = 32;

// DER DigestInfo up to the digest: SEQUENCE { SEQUENCE { OID, NULL }, OCTET STRING (digest) }.
struct DigestInfoPrefix {
    uint32_t DigestLength;
    uint8_t Length;
    uint8_t Bytes[19];
};
constexpr DigestInfoPrefix kDigestInfos[] = {
    // MD5, MD2 (1.2.840.113549.2.5 and .2.2)
    {16, 18, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x05, 0x05, 0x00, 0x04, 0x10}},
    {16, 18, {0x30, 0x20, 0x30, 0x0c, 0x06, 0x08, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x02, 0x02, 0x05, 0x00, 0x04, 0x10}},
    // SHA-1 (1.3.14.3.2.26)
    {20, 15, {0x30, 0x21, 0x30, 0x09, 0x06, 0x05, 0x2b, 0x0e, 0x03, 0x02, 0x1a, 0x05, 0x00, 0x04, 0x14}},
    // SHA-224, SHA-256, SHA-384, SHA-512 (2.16.840.1.101.3.4.2.4, .1, .2, .3)
    {28, 19, {0x30, 0x2d, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x04, 0x05, 0x00, 0x04, 0x1c}},
    {32, 19, {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20}},
    {48, 19, {0x30, 0x41, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x02, 0x05, 0x00, 0x04, 0x30}},
    {64, 19, {0x30, 0x51, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01, 0x65, 0x03, 0x04, 0x02, 0x03, 0x05, 0x00, 0x04, 0x40}},
};

// A BigInt in this frame's storage.
struct Temp {
    alignas(BigInt) unsigned char Storage[sizeof(BigInt)];
    BigInt* V;
    Temp() : V(BigInt_Stack(Storage)) {}
    ~Temp() { BigInt_Unstack(V); }
    Temp(const Temp&) = delete;
    Temp& operator=(const Temp&) = delete;
    operator BigInt*() const { return V; }
};

int64_t DeleteHandle(void** handle) {
    return RSA_Delete(reinterpret_cast<RSA**>(handle));
}

bool IsOdd(const BigInt* a) {
    return BigInt_IsBitSet(a, 0) != 0;
}

bool ValidModulus(const BigInt* n) {
    const int32_t bits = BigInt_BitCount(n);
    return BigInt_GetSign(n) > 0 && IsOdd(n) && bits >= kMinModulusBits && bits <= kMaxModulusBits;
}

// e = 1 would make every block its own signature; an even e has no inverse modulo phi(n). A
// public exponent wider than 32 bits serves no key in use and would let whoever hands us a key
// (a certificate that merely names a trusted issuer, a key set) make every verification cost as
// much as they like.
bool ValidPublicExponent(const BigInt* e) {
    const int32_t bits = BigInt_BitCount(e);
    return BigInt_GetSign(e) > 0 && IsOdd(e) && bits >= 2 && bits <= kMaxPublicExponentBits;
}

void DropFactors(RSA* rsa) {
    rsa->HasFactors = 0;
    if (rsa->ModulusP) BigInt_MontgomeryDestroy(&rsa->ModulusP);
    if (rsa->ModulusQ) BigInt_MontgomeryDestroy(&rsa->ModulusQ);
    BigInt_Reset(&rsa->P);
    BigInt_Reset(&rsa->Q);
    BigInt_Reset(&rsa->DP);
    BigInt_Reset(&rsa->DQ);
    BigInt_Reset(&rsa->QInv);
}

void DropModulus(RSA* rsa) {
    if (rsa->Modulus) BigInt_MontgomeryDestroy(&rsa->Modulus);
    DropFactors(rsa);
    rsa->BlindUses = 0;
}

const BigInt* ModulusOf(const RSA* rsa) {
    return &rsa->Modulus->M;
}

// Decodes DER holding one SEQUENCE of at least `needed` INTEGERs and reads the first `want` of
// them (non-negative, minimally present) into out. Elements past `needed` that are missing or
// no INTEGER leave their value 0.
bool ReadIntegers(const uint8_t* der, uint32_t count, BigInt* const* out, uint32_t want, uint32_t needed) {
    if (der == nullptr || count < 1) return false;
    ASN1* root = nullptr;
    ASN1_Create(&root);
    bool ok = ASN1_Decode(root, der, count) == 1;
    uint32_t elements = 0;
    ASN1* sequence = ok ? ASN1_GetElement(root, 0) : nullptr;
    uint8_t tag = 0;
    // The one SEQUENCE must span the whole buffer: nothing may follow the key.
    ok = ok && ASN1_GetElementCount(root, &elements) && elements == 1 && sequence &&
         ASN1_GetTag(sequence, &tag) && tag == 0x30 && ASN1_GetNodeSize(sequence) == count;
    for (uint32_t i = 0; ok && i < want; i++) {
        BigInt_Reset(out[i]);
        ASN1* element = ASN1_GetElement(sequence, i);
        const bool present = element && ASN1_GetTag(element, &tag) && tag == 0x02 &&
                             ASN1_GetValueSize(element) > 0 && (ASN1_GetValuePtr(element)[0] & 0x80) == 0 &&
                             ASN1_ParseBigInt(element, out[i]) == 1;
        if (!present) {
            BigInt_Reset(out[i]);
            if (i < needed) ok = false;
        }
    }
    ASN1_Release(&root);
    return ok;
}

// r = a mod m by Montgomery products (a power of 1), for a below m x 2^(64 limbs of m), as every
// product of two values below m is: no long division, whose steps would follow the secret values.
void Reduce(BigInt* r, const BigInt* a, Montgomery* context) {
    Temp one;
    BigInt_SetWord(one, 1);
    BigInt_MontgomeryPowerPublic(r, a, one, context);
}

// r = a x b mod m for a, b below m.
void MultiplyModulo(BigInt* r, const BigInt* a, const BigInt* b, Montgomery* context) {
    Temp product;
    BigInt_Multiply(product, a, b);
    Reduce(r, product, context);
}

// r = x^d mod m for a secret exponent.
void SecretPower(BigInt* r, const BigInt* x, const BigInt* d, Montgomery* context) {
    BigInt_MontgomeryPower(r, x, d, context);
}

// A fresh blinding pair: r^e and r^-1. The inverse is taken of r x s for a second random s and
// multiplied back by s, so that the variable-time inversion sees a value unrelated to r.
bool DrawBlinding(RSA* rsa) {
    const BigInt* n = ModulusOf(rsa);
    Temp r, s, t, inverse;
    for (int attempt = 0; attempt < 4; attempt++) {
        if (!BigInt_ModuloRandom(r, n) || !BigInt_ModuloRandom(s, n)) return false;
        MultiplyModulo(t, r, s, rsa->Modulus);
        if (BigInt_GetSign(t) == 0 || !BigInt_ModuloInverse(inverse, t, n)) continue;
        MultiplyModulo(&rsa->BlindInverse, inverse, s, rsa->Modulus);
        BigInt_MontgomeryPowerPublic(&rsa->BlindE, r, &rsa->E, rsa->Modulus);
        rsa->BlindUses = 1;
        return true;
    }
    return false;
}

bool NextBlinding(RSA* rsa) {
    if (rsa->BlindUses == 0 || rsa->BlindUses >= kBlindRefresh) return DrawBlinding(rsa);
    Temp t;
    MultiplyModulo(t, &rsa->BlindE, &rsa->BlindE, rsa->Modulus);
    BigInt_Copy(&rsa->BlindE, t);
    MultiplyModulo(t, &rsa->BlindInverse, &rsa->BlindInverse, rsa->Modulus);
    BigInt_Copy(&rsa->BlindInverse, t);
    rsa->BlindUses++;
    return true;
}

// y = x^d mod n for x below n from the factors: one power modulo each, joined by Garner's rule.
void FactorPower(RSA* rsa, BigInt* y, const BigInt* x) {
    Temp t, yp, yq, h;
    // The powers reduce x by each factor themselves, without a division.
    SecretPower(yp, x, &rsa->DP, rsa->ModulusP);
    SecretPower(yq, x, &rsa->DQ, rsa->ModulusQ);
    // h = qinv (yp - yq) mod p, with p added so that nothing depends on which is larger;
    // y = yq + h q, below n.
    Reduce(h, yq, rsa->ModulusP);
    BigInt_Add(t, yp, &rsa->P);
    BigInt_Subtract(t, t, h);
    Reduce(yp, t, rsa->ModulusP);
    MultiplyModulo(h, yp, &rsa->QInv, rsa->ModulusP);
    BigInt_Multiply(t, h, &rsa->Q);
    BigInt_Add(y, t, yq);
}

// out = x^d mod n, blinded, and checked by raising it back to e before it leaves. Factors that
// give a wrong result (a bad exponent or inverse in the key) are passed over for d.
bool PrivateOperation(RSA* rsa, BigInt* out, const BigInt* x) {
    if (!NextBlinding(rsa)) return false;
    Temp blinded, y, check;
    MultiplyModulo(blinded, x, &rsa->BlindE, rsa->Modulus);
    for (int pass = rsa->HasFactors ? 0 : 1; pass < 2; pass++) {
        if (pass == 0)
            FactorPower(rsa, y, blinded);
        else if (BigInt_GetSign(&rsa->D) > 0)
            SecretPower(y, blinded, &rsa->D, rsa->Modulus);
        else
            break;
        MultiplyModulo(out, y, &rsa->BlindInverse, rsa->Modulus);
        BigInt_MontgomeryPowerPublic(check, out, &rsa->E, rsa->Modulus);
        if (BigInt_Equal(check, x)) return true;
    }
    BigInt_Reset(out);
    return false;
}

uint32_t ModulusBytes(RSA* rsa) {
    return (uint32_t)BigInt_MontgomeryGetModuloByteCount(rsa->Modulus);
}

// Lays out 00 type padding 00 data in out and answers the padding's place, or 0 when the data
// leaves no room for the minimum padding or the buffer is smaller than k + 1 bytes.
uint32_t PrepareBlock(RSA* rsa, const uint8_t* data, uint32_t length, uint8_t* out, uint32_t size,
                      uint32_t* outLength) {
    ASSERT_POINTER(outLength);
    *outLength = 0;
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    if (rsa->Modulus == nullptr || (length && data == nullptr) || out == nullptr) return 0;
    const uint32_t k = ModulusBytes(rsa);
    if (length > k || k - length < kBlockOverhead || size <= k) return 0;
    if (length) memmove(out + (k - length), data, length);
    out[k - length - 1] = 0;
    out[0] = 0;
    return k - length - 3;
}

// Raises the k-byte block in out to the exponent and writes the result over it as k bytes.
int64_t FinishBlock(RSA* rsa, uint8_t* out, uint32_t* outLength, bool secret) {
    const uint32_t k = ModulusBytes(rsa);
    Temp x;
    BigInt_ImportBinary(x, out, k);
    bool ok;
    if (secret) {
        ok = PrivateOperation(rsa, &rsa->Output, x);
    } else {
        ok = BigInt_MontgomeryPowerPublic(&rsa->Output, x, &rsa->E, rsa->Modulus) == 1;
    }
    if (!ok || !BigInt_ExportBinaryFixedSize(&rsa->Output, out, k)) {
        memset(out, 0, k);
        return 0;
    }
    *outLength = k;
    return 1;
}

bool MatchBlock(const uint8_t* block, uint32_t k, const uint8_t* prefix, uint32_t prefixLength,
                const uint8_t* digest, uint32_t digestLength) {
    if (k < kBlockOverhead + prefixLength + digestLength) return false;
    const uint32_t separator = k - prefixLength - digestLength - 1;
    if (block[0] != 0 || block[1] != 1 || block[separator] != 0) return false;
    for (uint32_t i = 2; i < separator; i++)
        if (block[i] != 0xFF) return false;
    return (prefixLength == 0 || memcmp(block + separator + 1, prefix, prefixLength) == 0) &&
           (digestLength == 0 || memcmp(block + separator + 1 + prefixLength, digest, digestLength) == 0);
}

int64_t SetPublicKeySlot(void* instance, const uint8_t* key, uint32_t count, uint32_t) {
    return RSA_SetPublicKey(static_cast<RSA*>(instance), key, count);
}

} // namespace

int64_t RSA_Create(RSA** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    RSA* rsa = static_cast<RSA*>(Memory_AllocZero(sizeof(RSA)));
    rsa->Header.ClassId = RSA_CLASS_ID;
    rsa->Header.RefCount = 1;
    rsa->Header.Delete = DeleteHandle;
    for (BigInt* b : {&rsa->E, &rsa->D, &rsa->Input, &rsa->Output, &rsa->P, &rsa->Q, &rsa->DP, &rsa->DQ,
                      &rsa->QInv, &rsa->BlindE, &rsa->BlindInverse})
        BigInt_Stack(b);
    *handle = rsa;
    return 1;
}

int64_t RSA_Delete(RSA** handle) {
    ASSERT_POINTER(handle);
    RSA* rsa = *handle;
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    DropModulus(rsa);
    for (BigInt* b : {&rsa->E, &rsa->D, &rsa->Input, &rsa->Output, &rsa->P, &rsa->Q, &rsa->DP, &rsa->DQ,
                      &rsa->QInv, &rsa->BlindE, &rsa->BlindInverse})
        BigInt_Unstack(b);
    memset(rsa, 0, sizeof(RSA));
    Memory_Free(rsa, sizeof(RSA));
    *handle = nullptr;
    return 1;
}

int64_t RSA_AddRef(RSA* rsa) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    Class_AddRef(rsa);
    return 1;
}

int64_t RSA_Release(RSA** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, RSA_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t RSA_GetInstanceId(RSA* rsa, char* buffer, int32_t size) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, rsa->Header.InstanceId, (int32_t)sizeof(rsa->Header.InstanceId));
    return 1;
}

int64_t RSA_InitParams(RSA* rsa, const char*, uint32_t) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    return 1;
}

int64_t RSA_HasPrivateKey(RSA* rsa) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    return rsa->HasPrivateKey;
}

int64_t RSA_Reset(RSA* rsa) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    DropModulus(rsa);
    rsa->HasPrivateKey = 0;
    for (BigInt* b : {&rsa->E, &rsa->D, &rsa->Input, &rsa->Output, &rsa->BlindE, &rsa->BlindInverse})
        BigInt_Reset(b);
    return 1;
}

int64_t RSA_SetModulusHandle(RSA* rsa, const BigInt* n) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    CLASS_CHECK(n, BIGINT_CLASS_ID);
    DropModulus(rsa);
    if (!ValidModulus(n)) return 0;
    return BigInt_MontgomeryCreate(&rsa->Modulus, n);
}

int64_t RSA_SetPublicExponentHandle(RSA* rsa, const BigInt* e) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    CLASS_CHECK(e, BIGINT_CLASS_ID);
    if (!ValidPublicExponent(e)) return 0;
    BigInt_Copy(&rsa->E, e);
    rsa->BlindUses = 0;
    return 1;
}

int64_t RSA_SetPrivateExponentHandle(RSA* rsa, const BigInt* d) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    CLASS_CHECK(d, BIGINT_CLASS_ID);
    if (BigInt_GetSign(d) <= 0) return 0;
    BigInt_Copy(&rsa->D, d);
    DropFactors(rsa);
    rsa->HasPrivateKey = 1;
    return 1;
}

int64_t RSA_SetPublicKeyPair(RSA* rsa, const BigInt* e, const BigInt* n) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    CLASS_CHECK(e, BIGINT_CLASS_ID);
    CLASS_CHECK(n, BIGINT_CLASS_ID);
    if (!ValidPublicExponent(e) || !ValidModulus(n)) {
        RSA_Reset(rsa);
        return 0;
    }
    RSA_SetPublicExponentHandle(rsa, e);
    return RSA_SetModulusHandle(rsa, n);
}

int64_t RSA_SetPublicKey(RSA* rsa, const uint8_t* der, uint32_t count) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    RSA_Reset(rsa);
    Temp n, e;
    BigInt* values[] = {n, e};
    if (!ReadIntegers(der, count, values, 2, 2) || !RSA_SetPublicKeyPair(rsa, e, n)) {
        RSA_Reset(rsa);
        return 0;
    }
    return 1;
}

int64_t RSA_SetPrivateKey(RSA* rsa, const uint8_t* der, uint32_t count) {
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    RSA_Reset(rsa);
    Temp version, n, e, d, p, q, dp, dq, qinv;
    BigInt* values[] = {version, n, e, d, p, q, dp, dq, qinv};
    if (!ReadIntegers(der, count, values, 9, 4) || !RSA_SetPublicKeyPair(rsa, e, n) ||
        BigInt_Compare(d, n) >= 0 || !RSA_SetPrivateExponentHandle(rsa, d)) {
        RSA_Reset(rsa);
        return 0;
    }
    // The factors serve only when they are odd, multiply to n and their exponents and inverse lie
    // below them; otherwise d alone does the work.
    Temp product;
    BigInt_Multiply(product, p, q);
    const bool factors = BigInt_GetSign(p) > 0 && BigInt_GetSign(q) > 0 && IsOdd(p) && IsOdd(q) &&
                         BigInt_Equal(product, n) && BigInt_GetSign(dp) > 0 && BigInt_GetSign(dq) > 0 &&
                         BigInt_GetSign(qinv) > 0 && BigInt_Compare(dp, p) < 0 && BigInt_Compare(dq, q) < 0 &&
                         BigInt_Compare(qinv, p) < 0;
    if (factors && BigInt_MontgomeryCreate(&rsa->ModulusP, p) && BigInt_MontgomeryCreate(&rsa->ModulusQ, q)) {
        BigInt_Copy(&rsa->P, p);
        BigInt_Copy(&rsa->Q, q);
        BigInt_Copy(&rsa->DP, dp);
        BigInt_Copy(&rsa->DQ, dq);
        BigInt_Copy(&rsa->QInv, qinv);
        rsa->HasFactors = 1;
    } else {
        DropFactors(rsa);
    }
    return 1;
}

int64_t RSA_PublicKeyEncrypt(RSA* rsa, const uint8_t* data, uint32_t length, uint8_t* out, uint32_t size,
                             uint32_t* outLength) {
    const uint32_t padding = PrepareBlock(rsa, data, length, out, size, outLength);
    if (padding == 0 || BigInt_GetSign(&rsa->E) == 0) return 0;
    out[1] = 2;
    if (!Platform_CryptFill(out + 2, (int32_t)padding)) return 0;
    // The padding must hold no zero byte, which would end it early.
    for (uint32_t i = 0; i < padding; i++)
        if (out[2 + i] == 0) out[2 + i] = 1;
    return FinishBlock(rsa, out, outLength, false);
}

int64_t RSA_Sign(RSA* rsa, const uint8_t* digest, uint32_t length, uint8_t* out, uint32_t size,
                 uint32_t* outLength) {
    const uint32_t padding = PrepareBlock(rsa, digest, length, out, size, outLength);
    if (padding == 0 || BigInt_GetSign(&rsa->E) == 0 || (BigInt_GetSign(&rsa->D) == 0 && !rsa->HasFactors))
        return 0;
    out[1] = 1;
    memset(out + 2, 0xFF, padding);
    return FinishBlock(rsa, out, outLength, true);
}

int64_t RSA_Verify(RSA* rsa, const uint8_t* digest, uint32_t digestLength, const uint8_t* signature,
                   uint32_t signatureLength, uint32_t version) {
    if (!Authenticate_Enabled()) return 1;
    CLASS_CHECK(rsa, RSA_CLASS_ID);
    if (rsa->Modulus == nullptr || BigInt_GetSign(&rsa->E) == 0) return 0;
    if ((digestLength && digest == nullptr) || digestLength >= 1024 || signature == nullptr) return 0;
    const uint32_t k = ModulusBytes(rsa);
    if (signatureLength != k) return 0;
    Temp s, m;
    BigInt_ImportBinary(s, signature, signatureLength);
    if (BigInt_Compare(s, ModulusOf(rsa)) >= 0) return 0;
    uint8_t block[kMaxBlock];
    if (!BigInt_MontgomeryPowerPublic(m, s, &rsa->E, rsa->Modulus) || !BigInt_ExportBinaryFixedSize(m, block, k))
        return 0;
    if (version == RSA_SIGNATURE_VERSION_PCS15) return MatchBlock(block, k, nullptr, 0, digest, digestLength);
    for (const DigestInfoPrefix& info : kDigestInfos)
        if (info.DigestLength == digestLength && MatchBlock(block, k, info.Bytes, info.Length, digest, digestLength))
            return 1;
    return 0;
}

const CryptAsymmetricInterface RSA_INTERFACE = {
    "RSA",
    CryptHandleSlot<RSA_Create>::Call,
    CryptHandleSlot<RSA_Delete>::Call,
    CryptSlot<RSA_InitParams>::Call,
    CryptSlot<RSA_HasPrivateKey>::Call,
    CryptSlot<RSA_SetPrivateKey>::Call,
    SetPublicKeySlot,
    CryptSlot<RSA_SetPublicKeyPair>::Call,
    CryptSlot<RSA_PublicKeyEncrypt>::Call,
    CryptSlot<RSA_Sign>::Call,
    CryptSlot<RSA_Verify>::Call,
    CryptSlot<RSA_Reset>::Call,
};

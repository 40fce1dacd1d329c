// Arbitrary-precision signed integers of 32-bit words for the public-key code, with a Montgomery
// context for modular exponentiation and the 64-bit limb product routines beneath them.
#pragma once

#include <cstdint>

#include "core/runtime/class.h"

enum : uint32_t { BIGINT_CLASS_ID = 0x1CA4D8E2, MONTGOMERY_CLASS_ID = 0xD64069CF };

struct BigInt {
    Class Header;
    // Capacity + 1 words, least significant first; the spare word above the capacity lets shifts
    // and halvings write one word past the value without growing.
    uint32_t* Words;
    // Words allocated: 0 before the first growth, then a multiple of 64.
    int32_t Capacity;
    // Words in use; always trimmed, so a non-zero value has a non-zero top word and 0 has length 0.
    int32_t Length;
    // 1 = negative; 0 = zero or positive.
    uint32_t Sign;
};

struct Montgomery {
    Class Header;
    // Bit count of the modulus plus one, so that R = 2^K exceeds 2m.
    uint32_t K;
    BigInt M;
    BigInt R;
    BigInt Mask;
    // -m^-1 mod R.
    BigInt MPrime;
    // The products run on whole 64-bit limbs (R' = 2^(64 Limbs), reduced limb by limb): the
    // modulus, n0 = -m^-1 mod 2^64 and R'^2 mod m, which brings a value into that form.
    int32_t Limbs;
    uint64_t N0;
    uint64_t* LimbM;
    uint64_t* LimbRR;
};

// Lengths of the bit-length table and its entries: entry i is the bit length of i.
struct BigIntBitsForWord {
    uint8_t bits[256];
};
extern const BigIntBitsForWord BigInt_BitsForWord;

int64_t BigInt_Create(BigInt** handle);
int64_t BigInt_Delete(BigInt** handle);
int64_t BigInt_AddRef(BigInt* r);
int64_t BigInt_Release(BigInt** handle);
int64_t BigInt_GetInstanceId(BigInt* r, char* buffer, int32_t size);

int64_t BigInt_Reset(BigInt* r);
int64_t BigInt_SetWord(BigInt* r, uint32_t w);
int64_t BigInt_Copy(BigInt* r, const BigInt* a);
// 1 when the magnitudes are the same (signs are not compared).
int64_t BigInt_Equal(const BigInt* a, const BigInt* b);
// For non-negative values: length(a) - length(b) when the lengths differ, else -1, 0 or 1.
int32_t BigInt_Compare(const BigInt* a, const BigInt* b);
// -1, 0 or 1.
int32_t BigInt_GetSign(const BigInt* a);
int64_t BigInt_Negate(BigInt* r);
int64_t BigInt_IsBitSet(const BigInt* a, int32_t bit);
int32_t BigInt_BitCount(const BigInt* a);
int32_t BigInt_ByteCount(const BigInt* a);

int64_t BigInt_Add(BigInt* r, const BigInt* a, const BigInt* b);
int64_t BigInt_Subtract(BigInt* r, const BigInt* a, const BigInt* b);
int64_t BigInt_Multiply(BigInt* r, const BigInt* a, const BigInt* b);
// 0 for a negative bit count or a result beyond about 2^31 bits.
int64_t BigInt_ShiftLeft(BigInt* r, const BigInt* a, int32_t bits);
// 0 for a negative bit count.
int64_t BigInt_ShiftRight(BigInt* r, const BigInt* a, int32_t bits);
// r = r AND mask (magnitudes).
int64_t BigInt_BitAnd(BigInt* r, const BigInt* mask);

// The modular operations answer 0 and leave r unchanged for a zero modulus or a negative value
// to reduce; the modulus's sign is ignored.
int64_t BigInt_Modulo(BigInt* r, const BigInt* a, const BigInt* m);
int64_t BigInt_ModuloSquare(BigInt* r, const BigInt* a, const BigInt* m);
int64_t BigInt_ModuloMultiply(BigInt* r, const BigInt* a, const BigInt* b, const BigInt* m);
// Answers 0 (r unchanged) for a zero or negative a, an even modulus, or when a and m share a
// factor, so that no non-inverse is handed on as one.
int64_t BigInt_ModuloInverse(BigInt* r, const BigInt* a, const BigInt* m);
// 0 also for a negative exponent.
int64_t BigInt_ModuloPower(BigInt* r, const BigInt* base, const BigInt* exponent, const BigInt* m);

// Refuses (no context) a zero or even modulus: m^-1 mod 2^k exists only for odd m.
int64_t BigInt_MontgomeryCreate(Montgomery** handle, const BigInt* m);
int64_t BigInt_MontgomeryDestroy(Montgomery** handle);
// 0 for a negative base or exponent. Safe for a secret exponent and base: the products, their
// order and the memory they read depend only on the sizes of the exponent and the modulus.
int64_t BigInt_MontgomeryPower(BigInt* r, const BigInt* base, const BigInt* exponent, Montgomery* context);
// The same result for a public exponent (an RSA public exponent): faster, but its time follows
// the exponent's bits.
int64_t BigInt_MontgomeryPowerPublic(BigInt* r, const BigInt* base, const BigInt* exponent, Montgomery* context);
int32_t BigInt_MontgomeryGetModuloByteCount(Montgomery* context);
int64_t Montgomery_GetInstanceId(Montgomery* context, char* buffer, int32_t size);
int64_t Montgomery_AddRef(Montgomery* context);
int64_t Montgomery_Release(Montgomery** handle);

// A uniform value in 1 .. m - 1: bit-length(m) random bits, redrawn while 0 or not below m
// (at most 128 draws; 0 when none fits or the random source fails).
int64_t BigInt_ModuloRandom(BigInt* r, const BigInt* m);
// While set (a counted reference is kept), BigInt_ModuloRandom answers a copy of it; null clears.
int64_t BigInt_SetRandomNumberForTest(BigInt* value);

// 0 for more bytes than a value may hold (about 2^28).
int64_t BigInt_ImportBinary(BigInt* r, const uint8_t* bytes, uint32_t count);
int64_t BigInt_ExportBinary(const BigInt* a, uint8_t* buffer, uint32_t size, uint32_t* count);
int64_t BigInt_ExportBinaryFixedSize(const BigInt* a, uint8_t* buffer, uint32_t size);
// An optional "-", then the longest run of hexadecimal digits; the rest of the text is ignored.
int64_t BigInt_ImportHex(BigInt* r, const char* text);
int64_t BigInt_ExportHex(const BigInt* a, char* buffer, uint32_t size);

// In-place instances in caller storage of BigInt_SizeOf() bytes: no reference count, no
// destructor; BigInt_Unstack frees only the word storage.
int32_t BigInt_SizeOf();
BigInt* BigInt_Stack(void* storage);
int64_t BigInt_Unstack(BigInt* r);

// out[0 .. 2n-1] = a x b and a^2, 64-bit limbs, least significant first; out is distinct from
// the inputs.
void BigUIntLowMultiply(uint64_t* out, const uint64_t* a, const uint64_t* b, int32_t n);
void BigUIntLowSquare(uint64_t* out, const uint64_t* a, int32_t n);

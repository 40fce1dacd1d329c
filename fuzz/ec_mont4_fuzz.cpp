// The four-limb Montgomery routines against big-integer arithmetic: two operands from the input,
// taken modulo the P-256 prime or order or the secp256k1 prime, must give a b 2^-256 mod m (and
// a^2 2^-256 through the square; a + b and a - b modulo the P-256 prime).
#include <cstdint>
#include <cstdlib>

#include "core/crypto/big_integer.h"
#include "core/crypto/ec_field.h"
#include "core/crypto/ec_mont4.h"

namespace {

// Only where the build carries the routines (an optimised x86-64 build).
#if EC_MONT4_ASM

const char* const kModuli[] = {"FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
                               "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551",
                               "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F"};

void Check(bool ok) {
    if (!ok) abort();
}

struct Modulus {
    BigInt* M = nullptr;
    BigInt* RInverse = nullptr;
    uint64_t Limbs[4] = {};
    uint64_t MInv = 0;
};

const Modulus& Get(int i) {
    static Modulus moduli[3];
    Modulus& m = moduli[i];
    if (!m.M) {
        BigInt_Create(&m.M);
        BigInt_Create(&m.RInverse);
        BigInt_ImportHex(m.M, kModuli[i]);
        BigInt* r = nullptr;
        BigInt_Create(&r);
        BigInt_SetWord(r, 1);
        BigInt_ShiftLeft(r, r, 256);
        BigInt_Modulo(r, r, m.M);
        Check(BigInt_ModuloInverse(m.RInverse, r, m.M) == 1);
        BigInt_Delete(&r);
        ec_internal::BigIntToLimbs(m.Limbs, 4, m.M);
        uint64_t inv = 1;
        for (int k = 0; k < 6; k++) inv *= 2 - m.Limbs[0] * inv;
        m.MInv = 0 - inv;
    }
    return m;
}

#endif

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    (void)data;
    if (size != 65 || !ec_internal::Mont4AsmAvailable()) return 0;
#if EC_MONT4_ASM
    const int which = data[0] % 3;
    const Modulus& m = Get(which);
    BigInt *a = nullptr, *b = nullptr, *expected = nullptr, *got = nullptr;
    BigInt_Create(&a);
    BigInt_Create(&b);
    BigInt_Create(&expected);
    BigInt_Create(&got);
    BigInt_ImportBinary(a, data + 1, 32);
    BigInt_ImportBinary(b, data + 33, 32);
    BigInt_Modulo(a, a, m.M);
    BigInt_Modulo(b, b, m.M);
    uint64_t al[4], bl[4], r[4];
    ec_internal::BigIntToLimbs(al, 4, a);
    ec_internal::BigIntToLimbs(bl, 4, b);

    BigInt_ModuloMultiply(expected, a, b, m.M);
    BigInt_ModuloMultiply(expected, expected, m.RInverse, m.M);
    if (which == 0)
        ec_internal::Mont4MulP256(r, al, bl);
    else
        ec_internal::Mont4Mul(r, al, bl, m.Limbs, m.MInv);
    ec_internal::BigIntFromLimbs(got, r, 4);
    Check(BigInt_Compare(got, expected) == 0);

    BigInt_ModuloMultiply(expected, a, a, m.M);
    BigInt_ModuloMultiply(expected, expected, m.RInverse, m.M);
    if (which == 0)
        ec_internal::Mont4SqrP256(r, al);
    else
        ec_internal::Mont4Sqr(r, al, m.Limbs, m.MInv);
    ec_internal::BigIntFromLimbs(got, r, 4);
    Check(BigInt_Compare(got, expected) == 0);

    if (which == 0) {
        BigInt_Add(expected, a, b);
        BigInt_Modulo(expected, expected, m.M);
        ec_internal::Mont4AddP256(r, al, bl);
        ec_internal::BigIntFromLimbs(got, r, 4);
        Check(BigInt_Compare(got, expected) == 0);
        BigInt_Subtract(expected, a, b);
        if (BigInt_GetSign(expected) < 0) BigInt_Add(expected, expected, m.M);
        ec_internal::Mont4SubP256(r, al, bl);
        ec_internal::BigIntFromLimbs(got, r, 4);
        Check(BigInt_Compare(got, expected) == 0);
    }

    BigInt_Delete(&a);
    BigInt_Delete(&b);
    BigInt_Delete(&expected);
    BigInt_Delete(&got);
#endif
    return 0;
}

#include "core/crypto/ec_mont4.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/crypto/big_integer.h"
#include "core/crypto/ec_field.h"

namespace {

// The routines and the checks of their results exist only where the build carries them.
#if EC_MONT4_ASM

struct Num {
    BigInt* V = nullptr;
    Num() { BigInt_Create(&V); }
    explicit Num(const char* hex) : Num() { BigInt_ImportHex(V, hex); }
    ~Num() { BigInt_Delete(&V); }
    operator BigInt*() const { return V; }
};

std::string Hex(const BigInt* a) {
    char text[100];
    BigInt_ExportHex(a, text, sizeof(text));
    return text;
}

// The moduli: the P-256 prime (its own routines), then the P-256 order, the secp256k1 prime and
// the P-192 prime (top limb zero) through the general product.
const char* const kModuli[] = {"FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
                               "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551",
                               "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F",
                               "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF"};

// Operands with carries across every limb, near the modulus and near the limb boundaries; each
// is taken modulo M. "-k" stands for M - k.
const char* const kOperands[] = {"0",
                                 "1",
                                 "2",
                                 "-1",
                                 "-2",
                                 "-10000000000000000",
                                 "-1000000000000000000000000000000000000000000000000",
                                 "FFFFFFFFFFFFFFFF",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                                 "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                                 "8000000000000000000000000000000000000000000000000000000000000000",
                                 "7FFFFFFF800000008000000000000000000000007FFFFFFFFFFFFFFFFFFFFFFF",
                                 "FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF00000000",
                                 "00000000FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF00000000FFFFFFFF",
                                 "10000000000000000000000000000000000000000000000000000000000000000",
                                 "6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296"};

// The operand's text as a value below m.
void Operand(BigInt* r, const char* text, const BigInt* m) {
    if (text[0] == '-') {
        Num k(text + 1);
        BigInt_Modulo(k, k, m);
        BigInt_Subtract(r, m, k);
    } else {
        BigInt_ImportHex(r, text);
    }
    BigInt_Modulo(r, r, m);
}

uint64_t NegInverse(uint64_t m) {
    uint64_t inv = 1;
    for (int i = 0; i < 6; i++) inv *= 2 - m * inv;
    return 0 - inv;
}

// a b 2^-256 mod m on big integers.
void Expected(BigInt* r, const BigInt* a, const BigInt* b, const BigInt* m) {
    Num R, one, rInverse;
    BigInt_SetWord(one, 1);
    BigInt_ShiftLeft(R, one, 256);
    BigInt_Modulo(R, R, m);
    ASSERT_EQ(BigInt_ModuloInverse(rInverse, R, m), 1);
    BigInt_ModuloMultiply(r, a, b, m);
    BigInt_ModuloMultiply(r, r, rInverse, m);
}

// The routine's product of a and b (and their square when a = b), for modulus index i.
void Product(uint64_t* r, int i, const uint64_t* a, const uint64_t* b, const uint64_t* m) {
    if (i == 0 && a == b) return ec_internal::Mont4SqrP256(r, a);
    if (i == 0) return ec_internal::Mont4MulP256(r, a, b);
    if (a == b) return ec_internal::Mont4Sqr(r, a, m, NegInverse(m[0]));
    ec_internal::Mont4Mul(r, a, b, m, NegInverse(m[0]));
}

void Check(int i, const BigInt* a, const BigInt* b, const BigInt* m) {
    SCOPED_TRACE(Hex(a) + " * " + Hex(b));
    uint64_t al[4], bl[4], ml[4], r[4];
    ASSERT_TRUE(ec_internal::BigIntToLimbs(al, 4, a));
    ASSERT_TRUE(ec_internal::BigIntToLimbs(bl, 4, b));
    ASSERT_TRUE(ec_internal::BigIntToLimbs(ml, 4, m));
    Num expected, got;
    Expected(expected, a, b, m);
    Product(r, i, al, bl, ml);
    ec_internal::BigIntFromLimbs(got, r, 4);
    EXPECT_EQ(Hex(got), Hex(expected)) << kModuli[i] << ": " << Hex(a) << " * " << Hex(b);
    if (i == 0) {
        // Sum and difference modulo the prime.
        Num sum, difference;
        BigInt_Add(sum, a, b);
        BigInt_Modulo(sum, sum, m);
        ec_internal::Mont4AddP256(r, al, bl);
        ec_internal::BigIntFromLimbs(got, r, 4);
        EXPECT_EQ(Hex(got), Hex(sum)) << Hex(a) << " + " << Hex(b);
        BigInt_Subtract(difference, a, b);
        if (BigInt_GetSign(difference) < 0) BigInt_Add(difference, difference, m);
        ec_internal::Mont4SubP256(r, al, bl);
        ec_internal::BigIntFromLimbs(got, r, 4);
        EXPECT_EQ(Hex(got), Hex(difference)) << Hex(a) << " - " << Hex(b);
    }
    if (BigInt_Compare(a, b) == 0) {
        // The square through its own road, and the result written over the operand.
        Product(al, i, al, al, ml);
        ec_internal::BigIntFromLimbs(got, al, 4);
        EXPECT_EQ(Hex(got), Hex(expected)) << kModuli[i] << ": " << Hex(a) << " squared";
    }
}

#endif

class Mont4Test : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!ec_internal::Mont4AsmAvailable())
            GTEST_SKIP() << "no mulx/adcx/adox here, or an unoptimised build without the routines";
    }
    // A failed assertion in the middle of a portable run leaves the assembly on for the next.
    void TearDown() override { ec_internal::Mont4ForcePortable(false); }
};

TEST_F(Mont4Test, EdgeOperandsMatchBigIntegers) {
#if EC_MONT4_ASM
    for (int i = 0; i < 4; i++) {
        Num m(kModuli[i]);
        for (const char* x : kOperands)
            for (const char* y : kOperands) {
                Num a, b;
                Operand(a, x, m);
                Operand(b, y, m);
                Check(i, a, b, m);
            }
    }
#endif
}

TEST_F(Mont4Test, RandomOperandsMatchBigIntegers) {
#if EC_MONT4_ASM
    std::mt19937_64 random(256);
    for (int i = 0; i < 4; i++) {
        Num m(kModuli[i]);
        for (int n = 0; n < 300; n++) {
            Num a, b;
            uint8_t bytes[64];
            for (uint8_t& byte : bytes) byte = (uint8_t)random();
            BigInt_ImportBinary(a, bytes, 32);
            BigInt_ImportBinary(b, n % 3 ? bytes + 32 : bytes, 32);
            BigInt_Modulo(a, a, m);
            BigInt_Modulo(b, b, m);
            Check(i, a, b, m);
        }
    }
#endif
}

// The portable limb code stays in step with the assembly: the same multiples on every
// four-limb curve with either.
TEST_F(Mont4Test, PortableCodeGivesTheSameMultiples) {
    std::mt19937_64 random(4);
    int curves = 0;
    for (int32_t index = 0; index < ec_internal::CURVE_COUNT; index++) {
        const ec_internal::Engine* engine = ec_internal::EngineFor(index);
        if (engine->Limbs != 4) continue;
        curves++;
        for (int n = 0; n < 4; n++) {
            // Below 2^(bits - 1), so below n.
            uint64_t k[4], u2[4];
            for (int i = 0; i < 4; i++) {
                const int bits = engine->OrderBits - 1 - 64 * i;
                const uint64_t mask = bits >= 64 ? ~0ULL : bits <= 0 ? 0 : (1ULL << bits) - 1;
                k[i] = random() & mask;
                u2[i] = random() & mask;
            }
            uint64_t x[2][4], y[2][4], sx[2][4], sy[2][4], mx[2][4], my[2][4], inverse[2][4];
            for (int portable = 0; portable < 2; portable++) {
                ec_internal::Mont4ForcePortable(portable == 1);
                ASSERT_TRUE(engine->MulSecret(x[portable], y[portable], nullptr, nullptr, k));
                ASSERT_TRUE(engine->MulSecret(sx[portable], sy[portable], x[portable], y[portable], u2));
                ASSERT_TRUE(engine->MulAddPublic(mx[portable], my[portable], k, u2, x[portable], y[portable]));
                engine->ScalarInverse(inverse[portable], k);
            }
            EXPECT_EQ(memcmp(x[0], x[1], sizeof(x[0])), 0) << index;
            EXPECT_EQ(memcmp(y[0], y[1], sizeof(y[0])), 0) << index;
            EXPECT_EQ(memcmp(sx[0], sx[1], sizeof(sx[0])), 0) << index;
            EXPECT_EQ(memcmp(sy[0], sy[1], sizeof(sy[0])), 0) << index;
            EXPECT_EQ(memcmp(mx[0], mx[1], sizeof(mx[0])), 0) << index;
            EXPECT_EQ(memcmp(my[0], my[1], sizeof(my[0])), 0) << index;
            EXPECT_EQ(memcmp(inverse[0], inverse[1], sizeof(inverse[0])), 0) << index;
        }
    }
    EXPECT_EQ(curves, 6);
}

} // namespace

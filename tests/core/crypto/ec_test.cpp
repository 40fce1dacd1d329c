#include "core/crypto/ec.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "core/crypto/ec_field.h"

namespace {

using Bytes = std::vector<uint8_t>;

const char* const kOids[] = {"1.3.132.0.31", "1.2.840.10045.3.1.1", "1.3.132.0.32", "1.3.132.0.33",
                             "1.3.132.0.10", "1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"};

struct Num {
    BigInt* V = nullptr;
    Num() { BigInt_Create(&V); }
    explicit Num(const std::string& hex) : Num() { BigInt_ImportHex(V, hex.c_str()); }
    ~Num() { BigInt_Delete(&V); }
    operator BigInt*() const { return V; }
};

std::string Hex(const BigInt* a) {
    char text[300];
    BigInt_ExportHex(a, text, sizeof(text));
    return text;
}

struct Point {
    ECPoint P{};
    Point() { ECPoint_Init(&P); }
    ~Point() { ECPoint_Release(&P); }
    ECPoint* operator&() { return &P; }
};

struct Curve {
    EC* C = nullptr;
    explicit Curve(const char* oid) {
        EC_Create(&C);
        EXPECT_EQ(EC_InitParams(C, oid), 1) << oid;
    }
    ~Curve() { EC_Delete(&C); }
    operator EC*() const { return C; }
};

// k P by double-and-add on the affine BigInt formulas: the reference for the engine.
void SlowMultiply(EC* curve, ECPoint* r, const ECPoint* p, const BigInt* k) {
    Point acc, run, t;
    acc.P.Infinity = 1;
    BigInt_Copy(run.P.X, p->X);
    BigInt_Copy(run.P.Y, p->Y);
    for (int32_t i = 0; i < BigInt_BitCount(k); i++) {
        if (BigInt_IsBitSet(k, i)) {
            ASSERT_EQ(EC_PointAdd(curve, &t, &acc, &run.P), 1);
            std::swap(acc.P, t.P);
        }
        ASSERT_EQ(EC_PointAdd(curve, &t, &run.P, &run.P), 1);
        std::swap(run.P, t.P);
    }
    BigInt_Copy(r->X, acc.P.X);
    BigInt_Copy(r->Y, acc.P.Y);
    r->Infinity = acc.P.Infinity;
}

std::string RandomHex(std::mt19937_64& rng, int digits) {
    std::string s;
    for (int i = 0; i < digits; i++) s += "0123456789ABCDEF"[rng() % 16];
    return s;
}

TEST(EC, BaseOrderAndSmallMultiples) {
    for (const char* oid : kOids) {
        Curve c(oid);
        ECPoint* g = EC_GetG(c);
        EXPECT_EQ(EC_ValidatePoint(c, g), 1) << oid;
        Point r, sum;
        Num one("1"), two("2"), nMinus1;
        BigInt_Subtract(nMinus1, EC_GetN(c), one);
        ASSERT_EQ(EC_PointMultiply(c, &r, g, EC_GetN(c)), 1);
        EXPECT_EQ(r.P.Infinity, 1u) << oid;
        ASSERT_EQ(EC_PointMultiply(c, &r, g, one), 1);
        EXPECT_EQ(ECPoint_Equal(&r, g), 1) << oid;
        ASSERT_EQ(EC_PointMultiply(c, &r, g, two), 1);
        ASSERT_EQ(EC_PointAdd(c, &sum, g, g), 1);
        EXPECT_EQ(ECPoint_Equal(&r, &sum), 1) << oid;
        // (n - 1) G = -G, and G + (-G) is the point at infinity.
        ASSERT_EQ(EC_PointMultiply(c, &r, g, nMinus1), 1);
        EXPECT_EQ(BigInt_Equal(r.P.X, g->X), 1);
        ASSERT_EQ(EC_PointAdd(c, &sum, &r, g), 1);
        EXPECT_EQ(sum.P.Infinity, 1u) << oid;
        Point inf;
        inf.P.Infinity = 1;
        ASSERT_EQ(EC_PointAdd(c, &sum, &inf, g), 1);
        EXPECT_EQ(ECPoint_Equal(&sum, g), 1);
        EXPECT_EQ(EC_ValidatePoint(c, &inf), 0) << oid;
    }
}

// The engine's constant-time ladder, its general-a formula and the public double
// multiplication agree with the affine reference on random scalars.
TEST(EC, EngineAgreesWithReference) {
    std::mt19937_64 rng(7);
    for (int32_t index = 0; index < ec_internal::CURVE_COUNT; index++) {
        Curve c(kOids[index]);
        const ec_internal::Engine* engine = ec_internal::EngineFor(index);
        const int32_t limbs = engine->Limbs;
        for (int round = 0; round < 3; round++) {
            Num k(RandomHex(rng, 2 * engine->OrderBytes)), j(RandomHex(rng, 2 * engine->OrderBytes));
            BigInt_Modulo(k, k, EC_GetN(c));
            BigInt_Modulo(j, j, EC_GetN(c));
            Point q, expected, fast, jq, sum;
            SlowMultiply(c, &q, EC_GetG(c), j); // Q = j G
            SlowMultiply(c, &expected, &q, k);  // k Q
            ASSERT_EQ(EC_PointMultiply(c, &fast, &q, k), 1);
            EXPECT_EQ(ECPoint_Equal(&fast, &expected), 1) << kOids[index] << " " << Hex(k);

            uint64_t kl[9], qx[9], qy[9], rx[9], ry[9], u1[9];
            ec_internal::BigIntToLimbs(kl, limbs, k);
            ec_internal::BigIntToLimbs(qx, limbs, q.P.X);
            ec_internal::BigIntToLimbs(qy, limbs, q.P.Y);
            ASSERT_TRUE(engine->MulSecret(rx, ry, qx, qy, kl, ec_internal::Formula::General));
            Num x, y;
            ec_internal::BigIntFromLimbs(x, rx, limbs);
            ec_internal::BigIntFromLimbs(y, ry, limbs);
            EXPECT_EQ(Hex(x), Hex(expected.P.X)) << kOids[index];
            EXPECT_EQ(Hex(y), Hex(expected.P.Y)) << kOids[index];

            // u1 G + k Q against the reference sum.
            Num a(RandomHex(rng, 2 * engine->OrderBytes));
            BigInt_Modulo(a, a, EC_GetN(c));
            Point ag;
            SlowMultiply(c, &ag, EC_GetG(c), a);
            ASSERT_EQ(EC_PointAdd(c, &sum, &ag, &expected), 1);
            ec_internal::BigIntToLimbs(u1, limbs, a);
            ASSERT_TRUE(engine->MulAddPublic(rx, ry, u1, kl, qx, qy));
            ec_internal::BigIntFromLimbs(x, rx, limbs);
            ec_internal::BigIntFromLimbs(y, ry, limbs);
            EXPECT_EQ(Hex(x), Hex(sum.P.X)) << kOids[index];
            EXPECT_EQ(Hex(y), Hex(sum.P.Y)) << kOids[index];
        }
    }
}

// The double multiplication meets the addition's exceptional cases: u1 G + u2 Q with Q = G
// (a doubling inside the sum) and with u1 G = -u2 Q (infinity).
TEST(EC, DoubleMultiplicationExceptionalCases) {
    for (int32_t index = 0; index < ec_internal::CURVE_COUNT; index++) {
        Curve c(kOids[index]);
        const ec_internal::Engine* engine = ec_internal::EngineFor(index);
        const int32_t limbs = engine->Limbs;
        uint64_t gx[9], gy[9], u[9], v[9], rx[9], ry[9];
        ec_internal::BigIntToLimbs(gx, limbs, EC_GetG(c)->X);
        ec_internal::BigIntToLimbs(gy, limbs, EC_GetG(c)->Y);
        Num five("5"), ten("A"), nMinus5;
        BigInt_Subtract(nMinus5, EC_GetN(c), five);
        ec_internal::BigIntToLimbs(u, limbs, five);
        ASSERT_TRUE(engine->MulAddPublic(rx, ry, u, u, gx, gy));
        Point expect;
        ASSERT_EQ(EC_PointMultiply(c, &expect, EC_GetG(c), ten), 1);
        Num x;
        ec_internal::BigIntFromLimbs(x, rx, limbs);
        EXPECT_EQ(Hex(x), Hex(expect.P.X)) << kOids[index];
        ec_internal::BigIntToLimbs(v, limbs, nMinus5);
        EXPECT_FALSE(engine->MulAddPublic(rx, ry, u, v, gx, gy)) << kOids[index];
    }
}

} // namespace

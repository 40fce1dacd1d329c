#include "core/crypto/ec.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "core/crypto/ec_field.h"
#include "tests/support/ec_vectors.h"
#include "tests/support/hex.h"

namespace {

using namespace ec_vectors;

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
        for (int round = 0; round < 2; round++) {
            Num k(RandomHex(rng, 2 * engine->OrderBytes)), j(RandomHex(rng, 2 * engine->OrderBytes));
            BigInt_Modulo(k, k, EC_GetN(c));
            BigInt_Modulo(j, j, EC_GetN(c));
            Point q, expected, fast, jq, sum;
            ASSERT_EQ(EC_PointMultiply(c, &q, EC_GetG(c), j), 1); // Q = j G
            SlowMultiply(c, &expected, &q, k);                    // k Q
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
            ASSERT_EQ(EC_PointMultiply(c, &ag, EC_GetG(c), a), 1);
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

// k G from the base point's own tables (signed windows where a = -3) against k P with P = G
// through the general formula, for scalars whose windows end in 0, +-32 and carries.
TEST(EC, BaseTablesAgreeWithTheGeneralPath) {
    std::mt19937_64 rng(5);
    for (int32_t index = 0; index < ec_internal::CURVE_COUNT; index++) {
        Curve c(kOids[index]);
        const ec_internal::Engine* engine = ec_internal::EngineFor(index);
        const int32_t limbs = engine->Limbs;
        Num nMinus1, one("1");
        BigInt_Subtract(nMinus1, EC_GetN(c), one);
        std::vector<std::string> values = {"1", "1F", "20", "21", "3F", "40", "41", "7E0", "820",
                                           "FC0FC0FC0FC0FC0", Hex(nMinus1)};
        for (int i = 0; i < 3; i++) values.push_back(RandomHex(rng, 2 * engine->OrderBytes));
        uint64_t gx[9] = {}, gy[9] = {};
        ec_internal::BigIntToLimbs(gx, limbs, EC_GetG(c)->X);
        ec_internal::BigIntToLimbs(gy, limbs, EC_GetG(c)->Y);
        for (const std::string& text : values) {
            Num k(text);
            BigInt_Modulo(k, k, EC_GetN(c));
            uint64_t kl[9] = {}, bx[9], by[9], px[9], py[9];
            ec_internal::BigIntToLimbs(kl, limbs, k);
            ASSERT_TRUE(engine->MulSecret(bx, by, nullptr, nullptr, kl));
            ASSERT_TRUE(engine->MulSecret(px, py, gx, gy, kl, ec_internal::Formula::General));
            EXPECT_EQ(memcmp(bx, px, (size_t)limbs * 8), 0) << kOids[index] << " " << text;
            EXPECT_EQ(memcmp(by, py, (size_t)limbs * 8), 0) << kOids[index] << " " << text;
        }
        uint64_t zero[9] = {}, rx[9], ry[9];
        EXPECT_FALSE(engine->MulSecret(rx, ry, nullptr, nullptr, zero)) << kOids[index];
    }
}

// The check of a signature's x without inversion agrees with the x the sum gives, reduced
// modulo n, and refuses its neighbour and r of n or more.
TEST(EC, SumMatchesXOfItsReducedX) {
    std::mt19937_64 rng(3);
    for (int32_t index = 0; index < ec_internal::CURVE_COUNT; index++) {
        Curve c(kOids[index]);
        const ec_internal::Engine* engine = ec_internal::EngineFor(index);
        const int32_t limbs = engine->Limbs;
        uint64_t gx[9] = {}, gy[9] = {};
        ec_internal::BigIntToLimbs(gx, limbs, EC_GetG(c)->X);
        ec_internal::BigIntToLimbs(gy, limbs, EC_GetG(c)->Y);
        for (int round = 0; round < 4; round++) {
            Num a(RandomHex(rng, 2 * engine->OrderBytes)), b(RandomHex(rng, 2 * engine->OrderBytes));
            BigInt_Modulo(a, a, EC_GetN(c));
            BigInt_Modulo(b, b, EC_GetN(c));
            uint64_t u1[9] = {}, u2[9] = {}, x[9] = {};
            ec_internal::BigIntToLimbs(u1, limbs, a);
            ec_internal::BigIntToLimbs(u2, limbs, b);
            ASSERT_TRUE(engine->MulAddPublic(x, nullptr, u1, u2, gx, gy));
            Num xr, r, next, one("1");
            ec_internal::BigIntFromLimbs(xr, x, limbs);
            BigInt_Modulo(r, xr, EC_GetN(c));
            BigInt_Add(next, r, one);
            BigInt_Modulo(next, next, EC_GetN(c));
            uint64_t rl[9] = {}, nl[9] = {}, order[9] = {};
            ec_internal::BigIntToLimbs(rl, limbs, r);
            ec_internal::BigIntToLimbs(nl, limbs, next);
            ec_internal::BigIntToLimbs(order, limbs, EC_GetN(c));
            EXPECT_TRUE(engine->MulAddPublicMatchesX(u1, u2, gx, gy, rl)) << kOids[index];
            EXPECT_FALSE(engine->MulAddPublicMatchesX(u1, u2, gx, gy, nl)) << kOids[index];
            EXPECT_FALSE(engine->MulAddPublicMatchesX(u1, u2, gx, gy, order)) << kOids[index];
        }
        // u1 G + u2 G with u1 + u2 = n is infinity: no x matches.
        uint64_t one[9] = {1}, nMinus1[9] = {}, zero[9] = {};
        Num n1, o("1");
        BigInt_Subtract(n1, EC_GetN(c), o);
        ec_internal::BigIntToLimbs(nMinus1, limbs, n1);
        EXPECT_FALSE(engine->MulAddPublicMatchesX(one, nMinus1, gx, gy, zero)) << kOids[index];
    }
}

// Both scalar inverses, the constant-time one and the one for public values, give a a^-1 = 1
// modulo n, at the ends of the range too; the public one answers 0 outside 1 .. n - 1.
TEST(EC, ScalarInverses) {
    std::mt19937_64 rng(11);
    for (int32_t index = 0; index < ec_internal::CURVE_COUNT; index++) {
        Curve c(kOids[index]);
        const ec_internal::Engine* engine = ec_internal::EngineFor(index);
        const int32_t limbs = engine->Limbs;
        Num nMinus1, nMinus2, one("1");
        BigInt_Subtract(nMinus1, EC_GetN(c), one);
        BigInt_Subtract(nMinus2, nMinus1, one);
        std::vector<std::string> values = {"1", "2", Hex(nMinus1), Hex(nMinus2)};
        for (int i = 0; i < 4; i++) {
            Num a(RandomHex(rng, 2 * engine->OrderBytes));
            BigInt_Modulo(a, a, EC_GetN(c));
            values.push_back(Hex(a));
        }
        for (const std::string& text : values) {
            Num a(text);
            uint64_t al[9] = {}, inv[9] = {}, pub[9] = {}, product[9] = {}, unit[9] = {1};
            ec_internal::BigIntToLimbs(al, limbs, a);
            if (ec_internal::LimbsIsZero(al, limbs)) continue;
            engine->ScalarInverse(inv, al);
            engine->ScalarInversePublic(pub, al);
            engine->ScalarMul(product, al, pub);
            EXPECT_EQ(memcmp(product, unit, (size_t)limbs * 8), 0) << kOids[index] << " " << text;
            EXPECT_EQ(memcmp(inv, pub, (size_t)limbs * 8), 0) << kOids[index] << " " << text;
        }
        uint64_t zero[9] = {}, n[9] = {}, out[9] = {7};
        ec_internal::BigIntToLimbs(n, limbs, EC_GetN(c));
        engine->ScalarInversePublic(out, zero);
        EXPECT_TRUE(ec_internal::LimbsIsZero(out, limbs)) << kOids[index];
        out[0] = 7;
        engine->ScalarInversePublic(out, n);
        EXPECT_TRUE(ec_internal::LimbsIsZero(out, limbs)) << kOids[index];
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

int64_t Import(EC* curve, const Bytes& bytes) {
    Point p;
    return ECPoint_ImportBinary(&p.P, curve, bytes.data(), (uint32_t)bytes.size());
}

Bytes Encode(uint8_t prefix, const BigInt* x, const BigInt* y, uint32_t length) {
    Bytes out(1 + (y ? 2 : 1) * length, 0);
    out[0] = prefix;
    BigInt_ExportBinaryFixedSize(x, out.data() + 1, length);
    if (y) BigInt_ExportBinaryFixedSize(y, out.data() + 1 + length, length);
    return out;
}

TEST(EC, PointImport) {
    Curve p256(kOids[5]), p224(kOids[3]), k224(kOids[2]);
    const ECPoint* g = EC_GetG(p256);
    Bytes full = Encode(4, g->X, g->Y, 32),
          compressed = Encode(2 | BigInt_IsBitSet(g->Y, 0), g->X, nullptr, 32);
    Bytes wrongParity = compressed, offCurve = full, even = full, longer = Encode(4, g->X, g->Y, 33);
    wrongParity[0] ^= 1;
    offCurve[64] ^= 1;
    even.push_back(0);
    // x = 3 has no point on P-256: 3^3 - 9 + b is not a square there.
    Bytes noRoot(33, 0);
    noRoot[0] = 2, noRoot[32] = 3;
    Bytes longCompressed = compressed;
    longCompressed.insert(longCompressed.begin() + 1, 0);
    const struct {
        const char* Name;
        EC* Curve;
        Bytes Encoding;
        int64_t Expected;
    } rows[] = {
        {"uncompressed", p256, full, 1},
        {"compressed", p256, compressed, 1},
        {"other parity", p256, wrongParity, 1},
        {"off the curve", p256, offCurve, 0},
        {"even total length", p256, even, 0},
        {"coordinates of 33 bytes", p256, longer, 0},
        {"compressed with 33-byte x", p256, longCompressed, 0},
        {"no root", p256, noRoot, 0},
        {"infinity", p256, Bytes{0}, 0},
        {"too short", p256, Bytes{4, 1}, 0},
        {"unknown form", p256, Bytes(65, 5), 0},
        {"compressed on P-224", p224, Encode(2, EC_GetG(p224)->X, nullptr, 28), 0},
        {"secp224k1 field length", k224, Encode(4, EC_GetG(k224)->X, EC_GetG(k224)->Y, 28), 1},
        {"secp224k1 order length", k224, Encode(4, EC_GetG(k224)->X, EC_GetG(k224)->Y, 29), 1},
        {"secp224k1 30-byte coordinates", k224, Encode(4, EC_GetG(k224)->X, EC_GetG(k224)->Y, 30), 0},
    };
    for (const auto& row : rows) EXPECT_EQ(Import(row.Curve, row.Encoding), row.Expected) << row.Name;
    // Both parities decode to points of the curve, G and -G.
    Point a, b;
    ASSERT_EQ(ECPoint_ImportBinary(&a.P, p256, compressed.data(), 33), 1);
    ASSERT_EQ(ECPoint_ImportBinary(&b.P, p256, wrongParity.data(), 33), 1);
    EXPECT_EQ(ECPoint_Equal(&a.P, g), 1);
    Point sum;
    ASSERT_EQ(EC_PointAdd(p256, &sum, &a.P, &b.P), 1);
    EXPECT_EQ(sum.P.Infinity, 1u);
}

// Validation asks for 0 <= x, y < p on the curve: a point with x = 0 counts.
TEST(EC, ValidationBounds) {
    Curve c(kOids[5]);
    Num zero("0"), y0("66485C780E2F83D72433BD5D84A06BB6541C2AF31DAE871728BF856A174F93F4");
    ECPoint onAxis{zero, y0, 0};
    EXPECT_EQ(EC_ValidatePoint(c, &onAxis), 1);
    EXPECT_EQ(Import(c, Encode(4, zero, y0, 32)), 1);
    Num yPlusP;
    BigInt_Add(yPlusP, y0, EC_GetP(c));
    ECPoint unreduced{zero, yPlusP, 0};
    EXPECT_EQ(EC_ValidatePoint(c, &unreduced), 0);
    ECPoint flagged{EC_GetG(c)->X, EC_GetG(c)->Y, 1};
    EXPECT_EQ(EC_ValidatePoint(c, &flagged), 0);
}

TEST(EC, CurveSelection) {
    Curve c(kOids[7]);
    EXPECT_STREQ(EC_GetCurveName(c), "1.3.132.0.35");
    EXPECT_EQ(BigInt_BitCount(EC_GetN(c)), 521);
    EXPECT_EQ(EC_InitParams(c, "1.2.840.10045.3.1.7.1.23"), 0); // 24 characters
    EXPECT_EQ(EC_InitParams(c, "1.2.3"), 0);
    EXPECT_STREQ(EC_GetCurveName(c), "1.3.132.0.35");
    EXPECT_EQ(BigInt_BitCount(EC_GetP(c)), 521);
    EC_Reset(c);
    EXPECT_EQ(BigInt_GetSign(EC_GetP(c)), 0);
    EXPECT_EQ(EC_ValidatePoint(c, EC_GetG(c)), 0);
}

// Off the curve the affine formulas meet a zero denominator; they refuse instead of dividing.
TEST(EC, AdditionWithoutInverse) {
    Curve c(kOids[5]);
    Num x("5"), y1("7"), y2("9"), zero("0"), rx, ry;
    EXPECT_EQ(EC_PointAddForTests(c, rx, ry, x, y1, x, y2), 0);
    EXPECT_EQ(EC_PointDoublingForTests(c, rx, ry, x, zero), 0);
    Num gx(Hex(EC_GetG(c)->X)), gy(Hex(EC_GetG(c)->Y));
    EXPECT_EQ(EC_PointDoublingForTests(c, rx, ry, gx, gy), 1);
    Point twice;
    Num two("2");
    EC_PointMultiply(c, &twice, EC_GetG(c), two);
    EXPECT_EQ(Hex(rx), Hex(twice.P.X));
}

const std::map<std::string, int> kNistIndex = {
    {"P-192", 1}, {"P-224", 3}, {"P-256", 5}, {"P-384", 6}, {"P-521", 7}};

// NIST CAVP public-key validation and key pairs (d G = Q).
TEST(EC, CavpPublicKeysAndKeyPairs) {
    const auto pkv = ReadCavp(std::string(kCavpDir) + "PKV.rsp", "Result");
    const auto pairs = ReadCavp(std::string(kCavpDir) + "KeyPair.rsp", "Qy");
    if (pkv.empty() || pairs.empty()) GTEST_SKIP() << "python3-cryptography-vectors is not installed";
    int checked = 0;
    for (const Case& c : pkv) {
        const auto index = kNistIndex.find(c.at("section"));
        if (index == kNistIndex.end()) continue;
        Curve curve(kOids[index->second]);
        Num x(c.at("Qx")), y(c.at("Qy"));
        ECPoint q{x, y, 0};
        EXPECT_EQ(EC_ValidatePoint(curve, &q), c.at("Result")[0] == 'P' ? 1 : 0)
            << c.at("section") << c.at("Qx");
        checked++;
    }
    for (const Case& c : pairs) {
        const auto index = kNistIndex.find(c.at("section"));
        if (index == kNistIndex.end()) continue;
        Curve curve(kOids[index->second]);
        Num d(c.at("d"));
        Point q;
        ASSERT_EQ(EC_PointMultiply(curve, &q, EC_GetG(curve), d), 1);
        EXPECT_EQ(Hex(q.P.X), Hex(Num(c.at("Qx")))) << c.at("section");
        EXPECT_EQ(Hex(q.P.Y), Hex(Num(c.at("Qy")))) << c.at("section");
        checked++;
    }
    EXPECT_EQ(checked, 60 + 50);
}

} // namespace

#include "core/crypto/big_integer.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/abort_hook.h"

namespace {

struct Num {
    BigInt* p = nullptr;
    Num() { BigInt_Create(&p); }
    explicit Num(const std::string& hex) : Num() { EXPECT_EQ(1, BigInt_ImportHex(p, hex.c_str())); }
    ~Num() { BigInt_Release(&p); }
    operator BigInt*() const { return p; }
};

// Signed upper-case hex with an even digit count; "0" for zero.
std::string Text(const BigInt* a) {
    std::vector<char> buffer(2 * (size_t)BigInt_ByteCount(a) + 1);
    EXPECT_EQ(1, BigInt_ExportHex(a, buffer.data(), (uint32_t)buffer.size()));
    std::string digits = buffer.data();
    if (digits.empty()) return "0";
    return (BigInt_GetSign(a) < 0 ? "-" : "") + digits;
}

TEST(BigInt, EdgeCases) {
    Num a;
    const uint8_t bytes[] = {0, 0, 1};
    BigInt_ImportBinary(a, bytes, 3);
    EXPECT_EQ(1, a.p->Length);
    EXPECT_EQ("01", Text(a));
    BigInt_ImportBinary(a, nullptr, 0);
    EXPECT_EQ("0", Text(a));

    uint8_t out[4] = {9, 9, 9, 9};
    uint32_t count = 7;
    EXPECT_EQ(1, BigInt_ExportBinary(a, out, 4, &count));
    EXPECT_EQ(0u, count);
    Num small("102");
    EXPECT_EQ(1, BigInt_ExportBinaryFixedSize(small, out, 4));
    EXPECT_EQ(std::vector<uint8_t>({0, 0, 1, 2}), std::vector<uint8_t>(out, out + 4));
    EXPECT_EQ(0, BigInt_ExportBinary(small, out, 1, &count));
    EXPECT_EQ(0u, count);

    char text[8];
    Num f("f");
    EXPECT_EQ(1, BigInt_ExportHex(f, text, 3));
    EXPECT_STREQ("0F", text);
    Num three24("123456");
    EXPECT_EQ(0, BigInt_ExportHex(three24, text, 6));
    EXPECT_EQ(1, BigInt_ExportHex(three24, text, 7));
    EXPECT_EQ(0, BigInt_ImportHex(a, ""));
    EXPECT_EQ(0, BigInt_ExportHex(a, text, 0));
    EXPECT_EQ(1, BigInt_ExportHex(a, text, 1));
    EXPECT_STREQ("", text);

    Num three("3"), seven("7"), r;
    EXPECT_EQ(1, BigInt_ModuloInverse(r, three, seven));
    EXPECT_EQ("05", Text(r));

    Num twoWords("100000000"), oneWord("5");
    EXPECT_EQ(1, BigInt_ShiftRight(r, twoWords, 64));
    EXPECT_EQ("0", Text(r));
    Num threeWords("10000000000000000");
    EXPECT_EQ(2, BigInt_Compare(threeWords, oneWord));
    EXPECT_EQ(-2, BigInt_Compare(oneWord, threeWords));
}

TEST(BigInt, HexImportForms) {
    const struct {
        const char* In;
        const char* Value;
        int32_t Sign;
    } rows[] = {
        {"-1f", "-1F", -1},
        {"1fxyz", "1F", 1},
        {"0x10", "0", 0},
        {"-", "0", 0},
        {"-0", "0", 0},
        {"000000000000000001", "01", 1},
        {"aBcDeF012", "0ABCDEF012", 1},
    };
    for (const auto& row : rows) {
        Num a;
        ASSERT_EQ(1, BigInt_ImportHex(a, row.In)) << row.In;
        EXPECT_EQ(row.Value, Text(a)) << row.In;
        EXPECT_EQ(row.Sign, BigInt_GetSign(a)) << row.In;
    }
}

// Remainders whose first quotient-digit estimate is one too large, so the divisor is added back
// (divisors from Hacker's Delight's division tests; remainders from Python).
TEST(BigInt, RemainderAddBack) {
    const struct {
        const char *A, *M, *R;
    } rows[] = {
        {"7FFFFFFF800000000000000000000000", "800000000000000000000001", "7FFFFFFFFFFFFFFF00000002"},
        {"800000000000000000000003", "200000000000000000000001", "200000000000000000000000"},
    };
    for (const auto& row : rows) {
        Num a(row.A), m(row.M), r;
        ASSERT_EQ(1, BigInt_Modulo(r, a, m));
        EXPECT_EQ(row.R, Text(r)) << row.A;
    }
}

TEST(BigInt, BitsAndSigns) {
    Num a("80000001");
    EXPECT_EQ(32, BigInt_BitCount(a));
    EXPECT_EQ(4, BigInt_ByteCount(a));
    EXPECT_EQ(1, BigInt_IsBitSet(a, 31));
    EXPECT_EQ(0, BigInt_IsBitSet(a, 30));
    EXPECT_EQ(0, BigInt_IsBitSet(a, -1));
    EXPECT_EQ(0, BigInt_IsBitSet(a, 32));
    BigInt_Negate(a);
    EXPECT_EQ(-1, BigInt_GetSign(a));
    Num zero;
    BigInt_Negate(zero);
    EXPECT_EQ(0, BigInt_GetSign(zero));
    Num mask("FF00FF"), b("123456789");
    BigInt_BitAnd(b, mask);
    EXPECT_EQ("450089", Text(b));
    BigInt_SetWord(b, 0);
    EXPECT_EQ(0, b.p->Length);
}

TEST(BigInt, RefusedModularOperations) {
    Num r("77"), zero, neg("-5"), m("0B"), even("10");
    Montgomery* c = reinterpret_cast<Montgomery*>(1);
    EXPECT_EQ(0, BigInt_Modulo(r, neg, m));
    EXPECT_EQ(0, BigInt_Modulo(r, m, zero));
    EXPECT_EQ(0, BigInt_ModuloMultiply(r, neg, m, m));
    EXPECT_EQ(0, BigInt_ModuloPower(r, m, m, zero));
    EXPECT_EQ(0, BigInt_ModuloInverse(r, zero, m));
    EXPECT_EQ(0, BigInt_ModuloInverse(r, even, even));
    Num six("6"), nine("9");
    EXPECT_EQ(0, BigInt_ModuloInverse(r, six, nine)); // common factor 3
    EXPECT_EQ(0, BigInt_ModuloRandom(r, zero));
    EXPECT_EQ("77", Text(r));
    EXPECT_EQ(0, BigInt_MontgomeryCreate(&c, zero));
    EXPECT_EQ(nullptr, c);
    EXPECT_EQ(0, BigInt_MontgomeryCreate(&c, even));
    Num one("1");
    EXPECT_EQ(0, BigInt_ModuloRandom(r, one)); // every draw is 0
}

TEST(BigInt, SizeLimitsRefused) {
    Num a("5"), r("7");
    const uint8_t byte = 1;
    EXPECT_EQ(0, BigInt_ShiftLeft(r, a, -1));
    EXPECT_EQ(0, BigInt_ShiftRight(r, a, -1));
    EXPECT_EQ(0, BigInt_ShiftLeft(r, a, INT32_MAX));
    EXPECT_EQ(0, BigInt_ImportBinary(r, &byte, UINT32_MAX)); // refused before any byte is read
    EXPECT_EQ("07", Text(r));
}

TEST(BigInt, MontgomeryEdges) {
    Num m("F123456789ABCDEF1"), r, zero, e("3");
    Montgomery* c = nullptr;
    ASSERT_EQ(1, BigInt_MontgomeryCreate(&c, m));
    EXPECT_EQ(9, BigInt_MontgomeryGetModuloByteCount(c));
    EXPECT_EQ(1, BigInt_MontgomeryPower(r, m, zero, c));
    EXPECT_EQ("01", Text(r));
    EXPECT_EQ(1, BigInt_MontgomeryPower(r, m, e, c));
    EXPECT_EQ("0", Text(r));
    BigInt_MontgomeryDestroy(&c);
    EXPECT_EQ(nullptr, c);
}

// With m = a^2 the Montgomery form of a squares to a value whose reduction is exactly m before
// the final subtraction; the result must be 0, not m.
TEST(BigInt, MontgomeryReductionReachingTheModulus) {
    const std::string limbs32 = "F" + std::string(254, '0') + "D"; // 1,024 bits
    const char* roots[] = {"7", "F123456789ABCDEF1", "C0000000000000000000000000000001", limbs32.c_str()};
    for (const char* root : roots) {
        Num a(root), m, r;
        BigInt_Multiply(m, a, a);
        Montgomery* c = nullptr;
        ASSERT_EQ(1, BigInt_MontgomeryCreate(&c, m));
        for (const char* exponent : {"2", "3", "10001"}) {
            Num e(exponent);
            ASSERT_EQ(1, BigInt_MontgomeryPower(r, a, e, c));
            EXPECT_EQ("0", Text(r)) << root << "^" << exponent;
            ASSERT_EQ(1, BigInt_MontgomeryPowerPublic(r, a, e, c));
            EXPECT_EQ("0", Text(r)) << root << "^" << exponent << " public";
        }
        BigInt_MontgomeryDestroy(&c);
    }
}

// Draws stay in 1 .. m - 1 and are spread evenly. Draws the width of m's words reduced modulo
// m = 0xC000000000000001 would land below 2^62 half of the time instead of a third.
TEST(BigInt, RandomBelowModulus) {
    const struct {
        const char* M;
        const char* Below; // the share of draws below this value is checked
        double Share;
    } rows[] = {
        {"3", "2", 1.0 / 2},
        {"5", "2", 1.0 / 4},
        {"5", "4", 3.0 / 4},
        {"C000000000000001", "4000000000000000", 1.0 / 3},
        {"1000000000000000000000001", "800000000000000000000000", 1.0 / 2},
    };
    constexpr int kDraws = 1000;
    for (const auto& row : rows) {
        Num m(row.M), below(row.Below), r;
        int count = 0;
        for (int i = 0; i < kDraws; i++) {
            ASSERT_EQ(1, BigInt_ModuloRandom(r, m)) << row.M;
            ASSERT_EQ(1, BigInt_GetSign(r)) << row.M;
            ASSERT_LT(BigInt_Compare(r, m), 0) << row.M;
            count += BigInt_Compare(r, below) < 0;
        }
        // Five standard deviations either way at most.
        EXPECT_NEAR(row.Share, (double)count / kDraws, 0.08) << row.M << " below " << row.Below;
    }
    Num m("1000000000000000000000001"), r, fixed("1234");
    BigInt_SetRandomNumberForTest(fixed);
    BigInt_ModuloRandom(r, m);
    EXPECT_EQ("1234", Text(r));
    BigInt_SetRandomNumberForTest(nullptr);
}

TEST(BigInt, StackInstances) {
    std::vector<unsigned char> storage((size_t)BigInt_SizeOf());
    BigInt* a = BigInt_Stack(storage.data());
    EXPECT_EQ(1, BigInt_ImportHex(a, "123456789ABCDEF0123456789"));
    Num b;
    BigInt_Multiply(b, a, a);
    EXPECT_EQ("014B66DC33F6ACDCA878D649590B8763F7BA22AA326FB98751", Text(b)); // Python
    BigInt_Unstack(a);
}

// The limb routines against each other on all-ones operands, where every carry is taken.
TEST(BigInt, LimbSquareMatchesMultiply) {
    for (int32_t n = 1; n <= 40; n++) {
        std::vector<uint64_t> a((size_t)n, ~UINT64_C(0)), p(2 * (size_t)n), q(2 * (size_t)n);
        a[0] = (uint64_t)n * 0x9E3779B97F4A7C15u;
        BigUIntLowMultiply(p.data(), a.data(), a.data(), n);
        BigUIntLowSquare(q.data(), a.data(), n);
        ASSERT_EQ(p, q) << n;
    }
}

TEST(BigInt, AbortTexts) {
    const struct {
        void (*Call)();
        const char* Text;
    } rows[] = {
        {[] { BigInt_Reset(nullptr); }, "Pointer is NULL\n"},
        {[] {
             Montgomery* c = nullptr;
             BigInt_MontgomeryDestroy(&c);
         },
         "Pointer is NULL\n"},
        {[] {
             Num a("5");
             BigInt_Modulo(a, a, a);
         },
         "Assertion failed (r != m)\nBigInt_Modulo: the modulus is the result\n"},
    };
    for (const auto& row : rows)
        EXPECT_DEATH(
            {
                InstallTestAbortHook();
                row.Call();
            },
            AbortRegex(row.Text));
}

// Python's integers as the oracle: random operands of every size up to 4,096 bits, fixed seed.
constexpr const char* kOracle = R"PY(
import math, random
random.seed(4120)
def h(v):
    if v == 0: return "0"
    s = format(abs(v), "X")
    if len(s) % 2: s = "0" + s
    return ("-" if v < 0 else "") + s
sizes = [1, 2, 31, 32, 33, 63, 64, 65, 127, 128, 129, 255, 256, 512, 521, 1000, 1024, 2048, 3071, 4096]
def rnd(bits, signed=True):
    v = random.getrandbits(bits) | (1 << (bits - 1))
    return -v if signed and random.random() < 0.5 else v
for bits in sizes:
    for _ in range(3):
        a, b = rnd(bits), rnd(random.choice(sizes))
        print("add", h(a), h(b), h(a + b))
        print("sub", h(a), h(b), h(a - b))
        print("mul", h(a), h(b), h(a * b))
        s = random.randrange(0, 200)
        print("shl", h(a), s, h(a << s if a >= 0 else -(-a << s)))
        print("shr", h(a), s, h(a >> s if a >= 0 else -(-a >> s)))
        m = rnd(bits, False) | 1
        x = rnd(random.choice(sizes), False)
        print("mod", h(x), h(m), h(x % m))
        print("mulmod", h(abs(a)), h(abs(b)), h(m), h(abs(a) * abs(b) % m))
        if m > 1:
            y = rnd(bits, False) % m or 1
            while math.gcd(y, m) != 1: y = (y + 1) % m or 1
            print("inv", h(y), h(m), h(pow(y, -1, m)))
        e = rnd(min(bits, 1024) if bits > 64 else bits, False)
        base = rnd(random.choice([bits, bits + 5, 2 * bits + 70]), False)
        print("mont", h(base), h(e), h(m), h(pow(base, e, m)))
        if bits <= 256:
            print("pow", h(base), h(e), h(m), h(pow(base, e, m)))
for bits in (1024, 2048, 4096):
    m = rnd(bits, False) | 1
    e, base = rnd(bits, False), rnd(bits, False) % m
    print("mont", h(base), h(e), h(m), h(pow(base, e, m)))
)PY";

std::vector<std::vector<std::string>> OracleRows() {
    std::vector<std::vector<std::string>> rows;
    if (system("python3 -c 'import math' >/dev/null 2>&1") != 0) return rows;
    char path[] = "/tmp/big_integer_oracle_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) return rows;
    FILE* file = fdopen(fd, "w");
    fputs(kOracle, file);
    fclose(file);
    FILE* pipe = popen((std::string("python3 ") + path).c_str(), "r");
    std::string out;
    char chunk[65536];
    size_t n;
    while ((n = fread(chunk, 1, sizeof(chunk), pipe)) > 0) out.append(chunk, n);
    pclose(pipe);
    remove(path);
    std::istringstream lines(out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::vector<std::string> row;
        for (std::string w; words >> w;) row.push_back(w);
        rows.push_back(row);
    }
    return rows;
}

std::string line_of(const std::vector<std::string>& row) {
    std::string out;
    for (const auto& w : row) out += w + " ";
    return out;
}

TEST(BigInt, AgreesWithPython) {
    const auto rows = OracleRows();
    if (rows.empty()) GTEST_SKIP() << "python3 not available";
    for (const auto& row : rows) {
        const std::string& op = row[0];
        const std::string& expected = row.back();
        Num a(row[1]), r;
        if (op == "shl" || op == "shr") {
            const int32_t s = std::stoi(row[2]);
            ASSERT_EQ(1, op == "shl" ? BigInt_ShiftLeft(r, a, s) : BigInt_ShiftRight(r, a, s));
            ASSERT_EQ(expected, Text(r)) << op << " " << row[1] << " " << s;
            BigInt_Copy(r, a); // in place
            op == "shl" ? BigInt_ShiftLeft(r, r, s) : BigInt_ShiftRight(r, r, s);
            ASSERT_EQ(expected, Text(r)) << op << " in place";
            continue;
        }
        Num b(row[2]);
        if (op == "add" || op == "sub" || op == "mul") {
            auto fn = op == "add" ? BigInt_Add : op == "sub" ? BigInt_Subtract : BigInt_Multiply;
            ASSERT_EQ(1, fn(r, a, b));
            ASSERT_EQ(expected, Text(r)) << line_of(row);
            if (op != "mul") {
                BigInt_Copy(r, a);
                fn(r, r, b);
                ASSERT_EQ(expected, Text(r)) << "first in place " << line_of(row);
                BigInt_Copy(r, b);
                fn(r, a, r);
                ASSERT_EQ(expected, Text(r)) << "second in place " << line_of(row);
            }
            // The byte form carries the magnitude.
            std::vector<uint8_t> bytes((size_t)BigInt_ByteCount(r));
            uint32_t count = 0;
            ASSERT_EQ(1, BigInt_ExportBinary(r, bytes.data(), (uint32_t)bytes.size(), &count));
            Num back;
            BigInt_ImportBinary(back, bytes.data(), count);
            ASSERT_EQ(1, BigInt_Equal(back, r));
        } else if (op == "mod") {
            ASSERT_EQ(1, BigInt_Modulo(r, a, b));
            ASSERT_EQ(expected, Text(r)) << line_of(row);
        } else if (op == "inv") {
            ASSERT_EQ(1, BigInt_ModuloInverse(r, a, b));
            ASSERT_EQ(expected, Text(r)) << line_of(row);
        } else {
            Num m(row[3]);
            if (op == "mulmod") {
                ASSERT_EQ(1, BigInt_ModuloMultiply(r, a, b, m));
                ASSERT_EQ(expected, Text(r)) << line_of(row);
                ASSERT_EQ(1, BigInt_ModuloSquare(r, a, m));
                Num sq;
                BigInt_Multiply(sq, a, a);
                BigInt_Modulo(sq, sq, m);
                ASSERT_EQ(1, BigInt_Equal(sq, r));
            } else if (op == "pow") {
                ASSERT_EQ(1, BigInt_ModuloPower(r, a, b, m));
                ASSERT_EQ(expected, Text(r)) << line_of(row);
            } else {
                Montgomery* c = nullptr;
                ASSERT_EQ(1, BigInt_MontgomeryCreate(&c, m));
                ASSERT_EQ(1, BigInt_MontgomeryPower(r, a, b, c));
                ASSERT_EQ(expected, Text(r)) << line_of(row);
                ASSERT_EQ(1, BigInt_MontgomeryPowerPublic(r, a, b, c));
                BigInt_MontgomeryDestroy(&c);
                ASSERT_EQ(expected, Text(r)) << "public " << line_of(row);
            }
        }
    }
}

} // namespace

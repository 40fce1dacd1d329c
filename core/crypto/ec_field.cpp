// The fixed-size curve engine: Montgomery arithmetic on 4, 6 or 9 limbs (four-limb products in
// the assembly of ec_mont4.h where the processor has it), complete projective addition for
// secret scalars and Jacobian coordinates with windowed NAF for public ones.
#include "core/crypto/ec_field.h"

#include <cstring>

#include "core/crypto/ec_mont4.h"

// The limb loops only become register code once unrolled; without that, debug and sanitizer
// builds run the curve operations tens of times slower. Release builds optimise fully anyway.
#if defined(__GNUC__) && !defined(__clang__) && !defined(NDEBUG)
#pragma GCC optimize("O2", "unroll-loops")
#endif

namespace ec_internal {

namespace {

typedef unsigned __int128 u128;

template <int N> struct Fe { uint64_t v[N]; };

// The carry chains are scalar code: vectorised selects after them stall on store forwarding.
// Fuzzing builds leave them without comparison tracing, which would otherwise take most of the
// time and tells the fuzzer nothing about the input's structure.
#if defined(__clang__)
#define LIMB_CODE __attribute__((no_sanitize("coverage")))
#elif defined(__GNUC__)
#define LIMB_CODE __attribute__((optimize("no-tree-vectorize")))
#else
#define LIMB_CODE
#endif

__attribute__((always_inline)) inline unsigned char AddCarry(unsigned char carry, uint64_t a, uint64_t b,
                                                             uint64_t* out) {
    const u128 s = (u128)a + b + carry;
    *out = (uint64_t)s;
    return (unsigned char)(s >> 64);
}

__attribute__((always_inline)) inline unsigned char SubBorrow(unsigned char borrow, uint64_t a, uint64_t b,
                                                              uint64_t* out) {
    const u128 s = (u128)a - b - borrow;
    *out = (uint64_t)s;
    return (unsigned char)((s >> 64) & 1);
}

// All-ones when x is zero, else zero; no branch.
inline uint64_t MaskIfZero(uint64_t x) {
    return ((x | (0 - x)) >> 63) - 1;
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

void HexToLimbs(uint64_t* out, int32_t limbs, const char* hex) {
    memset(out, 0, (size_t)limbs * 8);
    const size_t length = strlen(hex);
    for (size_t i = 0; i < length; i++) {
        const size_t bit = 4 * (length - 1 - i);
        out[bit / 64] |= (uint64_t)HexValue(hex[i]) << (bit % 64);
    }
}

template <int N> bool IsZero(const Fe<N>& a) {
    uint64_t x = 0;
    for (int i = 0; i < N; i++) x |= a.v[i];
    return x == 0;
}

template <int N> bool Equal(const Fe<N>& a, const Fe<N>& b) {
    uint64_t x = 0;
    for (int i = 0; i < N; i++) x |= a.v[i] ^ b.v[i];
    return x == 0;
}

// dst = mask ? src : dst.
template <int N> void Select(Fe<N>& dst, const Fe<N>& src, uint64_t mask) {
    for (int i = 0; i < N; i++) dst.v[i] = (src.v[i] & mask) | (dst.v[i] & ~mask);
}

#define LIMB_INLINE __attribute__((always_inline)) inline

// out = table[want], or zeros when want is not below count, reading every entry in full so that
// the access pattern hides want. Two limbs at a time where the entry's size allows.
template <typename T> void ScanSelect(T& out, const T* table, int count, uint64_t want) {
    typedef uint64_t Pair __attribute__((vector_size(16)));
    typedef uint64_t LoosePair __attribute__((vector_size(16), aligned(8), may_alias));
    if constexpr (sizeof(T) % sizeof(Pair) == 0) {
        constexpr int n = sizeof(T) / sizeof(Pair);
        Pair acc[n] = {};
        for (int i = 0; i < count; i++) {
            const uint64_t m = MaskIfZero((uint64_t)i ^ want);
            const Pair mask = {m, m};
            const LoosePair* row = reinterpret_cast<const LoosePair*>(&table[i]);
            for (int j = 0; j < n; j++) acc[j] |= row[j] & mask;
        }
        memcpy(&out, acc, sizeof(out));
    } else {
        constexpr int n = sizeof(T) / sizeof(uint64_t);
        static_assert(sizeof(T) % sizeof(uint64_t) == 0, "entries of whole limbs");
        uint64_t acc[n] = {};
        for (int i = 0; i < count; i++) {
            const uint64_t mask = MaskIfZero((uint64_t)i ^ want);
            uint64_t row[n];
            memcpy(row, &table[i], sizeof(row));
            for (int j = 0; j < n; j++) acc[j] |= row[j] & mask;
        }
        memcpy(&out, acc, sizeof(out));
    }
}

// The limb operations modulo M below 2^(64 N) with minv = -M^-1 mod 2^64. Written once for any
// modulus; given a modulus known at compile time the compiler folds its limbs (the zero and
// all-ones limbs of the NIST prime vanish from the reduction).

// r = t mod M for t = t[0..N] < 2M.
template <int N> LIMB_INLINE void ReduceOnce(uint64_t* r, const uint64_t* t, uint64_t top, const uint64_t* M) {
    uint64_t d[N];
    unsigned char borrow = 0;
    for (int i = 0; i < N; i++) borrow = SubBorrow(borrow, t[i], M[i], &d[i]);
    const uint64_t keep = 0 - (top | (uint64_t)(borrow ^ 1));
    for (int i = 0; i < N; i++) r[i] = (d[i] & keep) | (t[i] & ~keep);
}

template <int N> LIMB_INLINE void AddMod(uint64_t* r, const uint64_t* a, const uint64_t* b, const uint64_t* M) {
    uint64_t t[N];
    unsigned char carry = 0;
    for (int i = 0; i < N; i++) carry = AddCarry(carry, a[i], b[i], &t[i]);
    ReduceOnce<N>(r, t, carry, M);
}

template <int N> LIMB_INLINE void SubMod(uint64_t* r, const uint64_t* a, const uint64_t* b, const uint64_t* M) {
    uint64_t t[N];
    unsigned char borrow = 0;
    for (int i = 0; i < N; i++) borrow = SubBorrow(borrow, a[i], b[i], &t[i]);
    const uint64_t mask = 0 - (uint64_t)borrow;
    unsigned char carry = 0;
    for (int i = 0; i < N; i++) carry = AddCarry(carry, t[i], M[i] & mask, &r[i]);
}

// t += a bi over N limbs, the carry into t[N] and t[N + 1]: one row of a Montgomery product.
template <int N> LIMB_INLINE void MontAddRow(uint64_t* t, const uint64_t* a, uint64_t bi) {
    uint64_t c = 0;
    for (int j = 0; j < N; j++) {
        const u128 s = (u128)a[j] * bi + t[j] + c;
        t[j] = (uint64_t)s;
        c = (uint64_t)(s >> 64);
    }
    const u128 s = (u128)t[N] + c;
    t[N] = (uint64_t)s;
    t[N + 1] = (uint64_t)(s >> 64);
}

// t = (t + m M) / 2^64, m chosen so that the low limb cancels.
template <int N> LIMB_INLINE void MontShiftRow(uint64_t* t, uint64_t m, const uint64_t* M) {
    u128 s = (u128)m * M[0] + t[0];
    uint64_t c = (uint64_t)(s >> 64);
    for (int j = 1; j < N; j++) {
        s = (u128)m * M[j] + t[j] + c;
        t[j - 1] = (uint64_t)s;
        c = (uint64_t)(s >> 64);
    }
    s = (u128)t[N] + c;
    t[N - 1] = (uint64_t)s;
    t[N] = t[N + 1] + (uint64_t)(s >> 64);
}

// Montgomery product a b R^-1 mod M, coarsely integrated operand scanning; r may be a or b.
template <int N>
LIMB_INLINE void MontMul(uint64_t* r, const uint64_t* a, const uint64_t* b, const uint64_t* M, uint64_t minv) {
    uint64_t t[N + 2] = {};
    for (int i = 0; i < N; i++) {
        MontAddRow<N>(t, a, b[i]);
        MontShiftRow<N>(t, t[0] * minv, M);
    }
    ReduceOnce<N>(r, t, t[N], M);
}

// Montgomery square: the cross products once and doubled, the squares on the diagonal, then the
// reduction word by word. r may be a.
template <int N> LIMB_INLINE void MontSqr(uint64_t* r, const uint64_t* a, const uint64_t* M, uint64_t minv) {
    uint64_t t[2 * N] = {};
    for (int i = 0; i < N; i++) {
        uint64_t c = 0;
        for (int j = i + 1; j < N; j++) {
            const u128 s = (u128)a[i] * a[j] + t[i + j] + c;
            t[i + j] = (uint64_t)s;
            c = (uint64_t)(s >> 64);
        }
        t[i + N] = c;
    }
    uint64_t high = 0;
    for (int i = 0; i < 2 * N; i++) {
        const uint64_t next = t[i] >> 63;
        t[i] = (t[i] << 1) | high;
        high = next;
    }
    unsigned char carry = 0;
    for (int i = 0; i < N; i++) {
        const u128 d = (u128)a[i] * a[i];
        carry = AddCarry(carry, t[2 * i], (uint64_t)d, &t[2 * i]);
        carry = AddCarry(carry, t[2 * i + 1], (uint64_t)(d >> 64), &t[2 * i + 1]);
    }
    // t = a^2 < M^2; adding m M at each word clears the low half, leaving a value below 2M.
    uint64_t top = 0;
    for (int i = 0; i < N; i++) {
        const uint64_t m = t[i] * minv;
        uint64_t c = 0;
        for (int j = 0; j < N; j++) {
            const u128 s = (u128)m * M[j] + t[i + j] + c;
            t[i + j] = (uint64_t)s;
            c = (uint64_t)(s >> 64);
        }
        const u128 s = (u128)t[i + N] + c + top;
        t[i + N] = (uint64_t)s;
        top = (uint64_t)(s >> 64);
    }
    ReduceOnce<N>(r, t + N, top, M);
}

// The P-256 prime 2^256 - 2^224 + 2^192 + 2^96 - 1; -p^-1 mod 2^64 is 1.
constexpr uint64_t kP256[4] = {0xFFFFFFFFFFFFFFFFULL, 0x00000000FFFFFFFFULL, 0, 0xFFFFFFFF00000001ULL};

LIMB_CODE void MulP256(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    MontMul<4>(r, a, b, kP256, 1);
}

LIMB_CODE void SqrP256(uint64_t* r, const uint64_t* a) {
    MontSqr<4>(r, a, kP256, 1);
}

// The order of the P-256 group, whose two upper limbs fold as the prime's do.
constexpr uint64_t kN256[4] = {0xF3B9CAC2FC632551ULL, 0xBCE6FAADA7179E84ULL, 0xFFFFFFFFFFFFFFFFULL,
                               0xFFFFFFFF00000000ULL};

constexpr uint64_t NegInverse64(uint64_t m) {
    uint64_t inv = 1;
    for (int i = 0; i < 7; i++) inv *= 2 - m * inv;
    return 0 - inv;
}

LIMB_CODE void MulN256(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    MontMul<4>(r, a, b, kN256, NegInverse64(kN256[0]));
}

LIMB_CODE void SqrN256(uint64_t* r, const uint64_t* a) {
    MontSqr<4>(r, a, kN256, NegInverse64(kN256[0]));
}

// Arithmetic modulo an odd M below 2^(64 N), values in Montgomery form a R mod M, R = 2^(64 N).
// Every operation runs the same instructions whatever the values.
template <int N> struct Mont {
    uint64_t M[N];
    uint64_t MInv; // -M^-1 mod 2^64
    uint64_t MMinus2[N];
    Fe<N> R2;
    Fe<N> One;
    // M = 2^521 - 1, whose reduction steps need no multiplication.
    bool Mersenne521 = false;
    // M is the P-256 prime: its operations run with the limbs as constants.
    bool P256 = false;
    // M is the order of the P-256 group.
    bool N256 = false;

    void Init(const uint64_t* m) {
        memcpy(M, m, sizeof(M));
        P256 = N == 4 && memcmp(M, kP256, sizeof(kP256)) == 0;
        N256 = N == 4 && memcmp(M, kN256, sizeof(kN256)) == 0;
        Mersenne521 = N == 9 && M[8] == 0x1FF;
        for (int i = 0; i < N - 1; i++) Mersenne521 = Mersenne521 && M[i] == ~0ULL;
        uint64_t inv = 1;
        for (int i = 0; i < 7; i++) inv *= 2 - M[0] * inv;
        MInv = 0 - inv;
        Fe<N> x{};
        x.v[0] = 1;
        for (int i = 0; i < 64 * N; i++) Add(x, x, x);
        One = x;
        for (int i = 0; i < 64 * N; i++) Add(x, x, x);
        R2 = x;
        uint64_t borrow = 2;
        for (int i = 0; i < N; i++) {
            const u128 s = (u128)M[i] - borrow;
            MMinus2[i] = (uint64_t)s;
            borrow = (uint64_t)(s >> 64) & 1;
        }
    }

    // Additions are short enough to be inlined where they are used.
    LIMB_INLINE void Add(Fe<N>& r, const Fe<N>& a, const Fe<N>& b) const {
        if constexpr (N == 4) {
#if EC_MONT4_ASM
            if (P256 && Mont4AsmOn.load(std::memory_order_relaxed)) return Mont4AddP256(r.v, a.v, b.v);
#endif
            if (P256) return AddMod<4>(r.v, a.v, b.v, kP256);
        }
        AddMod<N>(r.v, a.v, b.v, M);
    }

    LIMB_INLINE void Sub(Fe<N>& r, const Fe<N>& a, const Fe<N>& b) const {
        if constexpr (N == 4) {
#if EC_MONT4_ASM
            if (P256 && Mont4AsmOn.load(std::memory_order_relaxed)) return Mont4SubP256(r.v, a.v, b.v);
#endif
            if (P256) return SubMod<4>(r.v, a.v, b.v, kP256);
        }
        SubMod<N>(r.v, a.v, b.v, M);
    }

    // The P-256 product in assembly is inlined where it is used; the rest are calls.
    LIMB_INLINE void Mul(Fe<N>& r, const Fe<N>& a, const Fe<N>& b) const {
#if EC_MONT4_ASM
        if constexpr (N == 4) {
            if (P256 && Mont4AsmOn.load(std::memory_order_relaxed)) return Mont4MulP256(r.v, a.v, b.v);
        }
#endif
        MulCall(r, a, b);
    }

    LIMB_INLINE void Sqr(Fe<N>& r, const Fe<N>& a) const {
#if EC_MONT4_ASM
        if constexpr (N == 4) {
            if (P256 && Mont4AsmOn.load(std::memory_order_relaxed)) return Mont4SqrP256(r.v, a.v);
        }
#endif
        SqrCall(r, a);
    }

    __attribute__((noinline)) LIMB_CODE void MulCall(Fe<N>& r, const Fe<N>& a, const Fe<N>& b) const {
        if constexpr (N == 4) {
#if EC_MONT4_ASM
            if (Mont4AsmOn.load(std::memory_order_relaxed)) {
                if (P256) return Mont4MulP256(r.v, a.v, b.v);
                return Mont4Mul(r.v, a.v, b.v, M, MInv);
            }
#endif
            if (P256) return MulP256(r.v, a.v, b.v);
            if (N256) return MulN256(r.v, a.v, b.v);
        }
        if constexpr (N != 9) {
            return MontMul<N>(r.v, a.v, b.v, M, MInv);
        }
        uint64_t t[N + 2] = {};
        for (int i = 0; i < N; i++) {
            MontAddRow<N>(t, a.v, b.v[i]);
            const uint64_t m = t[0] * MInv;
            if constexpr (N == 9) {
                if (Mersenne521) {
                    // m p = m 2^521 - m with m = t[0]: the low limb cancels and m lands at bit 521.
                    u128 s = (u128)t[8] + (m << 9);
                    t[8] = (uint64_t)s;
                    s = (u128)t[9] + (m >> 55) + (uint64_t)(s >> 64);
                    t[9] = (uint64_t)s;
                    t[10] += (uint64_t)(s >> 64);
                    for (int j = 1; j <= N + 1; j++) t[j - 1] = t[j];
                    continue;
                }
            }
            MontShiftRow<N>(t, m, M);
        }
        ReduceOnce<N>(r.v, t, t[N], M);
    }

    __attribute__((noinline)) LIMB_CODE void SqrCall(Fe<N>& r, const Fe<N>& a) const {
        if constexpr (N == 4) {
#if EC_MONT4_ASM
            if (Mont4AsmOn.load(std::memory_order_relaxed)) {
                if (P256) return Mont4SqrP256(r.v, a.v);
                return Mont4Sqr(r.v, a.v, M, MInv);
            }
#endif
            if (P256) return SqrP256(r.v, a.v);
            if (N256) return SqrN256(r.v, a.v);
        }
        if constexpr (N != 9) {
            return MontSqr<N>(r.v, a.v, M, MInv);
        }
        Mul(r, a, a);
    }

    void SqrTimes(Fe<N>& r, const Fe<N>& a, int times) const {
        r = a;
        for (int i = 0; i < times; i++) Sqr(r, r);
    }

    void ToMont(Fe<N>& r, const uint64_t* a) const {
        Fe<N> x;
        memcpy(x.v, a, sizeof(x.v));
        Mul(r, x, R2);
    }

    void FromMont(uint64_t* r, const Fe<N>& a) const {
        Fe<N> one{};
        one.v[0] = 1;
        Fe<N> x;
        Mul(x, a, one);
        memcpy(r, x.v, sizeof(x.v));
    }

    // r = a^e for a public exponent, four bits at a time; the base may be secret.
    LIMB_CODE void Pow(Fe<N>& r, const Fe<N>& a, const uint64_t* e) const {
        Fe<N> table[16];
        table[0] = One;
        for (int i = 1; i < 16; i++) Mul(table[i], table[i - 1], a);
        Fe<N> x = One;
        bool started = false;
        for (int nibble = 16 * N - 1; nibble >= 0; nibble--) {
            const uint32_t d = (uint32_t)(e[nibble / 16] >> (4 * (nibble % 16))) & 15;
            if (started)
                for (int k = 0; k < 4; k++) Sqr(x, x);
            if (d) {
                Mul(x, x, table[d]);
                started = true;
            }
        }
        r = x;
    }

    // a^(M - 2): the inverse modulo a prime M, 0 for 0.
    void Inverse(Fe<N>& r, const Fe<N>& a) const {
        if (P256) return InverseP256(r, a);
        Pow(r, a, MMinus2);
    }

    // p - 2 = 2^256 - 2^224 + 2^192 + 2^96 - 3 through runs of ones: 255 squarings and 12
    // multiplications where the 4-bit window takes 64 multiplications.
    void InverseP256(Fe<N>& r, const Fe<N>& a) const {
        Fe<N> x2, x3, x6, x12, x15, x30, x32, t; // xk = a^(2^k - 1)
        Sqr(t, a);
        Mul(x2, t, a);
        Sqr(t, x2);
        Mul(x3, t, a);
        SqrTimes(t, x3, 3);
        Mul(x6, t, x3);
        SqrTimes(t, x6, 6);
        Mul(x12, t, x6);
        SqrTimes(t, x12, 3);
        Mul(x15, t, x3);
        SqrTimes(t, x15, 15);
        Mul(x30, t, x15);
        SqrTimes(t, x30, 2);
        Mul(x32, t, x2);
        SqrTimes(t, x32, 32);
        Mul(t, t, a); // 2^64 - 2^32 + 1
        SqrTimes(t, t, 128);
        Mul(t, t, x32);
        SqrTimes(t, t, 32);
        Mul(t, t, x32);
        SqrTimes(t, t, 30);
        Mul(t, t, x30);
        SqrTimes(t, t, 2);
        Mul(r, t, a);
    }
};

template <int N> struct Point { Fe<N> X, Y, Z; };

template <int N> class CurveEngine final : public Engine {
  public:
    explicit CurveEngine(const CurveParams& params) {
        Limbs = N;
        HexToLimbs(Prime, N, params.P);
        HexToLimbs(Order, N, params.N);
        F.Init(Prime);
        S.Init(Order);
        uint64_t t[N];
        HexToLimbs(t, N, params.A);
        F.ToMont(A, t);
        HexToLimbs(t, N, params.B);
        F.ToMont(B, t);
        F.Add(B3, B, B);
        F.Add(B3, B3, B);
        Fe<N> minus3, zero{};
        F.Sub(minus3, zero, F.One);
        F.Sub(minus3, minus3, F.One);
        F.Sub(minus3, minus3, F.One);
        AKind = IsZero(A) ? 0 : Equal(A, minus3) ? 1 : 2;
        HexToLimbs(t, N, params.Gx);
        F.ToMont(Gx, t);
        HexToLimbs(t, N, params.Gy);
        F.ToMont(Gy, t);
        FieldBytes = (BitLength(Prime) + 7) / 8;
        OrderBits = BitLength(Order);
        OrderBytes = (OrderBits + 7) / 8;

        // Odd multiples of G for the public double multiplication, made affine once.
        Point<N> g{Gx, Gy, F.One}, g2, acc = g;
        Double(g2, g);
        for (int i = 0; i < G_ODD; i++) {
            if (i) AddJacobian(acc, acc, g2, false);
            Fe<N> zi, z2;
            F.Inverse(zi, acc.Z);
            F.Sqr(z2, zi);
            F.Mul(GOddX[i], acc.X, z2);
            F.Mul(z2, z2, zi);
            F.Mul(GOddY[i], acc.Y, z2);
        }
        // j 16^w G for every 4-bit window w of a scalar, projective (the identity as (0:1:0)):
        // k G is then one addition per window and no doubling.
        Point<N> base = g;
        for (int w = 0; w < (OrderBits + 3) / 4; w++) {
            GComb[w][0] = Point<N>{Fe<N>{}, F.One, Fe<N>{}};
            GComb[w][1] = base;
            for (int j = 2; j < 16; j++) AddComplete(GComb[w][j], GComb[w][j - 1], base, AKind);
            AddComplete(base, GComb[w][15], base, AKind);
        }
        if (AKind == 1 && N == 4) BuildSignedComb(g);
    }

    bool OnCurve(const uint64_t* x, const uint64_t* y) const override {
        Fe<N> xm, ym, lhs, rhs;
        F.ToMont(xm, x);
        F.ToMont(ym, y);
        F.Sqr(lhs, ym);
        F.Sqr(rhs, xm);
        F.Add(rhs, rhs, A);
        F.Mul(rhs, rhs, xm);
        F.Add(rhs, rhs, B);
        return Equal(lhs, rhs);
    }

    bool MulSecret(uint64_t* rx, uint64_t* ry, const uint64_t* px, const uint64_t* py, const uint64_t* k,
                   Formula formula) const override {
        const int kind = formula == Formula::General ? 2 : AKind;
        const int windows = (OrderBits + 3) / 4;
        Point<N> r{Fe<N>{}, F.One, Fe<N>{}}, chosen;
        if (!px && kind == 1 && N == 4) {
            // Signed 6-bit digits against the affine table: 43 mixed additions, no doubling.
            AffinePoint pick;
            for (int w = 0; w < SIGNED_WINDOWS; w++) {
                uint64_t negative = 0;
                const uint64_t digit = SignedDigit(k, w, &negative);
                SelectAffine(pick, GSigned[w], digit);
                Fe<N> minusY;
                F.Sub(minusY, Fe<N>{}, pick.Y);
                Select(pick.Y, minusY, 0 - negative);
                Point<N> sum;
                AddMixed(sum, r, pick);
                // A zero digit adds nothing: the sum, made from zeros, is dropped.
                const uint64_t keep = MaskIfZero(digit);
                Select(sum.X, r.X, keep);
                Select(sum.Y, r.Y, keep);
                Select(sum.Z, r.Z, keep);
                r = sum;
            }
        } else if (!px) {
            for (int w = 0; w < windows; w++) {
                SelectPoint(chosen, GComb[w], Digit(k, w));
                AddComplete(r, r, chosen, kind);
            }
        } else {
            Point<N> table[16];
            table[0] = r;
            F.ToMont(table[1].X, px);
            F.ToMont(table[1].Y, py);
            table[1].Z = F.One;
            for (int i = 2; i < 16; i++) AddComplete(table[i], table[i - 1], table[1], kind);
            for (int w = windows - 1; w >= 0; w--) {
                if (w != windows - 1)
                    for (int i = 0; i < 4; i++) AddComplete(r, r, r, kind);
                SelectPoint(chosen, table, Digit(k, w));
                AddComplete(r, r, chosen, kind);
            }
        }
        Fe<N> zi, x, y;
        F.Inverse(zi, r.Z);
        F.Mul(x, r.X, zi);
        F.Mul(y, r.Y, zi);
        F.FromMont(rx, x);
        F.FromMont(ry, y);
        // Only the outcome, which the caller learns anyway, decides this branch.
        return !IsZero(r.Z);
    }

    bool MulAddPublic(uint64_t* rx, uint64_t* ry, const uint64_t* u1, const uint64_t* u2, const uint64_t* qx,
                      const uint64_t* qy) const override {
        Point<N> r;
        SumPublic(r, u1, u2, qx, qy);
        if (IsZero(r.Z)) return false;
        Fe<N> zi, z2, x;
        F.Inverse(zi, r.Z);
        F.Sqr(z2, zi);
        F.Mul(x, r.X, z2);
        F.FromMont(rx, x);
        if (ry) {
            F.Mul(z2, z2, zi);
            F.Mul(x, r.Y, z2);
            F.FromMont(ry, x);
        }
        return true;
    }

    // x = X / Z^2 is checked as X = c Z^2 for the candidates c = r and r + n (below p): no
    // inversion. x mod n = r holds exactly for those: the groups have cofactor 1, so p < 2n.
    bool MulAddPublicMatchesX(const uint64_t* u1, const uint64_t* u2, const uint64_t* qx, const uint64_t* qy,
                              const uint64_t* rn) const override {
        if (!LimbsLess(rn, Order, N)) return false;
        Point<N> r;
        SumPublic(r, u1, u2, qx, qy);
        if (IsZero(r.Z)) return false;
        // A candidate of p or more is no x (n exceeds p on some curves).
        if (!LimbsLess(rn, Prime, N)) return false;
        Fe<N> z2, c, t;
        F.Sqr(z2, r.Z);
        F.ToMont(c, rn);
        F.Mul(t, c, z2);
        if (Equal(t, r.X)) return true;
        uint64_t candidate[N];
        unsigned char carry = 0;
        for (int i = 0; i < N; i++) carry = AddCarry(carry, rn[i], Order[i], &candidate[i]);
        if (carry || !LimbsLess(candidate, Prime, N)) return false;
        F.ToMont(c, candidate);
        F.Mul(t, c, z2);
        return Equal(t, r.X);
    }

  private:
    // r = u1 G + u2 Q in Jacobian coordinates, Z = 0 for infinity.
    void SumPublic(Point<N>& r, const uint64_t* u1, const uint64_t* u2, const uint64_t* qx,
                   const uint64_t* qy) const {
        int8_t naf1[64 * N + 2], naf2[64 * N + 2];
        const int l1 = Wnaf(naf1, u1, G_WIDTH), l2 = Wnaf(naf2, u2, Q_WIDTH);
        Point<N> q[Q_ODD], q2;
        F.ToMont(q[0].X, qx);
        F.ToMont(q[0].Y, qy);
        q[0].Z = F.One;
        Double(q2, q[0]);
        for (int i = 1; i < Q_ODD; i++) AddJacobian(q[i], q[i - 1], q2, false);
        r = Point<N>{F.One, F.One, Fe<N>{}};
        Point<N> t;
        const Fe<N> zero{};
        for (int i = (l1 > l2 ? l1 : l2) - 1; i >= 0; i--) {
            Double(r, r);
            if (i < l1 && naf1[i]) {
                const int d = naf1[i];
                t.X = GOddX[(d < 0 ? -d : d) / 2];
                t.Y = GOddY[(d < 0 ? -d : d) / 2];
                if (d < 0) F.Sub(t.Y, zero, t.Y);
                t.Z = F.One;
                AddJacobian(r, r, t, true);
            }
            if (i < l2 && naf2[i]) {
                const int d = naf2[i];
                t = q[(d < 0 ? -d : d) / 2];
                if (d < 0) F.Sub(t.Y, zero, t.Y);
                AddJacobian(r, r, t, false);
            }
        }
    }

  public:

    void ScalarMul(uint64_t* r, const uint64_t* a, const uint64_t* b) const override {
        Fe<N> am, bm;
        S.ToMont(am, a);
        memcpy(bm.v, b, sizeof(bm.v));
        S.Mul(am, am, bm);
        memcpy(r, am.v, sizeof(am.v));
    }

    void ScalarAdd(uint64_t* r, const uint64_t* a, const uint64_t* b) const override {
        Fe<N> am, bm;
        memcpy(am.v, a, sizeof(am.v));
        memcpy(bm.v, b, sizeof(bm.v));
        S.Add(am, am, bm);
        memcpy(r, am.v, sizeof(am.v));
    }

    void ScalarInverse(uint64_t* r, const uint64_t* a) const override {
        Fe<N> am;
        S.ToMont(am, a);
        S.Inverse(am, am);
        S.FromMont(r, am);
    }

    // Binary extended Euclid: u x1 = a and v x2 = a stay true modulo n while u and v shrink to
    // their gcd, 1 for n prime. Its steps follow the value, which is public here.
    void ScalarInversePublic(uint64_t* r, const uint64_t* a) const override {
        Fe<N> u, v, x1{}, x2{};
        memcpy(u.v, a, sizeof(u.v));
        memcpy(v.v, Order, sizeof(v.v));
        x1.v[0] = 1;
        memset(r, 0, N * sizeof(uint64_t));
        if (IsZero(u) || !LimbsLess(u.v, Order, N)) return;
        for (;;) {
            while (!(u.v[0] & 1)) {
                HalveLimbs(u.v, 0);
                HalveModOrder(x1);
            }
            while (!(v.v[0] & 1)) {
                HalveLimbs(v.v, 0);
                HalveModOrder(x2);
            }
            if (IsOne(u)) return (void)memcpy(r, x1.v, sizeof(x1.v));
            if (IsOne(v)) return (void)memcpy(r, x2.v, sizeof(x2.v));
            if (!LimbsLess(u.v, v.v, N)) {
                SubLimbs(u.v, v.v);
                S.Sub(x1, x1, x2);
            } else {
                SubLimbs(v.v, u.v);
                S.Sub(x2, x2, x1);
            }
            // Only a common factor could bring either to zero; n is prime and 0 < a < n.
            if (IsZero(u) || IsZero(v)) return;
        }
    }

  private:
    static constexpr int G_WIDTH = 7, G_ODD = 1 << (G_WIDTH - 2);
    static constexpr int Q_WIDTH = 5, Q_ODD = 1 << (Q_WIDTH - 2);

    Mont<N> F, S;
    Fe<N> A, B, B3, Gx, Gy;
    int AKind = 2; // 0: a = 0, 1: a = -3, 2: any other a
    Fe<N> GOddX[G_ODD], GOddY[G_ODD];
    Point<N> GComb[16 * N][16];

    // For a = -3 on four limbs: j 64^w G for j = 1 .. 32 and every 6-bit window w, affine, so
    // that k G is 43 mixed additions of signed digits.
    struct AffinePoint { Fe<N> X, Y; };
    static constexpr int SIGNED_WIDTH = 6, SIGNED_WINDOWS = (64 * N + SIGNED_WIDTH) / SIGNED_WIDTH;
    AffinePoint (*GSigned)[32] = nullptr;
    AffinePoint GSignedStorage[N == 4 ? SIGNED_WINDOWS : 1][32];

    void BuildSignedComb(const Point<N>& g) {
        GSigned = GSignedStorage;
        Point<N> base = g, row[32];
        for (int w = 0; w < SIGNED_WINDOWS; w++) {
            row[0] = base;
            for (int j = 1; j < 32; j++) AddComplete(row[j], row[j - 1], base, AKind);
            // One inversion for the row: prefix products, then back down.
            Fe<N> prefix[32], inverse;
            prefix[0] = row[0].Z;
            for (int j = 1; j < 32; j++) F.Mul(prefix[j], prefix[j - 1], row[j].Z);
            F.Inverse(inverse, prefix[31]);
            for (int j = 31; j >= 0; j--) {
                Fe<N> zi;
                if (j)
                    F.Mul(zi, inverse, prefix[j - 1]);
                else
                    zi = inverse;
                if (j) F.Mul(inverse, inverse, row[j].Z);
                F.Mul(GSigned[w][j].X, row[j].X, zi);
                F.Mul(GSigned[w][j].Y, row[j].Y, zi);
            }
            // base = 64 base
            for (int i = 0; i < SIGNED_WIDTH; i++) AddComplete(base, base, base, AKind);
        }
    }

    // Booth recoding: the window's 6 bits and the bit below give a digit of -32 .. 32.
    static uint64_t SignedDigit(const uint64_t* k, int w, uint64_t* negative) {
        const int low = SIGNED_WIDTH * w - 1;
        uint64_t in = 0;
        for (int b = 0; b < SIGNED_WIDTH + 1; b++) {
            const int bit = low + b;
            if (bit >= 0 && bit < 64 * N) in |= ((k[bit / 64] >> (bit % 64)) & 1) << b;
        }
        const uint64_t s = 0 - (in >> SIGNED_WIDTH); // all ones when the top bit is set
        uint64_t d = ((uint64_t)1 << (SIGNED_WIDTH + 1)) - in - 1;
        d = (d & s) | (in & ~s);
        d = (d >> 1) + (d & 1);
        *negative = s & 1;
        return d;
    }

    // pick = table[digit - 1] (zeros for 0), reading every entry.
    static void SelectAffine(AffinePoint& pick, const AffinePoint* table, uint64_t digit) {
        ScanSelect(pick, table, 32, digit - 1);
    }

    // The part of the complete addition for a = -3 after the products are formed: t0 = X1 X2,
    // t1 = Y1 Y2, t2 = Z1 Z2, t3 = X1 Y2 + X2 Y1, t4 = Y1 Z2 + Y2 Z1, y3 = X1 Z2 + X2 Z1.
    LIMB_CODE void FinishMinus3(Fe<N>& t0, Fe<N>& t1, Fe<N>& t2, const Fe<N>& t3, const Fe<N>& t4, Fe<N>& x3,
                                Fe<N>& y3, Fe<N>& z3) const {
        F.Mul(z3, B, t2);
        F.Sub(x3, y3, z3);
        F.Add(z3, x3, x3);
        F.Add(x3, x3, z3);
        F.Sub(z3, t1, x3);
        F.Add(x3, t1, x3);
        F.Mul(y3, B, y3);
        F.Add(t1, t2, t2);
        F.Add(t2, t1, t2);
        F.Sub(y3, y3, t2);
        F.Sub(y3, y3, t0);
        F.Add(t1, y3, y3);
        F.Add(y3, t1, y3);
        F.Add(t1, t0, t0);
        F.Add(t0, t1, t0);
        F.Sub(t0, t0, t2);
        F.Mul(t1, t4, y3);
        F.Mul(t2, t0, y3);
        F.Mul(y3, x3, z3);
        F.Add(y3, y3, t2);
        F.Mul(x3, t3, x3);
        F.Sub(x3, x3, t1);
        F.Mul(z3, t4, z3);
        F.Mul(t1, t3, t0);
        F.Add(z3, z3, t1);
    }

    // Complete addition of p and an affine q for a = -3: the projective formula with Z2 = 1.
    LIMB_CODE void AddMixed(Point<N>& r, const Point<N>& p, const AffinePoint& q) const {
        Fe<N> t0, t1, t2, t3, t4, x3, y3, z3;
        const Fe<N>&X1 = p.X, &Y1 = p.Y, &Z1 = p.Z, &X2 = q.X, &Y2 = q.Y;
        F.Mul(t0, X1, X2);
        F.Mul(t1, Y1, Y2);
        F.Add(t3, X2, Y2);
        F.Add(t4, X1, Y1);
        F.Mul(t3, t3, t4);
        F.Add(t4, t0, t1);
        F.Sub(t3, t3, t4);
        F.Mul(t4, Y2, Z1);
        F.Add(t4, t4, Y1);
        F.Mul(y3, X2, Z1);
        F.Add(y3, y3, X1);
        t2 = Z1; // Z1 Z2 with Z2 = 1
        FinishMinus3(t0, t1, t2, t3, t4, x3, y3, z3);
        r.X = x3;
        r.Y = y3;
        r.Z = z3;
    }

    static bool IsOne(const Fe<N>& a) {
        uint64_t x = a.v[0] ^ 1;
        for (int i = 1; i < N; i++) x |= a.v[i];
        return x == 0;
    }

    // a = (a + top 2^(64 N)) / 2.
    static void HalveLimbs(uint64_t* a, uint64_t top) {
        for (int i = 0; i < N - 1; i++) a[i] = (a[i] >> 1) | (a[i + 1] << 63);
        a[N - 1] = (a[N - 1] >> 1) | (top << 63);
    }

    // a - b for a >= b.
    static void SubLimbs(uint64_t* a, const uint64_t* b) {
        unsigned char borrow = 0;
        for (int i = 0; i < N; i++) borrow = SubBorrow(borrow, a[i], b[i], &a[i]);
    }

    // x / 2 modulo the odd n: an odd x takes n first.
    void HalveModOrder(Fe<N>& x) const {
        uint64_t top = 0;
        if (x.v[0] & 1) {
            unsigned char carry = 0;
            for (int i = 0; i < N; i++) carry = AddCarry(carry, x.v[i], Order[i], &x.v[i]);
            top = carry;
        }
        HalveLimbs(x.v, top);
    }

    static uint64_t Digit(const uint64_t* k, int w) { return (k[(4 * w) / 64] >> ((4 * w) % 64)) & 15; }

    static void SelectPoint(Point<N>& chosen, const Point<N>* table, uint64_t digit) {
        ScanSelect(chosen, table, 16, digit);
    }

    static int BitLength(const uint64_t* a) {
        for (int i = N - 1; i >= 0; i--)
            if (a[i]) return 64 * i + 64 - __builtin_clzll(a[i]);
        return 0;
    }

    // Width-w non-adjacent form of a public value, least significant digit first.
    static int Wnaf(int8_t* out, const uint64_t* k, int w) {
        uint64_t t[N + 1];
        memcpy(t, k, N * sizeof(uint64_t));
        t[N] = 0;
        int length = 0;
        for (;;) {
            uint64_t any = 0;
            for (int i = 0; i <= N; i++) any |= t[i];
            if (!any) break;
            int d = 0;
            if (t[0] & 1) {
                d = (int)(t[0] & ((1u << w) - 1));
                if (d >= (1 << (w - 1))) d -= 1 << w;
                // t -= d, leaving t divisible by 2^w.
                uint64_t carry = d < 0 ? (uint64_t)-d : 0, borrow = d > 0 ? (uint64_t)d : 0;
                for (int i = 0; i <= N && (carry || borrow); i++) {
                    const u128 s = (u128)t[i] + carry - borrow;
                    t[i] = (uint64_t)s;
                    carry = carry ? (uint64_t)(s >> 64) : 0;
                    borrow = borrow ? (uint64_t)(s >> 64) & 1 : 0;
                }
            }
            out[length++] = (int8_t)d;
            for (int i = 0; i < N; i++) t[i] = (t[i] >> 1) | (t[i + 1] << 63);
            t[N] >>= 1;
        }
        return length;
    }

    // Jacobian doubling (x = X/Z^2, y = Y/Z^3); Z = 0 is the point at infinity.
    LIMB_CODE void Double(Point<N>& r, const Point<N>& p) const {
        if (IsZero(p.Z)) {
            r = p;
            return;
        }
        Fe<N> delta, gamma, beta, alpha, t, u;
        F.Sqr(delta, p.Z);
        F.Sqr(gamma, p.Y);
        F.Mul(beta, p.X, gamma);
        if (AKind == 1) {
            F.Sub(t, p.X, delta);
            F.Add(u, p.X, delta);
            F.Mul(alpha, t, u);
        } else {
            F.Sqr(alpha, p.X);
        }
        F.Add(t, alpha, alpha);
        F.Add(alpha, t, alpha);
        if (AKind == 2) {
            F.Sqr(t, delta);
            F.Mul(t, t, A);
            F.Add(alpha, alpha, t);
        }
        Fe<N> x3, y3, z3;
        F.Sqr(x3, alpha);
        F.Add(t, beta, beta);
        F.Add(t, t, t); // 4 beta
        F.Add(u, t, t); // 8 beta
        F.Sub(x3, x3, u);
        F.Add(z3, p.Y, p.Z);
        F.Sqr(z3, z3);
        F.Sub(z3, z3, gamma);
        F.Sub(z3, z3, delta);
        F.Sub(t, t, x3);
        F.Mul(y3, alpha, t);
        F.Sqr(gamma, gamma);
        F.Add(gamma, gamma, gamma);
        F.Add(gamma, gamma, gamma);
        F.Add(gamma, gamma, gamma);
        F.Sub(y3, y3, gamma);
        r.X = x3;
        r.Y = y3;
        r.Z = z3;
    }

    // Jacobian addition for public points; qAffine says q.Z is one. Equal operands double and
    // opposite ones give infinity instead of the formula's zero division.
    LIMB_CODE void AddJacobian(Point<N>& r, const Point<N>& p, const Point<N>& q, bool qAffine) const {
        if (IsZero(p.Z)) {
            r = q;
            return;
        }
        if (IsZero(q.Z)) {
            r = p;
            return;
        }
        Fe<N> z1z1, u1, u2, s1, s2, h, rr;
        F.Sqr(z1z1, p.Z);
        F.Mul(u2, q.X, z1z1);
        F.Mul(s2, q.Y, p.Z);
        F.Mul(s2, s2, z1z1);
        if (qAffine) {
            u1 = p.X;
            s1 = p.Y;
        } else {
            Fe<N> z2z2;
            F.Sqr(z2z2, q.Z);
            F.Mul(u1, p.X, z2z2);
            F.Mul(s1, p.Y, q.Z);
            F.Mul(s1, s1, z2z2);
        }
        F.Sub(h, u2, u1);
        F.Sub(rr, s2, s1);
        if (IsZero(h)) {
            if (IsZero(rr)) {
                Double(r, p);
            } else {
                r.Z = Fe<N>{};
            }
            return;
        }
        Fe<N> hh, hhh, v, x3, y3, z3, t;
        F.Sqr(hh, h);
        F.Mul(hhh, h, hh);
        F.Mul(v, u1, hh);
        F.Sqr(x3, rr);
        F.Sub(x3, x3, hhh);
        F.Sub(x3, x3, v);
        F.Sub(x3, x3, v);
        F.Sub(t, v, x3);
        F.Mul(y3, rr, t);
        F.Mul(t, s1, hhh);
        F.Sub(y3, y3, t);
        F.Mul(z3, p.Z, h);
        if (!qAffine) F.Mul(z3, z3, q.Z);
        r.X = x3;
        r.Y = y3;
        r.Z = z3;
    }

    // Complete projective addition (x = X/Z, y = Y/Z): one formula for every pair of points on
    // the curve, doubling and the identity (0:1:0) included, so it has no branch on the values.
    LIMB_CODE void AddComplete(Point<N>& r, const Point<N>& p, const Point<N>& q, int kind) const {
        Fe<N> t0, t1, t2, t3, t4, t5, x3, y3, z3;
        const Fe<N>&X1 = p.X, &Y1 = p.Y, &Z1 = p.Z, &X2 = q.X, &Y2 = q.Y, &Z2 = q.Z;
        F.Mul(t0, X1, X2);
        F.Mul(t1, Y1, Y2);
        F.Mul(t2, Z1, Z2);
        F.Add(t3, X1, Y1);
        F.Add(t4, X2, Y2);
        F.Mul(t3, t3, t4);
        F.Add(t4, t0, t1);
        F.Sub(t3, t3, t4);
        if (kind != 2) {
            // Both special forms start alike: t4 = Y1 Z2 + Y2 Z1 and y3 = X1 Z2 + X2 Z1.
            F.Add(t4, Y1, Z1);
            F.Add(x3, Y2, Z2);
            F.Mul(t4, t4, x3);
            F.Add(x3, t1, t2);
            F.Sub(t4, t4, x3);
            F.Add(x3, X1, Z1);
            F.Add(y3, X2, Z2);
            F.Mul(x3, x3, y3);
            F.Add(y3, t0, t2);
            F.Sub(y3, x3, y3);
        }
        if (kind == 1) { // a = -3
            FinishMinus3(t0, t1, t2, t3, t4, x3, y3, z3);
        } else if (kind == 0) { // a = 0
            F.Add(x3, t0, t0);
            F.Add(t0, x3, t0);
            F.Mul(t2, B3, t2);
            F.Add(z3, t1, t2);
            F.Sub(t1, t1, t2);
            F.Mul(y3, B3, y3);
            F.Mul(x3, t4, y3);
            F.Mul(t2, t3, t1);
            F.Sub(x3, t2, x3);
            F.Mul(y3, y3, t0);
            F.Mul(t1, t1, z3);
            F.Add(y3, t1, y3);
            F.Mul(t0, t0, t3);
            F.Mul(z3, z3, t4);
            F.Add(z3, z3, t0);
        } else { // any a
            F.Add(t4, X1, Z1);
            F.Add(t5, X2, Z2);
            F.Mul(t4, t4, t5);
            F.Add(t5, t0, t2);
            F.Sub(t4, t4, t5);
            F.Add(t5, Y1, Z1);
            F.Add(x3, Y2, Z2);
            F.Mul(t5, t5, x3);
            F.Add(x3, t1, t2);
            F.Sub(t5, t5, x3);
            F.Mul(z3, A, t4);
            F.Mul(x3, B3, t2);
            F.Add(z3, x3, z3);
            F.Sub(x3, t1, z3);
            F.Add(z3, t1, z3);
            F.Mul(y3, x3, z3);
            F.Add(t1, t0, t0);
            F.Add(t1, t1, t0);
            F.Mul(t2, A, t2);
            F.Mul(t4, B3, t4);
            F.Add(t1, t1, t2);
            F.Sub(t2, t0, t2);
            F.Mul(t2, A, t2);
            F.Add(t4, t4, t2);
            F.Mul(t0, t1, t4);
            F.Add(y3, y3, t0);
            F.Mul(t0, t5, t4);
            F.Mul(x3, t3, x3);
            F.Sub(x3, x3, t0);
            F.Mul(t0, t3, t1);
            F.Mul(z3, t5, z3);
            F.Add(z3, z3, t0);
        }
        r.X = x3;
        r.Y = y3;
        r.Z = z3;
    }
};

} // namespace

const CurveParams Curves[CURVE_COUNT] = {
    {"1.3.132.0.31", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFEE37", "0", "3",
     "DB4FF10EC057E9AE26B07D0280B7F4341DA5D1B1EAE06C7D", "9B2F2F6D9C5628A7844163D015BE86344082AA88D95E2F9D",
     "FFFFFFFFFFFFFFFFFFFFFFFE26F2FC170F69466A74DEFD8D", 1},
    {"1.2.840.10045.3.1.1", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFF",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFC", "64210519E59C80E70FA7E9AB72243049FEB8DEECC146B9B1",
     "188DA80EB03090F67CBF20EB43A18800F4FF0AFD82FF1012", "07192B95FFC8DA78631011ED6B24CDD573F977A11E794811",
     "FFFFFFFFFFFFFFFFFFFFFFFF99DEF836146BC9B1B4D22831", 1},
    {"1.3.132.0.32", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFE56D", "0", "5",
     "A1455B334DF099DF30FC28A169A467E9E47075A90F7E650EB6B7A45C",
     "7E089FED7FBA344282CAFBD6F7E319F7C0B0BD59E2CA4BDB556D61A5",
     "010000000000000000000000000001DCE8D2EC6184CAF0A971769FB1F7", 2},
    {"1.3.132.0.33", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF000000000000000000000001",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFFFFFFFFFFFFFFFFFE",
     "B4050A850C04B3ABF54132565044B0B7D7BFD8BA270B39432355FFB4",
     "B70E0CBD6BB4BF7F321390B94A03C1D356C21122343280D6115C1D21",
     "BD376388B5F723FB4C22DFE6CD4375A05A07476444D5819985007E34",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFF16A2E0B8F03E13DD29455C5C2A3D", 3},
    {"1.3.132.0.10", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFC2F", "0", "7",
     "79BE667EF9DCBBAC55A06295CE870B07029BFCDB2DCE28D959F2815B16F81798",
     "483ADA7726A3C4655DA4FBFC0E1108A8FD17B448A68554199C47D08FFB10D4B8",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEBAAEDCE6AF48A03BBFD25E8CD0364141", 1},
    {"1.2.840.10045.3.1.7", "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFF",
     "FFFFFFFF00000001000000000000000000000000FFFFFFFFFFFFFFFFFFFFFFFC",
     "5AC635D8AA3A93E7B3EBBD55769886BC651D06B0CC53B0F63BCE3C3E27D2604B",
     "6B17D1F2E12C4247F8BCE6E563A440F277037D812DEB33A0F4A13945D898C296",
     "4FE342E2FE1A7F9B8EE7EB4A7C0F9E162BCE33576B315ECECBB6406837BF51F5",
     "FFFFFFFF00000000FFFFFFFFFFFFFFFFBCE6FAADA7179E84F3B9CAC2FC632551", 1},
    {"1.3.132.0.34",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFF0000000000000000FFFFFFFF",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFEFFFFFFFF0000000000000000FFFFFFFC",
     "B3312FA7E23EE7E4988E056BE3F82D19181D9C6EFE8141120314088F5013875AC656398D8A2ED19D2A85C8EDD3EC2AEF",
     "AA87CA22BE8B05378EB1C71EF320AD746E1D3B628BA79B9859F741E082542A385502F25DBF55296C3A545E3872760AB7",
     "3617DE4A96262C6F5D9E98BF9292DC29F8F41DBD289A147CE9DA3113B5F0B8C00A60B1CE1D7E819D7A431D7C90EA0E5F",
     "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFC7634D81F4372DDF581A0DB248B0A77AECEC196ACCC52973", 1},
    {"1.3.132.0.35",
     "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFF",
     "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FFFFFFF"
     "FFFFFFFFFFFFFFFFFFFFFC",
     "0051953EB9618E1C9A1F929A21A0B68540EEA2DA725B99B315F3B8B489918EF109E156193951EC7E937B1652C0BD3BB1BF07357"
     "3DF88"
     "3D2C34F1EF451FD46B503F00",
     "00C6858E06B70404E9CD9E3ECB662395B4429C648139053FB521F828AF606B4D3DBAA14B5E77EFE75928FE1DC127A2FFA8DE334"
     "8B3C1"
     "856A429BF97E7E31C2E5BD66",
     "011839296A789A3BC0045C8A5FB42C7D1BD998F54449579B446817AFBD17273E662C97EE72995EF42640C550B9013FAD0761353"
     "C7086"
     "A272C24088BE94769FD16650",
     "01FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF"
     "FA51868783BF2F966B7FCC0148F709A5D03BB5C9B8899C47AEBB6FB71E91386409",
     1},
};

namespace {

// One engine per curve, built on first use (thread-safe static initialisation) and then only read.
template <int N, int Index> const Engine* Make() {
    static const CurveEngine<N> engine(Curves[Index]);
    return &engine;
}

} // namespace

const Engine* EngineFor(int32_t index) {
    static const Engine* (*const makers[CURVE_COUNT])() = {Make<4, 0>, Make<4, 1>, Make<4, 2>, Make<4, 3>,
                                                           Make<4, 4>, Make<4, 5>, Make<6, 6>, Make<9, 7>};
    return index >= 0 && index < CURVE_COUNT ? makers[index]() : nullptr;
}

bool LimbsFromBytes(uint64_t* out, int32_t limbs, const uint8_t* bytes, uint32_t count) {
    memset(out, 0, (size_t)limbs * 8);
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t position = count - 1 - i; // byte index from the least significant end
        if (position / 8 >= (uint32_t)limbs) {
            if (bytes[i]) return false;
            continue;
        }
        out[position / 8] |= (uint64_t)bytes[i] << (8 * (position % 8));
    }
    return true;
}

void LimbsToBytes(uint8_t* out, uint32_t count, const uint64_t* in, int32_t limbs) {
    for (uint32_t i = 0; i < count; i++) {
        const uint32_t position = count - 1 - i;
        out[i] = position / 8 < (uint32_t)limbs ? (uint8_t)(in[position / 8] >> (8 * (position % 8))) : 0;
    }
}

bool LimbsLess(const uint64_t* a, const uint64_t* b, int32_t limbs) {
    uint64_t borrow = 0;
    for (int32_t i = 0; i < limbs; i++) {
        const u128 s = (u128)a[i] - b[i] - borrow;
        borrow = (uint64_t)(s >> 64) & 1;
    }
    return borrow != 0;
}

bool LimbsIsZero(const uint64_t* a, int32_t limbs) {
    uint64_t x = 0;
    for (int32_t i = 0; i < limbs; i++) x |= a[i];
    return x == 0;
}

} // namespace ec_internal

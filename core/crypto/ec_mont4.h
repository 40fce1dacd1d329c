// Montgomery products on four 64-bit limbs (R = 2^256) in x86-64 assembly with mulx, adcx and
// adox: the P-256 prime's product, square, sum and difference, whose reduction steps need no
// multiplier as -p^-1 mod 2^64 is 1, and the product modulo any odd four-limb modulus. Every routine runs the
// same instructions whatever the values (the final subtraction is chosen by cmov). Operands are
// below the modulus and the result is too; the result may alias an operand.
#pragma once

#include <atomic>
#include <cstdint>

// The general product and square hold eleven or more values in registers at once, which an
// unoptimised build (a frame pointer, every operand's address loaded anew) cannot give them: such
// a build takes the portable limb code, which gives the same results.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__OPTIMIZE__)
#define EC_MONT4_ASM 1
#else
#define EC_MONT4_ASM 0
#endif

namespace ec_internal {

// True when the processor has the instructions below (BMI2 and ADX) and the build carries the
// routines; false off x86-64 and in an unoptimised build.
bool Mont4AsmAvailable();

// Whether the curve engines use the routines below: available and not turned off. Read on every
// product, so a plain flag rather than a call.
extern std::atomic<bool> Mont4AsmOn;

// Tests: true runs the portable limb code even where the routines are available.
void Mont4ForcePortable(bool on);

#if EC_MONT4_ASM

// The top limb of the P-256 prime; its low limbs are 2^64 - 1, 2^32 - 1 and 0.
inline constexpr uint64_t kMont4P256Top = 0xFFFFFFFF00000001ULL;
inline constexpr uint64_t kMont4P256Limb1 = 0x00000000FFFFFFFFULL;

// The four result limbs, lowest first; written after the operands are read, so r may alias them.
inline void Store4(uint64_t* r, uint64_t r0, uint64_t r1, uint64_t r2, uint64_t r3) {
    r[0] = r0;
    r[1] = r1;
    r[2] = r2;
    r[3] = r3;
}

// One multiplier row: (L0..L3, T) += a b[i] on two carry chains, the overflow into N (cleared
// first). The multiplier is in rdx.
#define MONT4_ROW(L0, L1, L2, L3, T, N)                                                               \
    "xorl %k[" #N "], %k[" #N "]\n\t"                                                                  \
    "mulxq 0(%[a]), %[t0], %[t1]\n\t"                                                                  \
    "adcxq %[t0], %[" #L0 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #L1 "]\n\t"                                                                      \
    "mulxq 8(%[a]), %[t0], %[t1]\n\t"                                                                  \
    "adcxq %[t0], %[" #L1 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #L2 "]\n\t"                                                                      \
    "mulxq 16(%[a]), %[t0], %[t1]\n\t"                                                                 \
    "adcxq %[t0], %[" #L2 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #L3 "]\n\t"                                                                      \
    "mulxq 24(%[a]), %[t0], %[t1]\n\t"                                                                 \
    "adcxq %[t0], %[" #L3 "]\n\t"                                                                      \
    "movl $0, %k[t0]\n\t"                                                                              \
    "adoxq %[t1], %[" #T "]\n\t"                                                                       \
    "adcxq %[t0], %[" #T "]\n\t"                                                                       \
    "adoxq %[t0], %[" #N "]\n\t"                                                                       \
    "adcxq %[t0], %[" #N "]\n\t"

// The first row, a b[0] into c0..c4 with c5 cleared.
#define MONT4_FIRST_ROW                                                                                \
    "movq 0(%[b]), %%rdx\n\t"                                                                          \
    "mulxq 0(%[a]), %[c0], %[c1]\n\t"                                                                  \
    "mulxq 8(%[a]), %[t0], %[c2]\n\t"                                                                  \
    "addq %[t0], %[c1]\n\t"                                                                            \
    "mulxq 16(%[a]), %[t0], %[c3]\n\t"                                                                 \
    "adcq %[t0], %[c2]\n\t"                                                                            \
    "mulxq 24(%[a]), %[t0], %[c4]\n\t"                                                                 \
    "adcq %[t0], %[c3]\n\t"                                                                            \
    "adcq $0, %[c4]\n\t"                                                                               \
    "xorl %k[c5], %k[c5]\n\t"

// A P-256 reduction step with m = M, the lowest limb: m p = m 2^256 - m 2^224 + m 2^192 + m 2^96
// - m clears it, so the value over 2^64 gains m 2^32 and m p3 2^128: (L0..L3, T) += m 2^32 +
// (m p3) 2^128 with p3 the prime's top limb. M is left free.
#define MONT4_P256_REDUCE(M, L0, L1, L2, L3, T)                                                        \
    "movq %[" #M "], %%rdx\n\t"                                                                        \
    "movq %[" #M "], %[t0]\n\t"                                                                        \
    "shlq $32, %[t0]\n\t"                                                                              \
    "shrq $32, %[" #M "]\n\t"                                                                          \
    "mulxq %[p3], %[t1], %[t2]\n\t"                                                                    \
    "addq %[t0], %[" #L0 "]\n\t"                                                                       \
    "adcq %[" #M "], %[" #L1 "]\n\t"                                                                   \
    "adcq %[t1], %[" #L2 "]\n\t"                                                                       \
    "adcq %[t2], %[" #L3 "]\n\t"                                                                       \
    "adcq $0, %[" #T "]\n\t"

// (c4, c5, c0, c1, top c2) below 2p becomes the result below p; c3 is free.
#define MONT4_P256_FINAL                                                                               \
    "movq %[c4], %[t0]\n\t"                                                                            \
    "movq %[c5], %[t1]\n\t"                                                                            \
    "movq %[c0], %[t2]\n\t"                                                                            \
    "movq %[c1], %%rdx\n\t"                                                                            \
    "movl $0xFFFFFFFF, %k[c3]\n\t"                                                                     \
    "subq $-1, %[c4]\n\t"                                                                              \
    "sbbq %[c3], %[c5]\n\t"                                                                            \
    "sbbq $0, %[c0]\n\t"                                                                               \
    "sbbq %[p3], %[c1]\n\t"                                                                            \
    "sbbq $0, %[c2]\n\t"                                                                               \
    "cmovcq %[t0], %[c4]\n\t"                                                                          \
    "cmovcq %[t1], %[c5]\n\t"                                                                          \
    "cmovcq %[t2], %[c0]\n\t"                                                                          \
    "cmovcq %%rdx, %[c1]\n\t"

// r = a b R^-1 mod p for the P-256 prime p.
__attribute__((always_inline)) inline void Mont4MulP256(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t c0, c1, c2, c3, c4, c5, t0, t1, t2;
    __asm__(MONT4_FIRST_ROW MONT4_P256_REDUCE(c0, c1, c2, c3, c4, c5)
            "movq 8(%[b]), %%rdx\n\t" MONT4_ROW(c1, c2, c3, c4, c5, c0) MONT4_P256_REDUCE(c1, c2, c3, c4, c5, c0)
            "movq 16(%[b]), %%rdx\n\t" MONT4_ROW(c2, c3, c4, c5, c0, c1) MONT4_P256_REDUCE(c2, c3, c4, c5, c0, c1)
            "movq 24(%[b]), %%rdx\n\t" MONT4_ROW(c3, c4, c5, c0, c1, c2) MONT4_P256_REDUCE(c3, c4, c5, c0, c1, c2)
            MONT4_P256_FINAL
            : [c0] "=&r"(c0), [c1] "=&r"(c1), [c2] "=&r"(c2), [c3] "=&r"(c3), [c4] "=&r"(c4), [c5] "=&r"(c5),
              [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2)
            : [a] "r"(a), [b] "r"(b), [p3] "m"(kMont4P256Top), "m"(*(const uint64_t(*)[4])a),
              "m"(*(const uint64_t(*)[4])b)
            : "rdx", "cc");
    Store4(r, c4, c5, c0, c1);
}

// r = a + b mod p for the P-256 prime: the sum, and the sum less p unless that borrows.
inline void Mont4AddP256(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t s0, s1, s2, s3, t0, t1, t2, t3, c;
    __asm__("xorl %k[c], %k[c]\n\t"
            "movq 0(%[a]), %[s0]\n\t"
            "movq 8(%[a]), %[s1]\n\t"
            "movq 16(%[a]), %[s2]\n\t"
            "movq 24(%[a]), %[s3]\n\t"
            "addq 0(%[b]), %[s0]\n\t"
            "adcq 8(%[b]), %[s1]\n\t"
            "adcq 16(%[b]), %[s2]\n\t"
            "adcq 24(%[b]), %[s3]\n\t"
            "adcq $0, %[c]\n\t"
            "movq %[s0], %[t0]\n\t"
            "movq %[s1], %[t1]\n\t"
            "movq %[s2], %[t2]\n\t"
            "movq %[s3], %[t3]\n\t"
            "subq $-1, %[t0]\n\t"
            "sbbq %[p1], %[t1]\n\t"
            "sbbq $0, %[t2]\n\t"
            "sbbq %[p3], %[t3]\n\t"
            "sbbq $0, %[c]\n\t"
            "cmovcq %[s0], %[t0]\n\t"
            "cmovcq %[s1], %[t1]\n\t"
            "cmovcq %[s2], %[t2]\n\t"
            "cmovcq %[s3], %[t3]\n\t"
            : [s0] "=&r"(s0), [s1] "=&r"(s1), [s2] "=&r"(s2), [s3] "=&r"(s3), [t0] "=&r"(t0), [t1] "=&r"(t1),
              [t2] "=&r"(t2), [t3] "=&r"(t3), [c] "=&r"(c)
            : [a] "r"(a), [b] "r"(b), [p1] "m"(kMont4P256Limb1), [p3] "m"(kMont4P256Top),
              "m"(*(const uint64_t(*)[4])a), "m"(*(const uint64_t(*)[4])b)
            : "cc");
    Store4(r, t0, t1, t2, t3);
}

// r = a - b mod p for the P-256 prime: the difference, with p added back under the borrow's mask.
inline void Mont4SubP256(uint64_t* r, const uint64_t* a, const uint64_t* b) {
    uint64_t s0, s1, s2, s3, m, t1, t3;
    __asm__("movq 0(%[a]), %[s0]\n\t"
            "movq 8(%[a]), %[s1]\n\t"
            "movq 16(%[a]), %[s2]\n\t"
            "movq 24(%[a]), %[s3]\n\t"
            "subq 0(%[b]), %[s0]\n\t"
            "sbbq 8(%[b]), %[s1]\n\t"
            "sbbq 16(%[b]), %[s2]\n\t"
            "sbbq 24(%[b]), %[s3]\n\t"
            "sbbq %[m], %[m]\n\t"
            "movl %k[m], %k[t1]\n\t"
            "movq %[p3], %[t3]\n\t"
            "andq %[m], %[t3]\n\t"
            "addq %[m], %[s0]\n\t"
            "adcq %[t1], %[s1]\n\t"
            "adcq $0, %[s2]\n\t"
            "adcq %[t3], %[s3]\n\t"
            : [s0] "=&r"(s0), [s1] "=&r"(s1), [s2] "=&r"(s2), [s3] "=&r"(s3), [m] "=&r"(m), [t1] "=&r"(t1),
              [t3] "=&r"(t3)
            : [a] "r"(a), [b] "r"(b), [p3] "m"(kMont4P256Top), "m"(*(const uint64_t(*)[4])a),
              "m"(*(const uint64_t(*)[4])b)
            : "cc");
    Store4(r, s0, s1, s2, s3);
}

// A reduction step of the square: m = t[I] clears its limb and adds into the four above, the
// carry of the step before (as 0 or -1 in t[I - 1]) riding on the top word of m p3, which has
// room for it. The carry out is left in t[I] as 0 or -1.
#define MONT4_P256_SQR_REDUCE(I, J, K, L, M, PREV)                                                     \
    "movq %[t" #I "], %%rdx\n\t"                                                                       \
    "movq %[t" #I "], %[x]\n\t"                                                                        \
    "shlq $32, %[x]\n\t"                                                                               \
    "shrq $32, %[t" #I "]\n\t"                                                                         \
    "mulxq %[p3], %[y], %[a]\n\t" PREV                                                                 \
    "addq %[x], %[t" #J "]\n\t"                                                                        \
    "adcq %[t" #I "], %[t" #K "]\n\t"                                                                  \
    "adcq %[y], %[t" #L "]\n\t"                                                                        \
    "adcq %[a], %[t" #M "]\n\t"                                                                        \
    "sbbq %[t" #I "], %[t" #I "]\n\t"

// The square of a into t0..t7: the cross products once and doubled, then the squares on the
// diagonal.
#define MONT4_SQUARE \
    "movq 0(%[a]), %%rdx\n\t"                                                                           \
    "mulxq 8(%[a]), %[t1], %[t2]\n\t"                                                                   \
    "mulxq 16(%[a]), %[x], %[t3]\n\t"                                                                   \
    "addq %[x], %[t2]\n\t"                                                                              \
    "mulxq 24(%[a]), %[x], %[t4]\n\t"                                                                   \
    "adcq %[x], %[t3]\n\t"                                                                              \
    "adcq $0, %[t4]\n\t"                                                                                \
    "movq 8(%[a]), %%rdx\n\t"                                                                           \
    "mulxq 16(%[a]), %[x], %[y]\n\t"                                                                    \
    "mulxq 24(%[a]), %[t0], %[t5]\n\t"                                                                  \
    "addq %[t0], %[y]\n\t"                                                                              \
    "adcq $0, %[t5]\n\t"                                                                                \
    "addq %[x], %[t3]\n\t"                                                                              \
    "adcq %[y], %[t4]\n\t"                                                                              \
    "adcq $0, %[t5]\n\t"                                                                                \
    "movq 16(%[a]), %%rdx\n\t"                                                                          \
    "mulxq 24(%[a]), %[x], %[t6]\n\t"                                                                   \
    "addq %[x], %[t5]\n\t"                                                                              \
    "adcq $0, %[t6]\n\t"                                                                                \
    "xorl %k[t7], %k[t7]\n\t"                                                                           \
    "addq %[t1], %[t1]\n\t"                                                                             \
    "adcq %[t2], %[t2]\n\t"                                                                             \
    "adcq %[t3], %[t3]\n\t"                                                                             \
    "adcq %[t4], %[t4]\n\t"                                                                             \
    "adcq %[t5], %[t5]\n\t"                                                                             \
    "adcq %[t6], %[t6]\n\t"                                                                             \
    "adcq $0, %[t7]\n\t"                                                                                \
    "movq 0(%[a]), %%rdx\n\t"                                                                           \
    "mulxq %%rdx, %[t0], %[x]\n\t"                                                                      \
    "addq %[x], %[t1]\n\t"                                                                              \
    "movq 8(%[a]), %%rdx\n\t"                                                                           \
    "mulxq %%rdx, %[x], %[y]\n\t"                                                                       \
    "adcq %[x], %[t2]\n\t"                                                                              \
    "adcq %[y], %[t3]\n\t"                                                                              \
    "movq 16(%[a]), %%rdx\n\t"                                                                          \
    "mulxq %%rdx, %[x], %[y]\n\t"                                                                       \
    "adcq %[x], %[t4]\n\t"                                                                              \
    "adcq %[y], %[t5]\n\t"                                                                              \
    "movq 24(%[a]), %%rdx\n\t"                                                                          \
    "mulxq %%rdx, %[x], %[y]\n\t"                                                                       \
    "adcq %[x], %[t6]\n\t"                                                                              \
    "adcq %[y], %[t7]\n\t"

// The square's result (t4..t7) copied aside before the modulus is subtracted, and taken back
// when the subtraction borrows; the outputs both squares name.
#define MONT4_SQUARE_SAVE                                                                              \
    "movq %[t4], %[x]\n\t"                                                                             \
    "movq %[t5], %[y]\n\t"                                                                             \
    "movq %[t6], %[t0]\n\t"                                                                            \
    "movq %[t7], %%rdx\n\t"
#define MONT4_SQUARE_KEEP                                                                              \
    "cmovcq %[x], %[t4]\n\t"                                                                           \
    "cmovcq %[y], %[t5]\n\t"                                                                           \
    "cmovcq %[t0], %[t6]\n\t"                                                                          \
    "cmovcq %%rdx, %[t7]\n\t"
#define MONT4_SQUARE_OUTPUTS                                                                           \
    [t0] "=&r"(t0), [t1] "=&r"(t1), [t2] "=&r"(t2), [t3] "=&r"(t3), [t4] "=&r"(t4), [t5] "=&r"(t5),     \
        [t6] "=&r"(t6), [t7] "=&r"(t7), [x] "=&r"(x), [y] "=&r"(y), [a] "+r"(ap)

// r = a^2 R^-1 mod p for the P-256 prime: the cross products once and doubled, the squares on
// the diagonal, then four reduction steps over the low half.
__attribute__((always_inline)) inline void Mont4SqrP256(uint64_t* r, const uint64_t* a) {
    uint64_t t0, t1, t2, t3, t4, t5, t6, t7, x, y;
    const uint64_t* ap = a;
    __asm__(MONT4_SQUARE
            // The pointer is spent: its register serves the reduction.
            MONT4_P256_SQR_REDUCE(0, 1, 2, 3, 4, "")
            MONT4_P256_SQR_REDUCE(1, 2, 3, 4, 5, "subq %[t0], %[a]\n\t")
            MONT4_P256_SQR_REDUCE(2, 3, 4, 5, 6, "subq %[t1], %[a]\n\t")
            MONT4_P256_SQR_REDUCE(3, 4, 5, 6, 7, "subq %[t2], %[a]\n\t")
            // (t4..t7) and the carry in t3 (0 or -1) is below 2p.
            MONT4_SQUARE_SAVE
            "negq %[t3]\n\t"
            "movl $0xFFFFFFFF, %k[t1]\n\t"
            "subq $-1, %[t4]\n\t"
            "sbbq %[t1], %[t5]\n\t"
            "sbbq $0, %[t6]\n\t"
            "sbbq %[p3], %[t7]\n\t"
            "sbbq $0, %[t3]\n\t"
            MONT4_SQUARE_KEEP
            : MONT4_SQUARE_OUTPUTS
            : [p3] "m"(kMont4P256Top), "m"(*(const uint64_t(*)[4])a)
            : "rdx", "cc");
    Store4(r, t4, t5, t6, t7);
}

// A general reduction step: m = L0 minv clears L0 as m M is added; (L0..L3, T, N) += m M.
#define MONT4_REDUCE(L0, L1, L2, L3, T, N)                                                             \
    "movq %[" #L0 "], %%rdx\n\t"                                                                       \
    "imulq %[minv], %%rdx\n\t"                                                                         \
    "xorl %k[t0], %k[t0]\n\t"                                                                          \
    "mulxq 0(%[m]), %[t0], %[t1]\n\t"                                                                  \
    "adcxq %[t0], %[" #L0 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #L1 "]\n\t"                                                                      \
    "mulxq 8(%[m]), %[t0], %[t1]\n\t"                                                                  \
    "adcxq %[t0], %[" #L1 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #L2 "]\n\t"                                                                      \
    "mulxq 16(%[m]), %[t0], %[t1]\n\t"                                                                 \
    "adcxq %[t0], %[" #L2 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #L3 "]\n\t"                                                                      \
    "mulxq 24(%[m]), %[t0], %[t1]\n\t"                                                                 \
    "adcxq %[t0], %[" #L3 "]\n\t"                                                                      \
    "adoxq %[t1], %[" #T "]\n\t"                                                                       \
    "movl $0, %k[t0]\n\t"                                                                              \
    "adcxq %[t0], %[" #T "]\n\t"                                                                       \
    "adoxq %[t0], %[" #N "]\n\t"                                                                       \
    "adcxq %[t0], %[" #N "]\n\t"

// r = a b R^-1 mod M for an odd M with minv = -M^-1 mod 2^64.
inline void Mont4Mul(uint64_t* r, const uint64_t* a, const uint64_t* b, const uint64_t* M, uint64_t minv) {
    uint64_t c0, c1, c2, c3, c4, c5, t0, t1;
    __asm__(MONT4_FIRST_ROW MONT4_REDUCE(c0, c1, c2, c3, c4, c5)
            "movq 8(%[b]), %%rdx\n\t" MONT4_ROW(c1, c2, c3, c4, c5, c0) MONT4_REDUCE(c1, c2, c3, c4, c5, c0)
            "movq 16(%[b]), %%rdx\n\t" MONT4_ROW(c2, c3, c4, c5, c0, c1) MONT4_REDUCE(c2, c3, c4, c5, c0, c1)
            "movq 24(%[b]), %%rdx\n\t" MONT4_ROW(c3, c4, c5, c0, c1, c2) MONT4_REDUCE(c3, c4, c5, c0, c1, c2)
            // (c4, c5, c0, c1, top c2) is below 2M; c3 is free.
            "movq %[c4], %[t0]\n\t"
            "movq %[c5], %[t1]\n\t"
            "movq %[c0], %[c3]\n\t"
            "movq %[c1], %%rdx\n\t"
            "subq 0(%[m]), %[c4]\n\t"
            "sbbq 8(%[m]), %[c5]\n\t"
            "sbbq 16(%[m]), %[c0]\n\t"
            "sbbq 24(%[m]), %[c1]\n\t"
            "sbbq $0, %[c2]\n\t"
            "cmovcq %[t0], %[c4]\n\t"
            "cmovcq %[t1], %[c5]\n\t"
            "cmovcq %[c3], %[c0]\n\t"
            "cmovcq %%rdx, %[c1]\n\t"
            : [c0] "=&r"(c0), [c1] "=&r"(c1), [c2] "=&r"(c2), [c3] "=&r"(c3), [c4] "=&r"(c4), [c5] "=&r"(c5),
              [t0] "=&r"(t0), [t1] "=&r"(t1)
            : [a] "r"(a), [b] "r"(b), [m] "r"(M), [minv] "rm"(minv), "m"(*(const uint64_t(*)[4])a),
              "m"(*(const uint64_t(*)[4])b), "m"(*(const uint64_t(*)[4])M)
            : "rdx", "cc");
    Store4(r, c4, c5, c0, c1);
}

// A general reduction step of the square: m = t[I] minv clears t[I] as m M is added to
// t[I..I+4]; the carries of the step before (0 to 2, in c) join at t[I+4] and this step's
// leave in c for t[I+5].
#define MONT4_SQR_REDUCE(I, J, K, L, M)                                                                \
    "movq %[t" #I "], %%rdx\n\t"                                                                       \
    "imulq %[minv], %%rdx\n\t"                                                                         \
    "xorl %k[x], %k[x]\n\t"                                                                            \
    "mulxq 0(%[m]), %[x], %[y]\n\t"                                                                    \
    "adcxq %[x], %[t" #I "]\n\t"                                                                       \
    "adoxq %[y], %[t" #J "]\n\t"                                                                       \
    "mulxq 8(%[m]), %[x], %[y]\n\t"                                                                    \
    "adcxq %[x], %[t" #J "]\n\t"                                                                       \
    "adoxq %[y], %[t" #K "]\n\t"                                                                       \
    "mulxq 16(%[m]), %[x], %[y]\n\t"                                                                   \
    "adcxq %[x], %[t" #K "]\n\t"                                                                       \
    "adoxq %[y], %[t" #L "]\n\t"                                                                       \
    "mulxq 24(%[m]), %[x], %[y]\n\t"                                                                   \
    "adcxq %[x], %[t" #L "]\n\t"                                                                       \
    "adoxq %[y], %[t" #M "]\n\t"                                                                       \
    "adcxq %[a], %[t" #M "]\n\t"                                                                       \
    "movl $0, %k[x]\n\t"                                                                               \
    "movl $0, %k[a]\n\t"                                                                               \
    "adcxq %[x], %[a]\n\t"                                                                             \
    "adoxq %[x], %[a]\n\t"

// r = a^2 R^-1 mod M for an odd M with minv = -M^-1 mod 2^64: the square, then four reduction
// steps over its low half.
inline void Mont4Sqr(uint64_t* r, const uint64_t* a, const uint64_t* M, uint64_t minv) {
    uint64_t t0, t1, t2, t3, t4, t5, t6, t7, x, y;
    const uint64_t* ap = a;
    __asm__(MONT4_SQUARE
            // The pointer is spent: its register holds the carries between steps.
            "xorl %k[a], %k[a]\n\t"
            MONT4_SQR_REDUCE(0, 1, 2, 3, 4)
            MONT4_SQR_REDUCE(1, 2, 3, 4, 5)
            MONT4_SQR_REDUCE(2, 3, 4, 5, 6)
            MONT4_SQR_REDUCE(3, 4, 5, 6, 7)
            // (t4..t7) and the carry in a is below 2M.
            MONT4_SQUARE_SAVE
            "subq 0(%[m]), %[t4]\n\t"
            "sbbq 8(%[m]), %[t5]\n\t"
            "sbbq 16(%[m]), %[t6]\n\t"
            "sbbq 24(%[m]), %[t7]\n\t"
            "sbbq $0, %[a]\n\t"
            MONT4_SQUARE_KEEP
            : MONT4_SQUARE_OUTPUTS
            : [m] "r"(M), [minv] "m"(minv), "m"(*(const uint64_t(*)[4])a), "m"(*(const uint64_t(*)[4])M)
            : "rdx", "cc");
    Store4(r, t4, t5, t6, t7);
}

#undef MONT4_ROW
#undef MONT4_FIRST_ROW
#undef MONT4_P256_REDUCE
#undef MONT4_P256_FINAL
#undef MONT4_P256_SQR_REDUCE
#undef MONT4_REDUCE
#undef MONT4_SQUARE
#undef MONT4_SQUARE_SAVE
#undef MONT4_SQUARE_KEEP
#undef MONT4_SQUARE_OUTPUTS
#undef MONT4_SQR_REDUCE

#endif

} // namespace ec_internal

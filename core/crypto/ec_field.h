// The fixed-size curve engine under EC: field and scalar elements as 64-bit limbs in Montgomery
// form, constant-time scalar multiplication for secrets and a fast double multiplication for
// signature checks. Values cross this interface as little-endian limb arrays in normal form.
#pragma once

#include <cstdint>

namespace ec_internal {

enum : int32_t { MAX_LIMBS = 9 };

// Domain parameters as upper-case hexadecimal texts.
struct CurveParams {
    const char* Oid;
    const char* P;
    const char* A;
    const char* B;
    const char* Gx;
    const char* Gy;
    const char* N;
    uint32_t SqrtMethod;
};

enum : int32_t { CURVE_COUNT = 8 };
extern const CurveParams Curves[CURVE_COUNT];

// How the complete addition is computed: by a's shape, or (tests) the general formula.
enum class Formula : int32_t { ByCurve, General };

struct Engine {
    virtual ~Engine() = default;
    int32_t Limbs = 0;
    int32_t FieldBytes = 0;
    int32_t OrderBytes = 0;
    int32_t OrderBits = 0;
    uint64_t Prime[MAX_LIMBS] = {};
    uint64_t Order[MAX_LIMBS] = {};

    // x, y below p.
    virtual bool OnCurve(const uint64_t* x, const uint64_t* y) const = 0;
    // (rx, ry) = k P for k below 2^OrderBits, without branches or table look-ups that depend on
    // k or P; P null stands for G. P must be on the curve. False (outputs zero) for infinity.
    virtual bool MulSecret(uint64_t* rx, uint64_t* ry, const uint64_t* px, const uint64_t* py,
                           const uint64_t* k, Formula formula = Formula::ByCurve) const = 0;
    // rx = x of u1 G + u2 Q for public u1, u2 below n and Q on the curve; false for infinity.
    virtual bool MulAddPublic(uint64_t* rx, uint64_t* ry, const uint64_t* u1, const uint64_t* u2,
                              const uint64_t* qx, const uint64_t* qy) const = 0;
    // True when the x of u1 G + u2 Q, reduced modulo n, equals r (below n); false for infinity.
    virtual bool MulAddPublicMatchesX(const uint64_t* u1, const uint64_t* u2, const uint64_t* qx,
                                      const uint64_t* qy, const uint64_t* r) const = 0;
    // Modulo n, operands below n, constant time.
    virtual void ScalarMul(uint64_t* r, const uint64_t* a, const uint64_t* b) const = 0;
    virtual void ScalarAdd(uint64_t* r, const uint64_t* a, const uint64_t* b) const = 0;
    // a^(n - 2): the inverse for non-zero a (n is prime), 0 for 0.
    virtual void ScalarInverse(uint64_t* r, const uint64_t* a) const = 0;
    // The same for a public a, in time that depends on a; 0 for a outside 1 .. n - 1.
    virtual void ScalarInversePublic(uint64_t* r, const uint64_t* a) const = 0;
};

// The engine of curve index (0 .. CURVE_COUNT - 1), built on first use and kept for the process.
const Engine* EngineFor(int32_t index);

// Limb helpers shared with the BigInt side.
// Big-endian bytes (at most 8 x MAX_LIMBS) into limbs limbs; false when the value does not fit.
bool LimbsFromBytes(uint64_t* out, int32_t limbs, const uint8_t* bytes, uint32_t count);
// The low `count` bytes of the value, big-endian, right-aligned.
void LimbsToBytes(uint8_t* out, uint32_t count, const uint64_t* in, int32_t limbs);
// a < b as unsigned numbers, constant time.
bool LimbsLess(const uint64_t* a, const uint64_t* b, int32_t limbs);
bool LimbsIsZero(const uint64_t* a, int32_t limbs);

} // namespace ec_internal

struct BigInt;

namespace ec_internal {
// A non-negative BigInt into limbs limbs; false when negative or too long.
bool BigIntToLimbs(uint64_t* out, int32_t limbs, const BigInt* a);
void BigIntFromLimbs(BigInt* r, const uint64_t* in, int32_t limbs);
} // namespace ec_internal

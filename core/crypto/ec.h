// Prime-field short-Weierstrass curves chosen by OID, with affine points over BigInt for callers
// and a fixed-size engine (ec_field.h) beneath for the scalar multiplications.
#pragma once

#include <cstdint>

#include "core/crypto/big_integer.h"
#include "core/runtime/class.h"

enum : uint32_t { EC_CLASS_ID = 0x7D400FBF };

// OID texts of 24 characters or more are refused; the name field holds the terminator too.
enum : uint32_t { EC_CURVE_NAME_SIZE = 24 };

// A plain record, not an object: Infinity 1 is the point at infinity, 0 the finite point (X, Y).
struct ECPoint {
    BigInt* X;
    BigInt* Y;
    uint32_t Infinity;
};

namespace ec_internal {
struct Engine;
}

struct EC {
    Class Header;
    char CurveName[EC_CURVE_NAME_SIZE];
    BigInt* P;
    // Held as a value in 0 .. p - 1 (p - 3 on the NIST prime curves).
    BigInt* A;
    BigInt* B;
    ECPoint G;
    BigInt* N;
    // 1: p = 3 (mod 4), roots by exponentiation; 2 and 3: points are not decompressed.
    uint32_t SqrtMethod;
    // The fixed-size arithmetic of the selected curve; null while empty.
    const ec_internal::Engine* Engine;
};

int64_t EC_Create(EC** handle);
int64_t EC_Delete(EC** handle);
int64_t EC_AddRef(EC* curve);
int64_t EC_Release(EC** handle);
int64_t EC_GetInstanceId(EC* curve, char* buffer, int32_t size);

// 1 when the OID names a supported curve; a refused OID leaves the curve as it was.
int64_t EC_InitParams(EC* curve, const char* oid);
int64_t EC_Reset(EC* curve);
BigInt* EC_GetP(EC* curve);
BigInt* EC_GetA(EC* curve);
BigInt* EC_GetB(EC* curve);
BigInt* EC_GetN(EC* curve);
ECPoint* EC_GetG(EC* curve);
const char* EC_GetCurveName(EC* curve);

int64_t ECPoint_Init(ECPoint* point);
int64_t ECPoint_Reset(ECPoint* point);
int64_t ECPoint_Release(ECPoint* point);
int64_t ECPoint_Equal(const ECPoint* p, const ECPoint* q);

// SEC 1 octet forms: 04 x y with both coordinates of the field's byte length (or, where it is
// longer, the order's), 02/03 x with x of the field's byte length. The point must validate.
int64_t ECPoint_ImportBinary(ECPoint* point, EC* curve, const uint8_t* bytes, uint32_t count);
// y from x with the requested parity; 0 when the curve has no roots by exponentiation or x has
// no point on the curve.
int64_t EC_DecompressPoint(EC* curve, ECPoint* point, uint32_t odd);
// 1 for a finite point with 0 <= x, y < p on the curve; never for the point at infinity.
int64_t EC_ValidatePoint(EC* curve, const ECPoint* point);

// R = P + Q and R = 2P, affine. R is distinct from P and Q. 0 when an inverse does not exist
// (operands off the curve).
int64_t EC_PointAdd(EC* curve, ECPoint* r, const ECPoint* p, const ECPoint* q);
// The same with four caller temporaries.
int64_t EC_PointAddInternal(BigInt* temp[4], EC* curve, ECPoint* r, const ECPoint* p, const ECPoint* q);
// R = 2P with five caller temporaries.
int64_t EC_PointDoubling(BigInt* temp[5], EC* curve, ECPoint* r, const ECPoint* p);
// R = k P (magnitude of k). A valid P runs on the engine without secret-dependent branches.
int64_t EC_PointMultiply(EC* curve, ECPoint* r, const ECPoint* p, const BigInt* k);
// value = value^((p + 1) / 4) mod p.
int64_t ModuloSqrtLegendre3mod4(BigInt* value, const BigInt* p);

int64_t EC_PointAddForTests(EC* curve, BigInt* rx, BigInt* ry, BigInt* px, BigInt* py, BigInt* qx,
                            BigInt* qy);
int64_t EC_PointDoublingForTests(EC* curve, BigInt* rx, BigInt* ry, BigInt* px, BigInt* py);

// Elliptic curves by OID: the curve object, point encodings and validation, the affine BigInt
// point operations, and scalar multiplication handed to the fixed-size engine.
#include "core/crypto/ec.h"

#include <cstring>

#include "core/crypto/ec_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

using ec_internal::Engine;

namespace {

// A BigInt in this frame's storage.
class Num {
  public:
    Num() : value_(BigInt_Stack(storage_)) {}
    ~Num() { BigInt_Unstack(value_); }
    Num(const Num&) = delete;
    Num& operator=(const Num&) = delete;
    operator BigInt*() const { return value_; }

  private:
    alignas(BigInt) unsigned char storage_[sizeof(BigInt)];
    BigInt* value_;
};

int64_t DeleteHandle(void** handle) {
    return EC_Delete(reinterpret_cast<EC**>(handle));
}

void CopyPoint(ECPoint* r, const ECPoint* p) {
    BigInt_Copy(r->X, p->X);
    BigInt_Copy(r->Y, p->Y);
    r->Infinity = p->Infinity;
}

void SetInfinity(ECPoint* r) {
    BigInt_Reset(r->X);
    BigInt_Reset(r->Y);
    r->Infinity = 1;
}

// r = a mod p for a non-negative a; 0 for a negative one.
bool Reduce(BigInt* r, const BigInt* a, const BigInt* p) {
    if (BigInt_GetSign(a) < 0) return false;
    return BigInt_Modulo(r, a, p) == 1;
}

// r = (a - b) mod p for a, b in 0 .. p - 1.
void SubMod(BigInt* r, const BigInt* a, const BigInt* b, const BigInt* p) {
    BigInt_Subtract(r, a, b);
    if (BigInt_GetSign(r) < 0) BigInt_Add(r, r, p);
}

// Finishes an affine addition or doubling: x3 = l^2 - x1 - x2, y3 = l (x1 - x3) - y1.
bool Finish(EC* curve, ECPoint* r, const BigInt* l, const BigInt* x1, const BigInt* y1, const BigInt* x2) {
    Num t, x3, y3;
    BigInt_ModuloSquare(t, l, curve->P);
    SubMod(x3, t, x1, curve->P);
    SubMod(x3, x3, x2, curve->P);
    SubMod(t, x1, x3, curve->P);
    BigInt_ModuloMultiply(y3, l, t, curve->P);
    SubMod(y3, y3, y1, curve->P);
    BigInt_Copy(r->X, x3);
    BigInt_Copy(r->Y, y3);
    r->Infinity = 0;
    return true;
}

bool Ready(EC* curve) {
    return curve->Engine != nullptr;
}

} // namespace

namespace ec_internal {

bool BigIntToLimbs(uint64_t* out, int32_t limbs, const BigInt* a) {
    memset(out, 0, (size_t)limbs * 8);
    if (a->Sign && a->Length) return false;
    if (a->Length > 2 * limbs) return false;
    for (int32_t i = 0; i < a->Length; i++) out[i / 2] |= (uint64_t)a->Words[i] << (32 * (i % 2));
    return true;
}

void BigIntFromLimbs(BigInt* r, const uint64_t* in, int32_t limbs) {
    uint8_t bytes[8 * MAX_LIMBS];
    LimbsToBytes(bytes, (uint32_t)limbs * 8, in, limbs);
    BigInt_ImportBinary(r, bytes, (uint32_t)limbs * 8);
    memset(bytes, 0, sizeof(bytes));
}

} // namespace ec_internal

int64_t EC_Create(EC** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    EC* curve = static_cast<EC*>(Memory_AllocZero(sizeof(EC)));
    curve->Header.ClassId = EC_CLASS_ID;
    curve->Header.RefCount = 1;
    curve->Header.Delete = DeleteHandle;
    BigInt_Create(&curve->P);
    BigInt_Create(&curve->A);
    BigInt_Create(&curve->B);
    BigInt_Create(&curve->N);
    ECPoint_Init(&curve->G);
    *handle = curve;
    return 1;
}

int64_t EC_Delete(EC** handle) {
    ASSERT_POINTER(handle);
    EC* curve = *handle;
    CLASS_CHECK(curve, EC_CLASS_ID);
    EC_Reset(curve);
    BigInt_Delete(&curve->P);
    BigInt_Delete(&curve->A);
    BigInt_Delete(&curve->B);
    BigInt_Delete(&curve->N);
    ECPoint_Release(&curve->G);
    memset(curve, 0, sizeof(EC));
    Memory_Free(curve, sizeof(EC));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(EC, EC, EC_CLASS_ID)

int64_t EC_InitParams(EC* curve, const char* oid) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    ASSERT_POINTER(oid);
    if (strnlen(oid, EC_CURVE_NAME_SIZE) >= EC_CURVE_NAME_SIZE) return 0;
    int32_t index = -1;
    for (int32_t i = 0; i < ec_internal::CURVE_COUNT; i++)
        if (strcmp(oid, ec_internal::Curves[i].Oid) == 0) index = i;
    if (index < 0) return 0;
    const ec_internal::CurveParams& c = ec_internal::Curves[index];
    memcpy(curve->CurveName, oid, strlen(oid) + 1);
    curve->SqrtMethod = c.SqrtMethod;
    curve->Engine = nullptr;
    if (!BigInt_ImportHex(curve->P, c.P) || !BigInt_ImportHex(curve->A, c.A) ||
        !BigInt_ImportHex(curve->B, c.B) || !BigInt_ImportHex(curve->G.X, c.Gx) ||
        !BigInt_ImportHex(curve->G.Y, c.Gy) || !BigInt_ImportHex(curve->N, c.N))
        return 0;
    curve->G.Infinity = 0;
    curve->Engine = ec_internal::EngineFor(index);
    return 1;
}

int64_t EC_Reset(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    curve->CurveName[0] = 0;
    BigInt_Reset(curve->P);
    BigInt_Reset(curve->A);
    BigInt_Reset(curve->B);
    BigInt_Reset(curve->N);
    ECPoint_Reset(&curve->G);
    curve->Engine = nullptr;
    return 1;
}

BigInt* EC_GetP(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    return curve->P;
}

BigInt* EC_GetA(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    return curve->A;
}

BigInt* EC_GetB(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    return curve->B;
}

BigInt* EC_GetN(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    return curve->N;
}

ECPoint* EC_GetG(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    return &curve->G;
}

const char* EC_GetCurveName(EC* curve) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    return curve->CurveName;
}

int64_t ECPoint_Init(ECPoint* point) {
    ASSERT_POINTER(point);
    BigInt_Create(&point->X);
    BigInt_Create(&point->Y);
    point->Infinity = 0;
    return 1;
}

int64_t ECPoint_Reset(ECPoint* point) {
    ASSERT_POINTER(point);
    BigInt_Reset(point->X);
    BigInt_Reset(point->Y);
    point->Infinity = 0;
    return 1;
}

int64_t ECPoint_Release(ECPoint* point) {
    ASSERT_POINTER(point);
    if (point->X) BigInt_Delete(&point->X);
    if (point->Y) BigInt_Delete(&point->Y);
    point->Infinity = 0;
    return 1;
}

int64_t ECPoint_Equal(const ECPoint* p, const ECPoint* q) {
    ASSERT_POINTER(p);
    ASSERT_POINTER(q);
    if (p->Infinity || q->Infinity) return p->Infinity && q->Infinity;
    return BigInt_Equal(p->X, q->X) && BigInt_Equal(p->Y, q->Y) &&
           BigInt_GetSign(p->X) == BigInt_GetSign(q->X) && BigInt_GetSign(p->Y) == BigInt_GetSign(q->Y);
}

int64_t ECPoint_ImportBinary(ECPoint* point, EC* curve, const uint8_t* bytes, uint32_t count) {
    ASSERT_POINTER(point);
    CLASS_CHECK(curve, EC_CLASS_ID);
    if (!bytes || count < 3 || !Ready(curve)) return 0;
    ECPoint_Reset(point);
    const uint32_t fieldBytes = (uint32_t)curve->Engine->FieldBytes;
    const uint32_t orderBytes = (uint32_t)curve->Engine->OrderBytes;
    int64_t ok = 0;
    if (bytes[0] == 0x04) {
        // Both coordinates of one length, the field's or (secp224k1) the order's: a length that
        // splits unevenly leaves a byte of neither coordinate.
        const uint32_t length = (count - 1) / 2;
        if ((count - 1) % 2 == 0 && (length == fieldBytes || length == orderBytes))
            ok = BigInt_ImportBinary(point->X, bytes + 1, length) &&
                 BigInt_ImportBinary(point->Y, bytes + 1 + length, length);
    } else if (bytes[0] == 0x02 || bytes[0] == 0x03) {
        ok = count - 1 == fieldBytes && BigInt_ImportBinary(point->X, bytes + 1, count - 1) &&
             EC_DecompressPoint(curve, point, bytes[0] & 1);
    }
    ok = ok && EC_ValidatePoint(curve, point);
    if (!ok) ECPoint_Reset(point);
    return ok;
}

int64_t ModuloSqrtLegendre3mod4(BigInt* value, const BigInt* p) {
    CLASS_CHECK(value, BIGINT_CLASS_ID);
    CLASS_CHECK(p, BIGINT_CLASS_ID);
    Montgomery* context = nullptr;
    if (!BigInt_MontgomeryCreate(&context, p)) return 0;
    Num e, one, root;
    BigInt_SetWord(one, 1);
    BigInt_Add(e, p, one);
    BigInt_ShiftRight(e, e, 2);
    const int64_t ok = BigInt_MontgomeryPower(root, value, e, context);
    BigInt_MontgomeryDestroy(&context);
    if (ok) BigInt_Copy(value, root);
    return ok;
}

int64_t EC_DecompressPoint(EC* curve, ECPoint* point, uint32_t odd) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    ASSERT_POINTER(point);
    if (curve->SqrtMethod != 1 || !Ready(curve)) return 0;
    if (BigInt_GetSign(point->X) < 0 || BigInt_Compare(point->X, curve->P) >= 0) return 0;
    Num rhs, t, y;
    BigInt_ModuloSquare(t, point->X, curve->P);
    BigInt_Add(t, t, curve->A);
    BigInt_ModuloMultiply(rhs, t, point->X, curve->P);
    BigInt_Add(rhs, rhs, curve->B);
    BigInt_Modulo(rhs, rhs, curve->P);
    BigInt_Copy(y, rhs);
    if (!ModuloSqrtLegendre3mod4(y, curve->P)) return 0;
    // Half of all x have no point: the exponentiation then gives a root of -rhs instead.
    BigInt_ModuloSquare(t, y, curve->P);
    if (BigInt_Compare(t, rhs) != 0) return 0;
    if ((uint32_t)BigInt_IsBitSet(y, 0) != (odd & 1)) {
        if (BigInt_GetSign(y) == 0) return 0;
        BigInt_Subtract(y, curve->P, y);
    }
    BigInt_Copy(point->Y, y);
    point->Infinity = 0;
    return 1;
}

int64_t EC_ValidatePoint(EC* curve, const ECPoint* point) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    ASSERT_POINTER(point);
    CLASS_CHECK(point->X, BIGINT_CLASS_ID);
    CLASS_CHECK(point->Y, BIGINT_CLASS_ID);
    if (!Ready(curve) || point->Infinity) return 0;
    const Engine* engine = curve->Engine;
    uint64_t x[ec_internal::MAX_LIMBS], y[ec_internal::MAX_LIMBS];
    if (!ec_internal::BigIntToLimbs(x, engine->Limbs, point->X) ||
        !ec_internal::BigIntToLimbs(y, engine->Limbs, point->Y))
        return 0;
    if (!ec_internal::LimbsLess(x, engine->Prime, engine->Limbs) ||
        !ec_internal::LimbsLess(y, engine->Prime, engine->Limbs))
        return 0;
    return engine->OnCurve(x, y) ? 1 : 0;
}

int64_t EC_PointDoubling(BigInt* temp[5], EC* curve, ECPoint* r, const ECPoint* p) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    ASSERT_POINTER(temp);
    ASSERT_POINTER(r);
    ASSERT_POINTER(p);
    if (p->Infinity) {
        SetInfinity(r);
        return 1;
    }
    BigInt *x = temp[0], *y = temp[1], *l = temp[2], *t = temp[3], *u = temp[4];
    if (!Reduce(x, p->X, curve->P) || !Reduce(y, p->Y, curve->P)) return 0;
    // l = (3 x^2 + a) / (2 y); no inverse exists for y = 0.
    BigInt_ModuloSquare(t, x, curve->P);
    BigInt_Add(u, t, t);
    BigInt_Add(u, u, t);
    BigInt_Add(u, u, curve->A);
    BigInt_Modulo(u, u, curve->P);
    BigInt_Add(t, y, y);
    BigInt_Modulo(t, t, curve->P);
    if (BigInt_GetSign(t) == 0) return 0;
    Num inverse;
    if (!BigInt_ModuloInverse(inverse, t, curve->P)) return 0;
    BigInt_ModuloMultiply(l, u, inverse, curve->P);
    return Finish(curve, r, l, x, y, x);
}

int64_t EC_PointAddInternal(BigInt* temp[4], EC* curve, ECPoint* r, const ECPoint* p, const ECPoint* q) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    ASSERT_POINTER(temp);
    ASSERT_POINTER(r);
    ASSERT_POINTER(p);
    ASSERT_POINTER(q);
    if (q->Infinity) {
        CopyPoint(r, p);
        return 1;
    }
    if (p->Infinity) {
        CopyPoint(r, q);
        return 1;
    }
    if (ECPoint_Equal(p, q)) {
        Num fifth;
        BigInt* doubling[5] = {temp[0], temp[1], temp[2], temp[3], fifth};
        return EC_PointDoubling(doubling, curve, r, p);
    }
    BigInt *x1 = temp[0], *y1 = temp[1], *x2 = temp[2], *y2 = temp[3];
    if (!Reduce(x1, p->X, curve->P) || !Reduce(y1, p->Y, curve->P) || !Reduce(x2, q->X, curve->P) ||
        !Reduce(y2, q->Y, curve->P))
        return 0;
    Num negY, dx, dy, inverse, l;
    SubMod(negY, curve->P, y2, curve->P);
    if (BigInt_Compare(x1, x2) == 0 && BigInt_Compare(y1, negY) == 0) {
        SetInfinity(r);
        return 1;
    }
    SubMod(dx, x1, x2, curve->P);
    if (BigInt_GetSign(dx) == 0) return 0; // equal x, unequal and not opposite y: off the curve
    SubMod(dy, y1, y2, curve->P);
    if (!BigInt_ModuloInverse(inverse, dx, curve->P)) return 0;
    BigInt_ModuloMultiply(l, dy, inverse, curve->P);
    return Finish(curve, r, l, x1, y1, x2);
}

int64_t EC_PointAdd(EC* curve, ECPoint* r, const ECPoint* p, const ECPoint* q) {
    Num t0, t1, t2, t3;
    BigInt* temp[4] = {t0, t1, t2, t3};
    return EC_PointAddInternal(temp, curve, r, p, q);
}

int64_t EC_PointMultiply(EC* curve, ECPoint* r, const ECPoint* p, const BigInt* k) {
    CLASS_CHECK(curve, EC_CLASS_ID);
    ASSERT_POINTER(r);
    ASSERT_POINTER(p);
    CLASS_CHECK(k, BIGINT_CLASS_ID);
    ASSERT_MSG(r != p, "%s: the result is the operand\n", "EC_PointMultiply");
    if (p->Infinity || BigInt_GetSign(k) == 0) {
        SetInfinity(r);
        return 1;
    }
    Num scalar;
    BigInt_Copy(scalar, k);
    if (BigInt_GetSign(scalar) < 0) BigInt_Negate(scalar);
    if (EC_ValidatePoint(curve, p)) {
        // A point of the curve has order n: k P = (k mod n) P.
        const Engine* engine = curve->Engine;
        if (BigInt_Compare(scalar, curve->N) >= 0) BigInt_Modulo(scalar, scalar, curve->N);
        uint64_t kl[ec_internal::MAX_LIMBS], px[ec_internal::MAX_LIMBS], py[ec_internal::MAX_LIMBS],
            rx[ec_internal::MAX_LIMBS], ry[ec_internal::MAX_LIMBS];
        ec_internal::BigIntToLimbs(kl, engine->Limbs, scalar);
        ec_internal::BigIntToLimbs(px, engine->Limbs, p->X);
        ec_internal::BigIntToLimbs(py, engine->Limbs, p->Y);
        const bool isG = ECPoint_Equal(p, &curve->G);
        const bool finite = engine->MulSecret(rx, ry, isG ? nullptr : px, isG ? nullptr : py, kl);
        memset(kl, 0, sizeof(kl));
        if (!finite) {
            SetInfinity(r);
            return 1;
        }
        ec_internal::BigIntFromLimbs(r->X, rx, engine->Limbs);
        ec_internal::BigIntFromLimbs(r->Y, ry, engine->Limbs);
        r->Infinity = 0;
        return 1;
    }
    // A point off the curve: right-to-left double-and-add on the affine formulas.
    ECPoint acc, running, t;
    ECPoint_Init(&acc);
    ECPoint_Init(&running);
    ECPoint_Init(&t);
    acc.Infinity = 1;
    CopyPoint(&running, p);
    int64_t ok = 1;
    const int32_t bits = BigInt_BitCount(scalar);
    for (int32_t i = 0; i < bits && ok; i++) {
        if (BigInt_IsBitSet(scalar, i)) {
            ok = EC_PointAdd(curve, &t, &acc, &running);
            CopyPoint(&acc, &t);
        }
        if (ok && i + 1 < bits) {
            ok = EC_PointAdd(curve, &t, &running, &running);
            CopyPoint(&running, &t);
        }
    }
    if (ok) CopyPoint(r, &acc);
    ECPoint_Release(&acc);
    ECPoint_Release(&running);
    ECPoint_Release(&t);
    return ok;
}

int64_t EC_PointAddForTests(EC* curve, BigInt* rx, BigInt* ry, BigInt* px, BigInt* py, BigInt* qx,
                            BigInt* qy) {
    ECPoint r{rx, ry, 0}, p{px, py, 0}, q{qx, qy, 0};
    return EC_PointAdd(curve, &r, &p, &q);
}

int64_t EC_PointDoublingForTests(EC* curve, BigInt* rx, BigInt* ry, BigInt* px, BigInt* py) {
    Num t0, t1, t2, t3, t4;
    BigInt* temp[5] = {t0, t1, t2, t3, t4};
    ECPoint r{rx, ry, 0}, p{px, py, 0};
    return EC_PointDoubling(temp, curve, &r, &p);
}

// ECDHE: a fresh private scalar per exchange, the own point in SEC 1 uncompressed form and the
// shared x-coordinate, both multiplications on the constant-time ladder.
#include "core/crypto/ecdhe.h"

#include <cstring>

#include "core/crypto/ec_field.h"
#include "core/runtime/class_family.h"
#include "core/runtime/debug.h"
#include "core/runtime/memory.h"

using ec_internal::Engine;
using ec_internal::MAX_LIMBS;

namespace {

// Draws before the exchange gives up; a good random source needs one.
enum : int32_t { DRAW_ATTEMPTS = 16 };

int64_t DeleteHandle(void** handle) {
    return ECDHE_Delete(reinterpret_cast<ECDHE**>(handle));
}

} // namespace

int64_t ECDHE_Create(ECDHE** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    ECDHE* ecdhe = static_cast<ECDHE*>(Memory_AllocZero(sizeof(ECDHE)));
    ecdhe->Header.ClassId = ECDHE_CLASS_ID;
    ecdhe->Header.RefCount = 1;
    ecdhe->Header.Delete = DeleteHandle;
    EC_Create(&ecdhe->Curve);
    ECPoint_Init(&ecdhe->Peer);
    *handle = ecdhe;
    return 1;
}

int64_t ECDHE_Delete(ECDHE** handle) {
    ASSERT_POINTER(handle);
    ECDHE* ecdhe = *handle;
    CLASS_CHECK(ecdhe, ECDHE_CLASS_ID);
    EC_Delete(&ecdhe->Curve);
    ECPoint_Release(&ecdhe->Peer);
    memset(ecdhe, 0, sizeof(ECDHE));
    Memory_Free(ecdhe, sizeof(ECDHE));
    *handle = nullptr;
    return 1;
}

CLASS_BASICS(ECDHE, ECDHE, ECDHE_CLASS_ID)

int64_t ECDHE_InitParams(ECDHE* ecdhe, const char* oid) {
    CLASS_CHECK(ecdhe, ECDHE_CLASS_ID);
    return EC_InitParams(ecdhe->Curve, oid);
}

int64_t ECDHE_SetPublicKey(ECDHE* ecdhe, const uint8_t* key, uint32_t count) {
    CLASS_CHECK(ecdhe, ECDHE_CLASS_ID);
    return ECPoint_ImportBinary(&ecdhe->Peer, ecdhe->Curve, key, count);
}

int64_t ECDHE_CalculateSecret(ECDHE* ecdhe, uint8_t* publicKey, uint32_t publicSize, uint32_t* publicLength,
                              uint8_t* secret, uint32_t secretSize, uint32_t* secretLength) {
    CLASS_CHECK(ecdhe, ECDHE_CLASS_ID);
    ASSERT_POINTER(publicLength);
    ASSERT_POINTER(secretLength);
    *publicLength = 0;
    *secretLength = 0;
    const Engine* engine = ecdhe->Curve->Engine;
    if (!engine) return 0;
    const uint32_t bytes = (uint32_t)engine->OrderBytes;
    ASSERT_POINTER(publicKey);
    ASSERT_POINTER(secret);
    ASSERT_MSG(publicSize > 2 * bytes && secretSize >= bytes,
               "%s: buffers of %u and %u bytes, %u and %u needed\n", "ECDHE_CalculateSecret", publicSize,
               secretSize, 2 * bytes + 1, bytes);
    // Without a valid peer point there is nothing to agree on.
    if (!EC_ValidatePoint(ecdhe->Curve, &ecdhe->Peer)) return 0;
    const int32_t limbs = engine->Limbs;
    uint64_t d[MAX_LIMBS], x[MAX_LIMBS], y[MAX_LIMBS], qx[MAX_LIMBS], qy[MAX_LIMBS];
    alignas(BigInt) unsigned char storage[sizeof(BigInt)];
    BigInt* drawn = BigInt_Stack(storage);
    bool found = false;
    for (int32_t attempt = 0; attempt < DRAW_ATTEMPTS && !found; attempt++) {
        if (!BigInt_ModuloRandom(drawn, ecdhe->Curve->N)) break;
        if (!ec_internal::BigIntToLimbs(d, limbs, drawn) || ec_internal::LimbsIsZero(d, limbs) ||
            !ec_internal::LimbsLess(d, engine->Order, limbs))
            continue;
        found = engine->MulSecret(x, y, nullptr, nullptr, d) && !ec_internal::LimbsIsZero(x, limbs);
    }
    BigInt_Reset(drawn);
    BigInt_Unstack(drawn);
    bool shared = false;
    if (found) {
        memset(publicKey, 0, 2 * bytes + 1);
        publicKey[0] = 0x04;
        ec_internal::LimbsToBytes(publicKey + 1, bytes, x, limbs);
        ec_internal::LimbsToBytes(publicKey + 1 + bytes, bytes, y, limbs);
        *publicLength = 2 * bytes + 1;
        ec_internal::BigIntToLimbs(qx, limbs, ecdhe->Peer.X);
        ec_internal::BigIntToLimbs(qy, limbs, ecdhe->Peer.Y);
        shared = engine->MulSecret(x, y, qx, qy, d);
        ec_internal::LimbsToBytes(secret, bytes, x, limbs);
        *secretLength = bytes;
    }
    memset(d, 0, sizeof(d));
    memset(x, 0, sizeof(x));
    memset(y, 0, sizeof(y));
    return shared ? 1 : 0;
}

int64_t ECDHE_GetECHandle(ECDHE* ecdhe, EC** curve) {
    CLASS_CHECK(ecdhe, ECDHE_CLASS_ID);
    ASSERT_POINTER(curve);
    *curve = ecdhe->Curve;
    return *curve ? 1 : 0;
}

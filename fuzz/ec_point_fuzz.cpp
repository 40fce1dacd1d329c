// Reads encoded points on every curve: whatever imports must validate, encode back to the same
// point (uncompressed and compressed), and multiply consistently with the affine addition.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/crypto/ec.h"

namespace {

const char* const kOids[] = {"1.3.132.0.31", "1.2.840.10045.3.1.1", "1.3.132.0.32", "1.3.132.0.33",
                             "1.3.132.0.10", "1.2.840.10045.3.1.7", "1.3.132.0.34", "1.3.132.0.35"};

void Check(bool ok) {
    if (!ok) abort();
}

struct Point {
    ECPoint P{};
    Point() { ECPoint_Init(&P); }
    ~Point() { ECPoint_Release(&P); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > 600) return 0;
    static EC* curves[8] = {};
    EC* curve = curves[data[0] % 8];
    if (!curve) {
        EC_Create(&curves[data[0] % 8]);
        curve = curves[data[0] % 8];
        Check(EC_InitParams(curve, kOids[data[0] % 8]) == 1);
    }
    const uint8_t mode = data[0] / 8;
    data++, size--;

    if (mode % 2) {
        // Raw coordinates of any length: validation must only answer.
        const size_t half = size / 2;
        Point p;
        BigInt_ImportBinary(p.P.X, data, (uint32_t)half);
        BigInt_ImportBinary(p.P.Y, data + half, (uint32_t)(size - half));
        const int64_t valid = EC_ValidatePoint(curve, &p.P);
        if (EC_DecompressPoint(curve, &p.P, data[0] & 1)) Check(EC_ValidatePoint(curve, &p.P) == 1);
        (void)valid;
        return 0;
    }

    Point p;
    if (!ECPoint_ImportBinary(&p.P, curve, data, (uint32_t)size)) return 0;
    Check(EC_ValidatePoint(curve, &p.P) == 1);
    const uint32_t field = (uint32_t)BigInt_ByteCount(EC_GetP(curve));
    uint8_t encoded[1 + 2 * 67];
    encoded[0] = 4;
    Check(BigInt_ExportBinaryFixedSize(p.P.X, encoded + 1, field) == 1);
    Check(BigInt_ExportBinaryFixedSize(p.P.Y, encoded + 1 + field, field) == 1);
    Point again;
    Check(ECPoint_ImportBinary(&again.P, curve, encoded, 1 + 2 * field) == 1);
    Check(ECPoint_Equal(&again.P, &p.P) == 1);
    if (curve->SqrtMethod == 1) {
        encoded[0] = (uint8_t)(2 | BigInt_IsBitSet(p.P.Y, 0));
        Check(ECPoint_ImportBinary(&again.P, curve, encoded, 1 + field) == 1);
        Check(ECPoint_Equal(&again.P, &p.P) == 1);
    }

    // k P and (k + 1) P = k P + P, k taken from the point's bytes.
    BigInt* k = nullptr;
    BigInt* k1 = nullptr;
    BigInt_Create(&k);
    BigInt_Create(&k1);
    BigInt_ImportBinary(k, data + 1, size > 9 ? 8 : (uint32_t)size - 1);
    BigInt_SetWord(k1, 1);
    BigInt_Add(k1, k1, k);
    Point kp, k1p, sum;
    Check(EC_PointMultiply(curve, &kp.P, &p.P, k) == 1);
    Check(EC_PointMultiply(curve, &k1p.P, &p.P, k1) == 1);
    Check(kp.P.Infinity || EC_ValidatePoint(curve, &kp.P) == 1);
    Check(EC_PointAdd(curve, &sum.P, &kp.P, &p.P) == 1);
    Check(ECPoint_Equal(&sum.P, &k1p.P) == 1);
    Check(EC_PointMultiply(curve, &kp.P, &p.P, EC_GetN(curve)) == 1);
    Check(kp.P.Infinity == 1);
    BigInt_Delete(&k);
    BigInt_Delete(&k1);
    return 0;
}

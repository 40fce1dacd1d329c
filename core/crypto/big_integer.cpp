// Signed big integers over 32-bit words: arithmetic, binary remainder and inverse, byte and
// hexadecimal forms, and the Montgomery context that carries every modular exponentiation.
#include "core/crypto/big_integer.h"

#include <climits>
#include <cstring>

#include "core/linux/platform.h"
#include "core/runtime/memory.h"
#include "core/runtime/string.h"

namespace {

constexpr int32_t kGrain = 64;
// Beyond this many words the counts of bits and bytes no longer fit a signed 32-bit number.
constexpr int64_t kMaxWords = (INT32_MAX / 32) - kGrain;
constexpr int32_t kRandomDraws = 128;

BigInt* GlobalRandomNumberForTest = nullptr;

int64_t DeleteBigIntHandle(void** handle) {
    return BigInt_Delete(reinterpret_cast<BigInt**>(handle));
}

int64_t DeleteMontgomeryHandle(void** handle) {
    return BigInt_MontgomeryDestroy(reinterpret_cast<Montgomery**>(handle));
}

// Makes room for n words; words from the length up to n read as zero afterwards. Storage only
// grows, in steps of 64 words, plus the spare word.
void BigInt_ExpandInt(BigInt* r, int64_t n) {
    ASSERT_MSG(n <= kMaxWords, "%s: %d words exceed the limit\n", "BigInt_ExpandInt",
               (int32_t)(n > INT32_MAX ? INT32_MAX : n));
    if (n > r->Capacity) {
        const int32_t capacity = (int32_t)((n + kGrain - 1) / kGrain * kGrain);
        uint32_t* words = static_cast<uint32_t*>(Memory_AllocZero(((size_t)capacity + 1) * sizeof(uint32_t)));
        if (r->Words) {
            memcpy(words, r->Words, (size_t)r->Length * sizeof(uint32_t));
            Memory_Free(r->Words, ((size_t)r->Capacity + 1) * sizeof(uint32_t));
        }
        r->Words = words;
        r->Capacity = capacity;
    } else if (n > r->Length) {
        memset(r->Words + r->Length, 0, (size_t)(n - r->Length) * sizeof(uint32_t));
    }
}

void Trim(BigInt* r) {
    while (r->Length > 0 && r->Words[r->Length - 1] == 0) r->Length--;
    if (r->Length == 0) r->Sign = 0;
}

void BigInt_InternalDelete(BigInt* r) {
    if (r->Words) Memory_Free(r->Words, ((size_t)r->Capacity + 1) * sizeof(uint32_t));
    r->Words = nullptr;
    r->Capacity = 0;
    r->Length = 0;
    r->Sign = 0;
}

void InitEmbedded(BigInt* r) {
    memset(r, 0, sizeof(*r));
    r->Header.ClassId = BIGINT_CLASS_ID;
}

void BigInt_SetWordInternal(BigInt* r, uint32_t w) {
    BigInt_ExpandInt(r, 1);
    r->Words[0] = w;
    r->Length = 1;
    r->Sign = 0;
    Trim(r);
}

void CopyInternal(BigInt* r, const BigInt* a) {
    if (r == a) return;
    BigInt_ExpandInt(r, a->Length);
    if (a->Length) memcpy(r->Words, a->Words, (size_t)a->Length * sizeof(uint32_t));
    r->Length = a->Length;
    r->Sign = a->Sign;
}

int32_t CompareMagnitude(const BigInt* a, const BigInt* b) {
    if (a->Length != b->Length) return a->Length < b->Length ? -1 : 1;
    for (int32_t i = a->Length - 1; i >= 0; i--)
        if (a->Words[i] != b->Words[i]) return a->Words[i] < b->Words[i] ? -1 : 1;
    return 0;
}

// r = |a| + |b|, non-negative; r may be a or b.
void BigInt_UnsignedAdd(BigInt* r, const BigInt* a, const BigInt* b) {
    if (a->Length < b->Length) {
        const BigInt* t = a;
        a = b;
        b = t;
    }
    const int32_t la = a->Length, lb = b->Length;
    if (lb == 0) {
        CopyInternal(r, a);
        r->Sign = 0;
        return;
    }
    BigInt_ExpandInt(r, (int64_t)la + 1);
    uint64_t carry = 0;
    for (int32_t i = 0; i < la; i++) {
        carry += (uint64_t)a->Words[i] + (i < lb ? b->Words[i] : 0);
        r->Words[i] = (uint32_t)carry;
        carry >>= 32;
    }
    r->Words[la] = (uint32_t)carry;
    r->Length = la + 1;
    r->Sign = 0;
    Trim(r);
}

// r = |a| - |b| for |a| >= |b|, non-negative; 0 when a has fewer words than b.
int64_t BigInt_UnsignedSubtract(BigInt* r, const BigInt* a, const BigInt* b) {
    const int32_t la = a->Length, lb = b->Length;
    if (la < lb) return 0;
    BigInt_ExpandInt(r, la);
    uint64_t borrow = 0;
    for (int32_t i = 0; i < la; i++) {
        const uint64_t d = (uint64_t)a->Words[i] - (i < lb ? b->Words[i] : 0) - borrow;
        r->Words[i] = (uint32_t)d;
        borrow = (d >> 32) & 1;
    }
    r->Length = la;
    r->Sign = 0;
    Trim(r);
    return 1;
}

// r = |big| - |small| with the given sign (zero stays non-negative).
void SubtractMagnitudes(BigInt* r, const BigInt* big, const BigInt* small, uint32_t sign) {
    BigInt_UnsignedSubtract(r, big, small);
    r->Sign = r->Length ? sign : 0;
}

void BigInt_AddInternal(BigInt* r, const BigInt* a, const BigInt* b) {
    const uint32_t sa = a->Sign, sb = b->Sign;
    if (sa == sb) {
        BigInt_UnsignedAdd(r, a, b);
        r->Sign = r->Length ? sa : 0;
    } else if (CompareMagnitude(a, b) >= 0) {
        SubtractMagnitudes(r, a, b, sa);
    } else {
        SubtractMagnitudes(r, b, a, sb);
    }
}

void BigInt_SubtractInternal(BigInt* r, const BigInt* a, const BigInt* b) {
    const uint32_t sa = a->Sign, sb = b->Sign;
    if (sa != sb) {
        BigInt_UnsignedAdd(r, a, b);
        r->Sign = r->Length ? sa : 0;
    } else if (CompareMagnitude(a, b) >= 0) {
        // Same signs: a - b keeps a's sign when |a| is the larger.
        SubtractMagnitudes(r, a, b, sa);
    } else {
        SubtractMagnitudes(r, b, a, sa ^ 1);
    }
}

// Scratch for the products and the remainder: small ones on the stack, large ones from Memory_.
template <typename T> class Scratch {
  public:
    explicit Scratch(int32_t count) : count_(count) {
        data_ = count <= kInline ? inline_ : static_cast<T*>(Memory_Alloc((size_t)count * sizeof(T)));
    }
    ~Scratch() {
        if (data_ != inline_) Memory_Free(data_, (size_t)count_ * sizeof(T));
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* get() { return data_; }

  private:
    static constexpr int32_t kInline = 2176 / (int32_t)sizeof(T);
    T inline_[kInline];
    T* data_;
    int32_t count_;
};
using LimbBuffer = Scratch<uint64_t>;

// Limb i = word 2i + word 2i+1 x 2^32; words past the length read as zero.
void LoadLimbs(uint64_t* out, int32_t n, const BigInt* a) {
    for (int32_t i = 0; i < n; i++) {
        const int32_t w = 2 * i;
        const uint64_t lo = w < a->Length ? a->Words[w] : 0;
        const uint64_t hi = w + 1 < a->Length ? a->Words[w + 1] : 0;
        out[i] = lo | hi << 32;
    }
}

void StoreLimbs(BigInt* r, const uint64_t* limbs, int32_t n) {
    BigInt_ExpandInt(r, 2 * (int64_t)n);
    for (int32_t i = 0; i < n; i++) {
        r->Words[2 * i] = (uint32_t)limbs[i];
        r->Words[2 * i + 1] = (uint32_t)(limbs[i] >> 32);
    }
    r->Length = 2 * n;
    r->Sign = 0;
    Trim(r);
}

void BigInt_MultiplyInternal(BigInt* r, const BigInt* a, const BigInt* b) {
    const uint32_t sign = a->Sign ^ b->Sign;
    if (a->Length == 0 || b->Length == 0) {
        r->Length = 0;
        r->Sign = 0;
        return;
    }
    const int32_t words = a->Length > b->Length ? a->Length : b->Length;
    const int32_t n = (words + 1) / 2;
    LimbBuffer la(n), lb(n), out(2 * n);
    LoadLimbs(la.get(), n, a);
    if (a == b) {
        BigUIntLowSquare(out.get(), la.get(), n);
    } else {
        LoadLimbs(lb.get(), n, b);
        BigUIntLowMultiply(out.get(), la.get(), lb.get(), n);
    }
    StoreLimbs(r, out.get(), 2 * n);
    r->Sign = r->Length ? sign : 0;
}

void ShiftLeftInternal(BigInt* r, const BigInt* a, int32_t bits) {
    if (a->Length == 0) {
        r->Length = 0;
        r->Sign = 0;
        return;
    }
    const int32_t wordShift = bits / 32, bitShift = bits % 32;
    const int32_t la = a->Length;
    const uint32_t sign = a->Sign;
    BigInt_ExpandInt(r, (int64_t)la + wordShift + 1);
    // From the top down, so that r may be a.
    r->Words[la + wordShift] = bitShift ? a->Words[la - 1] >> (32 - bitShift) : 0;
    for (int32_t i = la - 1; i >= 0; i--) {
        uint32_t w = a->Words[i] << bitShift;
        if (bitShift && i > 0) w |= a->Words[i - 1] >> (32 - bitShift);
        r->Words[i + wordShift] = w;
    }
    memset(r->Words, 0, (size_t)wordShift * sizeof(uint32_t));
    r->Length = la + wordShift + 1;
    r->Sign = sign;
    Trim(r);
}

void ShiftRightInternal(BigInt* r, const BigInt* a, int32_t bits) {
    const int32_t wordShift = bits / 32, bitShift = bits % 32;
    if (a->Length <= wordShift) {
        r->Length = 0;
        r->Sign = 0;
        return;
    }
    const int32_t la = a->Length, n = la - wordShift;
    const uint32_t sign = a->Sign;
    BigInt_ExpandInt(r, n);
    // From the bottom up, so that r may be a.
    for (int32_t i = 0; i < n; i++) {
        uint32_t w = a->Words[i + wordShift] >> bitShift;
        if (bitShift && i + wordShift + 1 < la) w |= a->Words[i + wordShift + 1] << (32 - bitShift);
        r->Words[i] = w;
    }
    r->Length = n;
    r->Sign = sign;
    Trim(r);
}

// Remainder of |a| by a non-zero |m|. It equals what doubling m up to the value and halving it
// back, subtracting wherever it fits, leaves; long division by words (Knuth's algorithm D) gets
// there in one step per word instead of one per bit. r may be a; m is never r.
void ModuloMagnitude(BigInt* r, const BigInt* a, const BigInt* m) {
    CopyInternal(r, a);
    r->Sign = 0;
    const int32_t lu = r->Length, lv = m->Length;
    if (CompareMagnitude(r, m) < 0) return;
    const uint32_t* v = m->Words;
    uint32_t* u = r->Words;
    if (lv == 1) {
        uint64_t rest = 0;
        for (int32_t i = lu - 1; i >= 0; i--) rest = ((rest << 32) | u[i]) % v[0];
        BigInt_SetWordInternal(r, (uint32_t)rest);
        return;
    }
    // Normalise so that the divisor's top bit is set; the quotient digit estimate is then off by
    // at most two.
    const int32_t shift = __builtin_clz(v[lv - 1]);
    Scratch<uint32_t> vnBuffer(lv), unBuffer(lu + 1);
    uint32_t* vn = vnBuffer.get();
    uint32_t* un = unBuffer.get();
    for (int32_t i = lv - 1; i > 0; i--) vn[i] = (v[i] << shift) | (shift ? v[i - 1] >> (32 - shift) : 0);
    vn[0] = v[0] << shift;
    un[lu] = shift ? u[lu - 1] >> (32 - shift) : 0;
    for (int32_t i = lu - 1; i > 0; i--) un[i] = (u[i] << shift) | (shift ? u[i - 1] >> (32 - shift) : 0);
    un[0] = u[0] << shift;
    constexpr uint64_t kBase = UINT64_C(1) << 32;
    for (int32_t j = lu - lv; j >= 0; j--) {
        const uint64_t top = ((uint64_t)un[j + lv] << 32) | un[j + lv - 1];
        uint64_t qhat = top / vn[lv - 1];
        uint64_t rhat = top % vn[lv - 1];
        while (qhat >= kBase || qhat * vn[lv - 2] > ((rhat << 32) | un[j + lv - 2])) {
            qhat--;
            rhat += vn[lv - 1];
            if (rhat >= kBase) break;
        }
        // un[j .. j+lv] -= qhat x vn.
        int64_t borrow = 0;
        for (int32_t i = 0; i < lv; i++) {
            const uint64_t p = qhat * vn[i];
            const int64_t t = (int64_t)un[i + j] - borrow - (int64_t)(p & 0xFFFFFFFFu);
            un[i + j] = (uint32_t)t;
            borrow = (int64_t)(p >> 32) - (t >> 32);
        }
        const int64_t t = (int64_t)un[j + lv] - borrow;
        un[j + lv] = (uint32_t)t;
        if (t < 0) {
            // qhat was one too large: add the divisor back once.
            uint64_t carry = 0;
            for (int32_t i = 0; i < lv; i++) {
                carry += (uint64_t)un[i + j] + vn[i];
                un[i + j] = (uint32_t)carry;
                carry >>= 32;
            }
            un[j + lv] += (uint32_t)carry;
        }
    }
    for (int32_t i = 0; i < lv; i++) u[i] = (un[i] >> shift) | (shift ? un[i + 1] << (32 - shift) : 0);
    r->Length = lv;
    Trim(r);
}

int64_t BigInt_ModuloInternal(BigInt* r, const BigInt* a, const BigInt* m) {
    if (m->Length == 0 || a->Sign) return 0;
    ModuloMagnitude(r, a, m);
    return 1;
}

int64_t BigInt_ModuloMultiplyInternal(BigInt* r, const BigInt* a, const BigInt* b, const BigInt* m) {
    if (m->Length == 0) return 0;
    alignas(BigInt) unsigned char storage[sizeof(BigInt)];
    BigInt* t = BigInt_Stack(storage);
    BigInt_MultiplyInternal(t, a, b);
    const int64_t ok = BigInt_ModuloInternal(r, t, m);
    BigInt_Unstack(t);
    return ok;
}

int64_t BigInt_ModuloSquareInternal(BigInt* r, const BigInt* a, const BigInt* m) {
    return BigInt_ModuloMultiplyInternal(r, a, a, m);
}

// x = x / 2 when even, else (x + m) / 2; x stays in 0 .. m - 1.
void Half(BigInt* x, const BigInt* m) {
    if (x->Length && (x->Words[0] & 1)) BigInt_UnsignedAdd(x, x, m);
    ShiftRightInternal(x, x, 1);
}

// x = x - y mod m for x, y in 0 .. m - 1.
void SubtractModulo(BigInt* x, const BigInt* y, const BigInt* m) {
    if (CompareMagnitude(x, y) < 0) BigInt_UnsignedAdd(x, x, m);
    BigInt_UnsignedSubtract(x, x, y);
}

// A column sum of 64-bit products: 128 bits plus a count of overflows above them.
struct Column {
    unsigned __int128 Low = 0;
    uint64_t High = 0;
};

inline void Accumulate(Column& c, unsigned __int128 p) {
    c.Low += p;
    c.High += c.Low < p;
}

inline void Merge(Column& into, const Column& from) {
    into.High += from.High;
    Accumulate(into, from.Low);
}

// Sum of a[i] x b[k - i] for i in from .. to, in two independent chains so that the carry
// latency of one overlaps the multiplications of the other.
inline Column ColumnSum(const uint64_t* a, const uint64_t* b, int32_t k, int32_t from, int32_t to) {
    Column even, odd;
    int32_t i = from;
    for (; i + 1 <= to; i += 2) {
        Accumulate(even, (unsigned __int128)a[i] * b[k - i]);
        Accumulate(odd, (unsigned __int128)a[i + 1] * b[k - i - 1]);
    }
    if (i <= to) Accumulate(even, (unsigned __int128)a[i] * b[k - i]);
    Merge(even, odd);
    return even;
}

// Adds a column to the running accumulator, writes its low limb and moves to the next column.
inline uint64_t Emit(Column& acc, const Column& column) {
    Merge(acc, column);
    const uint64_t out = (uint64_t)acc.Low;
    acc.Low = (acc.Low >> 64) | ((unsigned __int128)acc.High << 64);
    acc.High = 0;
    return out;
}

// ---- Montgomery ----

void Montgomery_Delete(Montgomery* context) {
    BigInt_InternalDelete(&context->M);
    BigInt_InternalDelete(&context->R);
    BigInt_InternalDelete(&context->Mask);
    BigInt_InternalDelete(&context->MPrime);
    const size_t n = (size_t)context->Limbs;
    if (context->LimbM) Memory_Free(context->LimbM, n * sizeof(uint64_t));
    if (context->LimbRR) Memory_Free(context->LimbRR, n * sizeof(uint64_t));
    context->Header.ClassId = 0;
    Memory_Free(context, sizeof(Montgomery));
}

using Wide = unsigned __int128;

// out = v - m when v (n limbs and a top bit) is at least m, else v; chosen by a mask, not a branch,
// so the time says nothing about the value. out is distinct from v.
inline void FinalSubtract(const Montgomery* c, uint64_t* out, const uint64_t* v, uint64_t top) {
    const int32_t n = c->Limbs;
    const uint64_t* m = c->LimbM;
    uint64_t borrow = 0;
    for (int32_t j = 0; j < n; j++) {
        const Wide d = (Wide)v[j] - m[j] - borrow;
        out[j] = (uint64_t)d;
        borrow = (uint64_t)(d >> 64) & 1;
    }
    // v < m exactly when there is no top bit and the subtraction borrowed.
    const uint64_t keep = 0 - ((top ^ 1) & borrow);
    for (int32_t j = 0; j < n; j++) out[j] = (v[j] & keep) | (out[j] & ~keep);
}

// Column k of a^2 over i in from .. k - from: the cross products a[i] a[k-i] (i < k - i) summed
// once and doubled, plus the square of the middle limb when k is even.
inline Column SquareColumn(const uint64_t* a, int32_t k, int32_t from) {
    Column cross = ColumnSum(a, a, k, from, k == 0 ? -1 : (k - 1) / 2);
    cross.High = cross.High << 1 | (uint64_t)(cross.Low >> 127);
    cross.Low <<= 1;
    if ((k & 1) == 0) Accumulate(cross, (unsigned __int128)a[k / 2] * a[k / 2]);
    return cross;
}

// Montgomery product on whole limbs (R' = 2^(64n)) by columns: column k of a b + q m is summed
// in the accumulator, and while k < n the limb q[k] = low x n0 that clears it is found and its
// term added; the columns from n on are the result. out = a b / R' mod m for a below R' and b
// below m (a squares when b is null). t holds 2n limbs of scratch; out may be a or b.
void BigInt_MontgomeryProduct(const Montgomery* c, uint64_t* out, const uint64_t* a, const uint64_t* b,
                              uint64_t* t) {
    const int32_t n = c->Limbs;
    const uint64_t* m = c->LimbM;
    uint64_t* q = t;
    uint64_t* v = t + n;
    Column acc;
    for (int32_t k = 0; k < 2 * n - 1; k++) {
        const int32_t from = k < n ? 0 : k - n + 1, to = k < n ? k : n - 1;
        Column column = b ? ColumnSum(a, b, k, from, to) : SquareColumn(a, k, from);
        if (k < n) {
            if (k > 0) Merge(column, ColumnSum(q, m, k, 0, k - 1));
            Merge(acc, column);
            q[k] = (uint64_t)acc.Low * c->N0;
            Accumulate(acc, (unsigned __int128)q[k] * m[0]);
            Emit(acc, Column{});
        } else {
            Merge(column, ColumnSum(q, m, k, from, to));
            v[k - n] = Emit(acc, column);
        }
    }
    v[n - 1] = Emit(acc, Column{});
    FinalSubtract(c, out, v, (uint64_t)acc.Low);
}

// out = t / R' mod m for t of 2n limbs below m R' (t is overwritten).
void MontgomeryReduce(const Montgomery* c, uint64_t* out, uint64_t* t) {
    const int32_t n = c->Limbs;
    const uint64_t* m = c->LimbM;
    uint64_t top = 0;
    for (int32_t i = 0; i < n; i++) {
        const uint64_t q = t[i] * c->N0;
        uint64_t carry = 0;
        for (int32_t j = 0; j < n; j++) {
            const Wide p = (Wide)q * m[j] + t[i + j] + carry;
            t[i + j] = (uint64_t)p;
            carry = (uint64_t)(p >> 64);
        }
        const Wide s = (Wide)t[i + n] + carry + top;
        t[i + n] = (uint64_t)s;
        top = (uint64_t)(s >> 64);
    }
    FinalSubtract(c, out, t + n, top);
}

// out = a a / R' mod m: the square with its cross products halved, then the reduction.
// t holds 2n limbs.
void MontgomerySquare(const Montgomery* c, uint64_t* out, const uint64_t* a, uint64_t* t) {
    BigInt_MontgomeryProduct(c, out, a, nullptr, t);
}

// out = base R' mod m, the base's Montgomery form. t holds 2n + 2 limbs. A base below R' is
// multiplied by R'^2 mod m; one below m R' is first reduced by the same products, so that the
// private operations never divide; only a longer base goes through the long division.
void ToMontgomery(const Montgomery* c, uint64_t* out, const BigInt* base, uint64_t* t) {
    const int32_t n = c->Limbs;
    if (base->Length <= 2 * n) {
        LoadLimbs(out, n, base);
        BigInt_MontgomeryProduct(c, out, out, c->LimbRR, t);
        return;
    }
    if (base->Length <= 4 * n) {
        LoadLimbs(t, 2 * n, base);
        uint64_t borrow = 0;
        for (int32_t j = 0; j < n; j++) {
            const Wide d = (Wide)t[n + j] - c->LimbM[j] - borrow;
            borrow = (uint64_t)(d >> 64) & 1;
        }
        if (borrow) {
            // base / R', then times R'^2 twice: base, then base R'.
            MontgomeryReduce(c, out, t);
            BigInt_MontgomeryProduct(c, out, out, c->LimbRR, t);
            BigInt_MontgomeryProduct(c, out, out, c->LimbRR, t);
            return;
        }
    }
    alignas(BigInt) unsigned char s0[sizeof(BigInt)];
    BigInt* reduced = BigInt_Stack(s0);
    ModuloMagnitude(reduced, base, &c->M);
    LoadLimbs(out, n, reduced);
    BigInt_Unstack(reduced);
    BigInt_MontgomeryProduct(c, out, out, c->LimbRR, t);
}

// w exponent bits from bit pos up; bits past the value read as zero.
inline uint32_t ExponentBits(const BigInt* e, int32_t pos, int32_t w) {
    const int32_t word = pos / 32;
    uint64_t v = word < e->Length ? e->Words[word] : 0;
    if (word + 1 < e->Length) v |= (uint64_t)e->Words[word + 1] << 32;
    return (uint32_t)(v >> (pos % 32)) & ((UINT32_C(1) << w) - 1);
}

// out = table[index], every entry read and masked so that no address depends on the index.
inline void SelectEntry(uint64_t* out, const uint64_t* table, uint32_t entries, int32_t n, uint32_t index) {
    memset(out, 0, (size_t)n * sizeof(uint64_t));
    for (uint32_t i = 0; i < entries; i++) {
        const uint64_t mask = 0 - (((uint64_t)(i ^ index) - 1) >> 63);
        const uint64_t* entry = table + (size_t)i * (size_t)n;
        for (int32_t j = 0; j < n; j++) out[j] |= entry[j] & mask;
    }
}

void Wipe(uint64_t* p, size_t count) {
    volatile uint64_t* v = p;
    for (size_t i = 0; i < count; i++) v[i] = 0;
}

} // namespace

const BigIntBitsForWord BigInt_BitsForWord = [] {
    BigIntBitsForWord table{};
    for (int i = 1; i < 256; i++) table.bits[i] = (uint8_t)(table.bits[i / 2] + 1);
    return table;
}();

// ---- Low-level products: product scanning with a three-limb column accumulator ----

void BigUIntLowMultiply(uint64_t* out, const uint64_t* a, const uint64_t* b, int32_t n) {
    Column acc;
    for (int32_t k = 0; k < 2 * n - 1; k++)
        out[k] = Emit(acc, ColumnSum(a, b, k, k < n ? 0 : k - n + 1, k < n ? k : n - 1));
    if (n > 0) out[2 * n - 1] = (uint64_t)acc.Low;
}

void BigUIntLowSquare(uint64_t* out, const uint64_t* a, int32_t n) {
    Column acc;
    for (int32_t k = 0; k < 2 * n - 1; k++) {
        const int32_t from = k < n ? 0 : k - n + 1;
        // Cross products a[i] x a[k-i] with i < k - i, summed once, then doubled.
        Column cross = ColumnSum(a, a, k, from, k == 0 ? -1 : (k - 1) / 2);
        cross.High = cross.High << 1 | (uint64_t)(cross.Low >> 127);
        cross.Low <<= 1;
        if ((k & 1) == 0) Accumulate(cross, (unsigned __int128)a[k / 2] * a[k / 2]);
        out[k] = Emit(acc, cross);
    }
    if (n > 0) out[2 * n - 1] = (uint64_t)acc.Low;
}

// ---- Objects ----

int64_t BigInt_Create(BigInt** handle) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    BigInt* r = static_cast<BigInt*>(Memory_AllocZero(sizeof(BigInt)));
    r->Header.ClassId = BIGINT_CLASS_ID;
    r->Header.RefCount = 1;
    r->Header.Delete = DeleteBigIntHandle;
    *handle = r;
    return 1;
}

int64_t BigInt_Delete(BigInt** handle) {
    ASSERT_POINTER(handle);
    BigInt* r = *handle;
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    BigInt_InternalDelete(r);
    r->Header.ClassId = 0;
    Memory_Free(r, sizeof(BigInt));
    *handle = nullptr;
    return 1;
}

int64_t BigInt_AddRef(BigInt* r) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    Class_AddRef(r);
    return 1;
}

int64_t BigInt_Release(BigInt** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, BIGINT_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int64_t BigInt_GetInstanceId(BigInt* r, char* buffer, int32_t size) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, r->Header.InstanceId, (int32_t)sizeof(r->Header.InstanceId));
    return 1;
}

int32_t BigInt_SizeOf() {
    return (int32_t)sizeof(BigInt);
}

BigInt* BigInt_Stack(void* storage) {
    ASSERT_POINTER(storage);
    BigInt* r = static_cast<BigInt*>(storage);
    InitEmbedded(r);
    return r;
}

int64_t BigInt_Unstack(BigInt* r) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    BigInt_InternalDelete(r);
    return 1;
}

// ---- Value operations ----

int64_t BigInt_Reset(BigInt* r) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    r->Length = 0;
    r->Sign = 0;
    return 1;
}

int64_t BigInt_SetWord(BigInt* r, uint32_t w) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    BigInt_SetWordInternal(r, w);
    return 1;
}

int64_t BigInt_Copy(BigInt* r, const BigInt* a) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CopyInternal(r, a);
    return 1;
}

int64_t BigInt_Equal(const BigInt* a, const BigInt* b) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(b, BIGINT_CLASS_ID);
    return CompareMagnitude(a, b) == 0;
}

int32_t BigInt_Compare(const BigInt* a, const BigInt* b) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(b, BIGINT_CLASS_ID);
    if (a->Length != b->Length) return a->Length - b->Length;
    return CompareMagnitude(a, b);
}

int32_t BigInt_GetSign(const BigInt* a) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    if (a->Length == 0) return 0;
    return a->Sign ? -1 : 1;
}

int64_t BigInt_Negate(BigInt* r) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    if (r->Length) r->Sign ^= 1;
    return 1;
}

int64_t BigInt_IsBitSet(const BigInt* a, int32_t bit) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    if (bit < 0 || bit / 32 >= a->Length) return 0;
    return (a->Words[bit / 32] >> (bit % 32)) & 1;
}

int32_t BigInt_BitCount(const BigInt* a) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    if (a->Length == 0) return 0;
    const uint32_t w = a->Words[a->Length - 1];
    const uint8_t* bits = BigInt_BitsForWord.bits;
    int32_t top;
    if (w < 0x100)
        top = bits[w];
    else if (w < 0x10000)
        top = bits[w >> 8] + 8;
    else if (w < 0x1000000)
        top = bits[w >> 16] + 16;
    else
        top = bits[w >> 24] + 24;
    return top + 32 * (a->Length - 1);
}

int32_t BigInt_ByteCount(const BigInt* a) {
    return (BigInt_BitCount(a) + 7) / 8;
}

int64_t BigInt_Add(BigInt* r, const BigInt* a, const BigInt* b) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(b, BIGINT_CLASS_ID);
    BigInt_AddInternal(r, a, b);
    return 1;
}

int64_t BigInt_Subtract(BigInt* r, const BigInt* a, const BigInt* b) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(b, BIGINT_CLASS_ID);
    BigInt_SubtractInternal(r, a, b);
    return 1;
}

int64_t BigInt_Multiply(BigInt* r, const BigInt* a, const BigInt* b) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(b, BIGINT_CLASS_ID);
    BigInt_MultiplyInternal(r, a, b);
    return 1;
}

int64_t BigInt_ShiftLeft(BigInt* r, const BigInt* a, int32_t bits) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    if (bits < 0 || (int64_t)a->Length + bits / 32 + 1 > kMaxWords) return 0;
    ShiftLeftInternal(r, a, bits);
    return 1;
}

int64_t BigInt_ShiftRight(BigInt* r, const BigInt* a, int32_t bits) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    if (bits < 0) return 0;
    ShiftRightInternal(r, a, bits);
    return 1;
}

int64_t BigInt_BitAnd(BigInt* r, const BigInt* mask) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(mask, BIGINT_CLASS_ID);
    const int32_t n = r->Length < mask->Length ? r->Length : mask->Length;
    for (int32_t i = 0; i < n; i++) r->Words[i] &= mask->Words[i];
    if (r->Capacity > n) memset(r->Words + n, 0, (size_t)(r->Capacity - n) * sizeof(uint32_t));
    r->Length = n;
    Trim(r);
    return 1;
}

int64_t BigInt_Modulo(BigInt* r, const BigInt* a, const BigInt* m) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    ASSERT_MSG(r != m, "%s: the modulus is the result\n", "BigInt_Modulo");
    return BigInt_ModuloInternal(r, a, m);
}

int64_t BigInt_ModuloSquare(BigInt* r, const BigInt* a, const BigInt* m) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    ASSERT_MSG(r != m, "%s: the modulus is the result\n", "BigInt_ModuloSquare");
    return BigInt_ModuloSquareInternal(r, a, m);
}

int64_t BigInt_ModuloMultiply(BigInt* r, const BigInt* a, const BigInt* b, const BigInt* m) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(b, BIGINT_CLASS_ID);
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    ASSERT_MSG(r != m, "%s: the modulus is the result\n", "BigInt_ModuloMultiply");
    return BigInt_ModuloMultiplyInternal(r, a, b, m);
}

int64_t BigInt_ModuloInverse(BigInt* r, const BigInt* a, const BigInt* m) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    ASSERT_MSG(r != m, "%s: the modulus is the result\n", "BigInt_ModuloInverse");
    if (a->Length == 0 || a->Sign || m->Length == 0 || (m->Words[0] & 1) == 0) return 0;
    alignas(BigInt) unsigned char s0[sizeof(BigInt)], s1[sizeof(BigInt)], s2[sizeof(BigInt)],
        s3[sizeof(BigInt)], s4[sizeof(BigInt)];
    BigInt* u = BigInt_Stack(s0);
    BigInt* v = BigInt_Stack(s1);
    BigInt* x1 = BigInt_Stack(s2);
    BigInt* x2 = BigInt_Stack(s3);
    BigInt* mm = BigInt_Stack(s4);
    CopyInternal(mm, m);
    mm->Sign = 0;
    // Invariants: x1 a = u and x2 a = v (mod m), both x in 0 .. m - 1; u and v only shrink, so
    // the loop ends at gcd(a, m).
    CopyInternal(u, a);
    CopyInternal(v, mm);
    BigInt_SetWordInternal(x1, 1);
    if (CompareMagnitude(x1, mm) >= 0) x1->Length = 0;
    while (CompareMagnitude(u, v) != 0) {
        if ((u->Words[0] & 1) == 0) {
            ShiftRightInternal(u, u, 1);
            Half(x1, mm);
        } else if ((v->Words[0] & 1) == 0) {
            ShiftRightInternal(v, v, 1);
            Half(x2, mm);
        } else if (CompareMagnitude(u, v) > 0) {
            BigInt_UnsignedSubtract(u, u, v);
            ShiftRightInternal(u, u, 1);
            SubtractModulo(x1, x2, mm);
            Half(x1, mm);
        } else {
            BigInt_UnsignedSubtract(v, v, u);
            ShiftRightInternal(v, v, 1);
            SubtractModulo(x2, x1, mm);
            Half(x2, mm);
        }
    }
    const int64_t ok = u->Length == 1 && u->Words[0] == 1;
    if (ok) CopyInternal(r, x1);
    BigInt_Unstack(u);
    BigInt_Unstack(v);
    BigInt_Unstack(x1);
    BigInt_Unstack(x2);
    BigInt_Unstack(mm);
    return ok;
}

int64_t BigInt_ModuloPower(BigInt* r, const BigInt* base, const BigInt* exponent, const BigInt* m) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(base, BIGINT_CLASS_ID);
    CLASS_CHECK(exponent, BIGINT_CLASS_ID);
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    ASSERT_MSG(r != m, "%s: the modulus is the result\n", "BigInt_ModuloPower");
    if (m->Length == 0 || base->Sign || exponent->Sign) return 0;
    alignas(BigInt) unsigned char s0[sizeof(BigInt)], s1[sizeof(BigInt)], s2[sizeof(BigInt)];
    BigInt* result = BigInt_Stack(s0);
    BigInt* square = BigInt_Stack(s1);
    BigInt* t = BigInt_Stack(s2);
    BigInt_SetWordInternal(t, 1);
    ModuloMagnitude(result, t, m);
    ModuloMagnitude(square, base, m);
    const int32_t bits = BigInt_BitCount(exponent);
    for (int32_t i = 0; i < bits; i++) {
        if (BigInt_IsBitSet(exponent, i)) {
            BigInt_MultiplyInternal(t, result, square);
            ModuloMagnitude(result, t, m);
        }
        if (i + 1 < bits) {
            BigInt_MultiplyInternal(t, square, square);
            ModuloMagnitude(square, t, m);
        }
    }
    CopyInternal(r, result);
    BigInt_Unstack(result);
    BigInt_Unstack(square);
    BigInt_Unstack(t);
    return 1;
}

// ---- Montgomery context ----

int64_t BigInt_MontgomeryCreate(Montgomery** handle, const BigInt* m) {
    ASSERT_POINTER(handle);
    *handle = nullptr;
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    if (m->Length == 0 || (m->Words[0] & 1) == 0) return 0;
    Montgomery* c = static_cast<Montgomery*>(Memory_AllocZero(sizeof(Montgomery)));
    c->Header.ClassId = MONTGOMERY_CLASS_ID;
    c->Header.RefCount = 1;
    c->Header.Delete = DeleteMontgomeryHandle;
    InitEmbedded(&c->M);
    InitEmbedded(&c->R);
    InitEmbedded(&c->Mask);
    InitEmbedded(&c->MPrime);
    CopyInternal(&c->M, m);
    c->M.Sign = 0;
    c->K = (uint32_t)BigInt_BitCount(m) + 1;
    BigInt_SetWordInternal(&c->R, 1);
    ShiftLeftInternal(&c->R, &c->R, (int32_t)c->K);
    alignas(BigInt) unsigned char s0[sizeof(BigInt)], s1[sizeof(BigInt)];
    BigInt* one = BigInt_Stack(s0);
    BigInt* t = BigInt_Stack(s1);
    BigInt_SetWordInternal(one, 1);
    BigInt_UnsignedSubtract(&c->Mask, &c->R, one);
    // m^-1 mod R by Newton's iteration x = x (2 - m x), which doubles the correct low bits each
    // round starting from the one bit that 1 = m^-1 mod 2 gives; m' is then R - m^-1.
    BigInt* x = &c->MPrime;
    BigInt_SetWordInternal(x, 1);
    for (uint32_t good = 1; good < c->K; good *= 2) {
        BigInt_MultiplyInternal(t, &c->M, x);
        BigInt_BitAnd(t, &c->Mask);
        BigInt_UnsignedSubtract(t, &c->R, t); // -m x mod R, with R added: 2 - m x = (R - m x) + 2
        BigInt_SetWordInternal(one, 2);
        BigInt_UnsignedAdd(t, t, one);
        BigInt_BitAnd(t, &c->Mask);
        BigInt_MultiplyInternal(one, x, t);
        CopyInternal(x, one);
        BigInt_BitAnd(x, &c->Mask);
    }
    BigInt_UnsignedSubtract(x, &c->R, x);
    BigInt_BitAnd(x, &c->Mask);
    BigInt_Unstack(one);
    BigInt_Unstack(t);

    // The products' own form: whole limbs, n0 = -m^-1 mod 2^64 by the same iteration on one
    // limb (m is its own inverse to 3 bits; each round doubles that), R'^2 mod m.
    const int32_t n = (m->Length + 1) / 2;
    c->Limbs = n;
    c->LimbM = static_cast<uint64_t*>(Memory_AllocZero((size_t)n * sizeof(uint64_t)));
    c->LimbRR = static_cast<uint64_t*>(Memory_AllocZero((size_t)n * sizeof(uint64_t)));
    LoadLimbs(c->LimbM, n, &c->M);
    uint64_t inverse = c->LimbM[0];
    for (int i = 0; i < 5; i++) inverse *= 2 - c->LimbM[0] * inverse;
    c->N0 = 0 - inverse;
    BigInt* rr = BigInt_Stack(s0);
    BigInt_SetWordInternal(rr, 1);
    ShiftLeftInternal(rr, rr, 128 * n);
    ModuloMagnitude(rr, rr, &c->M);
    LoadLimbs(c->LimbRR, n, rr);
    BigInt_Unstack(rr);
    *handle = c;
    return 1;
}

int64_t BigInt_MontgomeryDestroy(Montgomery** handle) {
    ASSERT_POINTER(handle);
    CLASS_CHECK(*handle, MONTGOMERY_CLASS_ID);
    Montgomery_Delete(*handle);
    *handle = nullptr;
    return 1;
}

int64_t Montgomery_GetInstanceId(Montgomery* context, char* buffer, int32_t size) {
    CLASS_CHECK(context, MONTGOMERY_CLASS_ID);
    ASSERT_POINTER(buffer);
    String_CopyLengthSafe(buffer, size, context->Header.InstanceId,
                          (int32_t)sizeof(context->Header.InstanceId));
    return 1;
}

int64_t Montgomery_AddRef(Montgomery* context) {
    CLASS_CHECK(context, MONTGOMERY_CLASS_ID);
    Class_AddRef(context);
    return 1;
}

int64_t Montgomery_Release(Montgomery** handle) {
    ASSERT_POINTER(handle);
    if (*handle == nullptr) return 0;
    CLASS_CHECK(*handle, MONTGOMERY_CLASS_ID);
    Class_Release(handle);
    return 1;
}

int32_t BigInt_MontgomeryGetModuloByteCount(Montgomery* context) {
    CLASS_CHECK(context, MONTGOMERY_CLASS_ID);
    return BigInt_ByteCount(&context->M);
}

namespace {

// Fixed windows for a secret exponent: wider windows save products, but every window scans the
// whole table.
int32_t FixedWindow(int32_t bits) {
    return bits > 512 ? 5 : bits > 128 ? 4 : bits > 32 ? 3 : 1;
}

// Sliding windows over odd powers for a public exponent.
int32_t SlidingWindow(int32_t bits) {
    return bits <= 20 ? 1 : bits <= 80 ? 3 : bits <= 240 ? 4 : bits <= 672 ? 5 : 6;
}

bool PowerArgumentsValid(BigInt* r, const BigInt* base, const BigInt* exponent, Montgomery* context) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(base, BIGINT_CLASS_ID);
    CLASS_CHECK(exponent, BIGINT_CLASS_ID);
    CLASS_CHECK(context, MONTGOMERY_CLASS_ID);
    return !base->Sign && !exponent->Sign;
}

// r = acc / R' mod m, out of Montgomery form.
void FromMontgomery(const Montgomery* c, BigInt* r, uint64_t* acc, uint64_t* t) {
    const int32_t n = c->Limbs;
    uint64_t* one = t + n + 2;
    memset(one, 0, (size_t)n * sizeof(uint64_t));
    one[0] = 1;
    BigInt_MontgomeryProduct(c, acc, acc, one, t);
    StoreLimbs(r, acc, n);
}

} // namespace

// Fixed windows of the exponent from the top, each window's power taken from the table by a full
// scan, every product reduced with the masked final subtraction: the sequence of operations and
// the addresses read depend only on the sizes of the exponent and the modulus.
int64_t BigInt_MontgomeryPower(BigInt* r, const BigInt* base, const BigInt* exponent, Montgomery* context) {
    if (!PowerArgumentsValid(r, base, exponent, context)) return 0;
    const int32_t n = context->Limbs;
    const int32_t mBits = BigInt_BitCount(&context->M), eBits = BigInt_BitCount(exponent);
    const int32_t bits = eBits > mBits ? eBits : mBits;
    const int32_t w = FixedWindow(bits);
    const uint32_t entries = UINT32_C(1) << w;
    const size_t count = ((size_t)entries + 4) * (size_t)n + 2;
    LimbBuffer storage((int32_t)count);
    uint64_t* table = storage.get();
    uint64_t* acc = table + (size_t)entries * (size_t)n;
    uint64_t* entry = acc + n;
    uint64_t* t = entry + n; // 2n + 2
    // table[i] = base^i in Montgomery form; table[0] = R' mod m, the form of 1.
    ToMontgomery(context, table + n, base, t);
    memset(acc, 0, (size_t)n * sizeof(uint64_t));
    acc[0] = 1;
    BigInt_MontgomeryProduct(context, table, context->LimbRR, acc, t);
    for (uint32_t i = 2; i < entries; i++)
        BigInt_MontgomeryProduct(context, table + (size_t)i * n, table + (size_t)(i - 1) * n, table + n, t);
    const int32_t windows = (bits + w - 1) / w;
    SelectEntry(acc, table, entries, n, ExponentBits(exponent, (windows - 1) * w, w));
    for (int32_t i = windows - 2; i >= 0; i--) {
        for (int32_t s = 0; s < w; s++) MontgomerySquare(context, acc, acc, t);
        SelectEntry(entry, table, entries, n, ExponentBits(exponent, i * w, w));
        BigInt_MontgomeryProduct(context, acc, acc, entry, t);
    }
    FromMontgomery(context, r, acc, t);
    Wipe(storage.get(), count);
    return 1;
}

// Left to right over sliding windows that start and end on set bits: fewest products, but which
// products run follows the exponent's bits, so the exponent must be public.
int64_t BigInt_MontgomeryPowerPublic(BigInt* r, const BigInt* base, const BigInt* exponent,
                                     Montgomery* context) {
    if (!PowerArgumentsValid(r, base, exponent, context)) return 0;
    const int32_t n = context->Limbs;
    const int32_t bits = BigInt_BitCount(exponent);
    const int32_t w = SlidingWindow(bits);
    const uint32_t entries = UINT32_C(1) << (w - 1);
    LimbBuffer storage((int32_t)(((size_t)entries + 4) * (size_t)n + 2));
    uint64_t* table = storage.get(); // base^1, base^3, base^5 ...
    uint64_t* acc = table + (size_t)entries * (size_t)n;
    uint64_t* square = acc + n;
    uint64_t* t = square + n; // 2n + 2
    ToMontgomery(context, table, base, t);
    if (entries > 1) MontgomerySquare(context, square, table, t);
    for (uint32_t i = 1; i < entries; i++)
        BigInt_MontgomeryProduct(context, table + (size_t)i * n, table + (size_t)(i - 1) * n, square, t);
    // The form of 1 until the first window.
    memset(square, 0, (size_t)n * sizeof(uint64_t));
    square[0] = 1;
    BigInt_MontgomeryProduct(context, acc, context->LimbRR, square, t);
    bool started = false;
    for (int32_t i = bits - 1; i >= 0;) {
        if (!BigInt_IsBitSet(exponent, i)) {
            if (started) MontgomerySquare(context, acc, acc, t);
            i--;
            continue;
        }
        int32_t low = i - w + 1 < 0 ? 0 : i - w + 1;
        while (!BigInt_IsBitSet(exponent, low)) low++;
        const uint32_t value = ExponentBits(exponent, low, i - low + 1);
        const uint64_t* power = table + (size_t)(value / 2) * (size_t)n;
        if (started) {
            for (int32_t s = low; s <= i; s++) MontgomerySquare(context, acc, acc, t);
            BigInt_MontgomeryProduct(context, acc, acc, power, t);
        } else {
            memcpy(acc, power, (size_t)n * sizeof(uint64_t));
            started = true;
        }
        i = low - 1;
    }
    FromMontgomery(context, r, acc, t);
    return 1;
}

// ---- Random ----

int64_t BigInt_SetRandomNumberForTest(BigInt* value) {
    if (value) BigInt_AddRef(value);
    BigInt* old = GlobalRandomNumberForTest;
    GlobalRandomNumberForTest = value;
    if (old) BigInt_Release(&old);
    return 1;
}

int64_t BigInt_ModuloRandom(BigInt* r, const BigInt* m) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    CLASS_CHECK(m, BIGINT_CLASS_ID);
    ASSERT_MSG(r != m, "%s: the modulus is the result\n", "BigInt_ModuloRandom");
    if (m->Length == 0) return 0;
    if (GlobalRandomNumberForTest) {
        CopyInternal(r, GlobalRandomNumberForTest);
        return 1;
    }
    // Exactly as many bits as m has, redrawn while the value is 0 or not below m: every value in
    // 1 .. m - 1 is equally likely, and each draw succeeds with probability at least 1/4 (m of
    // at least 2 bits), so a failure to find one is a broken random source, not bad luck.
    const int32_t bits = BigInt_BitCount(m);
    const int32_t words = (bits + 31) / 32;
    const uint32_t topMask = bits % 32 ? (UINT32_C(1) << (bits % 32)) - 1 : UINT32_MAX;
    alignas(BigInt) unsigned char s0[sizeof(BigInt)];
    BigInt* t = BigInt_Stack(s0);
    BigInt_ExpandInt(t, words);
    int64_t ok = 0;
    for (int32_t draw = 0; draw < kRandomDraws && !ok; draw++) {
        if (!Platform_CryptFill(t->Words, words * (int32_t)sizeof(uint32_t))) break;
        t->Words[words - 1] &= topMask;
        t->Length = words;
        t->Sign = 0;
        Trim(t);
        ok = t->Length != 0 && CompareMagnitude(t, m) < 0;
    }
    if (ok) CopyInternal(r, t);
    BigInt_Unstack(t);
    return ok;
}

// ---- Byte and text forms ----

int64_t BigInt_ImportBinary(BigInt* r, const uint8_t* bytes, uint32_t count) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    if (count) ASSERT_POINTER(bytes);
    const int64_t words = ((int64_t)count + 3) / 4;
    if (words > kMaxWords) return 0;
    BigInt_ExpandInt(r, words);
    // From the least significant end: word i holds the bytes count-4i-4 .. count-4i-1; the most
    // significant word takes the 1 to 4 leftover bytes.
    for (int64_t i = 0; i < words; i++) {
        uint32_t w = 0;
        const int64_t end = (int64_t)count - 4 * i;
        const int64_t start = end >= 4 ? end - 4 : 0;
        for (int64_t j = start; j < end; j++) w = w << 8 | bytes[j];
        r->Words[i] = w;
    }
    r->Length = (int32_t)words;
    r->Sign = 0;
    Trim(r);
    return 1;
}

int64_t BigInt_ExportBinary(const BigInt* a, uint8_t* buffer, uint32_t size, uint32_t* count) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    ASSERT_POINTER(count);
    *count = 0;
    const uint32_t n = (uint32_t)BigInt_ByteCount(a);
    if (n == 0) return 1;
    if (n > size) return 0;
    ASSERT_POINTER(buffer);
    for (uint32_t i = 0; i < n; i++) {
        const uint32_t byte = n - 1 - i; // significance of buffer[i]
        buffer[i] = (uint8_t)(a->Words[byte / 4] >> (8 * (byte % 4)));
    }
    *count = n;
    return 1;
}

int64_t BigInt_ExportBinaryFixedSize(const BigInt* a, uint8_t* buffer, uint32_t size) {
    uint32_t n = 0;
    if (!BigInt_ExportBinary(a, buffer, size, &n)) return 0;
    if (n < size) {
        memmove(buffer + (size - n), buffer, n);
        memset(buffer, 0, size - n);
    }
    return 1;
}

namespace {

int32_t HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

int64_t BigInt_ImportHex(BigInt* r, const char* text) {
    CLASS_CHECK(r, BIGINT_CLASS_ID);
    ASSERT_POINTER(text);
    if (text[0] == 0) return 0;
    uint32_t sign = 0;
    if (text[0] == '-') {
        sign = 1;
        text++;
    }
    size_t digits = 0;
    while (HexValue(text[digits]) >= 0) digits++;
    const int64_t words = (int64_t)((digits + 7) / 8);
    if (words > kMaxWords) return 0;
    BigInt_ExpandInt(r, words);
    for (int64_t i = 0; i < words; i++) {
        const size_t end = digits - 8 * (size_t)i;
        const size_t start = end >= 8 ? end - 8 : 0;
        uint32_t w = 0;
        for (size_t j = start; j < end; j++) w = w << 4 | (uint32_t)HexValue(text[j]);
        r->Words[i] = w;
    }
    r->Length = (int32_t)words;
    r->Sign = sign;
    // Zero is never negative, also when read as "-" or "-0".
    Trim(r);
    return 1;
}

int64_t BigInt_ExportHex(const BigInt* a, char* buffer, uint32_t size) {
    CLASS_CHECK(a, BIGINT_CLASS_ID);
    ASSERT_POINTER(buffer);
    const uint64_t n = (uint64_t)BigInt_ByteCount(a);
    if (2 * n + 1 > size) return 0;
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (uint64_t i = 0; i < n; i++) {
        const uint64_t byte = n - 1 - i;
        const uint8_t b = (uint8_t)(a->Words[byte / 4] >> (8 * (byte % 4)));
        buffer[2 * i] = kDigits[b >> 4];
        buffer[2 * i + 1] = kDigits[b & 15];
    }
    buffer[2 * n] = 0;
    return 1;
}

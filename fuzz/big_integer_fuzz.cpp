// Reads arbitrary text as hexadecimal and arbitrary bytes as a big-endian number, checks that
// both forms come back unchanged, and checks the modular operations on the values read against
// each other: both Montgomery powers against plain powers, inverses by multiplying back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "core/crypto/big_integer.h"

namespace {

struct Num {
    BigInt* p = nullptr;
    Num() { BigInt_Create(&p); }
    ~Num() { BigInt_Release(&p); }
    operator BigInt*() const { return p; }
};

void Check(bool ok) {
    if (!ok) abort();
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const uint8_t selector = data[0];
    data++;
    size--;

    // Text: the value's digits, without leading zeros, must come back as the export's digits.
    std::string text(reinterpret_cast<const char*>(data), size);
    text = text.c_str(); // the part before any NUL
    Num h;
    const int64_t read = BigInt_ImportHex(h, text.c_str());
    Check(read == (text.empty() ? 0 : 1));
    if (read) {
        size_t at = text[0] == '-' ? 1 : 0;
        size_t end = at;
        while (end < text.size() && HexValue(text[end]) >= 0) end++;
        while (at < end && text[at] == '0') at++;
        std::string digits;
        for (size_t i = at; i < end; i++) digits += (char)toupper((unsigned char)text[i]);
        if (digits.size() % 2) digits = "0" + digits;
        std::vector<char> out(digits.size() + 1, '\x5A');
        Check(BigInt_ExportHex(h, out.data(), (uint32_t)out.size()) == 1);
        Check(digits == out.data());
        Check(BigInt_GetSign(h) == (digits.empty() ? 0 : (text[0] == '-' ? -1 : 1)));
        Check(BigInt_ExportHex(h, out.data(), (uint32_t)out.size() - 1) == 0);
    }

    // Bytes: the export is the input without its leading zero bytes.
    Num b;
    Check(BigInt_ImportBinary(b, data, (uint32_t)size) == 1);
    size_t first = 0;
    while (first < size && data[first] == 0) first++;
    std::vector<uint8_t> bytes(size + 1, 0x5A);
    uint32_t count = 0;
    Check(BigInt_ExportBinary(b, bytes.data(), (uint32_t)size, &count) == 1);
    Check(count == size - first && memcmp(bytes.data(), data + first, count) == 0);
    Check(bytes[size] == 0x5A);

    // Arithmetic on the two halves of the bytes, kept small enough for the plain power.
    const size_t half = size / 2 < 48 ? size / 2 : 48;
    Num x, m, r1, r2, t;
    BigInt_ImportBinary(x, data, (uint32_t)half);
    BigInt_ImportBinary(m, data + half, (uint32_t)half);
    if (BigInt_GetSign(m) == 0) return 0;
    if (selector & 1) {
        BigInt_SetWord(t, 1);
        BigInt_Add(m, m, t);
    }
    // The remainder against plain shift-and-subtract.
    Check(BigInt_Modulo(r1, x, m) == 1);
    BigInt_Copy(r2, x);
    if (BigInt_Compare(r2, m) >= 0) {
        int32_t shift = BigInt_BitCount(r2) - BigInt_BitCount(m);
        BigInt_ShiftLeft(t, m, shift);
        for (; shift >= 0; shift--) {
            if (BigInt_Compare(r2, t) >= 0) BigInt_Subtract(r2, r2, t);
            BigInt_ShiftRight(t, t, 1);
        }
    }
    Check(BigInt_Equal(r1, r2) && BigInt_Compare(r1, m) < 0);

    Montgomery* c = nullptr;
    const bool odd = BigInt_IsBitSet(m, 0);
    Check(BigInt_MontgomeryCreate(&c, m) == (odd ? 1 : 0));
    Num e;
    BigInt_SetWord(e, (uint32_t)selector * 2654435761u);
    if (c) {
        Check(BigInt_MontgomeryPower(r1, x, e, c) == 1);
        Check(BigInt_ModuloPower(r2, x, e, m) == 1);
        Check(BigInt_Equal(r1, r2));
        Check(BigInt_MontgomeryPowerPublic(r1, x, e, c) == 1);
        Check(BigInt_Equal(r1, r2));
        BigInt_MontgomeryDestroy(&c);
        if (BigInt_GetSign(x) != 0 && BigInt_ModuloInverse(r1, x, m)) {
            BigInt_ModuloMultiply(r2, r1, x, m);
            BigInt_SetWord(t, 1);
            Check(BigInt_Compare(m, t) == 0 ? BigInt_GetSign(r2) == 0 : BigInt_Equal(r2, t));
        }
    }
    return 0;
}

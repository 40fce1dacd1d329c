// Feeds arbitrary text to the bit field's Base64 and hexadecimal readers, for field sizes taken
// from the input, and checks that a refused text leaves the field as it was, that an accepted one
// keeps the set count exact and the bits past the size clear, and that the writers round-trip.
#include <bit>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/runtime/bit_field.h"

namespace {

std::vector<uint8_t> Bytes(BitField* field) {
    int32_t n = 0;
    BitField_GetTotalBytes(field, &n);
    std::vector<uint8_t> out((size_t)n);
    if (n > 0) BitField_BufferWrite(field, out.data(), n);
    return out;
}

void CheckInvariants(BitField* field) {
    int32_t bits = 0, set = 0;
    BitField_GetTotalBits(field, &bits);
    BitField_GetNonZeroBits(field, &set);
    std::vector<uint8_t> bytes = Bytes(field);
    int32_t counted = 0;
    for (uint8_t b : bytes) counted += std::popcount(b);
    if (counted != set) abort();
    if (bits % 8 != 0 && (bytes.back() & (0xFF >> (bits % 8))) != 0) abort();
}

// Writes the field in both text forms and reads each back into a fresh field of the same size.
void CheckRoundTrip(BitField* field) {
    int32_t bits = 0, size = 0;
    BitField_GetTotalBits(field, &bits);
    BitField* copy = nullptr;
    BitField_Create(&copy);
    BitField_SetTotalBits(copy, bits);

    BitField_ToBase64StringLength(field, &size);
    std::vector<char> text((size_t)size + 8, (char)0x5A);
    if (BitField_ToBase64String(field, text.data(), size) != 1) abort();
    for (size_t i = (size_t)size; i < text.size(); i++)
        if (text[i] != 0x5A) abort();
    if (BitField_FromBase64String(copy, text.data()) != 1 || Bytes(copy) != Bytes(field)) abort();

    BitField_ClearAll(copy);
    BitField_ToHexStringLength(field, &size);
    text.assign((size_t)size + 8, (char)0x5A);
    if (BitField_ToHexString(field, text.data(), size) != 1) abort();
    if ((int32_t)strlen(text.data()) != size - 1) abort();
    if (BitField_FromHexString(copy, text.data()) != 1 || Bytes(copy) != Bytes(field)) abort();
    BitField_Release(&copy);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size > 65536) return 0;
    const int32_t bits = (int32_t)(data[0] | (data[1] & 0x3F) << 8); // 0 .. 16383
    const uint8_t mode = data[2];
    const uint8_t fill = data[3];
    data += 4;
    size -= 4;

    BitField* field = nullptr;
    BitField_Create(&field);
    BitField_SetTotalBits(field, bits);
    // Some bits set beforehand, so that a partial write would show.
    BitField_SetRange(field, fill % 13, bits / 3);
    if (bits > 0) BitField_Set(field, bits - 1);
    const std::vector<uint8_t> before = Bytes(field);

    // The text exactly as given (no terminator after it) or as a terminated copy.
    const char* text = reinterpret_cast<const char*>(data);
    std::vector<char> terminated(text, text + size);
    terminated.push_back(0);
    int64_t result = 0;
    switch (mode & 3) {
    case 0:
        result = BitField_FromBase64StringLength(field, text, (int32_t)size);
        break;
    case 1:
        result = BitField_FromHexStringLength(field, text, (int32_t)size);
        break;
    case 2:
        result = BitField_FromBase64String(field, terminated.data());
        break;
    default:
        result = BitField_FromHexString(field, terminated.data());
        break;
    }
    if (result != 0 && result != 1) abort();
    if (result == 0 && Bytes(field) != before) abort();
    CheckInvariants(field);
    if (result == 1 && (mode & 1)) {
        // Accepted hex text: exactly two digits per byte, after an optional "0x".
        const size_t n = strnlen(terminated.data(), size);
        const size_t digits = n >= 2 && terminated[0] == '0' && (terminated[1] | 0x20) == 'x' ? n - 2 : n;
        if (digits != before.size() * 2) abort();
    }
    CheckRoundTrip(field);
    BitField_Release(&field);
    return 0;
}

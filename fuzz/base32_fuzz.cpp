// Feeds arbitrary bytes, alphabets and capacities to the Base32 encoder and checks the text's
// shape against RFC 4648 grouping and that nothing is written past the buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/formats/base32.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int32_t capacity = (int32_t)(data[0] | (data[1] & 0x0F) << 8) - 8; // -8 .. 4087
    data += 2;
    size -= 2;
    if (size > (1u << 20)) return 0;
    int32_t room = capacity > 0 ? capacity : 0;
    // The alphabet: the RFC one unless the input starts with 32 non-zero bytes to use instead.
    char alphabet[33] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";
    if (size >= 32 && memchr(data, 0, 32) == nullptr && (data[0] & 1)) {
        memcpy(alphabet, data, 32);
        data += 32;
        size -= 32;
    }
    std::vector<char> text((size_t)room + 16, (char)0xA5);
    uint32_t written = 0;
    int64_t r = Base32_Encode(data, (int32_t)size, alphabet, text.data(), capacity, &written);
    if (written > (uint32_t)room || written % 8 != 0) abort();
    for (size_t i = (size_t)room; i < text.size(); i++)
        if ((uint8_t)text[i] != 0xA5) abort();
    uint32_t need = 0;
    if (!Base32_CalculateEncodeSize((uint32_t)size, &need)) abort();
    if (r == 1 && written != need - 1) abort();
    if (r == 0 && (int64_t)need - 1 <= (int64_t)room) abort(); // refused though it fitted
    // Only the last group may carry padding, and only in the RFC's places.
    for (uint32_t g = 0; g < written; g += 8) {
        int32_t pads = 0;
        for (int32_t k = 0; k < 8; k++) {
            bool isPad = text[g + k] == '=' && memchr(alphabet, '=', 32) == nullptr;
            if (isPad)
                pads++;
            else if (pads > 0 && memchr(alphabet, '=', 32) == nullptr)
                abort();
        }
        if (pads != 0 && pads != 1 && pads != 3 && pads != 4 && pads != 6) abort();
        if (pads != 0 && g + 8 != written) abort();
    }
    return 0;
}

// Decodes arbitrary delta windows against a source of a length, window offset and output capacity
// taken from the input, and checks that nothing is written past the output and that the position
// stays within it.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "repository/vcdiff_decoder.h"

namespace {

constexpr uint8_t kGuard = 0xA5;
constexpr uint32_t kGuardBytes = 32;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 6 || size > (1u << 20)) return 0;
    const uint32_t capacity = data[0] | (uint32_t)data[1] << 8;
    const uint32_t sourceLength = data[2] | (uint32_t)data[3] << 8;
    const uint32_t lead = data[4] % 8; // bytes already in the output before this window
    const uint32_t offset = data[5] % 16;
    data += 6;
    size -= 6;

    // Exactly sized buffers, so that the sanitizer sees any read past the delta or the source.
    std::vector<uint8_t> delta(data, data + size);
    std::vector<uint8_t> source(sourceLength);
    for (uint32_t i = 0; i < sourceLength; i++) source[i] = (uint8_t)(i * 131 + 7);
    std::vector<uint8_t> output(capacity + kGuardBytes, kGuard);

    VCDiffDecoder* decoder = nullptr;
    VCDiffDecoder_Create(&decoder);
    VCDiffDecoder_SetDeltaBuffer(decoder, delta.data(), (uint32_t)delta.size());
    VCDiffDecoder_SetSourceBuffer(decoder, source.empty() ? nullptr : source.data(), sourceLength);
    VCDiffDecoder_SetSourceWindowOffset(decoder, offset);
    if (VCDiffDecoder_Init(decoder)) {
        const uint32_t start = lead < capacity ? lead : capacity;
        uint32_t position = start;
        const int64_t decoded = VCDiffDecoder_Decode(decoder, output.data(), capacity, &position);
        if (position < start || position > capacity) abort();
        for (uint32_t i = capacity; i < output.size(); i++)
            if (output[i] != kGuard) abort();
        // A window decoded whole is used up: decoding it again writes nothing.
        const uint32_t end = position;
        if (decoded && (!VCDiffDecoder_Decode(decoder, output.data(), capacity, &position) || position != end))
            abort();
    }
    VCDiffDecoder_Release(&decoder);
    return 0;
}

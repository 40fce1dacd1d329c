// Feeds arbitrary text to the Base64 decoders and arbitrary bytes to the encoders, with capacities
// taken from the input, and checks round trips and that nothing is written past a buffer.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/formats/base64.h"
#include "core/formats/base64_simd.h"
#include "core/platform/memory_stream.h"

namespace {

constexpr uint8_t kGuard = 0xA5;

void CheckGuard(const std::vector<uint8_t>& buffer, size_t from) {
    for (size_t i = from; i < buffer.size(); i++)
        if (buffer[i] != kGuard) abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int32_t capacity = (int32_t)(data[0] | (data[1] & 0x0F) << 8) - 8; // -8 .. 4087
    data += 2;
    size -= 2;
    if (size > (1u << 20)) return 0;
    int32_t room = capacity > 0 ? capacity : 0;

    // Decoders: the text is NUL-terminated at the end of the input (it may hold NULs earlier).
    std::vector<char> text(data, data + size);
    text.push_back(0);
    std::vector<uint8_t> out((size_t)room + 16, kGuard);
    uint32_t decoded = 0;
    int64_t r = Base64_Decode(text.data(), (int32_t)size, out.data(), capacity, &decoded);
    if (decoded > (uint32_t)room || (room > 0 && r == 1 && decoded >= (uint32_t)room)) abort();
    CheckGuard(out, (size_t)room);
    std::vector<uint8_t> urlOut((size_t)room + 16, kGuard);
    uint32_t urlDecoded = 0;
    Base64_UrlDecode(text.data(), (int32_t)size, urlOut.data(), capacity, &urlDecoded);
    if (urlDecoded > (uint32_t)room) abort();
    CheckGuard(urlOut, (size_t)room);

    // Every vector engine the processor has gives the byte-wise answers, byte for byte.
    {
        struct Run {
            int64_t Results[4];
            uint32_t Counts[4];
            std::vector<uint8_t> Buffers[4];
        };
        auto runAll = [&](int32_t engine) {
            Base64Simd_Select(engine);
            Run run{};
            for (int k = 0; k < 4; k++) {
                run.Buffers[k].assign((size_t)room + 16, kGuard);
                uint8_t* b = run.Buffers[k].data();
                if (k == 0)
                    run.Results[k] = Base64_Decode(text.data(), (int32_t)size, b, capacity, &run.Counts[k]);
                if (k == 1)
                    run.Results[k] =
                        Base64_UrlDecode(text.data(), (int32_t)size, b, capacity, &run.Counts[k]);
                if (k == 2)
                    run.Results[k] = Base64_Encode(data, (int32_t)size, (char*)b, capacity, &run.Counts[k]);
                if (k == 3)
                    run.Results[k] =
                        Base64_UrlEncode(data, (int32_t)size, (char*)b, capacity, &run.Counts[k]);
            }
            return run;
        };
        const int32_t best = Base64Simd_Select(BASE64_ENGINE_AVX2);
        const Run scalar = runAll(BASE64_ENGINE_SCALAR);
        for (int32_t engine = BASE64_ENGINE_SSSE3; engine <= best; engine++) {
            const Run vector = runAll(engine);
            for (int k = 0; k < 4; k++)
                if (vector.Results[k] != scalar.Results[k] || vector.Counts[k] != scalar.Counts[k] ||
                    vector.Buffers[k] != scalar.Buffers[k])
                    abort();
        }
        Base64Simd_Select(best);
    }

    // A successful decode re-encodes to text that decodes to the same bytes.
    if (r == 1) {
        uint32_t need = 0;
        if (!Base64_CalculateEncodeSize(decoded, &need)) abort();
        std::vector<char> again(need + 16, (char)kGuard);
        uint32_t written = 0;
        if (Base64_Encode(out.data(), (int32_t)decoded, again.data(), (int32_t)need, &written) != 1) abort();
        uint32_t backSize = 0;
        Base64_CalculateDecodeSize(written, &backSize);
        std::vector<uint8_t> back(backSize);
        uint32_t backCount = 0;
        if (Base64_Decode(again.data(), 0, back.data(), (int32_t)backSize, &backCount) != 1) abort();
        if (backCount != decoded || memcmp(back.data(), out.data(), decoded) != 0) abort();
    }

    // Encoders with the caller's capacity.
    std::vector<char> enc((size_t)room + 16, (char)kGuard);
    uint32_t written = 0;
    r = Base64_Encode(data, (int32_t)size, enc.data(), capacity, &written);
    if (written > (uint32_t)room || written % 4 != 0) abort();
    for (size_t i = (size_t)room; i < enc.size(); i++)
        if ((uint8_t)enc[i] != kGuard) abort();
    if (r == 1) {
        uint32_t backSize = 0;
        Base64_CalculateDecodeSize(written, &backSize);
        std::vector<uint8_t> back(backSize);
        std::vector<char> copy(enc.begin(), enc.begin() + written);
        copy.push_back(0);
        uint32_t backCount = 0;
        if (Base64_Decode(copy.data(), 0, back.data(), (int32_t)backSize, &backCount) != 1) abort();
        if (backCount != size || memcmp(back.data(), data, size) != 0) abort();
    }
    written = 0;
    r = Base64_UrlEncode(data, (int32_t)size, enc.data(), capacity, &written);
    if (written > (uint32_t)room) abort();
    for (size_t i = (size_t)room; i < enc.size(); i++)
        if ((uint8_t)enc[i] != kGuard) abort();
    if (r == 1) {
        std::vector<uint8_t> back(size + 16);
        uint32_t backCount = 0;
        if (Base64_UrlDecode(enc.data(), (int32_t)written, back.data(), (int32_t)size + 16, &backCount) != 1)
            abort();
        if (backCount != size || memcmp(back.data(), data, size) != 0) abort();
    }

    // The macro keys, over a value buffer of the caller's capacity.
    static const char* kKeys[] = {"FromBase64",  "ToBase64",    "Base64ToHex",
                                  "HexToBase64", "ToBase64Url", "FromBase64Url"};
    std::vector<char> value((size_t)room + 16, (char)kGuard);
    std::vector<char> argument = text;
    Base64_ExpandKey(nullptr, kKeys[size % 6], argument.data(), value.data(), capacity);
    for (size_t i = (size_t)room; i < value.size(); i++)
        if ((uint8_t)value[i] != kGuard) abort();

    // The layered stream: the input written as text in parts decodes like one write, and the
    // decoded bytes read back through the stream give whole groups of text.
    MemoryStream* memory = nullptr;
    Base64Stream* coder = nullptr;
    Stream* base = nullptr;
    Stream* layered = nullptr;
    MemoryStream_Create(&memory);
    MemoryStream_SetAutoGrow(memory, 1);
    MemoryStream_GetStreamHandle(memory, &base);
    Base64Stream_Create(&coder);
    Base64Stream_SetBaseStreamHandle(coder, base);
    Base64Stream_GetStreamHandle(coder, &layered);
    uint32_t part = (uint32_t)(room % 97) + 1;
    for (size_t at = 0; at < size;) {
        uint32_t want = (uint32_t)std::min<size_t>(part, size - at);
        uint32_t took = 0;
        if (!Stream_Write(layered, data + at, want, &took) || took == 0 || took > want) abort();
        at += took;
    }
    Base64Stream_Seek(coder, 0, SEEK_ORIGIN_BEGIN);
    std::vector<char> chunk(part + 4);
    for (;;) {
        uint32_t got = 0;
        if (!Stream_Read(layered, chunk.data(), (uint32_t)chunk.size(), &got)) abort();
        if (got == 0) break;
        if (got % 4 != 0 || got > chunk.size()) abort();
    }
    Base64Stream_Delete(&coder);
    MemoryStream_Delete(&memory);
    return 0;
}

// Base64 encoding and decoding throughput over 1 KiB and 1 MiB, side by side with OpenSSL's
// one-shot block coders (when the build found libcrypto), and the byte-wise engine for scale.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/formats/base64.h"
#include "core/formats/base64_simd.h"

#ifdef QVR_HAVE_OPENSSL
#include <openssl/evp.h>
#endif

namespace {

std::vector<uint8_t> Buffer(size_t size) {
    std::vector<uint8_t> data(size);
    uint32_t x = 0x9E3779B9u;
    for (uint8_t& b : data) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = (uint8_t)x;
    }
    return data;
}

// The standard padded text of the bytes, NUL-terminated.
std::vector<char> Text(const std::vector<uint8_t>& data) {
    uint32_t size = 0;
    Base64_CalculateEncodeSize((uint32_t)data.size(), &size);
    std::vector<char> text(size);
    uint32_t written = 0;
    Base64_Encode(data.data(), (int32_t)data.size(), text.data(), (int32_t)size, &written);
    return text;
}

void OursEncode(benchmark::State& state, int32_t engine) {
    Base64Simd_Select(engine);
    const std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    uint32_t size = 0;
    Base64_CalculateEncodeSize((uint32_t)data.size(), &size);
    std::vector<char> text(size);
    for (auto _ : state) {
        uint32_t written = 0;
        Base64_Encode(data.data(), (int32_t)data.size(), text.data(), (int32_t)size, &written);
        benchmark::DoNotOptimize(text.data());
    }
    Base64Simd_Select(BASE64_ENGINE_AVX2);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void OursDecode(benchmark::State& state, int32_t engine) {
    Base64Simd_Select(engine);
    const std::vector<char> text = Text(Buffer((size_t)state.range(0)));
    uint32_t size = 0;
    Base64_CalculateDecodeSize((uint32_t)text.size(), &size);
    std::vector<uint8_t> bytes(size);
    for (auto _ : state) {
        uint32_t decoded = 0;
        Base64_Decode(text.data(), (int32_t)text.size() - 1, bytes.data(), (int32_t)size, &decoded);
        benchmark::DoNotOptimize(bytes.data());
    }
    Base64Simd_Select(BASE64_ENGINE_AVX2);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

#ifdef QVR_HAVE_OPENSSL
void OpenSslEncode(benchmark::State& state) {
    const std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    std::vector<unsigned char> text((data.size() + 2) / 3 * 4 + 1);
    for (auto _ : state) {
        EVP_EncodeBlock(text.data(), data.data(), (int)data.size());
        benchmark::DoNotOptimize(text.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void OpenSslDecode(benchmark::State& state) {
    const std::vector<char> text = Text(Buffer((size_t)state.range(0)));
    std::vector<unsigned char> bytes(text.size() / 4 * 3 + 3);
    for (auto _ : state) {
        EVP_DecodeBlock(bytes.data(), (const unsigned char*)text.data(), (int)text.size() - 1);
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}
#endif

} // namespace

BENCHMARK_CAPTURE(OursEncode, best, BASE64_ENGINE_AVX2)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OursDecode, best, BASE64_ENGINE_AVX2)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OursEncode, bytewise, BASE64_ENGINE_SCALAR)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK_CAPTURE(OursDecode, bytewise, BASE64_ENGINE_SCALAR)->Arg(1 << 10)->Arg(1 << 20);
#ifdef QVR_HAVE_OPENSSL
BENCHMARK(OpenSslEncode)->Arg(1 << 10)->Arg(1 << 20);
BENCHMARK(OpenSslDecode)->Arg(1 << 10)->Arg(1 << 20);
PEER_RATIO("Base64 encode 1 KiB vs EVP_EncodeBlock", "OursEncode/best/1024", "OpenSslEncode/1024");
PEER_RATIO("Base64 encode 1 MiB vs EVP_EncodeBlock", "OursEncode/best/1048576", "OpenSslEncode/1048576");
PEER_RATIO("Base64 decode 1 KiB vs EVP_DecodeBlock", "OursDecode/best/1024", "OpenSslDecode/1024");
PEER_RATIO("Base64 decode 1 MiB vs EVP_DecodeBlock", "OursDecode/best/1048576", "OpenSslDecode/1048576");
PEER_RATIO("Base64 encode 1 MiB, byte-wise engine vs EVP_EncodeBlock", "OursEncode/bytewise/1048576",
           "OpenSslEncode/1048576");
PEER_RATIO("Base64 decode 1 MiB, byte-wise engine vs EVP_DecodeBlock", "OursDecode/bytewise/1048576",
           "OpenSslDecode/1048576");
#endif

PEER_RATIO_MAIN()

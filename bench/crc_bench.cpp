// CRC-32 throughput of CRC_Update against zlib's crc32 on a page-sized and a large buffer.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdint>
#include <vector>

#include "bench/peer_ratio.h"
#include "core/formats/crc.h"

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

void BM_CrcUpdate(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    for (auto _ : state) {
        uint32_t crc = CRC_Update(0, data.data(), (uint32_t)data.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

void BM_ZlibCrc32(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    for (auto _ : state) {
        uLong crc = crc32(0, data.data(), (uInt)data.size());
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

// The CRC object through the digest record, as the Hash front object drives it.
void BM_CrcObject(benchmark::State& state) {
    std::vector<uint8_t> data = Buffer((size_t)state.range(0));
    CRC* crc = nullptr;
    CRC_Create(&crc);
    for (auto _ : state) {
        CRC_Reset(crc);
        CRC_Process(crc, data.data(), (uint32_t)data.size());
        CRC_Generate(crc);
        benchmark::DoNotOptimize(crc->Value);
    }
    CRC_Delete(&crc);
    state.SetBytesProcessed((int64_t)state.iterations() * state.range(0));
}

} // namespace

BENCHMARK(BM_CrcUpdate)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_ZlibCrc32)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_CrcObject)->Arg(4096)->Arg(1 << 20);

PEER_RATIO("CRC-32 of 4 KiB vs zlib crc32", "BM_CrcUpdate/4096", "BM_ZlibCrc32/4096");
PEER_RATIO("CRC-32 of 1 MiB vs zlib crc32", "BM_CrcUpdate/1048576", "BM_ZlibCrc32/1048576");
PEER_RATIO("CRC-32 object of 1 MiB vs zlib crc32", "BM_CrcObject/1048576", "BM_ZlibCrc32/1048576");
PEER_RATIO_MAIN()

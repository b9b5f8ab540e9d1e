// BenchFirmFile.cpp - throughput of the firmware image CRC and check.
#include "session/FirmFile.h"
#include "session/FirmImageBuilder.h"

#include <benchmark/benchmark.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

std::vector<uint8_t> PatternBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    uint32_t x = 0x12345678u;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

// A CRC function over one buffer of range(0) bytes; reported as bytes per
// second.
template <typename Crc>
void CrcThroughput(benchmark::State& state, Crc crc) {
    const std::vector<uint8_t> data = PatternBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        uint16_t value = crc(data.data(), data.size());
        benchmark::DoNotOptimize(value);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}

void BM_ImageCrc16(benchmark::State& state) {
    CrcThroughput(state, [](const uint8_t* p, size_t n) { return azk::azk_CFirmFile::ImageCrc16(p, n, 0); });
}
BENCHMARK(BM_ImageCrc16)->Arg(64)->Arg(10240)->Arg(1 << 20);

// Peers for the figure above: the same CRC one byte per table look-up, and
// bit by bit (the image maker's reference).
void BM_ImageCrc16ByteTable(benchmark::State& state) {
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        // Entry n: the register after byte n from a zero register (previous
        // 0xFFFF undoes the initial inversion).
        for (uint32_t n = 0; n < 256; ++n) {
            const uint8_t byte = static_cast<uint8_t>(n);
            t[n] = static_cast<uint16_t>(~azk::azk_CFirmImageBuilder::Crc16(&byte, 1, 0xFFFF));
        }
        return t;
    }();
    CrcThroughput(state, [](const uint8_t* p, size_t n) {
        uint16_t reg = 0xFFFF;
        for (size_t i = 0; i < n; ++i) {
            reg = static_cast<uint16_t>((reg << 8) ^ table[((reg >> 8) ^ p[i]) & 0xFFu]);
        }
        return static_cast<uint16_t>(~reg);
    });
}
BENCHMARK(BM_ImageCrc16ByteTable)->Arg(1 << 20);

void BM_ImageCrc16Bitwise(benchmark::State& state) {
    CrcThroughput(state, [](const uint8_t* p, size_t n) { return azk::azk_CFirmImageBuilder::Crc16(p, n, 0); });
}
BENCHMARK(BM_ImageCrc16Bitwise)->Arg(1 << 20);

// A whole Load (check copy, descrambling, both CRCs, kept copy) of an image
// of range(0) bytes.
void BM_FirmFileLoad(benchmark::State& state) {
    azk::azk_CFirmImageBuilder builder;
    builder.SetKind(0).SetBody(PatternBytes(static_cast<size_t>(state.range(0)) - 560));
    const std::vector<uint8_t> image = builder.Build();
    for (auto _ : state) {
        azk::azk_CFirmFile file;
        int32_t rc = file.Load(image.data(), static_cast<uint32_t>(image.size()));
        benchmark::DoNotOptimize(rc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_FirmFileLoad)->Arg(10240)->Arg(1 << 20);

}  // namespace

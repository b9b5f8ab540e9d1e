// BenchFirmFile.cpp - throughput of the firmware image CRC and check.
#include "session/FirmFile.h"
#include "session/FirmImageBuilder.h"

#include <benchmark/benchmark.h>

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

// ImageCrc16 over one buffer of range(0) bytes; reported as bytes per second.
void BM_ImageCrc16(benchmark::State& state) {
    const std::vector<uint8_t> data = PatternBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) {
        uint16_t crc = azk::azk_CFirmFile::ImageCrc16(data.data(), data.size(), 0);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(BM_ImageCrc16)->Arg(64)->Arg(10240)->Arg(1 << 20);

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

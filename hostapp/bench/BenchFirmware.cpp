// BenchFirmware.cpp - a whole firmware update (command 64) of a 1 MiB image
// over the sim bus against the emulated device, which checks every block and
// verifies the whole image at the end. Reported as HID reports per second
// (both directions) against the 1000 reports per second that one interrupt
// endpoint of a full-speed link carries at a 1 ms interval.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/FirmwareReceiver.h"
#include "emulator/SimAttachment.h"
#include "session/FirmImageBuilder.h"
#include "session/SessionApi.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

constexpr uint32_t kImageBytes = 1u << 20;
constexpr uint32_t kBlockBytes = 10240;
constexpr double kFullSpeedReportsPerSecond = 1000.0;

std::vector<uint8_t> PatternBytes(size_t count) {
    std::vector<uint8_t> bytes(count);
    uint32_t x = 0x2468ACE1u;
    for (uint8_t& b : bytes) {
        x = x * 1664525u + 1013904223u;
        b = static_cast<uint8_t>(x >> 24);
    }
    return bytes;
}

uint64_t ReportsFor(uint64_t messageBytes, uint64_t payloadPerReport) {
    return (messageBytes + payloadPerReport - 1) / payloadPerReport;
}

// Reports of one successful update both ways: FU_SETINFO and its answer,
// then per block FU_FWLOAD (14 + n bytes), FU_WRITEFW and their answers (one
// report each).
uint64_t ReportsPerUpdate(uint32_t imageBytes, uint64_t reportLength) {
    const uint64_t p = reportLength - 1;
    uint64_t reports = ReportsFor(15, p) + 1;
    for (uint32_t offset = 0; offset < imageBytes; offset += kBlockBytes) {
        const uint32_t n = imageBytes - offset < kBlockBytes ? imageBytes - offset : kBlockBytes;
        reports += ReportsFor(14u + n, p) + 1 + ReportsFor(8, p) + 1;
    }
    return reports;
}

void BM_FirmwareUpdate1MiB(benchmark::State& state) {
    const int variant = static_cast<int>(state.range(0));
    const size_t reportLength = variant == 2 ? 64 : 16;
    azk::sim::SimBus::Instance().Clear();
    auto device = azk::sim::SimBus::Instance().AddDevice(azk::sim::VendorDeviceSpec(
        AZK_VENDOR_ID, static_cast<uint16_t>(AZK_PRODUCT_ID + (variant == 2 ? 1 : 0)),
        static_cast<uint16_t>(reportLength)));
    device->SetRecordWrites(false);
    azk::azk_CDeviceModel model(reportLength);
    model.SetTraceLimit(0);
    azk::azk_CFirmwareReceiver receiver(model);
    azk::azk_CSimAttachment attachment(model, device);

    azk::azk_CFirmImageBuilder builder;
    builder.SetKind(0).SetPrologue(PatternBytes(512)).SetBody(PatternBytes(kImageBytes - 560));
    const std::vector<uint8_t> image = builder.Build();

    SessionHandle session = SessionCreate(variant, nullptr);
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    SessionFirmwareUpdateBlock block{};
    block.image = image.data();
    block.imageSize = static_cast<uint32_t>(image.size());
    for (auto _ : state) {
        if (SessionExec(session, SESSION_CMD_FIRMWARE_UPDATE, &block, nullptr) != 0 ||
            !receiver.Snapshot().verified) {
            state.SkipWithError("update failed");
            break;
        }
    }
    SessionFree(session);

    const double reports = static_cast<double>(ReportsPerUpdate(kImageBytes, reportLength));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kImageBytes);
    state.counters["reports_per_update"] = reports;
    state.counters["reports_per_s"] =
        benchmark::Counter(reports * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["times_full_speed"] = benchmark::Counter(
        reports * static_cast<double>(state.iterations()) / kFullSpeedReportsPerSecond, benchmark::Counter::kIsRate);
    // The same update on a full-speed link: seconds the reports alone take.
    state.counters["full_speed_s"] = reports / kFullSpeedReportsPerSecond;
    azk::sim::SimBus::Instance().Clear();
}
BENCHMARK(BM_FirmwareUpdate1MiB)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

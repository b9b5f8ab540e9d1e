// A block read of the largest count (65529 bytes, command 52) through the
// whole stack over the sim bus: SessionExec, the catalogue handler,
// SendAndWait, the HID device object, the bus, the emulated device (which
// reads its memory and frames the 65543-byte answer) and the receiver thread.
//
// Counters: reports/s is every report moved (the request's one and the
// answer's) per second of wall time, to hold against the 1000 reports/s that
// a full-speed USB link carries per direction; link_s is how long that link
// itself needs for the answer of one read (4370 reports of 16 bytes, or 1041
// of 64).
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/SimAttachment.h"
#include "session/SessionApi.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

using azk::sim::SimBus;

constexpr uint16_t kCount = 65529;
constexpr double kFullSpeedReportsPerSecond = 1000.0;

void BM_BlockRead65529(benchmark::State& state) {
    const int variant = static_cast<int>(state.range(0));
    const size_t reportLength = variant == 2 ? 64 : 16;
    SimBus::Instance().Clear();
    azk::azk_CDeviceModel model(reportLength);
    model.SetTraceLimit(0);
    std::vector<uint8_t> memory(kCount);
    for (size_t i = 0; i < memory.size(); ++i) memory[i] = static_cast<uint8_t>(i * 13);
    model.WriteMemory(0x0800, 0, 0, 0, memory);
    auto device = SimBus::Instance().AddDevice(azk::sim::VendorDeviceSpec(
        AZK_VENDOR_ID, static_cast<uint16_t>(AZK_PRODUCT_ID + (variant == 2 ? 1 : 0)),
        static_cast<uint16_t>(reportLength)));
    device->SetRecordWrites(false);
    auto attachment = std::make_unique<azk::azk_CSimAttachment>(model, device);
    SessionHandle session = SessionCreate(variant, nullptr);
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }

    std::vector<uint8_t> buffer(kCount);
    SessionParamBlock block{};
    block.bytes[SESSION_XFER_COUNT] = static_cast<uint8_t>(kCount);
    block.bytes[SESSION_XFER_COUNT + 1] = static_cast<uint8_t>(kCount >> 8);
    void* pointer = buffer.data();
    std::memcpy(block.bytes + SESSION_XFER_BUFFER, &pointer, sizeof pointer);

    for (auto _ : state) {
        if (SessionExec(session, SESSION_CMD_BLOCK_READ_0800, &block, nullptr) != 0) {
            state.SkipWithError("command failed");
            break;
        }
    }
    if (buffer != memory) state.SkipWithError("wrong data");

    const double p = static_cast<double>(reportLength - 1);
    const double answerReports = static_cast<double>(static_cast<int64_t>((8.0 + 6 + kCount + p - 1) / p));
    const double reports = 1.0 + answerReports;
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kCount);
    state.counters["reports/s"] =
        benchmark::Counter(reports * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
    state.counters["link_s"] = answerReports / kFullSpeedReportsPerSecond;

    SessionFree(session);
    attachment.reset();
    SimBus::Instance().Clear();
}
BENCHMARK(BM_BlockRead65529)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

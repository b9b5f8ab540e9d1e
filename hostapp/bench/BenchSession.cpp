// Round trips through the whole stack over the sim bus: SessionExec, the
// handler, SendAndWait, the HID device object, the bus, a device that answers
// at once from its write handler, the receiver thread and back.
#include <benchmark/benchmark.h>

#include <cstring>

#include "session/SessionApi.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

using azk::sim::SimBus;
using azk::sim::SimDevice;

// A device that answers every key-lock get with a fixed reply.
std::shared_ptr<SimDevice> AddAnsweringDevice() {
    SimBus::Instance().Clear();
    auto device = SimBus::Instance().AddDevice(azk::sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16));
    device->SetRecordWrites(false);
    SimDevice* raw = device.get();
    device->SetOutputHandler([raw](const uint8_t*, size_t) {
        static const uint8_t reply[17] = {0x00, 0x83, 0x03, 0x36, 0x00, 0x01, 0x00,
                                          0x00, 0x02, 0x00, 0x7D, 0x00};
        raw->SendInput(reply, sizeof reply);
    });
    return device;
}

void BM_KeyLockGetRoundTrip(benchmark::State& state) {
    auto device = AddAnsweringDevice();
    SessionHandle session = SessionCreate(1, nullptr);
    if (session == nullptr) {
        state.SkipWithError("no session");
        return;
    }
    SessionParamBlock block{};
    for (auto _ : state) {
        if (SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr) != 0) {
            state.SkipWithError("command failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    SessionFree(session);
    device->SetOutputHandler(nullptr);
    SimBus::Instance().Clear();
}
BENCHMARK(BM_KeyLockGetRoundTrip)->UseRealTime();

// The session's whole life: open, one get, stop (the thread start and join
// included), as one run of the command-line tool does it.
void BM_SessionCreateExecFree(benchmark::State& state) {
    auto device = AddAnsweringDevice();
    SessionParamBlock block{};
    for (auto _ : state) {
        SessionHandle session = SessionCreate(1, nullptr);
        if (session == nullptr || SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr) != 0) {
            state.SkipWithError("session failed");
            break;
        }
        SessionFree(session);
    }
    device->SetOutputHandler(nullptr);
    SimBus::Instance().Clear();
}
BENCHMARK(BM_SessionCreateExecFree)->UseRealTime();

}  // namespace

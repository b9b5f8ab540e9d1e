// Commands allocate nothing: every buffer belongs to the session, made once
// by SessionCreate. This suite counts the program's allocations, so it runs
// in a process of its own.
#include <gtest/gtest.h>

#include <atomic>

#include "CountingNew.h"
#include "session/SessionApi.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

TEST(AllocationTest, CommandsAndReportsAllocateNothing) {
    using azk::sim::SimBus;
    SimBus::Instance().Clear();
    auto device = SimBus::Instance().AddDevice(azk::sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16));
    device->SetRecordWrites(false);
    azk::sim::SimDevice* raw = device.get();
    // Answers every request at once, allocating nothing itself; every fifth
    // time with an event packet first.
    std::atomic<int> n{0};
    device->SetOutputHandler([raw, &n](const uint8_t*, size_t) {
        static const uint8_t event[17] = {0x00, 0x91, 0x01, 0x02};
        static const uint8_t reply[17] = {0x00, 0x83, 0x03, 0x36, 0x00, 0x01, 0x00,
                                          0x00, 0x02, 0x00, 0x7D, 0x00};
        if (++n % 5 == 0) raw->SendInput(event, sizeof event);
        raw->SendInput(reply, sizeof reply);
    });
    SessionHandle session = SessionCreate(1, [](int, int) {});
    ASSERT_NE(session, nullptr);
    SessionParamBlock block{};
    ASSERT_EQ(SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr), 0);

    const long before = azk::test::Allocations();
    ASSERT_GT(before, 0);  // the counter sees the session's own allocations
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr), 0);
        ASSERT_EQ(SessionExec(session, SESSION_CMD_SET_KEY_LOCK_CONFIG, &block, nullptr), -12);
    }
    EXPECT_EQ(azk::test::Allocations() - before, 0);

    SessionFree(session);
    device->SetOutputHandler(nullptr);
    SimBus::Instance().Clear();
}

}  // namespace

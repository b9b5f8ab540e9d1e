// The dispatch and the catalogue handlers allocate nothing: requests are built
// in the session's request buffer and replies copied straight out of its
// response buffer. This suite counts the program's allocations, so it runs in
// a process of its own.
#include <gtest/gtest.h>

#include <cstring>

#include "CountingNew.h"
#include "session/SessionApi.h"
#include "transport/platform/sim/SimPlatform.h"

namespace {

using azk::sim::SimBus;

// 16-byte bus reports (report ID 0 first) answering each request by its
// function; the block read's answer spans three reports.
const uint8_t kGet000F[17] = {0x00, 0x83, 0x03, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x01, 0x02, 0x03, 0x04};
const uint8_t kRead0800[3][17] = {
    {0x00, 0x83, 0x03, 0x00, 0x08, 0x00, 0x00, 0x00, 0x1A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x14, 0x00, 1},
    {0x00, 0x84, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16},
    {0x00, 0x85, 17, 18, 19, 20},
};
const uint8_t kAck0E06[17] = {0x00, 0x83, 0x01, 0x06, 0x0E};

TEST(CatalogueAllocationTest, CatalogueCommandsAllocateNothing) {
    SimBus::Instance().Clear();
    auto device = SimBus::Instance().AddDevice(azk::sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16));
    device->SetRecordWrites(false);
    azk::sim::SimDevice* raw = device.get();
    device->SetOutputHandler([raw](const uint8_t* report, size_t) {
        // report: ID, marker, op, function low, function high.
        if (report[1] != 0x80 && report[1] != 0x82) return;
        const uint16_t function = static_cast<uint16_t>(report[3] | (report[4] << 8));
        if (report[1] == 0x80 && function == 0x0E06 && report[2] == 0x00) return;  // continues
        switch (function) {
        case 0x000F:
            raw->SendInput(kGet000F, sizeof kGet000F);
            break;
        case 0x0800:
            for (const auto& r : kRead0800) raw->SendInput(r, sizeof r);
            break;
        default:
            raw->SendInput(kAck0E06, sizeof kAck0E06);
            break;
        }
    });
    SessionHandle session = SessionCreate(1, nullptr);
    ASSERT_NE(session, nullptr);

    uint8_t data[20] = {};
    SessionParamBlock get{};
    SessionParamBlock read{};
    read.bytes[SESSION_XFER_COUNT] = 20;
    void* pointer = data;
    std::memcpy(read.bytes + SESSION_XFER_BUFFER, &pointer, sizeof pointer);
    SessionParamBlock write{};
    write.bytes[SESSION_SHORT_COUNT] = 20;
    std::memcpy(write.bytes + SESSION_SHORT_BUFFER, &pointer, sizeof pointer);
    uint8_t message[16] = {0x02, 0x0F, 0x00};
    SessionParamBlock rawBlock{};
    void* messagePointer = message;
    std::memcpy(rawBlock.bytes + SESSION_RAW_BUFFER, &messagePointer, sizeof messagePointer);
    rawBlock.bytes[SESSION_RAW_SIZE] = sizeof message;
    ASSERT_EQ(SessionExec(session, SESSION_CMD_GET_000F, &get, nullptr), 0);

    const long before = azk::test::Allocations();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(SessionExec(session, SESSION_CMD_GET_000F, &get, nullptr), 0);
        ASSERT_EQ(SessionExec(session, SESSION_CMD_BLOCK_READ_0800, &read, nullptr), 0);
        ASSERT_EQ(SessionExec(session, SESSION_CMD_SHORT_WRITE_0E06, &write, nullptr), 0);
        message[1] = 0x0F;
        message[6] = 0;
        ASSERT_EQ(SessionExec(session, SESSION_CMD_RAW_MESSAGE, &rawBlock, nullptr), 0);
        ASSERT_EQ(SessionExec(session, SESSION_CMD_SET_000F, nullptr, nullptr), SESSION_RESULT_BAD_BLOCK);
    }
    EXPECT_EQ(azk::test::Allocations() - before, 0);
    EXPECT_EQ(data[19], 20);
    EXPECT_EQ(get.bytes[3], 0x04);

    SessionFree(session);
    device->SetOutputHandler(nullptr);
    SimBus::Instance().Clear();
}

}  // namespace

// The HID device object over the sim bus: selection by IDs, report lengths
// and index; the record's data items and output report ID; report I/O with
// the report ID byte; time-outs and cancel.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SimTestSupport.h"
#include "transport/HidDevice.h"

namespace azk::test {
namespace {

constexpr uint16_t kVid = 0x1111;
constexpr uint16_t kPid = 0x2222;

class HidDeviceTest : public SimBusTest {
protected:
    azk_CHidDevice device_{sim::SimPlatform()};
};

sim::SimDeviceSpec Described(uint16_t vid, uint16_t pid, uint16_t reportLength) {
    return sim::VendorDeviceSpec(vid, pid, reportLength);
}

// Each case puts devices on the bus in order, then opens with the given
// arguments; `selected` is the position on the bus of the device expected,
// or -1 for none.
struct SelectionCase {
    const char* name;
    std::vector<sim::SimDeviceSpec> bus;
    int32_t vid, pid, inLength, outLength, index;
    int selected;
};

sim::SimDeviceSpec Held(sim::SimDeviceSpec description) {
    description.heldByOtherProgram = true;
    return description;
}

sim::SimDeviceSpec QueriesFail(sim::SimDeviceSpec description) {
    description.queriesFail = true;
    return description;
}

TEST_F(HidDeviceTest, SelectsByIdsLengthsAndIndex) {
    const std::vector<SelectionCase> cases = {
        {"first of two", {Described(kVid, kPid, 16), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 0, 0},
        {"second of two", {Described(kVid, kPid, 16), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 1, 1},
        {"index past the matches", {Described(kVid, kPid, 16), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 2, -1},
        {"64-byte device not taken for 16", {Described(kVid, kPid, 64)}, kVid, kPid, 16, 16, 0, -1},
        {"64-byte device skipped", {Described(kVid, kPid, 64), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 0, 1},
        {"64-byte device for 64", {Described(kVid, kPid, 16), Described(kVid, kPid, 64)}, kVid, kPid, 64, 64, 0, 1},
        {"other product skipped", {Described(kVid, kPid + 1, 16), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 0, 1},
        {"other vendor skipped", {Described(kVid + 1, kPid, 16), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 0, 1},
        {"held by another program skipped", {Held(Described(kVid, kPid, 16)), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 0, 1},
        {"failing queries skipped", {QueriesFail(Described(kVid, kPid, 16)), Described(kVid, kPid, 16)}, kVid, kPid, 16, 16, 0, 1},
        {"only a held device", {Held(Described(kVid, kPid, 16))}, kVid, kPid, 16, 16, 0, -1},
        {"wildcard IDs match anything", {Described(0x0001, 0x0002, 64), Described(kVid, kPid, 16)}, 0, 0, 16, 16, 0, 0},
        {"wildcard IDs with an index", {Described(0x0001, 0x0002, 64), Described(kVid, kPid, 16)}, 0, 0, 16, 16, 1, 1},
        {"wildcard skips unusable", {Held(Described(1, 2, 16)), Described(kVid, kPid, 16)}, 0, 0, 16, 16, 0, 1},
        {"vendor alone is no wildcard", {Described(kVid, 0x0005, 16)}, kVid, 0, 16, 16, 0, -1},
        {"empty bus", {}, kVid, kPid, 16, 16, 0, -1},
    };
    for (const SelectionCase& c : cases) {
        SCOPED_TRACE(c.name);
        sim::SimBus::Instance().Clear();
        std::vector<std::shared_ptr<sim::SimDevice>> devices;
        for (const sim::SimDeviceSpec& description : c.bus) devices.push_back(sim::SimBus::Instance().AddDevice(description));

        const int listedBefore = sim::SimBus::Instance().ListCount();
        const azk_SHidDeviceRecord* record = device_.OpenDevice(c.vid, c.pid, c.inLength, c.outLength, c.index);
        EXPECT_EQ(record != nullptr, c.selected >= 0);
        EXPECT_EQ(device_.IsOpen(), c.selected >= 0);
        // One walk over the bus; the selected device is the probe that
        // matched, kept open, not opened a second time.
        EXPECT_EQ(sim::SimBus::Instance().ListCount() - listedBefore, 1);
        for (size_t i = 0; i < devices.size(); ++i) {
            // Probes are closed again; only the selected device stays open.
            EXPECT_EQ(devices[i]->OpenHandles(), static_cast<int>(i) == c.selected ? 1 : 0) << "device " << i;
            if (static_cast<int>(i) == c.selected) {
                EXPECT_EQ(devices[i]->OpenCount(), 1) << "device " << i;
            }
        }
        device_.CloseDevice();
        for (const auto& d : devices) EXPECT_EQ(d->OpenHandles(), 0);
    }
}

TEST_F(HidDeviceTest, LengthAbove256IsRefusedWithoutEnumerating) {
    AddSpeakerphone();
    EXPECT_EQ(device_.OpenDevice(kVid, kPid, 257, 16, 0), nullptr);
    EXPECT_EQ(device_.OpenDevice(kVid, kPid, 16, 257, 0), nullptr);
    EXPECT_EQ(sim::SimBus::Instance().ListCount(), 0);
}

TEST_F(HidDeviceTest, FailedIoEventsFailTheOpen) {
    sim::SimDeviceSpec description = Described(kVid, kPid, 16);
    description.ioEventsFail = true;
    auto device = sim::SimBus::Instance().AddDevice(description);
    EXPECT_EQ(device_.OpenDevice(kVid, kPid, 16, 16, 0), nullptr);
    EXPECT_FALSE(device_.IsOpen());
    EXPECT_EQ(device->OpenHandles(), 0);
}

TEST_F(HidDeviceTest, RecordHasDataItemsAndTheFirstButtonsReportId) {
    sim::SimDeviceSpec description = Described(kVid, kPid, 16);
    HidReportTypeCaps& out = description.caps.Of(HidReportType::Output);
    out.values = {{7, 0xFF00, true, 0x10, 0x12, 1}, {8, 0xFF01, false, 0x20, 0x20, 4}};
    out.buttons = {{5, 0x0009, true, 1, 3, 3}, {6, 0x0008, false, 0x4B, 0x4B, 1}};
    sim::SimBus::Instance().AddDevice(description);

    const azk_SHidDeviceRecord* record = device_.OpenDevice(kVid, kPid, 16, 16, 0);
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(record->OutputReportId(), 5);
    EXPECT_EQ(record->inputReportByteLength, 17);
    EXPECT_EQ(record->outputReportByteLength, 17);
    ASSERT_EQ(record->output.dataItemCount, 2u + 3u + 1u);
    const azk_SHidDataItem* items = record->output.dataItems.get();
    // Buttons first, in capability order; a single usage fills both ends.
    EXPECT_EQ(items[0].isButton, 1);
    EXPECT_EQ(items[0].usageMin, 1u);
    EXPECT_EQ(items[0].usageMax, 3u);
    EXPECT_EQ(items[0].maxUsageListLength, 3u);  // page 9: the range 1..3
    EXPECT_EQ(items[1].usageMin, 0x4Bu);
    EXPECT_EQ(items[1].usageMax, 0x4Bu);
    EXPECT_EQ(items[1].reportId, 6u);
    // Then one value item per usage.
    const uint16_t usages[] = {0x10, 0x11, 0x12, 0x20};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(items[2 + i].isButton, 0);
        EXPECT_EQ(items[2 + i].usage, usages[i]);
        EXPECT_EQ(items[2 + i].status, 0x00110000u);  // HIDP_STATUS_SUCCESS
    }
    EXPECT_EQ(items[5].reportId, 8u);
}

// Every button capability gets a usage list as long as the usages of its
// page add up to, so the lists grow with the square of the capabilities: a
// few thousand of them would ask for hundreds of megabytes. An interface
// whose record would hold more than kHidMaxInterfaceEntries is not opened.
TEST_F(HidDeviceTest, InterfaceWhoseRecordWouldBeTooLargeIsRefused) {
    struct Case {
        uint32_t buttons;  // single-usage button capabilities on one page
        bool opens;
    };
    // n buttons: n lists of n entries plus n data items, beside the two
    // value usages of the speakerphone's own reports.
    static_assert(511u * 511u + 511u + 2u <= kHidMaxInterfaceEntries);
    static_assert(512u * 512u + 512u > kHidMaxInterfaceEntries);
    for (const Case& c : {Case{511, true}, Case{512, false}, Case{4096, false}}) {
        SCOPED_TRACE(c.buttons);
        sim::SimBus::Instance().Clear();
        sim::SimDeviceSpec description = Described(kVid, kPid, 16);
        for (uint32_t u = 1; u <= c.buttons; ++u) {
            description.caps.Of(HidReportType::Input)
                .buttons.push_back({1, 0xFF00, false, static_cast<uint16_t>(u), static_cast<uint16_t>(u), 1});
        }
        auto device = sim::SimBus::Instance().AddDevice(description);
        const azk_SHidDeviceRecord* record = device_.OpenDevice(kVid, kPid, 16, 16, 0);
        EXPECT_EQ(record != nullptr, c.opens);
        EXPECT_EQ(device->OpenHandles(), c.opens ? 1 : 0);
        if (record != nullptr) {
            const size_t values = description.caps.Of(HidReportType::Input).values.size();
            ASSERT_EQ(record->input.dataItemCount, c.buttons + values);
            EXPECT_EQ(record->input.dataItems[c.buttons - 1].maxUsageListLength, c.buttons);
        }
        device_.CloseDevice();
    }
}

TEST_F(HidDeviceTest, OutputReportIdComesFromValueCapsWithoutButtons) {
    auto device = AddSpeakerphone(1, /*numbered=*/true);
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    uint8_t report[16] = {0x80, 1, 2, 3};
    ASSERT_EQ(device_.WriteReport(report, 500), 1);
    const auto written = device->WrittenReports();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written[0], Padded({0x02, 0x80, 1, 2, 3}, 17));
}

TEST_F(HidDeviceTest, ReportIdByteIsAddedOnWriteAndStrippedOnRead) {
    auto device = AddSpeakerphone(2);
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID + 1, 64, 64, 0), nullptr);

    uint8_t out[64];
    for (int i = 0; i < 64; ++i) out[i] = static_cast<uint8_t>(i + 1);
    ASSERT_EQ(device_.WriteReport(out, 500), 1);
    const auto written = device->WrittenReports();
    ASSERT_EQ(written.size(), 1u);
    ASSERT_EQ(written[0].size(), 65u);
    EXPECT_EQ(written[0][0], 0);
    EXPECT_TRUE(std::equal(out, out + 64, written[0].begin() + 1));

    Bytes input(65);
    for (int i = 0; i < 65; ++i) input[i] = static_cast<uint8_t>(0xC0 + i);
    device->SendInput(input);
    uint8_t in[64] = {};
    ASSERT_EQ(device_.ReadReport(in, -1), 1);
    EXPECT_TRUE(std::equal(in, in + 64, input.begin() + 1));
}

TEST_F(HidDeviceTest, PendingWriteIsAbandonedAfterItsTimeOut) {
    auto device = AddSpeakerphone();
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    device->SetWritesStayPending(true);
    uint8_t report[16] = {0x80};
    EXPECT_EQ(device_.WriteReport(report, 500), 0);
    EXPECT_EQ(device_.WriteReport(report, 0), 0);
    EXPECT_TRUE(device->WrittenReports().empty());
    device->SetWritesStayPending(false);
    EXPECT_EQ(device_.WriteReport(report, 500), 1);
}

TEST_F(HidDeviceTest, ReadWithTimeOutGivesUp) {
    AddSpeakerphone();
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    uint8_t report[16];
    EXPECT_EQ(device_.ReadReport(report, 0), 0);
    EXPECT_EQ(device_.ReadReport(report, 20), 0);
}

TEST_F(HidDeviceTest, CancelReadWakesABlockedReaderAndStopsWrites) {
    auto device = AddSpeakerphone();
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        uint8_t report[16];
        result = device_.ReadReport(report, -1);
    });
    ASSERT_TRUE(device->WaitForBlockedReader(5000));
    device_.CancelRead();
    reader.join();
    EXPECT_EQ(result.load(), 0);

    uint8_t report[16] = {0x80};
    EXPECT_EQ(device_.WriteReport(report, 500), 0);
    EXPECT_TRUE(device->WrittenReports().empty());
    // A report that arrives after the cancel is not delivered, and a read
    // started after it does not block.
    device->SendInput(BusReport({0x83}));
    EXPECT_EQ(device_.ReadReport(report, -1), 0);
}

TEST_F(HidDeviceTest, UnplugFailsThePendingRead) {
    auto device = AddSpeakerphone();
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        uint8_t report[16];
        result = device_.ReadReport(report, -1);
    });
    ASSERT_TRUE(device->WaitForBlockedReader(5000));
    device->Unplug();
    reader.join();
    EXPECT_EQ(result.load(), 0);
}

TEST_F(HidDeviceTest, CloseDeviceTwiceAndOnAClosedObject) {
    device_.CloseDevice();
    auto device = AddSpeakerphone();
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    device_.CloseDevice();
    device_.CloseDevice();
    EXPECT_FALSE(device_.IsOpen());
    EXPECT_EQ(device_.Record(), nullptr);
    EXPECT_EQ(device->OpenHandles(), 0);
    uint8_t report[16] = {};
    EXPECT_EQ(device_.WriteReport(report, 500), 0);
    EXPECT_EQ(device_.ReadReport(report, 0), 0);
}

TEST_F(HidDeviceTest, ReopeningClosesThePreviousRecord) {
    auto first = AddSpeakerphone();
    auto second = AddSpeakerphone();
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0), nullptr);
    ASSERT_NE(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 1), nullptr);
    EXPECT_EQ(first->OpenHandles(), 0);
    EXPECT_EQ(second->OpenHandles(), 1);
    // A failed open leaves the object closed.
    EXPECT_EQ(device_.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 5), nullptr);
    EXPECT_FALSE(device_.IsOpen());
    EXPECT_EQ(second->OpenHandles(), 0);
}

}  // namespace
}  // namespace azk::test

// DeviceListTest.cpp - SessionListDevices and SessionCreateAt over the sim
// bus: every interface with the maker's vendor ID, why one cannot be opened,
// and the index a session of its variant finds it at.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "SimTestSupport.h"
#include "session/SessionApi.h"

namespace azk::test {
namespace {

using sim::SimBus;
using sim::SimDeviceSpec;
using sim::VendorDeviceSpec;

class DeviceListTest : public SimBusTest {
protected:
    static SimDeviceSpec Speakerphone(int variant) {
        return VendorDeviceSpec(AZK_VENDOR_ID, static_cast<uint16_t>(AZK_PRODUCT_ID + variant - 1),
                                variant == 1 ? 16 : 64);
    }

    static std::vector<SessionDeviceInfo> List() {
        int32_t count = -1;
        EXPECT_EQ(SessionListDevices(nullptr, 0, &count), SESSION_RESULT_OK);
        std::vector<SessionDeviceInfo> devices(static_cast<size_t>(count > 0 ? count : 0));
        int32_t again = -1;
        EXPECT_EQ(SessionListDevices(devices.data(), static_cast<int32_t>(devices.size()), &again), SESSION_RESULT_OK);
        EXPECT_EQ(again, count);
        return devices;
    }
};

struct Expected {
    int32_t index;
    int32_t variant;
    int32_t state;
    uint16_t productId;
    uint16_t inputLength;
};

TEST_F(DeviceListTest, ClassifiesEveryInterfaceOfTheVendorInBusOrder) {
    SimBus& bus = SimBus::Instance();
    bus.AddDevice(Speakerphone(1));                                  // usable, index 0
    SimDeviceSpec held = Speakerphone(1);
    held.heldByOtherProgram = true;
    bus.AddDevice(held);                                             // held
    bus.AddDevice(VendorDeviceSpec(0x1111, AZK_PRODUCT_ID, 16));     // another vendor: not listed
    SimDeviceSpec denied = Speakerphone(2);
    denied.permissionDenied = true;
    bus.AddDevice(denied);                                           // permission denied
    bus.AddDevice(VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 64));  // 65-byte reports on variant 1
    SimDeviceSpec second = VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 8);
    second.collection = 1;
    bus.AddDevice(second);                                           // another top-level collection
    bus.AddDevice(VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID + 7, 16));  // another product
    SimDeviceSpec broken = Speakerphone(1);
    broken.queriesFail = true;
    bus.AddDevice(broken);                                           // opens, queries fail
    bus.AddDevice(Speakerphone(2));                                  // usable, variant 2 index 0
    bus.AddDevice(Speakerphone(1));                                  // usable, index 1

    const std::vector<Expected> expected = {
        {0, 1, SESSION_DEVICE_USABLE, AZK_PRODUCT_ID, 17},
        {-1, 1, SESSION_DEVICE_HELD, AZK_PRODUCT_ID, 17},
        {-1, 2, SESSION_DEVICE_PERMISSION_DENIED, AZK_PRODUCT_ID + 1, 65},
        {-1, 1, SESSION_DEVICE_REPORT_LENGTHS, AZK_PRODUCT_ID, 65},
        {-1, 1, SESSION_DEVICE_OTHER_COLLECTION, AZK_PRODUCT_ID, 9},
        {-1, 0, SESSION_DEVICE_OTHER_PRODUCT, AZK_PRODUCT_ID + 7, 17},
        {-1, 1, SESSION_DEVICE_OPEN_FAILED, AZK_PRODUCT_ID, 17},
        {0, 2, SESSION_DEVICE_USABLE, AZK_PRODUCT_ID + 1, 65},
        {1, 1, SESSION_DEVICE_USABLE, AZK_PRODUCT_ID, 17},
    };
    const std::vector<SessionDeviceInfo> devices = List();
    ASSERT_EQ(devices.size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE("entry " + std::to_string(i) + " " + devices[i].path);
        EXPECT_EQ(devices[i].index, expected[i].index);
        EXPECT_EQ(devices[i].variant, expected[i].variant);
        EXPECT_EQ(devices[i].state, expected[i].state);
        EXPECT_EQ(devices[i].idsKnown, 1);
        EXPECT_EQ(devices[i].vendorId, AZK_VENDOR_ID);
        EXPECT_EQ(devices[i].productId, expected[i].productId);
        EXPECT_EQ(devices[i].lengthsKnown, 1);
        EXPECT_EQ(devices[i].inputReportByteLength, expected[i].inputLength);
        EXPECT_EQ(devices[i].outputReportByteLength, expected[i].inputLength);
        EXPECT_EQ(std::string(devices[i].path).rfind("sim:", 0), 0u);
    }
}

TEST_F(DeviceListTest, ListedIndexIsTheOneSessionCreateAtOpens) {
    SimBus& bus = SimBus::Instance();
    SimDeviceSpec held = Speakerphone(1);
    held.heldByOtherProgram = true;
    bus.AddDevice(held);
    ScriptedDevice first(bus.AddDevice(Speakerphone(1)));
    ScriptedDevice second(bus.AddDevice(Speakerphone(1)));

    const std::vector<SessionDeviceInfo> devices = List();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[1].index, 0);
    EXPECT_EQ(devices[2].index, 1);

    // The session at index 1 talks to the third interface of the bus.
    SessionHandle session = SessionCreateAt(1, 1, nullptr);
    ASSERT_NE(session, nullptr);
    second.Script({BusReport({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x5A, 0x00})});
    SessionParamBlock block{};
    EXPECT_EQ(SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr), SESSION_RESULT_OK);
    EXPECT_EQ(block.bytes[SESSION_KEYLOCK_LOCK_MASK], 0x5A);
    EXPECT_EQ(first.Device().WrittenReports().size(), 0u);
    EXPECT_EQ(second.Device().WrittenReports().size(), 1u);
    EXPECT_EQ(SessionFree(session), SESSION_RESULT_OK);

    EXPECT_EQ(SessionCreateAt(1, 2, nullptr), nullptr);   // only two usable ones
    EXPECT_EQ(SessionCreateAt(1, -1, nullptr), nullptr);  // no negative index
    EXPECT_EQ(first.Device().OpenHandles(), 0);
    EXPECT_EQ(second.Device().OpenHandles(), 0);
}

TEST_F(DeviceListTest, CountGoesBeyondCapacityAndArgumentsAreChecked) {
    for (int i = 0; i < 3; ++i) SimBus::Instance().AddDevice(Speakerphone(1));
    SessionDeviceInfo one[2];
    std::memset(one, 0xAB, sizeof one);
    int32_t count = 0;
    EXPECT_EQ(SessionListDevices(one, 1, &count), SESSION_RESULT_OK);
    EXPECT_EQ(count, 3);
    EXPECT_EQ(one[0].index, 0);
    EXPECT_EQ(one[1].index, static_cast<int32_t>(0xABABABAB));  // nothing written past capacity

    EXPECT_EQ(SessionListDevices(one, 1, nullptr), SESSION_RESULT_BAD_BLOCK);
    EXPECT_EQ(SessionListDevices(nullptr, 1, &count), SESSION_RESULT_BAD_BLOCK);
    EXPECT_EQ(SessionListDevices(one, -1, &count), SESSION_RESULT_BAD_BLOCK);
}

TEST_F(DeviceListTest, NothingListedOnAnEmptyBus) {
    int32_t count = -1;
    EXPECT_EQ(SessionListDevices(nullptr, 0, &count), SESSION_RESULT_OK);
    EXPECT_EQ(count, 0);
}

}  // namespace
}  // namespace azk::test

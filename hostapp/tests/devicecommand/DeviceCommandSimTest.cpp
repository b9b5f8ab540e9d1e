// DeviceCommandSimTest.cpp - DeviceCommand in process over the sim bus, for
// what the emulator cannot show: an interface the system refuses this user,
// and another top-level collection of the device.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <sstream>
#include <string>

#include "SimTestSupport.h"
#include "win/DeviceCommand/DeviceCommandApp.h"

namespace azk::test {
namespace {

using sim::SimBus;
using sim::SimDeviceSpec;
using sim::VendorDeviceSpec;

class DeviceCommandSimTest : public SimBusTest {};

// Permission denied: on Linux the udev rule is missing, and the line says
// how to install it; Windows has no such rule to name.
TEST_F(DeviceCommandSimTest, ListSaysWhyPermissionIsDeniedAndNamesAnotherCollection) {
    SimDeviceSpec denied = VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16);
    denied.permissionDenied = true;
    SimBus::Instance().AddDevice(denied);
    SimDeviceSpec telephony = VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 1);
    telephony.collection = 1;
    SimBus::Instance().AddDevice(telephony);

    std::ostringstream out, err;
    ASSERT_EQ(devcmd::DeviceCommandMain({"list"}, out, err, false), devcmd::kExitOk) << err.str();
    const std::string text = out.str();
#ifdef _WIN32
    EXPECT_NE(text.find("permission denied: the system does not let this user open it"), std::string::npos) << text;
    EXPECT_EQ(text.find("udev"), std::string::npos) << text;
#else
    EXPECT_NE(text.find("permission denied: the udev rule is missing"), std::string::npos) << text;
    EXPECT_NE(text.find("udevadm control --reload"), std::string::npos) << text;
#endif
    EXPECT_NE(text.find("another top-level collection of the device (collection 2)"), std::string::npos) << text;

    std::ostringstream json;
    ASSERT_EQ(devcmd::DeviceCommandMain({"--json", "list"}, json, err, false), devcmd::kExitOk);
    const nlohmann::json doc = nlohmann::json::parse(json.str());
    ASSERT_EQ(doc["count"], 2);
    EXPECT_EQ(doc["devices"][0]["state"], "permission-denied");
    EXPECT_EQ(doc["devices"][1]["state"], "other-collection");
    EXPECT_EQ(doc["devices"][1]["inputReportLength"], 2);

    // Neither can be opened: a session finds no device.
    std::ostringstream show;
    EXPECT_EQ(devcmd::DeviceCommandMain({"--json", "keylock", "show"}, show, err, false), devcmd::kExitNoDevice);
    EXPECT_EQ(nlohmann::json::parse(show.str())["error"]["name"], "CONNECTION");
}

}  // namespace
}  // namespace azk::test

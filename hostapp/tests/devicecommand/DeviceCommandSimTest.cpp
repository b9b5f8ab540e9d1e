// DeviceCommandSimTest.cpp - DeviceCommand in process over the sim bus, for
// what the emulator cannot show: an interface the system refuses this user,
// another top-level collection of the device; and runs against a device on
// every system (the Windows build's under wine too): an output that cannot
// be written, text from the device, block reads into files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "SimTestSupport.h"
#include "emulator/DeviceModel.h"
#include "emulator/SimAttachment.h"
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

// A stream buffer that takes nothing, as standard output on a full disk.
class RefusingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

// The key lock is set, but what was set cannot be reported: a failure.
TEST_F(DeviceCommandSimTest, ASetThatCannotBeReportedIsAFileFailure) {
    azk_CDeviceModel model(16);
    azk_CSimAttachment attachment(model, AddSpeakerphone());
    for (const bool json : {false, true}) {
        RefusingBuffer refusing;
        std::ostream out(&refusing);
        std::ostringstream err;
        std::vector<std::string> words = {"keylock", "set", "--lock", json ? "VolUp" : "Call", "--se", "on"};
        if (json) words.insert(words.begin(), "--json");
        EXPECT_EQ(devcmd::DeviceCommandMain(words, out, err, false), devcmd::kExitFile);
        EXPECT_EQ(err.str(), "DeviceCommand: cannot write standard output\n");
        EXPECT_EQ(model.GetKeyLockConfig(0).lockMask, json ? 0x6F : 0x7D);
    }
}

// Text from the device is printed so that a terminal shows it and runs none
// of it; the JSON document carries it as it is.
TEST_F(DeviceCommandSimTest, TextFromTheDeviceIsPrintedWithItsControlsEscaped) {
    azk_CDeviceModel model(16);
    azk_CSimAttachment attachment(model, AddSpeakerphone());
    const std::string text = "\x1B]0;x\x07\xC3\xA4\\\xFF";
    std::ostringstream out, err;
    ASSERT_EQ(devcmd::DeviceCommandMain({"exec", "25", "0-19=" + text}, out, err, false), devcmd::kExitOk)
        << err.str();
    std::ostringstream shown, json;
    ASSERT_EQ(devcmd::DeviceCommandMain({"exec", "26"}, shown, err, false), devcmd::kExitOk) << err.str();
    EXPECT_EQ(shown.str(), "0-19 = \"\\x1B]0;x\\x07\xC3\xA4\\\\\\xFF\"\n");
    ASSERT_EQ(devcmd::DeviceCommandMain({"--json", "exec", "26"}, json, err, false), devcmd::kExitOk) << err.str();
    EXPECT_EQ(nlohmann::json::parse(json.str())["fields"]["0-19"], "\x1B]0;x\x07\xC3\xA4\\\xEF\xBF\xBD");
}

std::string ReadAll(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// The scratch files of DeviceCommand in the temporary folder.
size_t ScratchFiles() {
    size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::temp_directory_path())) {
        count += entry.path().filename().string().rfind("DeviceCommand-", 0) == 0 ? 1 : 0;
    }
    return count;
}

// A read that fails half-way leaves no file where there was none and the old
// bytes where there was one; one that succeeds writes the device's bytes.
TEST_F(DeviceCommandSimTest, AFailedReadLeavesTheFileAsItWas) {
    namespace fs = std::filesystem;
    azk_CDeviceModel model(16);
    azk_CSimAttachment attachment(model, AddSpeakerphone());
    const fs::path dir = fs::temp_directory_path() / ("azk-devcmd-sim-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directories(dir));
    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 3 + 7) & 0xFF);
    std::ofstream(dir / "in.bin", std::ios::binary) << bytes;
    std::ostringstream out, err;
    ASSERT_EQ(devcmd::DeviceCommandMain({"write-block", (dir / "in.bin").u8string(), "--address", "0"}, out, err,
                                        false),
              devcmd::kExitOk)
        << err.str();

    const size_t scratchBefore = ScratchFiles();
    for (const bool there : {false, true}) {
        SCOPED_TRACE(there ? "a file that is there" : "no file");
        const fs::path file = dir / (there ? "old.bin" : "new.bin");
        const std::string old = "the bytes that were there\n";
        if (there) std::ofstream(file, std::ios::binary) << old;
        const std::vector<std::string> read = {"read-block", file.u8string(), "--address", "0", "--count", "5000"};
        azk_SMisbehaviour refused;
        refused.status = 5;
        model.MisbehaveOnce(azk_SMisbehaviour{});  // the first chunk is answered, the second refused
        model.MisbehaveOnce(refused);
        EXPECT_EQ(devcmd::DeviceCommandMain(read, out, err, false), devcmd::kExitDeviceStatus) << err.str();
        EXPECT_EQ(fs::exists(file), there);
        if (there) {
            EXPECT_EQ(ReadAll(file), old);
        }
        EXPECT_EQ(ScratchFiles(), scratchBefore);

        EXPECT_EQ(devcmd::DeviceCommandMain(read, out, err, false), devcmd::kExitOk) << err.str();
        EXPECT_EQ(ReadAll(file), bytes);
        EXPECT_EQ(ScratchFiles(), scratchBefore);
    }
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

}  // namespace
}  // namespace azk::test

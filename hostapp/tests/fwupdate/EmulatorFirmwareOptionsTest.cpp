// EmulatorFirmwareOptionsTest.cpp - the DeviceEmulator's firmware options:
// what they describe per device, and their refusals.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "emulator/EmulatorOptions.h"

namespace azk {
namespace {

using Args = std::vector<std::string>;
using Kind = azk_SFirmwareFault::Kind;

TEST(EmulatorFirmwareOptions, FaultsAreKeptPerDeviceInTheOrderGiven) {
    azk_SEmulatorConfig config;
    std::string error;
    ASSERT_TRUE(ParseEmulatorArguments({"--fw-fail", "fwload:5:0x31", "--fw-bad-header", "setinfo:3", "--fw-silent",
                                        "writefw:1", "--fw-fail", "fwload:1:255", "--device", "--fw-silent",
                                        "setinfo:4294967295", "--", "FwUpdate", "x"},
                                       config, error))
        << error;
    ASSERT_EQ(config.devices.size(), 2u);
    const std::vector<azk_SFirmwareFault>& first = config.devices[0].firmwareFaults;
    ASSERT_EQ(first.size(), 4u);
    EXPECT_EQ(first[0].kind, Kind::Status);
    EXPECT_EQ(first[0].function, 0x0901);
    EXPECT_EQ(first[0].times, 5u);
    EXPECT_EQ(first[0].status, 0x31);
    EXPECT_EQ(first[1].kind, Kind::BadHeader);
    EXPECT_EQ(first[1].function, 0x0900);
    EXPECT_EQ(first[1].times, 3u);
    EXPECT_EQ(first[2].kind, Kind::Silent);
    EXPECT_EQ(first[2].function, 0x0903);
    EXPECT_EQ(first[3].status, 255);
    const std::vector<azk_SFirmwareFault>& second = config.devices[1].firmwareFaults;
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].kind, Kind::Silent);
    EXPECT_EQ(second[0].times, 4294967295u);
}

TEST(EmulatorFirmwareOptions, Refusals) {
    struct Case {
        Args args;
        std::string error;
    };
    const Case cases[] = {
        {{"--fw-fail"}, "--fw-fail needs a value"},
        {{"--fw-fail", "fwload:5"}, "--fw-fail 'fwload:5': expected STEP:TIMES:STATUS"},
        {{"--fw-bad-header", "fwload:5:3"}, "--fw-bad-header 'fwload:5:3': expected STEP:TIMES"},
        {{"--fw-silent", "load:1"}, "--fw-silent 'load:1': STEP is setinfo, fwload or writefw"},
        {{"--fw-silent", "FWLOAD:1"}, "--fw-silent 'FWLOAD:1': STEP is setinfo, fwload or writefw"},
        {{"--fw-fail", "writefw:0:1"}, "--fw-fail 'writefw:0:1': TIMES must be 1 or more"},
        {{"--fw-bad-header", "writefw:-1"}, "--fw-bad-header 'writefw:-1': TIMES must be 1 or more"},
        {{"--fw-fail", "writefw:1:0"}, "--fw-fail 'writefw:1:0': STATUS must be 1 to 255"},
        {{"--fw-fail", "writefw:1:256"}, "--fw-fail 'writefw:1:256': STATUS must be 1 to 255"},
    };
    for (const Case& c : cases) {
        Args args = c.args;
        args.insert(args.end(), {"--", "true"});
        if (c.error.find("needs a value") != std::string::npos) args = c.args;
        azk_SEmulatorConfig config;
        std::string error;
        EXPECT_FALSE(ParseEmulatorArguments(args, config, error)) << c.error;
        EXPECT_EQ(error, c.error);
    }
}

TEST(EmulatorFirmwareOptions, UsageDocumentsThem) {
    const std::string usage = EmulatorUsage();
    for (const char* option : {"--fw-fail STEP:TIMES:STATUS", "--fw-bad-header STEP:TIMES", "--fw-silent STEP:TIMES",
                               "firmware update verified", "firmware image rejected"}) {
        EXPECT_NE(usage.find(option), std::string::npos) << option;
    }
}

}  // namespace
}  // namespace azk

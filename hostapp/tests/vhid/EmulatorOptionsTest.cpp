// EmulatorOptionsTest.cpp - the DeviceEmulator command line: what a good one
// describes, and that a bad one is refused with a message.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>

#include "emulator/EmulatorOptions.h"

namespace azk {
namespace {

using Args = std::vector<std::string>;

struct GoodCase {
    const char* name;
    Args args;
    std::function<void(const azk_SEmulatorConfig&)> check;
};

std::vector<GoodCase> GoodCases() {
    return {
        {"Defaults", {"--", "KeyConfig", "-require"},
         [](const azk_SEmulatorConfig& c) {
             EXPECT_FALSE(c.serve);
             EXPECT_EQ(c.command, (Args{"KeyConfig", "-require"}));
             ASSERT_EQ(c.devices.size(), 1u);
             const azk_SDeviceDescription& d = c.devices[0];
             EXPECT_EQ(d.copies, 1u);
             EXPECT_EQ(d.ReportLength(), 16u);
             EXPECT_TRUE(d.numbered);
             EXPECT_EQ(d.VendorId(), AZK_VENDOR_ID);
             EXPECT_EQ(d.ProductId(), AZK_PRODUCT_ID);
             EXPECT_EQ(d.inForce.lockMask, 0x007F);
             EXPECT_EQ(d.inForce.seFlag, 1);
             EXPECT_EQ(d.mode, azk_EVhidMode::Serve);
             EXPECT_FALSE(d.always.has_value());
             EXPECT_EQ(DeviceSocketNames(c), (Args{"dev00.sock"}));
         }},
        {"CommandWordsAreNotOptions", {"--trace", "--", "sh", "--held", "--"},
         [](const azk_SEmulatorConfig& c) {
             EXPECT_TRUE(c.trace);
             EXPECT_EQ(c.command, (Args{"sh", "--held", "--"}));
             EXPECT_EQ(c.devices[0].mode, azk_EVhidMode::Serve);
         }},
        {"Variant2TakesTheNextProductId", {"--variant", "2", "--unnumbered", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             EXPECT_TRUE(c.serve);
             EXPECT_EQ(c.devices[0].ReportLength(), 64u);
             EXPECT_FALSE(c.devices[0].numbered);
             EXPECT_EQ(c.devices[0].ProductId(), AZK_PRODUCT_ID + 1);
         }},
        {"IdsAndKeyLockInHex", {"--vendor", "0x04d8", "--product", "f00d", "--release", "0210", "--lock-mask", "5f",
                                "--se", "0", "--default-lock-mask", "0x0000", "--default-se", "1", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const azk_SDeviceDescription& d = c.devices[0];
             EXPECT_EQ(d.VendorId(), 0x04D8);
             EXPECT_EQ(d.ProductId(), 0xF00D);
             EXPECT_EQ(d.versionNumber, 0x0210);
             EXPECT_EQ(d.inForce.lockMask, 0x005F);
             EXPECT_EQ(d.inForce.seFlag, 0);
             EXPECT_EQ(d.byDefault.lockMask, 0x0000);
             EXPECT_EQ(d.byDefault.seFlag, 1);
         }},
        {"DeviceStartsAFreshDescription",
         {"--variant", "2", "--held", "--device", "--name", "b", "--device", "--devices", "2", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             ASSERT_EQ(c.devices.size(), 3u);
             EXPECT_EQ(c.devices[0].ReportLength(), 64u);
             EXPECT_EQ(c.devices[0].mode, azk_EVhidMode::Held);
             EXPECT_EQ(c.devices[1].ReportLength(), 16u);
             EXPECT_EQ(c.devices[1].mode, azk_EVhidMode::Serve);
             EXPECT_EQ(DeviceSocketNames(c), (Args{"dev00.sock", "b.sock", "dev02.sock", "dev03.sock"}));
         }},
        {"NamedCopies", {"--name", "pad", "--devices", "2", "--serve"},
         [](const azk_SEmulatorConfig& c) { EXPECT_EQ(DeviceSocketNames(c), (Args{"pad-00.sock", "pad-01.sock"})); }},
        {"NoDevices", {"--devices", "0", "--", "true"},
         [](const azk_SEmulatorConfig& c) { EXPECT_TRUE(DeviceSocketNames(c).empty()); }},
        {"Misbehaviours", {"--misbehave", "status=5,detail=0x21,late=250", "--misbehave-once", "none",
                           "--misbehave-once", "unplug-delay=400,unplug-after=3", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const azk_SDeviceDescription& d = c.devices[0];
             ASSERT_TRUE(d.always.has_value());
             EXPECT_EQ(d.always->status, 5);
             EXPECT_EQ(d.always->detail, 0x21);
             EXPECT_EQ(d.always->delayMs, 250u);
             EXPECT_FALSE(d.always->silent);
             ASSERT_EQ(d.once.size(), 2u);
             EXPECT_FALSE(d.once[0].silent);
             EXPECT_FALSE(d.once[0].status.has_value());
             EXPECT_EQ(d.once[1].unplugDelayMs, 400u);
             EXPECT_EQ(d.always->unplugDelayMs, 0u);
             EXPECT_EQ(d.unplugAfter, 3u);
         }},
        {"WrongAnswers", {"--misbehave", "wrong-op,wrong-function,wrong-length,event4,event-nibble=3,stray", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const azk_SMisbehaviour& m = *c.devices[0].always;
             EXPECT_TRUE(m.op.has_value());
             EXPECT_NE(*m.op, 1);
             EXPECT_NE(*m.op, 3);
             EXPECT_NE(m.function.value_or(0x0036), 0x0036);
             EXPECT_NE(m.lengthDelta, 0);
             EXPECT_TRUE(m.asEventReport);
             EXPECT_EQ(m.eventMarkerNibble, 3);
             EXPECT_TRUE(m.strayContinuations);
         }},
        {"ReportFaults", {"--misbehave", "short=6,half,duplicate=5a", "--misbehave-once", "duplicate", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const azk_SMisbehaviour& m = *c.devices[0].always;
             EXPECT_EQ(m.cutBytes, 6u);
             EXPECT_TRUE(m.halfAnswer);
             EXPECT_TRUE(m.duplicate);
             EXPECT_EQ(m.duplicateXor, 0x5A);
             ASSERT_EQ(c.devices[0].once.size(), 1u);
             EXPECT_TRUE(c.devices[0].once[0].duplicate);
             EXPECT_EQ(c.devices[0].once[0].duplicateXor, 0);
             EXPECT_EQ(c.devices[0].once[0].cutBytes, 0u);
         }},
        {"ExplicitAnswerFields", {"--misbehave", "op=9,function=00ff,length=-2,length-header-only,segment=4,order=1.0",
                                  "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const azk_SMisbehaviour& m = *c.devices[0].always;
             EXPECT_EQ(m.op, 9);
             EXPECT_EQ(m.function, 0x00FF);
             EXPECT_EQ(m.lengthDelta, -2);
             EXPECT_TRUE(m.lengthHeaderOnly);
             EXPECT_EQ(m.segmentSize, 4u);
             EXPECT_EQ(m.reportOrder, (std::vector<size_t>{1, 0}));
         }},
        {"EventsAndTexts", {"--event", "1:2", "--event", "3:0x1234@2", "--text", "5:hello: world@1", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const auto& t = c.devices[0].traffic;
             ASSERT_EQ(t.size(), 3u);
             EXPECT_FALSE(t[0].isText);
             EXPECT_EQ(t[0].type, 1);
             EXPECT_EQ(t[0].value, 2);
             EXPECT_EQ(t[0].afterRequests, 0u);
             EXPECT_EQ(t[1].type, 3);
             EXPECT_EQ(t[1].value, 0x1234);
             EXPECT_EQ(t[1].afterRequests, 2u);
             EXPECT_TRUE(t[2].isText);
             EXPECT_EQ(t[2].channel, 5);
             EXPECT_EQ(t[2].text, "hello: world");
             EXPECT_EQ(t[2].afterRequests, 1u);
         }},
        {"VhidJunk", {"--vhid-junk", "empty,length=3,length=18,foreign-id=7", "--device", "--unnumbered",
                      "--vhid-junk", "length=17", "--serve"},
         [](const azk_SEmulatorConfig& c) {
             const auto& j = c.devices[0].vhidJunk;
             ASSERT_EQ(j.size(), 4u);
             EXPECT_EQ(j[0].kind, azk_SVhidJunk::Kind::Empty);
             EXPECT_EQ(j[1].kind, azk_SVhidJunk::Kind::Length);
             EXPECT_EQ(j[1].length, 3u);
             EXPECT_EQ(j[2].length, 18u);
             EXPECT_EQ(j[3].kind, azk_SVhidJunk::Kind::ForeignId);
             EXPECT_EQ(j[3].reportId, 7);
             ASSERT_EQ(c.devices[1].vhidJunk.size(), 1u);
             EXPECT_EQ(c.devices[1].vhidJunk[0].length, 17u);  // unnumbered: its message is 16 bytes
         }},
        {"ServeInADirectory", {"--serve", "--dir", "/run/user/1000/azk-vhid", "--uhid"},
         [](const azk_SEmulatorConfig& c) {
             EXPECT_EQ(c.directory, "/run/user/1000/azk-vhid");
             EXPECT_TRUE(c.uhid);
         }},
        {"HelpWinsOverWhatFollows", {"--help", "--bogus"},
         [](const azk_SEmulatorConfig& c) { EXPECT_TRUE(c.help); }},
    };
}

void PrintTo(const GoodCase& c, std::ostream* os) { *os << c.name; }

class EmulatorOptionsGoodTest : public ::testing::TestWithParam<GoodCase> {};

TEST_P(EmulatorOptionsGoodTest, Describes) {
    azk_SEmulatorConfig config;
    std::string error;
    ASSERT_TRUE(ParseEmulatorArguments(GetParam().args, config, error)) << error;
    GetParam().check(config);
}

INSTANTIATE_TEST_SUITE_P(Options, EmulatorOptionsGoodTest, ::testing::ValuesIn(GoodCases()),
                         [](const ::testing::TestParamInfo<GoodCase>& p) { return p.param.name; });

struct BadCase {
    const char* name;
    Args args;
    const char* message;  // part of the error
};

const BadCase kBadCases[] = {
    {"NothingToDo", {}, "nothing to do"},
    {"OnlyDeviceOptions", {"--variant", "2"}, "nothing to do"},
    {"ServeWithACommand", {"--serve", "--", "true"}, "--serve"},
    {"EmptyCommand", {"--"}, "no command"},
    {"UnknownOption", {"--frobnicate", "--serve"}, "--frobnicate"},
    {"MissingValue", {"--serve", "--variant"}, "needs a value"},
    {"BadVariant", {"--variant", "3", "--serve"}, "--variant"},
    {"BadVendor", {"--vendor", "12g4", "--serve"}, "--vendor"},
    {"VendorTooBig", {"--vendor", "10000", "--serve"}, "--vendor"},
    {"BadSe", {"--se", "on", "--serve"}, "--se"},
    {"BadMask", {"--lock-mask", "-1", "--serve"}, "--lock-mask"},
    {"TooManyDevices", {"--devices", "40", "--device", "--devices", "40", "--serve"}, "too many"},
    {"DevicesOutOfRange", {"--devices", "65", "--serve"}, "--devices"},
    {"NameWithSlash", {"--name", "../x", "--serve"}, "--name"},
    {"HiddenName", {"--name", ".x", "--serve"}, "--name"},
    {"SameNameTwice", {"--name", "x", "--device", "--name", "x", "--serve"}, "two devices"},
    {"NameClashesWithDefault", {"--device", "--name", "dev00", "--serve"}, "two devices"},
    {"UnknownMisbehaviour", {"--misbehave", "grumpy", "--serve"}, "grumpy"},
    {"StatusTooBig", {"--misbehave", "status=256", "--serve"}, "status"},
    {"StatusWithoutValue", {"--misbehave", "status", "--serve"}, "status"},
    {"EmptyMisbehaviourItem", {"--misbehave", "silent,", "--serve"}, "misbehaviour"},
    {"UnplugAfterZero", {"--misbehave", "unplug-after=0", "--serve"}, "unplug-after"},
    {"ShortZero", {"--misbehave", "short=0", "--serve"}, "short"},
    {"ShortWithoutValue", {"--misbehave", "short", "--serve"}, "short"},
    {"DuplicateXorTooBig", {"--misbehave", "duplicate=100", "--serve"}, "duplicate"},
    {"HalfWithValue", {"--misbehave", "half=1", "--serve"}, "half"},
    {"EventWithoutValue", {"--event", "1", "--serve"}, "TYPE:VALUE"},
    {"EventValueTooBig", {"--event", "1:256", "--serve"}, "--event"},
    {"Type3ValueTooBig", {"--event", "3:65536", "--serve"}, "--event"},
    {"EventAfterZero", {"--event", "1:1@0", "--serve"}, "--event"},
    {"DirWithoutServe", {"--dir", "/tmp/x", "--", "true"}, "--dir"},
    {"RelativeDir", {"--serve", "--dir", "x"}, "--dir"},
    {"HeldOnUhid", {"--uhid", "--held", "--serve"}, "--uhid"},
    {"JunkOnUhid", {"--uhid", "--vhid-junk", "empty", "--serve"}, "--uhid"},
    {"UnknownJunk", {"--vhid-junk", "noise", "--serve"}, "noise"},
    {"JunkOfTheReportsOwnLength", {"--vhid-junk", "length=17", "--serve"}, "length=17"},
    {"JunkLengthZero", {"--vhid-junk", "length=0", "--serve"}, "length=0"},
    {"JunkLengthTooBig", {"--vhid-junk", "length=4097", "--serve"}, "length=4097"},
    {"JunkWithTheInputReportId", {"--vhid-junk", "foreign-id=1", "--serve"}, "foreign-id=1"},
    {"ForeignIdWhenUnnumbered", {"--unnumbered", "--vhid-junk", "foreign-id=7", "--serve"}, "unnumbered"},
};

void PrintTo(const BadCase& c, std::ostream* os) { *os << c.name; }

class EmulatorOptionsBadTest : public ::testing::TestWithParam<BadCase> {};

TEST_P(EmulatorOptionsBadTest, IsRefusedWithAMessage) {
    azk_SEmulatorConfig config;
    std::string error;
    EXPECT_FALSE(ParseEmulatorArguments(GetParam().args, config, error));
    EXPECT_NE(error.find(GetParam().message), std::string::npos) << error;
}

INSTANTIATE_TEST_SUITE_P(Options, EmulatorOptionsBadTest, ::testing::ValuesIn(kBadCases),
                         [](const ::testing::TestParamInfo<BadCase>& p) { return p.param.name; });

}  // namespace
}  // namespace azk

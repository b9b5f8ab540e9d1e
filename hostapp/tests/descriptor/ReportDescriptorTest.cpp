// Report descriptor parser: real-world-shaped descriptors with byte lengths
// and capabilities worked out by hand, the field rules, and malformed input.
#include "transport/platform/hidparse/ReportDescriptor.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

namespace azk {
namespace {

using Bytes = std::vector<uint8_t>;

// report ID, usage page, is range, usage min, usage max, report count
using Cap = std::tuple<int, int, bool, int, int, int>;

Cap Single(int id, int page, int usage, int count) { return Cap{id, page, false, usage, usage, count}; }
Cap Range(int id, int page, int min, int max, int count) { return Cap{id, page, true, min, max, count}; }

std::vector<Cap> Caps(const std::vector<HidCapability>& caps) {
    std::vector<Cap> keys;
    for (const HidCapability& c : caps) {
        keys.emplace_back(c.reportId, c.usagePage, c.isRange, c.usageMin, c.usageMax, c.reportCount);
    }
    return keys;
}

Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes Repeat(const Bytes& item, int times) {
    Bytes all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), item.begin(), item.end());
    return all;
}

// Usage Page (0xFF00), Usage (1), Collection (Application) ... End Collection
Bytes InVendorCollection(const Bytes& body) {
    return Concat({{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01}, body, {0xC0}});
}

struct Result {
    bool ok = false;
    HidDescriptorError error = HidDescriptorError::None;
    HidDescriptorInfo info;
};

// Parses from a heap copy of exactly the descriptor's size, so that
// AddressSanitizer reports any read past its end.
Result Parse(const Bytes& descriptor) {
    auto copy = std::make_unique<uint8_t[]>(descriptor.size());
    std::copy(descriptor.begin(), descriptor.end(), copy.get());
    Result r;
    r.ok = ParseReportDescriptor(copy.get(), descriptor.size(), r.info, &r.error);
    return r;
}

const HidReportTypeCaps& Of(const Result& r, HidReportType t, size_t collection = 0) {
    return r.info.collections.at(collection).caps.Of(t);
}

constexpr auto kIn = HidReportType::Input;
constexpr auto kOut = HidReportType::Output;
constexpr auto kFeat = HidReportType::Feature;

// HID 1.11 boot keyboard: modifier bitmap, reserved byte, LED output with
// padding, 6-key array.
const Bytes kBootKeyboard = {
    0x05, 0x01, 0x09, 0x06, 0xA1, 0x01,  // Generic Desktop / Keyboard, Application
    0x05, 0x07, 0x19, 0xE0, 0x29, 0xE7,  // Keyboard page, usages E0..E7
    0x15, 0x00, 0x25, 0x01, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02,  // 8 x 1 bit, Input Var
    0x95, 0x01, 0x75, 0x08, 0x81, 0x01,  // 1 x 8 bits, Input Const (reserved)
    0x95, 0x05, 0x75, 0x01, 0x05, 0x08, 0x19, 0x01, 0x29, 0x05, 0x91, 0x02,  // LEDs 1..5, Output Var
    0x95, 0x01, 0x75, 0x03, 0x91, 0x01,  // 3 bits Output Const (padding)
    0x95, 0x06, 0x75, 0x08, 0x15, 0x00, 0x25, 0x65,  // 6 x 8 bits, 0..101
    0x05, 0x07, 0x19, 0x00, 0x29, 0x65, 0x81, 0x00,  // key codes 0..101, Input Array
    0xC0,
};

// Three-button wheel mouse.
const Bytes kWheelMouse = {
    0x05, 0x01, 0x09, 0x02, 0xA1, 0x01,  // Generic Desktop / Mouse, Application
    0x09, 0x01, 0xA1, 0x00,              // Pointer, Physical
    0x05, 0x09, 0x19, 0x01, 0x29, 0x03,  // Buttons 1..3
    0x15, 0x00, 0x25, 0x01, 0x95, 0x03, 0x75, 0x01, 0x81, 0x02,  // 3 x 1 bit, Input Var
    0x95, 0x01, 0x75, 0x05, 0x81, 0x01,  // 5 bits Input Const (padding)
    0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x38,  // X, Y, Wheel
    0x15, 0x81, 0x25, 0x7F, 0x75, 0x08, 0x95, 0x03, 0x81, 0x06,  // 3 x 8 bits, Input Var Rel
    0xC0, 0xC0,
};

// The speakerphone's vendor-defined collection: one input and one output
// report of `length` data bytes, numbered with input ID 1 and output ID 2.
Bytes VendorDevice(bool numbered, uint8_t length) {
    const Bytes inId = numbered ? Bytes{0x85, 0x01} : Bytes{};
    const Bytes outId = numbered ? Bytes{0x85, 0x02} : Bytes{};
    return InVendorCollection(Concat({
        inId,
        {0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, length, 0x81, 0x02},
        outId,
        {0x09, 0x03, 0x95, length, 0x91, 0x02},
    }));
}

// One collection, several report IDs of different lengths.
const Bytes kMultiReport = InVendorCollection({
    0x85, 0x01, 0x09, 0x10, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02,  // ID 1: 4 bytes
    0x85, 0x02, 0x09, 0x11, 0x95, 0x20, 0x81, 0x02,                                          // ID 2: 32 bytes
    0x85, 0x03, 0x09, 0x12, 0x25, 0x01, 0x75, 0x01, 0x95, 0x03, 0x81, 0x02,                  // ID 3: 3 bits
    0x75, 0x05, 0x95, 0x01, 0x81, 0x03,                                                      //   + 5 padding
    0x85, 0x04, 0x09, 0x13, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x07, 0xB1, 0x02,            // ID 4: feature 7
});

// A speakerphone-shaped device with three top-level collections: consumer
// control (ID 1), telephony with LEDs (IDs 2 and 3), vendor (IDs 4 and 5).
const Bytes kThreeCollections = {
    0x05, 0x0C, 0x09, 0x01, 0xA1, 0x01,  // Consumer / Consumer Control
    0x85, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x03, 0x19, 0x00, 0x2A, 0xFF, 0x03,
    0x75, 0x10, 0x95, 0x01, 0x81, 0x00,  // one 16-bit array slot, usages 0..0x3FF
    0xC0,
    0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01,  // Telephony / Headset
    0x85, 0x02, 0x15, 0x00, 0x25, 0x01, 0x09, 0x20, 0x09, 0x2F,  // Hook Switch, Phone Mute
    0x75, 0x01, 0x95, 0x02, 0x81, 0x02, 0x75, 0x06, 0x95, 0x01, 0x81, 0x03,
    0x85, 0x03, 0x05, 0x08, 0x09, 0x17, 0x09, 0x09,  // LEDs Off-Hook, Mute
    0x95, 0x02, 0x75, 0x01, 0x91, 0x02, 0x75, 0x06, 0x95, 0x01, 0x91, 0x03,
    0xC0,
    0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01,  // vendor
    0x85, 0x04, 0x09, 0x02, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10, 0x81, 0x02,
    0x85, 0x05, 0x09, 0x03, 0x91, 0x02,
    0xC0,
};

TEST(ReportDescriptorTest, BootKeyboard) {
    const Result r = Parse(kBootKeyboard);
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_FALSE(r.info.numbered);
    ASSERT_EQ(r.info.collections.size(), 1u);
    EXPECT_EQ(r.info.collections[0].usagePage, 0x01);
    EXPECT_EQ(r.info.collections[0].usage, 0x06);

    // 8 modifier bits + reserved byte + 6 key bytes = 8 bytes, + ID byte.
    EXPECT_EQ(Of(r, kIn).byteLength, 9);
    EXPECT_EQ(Of(r, kOut).byteLength, 2);  // 5 LED bits + 3 padding, + ID byte
    EXPECT_EQ(Of(r, kFeat).byteLength, 0);

    EXPECT_EQ(Caps(Of(r, kIn).buttons),
              (std::vector<Cap>{Range(0, 0x07, 0xE0, 0xE7, 8), Range(0, 0x07, 0x00, 0x65, 6)}));
    EXPECT_TRUE(Of(r, kIn).values.empty());  // the reserved byte has no usage
    EXPECT_EQ(Caps(Of(r, kOut).buttons), (std::vector<Cap>{Range(0, 0x08, 1, 5, 5)}));
    EXPECT_TRUE(Of(r, kOut).values.empty());

    const HidCapabilities& caps = r.info.collections[0].caps;
    EXPECT_EQ(HidMaxUsageListLength(caps, kIn, 0x07), 14u);  // 8 modifiers + 6 keys
    EXPECT_EQ(HidMaxUsageListLength(caps, kIn, 0), 14u);
    EXPECT_EQ(HidMaxUsageListLength(caps, kIn, 0x08), 0u);
    EXPECT_EQ(HidMaxUsageListLength(caps, kOut, 0x08), 5u);
    EXPECT_EQ(HidMaxUsageListLength(caps, kFeat, 0), 0u);

    EXPECT_EQ(r.info.FindCollection(kIn, 0), 0);
    EXPECT_EQ(r.info.FindCollection(kOut, 0), 0);
    EXPECT_EQ(r.info.FindCollection(kFeat, 0), -1);
    EXPECT_EQ(r.info.FindCollection(kIn, 1), -1);
}

TEST(ReportDescriptorTest, WheelMouse) {
    const Result r = Parse(kWheelMouse);
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    ASSERT_EQ(r.info.collections.size(), 1u);  // the physical collection is nested
    EXPECT_EQ(Of(r, kIn).byteLength, 5);       // 3 + 5 bits, 3 bytes, + ID byte
    EXPECT_EQ(Of(r, kOut).byteLength, 0);
    EXPECT_EQ(Caps(Of(r, kIn).buttons), (std::vector<Cap>{Range(0, 0x09, 1, 3, 3)}));
    // One Variable main item lists its usages last first.
    EXPECT_EQ(Caps(Of(r, kIn).values),
              (std::vector<Cap>{Single(0, 0x01, 0x38, 1), Single(0, 0x01, 0x31, 1), Single(0, 0x01, 0x30, 1)}));
    EXPECT_EQ(HidMaxUsageListLength(r.info.collections[0].caps, kIn, 0x09), 3u);
    EXPECT_EQ(HidMaxUsageListLength(r.info.collections[0].caps, kIn, 0x01), 0u);
}

struct VendorCase {
    bool numbered;
    uint8_t length;
};

class VendorDeviceTest : public ::testing::TestWithParam<VendorCase> {};

TEST_P(VendorDeviceTest, LengthsAndReportIds) {
    const VendorCase c = GetParam();
    const Result r = Parse(VendorDevice(c.numbered, c.length));
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_EQ(r.info.numbered, c.numbered);
    ASSERT_EQ(r.info.collections.size(), 1u);
    EXPECT_EQ(r.info.collections[0].usagePage, 0xFF00);
    EXPECT_EQ(r.info.collections[0].usage, 0x01);

    // The report ID byte is counted whether or not reports are numbered.
    EXPECT_EQ(Of(r, kIn).byteLength, c.length + 1);
    EXPECT_EQ(Of(r, kOut).byteLength, c.length + 1);
    EXPECT_EQ(Of(r, kFeat).byteLength, 0);

    const int inId = c.numbered ? 1 : 0;
    const int outId = c.numbered ? 2 : 0;
    EXPECT_TRUE(Of(r, kIn).buttons.empty());
    EXPECT_TRUE(Of(r, kOut).buttons.empty());
    EXPECT_EQ(Caps(Of(r, kIn).values), (std::vector<Cap>{Single(inId, 0xFF00, 0x02, c.length)}));
    EXPECT_EQ(Caps(Of(r, kOut).values), (std::vector<Cap>{Single(outId, 0xFF00, 0x03, c.length)}));
    EXPECT_EQ(r.info.FindCollection(kIn, static_cast<uint8_t>(inId)), 0);
    EXPECT_EQ(r.info.FindCollection(kOut, static_cast<uint8_t>(outId)), 0);
    if (c.numbered) {
        EXPECT_EQ(r.info.FindCollection(kOut, 1), -1);
    }
}

INSTANTIATE_TEST_SUITE_P(Variants, VendorDeviceTest,
                         ::testing::Values(VendorCase{true, 16}, VendorCase{false, 16}, VendorCase{true, 64},
                                           VendorCase{false, 64}),
                         [](const ::testing::TestParamInfo<VendorCase>& p) {
                             return std::string(p.param.numbered ? "Numbered" : "Unnumbered") +
                                    std::to_string(p.param.length);
                         });

TEST(ReportDescriptorTest, SeveralReportIdsGiveTheLongestReport) {
    const Result r = Parse(kMultiReport);
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_TRUE(r.info.numbered);
    // Input reports 1, 2, 3 have 4, 32 and 1 data bytes: the longest counts.
    EXPECT_EQ(Of(r, kIn).byteLength, 33);
    EXPECT_EQ(Of(r, kOut).byteLength, 0);
    EXPECT_EQ(Of(r, kFeat).byteLength, 8);
    EXPECT_EQ(Caps(Of(r, kIn).buttons), (std::vector<Cap>{Single(3, 0xFF00, 0x12, 3)}));
    EXPECT_EQ(Caps(Of(r, kIn).values),
              (std::vector<Cap>{Single(1, 0xFF00, 0x10, 4), Single(2, 0xFF00, 0x11, 32)}));
    EXPECT_EQ(Caps(Of(r, kFeat).values), (std::vector<Cap>{Single(4, 0xFF00, 0x13, 7)}));
    EXPECT_EQ(HidMaxUsageListLength(r.info.collections[0].caps, kIn, 0xFF00), 3u);
    for (uint8_t id : {1, 2, 3}) EXPECT_EQ(r.info.FindCollection(kIn, id), 0) << int(id);
    EXPECT_EQ(r.info.FindCollection(kFeat, 4), 0);
    EXPECT_EQ(r.info.FindCollection(kIn, 4), -1);
    EXPECT_EQ(r.info.FindCollection(kIn, 0), -1);
}

TEST(ReportDescriptorTest, TopLevelCollectionsAreSeparateInterfaces) {
    const Result r = Parse(kThreeCollections);
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_TRUE(r.info.numbered);
    ASSERT_EQ(r.info.collections.size(), 3u);

    EXPECT_EQ(r.info.collections[0].usagePage, 0x0C);
    EXPECT_EQ(Of(r, kIn, 0).byteLength, 3);
    EXPECT_EQ(Of(r, kOut, 0).byteLength, 0);
    EXPECT_EQ(Caps(Of(r, kIn, 0).buttons), (std::vector<Cap>{Range(1, 0x0C, 0x000, 0x3FF, 1)}));

    EXPECT_EQ(r.info.collections[1].usagePage, 0x0B);
    EXPECT_EQ(r.info.collections[1].usage, 0x05);
    EXPECT_EQ(Of(r, kIn, 1).byteLength, 2);
    EXPECT_EQ(Of(r, kOut, 1).byteLength, 2);
    EXPECT_EQ(Caps(Of(r, kIn, 1).buttons),
              (std::vector<Cap>{Single(2, 0x0B, 0x2F, 1), Single(2, 0x0B, 0x20, 1)}));
    EXPECT_EQ(Caps(Of(r, kOut, 1).buttons),
              (std::vector<Cap>{Single(3, 0x08, 0x09, 1), Single(3, 0x08, 0x17, 1)}));
    EXPECT_EQ(HidMaxUsageListLength(r.info.collections[1].caps, kOut, 0x08), 2u);

    // The vendor collection alone: its output report ID is 5, although the
    // first output button of the whole descriptor (an LED) has ID 3.
    EXPECT_EQ(Of(r, kIn, 2).byteLength, 17);
    EXPECT_EQ(Of(r, kOut, 2).byteLength, 17);
    EXPECT_TRUE(Of(r, kOut, 2).buttons.empty());
    EXPECT_EQ(Caps(Of(r, kOut, 2).values), (std::vector<Cap>{Single(5, 0xFF00, 0x03, 16)}));
    EXPECT_EQ(Caps(Of(r, kIn, 2).values), (std::vector<Cap>{Single(4, 0xFF00, 0x02, 16)}));

    EXPECT_EQ(r.info.FindCollection(kIn, 1), 0);
    EXPECT_EQ(r.info.FindCollection(kIn, 2), 1);
    EXPECT_EQ(r.info.FindCollection(kOut, 3), 1);
    EXPECT_EQ(r.info.FindCollection(kIn, 4), 2);
    EXPECT_EQ(r.info.FindCollection(kOut, 5), 2);
    EXPECT_EQ(r.info.FindCollection(kOut, 4), -1);
    EXPECT_EQ(r.info.FindCollection(kIn, 3), -1);
}

// How fields become capabilities, each inside a vendor collection with
// unnumbered input reports.
struct FieldCase {
    const char* name;
    Bytes body;
    int inputLength;
    std::vector<Cap> buttons;
    std::vector<Cap> values;
};

TEST(ReportDescriptorTest, FieldRules) {
    const std::vector<FieldCase> cases = {
        {"constant field with usages is reported",
         {0x05, 0x09, 0x19, 0x01, 0x29, 0x04, 0x75, 0x01, 0x95, 0x04, 0x81, 0x03, 0x75, 0x04, 0x95, 0x01, 0x81, 0x03},
         2, {Range(0, 0x09, 1, 4, 4)}, {}},
        {"one-bit variable is a button whatever its logical range",
         {0x05, 0x01, 0x09, 0x30, 0x15, 0x00, 0x25, 0x05, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02, 0x75, 0x07, 0x81, 0x03},
         2, {Single(0, 0x01, 0x30, 1)}, {}},
        {"wider variable with logical range 0..1 is a value",
         {0x05, 0x09, 0x09, 0x01, 0x15, 0x00, 0x25, 0x01, 0x75, 0x02, 0x95, 0x01, 0x81, 0x02, 0x75, 0x06, 0x81, 0x03},
         2, {}, {Single(0, 0x09, 0x01, 1)}},
        {"usages beyond the report count get no field",
         {0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x09, 0x32, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02},
         3, {}, {Single(0, 0x01, 0x31, 1), Single(0, 0x01, 0x30, 1)}},
        {"last usage takes the remaining fields",
         {0x05, 0x01, 0x09, 0x30, 0x09, 0x31, 0x75, 0x08, 0x95, 0x04, 0x81, 0x02},
         5, {}, {Single(0, 0x01, 0x31, 3), Single(0, 0x01, 0x30, 1)}},
        {"value range has one field per usage",
         {0x05, 0x01, 0x19, 0x30, 0x29, 0x32, 0x75, 0x08, 0x95, 0x03, 0x81, 0x02},
         4, {}, {Range(0, 0x01, 0x30, 0x32, 1)}},
        {"range then usage in one variable item",
         {0x05, 0x09, 0x19, 0x01, 0x29, 0x03, 0x09, 0x08, 0x75, 0x01, 0x95, 0x05, 0x81, 0x02, 0x75, 0x03, 0x95, 0x01,
          0x81, 0x03},
         2, {Single(0, 0x09, 0x08, 2), Range(0, 0x09, 1, 3, 3)}, {}},
        {"button range wider than its fields",
         {0x05, 0x09, 0x19, 0x01, 0x29, 0x10, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02},
         2, {Range(0, 0x09, 0x01, 0x10, 8)}, {}},
        {"array usages each cover every slot",
         {0x05, 0x09, 0x09, 0x01, 0x19, 0x05, 0x29, 0x07, 0x15, 0x00, 0x25, 0x04, 0x75, 0x08, 0x95, 0x03, 0x81, 0x00},
         4, {Single(0, 0x09, 0x01, 3), Range(0, 0x09, 0x05, 0x07, 3)}, {}},
        {"report count 0 adds nothing",
         {0x05, 0x01, 0x09, 0x30, 0x75, 0x08, 0x95, 0x00, 0x81, 0x02},
         1, {}, {}},
        {"usage 0 and padding give no capability",
         {0x05, 0x01, 0x09, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02, 0x81, 0x03},
         3, {}, {}},
        {"report size 0 is a value field",
         {0x05, 0x01, 0x09, 0x30, 0x75, 0x00, 0x95, 0x02, 0x81, 0x02},
         1, {}, {Single(0, 0x01, 0x30, 2)}},
        {"4-byte usages carry their page",
         {0x05, 0x09,
          0x0B, 0x38, 0x02, 0x0C, 0x00, 0x75, 0x10, 0x95, 0x01, 0x81, 0x02,                  // Consumer 0x238
          0x1B, 0x00, 0x00, 0x07, 0x00, 0x2B, 0x65, 0x00, 0x07, 0x00, 0x75, 0x08, 0x95, 0x02,  // Keyboard 0..0x65
          0x81, 0x00,
          0x0B, 0x05, 0x00, 0x00, 0x00, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02,  // page 0: current page
          0x75, 0x07, 0x81, 0x03},
         6, {Range(0, 0x07, 0x00, 0x65, 2), Single(0, 0x09, 0x05, 1)}, {Single(0, 0x0C, 0x238, 1)}},
        {"usage page binds where the usage is declared",
         {0x05, 0x01, 0x09, 0x30, 0x05, 0x09, 0x09, 0x31, 0x75, 0x08, 0x95, 0x02, 0x81, 0x02},
         3, {}, {Single(0, 0x09, 0x31, 1), Single(0, 0x01, 0x30, 1)}},
        {"push and pop restore the global items",
         {0x75, 0x08, 0x95, 0x02, 0xA4, 0x05, 0x09, 0x19, 0x01, 0x29, 0x08, 0x75, 0x01, 0x95, 0x08, 0x81, 0x02, 0xB4,
          0x09, 0x05, 0x81, 0x02},
         4, {Range(0, 0x09, 1, 8, 8)}, {Single(0, 0xFF00, 0x05, 2)}},
        {"delimited set keeps its first usage",
         {0x05, 0x01, 0xA9, 0x01, 0x09, 0x30, 0x09, 0x31, 0x19, 0x40, 0x29, 0x42, 0xA9, 0x00, 0x09, 0x32, 0x75, 0x08,
          0x95, 0x02, 0x81, 0x02},
         3, {}, {Single(0, 0x01, 0x32, 1), Single(0, 0x01, 0x30, 1)}},
        {"long items, reserved items and tags are skipped",
         {0xFE, 0x03, 0xF0, 0xAA, 0xBB, 0xCC, 0xFE, 0x00, 0x01, 0x69, 0x07, 0x0D, 0x55, 0x09, 0x02, 0x75, 0x08, 0x95,
          0x01, 0x81, 0x02, 0x00},
         2, {}, {Single(0, 0xFF00, 0x02, 1)}},
    };
    for (const FieldCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = Parse(InVendorCollection(c.body));
        ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
        EXPECT_EQ(Of(r, kIn).byteLength, c.inputLength);
        EXPECT_EQ(Caps(Of(r, kIn).buttons), c.buttons);
        EXPECT_EQ(Caps(Of(r, kIn).values), c.values);
    }
}

TEST(ReportDescriptorTest, UnknownMainItemsEndTheLocalItems) {
    // Trailing 0x00 bytes, as some devices send, and a 0x00 between a usage
    // and its field: the usage is gone when the field comes.
    const Result r = Parse(Concat({InVendorCollection({0x09, 0x02, 0x00, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}),
                                   {0x00, 0x00}}));
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_EQ(Of(r, kIn).byteLength, 2);
    EXPECT_TRUE(Of(r, kIn).values.empty());
}

TEST(ReportDescriptorTest, ReportLengthBound) {
    // 4095 data bytes + ID byte = 4096: the longest report accepted, per report ID.
    const Bytes longest = {0x09, 0x02, 0x75, 0x08, 0x96, 0xFF, 0x0F, 0x81, 0x02};
    Result r = Parse(InVendorCollection(longest));
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_EQ(Of(r, kIn).byteLength, 4096);

    r = Parse(InVendorCollection(Concat({{0x85, 0x01}, longest, {0x85, 0x02}, longest})));
    ASSERT_TRUE(r.ok) << HidDescriptorErrorName(r.error);
    EXPECT_EQ(Of(r, kIn).byteLength, 4096);
}

TEST(ReportDescriptorTest, EachReportHasItsOwnByteLength) {
    const Result multi = Parse(kMultiReport);
    ASSERT_TRUE(multi.ok) << HidDescriptorErrorName(multi.error);
    // (type, report ID, byte length with the ID byte); 0: not declared.
    const std::vector<std::tuple<HidReportType, int, int>> numbered = {
        {kIn, 1, 5}, {kIn, 2, 33}, {kIn, 3, 2}, {kIn, 4, 0}, {kFeat, 4, 8},
        {kOut, 1, 0}, {kIn, 0, 0}, {kIn, 9, 0}, {kIn, 255, 0},
    };
    for (const auto& [type, id, length] : numbered) {
        EXPECT_EQ(multi.info.ReportByteLength(type, static_cast<uint8_t>(id)), length)
            << "type " << static_cast<int>(type) << " id " << id;
    }
    const Result unnumbered = Parse(VendorDevice(false, 16));
    ASSERT_TRUE(unnumbered.ok);
    EXPECT_EQ(unnumbered.info.ReportByteLength(kIn, 0), 17);
    EXPECT_EQ(unnumbered.info.ReportByteLength(kOut, 0), 17);
    EXPECT_EQ(unnumbered.info.ReportByteLength(kIn, 1), 0);
}

// The record count against brute force: every button capability's list is
// HidMaxUsageListLength of its page (page 0: all pages).
TEST(ReportDescriptorTest, RecordEntriesCountListsAndDataItems) {
    const std::vector<std::vector<HidCapability>> buttonSets = {
        {},
        {{1, 9, true, 1, 3, 3}},
        {{1, 9, true, 1, 3, 3}, {1, 9, false, 7, 7, 2}, {1, 8, false, 1, 1, 1}, {1, 0, false, 5, 5, 4}},
        {{1, 0, false, 5, 5, 4}, {2, 0, false, 6, 6, 1}, {2, 0xFF00, true, 1, 255, 255}},
    };
    for (const auto& buttons : buttonSets) {
        HidCapabilities caps;
        caps.Of(kOut).buttons = buttons;
        caps.Of(kIn).buttons = buttons;
        caps.Of(kFeat).values = {{1, 0xFF00, true, 0x10, 0x12, 1}, {1, 0xFF00, false, 0x20, 0x20, 4}};
        uint64_t expected = 3 + 1;  // the feature value usages
        for (HidReportType t : {kIn, kOut}) {
            for (const HidCapability& cap : buttons) expected += 1 + HidMaxUsageListLength(caps, t, cap.usagePage);
        }
        EXPECT_EQ(HidRecordEntries(caps), expected);
    }
}

// n single-usage buttons of one page: n usage lists of n entries and n data
// items. A few kilobytes of descriptor could otherwise make a client build
// gigantic usage lists: 2040 array capabilities of 16 slots each ask for
// 2040 lists of 32640 entries, over 130 MB.
TEST(ReportDescriptorTest, CollectionWhoseRecordWouldBeTooLargeIsRefused) {
    auto buttons = [](int n, uint8_t reportId = 0) {
        Bytes body = {0x75, 0x01};
        if (reportId != 0) body.insert(body.end(), {0x85, reportId});
        for (int done = 0; done < n;) {
            const int here = std::min(n - done, 200);
            for (int u = done + 1; u <= done + here; ++u) {
                body.insert(body.end(), {0x0A, static_cast<uint8_t>(u), static_cast<uint8_t>(u >> 8)});
            }
            body.insert(body.end(), {0x95, static_cast<uint8_t>(here), 0x81, 0x02});
            done += here;
        }
        return InVendorCollection(body);
    };
    Bytes hostile = {0x75, 0x08, 0x95, 0x10};  // 16 array slots of 8 bits
    for (int block = 0; block < 8; ++block) {
        for (int u = 1; u <= 255; ++u) hostile.insert(hostile.end(), {0x09, static_cast<uint8_t>(u)});
        hostile.insert(hostile.end(), {0x81, 0x00});
    }
    hostile = InVendorCollection(hostile);
    ASSERT_LE(hostile.size(), 4200u);

    static_assert(511u * 511u + 511u <= kHidMaxInterfaceEntries && 512u * 512u + 512u > kHidMaxInterfaceEntries);
    const Result fits = Parse(buttons(511));
    ASSERT_TRUE(fits.ok) << HidDescriptorErrorName(fits.error);
    EXPECT_EQ(Of(fits, kIn).buttons.size(), 511u);
    EXPECT_EQ(HidRecordEntries(fits.info.collections[0].caps), 511u * 511u + 511u);

    for (const Bytes& refused : {buttons(512), hostile, Concat({VendorDevice(true, 16), buttons(600, 3)})}) {
        const Result r = Parse(refused);
        EXPECT_FALSE(r.ok);
        EXPECT_EQ(r.error, HidDescriptorError::InterfaceTooLarge) << HidDescriptorErrorName(r.error);
        EXPECT_TRUE(r.info.collections.empty());
    }
}

struct MalformedCase {
    const char* name;
    Bytes descriptor;
    HidDescriptorError error;
};

TEST(ReportDescriptorTest, MalformedDescriptorsAreRejected) {
    using E = HidDescriptorError;
    const Bytes field = {0x09, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02};
    const std::vector<MalformedCase> cases = {
        {"empty", {}, E::Empty},
        {"no collection", {0x05, 0x01, 0x09, 0x02}, E::Empty},
        {"truncated short item", {0x05, 0x01, 0x09}, E::Truncated},
        {"truncated 2-byte data", {0x05, 0x01, 0x26, 0xFF}, E::Truncated},
        {"truncated 4-byte data", {0x05, 0x01, 0x07, 0x00, 0x00}, E::Truncated},
        {"truncated long item header", {0xFE, 0x05}, E::Truncated},
        {"truncated long item data", {0xFE, 0x05, 0x00, 0x01, 0x02, 0x03}, E::Truncated},
        {"report id 0", InVendorCollection({0x85, 0x00}), E::BadReportId},
        {"report id without data", InVendorCollection({0x84}), E::BadReportId},
        {"report id above 255", InVendorCollection({0x86, 0x00, 0x01}), E::BadReportId},
        {"usage page above 16 bits", {0x07, 0x00, 0x00, 0x01, 0x00}, E::BadValue},
        {"report count above 16 bits", InVendorCollection({0x97, 0x00, 0x00, 0x01, 0x00}), E::BadValue},
        {"reserved global tag", InVendorCollection({0xC4}), E::UnknownGlobalItem},
        {"runaway push", Repeat({0xA4}, 17), E::StackOverflow},
        {"pop without push", InVendorCollection({0xA4, 0xB4, 0xB4}), E::StackUnderflow},
        {"end collection without collection", {0xC0}, E::UnbalancedCollection},
        {"end collection after the last", Concat({InVendorCollection({}), {0xC0}}), E::UnbalancedCollection},
        {"collection left open", {0x09, 0x01, 0xA1, 0x01, 0x09, 0x02, 0xA1, 0x00, 0xC0}, E::UnbalancedCollection},
        {"collections nested too deep",
         Concat({Repeat({0xA1, 0x00}, 33), Repeat({0xC0}, 33)}),
         E::CollectionLimit},
        {"field outside every collection", field, E::ItemOutsideCollection},
        {"field after the collection", Concat({InVendorCollection({}), field}), E::ItemOutsideCollection},
        {"size times count overflows",
         InVendorCollection({0x09, 0x01, 0x77, 0xFF, 0xFF, 0xFF, 0xFF, 0x96, 0xFF, 0xFF, 0x81, 0x02}),
         E::ReportTooLong},
        {"report above 4096 bytes", InVendorCollection({0x09, 0x01, 0x75, 0x08, 0x96, 0x00, 0x10, 0x91, 0x02}),
         E::ReportTooLong},
        {"fields add up past 4096 bytes",
         InVendorCollection({0x09, 0x01, 0x75, 0x08, 0x96, 0x00, 0x08, 0xB1, 0x02, 0xB1, 0x02}), E::ReportTooLong},
        {"too many usages", InVendorCollection(Concat({Repeat({0x09, 0x01}, 257), field})),
         E::TooManyUsages},
        {"usage minimum above maximum", InVendorCollection({0x19, 0x05, 0x29, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02}),
         E::BadUsageRange},
        {"usage minimum without maximum", InVendorCollection({0x19, 0x01, 0x75, 0x01, 0x95, 0x01, 0x81, 0x02}),
         E::BadUsageRange},
        {"usage maximum without minimum", InVendorCollection({0x29, 0x01, 0xA1, 0x00, 0xC0}), E::BadUsageRange},
        {"usage range across pages",
         InVendorCollection({0x1B, 0x01, 0x00, 0x09, 0x00, 0x2B, 0x03, 0x00, 0x07, 0x00, 0x81, 0x00}),
         E::BadUsageRange},
        {"delimiter close without open", InVendorCollection({0xA9, 0x00}), E::BadDelimiter},
        {"delimiter opened twice", InVendorCollection({0xA9, 0x01, 0xA9, 0x01}), E::BadDelimiter},
        {"delimiter with another value", InVendorCollection({0xA9, 0x02}), E::BadDelimiter},
        {"delimiter open at a main item", InVendorCollection({0xA9, 0x01, 0x09, 0x01, 0x81, 0x02}), E::BadDelimiter},
        {"numbered and unnumbered fields",
         InVendorCollection(Concat({field, {0x85, 0x01}, field})), E::MixedReportIds},
        {"report id in two collections",
         Concat({InVendorCollection(Concat({{0x85, 0x01}, field})), {0x09, 0x02, 0xA1, 0x01, 0x91, 0x02, 0xC0}}),
         E::SharedReportId},
        {"unnumbered fields in two collections",
         Concat({InVendorCollection(field), InVendorCollection(field)}), E::SharedReportId},
        {"button usage lists too long",
         InVendorCollection({0x05, 0x09, 0x19, 0x01, 0x29, 0x02, 0x75, 0x00, 0x96, 0xFF, 0xFF, 0x81, 0x00}),
         E::TooManyReportUsages},
        {"value usages too many",
         InVendorCollection({0x19, 0x00, 0x2A, 0xFF, 0xFF, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02}),
         E::TooManyReportUsages},
    };
    for (const MalformedCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = Parse(c.descriptor);
        EXPECT_FALSE(r.ok);
        EXPECT_STREQ(HidDescriptorErrorName(r.error), HidDescriptorErrorName(c.error));
        EXPECT_TRUE(r.info.collections.empty());
        EXPECT_FALSE(r.info.numbered);
    }
}

// The parser's limits, written out: 16 pushed global states, 32 nested
// collections, 256 usages before one main item. Each is accepted when
// reached and refused one past it.
TEST(ReportDescriptorTest, LimitsAreAcceptedAtTheLimitAndRefusedOnePast) {
    using E = HidDescriptorError;
    const Bytes field = {0x09, 0x01, 0x75, 0x08, 0x95, 0x01, 0x81, 0x02};
    // A vendor application collection with depth - 1 collections nested
    // in it, the field innermost.
    auto nested = [&](int depth) {
        return Concat({{0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01}, Repeat({0xA1, 0x00}, depth - 1), field,
                       Repeat({0xC0}, depth)});
    };
    auto pushed = [&](int pushes) {
        return InVendorCollection(Concat({Repeat({0xA4}, pushes), field, Repeat({0xB4}, pushes)}));
    };
    auto usages = [&](int count) {
        return InVendorCollection(Concat({Repeat({0x09, 0x01}, count), {0x75, 0x08, 0x95, 0x01, 0x81, 0x02}}));
    };
    const struct {
        const char* name;
        Bytes descriptor;
        bool accepted;
        HidDescriptorError error;
    } cases[] = {
        {"16 pushes", pushed(16), true, E::None},
        {"17 pushes", pushed(17), false, E::StackOverflow},
        {"32 nested collections", nested(32), true, E::None},
        {"33 nested collections", nested(33), false, E::CollectionLimit},
        {"256 usages", usages(256), true, E::None},
        {"257 usages", usages(257), false, E::TooManyUsages},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Result r = Parse(c.descriptor);
        EXPECT_EQ(r.ok, c.accepted);
        EXPECT_STREQ(HidDescriptorErrorName(r.error), HidDescriptorErrorName(c.error));
        if (c.accepted) {
            ASSERT_EQ(r.info.collections.size(), 1u);
            EXPECT_EQ(Of(r, kIn).byteLength, 2);
        }
    }
}

TEST(ReportDescriptorTest, EveryTruncationIsRejected) {
    // A descriptor cut anywhere ends inside an item or an open collection.
    for (const Bytes& full : {kBootKeyboard, kWheelMouse, VendorDevice(true, 16), kMultiReport}) {
        ASSERT_TRUE(Parse(full).ok);
        for (size_t n = 0; n < full.size(); ++n) {
            const Result r = Parse(Bytes(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(n)));
            EXPECT_FALSE(r.ok) << "prefix of " << n << " of " << full.size() << " bytes";
        }
    }
}

TEST(ReportDescriptorTest, FailureLeavesNothingBehind) {
    HidDescriptorInfo info;
    ASSERT_TRUE(ParseReportDescriptor(kThreeCollections.data(), kThreeCollections.size(), info));
    ASSERT_EQ(info.collections.size(), 3u);

    // Fails late, after two good collections.
    const Bytes bad = Concat({kThreeCollections, {0xC0}});
    HidDescriptorError error = HidDescriptorError::None;
    EXPECT_FALSE(ParseReportDescriptor(bad.data(), bad.size(), info, &error));
    EXPECT_EQ(error, HidDescriptorError::UnbalancedCollection);
    EXPECT_TRUE(info.collections.empty());
    EXPECT_FALSE(info.numbered);
    for (uint8_t id : {0, 1, 2, 4, 5}) {
        EXPECT_EQ(info.FindCollection(kIn, id), -1);
        EXPECT_EQ(info.FindCollection(kOut, id), -1);
    }
}

}  // namespace
}  // namespace azk

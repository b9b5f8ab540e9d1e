// DeviceDescriptor.cpp - the emulated speakerphone's HID report descriptor.
#include "emulator/DeviceDescriptor.h"

#include "support/ByteOrder.h"

namespace azk {
namespace {

// Short items: prefix byte (tag | type | size code) and 1 or 2 data bytes.
void Item1(std::vector<uint8_t>& d, uint8_t prefix, uint8_t value) {
    d.push_back(static_cast<uint8_t>(prefix | 0x01));
    d.push_back(value);
}

void Item2(std::vector<uint8_t>& d, uint8_t prefix, uint16_t value) {
    d.push_back(static_cast<uint8_t>(prefix | 0x02));
    uint8_t bytes[2];
    Write16(bytes, value);
    d.push_back(bytes[0]);
    d.push_back(bytes[1]);
}

// Report Count takes one data byte when it fits, else two.
void ReportCount(std::vector<uint8_t>& d, size_t count) {
    if (count <= 0xFF) {
        Item1(d, 0x94, static_cast<uint8_t>(count));
    } else {
        Item2(d, 0x94, static_cast<uint16_t>(count));
    }
}

constexpr uint8_t kUsagePage = 0x04;
constexpr uint8_t kUsage = 0x08;
constexpr uint8_t kCollection = 0xA0;
constexpr uint8_t kEndCollection = 0xC0;
constexpr uint8_t kLogicalMinimum = 0x14;
constexpr uint8_t kLogicalMaximum = 0x24;
constexpr uint8_t kReportSize = 0x74;
constexpr uint8_t kReportId = 0x84;
constexpr uint8_t kInput = 0x80;
constexpr uint8_t kOutput = 0x90;

constexpr uint8_t kApplication = 0x01;
constexpr uint8_t kDataVariableAbsolute = 0x02;

}  // namespace

std::vector<uint8_t> BuildReportDescriptor(const azk_SEmulatedInterface& iface) {
    std::vector<uint8_t> d;
    Item2(d, kUsagePage, 0xFF00);
    Item1(d, kUsage, 0x01);
    Item1(d, kCollection, kApplication);
    Item1(d, kLogicalMinimum, 0x00);
    Item2(d, kLogicalMaximum, 0x00FF);
    Item1(d, kReportSize, 8);

    if (iface.numbered) Item1(d, kReportId, kEmulatedInputReportId);
    ReportCount(d, iface.reportLength);
    Item1(d, kUsage, 0x01);
    Item1(d, kInput, kDataVariableAbsolute);

    if (iface.numbered) Item1(d, kReportId, kEmulatedOutputReportId);
    ReportCount(d, iface.reportLength);
    Item1(d, kUsage, 0x02);
    Item1(d, kOutput, kDataVariableAbsolute);

    d.push_back(kEndCollection);
    return d;
}

}  // namespace azk

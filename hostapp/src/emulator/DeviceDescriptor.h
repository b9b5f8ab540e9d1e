// DeviceDescriptor.h - the HID interface the emulated speakerphone presents
// on a real HID stack (vhid socket, /dev/uhid): its report descriptor and
// report IDs.
//
// One vendor-defined application collection (usage page 0xFF00, usage 1)
// with one input and one output report of the model's report length, 8-bit
// value fields. Numbered devices use input report ID 1 and output report ID
// 2; unnumbered ones have no Report ID item, so every report carries ID 0.
#ifndef AZK_EMULATOR_DEVICE_DESCRIPTOR_H
#define AZK_EMULATOR_DEVICE_DESCRIPTOR_H

#include <cstddef>
#include <cstdint>
#include <vector>

namespace azk {

constexpr uint8_t kEmulatedInputReportId = 1;
constexpr uint8_t kEmulatedOutputReportId = 2;

struct azk_SEmulatedInterface {
    size_t reportLength = 16;  // data bytes per report, without the report ID byte
    bool numbered = true;

    uint8_t InputReportId() const { return numbered ? kEmulatedInputReportId : 0; }
    uint8_t OutputReportId() const { return numbered ? kEmulatedOutputReportId : 0; }
    // Report byte lengths as the host sees them: the report ID byte counted,
    // numbered or not.
    size_t ReportByteLength() const { return reportLength + 1; }
};

// The report descriptor of the interface. reportLength must be 1 to 4095.
std::vector<uint8_t> BuildReportDescriptor(const azk_SEmulatedInterface& iface);

}  // namespace azk

#endif

// HidDevice.h - the HID device object: finds the speakerphone's HID interface
// by vendor ID, product ID, report byte lengths and index, opens it, keeps
// its HID device record, and moves single reports with time-outs, adding the
// report ID byte on output and stripping it on input.
#ifndef AZK_TRANSPORT_HID_DEVICE_H
#define AZK_TRANSPORT_HID_DEVICE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "transport/platform/HidPlatform.h"

namespace azk {

// The status a data item carries once built (HIDP_STATUS_SUCCESS).
constexpr uint32_t kHidStatusSuccess = 0x00110000;

// One button capability, or one usage of a value capability.
struct azk_SHidDataItem {
    uint8_t isButton = 0;
    uint16_t usagePage = 0;
    uint32_t status = 0;
    uint32_t reportId = 0;
    // Button items.
    uint32_t usageMin = 0;
    uint32_t usageMax = 0;
    uint32_t maxUsageListLength = 0;
    std::unique_ptr<uint16_t[]> usageList;
    // Value items.
    uint16_t usage = 0;
};

// What the record keeps for one report type.
struct azk_SHidReportInfo {
    std::unique_ptr<uint8_t[]> reportBuffer;  // the type's report byte length
    std::unique_ptr<azk_SHidDataItem[]> dataItems;
    uint32_t dataItemCount = 0;
    std::vector<HidCapability> buttonCaps;
    std::vector<HidCapability> valueCaps;
};

// One open HID interface: handle, attributes, report byte lengths, report
// buffers and data items per report type.
struct azk_SHidDeviceRecord {
    std::unique_ptr<HidInterface> handle;
    HidAttributes attributes;
    uint16_t inputReportByteLength = 0;
    uint16_t outputReportByteLength = 0;
    uint16_t featureReportByteLength = 0;
    azk_SHidReportInfo input;
    azk_SHidReportInfo output;
    azk_SHidReportInfo feature;

    azk_SHidReportInfo& Info(HidReportType type);

    // The report ID written in front of every output report: that of the
    // first output data item, or 0 when the output report has none.
    uint8_t OutputReportId() const;
};

// True when report byte lengths (report ID byte counted) serve the requested
// report lengths: n is met by n + 1, and 0 by 0.
bool ReportLengthsFit(uint16_t inputByteLength, uint16_t outputByteLength, int32_t inputLength,
                      int32_t outputLength);

// One present interface as the platform describes it.
struct azk_SHidInterfaceDescription {
    std::string path;
    HidInterfaceInfo info;
};

class azk_CHidDevice {
public:
    explicit azk_CHidDevice(HidPlatform& platform);
    ~azk_CHidDevice();
    azk_CHidDevice(const azk_CHidDevice&) = delete;
    azk_CHidDevice& operator=(const azk_CHidDevice&) = delete;

    // Opens the index-th interface (0 = first) that matches the IDs and has
    // report byte lengths of the given lengths + 1. Vendor and product 0
    // match every usable interface. Lengths above 256 are refused. Returns
    // the new record, or null (the object is then closed).
    azk_SHidDeviceRecord* OpenDevice(int32_t vendorId, int32_t productId, int32_t inputLength,
                                     int32_t outputLength, int32_t index);
    // Closes the interface; harmless when closed.
    void CloseDevice();

    // Reads one input report (the report ID byte stripped) into `destination`
    // (input report byte length - 1 bytes). timeoutMs -1 waits without limit.
    // Returns 1, or 0 on failure and after CancelRead.
    int ReadReport(uint8_t* destination, int32_t timeoutMs);
    // ReadReport that tells how it ended: Ok, TimedOut, Failed (also after
    // CancelRead) or Interrupted (by InterruptRead; nothing read).
    HidIoResult TakeReport(uint8_t* destination, int32_t timeoutMs);
    // Writes one output report from `source` (output report byte length - 1
    // bytes), the output report ID in front. Returns 1, or 0 on failure.
    int WriteReport(const uint8_t* source, int32_t timeoutMs);
    // Ends the pending read and stops all later reads and writes.
    void CancelRead();
    // Whether the open interface's reads can be interrupted, and the
    // interrupt: it ends the pending read, or else the next, with Interrupted.
    bool CanInterruptRead() const;
    void InterruptRead();

    bool IsOpen() const { return openFlag_.load() == 1; }
    const azk_SHidDeviceRecord* Record() const { return record_.get(); }

    // Every present interface, in the order FindDevice walks them, with
    // whether it opens and why not. Opens nothing that stays open.
    std::vector<azk_SHidInterfaceDescription> DescribeInterfaces();

    // The search and record steps, public for tests.
    int32_t FindDevice(int32_t vendorId, int32_t productId, int32_t inputLength,
                       int32_t outputLength, int32_t index);
    static int FillReportInfo(azk_SHidDeviceRecord& record);
    static void ReleaseDeviceRecord(azk_SHidDeviceRecord& record);

private:
    std::unique_ptr<azk_SHidDeviceRecord> OpenDeviceRecord(int32_t vendorId, int32_t productId,
                                                           int32_t inputLength,
                                                           int32_t outputLength, int32_t index);
    static bool Matches(const HidAttributes& attributes, const HidCapabilities& caps, int32_t vendorId,
                        int32_t productId, int32_t inputLength, int32_t outputLength);
    bool CreateIoEvents();
    HidIoResult ReadInputReport(int32_t timeoutMs);
    int WriteOutputReport(azk_SHidDeviceRecord& record, int32_t timeoutMs);

    HidPlatform& platform_;
    std::unique_ptr<azk_SHidDeviceRecord> record_;
    int32_t vendorId_ = 0;
    int32_t productId_ = 0;
    int32_t inputReportLength_ = 0;
    int32_t outputReportLength_ = 0;
    int32_t deviceIndex_ = 0;
    std::atomic<int32_t> openFlag_{0};
};

}  // namespace azk

#endif

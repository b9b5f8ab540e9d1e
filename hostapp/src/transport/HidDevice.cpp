#include "transport/HidDevice.h"

#include <cstring>
#include <new>
#include <utility>

namespace azk {
namespace {

// A requested report length n is met by a report byte length of n + 1 (the
// report ID byte); a requested 0 by a byte length of 0.
int32_t ExpectedByteLength(int32_t n) { return n == 0 ? 0 : n + 1; }

constexpr int32_t kMaxReportLength = 256;

}  // namespace

bool ReportLengthsFit(uint16_t inputByteLength, uint16_t outputByteLength, int32_t inputLength,
                      int32_t outputLength) {
    return inputByteLength == ExpectedByteLength(inputLength) &&
           outputByteLength == ExpectedByteLength(outputLength);
}

azk_SHidReportInfo& azk_SHidDeviceRecord::Info(HidReportType type) {
    switch (type) {
    case HidReportType::Input: return input;
    case HidReportType::Output: return output;
    case HidReportType::Feature: break;
    }
    return feature;
}

uint8_t azk_SHidDeviceRecord::OutputReportId() const {
    if (output.dataItemCount == 0) return 0;
    return static_cast<uint8_t>(output.dataItems[0].reportId);
}

azk_CHidDevice::azk_CHidDevice(HidPlatform& platform) : platform_(platform) {}

azk_CHidDevice::~azk_CHidDevice() { CloseDevice(); }

// ------------------------------------------------------------ discovery

bool azk_CHidDevice::Matches(const HidAttributes& attributes, const HidCapabilities& caps, int32_t vendorId,
                             int32_t productId, int32_t inputLength, int32_t outputLength) {
    if (vendorId == 0 && productId == 0) return true;
    return attributes.vendorId == vendorId && attributes.productId == productId &&
           ReportLengthsFit(caps.Of(HidReportType::Input).byteLength,
                            caps.Of(HidReportType::Output).byteLength, inputLength, outputLength);
}

std::vector<azk_SHidInterfaceDescription> azk_CHidDevice::DescribeInterfaces() {
    std::vector<azk_SHidInterfaceDescription> found;
    for (std::string& path : platform_.ListInterfaces()) {
        HidInterfaceInfo info = platform_.DescribeInterface(path);
        found.push_back({std::move(path), info});
    }
    return found;
}

int32_t azk_CHidDevice::FindDevice(int32_t vendorId, int32_t productId, int32_t inputLength,
                                   int32_t outputLength, int32_t index) {
    const std::vector<std::string> paths = platform_.ListInterfaces();
    int32_t matches = 0;
    for (size_t m = 0; m < paths.size(); ++m) {
        // An interface that cannot be opened or queried is no match.
        std::unique_ptr<HidInterface> probe = platform_.OpenInterface(paths[m]);
        if (!probe || !Matches(probe->Attributes(), probe->Capabilities(), vendorId, productId, inputLength,
                               outputLength)) {
            continue;
        }
        if (matches == index) return static_cast<int32_t>(m);
        ++matches;
    }
    return -1;
}

std::unique_ptr<azk_SHidDeviceRecord> azk_CHidDevice::OpenDeviceRecord(
    int32_t vendorId, int32_t productId, int32_t inputLength, int32_t outputLength,
    int32_t index) {
    // The interface FindDevice would select, kept open from the search: it
    // is the very interface that matched, and opening a device twice
    // (listing, reading its description, opening the node or connecting)
    // would double the cost of every session start.
    int32_t matches = 0;
    std::unique_ptr<HidInterface> selected =
        platform_.OpenFirst([&](const HidAttributes& attributes, const HidCapabilities& caps) {
            if (!Matches(attributes, caps, vendorId, productId, inputLength, outputLength)) return false;
            return matches++ == index;
        });
    if (!selected) return nullptr;
    std::unique_ptr<azk_SHidDeviceRecord> record(new (std::nothrow) azk_SHidDeviceRecord());
    if (!record) return nullptr;
    record->handle = std::move(selected);
    record->attributes = record->handle->Attributes();
    const HidCapabilities& caps = record->handle->Capabilities();
    record->inputReportByteLength = caps.Of(HidReportType::Input).byteLength;
    record->outputReportByteLength = caps.Of(HidReportType::Output).byteLength;
    record->featureReportByteLength = caps.Of(HidReportType::Feature).byteLength;
    if (!FillReportInfo(*record)) {
        ReleaseDeviceRecord(*record);
        return nullptr;
    }
    return record;
}

namespace {

// What the record of an interface would hold, counted as
// kHidMaxInterfaceEntries says.
uint64_t RecordEntries(const HidInterface& iface) {
    uint64_t entries = 0;
    for (int t = 0; t < kHidReportTypeCount; ++t) {
        const auto type = static_cast<HidReportType>(t);
        const HidReportTypeCaps& caps = iface.Capabilities().Of(type);
        for (const HidCapability& cap : caps.buttons) {
            entries += 1 + uint64_t{iface.MaxUsageListLength(type, cap.usagePage)};
        }
        for (const HidCapability& cap : caps.values) {
            entries += cap.isRange && cap.usageMax >= cap.usageMin ? cap.usageMax - cap.usageMin + 1u : 1u;
        }
    }
    return entries;
}

}  // namespace

int azk_CHidDevice::FillReportInfo(azk_SHidDeviceRecord& record) {
    // An interface whose record would be out of all proportion is refused
    // before anything is allocated for it.
    if (RecordEntries(*record.handle) > kHidMaxInterfaceEntries) return 0;
    try {
        for (int t = 0; t < kHidReportTypeCount; ++t) {
            const auto type = static_cast<HidReportType>(t);
            const HidReportTypeCaps& caps = record.handle->Capabilities().Of(type);
            azk_SHidReportInfo& info = record.Info(type);

            info.reportBuffer.reset(new uint8_t[caps.byteLength]());
            info.buttonCaps = caps.buttons;
            info.valueCaps = caps.values;

            uint16_t valueUsages = 0;  // a 16-bit sum, as the platform counts it
            for (const HidCapability& cap : info.valueCaps) {
                valueUsages = static_cast<uint16_t>(
                    valueUsages + (cap.isRange ? cap.usageMax - cap.usageMin + 1 : 1));
            }
            info.dataItemCount = static_cast<uint32_t>(info.buttonCaps.size()) + valueUsages;
            info.dataItems.reset(new azk_SHidDataItem[info.dataItemCount]());

            uint32_t n = 0;
            for (const HidCapability& cap : info.buttonCaps) {
                azk_SHidDataItem& item = info.dataItems[n++];
                item.isButton = 1;
                item.status = kHidStatusSuccess;
                item.usagePage = cap.usagePage;
                item.usageMin = cap.usageMin;
                item.usageMax = cap.isRange ? cap.usageMax : cap.usageMin;
                item.maxUsageListLength =
                    record.handle->MaxUsageListLength(type, cap.usagePage);
                item.usageList.reset(new uint16_t[item.maxUsageListLength]());
                item.reportId = cap.reportId;
            }
            for (const HidCapability& cap : info.valueCaps) {
                const uint32_t last = cap.isRange ? cap.usageMax : cap.usageMin;
                for (uint32_t usage = cap.usageMin; usage <= last && n < info.dataItemCount;
                     ++usage) {
                    azk_SHidDataItem& item = info.dataItems[n++];
                    item.isButton = 0;
                    item.status = kHidStatusSuccess;
                    item.usagePage = cap.usagePage;
                    item.usage = static_cast<uint16_t>(usage);
                    item.reportId = cap.reportId;
                }
            }
        }
    } catch (const std::bad_alloc&) {
        return 0;  // what was allocated stays for ReleaseDeviceRecord
    }
    return 1;
}

void azk_CHidDevice::ReleaseDeviceRecord(azk_SHidDeviceRecord& record) {
    record.handle.reset();
    for (azk_SHidReportInfo* info : {&record.input, &record.output, &record.feature}) {
        info->reportBuffer.reset();
        info->dataItems.reset();  // the items' usage lists go with them
        info->dataItemCount = 0;
        info->buttonCaps.clear();
        info->valueCaps.clear();
    }
}

// ---------------------------------------------------------- open, close

azk_SHidDeviceRecord* azk_CHidDevice::OpenDevice(int32_t vendorId, int32_t productId,
                                                 int32_t inputLength, int32_t outputLength,
                                                 int32_t index) {
    if (record_) CloseDevice();
    vendorId_ = vendorId;
    productId_ = productId;
    inputReportLength_ = inputLength;
    outputReportLength_ = outputLength;
    deviceIndex_ = index;
    if (inputLength > kMaxReportLength || outputLength > kMaxReportLength) return nullptr;

    record_ = OpenDeviceRecord(vendorId, productId, inputLength, outputLength, index);
    // Without its events a pending read could never be woken, and stopping
    // the session would wait forever: such an interface is not opened.
    if (!record_ || !CreateIoEvents()) {
        CloseDevice();
        return nullptr;
    }
    openFlag_.store(1);
    return record_.get();
}

bool azk_CHidDevice::CreateIoEvents() { return record_->handle->CreateIoEvents(); }

void azk_CHidDevice::CloseDevice() {
    openFlag_.store(0);
    if (record_) {
        ReleaseDeviceRecord(*record_);
        record_.reset();
    }
    openFlag_.store(0);
}

// ------------------------------------------------------------ report I/O

HidIoResult azk_CHidDevice::ReadInputReport(int32_t timeoutMs) {
    azk_SHidDeviceRecord& record = *record_;
    return record.handle->Read(record.input.reportBuffer.get(), record.inputReportByteLength, timeoutMs);
}

int azk_CHidDevice::WriteOutputReport(azk_SHidDeviceRecord& record, int32_t timeoutMs) {
    return record.handle->Write(record.output.reportBuffer.get(), record.outputReportByteLength,
                                timeoutMs) == HidIoResult::Ok
               ? 1
               : 0;
}

int azk_CHidDevice::ReadReport(uint8_t* destination, int32_t timeoutMs) {
    return TakeReport(destination, timeoutMs) == HidIoResult::Ok ? 1 : 0;
}

HidIoResult azk_CHidDevice::TakeReport(uint8_t* destination, int32_t timeoutMs) {
    if (!record_) return HidIoResult::Failed;  // never opened: there is nothing to read from
    const HidIoResult result = ReadInputReport(timeoutMs);
    if (result != HidIoResult::Ok) return result;
    if (openFlag_.load() == 0) return HidIoResult::Failed;  // arrived after CancelRead: discarded
    const uint16_t length = record_->inputReportByteLength;
    if (length < 1) return HidIoResult::Failed;
    std::memcpy(destination, record_->input.reportBuffer.get() + 1, length - 1u);
    return HidIoResult::Ok;
}

int azk_CHidDevice::WriteReport(const uint8_t* source, int32_t timeoutMs) {
    if (openFlag_.load() != 1) return 0;
    azk_SHidDeviceRecord& record = *record_;
    const uint16_t length = record.outputReportByteLength;
    if (length < 1) return 0;
    uint8_t* buffer = record.output.reportBuffer.get();
    buffer[0] = record.OutputReportId();
    std::memcpy(buffer + 1, source, length - 1u);
    return WriteOutputReport(record, timeoutMs);
}

void azk_CHidDevice::CancelRead() {
    openFlag_.store(0);
    if (record_ && record_->handle) record_->handle->WakeRead();
}

bool azk_CHidDevice::CanInterruptRead() const { return record_ && record_->handle && record_->handle->CanInterruptRead(); }

void azk_CHidDevice::InterruptRead() {
    if (record_ && record_->handle) record_->handle->InterruptRead();
}

}  // namespace azk

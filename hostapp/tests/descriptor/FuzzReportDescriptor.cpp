// libFuzzer target for the report descriptor parser. Beyond memory safety
// (AddressSanitizer, UBSan) it checks what users of the result rely on.
#include <cstdlib>

#include "transport/platform/hidparse/ReportDescriptor.h"

namespace {

void Check(bool condition) {
    if (!condition) std::abort();
}

void CheckCapability(const azk::HidDescriptorInfo& info, int collection, azk::HidReportType type,
                     const azk::HidCapability& cap) {
    Check(info.numbered == (cap.reportId != 0));
    Check(info.FindCollection(type, cap.reportId) == collection);
    Check(cap.usageMin <= cap.usageMax);
    Check(cap.isRange || cap.usageMin == cap.usageMax);
    Check(cap.usageMin != 0 || cap.usageMax != 0);
    Check(cap.reportCount != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    azk::HidDescriptorInfo info;
    azk::HidDescriptorError error = azk::HidDescriptorError::None;
    const bool ok = azk::ParseReportDescriptor(data, size, info, &error);
    Check(ok == (error == azk::HidDescriptorError::None));
    if (!ok) {
        Check(info.collections.empty() && !info.numbered);
        return 0;
    }
    Check(!info.collections.empty());

    for (size_t c = 0; c < info.collections.size(); ++c) {
        for (int t = 0; t < azk::kHidReportTypeCount; ++t) {
            const auto type = static_cast<azk::HidReportType>(t);
            const azk::HidReportTypeCaps& caps = info.collections[c].caps.Of(type);
            Check(caps.byteLength <= azk::kHidMaxReportByteLength);
            if (caps.byteLength == 0) Check(caps.buttons.empty() && caps.values.empty());
            uint32_t valueUsages = 0;
            for (const azk::HidCapability& cap : caps.buttons) CheckCapability(info, static_cast<int>(c), type, cap);
            for (const azk::HidCapability& cap : caps.values) {
                CheckCapability(info, static_cast<int>(c), type, cap);
                valueUsages += static_cast<uint32_t>(cap.usageMax - cap.usageMin) + 1;
            }
            Check(valueUsages <= azk::kHidMaxUsagesPerReportType);
            Check(azk::HidMaxUsageListLength(info.collections[c].caps, type, 0) <= azk::kHidMaxUsagesPerReportType);
        }
        // What a client builds for the interface stays bounded as a whole.
        Check(azk::HidRecordEntries(info.collections[c].caps) <= azk::kHidMaxInterfaceEntries);
    }

    // Every report the routing table names has its collection and length.
    for (int t = 0; t < azk::kHidReportTypeCount; ++t) {
        const auto type = static_cast<azk::HidReportType>(t);
        for (int id = 0; id < 256; ++id) {
            const int c = info.FindCollection(type, static_cast<uint8_t>(id));
            Check(c >= -1 && c < static_cast<int>(info.collections.size()));
            if (c < 0) continue;
            Check(info.numbered == (id != 0));
            const uint16_t length = info.ReportByteLength(type, static_cast<uint8_t>(id));
            Check(length >= 1 && length <= info.collections[static_cast<size_t>(c)].caps.Of(type).byteLength);
        }
        // A report no collection declares has no length.
        for (int id = 0; id < 256; ++id) {
            if (info.FindCollection(type, static_cast<uint8_t>(id)) < 0) {
                Check(info.ReportByteLength(type, static_cast<uint8_t>(id)) == 0);
            }
        }
    }
    return 0;
}

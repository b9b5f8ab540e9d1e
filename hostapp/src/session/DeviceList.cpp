// DeviceList.cpp - SessionListDevices: every interface with the maker's
// vendor ID, classified as a session would find it.
#include <cstring>
#include <new>

#include "session/SessionApi.h"
#include "transport/HidCommBase.h"
#include "transport/HidDevice.h"

namespace azk {
namespace {

constexpr int32_t kVariants[] = {SESSION_VARIANT_16, SESSION_VARIANT_64};

int32_t VariantOf(const HidInterfaceInfo& info) {
    if (!info.idsKnown) return 0;
    for (int32_t variant : kVariants) {
        int32_t productId = 0, reportLength = 0;
        azk_CHidCommBase::VariantParameters(variant, productId, reportLength);
        if (info.attributes.productId == productId) return variant;
    }
    return 0;
}

// The state of one interface. Report lengths that cannot serve the variant
// come first: no permission or free handle would make it usable.
int32_t StateOf(const HidInterfaceInfo& info, int32_t variant) {
    if (variant != 0 && info.lengthsKnown) {
        int32_t productId = 0, reportLength = 0;
        azk_CHidCommBase::VariantParameters(variant, productId, reportLength);
        if (!ReportLengthsFit(info.inputByteLength, info.outputByteLength, reportLength, reportLength)) {
            return info.collection > 0 ? SESSION_DEVICE_OTHER_COLLECTION : SESSION_DEVICE_REPORT_LENGTHS;
        }
    }
    switch (info.status) {
    case HidOpenStatus::Opened: return variant != 0 ? SESSION_DEVICE_USABLE : SESSION_DEVICE_OTHER_PRODUCT;
    case HidOpenStatus::PermissionDenied: return SESSION_DEVICE_PERMISSION_DENIED;
    case HidOpenStatus::Busy: return SESSION_DEVICE_HELD;
    case HidOpenStatus::Failed:
    case HidOpenStatus::Gone: break;
    }
    return SESSION_DEVICE_OPEN_FAILED;
}

void Fill(SessionDeviceInfo& out, const azk_SHidInterfaceDescription& found, int32_t variant, int32_t state,
          int32_t index) {
    std::memset(&out, 0, sizeof out);
    const HidInterfaceInfo& info = found.info;
    out.index = index;
    out.variant = variant;
    out.state = state;
    out.systemError = info.systemError;
    out.collection = info.collection;
    if (info.idsKnown) {
        out.idsKnown = 1;
        out.vendorId = info.attributes.vendorId;
        out.productId = info.attributes.productId;
        out.releaseNumber = info.attributes.versionNumber;
    }
    if (info.lengthsKnown) {
        out.lengthsKnown = 1;
        out.inputReportByteLength = info.inputByteLength;
        out.outputReportByteLength = info.outputByteLength;
    }
    const size_t n = found.path.size() < sizeof out.path - 1 ? found.path.size() : sizeof out.path - 1;
    std::memcpy(out.path, found.path.data(), n);
}

}  // namespace
}  // namespace azk

extern "C" int32_t SessionListDevices(SessionDeviceInfo* devices, int32_t capacity, int32_t* count) {
    using namespace azk;
    if (count == nullptr || capacity < 0 || (devices == nullptr && capacity > 0)) return SESSION_RESULT_BAD_BLOCK;
    *count = 0;
    try {
        azk_CHidDevice device(GetHidPlatform());
        int32_t nextIndex[3] = {0, 0, 0};  // per variant, as FindDevice counts matches
        int32_t found = 0;
        for (const azk_SHidInterfaceDescription& entry : device.DescribeInterfaces()) {
            const HidInterfaceInfo& info = entry.info;
            if (info.status == HidOpenStatus::Gone) continue;
            if (info.idsKnown && info.attributes.vendorId != AZK_VENDOR_ID) continue;
            const int32_t variant = VariantOf(info);
            const int32_t state = StateOf(info, variant);
            const int32_t index = state == SESSION_DEVICE_USABLE ? nextIndex[variant]++ : -1;
            if (found < capacity) Fill(devices[found], entry, variant, state, index);
            ++found;
        }
        *count = found;
    } catch (const std::bad_alloc&) {
        return SESSION_RESULT_INITIALIZE;
    }
    return SESSION_RESULT_OK;
}

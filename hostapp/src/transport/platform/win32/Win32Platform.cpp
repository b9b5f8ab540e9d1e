#include "transport/platform/win32/Win32Platform.h"

#include "transport/platform/win32/OverlappedIo.h"

#include <setupapi.h>

// mingw-w64's HID headers declare their functions without C linkage.
// hidsdi.h first: it brings the types hidpi.h needs.
extern "C" {
#include <hidsdi.h>
#include <hidpi.h>
}

#include <climits>
#include <cstddef>
#include <cwchar>
#include <new>
#include <utility>
#include <vector>

namespace azk::win32hid {
namespace {

// An owned device information list of the setup functions.
class DeviceInfoList {
public:
    explicit DeviceInfoList(HDEVINFO list) : list_(list) {}
    ~DeviceInfoList() {
        if (Valid()) ::SetupDiDestroyDeviceInfoList(list_);
    }
    DeviceInfoList(const DeviceInfoList&) = delete;
    DeviceInfoList& operator=(const DeviceInfoList&) = delete;

    HDEVINFO Get() const { return list_; }
    bool Valid() const { return list_ != INVALID_HANDLE_VALUE && list_ != nullptr; }

private:
    HDEVINFO list_;
};

// Owned preparsed data of one interface.
class PreparsedData {
public:
    explicit PreparsedData(PHIDP_PREPARSED_DATA data) : data_(data) {}
    ~PreparsedData() {
        if (data_ != nullptr) ::HidD_FreePreparsedData(data_);
    }
    PreparsedData(const PreparsedData&) = delete;
    PreparsedData& operator=(const PreparsedData&) = delete;

    PHIDP_PREPARSED_DATA Get() const { return data_; }

private:
    PHIDP_PREPARSED_DATA data_;
};

HIDP_REPORT_TYPE ToReportType(HidReportType type) {
    switch (type) {
    case HidReportType::Input: return HidP_Input;
    case HidReportType::Output: return HidP_Output;
    case HidReportType::Feature: break;
    }
    return HidP_Feature;
}

// The interface details of a real device path are well under a kilobyte; a
// larger size than this is not believed.
constexpr DWORD kMaxInterfaceDetailBytes = 64 * 1024;

// The device path of one interface of `list`, or false when it cannot be had.
bool InterfacePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& data, std::wstring& path) {
    DWORD required = 0;
    // Asked without a buffer, the call fails and tells the size it needs.
    ::SetupDiGetDeviceInterfaceDetailW(list, &data, nullptr, 0, &required, nullptr);
    constexpr DWORD kFixedPart = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    if (required <= kFixedPart || required > kMaxInterfaceDetailBytes) return false;

    // Zero-filled and aligned for the detail structure the system fills in.
    std::vector<DWORD> storage((required + sizeof(DWORD) - 1) / sizeof(DWORD), 0);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    if (!::SetupDiGetDeviceInterfaceDetailW(list, &data, detail, required, nullptr, nullptr)) {
        return false;
    }
    // The path must end inside the buffer.
    const size_t capacity = (required - kFixedPart) / sizeof(wchar_t);
    const size_t length = ::wcsnlen(detail->DevicePath, capacity);
    if (length == 0 || length == capacity) return false;
    path.assign(detail->DevicePath, length);
    return true;
}

HidCapability FromButtonCaps(const HIDP_BUTTON_CAPS& caps) {
    HidCapability cap;
    cap.reportId = caps.ReportID;
    cap.usagePage = caps.UsagePage;
    cap.isRange = caps.IsRange != FALSE;
    cap.usageMin = cap.isRange ? caps.Range.UsageMin : caps.NotRange.Usage;
    cap.usageMax = cap.isRange ? caps.Range.UsageMax : caps.NotRange.Usage;
    return cap;
}

HidCapability FromValueCaps(const HIDP_VALUE_CAPS& caps) {
    HidCapability cap;
    cap.reportId = caps.ReportID;
    cap.usagePage = caps.UsagePage;
    cap.isRange = caps.IsRange != FALSE;
    cap.usageMin = cap.isRange ? caps.Range.UsageMin : caps.NotRange.Usage;
    cap.usageMax = cap.isRange ? caps.Range.UsageMax : caps.NotRange.Usage;
    cap.reportCount = caps.ReportCount;
    return cap;
}

// The button and value capabilities of one report type. The arrays are as
// long as the capabilities say; the calls' status results are not checked,
// so an entry they did not fill stays zero.
void ReadTypeCaps(HIDP_REPORT_TYPE type, USHORT byteLength, USHORT buttonCount, USHORT valueCount,
                  PHIDP_PREPARSED_DATA preparsed, HidReportTypeCaps& out) {
    out.byteLength = byteLength;
    if (buttonCount > 0) {
        std::vector<HIDP_BUTTON_CAPS> buttons(buttonCount, HIDP_BUTTON_CAPS{});
        USHORT n = buttonCount;
        ::HidP_GetButtonCaps(type, buttons.data(), &n, preparsed);
        for (const HIDP_BUTTON_CAPS& caps : buttons) out.buttons.push_back(FromButtonCaps(caps));
    }
    if (valueCount > 0) {
        std::vector<HIDP_VALUE_CAPS> values(valueCount, HIDP_VALUE_CAPS{});
        USHORT n = valueCount;
        ::HidP_GetValueCaps(type, values.data(), &n, preparsed);
        for (const HIDP_VALUE_CAPS& caps : values) out.values.push_back(FromValueCaps(caps));
    }
}

// One open HID interface: its handle, preparsed data, attributes and
// capabilities, and the overlapped transfers on the handle.
class Win32Interface final : public HidInterface {
public:
    Win32Interface(azk_CWin32Handle file, std::unique_ptr<PreparsedData> preparsed,
                   const HidAttributes& attributes, HidCapabilities caps)
        : preparsed_(std::move(preparsed)),
          file_(std::move(file)),
          io_(file_.Get()),
          attributes_(attributes),
          caps_(std::move(caps)) {}

    // Members go in reverse order: the events first (no transfer is pending
    // once Read and Write have returned), then the handle is closed, then
    // the preparsed data freed.
    ~Win32Interface() override = default;

    const HidAttributes& Attributes() const override { return attributes_; }
    const HidCapabilities& Capabilities() const override { return caps_; }

    uint32_t MaxUsageListLength(HidReportType type, uint16_t usagePage) const override {
        return ::HidP_MaxUsageListLength(ToReportType(type), usagePage, preparsed_->Get());
    }

    bool CreateIoEvents() override { return io_.CreateIoEvents(); }
    void WakeRead() override { io_.WakeRead(); }
    HidIoResult Read(uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        return io_.Read(buffer, length, timeoutMs);
    }
    HidIoResult Write(const uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        return io_.Write(buffer, length, timeoutMs);
    }

private:
    std::unique_ptr<PreparsedData> preparsed_;
    azk_CWin32Handle file_;
    azk_COverlappedIo io_;
    HidAttributes attributes_;
    HidCapabilities caps_;
};

}  // namespace

std::string WideToUtf8(const std::wstring& wide) {
    if (wide.empty() || wide.size() > static_cast<size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(wide.size());
    const int bytes = ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length,
                                            nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string utf8(static_cast<size_t>(bytes), '\0');
    if (::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, &utf8[0], bytes,
                              nullptr, nullptr) != bytes) {
        return {};
    }
    return utf8;
}

std::wstring Utf8ToWide(const std::string& utf8) {
    if (utf8.empty() || utf8.size() > static_cast<size_t>(INT_MAX)) return {};
    const int length = static_cast<int>(utf8.size());
    const int chars =
        ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, nullptr, 0);
    if (chars <= 0) return {};
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    if (::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), length, &wide[0],
                              chars) != chars) {
        return {};
    }
    return wide;
}

std::string InterfaceProductString(const std::string& path) {
    try {
        const std::wstring wide = Utf8ToWide(path);
        if (wide.empty()) return {};
        azk_CWin32Handle file(::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        // The call's limit is in bytes; the last character stays 0.
        wchar_t text[127] = {};
        if (!file.Valid() || !::HidD_GetProductString(file.Get(), text, sizeof text - sizeof text[0])) return {};
        return WideToUtf8(text);
    } catch (const std::bad_alloc&) {
        return {};
    }
}

std::vector<std::string> Win32HidPlatform::ListInterfaces() {
    std::vector<std::string> paths;
    GUID hidGuid;
    ::HidD_GetHidGuid(&hidGuid);
    DeviceInfoList list(
        ::SetupDiGetClassDevsW(&hidGuid, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE));
    if (!list.Valid()) return paths;
    try {
        for (DWORD member = 0;; ++member) {
            SP_DEVICE_INTERFACE_DATA data{};
            data.cbSize = sizeof data;
            // Past the end this fails with ERROR_NO_MORE_ITEMS; any other
            // failure ends the list as well.
            if (!::SetupDiEnumDeviceInterfaces(list.Get(), nullptr, &hidGuid, member, &data)) break;
            std::wstring path;
            if (!InterfacePath(list.Get(), data, path)) break;
            std::string utf8 = WideToUtf8(path);
            if (utf8.empty()) break;
            paths.push_back(std::move(utf8));
        }
    } catch (const std::bad_alloc&) {
        // Out of memory: the list ends where it got to.
    }
    return paths;
}

std::unique_ptr<HidInterface> Win32HidPlatform::OpenInterface(const std::string& path) {
    try {
        const std::wstring wide = Utf8ToWide(path);
        if (wide.empty()) return nullptr;
        // Shared with other programs, for overlapped reading and writing.
        azk_CWin32Handle file(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        FILE_FLAG_OVERLAPPED, nullptr));
        if (!file.Valid()) return nullptr;

        // Usable only when these three succeed, asked in this order.
        PHIDP_PREPARSED_DATA raw = nullptr;
        if (!::HidD_GetPreparsedData(file.Get(), &raw)) return nullptr;
        auto preparsed = std::make_unique<PreparsedData>(raw);
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (!::HidD_GetAttributes(file.Get(), &attributes)) return nullptr;
        HIDP_CAPS caps{};
        if (::HidP_GetCaps(preparsed->Get(), &caps) != HIDP_STATUS_SUCCESS) return nullptr;

        HidAttributes attrs;
        attrs.vendorId = attributes.VendorID;
        attrs.productId = attributes.ProductID;
        attrs.versionNumber = attributes.VersionNumber;

        HidCapabilities capabilities;
        ReadTypeCaps(HidP_Input, caps.InputReportByteLength, caps.NumberInputButtonCaps,
                     caps.NumberInputValueCaps, preparsed->Get(),
                     capabilities.Of(HidReportType::Input));
        ReadTypeCaps(HidP_Output, caps.OutputReportByteLength, caps.NumberOutputButtonCaps,
                     caps.NumberOutputValueCaps, preparsed->Get(),
                     capabilities.Of(HidReportType::Output));
        ReadTypeCaps(HidP_Feature, caps.FeatureReportByteLength, caps.NumberFeatureButtonCaps,
                     caps.NumberFeatureValueCaps, preparsed->Get(),
                     capabilities.Of(HidReportType::Feature));
        return std::make_unique<Win32Interface>(std::move(file), std::move(preparsed), attrs,
                                                std::move(capabilities));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int CollectionOfPath(const std::string& path) {
    for (size_t at = 0; at + 6 <= path.size(); ++at) {
        const auto lower = [&](size_t i) { return static_cast<char>(path[at + i] | 0x20); };
        if (path[at] != '&' || lower(1) != 'c' || lower(2) != 'o' || lower(3) != 'l') continue;
        const char tens = path[at + 4];
        const char ones = path[at + 5];
        if (tens < '0' || tens > '9' || ones < '0' || ones > '9') continue;
        const int number = (tens - '0') * 10 + (ones - '0');
        return number > 0 ? number - 1 : 0;
    }
    return 0;
}

HidInterfaceInfo Win32HidPlatform::DescribeInterface(const std::string& path) {
    HidInterfaceInfo info;
    info.collection = CollectionOfPath(path);
    try {
        const std::wstring wide = Utf8ToWide(path);
        if (wide.empty()) return info;
        bool opens = true;
        {
            azk_CWin32Handle file(::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
            if (!file.Valid()) {
                opens = false;
                const DWORD error = ::GetLastError();
                info.systemError = static_cast<int>(error);
                switch (error) {
                case ERROR_ACCESS_DENIED: info.status = HidOpenStatus::PermissionDenied; break;
                case ERROR_SHARING_VIOLATION: info.status = HidOpenStatus::Busy; break;
                case ERROR_FILE_NOT_FOUND:
                case ERROR_PATH_NOT_FOUND:
                case ERROR_DEVICE_NOT_CONNECTED: info.status = HidOpenStatus::Gone; break;
                default: info.status = HidOpenStatus::Failed; break;
                }
            }
        }
        if (opens) {
            // It opens: whether it is usable is what OpenInterface says.
            std::unique_ptr<HidInterface> iface = OpenInterface(path);
            if (iface) {
                DescribeOpened(*iface, info);
                info.collection = CollectionOfPath(path);
                return info;
            }
            info.status = HidOpenStatus::Failed;
        }
        // A handle without read or write access still answers the queries.
        azk_CWin32Handle query(::CreateFileW(wide.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                             nullptr, OPEN_EXISTING, 0, nullptr));
        if (!query.Valid()) return info;
        HIDD_ATTRIBUTES attributes{};
        attributes.Size = sizeof attributes;
        if (::HidD_GetAttributes(query.Get(), &attributes)) {
            info.idsKnown = true;
            info.attributes.vendorId = attributes.VendorID;
            info.attributes.productId = attributes.ProductID;
            info.attributes.versionNumber = attributes.VersionNumber;
        }
        PHIDP_PREPARSED_DATA raw = nullptr;
        if (::HidD_GetPreparsedData(query.Get(), &raw)) {
            PreparsedData preparsed(raw);
            HIDP_CAPS caps{};
            if (::HidP_GetCaps(preparsed.Get(), &caps) == HIDP_STATUS_SUCCESS) {
                info.lengthsKnown = true;
                info.inputByteLength = caps.InputReportByteLength;
                info.outputByteLength = caps.OutputReportByteLength;
            }
        }
    } catch (const std::bad_alloc&) {
        info.status = HidOpenStatus::Failed;
    }
    return info;
}

}  // namespace azk::win32hid

namespace azk {
HidPlatform& GetHidPlatform() {
    static win32hid::Win32HidPlatform platform;
    return platform;
}
}  // namespace azk

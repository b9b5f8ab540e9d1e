// The Win32 HID platform under the HID device object, against the HID
// interfaces wine presents: a virtual mouse and a virtual keyboard (vendor
// 0x845E, products 1 and 2) with real HID capabilities and overlapped
// handles. No device with the speakerphone's IDs exists there. Outside wine
// the suite that needs those devices is skipped, as the machine's devices
// are unknown.
//
// Win32PlatformOnDevice runs only where AZK_WIN32_DEVICE_TEST is set: in the
// wine guest stage (hostapp/tests/kernel/run-wine-guest-tests.sh), where
// wine's HID stack carries emulated speakerphones made through /dev/uhid.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "transport/HidDevice.h"
#include "transport/platform/win32/OverlappedIo.h"
#include "transport/platform/win32/Win32Platform.h"

namespace azk::win32hid {
namespace {

constexpr int32_t kWineVendor = 0x845E;
constexpr int32_t kWineMouse = 1;
constexpr int32_t kWineKeyboard = 2;

bool UnderWine() {
    const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

TEST(Win32Text, DevicePathsConvertBetweenWideAndUtf8) {
    struct Case {
        std::wstring wide;
        std::string utf8;
    };
    const Case cases[] = {
        {L"\\\\?\\hid#vid_845e&pid_0001#0&0000&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}",
         "\\\\?\\hid#vid_845e&pid_0001#0&0000&0&0#{4d1e55b2-f16f-11cf-88cb-001111000030}"},
        {L"\u30ad\u30fc", "\xe3\x82\xad\xe3\x83\xbc"},
        {L"", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
        EXPECT_EQ(Utf8ToWide(c.utf8), c.wide);
    }
    // Text that is no valid UTF-8 or UTF-16 names no interface.
    EXPECT_EQ(Utf8ToWide("hid\xff"), L"");
    EXPECT_EQ(WideToUtf8(std::wstring(1, wchar_t(0xD800))), "");
    EXPECT_EQ(Win32HidPlatform().OpenInterface("\\\\?\\hid\xff"), nullptr);
}

// The interfaces wine lists, with their IDs, in list order.
class Win32PlatformUnderWine : public ::testing::Test {
protected:
    void SetUp() override {
        if (!UnderWine()) GTEST_SKIP() << "wine's virtual HID devices exist only under wine";
        // winebus adds its devices shortly after the wine server starts.
        for (int attempt = 0; attempt < 100 && !ListWineDevices(); ++attempt) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        ASSERT_TRUE(ListWineDevices())
            << "wine shows no virtual mouse and keyboard (winebus.sys disabled?)";
    }

    // Index in the list of the wine device with `product`, or -1.
    int32_t MemberOf(int32_t product) const {
        for (size_t m = 0; m < attributes_.size(); ++m) {
            if (attributes_[m].vendorId == kWineVendor && attributes_[m].productId == product) {
                return static_cast<int32_t>(m);
            }
        }
        return -1;
    }

    HidPlatform& platform_ = GetHidPlatform();
    std::vector<std::string> paths_;
    std::vector<HidAttributes> attributes_;

private:
    bool ListWineDevices() {
        paths_ = platform_.ListInterfaces();
        attributes_.clear();
        for (const std::string& path : paths_) {
            const std::unique_ptr<HidInterface> iface = platform_.OpenInterface(path);
            attributes_.push_back(iface ? iface->Attributes() : HidAttributes{});
        }
        return MemberOf(kWineMouse) >= 0 && MemberOf(kWineKeyboard) >= 0;
    }
};

TEST(Win32Paths, TheCollectionComesFromTheColPartOfThePath) {
    const struct {
        const char* path;
        int collection;
    } cases[] = {
        {R"(\\?\hid#vid_1209&pid_0001#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})", 0},
        {R"(\\?\hid#vid_1209&pid_0001&col01#7&1a2b3c&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030})", 0},
        {R"(\\?\HID#VID_1209&PID_0001&COL03#7&1a2b3c&0&0002#{4d1e55b2-f16f-11cf-88cb-001111000030})", 2},
        {R"(\\?\hid#vid_1209&pid_0001&colx1#7)", 0},
        {"&col1", 0},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(CollectionOfPath(c.path), c.collection) << c.path;
}

TEST_F(Win32PlatformUnderWine, NoInterfaceMatchesTheSpeakerphone) {
    struct Case {
        int32_t product;
        int32_t length;
    };
    for (const Case& c : {Case{AZK_PRODUCT_ID, 16}, Case{AZK_PRODUCT_ID + 1, 64}}) {
        azk_CHidDevice device(platform_);
        EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, c.product, c.length, c.length, 0), -1);
        EXPECT_EQ(device.OpenDevice(AZK_VENDOR_ID, c.product, c.length, c.length, 0), nullptr);
        EXPECT_FALSE(device.IsOpen());
        EXPECT_EQ(device.Record(), nullptr);
    }
}

TEST_F(Win32PlatformUnderWine, DescribeAgreesWithOpenInterface) {
    for (const std::string& path : paths_) {
        const std::unique_ptr<HidInterface> iface = platform_.OpenInterface(path);
        const HidInterfaceInfo info = platform_.DescribeInterface(path);
        if (!iface) {
            EXPECT_NE(info.status, HidOpenStatus::Opened) << path;
            continue;
        }
        EXPECT_EQ(info.status, HidOpenStatus::Opened) << path;
        EXPECT_TRUE(info.idsKnown);
        EXPECT_EQ(info.attributes.vendorId, iface->Attributes().vendorId) << path;
        EXPECT_EQ(info.attributes.productId, iface->Attributes().productId) << path;
        EXPECT_TRUE(info.lengthsKnown);
        EXPECT_EQ(info.inputByteLength, iface->Capabilities().Of(HidReportType::Input).byteLength) << path;
        EXPECT_EQ(info.collection, CollectionOfPath(path));
    }
    EXPECT_EQ(platform_.DescribeInterface("\\\\?\\hid#no_such_device#0#{4d1e55b2-f16f-11cf-88cb-001111000030}").status,
              HidOpenStatus::Gone);
}

TEST_F(Win32PlatformUnderWine, FillReportInfoTurnsTheVirtualDevicesCapabilitiesIntoDataItems) {
    // What wine's HID stack reports for its two devices: one range button
    // capability on the input report each, no output or feature report.
    struct Case {
        int32_t product;
        uint16_t inputByteLength;
        uint16_t usagePage;
        uint32_t usageMin;
        uint32_t usageMax;
    };
    const Case cases[] = {
        {kWineMouse, 2, 0x09, 1, 3},          // buttons 1 to 3
        {kWineKeyboard, 14, 0x07, 0, 0x65},   // key codes
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.product);
        azk_CHidDevice device(platform_);
        const azk_SHidDeviceRecord* record =
            device.OpenDevice(kWineVendor, c.product, c.inputByteLength - 1, 0, 0);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->attributes.vendorId, kWineVendor);
        EXPECT_EQ(record->attributes.productId, c.product);
        EXPECT_EQ(record->inputReportByteLength, c.inputByteLength);
        EXPECT_EQ(record->outputReportByteLength, 0);
        EXPECT_EQ(record->featureReportByteLength, 0);
        ASSERT_NE(record->input.reportBuffer, nullptr);

        ASSERT_EQ(record->input.dataItemCount, 1u);
        const azk_SHidDataItem& item = record->input.dataItems[0];
        EXPECT_EQ(item.isButton, 1);
        EXPECT_EQ(item.status, 0x00110000u);  // HIDP_STATUS_SUCCESS
        EXPECT_EQ(item.usagePage, c.usagePage);
        EXPECT_EQ(item.usageMin, c.usageMin);
        EXPECT_EQ(item.usageMax, c.usageMax);
        EXPECT_EQ(item.reportId, 0u);
        // An array of usages: at most one per usage of the range at once.
        EXPECT_EQ(item.maxUsageListLength, c.usageMax - c.usageMin + 1);
        ASSERT_NE(item.usageList, nullptr);
        for (uint32_t i = 0; i < item.maxUsageListLength; ++i) EXPECT_EQ(item.usageList[i], 0);

        // Without output data items there is no output report ID: 0.
        EXPECT_EQ(record->output.dataItemCount, 0u);
        EXPECT_EQ(record->OutputReportId(), 0);
        EXPECT_EQ(record->feature.dataItemCount, 0u);
    }
}

TEST_F(Win32PlatformUnderWine, MatchesByIdsAndReportLengthsWithWildcardIdsAndAnIndex) {
    const int32_t listed = static_cast<int32_t>(paths_.size());
    struct Case {
        const char* what;
        int32_t vendor, product, inputLength, outputLength, index;
        int32_t member;  // expected list position, -1 for none
    };
    const Case cases[] = {
        {"mouse", kWineVendor, kWineMouse, 1, 0, 0, MemberOf(kWineMouse)},
        {"keyboard", kWineVendor, kWineKeyboard, 13, 0, 0, MemberOf(kWineKeyboard)},
        {"keyboard lengths, mouse IDs", kWineVendor, kWineMouse, 13, 0, 0, -1},
        {"input one too long", kWineVendor, kWineMouse, 2, 0, 0, -1},
        {"an output report asked for", kWineVendor, kWineMouse, 1, 1, 0, -1},
        {"second mouse", kWineVendor, kWineMouse, 1, 0, 1, -1},
        {"only the vendor 0", 0, kWineMouse, 1, 0, 0, -1},
        {"only the product 0", kWineVendor, 0, 1, 0, 0, -1},
        {"wildcard, first", 0, 0, 16, 16, 0, 0},
        {"wildcard, second", 0, 0, 64, 0, 1, 1},
        {"wildcard, past the end", 0, 0, 16, 16, listed, -1},
        {"length above 256", kWineVendor, kWineMouse, 257, 0, 0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        azk_CHidDevice device(platform_);
        const azk_SHidDeviceRecord* record =
            device.OpenDevice(c.vendor, c.product, c.inputLength, c.outputLength, c.index);
        if (c.member < 0) {
            EXPECT_EQ(record, nullptr);
            EXPECT_FALSE(device.IsOpen());
            continue;
        }
        ASSERT_NE(record, nullptr);
        EXPECT_TRUE(device.IsOpen());
        EXPECT_EQ(record->attributes.vendorId, attributes_[static_cast<size_t>(c.member)].vendorId);
        EXPECT_EQ(record->attributes.productId, attributes_[static_cast<size_t>(c.member)].productId);
        EXPECT_EQ(device.FindDevice(c.vendor, c.product, c.inputLength, c.outputLength, c.index),
                  c.member);
    }
}

TEST_F(Win32PlatformUnderWine, ReadTimesOutAndCancelReadEndsABlockedRead) {
    azk_CHidDevice device(platform_);
    const azk_SHidDeviceRecord* record = device.OpenDevice(kWineVendor, kWineMouse, 1, 0, 0);
    ASSERT_NE(record, nullptr);
    uint8_t report[256] = {};
    // Nothing moves wine's virtual mouse: the timed reads run out, and the
    // interface stays open and usable after them.
    for (const int32_t timeout : {30, 0}) {
        EXPECT_EQ(device.ReadReport(report, timeout), 0) << timeout;
        EXPECT_TRUE(device.IsOpen());
    }

    int result = -1;
    std::thread receiver([&] { result = device.ReadReport(report, -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // let it block
    device.CancelRead();
    receiver.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(device.IsOpen());
    // After the cancel every read fails at once, and nothing is written.
    EXPECT_EQ(device.ReadReport(report, -1), 0);
    EXPECT_EQ(device.WriteReport(report, 500), 0);
}

TEST_F(Win32PlatformUnderWine, CloseDeviceTwiceAndOpenAgain) {
    azk_CHidDevice device(platform_);
    ASSERT_NE(device.OpenDevice(kWineVendor, kWineKeyboard, 13, 0, 0), nullptr);
    device.CloseDevice();
    device.CloseDevice();
    EXPECT_FALSE(device.IsOpen());
    EXPECT_EQ(device.Record(), nullptr);
    uint8_t report[256] = {};
    EXPECT_EQ(device.ReadReport(report, 0), 0);
    EXPECT_EQ(device.WriteReport(report, 0), 0);
    // Everything was released: the interface opens again, also over an open one.
    ASSERT_NE(device.OpenDevice(kWineVendor, kWineKeyboard, 13, 0, 0), nullptr);
    ASSERT_NE(device.OpenDevice(kWineVendor, kWineMouse, 1, 0, 0), nullptr);
    EXPECT_EQ(device.Record()->attributes.productId, kWineMouse);
}

// The devices the wine guest stage makes, by the name in their product
// string: two with 16-byte reports (numbered and not), one with 64-byte
// reports and the same IDs, and one that unplugs itself once it has
// answered a request.
class Win32PlatformOnDevice : public ::testing::Test {
protected:
    void SetUp() override {
        if (std::getenv("AZK_WIN32_DEVICE_TEST") == nullptr) {
            GTEST_SKIP() << "needs the emulated devices of the wine guest stage";
        }
        paths_ = platform_.ListInterfaces();
        const std::string prefix = "KeyConfig device emulator ";
        std::string listed;
        for (size_t m = 0; m < paths_.size(); ++m) {
            const std::string product = InterfaceProductString(paths_[m]);
            listed += "\n  " + paths_[m] + " \"" + product + "\"";
            if (product.rfind(prefix, 0) == 0) members_[product.substr(prefix.size())] = static_cast<int32_t>(m);
        }
        for (const char* name : {"numbered", "unnumbered", "wide", "unplug"}) {
            ASSERT_EQ(members_.count(name), 1u) << name << " is not listed; the list:" << listed;
        }
    }

    // The index that selects the named 16-byte device: its place among the
    // 16-byte devices in list order.
    int32_t IndexOf(const std::string& name) {
        int32_t index = 0;
        for (const char* other : {"numbered", "unnumbered", "unplug"}) {
            if (members_[other] < members_[name]) ++index;
        }
        return index;
    }

    // A key-lock get written as one report and its answer's first report read.
    static void GetKeyLock(azk_CHidDevice& device, size_t length, const std::string& what) {
        std::vector<uint8_t> request(length, 0);
        request[0] = 0x80;  // marker, op 2 (get), function 0x0036
        request[1] = 0x02;
        request[2] = 0x36;
        ASSERT_EQ(device.WriteReport(request.data(), 500), 1) << what;
        std::vector<uint8_t> answer(length + 8, 0xEE);
        ASSERT_EQ(device.ReadReport(answer.data(), 5000), 1) << what;
        // The report ID byte is gone: the answer starts at the marker.
        EXPECT_EQ(answer[0], 0x83) << what;
        EXPECT_EQ(answer[1], 0x03) << what;
        // Exactly the report length was delivered.
        EXPECT_EQ(answer[length], 0xEE) << what;
    }

    HidPlatform& platform_ = GetHidPlatform();
    std::vector<std::string> paths_;
    std::map<std::string, int32_t> members_;
};

TEST_F(Win32PlatformOnDevice, SeveralInterfacesAreMatchedByIdsAndReportLengths) {
    // The 16-byte devices in list order, whatever order wine gives them.
    std::vector<int32_t> narrow = {members_["numbered"], members_["unnumbered"], members_["unplug"]};
    std::sort(narrow.begin(), narrow.end());
    azk_CHidDevice device(platform_);
    for (int32_t index = 0; index < 3; ++index) {
        EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, index), narrow[static_cast<size_t>(index)])
            << index;
    }
    EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 3), -1);
    EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 64, 64, 0), members_["wide"]);
    EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 64, 64, 1), -1);
    EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 64, 0), -1);
    EXPECT_EQ(device.FindDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID + 1, 16, 16, 0), -1);
}

TEST_F(Win32PlatformOnDevice, ReportLengthsAndReportIdsOfEachForm) {
    struct Case {
        const char* name;
        int32_t length;
        int32_t index;
        uint8_t outputReportId;
    };
    const Case cases[] = {
        {"numbered", 16, IndexOf("numbered"), 2},
        {"unnumbered", 16, IndexOf("unnumbered"), 0},
        {"wide", 64, 0, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        azk_CHidDevice device(platform_);
        const azk_SHidDeviceRecord* record =
            device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, c.length, c.length, c.index);
        ASSERT_NE(record, nullptr);
        EXPECT_EQ(record->inputReportByteLength, c.length + 1);
        EXPECT_EQ(record->outputReportByteLength, c.length + 1);
        EXPECT_EQ(record->OutputReportId(), c.outputReportId);
        GetKeyLock(device, static_cast<size_t>(c.length), c.name);
    }
}

TEST_F(Win32PlatformOnDevice, CancelReadEndsAPendingReadOnTheDevice) {
    azk_CHidDevice device(platform_);
    ASSERT_NE(device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, IndexOf("numbered")), nullptr);
    uint8_t report[64] = {};
    int result = -1;
    std::thread receiver([&] { result = device.ReadReport(report, -1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let it block
    device.CancelRead();
    receiver.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(device.WriteReport(report, 500), 0);
    // The device itself is untouched: opened again, it answers.
    ASSERT_NE(device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, IndexOf("numbered")), nullptr);
    GetKeyLock(device, 16, "after the cancel");
}

// Last: the device it uses is gone afterwards.
TEST_F(Win32PlatformOnDevice, AReadFailsWhenTheDeviceIsUnplugged) {
    azk_CHidDevice device(platform_);
    ASSERT_NE(device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, IndexOf("unplug")), nullptr);
    ASSERT_EQ(InterfaceProductString(paths_[static_cast<size_t>(members_["unplug"])]),
              "KeyConfig device emulator unplug");
    // Answered, then the device removes itself while the next read waits.
    GetKeyLock(device, 16, "before the unplug");
    uint8_t report[64] = {};
    int result = -1;
    azk_CWin32Handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::thread receiver([&] {
        result = device.ReadReport(report, -1);
        ::SetEvent(done.Get());
    });
    const bool ended = ::WaitForSingleObject(done.Get(), 10000) == WAIT_OBJECT_0;
    if (!ended) device.CancelRead();  // so that the test ends
    receiver.join();
    EXPECT_TRUE(ended) << "the read did not end when the device went";
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(device.IsOpen());  // failed by the device, not cancelled
}

}  // namespace
}  // namespace azk::win32hid

// The Linux platform's hidraw side against a fake sysfs tree: the order of
// the nodes, the IDs from uevent, capabilities from report_descriptor, one
// interface per top-level collection, and the report ID byte put in front of
// unnumbered input reports. The device node is a FIFO standing in for
// /dev/hidrawN.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "Timing.h"
#include "transport/platform/linux/LinuxPlatform.h"

namespace azk::test {
namespace {

using Bytes = std::vector<uint8_t>;

// A vendor-defined collection with one 16-byte input and output report.
Bytes VendorDescriptor(bool numbered, uint8_t inId = 1, uint8_t outId = 2) {
    Bytes d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x95, 0x10};
    if (numbered) d.insert(d.end(), {0x85, inId});
    d.insert(d.end(), {0x09, 0x01, 0x81, 0x02});
    if (numbered) d.insert(d.end(), {0x85, outId});
    d.insert(d.end(), {0x09, 0x02, 0x91, 0x02, 0xC0});
    return d;
}

class LinuxPlatformTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/azk-linux-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        ::mkdir((root_ + "/sys").c_str(), 0700);
        ::mkdir((root_ + "/dev").c_str(), 0700);
        // No vhid devices: point the vhid directory into the empty tree.
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        if (old != nullptr) savedRuntimeDir_ = old;
        hadRuntimeDir_ = old != nullptr;
        ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
    }
    void TearDown() override {
        if (hadRuntimeDir_) {
            ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        std::string command = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    void AddNode(const std::string& name, const std::string& hidId, const Bytes& descriptor) {
        const std::string dir = root_ + "/sys/" + name + "/device";
        ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
        std::ofstream(dir + "/uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=test\n";
        std::ofstream(dir + "/report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
        ASSERT_EQ(::mkfifo((root_ + "/dev/" + name).c_str(), 0600), 0);
    }

    linuxhid::LinuxHidPlatform Platform() const { return linuxhid::LinuxHidPlatform(root_ + "/sys", root_ + "/dev"); }

    std::string root_;
    std::string savedRuntimeDir_;
    bool hadRuntimeDir_ = false;
};

TEST_F(LinuxPlatformTest, NodesAreListedByNumberAndCarryTheirIds) {
    AddNode("hidraw10", "0003:00001209:00000002", VendorDescriptor(false));
    AddNode("hidraw2", "0003:00001209:00000001", VendorDescriptor(true));
    ::mkdir((root_ + "/sys/hidrawX").c_str(), 0700);  // not a node name
    linuxhid::LinuxHidPlatform platform = Platform();
    const std::vector<std::string> paths = platform.ListInterfaces();
    ASSERT_EQ(paths, (std::vector<std::string>{"hidraw:hidraw2", "hidraw:hidraw10"}));

    auto first = platform.OpenInterface(paths[0]);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->Attributes().vendorId, 0x1209);
    EXPECT_EQ(first->Attributes().productId, 0x0001);
    EXPECT_EQ(first->Capabilities().Of(HidReportType::Input).byteLength, 17);
    EXPECT_EQ(first->Capabilities().Of(HidReportType::Output).byteLength, 17);
    ASSERT_EQ(first->Capabilities().Of(HidReportType::Output).values.size(), 1u);
    EXPECT_EQ(first->Capabilities().Of(HidReportType::Output).values[0].reportId, 2);
    auto second = platform.OpenInterface(paths[1]);
    ASSERT_NE(second, nullptr);
    EXPECT_EQ(second->Attributes().productId, 0x0002);
}

TEST_F(LinuxPlatformTest, UnusableNodesCannotBeOpened) {
    AddNode("hidraw0", "garbage", VendorDescriptor(false));
    AddNode("hidraw1", "0003:00001209:00000001", Bytes{0x06, 0x00});  // truncated descriptor
    linuxhid::LinuxHidPlatform platform = Platform();
    EXPECT_EQ(platform.OpenInterface("hidraw:hidraw0"), nullptr);
    EXPECT_EQ(platform.OpenInterface("hidraw:hidraw1"), nullptr);
    EXPECT_EQ(platform.OpenInterface("hidraw:hidraw7"), nullptr);  // gone
    EXPECT_EQ(platform.OpenInterface("hidraw:hidraw1#x"), nullptr);
    EXPECT_EQ(platform.OpenInterface("other:thing"), nullptr);
}

TEST_F(LinuxPlatformTest, EachTopLevelCollectionIsAnInterface) {
    // A telephony collection (output report 3) before the vendor one (5/6).
    Bytes d = {0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x03, 0x05, 0x08, 0x09, 0x09, 0x15, 0x00, 0x25, 0x01,
               0x75, 0x01, 0x95, 0x01, 0x91, 0x02, 0x75, 0x07, 0x91, 0x01, 0xC0};
    const Bytes vendor = VendorDescriptor(true, 5, 6);
    d.insert(d.end(), vendor.begin(), vendor.end());
    AddNode("hidraw0", "0003:00001209:00000001", d);
    linuxhid::LinuxHidPlatform platform = Platform();
    const std::vector<std::string> paths = platform.ListInterfaces();
    ASSERT_EQ(paths, (std::vector<std::string>{"hidraw:hidraw0", "hidraw:hidraw0#1"}));
    auto telephony = platform.OpenInterface(paths[0]);
    ASSERT_NE(telephony, nullptr);
    EXPECT_EQ(telephony->Capabilities().Of(HidReportType::Output).byteLength, 2);
    auto vendorIface = platform.OpenInterface(paths[1]);
    ASSERT_NE(vendorIface, nullptr);
    EXPECT_EQ(vendorIface->Capabilities().Of(HidReportType::Output).byteLength, 17);
    ASSERT_TRUE(vendorIface->CreateIoEvents());

    // Input reports of the other collection are not this interface's.
    const int fd = ::open((root_ + "/dev/hidraw0").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    Bytes other(17, 0x33);
    other[0] = 0x07;  // an ID no collection owns
    Bytes mine(17, 0x44);
    mine[0] = 0x05;
    ASSERT_EQ(::write(fd, other.data(), other.size()), 17);
    uint8_t buffer[17] = {};
    EXPECT_EQ(vendorIface->Read(buffer, sizeof buffer, 50), HidIoResult::TimedOut);
    ASSERT_EQ(::write(fd, mine.data(), mine.size()), 17);
    ASSERT_EQ(vendorIface->Read(buffer, sizeof buffer, 2000), HidIoResult::Ok);
    EXPECT_EQ(Bytes(buffer, buffer + 17), mine);
    ::close(fd);
}

TEST_F(LinuxPlatformTest, UnnumberedReportsGainAReportIdByteAndWakeEndsARead) {
    AddNode("hidraw0", "0003:00001209:00000001", VendorDescriptor(false));
    linuxhid::LinuxHidPlatform platform = Platform();
    auto iface = platform.OpenInterface("hidraw:hidraw0");
    ASSERT_NE(iface, nullptr);
    ASSERT_TRUE(iface->CreateIoEvents());
    const int fd = ::open((root_ + "/dev/hidraw0").c_str(), O_RDWR);
    ASSERT_GE(fd, 0);

    Bytes report(16);
    for (int i = 0; i < 16; ++i) report[i] = static_cast<uint8_t>(0x80 + i);
    ASSERT_EQ(::write(fd, report.data(), report.size()), 16);
    uint8_t buffer[17] = {0xFF};
    ASSERT_EQ(iface->Read(buffer, sizeof buffer, 2000), HidIoResult::Ok);
    EXPECT_EQ(buffer[0], 0);
    EXPECT_EQ(Bytes(buffer + 1, buffer + 17), report);

    std::atomic<int> result{-1};
    std::atomic<pid_t> readerId{0};
    std::thread reader([&] {
        readerId = ThreadId();
        result = static_cast<int>(iface->Read(buffer, sizeof buffer, -1));
    });
    EXPECT_TRUE(WaitUntil([&] { return readerId.load() != 0; }));
    EXPECT_TRUE(WaitUntilSleeping(readerId.load()));  // blocked in its read
    iface->WakeRead();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(HidIoResult::Failed));
    // The wake stays: a later read fails at once instead of blocking.
    EXPECT_EQ(iface->Read(buffer, sizeof buffer, -1), HidIoResult::Failed);
    ::close(fd);
}

}  // namespace
}  // namespace azk::test

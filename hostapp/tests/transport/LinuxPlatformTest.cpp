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

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>

#include "Timing.h"
#include "transport/HidDevice.h"
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
        CloseDeviceEnd();
        if (hadRuntimeDir_) {
            ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        std::string command = "rm -rf '" + root_ + "'";
        ASSERT_EQ(std::system(command.c_str()), 0);
    }

    // A node of a USB device: its sysfs entry links into the device's tree,
    // as the kernel's does.
    void AddNode(const std::string& name, const std::string& hidId, const Bytes& descriptor) {
        AddNodeSysfsOnly(name, hidId, descriptor);
        ASSERT_EQ(::mkfifo((root_ + "/dev/" + name).c_str(), 0600), 0);
    }

    // The sysfs side of a node alone.
    void AddNodeSysfsOnly(const std::string& name, const std::string& hidId, const Bytes& descriptor) {
        AddSysfsEntry("devices/pci0000:00/0000:00:14.0/usb1/1-1/1-1:1.0/0003:1209:0001.0001/hidraw/" + name, name,
                      hidId, descriptor);
    }

    // A node of a device played through uhid.
    void AddUhidNode(const std::string& name, const std::string& hidId, const Bytes& descriptor) {
        AddSysfsEntry("devices/virtual/misc/uhid/0003:1209:0001.0001/hidraw/" + name, name, hidId, descriptor);
        ASSERT_EQ(::mkfifo((root_ + "/dev/" + name).c_str(), 0600), 0);
    }

    // The node's sysfs entry at `entry` under the tree's root, and its link
    // in the hidraw class directory.
    void AddSysfsEntry(const std::string& entry, const std::string& name, const std::string& hidId,
                       const Bytes& descriptor) {
        const std::string dir = root_ + "/" + entry + "/device";
        ASSERT_EQ(std::system(("mkdir -p '" + dir + "'").c_str()), 0);
        std::ofstream(dir + "/uevent") << "DRIVER=hid-generic\nHID_ID=" << hidId << "\nHID_NAME=test\n";
        std::ofstream(dir + "/report_descriptor", std::ios::binary)
            .write(reinterpret_cast<const char*>(descriptor.data()), static_cast<std::streamsize>(descriptor.size()));
        ASSERT_EQ(::symlink(("../" + entry).c_str(), (root_ + "/sys/" + name).c_str()), 0);
    }

    linuxhid::LinuxHidPlatform Platform() const { return linuxhid::LinuxHidPlatform(root_ + "/sys", root_ + "/dev"); }

    // hidraw0 with this descriptor (of a USB device, or played through
    // uhid), opened with its I/O set up, and in deviceFd_ the FIFO's device
    // end (opened with `flags`).
    std::unique_ptr<HidInterface> OpenNode(const Bytes& descriptor, int flags, bool uhid = false) {
        if (uhid) {
            AddUhidNode("hidraw0", "0003:00001209:00000001", descriptor);
        } else {
            AddNode("hidraw0", "0003:00001209:00000001", descriptor);
        }
        auto iface = Platform().OpenInterface("hidraw:hidraw0");
        if (iface == nullptr || !iface->CreateIoEvents()) return nullptr;
        deviceFd_ = ::open((root_ + "/dev/hidraw0").c_str(), flags);
        return deviceFd_ >= 0 ? std::move(iface) : nullptr;
    }
    void CloseDeviceEnd() {
        if (deviceFd_ >= 0) ::close(deviceFd_);
        deviceFd_ = -1;
    }

    std::string root_;
    std::string savedRuntimeDir_;
    bool hadRuntimeDir_ = false;
    int deviceFd_ = -1;
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

TEST_F(LinuxPlatformTest, DescribeTellsIdsAndLengthsAlsoOfANodeThatDoesNotOpen) {
    Bytes d = {0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x03, 0x05, 0x08, 0x09, 0x09, 0x15, 0x00, 0x25, 0x01,
               0x75, 0x01, 0x95, 0x01, 0x91, 0x02, 0x75, 0x07, 0x91, 0x01, 0xC0};
    const Bytes vendor = VendorDescriptor(true, 5, 6);
    d.insert(d.end(), vendor.begin(), vendor.end());
    AddNode("hidraw0", "0003:00001209:00000001", d);
    AddNode("hidraw1", "0003:00001209:00000002", VendorDescriptor(false));
    ASSERT_EQ(::unlink((root_ + "/dev/hidraw1").c_str()), 0);           // no node (yet)
    ASSERT_EQ(::mkdir((root_ + "/dev/hidraw2").c_str(), 0700), 0);      // a node that cannot be opened
    AddNodeSysfsOnly("hidraw2", "0003:00001209:00000001", VendorDescriptor(false));
    linuxhid::LinuxHidPlatform platform = Platform();

    const HidInterfaceInfo first = platform.DescribeInterface("hidraw:hidraw0");
    EXPECT_EQ(first.status, HidOpenStatus::Opened);
    EXPECT_EQ(first.collection, 0);
    EXPECT_EQ(first.outputByteLength, 2);
    const HidInterfaceInfo second = platform.DescribeInterface("hidraw:hidraw0#1");
    EXPECT_EQ(second.status, HidOpenStatus::Opened);
    EXPECT_EQ(second.collection, 1);
    EXPECT_EQ(second.inputByteLength, 17);
    EXPECT_EQ(second.outputByteLength, 17);
    EXPECT_EQ(second.attributes.productId, 0x0001);

    const HidInterfaceInfo missing = platform.DescribeInterface("hidraw:hidraw1");
    EXPECT_EQ(missing.status, HidOpenStatus::Gone);
    EXPECT_EQ(missing.systemError, ENOENT);
    EXPECT_TRUE(missing.idsKnown);
    EXPECT_EQ(missing.attributes.productId, 0x0002);
    EXPECT_TRUE(missing.lengthsKnown);
    EXPECT_EQ(missing.inputByteLength, 17);

    const HidInterfaceInfo directory = platform.DescribeInterface("hidraw:hidraw2");
    EXPECT_EQ(directory.status, HidOpenStatus::Failed);
    EXPECT_EQ(directory.systemError, EISDIR);
    EXPECT_TRUE(directory.idsKnown);

    EXPECT_EQ(platform.DescribeInterface("hidraw:hidraw9").status, HidOpenStatus::Gone);
    EXPECT_EQ(platform.DescribeInterface("hidraw:hidraw0#x").status, HidOpenStatus::Gone);
    EXPECT_EQ(platform.DescribeInterface("other:thing").status, HidOpenStatus::Gone);
}

// The HID device object opens the interface its search names: the same one,
// whether the platform walks the listed paths or (as on Linux) opens each
// node once for all its collections and stops at the one kept.
TEST_F(LinuxPlatformTest, TheDeviceObjectOpensTheInterfaceItsSearchFinds) {
    Bytes twoCollections = {0x05, 0x0B, 0x09, 0x05, 0xA1, 0x01, 0x85, 0x03, 0x05, 0x08, 0x09, 0x09, 0x15, 0x00,
                            0x25, 0x01, 0x75, 0x01, 0x95, 0x01, 0x91, 0x02, 0x75, 0x07, 0x91, 0x01, 0xC0};
    const Bytes vendor = VendorDescriptor(true, 5, 6);
    twoCollections.insert(twoCollections.end(), vendor.begin(), vendor.end());
    AddNode("hidraw1", "0003:00001209:00000001", twoCollections);
    AddNode("hidraw3", "garbage", VendorDescriptor(true));                   // no IDs: skipped
    ASSERT_EQ(::mkdir((root_ + "/dev/hidraw4").c_str(), 0700), 0);          // does not open: skipped
    AddNodeSysfsOnly("hidraw4", "0003:00001209:00000001", VendorDescriptor(true));
    AddNode("hidraw7", "0003:00001209:00000001", VendorDescriptor(false));
    AddNode("hidraw12", "0003:00001209:00000002", VendorDescriptor(true));
    linuxhid::LinuxHidPlatform platform = Platform();
    const std::vector<std::string> paths = platform.ListInterfaces();

    struct Case {
        int32_t vendor, product, inputLength, outputLength, index;
        const char* path;  // the interface found, or null for none
        int outputId;      // the report ID written in front of its output reports
    };
    const Case cases[] = {
        {0x1209, 1, 16, 16, 0, "hidraw:hidraw1#1", 6}, {0x1209, 1, 16, 16, 1, "hidraw:hidraw7", 0},
        {0x1209, 1, 16, 16, 2, nullptr, 0},            {0x1209, 2, 16, 16, 0, "hidraw:hidraw12", 2},
        {0x1209, 1, 0, 1, 0, "hidraw:hidraw1", 3},     {0x1209, 1, 0, 1, 1, nullptr, 0},
        {0, 0, 0, 0, 0, "hidraw:hidraw1", 3},          {0, 0, 0, 0, 1, "hidraw:hidraw1#1", 6},
        {0, 0, 0, 0, 2, "hidraw:hidraw7", 0},          {0, 0, 0, 0, 3, "hidraw:hidraw12", 2},
        {0, 0, 0, 0, 4, nullptr, 0},                   {0x1209, 3, 16, 16, 0, nullptr, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "product " << c.product << ", lengths " << c.inputLength << "/"
                                          << c.outputLength << ", index " << c.index);
        azk_CHidDevice device(platform);
        const int32_t found = device.FindDevice(c.vendor, c.product, c.inputLength, c.outputLength, c.index);
        const azk_SHidDeviceRecord* record =
            device.OpenDevice(c.vendor, c.product, c.inputLength, c.outputLength, c.index);
        if (c.path == nullptr) {
            EXPECT_EQ(found, -1);
            EXPECT_EQ(record, nullptr);
            continue;
        }
        ASSERT_GE(found, 0);
        ASSERT_LT(static_cast<size_t>(found), paths.size());
        EXPECT_EQ(paths[static_cast<size_t>(found)], c.path);
        ASSERT_NE(record, nullptr);
        auto expected = platform.OpenInterface(c.path);
        ASSERT_NE(expected, nullptr);
        EXPECT_EQ(record->attributes.productId, expected->Attributes().productId);
        const HidCapabilities& caps = record->handle->Capabilities();
        for (const HidReportType type : {HidReportType::Input, HidReportType::Output}) {
            const HidReportTypeCaps& got = caps.Of(type);
            const HidReportTypeCaps& want = expected->Capabilities().Of(type);
            EXPECT_EQ(got.byteLength, want.byteLength);
            ASSERT_EQ(got.buttons.size() + got.values.size(), want.buttons.size() + want.values.size());
            for (size_t i = 0; i < got.values.size(); ++i) EXPECT_EQ(got.values[i].reportId, want.values[i].reportId);
            for (size_t i = 0; i < got.buttons.size(); ++i) {
                EXPECT_EQ(got.buttons[i].reportId, want.buttons[i].reportId);
            }
        }
        EXPECT_EQ(record->OutputReportId(), c.outputId);
    }
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

TEST_F(LinuxPlatformTest, InputReportsWithAnUndeclaredIdAreDropped) {
    auto iface = OpenNode(VendorDescriptor(true), O_RDWR);
    ASSERT_NE(iface, nullptr);
    const int fd = deviceFd_;
    // IDs 7 (declared nowhere) and 2 (the output report's) are no input
    // reports; a short report of ID 1 is zero-filled, as Windows hands it.
    for (uint8_t id : {0x07, 0x02}) {
        Bytes stray(17, 0x33);
        stray[0] = id;
        ASSERT_EQ(::write(fd, stray.data(), stray.size()), 17);
    }
    const Bytes mine = {0x01, 0x83, 0x44};
    ASSERT_EQ(::write(fd, mine.data(), mine.size()), 3);
    uint8_t buffer[17];
    std::memset(buffer, 0xCC, sizeof buffer);
    ASSERT_EQ(iface->Read(buffer, sizeof buffer, 2000), HidIoResult::Ok);
    Bytes expected(17, 0);
    std::copy(mine.begin(), mine.end(), expected.begin());
    EXPECT_EQ(Bytes(buffer, buffer + 17), expected);
}

// Fills the FIFO from its device end (non-blocking) with 17-byte reports
// until the next one finds no room; how many went in, 0 when it never
// filled.
int Fill(int fd) {
    const Bytes filler(17, 0xFF);
    int filled = 0;
    while (::write(fd, filler.data(), filler.size()) == 17 && filled < 1000000) ++filled;
    return errno == EAGAIN ? filled : 0;
}

// An unnumbered 16-byte output report (ID byte 0) of one repeated byte.
Bytes UnnumberedReport(uint8_t fill) {
    Bytes report(17, fill);
    report[0] = 0;
    return report;
}

// The node's writes block while nothing takes them (the FIFO is full), as a
// hidraw write blocks in the kernel until the device takes the report.
TEST_F(LinuxPlatformTest, BlockedWriteIsAbandonedAtItsTimeOutAndFinishesLater) {
    auto iface = OpenNode(VendorDescriptor(false), O_RDWR | O_NONBLOCK);
    ASSERT_NE(iface, nullptr);
    const int fd = deviceFd_;
    const int filled = Fill(fd);
    ASSERT_GT(filled, 0);
    const Bytes first = UnnumberedReport(0xA1);
    const Bytes second = UnnumberedReport(0xB2);
    EXPECT_EQ(iface->Write(first.data(), first.size(), 500), HidIoResult::TimedOut);
    // Still held: the next write fails at once rather than queue behind it.
    EXPECT_EQ(iface->Write(second.data(), second.size(), 500), HidIoResult::Failed);

    // The device takes reports again: the abandoned one goes first, then
    // writing goes on.
    Bytes taken(17);
    for (int i = 0; i < filled; ++i) ASSERT_EQ(::read(fd, taken.data(), taken.size()), 17);
    HidIoResult result = HidIoResult::Failed;
    for (int i = 0; i < 500 && result == HidIoResult::Failed; ++i) {
        result = iface->Write(second.data(), second.size(), 500);
        if (result == HidIoResult::Failed) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(result, HidIoResult::Ok);
    ASSERT_EQ(::read(fd, taken.data(), taken.size()), 17);
    EXPECT_EQ(taken, first);
    ASSERT_EQ(::read(fd, taken.data(), taken.size()), 17);
    EXPECT_EQ(taken, second);
    EXPECT_EQ(::read(fd, taken.data(), taken.size()), -1);  // nothing more
}

// A uhid device's node only queues a report: the caller writes it on its own
// thread (the interface starts none), and a report that finds no room within
// its time-out is not written at all, so nothing is left held to hold up the
// next write.
TEST_F(LinuxPlatformTest, AUhidNodeIsWrittenByTheCaller) {
    const size_t threads = ThreadsOfThisProcess();
    auto iface = OpenNode(VendorDescriptor(false), O_RDWR | O_NONBLOCK, true);
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
    const int fd = deviceFd_;
    const int filled = Fill(fd);
    ASSERT_GT(filled, 0);
    const Bytes first = UnnumberedReport(0xA1);
    const Bytes second = UnnumberedReport(0xB2);
    EXPECT_EQ(iface->Write(first.data(), first.size(), 100), HidIoResult::TimedOut);
    Bytes taken(17);
    for (int i = 0; i < filled; ++i) ASSERT_EQ(::read(fd, taken.data(), taken.size()), 17);
    EXPECT_EQ(iface->Write(second.data(), second.size(), 100), HidIoResult::Ok);
    ASSERT_EQ(::read(fd, taken.data(), taken.size()), 17);
    EXPECT_EQ(taken, second);
    EXPECT_EQ(::read(fd, taken.data(), taken.size()), -1);  // the timed-out report never went
}

// Closing an interface whose write is held does not hang.
TEST_F(LinuxPlatformTest, InterfaceWithAHeldWriteCloses) {
    auto iface = OpenNode(VendorDescriptor(false), O_RDWR | O_NONBLOCK);
    ASSERT_NE(iface, nullptr);
    Bytes report(17, 0);
    HidIoResult result = HidIoResult::Ok;
    for (int i = 0; i < 1000000 && result == HidIoResult::Ok; ++i) result = iface->Write(report.data(), 17, 20);
    ASSERT_EQ(result, HidIoResult::TimedOut);
    iface.reset();
}

}  // namespace
}  // namespace azk::test

// KernelHidTest.cpp - the Linux HID platform against real kernel HID
// devices: emulated speakerphones published through /dev/uhid, reached
// through /sys/class/hidraw and /dev/hidrawN as any USB device would be.
// It runs in the test guest (run-guest-tests.sh) and skips itself where
// /dev/uhid cannot be used.
//
// Besides the tests it has one helper mode, used by the permission test:
//   kernel_hid_tests --list-openable VID PID
// prints each listed interface with 1 or 0 (could it be opened), then
// "index0 PATH" for the interface the HID device object selects at index 0
// for those IDs and 16-byte reports.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <grp.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "Timing.h"
#include "emulator/DeviceDescriptor.h"
#include "emulator/DeviceModel.h"
#include "emulator/UhidAttachment.h"
#include "transport/HidDevice.h"
#include "transport/platform/linux/LinuxPlatform.h"

namespace azk::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kVendor = 0x1209;
constexpr int kNodeWaitMs = 10000;
constexpr uid_t kUnprivilegedUid = 1000;

std::string g_self;  // this program's path, for the unprivileged helper

// The key-lock get request, as the framing layer sends it in one report.
Bytes GetRequest(size_t reportLength = 16) {
    Bytes report(reportLength, 0);
    const uint8_t request[] = {0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(request), std::end(request), report.begin());
    return report;
}

// Its answer for the given configuration in force.
Bytes GetAnswer(uint8_t se, uint16_t mask, size_t reportLength) {
    Bytes report(reportLength, 0);
    const uint8_t answer[] = {0x83, 0x03, 0x36, 0x00, se, 0x00, 0x00, 0x02, 0x00,
                              static_cast<uint8_t>(mask), static_cast<uint8_t>(mask >> 8)};
    std::copy(std::begin(answer), std::end(answer), report.begin());
    return report;
}

Bytes ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// "/dev/hidraw3" -> "hidraw3".
std::string NodeName(const std::string& node) { return node.substr(node.rfind('/') + 1); }

// One emulated speakerphone as a kernel HID device.
class azk_CKernelDevice {
public:
    azk_CKernelDevice(uint16_t productId, bool numbered, size_t reportLength = 16, uint16_t lockMask = 0x007F)
        : model_(reportLength) {
        model_.SetKeyLockConfig(0, azk_SKeyLockConfig{1, lockMask});
        azk_SUhidOptions options;
        options.name = "kernel test device";
        options.vendorId = kVendor;
        options.productId = productId;
        options.numbered = numbered;
        attachment_ = std::make_unique<azk_CUhidAttachment>(model_, options);
    }

    // Creates the device and waits for its hidraw node.
    bool Start(std::string& error) {
        return attachment_->Start(error) && attachment_->WaitForHidraw(kNodeWaitMs, node_, error);
    }

    azk_CDeviceModel& Model() { return model_; }
    const std::string& Node() const { return node_; }
    std::string Path() const { return "hidraw:" + NodeName(node_); }

private:
    azk_CDeviceModel model_;
    std::unique_ptr<azk_CUhidAttachment> attachment_;
    std::string node_;
};

class KernelHidTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (::access("/dev/uhid", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/uhid here";
        // No vhid devices take part: the vhid directory is an empty one.
        char pattern[] = "/tmp/azk-kernel-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        runtime_ = pattern;
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
    }
    void TearDown() override {
        if (runtime_.empty()) return;
        ::unsetenv("XDG_RUNTIME_DIR");
        std::error_code ignored;
        std::filesystem::remove_all(runtime_, ignored);
    }

    // Creates a device; fails the test when it gets no hidraw node.
    azk_CKernelDevice& Add(uint16_t productId, bool numbered, size_t reportLength = 16, uint16_t lockMask = 0x007F) {
        devices_.push_back(std::make_unique<azk_CKernelDevice>(productId, numbered, reportLength, lockMask));
        std::string error;
        EXPECT_TRUE(devices_.back()->Start(error)) << error;
        return *devices_.back();
    }

    std::string runtime_;
    std::vector<std::unique_ptr<azk_CKernelDevice>> devices_;
};

// The number of a "hidraw:hidrawN" path.
unsigned long NodeNumber(const std::string& path) { return std::stoul(path.substr(path.rfind("hidraw") + 6)); }

TEST_F(KernelHidTest, NodesAreListedByNumberWithTheirIdsAndCapabilities) {
    // Eleven devices make a hidraw10, which sorts before hidraw2 as text.
    for (uint16_t i = 0; i < 11; ++i) Add(static_cast<uint16_t>(0x7E00 + i), i % 2 == 0, i == 3 ? 64 : 16);
    ASSERT_FALSE(HasFailure());

    linuxhid::LinuxHidPlatform platform;
    const std::vector<std::string> paths = platform.ListInterfaces();
    std::vector<std::string> ours;
    for (const std::string& path : paths) {
        for (const auto& device : devices_) {
            if (path == device->Path()) ours.push_back(path);
        }
    }
    ASSERT_EQ(ours.size(), devices_.size());
    for (size_t i = 1; i < paths.size(); ++i) EXPECT_LT(NodeNumber(paths[i - 1]), NodeNumber(paths[i])) << paths[i];

    for (uint16_t i = 0; i < devices_.size(); ++i) {
        SCOPED_TRACE(devices_[i]->Node());
        auto iface = platform.OpenInterface(devices_[i]->Path());
        ASSERT_NE(iface, nullptr);
        EXPECT_EQ(iface->Attributes().vendorId, kVendor);
        EXPECT_EQ(iface->Attributes().productId, 0x7E00 + i);
        const uint16_t byteLength = i == 3 ? 65 : 17;
        EXPECT_EQ(iface->Capabilities().Of(HidReportType::Input).byteLength, byteLength);
        EXPECT_EQ(iface->Capabilities().Of(HidReportType::Output).byteLength, byteLength);
        ASSERT_EQ(iface->Capabilities().Of(HidReportType::Output).values.size(), 1u);
        EXPECT_EQ(iface->Capabilities().Of(HidReportType::Output).values[0].reportId, i % 2 == 0 ? 2 : 0);
    }

    // A destroyed device leaves the list with its node.
    const std::string gone = devices_[4]->Path();
    devices_[4]->Model().Unplug();
    for (int i = 0; i < 1000 && ::access(devices_[4]->Node().c_str(), F_OK) == 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::vector<std::string> after = platform.ListInterfaces();
    EXPECT_EQ(std::count(after.begin(), after.end(), gone), 0);
    EXPECT_EQ(after.size(), paths.size() - 1);
}

// Both variants (16- and 64-byte reports), numbered or not.
struct Form {
    size_t reportLength;
    bool numbered;
};

void PrintTo(const Form& f, std::ostream* os) { *os << f.reportLength << (f.numbered ? " numbered" : " unnumbered"); }

class KernelFormTest : public KernelHidTest, public ::testing::WithParamInterface<Form> {};

// The IDs and descriptor come from the node's ioctls, or from sysfs where
// the node does not answer; both give the emulated descriptor byte for byte.
// The product ID has its top bit set (the ioctl's IDs are signed).
TEST_P(KernelFormTest, SysfsAndIoctlGiveTheDescriptor) {
    const Form form = GetParam();
    azk_CKernelDevice& device = Add(0xFE20, form.numbered, form.reportLength);
    ASSERT_FALSE(HasFailure());
    const Bytes expected = BuildReportDescriptor(azk_SEmulatedInterface{form.reportLength, form.numbered});
    const std::string name = NodeName(device.Node());
    EXPECT_EQ(ReadFile("/sys/class/hidraw/" + name + "/device/report_descriptor"), expected);

    const int fd = ::open(device.Node().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    int size = 0;
    ASSERT_EQ(::ioctl(fd, HIDIOCGRDESCSIZE, &size), 0);
    hidraw_report_descriptor rd{};
    rd.size = static_cast<uint32_t>(size);
    ASSERT_EQ(::ioctl(fd, HIDIOCGRDESC, &rd), 0);
    ::close(fd);
    EXPECT_EQ(Bytes(rd.value, rd.value + size), expected);

    // A sysfs tree with the node's uevent but no report_descriptor makes the
    // platform ask the node itself.
    const std::string fakeSys = runtime_ + "/sys";
    std::filesystem::create_directories(fakeSys + "/" + name + "/device");
    const Bytes uevent = ReadFile("/sys/class/hidraw/" + name + "/device/uevent");
    std::ofstream(fakeSys + "/" + name + "/device/uevent", std::ios::binary)
        .write(reinterpret_cast<const char*>(uevent.data()), static_cast<std::streamsize>(uevent.size()));
    linuxhid::LinuxHidPlatform real;
    linuxhid::LinuxHidPlatform ioctlOnly(fakeSys, "/dev");
    ASSERT_EQ(ioctlOnly.ListInterfaces(), std::vector<std::string>{device.Path()});
    auto fromUsual = real.OpenInterface(device.Path());
    auto fromIoctl = ioctlOnly.OpenInterface(device.Path());
    ASSERT_NE(fromUsual, nullptr);
    ASSERT_NE(fromIoctl, nullptr);
    for (int t = 0; t < kHidReportTypeCount; ++t) {
        const auto type = static_cast<HidReportType>(t);
        EXPECT_EQ(fromIoctl->Capabilities().Of(type).byteLength, fromUsual->Capabilities().Of(type).byteLength);
        EXPECT_EQ(fromIoctl->Capabilities().Of(type).values.size(), fromUsual->Capabilities().Of(type).values.size());
    }
    EXPECT_EQ(fromIoctl->Capabilities().Of(HidReportType::Output).byteLength, form.reportLength + 1);
    EXPECT_EQ(fromIoctl->Attributes().productId, 0xFE20);
    EXPECT_EQ(fromUsual->Attributes().productId, 0xFE20);

    // Without any sysfs files the node alone gives the IDs and descriptor.
    const std::string emptySys = runtime_ + "/empty-sys";
    std::filesystem::create_directories(emptySys + "/" + name + "/device");
    auto fromNodeAlone = linuxhid::LinuxHidPlatform(emptySys, "/dev").OpenInterface(device.Path());
    ASSERT_NE(fromNodeAlone, nullptr);
    EXPECT_EQ(fromNodeAlone->Attributes().vendorId, kVendor);
    EXPECT_EQ(fromNodeAlone->Attributes().productId, 0xFE20);
    EXPECT_EQ(fromNodeAlone->Capabilities().Of(HidReportType::Input).byteLength, form.reportLength + 1);
}

// Reports cross the kernel whole, in both forms: the HID device object adds
// and strips the report ID byte; the device gets its request once.
TEST_P(KernelFormTest, ReportsCrossTheKernel) {
    const Form form = GetParam();
    const auto length = static_cast<int32_t>(form.reportLength);
    azk_CKernelDevice& device = Add(0x7E21, form.numbered, form.reportLength, 0x0055);
    ASSERT_FALSE(HasFailure());
    linuxhid::LinuxHidPlatform platform;
    azk_CHidDevice hid(platform);
    ASSERT_NE(hid.OpenDevice(kVendor, 0x7E21, length, length, 0), nullptr);
    EXPECT_EQ(hid.Record()->OutputReportId(), form.numbered ? 2 : 0);
    const Bytes request = GetRequest(form.reportLength);
    ASSERT_EQ(hid.WriteReport(request.data(), 500), 1);
    Bytes answer(form.reportLength, 0xEE);
    ASSERT_EQ(hid.ReadReport(answer.data(), 5000), 1);
    EXPECT_EQ(answer, GetAnswer(1, 0x0055, form.reportLength));
    EXPECT_EQ(device.Model().RequestCount(), 1u);

    // What hidraw itself carries: the output report ID byte always (0 when
    // unnumbered), the input report ID byte only when numbered.
    const int fd = ::open(device.Node().c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Bytes written = request;
    written.insert(written.begin(), form.numbered ? 2 : 0);
    ASSERT_EQ(::write(fd, written.data(), written.size()), static_cast<ssize_t>(written.size()));
    Bytes raw(128, 0);
    const ssize_t n = ::read(fd, raw.data(), raw.size());
    ::close(fd);
    raw.resize(static_cast<size_t>(std::max<ssize_t>(n, 0)));
    Bytes expected = GetAnswer(1, 0x0055, form.reportLength);
    if (form.numbered) expected.insert(expected.begin(), 1);
    EXPECT_EQ(raw, expected);
    EXPECT_EQ(device.Model().RequestCount(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Forms, KernelFormTest,
                         ::testing::Values(Form{16, true}, Form{16, false}, Form{64, true}, Form{64, false}),
                         [](const ::testing::TestParamInfo<Form>& p) {
                             return std::to_string(p.param.reportLength) +
                                    (p.param.numbered ? "Numbered" : "Unnumbered");
                         });

// A uhid device's write() only queues the report for the program playing
// the device: its node is known by its sysfs entry, and written on the
// caller's thread, without a writer thread of its own.
TEST_F(KernelHidTest, AUhidDevicesNodeIsWrittenByTheCaller) {
    azk_CKernelDevice& device = Add(0x7E32, true);
    ASSERT_FALSE(HasFailure());
    linuxhid::LinuxHidPlatform platform;
    auto iface = platform.OpenInterface(device.Path());
    ASSERT_NE(iface, nullptr);
    const size_t threads = ThreadsOfThisProcess();
    ASSERT_TRUE(iface->CreateIoEvents());
    EXPECT_EQ(ThreadsOfThisProcess(), threads);
    Bytes request = GetRequest();
    request.insert(request.begin(), 2);
    ASSERT_EQ(iface->Write(request.data(), request.size(), 500), HidIoResult::Ok);
    Bytes answer(17, 0xEE);
    ASSERT_EQ(iface->Read(answer.data(), answer.size(), 5000), HidIoResult::Ok);
    Bytes expected = GetAnswer(1, 0x007F, 16);
    expected.insert(expected.begin(), 1);
    EXPECT_EQ(answer, expected);
}

TEST_F(KernelHidTest, CancelReadEndsAPendingRead) {
    Add(0x7E30, true);
    ASSERT_FALSE(HasFailure());
    linuxhid::LinuxHidPlatform platform;
    azk_CHidDevice hid(platform);
    ASSERT_NE(hid.OpenDevice(kVendor, 0x7E30, 16, 16, 0), nullptr);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        Bytes buffer(16);
        result = hid.ReadReport(buffer.data(), -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(result.load(), -1);  // still waiting: nothing was sent
    hid.CancelRead();
    reader.join();
    EXPECT_EQ(result.load(), 0);
    const Bytes request = GetRequest();
    EXPECT_EQ(hid.WriteReport(request.data(), 500), 0);
}

TEST_F(KernelHidTest, UnplugFailsAPendingRead) {
    azk_CKernelDevice& device = Add(0x7E31, false);
    ASSERT_FALSE(HasFailure());
    linuxhid::LinuxHidPlatform platform;
    azk_CHidDevice hid(platform);
    ASSERT_NE(hid.OpenDevice(kVendor, 0x7E31, 16, 16, 0), nullptr);
    std::atomic<int> result{-1};
    std::thread reader([&] {
        Bytes buffer(16);
        result = hid.ReadReport(buffer.data(), -1);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    device.Model().Unplug();
    reader.join();
    EXPECT_EQ(result.load(), 0);
    // The node went with the device: the next search finds nothing.
    azk_CHidDevice again(platform);
    EXPECT_EQ(again.OpenDevice(kVendor, 0x7E31, 16, 16, 0), nullptr);
}

// A node the user may not open is skipped: the search goes on to the next
// device with the same IDs. Root opens anything, so the search runs in a
// child process under an ordinary user id.
TEST_F(KernelHidTest, NodeThatCannotBeOpenedIsSkipped) {
    azk_CKernelDevice& denied = Add(0x7E40, true);
    azk_CKernelDevice& allowed = Add(0x7E40, true);
    ASSERT_FALSE(HasFailure());
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to hand the nodes to another user";
    // The node that cannot be opened comes first, so index 0 would be it.
    ASSERT_LT(NodeNumber(denied.Path()), NodeNumber(allowed.Path()));
    ASSERT_EQ(::chown(denied.Node().c_str(), 0, 0), 0);
    ASSERT_EQ(::chmod(denied.Node().c_str(), 0600), 0);
    ASSERT_EQ(::chmod(allowed.Node().c_str(), 0666), 0);

    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    const std::string self = g_self;
    const char* argv[] = {self.c_str(), "--list-openable", "1209", "7e40", nullptr};
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(out[1], STDOUT_FILENO);
        ::close(out[0]);
        ::close(out[1]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedUid) != 0 || ::setuid(kUnprivilegedUid) != 0) {
            ::_exit(126);
        }
        ::execv(argv[0], const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char chunk[256];
    ssize_t n;
    while ((n = ::read(out[0], chunk, sizeof chunk)) > 0) text.append(chunk, static_cast<size_t>(n));
    ::close(out[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << "\n" << text;

    EXPECT_NE(text.find(denied.Path() + " 0\n"), std::string::npos) << text;
    EXPECT_NE(text.find(allowed.Path() + " 1\n"), std::string::npos) << text;
    EXPECT_NE(text.find("index0 " + allowed.Path() + "\n"), std::string::npos) << text;
}

// The helper mode: what this (unprivileged) process can list and open.
int ListOpenable(const char* vendor, const char* product) {
    const auto vid = static_cast<int32_t>(std::strtol(vendor, nullptr, 16));
    const auto pid = static_cast<int32_t>(std::strtol(product, nullptr, 16));
    linuxhid::LinuxHidPlatform platform;
    const std::vector<std::string> paths = platform.ListInterfaces();
    for (const std::string& path : paths) {
        std::printf("%s %d\n", path.c_str(), platform.OpenInterface(path) != nullptr ? 1 : 0);
    }
    azk_CHidDevice hid(platform);
    const int32_t member = hid.FindDevice(vid, pid, 16, 16, 0);
    std::printf("index0 %s\n", member >= 0 ? paths[static_cast<size_t>(member)].c_str() : "none");
    return 0;
}

}  // namespace
}  // namespace azk::test

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--list-openable") == 0) {
        return azk::test::ListOpenable(argv[2], argv[3]);
    }
    azk::test::g_self = "/proc/self/exe";
    char path[4096];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n > 0) azk::test::g_self.assign(path, static_cast<size_t>(n));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

// UhidAttachmentTest.cpp - the device model on /dev/uhid. The kernel's side
// is played by the test over a socket pair carrying one uhid event per
// message, as /dev/uhid does per read and write; a last test uses the real
// /dev/uhid where there is one.
#include <gtest/gtest.h>

#include <linux/uhid.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <thread>

#include "VhidTestSupport.h"
#include "emulator/DeviceDescriptor.h"
#include "emulator/DeviceModel.h"
#include "emulator/UhidAttachment.h"
#include "transport/platform/linux/LinuxPlatform.h"

namespace azk::test {
namespace {

constexpr int kWaitMs = 10000;

std::unique_ptr<uhid_event> NewEvent(uint32_t type) {
    auto event = std::make_unique<uhid_event>();
    std::memset(event.get(), 0, sizeof *event);
    event->type = type;
    return event;
}

// The kernel's end of the uhid descriptor.
class azk_CFakeKernel {
public:
    azk_CFakeKernel() {
        int fds[2];
        ok_ = ::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) == 0;
        if (ok_) {
            kernel_ = fds[0];
            device_ = fds[1];
        }
    }
    ~azk_CFakeKernel() {
        if (kernel_ >= 0) ::close(kernel_);
        if (device_ >= 0) ::close(device_);
    }
    azk_CFakeKernel(const azk_CFakeKernel&) = delete;
    azk_CFakeKernel& operator=(const azk_CFakeKernel&) = delete;

    bool Ok() const { return ok_; }
    // The descriptor the attachment takes over.
    int TakeDeviceEnd() {
        const int fd = device_;
        device_ = -1;
        return fd;
    }

    // The next event the device wrote, or null after timeoutMs. `size` is
    // the number of bytes it wrote.
    std::unique_ptr<uhid_event> Next(size_t& size, int timeoutMs = kWaitMs) {
        pollfd pfd = {kernel_, POLLIN, 0};
        if (::poll(&pfd, 1, timeoutMs) <= 0) return nullptr;
        auto event = NewEvent(0);
        const ssize_t n = ::recv(kernel_, event.get(), sizeof *event, MSG_DONTWAIT);
        if (n <= 0) return nullptr;
        size = static_cast<size_t>(n);
        return event;
    }

    bool Send(const uhid_event& event) {
        return ::send(kernel_, &event, sizeof event, MSG_NOSIGNAL) == static_cast<ssize_t>(sizeof event);
    }

    // A host write to the hidraw node: uhid passes the buffer on verbatim.
    bool SendOutput(const Bytes& data, uint8_t rtype = UHID_OUTPUT_REPORT) {
        auto event = NewEvent(UHID_OUTPUT);
        std::memcpy(event->u.output.data, data.data(), data.size());
        event->u.output.size = static_cast<uint16_t>(data.size());
        event->u.output.rtype = rtype;
        return Send(*event);
    }

private:
    int kernel_ = -1;
    int device_ = -1;
    bool ok_ = false;
};

Bytes GetRequest(size_t length) {
    Bytes report(length, 0);
    const uint8_t request[] = {0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(request), std::end(request), report.begin());
    return report;
}

Bytes WithId(uint8_t id, Bytes report) {
    report.insert(report.begin(), id);
    return report;
}

struct Form {
    size_t reportLength;
    bool numbered;
};

void PrintTo(const Form& f, std::ostream* os) { *os << f.reportLength << (f.numbered ? " numbered" : " unnumbered"); }

class UhidAttachmentTest : public ::testing::TestWithParam<Form> {
protected:
    UhidAttachmentTest() : model_(GetParam().reportLength) {}

    void SetUp() override {
        ASSERT_TRUE(kernel_.Ok());
        azk_SUhidOptions options;
        options.name = "test device";
        options.vendorId = 0xABCD;
        options.productId = 0x1234;
        options.versionNumber = 0x0205;
        options.numbered = GetParam().numbered;
        options.onConnected = [this] { ++opened_; };
        attachment_ = std::make_unique<azk_CUhidAttachment>(model_, options);
        std::string error;
        ASSERT_TRUE(attachment_->StartOn(kernel_.TakeDeviceEnd(), error)) << error;
    }

    size_t size_ = 0;
    azk_CFakeKernel kernel_;
    azk_CDeviceModel model_;
    std::atomic<int> opened_{0};
    std::unique_ptr<azk_CUhidAttachment> attachment_;
};

TEST_P(UhidAttachmentTest, CreatesTheDeviceWithTheEmulatedDescriptor) {
    auto create = kernel_.Next(size_);
    ASSERT_NE(create, nullptr);
    ASSERT_EQ(create->type, static_cast<uint32_t>(UHID_CREATE2));
    const Bytes expected = BuildReportDescriptor(azk_SEmulatedInterface{GetParam().reportLength, GetParam().numbered});
    const uhid_create2_req& c = create->u.create2;
    ASSERT_EQ(c.rd_size, expected.size());
    EXPECT_EQ(Bytes(c.rd_data, c.rd_data + c.rd_size), expected);
    EXPECT_EQ(c.bus, 0x03);  // USB
    EXPECT_EQ(c.vendor, 0xABCDu);
    EXPECT_EQ(c.product, 0x1234u);
    EXPECT_EQ(c.version, 0x0205u);
    EXPECT_STREQ(reinterpret_cast<const char*>(c.name), "test device");
}

TEST_P(UhidAttachmentTest, OutputReportsReachTheModelAndAnswersLeaveAsInput) {
    const Form form = GetParam();
    ASSERT_NE(kernel_.Next(size_), nullptr);  // the create

    // What the host wrote to hidraw, its leading report ID byte included
    // (0 for an unnumbered device: uhid does not drop it).
    ASSERT_TRUE(kernel_.SendOutput(WithId(form.numbered ? 2 : 0, GetRequest(form.reportLength))));
    auto input = kernel_.Next(size_);
    ASSERT_NE(input, nullptr);
    ASSERT_EQ(input->type, static_cast<uint32_t>(UHID_INPUT2));
    const size_t length = input->u.input2.size;
    ASSERT_EQ(length, form.reportLength + (form.numbered ? 1 : 0));
    ASSERT_LE(offsetof(uhid_event, u) + offsetof(uhid_input2_req, data) + length, size_);
    Bytes expected(form.reportLength, 0);
    const uint8_t body[] = {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00};
    std::copy(std::begin(body), std::end(body), expected.begin());
    if (form.numbered) expected = WithId(1, expected);
    EXPECT_EQ(Bytes(input->u.input2.data, input->u.input2.data + length), expected);
    EXPECT_EQ(model_.RequestCount(), 1u);
}

TEST_P(UhidAttachmentTest, ReportsOfAnotherTypeLengthOrIdAreIgnored) {
    const Form form = GetParam();
    ASSERT_NE(kernel_.Next(size_), nullptr);
    const uint8_t id = form.numbered ? 2 : 0;
    Bytes shortReport = WithId(id, GetRequest(form.reportLength));
    shortReport.pop_back();
    ASSERT_TRUE(kernel_.SendOutput(shortReport));
    ASSERT_TRUE(kernel_.SendOutput(GetRequest(form.reportLength + 1)));  // ID byte 0x80
    ASSERT_TRUE(kernel_.SendOutput(WithId(id, GetRequest(form.reportLength)), UHID_FEATURE_REPORT));
    // A good one after them is the first answered.
    ASSERT_TRUE(kernel_.SendOutput(WithId(id, GetRequest(form.reportLength))));
    auto input = kernel_.Next(size_);
    ASSERT_NE(input, nullptr);
    EXPECT_EQ(input->type, static_cast<uint32_t>(UHID_INPUT2));
    EXPECT_EQ(model_.RequestCount(), 1u);
    EXPECT_EQ(kernel_.Next(size_, 100), nullptr);
}

TEST_P(UhidAttachmentTest, FeatureRequestsAreRefusedAtOnce) {
    ASSERT_NE(kernel_.Next(size_), nullptr);
    auto get = NewEvent(UHID_GET_REPORT);
    get->u.get_report.id = 77;
    get->u.get_report.rnum = 1;
    get->u.get_report.rtype = UHID_FEATURE_REPORT;
    ASSERT_TRUE(kernel_.Send(*get));
    auto reply = kernel_.Next(size_);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->type, static_cast<uint32_t>(UHID_GET_REPORT_REPLY));
    EXPECT_EQ(reply->u.get_report_reply.id, 77u);
    EXPECT_NE(reply->u.get_report_reply.err, 0);

    auto set = NewEvent(UHID_SET_REPORT);
    set->u.set_report.id = 78;
    ASSERT_TRUE(kernel_.Send(*set));
    reply = kernel_.Next(size_);
    ASSERT_NE(reply, nullptr);
    ASSERT_EQ(reply->type, static_cast<uint32_t>(UHID_SET_REPORT_REPLY));
    EXPECT_EQ(reply->u.set_report_reply.id, 78u);
    EXPECT_NE(reply->u.set_report_reply.err, 0);
}

TEST_P(UhidAttachmentTest, OpenRunsTheConnectHookAndUnplugDestroysTheDevice) {
    ASSERT_NE(kernel_.Next(size_), nullptr);
    ASSERT_TRUE(kernel_.Send(*NewEvent(UHID_START)));
    ASSERT_TRUE(kernel_.Send(*NewEvent(UHID_OPEN)));
    // The hook runs on the attachment's thread once it has read the open.
    for (int i = 0; i < 1000 && opened_.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(opened_.load(), 1);

    model_.Unplug();
    auto destroy = kernel_.Next(size_);
    ASSERT_NE(destroy, nullptr);
    EXPECT_EQ(destroy->type, static_cast<uint32_t>(UHID_DESTROY));
    EXPECT_TRUE(attachment_->Stopped());
    // Nothing more is written, on a send or on stop.
    EXPECT_FALSE(model_.SendEvent(1, 2));
    attachment_->Stop();
    EXPECT_EQ(kernel_.Next(size_, 100), nullptr);
}

TEST_P(UhidAttachmentTest, StopDestroysTheDevice) {
    ASSERT_NE(kernel_.Next(size_), nullptr);
    attachment_->Stop();
    auto destroy = kernel_.Next(size_);
    ASSERT_NE(destroy, nullptr);
    EXPECT_EQ(destroy->type, static_cast<uint32_t>(UHID_DESTROY));
}

INSTANTIATE_TEST_SUITE_P(Forms, UhidAttachmentTest,
                         ::testing::Values(Form{16, true}, Form{16, false}, Form{64, true}, Form{64, false}),
                         [](const ::testing::TestParamInfo<Form>& p) {
                             return std::to_string(p.param.reportLength) +
                                    (p.param.numbered ? "Numbered" : "Unnumbered");
                         });

TEST(UhidAttachment, MissingDeviceNodeGivesAClearError) {
    azk_CDeviceModel model(16);
    azk_SUhidOptions options;
    options.path = "/nonexistent/uhid";
    azk_CUhidAttachment attachment(model, options);
    std::string error;
    EXPECT_FALSE(attachment.Start(error));
    EXPECT_NE(error.find("/nonexistent/uhid"), std::string::npos) << error;
    EXPECT_NE(error.find("uhid module"), std::string::npos) << error;
}

// The kernel queues UHID_OPEN and UHID_CLOSE as hosts open and close the
// hidraw node; a host that only looked at the device (a probe) may be gone
// before the device reads its open. Here a probe's open and close, then a
// host's open and request, are all queued before the device reads anything:
// the connect traffic goes out once, ahead of the answer.
TEST(UhidAttachment, ConnectTrafficGoesOnlyToTheOpenThatStays) {
    azk_CFakeKernel kernel;
    ASSERT_TRUE(kernel.Ok());
    azk_CDeviceModel model(16);
    std::atomic<int> connects{0};
    azk_SUhidOptions options;
    options.onConnected = [&] {
        ++connects;
        model.SendEvent(7, 3);
    };
    ASSERT_TRUE(kernel.Send(*NewEvent(UHID_START)));
    ASSERT_TRUE(kernel.Send(*NewEvent(UHID_OPEN)));
    ASSERT_TRUE(kernel.Send(*NewEvent(UHID_CLOSE)));
    ASSERT_TRUE(kernel.Send(*NewEvent(UHID_OPEN)));
    ASSERT_TRUE(kernel.SendOutput(WithId(2, GetRequest(16))));
    azk_CUhidAttachment attachment(model, options);
    std::string error;
    ASSERT_TRUE(attachment.StartOn(kernel.TakeDeviceEnd(), error)) << error;

    size_t size = 0;
    auto create = kernel.Next(size);
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(create->type, static_cast<uint32_t>(UHID_CREATE2));
    // Two inputs however busy the machine, then nothing more: a second copy
    // of the connect traffic would come before the answer or after it.
    std::vector<uint8_t> markers;
    for (int i = 0; i < 2; ++i) {
        auto input = kernel.Next(size, 5000);
        ASSERT_NE(input, nullptr) << "input " << i;
        ASSERT_EQ(input->type, static_cast<uint32_t>(UHID_INPUT2));
        markers.push_back(input->u.input2.data[1]);  // after the input report ID
    }
    EXPECT_EQ(markers, (std::vector<uint8_t>{0x90, 0x83}));  // the event, then the answer
    EXPECT_EQ(kernel.Next(size, 200), nullptr);
    EXPECT_EQ(connects.load(), 1);
}

// The kernel makes the hidraw node on its own time; the device finds it by
// its physical path, a whole uevent line (".../1" is not ".../10").
TEST(UhidAttachment, WaitForHidrawFindsTheNodeCarryingItsPhys) {
    azk_CTempDir dir;
    ASSERT_FALSE(dir.Path().empty());
    azk_CFakeKernel kernel;
    ASSERT_TRUE(kernel.Ok());
    azk_CDeviceModel model(16);
    azk_SUhidOptions options;
    options.sysfsRoot = dir.Path() + "/sys";
    options.devRoot = dir.Path() + "/dev";
    azk_CUhidAttachment attachment(model, options);
    azk_CUhidAttachment other(model, options);
    EXPECT_NE(attachment.Phys(), other.Phys());

    std::string node;
    std::string error;
    EXPECT_FALSE(attachment.WaitForHidraw(10, node, error));  // not created yet
    ASSERT_TRUE(attachment.StartOn(kernel.TakeDeviceEnd(), error)) << error;
    size_t size = 0;
    auto create = kernel.Next(size);
    ASSERT_NE(create, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(create->u.create2.phys)), attachment.Phys());

    auto addNode = [&](const std::string& name, const std::string& uevent) {
        std::filesystem::create_directories(options.sysfsRoot + "/" + name + "/device");
        std::ofstream(options.sysfsRoot + "/" + name + "/device/uevent") << uevent;
    };
    addNode("hidraw1", "HID_NAME=x\nHID_PHYS=" + attachment.Phys() + "0\n");
    addNode("hidraw7", "HID_ID=0003:00001209:00000001\nHID_PHYS=" + attachment.Phys() + "\nHID_UNIQ=\n");
    std::filesystem::create_directories(options.devRoot);
    std::ofstream(options.devRoot + "/hidraw1") << "";
    // The class device is there, its /dev node not yet.
    EXPECT_FALSE(attachment.WaitForHidraw(50, node, error));
    EXPECT_NE(error.find("hid-generic"), std::string::npos) << error;
    std::ofstream(options.devRoot + "/hidraw7") << "";
    ASSERT_TRUE(attachment.WaitForHidraw(1000, node, error)) << error;
    EXPECT_EQ(node, options.devRoot + "/hidraw7");
}

// The kernel path: a real hidraw node through the Linux HID layer.
class UhidKernelTest : public ::testing::TestWithParam<bool> {};

TEST_P(UhidKernelTest, HidrawNodeCarriesTheModelsReports) {
    if (::access("/dev/uhid", R_OK | W_OK) != 0) GTEST_SKIP() << "no usable /dev/uhid here";
    const bool numbered = GetParam();
    azk_CTempDir runtime;  // no vhid devices take part
    azk_CScopedEnv env("XDG_RUNTIME_DIR", runtime.Path());

    azk_CDeviceModel model(16);
    azk_SUhidOptions options;
    options.vendorId = 0x1209;
    options.productId = 0x7E57;
    options.numbered = numbered;
    azk_CUhidAttachment attachment(model, options);
    std::string error;
    ASSERT_TRUE(attachment.Start(error)) << error;

    linuxhid::LinuxHidPlatform platform;
    std::unique_ptr<HidInterface> iface;
    for (int attempt = 0; attempt < 500 && !iface; ++attempt) {
        for (const std::string& path : platform.ListInterfaces()) {
            auto candidate = platform.OpenInterface(path);
            if (candidate && candidate->Attributes().vendorId == 0x1209 &&
                candidate->Attributes().productId == 0x7E57) {
                iface = std::move(candidate);
                break;
            }
        }
        if (!iface) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_NE(iface, nullptr) << "the hidraw node did not appear";
    ASSERT_TRUE(iface->CreateIoEvents());

    Bytes report = WithId(numbered ? 2 : 0, GetRequest(16));
    ASSERT_EQ(iface->Write(report.data(), report.size(), 5000), HidIoResult::Ok);
    Bytes input(17, 0);
    ASSERT_EQ(iface->Read(input.data(), input.size(), 5000), HidIoResult::Ok);
    EXPECT_EQ(input[0], numbered ? 1 : 0);
    EXPECT_EQ(input[1], 0x83);
    EXPECT_EQ(input[2], 0x03);

    std::atomic<int> result{-1};
    std::thread reader([&] {
        Bytes buffer(17);
        result = static_cast<int>(iface->Read(buffer.data(), buffer.size(), -1));
    });
    model.Unplug();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(HidIoResult::Failed));
}

INSTANTIATE_TEST_SUITE_P(Forms, UhidKernelTest, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& p) {
                             return p.param ? std::string("Numbered") : std::string("Unnumbered");
                         });

}  // namespace
}  // namespace azk::test

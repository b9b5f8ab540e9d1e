// VhidServerTest.cpp - the emulator's vhid server seen from a raw socket:
// the hello it sends, which host reports reach the model, one connection at
// a time, held and refusing devices, unplug and stop, and the directory and
// socket file it leaves behind.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <ostream>
#include <vector>

#include "VhidTestSupport.h"
#include "emulator/DeviceDescriptor.h"
#include "emulator/DeviceModel.h"
#include "emulator/VhidServer.h"
#include "support/ByteOrder.h"
#include "transport/platform/hidparse/ReportDescriptor.h"

namespace azk::test {
namespace {

constexpr int kWaitMs = 10000;

// A key-lock request report (marker 0x80) of `length` data bytes.
Bytes KeyLockReport(size_t length, uint8_t op, uint8_t arg = 0, uint16_t mask = 0) {
    Bytes report(length, 0);
    report[0] = 0x80;
    report[1] = op;
    Write16(&report[2], 0x0036);
    report[4] = arg;
    if (op == 0) {
        Write16(&report[7], 2);
        Write16(&report[9], mask);
    }
    return report;
}

Bytes WithId(uint8_t id, Bytes report) {
    report.insert(report.begin(), id);
    return report;
}

class VhidServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(root_.Path().empty());
        dir_ = root_.Path() + "/azk-vhid";
        std::string error;
        ASSERT_TRUE(PrepareVhidDirectory(dir_, error)) << error;
    }

    std::unique_ptr<azk_CVhidServer> Start(azk_CDeviceModel& model, bool numbered = true,
                                           azk_EVhidMode mode = azk_EVhidMode::Serve,
                                           const std::string& name = "dev.sock") {
        azk_SVhidOptions options;
        options.directory = dir_;
        options.name = name;
        options.vendorId = 0xABCD;
        options.productId = 0x1234;
        options.versionNumber = 0x0205;
        options.numbered = numbered;
        options.mode = mode;
        auto server = std::make_unique<azk_CVhidServer>(model, options);
        std::string error;
        EXPECT_TRUE(server->Start(error)) << error;
        return server;
    }

    // Connects and takes the hello.
    int Connect(Bytes* hello = nullptr) {
        const int fd = ConnectTo(dir_ + "/dev.sock");
        EXPECT_GE(fd, 0);
        Bytes message;
        bool eof = false;
        EXPECT_TRUE(ReceiveMessage(fd, message, eof, kWaitMs));
        EXPECT_FALSE(eof);
        if (hello != nullptr) *hello = message;
        return fd;
    }

    azk_CTempDir root_;
    std::string dir_;
};

struct Form {
    size_t reportLength;
    bool numbered;
};

void PrintTo(const Form& f, std::ostream* os) { *os << f.reportLength << (f.numbered ? " numbered" : " unnumbered"); }

class VhidServerFormTest : public VhidServerTest, public ::testing::WithParamInterface<Form> {};

// The emulated speakerphone's report descriptor, byte for byte: a vendor
// application collection (usage page 0xFF00, usage 1), 8-bit fields 0-255,
// an input report (usage 1, ID 1 when numbered) and an output report
// (usage 2, ID 2) of one field per report byte.
Bytes EmulatedDescriptor(size_t reportLength, bool numbered) {
    if (reportLength == 16 && numbered) {
        return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x85, 0x01,
                0x95, 0x10, 0x09, 0x01, 0x81, 0x02, 0x85, 0x02, 0x95, 0x10, 0x09, 0x02, 0x91, 0x02, 0xC0};
    }
    if (reportLength == 16) {
        return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
                0x95, 0x10, 0x09, 0x01, 0x81, 0x02, 0x95, 0x10, 0x09, 0x02, 0x91, 0x02, 0xC0};
    }
    if (numbered) {
        return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08, 0x85, 0x01,
                0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x85, 0x02, 0x95, 0x40, 0x09, 0x02, 0x91, 0x02, 0xC0};
    }
    return {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75, 0x08,
            0x95, 0x40, 0x09, 0x01, 0x81, 0x02, 0x95, 0x40, 0x09, 0x02, 0x91, 0x02, 0xC0};
}

TEST_P(VhidServerFormTest, HelloDescribesTheDeviceAndReportsTravelInHidrawForm) {
    const Form form = GetParam();
    azk_CDeviceModel model(form.reportLength);
    auto server = Start(model, form.numbered);
    Bytes hello;
    const int fd = Connect(&hello);

    ASSERT_GE(hello.size(), 14u);
    EXPECT_EQ(std::string(hello.begin(), hello.begin() + 4), "VHID");
    EXPECT_EQ(Read16(&hello[4]), 1);
    EXPECT_EQ(Read16(&hello[6]), 0xABCD);
    EXPECT_EQ(Read16(&hello[8]), 0x1234);
    EXPECT_EQ(Read16(&hello[10]), 0x0205);
    ASSERT_EQ(hello.size(), 14u + Read16(&hello[12]));
    EXPECT_EQ(Bytes(hello.begin() + 14, hello.end()), EmulatedDescriptor(form.reportLength, form.numbered));

    // The descriptor, through the parser the client uses.
    HidDescriptorInfo info;
    ASSERT_TRUE(ParseReportDescriptor(&hello[14], hello.size() - 14, info));
    EXPECT_EQ(info.numbered, form.numbered);
    ASSERT_EQ(info.collections.size(), 1u);
    EXPECT_EQ(info.collections[0].usagePage, 0xFF00);
    const HidCapabilities& caps = info.collections[0].caps;
    EXPECT_EQ(caps.Of(HidReportType::Input).byteLength, form.reportLength + 1);
    EXPECT_EQ(caps.Of(HidReportType::Output).byteLength, form.reportLength + 1);
    ASSERT_EQ(caps.Of(HidReportType::Output).values.size(), 1u);
    ASSERT_EQ(caps.Of(HidReportType::Input).values.size(), 1u);
    const uint8_t outputId = caps.Of(HidReportType::Output).values[0].reportId;
    const uint8_t inputId = caps.Of(HidReportType::Input).values[0].reportId;
    EXPECT_EQ(outputId, form.numbered ? 2 : 0);
    EXPECT_EQ(inputId, form.numbered ? 1 : 0);

    // Host to device: ID byte first even when unnumbered. Device to host:
    // the ID byte only when numbered.
    const Bytes request = WithId(outputId, KeyLockReport(form.reportLength, 2));
    ASSERT_EQ(::send(fd, request.data(), request.size(), 0), static_cast<ssize_t>(request.size()));
    Bytes answer;
    bool eof = false;
    ASSERT_TRUE(ReceiveMessage(fd, answer, eof, kWaitMs));
    Bytes expected(form.reportLength, 0);
    const uint8_t body[] = {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00};
    std::copy(std::begin(body), std::end(body), expected.begin());
    if (form.numbered) expected = WithId(1, expected);
    EXPECT_EQ(answer, expected);
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Forms, VhidServerFormTest,
                         ::testing::Values(Form{16, true}, Form{16, false}, Form{64, true}, Form{64, false}),
                         [](const ::testing::TestParamInfo<Form>& p) {
                             return std::to_string(p.param.reportLength) +
                                    (p.param.numbered ? "Numbered" : "Unnumbered");
                         });

struct BadReport {
    const char* name;
    bool numbered;
    Bytes report;
};

std::vector<BadReport> BadReports() {
    const Bytes get = KeyLockReport(16, 2);
    Bytes shortReport = WithId(2, get);
    shortReport.pop_back();
    Bytes longReport = WithId(2, get);
    longReport.push_back(0);
    Bytes oversized = WithId(2, get);
    oversized.resize(5000, 0);
    return {
        {"OneByteShort", true, shortReport},
        {"OneByteLong", true, longReport},
        {"Oversized", true, oversized},
        {"InputReportId", true, WithId(1, get)},
        {"UnnumberedWithoutIdByte", false, get},
        {"UnnumberedWithNonZeroId", false, WithId(2, get)},
        {"Empty", true, Bytes{}},
    };
}

void PrintTo(const BadReport& b, std::ostream* os) { *os << b.name; }

class VhidServerBadReportTest : public VhidServerTest, public ::testing::WithParamInterface<BadReport> {};

TEST_P(VhidServerBadReportTest, ReportOfAnotherLengthOrIdIsIgnored) {
    const BadReport bad = GetParam();
    azk_CDeviceModel model(16);
    auto server = Start(model, bad.numbered);
    const int fd = Connect();
    ::send(fd, bad.report.data(), bad.report.size(), 0);
    // A good request after it is the first one the model sees and answers.
    const Bytes good = WithId(bad.numbered ? 2 : 0, KeyLockReport(16, 0, 0, 0x0055));
    ASSERT_EQ(::send(fd, good.data(), good.size(), 0), static_cast<ssize_t>(good.size()));
    Bytes answer;
    bool eof = false;
    ASSERT_TRUE(ReceiveMessage(fd, answer, eof, kWaitMs));
    ASSERT_FALSE(eof);
    EXPECT_EQ(answer[bad.numbered ? 2 : 1], 0x01);  // a set's answer
    EXPECT_EQ(model.RequestCount(), 1u);
    EXPECT_EQ(model.GetKeyLockConfig(0).lockMask, 0x0055);
    ::close(fd);
}

INSTANTIATE_TEST_SUITE_P(Reports, VhidServerBadReportTest, ::testing::ValuesIn(BadReports()),
                         [](const ::testing::TestParamInfo<BadReport>& p) { return p.param.name; });

TEST_F(VhidServerTest, ServesOneConnectionAtATimeAndKeepsTheDeviceState) {
    azk_CDeviceModel model(16);
    auto server = Start(model);
    const int first = Connect();
    // The second waits in the backlog: no hello while the first is served.
    const int second = ConnectTo(dir_ + "/dev.sock");
    ASSERT_GE(second, 0);
    Bytes message;
    bool eof = false;
    EXPECT_FALSE(ReceiveMessage(second, message, eof, 200));

    const Bytes set = WithId(2, KeyLockReport(16, 0, 0, 0x0011));
    ASSERT_EQ(::send(first, set.data(), set.size(), 0), static_cast<ssize_t>(set.size()));
    ASSERT_TRUE(ReceiveMessage(first, message, eof, kWaitMs));
    ::close(first);

    ASSERT_TRUE(ReceiveMessage(second, message, eof, kWaitMs));  // its hello
    ASSERT_FALSE(eof);
    EXPECT_EQ(std::string(message.begin(), message.begin() + 4), "VHID");
    const Bytes get = WithId(2, KeyLockReport(16, 2));
    ASSERT_EQ(::send(second, get.data(), get.size(), 0), static_cast<ssize_t>(get.size()));
    ASSERT_TRUE(ReceiveMessage(second, message, eof, kWaitMs));
    ASSERT_EQ(message.size(), 17u);
    EXPECT_EQ(Read16(&message[10]), 0x0011);  // what the first connection set
    ::close(second);
    EXPECT_EQ(server->ConnectionCount(), 2u);
}

TEST_F(VhidServerTest, HeldDeviceClosesEachConnectionWithoutAHello) {
    azk_CDeviceModel model(16);
    auto server = Start(model, true, azk_EVhidMode::Held);
    for (int i = 0; i < 2; ++i) {
        const int fd = ConnectTo(dir_ + "/dev.sock");
        ASSERT_GE(fd, 0);
        Bytes message;
        bool eof = false;
        ASSERT_TRUE(ReceiveMessage(fd, message, eof, kWaitMs));
        EXPECT_TRUE(eof);
        ::close(fd);
    }
    EXPECT_EQ(server->ConnectionCount(), 2u);
}

TEST_F(VhidServerTest, RefusingDeviceHasASocketFileThatRefusesConnections) {
    azk_CDeviceModel model(16);
    auto server = Start(model, true, azk_EVhidMode::Refuse);
    EXPECT_TRUE(std::filesystem::exists(dir_ + "/dev.sock"));
    EXPECT_LT(ConnectTo(dir_ + "/dev.sock"), 0);
    EXPECT_EQ(errno, ECONNREFUSED);
    server->Stop();
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/dev.sock"));
}

TEST_F(VhidServerTest, UnplugEndsTheConnectionAndRemovesTheSocket) {
    azk_CDeviceModel model(16);
    model.UnplugAfterRequests(1);
    auto server = Start(model);
    const int fd = Connect();
    const Bytes get = WithId(2, KeyLockReport(16, 2));
    ASSERT_EQ(::send(fd, get.data(), get.size(), 0), static_cast<ssize_t>(get.size()));
    Bytes message;
    bool eof = false;
    ASSERT_TRUE(ReceiveMessage(fd, message, eof, kWaitMs));  // the answer comes first
    EXPECT_FALSE(eof);
    ASSERT_TRUE(ReceiveMessage(fd, message, eof, kWaitMs));
    EXPECT_TRUE(eof);
    ::close(fd);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/dev.sock"));
    EXPECT_TRUE(server->Stopped());
    EXPECT_LT(ConnectTo(dir_ + "/dev.sock"), 0);
}

TEST_F(VhidServerTest, StopEndsTheConnectionAndRemovesTheSocket) {
    azk_CDeviceModel model(16);
    auto server = Start(model);
    const int fd = Connect();
    server->Stop();
    Bytes message;
    bool eof = false;
    ASSERT_TRUE(ReceiveMessage(fd, message, eof, kWaitMs));
    EXPECT_TRUE(eof);
    ::close(fd);
    EXPECT_FALSE(std::filesystem::exists(dir_ + "/dev.sock"));
    // The model is detached: what it sends now goes nowhere.
    EXPECT_TRUE(model.SendEvent(1, 2));
}

TEST_F(VhidServerTest, LiveSocketIsNeverReplacedButAStaleOneIs) {
    azk_CDeviceModel model(16), rival(16);
    auto server = Start(model);
    azk_SVhidOptions options;
    options.directory = dir_;
    options.name = "dev.sock";
    azk_CVhidServer second(rival, options);
    std::string error;
    EXPECT_FALSE(second.Start(error));
    EXPECT_NE(error.find("in use"), std::string::npos) << error;
    const int stillServed = Connect();  // the first still serves
    EXPECT_GE(stillServed, 0);
    ::close(stillServed);

    // A server that does not accept, its listen backlog full: in use too,
    // told at once (a blocking connect would wait for it for good).
    {
        azk_CFakeServer stuck(dir_ + "/stuck.sock", nullptr, /*backlog=*/0, /*acceptConnections=*/false);
        ASSERT_TRUE(stuck.Ok());
        std::vector<int> queued;
        for (int i = 0; i < 8; ++i) {
            const int fd = ConnectTo(dir_ + "/stuck.sock", /*nonBlocking=*/true);
            if (fd < 0) break;
            queued.push_back(fd);
        }
        ASSERT_FALSE(queued.empty());
        options.name = "stuck.sock";
        azk_CVhidServer behind(rival, options);
        auto started = std::async(std::launch::async, [&] { return behind.Start(error); });
        const bool ended = started.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
        EXPECT_TRUE(ended) << "the start waits for a server that never accepts";
        stuck.Stop();  // closing the listener ends a connect that still waits
        EXPECT_FALSE(started.get());
        if (ended) {
            EXPECT_NE(error.find("in use"), std::string::npos) << error;
        }
        for (int fd : queued) ::close(fd);
    }

    // A socket file left by a server that died.
    const std::string stale = dir_ + "/stale.sock";
    const int fd = ::socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un address;
    ASSERT_TRUE(MakeAddress(stale, address));
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
    options.name = "stale.sock";
    azk_CVhidServer third(rival, options);
    EXPECT_TRUE(third.Start(error)) << error;
    const int connection = ConnectTo(stale);
    EXPECT_GE(connection, 0);
    ::close(connection);
}

TEST_F(VhidServerTest, SocketNameMustEndInSock) {
    azk_CDeviceModel model(16);
    for (const char* name : {"dev", ".sock", "a/b.sock", "dev.socket"}) {
        azk_SVhidOptions options;
        options.directory = dir_;
        options.name = name;
        azk_CVhidServer server(model, options);
        std::string error;
        EXPECT_FALSE(server.Start(error)) << name;
    }
}

TEST_F(VhidServerTest, DirectoryIsCreatedPrivateAndUntrustedOnesAreRefused) {
    struct stat st {};
    ASSERT_EQ(::lstat(dir_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    std::string error;
    EXPECT_TRUE(PrepareVhidDirectory(dir_, error)) << error;  // an existing good one

    const std::string link = root_.Path() + "/link";
    ASSERT_EQ(::symlink(dir_.c_str(), link.c_str()), 0);
    EXPECT_FALSE(PrepareVhidDirectory(link, error));

    const std::string open = root_.Path() + "/open";
    ASSERT_EQ(::mkdir(open.c_str(), 0700), 0);
    ASSERT_EQ(::chmod(open.c_str(), 0770), 0);
    EXPECT_FALSE(PrepareVhidDirectory(open, error));

    if (::getuid() == 0) {
        const std::string other = root_.Path() + "/other";
        ASSERT_EQ(::mkdir(other.c_str(), 0700), 0);
        ASSERT_EQ(::chown(other.c_str(), 65534, 65534), 0);
        EXPECT_FALSE(PrepareVhidDirectory(other, error));
    }
    EXPECT_FALSE(PrepareVhidDirectory(root_.Path() + "/missing/azk-vhid", error));
}

}  // namespace
}  // namespace azk::test

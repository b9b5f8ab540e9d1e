// VhidClientTest.cpp - the Linux HID layer as a vhid client: which
// directories and servers it believes, how it takes the hello, and how
// reports, unplugs, wakes and stuck writes behave on a connection. The
// emulator's vhid server plays the device where a correct one is wanted,
// fake servers written with sockets where a broken one is.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <ostream>

#include "Timing.h"
#include "VhidTestSupport.h"
#include "emulator/DeviceDescriptor.h"
#include "emulator/DeviceModel.h"
#include "emulator/VhidServer.h"
#include "support/ByteOrder.h"
#include "transport/platform/linux/LinuxPlatform.h"

namespace azk::test {
namespace {

using linuxhid::LinuxHidPlatform;

constexpr uid_t kOtherUid = 65534;

// A key-lock get request in one output report of `length` data bytes.
Bytes GetRequestReport(size_t length) {
    Bytes report(length, 0);
    const uint8_t request[] = {0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::copy(std::begin(request), std::end(request), report.begin());
    return report;
}

Bytes ValidDescriptor() { return BuildReportDescriptor(azk_SEmulatedInterface{16, true}); }

Bytes Hello(const char* magic, uint16_t version, uint16_t declaredLength, const Bytes& descriptor) {
    Bytes hello(14 + descriptor.size(), 0);
    std::memcpy(hello.data(), magic, 4);
    Write16(&hello[4], version);
    Write16(&hello[6], 0x1209);
    Write16(&hello[8], 0x0001);
    Write16(&hello[10], 0x0100);
    Write16(&hello[12], declaredLength);
    std::copy(descriptor.begin(), descriptor.end(), hello.begin() + 14);
    return hello;
}

double ThreadCpuSeconds() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

class VhidClientTest : public ::testing::Test {
protected:
    VhidClientTest()
        : runtimeDir_(root_.Path()),
          env_("XDG_RUNTIME_DIR", runtimeDir_),
          vhidDir_(runtimeDir_ + "/azk-vhid"),
          // An empty sysfs tree: no kernel hidraw node takes part.
          platform_(runtimeDir_ + "/sys", runtimeDir_ + "/dev") {}

    void SetUp() override {
        ASSERT_FALSE(root_.Path().empty());
        ASSERT_EQ(::mkdir((runtimeDir_ + "/sys").c_str(), 0700), 0);
        ASSERT_EQ(::mkdir(vhidDir_.c_str(), 0700), 0);
    }

    std::string SocketPath(const std::string& name) const { return vhidDir_ + "/" + name; }
    static std::string Interface(const std::string& socketPath) { return "vhid:" + socketPath; }

    std::unique_ptr<azk_CVhidServer> Publish(azk_CDeviceModel& model, const std::string& name, bool numbered = true,
                                            azk_EVhidMode mode = azk_EVhidMode::Serve) {
        azk_SVhidOptions options;
        options.directory = vhidDir_;
        options.name = name;
        options.vendorId = 0x1209;
        options.productId = 0x0001;
        options.numbered = numbered;
        options.mode = mode;
        auto server = std::make_unique<azk_CVhidServer>(model, options);
        std::string error;
        EXPECT_TRUE(server->Start(error)) << error;
        return server;
    }

    std::vector<std::string> VhidInterfaces() {
        std::vector<std::string> vhid;
        for (const std::string& path : platform_.ListInterfaces()) {
            if (path.rfind("vhid:", 0) == 0) vhid.push_back(path);
        }
        return vhid;
    }

    azk_CTempDir root_;
    std::string runtimeDir_;
    azk_CScopedEnv env_;
    std::string vhidDir_;
    LinuxHidPlatform platform_;
};

// ------------------------------------------------------------------ listing

TEST_F(VhidClientTest, SocketsAreListedByFileNameAndOtherEntriesIgnored) {
    azk_CDeviceModel a(16), b(16), upper(16);
    auto sb = Publish(b, "b.sock");
    auto sa = Publish(a, "a.sock");
    auto su = Publish(upper, "A.sock");
    // Not devices: a regular file and a directory named like sockets, and a
    // socket without the suffix.
    std::FILE* file = std::fopen(SocketPath("file.sock").c_str(), "w");
    ASSERT_NE(file, nullptr);
    std::fclose(file);
    ASSERT_EQ(::mkdir(SocketPath("dir.sock").c_str(), 0700), 0);
    azk_CFakeServer plain(SocketPath("plain.socket"), [](int, int) {});
    ASSERT_TRUE(plain.Ok());

    EXPECT_EQ(VhidInterfaces(), (std::vector<std::string>{Interface(SocketPath("A.sock")),
                                                          Interface(SocketPath("a.sock")),
                                                          Interface(SocketPath("b.sock"))}));
}

enum class DirectoryFault { None, Symlink, GroupWritable, OtherWritable, OtherOwner };

class VhidDirectoryTest : public VhidClientTest, public ::testing::WithParamInterface<DirectoryFault> {};

TEST_P(VhidDirectoryTest, OnlyAPrivateDirectoryOfThisUserIsBelieved) {
    const DirectoryFault fault = GetParam();
    if (fault == DirectoryFault::OtherOwner && ::getuid() != 0) GTEST_SKIP() << "needs root to chown";

    // The server lives in a good directory; the fault is then applied to
    // the directory the client looks at.
    std::string serveDir = vhidDir_;
    if (fault == DirectoryFault::Symlink) {
        serveDir = runtimeDir_ + "/real";
        ASSERT_EQ(::mkdir(serveDir.c_str(), 0700), 0);
        ASSERT_EQ(::rmdir(vhidDir_.c_str()), 0);
        ASSERT_EQ(::symlink("real", vhidDir_.c_str()), 0);
    }
    azk_CDeviceModel model(16);
    azk_SVhidOptions options;
    options.directory = serveDir;
    options.name = "dev.sock";
    azk_CVhidServer server(model, options);
    std::string error;
    ASSERT_TRUE(server.Start(error)) << error;

    switch (fault) {
    case DirectoryFault::GroupWritable: ASSERT_EQ(::chmod(vhidDir_.c_str(), 0770), 0); break;
    case DirectoryFault::OtherWritable: ASSERT_EQ(::chmod(vhidDir_.c_str(), 0702), 0); break;
    case DirectoryFault::OtherOwner: ASSERT_EQ(::chown(vhidDir_.c_str(), kOtherUid, kOtherUid), 0); break;
    default: break;
    }

    if (fault == DirectoryFault::None) {
        ASSERT_EQ(VhidInterfaces().size(), 1u);
        EXPECT_NE(platform_.OpenInterface(VhidInterfaces()[0]), nullptr);
    } else {
        EXPECT_TRUE(VhidInterfaces().empty());
    }
    server.Stop();
}

INSTANTIATE_TEST_SUITE_P(Faults, VhidDirectoryTest,
                         ::testing::Values(DirectoryFault::None, DirectoryFault::Symlink, DirectoryFault::GroupWritable,
                                           DirectoryFault::OtherWritable, DirectoryFault::OtherOwner));

TEST_F(VhidClientTest, DirectoryComesFromTheRuntimeDirectoryWhenAbsolute) {
    EXPECT_EQ(linuxhid::VhidDirectory(), vhidDir_);
    azk_CScopedEnv relative("XDG_RUNTIME_DIR", "relative/dir");
    EXPECT_EQ(linuxhid::VhidDirectory(), "/tmp/azk-vhid-" + std::to_string(::getuid()));
}

// ------------------------------------------------------------- the hello

TEST_F(VhidClientTest, ServerOfAnotherUserIsNotBelieved) {
    if (::getuid() != 0) GTEST_SKIP() << "needs root to listen as another user";
    // The credentials a client sees are those of the thread that called
    // listen(): this thread takes another effective uid for that call only
    // (the raw system call changes the calling thread alone).
    const std::string path = SocketPath("other.sock");
    const int listener = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address;
    ASSERT_TRUE(MakeAddress(path, address));
    ASSERT_EQ(::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    int listened = -1;
    std::thread([&] {
        if (::syscall(SYS_setresuid, -1, kOtherUid, -1) != 0) return;
        listened = ::listen(listener, 4);
        ::syscall(SYS_setresuid, -1, 0, -1);
    }).join();
    ASSERT_EQ(listened, 0);

    // It even sends a good hello: the connection is refused on its uid alone.
    std::thread hello([&] {
        const int connection = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) return;
        const Bytes message = Hello("VHID", 1, static_cast<uint16_t>(ValidDescriptor().size()), ValidDescriptor());
        ::send(connection, message.data(), message.size(), MSG_NOSIGNAL);
        WaitReadable(connection, 5000);  // until the client hangs up
        ::close(connection);
    });
    EXPECT_EQ(platform_.OpenInterface(Interface(path)), nullptr);
    ::shutdown(listener, SHUT_RDWR);
    // Release the accept when the client never connected.
    const int poke = ConnectTo(path);
    if (poke >= 0) ::close(poke);
    hello.join();
    ::close(listener);
}

TEST_F(VhidClientTest, HelloArrivingWithinTheWaitIsTaken) {
    azk_CFakeServer server(SocketPath("late.sock"), [](int connection, int stopFd) {
        WaitReadable(stopFd, 200);
        const Bytes hello = Hello("VHID", 1, static_cast<uint16_t>(ValidDescriptor().size()), ValidDescriptor());
        ::send(connection, hello.data(), hello.size(), MSG_NOSIGNAL);
        WaitReadable(connection, 10000);
    });
    ASSERT_TRUE(server.Ok());
    auto iface = platform_.OpenInterface(Interface(SocketPath("late.sock")));
    ASSERT_NE(iface, nullptr);
    EXPECT_EQ(iface->Attributes().vendorId, 0x1209);
    EXPECT_EQ(iface->Attributes().productId, 0x0001);
    EXPECT_EQ(iface->Attributes().versionNumber, 0x0100);
    EXPECT_EQ(iface->Capabilities().Of(HidReportType::Input).byteLength, 17);
    EXPECT_EQ(iface->Capabilities().Of(HidReportType::Output).byteLength, 17);
}

TEST_F(VhidClientTest, ServerThatNeverSendsAHelloIsSkippedAfterTheWait) {
    // The hello wait is 1000 ms: as it is, and with the time-outs divided by 4.
    azk_CFakeServer server(SocketPath("mute.sock"), [](int, int stopFd) { WaitReadable(stopFd, 30000); });
    ASSERT_TRUE(server.Ok());
    for (uint32_t divisor : {1u, 4u}) {
        SCOPED_TRACE(divisor);
        const azk_CShortTimeouts shorter(divisor);
        const azk_CStopwatch watch;
        auto result = std::async(std::launch::async,
                                 [&] { return platform_.OpenInterface(Interface(SocketPath("mute.sock"))); });
        ASSERT_EQ(result.wait_for(std::chrono::seconds(30)), std::future_status::ready);  // guards a hang
        EXPECT_TRUE(GaveUpAfter(watch.Ms(), 1000.0 / divisor));
        EXPECT_EQ(result.get(), nullptr);
    }
}

TEST_F(VhidClientTest, ServerWithAFullBacklogThatNeverAcceptsIsSkipped) {
    azk_CFakeServer server(SocketPath("stuck.sock"), nullptr, /*backlog=*/0, /*acceptConnections=*/false);
    ASSERT_TRUE(server.Ok());
    // Fill the backlog; a blocking connect would now wait for an accept.
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        const int fd = ConnectTo(SocketPath("stuck.sock"), /*nonBlocking=*/true);
        if (fd < 0) break;
        queued.push_back(fd);
    }
    ASSERT_FALSE(queued.empty());
    // Connecting shares the hello's 1000 ms, here divided by 4.
    const azk_CShortTimeouts shorter(4);
    const azk_CStopwatch watch;
    auto result = std::async(std::launch::async,
                             [&] { return platform_.OpenInterface(Interface(SocketPath("stuck.sock"))); });
    const bool ended = result.wait_for(std::chrono::seconds(30)) == std::future_status::ready;
    const double elapsedMs = watch.Ms();
    EXPECT_TRUE(ended) << "the open waits for a server that never accepts";
    server.Stop();  // closing the listener ends a connect that still waits
    EXPECT_EQ(result.get(), nullptr);
    if (ended) {
        EXPECT_TRUE(GaveUpAfter(elapsedMs, 1000.0 / 4));
    }
    for (int fd : queued) ::close(fd);
}

TEST_F(VhidClientTest, DeviceHeldByAnotherProgramOrRefusingIsSkipped) {
    azk_CDeviceModel held(16), dead(16);
    auto heldServer = Publish(held, "held.sock", true, azk_EVhidMode::Held);
    auto deadServer = Publish(dead, "dead.sock", true, azk_EVhidMode::Refuse);
    ASSERT_EQ(VhidInterfaces().size(), 2u);
    EXPECT_EQ(platform_.OpenInterface(Interface(SocketPath("held.sock"))), nullptr);
    EXPECT_EQ(heldServer->ConnectionCount(), 1u);
    EXPECT_EQ(platform_.OpenInterface(Interface(SocketPath("dead.sock"))), nullptr);
}

struct MalformedHello {
    const char* name;
    Bytes message;
    bool opens;
};

Bytes Truncated(Bytes bytes, size_t size) {
    bytes.resize(size);
    return bytes;
}

std::vector<MalformedHello> MalformedHellos() {
    const Bytes d = ValidDescriptor();
    const auto n = static_cast<uint16_t>(d.size());
    Bytes garbage = {0xC0, 0xC0, 0xC0};  // End Collection without a collection
    return {
        {"WellFormed", Hello("VHID", 1, n, d), true},
        {"Empty", Bytes{}, false},
        {"ShortHeader", Truncated(Hello("VHID", 1, n, d), 10), false},
        {"BadMagic", Hello("VHIX", 1, n, d), false},
        {"Version0", Hello("VHID", 0, n, d), false},
        {"Version2", Hello("VHID", 2, n, d), false},
        {"LengthSaysMore", Hello("VHID", 1, static_cast<uint16_t>(n + 1), d), false},
        {"LengthSaysLess", Hello("VHID", 1, static_cast<uint16_t>(n - 1), d), false},
        {"NoDescriptor", Hello("VHID", 1, 0, Bytes{}), false},
        {"DescriptorAbove4096", Hello("VHID", 1, 4097, Bytes(4097, 0x00)), false},
        {"DescriptorRefused", Hello("VHID", 1, 3, garbage), false},
    };
}

void PrintTo(const MalformedHello& h, std::ostream* os) { *os << h.name; }

class VhidMalformedHelloTest : public VhidClientTest, public ::testing::WithParamInterface<MalformedHello> {};

TEST_P(VhidMalformedHelloTest, OnlyAWellFormedHelloOpens) {
    const Bytes message = GetParam().message;
    azk_CFakeServer server(SocketPath("dev.sock"), [message](int connection, int stopFd) {
        ::send(connection, message.data(), message.size(), MSG_NOSIGNAL);
        pollfd fds[2] = {{connection, POLLIN, 0}, {stopFd, POLLIN, 0}};
        ::poll(fds, 2, 30000);
    });
    ASSERT_TRUE(server.Ok());
    auto iface = platform_.OpenInterface(Interface(SocketPath("dev.sock")));
    EXPECT_EQ(iface != nullptr, GetParam().opens);
    iface.reset();
    // A server that sent something and stays connected holds nothing for
    // another program: its interface cannot be opened.
    const HidOpenStatus status = platform_.DescribeInterface(Interface(SocketPath("dev.sock"))).status;
    EXPECT_EQ(status, GetParam().opens ? HidOpenStatus::Opened : HidOpenStatus::Failed);
}

INSTANTIATE_TEST_SUITE_P(Hellos, VhidMalformedHelloTest, ::testing::ValuesIn(MalformedHellos()),
                         [](const ::testing::TestParamInfo<MalformedHello>& p) { return p.param.name; });

TEST_F(VhidClientTest, ServerThatClosesBeforeTheHelloIsSkipped) {
    azk_CFakeServer server(SocketPath("gone.sock"), [](int, int) {});  // accepted, then closed
    ASSERT_TRUE(server.Ok());
    EXPECT_EQ(platform_.OpenInterface(Interface(SocketPath("gone.sock"))), nullptr);
    EXPECT_EQ(platform_.DescribeInterface(Interface(SocketPath("gone.sock"))).status, HidOpenStatus::Busy);
}

// ------------------------------------------------------------ one connection

struct ReportForm {
    size_t reportLength;
    bool numbered;
};

void PrintTo(const ReportForm& f, std::ostream* os) {
    *os << f.reportLength << (f.numbered ? " numbered" : " unnumbered");
}

class VhidReportFormTest : public VhidClientTest, public ::testing::WithParamInterface<ReportForm> {};

TEST_P(VhidReportFormTest, HostSeesTheReportIdByteFirstEitherWay) {
    const ReportForm form = GetParam();
    azk_CDeviceModel model(form.reportLength);
    auto server = Publish(model, "dev.sock", form.numbered);
    auto iface = platform_.OpenInterface(Interface(SocketPath("dev.sock")));
    ASSERT_NE(iface, nullptr);
    ASSERT_TRUE(iface->CreateIoEvents());
    const size_t byteLength = form.reportLength + 1;
    ASSERT_EQ(iface->Capabilities().Of(HidReportType::Input).byteLength, byteLength);
    ASSERT_EQ(iface->Capabilities().Of(HidReportType::Output).byteLength, byteLength);
    const auto& outputValues = iface->Capabilities().Of(HidReportType::Output).values;
    ASSERT_FALSE(outputValues.empty());
    const uint8_t outputId = outputValues.front().reportId;
    EXPECT_EQ(outputId, form.numbered ? 2 : 0);

    Bytes report = GetRequestReport(form.reportLength);
    report.insert(report.begin(), outputId);
    ASSERT_EQ(iface->Write(report.data(), report.size(), 5000), HidIoResult::Ok);

    Bytes input(byteLength, 0xCC);
    ASSERT_EQ(iface->Read(input.data(), input.size(), 10000), HidIoResult::Ok);
    const Bytes answer = {static_cast<uint8_t>(form.numbered ? 1 : 0), 0x83, 0x03, 0x36, 0x00, 0x01,
                          0x00, 0x00, 0x02, 0x00, 0x7F, 0x00};
    EXPECT_EQ(Bytes(input.begin(), input.begin() + static_cast<std::ptrdiff_t>(answer.size())), answer);
    EXPECT_EQ(Bytes(input.begin() + static_cast<std::ptrdiff_t>(answer.size()), input.end()),
              Bytes(byteLength - answer.size(), 0));
    EXPECT_EQ(model.RequestCount(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Forms, VhidReportFormTest,
                         ::testing::Values(ReportForm{16, true}, ReportForm{16, false}, ReportForm{64, true},
                                           ReportForm{64, false}),
                         [](const ::testing::TestParamInfo<ReportForm>& p) {
                             return std::to_string(p.param.reportLength) +
                                    (p.param.numbered ? "Numbered" : "Unnumbered");
                         });

TEST_F(VhidClientTest, UnplugFailsAPendingReadAndRemovesTheDevice) {
    azk_CDeviceModel model(16);
    auto server = Publish(model, "dev.sock");
    auto iface = platform_.OpenInterface(Interface(SocketPath("dev.sock")));
    ASSERT_NE(iface, nullptr);
    ASSERT_TRUE(iface->CreateIoEvents());

    std::atomic<int> result{-1};
    std::atomic<pid_t> readerId{0};
    std::thread reader([&] {
        readerId = ThreadId();
        Bytes input(17);
        result = static_cast<int>(iface->Read(input.data(), input.size(), -1));
    });
    // The read waits on the connection when the device goes.
    EXPECT_TRUE(WaitUntil([&] { return readerId.load() != 0; }));
    EXPECT_TRUE(WaitUntilSleeping(readerId.load()));
    model.Unplug();
    reader.join();
    EXPECT_EQ(result.load(), static_cast<int>(HidIoResult::Failed));
    EXPECT_TRUE(VhidInterfaces().empty());
    EXPECT_FALSE(std::filesystem::exists(SocketPath("dev.sock")));
    Bytes report(17, 0);
    report[0] = 2;
    EXPECT_EQ(iface->Write(report.data(), report.size(), 1000), HidIoResult::Failed);
}

TEST_F(VhidClientTest, WakeEndsABlockedReadWithoutSpendingCpu) {
    azk_CDeviceModel model(16);
    auto server = Publish(model, "dev.sock");
    auto iface = platform_.OpenInterface(Interface(SocketPath("dev.sock")));
    ASSERT_NE(iface, nullptr);
    ASSERT_TRUE(iface->CreateIoEvents());

    HidIoResult timed = HidIoResult::Ok;
    HidIoResult woken = HidIoResult::Ok;
    HidIoResult after = HidIoResult::Ok;
    double cpuSeconds = 0;
    std::atomic<bool> waiting{false};
    std::thread reader([&] {
        Bytes input(17);
        const double start = ThreadCpuSeconds();
        timed = iface->Read(input.data(), input.size(), 300);  // nothing comes
        waiting = true;
        woken = iface->Read(input.data(), input.size(), -1);
        cpuSeconds = ThreadCpuSeconds() - start;
        after = iface->Read(input.data(), input.size(), -1);  // the wake is not lost
    });
    while (!waiting) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    iface->WakeRead();
    reader.join();
    EXPECT_EQ(timed, HidIoResult::TimedOut);
    EXPECT_EQ(woken, HidIoResult::Failed);
    EXPECT_EQ(after, HidIoResult::Failed);
    // About 0.6 s of waiting: a reader that polls in a loop burns it all.
    EXPECT_LT(cpuSeconds, 0.1);
}

// A server that stops reading: once the socket's buffer is full a write
// waits its time-out and gives up having written nothing, and so does the
// next; once the server reads again writing goes on, and the server has
// every report that was written, once and in order, and none that timed out.
TEST_F(VhidClientTest, WriteToAServerThatStopsReadingTimesOutWritingNothing) {
    const int drain = ::eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(drain, 0);
    std::mutex mutex;
    std::vector<uint32_t> received;
    azk_CFakeServer server(SocketPath("deaf.sock"), [&](int connection, int stopFd) {
        const Bytes hello = Hello("VHID", 1, static_cast<uint16_t>(ValidDescriptor().size()), ValidDescriptor());
        ::send(connection, hello.data(), hello.size(), MSG_NOSIGNAL);
        pollfd wait[2] = {{drain, POLLIN, 0}, {stopFd, POLLIN, 0}};
        ::poll(wait, 2, 60000);
        for (;;) {
            pollfd fds[2] = {{connection, POLLIN, 0}, {stopFd, POLLIN, 0}};
            if (::poll(fds, 2, 60000) <= 0 || fds[1].revents != 0) return;
            Bytes message(64);
            const ssize_t n = ::recv(connection, message.data(), message.size(), 0);
            if (n <= 0) return;
            std::lock_guard<std::mutex> lock(mutex);
            received.push_back(Read32(&message[1]));
        }
    });
    ASSERT_TRUE(server.Ok());
    auto iface = platform_.OpenInterface(Interface(SocketPath("deaf.sock")));
    ASSERT_NE(iface, nullptr);
    ASSERT_TRUE(iface->CreateIoEvents());

    auto report = [](uint32_t sequence) {
        Bytes r(17, 0);
        r[0] = 2;
        Write32(&r[1], sequence);
        return r;
    };
    std::vector<uint32_t> written;
    uint32_t sequence = 0;
    HidIoResult result = HidIoResult::Ok;
    while (result == HidIoResult::Ok && sequence < 100000) {
        result = iface->Write(report(sequence).data(), 17, 50);
        if (result == HidIoResult::Ok) written.push_back(sequence);
        ++sequence;
    }
    ASSERT_EQ(result, HidIoResult::TimedOut);
    EXPECT_EQ(iface->Write(report(sequence++).data(), 17, 50), HidIoResult::TimedOut);

    const uint64_t one = 1;
    ASSERT_EQ(::write(drain, &one, sizeof one), 8);
    ASSERT_EQ(iface->Write(report(sequence).data(), 17, 5000), HidIoResult::Ok);
    written.push_back(sequence);
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (received.size() >= written.size()) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_EQ(received, written);
    }
    server.Stop();  // the connection ends: writes fail from now on
    result = HidIoResult::Ok;
    for (int i = 0; i < 500 && result != HidIoResult::Failed; ++i) result = iface->Write(report(0).data(), 17, 50);
    EXPECT_EQ(result, HidIoResult::Failed);
    ::close(drain);
}

TEST_F(VhidClientTest, WriteBeforeTheIoEventsFails) {
    azk_CDeviceModel model(16);
    auto server = Publish(model, "dev.sock");
    auto iface = platform_.OpenInterface(Interface(SocketPath("dev.sock")));
    ASSERT_NE(iface, nullptr);
    Bytes report = GetRequestReport(16);
    report.insert(report.begin(), 2);
    EXPECT_EQ(iface->Write(report.data(), report.size(), 500), HidIoResult::Failed);
    ASSERT_TRUE(iface->CreateIoEvents());
    EXPECT_EQ(iface->Write(report.data(), report.size(), 500), HidIoResult::Ok);
}

// What a server sends that is no input report of the device: the client
// drops it and goes on reading; only the end of the connection fails a read.
struct StrayMessage {
    const char* name;
    bool numbered;
    Bytes message;
};

std::vector<StrayMessage> StrayMessages() {
    Bytes shortReport = {0x01, 0x83, 0x03};  // zero-filled it would be a response of zeros
    Bytes foreign(17, 0);
    foreign[0] = 0x07;  // an ID the descriptor does not declare
    foreign[1] = 0x83;
    Bytes output(17, 0);
    output[0] = 0x02;  // the output report's ID: no input report has it
    output[1] = 0x83;
    return {
        {"EmptyNumbered", true, Bytes{}},
        {"EmptyUnnumbered", false, Bytes{}},
        {"ShortNumbered", true, shortReport},
        {"ShortUnnumbered", false, Bytes(shortReport.begin() + 1, shortReport.end())},
        {"LongNumbered", true, Bytes(18, 0x01)},
        {"UnnumberedWithAnIdByte", false, Bytes(17, 0x00)},
        {"ForeignId", true, foreign},
        {"OutputReportId", true, output},
        {"Oversized", true, Bytes(5000, 0x01)},
    };
}

void PrintTo(const StrayMessage& m, std::ostream* os) { *os << m.name; }

class VhidStrayMessageTest : public VhidClientTest, public ::testing::WithParamInterface<StrayMessage> {};

TEST_P(VhidStrayMessageTest, IsDroppedAndTheNextReportRead) {
    const StrayMessage stray = GetParam();
    const Bytes descriptor = BuildReportDescriptor(azk_SEmulatedInterface{16, stray.numbered});
    Bytes good(stray.numbered ? 17 : 16, 0x5A);
    if (stray.numbered) good[0] = 0x01;
    azk_CFakeServer server(SocketPath("dev.sock"), [&](int connection, int stopFd) {
        const Bytes hello = Hello("VHID", 1, static_cast<uint16_t>(descriptor.size()), descriptor);
        ::send(connection, hello.data(), hello.size(), MSG_NOSIGNAL);
        for (int i = 0; i < 3; ++i) ::send(connection, stray.message.data(), stray.message.size(), MSG_NOSIGNAL);
        ::send(connection, good.data(), good.size(), MSG_NOSIGNAL);
        ::send(connection, stray.message.data(), stray.message.size(), MSG_NOSIGNAL);
        WaitReadable(stopFd, 200);
        // Then the connection ends.
    });
    ASSERT_TRUE(server.Ok());
    auto iface = platform_.OpenInterface(Interface(SocketPath("dev.sock")));
    ASSERT_NE(iface, nullptr);
    ASSERT_TRUE(iface->CreateIoEvents());

    Bytes input(17, 0xCC);
    ASSERT_EQ(iface->Read(input.data(), input.size(), 10000), HidIoResult::Ok);
    Bytes expected(17, 0x5A);
    expected[0] = stray.numbered ? 0x01 : 0x00;
    EXPECT_EQ(input, expected);
    // The stray after it is dropped too; the closed connection fails the read.
    EXPECT_EQ(iface->Read(input.data(), input.size(), 10000), HidIoResult::Failed);
}

INSTANTIATE_TEST_SUITE_P(Messages, VhidStrayMessageTest, ::testing::ValuesIn(StrayMessages()),
                         [](const ::testing::TestParamInfo<StrayMessage>& p) { return p.param.name; });

}  // namespace
}  // namespace azk::test

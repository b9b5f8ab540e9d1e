// The Win32 platform's overlapped transfers on a real overlapped handle: the
// client end of a message-mode named pipe without buffer, whose server end
// plays the device. A write stays pending until the device reads it, and a
// read until the device sends, so every path (completion, timed wait, time-out
// with cancellation, wake) can be reached.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "transport/platform/win32/OverlappedIo.h"

namespace azk::win32hid {
namespace {

constexpr size_t kReportBytes = 17;
constexpr DWORD kDeviceGiveUpMs = 10000;

std::vector<uint8_t> Report(uint8_t first) {
    std::vector<uint8_t> report(kReportBytes);
    for (size_t i = 0; i < report.size(); ++i) report[i] = static_cast<uint8_t>(first + i);
    return report;
}

class OverlappedIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        static std::atomic<int> serial{0};
        const std::wstring name = L"\\\\.\\pipe\\azk_overlapped_" +
                                  std::to_wstring(::GetCurrentProcessId()) + L"_" +
                                  std::to_wstring(serial++);
        device_ = azk_CWin32Handle(::CreateNamedPipeW(
            name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
            PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0, 0, nullptr));
        ASSERT_TRUE(device_.Valid()) << ::GetLastError();
        host_ = azk_CWin32Handle(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        ASSERT_TRUE(host_.Valid()) << ::GetLastError();
        io_ = std::make_unique<azk_COverlappedIo>(host_.Get());
        ASSERT_TRUE(io_->CreateIoEvents());
    }

    void TearDown() override {
        io_.reset();  // before the handle it works on
    }

    // The device side, blocking: one message each.
    bool DeviceSend(std::vector<uint8_t> report) {
        return DeviceTransfer(true, report.data(), report.size()) == report.size();
    }
    std::vector<uint8_t> DeviceReceive() {
        std::vector<uint8_t> buffer(256);
        const DWORD n = DeviceTransfer(false, buffer.data(), buffer.size());
        buffer.resize(n);
        return buffer;
    }

    azk_CWin32Handle device_;
    azk_CWin32Handle host_;
    std::unique_ptr<azk_COverlappedIo> io_;

private:
    DWORD DeviceTransfer(bool write, uint8_t* data, size_t length) {
        azk_CWin32Handle event(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov{};
        ov.hEvent = event.Get();
        const DWORD size = static_cast<DWORD>(length);
        const BOOL started = write ? ::WriteFile(device_.Get(), data, size, nullptr, &ov)
                                   : ::ReadFile(device_.Get(), data, size, nullptr, &ov);
        if (!started && ::GetLastError() != ERROR_IO_PENDING) return 0;
        // The device gives up after a while, so that a host that never
        // takes or sends its message fails the test instead of hanging it.
        if (::WaitForSingleObject(event.Get(), kDeviceGiveUpMs) != WAIT_OBJECT_0) {
            ::CancelIo(device_.Get());
        }
        DWORD transferred = 0;
        if (!::GetOverlappedResult(device_.Get(), &ov, &transferred, TRUE)) return 0;
        return transferred;
    }
};

// Milliseconds since `start`, a GetTickCount reading.
int32_t MsSince(DWORD start) { return static_cast<int32_t>(::GetTickCount() - start); }

// The tick counter's granularity: an elapsed time measured with it may fall
// this much short of the real one.
constexpr int32_t kTickSlackMs = 20;

// A little later, on another thread, so that the host's transfer is
// already pending when the device acts (it would pass either way).
void Later() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

TEST_F(OverlappedIoTest, ReadDeliversTheMessageWithOrWithoutTimeOut) {
    for (const int32_t timeout : {-1, 10000}) {
        const std::vector<uint8_t> sent = Report(static_cast<uint8_t>(timeout & 0x7F));
        std::thread device([&] {
            Later();
            EXPECT_TRUE(DeviceSend(sent));
        });
        std::vector<uint8_t> got(kReportBytes);
        EXPECT_EQ(io_->Read(got.data(), got.size(), timeout), HidIoResult::Ok) << timeout;
        device.join();
        EXPECT_EQ(got, sent) << timeout;
    }
}

TEST_F(OverlappedIoTest, AShortReportIsZeroFilledAndAnEmptyOneIsNoReport) {
    // One buffer for every read, as the device record keeps it: a shorter
    // report must not show the tail of the one before it.
    std::vector<uint8_t> got(kReportBytes);
    const std::vector<uint8_t> full = Report(0x10);
    const std::vector<uint8_t> shortReport = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    std::vector<uint8_t> expected(kReportBytes, 0);
    std::copy(shortReport.begin(), shortReport.end(), expected.begin());
    for (const int32_t timeout : {-1, 10000}) {
        std::thread device([&] {
            Later();
            EXPECT_TRUE(DeviceSend(full));
            EXPECT_TRUE(DeviceSend(shortReport));
            EXPECT_TRUE(DeviceSend({}));
        });
        EXPECT_EQ(io_->Read(got.data(), got.size(), timeout), HidIoResult::Ok) << timeout;
        EXPECT_EQ(got, full) << timeout;
        EXPECT_EQ(io_->Read(got.data(), got.size(), timeout), HidIoResult::Ok) << timeout;
        EXPECT_EQ(got, expected) << timeout;
        EXPECT_EQ(io_->Read(got.data(), got.size(), timeout), HidIoResult::Failed) << timeout;
        device.join();
    }
}

TEST_F(OverlappedIoTest, TimedOutReadIsCancelledAndTheNextReadGetsTheNextMessage) {
    std::vector<uint8_t> stale(kReportBytes, 0xEE);
    for (const int32_t timeout : {0, -5, 30, 300}) {
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(io_->Read(stale.data(), stale.size(), timeout), HidIoResult::TimedOut) << timeout;
        // The whole time-out is waited for, not cut short.
        EXPECT_GE(MsSince(start), timeout - kTickSlackMs) << timeout;
    }
    // Had a timed-out read stayed pending, it would take this message into
    // its own buffer instead of the next read's.
    const std::vector<uint8_t> sent = Report(0x40);
    std::thread device([&] { EXPECT_TRUE(DeviceSend(sent)); });
    std::vector<uint8_t> got(kReportBytes);
    EXPECT_EQ(io_->Read(got.data(), got.size(), -1), HidIoResult::Ok);
    device.join();
    EXPECT_EQ(got, sent);
    EXPECT_EQ(stale, std::vector<uint8_t>(kReportBytes, 0xEE));
}

TEST_F(OverlappedIoTest, WakeEndsABlockedReadWithOrWithoutTimeOut) {
    for (const int32_t timeout : {-1, 600000}) {
        azk_COverlappedIo io(host_.Get());  // a reader not woken yet
        ASSERT_TRUE(io.CreateIoEvents());
        std::vector<uint8_t> got(kReportBytes);
        HidIoResult result = HidIoResult::Ok;
        std::thread reader([&] { result = io.Read(got.data(), got.size(), timeout); });
        Later();
        io.WakeRead();
        reader.join();
        EXPECT_EQ(result, HidIoResult::Failed) << timeout;
    }
    // The wakes cancelled only their reads: the handle still works.
    const std::vector<uint8_t> sent = Report(0x70);
    std::thread device([&] { EXPECT_TRUE(DeviceSend(sent)); });
    std::vector<uint8_t> got(kReportBytes);
    EXPECT_EQ(io_->Read(got.data(), got.size(), -1), HidIoResult::Ok);
    device.join();
    EXPECT_EQ(got, sent);
}

// The wake lands after the read looked at the flag and before its transfer
// exists, so the wake's cancel finds nothing: only the look the read takes
// once its transfer is pending can end it. Were that look missing, the read
// would wait for a message; the device sends one after a while so that the
// test ends, and the read's success shows the wake was lost.
TEST_F(OverlappedIoTest, WakeWhileTheReadIsBeingStartedEndsTheRead) {
    for (const int32_t timeout : {-1, 600000}) {
        azk_COverlappedIo io(host_.Get());
        ASSERT_TRUE(io.CreateIoEvents());
        io.SetReadStartingHook([](void* self) { static_cast<azk_COverlappedIo*>(self)->WakeRead(); },
                               &io);
        azk_CWin32Handle done(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::vector<uint8_t> got(kReportBytes);
        HidIoResult result = HidIoResult::Ok;
        std::thread reader([&] {
            result = io.Read(got.data(), got.size(), timeout);
            ::SetEvent(done.Get());
        });
        const bool ended = ::WaitForSingleObject(done.Get(), kDeviceGiveUpMs) == WAIT_OBJECT_0;
        if (!ended) {
            EXPECT_TRUE(DeviceSend(Report(0x11)));
        }
        reader.join();
        EXPECT_TRUE(ended) << timeout << ": the read did not end on the wake";
        EXPECT_EQ(result, HidIoResult::Failed) << timeout;
    }
}

TEST_F(OverlappedIoTest, WakeBeforeTheReadIsNotLostAndEveryLaterReadFails) {
    io_->WakeRead();
    std::vector<uint8_t> got(kReportBytes);
    for (const int32_t timeout : {-1, 100, 0, -1}) {
        EXPECT_EQ(io_->Read(got.data(), got.size(), timeout), HidIoResult::Failed) << timeout;
    }
    // Writing is not affected.
    const std::vector<uint8_t> sent = Report(0x08);
    std::vector<uint8_t> received;
    std::thread device([&] { received = DeviceReceive(); });
    EXPECT_EQ(io_->Write(sent.data(), sent.size(), -1), HidIoResult::Ok);
    device.join();
    EXPECT_EQ(received, sent);
}

TEST_F(OverlappedIoTest, WriteCompletesWhenTheDeviceTakesIt) {
    for (const int32_t timeout : {-1, 10000}) {
        const std::vector<uint8_t> sent = Report(static_cast<uint8_t>(0x10 + (timeout & 0x3F)));
        std::vector<uint8_t> received;
        std::thread device([&] {
            Later();
            received = DeviceReceive();
        });
        EXPECT_EQ(io_->Write(sent.data(), sent.size(), timeout), HidIoResult::Ok) << timeout;
        device.join();
        EXPECT_EQ(received, sent) << timeout;
    }
}

TEST_F(OverlappedIoTest, TimedOutWriteIsCancelledAndNeverDelivered) {
    const std::vector<uint8_t> abandoned = Report(0x20);
    for (const int32_t timeout : {0, -3, 30, 500}) {
        const DWORD start = ::GetTickCount();
        EXPECT_EQ(io_->Write(abandoned.data(), abandoned.size(), timeout), HidIoResult::TimedOut)
            << timeout;
        EXPECT_GE(MsSince(start), timeout - kTickSlackMs) << timeout;
    }
    // The device's next read gets the next write, not an abandoned one.
    const std::vector<uint8_t> sent = Report(0x60);
    std::vector<uint8_t> received;
    std::thread device([&] { received = DeviceReceive(); });
    EXPECT_EQ(io_->Write(sent.data(), sent.size(), -1), HidIoResult::Ok);
    device.join();
    EXPECT_EQ(received, sent);
}

TEST_F(OverlappedIoTest, WriteTimeOutLeavesThePendingReadOfAnotherThreadAlone) {
    std::vector<uint8_t> got(kReportBytes);
    HidIoResult readResult = HidIoResult::Failed;
    std::thread reader([&] { readResult = io_->Read(got.data(), got.size(), -1); });
    Later();
    const std::vector<uint8_t> abandoned = Report(0x30);
    EXPECT_EQ(io_->Write(abandoned.data(), abandoned.size(), 30), HidIoResult::TimedOut);
    // The read is still pending and takes the device's message.
    const std::vector<uint8_t> sent = Report(0x50);
    EXPECT_TRUE(DeviceSend(sent));
    reader.join();
    EXPECT_EQ(readResult, HidIoResult::Ok);
    EXPECT_EQ(got, sent);
}

TEST_F(OverlappedIoTest, TransfersFailWhenTheDeviceIsGoneOrTheEventsAreMissing) {
    std::vector<uint8_t> buffer = Report(0);
    azk_COverlappedIo withoutEvents(host_.Get());
    EXPECT_EQ(withoutEvents.Read(buffer.data(), buffer.size(), -1), HidIoResult::Failed);
    EXPECT_EQ(withoutEvents.Write(buffer.data(), buffer.size(), -1), HidIoResult::Failed);

    std::thread reader([&] { EXPECT_EQ(io_->Read(buffer.data(), buffer.size(), -1), HidIoResult::Failed); });
    Later();
    device_.Reset();  // unplugged: the pending read ends with an error
    reader.join();
    EXPECT_EQ(io_->Read(buffer.data(), buffer.size(), -1), HidIoResult::Failed);
    EXPECT_EQ(io_->Write(buffer.data(), buffer.size(), 500), HidIoResult::Failed);
}

}  // namespace
}  // namespace azk::win32hid

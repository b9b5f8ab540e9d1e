// Framing over the sim bus: how requests are cut into reports, how the
// receiver joins responses, events and text messages, and how the session
// ends when the device goes away.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "SimTestSupport.h"
#include "transport/HidCommBase.h"

namespace azk::test {
namespace {

// Events seen by the event callback, in order.
struct EventLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::pair<int, int>> events;

    void Add(int event, int stat) {
        std::lock_guard<std::mutex> lock(mutex);
        events.emplace_back(event, stat);
        cv.notify_all();
    }
    std::vector<std::pair<int, int>> WaitFor(size_t count) {
        std::unique_lock<std::mutex> lock(mutex);
        cv.wait_for(lock, std::chrono::seconds(5), [&] { return events.size() >= count; });
        return events;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mutex);
        events.clear();
    }
};

EventLog g_events;
void RecordEvent(int event, int stat) { g_events.Add(event, stat); }

struct TextLog {
    std::mutex mutex;
    std::condition_variable cv;
    std::vector<std::tuple<int, std::string, int>> texts;  // channel, text up to NUL, L
};

int RecordText(void* context, int channel, const char* text, int length) {
    auto* log = static_cast<TextLog*>(context);
    std::lock_guard<std::mutex> lock(log->mutex);
    log->texts.emplace_back(channel, std::string(text), length);
    log->cv.notify_all();
    return 0;
}

class FramingTest : public SimBusTest {
protected:
    void Open(int variant) {
        g_events.Clear();
        device_ = AddSpeakerphone(variant);
        session_ = std::make_unique<azk_CHidCommBase>();
        ASSERT_TRUE(session_->Initialize(variant, RecordEvent));
        reportLength_ = variant == 2 ? 64 : 16;
    }
    void TearDown() override {
        session_.reset();
        SimBusTest::TearDown();
    }

    // Sends `size` request bytes 1, 2, 3, ... with a short time-out (nothing
    // answers) and returns the reports written, without their report ID.
    std::vector<Bytes> Segment(uint32_t size) {
        device_->ClearWrittenReports();
        std::vector<uint8_t> request(size);
        for (uint32_t i = 0; i < size; ++i) request[i] = static_cast<uint8_t>(i + 1);
        EXPECT_EQ(session_->SendAndWait(request.data(), size, 1), -7);
        std::vector<Bytes> reports;
        for (const Bytes& r : device_->WrittenReports()) reports.emplace_back(r.begin() + 1, r.end());
        return reports;
    }

    // Sends a get request in the background and returns its result once the
    // device has seen it and `inject` has delivered the input reports.
    template <typename Inject>
    int32_t Exchange(Inject inject, uint32_t timeoutMs = 5000) {
        device_->ClearWrittenReports();
        int32_t result = 1;
        std::thread sender([&] {
            const uint8_t request[8] = {0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
            result = session_->SendAndWait(request, 8, timeoutMs);
        });
        EXPECT_TRUE(device_->WaitForWrites(1, 5000));
        inject();
        sender.join();
        return result;
    }

    void Send(std::initializer_list<uint8_t> bytes) { device_->SendInput(BusReport(bytes, reportLength_)); }
    void Send(const Bytes& bytes) { device_->SendInput(BusReport(bytes, reportLength_)); }

    std::shared_ptr<sim::SimDevice> device_;
    std::unique_ptr<azk_CHidCommBase> session_;
    size_t reportLength_ = 16;
};

// Reports expected for a request of `size` bytes 1, 2, 3, ...: a marker and
// the count of request bytes each carries.
struct SegmentCase {
    int variant;
    uint32_t size;
    std::vector<std::pair<uint8_t, uint32_t>> reports;
};

TEST_F(FramingTest, RequestsAreCutIntoReports) {
    const std::vector<SegmentCase> cases = {
        {1, 8, {{0x80, 8}}},
        {1, 10, {{0x80, 10}}},
        {1, 15, {{0x80, 15}}},
        {1, 16, {{0x80, 15}, {0x82, 1}}},
        {1, 30, {{0x80, 15}, {0x82, 15}}},
        {1, 45, {{0x80, 15}, {0x81, 15}, {0x82, 15}}},
        {1, 46, {{0x80, 15}, {0x81, 15}, {0x81, 15}, {0x82, 1}}},
        {2, 63, {{0x80, 63}}},
        {2, 126, {{0x80, 63}, {0x82, 63}}},
        {2, 127, {{0x80, 63}, {0x81, 63}, {0x82, 1}}},
    };
    for (int variant : {1, 2}) {
        Open(variant);
        for (const SegmentCase& c : cases) {
            if (c.variant != variant) continue;
            SCOPED_TRACE("size " + std::to_string(c.size));
            const std::vector<Bytes> reports = Segment(c.size);
            ASSERT_EQ(reports.size(), c.reports.size());
            uint32_t next = 1;
            for (size_t i = 0; i < reports.size(); ++i) {
                ASSERT_EQ(reports[i].size(), reportLength_);
                EXPECT_EQ(reports[i][0], c.reports[i].first);
                Bytes expected{c.reports[i].first};
                for (uint32_t k = 0; k < c.reports[i].second; ++k) expected.push_back(static_cast<uint8_t>(next++));
                EXPECT_EQ(reports[i], Padded(expected, reportLength_)) << "report " << i;
            }
        }
        session_.reset();
        sim::SimBus::Instance().Clear();
    }
}

TEST_F(FramingTest, EmptyRequestWritesNothing) {
    Open(1);
    const uint8_t request[1] = {0};
    EXPECT_EQ(session_->SendAndWait(request, 0, 100), -1);
    EXPECT_EQ(session_->SendAndWait(nullptr, 8, 100), -1);
    EXPECT_TRUE(device_->WrittenReports().empty());
}

TEST_F(FramingTest, FailedWriteStopsTheRequest) {
    Open(1);
    device_->SetWritesStayPending(true);
    std::vector<uint8_t> request(45, 0x11);
    EXPECT_EQ(session_->SendAndWait(request.data(), 45, 5000), -7);
    EXPECT_TRUE(device_->WrittenReports().empty());
}

TEST_F(FramingTest, ResponseInOneReportCompletesUpToItsBound) {
    // On 16-byte reports a first report holds a response of length <= 7.
    Open(1);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x07, 0x00}); }), 0);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x08, 0x00}); }, 100), -7);
}

TEST_F(FramingTest, ResponseBoundOn64ByteReports) {
    Open(2);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 55, 0x00}); }), 0);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 56, 0x00}); }, 100), -7);
}

TEST_F(FramingTest, MultiReportResponseIsJoined) {
    Open(1);
    // length 20: 28 message bytes in 0x83 (15), 0x84 (15, 2 used)... the
    // receiver takes whole segments and does not compare with length.
    Bytes first{0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 20, 0x00};
    for (uint8_t i = 0; i < 7; ++i) first.push_back(static_cast<uint8_t>(0xA0 + i));
    Bytes middle{0x84};
    for (uint8_t i = 7; i < 20; ++i) middle.push_back(static_cast<uint8_t>(0xA0 + i));
    EXPECT_EQ(Exchange([&] {
                  Send(first);
                  Send(middle);
                  Send({0x85, 0xEE});
              }),
              0);
    const uint8_t* response = session_->ResponseBuffer();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(response[8 + i], 0xA0 + i) << i;
    EXPECT_EQ(response[8 + 22], 0xEE);  // the last report's segment follows the middle one
}

TEST_F(FramingTest, StrayContinuationsAreIgnoredAndAFirstReportRestarts) {
    Open(1);
    EXPECT_EQ(Exchange([&] {
                  Send({0x85, 0x01});  // no first report before it
                  Send({0x84, 0x01});
                  Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 30, 0x00});  // starts a long one
                  Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x05, 0x06, 0x00, 0x00});  // restarts: complete
                  Send({0x85, 0x01});  // continuation flag was cleared: ignored
              }),
              -13);
    EXPECT_EQ(session_->Status(), 5);
    EXPECT_EQ(session_->Detail(), 6);
}

TEST_F(FramingTest, LongestResponseIsAcceptedAndOneSegmentMoreIsDropped) {
    // length 65535 on 16-byte reports: 65543 bytes, 4370 segments, position
    // 65550 equals the limit.
    Open(1);
    auto sendLongest = [&](int extraMiddles) {
        Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF});
        for (int i = 0; i < 4368 + extraMiddles; ++i) Send(Padded({0x84, static_cast<uint8_t>(i)}, 16));
        Send({0x85, 0x77});
    };
    EXPECT_EQ(Exchange([&] { sendLongest(0); }), 0);
    EXPECT_EQ(session_->ResponseBuffer()[65549 - 14], 0x77);
    EXPECT_EQ(Exchange([&] { sendLongest(1); }, 300), -7);
}

TEST_F(FramingTest, TypeFourEventReportIsAResponse) {
    Open(1);
    // op byte is the type 4; status is report byte 5, detail byte 6.
    EXPECT_EQ(Exchange([&] { Send({0x91, 0x04, 0x36, 0x00, 0x00, 0x09, 0x02, 0x00, 0x00}); }), -13);
    EXPECT_EQ(session_->Status(), 9);
    EXPECT_EQ(session_->Detail(), 2);
    EXPECT_EQ(Exchange([&] { Send({0x9F, 0x04, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}); }), 0);
    EXPECT_TRUE(g_events.events.empty());
}

TEST_F(FramingTest, EventsAreDecodedByType) {
    Open(1);
    // type, byte 2, byte 3 -> expected callback, or none (-1).
    const struct {
        uint8_t marker, type, b1, b2;
        int stat;
    } cases[] = {
        {0x90, 1, 0x12, 0x34, 0x12}, {0x93, 2, 0xFF, 0x00, 0xFF}, {0x9A, 3, 0x12, 0x34, 0x1234},
        {0x90, 5, 0x01, 0x00, 0x01}, {0x90, 6, 0x01, 0x00, -1},  {0x90, 7, 0x07, 0x00, 0x07},
        {0x90, 8, 0x08, 0x00, 0x08}, {0x90, 9, 0x09, 0x00, 0x09}, {0x90, 0, 0x01, 0x00, -1},
        {0x90, 10, 0x01, 0x00, -1},  {0x90, 255, 0x01, 0x00, -1}, {0x9F, 3, 0xFF, 0xFF, 0xFFFF},
    };
    std::vector<std::pair<int, int>> expected;
    for (const auto& c : cases) {
        Send({c.marker, c.type, c.b1, c.b2});
        if (c.stat >= 0) expected.emplace_back(c.type, c.stat);
    }
    // A final marker event shows that all before it were handled.
    Send({0x90, 1, 0xAB});
    expected.emplace_back(1, 0xAB);
    EXPECT_EQ(g_events.WaitFor(expected.size()), expected);
}

TEST_F(FramingTest, UnknownMarkersAreIgnored) {
    Open(1);
    for (uint8_t marker : {0x00, 0x7F, 0x80, 0x81, 0x82, 0x86, 0x8F, 0xA3, 0xAF, 0xB0, 0xFF}) {
        Send({marker, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
    }
    Send({0x90, 1, 0x01});
    EXPECT_EQ(g_events.WaitFor(1), (std::vector<std::pair<int, int>>{{1, 1}}));
    EXPECT_EQ(Exchange([] {}, 50), -7);  // none of them completed a response
}

TEST_F(FramingTest, TextMessagesReachTheTextCallback) {
    Open(1);
    TextLog log;
    session_->SetTextCallback(RecordText, &log);
    // L = 13 fits one report: 12 text bytes, the terminator is the receiver's.
    Send({0xA0, 13, 0x00, 0x05, 'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd', '!'});
    // L = 20 in three reports: 12 + 8 bytes, the 20th replaced by NUL.
    Send({0xA0, 20, 0x00, 0x07, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l'});
    Send({0xA1, 'm', 'n', 'o', 'p', 'q', 'r', 's', 'X'});
    Send({0xA2});
    // A middle or last report with no first one is ignored; L = 0 is an empty text.
    Send({0xA2, 'z'});
    Send({0xA0, 0, 0, 0x09, 'q'});
    std::unique_lock<std::mutex> lock(log.mutex);
    ASSERT_TRUE(log.cv.wait_for(lock, std::chrono::seconds(5), [&] { return log.texts.size() >= 3; }));
    ASSERT_EQ(log.texts.size(), 3u);
    EXPECT_EQ(log.texts[0], std::make_tuple(5, std::string("hello world!"), 13));
    EXPECT_EQ(log.texts[1], std::make_tuple(7, std::string("abcdefghijklmnopqrs"), 20));
    EXPECT_EQ(log.texts[2], std::make_tuple(9, std::string(), 0));
}

TEST_F(FramingTest, DeviceLossWakesTheSenderAndIsReported) {
    Open(1);
    EXPECT_EQ(Exchange([&] { device_->Unplug(); }), -11);
    EXPECT_EQ(g_events.WaitFor(1), (std::vector<std::pair<int, int>>{{255, 0}}));
    EXPECT_TRUE(session_->Closing());
    // Nothing reads any more: the next request cannot even be written.
    const uint8_t request[8] = {0x02, 0x36};
    EXPECT_EQ(session_->SendAndWait(request, 8, 100), -7);
}

TEST_F(FramingTest, DeviceLossDuringFirmwareUpdateIsNotReported) {
    Open(1);
    session_->SetFirmwareUpdate(true);
    EXPECT_EQ(Exchange([&] { device_->Unplug(); }), -11);
    session_->Terminate();
    EXPECT_TRUE(g_events.events.empty());
}

TEST_F(FramingTest, StatusStaysFromTheLastResponseAfterATimeOut) {
    Open(1);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x01, 0x36, 0x00, 0x00, 0x04, 0x03, 0x00, 0x00}); }), -13);
    EXPECT_EQ(Exchange([] {}, 50), -7);
    EXPECT_EQ(session_->Status(), 4);
    EXPECT_EQ(session_->Detail(), 3);
}

TEST_F(FramingTest, TerminateEndsTheReceiverWithoutAnEvent) {
    Open(1);
    ASSERT_TRUE(device_->WaitForBlockedReader(5000));
    EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 1);
    session_->Terminate();
    EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
    EXPECT_EQ(device_->OpenHandles(), 0);
    EXPECT_TRUE(g_events.events.empty());
    session_->Terminate();  // twice is harmless
}

}  // namespace
}  // namespace azk::test

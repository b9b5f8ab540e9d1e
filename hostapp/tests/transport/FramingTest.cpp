// Framing over the sim bus: how requests are cut into reports, how the
// receiver joins responses, events and text messages, and how the session
// ends when the device goes away.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <algorithm>
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

class FramingBoundTest : public FramingTest, public ::testing::WithParamInterface<std::pair<int, uint8_t>> {};

TEST_P(FramingBoundTest, ResponseInOneReportCompletesUpToItsBound) {
    // A first report holds a response of length <= report length - 9: 7 on
    // 16-byte reports, 55 on 64-byte ones. One more waits for a next report.
    const auto [variant, bound] = GetParam();
    Open(variant);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, bound, 0x00}); }), 0);
    const uint8_t beyond = static_cast<uint8_t>(bound + 1);
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, beyond, 0x00}); }, 100), -7);
}

INSTANTIATE_TEST_SUITE_P(ReportLengths, FramingBoundTest,
                         ::testing::Values(std::pair<int, uint8_t>{1, 7}, std::pair<int, uint8_t>{2, 55}),
                         [](const ::testing::TestParamInfo<std::pair<int, uint8_t>>& p) {
                             return p.param.first == 1 ? std::string("Reports16") : std::string("Reports64");
                         });

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

// A response taken only when all its bytes came: 8 + `length` by its last
// report, or within the one type-4 event report. One that ends early fails
// the request with -12 and leaves the response buffer as it was.
struct CompletenessCase {
    const char* name;
    int variant;
    uint16_t length;        // declared payload length
    bool asEvent;           // one type-4 event report instead of 0x83...
    int continuations;      // 0x84 reports between the 0x83 and the 0x85
    int32_t expected;
};

TEST_F(FramingTest, ResponseCountsOnlyWithAllItsDeclaredBytes) {
    const CompletenessCase cases[] = {
        {"two reports carry 30 bytes, 30 declared", 1, 22, false, 0, 0},
        {"two reports carry 30 bytes, 31 declared", 1, 23, false, 0, -12},
        {"28 payload bytes in two reports", 1, 28, false, 0, -12},
        {"28 payload bytes in three reports", 1, 28, false, 1, 0},
        {"64-byte reports: 126 of 126", 2, 118, false, 0, 0},
        {"64-byte reports: 126 of 127", 2, 119, false, 0, -12},
        {"event report with P - 8 payload bytes", 1, 7, true, 0, 0},
        {"event report declaring P - 7", 1, 8, true, 0, -12},
        {"event report declaring 28 on 16-byte reports", 1, 28, true, 0, -12},
        {"64-byte event report with P - 8", 2, 55, true, 0, 0},
        {"64-byte event report declaring P - 7", 2, 56, true, 0, -12},
    };
    for (int variant : {1, 2}) {
        Open(variant);
        const size_t p = reportLength_ - 1;
        for (const CompletenessCase& c : cases) {
            if (c.variant != variant) continue;
            SCOPED_TRACE(c.name);
            // A sound response first, so that the buffer holds known bytes.
            Bytes known{0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x07, 0x00};
            for (uint8_t i = 0; i < 7; ++i) known.push_back(static_cast<uint8_t>(0x50 + i));
            ASSERT_EQ(Exchange([&] { Send(known); }), 0);
            const Bytes before(session_->ResponseBuffer(), session_->ResponseBuffer() + 4 * p);

            Bytes message{c.asEvent ? uint8_t{0x04} : uint8_t{0x03}, 0x36, 0x00, 0x00, 0x00, 0x00,
                          static_cast<uint8_t>(c.length & 0xFF), static_cast<uint8_t>(c.length >> 8)};
            for (size_t i = 0; message.size() < 3 * p; ++i) message.push_back(static_cast<uint8_t>(0xC0 + i));
            auto segment = [&](uint8_t marker, size_t index) {
                Bytes report{marker};
                report.insert(report.end(), message.begin() + static_cast<std::ptrdiff_t>(index * p),
                              message.begin() + static_cast<std::ptrdiff_t>((index + 1) * p));
                return report;
            };
            const int32_t result = Exchange([&] {
                if (c.asEvent) {
                    Send(segment(0x9C, 0));
                    return;
                }
                Send(segment(0x83, 0));
                for (int k = 0; k < c.continuations; ++k) Send(segment(0x84, 1 + k));
                Send(segment(0x85, 1 + c.continuations));
            });
            EXPECT_EQ(result, c.expected);
            const Bytes after(session_->ResponseBuffer(), session_->ResponseBuffer() + 4 * p);
            if (c.expected == 0) {
                EXPECT_TRUE(std::equal(message.begin(), message.begin() + 8 + c.length, after.begin()));
            } else {
                EXPECT_EQ(after, before) << "nothing of the short response is copied";
            }
        }
        session_.reset();
        sim::SimBus::Instance().Clear();
    }
}

TEST_F(FramingTest, HalfResponseOfATimedOutRequestCannotAnswerTheNext) {
    Open(1);
    // The first request's answer stops after its first report.
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x07, 0x07, 28, 0x00, 0xDD}); }, 100), -7);
    // The next request gets only stray continuations: they belong to no
    // response that began after it, so they complete nothing.
    EXPECT_EQ(Exchange([&] {
                  Send(Padded({0x84, 0xEE}, 16));
                  Send(Padded({0x85, 0xEE}, 16));
              }, 100),
              -7);
    EXPECT_EQ(session_->Status(), 0);
    // A whole answer still comes through.
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x2D, 0x00}); }), 0);
    EXPECT_EQ(session_->ResponseBuffer()[8], 0x2D);
}

TEST_F(FramingTest, ResponseStaysTheCallersWhileFurtherAnswersArrive) {
    Open(1);
    // Two whole answers to one request: the first is the request's, the
    // second arrives after it and is dropped, not written over the first.
    EXPECT_EQ(Exchange([&] {
                  Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x11, 0x22});
                  Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x09, 0x09, 0x02, 0x00, 0x99, 0x88});
                  Send({0x9F, 0x04, 0x36, 0x00, 0x00, 0x08, 0x08, 0x02, 0x00, 0x77, 0x66});
              }),
              0);
    ASSERT_TRUE(device_->WaitForBlockedReader(5000));  // every answer has been read
    const uint8_t* response = session_->ResponseBuffer();
    EXPECT_EQ(response[4], 0x00);
    EXPECT_EQ(response[8], 0x11);
    EXPECT_EQ(response[9], 0x22);
    // An answer while no request waits is dropped too: the next request
    // does not take it.
    Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x05, 0x05, 0x00, 0x00});
    ASSERT_TRUE(device_->WaitForBlockedReader(5000));
    EXPECT_EQ(Exchange([] {}, 100), -7);
    EXPECT_EQ(response[8], 0x11);
}

TEST_F(FramingTest, UnknownMarkersWhileARequestWaitsStartNothing) {
    Open(1);
    // Each report would answer the request with status 5 if its marker
    // counted as a first report; the sound answer after it has status 0.
    for (uint8_t marker : {0x80, 0x81, 0x82, 0x86, 0x8F, 0xA3, 0xB0, 0x00}) {
        SCOPED_TRACE(static_cast<int>(marker));
        EXPECT_EQ(Exchange([&] {
                      Send({marker, 0x03, 0x36, 0x00, 0x00, 0x05, 0x01, 0x00, 0x00});
                      Send({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
                  }),
                  0);
        EXPECT_EQ(session_->Status(), 0);
    }
}

TEST_F(FramingTest, OverlongAndCutShortTextMessagesAreDropped) {
    Open(1);
    TextLog log;
    session_->SetTextCallback(RecordText, &log);
    // L = 65535 cannot fit the text buffer's limit: 4370 middle reports take
    // it past, so it is dropped, and its last report then starts nothing.
    Send({0xA0, 0xFF, 0xFF, 0x01, 'l', 'o', 'n', 'g'});
    for (int i = 0; i < 4370; ++i) Send(Padded({0xA1, 'x'}, 15));
    Send({0xA2, 'y'});
    // L = 40 announced, but the message ends after 27 text bytes.
    Send({0xA0, 40, 0x00, 0x02, 's', 'h', 'o', 'r', 't'});
    Send({0xA2, 'z'});
    // A sound message after them arrives as sent.
    Send({0xA0, 6, 0x00, 0x03, 'a', 'f', 't', 'e', 'r'});
    std::unique_lock<std::mutex> lock(log.mutex);
    ASSERT_TRUE(log.cv.wait_for(lock, std::chrono::seconds(10), [&] { return !log.texts.empty(); }));
    lock.unlock();
    ASSERT_TRUE(device_->WaitForBlockedReader(5000));
    lock.lock();
    ASSERT_EQ(log.texts.size(), 1u);
    EXPECT_EQ(log.texts[0], std::make_tuple(3, std::string("after"), 6));
}

TEST_F(FramingTest, CallbackExceptionsDoNotEndTheReceiver) {
    Open(1);
    session_.reset();
    session_ = std::make_unique<azk_CHidCommBase>();
    ASSERT_TRUE(session_->Initialize(1, [](int event, int) {
        if (event == 1) throw std::runtime_error("from the event callback");
    }));
    session_->SetTextCallback([](void*, int, const char*, int) -> int { throw 7; }, nullptr);
    Send({0x90, 1, 0x01});
    Send({0xA0, 3, 0x00, 0x00, 'h', 'i'});
    // The receiver still joins responses after both threw.
    EXPECT_EQ(Exchange([&] { Send({0x83, 0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}); }), 0);
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

// Requests that read their own responses: on a device whose reads can be
// interrupted, the reading passes between the receiver thread and the
// caller. Events and text messages must still reach their callbacks on the
// receiver thread, in order and every one, whoever read them; the device
// must be read while a long request is written; and the receiver must read
// again once requests stop.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "SimTestSupport.h"
#include "Timing.h"
#include "session/SessionApi.h"
#include "support/ByteOrder.h"
#include "transport/HidCommBase.h"

namespace azk::test {
namespace {

// What the callbacks saw: the stat of each event and the text of each
// message, with the thread each came on.
struct Seen {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<int> events;
    std::vector<std::string> texts;
    std::vector<std::thread::id> threads;

    bool WaitFor(size_t events_, size_t texts_, int ms) {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, std::chrono::milliseconds(ms),
                                [&] { return events.size() >= events_ && texts.size() >= texts_; });
    }
};
Seen* g_seen = nullptr;
#ifdef __linux__
std::atomic<pid_t> g_eventThread{0};  // the thread of the last event callback
#endif

// An event of type 2 holds the receiver in its callback for a while.
std::atomic<bool> g_slowEventBegun{false};

void OnEvent(int event, int stat) {
#ifdef __linux__
    g_eventThread = ThreadId();
#endif
    if (event == 2) {
        g_slowEventBegun = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));  // six lingers
        return;
    }
    if (event != 1 || g_seen == nullptr) return;
    std::lock_guard<std::mutex> lock(g_seen->mutex);
    g_seen->events.push_back(stat);
    g_seen->threads.push_back(std::this_thread::get_id());
    g_seen->changed.notify_all();
}

int OnText(void* context, int, const char* text, int length) {
    Seen* seen = static_cast<Seen*>(context);
    std::lock_guard<std::mutex> lock(seen->mutex);
    seen->texts.emplace_back(length > 0 ? text : "");
    seen->threads.push_back(std::this_thread::get_id());
    seen->changed.notify_all();
    return 0;
}

Bytes EventReport(uint8_t stat) { return BusReport({0x90, 0x01, stat}); }
// A text message on channel 0, its terminator counted in its length.
Bytes TextReport(const std::string& text) {
    Bytes message(4 + text.size() + 1, 0);
    message[0] = 0xA0;
    message[1] = static_cast<uint8_t>(text.size() + 1);
    std::memcpy(message.data() + 4, text.data(), text.size());
    return BusReport(message);
}
#ifdef __linux__
// How often a thread of this process has gone to sleep so far.
long VoluntarySwitches(pid_t thread) {
    std::ifstream status("/proc/self/task/" + std::to_string(thread) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) return std::stol(line.substr(24));
    }
    return -1;
}
#endif

// A key-lock get's answer; by default SE on and keys 1-7 locked.
Bytes KeyLockAnswer(uint8_t se = 1, uint8_t mask = 0x7F) {
    return BusReport({0x83, 0x03, 0x36, 0x00, se, 0x00, 0x00, 0x02, 0x00, mask, 0x00});
}
// The message length a request's first report declares (report ID byte first).
size_t DeclaredLength(const uint8_t* report) { return report[8] | (report[9] << 8); }

class ReadingHandOverTest : public SimBusTest {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        g_seen = &seen_;
        sim::SimDeviceSpec description = sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16);
        description.interruptibleReads = true;
        device_ = sim::SimBus::Instance().AddDevice(description);
    }
    void TearDown() override {
        if (session_ != nullptr) {
            EXPECT_EQ(SessionFree(session_), 0);
        }
        g_seen = nullptr;
        device_->SetOutputHandler(nullptr);
        SimBusTest::TearDown();
        EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
    }
    void Open() {
        session_ = SessionCreate(SESSION_VARIANT_16, OnEvent);
        ASSERT_NE(session_, nullptr);
        ASSERT_EQ(SessionSetTextCallback(session_, OnText, &seen_), 0);
    }
    int32_t GetKeyLock() {
        SessionParamBlock block{};
        const int32_t rc = SessionExec(session_, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr);
        if (rc == 0 && (block.bytes[SESSION_KEYLOCK_SE_FLAG] != 1 || Read16(block.bytes + SESSION_KEYLOCK_LOCK_MASK) != 0x7F)) {
            return 1;  // not the scripted answer
        }
        return rc;
    }
    // Command 82 with a message of three reports: a header that declares 32
    // payload bytes (function 0x0700), then the payload.
    int32_t LongRawMessage() {
        std::vector<uint8_t> message(40, 0xA5);
        const Bytes header = {0x02, 0x00, 0x07, 0x00, 0x00, 0x00, 32, 0x00};
        std::copy(header.begin(), header.end(), message.begin());
        SessionParamBlock block{};
        uint8_t* buffer = message.data();
        std::memcpy(block.bytes + SESSION_RAW_BUFFER, &buffer, sizeof buffer);
        Write32(block.bytes + SESSION_RAW_SIZE, static_cast<uint32_t>(message.size()));
        return SessionExec(session_, SESSION_CMD_RAW_MESSAGE, &block, nullptr);
    }
    Seen seen_;
    std::shared_ptr<sim::SimDevice> device_;
    SessionHandle session_ = nullptr;
};

TEST_F(ReadingHandOverTest, EventsAndTextsAmongAnswersReachTheirCallbacksInOrder) {
    ScriptedDevice scripted(device_);
    Open();
    constexpr int kRequests = 200;
    for (int i = 0; i < kRequests; ++i) {
        // Before every answer an event, before every fourth one a text too;
        // every tenth answer comes alone, with its event after it.
        std::vector<Bytes> answer;
        if (i % 10 != 9) answer.push_back(EventReport(static_cast<uint8_t>(i)));
        if (i % 4 == 0) answer.push_back(TextReport("m" + std::to_string(i)));
        answer.push_back(KeyLockAnswer());
        if (i % 10 == 9) answer.push_back(EventReport(static_cast<uint8_t>(i)));
        scripted.Script(answer);
    }
    for (int i = 0; i < kRequests; ++i) ASSERT_EQ(GetKeyLock(), 0) << i;

    ASSERT_TRUE(seen_.WaitFor(kRequests, kRequests / 4, 5000));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    ASSERT_EQ(seen_.events.size(), static_cast<size_t>(kRequests));
    for (int i = 0; i < kRequests; ++i) EXPECT_EQ(seen_.events[static_cast<size_t>(i)], i & 0xFF) << i;
    ASSERT_EQ(seen_.texts.size(), static_cast<size_t>(kRequests / 4));
    for (int i = 0; i < kRequests / 4; ++i) EXPECT_EQ(seen_.texts[static_cast<size_t>(i)], "m" + std::to_string(4 * i));
    for (const std::thread::id& id : seen_.threads) EXPECT_NE(id, std::this_thread::get_id());
}

TEST_F(ReadingHandOverTest, EventAfterTheLastRequestIsDeliveredWhileIdle) {
    ScriptedDevice scripted(device_);
    Open();
    for (int i = 0; i < 3; ++i) {
        scripted.Script({KeyLockAnswer()});
        ASSERT_EQ(GetKeyLock(), 0);
    }
    // The last request may still hold the reading: the receiver takes it
    // back and reads the event without another request.
    device_->SendInput(EventReport(0x42));
    ASSERT_TRUE(seen_.WaitFor(1, 0, 5000));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    EXPECT_EQ(seen_.events, std::vector<int>{0x42});
}

#ifdef __linux__
// A request that waits long for its answer, reading it itself, leaves the
// receiver asleep until it ends instead of waking it every linger. (Counted
// in /proc, so on Linux only.)
TEST_F(ReadingHandOverTest, ALongWaitLeavesTheReceiverAsleep) {
    ScriptedDevice scripted(device_);
    Open();
    device_->SendInput(EventReport(1));
    ASSERT_TRUE(seen_.WaitFor(1, 0, 5000));
    const pid_t receiver = g_eventThread.load();
    azk_CShortTimeouts shorter(5);  // the get's 5000 ms: 1000 ms
    scripted.Script({KeyLockAnswer()});
    ASSERT_EQ(GetKeyLock(), 0);  // the caller keeps the reading
    const long before = VoluntarySwitches(receiver);
    ASSERT_GE(before, 0);
    EXPECT_EQ(GetKeyLock(), SESSION_RESULT_TIMEOUT);  // no second answer
    EXPECT_LT(VoluntarySwitches(receiver) - before, 10);  // a wake every 10 ms would be 100
}
#endif

TEST_F(ReadingHandOverTest, AnswerSentTwiceIsNotTakenByTheNextRequest) {
    // Every answer comes twice, the copy with other values (SE off, no
    // keys). A request that reads its own answer leaves the copy queued;
    // the next request must not take it for its own.
    ScriptedDevice scripted(device_);
    Open();
    for (int i = 0; i < 50; ++i) scripted.Script({KeyLockAnswer(), KeyLockAnswer(0, 0)});
    for (int i = 0; i < 50; ++i) EXPECT_EQ(GetKeyLock(), 0) << i;
}

TEST_F(ReadingHandOverTest, AnAnswerQueuedBeforeARequestIsNeverTakenForItsOwn) {
    // The device repeats an answer with status 0 before a request whose own
    // answer has status 5. The copy is read before the request is sent,
    // whoever reads the response (the caller for a request of one report,
    // the receiver for a longer one), with an event before the copy, and
    // while the receiver is held in an event callback.
    ScriptedDevice scripted(device_);
    Open();
    const auto answer = [](bool longRequest, uint8_t status) {
        return longRequest ? BusReport({0x83, 0x03, 0x00, 0x07, 0x00, status, 0x01, 0x00, 0x00})
                           : BusReport({0x83, 0x03, 0x36, 0x00, 0x01, status, 0x01, 0x02, 0x00, 0x7F, 0x00});
    };
    struct Case {
        const char* name;
        bool longRequest;
        bool eventFirst;
        bool slowCallback;
    };
    const Case cases[] = {
        {"one report", false, false, false},
        {"one report, an event first", false, true, false},
        {"three reports", true, false, false},
        {"three reports, an event first", true, true, false},
        {"one report, receiver in a callback", false, false, true},
        {"three reports, receiver in a callback", true, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        scripted.Script({KeyLockAnswer()});
        ASSERT_EQ(GetKeyLock(), 0);  // the caller holds the reading
        if (c.slowCallback) {
            g_slowEventBegun = false;
            device_->SendInput(BusReport({0x90, 0x02, 0x00}));
            for (int i = 0; i < 500 && !g_slowEventBegun; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            ASSERT_TRUE(g_slowEventBegun);
        }
        if (c.eventFirst) device_->SendInput(EventReport(7));
        device_->SendInput(answer(c.longRequest, 0));
        scripted.Script({answer(c.longRequest, 5)});
        EXPECT_EQ(c.longRequest ? LongRawMessage() : GetKeyLock(), SESSION_RESULT_DEVICE_STATUS);
    }
    // The events came through, each once.
    ASSERT_TRUE(seen_.WaitFor(2, 0, 5000));
    std::lock_guard<std::mutex> lock(seen_.mutex);
    EXPECT_EQ(seen_.events, (std::vector<int>{7, 7}));
}

TEST_F(ReadingHandOverTest, AnAnswerSentWhileARequestIsWrittenIsNotItsOwn) {
    // A device answers a request only once it has all of it: an answer with
    // status 0 that comes after the first of three reports answers something
    // earlier; the request's own, after its last report, has status 5.
    const auto answer = [](uint8_t status) {
        return BusReport({0x83, 0x03, 0x00, 0x07, 0x00, status, 0x01, 0x00, 0x00});
    };
    device_->SetOutputHandler([&](const uint8_t* report, size_t) {
        if (report[1] == 0x80) device_->SendInput(answer(0));
        if (report[1] == 0x82) device_->SendInput(answer(5));
    });
    Open();
    for (int i = 0; i < 20; ++i) EXPECT_EQ(LongRawMessage(), SESSION_RESULT_DEVICE_STATUS) << i;
}

// An answer cut short that the request reads itself fails it, and leaves
// the caller's block as it was: nothing of the answer before it is taken
// for this one.
TEST_F(ReadingHandOverTest, AnswerCutShortThatTheRequestReadsFails) {
    ScriptedDevice scripted(device_);
    Open();
    // Function 0x0700 declares 28 bytes: the whole answer carries 1 to 28,
    // the one cut short ends with its last report after 22.
    const Bytes first = BusReport({0x83, 0x03, 0x00, 0x07, 0x00, 0x00, 0x00, 28, 0x00, 1, 2, 3, 4, 5, 6, 7});
    const auto second = [](uint8_t marker) {  // bytes 8 to 22, as a middle or the last report
        return BusReport({marker, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22});
    };
    scripted.Script({first, second(0x84), BusReport({0x85, 23, 24, 25, 26, 27, 28})});
    scripted.Script({first, second(0x85)});
    const auto get = [this](SessionParamBlock& block) {
        std::memset(block.bytes, 0xA5, sizeof block.bytes);
        Write32(block.bytes + SESSION_BLOCK_TARGET, 0);
        return SessionExec(session_, SESSION_CMD_GET_0700, &block, nullptr);
    };
    SessionParamBlock block{};
    ASSERT_EQ(get(block), 0);  // read by the caller, which keeps the reading
    for (size_t i = 0; i < 28; ++i) ASSERT_EQ(block.bytes[i], i + 1) << i;
    EXPECT_EQ(get(block), SESSION_RESULT_BAD_RESPONSE);
    for (size_t i = 0; i < 28; ++i) EXPECT_EQ(block.bytes[i], 0xA5) << i;
    EXPECT_EQ(scripted.RequestsSeen(), 2u);
}

TEST_F(ReadingHandOverTest, DeviceIsReadWhileALongRequestIsWritten) {
    // While the caller writes a request of several reports, the device sends
    // more input than the bus queues (1024 reports) and waits for room; it
    // answers once the request is whole.
    constexpr int kFlood = 1500;
    std::atomic<bool> flooded{false};
    std::thread flooder;
    device_->SetOutputHandler([&](const uint8_t* report, size_t) {
        if (report[1] == 0x80 && DeclaredLength(report) == 0) {
            device_->SendInput(KeyLockAnswer());  // a key-lock get
        } else if (report[1] == 0x80 && !flooder.joinable()) {
            flooder = std::thread([&] {
                for (int i = 0; i < kFlood; ++i) device_->SendInput(EventReport(static_cast<uint8_t>(i)));
                flooded = true;
            });
            // The rest of the request is written only once the flood is in;
            // a flood that nobody reads ends with the device.
            for (int i = 0; i < 500 && !flooded; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            if (!flooded) device_->Unplug();
        } else if (report[1] == 0x82) {
            // A raw message's answer: header only.
            device_->SendInput(BusReport({0x83, 0x03, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00}));
        }
    });
    Open();
    // First, short requests, so that the caller holds the reading.
    for (int i = 0; i < 3; ++i) ASSERT_EQ(GetKeyLock(), 0);
    const int32_t rc = LongRawMessage();
    flooder.join();
    EXPECT_TRUE(flooded);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(seen_.WaitFor(kFlood, 0, 5000));
}

TEST_F(ReadingHandOverTest, UnplugWhileTheCallerReadsEndsTheRequestAndTellsTheLossOnce) {
    std::atomic<int> lost{0};
    static std::atomic<int>* s_lost = nullptr;
    s_lost = &lost;
    ScriptedDevice scripted(device_);
    session_ = SessionCreate(SESSION_VARIANT_16, [](int event, int) {
        if (event == SESSION_EVENT_DEVICE_LOST && s_lost != nullptr) ++*s_lost;
    });
    ASSERT_NE(session_, nullptr);
    for (int i = 0; i < 3; ++i) {
        scripted.Script({KeyLockAnswer()});
        ASSERT_EQ(GetKeyLock(), 0);
    }
    // No answer this time: the request waits, reading, until the device goes.
    std::thread unplug([&] {
        device_->WaitForWrites(4, 5000);
        device_->WaitForBlockedReader(5000);
        device_->Unplug();
    });
    // -11, not the time-out's -7.
    EXPECT_EQ(GetKeyLock(), SESSION_RESULT_CLOSING);
    unplug.join();
    for (int i = 0; i < 200 && lost.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(lost.load(), 1);
    s_lost = nullptr;
}

}  // namespace
}  // namespace azk::test

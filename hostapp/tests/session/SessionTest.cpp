// The session entry points, the dispatch and the key-lock commands, over a
// scripted device on the sim bus. Request and reply bytes are literal.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "SimTestSupport.h"
#include "Timing.h"
#include "session/HidComm.h"
#include "session/SessionApi.h"
#include "support/ByteOrder.h"

namespace azk::test {
namespace {

std::atomic<int> g_lostEvents{0};
void CountLost(int event, int) {
    if (event == 255) ++g_lostEvents;
}

class SessionTest : public SimBusTest {
protected:
    void TearDown() override {
        if (session_ != nullptr) SessionFree(session_);
        device_.reset();
        SimBusTest::TearDown();
        EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
    }

    void Open(int variant = 1) {
        device_ = std::make_unique<ScriptedDevice>(AddSpeakerphone(variant));
        session_ = SessionCreate(variant, CountLost);
        ASSERT_NE(session_, nullptr);
    }

    // What the host wrote, without report IDs.
    std::vector<Bytes> Requests() const {
        std::vector<Bytes> out;
        for (const Bytes& r : device_->Device().WrittenReports()) out.emplace_back(r.begin() + 1, r.end());
        return out;
    }

    static SessionParamBlock Block(uint8_t se, uint16_t mask, int32_t target) {
        SessionParamBlock block{};
        block.bytes[0] = se;
        Write16(block.bytes + 2, mask);
        Write32(block.bytes + 80, static_cast<uint32_t>(target));
        return block;
    }

    std::unique_ptr<ScriptedDevice> device_;
    SessionHandle session_ = nullptr;
};

TEST_F(SessionTest, CreateFailsCleanlyForBadVariantsAndNoDevice) {
    auto device = AddSpeakerphone(1);
    for (int32_t variant : {0, 3, -1}) {
        EXPECT_EQ(SessionCreate(variant, nullptr), nullptr) << variant;
    }
    EXPECT_EQ(device->OpenCount(), 0);
    sim::SimBus::Instance().Clear();
    EXPECT_EQ(SessionCreate(1, nullptr), nullptr);
    EXPECT_EQ(SessionCreate(2, nullptr), nullptr);
    EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
}

TEST_F(SessionTest, VariantsOpenTheirOwnDevice) {
    auto small = AddSpeakerphone(1);
    auto large = AddSpeakerphone(2);
    SessionHandle s2 = SessionCreate(2, nullptr);
    ASSERT_NE(s2, nullptr);
    EXPECT_EQ(small->OpenHandles(), 0);
    EXPECT_EQ(large->OpenHandles(), 1);
    EXPECT_EQ(SessionFree(s2), 0);
    EXPECT_EQ(large->OpenHandles(), 0);
    EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
}

TEST_F(SessionTest, EmptyHandleGivesConnectionError) {
    SessionParamBlock block{};
    int32_t pair[2] = {7, 7};
    EXPECT_EQ(SessionFree(nullptr), -4);
    EXPECT_EQ(SessionExec(nullptr, 30, &block, pair), -4);
    EXPECT_EQ(pair[0], 7);  // nothing copied
    EXPECT_EQ(SessionSetTextCallback(nullptr, nullptr, nullptr), -4);
}

TEST_F(SessionTest, UnknownCommandIdsSendNothingButFillTheStatusPair) {
    Open();
    SessionParamBlock block{};
    for (int32_t id : {27, 83, -1, 1000}) {
        int32_t pair[2] = {7, 7};
        EXPECT_EQ(SessionExec(session_, id, &block, pair), -5) << id;
        EXPECT_EQ(pair[0], 0);
        EXPECT_EQ(pair[1], 0);
    }
    EXPECT_TRUE(Requests().empty());
}

TEST_F(SessionTest, EmptyBlockIsRefusedAndNothingSent) {
    Open();
    int32_t pair[2];
    EXPECT_EQ(SessionExec(session_, 30, nullptr, pair), -10);
    EXPECT_EQ(SessionExec(session_, 29, nullptr, nullptr), -10);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(SessionTest, GetReadsTheTargetAndCopiesBack) {
    Open();
    device_->Script({BusReport({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00})});
    SessionParamBlock block = Block(0, 0, 1);
    block.bytes[1] = 0x5A;
    int32_t pair[2] = {7, 7};
    ASSERT_EQ(SessionExec(session_, 30, &block, pair), 0);
    EXPECT_EQ(Requests(), std::vector<Bytes>{Padded({0x80, 0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, 16)});
    EXPECT_EQ(block.bytes[0], 1);
    EXPECT_EQ(Read16(block.bytes + 2), 0x007F);
    EXPECT_EQ(block.bytes[1], 0x5A);  // untouched
    EXPECT_EQ(Read32(block.bytes + 80), 1u);
    EXPECT_EQ(pair[0], 0);
    EXPECT_EQ(pair[1], 0);
}

TEST_F(SessionTest, SetSendsTheBlockValuesUnchanged) {
    Open();
    const struct {
        uint8_t se;
        uint16_t mask;
        int32_t target;
        Bytes request;
    } cases[] = {
        {1, 0x007D, 0, {0x80, 0x00, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7D, 0x00}},
        {2, 0xFFFF, 1, {0x80, 0x00, 0x36, 0x00, 0x02, 0x01, 0x00, 0x02, 0x00, 0xFF, 0xFF}},
        {0, 0x002E, 256, {0x80, 0x00, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x2E, 0x00}},
    };
    for (const auto& c : cases) {
        device_->Device().ClearWrittenReports();
        device_->Script({BusReport({0x83, 0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})});
        SessionParamBlock block = Block(c.se, c.mask, c.target);
        const SessionParamBlock before = block;
        EXPECT_EQ(SessionExec(session_, 29, &block, nullptr), 0);
        EXPECT_EQ(Requests(), std::vector<Bytes>{Padded(c.request, 16)});
        EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);
    }
}

TEST_F(SessionTest, MismatchedRepliesLeaveTheBlockUnchanged) {
    Open();
    const struct {
        const char* name;
        int32_t command;
        Bytes reply;
        int32_t result;
    } cases[] = {
        {"get length 3", 30, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x03, 0x00, 0x11, 0x00, 0x00}, -12},
        {"get length 1", 30, {0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x01, 0x00, 0x11}, -12},
        {"get op 1", 30, {0x83, 0x01, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x11, 0x00}, -12},
        {"get function 0x0035", 30, {0x83, 0x03, 0x35, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x11, 0x00}, -12},
        {"get function 0x0136", 30, {0x83, 0x03, 0x36, 0x01, 0x01, 0x00, 0x00, 0x02, 0x00, 0x11, 0x00}, -12},
        {"get status 5", 30, {0x83, 0x03, 0x36, 0x00, 0x01, 0x05, 0x01, 0x02, 0x00, 0x11, 0x00}, -13},
        {"set op 3", 29, {0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00}, -12},
        {"set with payload", 29, {0x83, 0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}, -12},
        {"set status 2", 29, {0x83, 0x01, 0x36, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}, -13},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        device_->Script({BusReport(c.reply)});
        SessionParamBlock block = Block(0x33, 0x4455, 0);
        const SessionParamBlock before = block;
        EXPECT_EQ(SessionExec(session_, c.command, &block, nullptr), c.result);
        EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);
    }
}

TEST_F(SessionTest, StatusPairFollowsTheLastResponse) {
    Open();
    SessionParamBlock block = Block(1, 0x7F, 0);
    int32_t pair[2] = {};
    device_->Script({BusReport({0x83, 0x01, 0x36, 0x00, 0x00, 0x05, 0x01, 0x00, 0x00})});
    EXPECT_EQ(SessionExec(session_, 29, &block, pair), -13);
    EXPECT_EQ(pair[0], 5);
    EXPECT_EQ(pair[1], 1);
    // Without a status pair the command runs the same.
    device_->Script({BusReport({0x83, 0x01, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00})});
    EXPECT_EQ(SessionExec(session_, 29, &block, nullptr), 0);
    // A later -10 or -5 still shows the last response's pair (now 0, 0).
    pair[0] = pair[1] = 9;
    EXPECT_EQ(SessionExec(session_, 30, nullptr, pair), -10);
    EXPECT_EQ(pair[0], 0);
    EXPECT_EQ(pair[1], 0);
}

TEST_F(SessionTest, VariantTwoUses64ByteReports) {
    Open(2);
    device_->Script({BusReport({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x5F, 0x00}, 64)});
    SessionParamBlock block{};
    EXPECT_EQ(SessionExec(session_, 30, &block, nullptr), 0);
    EXPECT_EQ(Read16(block.bytes + 2), 0x005F);
    EXPECT_EQ(Requests(), std::vector<Bytes>{Padded({0x80, 0x02, 0x36}, 64)});
}

TEST_F(SessionTest, TwoThreadsOnOneSessionRunOneAfterTheOther) {
    Open();
    // Each request is answered after a delay. A request written before the
    // answer to the one before it was on its way shows that two commands ran
    // at once.
    std::atomic<int> writes{0};
    std::atomic<int> answered{0};
    std::atomic<bool> overlapped{false};
    std::mutex answersLock;
    std::vector<std::thread> answers;
    sim::SimDevice* device = &device_->Device();
    device->SetOutputHandler([&](const uint8_t*, size_t) {
        if (++writes != answered + 1) overlapped = true;
        std::lock_guard<std::mutex> lock(answersLock);
        answers.emplace_back([device, &answered] {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            ++answered;
            device->SendInput(BusReport({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}));
        });
    });
    SessionParamBlock a{}, b{};
    std::thread first([&] { EXPECT_EQ(SessionExec(session_, 30, &a, nullptr), 0); });
    ASSERT_TRUE(device->WaitForWrites(1, 5000));
    std::thread second([&] { EXPECT_EQ(SessionExec(session_, 30, &b, nullptr), 0); });
    first.join();
    second.join();
    EXPECT_FALSE(overlapped);
    EXPECT_EQ(writes.load(), 2);
    device->SetOutputHandler(nullptr);
    for (std::thread& t : answers) t.join();
}

TEST_F(SessionTest, UnplugInTheMiddleEndsTheCommandPromptly) {
    Open();
    g_lostEvents = 0;
    sim::SimDevice* device = &device_->Device();
    device->SetOutputHandler([device](const uint8_t*, size_t) { device->Unplug(); });
    SessionParamBlock block{};
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(SessionExec(session_, 30, &block, nullptr), -11);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    EXPECT_EQ(g_lostEvents.load(), 1);
    EXPECT_EQ(SessionExec(session_, 30, &block, nullptr), -7);  // nothing reads any more
    device->SetOutputHandler(nullptr);
}

// SessionFree and SessionExec from the session's own receiver thread (its
// event callback, for an event and for the device-lost event) do nothing and
// say so.
std::atomic<SessionHandle> g_ownSession{nullptr};
std::mutex g_callbackResultsLock;
std::condition_variable g_callbackResultsChanged;
std::vector<std::pair<int, int32_t>> g_callbackResults;  // event, the call's result

void RecordCallbackResult(int event, int32_t result) {
    std::lock_guard<std::mutex> lock(g_callbackResultsLock);
    g_callbackResults.emplace_back(event, result);
    g_callbackResultsChanged.notify_all();
}

std::vector<std::pair<int, int32_t>> WaitForCallbackResults(size_t count) {
    std::unique_lock<std::mutex> lock(g_callbackResultsLock);
    g_callbackResultsChanged.wait_for(lock, std::chrono::seconds(5),
                                      [&] { return g_callbackResults.size() >= count; });
    return g_callbackResults;
}

void FreeOwnSession(int event, int) { RecordCallbackResult(event, SessionFree(g_ownSession.load())); }

// A key-lock get; the status pair must stay as it was (else 99 is recorded).
void ExecOnOwnSession(int event, int) {
    SessionParamBlock block{};
    int32_t pair[2] = {7, 7};
    const int32_t result = SessionExec(g_ownSession.load(), 30, &block, pair);
    RecordCallbackResult(event, pair[0] == 7 && pair[1] == 7 ? result : 99);
}

TEST_F(SessionTest, FreeAndExecFromItsOwnCallbackAreRefusedAndTheSessionGoesOn) {
    for (SessionEventCallback callback : {FreeOwnSession, ExecOnOwnSession}) {
        SCOPED_TRACE(callback == FreeOwnSession ? "SessionFree" : "SessionExec");
        g_callbackResults.clear();
        device_ = std::make_unique<ScriptedDevice>(AddSpeakerphone(1));
        session_ = SessionCreate(1, callback);
        ASSERT_NE(session_, nullptr);
        g_ownSession = session_;
        device_->Device().SendInput(BusReport({0x90, 0x01, 0x05}));
        EXPECT_EQ(WaitForCallbackResults(1), (std::vector<std::pair<int, int32_t>>{{1, -1}}));
        EXPECT_TRUE(Requests().empty());  // the refused get sent nothing

        // The session still works.
        device_->Script({BusReport({0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x2D, 0x00})});
        SessionParamBlock block{};
        EXPECT_EQ(SessionExec(session_, 30, &block, nullptr), 0);
        EXPECT_EQ(Read16(block.bytes + 2), 0x002D);
        EXPECT_EQ(Requests().size(), 1u);

        // Also refused from the device-lost event; the thread then ends, and
        // the session is freed from here with 0.
        device_->Device().Unplug();
        EXPECT_EQ(WaitForCallbackResults(2), (std::vector<std::pair<int, int32_t>>{{1, -1}, {255, -1}}));
        EXPECT_EQ(SessionFree(session_), 0);
        session_ = nullptr;
        g_ownSession = nullptr;
        device_.reset();
        sim::SimBus::Instance().Clear();
    }
}

TEST_F(SessionTest, BaseClassExecDoesNothing) {
    auto device = AddSpeakerphone(1);
    auto base = std::make_unique<azk_CHidCommBase>();
    ASSERT_TRUE(base->Initialize(1, nullptr));
    SessionParamBlock block{};
    int32_t pair[2] = {7, 7};
    for (int32_t id : {29, 30, 27, 64}) EXPECT_EQ(base->Exec(id, &block, pair), 0);
    EXPECT_EQ(pair[0], 7);
    EXPECT_TRUE(device->WrittenReports().empty());
}

// ------------------------------------------------------------ time-outs

// Time-outs of the key-lock commands and of each written report, run with
// the product's time-outs divided (azk_CShortTimeouts): a silent or stuck
// device must cost the command exactly its own time-out, scaled, neither
// less nor a different, longer one. The lengths are written out here:
// 5000 ms per key-lock command, 500 ms per written report.
class TimeoutTest : public SessionTest {};

TEST_F(TimeoutTest, KeyLockCommandsGiveUpAfterTheirTimeOut) {
    Open();
    const azk_CShortTimeouts shorter(100);
    for (int32_t command : {30, 29}) {
        SCOPED_TRACE(command);
        device_->Device().ClearWrittenReports();
        SessionParamBlock block{};
        const SessionParamBlock before = block;
        const azk_CStopwatch watch;
        EXPECT_EQ(SessionExec(session_, command, &block, nullptr), -7);
        EXPECT_TRUE(GaveUpAfter(watch.Ms(), 5000 / 100));
        EXPECT_EQ(device_->Device().WrittenReports().size(), 1u);  // sent, never answered
        EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);
    }
}

TEST_F(TimeoutTest, AnAnswerEndsTheWaitBeforeTheTimeOut) {
    // The wait ends with the answer, not with the time-out.
    Open();
    const azk_CShortTimeouts shorter(2);  // 2500 ms
    sim::SimDevice* device = &device_->Device();
    std::thread late;
    device->SetOutputHandler([&late, device](const uint8_t*, size_t) {
        late = std::thread([device] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            device->SendInput(BusReport({0x83, 0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x3F, 0x00}));
        });
    });
    SessionParamBlock block{};
    const azk_CStopwatch watch;
    EXPECT_EQ(SessionExec(session_, 30, &block, nullptr), 0);
    EXPECT_LT(watch.Ms(), 2500);
    EXPECT_EQ(block.bytes[2], 0x3F);
    device->SetOutputHandler(nullptr);
    late.join();
}

TEST_F(TimeoutTest, AReportTheDeviceNeverTakesCostsTheWriteTimeOut) {
    // Divided by 2: 250 ms for the write, where the command's own time-out
    // would be 2500 ms.
    Open();
    const azk_CShortTimeouts shorter(2);
    device_->Device().SetWritesStayPending(true);
    SessionParamBlock block{};
    const azk_CStopwatch watch;
    EXPECT_EQ(SessionExec(session_, 29, &block, nullptr), -7);
    EXPECT_TRUE(GaveUpAfter(watch.Ms(), 500 / 2));
    EXPECT_TRUE(device_->Device().WrittenReports().empty());
}

TEST(TimeoutScaling, DividesEveryLimitedLengthAndKeepsTheUnlimited) {
    const azk_CShortTimeouts shorter(1000);
    EXPECT_EQ(azk_CTimeouts::Scaled(uint32_t{180000}), 180u);
    EXPECT_EQ(azk_CTimeouts::Scaled(uint32_t{500}), 1u);  // never 0, which would not wait at all
    EXPECT_EQ(azk_CTimeouts::Scaled(UINT32_MAX), UINT32_MAX);
    EXPECT_EQ(azk_CTimeouts::Scaled(int32_t{-1}), -1);
    EXPECT_EQ(azk_CTimeouts::Scaled(int32_t{5000}), 5);
}

TEST(TimeoutScaling, TheProductRunsTheLengthsAsTheyAre) {
    EXPECT_EQ(azk_CTimeouts::Divisor(), 1u);
    EXPECT_EQ(azk_CTimeouts::Scaled(uint32_t{5000}), 5000u);
    EXPECT_EQ(azk_CTimeouts::Scaled(int32_t{500}), 500);
}

}  // namespace
}  // namespace azk::test

// The device answers wrongly, through the public C interface: whatever it
// sends, a command returns either the exact data the device holds or an
// error code, and misuse from a callback does not end the process. The same
// tests run on the sim bus and over vhid (see WireFaultHarness.h).
#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "WireFaultHarness.h"
#include "support/ByteOrder.h"

namespace azk::test {
namespace {

using Bytes = std::vector<uint8_t>;

constexpr uint16_t kFunction0700 = 0x0700;  // command 49: 28 bytes to block 0-27

class WireFaultTest : public ::testing::Test {
protected:
    void SetUp() override {
        harness_ = MakeWireFaultHarness();
        for (size_t i = 0; i < value_.size(); ++i) value_[i] = static_cast<uint8_t>(0x30 + i);
        ASSERT_TRUE(Model().SetFunctionValue(kFunction0700, 0, 0, value_));
        session_ = harness_->Create(nullptr);
        ASSERT_NE(session_, nullptr);
    }
    void TearDown() override {
        if (session_ != nullptr) {
            EXPECT_EQ(SessionFree(session_), 0);
        }
        harness_.reset();
    }

    azk_CDeviceModel& Model() { return harness_->Model(); }

    // Command 49 into a block filled with 0xA5; the block afterwards.
    int32_t Get0700(SessionParamBlock& block) {
        std::memset(block.bytes, 0xA5, sizeof block.bytes);
        Write32(block.bytes + SESSION_BLOCK_TARGET, 0);
        return SessionExec(session_, SESSION_CMD_GET_0700, &block, nullptr);
    }
    bool BlockHoldsTheValue(const SessionParamBlock& block) const {
        return std::equal(value_.begin(), value_.end(), block.bytes);
    }
    static bool BlockUntouched(const SessionParamBlock& block) {
        for (size_t i = 0; i < 80; ++i) {
            if (block.bytes[i] != 0xA5) return false;
        }
        return true;
    }

    std::unique_ptr<WireFaultHarness> harness_;
    SessionHandle session_ = nullptr;
    Bytes value_ = Bytes(28);
};

TEST_F(WireFaultTest, AnswerWhoseLastReportComesEarlyFailsAndCopiesNothing) {
    // Command 5 first, so that the session has held a long response before.
    SessionParamBlock info{};
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_GET_0005, &info, nullptr), 0);
    // 22 of the 28 payload bytes: two reports where three are needed.
    azk_SMisbehaviour cut;
    cut.cutBytes = 6;
    Model().MisbehaveOnce(cut);
    SessionParamBlock block{};
    EXPECT_EQ(Get0700(block), SESSION_RESULT_BAD_RESPONSE);
    EXPECT_TRUE(BlockUntouched(block));
    // The next, sound answer is taken whole.
    ASSERT_EQ(Get0700(block), 0);
    EXPECT_TRUE(BlockHoldsTheValue(block));
}

TEST_F(WireFaultTest, EventReportDeclaringMoreThanItCarriesFails) {
    SessionParamBlock info{};
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_GET_0005, &info, nullptr), 0);
    // Command 82 asks for function 0x0700; the answer (36 bytes) comes in one
    // type-4 event report, which holds 15.
    azk_SMisbehaviour event;
    event.asEventReport = true;
    Model().MisbehaveOnce(event);
    std::array<uint8_t, 64> message{};
    message.fill(0xA5);
    const Bytes request = {0x02, 0x00, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00};
    std::copy(request.begin(), request.end(), message.begin());
    SessionParamBlock block{};
    uint8_t* buffer = message.data();
    std::memcpy(block.bytes + SESSION_RAW_BUFFER, &buffer, sizeof buffer);
    Write32(block.bytes + SESSION_RAW_SIZE, static_cast<uint32_t>(message.size()));
    EXPECT_EQ(SessionExec(session_, SESSION_CMD_RAW_MESSAGE, &block, nullptr), SESSION_RESULT_BAD_RESPONSE);
    EXPECT_TRUE(std::equal(request.begin(), request.end(), message.begin()));
    for (size_t i = request.size(); i < message.size(); ++i) ASSERT_EQ(message[i], 0xA5) << i;
}

TEST_F(WireFaultTest, HalfAnswerOfATimedOutCommandCannotAnswerTheNext) {
    // The first report of three, then nothing: the command times out (5 s).
    azk_SMisbehaviour half;
    half.halfAnswer = true;
    Model().MisbehaveOnce(half);
    SessionParamBlock block{};
    EXPECT_EQ(Get0700(block), SESSION_RESULT_TIMEOUT);
    EXPECT_TRUE(BlockUntouched(block));
    // The next answer begins with stray continuation reports, which would
    // complete the half answer if it were still being joined.
    azk_SMisbehaviour stray;
    stray.strayContinuations = true;
    Model().MisbehaveOnce(stray);
    ASSERT_EQ(Get0700(block), 0);
    EXPECT_TRUE(BlockHoldsTheValue(block));
}

TEST_F(WireFaultTest, EveryCommandGetsItsOwnAnswerWhenEachComesTwice) {
    // Where the host can be waited for, the second copy differs (it would
    // read SE 0xFE, mask 0xFF80) and is read before the next request; else
    // it is the same bytes and may arrive at any time.
    const bool quiesce = harness_->Quiesce();
    azk_SMisbehaviour twice;
    twice.duplicate = true;
    twice.duplicateXor = quiesce ? 0xFF : 0x00;
    Model().MisbehaveAlways(twice);
    int wrong = 0;
    for (int i = 0; i < 300; ++i) {
        SessionParamBlock block{};
        block.bytes[SESSION_KEYLOCK_SE_FLAG] = 0x55;
        if (SessionExec(session_, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr) != 0 ||
            block.bytes[SESSION_KEYLOCK_SE_FLAG] != 1 || Read16(block.bytes + SESSION_KEYLOCK_LOCK_MASK) != 0x007F) {
            ++wrong;
        }
        if (quiesce) {
            ASSERT_TRUE(harness_->Quiesce());
        }
    }
    EXPECT_EQ(wrong, 0);
}

// SessionFree from the event callback on its own session.
std::atomic<SessionHandle> g_own{nullptr};
std::mutex g_resultsLock;
std::condition_variable g_resultsChanged;
std::vector<int32_t> g_results;

void FreeOwn(int, int) {
    const int32_t result = SessionFree(g_own.load());
    std::lock_guard<std::mutex> lock(g_resultsLock);
    g_results.push_back(result);
    g_resultsChanged.notify_all();
}

TEST_F(WireFaultTest, FreeFromTheEventCallbackIsRefusedAndTheSessionGoesOn) {
    ASSERT_EQ(SessionFree(session_), 0);
    g_results.clear();
    session_ = harness_->Create(FreeOwn);
    ASSERT_NE(session_, nullptr);
    g_own = session_;
    ASSERT_TRUE(Model().SendEvent(1, 0x05));
    {
        std::unique_lock<std::mutex> lock(g_resultsLock);
        ASSERT_TRUE(g_resultsChanged.wait_for(lock, std::chrono::seconds(5), [] { return !g_results.empty(); }));
        EXPECT_EQ(g_results, std::vector<int32_t>{SESSION_RESULT_GENERAL});
    }
    SessionParamBlock block{};
    ASSERT_EQ(Get0700(block), 0);
    EXPECT_TRUE(BlockHoldsTheValue(block));
    EXPECT_EQ(SessionFree(session_), 0);
    session_ = nullptr;
    g_own = nullptr;
}

}  // namespace
}  // namespace azk::test

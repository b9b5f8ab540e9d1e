// The session over vhid when the server misbehaves below the protocol:
// messages that are no input report (empty, of another length, of another
// report ID) before every report, and a device that stops taking reports.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "VhidTestSupport.h"
#include "emulator/DeviceModel.h"
#include "emulator/VhidServer.h"
#include "session/SessionApi.h"
#include "support/ByteOrder.h"

namespace azk {
namespace {

std::atomic<int> g_deviceLost{0};

void CountDeviceLost(int event, int) {
    if (event == 255) ++g_deviceLost;
}

class SessionOverVhidFaultsTest : public ::testing::Test {
protected:
    SessionOverVhidFaultsTest() : env_("XDG_RUNTIME_DIR", root_.Path()) { g_deviceLost = 0; }
    ~SessionOverVhidFaultsTest() override {
        if (session_ != nullptr) SessionFree(session_);
        server_.reset();
    }

    void Start(bool numbered, std::vector<azk_SVhidJunk> junk) {
        std::string error;
        ASSERT_FALSE(root_.Path().empty());
        ASSERT_TRUE(PrepareVhidDirectory(root_.Path() + "/azk-vhid", error)) << error;
        azk_SVhidOptions options;
        options.directory = root_.Path() + "/azk-vhid";
        options.vendorId = AZK_VENDOR_ID;
        options.productId = AZK_PRODUCT_ID;
        options.numbered = numbered;
        options.junk = std::move(junk);
        server_ = std::make_unique<azk_CVhidServer>(model_, options);
        ASSERT_TRUE(server_->Start(error)) << error;
        session_ = SessionCreate(SESSION_VARIANT_16, CountDeviceLost);
        ASSERT_NE(session_, nullptr);
    }

    int SetKeyLock(uint16_t mask, uint8_t se) {
        SessionParamBlock block{};
        Write16(block.bytes + SESSION_KEYLOCK_LOCK_MASK, mask);
        block.bytes[SESSION_KEYLOCK_SE_FLAG] = se;
        return SessionExec(session_, SESSION_CMD_SET_KEY_LOCK_CONFIG, &block, nullptr);
    }

    int GetKeyLock(uint16_t& mask, uint8_t& se) {
        SessionParamBlock block{};
        const int result = SessionExec(session_, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, nullptr);
        mask = Read16(block.bytes + SESSION_KEYLOCK_LOCK_MASK);
        se = block.bytes[SESSION_KEYLOCK_SE_FLAG];
        return result;
    }

    int BlockTransfer(int command, uint8_t* buffer, size_t count) {
        SessionParamBlock block{};
        block.bytes[SESSION_XFER_SELECTOR] = 2;
        Write32(block.bytes + SESSION_XFER_ADDRESS, 0x1000);
        Write16(block.bytes + SESSION_XFER_COUNT, static_cast<uint16_t>(count));
        std::memcpy(block.bytes + SESSION_XFER_BUFFER, &buffer, sizeof buffer);
        return SessionExec(session_, command, &block, nullptr);
    }

    test::azk_CTempDir root_;
    test::azk_CScopedEnv env_;
    azk_CDeviceModel model_{16};
    std::unique_ptr<azk_CVhidServer> server_;
    SessionHandle session_ = nullptr;
};

struct JunkCase {
    const char* name;
    bool numbered;
    std::vector<azk_SVhidJunk> junk;
};

void PrintTo(const JunkCase& c, std::ostream* os) { *os << c.name; }

azk_SVhidJunk Empty() { return {azk_SVhidJunk::Kind::Empty, 0, 0}; }
azk_SVhidJunk Length(size_t n) { return {azk_SVhidJunk::Kind::Length, n, 0}; }
azk_SVhidJunk ForeignId(uint8_t id) { return {azk_SVhidJunk::Kind::ForeignId, 0, id}; }

class SessionOverVhidJunkTest : public SessionOverVhidFaultsTest, public ::testing::WithParamInterface<JunkCase> {};

// With the junk taken for reports, an empty message ends the session as an
// unplug, and the others become answers of zeros (-12).
TEST_P(SessionOverVhidJunkTest, CommandsGetTheirOwnAnswersAndTheDeviceStays) {
    Start(GetParam().numbered, GetParam().junk);
    ASSERT_EQ(SetKeyLock(0x002D, 0), 0);
    uint16_t mask = 0;
    uint8_t se = 1;
    ASSERT_EQ(GetKeyLock(mask, se), 0);
    EXPECT_EQ(mask, 0x002D);
    EXPECT_EQ(se, 0);

    // Many reports each way.
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 13 + 5);
    ASSERT_EQ(BlockTransfer(SESSION_CMD_BLOCK_WRITE_0800, data.data(), data.size()), 0);
    std::vector<uint8_t> back(data.size(), 0);
    ASSERT_EQ(BlockTransfer(SESSION_CMD_BLOCK_READ_0800, back.data(), back.size()), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(g_deviceLost.load(), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Junk, SessionOverVhidJunkTest,
    ::testing::Values(JunkCase{"EmptyNumbered", true, {Empty()}}, JunkCase{"EmptyUnnumbered", false, {Empty()}},
                      JunkCase{"ShortNumbered", true, {Length(3)}}, JunkCase{"ShortUnnumbered", false, {Length(2)}},
                      JunkCase{"LongNumbered", true, {Length(18)}}, JunkCase{"LongUnnumbered", false, {Length(17)}},
                      JunkCase{"ForeignId", true, {ForeignId(7)}},
                      JunkCase{"AllOfThem", true, {Empty(), Length(1), ForeignId(2), Length(100), Empty()}}),
    [](const ::testing::TestParamInfo<JunkCase>& p) { return p.param.name; });

// A device that stops taking reports: the write that cannot complete costs
// its command -7 after the write time-out, the next command fails at once
// while that write is still held, and once the device reads again commands
// work again.
TEST_F(SessionOverVhidFaultsTest, DeviceThatStopsTakingReportsCostsTimeOutsNotAHang) {
    Start(true, {});
    ASSERT_EQ(SetKeyLock(0x0011, 1), 0);
    server_->PauseInput(true);
    // More reports than the socket holds.
    std::vector<uint8_t> data(SESSION_XFER_MAX_COUNT, 0x5A);
    EXPECT_EQ(BlockTransfer(SESSION_CMD_BLOCK_WRITE_0800, data.data(), data.size()), SESSION_RESULT_TIMEOUT);
    uint16_t mask = 0;
    uint8_t se = 0;
    EXPECT_EQ(GetKeyLock(mask, se), SESSION_RESULT_TIMEOUT);

    server_->PauseInput(false);
    int result = SESSION_RESULT_TIMEOUT;
    for (int i = 0; i < 50 && result != 0; ++i) {
        result = GetKeyLock(mask, se);
        if (result != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_EQ(result, 0);
    EXPECT_EQ(mask, 0x0011);
    EXPECT_EQ(se, 1);
    EXPECT_EQ(g_deviceLost.load(), 0);
}

}  // namespace
}  // namespace azk

// Catalogue commands through the whole stack against the emulated device on
// the sim bus: SessionExec, the command's handler, the framing, the bus, the
// device model and back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "SimTestSupport.h"
#include "emulator/DeviceModel.h"
#include "emulator/SimAttachment.h"
#include "session/SessionApi.h"
#include "transport/HidCommBase.h"

namespace azk::test {
namespace {

class CatalogueEndToEndTest : public SimBusTest, public ::testing::WithParamInterface<int> {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        const int variant = GetParam();
        model_ = std::make_unique<azk_CDeviceModel>(variant == 2 ? 64 : 16);
        attachment_ = std::make_unique<azk_CSimAttachment>(*model_, AddSpeakerphone(variant));
        session_ = SessionCreate(variant, nullptr);
        ASSERT_NE(session_, nullptr);
    }
    void TearDown() override {
        if (session_ != nullptr) SessionFree(session_);
        attachment_.reset();
        model_.reset();
        SimBusTest::TearDown();
        EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
    }

    static SessionParamBlock Block(uint32_t target, std::initializer_list<std::pair<size_t, Bytes>> fields) {
        SessionParamBlock block{};
        for (const auto& [offset, bytes] : fields) std::memcpy(block.bytes + offset, bytes.data(), bytes.size());
        for (int i = 0; i < 4; ++i) block.bytes[80 + i] = static_cast<uint8_t>(target >> (8 * i));
        return block;
    }
    static void SetPointer(SessionParamBlock& block, size_t offset, void* pointer) {
        std::memcpy(block.bytes + offset, &pointer, sizeof pointer);
    }
    static Bytes At(const SessionParamBlock& block, size_t offset, size_t n) {
        return Bytes(block.bytes + offset, block.bytes + offset + n);
    }
    int32_t Exec(int32_t id, SessionParamBlock& block, int32_t* pair = nullptr) {
        return SessionExec(session_, id, &block, pair);
    }

    std::unique_ptr<azk_CDeviceModel> model_;
    std::unique_ptr<azk_CSimAttachment> attachment_;
    SessionHandle session_ = nullptr;
};

TEST_P(CatalogueEndToEndTest, AGetReturnsWhatItsSetStored) {
    // set id, get id, the set's block fields, the get's key fields, where the
    // value comes back and how many bytes.
    struct Pair {
        int32_t set, get;
        std::vector<std::pair<size_t, Bytes>> setFields;
        std::vector<std::pair<size_t, Bytes>> getFields;
        size_t valueAt, valueSize;
        Bytes value;
    };
    const Pair pairs[] = {
        {SESSION_CMD_SET_0001, SESSION_CMD_GET_0001, {{0, {0x21}}}, {}, 0, 1, {0x21}},
        {SESSION_CMD_SET_000A, SESSION_CMD_GET_000A, {{0, {0x22}}}, {}, 0, 1, {0x22}},
        {SESSION_CMD_SET_0130, SESSION_CMD_GET_0130, {{0, {0x23}}}, {}, 0, 1, {0x23}},
        {SESSION_CMD_SET_000F, SESSION_CMD_GET_000F, {{0, {0x01, 0x02, 0x03, 0x04}}}, {}, 0, 4, {0x01, 0x02, 0x03, 0x04}},
        {SESSION_CMD_SET_0017, SESSION_CMD_GET_0017, {{0, {0x34, 0x12}}}, {}, 0, 2, {0x34, 0x12}},
        {SESSION_CMD_SET_0013, SESSION_CMD_GET_0013, {{0, {0x03, 0x77}}}, {{0, {0x03}}}, 1, 1, {0x77}},
        {SESSION_CMD_SET_0103, SESSION_CMD_GET_0103, {{0, {0x04}}, {2, {0xCD, 0xAB}}}, {{0, {0x04}}}, 2, 2, {0xCD, 0xAB}},
        {SESSION_CMD_SET_0801, SESSION_CMD_GET_0801, {{0, {0x01, 0x02, 0x99}}}, {{0, {0x01, 0x02}}}, 2, 1, {0x99}},
        {SESSION_CMD_SET_0A03, SESSION_CMD_GET_0A03, {{0, {0x01, 0x02, 0x78, 0x56}}}, {{0, {0x01, 0x02}}}, 2, 2,
         {0x78, 0x56}},
        {SESSION_CMD_SET_001C, SESSION_CMD_GET_001C, {{0, Bytes(20, 'x')}}, {}, 0, 21,
         Bytes{'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 'x', 0}},
        {SESSION_CMD_SET_0A01, SESSION_CMD_GET_0A01, {{0, {0x05, 'h', 'e', 'l', 'l', 'o'}}}, {{0, {0x05}}}, 1, 17,
         Bytes{'h', 'e', 'l', 'l', 'o', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const Pair& p : pairs) {
        SCOPED_TRACE("set " + std::to_string(p.set));
        for (uint32_t target : {0u, 3u}) {
            SessionParamBlock set = Block(target, {});
            for (const auto& [offset, bytes] : p.setFields) std::memcpy(set.bytes + offset, bytes.data(), bytes.size());
            ASSERT_EQ(Exec(p.set, set), 0);
            SessionParamBlock get = Block(target, {});
            for (const auto& [offset, bytes] : p.getFields) std::memcpy(get.bytes + offset, bytes.data(), bytes.size());
            ASSERT_EQ(Exec(p.get, get), 0);
            EXPECT_EQ(At(get, p.valueAt, p.valueSize), p.value);
        }
    }
}

TEST_P(CatalogueEndToEndTest, SetOf0114GoesToTargetZeroWhateverTheTargetField) {
    SessionParamBlock set = Block(1, {{0, {0x33}}});
    ASSERT_EQ(Exec(SESSION_CMD_SET_0114, set), 0);
    SessionParamBlock get0 = Block(0, {});
    ASSERT_EQ(Exec(SESSION_CMD_GET_0114, get0), 0);
    EXPECT_EQ(get0.bytes[0], 0x33);
    SessionParamBlock get1 = Block(1, {{0, {0xEE}}});
    ASSERT_EQ(Exec(SESSION_CMD_GET_0114, get1), 0);
    EXPECT_EQ(get1.bytes[0], 0x00);
}

TEST_P(CatalogueEndToEndTest, DeviceTextsArriveTerminated) {
    SessionParamBlock block = Block(0, {});
    std::memset(block.bytes, 0xEE, 80);
    ASSERT_EQ(Exec(SESSION_CMD_GET_0005, block), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + 0), "Emulated speakerphone");
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + 41), "0100");
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + 46), "EMU0000000000001");
    EXPECT_STREQ(reinterpret_cast<const char*>(block.bytes + 63), "2.0.0");
}

TEST_P(CatalogueEndToEndTest, BlockTransfersRoundTripThroughDeviceMemory) {
    struct Transfer {
        int32_t write, read;
        uint16_t function;
        uint8_t target;  // the target the device sees
    };
    const Transfer transfers[] = {
        {SESSION_CMD_BLOCK_WRITE_0800, SESSION_CMD_BLOCK_READ_0800, 0x0800, 2},
        {SESSION_CMD_BLOCK_WRITE_0802, SESSION_CMD_BLOCK_READ_0802, 0x0802, 2},
        {SESSION_CMD_BLOCK_WRITE_0E05, SESSION_CMD_BLOCK_READ_0E05, 0x0E05, 0},
    };
    Bytes data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    for (const Transfer& t : transfers) {
        SCOPED_TRACE(t.function);
        SessionParamBlock write = Block(2, {{0, {0x05}}, {4, {0x00, 0x10, 0x00, 0x00}}, {8, {0x2C, 0x01}}});
        SetPointer(write, SESSION_XFER_BUFFER, data.data());
        ASSERT_EQ(Exec(t.write, write), 0);
        EXPECT_EQ(model_->ReadMemory(t.function, t.target, 5, 0x1000, data.size()), data);

        Bytes back(302, 0xEE);
        SessionParamBlock read = Block(2, {{0, {0x05}}, {4, {0xFF, 0x0F, 0x00, 0x00}}, {8, {0x2E, 0x01}}});
        SetPointer(read, SESSION_XFER_BUFFER, back.data());
        ASSERT_EQ(Exec(t.read, read), 0);
        Bytes expected(302, 0xFF);
        std::copy(data.begin(), data.end(), expected.begin() + 1);
        EXPECT_EQ(back, expected);
    }
}

TEST_P(CatalogueEndToEndTest, ShortBlockTransfersOfTwoHundredFiftyFiveBytes) {
    Bytes data(255);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(255 - i);
    // 61/62: selector at 0, start at 1, count at 2.
    SessionParamBlock write = Block(0, {{0, {0x01, 0x00, 0xFF}}});
    SetPointer(write, SESSION_SHORT_BUFFER, data.data());
    ASSERT_EQ(Exec(SESSION_CMD_SHORT_WRITE_080B, write), 0);
    Bytes back(255, 0);
    SessionParamBlock read = Block(0, {{0, {0x01, 0x00, 0xFF}}});
    SetPointer(read, SESSION_SHORT_BUFFER, back.data());
    ASSERT_EQ(Exec(SESSION_CMD_SHORT_READ_080B, read), 0);
    EXPECT_EQ(back, data);
    EXPECT_EQ(At(read, 1, 2), (Bytes{0x00, 0xFF}));  // the device echoes start and count

    // 79/80: 2-byte start at 0-1, count at 2.
    SessionParamBlock write2 = Block(0, {{0, {0x00, 0x02, 0xFF}}});
    SetPointer(write2, SESSION_SHORT_BUFFER, data.data());
    ASSERT_EQ(Exec(SESSION_CMD_SHORT_WRITE_0E06, write2), 0);
    EXPECT_EQ(model_->ReadMemory(0x0E06, 0, 0, 0x0200, 255), data);
    Bytes back2(255, 0);
    SessionParamBlock read2 = Block(0, {{0, {0x00, 0x02, 0xFF}}});
    SetPointer(read2, SESSION_SHORT_BUFFER, back2.data());
    ASSERT_EQ(Exec(SESSION_CMD_SHORT_READ_0E06, read2), 0);
    EXPECT_EQ(back2, data);
}

TEST_P(CatalogueEndToEndTest, LargestBlockTransfer) {
    Bytes data(65529);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
    SessionParamBlock write = Block(0, {{4, {0x00, 0x00, 0x01, 0x00}}, {8, {0xF9, 0xFF}}});
    SetPointer(write, SESSION_XFER_BUFFER, data.data());
    ASSERT_EQ(Exec(SESSION_CMD_BLOCK_WRITE_0800, write), 0);
    Bytes back(65529, 0);
    SessionParamBlock read = write;
    SetPointer(read, SESSION_XFER_BUFFER, back.data());
    ASSERT_EQ(Exec(SESSION_CMD_BLOCK_READ_0800, read), 0);
    EXPECT_EQ(back, data);
}

TEST_P(CatalogueEndToEndTest, RawMessagesGetTheAnswerOfTheFunctionTheyName) {
    SessionParamBlock set = Block(0, {{0, {0x0A, 0x0B, 0x0C, 0x0D}}});
    ASSERT_EQ(Exec(SESSION_CMD_SET_000F, set), 0);
    struct Raw {
        Bytes request;
        Bytes answer;
    };
    const Raw raws[] = {
        {{0x02, 0x36, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00}},
        {{0x02, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
         {0x03, 0x0F, 0x00, 0x00, 0x00, 0x00, 0x04, 0x00, 0x0A, 0x0B, 0x0C, 0x0D}},
    };
    for (const Raw& raw : raws) {
        Bytes buffer = raw.request;
        buffer.resize(32, 0xEE);
        SessionParamBlock block{};
        SetPointer(block, SESSION_RAW_BUFFER, buffer.data());
        block.bytes[SESSION_RAW_SIZE] = 32;  // u32 size, little-endian
        ASSERT_EQ(Exec(SESSION_CMD_RAW_MESSAGE, block), 0);
        Bytes expected = raw.answer;
        expected.resize(32, 0xEE);
        EXPECT_EQ(buffer, expected);
    }
}

TEST_P(CatalogueEndToEndTest, MisbehavioursApplyToCatalogueFunctions) {
    azk_SMisbehaviour status;
    status.status = 9;
    status.detail = 4;
    model_->MisbehaveOnce(status);
    SessionParamBlock block = Block(0, {{0, {0x11, 0x22, 0x33, 0x44}}});
    const SessionParamBlock before = block;
    int32_t pair[2] = {};
    EXPECT_EQ(Exec(SESSION_CMD_GET_000F, block, pair), SESSION_RESULT_DEVICE_STATUS);
    EXPECT_EQ(pair[0], 9);
    EXPECT_EQ(pair[1], 4);
    EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);

    azk_SMisbehaviour longer;
    longer.lengthDelta = 1;
    model_->MisbehaveOnce(longer);
    EXPECT_EQ(Exec(SESSION_CMD_GET_000F, block), SESSION_RESULT_BAD_RESPONSE);
    EXPECT_EQ(std::memcmp(&block, &before, sizeof block), 0);

    azk_SMisbehaviour function;
    function.function = 0x0801;
    model_->MisbehaveOnce(function);
    Bytes back(16, 0xEE);
    SessionParamBlock read = Block(0, {{8, {0x10, 0x00}}});
    SetPointer(read, SESSION_XFER_BUFFER, back.data());
    EXPECT_EQ(Exec(SESSION_CMD_BLOCK_READ_0800, read), SESSION_RESULT_BAD_RESPONSE);
    EXPECT_EQ(back, Bytes(16, 0xEE));

    // The device carried the request out as usual: the next get is fine.
    EXPECT_EQ(Exec(SESSION_CMD_GET_000F, block), 0);
}

INSTANTIATE_TEST_SUITE_P(Variants, CatalogueEndToEndTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return param.param == 1 ? std::string("Reports16") : std::string("Reports64");
                         });

}  // namespace
}  // namespace azk::test

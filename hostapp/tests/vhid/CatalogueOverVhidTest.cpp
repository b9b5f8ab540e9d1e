// A few catalogue commands through the whole stack over vhid: the session on
// the Linux HID layer, the emulator's vhid server in the same process.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/VhidServer.h"
#include "session/SessionApi.h"
#include "support/ByteOrder.h"

namespace azk {
namespace {

class CatalogueOverVhidTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/azk-catalogue-vhid-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        const char* old = std::getenv("XDG_RUNTIME_DIR");
        hadRuntimeDir_ = old != nullptr;
        if (old != nullptr) savedRuntimeDir_ = old;
        ::setenv("XDG_RUNTIME_DIR", root_.c_str(), 1);
        std::string error;
        ASSERT_TRUE(PrepareVhidDirectory(root_ + "/azk-vhid", error)) << error;
        azk_SVhidOptions options;
        options.directory = root_ + "/azk-vhid";
        options.vendorId = AZK_VENDOR_ID;
        options.productId = AZK_PRODUCT_ID;
        server_ = std::make_unique<azk_CVhidServer>(model_, options);
        ASSERT_TRUE(server_->Start(error)) << error;
        session_ = SessionCreate(SESSION_VARIANT_16, nullptr);
        ASSERT_NE(session_, nullptr);
    }
    void TearDown() override {
        if (session_ != nullptr) SessionFree(session_);
        server_.reset();
        if (hadRuntimeDir_) {
            ::setenv("XDG_RUNTIME_DIR", savedRuntimeDir_.c_str(), 1);
        } else {
            ::unsetenv("XDG_RUNTIME_DIR");
        }
        ASSERT_EQ(std::system(("rm -rf '" + root_ + "'").c_str()), 0);
    }

    azk_CDeviceModel model_{16};
    std::unique_ptr<azk_CVhidServer> server_;
    SessionHandle session_ = nullptr;
    std::string root_;
    std::string savedRuntimeDir_;
    bool hadRuntimeDir_ = false;
};

TEST_F(CatalogueOverVhidTest, SetThenGetReturnsTheValue) {
    SessionParamBlock block{};
    Write32(block.bytes, 0x12345678);  // 14: payload block 0-3
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_SET_000F, &block, nullptr), 0);
    SessionParamBlock read{};
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_GET_000F, &read, nullptr), 0);
    EXPECT_EQ(Read32(read.bytes), 0x12345678u);
}

TEST_F(CatalogueOverVhidTest, BlockWriteThenReadThroughDeviceMemory) {
    // 300 bytes: a request of 306 payload bytes in many reports each way.
    std::vector<uint8_t> data(300);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 1);
    SessionParamBlock block{};
    block.bytes[SESSION_XFER_SELECTOR] = 2;
    Write32(block.bytes + SESSION_XFER_ADDRESS, 0x1000);
    Write16(block.bytes + SESSION_XFER_COUNT, static_cast<uint16_t>(data.size()));
    const uint8_t* source = data.data();
    std::memcpy(block.bytes + SESSION_XFER_BUFFER, &source, sizeof source);
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_BLOCK_WRITE_0800, &block, nullptr), 0);

    std::vector<uint8_t> back(data.size(), 0);
    uint8_t* destination = back.data();
    std::memcpy(block.bytes + SESSION_XFER_BUFFER, &destination, sizeof destination);
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_BLOCK_READ_0800, &block, nullptr), 0);
    EXPECT_EQ(back, data);
}

TEST_F(CatalogueOverVhidTest, RawMessageGetsTheAnswerOfTheFunctionItNames) {
    // Key-lock get of the configuration in force, as a raw message.
    uint8_t message[16] = {0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    SessionParamBlock block{};
    uint8_t* buffer = message;
    std::memcpy(block.bytes + SESSION_RAW_BUFFER, &buffer, sizeof buffer);
    Write32(block.bytes + SESSION_RAW_SIZE, sizeof message);
    ASSERT_EQ(SessionExec(session_, SESSION_CMD_RAW_MESSAGE, &block, nullptr), 0);
    const uint8_t expected[10] = {0x03, 0x36, 0x00, 0x01, 0x00, 0x00, 0x02, 0x00, 0x7F, 0x00};
    EXPECT_EQ(std::memcmp(message, expected, sizeof expected), 0);
}

}  // namespace
}  // namespace azk

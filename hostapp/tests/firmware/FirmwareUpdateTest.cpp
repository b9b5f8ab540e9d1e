// FirmwareUpdateTest.cpp - command 64 through the whole stack: SessionExec,
// the update sequence, the framing, the sim bus and the emulated device's
// firmware receiver. Requests are checked byte for byte from the device's
// trace, the messages byte for byte from the console stream, and the image
// the device assembled against the caller's bytes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <chrono>
#include <string>
#include <utility>
#include <vector>

#include "ConsoleCapture.h"
#include "SimTestSupport.h"
#include "Timing.h"
#include "emulator/DeviceModel.h"
#include "emulator/FirmwareReceiver.h"
#include "emulator/SimAttachment.h"
#include "session/FirmImageBuilder.h"
#include "session/SessionApi.h"
#include "support/WideConsole.h"
#include "transport/HidCommBase.h"

namespace azk::test {
namespace {

using Damage = azk_CFirmImageBuilder::Damage;
using Receiver = azk_CFirmwareReceiver;

constexpr int32_t kUserValue = 0x5A17;

// ------------------------------------------------------------ callbacks

// Progress as the callback saw it: (percent, user value), in order. The
// callback runs on the thread that called SessionExec.
std::vector<std::pair<int32_t, int32_t>> g_progress;
// Called from the progress callback with each percentage, when set.
void (*g_onProgress)(int32_t percent) = nullptr;

void RecordProgress(int32_t percent, int32_t userValue) {
    g_progress.emplace_back(percent, userValue);
    if (g_onProgress != nullptr) g_onProgress(percent);
}

// Events reach the event callback on the receiver thread.
std::mutex g_eventsLock;
std::vector<std::pair<int, int>> g_events;

void RecordEvent(int event, int stat) {
    std::lock_guard<std::mutex> lock(g_eventsLock);
    g_events.emplace_back(event, stat);
}

std::vector<std::pair<int, int>> Events() {
    std::lock_guard<std::mutex> lock(g_eventsLock);
    return g_events;
}

std::vector<int32_t> Percentages() {
    std::vector<int32_t> percents;
    for (const auto& [percent, user] : g_progress) {
        EXPECT_EQ(user, kUserValue) << "at " << percent << "%";
        percents.push_back(percent);
    }
    return percents;
}

// ------------------------------------------------------------ images

Bytes PatternBytes(size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

// An image of `kind` with a body of bodyBytes (a multiple of 4) and
// trailerBytes after the total length.
Bytes MakeImage(int32_t kind, size_t bodyBytes, size_t trailerBytes = 0, Damage damage = Damage::None) {
    azk_CFirmImageBuilder builder;
    builder.SetKind(kind)
        .SetHeaderTag(0x31323334)
        .SetPrologue(PatternBytes(512, 1))
        .SetBody(PatternBytes(bodyBytes, 2))
        .SetTrailer(PatternBytes(trailerBytes, 3));
    return builder.Build(damage);
}

// The requests of one update as the device must see them: FU_SETINFO, then
// per block FU_FWLOAD (its first 12 bytes given literally, then the block
// CRC, computed bit by bit, and the block) and FU_WRITEFW.
struct Block {
    Bytes head;  // op, function, arg, target, 0, length, block offset
    uint32_t offset;
    uint32_t count;
};

const Bytes kWriteFw = {0x00, 0x03, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00};

Bytes SetInfo(uint8_t kindCode, const Bytes& image) {
    const uint32_t size = static_cast<uint32_t>(image.size());
    return {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x07, 0x00, kindCode,
            static_cast<uint8_t>(size), static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size >> 16),
            static_cast<uint8_t>(size >> 24), image[556], image[557]};
}

Bytes FwLoad(const Block& block, const Bytes& image) {
    Bytes request = block.head;
    const uint16_t crc = azk_CFirmImageBuilder::Crc16(image.data() + block.offset, block.count, 0);
    request.push_back(static_cast<uint8_t>(crc));
    request.push_back(static_cast<uint8_t>(crc >> 8));
    request.insert(request.end(), image.begin() + block.offset, image.begin() + block.offset + block.count);
    return request;
}

// ------------------------------------------------------------ fixture

class FirmwareUpdateTest : public SimBusTest {
protected:
    void SetUp() override {
        SimBusTest::SetUp();
        g_progress.clear();
        g_onProgress = nullptr;
        std::lock_guard<std::mutex> lock(g_eventsLock);
        g_events.clear();
    }

    void TearDown() override {
        if (session_ != nullptr) SessionFree(session_);
        attachment_.reset();
        receiver_.reset();
        model_.reset();
        SimBusTest::TearDown();
        EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
        g_onProgress = nullptr;
    }

    void Open(int variant = 1) {
        model_ = std::make_unique<azk_CDeviceModel>(variant == 2 ? 64 : 16);
        receiver_ = std::make_unique<Receiver>(*model_);
        attachment_ = std::make_unique<azk_CSimAttachment>(*model_, AddSpeakerphone(variant));
        session_ = SessionCreate(variant, RecordEvent);
        ASSERT_NE(session_, nullptr);
    }

    // Runs command 64 on `image` (whose bytes it may change through the
    // progress callback) and captures what it prints.
    int32_t Update(Bytes& image, bool withProgress = true) {
        SessionFirmwareUpdateBlock block{};
        block.image = image.data();
        block.imageSize = static_cast<uint32_t>(image.size());
        block.progress = withProgress ? RecordProgress : nullptr;
        block.userValue = kUserValue;
        return Exec(&block);
    }

    int32_t Exec(SessionFirmwareUpdateBlock* block) {
        model_->ClearTrace();
        g_progress.clear();
        azk_CConsoleCapture capture;
        EXPECT_TRUE(capture.Ok());
        const int32_t result = SessionExec(session_, SESSION_CMD_FIRMWARE_UPDATE, block, statusPair_);
        output_ = capture.Finish();
        return result;
    }

    // Every request message the device received since the last Update.
    std::vector<Bytes> Requests() const {
        std::vector<Bytes> requests;
        for (const azk_STraceEntry& entry : model_->Trace()) {
            if (entry.kind == azk_ETraceKind::Request) requests.push_back(entry.bytes);
        }
        return requests;
    }

    // The requests as letters: S FU_SETINFO, L FU_FWLOAD, W FU_WRITEFW.
    std::string Steps() const {
        std::string steps;
        for (const Bytes& request : Requests()) {
            const uint16_t function = static_cast<uint16_t>(request[1] | (request[2] << 8));
            steps.push_back(function == Receiver::kFunctionSetInfo   ? 'S'
                            : function == Receiver::kFunctionFwLoad  ? 'L'
                            : function == Receiver::kFunctionWriteFw ? 'W'
                                                                     : '?');
        }
        return steps;
    }

    std::unique_ptr<azk_CDeviceModel> model_;
    std::unique_ptr<Receiver> receiver_;
    std::unique_ptr<azk_CSimAttachment> attachment_;
    SessionHandle session_ = nullptr;
    int32_t statusPair_[2] = {-1, -1};
    std::string output_;
};

// ------------------------------------------------------------ sound images

struct Shape {
    const char* name;
    int32_t kind;
    size_t bodyBytes;
    size_t trailerBytes;
    uint8_t kindCode;
    Bytes setInfoHead;  // the first 13 bytes of FU_SETINFO (up to the data CRC)
    std::vector<Block> blocks;
    std::vector<int32_t> progress;
};

std::vector<Shape> Shapes() {
    return {
        // 30720 bytes: three whole blocks; progress 21, 21 + 77/3, 21 + 154/3.
        {"Fwup30720", 0, 30720 - 560, 0, 0,
         {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x00, 0x78, 0x00, 0x00},
         {{{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x06, 0x28, 0x00, 0x00, 0x00, 0x00}, 0, 10240},
          {{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x06, 0x28, 0x00, 0x28, 0x00, 0x00}, 10240, 10240},
          {{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x06, 0x28, 0x00, 0x50, 0x00, 0x00}, 20480, 10240}},
         {21, 46, 72, 100}},
        // Exactly one block: the first block never reports.
        {"Uasp10240", 1, 10240 - 560, 0, 1,
         {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x01, 0x00, 0x28, 0x00, 0x00},
         {{{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x06, 0x28, 0x00, 0x00, 0x00, 0x00}, 0, 10240}},
         {21, 100}},
        // One byte beyond the total length: a second block of one byte, a
        // 15-byte FU_FWLOAD with length 7; "DSPA" is announced as kind code 3.
        {"Dspa10241", 2, 10240 - 560, 1, 3,
         {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x03, 0x01, 0x28, 0x00, 0x00},
         {{{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x06, 0x28, 0x00, 0x00, 0x00, 0x00}, 0, 10240},
          {{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x28, 0x00, 0x00}, 10240, 1}},
         {21, 97, 100}},
        // The smallest image: an empty body and 4 bytes beyond it.
        {"Fwup564", 0, 0, 4, 0,
         {0x00, 0x00, 0x09, 0x00, 0x00, 0x00, 0x07, 0x00, 0x00, 0x34, 0x02, 0x00, 0x00},
         {{{0x00, 0x01, 0x09, 0x00, 0x00, 0x00, 0x3A, 0x02, 0x00, 0x00, 0x00, 0x00}, 0, 564}},
         {21, 100}},
    };
}

class FirmwareUpdateVariantTest : public FirmwareUpdateTest, public ::testing::WithParamInterface<int> {};

TEST_P(FirmwareUpdateVariantTest, SoundImagesAreSentByteForByteAndTheDeviceVerifiesThem) {
    Open(GetParam());
    for (const Shape& shape : Shapes()) {
        SCOPED_TRACE(shape.name);
        Bytes image = MakeImage(shape.kind, shape.bodyBytes, shape.trailerBytes);
        const Bytes original = image;

        ASSERT_EQ(Update(image), SESSION_RESULT_OK);
        EXPECT_EQ(statusPair_[0], 0);
        EXPECT_EQ(statusPair_[1], 0);
        EXPECT_EQ(output_, "");
        EXPECT_EQ(Percentages(), shape.progress);

        std::vector<Bytes> expected = {SetInfo(shape.kindCode, image)};
        ASSERT_EQ(Bytes(expected[0].begin(), expected[0].begin() + 13), shape.setInfoHead);
        for (const Block& block : shape.blocks) {
            expected.push_back(FwLoad(block, image));
            expected.push_back(kWriteFw);
        }
        EXPECT_EQ(Requests(), expected);

        const Receiver::State state = receiver_->Snapshot();
        EXPECT_TRUE(state.verified) << state.rejection;
        EXPECT_EQ(state.kindCode, shape.kindCode);
        EXPECT_EQ(state.blocks, shape.blocks.size());
        EXPECT_EQ(receiver_->Image(), original);
        EXPECT_EQ(image, original) << "the caller's image was modified";
    }
    EXPECT_TRUE(Events().empty());
}

INSTANTIATE_TEST_SUITE_P(Variants, FirmwareUpdateVariantTest, ::testing::Values(1, 2),
                         [](const ::testing::TestParamInfo<int>& p) {
                             return "Variant" + std::to_string(p.param);
                         });

TEST_F(FirmwareUpdateTest, WithoutCallbackTheSameRequestsAndNoProgress) {
    Open();
    Bytes image = MakeImage(0, 30720 - 560);
    ASSERT_EQ(Update(image, true), SESSION_RESULT_OK);
    const std::vector<Bytes> withCallback = Requests();
    ASSERT_EQ(withCallback.size(), 7u);

    ASSERT_EQ(Update(image, false), SESSION_RESULT_OK);
    EXPECT_EQ(Requests(), withCallback);
    EXPECT_TRUE(g_progress.empty());
    EXPECT_EQ(output_, "");
    EXPECT_TRUE(receiver_->Snapshot().verified);
}

TEST_F(FirmwareUpdateTest, ImagesTheCheckRejectsSendNothing) {
    Open();
    struct Case {
        Damage damage;
        int32_t result;
    };
    const Case cases[] = {
        {Damage::DataCrc, SESSION_RESULT_IMAGE_CHECKSUM},
        {Damage::HeaderCrc, SESSION_RESULT_IMAGE_CHECKSUM},
        {Damage::BodyBit, SESSION_RESULT_IMAGE_CHECKSUM},
        {Damage::UncheckedHeader, SESSION_RESULT_IMAGE_CHECKSUM},
        {Damage::Magic, SESSION_RESULT_NOT_ENOUGH_ARGS},
        {Damage::FormatNumber, SESSION_RESULT_NOT_ENOUGH_ARGS},
        {Damage::TotalOverSize, SESSION_RESULT_NOT_ENOUGH_ARGS},
        {Damage::TotalUnaligned, SESSION_RESULT_NOT_ENOUGH_ARGS},
        {Damage::TotalBelowHeader, SESSION_RESULT_NOT_ENOUGH_ARGS},
        {Damage::Truncated, SESSION_RESULT_NOT_ENOUGH_ARGS},
        {Damage::ShortFile, SESSION_RESULT_NOT_ENOUGH_ARGS},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(azk_CFirmImageBuilder::DamageName(c.damage));
        Bytes image = MakeImage(2, 2000, 0, c.damage);
        EXPECT_EQ(Update(image), c.result);
        EXPECT_EQ(model_->RequestCount(), 0u);
        EXPECT_TRUE(g_progress.empty());
        EXPECT_EQ(output_, "");
    }
}

TEST_F(FirmwareUpdateTest, MissingBlockOrImageIsRefusedBeforeAnythingIsSent) {
    Open();
    EXPECT_EQ(Exec(nullptr), SESSION_RESULT_BAD_BLOCK);
    SessionFirmwareUpdateBlock block{};
    block.image = nullptr;
    block.imageSize = 4096;
    block.progress = RecordProgress;
    EXPECT_EQ(Exec(&block), SESSION_RESULT_NOT_ENOUGH_ARGS);
    EXPECT_EQ(model_->RequestCount(), 0u);
    EXPECT_TRUE(g_progress.empty());
    EXPECT_EQ(output_, "");
}

// ------------------------------------------------------------ retries

// A misbehaviour of the device's firmware receiver, used up in order.
struct Fault {
    char kind;  // 'F': refused with `status`, 'H': acknowledged with a wrong header
    uint16_t function;
    uint32_t times;
    uint8_t status;
    uint8_t detail;
};

struct RetryCase {
    const char* name;
    std::vector<Fault> faults;
    int32_t result;
    std::string output;
    std::string steps;
    std::vector<int32_t> progress;
    int32_t statusPair[2];
};

void PrintTo(const RetryCase& c, std::ostream* os) { *os << c.name; }

constexpr uint16_t S = Receiver::kFunctionSetInfo;
constexpr uint16_t L = Receiver::kFunctionFwLoad;
constexpr uint16_t W = Receiver::kFunctionWriteFw;

const std::string kSetInfoStatus41 = "error : receive error response. (FU_SETINFO) [0x41]\n";
const std::string kSetInfoHeader = "error : invalid response header receive. (FU_SETINFO)\n";
const std::string kFwLoadStatusF1 = "\nerror : receive error response. (FU_FWLOAD) [0xF1]\n";
const std::string kFwLoadHeader = "\nerror : invalid response header receive. (FU_FWLOAD)\n";
const std::string kWriteFwStatus52 = "\nerror : receive error response. (FU_WRITEFW) [0x52]\n";
const std::string kWriteFwHeader = "\nerror : invalid response header receive. (FU_WRITEFW)\n";

std::string Times(int n, const std::string& text) {
    std::string all;
    for (int i = 0; i < n; ++i) all += text;
    return all;
}

std::vector<RetryCase> RetryCases() {
    return {
        {"SetInfoRefusedTwiceThenAccepted", {{'F', S, 2, 0x41, 0}}, 0, Times(2, kSetInfoStatus41), "SSSLW",
         {21, 100}, {0, 0}},
        {"SetInfoRefusedThreeTimes", {{'F', S, 3, 0x41, 0x02}}, SESSION_RESULT_FW_LOAD, Times(3, kSetInfoStatus41),
         "SSS", {}, {0x41, 0x02}},
        {"SetInfoAnsweredWithLengthOne", {{'H', S, 3, 0, 0}}, SESSION_RESULT_BAD_RESPONSE, Times(3, kSetInfoHeader),
         "SSS", {}, {0, 0}},
        {"SetInfoHeaderThenStatusThenAccepted", {{'H', S, 1, 0, 0}, {'F', S, 1, 0x41, 0}}, 0,
         kSetInfoHeader + kSetInfoStatus41, "SSSLW", {21, 100}, {0, 0}},
        {"FwLoadRefusedFiveTimes", {{'F', L, 5, 0xF1, 0x07}}, SESSION_RESULT_FW_LOAD, Times(5, kFwLoadStatusF1),
         "SLLLLL", {21}, {0xF1, 0x07}},
        {"FwLoadRefusedFourTimesThenAccepted", {{'F', L, 4, 0xF1, 0}}, 0, Times(4, kFwLoadStatusF1), "SLLLLLW",
         {21, 100}, {0, 0}},
        {"FwLoadWrongHeaderFiveTimes", {{'H', L, 5, 0, 0}}, SESSION_RESULT_BAD_RESPONSE, Times(5, kFwLoadHeader),
         "SLLLLL", {21}, {0, 0}},
        {"WriteFwRefusedOnceThenCommitted", {{'F', W, 1, 0x52, 0}}, 0, kWriteFwStatus52, "SLWW", {21, 100}, {0, 0}},
        {"WriteFwRefusedTwice", {{'F', W, 2, 0x52, 0x01}}, SESSION_RESULT_FW_WRITE, Times(2, kWriteFwStatus52),
         "SLWW", {21}, {0x52, 0x01}},
        {"WriteFwWrongHeaderThenRefused", {{'H', W, 1, 0, 0}, {'F', W, 1, 0x52, 0}}, SESSION_RESULT_FW_WRITE,
         kWriteFwHeader + kWriteFwStatus52, "SLWW", {21}, {0x52, 0}},
        {"WriteFwRefusedThenWrongHeader", {{'F', W, 1, 0x52, 0}, {'H', W, 1, 0, 0}}, SESSION_RESULT_BAD_RESPONSE,
         kWriteFwStatus52 + kWriteFwHeader, "SLWW", {21}, {0, 0}},
    };
}

class FirmwareUpdateRetryTest : public FirmwareUpdateTest, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(FirmwareUpdateRetryTest, MessagesResultAndRequests) {
    const RetryCase& c = GetParam();
    Open();
    for (const Fault& fault : c.faults) {
        if (fault.kind == 'F') {
            receiver_->FailStep(fault.function, fault.times, fault.status, fault.detail);
        } else {
            receiver_->BadHeaderStep(fault.function, fault.times);
        }
    }
    Bytes image = MakeImage(0, 10240 - 560);  // one transfer block
    EXPECT_EQ(Update(image), c.result);
    EXPECT_EQ(output_, c.output);
    EXPECT_EQ(Steps(), c.steps);
    EXPECT_EQ(Percentages(), c.progress);
    EXPECT_EQ(statusPair_[0], c.statusPair[0]);
    EXPECT_EQ(statusPair_[1], c.statusPair[1]);

    // Every attempt repeats the same request bytes.
    const std::vector<Bytes> requests = Requests();
    for (size_t i = 1; i < requests.size(); ++i) {
        if (c.steps[i] == c.steps[i - 1]) {
            EXPECT_EQ(requests[i], requests[i - 1]) << "request " << i;
        }
    }
    const Receiver::State state = receiver_->Snapshot();
    EXPECT_EQ(state.verified, c.result == 0);
    if (c.result == 0) {
        EXPECT_EQ(receiver_->Image(), image);
    }
    EXPECT_TRUE(Events().empty());
}

INSTANTIATE_TEST_SUITE_P(Steps, FirmwareUpdateRetryTest, ::testing::ValuesIn(RetryCases()),
                         [](const ::testing::TestParamInfo<RetryCase>& p) { return p.param.name; });

// ------------------------------------------------------------ time-outs

// A step the device never answers costs each of its attempts that step's
// time-out: 5000 ms for FU_SETINFO (3 attempts) and FU_FWLOAD (5), 180000 ms
// for FU_WRITEFW (2), here with the product's time-outs divided.
struct SilentCase {
    const char* name;
    uint16_t function;
    uint32_t attempts;
    uint32_t divisor;
    uint32_t timeoutMs;
    int32_t result;
    std::string message;
    std::string steps;
};

void PrintTo(const SilentCase& c, std::ostream* os) { *os << c.name; }

class FirmwareUpdateSilentTest : public FirmwareUpdateTest, public ::testing::WithParamInterface<SilentCase> {};

TEST_P(FirmwareUpdateSilentTest, EveryAttemptWaitsTheStepsTimeOut) {
    const SilentCase& c = GetParam();
    const azk_CShortTimeouts shorter(c.divisor);
    Open();
    receiver_->SilenceStep(c.function, c.attempts);
    Bytes image = MakeImage(0, 10240 - 560);  // one transfer block
    const azk_CStopwatch watch;
    EXPECT_EQ(Update(image), c.result);
    EXPECT_TRUE(GaveUpAfter(watch.Ms(), static_cast<double>(c.attempts * c.timeoutMs / c.divisor)));
    EXPECT_EQ(output_, Times(static_cast<int>(c.attempts), c.message));
    EXPECT_EQ(Steps(), c.steps);
    EXPECT_TRUE(Events().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FirmwareUpdateSilentTest,
    ::testing::Values(SilentCase{"SetInfo", S, 3, 100, 5000, SESSION_RESULT_FW_LOAD,
                                 "error : send or receive error. (FU_SETINFO) [-7]\n", "SSS"},
                      SilentCase{"FwLoad", L, 5, 100, 5000, SESSION_RESULT_FW_LOAD,
                                 "\nerror : send or receive error. (FU_FWLOAD) [-7]\n", "SLLLLL"},
                      SilentCase{"WriteFw", W, 2, 1000, 180000, SESSION_RESULT_FW_WRITE,
                                 "\nerror : send or receive error. (FU_WRITEFW) [-7]\n", "SLWW"}),
    [](const ::testing::TestParamInfo<SilentCase>& p) { return p.param.name; });

// ------------------------------------------------------------ the device's check

// The caller's bytes are streamed as they are when each block is sent: a
// body byte changed after the check (from the progress callback, before the
// first block) reaches the device, whose whole-image check then rejects the
// last commit, on both attempts.
TEST_F(FirmwareUpdateTest, ABodyChangedAfterTheCheckIsSentAsItIsAndTheDeviceRejectsIt) {
    Open();
    static Bytes* s_image = nullptr;
    Bytes image = MakeImage(0, 30720 - 560);
    s_image = &image;
    g_onProgress = [](int32_t percent) {
        if (percent == 21) (*s_image)[20000] ^= 0x04;
    };
    EXPECT_EQ(Update(image), SESSION_RESULT_FW_WRITE);
    s_image = nullptr;

    EXPECT_EQ(output_, Times(2, "\nerror : receive error response. (FU_WRITEFW) [0x24]\n"));
    EXPECT_EQ(Steps(), "SLWLWLWW");
    EXPECT_EQ(Percentages(), (std::vector<int32_t>{21, 46, 72}));
    EXPECT_EQ(statusPair_[0], Receiver::kStatusImageRejected);
    const Receiver::State state = receiver_->Snapshot();
    EXPECT_TRUE(state.complete);
    EXPECT_FALSE(state.verified);
    EXPECT_NE(state.rejection.find("data CRC"), std::string::npos) << state.rejection;
    EXPECT_EQ(receiver_->Image(), image);  // the changed bytes, as sent
}

// A progress callback that throws: the update stops there, SessionExec
// returns -1 instead of letting the exception through, the status pair is
// written, and the firmware-update flag is cleared (a later unplug raises
// the device-lost event again).
TEST_F(FirmwareUpdateTest, ThrowingProgressCallbackEndsTheUpdateCleanly) {
    Open();
    g_onProgress = [](int32_t percent) {
        if (percent == 46) throw std::runtime_error("from the progress callback");
    };
    Bytes image = MakeImage(0, 30720 - 560);
    statusPair_[0] = statusPair_[1] = 9;
    EXPECT_EQ(Update(image), SESSION_RESULT_GENERAL);
    EXPECT_EQ(Steps(), "SLWL");
    EXPECT_EQ(Percentages(), (std::vector<int32_t>{21, 46}));
    EXPECT_EQ(statusPair_[0], 0);
    EXPECT_EQ(statusPair_[1], 0);

    model_->Unplug();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (Events().empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(Events(), (std::vector<std::pair<int, int>>{{255, 0}}));
}

// SessionFree from the progress callback, inside the command of the session
// it would free: refused with -1 at every call, the update runs to its end,
// and the session is freed afterwards (TearDown) as usual.
TEST_F(FirmwareUpdateTest, FreeFromTheProgressCallbackIsRefusedAndTheUpdateGoesOn) {
    Open();
    static SessionHandle s_session;
    static std::vector<int32_t> s_results;
    s_session = session_;
    s_results.clear();
    g_onProgress = [](int32_t) { s_results.push_back(SessionFree(s_session)); };
    Bytes image = MakeImage(0, 30720 - 560);
    EXPECT_EQ(Update(image), SESSION_RESULT_OK);
    EXPECT_EQ(Steps(), "SLWLWLW");
    EXPECT_EQ(Percentages(), (std::vector<int32_t>{21, 46, 72, 100}));
    EXPECT_EQ(s_results, (std::vector<int32_t>{-1, -1, -1, -1}));
    EXPECT_TRUE(receiver_->Snapshot().verified);
}

// An update run from another's progress callback (the session lock lets the
// callback's thread in) ends; the outer update goes on and must still keep
// the device-lost event back when the device leaves during it.
TEST_F(FirmwareUpdateTest, AnUpdateRunFromTheProgressCallbackLeavesTheOuterOneMarked) {
    Open();
    static SessionHandle s_session;
    static Bytes* s_inner;
    static azk_CDeviceModel* s_model;
    static int32_t s_innerResult;
    Bytes inner = MakeImage(0, 10240 - 560);
    s_session = session_;
    s_inner = &inner;
    s_model = model_.get();
    s_innerResult = 1;
    g_onProgress = [](int32_t percent) {
        if (percent != 46 || s_inner == nullptr) return;
        Bytes* image = std::exchange(s_inner, nullptr);
        SessionFirmwareUpdateBlock block{};
        block.image = image->data();
        block.imageSize = static_cast<uint32_t>(image->size());
        s_innerResult = SessionExec(s_session, SESSION_CMD_FIRMWARE_UPDATE, &block, nullptr);
        // The device leaves while the outer update runs; the receiver has
        // met the failed read when this callback returns.
        s_model->Unplug();
        for (int i = 0; i < 500 && azk_CHidCommBase::RunningReceivers() > 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };
    Bytes image = MakeImage(0, 30720 - 560);
    EXPECT_NE(Update(image), SESSION_RESULT_OK);
    EXPECT_EQ(s_innerResult, SESSION_RESULT_OK);
    EXPECT_EQ(azk_CHidCommBase::RunningReceivers(), 0);
    EXPECT_TRUE(Events().empty());
}

// ------------------------------------------------------------ device lost

// The device leaves the bus while it owes the answer to the first FU_FWLOAD.
// The firmware-update flag keeps the receiver thread from raising the
// device-lost event; the attempts fail with -11 (the wait ended by the
// receiver) and then -7 (the writes fail).
TEST_F(FirmwareUpdateTest, DeviceLostDuringTheUpdateRaisesNoEvent) {
    Open();
    receiver_->SilenceStep(L, 1);
    model_->UnplugAfterRequests(2);  // FU_SETINFO, then the unanswered FU_FWLOAD
    Bytes image = MakeImage(0, 30720 - 560);
    EXPECT_EQ(Update(image), SESSION_RESULT_FW_LOAD);
    EXPECT_EQ(output_, "\nerror : send or receive error. (FU_FWLOAD) [-11]\n" +
                           Times(4, "\nerror : send or receive error. (FU_FWLOAD) [-7]\n"));
    EXPECT_EQ(Steps(), "SL");
    EXPECT_EQ(Percentages(), (std::vector<int32_t>{21}));
    EXPECT_TRUE(Events().empty());
}

}  // namespace
}  // namespace azk::test

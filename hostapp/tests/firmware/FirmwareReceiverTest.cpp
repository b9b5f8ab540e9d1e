// FirmwareReceiverTest.cpp - the emulated device's side of a firmware update,
// request message in, answer message out, without a host: the order and
// shape checks, the whole-image verification after the last commit, and the
// per-step misbehaviours that drive the host's retry paths.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "ReportSink.h"
#include "emulator/DeviceModel.h"
#include "emulator/FirmwareReceiver.h"
#include "session/FirmImageBuilder.h"

namespace azk {
namespace {

using Bytes = std::vector<uint8_t>;
using Damage = azk_CFirmImageBuilder::Damage;
using Receiver = azk_CFirmwareReceiver;
using CaptureSink = test::azk_CRecordingSink;

constexpr size_t kReportLength = 64;

Bytes Le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

Bytes Message(uint8_t op, uint16_t function, const Bytes& payload) {
    Bytes message = {op, static_cast<uint8_t>(function), static_cast<uint8_t>(function >> 8), 0x00, 0x00, 0x00,
                     static_cast<uint8_t>(payload.size()), static_cast<uint8_t>(payload.size() >> 8)};
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
}

Bytes SetInfo(uint8_t kindCode, uint32_t size, uint16_t dataCrc) {
    Bytes payload = {kindCode};
    const Bytes sizeBytes = Le32(size);
    payload.insert(payload.end(), sizeBytes.begin(), sizeBytes.end());
    payload.push_back(static_cast<uint8_t>(dataCrc));
    payload.push_back(static_cast<uint8_t>(dataCrc >> 8));
    return Message(0x00, Receiver::kFunctionSetInfo, payload);
}

Bytes FwLoad(uint32_t offset, const Bytes& data, std::optional<uint16_t> crc = std::nullopt) {
    Bytes payload = Le32(offset);
    const uint16_t c = crc ? *crc : azk_CFirmImageBuilder::Crc16(data.data(), data.size(), 0);
    payload.push_back(static_cast<uint8_t>(c));
    payload.push_back(static_cast<uint8_t>(c >> 8));
    payload.insert(payload.end(), data.begin(), data.end());
    return Message(0x00, Receiver::kFunctionFwLoad, payload);
}

const Bytes kWriteFw = Message(0x00, Receiver::kFunctionWriteFw, {});
const Bytes kSetInfoAck = {0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00};
const Bytes kFwLoadAck = {0x01, 0x01, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00};
const Bytes kWriteFwAck = {0x01, 0x03, 0x09, 0x00, 0x00, 0x00, 0x00, 0x00};

// The refusal of a request: op + 1, the function, the status, no payload.
Bytes Refused(uint8_t op, uint16_t function, uint8_t status, uint8_t detail = 0) {
    return {static_cast<uint8_t>(op + 1), static_cast<uint8_t>(function), static_cast<uint8_t>(function >> 8),
            0x00, status, detail, 0x00, 0x00};
}

Bytes Pattern(size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes bytes(count);
    for (uint8_t& b : bytes) b = static_cast<uint8_t>(gen());
    return bytes;
}

uint16_t DataCrcField(const Bytes& image) { return static_cast<uint16_t>(image[556] | (image[557] << 8)); }

class FirmwareReceiverTest : public ::testing::Test {
protected:
    FirmwareReceiverTest() : model_(kReportLength) {
        model_.SetSink(&sink_);
        receiver_ = std::make_unique<Receiver>(model_);
        receiver_->SetOutcomeCallback([this](const Receiver::State& state) { outcomes_.push_back(state); });
    }
    ~FirmwareReceiverTest() override {
        receiver_.reset();
        model_.SetSink(nullptr);
    }

    // Sends one request message and returns the answer message, or nothing
    // when the device sent no report.
    std::optional<Bytes> Send(const Bytes& message) {
        const size_t segment = kReportLength - 1;
        for (size_t at = 0; at < message.size() || at == 0; at += segment) {
            Bytes report(kReportLength, 0);
            report[0] = at == 0 ? 0x80 : (at + segment >= message.size() ? 0x82 : 0x81);
            const size_t n = std::min(segment, message.size() - at);
            std::copy(message.begin() + static_cast<std::ptrdiff_t>(at),
                      message.begin() + static_cast<std::ptrdiff_t>(at + n), report.begin() + 1);
            model_.OnOutputReport(report.data(), report.size());
        }
        const std::vector<Bytes> reports = sink_.Take();
        if (reports.empty()) return std::nullopt;
        Bytes joined;
        for (const Bytes& report : reports) joined.insert(joined.end(), report.begin() + 1, report.end());
        const size_t length = 8u + static_cast<size_t>(joined[6] | (joined[7] << 8));
        EXPECT_LE(length, joined.size());
        joined.resize(std::min(length, joined.size()));
        return joined;
    }

    // Sends the image in blocks of `block` bytes, each loaded and committed;
    // false as soon as an answer is not the plain acknowledgement, except
    // that of the last commit, which is returned in `lastCommit`.
    bool SendImage(const Bytes& image, size_t block, std::optional<Bytes>& lastCommit) {
        for (size_t at = 0; at < image.size(); at += block) {
            const size_t n = std::min(block, image.size() - at);
            const Bytes data(image.begin() + static_cast<std::ptrdiff_t>(at),
                             image.begin() + static_cast<std::ptrdiff_t>(at + n));
            if (Send(FwLoad(static_cast<uint32_t>(at), data)) != kFwLoadAck) return false;
            lastCommit = Send(kWriteFw);
            if (at + n < image.size() && lastCommit != kWriteFwAck) return false;
        }
        return true;
    }

    static Bytes Image(int32_t kind = 0, size_t body = 3000, Damage damage = Damage::None, size_t trailer = 0) {
        azk_CFirmImageBuilder builder;
        builder.SetKind(kind).SetPrologue(Pattern(512, 4)).SetBody(Pattern(body, 5)).SetTrailer(Pattern(trailer, 6));
        return builder.Build(damage);
    }

    CaptureSink sink_;
    azk_CDeviceModel model_;
    std::unique_ptr<Receiver> receiver_;
    std::vector<Receiver::State> outcomes_;
};

TEST_F(FirmwareReceiverTest, AssemblesAndVerifiesAnImageSentInBlocks) {
    for (int32_t kind : {0, 1, 2}) {
        SCOPED_TRACE(kind);
        outcomes_.clear();
        const Bytes image = Image(kind, 3000, Damage::None, 3);  // 3563 bytes: 3 bytes beyond the total length
        const uint8_t code = kind == 2 ? 3 : static_cast<uint8_t>(kind);
        ASSERT_EQ(Send(SetInfo(code, static_cast<uint32_t>(image.size()), DataCrcField(image))), kSetInfoAck);
        std::optional<Bytes> last;
        ASSERT_TRUE(SendImage(image, 1000, last));
        EXPECT_EQ(last, kWriteFwAck);

        const Receiver::State state = receiver_->Snapshot();
        EXPECT_TRUE(state.complete);
        EXPECT_TRUE(state.verified) << state.rejection;
        EXPECT_EQ(state.blocks, 4u);
        EXPECT_EQ(state.kindCode, code);
        EXPECT_EQ(receiver_->Image(), image);
        ASSERT_EQ(outcomes_.size(), 1u);
        EXPECT_TRUE(outcomes_[0].verified);

        // A repeated last commit (its answer lost) is acknowledged again,
        // changes nothing and reports no second outcome.
        EXPECT_EQ(Send(kWriteFw), kWriteFwAck);
        EXPECT_EQ(receiver_->Snapshot().blocks, 4u);
        EXPECT_EQ(outcomes_.size(), 1u);
    }
}

TEST_F(FirmwareReceiverTest, RefusesRequestsOutOfOrderOrOutOfShape) {
    const Bytes data = Pattern(100, 7);
    // Before any announcement.
    EXPECT_EQ(Send(FwLoad(0, data)), Refused(0, 0x0901, Receiver::kStatusNotAnnounced));
    EXPECT_EQ(Send(kWriteFw), Refused(0, 0x0903, Receiver::kStatusNothingStaged));
    EXPECT_EQ(Send(Message(0x00, 0x0900, {0, 0, 0, 0, 0, 0})), Refused(0, 0x0900, Receiver::kStatusBadRequest));
    EXPECT_EQ(Send(SetInfo(0, 64u * 1024 * 1024 + 1, 0)), Refused(0, 0x0900, Receiver::kStatusTooLarge));  // 64 MiB at most
    EXPECT_EQ(Send(Message(0x02, 0x0900, {})), Refused(2, 0x0900, Receiver::kStatusBadRequest));
    EXPECT_FALSE(receiver_->Snapshot().announced);

    // Announced 150 bytes.
    ASSERT_EQ(Send(SetInfo(0, 150, 0x1234)), kSetInfoAck);
    EXPECT_EQ(Send(kWriteFw), Refused(0, 0x0903, Receiver::kStatusNothingStaged));
    EXPECT_EQ(Send(FwLoad(4, data)), Refused(0, 0x0901, Receiver::kStatusBadOffset));
    EXPECT_EQ(Send(FwLoad(0, Pattern(151, 8))), Refused(0, 0x0901, Receiver::kStatusBadOffset));
    EXPECT_EQ(Send(FwLoad(0, data, 0xBEEF)), Refused(0, 0x0901, Receiver::kStatusBadBlockCrc));
    EXPECT_EQ(Send(Message(0x00, 0x0901, {0, 0, 0, 0, 0xFF, 0xFF})), Refused(0, 0x0901, Receiver::kStatusBadRequest));
    EXPECT_EQ(Send(Message(0x00, 0x0903, {0})), Refused(0, 0x0903, Receiver::kStatusBadRequest));
    EXPECT_EQ(receiver_->Snapshot().committed, 0u);

    // A block loaded twice before its commit is committed once.
    ASSERT_EQ(Send(FwLoad(0, data)), kFwLoadAck);
    ASSERT_EQ(Send(FwLoad(0, data)), kFwLoadAck);
    ASSERT_EQ(Send(kWriteFw), kWriteFwAck);
    EXPECT_EQ(receiver_->Snapshot().committed, 100u);
    EXPECT_EQ(Send(FwLoad(0, data)), Refused(0, 0x0901, Receiver::kStatusBadOffset));
    EXPECT_EQ(Send(FwLoad(100, Pattern(51, 9))), Refused(0, 0x0901, Receiver::kStatusBadOffset));

    // A new announcement starts again from nothing.
    ASSERT_EQ(Send(SetInfo(1, 50, 0)), kSetInfoAck);
    EXPECT_EQ(receiver_->Snapshot().committed, 0u);
    EXPECT_TRUE(receiver_->Image().empty());
    EXPECT_TRUE(outcomes_.empty());
}

struct Rejection {
    const char* name;
    Damage damage;
    int32_t kind;
    int kindCodeChange;   // added to the right kind code in FU_SETINFO
    int dataCrcChange;    // XORed into the announced data CRC
    size_t sendOnly;      // announce and send only this many bytes (0: all)
    const char* reason;   // a part of the rejection
};

void PrintTo(const Rejection& r, std::ostream* os) { *os << r.name; }

class FirmwareReceiverRejectionTest : public FirmwareReceiverTest, public ::testing::WithParamInterface<Rejection> {};

TEST_P(FirmwareReceiverRejectionTest, TheLastCommitAndItsRepeatsAreRefused) {
    const Rejection& r = GetParam();
    Bytes image = Image(r.kind, 3000, r.damage);
    if (r.sendOnly != 0) image.resize(r.sendOnly);
    const uint8_t code = static_cast<uint8_t>((r.kind == 2 ? 3 : r.kind) + r.kindCodeChange);
    const uint16_t crc = static_cast<uint16_t>(DataCrcField(image) ^ r.dataCrcChange);
    ASSERT_EQ(Send(SetInfo(code, static_cast<uint32_t>(image.size()), crc)), kSetInfoAck);
    std::optional<Bytes> last;
    ASSERT_TRUE(SendImage(image, 1024, last));

    EXPECT_EQ(last, Refused(0, 0x0903, Receiver::kStatusImageRejected));
    EXPECT_EQ(Send(kWriteFw), Refused(0, 0x0903, Receiver::kStatusImageRejected));
    const Receiver::State state = receiver_->Snapshot();
    EXPECT_TRUE(state.complete);
    EXPECT_FALSE(state.verified);
    EXPECT_NE(state.rejection.find(r.reason), std::string::npos) << state.rejection;
    ASSERT_EQ(outcomes_.size(), 1u);
    EXPECT_EQ(outcomes_[0].rejection, state.rejection);
}

INSTANTIATE_TEST_SUITE_P(
    Images, FirmwareReceiverRejectionTest,
    ::testing::Values(
        Rejection{"KindCodeNotTheImages", Damage::None, 0, 1, 0, 0, "announced kind code 1, the image's is 0"},
        Rejection{"DspaAnnouncedAsKindTwo", Damage::None, 2, -1, 0, 0, "announced kind code 2, the image's is 3"},
        Rejection{"AnnouncedCrcNotTheHeaders", Damage::None, 1, 0, 0x0100, 0, "the image's header says"},
        Rejection{"DataCrcField", Damage::DataCrc, 0, 0, 0, 0, "computed over the received image"},
        Rejection{"BodyBit", Damage::BodyBit, 0, 0, 0, 0, "computed over the received image"},
        Rejection{"PrologueBit", Damage::PrologueBit, 0, 0, 0, 0, "computed over the received image"},
        Rejection{"HeaderCrc", Damage::HeaderCrc, 0, 0, 0, 0, "header CRC"},
        Rejection{"UncheckedHeaderByte", Damage::UncheckedHeader, 0, 0, 0, 0, "header CRC"},
        Rejection{"Magic", Damage::Magic, 0, 0, 0, 0, "unknown magic"},
        Rejection{"FormatNumber", Damage::FormatNumber, 0, 0, 0, 0, "format number 5"},
        Rejection{"TotalOverSize", Damage::TotalOverSize, 0, 0, 0, 0, "total length"},
        Rejection{"TotalUnaligned", Damage::TotalUnaligned, 0, 0, 0, 0, "total length"},
        Rejection{"CutShort", Damage::None, 0, 0, 0, 2000, "total length 3560 does not fit the 2000 bytes"},
        Rejection{"NoRoomForTheHeader", Damage::None, 0, 0, 0, 560, "too short"}),
    [](const ::testing::TestParamInfo<Rejection>& p) { return p.param.name; });

TEST_F(FirmwareReceiverTest, StepFaultsAreUsedUpInOrderAndNotCarriedOut) {
    receiver_->FailStep(Receiver::kFunctionSetInfo, 2, 0x41, 0x02);
    receiver_->BadHeaderStep(Receiver::kFunctionSetInfo, 1);
    receiver_->SilenceStep(Receiver::kFunctionSetInfo, 1);
    receiver_->BadHeaderStep(Receiver::kFunctionFwLoad, 1);
    receiver_->FailStep(Receiver::kFunctionWriteFw, 0, 0x55);  // no times: nothing

    const Bytes image = Image();
    const Bytes setInfo = SetInfo(0, static_cast<uint32_t>(image.size()), DataCrcField(image));
    EXPECT_EQ(Send(setInfo), Refused(0, 0x0900, 0x41, 0x02));
    EXPECT_EQ(Send(setInfo), Refused(0, 0x0900, 0x41, 0x02));
    EXPECT_EQ(Send(setInfo), (Bytes{0x01, 0x00, 0x09, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00}));
    EXPECT_FALSE(Send(setInfo).has_value());
    EXPECT_FALSE(receiver_->Snapshot().announced);
    EXPECT_EQ(Send(setInfo), kSetInfoAck);
    EXPECT_TRUE(receiver_->Snapshot().announced);

    const Bytes block(image.begin(), image.begin() + 1000);
    EXPECT_EQ(Send(FwLoad(0, block)), (Bytes{0x01, 0x01, 0x09, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Send(kWriteFw), Refused(0, 0x0903, Receiver::kStatusNothingStaged));  // that load was not staged
    std::optional<Bytes> last;
    ASSERT_TRUE(SendImage(image, 4096, last));
    EXPECT_EQ(last, kWriteFwAck);
    EXPECT_TRUE(receiver_->Snapshot().verified);
    EXPECT_EQ(model_.RequestCount(), 9u);
}

TEST_F(FirmwareReceiverTest, GoneReceiverLeavesTheFunctionsUnknown) {
    receiver_.reset();
    EXPECT_EQ(Send(SetInfo(0, 1000, 0)), Refused(0, 0x0900, azk_CDeviceModel::kStatusUnknownFunction));
}

}  // namespace
}  // namespace azk

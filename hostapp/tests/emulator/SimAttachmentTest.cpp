// SimAttachmentTest.cpp - the device model on the sim bus, driven from the
// host side of the platform interface.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/SimAttachment.h"
#include "transport/platform/sim/SimPlatform.h"

namespace azk {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Report(size_t length, Bytes bytes) {
    bytes.resize(length, 0);
    return bytes;
}

struct BusCase {
    uint16_t reportLength;
    bool numbered;
    uint8_t inputId;
    uint8_t outputId;
};

class SimAttachmentTest : public ::testing::TestWithParam<BusCase> {
protected:
    SimAttachmentTest()
        : device_(sim::SimBus::Instance().AddDevice(
              sim::VendorDeviceSpec(0x1209, 0x0001, GetParam().reportLength, GetParam().numbered))),
          model_(GetParam().reportLength),
          attachment_(std::make_unique<azk_CSimAttachment>(model_, device_)) {}

    ~SimAttachmentTest() override {
        host_.reset();
        attachment_.reset();
        sim::SimBus::Instance().Remove(device_);
    }

    void OpenHost() {
        for (const std::string& path : sim::SimBus::Instance().List()) {
            if (sim::SimBus::Instance().Find(path) == device_) {
                host_ = sim::SimPlatform().OpenInterface(path);
            }
        }
        ASSERT_NE(host_, nullptr);
    }

    size_t ByteLength() const { return GetParam().reportLength + 1u; }

    HidIoResult HostWrite(const Bytes& report) { return host_->Write(report.data(), report.size(), 500); }

    // Reads one input report, waiting at most `timeoutMs`.
    Bytes HostRead(int32_t timeoutMs = 10000) {
        Bytes report(ByteLength(), 0xCC);
        if (host_->Read(report.data(), report.size(), timeoutMs) != HidIoResult::Ok) return {};
        return report;
    }

    std::shared_ptr<sim::SimDevice> device_;
    azk_CDeviceModel model_;
    std::unique_ptr<azk_CSimAttachment> attachment_;
    std::unique_ptr<HidInterface> host_;
};

TEST_P(SimAttachmentTest, KeyLockExchangeWithReportIds) {
    const BusCase& c = GetParam();
    EXPECT_EQ(attachment_->InputReportId(), c.inputId);
    EXPECT_EQ(attachment_->OutputReportId(), c.outputId);
    OpenHost();

    // Reports of another ID or length do not reach the device.
    ASSERT_EQ(HostWrite(Report(ByteLength(), {static_cast<uint8_t>(c.outputId + 1), 0x80, 0x02, 0x36})),
              HidIoResult::Ok);
    ASSERT_EQ(HostWrite(Report(ByteLength() - 1, {c.outputId, 0x80, 0x02, 0x36})), HidIoResult::Ok);
    EXPECT_EQ(model_.RequestCount(), 0u);

    ASSERT_EQ(HostWrite(Report(ByteLength(), {c.outputId, 0x80, 0x00, 0x36, 0x00, 0x00, 0x00, 0x00,
                                              0x02, 0x00, 0x3D, 0x00})),
              HidIoResult::Ok);
    EXPECT_EQ(HostRead(), Report(ByteLength(), {c.inputId, 0x83, 0x01, 0x36, 0x00, 0x00, 0x00, 0x00,
                                                0x00, 0x00}));
    ASSERT_EQ(HostWrite(Report(ByteLength(), {c.outputId, 0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00,
                                              0x00, 0x00})),
              HidIoResult::Ok);
    EXPECT_EQ(HostRead(), Report(ByteLength(), {c.inputId, 0x83, 0x03, 0x36, 0x00, 0x00, 0x00, 0x00,
                                                0x02, 0x00, 0x3D, 0x00}));
    EXPECT_EQ(model_.RequestCount(), 2u);

    ASSERT_TRUE(model_.SendEvent(5, 0x02));
    EXPECT_EQ(HostRead(), Report(ByteLength(), {c.inputId, 0x90, 0x05, 0x02}));
}

TEST_P(SimAttachmentTest, UnplugAfterAnswerEndsTheHostsReads) {
    const BusCase& c = GetParam();
    OpenHost();
    model_.UnplugAfterRequests(1);
    ASSERT_EQ(HostWrite(Report(ByteLength(), {c.outputId, 0x80, 0x02, 0x36, 0x00, 0x00, 0x01})),
              HidIoResult::Ok);
    EXPECT_TRUE(device_->Unplugged());
    // The reads fail: the device left the bus together with what it queued.
    EXPECT_TRUE(HostRead().empty());
    EXPECT_EQ(HostWrite(Report(ByteLength(), {c.outputId, 0x80})), HidIoResult::Failed);
    for (const std::string& path : sim::SimBus::Instance().List()) {
        EXPECT_NE(sim::SimBus::Instance().Find(path), device_);
    }
}

TEST_P(SimAttachmentTest, DetachedModelNeitherHearsNorSpeaks) {
    const BusCase& c = GetParam();
    OpenHost();
    attachment_.reset();
    ASSERT_EQ(HostWrite(Report(ByteLength(), {c.outputId, 0x80, 0x02, 0x36})), HidIoResult::Ok);
    EXPECT_EQ(model_.RequestCount(), 0u);
    EXPECT_TRUE(model_.SendEvent(1, 1));  // goes nowhere
    EXPECT_TRUE(HostRead(0).empty());
    EXPECT_FALSE(device_->Unplugged());
}

TEST_P(SimAttachmentTest, DetachWhileTheHostWritesAndLateAnswersAreDue) {
    const BusCase& c = GetParam();
    OpenHost();
    azk_SMisbehaviour late;
    late.delayMs = 1;
    model_.MisbehaveAlways(late);
    std::atomic<bool> detached{false};
    std::atomic<bool> writerDone{false};
    std::atomic<int> writesAfterDetach{0};
    // The host keeps reading, as the receiver does, so that answers never
    // pile up in the bus's input queue.
    std::thread reader([&] {
        Bytes report(ByteLength());
        while (!writerDone.load()) host_->Read(report.data(), report.size(), 10);
    });
    std::thread writer([&] {
        const Bytes get = Report(ByteLength(), {c.outputId, 0x80, 0x02, 0x36});
        while (writesAfterDetach.load() < 20) {
            const bool wasDetached = detached.load();
            host_->Write(get.data(), get.size(), 500);
            if (wasDetached) ++writesAfterDetach;
        }
    });
    ASSERT_TRUE(model_.WaitForRequests(5, 10000));
    attachment_.reset();
    const uint64_t seen = model_.RequestCount();
    detached = true;
    writer.join();
    writerDone = true;
    reader.join();
    EXPECT_EQ(model_.RequestCount(), seen);
}

INSTANTIATE_TEST_SUITE_P(Variants, SimAttachmentTest,
                         ::testing::Values(BusCase{16, false, 0, 0}, BusCase{64, true, 1, 2}),
                         [](const ::testing::TestParamInfo<BusCase>& p) {
                             return std::to_string(p.param.reportLength) +
                                    (p.param.numbered ? "Numbered" : "Unnumbered");
                         });

TEST(SimAttachmentSetupTest, RejectsADeviceOfAnotherReportLength) {
    auto device = std::make_shared<sim::SimDevice>(sim::VendorDeviceSpec(0x1209, 0x0002, 64));
    azk_CDeviceModel model(16);
    EXPECT_THROW(azk_CSimAttachment(model, device), std::invalid_argument);
    EXPECT_THROW(azk_CSimAttachment(model, nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace azk

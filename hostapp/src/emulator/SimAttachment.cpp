// SimAttachment.cpp - the sim bus attachment of the device model.
#include "emulator/SimAttachment.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace azk {

namespace {

// The report ID of a report type: that of its first capability (0 when the
// device does not number its reports).
uint8_t ReportIdOf(const HidCapabilities& caps, HidReportType type) {
    const HidReportTypeCaps& t = caps.Of(type);
    if (!t.values.empty()) return t.values.front().reportId;
    if (!t.buttons.empty()) return t.buttons.front().reportId;
    return 0;
}

}  // namespace

// The model's sink, and the target of the device's output handler. The
// handler may still run on the host's writing thread after it has been
// removed from the device, so it reaches the model only through this object,
// which the attachment disconnects under its lock.
class azk_CSimAttachment::Link final : public azk_CReportSink {
public:
    Link(azk_CDeviceModel* model, sim::SimDevice* device, uint8_t inputId, uint8_t outputId)
        : model_(model), device_(device), inputId_(inputId), outputId_(outputId) {}

    // Host writing thread: one output report, ID byte first.
    void OnOutput(const uint8_t* report, size_t length) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (model_ == nullptr || report == nullptr || length != model_->ReportLength() + 1 ||
            report[0] != outputId_) {
            return;
        }
        model_->OnOutputReport(report + 1, length - 1);
    }

    void Disconnect() {
        std::lock_guard<std::mutex> lock(mutex_);
        model_ = nullptr;
    }

    // Called by the model under its traffic lock; the device outlives every
    // such call (the attachment removes the sink before it lets go of it).
    void SendReport(const uint8_t* report, size_t length) override {
        std::vector<uint8_t> withId(length + 1);
        withId[0] = inputId_;
        std::copy(report, report + length, withId.begin() + 1);
        device_->SendInput(withId);
    }

    void Unplug() override { device_->Unplug(); }

    uint8_t InputId() const { return inputId_; }
    uint8_t OutputId() const { return outputId_; }

private:
    std::mutex mutex_;
    azk_CDeviceModel* model_;
    sim::SimDevice* const device_;
    const uint8_t inputId_;
    const uint8_t outputId_;
};

azk_CSimAttachment::azk_CSimAttachment(azk_CDeviceModel& model, std::shared_ptr<sim::SimDevice> device)
    : model_(model), device_(std::move(device)) {
    if (!device_) {
        throw std::invalid_argument("no sim device");
    }
    const HidCapabilities& caps = device_->Description().caps;
    const size_t byteLength = model_.ReportLength() + 1;
    if (caps.Of(HidReportType::Input).byteLength != byteLength ||
        caps.Of(HidReportType::Output).byteLength != byteLength) {
        throw std::invalid_argument("sim device and model differ in report length");
    }
    link_ = std::make_shared<Link>(&model_, device_.get(), ReportIdOf(caps, HidReportType::Input),
                                   ReportIdOf(caps, HidReportType::Output));
    model_.SetSink(link_.get());
    std::shared_ptr<Link> link = link_;
    device_->SetOutputHandler(
        [link](const uint8_t* report, size_t length) { link->OnOutput(report, length); });
}

azk_CSimAttachment::~azk_CSimAttachment() {
    device_->SetOutputHandler(nullptr);
    link_->Disconnect();      // waits for a handler call in progress
    model_.SetSink(nullptr);  // waits for a send in progress
}

uint8_t azk_CSimAttachment::InputReportId() const { return link_->InputId(); }
uint8_t azk_CSimAttachment::OutputReportId() const { return link_->OutputId(); }

}  // namespace azk

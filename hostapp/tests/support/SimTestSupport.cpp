#include "SimTestSupport.h"

#include <algorithm>

namespace azk::test {

Bytes Padded(const Bytes& bytes, size_t length) {
    Bytes out(bytes);
    out.resize(std::max(length, bytes.size()), 0);
    return out;
}

Bytes Padded(std::initializer_list<uint8_t> bytes, size_t length) { return Padded(Bytes(bytes), length); }

Bytes BusReport(const Bytes& bytes, size_t reportLength) {
    Bytes out{0};
    out.insert(out.end(), bytes.begin(), bytes.end());
    return Padded(out, reportLength + 1);
}

Bytes BusReport(std::initializer_list<uint8_t> bytes, size_t reportLength) {
    return BusReport(Bytes(bytes), reportLength);
}

ScriptedDevice::ScriptedDevice(std::shared_ptr<sim::SimDevice> device) : device_(std::move(device)) {
    device_->SetOutputHandler([this](const uint8_t* report, size_t length) { OnReport(report, length); });
}

ScriptedDevice::~ScriptedDevice() { device_->SetOutputHandler(nullptr); }

void ScriptedDevice::Script(std::vector<Bytes> answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    script_.push_back(std::move(answer));
}

size_t ScriptedDevice::RequestsSeen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void ScriptedDevice::OnReport(const uint8_t* report, size_t length) {
    // report[0] is the report ID, report[1] the marker, then the message.
    if (length < 9) return;
    const size_t p = length - 2;
    const size_t messageLength = 8u + static_cast<size_t>(report[8] | (report[9] << 8));
    const bool whole = (report[1] == 0x80 && messageLength <= p) || report[1] == 0x82;
    if (!whole) return;
    std::vector<Bytes> answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        ++requests_;
        if (script_.empty()) return;
        answer = std::move(script_.front());
        script_.pop_front();
    }
    for (const Bytes& input : answer) device_->SendInput(input);
}

std::shared_ptr<sim::SimDevice> SimBusTest::AddSpeakerphone(int variant, bool numbered) {
    const uint16_t productId = static_cast<uint16_t>(AZK_PRODUCT_ID + (variant == 2 ? 1 : 0));
    const uint16_t length = variant == 2 ? 64 : 16;
    return sim::SimBus::Instance().AddDevice(
        sim::VendorDeviceSpec(AZK_VENDOR_ID, productId, length, numbered));
}

}  // namespace azk::test

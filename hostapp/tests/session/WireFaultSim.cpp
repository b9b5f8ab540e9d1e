// The wire fault tests on the sim bus: the device model on a SimDevice.
#include <memory>

#include "SimTestSupport.h"
#include "WireFaultHarness.h"
#include "emulator/SimAttachment.h"

namespace azk::test {
namespace {

class SimHarness : public WireFaultHarness {
public:
    SimHarness() {
        sim::SimBus::Instance().Clear();
        device_ = sim::SimBus::Instance().AddDevice(sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16));
        attachment_ = std::make_unique<azk_CSimAttachment>(model_, device_);
    }
    ~SimHarness() override {
        attachment_.reset();
        sim::SimBus::Instance().Clear();
    }
    azk_CDeviceModel& Model() override { return model_; }
    SessionHandle Create(SessionEventCallback callback) override { return SessionCreate(1, callback); }
    bool Quiesce() override { return device_->WaitForBlockedReader(5000); }

private:
    azk_CDeviceModel model_{16};
    std::shared_ptr<sim::SimDevice> device_;
    std::unique_ptr<azk_CSimAttachment> attachment_;
};

}  // namespace

std::unique_ptr<WireFaultHarness> MakeWireFaultHarness() { return std::make_unique<SimHarness>(); }

}  // namespace azk::test

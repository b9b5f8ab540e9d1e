// SimAttachment.h - puts a device model on the in-memory sim bus.
//
// The attachment forwards every output report the host writes to the
// SimDevice into the model, with the report ID byte taken off (reports of
// another ID or length are ignored, as a device ignores them), and queues the
// model's input reports on the SimDevice with the device's input report ID in
// front. The model's unplug unplugs the SimDevice.
//
// The model and the attachment must be of the same report length (the
// device's report byte lengths less the ID byte). The model must outlive the
// attachment; the attachment holds the SimDevice. Destroying the attachment
// detaches the model: no host write reaches it and it sends nothing more to
// the bus afterwards.
//
// This library does not link the sim platform itself; an executable that uses
// the attachment links azk_platform_sim.
#ifndef AZK_EMULATOR_SIM_ATTACHMENT_H
#define AZK_EMULATOR_SIM_ATTACHMENT_H

#include <cstdint>
#include <memory>

#include "emulator/DeviceModel.h"
#include "transport/platform/sim/SimPlatform.h"

namespace azk {

class azk_CSimAttachment {
public:
    // Throws std::invalid_argument when the device is null or its input or
    // output report byte length is not model.ReportLength() + 1.
    azk_CSimAttachment(azk_CDeviceModel& model, std::shared_ptr<sim::SimDevice> device);
    ~azk_CSimAttachment();

    azk_CSimAttachment(const azk_CSimAttachment&) = delete;
    azk_CSimAttachment& operator=(const azk_CSimAttachment&) = delete;

    const std::shared_ptr<sim::SimDevice>& Device() const { return device_; }
    uint8_t InputReportId() const;
    uint8_t OutputReportId() const;

private:
    class Link;

    azk_CDeviceModel& model_;
    std::shared_ptr<sim::SimDevice> device_;
    std::shared_ptr<Link> link_;  // shared with the device's output handler
};

}  // namespace azk

#endif

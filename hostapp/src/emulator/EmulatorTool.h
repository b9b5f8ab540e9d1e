// EmulatorTool.h - the DeviceEmulator tool: publishes the devices its
// command line describes (EmulatorOptions.h) and either runs a command
// against them in a private directory or serves until stopped.
#ifndef AZK_EMULATOR_EMULATOR_TOOL_H
#define AZK_EMULATOR_EMULATOR_TOOL_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "emulator/DeviceModel.h"
#include "emulator/EmulatorOptions.h"
#include "emulator/FirmwareReceiver.h"
#include "emulator/UhidAttachment.h"
#include "emulator/VhidServer.h"

namespace azk {

// Trace lines on standard error, "[label] text", one write per line.
class azk_CTraceWriter {
public:
    explicit azk_CTraceWriter(bool enabled) : enabled_(enabled) {}
    bool Enabled() const { return enabled_; }
    void Line(const std::string& label, const std::string& text);

private:
    const bool enabled_;
    std::mutex mutex_;
};

// One published device: its model, its firmware receiver, its attachment,
// and the traffic it sends on its own.
class azk_CEmulatedDevice {
public:
    azk_CEmulatedDevice(const azk_SDeviceDescription& description, std::string label,
                        azk_CTraceWriter& trace);
    ~azk_CEmulatedDevice();

    azk_CEmulatedDevice(const azk_CEmulatedDevice&) = delete;
    azk_CEmulatedDevice& operator=(const azk_CEmulatedDevice&) = delete;

    bool PublishVhid(const std::string& directory, const std::string& socketName, std::string& error);
    bool PublishUhid(std::string& error);
    void Stop();

    // Where the device can be found: its socket path, or its hidraw node.
    std::string Location() const;
    azk_CDeviceModel& Model() { return model_; }
    azk_CFirmwareReceiver& Firmware() { return firmware_; }

private:
    void OnConnected();
    void AfterOutputReport();
    void Send(const azk_SEmulatedTraffic& traffic);

    const azk_SDeviceDescription description_;
    const std::string label_;
    azk_CTraceWriter& trace_;
    azk_CDeviceModel model_;
    azk_CFirmwareReceiver firmware_;  // after model_: unregisters before it goes
    std::vector<bool> sent_;  // per traffic entry; used on the attachment's thread only
    std::unique_ptr<azk_CVhidServer> vhid_;
    std::unique_ptr<azk_CUhidAttachment> uhid_;
    std::string uhidNode_;
};

// The whole tool on the words after the program name; returns the exit
// status. Changes the process's signal handling: for main() only.
int RunDeviceEmulator(const std::vector<std::string>& args);

}  // namespace azk

#endif

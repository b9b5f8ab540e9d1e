// UhidAttachment.h - publishes one device model as a kernel HID device
// through /dev/uhid, so it appears as a hidraw node like a real USB device.
//
// The device is created with UHID_CREATE2 and the emulated interface's
// report descriptor (numbered or not). The host's output reports arrive as
// UHID_OUTPUT events carrying the buffer written to hidraw verbatim, report
// ID byte first, 0 included for an unnumbered device (real USB drops that
// byte; uhid does not, so it is dropped here); one whose length is not the
// output report byte length or whose ID is not the output report ID is
// ignored. Input reports leave as UHID_INPUT2, with the report ID first only
// when numbered. GET_REPORT and SET_REPORT requests are answered with an
// error at once (the device has no feature reports). An unplug destroys the
// kernel device (UHID_DESTROY): the host's pending read fails.
//
// The kernel adds the HID device on a work queue after UHID_CREATE2, and its
// hidraw node exists only once a driver (hid-generic) has bound to it:
// WaitForHidraw finds that node through the device's unique physical path.
//
// UHID_OPEN and UHID_CLOSE come with the first open and the last close of
// the hidraw node. The connect hook runs for an open once the events queued
// behind it have been read: an open already followed by a close (a host that
// only looked at the device) gets no connect traffic, which would otherwise
// reach whoever opens the node next.
//
// Threads: one thread reads the uhid events and feeds the model; the model's
// input reports may come from any thread.
#ifndef AZK_EMULATOR_UHID_ATTACHMENT_H
#define AZK_EMULATOR_UHID_ATTACHMENT_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "emulator/DeviceDescriptor.h"
#include "emulator/DeviceModel.h"

namespace azk {

struct azk_SUhidOptions {
    std::string path = "/dev/uhid";
    std::string name = "KeyConfig device emulator";  // the kernel device's name
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0x0100;
    bool numbered = true;
    // Where WaitForHidraw looks for the node; moved by tests.
    std::string sysfsRoot = "/sys/class/hidraw";
    std::string devRoot = "/dev";

    // As for the vhid server: trace lines; a hook after the host opened the
    // device (UHID_OPEN) and after each output report reached the model.
    std::function<void(const std::string&)> log;
    std::function<void()> onConnected;
    std::function<void()> afterOutputReport;
};

class azk_CUhidAttachment final : private azk_CReportSink {
public:
    // The model must outlive the attachment.
    azk_CUhidAttachment(azk_CDeviceModel& model, azk_SUhidOptions options);
    ~azk_CUhidAttachment() override;

    azk_CUhidAttachment(const azk_CUhidAttachment&) = delete;
    azk_CUhidAttachment& operator=(const azk_CUhidAttachment&) = delete;

    // Opens options.path and creates the device. Returns false with a
    // message in `error` when /dev/uhid is missing or refused.
    bool Start(std::string& error);
    // The same on an open descriptor that speaks the uhid protocol (taken
    // over; closed on failure too). Tests use it to play the kernel.
    bool StartOn(int fd, std::string& error);

    // Waits up to timeoutMs for the hidraw node of the device and gives its
    // path ("/dev/hidraw3"). Returns false with a message in `error` when it
    // does not appear (no driver bound to the device) or the device is gone.
    bool WaitForHidraw(int timeoutMs, std::string& node, std::string& error) const;

    // Destroys the kernel device and stops. Harmless when not started.
    void Stop();

    bool Stopped() const { return stopped_.load(); }
    // The device's physical path, unique in this process: the kernel shows
    // it as HID_PHYS in the device's uevent.
    const std::string& Phys() const { return phys_; }

private:
    void SendReport(const uint8_t* report, size_t length) override;
    void Unplug() override;

    void ReadLoop();
    void Connected();
    bool WriteEvent(const void* event, size_t size);
    void Log(const std::string& line) const;

    azk_CDeviceModel& model_;
    const azk_SUhidOptions options_;
    const azk_SEmulatedInterface iface_;
    const std::string phys_;

    int fd_ = -1;
    int wake_ = -1;
    std::thread thread_;
    bool started_ = false;

    std::mutex writeMutex_;  // one event written at a time; guards destroyed_
    bool destroyed_ = false;
    std::atomic<bool> stopped_{false};
};

}  // namespace azk

#endif

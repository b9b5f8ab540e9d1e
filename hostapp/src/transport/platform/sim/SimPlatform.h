// SimPlatform.h - an in-memory HID bus for tests.
//
// Tests place devices on the bus in the order the platform lists them, and
// play the device side: a handler sees every output report the host writes,
// and SendInput queues input reports for the host to read. A device can be
// held by another program (it cannot be opened), have its writes stay
// pending, or be unplugged (pending and later reads fail, and it leaves the
// list).
//
// Reports on the bus are in the Windows form: report ID byte first, then the
// data bytes, for exactly the report byte length.
#ifndef AZK_TRANSPORT_SIM_PLATFORM_H
#define AZK_TRANSPORT_SIM_PLATFORM_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "transport/platform/HidPlatform.h"

namespace azk::sim {

struct SimDeviceSpec {
    HidAttributes attributes;
    HidCapabilities caps;
    bool heldByOtherProgram = false;  // opening it fails
    bool queriesFail = false;         // it opens, but its HID queries fail
    bool ioEventsFail = false;        // its read and write events cannot be created
    bool permissionDenied = false;    // opening it is refused for want of permission
    int collection = 0;               // its top-level collection within its device
    // Whether its reads can be interrupted (the session then lets a request
    // read its own response). Off by default: a device handler answers on
    // the writing thread, so an answer longer than the input queue would
    // wait for a reader that is still writing.
    bool interruptibleReads = false;
};

// A vendor-defined interface with one input and one output report of
// reportLength data bytes: byte lengths reportLength + 1. Numbered reports
// use input ID 1 and output ID 2; unnumbered ones ID 0.
SimDeviceSpec VendorDeviceSpec(uint16_t vendorId, uint16_t productId, uint16_t reportLength,
                               bool numbered = false);

class SimDevice {
public:
    // Called on the writing thread with each output report the host writes
    // (report ID byte first), outside every lock of the bus: the handler may
    // call SendInput, Unplug or anything else of the device.
    using OutputHandler = std::function<void(const uint8_t* report, size_t length)>;

    explicit SimDevice(SimDeviceSpec description, size_t inputQueueCapacity = 1024);

    const SimDeviceSpec& Description() const { return description_; }

    void SetOutputHandler(OutputHandler handler);

    // Queues one input report (report ID byte first) for the open interface.
    // Shorter reports are zero-filled to the input byte length, longer ones
    // cut. Blocks while the queue is full; dropped when no interface is open.
    void SendInput(const uint8_t* report, size_t length);
    void SendInput(const std::vector<uint8_t>& report) { SendInput(report.data(), report.size()); }

    // Writes stay pending (never complete) while set; a timed write then
    // times out, an untimed one waits until this is cleared or the device is
    // unplugged.
    void SetWritesStayPending(bool pending);

    // The device leaves the bus: pending and later reads and writes fail.
    void Unplug();
    bool Unplugged() const;

    // Every output report written so far (recording can be turned off for
    // benchmarks), and how often the device has been opened.
    void SetRecordWrites(bool record);
    std::vector<std::vector<uint8_t>> WrittenReports() const;
    void ClearWrittenReports();
    int OpenCount() const;
    int OpenHandles() const;

    // Blocks until `count` reports have been written or `timeoutMs` passed.
    bool WaitForWrites(size_t count, int timeoutMs) const;
    // Blocks until the input queue is empty or `timeoutMs` passed.
    bool WaitForInputDrained(int timeoutMs) const;
    // Blocks until a read is waiting on an empty queue, or `timeoutMs` passed.
    bool WaitForBlockedReader(int timeoutMs) const;

private:
    friend class SimInterface;
    friend class SimPlatformImpl;

    // The host side, used by the platform's interface objects. `woken` is
    // the interface's own wake flag, guarded by mutex_.
    HidIoResult HostRead(uint8_t* buffer, size_t length, int32_t timeoutMs, const bool& woken,
                         bool& interrupted);
    HidIoResult HostWrite(const uint8_t* buffer, size_t length, int32_t timeoutMs);
    void HostWake(bool& woken);
    void HostInterrupt(bool& interrupted);
    bool HostOpen();
    void HostClose();

    const SimDeviceSpec description_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    OutputHandler handler_;
    std::vector<uint8_t> ring_;  // capacity_ slots of slotSize_ bytes
    size_t slotSize_;
    size_t capacity_;
    size_t head_ = 0;
    size_t count_ = 0;
    bool unplugged_ = false;
    bool writesPending_ = false;
    bool recordWrites_ = true;
    int blockedReaders_ = 0;
    int openCount_ = 0;
    int openHandles_ = 0;
    std::vector<std::vector<uint8_t>> written_;
};

class SimBus {
public:
    static SimBus& Instance();

    // Adds a device at the end of the list (or at `position`).
    std::shared_ptr<SimDevice> AddDevice(SimDeviceSpec description);
    std::shared_ptr<SimDevice> InsertDevice(size_t position, SimDeviceSpec description);
    void Remove(const std::shared_ptr<SimDevice>& device);
    // Removes every device (they are unplugged).
    void Clear();

    // How often the platform has listed the bus since the last Clear.
    int ListCount() const;

    // The platform side.
    std::vector<std::string> List();
    std::shared_ptr<SimDevice> Find(const std::string& path) const;

private:
    mutable std::mutex mutex_;
    std::vector<std::pair<std::string, std::shared_ptr<SimDevice>>> devices_;
    unsigned nextId_ = 0;
    int listCount_ = 0;
};

// The sim platform over SimBus::Instance().
HidPlatform& SimPlatform();

}  // namespace azk::sim

#endif

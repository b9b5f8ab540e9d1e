#include "transport/platform/sim/SimPlatform.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace azk::sim {

SimDeviceSpec VendorDeviceSpec(uint16_t vendorId, uint16_t productId, uint16_t reportLength,
                               bool numbered) {
    SimDeviceSpec description;
    description.attributes.vendorId = vendorId;
    description.attributes.productId = productId;
    description.attributes.versionNumber = 0x0100;
    const uint16_t byteLength = static_cast<uint16_t>(reportLength + 1);
    HidCapability value;
    value.usagePage = 0xFF00;
    value.usageMin = value.usageMax = 0x01;
    value.reportCount = reportLength;
    HidReportTypeCaps& in = description.caps.Of(HidReportType::Input);
    in.byteLength = byteLength;
    value.reportId = numbered ? 1 : 0;
    in.values.push_back(value);
    HidReportTypeCaps& out = description.caps.Of(HidReportType::Output);
    out.byteLength = byteLength;
    value.reportId = numbered ? 2 : 0;
    value.usageMin = value.usageMax = 0x02;
    out.values.push_back(value);
    return description;
}

// ---------------------------------------------------------------- SimDevice

SimDevice::SimDevice(SimDeviceSpec description, size_t inputQueueCapacity)
    : description_(std::move(description)),
      slotSize_(std::max<size_t>(1, description_.caps.Of(HidReportType::Input).byteLength)),
      capacity_(std::max<size_t>(1, inputQueueCapacity)) {
    ring_.assign(slotSize_ * capacity_, 0);
}

void SimDevice::SetOutputHandler(OutputHandler handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

void SimDevice::SendInput(const uint8_t* report, size_t length) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Like the HID stack, the bus keeps input only for an open interface;
    // while one is open and its queue is full, the device waits for it.
    changed_.wait(lock, [this] { return unplugged_ || openHandles_ == 0 || count_ < capacity_; });
    if (unplugged_ || openHandles_ == 0) return;
    uint8_t* slot = &ring_[((head_ + count_) % capacity_) * slotSize_];
    const size_t n = std::min(length, slotSize_);
    std::memcpy(slot, report, n);
    std::memset(slot + n, 0, slotSize_ - n);
    ++count_;
    changed_.notify_all();
}

void SimDevice::SetWritesStayPending(bool pending) {
    std::lock_guard<std::mutex> lock(mutex_);
    writesPending_ = pending;
    changed_.notify_all();
}

void SimDevice::Unplug() {
    std::lock_guard<std::mutex> lock(mutex_);
    unplugged_ = true;
    changed_.notify_all();
}

bool SimDevice::Unplugged() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return unplugged_;
}

void SimDevice::SetRecordWrites(bool record) {
    std::lock_guard<std::mutex> lock(mutex_);
    recordWrites_ = record;
}

std::vector<std::vector<uint8_t>> SimDevice::WrittenReports() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return written_;
}

void SimDevice::ClearWrittenReports() {
    std::lock_guard<std::mutex> lock(mutex_);
    written_.clear();
}

int SimDevice::OpenCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openCount_;
}

int SimDevice::OpenHandles() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return openHandles_;
}

bool SimDevice::WaitForWrites(size_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return written_.size() >= count; });
}

bool SimDevice::WaitForInputDrained(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return count_ == 0; });
}

bool SimDevice::WaitForBlockedReader(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [&] { return blockedReaders_ > 0 && count_ == 0; });
}

HidIoResult SimDevice::HostRead(uint8_t* buffer, size_t length, int32_t timeoutMs,
                                const bool& woken, bool& interrupted) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto ready = [&] { return woken || interrupted || unplugged_ || count_ > 0; };
    if (!ready()) {
        if (timeoutMs != -1 && timeoutMs <= 0) return HidIoResult::TimedOut;
        ++blockedReaders_;
        changed_.notify_all();
        bool done = true;
        if (timeoutMs == -1) {
            changed_.wait(lock, ready);
        } else {
            done = changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
        }
        --blockedReaders_;
        if (!done) return HidIoResult::TimedOut;
    }
    if (woken || unplugged_) return HidIoResult::Failed;
    if (interrupted) {
        interrupted = false;
        return HidIoResult::Interrupted;
    }
    const uint8_t* slot = &ring_[head_ * slotSize_];
    const size_t n = std::min(length, slotSize_);
    std::memcpy(buffer, slot, n);
    std::memset(buffer + n, 0, length - n);
    head_ = (head_ + 1) % capacity_;
    --count_;
    changed_.notify_all();
    return HidIoResult::Ok;
}

HidIoResult SimDevice::HostWrite(const uint8_t* buffer, size_t length, int32_t timeoutMs) {
    OutputHandler handler;
    {
        std::unique_lock<std::mutex> lock(mutex_);
        auto ready = [&] { return unplugged_ || !writesPending_; };
        if (!ready()) {
            if (timeoutMs == -1) {
                changed_.wait(lock, ready);
            } else if (timeoutMs <= 0 ||
                       !changed_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready)) {
                return HidIoResult::TimedOut;  // the write is abandoned
            }
        }
        if (unplugged_) return HidIoResult::Failed;
        if (recordWrites_) written_.emplace_back(buffer, buffer + length);
        handler = handler_;
        changed_.notify_all();
    }
    if (handler) handler(buffer, length);
    return HidIoResult::Ok;
}

void SimDevice::HostWake(bool& woken) {
    std::lock_guard<std::mutex> lock(mutex_);
    woken = true;
    changed_.notify_all();
}

void SimDevice::HostInterrupt(bool& interrupted) {
    std::lock_guard<std::mutex> lock(mutex_);
    interrupted = true;
    changed_.notify_all();
}

bool SimDevice::HostOpen() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (unplugged_ || description_.heldByOtherProgram || description_.permissionDenied) return false;
    ++openCount_;
    ++openHandles_;
    return true;
}

void SimDevice::HostClose() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--openHandles_ == 0) {
        head_ = count_ = 0;  // what nobody read is gone with the last handle
        changed_.notify_all();
    }
}

// ------------------------------------------------------- SimInterface (host)

class SimInterface final : public HidInterface {
public:
    explicit SimInterface(std::shared_ptr<SimDevice> device) : device_(std::move(device)) {}
    ~SimInterface() override { device_->HostClose(); }

    const HidAttributes& Attributes() const override { return device_->description_.attributes; }
    const HidCapabilities& Capabilities() const override { return device_->description_.caps; }

    uint32_t MaxUsageListLength(HidReportType type, uint16_t usagePage) const override {
        uint32_t n = 0;
        for (const HidCapability& cap : device_->description_.caps.Of(type).buttons) {
            if (usagePage == 0 || cap.usagePage == usagePage) {
                n += cap.isRange ? static_cast<uint32_t>(cap.usageMax - cap.usageMin + 1) : 1u;
            }
        }
        return n;
    }

    HidIoResult Read(uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        return device_->HostRead(buffer, length, timeoutMs, woken_, interrupted_);
    }

    HidIoResult Write(const uint8_t* buffer, size_t length, int32_t timeoutMs) override {
        return device_->HostWrite(buffer, length, timeoutMs);
    }

    bool CreateIoEvents() override { return !device_->description_.ioEventsFail; }

    void WakeRead() override { device_->HostWake(woken_); }

    bool CanInterruptRead() const override { return device_->description_.interruptibleReads; }
    void InterruptRead() override { device_->HostInterrupt(interrupted_); }

private:
    std::shared_ptr<SimDevice> device_;
    bool woken_ = false;        // guarded by the device's mutex
    bool interrupted_ = false;  // guarded by the device's mutex
};

// ------------------------------------------------------------------- SimBus

SimBus& SimBus::Instance() {
    static SimBus bus;
    return bus;
}

std::shared_ptr<SimDevice> SimBus::AddDevice(SimDeviceSpec description) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = std::make_shared<SimDevice>(std::move(description));
    devices_.emplace_back("sim:" + std::to_string(nextId_++), device);
    return device;
}

std::shared_ptr<SimDevice> SimBus::InsertDevice(size_t position, SimDeviceSpec description) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto device = std::make_shared<SimDevice>(std::move(description));
    position = std::min(position, devices_.size());
    devices_.insert(devices_.begin() + static_cast<std::ptrdiff_t>(position),
                    {"sim:" + std::to_string(nextId_++), device});
    return device;
}

void SimBus::Remove(const std::shared_ptr<SimDevice>& device) {
    std::lock_guard<std::mutex> lock(mutex_);
    devices_.erase(std::remove_if(devices_.begin(), devices_.end(),
                                  [&](const auto& entry) { return entry.second == device; }),
                   devices_.end());
}

void SimBus::Clear() {
    std::vector<std::pair<std::string, std::shared_ptr<SimDevice>>> gone;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        gone.swap(devices_);
        listCount_ = 0;
    }
    for (auto& entry : gone) entry.second->Unplug();
}

int SimBus::ListCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return listCount_;
}

std::vector<std::string> SimBus::List() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++listCount_;
    std::vector<std::string> paths;
    for (const auto& entry : devices_) {
        if (!entry.second->Unplugged()) paths.push_back(entry.first);
    }
    return paths;
}

std::shared_ptr<SimDevice> SimBus::Find(const std::string& path) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : devices_) {
        if (entry.first == path) return entry.second;
    }
    return nullptr;
}

// ---------------------------------------------------------------- platform

class SimPlatformImpl final : public HidPlatform {
public:
    std::vector<std::string> ListInterfaces() override { return SimBus::Instance().List(); }

    std::unique_ptr<HidInterface> OpenInterface(const std::string& path) override {
        std::shared_ptr<SimDevice> device = SimBus::Instance().Find(path);
        if (!device || !device->HostOpen()) return nullptr;
        auto handle = std::make_unique<SimInterface>(device);
        if (device->Description().queriesFail) return nullptr;  // the handle closes again
        return handle;
    }

    // The bus knows every device's IDs and lengths, also of one that does
    // not open, as a platform that reads them without opening does.
    HidInterfaceInfo DescribeInterface(const std::string& path) override {
        HidInterfaceInfo info;
        std::shared_ptr<SimDevice> device = SimBus::Instance().Find(path);
        if (!device || device->Unplugged()) {
            info.status = HidOpenStatus::Gone;
            return info;
        }
        const SimDeviceSpec& description = device->Description();
        info.idsKnown = true;
        info.attributes = description.attributes;
        info.lengthsKnown = true;
        info.inputByteLength = description.caps.Of(HidReportType::Input).byteLength;
        info.outputByteLength = description.caps.Of(HidReportType::Output).byteLength;
        info.collection = description.collection;
        if (description.permissionDenied) {
            info.status = HidOpenStatus::PermissionDenied;
        } else if (description.heldByOtherProgram) {
            info.status = HidOpenStatus::Busy;
        } else {
            info.status = OpenInterface(path) ? HidOpenStatus::Opened : HidOpenStatus::Failed;
        }
        return info;
    }
};

HidPlatform& SimPlatform() {
    static SimPlatformImpl platform;
    return platform;
}

}  // namespace azk::sim

namespace azk {
HidPlatform& GetHidPlatform() { return sim::SimPlatform(); }
}  // namespace azk

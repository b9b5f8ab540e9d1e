// DeviceModel.cpp - request reassembly, function dispatch, answer framing and
// misbehaviour of the emulated speakerphone.
#include "emulator/DeviceModel.h"

#include <algorithm>
#include <stdexcept>

#include "emulator/CatalogueFunctions.h"
#include "support/ByteOrder.h"
#include "support/WireFormat.h"

namespace azk {

namespace {

using namespace wire;

constexpr uint8_t kStrayFill = 0xEE;

std::vector<uint8_t> EncodeResponse(const azk_SResponse& r, uint16_t length) {
    std::vector<uint8_t> message(kHeaderSize + r.payload.size());
    message[kOffsetOp] = r.op;
    Write16(&message[kOffsetFunction], r.function);
    message[kOffsetArg] = r.arg;
    message[kOffsetStatus] = r.status;
    message[kOffsetDetail] = r.detail;
    Write16(&message[kOffsetLength], length);
    std::copy(r.payload.begin(), r.payload.end(), message.begin() + kHeaderSize);
    return message;
}

// Cuts `message` into reports of `reportLength` bytes carrying `segment`
// message bytes each: one report with `only` when it fits, else `first`,
// `middle`..., `last`. Unused report bytes are zero.
std::vector<std::vector<uint8_t>> Segment(const std::vector<uint8_t>& message, size_t reportLength,
                                          size_t segment, uint8_t first, uint8_t middle,
                                          uint8_t last) {
    std::vector<std::vector<uint8_t>> reports;
    const size_t count = message.empty() ? 1 : (message.size() + segment - 1) / segment;
    for (size_t i = 0; i < count; ++i) {
        std::vector<uint8_t> report(reportLength, 0);
        report[0] = (i == 0) ? first : (i + 1 == count ? last : middle);
        const size_t begin = i * segment;
        const size_t n = std::min(segment, message.size() - begin);
        std::copy(message.begin() + static_cast<std::ptrdiff_t>(begin),
                  message.begin() + static_cast<std::ptrdiff_t>(begin + n), report.begin() + 1);
        reports.push_back(std::move(report));
    }
    return reports;
}

}  // namespace

azk_CDeviceModel::azk_CDeviceModel(size_t reportLength)
    : reportLength_(reportLength), segment_(reportLength - 1) {
    if (reportLength < kHeaderSize + 1 || reportLength > 4095) {
        throw std::invalid_argument("report length must be 9 to 4095 bytes");
    }
    handlers_[kFunctionKeyLock] = [this](const azk_SRequest& request, azk_SResponse& response) {
        KeyLockHandler(request, response);
    };
    catalogue_ = std::make_unique<azk_CCatalogueDevice>();
    for (uint16_t function : azk_CCatalogueDevice::Functions()) {
        handlers_[function] = [this](const azk_SRequest& request, azk_SResponse& response) {
            catalogue_->Answer(request, response);
        };
    }
}

azk_CDeviceModel::~azk_CDeviceModel() {
    std::thread timer;
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        stopTimer_ = true;
        timer = std::move(timer_);
    }
    timerChanged_.notify_all();
    if (timer.joinable()) {
        timer.join();
    }
}

void azk_CDeviceModel::SetSink(azk_CReportSink* sink) {
    std::lock_guard<std::mutex> io(ioMutex_);
    sink_ = sink;
}

void azk_CDeviceModel::OnOutputReport(const uint8_t* report, size_t length) {
    if (report == nullptr || length != reportLength_) {
        return;
    }
    std::lock_guard<std::mutex> io(ioMutex_);
    if (unplugged_.load()) {
        return;
    }
    const uint8_t* payload = report + 1;
    switch (report[0]) {
        case kMarkerRequestFirst: {
            // Always starts a new request; segment_ >= 8, so the header is here.
            assembly_.assign(payload, payload + segment_);
            expected_ = kHeaderSize + Read16(&assembly_[kOffsetLength]);
            if (expected_ <= segment_) {
                assembling_ = false;
                assembly_.resize(expected_);
                CompleteRequest(assembly_, false);
            } else {
                assembling_ = true;
            }
            break;
        }
        case kMarkerRequestMiddle:
        case kMarkerRequestLast: {
            if (!assembling_) {
                break;
            }
            // Never keep more than the request's own length.
            const size_t room = expected_ - std::min(expected_, assembly_.size());
            const size_t n = std::min(segment_, room);
            assembly_.insert(assembly_.end(), payload, payload + n);
            if (report[0] == kMarkerRequestLast) {
                assembling_ = false;
                CompleteRequest(assembly_, assembly_.size() < expected_);
            }
            break;
        }
        default:
            break;  // not a request report
    }
}

void azk_CDeviceModel::CompleteRequest(const std::vector<uint8_t>& message, bool truncated) {
    AddTraceLocked(azk_ETraceKind::Request, message);

    azk_SRequest request;
    request.op = message[kOffsetOp];
    request.function = Read16(&message[kOffsetFunction]);
    request.arg = message[kOffsetArg];
    request.target = message[kOffsetTarget];
    request.payload.assign(message.begin() + kHeaderSize, message.end());

    azk_SResponse response;
    response.op = static_cast<uint8_t>(request.op + 1);
    response.function = request.function;

    azk_SMisbehaviour misbehaviour;
    bool unplugAfter = false;
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        ++requestCount_;
        if (truncated) {
            response.status = kStatusBadRequest;
        } else {
            const auto it = handlers_.find(request.function);
            if (it == handlers_.end()) {
                response.status = kStatusUnknownFunction;
            } else {
                it->second(request, response);
            }
        }
        if (!onceQueue_.empty()) {
            misbehaviour = std::move(onceQueue_.front());
            onceQueue_.pop_front();
        } else {
            misbehaviour = always_;
        }
        if (response.silent) {
            misbehaviour.silent = true;
        }
        if (unplugCountdown_ > 0 && --unplugCountdown_ == 0) {
            unplugAfter = true;
        }
    }
    requestsChanged_.notify_all();

    Delivery delivery = BuildDelivery(response, misbehaviour);
    delivery.unplugAfter = unplugAfter && misbehaviour.unplugDelayMs == 0;
    if (misbehaviour.delayMs > 0) {
        Schedule(std::move(delivery), misbehaviour.delayMs);
    } else {
        DeliverLocked(delivery);
    }
    if (unplugAfter && misbehaviour.unplugDelayMs > 0) {
        // Time for the host to take the answer before its device goes.
        Delivery unplug;
        unplug.unplugAfter = true;
        Schedule(std::move(unplug), misbehaviour.delayMs + misbehaviour.unplugDelayMs);
    }
}

azk_CDeviceModel::Delivery azk_CDeviceModel::BuildDelivery(const azk_SResponse& response,
                                                            const azk_SMisbehaviour& m) const {
    Delivery delivery;
    if (m.silent) {
        return delivery;
    }
    azk_SResponse r = response;
    if (m.status) r.status = *m.status;
    if (m.detail) r.detail = *m.detail;
    if (m.op) r.op = *m.op;
    if (m.function) r.function = *m.function;

    // Payloads never exceed 65535 bytes: handlers are trusted, but cut anyway.
    if (r.payload.size() > 0xFFFF) {
        r.payload.resize(0xFFFF);
    }
    const int64_t changed = static_cast<int64_t>(r.payload.size()) + m.lengthDelta;
    const uint16_t length = static_cast<uint16_t>(std::clamp<int64_t>(changed, 0, 0xFFFF));
    if (!m.lengthHeaderOnly) {
        r.payload.resize(length, 0);
    }
    std::vector<uint8_t> message = EncodeResponse(r, length);
    if (m.asEventReport) {
        message[kOffsetOp] = kEventTypeResponse;
        message.resize(std::min(message.size(), segment_));
    }
    if (m.cutBytes > 0) message.resize(message.size() - std::min(m.cutBytes, message.size() - 1));

    if (m.strayContinuations) {
        for (uint8_t marker : {kMarkerResponseMiddle, kMarkerResponseLast}) {
            std::vector<uint8_t> stray(reportLength_, kStrayFill);
            stray[0] = marker;
            delivery.reports.push_back(std::move(stray));
        }
    }

    // The reports of one copy of the answer.
    auto frame = [&](const std::vector<uint8_t>& bytes, bool half) {
        std::vector<std::vector<uint8_t>> reports;
        if (m.asEventReport) {
            std::vector<uint8_t> report(reportLength_, 0);
            report[0] = static_cast<uint8_t>(kMarkerEvent | (m.eventMarkerNibble & 0x0F));
            std::copy(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(bytes.size(), segment_)),
                      report.begin() + 1);
            reports.push_back(std::move(report));
        } else {
            const size_t segment = (m.segmentSize == 0) ? segment_ : std::min(m.segmentSize, segment_);
            auto all = Segment(bytes, reportLength_, segment, kMarkerResponseFirst, kMarkerResponseMiddle,
                               kMarkerResponseLast);
            if (m.reportOrder.empty()) {
                reports = std::move(all);
            } else {
                for (size_t index : m.reportOrder) {
                    if (index < all.size()) reports.push_back(all[index]);
                }
            }
        }
        if (half) reports.resize(reports.size() / 2);
        for (auto& report : reports) delivery.reports.push_back(std::move(report));
    };
    frame(message, m.halfAnswer);
    if (m.duplicate) {
        std::vector<uint8_t> second = message;
        if (second.size() > kOffsetArg) second[kOffsetArg] ^= m.duplicateXor;
        for (size_t i = kHeaderSize; i < second.size(); ++i) second[i] ^= m.duplicateXor;
        frame(second, false);
    }
    delivery.hasResponse = true;
    delivery.response = std::move(message);
    return delivery;
}

void azk_CDeviceModel::DeliverLocked(const Delivery& delivery) {
    if (unplugged_.load()) {
        return;
    }
    if (delivery.hasResponse) {
        AddTraceLocked(azk_ETraceKind::Response, delivery.response);
    }
    for (const auto& report : delivery.reports) {
        SendLocked(report);
    }
    if (delivery.unplugAfter) {
        UnplugLocked();
    }
}

void azk_CDeviceModel::SendLocked(const std::vector<uint8_t>& report) {
    if (sink_ != nullptr) {
        sink_->SendReport(report.data(), report.size());
    }
}

void azk_CDeviceModel::UnplugLocked() {
    if (unplugged_.exchange(true)) {
        return;
    }
    assembling_ = false;
    assembly_.clear();
    AddTraceLocked(azk_ETraceKind::Unplug, {});
    if (sink_ != nullptr) {
        sink_->Unplug();
    }
    // Late answers will never be sent.
    std::lock_guard<std::mutex> lock(timerMutex_);
    scheduled_.clear();
}

void azk_CDeviceModel::AddTraceLocked(azk_ETraceKind kind, std::vector<uint8_t> bytes) {
    TraceCallback callback;
    azk_STraceEntry entry{kind, std::move(bytes)};
    {
        std::lock_guard<std::mutex> state(stateMutex_);
        callback = traceCallback_;
        if (traceLimit_ > 0) {
            trace_.push_back(entry);
            while (trace_.size() > traceLimit_) trace_.pop_front();
        }
    }
    if (callback) {
        callback(entry);
    }
}

void azk_CDeviceModel::KeyLockHandler(const azk_SRequest& request, azk_SResponse& response) {
    if (request.target >= 2) {
        response.status = kStatusBadTarget;
        return;
    }
    azk_SKeyLockConfig& config = keyLock_[request.target];
    if (request.op == kOpSet && request.payload.size() == 2) {
        config.seFlag = request.arg;
        config.lockMask = Read16(request.payload.data());
    } else if (request.op == kOpGet && request.payload.empty()) {
        response.arg = config.seFlag;
        response.payload.resize(2);
        Write16(response.payload.data(), config.lockMask);
    } else {
        response.status = kStatusBadRequest;
    }
}

void azk_CDeviceModel::Schedule(Delivery delivery, uint32_t delayMs) {
    {
        std::lock_guard<std::mutex> lock(timerMutex_);
        if (stopTimer_) {
            return;
        }
        const auto due = Clock::now() + std::chrono::milliseconds(delayMs);
        scheduled_.emplace(std::make_pair(due, scheduleSeq_++), std::move(delivery));
        if (!timer_.joinable()) {
            timer_ = std::thread([this] { TimerLoop(); });
        }
    }
    timerChanged_.notify_all();
}

void azk_CDeviceModel::TimerLoop() {
    std::unique_lock<std::mutex> lock(timerMutex_);
    while (!stopTimer_) {
        if (scheduled_.empty()) {
            timerChanged_.wait(lock);
            continue;
        }
        const auto due = scheduled_.begin()->first.first;
        if (Clock::now() < due) {
            timerChanged_.wait_until(lock, due);
            continue;
        }
        Delivery delivery = std::move(scheduled_.begin()->second);
        scheduled_.erase(scheduled_.begin());
        lock.unlock();
        {
            std::lock_guard<std::mutex> io(ioMutex_);
            DeliverLocked(delivery);
        }
        lock.lock();
    }
}

void azk_CDeviceModel::RegisterFunction(uint16_t function, FunctionHandler handler) {
    std::lock_guard<std::mutex> state(stateMutex_);
    if (handler) {
        handlers_[function] = std::move(handler);
    } else {
        handlers_.erase(function);
    }
}

bool azk_CDeviceModel::SetKeyLockConfig(uint8_t target, azk_SKeyLockConfig config) {
    if (target >= 2) {
        return false;
    }
    std::lock_guard<std::mutex> state(stateMutex_);
    keyLock_[target] = config;
    return true;
}

azk_SKeyLockConfig azk_CDeviceModel::GetKeyLockConfig(uint8_t target) const {
    std::lock_guard<std::mutex> state(stateMutex_);
    return target < 2 ? keyLock_[target] : azk_SKeyLockConfig{0, 0};
}

std::vector<uint8_t> azk_CDeviceModel::FunctionValue(uint16_t function, uint8_t target, uint16_t key) const {
    std::lock_guard<std::mutex> state(stateMutex_);
    return catalogue_->Value(function, target, key);
}

bool azk_CDeviceModel::SetFunctionValue(uint16_t function, uint8_t target, uint16_t key,
                                        const std::vector<uint8_t>& value) {
    std::lock_guard<std::mutex> state(stateMutex_);
    return catalogue_->SetValue(function, target, key, value);
}

bool azk_CDeviceModel::WriteMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address,
                                   const std::vector<uint8_t>& bytes) {
    std::lock_guard<std::mutex> state(stateMutex_);
    return catalogue_->WriteMemory(function, target, selector, address, bytes.data(), bytes.size());
}

std::vector<uint8_t> azk_CDeviceModel::ReadMemory(uint16_t function, uint8_t target, uint8_t selector,
                                                  uint32_t address, size_t count) const {
    std::vector<uint8_t> bytes(count);
    std::lock_guard<std::mutex> state(stateMutex_);
    catalogue_->ReadMemory(function, target, selector, address, bytes.data(), count);
    return bytes;
}

uint64_t azk_CDeviceModel::ActionCount(uint16_t function, uint8_t target) const {
    std::lock_guard<std::mutex> state(stateMutex_);
    return catalogue_->ActionCount(function, target);
}

void azk_CDeviceModel::MisbehaveOnce(const azk_SMisbehaviour& misbehaviour) {
    std::lock_guard<std::mutex> state(stateMutex_);
    onceQueue_.push_back(misbehaviour);
}

void azk_CDeviceModel::MisbehaveAlways(const azk_SMisbehaviour& misbehaviour) {
    std::lock_guard<std::mutex> state(stateMutex_);
    always_ = misbehaviour;
}

void azk_CDeviceModel::BehaveNormally() {
    std::lock_guard<std::mutex> state(stateMutex_);
    onceQueue_.clear();
    always_ = azk_SMisbehaviour{};
}

void azk_CDeviceModel::UnplugAfterRequests(uint32_t count) {
    std::lock_guard<std::mutex> state(stateMutex_);
    unplugCountdown_ = count;
}

void azk_CDeviceModel::Unplug() {
    std::lock_guard<std::mutex> io(ioMutex_);
    UnplugLocked();
}

bool azk_CDeviceModel::SendEvent(uint8_t type, uint8_t value0, uint8_t value1, uint8_t markerNibble) {
    std::vector<uint8_t> report(reportLength_, 0);
    report[0] = static_cast<uint8_t>(kMarkerEvent | (markerNibble & 0x0F));
    report[1] = type;
    report[2] = value0;
    report[3] = value1;
    std::lock_guard<std::mutex> io(ioMutex_);
    if (unplugged_.load()) {
        return false;
    }
    AddTraceLocked(azk_ETraceKind::Event, report);
    SendLocked(report);
    return true;
}

bool azk_CDeviceModel::SendText(uint8_t channel, const std::string& text) {
    if (text.size() > 0xFFFE) {
        return false;
    }
    const size_t length = text.size() + 1;  // L counts the terminating NUL
    std::vector<uint8_t> message(3 + length, 0);
    Write16(&message[0], static_cast<uint16_t>(length));
    message[2] = channel;
    std::copy(text.begin(), text.end(), message.begin() + 3);

    std::vector<std::vector<uint8_t>> reports;
    if (length + 2 <= segment_) {
        // One report; when L = P - 2 its terminator does not fit and is not
        // sent (the host writes it).
        std::vector<uint8_t> report(reportLength_, 0);
        report[0] = kMarkerTextFirst;
        const size_t n = std::min(message.size(), segment_);
        std::copy(message.begin(), message.begin() + static_cast<std::ptrdiff_t>(n), report.begin() + 1);
        reports.push_back(std::move(report));
    } else {
        reports = Segment(message, reportLength_, segment_, kMarkerTextFirst, kMarkerTextMiddle,
                          kMarkerTextLast);
    }

    std::lock_guard<std::mutex> io(ioMutex_);
    if (unplugged_.load()) {
        return false;
    }
    AddTraceLocked(azk_ETraceKind::Text, message);
    for (const auto& report : reports) {
        SendLocked(report);
    }
    return true;
}

bool azk_CDeviceModel::SendRawReport(const uint8_t* report, size_t length) {
    std::vector<uint8_t> padded(reportLength_, 0);
    if (report != nullptr) {
        std::copy(report, report + std::min(length, reportLength_), padded.begin());
    }
    std::lock_guard<std::mutex> io(ioMutex_);
    if (unplugged_.load()) {
        return false;
    }
    AddTraceLocked(azk_ETraceKind::RawReport, padded);
    SendLocked(padded);
    return true;
}

uint64_t azk_CDeviceModel::RequestCount() const {
    std::lock_guard<std::mutex> state(stateMutex_);
    return requestCount_;
}

bool azk_CDeviceModel::WaitForRequests(uint64_t count, int timeoutMs) const {
    std::unique_lock<std::mutex> state(stateMutex_);
    return requestsChanged_.wait_for(state, std::chrono::milliseconds(std::max(0, timeoutMs)),
                                     [&] { return requestCount_ >= count; });
}

std::vector<azk_STraceEntry> azk_CDeviceModel::Trace() const {
    std::lock_guard<std::mutex> state(stateMutex_);
    return std::vector<azk_STraceEntry>(trace_.begin(), trace_.end());
}

void azk_CDeviceModel::ClearTrace() {
    std::lock_guard<std::mutex> state(stateMutex_);
    trace_.clear();
}

void azk_CDeviceModel::SetTraceLimit(size_t entries) {
    std::lock_guard<std::mutex> state(stateMutex_);
    traceLimit_ = entries;
    while (trace_.size() > traceLimit_) trace_.pop_front();
}

void azk_CDeviceModel::SetTraceCallback(TraceCallback callback) {
    std::lock_guard<std::mutex> state(stateMutex_);
    traceCallback_ = std::move(callback);
}

}  // namespace azk

// Message framing: a message (8-byte header, then `length` payload bytes)
// travels as a run of reports, each a marker byte and P = report length - 1
// message bytes.
//
//   to the device     0x80 first or only, 0x81 middle, 0x82 last
//   from the device   0x83 first or only (carries the header), 0x84 middle,
//                     0x85 last; 0x9n an event report (type 4: a response in
//                     one report); 0xA0/0xA1/0xA2 a text message
#include <cstring>

#include "support/ByteOrder.h"
#include "transport/HidCommBase.h"

namespace azk {
namespace {

constexpr uint8_t kMarkerRequestFirst = 0x80;
constexpr uint8_t kMarkerRequestMiddle = 0x81;
constexpr uint8_t kMarkerRequestLast = 0x82;
constexpr uint8_t kEventTypeResponse = 4;
constexpr uint32_t kMaxReportLength = 64;

std::atomic<int> g_runningReceivers{0};

}  // namespace

int azk_CHidCommBase::RunningReceivers() { return g_runningReceivers.load(); }

// ------------------------------------------------------------ sending

int32_t azk_CHidCommBase::SendAndWait(const uint8_t* request, uint32_t size, uint32_t timeoutMs) {
    const uint32_t p = static_cast<uint32_t>(outputReportLength_) - 1;
    const uint32_t q = size / p;
    const uint32_t r = size % p;
    responseEvent_->Reset();
    if (request == nullptr || size == 0) return SESSION_RESULT_GENERAL;

    uint8_t report[kMaxReportLength];
    const uint32_t reports = size <= p ? 1 : (r == 0 ? q : q + 1);
    for (uint32_t i = 0; i < reports; ++i) {
        const bool last = i + 1 == reports;
        const uint32_t n = (last && r != 0) ? r : p;
        report[0] = i == 0 ? kMarkerRequestFirst : (last ? kMarkerRequestLast : kMarkerRequestMiddle);
        std::memcpy(report + 1, request + static_cast<size_t>(i) * p, n);
        std::memset(report + 1 + n, 0, p - n);
        if (!device_.WriteReport(report, kWriteTimeoutMs)) return SESSION_RESULT_TIMEOUT;
    }

    if (!responseEvent_->Wait(timeoutMs)) return SESSION_RESULT_TIMEOUT;
    if (closing_.load() != 0) return SESSION_RESULT_CLOSING;
    status_ = responseBuffer_[4];
    detail_ = responseBuffer_[5];
    return status_ != 0 ? SESSION_RESULT_DEVICE_STATUS : SESSION_RESULT_OK;
}

// ------------------------------------------------------------ receiving

void azk_CHidCommBase::ReceiverThreadEntry(azk_CHidCommBase* session) {
    if (session != nullptr) {
        g_runningReceivers.fetch_add(1);
        session->ReceiverLoop();
        g_runningReceivers.fetch_sub(1);
    }
}

void azk_CHidCommBase::ReceiverLoop() {
    const uint32_t length = static_cast<uint32_t>(inputReportLength_);
    const uint32_t p = length - 1;
    // The largest message (8 + 65535 bytes) rounded up to whole segments.
    // A position never passes it by more than one segment, which every
    // buffer holds with room to spare.
    const uint32_t limit = p * (65536 / p + 1);
    static_assert(kBufferSize >= 65583 + kMaxReportLength, "buffers hold the reassembly limit");

    uint32_t responsePos = 0;
    bool responseContinues = false;
    uint32_t textPos = 0;
    bool textContinues = false;
    uint32_t textLength = 0;
    uint8_t report[kMaxReportLength];

    if (closing_.load() != 0) return;
    for (;;) {
        if (!device_.ReadReport(report, -1)) {
            if (closing_.load() == 0 && firmwareUpdate_.load() == 0 && eventCallback_ != nullptr) {
                eventCallback_(SESSION_EVENT_DEVICE_LOST, 0);
            }
            closing_.store(1);
            responseEvent_->Set();
            return;
        }

        const uint8_t marker = report[0];
        switch (marker >> 4) {
        case 0x8: {
            bool complete = false;
            switch (marker & 0x0F) {
            case 3:
                std::memcpy(responseBuffer_, report + 1, p);
                responsePos = p;
                if (Read16(responseBuffer_ + 6) <= length - 9) {
                    complete = true;
                    responseContinues = false;
                } else {
                    responseContinues = true;
                }
                break;
            case 4:
            case 5:
                if (!responseContinues) break;
                std::memcpy(responseBuffer_ + responsePos, report + 1, p);
                responsePos += p;
                if ((marker & 0x0F) == 5) {
                    responseContinues = false;
                    complete = true;
                }
                break;
            default:
                break;
            }
            if (responsePos > limit) {
                responsePos = 0;  // too long: dropped, nothing signalled
                responseContinues = false;
            } else if (complete) {
                responseEvent_->Set();
            }
            break;
        }
        case 0x9:
            if (report[1] == kEventTypeResponse) {
                std::memcpy(responseBuffer_, report + 1, p);
                responseEvent_->Set();
            } else {
                std::memcpy(eventBuffer_, report + 1, p);
                DecodeEventPacket(eventBuffer_);
            }
            break;
        case 0xA: {
            bool complete = false;
            switch (marker & 0x0F) {
            case 0:
                std::memcpy(textBuffer_, report + 1, p);
                textPos = p;
                textLength = Read16(textBuffer_);
                if (textLength <= length - 3) {
                    complete = true;
                    textContinues = false;
                } else {
                    textContinues = true;
                }
                break;
            case 1:
            case 2:
                if (!textContinues) break;
                std::memcpy(textBuffer_ + textPos, report + 1, p);
                textPos += p;
                if ((marker & 0x0F) == 2) {
                    textContinues = false;
                    complete = true;
                }
                break;
            default:
                break;
            }
            if (textPos > limit) {
                textPos = 0;
                textContinues = false;
            } else if (complete) {
                DeliverText(textLength);
            }
            break;
        }
        default:
            break;  // not a marker the host knows
        }

        if (closing_.load() != 0) return;
    }
}

void azk_CHidCommBase::DeliverText(uint32_t length) {
    // The terminator replaces the last text byte (text buffer byte L + 2).
    // An empty message (L = 0) has no last byte: the text becomes empty and
    // the channel byte before it stays as it came.
    textBuffer_[length == 0 ? 3 : length + 2] = 0;
    TextSink sink;
    {
        std::lock_guard<std::mutex> lock(textSinkLock_);
        sink = textSink_;
    }
    if (sink.callback != nullptr) {
        sink.callback(sink.context, textBuffer_[2], reinterpret_cast<const char*>(textBuffer_ + 3),
                      static_cast<int>(length));
    }
}

void azk_CHidCommBase::DecodeEventPacket(const uint8_t* eventBuffer) {
    const uint8_t type = eventBuffer[0];
    int stat = 0;
    switch (type) {
    case 1:
    case 2:
    case 5:
    case 7:
    case 8:
    case 9:
        stat = eventBuffer[1];
        break;
    case 3:
        stat = eventBuffer[1] * 256 + eventBuffer[2];
        break;
    default:
        return;  // 0, 4 (a response), 6 and 10 to 255 carry no event
    }
    if (eventCallback_ != nullptr) eventCallback_(type, stat);
}

}  // namespace azk

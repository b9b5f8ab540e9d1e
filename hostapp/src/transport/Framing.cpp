// Message framing: a message (8-byte header, then `length` payload bytes)
// travels as a run of reports, each a marker byte and P = report length - 1
// message bytes (support/WireFormat.h has the markers).
//
// A response counts only when it is whole: at least 8 + `length` bytes have
// arrived for it by its last report (0x85), or, for a response in a type-4
// event report, within that one report's P bytes. One that ends early fails
// the waiting request with -12. Responses are joined in a buffer of the
// receiver's own and handed to the waiting request through the response slot
// (ResponseSlot.h), which takes only a response whose first report arrived
// after that request began.
#include <cstring>

#include "support/ByteOrder.h"
#include "support/Timeouts.h"
#include "support/WireFormat.h"
#include "transport/HidCommBase.h"

namespace azk {
namespace {

constexpr uint32_t kMaxReportLength = 64;

std::atomic<int> g_runningReceivers{0};
// The session whose receiver runs on this thread, if any.
thread_local const azk_CHidCommBase* t_receiverOf = nullptr;

}  // namespace

int azk_CHidCommBase::RunningReceivers() { return g_runningReceivers.load(); }

bool azk_CHidCommBase::OnReceiverThread() const { return t_receiverOf == this; }

// ------------------------------------------------------------ sending

int32_t azk_CHidCommBase::SendAndWait(const uint8_t* request, uint32_t size, uint32_t timeoutMs) {
    const uint32_t p = static_cast<uint32_t>(outputReportLength_) - 1;
    const uint32_t q = size / p;
    const uint32_t r = size % p;
    if (request == nullptr || size == 0) return SESSION_RESULT_GENERAL;

    // From here on only a response that starts now can answer.
    responseSlot_.Open();
    uint8_t report[kMaxReportLength];
    const uint32_t reports = size <= p ? 1 : (r == 0 ? q : q + 1);
    for (uint32_t i = 0; i < reports; ++i) {
        const bool last = i + 1 == reports;
        const uint32_t n = (last && r != 0) ? r : p;
        report[0] = i == 0 ? wire::kMarkerRequestFirst : (last ? wire::kMarkerRequestLast : wire::kMarkerRequestMiddle);
        std::memcpy(report + 1, request + static_cast<size_t>(i) * p, n);
        std::memset(report + 1 + n, 0, p - n);
        if (!device_.WriteReport(report, azk_CTimeouts::Scaled(kWriteTimeoutMs))) {
            responseSlot_.Abandon();
            return SESSION_RESULT_TIMEOUT;
        }
    }

    switch (responseSlot_.Wait(azk_CTimeouts::Scaled(timeoutMs))) {
    case azk_CResponseSlot::Outcome::TimedOut:
        return SESSION_RESULT_TIMEOUT;
    case azk_CResponseSlot::Outcome::Closed:
        return SESSION_RESULT_CLOSING;
    case azk_CResponseSlot::Outcome::Incomplete:
        return closing_.load() != 0 ? SESSION_RESULT_CLOSING : SESSION_RESULT_BAD_RESPONSE;
    case azk_CResponseSlot::Outcome::Complete:
        break;
    }
    if (closing_.load() != 0) return SESSION_RESULT_CLOSING;
    status_ = responseBuffer_[wire::kOffsetStatus];
    detail_ = responseBuffer_[wire::kOffsetDetail];
    return status_ != 0 ? SESSION_RESULT_DEVICE_STATUS : SESSION_RESULT_OK;
}

// ------------------------------------------------------------ receiving

void azk_CHidCommBase::ReceiverThreadEntry(azk_CHidCommBase* session) {
    if (session != nullptr) {
        g_runningReceivers.fetch_add(1);
        t_receiverOf = session;
        session->ReceiverLoop();
        t_receiverOf = nullptr;
        g_runningReceivers.fetch_sub(1);
    }
}

void azk_CHidCommBase::AssembleResponse(const uint8_t* report, uint32_t p, uint32_t limit) {
    Assembly& a = assembly_;
    bool complete = false;
    switch (report[0]) {
    case wire::kMarkerResponseFirst:
        // Always starts a new response, discarding one in progress.
        std::memcpy(assemblyBuffer_, report + 1, p);
        a.position = p;
        a.needed = static_cast<uint32_t>(wire::kHeaderSize) + Read16(assemblyBuffer_ + wire::kOffsetLength);
        a.generation = responseSlot_.Generation();
        a.continues = a.needed > p;
        complete = !a.continues;
        break;
    case wire::kMarkerResponseMiddle:
    case wire::kMarkerResponseLast:
        if (!a.continues) break;
        if (a.generation != responseSlot_.Generation()) {
            // Begun before the request that now waits: never its answer.
            a = Assembly{};
            break;
        }
        std::memcpy(assemblyBuffer_ + a.position, report + 1, p);
        a.position += p;
        if (report[0] == wire::kMarkerResponseLast) {
            a.continues = false;
            complete = true;
        }
        break;
    default:
        return;  // 0x80-0x82 and 0x86-0x8F from the device mean nothing
    }
    if (a.position > limit) {
        a = Assembly{};  // too long: dropped, nothing signalled
    } else if (complete) {
        if (a.position >= a.needed) {
            responseSlot_.Offer(a.generation, assemblyBuffer_, a.position);
        } else {
            responseSlot_.Reject(a.generation);  // ended before its length
        }
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

    assembly_ = Assembly{};
    uint32_t textPos = 0;
    bool textContinues = false;
    uint32_t textLength = 0;
    uint8_t report[kMaxReportLength];

    if (closing_.load() != 0) return;
    for (;;) {
        if (!device_.ReadReport(report, -1)) {
            if (closing_.load() == 0 && firmwareUpdate_.load() == 0) {
                CallEventCallback(SESSION_EVENT_DEVICE_LOST, 0);
            }
            closing_.store(1);
            responseSlot_.Close();
            return;
        }

        const uint8_t marker = report[0];
        switch (marker >> 4) {
        case wire::kKindResponse:
            AssembleResponse(report, p, limit);
            break;
        case wire::kKindEvent:
            if (report[1] == wire::kEventTypeResponse) {
                // A whole response in this one report, or a failed one.
                const uint32_t needed = static_cast<uint32_t>(wire::kHeaderSize) + Read16(report + 1 + wire::kOffsetLength);
                const uint64_t generation = responseSlot_.Generation();
                if (needed <= p) {
                    responseSlot_.Offer(generation, report + 1, p);
                } else {
                    responseSlot_.Reject(generation);
                }
            } else {
                std::memcpy(eventBuffer_, report + 1, p);
                DecodeEventPacket(eventBuffer_);
            }
            break;
        case wire::kKindText: {
            bool complete = false;
            switch (marker) {
            case wire::kMarkerTextFirst:
                std::memcpy(textBuffer_, report + 1, p);
                textPos = p;
                textLength = Read16(textBuffer_);
                if (textLength <= length - wire::kTextHeaderSize) {
                    complete = true;
                    textContinues = false;
                } else {
                    textContinues = true;
                }
                break;
            case wire::kMarkerTextMiddle:
            case wire::kMarkerTextLast:
                if (!textContinues) break;
                std::memcpy(textBuffer_ + textPos, report + 1, p);
                textPos += p;
                if (marker == wire::kMarkerTextLast) {
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
            } else if (complete && textPos + 1 >= wire::kTextHeaderSize + textLength) {
                // Every byte of it arrived (the terminator may be left out).
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

void azk_CHidCommBase::CallEventCallback(int event, int stat) {
    if (eventCallback_ == nullptr) return;
    // The callback is the caller's; what it throws must not end the
    // receiver thread (and with it the process).
    try {
        eventCallback_(event, stat);
    } catch (...) {
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
        try {
            sink.callback(sink.context, textBuffer_[2], reinterpret_cast<const char*>(textBuffer_ + 3),
                          static_cast<int>(length));
        } catch (...) {
        }
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
    CallEventCallback(type, stat);
}

}  // namespace azk

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
#include <algorithm>
#include <chrono>
#include <cstring>

#include "support/ByteOrder.h"
#include "support/Timeouts.h"
#include "support/WireFormat.h"
#include "transport/HidCommBase.h"

namespace azk {
namespace {

using Clock = std::chrono::steady_clock;

std::atomic<int> g_runningReceivers{0};
// The session whose receiver runs on this thread, if any.
thread_local const azk_CHidCommBase* t_receiverOf = nullptr;

// Milliseconds left until `deadline` for a report read, rounded up; -1
// without a limit.
int32_t MillisecondsLeft(Clock::time_point deadline, bool limited) {
    if (!limited) return -1;
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int32_t>(std::clamp<int64_t>(left, 0, INT32_MAX));
}

}  // namespace

int azk_CHidCommBase::RunningReceivers() { return g_runningReceivers.load(); }

bool azk_CHidCommBase::OnReceiverThread() const { return t_receiverOf == this; }

// ------------------------------------------------------------ sending

int32_t azk_CHidCommBase::SendAndWait(const uint8_t* request, uint32_t size, uint32_t timeoutMs) {
    const uint32_t p = static_cast<uint32_t>(outputReportLength_) - 1;
    if (request == nullptr || size == 0) return SESSION_RESULT_GENERAL;

    const uint32_t reports = size <= p ? 1 : (size - 1) / p + 1;
    const uint32_t waitMs = azk_CTimeouts::Scaled(timeoutMs);
    const RequestReader reader = BeginReading(reports == 1, waitMs);
    struct ReadingEnd {
        azk_CHidCommBase& session;
        ~ReadingEnd() { session.EndReading(); }
    } readingEnd{*this};
    // Nothing was sent: a response could not have been told from what the
    // device had sent before.
    if (reader == RequestReader::None) return SESSION_RESULT_TIMEOUT;
    const bool callerReads = reader == RequestReader::Caller;

    // From here on only a response that starts now can answer.
    responseSlot_.Open();
    uint8_t report[kMaxReportLength];
    for (uint32_t i = 0; i < reports; ++i) {
        const bool last = i + 1 == reports;
        // The device answers a request once it has all of it: a response
        // begun before the last report is written answers something earlier.
        // What came meanwhile is read first where the receiver can be made
        // to (it reads while the request is written).
        if (last && i > 0) {
            if (PassesReading() && !DrainThroughReceiver(waitMs)) {
                responseSlot_.Abandon();
                return SESSION_RESULT_TIMEOUT;
            }
            responseSlot_.Open();
        }
        const uint32_t n = last ? size - i * p : p;
        report[0] = i == 0 ? wire::kMarkerRequestFirst : (last ? wire::kMarkerRequestLast : wire::kMarkerRequestMiddle);
        std::memcpy(report + 1, request + static_cast<size_t>(i) * p, n);
        std::memset(report + 1 + n, 0, p - n);
        if (!device_.WriteReport(report, azk_CTimeouts::Scaled(kWriteTimeoutMs))) {
            responseSlot_.Abandon();
            return SESSION_RESULT_TIMEOUT;
        }
    }

    const bool limited = waitMs != azk_CResponseSlot::kInfinite;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limited ? waitMs : 0);
    if (callerReads) {
        ReadOwnResponse(deadline, limited, limited ? static_cast<int32_t>(std::min<uint32_t>(waitMs, INT32_MAX)) : -1);
    }
    // A settled slot needs no time left (nor a clock read to tell it).
    const int32_t left = responseSlot_.Settled() ? -1 : MillisecondsLeft(deadline, limited);
    switch (responseSlot_.Wait(left < 0 ? azk_CResponseSlot::kInfinite : static_cast<uint32_t>(left))) {
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

// ------------------------------------------------------------ the reading

azk_CHidCommBase::RequestReader azk_CHidCommBase::BeginReading(bool oneReport, uint32_t waitMs) {
    // SessionExec runs no request on the receiver thread; were one run
    // there, it would leave the reading where it is: that thread cannot
    // hand it over to itself.
    if (!PassesReading()) return RequestReader::Receiver;
    // The receiver has ended (the device was lost): nothing is read any
    // more, and the request fails as it is sent or waited for.
    if (closing_.load() != 0) return RequestReader::Receiver;
    if (TakeReading()) {
        if (ReadQueuedReports()) {
            if (oneReport) return RequestReader::Caller;
            // A request of several reports: the receiver reads what the
            // device sends while it is written, and the response.
            {
                std::lock_guard<std::mutex> lock(readingLock_);
                reading_.reader = Reader::Receiver;
            }
            readingChanged_.notify_all();
            return RequestReader::Receiver;
        }
        // Handed back with an event or text report (the receiver's to
        // deliver) or a failed read: the receiver reads the rest.
    }
    return DrainThroughReceiver(waitMs) ? RequestReader::Receiver : RequestReader::None;
}

bool azk_CHidCommBase::TakeReading() {
    std::unique_lock<std::mutex> lock(readingLock_);
    reading_.callerActive = true;
    ++reading_.activity;
    const auto idle = [this] { return !reading_.receiverBusy && !reading_.mailboxFull; };
    // Mostly the caller holds the reading already and the receiver is idle:
    // the request reads no clock.
    if (reading_.reader == Reader::Caller && idle()) return true;
    // The receiver reads (it leaves the read at once), or still handles its
    // last report, or has yet to handle one a request handed it, or is
    // leaving the read the last request interrupted.
    if (reading_.reader == Reader::Receiver && reading_.receiverBusy) device_.InterruptRead();
    reading_.reader = Reader::Caller;
    if (!idle()) {
        reading_.callerWaits = true;
        readingChanged_.wait_for(lock, std::chrono::milliseconds(kReadingLingerMs), idle);
        reading_.callerWaits = false;
    }
    if (idle()) return true;
    reading_.reader = Reader::Receiver;  // busy for long, in a callback
    return false;
}

bool azk_CHidCommBase::DrainThroughReceiver(uint32_t waitMs) {
    std::unique_lock<std::mutex> lock(readingLock_);
    reading_.reader = Reader::Receiver;
    reading_.drainWanted = true;
    // A read in progress takes what comes, but cannot tell when nothing is
    // left: the receiver leaves it for its Drain turn.
    if (reading_.receiverBusy) device_.InterruptRead();
    readingChanged_.notify_all();
    const auto done = [this] { return !reading_.drainWanted || closing_.load() != 0; };
    reading_.callerWaits = true;
    if (waitMs == azk_CResponseSlot::kInfinite) {
        readingChanged_.wait(lock, done);
    } else {
        readingChanged_.wait_for(lock, std::chrono::milliseconds(waitMs), done);
    }
    reading_.callerWaits = false;
    const bool drained = done();
    reading_.drainWanted = false;
    return drained;
}

void azk_CHidCommBase::EndReading() {
    if (!PassesReading()) return;
    bool wakeReceiver = false;
    {
        std::lock_guard<std::mutex> lock(readingLock_);
        reading_.callerActive = false;
        ++reading_.activity;
        if (reading_.reader == Reader::Receiver && closing_.load() == 0) {
            // For the next request, should one follow soon.
            reading_.reader = Reader::Caller;
            if (reading_.receiverBusy) device_.InterruptRead();
        }
        // It lingers from now on.
        wakeReceiver = reading_.receiverWaits;
    }
    if (wakeReceiver) readingChanged_.notify_all();
}

bool azk_CHidCommBase::ReadQueuedReports() {
    uint8_t report[kMaxReportLength];
    // A device that keeps sending could hold the caller here for good: past
    // this many reports the receiver reads on, and the request waits for it
    // no longer than for its response.
    constexpr int kMaxReports = 1024;
    for (int n = 0; n < kMaxReports; ++n) {
        const HidIoResult result = device_.TakeReport(report, 0);
        if (result == HidIoResult::TimedOut) return true;  // nothing more queued
        if (result == HidIoResult::Interrupted) continue;
        if (result != HidIoResult::Ok || !TakeResponseReport(report)) {
            HandReadingBack(result == HidIoResult::Ok ? report : nullptr);
            return false;
        }
    }
    HandReadingBack(nullptr);
    return false;
}

void azk_CHidCommBase::ReadOwnResponse(Clock::time_point deadline, bool limited, int32_t firstWaitMs) {
    uint8_t report[kMaxReportLength];
    int32_t left = firstWaitMs;
    for (bool first = true; !responseSlot_.Settled(); first = false) {
        if (!first) left = MillisecondsLeft(deadline, limited);
        if (left == 0) return;  // the slot's wait tells the time-out
        const HidIoResult result = device_.TakeReport(report, left);
        if (result == HidIoResult::Interrupted || result == HidIoResult::TimedOut) continue;
        if (result != HidIoResult::Ok || !TakeResponseReport(report)) {
            HandReadingBack(result == HidIoResult::Ok ? report : nullptr);
            return;
        }
    }
}

void azk_CHidCommBase::HandReadingBack(const uint8_t* report) {
    // An event or text report is the receiver's to deliver; a failed read it
    // meets again, and tells as the device lost or the session closing.
    {
        std::lock_guard<std::mutex> lock(readingLock_);
        reading_.reader = Reader::Receiver;
        if (report != nullptr) {
            std::memcpy(reading_.mailbox, report, Segment() + 1);
            reading_.mailboxFull = true;
        }
    }
    readingChanged_.notify_all();
}

azk_CHidCommBase::ReceiverTurn azk_CHidCommBase::AwaitReceiverTurn(uint8_t* report) {
    std::unique_lock<std::mutex> lock(readingLock_);
    for (;;) {
        if (closing_.load() != 0) return ReceiverTurn::Closing;
        if (reading_.mailboxFull) {
            std::memcpy(report, reading_.mailbox, Segment() + 1);
            reading_.mailboxFull = false;
            reading_.receiverBusy = true;
            return ReceiverTurn::Mailbox;
        }
        if (reading_.drainWanted) {
            reading_.receiverBusy = true;
            return ReceiverTurn::Drain;
        }
        if (reading_.reader == Reader::Receiver) {
            reading_.receiverBusy = true;
            return ReceiverTurn::Read;
        }
        if (reading_.activity != reading_.activitySeen) {
            // A request began or ended since the receiver last looked (or
            // the session began): the caller keeps the reading, and the
            // receiver looks again in one linger. The linger is timed here,
            // so that a request need not read the clock.
            reading_.activitySeen = reading_.activity;
            readingChanged_.wait_for(lock, std::chrono::milliseconds(kReadingLingerMs));
        } else if (reading_.callerActive) {
            // One request that waits long for its response: until it ends,
            // with no wake-ups meanwhile (EndReading wakes the receiver).
            reading_.receiverWaits = true;
            readingChanged_.wait(lock);
            reading_.receiverWaits = false;
        } else {
            reading_.reader = Reader::Receiver;  // no request for a while: events are read again
        }
    }
}

void azk_CHidCommBase::EndReceiverTurn(bool drained) {
    bool callerWaits = false;
    {
        std::lock_guard<std::mutex> lock(readingLock_);
        reading_.receiverBusy = false;
        if (drained) reading_.drainWanted = false;
        callerWaits = reading_.callerWaits;
    }
    if (callerWaits) readingChanged_.notify_all();
}

HidIoResult azk_CHidCommBase::ReadQueuedForRequest(TextAssembly& text) {
    uint8_t report[kMaxReportLength];
    for (;;) {
        const HidIoResult result = device_.TakeReport(report, 0);
        if (result == HidIoResult::Interrupted) continue;
        if (result != HidIoResult::Ok) return result;  // TimedOut: nothing more queued
        if (!TakeResponseReport(report)) HandleDeviceReport(report, text);
    }
}

void azk_CHidCommBase::EndOnFailedRead() {
    if (closing_.load() == 0 && firmwareUpdate_.load() == 0) {
        CallEventCallback(SESSION_EVENT_DEVICE_LOST, 0);
    }
    closing_.store(1);
    {
        // A request waiting for the receiver's Drain turn sees closing_ now.
        std::lock_guard<std::mutex> lock(readingLock_);
    }
    readingChanged_.notify_all();
    responseSlot_.Close();
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
    case wire::kMarkerResponseFirst: {
        // Always starts a new response, discarding one in progress.
        const uint32_t needed = static_cast<uint32_t>(wire::kHeaderSize) + Read16(report + 1 + wire::kOffsetLength);
        if (needed <= p) {
            // Whole in this one report: offered straight from it.
            a = Assembly{};
            responseSlot_.Offer(responseSlot_.Generation(), report + 1, p);
            return;
        }
        std::memcpy(assemblyBuffer_, report + 1, p);
        a.position = p;
        a.needed = needed;
        a.generation = responseSlot_.Generation();
        a.continues = true;
        break;
    }
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

bool azk_CHidCommBase::TakeResponseReport(const uint8_t* report) {
    const uint32_t p = Segment();
    switch (report[0] >> 4) {
    case wire::kKindResponse:
        AssembleResponse(report, p, ReassemblyLimit());
        return true;
    case wire::kKindEvent:
        if (report[1] != wire::kEventTypeResponse) return false;
        {
            // A whole response in this one report, or a failed one.
            const uint32_t needed = static_cast<uint32_t>(wire::kHeaderSize) + Read16(report + 1 + wire::kOffsetLength);
            const uint64_t generation = responseSlot_.Generation();
            if (needed <= p) {
                responseSlot_.Offer(generation, report + 1, p);
            } else {
                responseSlot_.Reject(generation);
            }
        }
        return true;
    default:
        return false;
    }
}

void azk_CHidCommBase::HandleDeviceReport(const uint8_t* report, TextAssembly& text) {
    const uint32_t length = static_cast<uint32_t>(inputReportLength_);
    const uint32_t p = Segment();
    const uint8_t marker = report[0];
    switch (marker >> 4) {
    case wire::kKindEvent:
        std::memcpy(eventBuffer_, report + 1, p);
        DecodeEventPacket(eventBuffer_);
        break;
    case wire::kKindText: {
        bool complete = false;
        switch (marker) {
        case wire::kMarkerTextFirst:
            std::memcpy(textBuffer_, report + 1, p);
            text.position = p;
            text.length = Read16(textBuffer_);
            if (text.length <= length - wire::kTextHeaderSize) {
                complete = true;
                text.continues = false;
            } else {
                text.continues = true;
            }
            break;
        case wire::kMarkerTextMiddle:
        case wire::kMarkerTextLast:
            if (!text.continues) break;
            std::memcpy(textBuffer_ + text.position, report + 1, p);
            text.position += p;
            if (marker == wire::kMarkerTextLast) {
                text.continues = false;
                complete = true;
            }
            break;
        default:
            break;
        }
        if (text.position > ReassemblyLimit()) {
            text = TextAssembly{};
        } else if (complete && text.position + 1 >= wire::kTextHeaderSize + text.length) {
            // Every byte of it arrived (the terminator may be left out).
            DeliverText(text.length);
        }
        break;
    }
    default:
        break;  // not a marker the host knows
    }
}

void azk_CHidCommBase::ReceiverLoop() {
    static_assert(kBufferSize >= 65583 + kMaxReportLength, "buffers hold the reassembly limit");
    TextAssembly text;
    uint8_t report[kMaxReportLength];

    for (;;) {
        const ReceiverTurn turn = AwaitReceiverTurn(report);
        if (turn == ReceiverTurn::Closing) {
            responseSlot_.Close();
            return;
        }
        if (turn == ReceiverTurn::Drain) {
            if (ReadQueuedForRequest(text) != HidIoResult::TimedOut) {
                EndOnFailedRead();
                return;
            }
            EndReceiverTurn(true);
            continue;
        }
        if (turn == ReceiverTurn::Read) {
            const HidIoResult result = device_.TakeReport(report, -1);
            if (result == HidIoResult::Interrupted) {  // a request takes the reading
                EndReceiverTurn();
                continue;
            }
            if (result != HidIoResult::Ok) {
                EndOnFailedRead();
                return;
            }
        }
        if (!TakeResponseReport(report)) HandleDeviceReport(report, text);
        EndReceiverTurn();
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

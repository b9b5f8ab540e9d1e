// DeviceModel.h - the speakerphone's side of the wire protocol, free of any
// transport.
//
// The model takes output reports as the framing layer sees them (marker byte
// then payload, exactly ReportLength() bytes, no HID report ID byte), joins
// them into request messages, answers each request through a table of
// function handlers, and hands its input reports (same form) to a sink. An
// attachment (the in-memory sim bus, a vhid socket, /dev/uhid) owns the
// transport: it feeds OnOutputReport and implements the sink.
//
// Request framing: 0x80 starts a request (and restarts one in progress),
// 0x81 continues it, 0x82 ends it; the request's header `length` (bytes 6-7)
// says how long it is. A request that fits in one report is complete with its
// 0x80 report. 0x81/0x82 without a 0x80 before them, and every other marker,
// are ignored. A request whose 0x82 report comes before all its bytes arrived
// is answered with kStatusBadRequest.
//
// Answers: one response message per request, in reports 0x83 (first or only),
// 0x84 (middle), 0x85 (last); a response fits in one report when its length
// is at most ReportLength() - 9. Event reports (0x90..0x9F) and text messages
// (0xA0/0xA1/0xA2) are sent on demand.
//
// Status values this device answers with (detail is 0 for all of them):
//   kStatusUnknownFunction (0x01)  no handler for the request's function
//   kStatusBadTarget       (0x02)  the function does not know the target
//   kStatusBadRequest      (0x03)  an op the function does not take, a payload
//                                  length it does not take, or a request cut
//                                  short by an early 0x82 report
// An error answer echoes the function, has op = request op + 1, arg 0 and
// length 0.
//
// Built in: key lock, function 0x0036. Target 0 is the configuration in
// force, target 1 the default; both can be read and written. Set (op 0,
// length 2, arg = SE flag, payload = lock mask LE) answers op 1, length 0;
// get (op 2, length 0) answers op 3, arg = SE flag, length 2, payload = lock
// mask LE. Values pass through unchanged. Both start as SE 1, mask 0x007F.
//
// Every other function of the command catalogue is answered as
// CatalogueFunctions.h describes, with state that persists for the model's
// life: a set is seen by the following get of the same target (and arg),
// and the block transfers read and write emulated device memory.
//
// Misbehaviour: tests (and the command-line emulator) can make the device
// answer wrongly, once (a queue: one entry per following request) or for
// every request. The request itself is always carried out as usual (a set is
// stored); a misbehaviour changes only what is sent back.
//
// Threads: OnOutputReport runs on whatever thread the attachment calls it
// from (the host's writing thread on the sim bus); settings and on-demand
// sends may come from any other thread. One internal lock serialises all
// traffic, so reports reach the sink one at a time and in order; the sink is
// called with that lock held and must not call back into the model. Late
// answers are sent by a timer thread that the model starts when first needed
// and joins in its destructor (answers still pending then are dropped).
#ifndef AZK_EMULATOR_DEVICE_MODEL_H
#define AZK_EMULATOR_DEVICE_MODEL_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "support/WireFormat.h"

namespace azk {

// Where the model's input reports go. Implemented by an attachment.
class azk_CReportSink {
public:
    virtual ~azk_CReportSink() = default;
    // One input report of the model's report length: marker byte first, no
    // report ID byte.
    virtual void SendReport(const uint8_t* report, size_t length) = 0;
    // The device leaves the bus: the host's pending and later reads fail.
    virtual void Unplug() = 0;
};

// One complete request message, as a function handler sees it.
struct azk_SRequest {
    uint8_t op = 0;
    uint16_t function = 0;
    uint8_t arg = 0;
    uint8_t target = 0;
    std::vector<uint8_t> payload;  // exactly the header's `length` bytes
};

// The answer a function handler fills in. The model pre-fills it with
// op = request op + 1, the request's function, arg 0, status 0, detail 0 and
// no payload; `length` is taken from the payload's size. A handler that sets
// `silent` makes the device send no answer to this request at all.
struct azk_SResponse {
    uint8_t op = 0;
    uint16_t function = 0;
    uint8_t arg = 0;
    uint8_t status = 0;
    uint8_t detail = 0;
    std::vector<uint8_t> payload;
    bool silent = false;
};

struct azk_SKeyLockConfig {
    uint8_t seFlag = 1;
    uint16_t lockMask = 0x007F;
};

// How to get an answer wrong. Default-constructed it changes nothing; set
// any combination of fields.
struct azk_SMisbehaviour {
    bool silent = false;                 // send no answer at all
    std::optional<uint8_t> status;       // answer with this `status` ...
    std::optional<uint8_t> detail;       // ... and this `detail`
    std::optional<uint8_t> op;           // answer with this `op`
    std::optional<uint16_t> function;    // answer with this `function`
    int32_t lengthDelta = 0;             // `length` changed by this (kept in 0..65535),
                                         // the payload cut or padded with zeros to match
    bool lengthHeaderOnly = false;       // with lengthDelta: change only the header's
                                         // `length`, send the payload as it was
    uint32_t delayMs = 0;                // send the answer this many ms late
    uint32_t unplugDelayMs = 0;          // when this answer counts the unplug down to
                                         // its end (UnplugAfterRequests): unplug this
                                         // many ms after it is sent, not at once
    bool asEventReport = false;          // send the answer in one event report of type
                                         // 4: marker 0x90 | eventMarkerNibble, then the
                                         // message with op 4, cut to ReportLength() - 1
    uint8_t eventMarkerNibble = 0;
    size_t segmentSize = 0;              // message bytes per report, 1 .. ReportLength() - 1
                                         // (0: ReportLength() - 1); the rest of each
                                         // report is zeros
    std::vector<size_t> reportOrder;     // send the answer's reports in this order, by
                                         // index (0 = the 0x83 report); indices may be
                                         // left out or repeated; out-of-range ones are
                                         // skipped. Empty: all, in order.
    bool strayContinuations = false;     // send a 0x84 and a 0x85 report (payload 0xEE)
                                         // that belong to no response before the answer
    size_t cutBytes = 0;                 // leave out the answer's last N message bytes
                                         // (at most all but one), its header unchanged:
                                         // its last report comes before `length` is met
    bool halfAnswer = false;             // send only the first half of the answer's
                                         // reports (rounded down): never its last one,
                                         // nothing of a one-report answer
    bool duplicate = false;              // send the answer twice (the second copy whole
                                         // even with halfAnswer), the second copy
    uint8_t duplicateXor = 0;            // with its arg and payload bytes XOR this
};

enum class azk_ETraceKind {
    Request,    // a complete request message received (header + payload)
    Response,   // a response message sent (as sent: after any misbehaviour)
    Event,      // an event report sent (whole report, marker first)
    Text,       // a text message sent: length (2 bytes), channel, text, NUL
    RawReport,  // a report sent with SendRawReport
    Unplug      // the device unplugged itself (no bytes)
};

struct azk_STraceEntry {
    azk_ETraceKind kind = azk_ETraceKind::Request;
    std::vector<uint8_t> bytes;
};

class azk_CCatalogueDevice;

class azk_CDeviceModel {
public:
    static constexpr uint8_t kStatusUnknownFunction = 0x01;
    static constexpr uint8_t kStatusBadTarget = 0x02;
    static constexpr uint8_t kStatusBadRequest = 0x03;

    static constexpr uint16_t kFunctionKeyLock = wire::kFunctionKeyLock;

    // Largest request or response message: 8 header bytes + 65535 payload bytes.
    static constexpr size_t kMaxMessage = wire::kMaxMessage;

    // Runs on the model's traffic thread with the model's state lock held:
    // it must not call back into the model.
    using FunctionHandler = std::function<void(const azk_SRequest&, azk_SResponse&)>;
    using TraceCallback = std::function<void(const azk_STraceEntry&)>;

    // reportLength: bytes per report, marker included (16 or 64 for the real
    // device; 9 to 4095 accepted). Throws std::invalid_argument otherwise.
    explicit azk_CDeviceModel(size_t reportLength);
    ~azk_CDeviceModel();

    azk_CDeviceModel(const azk_CDeviceModel&) = delete;
    azk_CDeviceModel& operator=(const azk_CDeviceModel&) = delete;

    size_t ReportLength() const { return reportLength_; }

    // The sink for input reports (not owned; null: reports are dropped). After
    // this returns, no report is being sent to the previous sink.
    void SetSink(azk_CReportSink* sink);

    // One output report from the host. Reports whose length is not
    // ReportLength() are ignored, and so is everything after an unplug.
    void OnOutputReport(const uint8_t* report, size_t length);

    // Function dispatch: adds or replaces the handler of a function.
    void RegisterFunction(uint16_t function, FunctionHandler handler);

    // Key lock state, target 0 (in force) or 1 (default). false for other
    // targets.
    bool SetKeyLockConfig(uint8_t target, azk_SKeyLockConfig config);
    azk_SKeyLockConfig GetKeyLockConfig(uint8_t target) const;

    // Catalogue function state (CatalogueFunctions.h). The value a get of
    // `function` answers for a target and key (the arg; arg * 256 + index for
    // the indexed values): the last one set, or the function's default;
    // empty for functions that keep none. SetFunctionValue is false for those
    // and for a value of the wrong size.
    std::vector<uint8_t> FunctionValue(uint16_t function, uint8_t target, uint16_t key) const;
    bool SetFunctionValue(uint16_t function, uint8_t target, uint16_t key, const std::vector<uint8_t>& value);
    // Device memory of the block transfer functions (0x0800, 0x0802, 0x0E05,
    // 0x080B, 0x0E06) per target and selector (the arg). WriteMemory is false
    // past address 0xFFFFFFFF or beyond the memory budget.
    bool WriteMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address,
                     const std::vector<uint8_t>& bytes);
    std::vector<uint8_t> ReadMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address,
                                    size_t count) const;
    // How often an action function (a set without data) was carried out.
    uint64_t ActionCount(uint16_t function, uint8_t target) const;

    // Misbehaviour. MisbehaveOnce queues one for the next request that has no
    // queued one yet (so successive calls script successive requests); it
    // takes precedence over MisbehaveAlways, which applies to every request.
    // BehaveNormally clears both.
    void MisbehaveOnce(const azk_SMisbehaviour& misbehaviour);
    void MisbehaveAlways(const azk_SMisbehaviour& misbehaviour);
    void BehaveNormally();

    // Unplugs the device once `count` more requests have been dealt with:
    // right after the count-th answer has been sent (a late one when it is
    // sent, a silent one at once), or that answer's unplugDelayMs later.
    // 0 disarms.
    void UnplugAfterRequests(uint32_t count);
    // Unplugs now. An unplugged model ignores output reports and sends
    // nothing more; pending late answers are dropped.
    void Unplug();
    bool Unplugged() const { return unplugged_.load(); }

    // On-demand traffic; false when unplugged or the arguments do not fit.
    // An event report: marker 0x90 | markerNibble, byte 1 type, bytes 2-3.
    bool SendEvent(uint8_t type, uint8_t value0, uint8_t value1 = 0, uint8_t markerNibble = 0);
    // A text message: length L = text size + 1 (the terminating NUL), channel,
    // text, NUL, in 0xA0/0xA1/0xA2 reports. The text may be at most 65534
    // bytes.
    bool SendText(uint8_t channel, const std::string& text);
    // Any report, cut or zero-filled to ReportLength().
    bool SendRawReport(const uint8_t* report, size_t length);

    // Complete requests received so far, and a wait for them (for tests that
    // need to know the host's request has arrived). The wait returns false
    // when timeoutMs passed first.
    uint64_t RequestCount() const;
    bool WaitForRequests(uint64_t count, int timeoutMs) const;

    // The trace of the most recent entries (SetTraceLimit, 4096 by default).
    std::vector<azk_STraceEntry> Trace() const;
    void ClearTrace();
    void SetTraceLimit(size_t entries);
    // Called for every trace entry as it happens, on the traffic thread and
    // in order; it must not call back into the model.
    void SetTraceCallback(TraceCallback callback);

private:
    struct Delivery {
        bool hasResponse = false;
        std::vector<uint8_t> response;  // the message as sent, for the trace
        std::vector<std::vector<uint8_t>> reports;
        bool unplugAfter = false;
    };

    // Called with ioMutex_ held.
    void CompleteRequest(const std::vector<uint8_t>& message, bool truncated);
    Delivery BuildDelivery(const azk_SResponse& response, const azk_SMisbehaviour& m) const;
    void DeliverLocked(const Delivery& delivery);
    void SendLocked(const std::vector<uint8_t>& report);
    void UnplugLocked();
    void AddTraceLocked(azk_ETraceKind kind, std::vector<uint8_t> bytes);

    void KeyLockHandler(const azk_SRequest& request, azk_SResponse& response);

    void Schedule(Delivery delivery, uint32_t delayMs);
    void TimerLoop();

    const size_t reportLength_;
    const size_t segment_;  // payload bytes per report

    // Traffic: reassembly, the sink, every send. Taken before stateMutex_.
    mutable std::mutex ioMutex_;
    azk_CReportSink* sink_ = nullptr;
    std::vector<uint8_t> assembly_;
    size_t expected_ = 0;
    bool assembling_ = false;
    std::atomic<bool> unplugged_{false};

    // State that tests set and handlers use.
    mutable std::mutex stateMutex_;
    mutable std::condition_variable requestsChanged_;
    std::map<uint16_t, FunctionHandler> handlers_;
    azk_SKeyLockConfig keyLock_[2];
    std::unique_ptr<azk_CCatalogueDevice> catalogue_;
    std::deque<azk_SMisbehaviour> onceQueue_;
    azk_SMisbehaviour always_;
    uint32_t unplugCountdown_ = 0;
    uint64_t requestCount_ = 0;
    std::deque<azk_STraceEntry> trace_;
    size_t traceLimit_ = 4096;
    TraceCallback traceCallback_;

    // Late answers, ordered by due time then by arrival.
    using Clock = std::chrono::steady_clock;
    std::mutex timerMutex_;
    std::condition_variable timerChanged_;
    std::map<std::pair<Clock::time_point, uint64_t>, Delivery> scheduled_;
    uint64_t scheduleSeq_ = 0;
    bool stopTimer_ = false;
    std::thread timer_;
};

}  // namespace azk

#endif

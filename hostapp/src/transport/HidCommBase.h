// HidCommBase.h - the session's data and transport: the HID device, the
// receiver thread that joins input reports into responses, event packets and
// text messages, and SendAndWait, which cuts a request into output reports
// and waits for the response.
//
// Who reads the device. The receiver thread reads while no request runs.
// Where the platform can interrupt a read, the reading passes to the caller
// when a request ends and stays with it while requests follow one another:
// each then reads its own response on the caller's thread, one hand-off
// between threads less per response. The receiver takes the reading back
// once no request has run for kReadingLingerMs (timed by the receiver, so
// between one and two lingers after the last), and at once when a request
// reads anything but a response: that report goes to the receiver with it,
// since events and text messages are delivered on the receiver thread only.
#ifndef AZK_TRANSPORT_HID_COMM_BASE_H
#define AZK_TRANSPORT_HID_COMM_BASE_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "session/SessionApi.h"
#include "transport/HidDevice.h"
#include "transport/ResponseSlot.h"
#include "transport/ZeroedPages.h"

namespace azk {

// Text messages from the device (see SessionSetTextCallback).
using TextCallback = SessionTextCallback;

class azk_CHidCommBase {
public:
    static constexpr uint32_t kBufferSize = 131070;  // request, response and text buffers
    static constexpr uint32_t kEventBufferSize = 64;
    static constexpr uint32_t kMaxReportLength = 64;  // input and output, report ID byte not counted
    static constexpr int kReadingLingerMs = 10;  // a request's hold on the reading after it ends
    static constexpr int32_t kWriteTimeoutMs = 500;  // per written report

    azk_CHidCommBase();
    // Not virtual: a session is destroyed only as the class it was made as.
    ~azk_CHidCommBase();
    azk_CHidCommBase(const azk_CHidCommBase&) = delete;
    azk_CHidCommBase& operator=(const azk_CHidCommBase&) = delete;

    // Runs one command. This class knows none: it does nothing and returns 0.
    virtual int32_t Exec(int32_t commandId, void* block, int32_t* statusPair);

    // Opens the variant's index-th device (0: the first) and starts the
    // receiver thread. On failure everything acquired is released again and
    // false returned.
    bool Initialize(int32_t variant, SessionEventCallback eventCallback, int32_t index = 0);

    // The product ID and report length of a variant (1 or 2); false for any
    // other value.
    static bool VariantParameters(int32_t variant, int32_t& productId, int32_t& reportLength);
    // Stops the receiver thread and closes the device. Safe in any state.
    void Terminate();

    // Sends `size` request bytes as output reports and waits up to timeoutMs
    // (UINT32_MAX: without limit) for the response, which is then in the
    // response buffer. Only a response whose first report arrived after this
    // call began, and of which at least 8 + `length` bytes arrived, is taken;
    // it is copied into the response buffer, which the receiver does not
    // touch again before the next call. Returns 0, -1 (empty request), -7
    // (write failed or no response in time), -11 (session closing), -12
    // (the response ended before its declared length; the response buffer
    // is unchanged) or -13 (non-zero status).
    int32_t SendAndWait(const uint8_t* request, uint32_t size, uint32_t timeoutMs);

    static void ReceiverThreadEntry(azk_CHidCommBase* session);
    void ReceiverLoop();
    // Passes one event packet (the payload of an event report) to the event
    // callback, for the event types that carry one.
    void DecodeEventPacket(const uint8_t* eventBuffer);

    // Installs the text message callback (null removes it). May be called at
    // any time; a message being delivered meanwhile goes to the old one.
    // A message with L = 0 reaches it as an empty text with length 0.
    void SetTextCallback(TextCallback callback, void* context);

    // Marks a firmware update in progress: a failed read then raises no
    // device-lost event.
    void SetFirmwareUpdate(bool active) { firmwareUpdate_.store(active ? 1 : 0); }
    bool FirmwareUpdateRuns() const { return firmwareUpdate_.load() != 0; }

    uint8_t* RequestBuffer() { return requestBuffer_; }
    const uint8_t* ResponseBuffer() const { return responseBuffer_; }
    int32_t OutputReportLength() const { return outputReportLength_; }
    int32_t InputReportLength() const { return inputReportLength_; }
    int32_t Status() const { return status_; }
    int32_t Detail() const { return detail_; }
    bool Closing() const { return closing_.load() != 0; }
    azk_CHidDevice& Device() { return device_; }

    // True on this session's own receiver thread (in a callback): the
    // session cannot be stopped from there.
    bool OnReceiverThread() const;
    // True on a thread inside one of this session's commands (in command
    // 64's progress callback): the session cannot be stopped from there
    // either, the command would go on with it gone.
    bool InCommandOnThisThread() const {
        return commandThread_.load(std::memory_order_relaxed) == std::this_thread::get_id();
    }

    // Receiver threads running in this process (for tests of the stop paths).
    static int RunningReceivers();

protected:
    // For the whole of one Exec, after taking sessionLock_: marks the
    // calling thread as inside a command of this session, and restores the
    // mark found (none, or this thread's for a command run from another's
    // progress callback).
    class CommandScope {
    public:
        explicit CommandScope(azk_CHidCommBase& session)
            : session_(session), outer_(session.commandThread_.load(std::memory_order_relaxed)) {
            session_.commandThread_.store(std::this_thread::get_id(), std::memory_order_relaxed);
        }
        ~CommandScope() { session_.commandThread_.store(outer_, std::memory_order_relaxed); }
        CommandScope(const CommandScope&) = delete;
        CommandScope& operator=(const CommandScope&) = delete;

    private:
        azk_CHidCommBase& session_;
        const std::thread::id outer_;
    };

    std::recursive_mutex sessionLock_;  // held for the whole of one Exec

private:
    // The thread inside a command of this session; written under
    // sessionLock_ (CommandScope), read by SessionFree on any thread.
    std::atomic<std::thread::id> commandThread_{};

    struct TextSink {
        TextCallback callback = nullptr;
        void* context = nullptr;
    };

    void DeliverText(uint32_t length);
    void CallEventCallback(int event, int stat);
    // One response report (marker 0x83, 0x84 or 0x85) into the reassembly.
    void AssembleResponse(const uint8_t* report, uint32_t p, uint32_t limit);
    // A report that carries a response (markers 0x83-0x85, or an event
    // report of type 4) goes into the reassembly or straight to the slot;
    // false for any other report.
    bool TakeResponseReport(const uint8_t* report);
    // Text reports into the text reassembly, event packets to the callback.
    struct TextAssembly {
        uint32_t position = 0;
        uint32_t length = 0;
        bool continues = false;
    };
    void HandleDeviceReport(const uint8_t* report, TextAssembly& text);

    // The reading between the receiver thread and the caller (see the top).
    enum class Reader { Receiver, Caller };
    enum class ReceiverTurn { Read, Mailbox, Drain, Closing };
    // Who reads a request's response; None when the reports queued before
    // it could not all be read in time (the receiver is held in a callback).
    enum class RequestReader { Caller, Receiver, None };
    // Receiver: waits until it reads, or has a report a caller handed over
    // (copied to `report`), or is to read what is queued for a request, or
    // the session closes.
    ReceiverTurn AwaitReceiverTurn(uint8_t* report);
    // Receiver: a turn has ended; `drained` after a Drain turn.
    void EndReceiverTurn(bool drained = false);
    // Receiver, in a Drain turn: reads and handles every report queued.
    // TimedOut once none is left, Failed when a read fails.
    HidIoResult ReadQueuedForRequest(TextAssembly& text);
    // Receiver: a read failed; tells the loss (unless the session is
    // stopping or a firmware update runs) and marks the session closing.
    void EndOnFailedRead();
    // Whether the reading passes between the caller and the receiver: the
    // interface's reads can be interrupted, and this is not the receiver's
    // own thread.
    bool PassesReading() const { return sharedReading_ && !OnReceiverThread(); }
    // Caller: a request (of one report or more) begins. Every report queued
    // before it (a late or repeated answer, events) is read before it is
    // sent, by the caller or, when the caller cannot, by the receiver
    // within waitMs; so only a response the device sends after that can
    // answer it.
    RequestReader BeginReading(bool oneReport, uint32_t waitMs);
    // Caller: takes the reading from the receiver, which leaves its read;
    // false when the receiver stays busy for a linger (in a callback).
    bool TakeReading();
    // Caller: the receiver reads what is queued and then the response;
    // false when it has not read the queue within waitMs.
    bool DrainThroughReceiver(uint32_t waitMs);
    // Caller: reads until the response slot settles or `deadline` passes,
    // or hands the reading back on a report that is not a response or a
    // failed read. The first read waits up to firstWaitMs (-1: without
    // limit), the time left when the deadline was set just before.
    void ReadOwnResponse(std::chrono::steady_clock::time_point deadline, bool limited, int32_t firstWaitMs);
    // Caller, before its request: reads the reports already queued. False
    // when it handed the reading back (see ReadOwnResponse).
    bool ReadQueuedReports();
    // Caller: the reading goes back to the receiver, with `report` (not
    // null: a report the caller read that is not a response) to handle.
    void HandReadingBack(const uint8_t* report);
    // Caller: the request has ended; the reading is kept for the next.
    void EndReading();

    // Bytes of a message in one report, and the most a reassembly may hold:
    // the largest message (8 + 65535 bytes) rounded up to whole segments. A
    // position never passes it by more than one segment, which every buffer
    // holds with room to spare.
    uint32_t Segment() const { return static_cast<uint32_t>(inputReportLength_) - 1; }
    uint32_t ReassemblyLimit() const { return Segment() * (65536 / Segment() + 1); }

    // Reassembly of the response being received: the receiver's alone.
    struct Assembly {
        uint32_t position = 0;     // bytes in assemblyBuffer_
        uint32_t needed = 0;       // 8 + the header's `length`
        uint64_t generation = 0;   // the request current at its first report
        bool continues = false;    // a first report came, the last not yet
    };

    azk_CHidDevice device_;
    std::thread receiver_;
    std::atomic<int32_t> closing_{0};
    std::atomic<int32_t> firmwareUpdate_{0};
    int32_t inputReportLength_ = 0;
    int32_t outputReportLength_ = 0;
    uint8_t eventBuffer_[kEventBufferSize] = {};
    // The large buffers start zeroed in pages of their own: making a session
    // writes none of their half megabyte, and a command touches only the
    // pages its messages reach.
    struct Buffers {
        uint8_t text[kBufferSize];
        uint8_t request[kBufferSize];
        uint8_t response[kBufferSize];
        uint8_t assembly[kBufferSize];
    };
    azk_CZeroedPages<Buffers> buffers_;
    uint8_t (&textBuffer_)[kBufferSize] = buffers_->text;
    uint8_t (&requestBuffer_)[kBufferSize] = buffers_->request;
    // The caller's, written only through responseSlot_.
    uint8_t (&responseBuffer_)[kBufferSize] = buffers_->response;
    uint8_t (&assemblyBuffer_)[kBufferSize] = buffers_->assembly;  // the receiver's
    Assembly assembly_;
    azk_CResponseSlot responseSlot_{responseBuffer_, kBufferSize};
    int32_t status_ = 0;
    int32_t detail_ = 0;
    SessionEventCallback eventCallback_ = nullptr;
    std::mutex textSinkLock_;
    TextSink textSink_;

    struct ReadingState {
        Reader reader = Reader::Receiver;
        bool receiverBusy = false;  // the receiver reads or handles a report
        bool callerActive = false;  // a request runs
        bool callerWaits = false;   // it waits for the receiver's turn to end
        bool receiverWaits = false;  // the receiver waits for the request to end
        uint64_t activity = 0;       // requests begun and ended, and the session's start
        uint64_t activitySeen = 0;   // by the receiver, when it last looked
        bool drainWanted = false;  // a request waits for the receiver to read what is queued
        bool mailboxFull = false;  // a report a caller read, for the receiver
        uint8_t mailbox[kMaxReportLength] = {};
    };
    bool sharedReading_ = false;  // the interface's reads can be interrupted
    std::mutex readingLock_;
    std::condition_variable readingChanged_;
    ReadingState reading_;  // guarded by readingLock_
};

}  // namespace azk

#endif

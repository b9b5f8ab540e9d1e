#include "transport/platform/win32/OverlappedIo.h"

#include <cstring>
#include <utility>

namespace azk::win32hid {
namespace {

// Clears a completion record for its next transfer, keeping its event.
void Rearm(OVERLAPPED& ov) {
    const HANDLE event = ov.hEvent;
    ov = OVERLAPPED{};
    ov.hEvent = event;
}

HidIoResult ResetAndFail(const azk_CWin32Handle& event) {
    ::ResetEvent(event.Get());
    return HidIoResult::Failed;
}

// Ends a read that completed on `ov`: the bytes past what it transferred
// are zeroed, so that a report shorter than the buffer never shows a
// previous report's tail. A transfer of nothing is no report.
HidIoResult FinishRead(HANDLE file, OVERLAPPED& ov, uint8_t* buffer, size_t length) {
    DWORD transferred = 0;
    if (!::GetOverlappedResult(file, &ov, &transferred, FALSE) || transferred == 0) return HidIoResult::Failed;
    if (transferred < length) std::memset(buffer + transferred, 0, length - transferred);
    return HidIoResult::Ok;
}

// Milliseconds since `start`, from two GetTickCount readings taken in
// 32-bit wrap-around arithmetic and compared signed.
int32_t ElapsedSince(DWORD start) { return static_cast<int32_t>(::GetTickCount() - start); }

}  // namespace

bool azk_COverlappedIo::CreateIoEvents() {
    readEvent_.Reset();
    writeEvent_.Reset();
    readOv_ = OVERLAPPED{};
    writeOv_ = OVERLAPPED{};
    azk_CWin32Handle readEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!readEvent.Valid()) return false;
    azk_CWin32Handle writeEvent(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!writeEvent.Valid()) return false;  // the read event is closed with its owner
    readEvent_ = std::move(readEvent);
    writeEvent_ = std::move(writeEvent);
    readOv_.hEvent = readEvent_.Get();
    writeOv_.hEvent = writeEvent_.Get();
    return true;
}

void azk_COverlappedIo::WakeRead() {
    woken_.store(true);
    // Ends the read in progress, if there is one. ERROR_NOT_FOUND when
    // there is none: the next read finds the flag set.
    ::CancelIoEx(file_, &readOv_);
}

bool azk_COverlappedIo::CancelAndWait(OVERLAPPED& ov, bool ownThreadOnly) {
    if (ownThreadOnly) {
        ::CancelIo(file_);
    } else {
        ::CancelIoEx(file_, &ov);
    }
    // The transfer's end, completed or cancelled, signals its event.
    DWORD transferred = 0;
    return ::GetOverlappedResult(file_, &ov, &transferred, TRUE) != FALSE;
}

// Waits for the transfer on `ov` to end, for at most timeoutMs from now:
// Ok when it completed, Failed when it failed, TimedOut when it is still
// pending once the time is up (0 or less: checked once, never waited for).
// The thread sleeps on the completion event for the time that remains.
HidIoResult azk_COverlappedIo::AwaitTransfer(OVERLAPPED& ov, int32_t timeoutMs) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        DWORD transferred = 0;
        if (::GetOverlappedResult(file_, &ov, &transferred, FALSE)) return HidIoResult::Ok;
        if (::GetLastError() != ERROR_IO_INCOMPLETE) return HidIoResult::Failed;
        const int64_t remaining = int64_t{timeoutMs} - ElapsedSince(start);
        if (remaining <= 0) return HidIoResult::TimedOut;
        const DWORD waited = ::WaitForSingleObject(ov.hEvent, static_cast<DWORD>(remaining));
        if (waited == WAIT_FAILED) return HidIoResult::Failed;
        if (waited == WAIT_OBJECT_0 && !HasOverlappedIoCompleted(&ov)) {
            // Signalled while the transfer is still pending: nothing of ours
            // does that, but waiting again on a set manual-reset event would
            // spin. The next look at the result catches a completion that
            // lands between this reset and the wait.
            ::ResetEvent(ov.hEvent);
        }
    }
}

HidIoResult azk_COverlappedIo::Read(uint8_t* buffer, size_t length, int32_t timeoutMs) {
    if (!readEvent_.Valid() || length == 0 || length > MAXDWORD) return HidIoResult::Failed;
    if (woken_.load()) return HidIoResult::Failed;
    if (readStarting_ != nullptr) readStarting_(readStartingContext_);
    Rearm(readOv_);
    // ReadFile resets the event as it starts the transfer.
    if (::ReadFile(file_, buffer, static_cast<DWORD>(length), nullptr, &readOv_)) {
        return FinishRead(file_, readOv_, buffer, length);
    }
    if (::GetLastError() != ERROR_IO_PENDING) return ResetAndFail(readEvent_);
    if (woken_.load()) {
        // Woken while the transfer was being started: nothing was cancelled yet.
        CancelAndWait(readOv_, false);
        return ResetAndFail(readEvent_);
    }

    if (timeoutMs == -1) {
        // Ends with the report, or with the cancellation of a wake.
        DWORD transferred = 0;
        if (!::GetOverlappedResult(file_, &readOv_, &transferred, TRUE)) return HidIoResult::Failed;
        return FinishRead(file_, readOv_, buffer, length);
    }

    const HidIoResult result = AwaitTransfer(readOv_, timeoutMs);
    if (result == HidIoResult::Ok) return FinishRead(file_, readOv_, buffer, length);
    if (result == HidIoResult::Failed) return ResetAndFail(readEvent_);
    // Out of time. The read is cancelled rather than left pending on the
    // completion record and buffer that the next read uses; a report that
    // arrived in the meantime is kept, unless a wake came.
    const bool arrived = CancelAndWait(readOv_, false);
    if (arrived && !woken_.load()) return FinishRead(file_, readOv_, buffer, length);
    ResetAndFail(readEvent_);
    return woken_.load() ? HidIoResult::Failed : HidIoResult::TimedOut;
}

HidIoResult azk_COverlappedIo::Write(const uint8_t* buffer, size_t length, int32_t timeoutMs) {
    if (!writeEvent_.Valid() || length == 0 || length > MAXDWORD) return HidIoResult::Failed;
    Rearm(writeOv_);
    if (::WriteFile(file_, buffer, static_cast<DWORD>(length), nullptr, &writeOv_)) {
        return HidIoResult::Ok;
    }
    if (::GetLastError() != ERROR_IO_PENDING) return ResetAndFail(writeEvent_);

    if (timeoutMs == -1) {
        DWORD transferred = 0;
        return ::GetOverlappedResult(file_, &writeOv_, &transferred, TRUE) ? HidIoResult::Ok
                                                                           : HidIoResult::Failed;
    }

    const HidIoResult result = AwaitTransfer(writeOv_, timeoutMs);
    if (result == HidIoResult::Ok) return HidIoResult::Ok;
    if (result == HidIoResult::Failed) return ResetAndFail(writeEvent_);
    // Only this thread's transfers are cancelled: the write, never the read
    // another thread has pending on the handle.
    if (CancelAndWait(writeOv_, true)) return HidIoResult::Ok;
    ResetAndFail(writeEvent_);
    return HidIoResult::TimedOut;
}

}  // namespace azk::win32hid

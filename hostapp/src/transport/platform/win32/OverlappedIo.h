// OverlappedIo.h - whole-message transfers with time-outs on a handle opened
// for overlapped I/O, the way the Win32 HID platform moves its reports.
// Internal to the Win32 platform (and its tests): it brings in <windows.h>.
//
// A read or write is started with ReadFile/WriteFile on its own completion
// record, whose event is manual-reset. Without a time-out it waits for the
// transfer; with one it waits on the completion event for the time that
// remains (measured with GetTickCount, compared in 32-bit wrap-around
// arithmetic), so a thread waiting for a transfer uses no processor time. A
// transfer that runs out of time is cancelled and its cancellation waited
// for, so that the completion record and the buffer are never reused, nor
// freed, while the system may still write to them; a transfer that completed
// in that instant counts as done. The write is cancelled with CancelIo, which
// reaches only what the writing thread started, never the read another
// thread has pending on the same handle.
//
// WakeRead sets a flag and cancels the pending read with CancelIoEx, which
// any thread may do. The cancelled transfer completes, and that signals the
// read event the reader waits on. Every read checks the flag before it
// starts and again right after it started: a wake that came before the
// transfer existed (and so found nothing to cancel) is seen by the second
// check, a later one finds the transfer. Once woken, every read fails.
#ifndef AZK_TRANSPORT_WIN32_OVERLAPPED_IO_H
#define AZK_TRANSPORT_WIN32_OVERLAPPED_IO_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "transport/platform/HidPlatform.h"

namespace azk::win32hid {

// An owned kernel handle: a file, a pipe or an event. The null handle and
// INVALID_HANDLE_VALUE both mean none.
class azk_CWin32Handle {
public:
    azk_CWin32Handle() = default;
    explicit azk_CWin32Handle(HANDLE handle) : handle_(handle) {}
    ~azk_CWin32Handle() { Reset(); }
    azk_CWin32Handle(azk_CWin32Handle&& other) noexcept : handle_(other.Release()) {}
    azk_CWin32Handle& operator=(azk_CWin32Handle&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = other.Release();
        }
        return *this;
    }
    azk_CWin32Handle(const azk_CWin32Handle&) = delete;
    azk_CWin32Handle& operator=(const azk_CWin32Handle&) = delete;

    HANDLE Get() const { return handle_; }
    bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    HANDLE Release() {
        const HANDLE handle = handle_;
        handle_ = nullptr;
        return handle;
    }
    void Reset() {
        if (Valid()) ::CloseHandle(handle_);
        handle_ = nullptr;
    }

private:
    HANDLE handle_ = nullptr;
};

// The read and write machinery of one overlapped handle, which it does not
// own and which must outlive it. Read runs on one thread while Write runs on
// another; WakeRead may be called from any thread. Destroying the object
// closes the events; no transfer is pending then, as Read and Write return
// only once theirs has ended.
class azk_COverlappedIo {
public:
    explicit azk_COverlappedIo(HANDLE file) : file_(file) {}
    azk_COverlappedIo(const azk_COverlappedIo&) = delete;
    azk_COverlappedIo& operator=(const azk_COverlappedIo&) = delete;

    // Creates the read event, then the write event (unnamed, manual-reset,
    // not signalled) and clears both completion records. False, with no
    // event kept, when either cannot be created.
    bool CreateIoEvents();

    // One transfer of `length` bytes. timeoutMs -1 waits without limit; 0
    // or any other negative value gives up after the first attempt.
    HidIoResult Read(uint8_t* buffer, size_t length, int32_t timeoutMs);
    HidIoResult Write(const uint8_t* buffer, size_t length, int32_t timeoutMs);

    // Ends the pending read with Failed and makes every later read fail.
    void WakeRead();

    // Called by Read after its first look at the wake flag and before it
    // starts the transfer: the instant in which a wake finds no transfer to
    // cancel. Lets tests put a wake there; null (the default) calls nothing.
    using ReadStartingHook = void (*)(void* context);
    void SetReadStartingHook(ReadStartingHook hook, void* context) {
        readStarting_ = hook;
        readStartingContext_ = context;
    }

private:
    bool CancelAndWait(OVERLAPPED& ov, bool ownThreadOnly);
    HidIoResult AwaitTransfer(OVERLAPPED& ov, int32_t timeoutMs);

    HANDLE file_;
    azk_CWin32Handle readEvent_;
    azk_CWin32Handle writeEvent_;
    OVERLAPPED readOv_{};
    OVERLAPPED writeOv_{};
    std::atomic<bool> woken_{false};
    ReadStartingHook readStarting_ = nullptr;
    void* readStartingContext_ = nullptr;
};

}  // namespace azk::win32hid

#endif

// ManualResetEvent.h - an event that stays signalled until it is reset.
#ifndef AZK_SUPPORT_MANUAL_RESET_EVENT_H
#define AZK_SUPPORT_MANUAL_RESET_EVENT_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace azk {

class azk_CManualResetEvent {
public:
    void Set() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            signalled_ = true;
        }
        cv_.notify_all();
    }

    void Reset() {
        std::lock_guard<std::mutex> lock(mutex_);
        signalled_ = false;
    }

    // Waits until the event is signalled or timeoutMs milliseconds passed
    // (a time-out of UINT32_MAX, the platform's INFINITE, waits without
    // limit). Returns true when the event was signalled.
    bool Wait(uint32_t timeoutMs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (timeoutMs == kInfinite) {
            cv_.wait(lock, [this] { return signalled_; });
            return true;
        }
        return cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return signalled_; });
    }

    static constexpr uint32_t kInfinite = UINT32_MAX;

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool signalled_ = false;
};

}  // namespace azk

#endif

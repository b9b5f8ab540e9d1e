// ResponseSlot.h - the hand-off of one response from the receiver thread to
// the request that waits for it.
//
// Each request opens the slot and gets a new generation number before its
// first report is written. The receiver stamps a response with the
// generation current when its first report arrived, and offers it when it is
// complete; the slot takes it only while a request waits and only for that
// request's generation, copying it into the destination buffer under the
// slot's lock. Once the wait has ended (answer, time-out, failure) the
// destination is the waiting caller's alone until it opens the slot again:
// the receiver never writes a buffer that a handler reads.
#ifndef AZK_TRANSPORT_RESPONSE_SLOT_H
#define AZK_TRANSPORT_RESPONSE_SLOT_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <mutex>

namespace azk {

class azk_CResponseSlot {
public:
    enum class Outcome {
        TimedOut,    // nothing arrived for the request in time
        Complete,    // the response is in the destination buffer
        Incomplete,  // the response ended before its declared length
        Closed       // the receiver ended during the wait
    };

    static constexpr uint32_t kInfinite = UINT32_MAX;

    // destination: where a taken response is copied, capacity bytes.
    azk_CResponseSlot(uint8_t* destination, size_t capacity) : destination_(destination), capacity_(capacity) {}

    // Sender: a new request begins. Nothing offered for an earlier
    // generation can be taken from now on. Opened again while the request
    // is written, the slot forgets what it settled on meanwhile.
    void Open() {
        std::lock_guard<std::mutex> lock(mutex_);
        generation_.store(generation_.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        waiting_ = true;
        outcome_ = Outcome::TimedOut;
        settled_.store(false, std::memory_order_relaxed);
    }

    // Sender: the request gave up before waiting (a write failed).
    void Abandon() {
        std::lock_guard<std::mutex> lock(mutex_);
        waiting_ = false;
    }

    // Sender: waits up to timeoutMs (kInfinite: without limit) for the
    // request's outcome. When it returns, nothing more is taken until the
    // next Open.
    Outcome Wait(uint32_t timeoutMs) {
        // Settled already (the caller read the response itself): no wait,
        // and no lock. Nothing settles the slot again before the next Open,
        // and the outcome was written before the flag.
        if (settled_.load(std::memory_order_acquire)) return outcome_;
        std::unique_lock<std::mutex> lock(mutex_);
        const auto settled = [this] { return settled_.load(std::memory_order_relaxed); };
        if (timeoutMs == kInfinite) {
            settledChanged_.wait(lock, settled);
        } else {
            settledChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), settled);
        }
        waiting_ = false;
        return settled() ? outcome_ : Outcome::TimedOut;
    }

    // Whether the request opened last has its outcome; without the lock,
    // for a caller that polls it between reads.
    bool Settled() const { return settled_.load(std::memory_order_acquire); }

    // Receiver: the generation of the request opened last.
    uint64_t Generation() const { return generation_.load(std::memory_order_acquire); }

    // Receiver: a complete response of `size` bytes for `generation`. Copied
    // and handed to the waiting request when it is that generation's and
    // nothing settled it yet; dropped otherwise. True when taken.
    bool Offer(uint64_t generation, const uint8_t* message, size_t size) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!Settleable(generation) || size > capacity_) return false;
            std::memcpy(destination_, message, size);
            Settle(Outcome::Complete);
        }
        // Outside the lock, so that the woken caller does not block on it.
        settledChanged_.notify_all();
        return true;
    }

    // Receiver: a response for `generation` that ended before its declared
    // length. The waiting request of that generation fails.
    bool Reject(uint64_t generation) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!Settleable(generation)) return false;
            Settle(Outcome::Incomplete);
        }
        settledChanged_.notify_all();
        return true;
    }

    // Receiver: it has ended. A request waiting now is woken.
    void Close() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!waiting_ || settled_.load(std::memory_order_relaxed)) return;
            Settle(Outcome::Closed);
        }
        settledChanged_.notify_all();
    }

private:
    bool Settleable(uint64_t generation) const {
        return waiting_ && !settled_.load(std::memory_order_relaxed) &&
               generation == generation_.load(std::memory_order_relaxed);
    }
    void Settle(Outcome outcome) {
        outcome_ = outcome;
        settled_.store(true, std::memory_order_release);
    }

    uint8_t* const destination_;
    const size_t capacity_;
    std::mutex mutex_;
    std::condition_variable settledChanged_;
    std::atomic<uint64_t> generation_{0};  // written under mutex_
    bool waiting_ = false;
    std::atomic<bool> settled_{false};  // written under mutex_
    Outcome outcome_ = Outcome::TimedOut;
};

}  // namespace azk

#endif

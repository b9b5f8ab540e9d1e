// Test support for time: shorter product time-outs while a test runs, the
// check that a wait gave up when it should, and waiting for a condition
// instead of sleeping for a guess.
#ifndef AZK_TESTS_TIMING_H
#define AZK_TESTS_TIMING_H

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

#ifdef __linux__
#include <filesystem>

#include <sys/syscall.h>
#include <sys/types.h>
#include <unistd.h>
#endif

#include "support/Timeouts.h"

namespace azk::test {

// Divides every product time-out by `divisor` while alive.
class azk_CShortTimeouts {
public:
    explicit azk_CShortTimeouts(uint32_t divisor) { azk_CTimeouts::SetDivisor(divisor); }
    ~azk_CShortTimeouts() { azk_CTimeouts::SetDivisor(1); }
    azk_CShortTimeouts(const azk_CShortTimeouts&) = delete;
    azk_CShortTimeouts& operator=(const azk_CShortTimeouts&) = delete;
};

// A stopwatch started when made.
class azk_CStopwatch {
public:
    double Ms() const {
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start_).count();
    }

private:
    std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();
};

// How much later than its time-out a wait may end on a loaded machine
// (sanitizers, a few test processes sharing two cores).
constexpr double kLateMs = 1500;

// A wait that gave up after expectedMs: not earlier (but for the rounding of
// a time-out to whole milliseconds), and not so much later that another,
// longer time-out must have been used.
inline ::testing::AssertionResult GaveUpAfter(double elapsedMs, double expectedMs) {
    if (elapsedMs > expectedMs - 1 && elapsedMs < expectedMs + kLateMs) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "gave up after " << elapsedMs << " ms; expected " << expectedMs
                                         << " ms (up to " << kLateMs << " ms later)";
}

// Polls `condition` until it holds or timeoutMs passed; returns its last value.
inline bool WaitUntil(const std::function<bool()>& condition, int timeoutMs = 10000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= end) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

#ifdef __linux__
// The calling thread's kernel id.
inline pid_t ThreadId() { return static_cast<pid_t>(::syscall(SYS_gettid)); }

// How many threads this process has.
inline size_t ThreadsOfThisProcess() {
    size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) n += entry.is_directory() ? 1 : 0;
    return n;
}

// Waits until thread `tid` of this process sleeps in the kernel (state S),
// as a thread blocked in poll() or read() does: instead of sleeping for a
// guess before waking or unplugging what it waits on.
inline bool WaitUntilSleeping(pid_t tid, int timeoutMs = 10000) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/stat";
    return WaitUntil(
        [&] {
            std::ifstream in(path);
            std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            const size_t end = stat.rfind(')');  // the name in parentheses may hold anything
            return end != std::string::npos && end + 2 < stat.size() && stat[end + 2] == 'S';
        },
        timeoutMs);
}
#endif

}  // namespace azk::test

#endif

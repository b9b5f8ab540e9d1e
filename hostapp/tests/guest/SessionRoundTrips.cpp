// SessionRoundTrips.cpp - what the session stack costs on the platform it is
// built for, against the first speakerphone found (16-byte reports):
//
//   session_round_trips COUNT     key-lock gets through SessionExec; prints
//                                 "round-trips/s N" (session opened and
//                                 closed outside the timed part)
//   session_round_trips --wait    one key-lock get, meant for a device that
//                                 never answers; prints "result R wall-ms N
//                                 cpu-ms N", the processor time this process
//                                 used during the call (every thread)
//
// Exits 1 when no session can be had, or a get in the first form fails.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <ctime>
#endif

#include "session/SessionApi.h"

namespace {

using Clock = std::chrono::steady_clock;

// Processor time of the whole process so far, in milliseconds.
double ProcessCpuMs() {
#ifdef _WIN32
    FILETIME created, exited, kernel, user;
    if (!::GetProcessTimes(::GetCurrentProcess(), &created, &exited, &kernel, &user)) return -1;
    const auto ticks = [](const FILETIME& t) {
        return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(ticks(kernel) + ticks(user)) / 10000.0;  // 100 ns units
#else
    timespec t{};
    if (::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t) != 0) return -1;
    return static_cast<double>(t.tv_sec) * 1000.0 + static_cast<double>(t.tv_nsec) / 1e6;
#endif
}

double MsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
    const bool wait = argc == 2 && std::strcmp(argv[1], "--wait") == 0;
    const long count = argc == 2 && !wait ? std::strtol(argv[1], nullptr, 10) : 0;
    if (!wait && (count < 1 || count > 10000000)) {
        std::fprintf(stderr, "usage: session_round_trips COUNT | --wait\n");
        return 2;
    }
    SessionHandle session = SessionCreate(SESSION_VARIANT_16, nullptr);
    if (session == nullptr) {
        std::fprintf(stderr, "session_round_trips: no session\n");
        return 1;
    }
    SessionParamBlock block{};
    int32_t status[2] = {0, 0};
    int exitStatus = 0;
    if (wait) {
        const double cpuBefore = ProcessCpuMs();
        const Clock::time_point start = Clock::now();
        const int32_t result = SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, status);
        const double wall = MsSince(start);
        const double cpu = ProcessCpuMs() - cpuBefore;
        std::printf("result %d wall-ms %.0f cpu-ms %.1f\n", static_cast<int>(result), wall, cpu);
    } else {
        const Clock::time_point start = Clock::now();
        long done = 0;
        while (done < count &&
               SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, status) == SESSION_RESULT_OK) {
            ++done;
        }
        const double seconds = MsSince(start) / 1000.0;
        if (done < count) {
            std::fprintf(stderr, "session_round_trips: get %ld of %ld failed\n", done + 1, count);
            exitStatus = 1;
        } else {
            std::printf("round-trips/s %.0f\n", static_cast<double>(count) / seconds);
        }
    }
    SessionFree(session);
    return exitStatus;
}

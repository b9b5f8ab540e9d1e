// KernelRoundTrip.cpp - round trips per second of the key-lock get against
// one emulated speakerphone on a kernel hidraw node: through the whole stack
// (session library, framing, HID device object, Linux platform) and through
// a minimal client written directly on hidraw write and read.
//
//   kernel_round_trip NODE [ROUNDS [PER_BLOCK]]
//
// NODE is the device's hidraw node (numbered reports, 16 bytes), the only
// device with the compiled-in IDs. Emulated machines run in a fast or a slow
// mode for seconds at a time, so the two clients take turns in short blocks
// (the order swapped every round) and the ratio is the median over rounds of
// the two block times. Prints one table row starting with "PERF" (both
// figures and the session library's speed as a multiple of the minimal
// client's), then a "NOTE" line that measures the stack in parts the same
// way: the minimal client with one non-blocking read before each request
// (as the stack reads what is queued), the HID device object alone against
// the minimal client, and SessionExec against the device object. A second
// "NOTE" line tells what the emulated machine charges for the kinds of work
// a stack adds: the minimal client with one thing added to each round trip
// (calls, pages, locks, an idle thread's wake-ups, plain instructions, clock
// reads), beside the minimal client. Exits non-zero when an exchange fails.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "Interleaved.h"
#include "session/SessionApi.h"
#include "transport/HidDevice.h"
#include "transport/platform/HidPlatform.h"

namespace {

using azk::bench::Clock;
using azk::bench::SecondsSince;

// `count` gets through the session library; the seconds they took, or a
// negative value on failure. The session is opened and closed outside the
// timed part.
double StackBlock(int count) {
    SessionHandle session = SessionCreate(SESSION_VARIANT_16, nullptr);
    if (session == nullptr) {
        std::fprintf(stderr, "kernel_round_trip: no session\n");
        return -1;
    }
    SessionParamBlock block{};
    int32_t status[2] = {0, 0};
    bool ok = true;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count && ok; ++i) {
        ok = SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, status) == SESSION_RESULT_OK;
    }
    const double seconds = SecondsSince(start);
    SessionFree(session);
    if (!ok) std::fprintf(stderr, "kernel_round_trip: a get through the session failed\n");
    return ok ? seconds : -1;
}

// The same gets as one 17-byte write and blocking reads until the answer;
// with `readFirst`, on a non-blocking node, and each get starting with a
// read of what is queued (nothing). `extra`, when given, runs after each
// write.
double RawBlock(const char* node, int count, bool readFirst = false, void (*extra)() = nullptr) {
    const int fd = ::open(node, O_RDWR | O_CLOEXEC | (readFirst ? O_NONBLOCK : 0));
    if (fd < 0) {
        std::fprintf(stderr, "kernel_round_trip: cannot open %s\n", node);
        return -1;
    }
    // Output report ID 2, then the request: marker, op 2 (get), function
    // 0x0036, argument, target 0, reserved, length 0.
    uint8_t request[17] = {0x02, 0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    uint8_t answer[64];
    bool ok = true;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count && ok; ++i) {
        if (readFirst) ok = ::read(fd, answer, sizeof answer) < 0;
        ok = ok && ::write(fd, request, sizeof request) == static_cast<ssize_t>(sizeof request);
        if (extra != nullptr) extra();
        for (;;) {
            if (!ok) break;
            const ssize_t n = ::read(fd, answer, sizeof answer);
            if (n < 0 && readFirst) {
                pollfd pfd = {fd, POLLIN, 0};
                ok = ::poll(&pfd, 1, 5000) == 1;
                continue;
            }
            // Input report ID 1, then the answer's first report (0x83, op 3).
            ok = n == 17 && answer[0] == 0x01;
            if (ok && answer[1] == 0x83) {
                ok = answer[2] == 0x03;
                break;
            }
        }
    }
    const double seconds = SecondsSince(start);
    ::close(fd);
    if (!ok) std::fprintf(stderr, "kernel_round_trip: a get on %s failed\n", node);
    return ok ? seconds : -1;
}

// The same gets through the HID device object alone, as the session makes
// them: a read of what is queued, the write, the read of the answer.
double DeviceBlock(int count) {
    azk::azk_CHidDevice device(azk::GetHidPlatform());
    if (device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0) == nullptr) {
        std::fprintf(stderr, "kernel_round_trip: the device object opens no device\n");
        return -1;
    }
    const uint8_t request[16] = {0x80, 0x02, 0x36, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00};
    uint8_t answer[16];
    bool ok = true;
    const Clock::time_point start = Clock::now();
    for (int i = 0; i < count && ok; ++i) {
        ok = device.TakeReport(answer, 0) == azk::HidIoResult::TimedOut && device.WriteReport(request, 500) == 1 &&
             device.TakeReport(answer, 5000) == azk::HidIoResult::Ok && answer[0] == 0x83 && answer[1] == 0x03;
    }
    const double seconds = SecondsSince(start);
    if (!ok) std::fprintf(stderr, "kernel_round_trip: a get through the device object failed\n");
    return ok ? seconds : -1;
}

// What the emulated machine charges: work added to each round trip of the
// minimal client.
volatile int g_sink = 0;

[[gnu::noinline]] void Bump() { g_sink = g_sink + 1; }

// 48 calls, each from a place of its own (a return address of its own, as
// the calls through a stack's layers have).
#define AZK_BUMP4 Bump(); Bump(); Bump(); Bump();
#define AZK_BUMP16 AZK_BUMP4 AZK_BUMP4 AZK_BUMP4 AZK_BUMP4
void FortyEightCalls() { AZK_BUMP16 AZK_BUMP16 AZK_BUMP16 }
#undef AZK_BUMP16
#undef AZK_BUMP4

constexpr size_t kPage = 4096;
alignas(kPage) uint8_t g_pages[16 * kPage];
void SixteenPages() {
    for (size_t i = 0; i < 16; ++i) g_pages[i * kPage] = static_cast<uint8_t>(g_pages[i * kPage] + 1);
}

std::mutex g_locks[6];
void SixLockPairs() {
    for (std::mutex& lock : g_locks) {
        lock.lock();
        lock.unlock();
    }
}

// Three reads of the steady clock.
void ThreeClockReads() {
    for (int i = 0; i < 3; ++i) g_sink = g_sink + static_cast<int>(Clock::now().time_since_epoch().count() & 1);
}

// 1,500 instructions in one loop (six a step, load and store included).
void PlainInstructions() {
    for (int i = 0; i < 250; ++i) g_sink = g_sink + i;
}

// The minimal client's gets while another thread of the process waits in
// 10 ms timed waits, as the receiver thread does while requests follow one
// another.
double RawBlockBesideWakingThread(const char* node, int count) {
    std::mutex mutex;
    std::condition_variable stop;
    bool stopping = false;
    std::thread waker([&] {
        std::unique_lock<std::mutex> lock(mutex);
        while (!stopping) stop.wait_for(lock, std::chrono::milliseconds(10));
    });
    const double seconds = RawBlock(node, count);
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    stop.notify_all();
    waker.join();
    return seconds;
}

// One NOTE line: each added work's round trips as a multiple of the plain
// minimal client's. False when an exchange failed.
bool PrintCharges(const char* node, int rounds, int perBlock) {
    struct Charge {
        const char* what;
        azk::bench::Block block;
    };
    const auto adding = [node](void (*extra)()) {
        return [node, extra](int count) { return RawBlock(node, count, false, extra); };
    };
    const Charge charges[] = {
        {"48 calls, each from a place of its own", adding(FortyEightCalls)},
        {"16 more pages touched", adding(SixteenPages)},
        {"6 lock and unlock pairs", adding(SixLockPairs)},
        {"an idle thread waking every 10 ms", [node](int count) { return RawBlockBesideWakingThread(node, count); }},
        {"a loop of 1,500 instructions", adding(PlainInstructions)},
        {"3 clock reads", adding(ThreeClockReads)},
    };
    std::printf("NOTE what the guest charges, the minimal client with one thing added to each round trip beside "
                "the minimal client:");
    for (const Charge& charge : charges) {
        azk::bench::Comparison c;
        if (!azk::bench::CompareInterleaved(charge.block, [node](int count) { return RawBlock(node, count); },
                                            rounds, perBlock, c)) {
            std::printf("\n");
            return false;
        }
        std::printf(" %s %.3fx;", charge.what, 1 / c.ratio);
    }
    std::printf("\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 4) {
        std::fprintf(stderr, "usage: kernel_round_trip NODE [ROUNDS [PER_BLOCK]]\n");
        return 2;
    }
    const char* node = argv[1];
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const int perBlock = argc > 3 ? std::max(1, std::atoi(argv[3])) : 200;

    azk::bench::Comparison result;
    if (!azk::bench::CompareInterleaved([](int count) { return StackBlock(count); },
                                        [node](int count) { return RawBlock(node, count); }, rounds, perBlock,
                                        result)) {
        return 1;
    }
    azk::bench::PrintRateRow("key-lock get round trip, guest hidraw", "SessionExec", "minimal hidraw client", result,
                             ">= 0.9x");

    // The stack in parts, each speed as a multiple of its peer's.
    azk::bench::Comparison readFirst;
    azk::bench::Comparison device;
    azk::bench::Comparison session;
    if (!azk::bench::CompareInterleaved([node](int count) { return RawBlock(node, count, true); },
                                        [node](int count) { return RawBlock(node, count); }, rounds, perBlock,
                                        readFirst) ||
        !azk::bench::CompareInterleaved([](int count) { return DeviceBlock(count); },
                                        [node](int count) { return RawBlock(node, count); }, rounds, perBlock,
                                        device) ||
        !azk::bench::CompareInterleaved([](int count) { return StackBlock(count); },
                                        [](int count) { return DeviceBlock(count); }, rounds, perBlock, session)) {
        return 1;
    }
    std::printf("NOTE the guest round trip in parts, each side by side with its peer: the minimal client reading "
                "what is queued before each request %.2fx the minimal client; the HID device object alone (that "
                "read, the write, the read of the answer) %.2fx the minimal client; SessionExec %.2fx the HID "
                "device object\n",
                1 / readFirst.ratio, 1 / device.ratio, 1 / session.ratio);
    return PrintCharges(node, rounds, perBlock) ? 0 : 1;
}

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
// client's); exits non-zero when an exchange fails.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Interleaved.h"
#include "session/SessionApi.h"

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

// The same gets as one 17-byte write and blocking reads until the answer.
double RawBlock(const char* node, int count) {
    const int fd = ::open(node, O_RDWR | O_CLOEXEC);
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
        ok = ::write(fd, request, sizeof request) == static_cast<ssize_t>(sizeof request);
        for (;;) {
            if (!ok) break;
            const ssize_t n = ::read(fd, answer, sizeof answer);
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
    return 0;
}

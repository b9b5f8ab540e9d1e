// KernelOpenTime.cpp - how long finding and opening the speakerphone takes on
// the kernel's HID stack: SessionCreate (enumeration, open, receiver thread)
// beside the common C HID library's hid_open for the same device (its hidraw
// back end, linked only into this program as a yardstick).
//
//   kernel_open_time [ROUNDS [PER_BLOCK]]
//
// The device is the only one with the compiled-in IDs (an emulated
// speakerphone on uhid). Each open is followed by its close outside the
// timed part. The two take turns in short blocks, the order swapped every
// round; prints one table row starting with "PERF" (both times per open and
// SessionCreate's time as a fraction of hid_open's) and exits non-zero when
// an open fails. A line starting with "NOTE" then shows where SessionCreate's
// time goes (listing the interfaces, opening one, the HID device object's
// whole open, making the session object, a thread's start), each part
// measured side by side with hid_open in the same way.
#include <hidapi/hidapi.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Interleaved.h"
#include "session/HidComm.h"
#include "session/SessionApi.h"
#include "transport/HidDevice.h"
#include "transport/platform/linux/LinuxPlatform.h"

namespace {

using azk::bench::Clock;

// Seconds that `count` opens took; each is closed again untimed. Negative
// when one found no device.
template <typename Open, typename Close>
double OpenBlock(int count, const char* what, Open open, Close close) {
    double seconds = 0;
    for (int i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        auto opened = open();
        seconds += azk::bench::SecondsSince(start);
        if (opened == nullptr) {
            std::fprintf(stderr, "kernel_open_time: %s found no device\n", what);
            return -1;
        }
        close(opened);
    }
    return seconds;
}

double SessionCreateBlock(int count) {
    return OpenBlock(
        count, "SessionCreate", [] { return SessionCreate(SESSION_VARIANT_16, nullptr); },
        [](SessionHandle session) { SessionFree(session); });
}

double HidOpenBlock(int count) {
    return OpenBlock(
        count, "hid_open", [] { return hid_open(AZK_VENDOR_ID, AZK_PRODUCT_ID, nullptr); },
        [](hid_device* device) { hid_close(device); });
}

// Where SessionCreate's time goes, measured like the comparison: each part
// in turn with hid_open in the same rounds, as a fraction of hid_open's time
// (median over rounds). Printed as one NOTE line.
void PrintParts(int rounds, int perBlock) {
    azk::linuxhid::LinuxHidPlatform platform;
    const std::vector<std::string> paths = platform.ListInterfaces();
    if (paths.empty()) return;
    const std::string path = paths.front();
    azk::azk_CHidDevice device(platform);
    struct Part {
        const char* name;
        azk::bench::Block block;
    };
    const std::vector<Part> parts = {
        {"listing the interfaces",
         [&](int count) {
             return OpenBlock(
                 count, "ListInterfaces",
                 [&] { return platform.ListInterfaces().empty() ? nullptr : &platform; }, [](void*) {});
         }},
        {"opening the interface",
         [&](int count) {
             return OpenBlock(
                 count, "OpenInterface",
                 [&] {
                     auto iface = platform.OpenInterface(path);
                     if (iface && !iface->CreateIoEvents()) iface.reset();
                     return iface;
                 },
                 [](std::unique_ptr<azk::HidInterface>&) {});
         }},
        {"the HID device object's open (both and the record)",
         [&](int count) {
             return OpenBlock(
                 count, "OpenDevice", [&] { return device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0); },
                 [&](const azk::azk_SHidDeviceRecord*) { device.CloseDevice(); });
         }},
        {"making the session object",
         [](int count) {
             return OpenBlock(
                 count, "azk_CHidComm", [] { return std::make_unique<azk::azk_CHidComm>(); },
                 [](std::unique_ptr<azk::azk_CHidComm>&) {});
         }},
        {"starting and joining a thread",
         [](int count) {
             return OpenBlock(
                 count, "std::thread", [] { return std::make_unique<std::thread>([] {}); },
                 [](std::unique_ptr<std::thread>& t) { t->join(); });
         }},
    };
    std::printf("NOTE SessionCreate's parts as a fraction of hid_open, side by side:");
    for (const Part& part : parts) {
        azk::bench::Comparison c;
        if (!azk::bench::CompareInterleaved(part.block, HidOpenBlock, rounds, perBlock, c)) return;
        std::printf(" %s %.3f ms (%.3fx);", part.name, 1000 * c.subjectSeconds / perBlock, c.ratio);
    }
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 3) {
        std::fprintf(stderr, "usage: kernel_open_time [ROUNDS [PER_BLOCK]]\n");
        return 2;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;
    const int perBlock = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
    if (hid_init() != 0) {
        std::fprintf(stderr, "kernel_open_time: hid_init failed\n");
        return 1;
    }
    azk::bench::Comparison result;
    if (!azk::bench::CompareInterleaved(SessionCreateBlock, HidOpenBlock, rounds, perBlock, result)) {
        hid_exit();
        return 1;
    }
    azk::bench::PrintTimeRow("open, guest hidraw", "SessionCreate", "hid_open", result, "<= 0.1x");
    PrintParts(rounds, perBlock);
    hid_exit();
    return 0;
}

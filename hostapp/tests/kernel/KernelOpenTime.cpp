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
// time goes (listing the interfaces, opening one, making the session object,
// starting a thread) and both opens timed one at a time (medians).
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "Interleaved.h"
#include "session/HidComm.h"
#include "transport/HidDevice.h"
#include "session/SessionApi.h"
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

// Median milliseconds of `step` over `count` runs; `undo` runs untimed after
// each.
template <typename Step, typename Undo>
double MedianMs(int count, Step step, Undo undo) {
    std::vector<double> ms;
    for (int i = 0; i < count; ++i) {
        const Clock::time_point start = Clock::now();
        auto made = step();
        ms.push_back(1000 * azk::bench::SecondsSince(start));
        undo(made);
    }
    return azk::bench::Median(ms);
}

void PrintParts(int count) {
    azk::linuxhid::LinuxHidPlatform platform;
    const std::vector<std::string> paths = platform.ListInterfaces();
    const double list = MedianMs(count, [&] { return platform.ListInterfaces().size(); }, [](size_t) {});
    std::printf("NOTE SessionCreate's parts: list of %zu interfaces %.3f ms", paths.size(), list);
    if (!paths.empty()) {
        const double open = MedianMs(
            count,
            [&] {
                auto iface = platform.OpenInterface(paths.front());
                if (iface) iface->CreateIoEvents();
                return iface;
            },
            [](std::unique_ptr<azk::HidInterface>&) {});
        std::printf(", open of %s %.3f ms", paths.front().c_str(), open);
        // Of which: the node's open(2) alone, and its close(2); the sysfs
        // files read.
        const std::string name = paths.front().substr(paths.front().find(':') + 1);
        const std::string node = "/dev/" + name;
        const double nodeOpen = MedianMs(
            count, [&] { return ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC); }, [](int fd) { ::close(fd); });
        const double nodeOpenClose = MedianMs(
            count, [&] { return ::close(::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC)); }, [](int) {});
        const std::string sys = "/sys/class/hidraw/" + name + "/device/";
        const double sysfs = MedianMs(
            count,
            [&] {
                char buffer[4096];
                size_t total = 0;
                for (const char* file : {"uevent", "report_descriptor"}) {
                    const int fd = ::open((sys + file).c_str(), O_RDONLY | O_CLOEXEC);
                    ssize_t n;
                    while (fd >= 0 && (n = ::read(fd, buffer, sizeof buffer)) > 0) total += static_cast<size_t>(n);
                    if (fd >= 0) ::close(fd);
                }
                return total;
            },
            [](size_t) {});
        std::printf(" (node open(2) %.3f ms, with close(2) %.3f ms, uevent and report_descriptor %.3f ms)",
                    nodeOpen, nodeOpenClose, sysfs);
    }
    azk::azk_CHidDevice device(platform);
    const double deviceOpen = MedianMs(
        count, [&] { return device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0) != nullptr; },
        [&](bool) { device.CloseDevice(); });
    std::printf(", HID device object's open %.3f ms", deviceOpen);
    // The same with a reader blocked on the device until the close.
    std::thread reader;
    const double withReader = MedianMs(
        count,
        [&] {
            const bool opened = device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0) != nullptr;
            if (opened) reader = std::thread([&] {
                uint8_t report[16];
                while (device.ReadReport(report, -1)) {
                }
            });
            return opened;
        },
        [&](bool) {
            device.CancelRead();
            if (reader.joinable()) reader.join();
            device.CloseDevice();
        });
    std::printf(", the same with a reader thread %.3f ms", withReader);
    const double sessionObject = MedianMs(
        count,
        [] {
            auto comm = std::make_unique<azk::azk_CHidComm>();
            comm->Initialize(SESSION_VARIANT_16, nullptr);
            return comm;
        },
        [](std::unique_ptr<azk::azk_CHidComm>& comm) { comm->Terminate(); });
    std::printf(", session object's Initialize %.3f ms", sessionObject);
    const double object = MedianMs(
        count, [] { return std::make_unique<azk::azk_CHidComm>(); }, [](std::unique_ptr<azk::azk_CHidComm>&) {});
    const double thread = MedianMs(
        count, [] { return std::make_unique<std::thread>([] {}); }, [](std::unique_ptr<std::thread>& t) { t->join(); });
    std::printf(", session object %.3f ms, thread start %.3f ms", object, thread);
    // The whole, one at a time.
    const double session = MedianMs(
        count, [] { return SessionCreate(SESSION_VARIANT_16, nullptr); }, [](SessionHandle h) { SessionFree(h); });
    const double hidOpen = MedianMs(
        count, [] { return hid_open(AZK_VENDOR_ID, AZK_PRODUCT_ID, nullptr); }, [](hid_device* d) { hid_close(d); });
    std::printf("; medians of single opens: SessionCreate %.3f ms, hid_open %.3f ms\n", session, hidOpen);
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
    const bool ok = azk::bench::CompareInterleaved(SessionCreateBlock, HidOpenBlock, rounds, perBlock, result);
    hid_exit();
    if (!ok) return 1;
    azk::bench::PrintTimeRow("open, guest hidraw", "SessionCreate", "hid_open", result, "<= 0.1x");
    PrintParts(rounds * perBlock);
    return 0;
}

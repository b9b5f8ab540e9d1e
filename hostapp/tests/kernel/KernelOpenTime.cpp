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
// SessionCreate's time as a fraction of hid_open's), then a second for an
// open followed by the first exchange (the key-lock get: SessionExec beside
// one hid_write and hid_reads until the answer), and exits non-zero when an
// open or that exchange fails. A line starting with "NOTE" then shows where
// SessionCreate's time goes (making the session object; the HID device object's open, and
// within it finding and opening the interface, the node's open() alone, the
// descriptor's parse, building the device record and the interface's I/O
// events; a thread's start, alone and right after the node's open()), each
// part measured side by side with hid_open in the same way.
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
#include "session/SessionApi.h"
#include "transport/HidDevice.h"
#include "transport/platform/hidparse/ReportDescriptor.h"
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

// Seconds that `count` steps took, each timed alone between an untimed
// prepare (which makes what the step works on; null when it cannot) and the
// untimed end of that object. Negative when a prepare or a step failed.
template <typename Prepare, typename Step>
double StepBlock(int count, const char* what, Prepare prepare, Step step) {
    double seconds = 0;
    for (int i = 0; i < count; ++i) {
        auto subject = prepare();
        if (subject == nullptr) {
            std::fprintf(stderr, "kernel_open_time: %s found no device\n", what);
            return -1;
        }
        const Clock::time_point start = Clock::now();
        const bool ok = step(*subject);
        seconds += azk::bench::SecondsSince(start);
        if (!ok) {
            std::fprintf(stderr, "kernel_open_time: %s failed\n", what);
            return -1;
        }
    }
    return seconds;
}

// The report descriptor of a hidraw interface path ("hidraw:hidrawN"), as
// sysfs shows it; empty when it cannot be read.
std::vector<uint8_t> SysfsDescriptor(const std::string& path) {
    std::vector<uint8_t> bytes;
    const std::string node = path.substr(path.find(':') + 1);
    std::FILE* file = std::fopen(("/sys/class/hidraw/" + node + "/device/report_descriptor").c_str(), "rb");
    if (file == nullptr) return bytes;
    uint8_t chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(file);
    return bytes;
}

// Opens followed by the first exchange, the key-lock get (whatever an open
// leaves to the first command is paid here), each closed again untimed.
double SessionCreateAndGetBlock(int count) {
    return OpenBlock(
        count, "SessionCreate and a get",
        [] {
            SessionHandle session = SessionCreate(SESSION_VARIANT_16, nullptr);
            SessionParamBlock block{};
            int32_t status[2] = {0, 0};
            if (session != nullptr &&
                SessionExec(session, SESSION_CMD_GET_KEY_LOCK_CONFIG, &block, status) != SESSION_RESULT_OK) {
                SessionFree(session);
                session = nullptr;
            }
            return session;
        },
        [](SessionHandle session) { SessionFree(session); });
}

double HidOpenAndGetBlock(int count) {
    return OpenBlock(
        count, "hid_open and a get",
        [] {
            hid_device* device = hid_open(AZK_VENDOR_ID, AZK_PRODUCT_ID, nullptr);
            // Output report ID 2, then the request: marker, op 2 (get),
            // function 0x0036, argument, target 0, reserved, length 0. The
            // answer's first report: input report ID 1, marker 0x83, op 3.
            const uint8_t request[17] = {0x02, 0x80, 0x02, 0x36};
            uint8_t answer[64];
            bool ok = device != nullptr && hid_write(device, request, sizeof request) == sizeof request;
            while (ok) {
                ok = hid_read_timeout(device, answer, sizeof answer, 1000) == 17 && answer[0] == 0x01;
                if (ok && answer[1] == 0x83) {
                    ok = answer[2] == 0x03;
                    break;
                }
            }
            if (!ok && device != nullptr) {
                hid_close(device);
                device = nullptr;
            }
            return device;
        },
        [](hid_device* device) { hid_close(device); });
}

// Where SessionCreate's time goes, measured like the comparison: each part
// in turn with hid_open in the same rounds, as a fraction of hid_open's time
// (median over rounds). Printed as one NOTE line. The parts, in the order
// SessionCreate runs them: the session object; the HID device object's open,
// and within it finding and opening the interface (listing the hidraw
// nodes, opening the one kept, its IDs and descriptor by ioctl and the
// descriptor's parse), building the device record and the interface's I/O
// events; then the receiver thread. The node's bare open() and the parse
// are shown apart as well, and a thread's start both alone and right after
// the node's open(), where it costs more (presumably because the open has
// woken the process that serves the device, which then runs first).
void PrintParts(int rounds, int perBlock) {
    azk::linuxhid::LinuxHidPlatform platform;
    const std::vector<std::string> paths = platform.ListInterfaces();
    if (paths.empty()) return;
    const std::string path = paths.front();
    const std::string node = "/dev/" + path.substr(path.find(':') + 1);
    const std::vector<uint8_t> descriptor = SysfsDescriptor(path);
    azk::azk_CHidDevice device(platform);
    const auto openRecord = [&] {
        auto record = std::make_unique<azk::azk_SHidDeviceRecord>();
        record->handle = platform.OpenInterface(path);
        if (!record->handle) record.reset();
        return record;
    };
    struct Part {
        const char* name;
        azk::bench::Block block;
    };
    const std::vector<Part> parts = {
        {"making the session object",
         [](int count) {
             return OpenBlock(
                 count, "azk_CHidComm", [] { return std::make_unique<azk::azk_CHidComm>(); },
                 [](std::unique_ptr<azk::azk_CHidComm>&) {});
         }},
        {"the HID device object's open (all of the following)",
         [&](int count) {
             return OpenBlock(
                 count, "OpenDevice", [&] { return device.OpenDevice(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16, 16, 0); },
                 [&](const azk::azk_SHidDeviceRecord*) { device.CloseDevice(); });
         }},
        {"finding and opening the interface (listing, node, IDs, descriptor, parse)",
         [&](int count) {
             return OpenBlock(
                 count, "OpenFirst",
                 [&] {
                     return platform.OpenFirst([](const azk::HidAttributes& a, const azk::HidCapabilities&) {
                         return a.vendorId == AZK_VENDOR_ID && a.productId == AZK_PRODUCT_ID;
                     });
                 },
                 [](std::unique_ptr<azk::HidInterface>&) {});
         }},
        {"of which the node's open() alone",
         [&](int count) {
             return OpenBlock(
                 count, "open",
                 [&] {
                     const int fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
                     return fd < 0 ? nullptr : std::make_unique<int>(fd);
                 },
                 [](std::unique_ptr<int>& fd) { ::close(*fd); });
         }},
        {"parsing its descriptor",
         [&](int count) {
             return OpenBlock(
                 count, "ParseReportDescriptor",
                 [&] {
                     auto info = std::make_unique<azk::HidDescriptorInfo>();
                     if (!azk::ParseReportDescriptor(descriptor.data(), descriptor.size(), *info)) info.reset();
                     return info;
                 },
                 [](std::unique_ptr<azk::HidDescriptorInfo>&) {});
         }},
        {"building the device record",
         [&](int count) {
             return StepBlock(count, "FillReportInfo", openRecord, [](azk::azk_SHidDeviceRecord& record) {
                 return azk::azk_CHidDevice::FillReportInfo(record) == 1;
             });
         }},
        {"the interface's I/O events (its eventfds and, on hidraw, the writer's thread)",
         [&](int count) {
             return StepBlock(count, "CreateIoEvents", openRecord, [](azk::azk_SHidDeviceRecord& record) {
                 return record.handle->CreateIoEvents();
             });
         }},
        {"starting a thread alone",
         [](int count) {
             return OpenBlock(
                 count, "std::thread", [] { return std::make_unique<std::thread>([] {}); },
                 [](std::unique_ptr<std::thread>& t) { t->join(); });
         }},
        {"the node's open() followed by a thread's start",
         [&](int count) {
             struct OpenAndThread {
                 int fd = -1;
                 std::thread t;
                 ~OpenAndThread() {
                     if (t.joinable()) t.join();
                     if (fd >= 0) ::close(fd);
                 }
             };
             return OpenBlock(
                 count, "open and std::thread",
                 [&] {
                     auto b = std::make_unique<OpenAndThread>();
                     b->fd = ::open(node.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
                     if (b->fd < 0) {
                         b.reset();
                     } else {
                         b->t = std::thread([] {});
                     }
                     return b;
                 },
                 [](std::unique_ptr<OpenAndThread>&) {});
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
    azk::bench::Comparison withGet;
    if (!azk::bench::CompareInterleaved(SessionCreateAndGetBlock, HidOpenAndGetBlock, rounds, perBlock, withGet)) {
        hid_exit();
        return 1;
    }
    azk::bench::PrintTimeRow("open and first key-lock get, guest hidraw", "SessionCreate + SessionExec",
                             "hid_open + write + read", withGet, "");
    PrintParts(rounds, perBlock);
    hid_exit();
    return 0;
}

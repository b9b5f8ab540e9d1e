// HidInterfaces.cpp - the HID interfaces Windows lists, in the order of its
// device setup functions, one line each:
//
//   VVVV PPPP IN OUT PRODUCT
//
// vendor and product ID (hex), input and output report byte lengths
// (decimal, report ID byte counted) and the product string (UTF-8). An
// interface that cannot be opened prints "- - - - -". With VENDOR and
// PRODUCT (hex) given, only the interfaces with those IDs are printed.
//
//   hid_interfaces [VENDOR PRODUCT]
//   hid_interfaces --wait COUNT VENDOR
//
// The second form waits (at most 60 s) until exactly COUNT interfaces with
// that vendor ID are listed, looking every 50 ms: a device is listed a while
// after the kernel made it, once wine's bus driver has taken it up. Exits 0
// once they are, 1 when the time ran out (the list is printed then).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>

#include "transport/platform/win32/Win32Platform.h"

namespace {

// The interfaces with the vendor ID (and the product ID, when not negative),
// printed or counted.
int ListInterfaces(long vendor, long product, bool print) {
    azk::HidPlatform& platform = azk::GetHidPlatform();
    int count = 0;
    for (const std::string& path : platform.ListInterfaces()) {
        const std::unique_ptr<azk::HidInterface> iface = platform.OpenInterface(path);
        if (!iface) {
            if (print && vendor < 0) std::printf("- - - - -\n");
            continue;
        }
        const azk::HidAttributes& ids = iface->Attributes();
        if (vendor >= 0 && ids.vendorId != vendor) continue;
        if (product >= 0 && ids.productId != product) continue;
        ++count;
        if (!print) continue;
        const azk::HidCapabilities& caps = iface->Capabilities();
        std::printf("%04X %04X %u %u %s\n", ids.vendorId, ids.productId,
                    static_cast<unsigned>(caps.Of(azk::HidReportType::Input).byteLength),
                    static_cast<unsigned>(caps.Of(azk::HidReportType::Output).byteLength),
                    azk::win32hid::InterfaceProductString(path).c_str());
    }
    return count;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == "--wait") {
        const long count = std::strtol(argv[2], nullptr, 10);
        const long vendor = std::strtol(argv[3], nullptr, 16);
        for (int attempt = 0; attempt < 1200; ++attempt) {
            if (ListInterfaces(vendor, -1, false) == count) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ListInterfaces(vendor, -1, true);
        return 1;
    }
    if (argc != 1 && argc != 3) {
        std::fprintf(stderr, "usage: hid_interfaces [VENDOR PRODUCT] | --wait COUNT VENDOR\n");
        return 2;
    }
    ListInterfaces(argc == 3 ? std::strtol(argv[1], nullptr, 16) : -1,
                   argc == 3 ? std::strtol(argv[2], nullptr, 16) : -1, true);
    return 0;
}

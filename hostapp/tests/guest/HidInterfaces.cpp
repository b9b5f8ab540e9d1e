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
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "transport/platform/win32/Win32Platform.h"

int main(int argc, char** argv) {
    if (argc != 1 && argc != 3) {
        std::fprintf(stderr, "usage: hid_interfaces [VENDOR PRODUCT]\n");
        return 2;
    }
    const long vendor = argc == 3 ? std::strtol(argv[1], nullptr, 16) : -1;
    const long product = argc == 3 ? std::strtol(argv[2], nullptr, 16) : -1;
    azk::HidPlatform& platform = azk::GetHidPlatform();
    for (const std::string& path : platform.ListInterfaces()) {
        const std::unique_ptr<azk::HidInterface> iface = platform.OpenInterface(path);
        if (!iface) {
            if (vendor < 0) std::printf("- - - - -\n");
            continue;
        }
        const azk::HidAttributes& ids = iface->Attributes();
        if (vendor >= 0 && (ids.vendorId != vendor || ids.productId != product)) continue;
        const azk::HidCapabilities& caps = iface->Capabilities();
        std::printf("%04X %04X %u %u %s\n", ids.vendorId, ids.productId,
                    static_cast<unsigned>(caps.Of(azk::HidReportType::Input).byteLength),
                    static_cast<unsigned>(caps.Of(azk::HidReportType::Output).byteLength),
                    azk::win32hid::InterfaceProductString(path).c_str());
    }
    return 0;
}

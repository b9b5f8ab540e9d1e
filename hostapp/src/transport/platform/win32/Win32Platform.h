// Win32Platform.h - HID on Windows: the device setup functions list the
// present HID interfaces, the HID functions tell their attributes and
// capabilities, and reports move as overlapped transfers with completion
// events.
//
// Interfaces are named by their device paths (UTF-8 here, wide for the
// system). An interface is opened for overlapped reading and writing, shared
// with other programs, and is usable only when its preparsed data,
// attributes and capabilities can all be had.
//
// Reports move as overlapped transfers with time-outs (OverlappedIo.h).
#ifndef AZK_TRANSPORT_WIN32_PLATFORM_H
#define AZK_TRANSPORT_WIN32_PLATFORM_H

#include <string>

#include "transport/platform/HidPlatform.h"

namespace azk::win32hid {

class Win32HidPlatform final : public HidPlatform {
public:
    std::vector<std::string> ListInterfaces() override;
    std::unique_ptr<HidInterface> OpenInterface(const std::string& path) override;
    // Tells a sharing violation (held by another program) and access denied
    // from other failures, and reads the IDs and report lengths of an
    // interface that does not open through a query-only handle.
    HidInterfaceInfo DescribeInterface(const std::string& path) override;
};

// The top-level collection an interface path names: "...&col02..." is the
// second (1); a path without "&col" is its device's only one (0).
int CollectionOfPath(const std::string& path);

// Conversions between the system's wide text and UTF-8. Text that cannot be
// converted gives an empty result.
std::string WideToUtf8(const std::wstring& wide);
std::wstring Utf8ToWide(const std::string& utf8);

// The product string an interface reports (UTF-8), asked on a handle of its
// own that needs no access rights; empty when it cannot be had.
std::string InterfaceProductString(const std::string& path);

}  // namespace azk::win32hid

#endif

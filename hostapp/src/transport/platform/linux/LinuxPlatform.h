// LinuxPlatform.h - HID on Linux: the kernel's hidraw nodes and vhid sockets
// (user-space HID devices served over Unix sockets).
//
// Interfaces are listed as "hidraw:hidrawN" (by number; one entry per
// top-level collection, "hidraw:hidrawN#k" for the k-th after the first) and
// then as "vhid:<socket path>" (sorted by file name); a vhid device is its
// descriptor's first top-level collection. Capabilities come from the
// report descriptor through the project's own parser. Reads wait in poll()
// on the device and an eventfd that WakeRead signals; input reports are
// handed up with a report ID byte in front even when the device does not
// number its reports, and reports whose ID the descriptor does not declare
// for the interface are dropped (on a vhid socket also empty messages and
// messages of another length than their report's). A hidraw node's writes
// run on a thread of the interface, because hidraw's write() blocks until
// the device takes the report: a write still held at its time-out is
// abandoned, and the next write fails at once while it is still held. Where
// a write cannot wait for the device (a vhid socket, the node of a device
// played through uhid) the caller writes, waiting for room in the queue up
// to its time-out.
#ifndef AZK_TRANSPORT_LINUX_PLATFORM_H
#define AZK_TRANSPORT_LINUX_PLATFORM_H

#include <string>

#include "transport/platform/HidPlatform.h"

namespace azk::linuxhid {

// The directory where vhid devices live for this user: $XDG_RUNTIME_DIR/azk-vhid
// when XDG_RUNTIME_DIR is an absolute path, else /tmp/azk-vhid-<uid>.
std::string VhidDirectory();

// The vhid hello message: magic "VHID", version 1, IDs, descriptor.
constexpr size_t kVhidHelloHeader = 14;
constexpr size_t kVhidMaxMessage = 4096;
constexpr int kVhidHelloTimeoutMs = 1000;

class LinuxHidPlatform final : public HidPlatform {
public:
    // sysfsRoot and devRoot can be moved for tests ("/sys/class/hidraw", "/dev").
    explicit LinuxHidPlatform(std::string sysfsRoot = "/sys/class/hidraw", std::string devRoot = "/dev");

    std::vector<std::string> ListInterfaces() override;
    std::unique_ptr<HidInterface> OpenInterface(const std::string& path) override;
    // Opens each hidraw node once for all its collections, then the vhid
    // sockets, and stops at the interface kept.
    std::unique_ptr<HidInterface> OpenFirst(const InterfaceFilter& wanted) override;
    // Tells why a node cannot be opened from open()'s errno (EACCES: no
    // permission, EBUSY: held), and a vhid device that closes the connection
    // at once or keeps it waiting in its backlog as held. IDs and report
    // lengths of a hidraw node come from sysfs even when it does not open.
    HidInterfaceInfo DescribeInterface(const std::string& path) override;

private:
    std::unique_ptr<HidInterface> OpenHidraw(const std::string& name, size_t collection);
    std::unique_ptr<HidInterface> OpenVhid(const std::string& socketPath);

    std::string sysfsRoot_;
    std::string devRoot_;
};

}  // namespace azk::linuxhid

#endif

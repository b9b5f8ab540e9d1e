// HidPlatform.h - the one small interface each platform implements under the
// HID device object: list the present HID interfaces, open one, tell its
// attributes and capabilities, move single reports with time-outs, and wake
// a pending read.
//
// Reports always travel in the Windows form: byte 0 is the report ID (0 when
// the device does not number its reports), then the report's data bytes, for
// exactly the interface's report byte length. A platform whose native form
// differs (hidraw drops the ID byte of unnumbered input reports) converts.
#ifndef AZK_TRANSPORT_HID_PLATFORM_H
#define AZK_TRANSPORT_HID_PLATFORM_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace azk {

enum class HidReportType : int { Input = 0, Output = 1, Feature = 2 };
constexpr int kHidReportTypeCount = 3;

struct HidAttributes {
    uint16_t vendorId = 0;
    uint16_t productId = 0;
    uint16_t versionNumber = 0;
};

// One button or value capability of a report type, as the HID parser of the
// platform reports it. A range capability covers usageMin..usageMax; any
// other has the single usage in usageMin (usageMax equals it).
struct HidCapability {
    uint8_t reportId = 0;
    uint16_t usagePage = 0;
    bool isRange = false;
    uint16_t usageMin = 0;
    uint16_t usageMax = 0;
    uint16_t reportCount = 0;
};

struct HidReportTypeCaps {
    uint16_t byteLength = 0;  // largest report in bytes, report ID byte counted
    std::vector<HidCapability> buttons;
    std::vector<HidCapability> values;
};

struct HidCapabilities {
    HidReportTypeCaps types[kHidReportTypeCount];

    const HidReportTypeCaps& Of(HidReportType t) const { return types[static_cast<int>(t)]; }
    HidReportTypeCaps& Of(HidReportType t) { return types[static_cast<int>(t)]; }
};

// The most entries the HID device record of one interface may hold: over
// all report types, the usage-list entries of its button capabilities (each
// list as long as the maximum usage-list length of its report type and usage
// page), one data item per button capability and one per value usage. An
// interface beyond it is refused, not opened: the usage lists grow with the
// square of the number of button capabilities, so a few kilobytes of report
// descriptor could otherwise ask for a hundred megabytes.
constexpr uint64_t kHidMaxInterfaceEntries = uint64_t{1} << 18;

enum class HidIoResult {
    Ok,        // one whole report moved
    TimedOut,     // the time-out ran out; a timed-out write has been abandoned
    Failed,       // refused, device gone, or the read was woken
    Interrupted   // a read ended by InterruptRead, nothing read
};

// One open HID interface. Read runs on one thread while Write runs on
// another; WakeRead may be called from any thread.
class HidInterface {
public:
    virtual ~HidInterface() = default;

    virtual const HidAttributes& Attributes() const = 0;
    virtual const HidCapabilities& Capabilities() const = 0;

    // Most usages a button report of this type and usage page can hold at once.
    virtual uint32_t MaxUsageListLength(HidReportType type, uint16_t usagePage) const = 0;

    // Reads one input report of `length` bytes (the input report byte length)
    // into `buffer`. timeoutMs -1 waits without limit; 0 or less gives up at
    // once when no report is there.
    virtual HidIoResult Read(uint8_t* buffer, size_t length, int32_t timeoutMs) = 0;

    // Writes one output report of `length` bytes (the output report byte
    // length). timeoutMs -1 waits without limit; otherwise a write that has
    // not completed in time is abandoned and TimedOut returned.
    virtual HidIoResult Write(const uint8_t* buffer, size_t length, int32_t timeoutMs) = 0;

    // Sets up what reads and writes wait on (events, a wake descriptor).
    // Returns false when that cannot be had; the interface is then unusable.
    virtual bool CreateIoEvents() = 0;

    // Ends a pending Read with Failed, and makes every later Read fail at
    // once: a wake that comes just before a read starts is not lost.
    virtual void WakeRead() = 0;

    // Whether InterruptRead works here. Where it does, the reading of one
    // interface can pass from one thread to another while it is open.
    virtual bool CanInterruptRead() const { return false; }

    // Ends the pending Read, or else the next one, with Interrupted, taking
    // no report. Used up by that one read; interrupts do not add up.
    virtual void InterruptRead() {}
};

// Whether an interface could be opened, and if not, why.
enum class HidOpenStatus {
    Opened,            // it opens for reading and writing and its queries succeed
    PermissionDenied,  // the system refused this user access
    Busy,              // another program holds it
    Failed,            // it could not be opened or queried for another reason
    Gone               // there is no device behind the path (any more)
};

// What can be learnt about one interface without keeping it open. When it
// cannot be opened, the IDs and report byte lengths are still filled where
// the platform can tell them otherwise (sysfs, the vhid hello, a query-only
// handle); the *Known flags say which are.
struct HidInterfaceInfo {
    HidOpenStatus status = HidOpenStatus::Failed;
    int systemError = 0;  // errno or the system's error code of the failed open; 0 if none
    bool idsKnown = false;
    HidAttributes attributes;
    bool lengthsKnown = false;
    uint16_t inputByteLength = 0;   // report ID byte counted
    uint16_t outputByteLength = 0;  // report ID byte counted
    int collection = 0;             // 0: its device's first top-level collection
};

class HidPlatform {
public:
    virtual ~HidPlatform() = default;

    // Describes the interface at `path`: whether OpenInterface would succeed
    // and what it is. This default knows no reason and asks OpenInterface;
    // platforms that can tell why an open fails override it.
    virtual HidInterfaceInfo DescribeInterface(const std::string& path) {
        HidInterfaceInfo info;
        std::unique_ptr<HidInterface> iface = OpenInterface(path);
        if (iface) DescribeOpened(*iface, info);
        return info;
    }

    // Fills `info` from an interface that opened.
    static void DescribeOpened(const HidInterface& iface, HidInterfaceInfo& info) {
        info.status = HidOpenStatus::Opened;
        info.systemError = 0;
        info.idsKnown = true;
        info.attributes = iface.Attributes();
        info.lengthsKnown = true;
        info.inputByteLength = iface.Capabilities().Of(HidReportType::Input).byteLength;
        info.outputByteLength = iface.Capabilities().Of(HidReportType::Output).byteLength;
    }

    // The paths of the present HID interfaces, in a stable order. The list
    // stops before the first interface whose path cannot be had.
    virtual std::vector<std::string> ListInterfaces() = 0;

    // Opens the interface for concurrent reading and writing and reads its
    // attributes and capabilities. Returns null when it cannot be opened
    // (held by another program, permission) or its HID queries fail.
    virtual std::unique_ptr<HidInterface> OpenInterface(const std::string& path) = 0;

    // Which interfaces OpenFirst keeps: called with each one that opened, in
    // turn; true keeps it.
    using InterfaceFilter = std::function<bool(const HidAttributes&, const HidCapabilities&)>;

    // Opens the present interfaces in ListInterfaces' order and returns the
    // first that `wanted` keeps, still open; the others are closed again.
    // Null when none is kept. This default lists them all and opens each
    // path; a platform that learns more by opening an interface than by
    // listing it (the descriptor of a hidraw node) overrides it to look at
    // each device once and to stop listing at the interface kept.
    virtual std::unique_ptr<HidInterface> OpenFirst(const InterfaceFilter& wanted) {
        for (const std::string& path : ListInterfaces()) {
            std::unique_ptr<HidInterface> iface = OpenInterface(path);
            if (iface && wanted(iface->Attributes(), iface->Capabilities())) return iface;
        }
        return nullptr;
    }
};

// The platform this program runs on, provided by the platform library that
// is linked in (win32, linux or the in-memory sim).
HidPlatform& GetHidPlatform();

}  // namespace azk

#endif

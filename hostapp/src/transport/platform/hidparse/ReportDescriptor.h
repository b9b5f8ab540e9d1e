// ReportDescriptor.h - the HID report descriptor parser of the platforms that
// hand us only the raw descriptor (Linux hidraw and vhid sockets).
//
// It derives what the Windows HID parser reports for an interface: per report
// type the report byte length (report ID byte counted) and the button and
// value capabilities, whether reports are numbered, and the maximum
// usage-list length per report type and usage page.
//
// Windows gives every top-level collection of a descriptor its own interface
// with its own capabilities, while hidraw gives one node for the whole
// descriptor. So the result is a list of top-level collections, each with the
// capabilities Windows would report for it, plus a table telling which
// collection a report (type, report ID) belongs to.
//
// The rules follow the Windows parser:
// - A data field is a button capability when it is an Array field, or a
//   Variable field with Report Size 1. The logical range plays no part.
//   Every other field is a value capability.
// - A field gives one capability per usage (single usage or usage range)
//   declared before its main item. A field without a usage (padding) gives
//   none, and neither does Usage 0. A Constant field that declares usages is
//   reported like any other field.
// - Variable fields: the usages are handed out to the fields in order, a
//   range one field per usage, the last usage taking all the fields left; a
//   usage left without a field gives no capability. The capabilities of one
//   Variable main item are listed last usage first. An Array field lists
//   them in declaration order, each with the field's Report Count.
// - Report count of a capability: for a button, the number of fields it
//   covers (an Array: all its slots); for a value, its field count, or 1
//   for a usage range (one field per usage).
// - A field with Report Count 0 adds nothing. Report Size 0 is accepted.
// - A 4-byte Usage, Usage Minimum or Usage Maximum carries its usage page in
//   the high 16 bits; a shorter one (or a page of 0) takes the Usage Page in
//   effect where the usage is declared.
// - Report byte length of a type: over the reports of that type in the
//   collection, the largest sum of Report Size x Report Count over all main
//   items of one report ID, rounded up to bytes, plus 1 for the report ID
//   byte (counted also when reports are unnumbered); 0 when the collection
//   has no report of that type.
// - Maximum usage-list length: the sum of the report counts of the button
//   capabilities of the type and usage page (usage page 0: all pages).
// - A top-level collection whose record would hold more than
//   kHidMaxInterfaceEntries usage-list entries and data items (see
//   HidRecordEntries) is refused: the usage lists of a record grow with the
//   square of its button capabilities.
// - Delimited usage sets: only the first usage (or usage range) of a set is
//   used; Windows would add the others as aliases.
//
// Input is untrusted: every item is bounds-checked, and descriptors the
// system cannot use safely are refused (see HidDescriptorError).
#ifndef AZK_PLATFORM_HIDPARSE_REPORT_DESCRIPTOR_H
#define AZK_PLATFORM_HIDPARSE_REPORT_DESCRIPTOR_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "transport/platform/HidPlatform.h"

namespace azk {

// The longest report accepted, in bytes with the report ID byte: the largest
// message a vhid socket carries.
constexpr uint32_t kHidMaxReportByteLength = 4096;
// Deepest global item stack (Push) and collection nesting accepted.
constexpr int kHidMaxGlobalStackDepth = 16;
constexpr int kHidMaxCollectionDepth = 32;
// Most usage items (Usage, or a Usage Minimum/Maximum pair) before one main item.
constexpr int kHidMaxLocalUsages = 256;
// Per collection and report type: the most usages the button usage lists
// (the maximum usage-list length over all pages) and the value capabilities
// (one per usage of each) may add up to. Users size buffers from these.
constexpr uint32_t kHidMaxUsagesPerReportType = 32768;

enum class HidDescriptorError {
    None,
    Empty,                 // no top-level collection
    Truncated,             // an item runs past the end of the descriptor
    UnknownGlobalItem,     // a reserved global item tag
    BadReportId,           // Report ID 0 or above 255
    BadValue,              // Usage Page above 0xFFFF, Report Count above 0xFFFF
    StackOverflow,         // Push beyond kHidMaxGlobalStackDepth
    StackUnderflow,        // Pop with nothing pushed
    CollectionLimit,       // nesting beyond kHidMaxCollectionDepth, or 65535 top-level collections
    UnbalancedCollection,  // End Collection without Collection, or left open at the end
    TooManyUsages,         // more than kHidMaxLocalUsages usages before a main item
    BadUsageRange,         // unpaired Usage Minimum/Maximum, minimum above maximum, two pages
    BadDelimiter,          // Delimiter close without open, nested open, or open at a main item
    ItemOutsideCollection, // Input, Output or Feature outside every collection
    ReportTooLong,         // a report above kHidMaxReportByteLength
    MixedReportIds,        // some data main items with a report ID, some without
    SharedReportId,        // one report ID (or unnumbered reports) in two top-level collections
    TooManyReportUsages,   // usage lists or value usages above kHidMaxUsagesPerReportType
    InterfaceTooLarge,     // a collection's record above kHidMaxInterfaceEntries
};

// Short name of an error, for logs and test output.
const char* HidDescriptorErrorName(HidDescriptorError error);

// One top-level collection: what the Windows HID parser reports for the
// interface that carries it.
struct HidTopLevelCollection {
    uint16_t usagePage = 0;  // of the collection's own usage
    uint16_t usage = 0;
    HidCapabilities caps;
};

struct HidDescriptorInfo {
    // Reports carry a report ID (any Report ID item present). The same for
    // every collection: a descriptor that mixes is refused.
    bool numbered = false;
    std::vector<HidTopLevelCollection> collections;

    // Index into `collections` of the collection that has a report of this
    // type and report ID (0 when unnumbered), or -1 when none has.
    int FindCollection(HidReportType type, uint8_t reportId) const;

    // The byte length of the report of this type and report ID (0 when
    // unnumbered), report ID byte counted; 0 when no collection declares it.
    uint16_t ReportByteLength(HidReportType type, uint8_t reportId) const;

    // Collection index + 1 per report type and report ID, 0 for none.
    std::array<std::array<uint16_t, 256>, kHidReportTypeCount> reportOwner{};
    // Per report type and report ID: see ReportByteLength.
    std::array<std::array<uint16_t, 256>, kHidReportTypeCount> reportBytes{};
};

// Parses a report descriptor. On success fills `out` and returns true. On
// failure returns false, leaves `out` empty (no collections) and, when
// `error` is given, says why. Never reads outside data[0..length).
bool ParseReportDescriptor(const uint8_t* data, size_t length, HidDescriptorInfo& out,
                           HidDescriptorError* error = nullptr);

// HidP_MaxUsageListLength for capabilities built by the parser above: the
// most usages a button usage list of this report type and usage page can
// hold at once; usage page 0 counts every page.
uint32_t HidMaxUsageListLength(const HidCapabilities& caps, HidReportType type, uint16_t usagePage);

// What a HID device record built from these capabilities holds, counted as
// the HID device object counts it against kHidMaxInterfaceEntries: over all
// report types, a usage list of HidMaxUsageListLength(type, page) entries
// and a data item per button capability, and a data item per value usage.
uint64_t HidRecordEntries(const HidCapabilities& caps);

}  // namespace azk

#endif

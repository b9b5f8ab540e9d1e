// ReportDescriptor.cpp - see ReportDescriptor.h for the rules applied.
#include "transport/platform/hidparse/ReportDescriptor.h"

#include <algorithm>
#include <utility>

namespace azk {

namespace {

// Item prefix layout: bits 0-1 data size (3 means 4 bytes), bits 2-3 type,
// bits 4-7 tag. 0xFE starts a long item: data size byte, tag byte, data.
constexpr uint8_t kLongItemPrefix = 0xFE;

enum ItemType : uint8_t { kMain = 0, kGlobal = 1, kLocal = 2, kReserved = 3 };

enum MainTag : uint8_t {
    kInput = 0x8,
    kOutput = 0x9,
    kCollection = 0xA,
    kFeature = 0xB,
    kEndCollection = 0xC,
};

enum GlobalTag : uint8_t {
    kUsagePage = 0x0,
    kLogicalMinimum = 0x1,
    kLogicalMaximum = 0x2,
    kPhysicalMinimum = 0x3,
    kPhysicalMaximum = 0x4,
    kUnitExponent = 0x5,
    kUnit = 0x6,
    kReportSize = 0x7,
    kReportId = 0x8,
    kReportCount = 0x9,
    kPush = 0xA,
    kPop = 0xB,
};

enum LocalTag : uint8_t {
    kUsage = 0x0,
    kUsageMinimum = 0x1,
    kUsageMaximum = 0x2,
    kDelimiter = 0xA,
};

// Main item data bit 1: Variable (set) or Array (clear).
constexpr uint32_t kMainVariable = 0x02;

constexpr uint32_t kMaxReportBits = (kHidMaxReportByteLength - 1) * 8;

// Item data: 0, 1, 2 or 4 bytes, little-endian, unsigned.
uint32_t ReadLe(const uint8_t* p, size_t size) {
    uint32_t value = 0;
    for (size_t i = 0; i < size; ++i) value |= static_cast<uint32_t>(p[i]) << (8 * i);
    return value;
}

struct GlobalState {
    uint16_t usagePage = 0;
    uint8_t reportId = 0;
    uint32_t reportSize = 0;
    uint32_t reportCount = 0;
};

struct UsageEntry {
    uint16_t page = 0;
    uint16_t min = 0;
    uint16_t max = 0;
    bool isRange = false;
};

// One half of a usage range, waiting for the other.
struct RangeHalf {
    bool present = false;
    uint16_t page = 0;
    uint16_t usage = 0;
};

class azk_CReportDescriptorParser {
public:
    explicit azk_CReportDescriptorParser(HidDescriptorInfo& out) : out_(out) {}

    HidDescriptorError Run(const uint8_t* data, size_t length) {
        size_t pos = 0;
        while (pos < length) {
            const uint8_t prefix = data[pos];
            const size_t left = length - pos - 1;  // bytes after the prefix
            if (prefix == kLongItemPrefix) {
                // No long item tags are defined: skip the item whole.
                if (left < 2) return HidDescriptorError::Truncated;
                const size_t dataSize = data[pos + 1];
                if (left - 2 < dataSize) return HidDescriptorError::Truncated;
                pos += 3 + dataSize;
                continue;
            }
            const size_t size = (prefix & 0x03) == 3 ? 4 : (prefix & 0x03);
            if (left < size) return HidDescriptorError::Truncated;
            const uint32_t value = ReadLe(data + pos + 1, size);
            pos += 1 + size;

            const uint8_t tag = static_cast<uint8_t>(prefix >> 4);
            HidDescriptorError e = HidDescriptorError::None;
            switch ((prefix >> 2) & 0x03) {
                case kMain: e = Main(tag, value); break;
                case kGlobal: e = Global(tag, value); break;
                case kLocal: e = Local(tag, value, size); break;
                default: break;  // reserved item type: ignored
            }
            if (e != HidDescriptorError::None) return e;
        }
        if (collectionDepth_ != 0) return HidDescriptorError::UnbalancedCollection;
        if (out_.collections.empty()) return HidDescriptorError::Empty;
        if (out_.numbered && sawUnnumbered_) return HidDescriptorError::MixedReportIds;
        for (int t = 0; t < kHidReportTypeCount; ++t) {
            for (int id = 0; id < 256; ++id) {
                if (out_.reportOwner[t][id] == 0) continue;
                out_.reportBytes[t][id] = static_cast<uint16_t>(1 + (reportBits_[t][id] + 7) / 8);
            }
        }
        return HidDescriptorError::None;
    }

private:
    HidDescriptorError Main(uint8_t tag, uint32_t value) {
        const bool known = tag == kInput || tag == kOutput || tag == kFeature ||
                           tag == kCollection || tag == kEndCollection;
        if (!known) {
            // Reserved main tags (devices pad descriptors with 0x00 items):
            // ignored, but they end the local items like any main item.
            ClearLocals();
            return HidDescriptorError::None;
        }
        if (inDelimiter_) return HidDescriptorError::BadDelimiter;
        if (min_.present || max_.present) return HidDescriptorError::BadUsageRange;

        HidDescriptorError e = HidDescriptorError::None;
        switch (tag) {
            case kInput: e = AddField(HidReportType::Input, value); break;
            case kOutput: e = AddField(HidReportType::Output, value); break;
            case kFeature: e = AddField(HidReportType::Feature, value); break;
            case kCollection: e = OpenCollection(); break;
            default: e = CloseCollection(); break;
        }
        ClearLocals();
        return e;
    }

    HidDescriptorError Global(uint8_t tag, uint32_t value) {
        switch (tag) {
            case kUsagePage:
                if (value > 0xFFFF) return HidDescriptorError::BadValue;
                global_.usagePage = static_cast<uint16_t>(value);
                return HidDescriptorError::None;
            case kLogicalMinimum:
            case kLogicalMaximum:
            case kPhysicalMinimum:
            case kPhysicalMaximum:
            case kUnitExponent:
            case kUnit:
                return HidDescriptorError::None;  // not part of the capabilities kept
            case kReportSize:
                global_.reportSize = value;
                return HidDescriptorError::None;
            case kReportId:
                if (value == 0 || value > 0xFF) return HidDescriptorError::BadReportId;
                global_.reportId = static_cast<uint8_t>(value);
                out_.numbered = true;
                return HidDescriptorError::None;
            case kReportCount:
                if (value > 0xFFFF) return HidDescriptorError::BadValue;
                global_.reportCount = value;
                return HidDescriptorError::None;
            case kPush:
                if (stackDepth_ == kHidMaxGlobalStackDepth) return HidDescriptorError::StackOverflow;
                stack_[stackDepth_++] = global_;
                return HidDescriptorError::None;
            case kPop:
                if (stackDepth_ == 0) return HidDescriptorError::StackUnderflow;
                global_ = stack_[--stackDepth_];
                return HidDescriptorError::None;
            default:
                return HidDescriptorError::UnknownGlobalItem;
        }
    }

    HidDescriptorError Local(uint8_t tag, uint32_t value, size_t size) {
        // A 4-byte usage carries its page in the high half; otherwise (or
        // when that half is 0) the page is the one in effect now.
        uint16_t page = global_.usagePage;
        if (size == 4 && (value >> 16) != 0) page = static_cast<uint16_t>(value >> 16);
        const uint16_t usage = static_cast<uint16_t>(value & 0xFFFF);

        switch (tag) {
            case kUsage:
                if (inDelimiter_ && delimiterUsed_) return HidDescriptorError::None;
                delimiterUsed_ = inDelimiter_;
                return AddUsage(UsageEntry{page, usage, usage, false});
            case kUsageMinimum:
            case kUsageMaximum: {
                RangeHalf& half = tag == kUsageMinimum ? min_ : max_;
                const RangeHalf& other = tag == kUsageMinimum ? max_ : min_;
                // Within a delimited set only its first usage counts.
                if (inDelimiter_ && delimiterUsed_ && !other.present) return HidDescriptorError::None;
                half = RangeHalf{true, page, usage};
                if (!min_.present || !max_.present) return HidDescriptorError::None;
                if (min_.page != max_.page || min_.usage > max_.usage) {
                    return HidDescriptorError::BadUsageRange;
                }
                delimiterUsed_ = inDelimiter_;
                const UsageEntry range{min_.page, min_.usage, max_.usage, true};
                min_ = RangeHalf{};
                max_ = RangeHalf{};
                return AddUsage(range);
            }
            case kDelimiter:
                if (value == 1 && !inDelimiter_) {
                    inDelimiter_ = true;
                    delimiterUsed_ = false;
                    return HidDescriptorError::None;
                }
                if (value == 0 && inDelimiter_) {
                    inDelimiter_ = false;
                    return HidDescriptorError::None;
                }
                return HidDescriptorError::BadDelimiter;
            default:
                // Designator and string indexes, reserved local tags: not kept.
                return HidDescriptorError::None;
        }
    }

    HidDescriptorError AddUsage(const UsageEntry& entry) {
        if (usageCount_ == kHidMaxLocalUsages) return HidDescriptorError::TooManyUsages;
        usages_[usageCount_++] = entry;
        return HidDescriptorError::None;
    }

    void ClearLocals() {
        usageCount_ = 0;
        min_ = RangeHalf{};
        max_ = RangeHalf{};
        inDelimiter_ = false;
        delimiterUsed_ = false;
    }

    HidDescriptorError OpenCollection() {
        if (collectionDepth_ == kHidMaxCollectionDepth) return HidDescriptorError::CollectionLimit;
        if (collectionDepth_ == 0) {
            // reportOwner keeps collection index + 1 in 16 bits.
            if (out_.collections.size() >= 0xFFFF) return HidDescriptorError::CollectionLimit;
            HidTopLevelCollection tlc;
            if (usageCount_ > 0) {
                tlc.usagePage = usages_[0].page;
                tlc.usage = usages_[0].min;
            }
            out_.collections.push_back(std::move(tlc));
            for (int t = 0; t < kHidReportTypeCount; ++t) {
                listTotal_[t] = 0;
                valueUsages_[t] = 0;
            }
        }
        ++collectionDepth_;
        return HidDescriptorError::None;
    }

    HidDescriptorError CloseCollection() {
        if (collectionDepth_ == 0) return HidDescriptorError::UnbalancedCollection;
        --collectionDepth_;
        if (collectionDepth_ == 0 && HidRecordEntries(out_.collections.back().caps) > kHidMaxInterfaceEntries) {
            return HidDescriptorError::InterfaceTooLarge;
        }
        return HidDescriptorError::None;
    }

    HidDescriptorError AddField(HidReportType type, uint32_t flags) {
        if (collectionDepth_ == 0) return HidDescriptorError::ItemOutsideCollection;
        const int t = static_cast<int>(type);
        const uint8_t id = global_.reportId;
        const uint16_t owner = static_cast<uint16_t>(out_.collections.size());  // index + 1

        // A report ID (or the unnumbered report) belongs to one collection,
        // whatever the report type: it is how a report finds its collection.
        for (int other = 0; other < kHidReportTypeCount; ++other) {
            const uint16_t o = out_.reportOwner[other][id];
            if (o != 0 && o != owner) return HidDescriptorError::SharedReportId;
        }
        out_.reportOwner[t][id] = owner;
        if (id == 0) sawUnnumbered_ = true;

        const uint64_t bits = reportBits_[t][id] +
                              static_cast<uint64_t>(global_.reportSize) * global_.reportCount;
        if (bits > kMaxReportBits) return HidDescriptorError::ReportTooLong;
        reportBits_[t][id] = static_cast<uint32_t>(bits);

        HidReportTypeCaps& caps = out_.collections.back().caps.Of(type);
        const uint16_t byteLength = static_cast<uint16_t>(1 + (bits + 7) / 8);
        caps.byteLength = std::max(caps.byteLength, byteLength);

        const uint32_t count = global_.reportCount;
        if (count == 0 || usageCount_ == 0) return HidDescriptorError::None;  // padding
        const bool isArray = (flags & kMainVariable) == 0;
        const bool isButton = isArray || global_.reportSize == 1;

        if (isArray) {
            // Every usage may show up in any slot of the array.
            for (int i = 0; i < usageCount_; ++i) {
                HidDescriptorError e = AddCapability(t, usages_[i], isButton, count);
                if (e != HidDescriptorError::None) return e;
            }
            return HidDescriptorError::None;
        }

        // Hand the fields out in declaration order; the last usage takes
        // what is left.
        uint32_t fields[kHidMaxLocalUsages];
        uint32_t remaining = count;
        for (int i = 0; i < usageCount_; ++i) {
            const UsageEntry& u = usages_[i];
            const uint32_t wanted = u.isRange ? static_cast<uint32_t>(u.max - u.min) + 1 : 1;
            const uint32_t take = i == usageCount_ - 1 ? remaining : std::min(remaining, wanted);
            fields[i] = take;
            remaining -= take;
        }
        // The capabilities of one Variable main item are listed last usage first.
        for (int i = usageCount_ - 1; i >= 0; --i) {
            if (fields[i] == 0) continue;
            const uint32_t reportCount = !isButton && usages_[i].isRange ? 1 : fields[i];
            HidDescriptorError e = AddCapability(t, usages_[i], isButton, reportCount);
            if (e != HidDescriptorError::None) return e;
        }
        return HidDescriptorError::None;
    }

    HidDescriptorError AddCapability(int t, const UsageEntry& u, bool isButton, uint32_t reportCount) {
        if (u.min == 0 && u.max == 0) return HidDescriptorError::None;  // Usage 0: no capability

        // Bound what users allocate from the capabilities: a usage list per
        // button capability, a data item per value usage.
        uint32_t& total = isButton ? listTotal_[t] : valueUsages_[t];
        const uint32_t adds = isButton ? reportCount : static_cast<uint32_t>(u.max - u.min) + 1;
        if (adds > kHidMaxUsagesPerReportType - total) return HidDescriptorError::TooManyReportUsages;
        total += adds;

        HidCapability cap;
        cap.reportId = global_.reportId;
        cap.usagePage = u.page;
        cap.isRange = u.isRange;
        cap.usageMin = u.min;
        cap.usageMax = u.max;
        cap.reportCount = static_cast<uint16_t>(reportCount);  // Report Count <= 0xFFFF
        HidReportTypeCaps& caps = out_.collections.back().caps.types[t];
        (isButton ? caps.buttons : caps.values).push_back(cap);
        return HidDescriptorError::None;
    }

    HidDescriptorInfo& out_;

    GlobalState global_;
    GlobalState stack_[kHidMaxGlobalStackDepth];
    int stackDepth_ = 0;

    UsageEntry usages_[kHidMaxLocalUsages];
    int usageCount_ = 0;
    RangeHalf min_;
    RangeHalf max_;
    bool inDelimiter_ = false;
    bool delimiterUsed_ = false;

    int collectionDepth_ = 0;
    bool sawUnnumbered_ = false;
    uint32_t reportBits_[kHidReportTypeCount][256] = {};
    // Of the current top-level collection, per report type.
    uint32_t listTotal_[kHidReportTypeCount] = {};
    uint32_t valueUsages_[kHidReportTypeCount] = {};
};

}  // namespace

const char* HidDescriptorErrorName(HidDescriptorError error) {
    switch (error) {
        case HidDescriptorError::None: return "None";
        case HidDescriptorError::Empty: return "Empty";
        case HidDescriptorError::Truncated: return "Truncated";
        case HidDescriptorError::UnknownGlobalItem: return "UnknownGlobalItem";
        case HidDescriptorError::BadReportId: return "BadReportId";
        case HidDescriptorError::BadValue: return "BadValue";
        case HidDescriptorError::StackOverflow: return "StackOverflow";
        case HidDescriptorError::StackUnderflow: return "StackUnderflow";
        case HidDescriptorError::CollectionLimit: return "CollectionLimit";
        case HidDescriptorError::UnbalancedCollection: return "UnbalancedCollection";
        case HidDescriptorError::TooManyUsages: return "TooManyUsages";
        case HidDescriptorError::BadUsageRange: return "BadUsageRange";
        case HidDescriptorError::BadDelimiter: return "BadDelimiter";
        case HidDescriptorError::ItemOutsideCollection: return "ItemOutsideCollection";
        case HidDescriptorError::ReportTooLong: return "ReportTooLong";
        case HidDescriptorError::MixedReportIds: return "MixedReportIds";
        case HidDescriptorError::SharedReportId: return "SharedReportId";
        case HidDescriptorError::TooManyReportUsages: return "TooManyReportUsages";
        case HidDescriptorError::InterfaceTooLarge: return "InterfaceTooLarge";
    }
    return "?";
}

int HidDescriptorInfo::FindCollection(HidReportType type, uint8_t reportId) const {
    return static_cast<int>(reportOwner[static_cast<int>(type)][reportId]) - 1;
}

uint16_t HidDescriptorInfo::ReportByteLength(HidReportType type, uint8_t reportId) const {
    return reportBytes[static_cast<int>(type)][reportId];
}

bool ParseReportDescriptor(const uint8_t* data, size_t length, HidDescriptorInfo& out,
                           HidDescriptorError* error) {
    out = HidDescriptorInfo{};
    HidDescriptorError e = HidDescriptorError::Empty;
    if (data != nullptr || length == 0) {
        azk_CReportDescriptorParser parser(out);
        e = parser.Run(data, length);
    }
    if (e != HidDescriptorError::None) out = HidDescriptorInfo{};
    if (error != nullptr) *error = e;
    return e == HidDescriptorError::None;
}

uint32_t HidMaxUsageListLength(const HidCapabilities& caps, HidReportType type, uint16_t usagePage) {
    uint32_t length = 0;
    for (const HidCapability& cap : caps.Of(type).buttons) {
        if (usagePage == 0 || cap.usagePage == usagePage) length += cap.reportCount;
    }
    return length;
}

uint64_t HidRecordEntries(const HidCapabilities& caps) {
    uint64_t entries = 0;
    std::vector<std::pair<uint16_t, uint32_t>> pages;  // (usage page, report count) per button
    for (const HidReportTypeCaps& type : caps.types) {
        // A button capability's list is as long as the report counts of its
        // page add up to (page 0: of every page). Sorted by page, each run
        // of one page costs (its capabilities) x (its report counts).
        pages.clear();
        uint64_t all = 0;
        for (const HidCapability& cap : type.buttons) {
            pages.emplace_back(cap.usagePage, cap.reportCount);
            all += cap.reportCount;
        }
        std::sort(pages.begin(), pages.end());
        for (size_t i = 0; i < pages.size();) {
            size_t end = i;
            uint64_t sum = 0;
            while (end < pages.size() && pages[end].first == pages[i].first) sum += pages[end++].second;
            entries += (end - i) * (pages[i].first == 0 ? all : sum);
            i = end;
        }
        entries += type.buttons.size();
        for (const HidCapability& cap : type.values) {
            entries += cap.isRange ? static_cast<uint64_t>(cap.usageMax - cap.usageMin) + 1 : 1;
        }
    }
    return entries;
}

}  // namespace azk

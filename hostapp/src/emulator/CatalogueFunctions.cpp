// CatalogueFunctions.cpp - the device's own description of its functions
// (what each takes and answers) and the state behind them.
#include "emulator/CatalogueFunctions.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "support/ByteOrder.h"
#include "support/WireFormat.h"

namespace azk {
namespace {

using wire::kOpGet;
using wire::kOpSet;
constexpr uint8_t kErasedByte = 0xFF;
constexpr size_t kMaxPayload = wire::kMaxPayload;
constexpr uint64_t kAddressSpace = uint64_t{1} << 32;

enum class Kind : uint8_t {
    ArgValue,      // the value travels in arg
    Action,        // a set without data
    Value,         // a fixed-size value per arg
    Indexed,       // a fixed-size value per arg and index byte
    Data,          // 0 to kMaxDataBytes bytes per arg, set only
    Acknowledged,  // a set acknowledged with a 1-byte value
    Memory,        // u32 address, u16 count
    ShortMemory8,  // u8 start, u8 count
    ShortMemory16, // u16 start, u8 count
};

struct Function {
    uint16_t function;
    Kind kind;
    bool set;       // takes op 0
    bool get;       // takes op 2
    uint16_t size;  // value bytes
    uint8_t query;  // payload bytes of a get (Value), ignored
};

constexpr bool S = true;
constexpr bool G = true;
constexpr bool _ = false;

constexpr Function kFunctions[] = {
    {0x0000, Kind::Value, _, G, 3, 3},
    {0x0001, Kind::ArgValue, S, G, 1, 0},
    {0x0003, Kind::Action, S, _, 0, 0},
    {0x0004, Kind::ArgValue, S, _, 1, 0},
    {0x0005, Kind::Value, _, G, 76, 0},
    {0x0006, Kind::Value, _, G, 16, 0},
    {0x0007, Kind::Value, _, G, 8, 0},
    {0x0009, Kind::Value, _, G, 1, 0},
    {0x000A, Kind::ArgValue, S, G, 1, 0},
    {0x000C, Kind::Value, S, _, 1, 0},
    {0x000D, Kind::ArgValue, S, G, 1, 0},
    {0x000F, Kind::Value, S, G, 4, 0},
    {0x0011, Kind::ArgValue, S, G, 1, 0},
    {0x0013, Kind::Value, S, G, 1, 0},
    {0x0015, Kind::ArgValue, S, G, 1, 0},
    {0x0017, Kind::Value, S, G, 2, 0},
    {0x0019, Kind::Action, S, _, 0, 0},
    {0x001C, Kind::Value, S, G, 20, 0},
    {0x0030, Kind::ArgValue, _, G, 1, 0},
    {0x0100, Kind::Action, S, _, 0, 0},
    {0x0103, Kind::Value, S, G, 2, 0},
    {0x0104, Kind::Value, S, G, 1, 0},
    {0x010E, Kind::ArgValue, S, G, 1, 0},
    {0x010F, Kind::ArgValue, S, G, 1, 0},
    {0x0111, Kind::ArgValue, S, G, 1, 0},
    {0x0114, Kind::ArgValue, S, G, 1, 0},
    {0x0130, Kind::ArgValue, S, G, 1, 0},
    {0x0131, Kind::Value, S, G, 2, 0},
    {0x0304, Kind::Value, _, G, 1024, 0},
    {0x0700, Kind::Value, _, G, 28, 0},
    {0x0701, Kind::Action, S, _, 0, 0},
    {0x0800, Kind::Memory, S, G, 0, 0},
    {0x0801, Kind::Indexed, S, G, 1, 0},
    {0x0802, Kind::Memory, S, G, 0, 0},
    {0x0804, Kind::Value, S, _, 3, 0},
    {0x0805, Kind::Value, _, G, 2, 0},
    {0x0807, Kind::Data, S, _, 0, 0},
    {0x080A, Kind::Value, S, _, 1, 0},
    {0x080B, Kind::ShortMemory8, S, G, 0, 0},
    {0x080C, Kind::Value, _, G, 6, 0},
    {0x0A00, Kind::Action, S, _, 0, 0},
    {0x0A01, Kind::Value, S, G, 16, 0},
    {0x0A03, Kind::Indexed, S, G, 2, 0},
    {0x0A05, Kind::Value, _, G, 16, 0},
    {0x0A07, Kind::Value, _, G, 1, 0},
    {0x0B00, Kind::Value, S, _, 1, 0},
    {0x0B05, Kind::Acknowledged, S, _, 1, 0},
    {0x0E02, Kind::Value, _, G, 36, 0},
    {0x0E03, Kind::Action, S, _, 0, 0},
    {0x0E04, Kind::Value, _, G, 32, 0},
    {0x0E05, Kind::Memory, S, G, 0, 0},
    {0x0E06, Kind::ShortMemory16, S, G, 0, 0},
    {0xF010, Kind::Value, _, G, 32, 0},
};

const Function* Find(uint16_t function) {
    for (const Function& f : kFunctions) {
        if (f.function == function) return &f;
    }
    return nullptr;
}

// `text` into value[offset, offset + width), NUL-padded (no NUL when it fills
// the field).
void PutText(std::vector<uint8_t>& value, size_t offset, size_t width, const std::string& text) {
    const size_t n = std::min(width, text.size());
    std::copy(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(n), value.begin() + static_cast<std::ptrdiff_t>(offset));
    std::fill(value.begin() + static_cast<std::ptrdiff_t>(offset + n),
              value.begin() + static_cast<std::ptrdiff_t>(offset + width), 0);
}

std::vector<uint8_t> DefaultValue(const Function& f, uint16_t key) {
    std::vector<uint8_t> value(f.size, 0);
    switch (f.function) {
    case 0x0005:
        PutText(value, 0, 40, "Emulated speakerphone");
        PutText(value, 40, 4, "0100");
        PutText(value, 44, 16, "EMU0000000000001");
        PutText(value, 60, 16, "2.0.0");
        return value;
    case 0x0006:
        PutText(value, 0, 16, "Name " + std::to_string(key));
        return value;
    case 0x001C:
        PutText(value, 0, 20, "Conference room");
        return value;
    case 0x0A01:
        PutText(value, 0, 16, "Preset " + std::to_string(key));
        return value;
    case 0x0E02:
        PutText(value, 0, 16, "LINK-0001");
        PutText(value, 16, 20, "Emulated partner");
        return value;
    default:
        break;
    }
    if (f.kind == Kind::ArgValue || f.kind == Kind::Acknowledged || f.kind == Kind::Data) {
        return f.kind == Kind::Data ? std::vector<uint8_t>{} : value;
    }
    for (size_t i = 0; i < value.size(); ++i) {
        value[i] = static_cast<uint8_t>((f.function & 0xFF) + 16u * key + i);
    }
    return value;
}

void Refuse(azk_SResponse& response) {
    response.status = azk_CDeviceModel::kStatusBadRequest;
    response.arg = 0;
    response.payload.clear();
}

}  // namespace

std::vector<uint16_t> azk_CCatalogueDevice::Functions() {
    std::vector<uint16_t> functions;
    for (const Function& f : kFunctions) functions.push_back(f.function);
    return functions;
}

std::vector<uint8_t> azk_CCatalogueDevice::Value(uint16_t function, uint8_t target, uint16_t key) const {
    const Function* f = Find(function);
    if (f == nullptr || f->kind == Kind::Action || f->kind == Kind::Memory || f->kind == Kind::ShortMemory8 ||
        f->kind == Kind::ShortMemory16) {
        return {};
    }
    const auto it = values_.find(ValueKey{function, target, key});
    return it != values_.end() ? it->second : DefaultValue(*f, key);
}

bool azk_CCatalogueDevice::SetValue(uint16_t function, uint8_t target, uint16_t key,
                                    const std::vector<uint8_t>& value) {
    const Function* f = Find(function);
    if (f == nullptr) return false;
    switch (f->kind) {
    case Kind::ArgValue:
    case Kind::Value:
    case Kind::Indexed:
    case Kind::Acknowledged:
        if (value.size() != f->size) return false;
        break;
    case Kind::Data:
        if (value.size() > kMaxDataBytes) return false;
        break;
    default:
        return false;
    }
    values_[ValueKey{function, target, key}] = value;
    return true;
}

bool azk_CCatalogueDevice::WriteMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address,
                                       const uint8_t* data, size_t size) {
    if (size == 0) return true;
    if (data == nullptr || address + uint64_t{size} > kAddressSpace) return false;
    auto& space = memory_[SpaceKey{function, target, selector}];
    const uint64_t first = address / kPageSize;
    const uint64_t last = (address + uint64_t{size} - 1) / kPageSize;
    size_t fresh = 0;
    for (uint64_t page = first; page <= last; ++page) fresh += space.count(static_cast<uint32_t>(page)) ? 0 : 1;
    if (pages_ + fresh > kMaxPages) return false;
    for (size_t done = 0; done < size;) {
        const uint64_t at = address + uint64_t{done};
        const auto pageIndex = static_cast<uint32_t>(at / kPageSize);
        const size_t offset = static_cast<size_t>(at % kPageSize);
        const size_t n = std::min(size - done, kPageSize - offset);
        auto [it, added] = space.try_emplace(pageIndex);
        if (added) {
            it->second.fill(kErasedByte);
            ++pages_;
        }
        std::memcpy(it->second.data() + offset, data + done, n);
        done += n;
    }
    return true;
}

void azk_CCatalogueDevice::ReadMemory(uint16_t function, uint8_t target, uint8_t selector, uint32_t address,
                                      uint8_t* out, size_t size) const {
    const auto space = memory_.find(SpaceKey{function, target, selector});
    for (size_t done = 0; done < size;) {
        const uint64_t at = (address + uint64_t{done}) % kAddressSpace;
        const auto pageIndex = static_cast<uint32_t>(at / kPageSize);
        const size_t offset = static_cast<size_t>(at % kPageSize);
        const size_t n = std::min(size - done, kPageSize - offset);
        const Page* page = nullptr;
        if (space != memory_.end()) {
            const auto it = space->second.find(pageIndex);
            if (it != space->second.end()) page = &it->second;
        }
        if (page != nullptr) {
            std::memcpy(out + done, page->data() + offset, n);
        } else {
            std::memset(out + done, kErasedByte, n);
        }
        done += n;
    }
}

uint64_t azk_CCatalogueDevice::ActionCount(uint16_t function, uint8_t target) const {
    const auto it = actions_.find({function, target});
    return it != actions_.end() ? it->second : 0;
}

void azk_CCatalogueDevice::Answer(const azk_SRequest& request, azk_SResponse& response) {
    const Function* f = Find(request.function);
    if (f == nullptr) {
        response.status = azk_CDeviceModel::kStatusUnknownFunction;
        return;
    }
    const bool isSet = request.op == kOpSet && f->set;
    const bool isGet = request.op == kOpGet && f->get;
    if (!isSet && !isGet) return Refuse(response);

    const std::vector<uint8_t>& p = request.payload;
    const uint8_t target = request.target;
    switch (f->kind) {
    case Kind::ArgValue:
        if (!p.empty()) return Refuse(response);
        if (isSet) {
            values_[ValueKey{f->function, target, 0}] = {request.arg};
        } else {
            response.arg = Value(f->function, target, 0).at(0);
        }
        return;
    case Kind::Action:
        if (!p.empty()) return Refuse(response);
        ++actions_[{f->function, target}];
        return;
    case Kind::Value:
        if (isSet) {
            if (p.size() != f->size) return Refuse(response);
            values_[ValueKey{f->function, target, request.arg}] = p;
        } else {
            if (p.size() != f->query) return Refuse(response);
            response.payload = Value(f->function, target, request.arg);
        }
        return;
    case Kind::Indexed: {
        if (p.size() != (isSet ? 1u + f->size : 1u)) return Refuse(response);
        const uint16_t key = static_cast<uint16_t>(request.arg * 256 + p[0]);
        if (isSet) {
            values_[ValueKey{f->function, target, key}].assign(p.begin() + 1, p.end());
        } else {
            response.payload.push_back(p[0]);
            const std::vector<uint8_t> value = Value(f->function, target, key);
            response.payload.insert(response.payload.end(), value.begin(), value.end());
        }
        return;
    }
    case Kind::Data:
        if (p.size() > kMaxDataBytes) return Refuse(response);
        values_[ValueKey{f->function, target, request.arg}] = p;
        return;
    case Kind::Acknowledged:
        if (!p.empty()) return Refuse(response);
        response.payload = Value(f->function, target, request.arg);
        return;
    case Kind::Memory:
    case Kind::ShortMemory8:
    case Kind::ShortMemory16: {
        const size_t header = f->kind == Kind::Memory ? 6 : (f->kind == Kind::ShortMemory8 ? 2 : 3);
        if (p.size() < header) return Refuse(response);
        uint32_t address = 0;
        size_t count = 0;
        if (f->kind == Kind::Memory) {
            address = Read32(p.data());
            count = Read16(p.data() + 4);
        } else if (f->kind == Kind::ShortMemory8) {
            address = p[0];
            count = p[1];
        } else {
            address = Read16(p.data());
            count = p[2];
        }
        if (address + uint64_t{count} > kAddressSpace) return Refuse(response);
        if (isSet) {
            if (p.size() != header + count) return Refuse(response);
            if (!WriteMemory(f->function, target, request.arg, address, p.data() + header, count)) {
                return Refuse(response);
            }
        } else {
            if (p.size() != header || header + count > kMaxPayload) return Refuse(response);
            response.payload.assign(p.begin(), p.end());
            response.payload.resize(header + count);
            ReadMemory(f->function, target, request.arg, address, response.payload.data() + header, count);
        }
        return;
    }
    }
}

}  // namespace azk

// DeviceCommandExec.cpp - the block fields of the catalogue commands, as
// SessionApi.h's table of block layouts gives them.
#include "win/DeviceCommand/DeviceCommandExec.h"

#include <cstring>
#include <sstream>

#include "win/DeviceCommand/DeviceCommandApp.h"

namespace azk::devcmd {
namespace {

// How a command moves bytes beyond its block fields.
enum class Data {
    None,
    Reply1024,    // 48: 1024 reply bytes into the buffer at SESSION_TABLE_BUFFER
    BlockBytes,   // 59: M bytes in the block from SESSION_DATA_BYTES, M at SESSION_DATA_COUNT
    ShortWrite,   // 61, 79: N bytes from the buffer at SESSION_SHORT_BUFFER, N at SESSION_SHORT_COUNT
    ShortRead     // 62, 80: N reply bytes into that buffer; N is input field "2"
};

// One command's fields: "in" and "out" list block runs such as "0", "1-2"
// or "t4-19" (a text field). `target`: the command sends the target field.
struct ExecLayout {
    int32_t id;
    const char* in;
    const char* out;
    bool target;
    Data data;
};

constexpr bool T = true;
constexpr bool T0 = false;

// The table of block layouts in SessionApi.h, field by field.
constexpr ExecLayout kLayouts[] = {
    {0, "0 1-2 3", "4-5 6", T, Data::None},
    {1, "0", "", T, Data::None},
    {2, "", "0", T, Data::None},
    {3, "", "", T, Data::None},
    {4, "0", "", T, Data::None},
    {5, "", "t0-39 t41-44 t46-61 t63-78", T, Data::None},
    {6, "0", "t4-19", T, Data::None},
    {7, "", "0-3 4-7", T, Data::None},
    {8, "0", "1", T, Data::None},
    {9, "0", "", T, Data::None},
    {10, "", "0", T, Data::None},
    {11, "0 1", "", T, Data::None},
    {12, "0", "", T, Data::None},
    {13, "", "0", T, Data::None},
    {14, "0-3", "", T, Data::None},
    {15, "", "0-3", T, Data::None},
    {16, "0", "", T, Data::None},
    {17, "", "0", T, Data::None},
    {18, "0 1", "", T, Data::None},
    {19, "0", "1", T, Data::None},
    {20, "0", "", T, Data::None},
    {21, "", "0", T, Data::None},
    {22, "0-1", "", T, Data::None},
    {23, "", "0-1", T, Data::None},
    {24, "", "", T, Data::None},
    {25, "t0-19", "", T, Data::None},
    {26, "", "t0-19", T, Data::None},
    {28, "", "0", T, Data::None},
    {31, "", "", T, Data::None},
    {32, "0 2-3", "", T, Data::None},
    {33, "0", "2-3", T, Data::None},
    {34, "0 1", "", T, Data::None},
    {35, "0", "1", T, Data::None},
    {36, "0", "", T, Data::None},
    {37, "", "0", T, Data::None},
    {38, "0", "", T, Data::None},
    {39, "", "0", T, Data::None},
    {40, "0", "", T, Data::None},
    {41, "", "0", T, Data::None},
    {42, "0", "", T0, Data::None},
    {43, "", "0", T, Data::None},
    {44, "0", "", T, Data::None},
    {45, "", "0", T, Data::None},
    {46, "0-1", "", T, Data::None},
    {47, "", "0-1", T, Data::None},
    {48, "0", "", T, Data::Reply1024},
    {49, "", "0-27", T, Data::None},
    {50, "", "", T, Data::None},
    {53, "0 1 2", "", T, Data::None},
    {54, "0 1", "2", T, Data::None},
    {57, "0 4-7", "", T, Data::None},
    {58, "0", "2-3", T0, Data::None},
    {59, "", "", T, Data::BlockBytes},
    {60, "0", "", T, Data::None},
    {61, "0 1", "", T0, Data::ShortWrite},
    {62, "0 1 2", "1 2", T0, Data::ShortRead},
    {63, "0", "2-5 6-7", T0, Data::None},
    {65, "", "", T, Data::None},
    {66, "0 t1-16", "", T, Data::None},
    {67, "0", "t1-16", T, Data::None},
    {68, "0 1 2-3", "", T, Data::None},
    {69, "0 1", "2-3", T, Data::None},
    {70, "", "0-7 8-9 11-14 15-16", T, Data::None},
    {71, "", "0", T, Data::None},
    {72, "0", "", T, Data::None},
    {73, "0", "1", T, Data::None},
    {74, "", "t0-15 t17-36", T, Data::None},
    {75, "", "", T0, Data::None},
    {76, "0", "1-16 17-32", T0, Data::None},
    {79, "0-1", "", T0, Data::ShortWrite},
    {80, "0-1 2", "", T0, Data::ShortRead},
    {81, "", "0-15 16-31", T, Data::None},
};

struct Field : ExecFieldInfo {
    bool IsNumber() const { return !text && (size == 1 || size == 2 || size == 4); }
};

const ExecLayout* FindLayout(int32_t id) {
    for (const ExecLayout& layout : kLayouts) {
        if (layout.id == id) return &layout;
    }
    return nullptr;
}

std::vector<Field> Fields(const char* list) {
    std::vector<Field> fields;
    std::istringstream words(list);
    std::string word;
    while (words >> word) {
        Field field;
        field.text = word[0] == 't';
        field.name = field.text ? word.substr(1) : word;
        const size_t dash = field.name.find('-');
        const int first = std::stoi(field.name.substr(0, dash));
        const int last = dash == std::string::npos ? first : std::stoi(field.name.substr(dash + 1));
        field.offset = first;
        field.size = last - first + 1;
        fields.push_back(field);
    }
    return fields;
}

uint64_t ReadLe(const uint8_t* at, int size) {
    uint64_t value = 0;
    for (int i = size - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

void WriteLe(uint8_t* at, int size, uint64_t value) {
    for (int i = 0; i < size; ++i) at[i] = static_cast<uint8_t>(value >> (8 * i));
}

void StorePointer(uint8_t* field, const void* pointer) { std::memcpy(field, &pointer, sizeof pointer); }

std::string HexOf(const uint8_t* data, size_t size) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        if (i > 0) text += ' ';
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::string Describe(const Field& field) {
    if (field.text) return field.name + " (text, up to " + std::to_string(field.size) + " bytes)";
    if (field.IsNumber()) return field.name + " (" + std::to_string(field.size * 8) + "-bit number)";
    return field.name + " (" + std::to_string(field.size) + " bytes in hex)";
}

}  // namespace

std::vector<ExecFieldInfo> ExecFields(int32_t commandId, bool output) {
    std::vector<ExecFieldInfo> fields;
    const ExecLayout* layout = FindLayout(commandId);
    if (layout == nullptr) return fields;
    for (const Field& field : Fields(output ? layout->out : layout->in)) fields.push_back(field);
    return fields;
}

bool IsExecCommand(int32_t commandId) { return FindLayout(commandId) != nullptr; }

std::string ExecFieldsText(int32_t commandId) {
    const ExecLayout* layout = FindLayout(commandId);
    if (layout == nullptr) return "command " + std::to_string(commandId) + " is not run by exec\n";
    std::string text = "command " + std::to_string(commandId) + "\n  input:";
    for (const Field& field : Fields(layout->in)) text += "\n    " + Describe(field);
    if (layout->target) text += "\n    target (8-bit number, sent as the request's target)";
    if (layout->data == Data::BlockBytes) text += "\n    data (up to 78 bytes in hex)";
    if (layout->data == Data::ShortWrite) text += "\n    data (up to 255 bytes in hex)";
    text += "\n  output:";
    for (const Field& field : Fields(layout->out)) text += "\n    " + Describe(field);
    if (layout->data == Data::Reply1024) text += "\n    data (1024 bytes in hex)";
    if (layout->data == Data::ShortRead) text += "\n    data (field 2's count of bytes in hex)";
    return text + "\n";
}

bool PrepareExec(int32_t commandId, const std::vector<std::string>& assignments, SessionParamBlock& block,
                 std::vector<uint8_t>& buffer, std::string& error) {
    block = SessionParamBlock{};
    buffer.clear();
    const ExecLayout* layout = FindLayout(commandId);
    if (layout == nullptr) {
        error = "command " + std::to_string(commandId) + " is not run by exec";
        return false;
    }
    const std::vector<Field> inputs = Fields(layout->in);
    std::vector<std::string> seen;
    bool haveData = false;
    std::vector<uint8_t> data;
    for (const std::string& word : assignments) {
        const size_t eq = word.find('=');
        if (eq == std::string::npos) {
            error = "'" + word + "' is not FIELD=VALUE";
            return false;
        }
        const std::string name = word.substr(0, eq);
        const std::string value = word.substr(eq + 1);
        for (const std::string& before : seen) {
            if (before == name) {
                error = "field " + name + " is given twice";
                return false;
            }
        }
        seen.push_back(name);

        if (name == "target" && layout->target) {
            uint64_t number = 0;
            if (!ParseNumber(value, 0xFF, number)) {
                error = "target: '" + value + "' is not a number from 0 to 255";
                return false;
            }
            block.bytes[SESSION_BLOCK_TARGET] = static_cast<uint8_t>(number);
            continue;
        }
        if (name == "data" && (layout->data == Data::BlockBytes || layout->data == Data::ShortWrite)) {
            const size_t max = layout->data == Data::BlockBytes ? SESSION_DATA_MAX_COUNT : 255;
            if (!ParseHexBytes(value, data) || data.size() > max) {
                error = "data: hex bytes, at most " + std::to_string(max);
                return false;
            }
            haveData = true;
            continue;
        }
        const Field* field = nullptr;
        for (const Field& candidate : inputs) {
            if (candidate.name == name) field = &candidate;
        }
        if (field == nullptr) {
            error = "command " + std::to_string(commandId) + " has no input field '" + name +
                    "' (see 'DeviceCommand exec " + std::to_string(commandId) + " --fields')";
            return false;
        }
        uint8_t* at = block.bytes + field->offset;
        if (field->text) {
            if (value.size() > static_cast<size_t>(field->size)) {
                error = name + ": at most " + std::to_string(field->size) + " bytes of text";
                return false;
            }
            std::memcpy(at, value.data(), value.size());
        } else if (field->IsNumber()) {
            const uint64_t max = field->size == 4 ? 0xFFFFFFFFull : (1ull << (8 * field->size)) - 1;
            uint64_t number = 0;
            if (!ParseNumber(value, max, number)) {
                error = name + ": '" + value + "' is not a number from 0 to " + std::to_string(max);
                return false;
            }
            WriteLe(at, field->size, number);
        } else {
            std::vector<uint8_t> bytes;
            if (!ParseHexBytes(value, bytes) || bytes.size() != static_cast<size_t>(field->size)) {
                error = name + ": exactly " + std::to_string(field->size) + " bytes in hex";
                return false;
            }
            std::memcpy(at, bytes.data(), bytes.size());
        }
    }

    switch (layout->data) {
    case Data::None: break;
    case Data::Reply1024:
        buffer.assign(1024, 0);
        StorePointer(block.bytes + SESSION_TABLE_BUFFER, buffer.data());
        break;
    case Data::BlockBytes:
        WriteLe(block.bytes + SESSION_DATA_COUNT, 2, data.size());
        if (!data.empty()) std::memcpy(block.bytes + SESSION_DATA_BYTES, data.data(), data.size());
        break;
    case Data::ShortWrite:
        if (!haveData) {
            error = "command " + std::to_string(commandId) + " needs data=HEX";
            return false;
        }
        buffer = data;
        block.bytes[SESSION_SHORT_COUNT] = static_cast<uint8_t>(data.size());
        StorePointer(block.bytes + SESSION_SHORT_BUFFER, buffer.empty() ? nullptr : buffer.data());
        break;
    case Data::ShortRead:
        buffer.assign(block.bytes[SESSION_SHORT_COUNT], 0);
        StorePointer(block.bytes + SESSION_SHORT_BUFFER, buffer.empty() ? nullptr : buffer.data());
        break;
    }
    return true;
}

std::vector<ExecValue> ExecResults(int32_t commandId, const SessionParamBlock& block,
                                   const std::vector<uint8_t>& buffer) {
    std::vector<ExecValue> values;
    const ExecLayout* layout = FindLayout(commandId);
    if (layout == nullptr) return values;
    for (const Field& field : Fields(layout->out)) {
        ExecValue value;
        value.name = field.name;
        const uint8_t* at = block.bytes + field.offset;
        if (field.text) {
            value.isText = true;
            // The command put a NUL after the field; the text ends at the first one.
            value.text.assign(reinterpret_cast<const char*>(at), strnlen(reinterpret_cast<const char*>(at),
                                                                         static_cast<size_t>(field.size)));
        } else if (field.IsNumber()) {
            value.number = ReadLe(at, field.size);
            value.size = field.size;
        } else {
            value.isBytes = true;
            value.text = HexOf(at, static_cast<size_t>(field.size));
        }
        values.push_back(value);
    }
    if (layout->data == Data::Reply1024 || layout->data == Data::ShortRead) {
        ExecValue value;
        value.name = "data";
        value.isBytes = true;
        value.text = HexOf(buffer.data(), buffer.size());
        values.push_back(value);
    }
    return values;
}

}  // namespace azk::devcmd

#include "session/HidComm.h"

#include <array>
#include <cstring>
#include <iterator>

#include "session/Catalogue.h"
#include "support/ByteOrder.h"
#include "support/WireFormat.h"

namespace azk {
namespace {

// The commands with handlers of their own.
constexpr azk_CHidComm::Command kNamedCommands[] = {
    {SESSION_CMD_SET_KEY_LOCK_CONFIG, &azk_CHidComm::SetKeyLockConfig, nullptr},
    {SESSION_CMD_GET_KEY_LOCK_CONFIG, &azk_CHidComm::GetKeyLockConfig, nullptr},
    {SESSION_CMD_FIRMWARE_UPDATE, &azk_CHidComm::FirmwareUpdate, nullptr},
    {SESSION_CMD_RAW_MESSAGE, &azk_CHidComm::RawMessage, nullptr},
};

constexpr size_t kTableSize = std::size(kNamedCommands) + std::size(catalogue::kRows);

// The command table: the named commands, then one entry per catalogue row.
constexpr std::array<azk_CHidComm::Command, kTableSize> BuildCommandTable() {
    std::array<azk_CHidComm::Command, kTableSize> table{};
    size_t n = 0;
    for (const azk_CHidComm::Command& command : kNamedCommands) table[n++] = command;
    for (const catalogue::Row& row : catalogue::kRows) table[n++] = {row.id, nullptr, &row};
    return table;
}

constexpr std::array<azk_CHidComm::Command, kTableSize> kCommandTable = BuildCommandTable();

// Every id appears once; 27 has none.
constexpr bool IdsAreUnique() {
    for (const azk_CHidComm::Command& a : kCommandTable) {
        int seen = 0;
        for (const azk_CHidComm::Command& b : kCommandTable) seen += (a.id == b.id) ? 1 : 0;
        if (seen != 1 || a.id == 27 || a.id < 0 || a.id > 82) return false;
    }
    return true;
}
static_assert(IdsAreUnique(), "a command id is repeated or out of range");
static_assert(kTableSize == 82, "ids 0-82 without 27");

constexpr int32_t kLastId = 82;

// Each id's place in the table; -1 for 27.
constexpr std::array<int8_t, kLastId + 1> BuildIndexById() {
    std::array<int8_t, kLastId + 1> index{};
    for (int8_t& i : index) i = -1;
    for (size_t i = 0; i < kTableSize; ++i) index[static_cast<size_t>(kCommandTable[i].id)] = static_cast<int8_t>(i);
    return index;
}

constexpr std::array<int8_t, kLastId + 1> kIndexById = BuildIndexById();

}  // namespace

int32_t azk_CHidComm::Exec(int32_t commandId, void* block, int32_t* statusPair) {
    std::lock_guard<std::recursive_mutex> lock(sessionLock_);
    const CommandScope inCommand(*this);
    int32_t result = SESSION_RESULT_COMMAND;
    try {
        const int index = commandId >= 0 && commandId <= kLastId ? kIndexById[static_cast<size_t>(commandId)] : -1;
        if (index >= 0) {
            const Command& command = kCommandTable[static_cast<size_t>(index)];
            result = command.row != nullptr ? RunCatalogueRow(*command.row, block)
                                            : (this->*command.handler)(block);
        }
    } catch (...) {
        // Only a caller's callback can throw (command 64's progress): the
        // command is abandoned, and the status pair is still copied out.
        result = SESSION_RESULT_GENERAL;
    }
    if (statusPair != nullptr) {
        statusPair[0] = Status();
        statusPair[1] = Detail();
    }
    return result;
}

uint8_t* azk_CHidComm::BeginRequest(uint8_t op, uint16_t function, uint8_t arg, uint8_t target,
                                    uint16_t length) {
    uint8_t* request = RequestBuffer();
    std::memset(request, 0, static_cast<size_t>(OutputReportLength()));
    request[wire::kOffsetOp] = op;
    Write16(request + wire::kOffsetFunction, function);
    request[wire::kOffsetArg] = arg;
    request[wire::kOffsetTarget] = target;
    request[wire::kOffsetDetail] = 0;
    Write16(request + wire::kOffsetLength, length);
    return request;
}

int32_t azk_CHidComm::CheckResponse(uint16_t length, uint8_t op, uint16_t function) const {
    const uint8_t* response = ResponseBuffer();
    if (Read16(response + wire::kOffsetLength) != length || response[wire::kOffsetOp] != op ||
        Read16(response + wire::kOffsetFunction) != function) {
        return SESSION_RESULT_BAD_RESPONSE;
    }
    return SESSION_RESULT_OK;
}

}  // namespace azk

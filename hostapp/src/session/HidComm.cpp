#include "session/HidComm.h"

#include <cstring>
#include <iterator>

#include "support/ByteOrder.h"

namespace azk {
namespace {

// The command table. Every id appears once; the dispatch scans all entries.
constexpr azk_CHidComm::Command kCommandTable[] = {
    {SESSION_CMD_SET_KEY_LOCK_CONFIG, &azk_CHidComm::SetKeyLockConfig},
    {SESSION_CMD_GET_KEY_LOCK_CONFIG, &azk_CHidComm::GetKeyLockConfig},
};

}  // namespace

int32_t azk_CHidComm::Exec(int32_t commandId, void* block, int32_t* statusPair) {
    std::lock_guard<std::recursive_mutex> lock(sessionLock_);
    int32_t result = SESSION_RESULT_COMMAND;
    for (const Command& command : kCommandTable) {
        if (command.id == commandId) result = (this->*command.handler)(block);
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
    request[0] = op;
    Write16(request + 1, function);
    request[3] = arg;
    request[4] = target;
    request[5] = 0;
    Write16(request + 6, length);
    return request;
}

int32_t azk_CHidComm::CheckResponse(uint16_t length, uint8_t op, uint16_t function) const {
    const uint8_t* response = ResponseBuffer();
    if (Read16(response + 6) != length || response[0] != op || Read16(response + 1) != function) {
        return SESSION_RESULT_BAD_RESPONSE;
    }
    return SESSION_RESULT_OK;
}

}  // namespace azk

// Catalogue.cpp - the generic handler that runs a catalogue row, and the raw
// message command (82), which builds no message of its own.
#include "session/Catalogue.h"

#include <cstring>

#include "session/HidComm.h"
#include "support/ByteOrder.h"
#include "support/WireFormat.h"

namespace azk {

namespace {

constexpr uint32_t kHeaderSize = wire::kHeaderSize;
constexpr uint32_t kMaxLength = wire::kMaxPayload;  // the 16-bit `length` field

// A pointer field: the pointer's own bytes, as the caller stored them.
uint8_t* ReadPointer(const uint8_t* field) {
    uint8_t* pointer = nullptr;
    std::memcpy(&pointer, field, sizeof pointer);
    return pointer;
}

uint32_t ReadCount(const catalogue::Count& count, const uint8_t* block) {
    switch (count.kind) {
    case catalogue::CountKind::Fixed:
        return count.value;
    case catalogue::CountKind::Byte:
        return block[count.value];
    case catalogue::CountKind::Word:
        return Read16(block + count.value);
    case catalogue::CountKind::None:
        break;
    }
    return 0;
}

void CopyReply(const catalogue::Row& row, const uint8_t* response, uint8_t* block) {
    for (const catalogue::Copy& copy : row.copies) {
        if (copy.size == 0) continue;
        const uint8_t* from =
            copy.from == catalogue::kFromReplyArg ? response + 3 : response + kHeaderSize + copy.from;
        std::memcpy(block + copy.to, from, copy.size);
        if (copy.nul) block[copy.to + copy.size] = 0;
    }
}

}  // namespace

namespace catalogue {

uint32_t TimeoutMs(int32_t commandId) {
    if (commandId == SESSION_CMD_RAW_MESSAGE) return kRawMessageTimeoutMs;
    for (const Row& row : kRows) {
        if (row.id == commandId) return row.timeoutMs;
    }
    return 0;
}

}  // namespace catalogue

int32_t azk_CHidComm::RunCatalogueRow(const catalogue::Row& row, void* blockPtr) {
    using catalogue::Data;
    if (blockPtr == nullptr) return SESSION_RESULT_BAD_BLOCK;
    uint8_t* block = static_cast<uint8_t*>(blockPtr);

    // The variable part, checked before anything is sent or written.
    const catalogue::Transfer& transfer = row.transfer;
    const uint32_t n = ReadCount(transfer.count, block);
    const bool callerData = transfer.data == Data::CallerToRequest || transfer.data == Data::ReplyToCaller;
    uint8_t* callerBuffer = callerData ? ReadPointer(block + transfer.at) : nullptr;
    if (callerData && n > 0 && callerBuffer == nullptr) return SESSION_RESULT_BAD_BLOCK;
    if (transfer.data == Data::BlockToRequest && transfer.at + n > catalogue::kCommandArea) {
        return SESSION_RESULT_BAD_BLOCK;
    }
    const bool dataInRequest = transfer.data == Data::CallerToRequest || transfer.data == Data::BlockToRequest;
    const uint32_t requestLength = row.request.size + (dataInRequest ? n : 0);
    const uint32_t replyLength = row.reply + (transfer.data == Data::ReplyToCaller ? n : 0);
    if (requestLength > kMaxLength || replyLength > kMaxLength) return SESSION_RESULT_BAD_BLOCK;

    const uint8_t op = static_cast<uint8_t>(row.op);
    const uint8_t arg = row.arg == catalogue::Arg::Block0 ? block[0] : 0;
    const uint8_t target = row.target == catalogue::Target::Field ? block[SESSION_BLOCK_TARGET] : 0;
    uint8_t* request = BeginRequest(op, row.function, arg, target, static_cast<uint16_t>(requestLength));
    uint8_t* payload = request + kHeaderSize;
    std::memcpy(payload, block + row.request.offset, row.request.size);
    if (dataInRequest && n > 0) {
        const uint8_t* data = transfer.data == Data::BlockToRequest ? block + transfer.at : callerBuffer;
        std::memcpy(payload + row.request.size, data, n);
    }

    const int32_t result = SendAndWait(request, kHeaderSize + requestLength, row.timeoutMs);
    if (result != SESSION_RESULT_OK) return result;

    const uint8_t* response = ResponseBuffer();
    if (row.copyBeforeChecks) CopyReply(row, response, block);
    const int32_t check = CheckResponse(static_cast<uint16_t>(replyLength), static_cast<uint8_t>(op + 1),
                                        row.function);
    if (check != SESSION_RESULT_OK) return check;
    if (!row.copyBeforeChecks) CopyReply(row, response, block);
    if (transfer.data == Data::ReplyToCaller && n > 0) {
        std::memcpy(callerBuffer, response + kHeaderSize + row.reply, n);
    }
    return SESSION_RESULT_OK;
}

int32_t azk_CHidComm::RawMessage(void* blockPtr) {
    if (blockPtr == nullptr) return SESSION_RESULT_BAD_BLOCK;
    const uint8_t* block = static_cast<const uint8_t*>(blockPtr);
    uint8_t* buffer = ReadPointer(block + SESSION_RAW_BUFFER);
    const uint32_t size = Read32(block + SESSION_RAW_SIZE);
    // The message must be all there: its header and the payload its header
    // declares. Anything less would send bytes the caller never wrote.
    if (size > SESSION_RAW_MAX_SIZE || size < kHeaderSize || buffer == nullptr) {
        return SESSION_RESULT_BAD_BLOCK;
    }
    const uint32_t messageSize = kHeaderSize + Read16(buffer + wire::kOffsetLength);
    if (size < messageSize) return SESSION_RESULT_BAD_BLOCK;

    uint8_t* request = RequestBuffer();
    std::memcpy(request, buffer, size);
    const int32_t result = SendAndWait(request, messageSize, catalogue::kRawMessageTimeoutMs);
    if (result != SESSION_RESULT_OK) return result;

    const uint8_t* response = ResponseBuffer();
    const uint32_t responseSize = kHeaderSize + Read16(response + wire::kOffsetLength);
    std::memcpy(buffer, response, responseSize < size ? responseSize : size);
    return SESSION_RESULT_OK;
}

}  // namespace azk

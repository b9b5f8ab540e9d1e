// Key lock, device function 0x0036: an SE flag (play the sound effect when a
// locked key is pressed) and a 16-bit lock mask (bit set = key works), for
// target 0 (the configuration in force) or 1 (the default). Values pass
// through unchanged in both directions.
#include <cstring>

#include "session/HidComm.h"
#include "support/ByteOrder.h"
#include "support/WireFormat.h"

namespace azk {
namespace {

using wire::kFunctionKeyLock;
using wire::kOpGet;
using wire::kOpGetReply;
using wire::kOpSet;
using wire::kOpSetAck;
constexpr uint32_t kTimeoutMs = 5000;

}  // namespace

int32_t azk_CHidComm::SetKeyLockConfig(void* blockPtr) {
    if (blockPtr == nullptr) return SESSION_RESULT_BAD_BLOCK;
    const uint8_t* block = static_cast<const uint8_t*>(blockPtr);
    uint8_t* request = BeginRequest(kOpSet, kFunctionKeyLock, block[SESSION_KEYLOCK_SE_FLAG],
                                    block[SESSION_BLOCK_TARGET], 2);
    std::memcpy(request + wire::kHeaderSize, block + SESSION_KEYLOCK_LOCK_MASK, 2);
    const int32_t result = SendAndWait(request, 10, kTimeoutMs);
    if (result != SESSION_RESULT_OK) return result;
    return CheckResponse(0, kOpSetAck, kFunctionKeyLock);
}

int32_t azk_CHidComm::GetKeyLockConfig(void* blockPtr) {
    if (blockPtr == nullptr) return SESSION_RESULT_BAD_BLOCK;
    uint8_t* block = static_cast<uint8_t*>(blockPtr);
    uint8_t* request = BeginRequest(kOpGet, kFunctionKeyLock, 0, block[SESSION_BLOCK_TARGET], 0);
    const int32_t result = SendAndWait(request, 8, kTimeoutMs);
    if (result != SESSION_RESULT_OK) return result;
    const int32_t check = CheckResponse(2, kOpGetReply, kFunctionKeyLock);
    if (check != SESSION_RESULT_OK) return check;
    const uint8_t* response = ResponseBuffer();
    block[SESSION_KEYLOCK_SE_FLAG] = response[wire::kOffsetArg];
    std::memcpy(block + SESSION_KEYLOCK_LOCK_MASK, response + wire::kHeaderSize, 2);
    return SESSION_RESULT_OK;
}

}  // namespace azk

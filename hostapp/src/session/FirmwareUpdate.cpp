// Command 64: the firmware update. The caller's image is checked by an
// azk_CFirmFile, announced with FU_SETINFO, then sent in transfer blocks of
// up to 10240 bytes, each loaded with FU_FWLOAD and committed with
// FU_WRITEFW. Every step is retried a few times, with one message per failed
// attempt; the caller follows the progress through a callback.
#include <algorithm>
#include <cstring>

#include "session/FirmFile.h"
#include "session/HidComm.h"
#include "support/ByteOrder.h"
#include "support/WideConsole.h"
#include "support/WireFormat.h"

namespace azk {
namespace {

using wire::kFunctionFwLoad;
using wire::kFunctionSetInfo;
using wire::kFunctionWriteFw;
using wire::kOpSet;
using wire::kOpSetAck;
constexpr uint32_t kTransferBlockSize = 10240;
constexpr uint32_t kDataCrcOffset = 556;

}  // namespace

// One step of the sequence: its request function, what its acknowledgement
// carries, how long and how often it is tried, and its messages.
struct azk_CHidComm::UpdateStep {
    uint16_t function;
    uint16_t replyLength;
    uint32_t timeoutMs;
    int attempts;
    int32_t failure;  // result of an attempt that failed in the exchange
    const wchar_t* statusMessage;
    const wchar_t* exchangeMessage;
    const wchar_t* headerMessage;
};

namespace {

using UpdateStep = azk_CHidComm::UpdateStep;

constexpr UpdateStep kSetInfo = {
    kFunctionSetInfo, 0, 5000, 3, SESSION_RESULT_FW_LOAD,
    L"error : receive error response. (FU_SETINFO) [0x%02X]\n",
    L"error : send or receive error. (FU_SETINFO) [%d]\n",
    L"error : invalid response header receive. (FU_SETINFO)\n"};
constexpr UpdateStep kFwLoad = {
    kFunctionFwLoad, 1, 5000, 5, SESSION_RESULT_FW_LOAD,
    L"\nerror : receive error response. (FU_FWLOAD) [0x%02X]\n",
    L"\nerror : send or receive error. (FU_FWLOAD) [%d]\n",
    L"\nerror : invalid response header receive. (FU_FWLOAD)\n"};
constexpr UpdateStep kWriteFw = {
    kFunctionWriteFw, 0, 180000, 2, SESSION_RESULT_FW_WRITE,
    L"\nerror : receive error response. (FU_WRITEFW) [0x%02X]\n",
    L"\nerror : send or receive error. (FU_WRITEFW) [%d]\n",
    L"\nerror : invalid response header receive. (FU_WRITEFW)\n"};

// The byte FU_SETINFO announces for an image kind.
uint8_t KindCode(int32_t kind) { return kind == azk_CFirmFile::kKindDspa ? 3 : static_cast<uint8_t>(kind); }

}  // namespace

int32_t azk_CHidComm::FirmwareUpdate(void* blockPtr) {
    azk_CFirmFile file;
    if (blockPtr == nullptr) return SESSION_RESULT_BAD_BLOCK;
    SessionFirmwareUpdateBlock block;
    std::memcpy(&block, blockPtr, sizeof block);

    switch (file.Load(block.image, block.imageSize)) {
    case azk_CFirmFile::kLoadOk:
        break;
    case azk_CFirmFile::kLoadChecksum:
        return SESSION_RESULT_IMAGE_CHECKSUM;
    case azk_CFirmFile::kLoadNoMemory:
        return SESSION_RESULT_INITIALIZE;
    default:
        return SESSION_RESULT_NOT_ENOUGH_ARGS;
    }

    // The flag is put back on every way out, a throwing progress callback
    // included: cleared, or still set for an update whose progress callback
    // runs this one.
    struct FlagGuard {
        azk_CHidComm& session;
        const bool outer;
        explicit FlagGuard(azk_CHidComm& s) : session(s), outer(s.FirmwareUpdateRuns()) {
            session.SetFirmwareUpdate(true);
        }
        ~FlagGuard() { session.SetFirmwareUpdate(outer); }
        FlagGuard(const FlagGuard&) = delete;
        FlagGuard& operator=(const FlagGuard&) = delete;
    } guard(*this);
    const int32_t result =
        RunUpdateSequence(block.image, block.imageSize, file.GetKind(), block.progress, block.userValue);
    if (result == SESSION_RESULT_OK && block.progress != nullptr) block.progress(100, block.userValue);
    return result;
}

int32_t azk_CHidComm::RunUpdateStep(const UpdateStep& s, uint32_t size) {
    int32_t result = SESSION_RESULT_OK;
    for (int attempt = 0; attempt < s.attempts; ++attempt) {
        const int32_t rc = SendAndWait(RequestBuffer(), size, s.timeoutMs);
        if (rc == SESSION_RESULT_OK) {
            if (CheckResponse(s.replyLength, kOpSetAck, s.function) == SESSION_RESULT_OK) return SESSION_RESULT_OK;
            WidePrintf(s.headerMessage);
            result = SESSION_RESULT_BAD_RESPONSE;
        } else if (rc == SESSION_RESULT_DEVICE_STATUS) {
            // The status SendAndWait took from this attempt's response.
            WidePrintf(s.statusMessage, static_cast<unsigned>(Status()));
            result = s.failure;
        } else {
            WidePrintf(s.exchangeMessage, static_cast<int>(rc));
            result = s.failure;
        }
    }
    return result;
}

int32_t azk_CHidComm::RunUpdateSequence(const uint8_t* image, uint32_t imageSize, int32_t kind,
                                        SessionProgressCallback progress, int32_t userValue) {
    // FU_SETINFO: kind code, image size and the image's data CRC.
    uint8_t* request = BeginRequest(kOpSet, kFunctionSetInfo, 0, 0, 7);
    request[8] = KindCode(kind);
    Write32(request + 9, imageSize);
    std::memcpy(request + 13, image + kDataCrcOffset, 2);
    int32_t result = RunUpdateStep(kSetInfo, 15);
    if (result != SESSION_RESULT_OK) return result;

    int32_t reported = 21;
    if (progress != nullptr) progress(reported, userValue);

    uint32_t offset = 0;
    uint32_t remaining = imageSize;
    while (remaining > 0) {
        const uint32_t n = std::min(remaining, kTransferBlockSize);
        // FU_FWLOAD: offset, the block's CRC as stored, the block itself.
        request = BeginRequest(kOpSet, kFunctionFwLoad, 0, 0, static_cast<uint16_t>(n + 6));
        Write32(request + 8, offset);
        Write16(request + 12, azk_CFirmFile::ImageCrc16(image + offset, n, 0));
        std::memcpy(request + 14, image + offset, n);
        result = RunUpdateStep(kFwLoad, 14 + n);
        if (result != SESSION_RESULT_OK) return result;

        const int32_t percent = static_cast<int32_t>(
            std::min<uint64_t>(21 + static_cast<uint64_t>(offset) * 77 / imageSize, 98));
        if (progress != nullptr && percent > reported) {
            progress(percent, userValue);
            reported = percent;
        }
        offset += n;
        remaining -= n;

        BeginRequest(kOpSet, kFunctionWriteFw, 0, 0, 0);
        result = RunUpdateStep(kWriteFw, 8);
        if (result != SESSION_RESULT_OK) return result;
    }
    return SESSION_RESULT_OK;
}

}  // namespace azk

#include "emulator/FirmwareReceiver.h"

#include <cstring>

#include "support/ByteOrder.h"

namespace azk {
namespace {

// The image layout as the device reads it.
constexpr size_t kPrologueSize = 512;
constexpr size_t kMagicOffset = 512;
constexpr size_t kFormatOffset = 528;
constexpr size_t kKey0Offset = 532;
constexpr size_t kKey1Offset = 536;
constexpr size_t kTotalLengthOffset = 544;
constexpr size_t kDataCrcOffset = 556;
constexpr size_t kHeaderCrcOffset = 558;
constexpr size_t kHeaderCrcSpan = 46;  // bytes 512..557
constexpr size_t kBodyOffset = 560;
constexpr uint32_t kFormatNumber = 6;

// Descrambles `length` bytes of whole little-endian words in place: word i
// XOR key (i even ? key0 : key1).
void DescrambleWords(uint8_t* bytes, size_t length, uint32_t key0, uint32_t key1) {
    for (size_t i = 0; i + 4 <= length; i += 4) {
        const uint32_t key = (i / 4) % 2 == 0 ? key0 : key1;
        for (int b = 0; b < 4; ++b) bytes[i + b] = static_cast<uint8_t>(bytes[i + b] ^ (key >> (8 * b)));
    }
}

std::string Hex16(uint16_t value) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4) text.push_back(digits[(value >> shift) & 0x0F]);
    return text;
}

}  // namespace

uint16_t azk_CFirmwareReceiver::Crc16(const uint8_t* bytes, size_t length, uint16_t previous) {
    uint16_t crc = static_cast<uint16_t>(~previous);
    for (size_t i = 0; i < length; ++i) {
        crc = static_cast<uint16_t>(crc ^ (bytes[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return static_cast<uint16_t>(~crc);
}

bool azk_CFirmwareReceiver::KindCodeOfMagic(const uint8_t* magic, uint8_t& kindCode) {
    struct Entry {
        char magic[4];
        uint8_t code;
    };
    static constexpr Entry kEntries[] = {{{'F', 'W', 'U', 'P'}, 0}, {{'U', 'A', 'S', 'P'}, 1}, {{'D', 'S', 'P', 'A'}, 3}};
    for (const Entry& entry : kEntries) {
        if (std::memcmp(magic, entry.magic, 4) == 0) {
            kindCode = entry.code;
            return true;
        }
    }
    return false;
}

azk_CFirmwareReceiver::azk_CFirmwareReceiver(azk_CDeviceModel& model) : model_(model) {
    for (uint16_t function : {kFunctionSetInfo, kFunctionFwLoad, kFunctionWriteFw}) {
        model_.RegisterFunction(function,
                                [this](const azk_SRequest& request, azk_SResponse& response) { Handle(request, response); });
    }
}

azk_CFirmwareReceiver::~azk_CFirmwareReceiver() {
    // Once this returns no handler of ours runs or will run: the model calls
    // handlers under the lock that RegisterFunction takes.
    for (uint16_t function : {kFunctionSetInfo, kFunctionFwLoad, kFunctionWriteFw}) {
        model_.RegisterFunction(function, nullptr);
    }
}

void azk_CFirmwareReceiver::AddFault(const Fault& fault) {
    if (fault.times == 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(fault);
}

void azk_CFirmwareReceiver::FailStep(uint16_t function, uint32_t times, uint8_t status, uint8_t detail) {
    AddFault({function, times, FaultKind::Status, status, detail});
}

void azk_CFirmwareReceiver::BadHeaderStep(uint16_t function, uint32_t times) {
    AddFault({function, times, FaultKind::BadHeader, 0, 0});
}

void azk_CFirmwareReceiver::SilenceStep(uint16_t function, uint32_t times) {
    AddFault({function, times, FaultKind::Silent, 0, 0});
}

void azk_CFirmwareReceiver::SetOutcomeCallback(OutcomeCallback callback) {
    std::lock_guard<std::mutex> lock(mutex_);
    outcome_ = std::move(callback);
}

azk_CFirmwareReceiver::State azk_CFirmwareReceiver::Snapshot() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return state_;
}

std::vector<uint8_t> azk_CFirmwareReceiver::Image() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return image_;
}

void azk_CFirmwareReceiver::Handle(const azk_SRequest& request, azk_SResponse& response) {
    OutcomeCallback outcome;
    State finished;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        response.op = static_cast<uint8_t>(request.op + 1);
        response.function = request.function;
        if (TakeFault(request.function, response)) return;
        if (request.op != 0) {
            response.status = kStatusBadRequest;
            return;
        }
        switch (request.function) {
        case kFunctionSetInfo:
            SetInfo(request, response);
            return;
        case kFunctionFwLoad:
            FwLoad(request, response);
            return;
        default:
            if (!WriteFw(request, response)) return;
            outcome = outcome_;
            finished = state_;
            break;
        }
    }
    if (outcome) outcome(finished);
}

bool azk_CFirmwareReceiver::TakeFault(uint16_t function, azk_SResponse& response) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->function != function) continue;
        switch (it->kind) {
        case FaultKind::BadHeader:
            // The acknowledgement the function would give, one byte longer.
            response.payload.assign(function == kFunctionFwLoad ? 2 : 1, 0);
            break;
        case FaultKind::Silent:
            response.silent = true;
            break;
        case FaultKind::Status:
            response.status = it->status;
            response.detail = it->detail;
            break;
        }
        if (--it->times == 0) faults_.erase(it);
        return true;
    }
    return false;
}

void azk_CFirmwareReceiver::SetInfo(const azk_SRequest& request, azk_SResponse& response) {
    if (request.payload.size() != 7) {
        response.status = kStatusBadRequest;
        return;
    }
    const uint32_t size = Read32(&request.payload[1]);
    if (size > kMaxImageSize) {
        response.status = kStatusTooLarge;
        return;
    }
    state_ = State();
    state_.announced = true;
    state_.kindCode = request.payload[0];
    state_.size = size;
    state_.dataCrc = Read16(&request.payload[5]);
    image_.clear();
    image_.shrink_to_fit();
    staged_.clear();
    hasStaged_ = false;
}

void azk_CFirmwareReceiver::FwLoad(const azk_SRequest& request, azk_SResponse& response) {
    const std::vector<uint8_t>& p = request.payload;
    if (!state_.announced) {
        response.status = kStatusNotAnnounced;
        return;
    }
    if (p.size() < 7) {
        response.status = kStatusBadRequest;
        return;
    }
    const uint32_t offset = Read32(&p[0]);
    const size_t n = p.size() - 6;
    if (offset != state_.committed || n > state_.size - state_.committed) {
        response.status = kStatusBadOffset;
        return;
    }
    if (Crc16(&p[6], n, 0) != Read16(&p[4])) {
        response.status = kStatusBadBlockCrc;
        return;
    }
    staged_.assign(p.begin() + 6, p.end());
    hasStaged_ = true;
    response.payload.assign(1, 0);  // the acknowledgement carries one byte
}

bool azk_CFirmwareReceiver::WriteFw(const azk_SRequest& request, azk_SResponse& response) {
    if (!request.payload.empty()) {
        response.status = kStatusBadRequest;
        return false;
    }
    if (!hasStaged_) {
        // A repeat of the commit just carried out (its acknowledgement may
        // have been lost) gets the same answer again.
        if (state_.blocks == 0) {
            response.status = kStatusNothingStaged;
        } else if (state_.complete && !state_.verified) {
            response.status = kStatusImageRejected;
        }
        return false;
    }
    image_.insert(image_.end(), staged_.begin(), staged_.end());
    staged_.clear();
    hasStaged_ = false;
    state_.committed = static_cast<uint32_t>(image_.size());
    ++state_.blocks;
    if (state_.committed != state_.size) return false;
    state_.complete = true;
    VerifyImage();
    if (!state_.verified) response.status = kStatusImageRejected;
    return true;
}

void azk_CFirmwareReceiver::VerifyImage() {
    if (image_.size() <= kBodyOffset) {
        state_.rejection = "image too short for its header";
        return;
    }
    const uint8_t* image = image_.data();
    uint8_t kindCode = 0;
    if (!KindCodeOfMagic(image + kMagicOffset, kindCode)) {
        state_.rejection = "unknown magic";
        return;
    }
    if (kindCode != state_.kindCode) {
        state_.rejection = "announced kind code " + std::to_string(state_.kindCode) + ", the image's is " +
                           std::to_string(kindCode);
        return;
    }
    if (Read32(image + kFormatOffset) != kFormatNumber) {
        state_.rejection = "format number " + std::to_string(Read32(image + kFormatOffset)) + ", not 6";
        return;
    }
    const uint16_t headerCrc = Crc16(image + kMagicOffset, kHeaderCrcSpan, 0);
    if (headerCrc != Read16(image + kHeaderCrcOffset)) {
        state_.rejection = "header CRC " + Hex16(Read16(image + kHeaderCrcOffset)) + " stored, " + Hex16(headerCrc) +
                           " computed";
        return;
    }
    const uint32_t total = Read32(image + kTotalLengthOffset);
    if (total < kBodyOffset || total > image_.size() || total % 4 != 0) {
        state_.rejection = "total length " + std::to_string(total) + " does not fit the " +
                           std::to_string(image_.size()) + " bytes received";
        return;
    }
    const uint16_t headerDataCrc = Read16(image + kDataCrcOffset);
    if (headerDataCrc != state_.dataCrc) {
        state_.rejection = "data CRC " + Hex16(state_.dataCrc) + " announced, the image's header says " +
                           Hex16(headerDataCrc);
        return;
    }
    std::vector<uint8_t> plain(image_.begin(), image_.begin() + total);
    const uint32_t key0 = Read32(image + kKey0Offset);
    const uint32_t key1 = Read32(image + kKey1Offset);
    DescrambleWords(plain.data(), kPrologueSize, key0, key1);
    DescrambleWords(plain.data() + kBodyOffset, total - kBodyOffset, key0, key1);
    uint16_t crc = Crc16(plain.data(), kPrologueSize, 0);
    crc = Crc16(plain.data() + kBodyOffset, total - kBodyOffset, crc);
    if (crc != state_.dataCrc) {
        state_.rejection = "data CRC " + Hex16(state_.dataCrc) + " announced, " + Hex16(crc) +
                           " computed over the received image";
        return;
    }
    state_.verified = true;
}

}  // namespace azk

#include "emulator/FirmwareReceiver.h"

#include <algorithm>
#include <cstring>

namespace azk {
namespace {

uint16_t Get16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
uint32_t Get32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
           (static_cast<uint32_t>(p[3]) << 24);
}

// The image layout as the device reads it.
constexpr size_t kPrologueSize = 512;
constexpr size_t kBodyOffset = 560;
constexpr size_t kKey0Offset = 532;
constexpr size_t kKey1Offset = 536;
constexpr size_t kTotalLengthOffset = 544;
constexpr size_t kDataCrcOffset = 556;

// Descrambles `length` bytes of whole little-endian words in place: word i
// XOR key (i even ? key0 : key1).
void DescrambleWords(uint8_t* bytes, size_t length, uint32_t key0, uint32_t key1) {
    for (size_t i = 0; i + 4 <= length; i += 4) {
        const uint32_t key = (i / 4) % 2 == 0 ? key0 : key1;
        for (int b = 0; b < 4; ++b) bytes[i + b] = static_cast<uint8_t>(bytes[i + b] ^ (key >> (8 * b)));
    }
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

azk_CFirmwareReceiver::azk_CFirmwareReceiver(azk_CDeviceModel& model) : model_(model) {
    for (uint16_t function : {kFunctionSetInfo, kFunctionFwLoad, kFunctionWriteFw}) {
        model_.RegisterFunction(function,
                                [this](const azk_SRequest& request, azk_SResponse& response) { Handle(request, response); });
    }
}

azk_CFirmwareReceiver::~azk_CFirmwareReceiver() {
    for (uint16_t function : {kFunctionSetInfo, kFunctionFwLoad, kFunctionWriteFw}) {
        model_.RegisterFunction(function, nullptr);
    }
}

void azk_CFirmwareReceiver::FailStep(uint16_t function, uint32_t times, uint8_t status, uint8_t detail) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({function, times, false, status, detail});
}

void azk_CFirmwareReceiver::BadHeaderStep(uint16_t function, uint32_t times) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back({function, times, true, 0, 0});
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
    std::lock_guard<std::mutex> lock(mutex_);
    response.op = static_cast<uint8_t>(request.op + 1);
    response.function = request.function;
    if (TakeFault(request.function, response)) return;
    if (request.op != 0) {
        response.status = kStatusBadRequest;
        return;
    }
    switch (request.function) {
    case kFunctionSetInfo: SetInfo(request, response); break;
    case kFunctionFwLoad: FwLoad(request, response); break;
    default: WriteFw(request, response); break;
    }
}

bool azk_CFirmwareReceiver::TakeFault(uint16_t function, azk_SResponse& response) {
    for (auto it = faults_.begin(); it != faults_.end(); ++it) {
        if (it->function != function || it->times == 0) continue;
        if (it->badHeader) {
            // The acknowledgement the function would give, one byte longer.
            response.payload.assign(function == kFunctionFwLoad ? 2 : 1, 0);
        } else {
            response.status = it->status;
            response.detail = it->detail;
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
    const uint32_t size = Get32(&request.payload[1]);
    if (size > kMaxImageSize) {
        response.status = kStatusTooLarge;
        return;
    }
    state_ = State();
    state_.announced = true;
    state_.kindCode = request.payload[0];
    state_.size = size;
    state_.dataCrc = Get16(&request.payload[5]);
    image_.clear();
    image_.reserve(size);
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
    const uint32_t offset = Get32(&p[0]);
    const size_t n = p.size() - 6;
    if (offset != state_.committed || n > state_.size - state_.committed) {
        response.status = kStatusBadOffset;
        return;
    }
    if (Crc16(&p[6], n, 0) != Get16(&p[4])) {
        response.status = kStatusBadBlockCrc;
        return;
    }
    staged_.assign(p.begin() + 6, p.end());
    hasStaged_ = true;
    response.payload.assign(1, 0);  // the acknowledgement carries one byte
}

void azk_CFirmwareReceiver::WriteFw(const azk_SRequest& request, azk_SResponse& response) {
    if (!request.payload.empty()) {
        response.status = kStatusBadRequest;
        return;
    }
    if (!hasStaged_) {
        // A repeated commit of the block just committed (its acknowledgement
        // may have been lost) is acknowledged again.
        if (state_.blocks == 0) response.status = kStatusNothingStaged;
        return;
    }
    image_.insert(image_.end(), staged_.begin(), staged_.end());
    state_.committed = static_cast<uint32_t>(image_.size());
    ++state_.blocks;
    hasStaged_ = false;
    if (state_.committed == state_.size) {
        state_.complete = true;
        VerifyImage();
        if (!state_.verified) response.status = kStatusImageRejected;
    }
}

void azk_CFirmwareReceiver::VerifyImage() {
    if (image_.size() < kBodyOffset) {
        state_.rejection = "image shorter than its header";
        return;
    }
    const uint32_t total = Get32(&image_[kTotalLengthOffset]);
    if (total < kBodyOffset || total > image_.size() || total % 4 != 0) {
        state_.rejection = "total length does not fit the image";
        return;
    }
    if (Get16(&image_[kDataCrcOffset]) != state_.dataCrc) {
        state_.rejection = "announced data CRC differs from the image's";
        return;
    }
    std::vector<uint8_t> plain(image_.begin(), image_.begin() + total);
    const uint32_t key0 = Get32(&image_[kKey0Offset]);
    const uint32_t key1 = Get32(&image_[kKey1Offset]);
    DescrambleWords(plain.data(), kPrologueSize, key0, key1);
    DescrambleWords(plain.data() + kBodyOffset, total - kBodyOffset, key0, key1);
    uint16_t crc = Crc16(plain.data(), kPrologueSize, 0);
    crc = Crc16(plain.data() + kBodyOffset, total - kBodyOffset, crc);
    if (crc != state_.dataCrc) {
        state_.rejection = "data CRC of the received image does not match";
        return;
    }
    state_.verified = true;
}

}  // namespace azk

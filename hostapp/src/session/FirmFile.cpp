// FirmFile.cpp - firmware image check and CRC-16/GENIBUS.
#include "session/FirmFile.h"

#include <array>
#include <cstring>
#include <new>
#include <utility>

namespace azk {

namespace {

constexpr uint16_t kCrcPolynomial = 0x1021;

uint16_t ReadLe16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

uint32_t ReadLe32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

void WriteLe32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

// Entry n: n << 8 put through eight MSB-first steps of the polynomial.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t reg = n << 8;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000u) ? ((reg << 1) ^ kCrcPolynomial) : (reg << 1);
        }
        table[n] = static_cast<uint16_t>(reg);
    }
    return table;
}

constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

constexpr uint16_t Crc16Continue(const uint8_t* bytes, size_t length, uint16_t previous) {
    uint16_t reg = static_cast<uint16_t>(~previous);
    for (size_t i = 0; i < length; ++i) {
        reg = static_cast<uint16_t>((reg << 8) ^ kCrcTable[((reg >> 8) ^ bytes[i]) & 0xFFu]);
    }
    return static_cast<uint16_t>(~reg);
}

constexpr uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(kCrcTable[1] == 0x1021, "CRC table entry 1 is the polynomial");
static_assert(Crc16Continue(kCheckInput, sizeof kCheckInput, 0) == 0xD64E,
              "CRC-16/GENIBUS check value");

struct KindMagic {
    char magic[4];
    int32_t kind;
};

constexpr KindMagic kKindMagics[] = {
    {{'F', 'W', 'U', 'P'}, azk_CFirmFile::kKindFwup},
    {{'U', 'A', 'S', 'P'}, azk_CFirmFile::kKindUasp},
    {{'D', 'S', 'P', 'A'}, azk_CFirmFile::kKindDspa},
};

std::unique_ptr<uint8_t[]> AllocateNoThrow(uint32_t byteCount) {
    return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[byteCount]);
}

}  // namespace

azk_CFirmFile::azk_CFirmFile() : bufferSource_(AllocateNoThrow) {}

azk_CFirmFile::azk_CFirmFile(BufferSource bufferSource)
    : bufferSource_(bufferSource ? std::move(bufferSource) : BufferSource(AllocateNoThrow)) {}

azk_CFirmFile::~azk_CFirmFile() = default;

uint16_t azk_CFirmFile::ImageCrc16(const uint8_t* bytes, size_t length, uint16_t previous) {
    if (length == 0 || bytes == nullptr) {
        return previous;
    }
    return Crc16Continue(bytes, length, previous);
}

void azk_CFirmFile::Descramble(uint8_t* words, size_t length, uint32_t key0, uint32_t key1) {
    if (words == nullptr) {
        return;
    }
    const size_t count = length / 4;
    for (size_t i = 0; i < count; ++i) {
        uint8_t* word = words + i * 4;
        WriteLe32(word, ReadLe32(word) ^ ((i % 2 == 0) ? key0 : key1));
    }
}

void azk_CFirmFile::DropImage() {
    image_.reset();
    imageLength_ = 0;
    dataCrc_ = 0;
    std::memset(headerTag_, 0, sizeof headerTag_);
}

int32_t azk_CFirmFile::Load(const uint8_t* image, uint32_t size) {
    // 1. Room for prologue, header and at least one body byte.
    if (image == nullptr || size <= kBodyOffset) {
        return kLoadMalformed;
    }

    // 2. Magic; the kind is set here and stays set if a later check fails.
    const uint8_t* magic = image + kMagicOffset;
    bool known = false;
    for (const KindMagic& entry : kKindMagics) {
        if (std::memcmp(magic, entry.magic, sizeof entry.magic) == 0) {
            kind_ = entry.kind;
            known = true;
            break;
        }
    }
    if (!known) {
        return kLoadMalformed;
    }

    // 3. Format number.
    if (ReadLe32(image + kFormatOffset) != kFormatNumber) {
        return kLoadMalformed;
    }

    // 4. Total length: within the supplied bytes, whole words, and long
    // enough to hold prologue and header (a shorter one would leave a
    // negative body length).
    const uint32_t totalLength = ReadLe32(image + kTotalLengthOffset);
    if (totalLength > size || totalLength % 4 != 0 || totalLength < kBodyOffset) {
        return kLoadMalformed;
    }

    // 5-7. Descramble a check copy and compute the data CRC over it; the
    // caller's bytes are never modified.
    uint16_t dataCrc = 0;
    {
        std::unique_ptr<uint8_t[]> check = bufferSource_(totalLength);
        if (!check) {
            return kLoadNoMemory;
        }
        std::memcpy(check.get(), image, totalLength);
        const uint32_t key0 = ReadLe32(image + kKey0Offset);
        const uint32_t key1 = ReadLe32(image + kKey1Offset);
        const uint32_t bodyLength = totalLength - kBodyOffset;
        Descramble(check.get() + kPrologueOffset, kPrologueSize, key0, key1);
        Descramble(check.get() + kBodyOffset, bodyLength, key0, key1);
        dataCrc = ImageCrc16(check.get() + kPrologueOffset, kPrologueSize, 0);
        dataCrc = ImageCrc16(check.get() + kBodyOffset, bodyLength, dataCrc);
    }  // check copy released

    // 8. Data CRC first, so a damaged body is reported before a damaged header.
    const uint16_t storedDataCrc = ReadLe16(image + kDataCrcOffset);
    if (dataCrc != storedDataCrc) {
        return kLoadChecksum;
    }

    // 9. Header CRC over the stored header bytes 512..557.
    if (ImageCrc16(image + kHeaderOffset, kHeaderCrcSpan, 0) != ReadLe16(image + kHeaderCrcOffset)) {
        return kLoadChecksum;
    }

    // 10. Replace the kept copy. Nothing is kept if the new one cannot be had.
    DropImage();
    std::unique_ptr<uint8_t[]> kept = bufferSource_(totalLength);
    if (!kept) {
        return kLoadNoMemory;
    }

    // 11. Keep the stored bytes and the header fields.
    std::memcpy(kept.get(), image, totalLength);
    image_ = std::move(kept);
    imageLength_ = totalLength;
    dataCrc_ = storedDataCrc;
    std::memcpy(headerTag_, image + kHeaderTagOffset, 4);
    std::memset(headerTag_ + 4, 0, kHeaderTagSize - 4);
    return kLoadOk;
}

}  // namespace azk

// FirmFile.cpp - firmware image check and CRC-16/GENIBUS (sliced tables).
#include "session/FirmFile.h"

#include <algorithm>
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

// Byte table: entry n is n << 8 put through eight MSB-first steps of the
// polynomial (entry 1 is the polynomial itself).
//
// Slicing: the CRC is linear, so the register after a run of bytes (from a
// zero register) is the XOR of each byte's own contribution, and a byte
// followed by k more bytes contributes its byte-table entry pushed through k
// zero bytes. Table k holds those entries; a block of kSlice bytes then costs
// kSlice look-ups and no carried dependency between them. The register
// entering a block is folded into the block's first two bytes.
constexpr size_t kSlice = 16;
using CrcTables = std::array<std::array<uint16_t, 256>, kSlice>;

constexpr CrcTables MakeCrcTables() {
    CrcTables tables{};
    for (uint32_t n = 0; n < 256; ++n) {
        uint32_t reg = n << 8;
        for (int bit = 0; bit < 8; ++bit) {
            reg = (reg & 0x8000u) ? ((reg << 1) ^ kCrcPolynomial) : (reg << 1);
        }
        tables[0][n] = static_cast<uint16_t>(reg);
    }
    for (size_t k = 1; k < kSlice; ++k) {
        for (uint32_t n = 0; n < 256; ++n) {
            const uint16_t prev = tables[k - 1][n];
            tables[k][n] = static_cast<uint16_t>((prev << 8) ^ tables[0][prev >> 8]);
        }
    }
    return tables;
}

constexpr CrcTables kCrcTables = MakeCrcTables();

// Register in, register out (no inversion): one byte at a time.
constexpr uint16_t CrcBytewise(uint16_t reg, const uint8_t* bytes, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        reg = static_cast<uint16_t>((reg << 8) ^ kCrcTables[0][((reg >> 8) ^ bytes[i]) & 0xFFu]);
    }
    return reg;
}

// Register in, register out: kSlice bytes per step, the rest byte by byte.
constexpr uint16_t CrcSliced(uint16_t reg, const uint8_t* bytes, size_t length) {
    while (length >= kSlice) {
        const uint8_t* p = bytes;
        uint16_t next = static_cast<uint16_t>(kCrcTables[kSlice - 1][(reg >> 8) ^ p[0]] ^
                                              kCrcTables[kSlice - 2][(reg & 0xFFu) ^ p[1]]);
        for (size_t j = 2; j < kSlice; ++j) {
            next = static_cast<uint16_t>(next ^ kCrcTables[kSlice - 1 - j][p[j]]);
        }
        reg = next;
        bytes += kSlice;
        length -= kSlice;
    }
    return CrcBytewise(reg, bytes, length);
}

constexpr uint16_t Crc16Continue(const uint8_t* bytes, size_t length, uint16_t previous) {
    return static_cast<uint16_t>(~CrcSliced(static_cast<uint16_t>(~previous), bytes, length));
}

// CRC-16/GENIBUS check value: "123456789" gives 0xD64E.
constexpr uint8_t kCheckInput[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
static_assert(kCrcTables[0][1] == 0x1021, "CRC table entry 1 is the polynomial");
static_assert(Crc16Continue(kCheckInput, sizeof kCheckInput, 0) == 0xD64E,
              "CRC-16/GENIBUS check value");
// The sliced path against the byte-at-a-time one, over more than two blocks.
constexpr uint8_t kSliceInput[] = "123456789 123456789 123456789 123456789 1";
static_assert(CrcSliced(0xFFFF, kSliceInput, sizeof kSliceInput) ==
                  CrcBytewise(0xFFFF, kSliceInput, sizeof kSliceInput),
              "sliced CRC agrees with the byte table");

// XORs the whole 32-bit words of length bytes from src into dst (which may
// be src) with the alternating key, word 0 with key0. The two key words in
// stored (little-endian) byte order make one 8-byte pattern, so pairs of
// words go 8 bytes at a time whatever the host's byte order.
void XorKeyWords(uint8_t* dst, const uint8_t* src, size_t length, uint32_t key0, uint32_t key1) {
    uint8_t keyBytes[8];
    WriteLe32(keyBytes, key0);
    WriteLe32(keyBytes + 4, key1);
    uint64_t key;
    std::memcpy(&key, keyBytes, sizeof key);
    const size_t wordBytes = length - length % 4;
    size_t i = 0;
    for (; i + 8 <= wordBytes; i += 8) {
        uint64_t pair;
        std::memcpy(&pair, src + i, sizeof pair);
        pair ^= key;
        std::memcpy(dst + i, &pair, sizeof pair);
    }
    if (i < wordBytes) {  // one word left, at an even index
        WriteLe32(dst + i, ReadLe32(src + i) ^ key0);
    }
}

// Copies and descrambles a block into the check copy and continues the CRC
// over it, a piece at a time while the piece is still in the cache. The
// piece size keeps the key phase (a multiple of 8 bytes).
constexpr size_t kCheckPiece = 16 * 1024;

uint16_t DescrambleCopyCrc(uint8_t* dst, const uint8_t* src, size_t length, uint32_t key0, uint32_t key1,
                           uint16_t crc) {
    for (size_t done = 0; done < length;) {
        const size_t n = std::min(kCheckPiece, length - done);
        XorKeyWords(dst + done, src + done, n, key0, key1);
        crc = Crc16Continue(dst + done, n, crc);
        done += n;
    }
    return crc;
}

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
    XorKeyWords(words, words, length, key0, key1);
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
        // Copying, descrambling and the CRC go in one pass over the bytes.
        // The header block is copied as stored; it is not part of the CRC.
        const uint32_t key0 = ReadLe32(image + kKey0Offset);
        const uint32_t key1 = ReadLe32(image + kKey1Offset);
        const uint32_t bodyLength = totalLength - kBodyOffset;
        dataCrc = DescrambleCopyCrc(check.get() + kPrologueOffset, image + kPrologueOffset, kPrologueSize, key0,
                                    key1, 0);
        std::memcpy(check.get() + kHeaderOffset, image + kHeaderOffset, kHeaderSize);
        dataCrc = DescrambleCopyCrc(check.get() + kBodyOffset, image + kBodyOffset, bodyLength, key0, key1, dataCrc);
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

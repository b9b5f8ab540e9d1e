// FirmImageBuilder.cpp - firmware image files for tests and trials.
#include "session/FirmImageBuilder.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace azk {

namespace {

// Field offsets of the image header; the checking side keeps its own.
constexpr size_t kPrologueBytes = 512;
constexpr size_t kMagicAt = 512;
constexpr size_t kTagAt = 516;
constexpr size_t kUncheckedAt = 520;
constexpr size_t kFormatAt = 528;
constexpr size_t kKey0At = 532;
constexpr size_t kKey1At = 536;
constexpr size_t kTotalAt = 544;
constexpr size_t kDataCrcAt = 556;
constexpr size_t kHeaderCrcAt = 558;
constexpr size_t kBodyAt = 560;

void Put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
    out.at(at) = static_cast<uint8_t>(v & 0xFF);
    out.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

void Put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
    for (size_t i = 0; i < 4; ++i) {
        out.at(at + i) = static_cast<uint8_t>((v >> (8 * i)) & 0xFF);
    }
}

// XORs the little-endian words of out[begin, begin + length) with the key,
// starting with key0.
void Scramble(std::vector<uint8_t>& out, size_t begin, size_t length, uint32_t key0, uint32_t key1) {
    for (size_t word = 0; word * 4 + 4 <= length; ++word) {
        const uint32_t key = (word & 1) ? key1 : key0;
        for (size_t i = 0; i < 4; ++i) {
            out.at(begin + word * 4 + i) ^= static_cast<uint8_t>((key >> (8 * i)) & 0xFF);
        }
    }
}

uint16_t HeaderCrcOf(const std::vector<uint8_t>& image) {
    return azk_CFirmImageBuilder::Crc16(image.data() + kMagicAt, kHeaderCrcAt - kMagicAt, 0);
}

void FixHeaderCrc(std::vector<uint8_t>& image) {
    Put16(image, kHeaderCrcAt, HeaderCrcOf(image));
}

const std::vector<azk_CFirmImageBuilder::DamageInfo> kDamages = {
    {azk_CFirmImageBuilder::Damage::None, "none", "a sound image"},
    {azk_CFirmImageBuilder::Damage::Magic, "magic", "unknown magic \"ZZZZ\""},
    {azk_CFirmImageBuilder::Damage::FormatNumber, "format", "format number 5"},
    {azk_CFirmImageBuilder::Damage::TotalOverSize, "total-over-size",
     "total length 4 above the bytes in the file"},
    {azk_CFirmImageBuilder::Damage::TotalUnaligned, "total-unaligned",
     "total length not a multiple of 4"},
    {azk_CFirmImageBuilder::Damage::TotalBelowHeader, "total-below-header",
     "total length 556, shorter than prologue and header"},
    {azk_CFirmImageBuilder::Damage::HeaderCrc, "header-crc", "wrong header CRC"},
    {azk_CFirmImageBuilder::Damage::DataCrc, "data-crc", "wrong data CRC, header CRC matching"},
    {azk_CFirmImageBuilder::Damage::PrologueBit, "prologue-bit", "one prologue bit flipped"},
    {azk_CFirmImageBuilder::Damage::BodyBit, "body-bit", "one body bit flipped"},
    {azk_CFirmImageBuilder::Damage::UncheckedHeader, "unchecked-header",
     "header byte 520 changed without a new header CRC"},
    {azk_CFirmImageBuilder::Damage::Truncated, "truncated", "last 4 bytes of the image cut off"},
    {azk_CFirmImageBuilder::Damage::ShortFile, "short-file", "only the first 560 bytes"},
};

}  // namespace

const std::vector<azk_CFirmImageBuilder::DamageInfo>& azk_CFirmImageBuilder::Damages() {
    return kDamages;
}

const char* azk_CFirmImageBuilder::DamageName(Damage damage) {
    for (const DamageInfo& info : kDamages) {
        if (info.damage == damage) {
            return info.name;
        }
    }
    return "?";
}

bool azk_CFirmImageBuilder::ParseDamage(const std::string& name, Damage& damage) {
    for (const DamageInfo& info : kDamages) {
        if (name == info.name) {
            damage = info.damage;
            return true;
        }
    }
    return false;
}

uint16_t azk_CFirmImageBuilder::Crc16(const uint8_t* bytes, size_t length, uint16_t previous) {
    uint16_t reg = static_cast<uint16_t>(previous ^ 0xFFFF);
    for (size_t i = 0; i < length; ++i) {
        for (int bit = 7; bit >= 0; --bit) {
            const bool in = ((bytes[i] >> bit) & 1) != 0;
            const bool top = (reg & 0x8000) != 0;
            reg = static_cast<uint16_t>(reg << 1);
            if (in != top) {
                reg ^= 0x1021;
            }
        }
    }
    return static_cast<uint16_t>(reg ^ 0xFFFF);
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetKind(int32_t kind) {
    static const char* const kMagics[] = {"FWUP", "UASP", "DSPA"};
    if (kind < 0 || kind > 2) {
        throw std::invalid_argument("firmware image kind must be 0, 1 or 2");
    }
    std::memcpy(magic_, kMagics[kind], 4);
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetMagic(const char (&magic)[5]) {
    std::memcpy(magic_, magic, 4);
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetFormatNumber(uint32_t formatNumber) {
    formatNumber_ = formatNumber;
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetKeys(uint32_t key0, uint32_t key1) {
    key0_ = key0;
    key1_ = key1;
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetHeaderTag(uint32_t tag) {
    headerTag_ = tag;
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetPrologue(const std::vector<uint8_t>& plain) {
    if (plain.size() > kPrologueBytes) {
        throw std::invalid_argument("firmware image prologue is at most 512 bytes");
    }
    prologue_ = plain;
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetBody(const std::vector<uint8_t>& plain) {
    body_ = plain;
    body_.resize((body_.size() + 3) / 4 * 4, 0);
    return *this;
}

azk_CFirmImageBuilder& azk_CFirmImageBuilder::SetTrailer(const std::vector<uint8_t>& trailer) {
    trailer_ = trailer;
    return *this;
}

std::vector<uint8_t> azk_CFirmImageBuilder::Build(Damage damage) const {
    if (damage == Damage::BodyBit && body_.empty()) {
        throw std::invalid_argument("a body bit can only be flipped in an image with a body");
    }
    if (body_.size() > 0xFFFFFFFFu - kBodyAt) {
        throw std::invalid_argument("firmware image body too long");
    }
    const size_t total = kBodyAt + body_.size();
    std::vector<uint8_t> image(total, 0);

    // Plain prologue and body, and the data CRC over them.
    std::copy(prologue_.begin(), prologue_.end(), image.begin());
    std::copy(body_.begin(), body_.end(), image.begin() + kBodyAt);
    uint16_t dataCrc = Crc16(image.data(), kPrologueBytes, 0);
    dataCrc = Crc16(image.data() + kBodyAt, body_.size(), dataCrc);

    // Header.
    std::memcpy(image.data() + kMagicAt, magic_, 4);
    Put32(image, kTagAt, headerTag_);
    Put32(image, kFormatAt, formatNumber_);
    Put32(image, kKey0At, key0_);
    Put32(image, kKey1At, key1_);
    Put32(image, kTotalAt, static_cast<uint32_t>(total));
    Put16(image, kDataCrcAt, dataCrc);
    FixHeaderCrc(image);

    Scramble(image, 0, kPrologueBytes, key0_, key1_);
    Scramble(image, kBodyAt, body_.size(), key0_, key1_);
    image.insert(image.end(), trailer_.begin(), trailer_.end());

    switch (damage) {
    case Damage::None:
        break;
    case Damage::Magic:
        std::memcpy(image.data() + kMagicAt, "ZZZZ", 4);
        FixHeaderCrc(image);
        break;
    case Damage::FormatNumber:
        Put32(image, kFormatAt, 5);
        FixHeaderCrc(image);
        break;
    case Damage::TotalOverSize:
        Put32(image, kTotalAt, static_cast<uint32_t>(image.size() + 4));
        FixHeaderCrc(image);
        break;
    case Damage::TotalUnaligned:
        Put32(image, kTotalAt, static_cast<uint32_t>(total - 2));
        FixHeaderCrc(image);
        break;
    case Damage::TotalBelowHeader:
        Put32(image, kTotalAt, static_cast<uint32_t>(kBodyAt - 4));
        FixHeaderCrc(image);
        break;
    case Damage::HeaderCrc:
        image.at(kHeaderCrcAt) ^= 0x01;
        break;
    case Damage::DataCrc:
        image.at(kDataCrcAt) ^= 0x01;
        FixHeaderCrc(image);
        break;
    case Damage::PrologueBit:
        image.at(kPrologueBytes / 2) ^= 0x10;
        break;
    case Damage::BodyBit:
        image.at(kBodyAt + body_.size() / 2) ^= 0x10;
        break;
    case Damage::UncheckedHeader:
        image.at(kUncheckedAt) ^= 0xFF;
        break;
    case Damage::Truncated:
        image.resize(total - 4);
        break;
    case Damage::ShortFile:
        image.resize(kBodyAt);
        break;
    }
    return image;
}

}  // namespace azk

// FirmImageBuilder.h - makes firmware image files, sound or damaged on purpose.
//
// Builds the image layout that azk_CFirmFile checks (see FirmFile.h) from
// plain prologue and body bytes: it writes the header, scrambles prologue and
// body with the key and fills in both CRCs. A named damage then spoils
// exactly one thing, keeping everything else consistent, so that an image
// fails one check only.
//
// The builder has its own byte writer, scrambler and a bit-by-bit CRC, and
// shares no code with the checking side, so a test that builds with one and
// checks with the other cannot agree with a wrong reading on both sides.
//
//   azk::azk_CFirmImageBuilder builder;
//   builder.SetKind(2).SetBody(payload);
//   std::vector<uint8_t> sound = builder.Build();
//   std::vector<uint8_t> bad = builder.Build(azk::azk_CFirmImageBuilder::Damage::DataCrc);
#ifndef AZK_SESSION_FIRM_IMAGE_BUILDER_H
#define AZK_SESSION_FIRM_IMAGE_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace azk {

class azk_CFirmImageBuilder {
public:
    enum class Damage {
        None,
        Magic,             // magic "ZZZZ", header CRC made to match
        FormatNumber,      // format number 5, header CRC made to match
        TotalOverSize,     // total length 4 above the bytes produced, header CRC made to match
        TotalUnaligned,    // total length 2 below the true one, header CRC made to match
        TotalBelowHeader,  // total length 556, header CRC made to match
        HeaderCrc,         // header CRC field off by one bit
        DataCrc,           // data CRC field off by one bit, header CRC made to match
        PrologueBit,       // one stored prologue bit flipped, CRC fields left as they were
        BodyBit,           // one stored body bit flipped (needs a body), CRC fields left
        UncheckedHeader,   // header byte 520 changed, header CRC left as it was
        Truncated,         // file ends 4 bytes before the total length (trailer dropped)
        ShortFile,         // only the first 560 bytes
    };

    struct DamageInfo {
        Damage damage;
        const char* name;         // lower-case, for command lines and test names
        const char* description;  // one line
    };

    // Every damage, None first.
    static const std::vector<DamageInfo>& Damages();
    static const char* DamageName(Damage damage);
    // Looks a damage up by its name; false when there is none of that name.
    static bool ParseDamage(const std::string& name, Damage& damage);

    // Image kind 0 ("FWUP"), 1 ("UASP") or 2 ("DSPA"); anything else throws
    // std::invalid_argument.
    azk_CFirmImageBuilder& SetKind(int32_t kind);
    // Any four magic bytes.
    azk_CFirmImageBuilder& SetMagic(const char (&magic)[5]);
    azk_CFirmImageBuilder& SetFormatNumber(uint32_t formatNumber);
    azk_CFirmImageBuilder& SetKeys(uint32_t key0, uint32_t key1);
    azk_CFirmImageBuilder& SetHeaderTag(uint32_t tag);
    // Plain prologue bytes, at most 512 (more throws std::invalid_argument);
    // the rest of the block is zero.
    azk_CFirmImageBuilder& SetPrologue(const std::vector<uint8_t>& plain);
    // Plain body bytes, padded with zero bytes to a whole number of words.
    azk_CFirmImageBuilder& SetBody(const std::vector<uint8_t>& plain);
    // Bytes appended after the total length (not part of the image).
    azk_CFirmImageBuilder& SetTrailer(const std::vector<uint8_t>& trailer);

    // The image with the given damage. BodyBit on an image without a body
    // throws std::invalid_argument.
    std::vector<uint8_t> Build(Damage damage = Damage::None) const;

    // CRC-16/GENIBUS computed bit by bit (poly 0x1021, MSB first, init
    // 0xFFFF, final XOR 0xFFFF), continued from previous like ImageCrc16.
    static uint16_t Crc16(const uint8_t* bytes, size_t length, uint16_t previous);

private:
    char magic_[4] = {'F', 'W', 'U', 'P'};
    uint32_t formatNumber_ = 6;
    uint32_t key0_ = 0x3C5AA5C3u;
    uint32_t key1_ = 0x96E1691Eu;
    uint32_t headerTag_ = 0;
    std::vector<uint8_t> prologue_;
    std::vector<uint8_t> body_;
    std::vector<uint8_t> trailer_;
};

}  // namespace azk

#endif

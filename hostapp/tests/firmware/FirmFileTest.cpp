// FirmFileTest.cpp - firmware image check, CRC and image builder.
#include "session/FirmFile.h"
#include "session/FirmImageBuilder.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace azk {
namespace {

using Bytes = std::vector<uint8_t>;
using Damage = azk_CFirmImageBuilder::Damage;

Bytes Ascii(const char* text) {
    return Bytes(text, text + std::strlen(text));
}

Bytes RandomBytes(size_t count, uint32_t seed) {
    std::mt19937 gen(seed);
    Bytes out(count);
    for (uint8_t& b : out) {
        b = static_cast<uint8_t>(gen());
    }
    return out;
}

// Loads from a heap buffer of exactly size bytes, so that AddressSanitizer
// reports any read past the caller's bytes; also checks that the caller's
// bytes are left as they were.
int32_t LoadExact(azk_CFirmFile& file, const Bytes& image, size_t size) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[size == 0 ? 1 : size]);
    std::memcpy(exact.get(), image.data(), size);
    const int32_t rc = file.Load(exact.get(), static_cast<uint32_t>(size));
    EXPECT_EQ(0, std::memcmp(exact.get(), image.data(), size)) << "Load modified the caller's bytes";
    return rc;
}

int32_t LoadExact(azk_CFirmFile& file, const Bytes& image) {
    return LoadExact(file, image, image.size());
}

Bytes KeptCopy(const azk_CFirmFile& file) {
    if (file.GetImage() == nullptr) {
        return {};
    }
    return Bytes(file.GetImage(), file.GetImage() + file.GetImageLength());
}

Bytes HeaderTag(const azk_CFirmFile& file) {
    return Bytes(file.GetHeaderTag(), file.GetHeaderTag() + 8);
}

// ---------------------------------------------------------------- ImageCrc16

// CRC-16/GENIBUS vectors, for the table-driven routine the product uses and
// the bitwise one the image builder uses: the whole input from `previous`,
// and the input cut anywhere in two with the CRC continued over the second
// piece. An empty input hands back `previous` unchanged.
TEST(ImageCrc16, VectorsWholeAndInEverySplit) {
    using Crc = uint16_t (*)(const uint8_t*, size_t, uint16_t);
    const struct {
        const char* name;
        Crc crc;
    } routines[] = {
        {"table", &azk_CFirmFile::ImageCrc16},
        {"bitwise", &azk_CFirmImageBuilder::Crc16},
    };
    const struct {
        const char* name;
        Bytes input;
        uint16_t previous;
        uint16_t expected;
    } vectors[] = {
        {"check value", Ascii("123456789"), 0, 0xD64E},
        {"one letter", Ascii("A"), 0, 0x46EA},
        {"four zeros", Bytes(4, 0), 0, 0x7B3F},
        {"empty", {}, 0, 0x0000},
        {"empty after a CRC", {}, 0x1234, 0x1234},
    };
    for (const auto& routine : routines) {
        for (const auto& v : vectors) {
            SCOPED_TRACE(std::string(routine.name) + ": " + v.name);
            EXPECT_EQ(routine.crc(v.input.data(), v.input.size(), v.previous), v.expected);
            for (size_t cut = 0; cut <= v.input.size(); ++cut) {
                const uint16_t first = routine.crc(v.input.data(), cut, v.previous);
                EXPECT_EQ(routine.crc(v.input.data() + cut, v.input.size() - cut, first), v.expected)
                    << "split at " << cut;
            }
        }
    }
}

TEST(ImageCrc16, MessageFollowedByItsCrcGivesTheResidue) {
    // CRC-16/GENIBUS residue 0x1D0F, seen through the final XOR as 0xE2F0.
    for (size_t length : {1u, 7u, 64u, 513u, 4096u}) {
        Bytes message = RandomBytes(length, static_cast<uint32_t>(length));
        const uint16_t crc = azk_CFirmFile::ImageCrc16(message.data(), message.size(), 0);
        message.push_back(static_cast<uint8_t>(crc >> 8));
        message.push_back(static_cast<uint8_t>(crc & 0xFF));
        EXPECT_EQ(0xE2F0, azk_CFirmFile::ImageCrc16(message.data(), message.size(), 0)) << length;
    }
}

TEST(ImageCrc16, TableAgreesWithBitwiseAndContinues) {
    const Bytes data = RandomBytes(10241, 7);
    const uint16_t whole = azk_CFirmFile::ImageCrc16(data.data(), data.size(), 0);
    EXPECT_EQ(azk_CFirmImageBuilder::Crc16(data.data(), data.size(), 0), whole);
    // In three pieces, as the transfer does block by block.
    uint16_t crc = azk_CFirmFile::ImageCrc16(data.data(), 512, 0);
    crc = azk_CFirmFile::ImageCrc16(data.data() + 512, 10240 - 512, crc);
    crc = azk_CFirmFile::ImageCrc16(data.data() + 10240, 1, crc);
    EXPECT_EQ(whole, crc);
}

// ImageCrc16 takes bytes in blocks and then one at a time; every split of a
// buffer a few blocks long, continued from every kind of previous value,
// must agree with the bit-by-bit reference.
TEST(ImageCrc16, EverySplitOfASmallBufferMatchesTheBitwiseReference) {
    const Bytes data = RandomBytes(70, 17);
    for (uint16_t previous : {uint16_t{0}, uint16_t{0xFFFF}, uint16_t{0x8001}, uint16_t{0x1234}}) {
        const uint16_t whole = azk_CFirmImageBuilder::Crc16(data.data(), data.size(), previous);
        ASSERT_EQ(whole, azk_CFirmFile::ImageCrc16(data.data(), data.size(), previous)) << previous;
        for (size_t cut = 0; cut <= data.size(); ++cut) {
            const uint16_t first = azk_CFirmFile::ImageCrc16(data.data(), cut, previous);
            EXPECT_EQ(azk_CFirmImageBuilder::Crc16(data.data(), cut, previous), first) << "cut " << cut;
            EXPECT_EQ(whole, azk_CFirmFile::ImageCrc16(data.data() + cut, data.size() - cut, first))
                << "previous " << previous << " cut " << cut;
        }
    }
}

TEST(ImageCrc16, UnalignedStartsAndEveryTailLength) {
    const Bytes data = RandomBytes(200, 19);
    for (size_t start = 0; start < 16; ++start) {
        for (size_t length : {size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{31}, size_t{33}, size_t{63},
                              size_t{100}, 200 - start}) {
            EXPECT_EQ(azk_CFirmImageBuilder::Crc16(data.data() + start, length, 0),
                      azk_CFirmFile::ImageCrc16(data.data() + start, length, 0))
                << "start " << start << " length " << length;
        }
    }
}

// ---------------------------------------------------------------- Descramble

TEST(Descramble, AlternatesKeyWordsLittleEndianAndLeavesPartialWord) {
    Bytes words(14, 0);
    words[13] = 0x5A;
    azk_CFirmFile::Descramble(words.data(), words.size(), 0x11223344u, 0xAABBCCDDu);
    const Bytes expected = {0x44, 0x33, 0x22, 0x11, 0xDD, 0xCC, 0xBB, 0xAA,
                            0x44, 0x33, 0x22, 0x11, 0x00, 0x5A};
    EXPECT_EQ(expected, words);
}

TEST(Descramble, TwiceRestoresAndMatchesBuilderScrambling) {
    const Bytes plain = RandomBytes(2048, 11);
    Bytes data = plain;
    azk_CFirmFile::Descramble(data.data(), data.size(), 0xDEADBEEFu, 0x01234567u);
    EXPECT_NE(plain, data);
    azk_CFirmFile::Descramble(data.data(), data.size(), 0xDEADBEEFu, 0x01234567u);
    EXPECT_EQ(plain, data);

    // A built image's prologue and body descramble to the plain bytes given.
    const Bytes prologue = RandomBytes(512, 12);
    const Bytes body = RandomBytes(1000, 13);
    azk_CFirmImageBuilder builder;
    builder.SetKeys(0xCAFEF00Du, 0x0BADC0DEu).SetPrologue(prologue).SetBody(body);
    Bytes image = builder.Build();
    azk_CFirmFile::Descramble(image.data(), 512, 0xCAFEF00Du, 0x0BADC0DEu);
    azk_CFirmFile::Descramble(image.data() + 560, 1000, 0xCAFEF00Du, 0x0BADC0DEu);
    EXPECT_EQ(prologue, Bytes(image.begin(), image.begin() + 512));
    EXPECT_EQ(body, Bytes(image.begin() + 560, image.end()));
}

TEST(Descramble, UnalignedStartsAndOddWordCountsMatchWordByWord) {
    const Bytes data = RandomBytes(80, 14);
    for (size_t start = 0; start < 8; ++start) {
        for (size_t length : {size_t{4}, size_t{8}, size_t{12}, size_t{37}, size_t{68}}) {
            Bytes actual = data;
            azk_CFirmFile::Descramble(actual.data() + start, length, 0x01020304u, 0xA0B0C0D0u);
            Bytes expected = data;
            for (size_t w = 0; w < length / 4; ++w) {
                const uint32_t key = (w % 2 == 0) ? 0x01020304u : 0xA0B0C0D0u;
                for (size_t b = 0; b < 4; ++b) {
                    expected[start + w * 4 + b] ^= static_cast<uint8_t>(key >> (8 * b));
                }
            }
            EXPECT_EQ(expected, actual) << "start " << start << " length " << length;
        }
    }
}

// ---------------------------------------------------------------- Load, layout

// An image written out field by field, with CRC values worked out by hand
// (an independent calculation), so the layout does not rest on the builder.
// Kind "DSPA", tag "TAG1", keys 0x04030201 / 0x80706050, plain prologue byte
// i = i & 0xFF, plain body "firmware" 01 02 03 04, 4 trailer bytes.
constexpr uint16_t kHandDataCrc = 0x243E;
constexpr uint16_t kHandHeaderCrc = 0x692C;
constexpr uint32_t kHandTotal = 572;

Bytes HandMadeImage() {
    const uint8_t key0[4] = {0x01, 0x02, 0x03, 0x04};
    const uint8_t key1[4] = {0x50, 0x60, 0x70, 0x80};
    Bytes image(576, 0);
    for (size_t i = 0; i < 512; ++i) {
        // Kept as two statements: GCC 12 with -fsanitize=undefined miscompiles
        // (c ? arrayA : arrayB)[n] when c holds a division.
        const uint8_t* key = ((i / 4) % 2 != 0) ? key1 : key0;
        image[i] = static_cast<uint8_t>((i & 0xFF) ^ key[i % 4]);
    }
    const uint8_t header[48] = {
        'D', 'S', 'P', 'A', 'T', 'A', 'G', '1', 0, 0, 0, 0, 0, 0, 0, 0,     // 512: magic, tag
        6, 0, 0, 0, 0x01, 0x02, 0x03, 0x04, 0x50, 0x60, 0x70, 0x80, 0, 0, 0, 0,  // 528: format, keys
        0x3C, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x3E, 0x24, 0x2C, 0x69,  // 544: total 572, CRCs
    };
    std::memcpy(image.data() + 512, header, sizeof header);
    // "firm" ^ key0, "ware" ^ key1, 01 02 03 04 ^ key0.
    const uint8_t body[12] = {0x67, 0x6B, 0x71, 0x69, 0x27, 0x01, 0x02, 0xE5, 0, 0, 0, 0};
    std::memcpy(image.data() + 560, body, sizeof body);
    std::memset(image.data() + 572, 0xEE, 4);
    return image;
}

TEST(FirmFileLoad, HandMadeImageIsAcceptedAndKept) {
    const Bytes image = HandMadeImage();
    azk_CFirmFile file;
    EXPECT_EQ(azk_CFirmFile::kKindNone, file.GetKind());
    EXPECT_EQ(nullptr, file.GetImage());
    EXPECT_EQ(0u, file.GetImageLength());

    ASSERT_EQ(0, LoadExact(file, image));
    EXPECT_EQ(2, file.GetKind());
    EXPECT_EQ(kHandTotal, file.GetImageLength());
    EXPECT_EQ(kHandDataCrc, file.GetDataCrc());
    EXPECT_EQ(Bytes({'T', 'A', 'G', '1', 0, 0, 0, 0}), HeaderTag(file));
    EXPECT_EQ(Bytes(image.begin(), image.begin() + kHandTotal), KeptCopy(file));  // as stored
}

TEST(FirmFileLoad, BuilderReproducesTheHandMadeImage) {
    std::vector<uint8_t> prologue(512);
    for (size_t i = 0; i < prologue.size(); ++i) {
        prologue[i] = static_cast<uint8_t>(i & 0xFF);
    }
    Bytes body = Ascii("firmware");
    body.insert(body.end(), {1, 2, 3, 4});
    azk_CFirmImageBuilder builder;
    builder.SetKind(2)
        .SetHeaderTag(0x31474154u)  // "TAG1"
        .SetKeys(0x04030201u, 0x80706050u)
        .SetPrologue(prologue)
        .SetBody(body)
        .SetTrailer(Bytes(4, 0xEE));
    EXPECT_EQ(HandMadeImage(), builder.Build());
}

TEST(FirmFileLoad, HandMadeImageDamagedByHand) {
    struct Case {
        const char* what;
        size_t offset;
        uint8_t xorMask;
        int32_t expected;
    };
    const Case cases[] = {
        {"magic", 512, 0x20, -5},        {"format number", 528, 0x01, -5},
        {"total length unaligned", 544, 0x01, -5},
        {"total length above size", 545, 0x01, -5},
        {"total length shorter", 544, 0x04, -8},  // 568: passes the range checks
        {"data CRC", 556, 0x01, -8},
        {"header CRC", 558, 0x80, -8},   {"key word 0", 532, 0x01, -8},
        {"key word 1", 539, 0x80, -8},   {"prologue", 0, 0x01, -8},
        {"body", 571, 0x80, -8},         {"trailer", 575, 0xFF, 0},
    };
    for (const Case& c : cases) {
        Bytes image = HandMadeImage();
        image[c.offset] ^= c.xorMask;
        azk_CFirmFile file;
        EXPECT_EQ(c.expected, LoadExact(file, image)) << c.what;
    }
}

// ------------------------------------------------ Load, one damage per check

struct DamageCase {
    Damage damage;
    int32_t expected;
    bool kindSeen;  // the magic was read before the check failed
};

class FirmFileDamage : public ::testing::TestWithParam<std::tuple<int32_t, DamageCase>> {};

TEST_P(FirmFileDamage, GivesItsCodeAndKindAndKeepsNothing) {
    const int32_t kind = std::get<0>(GetParam());
    const DamageCase c = std::get<1>(GetParam());
    azk_CFirmImageBuilder builder;
    builder.SetKind(kind).SetHeaderTag(0x44434241u).SetBody(RandomBytes(3000, 5));
    const Bytes image = builder.Build(c.damage);

    azk_CFirmFile file;
    EXPECT_EQ(c.expected, LoadExact(file, image));
    // The kind is set once a known magic is read, whatever fails later.
    EXPECT_EQ(c.kindSeen ? kind : -1, file.GetKind());
    if (c.expected == 0) {
        EXPECT_EQ(3560u, file.GetImageLength());
        EXPECT_EQ(Bytes({'A', 'B', 'C', 'D', 0, 0, 0, 0}), HeaderTag(file));
        EXPECT_EQ(image, KeptCopy(file));
    } else {
        EXPECT_EQ(nullptr, file.GetImage());
        EXPECT_EQ(0u, file.GetImageLength());
        EXPECT_EQ(0, file.GetDataCrc());
        EXPECT_EQ(Bytes(8, 0), HeaderTag(file));
    }
}

const DamageCase kDamageCases[] = {
    {Damage::None, 0, true},
    {Damage::Magic, -5, false},
    {Damage::FormatNumber, -5, true},
    {Damage::TotalOverSize, -5, true},
    {Damage::TotalUnaligned, -5, true},
    {Damage::TotalBelowHeader, -5, true},
    {Damage::HeaderCrc, -8, true},
    {Damage::DataCrc, -8, true},
    {Damage::PrologueBit, -8, true},
    {Damage::BodyBit, -8, true},
    {Damage::UncheckedHeader, -8, true},
    {Damage::Truncated, -5, true},
    {Damage::ShortFile, -5, false},
};

std::string DamageCaseName(const ::testing::TestParamInfo<FirmFileDamage::ParamType>& param) {
    std::string name = "Kind" + std::to_string(std::get<0>(param.param)) + "_" +
                       azk_CFirmImageBuilder::DamageName(std::get<1>(param.param).damage);
    for (char& ch : name) {
        if (ch == '-') {
            ch = '_';
        }
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(AllKinds, FirmFileDamage,
                         ::testing::Combine(::testing::Values(0, 1, 2), ::testing::ValuesIn(kDamageCases)),
                         DamageCaseName);

TEST(FirmFileDamage, EveryBuilderDamageHasAnExpectedCode) {
    ASSERT_EQ(azk_CFirmImageBuilder::Damages().size(), std::size(kDamageCases));
    for (size_t i = 0; i < std::size(kDamageCases); ++i) {
        EXPECT_EQ(azk_CFirmImageBuilder::Damages()[i].damage, kDamageCases[i].damage);
    }
}

// ------------------------------------------------------- Load, edge cases

class FirmFileEdge : public ::testing::Test {
protected:
    azk_CFirmImageBuilder builder_;
    azk_CFirmFile file_;
};

TEST_F(FirmFileEdge, SizeNotAbove560IsMalformedWhateverItHolds) {
    // A sound header with an empty body makes a 560-byte image, which is
    // rejected all the same: the size must be above 560.
    const Bytes image = builder_.Build();
    ASSERT_EQ(560u, image.size());
    EXPECT_EQ(-5, LoadExact(file_, image));
    EXPECT_EQ(-1, file_.GetKind());  // rejected before the magic is read
    EXPECT_EQ(-5, LoadExact(file_, image, 0));
    EXPECT_EQ(-5, file_.Load(nullptr, 4096));
}

TEST_F(FirmFileEdge, EmptyBodyWithTrailerChecksThePrologueAlone) {
    const Bytes prologue = RandomBytes(512, 21);
    builder_.SetPrologue(prologue).SetTrailer({1, 2, 3, 4});
    Bytes image = builder_.Build();
    ASSERT_EQ(564u, image.size());
    ASSERT_EQ(0, LoadExact(file_, image));
    EXPECT_EQ(560u, file_.GetImageLength());
    EXPECT_EQ(azk_CFirmImageBuilder::Crc16(prologue.data(), prologue.size(), 0), file_.GetDataCrc());
    EXPECT_EQ(Bytes(image.begin(), image.begin() + 560), KeptCopy(file_));
    // The trailer is neither checked nor kept.
    image[562] ^= 0xFF;
    EXPECT_EQ(0, LoadExact(file_, image));
    // A single trailer byte is enough to lift the size above 560.
    EXPECT_EQ(0, LoadExact(file_, image, 561));
}

TEST_F(FirmFileEdge, TransferBlockSizedImages) {
    // 10240 bytes: one full block; 10241 bytes: the same image and one more.
    builder_.SetKind(2).SetBody(RandomBytes(10240 - 560, 31)).SetTrailer({0x77});
    const Bytes image = builder_.Build();
    ASSERT_EQ(10241u, image.size());
    EXPECT_EQ(0, LoadExact(file_, image, 10240));
    EXPECT_EQ(0, LoadExact(file_, image, 10241));
    EXPECT_EQ(2, file_.GetKind());
    EXPECT_EQ(10240u, file_.GetImageLength());
    EXPECT_EQ(-5, LoadExact(file_, image, 10236));  // total length above size
}

TEST_F(FirmFileEdge, ImagesOfSeveralCheckPiecesAreCheckedToTheEnd) {
    // Bodies above 16 KiB, one ending in half a key pair; a flip in the last
    // word of the body is still caught.
    for (size_t bodyLength : {size_t{40000}, size_t{65536 + 4}}) {
        const Bytes body = RandomBytes(bodyLength, static_cast<uint32_t>(bodyLength));
        builder_.SetKind(0).SetKeys(0x89ABCDEFu, 0x76543210u).SetBody(body);
        Bytes image = builder_.Build();
        ASSERT_EQ(0, LoadExact(file_, image)) << bodyLength;
        Bytes plainData(image.begin(), image.begin() + 512);
        plainData.insert(plainData.end(), image.begin() + 560, image.end());
        azk_CFirmFile::Descramble(plainData.data(), 512, 0x89ABCDEFu, 0x76543210u);
        azk_CFirmFile::Descramble(plainData.data() + 512, bodyLength, 0x89ABCDEFu, 0x76543210u);
        EXPECT_EQ(azk_CFirmImageBuilder::Crc16(plainData.data(), plainData.size(), 0), file_.GetDataCrc());
        image[image.size() - 2] ^= 0x40;
        EXPECT_EQ(-8, LoadExact(file_, image)) << bodyLength;
    }
}

TEST_F(FirmFileEdge, TotalLengthFieldOutOfRangeNeverReadsPastTheBuffer) {
    // The header CRC is checked last, so these bad total lengths must be
    // caught by the range checks alone.
    for (uint32_t total : {0u, 4u, 556u, 564u + 4u, 0x7FFFFFFCu, 0xFFFFFFFCu, 0xFFFFFFFFu, 563u}) {
        builder_.SetBody(Bytes(4, 0x11));
        Bytes image = builder_.Build();
        image[544] = static_cast<uint8_t>(total);
        image[545] = static_cast<uint8_t>(total >> 8);
        image[546] = static_cast<uint8_t>(total >> 16);
        image[547] = static_cast<uint8_t>(total >> 24);
        EXPECT_EQ(-5, LoadExact(file_, image)) << total;
    }
}

TEST_F(FirmFileEdge, DspaWithFormat5IsMalformedButKindIsSet) {
    builder_.SetKind(2).SetFormatNumber(5).SetBody({1, 2, 3, 4});
    EXPECT_EQ(-5, LoadExact(file_, builder_.Build()));
    EXPECT_EQ(2, file_.GetKind());
}

TEST_F(FirmFileEdge, MagicIsCaseAndByteExact) {
    for (const char* magic : {"fwup", "FWU ", "PUWF", "DSPB", "\0\0\0\0"}) {
        char m[5] = {};
        std::memcpy(m, magic, 4);
        builder_.SetMagic(m).SetBody({1, 2, 3, 4});
        EXPECT_EQ(-5, LoadExact(file_, builder_.Build())) << magic;
        EXPECT_EQ(-1, file_.GetKind());
    }
}

TEST_F(FirmFileEdge, EveryUncheckedHeaderByteIsCoveredByTheHeaderCrc) {
    builder_.SetBody(RandomBytes(64, 41));
    const Bytes sound = builder_.Build();
    ASSERT_EQ(0, LoadExact(file_, sound));
    std::vector<size_t> offsets;
    for (size_t o = 516; o <= 527; ++o) offsets.push_back(o);
    for (size_t o = 540; o <= 543; ++o) offsets.push_back(o);
    for (size_t o = 548; o <= 555; ++o) offsets.push_back(o);
    for (size_t offset : offsets) {
        Bytes image = sound;
        image[offset] ^= 0x01;
        EXPECT_EQ(-8, LoadExact(file_, image)) << "offset " << offset;
    }
}

TEST_F(FirmFileEdge, EveryBitFlipInPrologueAndBodyIsCaught) {
    builder_.SetBody(RandomBytes(256, 51));
    const Bytes sound = builder_.Build();
    for (size_t offset : {size_t{0}, size_t{3}, size_t{255}, size_t{511}, size_t{560}, size_t{700}, sound.size() - 1}) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes image = sound;
            image[offset] ^= static_cast<uint8_t>(1u << bit);
            EXPECT_EQ(-8, LoadExact(file_, image)) << "offset " << offset << " bit " << bit;
        }
    }
}

// ----------------------------------------------------- Load called again

TEST_F(FirmFileEdge, LaterSuccessReplacesLaterFailureKeeps) {
    builder_.SetKind(0).SetHeaderTag(0x31313131u).SetBody(RandomBytes(100, 61));
    const Bytes first = builder_.Build();
    azk_CFirmImageBuilder other;
    other.SetKind(1).SetHeaderTag(0x32323232u).SetBody(RandomBytes(2000, 62));
    const Bytes second = other.Build();

    ASSERT_EQ(0, LoadExact(file_, first));
    const uint16_t firstCrc = file_.GetDataCrc();
    ASSERT_EQ(0, LoadExact(file_, second));
    EXPECT_EQ(1, file_.GetKind());
    EXPECT_EQ(second, KeptCopy(file_));
    EXPECT_EQ(Bytes({'2', '2', '2', '2', 0, 0, 0, 0}), HeaderTag(file_));

    ASSERT_EQ(0, LoadExact(file_, first));
    // A failing DSPA image updates the kind but keeps the copy and fields.
    azk_CFirmImageBuilder dspa;
    dspa.SetKind(2).SetHeaderTag(0x33333333u).SetBody({9, 9, 9, 9});
    EXPECT_EQ(-8, LoadExact(file_, dspa.Build(Damage::DataCrc)));
    EXPECT_EQ(2, file_.GetKind());
    EXPECT_EQ(first, KeptCopy(file_));
    EXPECT_EQ(firstCrc, file_.GetDataCrc());
    EXPECT_EQ(Bytes({'1', '1', '1', '1', 0, 0, 0, 0}), HeaderTag(file_));
    // An unknown magic leaves even the kind.
    EXPECT_EQ(-5, LoadExact(file_, dspa.Build(Damage::Magic)));
    EXPECT_EQ(2, file_.GetKind());
    EXPECT_EQ(first, KeptCopy(file_));
}

// A buffer source that records the sizes asked for and fails the failAt-th
// request (1-based; 0 = never).
struct FailingSource {
    std::vector<uint32_t> requests;
    size_t failAt = 0;

    azk_CFirmFile::BufferSource Source() {
        return [this](uint32_t byteCount) -> std::unique_ptr<uint8_t[]> {
            requests.push_back(byteCount);
            if (requests.size() == failAt) {
                return nullptr;
            }
            return std::unique_ptr<uint8_t[]>(new uint8_t[byteCount]);
        };
    }
};

TEST(FirmFileMemory, BothCopiesAreTotalLengthBytes) {
    azk_CFirmImageBuilder builder;
    builder.SetKind(1).SetBody(RandomBytes(400, 71)).SetTrailer({1, 2, 3, 4, 5});
    FailingSource source;
    azk_CFirmFile file(source.Source());
    EXPECT_EQ(0, LoadExact(file, builder.Build()));
    EXPECT_EQ(std::vector<uint32_t>({960, 960}), source.requests);
}

TEST(FirmFileMemory, NoMemoryGivesMinus1AndKeepsOnlyWhatItShould) {
    // Request 1 and 2 belong to a first, successful Load of the hand-made
    // image when preloaded; the failing request is the next Load's check
    // copy (first of its two) or its kept copy (second).
    struct Case {
        const char* what;
        bool preload;
        size_t failAt;
        bool handMadeKept;
    };
    const Case cases[] = {
        {"check copy, nothing kept before", false, 1, false},
        {"kept copy, nothing kept before", false, 2, false},
        {"check copy, a copy kept before", true, 3, true},
        {"kept copy, a copy kept before", true, 4, false},
    };
    azk_CFirmImageBuilder builder;
    builder.SetKind(1).SetBody(RandomBytes(400, 72));
    const Bytes image = builder.Build();
    const Bytes handMade = HandMadeImage();
    for (const Case& c : cases) {
        FailingSource source;
        source.failAt = c.failAt;
        azk_CFirmFile file(source.Source());
        if (c.preload) {
            ASSERT_EQ(0, LoadExact(file, handMade)) << c.what;
        }
        EXPECT_EQ(-1, LoadExact(file, image)) << c.what;
        EXPECT_EQ(1, file.GetKind()) << c.what;
        if (c.handMadeKept) {
            EXPECT_EQ(Bytes(handMade.begin(), handMade.begin() + kHandTotal), KeptCopy(file)) << c.what;
            EXPECT_EQ(kHandDataCrc, file.GetDataCrc()) << c.what;
        } else {
            EXPECT_EQ(nullptr, file.GetImage()) << c.what;
            EXPECT_EQ(0u, file.GetImageLength()) << c.what;
            EXPECT_EQ(0, file.GetDataCrc()) << c.what;
            EXPECT_EQ(Bytes(8, 0), HeaderTag(file)) << c.what;
        }
        // The object recovers once memory is there again.
        source.failAt = 0;
        EXPECT_EQ(0, LoadExact(file, image)) << c.what;
        EXPECT_EQ(image, KeptCopy(file)) << c.what;
    }
}

}  // namespace
}  // namespace azk

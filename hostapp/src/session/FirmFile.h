// FirmFile.h - firmware image file: layout, checksum and the check before an update.
//
// A firmware image is a 512-byte prologue block, a 48-byte plain header and
// an image body. Prologue and body are scrambled word by word with a two-word
// key from the header; the header carries a CRC of the descrambled data and a
// CRC of itself. All multi-byte fields are little-endian.
//
//   offset  size  field
//        0   512  prologue block (scrambled, covered by the data CRC)
//      512     4  magic "FWUP" (kind 0), "UASP" (kind 1) or "DSPA" (kind 2)
//      516     4  header tag (kept, not interpreted)
//      528     4  format number, must be 6
//      532     4  scramble key word 0
//      536     4  scramble key word 1
//      544     4  total length: bytes from offset 0 to the end of the body,
//                 a multiple of 4, at least 560, not more than supplied
//      556     2  data CRC: ImageCrc16 of descrambled prologue + body
//      558     2  header CRC: ImageCrc16 of stored bytes 512..557
//      560     -  image body (scrambled), up to the total length
//
// Bytes supplied beyond the total length are neither checked nor kept.
// The class works on bytes in memory only and never prints.
#ifndef AZK_SESSION_FIRM_FILE_H
#define AZK_SESSION_FIRM_FILE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace azk {

class azk_CFirmFile {
public:
    // Results of Load.
    static constexpr int32_t kLoadOk = 0;
    static constexpr int32_t kLoadNoMemory = -1;   // check copy or kept copy not obtained
    static constexpr int32_t kLoadMalformed = -5;  // size, magic, format number or total length
    static constexpr int32_t kLoadChecksum = -8;   // data CRC or header CRC mismatch

    // Image kinds (GetKind); kKindNone until a known magic has been seen.
    static constexpr int32_t kKindNone = -1;
    static constexpr int32_t kKindFwup = 0;
    static constexpr int32_t kKindUasp = 1;
    static constexpr int32_t kKindDspa = 2;

    // Layout.
    static constexpr uint32_t kPrologueOffset = 0;
    static constexpr uint32_t kPrologueSize = 512;
    static constexpr uint32_t kHeaderOffset = 512;
    static constexpr uint32_t kHeaderSize = 48;
    static constexpr uint32_t kMagicOffset = 512;
    static constexpr uint32_t kHeaderTagOffset = 516;
    static constexpr uint32_t kFormatOffset = 528;
    static constexpr uint32_t kKey0Offset = 532;
    static constexpr uint32_t kKey1Offset = 536;
    static constexpr uint32_t kTotalLengthOffset = 544;
    static constexpr uint32_t kDataCrcOffset = 556;
    static constexpr uint32_t kHeaderCrcOffset = 558;
    static constexpr uint32_t kHeaderCrcSpan = 46;  // bytes 512..557, data CRC included
    static constexpr uint32_t kBodyOffset = 560;
    static constexpr uint32_t kFormatNumber = 6;
    static constexpr uint32_t kHeaderTagSize = 8;

    // Where Load obtains its check copy and kept copy: a buffer of the given
    // byte count, or an empty pointer when the memory cannot be had. The
    // default uses operator new (std::nothrow).
    using BufferSource = std::function<std::unique_ptr<uint8_t[]>(uint32_t byteCount)>;

    azk_CFirmFile();
    explicit azk_CFirmFile(BufferSource bufferSource);
    virtual ~azk_CFirmFile();

    azk_CFirmFile(const azk_CFirmFile&) = delete;
    azk_CFirmFile& operator=(const azk_CFirmFile&) = delete;

    // Checks the image of size bytes and, when it is sound, keeps a copy of
    // its first total-length bytes as stored. Returns kLoadOk, kLoadNoMemory,
    // kLoadMalformed or kLoadChecksum. The image kind is updated as soon as a
    // known magic has been read, even if a later check fails. A failure
    // keeps the previously kept copy, except a failure to obtain the new kept
    // copy, which leaves nothing kept. image is only read, and never beyond
    // size bytes; a null image is malformed.
    int32_t Load(const uint8_t* image, uint32_t size);

    // -1 until a known magic has been seen, then 0, 1 or 2.
    int32_t GetKind() const { return kind_; }

    // The kept copy (null when nothing is kept) and its fields.
    const uint8_t* GetImage() const { return image_.get(); }
    uint32_t GetImageLength() const { return imageLength_; }
    uint16_t GetDataCrc() const { return dataCrc_; }
    // The 4 header tag bytes at offset 516 followed by 4 zero bytes.
    const uint8_t* GetHeaderTag() const { return headerTag_; }

    // CRC-16/GENIBUS: width 16, polynomial 0x1021, not reflected, initial
    // value 0xFFFF, final XOR 0xFFFF; check value ("123456789") 0xD64E.
    // Table-driven, 16 bytes per step with slicing tables made at compile
    // time. previous 0 starts a fresh CRC; passing the result of an
    // earlier call continues it, so CRC(A then B) == ImageCrc16(B, ...,
    // ImageCrc16(A, ..., 0)). A length of 0 returns previous unchanged.
    static uint16_t ImageCrc16(const uint8_t* bytes, size_t length, uint16_t previous);

    // XORs the little-endian 32-bit words in place: word i with key0 when i
    // is even, with key1 when it is odd. length is in bytes; only whole
    // words (length / 4 of them) are touched. Scrambling is the same
    // operation.
    static void Descramble(uint8_t* words, size_t length, uint32_t key0, uint32_t key1);

private:
    void DropImage();

    BufferSource bufferSource_;
    int32_t kind_ = kKindNone;
    std::unique_ptr<uint8_t[]> image_;
    uint32_t imageLength_ = 0;
    uint16_t dataCrc_ = 0;
    uint8_t headerTag_[kHeaderTagSize] = {};
};

}  // namespace azk

#endif

// libFuzzer target for the firmware image check (azk_CFirmFile::Load): any
// bytes as an image file. Beyond memory safety it checks what command 64
// relies on: a result it knows, and an image kept only when every field and
// both CRCs hold, as a copy of exactly the bytes checked.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "session/FirmFile.h"
#include "support/ByteOrder.h"

namespace {

using azk::azk_CFirmFile;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > 1u << 20) return 0;
    const auto length = static_cast<uint32_t>(size);
    azk_CFirmFile file;
    const int32_t result = file.Load(data, length);
    Check(result == azk_CFirmFile::kLoadOk || result == azk_CFirmFile::kLoadMalformed ||
          result == azk_CFirmFile::kLoadChecksum);
    Check(file.GetKind() >= azk_CFirmFile::kKindNone && file.GetKind() <= azk_CFirmFile::kKindDspa);

    if (result != azk_CFirmFile::kLoadOk) {
        Check(file.GetImage() == nullptr && file.GetImageLength() == 0);
    } else {
        const uint32_t total = file.GetImageLength();
        Check(total >= azk_CFirmFile::kBodyOffset && total <= length && total % 4 == 0);
        Check(file.GetImage() != nullptr && std::memcmp(file.GetImage(), data, total) == 0);
        Check(file.GetKind() != azk_CFirmFile::kKindNone);
        Check(azk::Read32(data + azk_CFirmFile::kFormatOffset) == azk_CFirmFile::kFormatNumber);
        Check(azk::Read32(data + azk_CFirmFile::kTotalLengthOffset) == total);
        Check(file.GetDataCrc() == azk::Read16(data + azk_CFirmFile::kDataCrcOffset));
        Check(azk_CFirmFile::ImageCrc16(data + azk_CFirmFile::kHeaderOffset, azk_CFirmFile::kHeaderCrcSpan, 0) ==
              azk::Read16(data + azk_CFirmFile::kHeaderCrcOffset));
    }

    // The same bytes give the same verdict; and a failed load keeps the
    // image an earlier one kept.
    azk_CFirmFile again;
    Check(again.Load(data, length) == result);
    if (result == azk_CFirmFile::kLoadOk && length > 0) {
        Check(again.Load(data, length - 1) != azk_CFirmFile::kLoadOk || file.GetImageLength() <= length - 1);
        Check(again.GetImage() != nullptr);
    }
    return 0;
}

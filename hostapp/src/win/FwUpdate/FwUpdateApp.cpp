#include "win/FwUpdate/FwUpdateApp.h"

#include <cstdarg>
#include <cwchar>
#include <utility>
#include <vector>

#include "session/FirmFile.h"
#include "session/SessionApi.h"
#include "support/ByteOrder.h"
#include "support/WideConsole.h"

namespace azk {
namespace {

constexpr uint32_t kBodyOffset = azk_CFirmFile::kBodyOffset;
constexpr int kBarWidth = 40;

const wchar_t kUsage[] =
    L"Usage: FwUpdate [--variant 1|2] IMAGE\n"
    L"       FwUpdate --check IMAGE\n"
    L"\n"
    L"Checks the firmware image file IMAGE and sends it to the first\n"
    L"speakerphone found: variant 1 (16-byte reports) unless --variant 2\n"
    L"selects the 64-byte one. Progress shows as a bar on a terminal, else as\n"
    L"one \"progress N%\" line per change; each failed attempt of a step prints\n"
    L"its own message.\n"
    L"\n"
    L"  --check IMAGE   check IMAGE without a device: print its kind, total\n"
    L"                  length, data CRC and header CRC and whether it is valid\n"
    L"  --variant 1|2   the device variant (default 1)\n"
    L"  --help          print this text\n"
    L"  --              what follows is IMAGE, even if it starts with '-'\n"
    L"\n"
    L"Exit status:\n"
    L"  0   the update completed (--check: the image is valid)\n"
    L"  2   bad command line\n"
    L"  3   the image file cannot be read (or is larger than 64 MiB)\n"
    L"  4   the image is malformed: size, magic, format number or total length\n"
    L"  5   a checksum of the image does not match: data CRC or header CRC\n"
    L"  6   no device found\n"
    L"  7   the device did not accept the announcement (FU_SETINFO)\n"
    L"  8   the device did not accept a transfer block (FU_FWLOAD)\n"
    L"  9   the device did not commit a transfer block or rejected the whole\n"
    L"      image (FU_WRITEFW)\n"
    L"  10  the device answered with an unexpected response header\n"
    L"  11  not enough memory to check the image\n"
    L"  12  any other failure of the session\n";

std::wstring Format(const wchar_t* format, ...) {
    wchar_t buffer[256];
    va_list args;
    va_start(args, format);
    const int n = std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
    va_end(args);
    return n < 0 ? std::wstring() : std::wstring(buffer);
}

int UsageError(const std::wstring& message) {
    WidePrintf(L"FwUpdate: %ls\nTry 'FwUpdate --help'.\n", message.c_str());
    return kFwExitUsage;
}

// The progress callback of command 64 has no context of its own: the
// display in use on this thread is found here.
class azk_CProgressDisplay;
thread_local azk_CProgressDisplay* t_display = nullptr;

class azk_CProgressDisplay {
public:
    explicit azk_CProgressDisplay(bool terminal) : terminal_(terminal) { t_display = this; }
    ~azk_CProgressDisplay() { t_display = nullptr; }
    azk_CProgressDisplay(const azk_CProgressDisplay&) = delete;
    azk_CProgressDisplay& operator=(const azk_CProgressDisplay&) = delete;

    static void Callback(int32_t percent, int32_t /*userValue*/) {
        if (t_display != nullptr) t_display->Show(percent);
    }

    void Show(int32_t percent) {
        if (percent == last_) return;
        last_ = percent;
        if (!terminal_) {
            WidePrintf(L"progress %d%%\n", static_cast<int>(percent));
            return;
        }
        const int clamped = percent < 0 ? 0 : (percent > 100 ? 100 : static_cast<int>(percent));
        const int filled = clamped * kBarWidth / 100;
        std::wstring bar(static_cast<size_t>(filled), L'#');
        bar.append(static_cast<size_t>(kBarWidth - filled), L' ');
        WidePrintf(L"\r[%ls] %3d%%", bar.c_str(), clamped);
        lineOpen_ = true;
    }

    // Whether anything was reported (21 comes once FU_SETINFO succeeded).
    bool Reported() const { return last_ >= 0; }

    // Ends the bar's line after a completed update. A failed one has just
    // printed its messages, which end their own lines.
    void Finish(bool completed) {
        if (lineOpen_ && completed) WidePrintf(L"\n");
        lineOpen_ = false;
    }

private:
    const bool terminal_;
    int32_t last_ = -1;
    bool lineOpen_ = false;
};

const wchar_t* KindName(int32_t kind) {
    switch (kind) {
    case 0: return L"FWUP";
    case 1: return L"UASP";
    case 2: return L"DSPA";
    default: return L"unknown";
    }
}

int KindCode(int32_t kind) { return kind == 2 ? 3 : kind; }

bool ReadImage(const azk_SToolArgument& file, std::vector<uint8_t>& image) {
    std::wstring error;
    if (!ReadWholeFile(file.path, kMaxToolFileBytes, image, error)) {
        WidePrintf(L"FwUpdate: cannot read '%ls': %ls\n", PrintableName(file.text).c_str(), error.c_str());
        return false;
    }
    return true;
}

int ExitOfRejection(int32_t loadResult) {
    if (loadResult == azk_CFirmFile::kLoadChecksum) return kFwExitChecksum;
    if (loadResult == azk_CFirmFile::kLoadNoMemory) return kFwExitNoMemory;
    return kFwExitMalformed;
}

int Check(const azk_SToolArgument& file) {
    std::vector<uint8_t> image;
    if (!ReadImage(file, image)) return kFwExitUnreadable;
    const azk_SImageInspection r = InspectImage(image.data(), static_cast<uint32_t>(image.size()));

    WidePrintf(L"file: %ls\n", PrintableName(file.text).c_str());
    WidePrintf(L"size: %lu bytes\n", static_cast<unsigned long>(r.size));
    if (r.hasHeader) {
        if (r.kind >= 0) {
            WidePrintf(L"kind: %ls (image kind %d, kind code %d)\n", KindName(r.kind), static_cast<int>(r.kind),
                       KindCode(r.kind));
        } else {
            WidePrintf(L"kind: unknown (magic \"%ls\")\n", PrintableMagic(r.magic).c_str());
        }
        WidePrintf(L"format number: %lu\n", static_cast<unsigned long>(r.formatNumber));
        WidePrintf(L"total length: %lu bytes\n", static_cast<unsigned long>(r.totalLength));
        if (!r.dataCrcComputed) {
            WidePrintf(L"data CRC: 0x%04X (not checked)\n", static_cast<unsigned>(r.dataCrcStored));
        } else if (r.dataCrc == r.dataCrcStored) {
            WidePrintf(L"data CRC: 0x%04X (valid)\n", static_cast<unsigned>(r.dataCrcStored));
        } else {
            WidePrintf(L"data CRC: 0x%04X (invalid: computed 0x%04X)\n", static_cast<unsigned>(r.dataCrcStored),
                       static_cast<unsigned>(r.dataCrc));
        }
        if (r.headerCrc == r.headerCrcStored) {
            WidePrintf(L"header CRC: 0x%04X (valid)\n", static_cast<unsigned>(r.headerCrcStored));
        } else {
            WidePrintf(L"header CRC: 0x%04X (invalid: computed 0x%04X)\n", static_cast<unsigned>(r.headerCrcStored),
                       static_cast<unsigned>(r.headerCrc));
        }
    }
    if (r.loadResult != azk_CFirmFile::kLoadOk) {
        WidePrintf(L"image rejected: %ls\n", r.reason.c_str());
        return ExitOfRejection(r.loadResult);
    }
    WidePrintf(L"image valid\n");
    return kFwExitOk;
}

int Update(const azk_SToolArgument& file, int32_t variant, bool terminal) {
    std::vector<uint8_t> image;
    if (!ReadImage(file, image)) return kFwExitUnreadable;
    const uint32_t size = static_cast<uint32_t>(image.size());
    const azk_SImageInspection r = InspectImage(image.data(), size);
    if (r.loadResult != azk_CFirmFile::kLoadOk) {
        WidePrintf(L"FwUpdate: '%ls' is not a valid firmware image: %ls\n", PrintableName(file.text).c_str(),
                   r.reason.c_str());
        return ExitOfRejection(r.loadResult);
    }
    WidePrintf(L"firmware image: %ls (%ls, %lu bytes)\n", PrintableName(file.text).c_str(), KindName(r.kind),
               static_cast<unsigned long>(size));

    SessionHandle session = SessionCreate(variant, nullptr);
    if (session == nullptr) {
        WidePrintf(L"FwUpdate: no device found (variant %d)\n", static_cast<int>(variant));
        return kFwExitNoDevice;
    }
    WidePrintf(L"updating the device (variant %d) ...\n", static_cast<int>(variant));

    azk_CProgressDisplay display(terminal);
    SessionFirmwareUpdateBlock block{};
    block.image = image.data();
    block.imageSize = size;
    block.progress = &azk_CProgressDisplay::Callback;
    block.userValue = 0;
    const int32_t result = SessionExec(session, SESSION_CMD_FIRMWARE_UPDATE, &block, nullptr);
    // FU_SETINFO succeeded when progress 21 was reported.
    const bool announced = display.Reported();
    display.Finish(result == SESSION_RESULT_OK);
    SessionFree(session);

    switch (result) {
    case SESSION_RESULT_OK:
        WidePrintf(L"firmware update completed\n");
        return kFwExitOk;
    case SESSION_RESULT_FW_LOAD:
        WidePrintf(announced ? L"FwUpdate: firmware update failed: the device did not accept a transfer block "
                               L"(FU_FWLOAD) [%d]\n"
                             : L"FwUpdate: firmware update failed: the device did not accept the announcement "
                               L"(FU_SETINFO) [%d]\n",
                   static_cast<int>(result));
        return announced ? kFwExitFwLoad : kFwExitSetInfo;
    case SESSION_RESULT_FW_WRITE:
        WidePrintf(L"FwUpdate: firmware update failed: the device did not commit a transfer block "
                   L"(FU_WRITEFW) [%d]\n",
                   static_cast<int>(result));
        return kFwExitWriteFw;
    case SESSION_RESULT_BAD_RESPONSE:
        WidePrintf(L"FwUpdate: firmware update failed: the device answered with an unexpected response "
                   L"header [%d]\n",
                   static_cast<int>(result));
        return kFwExitBadAnswer;
    case SESSION_RESULT_INITIALIZE:
        WidePrintf(L"FwUpdate: not enough memory to check the image [%d]\n", static_cast<int>(result));
        return kFwExitNoMemory;
    default:
        WidePrintf(L"FwUpdate: firmware update failed [%d]\n", static_cast<int>(result));
        return kFwExitOther;
    }
}

}  // namespace

std::wstring PrintableMagic(const uint8_t magic[4]) {
    std::wstring text;
    for (int i = 0; i < 4; ++i) {
        const uint8_t b = magic[i];
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            text.push_back(static_cast<wchar_t>(b));
        } else {
            text += Format(L"\\x%02X", static_cast<unsigned>(b));
        }
    }
    return text;
}

azk_SImageInspection InspectImage(const uint8_t* image, uint32_t size) {
    azk_SImageInspection r;
    r.size = image == nullptr ? 0 : size;
    if (r.size > kBodyOffset) {
        r.hasHeader = true;
        for (int i = 0; i < 4; ++i) r.magic[i] = image[azk_CFirmFile::kMagicOffset + i];
        r.formatNumber = Read32(image + azk_CFirmFile::kFormatOffset);
        r.totalLength = Read32(image + azk_CFirmFile::kTotalLengthOffset);
        r.dataCrcStored = Read16(image + azk_CFirmFile::kDataCrcOffset);
        r.headerCrcStored = Read16(image + azk_CFirmFile::kHeaderCrcOffset);
        r.headerCrc = azk_CFirmFile::ImageCrc16(image + azk_CFirmFile::kHeaderOffset, azk_CFirmFile::kHeaderCrcSpan, 0);
        r.totalFits = r.totalLength >= kBodyOffset && r.totalLength <= r.size && r.totalLength % 4 == 0;
        if (r.totalFits) {
            // The data CRC over a descrambled copy of prologue and body.
            std::vector<uint8_t> plain(image, image + r.totalLength);
            const uint32_t key0 = Read32(image + azk_CFirmFile::kKey0Offset);
            const uint32_t key1 = Read32(image + azk_CFirmFile::kKey1Offset);
            azk_CFirmFile::Descramble(plain.data(), azk_CFirmFile::kPrologueSize, key0, key1);
            azk_CFirmFile::Descramble(plain.data() + kBodyOffset, r.totalLength - kBodyOffset, key0, key1);
            r.dataCrc = azk_CFirmFile::ImageCrc16(plain.data(), azk_CFirmFile::kPrologueSize, 0);
            r.dataCrc = azk_CFirmFile::ImageCrc16(plain.data() + kBodyOffset, r.totalLength - kBodyOffset, r.dataCrc);
            r.dataCrcComputed = true;
        }
    }

    // The verdict is the check's own; the reason follows the order in which
    // it checks.
    azk_CFirmFile file;
    r.loadResult = file.Load(r.size == 0 ? nullptr : image, r.size);
    r.kind = file.GetKind();
    if (r.loadResult == azk_CFirmFile::kLoadOk) return r;
    if (r.loadResult == azk_CFirmFile::kLoadNoMemory) {
        r.reason = L"not enough memory to check the image";
    } else if (!r.hasHeader) {
        r.reason = Format(L"too short for a firmware image: %lu bytes, more than 560 needed",
                          static_cast<unsigned long>(r.size));
    } else if (r.kind < 0) {
        r.reason = L"unknown magic \"" + PrintableMagic(r.magic) + L"\"";
    } else if (r.formatNumber != azk_CFirmFile::kFormatNumber) {
        r.reason = Format(L"format number %lu, not 6", static_cast<unsigned long>(r.formatNumber));
    } else if (r.totalLength > r.size) {
        r.reason = Format(L"total length %lu is beyond the file's %lu bytes", static_cast<unsigned long>(r.totalLength),
                          static_cast<unsigned long>(r.size));
    } else if (r.totalLength % 4 != 0) {
        r.reason = Format(L"total length %lu is not a multiple of 4", static_cast<unsigned long>(r.totalLength));
    } else if (r.totalLength < kBodyOffset) {
        r.reason = Format(L"total length %lu leaves no room for the header", static_cast<unsigned long>(r.totalLength));
    } else if (r.dataCrcComputed && r.dataCrc != r.dataCrcStored) {
        r.reason = Format(L"data CRC mismatch: 0x%04X stored, 0x%04X computed", static_cast<unsigned>(r.dataCrcStored),
                          static_cast<unsigned>(r.dataCrc));
    } else if (r.headerCrc != r.headerCrcStored) {
        r.reason = Format(L"header CRC mismatch: 0x%04X stored, 0x%04X computed",
                          static_cast<unsigned>(r.headerCrcStored), static_cast<unsigned>(r.headerCrc));
    } else {
        r.reason = r.loadResult == azk_CFirmFile::kLoadChecksum ? L"checksum mismatch" : L"malformed image";
    }
    return r;
}

bool ParseFwUpdateArguments(const std::vector<azk_SToolArgument>& args, azk_SFwUpdateOptions& options,
                            std::wstring& error) {
    options = azk_SFwUpdateOptions{};
    bool variantGiven = false;
    bool optionsEnded = false;
    auto fail = [&error](std::wstring message) {
        error = std::move(message);
        return false;
    };
    for (size_t i = 0; i < args.size(); ++i) {
        const std::wstring& word = args[i].text;
        if (!optionsEnded && (word == L"--help" || word == L"-h")) {
            options.help = true;
            return true;
        }
        if (!optionsEnded && word == L"--") {
            optionsEnded = true;
        } else if (!optionsEnded && word == L"--check") {
            options.check = true;
        } else if (!optionsEnded && word == L"--variant") {
            if (i + 1 >= args.size()) return fail(L"--variant needs a value");
            const std::wstring& value = args[++i].text;
            if (value != L"1" && value != L"2") return fail(L"--variant: 1 or 2");
            options.variant = value == L"1" ? 1 : 2;
            variantGiven = true;
        } else if (!optionsEnded && !word.empty() && word[0] == L'-') {
            return fail(L"unknown option '" + word + L"'");
        } else if (options.image != nullptr) {
            return fail(L"one image only ('" + options.image->text + L"' and '" + word + L"')");
        } else {
            options.image = &args[i];
        }
    }
    if (options.image == nullptr) return fail(L"no image file given");
    if (options.check && variantGiven) return fail(L"--check needs no device: --variant does not go with it");
    return true;
}

int RunFwUpdate(const std::vector<azk_SToolArgument>& args, bool terminal) {
    azk_SFwUpdateOptions options;
    std::wstring error;
    if (!ParseFwUpdateArguments(args, options, error)) return UsageError(error);
    if (options.help) {
        WidePrintf(L"%ls", kUsage);
        return kFwExitOk;
    }
    return options.check ? Check(*options.image) : Update(*options.image, options.variant, terminal);
}

}  // namespace azk

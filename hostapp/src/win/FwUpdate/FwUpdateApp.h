// FwUpdateApp.h - the FwUpdate tool: checks a firmware image file and sends
// it to the speakerphone with command 64, or only checks it (--check).
//
//   FwUpdate [--variant 1|2] IMAGE
//   FwUpdate --check IMAGE
//
// Everything is printed with WidePrintf, to the console stream.
#ifndef AZK_FWUPDATE_FW_UPDATE_APP_H
#define AZK_FWUPDATE_FW_UPDATE_APP_H

#include <cstdint>
#include <string>
#include <vector>

#include "win/FwUpdate/FwToolSupport.h"

namespace azk {

// Exit statuses.
constexpr int kFwExitOk = 0;           // update completed; --check: the image is valid
constexpr int kFwExitUsage = 2;        // bad command line
constexpr int kFwExitUnreadable = 3;   // the image file cannot be read
constexpr int kFwExitMalformed = 4;    // size, magic, format number or total length
constexpr int kFwExitChecksum = 5;     // data CRC or header CRC
constexpr int kFwExitNoDevice = 6;     // no device of the variant found
constexpr int kFwExitSetInfo = 7;      // FU_SETINFO failed on its last attempt
constexpr int kFwExitFwLoad = 8;       // FU_FWLOAD failed on its last attempt
constexpr int kFwExitWriteFw = 9;      // FU_WRITEFW failed on its last attempt
constexpr int kFwExitBadAnswer = 10;   // the last attempt got an unexpected response header
constexpr int kFwExitNoMemory = 11;    // no memory to check the image
constexpr int kFwExitOther = 12;       // any other session failure

// What can be read from an image and what the check made of it.
struct azk_SImageInspection {
    uint32_t size = 0;
    bool hasHeader = false;  // more than 560 bytes: the header fields below are read
    uint8_t magic[4] = {};
    int32_t kind = -1;       // 0, 1, 2; -1 for an unknown magic
    uint32_t formatNumber = 0;
    uint32_t totalLength = 0;
    bool totalFits = false;  // at least 560, a multiple of 4, not above the size
    uint16_t dataCrcStored = 0;
    bool dataCrcComputed = false;  // computed when the total length fits
    uint16_t dataCrc = 0;
    uint16_t headerCrcStored = 0;
    uint16_t headerCrc = 0;  // computed when there is a header
    int32_t loadResult = 0;  // azk_CFirmFile::Load: 0, -1, -5 or -8
    std::wstring reason;     // why it was refused; empty when accepted
};

// Reads the fields and runs the check that command 64 runs.
azk_SImageInspection InspectImage(const uint8_t* image, uint32_t size);

// The magic for printing: ASCII as it is, other bytes as \xNN.
std::wstring PrintableMagic(const uint8_t magic[4]);

// What the command line asks for; `image` points into the words parsed.
struct azk_SFwUpdateOptions {
    bool help = false;  // --help: nothing else was looked at after it
    bool check = false;
    int32_t variant = 1;
    const azk_SToolArgument* image = nullptr;
};

// Parses the words after the program name; touches no file or device.
// False, with the message, for a bad command line.
bool ParseFwUpdateArguments(const std::vector<azk_SToolArgument>& args, azk_SFwUpdateOptions& options,
                            std::wstring& error);

// The whole tool on the words after the program name; `terminal` says
// whether the console is a terminal (a progress bar redrawn in place) or not
// (one line per progress change). Returns the exit status.
int RunFwUpdate(const std::vector<azk_SToolArgument>& args, bool terminal);

}  // namespace azk

#endif

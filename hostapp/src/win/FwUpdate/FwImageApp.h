// FwImageApp.h - the FwImage tool: writes firmware image files, sound ones
// or ones damaged in one named way, for tests and for trying FwUpdate
// against the device emulator.
//
//   FwImage [--kind fwup|uasp|dspa] [--size N | --body FILE] [--trailer N]
//           [--seed N] [--damage NAME] OUTPUT
//
// Everything is printed with WidePrintf, to the console stream.
#ifndef AZK_FWUPDATE_FW_IMAGE_APP_H
#define AZK_FWUPDATE_FW_IMAGE_APP_H

#include <cstdint>
#include <string>
#include <vector>

#include "session/FirmImageBuilder.h"
#include "win/FwUpdate/FwToolSupport.h"

namespace azk {

// Exit statuses.
constexpr int kFwImageExitOk = 0;
constexpr int kFwImageExitUsage = 2;       // bad command line
constexpr int kFwImageExitUnreadable = 3;  // the body file cannot be read
constexpr int kFwImageExitUnwritable = 4;  // OUTPUT cannot be written
constexpr int kFwImageExitNoDamage = 5;    // the damage does not apply to this image

// What the command line asks for. The file arguments point into the words
// parsed.
struct azk_SFwImageOptions {
    bool help = false;  // --help: nothing else was looked at after it
    int32_t kind = 0;   // 0 fwup, 1 uasp, 2 dspa
    uint64_t size = 30720;
    bool sizeGiven = false;
    const azk_SToolArgument* body = nullptr;
    uint64_t trailer = 0;
    uint64_t seed = 1;
    azk_CFirmImageBuilder::Damage damage = azk_CFirmImageBuilder::Damage::None;
    const azk_SToolArgument* output = nullptr;
};

// Parses the words after the program name; touches no file. False, with the
// message, for a bad command line.
bool ParseFwImageArguments(const std::vector<azk_SToolArgument>& args, azk_SFwImageOptions& options,
                           std::wstring& error);

// The whole tool on the words after the program name; returns the exit
// status.
int RunFwImage(const std::vector<azk_SToolArgument>& args);

}  // namespace azk

#endif

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

#include <vector>

#include "win/FwUpdate/FwToolSupport.h"

namespace azk {

// Exit statuses.
constexpr int kFwImageExitOk = 0;
constexpr int kFwImageExitUsage = 2;       // bad command line
constexpr int kFwImageExitUnreadable = 3;  // the body file cannot be read
constexpr int kFwImageExitUnwritable = 4;  // OUTPUT cannot be written
constexpr int kFwImageExitNoDamage = 5;    // the damage does not apply to this image

// The whole tool on the words after the program name; returns the exit
// status.
int RunFwImage(const std::vector<azk_SToolArgument>& args);

}  // namespace azk

#endif

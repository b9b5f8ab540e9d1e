// DeviceCommandApp.h - the DeviceCommand tool: every command of the session
// from the command line, through the session library's public header only.
//
//   DeviceCommand [--variant 1|2] [--index N] [--json] SUBCOMMAND ...
//
// Parsing (ParseDeviceCommand) and running (RunDeviceCommand) are apart, so
// that tests can check the parser on its own and run the tool in process.
#ifndef AZK_DEVICECOMMAND_APP_H
#define AZK_DEVICECOMMAND_APP_H

#include <cstdint>
#include <cstdio>
#include <ostream>
#include <string>
#include <vector>

#include "session/SessionApi.h"

namespace azk::devcmd {

// Exit statuses, one per kind of outcome (listed by --help).
enum ExitStatus : int {
    kExitOk = 0,
    kExitUsage = 2,         // bad command line
    kExitNoDevice = 3,      // no session: no such device, or it cannot be opened
    kExitDeviceStatus = 4,  // the device answered with a failure status (-13)
    kExitNoAnswer = 5,      // no answer in time, or the device was lost (-7, -11)
    kExitBadAnswer = 6,     // the answer was not the one expected (-12)
    kExitRefused = 7,       // the library refused the request (-10, -5 and the rest)
    kExitFile = 8           // a file could not be read or written
};

enum class Subcommand {
    None,
    List,
    KeylockShow,
    KeylockSet,
    KeylockReset,
    KeylockApply,
    Exec,
    ReadBlock,
    WriteBlock,
    Raw
};

struct azk_SDeviceCommandOptions {
    int32_t variant = 1;
    bool variantGiven = false;
    int32_t index = 0;
    bool json = false;
    Subcommand subcommand = Subcommand::None;

    // keylock set / apply
    std::vector<std::string> lockKeys;
    bool seOn = false;

    // exec
    int32_t commandId = -1;
    std::vector<std::string> assignments;  // FIELD=VALUE

    // read-block / write-block
    int32_t blockCommand = 0;  // the read or write command of the function
    uint32_t address = 0;
    uint32_t count = 0;        // read-block: bytes to read; write-block: 0 = the whole file
    uint32_t selector = 0;
    uint32_t target = 0;
    std::string file;

    // raw
    std::string hex;
};

enum class ParseOutcome { Run, Help, Usage };

struct azk_SParseResult {
    ParseOutcome outcome = ParseOutcome::Usage;
    std::string text;  // the help text, or the usage error
};

// Parses the words after the program name.
azk_SParseResult ParseDeviceCommand(const std::vector<std::string>& words, azk_SDeviceCommandOptions& options);

// Runs a parsed command line. Output goes to `out` (one JSON document with
// --json), messages without --json to `err`. `terminal`: progress bars.
int RunDeviceCommand(const azk_SDeviceCommandOptions& options, std::ostream& out, std::ostream& err,
                     bool terminal);

// Parse and run: the whole tool. When `out` cannot be written (a full disk,
// a closed standard output) it says so on `err` and returns kExitFile in
// place of kExitOk (a failure's own status stays).
int DeviceCommandMain(const std::vector<std::string>& words, std::ostream& out, std::ostream& err,
                      bool terminal);

// The lock mask for a list of locked key names (bit clear = locked; bit 5,
// which no key names, stays set). False for an unknown name.
bool LockMaskOf(const std::vector<std::string>& keys, uint16_t& mask);

// Parses "0x1F", "31" or "-1"-free numbers up to `max`; false otherwise.
bool ParseNumber(const std::string& text, uint64_t max, uint64_t& value);

// Parses hex bytes ("02 36 00 00", "02360000", "02:36"); false on a stray
// character or an odd number of digits.
bool ParseHexBytes(const std::string& text, std::vector<uint8_t>& bytes);

// Why `list` cannot use a device, as its line says; empty for a usable one.
std::string UnusableReason(const SessionDeviceInfo& device);

// Text from the device as it is safe to print on a terminal: control
// characters (bytes below 0x20, 0x7F, and U+0080 to U+009F) and bytes that
// are not valid UTF-8 as \xNN, a backslash as \\; valid UTF-8 as it is.
std::string PrintableText(const std::string& text);

// Opens the file a word of the tool names (UTF-8 on Windows, the bytes as
// given elsewhere), as std::fopen with `mode` ("rb", "wb"); nullptr when it
// cannot.
std::FILE* OpenFile(const std::string& path, const char* mode);

// Creates the file a word of the tool names and opens it for writing, only
// where nothing of that name is yet (a link that leads nowhere is something);
// nullptr otherwise, with errno EEXIST when something of that name is there.
std::FILE* CreateNewFile(const std::string& path);

// Opens a new scratch file for writing and reading back, in the system's
// folder for temporary files, under no name that stays: it is gone once
// closed, or when the process ends. Nullptr when it cannot.
std::FILE* OpenScratchFile();

// Removes the file a word of the tool names if it is a regular file: never
// a link, a folder or a device.
void RemoveFile(const std::string& path);

}  // namespace azk::devcmd

#endif

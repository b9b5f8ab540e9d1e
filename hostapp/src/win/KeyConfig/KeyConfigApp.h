// KeyConfigApp.h - the KeyConfig front end: the key table, the argument
// logic, the three key-lock actions and the console messages.
//
// RunKeyConfig takes the words after the program path and returns the
// result code that becomes the exit status: 0 (usage printed, or the action
// done), -1 (a command of the action failed) or -4 (no session could be
// created). The process start-up around it lives in StartUp.h.
#ifndef AZK_KEYCONFIG_KEYCONFIG_APP_H
#define AZK_KEYCONFIG_KEYCONFIG_APP_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace azk {

// One front-panel key: its name on the command line and its lock mask bit.
struct KeyTableEntry {
    const wchar_t* name;
    uint16_t bit;
};

// The six keys, in the order used for the usage text, for matching "-lock"
// words and for listing locked keys. Bit 0x0020 belongs to no key.
inline constexpr KeyTableEntry kKeyTable[] = {
    {L"Bluetooth", 0x0001},
    {L"Call", 0x0002},
    {L"MicMute", 0x0004},
    {L"VolDown", 0x0008},
    {L"VolUp", 0x0010},
    {L"SpMute", 0x0040},
};
inline constexpr size_t kKeyCount = sizeof(kKeyTable) / sizeof(kKeyTable[0]);

// Lock mask with nothing locked (bits 0 to 6 set).
inline constexpr uint16_t kLockMaskNoneLocked = 0x007F;

inline constexpr const wchar_t* kKeyConfigVersion = L"0.90";

enum class KeyConfigAction {
    Usage,  // print the usage text, nothing is sent
    Show,   // "-require"
    Reset,  // "-reset"
    Set     // "-lock" with "-se"
};

struct KeyConfigCommand {
    KeyConfigAction action = KeyConfigAction::Usage;
    uint16_t lockMask = kLockMaskNoneLocked;  // what "set" writes
    uint8_t seValue = 1;                      // what "set" writes: 1 on, 0 off
};

// Parses the words after the program path. Touches no device.
KeyConfigCommand ParseArguments(const std::vector<std::wstring>& words);

// Parses the words and prints the usage text or performs the action with one
// session; returns the result code (the exit status).
int32_t RunKeyConfig(const wchar_t* programName, const std::vector<std::wstring>& words);

// The usage text, with the given program name.
void PrintUsage(const wchar_t* programName);

// The event callback of the session: prints one line per event packet and
// nothing for the device-lost event (255). Runs on the receiver thread.
void PrintEvent(int event, int stat);

// Prints "\n" and the message of a result code.
void PrintResult(int32_t result);

// The program's build date ("Mmm dd yyyy") and time ("hh:mm:ss") as wide text.
std::wstring BuildDate();
std::wstring BuildTime();

}  // namespace azk

#endif

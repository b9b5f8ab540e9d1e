// libFuzzer target for the command-line parsers of the tools: KeyConfig's,
// FwUpdate's, FwImage's, DeviceEmulator's and DeviceCommand's. The first
// input byte picks the parser; the rest are the words, separated by NUL
// bytes. None of the parsers touches a file or a device. Beyond memory
// safety it checks that a command line is either refused with a message or
// describes something the tool can carry out, and for DeviceCommand also
// runs what its tool checks before it looks for a device: the exec fields
// and the raw message's hex.
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "emulator/EmulatorOptions.h"
#include "win/DeviceCommand/DeviceCommandApp.h"
#include "win/DeviceCommand/DeviceCommandExec.h"
#include "win/FwUpdate/FwImageApp.h"
#include "win/FwUpdate/FwUpdateApp.h"
#include "win/KeyConfig/KeyConfigApp.h"

namespace {

using namespace azk;

constexpr size_t kMaxWords = 64;

void Check(bool condition) {
    if (!condition) std::abort();
}

// A key-lock mask: only the six keys' bits can be cleared (bit 5, which no
// key names, stays set).
bool IsLockMask(uint16_t mask) { return (mask | 0x007F) == 0x007F && (mask & 0x0020) != 0; }

bool PointsInto(const azk_SToolArgument* p, const std::vector<azk_SToolArgument>& args) {
    return p != nullptr && p >= args.data() && p < args.data() + args.size();
}

void KeyConfigWords(const std::vector<std::string>& words) {
    std::vector<std::wstring> wide;
    for (const std::string& w : words) wide.emplace_back(w.begin(), w.end());
    const KeyConfigCommand c = ParseArguments(wide);
    switch (c.action) {
    case KeyConfigAction::Usage:
    case KeyConfigAction::Show:
    case KeyConfigAction::Reset: break;
    case KeyConfigAction::Set:
        Check(c.seValue <= 1);
        Check(IsLockMask(c.lockMask));
        break;
    default: Check(false);
    }
    if (words.empty()) Check(c.action == KeyConfigAction::Usage);
}

std::vector<azk_SToolArgument> ToolWords(const std::vector<std::string>& words) {
    std::vector<azk_SToolArgument> args;
    for (const std::string& w : words) args.push_back(ToolArgument(w));
    return args;
}

void FwUpdateWords(const std::vector<std::string>& words) {
    const std::vector<azk_SToolArgument> args = ToolWords(words);
    azk_SFwUpdateOptions options;
    std::wstring error;
    if (!ParseFwUpdateArguments(args, options, error)) {
        Check(!error.empty());
        return;
    }
    if (options.help) return;
    Check(PointsInto(options.image, args));
    Check(options.variant == 1 || options.variant == 2);
}

void FwImageWords(const std::vector<std::string>& words) {
    const std::vector<azk_SToolArgument> args = ToolWords(words);
    azk_SFwImageOptions options;
    std::wstring error;
    if (!ParseFwImageArguments(args, options, error)) {
        Check(!error.empty());
        return;
    }
    if (options.help) return;
    Check(PointsInto(options.output, args));
    Check(options.body == nullptr || PointsInto(options.body, args));
    Check(!(options.body != nullptr && options.sizeGiven));
    Check(options.kind >= 0 && options.kind <= 2);
    Check(options.size >= 560 && options.size % 4 == 0 && options.size <= kMaxToolFileBytes);
    Check(options.body != nullptr || options.size + options.trailer > 560);  // a file of 560 bytes is no image
    Check(options.trailer <= kMaxToolFileBytes && options.seed <= 0xFFFFFFFFu);
}

void EmulatorWords(const std::vector<std::string>& words) {
    azk_SEmulatorConfig config;
    std::string error;
    if (!ParseEmulatorArguments(words, config, error)) {
        Check(!error.empty());
        return;
    }
    if (config.help) return;
    Check(config.serve != !config.command.empty());
    uint64_t total = 0;
    for (const azk_SDeviceDescription& d : config.devices) {
        total += d.copies;
        Check(d.variant == 1 || d.variant == 2);
        for (const azk_SVhidJunk& j : d.vhidJunk) {
            Check(j.length <= 4096);
            Check(j.kind != azk_SVhidJunk::Kind::ForeignId || (d.numbered && j.reportId > 1));
        }
    }
    Check(total <= kEmulatorMaxDevices);
    const std::vector<std::string> names = DeviceSocketNames(config);
    Check(names.size() == total);
    Check(std::set<std::string>(names.begin(), names.end()).size() == names.size());
    for (const std::string& name : names) Check(name.find('/') == std::string::npos && name[0] != '.');
}

void DeviceCommandWords(const std::vector<std::string>& words) {
    using namespace azk::devcmd;
    azk_SDeviceCommandOptions options;
    const azk_SParseResult result = ParseDeviceCommand(words, options);
    if (result.outcome != ParseOutcome::Run) {
        Check(!result.text.empty());
        return;
    }
    Check(options.variant == 1 || options.variant == 2);
    Check(options.index >= 0);
    switch (options.subcommand) {
    case Subcommand::List:
    case Subcommand::KeylockShow:
    case Subcommand::KeylockReset: break;
    case Subcommand::KeylockSet:
    case Subcommand::KeylockApply: {
        uint16_t mask = 0;
        Check(LockMaskOf(options.lockKeys, mask) && IsLockMask(mask));
        break;
    }
    case Subcommand::Exec: {
        Check(IsExecCommand(options.commandId));
        SessionParamBlock block{};
        std::vector<uint8_t> buffer;
        std::string error;
        if (!PrepareExec(options.commandId, options.assignments, block, buffer, error)) {
            Check(!error.empty());
            break;
        }
        // What the tool prints after the command, read from the block as prepared.
        for (const ExecValue& value : ExecResults(options.commandId, block, buffer)) {
            Check(!value.name.empty());
            Check(value.isText || value.isBytes || value.size == 1 || value.size == 2 || value.size == 4);
        }
        break;
    }
    case Subcommand::ReadBlock:
    case Subcommand::WriteBlock:
        // The file is the tool's to open when it runs: a name it cannot open (even an empty one) fails there.
        Check(options.blockCommand != 0);
        Check(options.selector <= 0xFF && options.target <= 0xFF);
        break;
    case Subcommand::Raw: {
        std::vector<uint8_t> bytes;
        if (ParseHexBytes(options.hex, bytes)) Check(bytes.size() * 2 <= options.hex.size());
        break;
    }
    default: Check(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    std::vector<std::string> words;
    if (size > 1) {
        words.emplace_back();
        for (size_t i = 1; i < size && words.size() <= kMaxWords; ++i) {
            if (data[i] == 0) {
                words.emplace_back();
            } else {
                words.back().push_back(static_cast<char>(data[i]));
            }
        }
    }
    switch (data[0] % 5) {
    case 0: KeyConfigWords(words); break;
    case 1: FwUpdateWords(words); break;
    case 2: FwImageWords(words); break;
    case 3: EmulatorWords(words); break;
    default: DeviceCommandWords(words); break;
    }
    return 0;
}

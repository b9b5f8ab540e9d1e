// DeviceCommandExec.h - `DeviceCommand exec`: the catalogue commands' block
// fields by name, filled from FIELD=VALUE words and read back after the
// command.
//
// Fields are named by their block bytes as SessionApi.h's table of block
// layouts writes them: "0" is block byte 0, "1-2" the 16-bit number at bytes
// 1-2, "4-19" the text at bytes 4-19. Fields of 1, 2 or 4 bytes are numbers
// (little-endian), text fields are text, any other run is raw bytes in hex.
// "target" is the target field (bytes 80-83); "data" the bytes a command
// moves through a caller buffer or its data area (commands 48, 59, 61, 62,
// 79, 80).
#ifndef AZK_DEVICECOMMAND_EXEC_H
#define AZK_DEVICECOMMAND_EXEC_H

#include <cstdint>
#include <string>
#include <vector>

#include "session/SessionApi.h"

namespace azk::devcmd {

// One result field after a command.
struct ExecValue {
    std::string name;
    bool isText = false;
    bool isBytes = false;  // raw bytes, in `text` as hex
    uint64_t number = 0;
    int size = 0;          // bytes of a number
    std::string text;
};

// One named field of a command's block.
struct ExecFieldInfo {
    std::string name;
    int offset = 0;
    int size = 0;
    bool text = false;
};

// The command's input fields (without "target" and "data") or its output
// fields, in the table's order; empty for ids exec does not run.
std::vector<ExecFieldInfo> ExecFields(int32_t commandId, bool output);

// True for the ids that `exec` runs (not 27, the key lock, the firmware
// update, the block transfers or the raw message, which have subcommands).
bool IsExecCommand(int32_t commandId);

// The command's input and output fields, as text for `exec ID --fields`.
std::string ExecFieldsText(int32_t commandId);

// Fills a zeroed block (and, for commands that send data from a caller
// buffer, `buffer`) from FIELD=VALUE words. False, with the reason, for an
// unknown field, a value out of range or too long, or a field given twice.
bool PrepareExec(int32_t commandId, const std::vector<std::string>& assignments, SessionParamBlock& block,
                 std::vector<uint8_t>& buffer, std::string& error);

// The command's output fields, read from the block (and buffer) after it ran.
std::vector<ExecValue> ExecResults(int32_t commandId, const SessionParamBlock& block,
                                   const std::vector<uint8_t>& buffer);

}  // namespace azk::devcmd

#endif

// FwToolSupport.h - what the firmware tools (FwUpdate, FwImage) share: the
// command-line words with the file names as the system spells them, whole
// files in and out, and whether standard output is a terminal.
#ifndef AZK_FWUPDATE_FW_TOOL_SUPPORT_H
#define AZK_FWUPDATE_FW_TOOL_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace azk {

#ifdef _WIN32
using NativeChar = wchar_t;
#else
using NativeChar = char;
#endif
using NativePath = std::basic_string<NativeChar>;

// One command-line word: as wide text for options and messages, and as the
// system's own string for opening the file it may name.
struct azk_SToolArgument {
    std::wstring text;
    NativePath path;
};

// The words after argv[0]. On POSIX the locale must have been set first
// (SetProcessLocale): the words are widened in it.
std::vector<azk_SToolArgument> ToolArguments(int argc, NativeChar** argv);

// A word given in a test: the same text both ways (ASCII on POSIX).
azk_SToolArgument ToolArgument(const std::string& word);

// The largest file either tool reads.
constexpr size_t kMaxToolFileBytes = 64u * 1024 * 1024;

// Reads the whole file; false, with the reason, when it cannot be opened or
// read or holds more than maxBytes.
bool ReadWholeFile(const NativePath& path, size_t maxBytes, std::vector<uint8_t>& bytes, std::wstring& error);

// Creates or replaces the file with `bytes`; false, with the reason, when it
// cannot be written completely.
bool WriteWholeFile(const NativePath& path, const std::vector<uint8_t>& bytes, std::wstring& error);

// A file name as the tools print it. The C runtime prints wide text in the
// locale's code page, which turns a character it lacks into a look-alike or
// drops the rest of the text (on Windows, code page 932): such a character,
// and every control character, is printed as \u{XXXX} instead, so that a
// message names the very file.
std::wstring PrintableName(const std::wstring& name);

// True when standard output is a terminal (a console on Windows).
bool StdoutIsTerminal();

// Parses an unsigned decimal number of at most `max`; false for anything
// else (signs, spaces, other characters, overflow).
bool ParseUnsigned(const std::wstring& text, uint64_t max, uint64_t& value);

}  // namespace azk

#endif

// ProcessStart.h - what every command-line tool of this project does first:
// the locale for wide console text, the program's own name, and the
// command-line words as wide text.
#ifndef AZK_SUPPORT_PROCESS_START_H
#define AZK_SUPPORT_PROCESS_START_H

#include <array>
#include <cstddef>
#include <string>

namespace azk {

// Wide characters of the program name buffer, terminator included.
inline constexpr size_t kProgramNameCapacity = 260;
using ProgramNameBuffer = std::array<wchar_t, kProgramNameCapacity>;

// Sets the locale of all categories so the wide messages, Japanese ones
// included, reach the console readable: "japanese" on Windows; on POSIX the
// environment's locale when its character set is UTF-8, else "C.UTF-8".
void SetProcessLocale();

// The file-name part of a module path: directory (and drive) and extension
// dropped. "/usr/bin/KeyConfig" and "C:\\bin\\KeyConfig.exe" give "KeyConfig".
std::wstring ProgramNameFromPath(const std::wstring& path);

// Fills `name` with the file-name part of the running program's own path.
// Returns false, with `name` empty, when the path cannot be had or the name
// does not fit.
bool GetProgramName(ProgramNameBuffer& name);

#ifndef _WIN32
// Converts one command-line word from the current locale's multibyte text
// to wide text. A byte that is no valid character becomes U+FFFD, so such a
// word never equals an option or a key name.
std::wstring WidenArgument(const char* text);
#endif

}  // namespace azk

#endif

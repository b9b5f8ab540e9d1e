// WideConsole.h - the one way this program writes to the console.
//
// Every message is wide text printed with one formatted call per literal.
// Format strings use %ls for wide strings (wide in the Windows and the GNU C
// runtimes alike). On POSIX the text reaches the stream whatever
// orientation the program has already given it: wide output on a wide
// stream, the locale's multibyte characters on any other.
#ifndef AZK_SUPPORT_WIDE_CONSOLE_H
#define AZK_SUPPORT_WIDE_CONSOLE_H

#include <cstdio>

namespace azk {

// Prints to the console stream (standard output unless redirected).
int WidePrintf(const wchar_t* format, ...);

// Redirects the console stream, for tests that capture what is printed;
// nullptr restores standard output. Not meant to change while printing.
void SetConsoleStream(std::FILE* stream);

}  // namespace azk

#endif

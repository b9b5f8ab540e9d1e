// DeviceCommandMain.cpp - process entry of the DeviceCommand tool.
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include "win/DeviceCommand/DeviceCommandApp.h"
#include "win/DeviceCommand/DeviceCommandConsole.h"

#ifdef _WIN32

// Words from the wide command line as UTF-8; output through the standard
// handles, as the Linux build writes it (see DeviceCommandConsole.h).
int wmain(int argc, wchar_t* argv[]) {
    using namespace azk::devcmd;
    HandleBuffer outBuffer(GetStdHandle(STD_OUTPUT_HANDLE));
    HandleBuffer errBuffer(GetStdHandle(STD_ERROR_HANDLE));
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    err.setf(std::ios::unitbuf);  // as std::cerr: each message at once
    // Progress goes to standard error, so it is shown when that is a console.
    const bool terminal = IsConsole(GetStdHandle(STD_ERROR_HANDLE));
    const int status = DeviceCommandMain(Utf8Words(argc, argv), out, err, terminal);
    out.flush();
    return status;
}

#else

int main(int argc, char* argv[]) {
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    // Progress goes to standard error, so it is shown when that is a terminal.
    const bool terminal = isatty(fileno(stderr)) != 0;
    return azk::devcmd::DeviceCommandMain(words, std::cout, std::cerr, terminal);
}

#endif

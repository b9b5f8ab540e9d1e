// DeviceCommandMain.cpp - process entry of the DeviceCommand tool.
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <io.h>
#define AZK_ISATTY _isatty
#define AZK_FILENO _fileno
#else
#include <unistd.h>
#define AZK_ISATTY isatty
#define AZK_FILENO fileno
#endif

#include "win/DeviceCommand/DeviceCommandApp.h"

int main(int argc, char* argv[]) {
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    // Progress goes to standard error, so it is shown when that is a terminal.
    const bool terminal = AZK_ISATTY(AZK_FILENO(stderr)) != 0;
    return azk::devcmd::DeviceCommandMain(words, std::cout, std::cerr, terminal);
}

// DeviceEmulatorMain.cpp - process entry of the DeviceEmulator tool.
#include <string>
#include <vector>

#include "emulator/EmulatorTool.h"

int main(int argc, char* argv[]) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return azk::RunDeviceEmulator(args);
}

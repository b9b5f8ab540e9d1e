// The built KeyConfig tool as a process: its exit status is the low byte of
// the result code, and what it prints matches the in-process front end.
#include <gtest/gtest.h>

#ifndef _WIN32
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "KeyConfigTestSupport.h"

namespace azk::test {
namespace {

struct ToolRun {
    int exitStatus;
    std::string output;
};

ToolRun RunTool(const std::string& arguments, const std::string& environment = "") {
    const std::string command = environment + "'" + AZK_KEYCONFIG_BINARY + "' " + arguments;
    ToolRun run{-1, {}};
    std::FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[512];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    const int status = pclose(pipe);
    if (status != -1 && WIFEXITED(status)) run.exitStatus = WEXITSTATUS(status);
    return run;
}

TEST(KeyConfigTool, UsageEndsWith0) {
    const ToolRun run = RunTool("-help");
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_EQ(run.output, ExpectedUsage("KeyConfig"));
}

TEST(KeyConfigTool, NoDeviceEndsWith252) {
    // With an empty private vhid directory and no speakerphone among the
    // kernel's HID devices, -4 leaves as 252.
    char dir[] = "/tmp/azk-keyconfig-test-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const ToolRun run = RunTool("-require", std::string("XDG_RUNTIME_DIR='") + dir + "' ");
    rmdir(dir);
    EXPECT_EQ(run.exitStatus, 252);
    EXPECT_EQ(run.output, "\nerror : connection error\n");
}

}  // namespace
}  // namespace azk::test
#endif

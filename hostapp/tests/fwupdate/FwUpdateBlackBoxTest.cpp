// FwUpdateBlackBoxTest.cpp - the built FwUpdate and FwImage tools as
// processes, FwUpdate against devices published by the built DeviceEmulator
// over vhid: standard output byte for byte, the exit status, and the
// emulator's trace (requests, and its verdict on the image it assembled).
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "FwTestSupport.h"
#include "ProcessRunner.h"

namespace azk::test {
namespace {

using Args = std::vector<std::string>;

const std::vector<azk_SEnvChange> kEnv = {{"LANG", "C.UTF-8"}, {"LC_ALL", "", true}, {"LC_CTYPE", "", true}};

struct ToolRun {
    int exitStatus;
    std::string out;
    std::vector<std::string> trace;
};

ToolRun Lines(const azk_SProcessResult& result) {
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.killed);
    ToolRun run{result.exitStatus, result.out, {}};
    std::istringstream lines(result.err);
    std::string line;
    while (std::getline(lines, line)) run.trace.push_back(line);
    return run;
}

// FwUpdate with `words` under DeviceEmulator --trace with `devices`.
ToolRun FwUpdateUnderEmulator(const Args& devices, const Args& words) {
    Args args = {AZK_DEVICE_EMULATOR_BINARY, "--trace"};
    args.insert(args.end(), devices.begin(), devices.end());
    args.push_back("--");
    args.push_back(AZK_FWUPDATE_BINARY);
    args.insert(args.end(), words.begin(), words.end());
    return Lines(RunProcess(args, kEnv));
}

ToolRun Tool(const char* binary, Args words) {
    words.insert(words.begin(), binary);
    return Lines(RunProcess(words, kEnv));
}

std::vector<std::string> Matching(const std::vector<std::string>& trace, const std::string& what) {
    std::vector<std::string> found;
    for (const std::string& line : trace) {
        if (line.find(what) != std::string::npos) found.push_back(line);
    }
    return found;
}

std::string Times(int n, const std::string& text) {
    std::string all;
    for (int i = 0; i < n; ++i) all += text;
    return all;
}

class FwUpdateBlackBoxTest : public ::testing::Test {
protected:
    // An image made by the FwImage tool itself.
    std::string MakeWithTool(const std::string& name, Args options) {
        const std::string file = scratch_.File(name);
        options.push_back(file);
        const ToolRun run = Tool(AZK_FWIMAGE_BINARY, options);
        EXPECT_EQ(run.exitStatus, 0) << run.out;
        return file;
    }
    azk_CScratch scratch_;
};

TEST_F(FwUpdateBlackBoxTest, UpdateThroughVhidIsVerifiedByTheEmulator) {
    struct Case {
        Args imageOptions;
        Args devices;
        Args words;  // before the image
        std::string head;
        std::string progress;
        std::string verdict;
    };
    const Case cases[] = {
        {{"--size", "30720"}, {}, {}, "(FWUP, 30720 bytes)\nupdating the device (variant 1) ...\n",
         "progress 21%\nprogress 46%\nprogress 72%\nprogress 100%\n",
         "[dev00] firmware update verified (kind code 0, 30720 bytes)"},
        {{"--kind", "dspa", "--size", "10240", "--trailer", "1"}, {"--variant", "2"}, {"--variant", "2"},
         "(DSPA, 10241 bytes)\nupdating the device (variant 2) ...\n", "progress 21%\nprogress 97%\nprogress 100%\n",
         "[dev00] firmware update verified (kind code 3, 10241 bytes)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.head);
        const std::string image = MakeWithTool("image.bin", c.imageOptions);
        Args words = c.words;
        words.push_back(image);
        const ToolRun run = FwUpdateUnderEmulator(c.devices, words);
        EXPECT_EQ(run.exitStatus, 0);
        EXPECT_EQ(run.out, "firmware image: " + image + " " + c.head + c.progress + "firmware update completed\n");
        EXPECT_EQ(Matching(run.trace, "firmware"), std::vector<std::string>{c.verdict});
    }
}

TEST_F(FwUpdateBlackBoxTest, RejectedImageOpensNoDevice) {
    const std::string image = MakeWithTool("bad.bin", {"--damage", "header-crc"});
    const ToolRun run = FwUpdateUnderEmulator({}, {image});
    EXPECT_EQ(run.exitStatus, 5);
    EXPECT_EQ(run.out.rfind("FwUpdate: '" + image + "' is not a valid firmware image: header CRC mismatch: ", 0), 0u)
        << run.out;
    EXPECT_TRUE(Matching(run.trace, "] request ").empty());
    EXPECT_TRUE(Matching(run.trace, "connected").empty());
}

TEST_F(FwUpdateBlackBoxTest, StepFailuresFromTheEmulatorsOptions) {
    const std::string image = MakeWithTool("image.bin", {"--size", "10240"});
    const std::string head = "firmware image: " + image + " (FWUP, 10240 bytes)\nupdating the device (variant 1) ...\n";
    const std::string failed = "FwUpdate: firmware update failed: ";
    struct Case {
        Args devices;
        int exitStatus;
        std::string afterHead;
        std::string requests;  // the functions requested, in order: S, L, W
        bool verified;
    };
    const Case cases[] = {
        {{"--fw-fail", "setinfo:3:0x10"}, 7,
         Times(3, "error : receive error response. (FU_SETINFO) [0x10]\n") + failed +
             "the device did not accept the announcement (FU_SETINFO) [-15]\n",
         "SSS", false},
        {{"--fw-fail", "fwload:5:49"}, 8,
         "progress 21%\n" + Times(5, "\nerror : receive error response. (FU_FWLOAD) [0x31]\n") + failed +
             "the device did not accept a transfer block (FU_FWLOAD) [-15]\n",
         "SLLLLL", false},
        {{"--fw-fail", "writefw:2:36"}, 9,
         "progress 21%\n" + Times(2, "\nerror : receive error response. (FU_WRITEFW) [0x24]\n") + failed +
             "the device did not commit a transfer block (FU_WRITEFW) [-16]\n",
         "SLWW", false},
        {{"--fw-bad-header", "setinfo:3"}, 10,
         Times(3, "error : invalid response header receive. (FU_SETINFO)\n") + failed +
             "the device answered with an unexpected response header [-12]\n",
         "SSS", false},
        {{"--fw-bad-header", "fwload:1", "--fw-fail", "fwload:1:7", "--fw-fail", "writefw:1:8"}, 0,
         "progress 21%\n\nerror : invalid response header receive. (FU_FWLOAD)\n"
         "\nerror : receive error response. (FU_FWLOAD) [0x07]\n"
         "\nerror : receive error response. (FU_WRITEFW) [0x08]\n"
         "progress 100%\nfirmware update completed\n",
         "SLLLWW", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.devices[1]);
        const ToolRun run = FwUpdateUnderEmulator(c.devices, {image});
        EXPECT_EQ(run.exitStatus, c.exitStatus);
        EXPECT_EQ(run.out, head + c.afterHead);
        std::string requests;
        for (const std::string& line : Matching(run.trace, "] request 00 0")) {
            const std::string function = line.substr(line.find("request 00 ") + 11, 5);
            requests.push_back(function == "00 09" ? 'S' : function == "01 09" ? 'L' : function == "03 09" ? 'W' : '?');
        }
        EXPECT_EQ(requests, c.requests);
        EXPECT_EQ(Matching(run.trace, "firmware update verified").size(), c.verified ? 1u : 0u);
    }
}

TEST_F(FwUpdateBlackBoxTest, NoDevice) {
    const std::string image = MakeWithTool("image.bin", {"--size", "1024"});
    const ToolRun run = FwUpdateUnderEmulator({"--devices", "0"}, {image});
    EXPECT_EQ(run.exitStatus, 6);
    EXPECT_EQ(run.out, "firmware image: " + image + " (FWUP, 1024 bytes)\nFwUpdate: no device found (variant 1)\n");
}

TEST_F(FwUpdateBlackBoxTest, CheckSoundAndDamagedImages) {
    struct Case {
        Args imageOptions;
        int exitStatus;
        std::string lastLine;
    };
    const Case cases[] = {
        {{"--kind", "uasp"}, 0, "image valid"},
        {{"--damage", "body-bit"}, 5, "image rejected: data CRC mismatch: "},
        {{"--damage", "unchecked-header"}, 5, "image rejected: header CRC mismatch: "},
        {{"--damage", "format"}, 4, "image rejected: format number 5, not 6"},
        {{"--damage", "short-file"}, 4, "image rejected: too short for a firmware image: 560 bytes, more than 560 needed"},
    };
    for (const Case& c : cases) {
        const std::string image = MakeWithTool("image.bin", c.imageOptions);
        const ToolRun run = Tool(AZK_FWUPDATE_BINARY, {"--check", image});
        EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out;
        EXPECT_EQ(run.out.rfind("file: " + image + "\nsize: ", 0), 0u) << run.out;
        const size_t last = run.out.rfind('\n', run.out.size() - 2);
        EXPECT_EQ(run.out.substr(last + 1).rfind(c.lastLine, 0), 0u) << run.out;
        EXPECT_EQ(run.trace, std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace azk::test

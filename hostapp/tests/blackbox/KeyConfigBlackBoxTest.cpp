// KeyConfigBlackBoxTest.cpp - the built KeyConfig tool, unmodified, against
// emulated speakerphones published by the built DeviceEmulator: standard
// output byte for byte, the exit status, and the requests the device saw
// (from the emulator's trace).
#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <sstream>

#include "KeyConfigTestSupport.h"
#include "ProcessRunner.h"

namespace azk::test {
namespace {

using Args = std::vector<std::string>;

constexpr const char* kUsage = "<usage>";  // stands for the usage text
const std::string kOk = "\nok : completed\n";
const std::string kGeneralError = "\nerror : general error\n";
const std::string kConnectionError = "\nerror : connection error\n";
const std::string kNotLocked = "\ncurrent key configs : \n  (not key locked)\n" + kOk;
const std::string kSet = "\nset key configs ... \n";
const std::string kReset = "\nreset key configs ... \n";

// The show output for a mask that is not 0x007F.
std::string Locked(const std::vector<const char*>& keys, bool se) {
    std::string text = "\ncurrent key configs : \n  locked key = \n";
    for (const char* key : keys) text += std::string("    ") + key + "\n";
    return text + "  se = " + (se ? "on" : "off") + "\n" + kOk;
}

// Key-lock requests as the emulator traces them: op, function, arg (SE),
// target, 0, length, lock mask.
std::string GetRequest(const char* device, int target) {
    return std::string("[") + device + "] request 02 36 00 00 0" + std::to_string(target) + " 00 00 00";
}
std::string SetRequest(const char* device, int se, const char* mask) {
    return std::string("[") + device + "] request 00 36 00 0" + std::to_string(se) + " 00 00 02 00 " + mask + " 00";
}

struct ToolRun {
    int exitStatus;
    std::string out;
    std::vector<std::string> trace;
    double seconds;
};

// Runs KeyConfig with `words` under DeviceEmulator with `devices`; with
// `unnumbered`, every described device numbers no reports.
ToolRun RunKeyConfig(Args devices, const Args& words, bool unnumbered) {
    Args args = {AZK_DEVICE_EMULATOR_BINARY, "--trace"};
    if (unnumbered) {
        Args marked = {"--unnumbered"};
        for (const std::string& word : devices) {
            marked.push_back(word);
            if (word == "--device") marked.push_back("--unnumbered");
        }
        devices = marked;
    }
    args.insert(args.end(), devices.begin(), devices.end());
    args.push_back("--");
    args.push_back(AZK_KEYCONFIG_BINARY);
    args.insert(args.end(), words.begin(), words.end());
    const azk_SProcessResult result =
        RunProcess(args, {{"LANG", "C.UTF-8"}, {"LC_ALL", "", true}, {"LC_CTYPE", "", true}});
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.killed);
    ToolRun run{result.exitStatus, result.out, {}, result.seconds};
    std::istringstream lines(result.err);
    std::string line;
    while (std::getline(lines, line)) run.trace.push_back(line);
    return run;
}

std::vector<std::string> Matching(const std::vector<std::string>& trace, const std::string& what) {
    std::vector<std::string> found;
    for (const std::string& line : trace) {
        if (line.find(what) != std::string::npos) found.push_back(line);
    }
    return found;
}

struct Case {
    const char* name;
    Args devices;  // DeviceEmulator device options
    Args words;    // KeyConfig's words
    std::string out;
    int exitStatus;
    std::vector<std::string> requests;  // every request, in order
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

std::vector<Case> Cases() {
    return {
        // Usage paths: nothing is opened.
        {"NoWords", {}, {}, kUsage, 0, {}},
        {"Help", {}, {"-help"}, kUsage, 0, {}},
        {"RequireThenHelp", {}, {"-require", "-help"}, kUsage, 0, {}},
        {"LockWithoutSe", {}, {"-lock", "Call"}, kUsage, 0, {}},
        {"SeWithoutLock", {}, {"-se", "on"}, kUsage, 0, {}},
        {"SeLast", {}, {"-lock", "Call", "-se"}, kUsage, 0, {}},
        {"SeInCapitals", {}, {"-lock", "Call", "-se", "ON"}, kUsage, 0, {}},
        {"KeyInOtherCase", {}, {"-lock", "call", "-se", "on"}, kUsage, 0, {}},
        {"UnknownWordAfterKeys", {}, {"-lock", "Call", "Volume", "-se", "on"}, kUsage, 0, {}},
        {"SecondLockAfterKeys", {}, {"-lock", "Call", "-lock", "VolUp", "-se", "on"}, kUsage, 0, {}},

        // Set.
        {"SetCall", {}, {"-lock", "Call", "-se", "on"}, kSet + kOk, 0, {SetRequest("dev00", 1, "7d")}},
        {"SetSeFirst", {}, {"-se", "off", "-lock", "Bluetooth", "VolUp", "SpMute"}, kSet + kOk, 0,
         {SetRequest("dev00", 0, "2e")}},
        {"SetNoKey", {}, {"-lock", "-se", "on"}, kSet + kOk, 0, {SetRequest("dev00", 1, "7f")}},
        {"SetKeyListsAddUp", {}, {"-lock", "Call", "-se", "on", "-lock", "VolUp"}, kSet + kOk, 0,
         {SetRequest("dev00", 1, "6d")}},
        {"SetLaterSeWins", {}, {"-lock", "Call", "Call", "-se", "off", "-se", "on"}, kSet + kOk, 0,
         {SetRequest("dev00", 1, "7d")}},
        {"SetAllKeys", {}, {"-lock", "Bluetooth", "Call", "MicMute", "VolDown", "VolUp", "SpMute", "-se", "off"},
         kSet + kOk, 0, {SetRequest("dev00", 0, "20")}},

        // Reset: the default read, then written as the configuration in force.
        {"Reset", {"--default-lock-mask", "0055", "--default-se", "0"}, {"-reset"}, kReset + kOk, 0,
         {GetRequest("dev00", 1), SetRequest("dev00", 0, "55")}},
        {"ResetWinsOverSet", {}, {"-reset", "-lock", "Call", "-se", "on"}, kReset + kOk, 0,
         {GetRequest("dev00", 1), SetRequest("dev00", 1, "7f")}},

        // Show, every form.
        {"ShowNothingLocked", {}, {"-require"}, kNotLocked, 0, {GetRequest("dev00", 0)}},
        {"ShowOnlyTheUnnamedBitClear", {"--lock-mask", "005f"}, {"-require"}, Locked({}, true), 0,
         {GetRequest("dev00", 0)}},
        {"ShowAllLocked", {"--lock-mask", "0000", "--se", "0"}, {"-require"},
         Locked({"Bluetooth", "Call", "MicMute", "VolDown", "VolUp", "SpMute"}, false), 0, {GetRequest("dev00", 0)}},
        // Messages that are no input report come before every report: dropped.
        {"ShowOverVhidJunk", {"--vhid-junk", "empty,length=3,length=40", "--lock-mask", "0000", "--se", "0"},
         {"-require"}, Locked({"Bluetooth", "Call", "MicMute", "VolDown", "VolUp", "SpMute"}, false), 0,
         {GetRequest("dev00", 0)}},
        {"SetOverVhidJunk", {"--vhid-junk", "empty,length=1"}, {"-lock", "Call", "-se", "on"}, kSet + kOk, 0,
         {SetRequest("dev00", 1, "7d")}},
        {"ShowHighBitsSet", {"--lock-mask", "00ff"}, {"-require"}, Locked({}, true), 0, {GetRequest("dev00", 0)}},
        {"ShowHighBitsAndCall", {"--lock-mask", "ff7d", "--se", "0"}, {"-require"}, Locked({"Call"}, false), 0,
         {GetRequest("dev00", 0)}},
        {"ShowWinsOverEverything", {"--lock-mask", "0036"}, {"-require", "-lock", "Call", "-se", "on", "-reset"},
         Locked({"Bluetooth", "VolDown", "SpMute"}, true), 0, {GetRequest("dev00", 0)}},
        {"ShowLateAnswer", {"--misbehave", "late=300"}, {"-require"}, kNotLocked, 0, {GetRequest("dev00", 0)}},

        // Which device: none, unsuitable, held, several.
        {"NoDevice", {"--devices", "0"}, {"-require"}, kConnectionError, 252, {}},
        {"Only64ByteDevice", {"--variant", "2"}, {"-require"}, kConnectionError, 252, {}},
        {"OnlyAnotherVendor", {"--vendor", "abcd"}, {"-require"}, kConnectionError, 252, {}},
        {"OnlyAnotherProduct", {"--product", "7e57"}, {"-lock", "Call", "-se", "on"}, kConnectionError, 252, {}},
        {"OnlyHeld", {"--held"}, {"-require"}, kConnectionError, 252, {}},
        {"OnlyRefusing", {"--refuse"}, {"-require"}, kConnectionError, 252, {}},
        {"HeldIsSkipped", {"--held", "--device", "--lock-mask", "007b"}, {"-require"}, Locked({"MicMute"}, true), 0,
         {GetRequest("dev01", 0)}},
        {"64ByteIsSkipped", {"--variant", "2", "--device", "--lock-mask", "006f"}, {"-require"},
         Locked({"VolUp"}, true), 0, {GetRequest("dev01", 0)}},
        {"FirstByFileName", {"--name", "b", "--lock-mask", "007d", "--device", "--name", "a", "--lock-mask", "0077"},
         {"-require"}, Locked({"VolDown"}, true), 0, {GetRequest("a", 0)}},
        {"FirstOfIdenticalDevices", {"--devices", "3"}, {"-lock", "SpMute", "-se", "off"}, kSet + kOk, 0,
         {SetRequest("dev00", 0, "3f")}},

        // Failures answered by the device.
        {"ShowFailed", {"--misbehave", "status=5"}, {"-require"}, kGeneralError, 255, {GetRequest("dev00", 0)}},
        {"SetFailed", {"--misbehave", "status=1,detail=2"}, {"-lock", "Call", "-se", "on"}, kSet + kGeneralError, 255,
         {SetRequest("dev00", 1, "7d")}},
        {"ResetReadFailedWritesNothing", {"--misbehave-once", "status=2"}, {"-reset"}, kReset + kGeneralError, 255,
         {GetRequest("dev00", 1)}},
        {"ResetWriteFailed", {"--misbehave-once", "none", "--misbehave-once", "status=3"}, {"-reset"},
         kReset + kGeneralError, 255, {GetRequest("dev00", 1), SetRequest("dev00", 1, "7f")}},
        {"WrongOp", {"--misbehave", "wrong-op"}, {"-require"}, kGeneralError, 255, {GetRequest("dev00", 0)}},
        {"WrongFunction", {"--misbehave", "wrong-function"}, {"-require"}, kGeneralError, 255,
         {GetRequest("dev00", 0)}},
        {"WrongLength", {"--misbehave", "wrong-length"}, {"-require"}, kGeneralError, 255, {GetRequest("dev00", 0)}},
        {"AnswerInAnEventReport", {"--misbehave", "event4"}, {"-require"}, kGeneralError, 255,
         {GetRequest("dev00", 0)}},

        // Event packets the device sends.
        {"EventOnConnect", {"--event", "1:2"}, {"-require"}, "Event Packet : event=0x01 stat=0x02\n" + kNotLocked, 0,
         {GetRequest("dev00", 0)}},
        {"SixteenBitEvent", {"--event", "3:0x1234"}, {"-require"},
         "Event Packet : event=0x03 stat=0x1234\n" + kNotLocked, 0, {GetRequest("dev00", 0)}},
        {"EventsInOrder", {"--event", "9:255", "--event", "5:7"}, {"-require"},
         "Event Packet : event=0x09 stat=0xff\nEvent Packet : event=0x05 stat=0x07\n" + kNotLocked, 0,
         {GetRequest("dev00", 0)}},
        {"UndecodedEventTypes", {"--event", "0:1", "--event", "6:1", "--event", "10:1", "--event", "255:1"},
         {"-require"}, kNotLocked, 0, {GetRequest("dev00", 0)}},
        {"EventBetweenTwoCommands", {"--event", "7:3@1"}, {"-reset"},
         kReset + "Event Packet : event=0x07 stat=0x03\n" + kOk, 0,
         {GetRequest("dev00", 1), SetRequest("dev00", 1, "7f")}},
    };
}

class KeyConfigBlackBoxTest : public ::testing::TestWithParam<std::tuple<Case, bool>> {};

TEST_P(KeyConfigBlackBoxTest, OutputExitStatusAndRequests) {
    const Case& c = std::get<0>(GetParam());
    const ToolRun run = RunKeyConfig(c.devices, c.words, std::get<1>(GetParam()));
    const std::string expected = c.out == kUsage ? ExpectedUsage("KeyConfig") : c.out;
    EXPECT_EQ(run.out, expected);
    EXPECT_EQ(run.exitStatus, c.exitStatus);
    EXPECT_EQ(Matching(run.trace, "] request "), c.requests);
    if (c.out == kUsage) {
        // A usage path opens no session: no device was even connected to.
        EXPECT_TRUE(Matching(run.trace, "connect").empty());
    }
    if (HasFailure()) {
        for (const std::string& line : run.trace) std::cout << "  trace: " << line << "\n";
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyConfigBlackBoxTest,
                         ::testing::Combine(::testing::ValuesIn(Cases()), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<Case, bool>>& p) {
                             return std::string(std::get<0>(p.param).name) +
                                    (std::get<1>(p.param) ? "_Unnumbered" : "_Numbered");
                         });

// A device that goes away in the middle of a command ends it at once with
// a general error, long before the command's 5-second time-out; the
// device-lost event prints nothing.
struct UnplugCase {
    const char* name;
    Args devices;
    Args words;
    std::string out;
};

void PrintTo(const UnplugCase& c, std::ostream* os) { *os << c.name; }

class KeyConfigUnplugTest : public ::testing::TestWithParam<UnplugCase> {};

TEST_P(KeyConfigUnplugTest, EndsTheCommandPromptly) {
    const UnplugCase& c = GetParam();
    const ToolRun run = RunKeyConfig(c.devices, c.words, false);
    EXPECT_EQ(run.out, c.out);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(std::count(run.trace.begin(), run.trace.end(), "[dev00] unplug"), 1);
    EXPECT_LT(run.seconds, 3.0);
}

INSTANTIATE_TEST_SUITE_P(Cases, KeyConfigUnplugTest,
                         ::testing::Values(UnplugCase{"BeforeTheAnswer", {"--misbehave", "silent,unplug-after=1"},
                                                      {"-require"}, kGeneralError},
                                           UnplugCase{"BetweenTwoCommands", {"--misbehave", "unplug-after=1"},
                                                      {"-reset"}, kReset + kGeneralError}),
                         [](const ::testing::TestParamInfo<UnplugCase>& p) { return p.param.name; });

// The one run that shows a real command time-out, 5000 ms, end to end; the
// suites of the session check the other lengths with shortened time-outs.
TEST(KeyConfigBlackBox, SilentDeviceCostsTheTimeOut) {
    const ToolRun run = RunKeyConfig({"--misbehave", "silent"}, {"-require"}, false);
    EXPECT_GE(run.seconds, 5.0);
    EXPECT_LT(run.seconds, 5.0 + 3.0);  // start-up of both programs, on a loaded machine
    EXPECT_EQ(run.out, kGeneralError);
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_EQ(Matching(run.trace, "] request ").size(), 1u);
    EXPECT_TRUE(Matching(run.trace, "] response ").empty());
}

}  // namespace
}  // namespace azk::test

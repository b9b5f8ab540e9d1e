// The front end run in process against a scripted device on the sim bus:
// which command lines lead to which requests, what each action prints, and
// how failures end.
#include <gtest/gtest.h>

#include <cstdint>
#include <initializer_list>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "KeyConfigTestSupport.h"
#include "transport/platform/sim/SimPlatform.h"
#include "win/KeyConfig/KeyConfigApp.h"

namespace azk::test {
namespace {

using Bytes = std::vector<uint8_t>;

// Output and input reports of the 16-byte variant, report ID byte first.
constexpr size_t kReportBytes = 17;

Bytes Report(std::initializer_list<uint8_t> head) {
    Bytes report(head);
    report.resize(kReportBytes, 0);
    return report;
}

uint8_t Low(uint16_t v) { return static_cast<uint8_t>(v & 0xFF); }
uint8_t High(uint16_t v) { return static_cast<uint8_t>(v >> 8); }

// Requests as the host writes them: report ID 0, marker 0x80, the message.
Bytes GetRequest(uint8_t target) { return Report({0x00, 0x80, 0x02, 0x36, 0x00, 0x00, target, 0x00, 0x00, 0x00}); }
Bytes SetRequest(uint8_t se, uint16_t mask) {
    return Report({0x00, 0x80, 0x00, 0x36, 0x00, se, 0x00, 0x00, 0x02, 0x00, Low(mask), High(mask)});
}

// Replies as the device sends them: report ID 0, marker 0x83, the message.
Bytes GetReply(uint8_t se, uint16_t mask, uint8_t status = 0) {
    return Report({0x00, 0x83, 0x03, 0x36, 0x00, se, status, 0x00, 0x02, 0x00, Low(mask), High(mask)});
}
Bytes SetAck(uint8_t status = 0) { return Report({0x00, 0x83, 0x01, 0x36, 0x00, 0x00, status, 0x00, 0x00, 0x00}); }
Bytes EventReport(uint8_t type, uint8_t b1, uint8_t b2 = 0) { return Report({0x00, 0x90, type, b1, b2}); }

// The configurations the scripted device holds.
constexpr uint8_t kInForceSe = 1;
constexpr uint16_t kInForceMask = 0x007F;
constexpr uint8_t kDefaultSe = 0;
constexpr uint16_t kDefaultMask = 0x0055;

const char* const kOk = "\nok : completed\n";
const char* const kGeneralError = "\nerror : general error\n";

// One scripted exchange: the exact report the device expects and the
// reports it answers with (or an unplug instead of an answer).
struct Exchange {
    Bytes request;
    std::vector<Bytes> replies;
    bool unplug = false;
};

class KeyConfigDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureConsoleLocale();
        sim::SimBus::Instance().Clear();
        device_ = sim::SimBus::Instance().AddDevice(sim::VendorDeviceSpec(AZK_VENDOR_ID, AZK_PRODUCT_ID, 16));
        device_->SetOutputHandler([this](const uint8_t* report, size_t length) {
            Answer(Bytes(report, report + length));
        });
    }

    void TearDown() override {
        device_->SetOutputHandler(nullptr);
        sim::SimBus::Instance().Clear();
    }

    void Script(std::vector<Exchange> exchanges) {
        for (Exchange& e : exchanges) script_.push_back(std::move(e));
    }

    // A device holding kInForce* as the configuration in force and kDefault*
    // as its default, accepting the given set request.
    void ScriptKeyLockDevice(const Bytes& acceptedSet) {
        Script({{GetRequest(0), {GetReply(kInForceSe, kInForceMask)}},
                {GetRequest(1), {GetReply(kDefaultSe, kDefaultMask)}},
                {acceptedSet, {SetAck()}}});
    }

    struct RunOutcome {
        int32_t result;
        std::string output;
    };

    RunOutcome Run(const std::vector<std::wstring>& words) {
        azk_CFrontEndCapture capture;
        EXPECT_TRUE(capture.Ok());
        const int32_t result = RunKeyConfig(L"KeyConfig", words);
        return {result, capture.Finish()};
    }

    std::shared_ptr<sim::SimDevice> device_;

private:
    // Runs on the writing thread (the one inside SessionExec).
    void Answer(const Bytes& report) {
        for (const Exchange& e : script_) {
            if (e.request != report) continue;
            if (e.unplug) {
                device_->Unplug();
                return;
            }
            for (const Bytes& reply : e.replies) device_->SendInput(reply);
            return;
        }
        // An unscripted request is refused at once (status 0xEE), so that a
        // wrong request fails the test without waiting for a time-out.
        const uint8_t op = report.size() > 2 ? static_cast<uint8_t>(report[2] + 1) : 0;
        device_->SendInput(Report({0x00, 0x83, op, 0x36, 0x00, 0x00, 0xEE}));
    }

    std::vector<Exchange> script_;
};

// Test names from the cases' labels.
template <typename Case>
std::string CaseLabel(const ::testing::TestParamInfo<Case>& param) {
    return param.param.label;
}

// ------------------------------------------------------------- parse table

struct ParseCase {
    const char* label;
    std::vector<std::wstring> words;
    KeyConfigAction action;
    uint16_t lockMask;  // what the set action sends
    uint8_t seValue;
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.label; }

class KeyConfigParseTable : public KeyConfigDeviceTest, public ::testing::WithParamInterface<ParseCase> {};

TEST_P(KeyConfigParseTable, ChoosesTheActionAndSendsExactlyItsRequests) {
    const ParseCase& c = GetParam();

    const KeyConfigCommand parsed = ParseArguments(c.words);
    ASSERT_EQ(parsed.action, c.action);
    if (c.action == KeyConfigAction::Set) {
        EXPECT_EQ(parsed.lockMask, c.lockMask);
        EXPECT_EQ(parsed.seValue, c.seValue);
    }

    const Bytes setRequest =
        c.action == KeyConfigAction::Reset ? SetRequest(kDefaultSe, kDefaultMask) : SetRequest(c.seValue, c.lockMask);
    ScriptKeyLockDevice(setRequest);
    const RunOutcome run = Run(c.words);

    std::vector<Bytes> expectedWrites;
    std::string expectedOutput;
    switch (c.action) {
    case KeyConfigAction::Usage:
        expectedOutput = ExpectedUsage("KeyConfig");
        // No session: the bus was never listed and the device never opened.
        EXPECT_EQ(sim::SimBus::Instance().ListCount(), 0);
        EXPECT_EQ(device_->OpenCount(), 0);
        break;
    case KeyConfigAction::Show:
        expectedWrites = {GetRequest(0)};
        expectedOutput = std::string("\ncurrent key configs : \n  (not key locked)\n") + kOk;
        break;
    case KeyConfigAction::Reset:
        // The default configuration is read (target 1) and written as the
        // configuration in force (target 0).
        expectedWrites = {GetRequest(1), setRequest};
        expectedOutput = std::string("\nreset key configs ... \n") + kOk;
        break;
    case KeyConfigAction::Set:
        expectedWrites = {setRequest};
        expectedOutput = std::string("\nset key configs ... \n") + kOk;
        break;
    }
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, expectedOutput);
    EXPECT_EQ(device_->WrittenReports(), expectedWrites);
    if (c.action != KeyConfigAction::Usage) {
        EXPECT_GT(device_->OpenCount(), 0);
        EXPECT_EQ(device_->OpenHandles(), 0);  // the session was freed
    }
}

constexpr auto kUsage = KeyConfigAction::Usage;
constexpr auto kShow = KeyConfigAction::Show;
constexpr auto kReset = KeyConfigAction::Reset;
constexpr auto kSet = KeyConfigAction::Set;

const ParseCase kParseCases[] = {
    {"NoWords", {}, kUsage, 0, 0},
    {"Help", {L"-help"}, kUsage, 0, 0},
    {"Require", {L"-require"}, kShow, 0, 0},
    {"Reset", {L"-reset"}, kReset, 0, 0},
    {"LockCallSeOn", {L"-lock", L"Call", L"-se", L"on"}, kSet, 0x007D, 1},
    {"SeFirstThenThreeKeys", {L"-se", L"off", L"-lock", L"Bluetooth", L"VolUp", L"SpMute"}, kSet, 0x002E, 0},
    {"LockNoKeysUnlocksAll", {L"-lock", L"-se", L"on"}, kSet, 0x007F, 1},
    {"LockAtTheEndWithNoKeys", {L"-se", L"off", L"-lock"}, kSet, 0x007F, 0},
    {"AllKeysKeepTheUnnamedBit",
     {L"-lock", L"Bluetooth", L"Call", L"MicMute", L"VolDown", L"VolUp", L"SpMute", L"-se", L"off"},
     kSet,
     0x0020,
     0},
    {"RepeatedKeyChangesNothing", {L"-lock", L"Call", L"Call", L"-se", L"on"}, kSet, 0x007D, 1},
    {"KeyListsAddUp", {L"-lock", L"Call", L"-se", L"on", L"-lock", L"VolUp"}, kSet, 0x006D, 1},
    {"LaterSeValueWins", {L"-se", L"on", L"-se", L"off", L"-lock", L"Call"}, kSet, 0x007D, 0},
    {"LockAloneIsIncomplete", {L"-lock", L"Call"}, kUsage, 0, 0},
    {"SeAloneIsIncomplete", {L"-se", L"on"}, kUsage, 0, 0},
    {"UnknownWordEndsKeyList", {L"-lock", L"Call", L"Home", L"-se", L"on"}, kUsage, 0, 0},
    {"SecondLockRightAfterKeyList", {L"-lock", L"Call", L"-lock", L"VolUp", L"-se", L"on"}, kUsage, 0, 0},
    {"LockRightAfterLock", {L"-lock", L"-lock", L"-se", L"on"}, kUsage, 0, 0},
    {"KeyNameInOtherCase", {L"-lock", L"call", L"-se", L"on"}, kUsage, 0, 0},
    {"SeAsLastWord", {L"-lock", L"Call", L"-se"}, kUsage, 0, 0},
    {"SeValueInCapitals", {L"-lock", L"Call", L"-se", L"ON"}, kUsage, 0, 0},
    {"SeValueIsAnOption", {L"-se", L"-lock", L"Call"}, kUsage, 0, 0},
    {"OptionInCapitals", {L"-REQUIRE"}, kUsage, 0, 0},
    {"EmptyWord", {L""}, kUsage, 0, 0},
    {"KeyNameWithoutLock", {L"Call"}, kUsage, 0, 0},
    {"RequireWinsOverSet", {L"-require", L"-lock", L"Call", L"-se", L"on"}, kShow, 0, 0},
    {"RequireWinsOverReset", {L"-reset", L"-require"}, kShow, 0, 0},
    {"ResetWinsOverSet", {L"-reset", L"-lock", L"Call", L"-se", L"on"}, kReset, 0, 0},
    {"ResetAfterSet", {L"-lock", L"Call", L"-se", L"off", L"-reset"}, kReset, 0, 0},
    {"HelpAfterAnAction", {L"-require", L"-help"}, kUsage, 0, 0},
    {"UnknownWordAfterAnAction", {L"-require", L"-x"}, kUsage, 0, 0},
};

INSTANTIATE_TEST_SUITE_P(Words, KeyConfigParseTable, ::testing::ValuesIn(kParseCases),
                         CaseLabel<ParseCase>);

// ------------------------------------------------------------ show output

struct ShowCase {
    const char* label;
    uint8_t seFlag;
    uint16_t lockMask;
    const char* lines;  // what follows the heading
};

void PrintTo(const ShowCase& c, std::ostream* os) { *os << c.label; }

class KeyConfigShowForms : public KeyConfigDeviceTest, public ::testing::WithParamInterface<ShowCase> {};

TEST_P(KeyConfigShowForms, PrintsTheConfigurationRead) {
    const ShowCase& c = GetParam();
    Script({{GetRequest(0), {GetReply(c.seFlag, c.lockMask)}}});
    const RunOutcome run = Run({L"-require"});
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, std::string("\ncurrent key configs : \n") + c.lines + kOk);
    EXPECT_EQ(device_->WrittenReports(), std::vector<Bytes>{GetRequest(0)});
}

const ShowCase kShowCases[] = {
    {"NothingLocked", 1, 0x007F, "  (not key locked)\n"},
    {"NothingLockedSeOff", 0, 0x007F, "  (not key locked)\n"},
    {"OnlyTheUnnamedBitClear", 1, 0x005F, "  locked key = \n  se = on\n"},
    {"EverythingLocked", 0, 0x0000,
     "  locked key = \n    Bluetooth\n    Call\n    MicMute\n    VolDown\n    VolUp\n    SpMute\n  se = off\n"},
    {"SomeKeysLocked", 1, 0x002E, "  locked key = \n    Bluetooth\n    VolUp\n    SpMute\n  se = on\n"},
    // Bits above bit 6 make the mask differ from 0x007F: the listing follows.
    {"HighBitsOnly", 1, 0xFF7F, "  locked key = \n  se = on\n"},
    {"HighBitAndCallLocked", 2, 0x807D, "  locked key = \n    Call\n  se = on\n"},
};

INSTANTIATE_TEST_SUITE_P(Masks, KeyConfigShowForms, ::testing::ValuesIn(kShowCases),
                         CaseLabel<ShowCase>);

// --------------------------------------------------------------- failures

struct FailureCase {
    const char* label;
    std::vector<std::wstring> words;
    std::vector<Exchange> script;
    std::vector<Bytes> writes;
    std::string output;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.label; }

class KeyConfigFailures : public KeyConfigDeviceTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(KeyConfigFailures, EndWithGeneralError) {
    const FailureCase& c = GetParam();
    Script(c.script);
    const RunOutcome run = Run(c.words);
    EXPECT_EQ(run.result, -1);
    EXPECT_EQ(run.output, c.output);
    EXPECT_EQ(device_->WrittenReports(), c.writes);
    EXPECT_EQ(device_->OpenHandles(), 0);
}

const FailureCase kFailureCases[] = {
    {"ShowRefusedByDevice",
     {L"-require"},
     {{GetRequest(0), {GetReply(1, 0x007F, 0x02)}}},
     {GetRequest(0)},
     kGeneralError},
    {"ShowAnsweredWithASetAck", {L"-require"}, {{GetRequest(0), {SetAck()}}}, {GetRequest(0)}, kGeneralError},
    // The device goes away instead of answering; the device-lost event
    // prints nothing.
    {"ShowDeviceLost", {L"-require"}, {{GetRequest(0), {}, true}}, {GetRequest(0)}, kGeneralError},
    {"SetRefusedByDevice",
     {L"-lock", L"Call", L"-se", L"on"},
     {{SetRequest(1, 0x007D), {SetAck(0x02)}}},
     {SetRequest(1, 0x007D)},
     std::string("\nset key configs ... \n") + kGeneralError},
    // A failed read of the default configuration writes nothing.
    {"ResetReadRefused",
     {L"-reset"},
     {{GetRequest(1), {GetReply(kDefaultSe, kDefaultMask, 0x05)}}},
     {GetRequest(1)},
     std::string("\nreset key configs ... \n") + kGeneralError},
    {"ResetWriteRefused",
     {L"-reset"},
     {{GetRequest(1), {GetReply(kDefaultSe, kDefaultMask)}}, {SetRequest(kDefaultSe, kDefaultMask), {SetAck(0x02)}}},
     {GetRequest(1), SetRequest(kDefaultSe, kDefaultMask)},
     std::string("\nreset key configs ... \n") + kGeneralError},
};

INSTANTIATE_TEST_SUITE_P(Device, KeyConfigFailures, ::testing::ValuesIn(kFailureCases),
                         CaseLabel<FailureCase>);

TEST_F(KeyConfigDeviceTest, NoDeviceIsAConnectionErrorWithNoHeading) {
    sim::SimBus::Instance().Clear();
    const std::vector<std::wstring> commandLines[] = {
        {L"-require"},
        {L"-reset"},
        {L"-lock", L"Call", L"-se", L"on"},
    };
    for (const auto& words : commandLines) {
        const int listedBefore = sim::SimBus::Instance().ListCount();
        const RunOutcome run = Run(words);
        EXPECT_EQ(run.result, -4);
        EXPECT_EQ(run.output, "\nerror : connection error\n");
        EXPECT_GT(sim::SimBus::Instance().ListCount(), listedBefore);  // a session was tried
    }
}

TEST_F(KeyConfigDeviceTest, EventPacketsArePrintedWhileTheSessionIsOpen) {
    Script({{GetRequest(0),
             {EventReport(1, 0x05), EventReport(3, 0x12, 0x34), EventReport(6, 0x01),
              GetReply(kInForceSe, kInForceMask)}}});
    const RunOutcome run = Run({L"-require"});
    EXPECT_EQ(run.result, 0);
    // The receiver prints each event before it reads the reply behind it.
    EXPECT_EQ(run.output,
              std::string("Event Packet : event=0x01 stat=0x05\n"
                          "Event Packet : event=0x03 stat=0x1234\n"
                          "\ncurrent key configs : \n  (not key locked)\n") +
                  kOk);
}

}  // namespace
}  // namespace azk::test

// DeviceCommandBlackBoxTest.cpp - the built DeviceCommand tool against
// emulated speakerphones published by the built DeviceEmulator: its JSON
// documents, its exit statuses, and what the device saw (the emulator's trace).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "ProcessRunner.h"

namespace azk::test {
namespace {

using Args = std::vector<std::string>;
using Json = nlohmann::json;

const std::string kTool = AZK_DEVICE_COMMAND_BINARY;

// Runs `command` under DeviceEmulator --trace with `devices`; $D is the tool.
azk_SProcessResult RunUnderEmulator(const Args& devices, const Args& command) {
    Args args = {AZK_DEVICE_EMULATOR_BINARY, "--trace"};
    args.insert(args.end(), devices.begin(), devices.end());
    args.push_back("--");
    args.insert(args.end(), command.begin(), command.end());
    const azk_SProcessResult result = RunProcess(args, {{"D", kTool}});
    EXPECT_TRUE(result.started);
    EXPECT_FALSE(result.killed);
    return result;
}

// One shell script, which runs the tool as "$D".
azk_SProcessResult RunUnderEmulator(const Args& devices, const std::string& script) {
    return RunUnderEmulator(devices, Args{"/bin/sh", "-c", script});
}

// The tool with `words`.
azk_SProcessResult RunTool(const Args& devices, Args words) {
    words.insert(words.begin(), kTool);
    return RunUnderEmulator(devices, words);
}

// Several JSON documents separated by lines of "@@".
std::vector<Json> Documents(const std::string& out) {
    std::vector<Json> documents;
    size_t start = 0;
    for (;;) {
        const size_t end = out.find("@@\n", start);
        const std::string part = out.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (part.find_first_not_of(" \n") != std::string::npos) documents.push_back(Json::parse(part));
        if (end == std::string::npos) return documents;
        start = end + 3;
    }
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(DeviceCommandBlackBox, ListShowsWhyAnInterfaceCannotBeOpened) {
    // dev00 usable, dev01 held by another program, dev02 the variant-1
    // product ID with 64-byte reports, dev03 a variant-2 device.
    const Args devices = {"--device", "--held", "--device", "--variant", "2", "--product",
                          std::to_string(AZK_PRODUCT_ID), "--device", "--variant", "2"};
    const azk_SProcessResult run = RunTool(devices, {"--json", "list"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const Json json = Json::parse(run.out);
    ASSERT_EQ(json["count"], 4) << run.out;
    const Json& list = json["devices"];

    EXPECT_EQ(list[0]["state"], "usable");
    EXPECT_EQ(list[0]["index"], 0);
    EXPECT_EQ(list[0]["variant"], 1);
    EXPECT_EQ(list[0]["inputReportLength"], 17);
    EXPECT_TRUE(list[0]["reason"].is_null());
    EXPECT_NE(list[0]["path"].get<std::string>().find("dev00.sock"), std::string::npos);

    EXPECT_EQ(list[1]["state"], "held");
    EXPECT_FALSE(list[1]["usable"].get<bool>());
    EXPECT_TRUE(list[1]["index"].is_null());
    EXPECT_EQ(list[1]["reason"], "held by another program");

    EXPECT_EQ(list[2]["state"], "report-lengths");
    EXPECT_EQ(list[2]["variant"], 1);
    EXPECT_EQ(list[2]["inputReportLength"], 65);
    EXPECT_NE(list[2]["reason"].get<std::string>().find("65/65 do not fit variant 1"), std::string::npos);

    EXPECT_EQ(list[3]["state"], "usable");
    EXPECT_EQ(list[3]["variant"], 2);
    EXPECT_EQ(list[3]["index"], 0);

    // --variant picks that variant's interfaces, and the text form names the reasons.
    const azk_SProcessResult text = RunTool(devices, {"--variant", "1", "list"});
    ASSERT_EQ(text.exitStatus, 0);
    EXPECT_EQ(Count(text.out, "usable: --variant 1 --index 0"), 1u) << text.out;
    EXPECT_EQ(Count(text.out, "held by another program"), 1u) << text.out;
    EXPECT_EQ(Count(text.out, "do not fit variant 1"), 1u) << text.out;
    EXPECT_EQ(Count(text.out, "dev03"), 0u) << text.out;
}

TEST(DeviceCommandBlackBox, KeylockApplyChangesOnceThenLeavesTheDeviceAlone) {
    const azk_SProcessResult run = RunUnderEmulator(
        {"--lock-mask", "7f", "--se", "1"},
        "\"$D\" --json keylock apply --lock Call VolUp --se off; echo \"@@ $?\";"
        "\"$D\" --json keylock apply --lock Call VolUp --se off; echo \"@@ $?\";"
        "\"$D\" --json keylock show");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(Count(run.out, "@@ 0\n"), 2u) << run.out;
    std::string out = run.out;
    for (size_t at; (at = out.find("@@ 0\n")) != std::string::npos;) out.replace(at, 5, "@@\n");
    const std::vector<Json> documents = Documents(out);
    ASSERT_EQ(documents.size(), 3u) << run.out;
    EXPECT_EQ(documents[0]["changed"], true);
    EXPECT_EQ(documents[0]["before"]["lockMask"], 0x7F);
    EXPECT_EQ(documents[0]["after"]["lockMask"], 0x6D);
    EXPECT_EQ(documents[1]["changed"], false);
    EXPECT_EQ(documents[2]["locked"], (Json{"Call", "VolUp"}));
    EXPECT_EQ(documents[2]["se"], false);
    // One write in all: the request 00 36 (set) with SE 0 and mask 0x6D.
    EXPECT_EQ(Count(run.err, "request 00 36 00 00 00 00 02 00 6d 00"), 1u) << run.err;
    EXPECT_EQ(Count(run.err, "request 00 36"), 1u) << run.err;
}

TEST(DeviceCommandBlackBox, KeylockSetAndResetWriteTheConfigurationInForce) {
    const azk_SProcessResult run = RunUnderEmulator(
        {"--default-lock-mask", "2f", "--default-se", "0"},
        "\"$D\" --json keylock set --lock MicMute --se on; echo @@;"
        "\"$D\" --json keylock reset; echo @@; \"$D\" --json keylock show");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<Json> documents = Documents(run.out);
    ASSERT_EQ(documents.size(), 3u) << run.out;
    EXPECT_EQ(documents[0]["lockMask"], 0x7B);
    EXPECT_EQ(documents[1]["lockMask"], 0x2F);
    EXPECT_EQ(documents[2]["lockMask"], 0x2F);
    EXPECT_EQ(documents[2]["locked"], (Json{"VolUp", "SpMute"}));
    EXPECT_EQ(documents[2]["se"], false);
}

// A standard output that cannot be written (a full disk, closed) is a
// failure of its own, said on standard error, after the device was changed.
TEST(DeviceCommandBlackBox, AStandardOutputThatCannotBeWrittenIsAFileFailure) {
    const azk_SProcessResult run = RunUnderEmulator(
        {"--lock-mask", "7f"},
        "\"$D\" keylock set --lock Call --se on >/dev/full; echo \"@@ $?\";"
        "\"$D\" --json keylock set --lock VolUp --se on >/dev/full; echo \"@@ $?\";"
        "\"$D\" keylock show >&-; echo \"@@ $?\"; \"$D\" --json keylock show");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    EXPECT_EQ(run.out.substr(0, run.out.find('{')), "@@ 8\n@@ 8\n@@ 8\n") << run.out;
    EXPECT_EQ(Count(run.err, "DeviceCommand: cannot write standard output\n"), 3u) << run.err;
    EXPECT_EQ(Json::parse(run.out.substr(run.out.find('{')))["locked"], Json{"VolUp"}) << run.out;
}

struct FailureCase {
    const char* name;
    Args devices;
    Args words;
    int exitStatus;
    int result;
    const char* resultName;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class DeviceCommandFailures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(DeviceCommandFailures, AreOneJsonDocumentWithTheResultAndADistinctExitStatus) {
    const FailureCase& c = GetParam();
    const azk_SProcessResult run = RunTool(c.devices, c.words);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out << run.err;
    const Json json = Json::parse(run.out);
    EXPECT_EQ(json["ok"], false);
    EXPECT_EQ(json["error"]["result"], c.result);
    EXPECT_EQ(json["error"]["name"], c.resultName);
    EXPECT_EQ(json["exitStatus"], c.exitStatus);
    if (c.result == -13) {
        EXPECT_EQ(json["error"]["status"], 5);
        EXPECT_EQ(json["error"]["detail"], 1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DeviceCommandFailures,
    ::testing::Values(
        FailureCase{"NoDevice", {"--devices", "0"}, {"--json", "keylock", "show"}, 3, -4, "CONNECTION"},
        FailureCase{"IndexPastTheDevices", {}, {"--json", "--index", "1", "keylock", "show"}, 3, -4, "CONNECTION"},
        FailureCase{"OnlyHeld", {"--held"}, {"--json", "keylock", "show"}, 3, -4, "CONNECTION"},
        FailureCase{"DeviceStatus", {"--misbehave", "status=5,detail=1"},
                    {"--json", "keylock", "apply", "--lock", "--se", "on"}, 4, -13, "DEVICE_STATUS"},
        FailureCase{"WrongOp", {"--misbehave", "wrong-op"}, {"--json", "exec", "15"}, 6, -12, "BAD_RESPONSE"},
        FailureCase{"NoAnswer", {"--misbehave", "silent"}, {"--json", "keylock", "show"}, 5, -7, "TIMEOUT"},
        FailureCase{"UnknownField", {}, {"--json", "exec", "1", "9=1"}, 2, -2, "PARAMETER"},
        FailureCase{"RawLengthMismatch", {}, {"--json", "raw", "02 36 00 00 00 00 01 00"}, 2, -2, "PARAMETER"},
        FailureCase{"MissingFile", {}, {"--json", "write-block", "/nonexistent/in.bin", "--address", "0"}, 8, -1,
                    "GENERAL"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST(DeviceCommandBlackBox, ExecNamesTheFieldsOfTheResult) {
    const azk_SProcessResult run = RunUnderEmulator(
        {}, "\"$D\" exec 1 0=0x2a && \"$D\" exec 25 '0-19=Room 12' && \"$D\" --json exec 2; echo @@;"
            "\"$D\" --json exec 26; echo @@; \"$D\" exec 2");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    // Text mode output of the sets comes first: "ok" twice.
    const size_t json = run.out.find('{');
    ASSERT_NE(json, std::string::npos) << run.out;
    EXPECT_EQ(run.out.substr(0, json), "ok\nok\n");
    const std::vector<Json> documents = Documents(run.out.substr(json, run.out.rfind("@@\n") - json + 3));
    ASSERT_EQ(documents.size(), 2u) << run.out;
    EXPECT_EQ(documents[0]["fields"]["0"]["value"], 42);
    EXPECT_EQ(documents[0]["fields"]["0"]["hex"], "0x2A");
    EXPECT_EQ(documents[1]["fields"]["0-19"], "Room 12");
    EXPECT_NE(run.out.find("0 = 42 (0x2A)\n"), std::string::npos) << run.out;
    EXPECT_NE(run.err.find("request 00 01 00 2a"), std::string::npos) << run.err;
}

TEST(DeviceCommandBlackBox, RawSendsTheMessageAndShowsTheWholeAnswer) {
    const azk_SProcessResult run =
        RunTool({"--lock-mask", "5a", "--se", "1"}, {"--json", "raw", "02 36 00 00 00 00 00 00"});
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const Json json = Json::parse(run.out);
    EXPECT_EQ(json["response"], "03 36 00 01 00 00 02 00 5a 00");
    EXPECT_EQ(json["op"], 3);
    EXPECT_EQ(json["function"], "0x0036");
    EXPECT_EQ(json["length"], 2);
}

TEST(DeviceCommandBlackBox, BlocksGoThroughFilesInSeveralCommands) {
    char dir[] = "/tmp/azk-devcmd-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string in = std::string(dir) + "/in.bin";
    const std::string out = std::string(dir) + "/out.bin";
    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 7 + 3) & 0xFF);
    std::ofstream(in, std::ios::binary) << bytes;

    const azk_SProcessResult run = RunUnderEmulator(
        {}, "\"$D\" --json write-block " + in + " --address 0x100 && echo @@ && \"$D\" --json read-block " + out +
                " --address 0x100 --count 5000");
    ASSERT_EQ(run.exitStatus, 0) << run.err;
    const std::vector<Json> documents = Documents(run.out);
    ASSERT_EQ(documents.size(), 2u) << run.out;
    EXPECT_EQ(documents[0]["count"], 5000);
    EXPECT_EQ(documents[1]["address"], 256);
    std::ifstream file(out, std::ios::binary);
    const std::string back((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(back, bytes);
    // 4096 bytes, then 904 at 0x1100: two writes and two reads.
    EXPECT_EQ(Count(run.err, "request 00 00 08 00 00 00 06 10 00 01 00 00 00 10"), 1u) << run.err;
    EXPECT_EQ(Count(run.err, "request 02 00 08 00 00 00 06 00 00 11 00 00 88 03"), 1u) << run.err;
    std::remove(in.c_str());
    std::remove(out.c_str());
    ::rmdir(dir);
}

std::string ReadAll(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
}

// What FILE is before a read: nothing, a file, or a link to a file.
enum class Before { Nothing, File, Link };

struct ReadIntoCase {
    const char* name;
    Before before;
};

void PrintTo(const ReadIntoCase& c, std::ostream* os) { *os << c.name; }

class DeviceCommandReadInto : public ::testing::TestWithParam<ReadIntoCase> {};

// A failed read leaves FILE as it was: absent, or a file (or a link and the
// file it leads to) with the old bytes; a read that succeeds writes the bytes
// through it.
TEST_P(DeviceCommandReadInto, AFailedReadLeavesTheFileAsItWas) {
    namespace fs = std::filesystem;
    const ReadIntoCase& c = GetParam();
    char dir[] = "/tmp/azk-devcmd-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string out = std::string(dir) + "/out.bin";
    const std::string target = std::string(dir) + "/target.bin";
    const std::string old = "the bytes that were there\n";
    if (c.before != Before::Nothing) std::ofstream(c.before == Before::Link ? target : out, std::ios::binary) << old;
    if (c.before == Before::Link) fs::create_symlink("target.bin", out);

    // The first read is answered, the second refused with status 5.
    const azk_SProcessResult run = RunTool({"--misbehave-once", "none", "--misbehave-once", "status=5,detail=1"},
                                           {"--json", "read-block", out, "--address", "0", "--count", "5000"});
    EXPECT_EQ(run.exitStatus, 4) << run.out << run.err;
    const Json json = Json::parse(run.out);
    EXPECT_EQ(json["error"]["name"], "DEVICE_STATUS");
    EXPECT_NE(json["error"]["message"].get<std::string>().find("reading at 0x00001000"), std::string::npos);
    switch (c.before) {
    case Before::Nothing: EXPECT_FALSE(fs::exists(fs::symlink_status(out))) << "a partial file was left"; break;
    case Before::File: EXPECT_EQ(ReadAll(out), old); break;
    case Before::Link:
        ASSERT_TRUE(fs::is_symlink(fs::symlink_status(out)));
        EXPECT_EQ(fs::read_symlink(out), "target.bin");
        EXPECT_EQ(ReadAll(target), old);
        break;
    }

    std::string bytes(5000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((i * 5 + 1) & 0xFF);
    const std::string in = std::string(dir) + "/in.bin";
    std::ofstream(in, std::ios::binary) << bytes;
    const azk_SProcessResult good = RunUnderEmulator(
        {}, "\"$D\" write-block " + in + " --address 0 && \"$D\" read-block " + out + " --address 0 --count 5000");
    EXPECT_EQ(good.exitStatus, 0) << good.err;
    EXPECT_EQ(ReadAll(out), bytes);
    EXPECT_EQ(fs::is_symlink(fs::symlink_status(out)), c.before == Before::Link);
    fs::remove_all(dir);
}

INSTANTIATE_TEST_SUITE_P(Cases, DeviceCommandReadInto,
                         ::testing::Values(ReadIntoCase{"NewFile", Before::Nothing},
                                           ReadIntoCase{"ExistingFile", Before::File},
                                           ReadIntoCase{"Link", Before::Link}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace azk::test

// DeviceCommandParseTest.cpp - DeviceCommand's command line, number and hex
// parsing, and the exec field tables, in process (no device is opened).
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <ostream>
#include <random>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "session/SessionApi.h"
#include "win/DeviceCommand/DeviceCommandApp.h"
#include "win/DeviceCommand/DeviceCommandExec.h"

namespace azk::devcmd {
namespace {

using Words = std::vector<std::string>;

struct ParseCase {
    const char* name;
    Words words;
    ParseOutcome outcome;
    Subcommand subcommand = Subcommand::None;
    // Checked only for ParseOutcome::Run.
    int32_t variant = 1;
    bool variantGiven = false;
    int32_t index = 0;
    bool json = false;
    Words lockKeys = {};
    bool seOn = false;
    int32_t commandId = -1;
    Words assignments = {};
    int32_t blockCommand = 0;
    uint32_t address = 0;
    uint32_t count = 0;
    uint32_t selector = 0;
    std::string file = {};
    // Checked only for ParseOutcome::Usage: a piece of the message.
    const char* message = "";
};

void PrintTo(const ParseCase& c, std::ostream* os) { *os << c.name; }

ParseCase Run(const char* name, Words words, Subcommand subcommand) {
    ParseCase c{name, std::move(words), ParseOutcome::Run};
    c.subcommand = subcommand;
    return c;
}
ParseCase Bad(const char* name, Words words, const char* message = "") {
    ParseCase c{name, std::move(words), ParseOutcome::Usage};
    c.message = message;
    return c;
}

std::vector<ParseCase> ParseCases() {
    std::vector<ParseCase> cases;
    cases.push_back(Run("List", {"list"}, Subcommand::List));
    {
        ParseCase c = Run("GlobalOptions", {"--variant", "2", "--index", "3", "--json", "list"}, Subcommand::List);
        c.variant = 2;
        c.variantGiven = true;
        c.index = 3;
        c.json = true;
        cases.push_back(c);
    }
    cases.push_back(Run("KeylockShow", {"keylock", "show"}, Subcommand::KeylockShow));
    cases.push_back(Run("KeylockReset", {"keylock", "reset"}, Subcommand::KeylockReset));
    {
        ParseCase c = Run("KeylockSet", {"keylock", "set", "--lock", "Call", "VolUp", "--se", "on"},
                          Subcommand::KeylockSet);
        c.lockKeys = {"Call", "VolUp"};
        c.seOn = true;
        cases.push_back(c);
    }
    {
        ParseCase c = Run("KeylockApplyNoKeys", {"keylock", "apply", "--lock", "--se", "off"}, Subcommand::KeylockApply);
        cases.push_back(c);
    }
    {
        ParseCase c = Run("KeylockApplySeFirst", {"keylock", "apply", "--se", "on", "--lock", "SpMute"},
                          Subcommand::KeylockApply);
        c.lockKeys = {"SpMute"};
        c.seOn = true;
        cases.push_back(c);
    }
    {
        ParseCase c = Run("Exec", {"exec", "0", "0=1", "1-2=0x1234"}, Subcommand::Exec);
        c.commandId = 0;
        c.assignments = {"0=1", "1-2=0x1234"};
        cases.push_back(c);
    }
    // Numbers are decimal or 0x hex, as the fields are: a leading zero makes no octal.
    const struct {
        const char* name;
        Words words;
        int32_t variant;
        int32_t index;
        int32_t commandId;
    } numbers[] = {
        {"ExecLeadingZero", {"exec", "040"}, 1, 0, 40},
        {"ExecZeroEight", {"exec", "08"}, 1, 0, 8},
        {"ExecHex", {"exec", "0x0F"}, 1, 0, 15},
        {"IndexLeadingZero", {"--index", "010", "exec", "2"}, 1, 10, 2},
        {"IndexHex", {"--index", "0x10", "exec", "2"}, 1, 16, 2},
        {"VariantHexAndLeadingZero", {"--variant", "0x2", "--index", "00", "exec", "2"}, 2, 0, 2},
    };
    for (const auto& n : numbers) {
        ParseCase c = Run(n.name, n.words, Subcommand::Exec);
        c.variant = n.variant;
        c.variantGiven = n.variant != 1;
        c.index = n.index;
        c.commandId = n.commandId;
        cases.push_back(c);
    }
    {
        ParseCase c = Run("ReadBlock", {"read-block", "out.bin", "--address", "0x100", "--count", "32"},
                          Subcommand::ReadBlock);
        c.blockCommand = SESSION_CMD_BLOCK_READ_0800;
        c.address = 0x100;
        c.count = 32;
        c.file = "out.bin";
        cases.push_back(c);
    }
    {
        // A rooted path is a file name on every system, never an option.
        ParseCase c = Run("ReadBlockRootedPath", {"read-block", "/dumps/out.bin", "--address", "0", "--count", "1"},
                          Subcommand::ReadBlock);
        c.blockCommand = SESSION_CMD_BLOCK_READ_0800;
        c.count = 1;
        c.file = "/dumps/out.bin";
        cases.push_back(c);
    }
    {
        ParseCase c = Run("WriteBlockOtherFunction",
                          {"write-block", "in.bin", "--address", "16", "--function", "0E05", "--selector", "0xff"},
                          Subcommand::WriteBlock);
        c.blockCommand = SESSION_CMD_BLOCK_WRITE_0E05;
        c.address = 16;
        c.selector = 255;
        c.file = "in.bin";
        cases.push_back(c);
    }
    cases.push_back(Run("Raw", {"raw", "02 36 00 00 00 00 00 00"}, Subcommand::Raw));

    cases.push_back(Bad("NoSubcommand", {}));
    cases.push_back(Bad("UnknownSubcommand", {"status"}));
    cases.push_back(Bad("ExtraWord", {"list", "extra"}));
    cases.push_back(Bad("VariantThree", {"--variant", "3", "list"}));
    cases.push_back(Bad("VariantZero", {"--variant", "0", "list"}, "--variant: '0' is not 1 or 2"));
    cases.push_back(Bad("VariantOctal", {"--variant", "0o2", "list"}, "--variant: '0o2' is not 1 or 2"));
    cases.push_back(Bad("NegativeIndex", {"--index", "-1", "list"},
                        "--index: '-1' is not a number from 0 to 2147483647"));
    cases.push_back(Bad("BinaryIndex", {"--index", "0b1", "list"},
                        "--index: '0b1' is not a number from 0 to 2147483647"));
    cases.push_back(Bad("IndexPast31Bits", {"--index", "2147483648", "list"}, "0 to 2147483647"));
    cases.push_back(Bad("KeylockAlone", {"keylock"}));
    cases.push_back(Bad("KeyInOtherCase", {"keylock", "set", "--lock", "call", "--se", "on"}));
    cases.push_back(Bad("UnknownKey", {"keylock", "apply", "--lock", "Volume", "--se", "on"}));
    // An empty word (an empty variable in a script) is no key, and does not mean "none".
    cases.push_back(Bad("EmptyKey", {"keylock", "set", "--lock", "", "--se", "on"}, "an empty word is not a key"));
    cases.push_back(Bad("EmptyKeyBesideAKey", {"keylock", "apply", "--lock", "Call", "", "--se", "off"},
                        "an empty word is not a key"));
    cases.push_back(Bad("EmptyKeyAfterEquals", {"keylock", "set", "--lock=", "--se", "on"}, "an empty word"));
    cases.push_back(Bad("SeMissing", {"keylock", "set", "--lock", "Call"}));
    cases.push_back(Bad("LockMissing", {"keylock", "apply", "--se", "on"}));
    cases.push_back(Bad("SeInCapitals", {"keylock", "set", "--lock", "Call", "--se", "ON"}));
    cases.push_back(Bad("ExecKeyLock", {"exec", "30"}));
    cases.push_back(Bad("ExecFieldsOfKeyLock", {"exec", "29", "--fields"}, "command 29 is not a catalogue command"));
    cases.push_back(Bad("ExecFieldsOfNoSuchId", {"exec", "--fields", "27"}, "command 27 is not a catalogue command"));
    cases.push_back(Bad("ExecNoSuchId", {"exec", "27"}));
    cases.push_back(Bad("ExecPastTheTable", {"exec", "83"}, "ID: '83' is not a number from 0 to 82"));
    cases.push_back(Bad("ExecNegative", {"exec", "-1"}, "ID: '-1' is not a number from 0 to 82"));
    cases.push_back(Bad("ExecNotANumber", {"exec", "1x"}, "ID: '1x' is not a number from 0 to 82"));
    cases.push_back(Bad("ExecRaw", {"exec", "82"}));
    cases.push_back(Bad("ExecBlockTransfer", {"exec", "52"}));
    cases.push_back(Bad("ReadBlockWithoutCount", {"read-block", "f", "--address", "0x100"}));
    cases.push_back(Bad("AddressPast32Bits", {"read-block", "f", "--address", "0x100000000", "--count", "1"}));
    cases.push_back(Bad("AddressNotANumber", {"write-block", "f", "--address", "12k"}));
    cases.push_back(Bad("SelectorPastAByte", {"write-block", "f", "--address", "1", "--selector", "256"}));
    cases.push_back(Bad("UnknownFunction", {"read-block", "f", "--address", "1", "--count", "1", "--function", "0801"}));
    cases.push_back(Bad("RawWithoutBytes", {"raw"}));
    // Options are spelled the same on every system: no "/json".
    cases.push_back(Bad("SlashOption", {"/json", "list"}));
    return cases;
}

class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, GivesTheOutcomeAndOptions) {
    const ParseCase& c = GetParam();
    azk_SDeviceCommandOptions options;
    const azk_SParseResult result = ParseDeviceCommand(c.words, options);
    ASSERT_EQ(result.outcome, c.outcome) << result.text;
    if (c.outcome != ParseOutcome::Run) {
        EXPECT_FALSE(result.text.empty());
        EXPECT_NE(result.text.find(c.message), std::string::npos) << result.text;
        return;
    }
    EXPECT_EQ(options.subcommand, c.subcommand);
    EXPECT_EQ(options.variant, c.variant);
    EXPECT_EQ(options.variantGiven, c.variantGiven);
    EXPECT_EQ(options.index, c.index);
    EXPECT_EQ(options.json, c.json);
    EXPECT_EQ(options.lockKeys, c.lockKeys);
    EXPECT_EQ(options.seOn, c.seOn);
    if (c.subcommand == Subcommand::Exec) {
        EXPECT_EQ(options.commandId, c.commandId);
        EXPECT_EQ(options.assignments, c.assignments);
    }
    EXPECT_EQ(options.blockCommand, c.blockCommand);
    EXPECT_EQ(options.address, c.address);
    EXPECT_EQ(options.count, c.count);
    EXPECT_EQ(options.selector, c.selector);
    EXPECT_EQ(options.file, c.file);
}

INSTANTIATE_TEST_SUITE_P(Words, ParseTest, ::testing::ValuesIn(ParseCases()),
                         [](const auto& param) { return std::string(param.param.name); });

TEST(DeviceCommandMainTest, HelpListsEveryExitStatus) {
    std::ostringstream out, err;
    EXPECT_EQ(DeviceCommandMain({"--help"}, out, err, false), kExitOk);
    for (int status : {kExitOk, kExitUsage, kExitNoDevice, kExitDeviceStatus, kExitNoAnswer, kExitBadAnswer,
                       kExitRefused, kExitFile}) {
        EXPECT_NE(out.str().find("\n  " + std::to_string(status) + "  "), std::string::npos) << status;
    }
}

TEST(DeviceCommandMainTest, UsageErrorIsJsonWithJson) {
    std::ostringstream out, err;
    EXPECT_EQ(DeviceCommandMain({"--json", "keylock", "set", "--lock", "Call"}, out, err, false), kExitUsage);
    const nlohmann::json json = nlohmann::json::parse(out.str());
    EXPECT_EQ(json["ok"], false);
    EXPECT_EQ(json["error"]["result"], SESSION_RESULT_PARAMETER);
    EXPECT_EQ(json["error"]["name"], "PARAMETER");
    EXPECT_EQ(json["exitStatus"], kExitUsage);
    EXPECT_TRUE(err.str().empty());
}

TEST(DeviceCommandMainTest, UsageErrorGoesToStandardErrorWithoutJson) {
    std::ostringstream out, err;
    EXPECT_EQ(DeviceCommandMain({"keylock", "set", "--se", "on"}, out, err, false), kExitUsage);
    EXPECT_TRUE(out.str().empty());
    EXPECT_NE(err.str().find("--lock"), std::string::npos) << err.str();
}

// A stream buffer that takes nothing, as standard output on a full disk.
class RefusingBuffer : public std::streambuf {
protected:
    int_type overflow(int_type) override { return traits_type::eof(); }
};

TEST(DeviceCommandMainTest, OutputThatCannotBeWrittenIsAFailure) {
    const struct {
        Words words;
        int exitStatus;
    } cases[] = {
        {{"--help"}, kExitFile},
        {{"exec", "6", "--fields"}, kExitFile},
        {{"--json", "keylock", "set", "--lock", "Call"}, kExitUsage},  // a failure keeps its own status
    };
    for (const auto& c : cases) {
        RefusingBuffer refusing;
        std::ostream out(&refusing);
        std::ostringstream err;
        EXPECT_EQ(DeviceCommandMain(c.words, out, err, false), c.exitStatus) << c.words[0];
        EXPECT_NE(err.str().find("DeviceCommand: cannot write standard output\n"), std::string::npos) << err.str();
    }
    std::ostringstream out, err;
    EXPECT_EQ(DeviceCommandMain({"--help"}, out, err, false), kExitOk);
    EXPECT_TRUE(err.str().empty()) << err.str();
}

// --------------------------------------------------------------- helpers

TEST(LockMaskTest, EachKeyClearsItsOwnBit) {
    const struct {
        Words keys;
        bool ok;
        uint16_t mask;
    } cases[] = {
        {{}, true, 0x007F},
        {{"Call"}, true, 0x007D},
        {{"Bluetooth", "VolUp", "SpMute"}, true, 0x002E},
        {{"Bluetooth", "Call", "MicMute", "VolDown", "VolUp", "SpMute"}, true, 0x0020},
        {{"Call", "Call"}, true, 0x007D},
        {{"Call", "call"}, false, 0},
    };
    for (const auto& c : cases) {
        uint16_t mask = 0;
        EXPECT_EQ(LockMaskOf(c.keys, mask), c.ok);
        if (c.ok) {
            EXPECT_EQ(mask, c.mask) << ::testing::PrintToString(c.keys);
        }
    }
}

TEST(NumberTest, DecimalAndHexWithinTheLimit) {
    const struct {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    } cases[] = {
        {"0", 255, true, 0},          {"255", 255, true, 255},       {"256", 255, false, 0},
        {"0xff", 255, true, 255},     {"0XFF", 255, true, 255},      {"0x100", 255, false, 0},
        {"0xFFFFFFFF", 0xFFFFFFFFu, true, 0xFFFFFFFFu},            {"4294967296", 0xFFFFFFFFu, false, 0},
        {"", 255, false, 0},          {"0x", 255, false, 0},         {"-1", 255, false, 0},
        {"+1", 255, false, 0},        {" 1", 255, false, 0},         {"12a", 255, false, 0},
        {"99999999999999999999999", UINT64_MAX, false, 0},
        {"2", 2, true, 2},            {"3", 2, false, 0},            {"0x3", 2, false, 0},
    };
    for (const auto& c : cases) {
        uint64_t value = 12345;
        EXPECT_EQ(ParseNumber(c.text, c.max, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

TEST(PrintableTextTest, ControlsAndBytesThatAreNotUtf8AreEscaped) {
    const struct {
        const char* text;
        const char* printable;
    } cases[] = {
        {"Room 12", "Room 12"},
        {"K\xC3\xA4se \xE3\x83\x86 \xF0\x9F\x98\x80", "K\xC3\xA4se \xE3\x83\x86 \xF0\x9F\x98\x80"},
        {"a\x1B[2Jb", "a\\x1B[2Jb"},                  // an escape sequence
        {"tab\tline\r\n", "tab\\x09line\\x0D\\x0A"},
        {"\x7F", "\\x7F"},
        {"back\\slash", "back\\\\slash"},             // what \x1B would look like, told apart
        {"\xC2\x9B" "1m", "\\xC2\\x9B1m"},             // U+009B, the C1 control sequence introducer
        {"\xC2\xA0", "\xC2\xA0"},                     // U+00A0 is text
        {"\xC3", "\\xC3"},                             // a sequence cut short
        {"\xC3(", "\\xC3("},
        {"\x80x", "\\x80x"},                           // a continuation byte alone
        {"\xC0\xAF", "\\xC0\\xAF"},                    // an overlong form
        {"\xED\xA0\x80", "\\xED\\xA0\\x80"},           // a surrogate
        {"\xF4\x90\x80\x80", "\\xF4\\x90\\x80\\x80"},  // past U+10FFFF
        {"\xFF\xFE", "\\xFF\\xFE"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(PrintableText(c.text), c.printable) << ::testing::PrintToString(std::string(c.text));
    }
}

TEST(HexBytesTest, PairsOfDigitsWithOptionalSeparators) {
    const struct {
        const char* text;
        bool ok;
        std::vector<uint8_t> bytes;
    } cases[] = {
        {"02 36 00 ff", true, {0x02, 0x36, 0x00, 0xFF}},
        {"0236:00,FF", true, {0x02, 0x36, 0x00, 0xFF}},
        {"", true, {}},
        {"0 2", false, {}},
        {"023", false, {}},
        {"0g", false, {}},
        {"0x02", false, {}},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> bytes;
        EXPECT_EQ(ParseHexBytes(c.text, bytes), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(bytes, c.bytes) << c.text;
        }
    }
}

// --------------------------------------------------------------- files

// A file named in UTF-8, out of any one ANSI code page (Greek and Japanese
// letters): the file of that very name is written, read and removed.
#ifndef _WIN32
TEST(UnusableReasonTest, PermissionDeniedNamesTheUdevRuleForANodeOnly) {
    SessionDeviceInfo device{};
    device.state = SESSION_DEVICE_PERMISSION_DENIED;
    std::snprintf(device.path, sizeof device.path, "%s", "hidraw:hidraw3");
    EXPECT_NE(UnusableReason(device).find("the udev rule is missing"), std::string::npos);
    std::snprintf(device.path, sizeof device.path, "%s", "vhid:/run/user/1000/azk-vhid/dev00.sock");
    const std::string reason = UnusableReason(device);
    EXPECT_EQ(reason.find("udev"), std::string::npos) << reason;
    EXPECT_NE(reason.find("the socket belongs to another user"), std::string::npos) << reason;
}
#endif

TEST(DeviceCommandFiles, AUtf8NameNamesThatFile) {
    const std::string name = u8"devcmd-\u03b1\u30c6-" + std::to_string(std::random_device{}()) + ".bin";
    const std::filesystem::path native = std::filesystem::temp_directory_path() / std::filesystem::u8path(name);
    const std::string path = native.u8string();

    std::FILE* file = OpenFile(path, "wb");
    ASSERT_NE(file, nullptr) << path;
    EXPECT_EQ(std::fwrite("abc", 1, 3, file), 3u);
    ASSERT_EQ(std::fclose(file), 0);
    ASSERT_TRUE(std::filesystem::exists(native)) << path;
    EXPECT_EQ(std::filesystem::file_size(native), 3u);

    file = OpenFile(path, "rb");
    ASSERT_NE(file, nullptr) << path;
    char text[4] = {};
    EXPECT_EQ(std::fread(text, 1, sizeof text, file), 3u);
    EXPECT_STREQ(text, "abc");
    std::fclose(file);

    RemoveFile(path);
    EXPECT_FALSE(std::filesystem::exists(native)) << path;
    RemoveFile(path);  // no longer there: nothing happens
}

// A new file is created only where nothing of its name is; only a regular
// file is removed.
TEST(DeviceCommandFiles, ANewFileIsMadeOnlyWhereNothingIsAndOnlyAFileIsRemoved) {
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("devcmd-files-" + std::to_string(std::random_device{}()));
    ASSERT_TRUE(fs::create_directories(dir / "folder"));
    const std::string file = (dir / "file.bin").u8string();

    std::FILE* created = CreateNewFile(file);
    ASSERT_NE(created, nullptr);
    EXPECT_EQ(std::fwrite("abc", 1, 3, created), 3u);
    ASSERT_EQ(std::fclose(created), 0);
    errno = 0;
    EXPECT_EQ(CreateNewFile(file), nullptr);
    EXPECT_EQ(errno, EEXIST);
    EXPECT_EQ(fs::file_size(dir / "file.bin"), 3u);

    RemoveFile((dir / "folder").u8string());
    EXPECT_TRUE(fs::is_directory(dir / "folder"));
#ifndef _WIN32
    fs::create_symlink("file.bin", dir / "link.bin");
    RemoveFile((dir / "link.bin").u8string());
    EXPECT_TRUE(fs::is_symlink(dir / "link.bin"));
#endif
    RemoveFile(file);
    EXPECT_FALSE(fs::exists(dir / "file.bin"));
    fs::remove_all(dir);
}

// A scratch file gives back what was written to it.
TEST(DeviceCommandFiles, AScratchFileGivesBackWhatWasWritten) {
    std::FILE* scratch = OpenScratchFile();
    ASSERT_NE(scratch, nullptr);
    const std::string bytes(10000, '\x5A');
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), scratch), bytes.size());
    std::rewind(scratch);
    std::string back(bytes.size() + 1, '\0');
    EXPECT_EQ(std::fread(&back[0], 1, back.size(), scratch), bytes.size());
    back.resize(bytes.size());
    EXPECT_EQ(back, bytes);
    EXPECT_EQ(std::fclose(scratch), 0);
}

#ifdef _WIN32
// A name that is not UTF-8 names no file Windows can spell.
TEST(DeviceCommandFiles, ANameThatIsNotUtf8OpensNothing) {
    const std::string path = (std::filesystem::temp_directory_path() / "devcmd-").u8string() + "\xff\xfe.bin";
    EXPECT_EQ(OpenFile(path, "wb"), nullptr);
    RemoveFile(path);
}
#endif

// --------------------------------------------------------------- exec fields

TEST(ExecFieldsTest, InputsLandAtTheirBlockBytes) {
    SessionParamBlock block;
    std::vector<uint8_t> buffer;
    std::string error;
    ASSERT_TRUE(PrepareExec(0, {"0=1", "1-2=0x1234", "3=5", "target=2"}, block, buffer, error)) << error;
    EXPECT_EQ(block.bytes[0], 1);
    EXPECT_EQ(block.bytes[1], 0x34);
    EXPECT_EQ(block.bytes[2], 0x12);
    EXPECT_EQ(block.bytes[3], 5);
    EXPECT_EQ(block.bytes[SESSION_BLOCK_TARGET], 2);
    for (int i = 4; i < SESSION_BLOCK_TARGET; ++i) EXPECT_EQ(block.bytes[i], 0) << i;

    ASSERT_TRUE(PrepareExec(57, {"4-7=0x00ABCDEF"}, block, buffer, error)) << error;
    EXPECT_EQ(block.bytes[4], 0xEF);
    EXPECT_EQ(block.bytes[6], 0xAB);

    ASSERT_TRUE(PrepareExec(25, {"0-19=room 12"}, block, buffer, error)) << error;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(block.bytes)), "room 12");

    ASSERT_TRUE(PrepareExec(59, {"data=01 02 03"}, block, buffer, error)) << error;
    EXPECT_EQ(block.bytes[SESSION_DATA_COUNT], 3);
    EXPECT_EQ(block.bytes[SESSION_DATA_BYTES + 2], 3);

    ASSERT_TRUE(PrepareExec(61, {"0=7", "1=2", "data=aa bb"}, block, buffer, error)) << error;
    EXPECT_EQ(block.bytes[SESSION_SHORT_COUNT], 2);
    EXPECT_EQ(buffer, (std::vector<uint8_t>{0xAA, 0xBB}));
    void* pointer = nullptr;
    std::memcpy(&pointer, block.bytes + SESSION_SHORT_BUFFER, sizeof pointer);
    EXPECT_EQ(pointer, buffer.data());
}

TEST(ExecFieldsTest, BadInputsAreRefusedWithTheReason) {
    const struct {
        int32_t id;
        Words words;
        const char* reason;  // a piece of the message
    } cases[] = {
        {0, {"7=1"}, "no input field '7'"},
        {0, {"0=1", "0=2"}, "twice"},
        {0, {"0=256"}, "0 to 255"},
        {0, {"1-2=0x10000"}, "0 to 65535"},
        {0, {"0"}, "FIELD=VALUE"},
        {42, {"target=1"}, "no input field 'target'"},  // 42 always sends target 0
        {25, {"0-19=" + std::string(21, 'x')}, "at most 20 bytes"},
        {76, {"1-16=00"}, "no input field"},
        {59, {"data=" + std::string(79 * 2, '0')}, "at most 78"},
        {61, {"0=1"}, "needs data"},
        {61, {"data=" + std::string(256 * 2, '0')}, "at most 255"},
        {2, {"target=300"}, "0 to 255"},
    };
    for (const auto& c : cases) {
        SessionParamBlock block;
        std::vector<uint8_t> buffer;
        std::string error;
        EXPECT_FALSE(PrepareExec(c.id, c.words, block, buffer, error)) << c.id;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.id << ": " << error;
    }
}

TEST(ExecFieldsTest, ResultsAreNamedNumbersTextsAndBytes) {
    SessionParamBlock block{};
    for (int i = 0; i < 17; ++i) block.bytes[i] = static_cast<uint8_t>(0x10 + i);
    const std::vector<ExecValue> values = ExecResults(70, block, {});
    ASSERT_EQ(values.size(), 4u);
    EXPECT_EQ(values[0].name, "0-7");
    EXPECT_TRUE(values[0].isBytes);
    EXPECT_EQ(values[0].text, "10 11 12 13 14 15 16 17");
    EXPECT_EQ(values[1].name, "8-9");
    EXPECT_EQ(values[1].number, 0x1918u);
    EXPECT_EQ(values[1].size, 2);
    EXPECT_EQ(values[2].name, "11-14");
    EXPECT_EQ(values[2].number, 0x1E1D1C1Bu);  // byte 10 is not part of any field
    EXPECT_EQ(values[3].number, 0x201Fu);

    SessionParamBlock text{};
    std::memcpy(text.bytes, "abc\0def", 7);  // the text ends at its first NUL
    std::memcpy(text.bytes + 41, "v1.2", 4);
    const std::vector<ExecValue> texts = ExecResults(5, text, {});
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_TRUE(texts[0].isText);
    EXPECT_EQ(texts[0].name, "0-39");
    EXPECT_EQ(texts[0].text, "abc");
    EXPECT_EQ(texts[1].text, "v1.2");  // four bytes without a NUL in the field
}

TEST(ExecFieldsTest, EveryExecCommandHasAFieldList) {
    for (int32_t id = 0; id <= 82; ++id) {
        const bool own = id == 27 || id == 29 || id == 30 || id == 64 || id == 82 || id == 51 || id == 52 ||
                         id == 55 || id == 56 || id == 77 || id == 78;
        EXPECT_EQ(IsExecCommand(id), !own) << id;
        if (!own) {
            EXPECT_NE(ExecFieldsText(id).find("input:"), std::string::npos) << id;
        }
    }
}

}  // namespace
}  // namespace azk::devcmd

// FwImageAppTest.cpp - the FwImage tool in process: the images it writes
// pass the check (or fail it in the way their damage says), and its
// refusals.
#include <gtest/gtest.h>

#include <clocale>
#include <map>
#include <string>
#include <vector>

#include "FwTestSupport.h"
#include "session/FirmFile.h"
#include "support/ProcessStart.h"
#include "win/FwUpdate/FwImageApp.h"
#include "win/FwUpdate/FwUpdateApp.h"

namespace azk::test {
namespace {

struct ToolResult {
    int exitStatus;
    std::string out;
};

class FwImageAppTest : public ::testing::Test {
protected:
    static std::vector<azk_SToolArgument> Args(const std::vector<std::string>& words) {
        std::vector<azk_SToolArgument> args;
        for (const std::string& word : words) args.push_back(ToolArgument(word));
        return args;
    }
    ToolResult Image(const std::vector<std::string>& words) {
        azk_CConsoleCapture capture;
        EXPECT_TRUE(capture.Ok());
        const int status = RunFwImage(Args(words));
        return {status, capture.Finish()};
    }
    ToolResult Check(const std::string& file) {
        azk_CConsoleCapture capture;
        const int status = RunFwUpdate(Args({"--check", file}), false);
        return {status, capture.Finish()};
    }
    // Load's result and the kind on the file's bytes.
    static std::pair<int32_t, int32_t> Load(const Bytes& image) {
        azk_CFirmFile file;
        const int32_t rc = file.Load(image.data(), static_cast<uint32_t>(image.size()));
        return {rc, file.GetKind()};
    }

    azk_CScratch scratch_;
};

// File names in the tools' messages, in the process locale the tools set:
// what its code page lacks is escaped, not turned into a look-alike or
// dropped with the rest of the name (code page 932 on Windows, UTF-8 here).
TEST(PrintableNameTest, WhatThePrintedCodePageLacksIsEscaped) {
    const char* current = std::setlocale(LC_ALL, nullptr);
    const std::string saved = current != nullptr ? current : "C";
    SetProcessLocale();
    const struct {
        const wchar_t* name;
        const wchar_t* printed;
    } cases[] = {
        {L"fw.bin", L"fw.bin"},
        {L"C:\\images\\\u65e5\u672c\u8a9e.bin", L"C:\\images\\\u65e5\u672c\u8a9e.bin"},
        {L"a\nb\x7f.bin", L"a\\u{A}b\\u{7F}.bin"},
#ifdef _WIN32
        {L"\u00e9.bin", L"\\u{E9}.bin"},              // not "e.bin"
        {L"\U0001F600 x.bin", L"\\u{1F600} x.bin"},  // not cut short
        {L"\xD800.bin", L"\\u{D800}.bin"},            // an unpaired surrogate
#else
        {L"\u00e9\U0001F600.bin", L"\u00e9\U0001F600.bin"},
#endif
    };
    for (const auto& c : cases) EXPECT_EQ(PrintableName(c.name), std::wstring(c.printed));
    std::setlocale(LC_ALL, saved.c_str());
}

TEST_F(FwImageAppTest, SoundImagesOfEveryKindSizeAndTrailer) {
    struct Case {
        std::vector<std::string> options;
        int32_t kind;
        size_t total;
        size_t fileSize;
        const char* summary;
    };
    const Case cases[] = {
        {{}, 0, 30720, 30720, "FWUP, 30720 bytes"},
        {{"--kind", "uasp", "--size", "10240"}, 1, 10240, 10240, "UASP, 10240 bytes"},
        {{"--kind", "dspa", "--size", "10240", "--trailer", "1"}, 2, 10240, 10241, "DSPA, 10241 bytes"},
        {{"--size", "560", "--trailer", "4"}, 0, 560, 564, "FWUP, 564 bytes"},
        {{"--size", "1048576", "--seed", "7"}, 0, 1048576, 1048576, "FWUP, 1048576 bytes"},
    };
    for (const Case& c : cases) {
        const std::string file = scratch_.File("out.bin");
        std::vector<std::string> words = c.options;
        words.push_back(file);
        const ToolResult run = Image(words);
        ASSERT_EQ(run.exitStatus, kFwImageExitOk) << run.out;
        EXPECT_EQ(run.out, "wrote " + file + ": " + c.summary + ", damage none\n");
        const Bytes image = azk_CScratch::Read(file);
        ASSERT_EQ(image.size(), c.fileSize);
        EXPECT_EQ(Load(image), std::make_pair(0, c.kind)) << c.summary;
        EXPECT_EQ(image[544] | (image[545] << 8) | (image[546] << 16) | (image[547] << 24), static_cast<int>(c.total));
    }
}

TEST_F(FwImageAppTest, TheSeedDecidesTheBytes) {
    const std::string a = scratch_.File("a.bin"), b = scratch_.File("b.bin"), c = scratch_.File("c.bin");
    ASSERT_EQ(Image({"--seed", "3", "--size", "2048", a}).exitStatus, 0);
    ASSERT_EQ(Image({"--size", "2048", "--seed", "3", b}).exitStatus, 0);
    ASSERT_EQ(Image({"--size", "2048", "--seed", "4", c}).exitStatus, 0);
    EXPECT_EQ(azk_CScratch::Read(a), azk_CScratch::Read(b));
    EXPECT_NE(azk_CScratch::Read(a), azk_CScratch::Read(c));
}

TEST_F(FwImageAppTest, BodyFromAFileIsPaddedToWholeWordsAndScrambled) {
    Bytes plain(1001);
    for (size_t i = 0; i < plain.size(); ++i) plain[i] = static_cast<uint8_t>(i * 13 + 5);
    const std::string body = scratch_.Write("body.raw", plain);
    const std::string file = scratch_.File("out.bin");
    ASSERT_EQ(Image({"--kind", "dspa", "--body", body, file}).exitStatus, 0);
    Bytes image = azk_CScratch::Read(file);
    ASSERT_EQ(image.size(), 560u + 1004u);
    EXPECT_EQ(Load(image), std::make_pair(0, 2));
    const uint32_t key0 = image[532] | (image[533] << 8) | (image[534] << 16) | (static_cast<uint32_t>(image[535]) << 24);
    const uint32_t key1 = image[536] | (image[537] << 8) | (image[538] << 16) | (static_cast<uint32_t>(image[539]) << 24);
    azk_CFirmFile::Descramble(image.data() + 560, 1004, key0, key1);
    plain.resize(1004, 0);
    EXPECT_EQ(Bytes(image.begin() + 560, image.end()), plain);

    // An empty body with a trailer is an image of the header alone.
    ASSERT_EQ(Image({"--body", scratch_.Write("empty.raw", {}), "--trailer", "4", file}).exitStatus, 0);
    image = azk_CScratch::Read(file);
    ASSERT_EQ(image.size(), 564u);
    EXPECT_EQ(Load(image), std::make_pair(0, 0));
}

TEST_F(FwImageAppTest, EveryDamageFailsTheCheckItNames) {
    const std::map<std::string, int> expected = {
        {"none", kFwExitOk},
        {"magic", kFwExitMalformed},
        {"format", kFwExitMalformed},
        {"total-over-size", kFwExitMalformed},
        {"total-unaligned", kFwExitMalformed},
        {"total-below-header", kFwExitMalformed},
        {"header-crc", kFwExitChecksum},
        {"data-crc", kFwExitChecksum},
        {"prologue-bit", kFwExitChecksum},
        {"body-bit", kFwExitChecksum},
        {"unchecked-header", kFwExitChecksum},
        {"truncated", kFwExitMalformed},
        {"short-file", kFwExitMalformed},
    };
    ASSERT_EQ(expected.size(), azk_CFirmImageBuilder::Damages().size());
    for (const azk_CFirmImageBuilder::DamageInfo& info : azk_CFirmImageBuilder::Damages()) {
        SCOPED_TRACE(info.name);
        const std::string file = scratch_.File(std::string(info.name) + ".bin");
        const ToolResult made = Image({"--damage", info.name, "--size", "4096", file});
        ASSERT_EQ(made.exitStatus, kFwImageExitOk);
        EXPECT_NE(made.out.find(std::string(", damage ") + info.name + "\n"), std::string::npos) << made.out;
        EXPECT_EQ(Check(file).exitStatus, expected.at(info.name));
    }
}

TEST_F(FwImageAppTest, Refusals) {
    const std::string out = scratch_.File("out.bin");
    struct Case {
        std::vector<std::string> words;
        int exitStatus;
        std::string out;
    };
    const std::string tryHelp = "\nTry 'FwImage --help'.\n";
    const std::string empty = scratch_.Write("empty.raw", {});
    const std::string tooShort = "makes a file of 560 bytes, too short for an image" + tryHelp;
    const Case cases[] = {
        {{}, kFwImageExitUsage, "FwImage: no output file given" + tryHelp},
        {{"--size", "561", out}, kFwImageExitUsage,
         "FwImage: --size: at least 560, a multiple of 4, at most 67108864" + tryHelp},
        {{"--size", "556", out}, kFwImageExitUsage,
         "FwImage: --size: at least 560, a multiple of 4, at most 67108864" + tryHelp},
        {{"--size", "-4", out}, kFwImageExitUsage,
         "FwImage: --size: at least 560, a multiple of 4, at most 67108864" + tryHelp},
        {{"--size", "67108868", out}, kFwImageExitUsage,
         "FwImage: --size: at least 560, a multiple of 4, at most 67108864" + tryHelp},
        {{"--kind", "FWUP", out}, kFwImageExitUsage, "FwImage: --kind: fwup, uasp or dspa" + tryHelp},
        {{"--damage", "dents", out}, kFwImageExitUsage, "FwImage: unknown damage 'dents' (see --help)" + tryHelp},
        {{"--body", "x", "--size", "1024", out}, kFwImageExitUsage,
         "FwImage: --size and --body do not go together" + tryHelp},
        {{out, out}, kFwImageExitUsage, "FwImage: one output file only" + tryHelp},
        {{"--seed"}, kFwImageExitUsage, "FwImage: --seed needs a value" + tryHelp},
        {{"--body", scratch_.File("none.raw"), out}, kFwImageExitUnreadable,
         "FwImage: cannot read '" + scratch_.File("none.raw") + "': No such file or directory\n"},
        {{scratch_.File("no/such/dir.bin")}, kFwImageExitUnwritable,
         "FwImage: cannot write '" + scratch_.File("no/such/dir.bin") + "': No such file or directory\n"},
        {{"--size", "560", "--trailer", "4", "--damage", "body-bit", out}, kFwImageExitNoDamage,
         "FwImage: the damage 'body-bit' does not apply to an image without a body\n"},
        // The check wants more than 560 bytes: a file of 560 is no image.
        {{"--size", "560", out}, kFwImageExitUsage, "FwImage: --size 560 without a --trailer " + tooShort},
        {{"--trailer", "0", "--size", "560", "--damage", "magic", out}, kFwImageExitUsage,
         "FwImage: --size 560 without a --trailer " + tooShort},
        {{"--body", empty, out}, kFwImageExitUsage,
         "FwImage: '" + empty + "' is empty: without a --trailer it " + tooShort},
    };
    for (const Case& c : cases) {
        const ToolResult run = Image(c.words);
        EXPECT_EQ(run.exitStatus, c.exitStatus) << c.out;
        EXPECT_EQ(run.out, c.out);
    }
    const ToolResult help = Image({"--help"});
    EXPECT_EQ(help.exitStatus, 0);
    for (const azk_CFirmImageBuilder::DamageInfo& info : azk_CFirmImageBuilder::Damages()) {
        EXPECT_NE(help.out.find(std::string(" ") + info.name + " "), std::string::npos) << info.name;
    }
}

}  // namespace
}  // namespace azk::test

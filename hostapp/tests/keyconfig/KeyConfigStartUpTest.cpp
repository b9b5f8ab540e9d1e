// Process start-up of the front end: program name, command-line words,
// locale and the framework failure path.
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "KeyConfigTestSupport.h"
#include "transport/platform/sim/SimPlatform.h"
#include "win/KeyConfig/StartUp.h"

namespace azk::test {
namespace {

TEST(KeyConfigStartUp, ProgramNameIsTheFileNameWithoutDirectoryAndExtension) {
    struct Case {
        const wchar_t* path;
        const wchar_t* name;
    };
    const Case cases[] = {
        {L"/usr/local/bin/KeyConfig", L"KeyConfig"},
        {L"/opt/tools/KeyConfig.exe", L"KeyConfig"},
        {L"/opt/v1.2/KeyConfig", L"KeyConfig"},  // a dot in a directory is no extension
        {L"/tmp/archive.tar.gz", L"archive.tar"},
        {L"KeyConfig", L"KeyConfig"},
        {L"/usr/bin/", L""},
        {L"", L""},
#ifdef _WIN32
        {L"C:\\Program Files\\KeyConfig\\KeyConfig.exe", L"KeyConfig"},
        {L"C:KeyConfig.exe", L"KeyConfig"},  // drive without directory
        {L"\\\\?\\C:\\v1.2\\KeyConfig", L"KeyConfig"},
        {L"D:\\tools/KeyConfig.EXE", L"KeyConfig"},
#endif
    };
    for (const Case& c : cases) EXPECT_EQ(ProgramNameFromPath(c.path), c.name) << c.path;
}

// ASCII text as wide text.
std::wstring WidenAscii(const std::string& ascii) { return std::wstring(ascii.begin(), ascii.end()); }

TEST(KeyConfigStartUp, ProgramNameOfThisProcessComesFromItsExecutable) {
    EnsureConsoleLocale();
    ProgramNameBuffer name;
    name.fill(L'x');
    ASSERT_TRUE(GetProgramName(name));
    EXPECT_EQ(std::wstring(name.data()), WidenAscii(AZK_TEST_PROGRAM_NAME));
}

#ifndef _WIN32
TEST(KeyConfigStartUp, WordsAreWidenedFromUtf8AndBadBytesNeverMatch) {
    EnsureConsoleLocale();
    struct Case {
        const char* text;
        std::wstring wide;
    };
    const Case cases[] = {
        {"Call", L"Call"},
        {"", L""},
        {"\xe3\x82\xad\xe3\x83\xbc", L"\u30ad\u30fc"},
        {"Call\xff", std::wstring(L"Call") + wchar_t(0xFFFD)},
        {"\xe3\x82", std::wstring(2, wchar_t(0xFFFD))},  // cut-off sequence
        {"\x80" "on", std::wstring(1, wchar_t(0xFFFD)) + L"on"},
    };
    for (const Case& c : cases) EXPECT_EQ(WidenArgument(c.text), c.wide) << c.text;
}
#endif

class KeyConfigProcess : public ::testing::Test {
protected:
    void SetUp() override {
        EnsureConsoleLocale();
        sim::SimBus::Instance().Clear();
    }
    void TearDown() override {
        SetConsoleLocale();
        sim::SimBus::Instance().Clear();
    }

    struct Outcome {
        int status;
        std::string output;
    };

    // Runs the whole process entry with argv made of `words` (wide words on
    // Windows, where the entry takes them so).
    static Outcome RunProcess(const std::vector<std::string>& words, FrameworkInitializer init) {
#ifdef _WIN32
        std::vector<std::wstring> storage;
        for (const std::string& word : words) storage.push_back(WidenAscii(word));
        std::vector<wchar_t*> argv;
#else
        std::vector<std::string> storage = words;
        std::vector<char*> argv;
#endif
        for (auto& word : storage) argv.push_back(word.data());
        argv.push_back(nullptr);
        azk_CFrontEndCapture capture;
        EXPECT_TRUE(capture.Ok());
        const int status = KeyConfigProcessMain(static_cast<int>(storage.size()), argv.data(), init);
        return {status, capture.Finish()};
    }
};

bool FrameworkFails() { return false; }

TEST_F(KeyConfigProcess, FrameworkFailureEndsWithStatus1AndAReadableMessage) {
    // Even from a locale without Japanese, the message reaches the stream.
    std::setlocale(LC_ALL, "C");
    const Outcome run = RunProcess({"KeyConfig", "-require"}, FrameworkFails);
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.output,
              "\xe8\x87\xb4\xe5\x91\xbd\xe7\x9a\x84\xe3\x81\xaa\xe3\x82\xa8\xe3\x83\xa9\xe3\x83\xbc: MFC "
              "\xe3\x81\xae\xe5\x88\x9d\xe6\x9c\x9f\xe5\x8c\x96\xe3\x81\x8c\xe3\x81\xa7\xe3\x81\x8d\xe3\x81\xbe"
              "\xe3\x81\x9b\xe3\x82\x93\xe3\x81\xa7\xe3\x81\x97\xe3\x81\x9f\xe3\x80\x82\n");
    EXPECT_EQ(sim::SimBus::Instance().ListCount(), 0);
}

TEST_F(KeyConfigProcess, HelpPrintsTheUsageWithThisProgramsName) {
    const Outcome run = RunProcess({"/any/path/ignored", "-help"}, InitializeFramework);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, ExpectedUsage(AZK_TEST_PROGRAM_NAME));
}

#ifndef _WIN32
TEST_F(KeyConfigProcess, WordsWithBadBytesLeadToTheUsageAndNoSession) {
    const Outcome run = RunProcess({"KeyConfig", "-lock", "Call\xff", "-se", "on"},
                                         InitializeFramework);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.output, ExpectedUsage(AZK_TEST_PROGRAM_NAME));
    EXPECT_EQ(sim::SimBus::Instance().ListCount(), 0);
}
#endif

TEST_F(KeyConfigProcess, NoDeviceGivesStatusMinus4) {
    const Outcome run = RunProcess({"KeyConfig", "-require"}, InitializeFramework);
    EXPECT_EQ(run.status, -4);
    EXPECT_EQ(run.output, "\nerror : connection error\n");
}

}  // namespace
}  // namespace azk::test

// DeviceCommandConsoleTest.cpp - how DeviceCommand hands its UTF-8 output on:
// whole characters only to a console, the bytes as they are to a file.
#include <gtest/gtest.h>

#include <string>

#include "win/DeviceCommand/DeviceCommandApp.h"
#include "win/DeviceCommand/DeviceCommandConsole.h"

#ifdef _WIN32
#include <windows.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#endif

namespace azk::devcmd {
namespace {

TEST(CompleteUtf8Length, HoldsBackOnlyASequenceCutShortAtTheEnd) {
    const struct {
        const char* bytes;
        size_t complete;
    } cases[] = {
        {"", 0},
        {"abc", 3},
        {"a\xC3", 1},                 // two-byte sequence, one byte of it
        {"a\xC3\xA4", 3},
        {"\xE3\x83", 0},              // three-byte sequence, two bytes of it
        {"\xE3\x83\x86", 3},
        {"x\xF0\x9F\x98", 1},         // four-byte sequence, three bytes of it
        {"x\xF0\x9F\x98\x80", 5},
        {"\x80\x80\x80\x80", 4},      // continuation bytes without a start: passed on
        {"a\xFF", 2},                 // begins no sequence: passed on
        {"\xC3\xA4\x80", 3},          // a stray continuation after a whole character
    };
    for (const auto& c : cases) {
        const std::string bytes = c.bytes;
        EXPECT_EQ(CompleteUtf8Length(bytes.data(), bytes.size()), c.complete) << ::testing::PrintToString(bytes);
    }
}

TEST(CompleteUtf8Length, EveryCutOfATextIsMovedBackToACharacterBoundary) {
    // One, two, three and four bytes per character.
    const std::string text = "a\xC3\xA4\xE3\x83\x86\xF0\x9F\x98\x80z";
    const auto boundary = [&](size_t at) {
        return at == text.size() || (static_cast<unsigned char>(text[at]) & 0xC0) != 0x80;
    };
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        const size_t complete = CompleteUtf8Length(text.data(), cut);
        EXPECT_TRUE(boundary(complete)) << cut;
        EXPECT_LE(complete, cut);
        EXPECT_LT(cut - complete, 4u) << cut;
        if (boundary(cut)) {
            EXPECT_EQ(complete, cut);
        }
    }
}

#ifdef _WIN32
TEST(Utf8Word, WordsAreUtf8AndAnUnpairedSurrogateNamesNoFile) {
    const struct {
        const wchar_t* wide;
        const char* utf8;
    } cases[] = {
        {L"", ""},
        {L"read-block", "read-block"},
        {L"\u00e9\u65e5", "\xC3\xA9\xE6\x97\xA5"},
        {L"\U0001F600.bin", "\xF0\x9F\x98\x80.bin"},                 // a surrogate pair
        {L"\uFFFD.bin", "\xEF\xBF\xBD.bin"},
        {L"d\xD800.bin", "d\xED\xA0\x80.bin"},                       // unpaired: not U+FFFD
        {L"\xDC00\xD800", "\xED\xB0\x80\xED\xA0\x80"},                 // the wrong order
    };
    for (const auto& c : cases) EXPECT_EQ(Utf8Word(c.wide), std::string(c.utf8));
    // The word with the unpaired surrogate names no file, not the U+FFFD one.
    const std::filesystem::path folder = std::filesystem::temp_directory_path() /
                                         ("azk_words_" + std::to_string(std::random_device()()));
    std::filesystem::create_directory(folder);
    std::ofstream(folder / L"d\uFFFD.bin") << "not this one";
    const std::string word = (folder / "").u8string() + Utf8Word(L"d\xD800.bin");
    std::FILE* file = OpenFile(word, "rb");
    EXPECT_EQ(file, nullptr);
    if (file != nullptr) std::fclose(file);
    std::filesystem::remove_all(folder);
}

// A file gets the very bytes written: no CR added, characters whole, and
// more than the buffer holds.
TEST(HandleBuffer, AFileGetsTheBytesAsTheyAreWritten) {
    const std::filesystem::path path = std::filesystem::temp_directory_path() /
                                       ("devcmd-out-" + std::to_string(std::random_device{}()) + ".txt");
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    std::string expected = "line 1\nline 2\r\nK\xC3\xA4se \xE3\x83\x86\n";
    expected += std::string(5000, 'x') + "\n";
    {
        HandleBuffer buffer(file);
        std::ostream out(&buffer);
        EXPECT_FALSE(IsConsole(file));
        for (const char c : expected.substr(0, 20)) out << c << std::flush;  // a flush inside each character
        out << expected.substr(20);
        out.flush();
        EXPECT_TRUE(out.good());
    }
    CloseHandle(file);
    std::ifstream in(path, std::ios::binary);
    const std::string written{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    in.close();
    std::filesystem::remove(path);
    EXPECT_EQ(written, expected);
}

TEST(HandleBuffer, WithoutAHandleEverythingIsTaken) {
    for (void* handle : {static_cast<void*>(nullptr), static_cast<void*>(INVALID_HANDLE_VALUE)}) {
        HandleBuffer buffer(handle);
        std::ostream out(&buffer);
        out << std::string(10000, 'y') << std::flush;
        EXPECT_TRUE(out.good());
        EXPECT_FALSE(IsConsole(handle));
    }
}
#endif

}  // namespace
}  // namespace azk::devcmd

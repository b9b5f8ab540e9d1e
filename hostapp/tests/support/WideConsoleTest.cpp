// The console printer on a stream the program has already used: its text
// must arrive whatever orientation the stream has, and leave the stream
// usable the way the program used it.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <cwchar>
#include <string>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#include "support/WideConsole.h"

namespace azk {
namespace {

enum class Before { Nothing, Narrow, Wide };

struct OrientationCase {
    const char* name;
    Before before;
};

class WideConsoleTest : public ::testing::TestWithParam<OrientationCase> {
protected:
    void SetUp() override {
#if defined(_WIN32)
        GTEST_SKIP() << "the C runtime of Windows gives streams no orientation";
#else
        const char* old = std::setlocale(LC_ALL, nullptr);
        savedLocale_ = old != nullptr ? old : "C";
        ASSERT_NE(std::setlocale(LC_ALL, "C.UTF-8"), nullptr);
        stream_ = std::tmpfile();
        ASSERT_NE(stream_, nullptr);
        SetConsoleStream(stream_);
#endif
    }
    void TearDown() override {
        SetConsoleStream(nullptr);
        if (stream_ != nullptr) std::fclose(stream_);
        if (!savedLocale_.empty()) std::setlocale(LC_ALL, savedLocale_.c_str());
    }

    // The program's own output, in the orientation the case gives the stream.
    void ProgramPrints(Before how, const char* text) {
        if (how == Before::Wide) {
            std::fwprintf(stream_, L"%s", text);
        } else {
            std::fputs(text, stream_);
        }
    }

    // The file's bytes, read beside the stream (a wide stream has no getc).
    std::string Contents() {
        std::fflush(stream_);
        std::string bytes;
#if !defined(_WIN32)
        char chunk[4096];
        ssize_t n;
        for (off_t at = 0; (n = ::pread(fileno(stream_), chunk, sizeof chunk, at)) > 0; at += n) {
            bytes.append(chunk, static_cast<size_t>(n));
        }
#endif
        return bytes;
    }

    std::FILE* stream_ = nullptr;
    std::string savedLocale_;
};

TEST_P(WideConsoleTest, MessageArrivesBetweenTheProgramsOwnOutput) {
    const Before before = GetParam().before;
    if (before != Before::Nothing) ProgramPrints(before, "before\n");
    EXPECT_GT(WidePrintf(L"%ls : %d%%\n", L"書き込み失敗", 42), 0);
    // After it the program goes on as it began (narrow when it had not begun).
    ProgramPrints(before == Before::Wide ? Before::Wide : Before::Narrow, "after\n");
    const std::string expected =
        std::string(before != Before::Nothing ? "before\n" : "") + "書き込み失敗 : 42%\nafter\n";
    EXPECT_EQ(Contents(), expected);
}

TEST_P(WideConsoleTest, LongMessageArrivesWhole) {
    const Before before = GetParam().before;
    if (before != Before::Nothing) ProgramPrints(before, "x");
    const std::wstring longText(5000, L'あ');
    WidePrintf(L"[%ls]", longText.c_str());
    std::string expected = before != Before::Nothing ? "x[" : "[";
    for (int i = 0; i < 5000; ++i) expected += "あ";
    expected += "]";
    const std::string contents = Contents();
    EXPECT_EQ(contents.size(), expected.size());
    EXPECT_TRUE(contents == expected);
}

INSTANTIATE_TEST_SUITE_P(Orientations, WideConsoleTest,
                         ::testing::Values(OrientationCase{"Unused", Before::Nothing},
                                           OrientationCase{"Narrow", Before::Narrow},
                                           OrientationCase{"Wide", Before::Wide}),
                         [](const ::testing::TestParamInfo<OrientationCase>& p) { return p.param.name; });

}  // namespace
}  // namespace azk

// The front end's printed forms that need no device: the usage text, the
// event printer and the result printer.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <regex>
#include <string>

#include "KeyConfigTestSupport.h"
#include "win/KeyConfig/KeyConfigApp.h"

namespace azk::test {
namespace {

TEST(KeyConfigUsage, PrintsTheWholeTextWithTheGivenProgramName) {
    struct Case {
        const wchar_t* programName;
        std::string utf8;
    };
    const Case cases[] = {
        {L"KeyConfig", "KeyConfig"},
        {L"", ""},
        // Wide text reaches the console as UTF-8, beyond ASCII too.
        {L"\u30ad\u30fc\u8a2d\u5b9a", "\xe3\x82\xad\xe3\x83\xbc\xe8\xa8\xad\xe5\xae\x9a"},
        // A program name is printed as it is, never read as a format.
        {L"Key%sConfig%n", "Key%sConfig%n"},
    };
    for (const Case& c : cases) {
        azk_CFrontEndCapture capture;
        ASSERT_TRUE(capture.Ok());
        PrintUsage(c.programName);
        EXPECT_EQ(capture.Finish(), ExpectedUsage(c.utf8)) << c.utf8;
    }
}

TEST(KeyConfigUsage, BuildDateAndTimeHaveTheirFixedForms) {
    const std::string date = Narrow(BuildDate());
    const std::string time = Narrow(BuildTime());
    EXPECT_TRUE(std::regex_match(date, std::regex("(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                  "( [1-9]|[12][0-9]|3[01]) [0-9]{4}")))
        << date;
    EXPECT_TRUE(std::regex_match(time, std::regex("([01][0-9]|2[0-3]):[0-5][0-9]:[0-5][0-9]"))) << time;
}

TEST(KeyConfigPrintEvent, PrintsOneLinePerEventAndNothingForTheDeviceLostEvent) {
    struct Case {
        int event;
        int stat;
        const char* expected;
    };
    const Case cases[] = {
        {1, 5, "Event Packet : event=0x01 stat=0x05\n"},
        {9, 0, "Event Packet : event=0x09 stat=0x00\n"},
        {2, 0xAB, "Event Packet : event=0x02 stat=0xab\n"},
        {3, 0x1234, "Event Packet : event=0x03 stat=0x1234\n"},
        {3, 0xFFFF, "Event Packet : event=0x03 stat=0xffff\n"},
        {255, 0, ""},
        {255, 7, ""},
    };
    for (const Case& c : cases) {
        azk_CFrontEndCapture capture;
        ASSERT_TRUE(capture.Ok());
        PrintEvent(c.event, c.stat);
        EXPECT_EQ(capture.Finish(), c.expected) << "event " << c.event << " stat " << c.stat;
    }
}

TEST(KeyConfigPrintResult, PrintsALineBreakAndTheMessageOfEveryCode) {
    struct Case {
        int32_t code;
        const char* message;
    };
    const Case cases[] = {
        {0, "ok : completed\n"},
        {-1, "error : general error\n"},
        {-2, "error : parameter error\n"},
        {-3, "error : initialize error\n"},
        {-4, "error : connection error\n"},
        {-5, "error : command error\n"},
        {-6, "error : device error\n"},
        {-7, "error : timeout error\n"},
        {-8, "error : exec system error\n"},
        {-9, "error : not enough arguments\n"},
        {-10, "error : unknown error\n"},
        {-13, "error : unknown error\n"},
        {-16, "error : unknown error\n"},
        {1, "error : unknown error\n"},
        {INT32_MIN, "error : unknown error\n"},
        {INT32_MAX, "error : unknown error\n"},
    };
    for (const Case& c : cases) {
        azk_CFrontEndCapture capture;
        ASSERT_TRUE(capture.Ok());
        PrintResult(c.code);
        EXPECT_EQ(capture.Finish(), std::string("\n") + c.message) << "code " << c.code;
    }
}

}  // namespace
}  // namespace azk::test

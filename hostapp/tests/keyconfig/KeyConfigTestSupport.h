// KeyConfigTestSupport.h - capturing the front end's console output and the
// texts it is compared with.
#ifndef AZK_TESTS_KEYCONFIG_TEST_SUPPORT_H
#define AZK_TESTS_KEYCONFIG_TEST_SUPPORT_H

#include <clocale>
#include <mutex>
#include <string>

#include "ConsoleCapture.h"
#include "support/WideConsole.h"
#include "win/KeyConfig/KeyConfigApp.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace azk::test {

// The front end prints wide text, which the C runtime turns into the
// locale's multibyte text: UTF-8 under "C.UTF-8" on POSIX, CP932 under the
// "japanese" locale that the Windows tool sets, there with CRLF line ends as
// the stream is in text mode. Captures are turned back into UTF-8 with "\n"
// line ends (ConsoleTextToUtf8), so that one set of expected texts serves
// both builds.
inline void SetConsoleLocale() {
#ifdef _WIN32
    std::setlocale(LC_ALL, "japanese");
#else
    std::setlocale(LC_ALL, "C.UTF-8");
#endif
}

// Sets the console locale once, before any capture stream is first written.
inline void EnsureConsoleLocale() {
    static std::once_flag once;
    std::call_once(once, SetConsoleLocale);
}

#ifdef _WIN32
// CP932 text as UTF-8, each CRLF turned into "\n" (a lone CR stays, so that
// one the program printed itself still shows).
inline std::string ConsoleTextToUtf8(const std::string& bytes) {
    std::string text;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
        text.push_back(bytes[i]);
    }
    if (text.empty()) return text;
    const int length = static_cast<int>(text.size());
    const int chars = ::MultiByteToWideChar(932, 0, text.data(), length, nullptr, 0);
    if (chars <= 0) return "<not CP932>";
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    ::MultiByteToWideChar(932, 0, text.data(), length, &wide[0], chars);
    const int bytesOut = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), chars, nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(bytesOut > 0 ? bytesOut : 0), '\0');
    if (bytesOut > 0) {
        ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), chars, &utf8[0], bytesOut, nullptr, nullptr);
    }
    return utf8;
}
#else
inline std::string ConsoleTextToUtf8(const std::string& bytes) { return bytes; }
#endif

// Captures everything the front end prints, the console locale set before
// anything is written; Finish() ends the capture and returns the text as
// UTF-8 with "\n" line ends.
class azk_CFrontEndCapture {
public:
    bool Ok() const { return capture_.Ok(); }
    std::string Finish() { return ConsoleTextToUtf8(capture_.Finish()); }

private:
    bool localeSet_ = (EnsureConsoleLocale(), true);
    azk_CConsoleCapture capture_;
};

// Wide text of the build date or time (ASCII) as bytes.
inline std::string Narrow(const std::wstring& ascii) {
    std::string out;
    for (wchar_t c : ascii) out.push_back(static_cast<char>(c));
    return out;
}

// The usage text, with `name` being the program name as UTF-8.
inline std::string ExpectedUsage(const std::string& name) {
    const std::string date = Narrow(BuildDate());
    const std::string time = Narrow(BuildTime());
    return "\n" + name + " [ver.0.90] (build date : " + date + " " + time + ")\n" +
           "Copyright (C) 2026 The KeyConfig Project\n"
           "\n"
           "Usage : \n"
           "  " + name + " <command> [prm] ... \n\n" +
           "<command> = \n"
           "  -help : print this usage.\n"
           "  -require : get current key configs.\n"
           "  -reset : reset to default about key configs.\n"
           "  -lock [key] : lock specified keys (multiple entries allowed).\n"
           "     [key] = \n"
           "       \"Bluetooth\"\n"
           "       \"Call\"\n"
           "       \"MicMute\"\n"
           "       \"VolDown\"\n"
           "       \"VolUp\"\n"
           "       \"SpMute\"\n"
           "  -se [onoff] : select whether playing SE when pushed locked key.\n"
           "     [onoff] = \n"
           "       \"on\"\n"
           "       \"off\"\n"
           "\n"
           "(e.g.) To lock \"Bluetooth\" key, execute the following command. \n" +
           name + " -lock Bluetooth -se on" +
           "\n";
}

}  // namespace azk::test

#endif

// KeyConfigTestSupport.h - capturing the front end's console output and the
// texts it is compared with.
#ifndef AZK_TESTS_KEYCONFIG_TEST_SUPPORT_H
#define AZK_TESTS_KEYCONFIG_TEST_SUPPORT_H

#include <clocale>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <sstream>
#include <string>

#include "support/WideConsole.h"
#include "win/KeyConfig/KeyConfigApp.h"

namespace azk::test {

// The front end prints wide text; with a UTF-8 locale it reaches the
// captured stream as UTF-8. Set before any capture stream is first written.
inline void EnsureUtf8Locale() {
    static std::once_flag once;
    std::call_once(once, [] { std::setlocale(LC_ALL, "C.UTF-8"); });
}

// Sends everything the front end prints to a temporary file while alive;
// Finish() ends the capture and returns the bytes written.
class azk_CConsoleCapture {
public:
    azk_CConsoleCapture() {
        EnsureUtf8Locale();
        std::random_device random;
        std::ostringstream name;
        name << "azk_keyconfig_capture_" << std::hex << random() << random() << ".txt";
        path_ = std::filesystem::temp_directory_path() / name.str();
        file_ = std::fopen(path_.string().c_str(), "w");
        opened_ = file_ != nullptr;
        if (opened_) SetConsoleStream(file_);
    }

    ~azk_CConsoleCapture() {
        Stop();
        std::error_code ignored;
        std::filesystem::remove(path_, ignored);
    }

    azk_CConsoleCapture(const azk_CConsoleCapture&) = delete;
    azk_CConsoleCapture& operator=(const azk_CConsoleCapture&) = delete;

    bool Ok() const { return opened_; }

    std::string Finish() {
        Stop();
        std::ifstream in(path_, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    void Stop() {
        if (file_ != nullptr) {
            SetConsoleStream(nullptr);
            std::fclose(file_);
            file_ = nullptr;
        }
    }

    std::filesystem::path path_;
    std::FILE* file_ = nullptr;
    bool opened_ = false;
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

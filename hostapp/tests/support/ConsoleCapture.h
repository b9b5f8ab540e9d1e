// ConsoleCapture.h - what the product prints through WidePrintf, captured
// into a temporary file while the capture is alive.
#ifndef AZK_TESTS_CONSOLE_CAPTURE_H
#define AZK_TESTS_CONSOLE_CAPTURE_H

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <system_error>

#include "support/WideConsole.h"

namespace azk::test {

// Text written through a text-mode stream on Windows ends its lines with
// CRLF; each CRLF is turned back into "\n" there (a lone CR stays).
inline std::string WithoutCarriageReturns(const std::string& text) {
#ifdef _WIN32
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
        out += text[i];
    }
    return out;
#else
    return text;
#endif
}

class azk_CConsoleCapture {
public:
    azk_CConsoleCapture() {
#ifdef _WIN32
        std::random_device random;
        std::ostringstream name;
        name << "azk_console_capture_" << std::hex << random() << random() << ".txt";
        path_ = std::filesystem::temp_directory_path() / name.str();
        file_ = std::fopen(path_.string().c_str(), "w");  // text mode, as the console stream is
#else
        // A file without a name: nothing is left behind by a test process
        // that dies while it captures.
        file_ = std::tmpfile();
#endif
        opened_ = file_ != nullptr;
        if (opened_) SetConsoleStream(file_);
    }
    ~azk_CConsoleCapture() { Stop(); }
    azk_CConsoleCapture(const azk_CConsoleCapture&) = delete;
    azk_CConsoleCapture& operator=(const azk_CConsoleCapture&) = delete;

    bool Ok() const { return opened_; }

    // Ends the capture and returns the bytes printed, with "\n" line ends.
    std::string Finish() {
        std::string text;
        if (file_ == nullptr) return text;
        SetConsoleStream(nullptr);
#ifdef _WIN32
        std::fclose(file_);
        file_ = nullptr;
        std::ifstream in(path_, std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
#else
        std::rewind(file_);
        char chunk[4096];
        size_t n;
        while ((n = std::fread(chunk, 1, sizeof chunk, file_)) > 0) text.append(chunk, n);
#endif
        Stop();
        return WithoutCarriageReturns(text);
    }

private:
    void Stop() {
        if (file_ != nullptr) {
            SetConsoleStream(nullptr);
            std::fclose(file_);
            file_ = nullptr;
        }
        if (!path_.empty()) {
            std::error_code ignored;
            std::filesystem::remove(path_, ignored);
            path_.clear();
        }
    }

    std::filesystem::path path_;  // Windows only: the capture's named file
    std::FILE* file_ = nullptr;
    bool opened_ = false;
};

}  // namespace azk::test

#endif

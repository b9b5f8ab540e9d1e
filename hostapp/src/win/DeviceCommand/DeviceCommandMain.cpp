// DeviceCommandMain.cpp - process entry of the DeviceCommand tool.
//
// The tool works in UTF-8 text throughout: its words, its file names, its
// JSON. On Windows the words come from the wide command line, a file or a
// pipe receives the very bytes the Linux build writes (LF line ends, UTF-8),
// and a console shows the text as wide characters whatever its code page.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <iostream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <streambuf>

#include <windows.h>
#else
#include <unistd.h>
#endif

#include "win/DeviceCommand/DeviceCommandApp.h"

#ifdef _WIN32
namespace {

std::string Utf8Of(const wchar_t* word) {
    const int wideLength = static_cast<int>(wcslen(word));
    if (wideLength == 0) return std::string();
    // An unpaired surrogate becomes U+FFFD.
    const int length = WideCharToMultiByte(CP_UTF8, 0, word, wideLength, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return std::string();
    std::string text(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, word, wideLength, &text[0], length, nullptr, nullptr);
    return text;
}

bool IsConsole(HANDLE handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

// A standard handle as a stream buffer: the bytes as they are to a file or a
// pipe (no CRLF translation), UTF-8 text as wide characters to a console.
class StandardHandleBuffer : public std::streambuf {
public:
    explicit StandardHandleBuffer(DWORD which)
        : handle_(GetStdHandle(which)), console_(IsConsole(handle_)) {
        setp(buffer_, buffer_ + sizeof buffer_);
    }
    ~StandardHandleBuffer() override { Drain(true); }
    StandardHandleBuffer(const StandardHandleBuffer&) = delete;
    StandardHandleBuffer& operator=(const StandardHandleBuffer&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (!Drain(false)) return traits_type::eof();
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
        return c;
    }
    int sync() override { return Drain(false) ? 0 : -1; }

private:
    // Bytes at the end that begin a UTF-8 sequence not yet complete: they
    // wait for the rest, unless this is the end.
    static size_t IncompleteTail(const char* data, size_t size) {
        for (size_t back = 1; back <= 3 && back <= size; ++back) {
            const unsigned char byte = static_cast<unsigned char>(data[size - back]);
            if ((byte & 0xC0) == 0x80) continue;  // a continuation byte
            const size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return needed > back ? back : 0;
        }
        return 0;
    }

    // Writes what is buffered; false when the handle refuses it.
    bool Drain(bool atEnd) {
        size_t size = static_cast<size_t>(pptr() - pbase());
        size_t keep = 0;
        bool ok = true;
        if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
            // No such handle (a program started without one): dropped.
        } else if (console_) {
            keep = atEnd ? 0 : IncompleteTail(buffer_, size);
            ok = WriteWide(buffer_, size - keep);
        } else {
            ok = WriteBytes(buffer_, size);
        }
        if (keep > 0) std::memmove(buffer_, buffer_ + size - keep, keep);
        setp(buffer_, buffer_ + sizeof buffer_);
        pbump(static_cast<int>(keep));
        return ok;
    }

    bool WriteBytes(const char* data, size_t size) {
        while (size > 0) {
            DWORD written = 0;
            if (WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr) == 0 || written == 0) return false;
            data += written;
            size -= written;
        }
        return true;
    }

    bool WriteWide(const char* data, size_t size) {
        if (size == 0) return true;
        // Invalid UTF-8 becomes U+FFFD; the buffer bounds the length.
        wchar_t wide[sizeof buffer_];
        const int length = MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), wide,
                                               static_cast<int>(sizeof buffer_));
        for (int at = 0; at < length;) {
            DWORD written = 0;
            if (WriteConsoleW(handle_, wide + at, static_cast<DWORD>(length - at), &written, nullptr) == 0 ||
                written == 0) {
                return false;
            }
            at += static_cast<int>(written);
        }
        return length > 0;
    }

    HANDLE handle_;
    bool console_;
    char buffer_[4096];
};

}  // namespace

int wmain(int argc, wchar_t* argv[]) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.push_back(Utf8Of(argv[i]));
    StandardHandleBuffer outBuffer(STD_OUTPUT_HANDLE);
    StandardHandleBuffer errBuffer(STD_ERROR_HANDLE);
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    err.setf(std::ios::unitbuf);  // as std::cerr: each message at once
    // Progress goes to standard error, so it is shown when that is a console
    // (not merely a character device such as NUL).
    const bool terminal = IsConsole(GetStdHandle(STD_ERROR_HANDLE));
    const int status = azk::devcmd::DeviceCommandMain(words, out, err, terminal);
    out.flush();
    err.flush();
    return status;
}

#else

int main(int argc, char* argv[]) {
    std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + (argc > 0 ? argc : 0));
    // Progress goes to standard error, so it is shown when that is a terminal.
    const bool terminal = isatty(fileno(stderr)) != 0;
    return azk::devcmd::DeviceCommandMain(words, std::cout, std::cerr, terminal);
}

#endif

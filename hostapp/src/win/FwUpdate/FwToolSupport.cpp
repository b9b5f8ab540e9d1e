#include "win/FwUpdate/FwToolSupport.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>

#include "support/ProcessStart.h"

#ifdef _WIN32
#include <windows.h>

#include <io.h>
#include <locale.h>
#include <stdio.h>
#include <wchar.h>
#else
#include <unistd.h>
#endif

namespace azk {
namespace {

struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using FilePointer = std::unique_ptr<std::FILE, FileCloser>;

std::wstring ErrorText(int error) {
#ifdef _WIN32
    const wchar_t* text = _wcserror(error);
    return text != nullptr ? text : L"unknown error";
#else
    return WidenArgument(std::strerror(error));
#endif
}

FilePointer Open(const NativePath& path, bool write) {
#ifdef _WIN32
    return FilePointer(_wfopen(path.c_str(), write ? L"wb" : L"rb"));
#else
    return FilePointer(std::fopen(path.c_str(), write ? "wb" : "rb"));
#endif
}

// Whether the C runtime prints the character of `count` (1, or 2 for a
// surrogate pair) UTF-16 units at `text` as it is.
bool PrintsAsItIs(const wchar_t* text, size_t count) {
    if (count == 1 && (text[0] < 0x20 || text[0] == 0x7F)) return false;
#ifdef _WIN32
    const UINT codePage = ___lc_codepage_func();
    if (codePage == 0) return count == 1 && text[0] < 0x80;  // the "C" locale
    char bytes[16];
    const int units = static_cast<int>(count);
    if (codePage == CP_UTF8) {
        return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, units, bytes, sizeof bytes, nullptr,
                                   nullptr) > 0;
    }
    BOOL defaulted = FALSE;
    return WideCharToMultiByte(codePage, WC_NO_BEST_FIT_CHARS, text, units, bytes, sizeof bytes, nullptr,
                               &defaulted) > 0 &&
           !defaulted;
#else
    return true;
#endif
}

}  // namespace

std::vector<azk_SToolArgument> ToolArguments(int argc, NativeChar** argv) {
    std::vector<azk_SToolArgument> words;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        if (argv[i] == nullptr) break;
#ifdef _WIN32
        words.push_back({argv[i], argv[i]});
#else
        words.push_back({WidenArgument(argv[i]), argv[i]});
#endif
    }
    return words;
}

azk_SToolArgument ToolArgument(const std::string& word) {
    azk_SToolArgument argument;
    for (char c : word) {
        argument.text.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
        argument.path.push_back(static_cast<NativeChar>(static_cast<unsigned char>(c)));
    }
    return argument;
}

bool ReadWholeFile(const NativePath& path, size_t maxBytes, std::vector<uint8_t>& bytes, std::wstring& error) {
    bytes.clear();
    errno = 0;
    FilePointer file = Open(path, false);
    if (!file) {
        error = ErrorText(errno);
        return false;
    }
    std::vector<uint8_t> chunk(64 * 1024);
    for (;;) {
        const size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (n > maxBytes - bytes.size()) {
            bytes.clear();
            error = L"larger than " + std::to_wstring(maxBytes) + L" bytes";
            return false;
        }
        bytes.insert(bytes.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(n));
        if (n < chunk.size()) break;
    }
    if (std::ferror(file.get())) {
        const int cause = errno;
        bytes.clear();
        error = cause != 0 ? ErrorText(cause) : L"read error";
        return false;
    }
    return true;
}

bool WriteWholeFile(const NativePath& path, const std::vector<uint8_t>& bytes, std::wstring& error) {
    errno = 0;
    FilePointer file = Open(path, true);
    if (!file) {
        error = ErrorText(errno);
        return false;
    }
    const size_t written = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    std::FILE* raw = file.release();
    const bool closed = std::fclose(raw) == 0;
    if (written != bytes.size() || !closed) {
        error = errno != 0 ? ErrorText(errno) : L"write error";
        return false;
    }
    return true;
}

std::wstring PrintableName(const std::wstring& name) {
    std::wstring printable;
    for (size_t at = 0; at < name.size();) {
        uint32_t code = static_cast<uint32_t>(name[at]);
        size_t count = 1;
        if (sizeof(wchar_t) == 2 && code >= 0xD800 && code <= 0xDBFF && at + 1 < name.size()) {
            const uint32_t low = static_cast<uint32_t>(name[at + 1]);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
                count = 2;
            }
        }
        if (PrintsAsItIs(name.data() + at, count)) {
            printable.append(name, at, count);
        } else {
            wchar_t escaped[16];
            std::swprintf(escaped, sizeof escaped / sizeof escaped[0], L"\\u{%X}", static_cast<unsigned>(code));
            printable += escaped;
        }
        at += count;
    }
    return printable;
}

bool StdoutIsTerminal() {
#ifdef _WIN32
    return _isatty(_fileno(stdout)) != 0;
#else
    return ::isatty(STDOUT_FILENO) != 0;
#endif
}

bool ParseUnsigned(const std::wstring& text, uint64_t max, uint64_t& value) {
    if (text.empty() || text.size() > 20) return false;
    uint64_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9') return false;
        const uint64_t digit = static_cast<uint64_t>(c - L'0');
        if (digit > max || n > (max - digit) / 10) return false;
        n = n * 10 + digit;
    }
    value = n;
    return true;
}

}  // namespace azk

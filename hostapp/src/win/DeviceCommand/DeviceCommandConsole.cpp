// DeviceCommandConsole.cpp - DeviceCommand's words and standard streams on
// Windows.
#include "win/DeviceCommand/DeviceCommandConsole.h"

#ifdef _WIN32
#include <windows.h>

#include <cstring>
#include <cwchar>
#endif

namespace azk::devcmd {

size_t CompleteUtf8Length(const char* data, size_t size) {
    for (size_t back = 1; back <= 3 && back <= size; ++back) {
        const unsigned char byte = static_cast<unsigned char>(data[size - back]);
        if ((byte & 0xC0) == 0x80) continue;  // a continuation byte: look further back
        const size_t length = byte >= 0xF8 ? 1 : byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
        return length > back ? size - back : size;
    }
    return size;
}

#ifdef _WIN32

std::string Utf8Word(const wchar_t* wide) {
    std::string word;
    const auto put = [&word](unsigned value, int bytes) {
        static const unsigned char kLead[] = {0x00, 0x00, 0xC0, 0xE0, 0xF0};
        word.push_back(static_cast<char>(bytes == 1 ? value : kLead[bytes] | (value >> (6 * (bytes - 1)))));
        for (int shift = 6 * (bytes - 2); shift >= 0; shift -= 6) {
            word.push_back(static_cast<char>(0x80 | ((value >> shift) & 0x3F)));
        }
    };
    for (const wchar_t* at = wide; *at != 0; ++at) {
        unsigned unit = static_cast<unsigned>(*at) & 0xFFFF;
        const unsigned next = static_cast<unsigned>(at[1]) & 0xFFFF;
        if (unit >= 0xD800 && unit <= 0xDBFF && next >= 0xDC00 && next <= 0xDFFF) {
            unit = 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00);
            ++at;
        }
        // An unpaired surrogate (D800 to DFFF) gets its three bytes too.
        put(unit, unit < 0x80 ? 1 : unit < 0x800 ? 2 : unit < 0x10000 ? 3 : 4);
    }
    return word;
}

std::vector<std::string> Utf8Words(int argc, wchar_t** argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) words.push_back(Utf8Word(argv[i]));
    return words;
}

bool IsConsole(void* handle) {
    DWORD mode = 0;
    return handle != nullptr && handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

HandleBuffer::HandleBuffer(void* handle) : handle_(handle), console_(IsConsole(handle)) {
    setp(buffer_, buffer_ + sizeof buffer_);
}

HandleBuffer::~HandleBuffer() { Drain(true); }

HandleBuffer::int_type HandleBuffer::overflow(int_type c) {
    if (!Drain(false)) return traits_type::eof();
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
    return c;
}

int HandleBuffer::sync() { return Drain(false) ? 0 : -1; }

bool HandleBuffer::Drain(bool atEnd) {
    const size_t size = static_cast<size_t>(pptr() - pbase());
    size_t done = size;
    bool ok = true;
    if (handle_ == nullptr || handle_ == INVALID_HANDLE_VALUE) {
        // No such stream (a program started without one): nothing to keep.
    } else if (console_) {
        done = atEnd ? size : CompleteUtf8Length(buffer_, size);
        ok = WriteWide(buffer_, done);
    } else {
        ok = WriteBytes(buffer_, size);
    }
    const size_t kept = size - done;
    if (kept > 0) std::memmove(buffer_, buffer_ + done, kept);
    setp(buffer_, buffer_ + sizeof buffer_);
    pbump(static_cast<int>(kept));
    return ok;
}

bool HandleBuffer::WriteBytes(const char* data, size_t size) {
    while (size > 0) {
        DWORD written = 0;
        if (WriteFile(handle_, data, static_cast<DWORD>(size), &written, nullptr) == 0 || written == 0) return false;
        data += written;
        size -= written;
    }
    return true;
}

bool HandleBuffer::WriteWide(const char* data, size_t size) {
    if (size == 0) return true;
    // As many UTF-16 units as bytes at the most; invalid UTF-8 becomes U+FFFD.
    wchar_t wide[sizeof buffer_];
    const int length =
        MultiByteToWideChar(CP_UTF8, 0, data, static_cast<int>(size), wide, static_cast<int>(sizeof buffer_));
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

#endif

}  // namespace azk::devcmd

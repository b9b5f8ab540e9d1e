// DeviceCommandConsole.h - DeviceCommand's words and standard streams on
// Windows. The tool works in UTF-8 throughout; there its words come from the
// wide command line, a file or a pipe receives the very bytes the Linux
// build writes (LF line ends, UTF-8), and a console shows the text as wide
// characters whatever its code page.
#ifndef AZK_DEVICECOMMAND_CONSOLE_H
#define AZK_DEVICECOMMAND_CONSOLE_H

#include <cstddef>
#include <streambuf>
#include <string>
#include <vector>

namespace azk::devcmd {

// How many of the `size` UTF-8 bytes at `data` can be converted now: all
// but a sequence cut short at the end, which waits for the rest of it.
// Bytes that begin no sequence count as complete (conversion replaces them).
size_t CompleteUtf8Length(const char* data, size_t size);

#ifdef _WIN32
// A word of the wide command line as UTF-8. An unpaired surrogate, which no
// UTF-8 holds, gets the three bytes its value would have: the word is then
// not UTF-8, and a file it names is not found, where a U+FFFD in its place
// could name another file.
std::string Utf8Word(const wchar_t* wide);

// The words after the program name, each as Utf8Word gives it.
std::vector<std::string> Utf8Words(int argc, wchar_t** argv);

// True when `handle` (a HANDLE) is a console, not merely a character device
// such as NUL.
bool IsConsole(void* handle);

// A handle as a stream buffer: the bytes as they are to a file or a pipe (no
// CRLF translation), UTF-8 text as wide characters to a console. A missing
// handle (null or invalid) takes everything and keeps nothing.
class HandleBuffer : public std::streambuf {
public:
    explicit HandleBuffer(void* handle);
    ~HandleBuffer() override;
    HandleBuffer(const HandleBuffer&) = delete;
    HandleBuffer& operator=(const HandleBuffer&) = delete;

protected:
    int_type overflow(int_type c) override;
    int sync() override;

private:
    // Writes what is buffered, but for a sequence cut short unless `atEnd`;
    // false when the handle refuses it.
    bool Drain(bool atEnd);
    bool WriteBytes(const char* data, size_t size);
    bool WriteWide(const char* data, size_t size);

    void* handle_;
    bool console_;
    char buffer_[4096];
};
#endif

}  // namespace azk::devcmd

#endif

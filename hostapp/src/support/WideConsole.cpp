#include "support/WideConsole.h"

#include <atomic>
#include <climits>
#include <cstdarg>
#include <cwchar>
#include <vector>

namespace azk {
namespace {
std::atomic<std::FILE*> g_stream{nullptr};

#if !defined(_WIN32)
// The C library gives a stream one orientation, fixed by its first use:
// after narrow output every wide call on it fails, and the reverse. The
// session library prints into programs that may have used their standard
// output either way already. So a stream already wide is printed to wide;
// any other gets the text as multibyte characters of the locale in effect,
// as printf would write them (an unused stream then stays narrow, the
// orientation C and C++ programs mostly use).
class azk_CNarrowWriter {
public:
    explicit azk_CNarrowWriter(std::FILE* stream) : stream_(stream) {}
    ~azk_CNarrowWriter() { Flush(); }
    azk_CNarrowWriter(const azk_CNarrowWriter&) = delete;
    azk_CNarrowWriter& operator=(const azk_CNarrowWriter&) = delete;

    void Put(wchar_t c) {
        if (used_ + MB_LEN_MAX > sizeof bytes_) Flush();
        std::size_t n = std::wcrtomb(bytes_ + used_, c, &state_);
        if (n == static_cast<std::size_t>(-1)) {  // not in the locale's character set
            state_ = std::mbstate_t{};
            bytes_[used_] = '?';
            n = 1;
        }
        used_ += n;
    }

private:
    void Flush() {
        if (used_ > 0) std::fwrite(bytes_, 1, used_, stream_);
        used_ = 0;
    }

    std::FILE* stream_;
    char bytes_[1024];
    std::size_t used_ = 0;
    std::mbstate_t state_{};
};

// The longest message formatted; one beyond it is not printed.
constexpr std::size_t kMaxMessage = std::size_t{1} << 20;

int PrintNarrow(std::FILE* stream, const wchar_t* format, va_list args) {
    wchar_t small[512];
    std::vector<wchar_t> large;
    wchar_t* text = small;
    va_list attempt;
    va_copy(attempt, args);
    int n = std::vswprintf(small, sizeof small / sizeof small[0], format, attempt);
    va_end(attempt);
    // vswprintf fails when the text does not fit: try a larger buffer.
    for (std::size_t size = 8192; n < 0 && size <= kMaxMessage; size *= 8) {
        large.assign(size, L'\0');
        va_copy(attempt, args);
        n = std::vswprintf(large.data(), size, format, attempt);
        va_end(attempt);
        text = large.data();
    }
    if (n < 0) return n;
    azk_CNarrowWriter writer(stream);
    for (int i = 0; i < n; ++i) writer.Put(text[i]);
    return n;
}
#endif

}  // namespace

int WidePrintf(const wchar_t* format, ...) {
    std::FILE* stream = g_stream.load(std::memory_order_acquire);
    if (stream == nullptr) stream = stdout;
    va_list args;
    va_start(args, format);
#if defined(_WIN32)
    const int n = std::vfwprintf(stream, format, args);
#else
    const int n = std::fwide(stream, 0) > 0 ? std::vfwprintf(stream, format, args) : PrintNarrow(stream, format, args);
#endif
    va_end(args);
    std::fflush(stream);
    return n;
}

void SetConsoleStream(std::FILE* stream) { g_stream.store(stream, std::memory_order_release); }

}  // namespace azk

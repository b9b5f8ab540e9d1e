#include "support/WideConsole.h"

#include <atomic>
#include <cstdarg>
#include <cwchar>

namespace azk {
namespace {
std::atomic<std::FILE*> g_stream{nullptr};
}

int WidePrintf(const wchar_t* format, ...) {
    std::FILE* stream = g_stream.load(std::memory_order_acquire);
    if (stream == nullptr) stream = stdout;
    va_list args;
    va_start(args, format);
    const int n = std::vfwprintf(stream, format, args);
    va_end(args);
    std::fflush(stream);
    return n;
}

void SetConsoleStream(std::FILE* stream) { g_stream.store(stream, std::memory_order_release); }

}  // namespace azk

#include "support/ProcessStart.h"

#include <clocale>
#include <cstring>
#include <cwchar>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <langinfo.h>
#include <unistd.h>
#endif

namespace azk {
namespace {

bool IsPathSeparator(wchar_t c) {
#ifdef _WIN32
    return c == L'\\' || c == L'/' || c == L':';
#else
    return c == L'/';
#endif
}

#ifndef _WIN32
bool CodesetIsUtf8() {
    const char* codeset = nl_langinfo(CODESET);
    if (codeset == nullptr) return false;
    std::string lower;
    for (const char* p = codeset; *p != '\0'; ++p) {
        const char c = *p;
        lower.push_back(c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c);
    }
    return lower == "utf-8" || lower == "utf8";
}

// Bytes of the buffer the resolved executable path is read into.
constexpr size_t kExecutablePathBytes = 4096;
#endif

}  // namespace

void SetProcessLocale() {
#ifdef _WIN32
    std::setlocale(LC_ALL, "japanese");
#else
    const char* current = std::setlocale(LC_ALL, "");
    if (current == nullptr || !CodesetIsUtf8()) std::setlocale(LC_ALL, "C.UTF-8");
#endif
}

std::wstring ProgramNameFromPath(const std::wstring& path) {
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (IsPathSeparator(path[i])) start = i + 1;
    }
    std::wstring name = path.substr(start);
    const size_t dot = name.rfind(L'.');
    if (dot != std::wstring::npos) name.erase(dot);
    return name;
}

bool GetProgramName(ProgramNameBuffer& name) {
    name.fill(L'\0');
    std::wstring path;
#ifdef _WIN32
    wchar_t modulePath[kProgramNameCapacity] = {};
    const DWORD length = GetModuleFileNameW(GetModuleHandleW(nullptr), modulePath, kProgramNameCapacity);
    // A path that fills the whole buffer has been cut short.
    if (length == 0 || length >= kProgramNameCapacity) return false;
    path.assign(modulePath, length);
#else
    std::vector<char> executable(kExecutablePathBytes, '\0');
    const ssize_t length = readlink("/proc/self/exe", executable.data(), executable.size());
    if (length <= 0 || static_cast<size_t>(length) >= executable.size()) return false;
    executable[static_cast<size_t>(length)] = '\0';
    path = WidenArgument(executable.data());
#endif
    const std::wstring file = ProgramNameFromPath(path);
    if (file.size() >= kProgramNameCapacity) return false;
    std::wmemcpy(name.data(), file.c_str(), file.size());
    name[file.size()] = L'\0';
    return true;
}

#ifndef _WIN32
std::wstring WidenArgument(const char* text) {
    std::wstring wide;
    if (text == nullptr) return wide;
    const size_t length = std::strlen(text);
    std::mbstate_t state{};
    size_t pos = 0;
    while (pos < length) {
        wchar_t c = L'\0';
        const size_t used = std::mbrtowc(&c, text + pos, length - pos, &state);
        if (used == static_cast<size_t>(-1) || used == static_cast<size_t>(-2) || used == 0) {
            // Invalid or cut-off sequence: one replacement character per byte.
            wide.push_back(static_cast<wchar_t>(0xFFFD));
            state = std::mbstate_t{};
            ++pos;
            continue;
        }
        wide.push_back(c);
        pos += used;
    }
    return wide;
}
#endif

}  // namespace azk

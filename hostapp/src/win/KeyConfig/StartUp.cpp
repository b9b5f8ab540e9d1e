#include "win/KeyConfig/StartUp.h"

#include <string>
#include <vector>

#include "support/ProcessStart.h"
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

namespace azk {

bool InitializeFramework() {
#ifdef _WIN32
    // The framework of the Windows tool is the process itself: its module
    // handle and its command line, both of which must be there.
    return ::GetModuleHandleW(nullptr) != nullptr && ::GetCommandLineW() != nullptr;
#else
    return true;
#endif
}

#ifdef _WIN32
int KeyConfigProcessMain(int argc, wchar_t** argv, FrameworkInitializer initializeFramework) {
#else
int KeyConfigProcessMain(int argc, char** argv, FrameworkInitializer initializeFramework) {
#endif
    if (initializeFramework == nullptr || !initializeFramework()) {
        // The locale is set first so that the message can be read at all.
        SetProcessLocale();
        WidePrintf(L"致命的なエラー: MFC の初期化ができませんでした。\n");
        return 1;
    }

    SetProcessLocale();

    ProgramNameBuffer programName{};
    if (!GetProgramName(programName)) {
        WidePrintf(L"初期化に失敗しました。\n");
        programName[0] = L'\0';
    }

    std::vector<std::wstring> words;
    for (int i = 1; i < argc && argv != nullptr; ++i) {
        if (argv[i] == nullptr) break;
#ifdef _WIN32
        words.emplace_back(argv[i]);
#else
        words.push_back(WidenArgument(argv[i]));
#endif
    }
    return RunKeyConfig(programName.data(), words);
}

}  // namespace azk

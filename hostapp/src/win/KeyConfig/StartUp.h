// StartUp.h - the KeyConfig process start-up: application framework, locale,
// program name and the wide command-line words, then RunKeyConfig. The
// locale, program name and word helpers are shared by every tool
// (support/ProcessStart.h).
#ifndef AZK_KEYCONFIG_START_UP_H
#define AZK_KEYCONFIG_START_UP_H

#include "support/ProcessStart.h"

namespace azk {

// Initialises the application framework; false when it cannot be had. On
// Windows that is the process's module handle and command line; there is
// nothing to initialise on POSIX.
bool InitializeFramework();

using FrameworkInitializer = bool (*)();

// The whole process: start-up in order, then the argument logic on the
// words after argv[0]. Returns the exit status (1 when the framework cannot
// be initialised, else the result code of RunKeyConfig).
#ifdef _WIN32
int KeyConfigProcessMain(int argc, wchar_t** argv, FrameworkInitializer initializeFramework = InitializeFramework);
#else
int KeyConfigProcessMain(int argc, char** argv, FrameworkInitializer initializeFramework = InitializeFramework);
#endif

}  // namespace azk

#endif

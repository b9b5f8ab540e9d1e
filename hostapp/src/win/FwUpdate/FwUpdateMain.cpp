// FwUpdateMain.cpp - process entry of the FwUpdate tool.
#include "support/ProcessStart.h"
#include "win/FwUpdate/FwToolSupport.h"
#include "win/FwUpdate/FwUpdateApp.h"

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
    // The locale first: the words are widened in it, and the messages
    // printed through it.
    azk::SetProcessLocale();
    return azk::RunFwUpdate(azk::ToolArguments(argc, argv), azk::StdoutIsTerminal());
}

// FwImageMain.cpp - process entry of the FwImage tool.
#include "support/ProcessStart.h"
#include "win/FwUpdate/FwImageApp.h"
#include "win/FwUpdate/FwToolSupport.h"

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) {
#else
int main(int argc, char* argv[]) {
#endif
    azk::SetProcessLocale();
    return azk::RunFwImage(azk::ToolArguments(argc, argv));
}

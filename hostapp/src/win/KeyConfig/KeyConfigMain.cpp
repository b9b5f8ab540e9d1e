// KeyConfigMain.cpp - process entry of the KeyConfig tool.
#include "win/KeyConfig/StartUp.h"

#ifdef _WIN32
int wmain(int argc, wchar_t* argv[]) { return azk::KeyConfigProcessMain(argc, argv); }
#else
// The exit status is the low byte of the result code: -1 shows as 255, -4 as 252.
int main(int argc, char* argv[]) { return azk::KeyConfigProcessMain(argc, argv); }
#endif

# Cross build for 64-bit Windows with mingw-w64 (Debian: g++-mingw-w64-x86-64-posix).
#
#   cmake --preset mingw        (or -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake)
#
# The posix thread model is needed: with the win32 one GCC 12 has no
# std::thread or std::mutex. Executables are linked statically so that they
# need no runtime DLL next to them. Tests run under wine, in a wine prefix of
# the build folder's own (tools/test-windows.sh prepares it and starts its
# server before ctest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(AZK_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${AZK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${AZK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${AZK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${AZK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# libgcc, libstdc++ and winpthread inside every executable.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")

# How ctest (and gtest_discover_tests) runs a Windows executable: wine, quiet,
# with the build folder's prefix and without the Mono and Gecko install prompts.
set(AZK_WINEPREFIX "${CMAKE_BINARY_DIR}/wineprefix" CACHE PATH "Wine prefix the tests run in")
find_program(AZK_WINE_PROGRAM NAMES wine wine64 wine-stable)
if(NOT AZK_WINE_PROGRAM)
  set(AZK_WINE_PROGRAM wine)
endif()
# Started without address-space randomisation (setarch -R): wine maps its
# shared user data at a fixed address that a randomised layout takes now and
# then, and the start then fails with nothing printed (about one start in
# 6,000 on these machines: "failed to map the shared user data").
find_program(AZK_SETARCH_PROGRAM NAMES setarch)
set(_azk_no_aslr)
if(AZK_SETARCH_PROGRAM)
  set(_azk_no_aslr ${AZK_SETARCH_PROGRAM} -R)
endif()
set(CMAKE_CROSSCOMPILING_EMULATOR
    env WINEDEBUG=-all WINEPREFIX=${AZK_WINEPREFIX} WINEDLLOVERRIDES=mscoree,mshtml= ${_azk_no_aslr}
    ${AZK_WINE_PROGRAM})

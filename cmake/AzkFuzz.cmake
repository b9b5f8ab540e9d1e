# libFuzzer targets. With AZK_BUILD_FUZZERS (clang only) everything in the
# build is compiled with the fuzzer's coverage instrumentation and
# AddressSanitizer + UBSan, so a target links the project's libraries as they
# are. tools/fuzz.sh builds and runs the targets listed in tools/fuzz-targets.txt.
option(AZK_BUILD_FUZZERS "Build the libFuzzer targets (needs clang)" OFF)

if(AZK_BUILD_FUZZERS)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                        -fno-omit-frame-pointer)
    add_link_options(-fsanitize=address,undefined)
  else()
    message(WARNING "AZK_BUILD_FUZZERS needs clang: the fuzz targets are not built")
  endif()
endif()

# azk_add_fuzzer(NAME SOURCES source... [LIBS lib...] CORPUS dir): a libFuzzer
# target, and a ctest test that runs it once over its seed corpus (kept in
# the repository) as a quick regression check.
function(azk_add_fuzzer name)
  if(NOT AZK_BUILD_FUZZERS OR NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    return()
  endif()
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} azk_api)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  file(GLOB _azk_seeds ${ARG_CORPUS}/*)
  add_test(NAME ${name}_seeds COMMAND ${name} ${_azk_seeds})
endfunction()

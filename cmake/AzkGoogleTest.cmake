# GoogleTest is built from the sources Debian ships (package googletest), so
# that it carries the same sanitizer instrumentation as the code under test.
set(AZK_GOOGLETEST_SOURCE_DIR "/usr/src/googletest" CACHE PATH "GoogleTest source tree")
if(EXISTS "${AZK_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt")
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  # With MSVC, GoogleTest uses the same (DLL) C runtime as the project.
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
  add_subdirectory("${AZK_GOOGLETEST_SOURCE_DIR}" "${CMAKE_BINARY_DIR}/_googletest" EXCLUDE_FROM_ALL SYSTEM)
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# azk_add_test(NAME source... LIBS lib...): one GoogleTest suite run by ctest.
function(azk_add_test name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gmock GTest::gtest_main azk_options)
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST PROPERTIES TIMEOUT 120)
endfunction()

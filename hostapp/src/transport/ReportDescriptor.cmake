# HID report descriptor parser: the capabilities of an interface on
# platforms that hand over only the raw descriptor (hidraw, vhid).
target_sources(azk_transport PRIVATE ${CMAKE_CURRENT_LIST_DIR}/ReportDescriptor.cpp)

# libFuzzer targets (hostapp/tests/descriptor); built with clang only.
option(AZK_BUILD_FUZZERS "Build the libFuzzer targets (needs clang)" OFF)

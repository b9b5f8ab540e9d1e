# HID report descriptor parser: the capabilities of an interface on
# platforms that hand over only the raw descriptor (hidraw, vhid).
add_library(azk_hidparse STATIC ${CMAKE_CURRENT_LIST_DIR}/ReportDescriptor.cpp)
target_link_libraries(azk_hidparse PUBLIC azk_api)

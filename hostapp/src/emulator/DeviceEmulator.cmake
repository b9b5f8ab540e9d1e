# The emulated speakerphone on a real HID stack (Linux): the vhid socket
# server and the /dev/uhid attachment of the device model, and the
# DeviceEmulator tool that publishes devices for other programs.
if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  add_library(azk_emulator_linux STATIC
    ${CMAKE_CURRENT_LIST_DIR}/DeviceDescriptor.cpp
    ${CMAKE_CURRENT_LIST_DIR}/VhidServer.cpp
    ${CMAKE_CURRENT_LIST_DIR}/UhidAttachment.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EmulatorOptions.cpp
    ${CMAKE_CURRENT_LIST_DIR}/EmulatorTool.cpp)
  # The tool serves where the Linux HID layer looks: EmulatorTool.cpp uses
  # its VhidDirectory(), so an executable that runs the tool also links
  # azk_platform_linux (which needs azk_transport).
  target_link_libraries(azk_emulator_linux PUBLIC azk_emulator azk_transport)

  add_executable(DeviceEmulator ${CMAKE_CURRENT_LIST_DIR}/DeviceEmulatorMain.cpp)
  target_link_libraries(DeviceEmulator PRIVATE azk_emulator_linux azk_platform_linux)

  include(GNUInstallDirs)
  install(TARGETS DeviceEmulator RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# Installation and packages.
#
#   cmake --install <build> [--prefix <prefix>]
#
# Linux:   <prefix>/bin                       the tools
#          <prefix>/lib                       libkeyconfig-session.so.* and .a
#          <prefix>/include/keyconfig         SessionApi.h
#          <prefix>/lib/cmake/KeyConfig       find_package(KeyConfig CONFIG)
#          <prefix>/lib/pkgconfig             keyconfig-session.pc
#          <prefix>/lib/udev/rules.d          70-keyconfig.rules
# Windows: <prefix>/bin                       the tools and libkeyconfig-session.dll
#          <prefix>/lib                       libkeyconfig-session.dll.a
#          <prefix>/include/keyconfig         SessionApi.h
#
# Install components: "tools" (every executable; the default component, so
# a tool's own install(TARGETS ...) needs no COMPONENT), "library" (the
# shared library), "development" (header, import and static library, CMake
# package, pkg-config file) and "udev" (the rule). cpack packs all of them:
# keyconfig_<version>_<arch>.deb on Linux, keyconfig-<version>-win64.zip
# from the mingw build, in <build>/packages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

install(TARGETS KeyConfig RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

install(FILES ${PROJECT_SOURCE_DIR}/hostapp/src/session/SessionApi.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/keyconfig COMPONENT development)

if(WIN32)
  # The DLL beside the tools, its import library for the linker.
  install(TARGETS keyconfig_session
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
else()
  set(_azk_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/KeyConfig)
  install(TARGETS keyconfig_session keyconfig_session_static EXPORT KeyConfigTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                  NAMELINK_COMPONENT development
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
  install(EXPORT KeyConfigTargets NAMESPACE KeyConfig::
          DESTINATION ${_azk_cmake_dir} COMPONENT development)
  configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KeyConfigConfig.cmake.in
    ${PROJECT_BINARY_DIR}/packaging/KeyConfigConfig.cmake
    INSTALL_DESTINATION ${_azk_cmake_dir})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/packaging/KeyConfigConfigVersion.cmake
    VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/KeyConfigConfig.cmake
                ${PROJECT_BINARY_DIR}/packaging/KeyConfigConfigVersion.cmake
          DESTINATION ${_azk_cmake_dir} COMPONENT development)

  # pkg-config: what a static link adds comes from the static library's
  # link interface (Threads::Threads becomes -pthread, a system library -l).
  set(AZK_PC_PRIVATE_LIBS "-lstdc++ -lm")
  get_target_property(_azk_static_libs keyconfig_session_static INTERFACE_LINK_LIBRARIES)
  foreach(lib IN LISTS _azk_static_libs)
    if(lib STREQUAL "Threads::Threads")
      string(APPEND AZK_PC_PRIVATE_LIBS " -pthread")
    elseif(NOT TARGET ${lib} AND NOT lib MATCHES "^\\$<")
      string(APPEND AZK_PC_PRIVATE_LIBS " -l${lib}")
    endif()
  endforeach()
  # The prefix is known only when installing (cmake --install --prefix,
  # cpack): the file is written then.
  set(AZK_PC_PREFIX "@AZK_PC_PREFIX@")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/keyconfig-session.pc.in
                 ${PROJECT_BINARY_DIR}/packaging/keyconfig-session.pc.in @ONLY)
  install(CODE "
    set(AZK_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_BINARY_DIR}/packaging/keyconfig-session.pc.in\"
                   \"${PROJECT_BINARY_DIR}/packaging/keyconfig-session.pc\" @ONLY)"
          COMPONENT development)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/keyconfig-session.pc
          DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)
endif()

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # The udev rule that lets the user at the seat open the speakerphone's
  # hidraw node. A USB ID as udev writes it in idVendor/idProduct: four
  # lower-case hex digits.
  function(azk_udev_hex value out)
    math(EXPR number "${value}" OUTPUT_FORMAT HEXADECIMAL)
    string(REGEX REPLACE "^0x" "" hex "${number}")
    string(TOLOWER "${hex}" hex)
    string(LENGTH "${hex}" length)
    while(length LESS 4)
      string(PREPEND hex "0")
      string(LENGTH "${hex}" length)
    endwhile()
    set(${out} "${hex}" PARENT_SCOPE)
  endfunction()

  azk_udev_hex("${AZK_VENDOR_ID}" AZK_UDEV_VENDOR)
  azk_udev_hex("${AZK_PRODUCT_ID}" AZK_UDEV_PRODUCT_1)
  azk_udev_hex("${AZK_PRODUCT_ID} + 1" AZK_UDEV_PRODUCT_2)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/70-keyconfig.rules.in
                 ${PROJECT_BINARY_DIR}/packaging/70-keyconfig.rules @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/packaging/70-keyconfig.rules
          DESTINATION lib/udev/rules.d COMPONENT udev)
endif()

# Packages.
set(CPACK_PACKAGE_NAME keyconfig)
set(CPACK_PACKAGE_VENDOR "KeyConfig")
set(CPACK_PACKAGE_CONTACT "KeyConfig maintainers <keyconfig@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "configuration of a USB conference speakerphone over HID")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME keyconfig-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  # The synopsis is the summary; cpack indents these lines.
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"KeyConfig locks and unlocks the speakerphone's front-panel keys; FwUpdate
and FwImage check, make and send firmware images; DeviceCommand runs every
command of the session and tells why a device cannot be opened;
DeviceEmulator plays the device without hardware. The session library libkeyconfig-session (shared
and static, C interface in keyconfig/SessionApi.h, CMake package KeyConfig,
pkg-config module keyconfig-session) runs the device's numbered commands.
The udev rule gives the user at the seat access to the device.")
  # Dependencies from the binaries (dpkg-shlibdeps) and an shlibs file for
  # the shared library. Its ldconfig run is the triggers file's: cpack adds
  # none when the package brings its own maintainer scripts.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
      ${CMAKE_CURRENT_LIST_DIR}/debian/postinst
      ${CMAKE_CURRENT_LIST_DIR}/debian/postrm
      ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
endif()
include(CPack)

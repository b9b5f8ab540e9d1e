# Installation of the KeyConfig tool and, on Linux, of the udev rule that
# lets the user at the seat open the speakerphone's hidraw node:
#   cmake --install <build> [--prefix <prefix>]
# puts KeyConfig in <prefix>/bin and the rule in
# <prefix>/lib/udev/rules.d/70-keyconfig.rules.
include(GNUInstallDirs)
install(TARGETS KeyConfig RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # A USB ID as udev writes it in idVendor/idProduct: four lower-case hex digits.
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
                 ${CMAKE_BINARY_DIR}/packaging/70-keyconfig.rules @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/70-keyconfig.rules DESTINATION lib/udev/rules.d)
endif()

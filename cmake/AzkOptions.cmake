# Compiler settings shared by every target of the project.
add_library(azk_options INTERFACE)
target_compile_definitions(azk_options INTERFACE
  AZK_VENDOR_ID=${AZK_VENDOR_ID}
  AZK_PRODUCT_ID=${AZK_PRODUCT_ID})

if(MSVC)
  target_compile_options(azk_options INTERFACE /W4 /utf-8)
  if(AZK_WARNINGS_AS_ERRORS)
    target_compile_options(azk_options INTERFACE /WX)
  endif()
else()
  target_compile_options(azk_options INTERFACE -Wall -Wextra -Wpedantic -Wshadow)
  if(AZK_WARNINGS_AS_ERRORS)
    target_compile_options(azk_options INTERFACE -Werror)
  endif()
endif()

if(AZK_SANITIZE)
  list(JOIN AZK_SANITIZE "," _azk_san)
  # Everything, GoogleTest included, is built with the same instrumentation.
  add_compile_options(-fsanitize=${_azk_san} -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${_azk_san})
endif()

find_package(Threads REQUIRED)

include(${CMAKE_CURRENT_LIST_DIR}/AzkFuzz.cmake)

# The session library as other programs use it, in two builds of the same
# object files:
#   keyconfig_session         shared: libkeyconfig-session.so.<version> with the
#                             SONAME libkeyconfig-session.so.<soversion> on
#                             Linux, libkeyconfig-session.dll and its import
#                             library libkeyconfig-session.dll.a on Windows
#   keyconfig_session_static  static: libkeyconfig-session.a
# Each holds the session, the transport, the support code and the native
# platform layer, so that a program needs nothing else. Only the C interface
# of SessionApi.h is exported; the C++ inside is hidden.
#
# The objects are those of the internal pieces that the tools and the tests
# link (azk_session, the native platform and everything they link), so
# nothing is compiled twice; those pieces are compiled position-independent
# and with hidden visibility for it.

# Raised whenever the C interface changes incompatibly.
set(AZK_SESSION_SOVERSION 0)
set(AZK_SESSION_HEADER ${CMAKE_CURRENT_LIST_DIR}/SessionApi.h)

# The internal library targets that `roots` link, directly or not (into
# out_targets), and the libraries from outside the project they need (into
# out_libs): imported targets such as Threads::Threads and system libraries.
function(azk_link_closure out_targets out_libs)
  set(queue ${ARGN})
  set(seen)
  set(targets)
  set(libs)
  while(queue)
    list(POP_FRONT queue item)
    # target_link_libraries from another folder leaves "::@(...)" markers.
    if(item MATCHES "^::@" OR item IN_LIST seen)
      continue()
    endif()
    list(APPEND seen ${item})
    if(NOT TARGET ${item})
      list(APPEND libs ${item})
      continue()
    endif()
    get_target_property(imported ${item} IMPORTED)
    if(imported)
      list(APPEND libs ${item})
      continue()
    endif()
    get_target_property(type ${item} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
      get_target_property(deps ${item} INTERFACE_LINK_LIBRARIES)
    else()
      list(APPEND targets ${item})
      get_target_property(deps ${item} LINK_LIBRARIES)
    endif()
    if(deps)
      list(APPEND queue ${deps})
    endif()
  endwhile()
  set(${out_targets} ${targets} PARENT_SCOPE)
  set(${out_libs} ${libs} PARENT_SCOPE)
endfunction()

azk_link_closure(_azk_pieces _azk_outside_libs azk_session ${AZK_NATIVE_PLATFORM})
set(_azk_objects)
foreach(piece IN LISTS _azk_pieces)
  set_target_properties(${piece} PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)
  list(APPEND _azk_objects $<TARGET_OBJECTS:${piece}>)
endforeach()

# The public header as programs include it: <keyconfig/SessionApi.h>.
set(AZK_PUBLIC_INCLUDE_DIR ${PROJECT_BINARY_DIR}/include)
configure_file(${AZK_SESSION_HEADER} ${AZK_PUBLIC_INCLUDE_DIR}/keyconfig/SessionApi.h COPYONLY)

include(GNUInstallDirs)

add_library(keyconfig_session SHARED ${_azk_objects})
target_link_libraries(keyconfig_session PRIVATE ${_azk_outside_libs})
set_target_properties(keyconfig_session PROPERTIES
  OUTPUT_NAME keyconfig-session
  EXPORT_NAME Session
  VERSION ${PROJECT_VERSION}
  SOVERSION ${AZK_SESSION_SOVERSION}
  LINKER_LANGUAGE CXX)

if(CMAKE_SYSTEM_NAME STREQUAL "Linux")
  # Only the functions the header declares with AZK_SESSION_API are global;
  # the version script also catches what visibility cannot, such as the
  # standard library's template instances.
  file(STRINGS ${AZK_SESSION_HEADER} _azk_exported REGEX "^AZK_SESSION_API ")
  set(_azk_map "{\n  global:\n")
  foreach(declaration IN LISTS _azk_exported)
    if(NOT declaration MATCHES "([A-Za-z_][A-Za-z0-9_]*)[ ]*\\(")
      message(FATAL_ERROR "SessionApi.h: no function name in: ${declaration}")
    endif()
    string(APPEND _azk_map "    ${CMAKE_MATCH_1};\n")
  endforeach()
  string(APPEND _azk_map "  local:\n    *;\n};\n")
  set(_azk_map_file ${CMAKE_CURRENT_BINARY_DIR}/keyconfig-session.map)
  file(CONFIGURE OUTPUT ${_azk_map_file} CONTENT "${_azk_map}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${AZK_SESSION_HEADER})
  target_link_options(keyconfig_session PRIVATE "LINKER:--version-script=${_azk_map_file}")
  set_property(TARGET keyconfig_session APPEND PROPERTY LINK_DEPENDS ${_azk_map_file})
  if(NOT AZK_SANITIZE)
    # Every symbol resolved inside: a missing piece fails here, not in the
    # program that loads the library. (Sanitized code refers to the runtime
    # in the executable.)
    target_link_options(keyconfig_session PRIVATE "LINKER:--no-undefined")
  endif()
elseif(MINGW)
  # The C++ runtime, libgcc and winpthread inside the DLL, as in the tools:
  # it needs no DLL beside it but the system's.
  target_link_options(keyconfig_session PRIVATE -static)
endif()

add_library(keyconfig_session_static STATIC ${_azk_objects})
set_target_properties(keyconfig_session_static PROPERTIES
  OUTPUT_NAME keyconfig-session
  EXPORT_NAME SessionStatic
  LINKER_LANGUAGE CXX)
if(MSVC)
  # keyconfig-session.lib is the DLL's import library there.
  set_target_properties(keyconfig_session_static PROPERTIES OUTPUT_NAME keyconfig-session-static)
endif()
target_compile_definitions(keyconfig_session_static INTERFACE AZK_SESSION_STATIC)
target_link_libraries(keyconfig_session_static INTERFACE ${_azk_outside_libs})
if(NOT MSVC)
  # The archive holds C++ code: a program linked by the C compiler adds the
  # C++ runtime itself.
  target_link_libraries(keyconfig_session_static INTERFACE
    $<$<LINK_LANGUAGE:C>:stdc++> $<$<LINK_LANGUAGE:C>:m>)
endif()

foreach(library keyconfig_session keyconfig_session_static)
  target_include_directories(${library} INTERFACE
    $<BUILD_INTERFACE:${AZK_PUBLIC_INCLUDE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

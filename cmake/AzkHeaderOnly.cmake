# The header-only libraries of the command-line tools: CLI11::CLI11 and
# nlohmann_json::nlohmann_json (Debian: libcli11-dev, nlohmann-json3-dev).
#
# A native build takes them from their CMake packages. A cross build finds
# nothing there: its find root is the cross toolchain's, and putting the
# build machine's /usr/include on its include path would let every other
# header of the build machine in (a C library's, a system's) in front of the
# cross toolchain's own. So in a cross build each library's header folder,
# and nothing else, is linked into a folder of the build tree, and that
# folder is the include path of an imported target of the usual name.
find_package(CLI11 CONFIG QUIET)
find_package(nlohmann_json CONFIG QUIET)

if(CMAKE_CROSSCOMPILING)
  set(AZK_HEADER_ONLY_SOURCE "/usr/include" CACHE PATH
      "Folder on the build machine holding CLI/ and nlohmann/ (cross builds)")
  set(_azk_header_only_dir "${CMAKE_BINARY_DIR}/header-only")

  # azk_header_only(TARGET FOLDER HEADER): TARGET for FOLDER of
  # AZK_HEADER_ONLY_SOURCE, when HEADER is in it and no package gave TARGET.
  function(azk_header_only target folder header)
    if(TARGET ${target} OR NOT EXISTS "${AZK_HEADER_ONLY_SOURCE}/${folder}/${header}")
      return()
    endif()
    file(MAKE_DIRECTORY "${_azk_header_only_dir}")
    file(REMOVE "${_azk_header_only_dir}/${folder}")
    file(CREATE_LINK "${AZK_HEADER_ONLY_SOURCE}/${folder}" "${_azk_header_only_dir}/${folder}"
         SYMBOLIC COPY_ON_ERROR)
    add_library(${target} INTERFACE IMPORTED GLOBAL)
    # Imported include folders are system folders: their warnings are theirs.
    set_target_properties(${target} PROPERTIES
      INTERFACE_INCLUDE_DIRECTORIES "${_azk_header_only_dir}"
      INTERFACE_COMPILE_FEATURES cxx_std_11)
  endfunction()
  azk_header_only(CLI11::CLI11 CLI CLI.hpp)
  azk_header_only(nlohmann_json::nlohmann_json nlohmann json.hpp)
endif()

# Firmware image file: the check (FirmFile) and the image maker (FirmImageBuilder).
target_sources(azk_session PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/FirmFile.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FirmImageBuilder.cpp)

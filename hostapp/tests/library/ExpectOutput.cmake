# cmake -DEXPECTED=<line> [-DEXPECTED_STATUS=<n>] -P ExpectOutput.cmake <command> [args...]
# Runs the command; passes when it ends with the status (default 0) and its
# standard output is exactly the line and a newline (nothing when EXPECTED
# is empty).
if(NOT DEFINED EXPECTED_STATUS)
  set(EXPECTED_STATUS 0)
endif()
set(command)
set(i 0)
while(i LESS CMAKE_ARGC)
  if(found_script)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} MATCHES "ExpectOutput\\.cmake$")
    set(found_script ON)
  endif()
  math(EXPR i "${i} + 1")
endwhile()
execute_process(COMMAND ${command} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(EXPECTED STREQUAL "")
  set(want "")
else()
  set(want "${EXPECTED}\n")
endif()
if(NOT status STREQUAL "${EXPECTED_STATUS}" OR NOT out STREQUAL want)
  message(FATAL_ERROR "${command}\nstatus ${status} (expected ${EXPECTED_STATUS})\n"
                      "stdout [${out}] (expected [${want}])\nstderr [${err}]")
endif()

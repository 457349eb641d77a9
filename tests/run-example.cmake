# Runs one of the guide's examples and compares what it prints with the output the guide shows:
#   cmake -DEXPECTED=<file> -P run-example.cmake <program> [args...]
# The environment (WINEPREFIX, QUORIN_CLOCKSIM_SCENARIO, ...) is the test's.
set(command "")
set(past_script FALSE)
math(EXPR last "${CMAKE_ARGC} - 1")
foreach(i RANGE 1 ${last})
  if(past_script)
    list(APPEND command "${CMAKE_ARGV${i}}")
  elseif(CMAKE_ARGV${i} MATCHES "run-example\\.cmake$")
    set(past_script TRUE)
  endif()
endforeach()
execute_process(COMMAND ${command} OUTPUT_VARIABLE out ERROR_VARIABLE out RESULT_VARIABLE rc)
file(READ ${EXPECTED} expected)
string(REPLACE "\r" "" out "${out}")
if(NOT rc EQUAL 0 OR NOT out STREQUAL expected)
  message(FATAL_ERROR "The example exited with ${rc} and printed:\n${out}\n"
                      "The guide shows (${EXPECTED}):\n${expected}")
endif()
message(STATUS "The example printed what the guide shows.")

# Runs the CUDA tests of BINARY as a run that asks for CUDA would on a
# machine without it (POWERGPU_TEST_BACKEND=cuda, CUDA treated as unusable)
# and checks that the run cannot pass: every one of them fails, none is
# skipped, and there are at least MINIMUM of them.
#
#   cmake -DBINARY=<powergpu_tests> -DMINIMUM=<count> -P CheckCudaRequest.cmake

if(NOT BINARY OR NOT MINIMUM)
  message(FATAL_ERROR "usage: cmake -DBINARY=<test binary> -DMINIMUM=<count> -P ${CMAKE_CURRENT_LIST_FILE}")
endif()

set(filter "*Cuda*")
execute_process(COMMAND ${BINARY} --gtest_list_tests --gtest_filter=${filter}
                OUTPUT_VARIABLE listing RESULT_VARIABLE listed)
if(NOT listed EQUAL 0)
  message(FATAL_ERROR "${BINARY} could not list its tests")
endif()
string(REGEX MATCHALL "\n  [^\n]+" names "\n${listing}")
list(LENGTH names count)

set(ENV{POWERGPU_TEST_BACKEND} cuda)
set(ENV{POWERGPU_TEST_PRETEND_NO_CUDA} 1)
execute_process(COMMAND ${BINARY} --gtest_filter=${filter} --gtest_brief=0
                OUTPUT_VARIABLE output ERROR_VARIABLE errors RESULT_VARIABLE result)

# The count gtest's summary gives for a result label (0 when absent).
function(summary_count label variable)
  set(count 0)
  if(output MATCHES "\\[  ${label}\\] ([0-9]+) test")
    set(count ${CMAKE_MATCH_1})
  endif()
  set(${variable} ${count} PARENT_SCOPE)
endfunction()
summary_count("PASSED  " passed)
summary_count("SKIPPED " skipped)
summary_count("FAILED  " failed)
string(REGEX MATCHALL "CUDA is not usable here: POWERGPU_TEST_PRETEND_NO_CUDA=1" reasons "${output}")
list(LENGTH reasons explained)

message(STATUS "CUDA tests listed: ${count} (minimum ${MINIMUM}); asked for CUDA without it: "
               "${failed} failed, ${passed} passed, ${skipped} skipped, ${explained} failures give the reason")
if(count LESS MINIMUM)
  message(FATAL_ERROR "only ${count} CUDA tests are listed; at least ${MINIMUM} are expected")
endif()
if(result EQUAL 0 OR NOT failed EQUAL count OR NOT passed EQUAL 0 OR NOT skipped EQUAL 0)
  message(FATAL_ERROR "a run that asks for CUDA could pass without it:\n${output}")
endif()
if(NOT explained EQUAL count)
  message(FATAL_ERROR "not every CUDA test failed for the missing CUDA:\n${output}")
endif()

# SPDX-License-Identifier: Apache-2.0
# pathmon_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>]
#                  [TIMEOUT <seconds>] [ENV <VAR=value...>] [SECONDS <about>]
#                  [EACH_CASE [EXCEPT <gtest filter>]])
# One gtest executable per module; ctest sees it as one test, labelled for selection
# (ctest -L unit, -L integration, -L gui). EACH_CASE: ctest sees each of its cases as a test
# of its own, <name>.<Suite>.<Case> (but the cases EXCEPT matches), so that the long ones run
# side by side; TIMEOUT and SECONDS are then each case's.
#
# SECONDS: about how long the test takes. The integration tests wait on real time (a
# 1-minute run takes a minute whatever the machine), so scripts/test runs several beside each
# other on each core; ctest starts the longest first, and the suite lasts about as long as the
# longest of them.
#
# The test code itself is compiled without optimisation (it takes a third less time to
# compile, and a test's own code is never what is timed); the code under test keeps the
# build's optimisation.
function(pathmon_test_target target)
  target_compile_options(${target} PRIVATE -O0)
endfunction()

function(pathmon_add_test)
  cmake_parse_arguments(T "EACH_CASE" "NAME;TIMEOUT;SECONDS;EXCEPT" "SOURCES;LIBS;LABELS;ENV"
                        ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  pathmon_test_target(${T_NAME})
  target_link_libraries(${T_NAME} PRIVATE pathmon_testsupport ${T_LIBS} GTest::gmock GTest::gtest_main)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set(props LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_SECONDS)
    list(APPEND props COST ${T_SECONDS})
  endif()
  if(T_ENV)
    list(APPEND props ENVIRONMENT "${T_ENV}")
  endif()
  if(T_EACH_CASE)
    set(filter "*")
    if(T_EXCEPT)
      set(filter "-${T_EXCEPT}")
    endif()
    include(GoogleTest)
    gtest_discover_tests(${T_NAME} TEST_PREFIX "${T_NAME}." TEST_FILTER "${filter}"
      DISCOVERY_MODE PRE_TEST PROPERTIES ${props})
  else()
    add_test(NAME ${T_NAME} COMMAND ${T_NAME})
    set_tests_properties(${T_NAME} PROPERTIES ${props})
  endif()
endfunction()

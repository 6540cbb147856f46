# SPDX-License-Identifier: Apache-2.0
# pathmon_add_test(NAME <name> SOURCES <files...> [LIBS <libs...>] [LABELS <labels...>]
#                  [TIMEOUT <seconds>] [ENV <VAR=value...>])
# One gtest executable per module; ctest sees it as one test, labelled for selection
# (ctest -L unit, -L integration, -L gui).
function(pathmon_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE pathmon_testsupport ${T_LIBS} GTest::gmock GTest::gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT})
  if(T_ENV)
    set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${T_ENV}")
  endif()
endfunction()

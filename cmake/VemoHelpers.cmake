# vemo_add_test(NAME name SOURCES ... LIBS ... [LABELS unit|integration|window|oracle ...]
#               [ENV VAR=value ...] [TIMEOUT seconds])
# Builds one GoogleTest executable and registers its tests with CTest under the labels.
function(vemo_add_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  if(NOT T_LABELS)
    set(T_LABELS unit)
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  add_test(NAME ${T_NAME} COMMAND ${T_NAME} --gtest_brief=1)
  set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
                       ENVIRONMENT "VEMO_SOURCE_DIR=${PROJECT_SOURCE_DIR};${T_ENV}")
endfunction()

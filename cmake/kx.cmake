# Shared helpers for the build.

# kx_add_gtest(NAME name SOURCES ... LIBS ... [LABELS ...] [ENV ...])
# One GoogleTest executable registered as one CTest test. Label "threaded" marks
# tests that are also run under ThreadSanitizer; label "gui" marks Qt window tests.
function(kx_add_gtest)
  cmake_parse_arguments(T "" "NAME" "SOURCES;LIBS;LABELS;ENV" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(env "QT_QPA_PLATFORM=offscreen" "KINETRAX_FTDI=sim" ${T_ENV})
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT 600)
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

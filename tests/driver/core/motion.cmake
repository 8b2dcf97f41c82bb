# Tests of the step generator, the board output buffer and the motor types.
kx_add_gtest(NAME motion_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/motion_test.cpp
          ${CMAKE_CURRENT_LIST_DIR}/outbuffer_test.cpp
  LIBS kx_test_core)

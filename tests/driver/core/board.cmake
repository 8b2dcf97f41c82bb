# Tests of the board record, the device list, the tick thread, discovery and
# the motor slots.
kx_add_gtest(NAME board_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_test.cpp
  LIBS kx_core)

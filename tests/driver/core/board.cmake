# Tests of the board record, the device list, the tick thread, discovery and
# the motor slots.
kx_add_gtest(NAME board_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_test.cpp
  LIBS kx_test_core)
kx_add_gtest(NAME board_faults_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_faults_test.cpp
  LIBS kx_test_core)
kx_add_gtest(NAME board_qt_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_qt_test.cpp
  LIBS kx_test_core)
kx_add_gtest(NAME board_unload_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_unload_test.cpp
  LIBS kx_test_core)
kx_add_gtest(NAME board_threaded_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/board_threaded_test.cpp
  LIBS kx_test_core
  LABELS threaded)

# Tests of the control window (Qt Test on the offscreen platform) and of its
# exports in a client without a Qt application object.
add_executable(tavel_test ${CMAKE_CURRENT_LIST_DIR}/tavel_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dialogs_fixture.h)
target_link_libraries(tavel_test PRIVATE kx_test_windows Qt6::Test)
target_compile_definitions(tavel_test PRIVATE KX_SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
add_test(NAME tavel_test COMMAND tavel_test)
set_tests_properties(tavel_test PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KINETRAX_FTDI=sim" LABELS gui TIMEOUT 600)

kx_add_gtest(NAME tavel_noapp_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tavel_noapp_test.cpp
  LIBS kx_test_windows)

# The library shut down from a thread other than the control window's.
kx_add_gtest(NAME tavel_shutdown_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tavel_shutdown_test.cpp ${CMAKE_CURRENT_LIST_DIR}/dialogs_fixture.h
  LIBS kx_test_plugin Qt6::Widgets Threads::Threads LABELS gui threaded)
target_compile_definitions(tavel_shutdown_test PRIVATE KX_SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
target_include_directories(tavel_shutdown_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/driver/plugin)

# Tests of the motor setup dialog, the rename dialog and the message box.
foreach(_t msetup_test hwrename_test)
  add_executable(${_t} ${CMAKE_CURRENT_LIST_DIR}/${_t}.cpp ${CMAKE_CURRENT_LIST_DIR}/dialogs_fixture.h)
  target_link_libraries(${_t} PRIVATE kx_test_windows Qt6::Test)
  target_compile_definitions(${_t} PRIVATE KX_SCREENSHOT_DIR="${CMAKE_CURRENT_BINARY_DIR}")
  add_test(NAME ${_t} COMMAND ${_t})
  set_tests_properties(${_t} PROPERTIES
    ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KINETRAX_FTDI=sim" LABELS gui TIMEOUT 600)
endforeach()

# A client without a Qt application object.
kx_add_gtest(NAME msetup_noapp_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/msetup_noapp_test.cpp
  LIBS kx_test_windows)

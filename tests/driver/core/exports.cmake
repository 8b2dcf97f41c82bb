# Tests of the exported device and motor functions.
kx_add_gtest(NAME exports_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_test.cpp
  LIBS kx_test_core)
kx_add_gtest(NAME exports_threaded_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/exports_threaded_test.cpp
  LIBS kx_test_core
  LABELS threaded)

# A client written in C that loads the built shared library with dlopen.
add_executable(exports_dlopen ${CMAKE_CURRENT_LIST_DIR}/exports_dlopen.c)
target_include_directories(exports_dlopen PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(exports_dlopen PRIVATE kx_public_headers ${CMAKE_DL_LIBS})
add_dependencies(exports_dlopen kinetrax)
add_test(NAME exports_dlopen COMMAND exports_dlopen $<TARGET_FILE:kinetrax>)
set_tests_properties(exports_dlopen PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KINETRAX_FTDI=sim"
  LABELS threaded TIMEOUT 120)

# A program linked with the library whose other library calls the C library's
# _Exit(int): that call ends the process, the program's own _Exit is ours.
add_library(exit_other SHARED ${CMAKE_CURRENT_LIST_DIR}/exit_other.c)
add_executable(exit_linked ${CMAKE_CURRENT_LIST_DIR}/exit_linked.c)
target_include_directories(exit_linked PRIVATE ${CMAKE_SOURCE_DIR}/tests/support)
target_link_libraries(exit_linked PRIVATE kinetrax kx_public_headers exit_other ${CMAKE_DL_LIBS})
add_test(NAME exit_linked COMMAND exit_linked)
set_tests_properties(exit_linked PROPERTIES
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KINETRAX_FTDI=sim" TIMEOUT 120)

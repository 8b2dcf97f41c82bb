# Tests of the table-list utility and of the table library stand-in.

# Reading the table settings file.
kx_add_gtest(NAME utility_tablelist_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tablelist_test.cpp
  LIBS ordomat_window)

# The table library stand-in.
kx_add_gtest(NAME utility_gridmod_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gridmod_test.cpp
  LIBS gridmod ordomat_window Qt6::Test LABELS gui)
kx_add_gtest(NAME utility_gridmod_files_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gridmod_files_test.cpp
  LIBS gridmod Qt6::Widgets Threads::Threads)

# Window tests and the end-to-end run of ordomat (need the driver library).

# The recording table library the window tests link in place of libgridmod.so.
add_library(gridmod_double STATIC ${CMAKE_CURRENT_LIST_DIR}/gridmod_double.cpp)
target_include_directories(gridmod_double PUBLIC ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/gridmod)
target_link_libraries(gridmod_double PUBLIC GTest::gtest)

# The main window, with the driver's objects on the simulated bus.
kx_add_gtest(NAME utility_mngwin_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mngwin_test.cpp
  LIBS ordomat_window gridmod_double kx_test_plugin Qt6::Test
  LABELS gui)

# The main window against the mouse and against odd or very large table files.
kx_add_gtest(NAME utility_mngwin_input_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/mngwin_input_test.cpp
  LIBS ordomat_window gridmod_double kx_test_plugin Qt6::Test
  LABELS gui)

# End-to-end run of the real program, with a probing libgridmod.so found first
# through LD_LIBRARY_PATH.
add_library(ordomat_probe_gridmod SHARED ${CMAKE_CURRENT_LIST_DIR}/probe_gridmod.cpp)
target_include_directories(ordomat_probe_gridmod PRIVATE ${PROJECT_SOURCE_DIR}/gridmod ${PROJECT_SOURCE_DIR}/utility)
target_link_libraries(ordomat_probe_gridmod PRIVATE Qt6::Widgets ${CMAKE_DL_LIBS})
set_target_properties(ordomat_probe_gridmod PROPERTIES OUTPUT_NAME gridmod
  LIBRARY_OUTPUT_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/probe)
kx_add_gtest(NAME utility_ordomat_run_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ordomat_run_test.cpp
  LIBS LABELS gui)
add_dependencies(utility_ordomat_run_test ordomat ordomat-demo ordomat_probe_gridmod)
target_compile_definitions(utility_ordomat_run_test PRIVATE
  ORDOMAT_BIN="$<TARGET_FILE:ordomat>" ORDOMAT_DEMO="$<TARGET_FILE:ordomat-demo>"
  PROBE_DIR="${CMAKE_CURRENT_BINARY_DIR}/probe")

# Which files the table list reads, and how much of them.
kx_add_gtest(NAME utility_tablelist_files_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tablelist_files_test.cpp
  LIBS ordomat_window Threads::Threads)

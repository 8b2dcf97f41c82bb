# Tests of the table-list utility and of the table library stand-in.

# Reading the table settings file.
kx_add_gtest(NAME utility_tablelist_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/tablelist_test.cpp
  LIBS ordomat_window)

# The table library stand-in.
kx_add_gtest(NAME utility_gridmod_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/gridmod_test.cpp
  LIBS gridmod ordomat_window Qt6::Test LABELS gui)


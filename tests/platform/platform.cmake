# Tests of the platform layers: the simulated FTDI bus, the backend choice, the
# clock and the periodic thread.
kx_add_gtest(NAME platform_simbus_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/simbus_test.cpp
  LIBS kx_test_platform
  LABELS threaded)
kx_add_gtest(NAME platform_periodic_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/periodic_test.cpp
  LIBS kx_test_platform
  LABELS threaded)

# The backend chosen at first use, per environment (one executable, three runs).
add_executable(platform_ftdi_env_test ${CMAKE_CURRENT_LIST_DIR}/ftdi_env_test.cpp)
target_link_libraries(platform_ftdi_env_test PRIVATE kx_test_platform GTest::gtest GTest::gtest_main)
foreach(_case IN ITEMS
    "sim_default|KINETRAX_FTDI=sim|sim|TRUV-kq4/SIM0001,TRUV-RZDO/SIM0002"
    "sim_list|KINETRAX_FTDI=sim;KINETRAX_SIM_DEVICES=X:S1:hi,Y:S2|sim|X/S1,Y/S2"
    "sim_empty|KINETRAX_FTDI=sim;KINETRAX_SIM_DEVICES=|sim|"
    "unknown|KINETRAX_FTDI=bogus|none|")
  string(REPLACE "|" ";" _f "${_case}")
  list(GET _f 0 _name)
  list(GET _f -2 _backend)
  list(GET _f -1 _devices)
  list(LENGTH _f _len)
  math(EXPR _last "${_len} - 3")
  list(SUBLIST _f 1 ${_last} _env)
  add_test(NAME platform_ftdi_env_${_name} COMMAND platform_ftdi_env_test)
  set_tests_properties(platform_ftdi_env_${_name} PROPERTIES
    ENVIRONMENT "${_env};KX_EXPECT_BACKEND=${_backend};KX_EXPECT_DEVICES=${_devices}" TIMEOUT 60)
endforeach()

# The EEPROM user-area logic (pure functions, fixtures from libftdi's builder)
# and the libftdi backend on a machine without boards.
if(TARGET PkgConfig::LIBFTDI1)
  add_executable(platform_libftdi_test ${CMAKE_CURRENT_LIST_DIR}/libftdi_test.cpp)
  target_link_libraries(platform_libftdi_test PRIVATE kx_test_core GTest::gtest GTest::gtest_main)
  add_test(NAME platform_libftdi_test COMMAND platform_libftdi_test)
  set_tests_properties(platform_libftdi_test PROPERTIES ENVIRONMENT "KINETRAX_FTDI=libftdi" TIMEOUT 60)

  # The backend through the real libftdi1 over emulated chips (ftdi_emulator.h).
  # The program exports the emulator's libusb functions, so libftdi1 binds to them.
  add_library(kx_ftdi_emulator STATIC ${CMAKE_CURRENT_LIST_DIR}/ftdi_emulator.cpp)
  target_include_directories(kx_ftdi_emulator PUBLIC ${CMAKE_CURRENT_LIST_DIR})
  target_link_libraries(kx_ftdi_emulator PUBLIC kx_platform_headers PkgConfig::LIBFTDI1)
  kx_add_gtest(NAME platform_eeprom_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/eeprom_test.cpp
    LIBS kx_test_platform kx_ftdi_emulator)
  kx_add_gtest(NAME platform_libftdi_emulated_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/libftdi_emulated_test.cpp
    LIBS kx_test_core kx_ftdi_emulator
    LABELS threaded)
  target_include_directories(platform_libftdi_emulated_test PRIVATE ${CMAKE_SOURCE_DIR}/tests/driver/core)
  set_target_properties(platform_libftdi_emulated_test PROPERTIES ENABLE_EXPORTS ON)
endif()

# The lock types of platform/locks: priority inheritance and the condition variable.
kx_add_gtest(NAME platform_kxlocks_test
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/kxlocks_test.cpp
  LIBS kx_test_platform
  LABELS threaded)

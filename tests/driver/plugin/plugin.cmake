# Tests of the host plug-in adapter.

# In-process: version check, registration, descriptors, handlers, "Motor
# Stopped" on a controlled clock.
kx_add_gtest(NAME plugin_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_test.cpp LIBS kx_test_plugin)

# "Motor Stopped" from the real tick thread into a host that calls back.
kx_add_gtest(NAME plugin_threaded_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_threaded_test.cpp
  LIBS kx_test_plugin LABELS threaded)

# A host as a host is written: libkinetrax.so loaded with dlopen, on two
# simulated boards, and once more on an empty bus.
kx_add_gtest(NAME plugin_host_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_host_test.cpp
  LIBS ${CMAKE_DL_LIBS} Threads::Threads LABELS threaded
  ENV "KINETRAX_SIM_DEVICES=TRUV-kq4:SER0,TRUV-RZDO:SER1")
target_link_libraries(plugin_host_test PRIVATE kx_public_headers)   # the host sees the public headers only
target_compile_definitions(plugin_host_test PRIVATE KX_LIBRARY_PATH="$<TARGET_FILE:kinetrax>")
add_dependencies(plugin_host_test kinetrax)
add_test(NAME plugin_host_noboards_test COMMAND plugin_host_test)
set_tests_properties(plugin_host_noboards_test PROPERTIES TIMEOUT 600 LABELS threaded
  ENVIRONMENT "QT_QPA_PLATFORM=offscreen;KINETRAX_FTDI=sim;KINETRAX_SIM_DEVICES=")

# The menu entry, "Setup Motor" and the host's "Exit" with a Qt application.
kx_add_gtest(NAME plugin_gui_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_gui_test.cpp
  LIBS kx_test_plugin Qt6::Widgets LABELS gui)

# The version box asked for on a worker thread while a Qt application lives.
kx_add_gtest(NAME plugin_version_thread_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_version_thread_test.cpp
  LIBS kx_test_plugin Qt6::Widgets Threads::Threads LABELS gui threaded)

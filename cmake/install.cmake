# What `cmake --install` lays down under the prefix: the public headers in
# include/kinetrax/, libkinetrax.so.1 with its development link, ordomat with
# the libgridmod.so it links, the udev rule for the boards, the pkg-config file
# kinetrax.pc and the CMake package kinetrax (imported target kinetrax::kinetrax).
include(CMakePackageConfigHelpers)

set(KX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kinetrax)

install(FILES ${KX_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kinetrax)
install(TARGETS kinetrax EXPORT kinetraxTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS gridmod LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# ordomat finds libkinetrax.so and libgridmod.so beside it: lib/ relative to bin/.
file(RELATIVE_PATH _lib_from_bin /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(ordomat PROPERTIES INSTALL_RPATH "$ORIGIN/${_lib_from_bin}")
install(TARGETS ordomat RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# udev looks in <prefix>/lib/udev/rules.d (/usr/lib/udev/rules.d for /usr).
install(FILES ${PROJECT_SOURCE_DIR}/platform/ftdi/99-kinetrax-ftdi.rules DESTINATION lib/udev/rules.d)

# pkg-config: the prefix is filled in at install time, so `cmake --install
# --prefix DIR` gets a file that names DIR.
set(KX_PC_PREFIX @KX_PC_PREFIX@)
configure_file(${CMAKE_CURRENT_LIST_DIR}/kinetrax.pc.in ${PROJECT_BINARY_DIR}/kinetrax.pc.in @ONLY)
install(CODE "set(KX_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${PROJECT_BINARY_DIR}/kinetrax.pc.in\" \"${PROJECT_BINARY_DIR}/kinetrax.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/kinetrax.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# CMake package.
install(EXPORT kinetraxTargets NAMESPACE kinetrax:: DESTINATION ${KX_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/kinetraxConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kinetraxConfig.cmake INSTALL_DESTINATION ${KX_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kinetraxConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kinetraxConfig.cmake ${PROJECT_BINARY_DIR}/kinetraxConfigVersion.cmake
  DESTINATION ${KX_CMAKE_DIR})

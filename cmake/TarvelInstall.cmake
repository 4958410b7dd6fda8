include(CMakePackageConfigHelpers)

# Components: lib (the shared library, run-time name only), dev (what a host
# builds against), tools (the command and its services) and python.
install(TARGETS tarvel EXPORT tarvelTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT lib NAMELINK_COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT tarvelTargets NAMESPACE tarvel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarvel
  COMPONENT dev)

configure_package_config_file(cmake/tarvelConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tarvelConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarvel)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tarvelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvelConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/tarvelConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/tarvel COMPONENT dev)

configure_file(cmake/tarvel.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tarvel.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tarvel.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)

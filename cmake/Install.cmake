# Install rules: the library, its headers, a CMake package and a pkg-config
# file, so that a project links it with find_package(powergpu) or pkg-config.
include(CMakePackageConfigHelpers)

install(TARGETS powergpu EXPORT powergpuTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/powergpu.h include/powergpu.hpp DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT powergpuTargets NAMESPACE powergpu:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/powergpu)

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/powergpuConfig.cmake.in
  ${PROJECT_BINARY_DIR}/powergpuConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/powergpu)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/powergpuConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/powergpuConfig.cmake ${PROJECT_BINARY_DIR}/powergpuConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/powergpu)

configure_file(${PROJECT_SOURCE_DIR}/cmake/powergpu.pc.in ${PROJECT_BINARY_DIR}/powergpu.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/powergpu.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

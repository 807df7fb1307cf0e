# Installs the headers, the programs, their manual pages, a CMake package (Tessel::tessel) and a
# pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(TESSEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Tessel)

install(TARGETS tessel EXPORT TesselTargets)
foreach(dir ${TESSEL_INCLUDE_DIRS})
  install(DIRECTORY ${dir}/tessel DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
endforeach()
install(EXPORT TesselTargets NAMESPACE Tessel:: DESTINATION ${TESSEL_CMAKE_DIR})

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/TesselConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/TesselConfig.cmake
                              INSTALL_DESTINATION ${TESSEL_CMAKE_DIR})
# The library is header-only, so the package suits any architecture.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/TesselConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion ARCH_INDEPENDENT)
install(FILES ${PROJECT_BINARY_DIR}/TesselConfig.cmake ${PROJECT_BINARY_DIR}/TesselConfigVersion.cmake
        DESTINATION ${TESSEL_CMAKE_DIR})

configure_file(${PROJECT_SOURCE_DIR}/cmake/tessel.pc.in ${PROJECT_BINARY_DIR}/tessel.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tessel.pc DESTINATION ${CMAKE_INSTALL_DATADIR}/pkgconfig)

if(TESSEL_BUILD_TOOLS)
  install(TARGETS tessel-build tessel-lookup tessel-weights RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES ${PROJECT_BINARY_DIR}/man/tessel-build.1 ${PROJECT_BINARY_DIR}/man/tessel-lookup.1
                ${PROJECT_BINARY_DIR}/man/tessel-weights.1
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# Installation: the header, the library (with its SONAME links on ELF systems;
# on Windows the DLL in bin/ and the import library in lib/), a CMake package
# giving brisvel::brisvel, and a pkg-config file.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Projects that add brisvel as a subdirectory use the installed name too.
add_library(brisvel::brisvel ALIAS brisvel)

set(BRISVEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/brisvel
    CACHE STRING "Where the CMake package files are installed, relative to the prefix")
set(BRISVEL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    CACHE STRING "Where brisvel.pc is installed, relative to the prefix")

install(TARGETS brisvel
  EXPORT brisvelTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/solver/include/brisvel/brisvel.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/brisvel)

install(EXPORT brisvelTargets
  NAMESPACE brisvel::
  DESTINATION ${BRISVEL_INSTALL_CMAKEDIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/brisvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/brisvelConfig.cmake
  INSTALL_DESTINATION ${BRISVEL_INSTALL_CMAKEDIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/brisvelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/brisvelConfig.cmake
              ${PROJECT_BINARY_DIR}/brisvelConfigVersion.cmake
        DESTINATION ${BRISVEL_INSTALL_CMAKEDIR})

# brisvel.pc names the prefix given at install time (cmake --install --prefix
# may differ from CMAKE_INSTALL_PREFIX here): configured once now, and once
# more while installing, when the prefix is known.
set(brisvel_pc_PREFIX "@CMAKE_INSTALL_PREFIX@")
foreach(dir IN ITEMS LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${dir}}")
    set(brisvel_pc_${dir} "${CMAKE_INSTALL_${dir}}")
  else()
    set(brisvel_pc_${dir} "\${prefix}/${CMAKE_INSTALL_${dir}}")
  endif()
endforeach()
configure_file(${CMAKE_CURRENT_LIST_DIR}/brisvel.pc.in ${PROJECT_BINARY_DIR}/brisvel.pc.in @ONLY)
install(CODE "configure_file(\"${PROJECT_BINARY_DIR}/brisvel.pc.in\"
                             \"${PROJECT_BINARY_DIR}/brisvel.pc\" @ONLY)")
install(FILES ${PROJECT_BINARY_DIR}/brisvel.pc DESTINATION ${BRISVEL_INSTALL_PKGCONFIGDIR})

include(CMakePackageConfigHelpers)

install(TARGETS korvane EXPORT korvaneTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT korvaneTargets NAMESPACE korvane::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)

file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake.in [=[
@PACKAGE_INIT@
include("${CMAKE_CURRENT_LIST_DIR}/korvaneTargets.cmake")
check_required_components(korvane)
]=])
configure_package_config_file(${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/korvaneConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/korvane)

# The prefix is found from where korvane.pc lies, so that `cmake --install
# --prefix DIR` (or a moved install) gives a file that points into DIR.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(KORVANE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
else()
  file(RELATIVE_PATH _up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
  string(REGEX REPLACE "/$" "" _up "${_up}")
  set(KORVANE_PC_PREFIX "\${pcfiledir}/${_up}")
endif()
configure_file(${PROJECT_SOURCE_DIR}/cmake/korvane.pc.in ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/korvane.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# Installs the library, its headers, a CMake package and a pkg-config file.
include(CMakePackageConfigHelpers)

install(TARGETS quillkit EXPORT quillkitTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The virtual printer's headers (virtual_*.hpp) stay behind: the printer is a tool of this
# project, built as a library of its own that is not installed.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/quillkit
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.hpp"
  PATTERN "virtual_*.hpp" EXCLUDE)
install(FILES ${PROJECT_BINARY_DIR}/include/quillkit/export.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/quillkit)
install(EXPORT quillkitTargets NAMESPACE quillkit::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillkit)

if(BUILD_SHARED_LIBS)
  set(QUILLKIT_STATIC OFF)
  set(QUILLKIT_PC_PRIVATE "")
else()
  set(QUILLKIT_STATIC ON)
  set(QUILLKIT_PC_PRIVATE "fontconfig freetype2 harfbuzz libpng libjpeg poppler-cpp")
endif()
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/quillkitConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quillkitConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillkit)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/quillkitConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/quillkitConfig.cmake
  ${PROJECT_BINARY_DIR}/quillkitConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/quillkit)

configure_file(${PROJECT_SOURCE_DIR}/cmake/quillkit.pc.in ${PROJECT_BINARY_DIR}/quillkit.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/quillkit.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

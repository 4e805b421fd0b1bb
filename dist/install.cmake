# What `cmake --install` lays out, and the .deb that `cpack -G DEB` makes
# of it.  Included from the top-level CMakeLists.txt.

install(TARGETS consumer producer elevmod
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The library for other programs: archive, header, pkg-config file and a
# CMake package giving cabgate::cabgate.
install(TARGETS cabgate EXPORT cabgateTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT cabgateTargets NAMESPACE cabgate::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cabgate)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/cabgateConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES dist/cabgateConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/cabgateConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cabgate)
# The .pc file finds the prefix from where it lies, so that it holds for
# any `cmake --install --prefix`.
file(RELATIVE_PATH PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(dist/cabgate.pc.in ${CMAKE_CURRENT_BINARY_DIR}/cabgate.pc
  @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cabgate.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(FILES man/consumer.1 man/producer.1 man/elevmod.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES dist/elevmod.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME elevmod)
install(FILES dist/elevmod.socket dist/elevmod.service
  DESTINATION lib/systemd/user)
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

set(CPACK_PACKAGE_NAME cabgate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "cabgate developers <cabgate@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "tools that drive an elevator kernel module through system calls 323-325")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "consumer starts and stops the elevator, producer sends it 10,000
passengers drawn under seed 39, and elevmod stands in for the module
in user space through seccomp user notification.  Includes the static
library libcabgate for other programs (MIT licence).")
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The fingerprint runs md5sum (coreutils) and awk through the shell.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "coreutils, mawk | awk")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
include(CPack)

# What `cmake --install` lays out, and the two .debs that `cpack -G DEB`
# makes of it: cabgate (the programs, component "tools") and
# libcabgate-dev (the library, component "dev").  Included from the
# top-level CMakeLists.txt.  scripts/package builds the .debs as Debian
# would: prefix /usr, multiarch library directory, Debian's hardening flags.

# First of all, the directories this install makes (those not there yet)
# are noted in the build tree, so that the uninstall target removes them,
# and no directory that was there before.
set(CABGATE_INSTALL_DIRS ${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_MANDIR}/man1
  ${CMAKE_INSTALL_INCLUDEDIR} ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  ${CMAKE_INSTALL_LIBDIR}/cmake/cabgate
  ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
  ${CMAKE_INSTALL_DATADIR}/systemd/user
  ${CMAKE_INSTALL_DATADIR}/doc/cabgate/examples/skeleton
  ${CMAKE_INSTALL_DATADIR}/doc/libcabgate-dev
  ${CMAKE_INSTALL_DATADIR}/cabgate/modvm/patches
  ${CMAKE_INSTALL_DATADIR}/cabgate/modvm/guest
  ${CMAKE_INSTALL_DATADIR}/cabgate/modvm/testmod
  ${CMAKE_INSTALL_DATADIR}/cabgate/modvm/lib
  ${CMAKE_INSTALL_LIBEXECDIR}/cabgate/modvm)
install(CODE "
  set(made)
  foreach(dir ${CABGATE_INSTALL_DIRS})
    set(path \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/\${dir}\")
    while(NOT EXISTS \"\${path}\")
      list(APPEND made \"\${path}\")
      get_filename_component(path \"\${path}\" DIRECTORY)
    endwhile()
  endforeach()
  list(REMOVE_DUPLICATES made)
  string(REPLACE \";\" \"\\n\" made \"\${made}\")
  file(WRITE \"${CMAKE_BINARY_DIR}/install_dirs.txt\" \"\${made}\")
" ALL_COMPONENTS)

install(TARGETS consumer producer elevmod
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# The library for other programs: archive, header, pkg-config file and a
# CMake package giving cabgate::cabgate.
install(TARGETS cabgate EXPORT cabgateTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  PUBLIC_HEADER DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT cabgateTargets NAMESPACE cabgate::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cabgate COMPONENT dev)
include(CMakePackageConfigHelpers)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/cabgateConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES dist/cabgateConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/cabgateConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/cabgate COMPONENT dev)
# The .pc file finds the prefix from where it lies, so that it holds for
# any `cmake --install --prefix`.
file(RELATIVE_PATH PC_TO_PREFIX "/p/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/p")
configure_file(dist/cabgate.pc.in ${CMAKE_CURRENT_BINARY_DIR}/cabgate.pc
  @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cabgate.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The module bench, cabgate-modvm: the script (a checkout's scripts/modvm,
# which finds its data and programs relative to where it is installed:
# share/cabgate/modvm and libexec/cabgate/modvm), the kernel series, the
# configuration fragments, the guest's init and self-check, the test
# modules' sources and the shell it sources; modreport and the guest's
# static programs.  No working elevator: the self-check uses the test
# modules.
set(MODVM_DATA ${CMAKE_INSTALL_DATADIR}/cabgate/modvm)
install(PROGRAMS scripts/modvm DESTINATION ${CMAKE_INSTALL_BINDIR}
  RENAME cabgate-modvm COMPONENT tools)
file(WRITE ${CMAKE_BINARY_DIR}/modvm-version "${PROJECT_VERSION}\n")
install(FILES ${CMAKE_BINARY_DIR}/modvm-version DESTINATION ${MODVM_DATA}
  RENAME version COMPONENT tools)
# Every patch of the series and every test module: a kernel built from
# the package is the checkout's.
file(GLOB modvm_patches CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/modvm/patches/*.patch)
install(FILES ${modvm_patches}
  DESTINATION ${MODVM_DATA}/patches COMPONENT tools)
install(FILES modvm/kernel.config modvm/debug.config modvm/kasan.config
  modvm/kcsan.config modvm/linux-6.12.config
  DESTINATION ${MODVM_DATA} COMPONENT tools)
install(FILES modvm/guest/init modvm/guest/selfcheck.sh
  DESTINATION ${MODVM_DATA}/guest COMPONENT tools)
file(GLOB modvm_testmod CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/modvm/testmod/*.c)
install(FILES modvm/testmod/Makefile ${modvm_testmod}
  DESTINATION ${MODVM_DATA}/testmod COMPONENT tools)
install(FILES scripts/lib/packages.sh scripts/lib/vm.sh
  DESTINATION ${MODVM_DATA}/lib COMPONENT tools)
install(TARGETS modreport modvm_consumer modvm_producer modvm_rawcall
  modvm_modcheck modvm_callcost
  RUNTIME DESTINATION ${CMAKE_INSTALL_LIBEXECDIR}/cabgate/modvm COMPONENT tools)

# Man pages and the changelog go compressed, as Debian has them; gzip -n
# keeps the name and time out, so the same sources give the same bytes.
set(GZIPPED)
foreach(source man/consumer.1 man/producer.1 man/elevmod.1 man/cabgate-modvm.1
    dist/changelog README.md docs/modules.md)
  get_filename_component(name ${source} NAME)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/gz/${name}.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/gz
    COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${source} > ${gz}
    DEPENDS ${source} VERBATIM)
  list(APPEND GZIPPED ${gz})
endforeach()
add_custom_target(gzipped ALL DEPENDS ${GZIPPED})
foreach(page consumer producer elevmod cabgate-modvm)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/${page}.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endforeach()

install(FILES dist/elevmod.bash-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
  RENAME elevmod COMPONENT tools)
# Where Debian's zsh looks for the completions of packages.
install(FILES dist/elevmod.zsh-completion
  DESTINATION ${CMAKE_INSTALL_DATADIR}/zsh/vendor-completions
  RENAME _elevmod COMPONENT tools)
# share/systemd/user is where systemd looks under /usr, /usr/local and
# ~/.local alike.
# The service unit names the program where it is installed (the prefix is
# known only then: cmake --install --prefix), for systemd does not search
# a user's PATH.
install(FILES dist/elevmod.socket
  DESTINATION ${CMAKE_INSTALL_DATADIR}/systemd/user COMPONENT tools)
install(CODE "
  set(ELEVMOD_PROGRAM \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/elevmod\")
  configure_file(\"${CMAKE_CURRENT_SOURCE_DIR}/dist/elevmod.service.in\"
    \"${CMAKE_CURRENT_BINARY_DIR}/unit/elevmod.service\" @ONLY)
  file(INSTALL \"${CMAKE_CURRENT_BINARY_DIR}/unit/elevmod.service\"
    DESTINATION \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DATADIR}/systemd/user\")
" COMPONENT tools)

# `cmake --build build --target uninstall`: removes what the last install
# wrote, and the directories it made.
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DBUILD=${CMAKE_BINARY_DIR}
    -P ${CMAKE_CURRENT_SOURCE_DIR}/dist/uninstall.cmake
  VERBATIM)
foreach(package cabgate libcabgate-dev)
  if(package STREQUAL cabgate)
    set(component tools)
  else()
    set(component dev)
  endif()
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    RENAME copyright COMPONENT ${component})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()
# The guide, for whoever has only the package: the tools, and checking a
# module with cabgate-modvm.
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/gz/README.md.gz
  ${CMAKE_CURRENT_BINARY_DIR}/gz/modules.md.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/cabgate COMPONENT tools)
# And a module to start from, which the bench passes.
install(FILES modvm/skeleton/Makefile modvm/skeleton/skeleton.c
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/cabgate/examples/skeleton
  COMPONENT tools)

set(CPACK_PACKAGE_NAME cabgate)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT
  "cabgate developers <maintainers@users.noreply.c-seed-0cd4f53f.example>")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL tools dev)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME cabgate)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
  "tools that drive an elevator kernel module by system call
consumer starts and stops the elevator and producer sends it 10,000
passengers drawn under seed 39, through system calls 323 to 325.
elevmod stands in for the module in user space, through seccomp user
notification, so that the tools run unchanged on a stock kernel.
cabgate-modvm builds Debian's kernel with those system calls and its bug
finders (lockdep, KASAN, kmemleak), boots it under QEMU and checks an
elevator module there; the packages it needs are recommended.")
# The module bench's kernel build and guest; linux-source-6.12 for
# --kernel 6.12 only.
set(CPACK_DEBIAN_TOOLS_PACKAGE_RECOMMENDS "linux-source-6.1, busybox-static, \
qemu-system-x86, gcc, make, bc, bison, flex, libelf-dev, libssl-dev, cpio, \
xz-utils, kmod, binutils")
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS linux-source-6.12)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libcabgate-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_ARCHITECTURE amd64)
set(CPACK_DEBIAN_DEV_DESCRIPTION
  "static library for the elevator module's system calls
libcabgate makes system calls 323 (start), 324 (one passenger request)
and 325 (stop) of an elevator kernel module and hands back the module's
answer, and prints an executable's MD5 fingerprint.  This package holds
the static library, its C and C++ header, a pkg-config file and a CMake
package (find_package(cabgate)).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
include(CPack)

# Install rules, man pages and the Debian and RPM packages (make package).
#
# The tools go to bin and their man pages to man1. Only a build linked against
# the virtual board installs the riffa_sim control program and libriffa_sim,
# and such a build says so at configure, install and package time and in its
# package name (-sim) and man pages: it must never pass for one that drives
# hardware.
include(GNUInstallDirs)

set(ZEDA_INSTALLED_TOOLS zeda_pcie_get_mode zeda_pcie_mode_change zeda_pcie_flash_image zeda_pcie_list_boards
  zeda_pcie_wait_board)

# A Windows install is one folder, the one put on PATH: programs, DLL and
# documentation side by side.
if(WIN32)
  set(ZEDA_INSTALL_BINDIR .)
else()
  set(ZEDA_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
endif()

if(ZEDA_BACKEND STREQUAL "sim")
  set(ZEDA_PACKAGE_NAME zeda-pcie-tools-sim)
  set(ZEDA_OTHER_PACKAGE zeda-pcie-tools)
  set(ZEDA_BACKEND_TEXT "the VIRTUAL BOARD (riffa_sim) and drive NO hardware")
else()
  set(ZEDA_PACKAGE_NAME zeda-pcie-tools)
  set(ZEDA_OTHER_PACKAGE zeda-pcie-tools-sim)
  set(ZEDA_BACKEND_TEXT "the RIFFA host library ${ZEDA_RIFFA_LIBRARY_TEXT}")
endif()
set(ZEDA_BACKEND_LINE "${ZEDA_PACKAGE_NAME}: the tools are linked against ${ZEDA_BACKEND_TEXT}")
message(STATUS "Install and package: ${ZEDA_BACKEND_LINE}")
install(CODE "message(STATUS \"Installing ${ZEDA_BACKEND_LINE}\")")

# --- programs and libraries -------------------------------------------------

install(TARGETS ${ZEDA_INSTALLED_TOOLS} RUNTIME DESTINATION ${ZEDA_INSTALL_BINDIR})

if(ZEDA_BACKEND STREQUAL "sim")
  # libriffa_sim is private to these tools: kept out of the linker's search
  # path, where it could be taken for a RIFFA library, and found through the
  # tools' RUNPATH, relative to them so that any install root works. On
  # Windows the DLL sits beside the executables.
  set(ZEDA_PRIVATE_LIBDIR ${CMAKE_INSTALL_LIBDIR}/zeda-pcie-tools)
  install(TARGETS riffa_sim
    RUNTIME DESTINATION ${ZEDA_INSTALL_BINDIR}
    LIBRARY DESTINATION ${ZEDA_PRIVATE_LIBDIR}
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel EXCLUDE_FROM_ALL)
  install(TARGETS riffa_sim_tool RUNTIME DESTINATION ${ZEDA_INSTALL_BINDIR})
  if(NOT WIN32 AND NOT APPLE)
    file(RELATIVE_PATH _zeda_bin_to_lib /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${ZEDA_PRIVATE_LIBDIR})
    set_property(TARGET ${ZEDA_INSTALLED_TOOLS} PROPERTY INSTALL_RPATH "$ORIGIN/${_zeda_bin_to_lib}")
  endif()
elseif(NOT WIN32 AND NOT APPLE)
  # A RIFFA library outside the loader's usual folders (-DRIFFA_ROOT=/opt/...)
  # is found through the tools' RUNPATH.
  get_filename_component(_zeda_riffa_dir "${RIFFA_LIBRARY}" DIRECTORY)
  set(_zeda_loader_dirs ${CMAKE_CXX_IMPLICIT_LINK_DIRECTORIES} /lib /usr/lib /usr/local/lib
    /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  if(NOT _zeda_riffa_dir IN_LIST _zeda_loader_dirs)
    set_property(TARGET ${ZEDA_INSTALLED_TOOLS} PROPERTY INSTALL_RPATH "${_zeda_riffa_dir}")
    set(ZEDA_RIFFA_RUNPATH ${_zeda_riffa_dir})
    # A search path that Debian frowns on, but wanted: the package tells lintian.
    set(_zeda_overrides ${CMAKE_BINARY_DIR}/lintian/${ZEDA_PACKAGE_NAME})
    file(WRITE ${_zeda_overrides}
      "${ZEDA_PACKAGE_NAME}: custom-library-search-path RUNPATH ${_zeda_riffa_dir} *\n")
    install(FILES ${_zeda_overrides} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/lintian/overrides)
  endif()
endif()

# zeda_write_crlf(<file> <text>): text with Windows line ends alone, whatever
# ends its pieces came with (configure_file's NEWLINE_STYLE leaves those of a
# substituted value as they are); the file is rewritten only when it changes.
function(zeda_write_crlf file text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${file}.new "${text}")
  configure_file(${file}.new ${file} COPYONLY)
  file(REMOVE ${file}.new)
endfunction()

# --- man pages ----------------------------------------------------------------

set(_zeda_pages ${ZEDA_INSTALLED_TOOLS})
if(ZEDA_BACKEND STREQUAL "sim")
  list(APPEND _zeda_pages riffa_sim)
endif()
if(WIN32)
  # Windows has no man: the pages go beside the tools as plain ASCII text
  # with CRLF line ends, which Notepad and `type` in a console both show,
  # rendered with the register windows set, which gives Windows folders and
  # advice.
  find_program(ZEDA_GROFF groff)
  mark_as_advanced(ZEDA_GROFF)
  if(NOT ZEDA_GROFF)
    message(FATAL_ERROR "groff renders the man pages into the Windows packages: apt-get install groff-base")
  endif()
else()
  find_program(ZEDA_GZIP gzip)
  mark_as_advanced(ZEDA_GZIP)
endif()
set(_zeda_page_files)
foreach(prog ${_zeda_pages})
  set(src ${PROJECT_SOURCE_DIR}/man/${prog}.1)
  set(page ${CMAKE_BINARY_DIR}/man/${prog}.1)
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${src})
  file(READ ${src} _zeda_roff)
  if(ZEDA_BACKEND STREQUAL "sim" AND NOT prog STREQUAL "riffa_sim")
    # The note goes in front of SEE ALSO; a page without that heading
    # would silently lose it.
    string(FIND "${_zeda_roff}" "\n.SH SEE ALSO\n" _zeda_see_also)
    if(_zeda_see_also EQUAL -1)
      message(FATAL_ERROR "${src} has no '.SH SEE ALSO' section to put the virtual-board note before")
    endif()
    string(REPLACE "\n.SH SEE ALSO\n" "
.SH VIRTUAL BOARD
This installation of
.B ${prog}
is linked against the virtual board
.RB ( riffa_sim (1)),
not against the RIFFA host library: it drives no hardware.
Its boards live under
.BR RIFFA_SIM_DIR .
.SH SEE ALSO
" _zeda_roff "${_zeda_roff}")
  endif()
  # Rewritten only when it changes, so that the page is not rebuilt on
  # every configure.
  file(WRITE ${page}.new "${_zeda_roff}")
  configure_file(${page}.new ${page} COPYONLY)
  file(REMOVE ${page}.new)
  if(WIN32)
    execute_process(COMMAND ${ZEDA_GROFF} -man -Tascii -P-cbou -rwindows=1 ${page}
      OUTPUT_VARIABLE _zeda_text ERROR_VARIABLE _zeda_groff_err RESULT_VARIABLE _zeda_groff_rc)
    if(NOT _zeda_groff_rc EQUAL 0 OR NOT _zeda_groff_err STREQUAL "" OR _zeda_text STREQUAL "")
      message(FATAL_ERROR "groff could not render ${src}: ${_zeda_groff_rc} ${_zeda_groff_err}")
    endif()
    # An example's shell prompt becomes a Command Prompt's.
    string(REGEX REPLACE "\n( +)\\$ " "\n\\1C:\\\\update> " _zeda_text "${_zeda_text}")
    zeda_write_crlf(${CMAKE_BINARY_DIR}/doc/${prog}.txt "${_zeda_text}")
    list(APPEND _zeda_page_files ${CMAKE_BINARY_DIR}/doc/${prog}.txt)
  elseif(ZEDA_GZIP)
    add_custom_command(OUTPUT ${page}.gz
      COMMAND ${ZEDA_GZIP} -9nkf ${page}
      DEPENDS ${page}
      COMMENT "Compressing the man page of ${prog}")
    list(APPEND _zeda_page_files ${page}.gz)
  else()
    list(APPEND _zeda_page_files ${page})
  endif()
endforeach()
if(WIN32)
  install(FILES ${_zeda_page_files} DESTINATION ${ZEDA_INSTALL_BINDIR})
else()
  add_custom_target(man_pages ALL DEPENDS ${_zeda_page_files})
  install(FILES ${_zeda_page_files} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# --- copyright and changelog ------------------------------------------------

if(NOT WIN32)
  # In the package's own doc folder, as Debian wants them; the changelog under
  # the name of a native package's, as this project is its own upstream.
  set(ZEDA_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/${ZEDA_PACKAGE_NAME})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright DESTINATION ${ZEDA_DOCDIR})
  set(_zeda_changelog_copy ${CMAKE_BINARY_DIR}/doc/changelog)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/changelog ${_zeda_changelog_copy} COPYONLY)
  if(ZEDA_GZIP)
    add_custom_command(OUTPUT ${_zeda_changelog_copy}.gz
      COMMAND ${ZEDA_GZIP} -9nkf ${_zeda_changelog_copy}
      DEPENDS ${_zeda_changelog_copy}
      COMMENT "Compressing the changelog")
    add_custom_target(changelog ALL DEPENDS ${_zeda_changelog_copy}.gz)
    install(FILES ${_zeda_changelog_copy}.gz DESTINATION ${ZEDA_DOCDIR})
  else()
    install(FILES ${_zeda_changelog_copy} DESTINATION ${ZEDA_DOCDIR})
  endif()
endif()

# --- package ------------------------------------------------------------------

set(ZEDA_PACKAGE_MAINTAINER "ZEDA PCIe tools maintainers <zeda-pcie-tools@example.com>"
  CACHE STRING "Maintainer of the Debian package and Packager of the RPM")

set(CPACK_PACKAGE_NAME ${ZEDA_PACKAGE_NAME})
set(CPACK_PACKAGE_VENDOR "ZEDA")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${ZEDA_PACKAGE_MAINTAINER}")
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/")
if(ZEDA_BACKEND STREQUAL "sim")
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "ZEDA FPGA board field-update tools on a VIRTUAL BOARD (no hardware)")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"This build of zeda_pcie_get_mode, zeda_pcie_mode_change,
zeda_pcie_flash_image, zeda_pcie_list_boards and zeda_pcie_wait_board is
linked against
riffa_sim, a virtual board that
stands in for the RIFFA PCI Express host library. It drives a virtual
board, NOT hardware: use it to rehearse a field update, for training and
for tests. The riffa_sim program manages the virtual boards.
To update real boards, install zeda-pcie-tools, built against the RIFFA
host library.")
else()
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "ZEDA FPGA board field-update tools over RIFFA PCIe")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"zeda_pcie_get_mode reports whether a ZEDA FPGA board in a PCI Express slot
is in bootloader or normal operation mode, zeda_pcie_mode_change reboots it
into the other mode, zeda_pcie_flash_image writes a new gateware image
into its flash, zeda_pcie_list_boards lists the boards there are, and
zeda_pcie_wait_board waits for a board to come back after a reboot. They
drive the boards through the RIFFA PCI Express host library, which must be
installed. Built against:
${ZEDA_RIFFA_LIBRARY_TEXT}")
endif()

if(WIN32)
  include(ZedaWindowsPackage)
else()
  set(CPACK_GENERATOR DEB RPM)
  include(ZedaRpmPackage)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ZEDA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(ZEDA_PRIVATE_LIBDIR)
  # Relative to the package root, where dpkg-shlibdeps runs.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS usr/${ZEDA_PRIVATE_LIBDIR})
endif()
# Both install the same programs; only one at a time.
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${ZEDA_OTHER_PACKAGE})

# Said again when the package is built.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/ZedaCPackOptions.cmake)
file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
  "message(STATUS \"Packaging ${ZEDA_BACKEND_LINE}\")\n")

include(CPack)

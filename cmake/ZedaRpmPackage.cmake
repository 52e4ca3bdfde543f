# The RPM for the Red Hat family, made by CPack from the install tree of the
# .deb: the same programs, man pages, copyright, changelog and version, with
# the metadata and requirements an RPM system reads. Included by ZedaInstall
# after the package's name, description and backend are known.
include(ZedaRpmChangelog)

set(ZEDA_RPM_RELEASE 1)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE ${ZEDA_RPM_RELEASE})
# packaging/copyright: ZEDA's own work, all rights reserved.
set(CPACK_RPM_PACKAGE_LICENSE Proprietary)
set(CPACK_RPM_PACKAGE_URL "https://zeda.example.net/zeda-pcie-tools")
# CPack always writes a Group tag; this is the value rpmbuild records for a
# package that names none, as the Red Hat family's own packages no longer do.
set(CPACK_RPM_PACKAGE_GROUP Unspecified)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_CONFLICTS ${ZEDA_OTHER_PACKAGE})
# Installed where the man pages and the doc folder are found, never moved.
set(CPACK_PACKAGE_RELOCATABLE OFF)
# Folders of the system's filesystem package, not this one's to own or remove.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/man /usr/share/man/man1)
set(CPACK_RPM_USER_FILELIST "%license /usr/${ZEDA_DOCDIR}/copyright")

# The build already stripped the programs and compressed the pages: rpmbuild
# must not rewrite the files, which stay byte for byte the .deb's. Without a
# debuginfo package, build-id links would point at nothing.
set(_zeda_rpm_defines
  "%define packager ${ZEDA_PACKAGE_MAINTAINER}"
  "%define __os_install_post %{nil}"
  "%define _build_id_links none")
if(ZEDA_PRIVATE_LIBDIR)
  # libriffa_sim is the tools' own: it provides nothing to other packages,
  # and the tools' need of it is met inside this one.
  list(APPEND _zeda_rpm_defines
    "%global __provides_exclude_from ^/usr/${ZEDA_PRIVATE_LIBDIR}/"
    "%global __requires_exclude ^libriffa_sim[.]so")
endif()
string(REPLACE ";" "\n" CPACK_RPM_SPEC_MORE_DEFINE "${_zeda_rpm_defines}")

set(CPACK_RPM_CHANGELOG_FILE ${CMAKE_BINARY_DIR}/rpm/changelog)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${PROJECT_SOURCE_DIR}/packaging/changelog)
zeda_rpm_changelog(${PROJECT_SOURCE_DIR}/packaging/changelog ${CPACK_RPM_CHANGELOG_FILE} ${ZEDA_RPM_RELEASE})

if(ZEDA_RIFFA_RUNPATH)
  # Debian's override for lintian means nothing on an RPM system.
  list(APPEND CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION /usr/share/lintian /usr/share/lintian/overrides
    /usr/share/lintian/overrides/${ZEDA_PACKAGE_NAME})
  # The search path is wanted, as for lintian: rpmlint is told so for this
  # folder alone (tests/rpm_package_check.sh reads the file).
  string(REGEX REPLACE "([][.*+?^$(){}|\\])" "\\\\\\1" _zeda_runpath_regex "${ZEDA_RIFFA_RUNPATH}")
  file(WRITE ${CMAKE_BINARY_DIR}/rpmlint/${ZEDA_PACKAGE_NAME}.rpmlintrc
    "# RIFFA lies outside the loader's folders (RIFFA_ROOT): the tools find it through their RUNPATH.\n"
    "addFilter(\"binary-or-shlib-defines-rpath /usr/bin/zeda_pcie_[a-z_]+ \\(RUNPATH: ${_zeda_runpath_regex}\\)$\")\n")
else()
  file(REMOVE ${CMAKE_BINARY_DIR}/rpmlint/${ZEDA_PACKAGE_NAME}.rpmlintrc)
endif()

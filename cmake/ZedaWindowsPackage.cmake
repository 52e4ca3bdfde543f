# The Windows packages (make windows-package): an MSI and a ZIP of the same
# files, built by CPack (generators External, which runs cmake/ZedaMsi.cmake
# to build the MSI with msitools' wixl and msibuild, then ZIP, whose archive
# cmake/ZedaZip.cmake makes anew, the same from the same files). Included by
# ZedaInstall.cmake in a Windows build.

# Never change them: each is what makes a newer MSI of its flavour replace an
# installed older one. The hardware flavour keeps the code that both
# flavours shared up to 1.0.0; the virtual-board one has its own, so that
# neither replaces the other unless REPLACE_ZEDA_FLAVOUR says so.
set(ZEDA_MSI_UPGRADE_CODE_HARDWARE C5F4BA7F-448E-4C78-B766-593CF107E63A)
set(ZEDA_MSI_UPGRADE_CODE_SIM 6648AF56-3425-47A9-B90C-E6377FB0FEE9)
set(ZEDA_MSI_FOLDER "ZEDA PCIe tools")
if(ZEDA_BACKEND STREQUAL "sim")
  set(ZEDA_MSI_PRODUCT "ZEDA PCIe tools (virtual board)")
  set(ZEDA_MSI_UPGRADE_CODE ${ZEDA_MSI_UPGRADE_CODE_SIM})
  set(ZEDA_MSI_OTHER_UPGRADE_CODE ${ZEDA_MSI_UPGRADE_CODE_HARDWARE})
  set(ZEDA_MSI_OTHER_FLAVOUR_MESSAGE "The ZEDA PCIe tools that drive real boards are installed on this PC. \
This package, the virtual-board flavour for training, would replace them, and the tools would then drive \
NO hardware. Uninstall them first, or install this package with REPLACE_ZEDA_FLAVOUR=1 to replace them.")
else()
  set(ZEDA_MSI_PRODUCT "ZEDA PCIe tools")
  set(ZEDA_MSI_UPGRADE_CODE ${ZEDA_MSI_UPGRADE_CODE_HARDWARE})
  set(ZEDA_MSI_OTHER_UPGRADE_CODE ${ZEDA_MSI_UPGRADE_CODE_SIM})
  set(ZEDA_MSI_OTHER_FLAVOUR_MESSAGE "The ZEDA PCIe tools (virtual board) are installed on this PC. \
This package, the tools that drive real boards, would replace them. Uninstall them first, or install this \
package with REPLACE_ZEDA_FLAVOUR=1 to replace them.")
endif()

# One ProductCode per flavour and version, derived from both, so that the
# deployment page can name it and detection rules can rely on it.
string(UUID ZEDA_MSI_PRODUCT_CODE NAMESPACE ${ZEDA_MSI_UPGRADE_CODE} NAME "ProductCode ${PROJECT_VERSION}"
  TYPE SHA1 UPPER)
# An earlier build of this flavour under the other flavour's UpgradeCode
# (the -sim flavour's up to 1.0.0), when that is what is installed.
set(ZEDA_MSI_EARLIER_BUILD_MESSAGE "An earlier build of the ${ZEDA_MSI_PRODUCT} is installed on this PC, \
from the time when both flavours shared one UpgradeCode, so this package replaces it only when asked. \
Uninstall it first, or install this package with REPLACE_ZEDA_FLAVOUR=1 to replace it.")

# Builds from the same source give the same bytes: every date in the
# programs and the packages (the PE headers' time stamps, the dates of the
# packaged files) is SOURCE_DATE_EPOCH as the environment gives it when the
# build folder is configured, else the date of the changelog's latest entry;
# never the time of the build.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ZEDA_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
  set(_zeda_date_from "SOURCE_DATE_EPOCH")
else()
  file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/changelog _zeda_trailer
    REGEX "^ -- .*>  [A-Z][a-z][a-z], " LIMIT_COUNT 1)
  string(REGEX REPLACE "^.*>  " "" _zeda_date "${_zeda_trailer}")
  execute_process(COMMAND date -u -d "${_zeda_date}" +%s OUTPUT_VARIABLE ZEDA_SOURCE_DATE_EPOCH
    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  set(_zeda_date_from "the date of packaging/changelog's latest entry, ${_zeda_date}")
  set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
    ${PROJECT_SOURCE_DIR}/packaging/changelog)
endif()
if(NOT ZEDA_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "No build date: ${_zeda_date_from} is '${ZEDA_SOURCE_DATE_EPOCH}', not seconds since 1970")
endif()
message(STATUS "Programs and packages dated ${ZEDA_SOURCE_DATE_EPOCH}: ${_zeda_date_from}")
# GNU ld takes the PE time stamp from the environment.
set(_zeda_dated_link ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${ZEDA_SOURCE_DATE_EPOCH})
set_property(TARGET ${ZEDA_INSTALLED_TOOLS} PROPERTY CXX_LINKER_LAUNCHER ${_zeda_dated_link})
if(ZEDA_BACKEND STREQUAL "sim")
  set_property(TARGET riffa_sim_tool riffa_sim PROPERTY CXX_LINKER_LAUNCHER ${_zeda_dated_link})
endif()

# A version resource in every program and DLL (windres, from the project's
# version): Properties > Details, inventory tools (PowerShell's VersionInfo,
# SCCM, Intune) and the MSI's File table read it. A program's description is
# the NAME line of its man page. Every program also carries its application
# manifest (packaging/windows/program.manifest.in): activeCodePage UTF-8
# (honoured by Windows 10 1903 and later) makes its ANSI code page UTF-8, so
# that names outside the PC's own code page reach it whole (arguments,
# environment, folders, files); longPathAware lets it use paths of more than
# 260 characters where long paths are enabled (Windows 10 1607 and later);
# asInvoker runs it with the rights of whoever starts it.
enable_language(RC)
set(ZEDA_FILE_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0)
file(STRINGS ${PROJECT_SOURCE_DIR}/packaging/copyright ZEDA_RC_COPYRIGHT REGEX "^Copyright " LIMIT_COUNT 1)
# zeda_version_resource(<target> <file name> <VFT_APP|VFT_DLL> [<description>]);
# without a description, the program's man page gives it.
function(zeda_version_resource target ZEDA_RC_FILE ZEDA_RC_TYPE)
  get_filename_component(ZEDA_RC_NAME ${ZEDA_RC_FILE} NAME_WE)
  if(ARGC GREATER 3)
    set(ZEDA_RC_DESCRIPTION "${ARGV3}")
  else()
    file(STRINGS ${PROJECT_SOURCE_DIR}/man/${ZEDA_RC_NAME}.1 name_line REGEX "^${ZEDA_RC_NAME} \\\\- [^\"]+$")
    if(NOT name_line)
      message(FATAL_ERROR "man/${ZEDA_RC_NAME}.1 has no NAME line to describe ${ZEDA_RC_FILE} with")
    endif()
    string(REGEX REPLACE "^[^ ]+ \\\\- " "" ZEDA_RC_DESCRIPTION "${name_line}")
    # As a sentence, the way Windows lists descriptions.
    string(SUBSTRING "${ZEDA_RC_DESCRIPTION}" 0 1 first)
    string(SUBSTRING "${ZEDA_RC_DESCRIPTION}" 1 -1 rest)
    string(TOUPPER "${first}" first)
    set(ZEDA_RC_DESCRIPTION "${first}${rest}")
  endif()
  set(ZEDA_RC_MANIFEST "")
  if(ZEDA_RC_TYPE STREQUAL "VFT_APP")
    set(manifest ${CMAKE_BINARY_DIR}/version/${ZEDA_RC_NAME}.manifest)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/program.manifest.in ${manifest} @ONLY)
    # 1 and 24: CREATEPROCESS_MANIFEST_RESOURCE_ID and RT_MANIFEST.
    set(ZEDA_RC_MANIFEST "1 24 \"${manifest}\"")
  endif()
  set(rc ${CMAKE_BINARY_DIR}/version/${ZEDA_RC_NAME}.rc)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/version.rc.in ${rc} @ONLY)
  if(ZEDA_RC_MANIFEST)
    set_source_files_properties(${rc} TARGET_DIRECTORY ${target} PROPERTIES OBJECT_DEPENDS ${manifest})
  endif()
  target_sources(${target} PRIVATE ${rc})
endfunction()
foreach(tool ${ZEDA_INSTALLED_TOOLS})
  zeda_version_resource(${tool} ${tool}.exe VFT_APP)
endforeach()
if(ZEDA_BACKEND STREQUAL "sim")
  zeda_version_resource(riffa_sim_tool riffa_sim.exe VFT_APP)
  zeda_version_resource(riffa_sim ${CMAKE_SHARED_LIBRARY_PREFIX}riffa_sim${CMAKE_SHARED_LIBRARY_SUFFIX} VFT_DLL
    "Virtual ZEDA board standing in for the RIFFA library; drives no hardware")
endif()

# The package's README and copyright, with Windows line ends alone.
set(ZEDA_TOOL_LIST "")
foreach(tool ${ZEDA_INSTALLED_TOOLS})
  string(APPEND ZEDA_TOOL_LIST "  ${tool}.exe\n")
endforeach()
if(ZEDA_BACKEND STREQUAL "sim")
  set(_zeda_readme_flavour ${PROJECT_SOURCE_DIR}/packaging/windows/README-sim.txt)
else()
  set(_zeda_readme_flavour ${PROJECT_SOURCE_DIR}/packaging/windows/README-hardware.txt)
endif()
file(READ ${_zeda_readme_flavour} ZEDA_README_FLAVOUR)
foreach(code PRODUCT_CODE UPGRADE_CODE OTHER_UPGRADE_CODE)
  set(ZEDA_MSI_${code}_BRACED "{${ZEDA_MSI_${code}}}")
endforeach()
file(READ ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in _zeda_readme)
string(CONFIGURE "${_zeda_readme}" _zeda_readme @ONLY)
zeda_write_crlf(${CMAKE_BINARY_DIR}/doc/README.txt "${_zeda_readme}")
file(READ ${PROJECT_SOURCE_DIR}/packaging/copyright _zeda_copyright)
zeda_write_crlf(${CMAKE_BINARY_DIR}/doc/copyright.txt "${_zeda_copyright}")
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_zeda_readme_flavour}
  ${PROJECT_SOURCE_DIR}/packaging/windows/README.txt.in ${PROJECT_SOURCE_DIR}/packaging/copyright)
install(FILES ${CMAKE_BINARY_DIR}/doc/README.txt ${CMAKE_BINARY_DIR}/doc/copyright.txt
  DESTINATION ${ZEDA_INSTALL_BINDIR})

find_program(ZEDA_WIXL wixl)
find_program(ZEDA_MSIBUILD msibuild)
find_program(ZEDA_MSIINFO msiinfo)
find_program(ZEDA_ZIP zip)
mark_as_advanced(ZEDA_WIXL ZEDA_MSIBUILD ZEDA_MSIINFO ZEDA_ZIP)

# The MSI first: ZedaChecksums.cmake, the ZIP's post-build script, needs it,
# and ZedaSignStaged.cmake signs for the MSI what the ZIP then takes.
set(CPACK_GENERATOR External ZIP)
# Stripped by ZedaSignStaged.cmake, dated SOURCE_DATE_EPOCH: CPack's own
# strip would date each package's copy with the time it ran.
set(CPACK_STRIP_FILES OFF)
set(CPACK_ZEDA_STRIP ${CMAKE_STRIP})
set(CPACK_ZEDA_SOURCE_DATE_EPOCH ${ZEDA_SOURCE_DATE_EPOCH})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/ZedaSignStaged.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/ZedaChecksums.cmake)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/ZedaMsi.cmake)
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_REQUESTED_VERSIONS 1.0)
# What a plain install holds; the External generator would stage the
# excluded devel component too.
set(CPACK_COMPONENTS_ALL ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME})
# Read by ZedaMsi.cmake, ZedaSignStaged.cmake and ZedaZip.cmake.
set(CPACK_ZEDA_WIXL ${ZEDA_WIXL})
set(CPACK_ZEDA_MSIBUILD ${ZEDA_MSIBUILD})
set(CPACK_ZEDA_MSIINFO ${ZEDA_MSIINFO})
set(CPACK_ZEDA_ZIP ${ZEDA_ZIP})
set(CPACK_ZEDA_WXS_TEMPLATE ${PROJECT_SOURCE_DIR}/packaging/windows/zeda-pcie-tools.wxs.in)
set(CPACK_ZEDA_UPGRADE_CODE ${ZEDA_MSI_UPGRADE_CODE})
set(CPACK_ZEDA_PRODUCT_CODE ${ZEDA_MSI_PRODUCT_CODE})
set(CPACK_ZEDA_EARLIER_BUILD_MESSAGE ${ZEDA_MSI_EARLIER_BUILD_MESSAGE})
set(CPACK_ZEDA_OTHER_UPGRADE_CODE ${ZEDA_MSI_OTHER_UPGRADE_CODE})
set(CPACK_ZEDA_OTHER_FLAVOUR_MESSAGE ${ZEDA_MSI_OTHER_FLAVOUR_MESSAGE})
set(CPACK_ZEDA_PRODUCT ${ZEDA_MSI_PRODUCT})
set(CPACK_ZEDA_FOLDER ${ZEDA_MSI_FOLDER})
set(CPACK_ZEDA_FILE_VERSION ${ZEDA_FILE_VERSION})

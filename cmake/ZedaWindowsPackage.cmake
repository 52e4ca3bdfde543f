# The Windows packages (make windows-package): a ZIP and an MSI of the same
# install tree, built by CPack (generators ZIP and External; the External one
# runs cmake/ZedaMsi.cmake, which builds the MSI with msitools' wixl and
# msibuild). Included by ZedaInstall.cmake in a Windows build.

# Never change it: it is what makes a newer MSI replace an installed older
# one, of either flavour.
set(ZEDA_MSI_UPGRADE_CODE C5F4BA7F-448E-4C78-B766-593CF107E63A)
set(ZEDA_MSI_FOLDER "ZEDA PCIe tools")
if(ZEDA_BACKEND STREQUAL "sim")
  set(ZEDA_MSI_PRODUCT "ZEDA PCIe tools (virtual board)")
else()
  set(ZEDA_MSI_PRODUCT "ZEDA PCIe tools")
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
mark_as_advanced(ZEDA_WIXL ZEDA_MSIBUILD)

set(CPACK_GENERATOR ZIP External)
set(CPACK_EXTERNAL_PACKAGE_SCRIPT ${PROJECT_SOURCE_DIR}/cmake/ZedaMsi.cmake)
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
set(CPACK_EXTERNAL_REQUESTED_VERSIONS 1.0)
# What a plain install holds, as in the ZIP; the External generator would
# stage the excluded devel component too.
set(CPACK_COMPONENTS_ALL ${CMAKE_INSTALL_DEFAULT_COMPONENT_NAME})
# Read by ZedaMsi.cmake.
set(CPACK_ZEDA_WIXL ${ZEDA_WIXL})
set(CPACK_ZEDA_MSIBUILD ${ZEDA_MSIBUILD})
set(CPACK_ZEDA_WXS_TEMPLATE ${PROJECT_SOURCE_DIR}/packaging/windows/zeda-pcie-tools.wxs.in)
set(CPACK_ZEDA_UPGRADE_CODE ${ZEDA_MSI_UPGRADE_CODE})
set(CPACK_ZEDA_PRODUCT ${ZEDA_MSI_PRODUCT})
set(CPACK_ZEDA_FOLDER ${ZEDA_MSI_FOLDER})

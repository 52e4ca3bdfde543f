# CPack's pre-build script of the Windows packages: signs the staged
# programs and DLLs (after CPack has stripped them, which a signature would
# not survive) before the MSI and the ZIP take them.
include(${CMAKE_CURRENT_LIST_DIR}/ZedaSign.cmake)
file(GLOB_RECURSE binaries ${CPACK_TEMPORARY_DIRECTORY}/*.exe ${CPACK_TEMPORARY_DIRECTORY}/*.dll)
foreach(binary ${binaries})
  zeda_sign(${binary})
endforeach()

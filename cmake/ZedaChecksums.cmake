# CPack's post-build script of the Windows packages: the ZIP made anew from
# its staged files (ZedaZip.cmake), SHA256SUMS beside the packages, and
# nothing else there. CPack copies a generator's packages beside the build
# only after its post-build scripts, and the generators run External (the
# MSI, with the JSON description that generator always leaves beside its
# packages), then ZIP: so when the ZIP's script runs, the MSI and the JSON
# are in place and the ZIP is still in CPack's own folder.
if(NOT CPACK_GENERATOR STREQUAL "ZIP")
  return()
endif()
set(out ${CPACK_PACKAGE_DIRECTORY})
set(msi ${out}/${CPACK_PACKAGE_FILE_NAME}.msi)
list(FILTER CPACK_PACKAGE_FILES INCLUDE REGEX "\\.zip$")
if(NOT EXISTS ${msi} OR NOT CPACK_PACKAGE_FILES)
  message(FATAL_ERROR "No ${msi} and ZIP to write SHA256SUMS of: the MSI is built first (CPACK_GENERATOR External;ZIP)")
endif()
include(${CMAKE_CURRENT_LIST_DIR}/ZedaZip.cmake)
zeda_zip(${CPACK_PACKAGE_FILES} ${CPACK_TEMPORARY_DIRECTORY})
file(REMOVE ${out}/${CPACK_PACKAGE_FILE_NAME}.json)
find_program(ZEDA_SHA256SUM sha256sum)
set(sums "")
foreach(package ${msi} ${CPACK_PACKAGE_FILES})
  get_filename_component(folder ${package} DIRECTORY)
  get_filename_component(name ${package} NAME)
  execute_process(COMMAND ${ZEDA_SHA256SUM} -- ${name} WORKING_DIRECTORY ${folder}
    RESULT_VARIABLE rc OUTPUT_VARIABLE sum ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR sum STREQUAL "")
    message(FATAL_ERROR "sha256sum ${package} failed: ${err}")
  endif()
  string(APPEND sums "${sum}")
endforeach()
file(WRITE ${out}/SHA256SUMS.new "${sums}")
file(RENAME ${out}/SHA256SUMS.new ${out}/SHA256SUMS)

# CPack's pre-build script of the Windows packages, run on each generator's
# staged copy of the install tree: the MSI's (External) first, then the
# ZIP's. It makes the staged files what both packages carry, byte for byte:
# the programs and DLLs stripped with their PE time stamp set to
# SOURCE_DATE_EPOCH (strip sets it afresh), then signed when a certificate
# is given (once, for the MSI: the ZIP takes those signed files, as a
# signature made again would carry another signing time), and every file and
# folder dated SOURCE_DATE_EPOCH.
include(${CMAKE_CURRENT_LIST_DIR}/ZedaSign.cmake)

set(signed ${CPACK_TOPLEVEL_DIRECTORY}/../signed)
if(CPACK_GENERATOR STREQUAL "External")
  file(REMOVE_RECURSE ${signed})
endif()
file(MAKE_DIRECTORY ${signed})

file(GLOB_RECURSE binaries ${CPACK_TEMPORARY_DIRECTORY}/*.exe ${CPACK_TEMPORARY_DIRECTORY}/*.dll)
foreach(binary ${binaries})
  execute_process(COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${CPACK_ZEDA_SOURCE_DATE_EPOCH}
      ${CPACK_ZEDA_STRIP} ${binary}
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "Stripping ${binary} failed:\n${out}")
  endif()
  # A signed copy stands only for the very bytes it was made from.
  get_filename_component(name ${binary} NAME)
  file(SHA256 ${binary} unsigned)
  if(EXISTS ${signed}/${unsigned}-${name})
    file(COPY_FILE ${signed}/${unsigned}-${name} ${binary})
  else()
    zeda_sign(${binary})
    file(COPY_FILE ${binary} ${signed}/${unsigned}-${name})
  endif()
endforeach()

file(GLOB_RECURSE staged LIST_DIRECTORIES true ${CPACK_TEMPORARY_DIRECTORY}/*)
execute_process(COMMAND touch -h -d @${CPACK_ZEDA_SOURCE_DATE_EPOCH} ${CPACK_TEMPORARY_DIRECTORY} ${staged}
  RESULT_VARIABLE rc ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "Dating the staged files failed: ${out}")
endif()

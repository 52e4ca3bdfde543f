# zeda_zip(<zip> <folder>): the ZIP of the Windows packages made anew from
# the staged folder, which becomes its one top folder: files in name order,
# with their Unix modes and their date (SOURCE_DATE_EPOCH, in UTC) and
# nothing else, so that the same files always give the same ZIP. CPack's own
# archive also records when each file was last changed on this disk.
function(zeda_zip zip folder)
  if(NOT EXISTS "${CPACK_ZEDA_ZIP}")
    message(FATAL_ERROR "No zip to build ${zip} with: apt-get install zip")
  endif()
  get_filename_component(parent ${folder} DIRECTORY)
  get_filename_component(top ${folder} NAME)
  file(GLOB entries LIST_DIRECTORIES false RELATIVE ${parent} ${folder}/*)
  list(SORT entries)
  file(REMOVE ${zip}.new)
  # -X: no extra fields (owner, access and change times); -D: no folder
  # entries but the top folder's, given first.
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC ${CPACK_ZEDA_ZIP} -q -X -D ${zip}.new ${top}/ ${entries}
    WORKING_DIRECTORY ${parent} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT rc EQUAL 0)
    file(REMOVE ${zip}.new)
    message(FATAL_ERROR "Building ${zip} failed:\n${out}")
  endif()
  file(RENAME ${zip}.new ${zip})
endfunction()

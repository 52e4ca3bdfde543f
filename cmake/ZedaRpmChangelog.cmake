# zeda_rpm_changelog(<debian changelog> <output> <release>): writes the
# entries of the Debian changelog as an RPM %changelog, newest first, so that
# both packages tell one history. Each entry's version gets the RPM release
# (1.0.0 becomes 1.0.0-1). An entry that can't be read stops the configure:
# a package must not ship a history that lost an entry.
function(zeda_rpm_changelog debian out release)
  file(READ ${debian} _text)
  # Semicolons (in "unstable; urgency=...") would split the list of lines.
  string(ASCII 1 _semicolon)
  string(REPLACE ";" "${_semicolon}" _text "${_text}")
  string(REPLACE "\n" ";" _lines "${_text}")

  set(_rpm "")
  set(_version "")
  set(_body "")
  set(_entries 0)
  foreach(_line IN LISTS _lines)
    if(_line MATCHES "^[a-z0-9][a-z0-9.+-]* \\(([^)]+)\\)")
      set(_version ${CMAKE_MATCH_1})
      set(_body "")
    elseif(_line MATCHES "^  \\* (.*)$")
      string(APPEND _body "- ${CMAKE_MATCH_1}\n")
    elseif(_line MATCHES "^    (.*)$")
      string(APPEND _body "  ${CMAKE_MATCH_1}\n")
    elseif(_line MATCHES "^ -- (.+)  ([A-Z][a-z][a-z]), ([0-9][0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
      if(_version STREQUAL "" OR _body STREQUAL "")
        message(FATAL_ERROR "${debian}: the entry signed '${_line}' has no version line or no change")
      endif()
      if(_entries GREATER 0)
        string(APPEND _rpm "\n")
      endif()
      string(APPEND _rpm "* ${CMAKE_MATCH_2} ${CMAKE_MATCH_4} ${CMAKE_MATCH_3} ${CMAKE_MATCH_5} ${CMAKE_MATCH_1} - "
        "${_version}-${release}\n${_body}")
      math(EXPR _entries "${_entries} + 1")
      set(_version "")
    elseif(NOT _line MATCHES "^ *$")
      message(FATAL_ERROR "${debian}: a line of no changelog entry: '${_line}'")
    endif()
  endforeach()
  if(_entries EQUAL 0 OR NOT _version STREQUAL "")
    message(FATAL_ERROR "${debian}: no complete entry, or one without its signature line at the end")
  endif()
  string(REPLACE "${_semicolon}" ";" _rpm "${_rpm}")
  # Rewritten only when it changes, so that the package is not rebuilt on
  # every configure.
  file(WRITE ${out}.new "${_rpm}")
  configure_file(${out}.new ${out} COPYONLY)
  file(REMOVE ${out}.new)
endfunction()

# Finds the installed RIFFA host library.
#   RIFFA_ROOT  prefix holding include/riffa.h and lib/libriffa.so (Windows:
#               lib/riffa.lib or lib/libriffa.dll.a); when set, only that
#               prefix is searched, as given, so no other copy can slip in
#               and a cross build's find root does not move it.
# Defines RIFFA_FOUND, RIFFA_INCLUDE_DIR, RIFFA_LIBRARY and RIFFA::riffa.
# A library found under an earlier RIFFA_ROOT must not outlive a new one.
if(NOT "${RIFFA_ROOT}" STREQUAL "${_RIFFA_SEARCHED_ROOT}")
  unset(RIFFA_INCLUDE_DIR CACHE)
  unset(RIFFA_LIBRARY CACHE)
endif()
set(_RIFFA_SEARCHED_ROOT "${RIFFA_ROOT}" CACHE INTERNAL "RIFFA_ROOT of the last search")

if(RIFFA_ROOT)
  find_path(RIFFA_INCLUDE_DIR riffa.h PATHS ${RIFFA_ROOT}/include
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
  find_library(RIFFA_LIBRARY riffa PATHS ${RIFFA_ROOT}/lib ${RIFFA_ROOT}/lib64
    NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
else()
  find_path(RIFFA_INCLUDE_DIR riffa.h PATHS /usr/local/include /usr/include)
  find_library(RIFFA_LIBRARY riffa PATHS /usr/local/lib /usr/lib)
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(RIFFA REQUIRED_VARS RIFFA_LIBRARY RIFFA_INCLUDE_DIR)

if(RIFFA_FOUND AND NOT TARGET RIFFA::riffa)
  add_library(RIFFA::riffa UNKNOWN IMPORTED)
  set_target_properties(RIFFA::riffa PROPERTIES
    IMPORTED_LOCATION "${RIFFA_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${RIFFA_INCLUDE_DIR}")
endif()
mark_as_advanced(RIFFA_INCLUDE_DIR RIFFA_LIBRARY)

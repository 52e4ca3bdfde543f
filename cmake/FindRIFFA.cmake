# Finds the installed RIFFA host library.
#   RIFFA_ROOT  prefix holding include/riffa.h and lib/libriffa.so (Windows:
#               include/riffa.h alone, see below), searched first as any
#               <PackageName>_ROOT (policy CMP0074); when given to cmake,
#               nothing else is searched, so no other copy can slip in, and a
#               cross build's find root does not move it.
# The search is made at each configure (NO_CACHE), so a changed RIFFA_ROOT
# never keeps a library found under an earlier one; -DRIFFA_LIBRARY=... and
# -DRIFFA_INCLUDE_DIR=... still name the files outright.
# Defines RIFFA_FOUND, RIFFA_INCLUDE_DIR, RIFFA_LIBRARY and RIFFA::riffa.
# On Windows the tools bind riffa.dll when they start (board_link's Windows
# backend), so only the header is needed and RIFFA::riffa carries no library;
# a prefix that also holds an import library is fine, and it is not used.
if(RIFFA_ROOT)
  set(_riffa_root_only NO_CMAKE_PATH NO_CMAKE_ENVIRONMENT_PATH NO_SYSTEM_ENVIRONMENT_PATH
    NO_CMAKE_SYSTEM_PATH NO_CMAKE_INSTALL_PREFIX NO_CMAKE_FIND_ROOT_PATH)
  # Besides the root's lib/, its lib64/, where some prefixes put libraries.
  set(_riffa_lib64 PATHS ${RIFFA_ROOT}/lib64)
endif()
find_path(RIFFA_INCLUDE_DIR riffa.h NO_CACHE ${_riffa_root_only})
if(WIN32)
  set(RIFFA_LIBRARY riffa.dll)
else()
  find_library(RIFFA_LIBRARY riffa NO_CACHE ${_riffa_lib64} ${_riffa_root_only})
endif()

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(RIFFA REQUIRED_VARS RIFFA_LIBRARY RIFFA_INCLUDE_DIR)

if(RIFFA_FOUND AND NOT TARGET RIFFA::riffa)
  if(WIN32)
    add_library(RIFFA::riffa INTERFACE IMPORTED)
  else()
    add_library(RIFFA::riffa UNKNOWN IMPORTED)
    set_target_properties(RIFFA::riffa PROPERTIES IMPORTED_LOCATION "${RIFFA_LIBRARY}")
  endif()
  set_target_properties(RIFFA::riffa PROPERTIES INTERFACE_INCLUDE_DIRECTORIES "${RIFFA_INCLUDE_DIR}")
endif()

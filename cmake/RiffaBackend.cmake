# Chooses the RIFFA library the tools link: the installed host library or the
# virtual board. Sets ZEDA_BACKEND to "system" or "sim", ZEDA_BACKEND_LINK to
# what zeda_link_riffa takes for it, riffa_header to the riffa.h the board
# link is compiled against and, for the installed library,
# ZEDA_RIFFA_LIBRARY_TEXT to what the tools use of it.
if(WIN32)
  set(_zeda_riffa_files "include/riffa.h")
else()
  set(_zeda_riffa_files "include/riffa.h and lib/libriffa.so")
endif()

if(ZEDA_RIFFA STREQUAL "sim")
  set(ZEDA_BACKEND sim)
elseif(ZEDA_RIFFA STREQUAL "system")
  find_package(RIFFA)
  if(NOT RIFFA_FOUND)
    if(RIFFA_ROOT)
      set(_zeda_looked "RIFFA_ROOT=${RIFFA_ROOT} does not hold ${_zeda_riffa_files}")
    else()
      set(_zeda_looked "none in the standard paths. Set RIFFA_ROOT to the prefix holding ${_zeda_riffa_files}")
    endif()
    message(FATAL_ERROR "ZEDA_RIFFA=system: no RIFFA host library found: ${_zeda_looked}.")
  endif()
  set(ZEDA_BACKEND system)
elseif(ZEDA_RIFFA STREQUAL "auto")
  find_package(RIFFA QUIET)
  if(RIFFA_FOUND)
    set(ZEDA_BACKEND system)
  else()
    message(WARNING "No RIFFA host library found: the tools are linked against the VIRTUAL BOARD "
      "(riffa_sim) and will not drive hardware. Install RIFFA or set -DRIFFA_ROOT=<prefix> "
      "(${_zeda_riffa_files}) and -DZEDA_RIFFA=system for a hardware build.")
    set(ZEDA_BACKEND sim)
  endif()
else()
  message(FATAL_ERROR "ZEDA_RIFFA must be auto, system or sim, not '${ZEDA_RIFFA}'")
endif()

add_library(riffa_header INTERFACE)
if(ZEDA_BACKEND STREQUAL "sim")
  message(STATUS "RIFFA backend: virtual board (riffa_sim) - the tools drive NO hardware")
  set(ZEDA_BACKEND_LINK sim)
  target_include_directories(riffa_header INTERFACE ${PROJECT_SOURCE_DIR}/riffa_sim)
else()
  if(WIN32)
    cmake_path(APPEND RIFFA_INCLUDE_DIR riffa.h OUTPUT_VARIABLE _zeda_riffa_header)
    set(ZEDA_RIFFA_LIBRARY_TEXT "riffa.dll, bound when a tool starts (header ${_zeda_riffa_header})")
  else()
    set(ZEDA_RIFFA_LIBRARY_TEXT "${RIFFA_LIBRARY}")
  endif()
  message(STATUS "RIFFA backend: installed host library ${ZEDA_RIFFA_LIBRARY_TEXT}")
  set(ZEDA_BACKEND_LINK device)
  target_include_directories(riffa_header INTERFACE ${RIFFA_INCLUDE_DIR})
endif()

# Hardware builds with tests also build sim-linked copies of the tools, in a
# folder of their own beside the virtual board.
set(ZEDA_SIM_COPIES OFF)
set(ZEDA_SIM_TOOLS_DIR ${CMAKE_BINARY_DIR}/sim_tools)
if(ZEDA_BUILD_TESTS AND ZEDA_BACKEND STREQUAL "system")
  set(ZEDA_SIM_COPIES ON)
endif()

# How the programs are put together: each shared layer is a library compiled
# once, and the RIFFA library (installed, virtual or the recording fake) is
# chosen where a program is linked.

# zeda_platform_sources(<target> <path stem>): adds <stem>_win32.cpp on
# Windows and <stem>_posix.cpp elsewhere.
function(zeda_platform_sources target stem)
  if(WIN32)
    target_sources(${target} PRIVATE ${stem}_win32.cpp)
  else()
    target_sources(${target} PRIVATE ${stem}_posix.cpp)
  endif()
endfunction()

# zeda_link_riffa(<target> device|sim|fake): links the RIFFA library and
# what the board link needs to know of it (board_backend_*), after the board
# link, which calls them.
function(zeda_link_riffa target backend)
  if(backend STREQUAL "device")
    target_link_libraries(${target} PRIVATE board_link board_backend_device RIFFA::riffa)
  elseif(backend STREQUAL "sim")
    target_link_libraries(${target} PRIVATE board_link board_backend_sim riffa_sim)
  else()
    target_link_libraries(${target} PRIVATE board_link fake_riffa)
  endif()
endfunction()

# zeda_add_tool(<name> <sources...>): a console program whose flow (its
# tool_main and sources, compiled once as <name>_flow) is linked with the
# board link and the RIFFA library of this build. When the tools drive real
# hardware and tests are on, a copy linked with the virtual board is built
# too (sim_tools/<name>), so the end-to-end tests never run the hardware
# build against the simulator.
function(zeda_add_tool name)
  add_library(${name}_flow STATIC ${ARGN})
  target_link_libraries(${name}_flow PUBLIC board_link)
  add_executable(${name} $<TARGET_OBJECTS:tool_entry>)
  target_link_libraries(${name} PRIVATE ${name}_flow)
  zeda_link_riffa(${name} ${ZEDA_BACKEND_LINK})
  if(ZEDA_SIM_COPIES)
    add_executable(${name}_sim $<TARGET_OBJECTS:tool_entry>)
    target_link_libraries(${name}_sim PRIVATE ${name}_flow)
    zeda_link_riffa(${name}_sim sim)
    set_target_properties(${name}_sim PROPERTIES OUTPUT_NAME ${name}
      RUNTIME_OUTPUT_DIRECTORY ${ZEDA_SIM_TOOLS_DIR})
  endif()
endfunction()

# Path of the copy of a tool that runs against the virtual board.
function(zeda_sim_tool_file out name)
  if(ZEDA_SIM_COPIES)
    set(${out} "$<TARGET_FILE:${name}_sim>" PARENT_SCOPE)
  else()
    set(${out} "$<TARGET_FILE:${name}>" PARENT_SCOPE)
  endif()
endfunction()

# zeda_add_gtest(<name> SOURCES <files...> LIBS <targets...>): a GoogleTest
# program whose cases ctest runs one by one. Test programs go to test_bin/:
# bin/ holds what an install of the build holds.
function(zeda_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/test_bin)
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 120)
endfunction()

# zeda_add_flow_test(<test> <tool> <test sources...>): the tool's flow, run
# in the test's own process through tool_main, against the recording fake
# RIFFA instead of any RIFFA library.
function(zeda_add_flow_test test tool)
  zeda_add_gtest(${test} SOURCES ${ARGN} LIBS ${tool}_flow)
  zeda_link_riffa(${test} fake)
endfunction()

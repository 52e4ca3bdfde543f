# zeda_add_tool(<name> <sources...>): a console program linked with the board
# link and RIFFA::riffa. When the tools drive real hardware and tests are on,
# a copy linked with the virtual board is built too (sim_tools/<name>), so
# the end-to-end tests never run the hardware build against the simulator.

function(zeda_add_tool name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE board_link)
  if(ZEDA_SIM_COPIES)
    add_executable(${name}_sim ${ARGN})
    target_link_libraries(${name}_sim PRIVATE board_link_sim)
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

# zeda_add_flow_test(<test> <renamed main> <test source> [tool sources...]):
# the tool's own main.cpp and sources, with main renamed so a test can call
# it, built with the board link against the recording fake RIFFA instead of
# any RIFFA library.
function(zeda_add_flow_test test main_name test_source)
  add_library(${test}_flow OBJECT main.cpp ${ARGN})
  target_compile_definitions(${test}_flow PRIVATE main=${main_name})
  target_include_directories(${test}_flow PRIVATE ${PROJECT_SOURCE_DIR}/board_link)
  target_link_libraries(${test}_flow PRIVATE fake_riffa)
  zeda_add_gtest(${test}
    SOURCES ${test_source} ${BOARD_LINK_SOURCES} $<TARGET_OBJECTS:${test}_flow>
    LIBS fake_riffa file_lock)
  target_include_directories(${test} PRIVATE ${PROJECT_SOURCE_DIR}/board_link)
endfunction()

# SPDX-License-Identifier: GPL-3.0-or-later
# velorin_add_library(NAME [DEPS ...] [PRIVATE_DEPS ...] [EXCLUDE file ...])
# One static library per layer, built from every .cpp in its folder (not recursing).
#
# A layer's headers are reachable only by the targets that link it: each layer
# gets an include root of its own in the build tree holding one link to its
# folder (build/layer-include/velorin_engine/engine -> src/engine), so
# "engine/MIDIEngine.hpp" resolves only where velorin_engine is linked, and an
# include that goes up a layer does not compile.
function(velorin_add_library name)
  cmake_parse_arguments(ARG "" "" "DEPS;PRIVATE_DEPS;EXCLUDE" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
  foreach(ex IN LISTS ARG_EXCLUDE)
    list(REMOVE_ITEM sources ${CMAKE_CURRENT_SOURCE_DIR}/${ex})
  endforeach()
  file(RELATIVE_PATH layer_path ${PROJECT_SOURCE_DIR}/src ${CMAKE_CURRENT_SOURCE_DIR})
  set(include_root ${CMAKE_BINARY_DIR}/layer-include/${name})
  get_filename_component(link_parent ${include_root}/${layer_path} DIRECTORY)
  file(MAKE_DIRECTORY ${link_parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${include_root}/${layer_path} SYMBOLIC)
  if(NOT sources)
    # A layer with headers only (so far).
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${include_root})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
    return()
  endif()
  add_library(${name} STATIC ${sources})
  target_include_directories(${name} PUBLIC ${include_root})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE velorin_warnings ${ARG_PRIVATE_DEPS})
endfunction()

# velorin_add_test(NAME SOURCES ... DEPS ... [LABELS ...] [ENV ...] [TIMEOUT s])
# A GoogleTest executable registered with CTest, one CTest test per case.
function(velorin_add_test name)
  cmake_parse_arguments(ARG "" "TIMEOUT" "SOURCES;DEPS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} velorin_test_support GTest::gtest GTest::gmock GTest::gtest_main velorin_warnings)
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_TIMEOUT} ENVIRONMENT "${ARG_ENV}")
endfunction()

# velorin_add_chaos_test(NAME SOURCES ... DEPS ... LABELS ... SHORT n LONG n
#                        [SHORT_TIMEOUT s] [LONG_TIMEOUT s] [ENV ...])
# A GoogleTest executable that CTest runs twice, the number of rounds (cycles,
# kills) in VELORIN_CHAOS_ROUNDS: NAME_short with SHORT rounds under LABELS, so
# CI runs it, and NAME_long with LONG rounds under the label "chaos" only, which
# CI leaves out (`ctest --test-dir build/default -L chaos` runs those).
function(velorin_add_chaos_test name)
  cmake_parse_arguments(ARG "" "SHORT;LONG;SHORT_TIMEOUT;LONG_TIMEOUT" "SOURCES;DEPS;LABELS;ENV" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} velorin_test_support GTest::gtest GTest::gtest_main velorin_warnings)
  if(NOT ARG_SHORT_TIMEOUT)
    set(ARG_SHORT_TIMEOUT 120)
  endif()
  if(NOT ARG_LONG_TIMEOUT)
    set(ARG_LONG_TIMEOUT 3600)
  endif()
  add_test(NAME ${name}_short COMMAND ${name})
  set_tests_properties(${name}_short PROPERTIES LABELS "${ARG_LABELS}" TIMEOUT ${ARG_SHORT_TIMEOUT}
    ENVIRONMENT "VELORIN_CHAOS_ROUNDS=${ARG_SHORT};${ARG_ENV}")
  add_test(NAME ${name}_long COMMAND ${name})
  set_tests_properties(${name}_long PROPERTIES LABELS chaos TIMEOUT ${ARG_LONG_TIMEOUT}
    ENVIRONMENT "VELORIN_CHAOS_ROUNDS=${ARG_LONG};${ARG_ENV}")
endfunction()

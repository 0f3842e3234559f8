# SPDX-License-Identifier: GPL-3.0-or-later
# Build information, fixed when the project is configured and shared by the
# program's build information (src/log) and the package (packaging/):
#   VELORIN_BUNDLE_LANE          "Beta" or "Production", from VELORIN_DISTRIBUTION_LANE
#   VELORIN_BUNDLE_COMMIT        the short git commit, "unknown" outside a git checkout
#   VELORIN_BUNDLE_BUILD_NUMBER  the number of commits up to HEAD, 1 outside a git checkout
#   VELORIN_BUNDLE_DATE          the commit's date (YYYY-MM-DD), else today's (UTC)
if(NOT VELORIN_DISTRIBUTION_LANE MATCHES "^(Beta|Production)$")
  message(FATAL_ERROR "VELORIN_DISTRIBUTION_LANE must be Beta or Production (got '${VELORIN_DISTRIBUTION_LANE}')")
endif()
set(VELORIN_BUNDLE_LANE "${VELORIN_DISTRIBUTION_LANE}")
set(VELORIN_BUNDLE_COMMIT "unknown")
set(VELORIN_BUNDLE_BUILD_NUMBER "1")
string(TIMESTAMP VELORIN_BUNDLE_DATE "%Y-%m-%d" UTC)

find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%h%n%cs
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} RESULT_VARIABLE git_result
    OUTPUT_VARIABLE git_head OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(git_result EQUAL 0 AND git_head MATCHES "^([0-9a-f]+)\n([0-9]+-[0-9]+-[0-9]+)$")
    set(VELORIN_BUNDLE_COMMIT "${CMAKE_MATCH_1}")
    set(VELORIN_BUNDLE_DATE "${CMAKE_MATCH_2}")
  endif()
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-list --count HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} RESULT_VARIABLE git_result
    OUTPUT_VARIABLE git_count OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(git_result EQUAL 0 AND git_count MATCHES "^[0-9]+$")
    set(VELORIN_BUNDLE_BUILD_NUMBER "${git_count}")
  endif()
  # HEAD's log changes with every commit and checkout: configure again then,
  # so the build never shows a commit it was not built from.
  execute_process(COMMAND ${GIT_EXECUTABLE} rev-parse --path-format=absolute --git-path logs/HEAD
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR} RESULT_VARIABLE git_result
    OUTPUT_VARIABLE git_head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(git_result EQUAL 0 AND EXISTS "${git_head_log}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${git_head_log}")
  endif()
endif()
message(STATUS "Velorin Server ${PROJECT_VERSION} build ${VELORIN_BUNDLE_BUILD_NUMBER}, "
  "${VELORIN_BUNDLE_LANE} lane, commit ${VELORIN_BUNDLE_COMMIT}")

# SPDX-License-Identifier: GPL-3.0-or-later
# velorin-screenshots: renders the main window and the morph sheets into PNGs
# on Qt's offscreen platform, from an engine with a made-up inventory.
if(TARGET velorin_ui)
  add_executable(velorin-screenshots ${CMAKE_CURRENT_LIST_DIR}/ScreenshotRenderer.cpp)
  # The fake Link session (a timeline on the tool's own clock; never enabled for real).
  target_include_directories(velorin-screenshots PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(velorin-screenshots PRIVATE velorin_ui velorin_warnings)
endif()

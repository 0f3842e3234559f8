# SPDX-License-Identifier: GPL-3.0-or-later
velorin_add_bench(link SOURCES ${CMAKE_CURRENT_LIST_DIR}/LinkBench.cpp ${CMAKE_CURRENT_LIST_DIR}/AllocationCounter.cpp
                  DEPS velorin_link velorin_log velorin_core)
# The lateness runs on the Qt event loop too where the application is built.
if(TARGET velorin_platform_qt)
  target_link_libraries(bench_link PRIVATE velorin_platform_qt Qt6::Core)
  target_compile_definitions(bench_link PRIVATE VELORIN_BENCH_QT=1)
endif()
# The lateness under load with the loop's thread raised to realtime priority.
if(TARGET velorin_platform_linux)
  target_link_libraries(bench_link PRIVATE velorin_platform_linux)
  target_compile_definitions(bench_link PRIVATE VELORIN_BENCH_REALTIME=1)
endif()

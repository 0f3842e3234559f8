# SPDX-License-Identifier: GPL-3.0-or-later
# Network MIDI through the hub over loopback UDP: hub-added latency against a
# bare UDP echo in the same run, notes under 5 % loss with and without the
# recovery journal, and the notes per second one session carries.
velorin_add_bench(network_hub SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkMIDIHubBench.cpp
                  DEPS velorin_network velorin_platform_linux velorin_engine velorin_link velorin_log velorin_core)
# The fake Link session is header-only test support.
target_include_directories(bench_network_hub PRIVATE ${PROJECT_SOURCE_DIR}/tests)

# SPDX-License-Identifier: GPL-3.0-or-later
# Hub-added latency: a note from the MIDI service's reader thread through the
# engine to the service's send, on the poll loop and on the Qt event loop with
# the window shown, against a bare cross-thread post on the same loop.
if(TARGET velorin_app)
  velorin_add_bench(hub_latency SOURCES ${CMAKE_CURRENT_LIST_DIR}/HubLatencyBench.cpp DEPS velorin_app)
  # The fake Link session is header-only test support.
  target_include_directories(bench_hub_latency PRIVATE ${PROJECT_SOURCE_DIR}/tests)
endif()
# The same through the real ALSA sequencer, against the kernel's Midi Through
# port (run where /dev/snd/seq exists, e.g. in the ALSA VM).
pkg_check_modules(HUB_ALSA IMPORTED_TARGET alsa)
if(HUB_ALSA_FOUND)
  velorin_add_bench(alsa_hub_latency SOURCES ${CMAKE_CURRENT_LIST_DIR}/AlsaHubLatencyBench.cpp
                    DEPS velorin_engine velorin_platform_alsa velorin_link velorin_log velorin_core PkgConfig::HUB_ALSA)
  target_include_directories(bench_alsa_hub_latency PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  # And through the velorin-server executable as a child process, against a
  # minimal forwarder; its settings file is written with the server's own store.
  if(TARGET velorin-server)
    target_link_libraries(bench_alsa_hub_latency PRIVATE velorin_platform_qt)
    target_compile_definitions(bench_alsa_hub_latency PRIVATE VELORIN_BENCH_SERVER="$<TARGET_FILE:velorin-server>")
    add_dependencies(bench_alsa_hub_latency velorin-server)
  endif()
endif()

# SPDX-License-Identifier: GPL-3.0-or-later
# The MIDI spine: parser throughput (against libasound's byte parser) and the
# event path parse → MorphEngine with the Router → encoded bytes.
pkg_check_modules(SPINE_ALSA IMPORTED_TARGET alsa)
if(SPINE_ALSA_FOUND)
  velorin_add_bench(parser SOURCES ${CMAKE_CURRENT_LIST_DIR}/ParserBench.cpp ${CMAKE_CURRENT_LIST_DIR}/SpineBenchStream.cpp
                    DEPS velorin_midi PkgConfig::SPINE_ALSA)
endif()
velorin_add_bench(router_path SOURCES ${CMAKE_CURRENT_LIST_DIR}/RouterPathBench.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/SpineBenchStream.cpp ${CMAKE_CURRENT_LIST_DIR}/AllocationCounter.cpp
                  DEPS velorin_engine velorin_morphs velorin_midi)

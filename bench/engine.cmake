# SPDX-License-Identifier: GPL-3.0-or-later
# The MIDI engine's event path per morph, and panic.
velorin_add_bench(engine SOURCES ${CMAKE_CURRENT_LIST_DIR}/EngineBench.cpp ${CMAKE_CURRENT_LIST_DIR}/AllocationCounter.cpp
                  DEPS velorin_engine velorin_morphs velorin_link velorin_log velorin_core)

# SPDX-License-Identifier: GPL-3.0-or-later
velorin_add_bench(clock SOURCES ${CMAKE_CURRENT_LIST_DIR}/MIDIClockBench.cpp DEPS velorin_link velorin_log velorin_core)

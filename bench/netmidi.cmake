# SPDX-License-Identifier: GPL-3.0-or-later
# Network MIDI's protocol core: one note through two sessions back to back
# (journal written and read), against the MIDI byte parser on the same note.
velorin_add_bench(netmidi_codec SOURCES ${CMAKE_CURRENT_LIST_DIR}/NetworkMIDICodecBench.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/AllocationCounter.cpp
                  DEPS velorin_netmidi velorin_midi velorin_core)

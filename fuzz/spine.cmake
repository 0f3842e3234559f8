# SPDX-License-Identifier: GPL-3.0-or-later
# The MIDI parser and the routing store's stored records.
velorin_add_fuzzer(midi_parser ${CMAKE_CURRENT_LIST_DIR}/MIDIParserFuzz.cpp velorin_midi)
velorin_add_fuzzer(routing_store ${CMAKE_CURRENT_LIST_DIR}/RoutingStoreFuzz.cpp velorin_engine velorin_core)

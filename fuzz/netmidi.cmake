# SPDX-License-Identifier: GPL-3.0-or-later
# Network MIDI's readers of datagrams: session packets, the RTP MIDI payload,
# the recovery journal, and a whole session fed whatever arrives.
velorin_add_fuzzer(netmidi_session_packet ${CMAKE_CURRENT_LIST_DIR}/NetworkMIDISessionPacketFuzz.cpp velorin_netmidi)
velorin_add_fuzzer(netmidi_payload ${CMAKE_CURRENT_LIST_DIR}/NetworkMIDIPayloadFuzz.cpp velorin_netmidi)
velorin_add_fuzzer(netmidi_journal ${CMAKE_CURRENT_LIST_DIR}/NetworkMIDIJournalFuzz.cpp velorin_netmidi)
velorin_add_fuzzer(netmidi_session ${CMAKE_CURRENT_LIST_DIR}/NetworkMIDISessionFuzz.cpp velorin_netmidi velorin_core)

# SPDX-License-Identifier: GPL-3.0-or-later
# The USB transport's decoders of remote input: framed-channel frames, usbmuxd
# packets, MIDI frames and device-info property lists.
velorin_add_fuzzer(usb_frame_reader ${CMAKE_CURRENT_LIST_DIR}/USBFrameReaderFuzz.cpp velorin_usb_channel)
velorin_add_fuzzer(usb_packet_reader ${CMAKE_CURRENT_LIST_DIR}/USBPacketReaderFuzz.cpp velorin_usb_channel)
velorin_add_fuzzer(usb_midi_frame ${CMAKE_CURRENT_LIST_DIR}/USBMIDIFrameFuzz.cpp velorin_usb)
velorin_add_fuzzer(usb_device_info ${CMAKE_CURRENT_LIST_DIR}/USBDeviceInfoFuzz.cpp velorin_usb)

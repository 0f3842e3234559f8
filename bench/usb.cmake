# SPDX-License-Identifier: GPL-3.0-or-later
# USB transport: MIDI round trip through the real sockets with the fake device.
include(${PROJECT_SOURCE_DIR}/tests/usb/support/UsbFakes.cmake)
velorin_add_bench(usb SOURCES ${CMAKE_CURRENT_LIST_DIR}/USBBench.cpp DEPS velorin_usb velorin_usb_fakes)

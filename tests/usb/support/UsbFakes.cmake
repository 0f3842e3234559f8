# SPDX-License-Identifier: GPL-3.0-or-later
# The fake usbmuxd daemon and the fake controller device, shared by the USB
# tests, the USB benchmarks and the device simulator tool.
if(NOT TARGET velorin_usb_fakes)
  add_library(velorin_usb_fakes STATIC
    ${PROJECT_SOURCE_DIR}/tests/usb/support/FakeUSBMuxDaemon.cpp
    ${PROJECT_SOURCE_DIR}/tests/usb/support/FakeControllerDevice.cpp)
  target_include_directories(velorin_usb_fakes PUBLIC ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(velorin_usb_fakes PUBLIC velorin_usb_channel velorin_core PRIVATE velorin_warnings)
endif()
